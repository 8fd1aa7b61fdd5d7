// Opening a Lawicel adapter and configuring it, with the test playing the
// adapter on a pseudo-terminal (or a TCP peer) and checking the bytes on
// the wire.
#include "fake_adapter.h"
#include "korva_api.h"
#include "net.h"
#include "sysfuncs.h"
#include "traced.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <utility>
#include <vector>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace korva_test;

namespace {

void *Arg(intptr_t v) { return KORVA_IOCTL_INT(v); }

HwParam HwOf(int32_t handle) {
    HwParam p{};
    EXPECT_EQ(KORVA_Ioctl(handle, KORVA_IOCTL_GET_HW_PARAM, &p), 0);
    return p;
}

/* A trace line of this driver as the log shows it. */
std::string TraceLine(const char *prefix, int line, const std::string &message) {
    char where[40];
    std::snprintf(where, sizeof where, "sysfuncs_lawicel[%d]: ", line);
    char head[64];
    std::snprintf(head, sizeof head, "%s%-29s", prefix, where);
    return head + message + "\n";
}

} // namespace

TEST(LawicelOpen, FailedStepsAreTracedWithTheirFixedLines) {
    Pty pty; // only for its temporary directory
    const std::string missing = pty.Dir() + "/gone/ttyUSB0";
    std::string log = Traced([&] { EXPECT_EQ(KORVA_Open(missing.c_str(), 0), KORVA_ERR_NO_DEVICE); });
    EXPECT_NE(log.find(TraceLine("+++ ", 208, "ResetDevice_Lawicel") + TraceLine("*** ", 510, "open (2)") +
                       TraceLine("--- ", 210, "WriteData(Device,... = -1")),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(TraceLine("+++ ", 39, "GetDeviceSerialNrNVersion_Lawicel")), std::string::npos) << log;
    EXPECT_NE(log.find(TraceLine("*** ", 510, "open (2)") + TraceLine("--- ", 44, "WriteData(Device,... = -1")),
              std::string::npos)
        << log;

    // A name that is no tty opens, but cannot be set up as a line.
    const std::string plain = pty.Dir() + "/ttyS0";
    std::fclose(std::fopen(plain.c_str(), "w"));
    log = Traced([&] { EXPECT_EQ(KORVA_Open(plain.c_str(), 0), KORVA_ERR_NO_DEVICE); });
    unlink(plain.c_str());
    EXPECT_NE(log.find(TraceLine("*** ", 513, "tcgetattr (25)")), std::string::npos) << log;
}

TEST(LawicelOpen, ResetsQueriesAndOpensInTheRequestedMode) {
    const std::pair<int32_t, std::string> cases[] = {{KORVA_MODE_NORMAL, "O"},
                                                     {KORVA_MODE_LISTEN_ONLY, "L"},
                                                     {KORVA_MODE_OPEN_Y, "Y"},
                                                     {7, "O"}};
    for (const auto &[mode, open] : cases) {
        OpenedPty a(mode);
        ASSERT_GT(a.handle, 0) << "mode " << mode;
        ASSERT_TRUE(a.adapter.WaitCommand(open));
        EXPECT_EQ(a.adapter.Raw(), "C\rN\rV\r" + open + "\r");
        const HwParam p = HwOf(a.handle);
        EXPECT_EQ(p.SerialNr, 1234U);
        EXPECT_EQ(p.HwVersion, 0x10);
        EXPECT_EQ(p.SwVersion, 0x13);
        EXPECT_EQ(p.HwType, KORVA_HWTYPE_USB);
    }
}

TEST(LawicelOpen, LineSpeedFollowsTheNameAndFlowControlIsOn) {
    const std::pair<std::string, speed_t> cases[] = {{"ttyS0", B115200}, {"ttyUSB0", B3000000}};
    for (const auto &[link, speed] : cases) {
        OpenedPty a(KORVA_MODE_NORMAL, link);
        ASSERT_GT(a.handle, 0) << link;
        const termios t = a.pty.SlaveSettings();
        EXPECT_EQ(cfgetospeed(&t), speed) << link;
        EXPECT_EQ(cfgetispeed(&t), speed) << link;
        EXPECT_NE(t.c_cflag & CRTSCTS, 0U) << link;
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
        EXPECT_EQ(t.c_lflag, 0U);
        EXPECT_EQ(t.c_oflag, 0U);
    }
}

