// w32prefix: the Linux Win32 layer's prefix for people using the Linux
// build.  Works on the prefix named by W32_PREFIX (default
// $HOME/.quorvel-w32), through the layer's own calls.  The commands that
// only look (reg query, reg export, groups, drives, freespace without
// arguments) need an existing prefix and leave it as it is; the others
// create one when there is none.
#include "w32prefix.h"


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
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>


namespace w32prefix {

const char kTool[] = "w32prefix";

} // namespace w32prefix

using namespace w32prefix;

namespace {


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
    {"reg add", "w32prefix reg add KEY [/v VALUE | /ve] [/t TYPE] [/d DATA] [/f]",
     "Adds a value (or, with no /v, the key alone), creating KEY as needed. TYPE is\n"
     "REG_SZ (default), REG_EXPAND_SZ, REG_DWORD (decimal or 0x hex), REG_BINARY\n"
     "(hex digits) or REG_MULTI_SZ (strings separated by \\0). A value that is there\n"
     "is replaced when the person at the terminal says so, or with /f.\n"},
    {"reg set", "w32prefix reg set KEY (/v VALUE | /ve) [/t TYPE] /d DATA",
     "reg add /f, with a value and its data.\n"},
    {"reg delete", "w32prefix reg delete KEY [/v VALUE | /ve] [/f]",
     "Deletes a value, or with no /v the key with all its subkeys and values, once\n"
     "the person at the terminal says so; /f deletes without asking (and is needed\n"
     "where there is no terminal).\n"},
    {"reg export", "w32prefix reg export KEY FILE [/y] [/unicode]",
     "Writes KEY and everything below it to FILE (\"-\": standard output) in the\n"
     "REGEDIT4 format, or with /unicode in regedit's later one (\"Windows Registry\n"
     "Editor Version 5.00\", UTF-16LE), as reg.exe writes it. A FILE that is there is\n"
     "replaced when the person at the terminal says so, or with /y.\n"},
    {"reg import", "w32prefix reg import FILE",
     "Reads a REGEDIT4 or version 5.00 file (\"-\": standard input) into the registry,\n"
     "all of it or nothing: [KEY] sections with \"name\"=\"text\", dword:, hex: and\n"
     "hex(N): values; [-KEY] and \"name\"=- delete.\n"},
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
  std::fputs(kQuietHelp, stdout);
  std::fputs(kExitStatusHelp, stdout);
}


} // namespace

