// w32prefix's reg commands: query, set, delete, export and import, on the
// registry through the layer's own calls.
#include "w32prefix.h"

#include "output_file.h"
#include "tool_cli.h"
#include "w32_test.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include <string.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace w32prefix {

// splitKey for a KEY argument: a usage error (*status) for an unknown root.
bool keyArgument(const std::string &command, const std::string &key, HKEY *root, std::string *rootName,
                 std::string *sub, int *status) {
  if (!splitKey(key, root, rootName, sub)) {
    *status = usage(command, "unknown root key in " + key + " (HKLM, HKCU, HKU, HKCR)");
    return false;
  }
  std::string problem = keyNameProblem(*root, *sub);
  if (!problem.empty()) {
    *status = usage(command, "not a key the registry takes: " + problem);
    return false;
  }
  return true;
}


namespace {

bool registryReadable(const std::string &command) {
  return prefixFileReadable(command, w32::prefixDir() + "/system.reg");
}

const char *typeName(DWORD type) {
  switch (type) {
  case REG_NONE: return "REG_NONE";
  case REG_SZ: return "REG_SZ";
  case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
  case REG_BINARY: return "REG_BINARY";
  case REG_DWORD: return "REG_DWORD";
  case REG_MULTI_SZ: return "REG_MULTI_SZ";
  default: return "REG_UNKNOWN";
  }
}

// The value's data as `reg query` shows it.
std::string showData(DWORD type, const std::string &data) {
  char buf[16];
  if (type == REG_DWORD && data.size() == 4) {
    DWORD n;
    memcpy(&n, data.data(), 4);
    snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(n));
    return buf;
  }
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && data.find('\0') == data.size() - 1) return data.substr(0, data.size() - 1);
  if (type == REG_MULTI_SZ && data.size() >= 2 && data.compare(data.size() - 2, 2, std::string(2, '\0')) == 0) {
    std::string out;  // as reg shows it: the strings separated by \0
    for (size_t at = 0; at < data.size() - 2;) {
      size_t end = data.find('\0', at);
      out += (at ? "\\0" : "") + data.substr(at, end - at);
      at = end + 1;
    }
    return out;
  }
  std::string out;
  for (unsigned char c : data) {
    snprintf(buf, sizeof buf, "%02X", c);
    out += buf;
  }
  return out;
}

void printValue(const std::string &name, DWORD type, const std::string &data) {
  std::cout << "    " << (name.empty() ? "(Default)" : name) << "    " << typeName(type) << "    "
            << showData(type, data) << "\n";
}

// The registry as seen through the layer: every call's failure said once.
std::string regFailure(const std::string &key, LONG rc) {
  std::string file = w32::prefixDir() + "/system.reg";
  return rc == ERROR_FILE_NOT_FOUND      ? key + ": no such key"
         : rc == ERROR_REGISTRY_CORRUPT ? file + ": not a registry, or one Windows would refuse (error " +
                                               std::to_string(rc) + ")"
         : rc == ERROR_ACCESS_DENIED    ? key + ": refused (error 5)"
         : rc == ERROR_FILE_TOO_LARGE   ? file + ": not changed: the registry would grow past 64 MiB, the most "
                                               "that can be read back (error 223)"
                                        : file + ": the registry cannot be read or written (error " +
                                               std::to_string(rc) + ")";
}

// The exit status of a failed registry call: a key that is not there, or
// a change the registry cannot hold, is the data's fault; the rest is I/O.
int regStatus(LONG rc) { return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_FILE_TOO_LARGE ? kExitBadData : kExitIo; }



std::vector<Value> valuesOf(HKEY key) {
  std::vector<Value> values;
  for (DWORD i = 0;; ++i) {
    std::vector<char> name(16384);
    DWORD nameSize = static_cast<DWORD>(name.size()), type = 0, size = 0;
    if (RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::string data(size, '\0');
    nameSize = static_cast<DWORD>(name.size());
    if (RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type, reinterpret_cast<BYTE *>(&data[0]), &size) !=
        ERROR_SUCCESS)
      break;
    values.push_back({std::string(name.data(), nameSize), type, data.substr(0, size)});
  }
  return values;
}