TEST(LawicelOpen, WrongShapedIdentityRepliesFindNoDevice) {
    const std::pair<std::string, std::string> cases[] = {
        {"N", "N123456789012\r"}, // 14 bytes with the carriage return
        {"N", "X1234\r"},
        {"N", ""},                // no answer at all
        {"V", "V10\r"},           // too short
    };
    for (const auto &[command, reply] : cases) {
        Pty pty;
        FakeAdapter adapter(pty.TakeMaster());
        adapter.On(command, reply);
        EXPECT_EQ(KORVA_Open(pty.Path().c_str(), 0), KORVA_ERR_NO_DEVICE) << command << " -> " << reply;
    }
}

TEST(LawicelConfig, EachRequestRunsCloseCommandOpen) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    const uint8_t btr[2] = {0x03, 0x1C};
    const uint32_t codeMask[2] = {0x123, 0x7FF};
    struct Case {
        uint32_t request;
        void *argument;
        std::string wire;
    };
    const Case cases[] = {
        {KORVA_IOCTL_SET_SPEED, Arg(6), "C\rS6\rO\r"},
        {KORVA_IOCTL_SET_SPEED, Arg(9), "C\rS9\rO\r"},
        {KORVA_IOCTL_SET_BTR, const_cast<uint8_t *>(btr), "C\rs031C\rO\r"},
        {KORVA_IOCTL_SET_ACC_CODE_MASK, const_cast<uint32_t *>(codeMask), "C\rM00000123\rm000007FF\rO\r"},
        {KORVA_IOCTL_SET_TIMESTAMP, Arg(5), "C\rZ1\rO\r"},
        {KORVA_IOCTL_SET_TIMESTAMP, Arg(0), "C\rZ0\rO\r"},
        {KORVA_IOCTL_SET_FILTER_MODE, Arg(2), "C\rD1\rO\r"},
        {KORVA_IOCTL_SET_FILTER_MODE, Arg(1), "C\rD0\rO\r"},
        {KORVA_IOCTL_SET_FILTER_MODE, Arg(0), "C\rD0\rO\r"},
    };
    for (const Case &c : cases) {
        a.adapter.Clear();
        EXPECT_EQ(KORVA_Ioctl(a.handle, c.request, c.argument), 0) << c.wire;
        ASSERT_TRUE(a.adapter.WaitCommand("O"));
        EXPECT_EQ(a.adapter.Raw(), c.wire);
    }
}

/* An adapter played by a FakeAdapter on a pty or behind a TCP port. */
struct PlayedAdapter {
    explicit PlayedAdapter(bool tcp) {
        if (tcp) {
            LoopbackListener listener;
            name = listener.Name();
            adapter = std::make_unique<FakeAdapter>(std::exchange(listener.fd, -1), true);
        } else {
            pty = std::make_unique<Pty>();
            name = pty->Path();
            adapter = std::make_unique<FakeAdapter>(pty->TakeMaster());
        }
        handle = KORVA_Open(name.c_str(), KORVA_MODE_NORMAL);
        if (handle > 0) adapter->WaitCommand("O");
    }
    ~PlayedAdapter() {
        if (handle > 0) KORVA_Close(handle);
    }
    /* A frame each way and the flags: the handle still works. */
    void ExpectWorking(uint8_t tag) {
        char line[16];
        std::snprintf(line, sizeof line, "t1231%02X\r", tag);
        ASSERT_TRUE(adapter->Send(line));
        CanMsg m{};
        uint32_t n = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (n == 0 && std::chrono::steady_clock::now() < deadline) ASSERT_EQ(KORVA_Read(handle, &m, 1, &n), 0);
        ASSERT_EQ(n, 1U) << "no frame received";
        EXPECT_EQ(m.Data[0], tag);
        const CanMsg out{0x321, 1, {tag}, KORVA_FLAG_STANDARD, 0};
        uint32_t written = 0;
        ASSERT_EQ(KORVA_Write(handle, &out, 1, &written), 0);
        EXPECT_EQ(written, 1U);
        std::snprintf(line, sizeof line, "t3211%02X", tag);
        EXPECT_TRUE(adapter->WaitCommand(line)) << "the frame did not reach the adapter";
        uint32_t flags = 99;
        EXPECT_EQ(KORVA_Ioctl(handle, KORVA_IOCTL_GET_FLAGS, &flags), 0);
        EXPECT_EQ(flags, 0U);
    }
    std::unique_ptr<Pty> pty;
    std::unique_ptr<FakeAdapter> adapter;
    std::string name;
    int32_t handle = 0;
};

