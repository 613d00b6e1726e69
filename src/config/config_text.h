// Small text helpers of the configuration steps: ASCII letter case and the
// comparison of directory paths.
#ifndef QV_CONFIG_TEXT_H
#define QV_CONFIG_TEXT_H

#include <stddef.h>

// 1 when a and b are the same text, ignoring the case of ASCII letters.
int textEqualNoCase(const char *a, const char *b);

// Turns the ASCII letters of text to upper case, in place.
void textToUpper(char *text);

// Writes into dest the canonical form of an absolute directory path on a
// drive ("c:\dunmere\dialer"): lower case, '/' read as '\', empty and "."
// components dropped, ".." taking back the component before it (never
// above the root), trailing dots and spaces of each component removed, no
// trailing backslash except for the root itself ("c:\").
// Returns 1 on success; 0 when path is not of the form "X:\..." (a relative
// path, a bare "X:", a UNC path) or the result would not fit in destSize.
int normaliseDirectory(char *dest, size_t destSize, const char *path);

#endif
