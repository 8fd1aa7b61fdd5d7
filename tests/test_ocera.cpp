// The LinCAN driver against a pseudo-terminal that plays the character
// device: the test writes and expects the 32-byte records on the master
// side and answers the driver's ioctl requests through the SysCalls table.
// Last, a LinCAN handle and a Lawicel adapter carry frames side by side.
#include "fake_adapter.h"
#include "korva_api.h"
#include "platform.h"
#include "sysfuncs.h"
#include "sysfuncs_lawicel.h"
#include "sysfuncs_ocera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <semaphore.h>

namespace {

using korva_test::Pty;

// A record laid out byte by byte.  Received records carry noise in the
// fields the driver must ignore; records it sends have zeros there.
std::string Record(int32_t flags, uint32_t id, uint16_t length, std::initializer_list<uint8_t> data,
                   char noise = 0) {
    std::string r(32, noise);
    std::memcpy(&r[0], &flags, 4);
    std::memcpy(&r[8], &id, 4);
    std::memcpy(&r[20], &length, 2);
    std::memset(&r[22], 0, 8);
    std::copy(data.begin(), data.end(), r.begin() + 22);
    return r;
}

CanMsg Frame(uint32_t id, uint8_t flags, std::initializer_list<uint8_t> data) {
    CanMsg m{};
    m.Identifier = id;
    m.Flags = flags;
    m.Length = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), m.Data);
    return m;
}

// ---- system calls caught at the edge ----
SysCallTable gReal;
std::atomic<int> gReadMode{0};  // 0 pass, 1 at most 7 bytes per read, 2 EIO
std::atomic<int> gWriteMode{0}; // 0 pass, 1 at most 64 bytes per write, 2 EIO
struct IoctlCall {
    int fd;
    unsigned long request;
    std::string arg;
};
std::mutex gIoctlLock;
std::vector<IoctlCall> gIoctls;
std::atomic<bool> gIoctlFails{false};
constexpr uint32_t kLinCanFlagsWord = 0xA05;

long TestRead(int fd, void *buf, size_t n) {
    if (gReadMode == 2) return errno = EIO, -1;
    return gReal.read(fd, buf, gReadMode == 1 ? std::min<size_t>(n, 7) : n);
}
long TestWrite(int fd, const void *buf, size_t n) {
    if (gWriteMode == 2) return errno = EIO, -1;
    return gReal.write(fd, buf, gWriteMode == 1 ? std::min<size_t>(n, 64) : n);
}
// Answers as the LinCAN driver would and keeps the request with its
// argument bytes (their number comes from the request encoding).
int TestIoctl(int fd, unsigned long request, void *arg) {
    std::lock_guard<std::mutex> g(gIoctlLock);
    gIoctls.push_back({fd, request, std::string(static_cast<char *>(arg), (request >> 16) & 0x3FFF)});
    if (gIoctlFails) return errno = ENOTTY, -1;
    if (request == 0x8004640D) std::memcpy(arg, &kLinCanFlagsWord, 4);
    return 0;
}
std::vector<IoctlCall> TakeIoctls() {
    std::lock_guard<std::mutex> g(gIoctlLock);
    return std::exchange(gIoctls, {});
}

// A semaphore registered as a handle's receive event.
struct RxEvent {
    sem_t sem;
    int32_t h;
    explicit RxEvent(int32_t handle) : h(handle) {
        sem_init(&sem, 0, 0);
        KORVA_SetRcvEvent(h, &sem);
    }
    ~RxEvent() {
        KORVA_SetRcvEvent(h, nullptr);
        sem_destroy(&sem);
    }
    bool Wait() { // one post, within 10 s
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        ts.tv_sec += 10;
        while (sem_timedwait(&sem, &ts) != 0)
            if (errno != EINTR) return false;
        return true;
    }
    // Waits for n stored frames and fetches them.
    std::vector<CanMsg> Receive(uint32_t n) {
        for (uint32_t i = 0; i < n; ++i)
            if (!Wait()) return {};
        std::vector<CanMsg> got(n);
        uint32_t read = 0;
        EXPECT_EQ(0, KORVA_Read(h, got.data(), n, &read));
        got.resize(read);
        return got;
    }
};

