#include "dcl_stream.h"

#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <sstream>

#include "dcl_codes.h"

namespace {

struct Feeder {
  const Bytes *input;
  size_t pos = 0;
  Split split;
  std::mt19937 rng;
  DecodeRun *run;
};

uint32_t readCb(unsigned char *buffer, uint32_t *count, void *param) {
  Feeder *f = static_cast<Feeder *>(param);
  f->run->reads++;
  f->run->countsOnEntry.push_back(*count);
  size_t left = f->input->size() - f->pos;
  size_t n = left;
  switch (f->split.kind) {
    case Split::Whole: break;
    case Split::FiveThenOnes: n = f->pos == 0 ? 5 : 1; break;
    case Split::Random: n = f->pos == 0 ? 5 + f->rng() % 40 : 1 + f->rng() % 300; break;
    case Split::Fixed: n = f->split.size; break;
  }
  if (n > *count) n = *count;
  if (n > left) n = left;
  if (n) memcpy(buffer, f->input->data() + f->pos, n);
  f->pos += n;
  f->run->delivered = f->pos;
  // Scribble over the count: the decoder must not read it back.
  *count = 0xDEADBEEF;
  if (n == 0) f->run->readsReturningZero++;
  return static_cast<uint32_t>(n);
}

uint32_t writeCb(unsigned char *buffer, uint32_t *count, void *param) {
  Feeder *f = static_cast<Feeder *>(param);
  f->run->writeSizes.push_back(*count);
  f->run->output.insert(f->run->output.end(), buffer, buffer + *count);
  *count = 0x12345678;
  return 0;
}

}  // namespace

DecodeRun decodeWith(const Bytes &input, Split split) {
  DecodeRun run;
  Feeder f{&input, 0, split, std::mt19937(split.seed), &run};
  // Junk in the work area: the decoder must not depend on its earlier content.
  std::vector<unsigned char> work(DCL_WORK_AREA_SIZE + 1, 0xA5);
  // An odd address: the work area need not be aligned.
  run.result = dclDecode(readCb, writeCb, work.data() + 1, &f);
  return run;
}

DecodeRun decodeAllSplits(const Bytes &input) {
  std::vector<Split> splits = {{Split::Whole, 0, 0}, {Split::FiveThenOnes, 0, 0}};
  for (uint32_t seed = 1; seed <= 3; ++seed) splits.push_back({Split::Random, seed, 0});
  for (uint32_t size : {5u, 7u, 9u, 64u, 2047u}) splits.push_back({Split::Fixed, 0, size});
  DecodeRun whole = decodeWith(input);
  for (const Split &split : splits) {
    const char *const kinds[] = {"whole", "5 then 1-byte reads", "random split, seed ", "reads of "};
    SCOPED_TRACE(kinds[split.kind] + std::to_string(split.kind == Split::Random ? split.seed : split.size));
    DecodeRun run = decodeWith(input, split);
    EXPECT_EQ(run.result, whole.result);
    EXPECT_EQ(run.output, whole.output);
    EXPECT_EQ(run.writeSizes, whole.writeSizes);
    for (uint32_t c : run.countsOnEntry) EXPECT_EQ(c, 2048u);
  }
  return whole;
}

DecodeRun expectDecodes(const Bytes &input, const Bytes &expected) {
  DecodeRun run = decodeAllSplits(input);
  EXPECT_EQ(run.result, DclResult::Ok);
  EXPECT_EQ(run.output, expected);
  return run;
}

Bytes hexBytes(const char *hex) {
  Bytes out;
  std::istringstream in(hex);
  for (unsigned v; in >> std::hex >> v;) out.push_back(static_cast<unsigned char>(v));
  return out;
}

void BitWriter::put(uint32_t value, int n) {
  for (int i = 0; i < n; ++i) {
    acc |= ((value >> i) & 1u) << used;
    if (++used == 8) {
      bytes.push_back(static_cast<unsigned char>(acc));
      acc = 0;
      used = 0;
    }
  }
}

void BitWriter::literal(unsigned byte) {
  expect.push_back(static_cast<unsigned char>(byte));
  put(0, 1);
  if (bytes[0] == 0) put(byte, 8);
  else put(dclcodes::literalCodes.value[byte], dclcodes::literalCodeBits[byte]);
}

void BitWriter::copy(unsigned length, unsigned distance) {
  using namespace dclcodes;
  put(1, 1);
  int i = 15;
  while (lengthBase[i] + 2u > length) --i;
  put(lengthCodes.value[i], lengthCodeBits[i]);
  put(length - 2 - lengthBase[i], lengthExtraBits[i]);
  int low = length == 2 ? 2 : bytes[1];
  unsigned h = (distance - 1) >> low;
  put(distanceCodes.value[h], distanceCodeBits[h]);
  put((distance - 1) & ((1u << low) - 1), low);
  for (unsigned j = 0; j < length; ++j) {  // before the first byte: zeros
    size_t from = expect.size() - distance;
    expect.push_back(from < expect.size() ? expect[from] : 0);
  }
}

void BitWriter::end() {
  using namespace dclcodes;
  put(1, 1);
  put(lengthCodes.value[15], lengthCodeBits[15]);
  put(255, 8);
}

Bytes BitWriter::finish() {
  Bytes out = bytes;
  if (used) out.push_back(static_cast<unsigned char>(acc));
  return out;
}
