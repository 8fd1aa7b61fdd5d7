// os_posix.cpp - the korva tool on POSIX systems: stop signals, a sem_t as
// the receive event, devices in /dev, clock_gettime.
#include "os.h"
#include "tool.h"

#include "korva_api.h"
#include "sysfuncs.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <grp.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korva_tool {

const char kOsListLine[] =
    "  list [NAME...]        the adapters found in /dev (or --dir DIR), or those named\n";
const char kOsSimLines[] = "  sim ARGS...           run the simulated Lawicel adapter (korva_sim ARGS...)\n"
                           "  demo                  two simulated adapters on one virtual bus: see korva work\n";
const char kOsAdapterHelp[] = R"(a device ("ttyUSB0", "/dev/ttyS1", "can0", a link such as
"/tmp/korva/ttyUSB0"), a network adapter "host:port", or a decimal serial
number (the adapters in /dev are probed for it).
)";
const char kOsListHelp[] = R"(Usage: korva list [options] [NAME...]

Lists the adapters that answer: without names, every ttyS*, ttyUSB* and can*
character device in /dev (or DIR) is opened by path, listen-only, asked for
its serial number and versions, and closed.  With names, just those
adapters.  Each adapter costs a few hundred milliseconds of probing.

  -d, --dir DIR        scan DIR instead of /dev
  -v, --verbose        also name the devices that did not answer
%s)";
const char kOsDeviceExamples[] = "ttyUSB0, /dev/ttyS1, can0";
const char kOsExampleAdapter[] = "ttyUSB0";
const char kOsExampleAdapter2[] = "ttyUSB1";
const char kOsExamplePath[] = "/dev/ttyUSB0";
const char kOsScanPlace[] = "in /dev";

struct RcvEvent {
    sem_t sem; // posted by the library once per stored frame, and by the stop signals
};

namespace {

// Lock-free atomics: safe in a signal handler, and the handler may run on
// any thread that does not block the signal.
std::atomic<bool> g_stop{false};
std::atomic<RcvEvent *> g_wake{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<RcvEvent *>::is_always_lock_free);

extern "C" void OnStopSignal(int) {
    const int saved = errno;
    g_stop.store(true);
    // sem_post is async-signal-safe: it wakes a wait for frames.
    if (RcvEvent *wake = g_wake.load()) sem_post(&wake->sem);
    errno = saved;
}

// Orders "ttyS2" before "ttyS10": runs of digits compare by value.
bool NaturalLess(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            const std::string da = a.substr(i, ie - i), db = b.substr(j, je - j);
            const size_t za = da.find_first_not_of('0'), zb = db.find_first_not_of('0');
            const std::string va = za == std::string::npos ? "" : da.substr(za);
            const std::string vb = zb == std::string::npos ? "" : db.substr(zb);
            if (va.size() != vb.size()) return va.size() < vb.size();
            if (va != vb) return va < vb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

bool HasCandidatePrefix(const char *name) {
    return std::strncmp(name, "ttyS", 4) == 0 || std::strncmp(name, "ttyUSB", 6) == 0 ||
           std::strncmp(name, "can", 3) == 0;
}

timespec ToTimespec(int64_t nanos) {
    return timespec{static_cast<time_t>(nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
}

} // namespace

RcvEvent *CreateRcvEvent(const char *cmd) {
    auto *event = new RcvEvent;
    if (sem_init(&event->sem, 0, 0) != 0) {
        Complain(cmd, "cannot create the receive semaphore: sem_init: %s", std::strerror(errno));
        delete event;
        return nullptr;
    }
    return event;
}

void *RcvEventHandle(RcvEvent *event) { return &event->sem; }

bool WaitRcvEvent(RcvEvent *event, int timeoutMs) {
    sem_t *sem = &event->sem;
    if (timeoutMs < 0) {
        while (sem_wait(sem) != 0 && errno == EINTR && !StopRequested()) {
        }
    } else {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
        while (sem_timedwait(sem, &deadline) != 0) {
            if (errno == ETIMEDOUT) return false;
            if (errno == EINTR && StopRequested()) break;
        }
    }
    // One post per stored frame: the read that follows takes all of them.
    while (sem_trywait(sem) == 0) {
    }
    return true;
}

void DestroyRcvEvent(RcvEvent *event) {
    if (event == nullptr) return;
    sem_destroy(&event->sem);
    delete event;
}

void InstallStopSignals(RcvEvent *wake) {
    g_wake.store(wake);
    struct sigaction sa{};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: blocking waits end with EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return g_stop.load(); }

int32_t ClassifyAdapterName(const char *name) { return ClassifyDeviceName(name); }

int32_t OpenWithStopSignalsBlocked(const char *name, int32_t mode) {
    // The library's reader thread inherits the signal mask: with the stop
    // signals blocked there, they reach this thread and end its waits.
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    const int32_t h = KORVA_Open(name, mode);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return h;
}

namespace {
std::string DevicePath(const std::string &name) { return name[0] == '/' ? name : "/dev/" + name; }
} // namespace

bool DeviceExists(const std::string &name, std::string *why) {
    const std::string path = DevicePath(name);
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        // A directory on the way this user may not enter: the open that
        // follows fails, and DeviceAccessDenied says why.
        if (errno == EACCES) return true;
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        *why = path + " is not a character device";
        return false;
    }
    return true;
}

bool DeviceAccessDenied(const std::string &name, std::string *why) {
    const std::string path = DevicePath(name);
    if (::access(path.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return false;
    *why = "permission denied on " + path;
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
        const group *g = ::getgrgid(st.st_gid);
        *why += " (group " + (g != nullptr ? std::string(g->gr_name) : std::to_string(st.st_gid)) + ")";
    }
    *why += "; serial adapters are opened by members of the group dialout: "
            "sudo adduser $USER dialout, then log in again";
    return true;
}

int ListCandidates(const std::string &dirName, std::vector<std::string> *names, std::string *place) {
    const std::string dir = dirName.empty() ? "/dev" : dirName;
    *place = "in " + dir;
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) {
        Complain("list", "cannot read directory %s: %s", dir.c_str(), std::strerror(errno));
        return kExitFailure;
    }
    while (const dirent *e = ::readdir(d)) {
        if (!HasCandidatePrefix(e->d_name)) continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st{};
        // stat follows links: a link to a pseudo-terminal counts.
        if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) names->push_back(path);
    }
    ::closedir(d);
    std::sort(names->begin(), names->end(), NaturalLess);
    return kExitOk;
}

int64_t MonotonicNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool SleepUntil(int64_t due) {
    // An absolute deadline: a signal ends the sleep early.
    const timespec at = ToTimespec(due);
    return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == 0;
}

void WallClock(int64_t *seconds, int32_t *micros) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    *seconds = now.tv_sec;
    *micros = static_cast<int32_t>(now.tv_nsec / 1000);
}

void SetStdoutBinary() {}

} // namespace korva_tool
