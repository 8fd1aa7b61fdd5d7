// The library against an adapter that misbehaves, through the exported
// functions: a connection that breaks while frames flow (the pty
// unplugged, the TCP peer closing or resetting), a line that stops taking
// data, replies that are refused, missing, garbled or late, and a flood
// that overruns the receive ring.  The adapter is the simulator (or, for
// the reset, the test itself).
#include "korva_api.h"
#include "discovery.h"
#include "net.h"
#include "procstat.h"
#include "sim.h"
#include "sysfuncs.h"
#include "sysfuncs_lawicel.h"
#include "tempdir.h"
#include "traced.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace korva_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kHang = 10s;     // a call that has not returned by then hangs
constexpr uint32_t kFloodId = 0x100; // the simulator's flood identifier

void *Arg(intptr_t v) { return KORVA_IOCTL_INT(v); }

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

/* Runs call on a thread of its own and returns its result and duration.  A
 * call that has not returned within kHang is a hang: reported, and the
 * program ends, as nothing can free the thread. */
template <typename F> int32_t Bounded(const char *what, F call, double *seconds = nullptr) {
    const auto start = Clock::now();
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(kHang) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within %lld s\n", what, static_cast<long long>(kHang.count()));
        std::abort();
    }
    const int32_t rc = result.get();
    if (seconds) *seconds = SecondsSince(start);
    return rc;
}

/* The result of request, made up to five times while it gives transient. */
template <typename F> int32_t Retried(int32_t transient, F request) {
    int32_t rc = transient;
    for (int i = 0; i < 5 && rc == transient; ++i) rc = request();
    return rc;
}

struct Semaphore {
    Semaphore() { sem_init(&sem, 0, 0); }
    ~Semaphore() { sem_destroy(&sem); }
    /* Waits for n posts, each within timeout. */
    bool Wait(int n, int timeoutSeconds = 20) {
        for (int i = 0; i < n; ++i) {
            timespec ts{};
            clock_gettime(CLOCK_REALTIME, &ts);
            ts.tv_sec += timeoutSeconds;
            while (sem_timedwait(&sem, &ts) != 0)
                if (errno != EINTR) return false;
        }
        return true;
    }
    sem_t sem;
};

/* The one thread that appeared since the listing before, or -1.  A
 * helper thread that has just ended (the one std::async opened on) may
 * still be listed for a moment, so the listing is looked at again a while. */
