#include "product_like_config.h"

#include <ddeml.h>
#include <stdio.h>
#include <string.h>

static int equalNoCase(const char *a, const char *b) {
  for (; *a && *b; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a + 32) : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b + 32) : *b;
    if (x != y) return 0;
  }
  return *a == *b;
}

int productFilterText(const char *from, const char *to, const char *drop) {
  FILE *in = fopen(from, "rt");
  if (in == NULL) return 0;
  FILE *out = fopen(to, "wt");
  if (out == NULL) {
    fclose(in);
    return 0;
  }
  char piece[255];
  int ok = 1;
  while (fgets(piece, sizeof piece, in) != NULL) {
    char line[255];
    strcpy(line, piece);
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
    if (equalNoCase(line, drop)) continue;
    if (fputs(piece, out) == EOF) ok = 0;
  }
  if (ferror(in)) ok = 0;
  fclose(in);
  if (fclose(out) != 0) ok = 0;
  return ok;
}

int productCopySetting(const char *file, const char *section, const char *key, char *out, DWORD size) {
  GetPrivateProfileStringA(section, key, "", out, size, file);
  HKEY hk;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\QvTest", 0, KEY_ALL_ACCESS, &hk) != ERROR_SUCCESS) {
    DWORD disposition;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\QvTest", 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        NULL, &hk, &disposition) != ERROR_SUCCESS)
      return 0;
  }
  RegSetValueExA(hk, key, 0, REG_SZ, (const BYTE *)out, (DWORD)(strlen(out) + 1));
  DWORD flags = 16;
  RegSetValueExA(hk, "Flags", 0, REG_DWORD, (const BYTE *)&flags, sizeof flags);
  RegCloseKey(hk);
  return 1;
}

static HCONV conversation;
static int disconnects;

static HDDEDATA CALLBACK productCallback(UINT type, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  if ((type & 0xFFFF) == XTYP_DISCONNECT) {
    conversation = NULL;
    disconnects++;
  }
  return NULL;
}

int productProgman(const char *command) {
  DWORD instance = 0;
  if (DdeInitializeA(&instance, productCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return 0;
  HSZ name = DdeCreateStringHandleA(instance, "PROGMAN", CP_WINANSI);
  int accepted = 0;
  if (name != NULL) {
    conversation = DdeConnect(instance, name, name, NULL);
    HDDEDATA r = DdeClientTransaction((LPBYTE)command, (DWORD)(strlen(command) + 1), conversation, NULL, CF_TEXT,
                                      XTYP_EXECUTE, 1000, NULL);
    accepted = r != NULL;
    if (conversation != NULL) DdeDisconnect(conversation);
    conversation = NULL;
    DdeFreeStringHandle(instance, name);
  }
  DdeUninitialize(instance);
  return accepted;
}

int productDisconnectsSeen(void) { return disconnects; }
