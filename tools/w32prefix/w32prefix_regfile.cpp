// Registry files as w32prefix reads and writes them: REGEDIT4 (the
// registry's own text, one byte a character) and regedit's later format,
// "Windows Registry Editor Version 5.00", in UTF-16LE with a byte-order
// mark, whose string data (hex(1), hex(2), hex(7)) are UTF-16LE too. The
// registry keeps ANSI text, so a character past U+00FF cannot be imported.
// The data of a value from its text, a value as an exported line, and a
// whole file read into the changes it asks for.
#include "w32prefix.h"

#include <stdlib.h>
#include <string.h>

#include <cstdio>
#include <sstream>

namespace w32prefix {

namespace {

// A REGEDIT4 string: backslash and double quote escaped.
std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Parses one REGEDIT4 value line ("name"=...) into name and data; "name"=-
// gives deleteIt.
bool parseRegLine(const std::string &line, Value *v, bool *deleteIt, std::string *why) {
  size_t at = 0;
  v->name.clear();
  *deleteIt = false;
  if (line[0] == '@') {
    at = 1;
  } else {
    at = 1;
    bool closed = false;
    while (at < line.size()) {
      char c = line[at++];
      if (c == '\\' && at < line.size()) {
        v->name += line[at++];
      } else if (c == '"') {
        closed = true;
        break;
      } else {
        v->name += c;
      }
    }
    if (!closed) {
      *why = "a value name without its closing quote";
      return false;
    }
  }
  if (at >= line.size() || line[at] != '=') {
    *why = "no = after the value name";
    return false;
  }
  std::string rest = line.substr(at + 1);
  if (rest == "-") {
    *deleteIt = true;
    return true;
  }
  if (!rest.empty() && rest[0] == '"') {
    v->type = REG_SZ;
    v->data.clear();
    size_t i = 1;
    for (; i < rest.size() && rest[i] != '"'; i++) {
      if (rest[i] == '\\' && i + 1 < rest.size()) i++;
      v->data += rest[i];
    }
    if (i != rest.size() - 1) {
      *why = "a string value is \"text\", with \\\\ and \\\" inside";
      return false;
    }
    v->data += '\0';
    return true;
  }
  if (rest.compare(0, 6, "dword:") == 0) {
    std::string digits = rest.substr(6);
    char *end = nullptr;
    unsigned long long n = strtoull(digits.c_str(), &end, 16);
    if (digits.empty() || digits.size() > 8 || *end) {
      *why = "dword: takes eight hex digits";
      return false;
    }
    DWORD d = static_cast<DWORD>(n);
    v->type = REG_DWORD;
    v->data.assign(reinterpret_cast<const char *>(&d), 4);
    return true;
  }
  std::string hex;
  if (rest.compare(0, 4, "hex:") == 0) {
    v->type = REG_BINARY;
    hex = rest.substr(4);
  } else if (rest.compare(0, 4, "hex(") == 0 && rest.find("):") != std::string::npos) {
    char *end = nullptr;
    v->type = static_cast<DWORD>(strtoul(rest.c_str() + 4, &end, 16));
    if (*end != ')') {
      *why = "hex(N): takes a hex type number";
      return false;
    }
    hex = rest.substr(rest.find("):") + 2);
  } else {
    *why = "unknown data (\"text\", dword:, hex: or hex(N):)";
    return false;
  }
  DWORD ignored;
  if (!encodeData("REG_BINARY", hex, &ignored, &v->data)) {
    *why = "hex bytes are two hex digits each, separated by commas";
    return false;
  }
  return true;
}

} // namespace

// "a\0b" -> "a", "b" as REG_MULTI_SZ data.
bool encodeData(const std::string &type, const std::string &text, DWORD *regType, std::string *data) {
  if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
    *regType = type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    *data = text + '\0';
    return text.find('\0') == std::string::npos;
  }
  if (type == "REG_MULTI_SZ") {
    *regType = REG_MULTI_SZ;
    data->clear();
    for (size_t at = 0;;) {
      size_t sep = text.find("\\0", at);
      *data += text.substr(at, sep == std::string::npos ? std::string::npos : sep - at) + '\0';
      if (sep == std::string::npos) break;
      at = sep + 2;
    }
    *data += '\0';
    return true;
  }
  if (type == "REG_DWORD") {
    *regType = REG_DWORD;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end || errno || n > 0xFFFFFFFFull) return false;
    DWORD d = static_cast<DWORD>(n);
    data->assign(reinterpret_cast<const char *>(&d), 4);
    return true;
  }
  if (type == "REG_BINARY") {
    *regType = REG_BINARY;
    data->clear();
    std::string digits;
    for (char c : text) {
      if (c == ',' || c == ' ') continue;
      if (!isxdigit(static_cast<unsigned char>(c))) return false;
      digits += c;
    }
    if (digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2) data->push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
  }
  return false;
}


namespace {

// ANSI text to UTF-16LE bytes, a byte a code unit.
std::string wide(const std::string &bytes) {
  std::string out;
  for (char c : bytes) {
    out += c;
    out += '\0';
  }
  return out;
}

// UTF-16LE bytes to ANSI text: false for an odd length or a character past
// U+00FF.
bool narrow(const std::string &bytes, std::string *out) {
  out->clear();
  if (bytes.size() % 2) return false;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    if (bytes[i + 1] != '\0') return false;
    *out += bytes[i];
  }
  return true;
}

} // namespace

