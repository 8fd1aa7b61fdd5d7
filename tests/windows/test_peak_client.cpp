// test_peak_client.exe - a program written for PEAK's "Lite" CAN interface,
// run on korva_mapper_peak.dll and korva_api.dll against simulated adapters
// on a COM port and over TCP.
//
//   test_peak_client SCENARIO [pty|tcp] [N]
//
// runs under wine64 from the relay (tests/wine), which starts the
// simulators it asks for (see peer.h).  It writes korva.ini into its working
// directory for each case.  This source builds two programs, as such
// programs are written: test_peak_client.exe loads the mapper at run time
// by path; test_peak_linked.exe (PEAK_LINKED) links it through its import
// library and runs the traffic scenario only.  Scenarios:
//   traffic   each function removes its arguments (32-bit: the standard
//             calling convention), CAN_Init's commands on the wire,
//             CAN_Write of each MsgType under both frame types,
//             CAN_Read/CAN_ReadEx of every frame kind with time stamps,
//             packed records, filter ranges, CAN_ResetClient, a second
//             CAN_Init, the version texts, the export table, CAN_Close twice
//   notify    the receive event with a consumer slower than the poll, and
//             unloading the mapper while its notification thread runs
//   config    two copies of the mapper (Second.DLL) on two adapters, the
//             debug values, no korva.ini
//   load      a missing korva_api.dll and one that lacks a function: the
//             load fails, in child processes that cannot hang the test
//   quiet     CAN_Init on an adapter of the quiet dialect (slcan firmware
//             that answers no command): the registers as a speed code,
//             frames both ways with korva's own time stamps
//   unload    FreeLibrary right after CAN_Init on a quiet and on a full
//             adapter returns (within 10 s), three times each: the times
//   bench     N flooded frames (default 10 000) by a polling client and by
//             an event-driven one: frames/s
//   rtt       N round trips (default 1000): CAN_Write, wait on the event,
//             CAN_Read the answer the adapter sends at once: median, p99
// The exit status is the number of failed checks (0: passed).
#include "korva_api.h"
#include "peak_cases.h"
#include "peer.h"

#include <tlhelp32.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using namespace korva_wintest;

namespace {

/* ---- the interface as a program written for it declares it ------------- */

// One frame: 16 bytes with the padding of natural alignment.
struct Msg {
    uint32_t Id;      // 11- or 29-bit identifier
    uint8_t MsgType;  // 0x01 remote request, 0x02 extended identifier
    uint8_t Len;      // data length code
    uint8_t Data[8];  // data bytes
};
static_assert(sizeof(Msg) == 16, "the record of the interface");

// The same record as C# and Delphi wrappers may declare it: 14 bytes.
struct __attribute__((packed)) PackedMsg {
    uint32_t Id;
    uint8_t MsgType;
    uint8_t Len;
    uint8_t Data[8];
};
static_assert(sizeof(PackedMsg) == 14, "the packed record");

// A packed record with two bytes of someone else's after it.
struct PackedBuf {
    alignas(4) uint8_t Bytes[sizeof(PackedMsg) + 2];
    explicit PackedBuf(uint8_t fill) { std::memset(Bytes, fill, sizeof Bytes); }
    Msg *Get() { return reinterpret_cast<Msg *>(Bytes); }
    PackedMsg Value() const {
        PackedMsg m;
        std::memcpy(&m, Bytes, sizeof m);
        return m;
    }
    bool After(uint8_t fill) const { return Bytes[14] == fill && Bytes[15] == fill; }
};

struct Stamp {
    uint32_t Millis; // the frame's time stamp
    uint32_t Rest;   // zero
};

// What GetExitCodeProcess reports for a program whose DLLs failed to load.
constexpr DWORD kDllInitFailed = 0xC0000142;

constexpr uint32_t kOk = 0x0000, kSendFailed = 0x0010, kRxEmpty = 0x0020, kInitFailed = 0x1400;

#ifdef PEAK_LINKED
extern "C" {
__declspec(dllimport) uint32_t WINAPI CAN_Init(uint32_t btr0btr1, int32_t frameType);
__declspec(dllimport) uint32_t WINAPI CAN_Close();
__declspec(dllimport) uint32_t WINAPI CAN_Status();
__declspec(dllimport) uint32_t WINAPI CAN_Write(Msg *msg);
__declspec(dllimport) uint32_t WINAPI CAN_Read(Msg *msg);
__declspec(dllimport) uint32_t WINAPI CAN_ReadEx(Msg *msg, Stamp *stamp);
__declspec(dllimport) uint32_t WINAPI CAN_SetRcvEvent(HANDLE event);
__declspec(dllimport) uint32_t WINAPI CAN_VersionInfo(char *text);
__declspec(dllimport) uint32_t WINAPI CAN_DLLVersionInfo(char *text);
__declspec(dllimport) uint32_t WINAPI CAN_ResetClient();
__declspec(dllimport) uint32_t WINAPI CAN_MsgFilter(uint32_t first, uint32_t last, int32_t frameType);
__declspec(dllimport) uint32_t WINAPI CAN_ResetFilter();
__declspec(dllimport) uint32_t WINAPI SetUSBDeviceNr(uint32_t value);
__declspec(dllimport) uint32_t WINAPI GetUSBDeviceNr(uint32_t *value);
}
#endif

// The functions of one loaded mapper.
struct Peak {
    HMODULE Module = nullptr;
    uint32_t(WINAPI *Init)(uint32_t, int32_t);
    uint32_t(WINAPI *Close)();
    uint32_t(WINAPI *Status)();
    uint32_t(WINAPI *Write)(Msg *);
    uint32_t(WINAPI *Read)(Msg *);
    uint32_t(WINAPI *ReadEx)(Msg *, Stamp *);
    uint32_t(WINAPI *SetRcvEvent)(HANDLE);
    uint32_t(WINAPI *VersionInfo)(char *);
    uint32_t(WINAPI *DLLVersionInfo)(char *);
    uint32_t(WINAPI *ResetClient)();
    uint32_t(WINAPI *MsgFilter)(uint32_t, uint32_t, int32_t);
    uint32_t(WINAPI *ResetFilter)();
    uint32_t(WINAPI *SetUSBDeviceNr)(uint32_t);
    uint32_t(WINAPI *GetUSBDeviceNr)(uint32_t *);
};

// The export table's names in ordinal order, from ordinal 1.
const char *const kExports[] = {
    "DllMain", "CAN_Init", "CAN_Close", "CAN_Status", "CAN_Write", "CAN_Read", "CAN_ReadEx", "CAN_SetRcvEvent",
    "CAN_VersionInfo", "CAN_DLLVersionInfo", "CAN_ResetClient", "CAN_MsgFilter", "CAN_ResetFilter",
    "SetUSBDeviceNr", "GetUSBDeviceNr", "CAN2_Close", "CAN2_DLLVersionInfo", "CAN2_Init", "CAN2_MsgFilter",
    "CAN2_Read", "CAN2_ReadEx", "CAN2_ResetClient", "CAN2_ResetFilter", "CAN2_SetRcvEvent", "CAN2_Status",
    "CAN2_VersionInfo", "CAN2_Write"};

template <typename F> bool Bind(HMODULE module, const char *name, F *f) {
    *f = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return *f != nullptr;
}

bool BindAll(HMODULE module, Peak *p) {
    p->Module = module;
    bool ok = true;
    ok &= Bind(module, "CAN_Init", &p->Init);
    ok &= Bind(module, "CAN_Close", &p->Close);
    ok &= Bind(module, "CAN_Status", &p->Status);
    ok &= Bind(module, "CAN_Write", &p->Write);
    ok &= Bind(module, "CAN_Read", &p->Read);
    ok &= Bind(module, "CAN_ReadEx", &p->ReadEx);
    ok &= Bind(module, "CAN_SetRcvEvent", &p->SetRcvEvent);
    ok &= Bind(module, "CAN_VersionInfo", &p->VersionInfo);
    ok &= Bind(module, "CAN_DLLVersionInfo", &p->DLLVersionInfo);
    ok &= Bind(module, "CAN_ResetClient", &p->ResetClient);
    ok &= Bind(module, "CAN_MsgFilter", &p->MsgFilter);
    ok &= Bind(module, "CAN_ResetFilter", &p->ResetFilter);
    ok &= Bind(module, "SetUSBDeviceNr", &p->SetUSBDeviceNr);
    ok &= Bind(module, "GetUSBDeviceNr", &p->GetUSBDeviceNr);
    return ok;
}

// The directory of this program, with its trailing backslash.
std::string ProgramDir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.rfind('\\') + 1);
}

