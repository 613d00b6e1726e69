#include "package_layout.h"

#include "input_file.h"
#include "replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

const std::vector<PackageFileInfo> &packageFileList() {
  static const std::vector<PackageFileInfo> list = {
      {1, "nsystem.z", false, false},  {1, "netscape.z", false, false}, {1, "plugins.z", false, false},
      {1, "javaclss.z", false, false}, {1, "readme.txt", false, false}, {1, "bookmark.htm", false, true},
      {2, "nprogram.z", false, false}, {2, "quorvel.z", true, false},   {3, "javabin.z", false, false},
      {3, "wsystem.z", false, false},  {3, "www.z", false, true},
  };
  return list;
}

std::string packageFileNames() {
  std::string names;
  for (const PackageFileInfo &f : packageFileList()) names += (names.empty() ? "" : ", ") + std::string(f.name);
  return names;
}

const std::vector<const char *> &setupIniKeys() {
  static const std::vector<const char *> keys = {"IsRegNoAPrefix", "RegNo",    "HomePage",      "HDHomePage",
                                                 "SetupFee",       "FreeHours", "FreeDays",     "SetupFeePrice",
                                                 "MonthlyPrice"};
  return keys;
}

std::string setupIniKeyNames() {
  std::string names;
  for (const char *k : setupIniKeys()) names += (names.empty() ? "" : ", ") + std::string(k);
  return names;
}

namespace {

bool equalsNoCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string trim(const std::string &text) {
  size_t b = text.find_first_not_of(" \t\r");
  size_t e = text.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : text.substr(b, e - b + 1);
}

}  // namespace

// The profile reader matches section and key names without regard to case.
std::vector<std::string> unknownSetupIniKeys(const std::string &iniText) {
  std::vector<std::string> unknown;
  bool inQuorvel = false;
  size_t start = 0;
  while (start < iniText.size()) {
    size_t end = iniText.find('\n', start);
    if (end == std::string::npos) end = iniText.size();
    std::string line = trim(iniText.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      inQuorvel = close != std::string::npos && equalsNoCase(trim(line.substr(1, close - 1)), "Quorvel");
      continue;
    }
    size_t eq = line.find('=');
    if (!inQuorvel || eq == std::string::npos) continue;
    std::string key = trim(line.substr(0, eq));
    bool known = false;
    for (const char *k : setupIniKeys()) known = known || equalsNoCase(key, k);
    if (!known) unknown.push_back(key);
  }
  return unknown;
}

std::string setupProgramName(const std::string &target) {
  return target == "linux" ? "setup" : target == "windows" ? "setup.exe" : "";
}

std::string diskDir(const PackagePlan &plan, int disk) {
  return plan.disks ? plan.outDir + "/disk" + std::to_string(disk) : plan.outDir;
}

PayloadGenerator::PayloadGenerator(const std::string &name, uint32_t seed) {
  state_ = seed * 2654435761u + 12345u;
  for (char c : name) state_ = state_ * 31u + static_cast<unsigned char>(c);
}

void PayloadGenerator::fill(unsigned char *out, size_t n) {
  // Text-like lines so that both coding modes have something to find, with
  // a pseudo-random part so no two files are alike.
  static const char *const words[] = {"quorvel ", "dunmere ", "network ", "setup ", "disk ", "file ", "the ", "a "};
  size_t done = 0;
  while (done < n) {
    if (*pending_) {
      out[done++] = static_cast<unsigned char>(*pending_++);
      continue;
    }
    state_ = state_ * 1103515245u + 12345u;
    uint32_t r = state_ >> 16;
    if (r % 7 == 0) {
      out[done++] = static_cast<unsigned char>(r >> 3);
    } else if (r % 11 == 0) {
      pending_ = "\r\n";
    } else {
      pending_ = words[r % 8];
    }
  }
}

