// korva_serve - figures of "korva serve", the adapter shared over TCP.
//
//   rtt      round trips through korva_api (KORVA_Write + KORVA_Flush of a
//            request 7E0, blocking KORVA_Read until the answer 7E8) against
//            korva_rtt's adapter on TCP: directly, and through korva serve
//            on that adapter; the difference is what the server adds.
//   fanout   an adapter played here on TCP floods sequence-numbered frames
//            at the line rate of a 3 Mbaud line (22-byte frame lines,
//            13 636 frames/s) to korva serve, with 1, 4 and 8 raw Lawicel
//            clients reading: frames each client received, lost, out of
//            order, and the server's CPU time per frame per client.
//   fd       the fanout flood of CAN FD frames (64 bytes with bit-rate
//            switch, 134-byte lines: 2 239 frames/s) to korva serve
//            --data-bitrate 2M.
//   stall    the same flood for 30 s (--stall-seconds) with 4 clients
//            reading and one that opened and never reads: what the others
//            received, and when the server cut the stalled one off.
//
// Usage: korva_serve [--n N] [--seconds S] [--stall-seconds S] [--scenario rtt|fanout|fd|stall]...
// It finds korva and korva_rtt in the build tree beside it.
#include "korva_api.h"

#include "adapter.h"
#include "child.h"
#include "command_lines.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kLineBytesPerSecond = 3'000'000 / 10.0; // 8N1
constexpr size_t kFloodLine = 22;                        // "t1008" + 16 digits + CR
constexpr size_t kFdFloodLine = 134;                     // "b100F" + 128 digits + CR
// Frames per second at the line rate: classic or FD flood lines.
double FloodRate(bool fd) { return kLineBytesPerSecond / static_cast<double>(fd ? kFdFloodLine : kFloodLine); }