// Loads a mapper by its full path.  Module stays null after a failure.
Peak LoadMapper(const std::string &path) {
    Peak p{};
    HMODULE module = LoadLibraryA(path.c_str());
    if (!CHECK(module != nullptr)) {
        Note("LoadLibraryA(%s): error %lu", path.c_str(), GetLastError());
        return p;
    }
    if (!CHECK(BindAll(module, &p))) p.Module = nullptr;
    return p;
}

// The mapper this program uses: linked, or loaded from beside the program.
Peak Mapper() {
#ifdef PEAK_LINKED
    Peak p{GetModuleHandleA("korva_mapper_peak.dll"), CAN_Init, CAN_Close, CAN_Status, CAN_Write, CAN_Read,
           CAN_ReadEx, CAN_SetRcvEvent, CAN_VersionInfo, CAN_DLLVersionInfo, CAN_ResetClient, CAN_MsgFilter,
           CAN_ResetFilter, SetUSBDeviceNr, GetUSBDeviceNr};
    CHECK(p.Module != nullptr);
    return p;
#else
    return LoadMapper(ProgramDir() + "korva_mapper_peak.dll");
#endif
}

/* ---- helpers ------------------------------------------------------------- */

constexpr double kPatienceMs = 20000; // generous: a busy machine, wine

bool WaitUntil(const std::function<bool()> &done, double patienceMs = kPatienceMs) {
    for (const double end = NowMs() + patienceMs; NowMs() < end; Sleep(1))
        if (done()) return true;
    return done();
}

// korva.ini in the working directory, with the line ends of Windows.
void WriteIni(const std::string &text) {
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::ofstream("korva.ini", std::ios::binary | std::ios::trunc) << crlf;
}

