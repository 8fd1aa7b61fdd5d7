// frame_text.cpp - parsing and formatting of frames and escaped text.
#include "frame_text.h"

#include <cstring>

namespace lawicel_peer {

namespace {
constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr uint32_t kMaxStandardId = 0x7FF;
constexpr uint32_t kMaxExtendedId = 0x1FFFFFFF;

void PutHex(char *out, uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kHexUpper[value & 0xF];
        value >>= 4;
    }
}

using korva_tool::HexDigit;

// Reads count data bytes from hexadecimal pairs.
bool ParseDataPairs(std::string_view text, uint8_t count, uint8_t *data) {
    if (text.size() != 2u * count) return false;
    for (uint8_t i = 0; i < count; ++i) {
        int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        data[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}
} // namespace

std::optional<Frame> ParseCansend(std::string_view text, std::string *why) {
    CanMsg m{};
    if (!korva_tool::ParseFrame(text, &m, why)) return std::nullopt;
    Frame f;
    f.id = m.Identifier;
    f.len = m.Length;
    std::memcpy(f.data, m.Data, sizeof m.Data);
    f.extended = (m.Flags & KORVA_FLAG_EXTENDED) != 0;
    f.remote = (m.Flags & KORVA_FLAG_REMOTE) != 0;
    return f;
}

std::optional<Frame> ParseFrameLine(std::string_view line, bool allowTimestamp) {
    if (line.empty()) return std::nullopt;
    Frame f;
    size_t idDigits;
    switch (line[0]) {
    case 't': idDigits = 3; break;
    case 'r': idDigits = 3; f.remote = true; break;
    case 'T': idDigits = 8; f.extended = true; break;
    case 'R': idDigits = 8; f.extended = true; f.remote = true; break;
    case 'd': idDigits = 3; f.fd = true; break;
    case 'b': idDigits = 3; f.fd = f.brs = true; break;
    case 'D': idDigits = 8; f.extended = f.fd = true; break;
    case 'B': idDigits = 8; f.extended = f.fd = f.brs = true; break;
    default: return std::nullopt;
    }
    if (line.size() < idDigits + 2) return std::nullopt;
    if (!ParseHex(line.substr(1, idDigits), f.id)) return std::nullopt;
    if (f.id > (f.extended ? kMaxExtendedId : kMaxStandardId)) return std::nullopt;
    char lenDigit = line[idDigits + 1];
    if (lenDigit < '0' || lenDigit > (f.fd ? 'F' : '8') || (lenDigit > '9' && lenDigit < 'A')) return std::nullopt;
    f.len = kFdLengths[HexDigit(lenDigit)];
    size_t body = idDigits + 2 + (f.remote ? 0u : 2u * f.len);
    if (line.size() == body + 4 && allowTimestamp) {
        uint32_t ignored;
        if (!ParseHex(line.substr(body, 4), ignored)) return std::nullopt;
    } else if (line.size() != body) {
        return std::nullopt;
    }
    if (!f.remote && !ParseDataPairs(line.substr(idDigits + 2, 2u * f.len), f.len, f.data))
        return std::nullopt;
    return f;
}

size_t FormatFrameLine(const Frame &f, int timestamp, char *out) {
    uint8_t code = 0; // classic lengths are cut to 8, FD ones rounded up to an FD size
    while (code < (f.fd ? 15 : 8) && kFdLengths[code] < f.len) ++code;
    const uint8_t len = kFdLengths[code];
    size_t n = 0;
    const char *letters = f.fd ? (f.brs ? "bB" : "dD") : f.remote ? "rR" : "tT";
    out[n++] = letters[f.extended ? 1 : 0];
    if (f.extended) {
        PutHex(out + n, f.id & kMaxExtendedId, 8);
        n += 8;
    } else {
        PutHex(out + n, f.id & kMaxStandardId, 3);
        n += 3;
    }
    out[n++] = kHexUpper[code];
    if (f.fd || !f.remote) {
        for (uint8_t i = 0; i < len; ++i) {
            PutHex(out + n, f.data[i], 2);
            n += 2;
        }
    }
    if (timestamp >= 0) {
        PutHex(out + n, static_cast<uint32_t>(timestamp) & 0xFFFF, 4);
        n += 4;
    }
    out[n++] = '\r';
    return n;
}

std::string FrameLineText(const Frame &f) {
    char buf[kMaxFrameLine];
    size_t n = FormatFrameLine(f, -1, buf);
    return std::string(buf, n - 1);
}

std::string Printable(std::string_view bytes) {
    std::string s;
    s.reserve(bytes.size());
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            s += "\\\\";
        } else if (c >= 0x20 && c <= 0x7E) {
            s += ch;
        } else {
            s += "\\x";
            s += kHexUpper[c >> 4];
            s += kHexUpper[c & 0xF];
        }
    }
    return s;
}

std::optional<std::string> Unescape(std::string_view text) {
    std::string s;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            s += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
        case 'r': s += '\r'; break;
        case 'n': s += '\n'; break;
        case 'a': s += '\a'; break;
        case 't': s += '\t'; break;
        case '0': s += '\0'; break;
        case '\\': s += '\\'; break;
        case 'x': {
            std::string_view pair = text.substr(i + 1, 2);
            uint32_t v;
            if (pair.size() != 2 || !ParseHex(pair, v)) return std::nullopt;
            s += static_cast<char>(v);
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return s;
}

} // namespace lawicel_peer
