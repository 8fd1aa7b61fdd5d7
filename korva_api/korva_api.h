/*
 * korva_api.h - public interface of the korva CAN adapter library.
 *
 * An application opens an adapter with KORVA_Open, configures it with
 * KORVA_Ioctl, exchanges frames with KORVA_Write and KORVA_Read, and closes
 * it with KORVA_Close.  Every function returns a signed 32-bit integer: 0 or
 * a negative KORVA_ERR_* code (KORVA_Open returns a handle, 1..256, on
 * success; KORVA_GetErrorString a character count).
 *
 * Adapters served:
 *   - Lawicel ASCII adapters on a serial line ("ttyUSB0", "/dev/ttyS1") or
 *     over TCP ("192.168.1.10:2001");
 *   - CAN controllers of the Ocera LinCAN kernel driver ("can0", "/dev/can1").
 *
 * Threads: KORVA_Read, KORVA_Write, KORVA_Flush, KORVA_Ioctl and
 * KORVA_SetRcvEvent may be called from several threads at once on one handle
 * (configuration requests on one handle are serialised internally).
 * KORVA_Open and KORVA_Close may be called from several threads too (they
 * are serialised internally), but a handle must not be closed while
 * another thread is inside a call on it, with one exception: a KORVA_Read
 * that waits for a frame (blocking read) is woken by KORVA_Close, which
 * returns once that read has returned KORVA_ERR_HANDLE.
 *
 * Adapter names: "ttyUSB0", "/dev/ttyS1" and "COM3" are serial lines,
 * "can0" a LinCAN device, HOST:PORT with a decimal port a network adapter
 * (whatever the host is called: "canbus-gw:2001"); a name that is none of
 * these is a serial number ("4711"), and a null name the first adapter
 * found.
 *
 * This header compiles as C (C99 and later) and as C++.
 */
#ifndef KORVA_API_H
#define KORVA_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  define KORVA_CALL __cdecl
#  if defined(KORVA_API_BUILD)
#    define KORVA_EXPORT __declspec(dllexport)
#  else
#    define KORVA_EXPORT __declspec(dllimport)
#  endif
#else
#  define KORVA_CALL
#  define KORVA_EXPORT __attribute__((visibility("default")))
#endif

/* ---- Frames ------------------------------------------------------------ */

/* One CAN frame: 16 bytes, no gaps, host byte order. */
typedef struct CanMsg {
    uint32_t Identifier; /* 11-bit (standard) or 29-bit (extended) identifier */
    uint8_t  Length;     /* number of data bytes, 0..8 */
    uint8_t  Data[8];    /* data bytes; those beyond Length are 0 on receive */
    uint8_t  Flags;      /* sum of KORVA_FLAG_* bits */
    uint16_t TimeStamp;  /* adapter time stamp when KORVA_FLAG_TIMESTAMP is set, else 0 */
} CanMsg;

#define KORVA_FLAG_STANDARD  0x01 /* 11-bit identifier */
#define KORVA_FLAG_EXTENDED  0x02 /* 29-bit identifier */
#define KORVA_FLAG_REMOTE    0x04 /* remote transmission request, no data */
#define KORVA_FLAG_TIMESTAMP 0x08 /* TimeStamp holds the adapter's time stamp */
#define KORVA_FLAG_FD        0x10 /* CanFdMsg only: a CAN FD frame */
#define KORVA_FLAG_BRS       0x20 /* CanFdMsg only: FD frame with bit-rate switch */
#define KORVA_FLAG_ESI       0x40 /* CanFdMsg only: error-state indicator (not carried
                                     by Lawicel text: never set on receive, ignored
                                     on transmit) */

/* One CAN FD or classic frame: 72 bytes, no gaps, host byte order.
 * Received with KORVA_ReadFd and sent with KORVA_WriteFd (see there).  A
 * classic frame has KORVA_FLAG_FD clear and Length 0..8; an FD frame has
 * it set, Length 0..8, 12, 16, 20, 24, 32, 48 or 64 (the sizes a CAN FD
 * length code stands for) and is never a remote frame. */
