/*
 * korva_api.cpp - the eight exported functions and the two of CAN FD.
 *
 * Each function writes its call trace, turns the handle into the registered
 * Device record and reaches the adapter through the driver the record was
 * opened with.
 */
#include "korva_api.h"

#include "platform.h"
#include "sysfuncs.h"
#include "reconnect.h"
#include "korva_version.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

/* Opening and closing change the handle table and the driver operation
 * table; one lock keeps concurrent opens and closes of different handles
 * apart. */
std::mutex &OpenCloseLock() {
    static std::mutex lock;
    return lock;
}

/* Pointer-sized arguments are traced in hexadecimal: eight digits for any
 * value that fits 32 bits, all of them for larger addresses. */
uintptr_t Hex(const void *p) { return reinterpret_cast<uintptr_t>(p); }

struct ErrorText {
    int32_t code;
    const char *text;
};
constexpr ErrorText kErrorTexts[] = {
    {KORVA_ERR_OK, "No error."},
    {KORVA_ERR_GENERIC, "Generic error."},
    {KORVA_ERR_NO_DEVICE, "No device was found."},
    {KORVA_ERR_SYSTEM, "A system API failed."},
    {KORVA_ERR_NO_MEMORY, "Not enough memory."},
    {KORVA_ERR_NO_ELEMENT, "No element was found."},
    {KORVA_ERR_HANDLE, "The handle is not valid."},
    {KORVA_ERR_IOCTL, "The ioctl failed."},
    {KORVA_ERR_MUTEX, "The mutex failed."},
    {KORVA_ERR_COMMAND, "The command failed."},
    {KORVA_ERR_LISTEN_ONLY, "The listen only operation failed."},
    {KORVA_ERR_NOT_IMPLEMENTED, "The function is not implemented."},
    {KORVA_ERR_GOTO, "Goto error failed."},
};

const char *ErrorTextOf(int32_t code) {
    for (const ErrorText &e : kErrorTexts)
        if (e.code == code) return e.text;
    return "Unknown error.";
}

/* Releases a discovery list: the channels its records hold and the
 * records.  The record chosen from it has handed its channel over to the
 * registered copy by now, so nothing of that copy is touched. */
void ReleaseDiscovery(Device **list) {
    for (int i = 0; i < DEVICE_LIST_SIZE && list[i] != nullptr; ++i) ReleaseChannelResources(list[i]);
    FreeDeviceList(list);
}

/* The registered record's synchronisation objects, made anew: what the
 * record was copied from keeps (and destroys) its own. */
void InitSync(Device *dev) {
    pthread_mutex_init(&dev->RingMutex, nullptr);
    pthread_mutex_init(&dev->WaitMutex, nullptr);
    pthread_cond_init(&dev->RxCond, nullptr);
    pthread_mutex_init(&dev->ConfigMutex, nullptr);
    dev->SyncInit = 1;
    pthread_mutex_init(&dev->TxMutex, nullptr);
    dev->TxMutexInit = 1;
}

/* Destroys the objects InitSync made; TxMutex goes with the channel
 * (ReleaseChannelResources). */
void DestroySync(Device *dev) {
    if (!dev->SyncInit) return;
    pthread_mutex_destroy(&dev->RingMutex);
    pthread_mutex_destroy(&dev->WaitMutex);
    pthread_cond_destroy(&dev->RxCond);
    pthread_mutex_destroy(&dev->ConfigMutex);
    dev->SyncInit = 0;
}

/* Undoes a registration whose set-up failed: nothing of it stays behind
 * and the handle is free again. */
void AbandonRegistered(Device *dev) {
    DestroySync(dev);
    dev->Ops.CloseDevice(dev);
    ReleaseChannelResources(dev);
    std::free(dev->RingBuf);
    std::free(dev->RxLine);
    dev->RingBuf = nullptr;
    dev->RxLine = nullptr;
    RemoveDeviceFromList(DeviceList, *dev);
}

/* Runs the driver's reader and marks the record when it has ended, also
 * when the reader leaves through pthread_exit. */
