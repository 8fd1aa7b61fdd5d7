// The exported functions over the handle table, driven through an
// in-process test driver placed in the driver operation table.
#include "korva_api.h"
#include "sysfuncs.h"
#include "tempdir.h"
#include "testdriver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <semaphore.h>
#include <thread>

namespace {

class Api : public ::testing::Test {
protected:
    void SetUp() override { InstallTestDriver(); }
    void TearDown() override {
        CloseAllHandles();
        RemoveTestDriver();
    }
};

// Waits (bounded) until the handle's ring holds n frames.
bool WaitForRing(int32_t h, uint32_t n) {
    Device *d = GetDevice(DeviceList, h);
    for (int i = 0; i < 20000 && d; ++i) {
        if (AtomicLoad(d->RingCount) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST_F(Api, HandlesAreNumberedFromOneAndReused) {
    EXPECT_EQ(1, OpenWithTestDriver("ttyS0"));
    EXPECT_EQ(2, OpenWithTestDriver("ttyS1"));
    EXPECT_EQ(3, OpenWithTestDriver("ttyS2"));
    EXPECT_EQ(4, OpenWithTestDriver("ttyS3"));
    EXPECT_EQ(0, KORVA_Close(2));
    EXPECT_EQ(KORVA_ERR_HANDLE, KORVA_Close(2)) << "a closed handle names no adapter";
    EXPECT_EQ(2, OpenWithTestDriver("ttyS4"));
    EXPECT_EQ(4, DeviceListSize(DeviceList));
    // Close tears down in order: reset, flush, close.
    InstallTestDriver();
    EXPECT_EQ(0, KORVA_Close(1));
    auto calls = TestCalls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("ResetDevice", calls[0]);
    EXPECT_EQ("FlushWriteBuffer", calls[1]);
    EXPECT_EQ("CloseDevice", calls[2]);
}

TEST_F(Api, FullTableClosesTheOpenedAdapterAndFailsCleanly) {
    Device filler;
    InitDevice(&filler);
    for (int i = 0; i < DEVICE_LIST_SIZE; ++i) ASSERT_NE(nullptr, AddDevice2List(DeviceList, &filler));
    EXPECT_EQ(KORVA_ERR_NO_MEMORY, OpenWithTestDriver("ttyS0"));
    auto calls = TestCalls();
    ASSERT_LE(2u, calls.size());
    EXPECT_EQ("OpenDevice 0", calls[calls.size() - 2]);
    EXPECT_EQ("CloseDevice", calls.back());
    for (int h = 1; h <= DEVICE_LIST_SIZE; ++h) {
        Device d{};
        d.Handle = h;
        RemoveDeviceFromList(DeviceList, d);
    }
}

TEST_F(Api, FailedOpenLeavesNoHandle) {
    TestLog().openResult = KORVA_ERR_GENERIC;
    EXPECT_EQ(KORVA_ERR_SYSTEM, OpenWithTestDriver("ttyS0"));
    EXPECT_EQ(0, DeviceListSize(DeviceList));
}

TEST_F(Api, BadHandlesAreRefusedAndCountersZeroed) {
    CanMsg frames[2] = {MakeFrame(1, {1}), MakeFrame(2, {2})};
    for (int32_t h : {0, 257, -1, 5}) {
        uint32_t n = 77;
        EXPECT_EQ(KORVA_ERR_HANDLE, KORVA_Write(h, frames, 2, &n));
        EXPECT_EQ(0u, n);
        n = 77;
        EXPECT_EQ(KORVA_ERR_HANDLE, KORVA_Read(h, frames, 2, &n));
        EXPECT_EQ(0u, n);
        EXPECT_EQ(KORVA_ERR_HANDLE, KORVA_Flush(h));
        EXPECT_EQ(KORVA_ERR_HANDLE, KORVA_Close(h));
        EXPECT_EQ(KORVA_ERR_HANDLE, KORVA_SetRcvEvent(h, nullptr));
    }
}

TEST_F(Api, WriteGoesToTheDriverUnlessListenOnly) {
    const int32_t h = OpenWithTestDriver("ttyUSB0");
    const int32_t lo = OpenWithTestDriver("ttyUSB1", KORVA_MODE_LISTEN_ONLY);
    CanMsg frames[3] = {MakeFrame(0x123, {0xAA, 0xBB}), MakeFrame(0x1FF, {}, KORVA_FLAG_EXTENDED),
                        MakeFrame(0x7FF, {1, 2, 3, 4, 5, 6, 7, 8})};
    uint32_t n = 99;
    EXPECT_EQ(KORVA_ERR_LISTEN_ONLY, KORVA_Write(lo, frames, 3, &n));
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(TestLog().written.empty());

    EXPECT_EQ(0, KORVA_Write(h, frames, 3, &n));
    EXPECT_EQ(3u, n);
    ASSERT_EQ(3u, TestLog().written.size());
    EXPECT_EQ(0, std::memcmp(frames, TestLog().written.data(), sizeof frames));

    TestLog().writeAccept = 1;
    EXPECT_EQ(KORVA_ERR_SYSTEM, KORVA_Write(h, frames, 3, &n));
    EXPECT_EQ(1u, n) << "the counter tells how many frames went";
    EXPECT_EQ(0, KORVA_Flush(h));
}

TEST_F(Api, ReadDeliversInOrderAndZeroesTheRest) {
    const int32_t h = OpenWithTestDriver("ttyS0");
    CanMsg out[10];
    std::memset(out, 0x5A, sizeof out);
    uint32_t n = 99;
    EXPECT_EQ(0, KORVA_Read(h, out, 10, &n)) << "empty ring, non-blocking";
    EXPECT_EQ(0u, n);
    const CanMsg zero{};
    for (const CanMsg &m : out) EXPECT_EQ(0, std::memcmp(&zero, &m, sizeof m));

    std::vector<CanMsg> in = {MakeFrame(1, {1}), MakeFrame(2, {2, 2}), MakeFrame(0x1234567, {3}, KORVA_FLAG_EXTENDED)};
    in[2].Flags |= KORVA_FLAG_TIMESTAMP;
    in[2].TimeStamp = 0xBEEF;
    InjectFrames(in);
    ASSERT_TRUE(WaitForRing(h, 3));
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(0, KORVA_Read(h, out, 10, &n));
    ASSERT_EQ(3u, n);
    EXPECT_EQ(0, std::memcmp(in.data(), out, 3 * sizeof(CanMsg)));
    for (int i = 3; i < 10; ++i) EXPECT_EQ(0, std::memcmp(&zero, &out[i], sizeof zero));
}

TEST_F(Api, BlockingReadWaitsForAFrameAndForALostChannel) {
    const int32_t h = OpenWithTestDriver("ttyS0");
    ASSERT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1)));
    auto reader = std::async(std::launch::async, [h] {
        CanMsg m{};
        uint32_t n = 0;
        int32_t rc = KORVA_Read(h, &m, 1, &n);
        return std::make_tuple(rc, n, m.Identifier);
    });
    EXPECT_EQ(std::future_status::timeout, reader.wait_for(std::chrono::milliseconds(50)));
    InjectFrames({MakeFrame(0x42, {1})});
    ASSERT_EQ(std::future_status::ready, reader.wait_for(std::chrono::seconds(20)));
    auto [rc, n, id] = reader.get();
    EXPECT_EQ(0, rc);
    EXPECT_EQ(1u, n);
    EXPECT_EQ(0x42u, id);

    // A lost channel ends the wait, and every later read says so.
    auto waiting = std::async(std::launch::async, [h] {
        CanMsg m{};
        uint32_t n = 0;
        return KORVA_Read(h, &m, 1, &n);
    });
    EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(50)));
    MarkChannelLost(GetDevice(DeviceList, h));
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(20)));
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, waiting.get());
    uint32_t flags = 0;
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags));
    EXPECT_TRUE(flags & KORVA_STATUS_CHANNEL_LOST);
}

