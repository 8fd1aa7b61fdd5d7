// korva_sim.cpp - a simulated Lawicel adapter on a pseudo-terminal or a TCP
// port, with a control channel on standard input and an event log on
// standard output.  See help.h (korva_sim --help) for the interface.
//
// One thread, one poll loop.  What the adapter sends to the host is
// collected in one output buffer and written as fast as the host's side
// takes it; back-to-back frame jobs (send without every=, flood) are turned
// into text only while that buffer is short, so a flood of any length uses
// little memory and pauses whenever the line does.
#include "adapter.h"
#include "bus.h"
#include "command_lines.h"
#include "frame_text.h"
#include "help.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace korva_sim {
// The adapter's side of the protocol, shared with "korva serve".
using namespace lawicel_peer;

namespace {

constexpr size_t kMaxCommand = 142;      // longer command lines are refused (a 64-byte FD frame fits)
constexpr size_t kLowWater = 64 * 1024;  // refill back-to-back jobs below this
constexpr size_t kHighWater = 4 << 20;   // timed and bus frames are lost above this
constexpr size_t kPumpBudget = 256 * 1024; // bytes written before looking at other input

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    int saved = errno;
    char c = 1;
    ssize_t ignored = write(gSignalPipe[1], &c, 1);
    (void)ignored;
    errno = saved;
}

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SetNonBlockCloexec(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

std::string Errno(const std::string &call) { return call + ": " + strerror(errno); }

// Splits a control line into words separated by blanks.
std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// The text after the first n words of line, leading blanks removed.
std::string_view RestAfter(std::string_view line, size_t n) {
    size_t i = 0;
    for (size_t w = 0; w <= n; ++w) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (w == n) break;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    }
    return line.substr(i);
}

bool ParseHexByte(std::string_view s, uint8_t &out) {
    uint32_t v;
    if (s.size() != 2 || !ParseHex(s, v)) return false;
    out = static_cast<uint8_t>(v);
    return true;
}

enum class Fault { None, Silence, Refuse, Stall };

const char *FaultName(Fault f) {
    switch (f) {
    case Fault::Silence: return "silence";
    case Fault::Refuse: return "refuse";
    case Fault::Stall: return "stall";
    default: return "none";
    }
}

struct Options {
    std::string ptyLink;                     // --pty
    long tcpPort = -1;                       // --tcp
    std::string bus;                         // --bus
    Identity identity;                       // --serial, --hw, --sw, --status
    std::vector<std::string> startCommands;  // --send, --flood, --fault as control lines
    bool logTx = false;                      // --log-tx
    bool logRx = true;                       // --no-log-rx clears it
    bool control = true;                     // --no-control clears it
    Dialect dialect = Dialect::Full;         // --dialect
};

// A send or flood in progress.
struct Job {
    std::string label;       // "send 123#AABB" or "flood"
    bool flood = false;      // data carries the sequence number
    Frame frame;             // frame to send (flood: identifier and length)
    std::string verbatim;    // Lawicel line sent as given, with CR; else empty
    uint64_t total = 1;      // frames to send, 0 = until "stop"
    uint64_t sent = 0;       // frames written to the output
    uint64_t lost = 0;       // timed frames that fell due while nobody took them
    int64_t everyMs = 0;     // 0: back to back as the line takes them
    int64_t dueMs = 0;       // when the next timed frame falls due
    int tsMode = -1;         // -1 as Z0/Z1 says, 0 never, 1 always
    bool Finished() const { return total != 0 && sent + lost >= total; }
};

class Simulator {
public:
    explicit Simulator(Options o) : opt_(std::move(o)) {
        adapter_.identity = opt_.identity;
        adapter_.dialect = opt_.dialect;
        logTx_ = opt_.logTx;
        logRx_ = opt_.logRx;
    }
    ~Simulator() { Cleanup(); }

    // Opens the transport and joins the bus; false with a message on stderr.
    bool Start();
    // Runs until "quit", a signal or the end of standard input.
    void Run();

private:
    bool Tcp() const { return opt_.tcpPort >= 0; }
    int HostFd() const { return Tcp() ? client_ : master_; }
    bool HostConnected() const { return HostFd() >= 0; }
    size_t Pending() const { return out_.size() - outPos_; }

    void Event(std::string_view text);

