// cantext.cpp - frame and option texts of the korva tool.
#include "cantext.h"

#include <array>
#include <cstring>
#include <cstdio>

namespace korva_tool {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool HexValue(std::string_view text, uint32_t *value) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t v = 0;
    for (char c : text) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

namespace {

bool Fail(std::string *why, std::string text) {
    if (why) *why = std::move(text);
    return false;
}

constexpr uint32_t kStandardMax = 0x7FF;
constexpr uint32_t kExtendedMax = 0x1FFFFFFF;

struct RateCode {
    uint32_t bitsPerSecond;
    int32_t code;
};
// The adapter's speed codes ("S0".."S8").
constexpr std::array<RateCode, 9> kRates = {{{10000, 0},
                                             {20000, 1},
                                             {50000, 2},
                                             {100000, 3},
                                             {125000, 4},
                                             {250000, 5},
                                             {500000, 6},
                                             {800000, 7},
                                             {1000000, 8}}};

struct StatusBit {
    uint32_t bit;
    const char *name;
};
// The status byte of a Lawicel adapter follows the SJA1000 interrupt bits;
// bit 4 is unused.
constexpr std::array<StatusBit, 7> kLawicelStatus = {{{0x01, "RX FIFO full"},
                                                      {0x02, "TX FIFO full"},
                                                      {0x04, "error warning"},
                                                      {0x08, "data overrun"},
                                                      {0x20, "error passive"},
                                                      {0x40, "arbitration lost"},
                                                      {0x80, "bus error"}}};

} // namespace

namespace {

// Data bytes as hex pairs, optionally separated by dots, at most max of
// them; their number in *n.
bool ParseData(std::string_view text, uint8_t *data, size_t max, size_t *n, std::string *why) {
    *n = 0;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '.') {
            ++i;
            continue;
        }
        const int hi = HexDigit(text[i]);
        if (hi < 0) return Fail(why, std::string("data digit '") + text[i] + "' is not hexadecimal");
        if (i + 1 >= text.size() || text[i + 1] == '.') return Fail(why, "odd number of data digits");
        const int lo = HexDigit(text[i + 1]);
        if (lo < 0) return Fail(why, std::string("data digit '") + text[i + 1] + "' is not hexadecimal");
        if (*n == max) return Fail(why, "more than " + std::to_string(max) + " data bytes");
        data[(*n)++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return true;
}

// Error frames carry the error flag above an extended identifier.
constexpr uint32_t kErrorFlag = 0x20000000;

} // namespace

bool ParseLoggedFrame(std::string_view text, LoggedFrame *logged, std::string *why) {
    *logged = LoggedFrame{};
    CanMsg *frame = &logged->frame;
    const size_t hash = text.find('#');
    if (hash == std::string_view::npos) return Fail(why, "no '#' between identifier and data");
    const std::string_view id = text.substr(0, hash);
    std::string_view rest = text.substr(hash + 1);
    const bool fd = !rest.empty() && rest[0] == '#';

    uint32_t value = 0;
    if ((id.size() != 3 && id.size() != 8) || !HexValue(id, &value))
        return Fail(why, "identifier must be 3 (standard) or 8 (extended) hex digits");
    const bool extended = id.size() == 8;
    if (!extended && value > kStandardMax) return Fail(why, "standard identifier above 7FF");
    if (extended && value > kExtendedMax) {
        if (fd || (value & ~kExtendedMax) != kErrorFlag) return Fail(why, "extended identifier above 1FFFFFFF");
        logged->kind = FrameKind::kError;
        value &= kExtendedMax;
    }
    frame->Identifier = value;
    // A standard remote request carries KORVA_FLAG_REMOTE alone, as the
    // drivers deliver received ones.
    frame->Flags = extended ? KORVA_FLAG_EXTENDED : KORVA_FLAG_STANDARD;

    if (fd) {
        logged->kind = FrameKind::kFd;
        const int flags = rest.size() < 2 ? -1 : HexDigit(rest[1]);
        if (flags < 0) return Fail(why, "CAN FD frame without its flags digit after '##'");
        CanFdMsg &m = logged->fd;
        m.Identifier = value;
        m.Flags = static_cast<uint8_t>((extended ? KORVA_FLAG_EXTENDED : KORVA_FLAG_STANDARD) | KORVA_FLAG_FD |
                                       ((flags & 1) ? KORVA_FLAG_BRS : 0) | ((flags & 2) ? KORVA_FLAG_ESI : 0));
        size_t n = 0;
        const bool ok = ParseData(rest.substr(2), m.Data, sizeof m.Data, &n, why);
        m.Length = static_cast<uint8_t>(n);
        return ok;
    }

    // A raw length code "_X" (9..F) may follow a length of 8.
    const size_t underscore = rest.find('_');
    if (underscore != std::string_view::npos) {
        const std::string_view code = rest.substr(underscore);
        rest = rest.substr(0, underscore);
        const int v = code.size() == 2 ? HexDigit(code[1]) : -1;
        if (v < 9) return Fail(why, "length code '" + std::string(code) + "' is not _9.._F");
        logged->lengthCode = static_cast<uint8_t>(v);
    }

    if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        frame->Flags = extended ? KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE : KORVA_FLAG_REMOTE;
        rest.remove_prefix(1);
        if (!rest.empty()) {
            if (rest.size() != 1 || rest[0] < '0' || rest[0] > '8')
                return Fail(why, "remote request length must be one digit 0..8");
            frame->Length = static_cast<uint8_t>(rest[0] - '0');
        }
    } else {
        size_t n = 0;
        if (!ParseData(rest, frame->Data, 8, &n, why)) return false;
        frame->Length = static_cast<uint8_t>(n);
    }
    if (logged->lengthCode != 0 && frame->Length != 8)
        return Fail(why, "a length code '_" + std::string(1, text.back()) + "' follows 8 data bytes only");
    return true;
}

