/*
 * sysfuncs_ocera.h - the driver for CAN controllers of the Ocera LinCAN
 * kernel driver (character devices /dev/canN).
 */
#ifndef KORVA_SYSFUNCS_OCERA_H
#define KORVA_SYSFUNCS_OCERA_H

#include "sysfuncs.h"

#include <cstddef>

/* The message record of the LinCAN character device: 32 bytes in host
 * byte order, read and written whole. */
struct LinCanRecord {
    int32_t Flags;        /* LINCAN_FLAG_* bits */
    int32_t Cob;          /* message object number; 0 on send, ignored on receive */
    uint32_t Id;          /* CAN identifier */
    uint8_t Timestamp[8]; /* the kernel driver's receive time; 0 on send, ignored */
    uint16_t Length;      /* number of data bytes */
    uint8_t Data[8];      /* data bytes, the first Length of them valid */
    uint8_t Padding[2];   /* 0 on send */
};
static_assert(sizeof(LinCanRecord) == 32, "LinCAN record is 32 bytes");
static_assert(offsetof(LinCanRecord, Flags) == 0, "LinCanRecord.Flags at 0");
static_assert(offsetof(LinCanRecord, Cob) == 4, "LinCanRecord.Cob at 4");
static_assert(offsetof(LinCanRecord, Id) == 8, "LinCanRecord.Id at 8");
static_assert(offsetof(LinCanRecord, Timestamp) == 12, "LinCanRecord.Timestamp at 12");
static_assert(offsetof(LinCanRecord, Length) == 20, "LinCanRecord.Length at 20");
static_assert(offsetof(LinCanRecord, Data) == 22, "LinCanRecord.Data at 22");
static_assert(offsetof(LinCanRecord, Padding) == 30, "LinCanRecord.Padding at 30");

#define LINCAN_RECORD_SIZE 32
#define LINCAN_FLAG_RTR 1 /* remote transmission request */
#define LINCAN_FLAG_EXT 4 /* 29-bit identifier */

/* Requests of the LinCAN character device (Linux encoding, type 'd'). */
#define LINCAN_IOCTL_SET_BITRATE 0x4010640BUL /* write, 16 bytes: -1, bit/s, -1, -1 */
#define LINCAN_IOCTL_SET_BTR     0x40046404UL /* write, 4 bytes: BTR0 << 8 | BTR1 << 16 */
#define LINCAN_IOCTL_GET_FLAGS   0x8004640DUL /* read, 4 bytes: the driver's flags word */

extern "C" {

KORVA_PUBLIC int32_t GetDeviceSerialNrNVersion_Ocera(Device *dev);
KORVA_PUBLIC int32_t GetDeviceFlags_Ocera(Device *dev, uint32_t *flags);
KORVA_PUBLIC int32_t SetDeviceAccCodeMask_Ocera(Device *dev, const uint32_t *codeMask);
KORVA_PUBLIC int32_t SetDeviceTimestamp_Ocera(Device *dev, int32_t on);
/* The LinCAN driver has no filter mode: -11.  Serves the records of
 * LinCAN handles; the process-wide table keeps the Lawicel operation in
 * that slot. */
KORVA_PUBLIC int32_t SetDeviceFilterMode_Ocera(Device *dev, int32_t mode);
KORVA_PUBLIC int32_t FlushReadBuffer_Ocera(Device *dev);
KORVA_PUBLIC int32_t OpenDevice_Ocera(Device *dev);
KORVA_PUBLIC int32_t ResetDevice_Ocera(Device *dev);
KORVA_PUBLIC int32_t CloseDevice_Ocera(Device *dev);
KORVA_PUBLIC int32_t SetDeviceSpeed_Ocera(Device *dev, uint32_t code);
KORVA_PUBLIC int32_t SetDeviceBTR_Ocera(Device *dev, const uint8_t *btr);
KORVA_PUBLIC void *ReadThread_Ocera(void *dev);
KORVA_PUBLIC int32_t WriteFrame_Ocera(Device *dev, const CanMsg *frames, uint32_t count, uint32_t *written);
KORVA_PUBLIC int32_t FlushWriteBuffer_Ocera(Device *dev);

/* Bit rate in bit/s of a speed code: 1..7 give 20k, 50k, 100k, 125k,
 * 250k, 500k, 800k; every other code 1000000. */
KORVA_PUBLIC int32_t SpeedCode2BitRate_Ocera(uint32_t code);

/* Turns one received 32-byte record into a frame, the LinCAN flags read
 * bit by bit: LINCAN_FLAG_EXT gives KORVA_FLAG_EXTENDED (else the frame is
 * KORVA_FLAG_STANDARD, a standard remote request KORVA_FLAG_REMOTE alone),
 * LINCAN_FLAG_RTR gives KORVA_FLAG_REMOTE; the driver's other bits are
 * ignored.  A length above 8 is cut to 8; data bytes beyond the length and
 * TimeStamp are 0.  0, or KORVA_ERR_GENERIC for a null argument. */
KORVA_PUBLIC int32_t LinCanRecord2CanMsg(const uint8_t *record, CanMsg *out);

/* Fills one 32-byte record to send: KORVA_FLAG_EXTENDED gives
 * LINCAN_FLAG_EXT and KORVA_FLAG_REMOTE LINCAN_FLAG_RTR, whatever other
 * bits are set; a Length
 * above 8 is cut to 8; every byte not carrying the frame is 0.  0, or
 * KORVA_ERR_GENERIC for a null argument. */
KORVA_PUBLIC int32_t CanMsg2LinCanRecord(const CanMsg *msg, uint8_t *record);

} // extern "C"

#endif