std::vector<std::string> subkeysOf(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameSize = sizeof name;
    if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, nameSize);
  }
  return names;
}

// Visits KEY and, when deep, every key below it (parents first).
LONG walkKeys(HKEY root, const std::string &path, bool deep,
              const std::function<void(const std::string &, HKEY)> &visit) {
  HKEY key;
  LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return rc;
  visit(path, key);
  std::vector<std::string> subkeys = subkeysOf(key);
  RegCloseKey(key);
  if (!deep) return ERROR_SUCCESS;
  for (const std::string &sub : subkeys) {
    rc = walkKeys(root, path.empty() ? sub : path + "\\" + sub, true, visit);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

// Options of the reg commands, as reg.exe spells them: /v NAME, /ve,
// /t TYPE, /d DATA, /s, /f (no question asked), /y (overwrite the output)
// and /unicode (export in regedit's later format). An argument starting
// with "/" that is none of these is a path when it is longer than an
// option.
struct RegArgs {
  std::vector<std::string> plain;
  bool hasValue = false;
  std::string value;
  std::string type = "REG_SZ";
  bool hasData = false;
  std::string data;
  bool recursive = false;
  bool force = false;
  bool overwrite = false;
  bool unicode = false;
};

bool parseRegArgs(const std::string &command, const std::vector<std::string> &args, const char *allowed,
                  RegArgs *out, int *status) {
  const std::string known = " v ve t d s f y unicode ";
  for (size_t i = 0; i < args.size(); i++) {
    std::string a = args[i];
    std::string lower = a;
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::string flag = lower.size() > 1 ? lower.substr(1) : "";
    bool option = a.size() > 1 && (a[0] == '-' || (a[0] == '/' && (a.size() <= 3 || known.find(" " + flag + " ") !=
                                                                                     std::string::npos)));
    if (!option) {
      out->plain.push_back(a);
      continue;
    }
    if (a[0] == '-' || std::string(allowed).find(" " + flag + " ") == std::string::npos) {
      *status = usage(command, "unknown option " + a);
      return false;
    }
    bool takes = flag == "v" || flag == "t" || flag == "d";
    if (takes && i + 1 >= args.size()) {
      *status = usage(command, a + " needs a value");
      return false;
    }
    if (flag == "v") {
      out->hasValue = true;
      out->value = args[++i];
    } else if (flag == "ve") {
      out->hasValue = true;
      out->value.clear();
    } else if (flag == "t") {
      out->type = args[++i];
    } else if (flag == "d") {
      out->hasData = true;
      out->data = args[++i];
    } else if (flag == "s") {
      out->recursive = true;
    } else if (flag == "f") {
      out->force = true;
    } else if (flag == "y") {
      out->overwrite = true;
    } else if (flag == "unicode") {
      out->unicode = true;
    }
  }
  return true;
}

// Asks on the terminal, as reg.exe does: true for an answer starting with
// y. Without a terminal nothing is asked: false with *refusal set to say
// why and which option goes without asking.
bool confirmed(const std::string &question, const std::string &option, std::string *refusal) {
  if (!isatty(STDIN_FILENO)) {
    *refusal = "not done: there is no terminal to ask on; " + option;
    return false;
  }
  std::fprintf(stderr, "%s (Yes/No)? ", question.c_str());
  std::fflush(stderr);
  std::string answer;
  std::getline(std::cin, answer);
  if (!answer.empty() && (answer[0] == 'y' || answer[0] == 'Y')) return true;
  *refusal = "not done: the answer was no";
  return false;
}

LONG setValue(HKEY root, const std::string &sub, const std::string &name, DWORD type, const std::string &data) {
  HKEY key;
  LONG rc = RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(data.data()),
                      static_cast<DWORD>(data.size()));
  RegCloseKey(key);
  return rc;
}

// A key and everything below it, the deepest first (RegDeleteKeyA takes
// only keys without subkeys).
LONG deleteTree(HKEY root, const std::string &sub) {
  HKEY key;
  LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> subkeys = subkeysOf(key);
  RegCloseKey(key);
  for (const std::string &name : subkeys) {
    rc = deleteTree(root, sub + "\\" + name);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return RegDeleteKeyA(root, sub.c_str());
}

LONG deleteValue(HKEY root, const std::string &sub, const std::string &name) {
  HKEY key;
  LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegDeleteValueA(key, name.c_str());
  RegCloseKey(key);
  return rc;
}


} // namespace

int regQuery(const std::vector<std::string> &args) {
  const std::string command = "reg query";
  RegArgs r;
  int status = 0;
  if (!parseRegArgs(command, args, " v ve s ", &r, &status)) return status;
  if (r.plain.size() == 2 && !r.hasValue) {
    r.hasValue = true;
    r.value = r.plain[1];
    r.plain.pop_back();
  }
  if (r.plain.size() != 1) return usage(command, r.plain.empty() ? "no KEY" : "unexpected argument " + r.plain.back());
  HKEY root;
  std::string rootName, sub;
  if (!keyArgument(command, r.plain[0], &root, &rootName, &sub, &status)) return status;
  if (!needPrefix(command)) return kExitIo;
  if (!registryReadable(command)) return kExitIo;
  bool first = true;
  LONG rc = walkKeys(root, sub, r.recursive && !r.hasValue, [&](const std::string &path, HKEY key) {
    std::string shown = rootName + (path.empty() ? "" : "\\" + path);
    if (r.hasValue) {
      // The key is shown with its value, or the error alone, as reg.exe does.
      DWORD type = 0, size = 0;
      LONG got = RegQueryValueExA(key, r.value.c_str(), nullptr, &type, nullptr, &size);
      std::string data(size, '\0');
      if (got == ERROR_SUCCESS)
        got = RegQueryValueExA(key, r.value.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&data[0]), &size);
      if (got == ERROR_SUCCESS) {
        std::cout << shown << "\n";
        printValue(r.value, type, data.substr(0, size));
      } else {
        toolError(kTool, command, r.plain[0], r.value.empty() ? "no default value" : "no value " + r.value);
        status = kExitBadData;
      }
      return;
    }
    std::cout << (first ? "" : "\n") << shown << "\n";
    first = false;
    for (const Value &v : valuesOf(key)) printValue(v.name, v.type, v.data);
    if (!r.recursive) {
      for (const std::string &name : subkeysOf(key)) std::cout << "\n" << shown << "\\" << name << "\n";
    }
  });
  if (rc != ERROR_SUCCESS) {
    toolError(kTool, command, regFailure(r.plain[0], rc), "");
    return regStatus(rc);
  }
  return status;
}


