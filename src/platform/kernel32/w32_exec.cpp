// WinExec: the program named by a Windows path, started on the host and
// left to run on its own.
#include "machine/w32_core.h"
#include "machine/w32_path.h"
#include "machine/w32_script.h"
#include "w32_objects.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char **environ;

using namespace w32int;

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The arguments after the program, split as the C runtime splits a command
// line: blanks separate, double quotes group ("" inside quotes is one
// quote); 2n backslashes before a quote give n backslashes, 2n+1 give n and
// a literal quote; other backslashes stand for themselves.
std::vector<std::string> splitArguments(const std::string &s) {
  std::vector<std::string> out;
  size_t i = 0;
  for (;;) {
    while (i < s.size() && isBlank(s[i])) ++i;
    if (i == s.size()) return out;
    std::string arg;
    bool quoted = false;
    while (i < s.size() && (quoted || !isBlank(s[i]))) {
      if (s[i] == '\\') {
        size_t n = 0;
        while (i + n < s.size() && s[i + n] == '\\') ++n;
        bool beforeQuote = i + n < s.size() && s[i + n] == '"';
        arg.append(beforeQuote ? n / 2 : n, '\\');
        i += n;
        if (beforeQuote && n % 2) {
          arg += '"';
          ++i;
        }
      } else if (s[i] == '"') {
        if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += s[i++];
      }
    }
    out.push_back(arg);
  }
}

std::string findOnPath(const char *name) {
  const char *path = getenv("PATH");
  std::string dirs = path ? path : "";
  size_t start = 0;
  for (;;) {
    size_t end = dirs.find(':', start);
    std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

// WinExec's value; the same code, when it is one, for GetLastError.
UINT result(UINT code) {
  setError(code > 31 ? NO_ERROR : code == 0 ? ERROR_NOT_ENOUGH_MEMORY : code);
  return code;
}

// How to start the host file: the program to exec and its whole argv.
// 0, or the Win32 code for a file that cannot be started.  mayChange: the
// file's drive may be written (its execute bits may be given).
UINT commandFor(const std::string &host, bool mayChange, const std::vector<std::string> &args, std::string *exe,
                std::vector<std::string> *argv) {
  int fd = open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EACCES || errno == ELOOP ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ERROR_ACCESS_DENIED;
  }
  char head[256]; // as much of a #! line as the host kernel reads
  ssize_t n = read(fd, head, sizeof head);
  std::string h(head, n > 0 ? static_cast<size_t>(n) : 0);
  bool elf = h.compare(0, 4, "\x7f" "ELF") == 0;
  if (elf) {
    // Files unpacked from a package carry no execute bit: it is given where
    // the read bits allow, to this file alone (never through another hard
    // link to it, nor on a drive nothing may change).
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = mode | ((mode & 0444) >> 2);
    if (wanted != mode && mayChange && st.st_nlink == 1 && fchmod(fd, wanted) != 0) {
      // exec then fails and says why.
    }
  }
  close(fd);
  if (h.compare(0, 2, "#!") == 0) {
    // The interpreter and at most one argument, as the kernel takes them; a
    // CR that ends the line (a script saved on Windows) is not part of them.
    std::string line = h.substr(2, h.find('\n') == std::string::npos ? std::string::npos : h.find('\n') - 2);
    while (!line.empty() && (isBlank(line.back()) || line.back() == '\r')) line.pop_back();
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos) return ERROR_BAD_FORMAT;
    size_t e = line.find_first_of(" \t", b);
    *exe = line.substr(b, e == std::string::npos ? std::string::npos : e - b);
    argv->push_back(*exe);
    if (e != std::string::npos && line.find_first_not_of(" \t", e) != std::string::npos)
      argv->push_back(line.substr(line.find_first_not_of(" \t", e)));
    argv->push_back(host);
  } else if (elf) {
    *exe = host;
    argv->push_back(host);
  } else if (h.compare(0, 2, "MZ") == 0) {
    // Debian's 64-bit Wine installs its loader as wine64 only.
    *exe = findOnPath("wine");
    if (exe->empty()) *exe = findOnPath("wine64");
    if (exe->empty()) return ERROR_BAD_FORMAT;
    argv->push_back(*exe);
    argv->push_back(host);
  } else {
    return ERROR_BAD_FORMAT;
  }
  argv->insert(argv->end(), args.begin(), args.end());
  return 0;
}

