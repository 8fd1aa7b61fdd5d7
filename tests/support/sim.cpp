// sim.cpp - the korva_sim child process of a test.
#include "sim.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace korva_test {

namespace {
// The value of key=VALUE in an event line ("ready pty=/dev/pts/3 link=...").
std::string Field(const std::string &line, const std::string &key) {
    size_t pos = line.find(" " + key + "=");
    if (pos == std::string::npos) return {};
    pos += key.size() + 2;
    return line.substr(pos, line.find(' ', pos) - pos);
}
} // namespace

bool Sim::Matches(std::string_view line, std::string_view event) {
    return line.substr(0, event.size()) == event && (line.size() == event.size() || line[event.size()] == ' ');
}

Sim::Sim(std::vector<std::string> args) {
    const char *path = getenv("KORVA_SIM");
    if (!path || !*path) {
        error_ = "KORVA_SIM is not set (CTest sets it to the korva_sim program)";
        return;
    }
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--pty") link_ = args[i + 1];

    // The control channel is a socket pair, so that Send() can use
    // MSG_NOSIGNAL and a simulator that died never raises SIGPIPE here.
    int control[2], log[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) {
        error_ = std::string("socketpair: ") + strerror(errno);
        return;
    }
    if (pipe2(log, O_CLOEXEC) != 0) {
        error_ = std::string("pipe2: ") + strerror(errno);
        close(control[0]);
        close(control[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, control[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, log[1], STDOUT_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors the test opened without O_CLOEXEC (a library's tty or
    // socket) must not stay open in the simulator.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path));
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, path, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(control[1]);
    close(log[1]);
    if (rc != 0) {
        error_ = std::string("posix_spawn ") + path + ": " + strerror(rc);
        pid_ = -1;
        close(control[0]);
        close(log[0]);
        return;
    }
    control_ = control[0];
    reader_ = std::thread(&Sim::ReadEvents, this, log[0]);

    std::optional<std::string> ready = WaitFor("ready");
    if (!ready) {
        error_ = "korva_sim did not report ready (see its messages on stderr)";
        return;
    }
    port_ = atoi(Field(*ready, "tcp").c_str());
    ok_ = true;
}

Sim::~Sim() {
    if (pid_ > 0 && !status_) {
        Send("quit");
        CloseControl();
        if (!WaitExit(std::chrono::seconds(10))) {
            kill(pid_, SIGKILL);
            WaitExit(std::chrono::hours(1));
        }
    }
    if (reader_.joinable()) reader_.join();
    if (control_ >= 0) close(control_);
}

void Sim::ReadEvents(int fd) {
    std::string partial;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        partial.append(buf, static_cast<size_t>(n));
        size_t start = 0, nl;
        std::lock_guard<std::mutex> hold(lock_);
        while ((nl = partial.find('\n', start)) != std::string::npos) {
            events_.push_back(partial.substr(start, nl - start));
            const std::string &line = events_.back();
            if (Matches(line, "ready") && line.find(" pty=") != std::string::npos) pty_ = Field(line, "pty");
            start = nl + 1;
        }
        partial.erase(0, start);
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> hold(lock_);
    eof_ = true;
    changed_.notify_all();
}

std::string Sim::Pty() const {
    std::lock_guard<std::mutex> hold(lock_);
    return pty_;
}

bool Sim::Send(std::string_view line) {
    if (control_ < 0) return false;
    std::string text(line);
    text += '\n';
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(control_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Sim::Command(std::string_view line, std::chrono::milliseconds timeout) {
    size_t from;
    {
        std::lock_guard<std::mutex> hold(lock_);
        from = events_.size();
    }
    if (!Send(line)) return false;
    std::string ok = "ok " + std::string(line), error = "error " + std::string(line) + ":";
    std::optional<std::string> answer =
        Search(from, false, [&](const std::string &e) { return e == ok || e.starts_with(error); }, timeout);
    return answer && *answer == ok;
}

std::optional<std::string> Sim::WaitFor(std::string_view event, std::chrono::milliseconds timeout) {
    return Search(std::nullopt, true, [event](const std::string &line) { return Matches(line, event); }, timeout);
}

std::optional<std::string> Sim::WaitFor(const std::function<bool(const std::string &)> &match,
                                        std::chrono::milliseconds timeout) {
    return Search(std::nullopt, true, match, timeout);
}

std::optional<std::string> Sim::Search(std::optional<size_t> from, bool moveCursor,
                                       const std::function<bool(const std::string &)> &match,
                                       std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> hold(lock_);
    size_t next = from ? *from : cursor_;
    for (;;) {
        for (; next < events_.size(); ++next) {
            if (match(events_[next])) {
                if (moveCursor) cursor_ = next + 1;
                return events_[next];
            }
        }
        if (eof_) return std::nullopt;
        if (changed_.wait_until(hold, deadline) == std::cv_status::timeout && next == events_.size())
            return std::nullopt;
    }
}

void Sim::Mark() {
    std::lock_guard<std::mutex> hold(lock_);
    cursor_ = events_.size();
}

std::vector<std::string> Sim::Events() const {
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
}

size_t Sim::Count(std::string_view event) const {
    std::lock_guard<std::mutex> hold(lock_);
    size_t n = 0;
    for (const std::string &line : events_) n += Matches(line, event);
    return n;
}

void Sim::CloseControl() {
    if (control_ >= 0) close(control_);
    control_ = -1;
}

std::optional<int> Sim::WaitExit(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    if (pid_ <= 0) return std::nullopt;
    {
        // The event log ends when the simulator exits (or is killed).
        std::unique_lock<std::mutex> hold(lock_);
        if (!changed_.wait_for(hold, timeout, [this] { return eof_; })) return std::nullopt;
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    return status_;
}

} // namespace korva_test
