// w32prefix: the Linux Win32 layer's prefix for people using the Linux
// build.  Works on the prefix named by W32_PREFIX (default
// $HOME/.quorvel-w32), through the layer's own calls.
//
//   w32prefix reg query KEY [VALUE]   values and subkeys of a key, or one value
//   w32prefix groups                  Program Manager groups and their items
//   w32prefix drives                  drive letters, the host directories they map
//                                     and their simulated speeds
//   w32prefix drive A: HOSTDIR        point a drive at a directory ("insert a disk");
//                                     HOSTDIR "-" removes the mapping
//   w32prefix drive A: [HOSTDIR] --speed BYTES_PER_SECOND
//                                     reads from A: deliver at most that many bytes
//                                     a second, whatever disk is in it ("-" or 0:
//                                     full speed)
//   w32prefix freespace [C: BYTES]    show the free space each drive reports, or
//                                     make C: report BYTES ("-" removes the override)
#include <windows.h>

#include "w32_test.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: w32prefix reg query KEY [VALUE]\n"
    "       w32prefix groups\n"
    "       w32prefix drives\n"
    "       w32prefix drive LETTER: HOSTDIR|-\n"
    "       w32prefix drive LETTER: [HOSTDIR|-] --speed BYTES_PER_SECOND|-\n"
    "       w32prefix freespace [LETTER: BYTES|-]\n"
    "The prefix is $W32_PREFIX (default $HOME/.quorvel-w32).\n";

int usage() {
  std::cerr << kUsage;
  return 2;
}

// The layer reads its own files (system.reg, progman/groups.ini) only when
// they are regular files of at most 64 MiB; for anything else say which file
// and why, instead of a bare error code.
bool prefixFileReadable(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return true; // missing: empty
  const char *why = !S_ISREG(st.st_mode) ? "not a regular file" : st.st_size > 64 * 1024 * 1024 ? "larger than 64 MiB" : nullptr;
  if (!why) return true;
  std::cerr << "w32prefix: " << path << ": " << why << ", not read\n";
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

int regQuery(const std::vector<std::string> &args) {
  if (args.size() < 1 || args.size() > 2) return usage();
  HKEY root;
  std::string rootName, sub;
  if (!splitKey(args[0], &root, &rootName, &sub)) {
    std::cerr << "w32prefix: unknown root key in " << args[0] << " (HKLM, HKCU, HKU, HKCR)\n";
    return 2;
  }
  if (!prefixFileReadable(w32::prefixDir() + "/system.reg")) return 1;
  HKEY key;
  LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    std::string file = w32::prefixDir() + "/system.reg";
    std::cerr << "w32prefix: "
              << (rc == ERROR_FILE_NOT_FOUND ? args[0] + ": no such key"
                  : rc == ERROR_REGISTRY_CORRUPT
                      ? file + ": not a registry, or one Windows would refuse (error " + std::to_string(rc) + ")"
                      : file + ": the registry cannot be read (error " + std::to_string(rc) + ")")
              << "\n";
    return 1;
  }
  std::cout << rootName << (sub.empty() ? "" : "\\" + sub) << "\n";
  int status = 0;
  if (args.size() == 2) {
    DWORD type = 0, size = 0;
    rc = RegQueryValueExA(key, args[1].c_str(), nullptr, &type, nullptr, &size);
    std::string data(size, '\0');
    if (rc == ERROR_SUCCESS)
      rc = RegQueryValueExA(key, args[1].c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&data[0]), &size);
    if (rc == ERROR_SUCCESS) {
      printValue(args[1], type, data.substr(0, size));
    } else {
      std::cerr << "w32prefix: no value " << args[1] << "\n";
      status = 1;
    }
  } else {
    for (DWORD i = 0;; ++i) {
      char name[16384];
      DWORD nameSize = sizeof name, type = 0, size = 0;
      if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
      std::string data(size, '\0');
      nameSize = sizeof name;
      if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE *>(&data[0]), &size) !=
          ERROR_SUCCESS)
        break;
      printValue(name, type, data.substr(0, size));
    }
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD nameSize = sizeof name;
      if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      std::cout << "\n" << rootName << (sub.empty() ? "" : "\\" + sub) << "\\" << name << "\n";
    }
  }
  RegCloseKey(key);
  return status;
}

// The groups as the stand-in stores them (see src/platform/w32_progman.cpp).
int groups() {
  if (!prefixFileReadable(w32::prefixDir() + "/progman/groups.ini")) return 1;
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
  return 0;
}

