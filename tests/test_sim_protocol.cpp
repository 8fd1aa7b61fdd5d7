// test_sim_protocol.cpp - the simulated adapter seen from the host's side:
// raw bytes over its pseudo-terminal or TCP port, plus its control channel
// and event log.
#include "sim.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using korva_test::Sim;

namespace {

constexpr int kWaitMs = 20000;

// The host's end of the line: the pty slave (through the link) or a TCP
// connection to the simulator.
class Host {
public:
    explicit Host(const Sim &sim) {
        if (sim.Port() == 0) {
            fd_ = open(sim.Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            return;
        }
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(sim.Port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~Host() {
        if (fd_ >= 0) close(fd_);
    }
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    bool Write(std::string_view bytes) {
        while (!bytes.empty()) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, kWaitMs) != 1) return false;
            ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK) n = write(fd_, bytes.data(), bytes.size());
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }
    // Reads until at least n bytes are waiting; false on time-out or end.
    bool Fill(size_t n) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (pending_.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
            char buf[65536];
            ssize_t got = read(fd_, buf, sizeof buf);
            if (got <= 0) return false;
            pending_.append(buf, static_cast<size_t>(got));
        }
        return true;
    }
    // The next n bytes received.
    std::string Take(size_t n) {
        if (!Fill(n)) return "<timeout after " + pending_ + ">";
        std::string s = pending_.substr(0, n);
        pending_.erase(0, n);
        return s;
    }
    // Everything up to and including the next CR or BEL.
    std::string Reply() {
        for (size_t have = 0;; have = pending_.size()) {
            size_t end = pending_.find_first_of("\r\a");
            if (end != std::string::npos) return Take(end + 1);
            if (!Fill(have + 1)) return "<timeout after " + pending_ + ">";
        }
    }
    std::string Ask(std::string_view command) {
        return Write(std::string(command) + "\r") ? Reply() : "<write failed>";
    }
    // Skips everything up to and including text.
    bool SkipPast(std::string_view text) {
        for (;;) {
            size_t at = pending_.find(text);
            if (at != std::string::npos) {
                pending_.erase(0, at + text.size());
                return true;
            }
            if (!Fill(pending_.size() + 1)) return false;
        }
    }
    // True once the line has hung up or ended (read gives 0 or fails).
    bool WaitEnd() {
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) != 1) return false;
            char buf[4096];
            ssize_t got = read(fd_, buf, sizeof buf);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
        }
    }

private:
    int fd_ = -1;
    std::string pending_;
};

bool IsTimestamp(std::string_view digits) {
    if (digits.size() != 4) return false;
    unsigned v = 0;
    for (char c : digits) {
        if (!isxdigit(static_cast<unsigned char>(c)) || islower(static_cast<unsigned char>(c))) return false;
        v = v * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'A' + 10);
    }
    return v < 60000;
}