    // transports
    bool OpenPty(std::string &error);
    bool PlaceLink(std::string &error);
    void ClosePty();
    bool OpenTcp(std::string &error);
    // The "ready" event: held back at the start until the bus is joined,
    // so that a simulator that refuses to join never says it.
    void Ready(const std::string &event) {
        if (started_) Event(event);
        else ready_ = event;
    }
    void Accept();
    void CloseClient();
    void ForgetHostOutput();
    void Cleanup();

    // host side
    void ReadHost();
    void OnHostBytes(const char *p, size_t n);
    void HandleCommand(std::string_view cmd, bool overlong);
    void Pump();

    // frames and jobs
    int Timestamp(int tsMode) const;
    void QueueFrame(const Frame &f, int tsMode);
    void EmitFrame(Job &job);
    void Refill();
    void OnTimers(int64_t now);
    void ReapJobs();
    void ReportDone(const Job &job);
    int PollTimeout(int64_t now) const;
    void OnBusFrame(std::string_view line);

    // control channel
    void ReadControl();
    void Control(std::string_view line);
    bool ExecControl(std::string_view line, std::string &error);
    bool AddSendJob(const std::vector<std::string_view> &w, std::string &error);
    bool AddFloodJob(const std::vector<std::string_view> &w, std::string &error);
    void DropConnection();
    void Unplug();
    bool Plug(std::string_view link, std::string &error);
    void Info();

    Options opt_;
    Adapter adapter_;
    Bus bus_;
    Fault fault_ = Fault::None;
    bool logTx_ = false, logRx_ = true;
    bool running_ = true;
    bool unplugged_ = false;
    int64_t startMs_ = NowMs();

    // pseudo-terminal
    int master_ = -1, slave_ = -1;           // we keep the slave open so the master never hangs up
    std::string ptsName_;                     // /dev/pts/N
    std::string ready_;                       // "ready ..." until Start() has joined the bus
    bool started_ = false;
    std::vector<std::string> createdDirs_;    // made for the link, removed at exit
    // TCP
    int listen_ = -1, client_ = -1;
    uint16_t port_ = 0;

    std::string out_;                         // bytes for the host
    size_t outPos_ = 0;                       // first byte not yet written
    CommandLines commands_{kMaxCommand};      // command lines being received
    std::map<char, std::string> replyText_;   // "reply X TEXT"
    std::map<char, int64_t> delayMs_;         // "delay X MS"
    std::multimap<int64_t, std::string> delayed_; // late replies by due time
    std::list<Job> jobs_;
    std::string ctl_;                         // control input not yet ended by a line feed
    size_t busPeers_ = 0;                     // last reported member count
    uint32_t random_ = 0x2545F491;            // garbage generator state
};

void Simulator::Event(std::string_view text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fputc('\n', stdout);
}

// ---- transports ------------------------------------------------------------

bool Simulator::OpenPty(std::string &error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return error = Errno("posix_openpt"), false;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return error = Errno("unlockpt"), false;
    const char *name = ptsname(master_);
    if (!name) return error = Errno("ptsname"), false;
    ptsName_ = name;
    SetNonBlockCloexec(master_);
    slave_ = open(ptsName_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) return error = Errno("open " + ptsName_), false;
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // Raw from the start: a host that opens the line before it configures
    // it must not see echoes or translated line ends.
    termios t;
    if (tcgetattr(slave_, &t) == 0) {
        t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
        t.c_cflag |= CS8 | CREAD | CLOCAL;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(slave_, TCSANOW, &t);
    }
    if (!PlaceLink(error)) return false;
    Ready("ready pty=" + ptsName_ + " link=" + opt_.ptyLink);
    return true;
}

// Points the link at the current slave.  The new link is made under a
// temporary name and renamed over the old one, so a host that scans the
// directory never finds the name missing.
bool Simulator::PlaceLink(std::string &error) {
    const std::string &link = opt_.ptyLink;
    for (size_t pos = link.find('/', 1); pos != std::string::npos; pos = link.find('/', pos + 1)) {
        std::string dir = link.substr(0, pos);
        if (mkdir(dir.c_str(), 0755) == 0)
            createdDirs_.push_back(dir);
        else if (errno != EEXIST)
            return error = Errno("mkdir " + dir), false;
    }
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        return error = link + " exists and is not a symbolic link", false;
    std::string tmp = link + ".korva_sim." + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(ptsName_.c_str(), tmp.c_str()) != 0) return error = Errno("symlink " + tmp), false;
    if (rename(tmp.c_str(), link.c_str()) != 0) {
        error = Errno("rename " + link);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void Simulator::ClosePty() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
    ForgetHostOutput();
}

