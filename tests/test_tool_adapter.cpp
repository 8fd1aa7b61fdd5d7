// The korva tool's subcommands against the simulated adapter: list, info,
// dump (candump output, count, filter, time stamps, log file read back by
// python-can, pcap capture read back by tshark, signals, lost connection),
// send (the exact Lawicel lines, the load generator, a refused command),
// replay, sim and demo.
#include "sim.h"
#include "tempdir.h"
#include "tool/korva_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <unistd.h>

using korva_test::Sim;
using korva_tool_test::KorvaRun;
using korva_tool_test::RunKorva;
using korva_tool_test::RunResult;
using korva_tool_test::SplitLines;

namespace {

// Whether done() becomes true within 20 s, looking every 10 ms.
template <typename F> bool Eventually(F done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

void WriteFile(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// tshark's reading of a capture: one line per frame with identifier,
// extended and remote flags, length and data.  Empty when tshark fails.
std::vector<std::string> TsharkRead(const std::string &capture,
                                    const std::string &fields = "-e can.id -e can.flags.xtd -e can.flags.rtr") {
    const std::string cmd = "tshark -r '" + capture + "' -T fields -E separator=' ' " + fields +
                            " -e can.len -e data.data 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return {};
    std::string out;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    return pclose(p) == 0 ? SplitLines(out) : std::vector<std::string>{};
}

bool HaveTshark() { return std::system("tshark --version >/dev/null 2>&1") == 0; }

// The "rx" events of the simulator that carry frame lines, in order.
std::vector<std::string> FrameLinesSeen(const Sim &sim) {
    std::vector<std::string> lines;
    for (const std::string &e : sim.Events())
        if (e.size() > 3 && e.compare(0, 3, "rx ") == 0 && std::string("tTrRdDbB").find(e[3]) != std::string::npos &&
            e != "rx D0" && e != "rx D1")
            lines.push_back(e.substr(3));
    return lines;
}

/* The same once the simulator has logged at least n frame lines: a tool
 * that has ended has handed its frames to the line, but the simulator may
 * not have read them all yet.  Gives up after the simulator's time-out. */
std::vector<std::string> FrameLinesSeen(const Sim &sim, size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + Sim::kTimeout;
    std::vector<std::string> lines = FrameLinesSeen(sim);
    while (lines.size() < n && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lines = FrameLinesSeen(sim);
    }
    return lines;
}

TEST(ToolAdapter, ListProbesTheAdaptersOfADirectory) {
    TempDir dir;
    Sim usb({"--pty", dir / "ttyUSB0", "--serial", "1001"});
    Sim serial({"--pty", dir / "ttyS1", "--serial", "2002", "--hw", "12", "--sw", "34"});
    Sim silent({"--pty", dir / "ttyS2", "--fault", "silence"});
    Sim other({"--pty", dir / "ttyACM0"}); // not a name discovery probes
    Sim quiet({"--pty", dir / "ttyUSB3", "--dialect", "quiet"});
    ASSERT_TRUE(usb.Ok() && serial.Ok() && silent.Ok() && other.Ok() && quiet.Ok());
    FILE *f = std::fopen((dir / "ttyS9").c_str(), "w"); // not a device
    ASSERT_NE(nullptr, f);
    std::fclose(f);

    RunResult r = RunKorva(dir, {"list", "-v", "--dir", dir.path.string()});
    EXPECT_EQ(0, r.status) << r.err;
    const std::vector<std::string> rows = SplitLines(r.out);
    ASSERT_EQ(4u, rows.size()) << r.out;
    EXPECT_EQ(0u, rows[0].find("DEVICE"));
    auto words = [](const std::string &row) {
        std::vector<std::string> w;
        std::istringstream in(row);
        for (std::string s; in >> s;) w.push_back(s);
        return w;
    };
    EXPECT_EQ((std::vector<std::string>{dir / "ttyS1", "serial", "2002", "12", "34", "full"}), words(rows[1]));
    EXPECT_EQ((std::vector<std::string>{dir / "ttyUSB0", "USB", "1001", "10", "13", "full"}), words(rows[2]));
    EXPECT_EQ((std::vector<std::string>{dir / "ttyUSB3", "USB", "0", "00", "00", "quiet"}), words(rows[3]));
    EXPECT_EQ(1u, quiet.Count("state open O silent")); // listen-only there too
    // -v names the device that did not answer; the others were never probed.
    EXPECT_NE(std::string::npos, r.err.find(dir / "ttyS2" + ": no answer")) << r.err;
    EXPECT_EQ(0u, other.Count("rx N"));
    // Probing is quiet: the adapters were opened listen-only.
    EXPECT_EQ(1u, usb.Count("state open L"));
    EXPECT_EQ(0u, usb.Count("state open O"));

    // Explicit names: only those are probed, a silent one fails the run.
    RunResult named = RunKorva(dir, {"list", usb.Link(), silent.Link()});
    EXPECT_EQ(1, named.status);
    EXPECT_EQ(2u, SplitLines(named.out).size()) << named.out;
    ASSERT_EQ(1u, named.errLines.size()) << named.err;
    EXPECT_NE(std::string::npos, named.errLines[0].find("no adapter answers at '" + silent.Link() + "'"));
    EXPECT_EQ(1u, serial.Count("state open L")) << "ttyS1 was probed again";
}

TEST(ToolAdapter, InfoShowsSerialVersionsAndDecodedStatus) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0", "--serial", "4711", "--hw", "12", "--sw", "34", "--status", "AC"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    RunResult r = RunKorva(dir, {"info", sim.Link()});
    EXPECT_EQ(0, r.status) << r.err;
    const std::vector<std::string> expected = {
        "adapter   " + sim.Link(),
        "kind      USB (Lawicel adapter on a USB serial port)",
        "dialect   full (the whole Lawicel command set)",
        "serial    4711",
        "hardware  12",
        "software  34",
        "library   1.6.0",
        "status    0x000000AC: error warning, data overrun, error passive, bus error",
    };
    EXPECT_EQ(expected, SplitLines(r.out));
    EXPECT_TRUE(sim.WaitFor("rx F"));

    // Over TCP the kind is network.
    Sim tcp({"--tcp", "0", "--status", "03"});
    ASSERT_TRUE(tcp.Ok()) << tcp.Error();
    RunResult n = RunKorva(dir, {"info", tcp.TcpName()});
    EXPECT_EQ(0, n.status) << n.err;
    EXPECT_NE(std::string::npos, n.out.find("kind      network (Lawicel adapter over TCP)")) << n.out;
    EXPECT_NE(std::string::npos, n.out.find("status    0x00000003: RX FIFO full, TX FIFO full")) << n.out;

    // A quiet adapter: no serial number, versions or status byte of its own.
    Sim quiet({"--tcp", "0", "--dialect", "quiet"});
    ASSERT_TRUE(quiet.Ok()) << quiet.Error();
    RunResult q = RunKorva(dir, {"info", quiet.TcpName()});
    EXPECT_EQ(0, q.status) << q.err;
    EXPECT_NE(std::string::npos, q.out.find("dialect   quiet (slcan firmware that answers no command)\nserial    0\n"))
        << q.out;
    EXPECT_NE(std::string::npos, q.out.find("status    0x00000000")) << q.out;

    // Whether the adapter takes a CAN FD data bit rate.
    Sim fd({"--tcp", "0", "--dialect", "fd"});
    ASSERT_TRUE(fd.Ok()) << fd.Error();
    for (const auto &[adapter, said] : {std::pair<std::string, std::string>{fd.TcpName(), "taken"},
                                        std::pair<std::string, std::string>{tcp.TcpName(), "refused by the adapter"}}) {
        RunResult f = RunKorva(dir, {"info", "--data-bitrate", "2M", adapter});
        EXPECT_EQ(0, f.status) << f.err;
        EXPECT_NE(std::string::npos, f.out.find("\nCAN FD    data bit rate 2M (Y2): " + said + "\n")) << f.out;
    }

    // An adapter that does not answer "F": the rest is shown, the run fails.
    ASSERT_TRUE(sim.Command("reply F none"));
    RunResult silent = RunKorva(dir, {"info", sim.Link()});
    EXPECT_EQ(1, silent.status);
    EXPECT_NE(std::string::npos, silent.out.find("serial    4711"));
    ASSERT_EQ(1u, silent.errLines.size()) << silent.err;
    EXPECT_NE(std::string::npos, silent.errLines[0].find("cannot read the status flags"));
}

TEST(ToolAdapter, DumpPrintsCandumpLinesStopsAtCountAndLogsForPythonCan) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const std::string log = dir / "bus.log", capture = dir / "bus.pcap";
    KorvaRun dump(dir, {"dump", "-n", "5", "-l", log, "--pcap", capture, sim.Link()});
    ASSERT_TRUE(dump.Started());
    ASSERT_TRUE(sim.WaitFor("state open O"));
    for (const char *frame : {"123#AABB", "12345678#0102030405060708", "7FF#R", "1ABCDEF0#R4", "000#", "456#99"})
        ASSERT_TRUE(sim.Command(std::string("send ") + frame));
    ASSERT_EQ(0, dump.Wait()) << dump.Err();
    const std::string n = sim.Link();
    const std::vector<std::string> expected = {
        n + "  123   [2]  AA BB",
        n + "  12345678   [8]  01 02 03 04 05 06 07 08",
        n + "  7FF   [0]  remote request",
        n + "  1ABCDEF0   [4]  remote request",
        n + "  000   [0]",
    };
    EXPECT_EQ(expected, dump.OutLines());
    const std::vector<std::string> err = dump.ErrLines();
    ASSERT_FALSE(err.empty());
    EXPECT_NE(std::string::npos, err.back().find("5 frames received; no frames lost")) << dump.Err();
    EXPECT_TRUE(sim.WaitFor("rx C")) << "the adapter was closed";

    // The log in candump's format, as python-can reads it.
    const std::string script = dir / "read_log.py";
    const std::string out = dir / "read_log.out";
    FILE *py = std::fopen(script.c_str(), "w");
    ASSERT_NE(nullptr, py);
    std::fputs("import sys, can\n"
               "with open(sys.argv[2], 'w') as out:\n"
               "    for m in can.CanutilsLogReader(sys.argv[1]):\n"
               "        assert m.timestamp > 1e9, m.timestamp\n"
               "        out.write('%X %s %s %d %s %s\\n' % (m.arbitration_id, 'ext' if m.is_extended_id else 'std',\n"
               "                  'rtr' if m.is_remote_frame else 'data', m.dlc, bytes(m.data).hex().upper(),\n"
               "                  m.channel))\n",
               py);
    std::fclose(py);
    const std::string cmd = "/usr/bin/python3 " + script + " " + log + " " + out;
    ASSERT_EQ(0, std::system(cmd.c_str())) << ReadWholeFile(log);
    const std::vector<std::string> decoded = {
        "123 std data 2 AABB " + n,
        "12345678 ext data 8 0102030405060708 " + n,
        "7FF std rtr 0  " + n,
        "1ABCDEF0 ext rtr 4  " + n,
        "0 std data 0  " + n,
    };
    EXPECT_EQ(decoded, SplitLines(ReadWholeFile(out))) << ReadWholeFile(log);

    // The same frames in the capture, as Wireshark's dissector reads it;
    // then a capture on standard output, which holds nothing else.
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (apt install tshark)";
    const std::vector<std::string> dissected = {
        "291 0 0 2 aabb",
        "305419896 1 0 8 0102030405060708",
        "2047 0 1 0 ",
        "448585456 1 1 4 00000000",
        "0 0 0 0 ",
    };
    EXPECT_EQ(dissected, TsharkRead(capture));
    KorvaRun piped(dir, {"dump", "-n", "1", "--pcap", "-", sim.Link()});
    ASSERT_TRUE(sim.WaitFor("state open O"));
    ASSERT_TRUE(sim.Command("send 1FFFFFFF#C0FFEE"));
    ASSERT_EQ(0, piped.Wait()) << piped.Err();
    EXPECT_EQ(24u + 16u + 16u, piped.Out().size());
    const std::string pipedFile = dir / "piped.pcap";
    WriteFile(pipedFile, piped.Out());
    EXPECT_EQ(std::vector<std::string>{"536870911 1 0 3 c0ffee"}, TsharkRead(pipedFile));
}

TEST(ToolAdapter, DumpConfiguresTheAdapterAndFilters) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    KorvaRun dump(dir, {"dump", "--listen-only", "-b", "250k", "--acc-code", "123", "--acc-mask", "0x7FF",
                        "--timestamps", "-f", "123:7FF,400~400", "-n", "2", sim.Link()});
    ASSERT_TRUE(dump.Started());
    for (const char *e : {"rx S5", "rx M00000123", "rx m000007FF", "rx Z1", "state open L"})
        ASSERT_TRUE(sim.WaitFor(e)) << e << "\n" << dump.Err();
    // Shown: identifier 123, or any without bit 400.
    ASSERT_TRUE(sim.Command("send 524#01"));
    ASSERT_TRUE(sim.Command("send 10000401#02"));
    ASSERT_TRUE(sim.Command("send 123#03"));
    ASSERT_TRUE(sim.Command("send 00000005#04"));
    ASSERT_EQ(0, dump.Wait()) << dump.Err();
    const std::vector<std::string> lines = dump.OutLines();
    ASSERT_EQ(2u, lines.size()) << dump.Out();
    // Each line starts with the adapter's time stamp in seconds.
    for (const std::string &l : lines) {
        EXPECT_EQ('(', l[0]) << l;
        EXPECT_NE(std::string::npos, l.find(")  " + sim.Link())) << l;
    }
    EXPECT_NE(std::string::npos, lines[0].find("  123   [1]  03"));
    EXPECT_NE(std::string::npos, lines[1].find("  00000005   [1]  04"));
    EXPECT_NE(std::string::npos, dump.Err().find("4 frames received, 2 shown")) << dump.Err();
}

