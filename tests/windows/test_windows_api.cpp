// test_windows_api.exe - korva_api.dll on Windows, through its eight
// functions and the two of CAN FD, against simulated adapters on a COM
// port and over TCP.
//
//   test_windows_api SCENARIO [pty|tcp]
//
// runs under wine64 from the relay (tests/wine), which starts the
// simulators it asks for (see peer.h).  Scenarios:
//   traffic   open sequence, configuration bytes on the wire, frames both
//             ways with and without time stamps, the receive semaphore,
//             blocking read, status flags, 10 000 flooded frames, close and
//             handle reuse
//   fd        CAN FD: the data bit rate, FD frames of every length code
//             both ways beside a classic one
//   lost      the simulator is killed: readers are told, nothing hangs
//   reconnect the adapter is unplugged (the COM port's link removed, or the
//             gateway stops listening) and plugged in again: a handle with
//             reconnection on gets its settings again and carries frames
//   stall     a line that takes no data: bounded failures, and every frame
//             counted as written arrives once the line moves again
//   discovery opening by serial number and the first adapter found, through
//             the COM ports of the system
//   trace     the records' layout and the calling convention (32-bit:
//             cdecl), the trace file "korva_api.log", and LinCAN names
//   bench N [pty|tcp]  receives N flooded frames over the COM port (or
//             TCP) and reports frames/s and CPU per frame
//   idle N [pty|tcp]   N quiet adapters open: wake-ups and CPU per second
// The exit status is the number of failed checks (0: passed).
#include "korva_api.h"
#include "peer.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace korva_wintest;

namespace {

constexpr double kPatienceMs = 20000; // generous: a busy machine, wine

void *Arg(intptr_t v) { return KORVA_IOCTL_INT(v); }

int32_t Open(const std::string &name, int32_t mode = KORVA_MODE_NORMAL) {
    // A reply that missed its wait on a loaded machine: try again.
    int32_t h = KORVA_ERR_NO_DEVICE;
    for (int i = 0; i < 5 && h == KORVA_ERR_NO_DEVICE; ++i) h = KORVA_Open(name.c_str(), mode);
    return h;
}

/* Reads until want frames arrived or the patience is used up. */
std::vector<CanMsg> ReadFrames(int32_t h, size_t want, double patienceMs = kPatienceMs) {
    std::vector<CanMsg> frames;
    CanMsg buf[256];
    const double end = NowMs() + patienceMs;
    while (frames.size() < want && NowMs() < end) {
        uint32_t n = 0;
        if (KORVA_Read(h, buf, 256, &n) != KORVA_ERR_OK) break;
        frames.insert(frames.end(), buf, buf + n);
        if (n == 0) Sleep(1);
    }
    return frames;
}

uint32_t FloodSeq(const CanMsg &m, bool *whole) {
    uint32_t seq = 0;
    for (int i = 0; i < 4; ++i) seq = seq << 8 | m.Data[i];
    *whole = m.Identifier == 0x100 && m.Length == 8 && m.Flags == KORVA_FLAG_STANDARD;
    for (int i = 0; i < 4; ++i) *whole = *whole && m.Data[4 + i] == static_cast<uint8_t>(~m.Data[i]);
    return seq;
}

/* Receives count flooded frames and checks that each is whole and in order. */
void ExpectFlood(int32_t h, size_t count) {
    const std::vector<CanMsg> got = ReadFrames(h, count);
    CHECK_EQ(got.size(), count);
    size_t bad = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        bool whole = false;
        if (FloodSeq(got[i], &whole) != i || !whole) ++bad;
    }
    CHECK_EQ(bad, 0);
}

bool SameFrame(const CanMsg &m, uint32_t id, uint8_t flags, std::initializer_list<uint8_t> data) {
    if (m.Identifier != id || m.Flags != flags || m.Length != data.size()) return false;
    return std::memcmp(m.Data, data.begin(), data.size()) == 0;
}

