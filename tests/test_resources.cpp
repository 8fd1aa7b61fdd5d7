// What opening and closing leave behind: descriptors, threads and memory
// over many open/close cycles, and after every way KORVA_Open can fail.
// Buffers that stay allocated are LeakSanitizer's to find (ASan build).
#include "korva_api.h"
#include "net.h"
#include "platform.h"
#include "procstat.h"
#include "sim.h"
#include "sysfuncs.h"
#include "tempdir.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

using namespace korva_test;
using Clock = std::chrono::steady_clock;

namespace {

/* The open command fails on the line. */
long FailOpenCommand(int fd, const void *buf, size_t n) {
    if (n == 2 && std::memcmp(buf, "O\r", 2) == 0) {
        errno = EIO;
        return -1;
    }
    return write(fd, buf, n);
}

} // namespace

TEST(Resources, OpenCloseCyclesLeaveNothingBehind) {
    // Every cycle waits for a quiet line a few times; sanitizer builds run
    // a tenth of the cycles.
    const int cycles = kSanitized ? 100 : 1000;
    const int retriesBefore = gOpenRetries;
    Sim sim({"--tcp", "0", "--no-log-rx"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const std::string name = sim.TcpName();
    auto cycle = [&] {
        const int32_t h = OpenAdapter(name);
        EXPECT_EQ(h, 1);
        return h > 0 && KORVA_Close(h) == 0;
    };
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(cycle()); // warm-up
    const size_t fds = OpenFdCount();
    const size_t tasks = TaskIds().size();
    const long rssBefore = VmRssKb();
    size_t fdsMax = fds, tasksMax = tasks, leftOver = 0;
    const auto start = Clock::now();
    for (int i = 0; i < cycles; ++i) {
        ASSERT_TRUE(cycle()) << "cycle " << i;
        size_t f = OpenFdCount(), t = TaskIds().size();
        fdsMax = std::max(fdsMax, f);
        tasksMax = std::max(tasksMax, t);
        // A joined thread can stay listed in /proc for a moment after the
        // join returned (the kernel wakes the joiner before it is reaped):
        // only what stays for good is left over.
        for (int look = 0; look < 200 && (f != fds || t != tasks); ++look) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            f = OpenFdCount();
            t = TaskIds().size();
        }
        leftOver += f != fds || t != tasks;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long rssAfter = VmRssKb();
    EXPECT_EQ(leftOver, 0U) << "cycles after which a descriptor or thread stayed";
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_EQ(TaskIds().size(), tasks);
    EXPECT_EQ(DeviceListSize(DeviceList), 0);
    if (!kAddressSanitized) {
        EXPECT_LT(rssAfter - rssBefore, 4 * 1024L) << rssBefore << " kB before, " << rssAfter << " kB after";
    }
    std::printf("[ figures  ] %d open/close cycles in %.1f s (%.3f s each): descriptors %zu before, %zu after "
                "(at most %zu), threads %zu before, %zu after (at most %zu), VmRSS %ld kB before, %ld kB after; "
                "%d opens tried again\n",
                cycles, seconds, seconds / cycles, fds, OpenFdCount(), fdsMax, tasks, TaskIds().size(), tasksMax,
                rssBefore, rssAfter, gOpenRetries - retriesBefore);
}

TEST(Resources, FailedOpensLeaveNothingBehind) {
    TempDir dir;
    Sim pty({"--pty", dir / "sim/ttyUSB0", "--no-log-rx"});
    ASSERT_TRUE(pty.Ok()) << pty.Error();
    Sim tcp({"--tcp", "0", "--no-log-rx"});
    ASSERT_TRUE(tcp.Ok()) << tcp.Error();
    LoopbackListener dead(LoopbackListener::kBoundOnly);
    const std::string plainFile = dir / "ttyUSB0";
    std::fclose(std::fopen(plainFile.c_str(), "w"));

    const size_t fds = OpenFdCount();
    const std::set<int> tasks = TaskIds();
    auto expectNothingLeft = [&](const char *what) {
        EXPECT_EQ(DeviceListSize(DeviceList), 0) << what;
        EXPECT_EQ(OpenFdCount(), fds) << what;
        EXPECT_EQ(TaskIds(), tasks) << what;
    };

    EXPECT_EQ(KORVA_Open((dir / "gone/ttyUSB1").c_str(), 0), KORVA_ERR_NO_DEVICE);
    expectNothingLeft("nothing at the location");
    EXPECT_EQ(KORVA_Open(dead.Name().c_str(), 0), KORVA_ERR_NO_DEVICE);
    expectNothingLeft("nobody listening at the port");
    EXPECT_EQ(KORVA_Open(plainFile.c_str(), 0), KORVA_ERR_NO_DEVICE);
    expectNothingLeft("a file that is no tty");
    EXPECT_EQ(KORVA_Open((dir / "can7").c_str(), 0), KORVA_ERR_SYSTEM);
    expectNothingLeft("a LinCAN device that does not exist");

    const std::pair<const char *, const char *> faults[] = {
        {"fault silence", "fault none"},
        {"fault refuse", "fault none"},
        {"reply V V1\\r", "reply V default"},
    };
    for (Sim *sim : {&pty, &tcp}) {
        const std::string name = sim == &pty ? sim->Link() : sim->TcpName();
        for (const auto &[fault, cure] : faults) {
            ASSERT_TRUE(sim->Command(fault));
            EXPECT_EQ(KORVA_Open(name.c_str(), 0), KORVA_ERR_NO_DEVICE) << name << ": " << fault;
            expectNothingLeft(fault);
            ASSERT_TRUE(sim->Command(cure));
        }
    }

    // The adapter answers, but its open command cannot be sent.
    SysCalls.write = FailOpenCommand;
    EXPECT_EQ(OpenAdapter(pty.Link()), KORVA_ERR_SYSTEM);
    PlatResetSysCalls();
    expectNothingLeft("open command not sent");

    // No free handle: the adapter is opened, then closed again.
    Device filler;
    InitDevice(&filler);
    for (int i = 0; i < DEVICE_LIST_SIZE; ++i) ASSERT_NE(AddDevice2List(DeviceList, &filler), nullptr);
    tcp.Mark();
    EXPECT_EQ(OpenAdapter(tcp.TcpName()), KORVA_ERR_NO_MEMORY);
    // Serial number, versions and the open command each had a connection;
    // the adapter sees all three end.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(tcp.WaitFor("client closed")) << i;
    for (int h = 1; h <= DEVICE_LIST_SIZE; ++h) {
        Device d{};
        d.Handle = h;
        EXPECT_EQ(RemoveDeviceFromList(DeviceList, d), 0);
    }
    expectNothingLeft("handle table full");

    // And the adapters still open normally afterwards.
    for (const std::string &name : {pty.Link(), tcp.TcpName()}) {
        const int32_t h = OpenAdapter(name);
        EXPECT_GT(h, 0) << name;
        if (h > 0) {
            EXPECT_EQ(KORVA_Close(h), 0);
        }
    }
    expectNothingLeft("after the last close");
}
