// A drive is a jail: links that leave a drive's host directory are files
// that cannot be opened, links that stay inside work; and only regular
// files are files: a FIFO, a socket or a device is refused at once by every
// call that would open it, never waited on.
#include "w32_fixture.h"

#include "w32_stdio.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace {

using JailTest = W32Test;

void link(const std::string &target, const std::string &at) { ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at; }

// Whether each call succeeds, closing what it opened.
bool opens(const char *path, UINT style) {
  HFILE f = OpenFile(path, nullptr, style);
  return f != HFILE_ERROR && CloseHandle(asHandle(f));
}
bool streams(const char *path, const char *mode) {
  FILE *f = w32_fopen(path, mode);
  return f && fclose(f) == 0;
}
bool readsProfile(const char *file) {
  char out[16];
  GetPrivateProfileStringA("s", "k", "default", out, sizeof out, file);
  return strcmp(out, "default") != 0;
}

// Catches a link out of the drive followed by any call (read, write,
// create, copy, stream, profile) and a link that stays inside refused.
TEST_F(JailTest, LinksThatLeaveTheDriveCannotBeOpened) {
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
  link("loop", cdrive("/loop"));
  makeHostDir(scratch("/pkg"));
  link(outside + "/secret.txt", scratch("/pkg/setup.ini"));
  w32::mapDrive('d', scratch("/pkg"));

  auto open = [](const char *path, UINT style) { return [=] { return err(opens(path, style)); }; };
  expectCalls({
      {"read through a link out", open("c:\\q\\out.txt", OF_READ), ERROR_ACCESS_DENIED},
      {"read through a relative link out", open("c:\\q\\rel.txt", OF_READ), ERROR_ACCESS_DENIED},
      {"a package file that links out", open("d:\\setup.ini", OF_READ), ERROR_ACCESS_DENIED},
      {"write through a link out", open("c:\\q\\out.txt", OF_CREATE | OF_WRITE), ERROR_ACCESS_DENIED},
      {"create through a dangling link out", open("c:\\q\\dangleout.txt", OF_CREATE | OF_WRITE), ERROR_ACCESS_DENIED},
      {"create below a directory link out", open("c:\\outdir\\x.txt", OF_CREATE | OF_WRITE), ERROR_PATH_NOT_FOUND},
      {"a directory where a link out is", [] { return err(CreateDirectoryA("c:\\q\\out.txt", nullptr)); }, ERROR_ALREADY_EXISTS},
      {"a directory below a link out", [] { return err(CreateDirectoryA("c:\\outdir\\sub", nullptr)); }, ERROR_PATH_NOT_FOUND},
      {"a link to itself", open("c:\\loop", OF_READ), ERROR_ACCESS_DENIED},
      {"copy from a link out", [] { return err(CopyFileA("c:\\q\\out.txt", "c:\\copy.txt", FALSE)); }, ERROR_ACCESS_DENIED},
      {"copy over a link out", [] { return err(CopyFileA("c:\\inside.txt", "c:\\q\\out.txt", FALSE)); }, ERROR_ACCESS_DENIED},
      {"a stream written through a link out", [] { return err(streams("c:\\q\\out.txt", "w")); }, ERROR_ACCESS_DENIED},
      {"a profile read through a link out", [] { return err(readsProfile("c:\\q\\out.txt")); }, ERROR_ACCESS_DENIED},
      {"a profile written through a link out", [] { return err(WritePrivateProfileStringA("s", "k", "x", "c:\\q\\out.txt")); },
       ERROR_ACCESS_DENIED},
      {"a link that stays inside", open("c:\\q\\in.txt", OF_READ), 0},
      {"an absolute link that stays inside", open("c:\\q\\absin.txt", OF_READ), 0},
      {"a dangling link inside makes its file", open("c:\\q\\dangle.txt", OF_CREATE | OF_WRITE), 0},
      {"deleting a link out deletes the link", [] { return err(DeleteFileA("c:\\q\\rel.txt")); }, 0},
  });
  EXPECT_EQ(readHost(outside + "/secret.txt"), "[s]\nk=secret\n");
  EXPECT_FALSE(hostExists(outside + "/new.txt"));
  EXPECT_FALSE(hostExists(outside + "/x.txt"));
  EXPECT_FALSE(hostExists(outside + "/sub"));
  EXPECT_TRUE(hostExists(cdrive("/q/new.txt")));
  EXPECT_FALSE(hostExists(cdrive("/q/rel.txt")));
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Catches a FIFO, socket or device opened, read, written, copied or
// started by any call, or waited on.
TEST_F(JailTest, OnlyRegularFilesAreFiles) {
  makeHostDir(cdrive("/dev"));
  std::vector<std::string> names = {"fifo", "socket"};
  ASSERT_EQ(mkfifo(cdrive("/dev/fifo").c_str(), 0666), 0);
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string sock = cdrive("/dev/socket");
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, sock.c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
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
  close(s);
  EXPECT_FALSE(hostExists(cdrive("/copy.bin")));
}

}  // namespace
