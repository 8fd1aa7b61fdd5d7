// cmd_replay.cpp - "korva replay": sends the frames of a candump log with
// their original spacing, to one adapter or each log interface to its own.  The file is read twice, line by line: once to
// check all of it before anything is sent, then to send; it is never held
// in memory.
#include "cantext.h"
#include "logfile.h"
#include "tool.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace korva_tool {
namespace {

constexpr char kReplayHelp[] = R"(Usage: korva replay [options] ADAPTER FILE
   or: korva replay [options] FILE LOGNAME=ADAPTER...

Sends the frames of FILE, a log in candump's format as "korva dump --log",
can-utils' candump -l and asc2log and python-can's logger write it, one
frame a line, optionally ending in R or T (received, sent):
  (1436509052.249713) can0 123#DEADBEEF
with the spacing their time stamps give.  With ADAPTER, every frame goes
to it, whatever interface the log names.  With LOGNAME=ADAPTER (can0=%s)
the frames of each log interface go to its adapter, on the log's one time
line; frames of interfaces not named are skipped and counted, and a named
interface must have frames (canplayer writes the reverse, ADAPTER=LOGNAME).
Lines that do not start with "(" (comments, blank lines) are skipped.
Error frames are skipped and counted, and so are CAN FD frames unless
--data-bitrate makes the adapters FD adapters: then they are sent as
logged.  A raw length code above 8
(123#1122334455667788_9) is sent with length 8, the most a Lawicel adapter
expresses; the same 8 data bytes go on the bus.
The whole file is checked first: a malformed line is reported as FILE:LINE
and nothing is sent.  Ctrl-C or SIGTERM stops after the frame in flight.
At the end it says on standard error how many frames went out, and in how
long, and what was skipped.

)"
                                   "%s"
                                   R"(      --speed FACTOR   play FACTOR times as fast (2: twice, 0.5: half as fast)
      --loop N         play the log N times (0 = until Ctrl-C); default 1
      --no-timing      send as fast as the adapter takes the frames
      --strict         refuse (as FILE:LINE, nothing sent) error frames, CAN FD
                       frames and length codes above 8 instead
%s
  korva replay %s bus.log
  korva replay -b 500k --speed 10 --loop 0 %s bus.log
  korva replay two-buses.log can0=%s can1=%s
)";

// Frames handed to the library in one call without timing.
constexpr uint32_t kBatch = 64;

bool ParseSpeed(const char *text, double *speed) {
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v) || v <= 0 || v > 1e6) return false;
    *speed = v;
    return true;
}

// Seconds from a to b in the log's time.
double LogSeconds(const LogEntry &a, const LogEntry &b) {
    return static_cast<double>(b.seconds - a.seconds) + static_cast<double>(b.nanos - a.nanos) / 1e9;
}

// Frames of a pass that were not sent as logged.
struct Skipped {
    uint64_t error = 0, fd = 0, unnamed = 0, longCode = 0;
};

struct Replay {
    std::vector<std::string> adapters;  // where frames go
    std::vector<int32_t> handles;       // the same, opened
    std::vector<uint64_t> sent;         // frames sent to each
    std::vector<std::string> logNames;  // LOGNAME of each LOGNAME=ADAPTER; none: all to adapters[0]
    std::vector<size_t> routes;         // adapter of each log name
    bool timing = true;
    bool fd = false;      // CAN FD frames are sent (--data-bitrate)
    double speed = 1.0;
    bool stopped = false; // by a stop request
    Skipped skipped;      // over the passes played
};

// What goes on the bus for a logged frame.
CanFdMsg RecordOf(const LoggedFrame &f) { return f.kind == FrameKind::kFd ? f.fd : FdRecordOf(f.frame); }