class LawicelRefusal : public ::testing::TestWithParam<bool> {};

/* A refused or unanswered configuration command fails the request, and the
 * exchange still ends with the open command: the adapter keeps what it had
 * and the handle keeps receiving, sending and answering. */
TEST_P(LawicelRefusal, RefusedCommandFailsAndTheHandleKeepsWorking) {
    PlayedAdapter a(GetParam());
    ASSERT_GT(a.handle, 0);
    ASSERT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
    const uint8_t btr[2] = {0x03, 0x14};
    const uint32_t codeMask[2] = {0x123, 0x7FF};
    struct Case {
        uint32_t request;
        void *argument;
        const char *command;
        const char *wire;
    };
    const Case cases[] = {
        {KORVA_IOCTL_SET_SPEED, Arg(8), "S8", "C\rS8\rO\r"},
        {KORVA_IOCTL_SET_BTR, const_cast<uint8_t *>(btr), "s0314", "C\rs0314\rO\r"},
        {KORVA_IOCTL_SET_ACC_CODE_MASK, const_cast<uint32_t *>(codeMask), "M00000123", "C\rM00000123\rO\r"},
    };
    uint8_t tag = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        a.adapter->On(c.command, "\a");
        a.adapter->Clear();
        EXPECT_EQ(KORVA_Ioctl(a.handle, c.request, c.argument), KORVA_ERR_COMMAND);
        ASSERT_TRUE(a.adapter->WaitCommand("O"));
        EXPECT_EQ(a.adapter->Raw(), c.wire);
        a.ExpectWorking(++tag);
    }
}

/* A slow adapter answers "S7" after the request has given up on it, and
 * the open command behind it later still.  Those late carriage returns are
 * not taken for the answers of the next exchange: its refusal is seen. */
TEST_P(LawicelRefusal, LateReplyIsNotTakenForTheNextCommandsAnswer) {
    PlayedAdapter a(GetParam());
    ASSERT_GT(a.handle, 0);
    ASSERT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
    a.adapter->Delay("S7", 600);
    a.adapter->On("S5", "\a");
    EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_SPEED, Arg(7)), KORVA_ERR_COMMAND);
    // While the adapter is late, a request fails (either it sees the
    // refusal or it does not send its command); it never succeeds.
    EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_SPEED, Arg(5)), KORVA_ERR_COMMAND);
    // Once the adapter has caught up, requests work again.
    int32_t rc = KORVA_ERR_COMMAND;
    for (int i = 0; i < 20 && rc == KORVA_ERR_COMMAND; ++i) rc = KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_SPEED, Arg(6));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_SPEED, Arg(5)), KORVA_ERR_COMMAND);
    a.ExpectWorking(0x5A);
}

INSTANTIATE_TEST_SUITE_P(PtyAndTcp, LawicelRefusal, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Tcp" : "Pty"; });

TEST(LawicelConfig, UnansweredCommandFailsAndTheLineIsPutInStep) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    a.adapter.On("S7", "");
    a.adapter.Clear();
    EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_SPEED, Arg(7)), KORVA_ERR_COMMAND);
    // The next exchange asks for the version before its own command, so
    // that a late reply lands before the "V" line.
    EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_SET_SPEED, Arg(5)), 0);
    ASSERT_TRUE(a.adapter.WaitCommand("S5"));
    ASSERT_TRUE(a.adapter.WaitRawSize(std::string("C\rS7\rO\rC\rV\rS5\rO\r").size()));
    EXPECT_EQ(a.adapter.Raw(), "C\rS7\rO\rC\rV\rS5\rO\r");
}