// The accept and refuse rules of the command set, one exchange at a time.
void CheckCommandRules(Sim &sim, Host &host) {
    struct Case {
        std::string command, reply;
    };
    const std::string data8 = "0102030405060708";
    const std::vector<Case> cases = {
        {"F", "F05\r"}, {"N", "N4711\r"}, {"V", "V1234\r"}, {"NX", "\a"}, {"", "\r"}, {"Q", "\a"},
        {"t1232AABB", "\a"},                                      // closed: no transmit
        {"S6", "\r"}, {"S9", "\a"}, {"S", "\a"}, {"s031C", "\r"}, {"s031", "\a"}, {"s03XY", "\a"},
        {"M00000123", "\r"}, {"m000007FF", "\r"}, {"M123", "\a"}, {"Z1", "\r"}, {"Z2", "\a"},
        {"D1", "\r"}, {"D0", "\r"}, {"C", "\r"},
        {"O", "\r"}, {"O", "\a"}, {"L", "\a"}, {"S6", "\a"}, {"Z0", "\a"}, {"M00000000", "\a"}, {"D1", "\a"},
        {"t1232AABB", "z\r"}, {"T1ABCDEF08" + data8, "Z\r"}, {"r1230", "z\r"}, {"R000001FF4", "Z\r"},
        {"t1232AA", "\a"}, {"t8000", "\a"}, {"t1239" + data8 + "00", "\a"}, {"T2000000000", "\a"},
        {"r12300", "\a"}, {"t123", "\a"}, {std::string(150, 'A'), "\a"},
        {"d1230", "\a"}, {"B000001231" "AA", "\a"},                  // FD lines: not this dialect's
        {"C", "\r"}, {"Y2", "\a"}, {"t1230", "\a"}, {"Y", "\r"}, {"t1230", "z\r"}, {"C", "\r"},
        {"L", "\r"}, {"t1230", "\a"}, {"F", "F05\r"}, {"C", "\r"},
    };
    for (const Case &c : cases) EXPECT_EQ(host.Ask(c.command), c.reply) << "command \"" << c.command << "\"";

    for (const std::string &event : std::vector<std::string>{"set bitrate=S6", "refused S9", "set btr=031C", "set code=00000123",
                              "set mask=000007FF", "set timestamps=1", "set filter=0", "state open O",
                              "refused O", "refused " + std::string(142, 'A') + "...", "state closed", "state open Y", "state closed", "state open L",
                              "state closed"})
        EXPECT_TRUE(sim.WaitFor(event)) << event;
    ASSERT_TRUE(sim.Send("info"));
    std::optional<std::string> info = sim.WaitFor("info");
    ASSERT_TRUE(info);
    EXPECT_NE(info->find("state=closed bitrate=S6 btr=031C code=00000123 mask=000007FF "
                                          "timestamps=1 filter=0 status=05 serial=4711 version=1234"),
              std::string::npos);
}

// The quiet dialect answers nothing but "V", and takes its few settings
// only while closed and frames only while open and not silent.
void CheckQuietRules(Sim &sim, Host &host) {
    ASSERT_TRUE(host.Write("F\rN\rZ1\rs031C\rL\rt1230\r\rS6\rM1\rA0\rO\rS5\rM0\rt1232AABB\rC\rM0\rO\rt1230\rC\rV\r"));
    // The first bytes back are the answer to "V".
    EXPECT_EQ(host.Reply(), "b8e6cdd git://example.invalid/usb-can-fw.git\r");
    for (const char *event : {"ignored F", "ignored N", "ignored Z1", "ignored s031C", "ignored L", "ignored t1230",
                              "ignored", "set bitrate=S6", "set silent=1", "set retransmit=0", "state open O silent",
                              "ignored S5", "ignored M0", "ignored t1232AABB", "state closed", "set silent=0",
                              "state open O", "rx t1230", "state closed", "rx V"})
        EXPECT_TRUE(sim.WaitFor(event)) << event;
    EXPECT_EQ(sim.Count("ignored t1230"), 1U); // the second went on the bus
    ASSERT_TRUE(sim.Send("info"));
    std::optional<std::string> info = sim.WaitFor("info");
    ASSERT_TRUE(info);
    EXPECT_NE(info->find("dialect=quiet state=closed bitrate=S6 silent=0 retransmit=0"), std::string::npos) << *info;
}