TEST(ToolAdapter, DumpEndsCleanlyOnSignalsAndReportsALostConnection) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        sim.Mark();
        KorvaRun dump(dir, {"dump", sim.Link()});
        ASSERT_TRUE(sim.WaitFor("state open O"));
        ASSERT_TRUE(sim.Command("send 321#C0FFEE"));
        ASSERT_TRUE(sim.WaitFor("done send"));
        dump.Signal(sig);
        ASSERT_EQ(0, dump.Wait()) << dump.Err();
        // The frame may or may not have been read before the signal.
        const std::vector<std::string> out = dump.OutLines();
        EXPECT_LE(out.size(), 1u);
        EXPECT_NE(std::string::npos, dump.Err().find(std::to_string(out.size()) + " frame")) << dump.Err();
        EXPECT_TRUE(sim.WaitFor("rx C")) << "closed through the library";
    }

    sim.Mark();
    KorvaRun dump(dir, {"dump", sim.Link()});
    ASSERT_TRUE(sim.WaitFor("state open O"));
    ASSERT_TRUE(sim.Command("close")); // the adapter is unplugged
    ASSERT_EQ(1, dump.Wait()) << dump.Err();
    EXPECT_NE(std::string::npos, dump.Err().find("connection to adapter '" + sim.Link() + "' was lost"))
        << dump.Err();

    // With --reconnect the dump waits for the adapter, says when it went
    // and came back, and goes on.
    sim.Mark();
    KorvaRun kept(dir, {"dump", "--reconnect", "-n", "2", sim.Link()});
    ASSERT_TRUE(sim.WaitFor("state open O"));
    ASSERT_TRUE(sim.Command("send 321#01"));
    ASSERT_TRUE(Eventually([&] { return kept.OutLines().size() == 1; })) << kept.Err();
    ASSERT_TRUE(sim.Command("unplug"));
    ASSERT_TRUE(Eventually([&] { return kept.Err().find("lost (outage 1)") != std::string::npos; })) << kept.Err();
    ASSERT_TRUE(sim.Command("plug"));
    ASSERT_TRUE(sim.WaitFor("state open O"));
    ASSERT_TRUE(sim.Command("send 321#02"));
    ASSERT_EQ(0, kept.Wait()) << kept.Err();
    EXPECT_EQ(2u, kept.OutLines().size());
    EXPECT_NE(std::string::npos, kept.Err().find("' is back after")) << kept.Err();
    EXPECT_NE(std::string::npos, kept.Err().find("2 frames received; no frames lost; 1 outage, 1 back")) << kept.Err();
}

