// test_windows_tool.exe - korva.exe, the korva tool on Windows, run as a
// child process against simulated adapters on a COM port and over TCP:
// list, info, send (also as a load generator), dump (candump lines, the
// log file, time stamps, a lost adapter), serve and the one-line errors.
//
// It runs under wine64 from the relay (tests/wine), which starts the
// simulators it asks for (see peer.h); korva.exe is the one beside this
// program.  The exit status is the number of failed checks (0: passed).
#include "peer.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

using namespace korva_wintest;

namespace {

constexpr DWORD kPatienceMs = 60000; // generous: a busy machine, wine

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Collects what a pipe delivers until its writer closes it.
struct Drain {
    HANDLE pipe = nullptr;
    SRWLOCK lock = SRWLOCK_INIT; // text grows while the test looks at it
    std::string text;
};
DWORD WINAPI DrainPipe(void *p) {
    auto *d = static_cast<Drain *>(p);
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(d->pipe, buf, sizeof buf, &n, nullptr) && n > 0) {
        AcquireSRWLockExclusive(&d->lock);
        d->text.append(buf, n);
        ReleaseSRWLockExclusive(&d->lock);
    }
    return 0;
}

// Waits until the pipe has delivered part.
bool WaitForText(Drain *d, const std::string &part, double patienceMs) {
    for (const double end = NowMs() + patienceMs; NowMs() < end; Sleep(10)) {
        AcquireSRWLockShared(&d->lock);
        const bool found = d->text.find(part) != std::string::npos;
        ReleaseSRWLockShared(&d->lock);
        if (found) return true;
    }
    return false;
}

// korva.exe running, its standard output and error read by threads.
struct Korva {
    std::string command;
    PROCESS_INFORMATION pi{};
    Drain out, err;
    HANDLE readers[2] = {nullptr, nullptr};
};

// The result of a finished run; status 259 (STILL_ACTIVE) when it had to
// be ended.
struct Result {
    DWORD status = 259;
    std::string out, err;
    std::vector<std::string> outLines, errLines;
};

std::string KorvaPath() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1) + "korva.exe";
}

bool Start(Korva *k, const std::string &args) {
    k->command = "korva " + args;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outWrite = nullptr, errWrite = nullptr;
    if (!CreatePipe(&k->out.pipe, &outWrite, &inherit, 0) || !CreatePipe(&k->err.pipe, &errWrite, &inherit, 0)) {
        Note("CreatePipe (%lu)", GetLastError());
        return false;
    }
    SetHandleInformation(k->out.pipe, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(k->err.pipe, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    std::string line = "\"" + KorvaPath() + "\" " + args;
    const BOOL ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &k->pi);
    const DWORD error = GetLastError();
    // Only the child holds the write ends now: the pipes end when it does.
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!ok) {
        Note("CreateProcess %s (%lu)", line.c_str(), error);
        return false;
    }
    k->readers[0] = CreateThread(nullptr, 0, DrainPipe, &k->out, 0, nullptr);
    k->readers[1] = CreateThread(nullptr, 0, DrainPipe, &k->err, 0, nullptr);
    return true;
}

Result Finish(Korva *k) {
    Result r;
    if (k->pi.hProcess == nullptr) return r;
    if (WaitForSingleObject(k->pi.hProcess, kPatienceMs) != WAIT_OBJECT_0) {
        Note("FAIL %s did not end within %lu ms", k->command.c_str(), kPatienceMs);
        ++g_failures;
        TerminateProcess(k->pi.hProcess, 259);
        WaitForSingleObject(k->pi.hProcess, kPatienceMs);
    }
    GetExitCodeProcess(k->pi.hProcess, &r.status);
    WaitForMultipleObjects(2, k->readers, TRUE, kPatienceMs);
    for (HANDLE h : {k->readers[0], k->readers[1], k->out.pipe, k->err.pipe, k->pi.hProcess, k->pi.hThread})
        CloseHandle(h);
    r.out = k->out.text;
    r.err = k->err.text;
    r.outLines = Lines(r.out);
    r.errLines = Lines(r.err);
    return r;
}