int NewTask(const std::set<int> &before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::vector<int> fresh;
        for (int t : TaskIds())
            if (!before.count(t)) fresh.push_back(t);
        if (fresh.size() == 1) return fresh[0];
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

/* Checks received flood frames: whole and in increasing order after last
 * (-1 before the first).  Counts the frames and the gaps between them. */
struct FloodCheck {
    int64_t last = -1;
    size_t frames = 0, gaps = 0, broken = 0, disordered = 0;
    void Take(const CanMsg &m) {
        uint32_t seq = 0;
        if (!FloodFrame(m, kFloodId, &seq)) {
            ++broken;
            return;
        }
        ++frames;
        if (static_cast<int64_t>(seq) <= last) ++disordered;
        else if (static_cast<int64_t>(seq) != last + 1) ++gaps;
        last = seq;
    }
};

/* The test as a TCP adapter: answers the exchanges of KORVA_Open on the
 * connections it accepts, then sends what the test asks on the last one. */
class TcpAdapter {
  public:
    ~TcpAdapter() {
        if (conn_ >= 0) close(conn_);
    }
    std::string Name() const { return listener_.Name(); }

    /* Serves connections until the open command arrived: "N" and "V" are
     * answered with an identity, everything else with a carriage return.
     * false when the library gave up (gaveUp() turns true) or nothing
     * happened for 10 s. */
    template <typename F> bool ServeOpen(F gaveUp) {
        std::string line;
        for (auto idle = Clock::now();;) {
            // What the library sent is read first: "O" may still wait here
            // when KORVA_Open has already returned.
            pollfd p{conn_ < 0 ? listener_.fd : conn_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) {
                if (gaveUp() || SecondsSince(idle) > 10) return false;
                continue;
            }
            idle = Clock::now();
            if (conn_ < 0) {
                conn_ = accept(listener_.fd, nullptr, nullptr);
                if (conn_ < 0) return false;
                line.clear();
                continue;
            }
            char c;
            const ssize_t n = recv(conn_, &c, 1, 0);
            if (n <= 0) { // the library closed this connection: the next comes
                close(conn_);
                conn_ = -1;
                continue;
            }
            if (c != '\r') {
                line += c;
                continue;
            }
            const std::string reply = line == "N" ? "N1234\r" : line == "V" ? "V1013\r" : "\r";
            if (send(conn_, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size()))
                return false;
            if (line == "O") return true;
            line.clear();
        }
    }
    bool Send(const std::string &bytes) {
        return send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    /* Ends the connection in order: what was sent still arrives. */
    void Close() {
        close(conn_);
        conn_ = -1;
    }
    /* Closes the connection with a reset instead of an orderly end. */
    void Reset() {
        const linger hard{1, 0};
        setsockopt(conn_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close(conn_);
        conn_ = -1;
    }

  private:
    LoopbackListener listener_;
    int conn_ = -1;
};

/* Flood frame text as the adapter sends it. */
std::string FloodLine(uint32_t seq) {
    char text[32];
    std::snprintf(text, sizeof text, "t%03X8%08X%08X\r", kFloodId, seq, ~seq);
    return text;
}

/* What a loss must leave behind, checked on handle h whose reader thread
 * is tid; fds and tasks are the process's before KORVA_Open. */
void ExpectCleanLoss(const char *what, int32_t h, int tid, size_t fds, const std::set<int> &tasks) {
    // The loss is noticed by the reader, or by the first call that writes.
    uint32_t flags = 0;
    const auto deadline = Clock::now() + kHang;
    while (!(flags & KORVA_STATUS_CHANNEL_LOST) && Clock::now() < deadline)
        Bounded("KORVA_Ioctl(GET_FLAGS)", [&] { return KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags); });
    ASSERT_NE(flags & KORVA_STATUS_CHANNEL_LOST, 0U) << what;

    // The reader thread rests: a spinning one would use most of the window.
    const double cpu0 = ThreadCpuSeconds(tid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(1s); // the measuring window
    const double cpu = (ThreadCpuSeconds(tid) - cpu0) / SecondsSince(t0);
    ASSERT_GE(cpu0, 0.0) << what << ": the reader thread has ended";
    EXPECT_LT(cpu, 0.2) << what;

    // Every call fails at once.
    const CanMsg m{0x123, 1, {1}, KORVA_FLAG_STANDARD, 0};
    uint32_t written = 0;
    double slowest = 0, t = 0;
    auto note = [&] { slowest = std::max(slowest, t); };
    EXPECT_EQ(Bounded("KORVA_Write", [&] { return KORVA_Write(h, &m, 1, &written); }, &t), KORVA_ERR_NO_DEVICE);
    note();
    EXPECT_EQ(Bounded("KORVA_Flush", [&] { return KORVA_Flush(h); }, &t), KORVA_ERR_NO_DEVICE);
    note();
    EXPECT_EQ(Bounded("SET_SPEED", [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(6)); }, &t),
              KORVA_ERR_NO_DEVICE);
    note();
    EXPECT_EQ(Bounded("SET_TIMESTAMP", [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_TIMESTAMP, Arg(1)); }, &t),
              KORVA_ERR_NO_DEVICE);
    note();
    EXPECT_EQ(Bounded("GET_FLAGS", [&] { return KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags); }, &t), 0);
    note();
    EXPECT_NE(flags & KORVA_STATUS_CHANNEL_LOST, 0U);

    // The frames received before stay readable, whole and in order; then
    // reads, waiting ones too, say that nothing more will come.
    FloodCheck check;
    CanMsg got[256];
    uint32_t n = 0;
    int32_t rc = 0;
    while ((rc = KORVA_Read(h, got, 256, &n)) == 0 && n > 0)
        for (uint32_t i = 0; i < n; ++i) check.Take(got[i]);
    EXPECT_EQ(rc, KORVA_ERR_NO_DEVICE) << what;
    EXPECT_GT(check.frames, 0U) << what;
    EXPECT_EQ(check.broken + check.disordered, 0U) << what;
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
    EXPECT_EQ(Bounded("blocking KORVA_Read", [&] { return KORVA_Read(h, got, 1, &n); }, &t), KORVA_ERR_NO_DEVICE);
    note();

    double closing = 0;
    EXPECT_EQ(Bounded("KORVA_Close", [&] { return KORVA_Close(h); }, &closing), 0);
    EXPECT_EQ(OpenFdCount(), fds) << what;
    EXPECT_EQ(TaskIds(), tasks) << what;
    std::printf("[ figures  ] %s: reader cpu %.1f%% of 1 s after the loss, slowest failing call %.3f s, "
                "%zu frames still read, close %.3f s\n",
                what, 100 * cpu, slowest, check.frames, closing);
}