void *ReaderMain(void *arg) {
    auto *dev = static_cast<Device *>(arg);
    struct Ended {
        Device *dev;
        ~Ended() { AtomicStore(dev->ThreadAlive, 0); }
    } ended{dev};
    return dev->Ops.ReadThread(dev);
}

/* Asks the reader thread to end and waits until it has left the driver's
 * reader: only then may its record's mutexes and buffers go.  Every reader
 * waits in bounded slices or on the wake-up, so this cannot hang, and no
 * thread is ever cancelled while it might hold a lock.  The wait is for
 * ThreadAlive rather than a join: on Windows KORVA_Close may run inside
 * DllMain (a DLL that unloads closes its handles), where a thread cannot
 * finish ending until the loader lock is free again. */
void StopReader(Device *dev) {
    AtomicStore(dev->StopThread, 1);
    if (dev->WakePipeOpen) PlatWake(dev->WakePipe[1]);
    for (uint32_t looks = 0; AtomicLoad(dev->ThreadAlive); ++looks) PlatSleepMicros(looks < 100 ? 0 : 100);
    PlatThreadRelease(dev->Thread);
}

/* Wakes KORVA_Read calls that wait for a frame on a closing handle (its
 * reader has stopped, so StopThread is set and no new wait begins) and
 * waits until every KORVA_Read in progress has returned: only then may the
 * record, its ring, mutex and condition go. */
void EndWaitingReads(Device *dev) {
    pthread_mutex_lock(&dev->WaitMutex);
    pthread_cond_broadcast(&dev->RxCond);
    pthread_mutex_unlock(&dev->WaitMutex);
    while (AtomicLoad(dev->ReadsInProgress) != 0) PlatSleepMicros(100);
}

/* Counts a KORVA_Read in progress for its whole duration. */
struct ReadInProgress {
    explicit ReadInProgress(Device *d) : dev(d) { std::atomic_ref<int32_t>(dev->ReadsInProgress).fetch_add(1); }
    ~ReadInProgress() { std::atomic_ref<int32_t>(dev->ReadsInProgress).fetch_sub(1); }
    ReadInProgress(const ReadInProgress &) = delete;
    ReadInProgress &operator=(const ReadInProgress &) = delete;
    Device *dev;
};

/* ---- KORVA_Ioctl's requests ---- */

constexpr uint32_t kNeedsHandle = 1;  // an open handle
constexpr uint32_t kNeedsAddress = 2; // the argument is the address of a record
constexpr uint32_t kNeedsDriver = 4;  // an exchange with the adapter, under ConfigMutex
// Reads what a reconnecting reader may change (it does so under ConfigMutex).
constexpr uint32_t kNeedsLocation = kNeedsDriver;

int32_t IntArg(void *argument) { return static_cast<int32_t>(reinterpret_cast<intptr_t>(argument)); }

/* One request: what it needs, and what it does (the driver is given only
 * with kNeedsDriver; dev is null only for requests without kNeedsHandle
 * that were made without a handle). */
struct IoctlRequest {
    uint32_t request;
    uint32_t needs;
    int32_t (*run)(Device *dev, const DriverOps &ops, void *argument);
};

