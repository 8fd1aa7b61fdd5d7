// korva_rtt - request/response round trips, writes without a flush, and
// configuration calls through korva_api, against an adapter that the
// benchmark plays itself (so that the moment it reads or writes a line is
// known exactly) and that answers at once.
//
//   rtt     KORVA_Write of a request frame (identifier 7E0) and KORVA_Flush,
//           then blocking KORVA_Read until the answer (identifier 7E8, the
//           same data) is there.  The adapter answers each frame line at
//           once as a full Lawicel adapter does: "z\r", then the answer, in
//           two writes.  With background traffic it also sends a short frame
//           line (identifier 100) every 1.8 ms.  Besides the round trip:
//           request to the adapter ("out"), adapter's answer to the return
//           of KORVA_Read ("back").
//   write   KORVA_Write of one frame without KORVA_Flush until the adapter
//           has read its line: after a 5 ms idle gap, back to back (the next
//           frame as soon as the previous one arrived), and in bursts of 10.
//   config  KORVA_Open, a bit-rate change (KORVA_IOCTL_SET_SPEED) and
//           KORVA_Close, each timed.
//
// Adapters: a pseudo-terminal linked as ttyUSB0 (pty), TCP on 127.0.0.1
// with TCP_NODELAY on the adapter's socket (tcp), and TCP with Nagle's
// algorithm left on there (tcp-nagle), as small gateways do.
//
// Usage: korva_rtt [--n N] [--reps N] [--pty] [--tcp] [--tcp-nagle]
//                  [--background | --alone] [--scenario rtt|write|config]...
//        korva_rtt --serve pty|tcp|tcp-nagle [--background]
// Without --pty/--tcp/--tcp-nagle all three run; without --scenario all
// scenarios; without --background/--alone round trips run both alone and
// with background traffic.  --serve only plays the adapter (for
// bench/pycan_rtt.py): it prints "ready NAME" (the link, or
// 127.0.0.1:PORT) and serves until its standard input ends.
#include "korva_api.h"

#include "pty_peer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRequestId = 0x7E0, kAnswerId = 0x7E8, kWriteId = 0x321, kBackgroundId = 0x100;
constexpr uint32_t kNudgeId = 0x7FF;
constexpr auto kBackgroundPeriod = std::chrono::microseconds(1800);

enum class Line { Pty, Tcp, TcpNagle };

const char *LineName(Line l) { return l == Line::Pty ? "pty" : l == Line::Tcp ? "tcp" : "tcp-nagle"; }

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// When the adapter read a frame line, and when it had written its answer.
struct Arrival {
    Clock::time_point read, answered;
};