bool Simulator::OpenTcp(std::string &error) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listen_ < 0) return error = Errno("socket"), false;
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(opt_.tcpPort));
    if (bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return error = Errno("bind"), false;
    if (listen(listen_, 8) != 0) return error = Errno("listen"), false;
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    SetNonBlockCloexec(listen_);
    Ready("ready tcp=" + std::to_string(port_));
    return true;
}

void Simulator::Accept() {
    for (;;) {
        int c = accept(listen_, nullptr, nullptr);
        if (c < 0) {
            if (errno == EINTR) continue;
            return;
        }
        SetNonBlockCloexec(c);
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (client_ >= 0) CloseClient(); // a new client replaces the old one
        client_ = c;
        Event("client connected");
    }
}

void Simulator::CloseClient() {
    if (client_ < 0) return;
    close(client_);
    client_ = -1;
    ForgetHostOutput();
    Event("client closed");
}

// What was meant for a host that is gone is not sent to the next one.
void Simulator::ForgetHostOutput() {
    out_.clear();
    outPos_ = 0;
    commands_.Reset();
    delayed_.clear();
}

bool Simulator::Start() {
    std::string error;
    bool ok = Tcp() ? OpenTcp(error) : OpenPty(error);
    if (ok && !opt_.bus.empty()) ok = bus_.Join(opt_.bus, error);
    if (!ok) {
        fprintf(stderr, "korva_sim: %s\n", error.c_str());
        return false;
    }
    started_ = true;
    Event(ready_);
    if (bus_.Joined()) {
        busPeers_ = bus_.PeerCount();
        Event("bus peers=" + std::to_string(busPeers_));
    }
    for (const std::string &c : opt_.startCommands) Control(c);
    return true;
}

void Simulator::Cleanup() {
    bus_.Leave();
    if (master_ >= 0 || slave_ >= 0) ClosePty();
    if (!opt_.ptyLink.empty() && !ptsName_.empty()) {
        char target[256];
        ssize_t n = readlink(opt_.ptyLink.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string_view(target, static_cast<size_t>(n)) == ptsName_) unlink(opt_.ptyLink.c_str());
        ptsName_.clear();
    }
    for (auto it = createdDirs_.rbegin(); it != createdDirs_.rend(); ++it) rmdir(it->c_str());
    createdDirs_.clear();
    if (client_ >= 0) close(client_);
    if (listen_ >= 0) close(listen_);
    client_ = listen_ = -1;
}

// ---- host side ---------------------------------------------------------------

