// cantext.h - frame and option texts of the korva tool: cansend-style frame
// syntax, candump-style output and log lines, bit rates, bit-timing bytes,
// identifier filters and the decoding of status flags.  Text only: the
// simulator, which does not link korva_api, uses it too.
//
// Parsers return true on success; on failure they leave a short reason in
// *why (no trailing period, no newline; why may be null) for a one-line
// error message.
#pragma once

#include "korva_api.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korva_tool {

// Value of one hexadecimal digit (either case), or -1: 'a' -> 10, 'G' -> -1.
int HexDigit(char c);

// All of text as a hexadecimal number of 1..8 digits: "1F" -> 31;
// "", "1G", "123456789" -> false.
bool HexValue(std::string_view text, uint32_t *value);

// cansend syntax: 3 identifier digits = standard, 8 = extended; "R" with an
// optional length digit is a remote request; data bytes may be separated
// by dots.
//   "123#AABB"     -> standard 0x123, [2] AA BB
//   "12345678#01"  -> extended 0x12345678, [1] 01
//   "123#R"        -> standard remote, length 0
//   "123#R4"       -> standard remote, length 4
//   "123#"         -> standard 0x123, no data
//   "1F334455#11.22.33" -> extended, [3] 11 22 33
//   "123#AAB"      -> false, "odd number of data digits"
//   "800#00"       -> false, "standard identifier above 7FF"
bool ParseFrame(std::string_view text, CanMsg *frame, std::string *why);

// What a frame of a log is: a classic CAN frame, which korva sends, or one
// a Lawicel adapter cannot send.
enum class FrameKind {
    kClassic,
    kError, // candump -e: the error flag 0x20000000 in an 8-digit identifier
    kFd,    // CAN FD: "ID##F" with a flags digit and up to 64 data bytes
};

struct LoggedFrame {
    CanMsg frame{};       // a classic or error frame; for CAN FD only the identifier
    FrameKind kind = FrameKind::kClassic;
    uint8_t lengthCode = 0; // a classic frame's raw length code 9..F after its 8 bytes, else 0
    CanFdMsg fd{};        // kFd: the whole frame (KORVA_FLAG_FD, BRS and ESI from the flags digit)
};

// A frame as candump -l and python-can log it: what ParseFrame takes, and
// also error frames, CAN FD frames and raw length codes, which are
// checked as strictly as the rest.
//   "20000080#0000000000000000" -> kError, identifier 0x80
//   "123##1AABB"                -> kFd, identifier 0x123
//   "123#1122334455667788_9"    -> kClassic, [8], lengthCode 9
//   "123#R8_C"                  -> kClassic remote, length 8, lengthCode 12
//   "123#11_9"                  -> false, "a length code '_9' follows 8 data bytes only"
bool ParseLoggedFrame(std::string_view text, LoggedFrame *logged, std::string *why);

// cansend syntax with CAN FD: what ParseFrame takes, and "ID##F" + data,
// up to 64 bytes, F a hex digit (bit 0 bit-rate switch, bit 1
// error-state indicator).
//   "123##1AABB"   -> standard 0x123, FD with bit-rate switch, [2] AA BB
//   "12345678##0"  -> extended, FD, no data
bool ParseFdFrame(std::string_view text, CanFdMsg *frame, std::string *why);

// A classic frame as a CanFdMsg record, and the classic part of one.
CanFdMsg FdRecordOf(const CanMsg &frame);
CanMsg ClassicPartOf(const CanFdMsg &frame);

// FormatFrame, FormatDumpLine and FormatLogLine for CanFdMsg records:
// classic ones as there, FD ones in candump's FD forms, the length in two
// digits.
//   "123##1AABB"                       (FormatFdFrame)
//   "ttyUSB0  123  [12]  00 11 .. BB"  (FormatFdDumpLine)
std::string FormatFdFrame(const CanFdMsg &frame);
std::string FormatFdDumpLine(std::string_view name, const CanFdMsg &frame, bool showStamp);
std::string FormatFdLogLine(int64_t seconds, int32_t micros, std::string_view name, const CanFdMsg &frame);

// A CAN FD data bit rate as the adapter's "Y" code:
//   "500k"=0 "1M"=1 "2M"=2 "4M"=4 "5M"=5 "8M"=8, also in bit/s ("2000000").
bool ParseDataBitrate(std::string_view text, int32_t *code, std::string *why);

// The frame in cansend / candump log syntax, the inverse of ParseFrame:
//   standard 0x123, [2] AA BB   -> "123#AABB"
//   extended 0x1FF, no data     -> "000001FF#"
//   standard remote, length 4   -> "123#R4"   (length 0: "123#R")
std::string FormatFrame(const CanMsg &frame);

// One candump-style line (no newline): name, identifier (3 or 8 digits),
// length in brackets, data bytes or "remote request".  With showStamp, a
// frame that carries the adapter's time stamp (milliseconds) is prefixed
// with it in seconds.
//   "ttyUSB0  123   [2]  AA BB"
//   "ttyUSB0  12345678   [0]"
//   "ttyUSB0  123   [4]  remote request"
//   "(12.345)  ttyUSB0  123   [1]  01"           (showStamp, TimeStamp 12345)
std::string FormatDumpLine(std::string_view name, const CanMsg &frame, bool showStamp);

// One line of candump's log format (no newline): host time, a name without
// blanks, the frame in cansend syntax.
//   "(1700000000.123456) ttyUSB0 123#AABB"
std::string FormatLogLine(int64_t seconds, int32_t micros, std::string_view name, const CanMsg &frame);

// A bit rate as a speed code of the adapter: a code "0".."8" or a rate
//   "10k"=0 "20k"=1 "50k"=2 "100k"=3 "125k"=4 "250k"=5 "500k"=6 "800k"=7 "1M"=8
// also written in bit/s ("500000") or as "1000k".
bool ParseBitrate(std::string_view text, int32_t *code, std::string *why);

// Bit-timing registers as four hex digits, BTR0 then BTR1: "031C" -> 03 1C.
bool ParseBtr(std::string_view text, uint8_t btr[2], std::string *why);

// An unsigned 32-bit hexadecimal number, optional "0x": "7FF", "0x1FFFFFFF".
bool ParseHex32(std::string_view text, uint32_t *value, std::string *why);

// A decimal count: "0", "200000".
bool ParseCount(std::string_view text, uint64_t *value, std::string *why);

// Identifier filters as candump takes them, separated by commas:
//   "123:7FF"   passes identifiers whose bits under the mask equal 123's
//   "100~700"   passes those that do not match 100 under 700
//   "123:7FF,12345678:1FFFFFFF"  either one
struct IdFilter {
    uint32_t id;
    uint32_t mask;
    bool invert;
};
bool ParseFilters(std::string_view text, std::vector<IdFilter> *filters, std::string *why);

// True when the frame passes one of the filters (or there are none).
bool PassesFilters(const std::vector<IdFilter> &filters, const CanMsg &frame);

// The status flags of KORVA_IOCTL_GET_FLAGS in words, comma separated, or
// "none".  For Lawicel adapters bits 0..7 are the adapter's status byte;
// for LinCAN devices the low bits are the kernel driver's own flags and are
// only shown as a number.
//   0x0C, lawicel         -> "error warning, data overrun"
//   0x10000, lawicel      -> "receive buffer overrun (frames lost)"
//   0, lawicel            -> "none"
std::string DescribeStatus(uint32_t flags, bool lawicel);

// The kind of adapter in one word: "serial", "USB", "network", "LinCAN", "unknown".
const char *HwTypeName(uint8_t hwType);

} // namespace korva_tool