// The adapter: answers every command line at once, answers request frames
// with answer frames, optionally sends background frames, and records when
// request and write frames arrived (by the sequence number in their data).
class Peer {
public:
    bool Start(Line line, const fs::path &dir) {
        line_ = line;
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        if (line == Line::Pty) {
            name_ = (dir / "ttyUSB0").string();
            if (!pty_.Open(name_)) return false;
            fcntl(pty_.master, F_SETFL, fcntl(pty_.master, F_GETFL) | O_NONBLOCK);
        } else {
            listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof a;
            if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
                listen(listen_, 4) != 0 || getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
                return false;
            name_ = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        }
        thread_ = std::thread([this] { Run(); });
        return true;
    }
    Peer() = default;
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;
    ~Peer() {
        stop_ = true;
        Wake();
        if (thread_.joinable()) thread_.join();
        for (int fd : {listen_, client_, wake_[0], wake_[1]})
            if (fd >= 0) close(fd);
    }
    const std::string &Name() const { return name_; }
    void SetBackground(bool on) {
        background_ = on;
        Wake();
    }
    // Sends a frame of its own, so that a KORVA_Read waiting for an answer
    // that never came returns.
    void Nudge() {
        nudge_ = true;
        Wake();
    }
    std::optional<Arrival> WaitArrival(uint32_t seq, double seconds) {
        std::unique_lock<std::mutex> g(lock_);
        if (!cv_.wait_for(g, std::chrono::duration<double>(seconds), [&] { return arrivals_.count(seq) != 0; }))
            return std::nullopt;
        const Arrival a = arrivals_[seq];
        arrivals_.erase(seq);
        return a;
    }
    void Forget() {
        std::lock_guard<std::mutex> g(lock_);
        arrivals_.clear();
    }

private:
    int LineFd() const { return line_ == Line::Pty ? pty_.master : client_; }
    void Wake() {
        [[maybe_unused]] ssize_t n = write(wake_[1], "w", 1);
    }
    // One write per call, as an adapter's firmware sends each reply.
    void Send(std::string_view s) {
        if (LineFd() >= 0) {
            [[maybe_unused]] ssize_t n = write(LineFd(), s.data(), s.size());
        }
    }
    void Accept() {
        const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        if (client_ >= 0) close(client_);
        client_ = fd;
        open_ = false;
        partial_.clear();
        const int on = 1;
        if (line_ == Line::Tcp) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    void Command(const std::string &cmd, Clock::time_point at) {
        Send(AdapterReply(cmd));
        if (cmd == "O" || cmd == "L" || cmd == "Y") open_ = true;
        if (cmd == "C") open_ = false;
        // tIIIL and the data: the sequence number is the first four bytes.
        if (cmd.size() < 13 || cmd[0] != 't') return;
        const uint32_t id = static_cast<uint32_t>(std::strtoul(cmd.substr(1, 3).c_str(), nullptr, 16));
        if (id != kRequestId && id != kWriteId) return;
        const uint32_t seq = static_cast<uint32_t>(std::strtoul(cmd.substr(5, 8).c_str(), nullptr, 16));
        Arrival a{at, at};
        if (id == kRequestId) {
            Send("t7E8" + cmd.substr(4) + "\r");
            a.answered = Clock::now();
        }
        std::lock_guard<std::mutex> g(lock_);
        arrivals_[seq] = a;
        cv_.notify_all();
    }
    void Run() {
        auto due = Clock::now();
        char buf[4096];
        while (!stop_) {
            const bool sending = background_ && open_ && LineFd() >= 0;
            if (!sending) due = Clock::now();
            else if (Clock::now() >= due) {
                char l[16];
                std::snprintf(l, sizeof l, "t%03X1%02X\r", kBackgroundId, backgroundCount_++ & 0xFF);
                Send(l);
                due += kBackgroundPeriod;
                if (due < Clock::now()) due = Clock::now() + kBackgroundPeriod; // no catching up in a burst
                continue;
            }
            pollfd p[3];
            nfds_t n = 0;
            p[n++] = {wake_[0], POLLIN, 0};
            const nfds_t listenAt = listen_ >= 0 ? n++ : 0, lineAt = LineFd() >= 0 ? n++ : 0;
            if (listenAt) p[listenAt] = {listen_, POLLIN, 0};
            if (lineAt) p[lineAt] = {LineFd(), POLLIN, 0};
            timespec ts{};
            if (sending) {
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now()).count();
                ts = {static_cast<time_t>(std::max<long long>(ns, 0) / 1000000000),
                      static_cast<long>(std::max<long long>(ns, 0) % 1000000000)};
            }
            if (ppoll(p, n, sending ? &ts : nullptr, nullptr) < 0 && errno != EINTR) break;
            const auto at = Clock::now();
            if (p[0].revents) {
                while (read(wake_[0], buf, sizeof buf) > 0) {
                }
                if (nudge_.exchange(false)) {
                    char l[16];
                    std::snprintf(l, sizeof l, "t%03X0\r", kNudgeId);
                    Send(l);
                }
            }
            if (listenAt && p[listenAt].revents) Accept();
            if (!lineAt || !p[lineAt].revents) continue;
            const ssize_t got = read(LineFd(), buf, sizeof buf);
            if (got <= 0) {
                if (line_ != Line::Pty && (got == 0 || errno != EAGAIN)) {
                    close(client_);
                    client_ = -1;
                    open_ = false;
                }
                continue;
            }
            for (ssize_t i = 0; i < got; ++i) {
                if (buf[i] == '\r') {
                    Command(partial_, at);
                    partial_.clear();
                } else if (buf[i] != '\n') {
                    partial_ += buf[i];
                }
            }
        }
    }