void Simulator::ReadHost() {
    char buf[16384];
    for (int round = 0; round < 16 && HostConnected(); ++round) {
        ssize_t n = Tcp() ? recv(client_, buf, sizeof buf, 0) : read(master_, buf, sizeof buf);
        if (n > 0) {
            OnHostBytes(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (Tcp()) CloseClient(); // end of stream or reset
        return;
    }
}

void Simulator::OnHostBytes(const char *p, size_t n) {
    commands_.Feed(p, n, [this](std::string_view cmd, bool overlong) { HandleCommand(cmd, overlong); });
}

void Simulator::HandleCommand(std::string_view cmd, bool overlong) {
    std::string shown = Printable(cmd) + (overlong ? "..." : "");
    if (logRx_) Event(shown.empty() ? std::string("rx") : "rx " + shown);
    if (fault_ == Fault::Silence) return;
    std::string reply;
    if (IsQuiet(adapter_.dialect) && overlong) {
        Event("ignored " + shown);
        return;
    }
    if (fault_ == Fault::Refuse || overlong) {
        reply = "\a";
        Event("refused " + shown);
    } else {
        Adapter::Outcome o = adapter_.Execute(cmd);
        if (o.refused) Event("refused " + shown);
        if (o.ignored) Event(shown.empty() ? std::string("ignored") : "ignored " + shown);
        if (!o.event.empty()) Event(o.event);
        if (o.transmit && bus_.Joined()) bus_.Broadcast(FrameLineText(*o.transmit));
        reply = std::move(o.reply);
    }
    if (!cmd.empty()) {
        if (auto it = replyText_.find(cmd[0]); it != replyText_.end()) reply = it->second;
        if (auto it = delayMs_.find(cmd[0]); it != delayMs_.end()) {
            delayed_.emplace(NowMs() + it->second, std::move(reply));
            return;
        }
    }
    out_ += reply;
}

void Simulator::Pump() {
    size_t budget = kPumpBudget;
    while (HostConnected()) {
        Refill();
        size_t pending = Pending();
        if (pending == 0) break;
        ssize_t n = Tcp() ? send(client_, out_.data() + outPos_, pending, MSG_NOSIGNAL)
                          : write(master_, out_.data() + outPos_, pending);
        if (n > 0) {
            outPos_ += static_cast<size_t>(n);
            if (static_cast<size_t>(n) >= budget) {
                // Text for the rest of a flood, so that the poll loop asks
                // for POLLOUT and comes back: a socket that took the whole
                // budget at once left nothing pending, and the flood
                // stopped until some other event.
                Refill();
                break;
            }
            budget -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (Tcp()) {
            CloseClient();
        } else {
            Event("error write " + ptsName_ + ": " + strerror(errno));
            ForgetHostOutput();
        }
        break;
    }
    if (outPos_ == out_.size()) {
        out_.clear();
        outPos_ = 0;
    } else if (outPos_ >= kLowWater) {
        out_.erase(0, outPos_);
        outPos_ = 0;
    }
}

// ---- frames and jobs -----------------------------------------------------------

int Simulator::Timestamp(int tsMode) const {
    bool on = tsMode == 1 || (tsMode < 0 && adapter_.Timestamps());
    return on ? static_cast<int>((NowMs() - startMs_) % 60000) : -1;
}

void Simulator::QueueFrame(const Frame &f, int tsMode) {
    char buf[kMaxFrameLine];
    size_t n = FormatFrameLine(f, Timestamp(tsMode), buf);
    out_.append(buf, n);
    if (logTx_) Event("tx " + std::string(buf, n - 1));
}

void Simulator::EmitFrame(Job &job) {
    ++job.sent;
    if (!job.verbatim.empty()) {
        out_ += job.verbatim;
        if (logTx_) Event("tx " + Printable(std::string_view(job.verbatim).substr(0, job.verbatim.size() - 1)));
        return;
    }
    if (!job.flood) return QueueFrame(job.frame, job.tsMode);
    Frame f = job.frame;
    uint32_t seq = static_cast<uint32_t>(job.sent - 1);
    for (int i = 0; i < 4; ++i) f.data[i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
    for (int i = 4; i < f.len; ++i) f.data[i] = static_cast<uint8_t>(~f.data[i - 4]);
    QueueFrame(f, job.tsMode);
}

// Turns back-to-back jobs into text while the output is short, the CAN
// channel is open and a host is there to take it.
void Simulator::Refill() {
    if (!HostConnected() || !adapter_.IsOpen()) return;
    auto job = jobs_.begin();
    while (Pending() < kLowWater) {
        while (job != jobs_.end() && (job->everyMs != 0 || job->Finished())) ++job;
        if (job == jobs_.end()) break;
        EmitFrame(*job);
    }
    ReapJobs();
}

void Simulator::OnTimers(int64_t now) {
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
        out_ += delayed_.begin()->second;
        delayed_.erase(delayed_.begin());
    }
    for (Job &job : jobs_) {
        if (job.everyMs == 0) continue;
        while (!job.Finished() && job.dueMs <= now) {
            if (HostConnected() && adapter_.IsOpen() && Pending() < kHighWater)
                EmitFrame(job);
            else
                ++job.lost;
            job.dueMs += job.everyMs;
        }
    }
    ReapJobs();
}

void Simulator::ReportDone(const Job &job) {
    Event("done " + job.label + " sent=" + std::to_string(job.sent) + " lost=" + std::to_string(job.lost));
}

void Simulator::ReapJobs() {
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (!it->Finished()) {
            ++it;
            continue;
        }
        ReportDone(*it);
        it = jobs_.erase(it);
    }
}

int Simulator::PollTimeout(int64_t now) const {
    int64_t next = -1;
    auto consider = [&](int64_t due) {
        if (next < 0 || due < next) next = due;
    };
    if (!delayed_.empty()) consider(delayed_.begin()->first);
    for (const Job &job : jobs_)
        if (job.everyMs != 0) consider(job.dueMs);
    if (next < 0) return -1;
    return next <= now ? 0 : static_cast<int>(std::min<int64_t>(next - now, 60000));
}

void Simulator::OnBusFrame(std::string_view line) {
    std::optional<Frame> f = ParseFrameLine(line, false);
    if (!f) return;
    if (f->fd && !SpeaksFd(adapter_.dialect)) { // a classic controller sees only error frames
        Event("bus dropped " + Printable(line));
        return;
    }
    Event("bus rx " + Printable(line));
    if (HostConnected() && adapter_.IsOpen() && Pending() < kHighWater) QueueFrame(*f, -1);
}

// ---- control channel ---------------------------------------------------------------

void Simulator::ReadControl() {
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        running_ = false; // the owner of the control channel is gone
        return;
    }
    ctl_.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = ctl_.find('\n', start)) != std::string::npos; start = nl + 1)
        Control(std::string_view(ctl_).substr(start, nl - start));
    ctl_.erase(0, start);
}