TEST(ToolAdapter, SendPutsExactLawicelLinesOnTheWire) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    RunResult r = RunKorva(dir, {"send", "-b", "1M", "--btr", "031C", sim.Link(), "123#AABB", "12345678#01",
                                 "123#R", "123#R4", "1ABCDEF0#R4", "123#", "7FF#11.22.33.44.55.66.77.88"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    // Configuration first, each while the channel is closed, then the frames.
    const std::vector<std::string> events = sim.Events();
    auto at = [&events](const std::string &e) { return std::find(events.begin(), events.end(), e) - events.begin(); };
    EXPECT_LT(at("rx S8"), at("rx s031C"));
    EXPECT_LT(at("rx s031C"), at("rx t1232AABB"));
    const std::vector<std::string> expected = {"t1232AABB",  "T12345678101", "r1230",
                                               "r1234",      "R1ABCDEF04",   "t1230",
                                               "t7FF81122334455667788"};
    EXPECT_EQ(expected, FrameLinesSeen(sim, expected.size()));
    EXPECT_EQ(0u, sim.Count("refused"));
}

TEST(ToolAdapter, CanFdFramesAreSentDumpedLoggedAndCaptured) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0", "--dialect", "fd"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    std::string data64;
    for (int i = 0; i < 64; ++i) data64 += i % 2 ? "5A" : "A5";
    RunResult r = RunKorva(dir, {"send", sim.Link(), "123##1AABB"});
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("CAN FD frame '123##1AABB' needs --data-bitrate")) << r.err;
    r = RunKorva(dir, {"send", "-b", "500k", "--data-bitrate", "2M", sim.Link(), "123##1AABB",
                       "1ABCDEF0##0" + data64, "7FF#11", "321##0" + std::string(20, 'E')});
    EXPECT_EQ(0, r.status) << r.err;
    const std::vector<std::string> sent = {"b1232AABB", "D1ABCDEF0F" + data64, "t7FF111",
                                           "d3219" + std::string(20, 'E') + "0000"};
    EXPECT_EQ(sent, FrameLinesSeen(sim, sent.size()));
    EXPECT_EQ(1u, sim.Count("set dbitrate=Y2"));

    const std::string log = dir / "fd.log", capture = dir / "fd.pcap";
    KorvaRun dump(dir, {"dump", "--data-bitrate", "8M", "-n", "3", "-l", log, "--pcap", capture, sim.Link()});
    ASSERT_TRUE(dump.Started());
    ASSERT_TRUE(sim.WaitFor("state open O"));
    for (const std::string &line : {std::string("b1239112233445566778899AABBCC"), "D1ABCDEF0F" + data64, std::string("t1232AABB")})
        ASSERT_TRUE(sim.Command("send " + line));
    ASSERT_EQ(0, dump.Wait()) << dump.Err();
    std::string shown64;
    for (int i = 0; i < 64; ++i) shown64 += i % 2 ? " 5A" : " A5";
    const std::string n = sim.Link();
    EXPECT_EQ((std::vector<std::string>{n + "  123  [12]  11 22 33 44 55 66 77 88 99 AA BB CC",
                                        n + "  1ABCDEF0  [64] " + shown64, n + "  123   [2]  AA BB"}),
              dump.OutLines());
    std::vector<std::string> logged;
    for (const std::string &line : SplitLines(ReadWholeFile(log))) logged.push_back(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ((std::vector<std::string>{"123##1112233445566778899AABBCC", "1ABCDEF0##0" + data64, "123#AABB"}), logged);

    // A classic adapter refuses the data bit rate; the tool says so.
    Sim classic({"--pty", dir / "ttyUSB1"});
    ASSERT_TRUE(classic.Ok()) << classic.Error();
    r = RunKorva(dir, {"send", "--data-bitrate", "2M", classic.Link(), "123#11"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot set data bit rate (Y2): the adapter refused it")) << r.err;

    // Wireshark's dissector takes the FD records as CAN FD (the
    // bit-rate-switch field exists for them only).
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (apt install tshark)";
    std::string hex64;
    for (int i = 0; i < 64; ++i) hex64 += i % 2 ? "5a" : "a5";
    EXPECT_EQ((std::vector<std::string>{"291 1 12 112233445566778899aabbcc", "448585456 0 64 " + hex64, "291  2 aabb"}),
              TsharkRead(capture, "-e can.id -e canfd.flags.brs"));
}

TEST(ToolAdapter, SendAsLoadGeneratorReportsItsRate) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    RunResult paced = RunKorva(dir, {"send", "--count", "50", "--rate", "500", sim.Link(), "100#01", "101#02"});
    EXPECT_EQ(0, paced.status) << paced.err;
    ASSERT_EQ(1u, paced.errLines.size()) << paced.err;
    EXPECT_NE(std::string::npos, paced.errLines[0].find("100 frames sent in")) << paced.err;
    EXPECT_NE(std::string::npos, paced.errLines[0].find("frames/s"));

    // Opening the line again discards what the simulator has not read yet:
    // the paced frames are seen first.
    ASSERT_EQ(100u, FrameLinesSeen(sim, 100).size());
    sim.Mark();
    RunResult flood = RunKorva(dir, {"send", "--count", "2000", sim.Link(), "7FF#0011223344556677"});
    EXPECT_EQ(0, flood.status) << flood.err;
    EXPECT_NE(std::string::npos, flood.err.find("2000 frames sent")) << flood.err;
    // Every frame reached the adapter, the flush before closing included:
    // the simulator sees them before the "C" of the close (the first "C"
    // is the open's).
    const std::vector<std::string> lines = FrameLinesSeen(sim, 100 + 2000);
    EXPECT_EQ(100u + 2000u, lines.size()) << std::count(lines.begin(), lines.end(), "t100101") << " + "
                                          << std::count(lines.begin(), lines.end(), "t101102") << " paced";
    EXPECT_EQ(2000, std::count(lines.begin(), lines.end(), "t7FF80011223344556677"));

    // The load generator pauses through an outage and goes on after it.
    sim.Mark();
    KorvaRun kept(dir, {"send", "--reconnect", "--count", "0", "--rate", "200", sim.Link(), "100#01"});
    ASSERT_TRUE(sim.WaitFor("rx t100101"));
    ASSERT_TRUE(sim.Command("unplug"));
    ASSERT_TRUE(Eventually([&] { return kept.Err().find("lost (outage 1)") != std::string::npos; })) << kept.Err();
    ASSERT_TRUE(sim.Command("plug"));
    ASSERT_TRUE(sim.WaitFor("state open O")) << kept.Err();
    ASSERT_TRUE(sim.WaitFor("rx t100101")) << kept.Err();
    kept.Signal(SIGINT);
    ASSERT_EQ(0, kept.Wait()) << kept.Err();
    EXPECT_NE(std::string::npos, kept.Err().find("1 outages, 1 back")) << kept.Err();
}

TEST(ToolAdapter, ReplaySendsALogWithItsSpacingAndChecksItFirst) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    // candump -l's format, whatever adapter names it holds; 0.6 s long.
    const std::string log = dir / "bus.log";
    WriteFile(log, "(1436509052.249713) can0 123#DEADBEEF\n"
                   "(1436509052.449713) can0 12345678#01\n"
                   "\n"
                   "(1436509052.649713) vcan1 7FF#R\n"
                   "(1436509052.849713) /dev/ttyUSB0 000#R4\n");
    const std::vector<std::string> lines = {"t1234DEADBEEF", "T123456781" "01", "r7FF0", "r0004"};
    RunResult r = RunKorva(dir, {"replay", "-b", "500k", "--speed", "2", sim.Link(), log});
    EXPECT_EQ(0, r.status) << r.err;
    ASSERT_EQ(1u, r.errLines.size()) << r.err;
    EXPECT_NE(std::string::npos, r.errLines[0].find("4 frames sent in")) << r.err;
    // Never earlier than the log says, at twice its speed: 0.3 s at least.
    EXPECT_GE(std::atof(r.errLines[0].substr(r.errLines[0].find(" in ") + 4).c_str()), 0.29) << r.err;
    EXPECT_EQ(lines, FrameLinesSeen(sim, lines.size()));

    // Without timing a log spanning days goes out at once, here twice.
    const size_t before = FrameLinesSeen(sim).size();
    const std::string slow = dir / "slow.log";
    WriteFile(slow, "(1000000.000000) can0 100#01\n(1200000.000000) can0 101#02\n");
    r = RunKorva(dir, {"replay", "--no-timing", "--loop", "2", sim.Link(), slow});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("4 frames sent")) << r.err;
    const std::vector<std::string> seen = FrameLinesSeen(sim, before + 4);
    EXPECT_EQ((std::vector<std::string>{"t100101", "t101102", "t100101", "t101102"}),
              std::vector<std::string>(seen.begin() + static_cast<std::ptrdiff_t>(before), seen.end()));

    // Ctrl-C during a long gap stops after the frame in flight.
    sim.Mark();
    KorvaRun stopped(dir, {"replay", sim.Link(), slow});
    ASSERT_TRUE(sim.WaitFor("rx t100101"));
    stopped.Signal(SIGINT);
    ASSERT_EQ(0, stopped.Wait()) << stopped.Err();
    EXPECT_NE(std::string::npos, stopped.Err().find("1 frame sent in")) << stopped.Err();
    EXPECT_NE(std::string::npos, stopped.Err().find("(stopped)")) << stopped.Err();
    EXPECT_TRUE(sim.WaitFor("rx C"));

    // One bad line anywhere: FILE:LINE and the reason, the adapter untouched.
    const std::pair<const char *, const char *> bad[] = {
        {"(1436509052.249713 can0 123#00", "expected \"(SECONDS.FRACTION)\""},
        {"(1436509052,249713) can0 123#00", "expected \"(SECONDS.FRACTION)\""},
        {"(1436509052.249713) can0", "no frame"},
        {"(1436509052.249713) can0 123#AAB", "bad frame '123#AAB': odd number"},
        {"(1436509052.249713) can0 123##1AAB", "odd number"},
        {"(1436509052.249713) can0 123#11_9", "length code '_9'"},
        {"(1436509052.249713) can0 123#00 X", "unexpected text"},
    };
    const size_t opened = sim.Count("state open");
    for (const auto &[line, why] : bad) {
        SCOPED_TRACE(line);
        const std::string file = dir / "bad.log";
        WriteFile(file, "(1.000000) can0 123#00\n\n" + std::string(line) + "\n(2.000000) can0 123#01\n");
        r = RunKorva(dir, {"replay", sim.Link(), file});
        EXPECT_EQ(2, r.status);
        ASSERT_EQ(1u, r.errLines.size()) << r.err;
        EXPECT_NE(std::string::npos, r.errLines[0].find(file + ":3: ")) << r.err;
        EXPECT_NE(std::string::npos, r.errLines[0].find(why)) << r.err;
    }
    EXPECT_EQ(opened, sim.Count("state open")) << "the adapter was opened";
}

