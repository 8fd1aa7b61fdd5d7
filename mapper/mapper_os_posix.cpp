/*
 * mapper_os_posix.cpp - the mapper's operating-system layer on Linux, with
 * dlopen and POSIX threads.  It lets the mapper's logic run natively
 * against the real libkorva_api.so; what the Windows loader would report
 * (the module's own path, where "korva_api.dll" is found) is set through
 * OsPosixSetModulePath and OsPosixSetLibraryPath.
 */
#include "mapper_os.h"

#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

std::string LibraryPath;      // what "korva_api.dll" stands for
std::string ModulePath;       // what OsModulePath reports
bool HaveModulePath = false;

pthread_mutex_t MapperLock = PTHREAD_MUTEX_INITIALIZER;

timespec DeadlineIn(uint32_t ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// A mutex and a condition variable on the monotonic clock, with a flag.
struct Signal {
    pthread_mutex_t Mutex;
    pthread_cond_t Cond;
    bool Set = false;
    bool Init() {
        pthread_condattr_t attr;
        if (pthread_condattr_init(&attr) != 0) return false;
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        const bool ok = pthread_cond_init(&Cond, &attr) == 0;
        pthread_condattr_destroy(&attr);
        if (!ok) return false;
        if (pthread_mutex_init(&Mutex, nullptr) == 0) return true;
        pthread_cond_destroy(&Cond);
        return false;
    }
    void Destroy() {
        pthread_cond_destroy(&Cond);
        pthread_mutex_destroy(&Mutex);
    }
    void Raise() {
        pthread_mutex_lock(&Mutex);
        Set = true;
        pthread_cond_broadcast(&Cond);
        pthread_mutex_unlock(&Mutex);
    }
    // Waits for the flag up to ms; true when it was set.  consume clears it.
    bool Wait(uint32_t ms, bool consume) {
        const timespec deadline = DeadlineIn(ms);
        pthread_mutex_lock(&Mutex);
        while (!Set && pthread_cond_timedwait(&Cond, &Mutex, &deadline) != ETIMEDOUT) {
        }
        const bool was = Set;
        if (consume) Set = false;
        pthread_mutex_unlock(&Mutex);
        return was;
    }
};

} // namespace

// korva_api posts the semaphore once per frame; a wait takes the first
// post and then the others, without waiting.
struct OsSignal {
    sem_t Sem;
};

struct OsThread {
    pthread_t Id;
    void (*Body)(void *);
    void *Arg;
    Signal Done;    // raised when Body has returned
    Signal Release; // raised to end the thread parked in OsPark
};

namespace {

thread_local OsThread *CurrentThread = nullptr; // the OsThread this thread runs

void *ThreadStart(void *p) {
    OsThread *t = static_cast<OsThread *>(p);
    CurrentThread = t;
    t->Body(t->Arg);
    t->Done.Raise();
    return nullptr;
}

} // namespace

extern "C" {

void OsPosixSetLibraryPath(const char *path) { LibraryPath = path ? path : ""; }

void OsPosixSetModulePath(const char *path) {
    HaveModulePath = path != nullptr;
    ModulePath = path ? path : "";
}

void *OsLoadLibrary(const char *name) {
    if (std::strcmp(name, "korva_api.dll") != 0 || LibraryPath.empty()) return nullptr;
    void *lib = dlopen(LibraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return lib;
}

void *OsBindSymbol(void *library, const char *name) { return dlsym(library, name); }

void OsFreeLibrary(void *library) { dlclose(library); }

uint32_t OsModulePath(void *, char *buffer, uint32_t size) {
    if (!HaveModulePath || size == 0) return 0;
    // As GetModuleFileNameA: a path that does not fit is cut to size - 1
    // characters and reported as size.
    const size_t n = ModulePath.size();
    const size_t copied = n < size ? n : size - 1;
    std::memcpy(buffer, ModulePath.data(), copied);
    buffer[copied] = '\0';
    return n < size ? static_cast<uint32_t>(n) : size;
}

void OsMessageBox(const char *text, const char *caption) { std::fprintf(stderr, "%s: %s\n", caption, text); }

void OsSetEvent(void *event) { sem_post(static_cast<sem_t *>(event)); }

void OsSleep(uint32_t ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

void OsLock(void) { pthread_mutex_lock(&MapperLock); }

void OsUnlock(void) { pthread_mutex_unlock(&MapperLock); }

OsSignal *OsSignalCreate(void) {
    OsSignal *s = new (std::nothrow) OsSignal;
    if (s && sem_init(&s->Sem, 0, 0) != 0) {
        delete s;
        s = nullptr;
    }
    return s;
}

void OsSignalDestroy(OsSignal *signal) {
    sem_destroy(&signal->Sem);
    delete signal;
}

void *OsSignalHandle(OsSignal *signal) { return &signal->Sem; }

void OsSignalRaise(OsSignal *signal) { sem_post(&signal->Sem); }

int OsSignalWait(OsSignal *signal, uint32_t timeoutMs) {
    sem_t *s = &signal->Sem;
    int rc;
    if (timeoutMs == OS_WAIT_FOREVER) {
        while ((rc = sem_wait(s)) != 0 && errno == EINTR) {
        }
    } else {
        const timespec deadline = DeadlineIn(timeoutMs);
        while ((rc = sem_clockwait(s, CLOCK_MONOTONIC, &deadline)) != 0 && errno == EINTR) {
        }
    }
    if (rc != 0) return 0;
    while (sem_trywait(s) == 0) {
    }
    return 1;
}

OsThread *OsThreadStart(void (*body)(void *arg), void *arg) {
    OsThread *t = new (std::nothrow) OsThread;
    if (!t) return nullptr;
    t->Body = body;
    t->Arg = arg;
    if (!t->Done.Init()) {
        delete t;
        return nullptr;
    }
    if (!t->Release.Init()) {
        t->Done.Destroy();
        delete t;
        return nullptr;
    }
    if (pthread_create(&t->Id, nullptr, ThreadStart, t) != 0) {
        t->Release.Destroy();
        t->Done.Destroy();
        delete t;
        return nullptr;
    }
    return t;
}

int OsThreadJoin(OsThread *thread, uint32_t timeoutMs) {
    if (!thread->Done.Wait(timeoutMs, false)) return 0;
    pthread_join(thread->Id, nullptr);
    thread->Release.Destroy();
    thread->Done.Destroy();
    delete thread;
    return 1;
}

// There is no loader lock here: the parked thread is ended by letting it
// leave its wait through pthread_exit, at a point of our own, rather than
// by cancelling it wherever it is (which the sanitizers cannot follow).  A
// thread kept from entering its body returns by itself.
void OsThreadKillParked(OsThread *thread) {
    thread->Release.Raise();
    pthread_join(thread->Id, nullptr);
    thread->Release.Destroy();
    thread->Done.Destroy();
    delete thread;
}

// The POSIX build is linked into its tests, never unloaded under a thread.
void OsPinModule(void) {}

void OsPark(void) {
    OsThread *self = CurrentThread;
    while (!self->Release.Wait(60000, false)) {
    }
    pthread_exit(nullptr);
}

} // extern "C"