Result Run(const std::string &args) {
    Korva k;
    if (!Start(&k, args)) return {};
    return Finish(&k);
}

// A run that must succeed.
Result RunOk(const std::string &args) {
    Result r = Run(args);
    if (!CHECK_EQ(r.status, 0)) Note("korva %s: standard error:\n%s", args.c_str(), r.err.c_str());
    return r;
}

// A child that had to succeed.
Result FinishOk(Korva *k) {
    Result r = Finish(k);
    if (!CHECK_EQ(r.status, 0)) Note("%s: standard error:\n%s", k->command.c_str(), r.err.c_str());
    return r;
}

// A refused command line: the status, one line on standard error with the
// text in it, nothing on standard output.
void ExpectRefused(const std::string &args, DWORD status, const std::string &text) {
    const Result r = Run(args);
    CHECK_EQ(r.status, status);
    if (!CHECK(r.errLines.size() == 1 && Has(r.errLines[0], text))) Note("korva %s: %s", args.c_str(), r.err.c_str());
    CHECK(r.out.empty());
}

// The simulator's "rx" events that carry frame lines, from its event file.
std::vector<std::string> FramesSeen(const std::string &id) {
    std::vector<std::string> frames;
    std::ifstream events(SimEvents(id));
    for (std::string e; std::getline(events, e);)
        if (e.size() > 3 && e.compare(0, 3, "rx ") == 0 && std::string("tTrR").find(e[3]) != std::string::npos)
            frames.push_back(e.substr(3));
    return frames;
}

/* ---- the adapter on a COM port ---------------------------------------- */

void ListAndInfo(const std::string &com) {
    // The ports are found by probing COM1 ... COM256: the simulator's port
    // is only linked in the prefix.
    Result r = RunOk("list");
    if (CHECK_EQ(r.outLines.size(), 2)) {
        CHECK(r.outLines[0].rfind("DEVICE", 0) == 0);
        const std::string &row = r.outLines[1];
        CHECK(row.rfind(com + " ", 0) == 0 && Has(row, " serial ") && Has(row, " 4711 ") && Has(row, " 12  34"));
    }
    CHECK(SimWait("a", "state open L")); // probing is quiet: listen-only

    r = RunOk("info " + com);
    const std::vector<std::string> expected = {
        "adapter   " + com,
        "kind      serial (Lawicel adapter on a serial port)",
        "dialect   full (the whole Lawicel command set)",
        "serial    4711",
        "hardware  12",
        "software  34",
    };
    if (CHECK(r.outLines.size() == 8)) {
        for (size_t i = 0; i < expected.size(); ++i) CHECK(r.outLines[i] == expected[i]);
        CHECK(r.outLines[6].rfind("library   1.", 0) == 0);
        CHECK(r.outLines[7] == "status    0x000000AC: error warning, data overrun, error passive, bus error");
    } else {
        Note("korva info %s:\n%s", com.c_str(), r.out.c_str());
    }
    // The port under its other name.
    r = RunOk("info \\\\.\\" + com);
    CHECK(r.outLines.size() == 8 && r.outLines[3] == "serial    4711");
}

void Send(const std::string &com) {
    SimMark("a");
    Result r = RunOk("send " + com + " 123#AABB 12345678#01 123#R 7FF#R4");
    CHECK(r.out.empty() && r.err.empty());
    // Exactly these lines, in this order.
    CHECK(SimWait("a", "rx r7FF4"));
    const std::vector<std::string> wire = FramesSeen("a");
    const std::vector<std::string> expected = {"t1232AABB", "T12345678101", "r1230", "r7FF4"};
    if (!CHECK(wire == expected))
        for (const std::string &line : wire) Note("on the wire: %s", line.c_str());

    // The load generator keeps to its rate: 40 frames at 400 per second
    // take at least a tenth of a second.
    SimMark("a");
    r = RunOk("send --count 40 --rate 400 " + com + " 100#01");
    double seconds = 0;
    CHECK(r.errLines.size() == 1 &&
          std::sscanf(r.errLines[0].c_str(), "korva send: 40 frames sent in %lf", &seconds) == 1);
    CHECK(seconds >= 0.09);
    // korva has ended: the close ("C" after the open's "O") came after every frame.
    CHECK(SimWait("a", "state open O") && SimWait("a", "rx C"));
    CHECK_EQ(SimCount("a", "rx t100101"), 40);
}

