// Product-style code over the Win32 calls, compiled both against the Linux
// layer (and run by the tests) and against MinGW's <windows.h> (syntax only).
#ifndef QV_TESTS_PLATFORM_PRODUCT_LIKE_H
#define QV_TESTS_PLATFORM_PRODUCT_LIKE_H

#include <windows.h>

// Copies source to dest in 32000-byte chunks, stamping dest with the source's
// last-write time.  1 done, -1 source failed, -2 destination failed, 0 no memory.
int productCopy(const char *source, const char *dest);
// Free bytes on the drive of dir, as the directory check computes them.
DWORD productFreeBytes(const char *dir);
// The directory of the running program, lower-cased, ending in a backslash.
void productSourceDir(char *out, DWORD size);
// 1 when a directory search finds exactly this path.
int productExists(const char *path);
// Starts a worker that posts `count` messages to owner, then sets its text.
HANDLE productStartWorker(HWND owner, DWORD count);
// Asks the question the progress dialog asks; 1 for Yes.
int productConfirmCancel(HWND owner);

#endif
