// cmd_replay.cpp - "korva replay": sends the frames of a candump log with
// their original spacing.  The file is read twice, line by line: once to
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

namespace korva_tool {
namespace {

constexpr char kReplayHelp[] = R"(Usage: korva replay [options] ADAPTER FILE

Sends the frames of FILE, a log in candump's format as "korva dump --log"
and can-utils' candump -l write it, one frame a line:
  (1436509052.249713) can0 123#DEADBEEF
with the spacing their time stamps give, whatever adapter the log names.
The whole file is checked first: a malformed line is reported as FILE:LINE
and nothing is sent.  Ctrl-C or SIGTERM stops after the frame in flight.
At the end it says on standard error how many frames went out, and in how
long.

)"
                                   "%s"
                                   R"(      --speed FACTOR   play FACTOR times as fast (2: twice, 0.5: half as fast)
      --loop N         play the log N times (0 = until Ctrl-C); default 1
      --no-timing      send as fast as the adapter takes the frames
%s
  korva replay %s bus.log
  korva replay -b 500k --speed 10 --loop 0 %s bus.log
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

struct Replay {
    int32_t handle = 0;
    bool timing = true;
    double speed = 1.0;
    uint64_t sent = 0;
    bool stopped = false; // by a stop request
};

// One pass over the file, which stands at its start.  Returns kExitOk, or
// kExitFailure after a message.
int PlayOnce(Replay *r, LogReader *reader) {
    LogEntry entry, first;
    std::string why;
    CanMsg batch[kBatch];
    uint32_t queued = 0;
    int64_t start = 0;
    bool begun = false;
    auto write = [&](const CanMsg *frames, uint32_t n) {
        uint32_t written = 0;
        int32_t rc = KORVA_Write(r->handle, frames, n, &written);
        if (rc == 0 && r->timing) rc = KORVA_Flush(r->handle);
        r->sent += written;
        if (rc != 0) {
            Complain("replay", "sending %s failed: %s", FormatFrame(frames[written < n ? written : n - 1]).c_str(),
                     Reason(rc).c_str());
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
        if (!r->timing) {
            batch[queued++] = entry.frame;
            if (queued == kBatch) {
                if (!write(batch, queued)) return kExitFailure;
                queued = 0;
            }
            continue;
        }
        if (!begun) {
            first = entry;
            start = MonotonicNanos();
            begun = true;
        }
        // Due at the log's offset from the first frame, scaled; a frame
        // logged earlier than the first goes at once.
        double offset = LogSeconds(first, entry) / r->speed * 1e9;
        if (offset < 0) offset = 0;
        if (offset > 1e17) offset = 1e17;
        if (!SleepUntil(start + static_cast<int64_t>(offset))) {
            r->stopped = true;
            break;
        }
        if (!write(&entry.frame, 1)) return kExitFailure;
    }
    if (queued != 0 && !write(batch, queued)) return kExitFailure;
    return kExitOk;
}

} // namespace

int CmdReplay(int argc, char **argv) {
    static const option kLong[] = {{"bitrate", required_argument, nullptr, 'b'},
                                   {"btr", required_argument, nullptr, kOptBtr},
                                   {"acc-code", required_argument, nullptr, kOptAccCode},
                                   {"acc-mask", required_argument, nullptr, kOptAccMask},
                                   {"speed", required_argument, nullptr, kOptSpeed},
                                   {"loop", required_argument, nullptr, kOptLoop},
                                   {"no-timing", no_argument, nullptr, kOptNoTiming},
                                   {"trace", required_argument, nullptr, kOptTrace},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    AdapterConfig config;
    Replay replay;
    uint64_t loops = 1;
    std::string why;
    for (int opt; (opt = NextOption("replay", argc, argv, ":b:h", kLong)) != -1;) {
        switch (opt) {
        case 'h':
            std::printf(kReplayHelp, kAdapterOptionsHelp, kTraceOptionHelp, kOsExampleAdapter, kOsExampleAdapter);
            return kExitOk;
        case kOptSpeed:
            if (!ParseSpeed(optarg, &replay.speed))
                return UsageError("replay", "bad --speed '%s': expected a factor above 0, such as 2 or 0.5", optarg);
            break;
        case kOptLoop:
            if (!ParseCount(optarg, &loops, &why))
                return UsageError("replay", "bad --loop '%s': %s", optarg, why.c_str());
            break;
        case kOptNoTiming: replay.timing = false; break;
        case '?': return kExitUsage;
        default:
            if (TakeAdapterOption("replay", opt, optarg, &config) != 1) return kExitUsage;
        }
    }
    if (argc - optind != 2) return UsageError("replay", "expected ADAPTER and FILE");
    const std::string name = argv[optind];
    LogReader reader;
    reader.path = argv[optind + 1];
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
        ++frames;
    }
    if (std::fseek(reader.file, 0, SEEK_SET) != 0) {
        Complain("replay", "cannot read %s a second time: %s (give a file, not a pipe)", reader.path.c_str(),
                 std::strerror(errno));
        return kExitFailure;
    }
    if (frames == 0) {
        Complain("replay", "%s holds no frames: nothing sent", reader.path.c_str());
        return kExitOk;
    }
    ApplyTrace(config);

    InstallStopSignals(nullptr);
    replay.handle = OpenAdapter("replay", name, KORVA_MODE_NORMAL);
    if (replay.handle == 0) return kExitFailure;
    if (!ConfigureAdapter("replay", replay.handle, config)) {
        KORVA_Close(replay.handle);
        return kExitFailure;
    }

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
    // What the library still holds goes out before the adapter is closed.
    const int32_t flushRc = KORVA_Flush(replay.handle);
    const double elapsed = static_cast<double>(MonotonicNanos() - start) / 1e9;
    KORVA_Close(replay.handle);
    InstallStopSignals(nullptr);
    if (flushRc != 0 && status == kExitOk) {
        Complain("replay", "flushing the queued frames failed: %s", Reason(flushRc).c_str());
        status = kExitFailure;
    }
    Complain("replay", "%llu %s sent in %.3f s%s", static_cast<unsigned long long>(replay.sent),
             replay.sent == 1 ? "frame" : "frames", elapsed, replay.stopped ? " (stopped)" : "");
    return status;
}

} // namespace korva_tool
