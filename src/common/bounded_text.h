// Text into fixed buffers that refuses rather than overruns.
//
// Each routine returns 1 when the whole text fitted (with its zero byte) and
// 0 when it did not; in that case the buffer holds as much of the text as
// fits, still ended by a zero byte, so it can be shown but must not be used
// as the path it was meant to be.
#ifndef QV_BOUNDED_TEXT_H
#define QV_BOUNDED_TEXT_H

#include <stddef.h>

int textCopy(char *dest, size_t destSize, const char *src);
int textAppend(char *dest, size_t destSize, const char *src);
// dest = first followed by second.
int textJoin(char *dest, size_t destSize, const char *first, const char *second);

#endif
