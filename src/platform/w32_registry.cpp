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
// replaced since; names are found through indexes, so a key of 100,000
// values or subkeys is enumerated in linear time.  A call that changes the
// registry holds an exclusive flock on system.reg.lock from its read to its
// write, and writes a temporary file that it renames over system.reg, so two
// processes never lose each other's changes and a reader (which takes no
// lock) never sees half a file.  A file that does not parse (or holds a key name over 255
// characters, or keys deeper than 512 levels, as Windows refuses) is never
// overwritten: every call then fails with ERROR_REGISTRY_CORRUPT.  Only a
// regular file of at most 64 MiB is read; anything else fails every call
// with ERROR_REGISTRY_IO_FAILED.
//
// Key and value names compare without regard to ASCII case and keep the
// case they were created with.  Keys are written in that order (subkeys
// sorted ignoring case), values in the order they were first set.  A REG_SZ
// value is written as a quoted string when it is one NUL-terminated line of
// text, otherwise as hex(1); REG_DWORD of four bytes as dword:, REG_BINARY
// as hex:, every other type as hex(N):.
#include "w32_internal.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

using namespace w32int;

namespace {

const char *const kRootNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS"};
constexpr int kRoots = 3;

// What Windows allows: a key name of at most 255 characters, a tree at most
// 512 levels deep below its root key.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxDepth = 512;

std::string folded(const std::string &s) {
  std::string out = s;
  for (char &c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

struct Value {
  std::string name; // "" is the key's default value, written @
  DWORD type = REG_NONE;
  std::string data;
};

struct Key {
  std::string name;
  std::string fold;                           // name in lower case: the subkeys' order
  std::vector<Value> values;                  // in the order first set
  std::unordered_map<std::string, size_t> valueIndex; // folded name -> place in values
  // Subkeys, put in order (by fold) when they are enumerated or written;
  // found by name through the index.
  std::vector<std::unique_ptr<Key>> subkeys;
  bool subkeysInOrder = true;
  std::unordered_map<std::string, Key *> subkeyIndex; // fold -> subkey

  Key() = default;
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;
  // A tree of any depth is freed without recursion.
  ~Key() {
    std::vector<std::unique_ptr<Key>> pending = std::move(subkeys);
    while (!pending.empty()) {
      std::unique_ptr<Key> k = std::move(pending.back());
      pending.pop_back();
      for (auto &c : k->subkeys) pending.push_back(std::move(c));
      k->subkeys.clear();
    }
  }

  Key *child(const std::string &n) const {
    // Looked up on every call: fold into a reused buffer, not a new string.
    static thread_local std::string fold;
    fold.assign(n);
    for (char &c : fold) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    auto it = subkeyIndex.find(fold);
    return it == subkeyIndex.end() ? nullptr : it->second;
  }
  // The subkey of that name, made when there is none (*made then set).
  Key *childOrAdd(const std::string &n, bool *made = nullptr) {
    std::string f = folded(n);
    auto found = subkeyIndex.try_emplace(f, nullptr);
    if (made) *made = found.second;
    if (!found.second) return found.first->second;
    auto k = std::make_unique<Key>();
    k->name = n;
    k->fold = std::move(f);
    Key *raw = k.get();
    if (!subkeys.empty() && raw->fold < subkeys.back()->fold) subkeysInOrder = false;
    found.first->second = raw;
    subkeys.push_back(std::move(k));
    return raw;
  }
  const std::vector<std::unique_ptr<Key>> &orderedSubkeys() {
    if (!subkeysInOrder) {
      std::sort(subkeys.begin(), subkeys.end(),
                [](const std::unique_ptr<Key> &a, const std::unique_ptr<Key> &b) { return a->fold < b->fold; });
      subkeysInOrder = true;
    }
    return subkeys;
  }
  bool removeChild(const Key *c) {
    for (auto it = subkeys.begin(); it != subkeys.end(); ++it) {
      if (it->get() != c) continue;
      subkeyIndex.erase(c->fold);
      subkeys.erase(it);
      return true;
    }
    return false;
  }
  Value *value(const std::string &n) {
    auto it = valueIndex.find(folded(n));
    return it == valueIndex.end() ? nullptr : &values[it->second];
  }
  // The value of that name, made (empty, REG_NONE) when there is none.
  Value *valueOrAdd(const std::string &n) {
    auto found = valueIndex.try_emplace(folded(n), values.size());
    if (!found.second) return &values[found.first->second];
    values.push_back(Value());
    values.back().name = n;
    return &values.back();
  }
  bool removeValue(const std::string &n) {
    auto it = valueIndex.find(folded(n));
    if (it == valueIndex.end()) return false;
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(it->second));
    valueIndex.clear();
    for (size_t i = 0; i < values.size(); ++i) valueIndex[folded(values[i].name)] = i;
    return true;
  }
};

struct Registry {
  Key roots[kRoots];
};

std::mutex registryMutex; // one registry call at a time in this process

std::string registryFile() { return w32::prefixDir() + "/system.reg"; }
std::string lockFile() { return w32::prefixDir() + "/system.reg.lock"; }

// ---- Reading the file ------------------------------------------------------

bool parseQuoted(const std::string &line, size_t *i, std::string *out) {
  if (*i >= line.size() || line[*i] != '"') return false;
  ++*i;
  out->clear();
  while (*i < line.size()) {
    char c = line[(*i)++];
    if (c == '"') return true;
    if (c == '\\') {
      if (*i >= line.size()) return false;
      char e = line[(*i)++];
      if (e != '\\' && e != '"') return false;
      c = e;
    }
    *out += c;
  }
  return false;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseHexBytes(const std::string &s, std::string *out) {
  out->clear();
  size_t i = 0;
  auto skip = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  };
  skip();
  if (i == s.size()) return true;
  for (;;) {
    skip();
    if (i >= s.size()) return false;
    int hi = hexDigit(s[i]);
    int lo = i + 1 < s.size() ? hexDigit(s[i + 1]) : -1;
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
    skip();
    if (i == s.size()) return true;
    if (s[i] != ',') return false;
    ++i;
  }
}

// One value line (continuations already joined).
bool parseValue(const std::string &line, Value *v) {
  size_t i = 0;
  if (line[0] == '@') {
    v->name.clear();
    i = 1;
  } else if (!parseQuoted(line, &i, &v->name)) {
    return false;
  }
  if (i >= line.size() || line[i] != '=') return false;
  std::string data = line.substr(i + 1);
  if (!data.empty() && data[0] == '"') {
    size_t j = 0;
    std::string text;
    if (!parseQuoted(data, &j, &text) || j != data.size()) return false;
    v->type = REG_SZ;
    v->data = text + std::string(1, '\0');
    return true;
  }
  if (data.compare(0, 6, "dword:") == 0) {
    std::string digits = data.substr(6);
    if (digits.size() != 8) return false;
    DWORD n = 0;
    for (char c : digits) {
      int d = hexDigit(c);
      if (d < 0) return false;
      n = n * 16 + static_cast<DWORD>(d);
    }
    v->type = REG_DWORD;
    v->data.assign(reinterpret_cast<const char *>(&n), 4);
    return true;
  }
  if (data.compare(0, 4, "hex:") == 0) {
    v->type = REG_BINARY;
    return parseHexBytes(data.substr(4), &v->data);
  }
  if (data.compare(0, 4, "hex(") == 0) {
    size_t close = data.find("):");
    if (close == std::string::npos || close == 4) return false;
    DWORD t = 0;
    for (size_t k = 4; k < close; ++k) {
      int d = hexDigit(data[k]);
      if (d < 0) return false;
      t = t * 16 + static_cast<DWORD>(d);
    }
    v->type = t;
    return parseHexBytes(data.substr(close + 2), &v->data);
  }
  return false;
}

// The key of a header path, created as needed; nullptr for an unknown root,
// an empty or too long key name, or a path deeper than Windows allows.
Key *keyForHeader(Registry *reg, const std::string &path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  Key *k = nullptr;
  size_t first = 1;
  for (int r = 0; r < kRoots; ++r) {
    if (equalsNoCase(parts[0], kRootNames[r])) k = &reg->roots[r];
  }
  if (equalsNoCase(parts[0], "HKEY_CLASSES_ROOT")) {
    parts.insert(parts.begin() + 1, {"Software", "Classes"});
    k = &reg->roots[0];
  }
  if (!k || parts.size() - first > kMaxDepth) return nullptr;
  for (size_t i = first; i < parts.size(); ++i) {
    if (parts[i].empty() || parts[i].size() > kMaxKeyName) return nullptr;
    k = k->childOrAdd(parts[i]);
  }
  return k;
}

// The file's bytes into reg: ERROR_SUCCESS or ERROR_REGISTRY_CORRUPT.
LONG parseRegistry(const std::string &bytes, Registry *reg) {
  size_t pos = 0;
  // The next line without its line end; false at the end of the bytes.
  auto nextLine = [&](std::string *l) {
    if (pos >= bytes.size()) return false;
    size_t nl = bytes.find('\n', pos);
    if (nl == std::string::npos) nl = bytes.size();
    size_t end = nl > pos && bytes[nl - 1] == '\r' ? nl - 1 : nl;
    l->assign(bytes, pos, end - pos);
    pos = nl + 1;
    return true;
  };
  bool sawSignature = false;
  Key *current = nullptr;
  std::string l, next;
  Value v;
  // Headers mostly follow their siblings: the last header's parent path and
  // key find the next sibling without walking the whole path again.
  std::string parentPath;
  Key *parent = nullptr;
  while (nextLine(&l)) {
    if (l.empty() || l[0] == ';') continue;
    if (!sawSignature) {
      if (l != "REGEDIT4") return ERROR_REGISTRY_CORRUPT;
      sawSignature = true;
      continue;
    }
    if (l[0] == '[') {
      size_t close = l.rfind(']');
      if (close == std::string::npos || close < 2) return ERROR_REGISTRY_CORRUPT;
      std::string path = l.substr(1, close - 1);
      size_t cut = path.rfind('\\');
      std::string leaf = cut == std::string::npos ? std::string() : path.substr(cut + 1);
      if (parent && cut == parentPath.size() && path.compare(0, cut, parentPath) == 0 && !leaf.empty() &&
          leaf.size() <= kMaxKeyName) {
        current = parent->childOrAdd(leaf);
        continue;
      }
      current = keyForHeader(reg, path);
      if (!current) return ERROR_REGISTRY_CORRUPT;
      parent = cut == std::string::npos ? nullptr : keyForHeader(reg, path.substr(0, cut));
      parentPath = parent ? path.substr(0, cut) : std::string();
      continue;
    }
    if (!current || (l[0] != '"' && l[0] != '@')) return ERROR_REGISTRY_CORRUPT;
    // Hex data may go on over lines that end in a backslash.
    while (!l.empty() && l.back() == '\\' && l.find("=hex") != std::string::npos && nextLine(&next)) {
      l.pop_back();
      size_t b = next.find_first_not_of(" \t");
      if (b != std::string::npos) l.append(next, b, std::string::npos);
    }
    if (!parseValue(l, &v)) return ERROR_REGISTRY_CORRUPT;
    *current->valueOrAdd(v.name) = std::move(v);
  }
  if (!bytes.empty() && !sawSignature) return ERROR_REGISTRY_CORRUPT;
  return ERROR_SUCCESS;
}

// ---- Writing the file ------------------------------------------------------

std::string quote(const std::string &s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool plainText(const Value &v) {
  if (v.type != REG_SZ || v.data.empty() || v.data.back() != '\0') return false;
  for (size_t i = 0; i + 1 < v.data.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(v.data[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string hexBytes(const std::string &data) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(data[i]));
    if (i) out += ',';
    out += buf;
  }
  return out;
}

std::string valueLine(const Value &v) {
  std::string out = v.name.empty() ? "@" : quote(v.name);
  out += '=';
  if (plainText(v)) {
    out += quote(v.data.substr(0, v.data.size() - 1));
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    DWORD n;
    memcpy(&n, v.data.data(), 4);
    char buf[16];
    snprintf(buf, sizeof buf, "dword:%08x", n);
    out += buf;
  } else if (v.type == REG_BINARY) {
    out += "hex:" + hexBytes(v.data);
  } else {
    char buf[24];
    snprintf(buf, sizeof buf, "hex(%x):", v.type);
    out += buf + hexBytes(v.data);
  }
  return out + "\n";
}

// Every key in order, each under its full path; without recursion, so a
// tree of any depth is written.
void writeTree(Key &root, const char *rootName, std::string *out) {
  struct Frame {
    Key *key;
    size_t pathLength; // of the key's own path
    size_t next;       // its next subkey to write
  };
  std::string path = rootName;
  if (!root.values.empty()) {
    *out += "[" + path + "]\n";
    for (const Value &v : root.values) *out += valueLine(v);
    *out += "\n";
  }
  std::vector<Frame> stack{{&root, path.size(), 0}};
  while (!stack.empty()) {
    Frame &f = stack.back();
    if (f.next == f.key->orderedSubkeys().size()) {
      stack.pop_back();
      continue;
    }
    Key &k = *f.key->orderedSubkeys()[f.next++];
    path.resize(f.pathLength);
    path += '\\';
    path += k.name;
    *out += "[" + path + "]\n";
    for (const Value &v : k.values) *out += valueLine(v);
    *out += "\n";
    stack.push_back({&k, path.size(), 0});
  }
}

LONG saveRegistry(Registry &reg) {
  std::string out = "REGEDIT4\n\n";
  for (int r = 0; r < kRoots; ++r) writeTree(reg.roots[r], kRootNames[r], &out);
  return replaceHostFile(registryFile(), out) ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

// The parsed registry is kept while system.reg stays the same file: every
// write replaces it by a new one (rename), so a change by any process shows
// as another inode, size, change or modification time.
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0}, ctime = {0, 0};
  bool operator==(const FileStamp &o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

FileStamp stampOf(const std::string &path) {
  FileStamp s;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime = st.st_mtim;
  s.ctime = st.st_ctim;
  return s;
}

struct Cache {
  std::string file;
  FileStamp stamp;
  std::unique_ptr<Registry> reg; // null: nothing kept
} cache;                         // under registryMutex

// The registry as the file holds it now, parsed again only when the file
// has changed. ERROR_SUCCESS (a missing file is an empty registry),
// ERROR_REGISTRY_CORRUPT, or ERROR_REGISTRY_IO_FAILED for a file that cannot
// be read, is not a regular file or is larger than a registry can be.
LONG loadRegistry(Registry **out) {
  std::string file = registryFile();
  FileStamp now = stampOf(file);
  if (cache.reg && cache.file == file && cache.stamp == now) {
    *out = cache.reg.get();
    return ERROR_SUCCESS;
  }
  cache.reg.reset();
  std::string bytes;
  if (readPrefixFile(file, &bytes) != 0) return ERROR_REGISTRY_IO_FAILED;
  auto reg = std::make_unique<Registry>();
  LONG rc = parseRegistry(bytes, reg.get());
  if (rc != ERROR_SUCCESS) return rc;
  FileStamp after = stampOf(file);
  if (after == now) { // not replaced while it was read
    cache.file = file;
    cache.stamp = now;
    cache.reg = std::move(reg);
    *out = cache.reg.get();
    return ERROR_SUCCESS;
  }
  cache.reg = std::move(reg); // good for this call only
  cache.stamp = FileStamp();
  cache.file.clear();
  *out = cache.reg.get();
  return ERROR_SUCCESS;
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

// Runs f over the loaded registry; saves when f reports a change. A call
// that may change the registry (exclusive) holds the lock from its read to
// its write; one that only reads takes none, since the file is only ever
// replaced whole.
template <typename F> LONG withRegistry(bool exclusive, F f) {
  std::lock_guard<std::mutex> guard(registryMutex);
  std::unique_ptr<HostFileLock> lock;
  if (exclusive) {
    lock = std::make_unique<HostFileLock>(lockFile(), true);
    if (!lock->held()) return ERROR_REGISTRY_IO_FAILED;
  }
  Registry *reg = nullptr;
  LONG rc = loadRegistry(&reg);
  if (rc != ERROR_SUCCESS) return rc;
  bool changed = false;
  rc = f(*reg, &changed);
  if (rc == ERROR_SUCCESS && changed) rc = saveRegistry(*reg);
  if (changed) {
    // The tree now holds the change: keep it only if the file does too.
    cache.stamp = stampOf(registryFile());
    if (rc != ERROR_SUCCESS) cache.reg.reset();
  }
  return rc;
}

size_t cstrLen(const char *s) { return s ? strlen(s) : 0; }

} // namespace

extern "C" LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR sub, DWORD, REGSAM sam, PHKEY result) {
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

extern "C" LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR sub, DWORD, LPSTR, DWORD options, REGSAM sam,
                                       LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
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

extern "C" LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR name, DWORD, DWORD type, CONST BYTE *data, DWORD size) {
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

extern "C" LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                        LPDWORD size) {
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

extern "C" LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR name) {
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
extern "C" LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR sub) {
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

extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
  ensureInit();
  KeyRef ref;
  if (predefined(hKey, &ref)) return ERROR_SUCCESS;
  return dropHandle(reinterpret_cast<HANDLE>(hKey), ObjKind::RegKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
