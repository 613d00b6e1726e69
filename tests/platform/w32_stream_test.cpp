// fopen on Windows paths: the Windows C runtime's text mode (CR LF, Ctrl-Z),
// binary mode, failures, faults and handle accounting.
#include "w32_fixture.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

class StreamTest : public W32Test {
protected:
  std::string sysIni() { return cdrive("/windows/system.ini"); }
};

// Every piece fgets delivers with a buffer of `size`.
std::vector<std::string> pieces(FILE *f, int size) {
  std::vector<std::string> out;
  std::vector<char> buf(static_cast<size_t>(size) + 8, kJunk);
  while (fgets(buf.data(), size, f)) out.push_back(buf.data());
  return out;
}

TEST_F(StreamTest, TextReadingTranslates) {
  struct Case {
    const char *what;
    std::string file;
    int size;
    std::vector<std::string> pieces;
  };
  const std::string x4095(4095, 'x');
  const Case cases[] = {
      {"CR LF becomes LF", "a\r\nb\r\n", 254, {"a\n", "b\n"}},
      {"LF alone stays", "a\nb", 254, {"a\n", "b"}},
      {"a CR without LF stays", "a\rb\r\n", 254, {"a\rb\n"}},
      {"a CR at the end of the file stays", "x\r", 254, {"x\r"}},
      {"CR CR LF keeps the first CR", "x\r\r\n", 254, {"x\r\n"}},
      {"Ctrl-Z at the end is not read", "a\r\n\x1A", 254, {"a\n"}},
      {"Ctrl-Z in the middle ends the stream", "a\r\nb\x1A" "c\r\nd\r\n", 254, {"a\n", "b"}},
      {"Ctrl-Z right after a CR", "a\r\x1A\n", 254, {"a\r"}},
      {"a long line comes in pieces", std::string(600, 'p') + "\r\nq\r\n", 254,
       {std::string(253, 'p'), std::string(253, 'p'), std::string(94, 'p') + "\n", "q\n"}},
      {"a piece can end between CR and LF of the file", "abc\r\n", 4, {"abc", "\n"}},
      {"CR LF across the stream's read blocks", x4095 + "\r\ny", 8192, {x4095 + "\n", "y"}},
      {"an empty file", "", 254, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    writeHost(sysIni(), c.file);
    FILE *f = fopen("C:\\WINDOWS\\SYSTEM.INI", "rt");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(pieces(f, c.size), c.pieces);
    EXPECT_TRUE(feof(f));
    EXPECT_FALSE(ferror(f));
    EXPECT_EQ(fclose(f), 0);
  }
}

TEST_F(StreamTest, TextWritingTranslates) {
  struct Case {
    const char *what;
    const char *mode;
    std::vector<std::string> puts;
    std::string file;
  };
  const Case cases[] = {
      {"LF becomes CR LF", "wt", {"a\n", "b\n"}, "a\r\nb\r\n"},
      {"a CR before LF gets its own", "wt", {"x\r\n"}, "x\r\r\n"},
      {"w without t is text too", "w", {"1\n2"}, "1\r\n2"},
      {"binary writes bytes", "wb", {"a\nb\r\n"}, "a\nb\r\n"},
      {"percent signs are text", "wt", {"keyboard=%kbd%\n"}, "keyboard=%kbd%\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FILE *f = fopen("c:\\windows\\system.old", c.mode);
    ASSERT_NE(f, nullptr);
    for (const std::string &s : c.puts) EXPECT_NE(fputs(s.c_str(), f), EOF);
    EXPECT_EQ(fclose(f), 0);
    EXPECT_EQ(readHost(cdrive("/windows/system.old")), c.file);
  }
}

TEST_F(StreamTest, BinaryAndAppend) {
  writeHost(sysIni(), "a\r\n\x1A" "b");
  FILE *f = fopen("c:\\windows\\system.ini", "rb");
  ASSERT_NE(f, nullptr);
  char buf[16];
  EXPECT_EQ(fread(buf, 1, sizeof buf, f), 5u);
  EXPECT_EQ(std::string(buf, 5), "a\r\n\x1A" "b");
  EXPECT_EQ(fseek(f, 1, SEEK_SET), 0) << "binary streams seek";
  EXPECT_EQ(fgetc(f), '\r');
  EXPECT_EQ(fclose(f), 0);

  f = fopen("c:\\windows\\system.ini", "rt");
  ASSERT_NE(f, nullptr);
  EXPECT_NE(fseek(f, 0, SEEK_SET), 0) << "text streams do not seek";
  EXPECT_EQ(fclose(f), 0);

  // "a+" in text mode drops a Ctrl-Z that ends the file; "a" does not.
  writeHost(sysIni(), "x\r\n\x1A");
  f = fopen("c:\\windows\\system.ini", "a+");
  ASSERT_NE(f, nullptr);
  fputs("y\n", f);
  EXPECT_EQ(fclose(f), 0);
  EXPECT_EQ(readHost(sysIni()), "x\r\ny\r\n");
  writeHost(sysIni(), "x\x1A");
  f = fopen("c:\\windows\\system.ini", "at");
  ASSERT_NE(f, nullptr);
  fputs("y\n", f);
  EXPECT_EQ(fclose(f), 0);
  EXPECT_EQ(readHost(sysIni()), "x\x1Ay\r\n");
}

TEST_F(StreamTest, OpenFailures) {
  makeHostDir(cdrive("/ro"));
  writeHost(cdrive("/ro/locked.ini"), "x");
  chmod(cdrive("/ro/locked.ini").c_str(), 0444);
  struct Case {
    const char *what;
    const char *path;
    const char *mode;
    int err;
    DWORD winError;
  };
  const Case cases[] = {
      {"a missing file", "c:\\windows\\nothing.ini", "rt", ENOENT, ERROR_FILE_NOT_FOUND},
      {"a missing directory", "c:\\nodir\\x.ini", "wt", ENOENT, ERROR_PATH_NOT_FOUND},
      {"a directory", "c:\\windows", "rt", EACCES, ERROR_ACCESS_DENIED},
      {"a read-only file for writing", "c:\\ro\\locked.ini", "wt", EACCES, ERROR_ACCESS_DENIED},
      {"an unknown mode letter", "c:\\windows\\system.ini", "rq", EINVAL, ERROR_INVALID_PARAMETER},
      {"t and b together", "c:\\windows\\system.ini", "rtb", EINVAL, ERROR_INVALID_PARAMETER},
      {"no mode letter", "c:\\windows\\system.ini", "+", EINVAL, ERROR_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    errno = 0;
    SetLastError(0);
    EXPECT_EQ(fopen(c.path, c.mode), nullptr);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(GetLastError(), c.winError);
  }
  EXPECT_EQ(readHost(cdrive("/ro/locked.ini")), "x");
  EXPECT_EQ(w32::openHandleCount(), 0);
}

TEST_F(StreamTest, HostPathsGoToTheCLibrary) {
  std::string host = scratch("/plain.txt");
  FILE *f = fopen(host.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("a\n", f);
  EXPECT_EQ(w32::openHandleCount(), 0) << "a host stream is not the layer's";
  fclose(f);
  EXPECT_EQ(readHost(host), "a\n") << "no translation on host paths";
}

TEST_F(StreamTest, FaultsAndHandles) {
  writeHost(sysIni(), "a\r\nb\r\n");
  FILE *f = fopen("c:\\windows\\system.ini", "rt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(w32::openHandleCount(), 1);
  EXPECT_EQ(w32::callCount(w32::Fault::Open), 1);
  fclose(f);
  EXPECT_EQ(w32::openHandleCount(), 0);

  w32::armFault(w32::Fault::Open, 1, false);
  EXPECT_EQ(fopen("c:\\windows\\system.ini", "rt"), nullptr);
  w32::armFault(w32::Fault::Create, 1, false);
  EXPECT_EQ(fopen("c:\\windows\\system.old", "wt"), nullptr);
  EXPECT_FALSE(hostExists(cdrive("/windows/system.old"))) << "a failed create makes no file";

  // A failing refill is a read error of the stream.
  w32::armFault(w32::Fault::Read, 1, false);
  f = fopen("c:\\windows\\system.ini", "rt");
  ASSERT_NE(f, nullptr);
  char buf[32];
  EXPECT_EQ(fgets(buf, sizeof buf, f), nullptr);
  EXPECT_TRUE(ferror(f));
  fclose(f);

  // A failing write of the buffer shows at fclose at the latest.
  w32::armFault(w32::Fault::Write, 1, false);
  f = fopen("c:\\windows\\system.old", "wt");
  ASSERT_NE(f, nullptr);
  fputs("line\n", f);
  EXPECT_EQ(fclose(f), EOF);
  EXPECT_EQ(readHost(cdrive("/windows/system.old")), "");
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// DeleteFileA, CopyFileA, RemoveDirectoryA and GetWindowsDirectoryA.
TEST_F(StreamTest, DeleteCopyRemove) {
  makeHostDir(cdrive("/d/sub"));
  writeHost(cdrive("/d/f.txt"), "data");
  writeHost(cdrive("/d/ro.txt"), "ro");
  chmod(cdrive("/d/ro.txt").c_str(), 0444);
  writeHost(cdrive("/old.txt"), "old");
  struct Case {
    const char *what;
    int call; // 0 delete, 1 copy fail-if-exists, 2 copy overwrite, 3 remove directory
    const char *a;
    const char *b;
    BOOL result;
    DWORD error;
  };
  const Case cases[] = {
      {"delete a missing file", 0, "c:\\d\\none", nullptr, FALSE, ERROR_FILE_NOT_FOUND},
      {"delete in a missing directory", 0, "c:\\none\\x", nullptr, FALSE, ERROR_PATH_NOT_FOUND},
      {"delete a directory", 0, "c:\\d\\sub", nullptr, FALSE, ERROR_ACCESS_DENIED},
      {"delete a read-only file", 0, "c:\\d\\ro.txt", nullptr, FALSE, ERROR_ACCESS_DENIED},
      {"copy a missing file", 2, "c:\\d\\none", "c:\\d\\x", FALSE, ERROR_FILE_NOT_FOUND},
      {"copy into a missing directory", 2, "c:\\d\\f.txt", "c:\\none\\x", FALSE, ERROR_PATH_NOT_FOUND},
      {"copy over an existing file when told not to", 1, "c:\\d\\f.txt", "c:\\old.txt", FALSE, ERROR_FILE_EXISTS},
      {"copy over a read-only file", 2, "c:\\d\\f.txt", "c:\\d\\ro.txt", FALSE, ERROR_ACCESS_DENIED},
      {"copy onto itself", 2, "c:\\d\\f.txt", "C:\\D\\F.TXT", FALSE, ERROR_SHARING_VIOLATION},
      {"copy over an existing file", 2, "c:\\d\\f.txt", "c:\\old.txt", TRUE, 0},
      {"copy to a new file", 1, "c:\\d\\f.txt", "c:\\new.txt", TRUE, 0},
      {"remove a directory with something in it", 3, "c:\\d", nullptr, FALSE, ERROR_DIR_NOT_EMPTY},
      {"remove a file", 3, "c:\\d\\f.txt", nullptr, FALSE, ERROR_DIRECTORY},
      {"remove a missing directory", 3, "c:\\d\\none", nullptr, FALSE, ERROR_FILE_NOT_FOUND},
      {"remove a drive root", 3, "c:\\", nullptr, FALSE, ERROR_ACCESS_DENIED},
      {"remove an empty directory", 3, "c:\\D\\SUB", nullptr, TRUE, 0},
      {"delete a file", 0, "C:\\d\\F.txt", nullptr, TRUE, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    BOOL r = c.call == 0   ? DeleteFileA(c.a)
             : c.call == 3 ? RemoveDirectoryA(c.a)
                           : CopyFileA(c.a, c.b, c.call == 1);
    EXPECT_EQ(r, c.result) << "exactly TRUE or FALSE";
    if (!c.result) {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  EXPECT_EQ(readHost(cdrive("/old.txt")), "data");
  EXPECT_EQ(readHost(cdrive("/new.txt")), "data");
  EXPECT_EQ(readHost(cdrive("/d/ro.txt")), "ro");
  EXPECT_FALSE(hostExists(cdrive("/d/sub")));
  EXPECT_FALSE(hostExists(cdrive("/d/f.txt")));

  // A copy keeps the last-write time; a file open in this process is not
  // deleted or overwritten; a failing copy leaves the target as it was.
  struct stat a, b;
  ASSERT_EQ(stat(cdrive("/new.txt").c_str(), &b), 0);
  writeHost(cdrive("/src.txt"), "src");
  struct timespec when[2] = {{1000000000, 5}, {1000000000, 5}};
  utimensat(AT_FDCWD, cdrive("/src.txt").c_str(), when, 0);
  ASSERT_EQ(CopyFileA("c:\\src.txt", "c:\\new.txt", FALSE), TRUE);
  ASSERT_EQ(stat(cdrive("/new.txt").c_str(), &a), 0);
  EXPECT_EQ(a.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(a.st_mtim.tv_nsec, 5);
  FILE *f = fopen("c:\\new.txt", "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(DeleteFileA("c:\\new.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(CopyFileA("c:\\old.txt", "c:\\new.txt", FALSE));
  fclose(f);
  w32::armFault(w32::Fault::Create, 1, false);
  EXPECT_FALSE(CopyFileA("c:\\old.txt", "c:\\new.txt", FALSE));
  EXPECT_EQ(readHost(cdrive("/new.txt")), "src");
}

TEST_F(StreamTest, WindowsDirectory) {
  char buf[32];
  memset(buf, kJunk, sizeof buf);
  EXPECT_EQ(GetWindowsDirectoryA(buf, 10), 11u) << "too small: the size needed";
  EXPECT_EQ(buf[0], kJunk);
  EXPECT_EQ(GetWindowsDirectoryA(buf, 11), 10u);
  EXPECT_STREQ(buf, "C:\\WINDOWS");
  EXPECT_EQ(w32::hostPath(buf), cdrive("/windows"));
}

} // namespace