/* A KORVA_Read on a thread of its own. */
struct Blocked {
    int32_t h;
    CanMsg m;
    uint32_t n;
    int32_t rc;
};
DWORD WINAPI BlockedRead(void *p) {
    auto *b = static_cast<Blocked *>(p);
    b->rc = KORVA_Read(b->h, &b->m, 1, &b->n);
    return 0;
}

/* ---- scenarios ---------------------------------------------------------- */

void Traffic(const std::string &transport) {
    const bool tcp = transport == "tcp";
    const std::string name = StartSim("a", transport, "--status 04 --serial 4711 --hw 12 --sw 34");
    if (name.empty()) return;
    const int32_t h = Open(name);
    if (!CHECK(h > 0)) return;
    // The open sequence: reset, serial number, versions, open.
    CHECK(SimWait("a", "rx C"));
    CHECK(SimWait("a", "rx N"));
    CHECK(SimWait("a", "rx V"));
    CHECK(SimWait("a", "state open O"));
    HwParam hw{};
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, &hw), 0);
    CHECK_EQ(hw.SerialNr, 4711);
    CHECK_EQ(hw.HwVersion, 0x12);
    CHECK_EQ(hw.SwVersion, 0x34);
    CHECK_EQ(hw.HwType, tcp ? KORVA_HWTYPE_NET : KORVA_HWTYPE_SERIAL);
    HwParam tail;
    std::memset(&tail, 0x5A, sizeof tail);
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, &tail), 0);
    CHECK_EQ(reinterpret_cast<const uint8_t *>(&tail)[7], 0x5A); // seven bytes filled, no more

    // Configuration: each request closes, configures and reopens.  The
    // first comes after a quiet spell, in which the reader sleeps.
    Sleep(1500);
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(6)), 0);
    CHECK(SimWait("a", "rx S6") && SimWait("a", "state open O"));
    const uint8_t btr[2] = {0x03, 0x1C};
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BTR, const_cast<uint8_t *>(btr)), 0);
    CHECK(SimWait("a", "rx s031C"));
    uint32_t acc[2] = {0x123, 0x7FF};
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_ACC_CODE_MASK, acc), 0);
    CHECK(SimWait("a", "rx M00000123") && SimWait("a", "rx m000007FF"));
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_FILTER_MODE, Arg(2)), 0);
    CHECK(SimWait("a", "rx D1"));
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_TIMESTAMP, Arg(1)), 0);
    CHECK(SimWait("a", "rx Z1") && SimWait("a", "state open O"));
    uint32_t flags = 0;
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags), 0);
    CHECK_EQ(flags & 0xFF, 0x04);

    // Received frames, with time stamps, through the receive semaphore.
    HANDLE sem = CreateSemaphoreW(nullptr, 0, 100000, nullptr);
    CHECK_EQ(KORVA_SetRcvEvent(h, sem), 0);
    CHECK(SimCmd("a", "send 123#AABB"));
    CHECK(SimCmd("a", "send 12345678#0102"));
    CHECK(SimCmd("a", "send 7FF#R3"));
    for (int i = 0; i < 3; ++i) CHECK_EQ(WaitForSingleObject(sem, 20000), WAIT_OBJECT_0);
    std::vector<CanMsg> got = ReadFrames(h, 3);
    if (CHECK_EQ(got.size(), 3)) {
        CHECK(SameFrame(got[0], 0x123, KORVA_FLAG_STANDARD | KORVA_FLAG_TIMESTAMP, {0xAA, 0xBB}));
        CHECK(SameFrame(got[1], 0x12345678, KORVA_FLAG_EXTENDED | KORVA_FLAG_TIMESTAMP, {0x01, 0x02}));
        CHECK_EQ(got[2].Flags, KORVA_FLAG_STANDARD | KORVA_FLAG_REMOTE | KORVA_FLAG_TIMESTAMP);
        CHECK_EQ(got[2].Length, 3);
    }
    CHECK_EQ(KORVA_SetRcvEvent(h, nullptr), 0);
    CloseHandle(sem);
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_TIMESTAMP, Arg(0)), 0);
    CHECK(SimWait("a", "rx Z0") && SimWait("a", "state open O"));
    CHECK(SimCmd("a", "send 321#0102030405060708"));
    got = ReadFrames(h, 1);
    CHECK(got.size() == 1 && SameFrame(got[0], 0x321, KORVA_FLAG_STANDARD, {1, 2, 3, 4, 5, 6, 7, 8}));

    // A blocking read waits for the next frame.
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
    Blocked blocked{h, {}, 0, -1};
    HANDLE reader = CreateThread(nullptr, 0, BlockedRead, &blocked, 0, nullptr);
    CHECK(SimCmd("a", "send 042#42"));
    CHECK_EQ(WaitForSingleObject(reader, 20000), WAIT_OBJECT_0);
    CloseHandle(reader);
    CHECK_EQ(blocked.rc, 0);
    CHECK(blocked.n == 1 && SameFrame(blocked.m, 0x42, KORVA_FLAG_STANDARD, {0x42}));
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, Arg(0)), 0);

    // After a quiet spell, a frame written without a flush still leaves,
    // and a received one still arrives.
    Sleep(1500);
    const CanMsg hello{0x456, 1, {0x56}, KORVA_FLAG_STANDARD, 0};
    uint32_t helloWritten = 0;
    CHECK_EQ(KORVA_Write(h, &hello, 1, &helloWritten), 0);
    CHECK(SimWait("a", "rx t456156"));
    Sleep(1500);
    CHECK(SimCmd("a", "send 457#57"));
    got = ReadFrames(h, 1);
    CHECK(got.size() == 1 && SameFrame(got[0], 0x457, KORVA_FLAG_STANDARD, {0x57}));

    // Frames sent: the text of each kind on the wire.
    const CanMsg out[] = {{0x123, 2, {0xAA, 0xBB}, KORVA_FLAG_STANDARD, 0},
                          {0x1FFFFFFF, 1, {0x01}, KORVA_FLAG_EXTENDED, 0},
                          {0x7FF, 0, {}, KORVA_FLAG_STANDARD | KORVA_FLAG_REMOTE, 0},
                          {0x12345, 4, {}, KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE, 0}};
    uint32_t written = 0;
    CHECK_EQ(KORVA_Write(h, out, 4, &written), 0);
    CHECK_EQ(written, 4);
    CHECK_EQ(KORVA_Flush(h), 0);
    CHECK(SimWait("a", "rx t1232AABB"));
    CHECK(SimWait("a", "rx T1FFFFFFF101"));
    CHECK(SimWait("a", "rx r7FF0"));
    CHECK(SimWait("a", "rx R000123454"));

    // 10 000 flooded frames, all of them, whole and in order.
    CHECK(SimCmd("a", "flood 10000"));
    ExpectFlood(h, 10000);

    // Close, and the handle number is handed out again.
    CHECK_EQ(KORVA_Close(h), 0);
    CHECK(SimWait("a", "rx C"));
    CHECK_EQ(KORVA_Close(h), KORVA_ERR_HANDLE);
    const int32_t again = Open(name);
    CHECK_EQ(again, h);
    if (again > 0) CHECK_EQ(KORVA_Close(again), 0);
}