std::string ReadFile(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Opening is not what most cases are about: on a loaded machine an
// adapter's reply can come too late, so CAN_Init is tried again.
uint32_t Init(const Peak &p, uint32_t btr, int32_t type) {
    uint32_t rc = kInitFailed;
    for (int i = 0; i < 5 && rc == kInitFailed; ++i) {
#if defined(__i386__)
        // Each CAN_Init, which does the most, removes its two arguments.
        CHECK_EQ(StackMoved(p.Init, {btr, static_cast<uint32_t>(type)}, &rc), 0);
#else
        rc = p.Init(btr, type);
#endif
    }
    return rc;
}

Msg Frame(uint32_t id, uint8_t type, std::initializer_list<uint8_t> data) {
    Msg m{};
    m.Id = id;
    m.MsgType = type;
    m.Len = static_cast<uint8_t>(data.size());
    std::memcpy(m.Data, data.begin(), data.size());
    return m;
}

// Polls CAN_ReadEx (bounded) until it delivers a frame.
bool ReadOne(const Peak &p, Msg *m, Stamp *t = nullptr) {
    return WaitUntil([&] { return p.ReadEx(m, t) == kOk; });
}

// The identifiers delivered up to and including the sentinel.
std::vector<uint32_t> ReadUntil(const Peak &p, uint32_t sentinel) {
    std::vector<uint32_t> ids;
    Msg m{};
    while (ReadOne(p, &m)) {
        ids.push_back(m.Id);
        if (m.Id == sentinel) break;
    }
    return ids;
}

void Send(std::initializer_list<const char *> frames, const char *sim = "a") {
    for (const char *f : frames) CHECK(SimCmd(sim, std::string("send ") + f));
}

// The sequence number of a flooded frame (identifier 0x100, the number as
// 32-bit big endian, then its complement), or -1 for a frame that is not.
int64_t FloodSeq(const Msg &m) {
    uint32_t seq = 0;
    bool whole = m.Id == 0x100 && m.MsgType == 0 && m.Len == 8;
    for (int i = 0; i < 4; ++i) {
        seq = seq << 8 | m.Data[i];
        whole = whole && m.Data[4 + i] == static_cast<uint8_t>(~m.Data[i]);
    }
    return whole ? seq : -1;
}

// Waits (bounded) for the event that the notification thread sets.
bool WaitEvent(HANDLE event) { return WaitForSingleObject(event, 20000) == WAIT_OBJECT_0; }

// Turns korva_api's trace off again: the mapper only ever switches it on.
void TraceOff() {
    using Ioctl = int32_t(KORVA_CALL *)(int32_t, uint32_t, void *);
    Ioctl ioctl = nullptr;
    if (!CHECK(Bind(GetModuleHandleA("korva_api.dll"), "KORVA_Ioctl", &ioctl))) return;
    ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(0));
    ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(KORVA_DEBUG_TO_STDERR));
}

// The threads of this process.
int ThreadCount() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    int n = 0;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
        if (t.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    CloseHandle(snap);
    return n;
}

std::string Version(const Peak &p) {
    char text[MAX_PATH + 200];
    CHECK_EQ(p.VersionInfo(text), kOk);
    return text;
}

/* ---- traffic ------------------------------------------------------------- */

// Every name of the export table resolves, by name and by ordinal, to the
// function of the name it is bound to.
void CheckExportTable(HMODULE module) {
    for (size_t i = 0; i < sizeof kExports / sizeof *kExports; ++i) {
        const char *name = kExports[i];
        FARPROC byName = GetProcAddress(module, name);
        FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(i + 1));
        if (!CHECK(byName != nullptr && byName == byOrdinal)) Note("export %s at ordinal %u", name, unsigned(i + 1));
        std::string bound = name;
        if (bound.rfind("CAN2_", 0) == 0) bound = "CAN_" + bound.substr(5);
        if (bound == "GetUSBDeviceNr") bound = "SetUSBDeviceNr";
        if (!CHECK(byName == GetProcAddress(module, bound.c_str()))) Note("%s is not %s", name, bound.c_str());
    }
}

// 32-bit: every other function of the interface removes its own
// arguments too, as the standard-call declarations promise; called before
// CAN_Init, where each only answers.
void CheckStackCleanup(const Peak &p) {
#if defined(__i386__)
    Msg m{};
    Stamp t{};
    char text[MAX_PATH + 200];
    uint32_t device = 0;
    const struct {
        const char *name;
        int moved;
    } calls[] = {
        {"CAN_Status", StackMoved(p.Status, {})},
        {"CAN_Write", StackMoved(p.Write, {Word(&m)})},
        {"CAN_Read", StackMoved(p.Read, {Word(&m)})},
        {"CAN_ReadEx", StackMoved(p.ReadEx, {Word(&m), Word(&t)})},
        {"CAN_SetRcvEvent", StackMoved(p.SetRcvEvent, {0})},
        {"CAN_VersionInfo", StackMoved(p.VersionInfo, {Word(text)})},
        {"CAN_DLLVersionInfo", StackMoved(p.DLLVersionInfo, {Word(text)})},
        {"CAN_ResetClient", StackMoved(p.ResetClient, {})},
        {"CAN_MsgFilter", StackMoved(p.MsgFilter, {0x100, 0x1FF, 0})},
        {"CAN_ResetFilter", StackMoved(p.ResetFilter, {})},
        {"SetUSBDeviceNr", StackMoved(p.SetUSBDeviceNr, {3})},
        {"GetUSBDeviceNr", StackMoved(p.GetUSBDeviceNr, {Word(&device)})},
        {"CAN_Close", StackMoved(p.Close, {})},
    };
    for (const auto &c : calls)
        if (!CHECK_EQ(c.moved, 0)) Note("%s moved the stack pointer by %d bytes", c.name, c.moved);
#else
    (void)p;
#endif
}

// Writes each MsgType from a packed record; the padding that the record
// lacks is never read (the bytes after it say "not a frame").
void WriteEach(const Peak &p, bool extended) {
    for (const peak_cases::WriteCase &w : peak_cases::kWrites) {
        PackedBuf buf(0xEE);
        const Msg m = Frame(w.id, w.type, {0xAA, 0xBB});
        std::memcpy(buf.Bytes, &m, sizeof(PackedMsg));
        CHECK_EQ(p.Write(buf.Get()), kOk);
        const char *line = extended ? w.extended : w.standard;
        if (!CHECK(SimWait("a", line))) Note("missing on the wire: %s", line);
    }
}

