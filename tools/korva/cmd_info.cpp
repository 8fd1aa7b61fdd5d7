// cmd_info.cpp - "korva list" and "korva info": which adapters answer, and
// what one adapter reports about itself.
#include "cantext.h"
#include "tool.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace korva_tool {
namespace {

constexpr char kInfoHelp[] = R"(Usage: korva info [options] ADAPTER

Opens ADAPTER listen-only and prints its hardware parameters (kind, the
dialect of a Lawicel adapter, serial number, hardware and software
version), the library version and its status flags, as a number and in
words.  For Lawicel adapters bits 0..7 are the adapter's status byte; bit 16
means frames were lost in the receive buffer, bit 17 that the connection to
the adapter broke.  A quiet adapter (slcan firmware that answers no
command) has no serial number, versions or status byte: they show as 0.
With --data-bitrate RATE it also asks the adapter for that CAN FD data bit
rate and says whether it took it (a quiet adapter is sent the command and
cannot say; its line says "sent").

%s
  korva info %s
  korva info 192.168.1.10:2001
  korva info --data-bitrate 2M %s
)";

struct Found {
    std::string name;
    HwParam hw;
    int32_t dialect;
};

const char *DialectName(int32_t dialect) { return dialect == KORVA_DIALECT_QUIET ? "quiet" : "full"; }

// Opens name quietly (listen-only, no transmission) and reads its hardware
// parameters and dialect.  Returns 0 or the library's error.
int32_t Probe(const std::string &name, HwParam *hw, int32_t *dialect) {
    const int32_t h = KORVA_Open(name.c_str(), KORVA_MODE_LISTEN_ONLY);
    if (h <= 0) return h;
    *hw = HwParam{};
    *dialect = KORVA_DIALECT_FULL;
    int32_t rc = KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, hw);
    if (rc == 0) rc = KORVA_Ioctl(h, KORVA_IOCTL_GET_DIALECT, dialect);
    KORVA_Close(h);
    return rc;
}

void PrintTable(const std::vector<Found> &found) {
    size_t width = 6;
    for (const Found &f : found) width = std::max(width, f.name.size());
    std::printf("%-*s  %-8s %-10s  HW  SW  DIALECT\n", static_cast<int>(width), "DEVICE", "KIND", "SERIAL");
    for (const Found &f : found)
        std::printf("%-*s  %-8s %-10u  %02X  %02X  %s\n", static_cast<int>(width), f.name.c_str(),
                    HwTypeName(f.hw.HwType), static_cast<unsigned>(f.hw.SerialNr), f.hw.HwVersion, f.hw.SwVersion,
                    f.hw.HwType == KORVA_HWTYPE_OCERA ? "-" : DialectName(f.dialect));
    std::fflush(stdout);
}

} // namespace

