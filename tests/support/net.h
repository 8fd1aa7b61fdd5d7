// net.h - TCP listeners on 127.0.0.1 for tests that play a network
// adapter (or its absence) themselves.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace korva_test {

// A socket bound to a free port of 127.0.0.1, listening with the given
// backlog (kBoundOnly: bound but never listening, so that connections are
// refused and no other program takes the port meanwhile).  Closed by the
// destructor.
struct LoopbackListener {
    static constexpr int kBoundOnly = -1;

    explicit LoopbackListener(int backlog = 4) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
            (backlog == kBoundOnly || ::listen(fd, backlog) == 0) &&
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
            port = ntohs(sa.sin_port);
    }
    ~LoopbackListener() {
        if (fd >= 0) ::close(fd);
    }
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    bool Ok() const { return port != 0; }
    // The adapter name of this port, "127.0.0.1:PORT".
    std::string Name() const { return "127.0.0.1:" + std::to_string(port); }

    int fd = -1;
    int port = 0;
};

} // namespace korva_test