void Traffic(const std::string &transport) {
    const std::string name = StartSim("a", transport);
    if (name.empty()) return;
    const Peak p = Mapper();
    if (!p.Module) return;
    CheckExportTable(p.Module);
    CheckStackCleanup(p);

    // Before any CAN_Init there is no channel.
    Msg m = Frame(0x123, 0, {1});
    CHECK_EQ(p.Write(&m), kSendFailed);
    CHECK_EQ(p.Read(&m), kRxEmpty);

    // Section and key names in any case.
    WriteIni("; the bench adapter\n[KORVA_Mapper_Peak.DLL]\nPORT = " + name + "\ndebug = no\nReconnect = yes\n");
    CHECK_EQ(Init(p, 0x031C, 0), kOk);
    CHECK(SimWait("a", "rx s031C")); // BTR0 from the high byte, BTR1 from the low one
    CHECK(SimWait("a", "rx Z1"));
    CHECK(SimWait("a", "state open O"));
    WriteEach(p, false);

    // Every frame kind, with and without the adapter's time stamp.
    for (const peak_cases::ReadCase &r : peak_cases::kReads) CHECK(SimCmd("a", std::string("send ") + r.line));
    for (const peak_cases::ReadCase &r : peak_cases::kReads) {
        // Into packed records, CAN_Read (no stamp) for the last.
        PackedBuf buf(0x5A);
        Stamp t;
        std::memset(&t, 0x5A, sizeof t);
        const bool last = &r == std::end(peak_cases::kReads) - 1;
        if (!CHECK(last ? WaitUntil([&] { return p.Read(buf.Get()) == kOk; }) : ReadOne(p, buf.Get(), &t))) break;
        const PackedMsg got = buf.Value();
        CHECK_EQ(got.Id, r.id);
        CHECK_EQ(got.MsgType, r.type);
        CHECK_EQ(got.Len, r.len);
        CHECK_EQ(got.Data[0], r.data0);
        CHECK(buf.After(0x5A)); // nothing written past 14 bytes
        if (!last) {
            CHECK_EQ(t.Millis, r.stamp);
            CHECK_EQ(t.Rest, 0);
        }
    }
    // No frame: the record is cleared, the time stamp left alone.
    Stamp t{77, 77};
    std::memset(&m, 0x5A, sizeof m);
    CHECK_EQ(p.ReadEx(&m, &t), kRxEmpty);
    CHECK(m.Id == 0 && m.MsgType == 0 && m.Len == 0 && m.Data[0] == 0 && m.Data[7] == 0);
    CHECK(t.Millis == 77 && t.Rest == 77);

    // The identifier ranges.  None set: identifier 0 is withheld.
    Send({"000#01", "00000000#01", "001#01", "00000001#01", "7FF#01"});
    using Ids = std::vector<uint32_t>;
    CHECK(ReadUntil(p, 0x7FF) == (Ids{0x001, 0x001, 0x7FF}));
    CHECK_EQ(p.MsgFilter(0x100, 0x1FF, 0), kOk);
    Send({"0FF#01", "100#01", "1FF#01", "200#01", "00000150#01", "00000000#01", "7FF#01"});
    CHECK(ReadUntil(p, 0x7FF) == (Ids{0x0FF, 0x200, 0x150, 0x7FF}));
    CHECK_EQ(p.MsgFilter(0x300, 0x30F, 1), kOk); // any type but 2: the standard range
    Send({"0FF#01", "2FF#01", "30F#01", "310#01", "7FF#01"});
    CHECK(ReadUntil(p, 0x7FF) == (Ids{0x0FF, 0x310, 0x7FF}));
    CHECK_EQ(p.ResetFilter(), kOk);
    p.MsgFilter(0, 0x10, 0); // a low bound of 0 counts as unset
    p.MsgFilter(0x20, 0x30, 0);
    p.MsgFilter(0x1000, 0x2000, 2);
    Send({"005#01", "020#01", "031#01", "00001500#01", "00002001#01", "500#01", "7FF#01"});
    CHECK(ReadUntil(p, 0x7FF) == (Ids{0x005, 0x031, 0x2001, 0x500, 0x7FF}));
    p.ResetFilter();

    // CAN_ResetClient sends what was written and keeps what was received.
    CHECK(SimCmd("a", "raw t1001AA\\rt1011BB\\r"));
    CHECK(ReadOne(p, &m) && m.Id == 0x100);
    Msg out = Frame(0x321, 0, {0x01});
    CHECK_EQ(p.Write(&out), kOk);
    CHECK_EQ(p.ResetClient(), kOk);
    CHECK(SimWait("a", "rx t321101"));
    CHECK(ReadOne(p, &m) && m.Id == 0x101);

    // A second CAN_Init without CAN_Close: the first channel is closed, so
    // no reader of its own takes frames away from the new one.
    CHECK_EQ(Init(p, 0x0014, 1), kOk);
    CHECK(SimWait("a", "rx s0014"));
    CHECK(SimWait("a", "state open O"));
    WriteEach(p, true);
    CHECK(SimCmd("a", "flood 2000"));
    uint32_t next = 0;
    while (next < 2000 && ReadOne(p, &m) && FloodSeq(m) == next) ++next;
    CHECK_EQ(next, 2000);

    // Reconnect = yes: the adapter unplugged and plugged in again gets
    // CAN_Init's settings again; meanwhile writes fail and reads find nothing.
    SimMark("a");
    CHECK(SimCmd("a", "unplug"));
    Msg during = Frame(0x222, 0, {0x01});
    CHECK(WaitUntil([&] { return p.Write(&during) == kSendFailed; }));
    CHECK_EQ(p.Read(&m), kRxEmpty);
    CHECK(SimCmd("a", "plug"));
    CHECK(SimWait("a", "rx s0014"));
    CHECK(SimWait("a", "state open O"));
    Send({"7FF#01"});
    CHECK(ReadOne(p, &m) && m.Id == 0x7FF);

    // The functions that only answer.
    CHECK_EQ(p.Status(), kOk);
    const std::string version = Version(p);
    CHECK(version.rfind("korva_mapper_peak.dll Mapper\n", 0) == 0 && version.size() > 29);
    char number[8];
    std::memset(number, 0x5A, sizeof number);
    CHECK_EQ(p.DLLVersionInfo(number), kOk);
    CHECK(std::memcmp(number, "2.03\0\x5A", 6) == 0); // exactly five bytes
    uint32_t device = 4711;
    CHECK_EQ(p.SetUSBDeviceNr(3), kOk);
    CHECK_EQ(p.GetUSBDeviceNr(&device), kOk);
    CHECK_EQ(device, 4711);

    // CAN_Close twice: the second does nothing.
    SimMark("a");
    CHECK_EQ(p.Close(), kOk);
    CHECK(SimWait("a", "rx C"));
    CHECK_EQ(p.Close(), kOk);
    CHECK_EQ(p.Write(&out), kSendFailed);
    CHECK_EQ(p.Read(&m), kRxEmpty);
}