// The fd dialect: "Yn" while closed, FD frame lines of every length code
// while open, and the full command set beside them ("D1" stays the filter
// mode).
void CheckFdRules(Sim &sim, Host &host) {
    std::string data64;
    for (int i = 0; i < 64; ++i) data64 += "0123456789ABCDEF"[i % 16], data64 += "FEDCBA9876543210"[i % 16];
    struct Case {
        std::string command, reply;
    };
    // (Every length code both ways: the library's FD test, on this dialect.)
    const std::vector<Case> cases = {{"Y2", "\r"}, {"Y3", "\a"}, {"Y22", "\a"}, {"D1", "\r"}, {"Y8", "\r"},
                                     {"O", "\r"}, {"Y1", "\a"}, {"d123F" + data64.substr(2), "\a"}, {"d1239", "\a"},
                                     {"b123G", "\a"}, {"r1239", "\a"}, {"d1239" + data64.substr(0, 24), "z\r"},
                                     {"B1ABCDEF0F" + data64, "Z\r"}};
    for (const Case &c : cases) EXPECT_EQ(host.Ask(c.command), c.reply) << "command \"" << c.command << "\"";
    for (const std::string &event : {std::string("set dbitrate=Y2"), std::string("refused Y3"),
                                     std::string("set filter=1"), std::string("set dbitrate=Y8"),
                                     std::string("rx B1ABCDEF0F") + data64})
        EXPECT_TRUE(sim.WaitFor(event)) << event;
    // Frames to the host in the same shapes, and a flood of 64-byte frames.
    ASSERT_TRUE(sim.Command("send b7FFF" + data64));
    EXPECT_EQ(host.Reply(), "b7FFF" + data64 + "\r");
    ASSERT_TRUE(sim.Command("flood 2 len=64 ts=off"));
    host.Reply();
    std::string second = "b100F";
    for (int i = 0; i < 8; ++i) second += "00000001FFFFFFFE";
    EXPECT_EQ(host.Reply(), second + "\r");
}

TEST(SimProtocol, CommandRulesOverPtyAndTcp) {
    TempDir dir;
    const std::vector<std::string> identity = {"--serial", "4711", "--hw", "12", "--sw", "34", "--status", "05"};
    for (std::vector<std::string> transport : {std::vector<std::string>{"--pty", dir / "sub/ttyUSB0"},
                                               std::vector<std::string>{"--tcp", "0"}}) {
        SCOPED_TRACE(transport[0]);
        transport.insert(transport.end(), identity.begin(), identity.end());
        Sim sim(transport);
        ASSERT_TRUE(sim.Ok()) << sim.Error();
        Host host(sim);
        ASSERT_TRUE(host.Ok());
        CheckCommandRules(sim, host);

        Sim quiet({transport[0], transport[0] == "--tcp" ? "0" : dir / "sub/ttyACM0", "--dialect", "quiet"});
        ASSERT_TRUE(quiet.Ok()) << quiet.Error();
        Host quietHost(quiet);
        ASSERT_TRUE(quietHost.Ok());
        CheckQuietRules(quiet, quietHost);

        Sim fd({transport[0], transport[0] == "--tcp" ? "0" : dir / "sub/ttyUSB1", "--dialect", "fd"});
        ASSERT_TRUE(fd.Ok()) << fd.Error();
        Host fdHost(fd);
        ASSERT_TRUE(fdHost.Ok());
        CheckFdRules(fd, fdHost);
    }
}

