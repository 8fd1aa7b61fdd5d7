/*
 * sysfuncs.cpp - the handle table, the driver operation table, the receive
 * ring, the trace log, device naming and discovery.
 */
#include "sysfuncs.h"
#include "reconnect.h"

#include "platform.h"
#include "sysfuncs_lawicel.h"
#include "sysfuncs_ocera.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern "C" {

/* ------------------------------------------------------------------------
 * Driver operation table.  At load time it holds the Lawicel driver, so
 * that discovery, which runs before any driver is chosen, speaks the
 * Lawicel protocol.
 * ---------------------------------------------------------------------- */
int32_t (*GetDeviceSerialNrNVersion)(Device *) = GetDeviceSerialNrNVersion_Lawicel;
int32_t (*GetDeviceFlags)(Device *, uint32_t *) = GetDeviceFlags_Lawicel;
int32_t (*SetDeviceAccCodeMask)(Device *, const uint32_t *) = SetDeviceAccCodeMask_Lawicel;
int32_t (*SetDeviceTimestamp)(Device *, int32_t) = SetDeviceTimestamp_Lawicel;
int32_t (*SetDeviceFilterMode)(Device *, int32_t) = SetDeviceFilterMode_Lawicel;
int32_t (*FlushReadBuffer)(Device *) = FlushReadBuffer_Lawicel;
int32_t (*OpenDevice)(Device *) = OpenDevice_Lawicel;
int32_t (*ResetDevice)(Device *) = ResetDevice_Lawicel;
int32_t (*CloseDevice)(Device *) = CloseDevice_Lawicel;
int32_t (*SetDeviceSpeed)(Device *, uint32_t) = SetDeviceSpeed_Lawicel;
int32_t (*SetDeviceBTR)(Device *, const uint8_t *) = SetDeviceBTR_Lawicel;
void *(*ReadThread)(void *) = ReadThread_Lawicel;
int32_t (*WriteFrame)(Device *, const CanMsg *, uint32_t, uint32_t *) = WriteFrame_Lawicel;
int32_t (*FlushWriteBuffer)(Device *) = FlushWriteBuffer_Lawicel;

Device *DeviceList[DEVICE_LIST_SIZE];
int32_t IsLinux = 1;

/* The directory that discovery scans.  Tools and tests may point it at a
 * directory of their own (for example one holding links to simulated
 * adapters); the library itself never changes it. */
const char *DiscoveryDir = "/dev";

/* Fills the process-wide table with one driver's operations: every slot
 * but SetDeviceFilterMode, which keeps the Lawicel operation it holds from
 * load time. */
static void FillDriverTable(const DriverOps &d) {
    GetDeviceSerialNrNVersion = d.GetDeviceSerialNrNVersion;
    GetDeviceFlags = d.GetDeviceFlags;
    SetDeviceAccCodeMask = d.SetDeviceAccCodeMask;
    SetDeviceTimestamp = d.SetDeviceTimestamp;
    FlushReadBuffer = d.FlushReadBuffer;
    OpenDevice = d.OpenDevice;
    ResetDevice = d.ResetDevice;
    CloseDevice = d.CloseDevice;
    FlushWriteBuffer = d.FlushWriteBuffer;
    SetDeviceSpeed = d.SetDeviceSpeed;
    SetDeviceBTR = d.SetDeviceBTR;
    WriteFrame = d.WriteFrame;
    ReadThread = d.ReadThread;
}

void InitSystem_Lawicel(void) { FillDriverTable(Driver_Lawicel); }

void InitSystem_Ocera(void) { FillDriverTable(Driver_Ocera); }

void InitSystem(Device *dev) {
    if (dev == nullptr) return;
    if (dev->DeviceType == DEVTYPE_OCERA)
        InitSystem_Ocera();
    else
        InitSystem_Lawicel();
}

DriverOps DriverOfKind(int32_t deviceType) { return deviceType == DEVTYPE_OCERA ? Driver_Ocera : Driver_Lawicel; }