bool ParseFrame(std::string_view text, CanMsg *frame, std::string *why) {
    LoggedFrame logged;
    const bool ok = ParseLoggedFrame(text, &logged, why);
    *frame = logged.frame;
    if (!ok) return false;
    if (logged.kind == FrameKind::kFd) return Fail(why, "CAN FD frames are not supported");
    if (logged.kind == FrameKind::kError) return Fail(why, "extended identifier above 1FFFFFFF");
    if (logged.lengthCode != 0) return Fail(why, "length codes above 8 are not sent: a Lawicel adapter sends 0..8");
    return true;
}

bool ParseFdFrame(std::string_view text, CanFdMsg *frame, std::string *why) {
    LoggedFrame logged;
    if (!ParseLoggedFrame(text, &logged, why)) return false;
    if (logged.kind == FrameKind::kFd) {
        *frame = logged.fd;
        return true;
    }
    CanMsg classic{};
    if (!ParseFrame(text, &classic, why)) return false;
    *frame = FdRecordOf(classic);
    return true;
}

CanFdMsg FdRecordOf(const CanMsg &frame) {
    CanFdMsg m{};
    m.Identifier = frame.Identifier;
    m.Length = frame.Length > 8 ? 8 : frame.Length;
    m.Flags = frame.Flags;
    m.TimeStamp = frame.TimeStamp;
    std::memcpy(m.Data, frame.Data, sizeof frame.Data);
    return m;
}

CanMsg ClassicPartOf(const CanFdMsg &frame) {
    CanMsg m{};
    m.Identifier = frame.Identifier;
    m.Length = frame.Length > 8 ? 8 : frame.Length;
    m.Flags = static_cast<uint8_t>(frame.Flags & ~(KORVA_FLAG_FD | KORVA_FLAG_BRS | KORVA_FLAG_ESI));
    m.TimeStamp = frame.TimeStamp;
    std::memcpy(m.Data, frame.Data, sizeof m.Data);
    return m;
}

namespace {

/* "123##1" or "12345678##0": an FD frame's identifier and flags digit. */
std::string FdHead(const CanFdMsg &frame) {
    char buf[16];
    const unsigned flags = ((frame.Flags & KORVA_FLAG_BRS) ? 1u : 0u) | ((frame.Flags & KORVA_FLAG_ESI) ? 2u : 0u);
    if (frame.Flags & KORVA_FLAG_EXTENDED)
        std::snprintf(buf, sizeof buf, "%08X##%X", static_cast<unsigned>(frame.Identifier & kExtendedMax), flags);
    else
        std::snprintf(buf, sizeof buf, "%03X##%X", static_cast<unsigned>(frame.Identifier & kStandardMax), flags);
    return buf;
}

/* The data bytes as hex pairs, each after separator. */
std::string HexBytes(const uint8_t *data, unsigned n, const char *separator) {
    std::string s;
    char pair[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", data[i]);
        s += separator;
        s += pair;
    }
    return s;
}

} // namespace

