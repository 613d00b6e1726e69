// Laying a package out: every payload checked, then the layout made beside
// the package directory and swapped in (package_stage.cpp), each file written
// as a new file and counted as the progress meter will count it.
#include "package_layout.h"

#include "input_file.h"
#include "output_file.h"
#include "package_stage.h"

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
#include <algorithm>
#include <map>
#include <set>
#include <sstream>

namespace {

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

OutputOptions newFile(mode_t mode) {
  OutputOptions options;
  options.mode = mode;
  return options;
}

bool writeText(const std::string &path, const std::string &text, std::string *error) {
  return writeOutput(path, newFile(0644), [&](int fd) { return writeAllTo(fd, text.data(), text.size()); }, error);
}

// A made-up payload, streamed whatever its size, with the given time.
bool writeGenerated(const std::string &path, const std::string &name, const PackagePlan &plan, uint64_t fileTime,
                    std::string *error) {
  bool written = writeOutput(
      path, newFile(0644),
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
  struct stat info;
  // A device or FIFO takes the bytes and has no time to set.
  return written && (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || setTime(path, fileTime, error));
}

// Copies a host file (a regular file only), keeping its permission bits
// (the setup program stays executable) and its modification time.
bool copyFile(const std::string &from, const std::string &to, std::string *error) {
  struct stat info;
  int in = openInput(from, &info, error);
  if (in < 0) return false;
  bool readOk = true;
  bool written = writeOutput(
      to, newFile(info.st_mode & 0777),
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

std::string withCommas(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string joined(const std::vector<std::string> &items, const char *between, size_t most = ~size_t(0)) {
  std::string text;
  for (size_t i = 0; i < items.size() && i < most; i++) text += (i ? between : "") + items[i];
  if (items.size() > most) text += std::string(between) + "and " + std::to_string(items.size() - most) + " more";
  return text;
}

// A file replaced keeps the old one's owner and mode (the owner first: a
// change of owner clears setuid).
void takeOwnerAndMode(const std::string &path, const struct stat *old) {
  if (!old) return;
  if (chown(path.c_str(), old->st_uid, old->st_gid) != 0 && chown(path.c_str(), static_cast<uid_t>(-1), old->st_gid) != 0) {
    // not the user's to give
  }
  chmod(path.c_str(), old->st_mode & 07777);
}

bool readOnly(const struct stat &info) {
  if (geteuid() == 0) return (info.st_mode & 0222) == 0;
  if (info.st_uid == geteuid()) return (info.st_mode & S_IWUSR) == 0;
  return (info.st_mode & (info.st_gid == getegid() ? S_IWGRP : S_IWOTH)) == 0;
}

std::string kindOf(const std::string &path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return "not a regular file";
  return S_ISLNK(info.st_mode)    ? "a symbolic link"
         : S_ISDIR(info.st_mode)  ? "a directory"
         : S_ISFIFO(info.st_mode) ? "a FIFO"
         : S_ISSOCK(info.st_mode) ? "a socket"
                                  : "a device";
}

// What the package directory holds that stops this run (nothing, true).
bool mayLayOutIn(const PackagePlan &plan, const PackageDirState &state, const std::vector<std::string> &rels,
                 std::string *error, bool *fileInTheWay) {
  *fileInTheWay = true;
  for (const std::string &rel : state.notFiles) {
    *error = state.dir + "/" + rel + " is " + kindOf(state.dir + "/" + rel) +
             "; mkpackage lays out regular files only and replaces no other kind: move it away";
    return false;
  }
  for (const std::string &rel : rels) {
    auto old = state.files.find(rel);
    if (old != state.files.end() && !plan.force && readOnly(old->second)) {
      *error = state.dir + "/" + rel + " is read-only (-f or --force replaces it)";
      return false;
    }
  }
  *fileInTheWay = false;
  if (plan.replace) return true;
  std::vector<std::string> others = state.foreign;
  others.insert(others.end(), state.unlisted.begin(), state.unlisted.end());
  if (!others.empty()) {
    *error = "it holds files that mkpackage did not lay out (" + joined(others, ", ", 4) +
             "); give --replace to lay the package out there all the same (its files replace those of their "
             "names, every other file stays), or another --out";
    return false;
  }
  if (state.listed && state.disks != plan.disks) {
    *error = "it holds " +
             (plan.disks ? std::string("a one-directory package") : std::string("a disk layout (disk1, disk2, disk3)")) +
             "; give --replace to replace it, or another --out";
    return false;
  }
  return true;
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
  // Every payload must be a regular file, and no output may land on one;
  // what is missing is named all at once.
  InputFiles inputs;
  std::vector<std::string> problems;
  std::string problem;
  for (const auto &given : plan.files) {
    if (!checkInput(given.second, &inputs, &problem)) problems.push_back(problem);
  }
  // quorvel.z's member names, checked before anything is written.
  std::set<std::string> memberNames;
  for (const std::string &path : plan.quorvelMembers) {
    if (!checkInput(path, &inputs, &problem)) problems.push_back(problem);
    std::string name = path.substr(path.find_last_of('/') + 1), folded;
    std::string nameProblem = memberNameProblem(name);
    for (char c : name) folded += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (nameProblem.empty() && !memberNames.insert(folded).second) nameProblem = "two members of that name";
    if (!nameProblem.empty()) {
      *error = "quorvel.z cannot hold " + path + " as '" + name + "': " + nameProblem;
      return false;
    }
  }
  if (!plan.setupIni.empty() && !checkInput(plan.setupIni, &inputs, &problem)) problems.push_back(problem);
  if (!plan.setupExe.empty() && !checkInput(plan.setupExe, &inputs, &problem)) problems.push_back(problem);
  result->ioFailure = !problems.empty();
  std::vector<std::string> missing;
  for (const PackageFileInfo &f : packageFileList()) {
    bool wanted = !f.optional || plan.optionalFiles || plan.files.count(f.name);
    bool made = plan.generate || (f.archive && !plan.quorvelMembers.empty());
    if (wanted && !plan.files.count(f.name) && !made) missing.push_back(f.name);
  }
  if (!missing.empty()) {
    problems.push_back("no payload for " + joined(missing, ", ") + " (give --file NAME=PATH for each" +
                       (std::find(missing.begin(), missing.end(), "quorvel.z") != missing.end()
                            ? ", --quorvel-member PATH for the members of quorvel.z,"
                            : ",") +
                       " or --generate)");
    result->ioFailure = false;
  }
  if (!problems.empty()) {
    *error = joined(problems, "; ");
    return false;
  }
  std::string setupName, target = plan.target;
  if (!target.empty() && setupProgramName(target).empty()) {
    *error = "unknown target '" + target + "' (linux or windows)";
    return false;
  }
  if (!plan.setupExe.empty()) {
    std::string built = programTarget(plan.setupExe);
    if (built == "dos") built = "windows";
    if (built.empty() && target.empty()) {
      *error = plan.setupExe + ": not a Linux or Windows program; give --target linux or --target windows";
      return false;
    }
    if (!built.empty() && !target.empty() && built != target) {
      *error = plan.setupExe + ": a " + built + " program, not one for the target " + target;
      return false;
    }
    if (target.empty()) target = built;
    setupName = setupProgramName(target);
  }
  if (!checkQuorvel(plan, target, &result->warnings, error)) return false;
  if (setupName.empty()) {
    result->warnings.push_back("the package holds no setup program, so nothing installs it (--setup-exe PATH, or "
                               "SetupProgram= in a plan, puts one " + std::string(plan.disks ? "on disk1" : "in it") +
                               ")");
  }

  PackageDirState state;
  if (!io(examinePackageDir(plan.outDir, &state, error))) return false;
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
    std::string rel;  // its path in the package
  };
  std::vector<Step> steps;
  std::vector<std::string> rels;
  uint64_t diskBytes[4] = {0, 0, 0, 0};
  auto relOf = [&](int disk, const std::string &name) {
    return plan.disks ? "disk" + std::to_string(disk) + "/" + name : name;
  };
  for (const PackageFileInfo &f : packageFileList()) {
    auto given = plan.files.find(f.name);
    if (f.optional && !plan.optionalFiles && given == plan.files.end()) continue;
    steps.push_back({&f, given, relOf(f.disk, f.name)});
    rels.push_back(steps.back().rel);
    if (given != plan.files.end()) {
      diskBytes[f.disk] += fileSize(given->second);
    } else if (!f.archive) {
      diskBytes[f.disk] += plan.generatedSize;
    }
  }
  rels.push_back(relOf(3, "setup.ini"));
  diskBytes[3] += plan.setupIni.empty() ? iniText.size() : fileSize(plan.setupIni);
  if (!setupName.empty()) {
    rels.push_back(relOf(1, setupName));
    diskBytes[1] += fileSize(plan.setupExe);
  }
  for (const std::string &rel : rels) {
    if (!notAnInput(state.dir + "/" + rel, inputs, error)) return io(false);
  }
  bool inTheWay = false;
  if (!mayLayOutIn(plan, state, rels, error, &inTheWay)) {
    result->ioFailure = inTheWay;
    return false;
  }
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

  // The whole layout is made beside the package directory, then swapped in.
  PackageStage stage;
  if (!io(stage.begin(state, plan.disks, error))) return false;
  uint64_t fileTime = plan.fileTime ? plan.fileTime : nowFileTime();
  size_t totalSteps = steps.size() + 1 + (setupName.empty() ? 0 : 1), done = 0;
  auto stepDone = [&] {
    if (plan.progress) plan.progress(++done, totalSteps);
  };
  auto laidOut = [&](const std::string &rel) {
    auto old = state.files.find(rel);
    takeOwnerAndMode(stage.path(rel), old == state.files.end() ? nullptr : &old->second);
  };

  std::map<std::string, PackagedFile> written;
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
      // The generated members lie beside the package, never in it.
      std::string base = plan.outDir;
      while (base.size() > 1 && base.back() == '/') base.pop_back();
      result->quorvelMembersDir = base + ".members";
      if (mkdir(result->quorvelMembersDir.c_str(), 0777) != 0 && errno != EEXIST) {
        *error = "cannot create " + result->quorvelMembersDir + ": " + strerror(errno);
        return io(false);
      }
      for (const char *name : kGeneratedMembers) {
        std::string path = result->quorvelMembersDir + "/" + name;
        if (!notAnInput(path, inputs, error) || !io(writeGenerated(path, name, plan, fileTime, error))) return false;
        memberPaths.push_back(path);
      }
    }
    for (size_t i = 0; i < memberPaths.size(); i++) {
      ArchiveInput input;
      input.path = memberPaths[i];
      input.mode = i < plan.quorvelMemberModes.size() ? plan.quorvelMemberModes[i] : plan.mode;
      input.dictBits = plan.dictBits;
      input.best = plan.best;
      archiveInputs.push_back(input);
    }
    stage.added(step.rel);
    if (!io(createArchive(stage.path(step.rel), archiveInputs, &result->quorvelMembers, error))) return false;
    laidOut(step.rel);
    for (const ArchiveCreated &c : result->quorvelMembers) out.counted += c.dataEnd - c.dataOffset;
    out.size = fileSize(stage.path(step.rel));
    diskBytes[f.disk] += out.size;
    written[f.name] = out;
    stepDone();
  }
  if (!disksFit()) return false;

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
    const std::string to = stage.path(step.rel);
    stage.added(step.rel);
    if (step.given != plan.files.end()) {
      if (f.archive && !countArchive(step.given->second, &out.counted, &result->quorvelMembers, error)) return false;
      if (!io(copyFile(step.given->second, to, error))) return false;
    } else {
      if (!io(writeGenerated(to, f.name, plan, fileTime, error))) return false;
    }
    laidOut(step.rel);
    out.size = fileSize(to);
    if (!f.archive) out.counted = out.size;
    result->progressTotal += out.counted;
    result->files.push_back(out);
    stepDone();
  }

  // setup.ini is read while the last disk is in the drive.
  const std::string iniRel = relOf(3, "setup.ini");
  stage.added(iniRel);
  if (!plan.setupIni.empty()) {
    if (!io(copyFile(plan.setupIni, stage.path(iniRel), error))) return false;
  } else {
    if (!io(writeText(stage.path(iniRel), iniText, error))) return false;
  }
  laidOut(iniRel);
  stepDone();
  // The setup program under the name its system runs: setup on Linux,
  // setup.exe on Windows.
  if (!setupName.empty()) {
    const std::string rel = relOf(1, setupName);
    stage.added(rel);
    if (!io(copyFile(plan.setupExe, stage.path(rel), error))) return false;
    laidOut(rel);
    stepDone();
  }
  std::string off = progressTotalProblem(result->progressTotal);
  if (!off.empty()) result->warnings.push_back(off);
  return io(stage.commit(plan.replace, &result->warnings, error));
}
