// What the setup program relies on in a package: the members of quorvel.z
// it points at, a quorvel.exe it can start, and a byte count its progress
// bar can run over.
#include <stdio.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "package_layout.h"

#ifndef QV_PACKAGE_TOTAL
#error "QV_PACKAGE_TOTAL: the build takes it from the setup program's resources"
#endif

uint64_t setupPackageTotal() { return QV_PACKAGE_TOTAL; }

std::string progressTotalProblem(uint64_t counted) {
  const uint64_t total = setupPackageTotal();
  const uint64_t slack = total / 20;  // 5%
  if (total < 100 || (counted + slack >= total && counted <= total + slack)) return "";
  char share[32];
  std::snprintf(share, sizeof share, "%.1f%%", 100.0 * static_cast<double>(counted) / static_cast<double>(total));
  std::string text = "the progress meter counts " + std::to_string(counted) + " bytes, " + share +
                     " of the setup program's package total of " + std::to_string(total) + ": ";
  if (counted < total) {
    // The bar shows one percent more than the percentage reached.
    return text + "its bar stops at " + std::to_string(counted / (total / 100) + 1) + "%";
  }
  return text + "its bar is full with " + std::to_string(counted - total) + " bytes still to copy";
}

namespace {

bool readAt(std::FILE *f, long offset, unsigned char *buffer, size_t n) {
  return std::fseek(f, offset, SEEK_SET) == 0 && std::fread(buffer, 1, n, f) == n;
}

std::string targetOf(std::FILE *f) {
  unsigned char head[64] = {0};
  size_t n = std::fseek(f, 0, SEEK_SET) == 0 ? std::fread(head, 1, sizeof head, f) : 0;
  if (n >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') return "linux";
  if (n < 2 || head[0] != 'M' || head[1] != 'Z') return "";
  // A PE program: "PE\0\0" where the DOS header's last field points.
  unsigned char pe[4];
  long at = static_cast<long>(head[60] | head[61] << 8 | head[62] << 16 | static_cast<uint32_t>(head[63]) << 24);
  if (n < sizeof head || at < 64 || !readAt(f, at, pe, sizeof pe)) return "dos";
  return pe[0] == 'P' && pe[1] == 'E' && pe[2] == 0 && pe[3] == 0 ? "windows" : "dos";
}

bool sameName(const std::string &a, const char *b) {
  std::string folded;
  for (char c : a) folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded == b;
}

const char *headerOf(const std::string &target) { return target == "linux" ? "an ELF" : "a PE"; }

}  // namespace

std::string programTarget(const std::string &path) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return "";
  std::string target = targetOf(f);
  std::fclose(f);
  return target;
}

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

bool checkQuorvel(const PackagePlan &plan, const std::string &target, std::vector<std::string> *warnings,
                  std::string *error) {
  auto ready = plan.files.find("quorvel.z");
  std::vector<std::string> names;
  std::string program;  // quorvel.exe's host file, when there is one to look at
  std::FILE *extracted = nullptr;
  if (ready != plan.files.end()) {
    std::vector<ArchiveCreated> members;
    uint64_t counted;
    if (!countArchive(ready->second, &counted, &members, error)) return false;
    for (const ArchiveCreated &m : members) names.push_back(m.name);
    // Its quorvel.exe, decoded to look at its header.
    extracted = std::tmpfile();
    ArchiveReadOptions options;
    options.members = {"quorvel.exe"};
    options.outFd = extracted ? fileno(extracted) : -1;
    if (extracted) processArchive(ready->second, ArchiveAction::Extract, "", options);
  } else if (!plan.quorvelMembers.empty()) {
    for (const std::string &path : plan.quorvelMembers) {
      names.push_back(path.substr(path.find_last_of('/') + 1));
      if (sameName(names.back(), "quorvel.exe")) program = path;
    }
  } else {
    return true;  // made up here: it holds them all
  }
  bool exe = false, icon = false;
  for (const std::string &name : names) {
    exe = exe || sameName(name, "quorvel.exe");
    icon = icon || sameName(name, "notep001.ico");
  }
  std::string built;
  if (extracted) {
    fflush(extracted);
    built = targetOf(extracted);
    std::fclose(extracted);
  } else if (!program.empty()) {
    built = programTarget(program);
  }
  if (!exe) {
    *error = "quorvel.z holds no quorvel.exe: the setup program starts it when done, and the group's "
             "\"Registration & Utilities\" item points at it";
    return false;
  }
  if (!target.empty() && built != target) {
    *error = "quorvel.z's quorvel.exe is " + (built == "linux" ? std::string("a Linux program (an ELF)")
                                             : built == "windows" ? std::string("a Windows program (a PE)")
                                             : built == "dos" ? std::string("an MZ file with no PE header")
                                                              : std::string("no program")) +
             ", not one for the target " + target + " (" + headerOf(target) + ")";
    return false;
  }
  if (!icon) warnings->push_back("quorvel.z holds no notep001.ico: the group's \"Read me\" item shows it as its icon");
  return true;
}