std::string FormatFdFrame(const CanFdMsg &frame) {
    if (!(frame.Flags & KORVA_FLAG_FD)) return FormatFrame(ClassicPartOf(frame));
    return FdHead(frame) + HexBytes(frame.Data, frame.Length > 64 ? 64 : frame.Length, "");
}

namespace {

/* A rate in bit/s, with an optional "k" or "M": "500k", "2M", "125000";
 * its code from the table. */
template <typename Table> bool RateCodeOf(std::string_view text, const Table &table, int32_t *code) {
    uint64_t scale = 1;
    if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) {
        scale = 1000;
        text.remove_suffix(1);
    } else if (!text.empty() && text.back() == 'M') {
        scale = 1000000;
        text.remove_suffix(1);
    }
    uint64_t value = 0;
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    for (const RateCode &r : table) {
        if (r.bitsPerSecond == value * scale) {
            *code = r.code;
            return true;
        }
    }
    return false;
}

// The data bit rate codes of the slcan FD extension ("Y0".."Y8").
constexpr RateCode kDataRates[] = {{500000, 0}, {1000000, 1}, {2000000, 2}, {4000000, 4}, {5000000, 5}, {8000000, 8}};

} // namespace

bool ParseDataBitrate(std::string_view text, int32_t *code, std::string *why) {
    if (RateCodeOf(text, kDataRates, code)) return true;
    return Fail(why, "a data bit rate: 500k 1M 2M 4M 5M 8M");
}

std::string FormatFrame(const CanMsg &frame) {
    char buf[40];
    int pos = (frame.Flags & KORVA_FLAG_EXTENDED)
                  ? std::snprintf(buf, sizeof buf, "%08X#", static_cast<unsigned>(frame.Identifier & kExtendedMax))
                  : std::snprintf(buf, sizeof buf, "%03X#", static_cast<unsigned>(frame.Identifier & kStandardMax));
    const unsigned len = frame.Length > 8 ? 8 : frame.Length;
    if (frame.Flags & KORVA_FLAG_REMOTE) {
        if (len != 0) std::snprintf(buf + pos, sizeof buf - pos, "R%u", len);
        else std::snprintf(buf + pos, sizeof buf - pos, "R");
        return buf;
    }
    for (unsigned i = 0; i < len; ++i) pos += std::snprintf(buf + pos, sizeof buf - pos, "%02X", frame.Data[i]);
    return buf;
}

namespace {

/* A dump line up to its identifier: "(12.345)  ttyUSB0  123". */
std::string DumpHead(std::string_view name, uint8_t flags, uint16_t stamp, uint32_t id, bool showStamp) {
    std::string line;
    char buf[32];
    if (showStamp && (flags & KORVA_FLAG_TIMESTAMP)) {
        std::snprintf(buf, sizeof buf, "(%u.%03u)  ", stamp / 1000u, stamp % 1000u);
        line += buf;
    }
    line += name;
    if (flags & KORVA_FLAG_EXTENDED)
        std::snprintf(buf, sizeof buf, "  %08X", static_cast<unsigned>(id & kExtendedMax));
    else
        std::snprintf(buf, sizeof buf, "  %03X", static_cast<unsigned>(id & kStandardMax));
    return line + buf;
}

/* A log line up to its frame: "(1700000000.123456) ttyUSB0 ". */
std::string LogHead(int64_t seconds, int32_t micros, std::string_view name) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "(%lld.%06d) ", static_cast<long long>(seconds), static_cast<int>(micros));
    std::string line = buf;
    // The log is split at blanks: keep the name one word.
    for (char c : name) line += (c == ' ' || c == '\t') ? '_' : c;
    return line + ' ';
}

} // namespace

std::string FormatDumpLine(std::string_view name, const CanMsg &frame, bool showStamp) {
    std::string line = DumpHead(name, frame.Flags, frame.TimeStamp, frame.Identifier, showStamp);
    char buf[16];
    const unsigned len = frame.Length > 8 ? 8 : frame.Length;
    std::snprintf(buf, sizeof buf, "   [%u]", len);
    line += buf;
    if (frame.Flags & KORVA_FLAG_REMOTE) {
        line += "  remote request";
    } else if (len != 0) {
        line += ' ';
        for (unsigned i = 0; i < len; ++i) {
            std::snprintf(buf, sizeof buf, " %02X", frame.Data[i]);
            line += buf;
        }
    }
    return line;
}

