// Opening by serial number and "first found": discovery over a directory of
// simulated adapters, through KORVA_Open, then frames and handle reuse.
#include "korva_api.h"
#include "sim.h"
#include "sysfuncs.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

// Points discovery at a directory of the test's own for its lifetime.
struct DiscoveryIn {
    const char *saved = DiscoveryDir;
    explicit DiscoveryIn(const std::filesystem::path &dir) : path(dir.string()) { DiscoveryDir = path.c_str(); }
    ~DiscoveryIn() { DiscoveryDir = saved; }
    std::string path;
};

uint32_t SerialOf(int32_t h) {
    HwParam hw{};
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, &hw));
    return hw.SerialNr;
}

TEST(DiscoveryOpen, BySerialNumberAndFirstFound) {
    TempDir dir;
    korva_test::Sim a({"--pty", dir / "ttyUSB0", "--serial", "4711"});
    korva_test::Sim b({"--pty", dir / "ttyS1", "--serial", "815", "--hw", "21", "--sw", "07"});
    korva_test::Sim c({"--pty", dir / "ttyUSB2", "--serial", "815"});
    ASSERT_TRUE(a.Ok() && b.Ok() && c.Ok()) << a.Error() << b.Error() << c.Error();
    DiscoveryIn in(dir.path);

    // The adapters as discovery lists them, in directory order.
    Device *list[DEVICE_LIST_SIZE] = {};
    ASSERT_EQ(3, EnumDevices2List(list));
    std::string last815;
    std::set<uint32_t> serials;
    for (int i = 0; i < 3; ++i) {
        serials.insert(list[i]->SerialNr);
        if (list[i]->SerialNr == 815) last815 = list[i]->SystemName;
    }
    const std::string first = list[0]->SystemName;
    FreeDeviceList(list);
    EXPECT_EQ((std::set<uint32_t>{815, 4711}), serials);

    // By serial number: the one that reports it; of two, the one listed last.
    const int32_t h1 = KORVA_Open("4711", KORVA_MODE_NORMAL);
    ASSERT_GT(h1, 0);
    EXPECT_EQ(4711u, SerialOf(h1));
    ASSERT_TRUE(a.WaitFor("state open O"));
    const size_t resetsOfA = a.Count("rx C");
    const int32_t h2 = KORVA_Open("815", KORVA_MODE_LISTEN_ONLY);
    ASSERT_GT(h2, 0);
    EXPECT_EQ(815u, SerialOf(h2));
    korva_test::Sim &opened = last815 == dir / "ttyS1" ? b : c;
    ASSERT_TRUE(opened.WaitFor("state open L")) << "the later of the two adapters reporting 815";
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Open("99", KORVA_MODE_NORMAL));

    // A frame from the adapter chosen by serial number reaches its handle.
    ASSERT_TRUE(a.Command("send 123#AABB"));
    KORVA_Ioctl(h1, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    CanMsg m{};
    uint32_t n = 0;
    for (int tries = 0; tries < 100 && n == 0; ++tries) KORVA_Read(h1, &m, 1, &n);
    ASSERT_EQ(1u, n);
    EXPECT_EQ(0x123u, m.Identifier);
    EXPECT_EQ(2, m.Length);

    // Discovery leaves adapters in use alone: opening another one by serial
    // number did not reset the first (a reset would show as "rx C").
    EXPECT_EQ(resetsOfA, a.Count("rx C")) << "adapter 4711 was reset while open";
    // Nor does opening it again by its location: two handles cannot share
    // one adapter's line.
    EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Open((dir / "ttyUSB0").c_str(), KORVA_MODE_NORMAL));
    EXPECT_EQ(resetsOfA, a.Count("rx C")) << "adapter 4711 was reset by a second open";

    // Closing frees the handles; the next open takes the first adapter found
    // and the lowest free handle.
    ASSERT_EQ(0, KORVA_Close(h2));
    ASSERT_EQ(0, KORVA_Close(h1));
    const int32_t h3 = KORVA_Open(nullptr, KORVA_MODE_NORMAL);
    EXPECT_EQ(1, h3);
    HwParam hw{};
    ASSERT_EQ(0, KORVA_Ioctl(h3, KORVA_IOCTL_GET_HW_PARAM, &hw));
    EXPECT_EQ(first == dir / "ttyS1" ? KORVA_HWTYPE_SERIAL : KORVA_HWTYPE_USB, hw.HwType);
    EXPECT_EQ(0, KORVA_Close(h3));
    EXPECT_EQ(0, DeviceListSize(DeviceList));
}

// Discovery probes each node with the driver of its kind, whatever was
// opened before; the records it lists carry no mutex of the probe's, so
// opening from the list, closing and opening again works every time.
TEST(DiscoveryOpen, SameResultWhateverWasOpenedBefore) {
    TempDir lincan;
    std::filesystem::create_symlink("/dev/null", lincan / "can1");
    TempDir serial;
    korva_test::Sim a({"--pty", serial / "ttyUSB0", "--serial", "4711"});
    ASSERT_TRUE(a.Ok()) << a.Error();

    int32_t firstFound[2] = {};
    for (int round = 0; round < 2; ++round) {
        {
            DiscoveryIn in(lincan.path);
            const int32_t h = KORVA_Open(nullptr, KORVA_MODE_NORMAL);
            firstFound[round] = h > 0 ? KORVA_HWTYPE_OCERA : h;
            if (h > 0) {
                EXPECT_EQ(0, KORVA_Close(h));
            }
        }
        // With a LinCAN device open, the serial adapter is still probed
        // (and opened) as a Lawicel adapter, by serial number and as the
        // first one found, again and again.
        const int32_t lin = KORVA_Open((lincan / "can1").c_str(), KORVA_MODE_NORMAL);
        ASSERT_GT(lin, 0);
        DiscoveryIn in(serial.path);
        for (const char *name : {"4711", static_cast<const char *>(nullptr), "4711"}) {
            a.Mark();
            const int32_t h = KORVA_Open(name, KORVA_MODE_NORMAL);
            ASSERT_GT(h, 0) << (name ? name : "first found") << " in round " << round;
            EXPECT_EQ(4711u, SerialOf(h));
            ASSERT_TRUE(a.WaitFor("state open O"));
            const CanMsg m{0x321, 1, {0x5A}, KORVA_FLAG_STANDARD, 0};
            uint32_t written = 0;
            ASSERT_EQ(0, KORVA_Write(h, &m, 1, &written));
            ASSERT_EQ(0, KORVA_Flush(h));
            ASSERT_TRUE(a.WaitFor("rx t32115A"));
            EXPECT_EQ(0, KORVA_Close(h));
        }
        EXPECT_EQ(0, KORVA_Close(lin));
    }
    EXPECT_EQ(firstFound[0], firstFound[1]) << "first found before and after a LinCAN device was opened";
    EXPECT_EQ(0, DeviceListSize(DeviceList));
}

} // namespace
