// korva_soak - runs a pair of simulated adapters on one virtual bus at full
// rate for a long time, writing sequence-numbered frames through one and
// reading and checking them through the other.  Reports frames moved,
// frames lost, order errors, peak memory and CPU.
//
// With --outages N it measures reconnection instead: a steady flow of
// sequence-numbered frames is written through the first adapter, which is
// unplugged and plugged in again N times, and read through the second.
// Frames the writer was refused during an outage are written again, so a
// gap in the sequence is a frame counted as written and lost in flight.
// Reports the frames lost per outage and the time from each replug to the
// first frame that crossed afterwards.
//
// Usage: korva_soak [--seconds N] [--outages N] [--sim PATH]
#include "korva_api.h"

#include "child.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;

long StatusKb(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

CanMsg SeqFrame(uint32_t seq) {
    CanMsg m{};
    m.Identifier = 0x1ABCDE0 + (seq & 0xF);
    m.Length = 8;
    m.Flags = KORVA_FLAG_EXTENDED;
    for (int b = 0; b < 4; ++b) {
        m.Data[b] = static_cast<uint8_t>(seq >> (24 - 8 * b));
        m.Data[4 + b] = static_cast<uint8_t>(~m.Data[b]);
    }
    return m;
}

uint32_t SeqOf(const CanMsg &m) {
    return static_cast<uint32_t>(m.Data[0]) << 24 | static_cast<uint32_t>(m.Data[1]) << 16 |
           static_cast<uint32_t>(m.Data[2]) << 8 | m.Data[3];
}

LinkStats StatsOf(int32_t h) {
    LinkStats s{};
    KORVA_Ioctl(h, KORVA_IOCTL_GET_LINK_STATS, &s);
    return s;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

/* The reconnection soak (see the top of the file); tx reconnects, simA is
 * the adapter that is unplugged. */
int Outages(int cycles, Child &simA, int32_t tx, int32_t rx) {
    KORVA_Ioctl(tx, KORVA_IOCTL_SET_RECONNECT, KORVA_IOCTL_INT(1));
    KORVA_Ioctl(tx, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(6));
    KORVA_Ioctl(rx, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(0));
    constexpr auto kPeriod = std::chrono::microseconds(500); // 2000 frames/s
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> next{0}, refused{0};
    std::thread writer([&] {
        auto due = Clock::now();
        while (!stop) {
            std::this_thread::sleep_until(due);
            due += kPeriod;
            const CanMsg m = SeqFrame(next);
            uint32_t n = 0;
            if (KORVA_Write(tx, &m, 1, &n) == KORVA_ERR_OK && n == 1 && KORVA_Flush(tx) != KORVA_ERR_NO_DEVICE)
                ++next;
            else if (n == 0)
                ++refused; // written again at the next tick
            else
                ++next; // queued, then dropped by the loss: counted by the library
            if (Clock::now() - due > std::chrono::milliseconds(50)) due = Clock::now(); // no catching up after a stall
        }
    });
    uint64_t received = 0, disordered = 0; // the reader's, read after it ended
    std::atomic<uint64_t> lost{0};
    int64_t expected = 0;
    std::atomic<int64_t> lastSeen{-1};
    std::atomic<int64_t> arrivalNs{0};
    std::atomic<bool> readerStop{false};
    std::thread reader([&] {
        CanMsg buf[256];
        while (!readerStop) {
            uint32_t n = 0;
            KORVA_Read(rx, buf, 256, &n);
            if (n == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            for (uint32_t i = 0; i < n; ++i) {
                const int64_t seq = SeqOf(buf[i]);
                if (seq < expected) ++disordered;
                else lost += static_cast<uint64_t>(seq - expected);
                expected = seq + 1;
            }
            received += n;
            arrivalNs = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
            lastSeen = expected - 1;
        }
    });
    auto nowNs = [] { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); };
    std::vector<double> backMs, lostPer;
    uint64_t lostBefore = 0;
    int failed = 0;
    for (int c = 0; c < cycles && failed == 0; ++c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // steady flow
        const uint32_t losses = StatsOf(tx).Losses;
        simA.Send("unplug");
        for (int i = 0; i < 2000 && StatsOf(tx).Losses == losses; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (StatsOf(tx).Losses == losses) { std::fprintf(stderr, "cycle %d: the loss was not seen\n", c); ++failed; break; }
        // The adapter stays away 50..1050 ms, so that the replug falls
        // anywhere between two attempts.
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + (c * 397) % 1000));
        const int64_t plugged = nowNs();
        const int64_t before = lastSeen;
        simA.Send("plug");
        while (lastSeen == before && nowNs() - plugged < 20000000000LL) std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (lastSeen == before) { std::fprintf(stderr, "cycle %d: no frame after the replug\n", c); ++failed; break; }
        backMs.push_back(static_cast<double>(arrivalNs - plugged) / 1e6);
        lostPer.push_back(static_cast<double>(lost - lostBefore));
        lostBefore = lost;
        simA.Take();
    }
    stop = true;
    writer.join();
    KORVA_Flush(tx);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the last frames cross the bus
    readerStop = true;
    reader.join();
    const LinkStats s = StatsOf(tx);
    std::printf("outages: %zu cycles at 2000 frames/s: %llu frames received, %llu lost in flight (per outage: median "
                "%.0f, max %.0f), %llu out of order, %u refused while lost and written again, %u dropped from the "
                "queue; replug to first frame: median %.0f ms, 90%% %.0f ms, max %.0f ms; losses %u, reconnections %u\n",
                backMs.size(), static_cast<unsigned long long>(received), static_cast<unsigned long long>(lost.load()),
                Percentile(lostPer, 0.5), Percentile(lostPer, 1.0), static_cast<unsigned long long>(disordered),
                refused.load(), s.DroppedFrames, Percentile(backMs, 0.5), Percentile(backMs, 0.9), Percentile(backMs, 1.0),
                s.Losses, s.Reconnections);
    return failed == 0 && disordered == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    double seconds = 600;
    int outages = 0;
    std::string self = std::filesystem::canonical("/proc/self/exe").string();
    std::string simPath = (std::filesystem::path(self).parent_path().parent_path() / "tools/korva_sim/korva_sim").string();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) seconds = std::stod(argv[++i]);
        else if (a == "--outages" && i + 1 < argc) outages = std::stoi(argv[++i]);
        else if (a == "--sim" && i + 1 < argc) simPath = argv[++i];
        else {
            std::printf("usage: korva_soak [--seconds N] [--outages N] [--sim PATH]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "korva-soak-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return 1;
    const std::filesystem::path dir = tmpl;
    const std::string bus = "soak" + std::to_string(getpid());
    const std::string linkA = (dir / "ttyUSB0").string(), linkB = (dir / "ttyUSB1").string();
    Child simA, simB;
    if (!simA.Start({simPath, "--pty", linkA, "--bus", bus, "--no-log-rx"}) || !simA.WaitFor("ready", 10) ||
        !simB.Start({simPath, "--pty", linkB, "--bus", bus, "--no-log-rx"}) || !simB.WaitFor("ready", 10)) {
        std::fprintf(stderr, "the simulators did not start\n");
        return 1;
    }
    const int32_t tx = KORVA_Open(linkA.c_str(), KORVA_MODE_NORMAL);
    const int32_t rx = KORVA_Open(linkB.c_str(), KORVA_MODE_NORMAL);
    if (tx < 0 || rx < 0) {
        std::fprintf(stderr, "KORVA_Open: %d %d\n", tx, rx);
        return 1;
    }
    if (outages > 0) {
        const int rc = Outages(outages, simA, tx, rx);
        KORVA_Close(tx);
        KORVA_Close(rx);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        return rc;
    }
    KORVA_Ioctl(rx, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));

    std::atomic<bool> stop{false};
    std::atomic<uint32_t> written{0};
    std::atomic<uint64_t> receivedSoFar{0};
    // The writer stays at most this many frames ahead of the reader: as fast
    // as the whole path carries frames, without piling them up in the
    // simulators' queues.
    constexpr uint32_t kWindow = 4000;
    std::atomic<uint32_t> writeErrors{0};
    std::thread writer([&] {
        CanMsg batch[50];
        uint32_t seq = 0;
        while (!stop) {
            if (written - receivedSoFar > kWindow) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            for (CanMsg &m : batch) m = SeqFrame(seq++);
            uint32_t n = 0;
            if (KORVA_Write(tx, batch, 50, &n) != KORVA_ERR_OK) ++writeErrors;
            // Frames not taken are sent again so that the sequence has no gap.
            seq -= 50 - n;
            written += n;
        }
        KORVA_Flush(tx);
    });

    uint64_t received = 0, orderErrors = 0, damaged = 0;
    uint32_t expected = 0;
    long peakRss = 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    auto nextReport = t0 + std::chrono::seconds(60);
    CanMsg buf[500];
    auto lastFrame = Clock::now();
    while (Clock::now() - lastFrame < std::chrono::seconds(5)) {
        if (!stop && Clock::now() - t0 > std::chrono::duration<double>(seconds)) stop = true;
        uint32_t n = 0;
        KORVA_Read(rx, buf, 500, &n);
        if (n) lastFrame = Clock::now();
        for (uint32_t i = 0; i < n; ++i) {
            const CanMsg &m = buf[i];
            const uint32_t seq = SeqOf(m);
            if (seq != expected) ++orderErrors;
            expected = seq + 1;
            for (int b = 0; b < 4; ++b)
                if (m.Data[4 + b] != static_cast<uint8_t>(~m.Data[b])) ++damaged;
            if (m.Identifier != 0x1ABCDE0 + (seq & 0xF) || m.Flags != KORVA_FLAG_EXTENDED) ++damaged;
        }
        received += n;
        receivedSoFar = received;
        // The simulators' event logs are not needed here.
        simA.Take();
        simB.Take();
        if (Clock::now() >= nextReport) {
            peakRss = std::max(peakRss, StatusKb("VmRSS:"));
            std::printf("%4.0f s: %llu frames received, %llu order errors\n",
                        std::chrono::duration<double>(Clock::now() - t0).count(),
                        static_cast<unsigned long long>(received), static_cast<unsigned long long>(orderErrors));
            std::fflush(stdout);
            nextReport += std::chrono::seconds(60);
        }
        if (stop && received >= written) break;
    }
    stop = true;
    writer.join();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    uint32_t flags = 0;
    KORVA_Ioctl(rx, KORVA_IOCTL_GET_FLAGS, &flags);
    KORVA_Close(tx);
    KORVA_Close(rx);
    peakRss = std::max(peakRss, StatusKb("VmHWM:"));
    std::printf("soak: %.0f s, %u frames written, %llu received (%.0f frames/s), %lld lost, %llu order errors, "
                "%llu damaged, %u write failures, overrun %s, peak RSS %ld kB, CPU %.1f s (%.0f%% of one core)\n",
                wall, written.load(), static_cast<unsigned long long>(received),
                received / wall, static_cast<long long>(written.load()) - static_cast<long long>(received),
                static_cast<unsigned long long>(orderErrors), static_cast<unsigned long long>(damaged),
                writeErrors.load(), (flags & KORVA_STATUS_BUFFER_OVERRUN) ? "yes" : "no", peakRss, cpu,
                100 * cpu / wall);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return received == written && orderErrors == 0 && damaged == 0 ? 0 : 1;
}
