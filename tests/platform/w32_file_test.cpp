// File calls: reads, seeks, times, sharing, held-back writes, drive speeds, searches, changes, free space.
#include "w32_fixture.h"

#include "w32_stdio.h"

#include <fcntl.h>

#include <chrono>

namespace {

class FileTest : public W32Test {
protected:
  void SetUp() override {
    W32Test::SetUp();
    makeHostDir(cdrive("/pkg/SubDir"));
    writeHost(cdrive("/pkg/TEN.BIN"), "0123456789");
    writeHost(cdrive("/pkg/README.TXT"), "12345");
    writeHost(cdrive("/pkg/bookmark.htm"), "");
    writeHost(cdrive("/pkg/Setup.exe"), "MZ");
    writeHost(cdrive("/pkg/noext"), "");
    writeHost(cdrive("/pkg/a.b.c"), "");
  }
  long long hostTime(const char *rel) { // the host file's last-write time, ns since 1970
    struct stat st;
    return stat(cdrive(rel).c_str(), &st) == 0 ? st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec : -1;
  }
};

// Catches a short read taken as failure, a byte written past it, a bad seek moving, 4 GiB with no high part.
TEST_F(FileTest, ReadsAndSeeksFollowWin32) {
  HANDLE f = asHandle(OpenFile("c:\\PKG\\ten.bin", nullptr, OF_READWRITE));
  const struct {
    int method;      // FILE_BEGIN/CURRENT/END, 9 for an invalid method, -1 read
    LONG distance;   // seek distance, or bytes to read
    DWORD result;    // new position, or bytes delivered
    const char *data;
    DWORD error;     // GetLastError after a failed seek, else 0
  } steps[] = {
      {-1, 4, 4, "0123", 0},
      {-1, 10, 6, "456789", 0}, // a short read at the end is a success
      {FILE_CURRENT, -20, INVALID_SET_FILE_POINTER, nullptr, ERROR_NEGATIVE_SEEK},
      {FILE_CURRENT, 0, 10, nullptr, 0}, // a failed seek leaves the position
      {9, 0, INVALID_SET_FILE_POINTER, nullptr, ERROR_INVALID_PARAMETER},
      {FILE_BEGIN, 100, 100, nullptr, 0},
      {-1, 3, 0, "", 0},
      {FILE_END, 0, 10, nullptr, 0},
      {FILE_CURRENT, 0x7ffffff5, 0x7fffffff, nullptr, 0},
      {FILE_CURRENT, 0x7fffffff, 0xfffffffe, nullptr, 0},
      {FILE_CURRENT, 2, INVALID_SET_FILE_POINTER, nullptr, ERROR_INVALID_PARAMETER}, // 4 GiB: no high part to take it
  };
  int i = 0;
  for (const auto &s : steps) {
    ++i;
    SetLastError(0);
    if (s.method >= 0) {
      EXPECT_EQ(SetFilePointer(f, s.distance, nullptr, static_cast<DWORD>(s.method)), s.result) << "step " << i;
      EXPECT_EQ(GetLastError(), s.error) << "step " << i;
      continue;
    }
    char buf[32];
    memset(buf, kJunk, sizeof buf);
    DWORD got = 0xdead;
    EXPECT_TRUE(ReadFile(f, buf, static_cast<DWORD>(s.distance), &got, nullptr)) << "step " << i;
    EXPECT_EQ(std::string(buf, got), s.data) << "step " << i;
    EXPECT_EQ(buf[got], kJunk) << "step " << i << ": a byte beyond the read was written";
  }
  EXPECT_TRUE(CloseHandle(f));
  EXPECT_EQ(readHost(cdrive("/pkg/TEN.BIN")), "0123456789");
}

// Catches a handle used beyond its access or after its close, and a read-only file written (even by root).
TEST_F(FileTest, AccessIsCheckedPerHandle) {
  writeHost(cdrive("/pkg/RO.TXT"), "keep");
  ASSERT_EQ(chmod(cdrive("/pkg/RO.TXT").c_str(), 0444), 0);
  HANDLE r = asHandle(OpenFile("c:\\pkg\\ten.bin", nullptr, OF_READ));
  DWORD n = 0xdead;
  char c;
  FILETIME ft = {1, 0};
  expectCalls({
      {"write a read handle", [&] { return err(WriteFile(r, "x", 1, &n, nullptr) || n != 0); }, ERROR_ACCESS_DENIED},
      {"set the time of a read handle", [&] { return err(SetFileTime(r, nullptr, nullptr, &ft)); }, ERROR_ACCESS_DENIED},
      {"read into no buffer", [&] { return err(ReadFile(r, nullptr, 1, &n, nullptr)); }, ERROR_NOACCESS},
      {"read without a count", [&] { return err(ReadFile(r, &c, 1, nullptr, nullptr)); }, ERROR_INVALID_PARAMETER},
      {"OF_EXIST of a file", [] { return err(OpenFile("c:\\pkg\\ten.bin", nullptr, OF_EXIST) == 1 && !w32::openHandleCount()); }, 0},
      {"OF_EXIST of no file", [] { return err(OpenFile("c:\\pkg\\none", nullptr, OF_EXIST) != HFILE_ERROR); }, ERROR_FILE_NOT_FOUND},
      {"close", [&] { return err(CloseHandle(r)); }, 0},
      {"close again", [&] { return err(CloseHandle(r)); }, ERROR_INVALID_HANDLE},
      {"read a closed handle", [&] { return err(ReadFile(r, &c, 1, &n, nullptr) || n != 0); }, ERROR_INVALID_HANDLE},
      {"seek no handle", [] { return err(SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER); },
       ERROR_INVALID_HANDLE},
      {"time of no handle", [&] { return err(GetFileTime(nullptr, nullptr, nullptr, &ft)); }, ERROR_INVALID_HANDLE},
      {"set the time of no handle", [&] { return err(SetFileTime(nullptr, nullptr, nullptr, &ft)); }, ERROR_INVALID_HANDLE},
      {"create over read-only", openCall("c:\\pkg\\ro.txt", OF_CREATE | OF_WRITE), ERROR_ACCESS_DENIED},
      {"OF_CREATE over read-only", openCall("c:\\pkg\\ro.txt", OF_CREATE), ERROR_ACCESS_DENIED},
      {"write read-only", openCall("c:\\pkg\\ro.txt", OF_WRITE), ERROR_ACCESS_DENIED},
      {"read and write read-only", openCall("c:\\pkg\\ro.txt", OF_READWRITE), ERROR_ACCESS_DENIED},
      {"read read-only", openCall("c:\\pkg\\ro.txt", OF_READ), 0},
  });
  EXPECT_EQ(readHost(cdrive("/pkg/RO.TXT")), "keep");
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Catches a share mode not honoured within the process (either way round) and a lock outliving its handle.
TEST_F(FileTest, ShareModesLockFilesWithinTheProcess) {
  const struct {
    UINT first, second;
    bool secondOpens;
  } cases[] = {
      {OF_READ | OF_SHARE_EXCLUSIVE, OF_READ, false},
      {OF_READ | OF_SHARE_DENY_WRITE, OF_READ, true},
      {OF_READ | OF_SHARE_DENY_WRITE, OF_CREATE | OF_WRITE, false},
      {OF_READ | OF_SHARE_DENY_READ, OF_READ, false},
      {OF_READ | OF_SHARE_DENY_READ, OF_WRITE, true},
      {OF_READ | OF_SHARE_DENY_NONE, OF_CREATE | OF_WRITE, true},
      {OF_WRITE, OF_READ | OF_SHARE_DENY_WRITE, false},
      {OF_READ, OF_READ | OF_SHARE_EXCLUSIVE, false},
  };
  for (const auto &c : cases) {
    HFILE a = OpenFile("c:\\pkg\\ten.bin", nullptr, c.first);
    ASSERT_NE(a, HFILE_ERROR);
    SetLastError(0);
    HFILE b = OpenFile("c:\\pkg\\ten.bin", nullptr, c.second);
    EXPECT_EQ(b != HFILE_ERROR ? 0 : GetLastError(), c.secondOpens ? 0u : ERROR_SHARING_VIOLATION)
        << c.first << " then " << c.second;
    if (b != HFILE_ERROR) CloseHandle(asHandle(b));
    CloseHandle(asHandle(a));
    b = OpenFile("c:\\pkg\\ten.bin", nullptr, c.second); // free again once closed
    EXPECT_NE(b, HFILE_ERROR);
    CloseHandle(asHandle(b));
  }
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Catches a FILETIME not kept to 100 ns on the host, and a NULL or zero time that changes the file's.
TEST_F(FileTest, FileTimesRoundTripExactly) {
  const ULONGLONG times[] = {
      116444736000000000ULL,           // 1970-01-01 00:00:00
      116444736000000001ULL,           // + 100 ns
      116444735999999999ULL,           // 100 ns before 1970
      119600064000000000ULL,           // 1980-01-01, the FAT epoch
      125911584000000000ULL + 9999999, // 2000-01-01 + 0.9999999 s
      132223104001234567ULL,           // 2020-01-01 + 0.1234567 s
      110133648000000000ULL,           // 1950-01-01
      137919572470000000ULL,           // 2038-01-19, past the 32-bit time_t
      151478208000000000ULL + 5,       // 2081
  };
  for (ULONGLONG t : times) {
    HANDLE f = asHandle(OpenFile("c:\\pkg\\stamp.bin", nullptr, OF_CREATE | OF_WRITE));
    FILETIME ft = {static_cast<DWORD>(t & 0xffffffffu), static_cast<DWORD>(t >> 32)};
    EXPECT_TRUE(SetFileTime(f, nullptr, nullptr, &ft));
    EXPECT_TRUE(CloseHandle(f));
    f = asHandle(OpenFile("c:\\pkg\\stamp.bin", nullptr, OF_READ));
    FILETIME back;
    memset(&back, kJunk, sizeof back);
    EXPECT_TRUE(GetFileTime(f, nullptr, nullptr, &back));
    CloseHandle(f);
    EXPECT_EQ((static_cast<ULONGLONG>(back.dwHighDateTime) << 32) | back.dwLowDateTime, t);
    EXPECT_EQ(hostTime("/pkg/stamp.bin"), (static_cast<long long>(t) - 116444736000000000LL) * 100) << t;
  }
  HANDLE f = asHandle(OpenFile("c:\\pkg\\ten.bin", nullptr, OF_READWRITE));
  FILETIME set = {0x12345678, 0x01d00000}, zero = {0, 0}, access = {0x11111111, 0x01c00000}, w, a;
  ASSERT_TRUE(SetFileTime(f, nullptr, nullptr, &set));
  EXPECT_TRUE(SetFileTime(f, &zero, &access, &zero));
  EXPECT_TRUE(SetFileTime(f, nullptr, nullptr, nullptr));
  EXPECT_TRUE(GetFileTime(f, nullptr, &a, &w));
  EXPECT_EQ(std::make_pair(w.dwLowDateTime, w.dwHighDateTime), std::make_pair(set.dwLowDateTime, set.dwHighDateTime));
  EXPECT_EQ(std::make_pair(a.dwLowDateTime, a.dwHighDateTime), std::make_pair(access.dwLowDateTime, access.dwHighDateTime));
  CloseHandle(f);
}

// Catches held-back bytes others do not see, and a full disk not reported by the write that meets it.
TEST_F(FileTest, BytesHeldBackAreSeenAndAFullDiskReportedAtOnce) {
  HANDLE w = asHandle(OpenFile("c:\\pkg\\held.bin", nullptr, OF_CREATE | OF_WRITE | OF_SHARE_DENY_NONE));
  std::string written;
  DWORD n;
  for (int i = 0; i < 5; ++i) {
    std::string piece(1000 + i, static_cast<char>('a' + i));
    ASSERT_TRUE(WriteFile(w, piece.data(), static_cast<DWORD>(piece.size()), &n, nullptr));
    written += piece;
  }
  HANDLE r = asHandle(OpenFile("c:\\pkg\\held.bin", nullptr, OF_READ | OF_SHARE_DENY_NONE));
  std::string back(written.size() + 10, '\0');
  EXPECT_TRUE(ReadFile(r, &back[0], static_cast<DWORD>(back.size()), &n, nullptr));
  EXPECT_EQ(back.substr(0, n), written);
  CloseHandle(r);
  ASSERT_TRUE(WriteFile(w, "tail", 4, &n, nullptr));
  written += "tail";
  WIN32_FIND_DATAA fd;
  FindClose(FindFirstFileA("c:\\pkg\\held.bin", &fd));
  EXPECT_EQ(fd.nFileSizeLow, written.size());
  ASSERT_TRUE(WriteFile(w, "end", 3, &n, nullptr));
  written += "end";
  EXPECT_EQ(SetFilePointer(w, 0, nullptr, FILE_CURRENT), written.size());
  FILETIME ft = {0x2a4b6c00, 0x01b00000};
  EXPECT_TRUE(SetFileTime(w, nullptr, nullptr, &ft)); // what is held back goes first: closing keeps the time
  EXPECT_TRUE(CloseHandle(w));
  EXPECT_EQ(readHost(cdrive("/pkg/held.bin")), written);
  EXPECT_EQ(hostTime("/pkg/held.bin"), (static_cast<long long>(0x01b000002a4b6c00ULL) - 116444736000000000LL) * 100);

  EXPECT_EQ(inChild([] {
              HFILE open = OpenFile("c:\\pkg\\left.bin", nullptr, OF_CREATE | OF_WRITE);
              DWORD k;
              return open != HFILE_ERROR && WriteFile(asHandle(open), "left open", 9, &k, nullptr) ? 0 : 1;
            }), 0);
  EXPECT_EQ(readHost(cdrive("/pkg/left.bin")), "left open") << "a program that exits with the handle open";
  // 100,000 bytes: the fourth 32000-byte chunk meets it; the space of each
  // byte held back is taken when it is written. 99: not ERROR_DISK_FULL.
  EXPECT_EQ(inChild([] {
              HANDLE f = asHandle(OpenFile("c:\\pkg\\limited.bin", nullptr, OF_CREATE | OF_WRITE));
              static char chunk[32000];
              DWORD k;
              int accepted = 0;
              while (accepted < 5 && WriteFile(f, chunk, sizeof chunk, &k, nullptr)) ++accepted;
              bool full = GetLastError() == ERROR_DISK_FULL;
              return CloseHandle(f) && full ? accepted : 99;
            }, 100000), 3);
  EXPECT_EQ(readHost(cdrive("/pkg/limited.bin")).size(), 96000u);
  EXPECT_EQ(inChild([] {
              FILE *f = w32_fopen("c:\\pkg\\limited.txt", "w");
              static char text[200000];
              memset(text, 'x', sizeof text);
              bool failed = !f || fwrite(text, 1, sizeof text, f) < sizeof text || fflush(f) != 0;
              if (f) fclose(f);
              return failed ? 0 : 1;
            }, 100000), 0) << "a text stream's write past the limit";
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Seconds to read the whole file (through ReadFile, or a text stream).
double timedRead(const char *path, bool stream, size_t *size) {
  auto start = std::chrono::steady_clock::now();
  char buf[65536];
  DWORD n = 0;
  FILE *f = stream ? fopen(path, "r") : nullptr;
  HANDLE h = stream ? nullptr : (HANDLE)(INT_PTR)OpenFile(path, nullptr, OF_READ);
  for (*size = 0; stream ? (n = static_cast<DWORD>(fread(buf, 1, sizeof buf, f))) != 0
                         : ReadFile(h, buf, sizeof buf, &n, nullptr) && n;)
    *size += n;
  stream ? fclose(f) : CloseHandle(h);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Catches a slow drive read at full speed (ReadFile or stream, after a disk change), or a fast one slowed.
TEST_F(FileTest, SlowDriveReadsAtItsSpeedWhateverDiskIsIn) {
  const size_t kSize = 30000;
  const double kMedium = kSize / 60000.0; // seconds for the file at 60000 bytes/s
  makeHostDir(scratch("/disk1"));
  makeHostDir(scratch("/disk2"));
  for (std::string f : {scratch("/disk1/a.bin"), scratch("/disk2/b.bin"), cdrive("/c.bin")})
    writeHost(f, std::string(kSize, 'q'));
  w32::mapDrive('a', scratch("/disk1"));
  w32::setDriveSpeed('a', 60000);
  struct Case {
    std::string answers; // run before the read
    const char *path;
    bool stream, slow;
  } cases[] = {
      {"", "a:\\a.bin", false, true},
      {"", "c:\\c.bin", true, false},
      {"at-start insert a: " + scratch("/disk2"), "a:\\b.bin", true, true},
      {"at-start insert a: " + scratch("/disk1") + " speed -", "a:\\a.bin", false, false},
      {"at-start insert a: " + scratch("/disk2") + " speed 60000", "a:\\b.bin", false, true},
  };
  for (const Case &c : cases) {
    if (!c.answers.empty()) w32::setAnswers(c.answers);
    ASSERT_EQ(w32::scriptError(), "");
    size_t size = 0;
    double took = timedRead(c.path, c.stream, &size);
    EXPECT_EQ(size, kSize) << c.path;
    // A slow read takes the medium's time; a fast one none at all, with room for a busy machine.
    EXPECT_TRUE(c.slow ? took >= 0.9 * kMedium : took < 0.5 * kMedium) << c.path << " took " << took;
  }
  // w32prefix, another program on the prefix, sees the speed.
  std::string out = runPrefixTool("drives");
  EXPECT_NE(out.find("\nA:  " + scratch("/disk2") + "  60000 bytes/s\nC:  " + prefix + "/drive_c\n"), std::string::npos) << out;
}

// Catches a pattern matched with case or in part, "name.*" missing "name", a root's . and .., bad ends.
TEST_F(FileTest, SearchPatterns) {
  const std::vector<std::string> all = {".", "..", "a.b.c", "bookmark.htm", "noext", "README.TXT", "Setup.exe",
                                        "SubDir", "TEN.BIN"};
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
      {"c:\\*", {"pkg", "Program Files", "windows"}, ERROR_NO_MORE_FILES}, // a drive root has no . and ..
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

// Catches wrong attributes, sizes or times, a find handle closed by CloseHandle or twice, a missing buffer.
TEST_F(FileTest, SearchReportsAttributesSizesAndTimes) {
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

// Catches a wrong result or error from calls that change files and directories, or from free space.
TEST_F(FileTest, ChangesAndFreeSpaceFailAsWin32Does) {
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
  EXPECT_EQ(hostTime("/old.txt"), 1000000000000000005LL) << "a copy keeps the time";
  EXPECT_FALSE(hostExists(cdrive("/" + std::string(240, 'd') + "/xyzabc")) || hostExists(cdrive("/src.txt")));

  // Above 2 GiB a 32-bit query reports just below it.
  w32::setFreeSpaceOverride('c', 5000000000ULL);
  expectCalls({{"free space over 2 GiB", space("c:\\", 0x7FFFF000ULL), 0}});
}

} // namespace
