// dclDecode: header checks, results, the bit reader's lookahead, the window,
// and the order and sizes of the callbacks. Every stream is decoded under
// every split of its input and must give the same result and output.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "dcl_stream.h"

namespace {

using namespace std::string_literals;

std::string text(const Bytes &b) { return std::string(b.begin(), b.end()); }

struct Vector {
  const char *name;
  const char *hex;
  DclResult result;
  std::string output;
  std::vector<uint32_t> writes;  // none: the header is rejected, after a single read
};

// The crafted streams that pin the format: literal coding in both modes, the
// length-2 distance rule, the end-of-stream code at the edge of the input,
// the header checks, and ASCII literals 0x00, 0x80, 0xFF and line feed
// through each stage of the long codes (after 4, 6 and 8 bits, then 7 bits).
const Vector kVectors[] = {
    {"one binary literal", "00 06 82 02 FE 01", DclResult::Ok, "A", {1}},
    {"ascii literals", "01 06 62 54 51 C0 3F", DclResult::Ok, "ABC", {3}},
    {"copy length 6 distance 3", "00 04 C2 88 19 AB 4B C0 3F", DclResult::Ok, "abcabcabc", {9}},
    {"length 2 takes 2 low bits", "00 05 C2 88 ED 05 FC 03", DclResult::Ok, "abab", {4}},
    {"two literals", "00 06 82 08 05 FC 03", DclResult::Ok, "AB", {2}},
    {"two literals, last byte missing", "00 06 82 08 05 FC", DclResult::UnexpectedEnd, "AB", {2}},
    {"two literals, last two bytes missing", "00 06 82 08 05", DclResult::UnexpectedEnd, "A", {1}},
    {"end code and one more byte", "00 06 01 FF 00", DclResult::Ok, "", {0}},
    {"end code alone is too short", "00 06 01 FF", DclResult::InputTooShort, "", {}},
    {"empty input", "", DclResult::InputTooShort, "", {}},
    {"bad dictionary size", "00 03 01 FF 00", DclResult::BadDictionarySize, "", {}},
    {"dictionary size 7", "01 07 01 FF 00", DclResult::BadDictionarySize, "", {}},
    {"bad compression type", "02 06 01 FF 00", DclResult::BadCompressionType, "", {}},
    {"both header bytes bad: size wins", "02 03 01 FF 00", DclResult::BadDictionarySize, "", {}},
    {"truncated to the flag bit", "00 06 82 02", DclResult::InputTooShort, "", {}},
    {"literal then a cut copy", "00 06 82 02 00", DclResult::UnexpectedEnd, "A", {1}},
    {"ascii long codes", "01 06 20 09 48 00 00 C4 01 FF", DclResult::Ok, "\0\x80\xFF\n"s, {4}},
};

TEST(DclHeaderAndResults, CraftedStreams) {
  for (const Vector &v : kVectors) {
    SCOPED_TRACE(v.name);
    DecodeRun run = decodeAllSplits(hexBytes(v.hex));
    EXPECT_EQ(run.result, v.result);
    EXPECT_EQ(text(run.output), v.output);
    EXPECT_EQ(run.writeSizes, v.writes);
    if (v.writes.empty()) {
      EXPECT_EQ(decodeWith(hexBytes(v.hex), {Split::FiveThenOnes}).reads, 1);
    }
  }
}

// --- Bit reader and lookahead ------------------------------------------------

TEST(DclBitReader, ReadsOnlyWhenAByteIsNeeded) {
  // AB ends 34 bits into the stream: its end code needs the first byte after
  // the stream's own five, and nothing beyond it.
  Bytes input = hexBytes("00 06 82 08 05 FC 03 77 88 99");
  DecodeRun run = decodeWith(input, {Split::FiveThenOnes, 0, 0});
  EXPECT_EQ(run.result, DclResult::Ok);
  EXPECT_EQ(text(run.output), "AB");
  EXPECT_EQ(run.reads, 4);
  EXPECT_EQ(run.readsReturningZero, 0);
  EXPECT_EQ(run.delivered, 8u);
}

TEST(DclBitReader, EndCodeEndingOnTheLastBitIsOk) {
  // Eight binary literals (72 bits) and the end code (16 bits) fill 11 bytes
  // exactly: the end code's last consumption needs a byte the input lacks,
  // which it excuses.
  BitWriter w(0, 6);
  for (char c : std::string("abcdefgh")) w.literal(static_cast<unsigned char>(c));
  w.end();
  ASSERT_EQ(w.bitsWritten() % 8, 0u);
  Bytes input = w.finish();
  expectDecodes(input, w.expect);
  DecodeRun ones = decodeWith(input, {Split::FiveThenOnes, 0, 0});
  EXPECT_EQ(ones.readsReturningZero, 1);
  EXPECT_EQ(ones.reads, 1 + static_cast<int>(input.size()) - 5 + 1);
}

TEST(DclBitReader, LongestTokensAtEveryBitOffset) {
  // 30-bit tokens (length code 7 + extra 8 + distance code 8 + low bits 6)
  // after 0 to 7 literals and a 19-bit copy (the longest that one lookup
  // decodes), so they end at every bit offset and meet the input block ends
  // under every split.
  for (int lead = 0; lead < 8; ++lead) {
    SCOPED_TRACE(lead);
    BitWriter w(0, 6);
    for (int i = 0; i < 4000; ++i) w.literal(i & 0xFF);
    for (int round = 0; round < 40; ++round) {
      for (int i = 0; i < (lead + round) % 8; ++i) w.literal('a' + i);
      w.copy(6, 3500 + round);
      w.copy(264 + (round * 7) % 255, 3905 + round);
    }
    w.end();
    Bytes input = w.finish();
    expectDecodes(input, w.expect);
    for (uint32_t first = 5; first < 40; ++first) {
      EXPECT_EQ(decodeWith(input, {Split::Fixed, 0, first}).output, w.expect) << "reads of " << first;
    }
  }
}

// Up to 5000 bytes after the end code: enough that the whole-input run meets
// the end code inside the fast loop.
TEST(DclBitReader, TrailingBytesHaveNoEffect) {
  Bytes base = hexBytes("00 04 C2 88 19 AB 4B C0 3F");
  DecodeRun plain = decodeAllSplits(base);
  std::mt19937 rng(7);
  for (int n : {1, 5, 100, 5000}) {
    Bytes padded = base;
    for (int i = 0; i < n; ++i) padded.push_back(static_cast<unsigned char>(rng()));
    DecodeRun run = decodeAllSplits(padded);
    EXPECT_EQ(run.result, plain.result);
    EXPECT_EQ(run.output, plain.output);
    EXPECT_EQ(run.writeSizes, plain.writeSizes);
  }
}

TEST(DclBitReader, EveryTruncationAgreesAcrossSplits) {
  // A mixed stream cut at every length: the result and output must not
  // depend on how the input was split, and output only shrinks.
  BitWriter w(1, 5);
  std::mt19937 rng(3);
  for (int i = 0; i < 300; ++i) {
    if (i > 10 && rng() % 3 == 0) w.copy(2 + rng() % 40, 1 + rng() % 10);
    else w.literal(rng() % 256);
  }
  w.end();
  Bytes full = w.finish();
  size_t lastSize = 0;
  for (size_t len = 5; len <= full.size(); ++len) {
    Bytes cut(full.begin(), full.begin() + static_cast<long>(len));
    DecodeRun run = decodeAllSplits(cut);
    EXPECT_EQ(run.result, len == full.size() ? DclResult::Ok : DclResult::UnexpectedEnd) << len;
    EXPECT_GE(run.output.size(), lastSize) << len;
    lastSize = run.output.size();
  }
}

// --- Copies and the window -------------------------------------------------

// `total` bytes 'z': a literal, then copies at distance 1 (a last literal
// where one byte is left).
Bytes repeatStream(size_t total) {
  BitWriter w(0, 6);
  w.literal('z');
  while (w.expect.size() < total) {
    size_t len = std::min<size_t>(total - w.expect.size(), 518);
    if (len == 1) w.literal('z');
    else w.copy(static_cast<unsigned>(len), 1);
  }
  w.end();
  return w.finish();
}

TEST(DclWindow, BlockSizesOfWrites) {
  struct Case {
    size_t total;
    std::vector<uint32_t> writes;
  } cases[] = {
      {4095, {4095}}, {4096, {4096, 0}}, {4097, {4096, 1}}, {8192, {4096, 4096, 0}}, {8292, {4096, 4096, 100}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.total);
    EXPECT_EQ(expectDecodes(repeatStream(c.total), Bytes(c.total, 'z')).writeSizes, c.writes);
  }
  // Literals to either side of the block's end, after a copy or none, with
  // bytes after the end code: the end code meets the block end in every
  // place a round of tokens can put it.
  for (unsigned lead : {0u, 2u}) {
    for (size_t n = 4093; n <= 4099; ++n) {
      SCOPED_TRACE(testing::Message() << lead << " + " << n);
      BitWriter w(0, 6);
      if (lead) w.copy(lead, 1);
      for (size_t i = 0; i < n; ++i) w.literal(static_cast<unsigned char>(i * 7));
      w.end();
      for (int i = 0; i < 8; ++i) w.put(0, 8);
      const size_t total = lead + n;
      std::vector<uint32_t> writes(total / 4096, 4096);
      writes.push_back(static_cast<uint32_t>(total % 4096));
      EXPECT_EQ(expectDecodes(w.finish(), w.expect).writeSizes, writes);
    }
  }
}

TEST(DclWindow, LongestCopyFromTheLastWindowPosition) {
  // 4095 literals bring the output position to 8191; a copy of 518 at
  // distance 1 then runs to window position 8708.
  BitWriter w(0, 6);
  std::mt19937 rng(11);
  for (int i = 0; i < 4095; ++i) w.literal(rng() & 0xFF);
  w.copy(518, 1);
  w.end();
  EXPECT_EQ(expectDecodes(w.finish(), w.expect).writeSizes, (std::vector<uint32_t>{4096, 517}));
}

TEST(DclWindow, OverlappingCopiesRepeatPatterns) {
  // Periods up to 31, so the fast loop's wide moves meet every overlap; the
  // bytes after the end code keep the whole-input run in the fast loop.
  for (unsigned distance = 1; distance <= 31; ++distance) {
    SCOPED_TRACE(distance);
    BitWriter w(0, 4);
    for (unsigned i = 0; i < distance; ++i) w.literal('a' + i);
    for (unsigned length : {2u, 3u, 7u, 8u, 9u, 16u, 17u, 23u, 518u}) w.copy(length, distance);
    w.end();
    for (int i = 0; i < 8; ++i) w.put(0, 8);
    expectDecodes(w.finish(), w.expect);
  }
}

TEST(DclWindow, FarthestDistancesAcrossBlockMoves) {
  // After more than 8 KiB of varied output, copies reach exactly as far back
  // as each dictionary size allows, so history survives the block moves.
  for (int k = 4; k <= 6; ++k) {
    SCOPED_TRACE(k);
    BitWriter w(0, k);
    std::mt19937 rng(static_cast<unsigned>(k));
    unsigned maxDistance = 64u << k;
    for (int i = 0; i < 9000; ++i) {
      if (w.expect.size() > maxDistance && rng() % 4 == 0) {
        unsigned len = 3 + rng() % 60;
        w.copy(len, rng() % 2 ? maxDistance : 1 + rng() % maxDistance);
      } else {
        w.literal(rng() & 0xFF);
      }
    }
    w.end();
    expectDecodes(w.finish(), w.expect);
  }
}

TEST(DclWindow, DistanceBeforeTheFirstByteReadsZeros) {
  // Chosen behaviour: the history is cleared, so such a copy gives zeros
  // whatever the work area held.
  BitWriter w(0, 6);
  w.literal('q');
  w.copy(5, 4000);
  w.literal('r');
  w.end();
  expectDecodes(w.finish(), Bytes{'q', 0, 0, 0, 0, 0, 'r'});
}

// --- Callback order and block sizes ----------------------------------------

TEST(DclCallbacks, UnexpectedEndStillWritesWhatWasDecoded) {
  Bytes input = repeatStream(10000);
  input.resize(input.size() - 3);  // lose the end code
  DecodeRun run = decodeAllSplits(input);
  EXPECT_EQ(run.result, DclResult::UnexpectedEnd);
  EXPECT_EQ(run.readsReturningZero, 1);
  EXPECT_EQ(run.writeSizes.front(), 4096u);
  EXPECT_LT(run.writeSizes.back(), 4096u);
  EXPECT_EQ(run.output, Bytes(run.output.size(), 'z'));
}

// The first read claims far more than the buffer holds; later ones give
// nothing.
uint32_t oversizedRead(unsigned char *buffer, uint32_t *count, void *param) {
  if ((*static_cast<int *>(param))++ > 0) return 0;
  const Bytes s = hexBytes("00 06 82 02 FE 01");
  for (uint32_t i = 0; i < *count; ++i) buffer[i] = i < s.size() ? s[i] : 0;
  return 1u << 30;
}

uint32_t discardWrite(unsigned char *, uint32_t *, void *) { return 0; }

TEST(DclCallbacks, ReadClaimingMoreThanAskedStaysInsideTheBuffer) {
  int calls = 0;
  std::vector<unsigned char> work(DCL_WORK_AREA_SIZE);
  EXPECT_EQ(dclDecode(oversizedRead, discardWrite, work.data(), &calls), DclResult::Ok);
}

}  // namespace
