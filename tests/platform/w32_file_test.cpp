// OpenFile, ReadFile, WriteFile, SetFilePointer and the file times.
#include "w32_fixture.h"

#include "w32_stdio.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

HANDLE asHandle(HFILE f) { return (HANDLE)(INT_PTR)f; }

class FileTest : public W32Test {
protected:
  void SetUp() override {
    W32Test::SetUp();
    makeHostDir(cdrive("/pkg"));
    writeHost(cdrive("/pkg/TEN.BIN"), "0123456789");
  }
};

// One step on a handle: a seek (method >= 0) or a read (method < 0).
struct Step {
  int method;      // FILE_BEGIN/CURRENT/END, 9 for an invalid method, -1 read
  LONG distance;   // seek distance, or bytes to read
  DWORD result;    // new position, or bytes delivered
  const char *data;
  DWORD error;     // GetLastError after a failed seek, else 0
};

const Step kSteps[] = {
    {-1, 4, 4, "0123", 0},
    {FILE_CURRENT, 0, 4, nullptr, 0},
    {-1, 10, 6, "456789", 0}, // a short read at the end is a success
    {-1, 5, 0, "", 0},
    {FILE_END, -3, 7, nullptr, 0},
    {-1, 2, 2, "78", 0},
    {FILE_CURRENT, -20, INVALID_SET_FILE_POINTER, nullptr, ERROR_NEGATIVE_SEEK},
    {FILE_CURRENT, 0, 9, nullptr, 0}, // a failed seek leaves the position
    {9, 0, INVALID_SET_FILE_POINTER, nullptr, ERROR_INVALID_PARAMETER},
    {FILE_BEGIN, 100, 100, nullptr, 0},
    {-1, 3, 0, "", 0},
    {FILE_BEGIN, 1, 1, nullptr, 0},
    {-1, 0, 0, "", 0},
    {-1, 1, 1, "1", 0},
    {FILE_END, 0, 10, nullptr, 0},
};

TEST_F(FileTest, ReadsAndSeeksFollowWin32) {
  HFILE f = OpenFile("c:\\PKG\\ten.bin", nullptr, OF_READ | OF_SHARE_DENY_WRITE);
  ASSERT_NE(f, HFILE_ERROR);
  int i = 0;
  for (const Step &s : kSteps) {
    ++i;
    SetLastError(0);
    if (s.method >= 0) {
      EXPECT_EQ(SetFilePointer(asHandle(f), s.distance, nullptr, static_cast<DWORD>(s.method)), s.result)
          << "step " << i;
      EXPECT_EQ(GetLastError(), s.error) << "step " << i;
      continue;
    }
    char buf[32];
    memset(buf, kJunk, sizeof buf);
    DWORD got = 0xdead;
    EXPECT_TRUE(ReadFile(asHandle(f), buf, static_cast<DWORD>(s.distance), &got, nullptr)) << "step " << i;
    EXPECT_EQ(got, s.result) << "step " << i;
    EXPECT_EQ(std::string(buf, got), s.data) << "step " << i;
    EXPECT_EQ(buf[got], kJunk) << "step " << i << ": a byte beyond the read was written";
  }
  EXPECT_TRUE(CloseHandle(asHandle(f)));
}

