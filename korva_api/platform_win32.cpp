/*
 * platform_win32.cpp - the operating-system layer for Windows.
 *
 * Descriptors.  The portable code keeps serial lines and sockets in int
 * fields, as on POSIX.  Here an int descriptor is an index into a table of
 * this layer (kDescBase + slot); each entry holds the Win32 HANDLE of a
 * serial port or the Winsock SOCKET, with the state of its overlapped I/O.
 *
 * Serial ports are opened for overlapped I/O with no time-outs
 * (COMMTIMEOUTS all zero: a read completes once it has all the bytes it
 * asked for), so that every wait can be bounded:
 *   - waiting for input keeps one 1-byte read outstanding and waits for its
 *     event; the byte it brings is handed out by the next read.  Reads ask
 *     for no more bytes than ClearCommError reports waiting, so they
 *     complete at once; they take up to 4 KiB into the entry's buffer,
 *     from which the small reads of the reader thread are served (every
 *     call into the port is a round trip to the wine server).  A read
 *     that hands out the byte which ended a wait takes what came after it
 *     as well: a read returns with what has arrived, never waits for more.
 *   - a write copies the bytes into the entry's own buffer and starts an
 *     overlapped write of them, as a POSIX tty takes bytes into its kernel
 *     buffer: bytes reported written are never written twice or lost while
 *     the port stays open.  While that write is under way the port is not
 *     writable; a line held back by flow control or a stalled peer thus
 *     looks exactly like a full tty buffer to the caller.
 * Read time-outs of COMMTIMEOUTS are not used for waiting: wine returns
 * such reads only at the end of the whole time-out, and Windows rounds them
 * to its timer tick.
 *
 * Errors are GetLastError() or WSAGetLastError() codes, kept per thread;
 * PlatErrno reports the last one.  The POSIX errno values that the
 * portable code sets itself are mapped to the nearest Windows codes.
 *
 * Threads, mutexes and condition variables come from winpthreads, linked
 * statically; sleeping and the clock use the Win32 calls.  LinCAN devices
 * exist on Linux only: the character-device calls fail here.
 */
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>

#include "korva_api.h"
#include "platform.h"

#include <mstcpip.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace {

constexpr int kDescBase = 3;       // descriptors start here, like POSIX ones after stdio
constexpr int kDescSlots = 1024;
constexpr DWORD kWriteChunk = 4096; // bytes one overlapped write takes at most
constexpr DWORD kReadChunk = 4096;  // bytes one read takes from the port's input queue
constexpr int kMaxComPort = 256;

enum class Kind { Free, Serial, Socket, Wake };

struct Desc {
    Kind kind = Kind::Free;
    HANDLE handle = INVALID_HANDLE_VALUE; // serial port; the event of a wake-up
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT netEvent = WSA_INVALID_EVENT; // a socket's readiness, once waited on with a wake-up
    // Input read but not handed out yet (inBuf[inHead..inTail)), serial
    // and socket; for a serial port, the one 1-byte read outstanding while
    // waiting.
    OVERLAPPED readOv{};
    bool readPending = false;
    char byte = 0;       // what the outstanding read brings
    bool lone = false;   // inBuf holds just that byte: what came after it is still queued
    DWORD readError = 0; // a failed outstanding read, reported by the next read
    char inBuf[kReadChunk];
    DWORD inHead = 0;
    DWORD inTail = 0;
    // Serial output: one outstanding write of the bytes in writeBuf.
    OVERLAPPED writeOv{};
    bool writePending = false;
    DWORD writeError = 0; // a failed write, reported by the next write
    char writeBuf[kWriteChunk];
    DWORD writeLength = 0;
    DWORD writeDone = 0;
    bool timerRaised = false;
};

Desc g_descs[kDescSlots];
std::mutex g_descLock; // guards allocating and freeing entries

thread_local int t_error = 0;

int Fail(int error) {
    t_error = error;
    return -1;
}
int FailLast() { return Fail(static_cast<int>(GetLastError())); }
int FailWsa() { return Fail(WSAGetLastError()); }

Desc *Lookup(int fd) {
    const int slot = fd - kDescBase;
    if (slot < 0 || slot >= kDescSlots || g_descs[slot].kind == Kind::Free) return nullptr;
    return &g_descs[slot];
}

