// Frames through a Lawicel adapter played by the test on a pseudo-terminal:
// what the reader thread makes of the adapter's lines, the frame text that
// KORVA_Write puts on the wire, and a line that breaks or stalls.
#include "fake_adapter.h"
#include "korva_api.h"
#include "sim.h"
#include "sysfuncs.h"
#include "tempdir.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <future>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace korva_test;
using korva_test::Sim;
using namespace std::chrono_literals;

namespace {

CanMsg Frame(uint32_t id, uint8_t flags, std::vector<uint8_t> data = {}, uint16_t stamp = 0, uint8_t length = 0) {
    CanMsg m{};
    m.Identifier = id;
    m.Flags = flags;
    m.Length = data.empty() ? length : static_cast<uint8_t>(data.size());
    for (size_t i = 0; i < data.size(); ++i) m.Data[i] = data[i];
    m.TimeStamp = stamp;
    return m;
}

bool Same(const CanMsg &a, const CanMsg &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

/* Waits for the semaphore, at most 5 s. */
bool Posted(sem_t *sem) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += 5;
    while (sem_timedwait(sem, &ts) != 0)
        if (errno != EINTR) return false;
    return true;
}

/* Reads one frame with a blocking read, retrying wake-ups without one. */
int32_t ReadOne(int32_t h, CanMsg *m) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    uint32_t n = 0;
    int32_t rc = 0;
    while (rc == 0 && n == 0 && std::chrono::steady_clock::now() < deadline) rc = KORVA_Read(h, m, 1, &n);
    return rc != 0 ? rc : (n == 1 ? 0 : KORVA_ERR_NO_ELEMENT);
}

struct Semaphore {
    Semaphore() { sem_init(&sem, 0, 0); }
    ~Semaphore() { sem_destroy(&sem); }
    sem_t sem;
};

} // namespace

TEST(LawicelReceive, DecodesEveryLineShapeAndDropsTheRest) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    Semaphore ev;
    ASSERT_EQ(KORVA_SetRcvEvent(a.handle, &ev.sem), 0);
    const uint8_t S = KORVA_FLAG_STANDARD, E = KORVA_FLAG_EXTENDED, R = KORVA_FLAG_REMOTE, TS = KORVA_FLAG_TIMESTAMP;
    const std::vector<CanMsg> expected = {
        Frame(0x123, S, {0xAA, 0xBB}),
        Frame(0x123, S | TS, {0xAA, 0xBB}, 0x1234),
        Frame(0x12345678, E, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}),
        Frame(0x12345678, E | TS, {1, 2, 3, 4, 5, 6, 7, 8}, 0xABCD),
        Frame(0x123, S | R),
        Frame(0x123, S | R | TS, {}, 0xBEEF, 4),
        Frame(0x1FF, E | R, {}, 0, 4),
        Frame(0x1FF, E | R | TS, {}, 0x0042, 4),
        Frame(0x7FF, S, {0xFE}),
        Frame(0x111, S),
        Frame(0x001, S, {}, 0, 0),
    };
    const std::string garbage = std::string(63, 'x') + "t2220\r"; // its tail must not become a frame
    const std::string lines = std::string("t1232AABB\r") +
                              "t1232AABB1234\r"
                              "t1232AA\r"                                 // data shorter than the length digit
                              "T1234567880011223344556677\r"
                              "t12390011223344556677889900\r"             // length digit 9
                              "T1234567880102030405060708ABCD\r"
                              "F0\r"                                      // not a status reply
                              "N1234\r"                                   // late identity reply
                              "r1230\r"
                              "r1234BEEF\r"
                              "t123:\r"                                   // length ':' (10)
                              "R000001FF4\r"
                              "\a\rzZ"                                    // skipped
                              "R000001FF40042\r" +
                              garbage + std::string("t3\0" "331\r", 7) + // NUL inside a line
                              "x123\r"
                              "t7ff1fe\r"
                              "\a\at1110\r"
                              "T1234567\r"
                              "t0010\r";
    ASSERT_TRUE(a.adapter.Send(lines));
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_TRUE(Posted(&ev.sem)) << i;
    std::vector<CanMsg> got(expected.size() + 2);
    uint32_t n = 0;
    ASSERT_EQ(KORVA_Read(a.handle, got.data(), static_cast<uint32_t>(got.size()), &n), 0);
    ASSERT_EQ(n, expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(Same(got[i], expected[i])) << "frame " << i << " id " << std::hex << got[i].Identifier;
    // One post per stored frame, none for the dropped lines.
    EXPECT_NE(sem_trywait(&ev.sem), 0);
    KORVA_SetRcvEvent(a.handle, nullptr);
}