DriverOps CurrentDriverOps(void) {
    return DriverOps{GetDeviceSerialNrNVersion, GetDeviceFlags, SetDeviceAccCodeMask,
                     SetDeviceTimestamp,        SetDeviceFilterMode, FlushReadBuffer,
                     OpenDevice,                ResetDevice,    CloseDevice,
                     SetDeviceSpeed,            SetDeviceBTR,   ReadThread,
                     WriteFrame,                FlushWriteBuffer,
                     nullptr,                   nullptr}; // no process-wide FD slots
}

DriverOps OpsOf(const Device *dev) {
    if (dev != nullptr && dev->OpsValid) return dev->Ops;
    return DriverOfKind(dev != nullptr ? dev->DeviceType : DEVTYPE_NONE);
}

/* ------------------------------------------------------------------------
 * Records and lists
 * ---------------------------------------------------------------------- */
void InitDevice(Device *dev) {
    std::memset(static_cast<void *>(dev), 0, sizeof *dev);
    dev->Magic = DEVICE_MAGIC;
    dev->Fd = -1;
    dev->Socket = -1;
    dev->WakePipe[0] = dev->WakePipe[1] = -1;
}

Device *AddDevice2List(Device **list, const Device *dev) {
    if (dev == nullptr || dev->Magic != DEVICE_MAGIC) return nullptr;
    for (int i = 0; i < DEVICE_LIST_SIZE; ++i) {
        if (AtomicLoad(list[i]) != nullptr) continue;
        auto *copy = static_cast<Device *>(std::malloc(sizeof(Device)));
        if (copy == nullptr) return nullptr;
        std::memcpy(static_cast<void *>(copy), dev, sizeof(Device));
        copy->Handle = i + 1;
        // The bytes of an initialised mutex are no mutex of their own (with
        // winpthreads they point at the original's), so the copy has none.
        copy->TxMutexInit = 0;
        copy->SyncInit = 0;
        AtomicStore(list[i], copy);
        return copy;
    }
    return nullptr;
}

int32_t RemoveDeviceFromList(Device **list, Device dev) {
    for (int i = 0; i < DEVICE_LIST_SIZE; ++i) {
        Device *d = AtomicLoad(list[i]);
        if (d == nullptr || d->Handle != dev.Handle) continue;
        AtomicStore(list[i], static_cast<Device *>(nullptr));
        std::memset(static_cast<void *>(d), 0, sizeof *d);
        std::free(d);
        return 0;
    }
    return KORVA_ERR_NO_ELEMENT;
}

Device *GetDevice(Device **list, int32_t handle) {
    const uint32_t slot = static_cast<uint32_t>(handle) - 1U;
    if (slot > DEVICE_LIST_SIZE - 1) return nullptr;
    return AtomicLoad(list[slot]);
}

int32_t DeviceListSize(Device **list) {
    int32_t n = 0;
    for (int i = 0; i < DEVICE_LIST_SIZE; ++i)
        if (AtomicLoad(list[i]) != nullptr) ++n;
    return n;
}

void FreeDeviceList(Device **list) {
    for (int i = 0; i < DEVICE_LIST_SIZE && list[i] != nullptr; ++i) {
        // Channels stay as they are (an open handle may share one), but the
        // transmit buffer a probe allocated goes with its record.
        Device *d = list[i];
        std::free(d->TxBuf);
        std::free(d->RxLine);
        if (d->TxMutexInit) pthread_mutex_destroy(&d->TxMutex);
        std::free(list[i]);
        list[i] = nullptr;
    }
}

void HandOverDevice(Device *dev) {
    dev->Fd = dev->Socket = -1;
    dev->ChannelOpen = 0;
    dev->TxBuf = nullptr;
    AtomicStore(dev->TxCount, 0U);
    dev->RxLine = nullptr;
    dev->RxHave = 0;
    dev->WakePipe[0] = dev->WakePipe[1] = -1;
    dev->WakePipeOpen = 0;
    if (dev->TxMutexInit) {
        pthread_mutex_destroy(&dev->TxMutex);
        dev->TxMutexInit = 0;
    }
}