namespace {

bool makeDir(const std::string &path, std::string *error) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool setTime(const std::string &path, uint64_t fileTime, std::string *error) {
  struct timespec times[2];
  times[0] = timespecFromFileTime(fileTime);
  times[1] = times[0];
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    *error = "cannot set the time of " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool writeText(const std::string &path, const std::string &text, const InputFiles &inputs, std::string *error) {
  return notAnInput(path, inputs, error) && writeReplacing(path, 0644, text.data(), text.size(), error);
}

// A made-up payload, streamed whatever its size, with the given time.
bool writeGenerated(const std::string &path, const std::string &name, const PackagePlan &plan, uint64_t fileTime,
                    const InputFiles &inputs, std::string *error) {
  if (!notAnInput(path, inputs, error)) return false;
  bool written = writeReplacing(
      path, 0644,
      [&](int fd) {
        PayloadGenerator generator(name, plan.seed);
        std::vector<unsigned char> block(1 << 16);
        for (uint64_t left = plan.generatedSize; left > 0;) {
          size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
          generator.fill(block.data(), n);
          if (!writeAllTo(fd, block.data(), n)) return false;
          left -= n;
        }
        return true;
      },
      error);
  return written && setTime(path, fileTime, error);
}

// Copies a host file (a regular file only), keeping its permission bits
// (the setup program stays executable) and its modification time. No file
// is copied onto one of the inputs.
bool copyFile(const std::string &from, const std::string &to, const InputFiles &inputs, std::string *error) {
  if (!notAnInput(to, inputs, error)) return false;
  struct stat info;
  int in = openInput(from, &info, error);
  if (in < 0) return false;
  bool readOk = true;
  bool written = writeReplacing(
      to, info.st_mode & 0777,
      [&](int out) {
        std::vector<unsigned char> buffer(1 << 16);
        ssize_t n;
        while ((n = read(in, buffer.data(), buffer.size())) > 0) {
          if (!writeAllTo(out, buffer.data(), static_cast<size_t>(n))) return false;
        }
        readOk = n == 0;
        return readOk;
      },
      error);
  close(in);
  if (!written) {
    if (!readOk) *error = "cannot read " + from;
    return false;
  }
  return setTime(to, fileTimeFromTimespec(info.st_mtim), error);
}

uint64_t fileSize(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

uint64_t nowFileTime() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  now.tv_nsec -= now.tv_nsec % 100;
  return fileTimeFromTimespec(now);
}

// The compressed bytes of every member: what the meter counts for an archive.
bool countArchive(const std::string &path, uint64_t *counted, std::vector<ArchiveCreated> *members,
                  std::string *error) {
  *counted = 0;
  ArchiveReport report = processArchive(path, ArchiveAction::List, "", false, [&](const ArchiveMemberReport &m) {
    *counted += m.entry.dataEnd - m.entry.dataOffset;
    if (members && m.error.empty()) {
      ArchiveCreated c;
      c.name = m.name;
      c.lastWriteTime = m.entry.lastWriteTime;
      c.dataOffset = m.entry.dataOffset;
      c.dataEnd = m.entry.dataEnd;
      c.inputBytes = m.decodedBytes;
      members->push_back(c);
    }
  });
  if (!report.ok()) {
    *error = path + " is not a good package archive";
    return false;
  }
  return true;
}

}  // namespace

namespace {

std::string withCommas(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

bool exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool isDir(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The files a layout may hold in one directory: the package files,
// setup.ini and the setup program.
bool isLayoutFile(const std::string &name) {
  if (name == "setup.ini" || name == "setup" || name == "setup.exe") return true;
  for (const PackageFileInfo &f : packageFileList()) {
    if (name == f.name) return true;
  }
  return false;
}

std::vector<std::string> layoutFilesIn(const std::string &dir) {
  std::vector<std::string> found;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (isLayoutFile(e->d_name)) found.push_back(e->d_name);
    }
    closedir(d);
  }
  return found;
}

// The other layout in outDir: disk1..disk3 when one directory is to be
// written, package files at the top when disks are. With replace its files
// go (a disk directory only when nothing else is left in it).
bool clearOtherLayout(const PackagePlan &plan, bool clear, std::string *error) {
  std::vector<std::string> dirs;
  if (plan.disks) {
    if (!layoutFilesIn(plan.outDir).empty()) dirs.push_back(plan.outDir);
  } else {
    for (int d = 1; d <= 3; d++) {
      std::string dir = plan.outDir + "/disk" + std::to_string(d);
      if (isDir(dir)) dirs.push_back(dir);
    }
  }
  if (dirs.empty()) return true;
  if (!plan.replace) {
    *error = "it holds " +
             (plan.disks ? std::string("a one-directory package") : std::string("a disk layout (disk1, disk2, disk3)")) +
             "; give --replace to replace it, or another --out";
    return false;
  }
  if (!clear) return true;
  for (const std::string &dir : dirs) {
    for (const std::string &name : layoutFilesIn(dir)) {
      if (unlink((dir + "/" + name).c_str()) != 0) {
        *error = "cannot remove " + dir + "/" + name + ": " + strerror(errno);
        return false;
      }
    }
    if (dir != plan.outDir && rmdir(dir.c_str()) != 0) {
      *error = "cannot remove " + dir + ": " + strerror(errno) + " (it holds files of its own)";
      return false;
    }
  }
  return true;
}

// The target a program was built for, by its header: "linux" (ELF),
// "windows" (MZ), "" unknown.
std::string programTarget(const std::string &path) {
  unsigned char head[4] = {0, 0, 0, 0};
  if (FILE *f = fopen(path.c_str(), "rb")) {
    size_t n = fread(head, 1, 4, f);
    fclose(f);
    if (n >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') return "linux";
    if (n >= 2 && head[0] == 'M' && head[1] == 'Z') return "windows";
  }
  return "";
}

}  // namespace

bool makePackage(const PackagePlan &plan, PackageResult *result, std::string *error) {
  *result = PackageResult();
  // Failures of reading or writing a file, as against bad plans.
  auto io = [&](bool ok) {
    if (!ok) result->ioFailure = true;
    return ok;
  };
  if (plan.outDir.empty()) {
    *error = "no output directory";
    return false;
  }
  std::set<std::string> known;
  for (const PackageFileInfo &f : packageFileList()) known.insert(f.name);
  for (const auto &given : plan.files) {
    if (!known.count(given.first)) {
      *error = "'" + given.first + "' is not a package file (the package files: " + packageFileNames() + ")";
      return false;
    }
  }
  // Every payload must be a regular file, and no output may land on one.
  InputFiles inputs;
  for (const auto &given : plan.files) {
    if (!io(checkInput(given.second, &inputs, error))) return false;
  }
  // quorvel.z's member names, checked before anything is written.
  std::set<std::string> memberNames;
  for (const std::string &path : plan.quorvelMembers) {
    if (!io(checkInput(path, &inputs, error))) return false;
    std::string name = path.substr(path.find_last_of('/') + 1), folded;
    std::string problem = memberNameProblem(name);
    for (char c : name) folded += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (problem.empty() && !memberNames.insert(folded).second) problem = "two members of that name";
    if (!problem.empty()) {
      *error = "quorvel.z cannot hold " + path + " as '" + name + "': " + problem;
      return false;
    }
  }
  if (!plan.setupIni.empty() && !io(checkInput(plan.setupIni, &inputs, error))) return false;
  std::string setupName;
  if (!plan.setupExe.empty()) {
    if (!io(checkInput(plan.setupExe, &inputs, error))) return false;
    std::string built = programTarget(plan.setupExe);
    if (!plan.target.empty() && setupProgramName(plan.target).empty()) {
      *error = "unknown target '" + plan.target + "' (linux or windows)";
      return false;
    }
    if (built.empty() && plan.target.empty()) {
      *error = plan.setupExe + ": not a Linux or Windows program; give --target linux or --target windows";
      return false;
    }
    if (!built.empty() && !plan.target.empty() && built != plan.target) {
      *error = plan.setupExe + ": a " + built + " program, not one for the target " + plan.target;
      return false;
    }
    setupName = setupProgramName(plan.target.empty() ? built : plan.target);
  }
  if (isDir(plan.outDir) && !clearOtherLayout(plan, false, error)) return false;
  // The settings the setup program will not read are worth a word.
  std::string iniText;
  if (!plan.setupIni.empty()) {
    if (FILE *f = fopen(plan.setupIni.c_str(), "rb")) {
      char buffer[4096];
      size_t n;
      while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) iniText.append(buffer, n);
      fclose(f);
    }
  } else {
    iniText = "[Quorvel]\r\n";
    for (const auto &kv : plan.settings) iniText += kv.first + "=" + kv.second + "\r\n";
  }
  for (const std::string &key : unknownSetupIniKeys(iniText)) {
    result->warnings.push_back("setup.ini key '" + key + "' is not read by the setup program (it reads " +
                               setupIniKeyNames() + ")");
  }