TEST(LawicelReceive, FullRingSetsOverrunForTheNextFlagsOnly) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    a.adapter.On("F", "F04\r");
    Semaphore ev;
    ASSERT_EQ(KORVA_SetRcvEvent(a.handle, &ev.sem), 0);
    std::string burst;
    for (int i = 0; i < RING_SIZE; ++i) burst += "t1230\r";
    ASSERT_TRUE(a.adapter.Send(burst, 60000));
    for (int i = 0; i < RING_SIZE; ++i) ASSERT_TRUE(Posted(&ev.sem)) << i;
    // The ring is full: this frame is refused, before the status reply.
    ASSERT_TRUE(a.adapter.Send("t4560\r"));
    uint32_t flags = 0;
    ASSERT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_GET_FLAGS, &flags), 0);
    EXPECT_EQ(flags, KORVA_STATUS_BUFFER_OVERRUN | 0x04U);
    ASSERT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_GET_FLAGS, &flags), 0);
    EXPECT_EQ(flags, 0x04U);
    EXPECT_NE(sem_trywait(&ev.sem), 0);
    KORVA_SetRcvEvent(a.handle, nullptr);
}

TEST(LawicelReceive, BlockingReadWaitsForTheNextFrame) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    ASSERT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1)), 0);
    auto reading = std::async(std::launch::async, [&] {
        CanMsg m{};
        return ReadOne(a.handle, &m) == 0 ? m.Identifier : 0U;
    });
    ASSERT_TRUE(a.adapter.Send("t5551FF\r"));
    ASSERT_EQ(reading.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(reading.get(), 0x555U);
}

// An idle reader sleeps until there is work: after each quiet spell it
// still takes a frame, sends queued text without a flush, answers a
// configuration exchange and ends when the handle closes.
TEST(LawicelIdle, AfterAQuietSpellTheReaderAnswersAtOnce) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    ASSERT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1)), 0);
    const auto quiet = [] { std::this_thread::sleep_for(1500ms); };
    quiet();
    ASSERT_TRUE(a.adapter.Send("t5551FF\r"));
    CanMsg m{};
    ASSERT_EQ(ReadOne(a.handle, &m), 0);
    EXPECT_EQ(m.Identifier, 0x555U);

    quiet();
    a.adapter.Clear();
    const CanMsg out = Frame(0x321, KORVA_FLAG_STANDARD, {0x42});
    uint32_t written = 0;
    ASSERT_EQ(KORVA_Write(a.handle, &out, 1, &written), 0);
    ASSERT_TRUE(a.adapter.WaitRawSize(8)); // no flush: the woken reader's
    EXPECT_EQ(a.adapter.Raw(), "t321142\r");

    quiet();
    auto config = std::async(std::launch::async,
                             [&] { return KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_TIMESTAMP, KORVA_IOCTL_INT(1)); });
    ASSERT_EQ(config.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(config.get(), 0);
    ASSERT_TRUE(a.adapter.Send("t5560\r"));
    ASSERT_EQ(ReadOne(a.handle, &m), 0) << "the reader runs again after the exchange";

    quiet();
    auto closing = std::async(std::launch::async, [&] { return KORVA_Close(a.handle); });
    ASSERT_EQ(closing.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(closing.get(), 0);
    a.handle = 0;
}

TEST(LawicelSend, FramesLeaveAsTextWithoutAndWithFlush) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    a.adapter.Clear();
    CanMsg frames[5] = {Frame(0x123, KORVA_FLAG_STANDARD, {0xAA, 0xBB}),
                        Frame(0x1FF, KORVA_FLAG_EXTENDED),
                        Frame(0x7FF, KORVA_FLAG_STANDARD | KORVA_FLAG_REMOTE, {}, 0, 3),
                        Frame(0x1ABCDEF0, KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE, {}, 0, 8),
                        Frame(0x0A, KORVA_FLAG_STANDARD | KORVA_FLAG_TIMESTAMP, {0x0A, 0xFF}, 0x9999)};
    uint32_t written = 0;
    ASSERT_EQ(KORVA_Write(a.handle, frames, 5, &written), 0);
    EXPECT_EQ(written, 5U);
    std::string expected = "t1232AABB\rT000001FF0\rr7FF3\rR1ABCDEF08\rt00A20AFF\r";
    ASSERT_TRUE(a.adapter.WaitRawSize(expected.size())); // no flush: the reader sends them
    EXPECT_EQ(a.adapter.Raw(), expected);

    // More than the transmit buffer holds, then an explicit flush.
    a.adapter.Clear();
    expected.clear();
    for (uint32_t i = 0; i < 100; ++i) {
        const CanMsg m = Frame(i, KORVA_FLAG_STANDARD, {static_cast<uint8_t>(i)});
        ASSERT_EQ(KORVA_Write(a.handle, &m, 1, &written), 0);
        char text[16];
        std::snprintf(text, sizeof text, "t%03X1%02X\r", i, i);
        expected += text;
    }
    EXPECT_EQ(KORVA_Flush(a.handle), 0);
    ASSERT_TRUE(a.adapter.WaitRawSize(expected.size()));
    EXPECT_EQ(a.adapter.Raw(), expected);
}