// Logs korva did not write: python-can's writer, can-utils' asc2log, and a
// candump -l -e log of a bus with error and CAN FD frames.  The adapter
// gets exactly the classic frames, in order; the rest is counted.
TEST(ToolAdapter, ReplayPlaysLogsOfOtherToolsAndSkipsWhatItCannotSend) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const std::string py = dir / "py.log", asc = dir / "bus.asc", fromAsc = dir / "asc.log";
    WriteFile(dir / "write.py",
              "import sys, can\n"
              "w = can.Logger(sys.argv[1])\n"
              "for m in [can.Message(timestamp=1.0, arbitration_id=0x123, data=b'\\xaa\\xbb', is_extended_id=False),\n"
              "          can.Message(timestamp=1.1, arbitration_id=0x12345678, data=b'\\x01', is_rx=False),\n"
              "          can.Message(timestamp=1.2, arbitration_id=0x80, is_error_frame=True, dlc=8),\n"
              "          can.Message(timestamp=1.3, arbitration_id=0x456, is_fd=True, data=bytes(12),\n"
              "                      is_extended_id=False),\n"
              "          can.Message(timestamp=1.4, arbitration_id=0x7FF, is_remote_frame=True, is_extended_id=False)]:\n"
              "    m.channel = 'can0'\n"
              "    w.on_message_received(m)\n"
              "w.stop()\n");
    ASSERT_EQ(0, std::system(("/usr/bin/python3 " + dir / "write.py" + " " + py).c_str()));
    WriteFile(asc, "date Mon Jan 1 00:00:00.000 am 2024\nbase hex  timestamps absolute\n"
                   "Begin Triggerblock Mon Jan 1 00:00:00.000 am 2024\n"
                   "   0.100000 1  123             Rx   d 2 AA BB\n"
                   "   0.200000 2  12345678x       Tx   d 1 01\n"
                   "   0.300000 1  ErrorFrame\n"
                   "   0.400000 1  7FF             Rx   r\n"
                   "End TriggerBlock\n");
    ASSERT_EQ(0, std::system(("asc2log -I " + asc + " -O " + fromAsc + " 2>/dev/null").c_str()));
    const std::string mixed = dir / "mixed.log";
    WriteFile(mixed, "# candump -l -e can0\n\n"
                     "(1.000000) can0 123#AABB\n"
                     "(1.100000) can0 20000080#0000000000000000\n"
                     "(1.200000) can0 456##1AABB\n"
                     "(1.300000) can0 12345678#01 T\n"
                     "(1.350000) can0 20000004#0000000000000000\n"
                     "(1.400000) can0 7FF#R\n"
                     "(1.500000) can0 100#1122334455667788_9\n");
    const std::vector<std::string> classic = {"t1232AABB", "T12345678101", "r7FF0"};
    const std::pair<std::string, std::string> logs[] = {
        {py, "1 error frame and 1 CAN FD frame skipped: korva sends classic CAN frames only"},
        {fromAsc, "1 error frame skipped"},
        {mixed, "2 error frames and 1 CAN FD frame skipped: korva sends classic CAN frames only"},
    };
    for (const auto &[log, skipped] : logs) {
        SCOPED_TRACE(log + ":\n" + ReadWholeFile(log));
        sim.Mark();
        const size_t before = FrameLinesSeen(sim).size();
        RunResult r = RunKorva(dir, {"replay", "--speed", "10", sim.Link(), log});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(skipped)) << r.err;
        std::vector<std::string> expected = classic;
        if (log == mixed) expected.push_back("t10081122334455667788"); // the length code 9 goes as 8
        std::vector<std::string> seen = FrameLinesSeen(sim, before + expected.size());
        seen.erase(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(before));
        EXPECT_EQ(expected, seen);
    }
    // With a data bit rate an FD adapter gets the CAN FD frames too, in their place.
    Sim fd({"--pty", dir / "ttyUSB1", "--dialect", "fd"});
    ASSERT_TRUE(fd.Ok()) << fd.Error();
    for (const auto &[log, fdLine] : {std::pair<std::string, std::string>{py, "d4569" + std::string(24, '0')},
                                      std::pair<std::string, std::string>{mixed, "b4562AABB"}}) {
        SCOPED_TRACE(log);
        const size_t before = FrameLinesSeen(fd).size();
        RunResult r = RunKorva(dir, {"replay", "--no-timing", "--data-bitrate", "2M", fd.Link(), log});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("CAN FD frame")) << r.err;
        std::vector<std::string> expected = {"t1232AABB", "T12345678101", "r7FF0"};
        expected.insert(expected.begin() + (log == py ? 2 : 1), fdLine);
        if (log == mixed) expected.push_back("t10081122334455667788");
        std::vector<std::string> seen = FrameLinesSeen(fd, before + expected.size());
        seen.erase(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(before));
        EXPECT_EQ(expected, seen);
    }
    // --strict refuses the first frame korva cannot send as logged.
    RunResult strict = RunKorva(dir, {"replay", "--strict", sim.Link(), mixed});
    EXPECT_EQ(2, strict.status);
    EXPECT_NE(std::string::npos, strict.err.find(mixed + ":4: an error frame")) << strict.err;
}