void Simulator::Control(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty()) return;
    std::string error;
    if (ExecControl(line, error))
        Event("ok " + std::string(line));
    else
        Event("error " + std::string(line) + ": " + error);
}

// Reads "key=value" options after the positional words.
bool TakeOptions(const std::vector<std::string_view> &w, size_t first,
                 std::map<std::string_view, std::string_view> &opts, std::string &error) {
    for (size_t i = first; i < w.size(); ++i) {
        size_t eq = w[i].find('=');
        if (eq == std::string_view::npos) return error = "expected key=value: " + std::string(w[i]), false;
        opts[w[i].substr(0, eq)] = w[i].substr(eq + 1);
    }
    return true;
}

bool TakeTsMode(std::map<std::string_view, std::string_view> &opts, int &mode, std::string &error) {
    auto it = opts.find("ts");
    if (it == opts.end()) return true;
    if (it->second == "on") mode = 1;
    else if (it->second == "off") mode = 0;
    else if (it->second == "auto") mode = -1;
    else return error = "ts= takes on, off or auto", false;
    opts.erase(it);
    return true;
}

bool Simulator::AddSendJob(const std::vector<std::string_view> &w, std::string &error) {
    if (w.size() < 2) return error = "send needs a frame", false;
    Job job;
    job.label = "send " + std::string(w[1]);
    if (w[1].find('#') != std::string_view::npos) {
        std::string why;
        std::optional<Frame> f = ParseCansend(w[1], &why);
        if (!f) return error = "not a frame: " + std::string(w[1]) + " (" + why + ")", false;
        job.frame = *f;
    } else {
        if (!ParseFrameLine(w[1], true)) return error = "not a frame: " + std::string(w[1]), false;
        job.verbatim = std::string(w[1]) + "\r";
    }
    std::map<std::string_view, std::string_view> opts;
    if (!TakeOptions(w, 2, opts, error) || !TakeTsMode(opts, job.tsMode, error)) return false;
    for (auto [key, value] : opts) {
        uint64_t v;
        if (!ParseDecimal(value, v)) return error = "not a number: " + std::string(value), false;
        if (key == "count") job.total = v;
        else if (key == "every") job.everyMs = static_cast<int64_t>(v);
        else return error = "unknown option " + std::string(key), false;
    }
    if (job.total == 0 && job.everyMs == 0) return error = "count=0 needs every=", false;
    job.dueMs = NowMs();
    jobs_.push_back(std::move(job));
    return true;
}

bool Simulator::AddFloodJob(const std::vector<std::string_view> &w, std::string &error) {
    Job job;
    job.label = "flood";
    job.flood = true;
    job.frame.id = 0x100;
    job.frame.len = 8;
    if (w.size() < 2 || !ParseDecimal(w[1], job.total) || job.total == 0)
        return error = "flood needs a count above 0", false;
    std::map<std::string_view, std::string_view> opts;
    if (!TakeOptions(w, 2, opts, error) || !TakeTsMode(opts, job.tsMode, error)) return false;
    for (auto [key, value] : opts) {
        if (key == "id") {
            std::optional<Frame> f = ParseCansend(std::string(value) + "#");
            if (!f) return error = "id= takes 3 or 8 hex digits", false;
            job.frame.id = f->id;
            job.frame.extended = f->extended;
        } else if (key == "len") {
            uint64_t v = 0;
            const bool number = ParseDecimal(value, v);
            const bool fdSize = SpeaksFd(adapter_.dialect) && (v == 12 || v == 16 || v == 20 || v == 24 ||
                                                                    v == 32 || v == 48 || v == 64);
            if (!number || v < 4 || (v > 8 && !fdSize))
                return error = SpeaksFd(adapter_.dialect) ? "len= takes 4..8, 12, 16, 20, 24, 32, 48, 64"
                                                               : "len= takes 4..8",
                       false;
            job.frame.len = static_cast<uint8_t>(v);
            job.frame.fd = job.frame.brs = v > 8; // FD frames with bit-rate switch
        } else {
            return error = "unknown option " + std::string(key), false;
        }
    }
    jobs_.push_back(std::move(job));
    return true;
}

