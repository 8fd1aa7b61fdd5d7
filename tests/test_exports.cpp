// The built library exports every named function and global under its
// plain (C) name, and carries its SONAME.
#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <link.h>
#include <string>
#include <vector>

namespace {

const char *const kExported[] = {
    // the interface
    "KORVA_Open", "KORVA_Close", "KORVA_Ioctl", "KORVA_Read", "KORVA_Write", "KORVA_Flush",
    "KORVA_SetRcvEvent", "KORVA_GetErrorString",
    // the driver operation table
    "GetDeviceSerialNrNVersion", "GetDeviceFlags", "SetDeviceAccCodeMask", "SetDeviceTimestamp",
    "SetDeviceFilterMode", "FlushReadBuffer", "OpenDevice", "ResetDevice", "CloseDevice",
    "SetDeviceSpeed", "SetDeviceBTR", "ReadThread", "WriteFrame", "FlushWriteBuffer",
    // globals
    "DeviceList", "IsLinux", "debug", "debugout", "debugfile", "debugline",
    // records, lists, ring, trace, naming
    "AddDevice2List", "RemoveDeviceFromList", "GetDevice", "DeviceListSize", "FreeDeviceList",
    "InitSystem", "InitSystem_Lawicel", "InitSystem_Ocera", "AddMsg2Buf", "GetMsgFromBuf",
    "GetTickCount", "Error", "OpenDebugChannel", "CloseDebugChannel", "strcpy_max",
    "ConvertDeviceName2SystemName", "GetDeviceType", "EnumDevices2List",
    // communication channel
    "OpenCommChannel", "CloseCommChannel", "ReadCommChannel", "WriteCommChannelEx",
    "WriteCommChannel", "ReadData", "WriteData",
    // Lawicel driver
    "GetDeviceSerialNrNVersion_Lawicel", "GetDeviceFlags_Lawicel", "SetDeviceAccCodeMask_Lawicel",
    "SetDeviceTimestamp_Lawicel", "SetDeviceFilterMode_Lawicel", "FlushReadBuffer_Lawicel",
    "OpenDevice_Lawicel", "ResetDevice_Lawicel", "CloseDevice_Lawicel", "SetDeviceSpeed_Lawicel",
    "SetDeviceBTR_Lawicel", "ReadThread_Lawicel", "WriteFrame_Lawicel", "FlushWriteBuffer_Lawicel",
    "Binary2AsciiMsg", "AsciiData2Binary",
    // Ocera driver
    "GetDeviceSerialNrNVersion_Ocera", "GetDeviceFlags_Ocera", "SetDeviceAccCodeMask_Ocera",
    "SetDeviceTimestamp_Ocera", "FlushReadBuffer_Ocera", "OpenDevice_Ocera", "ResetDevice_Ocera",
    "CloseDevice_Ocera", "SetDeviceSpeed_Ocera", "SetDeviceBTR_Ocera", "ReadThread_Ocera",
    "WriteFrame_Ocera", "FlushWriteBuffer_Ocera",
};

TEST(Exports, EveryNameIsFoundInTheBuiltLibrary) {
    const char *lib = std::getenv("KORVA_LIB");
    ASSERT_NE(nullptr, lib) << "run through ctest, which names the library";
    void *h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, h) << dlerror();
    for (const char *name : kExported) EXPECT_NE(nullptr, dlsym(h, name)) << name;
    // Internals stay internal: no C++-mangled names leak out.
    EXPECT_EQ(nullptr, dlsym(h, "_ZN12_GLOBAL__N_18HexEPKv"));
    // The globals hold their load-time values.
    EXPECT_EQ(1, *static_cast<int *>(dlsym(h, "IsLinux")));
    EXPECT_STREQ("unknown.c", *static_cast<const char **>(dlsym(h, "debugfile")));
    dlclose(h);
}

TEST(Exports, SharedObjectNameCarriesTheMajorVersion) {
    const char *lib = std::getenv("KORVA_LIB");
    ASSERT_NE(nullptr, lib);
    void *h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, h);
    link_map *map = nullptr;
    ASSERT_EQ(0, dlinfo(h, RTLD_DI_LINKMAP, &map));
    const char *soname = nullptr;
    const char *strtab = nullptr;
    for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d)
        if (d->d_tag == DT_STRTAB) strtab = reinterpret_cast<const char *>(d->d_un.d_ptr);
    for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d)
        if (d->d_tag == DT_SONAME && strtab) soname = strtab + d->d_un.d_val;
    ASSERT_NE(nullptr, soname);
    EXPECT_STREQ("libkorva_api.so.1", soname);
    dlclose(h);
}

} // namespace
