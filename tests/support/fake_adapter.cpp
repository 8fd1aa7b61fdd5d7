/*
 * fake_adapter.cpp - pseudo-terminals and a scripted adapter for tests.
 */
#include "fake_adapter.h"

#include "korva_api.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace korva_test {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left);
}

/* Writes everything to a non-blocking descriptor, waiting while it is full. */
bool WriteAll(int fd, std::string_view bytes, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        const ssize_t m = (n < 0 && errno == ENOTSOCK) ? ::write(fd, bytes.data() + done, bytes.size() - done) : n;
        if (m > 0) {
            done += static_cast<size_t>(m);
            continue;
        }
        if (m < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) return false;
    }
    return true;
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

} // namespace

/* ---- Pty ---------------------------------------------------------------- */

Pty::Pty(const std::string &linkName) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw std::runtime_error("posix_openpt");
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    if (slave_ < 0) throw std::runtime_error("open slave");
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    char dir[] = "/tmp/korva-XXXXXX";
    if (::mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = dir;
    path_ = dir_ + "/" + linkName;
    if (::symlink(::ptsname(master_), path_.c_str()) != 0) throw std::runtime_error("symlink");
}

Pty::~Pty() {
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
}

int Pty::TakeMaster() {
    const int fd = master_;
    master_ = -1;
    return fd;
}

void Pty::CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

termios Pty::SlaveSettings() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
}

bool Pty::Write(std::string_view bytes, int timeoutMs) { return WriteAll(master_, bytes, timeoutMs); }

bool Pty::ReadSome(int timeoutMs) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    // EIO while the library has the slave closed between two exchanges.
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
    return true;
}

bool Pty::Expect(std::string_view expected, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t at = pending_.find(expected);
        if (at != std::string::npos) {
            pending_.erase(0, at + expected.size());
            return true;
        }
        if (Clock::now() >= deadline) return false;
        if (!ReadSome(10)) continue;
    }
}

std::string Pty::Drain(int quietMs) {
    while (ReadSome(quietMs)) {
    }
    std::string out;
    out.swap(pending_);
    return out;
}

/* ---- FakeAdapter ------------------------------------------------------------ */

std::string DefaultReply(const std::string &command) {
    if (command.empty()) return "\r";
    switch (command[0]) {
    case 'N': return "N1234\r";
    case 'V': return "V1013\r";
    case 'F': return "F00\r";
    case 't':
    case 'r': return "z\r";
    case 'T':
    case 'R': return "Z\r";
    default: return "\r";
    }
}

FakeAdapter::FakeAdapter(int fd, bool listening) {
    if (listening)
        listener_ = fd;
    else
        conn_ = fd;
    if (::pipe(wake_) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { Run(); });
}

FakeAdapter::~FakeAdapter() {
    {
        std::lock_guard<std::mutex> g(mu_);
        stop_ = true;
    }
    Wake();
    thread_.join();
    if (conn_ >= 0) ::close(conn_);
    if (listener_ >= 0) ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void FakeAdapter::Wake() {
    const char one = 1;
    [[maybe_unused]] ssize_t rc = ::write(wake_[1], &one, 1);
}

void FakeAdapter::On(const std::string &command, const std::string &reply) {
    std::lock_guard<std::mutex> g(mu_);
    replies_[command] = reply;
}

void FakeAdapter::Delay(const std::string &command, int ms) {
    std::lock_guard<std::mutex> g(mu_);
    delays_[command] = ms;
}

std::vector<std::string> FakeAdapter::Commands() {
    std::lock_guard<std::mutex> g(mu_);
    return commands_;
}

std::string FakeAdapter::Raw() {
    std::lock_guard<std::mutex> g(mu_);
    return raw_;
}

void FakeAdapter::Clear() {
    std::lock_guard<std::mutex> g(mu_);
    commands_.clear();
    raw_.clear();
}

bool FakeAdapter::WaitCommand(const std::string &command, int timeoutMs) {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        for (const std::string &c : commands_)
            if (c == command) return true;
        return false;
    });
}

bool FakeAdapter::WaitRawSize(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return raw_.size() >= n; });
}

