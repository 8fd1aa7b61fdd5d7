// procstat.h - what this process holds, read from /proc/self: threads,
// open descriptors, resident memory and a thread's processor time; the
// check of the frames that "korva_sim flood" sends; and opening an adapter
// on a loaded machine.
#pragma once

#include "korva_api.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace korva_test {

// Sanitizer builds run smaller loads (they are several times slower).
// Under AddressSanitizer freed memory is held in quarantine, so resident
// memory grows without a leak; LeakSanitizer checks for leaks there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitized = true;
#else
constexpr bool kAddressSanitized = false;
#endif
#else
constexpr bool kAddressSanitized = false;
#endif
#if defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = kAddressSanitized;
#endif
#else
constexpr bool kSanitized = kAddressSanitized;
#endif

// Numeric entries of a /proc directory.
inline std::set<int> NumericEntries(const char *path) {
    std::set<int> ids;
    if (DIR *d = opendir(path)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] >= '0' && e->d_name[0] <= '9') ids.insert(std::atoi(e->d_name));
        closedir(d);
    }
    return ids;
}

// Thread ids of this process.
inline std::set<int> TaskIds() { return NumericEntries("/proc/self/task"); }

// Open descriptors of this process (the listing's own one not counted).
inline size_t OpenFdCount() { return NumericEntries("/proc/self/fd").size() - 1; }

// Resident memory in kB.
inline long VmRssKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Processor time (user + system) a thread of this process has used, in
// seconds; negative when the thread is gone.
inline double ThreadCpuSeconds(int tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')'); // the thread's name may hold blanks
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f((std::istream_iterator<std::string>(fields)), std::istream_iterator<std::string>());
    if (f.size() < 13) return -1;
    // Fields 14 (utime) and 15 (stime) of stat; f[0] is field 3.
    return static_cast<double>(std::atol(f[11].c_str()) + std::atol(f[12].c_str())) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A flood frame: identifier (standard unless above 0x7FF), eight data
// bytes, the sequence number big-endian in the first four and their
// complement in the last four.  Returns true and the sequence number when
// the frame is whole.
inline bool FloodFrame(const CanMsg &m, uint32_t id, uint32_t *seq) {
    const uint8_t kind = id > 0x7FF ? KORVA_FLAG_EXTENDED : KORVA_FLAG_STANDARD;
    if (m.Identifier != id || m.Length != 8 || (m.Flags & ~KORVA_FLAG_TIMESTAMP) != kind) return false;
    for (int i = 0; i < 4; ++i)
        if (m.Data[i + 4] != static_cast<uint8_t>(~m.Data[i])) return false;
    *seq = static_cast<uint32_t>(m.Data[0]) << 24 | static_cast<uint32_t>(m.Data[1]) << 16 |
           static_cast<uint32_t>(m.Data[2]) << 8 | m.Data[3];
    return true;
}

// Identification waits about 120 ms for each reply of the adapter; on a
// machine loaded far beyond its cores a reply can come later, and
// KORVA_Open then finds no device.  Where opening is not what a test is
// about, it tries again (a few times), and the tries are counted.
inline std::atomic<int> gOpenRetries{0};
inline int32_t OpenAdapter(const std::string &name, int32_t mode = KORVA_MODE_NORMAL) {
    int32_t h = KORVA_ERR_NO_DEVICE;
    for (int i = 0; i < 5 && h == KORVA_ERR_NO_DEVICE; ++i) {
        if (i > 0) ++gOpenRetries;
        h = KORVA_Open(name.c_str(), mode);
    }
    return h;
}

} // namespace korva_test
