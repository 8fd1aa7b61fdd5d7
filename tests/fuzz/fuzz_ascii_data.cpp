// The two text conversions of the Lawicel driver on arbitrary input:
// hexadecimal data text to bytes never reads past the text's end, and a
// frame of any content becomes a transmit command that fits its buffer and
// reads back as the same frame.
#include "korva_api.h"
#include "sysfuncs_lawicel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    // Data text: the input after its first byte, as a text of exactly its
    // length plus the NUL (so reading beyond it is caught).
    const uint32_t count = data[0] % 16U;
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    uint8_t out[16];
    AsciiData2Binary(out, count, text.data());

    // A frame from the first 16 bytes of the input.
    if (size < sizeof(CanMsg)) return 0;
    CanMsg msg;
    std::memcpy(&msg, data, sizeof msg);
    char command[27];
    const uint32_t n = Binary2AsciiMsg(command, msg);
    if (n > sizeof command || n < 6 || command[n - 1] != '\r') std::abort();
    const bool extended = (msg.Flags & KORVA_FLAG_EXTENDED) != 0;
    const bool remote = (msg.Flags & KORVA_FLAG_REMOTE) != 0;
    const char kind = extended ? (remote ? 'R' : 'T') : (remote ? 'r' : 't');
    if (command[0] != kind) std::abort();
    const uint32_t length = msg.Length > 8 ? 8U : msg.Length;
    const uint32_t head = extended ? 10U : 5U;
    if (n != head + (remote ? 0U : 2U * length) + 1U) std::abort();
    if (!remote) {
        // The data digits read back as the data bytes.
        char digits[17] = {};
        std::memcpy(digits, command + head, 2U * length);
        uint8_t back[8] = {};
        AsciiData2Binary(back, length, digits);
        if (std::memcmp(back, msg.Data, length) != 0) std::abort();
    }
    return 0;
}