void Lost(const std::string &transport, bool frameFirst) {
    const std::string name = StartSim("a", transport);
    if (name.empty()) return;
    const int32_t h = Open(name);
    if (!CHECK(h > 0)) return;
    // Killed after a frame and a quiet spell (the reader sleeps in its
    // wait for the line), or right after the open, when the reader may be
    // between two reads.
    if (frameFirst) {
        CHECK(SimCmd("a", "send 123#01"));
        CHECK_EQ(ReadFrames(h, 1).size(), 1);
        Sleep(1500);
    }
    CHECK(SimKill("a"));
    // Readers are told that nothing will come any more.
    int32_t rc = 0;
    const double end = NowMs() + kPatienceMs;
    CanMsg m;
    uint32_t n = 0;
    while (rc == 0 && NowMs() < end) {
        rc = KORVA_Read(h, &m, 1, &n);
        Sleep(5);
    }
    CHECK_EQ(rc, KORVA_ERR_NO_DEVICE);
    uint32_t flags = 0;
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags), 0);
    CHECK(flags & KORVA_STATUS_CHANNEL_LOST);
    uint32_t written = 0;
    const CanMsg out{0x123, 1, {1}, KORVA_FLAG_STANDARD, 0};
    CHECK_EQ(KORVA_Write(h, &out, 1, &written), KORVA_ERR_NO_DEVICE);
    const double t0 = NowMs();
    CHECK_EQ(KORVA_Close(h), 0);
    Note("[ figures  ] lost %s: KORVA_Close %.0f ms", transport.c_str(), NowMs() - t0);
}

