// The mapper's logic end to end: the PEAK functions over the real
// libkorva_api.so, which the mapper loads and binds as it loads
// korva_api.dll on Windows, driving simulated adapters.
#include "mapper.h"
#include "mapper_os.h"
#include "peak.h"
#include "peak_cases.h"
#include "procstat.h"
#include "sim.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <semaphore.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using korva_test::Sim;
using Clock = std::chrono::steady_clock;
constexpr auto kBound = std::chrono::seconds(20);

const char *Env(const char *name) {
    const char *v = std::getenv(name);
    return v ? v : "";
}

// The test's own reference to the library the mapper loads (the same one),
// to point discovery at a directory and to switch the trace back off.
struct KorvaLib {
    void *handle = dlopen(Env("KORVA_LIB"), RTLD_NOW | RTLD_LOCAL);
    ~KorvaLib() {
        if (handle) dlclose(handle);
    }
    void SetDiscoveryDir(const char *dir) {
        if (auto **d = static_cast<const char **>(dlsym(handle, "DiscoveryDir"))) *d = dir;
    }
    void TraceOff() {
        if (auto ioctl = reinterpret_cast<decltype(&KORVA_Ioctl)>(dlsym(handle, "KORVA_Ioctl"))) {
            ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(0));
            ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(KORVA_DEBUG_TO_STDERR));
        }
    }
};

// A record as callers that declare it packed have it: 14 bytes on the
// heap, so that AddressSanitizer catches any access past them.
struct Packed {
    std::unique_ptr<uint8_t[]> bytes = std::make_unique<uint8_t[]>(PEAK_MSG_BYTES);
    explicit Packed(const PeakMsg &m = {}) { std::memcpy(bytes.get(), &m, PEAK_MSG_BYTES); }
    PeakMsg *get() { return reinterpret_cast<PeakMsg *>(bytes.get()); }
    PeakMsg value() const {
        PeakMsg m{};
        std::memcpy(&m, bytes.get(), PEAK_MSG_BYTES);
        return m;
    }
};

PeakMsg Msg(uint32_t id, uint8_t type, std::vector<uint8_t> data) {
    PeakMsg m{};
    m.Id = id;
    m.MsgType = type;
    m.Len = static_cast<uint8_t>(data.size());
    if (!data.empty()) std::memcpy(m.Data, data.data(), data.size());
    return m;
}

