// DeleteFileA, CopyFileA, RemoveDirectoryA, GetWindowsDirectoryA, and the
// host-file helpers shared by the profile, registry and Program Manager code.
#include "w32_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

using namespace w32int;

namespace {

bool sameFile(const struct stat &st, dev_t dev, ino_t ino) { return st.st_dev == dev && st.st_ino == ino; }


// A temporary name beside host, unique within the machine.
std::string tempNameBeside(const std::string &host) {
  static std::atomic<unsigned> serial{0};
  std::string dir = host.substr(0, host.rfind('/') + 1);
  return dir + ".w32tmp." + std::to_string(static_cast<long>(getpid())) + "." + std::to_string(serial++);
}

} // namespace

namespace w32int {

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

bool hostFileInUse(const std::string &hostPath) {
  struct stat st;
  if (stat(hostPath.c_str(), &st) != 0) return false;
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  for (const auto &h : s.handles) {
    if (h.second->kind == ObjKind::File) {
      const FileObject &f = static_cast<const FileObject &>(*h.second);
      if (sameFile(st, f.dev, f.ino)) return true;
    } else if (h.second->kind == ObjKind::Stream) {
      const StreamObject &f = static_cast<const StreamObject &>(*h.second);
      if (sameFile(st, f.dev, f.ino)) return true;
    }
  }
  return false;
}

const char *windowsDirectory() { return "C:\\WINDOWS"; }

bool profileHostPath(const char *fileName, ResolvedPath *out, DWORD *err) {
  flushWritesBehind();
  if (!fileName || !*fileName) {
    *err = ERROR_FILE_NOT_FOUND;
    return false;
  }
  // A name without a directory is looked for in the Windows directory.
  if (!strpbrk(fileName, "\\/:")) {
    std::string full = std::string(windowsDirectory()) + "\\" + fileName;
    return resolvePath(full.c_str(), false, out, err);
  }
  return resolvePath(fileName, false, out, err);
}

bool replaceHostFile(const std::string &host, const std::string &bytes) {
  mode_t mode = 0666;
  struct stat st;
  bool existed = stat(host.c_str(), &st) == 0;
  if (existed) mode = st.st_mode & 07777;
  std::string temp = tempNameBeside(host);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, existed ? mode : 0666);
  if (fd < 0) return false;
  bool ok = writeAll(fd, bytes.data(), bytes.size());
  int saved = errno;
  if (ok && existed && fchmod(fd, mode) != 0) {
    // Keeping the bits is best effort (a file of another owner).
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temp.c_str(), host.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    errno = saved;
  }
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

int openPrefixFile(const std::string &path) {
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

int readPrefixFile(const std::string &path, std::string *out) {
  out->clear();
  int fd = openPrefixFile(path);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  int err = readPrefixFd(fd, out);
  close(fd);
  return err;
}

HostFileLock::HostFileLock(const std::string &lockPath, bool exclusive) {
  fd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) return;
  while (flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno != EINTR) {
      close(fd_);
      fd_ = -1;
      return;
    }
  }
}

HostFileLock::~HostFileLock() {
  if (fd_ >= 0) close(fd_); // closing releases the lock
}

} // namespace w32int

namespace {

// Resolves a path that must name an existing file or directory's parent.
bool resolveExisting(LPCSTR path, ResolvedPath *r) {
  DWORD err = 0;
  if (!resolvePath(path, false, r, &err)) {
    setError(err);
    return false;
  }
  if (r->components.empty()) {
    setError(ERROR_ACCESS_DENIED); // a drive root
    return false;
  }
  if (!r->parentExists) {
    setError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

} // namespace

extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  ensureInit();
  UINT length = static_cast<UINT>(strlen(windowsDirectory()));
  // Too small a buffer: the size needed, terminator included; nothing written.
  if (!buffer || size <= length) return length + 1;
  memcpy(buffer, windowsDirectory(), length + 1);
  return length;
}

// What DeleteFileA and RemoveDirectoryA share: the fault check, the path
// and the entry it names (not followed if a link); false with the error set.
static bool findToRemove(LPCSTR path, ResolvedPath *r, struct stat *st) {
  ensureInit();
  if (faultHit(w32::Fault::Directory)) {
    setError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (!resolveExisting(path, r)) return false;
  if (!r->exists || lstat(r->host.c_str(), st) != 0) {
    setError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  return true;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR path) {
  ResolvedPath r;
  struct stat st;
  if (!findToRemove(path, &r, &st)) return FALSE;
  if (S_ISDIR(st.st_mode) || r.trailingSeparator) {
    setError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // A read-only file is not deleted; nor is one this process has open.
  if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    setError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (hostFileInUse(r.host)) {
    setError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (unlink(r.host.c_str()) != 0) {
    setError(errnoToWin(errno));
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryA(LPCSTR path) {
  ResolvedPath r;
  struct stat st;
  if (!findToRemove(path, &r, &st)) return FALSE;
  if (!S_ISDIR(st.st_mode)) {
    setError(ERROR_DIRECTORY);
    return FALSE;
  }
  std::string current;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    current = s.currentDir;
  }
  if (equalsNoCase(current, r.windows) || equalsNoCase(current, r.windows + "\\")) {
    setError(ERROR_SHARING_VIOLATION); // the process's current directory
    return FALSE;
  }
  if (rmdir(r.host.c_str()) != 0) {
    setError(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : errnoToWin(errno));
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  ensureInit();
  flushWritesBehind();
  if (faultHit(w32::Fault::Create)) {
    setError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  ResolvedPath src, dst;
  if (!resolveExisting(from, &src)) return FALSE;
  struct stat sst;
  if (!src.exists || stat(src.host.c_str(), &sst) != 0) {
    setError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (S_ISDIR(sst.st_mode)) {
    setError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!resolveExisting(to, &dst)) return FALSE;
  struct stat dstst;
  bool targetExists = dst.exists && stat(dst.host.c_str(), &dstst) == 0;
  if (targetExists) {
    if (failIfExists) {
      setError(ERROR_FILE_EXISTS);
      return FALSE;
    }
    if (S_ISDIR(dstst.st_mode) || !(dstst.st_mode & S_IWUSR)) {
      setError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (sameFile(dstst, sst.st_dev, sst.st_ino) || hostFileInUse(dst.host)) {
      setError(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
  }
  int in = open(src.host.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    setError(errnoToWin(errno));
    return FALSE;
  }
  unsigned long speed = driveSpeed(src.drive);
  std::string bytes;
  char block[65536];
  for (;;) {
    ssize_t n = read(in, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(in);
      setError(e == EIO ? ERROR_READ_FAULT : errnoToWin(e));
      return FALSE;
    }
    if (n == 0) break;
    if (speed) throttleRead(src.drive, speed, static_cast<size_t>(n));
    bytes.append(block, static_cast<size_t>(n));
  }
  close(in);
  // The copy is written beside the target and renamed over it: a failure
  // leaves an existing target as it was.
  std::string temp = tempNameBeside(dst.host);
  int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    setError(errnoToWin(errno));
    return FALSE;
  }
  bool ok = writeAll(out, bytes.data(), bytes.size());
  int e = errno;
  // The copy keeps the source's last-write time and read-only attribute.
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = sst.st_mtim;
  if (ok) futimens(out, times);
  if (ok && !(sst.st_mode & S_IWUSR)) fchmod(out, sst.st_mode & 0555);
  if (close(out) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (ok && rename(temp.c_str(), dst.host.c_str()) != 0) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    setError(e == ENOSPC ? ERROR_DISK_FULL : errnoToWin(e));
    return FALSE;
  }
  return TRUE;
}
