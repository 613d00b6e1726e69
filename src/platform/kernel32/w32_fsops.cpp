// DeleteFileA, CopyFileA, RemoveDirectoryA, GetWindowsDirectoryA, and the
// host-file helpers shared by the profile, registry and Program Manager code.
#include "w32_internal.h"

#include <errno.h>
#include <fcntl.h>
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

bool hostFileInUse(dev_t dev, ino_t ino) {
  struct stat st;
  st.st_dev = dev;
  st.st_ino = ino;
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

// What DeleteFileA and RemoveDirectoryA share: the fault check, the path,
// and the entry it names (not followed if a link), reached through the
// drive's jail: *dir holds it under *name.  False with the error set.
static bool findToRemove(LPCSTR path, ResolvedPath *r, int *dir, std::string *name, struct stat *st) {
  ensureInit();
  if (faultHit(w32::Fault::Directory)) {
    setError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (!resolveExisting(path, r)) return false;
  if (!r->exists) {
    setError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (r->readOnly) {
    setError(ERROR_WRITE_PROTECT);
    return false;
  }
  *dir = jailParent(r->hostRoot, r->entry, name);
  if (*dir < 0) {
    setError(errnoToWin(errno));
    return false;
  }
  if (fstatat(*dir, name->c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
    close(*dir);
    setError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  return true;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR path) {
  ResolvedPath r;
  int dir = -1;
  std::string name;
  struct stat st;
  if (!findToRemove(path, &r, &dir, &name, &st)) return FALSE;
  DWORD error = NO_ERROR;
  if (S_ISDIR(st.st_mode) || r.trailingSeparator) {
    error = ERROR_ACCESS_DENIED;
  } else if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    error = ERROR_ACCESS_DENIED; // a read-only file is not deleted
  } else if (!S_ISLNK(st.st_mode) && hostFileInUse(st.st_dev, st.st_ino)) {
    error = ERROR_SHARING_VIOLATION; // nor is one this process has open
  } else if (unlinkat(dir, name.c_str(), 0) != 0) {
    error = errnoToWin(errno);
  }
  close(dir);
  if (error != NO_ERROR) {
    setError(error);
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryA(LPCSTR path) {
  ResolvedPath r;
  int dir = -1;
  std::string name;
  struct stat st;
  if (!findToRemove(path, &r, &dir, &name, &st)) return FALSE;
  std::string current;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    current = s.currentDir;
  }
  DWORD error = NO_ERROR;
  if (!S_ISDIR(st.st_mode)) {
    error = ERROR_DIRECTORY;
  } else if (equalsNoCase(current, r.windows) || equalsNoCase(current, r.windows + "\\")) {
    error = ERROR_SHARING_VIOLATION; // the process's current directory
  } else if (unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) {
    error = errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : errnoToWin(errno);
  }
  close(dir);
  if (error != NO_ERROR) {
    setError(error);
    return FALSE;
  }
  return TRUE;
}

// Reads a whole source file through its descriptor at the drive's speed.
static bool readWhole(int in, char drive, std::string *bytes, DWORD *error) {
  unsigned long speed = driveSpeed(drive);
  char block[65536];
  for (;;) {
    ssize_t n = read(in, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno == EIO ? ERROR_READ_FAULT : errnoToWin(errno);
      return false;
    }
    if (n == 0) return true;
    if (speed) throttleRead(drive, speed, static_cast<size_t>(n));
    bytes->append(block, static_cast<size_t>(n));
  }
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
  if (!src.exists) {
    setError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  int in = openFileInDrive(src, O_RDONLY, 0);
  if (in < 0) {
    setError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : errnoToWin(errno));
    return FALSE;
  }
  struct stat sst;
  fstat(in, &sst);
  if (!resolveExisting(to, &dst)) {
    close(in);
    return FALSE;
  }
  if (dst.readOnly) {
    close(in);
    setError(ERROR_WRITE_PROTECT);
    return FALSE;
  }
  std::string name;
  int dir = dst.escapes ? -1 : jailParent(dst.hostRoot, dst.host, &name);
  if (dir < 0) {
    close(in);
    setError(dst.escapes ? ERROR_ACCESS_DENIED : errnoToWin(errno));
    return FALSE;
  }
  DWORD error = NO_ERROR;
  struct stat dstst;
  if (fstatat(dir, name.c_str(), &dstst, AT_SYMLINK_NOFOLLOW) == 0) {
    if (failIfExists) {
      error = ERROR_FILE_EXISTS;
    } else if (!S_ISREG(dstst.st_mode) || !(dstst.st_mode & S_IWUSR)) {
      error = ERROR_ACCESS_DENIED;
    } else if (sameFile(dstst, sst.st_dev, sst.st_ino) || hostFileInUse(dstst.st_dev, dstst.st_ino)) {
      error = ERROR_SHARING_VIOLATION;
    }
  }
  std::string bytes;
  if (error == NO_ERROR) readWhole(in, src.drive, &bytes, &error);
  close(in);
  if (error != NO_ERROR) {
    close(dir);
    setError(error);
    return FALSE;
  }
  // The copy is written beside the target and renamed over it: a failure
  // leaves an existing target as it was.
  std::string temp = tempNameBeside(name);
  int out = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  bool ok = out >= 0 && writeAll(out, bytes.data(), bytes.size());
  int e = errno;
  if (out >= 0) {
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
  }
  if (ok && renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
    ok = false;
    e = errno;
  }
  if (!ok && out >= 0) unlinkat(dir, temp.c_str(), 0);
  close(dir);
  if (!ok) {
    setError(errnoToWin(e));
    return FALSE;
  }
  return TRUE;
}