constexpr IoctlRequest kIoctlRequests[] = {
    {KORVA_IOCTL_SET_DEBUG_LEVEL, 0,
     [](Device *, const DriverOps &, void *a) {
         AtomicStore(debug, IntArg(a));
         return int32_t{KORVA_ERR_OK};
     }},
    {KORVA_IOCTL_GET_HW_PARAM, kNeedsHandle | kNeedsAddress | kNeedsLocation,
     [](Device *dev, const DriverOps &, void *a) {
         auto *p = static_cast<HwParam *>(a);
         p->SerialNr = dev->SerialNr;
         p->HwVersion = dev->HwVersion;
         p->SwVersion = dev->SwVersion;
         switch (dev->DeviceType) {
         case DEVTYPE_SERIAL: p->HwType = KORVA_HWTYPE_SERIAL; break;
         case DEVTYPE_USB: p->HwType = KORVA_HWTYPE_USB; break;
         case DEVTYPE_NET: p->HwType = KORVA_HWTYPE_NET; break;
         case DEVTYPE_OCERA: p->HwType = KORVA_HWTYPE_OCERA; break;
         default: p->HwType = KORVA_HWTYPE_UNKNOWN; break;
         }
         return int32_t{KORVA_ERR_OK};
     }},
    {KORVA_IOCTL_SET_SPEED, kNeedsHandle | kNeedsDriver,
     [](Device *dev, const DriverOps &ops, void *a) {
         return ops.SetDeviceSpeed(dev, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(a)));
     }},
    {KORVA_IOCTL_SET_BTR, kNeedsHandle | kNeedsAddress | kNeedsDriver,
     [](Device *dev, const DriverOps &ops, void *a) { return ops.SetDeviceBTR(dev, static_cast<const uint8_t *>(a)); }},
    {KORVA_IOCTL_GET_FLAGS, kNeedsHandle | kNeedsAddress | kNeedsDriver,
     [](Device *dev, const DriverOps &ops, void *a) { return ops.GetDeviceFlags(dev, static_cast<uint32_t *>(a)); }},
    {KORVA_IOCTL_SET_ACC_CODE_MASK, kNeedsHandle | kNeedsAddress | kNeedsDriver,
     [](Device *dev, const DriverOps &ops, void *a) {
         return ops.SetDeviceAccCodeMask(dev, static_cast<const uint32_t *>(a));
     }},
    {KORVA_IOCTL_SET_TIMESTAMP, kNeedsHandle | kNeedsDriver,
     [](Device *dev, const DriverOps &ops, void *a) { return ops.SetDeviceTimestamp(dev, IntArg(a)); }},
    {KORVA_IOCTL_SET_DEBUG_CHANNEL, 0,
     [](Device *, const DriverOps &, void *a) {
         CloseDebugChannel();
         return OpenDebugChannel(IntArg(a));
     }},
    {KORVA_IOCTL_SET_BLOCKING_READ, kNeedsHandle,
     [](Device *dev, const DriverOps &, void *a) {
         AtomicStore(dev->BlockingRead, IntArg(a));
         return int32_t{KORVA_ERR_OK};
     }},
    {KORVA_IOCTL_SET_FILTER_MODE, kNeedsHandle | kNeedsDriver,
     [](Device *dev, const DriverOps &ops, void *a) { return ops.SetDeviceFilterMode(dev, IntArg(a)); }},
    {KORVA_IOCTL_GET_DIALECT, kNeedsHandle | kNeedsAddress,
     [](Device *dev, const DriverOps &, void *a) {
         *static_cast<int32_t *>(a) = dev->Dialect;
         return int32_t{KORVA_ERR_OK};
     }},
    {KORVA_IOCTL_SET_RECONNECT, kNeedsHandle,
     [](Device *dev, const DriverOps &, void *a) {
         AtomicStore(dev->Reconnect, IntArg(a) != 0 ? 1 : 0);
         // A reader that rests on a lost channel looks again.
         if (dev->WakePipeOpen) PlatWake(dev->WakePipe[1]);
         return int32_t{KORVA_ERR_OK};
     }},
    {KORVA_IOCTL_GET_LINK_STATS, kNeedsHandle | kNeedsAddress,
     [](Device *dev, const DriverOps &, void *a) {
         auto *stats = static_cast<LinkStats *>(a);
         stats->Losses = AtomicLoad(dev->Losses);
         stats->Reconnections = AtomicLoad(dev->Reconnections);
         stats->DroppedFrames = AtomicLoad(dev->DroppedFrames);
         return int32_t{KORVA_ERR_OK};
     }},
    {KORVA_IOCTL_SET_DATA_BITRATE, kNeedsHandle | kNeedsDriver,
     [](Device *dev, const DriverOps &ops, void *a) {
         if (ops.SetDeviceDataBitrate == nullptr) {
             TraceAt(UNIT_API, 250, KORVA_ERR_NOT_IMPLEMENTED, "no CAN FD on this adapter");
             return int32_t{KORVA_ERR_NOT_IMPLEMENTED};
         }
         return ops.SetDeviceDataBitrate(dev, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(a)));
     }},
    {KORVA_IOCTL_GET_API_VERSION, kNeedsAddress,
     [](Device *, const DriverOps &, void *a) {
         auto *v = static_cast<ApiVersion *>(a);
         v->Major = KORVA_VERSION_MAJOR;
         v->Minor = KORVA_VERSION_MINOR;
         v->SubMinor = KORVA_VERSION_PATCH;
         return int32_t{KORVA_ERR_OK};
     }},
};