void ReleaseChannelResources(Device *dev) {
    if (dev->Fd >= 0) PlatClose(dev->Fd, 0);
    if (dev->Socket >= 0) PlatClose(dev->Socket, 1);
    dev->Fd = dev->Socket = -1;
    dev->ChannelOpen = 0;
    if (dev->WakePipeOpen) {
        PlatClose(dev->WakePipe[0], 0);
        PlatClose(dev->WakePipe[1], 0);
        dev->WakePipe[0] = dev->WakePipe[1] = -1;
        dev->WakePipeOpen = 0;
    }
    // Text still queued here did not go in the final flush (a stalled
    // line): it has nowhere to go now, and the trace says so.
    const uint32_t queued = AtomicExchange(dev->TxCount, 0U);
    if (dev->TxBuf != nullptr && queued != 0)
        TraceAt(UNIT_SYS, 760, KORVA_ERR_GENERIC, "closing: %u bytes of queued frame text dropped",
                static_cast<unsigned>(queued));
    std::free(dev->TxBuf);
    dev->TxBuf = nullptr;
    std::free(dev->RxLine);
    dev->RxLine = nullptr;
    dev->RxHave = 0;
    if (dev->TxMutexInit) {
        pthread_mutex_destroy(&dev->TxMutex);
        dev->TxMutexInit = 0;
    }
}

/* ------------------------------------------------------------------------
 * Receive ring.  RingCount is also read without the lock (by KORVA_Read,
 * to learn how many frames to fetch), so it is changed atomically.
 * ---------------------------------------------------------------------- */
CanFdMsg FdMsgOfClassic(const CanMsg *msg) {
    CanFdMsg r{};
    r.Identifier = msg->Identifier;
    r.Length = msg->Length > 8 ? 8 : msg->Length;
    r.Flags = static_cast<uint8_t>(msg->Flags & ~(KORVA_FLAG_FD | KORVA_FLAG_BRS | KORVA_FLAG_ESI));
    r.TimeStamp = msg->TimeStamp;
    std::memcpy(r.Data, msg->Data, sizeof msg->Data);
    return r;
}

CanMsg ClassicOfFdMsg(const CanFdMsg *msg) {
    CanMsg r{};
    r.Identifier = msg->Identifier;
    r.Length = msg->Length > 8 ? 8 : msg->Length;
    std::memcpy(r.Data, msg->Data, sizeof r.Data);
    r.Flags = static_cast<uint8_t>(msg->Flags & (KORVA_FLAG_STANDARD | KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE |
                                                 KORVA_FLAG_TIMESTAMP));
    r.TimeStamp = msg->TimeStamp;
    return r;
}

} // extern "C"

