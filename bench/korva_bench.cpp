// korva_bench - measures korva_api against the simulated adapter.
//
//   receive   the simulator floods N frame lines on a pseudo-terminal as fast
//             as the line takes them while the application reads: frames/s,
//             order and loss, CPU time per frame; then python-can's slcan
//             interface reads the same stream from the same simulator, for
//             comparison of CPU time per frame.
//   latency   one frame line at a time from an adapter played on a
//             pseudo-terminal by the benchmark itself (so that the moment of
//             writing is known exactly) to the return of a blocking
//             KORVA_Read: median, 99th percentile, maximum.
//   transmit  N frames through KORVA_Write reach the simulator complete and
//             in order: frames/s.
//   fd        CAN FD: a flood of 64-byte FD frames (with bit-rate switch)
//             from a simulator of the fd dialect read with KORVA_ReadFd, as
//             fast as the line takes them and paced at 2000 frames/s (the
//             line rate of a 3 Mbaud line): frames/s, order, loss, CPU time
//             per frame.
//
// Usage: korva_bench [--frames N] [--latency N] [--tx N] [--fd N] [--no-python]
//                    [--dialect full|quiet] [--sim PATH] [--python PATH]
// --dialect quiet runs receive and transmit against a simulator of the
// quiet dialect (slcan firmware that answers no command).
#include "korva_api.h"

#include "child.h"
#include "pty_peer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/* The sequence number a flood puts in the first four data bytes. */
uint32_t SequenceOf(const uint8_t *data) {
    return static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
           static_cast<uint32_t>(data[2]) << 8 | data[3];
}

struct Options {
    uint32_t frames = 200000;
    uint32_t latencySamples = 2000;
    uint32_t txFrames = 100000;
    uint32_t fdFrames = 50000;
    bool python = true;
    std::string sim;
    std::string dialect = "full";
    std::string pythonExe = "/usr/bin/python3";
    std::string self;
};

std::filesystem::path TempDirectory() {
    std::string t = (std::filesystem::temp_directory_path() / "korva-bench-XXXXXX").string();
    return mkdtemp(t.data()) ? std::filesystem::path(t) : std::filesystem::path();
}