TEST_F(Api, SemaphoreIsPostedOncePerStoredFrame) {
    const int32_t h = OpenWithTestDriver("ttyS0");
    sem_t sem;
    ASSERT_EQ(0, sem_init(&sem, 0, 0));
    ASSERT_EQ(0, KORVA_SetRcvEvent(h, &sem));
    InjectFrames({MakeFrame(1, {}), MakeFrame(2, {}), MakeFrame(3, {})});
    ASSERT_TRUE(WaitForRing(h, 3));
    int value = -1;
    sem_getvalue(&sem, &value);
    EXPECT_EQ(3, value);
    ASSERT_EQ(0, KORVA_SetRcvEvent(h, nullptr));
    InjectFrames({MakeFrame(4, {})});
    ASSERT_TRUE(WaitForRing(h, 4));
    sem_getvalue(&sem, &value);
    EXPECT_EQ(3, value) << "no posts once the event is withdrawn";
    KORVA_Close(h);
    sem_destroy(&sem);
}

TEST_F(Api, IoctlWithoutAndWithHandle) {
    ApiVersion v{};
    EXPECT_EQ(0, KORVA_Ioctl(0, KORVA_IOCTL_GET_API_VERSION, &v));
    EXPECT_EQ(1, v.Major);
    EXPECT_EQ(6, v.Minor);
    EXPECT_EQ(0, v.SubMinor);
    EXPECT_EQ(0, KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(0)));
    EXPECT_EQ(0, KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(1)));
    HwParam hw{};
    EXPECT_EQ(KORVA_ERR_HANDLE, KORVA_Ioctl(0, KORVA_IOCTL_GET_HW_PARAM, &hw));
    EXPECT_EQ(KORVA_ERR_HANDLE, KORVA_Ioctl(0, 12, nullptr));

    const int32_t h = OpenWithTestDriver("10.0.0.1:2001");
    EXPECT_EQ(KORVA_ERR_IOCTL, KORVA_Ioctl(h, 12, nullptr));
    EXPECT_EQ(KORVA_ERR_IOCTL, KORVA_Ioctl(h, 0, nullptr));
    std::memset(&hw, 0xEE, sizeof hw);
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, &hw));
    EXPECT_EQ(KORVA_HWTYPE_NET, hw.HwType);
    EXPECT_EQ(2001u, hw.SerialNr);
    EXPECT_EQ(0x10, hw.HwVersion);
    EXPECT_EQ(0x13, hw.SwVersion);
    EXPECT_EQ(0xEE, reinterpret_cast<uint8_t *>(&hw)[7]) << "only seven bytes are written";
    EXPECT_EQ(KORVA_ERR_IOCTL, KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, nullptr));

    // Adapter requests reach the driver with their arguments.
    InstallTestDriver();
    const uint8_t btr[2] = {0x03, 0x1C};
    const uint32_t acc[2] = {0x123, 0x7FF};
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(6)));
    EXPECT_EQ(KORVA_ERR_COMMAND, KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(99)));
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_BTR, const_cast<uint8_t *>(btr)));
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_ACC_CODE_MASK, const_cast<uint32_t *>(acc)));
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_TIMESTAMP, KORVA_IOCTL_INT(5)));
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_FILTER_MODE, KORVA_IOCTL_INT(2)));
    EXPECT_EQ((std::vector<std::string>{"SetDeviceSpeed 6", "SetDeviceSpeed 99", "SetDeviceBTR 3 28",
                                        "SetDeviceAccCodeMask 291 2047", "SetDeviceTimestamp 5",
                                        "SetDeviceFilterMode 2"}),
              TestCalls());
}

