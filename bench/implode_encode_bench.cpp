// Encoder benchmark: implode (--auto, dictionary 6) against zlib's deflate at
// level 9 with the same 4 KiB window, on the text and the binary corpus.
// Prints sizes, the size ratio, encode MB/s and the gzip -9 size for
// reference. Every stream is decoded again and compared before it counts.
//
//   implode_encode_bench [MiB per corpus, default 4] [runs, default 5]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "corpus.h"
#include "dcl_decode.h"
#include "implode.h"

namespace {

double seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// CPU time of this process: on a machine shared with other work it shows
// what the code costs better than the wall clock.
double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

size_t deflateSize(const Bytes &in, int windowBits) {
  z_stream z;
  memset(&z, 0, sizeof z);
  if (deflateInit2(&z, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY) != Z_OK) abort();
  Bytes out(deflateBound(&z, in.size()));
  z.next_in = const_cast<unsigned char *>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) abort();
  size_t n = z.total_out;
  deflateEnd(&z);
  return n;
}

bool roundTrips(const Bytes &stream, const Bytes &original) {
  Bytes out;
  return decodeBuffer(stream.data(), stream.size(), 2048, &out) == DclResult::Ok && out == original;
}

const char *modeName(ImplodeMode m) { return m == ImplodeMode::Ascii ? "ascii" : "binary"; }

void run(const char *name, const Bytes &corpus, int runs) {
  printf("%s corpus: %zu bytes (%s)\n", name, corpus.size(), corpusDescription().c_str());
  double best = 1e30, bestCpu = 1e30;
  Bytes stream;
  ImplodeStats stats;
  for (int r = 0; r < runs; ++r) {
    double t0 = seconds(), c0 = cpuSeconds();
    stream = implodeBuffer(ImplodeMode::Auto, 6, corpus.data(), corpus.size(), &stats);
    best = std::min(best, seconds() - t0);
    bestCpu = std::min(bestCpu, cpuSeconds() - c0);
  }
  if (!roundTrips(stream, corpus)) {
    printf("  implode stream does not decode to the input\n");
    exit(1);
  }
  double zbest = 1e30, zbestCpu = 1e30;
  size_t z12 = 0;
  for (int r = 0; r < runs; ++r) {
    double t0 = seconds(), c0 = cpuSeconds();
    z12 = deflateSize(corpus, 12);
    zbest = std::min(zbest, seconds() - t0);
    zbestCpu = std::min(zbestCpu, cpuSeconds() - c0);
  }
  size_t gz = deflateSize(corpus, 15 + 16);
  double mb = corpus.size() / 1e6;
  printf("  implode --auto --dict 6: %zu bytes (%s coding, binary %llu / ascii %llu bytes, %d pass%s)\n",
         stream.size(), modeName(stats.modeUsed), (unsigned long long)(stats.binaryBits + 7) / 8,
         (unsigned long long)(stats.asciiBits + 7) / 8, stats.inputPasses, stats.inputPasses == 1 ? "" : "es");
  printf("  zlib level 9, windowBits 12: %zu bytes\n", z12);
  printf("  ratio implode / zlib-12: %.4f\n", static_cast<double>(stream.size()) / z12);
  printf("  encode, wall clock: implode %.1f MB/s, zlib-12 %.1f MB/s (best of %d)\n", mb / best, mb / zbest, runs);
  printf("  encode, CPU time:   implode %.1f MB/s, zlib-12 %.1f MB/s (best of %d)\n", mb / bestCpu, mb / zbestCpu,
         runs);
  printf("  gzip -9 (zlib level 9, windowBits 15, gzip wrapper): %zu bytes\n", gz);
}

}  // namespace

int main(int argc, char **argv) {
  size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 4;
  int runs = argc > 2 ? atoi(argv[2]) : 5;
  if (mib == 0 || runs <= 0) {
    fprintf(stderr, "usage: implode_encode_bench [MiB per corpus] [runs]\n");
    return 64;
  }
  run("text", buildTextCorpus(mib << 20), runs);
  run("binary", buildBinaryCorpus(mib << 20), runs);
  return 0;
}