// A log of two buses to two adapters, dumped from two others on the same
// buses: each frame on its bus, on the log's one time line, in one dump log
// and one pcapng capture with an interface per adapter.
TEST(ToolAdapter, ReplayAndDumpServeSeveralAdaptersAtOnce) {
    TempDir dir;
    const std::string tag = std::to_string(getpid());
    Sim a({"--pty", dir / "ttyUSB0", "--bus", "logsA" + tag}), b({"--pty", dir / "ttyUSB1", "--bus", "logsB" + tag});
    Sim da({"--pty", dir / "ttyUSB2", "--bus", "logsA" + tag}), db({"--pty", dir / "ttyUSB3", "--bus", "logsB" + tag});
    ASSERT_TRUE(a.Ok() && b.Ok() && da.Ok() && db.Ok());
    const std::string dumpLog = dir / "dump.log", capture = dir / "dump.pcapng";
    KorvaRun dump(dir, {"dump", "-n", "3", "-l", dumpLog, "--pcap", capture, da.Link(), db.Link()});
    ASSERT_TRUE(da.WaitFor("state open O") && db.WaitFor("state open O")) << dump.Err();
    // Each adapter on a time line of its own would send 200 first.
    const std::string log = dir / "two.log";
    WriteFile(log, "(10.000000) can0 123#01\n(10.000000) can2 333#33\n(10.300000) can0 124#02\n"
                   "(10.600000) can1 200#03 R\n");
    RunResult r = RunKorva(dir, {"replay", log, "can0=" + a.Link(), "can1=" + b.Link()});
    EXPECT_EQ(0, r.status) << r.err;
    ASSERT_GE(r.errLines.size(), 2u) << r.err;
    EXPECT_NE(std::string::npos, r.errLines[0].find(": 2 to " + a.Link() + ", 1 to " + b.Link())) << r.err;
    EXPECT_GE(std::atof(r.errLines[0].substr(r.errLines[0].find(" in ") + 4).c_str()), 0.59) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("1 frame of log interfaces not named skipped (can2)")) << r.err;
    EXPECT_EQ((std::vector<std::string>{"t123101", "t124102"}), FrameLinesSeen(a, 2));
    EXPECT_EQ((std::vector<std::string>{"t200103"}), FrameLinesSeen(b, 1));

    ASSERT_EQ(0, dump.Wait()) << dump.Err();
    const std::string pa = da.Link(), pb = db.Link() + std::string(pa.size() - db.Link().size(), ' ');
    EXPECT_EQ((std::vector<std::string>{pa + "  123   [1]  01", pa + "  124   [1]  02", pb + "  200   [1]  03"}),
              dump.OutLines());
    EXPECT_NE(std::string::npos, dump.Err().find(db.Link() + ": 1 frame received; no frames lost")) << dump.Err();
    std::vector<std::string> logged;
    for (const std::string &l : SplitLines(ReadWholeFile(dumpLog))) logged.push_back(l.substr(l.find(')') + 2));
    EXPECT_EQ((std::vector<std::string>{pa + " 123#01", pa + " 124#02", db.Link() + " 200#03"}), logged);
    // A log interface with no frames (canplayer's order) is refused.
    RunResult reversed = RunKorva(dir, {"replay", log, a.Link() + "=can0"});
    EXPECT_EQ(2, reversed.status);
    EXPECT_NE(std::string::npos, reversed.err.find("(it has: can0, can2, can1)")) << reversed.err;

    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (apt install tshark)";
    FILE *p = popen(("tshark -r '" + capture + "' -T fields -e frame.interface_name -e can.id 2>/dev/null").c_str(), "r");
    ASSERT_NE(nullptr, p);
    std::string out;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    EXPECT_EQ(0, pclose(p));
    EXPECT_EQ((std::vector<std::string>{da.Link() + "\t291", da.Link() + "\t292", db.Link() + "\t512"}),
              SplitLines(out));
}

