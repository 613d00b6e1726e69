// Encoder benchmark: implode at the default level and with --best (both
// --auto, dictionary 6) against zlib's deflate at level 9 with the same
// 4 KiB window and libdeflate at level 12 (raw DEFLATE, 32 KiB window), on
// the text, prose and binary corpora. Prints per corpus each stream's size,
// the implode sizes over zlib's and libdeflate's, and encode MB/s by the
// best wall clock and the best CPU time of several runs. Every implode
// stream is decoded again and compared before it counts.
//
//   implode_encode_bench [MiB per corpus, default 4] [runs, default 5]
#include <libdeflate.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>

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

// The size one encoder gives and its best times over the runs.
struct Timed {
  size_t size = 0;
  double wall = 1e30, cpu = 1e30;
};

Timed timeRuns(int runs, const std::function<size_t()> &encode) {
  Timed t;
  for (int r = 0; r < runs; ++r) {
    double w0 = seconds(), c0 = cpuSeconds();
    t.size = encode();
    t.wall = std::min(t.wall, seconds() - w0);
    t.cpu = std::min(t.cpu, cpuSeconds() - c0);
  }
  return t;
}

size_t zlibSize(const Bytes &in, int windowBits) {
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

size_t libdeflateSize(const Bytes &in) {
  libdeflate_compressor *c = libdeflate_alloc_compressor(12);
  if (!c) abort();
  Bytes out(libdeflate_deflate_compress_bound(c, in.size()));
  size_t n = libdeflate_deflate_compress(c, in.data(), in.size(), out.data(), out.size());
  libdeflate_free_compressor(c);
  return n;
}

bool roundTrips(const Bytes &stream, const Bytes &original) {
  Bytes out;
  return decodeBuffer(stream.data(), stream.size(), 2048, &out) == DclResult::Ok && out == original;
}

const char *modeName(ImplodeMode m) { return m == ImplodeMode::Ascii ? "ascii" : "binary"; }

// False when a stream does not decode to its input.
bool run(const char *name, const Bytes &corpus, int runs) {
  printf("%s corpus: %zu bytes (%s)\n", name, corpus.size(), corpusDescription().c_str());
  Bytes stream[2];
  ImplodeStats stats[2];
  Timed implode[2];
  for (int best = 0; best < 2; ++best) {
    ImplodeOptions options;
    options.best = best;
    implode[best] = timeRuns(runs, [&] {
      stream[best] = implodeBuffer(ImplodeMode::Auto, 6, corpus.data(), corpus.size(), &stats[best], options);
      return stream[best].size();
    });
    if (!roundTrips(stream[best], corpus)) {
      printf("  the implode%s stream does not decode to the input\n", best ? " --best" : "");
      return false;
    }
  }
  Timed zlib = timeRuns(runs, [&] { return zlibSize(corpus, 12); });
  Timed deflate = timeRuns(runs, [&] { return libdeflateSize(corpus); });
  const double mb = corpus.size() / 1e6;
  printf("  %-30s %9s %9s %9s %14s\n", "", "bytes", "/ zlib-12", "/ ldf-12", "MB/s wall (CPU)");
  auto line = [&](const char *what, const Timed &t) {
    printf("  %-30s %9zu %9.4f %9.4f %7.1f (%5.1f)\n", what, t.size, static_cast<double>(t.size) / zlib.size,
           static_cast<double>(t.size) / deflate.size, mb / t.wall, mb / t.cpu);
  };
  std::string coding[2];
  for (int best = 0; best < 2; ++best)
    coding[best] = std::string(best ? "implode --best" : "implode") + " (" + modeName(stats[best].modeUsed) + ")";
  line(coding[0].c_str(), implode[0]);
  line(coding[1].c_str(), implode[1]);
  line("zlib -9, 4 KiB window", zlib);
  line("libdeflate -12", deflate);
  printf("  --best / default: %.4f\n", static_cast<double>(implode[1].size) / implode[0].size);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 4;
  int runs = argc > 2 ? atoi(argv[2]) : 5;
  if (mib == 0 || runs <= 0) {
    fprintf(stderr, "usage: implode_encode_bench [MiB per corpus] [runs]\n");
    return 64;
  }
  printf("best of %d runs; sizes over zlib level 9 with windowBits 12 and over libdeflate level 12\n", runs);
  bool ok = run("text", buildTextCorpus(mib << 20), runs) && run("prose", buildProseCorpus(mib << 20), runs) &&
            run("binary", buildBinaryCorpus(mib << 20), runs);
  printf("target: implode --best at least 5 MB/s on every corpus\n");
  return ok ? 0 : 1;
}
