// The Windows demo package's sign-up program (the member quorvel.exe of
// its quorvel.z): it only shows that it was started. It appends
//
//     Quorvel sign-up started: <its command line as given>
//
// to quorvel.log in its own directory and ends. No window and no C
// runtime start-up beyond the system's, so it runs however it is started.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char log[MAX_PATH + 16];
  DWORD length = GetModuleFileNameA(NULL, log, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  char *name = log + length;
  while (name > log && name[-1] != '\\') name--;
  lstrcpyA(name, "quorvel.log");

  char line[4096] = "Quorvel sign-up started: ";
  lstrcpynA(line + lstrlenA(line), GetCommandLineA(), sizeof line - 2 - lstrlenA(line));
  lstrcatA(line, "\r\n");

  HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  BOOL ok = WriteFile(file, line, lstrlenA(line), &written, NULL);
  return CloseHandle(file) && ok ? 0 : 1;
}