/* The beginning of KORVA_Write and KORVA_WriteFd: the call trace, *written
 * set to 0, and the record of a handle that may send, or null with the
 * call's result in *rc. */
Device *WriteTarget(const char *call, int32_t handle, const void *frames, uint32_t count, uint32_t *&written,
                    uint32_t &scratch, int32_t *rc) {
    Device *dev = GetDevice(DeviceList, handle);
    TraceAt(UNIT_API, 293, KORVA_DEBUG_LEVEL_CALL, "%s(%d, %08" PRIXPTR ", %d, %08" PRIXPTR ")", call, handle,
            Hex(frames), static_cast<int>(count), Hex(written));
    if (written == nullptr) written = &scratch;
    *written = 0;
    if (dev == nullptr) {
        TraceAt(UNIT_API, 298, KORVA_ERR_HANDLE, "Handle is unknown");
        *rc = KORVA_ERR_HANDLE;
        return nullptr;
    }
    if (dev->Mode == KORVA_MODE_LISTEN_ONLY) {
        TraceAt(UNIT_API, 301, KORVA_ERR_LISTEN_ONLY, "Listen-Only-Mode");
        *rc = KORVA_ERR_LISTEN_ONLY;
        return nullptr;
    }
    if (frames == nullptr && count != 0) {
        *rc = KORVA_ERR_GENERIC;
        return nullptr;
    }
    return dev;
}

const IoctlRequest *FindIoctlRequest(uint32_t request) {
    for (const IoctlRequest &r : kIoctlRequests)
        if (r.request == request) return &r;
    return nullptr;
}

/* Serial number: the decimal digits at the start of the name. */
uint32_t SerialOfName(const char *name) {
    uint32_t v = 0;
    for (const char *p = name; *p >= '0' && *p <= '9'; ++p) v = v * 10U + static_cast<uint32_t>(*p - '0');
    return v;
}

} // namespace

