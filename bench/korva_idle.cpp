// korva_idle - what open adapters cost while nothing happens, and how fast
// they answer after a long quiet spell.
//
//   wake-ups  1, 16 and 64 adapters (korva_sim on pseudo-terminals, korva_sim
//             over TCP, LinCAN devices played by pseudo-terminals named
//             canN) stay open and quiet; the threads korva started are
//             counted: voluntary context switches (wake-ups) per second per
//             adapter and CPU time per second, from /proc/self/task.
//   mapper    the PEAK mapper's notification thread (the native build of the
//             mapper over libkorva_api.so) while no frame arrives.
//   latency   after an idle spell, a frame line written by the benchmark on
//             its own pseudo-terminal adapter until a blocking KORVA_Read
//             returns it, and a frame given to KORVA_Write (no KORVA_Flush)
//             until its text reaches the line.
//
// Usage: korva_idle [--seconds S] [--idle S] [--samples N] [--counts 1,16,64]
//                   [--sim PATH]
#include "korva_api.h"
#include "mapper.h"
#include "mapper_os.h"

#include "child.h"
#include "pty_peer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <semaphore.h>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    double seconds = 5;
    double idle = 10;
    int samples = 3;
    std::vector<int> counts = {1, 16, 64};
    std::string sim;
};

std::set<int> Tasks() {
    std::set<int> ids;
    for (const auto &e : fs::directory_iterator("/proc/self/task")) ids.insert(std::stoi(e.path().filename()));
    return ids;
}

// Voluntary context switches and nanoseconds on the processor of a thread.
struct Usage {
    long long switches = 0;
    long long cpuNs = 0;
};

Usage UsageOf(const std::set<int> &tids) {
    Usage u;
    for (int tid : tids) {
        const std::string base = "/proc/self/task/" + std::to_string(tid);
        std::ifstream status(base + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) u.switches += std::atoll(line.c_str() + 24);
        std::ifstream sched(base + "/schedstat");
        long long ns = 0;
        if (sched >> ns) u.cpuNs += ns;
    }
    return u;
}

// Measures the threads in tids for o.seconds; prints one figure line.
void Report(const char *what, int adapters, const std::set<int> &tids, double seconds) {
    const Usage a = UsageOf(tids);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Usage b = UsageOf(tids);
    const double wakes = static_cast<double>(b.switches - a.switches) / seconds;
    const double cpuMs = static_cast<double>(b.cpuNs - a.cpuNs) / 1e6 / seconds;
    std::printf("idle %-8s %3d adapters, %3zu threads: %8.1f wake-ups/s (%6.2f per adapter), CPU %7.3f ms/s "
                "(%6.3f per adapter)\n",
                what, adapters, tids.size(), wakes, wakes / adapters, cpuMs, cpuMs / adapters);
}

std::set<int> NewTasks(const std::set<int> &before) {
    std::set<int> after = Tasks(), fresh;
    for (int t : after)
        if (!before.count(t)) fresh.insert(t);
    return fresh;
}

int32_t OpenRetrying(const std::string &name) {
    int32_t h = KORVA_ERR_NO_DEVICE;
    for (int i = 0; i < 5 && h == KORVA_ERR_NO_DEVICE; ++i) h = KORVA_Open(name.c_str(), KORVA_MODE_NORMAL);
    return h;
}

