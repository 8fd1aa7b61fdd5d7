// Placeholder: replaced by the driver implementation.
#include "sysfuncs_lawicel.h"
extern "C" {
int32_t OpenCommChannel(Device*,int32_t,int32_t) { return 0; }
int32_t CloseCommChannel(Device*) { return 0; }
int32_t ReadCommChannel(Device*,char*,uint32_t,uint32_t*) { return 0; }
int32_t WriteCommChannelEx(Device*,const char*,uint32_t,uint32_t*) { return 0; }
int32_t WriteCommChannel(Device*,const char*,uint32_t,uint32_t*,int32_t) { return 0; }
int32_t ReadData(Device*,char*,uint32_t,uint32_t*,int32_t) { return 0; }
int32_t WriteData(Device*,const char*,uint32_t,int32_t) { return 0; }
int32_t GetDeviceSerialNrNVersion_Lawicel(Device*) { return 0; }
int32_t GetDeviceFlags_Lawicel(Device*,uint32_t*) { return 0; }
int32_t SetDeviceAccCodeMask_Lawicel(Device*,const uint32_t*) { return 0; }
int32_t SetDeviceTimestamp_Lawicel(Device*,int32_t) { return 0; }
int32_t SetDeviceFilterMode_Lawicel(Device*,int32_t) { return 0; }
int32_t FlushReadBuffer_Lawicel(Device*) { return 0; }
int32_t OpenDevice_Lawicel(Device*) { return 0; }
int32_t ResetDevice_Lawicel(Device*) { return 0; }
int32_t CloseDevice_Lawicel(Device*) { return 0; }
int32_t SetDeviceSpeed_Lawicel(Device*,uint32_t) { return 0; }
int32_t SetDeviceBTR_Lawicel(Device*,const uint8_t*) { return 0; }
void * ReadThread_Lawicel(void*) { return nullptr; }
int32_t WriteFrame_Lawicel(Device*,const CanMsg*,uint32_t,uint32_t*) { return 0; }
int32_t FlushWriteBuffer_Lawicel(Device*) { return 0; }
uint32_t Binary2AsciiMsg(char*,CanMsg) { return 0; }
void AsciiData2Binary(uint8_t*,uint32_t,const char*) {}
}
