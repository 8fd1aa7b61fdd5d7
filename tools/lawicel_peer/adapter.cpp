// adapter.cpp - replies and state changes of the Lawicel command set.
#include "adapter.h"

#include <cstdio>

namespace lawicel_peer {

namespace {
const std::string kOk = "\r";
const std::string kBel = "\a";

bool AllHex(std::string_view s) {
    for (char c : s)
        if (HexDigit(c) < 0) return false;
    return true;
}

std::string Hex8(uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

std::string Hex2(uint32_t v) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
    return buf;
}

// A reply line: its letter, the text and the carriage return.  (Built by
// appending: GCC 12 sees a false overlap in "F" + text + "\r" at -O3.)
std::string Reply(char letter, std::string_view text) {
    std::string line(1, letter);
    line.append(text);
    line.push_back('\r');
    return line;
}

// "0", "1", "2", "4", "5", "8": the data bit rates of the CAN FD extension.
bool IsDataBitrateCode(std::string_view arg) {
    return arg.size() == 1 && std::string_view("012458").find(arg[0]) != std::string_view::npos;
}

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char &c : u)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return u;
}
} // namespace

Adapter::Outcome Adapter::ExecuteQuiet(std::string_view cmd) {
    Outcome out;
    auto ignore = [&out]() -> Outcome & {
        out.ignored = true;
        return out;
    };
    if (cmd.empty()) return ignore();
    const char letter = cmd[0];
    const std::string_view arg = cmd.substr(1);
    switch (letter) {
    case 'O':
        if (IsOpen() || !arg.empty()) return ignore();
        mode_ = 'O';
        out.event = silent_ ? "state open O silent" : "state open O";
        return out;
    case 'C':
        if (!arg.empty()) return ignore();
        if (IsOpen()) out.event = "state closed";
        mode_ = 0;
        return out;
    case 'S':
        if (IsOpen() || arg.size() != 1 || arg[0] < '0' || arg[0] > '8') return ignore();
        bitrate_ = std::string(cmd);
        out.event = "set bitrate=" + bitrate_;
        return out;
    case 'M':
    case 'A':
        if (IsOpen() || arg.size() != 1 || (arg[0] != '0' && arg[0] != '1')) return ignore();
        (letter == 'M' ? silent_ : retransmit_) = arg[0] == '1';
        out.event = std::string(letter == 'M' ? "set silent=" : "set retransmit=") + arg[0];
        return out;
    case 'V':
        if (!arg.empty()) return ignore();
        out.reply = identity.versionText + "\r";
        return out;
    case 'Y': // data bit rate
        if (!SpeaksFd(dialect) || IsOpen() || !IsDataBitrateCode(arg)) return ignore();
        dataBitrate_ = std::string(cmd);
        out.event = "set dbitrate=" + dataBitrate_;
        return out;
    case 't':
    case 'T':
    case 'r':
    case 'R':
    case 'd':
    case 'D':
    case 'b':
    case 'B': {
        if (!IsOpen() || silent_) return ignore();
        std::optional<Frame> f = ParseFrameLine(cmd, false);
        if (!f || (f->fd && !SpeaksFd(dialect))) return ignore();
        out.transmit = f;
        return out;
    }
    default:
        return ignore();
    }
}