extern "C" {

KORVA_EXPORT int32_t KORVA_CALL KORVA_Open(const char *name, int32_t mode) {
    std::lock_guard<std::mutex> guard(OpenCloseLock());
    TraceAt(UNIT_API, 54, KORVA_DEBUG_LEVEL_CALL, "KORVA_Open(%s)", name ? name : "(null)");

    Device *list[DEVICE_LIST_SIZE] = {};
    Device local;
    InitDevice(&local);
    Device *cand = nullptr;

    if (name != nullptr) {
        if (ConvertDeviceName2SystemName(name, local.SystemName) != 0) {
            TraceAt(UNIT_API, 73, KORVA_ERR_NO_DEVICE, "device name too long");
            return KORVA_ERR_NO_DEVICE;
        }
        if (GetDeviceType(&local) == 0) {
            // A Lawicel adapter has one command stream: a second handle on
            // it would reset it under the first and share its line with a
            // second reader.  (A LinCAN device may be opened more than once:
            // the kernel driver gives each descriptor its own queue.)
            if (local.DeviceType != DEVTYPE_OCERA) {
                if (const int32_t open = HandleOfSystemName(local.SystemName)) {
                    TraceAt(UNIT_API, 70, KORVA_ERR_NO_DEVICE, "%s is open already (handle %d)", local.SystemName,
                            open);
                    return KORVA_ERR_NO_DEVICE;
                }
            }
            InitSystem(&local);
            const DriverOps ops = DriverOfKind(local.DeviceType);
            ops.ResetDevice(&local);
            if (ops.GetDeviceSerialNrNVersion(&local) != 0) {
                ReleaseChannelResources(&local);
                TraceAt(UNIT_API, 73, KORVA_ERR_NO_DEVICE, "no device found at this location");
                return KORVA_ERR_NO_DEVICE;
            }
            cand = &local;
        } else {
            EnumDevices2List(list);
            const uint32_t serial = SerialOfName(name);
            // A quiet adapter has no serial number: its 0 is no answer.
            for (int i = 0; i < DEVICE_LIST_SIZE && list[i] != nullptr; ++i)
                if (list[i]->SerialNr == serial && list[i]->Dialect != KORVA_DIALECT_QUIET) cand = list[i];
            InitSystem(cand);
        }
    } else {
        EnumDevices2List(list);
        cand = list[0];
        InitSystem(cand);
    }

    if (cand == nullptr) {
        ReleaseDiscovery(list);
        TraceAt(UNIT_API, 93, KORVA_ERR_NO_DEVICE, "no device found");
        return KORVA_ERR_NO_DEVICE;
    }
    // An adapter chosen by its serial number, or as the first found, is
    // looked for by that number too when it comes back.
    if (cand != &local) cand->FoundBySerial = 1;
    const int32_t rc = OpenAndRegister(cand, mode);
    ReleaseDiscovery(list);
    return rc;
}

int32_t OpenAndRegister(Device *cand, int32_t mode) {
    // The record keeps its kind's driver, filter mode included: the
    // process-wide table has no filter-mode operation for LinCAN.
    const DriverOps ops = DriverOfKind(cand->DeviceType);
    cand->Mode = mode;
    if (ops.OpenDevice(cand) != 0) {
        ReleaseChannelResources(cand);
        TraceAt(UNIT_API, 101, KORVA_ERR_SYSTEM, "OpenDevice");
        return KORVA_ERR_SYSTEM;
    }
    cand->Ops = ops;
    cand->OpsValid = 1;

    Device *dev = AddDevice2List(DeviceList, cand);
    if (dev == nullptr) {
        ops.CloseDevice(cand);
        ReleaseChannelResources(cand);
        TraceAt(UNIT_API, 105, KORVA_ERR_NO_MEMORY, "no free handle");
        return KORVA_ERR_NO_MEMORY;
    }
    // From here on the registered copy owns the channel and its buffers.
    HandOverDevice(cand);

    // The receive text buffer may hold bytes that arrived behind the open
    // command's reply: the reader decodes them first.
    if (dev->RxLine == nullptr) {
        dev->RxLine = static_cast<char *>(std::calloc(RX_BUF_SIZE, 1));
        dev->RxHave = 0;
    }
    if (dev->RxLine == nullptr) {
        AbandonRegistered(dev);
        TraceAt(UNIT_API, 110, KORVA_ERR_SYSTEM, "malloc");
        return KORVA_ERR_SYSTEM;
    }
    dev->RingBuf = static_cast<CanFdMsg *>(std::malloc(RING_SIZE * sizeof(CanFdMsg)));
    if (dev->RingBuf == nullptr) {
        AbandonRegistered(dev);
        TraceAt(UNIT_API, 118, KORVA_ERR_SYSTEM, "malloc");
        return KORVA_ERR_SYSTEM;
    }
    InitSync(dev);
    // The reader sleeps until the adapter sends or it is woken through this
    // (a stop, a pause, frame text to send).
    int wake[2] = {-1, -1};
    if (PlatWakePipe(wake) != 0) {
        TRACE_SYSCALL(UNIT_API, 122, "pipe");
        AbandonRegistered(dev);
        return KORVA_ERR_SYSTEM;
    }
    dev->WakePipe[0] = wake[0];
    dev->WakePipe[1] = wake[1];
    dev->WakePipeOpen = 1;

    AtomicStore(dev->ThreadAlive, 1);
    if (PlatThreadStart(&dev->Thread, ReaderMain, dev) != 0) {
        AtomicStore(dev->ThreadAlive, 0);
        AbandonRegistered(dev);
        TraceAt(UNIT_API, 127, KORVA_ERR_SYSTEM, "CreateThread failed");
        return KORVA_ERR_SYSTEM;
    }
    return dev->Handle;
}

KORVA_EXPORT int32_t KORVA_CALL KORVA_Close(int32_t handle) {
    std::lock_guard<std::mutex> guard(OpenCloseLock());
    Device *dev = GetDevice(DeviceList, handle);
    TraceAt(UNIT_API, 141, KORVA_DEBUG_LEVEL_CALL, "KORVA_Close(%d)", handle);
    if (dev == nullptr) {
        TraceAt(UNIT_API, 144, KORVA_ERR_HANDLE, "Handle is unknown");
        return KORVA_ERR_HANDLE;
    }
    // The adapter leaves the bus, what is still queued goes, and the
    // reader ends: each step ends as soon as it is done.  Bytes written
    // are the system's to deliver (closing a tty or socket sends them).
    const DriverOps ops = OpsOf(dev);
    ops.ResetDevice(dev);
    ops.FlushWriteBuffer(dev);
    StopReader(dev);
    EndWaitingReads(dev);
    if (const uint32_t fd = AtomicLoad(dev->FdPassed); fd != 0)
        TraceAt(UNIT_API, 146, KORVA_DEBUG_LEVEL_CALL + 1, "closing: KORVA_Read passed over %u CAN FD frame%s",
                static_cast<unsigned>(fd), fd == 1 ? "" : "s");
    DestroySync(dev);
    ops.CloseDevice(dev);
    ReleaseChannelResources(dev);
    std::free(dev->RingBuf);
    std::free(dev->RxLine);
    dev->RingBuf = nullptr;
    dev->RxLine = nullptr;
    RemoveDeviceFromList(DeviceList, *dev);
    return 0;
}

KORVA_EXPORT int32_t KORVA_CALL KORVA_Ioctl(int32_t handle, uint32_t request, void *argument) {
    Device *dev = GetDevice(DeviceList, handle);
    TraceAt(UNIT_API, 197, KORVA_DEBUG_LEVEL_CALL, "KORVA_Ioctl(%d, %d, %08" PRIXPTR ")", handle,
            static_cast<int>(request), Hex(argument));
    const IoctlRequest *r = FindIoctlRequest(request);
    if (dev == nullptr && (r == nullptr || (r->needs & kNeedsHandle))) {
        TraceAt(UNIT_API, 201, KORVA_ERR_HANDLE, "Handle is unknown");
        return KORVA_ERR_HANDLE;
    }
    if (r == nullptr || ((r->needs & kNeedsAddress) && argument == nullptr)) return KORVA_ERR_IOCTL;
    if (!(r->needs & kNeedsDriver)) return r->run(dev, DriverOps{}, argument);
    // Adapter requests: one exchange at a time per handle, whichever thread
    // asks (a Lawicel exchange closes and reopens the adapter's channel).
    if (pthread_mutex_lock(&dev->ConfigMutex) != 0) return KORVA_ERR_MUTEX;
    const int32_t rc = r->run(dev, OpsOf(dev), argument);
    if (rc == 0) RememberSetting(dev, request, argument);
    pthread_mutex_unlock(&dev->ConfigMutex);
    return rc;
}

KORVA_EXPORT int32_t KORVA_CALL KORVA_Flush(int32_t handle) {
    Device *dev = GetDevice(DeviceList, handle);
    TraceAt(UNIT_API, 279, KORVA_DEBUG_LEVEL_CALL, "KORVA_Flush(%d)", handle);
    if (dev == nullptr) {
        TraceAt(UNIT_API, 282, KORVA_ERR_HANDLE, "Handle is unknown");
        return KORVA_ERR_HANDLE;
    }
    return OpsOf(dev).FlushWriteBuffer(dev);
}

KORVA_EXPORT int32_t KORVA_CALL KORVA_Write(int32_t handle, const CanMsg *frames, uint32_t count,
                                           uint32_t *written) {
    uint32_t scratch = 0;
    int32_t rc = 0;
    Device *dev = WriteTarget("KORVA_Write", handle, frames, count, written, scratch, &rc);
    if (dev == nullptr) return rc;
    return OpsOf(dev).WriteFrame(dev, frames, count, written);
}

} // extern "C"