TEST_F(Api, EachHandleKeepsTheDriverItWasOpenedWith) {
    const int32_t h = OpenWithTestDriver("ttyS0");
    // Another adapter's open selects a different driver for the process.
    InitSystem_Ocera();
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(4)));
    EXPECT_EQ("SetDeviceSpeed 4", TestCalls().back());
    InstallTestDriver();
}

TEST_F(Api, OpenWithoutAdaptersReportsNoDevice) {
    TempDir empty;
    const char *saved = DiscoveryDir;
    DiscoveryDir = empty.path.c_str();
    RemoveTestDriver();
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Open(nullptr, 0));
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Open("12345", 0)) << "a serial number nobody reports";
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Open(":2001", 0)) << "a network name without a host";
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Open(std::string(300, 'x').c_str(), 0)) << "too long to be a name";
    EXPECT_EQ(0, DeviceListSize(DeviceList));
    DiscoveryDir = saved;
}

TEST(ErrorString, TextsAndBoundedCopy) {
    char buf[128];
    EXPECT_EQ(18, KORVA_GetErrorString(-101, buf, 100));
    EXPECT_STREQ("Goto error failed.", buf);
    EXPECT_EQ(14, KORVA_GetErrorString(5, buf, 100));
    EXPECT_STREQ("Unknown error.", buf);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(5, KORVA_GetErrorString(-1, buf, 5));
    EXPECT_EQ(0, std::memcmp(buf, "Gener\0", 6));
    EXPECT_EQ('x', buf[6]) << "nothing written past max + 1 bytes";
    EXPECT_EQ(0, KORVA_GetErrorString(-6, buf, 0));
    EXPECT_EQ('\0', buf[0]);
    const std::pair<int, const char *> table[] = {
        {0, "No error."},
        {-2, "No device was found."},
        {-3, "A system API failed."},
        {-4, "Not enough memory."},
        {-5, "No element was found."},
        {-6, "The handle is not valid."},
        {-7, "The ioctl failed."},
        {-8, "The mutex failed."},
        {-9, "The command failed."},
        {-10, "The listen only operation failed."},
        {-11, "The function is not implemented."},
    };
    for (auto [code, text] : table) {
        EXPECT_EQ(static_cast<int>(std::strlen(text)), KORVA_GetErrorString(code, buf, sizeof buf - 1));
        EXPECT_STREQ(text, buf);
    }
}

} // namespace
