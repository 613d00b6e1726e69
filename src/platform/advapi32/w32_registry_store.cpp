// The registry's store: system.reg parsed into a tree kept for as long as
// the file stays the same, changes written whole through a temporary
// renamed over it under system.reg.lock, and batches of changes written
// once (w32::beginRegistryBatch).  The calls (w32_registry.cpp) reach the
// tree through withRegistry alone.
#include "w32_registry_store.h"
#include "machine/w32_prefix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>

using namespace w32int;
using namespace w32reg;

namespace {

std::mutex registryMutex; // one registry call at a time in this process

// Under registryMutex: built again only when the prefix changes.
const std::string &registryFile() {
  static unsigned generation = 0;
  static std::string file;
  unsigned now = prefixGeneration();
  if (file.empty() || now != generation) {
    generation = now;
    file = w32::prefixDir() + "/system.reg";
  }
  return file;
}
// In the prefix.
const char kRegistryName[] = "system.reg";
const char kLockName[] = "system.reg.lock";

// A registry the reader would refuse is never written: the file stays as
// it was and the change fails.
LONG saveRegistry(Registry &reg) {
  std::string text = registryText(reg);
  if (text.size() > static_cast<size_t>(kPrefixFileCap)) return ERROR_FILE_TOO_LARGE;
  return replacePrefixFile(kRegistryName, text) ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

// The parsed registry is kept for as long as system.reg stays the same
// file, which is checked on every call through a descriptor held open on
// the file that was parsed: cheaper than looking the path up again, and
// exact.  Every write replaces the file by a new one (rename), which leaves
// the old one without links; a change made in place shows in its size,
// modification or change time; a rename or a new link changes its change
// time and link count.
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  nlink_t links = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0}, ctime = {0, 0};
  bool operator==(const FileStamp &o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && links == o.links && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

FileStamp stampOf(int fd) {
  FileStamp s;
  struct stat st;
  if (fstat(fd, &st) != 0) return s;
  s.exists = st.st_nlink > 0; // a file replaced or deleted has no links left
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.links = st.st_nlink;
  s.size = st.st_size;
  s.mtime = st.st_mtim;
  s.ctime = st.st_ctim;
  return s;
}

struct Cache {
  std::string file;
  int fd = -1;                   // on the file parsed; -1 when there was none
  FileStamp stamp;               // of that file when it was parsed
  std::unique_ptr<Registry> reg; // null: nothing kept

  void drop() {
    if (fd >= 0) close(fd);
    fd = -1;
    stamp = FileStamp();
    file.clear();
    reg.reset();
  }
  // Whether the tree kept is still the file's content.
  bool current(const std::string &path) const {
    if (!reg || file != path) return false;
    if (fd < 0) { // parsed as missing: still missing?
      return prefixFileMissing(kRegistryName);
    }
    FileStamp now = stampOf(fd);
    return now.exists && now == stamp;
  }
  // Keeps reg as the content of path: open now, at stamp (fd -1 and an
  // empty stamp for a missing file).
  void keep(const std::string &path, int openFd, const FileStamp &s) {
    if (fd >= 0 && fd != openFd) close(fd);
    file = path;
    fd = openFd;
    stamp = s;
  }
} cache; // under registryMutex

// The registry as the file holds it now, parsed again only when the file
// has changed. ERROR_SUCCESS (a missing file is an empty registry),
// ERROR_REGISTRY_CORRUPT, or ERROR_REGISTRY_IO_FAILED for a file that cannot
// be read, is not a regular file or is larger than a registry can be.
LONG loadRegistry(Registry **out) {
  const std::string &file = registryFile();
  if (cache.current(file)) {
    *out = cache.reg.get();
    return ERROR_SUCCESS;
  }
  cache.drop();
  std::string bytes;
  int fd = openPrefixFile(kRegistryName, O_RDONLY);
  if (fd < 0 && errno != ENOENT) return ERROR_REGISTRY_IO_FAILED;
  FileStamp before;
  if (fd >= 0) {
    before = stampOf(fd);
    if (readPrefixFd(fd, &bytes) != 0) {
      close(fd);
      return ERROR_REGISTRY_IO_FAILED;
    }
  }
  auto reg = std::make_unique<Registry>();
  LONG rc = parseRegistry(bytes, reg.get());
  if (rc != ERROR_SUCCESS) {
    if (fd >= 0) close(fd);
    return rc;
  }
  cache.reg = std::move(reg);
  *out = cache.reg.get();
  if (fd >= 0 && !(stampOf(fd) == before)) {
    // Changed while it was read: good for this call only.
    close(fd);
    cache.file.clear();
    return ERROR_SUCCESS;
  }
  cache.keep(file, fd, before);
  return ERROR_SUCCESS;
}

// After this process has written the registry: the tree kept is the new
// file's content.
void keepWritten() {
  const std::string &file = registryFile();
  int fd = openPrefixFile(kRegistryName, O_RDONLY);
  if (fd < 0) {
    cache.drop();
    return;
  }
  cache.keep(file, fd, stampOf(fd));
}

// A batch of changes made as one (w32::beginRegistryBatch): the lock is
// held from the start of the batch to its end, and the changes are kept in
// the tree until they are written once, or forgotten.
struct Batch {
  bool active = false;
  bool dirty = false; // the tree holds changes not yet written
  std::unique_ptr<HostFileLock> lock;
} batch; // under registryMutex

// Runs f over the loaded registry; saves when f reports a change. A call
// that may change the registry (exclusive) holds the lock from its read to
// its write; one that only reads takes none, since the file is only ever
// replaced whole.  Within a batch the change stays in the tree.
} // namespace

namespace w32reg {

LONG withRegistry(bool exclusive, const RegistryChange &f) {
  std::lock_guard<std::mutex> guard(registryMutex);
  std::unique_ptr<HostFileLock> lock;
  if (exclusive && !batch.active) {
    lock = std::make_unique<HostFileLock>(kLockName, true);
    if (!lock->held()) return ERROR_REGISTRY_IO_FAILED;
  }
  // Within a batch the tree is this process's own: it holds the lock.
  Registry *reg = batch.active ? cache.reg.get() : nullptr;
  LONG rc = reg ? ERROR_SUCCESS : loadRegistry(&reg);
  if (rc != ERROR_SUCCESS) return rc;
  bool changed = false;
  rc = f(*reg, &changed);
  if (changed && batch.active) {
    batch.dirty = true;
    return rc;
  }
  if (rc == ERROR_SUCCESS && changed) rc = saveRegistry(*reg);
  if (changed) {
    // The tree now holds the change: keep it only if the file does too.
    if (rc == ERROR_SUCCESS) {
      keepWritten();
    } else {
      cache.drop();
    }
  }
  return rc;
}

} // namespace w32reg

namespace w32 {

LONG beginRegistryBatch() {
  ensureInit();
  std::lock_guard<std::mutex> guard(registryMutex);
  if (batch.active) return ERROR_INVALID_PARAMETER;
  batch.lock = std::make_unique<HostFileLock>(kLockName, true);
  if (!batch.lock->held()) {
    batch.lock.reset();
    return ERROR_REGISTRY_IO_FAILED;
  }
  Registry *reg = nullptr;
  LONG rc = loadRegistry(&reg);
  if (rc != ERROR_SUCCESS) {
    batch.lock.reset();
    return rc;
  }
  batch.active = true;
  batch.dirty = false;
  return ERROR_SUCCESS;
}

LONG commitRegistryBatch() {
  std::lock_guard<std::mutex> guard(registryMutex);
  if (!batch.active) return ERROR_INVALID_PARAMETER;
  LONG rc = ERROR_SUCCESS;
  if (batch.dirty) {
    rc = cache.reg ? saveRegistry(*cache.reg) : ERROR_REGISTRY_IO_FAILED;
    if (rc == ERROR_SUCCESS) {
      keepWritten();
    } else {
      cache.drop();
    }
  }
  batch = Batch();
  return rc;
}

void abandonRegistryBatch() {
  std::lock_guard<std::mutex> guard(registryMutex);
  if (batch.dirty) cache.drop();
  batch = Batch();
}

} // namespace w32
