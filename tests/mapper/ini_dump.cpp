// ini_dump FILE QUERIES: loads FILE through iniparser's interface and
// prints, for each key listed in QUERIES (one a line), what
// iniparser_getstring and iniparser_getboolean answer.  Built twice, with
// Debian's iniparser and with korva's reader, so that the two can be
// compared (ini_diff.sh).
#include <iniparser.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// Bytes outside printable ASCII as \xHH, so the output is one line per key.
std::string Shown(const char *s) {
    std::string out;
    for (; *s; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ini_dump FILE QUERIES\n");
        return 2;
    }
    dictionary *d = iniparser_load(argv[1]);
    if (!d) {
        std::printf("no dictionary\n");
        return 0;
    }
    static const char absent[] = "(absent)";
    std::ifstream queries(argv[2]);
    for (std::string key; std::getline(queries, key);) {
        const char *v = iniparser_getstring(d, key.c_str(), absent);
        if (v == absent)
            std::printf("%s: absent, boolean %d\n", Shown(key.c_str()).c_str(), iniparser_getboolean(d, key.c_str(), -1));
        else if (!v)
            // A section name; iniparser_getboolean would read through its null value.
            std::printf("%s: section\n", Shown(key.c_str()).c_str());
        else
            std::printf("%s: [%s], boolean %d\n", Shown(key.c_str()).c_str(), Shown(v).c_str(),
                        iniparser_getboolean(d, key.c_str(), -1));
    }
    iniparser_freedict(d);
    return 0;
}