void Reconnect(const std::string &transport) {
    const std::string name = StartSim("a", transport);
    if (name.empty()) return;
    const int32_t h = Open(name);
    if (!CHECK(h > 0)) return;
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_RECONNECT, Arg(1)), 0);
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(3)), 0);
    CHECK(SimCmd("a", "unplug"));
    uint32_t flags = 0;
    const double end = NowMs() + kPatienceMs;
    while (!(flags & KORVA_STATUS_CHANNEL_LOST) && NowMs() < end) {
        KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags);
        Sleep(5);
    }
    CHECK(flags & KORVA_STATUS_CHANNEL_LOST);
    const CanMsg out{0x321, 1, {1}, KORVA_FLAG_STANDARD, 0};
    uint32_t written = 0;
    CHECK_EQ(KORVA_Write(h, &out, 1, &written), KORVA_ERR_NO_DEVICE);
    CanMsg m;
    uint32_t n = 0;
    CHECK_EQ(KORVA_Read(h, &m, 1, &n), 0);
    SimMark("a");
    CHECK(SimCmd("a", "plug"));
    const double t0 = NowMs();
    CHECK(SimWait("a", "rx S3"));
    CHECK(SimWait("a", "state open O"));
    const double back = NowMs() - t0;
    CHECK(SimCmd("a", "send 123#01"));
    const std::vector<CanMsg> got = ReadFrames(h, 1);
    CHECK(got.size() == 1 && got[0].Identifier == 0x123);
    int32_t rc = KORVA_ERR_NO_DEVICE;
    for (int i = 0; i < 100 && rc == KORVA_ERR_NO_DEVICE; ++i, Sleep(10)) rc = KORVA_Write(h, &out, 1, &written);
    CHECK_EQ(rc, 0);
    CHECK_EQ(KORVA_Flush(h), 0);
    CHECK(SimWait("a", "rx t321101"));
    LinkStats stats{};
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_LINK_STATS, &stats), 0);
    CHECK_EQ(stats.Losses, 1);
    CHECK_EQ(stats.Reconnections, 1);
    CHECK_EQ(KORVA_Close(h), 0);
    Note("[ figures  ] reconnect %s: adapter configured and open again %.0f ms after it was plugged in",
         transport.c_str(), back);
}

