/*
 * sysfuncs.h - internals shared by the parts of korva_api: the Device
 * record, the handle table, the driver operation table, the receive ring,
 * the trace log, device naming and discovery.
 *
 * Every function and global declared here has C linkage and is exported
 * under its plain name.
 */
#ifndef KORVA_SYSFUNCS_H
#define KORVA_SYSFUNCS_H

#include "korva_api.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

/* Every named function and global of the library is exported by its plain
 * name. */
#if defined(_WIN32)
#  if defined(KORVA_API_BUILD)
#    define KORVA_PUBLIC __declspec(dllexport)
#  else
#    define KORVA_PUBLIC __declspec(dllimport)
#  endif
#else
#  define KORVA_PUBLIC __attribute__((visibility("default")))
#endif

#define DEVICE_MAGIC 0xdeadbeefU
#define DEVICE_LIST_SIZE 256
#define RING_SIZE 10000
#define RX_LINE_SIZE 144  /* a line of the protocol and its carriage return fit in 143 bytes
                             (a 64-byte FD frame with time stamp: 142 characters) */
#define RX_BUF_SIZE 4096  /* the receive text buffer: what one read takes */
#define TX_BUF_SIZE 512

/* Device kinds (Device.DeviceType). */
#define DEVTYPE_NONE   0 /* not yet determined */
#define DEVTYPE_SERIAL 1 /* tty or COM name without "USB": 115200 bit/s */
#define DEVTYPE_USB    2 /* tty or COM name with "USB": 3000000 bit/s */
#define DEVTYPE_NET    4 /* host:port, TCP */
#define DEVTYPE_OCERA  5 /* LinCAN character device (name contains "can") */

/* Source units named in trace lines. */
#define UNIT_API     "korva_api/korva_api"
#define UNIT_SYS     "korva_api/sysfuncs"
#define UNIT_LAWICEL "korva_api/sysfuncs_lawicel"
#define UNIT_OCERA   "korva_api/sysfuncs_ocera"

