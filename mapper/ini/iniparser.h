/*
 * iniparser.h - korva's own reader of INI files, for the Windows build of
 * the mapper, where the iniparser library cannot be had.  It offers the
 * four functions of iniparser's interface that the mapper uses, with
 * iniparser's behaviour for what an INI file like korva.ini holds:
 *
 *   [Section]            section header; the name is stripped and
 *                        lower-cased; "[]" keeps the section before it
 *   Key = value          stored as "section:key", the key stripped and
 *                        lower-cased, the value stripped (keeps its case);
 *                        ';' or '#' ends an unquoted value
 *   Key = "a value"      quotes (double or single) keep blanks, ';' and '#'
 *   Key =                an empty value
 *   ; comment, # comment, blank lines
 *
 * A line ending in a backslash goes on in the next one.  Lines are at most
 * 1022 characters (a carriage return counts, line feed excluded); a longer
 * line, or a line that is none of the above, makes the whole file rejected
 * (iniparser_load returns null and says why on standard error).  Keys
 * before any section are stored as ":key".  A later key of the same name
 * replaces an earlier one; a section that appears twice is one section.
 *
 * tests/mapper compares it with Debian's iniparser over a set of files.
 */
#ifndef KORVA_INI_READER_H
#define KORVA_INI_READER_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _dictionary_ dictionary;

/* Reads the file; null when it cannot be opened or is rejected. */
dictionary *iniparser_load(const char *ininame);
/* The value of "section:key" (matched in any case), null for the name of a
 * section, def when there is no such entry (or d is null). */
const char *iniparser_getstring(const dictionary *d, const char *key, const char *def);
/* 1 when the value begins with y, Y, t, T or 1; 0 when it begins with n,
 * N, f, F or 0; notfound otherwise (no entry, an empty value, a section). */
int iniparser_getboolean(const dictionary *d, const char *key, int notfound);
/* Frees the dictionary; null is allowed. */
void iniparser_freedict(dictionary *d);

#ifdef __cplusplus
}
#endif

#endif