// The system calls are replaced before a handle opens and put back after
// it has closed (TearDown runs before the destructor), so no reader thread
// sees the table change.
class Ocera : public ::testing::Test {
protected:
    Ocera() {
        PlatResetSysCalls();
        gReal = SysCalls;
        gReadMode = gWriteMode = 0;
        gIoctlFails = false;
        TakeIoctls();
        SysCalls.read = TestRead;
        SysCalls.write = TestWrite;
        SysCalls.ioctl = TestIoctl;
    }
    ~Ocera() override { PlatResetSysCalls(); }
    void TearDown() override {
        if (h > 0) KORVA_Close(h);
    }
    int32_t Open(int32_t mode = KORVA_MODE_NORMAL) { return h = KORVA_Open(pty.Path().c_str(), mode); }
    Device *Dev() const { return GetDevice(DeviceList, h); }

    Pty pty{"can0"};
    int32_t h = 0;
};

TEST(OceraRecord, ReceivedRecordBecomesAFrame) {
    const std::pair<int32_t, uint8_t> flags[] = {{0, KORVA_FLAG_STANDARD}, {4, KORVA_FLAG_EXTENDED},
                                                 {1, KORVA_FLAG_REMOTE},   {5, KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE},
                                                 {2, KORVA_FLAG_STANDARD}, {12, KORVA_FLAG_EXTENDED},
                                                 {-1, KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE}};
    for (auto [lin, want] : flags) {
        CanMsg m;
        std::memset(&m, 0xFF, sizeof m);
        ASSERT_EQ(0, LinCanRecord2CanMsg(reinterpret_cast<const uint8_t *>(
                                             Record(lin, 0x1ABCDEF, 3, {1, 2, 3, 4, 5, 6, 7, 8}, '\xEE').data()),
                                         &m));
        EXPECT_EQ(want, m.Flags) << "LinCAN flags " << lin;
        EXPECT_EQ(0x1ABCDEFu, m.Identifier);
        const uint8_t data[8] = {1, 2, 3, 0, 0, 0, 0, 0};
        EXPECT_EQ(3, m.Length);
        EXPECT_EQ(0, std::memcmp(data, m.Data, 8));
        EXPECT_EQ(0, m.TimeStamp);
    }
    // Lengths the data field cannot hold are cut to its 8 bytes.
    for (uint16_t len : {9, 0x0103, 0xFFFF}) {
        CanMsg m;
        const std::string r = Record(0, 1, len, {9, 8, 7, 6, 5, 4, 3, 2}, '\xEE');
        ASSERT_EQ(0, LinCanRecord2CanMsg(reinterpret_cast<const uint8_t *>(r.data()), &m));
        EXPECT_EQ(8, m.Length) << len;
        EXPECT_EQ(0, std::memcmp(r.data() + 22, m.Data, 8));
    }
}

TEST_F(Ocera, ReceivesWholeRecordsInOrderEvenInPieces) {
    ASSERT_GT(Open(), 0);
    RxEvent ev(h);
    ASSERT_TRUE(pty.Write(Record(0, 0x123, 2, {0xAA, 0xBB}, '\xEE') + Record(4, 0x12345678, 8, {1, 2, 3, 4, 5, 6, 7, 8}) +
                          Record(1, 0x7FF, 0, {}) + Record(5, 0x1FFFFFFF, 0, {})));
    auto got = ev.Receive(4);
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(0x123u, got[0].Identifier);
    EXPECT_EQ(KORVA_FLAG_STANDARD, got[0].Flags);
    EXPECT_EQ(2, got[0].Length);
    EXPECT_EQ(0xBB, got[0].Data[1]);
    EXPECT_EQ(KORVA_FLAG_EXTENDED, got[1].Flags);
    EXPECT_EQ(8, got[1].Data[7]);
    EXPECT_EQ(KORVA_FLAG_REMOTE, got[2].Flags);
    EXPECT_EQ(KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE, got[3].Flags) << "an extended remote request stays one";

    gReadMode = 1; // from now on the device hands out at most 7 bytes per read
    ASSERT_TRUE(pty.Write(Record(0, 0x100, 1, {7}) + Record(0, 0x101, 1, {8}) + Record(0, 0x102, 1, {9})));
    got = ev.Receive(3);
    ASSERT_EQ(3u, got.size());
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(0x100 + i, got[i].Identifier);
        EXPECT_EQ(7 + i, got[i].Data[0]);
    }
}