bool FakeAdapter::Send(std::string_view bytes, int timeoutMs) {
    std::lock_guard<std::mutex> w(writeMu_);
    int fd;
    {
        std::lock_guard<std::mutex> g(mu_);
        fd = conn_;
    }
    return fd >= 0 && WriteAll(fd, bytes, timeoutMs);
}

void FakeAdapter::StopReading() {
    {
        std::lock_guard<std::mutex> g(mu_);
        reading_ = false;
    }
    Wake();
}

void FakeAdapter::Hangup() {
    {
        std::lock_guard<std::mutex> g(mu_);
        hangup_ = true;
    }
    Wake();
    // The thread closes the connection; wait until it has.
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait_for(g, std::chrono::milliseconds(kWaitMs), [&] { return !hangup_; });
}

int FakeAdapter::Connections() {
    std::lock_guard<std::mutex> g(mu_);
    return connections_;
}

void FakeAdapter::Run() {
    for (;;) {
        pollfd p[3] = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}, {-1, POLLIN, 0}};
        bool hangup;
        {
            std::lock_guard<std::mutex> g(mu_);
            if (stop_) return;
            hangup = hangup_;
        }
        if (hangup) {
            std::lock_guard<std::mutex> w(writeMu_);
            std::lock_guard<std::mutex> g(mu_);
            if (conn_ >= 0) ::close(conn_);
            conn_ = -1;
            hangup_ = false;
            cv_.notify_all();
        }
        {
            std::lock_guard<std::mutex> g(mu_);
            if (reading_) p[2].fd = conn_;
        }
        if (::poll(p, 3, -1) < 0) continue;
        if (p[0].revents) {
            char buf[16];
            [[maybe_unused]] ssize_t rc = ::read(wake_[0], buf, sizeof buf);
            continue;
        }
        if (p[1].revents & POLLIN) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd >= 0) {
                SetNonBlocking(fd);
                std::lock_guard<std::mutex> w(writeMu_);
                std::lock_guard<std::mutex> g(mu_);
                if (conn_ >= 0) ::close(conn_); // a new client replaces the old one
                conn_ = fd;
                ++connections_;
            }
        }
        if (p[2].revents == 0) continue;
        char buf[4096];
        const ssize_t n = ::read(p[2].fd, buf, sizeof buf);
        if (n <= 0) {
            // The library has the pty slave closed (EIO) or closed the
            // connection: wait for the next one, or for the slave to return.
            if (listener_ >= 0 && n == 0) {
                std::lock_guard<std::mutex> w(writeMu_);
                std::lock_guard<std::mutex> g(mu_);
                if (conn_ == p[2].fd) {
                    ::close(conn_);
                    conn_ = -1;
                }
            } else if (n < 0 && errno == EIO) {
                pollfd q{wake_[0], POLLIN, 0};
                ::poll(&q, 1, 5); // a hung-up master polls readable at once
            }
            continue;
        }
        std::vector<std::pair<int, std::string>> answers;
        {
            std::lock_guard<std::mutex> g(mu_);
            raw_.append(buf, static_cast<size_t>(n));
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\r') {
                    partial_.push_back(buf[i]);
                    continue;
                }
                commands_.push_back(partial_);
                const auto r = replies_.find(partial_);
                const auto d = delays_.find(partial_);
                answers.emplace_back(d != delays_.end() ? d->second : 0,
                                     r != replies_.end() ? r->second : DefaultReply(partial_));
                partial_.clear();
            }
            cv_.notify_all();
        }
        for (const auto &[delayMs, a] : answers) {
            if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            if (!a.empty()) Send(a);
        }
    }
}

/* ---- OpenedPty ---------------------------------------------------------- */

OpenedPty::OpenedPty(int32_t mode, const std::string &link)
    : pty(link), adapter(pty.TakeMaster()), handle(KORVA_Open(pty.Path().c_str(), mode)) {
    // "C", "N", "V" and the open command: 8 bytes, all seen before the test
    // starts looking at what comes next.
    if (handle > 0) adapter.WaitRawSize(8);
}

OpenedPty::~OpenedPty() {
    if (handle > 0) KORVA_Close(handle);
}

} // namespace korva_test