void Simulator::DropConnection() {
    if (Tcp()) {
        CloseClient();
        Event("closed");
        return;
    }
    ClosePty();
    Event("closed");
    std::string error;
    if (!OpenPty(error)) {
        Event("error close: " + error);
        running_ = false;
    }
}

// The adapter leaves: the line hangs up and its link goes (a TCP gateway
// stops listening), and the adapter forgets its settings as at power-on.
void Simulator::Unplug() {
    if (Tcp()) {
        if (client_ >= 0) CloseClient();
        if (listen_ >= 0) close(listen_);
        listen_ = -1;
        opt_.tcpPort = port_; // the same port when it comes back
    } else {
        ClosePty();
        char target[256];
        ssize_t n = readlink(opt_.ptyLink.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string_view(target, static_cast<size_t>(n)) == ptsName_) unlink(opt_.ptyLink.c_str());
        ptsName_.clear();
    }
    Adapter fresh;
    fresh.identity = adapter_.identity;
    fresh.dialect = adapter_.dialect;
    adapter_ = fresh;
    unplugged_ = true;
    Event("unplugged");
}

// The adapter comes back: a new pseudo-terminal behind LINK (the old link
// when empty), or listening on its port again.
bool Simulator::Plug(std::string_view link, std::string &error) {
    if (!unplugged_) return error = "not unplugged", false;
    if (Tcp()) {
        if (!link.empty()) return error = "a TCP adapter comes back on its port", false;
        if (!OpenTcp(error)) {
            if (listen_ >= 0) close(listen_);
            listen_ = -1;
            return false;
        }
    } else {
        if (!link.empty()) {
            if (link[0] != '/') return error = "the link must be an absolute path", false;
            opt_.ptyLink = std::string(link);
        }
        if (!OpenPty(error)) {
            ClosePty();
            return false;
        }
    }
    unplugged_ = false;
    Event("plugged");
    return true;
}

void Simulator::Info() {
    std::string s = "info " + adapter_.Describe();
    s += std::string(" fault=") + FaultName(fault_);
    s += std::string(" host=") + (HostConnected() ? "connected" : "none");
    if (bus_.Joined()) s += " bus=" + bus_.Name() + " peers=" + std::to_string(bus_.PeerCount());
    s += " jobs=" + std::to_string(jobs_.size());
    // Bytes not yet written to the host: 0 means what was sent is on its way.
    s += " pending=" + std::to_string(Pending());
    Event(s);
}

