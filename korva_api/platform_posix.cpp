/*
 * platform_posix.cpp - the operating-system layer for Linux (POSIX).
 */
#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/times.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

int SysOpen(const char *path, int flags) { return ::open(path, flags); }
int SysClose(int fd) { return ::close(fd); }
long SysRead(int fd, void *buf, size_t n) { return ::read(fd, buf, n); }
long SysWrite(int fd, const void *buf, size_t n) { return ::write(fd, buf, n); }
long SysRecv(int fd, void *buf, size_t n) { return ::recv(fd, buf, n, 0); }
// MSG_NOSIGNAL: a peer that has gone away must give EPIPE, not kill the
// application with SIGPIPE.
long SysSend(int fd, const void *buf, size_t n) { return ::send(fd, buf, n, MSG_NOSIGNAL); }
int SysIoctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }

constexpr SysCallTable kSystemCalls = {SysOpen, SysClose, SysRead, SysWrite,
                                       SysRecv, SysSend, SysIoctl};

int PollOne(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        int rc = ::poll(&p, 1, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return -1;
        if (rc == 0) return 0;
        if (p.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        return 1;
    }
}

} // namespace

extern "C" {

SysCallTable SysCalls = kSystemCalls;

void PlatResetSysCalls(void) { SysCalls = kSystemCalls; }

int32_t PlatTicks(void) {
    // times() with a null buffer is valid on Linux and returns clock ticks
    // since an arbitrary point; only the low 32 bits are kept.
    return static_cast<int32_t>(static_cast<uint32_t>(::times(nullptr)));
}

void PlatSleepMicros(uint32_t micros) {
    if (micros == 0) {
        ::sched_yield();
        return;
    }
    ::usleep(micros);
}

int64_t PlatMonotonicMicros(void) {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int PlatErrno(void) { return errno; }

int PlatLastWasTimeout(void) { return errno == ETIMEDOUT; }

int PlatThreadStart(pthread_t *thread, void *(*fn)(void *), void *arg) {
    const int rc = ::pthread_create(thread, nullptr, fn, arg);
    if (rc != 0) errno = rc;
    return rc == 0 ? 0 : -1;
}

void PlatThreadRelease(pthread_t thread) { ::pthread_join(thread, nullptr); }

int PlatWaitReadable(int fd, int timeoutMs) { return PollOne(fd, POLLIN, timeoutMs); }

int PlatWaitWritable(int fd, int timeoutMs) { return PollOne(fd, POLLOUT, timeoutMs); }

int PlatWaitReadableOrWake(int fd, int wakeFd, int timeoutMs) {
    // A negative fd is left out by poll itself.
    pollfd p[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
    for (;;) {
        int rc = ::poll(p, 2, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return -1;
        if (rc == 0) return 0;
        if (p[0].revents) {
            char drain[64];
            while (::read(wakeFd, drain, sizeof drain) > 0) {
            }
            return 2;
        }
        if (p[1].revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        return 1;
    }
}

int PlatSerialOpen(const char *path) {
    return SysCalls.open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
}

int PlatSerialConfigure(int fd, int highSpeed, int flowControl, const char **failedCall, int *applying) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        *failedCall = "tcgetattr";
        *applying = 0;
        return -1;
    }
    const speed_t speed = highSpeed ? B3000000 : B115200;
    tio.c_iflag = IGNPAR;
    tio.c_oflag = 0;
    tio.c_cflag = CS8 | CREAD | CLOCAL | (flowControl ? CRTSCTS : 0);
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    ::tcflush(fd, TCIOFLUSH);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        *failedCall = "tcsetattr";
        *applying = 1;
        return -1;
    }
    return 0;
}

int PlatTcpSocket(void) { return ::socket(AF_INET, SOCK_STREAM, 0); }

int PlatResolveIPv4(const char *host, uint32_t *addrNet) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = ::getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        if (rc != EAI_SYSTEM) errno = ENOENT;
        return -1;
    }
    *addrNet = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(res);
    return 0;
}