TEST(SimProtocol, FramesFromTheControlChannel) {
    TempDir dir;
    // Over TCP too: a socket takes a flood's text far faster than a pty.
    for (const bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "pty");
        Sim sim(tcp ? std::vector<std::string>{"--tcp", "0", "--log-tx"}
                    : std::vector<std::string>{"--pty", dir / "ttyS0", "--log-tx"});
        ASSERT_TRUE(sim.Ok()) << sim.Error();
        Host host(sim);
        ASSERT_TRUE(host.Ok());

        // Back-to-back frames wait for an open channel.
        ASSERT_TRUE(sim.Command("send 456#"));
        ASSERT_EQ(host.Ask("O"), "\r");
        EXPECT_EQ(host.Reply(), "t4560\r");

        for (auto [frame, line] : std::vector<std::pair<std::string, std::string>>{
                 {"123#AABB", "t1232AABB\r"}, {"12345678#01", "T12345678101\r"}, {"7FF#11.22.33", "t7FF3112233\r"},
                 {"123#R", "r1230\r"}, {"1FFFFFFF#R4", "R1FFFFFFF4\r"}, {"t7ff1ab", "t7ff1ab\r"},
                 {"t12311A2B3C", "t12311A2B3C\r"}}) {
            ASSERT_TRUE(sim.Command("send " + frame)) << frame;
            EXPECT_EQ(host.Reply(), line) << frame;
        }
        EXPECT_TRUE(sim.WaitFor("tx t1232AABB"));
        for (const char *bad : {"send 12#AA", "send 800#", "send 123#AAB", "send 123#R9", "send t1232AA",
                                "send 123# count=0", "flood 0", "flood 5 len=3", "bogus", "status 4"})
            EXPECT_FALSE(sim.Command(bad)) << bad;

        // Time stamps: forced per send, or for every frame after Z1.
        ASSERT_TRUE(sim.Command("send 123#11 ts=on"));
        std::string line = host.Reply();
        EXPECT_EQ(line.substr(0, 7), "t123111");
        EXPECT_TRUE(IsTimestamp(line.substr(7, 4))) << line;
        ASSERT_EQ(host.Ask("C"), "\r");
        ASSERT_EQ(host.Ask("Z1"), "\r");
        ASSERT_EQ(host.Ask("L"), "\r");
        ASSERT_TRUE(sim.Command("send 321#"));
        line = host.Reply();
        EXPECT_EQ(line.size(), 10u);
        EXPECT_TRUE(IsTimestamp(line.substr(5, 4))) << line;
        ASSERT_TRUE(sim.Command("send 321# ts=off"));
        EXPECT_EQ(host.Reply(), "t3210\r");

        // Timed repetition.
        ASSERT_TRUE(sim.Command("send 100#01 count=3 every=10 ts=off"));
        EXPECT_EQ(host.Take(3 * 8), "t100101\rt100101\rt100101\r");
        EXPECT_TRUE(sim.WaitFor("done send 100#01 sent=3 lost=0"));

        // A flood numbers its frames: order and loss can be checked.
        const uint32_t kFlood = 20000;
        ASSERT_TRUE(sim.Command("log tx off"));
        ASSERT_TRUE(sim.Command("flood 20000 id=1ABCDEF0 len=5 ts=off"));
        for (uint32_t seq = 0; seq < kFlood; ++seq) {
            char expected[32];
            snprintf(expected, sizeof expected, "T1ABCDEF05%08X%02X\r", seq, ~seq >> 24 & 0xFF);
            std::string got = host.Take(21);
            if (got != expected) {
                ADD_FAILURE() << "frame " << seq << ": " << got;
                break;
            }
        }
        EXPECT_TRUE(sim.WaitFor("done flood sent=20000 lost=0"));

        // Raw bytes, garbage and overlong lines.
        ASSERT_TRUE(sim.Command("raw x\\a\\x00\\r"));
        EXPECT_EQ(host.Take(4), std::string("x\a\0\r", 4));
        ASSERT_TRUE(sim.Command("garbage 50"));
        std::string garbage = host.Take(51);
        EXPECT_EQ(garbage.find('\r'), 50u);
        ASSERT_TRUE(sim.Command("overlong 100"));
        std::string overlong = host.Take(101);
        EXPECT_EQ(overlong.substr(0, 5), "t1238");
        EXPECT_EQ(overlong.find('\r'), 100u);

        // "stop" ends an endless send.
        ASSERT_TRUE(sim.Command("send 200#AA every=1 count=0"));
        EXPECT_TRUE(host.SkipPast("t2001AA"));
        ASSERT_TRUE(sim.Command("stop"));
        EXPECT_TRUE(sim.WaitFor("done send 200#AA"));
    }
}

