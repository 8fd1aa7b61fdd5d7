// cmd_sim.cpp - "korva sim" (runs the simulated adapter) and "korva demo"
// (two simulated adapters on one virtual bus, driven through korva_api).
#include "cantext.h"
#include "tool.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace korva_tool {
namespace {

constexpr char kSimHelp[] = R"(Usage: korva sim ARGS...

Runs the simulated Lawicel adapter, korva_sim, with ARGS: it is looked up
next to korva, in the build tree, then on PATH.  "korva sim --help" is
korva_sim's own help.  For example:
  korva sim --pty /tmp/korva/ttyUSB0
  korva sim --tcp 0 --serial 4711
)";

constexpr char kDemoHelp[] = R"(Usage: korva demo [options]

Shows korva working without hardware: starts two simulated Lawicel adapters
(korva_sim) joined on one virtual bus, with pseudo-terminal links in a
temporary directory (/tmp/korva-demo-XXXXXX/ttyUSB0 and ttyUSB1), opens both
through korva_api, sets 500 kbit/s, sends standard, extended and remote
frames through the first and receives them through the second, printing
each step and the Lawicel lines on the wire.  Everything is cleaned up at
the end.  Exit status 0 when every frame arrived.

)"
                                 "%s";

int64_t NowMs() { return MonotonicNanos() / 1000000; }

// The simulator program: next to this executable, in the build tree
// (../korva_sim/korva_sim), or "korva_sim" to be found on PATH.
std::string FindSimulator() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.erase(dir.rfind('/'));
        for (const std::string &candidate : {dir + "/korva_sim", dir + "/../korva_sim/korva_sim"})
            if (::access(candidate.c_str(), X_OK) == 0) {
                char real[PATH_MAX];
                return ::realpath(candidate.c_str(), real) ? std::string(real) : candidate;
            }
    }
    return "korva_sim";
}

// A simulator run as a child: its standard input is our control line, its
// standard output the event log we read.
class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;
    ~SimProcess() { Stop(); }

    bool Start(const std::string &program, const std::vector<std::string> &args, std::string *why) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return Fail(why, "pipe");
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return Fail(why, "pipe");
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        // Nothing else of ours (an adapter already open) leaks into it.
        posix_spawn_file_actions_addclosefrom_np(&fa, 3);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = program.find('/') == std::string::npos
                           ? posix_spawnp(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ)
                           : posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        if (rc != 0) {
            close(in[1]);
            close(out[0]);
            pid_ = -1;
            errno = rc;
            return Fail(why, "cannot start " + program);
        }
        control_ = in[1];
        events_ = out[0];
        return true;
    }

    // Waits up to timeoutMs for the next event line that starts with prefix
    // and returns it in *line.  Lines passed over stay readable by Lines().
    bool WaitFor(std::string_view prefix, int timeoutMs, std::string *line = nullptr) {
        const int64_t deadline = NowMs() + timeoutMs;
        while (true) {
            for (; cursor_ < lines_.size(); ++cursor_) {
                if (lines_[cursor_].compare(0, prefix.size(), prefix) == 0) {
                    if (line) *line = lines_[cursor_];
                    ++cursor_;
                    return true;
                }
            }
            const int64_t left = deadline - NowMs();
            if (left <= 0 || StopRequested() || !ReadMore(static_cast<int>(left))) return false;
        }
    }

    // Every event line read so far that starts with prefix, from index from.
    std::vector<std::string> Lines(std::string_view prefix, size_t from = 0) const {
        std::vector<std::string> found;
        for (size_t i = from; i < lines_.size(); ++i)
            if (lines_[i].compare(0, prefix.size(), prefix) == 0) found.push_back(lines_[i]);
        return found;
    }
    size_t LineCount() const { return lines_.size(); }

    // Closing the control channel ends the simulator; it gets five seconds
    // before it is terminated.
    void Stop() {
        if (control_ >= 0) {
            close(control_);
            control_ = -1;
        }
        if (pid_ > 0) {
            const int64_t deadline = NowMs() + 5000;
            int status = 0;
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (NowMs() > deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                    break;
                }
                // Keep its event log flowing while it says goodbye.
                ReadMore(20);
            }
            pid_ = -1;
        }
        if (events_ >= 0) {
            close(events_);
            events_ = -1;
        }
    }

private:
    static bool Fail(std::string *why, const std::string &what) {
        *why = what + ": " + std::strerror(errno);
        return false;
    }

    // Reads what the event log has within timeoutMs; false at its end.
    bool ReadMore(int timeoutMs) {
        if (events_ < 0) return false;
        pollfd p{events_, POLLIN, 0};
        const int n = poll(&p, 1, timeoutMs);
        if (n <= 0) return n == 0 || errno == EINTR;
        char buf[4096];
        const ssize_t got = read(events_, buf, sizeof buf);
        if (got <= 0) return got < 0 && errno == EINTR;
        partial_.append(buf, static_cast<size_t>(got));
        for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int control_ = -1;
    int events_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
    size_t cursor_ = 0;
};

