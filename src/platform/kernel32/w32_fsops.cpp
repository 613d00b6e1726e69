// DeleteFileA, CopyFileA, RemoveDirectoryA, GetWindowsDirectoryA, and what
// kernel32's other calls ask of the files open and the Windows directory.
#include "machine/w32_core.h"
#include "machine/w32_prefix.h"
#include "machine/w32_host_files.h"
#include "machine/w32_path.h"
#include "w32_objects.h"
#include "w32_fsops.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

using namespace w32int;

namespace {

bool sameFile(const struct stat &st, dev_t dev, ino_t ino) { return st.st_dev == dev && st.st_ino == ino; }

} // namespace

namespace w32int {

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
