// The Lawicel text conversions: frame to transmit command, hexadecimal data
// to bytes, and the line decoder that the reader thread feeds read by read.
#include "korva_api.h"
#include "sysfuncs.h"
#include "sysfuncs_lawicel.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string Text(const CanMsg &m) {
    char out[64];
    std::memset(out, '#', sizeof out);
    const uint32_t n = Binary2AsciiMsg(out, m);
    EXPECT_LE(n, 27U);
    for (size_t i = n; i < sizeof out; ++i) EXPECT_EQ(out[i], '#') << "written past the text at " << i;
    return std::string(out, n);
}

CanMsg Msg(uint32_t id, uint8_t flags, uint8_t length, std::vector<uint8_t> data = {}) {
    CanMsg m{};
    m.Identifier = id;
    m.Flags = flags;
    m.Length = length;
    for (size_t i = 0; i < data.size() && i < 8; ++i) m.Data[i] = data[i];
    return m;
}

} // namespace

TEST(LawicelText, FrameTextFollowsTheFlagsAndStaysWithinBounds) {
    const uint8_t S = KORVA_FLAG_STANDARD, E = KORVA_FLAG_EXTENDED, R = KORVA_FLAG_REMOTE;
    EXPECT_EQ(Text(Msg(0x1FF, E, 0)), "T000001FF0\r");
    EXPECT_EQ(Text(Msg(0x123, S, 2, {0x0A, 0xFF})), "t12320AFF\r");
    EXPECT_EQ(Text(Msg(0x123, 0, 1, {0x5})), "t123105\r"); // no flag: standard
    EXPECT_EQ(Text(Msg(0x7FF, S | R, 3)), "r7FF3\r");
    EXPECT_EQ(Text(Msg(0x1FF, E | R, 4, {1, 2})), "R000001FF4\r");
    EXPECT_EQ(Text(Msg(0x12345678, E | KORVA_FLAG_TIMESTAMP, 8, {1, 2, 3, 4, 5, 6, 7, 8})),
              "T1234567880102030405060708\r");
    // Out-of-range values are cut to what the command can carry.
    EXPECT_EQ(Text(Msg(0xFFFFFFFF, S, 255, {1, 2, 3, 4, 5, 6, 7, 8})), "t7FF80102030405060708\r");
    EXPECT_EQ(Text(Msg(0xFFFFFFFF, E, 9, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
              "T1FFFFFFF8FFFFFFFFFFFFFFFF\r");
    EXPECT_EQ(Text(Msg(0xFFFFFFFF, E | R, 200)), "R1FFFFFFF8\r");
}

TEST(LawicelText, DataPairsAreReadUpToTheEndOfTheText) {
    uint8_t out[8];
    std::memset(out, 0x77, sizeof out);
    AsciiData2Binary(out, 4, "0AffG11G");
    EXPECT_EQ(std::vector<uint8_t>(out, out + 5), (std::vector<uint8_t>{0x0A, 0xFF, 0x00, 0x01, 0x77}));
    AsciiData2Binary(out, 0, "12");
    EXPECT_EQ(out[0], 0x0A);
    // The text ends early: nothing past its NUL is read (a heap copy of
    // exactly that size lets the address sanitizer check it).
    char *shortText = static_cast<char *>(std::malloc(2));
    std::memcpy(shortText, "C", 2);
    AsciiData2Binary(out, 8, shortText);
    std::free(shortText);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{0x0C, 0, 0, 0, 0, 0, 0, 0}));
}

/* A record with the parts the decoder uses, fed read by read as the
 * reader thread does. */
class LineDecoder : public ::testing::Test {
  protected:
    void SetUp() override {
        InitDevice(&dev_);
        dev_.RxLine = static_cast<char *>(std::calloc(RX_LINE_SIZE, 1));
        dev_.RingBuf = static_cast<CanFdMsg *>(std::calloc(RING_SIZE, sizeof(CanFdMsg)));
        pthread_mutex_init(&dev_.RingMutex, nullptr);
        pthread_mutex_init(&dev_.WaitMutex, nullptr);
        pthread_cond_init(&dev_.RxCond, nullptr);
    }
    void TearDown() override {
        pthread_mutex_destroy(&dev_.RingMutex);
        pthread_mutex_destroy(&dev_.WaitMutex);
        pthread_cond_destroy(&dev_.RxCond);
        std::free(dev_.RxLine);
        std::free(dev_.RingBuf);
    }
    /* One read: appended to the carry, at most what RxLine has room for. */
    void Feed(const std::string &bytes) {
        ASSERT_LE(carry_ + bytes.size(), RX_LINE_SIZE - 1U);
        std::memcpy(dev_.RxLine + carry_, bytes.data(), bytes.size());
        carry_ = DecodeRxText_Lawicel(&dev_, carry_ + static_cast<uint32_t>(bytes.size()));
        ASSERT_LT(carry_, RX_LINE_SIZE - 1U);
    }
    std::vector<uint32_t> Ids() {
        std::vector<uint32_t> ids;
        CanMsg m;
        while (GetMsgFromBuf(&dev_, &m) == 0) ids.push_back(m.Identifier);
        return ids;
    }
    Device dev_;
    uint32_t carry_ = 0;
};

