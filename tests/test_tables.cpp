// The handle table, the receive ring, adapter names and discovery.
#include "korva_api.h"
#include "sysfuncs.h"
#include "tempdir.h"
#include "testdriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <pty.h>
#include <semaphore.h>
#include <unistd.h>

namespace {

// A record with a ring and its synchronisation objects, as an open
// adapter has them.
struct RingRecord {
    Device dev;
    std::unique_ptr<CanFdMsg[]> ring{new CanFdMsg[RING_SIZE]};
    RingRecord() {
        InitDevice(&dev);
        dev.RingBuf = ring.get();
        pthread_mutex_init(&dev.RingMutex, nullptr);
        pthread_mutex_init(&dev.WaitMutex, nullptr);
        pthread_cond_init(&dev.RxCond, nullptr);
    }
    ~RingRecord() {
        pthread_mutex_destroy(&dev.RingMutex);
        pthread_mutex_destroy(&dev.WaitMutex);
        pthread_cond_destroy(&dev.RxCond);
    }
};

CanMsg Numbered(uint32_t i) {
    CanMsg m{};
    m.Identifier = i;
    m.Length = 8;
    std::memcpy(m.Data, &i, sizeof i);
    m.Data[7] = static_cast<uint8_t>(i * 7);
    m.Flags = static_cast<uint8_t>(KORVA_FLAG_EXTENDED | KORVA_FLAG_TIMESTAMP);
    m.TimeStamp = static_cast<uint16_t>(i * 3);
    return m;
}

TEST(HandleTable, RegistrationLookupAndRemoval) {
    Device *list[DEVICE_LIST_SIZE] = {};
    Device d;
    InitDevice(&d);
    std::strcpy(d.SystemName, "/dev/ttyS0");
    EXPECT_EQ(nullptr, GetDevice(list, 0));
    EXPECT_EQ(nullptr, GetDevice(list, -1));
    EXPECT_EQ(nullptr, GetDevice(list, 257));

    Device bad = d;
    bad.Magic = 0;
    EXPECT_EQ(nullptr, AddDevice2List(list, &bad)) << "an uninitialised record is never registered";

    for (int i = 1; i <= 3; ++i) EXPECT_EQ(i, AddDevice2List(list, &d)->Handle);
    EXPECT_STREQ("/dev/ttyS0", GetDevice(list, 2)->SystemName);
    Device two{};
    two.Handle = 2;
    EXPECT_EQ(0, RemoveDeviceFromList(list, two));
    EXPECT_EQ(KORVA_ERR_NO_ELEMENT, RemoveDeviceFromList(list, two));
    EXPECT_EQ(2, DeviceListSize(list)) << "holes are not counted";
    EXPECT_EQ(2, AddDevice2List(list, &d)->Handle) << "the lowest free slot is reused";

    for (int i = 4; i <= DEVICE_LIST_SIZE; ++i) ASSERT_NE(nullptr, AddDevice2List(list, &d));
    EXPECT_EQ(nullptr, AddDevice2List(list, &d)) << "the 257th registration";
    EXPECT_EQ(DEVICE_LIST_SIZE, DeviceListSize(list));
    EXPECT_EQ(DEVICE_LIST_SIZE, GetDevice(list, 256)->Handle);
    FreeDeviceList(list);
    EXPECT_EQ(0, DeviceListSize(list));
    FreeDeviceList(list); // an empty list: nothing happens
}

TEST(Ring, FirstInFirstOutAcrossWraps) {
    RingRecord r;
    CanMsg out{};
    EXPECT_EQ(KORVA_ERR_NO_ELEMENT, GetMsgFromBuf(&r.dev, &out));
    EXPECT_EQ(nullptr, r.dev.RingRead);
    // 25 000 frames through the ring, in bursts so that both positions wrap
    // twice while it holds several thousand frames.
    uint32_t stored = 0, fetched = 0;
    while (fetched < 25000) {
        for (int i = 0; i < 7000 && stored < 25000; ++i) ASSERT_EQ(0, AddMsg2Buf(&r.dev, Numbered(stored++)));
        for (int i = 0; i < 6000 && fetched < stored; ++i) {
            ASSERT_EQ(0, GetMsgFromBuf(&r.dev, &out));
            const CanMsg want = Numbered(fetched++);
            ASSERT_EQ(0, std::memcmp(&want, &out, sizeof out)) << "frame " << fetched - 1;
        }
    }
    EXPECT_EQ(0u, r.dev.RingCount);
}

TEST(Ring, FullRingDropsNewFramesAndMarksTheOverrun) {
    RingRecord r;
    sem_t sem;
    sem_init(&sem, 0, 0);
    AtomicStore(r.dev.RcvEvent, static_cast<void *>(&sem));
    for (uint32_t i = 0; i < RING_SIZE; ++i) {
        const CanMsg m = Numbered(i);
        ASSERT_EQ(0, AddMsg2BufAndNotify(&r.dev, &m));
    }
    EXPECT_EQ(0u, r.dev.StatusFlags);
    const CanMsg extra = Numbered(RING_SIZE);
    EXPECT_EQ(KORVA_ERR_NO_MEMORY, AddMsg2BufAndNotify(&r.dev, &extra));
    EXPECT_EQ(static_cast<uint32_t>(KORVA_STATUS_BUFFER_OVERRUN), r.dev.StatusFlags);
    int posts = 0;
    sem_getvalue(&sem, &posts);
    EXPECT_EQ(RING_SIZE, posts) << "one post per stored frame, none for the dropped one";

    CanMsg out{};
    ASSERT_EQ(0, GetMsgFromBuf(&r.dev, &out));
    EXPECT_EQ(0u, out.Identifier) << "stored frames are never overwritten";
    EXPECT_EQ(0, AddMsg2Buf(&r.dev, Numbered(RING_SIZE + 1)));
    for (uint32_t i = 1; i < RING_SIZE; ++i) {
        ASSERT_EQ(0, GetMsgFromBuf(&r.dev, &out));
        ASSERT_EQ(i, out.Identifier);
    }
    ASSERT_EQ(0, GetMsgFromBuf(&r.dev, &out));
    EXPECT_EQ(RING_SIZE + 1u, out.Identifier);
    sem_destroy(&sem);

    Device none;
    InitDevice(&none);
    pthread_mutex_init(&none.RingMutex, nullptr);
    EXPECT_EQ(KORVA_ERR_NO_MEMORY, AddMsg2Buf(&none, Numbered(0))) << "no storage counts as full";
    pthread_mutex_destroy(&none.RingMutex);
}

TEST(Ring, TickCountIsSteadyWithinATick) {
    // Two readings within one tick agree; across a longer span they move.
    int32_t a = GetTickCount(), b = GetTickCount();
    if (a != b) a = GetTickCount(), b = GetTickCount(); // crossed a tick edge once
    EXPECT_EQ(a, b);
}

struct Named {
    const char *name;
    const char *system;
    int32_t type;
    int32_t result;
};

TEST(Naming, SystemNamesAndKinds) {
    const Named table[] = {
        {"ttyS0", "/dev/ttyS0", DEVTYPE_SERIAL, 0},
        {"/dev/ttyUSB0", "/dev/ttyUSB0", DEVTYPE_USB, 0},
        {"/dev/ttyACM0", "/dev/ttyACM0", DEVTYPE_SERIAL, 0},
        {"can1", "/dev/can1", DEVTYPE_OCERA, 0},
        {"COM3", "/dev/COM3", DEVTYPE_SERIAL, 0},
        {"COMUSB4", "/dev/COMUSB4", DEVTYPE_USB, 0},
        {"192.168.1.10:2001", "192.168.1.10:2001", DEVTYPE_NET, 0},
        {"localhost:2001abc", "localhost:2001abc", DEVTYPE_NET, 0},
        {"host:65537", "host:65537", DEVTYPE_NET, 0},
        {"host:0", "host:0", DEVTYPE_NONE, 0},
        {":2001", ":2001", DEVTYPE_NONE, 0},
        // HOST:PORT is a network adapter whatever the host is called...
        {"canbus-gw:2001", "canbus-gw:2001", DEVTYPE_NET, 0},
        {"pottyhost:2001", "pottyhost:2001", DEVTYPE_NET, 0},
        {"COMhost:2001", "COMhost:2001", DEVTYPE_NET, 0},
        // ...but paths and names that are no HOST:PORT keep the name rules.
        {"/dev/ttyS0:1", "/dev/ttyS0:1", DEVTYPE_SERIAL, 0},
        {"cantor.example:2001abc", "cantor.example:2001abc", DEVTYPE_OCERA, 0},
        {"12345", "/dev/12345", DEVTYPE_NONE, -1},
        {"/tmp/bench/ttyUSB0", "/tmp/bench/ttyUSB0", DEVTYPE_USB, 0},
    };
    for (const Named &n : table) {
        Device d;
        InitDevice(&d);
        ASSERT_EQ(0, ConvertDeviceName2SystemName(n.name, d.SystemName)) << n.name;
        EXPECT_STREQ(n.system, d.SystemName);
        EXPECT_EQ(n.result, GetDeviceType(&d)) << n.name;
        EXPECT_EQ(n.type, d.DeviceType) << n.name;
        EXPECT_EQ(n.result == 0 ? n.type : -1, ClassifyDeviceName(n.name)) << n.name;
    }
    Device d;
    InitDevice(&d);
    ConvertDeviceName2SystemName("192.168.1.10:2001", d.SystemName);
    GetDeviceType(&d);
    EXPECT_STREQ("192.168.1.10", d.HostName);
    EXPECT_EQ(2001, d.Port);
    d.SystemName[0] = 'c'; // classified once: later changes do not count
    EXPECT_EQ(0, GetDeviceType(&d));
    EXPECT_EQ(DEVTYPE_NET, d.DeviceType);

    Device h;
    InitDevice(&h);
    ConvertDeviceName2SystemName("host:65537", h.SystemName);
    GetDeviceType(&h);
    EXPECT_EQ(1, h.Port);
}

TEST(Naming, OverlongNamesAreRefusedNotCut) {
    Device d;
    InitDevice(&d);
    std::memset(d.SystemName, 'Q', sizeof d.SystemName);
    EXPECT_EQ(0, ConvertDeviceName2SystemName(std::string(254, 'x').c_str(), d.SystemName));
    EXPECT_EQ(259u, std::strlen(d.SystemName));
    EXPECT_EQ(-1, ConvertDeviceName2SystemName(std::string(255, 'x').c_str(), d.SystemName));
    EXPECT_STREQ("", d.SystemName);
    EXPECT_EQ(-1, ConvertDeviceName2SystemName(("/dev/" + std::string(255, 'x')).c_str(), d.SystemName));
    EXPECT_EQ(0, ConvertDeviceName2SystemName(("/dev/" + std::string(254, 'x')).c_str(), d.SystemName));

    // A host part longer than HostName holds gives no kind.
    Device n;
    InitDevice(&n);
    const std::string longHost = std::string(256, 'h') + ":1";
    ASSERT_EQ(0, ConvertDeviceName2SystemName(longHost.c_str(), n.SystemName));
    EXPECT_EQ(0, GetDeviceType(&n));
    EXPECT_EQ(DEVTYPE_NONE, n.DeviceType);
    const std::string fits = std::string(255, 'h') + ":1";
    Device f;
    InitDevice(&f);
    ASSERT_EQ(0, ConvertDeviceName2SystemName(fits.c_str(), f.SystemName));
    GetDeviceType(&f);
    EXPECT_EQ(DEVTYPE_NET, f.DeviceType);
    EXPECT_EQ(255u, std::strlen(f.HostName));
}

// Pseudo-terminals whose slaves stand in for adapter nodes.
struct Pty {
    int master = -1, slave = -1;
    std::string slaveName;
    Pty() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) slaveName = name;
    }
    ~Pty() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