namespace {

/* Stores count records under the ring's lock (held), each as given by
 * at(i); returns how many fitted. */
template <typename At> uint32_t StoreLocked(Device *dev, uint32_t count, At at) {
    const uint32_t room = RING_SIZE - dev->RingCount;
    const uint32_t stored = count < room ? count : room;
    for (uint32_t i = 0; i < stored; ++i) {
        if (dev->RingWrite == nullptr || dev->RingWrite > dev->RingBuf + (RING_SIZE - 1))
            dev->RingWrite = dev->RingBuf;
        *dev->RingWrite++ = at(i);
    }
    AtomicStore(dev->RingCount, dev->RingCount + stored);
    return stored;
}

/* Takes the oldest record (ring lock held, ring not empty). */
CanFdMsg TakeLocked(Device *dev) {
    if (dev->RingRead == nullptr) dev->RingRead = dev->RingBuf;
    const CanFdMsg m = *dev->RingRead;
    ++dev->RingRead;
    if (dev->RingRead > dev->RingBuf + (RING_SIZE - 1)) dev->RingRead = dev->RingBuf;
    AtomicStore(dev->RingCount, dev->RingCount - 1);
    return m;
}

/* Stores what at(i) gives for i < count and wakes the readers once. */
template <typename At> uint32_t StoreAndNotify(Device *dev, uint32_t count, At at) {
    if (count == 0 || dev->RingBuf == nullptr) return 0;
    if (pthread_mutex_lock(&dev->RingMutex) != 0) {
        AtomicOr(dev->StatusFlags, static_cast<uint32_t>(KORVA_STATUS_BUFFER_OVERRUN));
        return 0;
    }
    const uint32_t stored = StoreLocked(dev, count, at);
    pthread_mutex_unlock(&dev->RingMutex);
    if (stored < count) AtomicOr(dev->StatusFlags, static_cast<uint32_t>(KORVA_STATUS_BUFFER_OVERRUN));
    if (stored == 0) return 0;
    pthread_mutex_lock(&dev->WaitMutex);
    pthread_cond_broadcast(&dev->RxCond);
    pthread_mutex_unlock(&dev->WaitMutex);
    if (void *ev = AtomicLoad(dev->RcvEvent)) PlatPostEvent(ev, stored);
    return stored;
}

/* FD frames a classic read passed over: the status flag, the handle's
 * count, and a trace line for the first of them (KORVA_Close traces the count). */
void CountFdPassed(Device *dev, uint32_t passed) {
    if (passed == 0) return;
    AtomicOr(dev->StatusFlags, static_cast<uint32_t>(KORVA_STATUS_FD_PASSED));
    if (std::atomic_ref<uint32_t>(dev->FdPassed).fetch_add(passed, std::memory_order_relaxed) == 0)
        TraceAt(UNIT_SYS, 762, KORVA_DEBUG_LEVEL_CALL + 1,
                "KORVA_Read passes CAN FD frames over (KORVA_ReadFd delivers them)");
}

} // namespace

extern "C" {

int32_t AddMsg2Buf(Device *dev, CanMsg msg) {
    if (pthread_mutex_lock(&dev->RingMutex) != 0) return KORVA_ERR_MUTEX;
    const bool full = dev->RingBuf == nullptr || dev->RingCount > RING_SIZE - 1;
    if (!full) StoreLocked(dev, 1, [&msg](uint32_t) { return FdMsgOfClassic(&msg); });
    pthread_mutex_unlock(&dev->RingMutex);
    return full ? KORVA_ERR_NO_MEMORY : 0;
}

int32_t GetFdMsgFromBuf(Device *dev, CanFdMsg *out) {
    if (pthread_mutex_lock(&dev->RingMutex) != 0) return KORVA_ERR_MUTEX;
    const bool empty = dev->RingCount == 0;
    if (!empty) *out = TakeLocked(dev);
    pthread_mutex_unlock(&dev->RingMutex);
    return empty ? KORVA_ERR_NO_ELEMENT : 0;
}

int32_t GetMsgFromBuf(Device *dev, CanMsg *out) {
    if (pthread_mutex_lock(&dev->RingMutex) != 0) return KORVA_ERR_MUTEX;
    uint32_t passed = 0;
    while (dev->RingCount != 0) {
        const CanFdMsg m = TakeLocked(dev);
        if (m.Flags & KORVA_FLAG_FD) {
            ++passed;
            continue;
        }
        pthread_mutex_unlock(&dev->RingMutex);
        CountFdPassed(dev, passed);
        *out = ClassicOfFdMsg(&m);
        return 0;
    }
    pthread_mutex_unlock(&dev->RingMutex);
    CountFdPassed(dev, passed);
    return KORVA_ERR_NO_ELEMENT;
}

int32_t AddMsg2BufAndNotify(Device *dev, const CanMsg *msg) {
    return AddMsgs2BufAndNotify(dev, msg, 1) == 1 ? 0 : KORVA_ERR_NO_MEMORY;
}

uint32_t AddMsgs2BufAndNotify(Device *dev, const CanMsg *msgs, uint32_t count) {
    return StoreAndNotify(dev, count, [msgs](uint32_t i) { return FdMsgOfClassic(&msgs[i]); });
}

uint32_t AddFdMsgs2BufAndNotify(Device *dev, const CanFdMsg *msgs, uint32_t count) {
    return StoreAndNotify(dev, count, [msgs](uint32_t i) { return msgs[i]; });
}

void MarkChannelLost(Device *dev) {
    if (AtomicExchange(dev->ChannelLost, 1) != 0) return;
    std::atomic_ref<uint32_t>(dev->Losses).fetch_add(1, std::memory_order_relaxed);
    AtomicOr(dev->StatusFlags, static_cast<uint32_t>(KORVA_STATUS_CHANNEL_LOST));
    TraceAt(UNIT_SYS, 718, KORVA_ERR_NO_DEVICE, "%s: the connection to the adapter is lost%s", dev->SystemName,
            AtomicLoad(dev->Reconnect) ? "; opening it again" : "");
    // A handle that reconnects lets blocked readers wait on: frames come
    // again once the adapter is back.  The receive event tells of the loss
    // either way.
    if (!AtomicLoad(dev->Reconnect)) {
        pthread_mutex_lock(&dev->WaitMutex);
        pthread_cond_broadcast(&dev->RxCond);
        pthread_mutex_unlock(&dev->WaitMutex);
    }
    if (void *ev = AtomicLoad(dev->RcvEvent)) PlatPostEvent(ev, 1);
}

int32_t GetTickCount(void) { return PlatTicks(); }

/* ------------------------------------------------------------------------
 * Trace log.  One recursive lock keeps each line whole and pairs it with
 * the source position its writer set; the threshold is read without it.
 * ---------------------------------------------------------------------- */
int32_t debug = 0;
FILE *debugout = nullptr;
const char *debugfile = "unknown.c";
int32_t debugline = 0;

} // extern "C"

