#include "bounded_text.h"

#include <stdio.h>
#include <string.h>

int textCopy(char *dest, size_t destSize, const char *src) {
  if (destSize == 0) {
    return 0;
  }
  dest[0] = '\0';
  return textAppend(dest, destSize, src);
}

int textAppend(char *dest, size_t destSize, const char *src) {
  if (destSize == 0) {
    return 0;
  }
  size_t used = strnlen(dest, destSize);
  if (used == destSize) {  // not terminated: make it so and refuse
    dest[destSize - 1] = '\0';
    return 0;
  }
  size_t room = destSize - used;  // bytes left, zero byte included
  size_t length = strlen(src);
  if (length < room) {
    memcpy(dest + used, src, length + 1);
    return 1;
  }
  memcpy(dest + used, src, room - 1);
  dest[destSize - 1] = '\0';
  return 0;
}

int textJoin(char *dest, size_t destSize, const char *first, const char *second) {
  if (destSize == 0) {
    return 0;
  }
  int n = snprintf(dest, destSize, "%s%s", first, second);
  return n >= 0 && static_cast<size_t>(n) < destSize ? 1 : 0;
}