bool Simulator::ExecControl(std::string_view line, std::string &error) {
    std::vector<std::string_view> w = Words(line);
    std::string_view cmd = w[0];
    auto needArgs = [&](size_t n) {
        if (w.size() == n + 1) return true;
        error = std::string(cmd) + " takes " + std::to_string(n) + " argument" + (n == 1 ? "" : "s");
        return false;
    };
    if (cmd == "send") return AddSendJob(w, error);
    if (cmd == "flood") return AddFloodJob(w, error);
    if (cmd == "stop") {
        if (!needArgs(0)) return false;
        for (const Job &job : jobs_) ReportDone(job);
        jobs_.clear();
        return true;
    }
    if (cmd == "raw") {
        std::optional<std::string> bytes = Unescape(RestAfter(line, 1));
        if (!bytes || bytes->empty()) return error = "raw needs bytes (escapes \\r \\n \\a \\t \\0 \\\\ \\xHH)", false;
        if (!HostConnected()) return error = "no host connected", false;
        out_ += *bytes;
        return true;
    }
    if (cmd == "garbage" || cmd == "overlong") {
        if (!HostConnected()) return error = "no host connected", false;
        uint64_t n = cmd == "garbage" ? 40 : 200;
        if (w.size() > 2 || (w.size() == 2 && (!ParseDecimal(w[1], n) || n == 0 || n > 65536)))
            return error = "takes a count 1..65536", false;
        std::string bytes;
        if (cmd == "garbage") {
            while (bytes.size() < n) {
                random_ ^= random_ << 13;
                random_ ^= random_ >> 17;
                random_ ^= random_ << 5;
                char c = static_cast<char>(random_ & 0xFF);
                if (c != '\r') bytes += c;
            }
        } else {
            bytes = "t1238";
            while (bytes.size() < n) bytes += "0123456789ABCDEF"[bytes.size() % 16];
            bytes.resize(n);
        }
        out_ += bytes + "\r";
        return true;
    }
    if (cmd == "status") {
        if (!needArgs(1)) return false;
        if (!ParseHexByte(w[1], adapter_.identity.status)) return error = "two hex digits", false;
        return true;
    }
    if (cmd == "serial") {
        if (!needArgs(1)) return false;
        adapter_.identity.serial = std::string(w[1]);
        return true;
    }
    if (cmd == "version") {
        if (!needArgs(1)) return false;
        Identity &id = adapter_.identity;
        if (w[1].size() != 4 || !ParseHexByte(w[1].substr(0, 2), id.hw) || !ParseHexByte(w[1].substr(2), id.sw))
            return error = "four hex digits", false;
        return true;
    }
    if (cmd == "fault") {
        if (!needArgs(1)) return false;
        if (w[1] == "none") {
            fault_ = Fault::None;
            replyText_.clear();
            delayMs_.clear();
        } else if (w[1] == "silence") {
            fault_ = Fault::Silence;
        } else if (w[1] == "refuse") {
            fault_ = Fault::Refuse;
        } else if (w[1] == "stall") {
            fault_ = Fault::Stall;
        } else {
            return error = "modes: none silence refuse stall", false;
        }
        return true;
    }
    if (cmd == "reply") {
        if (w.size() < 3 || w[1].size() != 1) return error = "reply X TEXT|none|default", false;
        char letter = w[1][0];
        std::string_view rest = RestAfter(line, 2);
        if (rest == "default") {
            replyText_.erase(letter);
        } else if (rest == "none") {
            replyText_[letter].clear();
        } else {
            std::optional<std::string> bytes = Unescape(rest);
            if (!bytes) return error = "bad escape", false;
            replyText_[letter] = *bytes;
        }
        return true;
    }
    if (cmd == "delay") {
        uint64_t ms;
        if (!needArgs(2)) return false;
        if (w[1].size() != 1 || !ParseDecimal(w[2], ms) || ms > 3600000) return error = "delay X MS", false;
        if (ms == 0) delayMs_.erase(w[1][0]);
        else delayMs_[w[1][0]] = static_cast<int64_t>(ms);
        return true;
    }
    if (cmd == "close") {
        if (!needArgs(0)) return false;
        DropConnection();
        return true;
    }
    if (cmd == "unplug") {
        if (!needArgs(0)) return false;
        if (unplugged_) return error = "already unplugged", false;
        Unplug();
        return true;
    }
    if (cmd == "plug") {
        if (w.size() > 2) return error = "plug [LINK]", false;
        return Plug(w.size() == 2 ? w[1] : std::string_view(), error);
    }
    if (cmd == "info") {
        if (!needArgs(0)) return false;
        Info();
        return true;
    }
    if (cmd == "log") {
        if (!needArgs(2) || (w[1] != "rx" && w[1] != "tx") || (w[2] != "on" && w[2] != "off"))
            return error = "log rx|tx on|off", false;
        (w[1] == "rx" ? logRx_ : logTx_) = w[2] == "on";
        return true;
    }
    if (cmd == "quit") {
        running_ = false;
        return true;
    }
    error = "unknown command (see korva_sim --help)";
    return false;
}

