// sim.h - runs the simulated Lawicel adapter (korva_sim, found through the
// environment variable KORVA_SIM that CTest sets) as a child process for a
// test, and follows its event log.
//
// Usage:
//   TempDir dir;
//   korva_test::Sim sim({"--pty", dir / "ttyUSB0"});     // or {"--tcp", "0"}
//   ASSERT_TRUE(sim.Ok()) << sim.Error();
//   int32_t h = KORVA_Open(sim.Link().c_str(), KORVA_MODE_NORMAL); // or sim.TcpName()
//   ASSERT_TRUE(sim.WaitFor("state open"));
//   ASSERT_TRUE(sim.Command("send 123#AABB"));          // control line, waits for "ok ..."
//   ... KORVA_Read(h, ...) ...
//   sim.Mark();                                          // forget the events so far
//   ... KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags) ...
//   ASSERT_TRUE(sim.WaitFor("rx F"));
//
// Events and control commands are listed by "korva_sim --help".
// WaitFor(text) matches an event line equal to text or starting with
// text + " " ("state open" matches "state open O"; "rx C" does not match
// "rx CX").  It looks at the events after the cursor, which starts at the
// first event and moves past every match (and to the end on Mark()), so
// successive waits see events in order; Command() leaves it alone.  The
// destructor ends the simulator ("quit", then SIGKILL if it does not end)
// and reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korva_test {

class Sim {
public:
    // Generous: the tests also run under sanitizers on a busy machine.
    static constexpr std::chrono::milliseconds kTimeout{20000};

    // Starts $KORVA_SIM with args and waits for its "ready" event.
    explicit Sim(std::vector<std::string> args);
    ~Sim();
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;

    bool Ok() const { return ok_; }                 // running and ready
    const std::string &Error() const { return error_; }
    const std::string &Link() const { return link_; } // --pty link
    std::string Pty() const;                        // /dev/pts/N (changes after "close")
    int Port() const { return port_; }              // --tcp port, 0 for a pty
    std::string TcpName() const { return "127.0.0.1:" + std::to_string(port_); }
    pid_t Pid() const { return pid_; }

    // Sends one control line (the line feed is added).  False when the
    // simulator no longer reads its control channel.
    bool Send(std::string_view line);
    // Sends a control line and waits for its "ok" (true) or "error" (false).
    // The cursor stays where it was, so events that the command causes (and
    // that the simulator may log before its "ok") can be waited for next.
    bool Command(std::string_view line, std::chrono::milliseconds timeout = kTimeout);

    // Waits for the next event that matches; returns the line, or nothing
    // after the timeout.
    std::optional<std::string> WaitFor(std::string_view event, std::chrono::milliseconds timeout = kTimeout);
    // The same with a predicate; it runs with the event list locked and must
    // not call back into this object.
    std::optional<std::string> WaitFor(const std::function<bool(const std::string &)> &match,
                                       std::chrono::milliseconds timeout = kTimeout);
    // Moves the cursor past every event received so far.
    void Mark();
    // Every event line so far, and the number of those that match event.
    std::vector<std::string> Events() const;
    size_t Count(std::string_view event) const;

    // Closes the control channel (the simulator then ends by itself).
    void CloseControl();
    // Waits until the simulator has ended; its exit status (as waitpid
    // reports it), or nothing after the timeout.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout = kTimeout);

    static bool Matches(std::string_view line, std::string_view event);

private:
    void ReadEvents(int fd);
    // Waits for a match at or after index from (the cursor when none).
    std::optional<std::string> Search(std::optional<size_t> from, bool moveCursor,
                                      const std::function<bool(const std::string &)> &match,
                                      std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int control_ = -1;          // our end of the simulator's standard input
    std::thread reader_;        // follows the event log
    bool ok_ = false;
    std::string error_;
    std::string link_;
    int port_ = 0;
    std::optional<int> status_; // exit status once reaped

    mutable std::mutex lock_;   // guards the members below
    std::condition_variable changed_;
    std::vector<std::string> events_;
    size_t cursor_ = 0;
    bool eof_ = false;          // the event log ended
    std::string pty_;
};

} // namespace korva_test
