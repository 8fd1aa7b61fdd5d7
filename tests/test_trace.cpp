// The trace log: line layout, thresholds, channels, and lines of several
// threads.
#include "korva_api.h"
#include "sysfuncs.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Sends the trace into a temporary file for the lifetime of the object.
class TraceCapture {
public:
    explicit TraceCapture(int32_t level) {
        file_ = std::tmpfile();
        saved_ = debugout;
        debugout = file_;
        AtomicStore(debug, level);
    }
    ~TraceCapture() {
        AtomicStore(debug, 0);
        debugout = saved_;
        std::fclose(file_);
    }
    std::string Text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
        std::fseek(file_, 0, SEEK_END);
        return s;
    }

private:
    FILE *file_;
    FILE *saved_;
};

TEST(Trace, CallAndFailureLinesByteForByte) {
    TraceCapture cap(KORVA_DEBUG_LEVEL_CALL);
    KORVA_Close(0);
    KORVA_Flush(300);
    EXPECT_EQ("+++ korva_api[141]:              KORVA_Close(0)\n"
              "--- korva_api[144]:              Handle is unknown\n"
              "+++ korva_api[279]:              KORVA_Flush(300)\n"
              "--- korva_api[282]:              Handle is unknown\n",
              cap.Text());
}

TEST(Trace, ArgumentsOfTheCallTraces) {
    TraceCapture cap(KORVA_DEBUG_LEVEL_CALL);
    KORVA_Ioctl(7, 2, reinterpret_cast<void *>(0xAB));
    KORVA_Write(-1, reinterpret_cast<CanMsg *>(0x1000), 3, nullptr);
    KORVA_Read(0, nullptr, 0, nullptr);
    KORVA_SetRcvEvent(9, nullptr);
    KORVA_Open("/nonexistent/can9", 0); // a LinCAN name that cannot be opened
    const std::string text = cap.Text();
    EXPECT_NE(std::string::npos, text.find("+++ korva_api[197]:              KORVA_Ioctl(7, 2, 000000AB)\n"));
    EXPECT_NE(std::string::npos, text.find("--- korva_api[201]:              Handle is unknown\n"));
    EXPECT_NE(std::string::npos, text.find("+++ korva_api[293]:              KORVA_Write(-1, 00001000, 3, 00000000)\n"));
    EXPECT_NE(std::string::npos, text.find("--- korva_api[298]:              Handle is unknown\n"));
    EXPECT_NE(std::string::npos, text.find("+++ korva_api[316]:              KORVA_Read(0, 00000000, 0, 00000000)\n"));
    EXPECT_NE(std::string::npos, text.find("--- korva_api[321]:              Handle is unknown\n"));
    EXPECT_NE(std::string::npos, text.find("+++ korva_api[364]:              KORVA_SetRcvEvent(9, 00000000)\n"));
    EXPECT_NE(std::string::npos, text.find("+++ korva_api[54]:               KORVA_Open(/nonexistent/can9)\n"));
    EXPECT_NE(std::string::npos, text.find("+++ sysfuncs[604]:               GetDeviceType\n"));
    EXPECT_NE(std::string::npos, text.find("--- korva_api[101]:              OpenDevice\n"));
}

TEST(Trace, NullNameAndUnterminatedBufferAreShownSafely) {
    TraceCapture cap(KORVA_DEBUG_LEVEL_CALL);
    TempDir empty;
    const char *saved = DiscoveryDir;
    DiscoveryDir = empty.path.c_str();
    KORVA_Open(nullptr, 0);
    DiscoveryDir = saved;
    // Four bytes without a terminator: the trace shows at most max of them.
    char *raw = static_cast<char *>(std::malloc(4));
    std::memcpy(raw, "abcd", 4);
    KORVA_GetErrorString(-1, raw, 3);
    std::free(raw);
    const std::string text = cap.Text();
    EXPECT_NE(std::string::npos, text.find("+++ korva_api[54]:               KORVA_Open((null))\n"));
    EXPECT_NE(std::string::npos, text.find("--- korva_api[93]:               no device found\n"));
    EXPECT_NE(std::string::npos, text.find("+++ korva_api[375]:              KORVA_GetErrorString(-1, abc, 3)\n"));
}

TEST(Trace, Thresholds) {
    {
        TraceCapture cap(0);
        TraceAt(UNIT_SYS, 1, KORVA_DEBUG_LEVEL_SYSTEM, "sys");
        TraceAt(UNIT_SYS, 1, KORVA_DEBUG_LEVEL_CALL, "call");
        TraceAt(UNIT_SYS, 1, -2, "fail");
        EXPECT_EQ("", cap.Text()) << "0 switches the trace off";
    }
    auto linesAt = [](int32_t threshold) {
        TraceCapture cap(threshold);
        for (int32_t level : {KORVA_DEBUG_LEVEL_SYSTEM, KORVA_DEBUG_LEVEL_CALL, -6, -2, -1, 0, 3})
            TraceAt(UNIT_SYS, 7, level, "L%d", level);
        std::string out;
        std::istringstream in(cap.Text());
        for (std::string line; std::getline(in, line);) out += line.substr(33) + " ";
        return out;
    };
    EXPECT_EQ("L-101 L-51 L-6 L-2 L-1 L0 L3 ", linesAt(KORVA_DEBUG_LEVEL_SYSTEM));
    EXPECT_EQ("L-51 L-6 L-2 L-1 L0 L3 ", linesAt(KORVA_DEBUG_LEVEL_CALL));
    EXPECT_EQ("L-2 L-1 L0 L3 ", linesAt(-2));
    EXPECT_EQ("L3 ", linesAt(1));
    EXPECT_EQ("", linesAt(4));
}

