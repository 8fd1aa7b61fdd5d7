// peer.h - what the Windows test programs share: checks that report
// failures on standard output, and the simulated adapters, which the relay
// on the Linux side (tests/wine/wine_relay.cpp) runs for them.
//
// The program runs under wine with its standard input and output connected
// to the relay.  A line "@@ REQUEST" on standard output asks the relay for
// something and the relay answers with one line on standard input; every
// other line is test output.  Requests:
//   @@ start ID pty|tcp [ARGS...]  start korva_sim; answer "ok NAME", the
//                                  name to open: "COM5" for a simulator on
//                                  a pseudo-terminal mapped to that port,
//                                  "127.0.0.1:PORT" for TCP
//   @@ cmd ID LINE                 a control line; "ok" or "error ..."
//   @@ wait ID EVENT               the next event that matches; "ok LINE"
//                                  or "timeout"
//   @@ mark ID                     forget the events so far; "ok"
//   @@ count ID EVENT              "ok N": events so far that match
//   @@ kill ID                     kill the simulator (an unplugged adapter)
//   @@ events ID                   "ok PATH": a file (a Windows path) with
//                                  every event of the simulator so far
// Events and control lines are those of "korva_sim --help".
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

namespace korva_wintest {

inline int g_failures = 0;

constexpr UINT kCrashed = 124; // exit status of a program that crashed

inline bool Check(bool ok, const char *what, const char *file, int line) {
    if (!ok) {
        std::printf("FAIL %s:%d: %s\n", file, line, what);
        std::fflush(stdout);
        ++g_failures;
    }
    return ok;
}

inline bool CheckEq(long long a, long long b, const char *as, const char *bs, const char *file, int line) {
    if (a != b) {
        std::printf("FAIL %s:%d: %s == %s (%lld != %lld)\n", file, line, as, bs, a, b);
        std::fflush(stdout);
        ++g_failures;
    }
    return a == b;
}

#define CHECK(cond) ::korva_wintest::Check((cond), #cond, __FILE__, __LINE__)
#define CHECK_EQ(a, b) \
    ::korva_wintest::CheckEq(static_cast<long long>(a), static_cast<long long>(b), #a, #b, __FILE__, __LINE__)

inline void Note(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline void Note(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stdout, format, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A crash ends the program with a failure that the relay passes on.  Left
// to itself, wine starts its debugger on an unhandled exception, which
// ends the process with exit status 0: a test that crashed would pass.
inline LONG WINAPI ReportCrash(EXCEPTION_POINTERS *e) {
    std::printf("FAIL unhandled exception %08lX at %p\n", e->ExceptionRecord->ExceptionCode,
                e->ExceptionRecord->ExceptionAddress);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), kCrashed);
    return EXCEPTION_CONTINUE_SEARCH;
}

// The exit status for the failed checks: never a multiple of 256, which
// the relay would see as 0.
inline int ExitStatus() { return g_failures < 100 ? g_failures : 100; }

// Call first in main.
inline void CatchCrashes() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
}

// One request to the relay and its answer line (without the line end).
inline std::string Request(const std::string &line) {
    std::printf("@@ %s\n", line.c_str());
    std::fflush(stdout);
    char reply[4096];
    if (std::fgets(reply, sizeof reply, stdin) == nullptr) return "error relay gone";
    std::string r = reply;
    while (!r.empty() && (r.back() == '\n' || r.back() == '\r')) r.pop_back();
    return r;
}

inline bool IsOk(const std::string &reply) { return reply == "ok" || reply.rfind("ok ", 0) == 0; }

// Starts simulator id; returns the adapter name, or "" after a failure.
inline std::string StartSim(const std::string &id, const std::string &transport, const std::string &args = "") {
    const std::string reply = Request("start " + id + " " + transport + (args.empty() ? "" : " " + args));
    if (!Check(IsOk(reply), ("start " + id + ": " + reply).c_str(), __FILE__, __LINE__)) return "";
    return reply.substr(3);
}

inline bool SimCmd(const std::string &id, const std::string &line) { return IsOk(Request("cmd " + id + " " + line)); }

// Waits for the next event of simulator id that matches event.
inline bool SimWait(const std::string &id, const std::string &event, std::string *got = nullptr) {
    const std::string reply = Request("wait " + id + " " + event);
    if (got) *got = IsOk(reply) ? reply.substr(3) : "";
    return IsOk(reply);
}

inline void SimMark(const std::string &id) { Request("mark " + id); }

inline long SimCount(const std::string &id, const std::string &event) {
    const std::string reply = Request("count " + id + " " + event);
    return IsOk(reply) ? std::strtol(reply.c_str() + 3, nullptr, 10) : -1;
}

inline bool SimKill(const std::string &id) { return IsOk(Request("kill " + id)); }

// The path of a file holding every event of simulator id so far.
inline std::string SimEvents(const std::string &id) {
    const std::string reply = Request("events " + id);
    return IsOk(reply) ? reply.substr(3) : "";
}

// 32-bit x86: calls f with n 32-bit arguments, pushed as any caller pushes
// them, and stores how far the call moved the stack pointer in *moved:
// 0 when f removed its arguments (the standard calling convention), -4n
// when it left them to the caller (cdecl).  A program that declares a
// function with the other convention than the DLL's loses or gains that
// much stack at every call; the compiler cannot see it, the stack can.
#if defined(__i386__)
__attribute__((naked, noinline)) inline uint32_t __cdecl CallCounted(const void *, const uint32_t *, int, int *) {
    asm(R"(
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    pushl %ebx
    movl %esp, %esi
    movl 16(%ebp), %ecx
    movl 12(%ebp), %edx
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl %esp, %ecx
    subl %esi, %ecx
    movl 20(%ebp), %edx
    movl %ecx, (%edx)
    movl %esi, %esp
    popl %ebx
    popl %edi
    popl %esi
    popl %ebp
    ret
)");
}

// The stack pointer moved by a call of f with args, through that helper.
template <typename F> int StackMoved(F *f, std::initializer_list<uint32_t> args, uint32_t *result = nullptr) {
    int moved = 1;
    const uint32_t r =
        CallCounted(reinterpret_cast<const void *>(f), args.begin(), static_cast<int>(args.size()), &moved);
    if (result) *result = r;
    return moved;
}

// A pointer as the 32-bit argument it is here.
inline uint32_t Word(const void *p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
#endif

// Milliseconds of a monotonic clock.
inline double NowMs() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

// CPU time of this process so far, in seconds.
inline double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME &t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

} // namespace korva_wintest
