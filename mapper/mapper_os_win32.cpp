/*
 * mapper_os_win32.cpp - the mapper's operating-system layer on Windows,
 * and the DLL entry point.  Everything the entry point does is the logic's
 * (MapperEntry); this file only hands the loader's arguments on.
 */
#include "mapper.h"
#include "mapper_os.h"

#include <windows.h>

#include <new>

struct OsWake {
    HANDLE Event; // auto-reset
};

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

OsWake *OsWakeCreate(void) {
    OsWake *w = new (std::nothrow) OsWake;
    if (!w) return nullptr;
    w->Event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!w->Event) {
        delete w;
        return nullptr;
    }
    return w;
}

void OsWakeDestroy(OsWake *wake) {
    CloseHandle(wake->Event);
    delete wake;
}

void OsWakeSignal(OsWake *wake) { SetEvent(wake->Event); }

void OsWakeWait(OsWake *wake, uint32_t timeoutMs) { WaitForSingleObject(wake->Event, timeoutMs); }

void *OsSemCreate(void) { return CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr); }

void OsSemDestroy(void *sem) { CloseHandle(static_cast<HANDLE>(sem)); }

void OsSemPost(void *sem) { ReleaseSemaphore(static_cast<HANDLE>(sem), 1, nullptr); }

int OsSemWait(void *sem, uint32_t timeoutMs) {
    return WaitForSingleObject(static_cast<HANDLE>(sem), timeoutMs) == WAIT_OBJECT_0 ? 1 : 0;
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

} // extern "C"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return MapperEntry(instance, reason, reserved) ? TRUE : FALSE;
}
