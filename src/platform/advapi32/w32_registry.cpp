// The registry over one REGEDIT4 text file in the prefix, system.reg:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\DunmereNetwork\Quorvel]
//   "MainDir"="c:\\dunmere"
//   "Flags"=dword:00000010
//   "Blob"=hex:01,02,ff
//   "Other"=hex(7):41,00,00
//   @="the key's default value"
//
// Every call looks at the file, and parses it again only when it has been
// replaced or changed since; names are found through indexes, so a key of
// 100,000 values or subkeys is enumerated in linear time.  A call that changes the
// registry holds an exclusive flock on system.reg.lock from its read to its
// write, and writes a temporary file that it renames over system.reg, so two
// processes never lose each other's changes and a reader (which takes no
// lock) never sees half a file.  A file that does not parse (or holds a key name over 255
// characters, or keys deeper than 512 levels, as Windows refuses) is never
// overwritten: every call then fails with ERROR_REGISTRY_CORRUPT.  Only a
// regular file of at most 64 MiB is read; anything else fails every call
// with ERROR_REGISTRY_IO_FAILED.  So a change that would make the file
// larger than that is refused (ERROR_FILE_TOO_LARGE) and nothing written.
//
// Key and value names compare without regard to ASCII case and keep the
// case they were created with.  Keys are written in that order (subkeys
// sorted ignoring case), values in the order they were first set.  A REG_SZ
// value is written as a quoted string when it is one NUL-terminated line of
// text, otherwise as hex(1); REG_DWORD of four bytes as dword:, REG_BINARY
// as hex:, every other type as hex(N):.
#include "w32_registry_tree.h"
#include "machine/w32_prefix.h"
#include "machine/w32_script.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

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

// ---- Handles -------------------------------------------------------------

struct KeyRef {
  int root = 0;
  // The key's path below its root: the handle's own, shared, not copied.
  std::shared_ptr<const std::vector<std::string>> path;
  DWORD access = 0;
  bool predefined = false; // HKEY_CLASSES_ROOT's path is made when missing
};

bool predefined(HKEY h, KeyRef *ref) {
  static const auto none = std::make_shared<const std::vector<std::string>>();
  static const auto classes =
      std::make_shared<const std::vector<std::string>>(std::vector<std::string>{"Software", "Classes"});
  intptr_t v = reinterpret_cast<intptr_t>(h);
  ref->path = none;
  ref->access = KEY_ALL_ACCESS;
  ref->predefined = true;
  if (v == reinterpret_cast<intptr_t>(HKEY_LOCAL_MACHINE)) {
    ref->root = 0;
  } else if (v == reinterpret_cast<intptr_t>(HKEY_CURRENT_USER)) {
    ref->root = 1;
  } else if (v == reinterpret_cast<intptr_t>(HKEY_USERS)) {
    ref->root = 2;
  } else if (v == reinterpret_cast<intptr_t>(HKEY_CLASSES_ROOT)) {
    ref->root = 0;
    ref->path = classes;
  } else {
    return false;
  }
  return true;
}

bool keyRef(HKEY h, KeyRef *ref) {
  if (predefined(h, ref)) return true;
  auto obj = std::static_pointer_cast<RegKeyObject>(findHandle(reinterpret_cast<HANDLE>(h), ObjKind::RegKey));
  if (!obj) return false;
  ref->root = obj->root;
  ref->path = std::shared_ptr<const std::vector<std::string>>(obj, &obj->path);
  ref->access = obj->access;
  return true;
}

