/* A library with five of the six functions the mapper binds (KORVA_Flush
 * is missing): the mapper must refuse to load over it.  Each refuses
 * every handle.  Built for Linux (the native tests) and as a Windows DLL,
 * which the wine tests install as korva_api.dll. */
#include <stdint.h>

#ifdef _WIN32
#  define EXPORT __declspec(dllexport) /* cdecl, as korva_api's own */
#else
#  define EXPORT __attribute__((visibility("default")))
#endif

EXPORT int32_t KORVA_Open(const char *name, int32_t mode) {
    (void)name, (void)mode;
    return -2;
}
EXPORT int32_t KORVA_Close(int32_t handle) {
    (void)handle;
    return -6;
}
EXPORT int32_t KORVA_Ioctl(int32_t handle, uint32_t request, void *argument) {
    (void)handle, (void)request, (void)argument;
    return -6;
}
EXPORT int32_t KORVA_Write(int32_t handle, const void *frames, uint32_t count, uint32_t *written) {
    (void)handle, (void)frames, (void)count;
    *written = 0;
    return -6;
}
EXPORT int32_t KORVA_Read(int32_t handle, void *frames, uint32_t count, uint32_t *read) {
    (void)handle, (void)frames, (void)count;
    *read = 0;
    return -6;
}
