#include "config_text.h"

#include <string.h>

static char lowerLetter(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int textEqualNoCase(const char *a, const char *b) {
  for (;; ++a, ++b) {
    if (lowerLetter(*a) != lowerLetter(*b)) {
      return 0;
    }
    if (*a == '\0') {
      return 1;
    }
  }
}

void textToUpper(char *text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') {
      *text = static_cast<char>(*text - 'a' + 'A');
    }
  }
}

static int isSeparator(char c) {
  return c == '\\' || c == '/';
}

// Drops the last component of the canonical path in dest (length *used),
// keeping the root "x:\".
static void dropLastComponent(char *dest, size_t *used) {
  size_t end = *used;
  while (end > 3 && dest[end - 1] != '\\') {
    --end;
  }
  if (end > 3) {
    --end;  // the backslash before the component
  }
  *used = end;
  dest[end] = '\0';
}

int normaliseDirectory(char *dest, size_t destSize, const char *path) {
  if (destSize < 4) {
    return 0;
  }
  char drive = lowerLetter(path[0]);
  if (drive < 'a' || drive > 'z' || path[1] != ':' || !isSeparator(path[2])) {
    return 0;
  }
  dest[0] = drive;
  dest[1] = ':';
  dest[2] = '\\';
  dest[3] = '\0';
  size_t used = 3;

  const char *p = path + 3;
  while (*p != '\0') {
    while (isSeparator(*p)) {
      ++p;
    }
    const char *start = p;
    while (*p != '\0' && !isSeparator(*p)) {
      ++p;
    }
    size_t length = static_cast<size_t>(p - start);
    if (length == 2 && start[0] == '.' && start[1] == '.') {
      dropLastComponent(dest, &used);
      continue;
    }
    // Windows ignores trailing dots and spaces of a component, so "dialer."
    // and "dialer " name "dialer"; "." and "..." name nothing new.
    while (length > 0 && (start[length - 1] == '.' || start[length - 1] == ' ')) {
      --length;
    }
    if (length == 0) {
      continue;
    }
    size_t separator = used > 3 ? 1 : 0;
    if (used + separator + length + 1 > destSize) {
      return 0;
    }
    if (separator) {
      dest[used++] = '\\';
    }
    for (size_t i = 0; i < length; ++i) {
      dest[used++] = lowerLetter(start[i]);
    }
    dest[used] = '\0';
  }
  return 1;
}