TEST(LawicelConfig, FlagsComeFromTheStatusReply) {
    OpenedPty a;
    ASSERT_GT(a.handle, 0);
    a.adapter.On("F", "F8c\r");
    uint32_t flags = 99;
    EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_GET_FLAGS, &flags), 0);
    EXPECT_EQ(flags, 0x8CU);
    a.adapter.On("F", "");
    flags = 99;
    EXPECT_EQ(KORVA_Ioctl(a.handle, KORVA_IOCTL_GET_FLAGS, &flags), KORVA_ERR_GENERIC);
    EXPECT_EQ(flags, 0U);
}

TEST(LawicelTcp, OpensExchangesFramesAndNoticesThePeerClosing) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.Ok());
    // The adapter takes the listening socket over and closes it.
    FakeAdapter peer(std::exchange(listener.fd, -1), true);
    const std::string name = listener.Name();

    const int32_t h = KORVA_Open(name.c_str(), KORVA_MODE_NORMAL);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(peer.WaitCommand("O"));
    // Each identity query reads its reply with the connection closed after.
    EXPECT_EQ(peer.Raw(), "C\rN\rV\rO\r");
    EXPECT_EQ(peer.Connections(), 3);
    EXPECT_EQ(HwOf(h).HwType, KORVA_HWTYPE_NET);

    ASSERT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
    ASSERT_TRUE(peer.Send("T1FFFFFFF1AB\r"));
    CanMsg m{};
    uint32_t n = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (n == 0 && std::chrono::steady_clock::now() < deadline) ASSERT_EQ(KORVA_Read(h, &m, 1, &n), 0);
    ASSERT_EQ(n, 1U);
    EXPECT_EQ(m.Identifier, 0x1FFFFFFFU);
    EXPECT_EQ(m.Flags, KORVA_FLAG_EXTENDED);
    EXPECT_EQ(m.Data[0], 0xAB);

    const CanMsg out{0x123, 1, {0x42}, KORVA_FLAG_STANDARD, 0};
    uint32_t written = 0;
    EXPECT_EQ(KORVA_Write(h, &out, 1, &written), 0);
    EXPECT_TRUE(peer.WaitCommand("t123142"));

    peer.Hangup();
    int32_t rc = 0;
    while (rc == 0 && std::chrono::steady_clock::now() < deadline + std::chrono::seconds(10))
        rc = KORVA_Read(h, &m, 1, &n);
    EXPECT_EQ(rc, KORVA_ERR_NO_DEVICE);
    uint32_t flags = 0;
    EXPECT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags), 0);
    EXPECT_NE(flags & KORVA_STATUS_CHANNEL_LOST, 0U);
    EXPECT_EQ(KORVA_Close(h), 0);
}

TEST(LawicelTcp, UnansweredConnectionGivesUpWithinSeconds) {
    // A listener whose backlog is full drops the handshakes of further
    // connections, as a gateway behind a firewall that drops packets does.
    LoopbackListener listener(0);
    ASSERT_TRUE(listener.Ok());
    std::vector<int> queued;
    bool full = false;
    for (int i = 0; i < 8 && !full; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(listener.port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        queued.push_back(fd);
        pollfd p{fd, POLLOUT, 0};
        full = poll(&p, 1, 500) == 0; // this handshake is not answered
    }
    ASSERT_TRUE(full) << "the listener kept accepting handshakes";

    const auto start = std::chrono::steady_clock::now();
    const std::string log = Traced([&] { EXPECT_EQ(KORVA_Open(listener.Name().c_str(), 0), KORVA_ERR_NO_DEVICE); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const int fd : queued) close(fd);
    // Bounded generously: the point is seconds, not the minutes the
    // system's own retries would take.
    EXPECT_LT(seconds, 30.0);
    EXPECT_NE(log.find(TraceLine("*** ", 420, "connect (110)")), std::string::npos) << log;
    std::printf("[ figures  ] KORVA_Open of an adapter that never answers the connection: %.2f s\n", seconds);
}