/* Frames of the careful writer: sequence number in the data. */
CanMsg SeqFrame(uint32_t seq) {
    CanMsg m{0x200, 4, {}, KORVA_FLAG_STANDARD, 0};
    for (int i = 0; i < 4; ++i) m.Data[i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
    return m;
}

void Stall(const std::string &transport) {
    const std::string name = StartSim("a", transport);
    if (name.empty()) return;
    const int32_t h = Open(name);
    if (!CHECK(h > 0)) return;
    CHECK(SimCmd("a", "fault stall"));
    // Batches of 200, writing again what was not taken, until two calls failed.
    uint32_t next = 0;
    double slowest = 0;
    const auto writeUntilRefused = [&] {
        int failures = 0;
        std::vector<CanMsg> batch(200);
        while (failures < 2 && next < (8u << 20)) {
            for (size_t i = 0; i < batch.size(); ++i) batch[i] = SeqFrame(next + static_cast<uint32_t>(i));
            uint32_t written = 0;
            const double t0 = NowMs();
            const int32_t rc = KORVA_Write(h, batch.data(), 200, &written);
            if (rc != 0) {
                CHECK_EQ(rc, KORVA_ERR_SYSTEM);
                slowest = NowMs() - t0 > slowest ? NowMs() - t0 : slowest;
                ++failures;
            }
            next += written;
        }
        return failures;
    };
    CHECK_EQ(writeUntilRefused(), 2);
    CHECK(slowest < 10000);
    // A socket whose reader stalled may still take a little now and then
    // (the receiving kernel compacts its queue and opens the window): a
    // flush that got everything out is followed by more frames until the
    // line is full again.
    int32_t flushed = KORVA_Flush(h);
    for (int round = 0; round < 3 && flushed == 0; ++round) {
        writeUntilRefused();
        flushed = KORVA_Flush(h);
    }
    CHECK_EQ(flushed, KORVA_ERR_SYSTEM);
    // The line moves again: flushing until it succeeds puts every frame
    // counted on the wire, once and in order.
    CHECK(SimCmd("a", "fault none"));
    int32_t rc = KORVA_ERR_SYSTEM;
    for (int i = 0; i < 30 && rc != 0; ++i) rc = KORVA_Flush(h);
    CHECK_EQ(rc, 0);
    // A status request goes after all frame text (and may wait while the
    // adapter works through it).
    uint32_t flags = 0;
    rc = KORVA_ERR_GENERIC;
    for (int i = 0; i < 20 && rc != 0; ++i) rc = KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags);
    CHECK_EQ(rc, 0);
    CHECK(SimWait("a", "rx F"));
    std::ifstream events(SimEvents("a"));
    uint32_t expected = 0, wrong = 0;
    for (std::string line; std::getline(events, line);) {
        if (line.rfind("rx t", 0) != 0) continue;
        char want[32];
        std::snprintf(want, sizeof want, "rx t2004%08X", expected++);
        if (line != want) ++wrong;
    }
    CHECK_EQ(expected, next);
    CHECK_EQ(wrong, 0);
    Note("[ figures  ] stalled %s: %u frames counted and delivered, failing KORVA_Write %.0f ms", transport.c_str(),
         next, slowest);
    CHECK_EQ(KORVA_Close(h), 0);
}

void Discovery() {
    const std::string name = StartSim("a", "pty", "--serial 4711");
    if (name.empty()) return;
    const double t0 = NowMs();
    int32_t h = Open("4711");
    const double bySerial = NowMs() - t0;
    if (CHECK(h > 0)) {
        HwParam hw{};
        CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, &hw), 0);
        CHECK_EQ(hw.SerialNr, 4711);
        CHECK_EQ(KORVA_Close(h), 0);
    }
    CHECK_EQ(KORVA_Open("4712", 0), KORVA_ERR_NO_DEVICE);
    h = KORVA_ERR_NO_DEVICE;
    for (int i = 0; i < 5 && h == KORVA_ERR_NO_DEVICE; ++i) h = KORVA_Open(nullptr, 0);
    CHECK(h > 0);
    if (h > 0) CHECK_EQ(KORVA_Close(h), 0);
    // Records copied out of discovery carry no mutex of the probe's: each
    // handle opened from it locks its own (winpthreads' mutexes are heap
    // objects, so a copied one would be a destroyed one by now).
    for (int round = 0; round < 2; ++round) {
        h = round == 0 ? Open("4711") : KORVA_ERR_NO_DEVICE;
        for (int i = 0; i < 5 && h == KORVA_ERR_NO_DEVICE; ++i) h = KORVA_Open(nullptr, 0);
        if (!CHECK(h > 0)) break;
        const CanMsg m{0x123, 1, {0x11}, KORVA_FLAG_STANDARD, 0};
        uint32_t written = 0;
        CHECK_EQ(KORVA_Write(h, &m, 1, &written), 0);
        CHECK_EQ(KORVA_Flush(h), 0);
        CHECK_EQ(KORVA_Close(h), 0);
    }
    // The simulator's port under its other names.
    for (const std::string &alias : {"\\\\.\\" + name, "USB-" + name}) {
        h = Open(alias);
        if (CHECK(h > 0)) {
            HwParam hw{};
            KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, &hw);
            CHECK_EQ(hw.HwType, alias[0] == 'U' ? KORVA_HWTYPE_USB : KORVA_HWTYPE_SERIAL);
            CHECK_EQ(KORVA_Close(h), 0);
        }
    }
    Note("[ figures  ] open by serial number through COM port discovery: %.0f ms", bySerial);
}

