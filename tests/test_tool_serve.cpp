// "korva serve" sharing one simulated adapter: two korva clients and
// python-can's slcan interface (socket://) see every frame in order, on a
// classic bus and on a CAN FD one, the server's bit rates are the only
// ones taken, a stalled client is counted and
// holds nobody back, the client past --max-clients is refused, and garbage
// or a cut connection leave the server serving.  It listens on loopback
// unless told otherwise.
#include "sim.h"
#include "tempdir.h"
#include "tool/korva_run.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using korva_test::Sim;
using korva_tool_test::KorvaRun;
using korva_tool_test::RunKorva;

namespace {

constexpr auto kWait = std::chrono::seconds(30);

// A server on a simulated adapter, its port read from its first line.
struct Served {
    Served(const TempDir &dir, std::vector<std::string> options, std::vector<std::string> simOptions = {})
        : sim(Args({"--tcp", "0"}, simOptions)), run(dir, Args(std::move(options), {"--tcp", "0", sim.TcpName()})) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        const std::regex serving("serving .* on ([0-9.]+):([0-9]+) ");
        while (port == 0 && std::chrono::steady_clock::now() < deadline) {
            std::smatch m;
            const std::string err = run.Err();
            if (std::regex_search(err, m, serving)) {
                address = m[1];
                port = std::stoi(m[2]);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    }
    static std::vector<std::string> Args(std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    std::string Name() const { return "127.0.0.1:" + std::to_string(port); }

    // Asks for status lines (SIGUSR1) until one says "N clients (N open)".
    bool WaitOpen(int clients) {
        const std::string want = std::to_string(clients) + " clients (" + std::to_string(clients) + " open)";
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (std::chrono::steady_clock::now() < deadline) {
            run.Signal(SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::string last; // the latest status line of the server as a whole
            for (const std::string &l : run.ErrLines())
                if (l.find(" clients (") != std::string::npos) last = l;
            if (last.find(want) != std::string::npos) return true;
        }
        return false;
    }
    // Waits until standard error has text in it.
    bool WaitErr(const std::string &text) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (run.Err().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    Sim sim;
    KorvaRun run;
    std::string address;
    int port = 0;
};

// A raw Lawicel client on the server's port.
struct Client {
    explicit Client(int port, int receiveBuffer = 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) Close();
    }
    ~Client() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    bool Send(const std::string &bytes) { return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size()); }
    // Reads until the bytes received end with tail; what came, or "" when
    // the connection ended first ("EOF" when it ended with nothing read).
    std::string ReadUntil(const std::string &tail) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (got.size() < tail.size() || got.compare(got.size() - tail.size(), tail.size(), tail) != 0) {
            pollfd p{fd, POLLIN, 0};
            if (std::chrono::steady_clock::now() > deadline || poll(&p, 1, 1000) < 0) return "";
            if (!(p.revents & (POLLIN | POLLHUP))) continue;
            char buf[65536];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return got.empty() ? "EOF" : "";
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    int fd = -1;
};

bool HavePythonCan() { return std::system("/usr/bin/python3 -c 'import can, serial' 2>/dev/null") == 0; }

// python-can's slcan interface as a client: receives three frames, sends
// 456#010203, receives one more, printing each as ID#DATA.  Run through
// KorvaRun as a launcher: the korva path it puts first is skipped.
constexpr char kPythonClient[] = R"(
import sys, can
bus = can.Bus(interface="slcan", channel="socket://" + sys.argv[2], bitrate=500000)
def show(n):
    for _ in range(n):
        m = bus.recv(30)
        print("%X#%s" % (m.arbitration_id, m.data.hex().upper()) if m else "timeout", flush=True)
show(3)
bus.send(can.Message(arbitration_id=0x456, data=[1, 2, 3], is_extended_id=False))
show(1)
bus.shutdown()
)";

std::vector<std::string> Frames(const std::vector<std::string> &dumpLines) {
    std::vector<std::string> frames;
    for (const std::string &l : dumpLines) frames.push_back(l.substr(l.find("  ") + 2));
    return frames;
}

// The bus is classic, or CAN FD (the adapter speaks the slcan FD
// extension, the server has a data bit rate and so have the korva
// clients; python-can's classic slcan client passes the FD lines over).
class ToolServeBus : public ::testing::TestWithParam<bool> {};

TEST_P(ToolServeBus, ClientsShareTheAdapterAndOnlyTheServersBitRates) {
    if (!HavePythonCan()) GTEST_SKIP() << "python-can (python3-can, python3-serial) missing";
    const bool fd = GetParam();
    // A korva command line with the data bit rate after the subcommand on an FD bus.
    const auto onBus = [fd](std::vector<std::string> args) {
        if (fd) args.insert(args.begin() + 1, {"--data-bitrate", "2M"});
        return args;
    };
    TempDir dir;
    Served srv(dir, onBus({"serve", "-b", "500k"}), fd ? std::vector<std::string>{"--dialect", "fd"}
                                                       : std::vector<std::string>{});
    ASSERT_NE(0, srv.port) << srv.run.Err();
    EXPECT_EQ("127.0.0.1", srv.address); // loopback unless --listen says otherwise

    const std::string count = fd ? "7" : "5";
    KorvaRun a(dir, onBus({"dump", "-n", count, srv.Name()}));
    KorvaRun b(dir, onBus({"dump", "--btr", "001C", "-n", count, srv.Name()})); // 500k as registers
    KorvaRun py(dir, {srv.Name()}, {"/usr/bin/python3", "-c", kPythonClient});
    ASSERT_TRUE(srv.WaitOpen(3)) << srv.run.Err();

    // The FD frame first: python-can sends its frame after the third
    // classic one, which then comes after every frame of the adapter.
    if (fd) {
        ASSERT_TRUE(srv.sim.Command("send B1FFFFFFF9000102030405060708090A0B"));
    }
    ASSERT_TRUE(srv.sim.Command("send 123#AABB"));
    ASSERT_TRUE(srv.sim.Command("send 12345678#01 count=2"));
    ASSERT_TRUE(srv.sim.WaitFor("rx t4563010203")); // python-can's frame reached the adapter
    std::vector<std::string> send = onBus({"send", srv.Name()});
    if (fd) send.push_back("7E0##0" + std::string(128, 'E')); // 64 bytes: a line past the classic limit
    send.push_back("321#CC");
    const auto sent = RunKorva(dir, send);
    ASSERT_EQ(0, sent.status) << sent.err;

    ASSERT_EQ(0, a.Wait()) << a.Err();
    ASSERT_EQ(0, b.Wait()) << b.Err();
    ASSERT_EQ(0, py.Wait()) << py.Err();
    if (fd) {
        EXPECT_TRUE(srv.sim.WaitFor("rx d7E0F" + std::string(128, 'E')));
    }
    EXPECT_TRUE(srv.sim.WaitFor("rx t3211CC"));
    std::vector<std::string> both{"123   [2]  AA BB", "12345678   [1]  01", "12345678   [1]  01",
                                  "456   [3]  01 02 03", "321   [1]  CC"};
    if (fd) {
        both.insert(both.begin(), "1FFFFFFF  [12]  00 01 02 03 04 05 06 07 08 09 0A 0B");
        std::string e = "7E0  [64] ";
        for (int i = 0; i < 64; ++i) e += " EE";
        both.insert(both.end() - 1, e);
    }
    EXPECT_EQ(both, Frames(a.OutLines()));
    EXPECT_EQ(both, Frames(b.OutLines()));
    EXPECT_EQ((std::vector<std::string>{"123#AABB", "12345678#01", "12345678#01", "321#CC"}), py.OutLines());

    // Another bit rate or data bit rate is refused, and said so.
    const auto refused = RunKorva(dir, onBus({"dump", "-b", "250k", "-n", "1", srv.Name()}));
    EXPECT_EQ(1, refused.status);
    EXPECT_NE(std::string::npos, refused.err.find("refused")) << refused.err;
    EXPECT_TRUE(srv.WaitErr("bit rate S5 refused: the bus runs at S6"));
    const auto refusedFd = RunKorva(dir, {"dump", "--data-bitrate", "5M", "-n", "1", srv.Name()});
    EXPECT_EQ(1, refusedFd.status);
    EXPECT_NE(std::string::npos, refusedFd.err.find("refused")) << refusedFd.err;
    EXPECT_TRUE(srv.WaitErr(fd ? "data bit rate Y5 refused: the data phase runs at Y2"
                               : "data bit rate Y5 refused: the server shares no CAN FD"));

    srv.run.Signal(SIGTERM);
    EXPECT_EQ(0, srv.run.Wait());
    EXPECT_TRUE(srv.sim.WaitFor("rx C"));
}

INSTANTIATE_TEST_SUITE_P(, ToolServeBus, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "CanFd" : "Classic"; });

TEST(ToolServe, StalledGarbledAndSurplusClientsHarmNobody) {
    TempDir dir;
    Served srv(dir, {"serve", "--max-clients", "2", "--queue", "1024"});
    ASSERT_NE(0, srv.port) << srv.run.Err();

    // A client that opens and then reads nothing, with a small socket buffer.
    Client stalled(srv.port, 4096);
    ASSERT_TRUE(stalled.Send("O\r"));
    ASSERT_EQ("\r", stalled.ReadUntil("\r"));
    constexpr int kFlood = 9000; // below the library's ring: only the stalled client may lose frames
    KorvaRun dump(dir, {"dump", "-n", std::to_string(kFlood), srv.Name()});
    ASSERT_TRUE(srv.WaitOpen(2)) << srv.run.Err();

    // One more than --max-clients: taken and closed at once.
    Client surplus(srv.port);
    EXPECT_EQ("EOF", surplus.ReadUntil("\r"));
    EXPECT_TRUE(srv.WaitErr("refused: 2 clients already"));

    ASSERT_TRUE(srv.sim.Command("flood " + std::to_string(kFlood)));
    ASSERT_EQ(0, dump.Wait()) << dump.Err() << srv.run.Err();
    const std::vector<std::string> lines = dump.OutLines();
    ASSERT_EQ(size_t(kFlood), lines.size());
    for (int i = 0; i < kFlood; i += 997) { // the sequence number leads the data
        char seq[16];
        std::snprintf(seq, sizeof seq, "%02X %02X %02X %02X", i >> 24 & 0xFF, i >> 16 & 0xFF, i >> 8 & 0xFF, i & 0xFF);
        ASSERT_NE(std::string::npos, lines[i].find(seq)) << i << ": " << lines[i];
    }
    // The stalled client lost frames, and its status flags say so.
    ASSERT_TRUE(stalled.Send("F\r"));
    const std::string tail = stalled.ReadUntil("\rF08\r");
    EXPECT_FALSE(tail.empty());

    // Garbage, an overlong line, an unknown command: what an adapter
    // answers (BEL each); a connection cut inside a line harms nobody.
    Client garbler(srv.port);
    ASSERT_TRUE(garbler.Send(std::string("\x01\xFF\x80zz\r", 6) + std::string(100, 'A') + "\rQ\rV\r"));
    EXPECT_EQ("\a\a\aV1013\r", garbler.ReadUntil("V1013\r"));
    ASSERT_TRUE(garbler.Send("O\rt12"));
    garbler.Close();
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(stalled.fd, reinterpret_cast<sockaddr *>(&me), &len);
    const std::string who = "127.0.0.1:" + std::to_string(ntohs(me.sin_port)) + " left after ";
    stalled.Close();
    ASSERT_TRUE(srv.WaitErr(who));
    const std::string err = srv.run.Err();
    const std::string leaving = err.substr(err.find(who), err.find('\n', err.find(who)) - err.find(who));
    EXPECT_EQ(std::string::npos, leaving.find(" 0 dropped")) << leaving; // its drops are counted
    const auto after = RunKorva(dir, {"send", srv.Name(), "7FF#01"});
    EXPECT_EQ(0, after.status) << after.err;
    EXPECT_TRUE(srv.sim.WaitFor("rx t7FF101"));
    srv.run.Signal(SIGINT);
    EXPECT_EQ(0, srv.run.Wait());
}

} // namespace