TEST_F(Ocera, SendsOneRecordPerFrameAndCountsWholeRecords) {
    ASSERT_GT(Open(), 0);
    uint32_t written = 99;
    const CanMsg none = Frame(0x5A5, KORVA_FLAG_STANDARD, {0xEE});
    EXPECT_EQ(0, KORVA_Write(h, &none, 0, &written));
    EXPECT_EQ(0u, written);

    CanMsg frames[] = {Frame(0x123, KORVA_FLAG_STANDARD, {0x0A, 0xFF}),
                       Frame(0x12345678, KORVA_FLAG_EXTENDED, {1, 2, 3, 4, 5, 6, 7, 8}),
                       Frame(0x321, KORVA_FLAG_REMOTE, {}),
                       Frame(0x1, KORVA_FLAG_STANDARD | KORVA_FLAG_EXTENDED, {7}),
                       Frame(0x2, KORVA_FLAG_STANDARD | KORVA_FLAG_REMOTE, {}),
                       Frame(0x3, KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE, {}),
                       Frame(0x4, KORVA_FLAG_STANDARD, {1, 2, 3, 4, 5, 6, 7, 8}),
                       Frame(0x5, KORVA_FLAG_EXTENDED | KORVA_FLAG_TIMESTAMP, {6})};
    frames[2].Data[0] = 0x99; // beyond Length: not sent
    frames[6].Length = 12;    // more than the data field holds: cut to 8
    ASSERT_EQ(0, KORVA_Write(h, frames, 8, &written));
    EXPECT_EQ(8u, written);
    // The extended and remote bits travel whatever else is set.
    EXPECT_TRUE(pty.Expect(Record(0, 0x123, 2, {0x0A, 0xFF}) + Record(4, 0x12345678, 8, {1, 2, 3, 4, 5, 6, 7, 8}) +
                           Record(1, 0x321, 0, {}) + Record(4, 1, 1, {7}) + Record(1, 2, 0, {}) + Record(5, 3, 0, {}) +
                           Record(0, 4, 8, {1, 2, 3, 4, 5, 6, 7, 8}) + Record(4, 5, 1, {6})));

    gWriteMode = 1; // the device takes 64 bytes of the 96
    ASSERT_EQ(0, KORVA_Write(h, frames, 3, &written));
    EXPECT_EQ(2u, written);
    EXPECT_TRUE(pty.Expect(Record(0, 0x123, 2, {0x0A, 0xFF}) + Record(4, 0x12345678, 8, {1, 2, 3, 4, 5, 6, 7, 8})));
    gWriteMode = 2;
    EXPECT_EQ(KORVA_ERR_SYSTEM, KORVA_Write(h, frames, 3, &written));
    EXPECT_EQ(0u, written);
}

