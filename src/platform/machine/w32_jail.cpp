// A drive is a jail: what the layer opens, creates or removes on a drive is
// reached from the drive's host directory one component at a time, never
// through a link (resolvePath has already followed the links that stay
// beneath the drive, so a path it gives has none).  A link put in the way
// meanwhile, or a path that is not beneath the drive, fails with EACCES.
// Only regular files and directories are files: a FIFO, socket or device
// is refused (EACCES) before it is opened, and again after, without ever
// waiting on it.  Nor is a file written through another name: one with
// other hard links becomes a file of its own before it is written.
#include "w32_prefix.h"
#include "w32_host_files.h"
#include "w32_path.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace w32int {

namespace {

bool beneathRoot(const std::string &path, const std::string &root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

int refuse(int e) {
  errno = e;
  return -1;
}

} // namespace

int jailParent(const std::string &root, const std::string &host, std::string *name) {
  if (!beneathRoot(host, root)) return refuse(EACCES);
  std::string rel = host.substr(root == "/" ? 1 : root.size() + 1);
  int dir = openHostDir(root);
  if (dir < 0) return -1;
  size_t start = 0;
  for (;;) {
    size_t slash = rel.find('/', start);
    if (slash == std::string::npos) break;
    std::string part = rel.substr(start, slash - start);
    start = slash + 1;
    if (part.empty()) continue;
    int next = openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int e = errno;
    close(dir);
    if (next < 0) return refuse(e == ELOOP ? EACCES : e);
    dir = next;
  }
  *name = rel.substr(start);
  if (name->empty() || *name == "." || *name == "..") {
    close(dir);
    return refuse(EACCES);
  }
  return dir;
}

int openFileInDrive(const ResolvedPath &r, int flags, mode_t mode) {
  if (r.escapes) return refuse(EACCES);
  std::string name;
  int dir = jailParent(r.hostRoot, r.host, &name);
  if (dir < 0) return -1;
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
    close(dir);
    return refuse(S_ISDIR(st.st_mode) ? EISDIR : EACCES);
  }
  // Truncated below, once the file is known to be this name's alone.
  int fd = openat(dir, name.c_str(), (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  int e = errno;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
    e = EACCES;
  }
  if (fd >= 0 && (flags & O_ACCMODE) != O_RDONLY && st.st_nlink > 1) {
    int own = unshareFileAt(dir, name, fd, flags);
    e = errno;
    close(fd);
    fd = own;
  } else if (fd >= 0 && (flags & O_TRUNC) && ftruncate(fd, 0) != 0) {
    e = errno;
    close(fd);
    fd = -1;
  }
  close(dir);
  if (fd < 0) return refuse(e == ELOOP || e == ENXIO ? EACCES : e);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int openDirInDrive(const ResolvedPath &r, const std::string &hostDir) {
  if (hostDir == r.hostRoot) return openHostDir(hostDir, true);
  std::string name;
  int dir = jailParent(r.hostRoot, hostDir, &name);
  if (dir < 0) return -1;
  int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int e = errno;
  close(dir);
  return fd < 0 ? refuse(e == ELOOP ? EACCES : e) : fd;
}

bool replaceFileInDrive(const ResolvedPath &r, const std::string &bytes) {
  std::string name;
  int dir = jailParent(r.hostRoot, r.host, &name);
  if (dir < 0) return false;
  bool ok = replaceFileAt(dir, name, bytes);
  int e = errno;
  close(dir);
  errno = e;
  return ok;
}

} // namespace w32int