/* The simulator floods the handle; then its connection goes away. */
void LoseWhileFlooding(const char *what, std::vector<std::string> args) {
    Sim sim(std::move(args));
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const std::string name = sim.Port() ? sim.TcpName() : sim.Link();
    const size_t fds = OpenFdCount();
    const std::set<int> tasks = TaskIds();
    const int32_t h = OpenAdapter(name);
    ASSERT_GT(h, 0);
    const int tid = NewTask(tasks);
    ASSERT_GT(tid, 0) << "no single new thread after KORVA_Open";
    Semaphore received;
    ASSERT_EQ(KORVA_SetRcvEvent(h, &received.sem), 0);
    ASSERT_TRUE(sim.Command("flood 1000000"));
    ASSERT_TRUE(received.Wait(2000)) << what;
    ASSERT_TRUE(sim.Command("close"));
    ASSERT_TRUE(sim.WaitFor("closed"));
    ExpectCleanLoss(what, h, tid, fds, tasks);
}

} // namespace

TEST(ChannelLoss, PtyUnpluggedWhileFramesFlow) {
    TempDir dir;
    LoseWhileFlooding("pty closed", {"--pty", dir / "ttyUSB0", "--no-log-rx"});
}

TEST(ChannelLoss, TcpPeerClosesWhileFramesFlow) { LoseWhileFlooding("tcp peer closed", {"--tcp", "0", "--no-log-rx"}); }

/* Opens the test's TCP adapter; KORVA_ERR_NO_DEVICE when it never works. */
int32_t OpenServed(TcpAdapter &peer) {
    int32_t h = KORVA_ERR_NO_DEVICE;
    // A reply that missed its wait on a loaded machine: the open is tried again.
    for (int attempt = 0; attempt < 5 && h == KORVA_ERR_NO_DEVICE; ++attempt) {
        auto opening = std::async(std::launch::async, [&] { return KORVA_Open(peer.Name().c_str(), 0); });
        peer.ServeOpen([&] { return opening.wait_for(0s) == std::future_status::ready; });
        if (opening.wait_for(kHang) != std::future_status::ready) return KORVA_ERR_GENERIC;
        h = opening.get();
    }
    return h;
}

TEST(ChannelLoss, FramesSentJustBeforeTheEndOfTheStreamAreRead) {
    // The last burst arrives together with the end of the stream: its
    // frames must not be dropped with it.
    TcpAdapter peer;
    const int32_t h = OpenServed(peer);
    ASSERT_GT(h, 0);
    std::string text;
    for (uint32_t seq = 0; seq < 7; ++seq) text += FloodLine(seq);
    ASSERT_TRUE(peer.Send(text));
    peer.Close();
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
    FloodCheck check;
    CanMsg got[16];
    uint32_t n = 0;
    int32_t rc = 0;
    while ((rc = Bounded("KORVA_Read", [&] { return KORVA_Read(h, got, 16, &n); })) == 0)
        for (uint32_t i = 0; i < n; ++i) check.Take(got[i]);
    EXPECT_EQ(rc, KORVA_ERR_NO_DEVICE);
    EXPECT_EQ(check.frames, 7U);
    EXPECT_EQ(check.broken + check.disordered + check.gaps, 0U);
    EXPECT_EQ(KORVA_Close(h), 0);
}

TEST(ChannelLoss, TcpPeerResetsWhileFramesFlow) {
    TcpAdapter peer;
    const size_t fds = OpenFdCount();
    const std::set<int> tasks = TaskIds();
    const int32_t h = OpenServed(peer);
    ASSERT_GT(h, 0);
    const int tid = NewTask(tasks);
    ASSERT_GT(tid, 0) << "no single new thread after KORVA_Open";
    Semaphore received;
    ASSERT_EQ(KORVA_SetRcvEvent(h, &received.sem), 0);
    std::string text;
    for (uint32_t seq = 0; seq < 3000; ++seq) text += FloodLine(seq);
    ASSERT_TRUE(peer.Send(text));
    ASSERT_TRUE(received.Wait(100));
    peer.Reset(); // frames still in flight
    ExpectCleanLoss("tcp peer reset", h, tid, fds, tasks);
}

/* A frame of the careful writer below: sequence number seq in the data,
 * big endian, then its complement. */
