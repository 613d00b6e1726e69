#include "replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool writeReplacing(const std::string &path, mode_t mode, const std::function<bool(int fd)> &fill,
                    std::string *error) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
    temp = dir + "/." + base + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = "cannot create a temporary file in " + dir + ": " + strerror(errno);
    return false;
  }
  bool ok = fill(fd);
  int saved = errno;
  mode_t mask = umask(0);
  umask(mask);
  ok = fchmod(fd, mode & ~mask) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  *error = "cannot write " + path + ": " + strerror(ok ? errno : saved ? saved : EIO);
  unlink(temp.c_str());
  return false;
}

bool writeReplacing(const std::string &path, mode_t mode, const void *data, size_t size, std::string *error) {
  return writeReplacing(path, mode, [&](int fd) { return writeAllTo(fd, data, size); }, error);
}

bool writeReplacingStream(const std::string &path, mode_t mode, const std::function<bool(std::FILE *out)> &fill,
                          std::string *error) {
  return writeReplacing(
      path, mode,
      [&](int fd) {
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