TEST(LawicelSend, CommandsNeverLandInsideFrameText) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    a.adapter.On("t32180102030405060708", ""); // unanswered: the exchanges stay short
    std::atomic<bool> done{false};
    std::thread writer([&] {
        const CanMsg m = Frame(0x321, KORVA_FLAG_STANDARD, {1, 2, 3, 4, 5, 6, 7, 8});
        uint32_t written = 0;
        while (!done) KORVA_Write(a.handle, &m, 1, &written);
    });
    for (int i = 0; i < 3; ++i) KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_TIMESTAMP, KORVA_IOCTL_INT(1));
    done = true;
    writer.join();
    const std::set<std::string> whole = {"t32180102030405060708", "C", "N", "V", "O", "Z1"};
    for (const std::string &c : a.adapter.Commands()) EXPECT_EQ(whole.count(c), 1U) << c;
}

TEST(LawicelSend, ListenOnlyHandleRefusesFramesAndReopensListening) {
    OpenedPty a(KORVA_MODE_LISTEN_ONLY);
    ASSERT_GT(a.handle, 0);
    a.adapter.Clear();
    const CanMsg m = Frame(0x100, KORVA_FLAG_STANDARD);
    uint32_t written = 7;
    EXPECT_EQ(KORVA_Write(a.handle, &m, 1, &written), KORVA_ERR_LISTEN_ONLY);
    EXPECT_EQ(written, 0U);
    EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_TIMESTAMP, KORVA_IOCTL_INT(1)), 0);
    ASSERT_TRUE(a.adapter.WaitCommand("L"));
    EXPECT_EQ(a.adapter.Raw(), "C\rZ1\rL\r");
}

TEST(LawicelLoss, HungUpLineIsReportedAndTheReaderRests) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    ASSERT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1)), 0);
    ASSERT_TRUE(a.adapter.Send("t1110\r"));
    CanMsg m{};
    ASSERT_EQ(ReadOne(a.handle, &m), 0);
    std::this_thread::sleep_for(1500ms); // the reader sleeps in its wait for the line
    a.adapter.Hangup();
    EXPECT_EQ(ReadOne(a.handle, &m), KORVA_ERR_NO_DEVICE); // the wait ends too

    uint32_t flags = 0;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_GET_FLAGS, &flags), 0);
        EXPECT_EQ(flags, KORVA_STATUS_CHANNEL_LOST);
    }
    uint32_t written = 0;
    EXPECT_EQ(KORVA_Write(a.handle, &m, 1, &written), KORVA_ERR_NO_DEVICE);
    EXPECT_EQ(KORVA_Flush(a.handle), KORVA_ERR_NO_DEVICE);
    EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(6)), KORVA_ERR_NO_DEVICE);

    // A reader that spun on the dead line would use most of this window.
    clockid_t clock;
    ASSERT_EQ(pthread_getcpuclockid(GetDevice(DeviceList, a.handle)->Thread, &clock), 0);
    timespec before{}, after{};
    clock_gettime(clock, &before);
    std::this_thread::sleep_for(500ms);
    clock_gettime(clock, &after);
    const double used = static_cast<double>(after.tv_sec - before.tv_sec) + (after.tv_nsec - before.tv_nsec) / 1e9;
    EXPECT_LT(used, 0.25);
}

