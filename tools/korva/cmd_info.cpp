// cmd_info.cpp - "korva list" and "korva info": which adapters answer, and
// what one adapter reports about itself.
#include "cantext.h"
#include "tool.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

namespace korva_tool {
namespace {

constexpr char kListHelp[] = R"(Usage: korva list [options] [NAME...]

Lists the adapters that answer: without names, every ttyS*, ttyUSB* and can*
character device in /dev (or DIR) is opened by path, listen-only, asked for
its serial number and versions, and closed.  With names, just those
adapters.  Each adapter costs a few hundred milliseconds of probing.

  -d, --dir DIR        scan DIR instead of /dev
  -v, --verbose        also name the devices that did not answer
%s)";

constexpr char kInfoHelp[] = R"(Usage: korva info [options] ADAPTER

Opens ADAPTER listen-only and prints its hardware parameters (kind, serial
number, hardware and software version), the library version and its status
flags, as a number and in words.  For Lawicel adapters bits 0..7 are the
adapter's status byte; bit 16 means frames were lost in the receive buffer,
bit 17 that the connection to the adapter broke.

%s
  korva info ttyUSB0
  korva info 192.168.1.10:2001
)";

struct Found {
    std::string name;
    HwParam hw;
};

// Orders "ttyS2" before "ttyS10": runs of digits compare by value.
bool NaturalLess(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            const std::string da = a.substr(i, ie - i), db = b.substr(j, je - j);
            const size_t za = da.find_first_not_of('0'), zb = db.find_first_not_of('0');
            const std::string va = za == std::string::npos ? "" : da.substr(za);
            const std::string vb = zb == std::string::npos ? "" : db.substr(zb);
            if (va.size() != vb.size()) return va.size() < vb.size();
            if (va != vb) return va < vb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

bool HasCandidatePrefix(const char *name) {
    return std::strncmp(name, "ttyS", 4) == 0 || std::strncmp(name, "ttyUSB", 6) == 0 ||
           std::strncmp(name, "can", 3) == 0;
}

// The character devices of dir whose names discovery would probe.
bool ScanDir(const std::string &dir, std::vector<std::string> *paths) {
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) {
        Complain("list", "cannot read directory %s: %s", dir.c_str(), std::strerror(errno));
        return false;
    }
    while (const dirent *e = ::readdir(d)) {
        if (!HasCandidatePrefix(e->d_name)) continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st{};
        // stat follows links: a link to a pseudo-terminal counts.
        if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) paths->push_back(path);
    }
    ::closedir(d);
    std::sort(paths->begin(), paths->end(), NaturalLess);
    return true;
}

// Opens name quietly (listen-only, no transmission) and reads its hardware
// parameters.  Returns 0 or the library's error.
int32_t Probe(const std::string &name, HwParam *hw) {
    const int32_t h = KORVA_Open(name.c_str(), KORVA_MODE_LISTEN_ONLY);
    if (h <= 0) return h;
    *hw = HwParam{};
    const int32_t rc = KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, hw);
    KORVA_Close(h);
    return rc;
}

void PrintTable(const std::vector<Found> &found) {
    size_t width = 6;
    for (const Found &f : found) width = std::max(width, f.name.size());
    std::printf("%-*s  %-8s %-10s  HW  SW\n", static_cast<int>(width), "DEVICE", "KIND", "SERIAL");
    for (const Found &f : found)
        std::printf("%-*s  %-8s %-10u  %02X  %02X\n", static_cast<int>(width), f.name.c_str(),
                    HwTypeName(f.hw.HwType), static_cast<unsigned>(f.hw.SerialNr), f.hw.HwVersion, f.hw.SwVersion);
    std::fflush(stdout);
}

} // namespace

int CmdList(int argc, char **argv) {
    static const option kLong[] = {{"dir", required_argument, nullptr, 'd'},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"trace", required_argument, nullptr, kOptTrace},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    std::string dir = "/dev";
    bool verbose = false;
    AdapterConfig config;
    for (int opt; (opt = NextOption("list", argc, argv, ":d:vh", kLong)) != -1;) {
        switch (opt) {
        case 'h': std::printf(kListHelp, kTraceOptionHelp); return kExitOk;
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
    if (!explicitNames && !ScanDir(dir, &names)) return kExitFailure;

    std::vector<Found> found;
    int failures = 0;
    for (const std::string &name : names) {
        Found f{name, {}};
        if (explicitNames && !CheckAdapterName("list", name)) {
            ++failures;
            continue;
        }
        const int32_t rc = Probe(name, &f.hw);
        if (rc == 0) {
            found.push_back(f);
        } else if (explicitNames) {
            Complain("list", "no adapter answers at '%s': %s", name.c_str(), Reason(rc).c_str());
            ++failures;
        } else if (verbose) {
            std::fprintf(stderr, "korva list: %s: no answer (%s)\n", name.c_str(), ErrorText(rc).c_str());
        }
    }
    if (!found.empty()) PrintTable(found);
    if (found.empty() && !explicitNames) {
        Complain("list", "no adapter answered in %s (%zu device%s probed)", dir.c_str(), names.size(),
                 names.size() == 1 ? "" : "s");
        return kExitFailure;
    }
    return failures == 0 ? kExitOk : kExitFailure;
}

int CmdInfo(int argc, char **argv) {
    static const option kLong[] = {{"trace", required_argument, nullptr, kOptTrace},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    AdapterConfig config;
    for (int opt; (opt = NextOption("info", argc, argv, ":h", kLong)) != -1;) {
        if (opt == 'h') {
            std::printf(kInfoHelp, kTraceOptionHelp);
            return kExitOk;
        }
        if (opt != kOptTrace || TakeAdapterOption("info", opt, optarg, &config) != 1) return kExitUsage;
    }
    if (argc - optind != 1) return UsageError("info", "expected one ADAPTER");
    const std::string name = argv[optind];
    ApplyTrace(config);

    const int32_t h = OpenAdapter("info", name, KORVA_MODE_LISTEN_ONLY);
    if (h == 0) return kExitFailure;
    HwParam hw{};
    ApiVersion api{};
    KORVA_Ioctl(h, KORVA_IOCTL_GET_HW_PARAM, &hw);
    KORVA_Ioctl(0, KORVA_IOCTL_GET_API_VERSION, &api);
    uint32_t flags = 0;
    const int32_t flagsRc = KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags);
    KORVA_Close(h);

    const bool lawicel = hw.HwType != KORVA_HWTYPE_OCERA;
    static const char *const kKinds[] = {"unknown", "Lawicel adapter on a serial port",
                                         "Lawicel adapter on a USB serial port", "Lawicel adapter over TCP",
                                         "LinCAN character device"};
    std::printf("adapter   %s\n", name.c_str());
    std::printf("kind      %s (%s)\n", HwTypeName(hw.HwType), kKinds[hw.HwType <= 4 ? hw.HwType : 0]);
    std::printf("serial    %u\n", static_cast<unsigned>(hw.SerialNr));
    std::printf("hardware  %02X\n", hw.HwVersion);
    std::printf("software  %02X\n", hw.SwVersion);
    std::printf("library   %u.%u.%u\n", api.Major, api.Minor, api.SubMinor);
    if (flagsRc == 0)
        std::printf("status    0x%08X: %s\n", static_cast<unsigned>(flags), DescribeStatus(flags, lawicel).c_str());
    else
        std::printf("status    unavailable\n");
    std::fflush(stdout);
    if (flagsRc != 0) {
        Complain("info", "cannot read the status flags of '%s': %s", name.c_str(), Reason(flagsRc).c_str());
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace korva_tool
