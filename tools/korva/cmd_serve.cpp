// cmd_serve.cpp - "korva serve": one adapter shared with Lawicel clients
// over TCP.
//
// The adapter is opened through korva_api; every client connection is a
// session of its own that speaks the adapter side of the protocol
// (lawicel_peer::Adapter: open, closed, time stamps, settings).  One loop
// waits for all sockets (net.h) and never blocks on a client: each has a
// bounded queue of bytes for it, frames past the bound are dropped for
// that client alone (counted, and flagged as data overrun in its "F"
// reply), and a client that takes nothing for the stall time is cut off.
// A helper thread waits for the library's receive event and wakes the
// loop, which reads the frames and hands them to every open session.
#include "cantext.h"
#include "command_lines.h"
#include "adapter.h"
#include "net.h"
#include "tool.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace korva_tool {
namespace {

using lawicel_peer::Adapter;
using lawicel_peer::Frame;

constexpr char kServeHelp[] = R"(Usage: korva serve [options] ADAPTER

Shares ADAPTER with programs that speak the Lawicel protocol over TCP:
korva itself ("korva dump HOST:PORT"), python-can's slcan interface
(channel "socket://HOST:PORT"), korva.exe and the PEAK mapper, and other
Lawicel-over-TCP clients.  Each client has a session of its own (open or
closed, time stamps, status flags).  Frames the adapter receives go to
every open session; a frame a session sends goes to the adapter and, as on
the bus, to every other open session.  The server owns the bus: a client's
bit-rate command is accepted when it is the server's own (-b or --btr) and
refused otherwise; every session receives all frames, so an acceptance
mask other than FFFFFFFF is refused.  With --data-bitrate the sessions
speak the slcan CAN FD extension too: FD frames both ways, and a client's
data bit rate ("Yn") accepted when it is the server's own.  The protocol
has no authentication: anyone who reaches the port uses the bus.

Runs until Ctrl-C or SIGTERM.  Standard error gets a line for each client
that comes or goes, and a status line on SIGUSR1 or every --stats SECONDS.
A lost adapter is opened again when it comes back; meanwhile sessions see
it in their status flags ("F": bit 4) and frames they send are refused.

      --tcp PORT       listen on PORT (default 2001; 0: any free port)
      --listen ADDR    listen on ADDR (default 127.0.0.1, this machine only;
                       0.0.0.0 or :: for every network)
  -b, --bitrate RATE   set the bus bit rate: a speed code 0..8 or a rate
                       (10k 20k 50k 100k 125k 250k 500k 800k 1M)
      --btr XXYY       set the bit-timing registers BTR0 BTR1 (hex) instead
      --data-bitrate RATE
                       set the CAN FD data bit rate (500k 1M 2M 4M 5M 8M) and
                       share FD frames
      --listen-only    open the adapter listen-only (clients cannot send)
      --max-clients N  serve at most N clients at once (default 8); the next
                       one is refused at once
      --queue FRAMES   room for FRAMES frames per client (default 4096)
      --stall SECONDS  cut off a client that takes nothing for SECONDS
                       while frames wait for it (default 10)
      --stats SECONDS  print a status line every SECONDS
%s
  korva serve -b 500k %s
  korva serve --tcp 2001 --listen 0.0.0.0 %s
)";

enum : int {
    kOptTcp = 0x200,
    kOptListen,
    kOptMaxClients,
    kOptQueue,
    kOptStall,
    kOptStats,
};

constexpr size_t kMaxCommandLine = 63;    // longer lines are refused with BEL
constexpr size_t kMaxFdCommandLine = 138; // with CAN FD: "D", 8 identifier digits, length digit, 128 data digits
constexpr size_t kReadChunk = 4096;       // bytes taken from one client per round
constexpr int64_t kFlagsIntervalNs = 100'000'000; // the adapter's flags are asked at most this often
constexpr uint8_t kStatusOverrun = 0x08;  // "F": data overrun (frames for this client dropped)
constexpr uint8_t kStatusLost = 0x10;     // "F": the adapter was lost