TEST(Discovery, ProbesCharacterDevicesWithAdapterNames) {
    TempDir dir;
    Pty a, b, c, d;
    std::filesystem::create_symlink(a.slaveName, dir / "ttyS3");
    std::filesystem::create_symlink(b.slaveName, dir / "ttyUSB0");
    std::filesystem::create_symlink(c.slaveName, dir / "can0");
    std::filesystem::create_symlink(d.slaveName, dir / "ttyACM0"); // not an adapter name
    std::ofstream(dir / "ttyS9") << "a regular file";
    std::filesystem::create_symlink(dir / "missing", dir / "ttyS7"); // dangling

    InstallTestDriver();
    TestLog().serialForNames = 1000;
    Device *list[DEVICE_LIST_SIZE] = {};
    EXPECT_EQ(3, EnumDevicesInDir2List(list, dir.path.c_str()));
    std::vector<std::string> probed;
    for (const std::string &call : TestCalls())
        if (call.rfind("GetDeviceSerialNrNVersion ", 0) == 0) probed.push_back(call.substr(26));
    std::sort(probed.begin(), probed.end());
    EXPECT_EQ((std::vector<std::string>{dir / "can0", dir / "ttyS3", dir / "ttyUSB0"}), probed);
    std::vector<uint32_t> serials;
    for (int i = 0; i < 3; ++i) {
        serials.push_back(list[i]->SerialNr);
        EXPECT_EQ(0x10, list[i]->HwVersion);
    }
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ((std::vector<uint32_t>{1000, 1000, 1003}), serials);
    FreeDeviceList(list);

    // Adapters that do not answer are not listed.
    TestLog().probeResult = KORVA_ERR_GENERIC;
    EXPECT_EQ(0, EnumDevicesInDir2List(list, dir.path.c_str()));
    EXPECT_EQ(0, EnumDevicesInDir2List(list, (dir / "no-such-dir").c_str()));
    RemoveTestDriver();
}

} // namespace
