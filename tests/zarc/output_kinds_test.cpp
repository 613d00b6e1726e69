// What zarc and mkpackage do to the file named as an output, by its kind,
// and to their temporary files when stopped; mkpackage's refusals and
// checks. The built programs run on files in the test's own directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zarc_test_support.h"

extern char **environ;

namespace {

class ToolOutputs : public ToolTest {};

// Reads what a FIFO or a listening socket at path is sent while a command
// runs, without ever waiting on a writer that does not come.
class Receiver {
 public:
  Receiver(const std::string &path, bool socket) {
    if (socket) {
      struct sockaddr_un address;
      memset(&address, 0, sizeof address);
      address.sun_family = AF_UNIX;
      strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
      fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      EXPECT_EQ(bind(fd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
      EXPECT_EQ(listen(fd_, 1), 0);
    } else {
      EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
      fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    }
    thread_ = std::thread([this, socket] {
      int from = socket ? -1 : fd_;
      char buffer[65536];
      for (;;) {
        bool finished = done_;
        if (from < 0) from = accept(fd_, nullptr, nullptr);
        ssize_t n = from < 0 ? -1 : read(from, buffer, sizeof buffer);
        if (n > 0) {
          got_.append(buffer, static_cast<size_t>(n));
        } else if (finished) {
          break;
        } else {
          usleep(500);
        }
      }
      if (socket && from >= 0) close(from);
    });
  }
  // What came, once the command is done.
  std::string finish() {
    done_ = true;
    thread_.join();
    close(fd_);
    return got_;
  }

 private:
  int fd_ = -1;
  std::atomic<bool> done_{false};
  std::string got_;
  std::thread thread_;
};

// Every command with an output path, run onto each kind of file there. A
// file replaced keeps its mode and owner; a read-only one is replaced only
// with -f; a link's target is written and the link stays; a FIFO, device
// or socket is written to directly. extract and mkpackage, whose names
// come from an archive or a package, write regular files only: they replace
// a file, keeping its mode and owner, and refuse every other kind.
TEST_F(ToolOutputs, EachKindOfOutput) {
  const Bytes data = textBytes(30000, 7);
  struct Command {
    const char *name;
    std::string args, outName;  // the command, and the output the kinds are put at
    std::string refArgs, refName;  // the same writing to a name of its own ("": the first run)
  };
  const std::vector<Command> commands = {
      {"implode", kZarc + " implode in out", "out", kZarc + " implode in ref", "ref"},
      {"explode", kZarc + " explode in.imp out", "out", kZarc + " explode in.imp ref", "ref"},
      {"create", kZarc + " create -o out in", "out", kZarc + " create ref in", "ref"},
      {"extract -o", kZarc + " extract -o -d x in.z", "x/in", kZarc + " extract -d r in.z", "r/in"},
      {"mkpackage", kMkpackage + " --out p --generate --size 3000", "p/readme.txt", "", ""},
  };
  enum Kind { Regular, ReadOnly, Link, Dangling, Fifo, Device, Socket };
  const char *const kindNames[] = {"regular 0640 of another owner", "read-only", "symbolic link", "dangling link",
                                   "FIFO", "character device", "socket"};
  for (const Command &c : commands) {
    const bool package = c.refArgs.empty();
    const bool filesOnly = package || c.outName == "x/in";
    for (int kind = Regular; kind <= Socket; kind++) {
      SCOPED_TRACE(std::string(c.name) + " onto a " + kindNames[kind]);
      std::system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "/x'").c_str());
      writeBytes(path("in"), data);
      ASSERT_EQ(run(kZarc + " implode in in.imp && " + kZarc + " create in.z in"), 0);
      const std::string args = c.args, out = path(c.outName);
      // What the command writes, to a name of its own (mkpackage: its
      // package, laid out once before, is the output's directory).
      ASSERT_EQ(run(package ? args : c.refArgs), 0);
      const std::string ref = readText(path(package ? c.outName : c.refName));
      ASSERT_FALSE(ref.empty());
      unlink(out.c_str());
      std::unique_ptr<Receiver> receiver;
      bool owned = false;
      switch (kind) {
        case Regular:
        case ReadOnly:
          writeText(out, "old");
          ASSERT_EQ(chmod(out.c_str(), kind == Regular ? 0640 : 0444), 0);
          owned = kind == Regular && chown(out.c_str(), 65534, 65534) == 0;
          break;
        case Link:
          writeText(path("target"), "old");
          ASSERT_EQ(symlink(path("target").c_str(), out.c_str()), 0);
          break;
        case Dangling:
          ASSERT_EQ(symlink(path("target").c_str(), out.c_str()), 0);
          break;
        case Fifo:
        case Socket:
          receiver.reset(new Receiver(out, kind == Socket));
          break;
        case Device:
          ASSERT_EQ(mknod(out.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0) << "mknod needs root";
          break;
      }
      struct stat before;
      ASSERT_EQ(lstat(out.c_str(), &before), 0);
      std::string log;
      int status = run(args, &log);
      std::string received = receiver ? receiver->finish() : "";
      struct stat after;
      ASSERT_EQ(lstat(out.c_str(), &after), 0) << log;
      EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT) << "the output is still what it was";
      const bool refused = kind == ReadOnly || (filesOnly && kind != Regular);
      EXPECT_EQ(status, refused ? 3 : 0) << log;
      switch (kind) {
        case Regular:
          EXPECT_EQ(readText(out), ref);
          EXPECT_EQ(after.st_mode & 07777, 0640u);
          if (owned) {
            EXPECT_EQ(after.st_uid, 65534u);
          }
          break;
        case ReadOnly:
          EXPECT_EQ(readText(out), "old");
          EXPECT_NE(log.find("read-only"), std::string::npos) << log;
          EXPECT_EQ(run(args + " -f", &log), 0) << log;
          EXPECT_EQ(readText(out), ref);
          ASSERT_EQ(lstat(out.c_str(), &after), 0);
          EXPECT_EQ(after.st_mode & 07777, 0444u);
          break;
        case Link:
          EXPECT_EQ(readText(path("target")), filesOnly ? "old" : ref);
          break;
        case Dangling:
          EXPECT_EQ(readText(path("target")), filesOnly ? "" : ref);
          break;
        case Fifo:
        case Socket:
          EXPECT_EQ(received, filesOnly ? "" : ref);
          break;
        case Device:
          EXPECT_EQ(after.st_rdev, before.st_rdev);
          break;
      }
      EXPECT_TRUE(temporaries(out.substr(0, out.rfind('/'))).empty());
    }
  }
}

// A run stopped by INT or TERM leaves no temporary file and the old output
// as it was; one killed outright leaves its temporary, and the next run
// leaves it too, as it leaves every file it did not make whatever its name:
// another user's, a directory holding the user's files, the temporary of a
// live run whose PID this namespace does not have.
TEST_F(ToolOutputs, StoppedRuns) {
  const Bytes big = randomBytes(16 << 20, 9);  // slow enough to be caught at work
  writeBytes(path("big"), big);
  ASSERT_EQ(mkdir(path("q").c_str(), 0755), 0);
  writeBytes(path("q/quorvel.exe"), big);
  writeText(path("small"), "small");
  ASSERT_EQ(run(kZarc + " create big.z big"), 0);
  struct Command {
    const char *name;
    std::vector<std::string> argv;
    std::string watch;   // where its temporaries appear
    std::string old;     // an output there before, which a stopped run leaves as it was
    std::string before;  // how that output is made
  };
  const std::vector<Command> commands = {
      {"create", {kZarc, "create", "a.z", "big"}, dir_, "a.z", kZarc + " create a.z small"},
      {"extract", {kZarc, "extract", "-o", "-d", "x", "big.z"}, path("x"), "x/big", "mkdir -p x && echo old > x/big"},
      {"mkpackage",
       {kMkpackage, "--out", "p", "--generate", "--quorvel-member", "q/quorvel.exe"},
       dir_,
       "p/quorvel.z",
       kMkpackage + " --out p --generate --replace"},
  };
  for (const Command &c : commands) {
    for (int signal : {SIGINT, SIGTERM, SIGKILL}) {
      SCOPED_TRACE(std::string(c.name) + " stopped by " + strsignal(signal));
      ASSERT_EQ(run(c.before), 0);
      const std::string old = readText(path(c.old));
      std::vector<char *> argv;
      for (const std::string &a : c.argv) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
      posix_spawn_file_actions_addopen(&actions, 1, path("log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
      pid_t pid;
      ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
      posix_spawn_file_actions_destroy(&actions);
      auto start = std::chrono::steady_clock::now();
      while (temporaries(c.watch).empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
        usleep(200);
      }
      kill(pid, signal);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "stopped at work: " << readText(path("log"));
      EXPECT_EQ(readText(path(c.old)), old);
      if (signal != SIGKILL) {
        EXPECT_TRUE(temporaries(c.watch).empty());
        continue;
      }
      std::vector<std::string> left = temporaries(c.watch);
      EXPECT_EQ(left.size(), 1u);
      const std::string others = c.watch + "/.notes.999999999-0.tmp", dir = c.watch + "/.p.999999998-0.tmp";
      writeText(others, "theirs");
      EXPECT_TRUE(chown(others.c_str(), 65534, 65534) == 0 || geteuid() != 0);
      ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
      writeText(dir + "/readme.txt", "mine");
      std::string again;
      for (const std::string &a : c.argv) again += "'" + a + "' ";
      std::string log;
      EXPECT_EQ(run(again, &log), 0) << log;
      EXPECT_EQ(temporaries(c.watch).size(), left.size() + 2) << "the killed run's temporary and the planted ones stay";
      EXPECT_EQ(readText(others) + readText(dir + "/readme.txt"), "theirsmine");
      ASSERT_EQ(run("rm -rf " + c.watch + "/.*.tmp"), 0);
    }
  }
}

// mkpackage lays out only into a directory that is its own, names every
// payload missing at once, and checks what the setup program relies on.
TEST_F(ToolOutputs, MkpackageRefusalsAndChecks) {
  ASSERT_EQ(run("mkdir maker q w && echo mine > maker/nsystem.z && echo mine > maker/netscape.z && "
                "printf '\\177ELF-a-program' > q/quorvel.exe && echo icon > q/notep001.ico && echo x > other"),
            0);
  std::string pe(0x90, '\0');
  pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = 0x80, pe.replace(0x80, 4, std::string("PE\0\0", 4));
  writeText(path("w/quorvel.exe"), pe);
  const std::string pkg = kMkpackage + " --out e --generate ";
  const struct {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {kMkpackage + " --out maker --generate", 1,
       "it holds files that mkpackage did not lay out (netscape.z, nsystem.z); give --replace"},
      {kMkpackage + " --out e", 1,
       "no payload for nsystem.z, netscape.z, plugins.z, javaclss.z, readme.txt, nprogram.z, quorvel.z, javabin.z, "
       "wsystem.z (give --file NAME=PATH for each"},
      {pkg + "--quorvel-member other", 1, "quorvel.z holds no quorvel.exe"},
      {pkg + "--target windows --quorvel-member q/quorvel.exe", 1,
       "quorvel.exe is a Linux program (an ELF), not one for the target windows (a PE)"},
      {pkg + "--target linux --quorvel-member w/quorvel.exe", 1, "is a Windows program (a PE), not one for the target linux"},
      {pkg + "--target windows --quorvel-member w/quorvel.exe", 0, "warning: quorvel.z holds no notep001.ico"},
      {pkg, 0,
       "warning: the progress meter counts 8874 bytes, 0.6% of the setup program's package total of 1500000: its bar "
       "stops at 1%\nnsystem.z          1000 bytes, counted       1000\n"},
      {pkg + "--disks", 0, "\ndisk1/nsystem.z          1000 bytes, counted       1000\n"},
      // Files it did not write stay, whatever their names: with --replace
      // they go into the new layout; without it they stop the run.
      {pkg + "-q && echo mine >e/.my-notes.tmp && echo mine >e/www.z && " + pkg + "--replace -q && cat e/.my-notes.tmp e/www.z",
       0, "mine\nmine\n"},
      {pkg + "-q && echo mine >e/.my-notes.tmp && " + pkg + "-q; cat e/.my-notes.tmp", 0,
       "did not lay out (.my-notes.tmp); give --replace"},
      {pkg + "--size 200000", 0, "its bar is full with "},
      {pkg + "-q", 0, "total 8874\nof the setup program's package total 1500000: 0.6%\n"},
  };
  for (const auto &c : cases) {
    std::string out;
    EXPECT_EQ(run("rm -rf e e.members && " + c.args, &out), c.status) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
  }
  EXPECT_EQ(readText(path("maker/nsystem.z")), "mine\n");
  std::string out;
  EXPECT_EQ(run(kMkpackage + " --out e --generate -q", &out), 0);
  EXPECT_EQ(out.find("nsystem.z"), std::string::npos) << "-q: no line per file\n" << out;
}

// zarc as zip, tar and gzip users use them: an archive from standard input
// or a pipe, bundled options, a swapped command line refused, an archive
// without members a warning.
TEST_F(ToolOutputs, ZarcHabits) {
  writeBytes(path("in"), textBytes(30000, 3));
  writeText(path("rates.tbl"), "rates");
  writeText(path("empty.z"), std::string(4, '\0'));
  ASSERT_EQ(run(kZarc + " create a.z in second=in"), 0);
  const struct {
    std::string args;
    int status;
    std::string message, absent;
  } cases[] = {
      {"list - < a.z", 0, "second             ", ""},
      {"cat a.z | " + kZarc + " test /dev/stdin", 0, "2 of 2 members good", ""},
      {"extract -qod out - < a.z && cmp out/in in && cmp out/second in && echo same", 0, "same", ""},
      {"create rates.tbl in", 3, "rates.tbl: exists and is not a package archive; -o (--overwrite) replaces it", ""},
      {"create -v b.z in", 0, "\n1 member, 30000 -> ", ""},
      {"test a.z", 0, "second       ok\n2 of 2 members good\n", "checksum"},
      {"test empty.z", 0, "no members to test\nzarc test: warning: empty.z holds no members", ""},
      {"test --strict empty.z", 1, "warning: empty.z holds no members", ""},
      {"test -q a.z", 0, "2 of 2 members good", " ok\n"},
  };
  for (const auto &c : cases) {
    std::string out;
    std::string command = c.args.compare(0, 4, "cat ") == 0 ? c.args : kZarc + " " + c.args;
    EXPECT_EQ(run(command, &out), c.status) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
    if (!c.absent.empty()) {
      EXPECT_EQ(out.find(c.absent), std::string::npos) << c.args << "\n" << out;
    }
  }
  EXPECT_EQ(readText(path("rates.tbl")), "rates");
}

}  // namespace