TEST_F(Ocera, ConfigurationRequests) {
    ASSERT_GT(Open(), 0);
    const std::pair<uint32_t, int32_t> speeds[] = {{1, 20000},  {2, 50000},  {3, 100000},  {4, 125000},
                                                   {5, 250000}, {6, 500000}, {7, 800000},  {0, 1000000},
                                                   {8, 1000000}, {200, 1000000}};
    for (auto [code, rate] : speeds) {
        ASSERT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(code)));
        const auto got = TakeIoctls();
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(Dev()->Fd, got[0].fd);
        EXPECT_EQ(0x4010640BUL, got[0].request);
        const int32_t want[4] = {-1, rate, -1, -1};
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(want), 16), got[0].arg) << "code " << code;
    }
    uint8_t btr[2] = {0x03, 0x1C};
    ASSERT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_BTR, btr));
    auto got = TakeIoctls();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x40046404UL, got[0].request);
    EXPECT_EQ(std::string("\x00\x03\x1C\x00", 4), got[0].arg) << "0x001C0300";
    uint32_t flags = 0;
    ASSERT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags));
    got = TakeIoctls();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x8004640DUL, got[0].request);
    EXPECT_EQ(kLinCanFlagsWord, flags);

    gIoctlFails = true;
    EXPECT_EQ(KORVA_ERR_SYSTEM, KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(5)));
    EXPECT_EQ(KORVA_ERR_SYSTEM, KORVA_Ioctl(h, KORVA_IOCTL_SET_BTR, btr));
    EXPECT_EQ(KORVA_ERR_SYSTEM, KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags));
    TakeIoctls();

    // What LinCAN has no counterpart for: no request reaches the device.
    uint32_t codeMask[2] = {0x123, 0x7FF};
    EXPECT_EQ(KORVA_ERR_NOT_IMPLEMENTED, KORVA_Ioctl(h, KORVA_IOCTL_SET_ACC_CODE_MASK, codeMask));
    EXPECT_EQ(KORVA_ERR_NOT_IMPLEMENTED, KORVA_Ioctl(h, KORVA_IOCTL_SET_TIMESTAMP, KORVA_IOCTL_INT(1)));
    EXPECT_EQ(KORVA_ERR_NOT_IMPLEMENTED, KORVA_Ioctl(h, KORVA_IOCTL_SET_FILTER_MODE, KORVA_IOCTL_INT(2)));
    EXPECT_EQ(0, KORVA_Flush(h));
    EXPECT_TRUE(TakeIoctls().empty());
    HwParam hw;
    std::memset(&hw, 0xFF, sizeof hw);
    ASSERT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, &hw));
    EXPECT_EQ(0u, hw.SerialNr);
    EXPECT_EQ(0, hw.HwVersion);
    EXPECT_EQ(0, hw.SwVersion);
    EXPECT_EQ(KORVA_HWTYPE_OCERA, hw.HwType);
}

TEST_F(Ocera, ListenOnlyOpensTheDeviceReadOnly) {
    for (int32_t mode : {KORVA_MODE_NORMAL, KORVA_MODE_LISTEN_ONLY, KORVA_MODE_OPEN_Y}) {
        ASSERT_GT(Open(mode), 0);
        EXPECT_EQ(mode == KORVA_MODE_LISTEN_ONLY ? O_RDONLY : O_RDWR, ::fcntl(Dev()->Fd, F_GETFL) & O_ACCMODE);
        if (mode == KORVA_MODE_LISTEN_ONLY) {
            const CanMsg m = Frame(1, KORVA_FLAG_STANDARD, {});
            uint32_t written = 0;
            EXPECT_EQ(KORVA_ERR_LISTEN_ONLY, KORVA_Write(h, &m, 1, &written));
            RxEvent ev(h);
            ASSERT_TRUE(pty.Write(Record(0, 0x77, 0, {})));
            EXPECT_EQ(1u, ev.Receive(1).size()) << "a listening handle still receives";
        }
        EXPECT_EQ(0, KORVA_Close(h));
        h = 0;
    }
}

TEST_F(Ocera, OpeningAnOpenRecordAndClosingAClosedOneFail) {
    Device d;
    InitDevice(&d);
    std::strcpy(d.SystemName, pty.Path().c_str());
    ASSERT_EQ(0, OpenDevice_Ocera(&d));
    const int fd = d.Fd;
    EXPECT_EQ(KORVA_ERR_GENERIC, OpenDevice_Ocera(&d));
    EXPECT_EQ(fd, d.Fd);
    EXPECT_NE(-1, ::fcntl(fd, F_GETFL)) << "the descriptor stays open";
    EXPECT_EQ(0, CloseDevice_Ocera(&d));
    EXPECT_EQ(-1, d.Fd);
    EXPECT_EQ(0, d.WakePipeOpen);
    EXPECT_EQ(KORVA_ERR_GENERIC, CloseDevice_Ocera(&d));

    EXPECT_EQ(KORVA_ERR_SYSTEM, KORVA_Open((pty.Dir() + "/can9").c_str(), KORVA_MODE_NORMAL));
    EXPECT_EQ(0, DeviceListSize(DeviceList));
}

