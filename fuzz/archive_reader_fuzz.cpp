// Arbitrary bytes as quorvel.z, extracted by the installer into a scratch
// target directory over the Win32 layer. Nothing may crash, every handle
// and heap block must be released, the result must be one of the transfer
// results, and no file may appear outside the target directory.
//
// The same bytes are then extracted by zarc into a directory that already
// holds something under each member's name: a regular file, a symbolic
// link or a hard link to a file outside. Nothing outside the directory may
// change, a symbolic link stays as it was, and a file is replaced only by a
// member decoded to its end; anything else stays, and no temporary is left.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include "w32_test.h"

#include "archive_format.h"
#include "zarc_archive.h"

#include "package_archive.h"
#include "progress_meter.h"
#include "setup_state.h"

namespace {

std::string prefixDir;
std::string sourceHost;  // c:\src
std::string targetHost;  // c:\t\quorvel
std::set<std::string> freshC;  // what a fresh prefix's C: holds, relative to it

// Calls visit(path, isDirectory) for everything under dir.
template <typename Visit>
void walk(const std::string &dir, Visit visit) {
  DIR *d = opendir(dir.c_str());
  if (!d) return;
  while (struct dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string path = dir + "/" + e->d_name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    bool isDir = S_ISDIR(info.st_mode);
    visit(path, isDir);
    if (isDir) walk(path, visit);
  }
  closedir(d);
}

std::string zarcTarget;   // host directory zarc extracts into
std::string zarcOutside;  // the files the links lead to

constexpr int kPlanted = 64;  // members whose names get something planted

void writeHost(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f)) abort();
}

std::string readHost(const std::string &path) {
  std::string text;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return "(none)";
  char block[4096];
  size_t n;
  while ((n = fread(block, 1, sizeof block, f)) > 0) text.append(block, n);
  fclose(f);
  return text;
}

// What was planted under a name: 0 a regular file, 1 a symbolic link, 2 a
// hard link, each to or holding a text of its own.
struct Planted {
  int kind;
  std::string outside;  // the file outside it leads to ("" for a regular file)
  std::string text;
  bool replaced = false;  // some member of that name was extracted whole
  uint64_t size = 0;      // its decoded size
};

void checkZarcExtraction(const uint8_t *data, size_t size) {
  walk(zarcTarget, [](const std::string &path, bool) { unlink(path.c_str()); });
  walk(zarcOutside, [](const std::string &path, bool) { unlink(path.c_str()); });
  std::map<std::string, Planted> planted;
  if (size >= ARCHIVE_COUNT_SIZE) {
    int32_t count = parseEntryCount(data);
    for (int32_t i = 0; i < count && i < kPlanted; i++) {
      size_t at = ARCHIVE_COUNT_SIZE + static_cast<size_t>(i) * ARCHIVE_ENTRY_SIZE;
      if (at + ARCHIVE_ENTRY_SIZE > size) break;
      ArchiveEntry entry;
      parseArchiveEntry(data + at, &entry);
      if (checkArchiveEntry(&entry, size) != EntryProblem::None) continue;
      char name[ARCHIVE_NAME_FIELD_SIZE];
      entryNameText(&entry, name);
      if (planted.count(name)) continue;
      Planted p;
      p.kind = i % 3;
      p.text = "planted " + std::to_string(i);
      std::string path = zarcTarget + "/" + name;
      if (p.kind == 0) {
        writeHost(path, p.text);
      } else {
        p.outside = zarcOutside + "/" + std::to_string(i);
        writeHost(p.outside, p.text);
        if ((p.kind == 1 ? symlink(p.outside.c_str(), path.c_str()) : link(p.outside.c_str(), path.c_str())) != 0)
          abort();
      }
      planted[name] = p;
    }
  }
  std::string archive = sourceHost + "/quorvel.z";
  std::set<std::string> names;  // every member's; a temporary name is longer than any
  processArchive(archive, ArchiveAction::Extract, zarcTarget, false, [&](const ArchiveMemberReport &m) {
    char name[ARCHIVE_NAME_FIELD_SIZE];
    entryNameText(&m.entry, name);
    names.insert(name);
    auto it = planted.find(name);
    if (m.error.empty() && m.decoded && m.result == DclResult::Ok && it != planted.end() && it->second.kind != 1) {
      it->second.replaced = true;
      it->second.size = m.decodedBytes;
    }
  });

  for (const auto &entry : planted) {
    const Planted &p = entry.second;
    if (!p.outside.empty() && readHost(p.outside) != p.text) {
      fprintf(stderr, "a file outside the target changed: %s\n", p.outside.c_str());
      abort();
    }
    std::string path = zarcTarget + "/" + entry.first;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) abort();
    bool regularAlone = S_ISREG(info.st_mode) && info.st_nlink == 1;
    bool asPlanted = p.kind == 0   ? regularAlone && readHost(path) == p.text
                     : p.kind == 1 ? S_ISLNK(info.st_mode)
                                   : S_ISREG(info.st_mode) && info.st_nlink == 2;
    if (p.replaced ? !regularAlone || static_cast<uint64_t>(info.st_size) != p.size : !asPlanted) {
      fprintf(stderr, "%s: %s\n", path.c_str(), p.replaced ? "not replaced by its member" : "changed by a bad member");
      abort();
    }
  }
  walk(zarcTarget, [&](const std::string &path, bool) {
    std::string name = path.substr(zarcTarget.size() + 1);
    if (!names.count(name) && !planted.count(name)) {
      fprintf(stderr, "a file no member names: %s\n", path.c_str());
      abort();
    }
  });
}