void Simulator::Run() {
    std::vector<pollfd> fds;
    while (running_) {
        fflush(stdout);
        if (ferror(stdout)) break; // nobody reads the event log any more
        fds.clear();
        fds.push_back({gSignalPipe[0], POLLIN, 0});
        fds.push_back({opt_.control ? STDIN_FILENO : -1, POLLIN, 0});
        short hostEvents = 0;
        if (fault_ != Fault::Stall) hostEvents |= POLLIN;
        if (Pending() > 0) hostEvents |= POLLOUT;
        fds.push_back({HostFd(), hostEvents, 0});
        fds.push_back({listen_, POLLIN, 0});
        bus_.AddPollFds(fds);
        int r = poll(fds.data(), fds.size(), PollTimeout(NowMs()));
        if (r < 0) {
            if (errno == EINTR) continue;
            Event(Errno("error poll"));
            break;
        }
        if (fds[0].revents) break; // a signal asked us to end
        if (fds[1].revents) ReadControl();
        if (fds[3].revents) Accept();
        if (fds[2].revents && fault_ != Fault::Stall) ReadHost();
        bus_.Service([this](std::string_view line) { OnBusFrame(line); });
        if (bus_.Joined() && bus_.PeerCount() != busPeers_) {
            busPeers_ = bus_.PeerCount();
            Event("bus peers=" + std::to_string(busPeers_));
        }
        OnTimers(NowMs());
        Pump();
    }
    Event("bye");
    fflush(stdout);
}

// ---- command line ---------------------------------------------------------------

int Usage(const std::string &message) {
    fprintf(stderr, "korva_sim: %s\nTry korva_sim --help.\n", message.c_str());
    return 2;
}

int Main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            fputs(kHelp, stdout);
            return 0;
        } else if (a == "--pty") {
            if (!value(opt.ptyLink) || opt.ptyLink.empty()) return Usage("--pty needs a path");
        } else if (a == "--tcp") {
            uint64_t port;
            if (!value(v) || !ParseDecimal(v, port) || port > 65535) return Usage("--tcp needs a port 0..65535");
            opt.tcpPort = static_cast<long>(port);
        } else if (a == "--bus") {
            if (!value(opt.bus)) return Usage("--bus needs a name");
        } else if (a == "--dialect") {
            if (!value(v) || (v != "full" && v != "quiet" && v != "fd" && v != "quiet-fd"))
                return Usage("--dialect takes full, quiet, fd or quiet-fd");
            opt.dialect = v == "quiet"      ? Dialect::Quiet
                          : v == "fd"       ? Dialect::Fd
                          : v == "quiet-fd" ? Dialect::QuietFd
                                            : Dialect::Full;
        } else if (a == "--version-text") {
            if (!value(opt.identity.versionText) || opt.identity.versionText.empty() ||
                opt.identity.versionText.find('\r') != std::string::npos)
                return Usage("--version-text needs a text without carriage return");
        } else if (a == "--serial") {
            if (!value(opt.identity.serial) || opt.identity.serial.empty()) return Usage("--serial needs a text");
        } else if (a == "--hw" || a == "--sw" || a == "--status") {
            uint8_t &field = a == "--hw" ? opt.identity.hw : a == "--sw" ? opt.identity.sw : opt.identity.status;
            if (!value(v) || !ParseHexByte(v, field)) return Usage(a + " needs two hex digits");
        } else if (a == "--send" || a == "--flood" || a == "--fault") {
            if (!value(v)) return Usage(a + " needs an argument");
            opt.startCommands.push_back(a.substr(2) + " " + v);
        } else if (a == "--log-tx") {
            opt.logTx = true;
        } else if (a == "--no-log-rx") {
            opt.logRx = false;
        } else if (a == "--no-control") {
            opt.control = false;
        } else {
            return Usage("unknown option " + a);
        }
    }
    if (opt.ptyLink.empty() == (opt.tcpPort < 0)) return Usage("give exactly one of --pty and --tcp");
    if (!opt.ptyLink.empty() && opt.ptyLink[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) opt.ptyLink = std::string(cwd) + "/" + opt.ptyLink;
    }

    static char stdoutBuffer[1 << 16];
    setvbuf(stdout, stdoutBuffer, _IOFBF, sizeof stdoutBuffer);
    signal(SIGPIPE, SIG_IGN);
    if (pipe(gSignalPipe) != 0) return perror("pipe"), 1;
    SetNonBlockCloexec(gSignalPipe[0]);
    SetNonBlockCloexec(gSignalPipe[1]);
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);

    Simulator sim(std::move(opt));
    if (!sim.Start()) return 1;
    sim.Run();
    return 0;
}

} // namespace
} // namespace korva_sim

int main(int argc, char **argv) { return korva_sim::Main(argc, argv); }