bool WaitUntil(const std::function<bool()> &done) {
    for (auto end = Clock::now() + kBound; Clock::now() < end;) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// Waits (bounded) until CAN_ReadEx delivers a frame.
bool ReadOne(PeakMsg *m, PeakTimestamp *t = nullptr) {
    return WaitUntil([&] { return CAN_ReadEx(m, t) == PEAK_RESULT_OK; });
}

// The identifiers CAN_Read delivers up to and including the sentinel.
std::vector<uint32_t> ReadUntil(uint32_t sentinel) {
    std::vector<uint32_t> ids;
    PeakMsg m{};
    while (ReadOne(&m)) {
        ids.push_back(m.Id);
        if (m.Id == sentinel) break;
    }
    return ids;
}

bool HasThread(int tid) { return korva_test::TaskIds().count(tid) != 0; }

class Mapper : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        cwd.emplace(dir.path);
        ASSERT_NE(nullptr, lib.handle) << "KORVA_LIB: " << dlerror();
        ASSERT_EQ(0, sem_init(&event, 0, 0));
        Attach("C:\\Program Files\\Bench\\korva_mapper_peak.dll");
    }
    void TearDown() override {
        CAN_ResetFilter();
        MapperEntry(nullptr, MAPPER_PROCESS_DETACH, nullptr);
        lib.SetDiscoveryDir("/dev");
        sem_destroy(&event);
        cwd.reset();
    }
    void Attach(const char *modulePath, const char *library = Env("KORVA_LIB"), int32_t expected = 1) {
        OsPosixSetLibraryPath(library);
        OsPosixSetModulePath(modulePath);
        ASSERT_EQ(expected, MapperEntry(nullptr, MAPPER_PROCESS_ATTACH, nullptr)) << (modulePath ? modulePath : "(none)");
    }
    void Reattach(const char *modulePath, const char *library = Env("KORVA_LIB"), int32_t expected = 1) {
        ASSERT_EQ(1, MapperEntry(nullptr, MAPPER_PROCESS_DETACH, nullptr));
        Attach(modulePath, library, expected);
    }
    void WriteIni(const std::string &text) { std::ofstream(dir / "korva.ini", std::ios::binary) << text; }
    // Opening is not what most tests are about: on a loaded machine an
    // adapter's reply can come too late, so CAN_Init is tried again.
    uint32_t Init(uint32_t btr, int32_t type) {
        uint32_t rc = PEAK_RESULT_INIT_FAILED;
        for (int i = 0; i < 5 && rc == PEAK_RESULT_INIT_FAILED; ++i) rc = CAN_Init(btr, type);
        return rc;
    }
    // Waits (bounded) for the event that the notification thread sets.
    bool WaitEvent() {
        timespec t{};
        clock_gettime(CLOCK_REALTIME, &t);
        t.tv_sec += 20;
        while (sem_timedwait(&event, &t) != 0)
            if (errno != EINTR) return false;
        return true;
    }
    // Starts the notification thread; returns its thread id.
    int StartNotify() {
        const auto before = korva_test::TaskIds();
        EXPECT_EQ(PEAK_RESULT_OK, CAN_SetRcvEvent(&event));
        for (int tid : korva_test::TaskIds())
            if (!before.count(tid)) return tid;
        return -1;
    }
    std::string Version() {
        char text[MODULE_NAME_SIZE + 100];
        EXPECT_EQ(PEAK_RESULT_OK, CAN_VersionInfo(text));
        return text;
    }

    TempDir dir;
    std::optional<ScopedCwd> cwd;
    KorvaLib lib;
    sem_t event;
};

