// Decoder throughput against zlib's uncompress, same data, same run.
//
// Each corpus (text and binary, 4 MiB each, built from files on this
// machine) is compressed by our implode encoder (auto literal coding,
// dictionary 6) and by zlib at level 9, both with zlib's default 32 KiB
// window and with the implode format's 4 KiB window (windowBits 12); then
// each decoder runs on its stream, memory to memory, in turns, and the best of
// several rounds counts. Figures are output bytes per second (MB = 10^6 bytes).
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>

#include "corpus.h"
#include "dcl_decode.h"
#include "implode.h"

namespace {

constexpr size_t kCorpusBytes = 4u << 20;
constexpr int kRuns = 15;

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

template <typename F>
double seconds(F run) {
  auto t0 = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

Bytes deflateLevel9(const Bytes &raw, int windowBits) {
  z_stream z{};
  Bytes out(compressBound(raw.size()) + 64);
  if (deflateInit2(&z, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  z.next_in = const_cast<unsigned char *>(raw.data());
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int r = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return r == Z_STREAM_END ? out : Bytes();
}

bool benchCorpus(const char *name, const Bytes &raw) {
  Bytes imploded = implodeBuffer(ImplodeMode::Auto, 6, raw.data(), raw.size());
  const int windowBits[2] = {15, 12};
  Bytes deflated[2] = {deflateLevel9(raw, windowBits[0]), deflateLevel9(raw, windowBits[1])};
  if (deflated[0].empty() || deflated[1].empty()) return false;
  Bytes out(raw.size() + 4096);
  std::vector<unsigned char> work(DCL_WORK_AREA_SIZE);

  // The decoders take turns within each round, so a change in the machine's
  // load touches all of them alike; the best round of each counts.
  double dclBest = 1e30, zlibBest[2] = {1e30, 1e30};
  for (int round = 0; round < kRuns; ++round) {
    bool ok = true;
    dclBest = std::min(dclBest, seconds([&] {
      MemoryStreams m{imploded.data(), imploded.size(), 0, out.data(), 0};
      DclResult r = dclDecode(readMemory, writeMemory, work.data(), &m);
      ok = r == DclResult::Ok && m.outPos == raw.size() && memcmp(out.data(), raw.data(), raw.size()) == 0;
    }));
    if (!ok) {
      printf("%s: dclDecode output differs from the input\n", name);
      return false;
    }
    for (int z = 0; z < 2; ++z) {
      zlibBest[z] = std::min(zlibBest[z], seconds([&] {
        uLongf outSize = out.size();
        int r = uncompress(out.data(), &outSize, deflated[z].data(), deflated[z].size());
        ok = r == Z_OK && outSize == raw.size();
      }));
      if (!ok) {
        printf("%s: uncompress failed\n", name);
        return false;
      }
    }
  }
  double dclRate = raw.size() / dclBest / 1e6;
  printf("%-7s %zu bytes | implode %zu bytes: dclDecode %.1f MB/s\n", name, raw.size(), imploded.size(), dclRate);
  for (int z = 0; z < 2; ++z) {
    double zlibRate = raw.size() / zlibBest[z] / 1e6;
    printf("        deflate -9, windowBits %d: %zu bytes: uncompress %.1f MB/s | dclDecode / uncompress = %.2f\n",
           windowBits[z], deflated[z].size(), zlibRate, dclRate / zlibRate);
  }
  return true;
}

}  // namespace

int main() {
  Bytes text = buildTextCorpus(kCorpusBytes);
  printf("%s\n", corpusDescription().c_str());
  Bytes binary = buildBinaryCorpus(kCorpusBytes);
  printf("%s\n", corpusDescription().c_str());
  if (text.size() < kCorpusBytes || binary.size() < kCorpusBytes) {
    printf("not enough files on this machine for 4 MiB corpora\n");
    return 1;
  }
  bool ok = benchCorpus("text", text) && benchCorpus("binary", binary);
  printf("target: ratio >= 1.50 on both corpora\n");
  return ok ? 0 : 1;
}
