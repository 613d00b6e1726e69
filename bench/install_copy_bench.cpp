// Plain copy of a 64 MiB package file through copyPackageFile (over the
// Linux Win32 layer, 32000-byte chunks) against cp(1) of the same file in
// the same run. Both read from a warm page cache; best of several runs.
// Target: copyPackageFile at least 0.9 times cp's throughput. cp copies
// inside the kernel; copyPackageFile reads and writes 32000-byte chunks,
// and the layer's write-behind turns its writes into 256 KiB host writes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <string>
#include <vector>

#include "w32_test.h"

#include "file_copy.h"
#include "progress_meter.h"
#include "setup_state.h"

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Reading and writing 32000-byte chunks straight to the host, without the
// Win32 layer and its write-behind: the chunk size copyPackageFile must use
// (its cancel check and progress step are per chunk).
bool plainLoop(const std::string &from, const std::string &to) {
  static char buffer[32000];
  int in = open(from.c_str(), O_RDONLY);
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = in >= 0 && out >= 0;
  ssize_t n;
  while (ok && (n = read(in, buffer, sizeof buffer)) > 0) ok = write(out, buffer, static_cast<size_t>(n)) == n;
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 64;
  int runs = argc > 2 ? atoi(argv[2]) : 9;
  if (mib == 0 || runs <= 0) {
    fprintf(stderr, "usage: install_copy_bench [MiB] [runs]\n");
    return 64;
  }
  char pattern[] = "/tmp/qv_copy_bench_XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  std::string prefix = pattern;
  w32::resetForTest(prefix);
  std::string src = w32::hostPath("c:\\src");
  std::string dst = w32::hostPath("c:\\dst");
  mkdir(src.c_str(), 0755);
  mkdir(dst.c_str(), 0755);

  size_t size = mib << 20;
  {
    std::vector<unsigned char> data(size);
    uint32_t s = 1;
    for (size_t i = 0; i < size; i++) {
      s = s * 1103515245u + 12345u;
      data[i] = static_cast<unsigned char>(s >> 24);
    }
    FILE *f = fopen((src + "/nsystem.z").c_str(), "wb");
    if (!f || fwrite(data.data(), 1, size, f) != size || fclose(f)) return 1;
  }
  setupState.progressDialog = w32::createTestWindow();
  strcpy(setupState.sourceDir, "c:\\src\\");
  strcpy(setupState.targetDir, "c:\\dst\\");

  std::string cpCommand = "cp '" + src + "/nsystem.z' '" + dst + "/cp.z'";
  if (system(cpCommand.c_str()) != 0) return 1;  // warm the cache
  double bestCopy = 1e9, bestCp = 1e9, bestLoop = 1e9;
  for (int r = 0; r < runs; r++) {
    unlink((dst + "/nsystem.z").c_str());
    setupProgress(static_cast<uint32_t>(size));
    auto t0 = std::chrono::steady_clock::now();
    TransferResult result = copyPackageFile("nsystem.z", setupState.sourceDir, setupState.targetDir);
    auto t1 = std::chrono::steady_clock::now();
    if (result != TransferResult::Done) {
      fprintf(stderr, "copyPackageFile failed: %d\n", static_cast<int>(result));
      return 1;
    }
    MSG msg;
    while (w32::takePosted(setupState.progressDialog, &msg)) {
    }
    bestCopy = std::min(bestCopy, seconds(t1 - t0));

    unlink((dst + "/cp.z").c_str());
    auto t2 = std::chrono::steady_clock::now();
    if (system(cpCommand.c_str()) != 0) return 1;
    auto t3 = std::chrono::steady_clock::now();
    bestCp = std::min(bestCp, seconds(t3 - t2));

    unlink((dst + "/loop.z").c_str());
    auto t4 = std::chrono::steady_clock::now();
    if (!plainLoop(src + "/nsystem.z", dst + "/loop.z")) return 1;
    auto t5 = std::chrono::steady_clock::now();
    bestLoop = std::min(bestLoop, seconds(t5 - t4));
  }
  double mb = static_cast<double>(size) / 1e6;
  printf("plain copy of %zu MiB, best of %d runs\n", mib, runs);
  printf("  copyPackageFile: %.1f MB/s\n", mb / bestCopy);
  printf("  cp:              %.1f MB/s\n", mb / bestCp);
  printf("  read/write loop, 32000-byte chunks, no Win32 layer: %.1f MB/s\n", mb / bestLoop);
  printf("  ratio copyPackageFile / cp: %.2f (target >= 0.90)\n", bestCp / bestCopy);
  printf("  ratio copyPackageFile / plain loop: %.2f\n", bestLoop / bestCopy);
  system(("rm -rf '" + prefix + "'").c_str());
  return 0;
}
