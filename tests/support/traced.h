// traced.h - everything the library traces, at every level, while a piece
// of a test runs:
//   const std::string log = Traced([&] { KORVA_Open("ttyUSB9", 0); });
#pragma once

#include "korva_api.h"
#include "sysfuncs.h"

#include <cstdio>
#include <string>

namespace korva_test {

template <typename F> std::string Traced(F f) {
    FILE *log = std::tmpfile();
    FILE *old = debugout;
    debugout = log;
    KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(KORVA_DEBUG_LEVEL_SYSTEM));
    f();
    KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(0));
    debugout = old;
    std::string text;
    std::rewind(log);
    for (int c; (c = std::fgetc(log)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(log);
    return text;
}

} // namespace korva_test