TEST_F(Mapper, InitWritesReadsAndCloses) {
    Sim sim({"--tcp", "0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    // Section and key names match in any case; CRLF line ends.
    WriteIni("; bench adapter\r\n[KORVA_Mapper_Peak.DLL]\r\nPORT = " + sim.TcpName() + "\r\n");

    Packed early(Msg(0x123, 0, {1}));
    EXPECT_EQ(PEAK_RESULT_SEND_FAILED, CAN_Write(early.get())) << "before any CAN_Init";
    EXPECT_EQ(PEAK_RESULT_RX_EMPTY, CAN_Read(early.get()));
    EXPECT_EQ(PEAK_RESULT_SEND_FAILED, CAN_Write(nullptr));

    ASSERT_EQ(PEAK_RESULT_OK, Init(0x031C, 0));
    ASSERT_TRUE(sim.WaitFor("set btr=031C")) << "BTR0 from the high byte, BTR1 from the low one";
    ASSERT_TRUE(sim.WaitFor("set timestamps=1"));
    ASSERT_TRUE(sim.WaitFor("state open O"));

    // Each MsgType, from packed records, under both frame types of CAN_Init.
    for (const peak_cases::WriteCase &w : peak_cases::kWrites) {
        Packed m(Msg(w.id, w.type, {0xAA, 0xBB}));
        EXPECT_EQ(PEAK_RESULT_OK, CAN_Write(m.get()));
        EXPECT_TRUE(sim.WaitFor(w.standard)) << w.standard;
    }

    // Every frame kind, with and without the adapter's time stamp.
    for (const peak_cases::ReadCase &r : peak_cases::kReads)
        ASSERT_TRUE(sim.Command(std::string("send ") + r.line));
    for (const peak_cases::ReadCase &r : peak_cases::kReads) {
        Packed in;
        PeakTimestamp stamp;
        std::memset(&stamp, 0x5A, sizeof stamp);
        ASSERT_TRUE(ReadOne(in.get(), &stamp));
        const PeakMsg m = in.value();
        EXPECT_EQ(r.id, m.Id);
        EXPECT_EQ(r.type, m.MsgType);
        EXPECT_EQ(r.len, m.Len);
        EXPECT_EQ(r.data0, m.Data[0]);
        EXPECT_EQ(r.stamp, stamp.Stamp);
        EXPECT_EQ(0, stamp.Reserved[0] | stamp.Reserved[1] | stamp.Reserved[2] | stamp.Reserved[3]);
    }

    // No frame: the 14 bytes are cleared, the padding of a full record and
    // the time stamp are left alone.
    PeakMsg full;
    std::memset(&full, 0x5A, sizeof full);
    PeakTimestamp stamp{77, {}};
    EXPECT_EQ(PEAK_RESULT_RX_EMPTY, CAN_ReadEx(&full, &stamp));
    const uint8_t *raw = reinterpret_cast<const uint8_t *>(&full);
    for (int i = 0; i < PEAK_MSG_BYTES; ++i) EXPECT_EQ(0, raw[i]) << i;
    EXPECT_EQ(0x5A, raw[14]);
    EXPECT_EQ(0x5A, raw[15]);
    EXPECT_EQ(77u, stamp.Stamp);

    // A frame received before CAN_ResetClient stays; what was written leaves.
    ASSERT_TRUE(sim.Command("raw t1001AA\\rt1011BB\\r"));
    PeakMsg m{};
    ASSERT_TRUE(ReadOne(&m));
    EXPECT_EQ(0x100u, m.Id);
    Packed tail(Msg(0x321, 0, {0x01}));
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Write(tail.get()));
    EXPECT_EQ(PEAK_RESULT_OK, CAN_ResetClient());
    EXPECT_TRUE(sim.WaitFor("rx t321101"));
    ASSERT_TRUE(ReadOne(&m));
    EXPECT_EQ(0x101u, m.Id);

    // A second CAN_Init without CAN_Close closes the first channel.
    sim.Mark();
    ASSERT_EQ(PEAK_RESULT_OK, Init(0x0014, 1));
    EXPECT_TRUE(sim.WaitFor("client closed"));
    EXPECT_TRUE(sim.WaitFor("set btr=0014"));
    for (const peak_cases::WriteCase &w : peak_cases::kWrites) {
        Packed p(Msg(w.id, w.type, {0xAA, 0xBB}));
        EXPECT_EQ(PEAK_RESULT_OK, CAN_Write(p.get()));
        EXPECT_TRUE(sim.WaitFor(w.extended)) << w.extended;
    }

    // The functions that only answer.
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Status());
    EXPECT_EQ("korva_mapper_peak.dll Mapper\nkorva CAN adapter library, korva project", Version());
    char number[8];
    std::memset(number, 0x5A, sizeof number);
    EXPECT_EQ(PEAK_RESULT_OK, CAN_DLLVersionInfo(number));
    EXPECT_EQ(0, std::memcmp(number, "2.03\0\x5A", 6)) << "exactly five bytes";
    uint32_t device = 4711;
    EXPECT_EQ(PEAK_RESULT_OK, SetUSBDeviceNr(reinterpret_cast<uintptr_t>(&device)));
    EXPECT_EQ(4711u, device) << "GetUSBDeviceNr writes nothing";

    // CAN_Close twice: the second does nothing.
    sim.Mark();
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Close());
    EXPECT_TRUE(sim.WaitFor("client closed"));
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Close());
    Packed late(Msg(0x123, 0, {1}));
    EXPECT_EQ(PEAK_RESULT_SEND_FAILED, CAN_Write(late.get()));
    EXPECT_EQ(PEAK_RESULT_RX_EMPTY, CAN_Read(late.get()));
}

