// The write-behind of file handles, after Windows' cache manager: WriteFile
// copies small writes into a block of the handle and returns; the block
// goes to the host when it is full, in one large write. Small writes of odd
// sizes (the copy's 32000-byte chunks, the extraction's gathered output)
// then cost the host one system call per block instead of one per write.
//
// Nothing is lost and no failure goes unreported: every other call on the
// handle hands the partial block over first (settleWrites), calls that look
// at files by name hand over every handle's bytes (flushWritesBehind), and
// a failed hand-over is kept and reported by the next call on the handle,
// CloseHandle at the latest.
#include "w32_internal.h"

#include <errno.h>
#include <stdlib.h>
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
  if (count >= kWriteBehind) {  // a large write goes straight through
    size_t put;
    DWORD err = writeHost(f.fd, data, count, &put);
    *done = static_cast<DWORD>(put);
    if (err) setError(err);
    return err ? FALSE : TRUE;
  }
  *done = count;
  if (count == 0) return TRUE;
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
