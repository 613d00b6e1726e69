// A drive is a jail: what the layer opens, creates or removes on a drive is
// reached from the drive's host directory one component at a time, never
// through a link (resolvePath has already followed the links that stay
// beneath the drive, so a path it gives has none).  A link put in the way
// meanwhile, or a path that is not beneath the drive, fails with EACCES.
// Only regular files and directories are files: a FIFO, socket or device
// is refused (EACCES) before it is opened, and again after, without ever
// waiting on it.
#include "w32_internal.h"

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
  int dir = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
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
  int fd = openat(dir, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  int e = errno;
  close(dir);
  if (fd < 0) return refuse(e == ELOOP || e == ENXIO ? EACCES : e);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return refuse(EACCES);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int openDirInDrive(const ResolvedPath &r, const std::string &hostDir) {
  if (hostDir == r.hostRoot) return open(hostDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
