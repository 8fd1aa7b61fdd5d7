/*
 * platform.h - the thin operating-system layer of korva_api.
 *
 * Everything that differs between operating systems (serial lines, sockets,
 * descriptor waits, sleeping, the clock tick, listing device nodes) is
 * reached through these functions.  platform_posix.cpp implements them for
 * Linux, platform_win32.cpp for Windows, with the same names.  Threads,
 * mutexes and condition variables are POSIX threads on both (the Windows
 * toolchain ships winpthreads, linked statically), so they are used
 * directly.
 *
 * A descriptor is a small int on both: a file or socket descriptor on
 * POSIX, an index into the Windows layer's own table of handles and
 * sockets there.
 *
 * Functions return -1 on failure and leave the cause where PlatErrno finds
 * it (errno on POSIX, the GetLastError or WSAGetLastError code on Windows),
 * so that the caller can trace the failed call where it happened.
 *
 * System calls on descriptors go through the replaceable table SysCalls,
 * so that tests can catch them at the edge (answer LinCAN ioctls, make a
 * write fail or stall) without touching the library's own logic.
 */
#ifndef KORVA_PLATFORM_H
#define KORVA_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <pthread.h>

/* Exported like the rest of the library, so that tests reach SysCalls. */
#pragma GCC visibility push(default)
extern "C" {

/* The system calls that tests may replace.  Defaults call the system. */
struct SysCallTable {
    int (*open)(const char *path, int flags);        /* open(2) */
    int (*close)(int fd);                             /* close(2) */
    long (*read)(int fd, void *buf, size_t n);        /* read(2) */
    long (*write)(int fd, const void *buf, size_t n); /* write(2) */
    long (*recv)(int fd, void *buf, size_t n);        /* recv(2), flags 0 */
    long (*send)(int fd, const void *buf, size_t n);  /* send(2), MSG_NOSIGNAL */
    int (*ioctl)(int fd, unsigned long request, void *arg); /* ioctl(2) */
};
extern SysCallTable SysCalls;
/* Puts the system's own calls back into SysCalls. */
void PlatResetSysCalls(void);

/* ---- time ---- */
int32_t PlatTicks(void);                 /* clock ticks since a fixed point, wraps */
void PlatSleepMicros(uint32_t micros);   /* 0 yields the processor */
int64_t PlatMonotonicMicros(void);       /* monotonic clock for bounded waits */
int PlatErrno(void);                     /* errno of the last failed call */
/* True when the last failure was a time-out (ETIMEDOUT on POSIX). */
int PlatLastWasTimeout(void);

/* ---- threads ---- */
/* Starts fn(arg) on a thread of its own (default attributes); 0 or -1.  On
 * Windows the thread holds a reference on korva_api.dll until its very
 * end, so that the DLL is not unloaded under a thread that is ending. */
int PlatThreadStart(pthread_t *thread, void *(*fn)(void *), void *arg);
/* Releases a thread whose function has returned.  On POSIX it is joined;
 * on Windows only its handle is closed: in DllMain a thread cannot end
 * until the loader lock is free, and the thread holds its own reference on
 * the DLL until its very end, so nothing needs to wait for it. */
void PlatThreadRelease(pthread_t thread);

/* ---- descriptor waits (poll, so any descriptor number works) ----
 * timeoutMs < 0 waits without limit.  Result: 1 ready, 0 timed out,
 * -1 failed.  A descriptor that reports an error or hang-up counts as
 * ready: the following read or write then tells what happened. */
int PlatWaitReadable(int fd, int timeoutMs);
int PlatWaitWritable(int fd, int timeoutMs);
/* Waits until fd is readable or the wake-up wakeFd (the reading end of a
 * PlatWakePipe) has been signalled, at most timeoutMs (< 0: without
 * limit).  Result: 2 woken, and the wake-up is consumed; 1 fd is readable;
 * 0 timed out; -1 failed.  A wake-up signalled before the wait began ends
 * it at once, so a flag set before PlatWake is never missed by a thread
 * that looks at it after this returns.  fd -1 waits for the wake-up
 * alone. */
int PlatWaitReadableOrWake(int fd, int wakeFd, int timeoutMs);

/* ---- serial line ---- */
/* Opens a tty with O_RDWR | O_NOCTTY | O_NONBLOCK.  -1 on failure. */
int PlatSerialOpen(const char *path);
/* Raw 8N1: 115200 bit/s when highSpeed is 0, 3000000 otherwise; RTS/CTS
 * when flowControl is nonzero; reads return at once.  Discards pending
 * input and output.  On failure returns -1, names the failed call in
 * *failedCall ("tcgetattr", "tcsetattr"; "GetCommState", "SetCommState"
 * on Windows) and sets *applying to 0 when reading the settings failed, 1
 * when applying them did. */
int PlatSerialConfigure(int fd, int highSpeed, int flowControl, const char **failedCall, int *applying);

/* ---- TCP ---- */
int PlatTcpSocket(void);                                     /* IPv4 stream socket */
int PlatResolveIPv4(const char *host, uint32_t *addrNet);    /* 0, or -1 (errno set) */
/* Connects, giving up after timeoutMs (errno ETIMEDOUT) when the peer
 * never answers; the socket is non-blocking afterwards. */
int PlatTcpConnect(int sock, uint32_t addrNet, uint16_t port, int timeoutMs);
int PlatSetNonBlocking(int sock);

/* ---- byte transfers (through SysCalls) ---- */
long PlatRead(int fd, void *buf, size_t n, int isSocket);
long PlatWrite(int fd, const void *buf, size_t n, int isSocket);
int PlatClose(int fd, int isSocket);
/* True when the last failed transfer only reported that it would block. */
int PlatWouldBlock(void);

/* ---- character devices (LinCAN) ---- */
/* Opens read-only when readOnly is nonzero, else read-write; always
 * non-blocking and synchronous.  -1 on failure. */
int PlatOpenCharDevice(const char *path, int readOnly);
int PlatIoctl(int fd, unsigned long request, void *arg);
/* Makes fd refer to what newFd refers to (dup2) and closes newFd, so that
 * a device opened again keeps the descriptor number other threads hold.
 * 0, or -1 with newFd left open. */
int PlatReplaceDescriptor(int fd, int newFd);
/* A wake-up for a thread waiting in PlatWaitReadableOrWake: fds[0] is
 * waited on, fds[1] signalled; both are closed with PlatClose.  A pipe on
 * POSIX, an event on Windows.  Signals that come before the wait takes
 * them count once. */
int PlatWakePipe(int fds[2]);
void PlatWake(int writeFd);

/* Posts the application's receive event for count frames stored at once
 * (count >= 1): a sem_t on POSIX, posted count times; on Windows a HANDLE
 * of a semaphore (released by count) or of an event (set once). */
void PlatPostEvent(void *event, uint32_t count);

/* ---- listing device nodes ---- */
struct PlatDir;
PlatDir *PlatDirOpen(const char *path);
const char *PlatDirNext(PlatDir *dir);   /* entry name, or null at the end */
void PlatDirClose(PlatDir *dir);
/* stat() following links: 0 and *isChar set, or -1 when stat failed.  On
 * Windows a serial port ("/dev/COM3") counts as a character device. */
int PlatStatCharDevice(const char *path, int *isChar);
/* True when entry, a name listed in the device directory, is one of the
 * system's serial ports that discovery probes besides the ttyS, ttyUSB and
 * can nodes: none on POSIX; "COM1" ... "COM256" on Windows, where the
 * device directory "/dev" lists the serial ports the system has. */
int PlatIsSystemSerialPortName(const char *entry);
/* True when the system has LinCAN character devices at all (Linux). */
int PlatHasCharDevices(void);

/* ---- additions for the serial and TCP channel ---- */
/* Sets errno (the value PlatErrno reports), so that a failure the library
 * detects itself (a time-out, an end of stream) is traced with a cause. */
void PlatSetErrno(int error);
/* True when fd reports a hang-up or an error condition right now (the
 * other end of a tty or pseudo-terminal has gone).  Does not wait. */
int PlatHangUp(int fd);

} // extern "C"
#pragma GCC visibility pop

#endif
