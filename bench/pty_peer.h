// pty_peer.h - an adapter played by a benchmark itself on a pseudo-terminal
// (so that the moment it writes or reads a line is known exactly), and the
// figures of a set of timings.
#pragma once

#include "korva_api.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <string>
#include <string_view>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

// A pseudo-terminal in raw mode with its slave linked as `link`.  The slave
// stays open here too, so that the master never sees a hang-up while korva
// has the line closed.
struct PtyLink {
    int master = -1, slave = -1;
    bool Open(const std::filesystem::path &link) {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
        termios raw{};
        tcgetattr(master, &raw);
        cfmakeraw(&raw);
        tcsetattr(master, TCSANOW, &raw);
        std::error_code ec;
        std::filesystem::remove(link, ec);
        std::filesystem::create_symlink(name, link, ec);
        return !ec;
    }
    PtyLink() = default;
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;
    ~PtyLink() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

// What a full Lawicel adapter answers to a command line (without its
// carriage return): identity queries with their reply lines, a transmitted
// frame with its acknowledgement, everything else with a carriage return.
inline std::string_view AdapterReply(std::string_view cmd) {
    if (cmd == "N") return "N1234\r";
    if (cmd == "V") return "V1013\r";
    if (cmd == "F") return "F00\r";
    if (!cmd.empty() && (cmd[0] == 't' || cmd[0] == 'r')) return "z\r";
    if (!cmd.empty() && (cmd[0] == 'T' || cmd[0] == 'R')) return "Z\r";
    return "\r";
}

// KORVA_Open of the adapter behind pty, answering its commands until the
// open returns.
inline int32_t OpenAnswering(const PtyLink &pty, const std::string &name, int32_t mode = KORVA_MODE_NORMAL) {
    std::atomic<bool> answering{true};
    std::thread adapter([&] {
        std::string cmd;
        char c;
        while (answering) {
            pollfd p{pty.master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0 || read(pty.master, &c, 1) != 1) continue;
            if (c != '\r') {
                cmd += c;
                continue;
            }
            const std::string_view reply = AdapterReply(cmd);
            [[maybe_unused]] ssize_t n = write(pty.master, reply.data(), reply.size());
            cmd.clear();
        }
    });
    const int32_t h = KORVA_Open(name.c_str(), mode);
    answering = false;
    adapter.join();
    return h;
}

// Median, 99th percentile and maximum of a set of timings.
struct Figures {
    size_t count = 0;
    double median = 0, p99 = 0, max = 0;
};

inline Figures FiguresOf(std::vector<double> v) {
    Figures f;
    if (v.empty()) return f;
    std::sort(v.begin(), v.end());
    f.count = v.size();
    f.median = v[v.size() / 2];
    f.p99 = v[std::min(v.size() - 1, (v.size() * 99 + 99) / 100 - 1)];
    f.max = v.back();
    return f;
}
