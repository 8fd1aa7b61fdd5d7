/*
 * sysfuncs_ocera.h - the driver for CAN controllers of the Ocera LinCAN
 * kernel driver (character devices /dev/canN).
 */
#ifndef KORVA_SYSFUNCS_OCERA_H
#define KORVA_SYSFUNCS_OCERA_H

#include "sysfuncs.h"

extern "C" {

KORVA_PUBLIC int32_t GetDeviceSerialNrNVersion_Ocera(Device *dev);
KORVA_PUBLIC int32_t GetDeviceFlags_Ocera(Device *dev, uint32_t *flags);
KORVA_PUBLIC int32_t SetDeviceAccCodeMask_Ocera(Device *dev, const uint32_t *codeMask);
KORVA_PUBLIC int32_t SetDeviceTimestamp_Ocera(Device *dev, int32_t on);
/* The LinCAN driver has no filter mode: -11.  Installed only in the
 * records of LinCAN handles; the process-wide table keeps the Lawicel
 * operation in that slot. */
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

} // extern "C"

#endif
