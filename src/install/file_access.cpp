#include "file_access.h"

static HANDLE handleFromFile(HFILE file) {
  if (file == HFILE_ERROR) {
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));
}

HANDLE openForReading(const char *path) {
  OFSTRUCT info;
  return handleFromFile(OpenFile(path, &info, OF_READ));
}

HANDLE createForWriting(const char *path) {
  OFSTRUCT info;
  return handleFromFile(OpenFile(path, &info, OF_CREATE | OF_WRITE));
}

int measureFile(HANDLE file, uint32_t *size) {
  DWORD end = SetFilePointer(file, 0, NULL, FILE_END);
  if (end == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    return 0;
  }
  if (SetFilePointer(file, 0, NULL, FILE_BEGIN) != 0) {
    return 0;
  }
  *size = end;
  return 1;
}

int readExactly(HANDLE file, void *buffer, uint32_t count) {
  DWORD got = 0;
  if (!ReadFile(file, buffer, count, &got, NULL)) {
    return 0;
  }
  return got == count ? 1 : 0;
}

int writeExactly(HANDLE file, const void *buffer, uint32_t count) {
  DWORD put = 0;
  if (!WriteFile(file, buffer, count, &put, NULL)) {
    return 0;
  }
  return put == count ? 1 : 0;
}

FILETIME fileTimeFromValue(uint64_t value) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(value);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}