  // What goes where, and what each disk will hold (every size is known
  // before a byte is written but that of a quorvel.z made here, which is
  // made first).
  struct Step {
    const PackageFileInfo *info;
    std::map<std::string, std::string>::const_iterator given;
  };
  std::vector<Step> steps;
  std::vector<std::string> stale;  // optional files of an earlier run, not of this one
  uint64_t diskBytes[4] = {0, 0, 0, 0};
  auto sizeOf = [](const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
  };
  for (const PackageFileInfo &f : packageFileList()) {
    auto given = plan.files.find(f.name);
    bool wanted = !f.optional || plan.optionalFiles || given != plan.files.end();
    std::string hostPath = diskDir(plan, f.disk) + "/" + f.name;
    if (!wanted) {
      stale.push_back(hostPath);
      continue;
    }
    if (given == plan.files.end() && !(f.archive) && !plan.generate) {
      *error = "no payload for " + std::string(f.name) + " (give --file " + f.name + "=PATH or --generate)";
      return false;
    }
    steps.push_back({&f, given});
    if (given != plan.files.end()) {
      diskBytes[f.disk] += sizeOf(given->second);
    } else if (!f.archive) {
      diskBytes[f.disk] += plan.generatedSize;
    }
  }
  diskBytes[3] += plan.setupIni.empty() ? iniText.size() : sizeOf(plan.setupIni);
  if (!setupName.empty()) diskBytes[1] += sizeOf(plan.setupExe);
  // Each disk must hold what falls on it.
  auto disksFit = [&] {
    if (!plan.disks || !plan.diskSize) return true;
    for (int d = 1; d <= 3; d++) {
      if (diskBytes[d] <= plan.diskSize) continue;
      *error = "disk" + std::to_string(d) + " would hold " + withCommas(diskBytes[d]) + " bytes, " +
               withCommas(diskBytes[d] - plan.diskSize) + " more than the " + withCommas(plan.diskSize) +
               " a disk holds (--disk-size for other media)";
      return false;
    }
    return true;
  };
  if (!disksFit()) return false;
  if (isDir(plan.outDir) && !clearOtherLayout(plan, true, error)) return false;
  if (!io(makeDir(plan.outDir, error))) return false;
  if (plan.disks) {
    for (int d = 1; d <= 3; d++) {
      if (!io(makeDir(diskDir(plan, d), error))) return false;
    }
  }
  uint64_t fileTime = plan.fileTime ? plan.fileTime : nowFileTime();
  for (const std::string &path : stale) {
    // An optional file of an earlier run would be installed: it goes.
    if (exists(path) && !io(unlink(path.c_str()) == 0)) {
      *error = "cannot remove " + path + ": " + strerror(errno);
      return false;
    }
  }
  size_t totalSteps = steps.size() + 1 + (setupName.empty() ? 0 : 1), done = 0;
  auto stepDone = [&] {
    if (plan.progress) plan.progress(++done, totalSteps);
  };

