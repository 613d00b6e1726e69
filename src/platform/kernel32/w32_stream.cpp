// w32_fopen: C library streams on Windows paths with the Windows C runtime's
// text mode (see w32_stdio.h), built on fopencookie.
#include "machine/w32_core.h"
#include "machine/w32_prefix.h"
#include "machine/w32_host_files.h"
#include "machine/w32_path.h"
#include "w32_objects.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

using namespace w32int;

namespace {

struct Cookie {
  int fd = -1;
  bool text = false;
  HANDLE handle = nullptr; // the entry that makes the stream count as open
  // Text reading: raw bytes taken from the file and not yet delivered.
  char raw[4096];
  size_t rawStart = 0, rawEnd = 0;
  bool fileEnded = false; // read() gave 0
  bool ctrlZ = false;     // a Ctrl-Z was met: the stream has ended
  char drive = 0;
  unsigned long speed = 0; // the drive's simulated read speed (0: full)
};

// One read of the file into the raw buffer (after what is left in it).
// False after a read error (errno set).
bool refill(Cookie *c) {
  if (c->rawStart > 0) {
    memmove(c->raw, c->raw + c->rawStart, c->rawEnd - c->rawStart);
    c->rawEnd -= c->rawStart;
    c->rawStart = 0;
  }
  if (faultHit(w32::Fault::Read)) {
    errno = EIO;
    return false;
  }
  for (;;) {
    ssize_t n = read(c->fd, c->raw + c->rawEnd, sizeof c->raw - c->rawEnd);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) c->fileEnded = true;
    if (c->speed) throttleRead(c->drive, c->speed, static_cast<size_t>(n));
    c->rawEnd += static_cast<size_t>(n);
    return true;
  }
}

ssize_t cookieRead(void *cookie, char *buf, size_t size) {
  Cookie *c = static_cast<Cookie *>(cookie);
  if (!c->text) {
    if (faultHit(w32::Fault::Read)) {
      errno = EIO;
      return -1;
    }
    for (;;) {
      ssize_t n = read(c->fd, buf, size);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0 && c->speed) throttleRead(c->drive, c->speed, static_cast<size_t>(n));
      return n;
    }
  }
  size_t out = 0;
  while (out == 0 && !c->ctrlZ) {
    // A CR at the end of the raw bytes waits for the next byte, unless the
    // file has ended.
    bool needMore = c->rawStart == c->rawEnd ||
                    (c->raw[c->rawEnd - 1] == '\r' && c->rawEnd - c->rawStart == 1 && !c->fileEnded);
    if (needMore) {
      if (c->fileEnded && c->rawStart == c->rawEnd) break;
      if (!refill(c)) return -1;
      if (c->fileEnded && c->rawStart == c->rawEnd) break;
    }
    while (out < size && c->rawStart < c->rawEnd) {
      char ch = c->raw[c->rawStart];
      if (ch == 0x1A) {
        c->ctrlZ = true;
        break;
      }
      if (ch == '\r') {
        if (c->rawStart + 1 == c->rawEnd && !c->fileEnded) break; // decide after the next read
        if (c->rawStart + 1 < c->rawEnd && c->raw[c->rawStart + 1] == '\n') {
          ++c->rawStart; // CR LF: only the LF is delivered
          continue;
        }
      }
      buf[out++] = ch;
      ++c->rawStart;
    }
  }
  return static_cast<ssize_t>(out);
}


ssize_t cookieWrite(void *cookie, const char *buf, size_t size) {
  Cookie *c = static_cast<Cookie *>(cookie);
  if (faultHit(w32::Fault::Write)) {
    errno = EIO;
    return -1;
  }
  if (!c->text) return writeAll(c->fd, buf, size) ? static_cast<ssize_t>(size) : -1;
  std::string out;
  out.reserve(size + size / 8 + 1);
  for (size_t i = 0; i < size; ++i) {
    if (buf[i] == '\n') out += '\r';
    out += buf[i];
  }
  return writeAll(c->fd, out.data(), out.size()) ? static_cast<ssize_t>(size) : -1;
}

int cookieSeek(void *cookie, off64_t *pos, int whence) {
  Cookie *c = static_cast<Cookie *>(cookie);
  if (c->text) {
    errno = EINVAL; // text streams do not seek
    return -1;
  }
  off64_t r = lseek64(c->fd, *pos, whence);
  if (r < 0) return -1;
  *pos = r;
  return 0;
}

int cookieClose(void *cookie) {
  Cookie *c = static_cast<Cookie *>(cookie);
  int rc = close(c->fd);
  dropHandle(c->handle, ObjKind::Stream);
  delete c;
  return rc == 0 ? 0 : -1;
}