TEST_F(FileTest, SeeksWithAHighPart) {
  HFILE f = OpenFile("c:\\pkg\\ten.bin", nullptr, OF_READWRITE);
  ASSERT_NE(f, HFILE_ERROR);
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(asHandle(f), 5, &high, FILE_BEGIN), 5u); // 4 GiB + 5: sparse, nothing written
  EXPECT_EQ(high, 1);
  high = -1;
  EXPECT_EQ(SetFilePointer(asHandle(f), -2, &high, FILE_CURRENT), 3u);
  EXPECT_EQ(high, 1);
  high = 0;
  EXPECT_EQ(SetFilePointer(asHandle(f), 3, &high, FILE_BEGIN), 3u);
  EXPECT_EQ(high, 0);
  SetLastError(0);
  EXPECT_EQ(SetFilePointer(asHandle(f), 0x7fffffff, nullptr, FILE_CURRENT), 0x80000002u);
  EXPECT_EQ(SetFilePointer(asHandle(f), 0x7fffffff, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(CloseHandle(asHandle(f)));
  struct stat st;
  ASSERT_EQ(stat(cdrive("/pkg/TEN.BIN").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 10);
}

TEST_F(FileTest, CreateTruncatesAndWriteAppends) {
  writeHost(cdrive("/pkg/OLD.TXT"), std::string(100, 'o'));
  HFILE f = OpenFile("c:\\pkg\\old.txt", nullptr, OF_CREATE | OF_WRITE | OF_SHARE_EXCLUSIVE);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_EQ(readHost(cdrive("/pkg/OLD.TXT")), "");
  DWORD put = 0xdead;
  EXPECT_TRUE(WriteFile(asHandle(f), "abc", 3, &put, nullptr));
  EXPECT_EQ(put, 3u);
  EXPECT_TRUE(WriteFile(asHandle(f), "de", 2, &put, nullptr));
  EXPECT_TRUE(WriteFile(asHandle(f), "", 0, &put, nullptr));
  EXPECT_EQ(put, 0u);
  EXPECT_TRUE(CloseHandle(asHandle(f)));
  EXPECT_EQ(readHost(cdrive("/pkg/OLD.TXT")), "abcde");

  // OF_WRITE alone opens the existing file without truncating it.
  f = OpenFile("c:\\pkg\\old.txt", nullptr, OF_WRITE);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_TRUE(WriteFile(asHandle(f), "X", 1, &put, nullptr));
  char c;
  DWORD got = 0xdead;
  EXPECT_FALSE(ReadFile(asHandle(f), &c, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(CloseHandle(asHandle(f)));
  EXPECT_EQ(readHost(cdrive("/pkg/OLD.TXT")), "Xbcde");
}

TEST_F(FileTest, AccessIsCheckedPerHandle) {
  HFILE f = OpenFile("c:\\pkg\\ten.bin", nullptr, OF_READ);
  ASSERT_NE(f, HFILE_ERROR);
  DWORD put = 0xdead;
  EXPECT_FALSE(WriteFile(asHandle(f), "x", 1, &put, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(put, 0u);
  FILETIME ft = {1, 0};
  EXPECT_FALSE(SetFileTime(asHandle(f), nullptr, nullptr, &ft));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(asHandle(f)));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(asHandle(f)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  char c;
  DWORD got = 0xdead;
  EXPECT_FALSE(ReadFile(asHandle(f), &c, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(GetFileTime(nullptr, nullptr, nullptr, &ft));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FileTest, ReadOnlyFileRefusesWritingEvenToRoot) {
  writeHost(cdrive("/pkg/RO.TXT"), "keep");
  ASSERT_EQ(chmod(cdrive("/pkg/RO.TXT").c_str(), 0444), 0);
  const UINT styles[] = {OF_CREATE | OF_WRITE, OF_WRITE, OF_READWRITE, OF_CREATE};
  for (UINT style : styles) {
    SetLastError(0);
    EXPECT_EQ(OpenFile("c:\\pkg\\ro.txt", nullptr, style), HFILE_ERROR) << style;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << style;
  }
  EXPECT_EQ(readHost(cdrive("/pkg/RO.TXT")), "keep");
  HFILE f = OpenFile("c:\\pkg\\ro.txt", nullptr, OF_READ);
  EXPECT_NE(f, HFILE_ERROR);
  CloseHandle(asHandle(f));
}

struct ShareCase {
  UINT first;
  UINT second;
  bool secondOpens;
};

const ShareCase kShareCases[] = {
    {OF_READ | OF_SHARE_EXCLUSIVE, OF_READ, false},
    {OF_READ | OF_SHARE_DENY_WRITE, OF_READ, true},
    {OF_READ | OF_SHARE_DENY_WRITE, OF_CREATE | OF_WRITE, false},
    {OF_READ | OF_SHARE_DENY_WRITE, OF_READWRITE, false},
    {OF_READ | OF_SHARE_DENY_READ, OF_READ, false},
    {OF_READ | OF_SHARE_DENY_READ, OF_WRITE, true},
    {OF_READ | OF_SHARE_DENY_NONE, OF_CREATE | OF_WRITE, true},
    {OF_WRITE, OF_READ | OF_SHARE_DENY_WRITE, false},
    {OF_READ, OF_READ | OF_SHARE_EXCLUSIVE, false},
    {OF_READ, OF_READ | OF_SHARE_DENY_WRITE, true},
};

TEST_F(FileTest, ShareModesLockFilesWithinTheProcess) {
  for (const ShareCase &c : kShareCases) {
    HFILE a = OpenFile("c:\\pkg\\ten.bin", nullptr, c.first);
    ASSERT_NE(a, HFILE_ERROR);
    SetLastError(0);
    HFILE b = OpenFile("c:\\pkg\\ten.bin", nullptr, c.second);
    EXPECT_EQ(b != HFILE_ERROR, c.secondOpens) << c.first << " then " << c.second;
    if (b == HFILE_ERROR) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    } else {
      CloseHandle(asHandle(b));
    }
    CloseHandle(asHandle(a));
    b = OpenFile("c:\\pkg\\ten.bin", nullptr, c.second); // free again once closed
    EXPECT_NE(b, HFILE_ERROR);
    CloseHandle(asHandle(b));
    writeHost(cdrive("/pkg/TEN.BIN"), "0123456789");
  }
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// FILETIME values that the host can hold come back exactly.
const ULONGLONG kTimes[] = {
    116444736000000000ULL,            // 1970-01-01 00:00:00
    116444736000000001ULL,            // + 100 ns
    116444735999999999ULL,            // 100 ns before 1970
    119600064000000000ULL,            // 1980-01-01, the FAT epoch
    125911584000000000ULL + 9999999,  // 2000-01-01 + 0.9999999 s
    132223104001234567ULL,            // 2020-01-01 + 0.1234567 s
    110133648000000000ULL,            // 1950-01-01
    137919572470000000ULL,            // 2038-01-19, past the 32-bit time_t
    151478208000000000ULL + 5,        // 2081
};

TEST_F(FileTest, FileTimesRoundTripExactly) {
  for (ULONGLONG t : kTimes) {
    HFILE f = OpenFile("c:\\pkg\\stamp.bin", nullptr, OF_CREATE | OF_WRITE);
    ASSERT_NE(f, HFILE_ERROR);
    FILETIME ft = {static_cast<DWORD>(t & 0xffffffffu), static_cast<DWORD>(t >> 32)};
    EXPECT_TRUE(SetFileTime(asHandle(f), nullptr, nullptr, &ft));
    EXPECT_TRUE(CloseHandle(asHandle(f)));

    f = OpenFile("c:\\pkg\\stamp.bin", nullptr, OF_READ);
    ASSERT_NE(f, HFILE_ERROR);
    FILETIME back;
    memset(&back, kJunk, sizeof back);
    EXPECT_TRUE(GetFileTime(asHandle(f), nullptr, nullptr, &back));
    CloseHandle(asHandle(f));
    ULONGLONG v = (static_cast<ULONGLONG>(back.dwHighDateTime) << 32) | back.dwLowDateTime;
    EXPECT_EQ(v, t);

    struct stat st;
    ASSERT_EQ(stat(cdrive("/pkg/stamp.bin").c_str(), &st), 0);
    long long ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    EXPECT_EQ(ns, (static_cast<long long>(t) - 116444736000000000LL) * 100) << t;
  }
}

TEST_F(FileTest, NullOrZeroTimesChangeNothing) {
  HFILE f = OpenFile("c:\\pkg\\ten.bin", nullptr, OF_READWRITE);
  ASSERT_NE(f, HFILE_ERROR);
  FILETIME set = {0x12345678, 0x01d00000};
  ASSERT_TRUE(SetFileTime(asHandle(f), nullptr, nullptr, &set));
  FILETIME zero = {0, 0}, access = {0x11111111, 0x01c00000};
  EXPECT_TRUE(SetFileTime(asHandle(f), &zero, &access, &zero));
  EXPECT_TRUE(SetFileTime(asHandle(f), nullptr, nullptr, nullptr));
  FILETIME w, a;
  EXPECT_TRUE(GetFileTime(asHandle(f), nullptr, &a, &w));
  EXPECT_EQ(w.dwLowDateTime, set.dwLowDateTime);
  EXPECT_EQ(w.dwHighDateTime, set.dwHighDateTime);
  EXPECT_EQ(a.dwLowDateTime, access.dwLowDateTime);
  EXPECT_EQ(a.dwHighDateTime, access.dwHighDateTime);
  CloseHandle(asHandle(f));
}

// WriteFile holds small writes back and hands them to the host in large
// blocks. Every other look at the file, through this handle or any other
// call, must see what was written, and a full disk must be reported by the
// WriteFile that meets it.
TEST_F(FileTest, BytesHeldBackAreSeenAndAFullDiskReportedAtOnce) {
  HFILE w = OpenFile("c:\\pkg\\held.bin", nullptr, OF_CREATE | OF_WRITE | OF_SHARE_DENY_NONE);
  ASSERT_NE(w, HFILE_ERROR);
  std::string written;
  DWORD put;
  for (int i = 0; i < 5; ++i) {
    std::string piece(1000 + i, static_cast<char>('a' + i));
    ASSERT_TRUE(WriteFile(asHandle(w), piece.data(), static_cast<DWORD>(piece.size()), &put, nullptr));
    EXPECT_EQ(put, piece.size());
    written += piece;
  }
  HFILE r = OpenFile("c:\\pkg\\held.bin", nullptr, OF_READ | OF_SHARE_DENY_NONE);
  ASSERT_NE(r, HFILE_ERROR);
  std::string back(written.size() + 10, '\0');
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(asHandle(r), &back[0], static_cast<DWORD>(back.size()), &got, nullptr));
  back.resize(got);
  EXPECT_EQ(back, written);
  CloseHandle(asHandle(r));

  ASSERT_TRUE(WriteFile(asHandle(w), "tail", 4, &put, nullptr));
  written += "tail";
  WIN32_FIND_DATAA fd;
  HANDLE find = FindFirstFileA("c:\\pkg\\held.bin", &fd);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fd.nFileSizeLow, written.size());
  FindClose(find);
  ASSERT_TRUE(WriteFile(asHandle(w), "+", 1, &put, nullptr));
  written += "+";
  EXPECT_EQ(SetFilePointer(asHandle(w), 0, nullptr, FILE_CURRENT), written.size());

  // Bytes held back are handed over before the time is set, so closing
  // does not move the last-write time again.
  ASSERT_TRUE(WriteFile(asHandle(w), "end", 3, &put, nullptr));
  written += "end";
  FILETIME ft = {0x2a4b6c00, 0x01b00000};
  EXPECT_TRUE(SetFileTime(asHandle(w), nullptr, nullptr, &ft));
  EXPECT_TRUE(CloseHandle(asHandle(w)));
  EXPECT_EQ(readHost(cdrive("/pkg/held.bin")), written);
  struct stat st;
  ASSERT_EQ(stat(cdrive("/pkg/held.bin").c_str(), &st), 0);
  long long ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  EXPECT_EQ(ns, (static_cast<long long>(t) - 116444736000000000LL) * 100);

  // A program that exits with the handle still open loses nothing.
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    HFILE open = OpenFile("c:\\pkg\\left.bin", nullptr, OF_CREATE | OF_WRITE);
    DWORD n;
    exit(open != HFILE_ERROR && WriteFile(asHandle(open), "left open", 9, &n, nullptr) ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readHost(cdrive("/pkg/left.bin")), "left open");

  // A disk that cannot take the bytes fails the very WriteFile that meets
  // it with ERROR_DISK_FULL, though smaller writes are held back: the space
  // of every byte held back is taken when it is written. Met here as a
  // file size limit (100,000 bytes: the fourth 32000-byte chunk), which
  // the layer meets as a full disk, not as the signal that would end the
  // process; the bytes accepted are all written.
  fflush(nullptr);
  child = fork();
  if (child == 0) {
    struct rlimit limit = {100000, 100000};
    setrlimit(RLIMIT_FSIZE, &limit);
    HFILE f = OpenFile("c:\\pkg\\limited.bin", nullptr, OF_CREATE | OF_WRITE);
    static char chunk[32000];
    DWORD n;
    int accepted = 0;
    while (accepted < 5 && WriteFile(asHandle(f), chunk, sizeof chunk, &n, nullptr)) ++accepted;
    bool full = GetLastError() == ERROR_DISK_FULL;
    exit(CloseHandle(asHandle(f)) && full ? accepted : 99);
  }
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3) << "chunks accepted before the limit (99: not ERROR_DISK_FULL)";
  EXPECT_EQ(readHost(cdrive("/pkg/limited.bin")).size(), 96000u);
  // A text stream's write past the limit fails too, where the signal the
  // host sends for it would end the process.
  fflush(nullptr);
  child = fork();
  if (child == 0) {
    struct rlimit limit = {100000, 100000};
    setrlimit(RLIMIT_FSIZE, &limit);
    FILE *f = w32_fopen("c:\\pkg\\limited.txt", "w");
    static char text[200000];
    memset(text, 'x', sizeof text);
    bool failed = !f || fwrite(text, 1, sizeof text, f) < sizeof text || fflush(f) != 0;
    if (f) fclose(f);
    exit(failed ? 0 : 1);
  }
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  EXPECT_EQ(w32::openHandleCount(), 0);
}

} // namespace
