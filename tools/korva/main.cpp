// main.cpp - the korva command-line tool: subcommand dispatch and what the
// subcommands share (errors, adapter options, opening and configuring an
// adapter).  The tool uses the public korva_api interface, and the
// library's own reading of adapter names (ClassifyDeviceName).
#include "cantext.h"
#include "sysfuncs.h"
#include "tool.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace korva_tool {

namespace {

// The lines that name the system's adapters and the commands it has come
// from os.h.
constexpr char kUsage[] = R"(korva - talk to CAN adapters through korva_api

Usage: korva COMMAND [options] ...

Commands:
%s  info ADAPTER          hardware parameters and status flags of one adapter
  dump ADAPTER...       print received frames (candump style), optionally log them
  send ADAPTER FRAME... send frames (cansend syntax); a load generator with --count/--rate
  replay ADAPTER FILE   send a candump or python-can log with its spacing (or FILE LOGNAME=ADAPTER...)
  serve ADAPTER         share ADAPTER over TCP with Lawicel clients (korva HOST:PORT, python-can slcan)
%s
ADAPTER is %s
"korva COMMAND --help" describes a command, "korva --version" prints the
version.  Exit status: 0 success, 1 the adapter or the system failed,
2 wrong command line.
)";

void PrintUsage(FILE *to) { std::fprintf(to, kUsage, kOsListLine, kOsSimLines, kOsAdapterHelp); }

bool IsDecimal(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

} // namespace

const char kAdapterOptionsHelp[] =
    R"(  -b, --bitrate RATE   bit rate: speed code 0..8 or 10k 20k 50k 100k 125k
                       250k 500k 800k 1M (the adapter's S0..S8)
      --btr XXYY       bit-timing registers BTR0 BTR1 in hex (s command)
      --data-bitrate RATE
                       CAN FD data bit rate: 500k 1M 2M 4M 5M 8M (the slcan
                       FD extension's Y command); frames ID##F... need it
      --acc-code HEX   acceptance code (with --acc-mask; default mask FFFFFFFF)
      --acc-mask HEX   acceptance mask (default code 00000000)
)";

const char kReconnectOptionHelp[] =
    R"(      --reconnect      keep going when the adapter is lost: it is opened
                       again (by its name, or by serial number) and given
                       the settings again; standard error says when
)";

const char kTraceOptionHelp[] =
    R"(      --trace LEVEL    library trace on standard error: system, calls,
                       errors or a number (threshold of korva_api)
)";

void Complain(const char *cmd, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::fflush(stdout);
    std::fprintf(stderr, "korva %s: %s\n", cmd, text);
}

int UsageError(const char *cmd, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "korva %s: %s (see korva %s --help)\n", cmd, text, cmd);
    return kExitUsage;
}

std::string ErrorText(int32_t code) {
    char buf[64] = {};
    KORVA_GetErrorString(code, buf, sizeof buf - 1);
    return buf;
}

std::string Reason(int32_t rc) {
    const char *words = "failed";
    switch (rc) {
    case KORVA_ERR_GENERIC: words = "no valid answer from the adapter"; break;
    case KORVA_ERR_NO_DEVICE: words = "no adapter answers"; break;
    case KORVA_ERR_SYSTEM: words = "a system call failed"; break;
    case KORVA_ERR_NO_MEMORY: words = "out of memory or handles"; break;
    case KORVA_ERR_HANDLE: words = "the adapter is not open"; break;
    case KORVA_ERR_COMMAND: words = "the adapter refused the command"; break;
    case KORVA_ERR_LISTEN_ONLY: words = "the adapter is open listen-only"; break;
    case KORVA_ERR_NOT_IMPLEMENTED: words = "this kind of adapter does not support it"; break;
    default: break;
    }
    return std::string(words) + " (" + ErrorText(rc) + ")";
}

