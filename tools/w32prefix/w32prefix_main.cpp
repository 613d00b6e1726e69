// w32prefix: the Linux Win32 layer's prefix for people using the Linux
// build.  Works on the prefix named by W32_PREFIX (default
// $HOME/.quorvel-w32), through the layer's own calls.  The commands that
// only look (reg query, reg export, groups, drives, freespace without
// arguments) need an existing prefix and leave it as it is; the others
// create one when there is none.
#include <windows.h>

#include "replace_file.h"
#include "tool_cli.h"
#include "w32_test.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kTool[] = "w32prefix";

// Each command's usage lines, its --help text, and whether it only looks.
struct Command {
  const char *name;
  const char *usage;
  const char *help;
};

const Command kCommands[] = {
    {"reg query", "w32prefix reg query KEY [VALUE | /v VALUE | /ve] [/s]",
     "Shows the values and subkeys of KEY (HKLM\\..., HKCU, HKU, HKCR), or one value\n"
     "(/ve: the default value). /s lists every subkey below KEY with its values.\n"},
    {"reg set", "w32prefix reg set KEY (/v VALUE | /ve) [/t TYPE] /d DATA",
     "Sets a value, creating KEY as needed. TYPE is REG_SZ (default), REG_EXPAND_SZ,\n"
     "REG_DWORD (decimal or 0x hex), REG_BINARY (hex digits) or REG_MULTI_SZ\n"
     "(strings separated by \\0).\n"},
    {"reg delete", "w32prefix reg delete KEY [/v VALUE | /ve]",
     "Deletes a value, or with no /v the key with all its subkeys and values.\n"},
    {"reg export", "w32prefix reg export KEY FILE",
     "Writes KEY and everything below it to FILE (\"-\": standard output) in the\n"
     "REGEDIT4 format.\n"},
    {"reg import", "w32prefix reg import FILE",
     "Reads a REGEDIT4 file (\"-\": standard input) into the registry: [KEY] sections\n"
     "with \"name\"=\"text\", dword:, hex: and hex(N): values; [-KEY] and \"name\"=-\n"
     "delete.\n"},
    {"groups", "w32prefix groups", "Shows the Program Manager groups and their items.\n"},
    {"drives", "w32prefix drives",
     "Shows each drive letter, the host directory it maps, and its simulated speed.\n"},
    {"drive", "w32prefix drive LETTER: HOSTDIR|- [--speed BYTES_PER_SECOND|-]\n"
              "       w32prefix drive LETTER: --speed BYTES_PER_SECOND|-",
     "Points a drive at a host directory (\"inserts a disk\"); \"-\" removes the\n"
     "mapping. --speed makes reads from the drive deliver at most that many bytes a\n"
     "second, whatever disk is in it (\"-\" or 0: full speed). C: and Z: belong to\n"
     "the prefix; a letter is given with its colon.\n"},
    {"freespace", "w32prefix freespace [LETTER: BYTES|-]",
     "Shows the free space of each drive, or makes a drive report BYTES free (\"-\"\n"
     "removes that). The setup program asks with GetDiskFreeSpaceA, a 32-bit query\n"
     "that reports at most 2 GiB (2147479552 bytes); more is shown as it is, with\n"
     "what the setup program sees.\n"},
};

void printHelp() {
  std::printf("usage: w32prefix COMMAND ...  (w32prefix COMMAND --help for one command)\n");
  for (const Command &c : kCommands) std::printf("       %s\n", c.usage);
  std::printf("The prefix is $W32_PREFIX (default $HOME/.quorvel-w32). Commands that only\n"
              "look (reg query, reg export, groups, drives, freespace) need an existing\n"
              "prefix and never change it; the others create one if there is none.\n");
  std::fputs(kExitStatusHelp, stdout);
}

int usage(const std::string &command, const std::string &what) {
  toolError(kTool, command, what, "");
  std::fprintf(stderr, "Try 'w32prefix %s--help'.\n", command.empty() ? "" : (command + " ").c_str());
  return kExitUsage;
}