/* ---- quiet ---------------------------------------------------------------- */

void Quiet(const std::string &transport) {
    const std::string name = StartSim("a", transport, "--dialect quiet");
    if (name.empty()) return;
    const Peak p = Mapper();
    if (!p.Module) return;
    WriteIni("[korva_mapper_peak.dll]\nPort = " + name + "\n");
    // 500 kbit/s: sent as the speed code, the time stamps are korva's.
    CHECK_EQ(Init(p, 0x001C, 0), kOk);
    CHECK(SimWait("a", "set bitrate=S6"));
    CHECK(SimWait("a", "state open O"));
    Msg out = Frame(0x321, 0, {0x01, 0x02});
    CHECK_EQ(p.Write(&out), kOk);
    CHECK(SimWait("a", "rx t32120102"));
    CHECK(SimCmd("a", "send 123#AABB"));
    CHECK(SimCmd("a", "send 12345678#01"));
    Msg m;
    Stamp first{}, second{};
    if (CHECK(ReadOne(p, &m, &first))) CHECK(m.Id == 0x123 && m.MsgType == 0 && m.Len == 2 && m.Data[1] == 0xBB);
    if (CHECK(ReadOne(p, &m, &second))) CHECK(m.Id == 0x12345678 && m.MsgType == 2);
    CHECK(first.Millis < 60000 && second.Millis < 60000 && first.Rest == 0);
    CHECK((second.Millis + 60000 - first.Millis) % 60000 < 10000); // the same clock, in order
    CHECK_EQ(p.Close(), kOk);

    // Registers of no speed code cannot be set: CAN_Init fails, and the
    // adapter was left alone.
    SimMark("a");
    CHECK_EQ(p.Init(0x0123, 0), kInitFailed);
    CHECK_EQ(p.Close(), kOk);
    CHECK(SimWait("a", "state closed"));
    // "C" at each open, before "S6" and at each close: no exchange for it.
    CHECK_EQ(SimCount("a", "rx C"), 5);
    CHECK_EQ(SimCount("a", "set bitrate=S6"), 1);
}

/* ---- notify -------------------------------------------------------------- */

// Unloads a mapper on a thread of its own, so that a hang is reported
// instead of stopping the test.
DWORD WINAPI Unload(void *module) { return FreeLibrary(static_cast<HMODULE>(module)) ? 0 : 1; }

bool UnloadWithin(HMODULE module, DWORD ms) {
    HANDLE t = CreateThread(nullptr, 0, Unload, module, 0, nullptr);
    const bool ended = WaitForSingleObject(t, ms) == WAIT_OBJECT_0;
    DWORD rc = 1;
    GetExitCodeThread(t, &rc);
    CloseHandle(t);
    if (!ended) {
        Note("FAIL FreeLibrary of the mapper hangs");
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 99);
    }
    return rc == 0;
}