int TakeAdapterOption(const char *cmd, int opt, const char *arg, AdapterConfig *config) {
    std::string why;
    switch (opt) {
    case 'b':
        if (!ParseBitrate(arg, &config->speed, &why)) return UsageError(cmd, "bad bit rate '%s': %s", arg, why.c_str());
        config->setSpeed = true;
        return 1;
    case kOptBtr:
        if (!ParseBtr(arg, config->btr, &why)) return UsageError(cmd, "bad --btr '%s': %s", arg, why.c_str());
        config->setBtr = true;
        return 1;
    case kOptDataBitrate:
        if (!ParseDataBitrate(arg, &config->dataBitrate, &why))
            return UsageError(cmd, "bad --data-bitrate '%s': %s", arg, why.c_str());
        config->setDataBitrate = true;
        return 1;
    case kOptAccCode:
        if (!ParseHex32(arg, &config->accCode, &why))
            return UsageError(cmd, "bad --acc-code '%s': %s", arg, why.c_str());
        config->setCode = true;
        return 1;
    case kOptAccMask:
        if (!ParseHex32(arg, &config->accMask, &why))
            return UsageError(cmd, "bad --acc-mask '%s': %s", arg, why.c_str());
        config->setMask = true;
        return 1;
    case kOptTimestamps: config->timestamps = true; return 1;
    case kOptListenOnly: config->listenOnly = true; return 1;
    case kOptTrace: {
        const std::string_view level = arg;
        if (level == "system") config->traceLevel = KORVA_DEBUG_LEVEL_SYSTEM;
        else if (level == "calls") config->traceLevel = KORVA_DEBUG_LEVEL_CALL;
        else if (level == "errors") config->traceLevel = -11;
        else {
            char *end = nullptr;
            errno = 0;
            const long v = std::strtol(arg, &end, 10);
            if (end == arg || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
                return UsageError(cmd, "bad --trace '%s': system, calls, errors or a number", arg);
            config->traceLevel = static_cast<int32_t>(v);
        }
        return 1;
    }
    default: return 0;
    }
}

void ApplyTrace(const AdapterConfig &config) {
    if (config.traceLevel == 0) return;
    KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(KORVA_DEBUG_TO_STDERR));
    KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(config.traceLevel));
}

/* How the library takes a name: a device node, a network location (or a
 * location that names nothing, which the library reports as such), or a
 * serial number. */
enum class NameKind { Device, Network, SerialNumber };

NameKind KindOfName(const std::string &name) {
    switch (ClassifyAdapterName(name.c_str())) {
    case DEVTYPE_SERIAL:
    case DEVTYPE_USB:
    case DEVTYPE_OCERA: return NameKind::Device;
    case -1: return NameKind::SerialNumber;
    default: return NameKind::Network;
    }
}

bool CheckAdapterName(const char *cmd, const std::string &name) {
    const char *n = name.c_str();
    // A name that is neither a location nor a number would silently mean
    // serial number 0.
    const NameKind kind = KindOfName(name);
    const bool device = kind == NameKind::Device;
    if (kind == NameKind::SerialNumber && !IsDecimal(name)) {
        Complain(cmd, "unknown adapter '%s': give a device (%s), host:port or a decimal serial number", n,
                 kOsDeviceExamples);
        return false;
    }
    std::string why;
    if (device && !DeviceExists(name, &why)) {
        Complain(cmd, "unknown adapter '%s': %s", n, why.c_str());
        return false;
    }
    return true;
}

int32_t OpenAdapter(const char *cmd, const std::string &name, int32_t mode) {
    if (!CheckAdapterName(cmd, name)) return 0;
    const char *n = name.c_str();
    const int32_t h = OpenWithStopSignalsBlocked(n, mode);
    if (h > 0) return h;
    std::string denied;
    const NameKind kind = KindOfName(name);
    if (kind == NameKind::Device && DeviceAccessDenied(name, &denied))
        Complain(cmd, "cannot open adapter '%s': %s", n, denied.c_str());
    else if (h == KORVA_ERR_NO_DEVICE && kind == NameKind::SerialNumber)
        Complain(cmd, "no adapter with serial number %s answers %s (%s)", n, kOsScanPlace, ErrorText(h).c_str());
    else if (h == KORVA_ERR_NO_DEVICE)
        Complain(cmd, "no adapter answers at '%s' (%s)", n, ErrorText(h).c_str());
    else
        Complain(cmd, "cannot open adapter '%s': %s", n, Reason(h).c_str());
    return 0;
}

bool ConfigureAdapter(const char *cmd, int32_t handle, const AdapterConfig &config) {
    int32_t rc = 0;
    HwParam hw{};
    KORVA_Ioctl(handle, KORVA_IOCTL_GET_HW_PARAM, &hw);
    // LinCAN devices know speed codes 1..8 only; code 0 would give them
    // 1 Mbit/s instead of 10 kbit/s.
    if (config.setSpeed && config.speed == 0 && hw.HwType == KORVA_HWTYPE_OCERA) {
        Complain(cmd, "cannot set bit rate 10k (speed code 0): LinCAN devices have no 10 kbit/s");
        return false;
    }
    if (config.setSpeed) {
        rc = KORVA_Ioctl(handle, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(config.speed));
        if (rc != 0) {
            Complain(cmd, "cannot set bit rate (speed code %d, S%d): %s", config.speed, config.speed,
                     Reason(rc).c_str());
            return false;
        }
    }
    if (config.setBtr) {
        uint8_t btr[2] = {config.btr[0], config.btr[1]};
        rc = KORVA_Ioctl(handle, KORVA_IOCTL_SET_BTR, btr);
        if (rc != 0) {
            Complain(cmd, "cannot set bit timing %02X%02X: %s", btr[0], btr[1], Reason(rc).c_str());
            return false;
        }
    }
    if (config.setDataBitrate) {
        rc = KORVA_Ioctl(handle, KORVA_IOCTL_SET_DATA_BITRATE, KORVA_IOCTL_INT(config.dataBitrate));
        if (rc != 0) {
            Complain(cmd, "cannot set data bit rate (Y%d): %s", config.dataBitrate,
                     rc == KORVA_ERR_COMMAND ? "the adapter refused it: no CAN FD, or not this rate (The command failed.)"
                                             : Reason(rc).c_str());
            return false;
        }
    }
    if (config.setCode || config.setMask) {
        uint32_t codeMask[2] = {config.accCode, config.accMask};
        rc = KORVA_Ioctl(handle, KORVA_IOCTL_SET_ACC_CODE_MASK, codeMask);
        if (rc != 0) {
            Complain(cmd, "cannot set acceptance code %08X and mask %08X: %s", codeMask[0], codeMask[1],
                     Reason(rc).c_str());
            return false;
        }
    }
    if (config.timestamps) {
        rc = KORVA_Ioctl(handle, KORVA_IOCTL_SET_TIMESTAMP, KORVA_IOCTL_INT(1));
        if (rc != 0) {
            Complain(cmd, "cannot switch time stamps on: %s", Reason(rc).c_str());
            return false;
        }
    }
    if (config.reconnect) {
        rc = KORVA_Ioctl(handle, KORVA_IOCTL_SET_RECONNECT, KORVA_IOCTL_INT(1));
        if (rc != 0) {
            Complain(cmd, "cannot switch reconnection on: %s", Reason(rc).c_str());
            return false;
        }
    }
    return true;
}

