// The korva tool's command line: help texts, and the one-line errors for
// bad frames, bad options and adapters that are not there.  No adapter
// is needed except where a silent simulator stands for one.
#include "sim.h"
#include "tempdir.h"
#include "tool/korva_run.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using korva_tool_test::RunKorva;
using korva_tool_test::RunResult;

namespace {

// A refused command line: non-zero exit, exactly one line on standard
// error that contains each of the given texts, nothing on standard output.
void ExpectOneLineError(const RunResult &r, int status, std::initializer_list<std::string> texts) {
    EXPECT_EQ(status, r.status) << r.err;
    ASSERT_EQ(1u, r.errLines.size()) << r.err;
    for (const std::string &t : texts) EXPECT_NE(std::string::npos, r.errLines[0].find(t)) << r.errLines[0];
    EXPECT_EQ("", r.out);
}

TEST(ToolCli, EveryCommandHasHelp) {
    TempDir dir;
    RunResult top = RunKorva(dir, {"--help"});
    EXPECT_EQ(0, top.status);
    EXPECT_NE(std::string::npos, top.out.find("Usage: korva COMMAND"));
    RunResult version = RunKorva(dir, {"--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ(std::string("korva ") + std::getenv("KORVA_VERSION") + "\n", version.out);
    for (const char *cmd : {"list", "info", "dump", "send", "replay", "serve", "demo"}) {
        RunResult r = RunKorva(dir, {cmd, "--help"});
        EXPECT_EQ(0, r.status) << cmd;
        EXPECT_NE(std::string::npos, r.out.find(std::string("Usage: korva ") + cmd)) << r.out;
    }
    // "korva sim --help" adds the simulator's own help, so it found it.
    RunResult sim = RunKorva(dir, {"sim", "--help"});
    EXPECT_EQ(0, sim.status) << sim.err;
    EXPECT_NE(std::string::npos, sim.out.find("Usage: korva sim"));
    EXPECT_NE(std::string::npos, sim.out.find("Usage: korva_sim"));
}

TEST(ToolCli, BadFramesAreRefusedBeforeTheAdapterIsOpened) {
    TempDir dir;
    // The adapter does not exist: each frame must be refused first.
    const std::string adapter = dir / "ttyUSB0";
    const std::pair<const char *, const char *> cases[] = {
        {"123AABB", "no '#'"},
        {"1234#00", "3 (standard) or 8 (extended)"},
        {"12#00", "3 (standard) or 8 (extended)"},
        {"800#00", "above 7FF"},
        {"20000000#00", "above 1FFFFFFF"},
        {"12G#00", "3 (standard) or 8 (extended)"},
        {"123#AAB", "odd number"},
        {"123#AA.B", "odd number"},
        {"123#GG", "not hexadecimal"},
        {"123#001122334455667788", "more than 8"},
        {"123#R9", "0..8"},
        {"123#R44", "0..8"},
        {"123##1", "CAN FD"},
    };
    for (const auto &[frame, why] : cases) {
        SCOPED_TRACE(frame);
        // A good frame first: the bad one is found wherever it stands.
        ExpectOneLineError(RunKorva(dir, {"send", adapter, "123#00", frame}), 2, {frame, why, "korva send"});
    }
}

TEST(ToolCli, BadOptionsAreUsageErrors) {
    TempDir dir;
    const std::string a = dir / "ttyUSB0";
    ExpectOneLineError(RunKorva(dir, {"dump", "-b", "33k", a}), 2, {"bad bit rate '33k'", "500k"});
    ExpectOneLineError(RunKorva(dir, {"dump", "-b", "9", a}), 2, {"bad bit rate '9'"});
    ExpectOneLineError(RunKorva(dir, {"send", "--btr", "31C", a, "123#"}), 2, {"--btr '31C'"});
    ExpectOneLineError(RunKorva(dir, {"dump", "--acc-code", "XYZ", a}), 2, {"--acc-code 'XYZ'"});
    ExpectOneLineError(RunKorva(dir, {"dump", "-n", "0", a}), 2, {"bad count '0'"});
    ExpectOneLineError(RunKorva(dir, {"dump", "-f", "123", a}), 2, {"filter '123'"});
    ExpectOneLineError(RunKorva(dir, {"send", "--rate", "fast", a, "123#"}), 2, {"--rate 'fast'"});
    ExpectOneLineError(RunKorva(dir, {"replay", "--speed", "0", a, "bus.log"}), 2, {"--speed '0'"});
    ExpectOneLineError(RunKorva(dir, {"dump", "--bogus", a}), 2, {"unknown option '--bogus'"});
    ExpectOneLineError(RunKorva(dir, {"dump", a, "-x"}), 2, {"unknown option '-x'"});
    ExpectOneLineError(RunKorva(dir, {"dump", a, "-n"}), 2, {"needs a value"});
    ExpectOneLineError(RunKorva(dir, {"dump"}), 2, {"expected at least one ADAPTER"});
    ExpectOneLineError(RunKorva(dir, {"send", a}), 2, {"at least one FRAME"});
    ExpectOneLineError(RunKorva(dir, {"frobnicate"}), 2, {"unknown command 'frobnicate'"});
}

TEST(ToolCli, UnknownAdaptersAreNamedWithTheReason) {
    TempDir dir;
    const std::string missing = dir / "ttyUSB7";
    ExpectOneLineError(RunKorva(dir, {"info", missing}), 1, {"unknown adapter", missing, "No such file"});
    ExpectOneLineError(RunKorva(dir, {"dump", "bogus"}), 1, {"unknown adapter 'bogus'", "serial number"});
    ExpectOneLineError(RunKorva(dir, {"send", dir / "ttyS0", "123#"}), 1, {"unknown adapter"});
    // A regular file with an adapter's name is no device.
    const std::string file = dir / "ttyS3";
    FILE *f = std::fopen(file.c_str(), "w");
    ASSERT_NE(nullptr, f);
    std::fclose(f);
    ExpectOneLineError(RunKorva(dir, {"info", file}), 1, {"not a character device"});
    ExpectOneLineError(RunKorva(dir, {"list", file}), 1, {"not a character device"});

    // A device that exists but does not answer.
    korva_test::Sim sim({"--pty", dir / "ttyUSB0", "--fault", "silence"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    ExpectOneLineError(RunKorva(dir, {"info", sim.Link()}), 1, {"no adapter answers at", sim.Link()});
}

TEST(ToolCli, ADeviceTheUserMayNotOpenIsNamedSo) {
    // The library finds no adapter on a device it may not open; the tool
    // says why.  Root opens anything, so as root korva runs as nobody.
    TempDir dir;
    korva_test::Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    ASSERT_EQ(0, ::chmod(dir.path.c_str(), 0755));
    ASSERT_EQ(0, ::chmod(sim.Link().c_str(), 0));
    std::vector<std::string> launcher;
    if (::geteuid() == 0) launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    const std::initializer_list<std::string> reason = {"permission denied on " + sim.Link(), "group dialout"};
    ExpectOneLineError(RunKorva(dir, {"info", sim.Link()}, launcher), 1, reason);
    ExpectOneLineError(RunKorva(dir, {"list", sim.Link()}, launcher), 1, reason);
    ExpectOneLineError(RunKorva(dir, {"list", "--dir", dir.path}, launcher), 1,
                       {"no adapter answered", "1 of them refused: permission denied", "dialout"});
}

} // namespace
