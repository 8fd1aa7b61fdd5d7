// Feeds arbitrary adapter output to the Lawicel line decoder in reads of
// random size, as the reader thread does: the carry must stay within the
// receive text buffer and every stored frame must be well formed.
#include "korva_api.h"
#include "sysfuncs.h"
#include "sysfuncs_lawicel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct Record {
    Record() {
        InitDevice(&dev);
        dev.RxLine = static_cast<char *>(std::calloc(RX_LINE_SIZE, 1));
        dev.RingBuf = static_cast<CanFdMsg *>(std::calloc(RING_SIZE, sizeof(CanFdMsg)));
        pthread_mutex_init(&dev.RingMutex, nullptr);
        pthread_mutex_init(&dev.WaitMutex, nullptr);
        pthread_cond_init(&dev.RxCond, nullptr);
    }
    ~Record() {
        pthread_mutex_destroy(&dev.RingMutex);
        pthread_mutex_destroy(&dev.WaitMutex);
        pthread_cond_destroy(&dev.RxCond);
        std::free(dev.RxLine);
        std::free(dev.RingBuf);
    }
    Device dev;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Record r;
    uint32_t carry = 0;
    size_t at = 0;
    while (at < size) {
        // The first byte of each step chooses the read size (1..63).
        const uint32_t room = RX_LINE_SIZE - 1 - carry;
        uint32_t n = data[at++] % 64U;
        if (n == 0) n = 1;
        if (n > room) n = room;
        if (n > size - at) n = static_cast<uint32_t>(size - at);
        if (n == 0) break;
        std::memcpy(r.dev.RxLine + carry, data + at, n);
        at += n;
        carry = DecodeRxText_Lawicel(&r.dev, carry + n);
        if (carry >= RX_LINE_SIZE - 1) std::abort(); // no room left for the next read
    }
    CanMsg m;
    while (GetMsgFromBuf(&r.dev, &m) == 0) {
        if (m.Length > 8) std::abort();
        for (unsigned i = m.Length; i < 8; ++i)
            if (m.Data[i] != 0) std::abort();
        const uint8_t kind = m.Flags & (KORVA_FLAG_STANDARD | KORVA_FLAG_EXTENDED);
        if (kind != KORVA_FLAG_STANDARD && kind != KORVA_FLAG_EXTENDED) std::abort();
        if (kind == KORVA_FLAG_STANDARD && m.Identifier > 0xFFF) std::abort();
        if (!(m.Flags & KORVA_FLAG_TIMESTAMP) && m.TimeStamp != 0) std::abort();
        if ((m.Flags & KORVA_FLAG_REMOTE) && m.Data[0] != 0) std::abort();
    }
    return 0;
}
