// Opening by serial number and "first found": discovery over a directory of
// simulated adapters, through KORVA_Open, then frames and handle reuse; and
// adapters of the quiet dialect (slcan firmware that answers no command)
// beside full ones.
#include "korva_api.h"
#include "discovery.h"
#include "sim.h"
#include "sysfuncs.h"
#include "tempdir.h"
#include "traced.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <set>
#include <thread>

namespace {

using korva_test::DiscoveryIn;

int32_t DialectOf(int32_t h) {
    int32_t d = -1;
    EXPECT_EQ(0, KORVA_Ioctl(h, KORVA_IOCTL_GET_DIALECT, &d));
    return d;
}

/* The next frame with this identifier that the handle receives (others
 * are skipped), within 20 s. */
std::optional<CanMsg> Receive(int32_t h, uint32_t id) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        CanMsg m{};
        uint32_t n = 0;
        if (KORVA_Read(h, &m, 1, &n) != 0) return std::nullopt;
        if (n == 1 && m.Identifier == id) return m;
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

int32_t Send(int32_t h, uint32_t id, uint8_t flags) {
    const CanMsg m{id, 2, {0xAA, 0xBB}, flags, 0};
    uint32_t written = 0;
    const int32_t rc = KORVA_Write(h, &m, 1, &written);
    return rc != 0 ? rc : (written == 1 ? KORVA_Flush(h) : KORVA_ERR_GENERIC);
}

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

// A quiet adapter over a pty (found first by discovery, then by its
// location) and over TCP, on a simulated bus with a full adapter that this
// process has open at the same time: frames cross both ways.
TEST(QuietDialect, OpensConfiguresAndCarriesFramesBesideAFullAdapter) {
    TempDir dir;
    DiscoveryIn in(dir.path);
    for (const bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "pty");
        const std::string bus = "quiet" + std::to_string(getpid()) + (tcp ? "t" : "p");
        korva_test::Sim quiet(tcp ? std::vector<std::string>{"--tcp", "0", "--dialect", "quiet", "--bus", bus}
                                  : std::vector<std::string>{"--pty", dir / "ttyUSB0", "--dialect", "quiet", "--bus", bus});
        korva_test::Sim full({"--tcp", "0", "--bus", bus});
        ASSERT_TRUE(quiet.Ok() && full.Ok()) << quiet.Error() << full.Error();
        const std::string location = tcp ? quiet.TcpName() : quiet.Link();

        // Found first (a pty), or by location; no serial number picks it.
        if (!tcp) {
            EXPECT_EQ(KORVA_ERR_NO_DEVICE, KORVA_Open("0", KORVA_MODE_NORMAL));
        }
        int32_t q = KORVA_Open(tcp ? location.c_str() : nullptr, KORVA_MODE_NORMAL);
        ASSERT_GT(q, 0);
        for (const char *e : {"rx C", "rx N", "rx V", "set silent=0", "state open O"}) EXPECT_TRUE(quiet.WaitFor(e)) << e;
        const int32_t f = KORVA_Open(full.TcpName().c_str(), KORVA_MODE_NORMAL);
        ASSERT_GT(f, 0);
        EXPECT_EQ(KORVA_DIALECT_QUIET, DialectOf(q));
        EXPECT_EQ(KORVA_DIALECT_FULL, DialectOf(f));
        HwParam hw{};
        ASSERT_EQ(0, KORVA_Ioctl(q, KORVA_IOCTL_GET_HW_PARAM, &hw));
        EXPECT_EQ(0u, hw.SerialNr + hw.HwVersion + hw.SwVersion);
        EXPECT_EQ(1234u, SerialOf(f));

        // A speed code, and the registers of one, go as "C", "Sn", "O".
        const uint8_t btr1M[2] = {0x00, 0x14};
        EXPECT_EQ(0, KORVA_Ioctl(q, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(6)));
        for (const char *e : {"rx C", "set bitrate=S6", "state open O"}) EXPECT_TRUE(quiet.WaitFor(e)) << e;
        EXPECT_EQ(0, KORVA_Ioctl(q, KORVA_IOCTL_SET_BTR, const_cast<uint8_t *>(btr1M)));
        for (const char *e : {"rx C", "set bitrate=S8", "state open O"}) EXPECT_TRUE(quiet.WaitFor(e)) << e;

        // What the firmware cannot do is refused, traced, and never sent.
        const size_t resets = quiet.Count("rx C");
        const uint8_t btrOther[2] = {0x01, 0x23};
        const uint32_t codeMask[2] = {0x123, 0x7FF};
        const std::string log = korva_test::Traced([&] {
            EXPECT_EQ(KORVA_ERR_NOT_IMPLEMENTED, KORVA_Ioctl(q, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(9)));
            EXPECT_EQ(KORVA_ERR_NOT_IMPLEMENTED, KORVA_Ioctl(q, KORVA_IOCTL_SET_BTR, const_cast<uint8_t *>(btrOther)));
            EXPECT_EQ(KORVA_ERR_NOT_IMPLEMENTED,
                      KORVA_Ioctl(q, KORVA_IOCTL_SET_ACC_CODE_MASK, const_cast<uint32_t *>(codeMask)));
            EXPECT_EQ(KORVA_ERR_NOT_IMPLEMENTED, KORVA_Ioctl(q, KORVA_IOCTL_SET_FILTER_MODE, KORVA_IOCTL_INT(2)));
        });
        for (const char *request : {"speed code 9", "registers 0123 other than a speed code's", "acceptance code and mask", "filter mode"})
            EXPECT_NE(std::string::npos, log.find(std::string(request) + ": not available in the quiet dialect"))
                << request << "\n" << log;
        // The status flags are korva's own, at once: no "F" goes out.
        uint32_t flags = 99;
        EXPECT_EQ(0, KORVA_Ioctl(q, KORVA_IOCTL_GET_FLAGS, &flags));
        EXPECT_EQ(0u, flags);

        // The adapter still works: frames both ways across the bus, first
        // without time stamps, then with korva's own.
        ASSERT_EQ(0, Send(q, 0x123, KORVA_FLAG_STANDARD));
        std::optional<CanMsg> m = Receive(f, 0x123);
        ASSERT_TRUE(m);
        EXPECT_EQ(0xBB, m->Data[1]);
        ASSERT_EQ(0, Send(f, 0x1ABCDE, KORVA_FLAG_EXTENDED));
        m = Receive(q, 0x1ABCDE);
        ASSERT_TRUE(m);
        EXPECT_EQ(KORVA_FLAG_EXTENDED, m->Flags);
        EXPECT_EQ(0, KORVA_Ioctl(q, KORVA_IOCTL_SET_TIMESTAMP, KORVA_IOCTL_INT(1)));
        ASSERT_EQ(0, Send(f, 0x124, KORVA_FLAG_STANDARD));
        m = Receive(q, 0x124);
        ASSERT_TRUE(m);
        EXPECT_EQ(KORVA_FLAG_STANDARD | KORVA_FLAG_TIMESTAMP, m->Flags);
        EXPECT_LT(m->TimeStamp, 60000);
        EXPECT_EQ(resets, quiet.Count("rx C")) << "a refused request or the time stamps reset the adapter";
        // Only the probe's "N" went unused: no "F", no dropped frame.
        for (const std::string &e : quiet.Events())
            EXPECT_TRUE(e.rfind("ignored", 0) != 0 || e == "ignored N") << e;
        EXPECT_EQ(0u, quiet.Count("rx F"));
        ASSERT_EQ(0, KORVA_Close(q));
        ASSERT_TRUE(quiet.WaitFor("state closed"));

        // Listen-only by location: silent mode before "O", nothing sent,
        // frames still received.
        q = KORVA_Open(location.c_str(), KORVA_MODE_LISTEN_ONLY);
        ASSERT_GT(q, 0);
        for (const char *e : {"rx V", "set silent=1", "state open O silent"}) EXPECT_TRUE(quiet.WaitFor(e)) << e;
        EXPECT_EQ(KORVA_ERR_LISTEN_ONLY, Send(q, 0x125, KORVA_FLAG_STANDARD));
        ASSERT_EQ(0, Send(f, 0x126, KORVA_FLAG_STANDARD));
        EXPECT_TRUE(Receive(q, 0x126));
        ASSERT_EQ(0, KORVA_Close(q));
        EXPECT_TRUE(quiet.WaitFor("set silent=0")) << "closing left the firmware in silent mode";
        // "Y" has no meaning there: a normal open, silent mode off again.
        q = KORVA_Open(location.c_str(), KORVA_MODE_OPEN_Y);
        ASSERT_GT(q, 0);
        for (const char *e : {"set silent=0", "state open O"}) EXPECT_TRUE(quiet.WaitFor(e)) << e;
        EXPECT_EQ(0u, quiet.Count("rx t125"));
        ASSERT_EQ(0, KORVA_Close(q));
        ASSERT_EQ(0, KORVA_Close(f));
    }
    EXPECT_EQ(0, DeviceListSize(DeviceList));
}

} // namespace
