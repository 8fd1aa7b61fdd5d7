// os_win32.cpp - the korva tool on Windows: a console control handler for
// Ctrl-C, a semaphore HANDLE as the receive event, COM ports as the
// adapters, QueryPerformanceCounter.  "sim" and "demo" run the simulator,
// a POSIX program, as a child: here they only say so.
#include "os.h"
#include "tool.h"

#include "korva_api.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace korva_tool {

const char kOsListLine[] = "  list [NAME...]        the adapters on the COM ports, or those named\n";
const char kOsSimLines[] = "  sim, demo             the simulated adapter and the demo: on Linux only\n";
const char kOsAdapterHelp[] = R"(a serial port ("COM3", "\\.\COM12"; "USB-COM4" for a USB
adapter at 3 000 000 bit/s), a network adapter "host:port", or a decimal
serial number (the COM ports are probed for it).
)";
const char kOsListHelp[] = R"(Usage: korva list [options] [NAME...]

Lists the adapters that answer: without names, every COM port the system
has (COM1 ... COM256 are tried) is opened, listen-only, asked for its
serial number and versions, and closed.  With names, just those adapters.
Each adapter costs a few hundred milliseconds of probing.

  -v, --verbose        also name the ports that did not answer
%s)";
const char kOsDeviceExamples[] = R"(COM3, \\.\COM12, USB-COM4)";
const char kOsExampleAdapter[] = "COM3";
const char kOsExampleAdapter2[] = "COM4";
const char kOsExamplePath[] = R"(\\.\COM12)";
const char kOsScanPlace[] = "on the COM ports";

struct RcvEvent {
    HANDLE sem; // released by the library once per stored frame, and by a stop request
};

namespace {

constexpr int kMaxComPort = 256;

std::atomic<bool> g_stop{false};
// Set by a stop request: ends the sleeps of "send --rate".
HANDLE g_stopEvent = nullptr;
// The console handler runs on a thread of its own: the lock keeps wake
// alive while the handler releases it.
SRWLOCK g_wakeLock = SRWLOCK_INIT;
RcvEvent *g_wake = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    g_stop.store(true);
    AcquireSRWLockShared(&g_wakeLock);
    if (g_wake != nullptr) ReleaseSemaphore(g_wake->sem, 1, nullptr);
    ReleaseSRWLockShared(&g_wakeLock);
    if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
    return TRUE;
}

// "The system cannot find the file specified. (2)": a Windows error for a person.
std::string ErrorWords(DWORD error) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
    return (n > 0 ? std::string(text) + " " : std::string("error ")) + "(" + std::to_string(error) + ")";
}

// The port of "COM3", "\\.\COM3" and "USB-COM3" (COM1 ... COM256), else 0.
int ComPortOf(const std::string &name) {
    std::string_view n = name;
    for (std::string_view prefix : {R"(\\.\)", "USB-"})
        if (n.substr(0, prefix.size()) == prefix) n.remove_prefix(prefix.size());
    if (n.substr(0, 3) != "COM" || n.size() < 4 || n.size() > 6 || n[3] == '0') return 0;
    int port = 0;
    for (char c : n.substr(3)) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + (c - '0');
    }
    return port <= kMaxComPort ? port : 0;
}

// Whether COM<port> exists: it opens, or it is in use (by another program,
// which the library's open then reports).  0 or GetLastError().
DWORD ComPortError(int port) {
    char path[32];
    std::snprintf(path, sizeof path, R"(\\.\COM%d)", port);
    const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 0;
    }
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? 0 : error;
}

int NeedsLinux(const char *cmd) {
    Complain(cmd, "needs a Linux machine: the simulated adapter, korva_sim, runs on POSIX systems only");
    return kExitUsage;
}

} // namespace

RcvEvent *CreateRcvEvent(const char *cmd) {
    const HANDLE sem = CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
    if (sem == nullptr) {
        Complain(cmd, "cannot create the receive semaphore: CreateSemaphore (%lu)", GetLastError());
        return nullptr;
    }
    return new RcvEvent{sem};
}

void *RcvEventHandle(RcvEvent *event) { return event->sem; }