// A temporary directory removed with what the demo left in it.
struct DemoDir {
    std::string path;
    DemoDir() {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/korva-demo-XXXXXX";
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~DemoDir() {
        if (path.empty()) return;
        for (const char *n : {"/ttyUSB0", "/ttyUSB1"}) unlink((path + n).c_str());
        rmdir(path.c_str());
    }
};

// Waits until frames have arrived on handle or timeoutMs passed; returns
// what KORVA_Read delivered.
std::vector<CanMsg> Receive(int32_t handle, RcvEvent *event, size_t want, int timeoutMs) {
    std::vector<CanMsg> got;
    const int64_t deadline = NowMs() + timeoutMs;
    while (got.size() < want && !StopRequested()) {
        CanMsg frames[16];
        uint32_t n = 0;
        if (KORVA_Read(handle, frames, 16, &n) != 0) break;
        got.insert(got.end(), frames, frames + n);
        const int64_t left = deadline - NowMs();
        if (n == 0 && (left <= 0 || !WaitRcvEvent(event, static_cast<int>(left)))) break;
    }
    return got;
}

[[gnu::format(printf, 2, 3)]] void Step(int n, const char *fmt, ...) {
    std::printf("[%d] ", n);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::putchar('\n');
    std::fflush(stdout);
}

void Detail(const std::string &text) {
    std::printf("      %s\n", text.c_str());
    std::fflush(stdout);
}

} // namespace

