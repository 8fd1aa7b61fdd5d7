// logfile.h - reading candump's log format, line by line, for "korva
// replay": "(1436509052.249713) can0 123#DEADBEEF", the format "korva dump
// --log" writes.  The file is read through a fixed buffer, never whole, so
// a log larger than memory can be checked and then replayed.
#pragma once

#include "korva_api.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace korva_tool {

// One frame of a log: the host time it was logged at and the frame.
struct LogEntry {
    int64_t seconds = 0;
    int32_t nanos = 0;
    CanMsg frame{};
};

// One line without its line end: a frame, a line of blanks only, or a line
// that is not candump's log format (with the reason in *why).
//   "(1436509052.249713) can0 123#DEADBEEF"  -> kFrame, 1436509052 s 249713000 ns
//   "   "                                    -> kBlank
//   "1436509052.249713 can0 123#00"          -> kBad, "expected \"(SECONDS.FRACTION)\" ..."
//   "(1.5) can0 123#AAB"                     -> kBad, "bad frame '123#AAB': odd number of data digits"
enum class LogLine { kFrame, kBlank, kBad };
LogLine ParseLogLine(std::string_view line, LogEntry *entry, std::string *why);

// Reads a log file line by line.
struct LogReader {
    FILE *file = nullptr;
    std::string path;   // for messages
    uint64_t line = 0;  // number of the line read last
};

// The result of NextLogEntry.
enum class LogRead { kFrame, kEnd, kBad, kError };

// The next frame of the log, skipping blank lines.  kBad and kError leave
// "PATH:LINE: what is wrong" (or "cannot read PATH: reason") in *why.
LogRead NextLogEntry(LogReader *reader, LogEntry *entry, std::string *why);

} // namespace korva_tool
