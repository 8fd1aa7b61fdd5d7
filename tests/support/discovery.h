// discovery.h - points the library's discovery at a directory of the
// test's own for the lifetime of the object.
#pragma once

#include "sysfuncs.h"

#include <filesystem>
#include <string>

namespace korva_test {

struct DiscoveryIn {
    const char *saved = DiscoveryDir;
    explicit DiscoveryIn(const std::filesystem::path &dir) : path(dir.string()) { DiscoveryDir = path.c_str(); }
    ~DiscoveryIn() { DiscoveryDir = saved; }
    DiscoveryIn(const DiscoveryIn &) = delete;
    DiscoveryIn &operator=(const DiscoveryIn &) = delete;
    std::string path;
};

} // namespace korva_test