bool WaitRcvEvent(RcvEvent *event, int timeoutMs) {
    const DWORD rc = WaitForSingleObject(event->sem, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (rc == WAIT_TIMEOUT) return false;
    if (rc != WAIT_OBJECT_0) {
        // Cannot happen with a valid handle; a short pause keeps a reader
        // that calls again from spinning.
        Complain("dump", "waiting for frames failed: WaitForSingleObject (%lu)", GetLastError());
        Sleep(10);
        return true;
    }
    // One release per stored frame: the read that follows takes all of them.
    while (WaitForSingleObject(event->sem, 0) == WAIT_OBJECT_0) {
    }
    return true;
}

void DestroyRcvEvent(RcvEvent *event) {
    if (event == nullptr) return;
    CloseHandle(event->sem);
    delete event;
}

void InstallStopSignals(RcvEvent *wake) {
    if (g_stopEvent == nullptr) {
        g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        // A program started in a new process group has Ctrl-C switched off.
        SetConsoleCtrlHandler(nullptr, FALSE);
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    AcquireSRWLockExclusive(&g_wakeLock);
    g_wake = wake;
    ReleaseSRWLockExclusive(&g_wakeLock);
}

bool StopRequested() { return g_stop.load(); }

int32_t ClassifyAdapterName(const char *name) {
    // The import library carries the eight KORVA_ functions only; the DLL
    // exports its internal names too.
    using Classify = int32_t (*)(const char *);
    static const auto classify = reinterpret_cast<Classify>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("korva_api.dll"), "ClassifyDeviceName")));
    return classify != nullptr ? classify(name) : -1;
}

int32_t OpenWithStopSignalsBlocked(const char *name, int32_t mode) {
    // The console handler runs on a thread of its own: nothing to keep away
    // from the reader thread.
    return KORVA_Open(name, mode);
}

bool DeviceExists(const std::string &name, std::string *why) {
    const int port = ComPortOf(name);
    if (port == 0) {
        const bool lincan = name.find("can") != std::string::npos && name.find("COM") == std::string::npos;
        *why = std::string(lincan ? "LinCAN devices are served on Linux only; adapters here are COM ports"
                                  : "not a COM port of COM1 ... COM256") +
               " (" + kOsDeviceExamples + ")";
        return false;
    }
    if (const DWORD error = ComPortError(port); error != 0) {
        *why = "COM" + std::to_string(port) + ": " + ErrorWords(error);
        return false;
    }
    return true;
}

bool DeviceAccessDenied(const std::string &, std::string *) {
    // A COM port that cannot be opened was reported by DeviceExists, with
    // the system's words, before the library was asked.
    return false;
}

int ListCandidates(const std::string &dir, std::vector<std::string> *names, std::string *place) {
    if (!dir.empty())
        return UsageError("list", "--dir: Windows has no device directory; without names the COM ports are probed");
    *place = kOsScanPlace;
    // The ports are tried one by one: under wine, ports linked in the
    // prefix's dosdevices folder open but are listed neither by
    // QueryDosDevice nor in the registry.
    for (int port = 1; port <= kMaxComPort; ++port)
        if (ComPortError(port) == 0) names->push_back("COM" + std::to_string(port));
    return kExitOk;
}

int64_t MonotonicNanos() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    const int64_t f = frequency.QuadPart, c = counter.QuadPart;
    // Whole seconds and the rest apart: c * 1e9 would overflow.
    return c / f * 1000000000 + c % f * 1000000000 / f;
}

bool SleepUntil(int64_t due) {
    // Waits are in milliseconds of the system tick, set to 1 ms once.  What
    // is left below a tick is not waited for: with deadlines that advance
    // by the period the average rate still holds.
    static const bool fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)fineTimer;
    while (!StopRequested()) {
        const int64_t left = due - MonotonicNanos();
        if (left < 1000000) return true;
        const DWORD ms = static_cast<DWORD>(left / 1000000);
        if (g_stopEvent == nullptr) Sleep(ms);
        else if (WaitForSingleObject(g_stopEvent, ms) == WAIT_OBJECT_0) return false;
    }
    return false;
}

void WallClock(int64_t *seconds, int32_t *micros) {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    // 100 ns units since 1601; 1970 is 11 644 473 600 s later.
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) -
                          116444736000000000LL;
    *seconds = ticks / 10000000;
    *micros = static_cast<int32_t>(ticks % 10000000 / 10);
}

void SetStdoutBinary() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

int CmdSim(int, char **) { return NeedsLinux("sim"); }
int CmdDemo(int, char **) { return NeedsLinux("demo"); }

} // namespace korva_tool
