// logfile.h - reading candump's log format, line by line, for "korva
// replay": "(1436509052.249713) can0 123#DEADBEEF", the format "korva dump
// --log" writes, and the same with the direction mark R or T at the end
// that python-can and can-utils' asc2log write.  The file is read through a
// fixed buffer, never whole, so a log larger than memory can be checked
// and then replayed.
#pragma once

#include "cantext.h"
#include "korva_api.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace korva_tool {

// One frame of a log: the host time it was logged at, the interface it was
// logged on and the frame (which may be one korva cannot send).
struct LogEntry {
    int64_t seconds = 0;
    int32_t nanos = 0;
    std::string name;
    LoggedFrame logged;
};

// One line without its line end: a frame, a line that is no frame line
// (blank, or not starting with "(": skipped, as canplayer skips it), or a
// frame line that is malformed (with the reason in *why).
//   "(1436509052.249713) can0 123#DEADBEEF"  -> kFrame, 1436509052 s 249713000 ns
//   "(1436509052.249713) can0 123#DE R"      -> kFrame (received; T: sent)
//   "   "  "# comment"  "date Mon Jan 1"     -> kSkip
//   "(1436509052,249713) can0 123#00"        -> kBad, "expected \"(SECONDS.FRACTION)\" ..."
//   "(1.5) can0 123#AAB"                     -> kBad, "bad frame '123#AAB': odd number of data digits"
enum class LogLine { kFrame, kSkip, kBad };
LogLine ParseLogLine(std::string_view line, LogEntry *entry, std::string *why);

// Reads a log file line by line.
struct LogReader {
    FILE *file = nullptr;
    bool strict = false; // frames korva cannot send as logged are bad lines
    bool fd = false;     // CAN FD frames are sent (the adapters have a data bit rate)
    std::string path;   // for messages
    uint64_t line = 0;  // number of the line read last
};

// The result of NextLogEntry.
enum class LogRead { kFrame, kEnd, kBad, kError };

// The next frame of the log, skipping the lines that are no frame lines.
// Error frames, CAN FD frames and raw length codes come back as frames,
// unless reader->strict makes them bad lines.  kBad and kError leave
// "PATH:LINE: what is wrong" (or "cannot read PATH: reason") in *why.
LogRead NextLogEntry(LogReader *reader, LogEntry *entry, std::string *why);

} // namespace korva_tool