TEST_F(LineDecoder, LinesSplitAcrossReadsYieldOneFrameEach) {
    Feed("t12");
    EXPECT_EQ(carry_, 3U);
    Feed("32AABB");
    Feed("\rt4560\rT0000");
    Feed("07890\r");
    CanMsg m;
    ASSERT_EQ(GetMsgFromBuf(&dev_, &m), 0);
    EXPECT_EQ(m.Identifier, 0x123U);
    EXPECT_EQ(m.Length, 2);
    EXPECT_EQ(m.Data[1], 0xBB);
    EXPECT_EQ(Ids(), (std::vector<uint32_t>{0x456, 0x789}));
    EXPECT_EQ(carry_, 0U);
}

TEST_F(LineDecoder, TextWithoutLineEndIsDroppedUpToTheNextLine) {
    // 143 characters without a carriage return fill the buffer: they go,
    // and so does the rest of that line, even when it looks like a frame.
    Feed(std::string(100, 'x'));
    Feed(std::string(43, 'y'));
    Feed("t1110\rt2220\r");
    Feed(std::string(142, 'q'));
    Feed("t");
    Feed(std::string(62, 'w'));
    Feed("\rt3330\r");
    EXPECT_EQ(Ids(), (std::vector<uint32_t>{0x222, 0x333}));
}

TEST_F(LineDecoder, LongestFdLineCutAcrossReadsIsOneFrame) {
    // 64 bytes, extended identifier, time stamp: 142 characters.
    std::string line = "B1ABCDEF0F";
    for (int i = 0; i < 64; ++i) {
        line += "0123456789ABCDEF"[i % 16];
        line += 'F';
    }
    line += "BEEF";
    ASSERT_EQ(line.size(), 142U);
    Feed(line.substr(0, 7));
    Feed(line.substr(7, 100));
    Feed(line.substr(107) + "\r");
    Feed("d1239" + std::string(24, '0') + "\r");
    CanFdMsg m{};
    ASSERT_EQ(GetFdMsgFromBuf(&dev_, &m), 0);
    EXPECT_EQ(m.Identifier, 0x1ABCDEF0U);
    EXPECT_EQ(m.Flags, KORVA_FLAG_EXTENDED | KORVA_FLAG_FD | KORVA_FLAG_BRS | KORVA_FLAG_TIMESTAMP);
    EXPECT_EQ(m.Length, 64);
    EXPECT_EQ(m.Data[1], 0x1F);
    EXPECT_EQ(m.Data[63], 0xFF);
    EXPECT_EQ(m.TimeStamp, 0xBEEF);
    ASSERT_EQ(GetFdMsgFromBuf(&dev_, &m), 0);
    EXPECT_EQ(m.Length, 12);
    EXPECT_EQ(m.Flags, KORVA_FLAG_STANDARD | KORVA_FLAG_FD);
    // Classic letters keep their 0..8, FD ones take no lower-case codes.
    Feed("t1239" + std::string(24, '0') + "\rd123a" + std::string(40, '0') + "\r");
    EXPECT_EQ(GetFdMsgFromBuf(&dev_, &m), KORVA_ERR_NO_ELEMENT);
}

TEST_F(LineDecoder, NulBytesCostOnlyTheirOwnLine) {
    Feed(std::string("t1\0" "10\rt2220\r", 12));
    Feed(std::string("\0", 1));
    Feed("t4440\r");
    EXPECT_EQ(Ids(), (std::vector<uint32_t>{0x222}));
    Feed("t5550\r");
    EXPECT_EQ(Ids(), (std::vector<uint32_t>{0x555}));
}
