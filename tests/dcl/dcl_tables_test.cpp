// The three fixed codes: values derived from the code lengths agree with the
// published values, and every literal, length and distance code decodes to
// its symbol both in the fast loop (whole input) and through the careful,
// staged path (one byte per read).
#include <gtest/gtest.h>

#include <random>

#include "dcl_codes.h"
#include "dcl_stream.h"

using namespace dclcodes;

namespace {

// The crafted streams below take their codes from the same tables as the
// decoder, so only these published values catch a wrong code in them.
TEST(DclCodeTables, PublishedValues) {
  const Bytes distance = hexBytes(
      "03 0D 05 19 09 11 01 3E 1E 2E 0E 36 16 26 06 3A 1A 2A 0A 32 12 22 42 02 7C 3C 5C 1C 6C 2C 4C 0C "
      "74 34 54 14 64 24 44 04 78 38 58 18 68 28 48 08 F0 70 B0 30 D0 50 90 10 E0 60 A0 20 C0 40 80 00");
  const Bytes length = hexBytes("05 03 01 06 0A 02 0C 14 04 18 08 30 10 20 40 00");
  ASSERT_EQ(distance.size(), 64u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(distanceCodes.value[i], distance[i]) << "distance " << i;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(lengthCodes.value[i], length[i]) << "length " << i;
  struct {
    unsigned byte, bits, value;
  } checks[] = {{0x20, 4, 0x000F}, {0x65, 5, 0x001B}, {0x41, 6, 0x0031}, {0x0A, 7, 0x0062},
                {0x09, 8, 0x00B8}, {0x00, 11, 0x0490}, {0x80, 13, 0x0240}, {0xFF, 13, 0x0000}};
  for (auto c : checks) {
    EXPECT_EQ(literalCodeBits[c.byte], c.bits) << c.byte;
    EXPECT_EQ(literalCodes.value[c.byte], c.value) << c.byte;
  }
  int counts[14] = {};
  for (int s = 0; s < 256; ++s) counts[literalCodeBits[s]]++;
  const int published[14] = {0, 0, 0, 0, 1, 11, 20, 21, 16, 7, 5, 10, 91, 74};
  for (int len = 0; len < 14; ++len) EXPECT_EQ(counts[len], published[len]) << len << " bits";
}

// A code set is complete and prefix-free exactly when the Kraft sum is 1 and
// no code is a prefix of another; check both, since the decoder relies on
// every bit pattern starting exactly one code.
template <int N>
void expectCompletePrefixCode(const uint8_t (&bits)[N], const CodeValues<N> &codes) {
  double kraft = 0;
  for (int i = 0; i < N; ++i) kraft += 1.0 / (1u << bits[i]);
  EXPECT_DOUBLE_EQ(kraft, 1.0);
  for (int i = 0; i < N; ++i)
    for (int j = 0; j < N; ++j) {
      if (i == j || bits[i] > bits[j]) continue;
      unsigned mask = (1u << bits[i]) - 1;
      EXPECT_NE(codes.value[j] & mask, codes.value[i]) << i << " is a prefix of " << j;
    }
}

TEST(DclCodeTables, CodesAreCompleteAndPrefixFree) {
  expectCompletePrefixCode(lengthCodeBits, lengthCodes);
  expectCompletePrefixCode(distanceCodeBits, distanceCodes);
  expectCompletePrefixCode(literalCodeBits, literalCodes);
}

TEST(DclCodeTables, EveryLiteralDecodes) {
  // Each literal code between varied neighbours, in both modes, so every
  // code is met with different following bits.
  for (int type = 0; type <= 1; ++type) {
    std::mt19937 rng(static_cast<unsigned>(type) + 1);
    BitWriter w(type, 6);
    for (int round = 0; round < 4; ++round)
      for (int s = 0; s < 256; ++s) {
        w.literal(round % 2 ? 255 - s : s);
        w.literal(rng() % 256);
      }
    w.end();
    SCOPED_TRACE(type ? "ascii" : "binary");
    expectDecodes(w.finish(), w.expect);
  }
}

TEST(DclCodeTables, EveryLengthAndDistanceDecodes) {
  // Every copy length 2..518 and every distance high part, for each
  // dictionary size, with the low bits varied.
  for (int k = 4; k <= 6; ++k) {
    BitWriter w(0, k);
    std::mt19937 rng(static_cast<unsigned>(k) * 17);
    for (int i = 0; i < 4200; ++i) w.literal(rng() & 0xFF);
    auto copy = [&](unsigned length, unsigned h) {
      unsigned low = length == 2 ? 2 : static_cast<unsigned>(k);
      w.copy(length, (h << low) + rng() % (1u << low) + 1);
    };
    for (unsigned length = 2; length <= 518; ++length) copy(length, length % 64);
    for (unsigned h = 0; h < 64; ++h)
      for (unsigned length : {2u, 3u, 100u}) copy(length, h);
    w.end();
    SCOPED_TRACE(k);
    expectDecodes(w.finish(), w.expect);
  }
}

}  // namespace