// reg add, and reg set (the same, never asking): a value, or with no /v
// the key alone.
int regAdd(const std::vector<std::string> &args, bool asks) {
  const std::string command = asks ? "reg add" : "reg set";
  RegArgs r;
  int status = 0;
  if (!parseRegArgs(command, args, asks ? " v ve t d f " : " v ve t d ", &r, &status)) return status;
  if (r.plain.size() != 1) return usage(command, r.plain.empty() ? "no KEY" : "unexpected argument " + r.plain.back());
  if (!asks && !r.hasValue) return usage(command, "no value named (/v VALUE, or /ve for the default value)");
  if (!asks && !r.hasData) return usage(command, "no data (/d DATA)");
  HKEY root;
  std::string rootName, sub;
  if (!keyArgument(command, r.plain[0], &root, &rootName, &sub, &status)) return status;
  for (char &c : r.type) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const char *const types[] = {"REG_SZ", "REG_EXPAND_SZ", "REG_DWORD", "REG_BINARY", "REG_MULTI_SZ"};
  if (std::find(std::begin(types), std::end(types), r.type) == std::end(types))
    return usage(command, "unknown type " + r.type + " (REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ)");
  DWORD type;
  std::string data;
  if (r.hasValue && !encodeData(r.type, r.data, &type, &data)) return usage(command, "'" + r.data + "' is not " + r.type + " data");
  if (r.hasValue && !valueNameProblem(r.value).empty()) return usage(command, "/v: " + valueNameProblem(r.value));
  if (sub.empty()) return usage(command, "values and keys go below " + rootName);
  if (!registryReadable(command)) return kExitIo;
  HKEY key;
  LONG rc = RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS && r.hasValue) {
    std::string refusal;
    bool there = RegQueryValueExA(key, r.value.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    if (asks && there && !r.force &&
        !confirmed("Value " + (r.value.empty() ? std::string("(Default)") : r.value) + " exists, overwrite",
                   "/f overwrites it", &refusal)) {
      RegCloseKey(key);
      toolError(kTool, command, r.value.empty() ? "the default value" : "value " + r.value, refusal);
      return kExitBadData;
    }
    rc = RegSetValueExA(key, r.value.c_str(), 0, type, reinterpret_cast<const BYTE *>(data.data()),
                        static_cast<DWORD>(data.size()));
  }
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    toolError(kTool, command, regFailure(r.plain[0], rc), "");
    return regStatus(rc);
  }
  return kExitOk;
}

