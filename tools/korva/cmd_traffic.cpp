// cmd_traffic.cpp - "korva dump" (receive and print frames, from one adapter
// or several at once) and "korva send"
// (send frames, or generate load).
#include "cantext.h"
#include "pcap.h"
#include "tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace korva_tool {
namespace {

constexpr char kDumpHelp[] = R"(Usage: korva dump [options] ADAPTER...

Prints the frames ADAPTER receives, one per line, candump style:
  %s  123   [2]  AA BB
  %s  12345678   [1]  01
  %s  123   [0]  remote request
CAN FD frames show their length in two digits, candump style, and are
logged as "123##1AABB" (with --data-bitrate on an FD adapter; an FD
adapter delivers them in any case).
With several adapters it receives from all at once, each line naming its
adapter; the log holds the frames of all in the order they came, and the
pcap capture is pcapng with one interface per adapter.
Runs until COUNT frames were shown, Ctrl-C or SIGTERM, or a connection
breaks (with --reconnect it waits for the adapter instead); then says on
standard error, for each adapter, how many frames came and whether any
were lost.

)"
                                 "%s"
                                 R"(      --timestamps     ask the adapter for receive time stamps (milliseconds,
                       0..59999) and print them in seconds before each frame
      --listen-only    open the adapter listen-only (it never transmits or acks)
%s  -f, --filter LIST    show only identifiers matching ID:MASK (or not matching
                       ID~MASK), several separated by commas: -f 123:7FF,200:700
  -n, --count COUNT    stop after COUNT frames shown
  -l, --log FILE       also write the frames to FILE in candump's log format
                       "(seconds.micros) ADAPTER 123#AABB" (host time)
      --pcap FILE      also write the frames to FILE as a pcap capture for
                       Wireshark or tshark (SocketCAN link type, host time),
                       written out at least once a second; with "-" the
                       capture goes to standard output instead of the lines
%s
  korva dump -b 500k %s
  korva dump --timestamps -n 10 -l bus.log %s
  korva dump --pcap - %s | wireshark -k -i -
  korva dump -l two-buses.log %s %s
)";

constexpr char kSendHelp[] = R"(Usage: korva send [options] ADAPTER FRAME...

Sends the frames, written as cansend does:
  123#AABB         standard identifier (3 hex digits), data AA BB
  12345678#01      extended identifier (8 hex digits)
  123#R  123#R4    remote request, with length 0 / 4
  123#             no data; bytes may be separated by dots: 123#11.22.33
  123##1AABB       CAN FD (needs --data-bitrate): "##", a flags digit (bit 0
                   bit-rate switch, bit 1 error-state indicator, which a
                   Lawicel adapter sets itself), up to 64 data bytes
With --count or --rate it is a load generator: the frames are sent COUNT
times over, at HZ frames per second, and the achieved rate is reported;
with --reconnect it pauses while the adapter is lost and goes on when it
is back.
Queued frames are flushed before the adapter is closed.

)"
                                 "%s"
                                 R"(      --count N        send the frames N times (0 = until Ctrl-C); default 1
      --rate HZ        at most HZ frames per second (default: as fast as possible)
%s%s
  korva send %s 123#AABB 12345678#R2
  korva send -b 1M --count 100000 --rate 2000 192.168.1.10:2001 100#0011223344556677
)";

double MonotonicSeconds() { return static_cast<double>(MonotonicNanos()) / 1e9; }

} // namespace

