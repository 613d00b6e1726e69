#include "output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

bool writeAllTo(int fd, const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

namespace {

// --- temporaries removed on a signal ----------------------------------------

// Plain arrays, so that the handler needs nothing but unlink and rmdir.
constexpr int kSlots = 64;
char slotPaths[kSlots][PATH_MAX];
volatile sig_atomic_t slotState[kSlots];  // 0 free, 1 a file, 2 a directory

void removeTemporariesAndDie(int signal) {
  for (int pass = 1; pass <= 2; pass++) {
    for (int i = kSlots - 1; i >= 0; i--) {
      if (slotState[i] != pass) continue;
      if (pass == 1) {
        unlink(slotPaths[i]);
      } else {
        rmdir(slotPaths[i]);
      }
      slotState[i] = 0;
    }
  }
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void installHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;  // as nohup left it
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = removeTemporariesAndDie;
    sigfillset(&action.sa_mask);
    sigaction(s, &action, nullptr);
  }
}

// INT, TERM and HUP wait while a temporary is made and registered, so that
// none is made that the handler does not know of.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, s);
    sigprocmask(SIG_BLOCK, &held, &before_);
  }
  ~HeldSignals() { sigprocmask(SIG_SETMASK, &before_, nullptr); }

 private:
  sigset_t before_;
};

// --- what lies at an output path ---------------------------------------------

bool readOnly(const std::string &path, const struct stat &info) {
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return true;
  return geteuid() == 0 && (info.st_mode & 0222) == 0;  // root may write anything: the bits say
}

int openDirect(const OutputTarget &target, std::string *error) {
  int fd;
  if (S_ISSOCK(target.old.st_mode)) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (target.path.size() >= sizeof address.sun_path) {
      *error = "cannot connect to the socket " + target.path + ": its name is too long";
      return -1;
    }
    memcpy(address.sun_path, target.path.c_str(), target.path.size());
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      fd = -1;
    }
  } else {
    fd = open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  }
  if (fd < 0) *error = "cannot write " + target.path + ": " + strerror(errno);
  return fd;
}

// The new file takes the old one's owner and mode (the owner first, since
// a change of owner clears setuid), or the mode asked for less the umask.
bool applyModeAndOwner(int fd, const struct stat *from, mode_t mode) {
  if (!from) {
    mode_t mask = umask(0);
    umask(mask);
    return fchmod(fd, mode & ~mask) == 0;
  }
  if (fchown(fd, from->st_uid, from->st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), from->st_gid) != 0) {
    // Not the user's to give: the file stays theirs.
  }
  return fchmod(fd, from->st_mode & 07777) == 0;
}

const char *kindName(mode_t mode) {
  return S_ISLNK(mode)    ? "a symbolic link"
         : S_ISDIR(mode)  ? "a directory"
         : S_ISFIFO(mode) ? "a FIFO"
         : S_ISSOCK(mode) ? "a socket"
                          : "a device";
}

}  // namespace

