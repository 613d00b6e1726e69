// Extraction of a package archive holding one large member through
// extractPackageArchive (over the Linux Win32 layer: archive read in
// 2048-byte blocks, decoded bytes written in 4096-byte blocks) against the
// raw decoder on the same stream writing the same file. Targets: extraction
// throughput within 10% of the raw decoder's; peak memory under 4 MiB
// above the process baseline, the same for an 8 MiB and a 64 MiB member.
// The raw decoder memory to memory, its output dropped, is shown beside:
// no extraction can match it, since writing the file into the page cache
// costs about a tenth of the decoding time by itself.
//
// Peak memory is measured in a child process: it resets its high-water
// mark (/proc/self/clear_refs, 5), extracts, and reports VmHWM minus the
// resident size it started from.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "w32_test.h"

#include "archive_format.h"
#include "corpus.h"
#include "dcl_decode.h"
#include "implode.h"
#include "package_archive.h"
#include "progress_meter.h"
#include "setup_state.h"

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

long statusKiB(const char *field) {
  FILE *f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long value = -1;
  size_t n = strlen(field);
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, field, n) == 0 && line[n] == ':') value = strtol(line + n + 1, nullptr, 10);
  }
  fclose(f);
  return value;
}

struct MemoryStream {
  const Bytes *in;
  size_t pos;
  uint64_t out;
};

uint32_t memoryRead(unsigned char *buffer, uint32_t *count, void *param) {
  MemoryStream *m = static_cast<MemoryStream *>(param);
  size_t n = std::min<size_t>(*count, m->in->size() - m->pos);
  memcpy(buffer, m->in->data() + m->pos, n);
  m->pos += n;
  return static_cast<uint32_t>(n);
}

uint32_t memoryWrite(unsigned char *, uint32_t *count, void *param) {
  static_cast<MemoryStream *>(param)->out += *count;
  return *count;
}