struct Options {
    std::string adapter;
    std::string listenAddr = "127.0.0.1";
    uint16_t port = 2001;
    AdapterConfig config;
    size_t maxClients = 8;
    size_t queueFrames = 4096;
    int64_t stallNs = 10'000'000'000;
    int64_t statsNs = 0;
};

struct Session {
    explicit Session(bool fd) : lines(fd ? kMaxFdCommandLine : kMaxCommandLine) {
        if (fd) proto.dialect = lawicel_peer::Dialect::Fd;
    }
    NetSocket socket = kNoSocket;
    std::string peer;           // "127.0.0.1:40312"
    int64_t since = 0;          // connected, MonotonicNanos()
    Adapter proto;              // the session's protocol state
    lawicel_peer::CommandLines lines;
    std::string out;            // bytes waiting for the client
    size_t outPos = 0;
    int64_t lastProgress = 0;   // the client last took bytes, or had none waiting
    uint64_t framesTo = 0, framesFrom = 0, dropped = 0;
    uint8_t flags = 0;          // status bits since its last "F"
    const char *gone = nullptr; // why the session ends, once it does

    size_t Pending() const { return out.size() - outPos; }
};

struct Server {
    Options opt;
    int32_t handle = 0;
    std::string identitySerial;
    uint8_t hw = 0, sw = 0;
    std::string rateText;        // "S6", "s001C" or "" (the adapter's own)
    std::string dataRateText;    // "Y2", or "" (no CAN FD)
    NetSocket listener = kNoSocket;
    std::vector<std::unique_ptr<Session>> sessions;
    int64_t start = 0;
    int64_t flagsAsked = 0;      // last KORVA_IOCTL_GET_FLAGS
    LinkStats link{};
    bool lost = false;
    uint64_t fromAdapter = 0, toAdapter = 0, dropped = 0, refused = 0;
};

void Say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Say(const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "korva serve: %s\n", line);
}

double Seconds(int64_t ns) { return static_cast<double>(ns) / 1e9; }
// A count for "%u" (the Windows C library knows no "%zu").
unsigned U(size_t n) { return static_cast<unsigned>(n); }

Frame FromCanFdMsg(const CanFdMsg &m) {
    Frame f;
    f.id = m.Identifier;
    f.fd = (m.Flags & KORVA_FLAG_FD) != 0;
    f.brs = (m.Flags & KORVA_FLAG_BRS) != 0;
    f.len = std::min<uint8_t>(m.Length, f.fd ? 64 : 8); // a classic remote frame's length code too
    std::memcpy(f.data, m.Data, f.len);
    f.extended = (m.Flags & KORVA_FLAG_EXTENDED) != 0;
    f.remote = (m.Flags & KORVA_FLAG_REMOTE) != 0;
    return f;
}

CanFdMsg ToCanFdMsg(const Frame &f) {
    CanFdMsg m{};
    m.Identifier = f.id;
    m.Length = f.len;
    if (!f.remote) std::memcpy(m.Data, f.data, std::min<size_t>(f.len, sizeof m.Data));
    m.Flags = static_cast<uint8_t>((f.extended ? KORVA_FLAG_EXTENDED : KORVA_FLAG_STANDARD) |
                                   (f.remote ? KORVA_FLAG_REMOTE : 0) | (f.fd ? KORVA_FLAG_FD : 0) |
                                   (f.brs ? KORVA_FLAG_BRS : 0));
    return m;
}

// The bytes a client's queue holds: --queue frame lines of the longest
// kind the server shares.
size_t QueueLimit(const Server &srv) {
    return srv.opt.queueFrames *
           (srv.dataRateText.empty() ? lawicel_peer::kMaxClassicFrameLine : lawicel_peer::kMaxFrameLine);
}

