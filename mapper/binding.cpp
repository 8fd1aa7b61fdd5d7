/*
 * binding.cpp - korva_mapper_peak's binding to korva_api and its
 * configuration: the DLL's process attach and detach, and the step that
 * opens the channel that korva.ini names.
 */
#include "mapper.h"
#include "mapper_os.h"

#include <iniparser.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// Until korva_api is bound: every handle is refused, as korva_api refuses
// one that names no adapter, and the counters are set as it sets them.
int32_t KORVA_CALL UnboundOpen(const char *, int32_t) { return KORVA_ERR_HANDLE; }
int32_t KORVA_CALL UnboundClose(int32_t) { return KORVA_ERR_HANDLE; }
int32_t KORVA_CALL UnboundIoctl(int32_t, uint32_t, void *) { return KORVA_ERR_HANDLE; }
int32_t KORVA_CALL UnboundWrite(int32_t, const CanMsg *, uint32_t, uint32_t *written) {
    if (written) *written = 0;
    return KORVA_ERR_HANDLE;
}
int32_t KORVA_CALL UnboundRead(int32_t, CanMsg *, uint32_t, uint32_t *read) {
    if (read) *read = 0;
    return KORVA_ERR_HANDLE;
}
int32_t KORVA_CALL UnboundFlush(int32_t) { return KORVA_ERR_HANDLE; }

constexpr BoundApi kUnbound = {UnboundOpen,  UnboundClose, UnboundIoctl, UnboundWrite,
                               UnboundRead, UnboundFlush, nullptr};

constexpr char kUnknownModule[] = "unknown.dll";

void *ApiLibrary = nullptr; // the loaded korva_api, null while none

void UnloadApi() {
    Api = kUnbound;
    if (ApiLibrary) OsFreeLibrary(ApiLibrary);
    ApiLibrary = nullptr;
}

// Loads korva_api and binds its six functions.  Looks all six up before
// judging, so that a library lacking any of them is refused as a whole.
// KORVA_SetRcvEvent is bound where the library has it.
bool LoadApi() {
    ApiLibrary = OsLoadLibrary("korva_api.dll");
    if (!ApiLibrary) {
        OsMessageBox("Could not load korva_api.dll", "Error");
        return false;
    }
    void *open = OsBindSymbol(ApiLibrary, "KORVA_Open");
    void *close = OsBindSymbol(ApiLibrary, "KORVA_Close");
    void *ioctl = OsBindSymbol(ApiLibrary, "KORVA_Ioctl");
    void *write = OsBindSymbol(ApiLibrary, "KORVA_Write");
    void *read = OsBindSymbol(ApiLibrary, "KORVA_Read");
    void *flush = OsBindSymbol(ApiLibrary, "KORVA_Flush");
    if (!open || !close || !ioctl || !write || !read || !flush) {
        UnloadApi();
        return false;
    }
    Api.Open = reinterpret_cast<decltype(Api.Open)>(open);
    Api.Close = reinterpret_cast<decltype(Api.Close)>(close);
    Api.Ioctl = reinterpret_cast<decltype(Api.Ioctl)>(ioctl);
    Api.Write = reinterpret_cast<decltype(Api.Write)>(write);
    Api.Read = reinterpret_cast<decltype(Api.Read)>(read);
    Api.Flush = reinterpret_cast<decltype(Api.Flush)>(flush);
    Api.SetRcvEvent = reinterpret_cast<decltype(Api.SetRcvEvent)>(OsBindSymbol(ApiLibrary, "KORVA_SetRcvEvent"));
    return true;
}

// Takes the mapper's file name from its full path: everything after the
// last backslash.  A path the platform does not report, or reports cut
// short, leaves "unknown.dll"; a path without a backslash is refused.
bool TakeModuleName(void *module) {
    char path[MODULE_NAME_SIZE];
    const uint32_t n = OsModulePath(module, path, sizeof path);
    if (n == 0 || n > MODULE_NAME_SIZE - 1) return true;
    path[n] = '\0';
    const char *slash = std::strrchr(path, '\\');
    if (!slash) return false;
    std::strcpy(ModuleName, slash + 1);
    return true;
}

int32_t ProcessAttach(void *module) {
    if (Attached) return 0;
    std::strcpy(ModuleName, kUnknownModule);
    if (!LoadApi()) return 0;
    if (!TakeModuleName(module)) {
        UnloadApi();
        return 0;
    }
    Attached = 1;
    return 1;
}

// A detach that the process's exit causes finds the other threads already
// ended by the system, possibly inside korva_api holding its locks: a call
// into korva_api could then hang the exit, so nothing is touched.  The
// system closes the adapter's line with the process.
void ProcessDetach(bool processExit) {
    if (processExit) return;
    StopNotifyThread(1);
    CloseChannel();
    ReleaseNotifyResources();
    UnloadApi();
    Attached = 0;
}

// "section:key" for this module, lower-cased as iniparser stores its keys.
void ConfigKey(char *out, size_t size, const char *key) {
    std::snprintf(out, size, "%s:%s", ModuleName, key);
    for (char *p = out; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
}

} // namespace

extern "C" {

BoundApi Api = kUnbound;
char ModuleName[MODULE_NAME_SIZE] = "unknown.dll";
int32_t Attached = 0;
std::atomic<int32_t> ChannelHandle{0};

int32_t MapperEntry(void *module, uint32_t reason, void *reserved) {
    switch (reason) {
    case MAPPER_PROCESS_ATTACH: return ProcessAttach(module);
    case MAPPER_PROCESS_DETACH: ProcessDetach(reserved != nullptr); return 1;
    default: return 1; // thread attach and detach change nothing
    }
}

int32_t OpenConfiguredChannel(void) {
    dictionary *ini = iniparser_load("korva.ini");
    const char *name = nullptr;
    bool reconnect = false;
    if (ini) {
        char key[MODULE_NAME_SIZE + sizeof ":reconnect"]; // the longest key
        ConfigKey(key, sizeof key, "port");
        name = iniparser_getstring(ini, key, nullptr);
        // "Port =" with nothing after it names no adapter, like a missing key.
        if (name && name[0] == '\0') name = nullptr;
        ConfigKey(key, sizeof key, "debug");
        // A section header of that name has no value to test (iniparser
        // would read through a null one): off.
        const bool debug = iniparser_getstring(ini, key, nullptr) != nullptr &&
                           iniparser_getboolean(ini, key, 0) == 1;
        if (debug) {
            Api.Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(KORVA_DEBUG_TO_FILE));
            Api.Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(KORVA_DEBUG_LEVEL_SYSTEM));
        }
        ConfigKey(key, sizeof key, "reconnect");
        reconnect = iniparser_getstring(ini, key, nullptr) != nullptr && iniparser_getboolean(ini, key, 0) == 1;
    }
    const int32_t handle = Api.Open(name, KORVA_MODE_NORMAL);
    // A korva_api without the request keeps a lost adapter lost, as before.
    if (handle > 0 && reconnect) Api.Ioctl(handle, KORVA_IOCTL_SET_RECONNECT, KORVA_IOCTL_INT(1));
    // Only now: the name belongs to the dictionary.
    if (ini) iniparser_freedict(ini);
    return handle;
}

void CloseChannel(void) {
    OsLock();
    const int32_t old = ChannelHandle.exchange(0);
    OsUnlock();
    if (old != 0) Api.Close(old);
}

} // extern "C"
