// Path resolution: drives, case, "..", length limits, and the program's path.
#include "w32_fixture.h"

#include <limits.h>
#include <unistd.h>

#include <cstring>

namespace {

class PathTest : public W32Test {
protected:
  void SetUp() override {
    W32Test::SetUp();
    makeHostDir(cdrive("/Dunmere/Quorvel"));
    writeHost(cdrive("/Dunmere/Quorvel/README.TXT"), "readme");
    makeHostDir(cdrive("/UPPER/SUB"));
    makeHostDir(scratch("/floppy"));
    writeHost(scratch("/floppy/SETUP.EXE"), "MZ");
    w32::mapDrive('a', scratch("/floppy"));
    w32::mapDrive('B', scratch("/no-disk-here")); // drive exists, no medium
  }
  // "C/x" -> prefix/drive_c/x, "A/x" -> floppy/x, anything else as is.
  std::string expand(const std::string &e) const {
    if (e.compare(0, 2, "C/") == 0) return cdrive("/" + e.substr(2));
    if (e.compare(0, 2, "A/") == 0) return scratch("/floppy/" + e.substr(2));
    return e;
  }
};

struct HostCase {
  const char *windows;
  const char *host; // "" when the path cannot be mapped
};

const HostCase kHostCases[] = {
    {"c:\\dunmere\\quorvel\\readme.txt", "C/Dunmere/Quorvel/README.TXT"},
    {"C:/DUNMERE/quorvel/ReadMe.Txt", "C/Dunmere/Quorvel/README.TXT"},
    {"c:\\dunmere\\quorvel\\readme.txt.", "C/Dunmere/Quorvel/README.TXT"},
    {"c:\\.\\dunmere\\.\\quorvel\\\\readme.txt", "C/Dunmere/Quorvel/README.TXT"},
    {"c:\\dunmere\\New.Txt", "C/Dunmere/New.Txt"},
    {"c:\\DUNMERE\\NewDir\\x.txt", "C/Dunmere/NewDir/x.txt"},
    {"c:\\..\\..\\dunmere", "C/Dunmere"},
    {"c:\\dunmere\\..\\..\\..\\upper\\sub", "C/UPPER/SUB"},
    {"c:\\upper\\sub\\..\\..\\dunmere\\quorvel", "C/Dunmere/Quorvel"},
    {"\\dunmere\\quorvel", "C/Dunmere/Quorvel"},
    {"dunmere/quorvel", "C/Dunmere/Quorvel"},
    {"c:dunmere", "C/Dunmere"},
    {"a:\\setup.exe", "A/SETUP.EXE"},
    {"A:\\..\\SETUP.EXE", "A/SETUP.EXE"},
    {"z:\\tmp", "/tmp"},
    {"Z:\\..\\tmp", "/tmp"},
    {"q:\\x", ""},
    {"b:\\x", ""},
    {"c:\\a*b", ""},
    {"c:\\a?b\\c", ""},
    {"c:\\a:b", ""},
    {"c:\\a|b", ""},
    {"\\\\server\\share\\x", ""},
    {"", ""},
};

TEST_F(PathTest, WindowsPathsLandOnTheHost) {
  for (const HostCase &c : kHostCases) {
    EXPECT_EQ(w32::hostPath(c.windows), expand(c.host)) << c.windows;
  }
}

TEST_F(PathTest, HostPathsGetWindowsNames) {
  EXPECT_EQ(w32::windowsPath(scratch("/floppy/SETUP.EXE")), "A:\\SETUP.EXE");
  EXPECT_EQ(w32::windowsPath(cdrive("/Dunmere/Quorvel")), "C:\\Dunmere\\Quorvel");
  EXPECT_EQ(w32::windowsPath(cdrive()), "C:\\");
  EXPECT_EQ(w32::windowsPath("/usr/bin"), "Z:\\usr\\bin");
  // A more specific drive wins over z:, whatever the link spells.
  w32::mapDrive('d', cdrive("/UPPER/../UPPER/SUB"));
  EXPECT_EQ(w32::windowsPath(cdrive("/UPPER/SUB")), "D:\\");
}

// OpenFile's failures for paths, with the error left in GetLastError and in
// the OFSTRUCT.
struct OpenCase {
  std::string path;
  UINT style;
  DWORD error;
};

TEST_F(PathTest, OpenFileFailsAsWin32Does) {
  std::string longName(300, 'x');
  std::string path259 = "c:\\" + std::string(255, 'y') + "\\z"; // 260 characters
  std::string path130 = "c:\\dunmere\\" + std::string(119, 'n');
  const OpenCase cases[] = {
      {"c:\\dunmere\\missing.txt", OF_READ, ERROR_FILE_NOT_FOUND},
      {"c:\\nodir\\x.txt", OF_READ, ERROR_PATH_NOT_FOUND},
      {"c:\\nodir\\x.txt", OF_CREATE | OF_WRITE, ERROR_PATH_NOT_FOUND},
      {"c:\\dunmere\\quorvel\\readme.txt\\x", OF_READ, ERROR_PATH_NOT_FOUND},
      {"c:\\dunmere", OF_READ, ERROR_ACCESS_DENIED},
      {"c:\\dunmere", OF_CREATE | OF_WRITE, ERROR_ACCESS_DENIED},
      {"q:\\setup.exe", OF_READ, ERROR_PATH_NOT_FOUND},
      {"b:\\setup.exe", OF_READ, ERROR_NOT_READY},
      {"c:\\a|b.txt", OF_CREATE | OF_WRITE, ERROR_INVALID_NAME},
      {"c:\\" + longName, OF_READ, ERROR_FILENAME_EXCED_RANGE},
      {path259, OF_CREATE | OF_WRITE, ERROR_FILENAME_EXCED_RANGE},
      {path130, OF_CREATE | OF_WRITE, ERROR_FILENAME_EXCED_RANGE},
      {"c:\\dunmere\\x.txt", OF_READ | OF_PARSE, ERROR_INVALID_PARAMETER},
      {"c:\\dunmere\\x.txt", OF_READWRITE | OF_WRITE, ERROR_INVALID_PARAMETER},
  };
  for (const OpenCase &c : cases) {
    OFSTRUCT ofs;
    memset(&ofs, kJunk, sizeof ofs);
    SetLastError(0xdead);
    EXPECT_EQ(OpenFile(c.path.c_str(), &ofs, c.style), HFILE_ERROR) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
    EXPECT_EQ(ofs.nErrCode, c.error) << c.path;
    EXPECT_EQ(ofs.cBytes, sizeof ofs) << c.path;
  }
  EXPECT_EQ(w32::openHandleCount(), 0);
  EXPECT_FALSE(hostExists(cdrive("/Dunmere/") + std::string(119, 'n')));
}

TEST_F(PathTest, OpenFileReportsTheFullPath) {
  OFSTRUCT ofs;
  memset(&ofs, kJunk, sizeof ofs);
  HFILE f = OpenFile("c:\\dunmere\\..\\DUNMERE\\quorvel\\readme.txt", &ofs, OF_READ);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_STREQ(ofs.szPathName, "C:\\DUNMERE\\quorvel\\readme.txt");
  EXPECT_EQ(ofs.nErrCode, 0);
  EXPECT_EQ(ofs.fFixedDisk, 1);
  EXPECT_TRUE(CloseHandle((HANDLE)(INT_PTR)f));
  f = OpenFile("a:\\setup.exe", &ofs, OF_READ);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_EQ(ofs.fFixedDisk, 0);
  EXPECT_TRUE(CloseHandle((HANDLE)(INT_PTR)f));
}

TEST_F(PathTest, ANewFileKeepsTheCaseGiven) {
  HFILE f = OpenFile("C:\\DUNMERE\\Quorvel\\NewFile.DAT", nullptr, OF_CREATE | OF_WRITE);
  ASSERT_NE(f, HFILE_ERROR);
  CloseHandle((HANDLE)(INT_PTR)f);
  EXPECT_TRUE(hostExists(cdrive("/Dunmere/Quorvel/NewFile.DAT")));
}

TEST_F(PathTest, APrefixIsLaidOutOnFirstUse) {
  EXPECT_EQ(readHost(cdrive("/windows/win.ini")), "");
  EXPECT_TRUE(hostExists(cdrive("/windows/system.ini")));
  // An existing WIN.INI in another case is kept and gets no twin.
  std::string other = root + "/other";
  makeHostDir(other + "/drive_c/WINDOWS");
  writeHost(other + "/drive_c/WINDOWS/WIN.INI", "[Dunmere Network Quorvel]\r\n");
  w32::resetForTest(other);
  EXPECT_EQ(w32::prefixDir(), other);
  EXPECT_EQ(w32::hostPath("c:\\windows\\win.ini"), other + "/drive_c/WINDOWS/WIN.INI");
  EXPECT_FALSE(hostExists(other + "/drive_c/WINDOWS/win.ini"));
  EXPECT_TRUE(hostExists(other + "/drive_c/WINDOWS/system.ini"));
  // Back to the first prefix: its drive links are gone but C: and Z:.
  w32::resetForTest(prefix);
  EXPECT_EQ(w32::hostPath("a:\\setup.exe"), "");
  EXPECT_EQ(w32::hostPath("c:\\dunmere"), cdrive("/Dunmere"));
  EXPECT_EQ(w32::hostPath("z:\\tmp"), "/tmp");
}

TEST_F(PathTest, ModuleFileNameFitsItsBuffer) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;
  char buf[MAX_PATH + 8];
  memset(buf, kJunk, sizeof buf);
  DWORD len = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  std::string expect = w32::windowsPath(self);
  ASSERT_LT(expect.size(), static_cast<size_t>(MAX_PATH));
  EXPECT_EQ(len, expect.size());
  EXPECT_STREQ(buf, expect.c_str());

  struct Case {
    DWORD size;
    DWORD result;
    const char *text;
    DWORD error;
  } cases[] = {
      {70, 12, "A:\\SETUP.EXE", 0},
      {13, 12, "A:\\SETUP.EXE", 0},
      {12, 12, "A:\\SETUP.EX", ERROR_INSUFFICIENT_BUFFER},
      {5, 5, "A:\\S", ERROR_INSUFFICIENT_BUFFER},
      {1, 1, "", ERROR_INSUFFICIENT_BUFFER},
  };
  w32::setModuleFileName("A:\\SETUP.EXE");
  for (const Case &c : cases) {
    memset(buf, kJunk, sizeof buf);
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, c.size), c.result) << c.size;
    EXPECT_STREQ(buf, c.text) << c.size;
    EXPECT_EQ(buf[c.size], kJunk) << "written past the buffer of " << c.size;
    EXPECT_EQ(GetLastError(), c.error) << c.size;
  }
  memset(buf, kJunk, sizeof buf);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 0), 0u);
  EXPECT_EQ(buf[0], kJunk);
}

} // namespace
