// net_posix.cpp - TCP sockets, poll and a self-pipe for "korva serve" on
// POSIX systems.
#include "net.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korva_tool {

struct NetWaker {
    int pipe[2] = {-1, -1}; // [0] polled by NetWait, [1] written by WakeNetWait
};

namespace {

std::atomic<bool> g_status{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStatusSignal(int) { g_status.store(true); }

void Trace(const char *call) { std::fprintf(stderr, "korva serve: %s failed: %s\n", call, std::strerror(errno)); }

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        Trace("fcntl(O_NONBLOCK)");
        return false;
    }
    return true;
}

std::string Failure(const char *call) { return std::string(call) + ": " + std::strerror(errno); }

} // namespace

NetSocket NetListen(const std::string &addr, uint16_t port, std::string *why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(addr.c_str(), service.c_str(), &hints, &found); rc != 0) {
        *why = "address " + addr + ": " + gai_strerror(rc);
        return kNoSocket;
    }
    int fd = -1;
    for (addrinfo *a = found; a; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            *why = Failure("socket");
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 16) == 0 && SetNonBlocking(fd)) break;
        *why = Failure("bind");
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd < 0 ? kNoSocket : fd;
}

std::string NetAddress(NetSocket s, bool peer) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    auto *sa = reinterpret_cast<sockaddr *>(&ss);
    if ((peer ? getpeername(static_cast<int>(s), sa, &len) : getsockname(static_cast<int>(s), sa, &len)) != 0)
        return "?";
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (ss.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto *in4 = reinterpret_cast<const sockaddr_in *>(&ss);
    inet_ntop(AF_INET, &in4->sin_addr, host, sizeof host);
    port = ntohs(in4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

NetSocket NetAccept(NetSocket listener) {
    for (;;) {
        const int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            // What waits for a slow client waits in the server's own
            // bounded queue, not in a socket buffer of megabytes.
            const int room = 65536;
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
            return fd;
        }
        if (errno == EINTR) continue;
        // A connection reset before it was taken is no failure of ours.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) Trace("accept4");
        return kNoSocket;
    }
}

long NetRecv(NetSocket s, char *buf, size_t size) {
    for (;;) {
        const ssize_t n = recv(static_cast<int>(s), buf, size, 0);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) return -1;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != ECONNRESET) Trace("recv");
        return -1;
    }
}

long NetSend(NetSocket s, const char *data, size_t size) {
    for (;;) {
        const ssize_t n = send(static_cast<int>(s), data, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != ECONNRESET && errno != EPIPE) Trace("send");
        return -1;
    }
}

void NetClose(NetSocket s) {
    if (s != kNoSocket) close(static_cast<int>(s));
}

NetWaker *CreateNetWaker(std::string *why) {
    auto *w = new NetWaker;
    if (pipe2(w->pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        *why = Failure("pipe2");
        delete w;
        return nullptr;
    }
    return w;
}

void WakeNetWait(NetWaker *waker) {
    const char b = 1;
    // A full pipe wakes the wait already.
    while (write(waker->pipe[1], &b, 1) < 0 && errno == EINTR) {
    }
}

void DestroyNetWaker(NetWaker *waker) {
    if (!waker) return;
    close(waker->pipe[0]);
    close(waker->pipe[1]);
    delete waker;
}

bool NetWait(std::vector<NetWatch> &watches, NetWaker *waker, int timeoutMs) {
    std::vector<pollfd> fds;
    fds.reserve(watches.size() + 1);
    fds.push_back({waker->pipe[0], POLLIN, 0});
    for (const NetWatch &w : watches)
        fds.push_back({static_cast<int>(w.socket),
                       static_cast<short>((w.wantRead ? POLLIN : 0) | (w.wantWrite ? POLLOUT : 0)), 0});
    const int n = poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0 && errno != EINTR) {
        Trace("poll");
        return false;
    }
    if (n > 0 && (fds[0].revents & POLLIN)) {
        char drain[64];
        while (read(waker->pipe[0], drain, sizeof drain) > 0) {
        }
    }
    for (size_t i = 0; i < watches.size(); ++i) {
        const short r = n > 0 ? fds[i + 1].revents : 0;
        watches[i].readable = (r & (POLLIN | POLLHUP | POLLERR)) != 0;
        watches[i].writable = (r & (POLLOUT | POLLERR)) != 0;
    }
    return true;
}

void InstallStatusSignal() {
    struct sigaction sa{};
    sa.sa_handler = OnStatusSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);
}

bool TakeStatusRequest() { return g_status.exchange(false); }

} // namespace korva_tool