int regDelete(const std::vector<std::string> &args) {
  const std::string command = "reg delete";
  RegArgs r;
  int status = 0;
  if (!parseRegArgs(command, args, " v ve f ", &r, &status)) return status;
  if (r.plain.size() != 1) return usage(command, r.plain.empty() ? "no KEY" : "unexpected argument " + r.plain.back());
  HKEY root;
  std::string rootName, sub;
  if (!keyArgument(command, r.plain[0], &root, &rootName, &sub, &status)) return status;
  if (!r.hasValue && sub.empty()) return usage(command, rootName + " itself cannot be deleted");
  if (!needPrefix(command)) return kExitIo;
  if (!registryReadable(command)) return kExitIo;
  std::string refusal;
  std::string what = r.hasValue ? "the registry value " + (r.value.empty() ? std::string("(Default)") : r.value)
                                : "the registry key " + r.plain[0];
  if (!r.force && !confirmed("Delete " + what, "/f deletes without asking", &refusal)) {
    toolError(kTool, command, what, refusal);
    return isatty(STDIN_FILENO) ? kExitBadData : kExitUsage;
  }
  LONG rc = r.hasValue ? deleteValue(root, sub, r.value) : deleteTree(root, sub);
  if (rc == ERROR_FILE_NOT_FOUND && r.hasValue) {
    HKEY key;
    if (RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
      RegCloseKey(key);
      toolError(kTool, command, r.value.empty() ? "no default value" : "no value " + r.value, "");
      return kExitBadData;
    }
  }
  if (rc != ERROR_SUCCESS) {
    toolError(kTool, command, regFailure(r.plain[0], rc), "");
    return regStatus(rc);
  }
  return kExitOk;
}



int regExport(const std::vector<std::string> &args) {
  const std::string command = "reg export";
  RegArgs r;
  int status = 0;
  if (!parseRegArgs(command, args, " y unicode ", &r, &status)) return status;
  if (r.plain.size() != 2) return usage(command, "needs KEY and FILE");
  HKEY root;
  std::string rootName, sub;
  if (!keyArgument(command, r.plain[0], &root, &rootName, &sub, &status)) return status;
  if (!needPrefix(command)) return kExitIo;
  if (!registryReadable(command)) return kExitIo;
  const std::string &file = r.plain[1];
  if (file != "-" && !notPrefixFile(command, file)) return kExitIo;
  std::string text = r.unicode ? std::string(kRegedit5) + "\r\n" : "REGEDIT4\r\n";
  LONG rc = walkKeys(root, sub, true, [&](const std::string &path, HKEY key) {
    text += "\r\n[" + rootName + (path.empty() ? "" : "\\" + path) + "]\r\n";
    for (const Value &v : valuesOf(key)) text += exportValue(v, r.unicode) + "\r\n";
  });
  if (rc != ERROR_SUCCESS) {
    toolError(kTool, command, regFailure(r.plain[0], rc), "");
    return regStatus(rc);
  }
  text += "\r\n";
  if (r.unicode) text = unicodeFile(text);
  if (file == "-") {
    std::cout << text;
    return kExitOk;
  }
  // A file that is there is replaced when /y says so, or the person at the
  // terminal does; a device or FIFO is written as it is.
  OutputOptions options;
  options.force = r.overwrite;
  OutputTarget target;
  std::string error, refusal;
  if (!resolveOutput(file, options, &target, &error)) {
    if (!r.overwrite && target.kind == OutputKind::Regular && access(target.path.c_str(), W_OK) != 0) {
      toolError(kTool, command, file, "read-only; /y replaces it");
      return kExitIo;
    }
    toolError(kTool, command, file, error);
    return kExitIo;
  }
  if (target.kind == OutputKind::Regular && !r.overwrite &&
      !confirmed("File " + file + " already exists. Overwrite", "/y overwrites it", &refusal)) {
    toolError(kTool, command, file, refusal);
    return kExitIo;
  }
  if (!writeOutput(file, options, [&](int fd) { return writeAllTo(fd, text.data(), text.size()); }, &error)) {
    toolError(kTool, command, file, error);
    return kExitIo;
  }
  return kExitOk;
}

