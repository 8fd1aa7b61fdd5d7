// net.h - what "korva serve" needs of the system besides os.h: TCP
// sockets that never block, one wait for many of them, a wake-up that
// another thread (or a signal handler) can give that wait, and the status
// request signal.  One file per system defines these (net_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korva_tool {

using NetSocket = intptr_t;
constexpr NetSocket kNoSocket = -1;

// A listening TCP socket on addr ("127.0.0.1", "0.0.0.0", "::1", "::",
// "localhost") and port (0: one the system picks), non-blocking.  On
// failure kNoSocket with the reason in *why.
NetSocket NetListen(const std::string &addr, uint16_t port, std::string *why);
// "127.0.0.1:2001" or "[::1]:2001": where the socket listens or, with
// peer, the other end of a connection.
std::string NetAddress(NetSocket s, bool peer);
// A connection waiting on the listening socket, non-blocking, without
// send delay (TCP_NODELAY) and with a send buffer of 64 KiB, or kNoSocket
// when none waits.
NetSocket NetAccept(NetSocket listener);
// Bytes received: > 0, 0 when none are waiting, -1 when the connection
// ended (closed by the peer, reset).
long NetRecv(NetSocket s, char *buf, size_t size);
// Bytes the connection took: >= 0 (0 when its buffer is full), -1 when
// it is broken.
long NetSend(NetSocket s, const char *data, size_t size);
void NetClose(NetSocket s);

// One socket to wait for.
struct NetWatch {
    NetSocket socket = kNoSocket;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false; // after NetWait: data, a connection or the end waits
    bool writable = false; // after NetWait: room to send (or an error to find)
};

// Wakes a NetWait from another thread.
struct NetWaker;
NetWaker *CreateNetWaker(std::string *why);
void WakeNetWait(NetWaker *waker);
void DestroyNetWaker(NetWaker *waker);

// Waits until a watched socket is ready, the waker was woken, a signal
// came or timeoutMs passed; fills in readable/writable.  Returns false
// when the wait itself failed (after a trace line on standard error).
bool NetWait(std::vector<NetWatch> &watches, NetWaker *waker, int timeoutMs);

// SIGUSR1 asks for a status line (no such signal on Windows): true once
// after each request.
void InstallStatusSignal();
bool TakeStatusRequest();

} // namespace korva_tool