// The prefix the layer will use, worked out as the layer does (so that it
// can be looked at before the layer touches it).
std::string prefixPath() {
  const char *p = getenv("W32_PREFIX");
  std::string prefix;
  if (p && *p) {
    prefix = p;
  } else if (const char *home = getenv("HOME"); home && *home) {
    prefix = std::string(home) + "/.quorvel-w32";
  } else {
    prefix = "/tmp/.quorvel-w32-" + std::to_string(static_cast<long>(getuid()));
  }
  if (prefix[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd)) prefix = std::string(cwd) + "/" + prefix;
  }
  return prefix;
}

bool isDir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A prefix the layer will use as it is: nothing to create in it.
bool prefixReady(std::string *why) {
  std::string prefix = prefixPath();
  if (!isDir(prefix)) {
    *why = "no such prefix (W32_PREFIX names the prefix; the setup program or 'w32prefix drive' makes one)";
    return false;
  }
  std::string windows;
  if (DIR *d = opendir((prefix + "/drive_c").c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (strcasecmp(e->d_name, "windows") == 0) windows = prefix + "/drive_c/" + e->d_name;
    }
    closedir(d);
  }
  if (windows.empty() || !exists(windows + "/win.ini") || !exists(windows + "/system.ini") ||
      !isDir(prefix + "/dosdevices") || !exists(prefix + "/dosdevices/c:") || !exists(prefix + "/dosdevices/z:")) {
    *why = "not a complete prefix (drive_c/windows with win.ini and system.ini, dosdevices/c: and z:)";
    return false;
  }
  return true;
}

// For a command that only looks: the prefix must be there already.
bool needPrefix(const std::string &command) {
  std::string why;
  if (prefixReady(&why)) return true;
  toolError(kTool, command, prefixPath(), why);
  return false;
}

// The layer reads its own files (system.reg, progman/groups.ini) only when
// they are regular files of at most 64 MiB; for anything else say which file
// and why, instead of a bare error code.
bool prefixFileReadable(const std::string &command, const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return true; // missing: empty
  const char *why = !S_ISREG(st.st_mode) ? "not a regular file" : st.st_size > 64 * 1024 * 1024 ? "larger than 64 MiB" : nullptr;
  if (!why) return true;
  toolError(kTool, command, path, std::string(why) + ", not read");
  return false;
}

bool upperEquals(const std::string &a, const char *b) {
  std::string x;
  for (char c : a) x += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return x == b;
}

// "HKLM\Software\x" -> HKEY_LOCAL_MACHINE and "Software\x".
bool splitKey(const std::string &key, HKEY *root, std::string *rootName, std::string *sub) {
  std::string head = key.substr(0, key.find('\\'));
  *sub = key.find('\\') == std::string::npos ? "" : key.substr(key.find('\\') + 1);
  while (!sub->empty() && sub->back() == '\\') sub->pop_back();
  struct Root {
    const char *shortName, *longName;
    HKEY key;
  };
  const Root roots[] = {{"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                        {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                        {"HKU", "HKEY_USERS", HKEY_USERS},
                        {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}};
  for (const Root &r : roots) {
    if (upperEquals(head, r.shortName) || upperEquals(head, r.longName)) {
      *root = r.key;
      *rootName = r.longName;
      return true;
    }
  }
  return false;
}

// splitKey for a KEY argument: a usage error (*status) for an unknown root.
bool keyArgument(const std::string &command, const std::string &key, HKEY *root, std::string *rootName,
                 std::string *sub, int *status) {
  if (splitKey(key, root, rootName, sub)) return true;
  *status = usage(command, "unknown root key in " + key + " (HKLM, HKCU, HKU, HKCR)");
  return false;
}

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
                                        : file + ": the registry cannot be read or written (error " +
                                               std::to_string(rc) + ")";
}

struct Value {
  std::string name;
  DWORD type;
  std::string data;
};

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

// Options of the reg commands: /v NAME, /ve, /t TYPE, /d DATA, /s.
struct RegArgs {
  std::vector<std::string> plain;
  bool hasValue = false;
  std::string value;
  std::string type = "REG_SZ";
  bool hasData = false;
  std::string data;
  bool recursive = false;
};

