// Path resolution: drives, case, "..", length limits, OpenFile's failures,
// the prefix's WIN.INI and the program's own path.
#include "w32_fixture.h"

#include <cstring>
#include <filesystem>

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
};

// Catches a component matched with case, "." or ".." climbing above a
// drive's root, a relative path not from C:\, and a name Windows refuses.
TEST_F(PathTest, WindowsPathsLandOnTheHost) {
  const struct {
    const char *windows;
    std::string host; // "" when the path cannot be mapped
  } cases[] = {
      {"c:\\.\\dunmere\\.\\quorvel\\\\readme.txt", cdrive("/Dunmere/Quorvel/README.TXT")},
      {"c:\\..\\..\\dunmere", cdrive("/Dunmere")},
      {"c:\\dunmere\\..\\..\\..\\upper\\sub", cdrive("/UPPER/SUB")},
      {"\\dunmere\\quorvel", cdrive("/Dunmere/Quorvel")},
      {"dunmere/quorvel", cdrive("/Dunmere/Quorvel")},
      {"c:dunmere", cdrive("/Dunmere")},
      {"A:\\..\\SETUP.EXE", scratch("/floppy/SETUP.EXE")},
      {"z:\\tmp", "/tmp"},
      {"q:\\x", ""},
      {"b:\\x", ""},
      {"c:\\a*b", ""},
      {"c:\\a|b", ""},
      {"\\\\server\\share\\x", ""},
      {"", ""},
  };
  for (const auto &c : cases) EXPECT_EQ(w32::hostPath(c.windows), c.host) << c.windows;
  EXPECT_EQ(w32::windowsPath(scratch("/floppy/SETUP.EXE")) + w32::windowsPath("/usr/bin"), "A:\\SETUP.EXE" "Z:\\usr\\bin");
  w32::mapDrive('d', cdrive("/UPPER/../UPPER/SUB")); // the most specific drive wins, whatever its link spells
  EXPECT_EQ(w32::windowsPath(cdrive("/UPPER/SUB")) + w32::windowsPath(cdrive("/Dunmere/Quorvel")), "D:\\" "C:\\Dunmere\\Quorvel");
}

// Catches a wrong error, in GetLastError or the OFSTRUCT, for a path
// OpenFile cannot take: missing, a directory, no disk, a bad name, too long
// (a new file's path past 130 characters included), a bad style.
TEST_F(PathTest, OpenFileFailsAsWin32Does) {
  const struct {
    std::string path;
    UINT style;
    DWORD error;
  } cases[] = {
      {"c:\\dunmere\\quorvel\\readme.txt\\x", OF_READ, ERROR_PATH_NOT_FOUND},
      {"c:\\dunmere", OF_READ, ERROR_ACCESS_DENIED},
      {"b:\\setup.exe", OF_READ, ERROR_NOT_READY},
      {"c:\\a|b.txt", OF_CREATE | OF_WRITE, ERROR_INVALID_NAME},
      {"c:\\" + std::string(300, 'x'), OF_READ, ERROR_FILENAME_EXCED_RANGE},
      {"c:\\" + std::string(255, 'y') + "\\z", OF_CREATE | OF_WRITE, ERROR_FILENAME_EXCED_RANGE}, // 260
      {"c:\\dunmere\\" + std::string(119, 'n'), OF_CREATE | OF_WRITE, ERROR_FILENAME_EXCED_RANGE},
      {"c:\\dunmere\\x.txt", OF_READ | OF_PARSE, ERROR_INVALID_PARAMETER},
      {"c:\\dunmere\\x.txt", OF_READWRITE | OF_WRITE, ERROR_INVALID_PARAMETER},
  };
  for (const auto &c : cases) {
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

// Catches a WIN.INI in another case given a twin, and the program's and the
// Windows directory's paths not cut to their buffers as Win32 cuts them.
TEST_F(PathTest, PrefixLayoutAndTheProgramsPaths) {
  std::string other = root + "/other";
  makeHostDir(other + "/drive_c/WINDOWS");
  writeHost(other + "/drive_c/WINDOWS/WIN.INI", "[Dunmere Network Quorvel]\r\n");
  w32::resetForTest(other);
  EXPECT_EQ(w32::prefixDir(), other);
  EXPECT_EQ(w32::hostPath("c:\\windows\\win.ini"), other + "/drive_c/WINDOWS/WIN.INI");
  EXPECT_FALSE(hostExists(other + "/drive_c/WINDOWS/win.ini"));
  EXPECT_TRUE(hostExists(other + "/drive_c/WINDOWS/system.ini"));
  w32::resetForTest(prefix);

  char buf[MAX_PATH + 8];
  const std::string self = w32::windowsPath(std::filesystem::read_symlink("/proc/self/exe"));
  EXPECT_EQ(GetModuleFileNameA(nullptr, buf, MAX_PATH), self.size());
  EXPECT_EQ(buf, self);
  w32::setModuleFileName("A:\\SETUP.EXE");
  const struct {
    bool module; // GetModuleFileNameA, else GetWindowsDirectoryA
    DWORD size, result;
    const char *text; // nullptr: the buffer untouched
    DWORD error;
  } cases[] = {
      {true, 70, 12, "A:\\SETUP.EXE", 0},
      {true, 13, 12, "A:\\SETUP.EXE", 0},
      {true, 12, 12, "A:\\SETUP.EX", ERROR_INSUFFICIENT_BUFFER},
      {true, 5, 5, "A:\\S", ERROR_INSUFFICIENT_BUFFER},
      {true, 1, 1, "", ERROR_INSUFFICIENT_BUFFER},
      {true, 0, 0, nullptr, ERROR_INSUFFICIENT_BUFFER},
      {false, 11, 10, "C:\\WINDOWS", 0},
      {false, 10, 11, nullptr, 0}, // too small: the size needed
  };
  for (const auto &c : cases) {
    memset(buf, kJunk, sizeof buf);
    SetLastError(0);
    EXPECT_EQ(c.module ? GetModuleFileNameA(nullptr, buf, c.size) : GetWindowsDirectoryA(buf, c.size), c.result) << c.size;
    EXPECT_EQ(c.text ? std::string(buf) : std::string(1, buf[0]), c.text ? c.text : std::string(1, kJunk)) << c.size;
    EXPECT_EQ(buf[c.size], kJunk) << "written past the buffer of " << c.size;
    EXPECT_EQ(GetLastError(), c.error) << c.size;
  }
  EXPECT_EQ(w32::hostPath("C:\\WINDOWS"), cdrive("/windows"));
}

} // namespace