int regImport(const std::vector<std::string> &args) {
  const std::string command = "reg import";
  RegArgs r;
  int status = 0;
  if (!parseRegArgs(command, args, " ", &r, &status)) return status;
  if (r.plain.size() != 1) return usage(command, "needs one FILE");
  // Read once, whatever it is (a file, a pipe, standard input), never
  // waited on at the open, and never more than a registry may hold.
  std::string text;
  int fd = r.plain[0] == "-" ? dup(STDIN_FILENO) : open(r.plain[0].c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    toolError(kTool, command, r.plain[0], strerror(errno));
    return kExitIo;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const size_t cap = 64 * 1024 * 1024;
  char block[65536];
  ssize_t n;
  while ((n = read(fd, block, sizeof block)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || text.size() + static_cast<size_t>(n) > cap) {
      int e = errno;
      close(fd);
      toolError(kTool, command, r.plain[0], n < 0 ? strerror(e) : "larger than 64 MiB, the most a registry holds");
      return n < 0 ? kExitIo : kExitBadData;
    }
    text.append(block, static_cast<size_t>(n));
  }
  close(fd);
  std::vector<Change> changes;
  std::string where, why, decoded;
  std::string name = r.plain[0] == "-" ? "(standard input)" : r.plain[0];
  if (!decodeRegFile(text, &decoded, &why)) {
    toolError(kTool, command, name, why);
    return kExitBadData;
  }
  if (!parseRegFile(decoded, name, &changes, &where, &why)) {
    toolError(kTool, command, where, why);
    return kExitBadData;
  }
  if (!registryReadable(command)) return kExitIo;
  // All of it in one write under the registry's lock, or nothing: a
  // failure, or an end in between, leaves the registry as it was.
  LONG rc = w32::beginRegistryBatch();
  if (rc != ERROR_SUCCESS) {
    toolError(kTool, command, regFailure(changes.empty() ? "" : changes[0].key, rc), "");
    return kExitIo;
  }
  HKEY open = nullptr; // the key of the values that follow its header
  auto closeOpen = [&] {
    if (open) RegCloseKey(open);
    open = nullptr;
  };
  for (const Change &c : changes) {
    rc = ERROR_SUCCESS;
    if (c.deleteKey) {
      closeOpen();
      rc = deleteTree(c.root, c.sub);
      if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    } else if (!c.hasValue) {
      closeOpen();
      rc = RegCreateKeyExA(c.root, c.sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &open, nullptr);
      if (rc != ERROR_SUCCESS) open = nullptr;
    } else if (c.deleteValue) {
      rc = open ? RegDeleteValueA(open, c.value.name.c_str()) : deleteValue(c.root, c.sub, c.value.name);
      if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    } else if (open) {
      rc = RegSetValueExA(open, c.value.name.c_str(), 0, c.value.type, reinterpret_cast<const BYTE *>(c.value.data.data()),
                          static_cast<DWORD>(c.value.data.size()));
    } else {
      rc = setValue(c.root, c.sub, c.value.name, c.value.type, c.value.data);
    }
    if (rc != ERROR_SUCCESS) {
      closeOpen();
      w32::abandonRegistryBatch();
      toolError(kTool, command, regFailure(c.key, rc), "nothing was imported");
      return regStatus(rc);
    }
  }
  closeOpen();
  rc = w32::commitRegistryBatch();
  if (rc != ERROR_SUCCESS) {
    toolError(kTool, command, regFailure(r.plain[0], rc), "nothing was imported");
    return regStatus(rc);
  }
  return kExitOk;
}

} // namespace w32prefix