bool parseRegArgs(const std::string &command, const std::vector<std::string> &args, const char *allowed,
                  RegArgs *out, int *status) {
  for (size_t i = 0; i < args.size(); i++) {
    std::string a = args[i];
    std::string lower = a;
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    bool takes = lower == "/v" || lower == "/t" || lower == "/d";
    if (a.size() > 1 && (a[0] == '/' || a[0] == '-') && (a[0] != '/' || a.size() <= 3)) {
      std::string flag = lower.substr(1);
      if (a[0] == '-' || std::string(allowed).find(" " + flag + " ") == std::string::npos) {
        *status = usage(command, "unknown option " + a);
        return false;
      }
      if (takes && i + 1 >= args.size()) {
        *status = usage(command, a + " needs a value");
        return false;
      }
      if (lower == "/v") {
        out->hasValue = true;
        out->value = args[++i];
      } else if (lower == "/ve") {
        out->hasValue = true;
        out->value.clear();
      } else if (lower == "/t") {
        out->type = args[++i];
      } else if (lower == "/d") {
        out->hasData = true;
        out->data = args[++i];
      } else if (lower == "/s") {
        out->recursive = true;
      }
      continue;
    }
    out->plain.push_back(a);
  }
  return true;
}

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
    std::cout << (first ? "" : "\n") << shown << "\n";
    first = false;
    if (r.hasValue) {
      DWORD type = 0, size = 0;
      LONG got = RegQueryValueExA(key, r.value.c_str(), nullptr, &type, nullptr, &size);
      std::string data(size, '\0');
      if (got == ERROR_SUCCESS)
        got = RegQueryValueExA(key, r.value.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&data[0]), &size);
      if (got == ERROR_SUCCESS) {
        printValue(r.value, type, data.substr(0, size));
      } else {
        std::cout.flush();
        toolError(kTool, command, r.value.empty() ? "no default value" : "no value " + r.value, "");
        status = kExitBadData;
      }
      return;
    }
    for (const Value &v : valuesOf(key)) printValue(v.name, v.type, v.data);
    if (!r.recursive) {
      for (const std::string &name : subkeysOf(key)) std::cout << "\n" << shown << "\\" << name << "\n";
    }
  });
  if (rc != ERROR_SUCCESS) {
    toolError(kTool, command, regFailure(r.plain[0], rc), "");
    return rc == ERROR_FILE_NOT_FOUND ? kExitBadData : kExitIo;
  }
  return status;
}

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

int regSet(const std::vector<std::string> &args) {
  const std::string command = "reg set";
  RegArgs r;
  int status = 0;
  if (!parseRegArgs(command, args, " v ve t d ", &r, &status)) return status;
  if (r.plain.size() != 1) return usage(command, r.plain.empty() ? "no KEY" : "unexpected argument " + r.plain.back());
  if (!r.hasValue) return usage(command, "no value named (/v VALUE, or /ve for the default value)");
  if (!r.hasData) return usage(command, "no data (/d DATA)");
  HKEY root;
  std::string rootName, sub;
  if (!keyArgument(command, r.plain[0], &root, &rootName, &sub, &status)) return status;
  DWORD type;
  std::string data;
  for (char &c : r.type) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (!encodeData(r.type, r.data, &type, &data)) {
    return usage(command, "'" + r.data + "' is not " + r.type +
                              " data (types: REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ)");
  }
  if (sub.empty()) return usage(command, "values go in a key below " + rootName);
  if (!registryReadable(command)) return kExitIo;
  LONG rc = setValue(root, sub, r.value, type, data);
  if (rc != ERROR_SUCCESS) {
    toolError(kTool, command, regFailure(r.plain[0], rc), "");
    return kExitIo;
  }
  return kExitOk;
}

int regDelete(const std::vector<std::string> &args) {
  const std::string command = "reg delete";
  RegArgs r;
  int status = 0;
  if (!parseRegArgs(command, args, " v ve ", &r, &status)) return status;
  if (r.plain.size() != 1) return usage(command, r.plain.empty() ? "no KEY" : "unexpected argument " + r.plain.back());
  HKEY root;
  std::string rootName, sub;
  if (!keyArgument(command, r.plain[0], &root, &rootName, &sub, &status)) return status;
  if (!r.hasValue && sub.empty()) return usage(command, rootName + " itself cannot be deleted");
  if (!needPrefix(command)) return kExitIo;
  if (!registryReadable(command)) return kExitIo;
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
    return rc == ERROR_FILE_NOT_FOUND ? kExitBadData : kExitIo;
  }
  return kExitOk;
}

