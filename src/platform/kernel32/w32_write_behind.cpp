// The write-behind of file handles, after Windows' cache manager: WriteFile
// copies small writes into a block of the handle and returns; the block
// goes to the host when it is full, in one large write. Small writes of odd
// sizes (the copy's 32000-byte chunks, the extraction's gathered output)
// then cost the host one system call per block instead of one per write.
//
// Nothing is lost and no failure goes unreported: the host space of every
// byte held back is reserved by the WriteFile that holds it (fallocate), so
// a disk that cannot take the bytes fails that very WriteFile with
// ERROR_DISK_FULL, as on Windows; every other call on the handle hands the
// partial block over first (settleWrites), calls that look at files by name
// hand over every handle's bytes (flushWritesBehind), and a hand-over that
// still fails (an I/O error) is kept and reported by the next call on the
// handle, CloseHandle at the latest.
#include "machine/w32_core.h"
#include "w32_objects.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

namespace w32int {

namespace {

// Handles holding bytes back; lets flushWritesBehind return at once when
// there are none.
std::atomic<int> filesHoldingBytes{0};

// Writes n bytes to the host file; returns 0 or the Win32 error, with *put
// the bytes that did reach it.
DWORD writeHost(int fd, const char *p, size_t n, size_t *put) {
  *put = 0;
  while (*put < n) {
    ssize_t w = write(fd, p + *put, n - *put);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return w == 0 || errno == ENOSPC ? ERROR_DISK_FULL : errno == EIO ? ERROR_WRITE_FAULT : errnoToWin(errno);
    *put += static_cast<size_t>(w);
  }
  return 0;
}

// Hands the block to the host; a failure is kept for the handle's next
// call. Called with behindLock held.
void handOver(FileObject &f) {
  if (f.behind.empty()) return;
  size_t put;
  DWORD err = writeHost(f.fd, f.behind.data(), f.behind.size(), &put);
  if (err && !f.deferredError) f.deferredError = err;
  f.behind.clear();
  --filesHoldingBytes;
}

enum class Space { Reserved, DiskFull, NotHere };

// Takes the host space for count more bytes after those held back: DiskFull
// for a disk that cannot take them (also past the process's file size
// limit), NotHere when the host file cannot have space reserved (a device).
// Called with behindLock held.
Space reserve(FileObject &f, size_t count) {
  if (f.behind.empty()) {
    f.behindAt = lseek(f.fd, 0, SEEK_CUR);
    if (f.behindAt < 0) return Space::NotHere;
  }
  off_t start = f.behindAt + static_cast<off_t>(f.behind.size());
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(start) + count > limit.rlim_cur)
    return Space::DiskFull;
  // KEEP_SIZE: the space is the file's, its size grows only with the bytes.
  while (fallocate(f.fd, FALLOC_FL_KEEP_SIZE, start, static_cast<off_t>(count)) != 0) {
    if (errno == EINTR) continue;
    return errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? Space::DiskFull : Space::NotHere;
  }
  return Space::Reserved;
}

// Reports a kept failure once: false with the error set.
bool reportKept(FileObject &f) {
  if (!f.deferredError) return true;
  setError(f.deferredError);
  f.deferredError = 0;
  return false;
}

} // namespace

BOOL holdWrite(FileObject &f, const char *data, DWORD count, LPDWORD done) {
  std::lock_guard<std::mutex> lock(f.behindLock);
  if (f.behind.size() + count > kWriteBehind) handOver(f);
  if (!reportKept(f)) return FALSE;
  *done = 0;
  if (count == 0) return TRUE;
  Space space = count >= kWriteBehind ? Space::NotHere : reserve(f, count);
  if (space == Space::DiskFull) {
    setError(ERROR_DISK_FULL);
    return FALSE;
  }
  if (space == Space::NotHere) {  // a large write, or no reserving here: straight through
    handOver(f);
    if (!reportKept(f)) return FALSE;
    size_t put;
    DWORD err = writeHost(f.fd, data, count, &put);
    *done = static_cast<DWORD>(put);
    if (err) setError(err);
    return err ? FALSE : TRUE;
  }
  *done = count;
  if (f.behind.empty()) {
    static std::once_flag atExit;
    std::call_once(atExit, [] { atexit(flushWritesBehind); });  // a handle still open at exit loses nothing
    f.behind.reserve(kWriteBehind);
    ++filesHoldingBytes;
  }
  f.behind.insert(f.behind.end(), data, data + count);
  return TRUE;
}

bool settleWrites(FileObject &f) {
  std::lock_guard<std::mutex> lock(f.behindLock);
  handOver(f);
  return reportKept(f);
}

void flushWritesBehind() {
  if (filesHoldingBytes.load() == 0) return;
  std::vector<std::shared_ptr<FileObject>> files;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    for (const auto &h : s.handles)
      if (h.second->kind == ObjKind::File) files.push_back(std::static_pointer_cast<FileObject>(h.second));
  }
  for (const auto &f : files) {
    std::lock_guard<std::mutex> lock(f->behindLock);
    handOver(*f);  // a failure stays kept for the handle's next call
  }
}

FileObject::~FileObject() {
  if (fd < 0) return;
  if (!behind.empty()) {  // dropped without CloseHandle (a test reset)
    size_t put;
    writeHost(fd, behind.data(), behind.size(), &put);
    --filesHoldingBytes;
  }
  close(fd);
}

} // namespace w32int