typedef struct CanFdMsg {
    uint32_t Identifier; /* 11-bit (standard) or 29-bit (extended) identifier */
    uint8_t  Length;     /* number of data bytes (not a length code), 0..64 */
    uint8_t  Flags;      /* sum of KORVA_FLAG_* bits */
    uint16_t TimeStamp;  /* adapter time stamp when KORVA_FLAG_TIMESTAMP is set, else 0 */
    uint8_t  Data[64];   /* data bytes; those beyond Length are 0 on receive */
} CanFdMsg;

/* ---- Records of KORVA_Ioctl ------------------------------------------- */

/* Filled by KORVA_IOCTL_GET_HW_PARAM (only the first seven bytes). */
typedef struct HwParam {
    uint32_t SerialNr;  /* serial number reported by the adapter, 0 if none */
    uint8_t  HwVersion; /* hardware version */
    uint8_t  SwVersion; /* firmware version */
    uint8_t  HwType;    /* KORVA_HWTYPE_* */
} HwParam;

#define KORVA_HWTYPE_UNKNOWN 0
#define KORVA_HWTYPE_SERIAL  1 /* Lawicel adapter on a serial port (115200 bit/s) */
#define KORVA_HWTYPE_USB     2 /* Lawicel adapter on a USB serial port (3000000 bit/s) */
#define KORVA_HWTYPE_NET     3 /* Lawicel adapter reached over TCP */
#define KORVA_HWTYPE_OCERA   4 /* LinCAN character device */

/* Filled by KORVA_IOCTL_GET_API_VERSION: 1, 6, 0. */
typedef struct ApiVersion {
    uint8_t Major;
    uint8_t Minor;
    uint8_t SubMinor;
} ApiVersion;

/* Filled by KORVA_IOCTL_GET_LINK_STATS: the handle's outages so far. */
typedef struct LinkStats {
    uint32_t Losses;         /* times the connection to the adapter broke */
    uint32_t Reconnections;  /* times it was opened again (KORVA_IOCTL_SET_RECONNECT) */
    uint32_t DroppedFrames;  /* frames counted as written that a loss dropped
                                before they reached the line */
} LinkStats;

/* ---- Error codes (texts through KORVA_GetErrorString) ------------------ */

#define KORVA_ERR_OK              0    /* "No error." */
#define KORVA_ERR_GENERIC         (-1) /* "Generic error." */
#define KORVA_ERR_NO_DEVICE       (-2) /* "No device was found." */
#define KORVA_ERR_SYSTEM          (-3) /* "A system API failed." */
#define KORVA_ERR_NO_MEMORY       (-4) /* "Not enough memory." */
#define KORVA_ERR_NO_ELEMENT      (-5) /* "No element was found." */
#define KORVA_ERR_HANDLE          (-6) /* "The handle is not valid." */
#define KORVA_ERR_IOCTL           (-7) /* "The ioctl failed." */
#define KORVA_ERR_MUTEX           (-8) /* "The mutex failed." */
#define KORVA_ERR_COMMAND         (-9) /* "The command failed." */
#define KORVA_ERR_LISTEN_ONLY     (-10) /* "The listen only operation failed." */
#define KORVA_ERR_NOT_IMPLEMENTED (-11) /* "The function is not implemented." */
#define KORVA_ERR_GOTO            (-101) /* "Goto error failed." */

/* ---- Open modes (second argument of KORVA_Open) ------------------------ */

#define KORVA_MODE_NORMAL      0 /* Lawicel "O"; LinCAN device opened read-write */
#define KORVA_MODE_LISTEN_ONLY 1 /* Lawicel "L"; LinCAN read-only; KORVA_Write refuses */
#define KORVA_MODE_OPEN_Y      2 /* Lawicel "Y" instead of "O" */