  std::map<std::string, PackagedFile> written;
  std::map<std::string, std::string> pendingPaths;  // final path -> the archive made for it
  for (const Step &step : steps) {
    const PackageFileInfo &f = *step.info;
    if (!f.archive || step.given != plan.files.end()) continue;
    // quorvel.z made here, from the given members or generated ones.
    PackagedFile out;
    out.name = f.name;
    out.disk = f.disk;
    out.hostPath = diskDir(plan, f.disk) + "/" + f.name;
    std::vector<ArchiveInput> archiveInputs;
    std::vector<std::string> memberPaths = plan.quorvelMembers;
    if (memberPaths.empty()) {
      if (!plan.generate) {
        *error = "no members for quorvel.z (give --quorvel-member or --generate)";
        return false;
      }
      // The generated members lie beside the package, never in it.
      std::string base = plan.outDir;
      while (base.size() > 1 && base.back() == '/') base.pop_back();
      result->quorvelMembersDir = base + ".members";
      if (!io(makeDir(result->quorvelMembersDir, error))) return false;
      for (const char *name : {"quorvel.exe", "notep001.ico", "quorvel.hlp"}) {
        std::string path = result->quorvelMembersDir + "/" + name;
        if (!io(writeGenerated(path, name, plan, fileTime, inputs, error))) return false;
        memberPaths.push_back(path);
      }
    }
    for (size_t i = 0; i < memberPaths.size(); i++) {
      ArchiveInput input;
      input.path = memberPaths[i];
      input.mode = i < plan.quorvelMemberModes.size() ? plan.quorvelMemberModes[i] : plan.mode;
      input.dictBits = plan.dictBits;
      archiveInputs.push_back(input);
    }
    // Made under a name of its own and put in place only once every disk
    // is known to hold it, so a failed check leaves an older quorvel.z.
    std::string pending = diskDir(plan, f.disk) + "/." + f.name + "." + std::to_string(getpid()) + ".pending";
    if (!notAnInput(out.hostPath, inputs, error) ||
        !io(createArchive(pending, archiveInputs, &result->quorvelMembers, error))) {
      unlink(pending.c_str());
      return false;
    }
    for (const ArchiveCreated &c : result->quorvelMembers) out.counted += c.dataEnd - c.dataOffset;
    out.size = fileSize(pending);
    pendingPaths[out.hostPath] = pending;
    diskBytes[f.disk] += out.size;
    written[f.name] = out;
    stepDone();
  }
  if (!disksFit()) {
    for (const auto &p : pendingPaths) unlink(p.second.c_str());
    return false;
  }
  for (const auto &p : pendingPaths) {
    if (!io(rename(p.second.c_str(), p.first.c_str()) == 0)) {
      *error = "cannot write " + p.first + ": " + strerror(errno);
      unlink(p.second.c_str());
      return false;
    }
  }