int Adapters(const Options &o, const fs::path &dir, const std::string &transport, int count) {
    std::vector<std::unique_ptr<Child>> sims;
    std::vector<std::unique_ptr<PtyLink>> ptys;
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        if (transport == "lincan") {
            auto p = std::make_unique<PtyLink>();
            const fs::path link = dir / ("can" + std::to_string(i));
            if (!p->Open(link)) return 1;
            names.push_back(link.string());
            ptys.push_back(std::move(p));
            continue;
        }
        auto sim = std::make_unique<Child>();
        const std::string link = (dir / ("ttyUSB" + std::to_string(i))).string();
        const bool tcp = transport == "tcp";
        std::vector<std::string> args = {o.sim, tcp ? "--tcp" : "--pty", tcp ? "0" : link, "--no-log-rx"};
        if (!sim->Start(args)) return 1;
        const auto ready = sim->WaitFor("ready", 20);
        if (!ready) return 1;
        names.push_back(tcp ? "127.0.0.1:" + ready->substr(ready->find("tcp=") + 4) : link);
        sims.push_back(std::move(sim));
    }
    const std::set<int> before = Tasks();
    std::vector<int32_t> handles;
    for (const std::string &n : names) {
        const int32_t h = OpenRetrying(n);
        if (h <= 0) {
            std::fprintf(stderr, "idle: KORVA_Open(%s) = %d\n", n.c_str(), h);
            return 1;
        }
        handles.push_back(h);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the open replies are read
    Report(transport.c_str(), count, NewTasks(before), o.seconds);
    const auto t0 = Clock::now();
    for (int32_t h : handles) KORVA_Close(h);
    std::printf("idle %-8s %3d adapters closed in %.0f ms\n", transport.c_str(), count,
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    return 0;
}

int Mapper(const Options &o, const fs::path &dir) {
    const std::string link = (dir / "ttyUSB99").string();
    Child sim;
    if (!sim.Start({o.sim, "--pty", link, "--no-log-rx"}) || !sim.WaitFor("ready", 20)) return 1;
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    std::ofstream(dir / "korva.ini") << "[korva_mapper_peak.dll]\nPort = " << link << "\n";
    OsPosixSetLibraryPath(KORVA_API_LIBRARY);
    OsPosixSetModulePath("C:\\bench\\korva_mapper_peak.dll");
    int rc = 1;
    if (MapperEntry(nullptr, MAPPER_PROCESS_ATTACH, nullptr) == 1) {
        uint32_t init = PEAK_RESULT_INIT_FAILED;
        for (int i = 0; i < 5 && init != PEAK_RESULT_OK; ++i) init = CAN_Init(0x001C, 0);
        sem_t event;
        sem_init(&event, 0, 0);
        const std::set<int> before = Tasks();
        if (init == PEAK_RESULT_OK && CAN_SetRcvEvent(&event) == PEAK_RESULT_OK) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            Report("notify", 1, NewTasks(before), o.seconds);
            rc = 0;
        }
        CAN_Close();
        MapperEntry(nullptr, MAPPER_PROCESS_DETACH, nullptr);
        sem_destroy(&event);
    }
    fs::current_path(old);
    return rc;
}

// The benchmark plays a quiet adapter on its own pseudo-terminal.
int Latency(const Options &o, const fs::path &dir) {
    PtyLink pty;
    const fs::path link = dir / "ttyUSB98";
    if (!pty.Open(link)) return 1;
    const int32_t h = OpenAnswering(pty, link.string());
    if (h < 0) return 1;
    KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    char junk[256];
    std::vector<double> rx, tx;
    for (int i = 0; i < o.samples; ++i) {
        std::this_thread::sleep_for(std::chrono::duration<double>(o.idle));
        while (read(pty.master, junk, sizeof junk) > 0) {
        }
        auto t0 = Clock::now();
        if (write(pty.master, "t1232AABB\r", 10) != 10) break;
        CanMsg m{};
        uint32_t n = 0;
        KORVA_Read(h, &m, 1, &n);
        if (n == 1) rx.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());

        std::this_thread::sleep_for(std::chrono::duration<double>(o.idle));
        CanMsg out{};
        out.Identifier = 0x321;
        out.Flags = KORVA_FLAG_STANDARD;
        std::string seen;
        t0 = Clock::now();
        KORVA_Write(h, &out, 1, &n);
        while (seen.find("t3210\r") == std::string::npos && Clock::now() - t0 < std::chrono::seconds(2)) {
            pollfd p{pty.master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t got = read(pty.master, junk, sizeof junk);
            if (got > 0) seen.append(junk, static_cast<size_t>(got));
        }
        if (seen.find("t3210\r") != std::string::npos)
            tx.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    KORVA_Close(h);
    auto show = [&](const char *what, std::vector<double> &v) {
        std::sort(v.begin(), v.end());
        std::printf("after %.0f s idle: %s", o.idle, what);
        for (double ms : v) std::printf(" %.2f", ms);
        std::printf(" ms (%zu of %d)\n", v.size(), o.samples);
    };
    show("line -> KORVA_Read", rx);
    show("KORVA_Write -> line, no flush", tx);
    return rx.size() == static_cast<size_t>(o.samples) && tx.size() == static_cast<size_t>(o.samples) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options o;
    const fs::path self = fs::canonical("/proc/self/exe");
    o.sim = (self.parent_path().parent_path() / "tools/korva_sim/korva_sim").string();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : "0"; };
        if (a == "--seconds") o.seconds = std::stod(next());
        else if (a == "--idle") o.idle = std::stod(next());
        else if (a == "--samples") o.samples = std::stoi(next());
        else if (a == "--sim") o.sim = next();
        else if (a == "--counts") {
            o.counts.clear();
            std::stringstream list(next());
            for (std::string c; std::getline(list, c, ',');) o.counts.push_back(std::stoi(c));
        } else {
            std::printf("usage: korva_idle [--seconds S] [--idle S] [--samples N] [--counts 1,16,64] [--sim PATH]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    std::string tmpl = (fs::temp_directory_path() / "korva-idle-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return 1;
    const fs::path dir = tmpl;
    int rc = 0;
    for (const char *transport : {"pty", "tcp", "lincan"})
        for (int count : o.counts) rc |= Adapters(o, dir, transport, count);
    rc |= Mapper(o, dir);
    if (o.samples > 0) rc |= Latency(o, dir);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return rc;
}