int Receive(const Options &o, const std::filesystem::path &dir, double &korvaCpuPerFrame) {
    const std::string link = (dir / "ttyUSB0").string();
    Child sim;
    if (!sim.Start({o.sim, "--pty", link, "--no-log-rx", "--dialect", o.dialect}) || !sim.WaitFor("ready", 10)) {
        std::fprintf(stderr, "receive: the simulator did not start\n");
        return 1;
    }
    const auto opening = Clock::now();
    const int32_t h = KORVA_Open(link.c_str(), KORVA_MODE_NORMAL);
    if (h < 0) {
        std::fprintf(stderr, "receive: KORVA_Open(%s) = %d\n", link.c_str(), h);
        return 1;
    }
    std::printf("open: KORVA_Open of a %s adapter took %.3f s\n", o.dialect.c_str(),
                std::chrono::duration<double>(Clock::now() - opening).count());
    sim.WaitFor("state open", 10);
    KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    std::vector<CanMsg> buf(1000);
    uint32_t received = 0, outOfOrder = 0, damaged = 0, expected = 0;
    const double cpu0 = CpuSeconds();
    Clock::time_point first{}, last{};
    sim.Send("flood " + std::to_string(o.frames));
    auto lastProgress = Clock::now();
    while (received < o.frames && Clock::now() - lastProgress < std::chrono::seconds(5)) {
        uint32_t n = 0;
        KORVA_Read(h, buf.data(), static_cast<uint32_t>(buf.size()), &n);
        if (n == 0) continue;
        if (received == 0) first = Clock::now();
        last = lastProgress = Clock::now();
        for (uint32_t i = 0; i < n; ++i) {
            const CanMsg &m = buf[i];
            const uint32_t seq = SequenceOf(m.Data);
            if (seq != expected) ++outOfOrder;
            expected = seq + 1;
            for (int b = 0; b < 4; ++b)
                if (m.Data[4 + b] != static_cast<uint8_t>(~m.Data[b])) ++damaged;
        }
        received += n;
    }
    const double cpu = CpuSeconds() - cpu0;
    uint32_t flags = 0;
    KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags);
    KORVA_Close(h);
    const double secs = std::chrono::duration<double>(last - first).count();
    korvaCpuPerFrame = received ? cpu / received : 0;
    std::printf("receive: %u of %u frames, %u out of order, %u damaged, overrun %s\n", received, o.frames, outOfOrder,
                damaged, (flags & KORVA_STATUS_BUFFER_OVERRUN) ? "yes" : "no");
    std::printf("receive: %.0f frames/s, korva CPU %.2f us/frame\n", secs > 0 ? received / secs : 0.0,
                korvaCpuPerFrame * 1e6);

    if (!o.python) return received == o.frames && outOfOrder == 0 && damaged == 0 ? 0 : 1;
    // python-can on the same simulator, the same stream.
    const std::filesystem::path script = std::filesystem::path(o.self).parent_path() / "pycan_read.py";
    Child py;
    sim.Take();
    if (!py.Start({o.pythonExe, script.string(), link, std::to_string(o.frames)}) || !py.WaitFor("ready", 20)) {
        std::fprintf(stderr, "receive: python-can did not start (%s)\n", script.c_str());
        return 1;
    }
    sim.WaitFor("state open", 10);
    sim.Send("flood " + std::to_string(o.frames));
    auto result = py.WaitFor("result", 600);
    if (!result) {
        std::fprintf(stderr, "receive: python-can gave no result\n");
        return 1;
    }
    double pyFrames = 0, pyCpu = 0, pyWall = 0;
    std::sscanf(result->c_str(), "result frames=%lf cpu=%lf wall=%lf", &pyFrames, &pyCpu, &pyWall);
    const double pyPer = pyFrames > 0 ? pyCpu / pyFrames : 0;
    std::printf("receive: python-can %.0f frames, %.0f frames/s, CPU %.2f us/frame; korva uses 1/%.0f of that\n",
                pyFrames, pyWall > 0 ? pyFrames / pyWall : 0.0, pyPer * 1e6,
                korvaCpuPerFrame > 0 ? pyPer / korvaCpuPerFrame : 0.0);
    return received == o.frames && outOfOrder == 0 && damaged == 0 ? 0 : 1;
}

