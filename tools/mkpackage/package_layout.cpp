#include "package_layout.h"

#include "input_file.h"
#include "replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>

const std::vector<PackageFileInfo> &packageFileList() {
  static const std::vector<PackageFileInfo> list = {
      {1, "nsystem.z", false, false},  {1, "netscape.z", false, false}, {1, "plugins.z", false, false},
      {1, "javaclss.z", false, false}, {1, "readme.txt", false, false}, {1, "bookmark.htm", false, true},
      {2, "nprogram.z", false, false}, {2, "quorvel.z", true, false},   {3, "javabin.z", false, false},
      {3, "wsystem.z", false, false},  {3, "www.z", false, true},
  };
  return list;
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

bool makePackage(const PackagePlan &plan, PackageResult *result, std::string *error) {
  *result = PackageResult();
  if (plan.outDir.empty()) {
    *error = "no output directory";
    return false;
  }
  std::set<std::string> known;
  for (const PackageFileInfo &f : packageFileList()) known.insert(f.name);
  for (const auto &given : plan.files) {
    if (!known.count(given.first)) {
      *error = "'" + given.first + "' is not one of the package files";
      return false;
    }
  }
  // Every payload must be a regular file, and no output may land on one.
  InputFiles inputs;
  for (const auto &given : plan.files) {
    if (!checkInput(given.second, &inputs, error)) return false;
  }
  for (const std::string &path : plan.quorvelMembers) {
    if (!checkInput(path, &inputs, error)) return false;
  }
  if (!plan.setupIni.empty() && !checkInput(plan.setupIni, &inputs, error)) return false;
  if (!plan.setupExe.empty() && !checkInput(plan.setupExe, &inputs, error)) return false;
  if (!makeDir(plan.outDir, error)) return false;
  if (plan.disks) {
    for (int d = 1; d <= 3; d++) {
      if (!makeDir(diskDir(plan, d), error)) return false;
    }
  }
  uint64_t fileTime = plan.fileTime ? plan.fileTime : nowFileTime();

  for (const PackageFileInfo &f : packageFileList()) {
    auto given = plan.files.find(f.name);
    bool wanted = !f.optional || plan.optionalFiles || given != plan.files.end();
    if (!wanted) continue;
    PackagedFile out;
    out.name = f.name;
    out.disk = f.disk;
    out.hostPath = diskDir(plan, f.disk) + "/" + f.name;
    if (f.archive && given == plan.files.end()) {
      // quorvel.z made here, from the given members or generated ones.
      std::vector<ArchiveInput> archiveInputs;
      std::vector<std::string> memberPaths = plan.quorvelMembers;
      if (memberPaths.empty()) {
        if (!plan.generate) {
          *error = "no members for quorvel.z (give --quorvel-member or --generate)";
          return false;
        }
        result->quorvelMembersDir = plan.outDir + "/quorvel-members";
        if (!makeDir(result->quorvelMembersDir, error)) return false;
        for (const char *name : {"quorvel.exe", "notep001.ico", "quorvel.hlp"}) {
          std::string path = result->quorvelMembersDir + "/" + name;
          if (!writeGenerated(path, name, plan, fileTime, inputs, error)) return false;
          memberPaths.push_back(path);
        }
      }
      for (const std::string &path : memberPaths) {
        ArchiveInput input;
        input.path = path;
        input.mode = plan.mode;
        input.dictBits = plan.dictBits;
        archiveInputs.push_back(input);
      }
      if (!notAnInput(out.hostPath, inputs, error) ||
          !createArchive(out.hostPath, archiveInputs, &result->quorvelMembers, error))
        return false;
      for (const ArchiveCreated &c : result->quorvelMembers) out.counted += c.dataEnd - c.dataOffset;
    } else if (given != plan.files.end()) {
      if (!copyFile(given->second, out.hostPath, inputs, error)) return false;
      if (f.archive && !countArchive(out.hostPath, &out.counted, &result->quorvelMembers, error)) return false;
    } else {
      if (!plan.generate) {
        *error = "no payload for " + std::string(f.name) + " (give --file " + f.name + "=PATH or --generate)";
        return false;
      }
      if (!writeGenerated(out.hostPath, f.name, plan, fileTime, inputs, error)) return false;
    }
    out.size = fileSize(out.hostPath);
    if (!f.archive) out.counted = out.size;
    result->progressTotal += out.counted;
    result->files.push_back(out);
  }

  // setup.ini is read while the last disk is in the drive.
  std::string iniPath = diskDir(plan, 3) + "/setup.ini";
  if (!plan.setupIni.empty()) {
    if (!copyFile(plan.setupIni, iniPath, inputs, error)) return false;
  } else {
    std::string text = "[Quorvel]\r\n";
    for (const auto &kv : plan.settings) text += kv.first + "=" + kv.second + "\r\n";
    if (!writeText(iniPath, text, inputs, error)) return false;
  }
  // The setup program keeps its own name: setup on Linux, setup.exe for Windows.
  if (!plan.setupExe.empty()) {
    size_t slash = plan.setupExe.find_last_of('/');
    std::string name = slash == std::string::npos ? plan.setupExe : plan.setupExe.substr(slash + 1);
    if (!copyFile(plan.setupExe, diskDir(plan, 1) + "/" + name, inputs, error)) return false;
  }
  return true;
}