namespace {

std::recursive_mutex &TraceLock() {
    static std::recursive_mutex lock;
    return lock;
}

const char *BaseName(const char *path) {
    if (path == nullptr) return "";
    if (const char *b = std::strrchr(path, '\\')) return b + 1;
    if (const char *s = std::strrchr(path, '/')) return s + 1;
    return path;
}

void WriteLine(int32_t level, const char *format, va_list ap) {
    if (debugout == nullptr) debugout = stderr;
    const char *prefix = level == KORVA_DEBUG_LEVEL_SYSTEM ? "*** "
                         : level == KORVA_DEBUG_LEVEL_CALL ? "+++ "
                                                           : "--- ";
    // The position text is bounded to 31 characters, however long the
    // source unit's name.
    char where[32];
    std::snprintf(where, sizeof where, "%s[%d]: ", BaseName(debugfile), debugline);
    std::fprintf(debugout, "%s%-29s", prefix, where);
    std::vfprintf(debugout, format, ap);
    std::fputc('\n', debugout);
    std::fflush(debugout);
}

} // namespace

extern "C" {

int32_t TraceEnabled(int32_t level) {
    const int32_t threshold = AtomicLoad(debug);
    return threshold != 0 && level >= threshold;
}

int32_t Error(int32_t level, const char *format, ...) {
    if (!TraceEnabled(level)) return 0;
    std::lock_guard<std::recursive_mutex> guard(TraceLock());
    va_list ap;
    va_start(ap, format);
    WriteLine(level, format, ap);
    va_end(ap);
    return 0;
}

void TraceAt(const char *unit, int32_t line, int32_t level, const char *format, ...) {
    if (!TraceEnabled(level)) return;
    std::lock_guard<std::recursive_mutex> guard(TraceLock());
    debugfile = unit;
    debugline = line;
    va_list ap;
    va_start(ap, format);
    WriteLine(level, format, ap);
    va_end(ap);
}

int32_t OpenDebugChannel(int32_t channel) {
    std::lock_guard<std::recursive_mutex> guard(TraceLock());
    if (channel != KORVA_DEBUG_TO_FILE) {
        debugout = stderr;
        return 0;
    }
    if (FILE *f = std::fopen("korva_api.log", "w")) {
        debugout = f;
        return 0;
    }
    debugout = stderr;
    TraceAt(UNIT_SYS, 47, KORVA_ERR_GENERIC, "couldn't open/create the log file");
    return -1;
}

void CloseDebugChannel(void) {
    std::lock_guard<std::recursive_mutex> guard(TraceLock());
    if (debugout != nullptr && debugout != stderr) std::fclose(debugout);
    debugout = stderr;
}

uint32_t strcpy_max(char *destination, const char *source, uint32_t max) {
    const size_t n = std::strlen(source);
    if (n > max) {
        std::memcpy(destination, source, max);
        destination[max] = '\0';
        return max;
    }
    std::memcpy(destination, source, n + 1);
    return static_cast<uint32_t>(n);
}

/* ------------------------------------------------------------------------
 * Naming and discovery
 * ---------------------------------------------------------------------- */
int32_t ConvertDeviceName2SystemName(const char *name, char *systemName) {
    constexpr size_t kRoom = sizeof(Device::SystemName) - 1;
    const size_t len = std::strlen(name);
    // Network locations and absolute paths stay as given ("/dev/ttyS0",
    // or a link elsewhere such as "/tmp/bench/ttyUSB0"); a short name is a
    // node of "/dev".
    const bool keep = std::strchr(name, ':') != nullptr || name[0] == '/';
    // A name that does not fit is refused whole: cutting it could turn it
    // into the name of another adapter.
    if ((keep && len > kRoom) || (!keep && len + 5 > kRoom)) {
        systemName[0] = '\0';
        return -1;
    }
    if (keep) {
        std::memcpy(systemName, name, len + 1);
    } else {
        std::memcpy(systemName, "/dev/", 5);
        std::memcpy(systemName + 5, name, len + 1);
    }
    return 0;
}

} // extern "C"

