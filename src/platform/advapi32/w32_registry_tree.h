// The registry as the Linux layer keeps it in memory: keys and values under
// the three root keys, found by name through indexes, and the text of
// system.reg read into that tree and written from it (w32_registry_file.cpp).
#pragma once

#include "machine/w32_core.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace w32int {

// An open registry key: its root and path, looked up again on every call.
struct RegKeyObject : Object {
  RegKeyObject() : Object(ObjKind::RegKey) {}
  int root = 0;                   // index into the registry's roots
  std::vector<std::string> path;  // components below the root
  DWORD access = 0;               // REGSAM granted
};

} // namespace w32int

namespace w32reg {

inline const char *const kRootNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS"};
constexpr int kRoots = 3;

// What Windows allows (w32_test.h): a key name of at most 255 characters, a
// tree at most 512 levels deep below its root key.
constexpr size_t kMaxKeyName = w32::kRegistryMaxKeyName;
constexpr size_t kMaxDepth = w32::kRegistryMaxDepth;

using View = std::string_view;

// Names compare without regard to ASCII case.
inline unsigned char foldChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + 32) : u;
}

inline bool sameName(View a, View b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (foldChar(a[i]) != foldChar(b[i])) return false;
  }
  return true;
}

// The subkeys' order: by their names in lower case, byte by byte.
inline bool nameBefore(View a, View b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = foldChar(a[i]), y = foldChar(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

inline uint32_t nameHash(View s) {
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

// Reads system.reg's text into *reg (fresh): ERROR_SUCCESS, or
// ERROR_REGISTRY_CORRUPT for a text that does not parse or holds a name or
// a depth Windows refuses.
LONG parseRegistry(View bytes, Registry *reg);

// system.reg's text for the tree: every key in order under its full path.
std::string registryText(Registry &reg);

} // namespace w32reg