// A REGEDIT4 string: backslash and double quote escaped.
std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string exportValue(const Value &v) {
  std::string line = v.name.empty() ? "@" : quoted(v.name);
  line += "=";
  if (v.type == REG_SZ && !v.data.empty() && v.data.find('\0') == v.data.size() - 1) return line + quoted(v.data.substr(0, v.data.size() - 1));
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
  for (size_t i = 0; i < v.data.size(); i++) {
    snprintf(buf, sizeof buf, "%s%02x", i ? "," : "", static_cast<unsigned char>(v.data[i]));
    line += buf;
  }
  return line;
}

int regExport(const std::vector<std::string> &args) {
  const std::string command = "reg export";
  RegArgs r;
  int status = 0;
  if (!parseRegArgs(command, args, " ", &r, &status)) return status;
  if (r.plain.size() != 2) return usage(command, "needs KEY and FILE");
  HKEY root;
  std::string rootName, sub;
  if (!keyArgument(command, r.plain[0], &root, &rootName, &sub, &status)) return status;
  if (!needPrefix(command)) return kExitIo;
  if (!registryReadable(command)) return kExitIo;
  std::string text = "REGEDIT4\r\n";
  LONG rc = walkKeys(root, sub, true, [&](const std::string &path, HKEY key) {
    text += "\r\n[" + rootName + (path.empty() ? "" : "\\" + path) + "]\r\n";
    for (const Value &v : valuesOf(key)) text += exportValue(v) + "\r\n";
  });
  if (rc != ERROR_SUCCESS) {
    toolError(kTool, command, regFailure(r.plain[0], rc), "");
    return rc == ERROR_FILE_NOT_FOUND ? kExitBadData : kExitIo;
  }
  text += "\r\n";
  if (r.plain[1] == "-") {
    std::cout << text;
    return kExitOk;
  }
  std::string error;
  if (!writeReplacing(r.plain[1], 0644, text.data(), text.size(), &error)) {
    toolError(kTool, command, r.plain[1], error);
    return kExitIo;
  }
  return kExitOk;
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

int regImport(const std::vector<std::string> &args) {
  const std::string command = "reg import";
  RegArgs r;
  int status = 0;
  if (!parseRegArgs(command, args, " ", &r, &status)) return status;
  if (r.plain.size() != 1) return usage(command, "needs one FILE");
  std::string text;
  if (r.plain[0] == "-") {
    std::ostringstream all;
    all << std::cin.rdbuf();
    text = all.str();
  } else {
    std::ifstream in(r.plain[0], std::ios::binary);
    if (!in) {
      toolError(kTool, command, r.plain[0], strerror(errno));
      return kExitIo;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  // Lines, with continuations ("\" at the end) joined.
  std::vector<std::pair<int, std::string>> lines;
  {
    std::istringstream in(text);
    std::string line, joined;
    int number = 0, first = 0;
    while (std::getline(in, line)) {
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
  if (i == lines.size() || lines[i].second != "REGEDIT4") {
    toolError(kTool, command, r.plain[0], "not a REGEDIT4 file (its first line is REGEDIT4)");
    return kExitBadData;
  }
  // Read it all first: a file with a fault changes nothing.
  struct Change {
    std::string key;          // as written
    HKEY root;
    std::string sub;
    bool deleteKey;
    bool hasValue;
    bool deleteValue;
    Value value;
  };
  std::vector<Change> changes;
  Change current{};
  bool inKey = false;
  for (i++; i < lines.size(); i++) {
    const std::string &line = lines[i].second;
    if (line.empty() || line[0] == ';') continue;
    std::string where = (r.plain[0] == "-" ? std::string("(standard input)") : r.plain[0]) + ":" +
                        std::to_string(lines[i].first);
    if (line[0] == '[') {
      if (line.back() != ']') {
        toolError(kTool, command, where, "a key line ends in ]");
        return kExitBadData;
      }
      Change c{};
      c.deleteKey = line[1] == '-';
      c.key = line.substr(c.deleteKey ? 2 : 1, line.size() - (c.deleteKey ? 3 : 2));
      std::string rootName;
      if (!splitKey(c.key, &c.root, &rootName, &c.sub) || c.sub.empty()) {
        toolError(kTool, command, where, "not a key below HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS or HKEY_CLASSES_ROOT: " + c.key);
        return kExitBadData;
      }
      changes.push_back(c);
      current = c;
      inKey = !c.deleteKey;
      continue;
    }
    if (line[0] != '"' && line[0] != '@') {
      toolError(kTool, command, where, "not a key, a value or a comment");
      return kExitBadData;
    }
    if (!inKey) {
      toolError(kTool, command, where, "a value outside a key");
      return kExitBadData;
    }
    Change c = current;
    c.deleteKey = false;
    c.hasValue = true;
    std::string why;
    if (!parseRegLine(line, &c.value, &c.deleteValue, &why)) {
      toolError(kTool, command, where, why);
      return kExitBadData;
    }
    changes.push_back(c);
  }
  if (!registryReadable(command)) return kExitIo;
  for (const Change &c : changes) {
    LONG rc = ERROR_SUCCESS;
    if (c.deleteKey) {
      rc = deleteTree(c.root, c.sub);
      if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    } else if (!c.hasValue) {
      HKEY key;
      rc = RegCreateKeyExA(c.root, c.sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
      if (rc == ERROR_SUCCESS) RegCloseKey(key);
    } else if (c.deleteValue) {
      rc = deleteValue(c.root, c.sub, c.value.name);
      if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    } else {
      rc = setValue(c.root, c.sub, c.value.name, c.value.type, c.value.data);
    }
    if (rc != ERROR_SUCCESS) {
      toolError(kTool, command, regFailure(c.key, rc), "");
      return kExitIo;
    }
  }
  return kExitOk;
}

// The groups as the stand-in stores them (see src/platform/w32_progman.cpp).
int groups() {
  if (!needPrefix("groups")) return kExitIo;
  if (!prefixFileReadable("groups", w32::prefixDir() + "/progman/groups.ini")) return kExitIo;
  std::istringstream in(w32::progmanGroupsText());
  std::string line;
  bool any = false;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[' && line.rfind(']') != std::string::npos) {
      std::cout << line.substr(1, line.rfind(']') - 1) << "\n";
      any = true;
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string rest = line.substr(eq + 1);
    size_t a = rest.find('|'), b = a == std::string::npos ? a : rest.find('|', a + 1);
    if (b == std::string::npos) continue;
    std::cout << "    " << rest.substr(0, a) << "    " << rest.substr(a + 1, b - a - 1);
    if (b + 1 < rest.size()) std::cout << "    icon " << rest.substr(b + 1);
    std::cout << "\n";
  }
  if (!any) std::cout << "(no groups)\n";
  return kExitOk;
}

// The host directory a drive letter maps ("" when unmapped): the link in
// dosdevices, a relative one taken from there ("../drive_c" is the prefix's
// drive_c).
std::string driveHostDir(char letter) {
  std::string dev = prefixPath() + "/dosdevices";
  char buf[PATH_MAX];
  ssize_t len = readlink((dev + "/" + letter + ":").c_str(), buf, sizeof buf - 1);
  if (len < 0) return "";
  std::string target(buf, static_cast<size_t>(len));
  if (target[0] == '/') return target;
  std::string base = dev;
  while (target.compare(0, 3, "../") == 0) {
    base = base.substr(0, base.rfind('/'));
    target = target.substr(3);
  }
  return base + "/" + target;
}

int drives() {
  if (!needPrefix("drives")) return kExitIo;
  std::cout << "prefix " << prefixPath() << "\n";
  for (char l = 'a'; l <= 'z'; ++l) {
    std::string host = driveHostDir(l);
    unsigned long speed = w32::driveSpeed(l);
    if (host.empty() && !speed) continue;
    std::cout << static_cast<char>(toupper(static_cast<unsigned char>(l))) << ":  "
              << (host.empty() ? "(not mapped)" : host) << (host.empty() || isDir(host) ? "" : "  (no disk)")
              << (speed ? "  " + std::to_string(speed) + " bytes/s" : "") << "\n";
  }
  return kExitOk;
}

// "A:" -> 'a'; a letter without its colon is refused.
bool parseLetter(const std::string &s, char *letter) {
  if (s.size() != 2 || s[1] != ':' || !isalpha(static_cast<unsigned char>(s[0]))) return false;
  *letter = static_cast<char>(tolower(static_cast<unsigned char>(s[0])));
  return true;
}

std::string letterName(char letter) { return std::string(1, static_cast<char>(toupper(letter))) + ":"; }

int drive(std::vector<std::string> args) {
  const std::string command = "drive";
  char letter;
  std::string speed; // "" when not given
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] != "--speed") continue;
    if (i + 1 >= args.size()) return usage(command, "--speed needs BYTES_PER_SECOND or -");
    speed = args[i + 1];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    break;
  }
  for (const std::string &a : args) {
    if (a.size() > 1 && a[0] == '-') return usage(command, "unknown option " + a);
  }
  if (args.empty()) return usage(command, "no drive letter");
  if (!parseLetter(args[0], &letter)) return usage(command, "'" + args[0] + "' is not a drive letter with its colon (A:)");
  if (args.size() > 2) return usage(command, "unexpected argument " + args[2]);
  if (args.size() == 1 && speed.empty()) return usage(command, "needs HOSTDIR, - or --speed");
  if (letter == 'c' || letter == 'z') return usage(command, "C: and Z: belong to the prefix");
  unsigned long bytesPerSecond = 0;
  if (!speed.empty() && speed != "-") {
    char *end = nullptr;
    bytesPerSecond = strtoul(speed.c_str(), &end, 10);
    if (*end != 0 || !isdigit(static_cast<unsigned char>(speed[0]))) return usage(command, "BYTES_PER_SECOND must be a number");
  }
  if (args.size() == 2 && args[1] != "-" && !isDir(args[1])) {
    toolError(kTool, command, args[1], "not a directory");
    return kExitBadData;
  }
  bool mapped = exists(prefixPath() + "/dosdevices/" + letter + ":");
  if (((args.size() == 2 && args[1] == "-") || args.size() == 1) && !mapped) {
    toolError(kTool, command, letterName(letter) + " is not mapped", "map it with w32prefix drive " + letterName(letter) + " HOSTDIR");
    return kExitBadData;
  }
  if (args.size() == 2) w32::mapDrive(letter, args[1] == "-" ? "" : args[1]);
  if (!speed.empty()) w32::setDriveSpeed(letter, bytesPerSecond);
  return kExitOk;
}

// GetDiskFreeSpaceA's figure is a count of 4 KiB clusters kept under 2 GiB.
constexpr unsigned long long kFreeSpaceCap = 0x7FFFF000ULL;

// prefix/freespace: lines "c: BYTES", read by GetDiskFreeSpaceA.
int freespace(const std::vector<std::string> &args) {
  const std::string command = "freespace";
  for (const std::string &a : args) {
    if (a.size() > 1 && a[0] == '-') return usage(command, "unknown option " + a);
  }
  std::string file = prefixPath() + "/freespace";
  std::map<char, unsigned long long> entries;
  {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      char l;
      if (line.size() > 3 && parseLetter(line.substr(0, 2), &l)) entries[l] = strtoull(line.c_str() + 3, nullptr, 10);
    }
  }
  if (args.empty()) {
    if (!needPrefix(command)) return kExitIo;
    for (char l = 'a'; l <= 'z'; ++l) {
      std::string host = driveHostDir(l);
      if (host.empty()) continue;
      unsigned long long bytes = 0;
      bool set = entries.count(l) != 0;
      struct statvfs vfs;
      if (set) {
        bytes = entries[l];
      } else if (statvfs(host.c_str(), &vfs) == 0) {
        bytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
      } else {
        std::cout << letterName(l) << "  (no disk)\n";
        continue;
      }
      std::cout << letterName(l) << "  " << bytes << " bytes free";
      if (bytes > kFreeSpaceCap) {
        std::cout << "; the setup program sees " << kFreeSpaceCap
                  << " (GetDiskFreeSpaceA, a 32-bit query, reports at most 2 GiB)";
      }
      std::cout << (set ? "  (set by w32prefix freespace)" : "") << "\n";
    }
    return kExitOk;
  }
  char letter;
  if (!parseLetter(args[0], &letter)) return usage(command, "'" + args[0] + "' is not a drive letter with its colon (C:)");
  if (args.size() != 2) return usage(command, args.size() < 2 ? "needs BYTES or -" : "unexpected argument " + args[2]);
  w32::prefixDir();  // a prefix to change: made if there is none
  if (driveHostDir(letter).empty()) {
    toolError(kTool, command, letterName(letter) + " is not mapped", "map it with w32prefix drive " + letterName(letter) + " HOSTDIR");
    return kExitBadData;
  }
  if (args[1] == "-") {
    entries.erase(letter);
  } else {
    char *end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(args[1].c_str(), &end, 10);
    if (args[1].empty() || *end != 0 || !isdigit(static_cast<unsigned char>(args[1][0])) || errno)
      return usage(command, "BYTES must be a number");
    entries[letter] = n;
  }
  std::string text;
  for (const auto &e : entries) text += std::string(1, e.first) + ": " + std::to_string(e.second) + "\n";
  std::string error;
  if (!writeReplacing(file, 0644, text.data(), text.size(), &error)) {
    toolError(kTool, command, file, error);
    return kExitIo;
  }
  return kExitOk;
}

const Command *findCommand(const std::string &name) {
  for (const Command &c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

} // namespace

int main(int argc, char **argv) {
  // A tool, not a program under test: the answer file and the transcript of
  // a setup run in the same environment are not this tool's to read or to
  // start anew (the layer would truncate the transcript).
  unsetenv("W32_ANSWERS");
  unsetenv("W32_TRANSCRIPT");
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage("", "no command (reg, groups, drives, drive, freespace)");
  std::string cmd = args[0];
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    printHelp();
    return kExitOk;
  }
  if (cmd == "--version") {
    printVersion(kTool);
    return kExitOk;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (cmd == "reg") {
    if (rest.empty()) return usage("reg", "no reg command (query, set, delete, export, import)");
    if (rest[0] == "--help" || rest[0] == "-h") {
      for (const Command &c : kCommands) {
        if (std::string(c.name).compare(0, 4, "reg ") == 0) std::printf("%s %s\n", &c == &kCommands[0] ? "usage:" : "      ", c.usage);
      }
      std::fputs(kExitStatusHelp, stdout);
      return kExitOk;
    }
    if (rest[0] == "--version") {
      printVersion(kTool);
      return kExitOk;
    }
    cmd += " " + rest[0];
    rest.erase(rest.begin());
  }
  const Command *command = findCommand(cmd);
  if (!command) {
    return usage("", "unknown command '" + cmd + "' (reg query, reg set, reg delete, reg export, reg import, "
                     "groups, drives, drive, freespace)");
  }
  for (const std::string &a : rest) {
    if (a == "--help" || a == "-h") {
      std::printf("usage: %s\n%s", command->usage, command->help);
      std::fputs(kExitStatusHelp, stdout);
      return kExitOk;
    }
    if (a == "--version") {
      printVersion(kTool);
      return kExitOk;
    }
  }
  if (cmd == "reg query") return regQuery(rest);
  if (cmd == "reg set") return regSet(rest);
  if (cmd == "reg delete") return regDelete(rest);
  if (cmd == "reg export") return regExport(rest);
  if (cmd == "reg import") return regImport(rest);
  if (!rest.empty() && (cmd == "groups" || cmd == "drives")) return usage(cmd, "unexpected argument " + rest[0]);
  if (cmd == "groups") return groups();
  if (cmd == "drives") return drives();
  if (cmd == "drive") return drive(rest);
  return freespace(rest);
}
