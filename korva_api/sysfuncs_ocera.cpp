// Placeholder: replaced by the driver implementation.
#include "sysfuncs_ocera.h"
extern "C" {
int32_t GetDeviceSerialNrNVersion_Ocera(Device*) { return 0; }
int32_t GetDeviceFlags_Ocera(Device*,uint32_t*) { return 0; }
int32_t SetDeviceAccCodeMask_Ocera(Device*,const uint32_t*) { return 0; }
int32_t SetDeviceTimestamp_Ocera(Device*,int32_t) { return 0; }
int32_t SetDeviceFilterMode_Ocera(Device*,int32_t) { return 0; }
int32_t FlushReadBuffer_Ocera(Device*) { return 0; }
int32_t OpenDevice_Ocera(Device*) { return 0; }
int32_t ResetDevice_Ocera(Device*) { return 0; }
int32_t CloseDevice_Ocera(Device*) { return 0; }
int32_t SetDeviceSpeed_Ocera(Device*,uint32_t) { return 0; }
int32_t SetDeviceBTR_Ocera(Device*,const uint8_t*) { return 0; }
void * ReadThread_Ocera(void*) { return nullptr; }
int32_t WriteFrame_Ocera(Device*,const CanMsg*,uint32_t,uint32_t*) { return 0; }
int32_t FlushWriteBuffer_Ocera(Device*) { return 0; }
}
