// Decoder throughput against zlib's uncompress and libdeflate, same data,
// same run.
//
// Each corpus (text and binary, 8 MiB each, and English prose of 2 to 4 MiB,
// built from files on this machine; corpus.h says which) is compressed by
// each format's encoder: our implode encoder (auto literal coding,
// dictionary 6), zlib at level 9 with its default 32 KiB window, and
// libdeflate at level 12 (raw DEFLATE). Then each decoder runs on its own
// stream, memory to memory, in turns within each round, and the best of
// the rounds counts. Figures are output bytes per second (MB = 10^6 bytes).
//
//   dcl_decode_bench                      the three decoders on every corpus
//   dcl_decode_bench --once CORPUS        dclDecode alone, once, on text,
//                                         prose or binary: for counting its
//                                         instructions, as in
//   valgrind --tool=callgrind --toggle-collect='dclDecode*' dcl_decode_bench --once text
#include <libdeflate.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "corpus.h"
#include "dcl_decode.h"
#include "implode.h"

namespace {

constexpr size_t kCorpusBytes = 8u << 20;
constexpr size_t kProseBytes = 4u << 20, kProseAtLeast = 2u << 20;
constexpr int kRuns = 100;  // rounds; the best of each decoder counts

struct MemoryStreams {
  const unsigned char *in;
  size_t inSize, inPos;
  unsigned char *out;
  size_t outPos;
};

uint32_t readMemory(unsigned char *buffer, uint32_t *count, void *param) {
  MemoryStreams *m = static_cast<MemoryStreams *>(param);
  size_t n = std::min<size_t>(*count, m->inSize - m->inPos);
  memcpy(buffer, m->in + m->inPos, n);
  m->inPos += n;
  return static_cast<uint32_t>(n);
}

uint32_t writeMemory(unsigned char *buffer, uint32_t *count, void *param) {
  MemoryStreams *m = static_cast<MemoryStreams *>(param);
  memcpy(m->out + m->outPos, buffer, *count);
  m->outPos += *count;
  return *count;
}

double threadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// The best wall-clock and the best CPU time of one decoder over the rounds.
// On a machine shared with other work the CPU time of the thread shows what
// the code costs better than the wall clock, which also counts the time the
// thread waited for a core; both are printed.
struct Best {
  double wall = 1e30, cpu = 1e30;
  template <typename F>
  void time(F run) {
    double c0 = threadCpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    run();
    wall = std::min(wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    cpu = std::min(cpu, threadCpuSeconds() - c0);
  }
};

Bytes zlibLevel9(const Bytes &raw) {
  uLongf size = compressBound(raw.size());
  Bytes out(size);
  if (compress2(out.data(), &size, raw.data(), raw.size(), 9) != Z_OK) return {};
  out.resize(size);
  return out;
}

Bytes libdeflateLevel12(const Bytes &raw) {
  libdeflate_compressor *c = libdeflate_alloc_compressor(12);
  if (!c) return {};
  Bytes out(libdeflate_deflate_compress_bound(c, raw.size()));
  out.resize(libdeflate_deflate_compress(c, raw.data(), raw.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

bool benchCorpus(const char *name, const Bytes &raw) {
  Bytes imploded = implodeBuffer(ImplodeMode::Auto, 6, raw.data(), raw.size());
  Bytes zlibbed = zlibLevel9(raw);
  Bytes deflated = libdeflateLevel12(raw);
  if (zlibbed.empty() || deflated.empty()) return false;
  Bytes out(raw.size() + 4096);
  std::vector<unsigned char> work(DCL_WORK_AREA_SIZE);
  libdeflate_decompressor *inflater = libdeflate_alloc_decompressor();
  if (!inflater) return false;

  // The decoders take turns within each round, so a change in the machine's
  // load touches all of them alike; the best round of each counts. Every
  // round checks every decoder's output, outside the timed part.
  Best dcl, zlib, libdeflate;
  const char *failed = nullptr;
  size_t got = 0;
  auto wrong = [&] {
    bool bad = got != raw.size() || memcmp(out.data(), raw.data(), got) != 0;
    memset(out.data(), 0, out.size());
    return bad;
  };
  for (int round = 0; round < kRuns && !failed; ++round) {
    dcl.time([&] {
      MemoryStreams m{imploded.data(), imploded.size(), 0, out.data(), 0};
      got = dclDecode(readMemory, writeMemory, work.data(), &m) == DclResult::Ok ? m.outPos : 0;
    });
    if (wrong()) failed = "dclDecode";
    zlib.time([&] {
      uLongf outSize = out.size();
      got = uncompress(out.data(), &outSize, zlibbed.data(), zlibbed.size()) == Z_OK ? outSize : 0;
    });
    if (wrong()) failed = "uncompress";
    libdeflate.time([&] {
      size_t outSize = 0;
      got = libdeflate_deflate_decompress(inflater, deflated.data(), deflated.size(), out.data(), out.size(),
                                          &outSize) == LIBDEFLATE_SUCCESS ? outSize : 0;
    });
    if (wrong()) failed = "libdeflate";
  }
  libdeflate_free_decompressor(inflater);
  if (failed) {
    printf("%s: %s output differs from the input\n", name, failed);
    return false;
  }
  auto rate = [&](double t) { return raw.size() / t / 1e6; };
  printf("%-7s %zu bytes; MB/s by best wall clock (best CPU time)\n", name, raw.size());
  printf("  implode --auto --dict 6  %9zu bytes  dclDecode  %7.1f (%7.1f)\n", imploded.size(), rate(dcl.wall),
         rate(dcl.cpu));
  printf("  zlib -9                  %9zu bytes  uncompress %7.1f (%7.1f)\n", zlibbed.size(), rate(zlib.wall),
         rate(zlib.cpu));
  printf("  libdeflate -12 (raw)     %9zu bytes  libdeflate %7.1f (%7.1f)\n", deflated.size(),
         rate(libdeflate.wall), rate(libdeflate.cpu));
  printf("  dclDecode / libdeflate = %.2f (%.2f), dclDecode / uncompress = %.2f (%.2f)\n",
         libdeflate.wall / dcl.wall, libdeflate.cpu / dcl.cpu, zlib.wall / dcl.wall, zlib.cpu / dcl.cpu);
  return true;
}

// Decodes the corpus's stream once; the instructions per decoded byte are
// callgrind's count over the corpus's size, which it prints.
int decodeOnce(const std::string &name) {
  Bytes raw = name == "text" ? buildTextCorpus(kCorpusBytes)
              : name == "prose" ? buildProseCorpus(kProseBytes)
              : name == "binary" ? buildBinaryCorpus(kCorpusBytes)
                                 : Bytes();
  if (raw.empty()) {
    fprintf(stderr, "dcl_decode_bench: --once needs text, prose or binary\n");
    return 2;
  }
  Bytes imploded = implodeBuffer(ImplodeMode::Auto, 6, raw.data(), raw.size());
  Bytes out(raw.size() + 4096);
  std::vector<unsigned char> work(DCL_WORK_AREA_SIZE);
  MemoryStreams m{imploded.data(), imploded.size(), 0, out.data(), 0};
  bool ok = dclDecode(readMemory, writeMemory, work.data(), &m) == DclResult::Ok && m.outPos == raw.size() &&
            memcmp(out.data(), raw.data(), raw.size()) == 0;
  printf("%s: %zu bytes decoded from %zu%s\n", name.c_str(), raw.size(), imploded.size(), ok ? "" : ", WRONGLY");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[1]) == "--once") return decodeOnce(argv[2]);
  if (argc != 1) {
    fprintf(stderr, "usage: dcl_decode_bench [--once text|prose|binary]\n");
    return 2;
  }
  Bytes text = buildTextCorpus(kCorpusBytes);
  printf("%s\n", corpusDescription().c_str());
  Bytes prose = buildProseCorpus(kProseBytes);
  printf("%s\n", corpusDescription().c_str());
  Bytes binary = buildBinaryCorpus(kCorpusBytes);
  printf("%s\n", corpusDescription().c_str());
  if (text.size() < kCorpusBytes || binary.size() < kCorpusBytes || prose.size() < kProseAtLeast) {
    printf("not enough files on this machine for the corpora (8 MiB of text and of binary, 2 MiB of prose)\n");
    return 1;
  }
  bool ok = benchCorpus("text", text) && benchCorpus("prose", prose) && benchCorpus("binary", binary);
  printf("targets: dclDecode / libdeflate >= 1.00, dclDecode / uncompress >= 2.00, on every corpus\n");
  return ok ? 0 : 1;
}
