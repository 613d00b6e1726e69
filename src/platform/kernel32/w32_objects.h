// The kernel objects behind kernel32's handles: files (with the bytes
// WriteFile holds back, w32_write_behind.cpp), directory searches, threads
// and streams of Windows paths.
#ifndef QV_PLATFORM_W32_OBJECTS_H
#define QV_PLATFORM_W32_OBJECTS_H

#include "machine/w32_core.h"

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace w32int {

struct FileObject : Object {
  FileObject() : Object(ObjKind::File) {}
  ~FileObject() override;
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  int denyRead = 0;  // OF_SHARE_* of this open: others may not read
  int denyWrite = 0; // others may not write
  dev_t dev = 0;
  ino_t ino = 0;
  std::string windowsPath;
  char drive = 0;          // 'a'..'z'
  unsigned long speed = 0; // the drive's simulated read speed when opened (0: full)
  // Write-behind (w32_write_behind.cpp), under behindLock: the bytes
  // WriteFile holds back, and a failed hand-over kept for the next call.
  std::mutex behindLock;
  std::vector<char> behind;
  off_t behindAt = 0; // where the held-back bytes go in the host file
  DWORD deferredError = 0;
};

// The most a handle holds back.
constexpr size_t kWriteBehind = 256 * 1024;

// WriteFile's work once the checks have passed.
BOOL holdWrite(FileObject &f, const char *data, DWORD count, LPDWORD done);
// Every other call on a file handle starts here, so it sees the file as
// written: hands the held-back bytes over and reports a kept failure
// (false, error set).
bool settleWrites(FileObject &f);
// Hands every handle's held-back bytes to the host, for the calls that look
// at files by name. Cheap when none are held.
void flushWritesBehind();

struct FindObject : Object {
  FindObject() : Object(ObjKind::Find) {}
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;
};

struct ThreadObject : Object {
  ThreadObject() : Object(ObjKind::Thread) {}
  std::mutex m;
  std::condition_variable cv;
  std::atomic<bool> done{false};
  DWORD exitCode = STILL_ACTIVE;
  DWORD id = 0;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID param = nullptr;
};

// A FILE * opened by w32_fopen on a Windows path (the stream owns the
// descriptor; this entry only makes it count and lets share checks see it).
struct StreamObject : Object {
  StreamObject() : Object(ObjKind::Stream) {}
  dev_t dev = 0;
  ino_t ino = 0;
  bool canWrite = false;
};

} // namespace w32int

#endif