void Notify(const std::string &transport) {
    const std::string name = StartSim("a", transport);
    if (name.empty()) return;
    WriteIni("[korva_mapper_peak.dll]\nPort = " + name + "\n");
    const int threadsBefore = ThreadCount();
    Peak p = Mapper();
    if (!p.Module) return;
    CHECK_EQ(Init(p, 0x001C, 0), kOk);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CHECK_EQ(p.SetRcvEvent(event), kOk);

    // A consumer slower than the poll at first (one frame per wake-up, then
    // a pause), then one that drains the mapper at each wake-up.
    constexpr uint32_t kFrames = 6000, kSlow = 400;
    CHECK(SimCmd("a", "flood " + std::to_string(kFrames)));
    uint32_t next = 0, wrong = 0;
    Msg m{};
    while (next < kFrames && WaitEvent(event)) {
        while (next < kFrames && p.Read(&m) == kOk) {
            if (FloodSeq(m) != next && wrong++ == 0) Note("frame %u: lost, repeated or out of order", next);
            ++next;
            if (next <= kSlow) {
                Sleep(3);
                break;
            }
        }
    }
    CHECK_EQ(next, kFrames);
    CHECK_EQ(wrong, 0);
    CHECK(SimWait("a", "done flood sent=" + std::to_string(kFrames) + " lost=0"));
    Sleep(50); // the thread's last pass may have set the event once more
    CHECK_EQ(p.Read(&m), kRxEmpty); // nothing delivered twice
    ResetEvent(event);

    // A frame handed over through the event is delivered inside a range.
    p.MsgFilter(0x100, 0x100, 0);
    Send({"100#0102"});
    CHECK(WaitEvent(event));
    CHECK(p.Read(&m) == kOk && m.Id == 0x100 && m.Data[1] == 0x02);
    p.ResetFilter();

    // Unloading with an open channel and a running notification thread:
    // the thread of the flood above, and one started just before the
    // unload (which may not have come to its loop yet).
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            p = Mapper();
            if (!p.Module) return;
            CHECK_EQ(Init(p, 0x001C, 0), kOk);
            CHECK_EQ(p.SetRcvEvent(event), kOk);
        }
        SimMark("a");
        CHECK(UnloadWithin(p.Module, 30000));
        CHECK(SimWait("a", "rx C")); // the channel is closed
        // Nothing of the mapper or korva_api runs on: their threads end,
        // and korva_api.dll is unloaded once its reader has ended.
        CHECK(WaitUntil([&] { return ThreadCount() <= threadsBefore; }));
        CHECK(WaitUntil([] { return GetModuleHandleA("korva_api.dll") == nullptr; }));
    }
    CloseHandle(event);
}

/* ---- unload -------------------------------------------------------------- */

// FreeLibrary right after CAN_Init, on an adapter that answers no command
// (nothing wakes the reader's pending read but its cancellation) and on a
// full one: the unload returns, and how long it took is reported.
void UnloadAfterInit(const std::string &transport) {
    const std::string quiet = StartSim("a", transport, "--dialect quiet");
    const std::string full = StartSim("b", transport);
    if (quiet.empty() || full.empty()) return;
    for (const std::string &name : {quiet, full}) {
        std::string times;
        for (int round = 0; round < 3; ++round) {
            WriteIni("[korva_mapper_peak.dll]\nPort = " + name + "\n");
            const Peak p = Mapper();
            if (!p.Module || !CHECK_EQ(Init(p, 0x001C, 0), kOk)) return;
            const double t0 = NowMs();
            CHECK(UnloadWithin(p.Module, 10000));
            char ms[16];
            std::snprintf(ms, sizeof ms, " %.0f", NowMs() - t0);
            times += ms;
        }
        Note("[ figures  ] unload after CAN_Init, %s adapter on %s: ms%s", name == quiet ? "quiet" : "full",
             transport.c_str(), times.c_str());
    }
}

/* ---- config -------------------------------------------------------------- */

void Config() {
    const std::string com = StartSim("a", "pty");
    const std::string tcp = StartSim("b", "tcp");
    if (com.empty() || tcp.empty()) return;
    const Peak first = Mapper();
    if (!first.Module) return;

    // A copy of the mapper named Second.DLL reads its own section, whatever
    // the header's case: two adapters at once.
    const std::string dir = "C:\\peak-second";
    CreateDirectoryA(dir.c_str(), nullptr);
    CHECK(CopyFileA((ProgramDir() + "korva_mapper_peak.dll").c_str(), (dir + "\\Second.DLL").c_str(), FALSE));
    const Peak second = LoadMapper(dir + "\\Second.DLL");
    if (!second.Module) return;
    CHECK(Version(first).rfind("korva_mapper_peak.dll Mapper\n", 0) == 0);
    CHECK(Version(second).rfind("Second.DLL Mapper\n", 0) == 0);
    WriteIni("[korva_mapper_peak.dll]\nPort = " + tcp + "\n[SECOND.dll]\nPort = " + com + "\n");
    CHECK_EQ(Init(first, 0x001C, 0), kOk);
    CHECK_EQ(Init(second, 0x001C, 1), kOk);
    CHECK(SimWait("b", "state open O") && SimWait("a", "state open O"));
    Msg m = Frame(0x201, 0, {1});
    CHECK_EQ(first.Write(&m), kOk);
    CHECK_EQ(second.Write(&m), kOk);
    CHECK(SimWait("b", "rx t201101"));
    CHECK(SimWait("a", "rx T00000201101"));
    Send({"301#01"}, "b");
    Send({"302#02"}, "a");
    CHECK(ReadOne(first, &m) && m.Id == 0x301);
    CHECK(ReadOne(second, &m) && m.Id == 0x302);
    CHECK_EQ(second.Close(), kOk);
    CHECK(FreeLibrary(second.Module));

    // debug: on for a value beginning with y, Y, t, T or 1.  The log starts
    // anew at each CAN_Init that turns the trace on; a file that keeps its
    // marker was not touched.
    for (const char *value : {"Yes", "y", "true", "T", "1", "no", "0", "false", "on", ""}) {
        const bool on = value[0] && std::strchr("yYtT1", value[0]);
        std::ofstream("korva_api.log", std::ios::binary | std::ios::trunc) << "marker\n";
        WriteIni("[korva_mapper_peak.dll]\nPort = " + tcp + "\ndebug = " + value + "\n");
        CHECK_EQ(Init(first, 0x001C, 0), kOk);
        CHECK_EQ(first.Close(), kOk);
        TraceOff();
        const std::string log = ReadFile("korva_api.log");
        const bool traced = log.find("KORVA_Open(" + tcp + ")") != std::string::npos;
        if (!CHECK(traced == on && (log == "marker\n") == !on)) Note("debug = %s: korva_api.log:\n%s", value, log.c_str());
    }

    // No korva.ini: the first adapter found, the only COM port there is.
    CHECK(DeleteFileA("korva.ini"));
    SimMark("a");
    CHECK_EQ(Init(first, 0x001C, 0), kOk);
    CHECK(SimWait("a", "state open O"));
    CHECK_EQ(first.Close(), kOk);
}