std::string directoryOf(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string temporaryName(const std::string &dir, const std::string &base, int attempt) {
  return dir + "/." + base + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
}

void registerTemporary(const std::string &path, bool directory) {
  installHandlers();
  if (path.size() >= PATH_MAX) return;
  for (int i = 0; i < kSlots; i++) {
    if (slotState[i] != 0) continue;
    memcpy(slotPaths[i], path.c_str(), path.size() + 1);
    slotState[i] = directory ? 2 : 1;
    return;
  }
}

void unregisterTemporary(const std::string &path) {
  for (int i = 0; i < kSlots; i++) {
    if (slotState[i] != 0 && path == slotPaths[i]) slotState[i] = 0;
  }
}

bool resolveOutput(const std::string &path, const OutputOptions &options, OutputTarget *target, std::string *error) {
  std::string at = path;
  for (int links = 0;; links++) {
    struct stat info;
    if (lstat(at.c_str(), &info) != 0) {
      if (errno != ENOENT) {
        *error = "cannot write " + at + ": " + strerror(errno);
        return false;
      }
      target->path = at;  // nothing there, or what a dangling link names
      target->kind = OutputKind::New;
      return true;
    }
    if (options.filesOnly && !S_ISREG(info.st_mode)) {
      *error = "will not write " + at + ": it is " + kindName(info.st_mode) + ", not a regular file";
      return false;
    }
    if (S_ISLNK(info.st_mode)) {
      if (links >= 40) {
        *error = "cannot write " + path + ": too many levels of symbolic links";
        return false;
      }
      std::vector<char> text(static_cast<size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) + 1);
      ssize_t n = readlink(at.c_str(), text.data(), text.size() - 1);
      if (n < 0) {
        *error = "cannot read the link " + at + ": " + strerror(errno);
        return false;
      }
      std::string next(text.data(), static_cast<size_t>(n));
      at = next[0] == '/' ? next : directoryOf(at) + "/" + next;
      continue;
    }
    target->path = at;
    target->old = info;
    if (S_ISREG(info.st_mode)) {
      if (!options.force && readOnly(at, info)) {
        *error = (at == path ? "" : "it leads to " + at + ", which ") + std::string("is read-only (-f or --force replaces it)");
        return false;
      }
      target->kind = OutputKind::Regular;
      return true;
    }
    if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
      target->kind = OutputKind::Direct;
      return true;
    }
    *error = "will not write " + at + ": " + (S_ISDIR(info.st_mode) ? "it is a directory" : "it is a block device");
    return false;
  }
}

bool writeOutput(const std::string &path, const OutputOptions &options, const std::function<bool(int fd)> &fill,
                 std::string *error) {
  error->clear();
  OutputTarget target;
  if (!resolveOutput(path, options, &target, error)) return false;
  if (target.kind == OutputKind::Direct) {
    int fd = openDirect(target, error);
    if (fd < 0) return false;
    bool ok = fill(fd);
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (!ok && error->empty()) *error = "cannot write " + target.path + ": " + strerror(saved ? saved : EIO);
    return ok;
  }
  const std::string dir = directoryOf(target.path), base = baseNameOf(target.path);
  std::string temp;
  int fd = -1;
  {
    HeldSignals held;
    installHandlers();
    for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
      temp = temporaryName(dir, base, attempt);
      fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd >= 0) registerTemporary(temp);
  }
  if (fd < 0) {
    *error = "cannot create a temporary file in " + dir + ": " + strerror(errno);
    return false;
  }
  errno = 0;
  bool ok = fill(fd);
  int saved = errno;
  const struct stat *from = target.kind == OutputKind::Regular ? &target.old : nullptr;
  ok = applyModeAndOwner(fd, from, options.mode) && ok;
  ok = close(fd) == 0 && ok;
  if (ok) {
    HeldSignals held;
    if (rename(temp.c_str(), target.path.c_str()) == 0) {
      unregisterTemporary(temp);
      return true;
    }
  }
  if (error->empty()) *error = "cannot write " + target.path + ": " + strerror(ok ? errno : saved ? saved : EIO);
  unlink(temp.c_str());
  unregisterTemporary(temp);
  return false;
}

bool writeOutputStream(const std::string &path, const OutputOptions &options, bool seeks,
                       const std::function<bool(std::FILE *out)> &fill, std::string *error) {
  return writeOutput(
      path, options,
      [&](int fd) {
        struct stat info;
        bool direct = fstat(fd, &info) == 0 && !S_ISREG(info.st_mode);
        if (direct && seeks) {
          // Written out of order into a file of its own, then copied in order.
          std::FILE *spool = std::tmpfile();
          if (!spool) return false;
          bool ok = fill(spool) && std::fflush(spool) == 0 && std::fseek(spool, 0, SEEK_SET) == 0;
          std::vector<char> buffer(1 << 16);
          size_t n;
          while (ok && (n = std::fread(buffer.data(), 1, buffer.size(), spool)) > 0) {
            ok = writeAllTo(fd, buffer.data(), n);
          }
          ok = ok && !std::ferror(spool);
          std::fclose(spool);
          return ok;
        }
        int own = dup(fd);  // the stream closes its own descriptor
        std::FILE *out = own < 0 ? nullptr : fdopen(own, "wb");
        if (!out) {
          if (own >= 0) close(own);
          return false;
        }
        bool ok = fill(out);
        return std::fclose(out) == 0 && ok;
      },
      error);
}