    Line line_ = Line::Pty;
    PtyLink pty_;
    int listen_ = -1, client_ = -1;
    int wake_[2] = {-1, -1};
    std::string name_, partial_;
    bool open_ = false; // the CAN channel, by "O"/"L"/"Y" and "C"
    uint32_t backgroundCount_ = 0;
    std::atomic<bool> background_{false}, nudge_{false}, stop_{false};
    std::mutex lock_;
    std::condition_variable cv_;
    std::map<uint32_t, Arrival> arrivals_;
    std::thread thread_;
};

CanMsg Frame(uint32_t id, uint32_t seq) {
    CanMsg m{};
    m.Identifier = id;
    m.Length = 8;
    m.Flags = KORVA_FLAG_STANDARD;
    for (int b = 0; b < 4; ++b) {
        m.Data[b] = static_cast<uint8_t>(seq >> (24 - 8 * b));
        m.Data[4 + b] = static_cast<uint8_t>(~m.Data[b]);
    }
    return m;
}

uint32_t SequenceOf(const CanMsg &m) {
    return static_cast<uint32_t>(m.Data[0]) << 24 | static_cast<uint32_t>(m.Data[1]) << 16 |
           static_cast<uint32_t>(m.Data[2]) << 8 | m.Data[3];
}

void PrintRow(const std::string &what, const Figures &f, size_t asked) {
    std::printf("%-50s %5zu %9.3f %9.3f %9.3f", what.c_str(), f.count, f.median, f.p99, f.max);
    if (f.count < asked) std::printf("   %zu LOST", asked - f.count);
    std::printf("\n");
}