Adapter::Outcome Adapter::Execute(std::string_view cmd) {
    if (IsQuiet(dialect)) return ExecuteQuiet(cmd);
    Outcome out;
    out.reply = kOk;
    auto refuse = [&out]() -> Outcome & {
        out.reply = kBel;
        out.refused = true;
        return out;
    };
    if (cmd.empty()) return out;

    const char letter = cmd[0];
    const std::string_view arg = cmd.substr(1);
    auto transmit = [&]() -> Outcome & {
        if (!IsOpen() || mode_ == 'L') return refuse();
        std::optional<Frame> f = ParseFrameLine(cmd, false);
        if (!f || (f->fd && !SpeaksFd(dialect))) return refuse();
        out.transmit = f;
        out.reply = f->extended ? "Z\r" : "z\r";
        return out;
    };
    switch (letter) {
    case 'S': // bit rate by speed code
        if (IsOpen() || arg.size() != 1 || arg[0] < '0' || arg[0] > '8') return refuse();
        bitrate_ = std::string(cmd);
        out.event = "set bitrate=" + bitrate_;
        return out;
    case 's': // bit-timing registers BTR0 BTR1
        if (IsOpen() || arg.size() != 4 || !AllHex(arg)) return refuse();
        btr_ = Upper(arg);
        out.event = "set btr=" + btr_;
        return out;
    case 'M':
    case 'm': { // acceptance code / mask
        uint32_t v;
        if (IsOpen() || arg.size() != 8 || !ParseHex(arg, v)) return refuse();
        (letter == 'M' ? code_ : mask_) = v;
        out.event = std::string(letter == 'M' ? "set code=" : "set mask=") + Hex8(v);
        return out;
    }
    case 'Z': // time stamps on received frames
    case 'D': // acceptance filter mode; longer: an FD frame, extended identifier
        if (letter == 'D' && arg.size() > 1) return transmit();
        if (IsOpen() || arg.size() != 1 || (arg[0] != '0' && arg[0] != '1')) return refuse();
        (letter == 'Z' ? timestamps_ : singleFilter_) = arg[0] == '1';
        out.event = std::string(letter == 'Z' ? "set timestamps=" : "set filter=") + arg[0];
        return out;
    case 'O':
    case 'L':
    case 'Y':
        if (letter == 'Y' && arg.size() == 1 && dialect == Dialect::Fd) { // data bit rate
            if (IsOpen() || !IsDataBitrateCode(arg)) return refuse();
            dataBitrate_ = std::string(cmd);
            out.event = "set dbitrate=" + dataBitrate_;
            return out;
        }
        if (IsOpen() || !arg.empty()) return refuse();
        mode_ = letter;
        out.event = std::string("state open ") + letter;
        return out;
    case 'C':
        if (!arg.empty()) return refuse();
        if (IsOpen()) out.event = "state closed";
        mode_ = 0;
        return out;
    case 't':
    case 'T':
    case 'r':
    case 'R':
    case 'd':
    case 'b':
    case 'B':
        return transmit();
    case 'F':
        if (!arg.empty()) return refuse();
        out.reply = Reply('F', Hex2(identity.status));
        return out;
    case 'N':
        if (!arg.empty()) return refuse();
        out.reply = Reply('N', identity.serial);
        return out;
    case 'V':
        if (!arg.empty()) return refuse();
        out.reply = Reply('V', Hex2(identity.hw) + Hex2(identity.sw));
        return out;
    default:
        return refuse();
    }
}

std::string Adapter::Describe() const {
    if (IsQuiet(dialect)) {
        std::string s = std::string("dialect=quiet state=") + (IsOpen() ? "O" : "closed");
        s += " bitrate=" + bitrate_;
        s += std::string(" silent=") + (silent_ ? "1" : "0") + " retransmit=" + (retransmit_ ? "1" : "0");
        if (SpeaksFd(dialect)) s += " dbitrate=" + dataBitrate_;
        return s;
    }
    std::string s = "state=";
    s += IsOpen() ? std::string(1, mode_) : std::string("closed");
    s += " bitrate=" + bitrate_ + " btr=" + btr_;
    s += " code=" + Hex8(code_) + " mask=" + Hex8(mask_);
    s += std::string(" timestamps=") + (timestamps_ ? "1" : "0");
    s += std::string(" filter=") + (singleFilter_ ? "1" : "0");
    s += " status=" + Hex2(identity.status) + " serial=" + identity.serial;
    s += " version=" + Hex2(identity.hw) + Hex2(identity.sw);
    if (dialect == Dialect::Fd) s += " dbitrate=" + dataBitrate_;
    return s;
}

} // namespace lawicel_peer