constexpr uint32_t kSeqId = 0x200;
CanMsg SeqFrame(uint32_t seq) {
    CanMsg m{kSeqId, 8, {}, KORVA_FLAG_STANDARD, 0};
    for (int i = 0; i < 4; ++i) {
        m.Data[i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
        m.Data[4 + i] = static_cast<uint8_t>(~m.Data[i]);
    }
    return m;
}
/* The command line of that frame as the simulator logs it. */
std::string SeqCommand(uint32_t seq) {
    char text[40];
    std::snprintf(text, sizeof text, "rx t%03X8%08X%08X", kSeqId, seq, ~seq);
    return text;
}

/* The application keeps writing on a line that no longer takes data, in
 * batches, sending again what the counter says was not taken, as a
 * careful program does; a configuration request comes in between.  Once
 * the adapter reads again, flushing until it succeeds must put every frame
 * that was counted on the wire exactly once and in order, and none that
 * was refused.  No call may hang meanwhile, and closing on a stalled line
 * returns. */
TEST(StalledLine, CountedFramesArriveOnceInOrderAndNoCallHangs) {
    TempDir dir;
    for (const bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "pty");
        Sim sim(tcp ? std::vector<std::string>{"--tcp", "0", "--status", "04"}
                    : std::vector<std::string>{"--pty", dir / "ttyUSB0", "--status", "04"});
        ASSERT_TRUE(sim.Ok()) << sim.Error();
        const int32_t h = OpenAdapter(tcp ? sim.TcpName() : sim.Link());
        ASSERT_GT(h, 0);
        ASSERT_TRUE(sim.Command("fault stall"));

        // Writes batches from sequence number *next on, until three calls
        // have failed; *next ends as the number of frames counted.
        double writeFails = 0;
        auto writeUntilRefused = [&](uint32_t *next) {
            std::vector<CanMsg> batch(200);
            int failures = 0;
            while (failures < 3 && *next < (8U << 20)) {
                for (size_t i = 0; i < batch.size(); ++i) batch[i] = SeqFrame(*next + static_cast<uint32_t>(i));
                uint32_t written = 0;
                const int32_t rc =
                    Bounded("KORVA_Write", [&] { return KORVA_Write(h, batch.data(), 200, &written); }, &writeFails);
                if (rc != 0) {
                    EXPECT_EQ(rc, KORVA_ERR_SYSTEM);
                    EXPECT_LT(written, batch.size());
                    ++failures;
                }
                *next += written;
            }
            return failures;
        };
        uint32_t next = 0;
        ASSERT_EQ(writeUntilRefused(&next), 3);
        ASSERT_GT(next, 0U);

        // A socket whose reader stalled may still take a little now and
        // then (the receiving kernel compacts its queue and opens the
        // window): a flush that got everything out is followed by more
        // frames until the line is full again.
        double flushFails = 0, configFails = 0;
        int32_t flushed = Bounded("KORVA_Flush", [&] { return KORVA_Flush(h); }, &flushFails);
        for (int round = 0; round < 3 && flushed == 0; ++round) {
            writeUntilRefused(&next);
            flushed = Bounded("KORVA_Flush", [&] { return KORVA_Flush(h); }, &flushFails);
        }
        EXPECT_EQ(flushed, KORVA_ERR_SYSTEM);
        // The line does not take the queued text, so the adapter is not
        // closed for the exchange either.
        EXPECT_NE(Bounded("SET_SPEED", [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(6)); }, &configFails),
                  0);

        ASSERT_TRUE(sim.Command("fault none"));
        int32_t rc = KORVA_ERR_SYSTEM;
        for (int i = 0; i < 30 && rc != 0; ++i) rc = Bounded("KORVA_Flush", [&] { return KORVA_Flush(h); });
        ASSERT_EQ(rc, 0);
        ASSERT_TRUE(sim.WaitFor(SeqCommand(next - 1))) << next << " frames counted";
        // A status request goes after anything still queued: the handle
        // works again, and nothing refused came after the last counted frame.
        uint32_t flags = 0;
        EXPECT_EQ(Retried(KORVA_ERR_GENERIC, [&] { return KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags); }), 0);
        EXPECT_EQ(flags & 0xFFU, 0x04U);
        ASSERT_TRUE(sim.WaitFor("rx F"));
        uint32_t expected = 0, wrong = 0;
        for (const std::string &event : sim.Events()) {
            if (event.rfind("rx t", 0) != 0) continue;
            if (event != SeqCommand(expected)) ++wrong;
            ++expected;
        }
        EXPECT_EQ(expected, next) << "frame commands on the wire";
        EXPECT_EQ(wrong, 0U) << "frame commands out of place, repeated or refused ones";

        // Closing on a stalled line with text queued returns, and says
        // what it had to drop.
        ASSERT_TRUE(sim.Command("fault stall"));
        EXPECT_EQ(writeUntilRefused(&next), 3);
        double closing = 0;
        const std::string trace = Traced(
            [&] { EXPECT_EQ(Bounded("KORVA_Close", [&] { return KORVA_Close(h); }, &closing), 0); });
        EXPECT_NE(trace.find("bytes of queued frame text dropped"), std::string::npos) << trace;
        std::printf("[ figures  ] stalled %s: %u frames counted and delivered; failing KORVA_Write %.3f s, "
                    "failing KORVA_Flush %.3f s, failing SET_SPEED %.3f s, KORVA_Close %.3f s\n",
                    tcp ? "tcp" : "pty", expected, writeFails, flushFails, configFails, closing);
    }
}