std::string exportValue(const Value &v, bool unicode) {
  std::string line = v.name.empty() ? "@" : quoted(v.name);
  line += "=";
  if (v.type == REG_SZ && !v.data.empty() && v.data.find('\0') == v.data.size() - 1 &&
      v.data.find_first_of("\r\n") == std::string::npos)
    return line + quoted(v.data.substr(0, v.data.size() - 1));
  if (v.type == REG_DWORD && v.data.size() == 4) {
    DWORD n;
    memcpy(&n, v.data.data(), 4);
    char buf[16];
    snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(n));
    return line + buf;
  }
  char buf[16];
  if (v.type == REG_BINARY) {
    line += "hex:";
  } else {
    snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
    line += buf;
  }
  bool text = v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ;
  std::string data = unicode && text ? wide(v.data) : v.data;
  for (size_t i = 0; i < data.size(); i++) {
    snprintf(buf, sizeof buf, "%s%02x", i ? "," : "", static_cast<unsigned char>(data[i]));
    line += buf;
  }
  return line;
}

const char kRegedit5[] = "Windows Registry Editor Version 5.00";

std::string unicodeFile(const std::string &text) { return "\xff\xfe" + wide(text); }

bool decodeRegFile(const std::string &raw, std::string *text, std::string *why) {
  if (raw.compare(0, 2, "\xff\xfe") == 0) {
    if (!narrow(raw.substr(2), text)) {
      *why = "holds a character the registry's ANSI text cannot hold (past U+00FF), or is cut short";
      return false;
    }
    return true;
  }
  *text = raw.compare(0, 3, "\xef\xbb\xbf") == 0 ? raw.substr(3) : raw;
  return true;
}

bool parseRegFile(const std::string &text, const std::string &name, std::vector<Change> *changes, std::string *where,
                  std::string *why) {
  // Lines, with continuations ("\" at the end of hex data) joined.
  std::vector<std::pair<int, std::string>> lines;
  {
    std::string joined;
    int number = 0, first = 0;
    for (size_t at = 0; at < text.size();) {
      size_t nl = text.find('\n', at);
      if (nl == std::string::npos) nl = text.size();
      std::string line = text.substr(at, nl - at);
      at = nl + 1;
      number++;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (joined.empty()) first = number;
      size_t b = line.find_first_not_of(" \t");
      line = b == std::string::npos ? "" : line.substr(joined.empty() ? 0 : b);
      if (!line.empty() && line.back() == '\\' && line.find("hex") != std::string::npos) {
        joined += line.substr(0, line.size() - 1);
        continue;
      }
      lines.push_back({first, joined + line});
      joined.clear();
    }
    if (!joined.empty()) lines.push_back({first, joined});
  }
  size_t i = 0;
  while (i < lines.size() && lines[i].second.empty()) i++;
  if (i == lines.size() || (lines[i].second != "REGEDIT4" && lines[i].second != kRegedit5)) {
    *where = name;
    *why = std::string("not a registry file (its first line is REGEDIT4 or ") + kRegedit5 + ")";
    return false;
  }
  bool unicode = lines[i].second == kRegedit5;
  auto fault = [&](size_t at, const std::string &what) {
    *where = name + ":" + std::to_string(lines[at].first);
    *why = what;
    return false;
  };
  changes->clear();
  Change current{};
  bool inKey = false;
  for (i++; i < lines.size(); i++) {
    const std::string &line = lines[i].second;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fault(i, "a key line ends in ]");
      Change c{};
      c.deleteKey = line[1] == '-';
      c.key = line.substr(c.deleteKey ? 2 : 1, line.size() - (c.deleteKey ? 3 : 2));
      std::string rootName;
      if (!splitKey(c.key, &c.root, &rootName, &c.sub) || c.sub.empty())
        return fault(i, "not a key below HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS or HKEY_CLASSES_ROOT: " +
                            c.key);
      std::string problem = keyNameProblem(c.root, c.sub);
      if (!problem.empty()) return fault(i, "not a key the registry takes: " + problem);
      changes->push_back(c);
      current = c;
      inKey = !c.deleteKey;
      continue;
    }
    if (line[0] != '"' && line[0] != '@') return fault(i, "not a key, a value or a comment");
    if (!inKey) return fault(i, "a value outside a key");
    Change c = current;
    c.deleteKey = false;
    c.hasValue = true;
    std::string lineWhy;
    if (!parseRegLine(line, &c.value, &c.deleteValue, &lineWhy)) return fault(i, lineWhy);
    std::string problem = valueNameProblem(c.value.name);
    if (!problem.empty()) return fault(i, "not a value the registry takes: " + problem);
    // The later format's string data are UTF-16LE.
    bool text = c.value.type == REG_SZ || c.value.type == REG_EXPAND_SZ || c.value.type == REG_MULTI_SZ;
    std::string ansi;
    if (unicode && text && line.find("=hex(") != std::string::npos) {
      if (!narrow(c.value.data, &ansi)) return fault(i, "the string data are not UTF-16LE text the registry's ANSI text can hold");
      c.value.data = ansi;
    }
    changes->push_back(std::move(c));
  }
  return true;
}

} // namespace w32prefix
