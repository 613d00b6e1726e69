// Arbitrary bytes as quorvel.z, extracted by the installer into a scratch
// target directory over the Win32 layer. Nothing may crash, every handle
// and heap block must be released, the result must be one of the transfer
// results, and no file may appear outside the target directory.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "w32_test.h"

#include "package_archive.h"
#include "progress_meter.h"
#include "setup_state.h"

namespace {

std::string prefixDir;
std::string sourceHost;  // c:\src
std::string targetHost;  // c:\t\quorvel

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

void setUp() {
  char pattern[] = "/tmp/qv_archive_fuzz_XXXXXX";
  if (!mkdtemp(pattern)) abort();
  prefixDir = pattern;
  w32::resetForTest(prefixDir);
  sourceHost = w32::hostPath("c:\\src");
  std::string t = w32::hostPath("c:\\t");
  if (mkdir(sourceHost.c_str(), 0755) || mkdir(t.c_str(), 0755)) abort();
  targetHost = w32::hostPath("c:\\t\\quorvel");
  if (mkdir(targetHost.c_str(), 0755)) abort();
  setupState.progressDialog = w32::createTestWindow();
  setupProgress(1500000);
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

  // Everything on C: must be the prefix's own files, the archive, or lie
  // directly inside the target directory.
  std::string driveC = w32::hostPath("c:\\");
  while (!driveC.empty() && driveC.back() == '/') driveC.pop_back();
  walk(driveC, [&](const std::string &path, bool isDir) {
    std::string rel = path.substr(driveC.size());
    if (rel == "/src" || rel == "/src/quorvel.z" || rel == "/t" || rel == "/t/quorvel") return;
    if (rel.compare(0, 8, "/windows") == 0) return;
    if (rel.compare(0, 11, "/t/quorvel/") == 0 && !isDir && rel.find('/', 11) == std::string::npos) return;
    fprintf(stderr, "written outside the target: %s\n", path.c_str());
    abort();
  });
  return 0;
}