int CmdDump(int argc, char **argv) {
    static const option kLong[] = {{"bitrate", required_argument, nullptr, 'b'},
                                   {"btr", required_argument, nullptr, kOptBtr},
                                   {"data-bitrate", required_argument, nullptr, kOptDataBitrate},
                                   {"acc-code", required_argument, nullptr, kOptAccCode},
                                   {"acc-mask", required_argument, nullptr, kOptAccMask},
                                   {"timestamps", no_argument, nullptr, kOptTimestamps},
                                   {"listen-only", no_argument, nullptr, kOptListenOnly},
                                   {"filter", required_argument, nullptr, 'f'},
                                   {"count", required_argument, nullptr, 'n'},
                                   {"log", required_argument, nullptr, 'l'},
                                   {"pcap", required_argument, nullptr, kOptPcap},
                                   {"reconnect", no_argument, nullptr, kOptReconnect},
                                   {"trace", required_argument, nullptr, kOptTrace},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    AdapterConfig config;
    std::vector<IdFilter> filters;
    uint64_t count = 0;
    std::string logPath, pcapPath;
    std::string why;
    for (int opt; (opt = NextOption("dump", argc, argv, ":b:f:n:l:h", kLong)) != -1;) {
        switch (opt) {
        case 'h': {
            const char *a = kOsExampleAdapter;
            std::printf(kDumpHelp, a, a, a, kAdapterOptionsHelp, kReconnectOptionHelp, kTraceOptionHelp, a, kOsExamplePath, a, a, kOsExampleAdapter2);
            return kExitOk;
        }
        case 'f':
            if (!ParseFilters(optarg, &filters, &why)) return UsageError("dump", "%s", why.c_str());
            break;
        case 'n':
            if (!ParseCount(optarg, &count, &why) || count == 0)
                return UsageError("dump", "bad count '%s': expected a number above 0", optarg);
            break;
        case 'l': logPath = optarg; break;
        case kOptPcap: pcapPath = optarg; break;
        case kOptReconnect: config.reconnect = true; break;
        case '?': return kExitUsage;
        default:
            if (TakeAdapterOption("dump", opt, optarg, &config) != 1) return kExitUsage;
        }
    }
    if (argc - optind < 1) return UsageError("dump", "expected at least one ADAPTER");
    const std::vector<std::string> names(argv + optind, argv + argc);
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (names[i] == names[j]) return UsageError("dump", "adapter '%s' is named twice", names[i].c_str());
    // The lines of several adapters are aligned, as candump aligns its
    // interface names.
    size_t width = 0;
    for (const std::string &n : names) width = std::max(width, n.size());
    ApplyTrace(config);

    FILE *log = nullptr;
    if (!logPath.empty()) {
        log = std::fopen(logPath.c_str(), "w");
        if (log == nullptr) {
            Complain("dump", "cannot write log file %s: %s", logPath.c_str(), std::strerror(errno));
            return kExitFailure;
        }
    }
    // With the capture on standard output the lines are not shown.
    const bool pcapToStdout = pcapPath == "-";
    PcapFile *pcap = nullptr;
    if (!pcapPath.empty() && (pcap = PcapOpen(pcapPath, names, &why)) == nullptr) {
        Complain("dump", "%s", why.c_str());
        if (log) std::fclose(log);
        return kExitFailure;
    }

    RcvEvent *event = CreateRcvEvent("dump");
    if (event == nullptr) {
        if (log) std::fclose(log);
        if (pcap) PcapClose(pcap, &why);
        return kExitFailure;
    }
    InstallStopSignals(event);
    int status = kExitOk;
    std::vector<int32_t> handles;
    if (!OpenAdapters("dump", names, config.listenOnly ? KORVA_MODE_LISTEN_ONLY : KORVA_MODE_NORMAL, config,
                      &handles)) {
        if (log) std::fclose(log);
        if (pcap) PcapClose(pcap, &why);
        InstallStopSignals(nullptr);
        DestroyRcvEvent(event);
        return kExitFailure;
    }
    // One event for all: it is released for a frame of any adapter, and
    // when one is lost or comes back.
    for (int32_t h : handles) KORVA_SetRcvEvent(h, RcvEventHandle(event));
    std::vector<LinkWatch> watches(handles.size());
    for (size_t a = 0; a < handles.size(); ++a) watches[a] = {handles[a], names[a], {}, 0};

    std::vector<uint64_t> received(names.size()), shownOf(names.size());
    uint64_t shown = 0;
    size_t lost = names.size(); // the adapter whose connection was lost
    bool outputFailed = false;
    // The capture is written out once a second: a dump that is killed
    // loses at most the last second of it.
    constexpr int64_t kPcapFlushNs = 1000000000;
    int64_t pcapFlushed = MonotonicNanos();
    auto pcapFailed = [&]() {
        // A reader at the other end of the pipe that went away ends the
        // dump as a closed standard output does.
        if (pcapToStdout) {
            outputFailed = true;
        } else {
            Complain("dump", "%s", why.c_str());
            status = kExitFailure;
        }
    };
    auto flushPcap = [&]() {
        pcapFlushed = MonotonicNanos();
        if (!PcapFlush(pcap, &why)) pcapFailed();
    };
    CanFdMsg frames[64]; // classic and CAN FD frames
    while (!StopRequested() && (count == 0 || shown < count) && !outputFailed && status == kExitOk &&
           lost == names.size()) {
        uint32_t total = 0;
        for (size_t a = 0; a < handles.size() && status == kExitOk && (count == 0 || shown < count); ++a) {
            uint32_t n = 0;
            const int32_t rc = KORVA_ReadFd(handles[a], frames, 64, &n);
            if (rc == KORVA_ERR_NO_DEVICE) {
                lost = a;
                break;
            }
            if (rc != 0) {
                Complain("dump", "reading frames from %s failed: %s", names[a].c_str(), Reason(rc).c_str());
                status = kExitFailure;
                break;
            }
            total += n;
            if (n == 0) continue;
            int64_t nowSeconds = 0;
            int32_t nowMicros = 0;
            WallClock(&nowSeconds, &nowMicros);
            std::string shownName = names[a];
            shownName.resize(width, ' ');
            for (uint32_t i = 0; i < n && (count == 0 || shown < count); ++i) {
                ++received[a];
                if (!PassesFilters(filters, ClassicPartOf(frames[i]))) continue;
                ++shown;
                ++shownOf[a];
                if (!pcapToStdout) {
                    const std::string line = FormatFdDumpLine(shownName, frames[i], config.timestamps);
                    std::fputs(line.c_str(), stdout);
                    std::fputc('\n', stdout);
                }
                if (log) {
                    const std::string entry = FormatFdLogLine(nowSeconds, nowMicros, names[a], frames[i]);
                    std::fputs(entry.c_str(), log);
                    std::fputc('\n', log);
                }
                if (pcap && !PcapWrite(pcap, a, nowSeconds, nowMicros, frames[i], &why)) {
                    pcapFailed();
                    break;
                }
            }
        }
        if (status != kExitOk || lost != names.size()) break;
        if (config.reconnect)
            for (LinkWatch &w : watches) WatchLink("dump", &w);
        if (total == 0) {
            if (pcap && PcapPending(pcap)) {
                const int64_t left = pcapFlushed + kPcapFlushNs - MonotonicNanos();
                if (left <= 0 || !WaitRcvEvent(event, static_cast<int>(left / 1000000) + 1)) flushPcap();
            } else {
                WaitRcvEvent(event, -1);
            }
            continue;
        }
        // A closed pipe (korva dump ... | head) ends the dump.
        if (!pcapToStdout && std::fflush(stdout) != 0) outputFailed = true;
        if (log && std::fflush(log) != 0) {
            Complain("dump", "writing log file %s failed: %s", logPath.c_str(), std::strerror(errno));
            status = kExitFailure;
            break;
        }
        if (pcap && MonotonicNanos() - pcapFlushed >= kPcapFlushNs) flushPcap();
    }

    std::vector<uint32_t> flags(handles.size());
    std::vector<int32_t> flagsRc(handles.size());
    for (size_t a = 0; a < handles.size(); ++a) {
        if (config.reconnect) WatchLink("dump", &watches[a]);
        flagsRc[a] = KORVA_Ioctl(handles[a], KORVA_IOCTL_GET_FLAGS, &flags[a]);
        KORVA_SetRcvEvent(handles[a], nullptr);
    }
    CloseAdapters(handles);
    InstallStopSignals(nullptr);
    DestroyRcvEvent(event);
    if (log && std::fclose(log) != 0 && status == kExitOk) {
        Complain("dump", "writing log file %s failed: %s", logPath.c_str(), std::strerror(errno));
        status = kExitFailure;
    }
    if (pcap && !PcapClose(pcap, &why) && status == kExitOk && !outputFailed && !pcapToStdout) {
        Complain("dump", "%s", why.c_str());
        status = kExitFailure;
    }

    // One line for each adapter; it names the adapter when there are several.
    for (size_t a = 0; a < handles.size(); ++a) {
        std::string summary = names.size() > 1 ? names[a] + ": " : "";
        summary += std::to_string(received[a]) + (received[a] == 1 ? " frame" : " frames") + " received";
        if (!filters.empty()) summary += ", " + std::to_string(shownOf[a]) + " shown";
        if (flagsRc[a] != 0) summary += "; unknown whether frames were lost (" + Reason(flagsRc[a]) + ")";
        else if (flags[a] & KORVA_STATUS_BUFFER_OVERRUN) summary += "; FRAMES WERE LOST (receive buffer overrun)";
        else summary += "; no frames lost";
        const uint32_t outages = watches[a].seen.Losses;
        if (outages != 0)
            summary += "; " + std::to_string(outages) + (outages == 1 ? " outage" : " outages") + ", " +
                       std::to_string(watches[a].seen.Reconnections) + " back";
        Complain("dump", "%s", summary.c_str());
    }
    for (size_t a = 0; a < handles.size(); ++a) {
        // With reconnection the adapter counts as lost only if it is not back.
        const bool stillLost = config.reconnect ? watches[a].seen.Losses != watches[a].seen.Reconnections
                                                : flagsRc[a] == 0 && (flags[a] & KORVA_STATUS_CHANNEL_LOST);
        if (lost == a || stillLost) {
            Complain("dump", "the connection to adapter '%s' was lost", names[a].c_str());
            status = kExitFailure;
        }
    }
    return status;
}

int CmdSend(int argc, char **argv) {
    static const option kLong[] = {{"bitrate", required_argument, nullptr, 'b'},
                                   {"btr", required_argument, nullptr, kOptBtr},
                                   {"data-bitrate", required_argument, nullptr, kOptDataBitrate},
                                   {"acc-code", required_argument, nullptr, kOptAccCode},
                                   {"acc-mask", required_argument, nullptr, kOptAccMask},
                                   {"count", required_argument, nullptr, kOptCount},
                                   {"rate", required_argument, nullptr, kOptRate},
                                   {"reconnect", no_argument, nullptr, kOptReconnect},
                                   {"trace", required_argument, nullptr, kOptTrace},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    AdapterConfig config;
    uint64_t rounds = 1, rate = 0;
    bool loadGenerator = false;
    std::string why;
    for (int opt; (opt = NextOption("send", argc, argv, ":b:h", kLong)) != -1;) {
        switch (opt) {
        case 'h':
            std::printf(kSendHelp, kAdapterOptionsHelp, kReconnectOptionHelp, kTraceOptionHelp, kOsExampleAdapter);
            return kExitOk;
        case kOptCount:
            if (!ParseCount(optarg, &rounds, &why)) return UsageError("send", "bad --count '%s': %s", optarg, why.c_str());
            loadGenerator = true;
            break;
        case kOptRate:
            if (!ParseCount(optarg, &rate, &why) || rate == 0 || rate > 10000000)
                return UsageError("send", "bad --rate '%s': expected frames per second, 1..10000000", optarg);
            loadGenerator = true;
            break;
        case kOptReconnect: config.reconnect = true; break;
        case '?': return kExitUsage;
        default:
            if (TakeAdapterOption("send", opt, optarg, &config) != 1) return kExitUsage;
        }
    }
    if (argc - optind < 2) return UsageError("send", "expected ADAPTER and at least one FRAME");
    const std::string name = argv[optind];
    // Every frame is checked before the adapter is touched.
    std::vector<CanFdMsg> frames;
    for (int i = optind + 1; i < argc; ++i) {
        CanFdMsg f{};
        if (!ParseFdFrame(argv[i], &f, &why)) return UsageError("send", "bad frame '%s': %s", argv[i], why.c_str());
        if ((f.Flags & KORVA_FLAG_FD) && !config.setDataBitrate)
            return UsageError("send", "CAN FD frame '%s' needs --data-bitrate", argv[i]);
        frames.push_back(f);
    }
    ApplyTrace(config);

    InstallStopSignals(nullptr);
    std::vector<int32_t> handles;
    if (!OpenAdapters("send", {name}, KORVA_MODE_NORMAL, config, &handles)) return kExitFailure;
    const int32_t h = handles[0];
    LinkWatch watch{h, name, {}, 0};
    // While the adapter is lost, the frame waits: true when it may be
    // written again, false on a stop request.
    auto awaitReturn = [&] {
        constexpr int64_t kLookNs = 20000000;
        while (WatchLink("send", &watch))
            if (!SleepUntil(MonotonicNanos() + kLookNs)) return false;
        return true;
    };

    int status = kExitOk;
    uint64_t sent = 0;
    const double start = MonotonicSeconds();
    int64_t due = MonotonicNanos();
    const int64_t periodNs = rate ? static_cast<int64_t>(1000000000ULL / rate) : 0;
    for (uint64_t round = 0; (rounds == 0 || round < rounds) && !StopRequested() && status == kExitOk; ++round) {
        if (rate == 0) {
            // As fast as the adapter takes them: the whole list in one call.
            uint32_t written = 0;
            int32_t rc = KORVA_WriteFd(h, frames.data(), static_cast<uint32_t>(frames.size()), &written);
            sent += written;
            // The rest of the round waits for the adapter; none is sent twice.
            while (rc == KORVA_ERR_NO_DEVICE && config.reconnect && awaitReturn()) {
                const uint32_t done = written;
                rc = KORVA_WriteFd(h, frames.data() + done, static_cast<uint32_t>(frames.size()) - done, &written);
                sent += written;
                written += done;
            }
            if (rc != 0) {
                if (StopRequested()) break;
                Complain("send", "sending %s failed: %s", FormatFdFrame(frames[written]).c_str(), Reason(rc).c_str());
                status = kExitFailure;
            }
            continue;
        }
        for (size_t i = 0; i < frames.size() && !StopRequested(); ++i) {
            // Absolute deadlines keep the average rate even when one
            // frame is late; a signal ends the sleep early.
            if (!SleepUntil(due)) break;
            uint32_t written = 0;
            int32_t rc = KORVA_WriteFd(h, &frames[i], 1, &written);
            if (rc == 0) rc = KORVA_Flush(h);
            sent += written;
            if (rc == KORVA_ERR_NO_DEVICE && config.reconnect) {
                // A frame refused is sent again once the adapter is back;
                // the schedule starts afresh from then.
                if (written == 0) --i;
                if (!awaitReturn()) break;
                due = MonotonicNanos();
                continue;
            }
            if (rc != 0) {
                Complain("send", "sending %s failed: %s", FormatFdFrame(frames[i]).c_str(), Reason(rc).c_str());
                status = kExitFailure;
                break;
            }
            due += periodNs;
        }
    }
    int32_t flushRc = KORVA_Flush(h);
    if (flushRc == KORVA_ERR_NO_DEVICE && config.reconnect && !StopRequested()) flushRc = 0; // dropped, counted below
    const double elapsed = MonotonicSeconds() - start;
    if (config.reconnect) WatchLink("send", &watch);
    KORVA_Close(h);
    InstallStopSignals(nullptr);
    if (flushRc != 0 && status == kExitOk) {
        Complain("send", "flushing the queued frames failed: %s", Reason(flushRc).c_str());
        status = kExitFailure;
    }
    if (loadGenerator) {
        const double perSecond = elapsed > 0 ? static_cast<double>(sent) / elapsed : 0.0;
        Complain("send", "%llu frames sent in %.3f s: %.0f frames/s", static_cast<unsigned long long>(sent), elapsed,
                 perSecond);
    }
    if (watch.seen.Losses != 0)
        Complain("send", "%u outages, %u back; %u queued frames dropped by them", watch.seen.Losses,
                 watch.seen.Reconnections, watch.seen.DroppedFrames);
    return status;
}

} // namespace korva_tool