/* ---- Ioctl requests ------------------------------------------------------
 * The third argument of KORVA_Ioctl is pointer-sized: an integer (pass it
 * with KORVA_IOCTL_INT(value)) or the address of a record, as listed.
 * "handle" means the request needs an open handle; the others work with
 * handle 0. */
#define KORVA_IOCTL_SET_DEBUG_LEVEL    1  /* int: trace threshold, 0 = off */
#define KORVA_IOCTL_GET_HW_PARAM       2  /* handle; HwParam* */
#define KORVA_IOCTL_SET_SPEED          3  /* handle; int speed code */
#define KORVA_IOCTL_SET_BTR            4  /* handle; uint8_t[2]: BTR0, BTR1 */
#define KORVA_IOCTL_GET_FLAGS          5  /* handle; uint32_t*: status flags, see below */
#define KORVA_IOCTL_SET_ACC_CODE_MASK  6  /* handle; uint32_t[2]: code, mask */
#define KORVA_IOCTL_SET_TIMESTAMP      7  /* handle; int: 0 off, else on */
#define KORVA_IOCTL_SET_DEBUG_CHANNEL  8  /* int: KORVA_DEBUG_TO_FILE or stderr */
#define KORVA_IOCTL_SET_BLOCKING_READ  9  /* handle; int: nonzero = KORVA_Read waits */
#define KORVA_IOCTL_SET_FILTER_MODE    10 /* handle; int: 2 = single filter, else dual */
#define KORVA_IOCTL_GET_API_VERSION    11 /* ApiVersion* */
#define KORVA_IOCTL_GET_DIALECT        12 /* handle; int32_t*: KORVA_DIALECT_* */
#define KORVA_IOCTL_SET_RECONNECT      13 /* handle; int: nonzero = open a lost adapter again */
#define KORVA_IOCTL_GET_LINK_STATS     14 /* handle; LinkStats* */
#define KORVA_IOCTL_SET_DATA_BITRATE   15 /* handle; int: CAN FD data bit rate code, see below */

/* CAN FD (KORVA_IOCTL_SET_DATA_BITRATE).  Adapters that speak the slcan FD
 * extension take the data phase's bit rate as "Y<code>": 0 = 500 kbit/s,
 * 1 = 1 Mbit/s, 2 = 2 Mbit/s, 4 = 4 Mbit/s, 5 = 5 Mbit/s, 8 = 8 Mbit/s
 * (some firmware lacks some codes).  The request is a configuration
 * request like the bit rate: an adapter that refuses the code or does not
 * know "Y" (a classic one) makes it return KORVA_ERR_COMMAND and keeps
 * working as before; a quiet adapter is sent the command without a reply
 * (codes other than the six above return KORVA_ERR_NOT_IMPLEMENTED);
 * LinCAN devices return KORVA_ERR_NOT_IMPLEMENTED.  Once the adapter took
 * a data bit rate the handle is an FD handle: KORVA_WriteFd sends FD
 * frames on it, and reconnection gives the adapter the data bit rate again.
 *
 * FD frames received ("d", "D", "b", "B" lines) are decoded on every
 * handle and kept in the receive ring in order with the classic ones.
 * KORVA_ReadFd delivers both kinds.  KORVA_Read delivers classic frames
 * only: an FD frame it meets is passed over and counted by the status flag
 * KORVA_STATUS_FD_PASSED (KORVA_IOCTL_GET_FLAGS), so an application that
 * reads with KORVA_Read on an FD bus learns that it missed frames; the
 * trace says so at the first such frame and gives their number when the
 * handle is closed. */

