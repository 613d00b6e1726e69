#include "package_stage.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "output_file.h"
#include "package_layout.h"

const char kListingName[] = ".mkpackage";

namespace {

const char kListingHead[] = "; mkpackage listing";

bool isDiskDirName(const std::string &name) { return name == "disk1" || name == "disk2" || name == "disk3"; }

// The names a layout holds in one directory: the package files, setup.ini
// and the setup program.
bool isLayoutName(const std::string &name) {
  if (name == "setup.ini" || name == "setup" || name == "setup.exe") return true;
  for (const PackageFileInfo &f : packageFileList()) {
    if (name == f.name) return true;
  }
  return false;
}

std::vector<std::string> entriesOf(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

// The paths a listing names, or false when the file is no listing.
bool readListing(const std::string &path, std::set<std::string> *names) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line) || line.compare(0, sizeof kListingHead - 1, kListingHead) != 0) return false;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    if (!line.empty() && line[0] != ';') names->insert(line.substr(0, space));
  }
  return true;
}

// Where outDir leads: itself, or the end of its links (made absolute, so
// that the layout can be made beside it).
bool packageDirOf(const std::string &outDir, std::string *dir, std::string *error) {
  std::string at = outDir;
  while (at.size() > 1 && at.back() == '/') at.pop_back();
  for (int links = 0; links < 40; links++) {
    struct stat info;
    if (lstat(at.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      char text[PATH_MAX];
      ssize_t n = readlink(at.c_str(), text, sizeof text - 1);
      if (n < 0) break;
      std::string next(text, static_cast<size_t>(n));
      at = next[0] == '/' ? next : directoryOf(at) + "/" + next;
      while (at.size() > 1 && at.back() == '/') at.pop_back();
      continue;
    }
    char real[PATH_MAX];
    if (realpath(directoryOf(at).c_str(), real) == nullptr) {
      *error = "cannot use " + directoryOf(at) + ": " + strerror(errno);
      return false;
    }
    std::string base = baseNameOf(at);
    if (base == "." || base == ".." || base.empty()) {
      if (realpath(at.c_str(), real) == nullptr || std::string(real) == "/") {
        *error = "cannot lay a package out in " + outDir + " itself: name its directory";
        return false;
      }
      *dir = real;
      return true;
    }
    *dir = std::string(real) + (real[1] ? "/" : "") + base;
    return true;
  }
  *error = outDir + ": too many levels of symbolic links";
  return false;
}

}  // namespace

