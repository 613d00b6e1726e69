#include "product_like.h"

#include <stdio.h>
#include <string.h>

int productCopy(const char *source, const char *dest) {
  OFSTRUCT ofSource, ofDest;
  HFILE src = OpenFile(source, &ofSource, OF_READ | OF_SHARE_DENY_WRITE);
  if (src == HFILE_ERROR) return -1;
  HFILE dst = OpenFile(dest, &ofDest, OF_CREATE | OF_WRITE | OF_SHARE_EXCLUSIVE);
  if (dst == HFILE_ERROR) {
    CloseHandle((HANDLE)(INT_PTR)src);
    return -2;
  }
  HANDLE hs = (HANDLE)(INT_PTR)src;
  HANDLE hd = (HANDLE)(INT_PTR)dst;
  FILETIME written;
  GetFileTime(hs, NULL, NULL, &written);
  DWORD size = SetFilePointer(hs, 0, NULL, FILE_END);
  SetFilePointer(hs, 0, NULL, FILE_BEGIN);
  char *buffer = (char *)HeapAlloc(GetProcessHeap(), 0, 32001);
  if (buffer == NULL) {
    CloseHandle(hs);
    CloseHandle(hd);
    return 0;
  }
  int result = 1;
  DWORD offset = 0;
  do {
    DWORD chunk = size - offset >= 32000 ? 32000 : size - offset;
    DWORD got = 0, put = 0;
    if (!ReadFile(hs, buffer, chunk, &got, NULL) || got != chunk) {
      result = -1;
      break;
    }
    if (!WriteFile(hd, buffer, chunk, &put, NULL) || put != chunk) {
      result = -2;
      break;
    }
    offset += 32000;
  } while (offset < size);
  if (result == 1) SetFileTime(hd, NULL, NULL, &written);
  CloseHandle(hs);
  CloseHandle(hd);
  HeapFree(GetProcessHeap(), 0, buffer);
  return result;
}

DWORD productFreeBytes(const char *dir) {
  char root[72];
  snprintf(root, sizeof root, "%s", dir);
  char *slash = strchr(root, '\\');
  if (slash != NULL) *slash = 0;
  if (strlen(root) + 2 > sizeof root) return 0;
  strcat(root, "\\");
  DWORD sectors = 0, bytes = 0, freeClusters = 0, total = 0;
  GetDiskFreeSpaceA(root, &sectors, &bytes, &freeClusters, &total);
  return freeClusters * bytes * sectors;
}

void productSourceDir(char *out, DWORD size) {
  DWORD n = GetModuleFileNameA(NULL, out, size);
  if (n == 0) {
    out[0] = 0;
    return;
  }
  char *p = out + strlen(out);
  while (p > out && p[-1] != '\\') --p;
  if (p > out) *p = 0;
  for (p = out; *p; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = (char)(*p + 32);
  }
}

int productExists(const char *path) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(path, &data);
  if (h == INVALID_HANDLE_VALUE) return 0;
  FindClose(h);
  return 1;
}

static HWND workerOwner;
static DWORD workerCount;

static DWORD WINAPI workerMain(LPVOID param) {
  (void)param;
  DWORD i;
  for (i = 0; i < workerCount; ++i) {
    PostMessageA(workerOwner, WM_USER + 2, (WPARAM)i, 0);
    if (i % 64 == 0) Sleep(0);
  }
  SetWindowTextA(workerOwner, "Adding Quorvel group...");
  PostMessageA(workerOwner, WM_USER + 3, 0, 0);
  return 1;
}

HANDLE productStartWorker(HWND owner, DWORD count) {
  DWORD id;
  workerOwner = owner;
  workerCount = count;
  return CreateThread(NULL, 0, workerMain, NULL, 0, &id);
}

int productConfirmCancel(HWND owner) {
  DWORD started = GetTickCount();
  (void)started;
  return MessageBoxA(owner, "Are you sure you want to cancel installation?", "Quorvel Installation",
                     MB_ICONQUESTION | MB_YESNO) == IDYES;
}

DWORD productJoin(HANDLE thread) {
  DWORD code = 0;
  if (WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0) return 0;
  if (!GetExitCodeThread(thread, &code)) code = 0;
  CloseHandle(thread);
  return code;
}

long productPump(HWND owner) {
  if (!IsWindow(owner)) return -1;
  MSG msg;
  long progress = 0;
  while (GetMessageA(&msg, NULL, 0, 0)) {
    if (msg.hwnd == owner && msg.message == WM_USER + 2) ++progress;
    if (msg.hwnd == owner && msg.message == WM_USER + 3) {
      PostQuitMessage(0);
    }
  }
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
  }
  return progress;
}

long productCountEntries(const char *pattern) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern, &data);
  if (h == INVALID_HANDLE_VALUE) return -1;
  long n = 1;
  while (FindNextFileA(h, &data)) ++n;
  DWORD why = GetLastError();
  FindClose(h);
  SetLastError(why);
  return n;
}