extern "C" {

struct Device;

/* One driver's operations.  Every operation takes the Device first and
 * returns 0 or a negative KORVA_ERR_* code. */
struct DriverOps {
    /* Asks the adapter for serial number and versions; 0 when it answered
     * and SerialNr, HwVersion, SwVersion are filled. */
    int32_t (*GetDeviceSerialNrNVersion)(Device *dev);
    /* Reads the status flags into *flags (KORVA_IOCTL_GET_FLAGS). */
    int32_t (*GetDeviceFlags)(Device *dev, uint32_t *flags);
    /* Sets acceptance code codeMask[0] and mask codeMask[1]. */
    int32_t (*SetDeviceAccCodeMask)(Device *dev, const uint32_t *codeMask);
    /* Switches receive time stamps on (nonzero) or off. */
    int32_t (*SetDeviceTimestamp)(Device *dev, int32_t on);
    /* Sets the acceptance filter mode. */
    int32_t (*SetDeviceFilterMode)(Device *dev, int32_t mode);
    /* Throws away what the adapter has sent so far. */
    int32_t (*FlushReadBuffer)(Device *dev);
    /* Opens the adapter for traffic in dev->Mode. */
    int32_t (*OpenDevice)(Device *dev);
    /* Takes the adapter off the bus (and pauses the reader thread). */
    int32_t (*ResetDevice)(Device *dev);
    /* Closes the adapter's channel. */
    int32_t (*CloseDevice)(Device *dev);
    /* Sets the bit rate by the adapter's speed code. */
    int32_t (*SetDeviceSpeed)(Device *dev, uint32_t code);
    /* Sets the bit-timing registers btr[0] (BTR0) and btr[1] (BTR1). */
    int32_t (*SetDeviceBTR)(Device *dev, const uint8_t *btr);
    /* Reader thread entry; the argument is the registered Device.  It
     * must end on its own, within a bounded time, once StopThread is set
     * (after a PlatWake on WakePipe[1] when the record has one). */
    void *(*ReadThread)(void *dev);
    /* Sends or queues count frames, adding each one taken to *written. */
    int32_t (*WriteFrame)(Device *dev, const CanMsg *frames, uint32_t count, uint32_t *written);
    /* Sends what is queued for transmission. */
    int32_t (*FlushWriteBuffer)(Device *dev);
    /* CAN FD: sets the data bit rate by its code; null for a driver
     * without FD (the request then returns -11). */
    int32_t (*SetDeviceDataBitrate)(Device *dev, uint32_t code);
    /* CAN FD: sends or queues count records (checked by KORVA_WriteFd),
     * adding each one taken to *written; null for a driver without FD
     * (classic records then go through WriteFrame). */
    int32_t (*WriteFdFrame)(Device *dev, const CanFdMsg *frames, uint32_t count, uint32_t *written);
};

/* A setting the application made on a handle, kept so that an adapter
 * that is opened again gets it again.  Request is the KORVA_IOCTL_*
 * request; Value holds its argument (speed code; BTR0, BTR1; code, mask;
 * the filter mode; the time-stamp switch). */
#define SETTINGS_MAX 5 /* bit rate (by code or registers), acceptance, filter mode, time stamps,
                          data bit rate */
struct Setting {
    uint32_t Request;
    uint32_t Value[2];
};

/* The per-adapter record.  Plain data, copied by value: it holds no
 * pointer to itself.  Words marked "atomic" are shared between the reader
 * thread and application threads and are accessed only with the
 * Atomic* helpers below. */
struct Device {
    uint32_t Magic;            /* DEVICE_MAGIC once initialised */
    int32_t Handle;            /* slot + 1 when registered, else 0 */
    char SystemName[260];      /* /dev/... path or host:port */
    uint32_t SerialNr;         /* serial number reported by the adapter */
    uint8_t HwVersion;         /* hardware version reported by the adapter */
    uint8_t SwVersion;         /* firmware version reported by the adapter */
    int32_t DeviceType;        /* DEVTYPE_* */
    int32_t Fd;                /* serial or character device, -1 when closed */
    int32_t Socket;            /* TCP socket, -1 when closed */
    char HostName[256];        /* host part of host:port */
    uint16_t Port;             /* TCP port */
    char *RxLine;              /* RX_BUF_SIZE-byte receive text buffer (owned) */
    pthread_t Thread;          /* reader thread */
    int32_t BlockingRead;      /* atomic: nonzero = KORVA_Read waits */
    char *TxBuf;               /* 512-byte transmit collection buffer (owned) */
    uint32_t TxCount;          /* atomic: bytes queued in TxBuf */
    pthread_mutex_t TxMutex;   /* guards TxBuf and TxCount, serialises sending */
    int32_t TxMutexInit;       /* nonzero once TxMutex is initialised */
    int32_t ChannelOpen;       /* nonzero while the transport is open */
    int32_t Mode;              /* KORVA_MODE_* given to KORVA_Open */
    int32_t StopThread;        /* atomic: the reader thread is asked to end */
    int32_t PauseThread;       /* atomic: the reader thread must leave the channel alone */
    int32_t ThreadPaused;      /* atomic: the reader thread is parked */
    CanFdMsg *RingBuf;         /* RING_SIZE frames, classic and FD (owned) */
    uint32_t RingCount;        /* frames held, under RingMutex */
    CanFdMsg *RingWrite;       /* next store slot, null before the first store */
    CanFdMsg *RingRead;        /* next fetch slot, null before the first fetch */
    pthread_mutex_t RingMutex; /* guards the ring */
    pthread_mutex_t WaitMutex; /* paired with RxCond */
    pthread_cond_t RxCond;     /* signalled after each stored frame */
    void *RcvEvent;            /* atomic: caller's sem_t, posted per stored frame */
    uint32_t StatusValid;      /* atomic: bit 0 = a status reply arrived */
    uint32_t StatusFlags;      /* atomic: accumulated status bits */

    /* Additions of this implementation. */
    DriverOps Ops;             /* the driver this record was opened with */
    int32_t OpsValid;          /* nonzero when Ops is filled */
    int32_t ThreadAlive;       /* atomic: the reader thread runs */
    int32_t SyncInit;          /* nonzero once RingMutex, WaitMutex, RxCond, ConfigMutex exist */
    pthread_mutex_t ConfigMutex; /* serialises configuration requests on a handle */
    int32_t WakePipe[2];       /* wakes a reader that waits without time-out */
    int32_t WakePipeOpen;      /* nonzero when WakePipe holds descriptors */
    int32_t ChannelLost;       /* atomic: the transport broke (peer closed, device gone) */
    int64_t ConnectRetryAfter; /* monotonic us before which a timed-out TCP connect is not tried again */
    int32_t Dialect;           /* KORVA_DIALECT_* that the probe found */
    int32_t LocalStamps;       /* atomic: quiet adapter: received frames get korva's time stamp */
    uint32_t RxHave;           /* bytes in RxLine not decoded yet (an incomplete line), by the line's owner */
    int32_t ReplyOwed;         /* "C" was sent and its reply not taken yet */
    int32_t StaleReplies;      /* a reply did not come in time: it may still come, put the line in step first */

    /* Reconnection and the handle's settings. */
    int32_t Reconnect;         /* atomic: a lost channel is opened again (KORVA_IOCTL_SET_RECONNECT) */
    int32_t FoundBySerial;     /* opened by serial number or as first found: found again by SerialNr too */
    uint32_t Losses;           /* atomic: LinkStats.Losses */
    uint32_t Reconnections;    /* atomic: LinkStats.Reconnections */
    uint32_t DroppedFrames;    /* atomic: LinkStats.DroppedFrames */
    uint32_t FdPassed;         /* atomic: CAN FD frames KORVA_Read passed over */
    int32_t ReadsInProgress;   /* atomic: KORVA_Read calls that may still touch the record */
    Setting Settings[SETTINGS_MAX]; /* the settings made, in the order last made, under ConfigMutex */
    uint32_t SettingCount;

    /* CAN FD. */
    int32_t DataBitrate;       /* atomic: the data bit rate code + 1 once the adapter took one
                                  (an FD handle), else 0 */
};

/* ---- atomic words of a plain record ---- */
} // extern "C"