TEST_F(Mapper, FilterRangesWithholdReadFrames) {
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    WriteIni("[korva_mapper_peak.dll]\nPort = " + sim.Link() + "\n");
    ASSERT_EQ(PEAK_RESULT_OK, Init(0x001C, 0));
    auto send = [&](std::initializer_list<const char *> frames) {
        for (const char *f : frames) ASSERT_TRUE(sim.Command(std::string("send ") + f)) << f;
    };
    using Ids = std::vector<uint32_t>;

    // No range set: identifier 0 is withheld, of either kind.
    send({"000#01", "00000000#01", "001#01", "00000001#01", "7FF#01"});
    EXPECT_EQ((Ids{0x001, 0x001, 0x7FF}), ReadUntil(0x7FF));

    CAN_MsgFilter(0x100, 0x1FF, 0);
    send({"0FF#01", "100#01", "1FF#01", "200#01", "00000150#01", "00000000#01", "7FF#01"});
    EXPECT_EQ((Ids{0x0FF, 0x200, 0x150, 0x7FF}), ReadUntil(0x7FF));

    // Any type but 2 widens the standard range.
    CAN_MsgFilter(0x300, 0x30F, 1);
    send({"0FF#01", "2FF#01", "30F#01", "310#01", "7FF#01"});
    EXPECT_EQ((Ids{0x0FF, 0x310, 0x7FF}), ReadUntil(0x7FF));

    // A low bound of 0 counts as unset.
    CAN_ResetFilter();
    CAN_MsgFilter(0, 0x10, 0);
    CAN_MsgFilter(0x20, 0x30, 0);
    CAN_MsgFilter(0x1000, 0x2000, 2);
    send({"005#01", "020#01", "031#01", "00001500#01", "00002001#01", "500#01", "7FF#01"});
    EXPECT_EQ((Ids{0x005, 0x031, 0x2001, 0x500, 0x7FF}), ReadUntil(0x7FF));
}

// Flood frames carry their sequence number (see FloodFrame).
uint32_t SeqOf(const PeakMsg &m) {
    CanMsg c{};
    c.Identifier = m.Id;
    c.Length = m.Len;
    std::memcpy(c.Data, m.Data, 8);
    c.Flags = KORVA_FLAG_STANDARD;
    uint32_t seq = ~0u;
    return korva_test::FloodFrame(c, 0x100, &seq) ? seq : ~0u;
}

// The notification thread sleeps on the semaphore korva_api posts, or,
// with a korva_api that lacks KORVA_SetRcvEvent, polls.
class Notification : public Mapper, public ::testing::WithParamInterface<bool> {};