/* Reconnection (KORVA_IOCTL_SET_RECONNECT, off by default).  While it is
 * on, a lost connection (hang-up, read or write failure, peer reset or end
 * of stream; not a stalled line) makes the reader thread close it and try
 * to open the adapter again about every 500 ms until that succeeds or the
 * handle is closed: by the name the handle was opened with, and for a
 * handle opened by serial number or as the first adapter found, also by
 * that serial number among the adapters discovery finds (an adapter that
 * comes back under another name).  An adapter there that is not the same
 * one (another serial number, another dialect) is not taken; the trace
 * says why.  Once the same adapter answers, the settings the application
 * made (bit rate or bit-timing registers, acceptance code and mask, filter
 * mode, time stamps, data bit rate) are sent again in the order they were
 * last made, its CAN channel is opened in the handle's mode and the lost
 * state ends.
 * While lost: KORVA_Read delivers the frames received before, then 0
 * frames (a blocking read waits until frames come again or the handle is
 * closed); KORVA_Write, KORVA_Flush and configuration requests return
 * KORVA_ERR_NO_DEVICE and count nothing; KORVA_IOCTL_GET_FLAGS reports
 * KORVA_STATUS_CHANNEL_LOST.  Frames queued but not on the line when the
 * connection broke are dropped and counted in LinkStats.DroppedFrames;
 * nothing is ever sent twice.  The flags read first after an outage still
 * show KORVA_STATUS_CHANNEL_LOST once, so that a short outage is seen.
 * LinkStats counts outages with reconnection on or off. */

/* Dialects of Lawicel adapters (KORVA_IOCTL_GET_DIALECT).  A quiet adapter
 * runs the slcan firmware of most low-cost USB-CAN adapters: it answers no
 * command except "V" (with a line of free text), so korva sends its
 * commands without waiting for replies.  It has no serial number (0 is
 * reported and cannot be asked for), no versions (0), no status flags of
 * its own and no acceptance filter; bit-timing registers are taken only
 * when they are those of one of the nine speed codes (SJA1000 at 16 MHz),
 * and receive time stamps come from korva's own clock (milliseconds
 * modulo 60000).  Requests it cannot carry out return
 * KORVA_ERR_NOT_IMPLEMENTED and leave the adapter open.  LinCAN devices
 * report KORVA_DIALECT_FULL. */
#define KORVA_DIALECT_FULL  0 /* the whole Lawicel command set, with replies */
#define KORVA_DIALECT_QUIET 1 /* slcan firmware that answers no command */

#define KORVA_IOCTL_INT(v) ((void *)(intptr_t)(v))

/* Status flags returned by KORVA_IOCTL_GET_FLAGS.  On a Lawicel adapter,
 * bits 0..7 are the adapter's own status bytes ("F" reply) ORed together
 * since the previous successful read of the flags, and the library adds
 * the bits below.  On a LinCAN device the request returns the kernel
 * driver's flags word unchanged; a lost device shows there through
 * KORVA_Read returning KORVA_ERR_NO_DEVICE. */
#define KORVA_STATUS_BUFFER_OVERRUN 0x10000 /* the receive ring was full and
                                               received frames were dropped */
#define KORVA_STATUS_CHANNEL_LOST   0x20000 /* the connection to the adapter
                                               broke (TCP peer closed, serial
                                               device gone).  Reported by every
                                               KORVA_IOCTL_GET_FLAGS from then
                                               on; frames received before stay
                                               readable, after them KORVA_Read
                                               returns KORVA_ERR_NO_DEVICE, as
                                               do KORVA_Write, KORVA_Flush and
                                               configuration requests.  With
                                               reconnection on (see above) it
                                               lasts until the adapter is back. */

#define KORVA_STATUS_FD_PASSED      0x40000 /* KORVA_Read passed over received
                                               FD frames, which only
                                               KORVA_ReadFd delivers */

/* ---- Trace ------------------------------------------------------------- */

#define KORVA_DEBUG_LEVEL_SYSTEM (-101) /* every line, failed system calls included */
#define KORVA_DEBUG_LEVEL_CALL   (-51)  /* call traces and failures */
#define KORVA_DEBUG_TO_FILE      2      /* channel: "korva_api.log" in the working directory */
#define KORVA_DEBUG_TO_STDERR    1      /* channel: standard error (any value but 2) */

/* ---- Functions --------------------------------------------------------- */

