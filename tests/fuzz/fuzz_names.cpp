// Adapter names from applications: forming the system name and
// classifying it must stay within the record's fields for any text.
#include "sysfuncs.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string name(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    Device d;
    InitDevice(&d);
    if (ConvertDeviceName2SystemName(name.c_str(), d.SystemName) != 0) {
        if (d.SystemName[0] != '\0') __builtin_trap();
        return 0;
    }
    const int32_t rc = GetDeviceType(&d);
    if (std::memchr(d.SystemName, '\0', sizeof d.SystemName) == nullptr) __builtin_trap();
    if (std::memchr(d.HostName, '\0', sizeof d.HostName) == nullptr) __builtin_trap();
    if (rc == -1 && d.DeviceType != DEVTYPE_NONE) __builtin_trap();
    if (d.DeviceType == DEVTYPE_NET && (d.HostName[0] == '\0' || d.Port == 0)) __builtin_trap();
    return 0;
}