TEST(MisbehavingAdapter, FailedIdentificationFindsNothingUntilTheAdapterBehaves) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0", "--no-log-rx"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const std::pair<const char *, const char *> cases[] = {
        {"fault refuse", "fault none"},
        {"fault silence", "fault none"},
        {"reply N none", "reply N default"},            // answers "C" but not "N": no quiet adapter
        {"reply N N123456789012\\r", "reply N default"}, // 14 bytes
        {"reply N #@!x\\x01\\r", "reply N default"},     // garbage
        {"reply V V10\\r", "reply V default"},           // too short
        {"reply V none", "reply V default"},
    };
    for (const auto &[fault, cure] : cases) {
        SCOPED_TRACE(fault);
        ASSERT_TRUE(sim.Command(fault));
        double seconds = 0;
        EXPECT_EQ(Bounded("KORVA_Open", [&] { return KORVA_Open(sim.Link().c_str(), KORVA_MODE_NORMAL); }, &seconds),
                  KORVA_ERR_NO_DEVICE);
        if (std::strcmp(fault, "fault silence") == 0 || std::strcmp(fault, "reply N none") == 0) {
            // A line on which nothing answers is asked "V" once more (it
            // might be a quiet adapter), and still gives up quickly: three
            // unanswered waits instead of two.
            EXPECT_LT(seconds, 2.0);
            std::printf("[ figures  ] KORVA_Open, %s: %.3f s\n",
                        fault[0] == 'f' ? "nothing answers" : "only \"N\" unanswered", seconds);
        }
        // The query itself reports the reply's shape.
        Device probe;
        InitDevice(&probe);
        std::snprintf(probe.SystemName, sizeof probe.SystemName, "%s", sim.Link().c_str());
        ResetDevice_Lawicel(&probe); // as before every probe: its reply tells a quiet adapter from others
        EXPECT_EQ(GetDeviceSerialNrNVersion_Lawicel(&probe), KORVA_ERR_GENERIC);
        ReleaseChannelResources(&probe);

        ASSERT_TRUE(sim.Command(cure));
        const int32_t h = OpenAdapter(sim.Link());
        EXPECT_GT(h, 0);
        if (h > 0) {
            EXPECT_EQ(KORVA_Close(h), 0);
        }
    }
    EXPECT_EQ(DeviceListSize(DeviceList), 0);
}

TEST(MisbehavingAdapter, RefusedMissingGarbledOrLateRepliesFailAndTheHandleRecovers) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0", "--no-log-rx", "--status", "04"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const int32_t h = OpenAdapter(sim.Link());
    ASSERT_GT(h, 0);
    Device *dev = GetDevice(DeviceList, h);
    uint32_t flags = 0;
    struct Case {
        const char *fault;
        uint32_t request;
        void *argument;
        int32_t rc;
        const char *cure;
    };
    const Case cases[] = {
        {"fault refuse", KORVA_IOCTL_SET_SPEED, Arg(6), KORVA_ERR_COMMAND, "fault none"},
        {"fault refuse", KORVA_IOCTL_GET_FLAGS, &flags, KORVA_ERR_GENERIC, "fault none"},
        {"fault silence", KORVA_IOCTL_SET_TIMESTAMP, Arg(1), KORVA_ERR_COMMAND, "fault none"},
        {"fault silence", KORVA_IOCTL_GET_FLAGS, &flags, KORVA_ERR_GENERIC, "fault none"},
        {"reply S garbage\\x7f\\r", KORVA_IOCTL_SET_SPEED, Arg(6), KORVA_ERR_COMMAND, "reply S default"},
        {"reply F Fxyz\\r", KORVA_IOCTL_GET_FLAGS, &flags, KORVA_ERR_GENERIC, "reply F default"},
        {"reply F F4\\r", KORVA_IOCTL_GET_FLAGS, &flags, KORVA_ERR_GENERIC, "reply F default"},
        // Ten times the longest wait for a status reply.
        {"delay F 2000", KORVA_IOCTL_GET_FLAGS, &flags, KORVA_ERR_GENERIC, "delay F 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_TRUE(sim.Command(c.fault));
        EXPECT_EQ(KORVA_Ioctl(h, c.request, c.argument), c.rc);
        if (std::strncmp(c.fault, "delay", 5) == 0) {
            // The late reply must not land in the next exchange.
            const auto deadline = Clock::now() + kHang;
            while (!(AtomicLoad(dev->StatusValid) & 1U) && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
            ASSERT_NE(AtomicLoad(dev->StatusValid) & 1U, 0U);
        }
        ASSERT_TRUE(sim.Command(c.cure));
        // A failed configuration left the adapter closed; the next one
        // opens it again, and status replies come through.  (A reply can
        // miss its wait on a machine loaded far beyond its cores: that
        // request is made again.)
        EXPECT_EQ(Retried(KORVA_ERR_COMMAND, [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(6)); }), 0);
        for (int i = 0; i < 2; ++i) {
            flags = 0;
            EXPECT_EQ(Retried(KORVA_ERR_GENERIC, [&] { return KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags); }), 0);
            EXPECT_EQ(flags, 0x04U);
        }
    }

    // Garbage and an overlong line between frames cost only themselves.
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
    ASSERT_TRUE(sim.Command("garbage 60"));
    ASSERT_TRUE(sim.Command("overlong 200"));
    ASSERT_TRUE(sim.Command("send 321#A1B2"));
    bool found = false;
    const auto deadline = Clock::now() + kHang;
    while (!found && Clock::now() < deadline) {
        CanMsg m{};
        uint32_t n = 0;
        ASSERT_EQ(KORVA_Read(h, &m, 1, &n), 0);
        found = n == 1 && m.Identifier == 0x321 && m.Length == 2 && m.Data[0] == 0xA1 && m.Data[1] == 0xB2;
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(KORVA_Close(h), 0);
}

