// system.reg's text, REGEDIT4: read into the registry's tree and written
// from it.  The tree's rules (names, depth, order) are w32_registry_tree.h's.
#include "w32_registry_tree.h"

#include <cstdio>
#include <cstring>

using namespace w32int;

namespace w32reg {
namespace {

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

} // namespace


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

namespace {

// ---- Writing the file ------------------------------------------------------

std::string quote(const std::string &s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (size_t at = 0;;) {
    size_t stop = s.find_first_of("\\\"", at);
    out.append(s, at, stop == std::string::npos ? std::string::npos : stop - at);
    if (stop == std::string::npos) break;
    out += '\\';
    out += s[stop];
    at = stop + 1;
  }
  out += '"';
  return out;
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

} // namespace

std::string registryText(Registry &reg) {
  std::string out = "REGEDIT4\n\n";
  for (int r = 0; r < kRoots; ++r) writeTree(reg.roots[r], kRootNames[r], &out);
  return out;
}

} // namespace w32reg