void setUp() {
  char pattern[] = "/tmp/qv_archive_fuzz_XXXXXX";
  if (!mkdtemp(pattern)) abort();
  prefixDir = pattern;
  w32::resetForTest(prefixDir);
  std::string driveC = w32::hostPath("c:\\");
  while (!driveC.empty() && driveC.back() == '/') driveC.pop_back();
  walk(driveC, [&](const std::string &path, bool) { freshC.insert(path.substr(driveC.size())); });
  sourceHost = w32::hostPath("c:\\src");
  std::string t = w32::hostPath("c:\\t");
  if (mkdir(sourceHost.c_str(), 0755) || mkdir(t.c_str(), 0755)) abort();
  targetHost = w32::hostPath("c:\\t\\quorvel");
  if (mkdir(targetHost.c_str(), 0755)) abort();
  setupState.progressDialog = w32::createTestWindow();
  setupProgress(1500000);
  zarcTarget = prefixDir + "/zarc-target";
  zarcOutside = prefixDir + "/zarc-outside";
  if (mkdir(zarcTarget.c_str(), 0755) || mkdir(zarcOutside.c_str(), 0755)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (prefixDir.empty()) setUp();
  // Empty the target from the last input.
  walk(targetHost, [](const std::string &path, bool isDir) {
    if (!isDir) unlink(path.c_str());
  });
  FILE *archive = fopen((sourceHost + "/quorvel.z").c_str(), "wb");
  if (!archive || (size && fwrite(data, 1, size, archive) != size) || fclose(archive)) abort();

  setupState.cancelRequested = 0;
  TransferResult result = extractPackageArchive("quorvel.z", "c:\\src\\", "c:\\t\\quorvel\\");
  int code = static_cast<int>(result);
  if (code < -3 || code > 1) abort();
  if (w32::openHandleCount() != 0 || w32::heapBlockCount() != 0) abort();
  // Drain the progress messages so the queue does not grow.
  MSG msg;
  while (w32::takePosted(setupState.progressDialog, &msg)) {
  }

  // Everything on C: must be what a fresh prefix holds, the archive, or lie
  // directly inside the target directory.
  std::string driveC = w32::hostPath("c:\\");
  while (!driveC.empty() && driveC.back() == '/') driveC.pop_back();
  walk(driveC, [&](const std::string &path, bool isDir) {
    std::string rel = path.substr(driveC.size());
    if (rel == "/src" || rel == "/src/quorvel.z" || rel == "/t" || rel == "/t/quorvel") return;
    if (freshC.count(rel)) return;
    if (rel.compare(0, 11, "/t/quorvel/") == 0 && !isDir && rel.find('/', 11) == std::string::npos) return;
    fprintf(stderr, "written outside the target: %s\n", path.c_str());
    abort();
  });

  checkZarcExtraction(data, size);
  return 0;
}