  for (const Step &step : steps) {
    const PackageFileInfo &f = *step.info;
    auto made = written.find(f.name);
    if (made != written.end()) {
      result->progressTotal += made->second.counted;
      result->files.push_back(made->second);
      continue;
    }
    PackagedFile out;
    out.name = f.name;
    out.disk = f.disk;
    out.hostPath = diskDir(plan, f.disk) + "/" + f.name;
    if (step.given != plan.files.end()) {
      if (!io(copyFile(step.given->second, out.hostPath, inputs, error))) return false;
      if (f.archive && !countArchive(out.hostPath, &out.counted, &result->quorvelMembers, error)) return false;
    } else {
      if (!io(writeGenerated(out.hostPath, f.name, plan, fileTime, inputs, error))) return false;
    }
    out.size = fileSize(out.hostPath);
    if (!f.archive) out.counted = out.size;
    result->progressTotal += out.counted;
    result->files.push_back(out);
    stepDone();
  }

  // setup.ini is read while the last disk is in the drive.
  std::string iniPath = diskDir(plan, 3) + "/setup.ini";
  if (!plan.setupIni.empty()) {
    if (!io(copyFile(plan.setupIni, iniPath, inputs, error))) return false;
  } else {
    if (!io(writeText(iniPath, iniText, inputs, error))) return false;
  }
  stepDone();
  // The setup program under the name its system runs: setup on Linux,
  // setup.exe on Windows; one of the other system goes.
  if (!setupName.empty()) {
    std::string disk1 = diskDir(plan, 1);
    if (!io(copyFile(plan.setupExe, disk1 + "/" + setupName, inputs, error))) return false;
    std::string other = disk1 + "/" + (setupName == "setup" ? "setup.exe" : "setup");
    if (exists(other)) unlink(other.c_str());
    stepDone();
  }
  return true;
}

bool splitPair(const std::string &text, std::string *key, std::string *value) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  *key = text.substr(0, eq);
  *value = text.substr(eq + 1);
  return true;
}

