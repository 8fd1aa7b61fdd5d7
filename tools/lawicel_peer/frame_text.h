// frame_text.h - frames and the text forms the adapter's side reads and writes:
// cansend-style frames ("123#AABB"), Lawicel frame lines ("t1232AABB"),
// and escaped byte strings for the event log and the control channel.
#pragma once

#include "cantext.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lawicel_peer {

// One CAN frame, classic or CAN FD.
struct Frame {
    uint32_t id = 0;        // 11-bit (standard) or 29-bit (extended) identifier
    uint8_t len = 0;        // classic: data length code, 0..8 (also for remote frames);
                            // FD: data bytes, 0..8, 12, 16, 20, 24, 32, 48 or 64
    uint8_t data[64] = {};  // data bytes; unused for remote frames
    bool extended = false;  // 29-bit identifier
    bool remote = false;    // remote transmission request
    bool fd = false;        // a CAN FD frame ("d", "D", "b", "B")
    bool brs = false;       // FD with bit-rate switch ("b", "B")
};

// Room for the longest frame line: "D", 8 identifier digits, length digit,
// 128 data digits, 4 time-stamp digits and the carriage return.
inline constexpr size_t kMaxFrameLine = 143;
// The same for a classic frame: "T", 8 identifier digits, length digit, 16
// data digits, 4 time-stamp digits and the carriage return.
inline constexpr size_t kMaxClassicFrameLine = 31;

// The data bytes of a CAN FD length code 0..F.
inline constexpr uint8_t kFdLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

// The number texts of the korva tool's text module (cantext.h).
using korva_tool::HexDigit;

// Reads a run of hexadecimal digits (1..8 of them) into value.
// "1F" -> 31; "" or "1G" -> false.
inline bool ParseHex(std::string_view digits, uint32_t &value) { return korva_tool::HexValue(digits, &value); }

// Reads a decimal number without sign.  "200000" -> 200000; "-1", "1x" -> false.
inline bool ParseDecimal(std::string_view digits, uint64_t &value) {
    return korva_tool::ParseCount(digits, &value, nullptr);
}

// cansend syntax, read by the korva tool's parser (korva_tool::ParseFrame):
// "123#AABB", "12345678#01", "123#", "123#R", "123#R4", "7FF#11.22.33".
// On failure the reason is left in *why when why is not null.
std::optional<Frame> ParseCansend(std::string_view text, std::string *why = nullptr);

// A Lawicel frame line without its carriage return.  With allowTimestamp,
// four trailing time-stamp digits are accepted (and ignored).  Identifiers
// beyond 11 or 29 bits, length digits above 8 and wrong lengths fail.
// "t1232AABB", "T0000012340", "r1230", "R000001FF4", "t1230" + "1A2B" (with
// allowTimestamp).  The CAN FD lines "d"/"D" and, with bit-rate switch,
// "b"/"B" have length digits 0..F (9..F: 12..64 bytes): "b1239" + 24 digits.
std::optional<Frame> ParseFrameLine(std::string_view line, bool allowTimestamp);

// Writes the frame line of f with its carriage return to out (at least
// kMaxFrameLine bytes) and returns its length.  timestamp < 0 adds none,
// otherwise its low 16 bits as four digits.  Hex digits are upper case.
size_t FormatFrameLine(const Frame &f, int timestamp, char *out);

// The same as a string without the carriage return (for the event log).
std::string FrameLineText(const Frame &f);

// Bytes as printable text: characters 0x20..0x7E stay (a backslash is
// doubled), every other byte becomes \xHH.  "t12\r" -> "t12\x0D".
std::string Printable(std::string_view bytes);

// Reverse of the escapes people type on the control channel: \r \n \a \t
// \0 \\ and \xHH.  "N12\r" -> {'N','1','2',0x0D}; a lone or unknown escape
// fails.
std::optional<std::string> Unescape(std::string_view text);

} // namespace lawicel_peer
