/*
 * ini_reader.cpp - korva's INI reader behind iniparser's interface (see
 * iniparser.h for the syntax).  Plain C memory handling: nothing here
 * throws.
 */
#include "iniparser.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* Entries in file order; sections are entries with a null value. */
struct _dictionary_ {
    size_t Count;   /* entries in use */
    size_t Room;    /* entries allocated */
    char **Keys;    /* "section" or "section:key", lower case */
    char **Values;  /* value text, or null for a section */
};

namespace {

/* The reading buffer: a line of 1022 characters, its line feed and NUL. */
constexpr int kLineRoom = 1024;

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

char *Duplicate(const char *s, size_t n) {
    char *copy = static_cast<char *>(std::malloc(n + 1));
    if (copy) {
        std::memcpy(copy, s, n);
        copy[n] = '\0';
    }
    return copy;
}

/* Cuts blanks off both ends of [*begin, *end). */
void Strip(const char **begin, const char **end) {
    while (*begin < *end && IsBlank(**begin)) ++*begin;
    while (*end > *begin && IsBlank((*end)[-1])) --*end;
}

void Lower(char *s) {
    for (; *s; ++s) *s = static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
}

/* Case-blind comparison of a stored (lower-case) key with a looked-up one. */
bool SameKey(const char *stored, const char *key) {
    for (;; ++stored, ++key) {
        const int s = static_cast<unsigned char>(*stored);
        if (s != std::tolower(static_cast<unsigned char>(*key))) return false;
        if (s == '\0') return true;
    }
}

long Find(const dictionary *d, const char *key) {
    for (size_t i = 0; i < d->Count; ++i)
        if (SameKey(d->Keys[i], key)) return static_cast<long>(i);
    return -1;
}

/* Sets key (lower case already) to value (null for a section), replacing
 * an entry of the same key.  False when memory ran out. */
bool Set(dictionary *d, const char *key, size_t keyLength, const char *value, size_t valueLength) {
    char *k = Duplicate(key, keyLength);
    char *v = value ? Duplicate(value, valueLength) : nullptr;
    if (!k || (value && !v)) {
        std::free(k);
        std::free(v);
        return false;
    }
    const long at = Find(d, k);
    if (at >= 0) {
        std::free(k);
        std::free(d->Values[at]);
        d->Values[at] = v;
        return true;
    }
    if (d->Count == d->Room) {
        const size_t room = d->Room ? d->Room * 2 : 16;
        char **keys = static_cast<char **>(std::realloc(d->Keys, room * sizeof *keys));
        if (keys) d->Keys = keys;
        char **values = keys ? static_cast<char **>(std::realloc(d->Values, room * sizeof *values)) : nullptr;
        if (values) d->Values = values;
        if (!keys || !values) {
            std::free(k);
            std::free(v);
            return false;
        }
        d->Room = room;
    }
    d->Keys[d->Count] = k;
    d->Values[d->Count] = v;
    ++d->Count;
    return true;
}

enum LineKind { kEmpty, kComment, kSection, kValue, kError };

/* Sorts one logical line (continuations joined, trailing blanks gone).
 * A section header changes section (a header with nothing between the
 * brackets keeps it); a value line gives its key and value as ranges of
 * line. */
LineKind Classify(const char *line, char *section, const char **key, const char **keyEnd,
                  const char **value, const char **valueEnd) {
    const char *begin = line;
    const char *end = line + std::strlen(line);
    Strip(&begin, &end);
    if (begin == end) return kEmpty;
    if (*begin == '#' || *begin == ';') return kComment;
    if (*begin == '[' && end[-1] == ']') {
        // The name runs to the first closing bracket.
        const char *nameBegin = begin + 1;
        const char *nameEnd = nameBegin;
        while (*nameEnd != ']') ++nameEnd;
        if (nameEnd > nameBegin) {
            Strip(&nameBegin, &nameEnd);
            std::memcpy(section, nameBegin, static_cast<size_t>(nameEnd - nameBegin));
            section[nameEnd - nameBegin] = '\0';
            Lower(section);
        }
        return kSection;
    }
    // key = value: the key runs to the first '=' and is not empty.
    const char *eq = static_cast<const char *>(std::memchr(begin, '=', static_cast<size_t>(end - begin)));
    if (!eq || eq == begin) return kError;
    *key = begin;
    *keyEnd = eq;
    Strip(key, keyEnd);
    const char *v = eq + 1;
    while (v < end && IsBlank(*v)) ++v;
    const char quote = v < end ? *v : '\0';
    if ((quote == '"' || quote == '\'') && v + 1 < end && v[1] != quote) {
        // A quoted value runs to the closing quote (or the end of the line)
        // and keeps its blanks.
        *value = v + 1;
        const char *close = static_cast<const char *>(std::memchr(v + 1, quote, static_cast<size_t>(end - v - 1)));
        *valueEnd = close ? close : end;
        return kValue;
    }
    // Unquoted: up to a comment sign, stripped; "" and '' stand for empty.
    const char *stop = v;
    while (stop < end && *stop != ';' && *stop != '#') ++stop;
    *value = v;
    *valueEnd = stop;
    Strip(value, valueEnd);
    const size_t n = static_cast<size_t>(*valueEnd - *value);
    if (n == 2 && (std::memcmp(*value, "\"\"", 2) == 0 || std::memcmp(*value, "''", 2) == 0)) *valueEnd = *value;
    return kValue;
}

} // namespace