int CmdSim(int argc, char **argv) {
    const bool help = argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    if (help) {
        // Ours first, then the simulator's own.
        std::fputs(kSimHelp, stdout);
        std::fputs("\n", stdout);
        std::fflush(stdout);
    }
    const std::string program = FindSimulator();
    std::vector<char *> args;
    args.push_back(const_cast<char *>("korva_sim"));
    if (help) args.push_back(const_cast<char *>("--help"));
    for (int i = help ? 2 : 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    if (program.find('/') == std::string::npos) execvp(program.c_str(), args.data());
    else execv(program.c_str(), args.data());
    Complain("sim", "cannot run korva_sim (looked next to korva, in the build tree and on PATH): %s",
             std::strerror(errno));
    return kExitFailure;
}

int CmdDemo(int argc, char **argv) {
    static const option kLong[] = {{"trace", required_argument, nullptr, kOptTrace},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    AdapterConfig config;
    for (int opt; (opt = NextOption("demo", argc, argv, ":h", kLong)) != -1;) {
        if (opt == 'h') {
            std::printf(kDemoHelp, kTraceOptionHelp);
            return kExitOk;
        }
        if (opt != kOptTrace || TakeAdapterOption("demo", opt, optarg, &config) != 1) return kExitUsage;
    }
    if (optind != argc) return UsageError("demo", "takes no arguments");
    ApplyTrace(config);

    // Generous bounds: the demo may run on a loaded machine.
    constexpr int kStartMs = 15000, kFramesMs = 10000;
    const std::vector<std::string> frameTexts = {"123#AABB", "12345678#0102030405060708", "7FF#R", "1ABCDEF0#R4",
                                                 "000#"};
    std::vector<CanMsg> frames;
    for (const std::string &t : frameTexts) {
        CanMsg f{};
        ParseFrame(t, &f, nullptr);
        frames.push_back(f);
    }

    DemoDir dir;
    if (dir.path.empty()) {
        Complain("demo", "cannot create a temporary directory: %s", std::strerror(errno));
        return kExitFailure;
    }
    RcvEvent *event = CreateRcvEvent("demo");
    if (event == nullptr) return kExitFailure;
    InstallStopSignals(event);
    const std::string program = FindSimulator();
    const std::string bus = "korva-demo-" + std::to_string(getpid());
    const std::string linkA = dir.path + "/ttyUSB0", linkB = dir.path + "/ttyUSB1";
    std::printf("korva demo: two simulated Lawicel adapters on one virtual bus; no hardware needed.\n");
    std::printf("simulator: %s\n\n", program.c_str());

    int status = kExitFailure;
    int32_t ha = 0, hb = 0;
    SimProcess simA, simB;
    std::string why, line;
    do {
        Step(1, "starting simulator A on %s and B on %s, both on bus %s", linkA.c_str(), linkB.c_str(), bus.c_str());
        if (!simA.Start(program, {"--pty", linkA, "--serial", "1001", "--bus", bus}, &why) ||
            !simB.Start(program, {"--pty", linkB, "--serial", "1002", "--bus", bus}, &why)) {
            Complain("demo", "%s", why.c_str());
            break;
        }
        if (!simA.WaitFor("ready", kStartMs, &line)) {
            Complain("demo", "simulator A did not get ready");
            break;
        }
        Detail("A: " + line);
        if (!simB.WaitFor("ready", kStartMs, &line)) {
            Complain("demo", "simulator B did not get ready");
            break;
        }
        Detail("B: " + line);
        // B greets A when it joins; wait until both know each other.
        if (!simA.WaitFor("bus peers=1", kStartMs) || !simB.WaitFor("bus peers=1", kStartMs)) {
            Complain("demo", "the simulators did not meet on bus %s", bus.c_str());
            break;
        }
        Detail("A and B are on the bus");

        Step(2, "opening both with KORVA_Open (reset, serial number and version queries, open)");
        for (auto [name, handle] : {std::pair{&linkA, &ha}, std::pair{&linkB, &hb}}) {
            *handle = OpenAdapter("demo", *name, KORVA_MODE_NORMAL);
            if (*handle == 0) break;
            HwParam hw{};
            KORVA_Ioctl(*handle, KORVA_IOCTL_GET_HW_PARAM, &hw);
            char text[160];
            std::snprintf(text, sizeof text, "%s: handle %d, %s adapter, serial %u, hardware %02X, software %02X",
                          name->c_str(), *handle, HwTypeName(hw.HwType), static_cast<unsigned>(hw.SerialNr),
                          hw.HwVersion, hw.SwVersion);
            Detail(text);
        }
        if (ha == 0 || hb == 0) break;

        Step(3, "setting 500 kbit/s on both (KORVA_IOCTL_SET_SPEED 6, the adapter's S6)");
        AdapterConfig rate;
        rate.setSpeed = true;
        rate.speed = 6;
        if (!ConfigureAdapter("demo", ha, rate) || !ConfigureAdapter("demo", hb, rate)) break;
        if (simA.WaitFor("set bitrate=S6", kStartMs, &line)) Detail("A: " + line);
        if (simB.WaitFor("set bitrate=S6", kStartMs, &line)) Detail("B: " + line);
        KORVA_SetRcvEvent(hb, RcvEventHandle(event));

        Step(4, "sending %zu frames through A (KORVA_Write, KORVA_Flush)", frames.size());
        const size_t mark = simA.LineCount();
        uint32_t written = 0;
        int32_t rc = KORVA_Write(ha, frames.data(), static_cast<uint32_t>(frames.size()), &written);
        if (rc == 0) rc = KORVA_Flush(ha);
        if (rc != 0) {
            Complain("demo", "sending through A failed: %s", Reason(rc).c_str());
            break;
        }
        // The Lawicel lines A received from the library, as its event log shows them.
        std::vector<std::string> wire;
        for (int64_t until = NowMs() + kFramesMs; NowMs() < until && !StopRequested();) {
            wire.clear();
            for (const std::string &l : simA.Lines("rx ", mark))
                if (l.size() > 3 && std::strchr("tTrR", l[3])) wire.push_back(l.substr(3));
            if (wire.size() >= frames.size() || !simA.WaitFor("rx ", static_cast<int>(until - NowMs()))) break;
        }
        for (size_t i = 0; i < frames.size(); ++i) {
            char text[96];
            std::snprintf(text, sizeof text, "%-26s on the wire: %s", frameTexts[i].c_str(),
                          i < wire.size() ? wire[i].c_str() : "(not seen)");
            Detail(text);
        }

        Step(5, "receiving through B (receive semaphore, KORVA_Read), printed candump style");
        const std::vector<CanMsg> got = Receive(hb, event, frames.size(), kFramesMs);
        for (const CanMsg &f : got) Detail(FormatDumpLine("ttyUSB1", f, false));
        size_t matched = 0;
        for (size_t i = 0; i < got.size() && i < frames.size(); ++i)
            if (FormatFrame(got[i]) == FormatFrame(frames[i])) ++matched;

        uint32_t flags = 0;
        if (KORVA_Ioctl(hb, KORVA_IOCTL_GET_FLAGS, &flags) == 0)
            Detail("B status flags: " + DescribeStatus(flags, true));
        std::printf("\n%zu of %zu frames went from A to B unchanged.\n", matched, frames.size());
        if (matched == frames.size()) status = kExitOk;
    } while (false);

    Step(6, "closing both adapters, stopping the simulators, removing %s", dir.path.c_str());
    if (hb) {
        KORVA_SetRcvEvent(hb, nullptr);
        KORVA_Close(hb);
    }
    if (ha) KORVA_Close(ha);
    simA.Stop();
    simB.Stop();
    InstallStopSignals(nullptr);
    DestroyRcvEvent(event);
    if (StopRequested()) Complain("demo", "interrupted");
    std::printf(status == kExitOk ? "demo finished: korva works.\n" : "demo failed.\n");
    return status;
}

} // namespace korva_tool