/* A trace line as the log shows it. */
std::string TraceLine(const char *prefix, const char *unit, int line, const char *message) {
    char where[48];
    std::snprintf(where, sizeof where, "%s[%d]: ", unit, line);
    char head[64];
    std::snprintf(head, sizeof head, "%s%-29s", prefix, where);
    return std::string(head) + message + "\n";
}

std::string ReadFile(const char *path) {
    std::ifstream in(path); // text mode: the log has CRLF line ends on Windows
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The records as this program's compiler lays them out are the library's.
/* CAN FD on an adapter of the fd dialect: "Y2", FD frames of every length
 * code out (standard with bit-rate switch, extended without) and back in
 * the same order with a classic one among them. */
void Fd(const std::string &transport) {
    const std::string name = StartSim("a", transport, "--dialect fd");
    if (name.empty()) return;
    const int32_t h = Open(name);
    if (!CHECK(h > 0)) return;
    CHECK(SimWait("a", "state open O"));
    CHECK_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_DATA_BITRATE, Arg(2)), 0);
    CHECK(SimWait("a", "set dbitrate=Y2") && SimWait("a", "state open O"));
    static const uint8_t kSizes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    std::vector<CanFdMsg> out;
    std::vector<std::string> lines;
    for (int code = 0; code < 16; ++code) {
        const bool ext = code % 2 == 1;
        CanFdMsg m{};
        m.Identifier = ext ? 0x1ABCDE00U + static_cast<uint32_t>(code) : 0x700U + static_cast<uint32_t>(code);
        m.Length = kSizes[code];
        m.Flags = static_cast<uint8_t>((ext ? KORVA_FLAG_EXTENDED : KORVA_FLAG_STANDARD | KORVA_FLAG_BRS) |
                                       KORVA_FLAG_FD);
        char line[160];
        int n = std::snprintf(line, sizeof line, ext ? "D%08X%X" : "b%03X%X", static_cast<unsigned>(m.Identifier),
                              code);
        for (int i = 0; i < m.Length; ++i) {
            m.Data[i] = static_cast<uint8_t>(code * 16 + i);
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X", m.Data[i]);
        }
        out.push_back(m);
        lines.push_back(line);
        if (code == 8) {
            out.push_back(CanFdMsg{0x123, 1, KORVA_FLAG_STANDARD, 0, {0x42}});
            lines.push_back("t123142");
        }
    }
    uint32_t written = 0;
    CHECK_EQ(KORVA_WriteFd(h, out.data(), static_cast<uint32_t>(out.size()), &written), 0);
    CHECK_EQ(written, out.size());
    CHECK_EQ(KORVA_Flush(h), 0);
    for (const std::string &line : lines) CHECK(SimWait("a", "rx " + line));
    for (const std::string &line : lines) CHECK(SimCmd("a", "send " + line));
    std::vector<CanFdMsg> got;
    CanFdMsg buf[16];
    for (const double end = NowMs() + kPatienceMs; got.size() < out.size() && NowMs() < end;) {
        uint32_t n = 0;
        if (KORVA_ReadFd(h, buf, 16, &n) != KORVA_ERR_OK) break;
        got.insert(got.end(), buf, buf + n);
        if (n == 0) Sleep(1);
    }
    if (CHECK_EQ(got.size(), out.size()))
        for (size_t i = 0; i < got.size(); ++i)
            if (!CHECK(std::memcmp(&got[i], &out[i], sizeof got[i]) == 0)) Note("frame %u differs", unsigned(i));
    CHECK_EQ(KORVA_Close(h), 0);
}

static_assert(sizeof(CanFdMsg) == 72 && offsetof(CanFdMsg, Flags) == 5 && offsetof(CanFdMsg, Data) == 8, "CanFdMsg");
static_assert(sizeof(CanMsg) == 16 && offsetof(CanMsg, Length) == 4 && offsetof(CanMsg, Data) == 5 &&
                  offsetof(CanMsg, Flags) == 13 && offsetof(CanMsg, TimeStamp) == 14,
              "CanMsg");