extern "C" {

dictionary *iniparser_load(const char *ininame) {
    // Binary mode: a carriage return is read as the blank it is, the same
    // on every platform.
    FILE *in = std::fopen(ininame, "rb");
    if (!in) {
        std::fprintf(stderr, "iniparser: cannot open %s\n", ininame);
        return nullptr;
    }
    dictionary *d = static_cast<dictionary *>(std::calloc(1, sizeof *d));
    char line[kLineRoom + 1] = "";
    char section[kLineRoom + 1] = "";
    char entry[2 * kLineRoom + 2];
    int last = 0;   // where a continued line goes on
    int lineNumber = 0;
    int syntaxErrors = 0; // reported each, and the file refused once read
    bool failed = d == nullptr;
    while (!failed && std::fgets(line + last, kLineRoom - last, in)) {
        ++lineNumber;
        int len = static_cast<int>(std::strlen(line)) - 1;
        if (len <= 0) continue; // a line feed alone, or one character at the very end
        if (line[len] != '\n' && !std::feof(in)) {
            std::fprintf(stderr, "iniparser: input line too long in %s (%d)\n", ininame, lineNumber);
            failed = true;
            break;
        }
        while (len >= 0 && IsBlank(line[len])) line[len--] = '\0';
        if (len < 0) len = 0;
        if (line[len] == '\\') {
            last = len; // the next line replaces the backslash
            continue;
        }
        last = 0;
        const char *key = nullptr, *keyEnd = nullptr, *value = nullptr, *valueEnd = nullptr;
        switch (Classify(line, section, &key, &keyEnd, &value, &valueEnd)) {
        case kEmpty:
        case kComment: break;
        case kSection: failed = !Set(d, section, std::strlen(section), nullptr, 0); break;
        case kValue: {
            const size_t sectionLength = std::strlen(section);
            const size_t keyLength = static_cast<size_t>(keyEnd - key);
            std::memcpy(entry, section, sectionLength);
            entry[sectionLength] = ':';
            std::memcpy(entry + sectionLength + 1, key, keyLength);
            entry[sectionLength + 1 + keyLength] = '\0';
            Lower(entry);
            failed = !Set(d, entry, sectionLength + 1 + keyLength, value, static_cast<size_t>(valueEnd - value));
            break;
        }
        case kError:
            std::fprintf(stderr, "iniparser: syntax error in %s (%d):\n-> %s\n", ininame, lineNumber, line);
            ++syntaxErrors;
            break;
        }
    }
    std::fclose(in);
    if (failed || syntaxErrors > 0) {
        iniparser_freedict(d);
        return nullptr;
    }
    return d;
}

const char *iniparser_getstring(const dictionary *d, const char *key, const char *def) {
    if (!d || !key) return def;
    const long at = Find(d, key);
    return at >= 0 ? d->Values[at] : def;
}

int iniparser_getboolean(const dictionary *d, const char *key, int notfound) {
    static const char absent[] = "";
    const char *v = iniparser_getstring(d, key, absent);
    if (!v || v == absent) return notfound;
    switch (*v) {
    case 'y': case 'Y': case 't': case 'T': case '1': return 1;
    case 'n': case 'N': case 'f': case 'F': case '0': return 0;
    default: return notfound;
    }
}

void iniparser_freedict(dictionary *d) {
    if (!d) return;
    for (size_t i = 0; i < d->Count; ++i) {
        std::free(d->Keys[i]);
        std::free(d->Values[i]);
    }
    std::free(d->Keys);
    std::free(d->Values);
    std::free(d);
}

} // extern "C"