int Allocate(Kind kind, HANDLE handle, SOCKET socket) {
    std::lock_guard<std::mutex> guard(g_descLock);
    for (int slot = 0; slot < kDescSlots; ++slot) {
        Desc &d = g_descs[slot];
        if (d.kind != Kind::Free) continue;
        d.~Desc();
        new (&d) Desc;
        d.handle = handle;
        d.socket = socket;
        if (kind == Kind::Serial) {
            d.readOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            d.writeOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (d.readOv.hEvent == nullptr || d.writeOv.hEvent == nullptr) {
                const int error = static_cast<int>(GetLastError());
                if (d.readOv.hEvent) CloseHandle(d.readOv.hEvent);
                if (d.writeOv.hEvent) CloseHandle(d.writeOv.hEvent);
                return Fail(error);
            }
        }
        d.kind = kind;
        return kDescBase + slot;
    }
    return Fail(ERROR_TOO_MANY_OPEN_FILES);
}

void Release(Desc *d) {
    std::lock_guard<std::mutex> guard(g_descLock);
    if (d->readOv.hEvent) CloseHandle(d->readOv.hEvent);
    if (d->writeOv.hEvent) CloseHandle(d->writeOv.hEvent);
    d->readOv.hEvent = d->writeOv.hEvent = nullptr;
    d->kind = Kind::Free;
}

/* Winsock is started once, on the first socket, and stays up for the
 * process. */
int StartWinsock() {
    static int result = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

/* "COM3" -> 3 for the names COM1 ... COM256 (any case), else 0. */
int ComNumber(const char *name) {
    if (_strnicmp(name, "COM", 3) != 0) return 0;
    int n = 0;
    const char *p = name + 3;
    if (*p < '1' || *p > '9') return 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + (*p - '0');
        if (n > kMaxComPort) return 0;
    }
    return *p == '\0' ? n : 0;
}

/* The serial port a system name denotes: the first "COM<n>" in it, so that
 * "/dev/COM3" (what "COM3" becomes), "\\.\COM3" and "USB-COM3" (a USB
 * adapter's name that asks for its speed) all mean COM3.  0 when none. */
int ComPortOfName(const char *name) {
    for (const char *p = name; (p = strstr(p, "COM")) != nullptr; ++p) {
        char digits[4] = {};
        int i = 0;
        for (const char *q = p + 3; i < 3 && *q >= '0' && *q <= '9'; ++q) digits[i++] = *q;
        char word[8];
        std::snprintf(word, sizeof word, "COM%s", digits);
        if (const int n = ComNumber(word)) return n;
    }
    return 0;
}

/* Opens COM<n> for overlapped I/O; INVALID_HANDLE_VALUE on failure.  The
 * "\\.\" form opens COM10 and above too. */
HANDLE OpenComPort(int n) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", n);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

/* Collects the outstanding 1-byte read when it has ended; true when it did
 * (a byte arrived, or the read failed). */
bool CollectRead(Desc *d, bool wait) {
    DWORD got = 0;
    if (GetOverlappedResult(d->handle, &d->readOv, &got, wait ? TRUE : FALSE)) {
        d->readPending = false;
        if (got == 1) {
            d->inBuf[0] = d->byte;
            d->inHead = 0;
            d->inTail = 1;
            d->lone = true;
        }
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE) return false;
    d->readPending = false;
    d->readError = error;
    return true;
}

/* Bytes waiting in the port's input queue, or -1 (error left in t_error). */
long InputQueued(Desc *d) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(d->handle, &errors, &stat)) return FailLast();
    return static_cast<long>(stat.cbInQue);
}

/* Collects the outstanding write when it has ended and starts the rest of
 * a write that went only partly.  true when no write is under way any
 * more; a failed write leaves its code in writeError. */
bool CollectWrite(Desc *d, bool wait) {
    while (d->writePending) {
        DWORD done = 0;
        if (!GetOverlappedResult(d->handle, &d->writeOv, &done, wait ? TRUE : FALSE)) {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_INCOMPLETE) return false;
            d->writePending = false;
            d->writeError = error;
            return true;
        }
        d->writeDone += done;
        d->writePending = false;
        if (d->writeDone < d->writeLength) {
            ResetEvent(d->writeOv.hEvent);
            if (!WriteFile(d->handle, d->writeBuf + d->writeDone, d->writeLength - d->writeDone, nullptr,
                           &d->writeOv) &&
                GetLastError() != ERROR_IO_PENDING) {
                d->writeError = GetLastError();
                return true;
            }
            d->writePending = true;
        }
    }
    return true;
}