// Nudges the adapter when a round trip has waited more than two seconds.
class Watchdog {
public:
    explicit Watchdog(Peer &peer)
        : thread_([this, &peer] {
              std::unique_lock<std::mutex> g(lock_);
              while (!done_) {
                  cv_.wait_for(g, std::chrono::milliseconds(100));
                  if (since_ && Clock::now() - *since_ > std::chrono::seconds(2)) {
                      since_.reset();
                      peer.Nudge();
                  }
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> g(lock_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void Begin() {
        std::lock_guard<std::mutex> g(lock_);
        since_ = Clock::now();
    }
    void End() {
        std::lock_guard<std::mutex> g(lock_);
        since_.reset();
    }

private:
    std::mutex lock_;
    std::condition_variable cv_;
    std::optional<Clock::time_point> since_;
    bool done_ = false;
    std::thread thread_;
};

int RoundTrips(Peer &peer, int32_t h, uint32_t n, bool background, const std::string &label) {
    peer.Forget();
    peer.SetBackground(background);
    if (background) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<double> rtt, out, back;
    std::vector<CanMsg> buf(64);
    int rc = 0;
    {
        Watchdog watchdog(peer);
        for (uint32_t i = 0; i < n && rc == 0; ++i) {
            const CanMsg request = Frame(kRequestId, i);
            uint32_t count = 0;
            watchdog.Begin();
            const auto t0 = Clock::now();
            if (KORVA_Write(h, &request, 1, &count) != 0 || count != 1 || KORVA_Flush(h) != 0) {
                rc = 1;
                break;
            }
            bool answered = false, nudged = false;
            while (!answered && !nudged) {
                if (KORVA_Read(h, buf.data(), static_cast<uint32_t>(buf.size()), &count) != 0) {
                    rc = 1;
                    break;
                }
                for (uint32_t k = 0; k < count; ++k) {
                    answered |= buf[k].Identifier == kAnswerId && SequenceOf(buf[k]) == i;
                    nudged |= buf[k].Identifier == kNudgeId;
                }
            }
            const auto t1 = Clock::now();
            watchdog.End();
            if (!answered) continue;
            rtt.push_back(Ms(t1 - t0));
            if (const auto a = peer.WaitArrival(i, 2)) {
                out.push_back(Ms(a->read - t0));
                back.push_back(Ms(t1 - a->answered));
            }
        }
    }
    peer.SetBackground(false);
    PrintRow("round trip, " + label, FiguresOf(rtt), n);
    PrintRow("  request -> adapter", FiguresOf(out), n);
    PrintRow("  answer -> KORVA_Read", FiguresOf(back), n);
    return rc != 0 || rtt.size() < n;
}

// Frames through KORVA_Write alone, `burst` at a time, `gap` between.
int Writes(Peer &peer, int32_t h, uint32_t n, uint32_t burst, std::chrono::milliseconds gap, const std::string &label) {
    static uint32_t next = 0x10000000;
    peer.Forget();
    std::vector<double> ms;
    for (uint32_t i = 0; i < n; i += burst) {
        std::vector<Clock::time_point> t0;
        const uint32_t first = next;
        for (uint32_t k = 0; k < burst && i + k < n; ++k) {
            const CanMsg m = Frame(kWriteId, next++);
            uint32_t count = 0;
            t0.push_back(Clock::now());
            if (KORVA_Write(h, &m, 1, &count) != 0 || count != 1) return 1;
        }
        for (uint32_t k = 0; k < t0.size(); ++k)
            if (const auto a = peer.WaitArrival(first + k, 3)) ms.push_back(Ms(a->read - t0[k]));
        std::this_thread::sleep_for(gap);
    }
    PrintRow("write, no flush -> line, " + label, FiguresOf(ms), n);
    return ms.size() < n;
}

int Config(Peer &peer, uint32_t reps, Line line) {
    std::vector<double> open, speed, close;
    int rc = 0;
    for (uint32_t i = 0; i < reps; ++i) {
        const auto t0 = Clock::now();
        const int32_t h = KORVA_Open(peer.Name().c_str(), KORVA_MODE_NORMAL);
        const auto t1 = Clock::now();
        if (h < 0) {
            std::fprintf(stderr, "config: KORVA_Open(%s) = %d\n", peer.Name().c_str(), h);
            return 1;
        }
        open.push_back(Ms(t1 - t0));
        const int32_t set = KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(i % 2 ? 6 : 8));
        const auto t2 = Clock::now();
        if (set == 0) speed.push_back(Ms(t2 - t1));
        else rc = 1;
        KORVA_Close(h);
        close.push_back(Ms(Clock::now() - t2));
    }
    const std::string on = std::string(", ") + LineName(line);
    PrintRow("KORVA_Open" + on, FiguresOf(open), reps);
    PrintRow("KORVA_Ioctl SET_SPEED" + on, FiguresOf(speed), reps);
    PrintRow("KORVA_Close" + on, FiguresOf(close), reps);
    return rc;
}

struct Options {
    uint32_t n = 500, reps = 20;
    std::vector<Line> lines;
    std::vector<bool> backgrounds;
    std::vector<std::string> scenarios;
    std::optional<Line> serve;
    bool serveBackground = false;
};

bool Runs(const Options &o, const std::string &scenario) {
    return o.scenarios.empty() || std::find(o.scenarios.begin(), o.scenarios.end(), scenario) != o.scenarios.end();
}

int32_t Open(Peer &peer) {
    const int32_t h = KORVA_Open(peer.Name().c_str(), KORVA_MODE_NORMAL);
    if (h < 0) std::fprintf(stderr, "korva_rtt: KORVA_Open(%s) = %d\n", peer.Name().c_str(), h);
    else KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    return h;
}

int Run(const Options &o, Line line, const fs::path &dir) {
    Peer peer;
    if (!peer.Start(line, dir)) {
        std::fprintf(stderr, "korva_rtt: the %s adapter did not start\n", LineName(line));
        return 1;
    }
    int rc = 0;
    const std::string on = LineName(line);
    if (Runs(o, "rtt")) {
        const int32_t h = Open(peer);
        if (h < 0) return 1;
        for (bool background : o.backgrounds)
            rc |= RoundTrips(peer, h, o.n, background, on + (background ? " + background" : ""));
        KORVA_Close(h);
    }
    if (Runs(o, "write")) {
        const int32_t h = Open(peer);
        if (h < 0) return 1;
        rc |= Writes(peer, h, o.n, 1, std::chrono::milliseconds(5), on + ", 5 ms gap");
        rc |= Writes(peer, h, o.n, 1, std::chrono::milliseconds(0), on + ", back to back");
        rc |= Writes(peer, h, o.n, 10, std::chrono::milliseconds(5), on + ", bursts of 10");
        KORVA_Close(h);
    }
    if (Runs(o, "config")) rc |= Config(peer, o.reps, line);
    return rc;
}

int Serve(const Options &o, const fs::path &dir) {
    Peer peer;
    if (!peer.Start(*o.serve, dir)) return 1;
    peer.SetBackground(o.serveBackground);
    std::printf("ready %s\n", peer.Name().c_str());
    for (std::string l; std::getline(std::cin, l);) {
    }
    return 0;
}

bool LineOf(const std::string &s, Line &line) {
    for (Line l : {Line::Pty, Line::Tcp, Line::TcpNagle})
        if (s == LineName(l)) return line = l, true;
    return false;
}

} // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        Line line = Line::Pty;
        if (a == "--n") o.n = static_cast<uint32_t>(std::strtoul(next().c_str(), nullptr, 10));
        else if (a == "--reps") o.reps = static_cast<uint32_t>(std::strtoul(next().c_str(), nullptr, 10));
        else if (a.size() > 2 && LineOf(a.substr(2), line)) o.lines.push_back(line);
        else if (a == "--background") o.backgrounds = {true}, o.serveBackground = true;
        else if (a == "--alone") o.backgrounds = {false};
        else if (a == "--scenario") o.scenarios.push_back(next());
        else if (a == "--serve" && LineOf(next(), line)) o.serve = line;
        else {
            std::printf("usage: korva_rtt [--n N] [--reps N] [--pty] [--tcp] [--tcp-nagle] [--background | --alone]\n"
                        "                 [--scenario rtt|write|config]...\n"
                        "       korva_rtt --serve pty|tcp|tcp-nagle [--background]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    if (o.lines.empty()) o.lines = {Line::Pty, Line::Tcp, Line::TcpNagle};
    if (o.backgrounds.empty()) o.backgrounds = {false, true};
    std::string tmpl = (fs::temp_directory_path() / "korva-rtt-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return 1;
    const fs::path dir = tmpl;
    int rc = 0;
    if (o.serve) {
        rc = Serve(o, dir);
    } else {
        ApiVersion v{};
        KORVA_Ioctl(0, KORVA_IOCTL_GET_API_VERSION, &v);
        std::string load;
        std::getline(std::ifstream("/proc/loadavg"), load);
        std::printf("korva_rtt: korva_api %u.%u.%u, %u round trips and writes, %u configuration cycles; load %s\n",
                    v.Major, v.Minor, v.SubMinor, o.n, o.reps, load.c_str());
        std::printf("%-50s %5s %9s %9s %9s\n", "ms", "n", "median", "p99", "max");
        for (Line line : o.lines) rc |= Run(o, line, dir);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return rc;
}