fs::path Here() { return fs::read_symlink("/proc/self/exe").parent_path(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// CPU seconds (user + system) that process pid has used.
double CpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t i = close + 2;
    while (i < stat.size()) {
        const size_t sp = stat.find(' ', i);
        fields.push_back(stat.substr(i, sp - i));
        if (sp == std::string::npos) break;
        i = sp + 1;
    }
    if (fields.size() < 13) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int ConnectLoopback(int port, int receiveBuffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// korva serve on adapter, its port read from its first line.
struct Server {
    Child child;
    int port = 0;
    pid_t pid = 0;
    bool Start(const std::string &adapter, const std::string &options = "") {
        const std::string korva = (Here().parent_path() / "tools/korva/korva").string();
        if (!child.Start({"/bin/sh", "-c", "exec " + korva + " serve --tcp 0 " + options + " " + adapter + " 2>&1"}))
            return false;
        const auto line = child.WaitFor("korva serve: serving", 20);
        if (!line) return false;
        const size_t at = line->find(" on 127.0.0.1:");
        if (at == std::string::npos) return false;
        port = std::stoi(line->substr(at + 14));
        pid = child.Pid();
        return true;
    }
};

// ---- rtt -----------------------------------------------------------------

std::vector<double> RoundTrips(const std::string &name, int n) {
    std::vector<double> us;
    const int32_t h = KORVA_Open(name.c_str(), KORVA_MODE_NORMAL);
    if (h <= 0) {
        std::fprintf(stderr, "cannot open %s: %d\n", name.c_str(), h);
        return us;
    }
    KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    for (int i = 0; i < n + 20; ++i) {
        CanMsg req{};
        req.Identifier = 0x7E0;
        req.Length = 8;
        req.Flags = KORVA_FLAG_STANDARD;
        std::memcpy(req.Data, &i, sizeof i);
        uint32_t done = 0;
        const auto t0 = Clock::now();
        if (KORVA_Write(h, &req, 1, &done) != 0 || KORVA_Flush(h) != 0) break;
        bool answered = false;
        while (!answered && Clock::now() - t0 < std::chrono::seconds(2)) {
            CanMsg m[16];
            uint32_t got = 0;
            if (KORVA_Read(h, m, 16, &got) != 0) break;
            for (uint32_t k = 0; k < got; ++k)
                if (m[k].Identifier == 0x7E8 && std::memcmp(m[k].Data, &i, sizeof i) == 0) answered = true;
        }
        if (!answered) break;
        if (i >= 20) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    KORVA_Close(h);
    return us;
}

int Rtt(int n) {
    Child adapter;
    const std::string rtt = (Here() / "korva_rtt").string();
    if (!adapter.Start({rtt, "--serve", "tcp"})) return 1;
    const auto ready = adapter.WaitFor("ready ", 20);
    if (!ready) return 1;
    const std::string name = ready->substr(6);
    const std::vector<double> direct = RoundTrips(name, n);
    Server server;
    if (!server.Start(name)) return 1;
    const std::vector<double> served = RoundTrips("127.0.0.1:" + std::to_string(server.port), n);
    if (direct.size() != size_t(n) || served.size() != size_t(n)) {
        std::fprintf(stderr, "rtt: only %zu direct and %zu served round trips\n", direct.size(), served.size());
        return 1;
    }
    std::printf("rtt  direct: median %.1f us, p99 %.1f us (%d round trips)\n", Median(direct),
                Percentile(direct, 0.99), n);
    std::printf("rtt  served: median %.1f us, p99 %.1f us; the server adds %.1f us (median)\n", Median(served),
                Percentile(served, 0.99), Median(served) - Median(direct));
    return 0;
}

// ---- the flooding adapter -------------------------------------------------

// A full Lawicel adapter on TCP (the protocol of korva_sim, lawicel_peer)
// that, once open and asked to, sends frames 100#SEQ(4 bytes)~SEQ at the
// line rate; with fd, CAN FD frames of 64 bytes (SEQ, ~SEQ, then 0x55).
struct FloodAdapter {
    explicit FloodAdapter(bool fdFrames = false) : fd(fdFrames) {}
    const bool fd;
    int listener = -1, port = 0;
    std::atomic<uint64_t> toSend{0}, sent{0};
    std::atomic<bool> quit{false};
    std::thread thread;

    bool Start() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(listener, 4) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
            return false;
        port = ntohs(sa.sin_port);
        thread = std::thread([this] { Run(); });
        return true;
    }
    ~FloodAdapter() {
        quit = true;
        if (thread.joinable()) thread.join();
        if (listener >= 0) close(listener);
    }
    void Flood(uint64_t n) { toSend += n; }

    void Run() {
        int host = -1;
        lawicel_peer::Adapter proto;
        lawicel_peer::CommandLines lines(lawicel_peer::kMaxFrameLine);
        uint64_t seq = 0;
        Clock::time_point floodStart{};
        uint64_t floodBase = 0;
        std::string out;
        while (!quit) {
            pollfd p{host >= 0 ? host : listener, POLLIN, 0};
            poll(&p, 1, 1);
            if (host < 0) {
                if (p.revents & POLLIN) {
                    host = accept(listener, nullptr, nullptr);
                    proto = lawicel_peer::Adapter();
                    if (fd) proto.dialect = lawicel_peer::Dialect::Fd;
                    lines.Reset();
                }
                continue;
            }
            if (p.revents & (POLLIN | POLLHUP)) {
                char buf[4096];
                const ssize_t n = recv(host, buf, sizeof buf, MSG_DONTWAIT);
                if (n <= 0) {
                    close(host);
                    host = -1;
                    continue;
                }
                lines.Feed(buf, static_cast<size_t>(n),
                           [&](std::string_view cmd, bool) { out += proto.Execute(cmd).reply; });
            }
            // Frames due by the line rate since the flood began.
            if (proto.IsOpen() && seq < toSend) {
                if (floodStart == Clock::time_point{}) floodStart = Clock::now(), floodBase = seq;
                const double elapsed = std::chrono::duration<double>(Clock::now() - floodStart).count();
                const uint64_t due = std::min<uint64_t>(toSend, floodBase + static_cast<uint64_t>(elapsed * FloodRate(fd)) + 1);
                for (; seq < due; ++seq) {
                    lawicel_peer::Frame f;
                    f.id = 0x100;
                    f.fd = f.brs = fd;
                    f.len = fd ? 64 : 8;
                    std::memset(f.data, 0x55, f.len);
                    for (int b = 0; b < 4; ++b) {
                        f.data[b] = static_cast<uint8_t>(seq >> (24 - 8 * b));
                        f.data[4 + b] = static_cast<uint8_t>(~f.data[b]);
                    }
                    char line[lawicel_peer::kMaxFrameLine];
                    out.append(line, lawicel_peer::FormatFrameLine(f, -1, line));
                }
                if (seq == toSend) floodStart = {};
            }
            size_t off = 0;
            while (off < out.size()) {
                const ssize_t n = send(host, out.data() + off, out.size() - off, MSG_NOSIGNAL);
                if (n <= 0) break;
                off += static_cast<size_t>(n);
            }
            out.erase(0, off);
            sent = seq;
        }
        if (host >= 0) close(host);
    }
};

// Raw clients of the server: each opens its session and checks that the
// sequence numbers come in order.
struct Reader {
    int fd = -1;
    std::string partial;
    uint64_t next = 0, received = 0, disorder = 0;
    bool ended = false;
};

bool OpenSession(int fd) {
    if (send(fd, "O\r", 2, MSG_NOSIGNAL) != 2) return false;
    char c = 0;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1 && recv(fd, &c, 1, 0) == 1 && c == '\r';
}

// Reads all clients until each has expected frames or nothing came for 2 s.
void ReadAll(std::vector<Reader> &readers, uint64_t expected) {
    auto lastData = Clock::now();
    while (Clock::now() - lastData < std::chrono::seconds(2)) {
        std::vector<pollfd> fds;
        for (Reader &r : readers) fds.push_back({r.ended ? -1 : r.fd, POLLIN, 0});
        poll(fds.data(), fds.size(), 100);
        bool all = true;
        for (size_t i = 0; i < readers.size(); ++i) {
            Reader &r = readers[i];
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                char buf[65536];
                const ssize_t n = recv(r.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n <= 0) {
                    r.ended = true;
                    continue;
                }
                lastData = Clock::now();
                r.partial.append(buf, static_cast<size_t>(n));
                size_t start = 0, cr;
                while ((cr = r.partial.find('\r', start)) != std::string::npos) {
                    const std::string_view line(r.partial.data() + start, cr - start);
                    start = cr + 1;
                    uint32_t seq = 0;
                    const bool frame = (line.size() == kFloodLine - 1 && line[0] == 't') ||
                                       (line.size() == kFdFloodLine - 1 && line[0] == 'b');
                    if (!frame || !lawicel_peer::ParseHex(line.substr(5, 8), seq)) continue;
                    if (seq != r.next) ++r.disorder;
                    r.next = seq + 1;
                    ++r.received;
                }
                r.partial.erase(0, start);
            }
            if (!r.ended && r.received < expected) all = false;
        }
        if (all) return;
    }
}

int FanOut(int clients, double seconds, bool fd) {
    FloodAdapter adapter(fd);
    Server server;
    if (!adapter.Start() ||
        !server.Start("127.0.0.1:" + std::to_string(adapter.port), fd ? "--max-clients 16 --data-bitrate 2M" : "--max-clients 16"))
        return 1;
    std::vector<Reader> readers(static_cast<size_t>(clients));
    for (Reader &r : readers)
        if ((r.fd = ConnectLoopback(server.port)) < 0 || !OpenSession(r.fd)) return 1;
    const uint64_t n = static_cast<uint64_t>(FloodRate(fd) * seconds);
    const double cpu0 = CpuSeconds(server.pid);
    const auto t0 = Clock::now();
    adapter.Flood(n);
    ReadAll(readers, n);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds(server.pid) - cpu0;
    uint64_t lost = 0, disorder = 0, least = n;
    for (const Reader &r : readers) {
        lost += n - std::min(n, r.received);
        disorder += r.disorder;
        least = std::min(least, r.received);
        close(r.fd);
    }
    std::printf("%s %d client%s: %llu frames at %.0f frames/s (3 Mbaud line), each client got >= %llu, "
                "lost %llu, out of order %llu, %.1f s; server CPU %.2f s = %.2f us per frame per client\n",
                fd ? "fd 64-byte" : "fanout", clients, clients == 1 ? "" : "s", static_cast<unsigned long long>(n),
                FloodRate(fd),
                static_cast<unsigned long long>(least), static_cast<unsigned long long>(lost),
                static_cast<unsigned long long>(disorder), took, cpu,
                cpu * 1e6 / static_cast<double>(n) / clients);
    return lost == 0 && disorder == 0 ? 0 : 1;
}

int Stall(double seconds) {
    FloodAdapter adapter;
    Server server;
    if (!adapter.Start() || !server.Start("127.0.0.1:" + std::to_string(adapter.port))) return 1;
    const int stalled = ConnectLoopback(server.port, 4096);
    if (stalled < 0 || !OpenSession(stalled)) return 1;
    std::vector<Reader> readers(4);
    for (Reader &r : readers)
        if ((r.fd = ConnectLoopback(server.port)) < 0 || !OpenSession(r.fd)) return 1;
    const uint64_t n = static_cast<uint64_t>(FloodRate(false) * seconds);
    const auto t0 = Clock::now();
    adapter.Flood(n);
    ReadAll(readers, n);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    uint64_t lost = 0, disorder = 0;
    for (const Reader &r : readers) {
        lost += n - std::min(n, r.received);
        disorder += r.disorder;
        close(r.fd);
    }
    std::printf("stall: 4 clients reading, 1 stalled, %llu frames over %.1f s: the 4 lost %llu, out of order %llu\n",
                static_cast<unsigned long long>(n), took, static_cast<unsigned long long>(lost),
                static_cast<unsigned long long>(disorder));
    for (const std::string &l : server.child.Take())
        if (l.find(" left after ") != std::string::npos) std::printf("stall: server: %s\n", l.c_str());
    close(stalled);
    return lost == 0 && disorder == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    int n = 2000;
    double seconds = 5, stallSeconds = 30;
    std::set<std::string> scenarios;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--n" && v) n = std::atoi(argv[++i]);
        else if (a == "--seconds" && v) seconds = std::atof(argv[++i]);
        else if (a == "--stall-seconds" && v) stallSeconds = std::atof(argv[++i]);
        else if (a == "--scenario" && v) scenarios.insert(argv[++i]);
        else {
            std::fprintf(stderr, "usage: korva_serve [--n N] [--seconds S] [--stall-seconds S] "
                                 "[--scenario rtt|fanout|fd|stall]...\n");
            return 2;
        }
    }
    auto runs = [&](const char *s) { return scenarios.empty() || scenarios.count(s) > 0; };
    signal(SIGPIPE, SIG_IGN);
    int rc = 0;
    if (runs("rtt")) rc |= Rtt(n);
    if (runs("fanout"))
        for (int clients : {1, 4, 8}) rc |= FanOut(clients, seconds, false);
    if (runs("fd"))
        for (int clients : {1, 4, 8}) rc |= FanOut(clients, seconds, true);
    if (runs("stall")) rc |= Stall(stallSeconds);
    return rc;
}