static_assert(sizeof(HwParam) == 8 && offsetof(HwParam, HwType) == 6 && sizeof(ApiVersion) == 3, "HwParam");

/* The records filled no further than their fields, and 32-bit: the eight
 * functions leave their arguments to the caller (cdecl), whatever they
 * return. */
void Interface() {
    uint8_t version[4];
    std::memset(version, 0x5A, sizeof version);
    CHECK_EQ(KORVA_Ioctl(0, KORVA_IOCTL_GET_API_VERSION, version), 0);
    CHECK(version[0] == 1 && version[1] == 6 && version[2] == 0 && version[3] == 0x5A);
#if defined(__i386__)
    CanMsg m{};
    CanFdMsg fd{};
    uint32_t n = 0;
    char err[64];
    const struct {
        const char *name;
        int moved, args;
    } calls[] = {
        {"KORVA_Open", StackMoved(KORVA_Open, {Word("can9"), 0}), 2},
        {"KORVA_Close", StackMoved(KORVA_Close, {999}), 1},
        {"KORVA_Ioctl", StackMoved(KORVA_Ioctl, {0, KORVA_IOCTL_GET_API_VERSION, Word(version)}), 3},
        {"KORVA_Read", StackMoved(KORVA_Read, {999, Word(&m), 1, Word(&n)}), 4},
        {"KORVA_Write", StackMoved(KORVA_Write, {999, Word(&m), 1, Word(&n)}), 4},
        {"KORVA_ReadFd", StackMoved(KORVA_ReadFd, {999, Word(&fd), 1, Word(&n)}), 4},
        {"KORVA_WriteFd", StackMoved(KORVA_WriteFd, {999, Word(&fd), 1, Word(&n)}), 4},
        {"KORVA_Flush", StackMoved(KORVA_Flush, {999}), 1},
        {"KORVA_SetRcvEvent", StackMoved(KORVA_SetRcvEvent, {999, 0}), 2},
        {"KORVA_GetErrorString", StackMoved(KORVA_GetErrorString, {uint32_t(KORVA_ERR_HANDLE), Word(err), 63}), 3},
    };
    for (const auto &c : calls)
        if (!CHECK_EQ(c.moved, -4 * c.args)) Note("%s moved the stack pointer by %d bytes", c.name, c.moved);
#endif
}

void Trace() {
    Interface();
    CHECK_EQ(KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, Arg(KORVA_DEBUG_TO_FILE)), 0);
    // A pointer-sized integer counts by its low 32 bits: a level passed
    // zero-extended, as from an unsigned 32-bit variable, is the same level.
    const uint32_t level = static_cast<uint32_t>(KORVA_DEBUG_LEVEL_SYSTEM);
    CHECK_EQ(KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, reinterpret_cast<void *>(uintptr_t{level})), 0);
    CHECK_EQ(KORVA_Open("can0", 0), KORVA_ERR_NO_DEVICE);
    CHECK_EQ(KORVA_Open("COM199", 0), KORVA_ERR_NO_DEVICE);
    const std::string name = StartSim("a", "pty");
    const int32_t h = Open(name);
    CHECK(h > 0);
    if (h > 0) CHECK_EQ(KORVA_Close(h), 0);
    CHECK_EQ(KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, Arg(0)), 0);
    CHECK_EQ(KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, Arg(KORVA_DEBUG_TO_STDERR)), 0);
    const std::string log = ReadFile("korva_api.log");
    const std::string lines[] = {
        TraceLine("+++ ", "korva_api", 54, "KORVA_Open(can0)"),
        TraceLine("--- ", "sysfuncs_ocera", 110, "/dev/can0: LinCAN devices are served on Linux only"),
        TraceLine("--- ", "korva_api", 73, "no device found at this location"),
        TraceLine("*** ", "sysfuncs_lawicel", 510, "open (2)"), // ERROR_FILE_NOT_FOUND
        TraceLine("+++ ", "korva_api", 141, "KORVA_Close(1)"),
    };
    for (const std::string &line : lines) {
        if (!CHECK(log.find(line) != std::string::npos)) Note("missing trace line: %s", line.c_str());
    }
    if (g_failures) Note("korva_api.log:\n%s", log.c_str());
    char err[64];
    CHECK_EQ(KORVA_GetErrorString(KORVA_ERR_NO_DEVICE, err, sizeof err - 1), 20);
    CHECK(std::strcmp(err, "No device was found.") == 0);
}