// The adapter a frame goes to, or -1 for a frame that is skipped (and
// counted in *skipped).  A long length code is counted and sent.
int Destination(const Replay &r, const LogEntry &e, Skipped *skipped) {
    if (e.logged.kind == FrameKind::kError) return ++skipped->error, -1;
    if (e.logged.kind == FrameKind::kFd && !r.fd) return ++skipped->fd, -1;
    int to = r.logNames.empty() ? 0 : -1;
    for (size_t i = 0; i < r.logNames.size() && to < 0; ++i)
        if (r.logNames[i] == e.name) to = static_cast<int>(r.routes[i]);
    if (to < 0) return ++skipped->unnamed, -1;
    if (e.logged.lengthCode != 0) ++skipped->longCode;
    return to;
}

std::string Count(uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The lines that say what was skipped or shortened.
void ReportSkipped(const Skipped &s, const std::string &unnamedNames) {
    std::string kinds;
    if (s.error) kinds = Count(s.error, "error frame", "error frames");
    if (s.fd) kinds += (kinds.empty() ? "" : " and ") + Count(s.fd, "CAN FD frame", "CAN FD frames");
    if (!kinds.empty()) Complain("replay", "%s skipped: korva sends classic CAN frames only", kinds.c_str());
    if (s.unnamed)
        Complain("replay", "%s of log interfaces not named skipped (%s)", Count(s.unnamed, "frame", "frames").c_str(),
                 unnamedNames.c_str());
    if (s.longCode)
        Complain("replay", "%s with a length code above 8 sent with length 8",
                 Count(s.longCode, "frame", "frames").c_str());
}

// One pass over the file, which stands at its start.  Returns kExitOk, or
// kExitFailure after a message.
int PlayOnce(Replay *r, LogReader *reader) {
    LogEntry entry, first;
    std::string why;
    CanFdMsg batch[kBatch];
    uint32_t queued = 0;
    int batchTo = 0;
    int64_t start = 0;
    bool begun = false;
    auto write = [&](int to, const CanFdMsg *frames, uint32_t n) {
        const int32_t h = r->handles[static_cast<size_t>(to)];
        uint32_t written = 0;
        int32_t rc = KORVA_WriteFd(h, frames, n, &written);
        if (rc == 0 && r->timing) rc = KORVA_Flush(h);
        r->sent[static_cast<size_t>(to)] += written;
        if (rc != 0) {
            Complain("replay", "sending %s to %s failed: %s", FormatFdFrame(frames[written < n ? written : n - 1]).c_str(),
                     r->adapters[static_cast<size_t>(to)].c_str(), Reason(rc).c_str());
            return false;
        }
        return true;
    };
    for (;;) {
        if (StopRequested()) {
            r->stopped = true;
            break;
        }
        const LogRead got = NextLogEntry(reader, &entry, &why);
        if (got == LogRead::kEnd) break;
        if (got != LogRead::kFrame) {
            Complain("replay", "%s (the file changed after it was checked)", why.c_str());
            return kExitFailure;
        }
        const int to = Destination(*r, entry, &r->skipped);
        if (to < 0) continue;
        if (!r->timing) {
            if (queued != 0 && to != batchTo) {
                if (!write(batchTo, batch, queued)) return kExitFailure;
                queued = 0;
            }
            batchTo = to;
            batch[queued++] = RecordOf(entry.logged);
            if (queued == kBatch) {
                if (!write(batchTo, batch, queued)) return kExitFailure;
                queued = 0;
            }
            continue;
        }
        if (!begun) {
            first = entry;
            start = MonotonicNanos();
            begun = true;
        }
        // Due at the log's offset from the first frame sent, scaled, on
        // one time line for all adapters; a frame logged earlier than the
        // first goes at once.
        double offset = LogSeconds(first, entry) / r->speed * 1e9;
        if (offset < 0) offset = 0;
        if (offset > 1e17) offset = 1e17;
        if (!SleepUntil(start + static_cast<int64_t>(offset))) {
            r->stopped = true;
            break;
        }
        const CanFdMsg record = RecordOf(entry.logged);
        if (!write(to, &record, 1)) return kExitFailure;
    }
    if (queued != 0 && !write(batchTo, batch, queued)) return kExitFailure;
    return kExitOk;
}

// The positional arguments: ADAPTER FILE, or FILE LOGNAME=ADAPTER...
// Returns kExitOk or a usage error.
int TakeTargets(int argc, char **argv, Replay *r, std::string *path) {
    const int n = argc - optind;
    bool mapped = n >= 2;
    for (int i = optind + 1; i < argc; ++i) mapped = mapped && std::strchr(argv[i], '=') != nullptr;
    if (n == 2 && !mapped) {
        r->adapters = {argv[optind]};
        *path = argv[optind + 1];
        return kExitOk;
    }
    if (!mapped) return UsageError("replay", "expected ADAPTER FILE, or FILE LOGNAME=ADAPTER...");
    *path = argv[optind];
    for (int i = optind + 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        const std::string logName = arg.substr(0, eq), adapter = arg.substr(eq + 1);
        if (logName.empty() || adapter.empty())
            return UsageError("replay", "bad '%s': expected LOGNAME=ADAPTER, such as can0=%s", argv[i],
                              kOsExampleAdapter);
        for (const std::string &seen : r->logNames)
            if (seen == logName) return UsageError("replay", "log interface '%s' is named twice", logName.c_str());
        // Two log interfaces may go to one adapter: it is opened once.
        size_t to = 0;
        while (to < r->adapters.size() && r->adapters[to] != adapter) ++to;
        if (to == r->adapters.size()) r->adapters.push_back(adapter);
        r->logNames.push_back(logName);
        r->routes.push_back(to);
    }
    return kExitOk;
}

} // namespace