namespace {

/* KORVA_Read and KORVA_ReadFd: fetch(dev, &frames[i]) takes one record. */
template <typename Msg>
int32_t ReadFrames(const char *call, int32_t handle, Msg *frames, uint32_t count, uint32_t *read,
                   int32_t (*fetch)(Device *, Msg *)) {
    Device *dev = GetDevice(DeviceList, handle);
    TraceAt(UNIT_API, 316, KORVA_DEBUG_LEVEL_CALL, "%s(%d, %08" PRIXPTR ", %d, %08" PRIXPTR ")", call, handle,
            Hex(frames), static_cast<int>(count), Hex(read));
    uint32_t scratch = 0;
    if (read == nullptr) read = &scratch;
    *read = 0;
    if (dev == nullptr) {
        TraceAt(UNIT_API, 321, KORVA_ERR_HANDLE, "Handle is unknown");
        return KORVA_ERR_HANDLE;
    }
    if (frames == nullptr && count != 0) return KORVA_ERR_GENERIC;
    const ReadInProgress inProgress(dev);

    // Wait once for a frame.  A channel lost for good wakes the wait and
    // ends it; one that is being opened again does not, and closing the
    // handle ends every wait.
    const auto lostForGood = [dev] { return AtomicLoad(dev->ChannelLost) && !AtomicLoad(dev->Reconnect); };
    pthread_mutex_lock(&dev->WaitMutex);
    if (AtomicLoad(dev->RingCount) == 0 && AtomicLoad(dev->BlockingRead) != 0 && !lostForGood() &&
        !AtomicLoad(dev->StopThread))
        pthread_cond_wait(&dev->RxCond, &dev->WaitMutex);
    pthread_mutex_unlock(&dev->WaitMutex);

    const uint32_t held = AtomicLoad(dev->RingCount);
    uint32_t n = count < held ? count : held;
    if (count != 0) std::memset(static_cast<void *>(frames), 0, static_cast<size_t>(count) * sizeof(Msg));
    for (uint32_t i = 0; i < n; ++i) {
        const int32_t rc = fetch(dev, &frames[i]);
        if (rc == KORVA_ERR_NO_ELEMENT) {
            // Another thread reading this handle took the rest first (or,
            // for KORVA_Read, the rest were FD frames): what was fetched is
            // delivered, and nothing failed.
            n = i;
            break;
        }
        if (rc != 0) {
            *read = i;
            TraceAt(UNIT_API, 344, rc, "GetMsgFromBuf");
            return rc;
        }
    }
    *read = n;
    // Nothing will come any more: say so instead of returning empty-handed
    // for ever.
    if (n == 0 && lostForGood()) return KORVA_ERR_NO_DEVICE;
    // A read woken by KORVA_Close: the handle is going.
    if (n == 0 && AtomicLoad(dev->StopThread)) return KORVA_ERR_HANDLE;
    return KORVA_ERR_OK;
}

/* The frames KORVA_WriteFd may send: up to the first FD frame on a handle
 * without a data bit rate, FD remote frame or Length above 64. */
uint32_t SendableFdFrames(Device *dev, const CanFdMsg *frames, uint32_t count) {
    const bool fdHandle = AtomicLoad(dev->DataBitrate) != 0;
    for (uint32_t i = 0; i < count; ++i) {
        const bool fd = (frames[i].Flags & KORVA_FLAG_FD) != 0;
        const char *why = frames[i].Length > 64                      ? "more than 64 data bytes"
                          : fd && !fdHandle                          ? "an FD frame, but no data bit rate was set"
                          : fd && (frames[i].Flags & KORVA_FLAG_REMOTE) ? "an FD frame cannot be a remote frame"
                                                                     : nullptr;
        if (why != nullptr) {
            TraceAt(UNIT_API, 305, KORVA_ERR_GENERIC, "frame %u not sent: %s", static_cast<unsigned>(i), why);
            return i;
        }
    }
    return count;
}

/* Classic records of KORVA_WriteFd for a driver without FD, in chunks. */
int32_t WriteClassicOfFd(Device *dev, const DriverOps &ops, const CanFdMsg *frames, uint32_t count,
                         uint32_t *written) {
    CanMsg chunk[64];
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = count - done < 64 ? count - done : 64;
        for (uint32_t i = 0; i < n; ++i) chunk[i] = ClassicOfFdMsg(&frames[done + i]);
        uint32_t took = 0;
        const int32_t rc = ops.WriteFrame(dev, chunk, n, &took);
        *written += took;
        if (rc != 0 || took != n) return rc;
        done += n;
    }
    return 0;
}

} // namespace