// Queues a frame line for every open session but the sender; a session
// whose queue is full loses it, counted.
void FanOut(Server &srv, const Frame &f, const Session *sender) {
    const int stamp = static_cast<int>((MonotonicNanos() - srv.start) / 1'000'000 % 60000);
    const size_t limit = QueueLimit(srv);
    for (auto &s : srv.sessions) {
        if (s.get() == sender || s->gone || !s->proto.IsOpen()) continue;
        char line[lawicel_peer::kMaxFrameLine];
        const size_t n = lawicel_peer::FormatFrameLine(f, s->proto.Timestamps() ? stamp : -1, line);
        if (s->Pending() + n > limit) {
            ++s->dropped;
            ++srv.dropped;
            s->flags |= kStatusOverrun;
            continue;
        }
        if (s->Pending() == 0) s->lastProgress = MonotonicNanos();
        s->out.append(line, n);
        ++s->framesTo;
    }
}

// The adapter's status flags, asked at most every kFlagsIntervalNs and
// ORed into every session's own bits: each "F" reply shows what happened
// since that session's previous one.
void RefreshFlags(Server &srv) {
    const int64_t now = MonotonicNanos();
    if (now - srv.flagsAsked < kFlagsIntervalNs) return;
    srv.flagsAsked = now;
    uint32_t flags = 0;
    if (KORVA_Ioctl(srv.handle, KORVA_IOCTL_GET_FLAGS, &flags) != 0) return;
    uint8_t bits = static_cast<uint8_t>(flags & 0xFF);
    if (flags & KORVA_STATUS_BUFFER_OVERRUN) bits |= kStatusOverrun;
    if (flags & KORVA_STATUS_CHANNEL_LOST) bits |= kStatusLost;
    for (auto &s : srv.sessions) s->flags |= bits;
}

// A bit-rate command ("S6", "s001c") as the rate it sets: "S" and the speed
// code, also for the bit-timing registers of a speed code (SJA1000 at
// 16 MHz, as korva_api takes them), else "s" and the registers in upper
// case.  "" for what is no bit-rate command.
std::string BusRate(std::string_view cmd) {
    static constexpr const char *kCodeRegisters[] = {"672F", "532F", "472F", "432F", "031C",
                                                     "011C", "001C", "0016", "0014"};
    if (cmd.size() == 2 && cmd[0] == 'S' && cmd[1] >= '0' && cmd[1] <= '8') return std::string(cmd);
    uint32_t ignored = 0;
    if (cmd.size() != 5 || cmd[0] != 's' || !lawicel_peer::ParseHex(cmd.substr(1), ignored)) return "";
    std::string regs(cmd.substr(1));
    for (char &c : regs) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (int code = 0; code <= 8; ++code)
        if (regs == kCodeRegisters[code]) return "S" + std::to_string(code);
    return "s" + regs;
}

// Whether the server lets a closed session run a setting command: the bit
// rate only as the server has it, the acceptance mask only letting every
// frame through (each session receives all of them).
bool SettingAllowed(Server &srv, Session &s, std::string_view cmd) {
    if (s.proto.IsOpen() || cmd.empty()) return true; // the protocol refuses or takes it
    const char letter = cmd[0];
    if (letter == 'S' || letter == 's') {
        const std::string asked = BusRate(cmd);
        if (asked.empty() || (!srv.rateText.empty() && asked == srv.rateText)) return true; // malformed: BEL anyway
        Say("%s: bit rate %s refused: %s", s.peer.c_str(), lawicel_peer::Printable(cmd).c_str(),
            srv.rateText.empty() ? "the bus runs at the adapter's own rate (serve was given no -b or --btr)"
                                 : ("the bus runs at " + srv.rateText).c_str());
        return false;
    }
    if (letter == 'Y' && cmd.size() == 2) { // the data bit rate ("Y" alone opens)
        if (!srv.dataRateText.empty() && cmd == srv.dataRateText) return true;
        Say("%s: data bit rate %s refused: %s", s.peer.c_str(), lawicel_peer::Printable(cmd).c_str(),
            srv.dataRateText.empty() ? "the server shares no CAN FD (serve was given no --data-bitrate)"
                                     : ("the data phase runs at " + srv.dataRateText).c_str());
        return false;
    }
    if (letter == 'm') {
        uint32_t mask = 0;
        if (cmd.size() == 9 && lawicel_peer::ParseHex(cmd.substr(1), mask) && mask != 0xFFFFFFFF) {
            Say("%s: acceptance mask %s refused: every session receives all frames", s.peer.c_str(),
                lawicel_peer::Printable(cmd).c_str());
            return false;
        }
    }
    return true;
}