/* Opens an adapter.  name is a location ("ttyUSB0", "/dev/ttyS0", "can0",
 * "host:port"; on Windows "COM3", "\\.\COM12", or "USB-COM7" for a USB
 * adapter at 3000000 bit/s), a decimal serial number (the adapters in /dev,
 * on Windows the COM ports, are probed), or NULL for the first adapter
 * found.  mode is a KORVA_MODE_*.
 * A Lawicel adapter that this process has open already is not opened a
 * second time (KORVA_ERR_NO_DEVICE): two handles cannot share its line.
 * Returns the handle (1..256), KORVA_ERR_NO_DEVICE when nothing answers,
 * KORVA_ERR_SYSTEM when the adapter cannot be opened, KORVA_ERR_NO_MEMORY
 * when all 256 handles are in use. */
KORVA_EXPORT int32_t KORVA_CALL KORVA_Open(const char *name, int32_t mode);

/* Closes the adapter: resets it, sends what is still queued, stops its
 * reader thread and frees the handle for reuse.  0 or KORVA_ERR_HANDLE. */
KORVA_EXPORT int32_t KORVA_CALL KORVA_Close(int32_t handle);

/* Configures the adapter or the library; see KORVA_IOCTL_*.  A request
 * that the adapter refuses (BEL) or leaves unanswered returns
 * KORVA_ERR_COMMAND, and the adapter is opened again with the settings it
 * had: the handle keeps working.  Returns the request's result,
 * KORVA_ERR_HANDLE for a handle that is not open (except requests 1, 8,
 * 11), KORVA_ERR_IOCTL for an unknown request. */
KORVA_EXPORT int32_t KORVA_CALL KORVA_Ioctl(int32_t handle, uint32_t request, void *argument);

/* Fetches up to count received frames into frames[] (all count records are
 * zeroed first) and stores the number delivered in *read (0 on failure).
 * With KORVA_IOCTL_SET_BLOCKING_READ on, an empty receive ring makes it wait
 * once for the next frame. */
KORVA_EXPORT int32_t KORVA_CALL KORVA_Read(int32_t handle, CanMsg *frames, uint32_t count, uint32_t *read);

/* Queues count frames for transmission and stores the number taken in
 * *written (set to 0 first).  On Lawicel adapters the reader thread sends
 * queued frames as soon as it can (frames written in a burst leave
 * together), and they go before any command and at KORVA_Flush; while a
 * configuration request has the adapter's CAN channel closed, frames are
 * held back and KORVA_Write may wait for it (about a second at most).
 * Every frame counted in *written reaches the line, in order, unless the
 * connection to the adapter is lost.  When the line does not take data (a
 * stalled adapter), the call fails with KORVA_ERR_SYSTEM after about a
 * second; the frames it did not count may be written again.
 * Returns KORVA_ERR_LISTEN_ONLY on a handle opened in listen-only mode. */
KORVA_EXPORT int32_t KORVA_CALL KORVA_Write(int32_t handle, const CanMsg *frames, uint32_t count, uint32_t *written);

/* Sends the frames still queued for transmission.  Returns
 * KORVA_ERR_SYSTEM when the line does not take them all within about a
 * second (a stalled adapter); what did not go stays queued, in order, and
 * leaves with the next flush once the adapter reads again.  Queued frames
 * are only dropped when the connection to the adapter is lost, or when
 * KORVA_Close cannot send them (the trace then says how many bytes). */
KORVA_EXPORT int32_t KORVA_CALL KORVA_Flush(int32_t handle);

/* Registers the application's receive event, signalled for every frame
 * stored in the receive ring; NULL stops it.  It must outlive its
 * registration.
 *   POSIX:   the address of a caller-owned sem_t, posted once per frame.
 *   Windows: a HANDLE of a semaphore (CreateSemaphore), released by the
 *            number of frames stored together, or of an event
 *            (CreateEvent), set once for them. */
KORVA_EXPORT int32_t KORVA_CALL KORVA_SetRcvEvent(int32_t handle, void *event);

/* KORVA_Read for CanFdMsg records: the same contract (all count records
 * zeroed first, *read set, one wait with blocking read on), and it
 * delivers every received frame, classic ones with KORVA_FLAG_FD clear. */
