// net_win32.cpp - TCP sockets, WSAPoll and a loopback datagram socket as
// the wake-up for "korva serve" on Windows.  There is no SIGUSR1: status
// lines come from --stats.
#include "net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <mutex>

namespace korva_tool {

struct NetWaker {
    SOCKET socket = INVALID_SOCKET; // a UDP socket connected to itself
};

namespace {

SOCKET Raw(NetSocket s) { return static_cast<SOCKET>(s); }

void Trace(const char *call) { std::fprintf(stderr, "korva serve: %s failed: error %d\n", call, WSAGetLastError()); }

std::string Failure(const char *call) { return std::string(call) + ": error " + std::to_string(WSAGetLastError()); }

bool Started(std::string *why) {
    static std::once_flag once;
    static int rc = 0;
    std::call_once(once, [] {
        WSADATA data;
        rc = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (rc != 0 && why) *why = "WSAStartup: error " + std::to_string(rc);
    return rc == 0;
}

bool SetNonBlocking(SOCKET s) {
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) {
        Trace("ioctlsocket(FIONBIO)");
        return false;
    }
    return true;
}

} // namespace

NetSocket NetListen(const std::string &addr, uint16_t port, std::string *why) {
    if (!Started(why)) return kNoSocket;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(addr.c_str(), service.c_str(), &hints, &found); rc != 0) {
        *why = "address " + addr + ": error " + std::to_string(rc);
        return kNoSocket;
    }
    SOCKET s = INVALID_SOCKET;
    for (addrinfo *a = found; a; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            *why = Failure("socket");
            continue;
        }
        // No other program may bind the port beside us.
        const BOOL on = TRUE;
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on), sizeof on);
        if (bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 && listen(s, 16) == 0 && SetNonBlocking(s))
            break;
        *why = Failure("bind");
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(found);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<NetSocket>(s);
}

std::string NetAddress(NetSocket s, bool peer) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    auto *sa = reinterpret_cast<sockaddr *>(&ss);
    if ((peer ? getpeername(Raw(s), sa, &len) : getsockname(Raw(s), sa, &len)) != 0) return "?";
    char host[NI_MAXHOST], serv[NI_MAXSERV];
    if (getnameinfo(sa, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0) return "?";
    return ss.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + serv : std::string(host) + ":" + serv;
}

NetSocket NetAccept(NetSocket listener) {
    const SOCKET c = accept(Raw(listener), nullptr, nullptr);
    if (c == INVALID_SOCKET) {
        const int e = WSAGetLastError();
        if (e != WSAEWOULDBLOCK && e != WSAECONNRESET && e != WSAEINTR) Trace("accept");
        return kNoSocket;
    }
    if (!SetNonBlocking(c)) {
        closesocket(c);
        return kNoSocket;
    }
    const BOOL on = TRUE;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    // What waits for a slow client waits in the server's own bounded
    // queue, not in a socket buffer of megabytes.
    const int room = 65536;
    setsockopt(c, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&room), sizeof room);
    return static_cast<NetSocket>(c);
}

long NetRecv(NetSocket s, char *buf, size_t size) {
    const int n = recv(Raw(s), buf, static_cast<int>(size), 0);
    if (n > 0) return n;
    if (n == 0) return -1;
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return 0;
    if (e != WSAECONNRESET && e != WSAECONNABORTED) Trace("recv");
    return -1;
}

long NetSend(NetSocket s, const char *data, size_t size) {
    const int n = send(Raw(s), data, static_cast<int>(size), 0);
    if (n >= 0) return n;
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return 0;
    if (e != WSAECONNRESET && e != WSAECONNABORTED) Trace("send");
    return -1;
}

void NetClose(NetSocket s) {
    if (s != kNoSocket) closesocket(Raw(s));
}

NetWaker *CreateNetWaker(std::string *why) {
    if (!Started(why)) return nullptr;
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sa;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0 ||
        connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || !SetNonBlocking(s)) {
        *why = Failure("the wake-up socket");
        if (s != INVALID_SOCKET) closesocket(s);
        return nullptr;
    }
    auto *w = new NetWaker;
    w->socket = s;
    return w;
}

void WakeNetWait(NetWaker *waker) {
    const char b = 1;
    // A full queue wakes the wait already.
    send(waker->socket, &b, 1, 0);
}

void DestroyNetWaker(NetWaker *waker) {
    if (!waker) return;
    closesocket(waker->socket);
    delete waker;
}

bool NetWait(std::vector<NetWatch> &watches, NetWaker *waker, int timeoutMs) {
    std::vector<WSAPOLLFD> fds;
    fds.reserve(watches.size() + 1);
    fds.push_back({waker->socket, POLLRDNORM, 0});
    for (const NetWatch &w : watches)
        fds.push_back({Raw(w.socket), static_cast<short>((w.wantRead ? POLLRDNORM : 0) | (w.wantWrite ? POLLWRNORM : 0)), 0});
    const int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    if (n == SOCKET_ERROR) {
        Trace("WSAPoll");
        return false;
    }
    if (n > 0 && (fds[0].revents & POLLRDNORM)) {
        char drain[64];
        while (recv(waker->socket, drain, sizeof drain, 0) > 0) {
        }
    }
    for (size_t i = 0; i < watches.size(); ++i) {
        const short r = n > 0 ? fds[i + 1].revents : 0;
        watches[i].readable = (r & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
        watches[i].writable = (r & (POLLWRNORM | POLLERR)) != 0;
    }
    return true;
}

void InstallStatusSignal() {}

bool TakeStatusRequest() { return false; }

} // namespace korva_tool