template <typename T> inline T AtomicLoad(T &w) {
    return std::atomic_ref<T>(w).load(std::memory_order_acquire);
}
template <typename T> inline void AtomicStore(T &w, T v) {
    std::atomic_ref<T>(w).store(v, std::memory_order_release);
}
template <typename T> inline T AtomicExchange(T &w, T v) {
    return std::atomic_ref<T>(w).exchange(v, std::memory_order_acq_rel);
}
template <typename T> inline void AtomicOr(T &w, T bits) {
    std::atomic_ref<T>(w).fetch_or(bits, std::memory_order_acq_rel);
}
template <typename T> inline void AtomicAndNot(T &w, T bits) {
    std::atomic_ref<T>(w).fetch_and(static_cast<T>(~bits), std::memory_order_acq_rel);
}

extern "C" {

/* ---- the driver operation table (process-wide) ---- */
extern KORVA_PUBLIC int32_t (*GetDeviceSerialNrNVersion)(Device *dev);
extern KORVA_PUBLIC int32_t (*GetDeviceFlags)(Device *dev, uint32_t *flags);
extern KORVA_PUBLIC int32_t (*SetDeviceAccCodeMask)(Device *dev, const uint32_t *codeMask);
extern KORVA_PUBLIC int32_t (*SetDeviceTimestamp)(Device *dev, int32_t on);
extern KORVA_PUBLIC int32_t (*SetDeviceFilterMode)(Device *dev, int32_t mode);
extern KORVA_PUBLIC int32_t (*FlushReadBuffer)(Device *dev);
extern KORVA_PUBLIC int32_t (*OpenDevice)(Device *dev);
extern KORVA_PUBLIC int32_t (*ResetDevice)(Device *dev);
extern KORVA_PUBLIC int32_t (*CloseDevice)(Device *dev);
extern KORVA_PUBLIC int32_t (*SetDeviceSpeed)(Device *dev, uint32_t code);
extern KORVA_PUBLIC int32_t (*SetDeviceBTR)(Device *dev, const uint8_t *btr);
extern KORVA_PUBLIC void *(*ReadThread)(void *dev);
extern KORVA_PUBLIC int32_t (*WriteFrame)(Device *dev, const CanMsg *frames, uint32_t count, uint32_t *written);
extern KORVA_PUBLIC int32_t (*FlushWriteBuffer)(Device *dev);

extern KORVA_PUBLIC Device *DeviceList[DEVICE_LIST_SIZE]; /* the handle table */
extern KORVA_PUBLIC int32_t IsLinux;                       /* 1 */

/* The two drivers, each complete: every slot holds that driver's own
 * operation (the Ocera driver's SetDeviceFilterMode answers -11).  The
 * library probes, opens and serves a record with the driver of its kind,
 * whatever the process-wide table holds; InitSystem_* copy these into the
 * table.  Tests may put a driver of their own into both. */
extern KORVA_PUBLIC DriverOps Driver_Lawicel;
extern KORVA_PUBLIC DriverOps Driver_Ocera;
/* The driver of a device kind: Driver_Ocera for DEVTYPE_OCERA, else
 * Driver_Lawicel. */
KORVA_PUBLIC DriverOps DriverOfKind(int32_t deviceType);

/* Selects the driver for the record (Ocera for DEVTYPE_OCERA, else
 * Lawicel) in the process-wide table, which serves callers that read it;
 * the library itself goes by DriverOfKind. */
KORVA_PUBLIC void InitSystem(Device *dev);
KORVA_PUBLIC void InitSystem_Lawicel(void);
KORVA_PUBLIC void InitSystem_Ocera(void);
/* The record's own driver when it was opened with one, else its kind's. */
KORVA_PUBLIC DriverOps OpsOf(const Device *dev);
/* A copy of the process-wide table. */
KORVA_PUBLIC DriverOps CurrentDriverOps(void);

/* Opens a chosen record with the driver of its kind (steps after the
 * choice of KORVA_Open): the driver's OpenDevice, registration in
 * DeviceList, receive buffers, synchronisation objects and the reader
 * thread.  Returns the handle, or an error with nothing left behind (the
 * record's own channel is released too). */
KORVA_PUBLIC int32_t OpenAndRegister(Device *cand, int32_t mode);

/* ---- records and lists ---- */
KORVA_PUBLIC void InitDevice(Device *dev);  /* zero, Magic, Fd = Socket = -1 */
/* Registers a heap copy of dev in the first free slot.  The copy takes
 * over the channel and the buffers, but no synchronisation object: the
 * copy's TxMutexInit and SyncInit are 0 (a copied mutex is no mutex), and
 * whoever registers it makes its own.  Afterwards the caller calls
 * HandOverDevice on dev. */
KORVA_PUBLIC Device *AddDevice2List(Device **list, const Device *dev);
/* dev has been copied by AddDevice2List: it forgets the channel and the
 * buffers that the copy now owns, and destroys the synchronisation
 * objects it initialised itself. */
KORVA_PUBLIC void HandOverDevice(Device *dev);
KORVA_PUBLIC int32_t RemoveDeviceFromList(Device **list, Device dev);
KORVA_PUBLIC Device *GetDevice(Device **list, int32_t handle);
KORVA_PUBLIC int32_t DeviceListSize(Device **list);
KORVA_PUBLIC void FreeDeviceList(Device **list);
/* Closes a record's transport and releases its transmit buffer and mutex
 * (what a probe may leave behind). */
KORVA_PUBLIC void ReleaseChannelResources(Device *dev);

/* ---- receive ring ---- */
/* The ring holds CanFdMsg records; the classic functions convert.
 * GetMsgFromBuf fetches the next classic frame: FD frames before it are
 * passed over and set KORVA_STATUS_FD_PASSED. */
KORVA_PUBLIC int32_t AddMsg2Buf(Device *dev, CanMsg msg);
KORVA_PUBLIC int32_t GetMsgFromBuf(Device *dev, CanMsg *out);
KORVA_PUBLIC int32_t GetFdMsgFromBuf(Device *dev, CanFdMsg *out);
/* A classic frame as a CanFdMsg record. */
KORVA_PUBLIC CanFdMsg FdMsgOfClassic(const CanMsg *msg);
/* The classic frame of a record (Length cut to 8, the FD flags dropped). */
KORVA_PUBLIC CanMsg ClassicOfFdMsg(const CanFdMsg *msg);
/* Stores a received frame and wakes readers: signals RxCond and posts
 * RcvEvent on success; sets KORVA_STATUS_BUFFER_OVERRUN when the ring
 * refused it.  Returns AddMsg2Buf's result.  Every reader thread uses it. */
KORVA_PUBLIC int32_t AddMsg2BufAndNotify(Device *dev, const CanMsg *msg);
/* Stores count frames received together, in order, under one lock, and
 * wakes readers once (RcvEvent is posted once per stored frame); frames
 * the full ring refuses set KORVA_STATUS_BUFFER_OVERRUN.  Returns the
 * number stored.  A record without a ring (one that is only being probed)
 * stores nothing. */
KORVA_PUBLIC uint32_t AddMsgs2BufAndNotify(Device *dev, const CanMsg *msgs, uint32_t count);
/* The same for CanFdMsg records. */
KORVA_PUBLIC uint32_t AddFdMsgs2BufAndNotify(Device *dev, const CanFdMsg *msgs, uint32_t count);
/* Records that the transport broke: sets ChannelLost and
 * KORVA_STATUS_CHANNEL_LOST, wakes blocked readers and posts RcvEvent once,
 * so that nobody waits for frames that cannot come.  Only the first call
 * has an effect. */
KORVA_PUBLIC void MarkChannelLost(Device *dev);
KORVA_PUBLIC int32_t GetTickCount(void);

/* ---- trace ---- */
extern KORVA_PUBLIC int32_t debug;
extern KORVA_PUBLIC FILE *debugout;
extern KORVA_PUBLIC const char *debugfile;
extern KORVA_PUBLIC int32_t debugline;
KORVA_PUBLIC int32_t Error(int32_t level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/* Sets debugfile and debugline and writes the line, all under the trace
 * lock, so that lines of different threads neither mix nor take each
 * other's source position. */
KORVA_PUBLIC void TraceAt(const char *unit, int32_t line, int32_t level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
/* True when a line of this level would be written. */
KORVA_PUBLIC int32_t TraceEnabled(int32_t level);
KORVA_PUBLIC int32_t OpenDebugChannel(int32_t channel);
KORVA_PUBLIC void CloseDebugChannel(void);
KORVA_PUBLIC uint32_t strcpy_max(char *destination, const char *source, uint32_t max);

/* ---- naming and discovery ---- */
/* Forms the system name; returns 0, or -1 when it does not fit (the
 * destination is then left empty). */
KORVA_PUBLIC int32_t ConvertDeviceName2SystemName(const char *name, char *systemName);
KORVA_PUBLIC int32_t GetDeviceType(Device *dev);
/* The kind KORVA_Open gives a name: DEVTYPE_SERIAL, DEVTYPE_USB,
 * DEVTYPE_NET or DEVTYPE_OCERA for a location, DEVTYPE_NONE for a location
 * that names no adapter ("host:0", a name too long), -1 for a name that is
 * taken as a serial number ("4711"; also null). */
KORVA_PUBLIC int32_t ClassifyDeviceName(const char *name);
KORVA_PUBLIC int32_t EnumDevices2List(Device **list);
/* The handle of the registered record with this system name, or 0. */
KORVA_PUBLIC int32_t HandleOfSystemName(const char *systemName);
/* Discovery over another directory than "/dev" (tests, tools). */
KORVA_PUBLIC int32_t EnumDevicesInDir2List(Device **list, const char *dir);
/* The directory EnumDevices2List scans, "/dev" unless a program changes it. */
extern KORVA_PUBLIC const char *DiscoveryDir;

} // extern "C"

/* Traces a failed system call: "*** unit[line]: name (errno)". */
#define TRACE_SYSCALL(unit, line, name) \
    TraceAt(unit, line, KORVA_DEBUG_LEVEL_SYSTEM, "%s (%d)", name, PlatErrno())

#endif
