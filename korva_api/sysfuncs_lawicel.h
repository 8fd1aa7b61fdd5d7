/*
 * sysfuncs_lawicel.h - the communication channel (serial line or TCP) and
 * the driver for adapters that speak the Lawicel ASCII protocol.
 */
#ifndef KORVA_SYSFUNCS_LAWICEL_H
#define KORVA_SYSFUNCS_LAWICEL_H

#include "sysfuncs.h"

extern "C" {

/* ---- communication channel ---- */
KORVA_PUBLIC int32_t OpenCommChannel(Device *dev, int32_t ignored, int32_t flowControl);
KORVA_PUBLIC int32_t CloseCommChannel(Device *dev);
KORVA_PUBLIC int32_t ReadCommChannel(Device *dev, char *buffer, uint32_t size, uint32_t *count);
KORVA_PUBLIC int32_t WriteCommChannelEx(Device *dev, const char *data, uint32_t length, uint32_t *written);
KORVA_PUBLIC int32_t WriteCommChannel(Device *dev, const char *data, uint32_t length, uint32_t *written,
                                      int32_t sendNow);
KORVA_PUBLIC int32_t ReadData(Device *dev, char *buffer, uint32_t size, uint32_t *count, int32_t keepOpen);
KORVA_PUBLIC int32_t WriteData(Device *dev, const char *data, uint32_t length, int32_t keepOpen);

/* ---- Lawicel driver operations ---- */
KORVA_PUBLIC int32_t GetDeviceSerialNrNVersion_Lawicel(Device *dev);
KORVA_PUBLIC int32_t GetDeviceFlags_Lawicel(Device *dev, uint32_t *flags);
KORVA_PUBLIC int32_t SetDeviceAccCodeMask_Lawicel(Device *dev, const uint32_t *codeMask);
KORVA_PUBLIC int32_t SetDeviceTimestamp_Lawicel(Device *dev, int32_t on);
KORVA_PUBLIC int32_t SetDeviceFilterMode_Lawicel(Device *dev, int32_t mode);
KORVA_PUBLIC int32_t FlushReadBuffer_Lawicel(Device *dev);
KORVA_PUBLIC int32_t OpenDevice_Lawicel(Device *dev);
KORVA_PUBLIC int32_t ResetDevice_Lawicel(Device *dev);
KORVA_PUBLIC int32_t CloseDevice_Lawicel(Device *dev);
KORVA_PUBLIC int32_t SetDeviceSpeed_Lawicel(Device *dev, uint32_t code);
KORVA_PUBLIC int32_t SetDeviceBTR_Lawicel(Device *dev, const uint8_t *btr);
KORVA_PUBLIC void *ReadThread_Lawicel(void *dev);
KORVA_PUBLIC int32_t WriteFrame_Lawicel(Device *dev, const CanMsg *frames, uint32_t count, uint32_t *written);
KORVA_PUBLIC int32_t FlushWriteBuffer_Lawicel(Device *dev);
KORVA_PUBLIC int32_t SetDeviceDataBitrate_Lawicel(Device *dev, uint32_t code);
KORVA_PUBLIC int32_t WriteFdFrame_Lawicel(Device *dev, const CanFdMsg *frames, uint32_t count, uint32_t *written);

/* ---- frame text ---- */
/* Frame to transmit command; returns the characters written (CR included). */
KORVA_PUBLIC uint32_t Binary2AsciiMsg(char *output, CanMsg msg);
/* The same for a CanFdMsg record (an FD frame as "d", "D", "b" or "B");
 * output holds at least 140 bytes. */
KORVA_PUBLIC uint32_t Binary2AsciiFdMsg(char *output, const CanFdMsg *msg);
/* count bytes from hexadecimal text, two digits each. */
KORVA_PUBLIC void AsciiData2Binary(uint8_t *output, uint32_t count, const char *text);

/* ---- replies of the adapter ---- */
/* The "N" reply, length bytes with its carriage return: 0 and the decimal
 * number after the "N" in *serialNr ("N1234\r" gives 1234, "NA1\r" 0), or
 * -1 when it does not start with "N" or is longer than 13 bytes. */
KORVA_PUBLIC int32_t ParseSerialNrReply_Lawicel(const char *reply, uint32_t length, uint32_t *serialNr);
/* The "V" reply: 0 with the two hexadecimal digits after the "V" in
 * *hwVersion and the hexadecimal number from the fourth character on in
 * *swVersion, low 8 bits each ("V1013\r" gives 0x10, 0x13), or -1 when it
 * does not start with "V" or is shorter than 5 bytes. */
KORVA_PUBLIC int32_t ParseVersionReply_Lawicel(const char *reply, uint32_t length, uint8_t *hwVersion,
                                               uint8_t *swVersion);
/* A received line of n characters (no carriage return): 0 and the two
 * hexadecimal digits in *status when it is a status reply "Fxx", else -1. */
KORVA_PUBLIC int32_t ParseStatusReply_Lawicel(const char *line, uint32_t n, uint32_t *status);

/* Decodes the first total bytes of dev->RxLine (total below RX_LINE_SIZE): frame
 * lines go to the receive ring through AddMsg2BufAndNotify, "F" status
 * lines to StatusFlags/StatusValid, everything else is skipped or dropped.
 * The incomplete last line is moved to the start of RxLine; the result is
 * its length, the carry that the next read appends to.  The record needs
 * RxLine, the ring, RingMutex, WaitMutex and RxCond. */
KORVA_PUBLIC uint32_t DecodeRxText_Lawicel(Device *dev, uint32_t total);

} // extern "C"

#endif
