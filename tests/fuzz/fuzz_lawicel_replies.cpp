// The adapter's "N", "V" and "F" replies, any bytes of any length: the
// parsers the driver uses read only the bytes received, accept exactly the
// documented shapes, leave their outputs alone otherwise, and read the
// numbers as the adapter wrote them.  The status reply also goes through
// the reader thread's line decoder, which must report what the parser saw.
#include "korva_api.h"
#include "sysfuncs.h"
#include "sysfuncs_lawicel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

int Hex(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Digits of base 10 or 16 from text[from] up to the first other byte or
 * end, low 32 bits. */
uint32_t Number(const uint8_t *text, size_t from, size_t end, int base) {
    uint32_t v = 0;
    for (size_t i = from; i < end; ++i) {
        const int d = base == 10 ? (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1) : Hex(text[i]);
        if (d < 0) break;
        v = v * static_cast<uint32_t>(base) + static_cast<uint32_t>(d);
    }
    return v;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

/* One status line through the decoder of the reader thread. */
void DecodeStatusLine(const uint8_t *data, size_t size, int32_t parsed, uint32_t status) {
    if (size + 1 > RX_LINE_SIZE - 1 || std::memchr(data, '\r', size) || std::memchr(data, '\0', size)) return;
    // Lines that start with bytes the decoder skips are another line.
    if (size > 0 && (data[0] == '\a' || data[0] == 'Z' || data[0] == 'z')) return;
    Device dev;
    InitDevice(&dev);
    char line[RX_LINE_SIZE] = {};
    dev.RxLine = line;
    pthread_mutex_init(&dev.RingMutex, nullptr);
    pthread_mutex_init(&dev.WaitMutex, nullptr);
    pthread_cond_init(&dev.RxCond, nullptr);
    // No ring: a frame line is refused, only the status words matter here.
    std::memcpy(line, data, size);
    line[size] = '\r';
    Check(DecodeRxText_Lawicel(&dev, static_cast<uint32_t>(size + 1)) == 0);
    Check(((AtomicLoad(dev.StatusValid) & 1U) != 0) == (parsed == 0));
    if (parsed == 0) Check(AtomicLoad(dev.StatusFlags) == status);
    pthread_mutex_destroy(&dev.RingMutex);
    pthread_mutex_destroy(&dev.WaitMutex);
    pthread_cond_destroy(&dev.RxCond);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // libFuzzer's buffer holds exactly size bytes: reading past them is
    // caught.
    const auto *text = reinterpret_cast<const char *>(data);
    const auto length = static_cast<uint32_t>(size);
    constexpr uint32_t kUntouched = 0xA5A5A5A5U;

    uint32_t serial = kUntouched;
    const int32_t n = ParseSerialNrReply_Lawicel(text, length, &serial);
    Check(n == 0 || n == -1);
    Check((n == 0) == (size >= 1 && size <= 13 && data[0] == 'N'));
    Check(n == 0 ? serial == Number(data, 1, size, 10) : serial == kUntouched);

    uint8_t hw = 0xA5, sw = 0xA5;
    const int32_t v = ParseVersionReply_Lawicel(text, length, &hw, &sw);
    Check(v == 0 || v == -1);
    Check((v == 0) == (size >= 5 && data[0] == 'V'));
    if (v == 0) {
        Check(hw == static_cast<uint8_t>(Number(data, 1, 3, 16)));
        Check(sw == static_cast<uint8_t>(Number(data, 3, size, 16)));
    } else {
        Check(hw == 0xA5 && sw == 0xA5);
    }

    uint32_t status = kUntouched;
    const int32_t f = ParseStatusReply_Lawicel(text, length, &status);
    Check(f == 0 || f == -1);
    Check((f == 0) == (size == 3 && data[0] == 'F'));
    Check(f == 0 ? status == Number(data, 1, 3, 16) && status <= 0xFF : status == kUntouched);
    DecodeStatusLine(data, size, f, status);
    return 0;
}