TEST_F(Ocera, CloseEndsTheWaitingReaderAndReleasesEverything) {
    const auto descriptors = [] {
        const std::filesystem::directory_iterator fds("/proc/self/fd");
        return std::distance(begin(fds), end(fds));
    };
    const auto before = descriptors();
    for (int round = 0; round < 3; ++round) {
        ASSERT_GT(Open(), 0);
        {
            RxEvent ev(h);
            ASSERT_TRUE(pty.Write(Record(0, 0x10, 0, {})));
            ASSERT_EQ(1u, ev.Receive(1).size());
        }
        // The reader is back in its wait without time limit.
        EXPECT_EQ(0, KORVA_Close(h));
        EXPECT_EQ(nullptr, Dev());
        h = 0;
        EXPECT_EQ(before, descriptors()) << "round " << round;
    }
}

TEST_F(Ocera, FailedReadEndsTheReaderButTheHandleStillWritesAndCloses) {
    std::FILE *trace = std::tmpfile();
    ASSERT_NE(nullptr, trace);
    debugout = trace; // before the reader thread exists
    KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(KORVA_DEBUG_LEVEL_SYSTEM));
    ASSERT_GT(Open(), 0);
    {
        RxEvent ev(h);
        ASSERT_TRUE(pty.Write(Record(0, 0x42, 0, {})));
        ASSERT_TRUE(ev.Wait());
        gReadMode = 2;
        ASSERT_TRUE(pty.Write(Record(0, 0x43, 0, {})));
        ASSERT_TRUE(ev.Wait()) << "the loss is announced";
    }
    EXPECT_NE(0u, AtomicLoad(Dev()->StatusFlags) & KORVA_STATUS_CHANNEL_LOST);
    CanMsg got[2];
    uint32_t read = 0;
    EXPECT_EQ(0, KORVA_Read(h, got, 2, &read));
    EXPECT_EQ(1u, read) << "frames received before stay readable";
    KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Read(h, got, 2, &read)) << "no waiting for frames that cannot come";

    const CanMsg m = Frame(0x44, KORVA_FLAG_STANDARD, {});
    uint32_t written = 0;
    EXPECT_EQ(0, KORVA_Write(h, &m, 1, &written));
    EXPECT_EQ(1u, written);
    EXPECT_TRUE(pty.Expect(Record(0, 0x44, 0, {})));
    EXPECT_EQ(0, KORVA_Close(h));
    h = 0;
    KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(0));
    debugout = stderr;

    std::string text(4096, '\0');
    std::rewind(trace);
    text.resize(std::fread(text.data(), 1, text.size(), trace));
    std::fclose(trace);
    char line[64];
    std::snprintf(line, sizeof line, "*** %-29s%s (%d)\n", "sysfuncs_ocera[269]: ", "read", EIO);
    EXPECT_NE(std::string::npos, text.find(line)) << text;
}

// With reconnection on, the reader opens a device that failed again, makes
// its bit rate again, and reads on where it stopped.
TEST_F(Ocera, WithReconnectionAFailedDeviceIsOpenedAgainAndConfigured) {
    ASSERT_GT(Open(), 0);
    ASSERT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_RECONNECT, KORVA_IOCTL_INT(1)));
    ASSERT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(6)));
    TakeIoctls();
    RxEvent ev(h);
    gReadMode = 2;
    ASSERT_TRUE(pty.Write(Record(0, 0x43, 0, {})));
    ASSERT_TRUE(ev.Wait()) << "the loss is announced";
    const CanMsg m = Frame(0x44, KORVA_FLAG_STANDARD, {});
    uint32_t written = 0;
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Write(h, &m, 1, &written));
    EXPECT_EQ(0u, written);
    gReadMode = 0;
    // The record that the failed read left is read from the device opened
    // again; the event is also released for the return.
    CanMsg got{};
    uint32_t read = 0;
    for (int posts = 0; posts < 3 && read == 0 && ev.Wait(); ++posts) KORVA_Read(h, &got, 1, &read);
    ASSERT_EQ(1u, read);
    EXPECT_EQ(0x43u, got.Identifier);
    LinkStats stats{};
    ASSERT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_GET_LINK_STATS, &stats));
    EXPECT_GE(stats.Reconnections, 1u);
    EXPECT_EQ(stats.Losses, stats.Reconnections);
    bool speedAgain = false;
    for (const IoctlCall &c : TakeIoctls()) speedAgain |= c.request == 0x4010640BUL && c.fd == Dev()->Fd;
    EXPECT_TRUE(speedAgain) << "the bit rate is set on the device opened again";
    EXPECT_EQ(0, KORVA_Write(h, &m, 1, &written));
    EXPECT_TRUE(pty.Expect(Record(0, 0x44, 0, {})));
}

