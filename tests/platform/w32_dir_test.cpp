// Directory searches, CreateDirectoryA and GetDiskFreeSpaceA.
#include "w32_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

class DirTest : public W32Test {
protected:
  void SetUp() override {
    W32Test::SetUp();
    makeHostDir(cdrive("/pkg/SubDir"));
    writeHost(cdrive("/pkg/README.TXT"), "12345");
    writeHost(cdrive("/pkg/bookmark.htm"), "");
    writeHost(cdrive("/pkg/Setup.exe"), "MZ");
    writeHost(cdrive("/pkg/noext"), "");
    writeHost(cdrive("/pkg/a.b.c"), "");
  }

  // Every name a search reports, in order; or the error of FindFirstFileA.
  static std::vector<std::string> search(const char *pattern, DWORD *error) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    memset(&fd, kJunk, sizeof fd);
    SetLastError(0);
    HANDLE h = FindFirstFileA(pattern, &fd);
    *error = GetLastError();
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      names.push_back(fd.cFileName);
      memset(&fd, kJunk, sizeof fd);
    } while (FindNextFileA(h, &fd));
    *error = GetLastError();
    EXPECT_EQ(fd.cFileName[0], kJunk) << "the end of a search wrote its buffer";
    EXPECT_TRUE(FindClose(h));
    return names;
  }
};

struct SearchCase {
  const char *pattern;
  std::vector<std::string> names;
  DWORD error; // after the last FindNextFileA, or of FindFirstFileA
};

const std::vector<std::string> kAll = {".", "..", "a.b.c", "bookmark.htm", "noext", "README.TXT", "Setup.exe", "SubDir"};

