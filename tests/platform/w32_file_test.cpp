// OpenFile, ReadFile, WriteFile, SetFilePointer and the file times; share
// modes; writes held back and a full disk.
#include "w32_fixture.h"

#include "w32_stdio.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

class FileTest : public W32Test {
protected:
  void SetUp() override {
    W32Test::SetUp();
    makeHostDir(cdrive("/pkg"));
    writeHost(cdrive("/pkg/TEN.BIN"), "0123456789");
  }
  long long hostTime(const char *rel) { // the host file's last-write time, ns since 1970
    struct stat st;
    return stat(cdrive(rel).c_str(), &st) == 0 ? st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec : -1;
  }
};

// Catches a short read at the end taken for a failure, a byte written past
// the read, a failed seek that moves the position, and a position past
// 4 GiB - 1 taken without a high part.
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

// Catches a handle used beyond its access or after its close, and a
// read-only file written (even by root).
TEST_F(FileTest, AccessIsCheckedPerHandle) {
  writeHost(cdrive("/pkg/RO.TXT"), "keep");
  ASSERT_EQ(chmod(cdrive("/pkg/RO.TXT").c_str(), 0444), 0);
  HANDLE r = asHandle(OpenFile("c:\\pkg\\ten.bin", nullptr, OF_READ));
  DWORD n = 0xdead;
  char c;
  FILETIME ft = {1, 0};
  auto opens = [](const char *path, UINT style) {
    return [=] {
      HFILE f = OpenFile(path, nullptr, style);
      return err(f != HFILE_ERROR && CloseHandle(asHandle(f)));
    };
  };
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
      {"create over read-only", opens("c:\\pkg\\ro.txt", OF_CREATE | OF_WRITE), ERROR_ACCESS_DENIED},
      {"OF_CREATE over read-only", opens("c:\\pkg\\ro.txt", OF_CREATE), ERROR_ACCESS_DENIED},
      {"write read-only", opens("c:\\pkg\\ro.txt", OF_WRITE), ERROR_ACCESS_DENIED},
      {"read and write read-only", opens("c:\\pkg\\ro.txt", OF_READWRITE), ERROR_ACCESS_DENIED},
      {"read read-only", opens("c:\\pkg\\ro.txt", OF_READ), 0},
  });
  EXPECT_EQ(readHost(cdrive("/pkg/RO.TXT")), "keep");
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Catches a share mode not honoured within the process (either way round)
// and a lock that outlives its handle.
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

// Catches a FILETIME not kept to the 100 ns on the host (before 1970, past
// 2038, with fractions), and a NULL or zero time that changes the file's.
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

// WriteFile holds small writes back and hands them over in large blocks.
// Catches bytes held back that another handle, a search, the position, a
// time set or the process's exit do not see, and a full disk (met here as
// the file size limit) not reported by the very WriteFile or text stream
// write that meets it.
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

} // namespace
