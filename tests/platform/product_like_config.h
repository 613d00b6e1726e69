// Product-style code over the profile, text-stream, registry and DDE calls,
// compiled both against the Linux layer (and run by the tests) and against
// MinGW's <windows.h> and <ddeml.h> (syntax only).
#ifndef QV_TESTS_PLATFORM_PRODUCT_LIKE_CONFIG_H
#define QV_TESTS_PLATFORM_PRODUCT_LIKE_CONFIG_H

#include <windows.h>

// Copies the text file `from` to `to` through text streams in pieces of at
// most 254 characters, dropping the pieces equal (ignoring case) to `drop`.
// 1 done, 0 a stream failed.
int productFilterText(const char *from, const char *to, const char *drop);
// Reads section/key of a private profile into out (size bytes) and stores
// it as a REG_SZ under HKLM\Software\QvTest plus a REG_DWORD Flags 16.
// 1 when the key was opened or created; every key is closed.
int productCopySetting(const char *file, const char *section, const char *key, char *out, DWORD size);
// Sends one execute to PROGMAN as the product does; 1 accepted.  The
// callback forgets the conversation on XTYP_DISCONNECT.
int productProgman(const char *command);
// Conversations the callback was told were ended, since the start.
int productDisconnectsSeen(void);

#endif