TEST_F(DirTest, SearchPatterns) {
  const SearchCase cases[] = {
      {"c:\\pkg\\*", kAll, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\*.*", kAll, ERROR_NO_MORE_FILES},
      {"C:/PKG/*.TXT", {"README.TXT"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\*.txt", {"README.TXT"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\BOOKMARK.HTM", {"bookmark.htm"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\?etup.EXE", {"Setup.exe"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\s*", {"Setup.exe", "SubDir"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\noext.*", {"noext"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\*.c", {"a.b.c"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\?", {"."}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\subdir", {"SubDir"}, ERROR_NO_MORE_FILES},
      {"c:\\*", {"pkg", "windows"}, ERROR_NO_MORE_FILES}, // a drive root has no . and ..
      {"c:\\pkg\\missing.txt", {}, ERROR_FILE_NOT_FOUND},
      {"c:\\pkg\\*.zip", {}, ERROR_FILE_NOT_FOUND},
      {"c:\\pkg\\", {}, ERROR_FILE_NOT_FOUND},
      {"c:\\nodir\\*", {}, ERROR_PATH_NOT_FOUND},
      {"c:\\nodir\\x.txt", {}, ERROR_PATH_NOT_FOUND},
      {"c:\\p*\\x.txt", {}, ERROR_INVALID_NAME},
      {"q:\\*", {}, ERROR_PATH_NOT_FOUND},
  };
  for (const SearchCase &c : cases) {
    DWORD error = 0;
    EXPECT_EQ(search(c.pattern, &error), c.names) << c.pattern;
    EXPECT_EQ(error, c.error) << c.pattern;
  }
  EXPECT_EQ(w32::openHandleCount(), 0);
}

TEST_F(DirTest, SearchReportsAttributesSizesAndTimes) {
  ASSERT_EQ(chmod(cdrive("/pkg/Setup.exe").c_str(), 0444), 0);
  struct Case {
    const char *pattern;
    DWORD attributes;
    DWORD size;
  } cases[] = {
      {"c:\\pkg\\readme.txt", FILE_ATTRIBUTE_ARCHIVE, 5},
      {"c:\\pkg\\setup.exe", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, 2},
      {"c:\\pkg\\subdir", FILE_ATTRIBUTE_DIRECTORY, 0},
  };
  for (const Case &c : cases) {
    WIN32_FIND_DATAA fd;
    memset(&fd, kJunk, sizeof fd);
    HANDLE h = FindFirstFileA(c.pattern, &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.pattern;
    EXPECT_EQ(fd.dwFileAttributes, c.attributes) << c.pattern;
    EXPECT_EQ(fd.nFileSizeLow, c.size) << c.pattern;
    EXPECT_EQ(fd.nFileSizeHigh, 0u) << c.pattern;
    EXPECT_EQ(fd.cAlternateFileName[0], 0) << c.pattern;
    FindClose(h);
  }
  struct timespec ts[2] = {{0, UTIME_OMIT}, {1234567890, 987654300}};
  ASSERT_EQ(utimensat(AT_FDCWD, cdrive("/pkg/README.TXT").c_str(), ts, 0), 0);
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA("c:\\pkg\\readme.txt", &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ULONGLONG t = (static_cast<ULONGLONG>(fd.ftLastWriteTime.dwHighDateTime) << 32) | fd.ftLastWriteTime.dwLowDateTime;
  EXPECT_EQ(t, 116444736000000000ULL + 12345678909876543ULL);
  FindClose(h);
  // A find handle is not closed by CloseHandle, nor a file handle by FindClose.
  h = FindFirstFileA("c:\\pkg\\*", &fd);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(w32::openHandleCount(), 1);
  EXPECT_TRUE(FindClose(h));
  EXPECT_FALSE(FindClose(h));
  EXPECT_FALSE(FindNextFileA(h, &fd));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(w32::openHandleCount(), 0);
}

struct MkdirCase {
  std::string path;
  BOOL result;
  DWORD error;
};

TEST_F(DirTest, CreateDirectory) {
  std::string deep = "c:\\" + std::string(240, 'd') + "\\x";        // 245 characters: fits
  std::string tooDeep = "c:\\" + std::string(240, 'd') + "\\xyzabc"; // 250: over MAX_PATH - 12
  const MkdirCase cases[] = {
      {"c:\\dunmere", TRUE, 0},
      {"c:\\dunmere", FALSE, ERROR_ALREADY_EXISTS},
      {"C:\\DUNMERE\\", FALSE, ERROR_ALREADY_EXISTS},
      {"c:\\dunmere\\Quorvel\\", TRUE, 0},
      {"c:\\pkg\\readme.txt", FALSE, ERROR_ALREADY_EXISTS},
      {"c:\\a\\b\\c", FALSE, ERROR_PATH_NOT_FOUND},
      {"c:\\", FALSE, ERROR_ACCESS_DENIED},
      {"c:\\bad|name", FALSE, ERROR_INVALID_NAME},
      {"q:\\dir", FALSE, ERROR_PATH_NOT_FOUND},
      {"c:\\" + std::string(240, 'd'), TRUE, 0},
      {deep, TRUE, 0},
      {tooDeep, FALSE, ERROR_FILENAME_EXCED_RANGE},
  };
  for (const MkdirCase &c : cases) {
    SetLastError(0);
    EXPECT_EQ(CreateDirectoryA(c.path.c_str(), nullptr), c.result) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  EXPECT_TRUE(hostExists(cdrive("/dunmere/Quorvel")));
  EXPECT_FALSE(hostExists(cdrive("/" + std::string(240, 'd') + "/xyzabc")));
}

struct FreeCase {
  const char *root;
  unsigned long long overrideBytes; // 0: none
  BOOL result;
  DWORD error;
  unsigned long long freeBytes; // clusters x bytes x sectors, when it succeeds
};

TEST_F(DirTest, DiskFreeSpace) {
  w32::mapDrive('b', scratch("/no-floppy"));
  const FreeCase cases[] = {
      {"c:\\", 7999999, TRUE, 0, 7999999},
      {"C:\\", 8000000, TRUE, 0, 8000000},
      {"c:/", 7654321, TRUE, 0, 7654321},
      {"c:\\", 4096ULL * 1000, TRUE, 0, 4096ULL * 1000},
      {"c:\\", 5000000000ULL, TRUE, 0, 0x7FFFF000ULL}, // reported below 2 GiB
      {"\\", 123456, TRUE, 0, 123456},                   // the current drive
      {"foo\\", 0, FALSE, ERROR_INVALID_NAME, 0},
      {"c:", 0, FALSE, ERROR_INVALID_NAME, 0},
      {"c:\\dunmere\\", 0, FALSE, ERROR_INVALID_NAME, 0},
      {"q:\\", 0, FALSE, ERROR_PATH_NOT_FOUND, 0},
      {"b:\\", 0, FALSE, ERROR_NOT_READY, 0},
  };
  for (const FreeCase &c : cases) {
    w32::resetForTest(prefix);
    w32::mapDrive('b', scratch("/no-floppy"));
    if (c.overrideBytes) w32::setFreeSpaceOverride(c.root[0] == '\\' ? 'c' : c.root[0], c.overrideBytes);
    DWORD spc = 0xdead, bps = 0xdead, fc = 0xdead, tc = 0xdead;
    SetLastError(0);
    EXPECT_EQ(GetDiskFreeSpaceA(c.root, &spc, &bps, &fc, &tc), c.result) << c.root;
    EXPECT_EQ(GetLastError(), c.error) << c.root;
    if (c.result) {
      EXPECT_EQ(static_cast<unsigned long long>(spc) * bps * fc, c.freeBytes) << c.root;
      EXPECT_GE(tc, fc) << c.root;
    } else {
      EXPECT_EQ(spc, 0xdeadu) << c.root;
      EXPECT_EQ(fc, 0xdeadu) << c.root;
    }
  }
}

TEST_F(DirTest, DiskFreeSpaceFromTheHost) {
  DWORD spc = 0, bps = 0, fc = 0, tc = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA("c:\\", &spc, &bps, &fc, &tc));
  struct statvfs vfs;
  ASSERT_EQ(statvfs(cdrive().c_str(), &vfs), 0);
  unsigned long long host = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
  unsigned long long reported = static_cast<unsigned long long>(spc) * bps * fc;
  EXPECT_EQ(spc * bps, 4096u);
  unsigned long long expect = std::min(host, 0x7FFFF000ULL) / 4096 * 4096;
  // Other processes write to the same disk meanwhile: allow 64 MiB of drift.
  EXPECT_LE(reported > expect ? reported - expect : expect - reported, 64ULL << 20);
  EXPECT_LE(reported, 0x7FFFF000ULL);
}

} // namespace