int CmdList(int argc, char **argv) {
    static const option kLong[] = {{"dir", required_argument, nullptr, 'd'},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"trace", required_argument, nullptr, kOptTrace},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    std::string dir; // the system's own place
    bool verbose = false;
    AdapterConfig config;
    for (int opt; (opt = NextOption("list", argc, argv, ":d:vh", kLong)) != -1;) {
        switch (opt) {
        case 'h': std::printf(kOsListHelp, kTraceOptionHelp); return kExitOk;
        case 'd': dir = optarg; break;
        case 'v': verbose = true; break;
        case kOptTrace:
            if (TakeAdapterOption("list", opt, optarg, &config) != 1) return kExitUsage;
            break;
        default: return kExitUsage;
        }
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    ApplyTrace(config);

    std::vector<std::string> names(argv + optind, argv + argc);
    const bool explicitNames = !names.empty();
    std::string place;
    if (!explicitNames) {
        if (const int status = ListCandidates(dir, &names, &place); status != kExitOk) return status;
    }

    std::vector<Found> found;
    int failures = 0;
    size_t deniedCount = 0;
    std::string denied; // the first device this user may not open
    for (const std::string &name : names) {
        Found f{name, {}, KORVA_DIALECT_FULL};
        if (explicitNames && !CheckAdapterName("list", name)) {
            ++failures;
            continue;
        }
        const int32_t rc = Probe(name, &f.hw, &f.dialect);
        std::string why;
        const bool refused = rc != 0 && DeviceAccessDenied(name, &why);
        if (refused && deniedCount++ == 0) denied = why;
        if (rc == 0) {
            found.push_back(f);
        } else if (explicitNames) {
            if (refused) Complain("list", "cannot open adapter '%s': %s", name.c_str(), why.c_str());
            else Complain("list", "no adapter answers at '%s': %s", name.c_str(), Reason(rc).c_str());
            ++failures;
        } else if (verbose) {
            std::fprintf(stderr, "korva list: %s: %s\n", name.c_str(),
                         refused ? why.c_str() : ("no answer (" + ErrorText(rc) + ")").c_str());
        }
    }
    if (!found.empty()) PrintTable(found);
    if (found.empty() && !explicitNames) {
        // A count as text: Windows compilers check formats by the rules of
        // Microsoft's runtime, which has no %zu.
        Complain("list", "no adapter answered %s (%s device%s probed)%s", place.c_str(),
                 std::to_string(names.size()).c_str(), names.size() == 1 ? "" : "s",
                 deniedCount == 0 ? ""
                                  : ("; " + std::to_string(deniedCount) + " of them refused: " + denied).c_str());
        return kExitFailure;
    }
    return failures == 0 ? kExitOk : kExitFailure;
}

int CmdInfo(int argc, char **argv) {
    static const option kLong[] = {{"trace", required_argument, nullptr, kOptTrace},
                                   {"data-bitrate", required_argument, nullptr, kOptDataBitrate},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    AdapterConfig config;
    std::string dataRate; // as given
    for (int opt; (opt = NextOption("info", argc, argv, ":h", kLong)) != -1;) {
        if (opt == 'h') {
            std::printf(kInfoHelp, kTraceOptionHelp, kOsExampleAdapter, kOsExampleAdapter);
            return kExitOk;
        }
        if (opt == kOptDataBitrate) dataRate = optarg;
        if ((opt != kOptTrace && opt != kOptDataBitrate) || TakeAdapterOption("info", opt, optarg, &config) != 1)
            return kExitUsage;
    }
    if (argc - optind != 1) return UsageError("info", "expected one ADAPTER");
    const std::string name = argv[optind];
    ApplyTrace(config);

    const int32_t h = OpenAdapter("info", name, KORVA_MODE_LISTEN_ONLY);
    if (h == 0) return kExitFailure;
    HwParam hw{};
    ApiVersion api{};
    int32_t dialect = KORVA_DIALECT_FULL;
    KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, &hw);
    KORVA_Ioctl(h, KORVA_IOCTL_GET_DIALECT, &dialect);
    KORVA_Ioctl(0, KORVA_IOCTL_GET_API_VERSION, &api);
    uint32_t flags = 0;
    const int32_t flagsRc = KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags);
    const int32_t fdRc =
        config.setDataBitrate ? KORVA_Ioctl(h, KORVA_IOCTL_SET_DATA_BITRATE, KORVA_IOCTL_INT(config.dataBitrate)) : 0;
    KORVA_Close(h);

    const bool lawicel = hw.HwType != KORVA_HWTYPE_OCERA;
    static const char *const kKinds[] = {"unknown", "Lawicel adapter on a serial port",
                                         "Lawicel adapter on a USB serial port", "Lawicel adapter over TCP",
                                         "LinCAN character device"};
    std::printf("adapter   %s\n", name.c_str());
    std::printf("kind      %s (%s)\n", HwTypeName(hw.HwType), kKinds[hw.HwType <= 4 ? hw.HwType : 0]);
    if (lawicel)
        std::printf("dialect   %s\n", dialect == KORVA_DIALECT_QUIET
                                          ? "quiet (slcan firmware that answers no command)"
                                          : "full (the whole Lawicel command set)");
    std::printf("serial    %u\n", static_cast<unsigned>(hw.SerialNr));
    std::printf("hardware  %02X\n", hw.HwVersion);
    std::printf("software  %02X\n", hw.SwVersion);
    std::printf("library   %u.%u.%u\n", api.Major, api.Minor, api.SubMinor);
    if (flagsRc == 0)
        std::printf("status    0x%08X: %s\n", static_cast<unsigned>(flags), DescribeStatus(flags, lawicel).c_str());
    else
        std::printf("status    unavailable\n");
    if (config.setDataBitrate)
        std::printf("CAN FD    data bit rate %s (Y%d): %s\n", dataRate.c_str(), config.dataBitrate,
                    fdRc == 0 ? (dialect == KORVA_DIALECT_QUIET ? "sent" : "taken")
                    : fdRc == KORVA_ERR_COMMAND ? "refused by the adapter"
                                                : ("not available: " + Reason(fdRc)).c_str());
    std::fflush(stdout);
    if (flagsRc != 0) {
        Complain("info", "cannot read the status flags of '%s': %s", name.c_str(), Reason(flagsRc).c_str());
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace korva_tool