bool parseNumber(const std::string &text, uint64_t limit, uint64_t *value) {
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end || errno || v > limit) return false;
  *value = v;
  return true;
}

bool parseNumber(const std::string &text, uint32_t *value) {
  uint64_t v = 0;
  if (!parseNumber(text, 0xFFFFFFFFull, &v)) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

namespace {

bool parseYes(const std::string &text, bool *value) {
  if (text == "yes" || text == "1" || text == "true") {
    *value = true;
  } else if (text == "no" || text == "0" || text == "false") {
    *value = false;
  } else {
    return false;
  }
  return true;
}

const char *modeName(ImplodeMode mode) {
  return mode == ImplodeMode::Ascii ? "ascii" : mode == ImplodeMode::Binary ? "binary" : "auto";
}

std::string trimmed(const std::string &text) {
  size_t b = text.find_first_not_of(" \t\r");
  size_t e = text.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : text.substr(b, e - b + 1);
}

std::string absolute(const std::string &path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace

// Reads a plan file into plan; false with *error (naming the file and line).
bool readPlan(const std::string &file, PackagePlan *plan, std::string *error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = file + ": " + strerror(errno);
    return false;
  }
  std::string base = file.find('/') == std::string::npos ? "" : file.substr(0, file.rfind('/') + 1);
  auto pathOf = [&](const std::string &p) { return p.empty() || p[0] == '/' ? p : base + p; };
  std::string section, line;
  int number = 0;
  while (std::getline(in, line)) {
    number++;
    line = trimmed(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    std::string where = file + ":" + std::to_string(number);
    if (line[0] == '[') {
      if (line.back() != ']') {
        *error = where + ": a section line ends in ]";
        return false;
      }
      section = trimmed(line.substr(1, line.size() - 2));
      if (section != "Package" && section != "Files" && section != "quorvel.z" && section != "setup.ini") {
        *error = where + ": unknown section [" + section + "] (Package, Files, quorvel.z, setup.ini)";
        return false;
      }
      continue;
    }
    std::string key, value;
    if (!splitPair(line, &key, &value)) {
      *error = where + ": not KEY=VALUE";
      return false;
    }
    key = trimmed(key);
    value = trimmed(value);
    bool ok = true;
    if (section == "Package") {
      uint64_t n = 0;
      if (key == "Out") {
        plan->outDir = pathOf(value);
      } else if (key == "Layout") {
        ok = value == "disks" || value == "directory";
        plan->disks = value == "disks";
      } else if (key == "DiskSize") {
        ok = parseNumber(value, ~0ull, &plan->diskSize);
      } else if (key == "Optional") {
        ok = parseYes(value, &plan->optionalFiles);
      } else if (key == "Replace") {
        ok = parseYes(value, &plan->replace);
      } else if (key == "Generate") {
        ok = parseYes(value, &plan->generate);
      } else if (key == "SetupProgram") {
        plan->setupExe = pathOf(value);
      } else if (key == "Target") {
        plan->target = value;
      } else if (key == "SetupIni") {
        plan->setupIni = pathOf(value);
      } else if (key == "Size") {
        ok = parseNumber(value, &plan->generatedSize);
      } else if (key == "Seed") {
        ok = parseNumber(value, &plan->seed);
      } else if (key == "Dict") {
        ok = parseNumber(value, 6, &n) && n >= 4;
        plan->dictBits = static_cast<int>(n);
      } else {
        *error = where + ": unknown key " + key +
                 " (Out, Layout, DiskSize, Optional, Replace, Generate, SetupProgram, Target, SetupIni, Size, "
                 "Seed, Dict)";
        return false;
      }
    } else if (section == "Files") {
      plan->files[key] = pathOf(value);
    } else if (section == "quorvel.z") {
      ImplodeMode mode = key == "ascii" ? ImplodeMode::Ascii : key == "binary" ? ImplodeMode::Binary : ImplodeMode::Auto;
      if (key != "ascii" && key != "binary" && key != "auto") {
        *error = where + ": a member line is ascii=PATH, binary=PATH or auto=PATH";
        return false;
      }
      plan->quorvelMemberModes.resize(plan->quorvelMembers.size(), plan->mode);
      plan->quorvelMembers.push_back(pathOf(value));
      plan->quorvelMemberModes.push_back(mode);
    } else if (section == "setup.ini") {
      plan->settings.emplace_back(key, value);
    } else {
      *error = where + ": a setting before any section";
      return false;
    }
    if (!ok) {
      *error = where + ": bad value for " + key + ": " + value;
      return false;
    }
  }
  return true;
}

// The plan as a plan file, with absolute paths so that it works from anywhere.
std::string planText(const PackagePlan &plan) {
  std::ostringstream out;
  out << "; mkpackage plan\n[Package]\n";
  if (!plan.outDir.empty()) out << "Out=" << absolute(plan.outDir) << "\n";
  out << "Layout=" << (plan.disks ? "disks" : "directory") << "\n";
  if (plan.disks) out << "DiskSize=" << plan.diskSize << "\n";
  out << "Optional=" << (plan.optionalFiles ? "yes" : "no") << "\n";
  if (plan.replace) out << "Replace=yes\n";
  if (!plan.setupExe.empty()) out << "SetupProgram=" << absolute(plan.setupExe) << "\n";
  if (!plan.target.empty()) out << "Target=" << plan.target << "\n";
  if (!plan.setupIni.empty()) out << "SetupIni=" << absolute(plan.setupIni) << "\n";
  if (plan.generate) out << "Generate=yes\nSize=" << plan.generatedSize << "\nSeed=" << plan.seed << "\n";
  out << "Dict=" << plan.dictBits << "\n";
  if (!plan.files.empty()) {
    out << "\n[Files]\n";
    for (const auto &f : plan.files) out << f.first << "=" << absolute(f.second) << "\n";
  }
  if (!plan.quorvelMembers.empty()) {
    out << "\n[quorvel.z]\n";
    for (size_t i = 0; i < plan.quorvelMembers.size(); i++) {
      ImplodeMode mode = i < plan.quorvelMemberModes.size() ? plan.quorvelMemberModes[i] : plan.mode;
      out << modeName(mode) << "=" << absolute(plan.quorvelMembers[i]) << "\n";
    }
  }
  if (!plan.settings.empty()) {
    out << "\n[setup.ini]\n";
    for (const auto &kv : plan.settings) out << kv.first << "=" << kv.second << "\n";
  }
  return out.str();
}

