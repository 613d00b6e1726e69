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
#include "w32_registry_store.h"
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