std::string FormatLogLine(int64_t seconds, int32_t micros, std::string_view name, const CanMsg &frame) {
    return LogHead(seconds, micros, name) + FormatFrame(frame);
}

std::string FormatFdDumpLine(std::string_view name, const CanFdMsg &frame, bool showStamp) {
    if (!(frame.Flags & KORVA_FLAG_FD)) return FormatDumpLine(name, ClassicPartOf(frame), showStamp);
    std::string line = DumpHead(name, frame.Flags, frame.TimeStamp, frame.Identifier, showStamp);
    const unsigned len = frame.Length > 64 ? 64 : frame.Length;
    char buf[16];
    std::snprintf(buf, sizeof buf, "  [%02u]", len);
    line += buf;
    if (len != 0) line += " " + HexBytes(frame.Data, len, " ");
    return line;
}

std::string FormatFdLogLine(int64_t seconds, int32_t micros, std::string_view name, const CanFdMsg &frame) {
    return LogHead(seconds, micros, name) + FormatFdFrame(frame);
}

bool ParseBitrate(std::string_view text, int32_t *code, std::string *why) {
    static const char kValid[] = "a speed code 0..8 or one of 10k 20k 50k 100k 125k 250k 500k 800k 1M";
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '8') {
        *code = text[0] - '0';
        return true;
    }
    if (RateCodeOf(text, kRates, code)) return true;
    return Fail(why, kValid);
}

bool ParseBtr(std::string_view text, uint8_t btr[2], std::string *why) {
    uint32_t v = 0;
    if (text.size() != 4 || !HexValue(text, &v)) return Fail(why, "bit timing must be 4 hex digits, BTR0 then BTR1");
    btr[0] = static_cast<uint8_t>(v >> 8);
    btr[1] = static_cast<uint8_t>(v);
    return true;
}

bool ParseHex32(std::string_view text, uint32_t *value, std::string *why) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (!HexValue(text, value)) return Fail(why, "expected a hexadecimal number of at most 8 digits");
    return true;
}

bool ParseCount(std::string_view text, uint64_t *value, std::string *why) {
    if (text.empty() || text.size() > 18) return Fail(why, "expected a decimal number");
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return Fail(why, "expected a decimal number");
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

bool ParseFilters(std::string_view text, std::vector<IdFilter> *filters, std::string *why) {
    filters->clear();
    while (true) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const size_t sep = item.find_first_of(":~");
        IdFilter f{};
        if (sep == std::string_view::npos || !HexValue(item.substr(0, sep), &f.id) ||
            !HexValue(item.substr(sep + 1), &f.mask))
            return Fail(why, "filter '" + std::string(item) + "' is not ID:MASK or ID~MASK in hex");
        f.invert = item[sep] == '~';
        filters->push_back(f);
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

bool PassesFilters(const std::vector<IdFilter> &filters, const CanMsg &frame) {
    if (filters.empty()) return true;
    for (const IdFilter &f : filters) {
        const bool match = (frame.Identifier & f.mask) == (f.id & f.mask);
        if (match != f.invert) return true;
    }
    return false;
}

std::string DescribeStatus(uint32_t flags, bool lawicel) {
    std::string words;
    auto add = [&words](const char *w) {
        if (!words.empty()) words += ", ";
        words += w;
    };
    if (lawicel) {
        for (const StatusBit &s : kLawicelStatus)
            if (flags & s.bit) add(s.name);
        if (flags & 0x10) add("bit 4");
    } else if (flags & 0xFFFF) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "LinCAN driver flags 0x%04X", static_cast<unsigned>(flags & 0xFFFF));
        add(buf);
    }
    if (flags & KORVA_STATUS_BUFFER_OVERRUN) add("receive buffer overrun (frames lost)");
    if (flags & KORVA_STATUS_CHANNEL_LOST) add("channel lost");
    const uint32_t known = (lawicel ? 0xFFu : 0xFFFFu) | KORVA_STATUS_BUFFER_OVERRUN | KORVA_STATUS_CHANNEL_LOST;
    if (flags & ~known) add("other bits");
    return words.empty() ? "none" : words;
}

const char *HwTypeName(uint8_t hwType) {
    switch (hwType) {
    case KORVA_HWTYPE_SERIAL: return "serial";
    case KORVA_HWTYPE_USB: return "USB";
    case KORVA_HWTYPE_NET: return "network";
    case KORVA_HWTYPE_OCERA: return "LinCAN";
    default: return "unknown";
    }
}

} // namespace korva_tool
