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
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

using namespace w32int;

namespace {

const char *const kRootNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS"};
constexpr int kRoots = 3;

// What Windows allows: a key name of at most 255 characters, a tree at most
// 512 levels deep below its root key.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxDepth = 512;

using View = std::string_view;

// Names compare without regard to ASCII case.
inline unsigned char foldChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + 32) : u;
}

bool sameName(View a, View b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (foldChar(a[i]) != foldChar(b[i])) return false;
  }
  return true;
}

// The subkeys' order: by their names in lower case, byte by byte.
bool nameBefore(View a, View b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = foldChar(a[i]), y = foldChar(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

uint32_t nameHash(View s) {
  uint32_t h = 2166136261u;
  for (char c : s) h = (h ^ foldChar(c)) * 16777619u;
  return h;
}

// The places of a key's values or subkeys by name: an open-addressing table
// of positions into the key's vector (plus one; 0 is a free slot), at most
// half full.  Four bytes an entry, where a node-based map would take about
// seventy: a key of 100,000 values stays small and quick to build.
class NameIndex {
public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  // The position of the entry named like name, or npos.
  template <typename NameAt> size_t find(View name, NameAt nameAt) const {
    if (slots_.empty()) return npos;
    size_t mask = slots_.size() - 1;
    for (size_t i = nameHash(name) & mask;; i = (i + 1) & mask) {
      uint32_t s = slots_[i];
      if (s == 0) return npos;
      if (sameName(nameAt(s - 1), name)) return s - 1;
    }
  }
  // Indexes the last of count entries, whose name is not indexed yet.
  template <typename NameAt> void addLast(size_t count, NameAt nameAt) {
    if (count * 2 > slots_.size()) {
      rebuild(count, nameAt);
    } else {
      place(count - 1, nameAt(count - 1));
    }
  }
  // Indexes entries 0 to count-1 afresh, after they have moved.
  template <typename NameAt> void rebuild(size_t count, NameAt nameAt) {
    size_t size = 8;
    while (size < count * 2) size *= 2;
    slots_.assign(size, 0);
    for (size_t p = 0; p < count; ++p) place(p, nameAt(p));
  }

private:
  void place(size_t pos, View name) {
    size_t mask = slots_.size() - 1;
    size_t i = nameHash(name) & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<uint32_t>(pos + 1);
  }
  std::vector<uint32_t> slots_;
};

struct Value {
  std::string name; // "" is the key's default value, written @
  DWORD type = REG_NONE;
  std::string data;
};

struct Key {
  std::string name;
  std::vector<Value> values; // in the order first set
  NameIndex valueIndex;
  // Subkeys, put in order (by name, ignoring case) when they are enumerated
  // or written.
  std::vector<std::unique_ptr<Key>> subkeys;
  NameIndex subkeyIndex;
  bool subkeysInOrder = true;

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

  auto subkeyName() const {
    return [this](size_t i) { return View(subkeys[i]->name); };
  }
  auto valueName() const {
    return [this](size_t i) { return View(values[i].name); };
  }

  Key *child(View n) const {
    size_t i = subkeyIndex.find(n, subkeyName());
    return i == NameIndex::npos ? nullptr : subkeys[i].get();
  }
  // The subkey of that name, made when there is none (*made then set).
  Key *childOrAdd(View n, bool *made = nullptr) {
    Key *found = child(n);
    if (made) *made = !found;
    if (found) return found;
    auto k = std::make_unique<Key>();
    k->name.assign(n);
    if (!subkeys.empty() && nameBefore(n, subkeys.back()->name)) subkeysInOrder = false;
    subkeys.push_back(std::move(k));
    subkeyIndex.addLast(subkeys.size(), subkeyName());
    return subkeys.back().get();
  }
  const std::vector<std::unique_ptr<Key>> &orderedSubkeys() {
    if (!subkeysInOrder) {
      std::stable_sort(subkeys.begin(), subkeys.end(),
                [](const std::unique_ptr<Key> &a, const std::unique_ptr<Key> &b) { return nameBefore(a->name, b->name); });
      subkeyIndex.rebuild(subkeys.size(), subkeyName());
      subkeysInOrder = true;
    }
    return subkeys;
  }
  void removeChild(const Key *c) {
    for (auto it = subkeys.begin(); it != subkeys.end(); ++it) {
      if (it->get() != c) continue;
      subkeys.erase(it);
      subkeyIndex.rebuild(subkeys.size(), subkeyName());
      return;
    }
  }
  Value *value(View n) {
    size_t i = valueIndex.find(n, valueName());
    return i == NameIndex::npos ? nullptr : &values[i];
  }
  // The value of that name, made (empty, REG_NONE) when there is none.
  Value *valueOrAdd(View n) {
    if (Value *v = value(n)) return v;
    values.push_back(Value());
    values.back().name.assign(n);
    valueIndex.addLast(values.size(), valueName());
    return &values.back();
  }
  bool removeValue(View n) {
    size_t i = valueIndex.find(n, valueName());
    if (i == NameIndex::npos) return false;
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(i));
    valueIndex.rebuild(values.size(), valueName());
    return true;
  }
};

struct Registry {
  Key roots[kRoots];
};

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
std::string lockFile() { return w32::prefixDir() + "/system.reg.lock"; }

// ---- Reading the file ------------------------------------------------------
//
// The parser works on views into the file's bytes: a registry of 100,000
// values is read without a string per line.

// A quoted string at line[*i], its escapes undone, into *out.
bool parseQuoted(View line, size_t *i, std::string *out) {
  if (*i >= line.size() || line[*i] != '"') return false;
  ++*i;
  out->clear();
  while (*i < line.size()) {
    size_t stop = line.find_first_of("\"\\", *i);
    if (stop == View::npos) return false;
    out->append(line.data() + *i, stop - *i);
    *i = stop + 1;
    if (line[stop] == '"') return true;
    if (*i >= line.size()) return false;
    char e = line[(*i)++];
    if (e != '\\' && e != '"') return false;
    *out += e;
  }
  return false;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseHexBytes(View s, std::string *out) {
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

bool startsWith(View s, View prefix) { return s.substr(0, prefix.size()) == prefix; }

// One value line (continuations already joined).
bool parseValue(View line, Value *v) {
  size_t i = 0;
  if (line[0] == '@') {
    v->name.clear();
    i = 1;
  } else if (!parseQuoted(line, &i, &v->name)) {
    return false;
  }
  if (i >= line.size() || line[i] != '=') return false;
  View data = line.substr(i + 1);
  if (!data.empty() && data[0] == '"') {
    size_t j = 0;
    if (!parseQuoted(data, &j, &v->data) || j != data.size()) return false;
    v->type = REG_SZ;
    v->data += '\0';
    return true;
  }
  if (startsWith(data, "dword:")) {
    View digits = data.substr(6);
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
  if (startsWith(data, "hex:")) {
    v->type = REG_BINARY;
    return parseHexBytes(data.substr(4), &v->data);
  }
  if (startsWith(data, "hex(")) {
    size_t close = data.find("):");
    if (close == View::npos || close == 4) return false;
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
Key *keyForHeader(Registry *reg, View path) {
  size_t cut = path.find('\\');
  View root = path.substr(0, cut);
  View rest = cut == View::npos ? View() : path.substr(cut + 1);
  Key *k = nullptr;
  size_t depth = 0;
  for (int r = 0; r < kRoots; ++r) {
    if (equalsNoCase(std::string(root), kRootNames[r])) k = &reg->roots[r];
  }
  if (equalsNoCase(std::string(root), "HKEY_CLASSES_ROOT")) {
    k = reg->roots[0].childOrAdd("Software")->childOrAdd("Classes");
    depth = 2;
  }
  if (!k) return nullptr;
  if (cut == View::npos) return k;
  for (;;) {
    size_t end = rest.find('\\');
    View part = rest.substr(0, end);
    if (part.empty() || part.size() > kMaxKeyName || ++depth > kMaxDepth) return nullptr;
    k = k->childOrAdd(part);
    if (end == View::npos) return k;
    rest.remove_prefix(end + 1);
  }
}

// The file's bytes into reg: ERROR_SUCCESS or ERROR_REGISTRY_CORRUPT.
LONG parseRegistry(View bytes, Registry *reg) {
  size_t pos = 0;
  // The next line without its line end; false at the end of the bytes.
  auto nextLine = [&](View *l) {
    if (pos >= bytes.size()) return false;
    size_t nl = bytes.find('\n', pos);
    if (nl == View::npos) nl = bytes.size();
    size_t end = nl > pos && bytes[nl - 1] == '\r' ? nl - 1 : nl;
    *l = bytes.substr(pos, end - pos);
    pos = nl + 1;
    return true;
  };
  bool sawSignature = false;
  Key *current = nullptr;
  View l, next;
  std::string joined;
  Value v;
  // Headers mostly follow their siblings: the last header's parent path and
  // key find the next sibling without walking the whole path again.
  View parentPath;
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
      if (close == View::npos || close < 2) return ERROR_REGISTRY_CORRUPT;
      View path = l.substr(1, close - 1);
      size_t cut = path.rfind('\\');
      View leaf = cut == View::npos ? View() : path.substr(cut + 1);
      if (parent && cut == parentPath.size() && path.substr(0, cut) == parentPath && !leaf.empty() &&
          leaf.size() <= kMaxKeyName) {
        current = parent->childOrAdd(leaf);
        continue;
      }
      current = keyForHeader(reg, path);
      if (!current) return ERROR_REGISTRY_CORRUPT;
      parent = cut == View::npos ? nullptr : keyForHeader(reg, path.substr(0, cut));
      parentPath = parent ? path.substr(0, cut) : View();
      continue;
    }
    if (!current || (l[0] != '"' && l[0] != '@')) return ERROR_REGISTRY_CORRUPT;
    // Hex data may go on over lines that end in a backslash.
    if (l.back() == '\\' && l.find("=hex") != View::npos) {
      joined.assign(l);
      while (!joined.empty() && joined.back() == '\\' && nextLine(&next)) {
        joined.pop_back();
        size_t b = next.find_first_not_of(" \t");
        if (b != View::npos) joined.append(next.substr(b));
      }
      l = joined;
    }
    if (!parseValue(l, &v)) return ERROR_REGISTRY_CORRUPT;
    Value *slot = current->valueOrAdd(v.name);
    slot->type = v.type;
    slot->data.swap(v.data);
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
      struct stat st;
      return stat(path.c_str(), &st) != 0 && errno == ENOENT;
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
  int fd = openPrefixFile(file);
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
  int fd = openPrefixFile(file);
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
    lock = std::make_unique<HostFileLock>(lockFile(), true);
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
  batch.lock = std::make_unique<HostFileLock>(lockFile(), true);
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
