/*
 * fake_adapter.h - pseudo-terminals and sockets where a test plays the
 * adapter.
 *
 * Pty opens a pseudo-terminal pair in raw mode and links its slave under a
 * chosen name in a fresh temporary directory (for example
 * /tmp/korva-XXXXXX/ttyUSB0 -> /dev/pts/3), so that the library classifies
 * it by that name.  The test then reads what the library sends from the
 * master side and writes the adapter's answers there:
 *
 *     Pty pty("ttyUSB0");
 *     std::thread t([&] { KORVA_Open(pty.Path().c_str(), 0); });
 *     ASSERT_TRUE(pty.Expect("N\r"));   // waits up to 5 s
 *     pty.Write("N1234\r");
 *
 * FakeAdapter answers commands by itself on a thread: it owns a
 * descriptor (a pty master taken from a Pty, or a listening TCP socket
 * whose newest connection it serves), records every command line, replies
 * from a table and sends lines on request.
 */
#ifndef KORVA_TESTS_FAKE_ADAPTER_H
#define KORVA_TESTS_FAKE_ADAPTER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <termios.h>
#include <thread>
#include <vector>

namespace korva_test {

constexpr int kWaitMs = 5000; // default bound of every wait

class Pty {
  public:
    explicit Pty(const std::string &linkName = "ttyUSB0");
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const std::string &Path() const { return path_; } // the link
    const std::string &Dir() const { return dir_; }   // its temporary directory
    int Master() const { return master_; }
    /* Hands the master over (to a FakeAdapter); this Pty forgets it. */
    int TakeMaster();
    /* Closes the master: the library's side is hung up. */
    void CloseMaster();
    /* The line settings the library left on the slave. */
    termios SlaveSettings() const;

    /* Writes all bytes to the master; false when that took over timeoutMs. */
    bool Write(std::string_view bytes, int timeoutMs = kWaitMs);
    /* Waits until the bytes read from the master contain expected; consumes
     * everything up to and including it.  false on time-out. */
    bool Expect(std::string_view expected, int timeoutMs = kWaitMs);
    /* Bytes received and not consumed yet, reading until quietMs pass
     * without a byte. */
    std::string Drain(int quietMs);

  private:
    bool ReadSome(int timeoutMs);
    int master_ = -1;
    int slave_ = -1;
    std::string dir_, path_, pending_;
};

/* Reply to a command line (given without its carriage return). */
using ReplyFn = std::function<std::string(const std::string &command)>;

/* The usual answers: "N1234", "V1013", "F00", "z"/"Z" for transmit
 * commands, a carriage return for anything else. */
std::string DefaultReply(const std::string &command);

class FakeAdapter {
  public:
    /* fd: a connected descriptor (pty master) or, with listening set, a
     * listening socket; the adapter owns it. */
    explicit FakeAdapter(int fd, bool listening = false);
    ~FakeAdapter();
    FakeAdapter(const FakeAdapter &) = delete;
    FakeAdapter &operator=(const FakeAdapter &) = delete;

    /* Answers command (exact text, no CR) with reply; "" stays silent. */
    void On(const std::string &command, const std::string &reply);
    /* Answers command only after ms, holding back everything after it
     * meanwhile: a slow adapter that still answers in order. */
    void Delay(const std::string &command, int ms);
    /* Command lines received so far, oldest first, and all raw bytes. */
    std::vector<std::string> Commands();
    std::string Raw();
    /* Forgets what was received so far. */
    void Clear();
    /* Waits until a command line equal to command has arrived (since the
     * last Clear). */
    bool WaitCommand(const std::string &command, int timeoutMs = kWaitMs);
    /* Waits until the raw bytes received (since the last Clear) hold n bytes. */
    bool WaitRawSize(size_t n, int timeoutMs = kWaitMs);
    /* Writes bytes to the current connection; false when none or stalled. */
    bool Send(std::string_view bytes, int timeoutMs = kWaitMs);
    /* Stops reading: the library's writes stall once the buffers fill. */
    void StopReading();
    /* Closes the current connection (a pty master: the line hangs up). */
    void Hangup();
    /* Number of connections accepted (listening mode). */
    int Connections();

  private:
    void Run();
    void Wake();
    std::mutex mu_;
    std::condition_variable cv_;
    std::mutex writeMu_;
    std::map<std::string, std::string> replies_;
    std::map<std::string, int> delays_;
    std::vector<std::string> commands_;
    std::string raw_, partial_;
    int listener_ = -1;
    int conn_ = -1;
    int wake_[2] = {-1, -1};
    int connections_ = 0;
    bool stop_ = false, reading_ = true, hangup_ = false;
    std::thread thread_;
};

/* An adapter played by a FakeAdapter on a pty linked as link, opened with
 * KORVA_Open(path, mode).  handle is KORVA_Open's result; a positive one is
 * closed on destruction unless the test has set it to 0.  When the open
 * succeeded, the adapter has received its whole command sequence. */
struct OpenedPty {
    explicit OpenedPty(int32_t mode = 0, const std::string &link = "ttyUSB0");
    ~OpenedPty();
    Pty pty;
    FakeAdapter adapter;
    int32_t handle;
};

} // namespace korva_test

#endif
