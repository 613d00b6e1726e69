// Directory searches, and the calls that make, remove, copy and measure:
// CreateDirectoryA, RemoveDirectoryA, DeleteFileA, CopyFileA and
// GetDiskFreeSpaceA.
#include "w32_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>

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
};

// Catches a pattern matched with case or over part of a name, "*.*" or
// "name.*" not matching a name without a dot, a drive root given . and ..,
// a wrong error at the end or for a missing directory, and a search end
// that writes its buffer.
TEST_F(DirTest, SearchPatterns) {
  const std::vector<std::string> all = {".", "..", "a.b.c", "bookmark.htm", "noext", "README.TXT", "Setup.exe", "SubDir"};
  const struct {
    const char *pattern;
    std::vector<std::string> names;
    DWORD error; // after the last FindNextFileA, or of FindFirstFileA
  } cases[] = {
      {"c:\\pkg\\*", all, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\?etup.EXE", {"Setup.exe"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\s*", {"Setup.exe", "SubDir"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\noext.*", {"noext"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\*.c", {"a.b.c"}, ERROR_NO_MORE_FILES},
      {"c:\\pkg\\?", {"."}, ERROR_NO_MORE_FILES},
      {"c:\\*", {"pkg", "windows"}, ERROR_NO_MORE_FILES}, // a drive root has no . and ..
      {"c:\\pkg\\missing.txt", {}, ERROR_FILE_NOT_FOUND},
      {"c:\\pkg\\", {}, ERROR_FILE_NOT_FOUND},
      {"c:\\nodir\\*", {}, ERROR_PATH_NOT_FOUND},
      {"c:\\p*\\x.txt", {}, ERROR_INVALID_NAME},
      {"q:\\*", {}, ERROR_PATH_NOT_FOUND},
  };
  for (const auto &c : cases) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    memset(&fd, kJunk, sizeof fd);
    SetLastError(0);
    HANDLE h = FindFirstFileA(c.pattern, &fd);
    DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
      do {
        names.push_back(fd.cFileName);
        memset(&fd, kJunk, sizeof fd);
      } while (FindNextFileA(h, &fd));
      error = GetLastError();
      EXPECT_EQ(fd.cFileName[0], kJunk) << c.pattern << ": the end of a search wrote its buffer";
      EXPECT_TRUE(FindClose(h));
    }
    EXPECT_EQ(names, c.names) << c.pattern;
    EXPECT_EQ(error, c.error) << c.pattern;
  }
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Catches wrong attributes, sizes or an inexact last-write time, a find
// handle closed by CloseHandle or twice, and a call without its buffer.
TEST_F(DirTest, SearchReportsAttributesSizesAndTimes) {
  ASSERT_EQ(chmod(cdrive("/pkg/Setup.exe").c_str(), 0444), 0);
  struct timespec ts[2] = {{0, UTIME_OMIT}, {1234567890, 987654300}};
  ASSERT_EQ(utimensat(AT_FDCWD, cdrive("/pkg/README.TXT").c_str(), ts, 0), 0);
  const struct {
    const char *pattern;
    DWORD attributes, size;
  } cases[] = {
      {"c:\\pkg\\readme.txt", FILE_ATTRIBUTE_ARCHIVE, 5},
      {"c:\\pkg\\setup.exe", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, 2},
      {"c:\\pkg\\subdir", FILE_ATTRIBUTE_DIRECTORY, 0},
  };
  WIN32_FIND_DATAA fd;
  for (const auto &c : cases) {
    memset(&fd, kJunk, sizeof fd);
    HANDLE h = FindFirstFileA(c.pattern, &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.pattern;
    EXPECT_EQ(fd.dwFileAttributes, c.attributes) << c.pattern;
    EXPECT_EQ(fd.nFileSizeLow, c.size) << c.pattern;
    EXPECT_EQ(fd.nFileSizeHigh | fd.cAlternateFileName[0], 0u) << c.pattern;
    if (c.size == 5) {
      EXPECT_EQ((static_cast<ULONGLONG>(fd.ftLastWriteTime.dwHighDateTime) << 32) | fd.ftLastWriteTime.dwLowDateTime,
                116444736000000000ULL + 12345678909876543ULL);
    }
    FindClose(h);
  }
  HANDLE h = FindFirstFileA("c:\\pkg\\*", &fd);
  expectCalls({
      {"CloseHandle of a find handle", [&] { return err(CloseHandle(h)); }, ERROR_INVALID_HANDLE},
      {"FindClose", [&] { return err(FindClose(h)); }, 0},
      {"FindClose again", [&] { return err(FindClose(h)); }, ERROR_INVALID_HANDLE},
      {"FindNextFileA after it", [&] { return err(FindNextFileA(h, &fd)); }, ERROR_INVALID_HANDLE},
      {"FindFirstFileA without its data", [] { return err(FindFirstFileA("c:\\pkg\\*", nullptr) != INVALID_HANDLE_VALUE); }, ERROR_NOACCESS},
      {"FindNextFileA without its data", [&] {
         HANDLE g = FindFirstFileA("c:\\pkg\\*", &fd);
         return err(FindNextFileA(g, nullptr) || !FindClose(g));
       }, ERROR_NOACCESS},
      {"GetModuleHandleA of another module", [] { return err(GetModuleHandleA("other.dll")); }, ERROR_MOD_NOT_FOUND},
      {"GetModuleFileNameA of another module", [&] {
         return err(GetModuleFileNameA(reinterpret_cast<HMODULE>(static_cast<intptr_t>(0x1234)), fd.cFileName, 8));
       }, ERROR_MOD_NOT_FOUND},
  });
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Catches a wrong result or error from the calls that change directories
// and files (a drive root removed, a read-only or open file deleted or
// overwritten, a path past MAX_PATH - 12 made), and a free space not given
// in whole clusters, over 2 GiB, or from the wrong drive.
TEST_F(DirTest, ChangesAndFreeSpaceFailAsWin32Does) {
  writeHost(cdrive("/pkg/ro.txt"), "ro");
  chmod(cdrive("/pkg/ro.txt").c_str(), 0444);
  writeHost(cdrive("/old.txt"), "old");
  writeHost(cdrive("/src.txt"), "src");
  struct timespec when[2] = {{1000000000, 5}, {1000000000, 5}};
  utimensat(AT_FDCWD, cdrive("/src.txt").c_str(), when, 0);
  FILE *open = fopen("c:\\pkg\\readme.txt", "rb");
  const std::string deep = "c:\\" + std::string(240, 'd');
  auto makeDir = [](std::string p) { return [p] { return err(CreateDirectoryA(p.c_str(), nullptr)); }; };
  auto space = [](const char *root, unsigned long long bytes) {
    return [root, bytes]() -> DWORD {
      DWORD spc = 0xdead, bps = 0xdead, fc = 0xdead, tc = 0xdead;
      BOOL ok = GetDiskFreeSpaceA(root, &spc, &bps, &fc, &tc);
      if (!ok) return spc == 0xdead && fc == 0xdead ? GetLastError() : 1;
      return static_cast<unsigned long long>(spc) * bps * fc == bytes && tc >= fc ? 0u : 2u;
    };
  };
  w32::mapDrive('b', scratch("/no-floppy"));
  w32::setFreeSpaceOverride('c', 7999999);
  expectCalls({
      {"mkdir of a directory there", makeDir("C:\\PKG\\"), ERROR_ALREADY_EXISTS},
      {"mkdir over a file", makeDir("c:\\pkg\\readme.txt"), ERROR_ALREADY_EXISTS},
      {"mkdir of a root", makeDir("c:\\"), ERROR_ACCESS_DENIED},
      {"mkdir of a bad name", makeDir("c:\\bad|name"), ERROR_INVALID_NAME},
      {"mkdir on no drive", makeDir("q:\\dir"), ERROR_PATH_NOT_FOUND},
      {"mkdir, 245 characters", [=] { return err(CreateDirectoryA(deep.c_str(), nullptr)) + makeDir(deep + "\\x")(); }, 0},
      {"mkdir, 250 characters", makeDir(deep + "\\xyzabc"), ERROR_FILENAME_EXCED_RANGE},
      {"delete a missing file", [] { return err(DeleteFileA("c:\\pkg\\none")); }, ERROR_FILE_NOT_FOUND},
      {"delete a directory", [] { return err(DeleteFileA("c:\\pkg\\subdir")); }, ERROR_ACCESS_DENIED},
      {"delete a read-only file", [] { return err(DeleteFileA("c:\\pkg\\ro.txt")); }, ERROR_ACCESS_DENIED},
      {"delete an open file", [] { return err(DeleteFileA("c:\\pkg\\readme.txt")); }, ERROR_SHARING_VIOLATION},
      {"copy a missing file", [] { return err(CopyFileA("c:\\none", "c:\\x", FALSE)); }, ERROR_FILE_NOT_FOUND},
      {"copy into a missing directory", [] { return err(CopyFileA("c:\\old.txt", "c:\\none\\x", FALSE)); }, ERROR_PATH_NOT_FOUND},
      {"copy over a file when told not to", [] { return err(CopyFileA("c:\\src.txt", "c:\\old.txt", TRUE)); }, ERROR_FILE_EXISTS},
      {"copy over a read-only file", [] { return err(CopyFileA("c:\\src.txt", "c:\\pkg\\ro.txt", FALSE)); },
       ERROR_ACCESS_DENIED},
      {"copy over an open file", [] { return err(CopyFileA("c:\\src.txt", "c:\\pkg\\readme.txt", FALSE)); },
       ERROR_SHARING_VIOLATION},
      {"copy onto itself", [] { return err(CopyFileA("c:\\old.txt", "C:\\OLD.TXT", FALSE)); }, ERROR_SHARING_VIOLATION},
      {"copy over a file", [] { return err(CopyFileA("c:\\src.txt", "c:\\old.txt", FALSE)); }, 0},
      {"remove a full directory", [] { return err(RemoveDirectoryA("c:\\pkg")); }, ERROR_DIR_NOT_EMPTY},
      {"remove a file", [] { return err(RemoveDirectoryA("c:\\old.txt")); }, ERROR_DIRECTORY},
      {"remove a missing directory", [] { return err(RemoveDirectoryA("c:\\none")); }, ERROR_FILE_NOT_FOUND},
      {"remove a drive root", [] { return err(RemoveDirectoryA("c:\\")); }, ERROR_ACCESS_DENIED},
      {"delete a file", [] { return err(DeleteFileA("C:\\SRC.txt")); }, 0},
      {"free space of the current drive", space("\\", 7999999), 0},
      {"free space, not a root", space("c:\\dunmere\\", 0), ERROR_INVALID_NAME},
      {"free space, no drive letter", space("foo\\", 0), ERROR_INVALID_NAME},
      {"free space, no such drive", space("q:\\", 0), ERROR_PATH_NOT_FOUND},
      {"free space, no disk in the drive", space("b:\\", 0), ERROR_NOT_READY},
  });
  fclose(open);
  EXPECT_EQ(readHost(cdrive("/old.txt")), "src");
  EXPECT_EQ(readHost(cdrive("/pkg/README.TXT")), "12345");
  struct stat st;
  ASSERT_EQ(stat(cdrive("/old.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, 1000000000000000005LL) << "a copy keeps the time";
  EXPECT_FALSE(hostExists(cdrive("/" + std::string(240, 'd') + "/xyzabc")) || hostExists(cdrive("/src.txt")));

  // Above 2 GiB a 32-bit query reports just below it.
  w32::setFreeSpaceOverride('c', 5000000000ULL);
  expectCalls({{"free space over 2 GiB", space("c:\\", 0x7FFFF000ULL), 0}});
}

} // namespace
