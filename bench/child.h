// child.h - a child process (the simulated adapter, python-can) with its
// standard input and output on pipes, for the benchmark programs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

// A child process with its standard input and output on pipes; its output
// lines are collected by a thread.
class Child {
public:
    bool Start(const std::vector<std::string> &argv) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        const int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
        if (rc != 0) return false;
        reader_ = std::thread([this] { Collect(); });
        return true;
    }
    ~Child() {
        if (toChild_ >= 0) close(toChild_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
        if (fromChild_ >= 0) close(fromChild_);
    }
    void Send(const std::string &line) {
        const std::string l = line + "\n";
        [[maybe_unused]] ssize_t n = write(toChild_, l.data(), l.size());
    }
    // Waits for a line that starts with prefix; returns it.
    std::optional<std::string> WaitFor(const std::string &prefix, double seconds) {
        std::unique_lock<std::mutex> g(lock_);
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            while (!lines_.empty()) {
                std::string l = std::move(lines_.front());
                lines_.pop_front();
                if (l.rfind(prefix, 0) == 0) return l;
            }
            if (ended_ || cv_.wait_until(g, until) == std::cv_status::timeout) return std::nullopt;
        }
    }
    pid_t Pid() const { return pid_; }
    // Takes every line collected so far.
    std::deque<std::string> Take() {
        std::lock_guard<std::mutex> g(lock_);
        std::deque<std::string> out;
        out.swap(lines_);
        return out;
    }

private:
    void Collect() {
        std::string partial;
        char buf[65536];
        for (;;) {
            const ssize_t n = read(fromChild_, buf, sizeof buf);
            if (n <= 0) break;
            partial.append(buf, static_cast<size_t>(n));
            size_t start = 0, nl;
            std::lock_guard<std::mutex> g(lock_);
            while ((nl = partial.find('\n', start)) != std::string::npos) {
                lines_.push_back(partial.substr(start, nl - start));
                start = nl + 1;
            }
            partial.erase(0, start);
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> g(lock_);
        ended_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    int toChild_ = -1, fromChild_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::deque<std::string> lines_;
    bool ended_ = false;
};