/* ---- load ---------------------------------------------------------------- */

// Child: loads the mapper from the directory the program runs in.  A
// message box is looked for and closed, so that no load can wait for a
// user.  Prints what happened; exit status 0 when the outcome is expected.
volatile LONG BoxSeen = 0, BoxWatch = 1;

DWORD WINAPI CloseMessageBoxes(void *) {
    while (BoxWatch) {
        if (HWND box = FindWindowA(nullptr, "Error")) {
            InterlockedExchange(&BoxSeen, 1);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
        Sleep(5);
    }
    return 0;
}

int LoadChild(const std::string &expect) {
    HANDLE watcher = CreateThread(nullptr, 0, CloseMessageBoxes, nullptr, 0, nullptr);
    SetLastError(0);
    HMODULE module = LoadLibraryA((ProgramDir() + "korva_mapper_peak.dll").c_str());
    const DWORD error = GetLastError();
    Note("load %s: module %s, error %lu, message box %s", expect.c_str(), module ? "loaded" : "refused", error,
         BoxSeen ? "closed" : "not seen");
    // Ended by asking: a thread ended by force inside user32 could leave a
    // lock held that the process's exit then waits for.
    InterlockedExchange(&BoxWatch, 0);
    WaitForSingleObject(watcher, 5000);
    CloseHandle(watcher);
    if (expect == "ok") return module != nullptr ? 0 : 1;
    // ERROR_DLL_INIT_FAILED: the mapper's attach refused the load.
    return module == nullptr && error == ERROR_DLL_INIT_FAILED ? 0 : 1;
}

// Runs a program in dir with its working directory there, within a bound;
// its exit status, or -1 when it had to be ended.
int64_t RunIn(const std::string &dir, const std::string &program, const std::string &args) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul; // the relay's answers are this program's
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    std::string command = "\"" + dir + "\\" + program + "\" " + args;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(), &si, &pi)) {
        Note("CreateProcessA(%s): error %lu", command.c_str(), GetLastError());
        CloseHandle(nul);
        return -2;
    }
    int64_t status = -1;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        status = code;
    } else {
        TerminateProcess(pi.hProcess, 1);
        Note("%s %s did not end", program.c_str(), args.c_str());
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(nul);
    return status;
}

// A directory of its own holding the programs, the mapper and, when api is
// given, that file as korva_api.dll.
std::string Layout(const std::string &name, const char *api) {
    const std::string bin = ProgramDir(), dir = "C:\\" + name;
    CreateDirectoryA(dir.c_str(), nullptr);
    DeleteFileA((dir + "\\korva_api.dll").c_str());
    for (const char *f : {"test_peak_client.exe", "test_peak_linked.exe", "korva_mapper_peak.dll"})
        CHECK(CopyFileA((bin + f).c_str(), (dir + "\\" + f).c_str(), FALSE));
    if (api) CHECK(CopyFileA((bin + api).c_str(), (dir + "\\korva_api.dll").c_str(), FALSE));
    return dir;
}

void Load() {
    // The mapper loads beside korva_api.dll (the layout works) ...
    std::string dir = Layout("peak-full", "korva_api.dll");
    CHECK_EQ(RunIn(dir, "test_peak_client.exe", "loadchild ok"), 0);
    CHECK_EQ(RunIn(dir, "test_peak_linked.exe", "start"), 0);
    // ... and refuses to load without it: a program linked to it does not
    // start ...
    dir = Layout("peak-nolib", nullptr);
    CHECK_EQ(RunIn(dir, "test_peak_client.exe", "loadchild fail"), 0);
    CHECK_EQ(RunIn(dir, "test_peak_linked.exe", "start"), kDllInitFailed);
    // ... or with one that lacks one of the six functions.
    dir = Layout("peak-lacking", "korva_lacking_api.dll");
    CHECK_EQ(RunIn(dir, "test_peak_client.exe", "loadchild fail"), 0);
}

/* ---- bench --------------------------------------------------------------- */

// Receives count flooded frames; false unless all came whole and in order.
bool Receive(const Peak &p, uint32_t count, HANDLE event) {
    uint32_t next = 0;
    Msg m{};
    const double end = NowMs() + 60000;
    while (next < count && NowMs() < end) {
        if (event) {
            if (!WaitEvent(event)) break;
        }
        bool got = false;
        while (next < count && p.Read(&m) == kOk) {
            if (FloodSeq(m) != next) return CHECK_EQ(FloodSeq(m), next);
            ++next;
            got = true;
        }
        if (!event && !got) Sleep(1);
    }
    return CHECK_EQ(next, count);
}