TEST_F(Ocera, HungUpDeviceIsReportedToReaders) {
    ASSERT_GT(Open(), 0);
    RxEvent ev(h);
    pty.CloseMaster();
    ASSERT_TRUE(ev.Wait());
    CanMsg m;
    uint32_t read = 0;
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Read(h, &m, 1, &read));
}

// Both kinds of adapter in one process, whichever was opened last and so
// holds the process-wide driver table.
class OceraBesideLawicel : public Ocera, public ::testing::WithParamInterface<bool> {};

TEST_P(OceraBesideLawicel, EachHandleKeepsItsOwnDriver) {
    std::optional<korva_test::OpenedPty> law; // answers "N1234", "V1013", "\r"
    if (!GetParam()) law.emplace();
    ASSERT_GT(Open(), 0);
    if (GetParam()) law.emplace();
    ASSERT_GT(law->handle, 0);
    EXPECT_EQ(GetParam() ? WriteFrame_Lawicel : WriteFrame_Ocera, CurrentDriverOps().WriteFrame);

    constexpr uint32_t kFrames = 16;
    std::thread lawicelSide([&] {
        RxEvent ev(law->handle);
        for (uint32_t i = 0; i < kFrames; ++i) {
            const CanMsg m = Frame(0x1A0 + i, KORVA_FLAG_STANDARD, {0xAA, static_cast<uint8_t>(i)});
            uint32_t written = 0;
            EXPECT_EQ(0, KORVA_Write(law->handle, &m, 1, &written));
            char line[16];
            std::snprintf(line, sizeof line, "t%03X1%02X\r", 0x300 + i, i);
            EXPECT_TRUE(law->adapter.Send(line));
        }
        EXPECT_EQ(0, KORVA_Flush(law->handle));
        char last[16];
        std::snprintf(last, sizeof last, "t%03X2AA%02X", 0x1A0 + kFrames - 1, kFrames - 1);
        EXPECT_TRUE(law->adapter.WaitCommand(last)) << "frames went out as Lawicel text";
        const auto got = ev.Receive(kFrames);
        ASSERT_EQ(kFrames, got.size());
        for (uint32_t i = 0; i < kFrames; ++i) EXPECT_EQ(0x300 + i, got[i].Identifier);
    });
    std::thread linCanSide([&] {
        RxEvent ev(h);
        std::string wire;
        for (uint32_t i = 0; i < kFrames; ++i) {
            const uint8_t b = static_cast<uint8_t>(i);
            const CanMsg m = Frame(0x2B0 + i, KORVA_FLAG_EXTENDED, {b});
            uint32_t written = 0;
            EXPECT_EQ(0, KORVA_Write(h, &m, 1, &written));
            wire += Record(4, 0x2B0 + i, 1, {b});
            EXPECT_TRUE(pty.Write(Record(4, 0x400 + i, 1, {b}, '\xEE')));
        }
        EXPECT_TRUE(pty.Expect(wire)) << "frames went out as LinCAN records";
        const auto got = ev.Receive(kFrames);
        ASSERT_EQ(kFrames, got.size());
        for (uint32_t i = 0; i < kFrames; ++i) EXPECT_EQ(0x400 + i, got[i].Identifier);
    });
    lawicelSide.join();
    linCanSide.join();

    // Configuration, too, goes to each handle's own driver.
    EXPECT_EQ(KORVA_ERR_NOT_IMPLEMENTED, KORVA_Ioctl(h, KORVA_IOCTL_SET_FILTER_MODE, KORVA_IOCTL_INT(2)));
    EXPECT_EQ(0, KORVA_Ioctl(law->handle, KORVA_IOCTL_SET_FILTER_MODE, KORVA_IOCTL_INT(2)));
    EXPECT_TRUE(law->adapter.WaitCommand("D1"));
    EXPECT_TRUE(TakeIoctls().empty());
}

INSTANTIATE_TEST_SUITE_P(OpenedLast, OceraBesideLawicel, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) { return p.param ? "Lawicel" : "LinCan"; });

} // namespace