namespace w32prefix {

int usage(const std::string &command, const std::string &what) {
  toolError(kTool, command, what, "");
  std::fprintf(stderr, "Try 'w32prefix %s--help'.\n", command.empty() ? "" : (command + " ").c_str());
  return kExitUsage;
}

// The prefix the layer will use, worked out as the layer does (so that it
// can be looked at before the layer touches it).
std::string prefixPath() {
  std::string prefix = w32::defaultPrefixPath();
  if (!prefix.empty() && prefix[0] != '/') {
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
  if (lstat(path.c_str(), &st) != 0) return true; // missing: empty
  const char *why = !S_ISREG(st.st_mode) ? "not a regular file" : st.st_size > 64 * 1024 * 1024 ? "larger than 64 MiB" : nullptr;
  if (!why) return true;
  toolError(kTool, command, path, std::string(why) + ", not read");
  return false;
}


bool notPrefixFile(const std::string &command, const std::string &path) {
  if (w32::prefixOwnFile(path).empty()) return true;
  toolError(kTool, command, path, "one of the prefix's own files (or beside them), which the layer keeps; name a file elsewhere");
  return false;
}

} // namespace w32prefix

namespace {

// The groups as the stand-in stores them (see src/platform/progman/w32_progman.cpp).
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

int drives() {
  if (!needPrefix("drives")) return kExitIo;
  std::cout << "prefix " << w32::prefixDir() << "\n";
  for (char l = 'a'; l <= 'z'; ++l) {
    std::string host = w32::driveHostDir(l);
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
  bool mapped = !w32::driveHostDir(letter).empty();
  if (((args.size() == 2 && args[1] == "-") || args.size() == 1) && !mapped) {
    toolError(kTool, command, letterName(letter) + " is not mapped", "map it with w32prefix drive " + letterName(letter) + " HOSTDIR");
    return kExitBadData;
  }
  std::string link = w32::prefixDir() + "/dosdevices/" + letter + ":";
  if (args.size() == 2 && !w32::mapDrive(letter, args[1] == "-" ? "" : args[1])) {
    toolError(kTool, command, link, std::string("cannot ") + (args[1] == "-" ? "remove" : "make") + " the mapping: " +
                                        strerror(errno));
    return kExitIo;
  }
  if (!speed.empty() && !w32::setDriveSpeed(letter, bytesPerSecond)) {
    toolError(kTool, command, w32::prefixDir() + "/drivespeed", std::string("cannot save the speed: ") + strerror(errno));
    return kExitIo;
  }
  return kExitOk;
}

// GetDiskFreeSpaceA's figure is a count of 4 KiB clusters kept under 2 GiB.
constexpr unsigned long long kFreeSpaceCap = 0x7FFFF000ULL;

// The prefix's freespace file, lines "c: BYTES", which GetDiskFreeSpaceA
// reads; read and written as the layer reads and writes its own files, so
// a link there is refused, not followed. False (said) when it cannot be read.
bool readFreeSpace(const std::string &command, std::map<char, unsigned long long> *entries) {
  std::string text;
  if (int e = w32::readPrefixFile("freespace", &text)) {
    toolError(kTool, command, w32::prefixDir() + "/freespace",
              e == EINVAL ? "not a regular file, not read" : std::string(strerror(e)));
    return false;
  }
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    char l;
    if (line.size() > 3 && parseLetter(line.substr(0, 2), &l)) (*entries)[l] = strtoull(line.c_str() + 3, nullptr, 10);
  }
  return true;
}

int freespace(const std::vector<std::string> &args) {
  const std::string command = "freespace";
  for (const std::string &a : args) {
    if (a.size() > 1 && a[0] == '-') return usage(command, "unknown option " + a);
  }
  std::map<char, unsigned long long> entries;
  if (args.empty()) {
    if (!needPrefix(command) || !readFreeSpace(command, &entries)) return kExitIo;
    for (char l = 'a'; l <= 'z'; ++l) {
      std::string host = w32::driveHostDir(l);
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
  unsigned long long n = 0;
  if (args[1] != "-") {
    char *end = nullptr;
    errno = 0;
    n = strtoull(args[1].c_str(), &end, 10);
    if (args[1].empty() || *end != 0 || !isdigit(static_cast<unsigned char>(args[1][0])) || errno)
      return usage(command, "BYTES must be a number");
  }
  // A prefix to change: made if there is none.
  if (w32::driveHostDir(letter).empty()) {
    toolError(kTool, command, letterName(letter) + " is not mapped", "map it with w32prefix drive " + letterName(letter) + " HOSTDIR");
    return kExitBadData;
  }
  if (!readFreeSpace(command, &entries)) return kExitIo;
  if (args[1] == "-") {
    entries.erase(letter);
  } else {
    entries[letter] = n;
  }
  std::string text;
  for (const auto &e : entries) text += std::string(1, e.first) + ": " + std::to_string(e.second) + "\n";
  if (int e = w32::writePrefixFile("freespace", text)) {
    toolError(kTool, command, w32::prefixDir() + "/freespace",
              e == EINVAL ? "not a regular file, not replaced" : std::string(strerror(e)));
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
  unsetenv("W32_RECORD");
  std::vector<std::string> args(argv + 1, argv + argc);
  while (!args.empty() && (args[0] == "-q" || args[0] == "--quiet")) args.erase(args.begin());
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
    if (rest.empty()) return usage("reg", "no reg command (query, add, set, delete, export, import)");
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
    return usage("", "unknown command '" + cmd + "' (reg query, reg add, reg set, reg delete, reg export, reg import, "
                     "groups, drives, drive, freespace)");
  }
  // -q means what it means in every tool (no progress line, nothing that
  // only reports progress): w32prefix shows none, so it changes nothing. A
  // value after /v, /t or /d is never taken for it.
  for (size_t i = 0; i < rest.size(); i++) {
    std::string lower = rest[i];
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (lower == "/v" || lower == "/t" || lower == "/d") {
      i++;
    } else if (rest[i] == "-q" || rest[i] == "--quiet") {
      rest.erase(rest.begin() + static_cast<long>(i--));
    }
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
  // Nothing is looked at or changed on a prefix the layer would refuse.
  if (std::string why = w32::prefixProblem(prefixPath()); !why.empty()) {
    toolError(kTool, cmd, prefixPath().empty() ? "(no prefix)" : prefixPath(), why);
    return kExitIo;
  }
  if (cmd == "reg query") return regQuery(rest);
  if (cmd == "reg add") return regAdd(rest, true);
  if (cmd == "reg set") return regAdd(rest, false);
  if (cmd == "reg delete") return regDelete(rest);
  if (cmd == "reg export") return regExport(rest);
  if (cmd == "reg import") return regImport(rest);
  if (!rest.empty() && (cmd == "groups" || cmd == "drives")) return usage(cmd, "unexpected argument " + rest[0]);
  if (cmd == "groups") return groups();
  if (cmd == "drives") return drives();
  if (cmd == "drive") return drive(rest);
  return freespace(rest);
}
