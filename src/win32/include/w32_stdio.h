/* C library streams for Windows paths, as the Windows C runtime opens them.
 *
 * Pulled in by the layer's <windows.h>.  Product code calls fopen with
 * Windows paths ("C:\WINDOWS\SYSTEM.INI") and the modes of the Windows C
 * runtime; here fopen is w32_fopen, which resolves the path through the
 * prefix and gives a FILE * with the runtime's text mode:
 *   - "t", or neither "t" nor "b": text.  Reading turns CR LF into LF (a CR
 *     not followed by LF stays) and ends at the first Ctrl-Z byte (0x1A),
 *     which is not delivered; writing turns LF into CR LF.  Text streams
 *     cannot seek (fseek and ftell fail).  "a+" in text mode drops one
 *     Ctrl-Z that ends the file, as the runtime does.
 *   - "b": bytes as they are, seeking allowed.
 * fgets, fputs, fread, fwrite, ferror and fclose are the C library's own and
 * work on these streams unchanged.
 *
 * A path with a drive letter ("c:...") or a backslash is a Windows path.
 * Any other path (forward slashes only, such as "/proc/self/status" or
 * "out/x.bin") is a host path and goes to the C library's fopen unchanged,
 * so host-side test and tool code that includes <windows.h> keeps working.
 *
 * For Windows paths: opening for reading counts as an Open call, for writing
 * or appending as a Create call, each refill of the stream's buffer from the
 * file as a Read call and each write of the buffer to the file as a Write
 * call (fault injection, see w32_test.h).  An open stream counts in
 * w32::openHandleCount() until fclose.  A failed open returns NULL with
 * errno and GetLastError set.
 *
 * The layer's own sources define QV_W32_LAYER_BUILD and get the C library's
 * fopen.
 */
#ifndef QV_PLATFORM_W32_STDIO_H
#define QV_PLATFORM_W32_STDIO_H

/* Included before the name is taken over, so that a later <cstdio> (which
 * #undefs fopen) is only a repeated inclusion. */
#ifdef __cplusplus
#include <cstdio>
#endif
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

FILE *w32_fopen(const char *path, const char *mode);

#ifdef __cplusplus
}
namespace std {
using ::w32_fopen;
}
#endif

#ifndef QV_W32_LAYER_BUILD
#define fopen w32_fopen
#endif

#endif /* QV_PLATFORM_W32_STDIO_H */
