// Records from a LinCAN device: any 32 bytes must become a frame that
// keeps within CanMsg, carries only what the record says, and survives the
// way back to a record unchanged.
#include "sysfuncs_ocera.h"

#include <cstring>

namespace {

void Check(const uint8_t *record) {
    CanMsg m;
    std::memset(&m, 0xA5, sizeof m);
    if (LinCanRecord2CanMsg(record, &m) != 0) __builtin_trap();

    int32_t linFlags;
    uint32_t id;
    uint16_t length;
    std::memcpy(&linFlags, record, 4);
    std::memcpy(&id, record + 8, 4);
    std::memcpy(&length, record + 20, 2);
    const bool ext = (linFlags & 4) != 0, rtr = (linFlags & 1) != 0;
    const uint8_t flags = ext ? (KORVA_FLAG_EXTENDED | (rtr ? KORVA_FLAG_REMOTE : 0)) : rtr ? KORVA_FLAG_REMOTE : KORVA_FLAG_STANDARD;
    if (m.Flags != flags || m.Identifier != id || m.TimeStamp != 0) __builtin_trap();
    if (m.Length != (length > 8 ? 8 : length)) __builtin_trap();
    if (std::memcmp(m.Data, record + 22, m.Length) != 0) __builtin_trap();
    for (unsigned i = m.Length; i < 8; ++i)
        if (m.Data[i] != 0) __builtin_trap();

    // Back to a record: only flags, identifier, length and data are set.
    uint8_t out[LINCAN_RECORD_SIZE];
    std::memset(out, 0xA5, sizeof out);
    if (CanMsg2LinCanRecord(&m, out) != 0) __builtin_trap();
    for (unsigned i = 0; i < sizeof out; ++i) {
        const bool carries = i < 4 || (i >= 8 && i < 12) || (i >= 20 && i < 22u + m.Length);
        if (!carries && out[i] != 0) __builtin_trap();
    }
    CanMsg again;
    if (LinCanRecord2CanMsg(out, &again) != 0 || std::memcmp(&again, &m, sizeof m) != 0) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (size_t at = 0; at < size; at += LINCAN_RECORD_SIZE) {
        // A short tail is checked as a record completed with zeros.
        uint8_t record[LINCAN_RECORD_SIZE] = {};
        std::memcpy(record, data + at, size - at < sizeof record ? size - at : sizeof record);
        Check(record);
    }
    return 0;
}