void HandleCommand(Server &srv, Session &s, std::string_view cmd, bool overlong) {
    if (overlong || !SettingAllowed(srv, s, cmd)) {
        s.out += '\a';
        return;
    }
    if (cmd == "F") {
        RefreshFlags(srv);
        if (srv.lost) s.flags |= kStatusLost;
        s.proto.identity.status = s.flags;
        s.flags = 0;
    }
    Adapter::Outcome o = s.proto.Execute(cmd);
    if (o.transmit) {
        const CanFdMsg m = ToCanFdMsg(*o.transmit);
        uint32_t written = 0;
        const int32_t rc = srv.lost ? KORVA_ERR_NO_DEVICE : KORVA_WriteFd(srv.handle, &m, 1, &written);
        if (rc != 0 || written != 1) {
            ++srv.refused;
            o.reply = "\a";
        } else {
            ++s.framesFrom;
            ++srv.toAdapter;
            FanOut(srv, *o.transmit, &s);
        }
    }
    if (s.Pending() == 0) s.lastProgress = MonotonicNanos();
    s.out += o.reply;
}

void ReadClient(Server &srv, Session &s) {
    char buf[kReadChunk];
    const long n = NetRecv(s.socket, buf, sizeof buf);
    if (n < 0) {
        s.gone = "the client closed the connection";
        return;
    }
    const uint64_t before = srv.toAdapter;
    s.lines.Feed(buf, static_cast<size_t>(n),
                 [&](std::string_view cmd, bool overlong) { HandleCommand(srv, s, cmd, overlong); });
    // The frames of this chunk leave now, from this thread, rather than
    // when the library's reader thread gets to them.
    if (srv.toAdapter != before) KORVA_Flush(srv.handle);
}

void WriteClient(Server &srv, Session &s) {
    const int64_t now = MonotonicNanos();
    while (s.Pending() > 0) {
        const long n = NetSend(s.socket, s.out.data() + s.outPos, s.Pending());
        if (n < 0) {
            s.gone = "the connection broke";
            return;
        }
        if (n == 0) break;
        s.outPos += static_cast<size_t>(n);
        s.lastProgress = now;
    }
    if (s.outPos == s.out.size()) {
        s.out.clear();
        s.outPos = 0;
    } else if (s.outPos > 65536) {
        s.out.erase(0, s.outPos);
        s.outPos = 0;
    }
    if (s.Pending() > 0 && now - s.lastProgress > srv.opt.stallNs) s.gone = "stalled: it took nothing";
}

void ReadAdapter(Server &srv) {
    CanFdMsg frames[256];
    for (;;) {
        uint32_t n = 0;
        if (KORVA_ReadFd(srv.handle, frames, 256, &n) != 0 || n == 0) return;
        for (uint32_t i = 0; i < n; ++i) FanOut(srv, FromCanFdMsg(frames[i]), nullptr);
        srv.fromAdapter += n;
        // Into the sockets at once: a burst fills the clients' socket
        // buffers before their own queues.
        for (auto &s : srv.sessions)
            if (!s->gone && s->Pending() > 0) WriteClient(srv, *s);
        if (n < 256) return;
    }
}