// The benchmark plays a quiet adapter: it answers the open handshake, then
// writes one frame line at a time.
int Latency(const Options &o, const std::filesystem::path &dir) {
    PtyLink pty;
    const std::string link = (dir / "ttyUSB9").string();
    if (!pty.Open(link)) return 1;
    const int master = pty.master;
    const int32_t h = OpenAnswering(pty, link);
    if (h < 0) {
        std::fprintf(stderr, "latency: KORVA_Open = %d\n", h);
        return 1;
    }
    KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Let the reader drain the open command's reply first.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<double> ms;
    char junk[256];
    for (uint32_t i = 0; i < o.latencySamples; ++i) {
        while (read(master, junk, sizeof junk) > 0) {
        }
        char line[32];
        const int len = std::snprintf(line, sizeof line, "t1238%08X%08X\r", i, ~i);
        const auto t0 = Clock::now();
        if (write(master, line, static_cast<size_t>(len)) != len) break;
        CanMsg m{};
        uint32_t n = 0;
        KORVA_Read(h, &m, 1, &n);
        const auto t1 = Clock::now();
        if (n == 1) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    KORVA_Close(h);
    if (ms.empty()) return 1;
    const Figures f = FiguresOf(ms);
    std::printf("latency: %zu samples, median %.2f ms, 99th percentile %.2f ms, max %.2f ms\n", f.count, f.median,
                f.p99, f.max);
    return 0;
}

int Transmit(const Options &o, const std::filesystem::path &dir) {
    const std::string link = (dir / "ttyUSB1").string();
    Child sim;
    if (!sim.Start({o.sim, "--pty", link, "--dialect", o.dialect}) || !sim.WaitFor("ready", 10)) return 1;
    const int32_t h = KORVA_Open(link.c_str(), KORVA_MODE_NORMAL);
    if (h < 0) {
        std::fprintf(stderr, "transmit: KORVA_Open = %d\n", h);
        return 1;
    }
    sim.WaitFor("state open", 10);
    sim.Take();
    std::vector<CanMsg> batch(100);
    const auto t0 = Clock::now();
    uint32_t sent = 0, failures = 0;
    while (sent < o.txFrames) {
        const uint32_t count = std::min<uint32_t>(100, o.txFrames - sent);
        for (uint32_t i = 0; i < count; ++i) {
            CanMsg &m = batch[i];
            m = CanMsg{};
            m.Identifier = 0x100;
            m.Length = 8;
            m.Flags = KORVA_FLAG_STANDARD;
            const uint32_t seq = sent + i;
            for (int b = 0; b < 4; ++b) {
                m.Data[b] = static_cast<uint8_t>(seq >> (24 - 8 * b));
                m.Data[4 + b] = static_cast<uint8_t>(~m.Data[b]);
            }
        }
        uint32_t n = 0;
        if (KORVA_Write(h, batch.data(), count, &n) != KORVA_ERR_OK) ++failures;
        sent += n;
        if (n == 0) break;
    }
    KORVA_Flush(h);
    // Count the frames the simulator took, in order.
    uint32_t seen = 0, outOfOrder = 0;
    Clock::time_point last = Clock::now();
    auto quietSince = Clock::now();
    while (seen < sent && Clock::now() - quietSince < std::chrono::seconds(10)) {
        auto lines = sim.Take();
        if (lines.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        quietSince = Clock::now();
        for (const std::string &l : lines) {
            if (l.rfind("rx t1008", 0) != 0) continue;
            const uint32_t seq = static_cast<uint32_t>(std::strtoul(l.substr(8, 8).c_str(), nullptr, 16));
            if (seq != seen) ++outOfOrder;
            seen = seq + 1;
            last = Clock::now();
        }
    }
    KORVA_Close(h);
    const double secs = std::chrono::duration<double>(last - t0).count();
    std::printf("transmit: %u of %u frames reached the simulator, %u out of order, %u failed writes, %.0f frames/s\n",
                seen, o.txFrames, outOfOrder, failures, secs > 0 ? seen / secs : 0.0);
    return seen == o.txFrames && outOfOrder == 0 ? 0 : 1;
}

/* Reads count FD frames with KORVA_ReadFd while the simulator sends them;
 * checks order (a flood numbers its frames; paced is false for repeated
 * frames) and the data pattern, and prints one line of figures. */
bool ReadFdStream(int32_t h, uint32_t count, bool numbered, const char *what) {
    std::vector<CanFdMsg> buf(500);
    uint32_t received = 0, outOfOrder = 0, damaged = 0, expected = 0;
    const double cpu0 = CpuSeconds();
    Clock::time_point first{}, last{};
    auto lastProgress = Clock::now();
    while (received < count && Clock::now() - lastProgress < std::chrono::seconds(5)) {
        uint32_t n = 0;
        KORVA_ReadFd(h, buf.data(), static_cast<uint32_t>(buf.size()), &n);
        if (n == 0) continue;
        if (received == 0) first = Clock::now();
        last = lastProgress = Clock::now();
        for (uint32_t i = 0; i < n; ++i) {
            const CanFdMsg &m = buf[i];
            if (m.Length != 64 || (m.Flags & (KORVA_FLAG_FD | KORVA_FLAG_BRS)) != (KORVA_FLAG_FD | KORVA_FLAG_BRS))
                ++damaged;
            for (int b = 4; b < 64; ++b)
                if (m.Data[b] != static_cast<uint8_t>(~m.Data[b - 4])) ++damaged;
            if (!numbered) continue;
            const uint32_t seq = SequenceOf(m.Data);
            if (seq != expected) ++outOfOrder;
            expected = seq + 1;
        }
        received += n;
    }
    const double cpu = CpuSeconds() - cpu0;
    const double secs = std::chrono::duration<double>(last - first).count();
    std::printf("fd %s: %u of %u 64-byte frames, %u out of order, %u damaged, %.0f frames/s, korva CPU %.2f us/frame\n",
                what, received, count, outOfOrder, damaged, secs > 0 ? received / secs : 0.0,
                received ? cpu / received * 1e6 : 0.0);
    return received == count && outOfOrder == 0 && damaged == 0;
}

int FdReceive(const Options &o, const std::filesystem::path &dir) {
    const std::string link = (dir / "ttyUSB2").string();
    Child sim;
    if (!sim.Start({o.sim, "--pty", link, "--no-log-rx", "--dialect", "fd"}) || !sim.WaitFor("ready", 10)) {
        std::fprintf(stderr, "fd: the simulator did not start\n");
        return 1;
    }
    const int32_t h = KORVA_Open(link.c_str(), KORVA_MODE_NORMAL);
    if (h < 0 || KORVA_Ioctl(h, KORVA_IOCTL_SET_DATA_BITRATE, KORVA_IOCTL_INT(2)) != 0) {
        std::fprintf(stderr, "fd: KORVA_Open(%s) = %d, or no data bit rate\n", link.c_str(), h);
        return 1;
    }
    sim.WaitFor("state open", 10);
    KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    sim.Send("flood " + std::to_string(o.fdFrames) + " len=64");
    bool ok = ReadFdStream(h, o.fdFrames, true, "flood");
    // 2000 frames/s: two senders of one frame each millisecond, 2 s long.
    std::string line = "b100F";
    for (int i = 0; i < 64; ++i) line += i % 8 < 4 ? "00" : "FF";
    sim.Send("send " + line + " every=1 count=2000");
    sim.Send("send " + line + " every=1 count=2000");
    ok = ReadFdStream(h, 4000, false, "at 2000 frames/s") && ok;
    uint32_t flags = 0;
    KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags);
    KORVA_Close(h);
    if (flags & KORVA_STATUS_BUFFER_OVERRUN) std::printf("fd: the receive ring overflowed\n");
    return ok && !(flags & KORVA_STATUS_BUFFER_OVERRUN) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options o;
    o.self = std::filesystem::canonical("/proc/self/exe").string();
    o.sim = (std::filesystem::path(o.self).parent_path().parent_path() / "tools/korva_sim/korva_sim").string();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--frames") o.frames = static_cast<uint32_t>(std::stoul(next()));
        else if (a == "--latency") o.latencySamples = static_cast<uint32_t>(std::stoul(next()));
        else if (a == "--tx") o.txFrames = static_cast<uint32_t>(std::stoul(next()));
        else if (a == "--fd") o.fdFrames = static_cast<uint32_t>(std::stoul(next()));
        else if (a == "--no-python") o.python = false;
        else if (a == "--sim") o.sim = next();
        else if (a == "--dialect") o.dialect = next();
        else if (a == "--python") o.pythonExe = next();
        else {
            std::printf("usage: korva_bench [--frames N] [--latency N] [--tx N] [--fd N] [--no-python]\n"
                        "                   [--dialect full|quiet]\n"
                        "                   [--sim PATH] [--python PATH]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    const std::filesystem::path dir = TempDirectory();
    double perFrame = 0;
    int rc = Receive(o, dir, perFrame);
    rc |= Latency(o, dir);
    rc |= Transmit(o, dir);
    if (o.fdFrames != 0) rc |= FdReceive(o, dir);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