TEST(SimProtocol, BusCarriesFramesBetweenSimulators) {
    TempDir dir;
    std::string bus = "test-" + std::to_string(getpid());
    Sim a({"--pty", dir / "ttyUSB0", "--bus", bus});
    ASSERT_TRUE(a.Ok()) << a.Error();
    auto b = std::make_unique<Sim>(std::vector<std::string>{"--tcp", "0", "--bus", bus});
    ASSERT_TRUE(b->Ok()) << b->Error();
    ASSERT_TRUE(a.WaitFor("bus peers=1"));
    ASSERT_TRUE(b->WaitFor("bus peers=1"));
    Host hostA(a), hostB(*b);
    ASSERT_TRUE(hostA.Ok() && hostB.Ok());

    ASSERT_EQ(hostA.Ask("O"), "\r");
    ASSERT_EQ(hostB.Ask("Z1"), "\r");
    ASSERT_EQ(hostB.Ask("L"), "\r");
    // Listen-only receives, with the time stamps its host asked for.
    ASSERT_EQ(hostA.Ask("t1232AABB"), "z\r");
    std::string line = hostB.Reply();
    EXPECT_EQ(line.substr(0, 9), "t1232AABB");
    EXPECT_TRUE(IsTimestamp(line.substr(9, 4))) << line;
    EXPECT_TRUE(b->WaitFor("bus rx t1232AABB"));
    EXPECT_EQ(hostB.Ask("t1230"), "\a");

    ASSERT_EQ(hostB.Ask("C"), "\r");
    ASSERT_EQ(hostB.Ask("O"), "\r");
    ASSERT_EQ(hostB.Ask("R1ABCDEF03"), "Z\r");
    ASSERT_EQ(hostB.Ask("T000000018" + std::string("0011223344556677")), "Z\r");
    EXPECT_EQ(hostA.Reply(), "R1ABCDEF03\r");
    EXPECT_EQ(hostA.Reply(), "T0000000180011223344556677\r");

    // A closed channel receives nothing; frames sent meanwhile are lost.
    ASSERT_EQ(hostA.Ask("C"), "\r");
    ASSERT_EQ(hostB.Ask("t0011FF"), "z\r");
    ASSERT_TRUE(a.WaitFor("bus rx t0011FF"));
    ASSERT_EQ(hostA.Ask("O"), "\r");
    ASSERT_EQ(hostB.Ask("t0021EE"), "z\r");
    EXPECT_EQ(hostA.Reply(), "t0021EE\r");

    // FD frames travel between fd members; a classic member drops them.
    Sim fd({"--tcp", "0", "--bus", bus, "--dialect", "fd"});
    ASSERT_TRUE(fd.Ok()) << fd.Error();
    ASSERT_TRUE(fd.WaitFor("bus peers=2"));
    Host hostFd(fd);
    ASSERT_TRUE(hostFd.Ok());
    ASSERT_EQ(hostFd.Ask("O"), "\r");
    ASSERT_EQ(hostA.Ask("t0031DD"), "z\r");
    EXPECT_EQ(hostFd.Reply(), "t0031DD\r");
    const std::string fdLine = "D1ABCDEF09" + std::string(24, 'C');
    ASSERT_EQ(hostFd.Ask(fdLine), "Z\r");
    EXPECT_TRUE(a.WaitFor("bus dropped " + fdLine));
    ASSERT_EQ(hostFd.Ask("t0041CC"), "z\r");
    EXPECT_EQ(hostA.Reply(), "t0041CC\r"); // the FD frame did not reach A's host

    b.reset();
    EXPECT_TRUE(a.WaitFor("bus peers=1"));
}