// Notices the adapter's loss and return (the library opens it again).
void CheckLink(Server &srv) {
    LinkStats now{};
    if (KORVA_Ioctl(srv.handle, KORVA_IOCTL_GET_LINK_STATS, &now) != 0) return;
    if (now.Losses != srv.link.Losses) {
        Say("adapter %s lost: sessions see it in their status flags; waiting for it to come back",
            srv.opt.adapter.c_str());
        srv.lost = true;
        for (auto &s : srv.sessions) s->flags |= kStatusLost;
    }
    if (srv.lost && now.Reconnections == now.Losses) {
        Say("adapter %s is back", srv.opt.adapter.c_str());
        srv.lost = false;
    }
    srv.link = now;
}

void Accept(Server &srv) {
    for (NetSocket c; (c = NetAccept(srv.listener)) != kNoSocket;) {
        const std::string peer = NetAddress(c, true);
        if (srv.sessions.size() >= srv.opt.maxClients) {
            Say("%s refused: %u clients already (--max-clients)", peer.c_str(), U(srv.sessions.size()));
            NetClose(c);
            continue;
        }
        auto s = std::make_unique<Session>(!srv.dataRateText.empty());
        s->socket = c;
        s->peer = peer;
        s->since = s->lastProgress = MonotonicNanos();
        s->proto.identity.serial = srv.identitySerial;
        s->proto.identity.hw = srv.hw;
        s->proto.identity.sw = srv.sw;
        srv.sessions.push_back(std::move(s));
        Say("%s connected (%u of %u)", peer.c_str(), U(srv.sessions.size()), U(srv.opt.maxClients));
    }
}

void EndSession(Session &s) {
    Say("%s left after %.1f s (%s): %" PRIu64 " frames to it, %" PRIu64 " from it, %" PRIu64 " dropped",
        s.peer.c_str(), Seconds(MonotonicNanos() - s.since), s.gone, s.framesTo, s.framesFrom, s.dropped);
    NetClose(s.socket);
}

void PrintStatus(const Server &srv) {
    const size_t open = static_cast<size_t>(std::count_if(
        srv.sessions.begin(), srv.sessions.end(), [](const auto &s) { return s->proto.IsOpen(); }));
    Say("status: %s %s, %u clients (%u open), %" PRIu64 " frames from the adapter, %" PRIu64 " to it, %" PRIu64
        " refused, %" PRIu64 " dropped for slow clients, lost %u times",
        srv.opt.adapter.c_str(), srv.lost ? "lost" : "up", U(srv.sessions.size()), U(open), srv.fromAdapter, srv.toAdapter,
        srv.refused, srv.dropped, static_cast<unsigned>(srv.link.Losses));
    for (const auto &s : srv.sessions)
        Say("status: %s %s for %.1f s: %" PRIu64 " frames to it, %" PRIu64 " from it, %" PRIu64
            " dropped, %u bytes waiting",
            s->peer.c_str(), s->proto.IsOpen() ? "open" : "closed", Seconds(MonotonicNanos() - s->since),
            s->framesTo, s->framesFrom, s->dropped, U(s->Pending()));
}

