/*
 * mapper.h - the per-process state of korva_mapper_peak, shared by the
 * binding to korva_api (binding.cpp) and the PEAK functions
 * (peak_functions.cpp).
 *
 * All state lives once per process.  The application's calls are not
 * serialised by the mapper; the one thing shared with the notification
 * thread, the hand-over of received frames, is guarded by OsLock (see
 * peak_functions.cpp), and the values that thread reads are atomic.
 */
#ifndef KORVA_MAPPER_H
#define KORVA_MAPPER_H

#include "korva_api.h"
#include "peak.h"

#include <atomic>
#include <cstdint>

extern "C" {

/* The six functions of korva_api that the mapper needs, with that
 * library's own calling convention (cdecl on Windows), and KORVA_SetRcvEvent,
 * which lets the notification thread sleep until a frame arrives: null when
 * the loaded korva_api lacks it (the thread then polls). */
struct BoundApi {
    decltype(&KORVA_Open) Open;
    decltype(&KORVA_Close) Close;
    decltype(&KORVA_Ioctl) Ioctl;
    decltype(&KORVA_Write) Write;
    decltype(&KORVA_Read) Read;
    decltype(&KORVA_Flush) Flush;
    decltype(&KORVA_SetRcvEvent) SetRcvEvent;
};

/* Bound at process attach; until then, and after detach, functions that
 * refuse every handle (KORVA_ERR_HANDLE, counters 0), so that a call
 * without a loaded korva_api fails like one on a closed channel. */
extern BoundApi Api;

#define MODULE_NAME_SIZE 261 /* a Windows path of 260 characters and its NUL */
extern char ModuleName[MODULE_NAME_SIZE]; /* own file name; the korva.ini section */
extern int32_t Attached;                  /* 1 from a successful attach to detach */

/* What KORVA_Open returned at the last CAN_Init (a handle, or a negative
 * code after a failed open); 0 when no channel is open.  Taken away (set to
 * 0) only under OsLock, before the channel is closed, so that the
 * notification thread and CAN_ReadEx, which read it under the lock, are
 * never inside KORVA_Read on a handle that is being closed. */
extern std::atomic<int32_t> ChannelHandle;

/* Reasons of the DLL entry point, numbered as the Windows loader does. */
#define MAPPER_PROCESS_DETACH 0
#define MAPPER_PROCESS_ATTACH 1
#define MAPPER_THREAD_ATTACH  2
#define MAPPER_THREAD_DETACH  3

/* The DLL entry point's work: module is the mapper's module handle (passed
 * to OsModulePath), reserved the loader's third argument (not null when
 * the process is exiting).  Returns 1 (TRUE) or 0 (FALSE). */
int32_t MapperEntry(void *module, uint32_t reason, void *reserved);

/* Reads korva.ini from the current directory, switches korva_api's trace
 * to its log file when the section says so, and opens the configured
 * adapter (or the first one found) in normal mode.  Returns KORVA_Open's
 * result. */
int32_t OpenConfiguredChannel(void);

/* Takes the channel out of ChannelHandle (which becomes 0) under OsLock
 * and closes it; nothing when none was set. */
void CloseChannel(void);

/* The frames the notification thread has handed over that CAN_ReadEx has
 * not taken yet. */
uint32_t PendingFrames(void);

/* Stops the notification thread, if one runs.  Cooperatively, waiting for
 * it within a bounded time, when unloading is 0; when unloading is 1
 * (inside the DLL's process detach, under the loader lock) by parking it in
 * a wait of its own and ending it there.  A thread that does not stop in
 * time keeps its block and the signal (and, at an unload, the mapper's
 * module, which is pinned). */
void StopNotifyThread(int unloading);

/* Releases what the notification threads kept for the process (the
 * signal korva_api raises); only once no channel is open any more.  A
 * thread that could not be stopped keeps it: it is then left for good. */
void ReleaseNotifyResources(void);

} // extern "C"

#endif