void Dump(const std::string &com) {
    SimMark("a");
    Korva dump;
    if (!CHECK(Start(&dump, "dump -n 3 -l korva-tool-dump.log " + com))) return;
    CHECK(SimWait("a", "state open O"));
    for (const char *frame : {"123#AABB", "12345678#01", "7FF#R2", "456#99"})
        CHECK(SimCmd("a", std::string("send ") + frame));
    const time_t now = std::time(nullptr);
    const Result r = FinishOk(&dump);
    const std::vector<std::string> expected = {com + "  123   [2]  AA BB", com + "  12345678   [1]  01",
                                               com + "  7FF   [2]  remote request"};
    if (!CHECK(r.outLines == expected)) Note("korva dump:\n%s", r.out.c_str());
    CHECK(!r.errLines.empty() && Has(r.errLines.back(), "3 frames received; no frames lost"));

    // The log file: candump's format, with the host's wall-clock time.
    std::ifstream log("korva-tool-dump.log");
    std::vector<std::string> logged;
    for (std::string line; std::getline(log, line);) logged.push_back(line);
    const std::string frames[] = {"123#AABB", "12345678#01", "7FF#R2"};
    if (CHECK_EQ(logged.size(), 3)) {
        for (size_t i = 0; i < 3; ++i) {
            long long seconds = 0;
            int micros = -1, used = 0;
            const bool parsed = std::sscanf(logged[i].c_str(), "(%lld.%6d) %n", &seconds, &micros, &used) == 2;
            CHECK(parsed && llabs(seconds - static_cast<long long>(now)) < 120 && micros >= 0);
            CHECK(parsed && logged[i].substr(static_cast<size_t>(used)) == com + " " + frames[i]);
        }
    }
}

void LostAdapter(const std::string &com) {
    SimMark("a");
    Korva dump;
    if (!CHECK(Start(&dump, "dump " + com))) return;
    CHECK(SimWait("a", "state open O"));
    // Unplugged once a frame has come through: under wine a port whose
    // pseudo-terminal hangs up within moments of the open may not be seen
    // to go.
    CHECK(SimCmd("a", "send 321#01"));
    CHECK(WaitForText(&dump.out, com + "  321   [1]  01\r\n", kPatienceMs));
    CHECK(SimKill("a"));
    // The waiting dump is woken and ends, telling why.
    const Result r = Finish(&dump);
    CHECK_EQ(r.status, 1);
    CHECK(r.outLines.size() == 1);
    CHECK(!r.errLines.empty() && Has(r.errLines.back(), "the connection to adapter '" + com + "' was lost"));
}

