// OpenFile, ReadFile, WriteFile, SetFilePointer, GetFileTime, SetFileTime,
// CloseHandle over POSIX file descriptors.
#include "machine/w32_core.h"
#include "machine/w32_prefix.h"
#include "machine/w32_path.h"
#include "w32_objects.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

using namespace w32int;

namespace {

std::shared_ptr<FileObject> fileFrom(HANDLE h) {
  return std::static_pointer_cast<FileObject>(findHandle(h, ObjKind::File));
}

// The in-process share check of Win32: an open is refused when it wants an
// access that an earlier open of the same file denies, or denies an access
// that an earlier open holds.  Called with the state mutex held.
bool shareConflict(const State &s, dev_t dev, ino_t ino, bool wantRead, bool wantWrite, bool denyRead,
                   bool denyWrite) {
  for (const auto &h : s.handles) {
    if (h.second->kind != ObjKind::File) continue;
    const FileObject &o = static_cast<const FileObject &>(*h.second);
    if (o.dev != dev || o.ino != ino) continue;
    if ((o.denyRead && wantRead) || (o.denyWrite && wantWrite) || (denyRead && o.canRead) ||
        (denyWrite && o.canWrite))
      return true;
  }
  return false;
}

} // namespace

extern "C" HFILE WINAPI OpenFile(LPCSTR lpFileName, LPOFSTRUCT ofs, UINT style) {
  ensureInit();
  if (ofs) {
    memset(ofs, 0, sizeof *ofs);
    ofs->cBytes = static_cast<BYTE>(sizeof *ofs);
  }
  auto fail = [ofs](DWORD e) {
    setError(e);
    if (ofs) ofs->nErrCode = static_cast<WORD>(e);
    return HFILE_ERROR;
  };
  const UINT supported = 0x3 | 0x70 | OF_CREATE | OF_EXIST;
  UINT access = style & 0x3;
  if ((style & ~supported) || access == 0x3 || (style & 0x70) > OF_SHARE_DENY_NONE)
    return fail(ERROR_INVALID_PARAMETER);
  bool create = (style & OF_CREATE) != 0;
  if (faultHit(create ? w32::Fault::Create : w32::Fault::Open))
    return fail(create ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);

  ResolvedPath r;
  DWORD err = 0;
  if (!resolvePath(lpFileName, false, &r, &err)) return fail(err);
  if (r.windows.size() >= OFS_MAXPATHNAME) return fail(ERROR_FILENAME_EXCED_RANGE);
  if (ofs) {
    memcpy(ofs->szPathName, r.windows.c_str(), r.windows.size() + 1);
    ofs->fFixedDisk = r.drive != 'a' && r.drive != 'b';
  }
  if (r.components.empty() || r.trailingSeparator) return fail(r.exists ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
  if (!r.parentExists) return fail(ERROR_PATH_NOT_FOUND);
  flushWritesBehind();  // another handle may hold back bytes of this file
  // A link that leaves the drive, a FIFO, a socket or a device cannot be
  // opened: only regular files are files.
  if (r.escapes) return fail(ERROR_ACCESS_DENIED);
  struct stat st;
  bool exists = r.exists && stat(r.host.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return fail(ERROR_ACCESS_DENIED);
  if (!exists && !create) return fail(ERROR_FILE_NOT_FOUND);
  if (exists && !S_ISREG(st.st_mode)) return fail(ERROR_ACCESS_DENIED);
  if (style & OF_EXIST) {
    if (!exists) return fail(ERROR_FILE_NOT_FOUND);
    setError(NO_ERROR);
    return 1;
  }

  bool wantRead = create || access != OF_WRITE;
  bool wantWrite = create || access != OF_READ;
  if (wantWrite && r.readOnly) return fail(ERROR_WRITE_PROTECT);
  // The read-only attribute is the owner's missing write bit.  It refuses
  // writing even to root, as the attribute does on Windows.
  if (exists && wantWrite && !(st.st_mode & S_IWUSR)) return fail(ERROR_ACCESS_DENIED);
  // A slow drive's speed is looked up once, here, not on every read.
  unsigned long speed = wantRead ? driveSpeed(r.drive) : 0;
  UINT share = style & 0x70;
  bool denyRead = share == OF_SHARE_EXCLUSIVE || share == OF_SHARE_DENY_READ;
  bool denyWrite = share == OF_SHARE_EXCLUSIVE || share == OF_SHARE_DENY_WRITE;

  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  if (exists && shareConflict(s, st.st_dev, st.st_ino, wantRead, wantWrite, denyRead, denyWrite))
    return fail(ERROR_SHARING_VIOLATION);
  int flags = wantRead && wantWrite ? O_RDWR : wantWrite ? O_WRONLY : O_RDONLY;
  if (create) flags |= O_CREAT | O_TRUNC;
  int fd = openFileInDrive(r, flags, 0666);
  if (fd < 0) return fail(errnoToWin(errno));
  auto f = std::make_shared<FileObject>();
  f->fd = fd;
  f->canRead = wantRead;
  f->canWrite = wantWrite;
  f->denyRead = denyRead;
  f->denyWrite = denyWrite;
  struct stat fst;
  if (fstat(fd, &fst) == 0) {
    f->dev = fst.st_dev;
    f->ino = fst.st_ino;
  }
  f->windowsPath = r.windows;
  f->drive = r.drive;
  f->speed = speed;
  intptr_t id = s.nextHandle;
  s.nextHandle += 4;
  if (s.nextHandle > 0x3ffffff0) s.nextHandle = 0x100;
  s.handles[id] = f;
  setError(NO_ERROR);
  return static_cast<HFILE>(id);
}

// The checks ReadFile and WriteFile share, in Win32's order: the handle, the
// parameters, an injected fault, the access the handle was opened with, the
// buffer. Returns the file, or null with the error set.
static std::shared_ptr<FileObject> startTransfer(HANDLE h, const void *buffer, DWORD count, LPDWORD done,
                                                 LPOVERLAPPED ov, w32::Fault fault) {
  ensureInit();
  if (done) *done = 0;
  auto f = fileFrom(h);
  if (!f) {
    setError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (ov || !done) {
    setError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool reading = fault == w32::Fault::Read;
  if (faultHit(fault)) {
    setError(reading ? ERROR_READ_FAULT : ERROR_WRITE_FAULT);
    return nullptr;
  }
  if (!(reading ? f->canRead : f->canWrite)) {
    setError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!buffer && count) {
    setError(ERROR_NOACCESS);
    return nullptr;
  }
  return f;
}

extern "C" BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov) {
  auto f = startTransfer(h, buffer, count, done, ov, w32::Fault::Read);
  if (!f || !settleWrites(*f)) return FALSE;
  DWORD got = 0;
  while (got < count) {
    ssize_t n = read(f->fd, static_cast<char *>(buffer) + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *done = got;
      setError(errno == EIO ? ERROR_READ_FAULT : errnoToWin(errno));
      return FALSE;
    }
    if (n == 0) break; // end of file: success with fewer bytes
    got += static_cast<DWORD>(n);
  }
  if (f->speed) throttleRead(f->drive, f->speed, got);
  *done = got;
  return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov) {
  auto f = startTransfer(h, buffer, count, done, ov, w32::Fault::Write);
  if (!f) return FALSE;
  return holdWrite(*f, static_cast<const char *>(buffer), count, done);
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE h, LONG distance, PLONG distanceHigh, DWORD method) {
  ensureInit();
  auto f = fileFrom(h);
  if (!f) {
    setError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  if (!settleWrites(*f)) return INVALID_SET_FILE_POINTER;
  long long off = distanceHigh ? static_cast<long long>((static_cast<unsigned long long>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                                        static_cast<DWORD>(distance))
                               : static_cast<long long>(distance);
  long long base;
  if (method == FILE_BEGIN) {
    base = 0;
  } else if (method == FILE_CURRENT) {
    base = lseek(f->fd, 0, SEEK_CUR);
  } else if (method == FILE_END) {
    struct stat st;
    base = fstat(f->fd, &st) == 0 ? st.st_size : -1;
  } else {
    setError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (base < 0) {
    setError(errnoToWin(errno));
    return INVALID_SET_FILE_POINTER;
  }
  long long pos = base + off;
  if (pos < 0) {
    setError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (!distanceHigh && pos > 0xFFFFFFFFLL) {
    setError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (lseek(f->fd, pos, SEEK_SET) < 0) {
    setError(errnoToWin(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<LONG>(pos >> 32);
  DWORD low = static_cast<DWORD>(pos & 0xFFFFFFFFLL);
  if (low == INVALID_SET_FILE_POINTER) setError(NO_ERROR);
  return low;
}

namespace {

void putFileTime(LPFILETIME out, long long sec, long nsec) {
  if (!out) return;
  ULONGLONG ft = fileTimeFromTimespec(sec, nsec);
  out->dwLowDateTime = static_cast<DWORD>(ft & 0xFFFFFFFFULL);
  out->dwHighDateTime = static_cast<DWORD>(ft >> 32);
}

// The FAT of a floppy keeps dates from 1980 to 2107 only: Windows refuses
// to set a time outside them there with ERROR_INVALID_PARAMETER.
const ULONGLONG kFatFirst = 119600064000000000ULL; // 1980-01-01 00:00:00
const ULONGLONG kFatLast = 159992927980000000ULL;  // 2107-12-31 23:59:58

bool fatCannotHold(const FILETIME *ft) {
  if (!ft) return false;
  ULONGLONG v = (static_cast<ULONGLONG>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
  return v != 0 && (v < kFatFirst || v > kFatLast);
}

bool toTimespec(const FILETIME *ft, struct timespec *ts) {
  ULONGLONG v = (static_cast<ULONGLONG>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
  if (v == 0) return false; // zero leaves the time unchanged, as on Windows
  long long sec;
  long nsec;
  timespecFromFileTime(v, &sec, &nsec);
  ts->tv_sec = static_cast<time_t>(sec);
  ts->tv_nsec = nsec;
  return true;
}

} // namespace

extern "C" BOOL WINAPI GetFileTime(HANDLE h, LPFILETIME creation, LPFILETIME access, LPFILETIME write) {
  ensureInit();
  auto f = fileFrom(h);
  if (!f) {
    setError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!settleWrites(*f)) return FALSE;
  struct statx sx;
  if (statx(f->fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    setError(errnoToWin(errno));
    return FALSE;
  }
  if (sx.stx_mask & STATX_BTIME) {
    putFileTime(creation, sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
  } else {
    putFileTime(creation, sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec);
  }
  putFileTime(access, sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
  putFileTime(write, sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
  return TRUE;
}

extern "C" BOOL WINAPI SetFileTime(HANDLE h, CONST FILETIME *creation, CONST FILETIME *access,
                                   CONST FILETIME *write) {
  ensureInit();
  auto f = fileFrom(h);
  if (!f) {
    setError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Changing times needs write access to the handle, as on Windows.
  if (!f->canWrite) {
    setError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Bytes handed over later would move the last-write time again.
  if (!settleWrites(*f)) return FALSE;
  char drive = static_cast<char>(tolower(static_cast<unsigned char>(f->windowsPath.empty() ? 0 : f->windowsPath[0])));
  if ((drive == 'a' || drive == 'b') && (fatCannotHold(access) || fatCannotHold(write))) {
    setError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  (void)creation; // the host keeps no settable creation time
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = 0;
  ts[0].tv_nsec = ts[1].tv_nsec = UTIME_OMIT;
  if (access) toTimespec(access, &ts[0]);
  if (write) toTimespec(write, &ts[1]);
  if (ts[0].tv_nsec == UTIME_OMIT && ts[1].tv_nsec == UTIME_OMIT) return TRUE;
  if (futimens(f->fd, ts) != 0) { // utimensat on the descriptor, nanoseconds kept
    setError(errnoToWin(errno));
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE h) {
  ensureInit();
  // The handle closes even when its last bytes cannot be written; the
  // failure is still reported.
  auto f = fileFrom(h);
  bool settled = !f || settleWrites(*f);
  f.reset();
  if (dropHandle(h, ObjKind::File)) return settled ? TRUE : FALSE;
  if (dropHandle(h, ObjKind::Thread)) return TRUE;
  setError(ERROR_INVALID_HANDLE);
  return FALSE;
}