KORVA_EXPORT int32_t KORVA_CALL KORVA_ReadFd(int32_t handle, CanFdMsg *frames, uint32_t count, uint32_t *read);

/* KORVA_Write for CanFdMsg records: the same contract and order.  Frames
 * with KORVA_FLAG_FD clear go as classic frames (Length cut to 8); FD
 * frames go as "d"/"D" lines, with KORVA_FLAG_BRS as "b"/"B", their Length
 * rounded up to the next FD size with zero bytes.  The call stops at the
 * first frame it cannot send and returns KORVA_ERR_GENERIC: an FD frame on
 * a handle without a data bit rate (KORVA_IOCTL_SET_DATA_BITRATE), an FD
 * remote frame, a Length above 64.  The frames before it are counted in
 * *written and sent. */
KORVA_EXPORT int32_t KORVA_CALL KORVA_WriteFd(int32_t handle, const CanFdMsg *frames, uint32_t count,
                                             uint32_t *written);

/* Copies the text of an error code into buffer: at most max characters and
 * a terminating NUL, so buffer must hold max + 1 bytes.  Returns the number
 * of characters copied. */
KORVA_EXPORT int32_t KORVA_CALL KORVA_GetErrorString(int32_t code, char *buffer, uint32_t max);

#ifdef __cplusplus
}
#endif

/* The records cross process and language boundaries: pin their layout. */
#include <stddef.h>
#if defined(__cplusplus)
#  define KORVA_STATIC_ASSERT(e, m) static_assert(e, m)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define KORVA_STATIC_ASSERT(e, m) _Static_assert(e, m)
#else
#  define KORVA_STATIC_ASSERT(e, m)
#endif
KORVA_STATIC_ASSERT(sizeof(CanMsg) == 16, "CanMsg is 16 bytes");
KORVA_STATIC_ASSERT(offsetof(CanMsg, Identifier) == 0, "CanMsg.Identifier at 0");
KORVA_STATIC_ASSERT(offsetof(CanMsg, Length) == 4, "CanMsg.Length at 4");
KORVA_STATIC_ASSERT(offsetof(CanMsg, Data) == 5, "CanMsg.Data at 5");
KORVA_STATIC_ASSERT(offsetof(CanMsg, Flags) == 13, "CanMsg.Flags at 13");
KORVA_STATIC_ASSERT(offsetof(CanMsg, TimeStamp) == 14, "CanMsg.TimeStamp at 14");
KORVA_STATIC_ASSERT(offsetof(HwParam, SerialNr) == 0, "HwParam.SerialNr at 0");
KORVA_STATIC_ASSERT(offsetof(HwParam, HwVersion) == 4, "HwParam.HwVersion at 4");
KORVA_STATIC_ASSERT(offsetof(HwParam, SwVersion) == 5, "HwParam.SwVersion at 5");
KORVA_STATIC_ASSERT(offsetof(HwParam, HwType) == 6, "HwParam.HwType at 6");
KORVA_STATIC_ASSERT(sizeof(ApiVersion) == 3, "ApiVersion is 3 bytes");
KORVA_STATIC_ASSERT(sizeof(LinkStats) == 12, "LinkStats is 12 bytes");
KORVA_STATIC_ASSERT(sizeof(CanFdMsg) == 72, "CanFdMsg is 72 bytes");
KORVA_STATIC_ASSERT(offsetof(CanFdMsg, Length) == 4, "CanFdMsg.Length at 4");
KORVA_STATIC_ASSERT(offsetof(CanFdMsg, Flags) == 5, "CanFdMsg.Flags at 5");
KORVA_STATIC_ASSERT(offsetof(CanFdMsg, TimeStamp) == 6, "CanFdMsg.TimeStamp at 6");
KORVA_STATIC_ASSERT(offsetof(CanFdMsg, Data) == 8, "CanFdMsg.Data at 8");

#endif /* KORVA_API_H */