TEST(Flood, StoredFramesComeOutWholeInOrderAndDropsAreReported) {
    // Sanitizer builds run a fifth of the flood.
    const uint32_t total = kSanitized ? 200000 : 1000000;
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0", "--no-log-rx"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const int32_t h = OpenAdapter(sim.Link());
    ASSERT_GT(h, 0);
    Semaphore received;
    ASSERT_EQ(KORVA_SetRcvEvent(h, &received.sem), 0);
    const auto start = Clock::now();
    ASSERT_TRUE(sim.Command("flood " + std::to_string(total)));
    // Nothing is read until the ring is full: from here on frames are dropped.
    ASSERT_TRUE(received.Wait(RING_SIZE));
    ASSERT_EQ(KORVA_SetRcvEvent(h, nullptr), 0);
    const long rssBefore = VmRssKb();

    // A slow reader: at most 100 frames a millisecond.
    std::atomic<bool> last{false};
    FloodCheck check;
    int32_t readRc = 0;
    std::thread reader([&] {
        CanMsg got[100];
        for (;;) {
            const bool final = last.load(); // once set, nothing more arrives
            uint32_t n = 0;
            readRc = KORVA_Read(h, got, 100, &n);
            if (readRc != 0) return;
            for (uint32_t i = 0; i < n; ++i) check.Take(got[i]);
            if (n == 0 && final) return;
            std::this_thread::sleep_for(1ms);
        }
    });
    std::optional<std::string> done = sim.WaitFor("done flood", 600s);
    // The status reply follows the last flood frame on the line: once one
    // has been taken, every frame has been stored or dropped.
    uint32_t flags = 0, seen = 0;
    int32_t rc = KORVA_ERR_GENERIC;
    for (int i = 0; i < 300 && rc != 0; ++i) {
        rc = KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags);
        seen |= flags;
    }
    last = true;
    reader.join();
    const long rssAfter = VmRssKb();
    const double seconds = SecondsSince(start);
    ASSERT_TRUE(done);
    EXPECT_NE(done->find("sent=" + std::to_string(total) + " lost=0"), std::string::npos) << *done;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readRc, 0);

    EXPECT_EQ(check.broken, 0U);
    EXPECT_EQ(check.disordered, 0U);
    EXPECT_GT(check.frames, static_cast<size_t>(RING_SIZE));
    EXPECT_LT(check.frames, total);
    // A frame is missing exactly when the ring refused one and said so.
    const bool missing = check.gaps != 0 || check.last != static_cast<int64_t>(total) - 1;
    EXPECT_TRUE(missing);
    EXPECT_NE(seen & KORVA_STATUS_BUFFER_OVERRUN, 0U);
    EXPECT_EQ(seen & KORVA_STATUS_CHANNEL_LOST, 0U);
    EXPECT_LT(rssAfter - rssBefore, 8 * 1024L) << rssBefore << " kB before, " << rssAfter << " kB after";
    std::printf("[ figures  ] flood of %u frames in %.1f s: %zu read whole and in order, %u dropped "
                "(%zu gaps), 0 broken; VmRSS %ld kB before, %ld kB after\n",
                total, seconds, check.frames, total - static_cast<uint32_t>(check.frames), check.gaps, rssBefore,
                rssAfter);
    EXPECT_EQ(KORVA_Close(h), 0);
}

/* ---- reconnection ---- */

namespace {

struct Outage {
    const char *what;
    bool tcp;   // a TCP gateway that restarts on its port; else a pty adapter
    bool moves; // the pty comes back under another name; the handle was opened by serial number
};

LinkStats StatsOf(int32_t h) {
    LinkStats s{};
    EXPECT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_LINK_STATS, &s), 0);
    return s;
}