int PlatTcpConnect(int sock, uint32_t addrNet, uint16_t port, int timeoutMs) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addrNet;
    // A blocking connect to a peer that drops the handshake (a full
    // backlog, a firewall) waits for the system's SYN retries, about two
    // minutes; non-blocking with a poll bounds it.
    const int flags = ::fcntl(sock, F_GETFL);
    if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    // Every write of the library is a whole command or a batch of frame
    // text: Nagle's algorithm would only hold the next one back.
    const int on = 1;
    if (::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return -1;
    if (::connect(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return -1;
    const int64_t deadline = PlatMonotonicMicros() + static_cast<int64_t>(timeoutMs) * 1000;
    for (;;) {
        const int64_t left = deadline - PlatMonotonicMicros();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        const int ready = PollOne(sock, POLLOUT, static_cast<int>((left + 999) / 1000));
        if (ready < 0) return -1;
        if (ready > 0) break;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

int PlatSetNonBlocking(int sock) {
    int on = 1;
    return SysCalls.ioctl(sock, FIONBIO, &on) == 0 ? 0 : -1;
}

long PlatRead(int fd, void *buf, size_t n, int isSocket) {
    long rc;
    do {
        rc = isSocket ? SysCalls.recv(fd, buf, n) : SysCalls.read(fd, buf, n);
    } while (rc < 0 && errno == EINTR);
    if (isSocket && rc > 0) {
        // Acknowledge at once: a gateway that runs Nagle's algorithm holds
        // its next small segment (the frame after a "z") until our ACK,
        // which delayed acknowledgement would hold back some 40 ms.  Linux
        // clears the switch after each ACK, so it is set after every read.
        // Best effort: what refuses it (a descriptor that is no TCP
        // socket) has told the read already.
        const int saved = errno;
        const int on = 1;
        [[maybe_unused]] const int ignored = ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        errno = saved;
    }
    return rc;
}

long PlatWrite(int fd, const void *buf, size_t n, int isSocket) {
    long rc;
    do {
        rc = isSocket ? SysCalls.send(fd, buf, n) : SysCalls.write(fd, buf, n);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

int PlatClose(int fd, int /*isSocket*/) { return SysCalls.close(fd); }

int PlatWouldBlock(void) { return errno == EAGAIN || errno == EWOULDBLOCK; }

int PlatOpenCharDevice(const char *path, int readOnly) {
    return SysCalls.open(path, (readOnly ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_SYNC);
}

int PlatIoctl(int fd, unsigned long request, void *arg) { return SysCalls.ioctl(fd, request, arg); }

int PlatReplaceDescriptor(int fd, int newFd) {
    int rc;
    do rc = ::dup2(newFd, fd);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) return -1;
    SysCalls.close(newFd);
    return 0;
}

int PlatWakePipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK); }

void PlatWake(int writeFd) {
    const char one = 1;
    // A full pipe already wakes the reader; nothing more to do then.
    [[maybe_unused]] ssize_t rc = ::write(writeFd, &one, 1);
}

void PlatPostEvent(void *event, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) ::sem_post(static_cast<sem_t *>(event));
}

struct PlatDir {
    DIR *dir;
};

PlatDir *PlatDirOpen(const char *path) {
    DIR *d = ::opendir(path);
    if (d == nullptr) return nullptr;
    auto *pd = new (std::nothrow) PlatDir{d};
    if (pd == nullptr) ::closedir(d);
    return pd;
}

const char *PlatDirNext(PlatDir *dir) {
    dirent *e = ::readdir(dir->dir);
    return e ? e->d_name : nullptr;
}

void PlatDirClose(PlatDir *dir) {
    ::closedir(dir->dir);
    delete dir;
}

int PlatStatCharDevice(const char *path, int *isChar) {
    struct stat st {};
    if (::stat(path, &st) != 0) return -1;
    *isChar = S_ISCHR(st.st_mode) ? 1 : 0;
    return 0;
}

int PlatIsSystemSerialPortName(const char * /*entry*/) { return 0; }

int PlatHasCharDevices(void) { return 1; }

void PlatSetErrno(int error) { errno = error; }

int PlatHangUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & (POLLHUP | POLLERR)) != 0 ? 1 : 0;
}

} // extern "C"