int drives() {
  std::string dev = w32::prefixDir() + "/dosdevices";
  std::cout << "prefix " << w32::prefixDir() << "\n";
  std::map<std::string, std::string> links;
  if (DIR *d = opendir(dev.c_str())) {
    while (struct dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() != 2 || n[1] != ':') continue;
      char buf[PATH_MAX];
      ssize_t len = readlink((dev + "/" + n).c_str(), buf, sizeof buf - 1);
      links[n] = len < 0 ? "(not a link)" : std::string(buf, static_cast<size_t>(len));
    }
    closedir(d);
  }
  // A drive at full speed shows no speed.
  for (char l = 'a'; l <= 'z'; ++l) {
    if (w32::driveSpeed(l) && !links.count(std::string(1, l) + ":")) links[std::string(1, l) + ":"] = "(not mapped)";
  }
  for (const auto &l : links) {
    std::string letter = l.first;
    letter[0] = static_cast<char>(toupper(static_cast<unsigned char>(letter[0])));
    struct stat st;
    bool present = stat((dev + "/" + l.first).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    unsigned long speed = w32::driveSpeed(l.first[0]);
    std::cout << letter << "  " << l.second << (present || l.second == "(not mapped)" ? "" : "  (no disk)")
              << (speed ? "  " + std::to_string(speed) + " bytes/s" : "") << "\n";
  }
  return 0;
}

bool parseLetter(const std::string &s, char *letter) {
  if (s.size() < 1 || s.size() > 2 || (s.size() == 2 && s[1] != ':') || !isalpha(static_cast<unsigned char>(s[0])))
    return false;
  *letter = static_cast<char>(tolower(static_cast<unsigned char>(s[0])));
  return true;
}

int drive(std::vector<std::string> args) {
  char letter;
  std::string speed; // "" when not given
  if (args.size() >= 3 && args[args.size() - 2] == "--speed") {
    speed = args.back();
    args.resize(args.size() - 2);
  }
  if ((args.size() != 2 && !(args.size() == 1 && !speed.empty())) || !parseLetter(args[0], &letter)) return usage();
  if (letter == 'c' || letter == 'z') {
    std::cerr << "w32prefix: C: and Z: belong to the prefix\n";
    return 2;
  }
  unsigned long bytesPerSecond = 0;
  if (!speed.empty() && speed != "-") {
    char *end = nullptr;
    bytesPerSecond = strtoul(speed.c_str(), &end, 10);
    if (*end != 0 || !isdigit(static_cast<unsigned char>(speed[0]))) {
      std::cerr << "w32prefix: BYTES_PER_SECOND must be a number\n";
      return 2;
    }
  }
  if (args.size() == 2 && args[1] != "-") {
    struct stat st;
    if (stat(args[1].c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      std::cerr << "w32prefix: " << args[1] << " is not a directory\n";
      return 1;
    }
  }
  if (args.size() == 2) w32::mapDrive(letter, args[1] == "-" ? "" : args[1]);
  if (!speed.empty()) w32::setDriveSpeed(letter, bytesPerSecond);
  return 0;
}

// prefix/freespace: lines "c: BYTES", read by GetDiskFreeSpaceA.
int freespace(const std::vector<std::string> &args) {
  std::string file = w32::prefixDir() + "/freespace";
  if (args.empty()) {
    for (char l = 'a'; l <= 'z'; ++l) {
      std::string root = std::string(1, l) + ":\\";
      DWORD spc, bps, freeClusters, total;
      if (!GetDiskFreeSpaceA(root.c_str(), &spc, &bps, &freeClusters, &total)) continue;
      unsigned long long bytes = static_cast<unsigned long long>(spc) * bps * freeClusters;
      std::cout << static_cast<char>(toupper(l)) << ":  " << bytes << " bytes free\n";
    }
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty()) std::cout << "override " << line << "\n";
    }
    return 0;
  }
  char letter;
  if (args.size() != 2 || !parseLetter(args[0], &letter)) return usage();
  std::map<char, std::string> entries;
  {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      char l;
      if (line.size() > 3 && parseLetter(line.substr(0, 2), &l)) entries[l] = line.substr(3);
    }
  }
  if (args[1] == "-") {
    entries.erase(letter);
  } else {
    char *end = nullptr;
    unsigned long long n = strtoull(args[1].c_str(), &end, 10);
    if (args[1].empty() || *end != 0 || args[1][0] == '-') {
      std::cerr << "w32prefix: BYTES must be a number\n";
      return 2;
    }
    entries[letter] = std::to_string(n);
  }
  std::ofstream out(file, std::ios::trunc);
  for (const auto &e : entries) out << e.first << ": " << e.second << "\n";
  if (!out) {
    std::cerr << "w32prefix: cannot write " << file << "\n";
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  // A tool, not a program under test: the answer file and the transcript of
  // a setup run in the same environment are not this tool's to read or to
  // start anew (the layer would truncate the transcript).
  unsetenv("W32_ANSWERS");
  unsetenv("W32_TRANSCRIPT");
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  std::string cmd = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (cmd == "reg") {
    if (rest.empty() || rest[0] != "query") return usage();
    return regQuery(std::vector<std::string>(rest.begin() + 1, rest.end()));
  }
  if (cmd == "groups" && rest.empty()) return groups();
  if (cmd == "drives" && rest.empty()) return drives();
  if (cmd == "drive") return drive(rest);
  if (cmd == "freespace") return freespace(rest);
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::cout << kUsage;
    return 0;
  }
  return usage();
}