extern "C" {

KORVA_EXPORT int32_t KORVA_CALL KORVA_Read(int32_t handle, CanMsg *frames, uint32_t count, uint32_t *read) {
    return ReadFrames("KORVA_Read", handle, frames, count, read, GetMsgFromBuf);
}

KORVA_EXPORT int32_t KORVA_CALL KORVA_ReadFd(int32_t handle, CanFdMsg *frames, uint32_t count, uint32_t *read) {
    return ReadFrames("KORVA_ReadFd", handle, frames, count, read, GetFdMsgFromBuf);
}

KORVA_EXPORT int32_t KORVA_CALL KORVA_WriteFd(int32_t handle, const CanFdMsg *frames, uint32_t count,
                                             uint32_t *written) {
    uint32_t scratch = 0;
    int32_t rc = 0;
    Device *dev = WriteTarget("KORVA_WriteFd", handle, frames, count, written, scratch, &rc);
    if (dev == nullptr) return rc;
    const uint32_t sendable = SendableFdFrames(dev, frames, count);
    const DriverOps ops = OpsOf(dev);
    rc = ops.WriteFdFrame != nullptr ? ops.WriteFdFrame(dev, frames, sendable, written)
                                     : WriteClassicOfFd(dev, ops, frames, sendable, written);
    if (rc != 0) return rc;
    return sendable < count ? KORVA_ERR_GENERIC : KORVA_ERR_OK;
}

KORVA_EXPORT int32_t KORVA_CALL KORVA_SetRcvEvent(int32_t handle, void *event) {
    Device *dev = GetDevice(DeviceList, handle);
    TraceAt(UNIT_API, 364, KORVA_DEBUG_LEVEL_CALL, "KORVA_SetRcvEvent(%d, %08" PRIXPTR ")", handle, Hex(event));
    if (dev == nullptr) return KORVA_ERR_HANDLE;
    AtomicStore(dev->RcvEvent, event);
    return KORVA_ERR_OK;
}

KORVA_EXPORT int32_t KORVA_CALL KORVA_GetErrorString(int32_t code, char *buffer, uint32_t max) {
    // The caller's buffer need not be terminated yet: show at most max
    // characters of it.
    if (TraceEnabled(KORVA_DEBUG_LEVEL_CALL)) {
        if (buffer == nullptr)
            TraceAt(UNIT_API, 375, KORVA_DEBUG_LEVEL_CALL, "KORVA_GetErrorString(%d, (null), %d)", code,
                    static_cast<int>(max));
        else
            TraceAt(UNIT_API, 375, KORVA_DEBUG_LEVEL_CALL, "KORVA_GetErrorString(%d, %.*s, %d)", code,
                    static_cast<int>(strnlen(buffer, max)), buffer, static_cast<int>(max));
    }
    if (buffer == nullptr) return 0;
    return static_cast<int32_t>(strcpy_max(buffer, ErrorTextOf(code), max));
}

} // extern "C"