/* Appends what the input queue holds to inBuf, as far as it has room
 * (bytes not handed out yet move to its start first): the read asks for no
 * more than is there, so it completes at once.  The bytes read (0 when the
 * queue was empty), or -1. */
long FillInput(Desc *d) {
    if (d->inHead > 0) {
        std::memmove(d->inBuf, d->inBuf + d->inHead, d->inTail - d->inHead);
        d->inTail -= d->inHead;
        d->inHead = 0;
    }
    const DWORD room = kReadChunk - d->inTail;
    if (room == 0) return 0;
    const long queued = InputQueued(d);
    if (queued <= 0) return queued;
    const DWORD want = static_cast<DWORD>(queued) < room ? static_cast<DWORD>(queued) : room;
    OVERLAPPED ov{};
    ov.hEvent = d->readOv.hEvent;
    ResetEvent(ov.hEvent);
    DWORD got = 0;
    if (!ReadFile(d->handle, d->inBuf + d->inTail, want, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return FailLast();
    if (!GetOverlappedResult(d->handle, &ov, &got, TRUE)) return FailLast();
    d->inTail += got;
    return static_cast<long>(got);
}

/* wake: an event that ends the wait as well (result 2), or null. */
int WaitSerialReadable(Desc *d, int timeoutMs, HANDLE wake = nullptr) {
    if (d->inHead < d->inTail || d->readError != 0) return 1;
    if (!d->readPending) {
        const long got = FillInput(d);
        if (got < 0) {
            // A port that fails (an unplugged adapter; under wine a hung-up
            // pseudo-terminal, where ClearCommError reports ERROR_NOT_READY
            // while a read issued now would never complete) counts as
            // readable: the read then tells what happened.
            d->readError = static_cast<DWORD>(t_error);
            return 1;
        }
        if (got > 0) return 1;
        ResetEvent(d->readOv.hEvent);
        if (ReadFile(d->handle, &d->byte, 1, nullptr, &d->readOv)) {
            d->inBuf[0] = d->byte; // there was a byte after all
            d->inHead = 0;
            d->inTail = 1;
            d->lone = true;
            return 1;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return Fail(static_cast<int>(error));
        d->readPending = true;
    }
    const HANDLE events[2] = {d->readOv.hEvent, wake};
    const DWORD rc = WaitForMultipleObjects(wake ? 2 : 1, events, FALSE,
                                            timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (rc == WAIT_TIMEOUT) return 0;
    if (rc == WAIT_OBJECT_0 + 1) return 2;
    if (rc != WAIT_OBJECT_0) return FailLast();
    CollectRead(d, true);
    return 1;
}

long ReadSerial(Desc *d, char *buf, size_t n) {
    if (n == 0) return 0;
    if (d->readPending && !CollectRead(d, false)) return Fail(WSAEWOULDBLOCK);
    if (d->inHead == d->inTail) {
        d->lone = false;
        if (d->readError != 0) {
            const int error = static_cast<int>(d->readError);
            d->readError = 0;
            return Fail(error);
        }
        const long got = FillInput(d);
        if (got < 0) return -1;
        if (got == 0) return Fail(WSAEWOULDBLOCK);
    } else if (d->lone && n > 1) {
        // The byte that ended a wait usually heads a whole line: the rest
        // is taken with it, so that the caller gets what has arrived in
        // one read.  A failure here is reported by the next read.
        d->lone = false;
        if (FillInput(d) < 0) d->readError = static_cast<DWORD>(t_error);
    }
    const DWORD have = d->inTail - d->inHead;
    const DWORD take = n < have ? static_cast<DWORD>(n) : have;
    std::memcpy(buf, d->inBuf + d->inHead, take);
    d->inHead += take;
    return static_cast<long>(take);
}

int WaitSerialWritable(Desc *d, int timeoutMs) {
    if (!d->writePending) return 1;
    const DWORD rc = WaitForSingleObject(d->writeOv.hEvent, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (rc == WAIT_TIMEOUT) return 0;
    if (rc != WAIT_OBJECT_0) return FailLast();
    return CollectWrite(d, false) ? 1 : 0;
}

long WriteSerial(Desc *d, const char *buf, size_t n) {
    if (!CollectWrite(d, false)) return Fail(WSAEWOULDBLOCK);
    if (d->writeError != 0) {
        const int error = static_cast<int>(d->writeError);
        d->writeError = 0;
        return Fail(error);
    }
    if (n == 0) return 0;
    const DWORD take = n < kWriteChunk ? static_cast<DWORD>(n) : kWriteChunk;
    std::memcpy(d->writeBuf, buf, take);
    d->writeLength = take;
    d->writeDone = 0;
    ResetEvent(d->writeOv.hEvent);
    if (!WriteFile(d->handle, d->writeBuf, take, nullptr, &d->writeOv) && GetLastError() != ERROR_IO_PENDING)
        return FailLast();
    d->writePending = true;
    CollectWrite(d, false); // most writes end at once
    return static_cast<long>(take);
}

int WaitSocket(SOCKET s, bool forWrite, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set except;
    FD_ZERO(&except);
    FD_SET(s, &except);
    timeval tv{};
    timeval *ptv = nullptr;
    if (timeoutMs >= 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        ptv = &tv;
    }
    const int rc = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &except, ptv);
    if (rc == SOCKET_ERROR) return FailWsa();
    return rc > 0 ? 1 : 0;
}

/* Waits until the socket is readable (or closed) or wake is set: 1, 2, 0
 * after the time-out, -1.  The socket's readiness comes as an event
 * (WSAEventSelect), reset before each look so that input arriving between
 * the look and the wait still ends the wait. */
int WaitSocketOrWake(Desc *d, HANDLE wake, int timeoutMs) {
    if (d->inHead < d->inTail) return 1;
    if (d->netEvent == WSA_INVALID_EVENT) {
        d->netEvent = WSACreateEvent();
        if (d->netEvent == WSA_INVALID_EVENT) return FailWsa();
        if (WSAEventSelect(d->socket, d->netEvent, FD_READ | FD_CLOSE) != 0) return FailWsa();
    }
    WSAResetEvent(d->netEvent);
    if (const int now = WaitSocket(d->socket, false, 0); now != 0) return now;
    const HANDLE events[2] = {d->netEvent, wake};
    const DWORD rc = WaitForMultipleObjects(2, events, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (rc == WAIT_TIMEOUT) return 0;
    if (rc == WAIT_OBJECT_0 + 1) return 2;
    return rc == WAIT_OBJECT_0 ? 1 : FailLast();
}

/* Waits of a few milliseconds need the finer system timer: raised for each
 * serial port and socket, and lowered again when it closes. */
void RaiseTimer(int fd) { Lookup(fd)->timerRaised = timeBeginPeriod(1) == TIMERR_NOERROR; }

constexpr char kUnitWin32[] = "korva_api/platform_win32";

} // namespace

/* The trace (sysfuncs.h, which cannot be included beside windows.h: both
 * declare GetTickCount). */
extern "C" void TraceAt(const char *unit, int32_t line, int32_t level, const char *format, ...);

namespace {

/* A connected socket sends each batch at once (TCP_NODELAY: the writes are
 * whole batches of frame lines) and acknowledges every segment at once
 * (an ACK frequency of 1), so that a gateway that leaves Nagle's algorithm
 * on never waits for a delayed acknowledgement before its next small
 * segment.  Neither is needed to work: a failure is traced and the
 * connection used as it is (wine, for one, knows no ACK frequency). */
void TuneConnected(Desc *d) {
    const BOOL on = TRUE;
    if (setsockopt(d->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on) != 0)
        TraceAt(kUnitWin32, __LINE__, KORVA_DEBUG_LEVEL_SYSTEM, "%s (%d)", "setsockopt TCP_NODELAY", WSAGetLastError());
    DWORD frequency = 1, returned = 0;
    if (WSAIoctl(d->socket, SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0, &returned, nullptr,
                 nullptr) != 0)
        TraceAt(kUnitWin32, __LINE__, KORVA_DEBUG_LEVEL_SYSTEM, "%s (%d)", "WSAIoctl SIO_TCP_SET_ACK_FREQUENCY",
                WSAGetLastError());
}

int CloseDesc(int fd) {
    Desc *d = Lookup(fd);
    if (d == nullptr) return Fail(ERROR_INVALID_HANDLE);
    int rc = 0;
    if (d->kind == Kind::Socket) {
        if (closesocket(d->socket) != 0) rc = FailWsa();
        if (d->netEvent != WSA_INVALID_EVENT) WSACloseEvent(d->netEvent);
        d->netEvent = WSA_INVALID_EVENT;
    } else if (d->kind == Kind::Wake) {
        if (!CloseHandle(d->handle)) rc = FailLast();
    } else {
        // A write still under way is given a moment to finish, as a POSIX
        // close lets the tty drain; then everything outstanding is cancelled.
        // CancelIoEx, not CancelIo: the outstanding 1-byte read was issued
        // by the reader thread, and CancelIo cancels only the calling
        // thread's I/O, so on a port that sends nothing (an adapter that
        // answers no command) the read would stay pending for ever.  Its
        // end is waited for before the OVERLAPPED and the byte it fills go.
        if (d->writePending) WaitForSingleObject(d->writeOv.hEvent, 100);
        if (!CancelIoEx(d->handle, nullptr) && GetLastError() != ERROR_NOT_FOUND) rc = FailLast();
        if (d->readPending) CollectRead(d, true);
        if (d->writePending) {
            DWORD done = 0;
            GetOverlappedResult(d->handle, &d->writeOv, &done, TRUE);
        }
        if (!CloseHandle(d->handle)) rc = FailLast();
    }
    if (d->timerRaised) timeEndPeriod(1);
    Release(d);
    return rc;
}

long SysRead(int fd, void *buf, size_t n) {
    Desc *d = Lookup(fd);
    if (d == nullptr || d->kind != Kind::Serial) return Fail(ERROR_INVALID_HANDLE);
    return ReadSerial(d, static_cast<char *>(buf), n);
}
long SysWrite(int fd, const void *buf, size_t n) {
    Desc *d = Lookup(fd);
    if (d == nullptr || d->kind != Kind::Serial) return Fail(ERROR_INVALID_HANDLE);
    return WriteSerial(d, static_cast<const char *>(buf), n);
}
/* Socket input goes through the entry's buffer as serial input does: one
 * recv takes what is there (up to 4 KiB), and the reader's small reads are
 * served from it (under wine every recv and select is a round trip to the
 * wine server). */
long SysRecv(int fd, void *buf, size_t n) {
    Desc *d = Lookup(fd);
    if (d == nullptr || d->kind != Kind::Socket) return Fail(WSAENOTSOCK);
    if (n == 0) return 0;
    if (d->inHead == d->inTail) {
        const int got = recv(d->socket, d->inBuf, static_cast<int>(kReadChunk), 0);
        if (got == SOCKET_ERROR) return FailWsa();
        if (got == 0) return 0; // the peer closed the connection
        d->inHead = 0;
        d->inTail = static_cast<DWORD>(got);
    }
    const DWORD have = d->inTail - d->inHead;
    const DWORD take = n < have ? static_cast<DWORD>(n) : have;
    std::memcpy(buf, d->inBuf + d->inHead, take);
    d->inHead += take;
    return static_cast<long>(take);
}
long SysSend(int fd, const void *buf, size_t n) {
    Desc *d = Lookup(fd);
    if (d == nullptr || d->kind != Kind::Socket) return Fail(WSAENOTSOCK);
    const int sent =
        send(d->socket, static_cast<const char *>(buf), n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n), 0);
    return sent == SOCKET_ERROR ? FailWsa() : sent;
}
/* Character devices (LinCAN) do not exist here. */
int SysOpen(const char *, int) { return Fail(ERROR_NOT_SUPPORTED); }
int SysIoctl(int, unsigned long, void *) { return Fail(ERROR_NOT_SUPPORTED); }

constexpr SysCallTable kSystemCalls = {SysOpen, CloseDesc, SysRead, SysWrite, SysRecv, SysSend, SysIoctl};

struct PlatDirState {
    // The serial ports the system has (device directory "/dev"), found by
    // opening \\.\COM1 ... \\.\COM256: under wine, ports linked in the
    // prefix's dosdevices folder are listed neither by QueryDosDevice nor in
    // the SERIALCOMM registry key, but they open.
    bool comPorts = false;
    int nextCom = 1;
    // Any other directory: its entries.
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA data{};
    bool haveData = false;
    char name[MAX_PATH];
};

} // namespace

extern "C" {

SysCallTable SysCalls = kSystemCalls;

void PlatResetSysCalls(void) { SysCalls = kSystemCalls; }

int64_t PlatMonotonicMicros(void) {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<int64_t>(now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency);
}

int32_t PlatTicks(void) {
    // 100 ticks a second, as the POSIX clock ticks of times(): the reader's
    // timed flush keeps the same rhythm on both systems.
    return static_cast<int32_t>(static_cast<uint32_t>(PlatMonotonicMicros() / 10000));
}

void PlatSleepMicros(uint32_t micros) {
    if (micros == 0) {
        SwitchToThread();
        return;
    }
    Sleep((micros + 999) / 1000);
}

int PlatErrno(void) { return t_error; }

int PlatLastWasTimeout(void) { return t_error == WSAETIMEDOUT || t_error == ERROR_TIMEOUT; }

void PlatSetErrno(int error) {
    // The portable code names the conditions it detects itself in POSIX
    // terms; traces show the Windows codes of the same meaning.
    switch (error) {
    case ETIMEDOUT: t_error = WSAETIMEDOUT; break;
    case EBADF: t_error = ERROR_INVALID_HANDLE; break;
    case ECONNRESET: t_error = WSAECONNRESET; break;
    case EIO: t_error = ERROR_GEN_FAILURE; break;
    default: t_error = error; break;
    }
}

namespace {

struct ThreadStart {
    void *(*fn)(void *);
    void *arg;
    HMODULE self; // the module holding this code, referenced for the thread
};

DWORD WINAPI ThreadMain(void *p) {
    const ThreadStart start = *static_cast<ThreadStart *>(p);
    delete static_cast<ThreadStart *>(p);
    start.fn(start.arg);
    // The reference goes with the thread, inside kernel32: no code of this
    // DLL runs after it, even when that reference was the last one.
    if (start.self != nullptr) FreeLibraryAndExitThread(start.self, 0);
    return 0;
}

} // namespace

int PlatThreadStart(pthread_t *thread, void *(*fn)(void *), void *arg) {
    auto *start = new (std::nothrow) ThreadStart{fn, arg, nullptr};
    if (start == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadMain), &start->self);
    const HANDLE h = CreateThread(nullptr, 0, ThreadMain, start, 0, nullptr);
    if (h == nullptr) {
        const int error = static_cast<int>(GetLastError());
        if (start->self != nullptr) FreeLibrary(start->self);
        delete start;
        return Fail(error);
    }
    *thread = reinterpret_cast<pthread_t>(h);
    return 0;
}

/* The thread is not waited for.  Its caller has seen it leave its
 * function (KORVA_Close waits for ThreadAlive), after which it touches
 * nothing but its own module reference, which FreeLibraryAndExitThread
 * drops inside kernel32.  Inside DllMain (a DLL that unloads closes its
 * handles) the thread could not finish ending anyway until the loader lock
 * is free, so a wait there would only cost its whole bound. */
void PlatThreadRelease(pthread_t thread) { CloseHandle(reinterpret_cast<HANDLE>(thread)); }

int PlatWaitReadable(int fd, int timeoutMs) {
    Desc *d = Lookup(fd);
    if (d == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (d->kind == Kind::Socket) return d->inHead < d->inTail ? 1 : WaitSocket(d->socket, false, timeoutMs);
    return WaitSerialReadable(d, timeoutMs);
}

int PlatWaitWritable(int fd, int timeoutMs) {
    Desc *d = Lookup(fd);
    if (d == nullptr) return Fail(ERROR_INVALID_HANDLE);
    return d->kind == Kind::Socket ? WaitSocket(d->socket, true, timeoutMs) : WaitSerialWritable(d, timeoutMs);
}

int PlatWaitReadableOrWake(int fd, int wakeFd, int timeoutMs) {
    Desc *w = Lookup(wakeFd);
    if (w == nullptr || w->kind != Kind::Wake) return Fail(ERROR_INVALID_HANDLE);
    if (fd < 0) {
        const DWORD rc = WaitForSingleObject(w->handle, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        if (rc == WAIT_TIMEOUT) return 0;
        return rc == WAIT_OBJECT_0 ? 2 : FailLast();
    }
    Desc *d = Lookup(fd);
    if (d == nullptr || d->kind == Kind::Wake) return Fail(ERROR_INVALID_HANDLE);
    if (d->kind == Kind::Socket) return WaitSocketOrWake(d, w->handle, timeoutMs);
    return WaitSerialReadable(d, timeoutMs, w->handle);
}

int PlatSerialOpen(const char *path) {
    const int port = ComPortOfName(path);
    if (port == 0) return Fail(ERROR_FILE_NOT_FOUND);
    const HANDLE h = OpenComPort(port);
    if (h == INVALID_HANDLE_VALUE) return FailLast();
    const int fd = Allocate(Kind::Serial, h, INVALID_SOCKET);
    if (fd < 0) {
        const int error = t_error;
        CloseHandle(h);
        return Fail(error);
    }
    RaiseTimer(fd);
    return fd;
}

int PlatSerialConfigure(int fd, int highSpeed, int flowControl, const char **failedCall, int *applying) {
    Desc *d = Lookup(fd);
    *failedCall = "GetCommState";
    *applying = 0;
    if (d == nullptr || d->kind != Kind::Serial) return Fail(ERROR_INVALID_HANDLE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(d->handle, &dcb)) return FailLast();
    dcb.BaudRate = highSpeed ? 3000000 : 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = flowControl ? TRUE : FALSE;
    dcb.fRtsControl = flowControl ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    *applying = 1;
    *failedCall = "SetCommState";
    if (!SetCommState(d->handle, &dcb)) return FailLast();
    COMMTIMEOUTS timeouts{}; // no time-outs: waits are bounded by this layer
    *failedCall = "SetCommTimeouts";
    if (!SetCommTimeouts(d->handle, &timeouts)) return FailLast();
    *failedCall = "PurgeComm";
    if (!PurgeComm(d->handle, PURGE_RXCLEAR | PURGE_TXCLEAR)) return FailLast();
    return 0;
}

int PlatTcpSocket(void) {
    if (const int rc = StartWinsock(); rc != 0) return Fail(rc);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return FailWsa();
    const int fd = Allocate(Kind::Socket, INVALID_HANDLE_VALUE, s);
    if (fd < 0) {
        const int error = t_error;
        closesocket(s);
        return Fail(error);
    }
    RaiseTimer(fd);
    return fd;
}

int PlatResolveIPv4(const char *host, uint32_t *addrNet) {
    if (const int rc = StartWinsock(); rc != 0) return Fail(rc);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) return Fail(rc != 0 ? rc : WSAHOST_NOT_FOUND);
    *addrNet = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return 0;
}

int PlatTcpConnect(int sock, uint32_t addrNet, uint16_t port, int timeoutMs) {
    Desc *d = Lookup(sock);
    if (d == nullptr || d->kind != Kind::Socket) return Fail(WSAENOTSOCK);
    u_long on = 1;
    if (ioctlsocket(d->socket, FIONBIO, &on) != 0) return FailWsa();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addrNet;
    if (connect(d->socket, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
        TuneConnected(d);
        return 0;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return FailWsa();
    // Connected: writable.  Refused: the exception set (Winsock reports
    // a failed non-blocking connect there, not as writable).
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_SET(d->socket, &writable);
    FD_ZERO(&failed);
    FD_SET(d->socket, &failed);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int rc = select(0, nullptr, &writable, &failed, &tv);
    if (rc == SOCKET_ERROR) return FailWsa();
    if (rc == 0) return Fail(WSAETIMEDOUT);
    int error = 0;
    int len = sizeof error;
    if (getsockopt(d->socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) != 0) return FailWsa();
    if (error != 0) return Fail(error);
    if (FD_ISSET(d->socket, &failed)) return Fail(WSAECONNREFUSED);
    TuneConnected(d);
    return 0;
}

int PlatSetNonBlocking(int sock) {
    Desc *d = Lookup(sock);
    if (d == nullptr || d->kind != Kind::Socket) return Fail(WSAENOTSOCK);
    u_long on = 1;
    return ioctlsocket(d->socket, FIONBIO, &on) == 0 ? 0 : FailWsa();
}

long PlatRead(int fd, void *buf, size_t n, int isSocket) {
    return isSocket ? SysCalls.recv(fd, buf, n) : SysCalls.read(fd, buf, n);
}

long PlatWrite(int fd, const void *buf, size_t n, int isSocket) {
    return isSocket ? SysCalls.send(fd, buf, n) : SysCalls.write(fd, buf, n);
}

int PlatClose(int fd, int /*isSocket*/) { return SysCalls.close(fd); }

int PlatWouldBlock(void) { return t_error == WSAEWOULDBLOCK || t_error == ERROR_IO_PENDING; }

int PlatOpenCharDevice(const char *path, int /*readOnly*/) { return SysCalls.open(path, 0); }

int PlatIoctl(int fd, unsigned long request, void *arg) { return SysCalls.ioctl(fd, request, arg); }

/* No character devices here: nothing is ever opened again this way. */
int PlatReplaceDescriptor(int, int) {
    PlatSetErrno(ENOSYS);
    return -1;
}

/* An auto-reset event: the wait that reports it takes it.  Each end holds a
 * handle of its own, so that the two close independently. */
int PlatWakePipe(int fds[2]) {
    fds[0] = fds[1] = -1;
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) return FailLast();
    HANDLE other = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &other, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        const int error = static_cast<int>(GetLastError());
        CloseHandle(event);
        return Fail(error);
    }
    fds[0] = Allocate(Kind::Wake, event, INVALID_SOCKET);
    fds[1] = fds[0] < 0 ? -1 : Allocate(Kind::Wake, other, INVALID_SOCKET);
    if (fds[1] < 0) {
        const int error = t_error;
        if (fds[0] >= 0) CloseDesc(fds[0]);
        else CloseHandle(event);
        CloseHandle(other);
        fds[0] = -1;
        return Fail(error);
    }
    return 0;
}

void PlatWake(int writeFd) {
    if (Desc *d = Lookup(writeFd); d != nullptr && d->kind == Kind::Wake) SetEvent(d->handle);
}

/* A semaphore counts the frames; an event only says that there are some.
 * Each call on a handle of the other kind fails (under wine a round trip to
 * the wine server for nothing), so the last handle found to be an event is
 * remembered and set directly; should it have become a semaphore since (a
 * handle value used again), SetEvent fails and the semaphore is released. */
namespace {
std::atomic<HANDLE> g_knownEvent{nullptr};
} // namespace

void PlatPostEvent(void *event, uint32_t count) {
    const HANDLE h = static_cast<HANDLE>(event);
    if (h == g_knownEvent.load(std::memory_order_relaxed)) {
        if (SetEvent(h)) return;
        g_knownEvent.store(nullptr, std::memory_order_relaxed);
    }
    if (ReleaseSemaphore(h, static_cast<LONG>(count), nullptr)) return;
    if (SetEvent(h)) g_knownEvent.store(h, std::memory_order_relaxed);
}

struct PlatDir {
    PlatDirState state;
};

PlatDir *PlatDirOpen(const char *path) {
    auto *dir = new (std::nothrow) PlatDir;
    if (dir == nullptr) return nullptr;
    if (std::strcmp(path, "/dev") == 0) {
        dir->state.comPorts = true;
        return dir;
    }
    char pattern[MAX_PATH];
    if (std::snprintf(pattern, sizeof pattern, "%s\\*", path) >= static_cast<int>(sizeof pattern)) {
        delete dir;
        return nullptr;
    }
    dir->state.find = FindFirstFileA(pattern, &dir->state.data);
    if (dir->state.find == INVALID_HANDLE_VALUE) {
        delete dir;
        return nullptr;
    }
    dir->state.haveData = true;
    return dir;
}

const char *PlatDirNext(PlatDir *dir) {
    PlatDirState &s = dir->state;
    if (s.comPorts) {
        while (s.nextCom <= kMaxComPort) {
            const int n = s.nextCom++;
            const HANDLE h = OpenComPort(n);
            DWORD error = 0;
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
            } else {
                error = GetLastError();
            }
            // A port in use (by this process, say) exists as well.
            if (h != INVALID_HANDLE_VALUE || error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
                std::snprintf(s.name, sizeof s.name, "COM%d", n);
                return s.name;
            }
        }
        return nullptr;
    }
    if (!s.haveData) return nullptr;
    std::snprintf(s.name, sizeof s.name, "%s", s.data.cFileName);
    s.haveData = FindNextFileA(s.find, &s.data) != 0;
    return s.name;
}

void PlatDirClose(PlatDir *dir) {
    if (dir->state.find != INVALID_HANDLE_VALUE) FindClose(dir->state.find);
    delete dir;
}

int PlatStatCharDevice(const char *path, int *isChar) {
    if (const char *base = std::strrchr(path, '/'); base != nullptr && ComNumber(base + 1) != 0) {
        *isChar = 1;
        return 0;
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return FailLast();
    *isChar = 0;
    return 0;
}

int PlatIsSystemSerialPortName(const char *entry) { return ComNumber(entry) != 0; }

int PlatHasCharDevices(void) { return 0; }

int PlatHangUp(int) { return 0; }

} // extern "C"