void putLe32(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Makes c:\src\quorvel.z with one member of size bytes; returns the stream.
Bytes makeArchive(size_t size, const std::string &srcHost) {
  Bytes corpus = buildTextCorpus(std::min<size_t>(size, 8u << 20));
  Bytes data;
  data.reserve(size);
  while (data.size() < size) data.insert(data.end(), corpus.begin(), corpus.begin() + std::min(corpus.size(), size - data.size()));
  Bytes stream = implodeBuffer(ImplodeMode::Auto, 6, data.data(), data.size());
  Bytes header(4 + ARCHIVE_ENTRY_SIZE, 0);
  putLe32(header, 0, 1);
  ArchiveEntry e;
  memset(&e, 0, sizeof e);
  strcpy(e.memberName, "quorvel.exe");
  e.lastWriteTime = 0x01BF53EB256D4000ULL;
  e.dataOffset = static_cast<uint32_t>(header.size());
  e.dataEnd = static_cast<uint32_t>(header.size() + stream.size());
  formatArchiveEntry(&e, header.data() + 4);
  FILE *f = fopen((srcHost + "/quorvel.z").c_str(), "wb");
  if (!f || fwrite(header.data(), 1, header.size(), f) != header.size() ||
      fwrite(stream.data(), 1, stream.size(), f) != stream.size() || fclose(f)) {
    exit(1);
  }
  return stream;
}

// The raw decoder writing its output into a new file, the job extraction
// does without the archive, the installer and the Win32 layer: its 4096-byte
// blocks gathered into 256 KiB host writes, as few system calls as a plain
// decoder can make.
struct FileSink {
  int fd;
  size_t gathered;
  uint64_t out;
  bool ok;
  unsigned char block[256 * 1024];
};

uint32_t fileWrite(unsigned char *buffer, uint32_t *count, void *param) {
  FileSink *f = static_cast<FileSink *>(param);
  uint32_t n = *count;
  if (f->gathered + n > sizeof f->block) {
    f->ok = f->ok && write(f->fd, f->block, f->gathered) == static_cast<ssize_t>(f->gathered);
    f->gathered = 0;
  }
  memcpy(f->block + f->gathered, buffer, n);
  f->gathered += n;
  f->out += n;
  return n;
}

struct FileDecode {
  MemoryStream in;
  FileSink *sink;
};

uint32_t fileDecodeRead(unsigned char *buffer, uint32_t *count, void *param) {
  return memoryRead(buffer, count, &static_cast<FileDecode *>(param)->in);
}

uint32_t fileDecodeWrite(unsigned char *buffer, uint32_t *count, void *param) {
  return fileWrite(buffer, count, static_cast<FileDecode *>(param)->sink);
}

double rawToFile(const Bytes &stream, size_t size, const std::string &path, void *workArea) {
  static FileSink sink;
  unlink(path.c_str());
  auto t0 = std::chrono::steady_clock::now();
  sink.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  sink.gathered = 0;
  sink.out = 0;
  sink.ok = sink.fd >= 0;
  FileDecode d{{&stream, 0, 0}, &sink};
  DclResult result = dclDecode(fileDecodeRead, fileDecodeWrite, workArea, &d);
  if (sink.gathered) sink.ok = sink.ok && write(sink.fd, sink.block, sink.gathered) == static_cast<ssize_t>(sink.gathered);
  if (sink.fd >= 0) close(sink.fd);
  auto t1 = std::chrono::steady_clock::now();
  unlink(path.c_str());
  return result == DclResult::Ok && sink.ok && sink.out == size ? seconds(t1 - t0) : -1;
}

// Writing the decoded size into a new file in 64 KiB blocks, no decoding:
// the least any extraction to a file adds to the raw decoder's time.
double bareWrite(size_t size, const std::string &path) {
  static unsigned char block[65536];
  unlink(path.c_str());
  auto t0 = std::chrono::steady_clock::now();
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  setvbuf(f, nullptr, _IONBF, 0);
  for (size_t done = 0; done < size; done += sizeof block) fwrite(block, 1, sizeof block, f);
  fclose(f);
  auto t1 = std::chrono::steady_clock::now();
  unlink(path.c_str());
  return seconds(t1 - t0);
}

bool extractOnce(double *elapsed) {
  // A fresh installation writes new files: truncating last run's 64 MiB
  // output instead would make ext4 flush it to disk on close.
  unlink(w32::hostPath("c:\\dst\\quorvel.exe").c_str());
  setupProgress(1500000);
  auto t0 = std::chrono::steady_clock::now();
  TransferResult result = extractPackageArchive("quorvel.z", "c:\\src\\", "c:\\dst\\");
  auto t1 = std::chrono::steady_clock::now();
  MSG msg;
  while (w32::takePosted(setupState.progressDialog, &msg)) {
  }
  *elapsed = seconds(t1 - t0);
  return result == TransferResult::Done;
}

// Peak memory of one extraction above the child's starting resident size, in KiB.
long peakAboveBaseline() {
  fflush(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    long baseline = statusKiB("VmRSS");
    FILE *clear = fopen("/proc/self/clear_refs", "w");
    if (clear) {
      fputs("5", clear);
      fclose(clear);
    }
    double elapsed = 0;
    long delta = extractOnce(&elapsed) ? statusKiB("VmHWM") - baseline : -1;
    if (write(fds[1], &delta, sizeof delta) != sizeof delta) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  long delta = -1;
  if (read(fds[0], &delta, sizeof delta) != sizeof delta) delta = -1;
  close(fds[0]);
  waitpid(child, nullptr, 0);
  return delta;
}

}  // namespace

int main(int argc, char **argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 7;
  if (runs <= 0) {
    fprintf(stderr, "usage: install_extract_bench [runs]\n");
    return 64;
  }
  char pattern[] = "/tmp/qv_extract_bench_XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  std::string prefix = pattern;
  w32::resetForTest(prefix);
  std::string src = w32::hostPath("c:\\src");
  mkdir(src.c_str(), 0755);
  mkdir(w32::hostPath("c:\\dst").c_str(), 0755);
  setupState.progressDialog = w32::createTestWindow();

  std::vector<unsigned char> workArea(DCL_WORK_AREA_SIZE);
  for (size_t mib : {8, 64}) {
    size_t size = mib << 20;
    long peak;
    double mb = static_cast<double>(size) / 1e6;
    double bestRaw = 1e9, bestExtract = 1e9, bestWrite = 1e9, bestToFile = 1e9;
    size_t streamSize;
    // Raw decoding and extraction alternate, so a busy machine slows both alike.
    Bytes stream = makeArchive(size, src);
    streamSize = stream.size();
    for (int r = 0; r < runs; r++) {
      MemoryStream m{&stream, 0, 0};
      auto t0 = std::chrono::steady_clock::now();
      DclResult result = dclDecode(memoryRead, memoryWrite, workArea.data(), &m);
      auto t1 = std::chrono::steady_clock::now();
      if (result != DclResult::Ok || m.out != size) {
        fprintf(stderr, "raw decode failed\n");
        return 1;
      }
      bestRaw = std::min(bestRaw, seconds(t1 - t0));
      double elapsed = 0;
      if (!extractOnce(&elapsed)) {
        fprintf(stderr, "extraction failed\n");
        return 1;
      }
      bestExtract = std::min(bestExtract, elapsed);
      bestWrite = std::min(bestWrite, bareWrite(size, w32::hostPath("c:\\dst\\bare.out")));
      double toFile = rawToFile(stream, size, w32::hostPath("c:\\dst\\raw.out"), workArea.data());
      if (toFile < 0) {
        fprintf(stderr, "raw decode into a file failed\n");
        return 1;
      }
      bestToFile = std::min(bestToFile, toFile);
    }
    Bytes().swap(stream);
    peak = peakAboveBaseline();
    printf("member of %zu MiB (stream %zu bytes), best of %d runs\n", mib, streamSize, runs);
    printf("  raw decoder, memory to memory, output dropped: %.1f MB/s\n", mb / bestRaw);
    printf("  raw decoder into a new file, 256 KiB writes:   %.1f MB/s\n", mb / bestToFile);
    printf("  extractPackageArchive:                         %.1f MB/s\n", mb / bestExtract);
    printf("  ratio extraction / raw decoder into a file: %.2f (target >= 0.90)\n", bestToFile / bestExtract);
    printf("  ratio extraction / raw decoder, memory to memory: %.2f\n", bestRaw / bestExtract);
    printf("  bare write of %zu MiB in 64 KiB blocks: %.0f ms; memory-to-memory decoder + that write: %.1f MB/s\n",
           mib, bestWrite * 1000, mb / (bestRaw + bestWrite));
    printf("  peak memory above baseline: %ld KiB (target < 4096 KiB)\n", peak);
  }
  system(("rm -rf '" + prefix + "'").c_str());
  return 0;
}