TEST(LawicelStall, StalledLineFailsWritesAndCloseStillReturns) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    a.adapter.StopReading();
    std::vector<CanMsg> batch(50, Frame(0x123, KORVA_FLAG_STANDARD, {1, 2, 3, 4, 5, 6, 7, 8}));
    uint32_t written = 0;
    int32_t rc = 0;
    for (int i = 0; i < 5000 && rc == 0; ++i) rc = KORVA_Write(a.handle, batch.data(), 50, &written);
    EXPECT_EQ(rc, KORVA_ERR_SYSTEM);
    EXPECT_LT(written, 50U);
    // What was counted stays queued: no room for another frame.
    EXPECT_EQ(KORVA_Write(a.handle, batch.data(), 1, &written), KORVA_ERR_SYSTEM);
    EXPECT_EQ(written, 0U);
    EXPECT_EQ(KORVA_Flush(a.handle), KORVA_ERR_SYSTEM);
    auto closing = std::async(std::launch::async, [&] { return KORVA_Close(a.handle); });
    ASSERT_EQ(closing.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(closing.get(), 0);
    a.handle = 0;
}

/* CAN FD through the simulator's fd dialect, over a pty and TCP: every
 * length code both ways, with and without bit-rate switch, standard and
 * extended, a classic frame between them, and KORVA_Read beside them. */
namespace {

const uint8_t kFdSizes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

CanFdMsg FdFrame(uint32_t id, uint8_t flags, uint8_t length, uint8_t seed) {
    CanFdMsg m{};
    m.Identifier = id;
    m.Flags = flags;
    m.Length = length;
    for (uint8_t i = 0; i < length; ++i) m.Data[i] = static_cast<uint8_t>(seed + 7 * i);
    return m;
}

std::string LineOf(const CanFdMsg &m) {
    const bool ext = (m.Flags & KORVA_FLAG_EXTENDED) != 0;
    const char *letters = !(m.Flags & KORVA_FLAG_FD) ? "tT" : (m.Flags & KORVA_FLAG_BRS) ? "bB" : "dD";
    char head[16];
    int code = 0;
    while (kFdSizes[code] < m.Length) ++code;
    snprintf(head, sizeof head, ext ? "%c%08X%X" : "%c%03X%X", letters[ext ? 1 : 0], m.Identifier, code);
    std::string line = head;
    for (int i = 0; i < kFdSizes[code]; ++i) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02X", m.Data[i]);
        line += pair;
    }
    return line;
}

/* Reads count frames with KORVA_ReadFd (blocking read on), at most 20 s. */
std::vector<CanFdMsg> ReadFd(int32_t h, size_t count) {
    std::vector<CanFdMsg> got;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        CanFdMsg buf[32];
        uint32_t n = 0;
        if (KORVA_ReadFd(h, buf, 32, &n) != 0) break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

} // namespace

// An FD adapter over TCP or on a pty, answering its commands or quiet
// (slcan firmware that answers none).
struct FdAdapter {
    bool tcp;
    bool quiet;
};
class LawicelFd : public ::testing::TestWithParam<FdAdapter> {};

