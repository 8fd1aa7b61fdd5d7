/*
 * mapper_os_win32.cpp - the mapper's operating-system layer on Windows,
 * and the DLL entry point.  Everything the entry point does is the logic's
 * (MapperEntry); this file only hands the loader's arguments on.
 */
#include "mapper.h"
#include "mapper_os.h"

#include <windows.h>

#include <new>

struct OsThread {
    HANDLE Handle;
    void (*Body)(void *);
    void *Arg;
};

namespace {

SRWLOCK MapperLock = SRWLOCK_INIT;

DWORD WINAPI ThreadStart(LPVOID p) {
    OsThread *t = static_cast<OsThread *>(p);
    t->Body(t->Arg);
    return 0;
}

void Release(OsThread *t) {
    CloseHandle(t->Handle);
    delete t;
}

} // namespace

extern "C" {

void *OsLoadLibrary(const char *name) { return LoadLibraryA(name); }

void *OsBindSymbol(void *library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void OsFreeLibrary(void *library) { FreeLibrary(static_cast<HMODULE>(library)); }

uint32_t OsModulePath(void *module, char *buffer, uint32_t size) {
    return GetModuleFileNameA(static_cast<HMODULE>(module), buffer, size);
}

void OsMessageBox(const char *text, const char *caption) {
    MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONEXCLAMATION);
}

void OsSetEvent(void *event) { SetEvent(static_cast<HANDLE>(event)); }

void OsSleep(uint32_t ms) { Sleep(ms); }

void OsLock(void) { AcquireSRWLockExclusive(&MapperLock); }

void OsUnlock(void) { ReleaseSRWLockExclusive(&MapperLock); }

// An OsSignal is the handle of an auto-reset event itself: korva_api sets
// it, and the wait that sees it set takes it.
OsSignal *OsSignalCreate(void) { return reinterpret_cast<OsSignal *>(CreateEventA(nullptr, FALSE, FALSE, nullptr)); }

void OsSignalDestroy(OsSignal *signal) { CloseHandle(reinterpret_cast<HANDLE>(signal)); }

void *OsSignalHandle(OsSignal *signal) { return signal; }

void OsSignalRaise(OsSignal *signal) { SetEvent(reinterpret_cast<HANDLE>(signal)); }

int OsSignalWait(OsSignal *signal, uint32_t timeoutMs) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(signal), timeoutMs) == WAIT_OBJECT_0 ? 1 : 0;
}

OsThread *OsThreadStart(void (*body)(void *arg), void *arg) {
    OsThread *t = new (std::nothrow) OsThread;
    if (!t) return nullptr;
    t->Body = body;
    t->Arg = arg;
    DWORD id = 0;
    t->Handle = CreateThread(nullptr, 0, ThreadStart, t, 0, &id);
    if (!t->Handle) {
        delete t;
        return nullptr;
    }
    return t;
}

int OsThreadJoin(OsThread *thread, uint32_t timeoutMs) {
    if (WaitForSingleObject(thread->Handle, timeoutMs) != WAIT_OBJECT_0) return 0;
    Release(thread);
    return 1;
}

void OsThreadKillParked(OsThread *thread) {
    // A thread ended by TerminateThread runs no thread-detach notifications,
    // so its end does not need the loader lock and can be waited for here.
    TerminateThread(thread->Handle, 0);
    WaitForSingleObject(thread->Handle, 5000);
    Release(thread);
}

void OsPark(void) {
    for (;;) Sleep(INFINITE);
}

void OsPinModule(void) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&OsPinModule), &self);
}

} // extern "C"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return MapperEntry(instance, reason, reserved) ? TRUE : FALSE;
}