// korva.exe serve on the COM port: two korva.exe clients over TCP get the
// adapter's frames, and a frame one client sends reaches the adapter.
void Serve(const std::string &com) {
    SimMark("a");
    Korva srv;
    if (!CHECK(Start(&srv, "serve -b 500k --tcp 0 --stats 1 " + com))) return;
    CHECK(WaitForText(&srv.err, " (bit rate S6", kPatienceMs));
    AcquireSRWLockShared(&srv.err.lock);
    const size_t at = srv.err.text.find(" on 127.0.0.1:");
    const std::string served =
        at == std::string::npos ? "" : srv.err.text.substr(at + 4, srv.err.text.find(' ', at + 4) - at - 4);
    ReleaseSRWLockShared(&srv.err.lock);
    Korva a, b;
    if (CHECK(!served.empty()) && CHECK(Start(&a, "dump -n 2 " + served)) && CHECK(Start(&b, "dump -n 2 " + served))) {
        CHECK(WaitForText(&srv.err, "2 clients (2 open)", kPatienceMs));
        CHECK(SimCmd("a", "send 123#AABB"));
        CHECK(SimCmd("a", "send 12345678#01"));
        const std::vector<std::string> expected = {served + "  123   [2]  AA BB", served + "  12345678   [1]  01"};
        for (Korva *k : {&a, &b}) {
            const Result r = FinishOk(k);
            if (!CHECK(r.outLines == expected)) Note("%s:\n%s", k->command.c_str(), r.out.c_str());
        }
        RunOk("send " + served + " 321#CC");
        CHECK(SimWait("a", "rx t3211CC"));
    }
    // No console to send Ctrl-C to: ended from outside.
    TerminateProcess(srv.pi.hProcess, 0);
    Finish(&srv);
}

/* ---- the adapter over TCP ---------------------------------------------- */

void DumpTcp() {
    const std::string name = StartSim("b", "tcp");
    if (name.empty()) return;
    Korva dump;
    if (!CHECK(Start(&dump, "dump -n 2 --timestamps " + name))) return;
    // Time stamps are switched on after the open: the adapter is open again.
    CHECK(SimWait("b", "rx Z1") && SimWait("b", "state open O"));
    CHECK(SimCmd("b", "send 123#AABB"));
    CHECK(SimCmd("b", "send 1ABCDEF0#R4"));
    const Result r = FinishOk(&dump);
    const std::string tails[] = {")  " + name + "  123   [2]  AA BB",
                                 ")  " + name + "  1ABCDEF0   [4]  remote request"};
    if (CHECK_EQ(r.outLines.size(), 2)) {
        for (size_t i = 0; i < 2; ++i) {
            const std::string &line = r.outLines[i];
            double stamp = -1;
            CHECK(std::sscanf(line.c_str(), "(%lf)", &stamp) == 1 && stamp >= 0 && stamp < 60);
            CHECK(line.size() > tails[i].size() && line.substr(line.size() - tails[i].size()) == tails[i]);
        }
    } else {
        Note("korva dump:\n%s", r.out.c_str());
    }
}

/* ---- command lines that are refused ------------------------------------ */

void Refused(const std::string &com) {
    ExpectRefused("info COM199", 1, "unknown adapter 'COM199': COM199: ");
    ExpectRefused("dump ttyUSB0", 1, "unknown adapter 'ttyUSB0': not a COM port");
    ExpectRefused("info can0", 1, "LinCAN devices are served on Linux only");
    ExpectRefused("info bogus", 1, "unknown adapter 'bogus': give a device (COM3, \\\\.\\COM12, USB-COM4)");
    ExpectRefused("dump --bogus " + com, 2, "korva dump: unknown option '--bogus'");
    ExpectRefused("dump " + com + " -x", 2, "korva dump: unknown option '-x'");
    ExpectRefused("dump " + com + " -n", 2, "option '-n' needs a value");
    ExpectRefused("send " + com + " 123#GG", 2, "bad frame '123#GG'");
    ExpectRefused("list --dir C:\\", 2, "Windows has no device directory");
    ExpectRefused("demo", 2, "korva demo: needs a Linux machine");
    const Result help = RunOk("--help");
    CHECK(Has(help.out, "sim, demo") && Has(help.out, "\"USB-COM4\""));
}

} // namespace

int main() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const double t0 = NowMs();
    const std::string com = StartSim("a", "pty", "--serial 4711 --hw 12 --sw 34 --status AC");
    if (!com.empty()) {
        ListAndInfo(com);
        Send(com);
        Dump(com);
        Refused(com);
        Serve(com);
        LostAdapter(com);
    }
    DumpTcp();
    Note("[ figures  ] korva.exe checks: %.1f s", (NowMs() - t0) / 1000);
    Note("korva.exe: %d failed checks", g_failures);
    return g_failures;
}
