// logfile.cpp - candump's log format, read line by line.
#include "logfile.h"

#include "cantext.h"

#include <cerrno>
#include <cstring>

namespace korva_tool {
namespace {

// Longer lines are no log lines: an adapter name and a frame fit easily.
constexpr size_t kMaxLine = 4096;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// The next word of s, which loses it and the blanks before it.
std::string_view NextWord(std::string_view *s) {
    *s = TrimBlanks(*s);
    size_t end = 0;
    while (end < s->size() && !IsBlank((*s)[end])) ++end;
    const std::string_view word = s->substr(0, end);
    s->remove_prefix(end);
    return word;
}

bool Bad(std::string *why, std::string text) {
    *why = std::move(text);
    return false;
}

// "(SECONDS.FRACTION)": up to 12 digits of seconds, 1 to 9 of the fraction.
bool ParseStamp(std::string_view word, LogEntry *entry, std::string *why) {
    static const char kExpected[] = "expected \"(SECONDS.FRACTION)\" at the start, as candump -l writes";
    if (word.size() < 4 || word.front() != '(' || word.back() != ')') return Bad(why, kExpected);
    word = word.substr(1, word.size() - 2);
    const size_t dot = word.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot > 12 || word.size() - dot - 1 < 1 ||
        word.size() - dot - 1 > 9)
        return Bad(why, kExpected);
    int64_t seconds = 0, nanos = 0;
    for (size_t i = 0; i < word.size(); ++i) {
        if (i == dot) continue;
        if (word[i] < '0' || word[i] > '9') return Bad(why, kExpected);
        if (i < dot) seconds = seconds * 10 + (word[i] - '0');
        else nanos = nanos * 10 + (word[i] - '0');
    }
    for (size_t digits = word.size() - dot - 1; digits < 9; ++digits) nanos *= 10;
    entry->seconds = seconds;
    entry->nanos = static_cast<int32_t>(nanos);
    return true;
}

} // namespace

LogLine ParseLogLine(std::string_view line, LogEntry *entry, std::string *why) {
    std::string_view rest = line;
    const std::string_view stamp = NextWord(&rest);
    if (stamp.empty() || stamp.front() != '(') return LogLine::kSkip;
    if (!ParseStamp(stamp, entry, why)) return LogLine::kBad;
    const std::string_view name = NextWord(&rest);
    if (name.empty()) {
        why->assign("no adapter name and frame after the time stamp");
        return LogLine::kBad;
    }
    const std::string_view frame = NextWord(&rest);
    if (frame.empty()) {
        why->assign("no frame after the adapter name");
        return LogLine::kBad;
    }
    std::string reason;
    if (!ParseLoggedFrame(frame, &entry->logged, &reason)) {
        *why = "bad frame '" + std::string(frame) + "': " + reason;
        return LogLine::kBad;
    }
    // python-can and asc2log end a line with R (received) or T (sent).
    const std::string_view direction = NextWord(&rest);
    if ((!direction.empty() && direction != "R" && direction != "T") || !TrimBlanks(rest).empty()) {
        const std::string_view after = line.substr(static_cast<size_t>(frame.data() + frame.size() - line.data()));
        *why = "unexpected text after the frame: '" + std::string(TrimBlanks(after)) + "'";
        return LogLine::kBad;
    }
    entry->name.assign(name);
    return LogLine::kFrame;
}

namespace {

// Why a strict replay refuses a frame korva would skip or shorten; empty
// for a frame it sends as logged.
std::string Unsendable(const LoggedFrame &f, bool fd) {
    switch (f.kind) {
    case FrameKind::kError: return "an error frame, which korva does not send (without --strict it is skipped)";
    case FrameKind::kFd:
        if (fd) return {};
        return "a CAN FD frame, which korva sends only with --data-bitrate (without --strict it is skipped)";
    case FrameKind::kClassic: break;
    }
    if (f.lengthCode != 0) return "length code above 8, which korva sends as 8 (without --strict it does)";
    return {};
}

} // namespace

LogRead NextLogEntry(LogReader *reader, LogEntry *entry, std::string *why) {
    char buf[kMaxLine + 2];
    while (std::fgets(buf, sizeof buf, reader->file) != nullptr) {
        ++reader->line;
        size_t n = std::strlen(buf);
        const bool whole = n > 0 && buf[n - 1] == '\n';
        if (whole) buf[--n] = '\0';
        std::string what;
        if (!whole && n > kMaxLine) {
            what = "line longer than " + std::to_string(kMaxLine) + " characters";
        } else {
            switch (ParseLogLine(std::string_view(buf, n), entry, &what)) {
            case LogLine::kFrame:
                if (!reader->strict || (what = Unsendable(entry->logged, reader->fd)).empty()) return LogRead::kFrame;
                break;
            case LogLine::kSkip: continue;
            case LogLine::kBad: break;
            }
        }
        *why = reader->path + ":" + std::to_string(reader->line) + ": " + what;
        return LogRead::kBad;
    }
    if (std::ferror(reader->file)) {
        *why = "cannot read " + reader->path + ": " + std::strerror(errno);
        return LogRead::kError;
    }
    return LogRead::kEnd;
}

} // namespace korva_tool