TEST(Trace, PrefixesBaseNamesAndPadding) {
    TraceCapture cap(KORVA_DEBUG_LEVEL_SYSTEM);
    debugfile = "a\\b/c";
    debugline = 12;
    Error(-101, "%s (%d)", "open", 2);
    debugfile = "x/y/z";
    debugline = 3;
    Error(-51, "call");
    debugfile = "plain";
    debugline = 0;
    Error(-3, "fail %d", 5);
    // A source name longer than the column is cut, never overrunning.
    debugfile = "a_source_unit_with_a_very_long_name_indeed";
    debugline = 123456;
    Error(-1, "long");
    EXPECT_EQ("*** b/c[12]:                     open (2)\n"
              "+++ z[3]:                        call\n"
              "--- plain[0]:                    fail 5\n"
              "--- a_source_unit_with_a_very_long_long\n",
              cap.Text());
}

TEST(Trace, LinesOfThreadsNeverMix) {
    TraceCapture cap(KORVA_DEBUG_LEVEL_CALL);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i)
                TraceAt(t % 2 ? UNIT_API : UNIT_SYS, 100 + t, KORVA_DEBUG_LEVEL_CALL, "thread %d line %d", t, i);
        });
    for (auto &th : threads) th.join();
    std::istringstream in(cap.Text());
    int count = 0;
    for (std::string line; std::getline(in, line); ++count) {
        char unit[16] = {};
        int where = -1, writer = -1, n = -1, end = 0;
        ASSERT_EQ(4, std::sscanf(line.c_str(), "+++ %15[a-z_][10%d]: thread %d line %d%n", unit, &where, &writer, &n, &end))
            << line;
        ASSERT_EQ(line.size(), static_cast<size_t>(end)) << line;
        ASSERT_EQ(33u, line.find("thread")) << line;
        EXPECT_EQ(where, writer) << "each line carries its own writer's position: " << line;
        EXPECT_STREQ(writer % 2 ? "korva_api" : "sysfuncs", unit);
    }
    EXPECT_EQ(2000, count);
}

TEST(Trace, LogFileAndFallbackToStandardError) {
    TempDir dir;
    ScopedCwd cwd(dir.path);
    FILE *saved = debugout;
    ASSERT_EQ(0, KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(KORVA_DEBUG_TO_FILE)));
    ASSERT_EQ(0, KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(KORVA_DEBUG_LEVEL_CALL)));
    KORVA_Flush(0);
    ASSERT_EQ(0, KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(0)));
    ASSERT_EQ(0, KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(1)));
    EXPECT_EQ(stderr, debugout) << "switching back closes the file";
    // The call that switches the trace on is traced before it takes effect;
    // the one that switches it off still is.
    EXPECT_EQ("+++ korva_api[279]:              KORVA_Flush(0)\n"
              "--- korva_api[282]:              Handle is unknown\n"
              "+++ korva_api[197]:              KORVA_Ioctl(0, 1, 00000000)\n",
              ReadWholeFile(dir / "korva_api.log"));
    // Opening the file again truncates it.
    ASSERT_EQ(0, KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(KORVA_DEBUG_TO_FILE)));
    ASSERT_EQ(0, KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(1)));
    EXPECT_EQ("", ReadWholeFile(dir / "korva_api.log"));

    // A log file that cannot be created: the trace stays on standard error
    // and says so there.
    std::filesystem::remove(dir / "korva_api.log");
    std::filesystem::create_directory(dir / "korva_api.log");
    fflush(stderr);
    const int savedErr = dup(2);
    const int errFile = open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(errFile, 2);
    AtomicStore(debug, -1);
    const int32_t rc = KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_CHANNEL, KORVA_IOCTL_INT(KORVA_DEBUG_TO_FILE));
    AtomicStore(debug, 0);
    fflush(stderr);
    dup2(savedErr, 2);
    close(savedErr);
    close(errFile);
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(stderr, debugout);
    EXPECT_EQ("--- sysfuncs[47]:                couldn't open/create the log file\n", ReadWholeFile(dir / "stderr.txt"));
    debugout = saved;
}

TEST(Trace, BoundedCopy) {
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(14u, strcpy_max(buf, "Generic error.", 14));
    EXPECT_STREQ("Generic error.", buf);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(5u, strcpy_max(buf, "Generic error.", 5));
    EXPECT_EQ(0, std::memcmp(buf, "Gener\0x", 7));
    EXPECT_EQ(0u, strcpy_max(buf, "Generic error.", 0));
    EXPECT_EQ('\0', buf[0]);
}

} // namespace