namespace {

/* "HOST:PORT" with a nonempty host, a port of decimal digits only that
 * is not 0, and no "/" anywhere: "canbus-gw:2001", "10.0.0.7:3333"; not
 * "/dev/ttyS0:1", "host:0" or "host:2001abc". */
bool IsNetworkName(const char *name) {
    if (std::strchr(name, '/') != nullptr) return false;
    const char *colon = std::strchr(name, ':');
    if (colon == nullptr || colon == name || colon[1] == '\0') return false;
    bool nonzero = false;
    for (const char *p = colon + 1; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        nonzero = nonzero || *p != '0';
    }
    return nonzero;
}

/* HostName and Port from the text before and after the first colon; the
 * port is read up to the first character that is not a digit, its low 16
 * bits kept ("host:2001abc" gives 2001).  DEVTYPE_NET when both are
 * there; a host that does not fit HostName gives no kind.  Always 0. */
int32_t SetNetworkPeer(Device *dev, const char *name) {
    const char *colon = std::strchr(name, ':');
    const size_t hostLen = static_cast<size_t>(colon - name);
    if (hostLen > sizeof(dev->HostName) - 1) return 0;
    std::memcpy(dev->HostName, name, hostLen);
    dev->HostName[hostLen] = '\0';
    uint32_t port = 0;
    for (const char *p = colon + 1; *p >= '0' && *p <= '9'; ++p)
        port = port * 10U + static_cast<uint32_t>(*p - '0');
    dev->Port = static_cast<uint16_t>(port);
    if (dev->HostName[0] != '\0' && dev->Port != 0) dev->DeviceType = DEVTYPE_NET;
    return 0;
}

} // namespace

