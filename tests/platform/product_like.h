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
// Waits for a worker; its exit code, or 0 when the wait fails.  The handle is closed.
DWORD productJoin(HANDLE thread);
// Takes every message waiting for this thread, up to and including the
// first WM_USER + 3; returns how many WM_USER + 2 came before it, or -1 if
// the window is not valid.
long productPump(HWND owner);
// Number of entries a directory search reports; -1 with the error in
// GetLastError when the search fails.
long productCountEntries(const char *pattern);
// Asks the question the progress dialog asks; 1 for Yes.
int productConfirmCancel(HWND owner);

#endif