int CmdReplay(int argc, char **argv) {
    static const option kLong[] = {{"bitrate", required_argument, nullptr, 'b'},
                                   {"data-bitrate", required_argument, nullptr, kOptDataBitrate},
                                   {"btr", required_argument, nullptr, kOptBtr},
                                   {"acc-code", required_argument, nullptr, kOptAccCode},
                                   {"acc-mask", required_argument, nullptr, kOptAccMask},
                                   {"speed", required_argument, nullptr, kOptSpeed},
                                   {"loop", required_argument, nullptr, kOptLoop},
                                   {"no-timing", no_argument, nullptr, kOptNoTiming},
                                   {"strict", no_argument, nullptr, kOptStrict},
                                   {"trace", required_argument, nullptr, kOptTrace},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    AdapterConfig config;
    Replay replay;
    LogReader reader;
    uint64_t loops = 1;
    std::string why;
    for (int opt; (opt = NextOption("replay", argc, argv, ":b:h", kLong)) != -1;) {
        switch (opt) {
        case 'h': {
            const char *a = kOsExampleAdapter;
            std::printf(kReplayHelp, a, kAdapterOptionsHelp, kTraceOptionHelp, a, a, a, kOsExampleAdapter2);
            return kExitOk;
        }
        case kOptSpeed:
            if (!ParseSpeed(optarg, &replay.speed))
                return UsageError("replay", "bad --speed '%s': expected a factor above 0, such as 2 or 0.5", optarg);
            break;
        case kOptLoop:
            if (!ParseCount(optarg, &loops, &why))
                return UsageError("replay", "bad --loop '%s': %s", optarg, why.c_str());
            break;
        case kOptNoTiming: replay.timing = false; break;
        case kOptStrict: reader.strict = true; break;
        case '?': return kExitUsage;
        default:
            if (TakeAdapterOption("replay", opt, optarg, &config) != 1) return kExitUsage;
        }
    }
    if (const int rc = TakeTargets(argc, argv, &replay, &reader.path); rc != kExitOk) return rc;
    replay.fd = reader.fd = config.setDataBitrate;
    reader.file = std::fopen(reader.path.c_str(), "rb");
    if (reader.file == nullptr) {
        Complain("replay", "cannot read %s: %s", reader.path.c_str(), std::strerror(errno));
        return kExitFailure;
    }
    struct FileCloser {
        FILE *f;
        ~FileCloser() { std::fclose(f); }
    } closer{reader.file};

    // First pass: every line is checked before the adapter is touched.
    uint64_t frames = 0;
    Skipped checked;
    std::vector<uint64_t> perLogName(replay.logNames.size());
    std::string unnamedNames, fileNames; // the first few, for messages
    auto note = [](std::string *names, const std::string &name) {
        if (names->size() > 60 || (" " + *names + ",").find(" " + name + ",") != std::string::npos) return;
        *names += (names->empty() ? "" : ", ") + name;
    };
    for (LogEntry entry;;) {
        const LogRead got = NextLogEntry(&reader, &entry, &why);
        if (got == LogRead::kEnd) break;
        if (got == LogRead::kBad) {
            Complain("replay", "%s", why.c_str());
            return kExitUsage;
        }
        if (got == LogRead::kError) {
            Complain("replay", "%s", why.c_str());
            return kExitFailure;
        }
        note(&fileNames, entry.name);
        const uint64_t unnamed = checked.unnamed;
        if (Destination(replay, entry, &checked) >= 0) ++frames;
        if (checked.unnamed != unnamed) note(&unnamedNames, entry.name);
        for (size_t i = 0; i < replay.logNames.size(); ++i)
            if (replay.logNames[i] == entry.name) ++perLogName[i];
    }
    // A log name without frames is a typing error, or canplayer's order
    // ADAPTER=LOGNAME.
    for (size_t i = 0; i < replay.logNames.size(); ++i)
        if (perLogName[i] == 0)
            return UsageError("replay", "%s has no frames of interface '%s' (it has: %s); give LOGNAME=ADAPTER",
                              reader.path.c_str(), replay.logNames[i].c_str(),
                              fileNames.empty() ? "none" : fileNames.c_str());
    if (std::fseek(reader.file, 0, SEEK_SET) != 0) {
        Complain("replay", "cannot read %s a second time: %s (give a file, not a pipe)", reader.path.c_str(),
                 std::strerror(errno));
        return kExitFailure;
    }
    if (frames == 0) {
        ReportSkipped(checked, unnamedNames);
        Complain("replay", "%s holds no frames to send: nothing sent", reader.path.c_str());
        return kExitOk;
    }
    ApplyTrace(config);

    InstallStopSignals(nullptr);
    if (!OpenAdapters("replay", replay.adapters, KORVA_MODE_NORMAL, config, &replay.handles)) return kExitFailure;
    replay.sent.assign(replay.handles.size(), 0);

    int status = kExitOk;
    const int64_t start = MonotonicNanos();
    for (uint64_t loop = 0; (loops == 0 || loop < loops) && status == kExitOk && !replay.stopped; ++loop) {
        if (loop > 0 && std::fseek(reader.file, 0, SEEK_SET) != 0) {
            Complain("replay", "cannot read %s again: %s", reader.path.c_str(), std::strerror(errno));
            status = kExitFailure;
            break;
        }
        reader.line = 0;
        status = PlayOnce(&replay, &reader);
    }
    // What the library still holds goes out before the adapters are closed.
    int32_t flushRc = 0;
    for (int32_t h : replay.handles)
        if (const int32_t rc = KORVA_Flush(h); rc != 0 && flushRc == 0) flushRc = rc;
    const double elapsed = static_cast<double>(MonotonicNanos() - start) / 1e9;
    CloseAdapters(replay.handles);
    InstallStopSignals(nullptr);
    if (flushRc != 0 && status == kExitOk) {
        Complain("replay", "flushing the queued frames failed: %s", Reason(flushRc).c_str());
        status = kExitFailure;
    }
    uint64_t sent = 0;
    std::string each;
    for (size_t i = 0; i < replay.sent.size(); ++i) {
        sent += replay.sent[i];
        each += (i == 0 ? ": " : ", ") + std::to_string(replay.sent[i]) + " to " + replay.adapters[i];
    }
    Complain("replay", "%s sent in %.3f s%s%s", Count(sent, "frame", "frames").c_str(), elapsed,
             replay.stopped ? " (stopped)" : "", replay.sent.size() > 1 ? each.c_str() : "");
    ReportSkipped(replay.skipped, unnamedNames);
    return status;
}

} // namespace korva_tool