// Starts exe detached: a first child makes a new session and forks the
// program, then ends, so the program is nobody's child to wait for.  The
// program's exec failure comes back through a close-on-exec pipe (its
// errno), so it is known before this returns.  0 or the exec's errno.
int startDetached(const std::string &exe, const std::vector<std::string> &args, const std::string &dir) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return errno;
  pid_t pid = fork();
  if (pid < 0) {
    int e = errno;
    close(fds[0]);
    close(fds[1]);
    return e;
  }
  if (pid == 0) { // only async-signal-safe calls from here on
    int e = 0;
    setsid();
    pid_t program = fork();
    if (program != 0) {
      if (program < 0) {
        e = errno;
        if (write(fds[1], &e, sizeof e) < 0) {
        }
      }
      _exit(0);
    }
    // The program starts with every signal as a new process has it: none
    // blocked, none ignored that this one ignores for itself.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    int in = open("/dev/null", O_RDONLY);
    if (in > 0) {
      dup2(in, 0);
      close(in);
    }
    if (chdir(dir.c_str()) == 0) execve(exe.c_str(), argv.data(), environ);
    e = errno;
    if (write(fds[1], &e, sizeof e) < 0) {
    }
    _exit(127);
  }
  close(fds[1]);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  int childError = 0;
  ssize_t n;
  while ((n = read(fds[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
  }
  close(fds[0]);
  return n == static_cast<ssize_t>(sizeof childError) ? childError : 0;
}

} // namespace

// Starts the program of a command line; WinExec's result.
static UINT execLine(const std::string &line) {
  // The program: a quoted path, or everything up to the first blank.
  size_t i = 0;
  while (i < line.size() && isBlank(line[i])) ++i;
  std::string program;
  if (i < line.size() && line[i] == '"') {
    size_t end = line.find('"', i + 1);
    program = line.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
    i = end == std::string::npos ? line.size() : end + 1;
  } else {
    while (i < line.size() && !isBlank(line[i])) program += line[i++];
  }
  std::vector<std::string> args = splitArguments(line.substr(i));

  ResolvedPath r;
  DWORD err = 0;
  if (program.empty()) return result(ERROR_FILE_NOT_FOUND);
  if (!resolvePath(program.c_str(), false, &r, &err))
    return result(err == ERROR_PATH_NOT_FOUND || err == ERROR_NOT_READY ? err : ERROR_FILE_NOT_FOUND);
  if (!r.parentExists) return result(ERROR_PATH_NOT_FOUND);
  struct stat st;
  if (r.components.empty() || !r.exists) return result(ERROR_FILE_NOT_FOUND);
  if (r.escapes) return result(ERROR_ACCESS_DENIED); // a link that leaves the drive
  if (stat(r.host.c_str(), &st) != 0) return result(ERROR_FILE_NOT_FOUND);
  if (!S_ISREG(st.st_mode)) return result(ERROR_ACCESS_DENIED); // only a regular file is a program

  std::string exe;
  std::vector<std::string> argv;
  if (UINT bad = commandFor(r.host, !r.readOnly, args, &exe, &argv)) return result(bad);

  // The working directory: the current directory's, else the program's.
  std::string current;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    current = s.currentDir;
  }
  ResolvedPath cur;
  struct stat cst;
  std::string dir = r.host.substr(0, r.host.rfind('/'));
  if (dir.empty()) dir = "/";
  if (resolvePath(current.c_str(), false, &cur, &err) && cur.exists && stat(cur.host.c_str(), &cst) == 0 &&
      S_ISDIR(cst.st_mode))
    dir = cur.host;

  int e = startDetached(exe, argv, dir);
  if (e == 0) return result(33);
  if (e == ENOEXEC) return result(ERROR_BAD_FORMAT);
  if (e == EACCES) return result(ERROR_ACCESS_DENIED);
  return result(0); // the process could not be created
}

extern "C" UINT WINAPI WinExec(LPCSTR cmdLine, UINT) {
  ensureInit();
  std::string line = cmdLine ? cmdLine : "";
  recordEvent(qva::execLine(line));
  flushWritesBehind(); // the program may read what this one has written
  UINT code = execLine(line);
  if (code <= 31) noteFailedStep("exec", "WinExec", "cmdline=" + quoteText(line), code);
  return code;
}
