/*
 * mapper_os.h - the thin operating-system layer of korva_mapper_peak.
 *
 * The mapper's logic (binding.cpp, peak_functions.cpp) reaches the
 * operating system only through these functions.  mapper_os_win32.cpp
 * implements them for the Windows DLL; mapper_os_posix.cpp implements them
 * with dlopen and POSIX threads, so that the same logic runs natively on
 * Linux against the real libkorva_api.so and under the sanitizers.
 *
 * The mapper has no trace of its own: a failure here shows as the result of
 * the call that needed it (a failed attach, a thread that cannot start).
 */
#ifndef KORVA_MAPPER_OS_H
#define KORVA_MAPPER_OS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- the korva_api library ---- */
/* Loads a library by its bare file name, in the platform's search order.
 * Null when it cannot be loaded. */
void *OsLoadLibrary(const char *name);
/* The address of an exported function, or null when it is missing. */
void *OsBindSymbol(void *library, const char *name);
void OsFreeLibrary(void *library);

/* The full path of the mapper's own module, written into buffer (size
 * bytes) the way Windows' GetModuleFileNameA does: the number of characters
 * copied, or size when the path did not fit (cut short), or 0. */
uint32_t OsModulePath(void *module, char *buffer, uint32_t size);

/* Tells the user something went wrong: a message box with no owner window,
 * the warning icon and an OK button, returning once it is closed (on POSIX
 * the text goes to standard error). */
void OsMessageBox(const char *text, const char *caption);

/* Sets the application's receive event (a Windows event handle; on POSIX
 * the address of a caller-owned sem_t, which is posted). */
void OsSetEvent(void *event);

/* Sleeps at least ms milliseconds. */
void OsSleep(uint32_t ms);

/* The mapper's one lock: it guards the hand-over of received frames
 * between the notification thread and CAN_ReadEx.  Not recursive. */
void OsLock(void);
void OsUnlock(void);

/* ---- the signal the notification thread sleeps on ----
 * Raised by korva_api when it stores frames (it is what KORVA_SetRcvEvent
 * is given) and by the mapper to hand the thread a command.  A wait takes
 * every raise since the previous wait, so nothing needs draining: on
 * Windows an auto-reset event, which korva_api sets once per batch of
 * frames; on POSIX a sem_t, which korva_api posts per frame and a wait
 * takes whole.  Null when it cannot be created. */
#define OS_WAIT_FOREVER 0xFFFFFFFFu
typedef struct OsSignal OsSignal;
OsSignal *OsSignalCreate(void);
void OsSignalDestroy(OsSignal *signal);
/* What korva_api's KORVA_SetRcvEvent takes for it. */
void *OsSignalHandle(OsSignal *signal);
void OsSignalRaise(OsSignal *signal);
/* Waits until the signal is raised or timeoutMs pass (OS_WAIT_FOREVER:
 * without limit).  1 when it was raised, 0 after the time-out. */
int OsSignalWait(OsSignal *signal, uint32_t timeoutMs);

/* ---- the notification thread ---- */
typedef struct OsThread OsThread;
/* Starts body(arg) in a new thread.  Null when it cannot be created. */
OsThread *OsThreadStart(void (*body)(void *arg), void *arg);
/* Waits up to timeoutMs for the thread to return from its body.  1: it
 * has, and the thread object is released.  0: it is still running and
 * the object stays valid. */
int OsThreadJoin(OsThread *thread, uint32_t timeoutMs);
/* Ends a thread that is parked in OsPark (or has not yet come to its
 * body), waits for it and releases the object.  Only for such a thread: it
 * holds no lock then, so ending it by force leaves nothing behind.  Safe
 * inside the DLL's process detach, where waiting for a thread to return
 * would deadlock on the loader lock. */
void OsThreadKillParked(OsThread *thread);
/* Called by a thread on itself: waits for ever, holding nothing, until
 * OsThreadKillParked ends it. */
void OsPark(void);
/* Keeps the mapper's code and data in the process for good, whatever
 * unloads it: for a thread of its own that could not be stopped. */
void OsPinModule(void);

#ifndef _WIN32
/* ---- POSIX only: what the Windows loader would tell the mapper ----
 * The file OsLoadLibrary opens when asked for "korva_api.dll" (the built
 * libkorva_api.so); null or "" makes the load fail. */
void OsPosixSetLibraryPath(const char *path);
/* The text OsModulePath reports (a Windows-style path such as
 * "C:\\Programs\\Second.DLL"); null reports nothing (0 characters). */
void OsPosixSetModulePath(const char *path);
#endif

#ifdef __cplusplus
}
#endif

#endif
