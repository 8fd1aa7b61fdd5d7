/*
 * peak.h - the PEAK "Lite" CAN interface that korva_mapper_peak exports.
 *
 * Programs written for that interface call these functions; the mapper
 * carries each call over to korva_api.  One channel per process: the one
 * the last CAN_Init opened.  Every function returns one of the PEAK_RESULT_*
 * codes below; all exports use the standard calling convention of Windows
 * (the called function removes its arguments) and plain names.
 *
 * On Linux the same functions are built for the native tests, with the
 * platform's default calling convention.
 */
#ifndef KORVA_PEAK_H
#define KORVA_PEAK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  define PEAK_CALL __stdcall
#else
#  define PEAK_CALL
#endif

/* One frame as the PEAK interface carries it: 16 bytes, little-endian.
 * Callers that declare the record packed have only the first 14 bytes, so
 * the mapper reads and writes only those (PEAK_MSG_BYTES). */
typedef struct PeakMsg {
    uint32_t Id;         /* identifier, 11 or 29 bits, carried unmasked */
    uint8_t  MsgType;    /* PEAK_MSGTYPE_* bits */
    uint8_t  Len;        /* data length code, carried unchanged */
    uint8_t  Data[8];    /* data bytes, all eight carried */
    uint8_t  Padding[2]; /* never read or written by the mapper */
} PeakMsg;

#define PEAK_MSG_BYTES 14 /* the part of PeakMsg that carries the frame */

#define PEAK_MSGTYPE_STANDARD 0x00 /* data frame, 11-bit identifier */
#define PEAK_MSGTYPE_RTR      0x01 /* remote transmission request */
#define PEAK_MSGTYPE_EXTENDED 0x02 /* 29-bit identifier */

/* The time stamp that CAN_ReadEx delivers with a frame. */
typedef struct PeakTimestamp {
    uint32_t Stamp;       /* the adapter's time stamp of the frame */
    uint8_t  Reserved[4]; /* set to zero */
} PeakTimestamp;

/* Frame types of CAN_Init and CAN_MsgFilter. */
#define PEAK_INIT_STANDARD 0 /* CAN_Init: standard identifiers; anything else extended */
#define PEAK_FILTER_EXTENDED 2 /* CAN_MsgFilter: exactly 2 selects the extended range */

/* Result codes. */
#define PEAK_RESULT_OK            0x0000u /* success */
#define PEAK_RESULT_SEND_FAILED   0x0010u /* CAN_Write: korva_api refused the frame */
#define PEAK_RESULT_RX_EMPTY      0x0020u /* CAN_Read(Ex): no frame (none, failed, or filtered) */
#define PEAK_RESULT_NOT_SENT      0x0080u /* CAN_Write: accepted, but no frame taken */
#define PEAK_RESULT_INIT_FAILED   0x1400u /* CAN_Init: channel not opened or configured */
#define PEAK_RESULT_THREAD_FAILED 0x1C00u /* CAN_SetRcvEvent: no notification thread */

/* Opens the channel named in korva.ini (or the first adapter found),
 * sets the bit timing (BTR0 in the high byte, BTR1 in the low byte),
 * switches receive time stamps on.  A channel still open from an earlier
 * CAN_Init is closed first.  frameType 0: CAN_Write sends standard frames,
 * else extended ones. */
uint32_t PEAK_CALL CAN_Init(uint32_t btr0btr1, int32_t frameType);
/* Stops the notification thread and closes the channel. */
uint32_t PEAK_CALL CAN_Close(void);
/* Always PEAK_RESULT_OK. */
uint32_t PEAK_CALL CAN_Status(void);
/* Sends one frame. */
uint32_t PEAK_CALL CAN_Write(const PeakMsg *msg);
/* Delivers at most one received frame. */
uint32_t PEAK_CALL CAN_Read(PeakMsg *msg);
/* Delivers at most one received frame and, when stamp is not null, its
 * time stamp. */
uint32_t PEAK_CALL CAN_ReadEx(PeakMsg *msg, PeakTimestamp *stamp);
/* Sets the event that is signalled while received frames wait; starts (or
 * restarts) the notification thread.  Null stops the signalling. */
uint32_t PEAK_CALL CAN_SetRcvEvent(void *event);
/* Writes "<module file name> Mapper", a line feed and the maker's line. */
uint32_t PEAK_CALL CAN_VersionInfo(char *text);
/* Writes the five bytes "2.03" and its NUL. */
uint32_t PEAK_CALL CAN_DLLVersionInfo(char *text);
/* Sends what the channel still holds for transmission. */
uint32_t PEAK_CALL CAN_ResetClient(void);
/* Widens the standard range (or, with frameType 2, the extended range) of
 * identifiers that CAN_Read withholds. */
uint32_t PEAK_CALL CAN_MsgFilter(uint32_t first, uint32_t last, int32_t frameType);
/* Clears both identifier ranges. */
uint32_t PEAK_CALL CAN_ResetFilter(void);
/* Does nothing (exported as SetUSBDeviceNr and GetUSBDeviceNr). */
uint32_t PEAK_CALL SetUSBDeviceNr(uintptr_t value);

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus)
static_assert(sizeof(PeakMsg) == 16, "PeakMsg is 16 bytes");
static_assert(offsetof(PeakMsg, MsgType) == 4 && offsetof(PeakMsg, Len) == 5 &&
                  offsetof(PeakMsg, Data) == 6 && offsetof(PeakMsg, Padding) == PEAK_MSG_BYTES,
              "PeakMsg layout");
static_assert(sizeof(PeakTimestamp) == 8, "PeakTimestamp is 8 bytes");
#endif

#endif