void Bench(int count, const std::string &transport) {
    const std::string name = StartSim("a", transport, "--no-log-rx");
    if (name.empty()) return;
    const int32_t h = Open(name);
    if (!CHECK(h > 0)) return;
    const double cpu0 = ProcessCpuSeconds();
    const double t0 = NowMs();
    CHECK(SimCmd("a", "flood " + std::to_string(count)));
    ExpectFlood(h, static_cast<size_t>(count));
    const double ms = NowMs() - t0;
    const double cpu = ProcessCpuSeconds() - cpu0;
    Note("[ figures  ] windows %s receive: %d frames in %.0f ms, %.0f frames/s, %.1f us CPU per frame",
         transport == "tcp" ? "TCP" : "COM port", count, ms, count / (ms / 1000.0), cpu * 1e6 / count);
    CHECK_EQ(KORVA_Close(h), 0);
}

/* count adapters open and quiet: what they cost the process beyond a
 * baseline taken before opening them. */
void Idle(int count, const std::string &transport) {
    constexpr DWORD kMeasureMs = 5000;
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back(StartSim("s" + std::to_string(i), transport, "--no-log-rx"));
        if (names.back().empty()) return;
    }
    double baseWakes = 0, baseCpu = 0;
    MeasureIdle(kMeasureMs, &baseWakes, &baseCpu);
    std::vector<int32_t> handles;
    for (const std::string &name : names) {
        const int32_t h = Open(name);
        if (!CHECK(h > 0)) break;
        handles.push_back(h);
    }
    Sleep(1000); // the open replies are read
    double wakes = 0, cpu = 0;
    MeasureIdle(kMeasureMs, &wakes, &cpu);
    const double t0 = NowMs();
    for (int32_t h : handles) CHECK_EQ(KORVA_Close(h), 0);
    Note("[ figures  ] windows idle %s %d adapters: %.1f wake-ups/s (%.2f per adapter), CPU %.3f ms/s (%.3f per "
         "adapter), beyond a baseline of %.1f wake-ups/s, %.3f ms/s; closed in %.0f ms",
         transport.c_str(), count, wakes - baseWakes, (wakes - baseWakes) / count, cpu - baseCpu,
         (cpu - baseCpu) / count, baseWakes, baseCpu, NowMs() - t0);
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    CatchCrashes();
    const std::string scenario = argc > 1 ? argv[1] : "";
    const std::string transport = argc > 2 ? argv[2] : "pty";
    if (scenario == "traffic") {
        Traffic(transport);
    } else if (scenario == "fd") {
        Fd(transport);
    } else if (scenario == "lost") {
        Lost(transport, true);
        Lost(transport, false);
    } else if (scenario == "reconnect") {
        Reconnect(transport);
    } else if (scenario == "stall") {
        Stall(transport);
    } else if (scenario == "discovery") {
        Discovery();
    } else if (scenario == "trace") {
        Trace();
    } else if (scenario == "bench") {
        Bench(argc > 2 ? std::atoi(argv[2]) : 100000, argc > 3 ? argv[3] : "pty");
    } else if (scenario == "idle") {
        Idle(argc > 2 ? std::atoi(argv[2]) : 1, argc > 3 ? argv[3] : "pty");
    } else {
        std::fprintf(stderr, "usage: test_windows_api traffic|fd|lost|reconnect|stall [pty|tcp] | discovery | trace | bench N [pty|tcp] | idle N [pty|tcp]\n");
        return 2;
    }
    Note("%s %s: %d failed checks", scenario.c_str(), transport.c_str(), g_failures);
    return ExitStatus();
}