TEST_P(Notification, LosesNothingAndKeepsOrder) {
    if (!GetParam()) Api.SetRcvEvent = nullptr;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    WriteIni("[korva_mapper_peak.dll]\nPort = " + sim.Link() + "\n");
    ASSERT_EQ(PEAK_RESULT_OK, Init(0x001C, 0));
    const int first = StartNotify();
    ASSERT_GT(first, 0);

    // More frames than the mapper's FIFO holds, and a consumer slower than
    // the poll at first (one frame per wake-up), then draining each time.
    constexpr uint32_t kFrames = 5000, kSlow = 300;
    ASSERT_TRUE(sim.Command("flood " + std::to_string(kFrames)));
    uint32_t next = 0;
    while (next < kFrames && WaitEvent()) {
        PeakMsg m{};
        while (next < kFrames && CAN_Read(&m) == PEAK_RESULT_OK) {
            ASSERT_EQ(next, SeqOf(m)) << "lost, repeated or out of order";
            ++next;
            if (next <= kSlow) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                break;
            }
        }
    }
    EXPECT_EQ(kFrames, next);
    EXPECT_TRUE(sim.WaitFor("done flood sent=5000 lost=0"));
    ASSERT_TRUE(WaitUntil([] { return PendingFrames() == 0; }));
    PeakMsg m{};
    EXPECT_EQ(PEAK_RESULT_RX_EMPTY, CAN_Read(&m)) << "nothing delivered twice";

    // A frame the thread handed over is delivered even inside a range; it
    // comes after a quiet spell, in which the thread may sleep.
    CAN_MsgFilter(0x100, 0x100, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(sim.Command("send 100#0102"));
    ASSERT_TRUE(WaitUntil([] { return PendingFrames() == 1; }));
    ASSERT_EQ(PEAK_RESULT_OK, CAN_Read(&m));
    EXPECT_EQ(0x100u, m.Id);
    CAN_ResetFilter();

    // A null event leaves the thread running; a new event replaces it.
    EXPECT_EQ(PEAK_RESULT_OK, CAN_SetRcvEvent(nullptr));
    EXPECT_TRUE(HasThread(first));
    const int second = StartNotify();
    ASSERT_GT(second, 0);
    EXPECT_TRUE(WaitUntil([&] { return !HasThread(first); }));

    // A second CAN_Init: frames already handed over stay and come first.
    for (const char *f : {"101#01", "102#02", "103#03"}) ASSERT_TRUE(sim.Command(std::string("send ") + f));
    ASSERT_TRUE(WaitUntil([] { return PendingFrames() == 3; }));
    sim.Mark();
    ASSERT_EQ(PEAK_RESULT_OK, Init(0x001C, 0));
    ASSERT_TRUE(sim.WaitFor("state closed"));
    ASSERT_TRUE(sim.Command("send 104#04"));
    EXPECT_EQ((std::vector<uint32_t>{0x101, 0x102, 0x103, 0x104}), ReadUntil(0x104));
    // The new channel wakes the thread as well.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(sim.Command("send 105#05"));
    EXPECT_TRUE(WaitUntil([] { return PendingFrames() == 1; }));
    ASSERT_EQ(PEAK_RESULT_OK, CAN_Read(&m));
    EXPECT_EQ(0x105u, m.Id);

    EXPECT_EQ(PEAK_RESULT_OK, CAN_Close());
    EXPECT_TRUE(WaitUntil([&] { return !HasThread(second); })) << "CAN_Close stops the thread";
}

INSTANTIATE_TEST_SUITE_P(Mapper, Notification, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) { return p.param ? "Semaphore" : "Polling"; });

TEST_F(Mapper, ConfigurationSectionsTraceAndDiscovery) {
    Sim sim({"--pty", dir / "ttyUSB0", "--dialect", "fd"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();

    // A copy named Second.DLL reads section second.dll, whatever its case.
    Reattach("D:\\bench\\Second.DLL");
    EXPECT_EQ(0u, Version().rfind("Second.DLL Mapper\n", 0)) << Version();
    WriteIni("[korva_mapper_peak.dll]\nPort = 127.0.0.1:1\n[SECOND.dll]\nPort = " + sim.Link() + "\n");
    ASSERT_EQ(PEAK_RESULT_OK, Init(0x001C, 0));
    EXPECT_TRUE(sim.WaitFor("state open O"));
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Close());

    // debug: on for a value beginning with y, Y, t, T or 1.  Where nothing
    // answers, CAN_Init fails, but the trace is chosen before the open.
    const std::string log = dir / "korva_api.log";
    for (const char *value : {"Yes", "y", "true", "T", "1", "no", "0", "false", "on", "", "\"\""}) {
        const bool on = std::strchr("yYtT1", value[0]) && value[0];
        WriteIni("[second.dll]\nPort = 127.0.0.1:1\ndebug = " + std::string(value) + "\n");
        EXPECT_EQ(PEAK_RESULT_INIT_FAILED, CAN_Init(0x001C, 0));
        CAN_Close();
        lib.TraceOff();
        {
            std::ifstream in(log);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(on, in.is_open()) << "debug = " << value;
            if (on) {
                EXPECT_NE(std::string::npos, text.find("KORVA_Open(127.0.0.1:1)")) << text;
            }
        }
        std::remove(log.c_str());
    }

    // The mapper is classic: CAN FD frames on the bus are passed over, in
    // order with the classic ones, and the trace counts them.
    WriteIni("[second.dll]\nPort = " + sim.Link() + "\ndebug = yes\n");
    ASSERT_EQ(PEAK_RESULT_OK, Init(0x001C, 0));
    ASSERT_TRUE(sim.WaitFor("state open O"));
    ASSERT_TRUE(sim.Command("raw t1001AA\\rb2009" + std::string(24, 'F') + "\\rD123456780\\rt1011BB\\r"));
    EXPECT_EQ((std::vector<uint32_t>{0x100, 0x101}), ReadUntil(0x101));
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Close());
    lib.TraceOff();
    {
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(std::string::npos, text.find("KORVA_Read passes CAN FD frames over")) << text;
        EXPECT_NE(std::string::npos, text.find("closing: KORVA_Read passed over 2 CAN FD frames")) << text;
    }
    std::remove(log.c_str());

    // No korva.ini: the first adapter found.
    std::remove((dir / "korva.ini").c_str());
    lib.SetDiscoveryDir(dir.path.c_str());
    sim.Mark();
    ASSERT_EQ(PEAK_RESULT_OK, Init(0x001C, 0));
    EXPECT_TRUE(sim.WaitFor("state open O"));
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Close());
}