TEST(ToolAdapter, RefusedCommandsAreReported) {
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    ASSERT_TRUE(sim.Command("reply S \\a"));
    RunResult r = RunKorva(dir, {"send", "-b", "500k", sim.Link(), "123#"});
    EXPECT_EQ(1, r.status);
    ASSERT_EQ(1u, r.errLines.size()) << r.err;
    EXPECT_NE(std::string::npos, r.errLines[0].find("cannot set bit rate (speed code 6, S6)")) << r.err;
    EXPECT_NE(std::string::npos, r.errLines[0].find("refused")) << r.err;
    EXPECT_TRUE(FrameLinesSeen(sim).empty()) << "nothing is sent after a refused setting";
}

TEST(ToolAdapter, SimRunsTheSimulatorAndDemoShowsFramesCrossingTheBus) {
    TempDir dir;
    // Standard input is /dev/null: the simulator ends once it is ready.
    RunResult sim = RunKorva(dir, {"sim", "--tcp", "0"});
    EXPECT_EQ(0, sim.status) << sim.err;
    EXPECT_EQ(0u, sim.out.find("ready tcp=")) << sim.out;

    RunResult demo = RunKorva(dir, {"demo"});
    EXPECT_EQ(0, demo.status) << demo.out << demo.err;
    EXPECT_NE(std::string::npos, demo.out.find("on the wire: T1234567880102030405060708")) << demo.out;
    EXPECT_NE(std::string::npos, demo.out.find("ttyUSB1  1ABCDEF0   [4]  remote request")) << demo.out;
    EXPECT_NE(std::string::npos, demo.out.find("5 of 5 frames went from A to B unchanged")) << demo.out;
}

} // namespace