/* Waits until the handle reports its channel lost. */
bool SeesLoss(int32_t h) {
    uint32_t flags = 0;
    for (const auto deadline = Clock::now() + kHang; Clock::now() < deadline;) {
        if (KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags) == 0 && (flags & KORVA_STATUS_CHANNEL_LOST)) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

int32_t WriteOne(int32_t h, uint32_t id, uint32_t *written) {
    const CanMsg m{id, 1, {0xAA}, KORVA_FLAG_STANDARD, 0};
    *written = 0;
    const int32_t rc = KORVA_Write(h, &m, 1, written);
    return rc != 0 ? rc : KORVA_Flush(h);
}

class Reconnection : public ::testing::TestWithParam<Outage> {};

} // namespace

/* The adapter goes away while the handle is in use and comes back: the
 * handle finds it, makes its settings again in the application's order,
 * and frames flow both ways; during the outage writes fail cleanly, reads
 * give what came before and a blocking read waits for what comes after. */
TEST_P(Reconnection, TheAdapterThatComesBackIsConfiguredAgainAndCarriesFrames) {
    const Outage o = GetParam();
    TempDir dir;
    // An FD adapter: the data bit rate is a setting too.
    Sim sim(o.tcp ? std::vector<std::string>{"--tcp", "0", "--serial", "4711", "--dialect", "fd"}
                  : std::vector<std::string>{"--pty", dir / "ttyUSB0", "--serial", "4711", "--dialect", "fd"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    korva_test::DiscoveryIn in(dir.path);
    int32_t h = OpenAdapter(o.moves ? "4711" : o.tcp ? sim.TcpName() : sim.Link());
    ASSERT_GT(h, 0);
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_RECONNECT, Arg(1)), 0);
    // S6 is replaced by the later S4, which is made again last.
    const uint32_t codeMask[2] = {0x00000000, 0xFFFFFFFF};
    ASSERT_EQ(Retried(-1, [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(6)); }), 0);
    ASSERT_EQ(Retried(-1, [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_TIMESTAMP, Arg(1)); }), 0);
    ASSERT_EQ(Retried(-1, [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_DATA_BITRATE, Arg(2)); }), 0);
    ASSERT_EQ(Retried(-1, [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_ACC_CODE_MASK, const_cast<uint32_t *>(codeMask)); }), 0);
    ASSERT_EQ(Retried(-1, [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(4)); }), 0);
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
    uint32_t written = 0;
    ASSERT_EQ(WriteOne(h, 0x321, &written), 0);
    ASSERT_TRUE(sim.WaitFor("rx t3211AA"));
    ASSERT_TRUE(sim.Command("send 123#01"));
    CanMsg m{};
    uint32_t n = 0;
    ASSERT_EQ(Bounded("KORVA_Read", [&] { return KORVA_Read(h, &m, 1, &n); }), 0);
    ASSERT_EQ(n, 1U);

    ASSERT_TRUE(sim.Command("unplug"));
    ASSERT_TRUE(SeesLoss(h)) << o.what;
    EXPECT_EQ(WriteOne(h, 0x322, &written), KORVA_ERR_NO_DEVICE);
    EXPECT_EQ(written, 0U);
    // A setting made meanwhile fails and is not made again later.
    EXPECT_EQ(Bounded("SET_SPEED", [&] { return KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(2)); }), KORVA_ERR_NO_DEVICE);
    // A blocking read waits through the outage for the first frame after it.
    auto waiting = std::async(std::launch::async, [&] {
        CanMsg got{};
        uint32_t k = 0;
        int32_t rc = 0;
        while ((rc = KORVA_Read(h, &got, 1, &k)) == 0 && k == 0) {
        }
        return rc == 0 && got.Identifier == 0x124 ? 0 : (rc != 0 ? rc : -100);
    });
    // A check that fails below closes the handle, which ends that read.
    struct CloseOnExit {
        int32_t &handle;
        ~CloseOnExit() {
            if (handle > 0) KORVA_Close(handle);
        }
    } closer{h};
    EXPECT_EQ(waiting.wait_for(600ms), std::future_status::timeout) << "a blocking read returned during the outage";

    sim.Mark();
    ASSERT_TRUE(sim.Command(o.moves ? "plug " + (dir / "ttyUSB1") : std::string("plug")));
    for (const char *step : {"rx Z1", "rx Y2", "rx M00000000", "rx mFFFFFFFF", "rx S4", "state open O"})
        ASSERT_TRUE(sim.WaitFor(step)) << o.what << ": " << step;
    ASSERT_TRUE(sim.Command("send 124#02"));
    ASSERT_EQ(waiting.wait_for(kHang), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    ASSERT_EQ(Retried(KORVA_ERR_NO_DEVICE, [&] { return WriteOne(h, 0x323, &written); }), 0);
    ASSERT_TRUE(sim.WaitFor("rx t3231AA"));
    EXPECT_EQ(sim.Count("rx t3211AA"), 1U) << "a frame sent before the loss went out again";
    EXPECT_EQ(sim.Count("rx t3221AA"), 0U) << "a refused frame went out";
    EXPECT_EQ(sim.Count("rx S2"), 0U) << "a refused setting was made";
    const LinkStats s = StatsOf(h);
    EXPECT_EQ(s.Losses, 1U);
    EXPECT_EQ(s.Reconnections, 1U);
    EXPECT_EQ(s.DroppedFrames, 0U);
    EXPECT_EQ(KORVA_Close(h), 0);
    h = 0;
}