int ParseOptions(int argc, char **argv, Options *opt) {
    static const option kLong[] = {{"tcp", required_argument, nullptr, kOptTcp},
                                   {"listen", required_argument, nullptr, kOptListen},
                                   {"bitrate", required_argument, nullptr, 'b'},
                                   {"btr", required_argument, nullptr, kOptBtr},
                                   {"data-bitrate", required_argument, nullptr, kOptDataBitrate},
                                   {"listen-only", no_argument, nullptr, kOptListenOnly},
                                   {"max-clients", required_argument, nullptr, kOptMaxClients},
                                   {"queue", required_argument, nullptr, kOptQueue},
                                   {"stall", required_argument, nullptr, kOptStall},
                                   {"stats", required_argument, nullptr, kOptStats},
                                   {"trace", required_argument, nullptr, kOptTrace},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    for (int o; (o = NextOption("serve", argc, argv, ":b:h", kLong)) != -1;) {
        if (o == '?') return kExitUsage;
        if (o == 'h') {
            std::printf(kServeHelp, kTraceOptionHelp, kOsExampleAdapter, kOsExampleAdapter);
            return -1;
        }
        if (const int took = TakeAdapterOption("serve", o, optarg, &opt->config); took == kExitUsage) return took;
        else if (took == 1) continue;
        uint64_t v = 0;
        std::string why;
        if (o == kOptListen) {
            opt->listenAddr = optarg;
            continue;
        }
        if (!ParseCount(optarg, &v, &why))
            return UsageError("serve", "bad %s '%s': %s", argv[optind - 1], optarg, why.c_str());
        switch (o) {
        case kOptTcp:
            if (v > 65535) return UsageError("serve", "bad --tcp '%s': a port 0..65535", optarg);
            opt->port = static_cast<uint16_t>(v);
            break;
        case kOptMaxClients:
            if (v < 1 || v > 1000) return UsageError("serve", "bad --max-clients '%s': 1..1000", optarg);
            opt->maxClients = v;
            break;
        case kOptQueue:
            if (v < 1 || v > 1'000'000) return UsageError("serve", "bad --queue '%s': 1..1000000", optarg);
            opt->queueFrames = v;
            break;
        case kOptStall:
        case kOptStats:
            if (v < 1 || v > 86400) return UsageError("serve", "bad %s '%s': 1..86400 seconds", argv[optind - 1], optarg);
            (o == kOptStall ? opt->stallNs : opt->statsNs) = static_cast<int64_t>(v) * 1'000'000'000;
            break;
        default: return UsageError("serve", "unexpected option");
        }
    }
    if (optind != argc - 1) return UsageError("serve", optind == argc ? "name one adapter" : "name only one adapter");
    if (opt->config.setSpeed && opt->config.setBtr) return UsageError("serve", "give -b or --btr, not both");
    opt->adapter = argv[optind];
    return 0;
}

// Opens and configures the adapter, with reconnection on.
bool OpenServed(Server &srv) {
    const Options &opt = srv.opt;
    srv.handle = OpenAdapter("serve", opt.adapter,
                             opt.config.listenOnly ? KORVA_MODE_LISTEN_ONLY : KORVA_MODE_NORMAL);
    if (srv.handle <= 0) return false;
    if (!ConfigureAdapter("serve", srv.handle, opt.config)) return false;
    if (const int32_t rc = KORVA_Ioctl(srv.handle, KORVA_IOCTL_SET_RECONNECT, KORVA_IOCTL_INT(1)); rc != 0)
        Complain("serve", "cannot switch reconnection on: %s", Reason(rc).c_str());
    HwParam hw{};
    if (KORVA_Ioctl(srv.handle, KORVA_IOCTL_GET_HW_PARAM, &hw) == 0) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%04u", static_cast<unsigned>(hw.SerialNr % 100000000));
        srv.identitySerial = serial;
        srv.hw = hw.HwVersion;
        srv.sw = hw.SwVersion;
    }
    KORVA_Ioctl(srv.handle, KORVA_IOCTL_GET_LINK_STATS, &srv.link);
    char rate[8] = "";
    if (opt.config.setSpeed) std::snprintf(rate, sizeof rate, "S%d", static_cast<int>(opt.config.speed));
    if (opt.config.setBtr) std::snprintf(rate, sizeof rate, "s%02X%02X", opt.config.btr[0], opt.config.btr[1]);
    srv.rateText = BusRate(rate);
    if (opt.config.setDataBitrate) srv.dataRateText = "Y" + std::to_string(opt.config.dataBitrate);
    return true;
}