bool WatchLink(const char *cmd, LinkWatch *watch) {
    LinkStats now{};
    if (KORVA_Ioctl(watch->handle, KORVA_IOCTL_GET_LINK_STATS, &now) != 0) return false;
    const char *n = watch->name.c_str();
    if (now.Losses != watch->seen.Losses) {
        watch->lostAtNs = MonotonicNanos();
        Complain(cmd, "adapter '%s' lost (outage %u); opening it again every 0.5 s", n, now.Losses);
    }
    if (now.Reconnections != watch->seen.Reconnections) {
        const double seconds = static_cast<double>(MonotonicNanos() - watch->lostAtNs) / 1e9;
        Complain(cmd, "adapter '%s' is back after %.1f s (%u queued frames dropped by outages so far)", n, seconds,
                 now.DroppedFrames);
    }
    watch->seen = now;
    return now.Losses != now.Reconnections;
}

bool OpenAdapters(const char *cmd, const std::vector<std::string> &names, int32_t mode, const AdapterConfig &config,
                  std::vector<int32_t> *handles) {
    handles->clear();
    for (const std::string &name : names)
        if (!CheckAdapterName(cmd, name)) return false;
    for (const std::string &name : names) {
        int32_t h = OpenAdapter(cmd, name, mode);
        if (h != 0 && !ConfigureAdapter(cmd, h, config)) {
            KORVA_Close(h);
            h = 0;
        }
        if (h == 0) {
            CloseAdapters(*handles);
            handles->clear();
            return false;
        }
        handles->push_back(h);
    }
    return true;
}

void CloseAdapters(const std::vector<int32_t> &handles) {
    for (int32_t h : handles) KORVA_Close(h);
}

int NextOption(const char *cmd, int argc, char **argv, const char *shortOpts, const option *longOpts) {
    const int opt = getopt_long(argc, argv, shortOpts, longOpts, nullptr);
    // shortOpts begins with ':', so a missing value comes back as ':'.
    if (opt == '?') {
        if (optopt != 0) UsageError(cmd, "unknown option '-%c'", optopt);
        else UsageError(cmd, "unknown option '%s'", argv[optind - 1]);
    } else if (opt == ':') {
        if (optopt != 0 && optopt < 0x100) UsageError(cmd, "option '-%c' needs a value", optopt);
        else UsageError(cmd, "option '%s' needs a value", argv[optind - 1]);
        return '?';
    }
    return opt;
}

} // namespace korva_tool

int main(int argc, char **argv) {
    using namespace korva_tool;
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const std::string_view cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (cmd == "--version") {
        std::printf("korva %s\n", KORVA_VERSION);
        return kExitOk;
    }
    struct Command {
        const char *name;
        int (*run)(int, char **);
    };
    static constexpr Command kCommands[] = {
        {"list", CmdList}, {"info", CmdInfo}, {"dump", CmdDump},
        {"send", CmdSend}, {"sim", CmdSim},   {"demo", CmdDemo},
        {"replay", CmdReplay}, {"serve", CmdServe},
    };
    for (const Command &c : kCommands) {
        if (cmd == c.name) {
            // Options are reported by NextOption; getopt stays quiet.
            opterr = 0;
            return c.run(argc - 1, argv + 1);
        }
    }
    std::fprintf(stderr, "korva: unknown command '%s' (commands: list info dump send replay serve sim demo; see korva --help)\n",
                 argv[1]);
    return kExitUsage;
}