// Splits a subkey path.  ERROR_BAD_PATHNAME for one that starts with a
// backslash; empty components between backslashes are skipped.
LONG splitSubkey(LPCSTR sub, std::vector<std::string> *out) {
  out->clear();
  if (!sub) return ERROR_SUCCESS;
  if (sub[0] == '\\') return ERROR_BAD_PATHNAME;
  std::string part;
  for (const char *c = sub;; ++c) {
    if (*c == '\\' || *c == 0) {
      if (!part.empty()) {
        if (part.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
        out->push_back(part);
      }
      part.clear();
      if (*c == 0) break;
    } else {
      part += *c;
    }
  }
  return ERROR_SUCCESS;
}

Key *findKey(Registry &reg, int root, const std::vector<std::string> &path) {
  Key *k = &reg.roots[root];
  for (const std::string &p : path) {
    k = k->child(p);
    if (!k) return nullptr;
  }
  return k;
}

HKEY newHandle(int root, std::vector<std::string> path, DWORD access) {
  auto obj = std::make_shared<RegKeyObject>();
  obj->root = root;
  obj->path = std::move(path);
  obj->access = access;
  return reinterpret_cast<HKEY>(addHandle(obj));
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
template <typename F> LONG withRegistry(bool exclusive, F f) {
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

size_t cstrLen(const char *s) { return s ? strlen(s) : 0; }

} // namespace

static LONG openKey(HKEY hKey, LPCSTR sub, REGSAM sam, PHKEY result) {
  ensureInit();
  if (faultHit(w32::Fault::Registry)) {
    if (result) *result = nullptr;
    return ERROR_REGISTRY_IO_FAILED;
  }
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyRef base;
  if (!keyRef(hKey, &base)) return ERROR_INVALID_HANDLE;
  std::vector<std::string> parts;
  LONG rc = splitSubkey(sub, &parts);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> path = *base.path;
  rc = withRegistry(false, [&](Registry &reg, bool *) -> LONG {
    Key *k = findKey(reg, base.root, *base.path);
    if (!k) return base.predefined ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    for (const std::string &p : parts) {
      k = k->child(p);
      if (!k) return ERROR_FILE_NOT_FOUND;
      path.push_back(k->name);
    }
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *result = newHandle(base.root, path, sam);
  return ERROR_SUCCESS;
}

static LONG createKey(HKEY hKey, LPCSTR sub, DWORD options, REGSAM sam, PHKEY result, LPDWORD disposition) {
  ensureInit();
  if (faultHit(w32::Fault::Registry)) {
    if (result) *result = nullptr;
    return ERROR_REGISTRY_IO_FAILED;
  }
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (options & REG_OPTION_VOLATILE) return ERROR_INVALID_PARAMETER; // not offered: every key is kept
  KeyRef base;
  if (!keyRef(hKey, &base)) return ERROR_INVALID_HANDLE;
  if (!(base.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  std::vector<std::string> parts;
  LONG rc = splitSubkey(sub, &parts);
  if (rc != ERROR_SUCCESS) return rc;
  if (base.path->size() + parts.size() > kMaxDepth) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> path = *base.path;
  bool created = false;
  rc = withRegistry(true, [&](Registry &reg, bool *changed) -> LONG {
    Key *k = findKey(reg, base.root, *base.path);
    if (!k && base.predefined) { // HKEY_CLASSES_ROOT always exists
      k = &reg.roots[base.root];
      for (const std::string &p : *base.path) {
        bool made = false;
        k = k->childOrAdd(p, &made);
        created = created || made;
      }
    }
    if (!k) return ERROR_KEY_DELETED;
    for (const std::string &p : parts) {
      bool made = false;
      k = k->childOrAdd(p, &made);
      created = created || made;
      path.push_back(k->name);
    }
    *changed = created;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = newHandle(base.root, path, sam);
  return ERROR_SUCCESS;
}

static LONG setValue(HKEY hKey, LPCSTR name, DWORD type, CONST BYTE *data, DWORD size) {
  ensureInit();
  if (faultHit(w32::Fault::Registry)) return ERROR_REGISTRY_IO_FAILED;
  KeyRef ref;
  if (!keyRef(hKey, &ref)) return ERROR_INVALID_HANDLE;
  if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (!data && size > 0) return ERROR_NOACCESS;
  std::string n = name ? name : "";
  std::string bytes(reinterpret_cast<const char *>(data), data ? size : 0);
  return withRegistry(true, [&](Registry &reg, bool *changed) -> LONG {
    Key *k = findKey(reg, ref.root, *ref.path);
    if (!k) return ERROR_KEY_DELETED;
    Value *v = k->valueOrAdd(n);
    v->type = type;
    v->data = bytes;
    *changed = true;
    return ERROR_SUCCESS;
  });
}

static LONG queryValue(HKEY hKey, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  ensureInit();
  if (faultHit(w32::Fault::Registry)) return ERROR_REGISTRY_IO_FAILED;
  KeyRef ref;
  if (!keyRef(hKey, &ref)) return ERROR_INVALID_HANDLE;
  if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
  if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  std::string n = name ? name : "";
  return withRegistry(false, [&](Registry &reg, bool *) -> LONG {
    Key *k = findKey(reg, ref.root, *ref.path);
    if (!k) return ERROR_KEY_DELETED;
    Value *v = k->value(n);
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    DWORD need = static_cast<DWORD>(v->data.size());
    if (!data) {
      if (size) *size = need;
      return ERROR_SUCCESS;
    }
    if (*size < need) {
      *size = need; // the buffer is left as it was
      return ERROR_MORE_DATA;
    }
    memcpy(data, v->data.data(), need);
    *size = need;
    return ERROR_SUCCESS;
  });
}

extern "C" LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                                     LPSTR cls, LPDWORD clsSize, PFILETIME lastWrite) {
  ensureInit();
  if (faultHit(w32::Fault::Registry)) return ERROR_REGISTRY_IO_FAILED;
  KeyRef ref;
  if (!keyRef(hKey, &ref)) return ERROR_INVALID_HANDLE;
  if (!name || !nameSize || reserved) return ERROR_INVALID_PARAMETER;
  if (!(ref.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  return withRegistry(false, [&](Registry &reg, bool *) -> LONG {
    Key *k = findKey(reg, ref.root, *ref.path);
    if (!k) return ERROR_KEY_DELETED;
    if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string &n = k->orderedSubkeys()[index]->name;
    if (*nameSize <= n.size()) return ERROR_MORE_DATA;
    memcpy(name, n.c_str(), n.size() + 1);
    *nameSize = static_cast<DWORD>(n.size());
    if (cls && clsSize && *clsSize > 0) cls[0] = 0;
    if (clsSize) *clsSize = 0;
    if (lastWrite) lastWrite->dwLowDateTime = lastWrite->dwHighDateTime = 0; // not kept
    return ERROR_SUCCESS;
  });
}

extern "C" LONG WINAPI RegEnumValueA(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                                     LPDWORD type, LPBYTE data, LPDWORD size) {
  ensureInit();
  if (faultHit(w32::Fault::Registry)) return ERROR_REGISTRY_IO_FAILED;
  KeyRef ref;
  if (!keyRef(hKey, &ref)) return ERROR_INVALID_HANDLE;
  if (!name || !nameSize || reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
  if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  return withRegistry(false, [&](Registry &reg, bool *) -> LONG {
    Key *k = findKey(reg, ref.root, *ref.path);
    if (!k) return ERROR_KEY_DELETED;
    if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value &v = k->values[index];
    if (*nameSize <= v.name.size()) return ERROR_MORE_DATA;
    DWORD need = static_cast<DWORD>(v.data.size());
    if (data && *size < need) {
      *size = need;
      return ERROR_MORE_DATA;
    }
    memcpy(name, v.name.c_str(), v.name.size() + 1);
    *nameSize = static_cast<DWORD>(v.name.size());
    if (type) *type = v.type;
    if (data) memcpy(data, v.data.data(), need);
    if (size) *size = need;
    return ERROR_SUCCESS;
  });
}

static LONG deleteValue(HKEY hKey, LPCSTR name) {
  ensureInit();
  if (faultHit(w32::Fault::Registry)) return ERROR_REGISTRY_IO_FAILED;
  KeyRef ref;
  if (!keyRef(hKey, &ref)) return ERROR_INVALID_HANDLE;
  if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string n = name ? name : "";
  return withRegistry(true, [&](Registry &reg, bool *changed) -> LONG {
    Key *k = findKey(reg, ref.root, *ref.path);
    if (!k) return ERROR_KEY_DELETED;
    if (!k->removeValue(n)) return ERROR_FILE_NOT_FOUND;
    *changed = true;
    return ERROR_SUCCESS;
  });
}

// As Windows NT: a key that still has subkeys is not deleted.
static LONG deleteKey(HKEY hKey, LPCSTR sub) {
  ensureInit();
  if (faultHit(w32::Fault::Registry)) return ERROR_REGISTRY_IO_FAILED;
  KeyRef ref;
  if (!keyRef(hKey, &ref)) return ERROR_INVALID_HANDLE;
  std::vector<std::string> parts;
  LONG rc = splitSubkey(sub, &parts);
  if (rc != ERROR_SUCCESS) return rc;
  if (parts.empty()) return cstrLen(sub) ? ERROR_BADKEY : ERROR_INVALID_PARAMETER;
  return withRegistry(true, [&](Registry &reg, bool *changed) -> LONG {
    Key *parent = findKey(reg, ref.root, *ref.path);
    if (!parent) return ERROR_KEY_DELETED;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      parent = parent->child(parts[i]);
      if (!parent) return ERROR_FILE_NOT_FOUND;
    }
    Key *k = parent->child(parts.back());
    if (!k) return ERROR_FILE_NOT_FOUND;
    if (!k->subkeys.empty()) return ERROR_ACCESS_DENIED;
    parent->removeChild(k);
    *changed = true;
    return ERROR_SUCCESS;
  });
}

// What a failed call tells the run's record: the key (and value) it was
// for.  A key or value that is not there is an answer, not a failure.
static LONG noted(const char *call, HKEY hKey, LPCSTR sub, LPCSTR value, bool hasValue, LONG rc) {
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND || rc == ERROR_MORE_DATA || rc == ERROR_NO_MORE_ITEMS)
    return rc;
  KeyRef ref;
  std::string key;
  if (keyRef(hKey, &ref)) {
    key = kRootNames[ref.root];
    for (const std::string &p : *ref.path) key += "\\" + p;
  } else {
    key = "(invalid handle)";
  }
  if (sub && *sub) key += std::string("\\") + sub;
  std::string what = "key=" + quoteText(key);
  if (hasValue) what += " value=" + quoteText(value ? value : "");
  noteFailedStep("registry", call, what, static_cast<DWORD>(rc));
  return rc;
}

extern "C" LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR sub, DWORD, REGSAM sam, PHKEY result) {
  return noted("RegOpenKeyExA", hKey, sub, nullptr, false, openKey(hKey, sub, sam, result));
}

extern "C" LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR sub, DWORD, LPSTR, DWORD options, REGSAM sam,
                                       LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  return noted("RegCreateKeyExA", hKey, sub, nullptr, false, createKey(hKey, sub, options, sam, result, disposition));
}

extern "C" LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR name, DWORD, DWORD type, CONST BYTE *data, DWORD size) {
  return noted("RegSetValueExA", hKey, nullptr, name, true, setValue(hKey, name, type, data, size));
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                        LPDWORD size) {
  return noted("RegQueryValueExA", hKey, nullptr, name, true, queryValue(hKey, name, reserved, type, data, size));
}

extern "C" LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR name) {
  return noted("RegDeleteValueA", hKey, nullptr, name, true, deleteValue(hKey, name));
}

extern "C" LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR sub) {
  return noted("RegDeleteKeyA", hKey, sub, nullptr, false, deleteKey(hKey, sub));
}

extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
  ensureInit();
  KeyRef ref;
  if (predefined(hKey, &ref)) return ERROR_SUCCESS;
  return dropHandle(reinterpret_cast<HANDLE>(hKey), ObjKind::RegKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

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
