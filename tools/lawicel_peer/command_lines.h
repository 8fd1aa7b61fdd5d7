// command_lines.h - the host's bytes as command lines: a carriage return
// ends a line, line feeds are skipped, and a line longer than the limit
// keeps its first bytes and is marked overlong (a real adapter's buffer
// has room for so many; it answers such a line with BEL).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lawicel_peer {

class CommandLines {
public:
    explicit CommandLines(size_t maxLength) : max_(maxLength) {}

    // Calls onLine(command, overlong) for every line that n bytes at p
    // complete, without its carriage return; the rest waits for more.
    template <typename OnLine> void Feed(const char *p, size_t n, OnLine &&onLine) {
        for (size_t i = 0; i < n; ++i) {
            const char c = p[i];
            if (c == '\r') {
                onLine(std::string_view(line_), overlong_);
                line_.clear();
                overlong_ = false;
            } else if (c == '\n') {
                continue;
            } else if (line_.size() < max_) {
                line_ += c;
            } else {
                overlong_ = true;
            }
        }
    }
    // Forgets a line begun (the host went away).
    void Reset() {
        line_.clear();
        overlong_ = false;
    }

private:
    std::string line_;
    bool overlong_ = false;
    size_t max_;
};

} // namespace lawicel_peer
