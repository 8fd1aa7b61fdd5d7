// korva_run.h - runs the korva tool as a child process of a test, with its
// standard output and error captured in files of a temporary directory.
//
//   TempDir dir;
//   KorvaRun dump(dir, {"dump", "-n", "2", link});   // starts it
//   ... make the simulator send frames ...
//   ASSERT_EQ(0, dump.Wait());                        // exit status, -1 on timeout
//   EXPECT_EQ(expected, dump.OutLines());
//
//   RunResult r = RunKorva(dir, {"send", link, "123#"});   // start and wait
//   RunKorva(dir, {"info", link}, {"setpriv", "--reuid=65534", "--"});  // through a launcher
#pragma once

#include "tempdir.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace korva_tool_test {

// Generous: sanitizer builds on a busy two-core machine.
constexpr std::chrono::milliseconds kExitTimeout{60000};

// The korva program of the build tree.
inline std::string KorvaPath() {
    const char *build = std::getenv("KORVA_BUILD_DIR");
    return std::string(build ? build : ".") + "/tools/korva/korva";
}

inline std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class KorvaRun {
public:
    // launcher: a program (looked up on PATH) and its arguments that run
    // korva, empty to run korva directly.
    KorvaRun(const TempDir &dir, std::vector<std::string> args, std::vector<std::string> launcher = {}) {
        static int serial = 0;
        const std::string tag = std::to_string(++serial);
        out_ = dir / ("korva-out-" + tag);
        err_ = dir / ("korva-err-" + tag);
        const std::string program = KorvaPath();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addclosefrom_np(&fa, 3);
        std::vector<char *> argv;
        for (std::string &a : launcher) argv.push_back(a.data());
        argv.push_back(const_cast<char *>(program.c_str()));
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        // A pidfd polls readable when the program ends.
        if (pid_ > 0) pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    }
    ~KorvaRun() {
        if (pid_ > 0 && !done_) {
            kill(pid_, SIGKILL);
            Reap();
        }
        if (pidfd_ >= 0) close(pidfd_);
    }
    KorvaRun(const KorvaRun &) = delete;
    KorvaRun &operator=(const KorvaRun &) = delete;

    bool Started() const { return pid_ > 0 && pidfd_ >= 0; }
    void Signal(int sig) const {
        if (pid_ > 0 && !done_) kill(pid_, sig);
    }

    // The exit status, 128 + signal for a killed program, or -1 when it is
    // still running after timeout.
    int Wait(std::chrono::milliseconds timeout = kExitTimeout) {
        if (done_) return status_;
        if (!Started()) return -1;
        pollfd p{pidfd_, POLLIN, 0};
        int n;
        while ((n = poll(&p, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {
        }
        if (n <= 0) return -1;
        Reap();
        return status_;
    }

    std::string Out() const { return ReadWholeFile(out_); }
    std::string Err() const { return ReadWholeFile(err_); }
    std::vector<std::string> OutLines() const { return SplitLines(Out()); }
    std::vector<std::string> ErrLines() const { return SplitLines(Err()); }

private:
    void Reap() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        done_ = true;
    }

    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool done_ = false;
    int status_ = -1;
    std::string out_, err_;
};

struct RunResult {
    int status;
    std::string out, err;
    std::vector<std::string> errLines;
};

inline RunResult RunKorva(const TempDir &dir, std::vector<std::string> args, std::vector<std::string> launcher = {}) {
    KorvaRun run(dir, std::move(args), std::move(launcher));
    const int status = run.Wait();
    return {status, run.Out(), run.Err(), run.ErrLines()};
}

} // namespace korva_tool_test