INSTANTIATE_TEST_SUITE_P(Outages, Reconnection,
                         ::testing::Values(Outage{"pty back at its name", false, false},
                                           Outage{"pty back at another name", false, true},
                                           Outage{"tcp gateway restarted", true, false}),
                         [](const auto &info) {
                             return std::string(info.param.tcp ? "TcpGatewayRestarts"
                                                : info.param.moves ? "PtyReturnsUnderAnotherName"
                                                                   : "PtyReturnsAtItsName");
                         });

/* Another adapter at the lost one's name is not taken, a line that stays
 * away costs the reader nothing, queued frames that never left are counted
 * as dropped, and closing the handle ends the attempts at once. */
TEST(LostAdapter, AnotherAdapterIsRefusedAndALineThatStaysAwayCostsNothing) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0", "--serial", "4711", "--no-log-rx"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const std::set<int> tasks = TaskIds();
    const int32_t h = OpenAdapter(sim.Link());
    ASSERT_GT(h, 0);
    const int tid = NewTask(tasks);
    ASSERT_GT(tid, 0);
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_RECONNECT, Arg(1)), 0);

    // Frames queued on a line that takes nothing are dropped with it.
    ASSERT_TRUE(sim.Command("fault stall"));
    uint32_t queued = 0;
    for (uint32_t i = 0; i < 20000; ++i) {
        const CanMsg m{0x100, 8, {1, 2, 3, 4, 5, 6, 7, 8}, KORVA_FLAG_STANDARD, 0};
        uint32_t w = 0;
        if (KORVA_Write(h, &m, 1, &w) != 0 || w != 1) break;
        queued += w;
    }
    ASSERT_TRUE(sim.Command("unplug"));
    ASSERT_TRUE(SeesLoss(h));
    const LinkStats lost = StatsOf(h);
    EXPECT_EQ(lost.Losses, 1U);
    EXPECT_GT(lost.DroppedFrames, 0U);
    EXPECT_LE(lost.DroppedFrames, queued);

    // While nothing answers, the reader sleeps between its attempts.
    const double cpu0 = ThreadCpuSeconds(tid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(1500ms); // the measuring window
    const double cpu = (ThreadCpuSeconds(tid) - cpu0) / SecondsSince(t0);
    EXPECT_LT(cpu, 0.2);

    // Another adapter answers at the name: it is asked who it is, and left.
    std::string log = Traced([&] {
        Sim other({"--pty", dir / "ttyUSB0", "--serial", "815"});
        ASSERT_TRUE(other.Ok()) << other.Error();
        ASSERT_TRUE(other.WaitFor("rx N"));
        ASSERT_TRUE(other.WaitFor("rx N")); // the next attempt: the first was not taken
        EXPECT_EQ(other.Count("state open"), 0U);
    });
    EXPECT_NE(log.find("another adapter answers there (serial number 815"), std::string::npos) << log;
    EXPECT_EQ(StatsOf(h).Reconnections, 0U);

    // Closing wakes a read that waits for the adapter, which then returns.
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
    auto waiting = std::async(std::launch::async, [&] {
        CanMsg m{};
        uint32_t n = 0;
        return KORVA_Read(h, &m, 1, &n);
    });
    EXPECT_EQ(waiting.wait_for(300ms), std::future_status::timeout);
    double closing = 0;
    EXPECT_EQ(Bounded("KORVA_Close", [&] { return KORVA_Close(h); }, &closing), 0);
    ASSERT_EQ(waiting.wait_for(kHang), std::future_status::ready);
    EXPECT_EQ(waiting.get(), KORVA_ERR_HANDLE);
    std::printf("[ figures  ] lost line: reader cpu %.1f%% between attempts, %u of %u queued frames dropped, "
                "close %.3f s\n",
                100 * cpu, lost.DroppedFrames, queued, closing);
}