void Bench(const std::string &transport, uint32_t count) {
    const std::string name = StartSim("a", transport, "--no-log-rx");
    if (name.empty()) return;
    WriteIni("[korva_mapper_peak.dll]\nPort = " + name + "\n");
    const Peak p = Mapper();
    if (!p.Module || !CHECK_EQ(Init(p, 0x001C, 0), kOk)) return;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (HANDLE e : {HANDLE(nullptr), event}) {
        if (e) CHECK_EQ(p.SetRcvEvent(e), kOk);
        const double t0 = NowMs();
        CHECK(SimCmd("a", "flood " + std::to_string(count)));
        const bool all = Receive(p, count, e);
        const double ms = NowMs() - t0;
        Note("[ figures  ] mapper %s, %s client: %u frames %s in %.0f ms, %.0f frames/s", transport.c_str(),
             e ? "event-driven" : "polling CAN_Read", count, all ? "all in order" : "NOT all", ms,
             count / (ms / 1000.0));
        CHECK(SimWait("a", "done flood"));
    }
    CHECK_EQ(p.Close(), kOk);
    CloseHandle(event);
}

/* Request and answer: CAN_Write one frame, wait on the application's
 * event, CAN_Read the adapter's answer, which it sends at once for every
 * frame it is given; count round trips, median and p99. */
void RoundTrip(const std::string &transport, uint32_t count) {
    const std::string name = StartSim("a", transport, "--no-log-rx");
    if (name.empty()) return;
    WriteIni("[korva_mapper_peak.dll]\nPort = " + name + "\n");
    const Peak p = Mapper();
    if (!p.Module || !CHECK_EQ(Init(p, 0x001C, 0), kOk)) return;
    // Time stamps are on (CAN_Init): the answer carries one.
    CHECK(SimCmd("a", "reply t z\\rt2001AA0000\\r"));
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CHECK_EQ(p.SetRcvEvent(event), kOk);
    std::vector<double> ms;
    Msg out = Frame(0x123, 0, {0x01}), in{};
    for (uint32_t i = 0; i < count; ++i) {
        const double t0 = NowMs();
        if (!CHECK_EQ(p.Write(&out), kOk)) break;
        bool got = false;
        while (!got && WaitEvent(event)) got = p.Read(&in) == kOk;
        if (!CHECK(got && in.Id == 0x200)) break;
        ms.push_back(NowMs() - t0);
    }
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        Note("[ figures  ] mapper round trip %s: %u round trips, median %.3f ms, p99 %.3f ms, max %.3f ms",
             transport.c_str(), static_cast<unsigned>(ms.size()), ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
    }
    CHECK_EQ(p.Close(), kOk);
    CloseHandle(event);
}

/* What the notification thread costs while no frame arrives: the process
 * with the thread running, beyond the same process before it started. */
void Idle(const std::string &transport) {
    constexpr DWORD kMeasureMs = 5000;
    const std::string name = StartSim("a", transport, "--no-log-rx");
    if (name.empty()) return;
    WriteIni("[korva_mapper_peak.dll]\nPort = " + name + "\n");
    const Peak p = Mapper();
    if (!p.Module || !CHECK_EQ(Init(p, 0x001C, 0), kOk)) return;
    Sleep(500);
    double baseWakes = 0, baseCpu = 0, wakes = 0, cpu = 0;
    MeasureIdle(kMeasureMs, &baseWakes, &baseCpu);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CHECK_EQ(p.SetRcvEvent(event), kOk);
    Sleep(500);
    MeasureIdle(kMeasureMs, &wakes, &cpu);
    // Still notified at once after the quiet spell.
    const double t0 = NowMs();
    Send({"123#AA"});
    CHECK(WaitEvent(event));
    const double ms = NowMs() - t0;
    Msg m{};
    CHECK(p.Read(&m) == kOk && m.Id == 0x123);
    Note("[ figures  ] mapper idle %s: notification thread %.1f wake-ups/s, CPU %.3f ms/s (process beyond a "
         "baseline of %.1f wake-ups/s, %.3f ms/s); frame after the quiet spell notified in %.1f ms",
         transport.c_str(), wakes - baseWakes, cpu - baseCpu, baseWakes, baseCpu, ms);
    CHECK_EQ(p.Close(), kOk);
    CloseHandle(event);
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    CatchCrashes();
    const std::string scenario = argc > 1 ? argv[1] : "";
    const std::string arg = argc > 2 ? argv[2] : "pty";
    if (scenario == "start") return 0; // the program could start: its imports loaded
#ifdef PEAK_LINKED
    // The other scenarios load and unload mappers by path.
    const bool byPath = false;
#else
    const bool byPath = true;
#endif
    if (scenario == "traffic") {
        Traffic(arg);
    } else if (byPath && scenario == "quiet") {
        Quiet(arg);
    } else if (byPath && scenario == "notify") {
        Notify(arg);
    } else if (byPath && scenario == "config") {
        Config();
    } else if (byPath && scenario == "load") {
        Load();
    } else if (byPath && scenario == "loadchild") {
        return LoadChild(arg);
    } else if (byPath && scenario == "unload") {
        UnloadAfterInit(arg);
    } else if (byPath && scenario == "rtt") {
        RoundTrip(arg, argc > 3 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 1000);
    } else if (byPath && scenario == "idle") {
        Idle(arg);
    } else if (byPath && scenario == "bench") {
        Bench(arg, argc > 3 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 10000);
    } else {
        std::fprintf(stderr, "usage: test_peak_client traffic|notify|quiet|unload [pty|tcp] | config | load | bench|rtt pty|tcp [N] | idle pty|tcp\n"
                             "       test_peak_linked traffic [pty|tcp]\n");
        return 2;
    }
    Note("%s %s: %d failed checks", scenario.c_str(), arg.c_str(), g_failures);
    return ExitStatus();
}