// A path the layer maps: one with a drive letter or a backslash.
bool isWindowsPath(const char *p) {
  if (((p[0] >= 'a' && p[0] <= 'z') || (p[0] >= 'A' && p[0] <= 'Z')) && p[1] == ':') return true;
  return strchr(p, '\\') != nullptr;
}

FILE *failOpen(DWORD winError, int err) {
  setError(winError);
  errno = err;
  return nullptr;
}

} // namespace

extern "C" FILE *w32_fopen(const char *path, const char *mode) {
  flushWritesBehind();
  if (!path || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  if (!isWindowsPath(path)) return fopen(path, mode); // a host path
  ensureInit();

  // Mode: r, w or a, then any of + t b (the runtime's extra letters are refused).
  char kind = mode[0];
  if (kind != 'r' && kind != 'w' && kind != 'a') return failOpen(ERROR_INVALID_PARAMETER, EINVAL);
  bool plus = false, binary = false, textLetter = false;
  for (const char *m = mode + 1; *m; ++m) {
    if (*m == '+' && !plus) {
      plus = true;
    } else if (*m == 'b' && !binary && !textLetter) {
      binary = true;
    } else if (*m == 't' && !binary && !textLetter) {
      textLetter = true;
    } else {
      return failOpen(ERROR_INVALID_PARAMETER, EINVAL);
    }
  }
  bool creates = kind != 'r';
  if (faultHit(creates ? w32::Fault::Create : w32::Fault::Open))
    return failOpen(creates ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION, EACCES);

  ResolvedPath r;
  DWORD err = 0;
  if (!resolvePath(path, false, &r, &err)) return failOpen(err, err == ERROR_FILENAME_EXCED_RANGE ? ENAMETOOLONG : ENOENT);
  if (r.components.empty() || r.trailingSeparator) return failOpen(ERROR_ACCESS_DENIED, EACCES);
  if (!r.parentExists) return failOpen(ERROR_PATH_NOT_FOUND, ENOENT);
  if (r.escapes) return failOpen(ERROR_ACCESS_DENIED, EACCES); // a link that leaves the drive
  struct stat st;
  bool exists = r.exists && stat(r.host.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return failOpen(ERROR_ACCESS_DENIED, EACCES);
  if (!exists && kind == 'r') return failOpen(ERROR_FILE_NOT_FOUND, ENOENT);
  if (exists && !S_ISREG(st.st_mode)) return failOpen(ERROR_ACCESS_DENIED, EACCES); // only regular files
  bool writes = creates || plus;
  if (writes && r.readOnly) return failOpen(ERROR_WRITE_PROTECT, EROFS);
  if (exists && writes && !(st.st_mode & S_IWUSR)) return failOpen(ERROR_ACCESS_DENIED, EACCES); // read-only

  int flags = plus ? O_RDWR : kind == 'r' ? O_RDONLY : O_WRONLY;
  if (kind == 'w') flags |= O_CREAT | O_TRUNC;
  if (kind == 'a') flags |= O_CREAT | O_APPEND;
  int fd = openFileInDrive(r, flags, 0666);
  if (fd < 0) {
    int e = errno;
    return failOpen(errnoToWin(e), e);
  }
  bool text = !binary;
  if (text && kind == 'a' && plus) {
    // The runtime drops a Ctrl-Z that ends a file opened with "a+".
    off_t size = lseek(fd, 0, SEEK_END);
    char last = 0;
    if (size > 0 && pread(fd, &last, 1, size - 1) == 1 && last == 0x1A && ftruncate(fd, size - 1) != 0) {
      // Left as it is when the file cannot be shortened.
    }
  }

  Cookie *c = new Cookie;
  c->fd = fd;
  c->text = text;
  c->drive = r.drive;
  if (kind == 'r' || plus) c->speed = driveSpeed(r.drive);
  auto obj = std::make_shared<StreamObject>();
  struct stat fst;
  if (fstat(fd, &fst) == 0) {
    obj->dev = fst.st_dev;
    obj->ino = fst.st_ino;
  }
  obj->canWrite = writes;
  c->handle = addHandle(obj);
  cookie_io_functions_t io;
  io.read = kind == 'r' || plus ? cookieRead : nullptr;
  io.write = writes ? cookieWrite : nullptr;
  io.seek = cookieSeek;
  io.close = cookieClose;
  // The C library's own mode letters, without t: the cookie translates.
  char cmode[4] = {kind, 0, 0, 0};
  if (plus) cmode[1] = '+';
  FILE *f = fopencookie(c, cmode, io);
  if (!f) {
    int e = errno;
    cookieClose(c);
    return failOpen(ERROR_NOT_ENOUGH_MEMORY, e);
  }
  setError(NO_ERROR);
  return f;
}