void Serve(Server &srv, NetWaker *waker) {
    int64_t nextStats = srv.opt.statsNs ? MonotonicNanos() + srv.opt.statsNs : 0;
    std::vector<NetWatch> watches;
    const size_t limit = QueueLimit(srv);
    while (!StopRequested()) {
        watches.clear();
        watches.push_back({srv.listener, true, false});
        for (auto &s : srv.sessions)
            // A client with a full queue is read again once it takes its
            // replies: its flood of commands waits in its own socket.
            watches.push_back({s->socket, s->Pending() < limit, s->Pending() > 0});
        if (!NetWait(watches, waker, 100)) break;
        ReadAdapter(srv);
        CheckLink(srv);
        for (size_t i = 1; i < watches.size(); ++i)
            if (watches[i].readable && !srv.sessions[i - 1]->gone) ReadClient(srv, *srv.sessions[i - 1]);
        for (auto &s : srv.sessions)
            if (!s->gone) WriteClient(srv, *s);
        for (auto it = srv.sessions.begin(); it != srv.sessions.end();) {
            if ((*it)->gone) {
                EndSession(**it);
                it = srv.sessions.erase(it);
            } else {
                ++it;
            }
        }
        // After the sessions that ended: a client that closed one
        // connection and opened the next has its place again.
        if (watches[0].readable) Accept(srv);
        const int64_t now = MonotonicNanos();
        if (TakeStatusRequest() || (nextStats && now >= nextStats)) {
            PrintStatus(srv);
            if (nextStats) nextStats = now + srv.opt.statsNs;
        }
    }
}

} // namespace

int CmdServe(int argc, char **argv) {
    Server srv;
    if (const int rc = ParseOptions(argc, argv, &srv.opt); rc != 0) return rc < 0 ? kExitOk : rc;
    ApplyTrace(srv.opt.config);
    RcvEvent *event = CreateRcvEvent("serve");
    if (!event) return kExitFailure;
    std::string why;
    NetWaker *waker = CreateNetWaker(&why);
    if (!waker) {
        Complain("serve", "%s", why.c_str());
        DestroyRcvEvent(event);
        return kExitFailure;
    }
    InstallStopSignals(event);
    InstallStatusSignal();
    int status = kExitFailure;
    srv.listener = NetListen(srv.opt.listenAddr, srv.opt.port, &why);
    if (srv.listener == kNoSocket) {
        Complain("serve", "cannot listen on %s port %u: %s", srv.opt.listenAddr.c_str(),
                 static_cast<unsigned>(srv.opt.port), why.c_str());
    } else if (OpenServed(srv)) {
        KORVA_SetRcvEvent(srv.handle, RcvEventHandle(event));
        std::atomic<bool> quit{false};
        // Waits for frames and wakes the loop, which reads them.
        std::thread waiter([&] {
            while (!quit.load())
                if (WaitRcvEvent(event, 200)) WakeNetWait(waker);
        });
        srv.start = MonotonicNanos();
        Say("serving %s on %s (bit rate %s%s%s, at most %u clients)", srv.opt.adapter.c_str(),
            NetAddress(srv.listener, false).c_str(), srv.rateText.empty() ? "the adapter's own" : srv.rateText.c_str(),
            srv.dataRateText.empty() ? "" : ", CAN FD data bit rate ", srv.dataRateText.c_str(),
            U(srv.opt.maxClients));
        Serve(srv, waker);
        Say("stopping: closing %u sessions and the adapter", U(srv.sessions.size()));
        for (auto &s : srv.sessions) {
            WriteClient(srv, *s);
            s->gone = "the server stopped";
            EndSession(*s);
        }
        srv.sessions.clear();
        quit.store(true);
        waiter.join();
        KORVA_SetRcvEvent(srv.handle, nullptr);
        status = StopRequested() ? kExitOk : kExitFailure;
    }
    if (srv.handle > 0) KORVA_Close(srv.handle);
    NetClose(srv.listener);
    InstallStopSignals(nullptr);
    DestroyNetWaker(waker);
    DestroyRcvEvent(event);
    return status;
}

} // namespace korva_tool
