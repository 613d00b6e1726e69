// Where a Windows path lands on the host, whose prefix may be used, and a drive as a jail.
#include "w32_fixture.h"

#include "w32_stdio.h"

#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/sysmacros.h>

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

// Catches a component matched with case, ".." above a root, a relative path not from C:\, a bad name.
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

// Catches a wrong error, in GetLastError or the OFSTRUCT, for a path OpenFile cannot take.
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

// Catches a WIN.INI in another case given a twin, and module and Windows paths not cut as Win32 cuts them.
TEST_F(PathTest, PrefixLayoutAndTheProgramsPaths) {
  std::string other = root + "/other";
  makeHostDir(other + "/drive_c/WINDOWS");
  writeHost(other + "/drive_c/WINDOWS/WIN.INI", "[Dunmere Network Quorvel]\r\n");
  // Named through a link, resolved once: the link swapped afterwards changes nothing.
  ASSERT_EQ(symlink(other.c_str(), (root + "/via").c_str()), 0);
  w32::resetForTest(root + "/via");
  ASSERT_TRUE(unlink((root + "/via").c_str()) == 0 && symlink(prefix.c_str(), (root + "/via").c_str()) == 0);
  EXPECT_EQ(w32::prefixDir(), other);
  EXPECT_EQ(w32::hostPath("c:\\windows\\win.ini"), other + "/drive_c/WINDOWS/WIN.INI");
  EXPECT_FALSE(hostExists(other + "/drive_c/WINDOWS/win.ini"));
  EXPECT_TRUE(hostExists(other + "/drive_c/WINDOWS/system.ini"));
  EXPECT_FALSE(hostExists(other + "/drive_c/Program Files") || hostExists(other + "/drive_c/WINDOWS/system"));
  w32::resetForTest(prefix);
  // A fresh prefix is laid out as a fresh Windows 95 C: is; the one above kept what it had.
  for (const char *dir : {"C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\TEMP", "C:\\PROGRAM FILES\\ACCESSORIES"})
    EXPECT_TRUE(hostExists(w32::hostPath(dir))) << dir;

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

// Catches a prefix taken that others may write or rename, another user's, a file, or a directory of files.
TEST_F(PathTest, APrefixIsTheUsersOwn) {
  const std::string base = root + "/prefixes";
  makeHostDir(base);
  writeHost(base + "/file", "not a directory");
  const bool asRoot = geteuid() == 0;
  const struct {
    std::string path, made; // made: the directory to make for the case, "" none
    mode_t mode;            // of made
    bool theirs;            // made (or the link) belongs to user 65534 (only as root)
    std::string refusal;    // the start of why not, or "" when it may be used
    std::string linkTo = "";  // path is a link to this
  } cases[] = {
      {"/", "", 0, false, "the root directory cannot be a prefix"},
      {base + "/file", "", 0, false, "not a directory"},
      {base + "/home", base + "/home", 0755, false, "holds other files but no prefix"},
      {base + "/open", base + "/open", 0777, false, "the prefix can be written by other users (mode 0777)"},
      {base + "/group", base + "/group", 0775, false, "the prefix can be written by other users (mode 0775)"},
      {base + "/shared/p", base + "/shared", 0777, false, "the directory " + base + "/shared above it can be written"},
      {base + "/grand/parent/p", base + "/grand", 0777, false, "the directory " + base + "/grand above it can be"},
      {base + "/team/p", base + "/team", 0775, false, "the directory " + base + "/team above it can be written by other users (mode 0775)"},
      {base + "/their/p", base + "/their", 0755, true, "the directory " + base + "/their above it belongs to user 65534"},
      {base + "/drop/p", base + "/drop", 0777, false, "the directory " + base + "/drop above it", base + "/empty"},
      {base + "/sticky/link", base + "/sticky", 01777, true, "it is reached through the link " + base + "/sticky/link of user 65534", base + "/empty"},
      {base + "/theirs", base + "/theirs", 0755, true, "the prefix belongs to user 65534"},
      {base + "/devices", base + "/devices/dosdevices", 0755, true, "its dosdevices directory belongs to user 65534"},
      {base + "/sticky/mine", base + "/sticky", 01777, false, ""}, // as /tmp: only the owner may
      {base + "/missing", "", 0, false, ""},
      {base + "/empty", base + "/empty", 0755, false, ""},
      {prefix, "", 0, false, ""},
  };
  for (const auto &c : cases) {
    if (c.theirs && !asRoot) continue;
    if (!c.made.empty()) {
      if (c.linkTo.empty()) makeHostDir(c.path);
      makeHostDir(c.made);
      chmod(c.made.c_str(), c.mode);
      if (!c.linkTo.empty()) symlink(c.linkTo.c_str(), c.path.c_str());
      if (c.theirs) lchown((c.linkTo.empty() ? c.made : c.path).c_str(), 65534, 65534);
    }
    if (c.path == base + "/home") writeHost(base + "/home/notes.txt", "a user's own files");
    std::string why = w32::prefixProblem(c.path);
    EXPECT_EQ(why.substr(0, c.refusal.size()), c.refusal) << c.path << ": " << why;
    EXPECT_EQ(why.empty(), c.refusal.empty()) << c.path << ": " << why;
  }
  EXPECT_FALSE(hostExists(base + "/missing") || hostExists(base + "/home/drive_c"));
  // Made under umask 000, a prefix has its fixed modes all the same: the next run takes it.
  const std::string fresh = base + "/new/deeper/p";
  const mode_t mask = umask(0);
  w32::resetForTest(fresh);
  HKEY key;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\U", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  RegCloseKey(key);
  umask(mask);
  w32::resetForTest(prefix);
  EXPECT_EQ(w32::prefixProblem(fresh), "");
  for (const std::string &p : {base + "/new", fresh, fresh + "/drive_c/windows", fresh + "/system.reg", fresh + "/drive_c/windows/win.ini"}) {
    struct stat st;
    EXPECT_TRUE(stat(p.c_str(), &st) == 0 && (st.st_mode & 0777) == (S_ISDIR(st.st_mode) ? 0755u : 0644u)) << p;
  }

  // Without HOME the default is the user's home directory from the system.
  std::string home = getenv("HOME") ? getenv("HOME") : "", given = getenv("W32_PREFIX");
  unsetenv("HOME");
  unsetenv("W32_PREFIX");
  struct passwd *pw = getpwuid(geteuid());
  EXPECT_EQ(w32::defaultPrefixPath(), pw ? std::string(pw->pw_dir) + "/.quorvel-w32" : "");
  setenv("W32_PREFIX", given.c_str(), 1);
  if (!home.empty()) setenv("HOME", home.c_str(), 1);
}

void link(const std::string &target, const std::string &at) { ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at; }

// Whether each call succeeds, closing what it opened.
bool streams(const char *path, const char *mode) {
  FILE *f = w32_fopen(path, mode);
  return f && fclose(f) == 0;
}
bool appends(const char *path) {
  FILE *f = w32_fopen(path, "a");
  return f && fputs("more", f) >= 0 && fclose(f) == 0;
}
bool readsProfile(const char *file) {
  char out[16];
  GetPrivateProfileStringA("s", "k", "default", out, sizeof out, file);
  return strcmp(out, "default") != 0;
}

// Catches a link out of the drive followed by any call, a link that stays inside refused, a file written
// through a hard link, and the host changed through Z:.
TEST_F(PathTest, LinksThatLeaveTheDriveCannotBeOpened) {
  std::string outside = root + "/outside";
  makeHostDir(outside);
  writeHost(outside + "/secret.txt", "[s]\nk=secret\n");
  chmod((outside + "/secret.txt").c_str(), 0600);
  makeHostDir(cdrive("/q"));
  writeHost(cdrive("/inside.txt"), "inside");
  link(outside + "/secret.txt", cdrive("/q/out.txt"));
  link("../../../outside/secret.txt", cdrive("/q/rel.txt"));
  link("../inside.txt", cdrive("/q/in.txt"));
  link(cdrive("/inside.txt"), cdrive("/q/absin.txt"));
  link("new.txt", cdrive("/q/dangle.txt"));
  link(outside + "/new.txt", cdrive("/q/dangleout.txt"));
  link(outside, cdrive("/outdir"));
  ASSERT_TRUE(::link((outside + "/secret.txt").c_str(), cdrive("/q/hard.txt").c_str()) == 0 &&
              ::link((outside + "/secret.txt").c_str(), cdrive("/q/hard2.txt").c_str()) == 0);
  makeHostDir(outside + "/empty");
  const std::string z = w32::windowsPath(outside), zSecret = z + "\\secret.txt", zNew = z + "\\new.txt";
  link("loop", cdrive("/loop"));
  makeHostDir(scratch("/pkg"));
  link(outside + "/secret.txt", scratch("/pkg/setup.ini"));
  w32::mapDrive('d', scratch("/pkg"));

  expectCalls({
      {"read through a link out", openCall("c:\\q\\out.txt", OF_READ), ERROR_ACCESS_DENIED},
      {"read through a relative link out", openCall("c:\\q\\rel.txt", OF_READ), ERROR_ACCESS_DENIED},
      {"a package file that links out", openCall("d:\\setup.ini", OF_READ), ERROR_ACCESS_DENIED},
      {"write through a link out", openCall("c:\\q\\out.txt", OF_CREATE | OF_WRITE), ERROR_ACCESS_DENIED},
      {"create through a dangling link out", openCall("c:\\q\\dangleout.txt", OF_CREATE | OF_WRITE), ERROR_ACCESS_DENIED},
      {"create below a directory link out", openCall("c:\\outdir\\x.txt", OF_CREATE | OF_WRITE), ERROR_PATH_NOT_FOUND},
      {"a directory where a link out is", [] { return err(CreateDirectoryA("c:\\q\\out.txt", nullptr)); }, ERROR_ALREADY_EXISTS},
      {"a directory below a link out", [] { return err(CreateDirectoryA("c:\\outdir\\sub", nullptr)); }, ERROR_PATH_NOT_FOUND},
      {"a link to itself", openCall("c:\\loop", OF_READ), ERROR_ACCESS_DENIED},
      {"copy from a link out", [] { return err(CopyFileA("c:\\q\\out.txt", "c:\\copy.txt", FALSE)); }, ERROR_ACCESS_DENIED},
      {"copy over a link out", [] { return err(CopyFileA("c:\\inside.txt", "c:\\q\\out.txt", FALSE)); }, ERROR_ACCESS_DENIED},
      {"a stream written through a link out", [] { return err(streams("c:\\q\\out.txt", "w")); }, ERROR_ACCESS_DENIED},
      {"a profile read through a link out", [] { return err(readsProfile("c:\\q\\out.txt")); }, ERROR_ACCESS_DENIED},
      {"a profile written through a link out", [] { return err(WritePrivateProfileStringA("s", "k", "x", "c:\\q\\out.txt")); },
       ERROR_ACCESS_DENIED},
      {"a link that stays inside", openCall("c:\\q\\in.txt", OF_READ), 0},
      {"an absolute link that stays inside", openCall("c:\\q\\absin.txt", OF_READ), 0},
      {"a dangling link inside makes its file", openCall("c:\\q\\dangle.txt", OF_CREATE | OF_WRITE), 0},
      {"deleting a link out deletes the link", [] { return err(DeleteFileA("c:\\q\\rel.txt")); }, 0},
      {"created over a hard link to a file outside", openCall("c:\\q\\hard.txt", OF_CREATE | OF_WRITE), 0},
      {"appended to through a hard link to a file outside", [] { return err(appends("c:\\q\\hard2.txt")); }, 0},
      {"Z: (the host) is read", openCall(zSecret.c_str(), OF_READ), 0},
      {"a file on Z: written", openCall(zSecret.c_str(), OF_WRITE), ERROR_WRITE_PROTECT},
      {"a file on Z: created", openCall(zNew.c_str(), OF_CREATE | OF_WRITE), ERROR_WRITE_PROTECT},
      {"a stream on Z: written", [=] { return err(streams(zNew.c_str(), "w")); }, ERROR_WRITE_PROTECT},
      {"a copy onto Z:", [=] { return err(CopyFileA("c:\\inside.txt", zNew.c_str(), FALSE)); }, ERROR_WRITE_PROTECT},
      {"a profile on Z: written", [=] { return err(WritePrivateProfileStringA("s", "k", "x", zSecret.c_str())); },
       ERROR_WRITE_PROTECT},
      {"a file on Z: deleted", [=] { return err(DeleteFileA(zSecret.c_str())); }, ERROR_WRITE_PROTECT},
      {"a directory on Z: made", [=] { return err(CreateDirectoryA((z + "\\sub").c_str(), nullptr)); }, ERROR_WRITE_PROTECT},
      {"a directory on Z: removed", [=] { return err(RemoveDirectoryA((z + "\\empty").c_str())); }, ERROR_WRITE_PROTECT},
  });
  EXPECT_EQ(readHost(outside + "/secret.txt"), "[s]\nk=secret\n");
  EXPECT_FALSE(hostExists(outside + "/new.txt"));
  EXPECT_FALSE(hostExists(outside + "/x.txt"));
  EXPECT_FALSE(hostExists(outside + "/sub"));
  EXPECT_TRUE(hostExists(cdrive("/q/new.txt")));
  EXPECT_FALSE(hostExists(cdrive("/q/rel.txt")));
  EXPECT_TRUE(hostExists(outside + "/empty"));
  EXPECT_EQ(readHost(cdrive("/q/hard2.txt")), "[s]\nk=secret\nmore");
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Catches a FIFO, socket or device opened, read, written, copied or started by any call, or waited on.
TEST_F(PathTest, OnlyRegularFilesAreFiles) {
  makeHostDir(cdrive("/dev"));
  std::vector<std::string> names = {"fifo", "socket"};
  ASSERT_EQ(mkfifo(cdrive("/dev/fifo").c_str(), 0666), 0);
  ASSERT_EQ(mknod(cdrive("/dev/socket").c_str(), S_IFSOCK | 0666, 0), 0);
  // Devices only where this process may make them (as root): an endless
  // one and one that swallows everything.
  if (mknod(cdrive("/dev/zero").c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0) names.push_back("zero");
  if (mknod(cdrive("/dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) names.push_back("null");

  const struct {
    const char *what;
    std::function<bool(const char *)> refused;
  } calls[] = {
      {"OpenFile reading", [](const char *p) { return !opens(p, OF_READ); }},
      {"OpenFile creating", [](const char *p) { return !opens(p, OF_CREATE | OF_WRITE); }},
      {"a stream read", [](const char *p) { return !streams(p, "r"); }},
      {"a stream written", [](const char *p) { return !streams(p, "w"); }},
      {"a profile read", [](const char *p) { return !readsProfile(p); }},
      {"a profile written", [](const char *p) { return !WritePrivateProfileStringA("s", "k", "v", p); }},
      {"copied from", [](const char *p) { return !CopyFileA(p, "c:\\copy.bin", FALSE); }},
      {"copied over", [](const char *p) {
         writeHost(w32::hostPath("c:\\src.bin"), "bytes");
         return !CopyFileA("c:\\src.bin", p, FALSE);
       }},
      {"started", [](const char *p) {
         SetLastError(ERROR_ACCESS_DENIED);
         return WinExec(p, SW_SHOWNORMAL) == ERROR_ACCESS_DENIED;
       }},
  };
  for (const std::string &name : names) {
    std::string path = "c:\\dev\\" + name;
    for (const auto &c : calls) {
      // In a child bounded by a time-out: a call that waits on a FIFO fails instead of hanging the suite.
      int got = inChild([&] { return c.refused(path.c_str()) && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1; }, 0, 5);
      EXPECT_EQ(got, 0) << name << ": " << c.what << (got == 128 + SIGALRM ? " waited on it" : " was not refused");
    }
  }
  EXPECT_FALSE(hostExists(cdrive("/copy.bin")));
}

} // namespace