extern "C" {

int32_t GetDeviceType(Device *dev) {
    if (dev->Magic != DEVICE_MAGIC) InitDevice(dev);
    if (dev->DeviceType != DEVTYPE_NONE) return 0;
    TraceAt(UNIT_SYS, 604, KORVA_DEBUG_LEVEL_CALL, "GetDeviceType");
    dev->DeviceType = DEVTYPE_NONE;
    const char *name = dev->SystemName;
    // HOST:PORT is a network adapter whatever the host is called (a
    // gateway named "canbus-gw" is the usual case); device paths have a
    // "/" and keep the rules below.
    if (IsNetworkName(name)) return SetNetworkPeer(dev, name);
    if (std::strstr(name, "COM") || std::strstr(name, "tty")) {
        dev->DeviceType = std::strstr(name, "USB") ? DEVTYPE_USB : DEVTYPE_SERIAL;
        return 0;
    }
    if (std::strstr(name, "can")) {
        dev->DeviceType = DEVTYPE_OCERA;
        return 0;
    }
    if (std::strchr(name, ':') == nullptr) return -1;
    return SetNetworkPeer(dev, name);
}

int32_t ClassifyDeviceName(const char *name) {
    if (name == nullptr) return -1;
    Device d;
    InitDevice(&d);
    if (ConvertDeviceName2SystemName(name, d.SystemName) != 0) return DEVTYPE_NONE;
    return GetDeviceType(&d) == 0 ? d.DeviceType : -1;
}

} // extern "C"

namespace {
/* Guards the system names of registered records, which a reconnecting
 * reader may change. */
std::mutex &NameLock() {
    static std::mutex lock;
    return lock;
}
} // namespace

extern "C" {

void RenameDevice(Device *dev, const char *systemName) {
    std::lock_guard<std::mutex> guard(NameLock());
    strcpy_max(dev->SystemName, systemName, sizeof dev->SystemName - 1);
}

int32_t HandleOfSystemName(const char *systemName) {
    std::lock_guard<std::mutex> guard(NameLock());
    for (int i = 0; i < DEVICE_LIST_SIZE; ++i) {
        const Device *d = AtomicLoad(DeviceList[i]);
        if (d != nullptr && std::strcmp(d->SystemName, systemName) == 0) return d->Handle;
    }
    return 0;
}

int32_t EnumDevicesInDir2List(Device **list, const char *dir) {
    PlatDir *d = PlatDirOpen(dir);
    if (d == nullptr) return 0;
    while (const char *entry = PlatDirNext(d)) {
        if (std::strncmp(entry, "ttyS", 4) != 0 && std::strncmp(entry, "ttyUSB", 6) != 0 &&
            std::strncmp(entry, "can", 3) != 0 && !PlatIsSystemSerialPortName(entry))
            continue;
        Device cand;
        InitDevice(&cand);
        const int len = std::snprintf(cand.SystemName, sizeof cand.SystemName, "%s/%s", dir, entry);
        if (len < 0 || static_cast<size_t>(len) >= sizeof cand.SystemName) continue;
        // An adapter that is open already is not probed again: the probe's
        // reset would take it off the bus under its user.
        if (HandleOfSystemName(cand.SystemName) != 0) continue;
        // An entry that cannot be examined (a dangling link, say) is passed
        // over; the adapters after it are still found.
        int isChar = 0;
        if (PlatStatCharDevice(cand.SystemName, &isChar) != 0 || !isChar) continue;
        // Each node is probed by the driver of its kind, whatever driver
        // the process-wide table holds after earlier opens.
        GetDeviceType(&cand);
        const DriverOps ops = DriverOfKind(cand.DeviceType);
        ops.ResetDevice(&cand);
        if (ops.GetDeviceSerialNrNVersion(&cand) == 0 && AddDevice2List(list, &cand) != nullptr) {
            HandOverDevice(&cand); // the listed copy owns what the probe opened
            continue;
        }
        ReleaseChannelResources(&cand);
    }
    PlatDirClose(d);
    return DeviceListSize(list);
}

int32_t EnumDevices2List(Device **list) { return EnumDevicesInDir2List(list, DiscoveryDir); }

} // extern "C"