bool examinePackageDir(const std::string &outDir, PackageDirState *state, std::string *error) {
  *state = PackageDirState();
  if (!packageDirOf(outDir, &state->dir, error)) return false;
  if (lstat(state->dir.c_str(), &state->info) != 0) return true;
  if (!S_ISDIR(state->info.st_mode)) {
    *error = state->dir + " is there and is not a directory";
    return false;
  }
  state->exists = true;
  std::set<std::string> &listed = state->laidOut;
  state->listed = readListing(state->dir + "/" + kListingName, &listed);
  for (const std::string &rel : listed) state->disks = state->disks || rel.find('/') != std::string::npos;
  // A package name is mkpackage's when its listing names it; anything else,
  // whatever its name, is someone else's.
  auto look = [&](const std::string &rel, const std::string &name) {
    struct stat info;
    if (lstat((state->dir + "/" + rel).c_str(), &info) != 0) return;
    if (!isLayoutName(name)) {
      state->foreign.push_back(rel);
    } else if (!S_ISREG(info.st_mode)) {
      state->notFiles.push_back(rel);
    } else {
      state->files[rel] = info;
      if (!listed.count(rel)) state->unlisted.push_back(rel);
    }
  };
  for (const std::string &name : entriesOf(state->dir)) {
    struct stat info;
    if (name == kListingName) continue;
    if (isDiskDirName(name) && lstat((state->dir + "/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      state->files[name] = info;
      for (const std::string &inner : entriesOf(state->dir + "/" + name)) look(name + "/" + inner, inner);
      continue;
    }
    look(name, name);
  }
  for (auto *names : {&state->foreign, &state->unlisted, &state->notFiles}) std::sort(names->begin(), names->end());
  return true;
}

PackageStage::~PackageStage() {
  if (committed_ || stage_.empty()) return;
  removeFiles(stage_, added_);
  for (const std::string &rel : added_) unregisterTemporary(path(rel));
  for (const std::string &dir : dirs_) unregisterTemporary(dir);
}

bool PackageStage::begin(const PackageDirState &state, bool disks, std::string *error) {
  state_ = &state;
  const std::string parent = directoryOf(state.dir), base = baseNameOf(state.dir);
  // INT and TERM wait until the directory made is one they remove.
  sigset_t held, before;
  sigemptyset(&held);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, s);
  sigprocmask(SIG_BLOCK, &held, &before);
  for (int attempt = 0; stage_.empty() && attempt < 100; attempt++) {
    std::string candidate = temporaryName(parent, base, attempt);
    if (mkdir(candidate.c_str(), 0700) == 0) {
      stage_ = candidate;
      registerTemporary(stage_, true);
      dirs_.push_back(stage_);
    } else if (errno != EEXIST) {
      break;
    }
  }
  int saved = errno;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  if (stage_.empty()) {
    *error = "cannot make a directory in " + parent + ": " + strerror(saved);
    return false;
  }
  for (int d = 1; disks && d <= 3; d++) {
    std::string disk = stage_ + "/disk" + std::to_string(d);
    if (mkdir(disk.c_str(), 0777) != 0) {
      *error = "cannot make " + disk + ": " + strerror(errno);
      return false;
    }
    registerTemporary(disk, true);
    dirs_.push_back(disk);
  }
  return true;
}

void PackageStage::added(const std::string &rel) {
  registerTemporary(path(rel));
  added_.push_back(rel);
}

bool PackageStage::commit(bool carry, std::vector<std::string> *warnings, std::string *error) {
  const PackageDirState &state = *state_;
  std::string listing = std::string(kListingHead) +
                        ": what mkpackage laid out here; it replaces only a package whose listing names all "
                        "there is\n";
  for (const std::string &rel : added_) {
    struct stat info;
    listing += rel + " " + std::to_string(stat(path(rel).c_str(), &info) == 0 ? info.st_size : 0) + "\n";
  }
  OutputOptions output;
  output.mode = 0644;
  added(kListingName);
  if (!writeOutput(path(kListingName), output, [&](int fd) { return writeAllTo(fd, listing.data(), listing.size()); },
                   error)) {
    return false;
  }
  // The directories keep the old ones' owner and mode.
  auto like = [&](const std::string &dir, const std::string &rel) {
    auto old = rel.empty() ? (state.exists ? &state.info : nullptr)
                           : (state.files.count(rel) ? &state.files.at(rel) : nullptr);
    if (old) {
      if (chown(dir.c_str(), old->st_uid, old->st_gid) != 0) {
        // not the user's to give
      }
      chmod(dir.c_str(), old->st_mode & 07777);
    } else if (rel.empty()) {
      mode_t mask = umask(0);
      umask(mask);
      chmod(dir.c_str(), 0777 & ~mask);
    }
  };
  for (int d = 1; d <= 3; d++) {
    std::string rel = "disk" + std::to_string(d);
    struct stat info;
    if (stat(path(rel).c_str(), &info) == 0) like(path(rel), rel);
  }
  like(stage_, "");

  // From here to the swap, INT and TERM wait: what is carried over must not
  // be left halfway.
  sigset_t all, before;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &before);
  // What is not mkpackage's goes into the new layout: files of other names,
  // and files of package names that the new layout does not replace.
  std::set<std::string> laidOut(added_.begin(), added_.end());
  std::vector<std::string> carried = state.foreign, moved;
  for (const std::string &rel : state.unlisted) {
    if (!laidOut.count(rel)) carried.push_back(rel);
  }
  bool ok = true;
  for (size_t i = 0; ok && carry && i < carried.size(); i++) {
    const std::string &rel = carried[i];
    size_t slash = rel.find('/');
    if (slash != std::string::npos) mkdir(path(rel.substr(0, slash)).c_str(), 0777);
    if (rename((state.dir + "/" + rel).c_str(), path(rel).c_str()) == 0) {
      moved.push_back(rel);
    } else {
      *error = "cannot move " + state.dir + "/" + rel + " into the new layout: " + strerror(errno);
      ok = false;
    }
  }
  std::string old = stage_;  // where the old package ends up
  if (ok && state.exists) {
    if (renameat2(AT_FDCWD, stage_.c_str(), AT_FDCWD, state.dir.c_str(), RENAME_EXCHANGE) != 0) {
      // A file system that cannot swap: the old package steps aside first.
      old = temporaryName(directoryOf(state.dir), baseNameOf(state.dir), 100);
      if (errno != EINVAL && errno != ENOSYS) {
        ok = false;
      } else if (rename(state.dir.c_str(), old.c_str()) != 0) {
        ok = false;
      } else if (rename(stage_.c_str(), state.dir.c_str()) != 0) {
        rename(old.c_str(), state.dir.c_str());
        ok = false;
      }
      if (!ok) *error = "cannot put the new layout in place of " + state.dir + ": " + strerror(errno);
    }
  } else if (ok && rename(stage_.c_str(), state.dir.c_str()) != 0) {
    *error = "cannot put the new layout at " + state.dir + ": " + strerror(errno);
    ok = false;
  }
  if (!ok) {
    for (const std::string &rel : moved) rename(path(rel).c_str(), (state.dir + "/" + rel).c_str());
  } else {
    committed_ = true;
    for (const std::string &rel : added_) unregisterTemporary(path(rel));
    for (const std::string &dir : dirs_) unregisterTemporary(dir);
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  // The old package loses what mkpackage laid out there and what the new
  // one replaced; anything else in it stays, and so does it then.
  std::vector<std::string> replaced;
  if (state.listed) replaced.push_back(kListingName);
  for (const auto &file : state.files) {
    if (!isDiskDirName(file.first) && (state.laidOut.count(file.first) || laidOut.count(file.first))) {
      replaced.push_back(file.first);
    }
  }
  if (ok && state.exists && !removeFiles(old, replaced)) {
    warnings->push_back("left " + old + ": it holds files that are not mkpackage's");
  }
  return ok;
}

bool removeFiles(const std::string &dir, const std::vector<std::string> &rels) {
  for (const std::string &rel : rels) {
    std::string path = dir + "/" + rel;
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) unlink(path.c_str());
  }
  for (int d = 1; d <= 3; d++) rmdir((dir + "/disk" + std::to_string(d)).c_str());
  return rmdir(dir.c_str()) == 0;
}