// The bus directory and the sockets in it are this user's alone: whatever
// another user could have put in their place is refused with the path and
// the reason, and nothing is joined.
TEST(SimProtocol, BusDirectoryThatIsNotOurOwnIsRefused) {
    TempDir dir;
    // Standard input is /dev/null: an accepted simulator ends once ready.
    auto join = [](const std::string &base) {
        const std::string cmd = "KORVA_BUS_DIR='" + base + "' '" + getenv("KORVA_SIM") +
                                "' --tcp 0 --bus b </dev/null 2>&1";
        std::string out;
        FILE *p = popen(cmd.c_str(), "r");
        if (p == nullptr) return std::make_pair(-1, out);
        char buf[512];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        const int status = pclose(p);
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, out);
    };
    auto [ok, okOut] = join(dir / "fresh");
    EXPECT_EQ(0, ok) << okOut;
    EXPECT_NE(okOut.find("bus peers=0"), std::string::npos) << okOut;

    const std::string open = dir / "open", theirs = dir / "theirs", file = dir / "file";
    ASSERT_EQ(0, mkdir(open.c_str(), 0700));
    ASSERT_EQ(0, chmod(open.c_str(), 0755));
    ASSERT_EQ(0, mkdir(theirs.c_str(), 0700));
    ASSERT_EQ(0, symlink(theirs.c_str(), (dir / "link").c_str()));
    fclose(fopen(file.c_str(), "w"));
    // A sound base whose bus holds a link where a member's socket should be.
    const std::string sound = dir / "sound";
    ASSERT_EQ(0, mkdir(sound.c_str(), 0700));
    ASSERT_EQ(0, mkdir((sound + "/b").c_str(), 0700));
    ASSERT_EQ(0, symlink((theirs + "/x.sock").c_str(), (sound + "/b/1.sock").c_str()));
    const std::pair<std::string, std::string> cases[] = {
        {open, open + " has mode 0755"},
        {dir / "link", dir / "link" + " is a symbolic link"},
        {file, file + " is not a directory"},
        {sound, sound + "/b/1.sock is a symbolic link"},
    };
    for (const auto &[base, why] : cases) {
        auto [status, out] = join(base);
        EXPECT_EQ(1, status) << out;
        EXPECT_NE(out.find(why), std::string::npos) << out;
        EXPECT_EQ(out.find("ready"), std::string::npos) << out;
    }
    // Nothing was made in the directories that were refused.
    for (const std::string &d : {open, theirs})
        EXPECT_TRUE(std::filesystem::is_empty(d)) << d;
    EXPECT_EQ(std::vector<std::string>{"1.sock"}, [&] {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(sound + "/b")) names.push_back(e.path().filename());
        return names;
    }());
}

TEST(SimProtocol, FaultsOfTheAdapter) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0", "--fault", "silence"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    Host host(sim);
    ASSERT_TRUE(host.Ok());

    // Silence: commands are seen but neither answered nor carried out.
    ASSERT_TRUE(host.Write("O\rF\r"));
    ASSERT_TRUE(sim.WaitFor("rx F"));
    ASSERT_TRUE(sim.Command("fault refuse"));
    EXPECT_EQ(host.Ask("S6"), "\a"); // the first reply the host sees
    EXPECT_EQ(host.Ask("N"), "\a");
    ASSERT_TRUE(sim.Command("fault none"));
    EXPECT_EQ(host.Ask("S6"), "\r"); // still closed: O was not carried out

    // Wrong-shaped, missing and late replies.
    ASSERT_TRUE(sim.Command("reply N N12345678901234\\r"));
    ASSERT_TRUE(sim.Command("reply V V1\\r"));
    EXPECT_EQ(host.Ask("N"), "N12345678901234\r");
    EXPECT_EQ(host.Ask("V"), "V1\r");
    ASSERT_TRUE(sim.Command("reply V none"));
    ASSERT_TRUE(sim.Command("reply N default"));
    EXPECT_EQ(host.Ask("V\rN"), "N1234\r");
    ASSERT_TRUE(sim.Command("delay F 1500"));
    ASSERT_TRUE(host.Write("F\rS5\r"));
    EXPECT_EQ(host.Reply(), "\r");     // S5, answered at once
    EXPECT_EQ(host.Reply(), "F00\r");  // F, late
    ASSERT_TRUE(sim.Command("fault none"));
    EXPECT_EQ(host.Ask("V"), "V1013\r"); // "fault none" cleared reply and delay

    // Stall: the simulator stops reading, so the host's writes block.
    ASSERT_TRUE(sim.Command("fault stall"));
    const std::string chunk(4096, '\n'); // line feeds: ignored once read
    size_t written = 0;
    bool stalled = false;
    while (!stalled && written < (64u << 20)) {
        ssize_t n = write(host.Fd(), chunk.data(), chunk.size());
        if (n > 0) written += static_cast<size_t>(n);
        stalled = n < 0 && errno == EAGAIN;
    }
    EXPECT_TRUE(stalled) << written << " bytes taken";
    ASSERT_TRUE(sim.Command("fault none"));
    EXPECT_EQ(host.Ask("N"), "N1234\r");

    // Dropping the pty hangs the host's line up; the link then leads to a
    // new pty behind which the adapter answers again.
    std::string oldPty = sim.Pty();
    ASSERT_TRUE(sim.Send("close"));
    EXPECT_TRUE(host.WaitEnd());
    ASSERT_TRUE(sim.WaitFor("closed"));
    ASSERT_TRUE(sim.WaitFor("ready"));
    EXPECT_NE(sim.Pty(), oldPty);
    Host again(sim);
    ASSERT_TRUE(again.Ok());
    EXPECT_EQ(again.Ask("N"), "N1234\r");
}

