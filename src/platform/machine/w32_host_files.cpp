// Host files written whole or safely: a file replaced by a new one renamed
// over it, a file with other names made one of its own before it is
// written, a prefix file read whole from its descriptor.  Shared by the
// profile, registry, Program Manager and front-end code.
#include "w32_host_files.h"
#include "w32_prefix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace w32int {

std::string tempNameBeside(const std::string &host) {
  static std::atomic<unsigned> serial{0};
  std::string dir = host.substr(0, host.rfind('/') + 1);
  return dir + ".w32tmp." + std::to_string(static_cast<long>(getpid())) + "." + std::to_string(serial++);
}

bool writeAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool replaceFileAt(int dirFd, const std::string &name, const std::string &bytes, mode_t newMode) {
  mode_t mode = newMode ? newMode : 0666;
  struct stat st;
  bool existed = fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (existed && !S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
    return false;
  }
  if (existed) mode = st.st_mode & 07777;
  std::string temp = tempNameBeside(name);
  int fd = openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, existed ? mode : 0666);
  if (fd < 0) return false;
  bool ok = writeAll(fd, bytes.data(), bytes.size());
  int saved = errno;
  if (ok && (existed || newMode) && fchmod(fd, mode) != 0) {
    // Keeping the bits is best effort (a file of another owner).
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlinkat(dirFd, temp.c_str(), 0);
    errno = saved;
  }
  return ok;
}

bool replaceHostFile(const std::string &host, const std::string &bytes) {
  size_t slash = host.rfind('/');
  std::string dir = slash == 0 ? "/" : host.substr(0, slash);
  int dirFd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return false;
  bool ok = replaceFileAt(dirFd, host.substr(slash + 1), bytes);
  int e = errno;
  close(dirFd);
  errno = e;
  return ok;
}

int readPrefixFd(int fd, std::string *out) {
  out->clear();
  struct stat st;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  } else if (st.st_size > kPrefixFileCap) {
    err = EFBIG;
  } else {
    out->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < out->size()) {
      ssize_t n = pread(fd, &(*out)[got], out->size() - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        err = errno;
        break;
      }
      if (n == 0) break; // shrank meanwhile
      got += static_cast<size_t>(n);
    }
    out->resize(got); // no more than the size seen: a file that grows meanwhile is not followed
  }
  if (err) out->clear();
  return err;
}

int unshareFileAt(int dirFd, const std::string &name, int fd, int flags) {
  struct stat st, from;
  if (fstat(fd, &st) != 0) return -1;
  // What the file holds is read through a descriptor of its own (fd may be
  // open for writing only), which must be the same file.
  int in = -1;
  if (!(flags & O_TRUNC)) {
    in = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in >= 0 && (fstat(in, &from) != 0 || from.st_dev != st.st_dev || from.st_ino != st.st_ino)) {
      close(in);
      errno = EACCES;
      return -1;
    }
    if (in < 0) return -1;
  }
  std::string temp = tempNameBeside(name);
  int out = openat(dirFd, temp.c_str(), (flags & (O_ACCMODE | O_APPEND)) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) {
    if (in >= 0) close(in);
    return -1;
  }
  bool ok = true;
  char block[65536];
  for (off_t at = 0; ok && in >= 0;) {
    ssize_t n = pread(in, block, sizeof block, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = writeAll(out, block, static_cast<size_t>(n));
    at += n;
  }
  int saved = errno;
  if (in >= 0) close(in);
  if (ok) {
    if ((st.st_uid != geteuid() || st.st_gid != getegid()) && fchown(out, st.st_uid, st.st_gid) != 0) {
      // Another user's file becomes this user's: its owner cannot be kept.
    }
    fchmod(out, st.st_mode & 07777);
    lseek(out, 0, SEEK_SET);
  }
  if (ok && renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlinkat(dirFd, temp.c_str(), 0);
    close(out);
    errno = saved;
    return -1;
  }
  return out;
}

} // namespace w32int