TEST_F(Mapper, AttachDetachAndUnload) {
    // What korva_api.dll and the module path must be for the load to work.
    testing::internal::CaptureStderr();
    Reattach("C:\\x\\korva_mapper_peak.dll", "/nonexistent/libkorva_api.so", 0);
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Could not load korva_api.dll"));
    testing::internal::CaptureStderr();
    Reattach("C:\\x\\korva_mapper_peak.dll", Env("KORVA_MAPPER_LACKING_LIB"), 0);
    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "a missing function fails without a message";
    Reattach("korva_mapper_peak.dll", Env("KORVA_LIB"), 0); // no backslash
    const std::string longPath = "C:\\" + std::string(300, 'p') + "\\korva_mapper_peak.dll";
    Reattach(longPath.c_str());
    EXPECT_EQ(0u, Version().rfind("unknown.dll Mapper\n", 0));
    Reattach(nullptr);
    EXPECT_EQ(0u, Version().rfind("unknown.dll Mapper\n", 0));

    // A second process attach fails; thread notifications change nothing.
    Reattach("C:\\x\\korva_mapper_peak.dll");
    EXPECT_EQ(0, MapperEntry(nullptr, MAPPER_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(1, MapperEntry(nullptr, MAPPER_THREAD_ATTACH, nullptr));
    EXPECT_EQ(1, MapperEntry(nullptr, MAPPER_THREAD_DETACH, nullptr));

    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    WriteIni("[korva_mapper_peak.dll]\nPort = " + sim.Link() + "\n");
    ASSERT_EQ(PEAK_RESULT_OK, Init(0x001C, 0));
    EXPECT_EQ(1, MapperEntry(nullptr, MAPPER_THREAD_DETACH, nullptr));
    Packed m(Msg(0x42, 0, {}));
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Write(m.get()));
    EXPECT_TRUE(sim.WaitFor("rx t0420"));

    // Unloading stops the notification thread and closes the channel.
    const int notify = StartNotify();
    ASSERT_GT(notify, 0);
    sim.Mark();
    EXPECT_EQ(1, MapperEntry(nullptr, MAPPER_PROCESS_DETACH, nullptr));
    EXPECT_TRUE(WaitUntil([&] { return !HasThread(notify); }));
    EXPECT_TRUE(sim.WaitFor("state closed"));
    EXPECT_EQ(PEAK_RESULT_SEND_FAILED, CAN_Write(m.get())) << "korva_api is unbound";

    // At process exit nothing is touched; a later unload still cleans up.
    Attach("C:\\x\\korva_mapper_peak.dll");
    ASSERT_EQ(PEAK_RESULT_OK, Init(0x001C, 0));
    ASSERT_TRUE(sim.WaitFor("state open O"));
    int exiting = 1;
    EXPECT_EQ(1, MapperEntry(nullptr, MAPPER_PROCESS_DETACH, &exiting));
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Write(m.get())) << "the channel is still there";
    EXPECT_EQ(PEAK_RESULT_OK, CAN_Close());
}

} // namespace