TEST(SimProtocol, NewTcpClientReplacesTheOld) {
    Sim sim({"--tcp", "0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    Host first(sim);
    ASSERT_TRUE(first.Ok());
    ASSERT_TRUE(sim.WaitFor("client connected"));
    EXPECT_EQ(first.Ask("O"), "\r");
    Host second(sim);
    ASSERT_TRUE(second.Ok());
    EXPECT_TRUE(first.WaitEnd());
    ASSERT_TRUE(sim.WaitFor("client closed"));
    ASSERT_TRUE(sim.WaitFor("client connected"));
    EXPECT_EQ(second.Ask("O"), "\a"); // the adapter stayed open
    ASSERT_TRUE(sim.Send("close"));
    EXPECT_TRUE(second.WaitEnd());
    EXPECT_TRUE(sim.WaitFor("client closed"));
    EXPECT_TRUE(sim.WaitFor("closed"));
}

TEST(SimProtocol, LifecycleAndCommandLine) {
    TempDir dir;
    {
        // The end of the control channel ends the simulator, which removes
        // its link and the directories it made for it.
        Sim sim({"--pty", dir / "a/b/ttyUSB0"});
        ASSERT_TRUE(sim.Ok()) << sim.Error();
        EXPECT_EQ(access((dir / "a/b/ttyUSB0").c_str(), F_OK), 0);
        sim.CloseControl();
        std::optional<int> status = sim.WaitExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        EXPECT_EQ(sim.Events().back(), "bye");
        EXPECT_NE(access((dir / "a").c_str(), F_OK), 0);
    }
    {
        Sim help({"--help"});
        EXPECT_FALSE(help.Ok());
        std::optional<int> status = help.WaitExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        std::string text;
        for (const std::string &l : help.Events()) text += l + "\n";
        for (const char *word : {"fixture", "demo", "without", "--pty", "--tcp", "--bus", "--serial", "--send",
                                 "flood", "fault", "ready", "state open"})
            EXPECT_NE(text.find(word), std::string::npos) << word;
    }
    for (std::vector<std::string> args : {std::vector<std::string>{"--tcp", "0", "--pty", dir / "x"},
                                          std::vector<std::string>{"--bogus"}, std::vector<std::string>{}}) {
        Sim bad(args);
        EXPECT_FALSE(bad.Ok());
        std::optional<int> status = bad.WaitExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2);
    }
    {
        // A path that is not a link is never replaced.
        std::string file = dir / "ttyS1";
        fclose(fopen(file.c_str(), "w"));
        Sim bad({"--pty", file});
        EXPECT_FALSE(bad.Ok());
        std::optional<int> status = bad.WaitExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
    }
}

} // namespace
