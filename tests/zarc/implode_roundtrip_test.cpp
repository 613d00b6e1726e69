// Round trips: every kind of input, through the encoder in each dictionary
// size and literal coding, back through dclDecode.
#include <gtest/gtest.h>

#include <algorithm>

#include "zarc_test_support.h"

namespace {

struct DataCase {
  const char *name;
  Bytes (*make)(size_t n);
};

const DataCase kData[] = {
    {"random", [](size_t n) { return randomBytes(n, 7); }},
    {"zeros", [](size_t n) { return Bytes(n, 0); }},
    {"period1_byteFF", [](size_t n) { return Bytes(n, 0xFF); }},
    {"period2", [](size_t n) { return periodicBytes(n, 2, 3); }},
    {"period3", [](size_t n) { return periodicBytes(n, 3, 4); }},
    {"period7", [](size_t n) { return periodicBytes(n, 7, 5); }},
    {"period4097", [](size_t n) { return periodicBytes(n, 4097, 6); }},
    {"text", [](size_t n) { return textBytes(n, 1); }},
    {"allByteValues", allByteValues},
    // Text with runs and random stretches: every kind of token in one stream.
    {"mixed",
     [](size_t n) {
       Bytes b;
       uint32_t seed = 11;
       while (b.size() < n) {
         Bytes part = (seed % 3 == 0) ? randomBytes(1 + seed % 700, seed)
                      : (seed % 3 == 1) ? Bytes(1 + seed % 900, static_cast<unsigned char>(seed))
                                        : textBytes(1 + seed % 3000, seed);
         b.insert(b.end(), part.begin(), part.end());
         seed = seed * 1103515245u + 12345u;
       }
       b.resize(n);
       return b;
     }},
};

const size_t kSizes[] = {0, 1, 2, 3, 4, 5, 17, 255, 256, 257, 518, 519, 4095, 4096, 4097, 8192, 65535, 65537};
const ImplodeMode kModes[] = {ImplodeMode::Binary, ImplodeMode::Ascii, ImplodeMode::Auto};

void expectRoundTrip(const Bytes &data, ImplodeMode mode, int dictBits) {
  SCOPED_TRACE(std::string(modeName(mode)) + ", dictionary " + std::to_string(dictBits) + ", " +
               std::to_string(data.size()) + " bytes");
  ImplodeStats stats;
  TokenLog log;
  Bytes stream = encode(mode, dictBits, data, &stats, &log);
  ASSERT_GE(stream.size(), 5u);
  EXPECT_EQ(stream[0], stats.modeUsed == ImplodeMode::Ascii ? 1 : 0);
  EXPECT_EQ(stream[1], dictBits);
  EXPECT_EQ(log.check(dictBits, data.size()), "");
  expectDecodesTo(stream, data);
}

class RoundTrip : public ::testing::TestWithParam<DataCase> {};

TEST_P(RoundTrip, EverySizeDictionaryAndCoding) {
  for (size_t size : kSizes) {
    Bytes data = GetParam().make(size);
    for (int dictBits = 4; dictBits <= 6; ++dictBits)
      for (ImplodeMode mode : kModes) expectRoundTrip(data, mode, dictBits);
  }
}

INSTANTIATE_TEST_SUITE_P(Data, RoundTrip, ::testing::ValuesIn(kData),
                         [](const ::testing::TestParamInfo<DataCase> &info) { return info.param.name; });

// Several MiB: many parse blocks and buffer slides, and position tags that
// wrap around many times.
TEST(RoundTripLarge, MixedDataOfSeveralMiB) {
  Bytes data = kData[9].make(3 << 20);
  expectRoundTrip(data, ImplodeMode::Auto, 6);
  Bytes small(data.begin(), data.begin() + (512 << 10));
  expectRoundTrip(small, ImplodeMode::Binary, 4);
  expectRoundTrip(small, ImplodeMode::Ascii, 5);
}

// The match finder's settings change the parse, never the decoded bytes:
// from the fewest candidates and shortest cut-offs to the most, and the
// shortest-path parse, which no setting beats.
TEST(RoundTripLarge, EveryEncoderSetting) {
  const struct {
    int chainDepth, niceLength, skipLength;
    bool best;
  } settings[] = {{1, 4, 7, false}, {2, 9, 7, false}, {4, 32, 1000, false}, {300, 518, 1000, false},
                  {300, 518, 20, false}, {32, 64, 12, true}};
  Bytes data = kData[9].make(300000);
  uint64_t fewestBits[7] = {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX};
  for (const auto &set : settings) {
    SCOPED_TRACE("chain depth " + std::to_string(set.chainDepth) + ", nice length " +
                 std::to_string(set.niceLength) + ", skip length " + std::to_string(set.skipLength) +
                 (set.best ? ", best" : ""));
    for (int dictBits : {4, 6}) {
      ImplodeOptions options;
      options.chainDepth = set.chainDepth;
      options.niceLength = set.niceLength;
      options.skipLength = set.skipLength;
      options.best = set.best;
      ImplodeStats stats;
      Bytes stream = implodeBuffer(ImplodeMode::Auto, dictBits, data.data(), data.size(), &stats, options);
      EXPECT_EQ(stream.size(), (stats.streamBits + 7) / 8);
      expectDecodesTo(stream, data);
      if (set.best) {
        EXPECT_LE(stats.streamBits, fewestBits[dictBits]);
      } else {
        fewestBits[dictBits] = std::min(fewestBits[dictBits], stats.streamBits);
      }
    }
  }
}

}  // namespace