TEST_P(LawicelFd, EveryLengthCodeBothWaysBesideClassicFrames) {
    TempDir dir;
    const FdAdapter a = GetParam();
    const std::string dialect = a.quiet ? "quiet-fd" : "fd";
    Sim sim(a.tcp ? std::vector<std::string>{"--tcp", "0", "--dialect", dialect}
                  : std::vector<std::string>{"--pty", dir / "ttyUSB0", "--dialect", dialect});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const int32_t h = KORVA_Open(a.tcp ? sim.TcpName().c_str() : sim.Link().c_str(), KORVA_MODE_NORMAL);
    ASSERT_GT(h, 0);
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1)), 0);
    const uint8_t S = KORVA_FLAG_STANDARD, E = KORVA_FLAG_EXTENDED, FD = KORVA_FLAG_FD, BRS = KORVA_FLAG_BRS;

    // Before the data bit rate the handle sends classic frames only.
    CanFdMsg early[2] = {FdFrame(0x100, S, 1, 1), FdFrame(0x101, S | FD, 1, 1)};
    uint32_t written = 9;
    EXPECT_EQ(KORVA_WriteFd(h, early, 2, &written), KORVA_ERR_GENERIC);
    EXPECT_EQ(written, 1U);
    ASSERT_TRUE(sim.WaitFor("rx " + LineOf(early[0])));
    // A code the extension lacks: the adapter refuses it, or, when it
    // cannot answer, korva does without sending it.
    EXPECT_NE(KORVA_Ioctl(h, KORVA_IOCTL_SET_DATA_BITRATE, KORVA_IOCTL_INT(3)), 0);
    if (!a.quiet) {
        EXPECT_TRUE(sim.WaitFor("rx Y3"));
    }
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_DATA_BITRATE, KORVA_IOCTL_INT(2)), 0);
    ASSERT_TRUE(sim.WaitFor("set dbitrate=Y2"));
    ASSERT_TRUE(sim.WaitFor("state open O"));
    EXPECT_EQ(sim.Count("rx Y3"), a.quiet ? 0U : 1U);

    std::vector<CanFdMsg> frames;
    for (int code = 0; code < 16; ++code) {
        const auto n = kFdSizes[code];
        frames.push_back(FdFrame(0x7F0 + static_cast<uint32_t>(code), S | FD, n, static_cast<uint8_t>(code)));
        frames.push_back(FdFrame(0x1ABCDE00 + static_cast<uint32_t>(code), E | FD | BRS, n, static_cast<uint8_t>(~code)));
        if (code == 8) frames.push_back(FdFrame(0x123, S, 8, 0x40)); // a classic one between them
    }
    ASSERT_EQ(KORVA_WriteFd(h, frames.data(), static_cast<uint32_t>(frames.size()), &written), 0);
    EXPECT_EQ(written, frames.size());
    ASSERT_EQ(KORVA_Flush(h), 0);
    for (const CanFdMsg &m : frames) EXPECT_TRUE(sim.WaitFor("rx " + LineOf(m))) << LineOf(m);
    // A length between the FD sizes goes as the next size, padded.
    CanFdMsg ten = FdFrame(0x321, S | FD | BRS, 10, 3);
    ASSERT_EQ(KORVA_WriteFd(h, &ten, 1, &written), 0);
    ten.Length = 12;
    EXPECT_TRUE(sim.WaitFor("rx " + LineOf(ten)));

    // The same frames back from the adapter, in order.
    for (const CanFdMsg &m : frames) ASSERT_TRUE(sim.Command("send " + LineOf(m)));
    const std::vector<CanFdMsg> got = ReadFd(h, frames.size());
    ASSERT_EQ(got.size(), frames.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(0, std::memcmp(&got[i], &frames[i], sizeof got[i])) << "frame " << i << ": " << LineOf(got[i]);

    // KORVA_Read passes FD frames over and says so in the flags.
    uint32_t flags = 0;
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags), 0);
    EXPECT_EQ(flags & KORVA_STATUS_FD_PASSED, 0U);
    ASSERT_TRUE(sim.Command("send b1239" + std::string(24, 'A')));
    ASSERT_TRUE(sim.Command("send t4561BB"));
    CanMsg classic{};
    ASSERT_EQ(ReadOne(h, &classic), 0);
    EXPECT_TRUE(Same(classic, Frame(0x456, S, {0xBB})));
    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags), 0);
    EXPECT_NE(flags & KORVA_STATUS_FD_PASSED, 0U);
    EXPECT_EQ(KORVA_Close(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Adapters, LawicelFd,
                         ::testing::Values(FdAdapter{false, false}, FdAdapter{true, false}, FdAdapter{false, true}),
                         [](const auto &info) {
                             return std::string(info.param.tcp ? "Tcp" : "Pty") + (info.param.quiet ? "Quiet" : "");
                         });
