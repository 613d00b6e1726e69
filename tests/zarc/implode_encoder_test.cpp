// Faults particular to the encoder: reach and length limits, block and
// buffer boundaries, the choice of --auto, and the size accounting.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>

#include "dcl_codes.h"
#include "zarc_test_support.h"

namespace {

// Random data with bytes [at - distance, at - distance + length) repeated at
// `at`: the only copy worth taking in it.
Bytes plantRepeat(size_t size, size_t at, size_t distance, size_t length, uint32_t seed) {
  Bytes b = randomBytes(size, seed);
  memmove(b.data() + at, b.data() + at - distance, length);
  return b;
}

struct ReachCase {
  int dictBits;
  size_t length;    // of the planted repeat
  size_t distance;  // how far back it lies
  bool reachable;   // a copy at that distance is allowed
  size_t at;        // where the repeat is planted
};

// The farthest each copy may reach: 256 for length 2, 1024/2048/4096 for
// longer copies, and one byte too far. (Repeats of 4 bytes or more at the
// far limits: the encoder keeps one candidate per hash for length 3, which
// another 3-byte string may have taken over within 4096 bytes.) Some repeats sit where the position
// tags of the match finder wrap (multiples of 65536) or where a parse block
// begins.
const ReachCase kReach[] = {
    {6, 2, 256, true, 1000},      {6, 2, 257, false, 1000},    {4, 2, 256, true, 70000},
    {4, 4, 1024, true, 3000},     {4, 8, 1025, false, 3000},   {5, 4, 2048, true, 5000},
    {5, 8, 2049, false, 5000},    {6, 4, 4096, true, 9000},    {6, 8, 4097, false, 9000},
    {6, 3, 1000, true, 9000},
    {6, 40, 4096, true, 65536},   {6, 40, 4096, true, 131072 + 5}, {5, 12, 2048, true, 65536 * 3 + 7},
};

TEST(ImplodeEncoder, CopiesReachExactlyAsFarAsAllowed) {
  for (const ReachCase &c : kReach) {
    SCOPED_TRACE("dictionary " + std::to_string(c.dictBits) + ", length " + std::to_string(c.length) +
                 ", distance " + std::to_string(c.distance) + ", at " + std::to_string(c.at));
    Bytes data = plantRepeat(c.at + 3000, c.at, c.distance, c.length, static_cast<uint32_t>(c.at + c.distance));
    TokenLog log;
    Bytes stream = encode(ImplodeMode::Binary, c.dictBits, data, nullptr, &log);
    EXPECT_EQ(log.check(c.dictBits, data.size()), "");
    EXPECT_EQ(log.hasCopy(static_cast<unsigned>(c.length), static_cast<unsigned>(c.distance)), c.reachable);
    expectDecodesTo(stream, data);
  }
}

// Runs around multiples of the longest copy: 519 is the end-of-stream code
// and must never be written as a copy.
TEST(ImplodeEncoder, RunsUseCopiesOfAtMost518) {
  for (size_t run : {519u, 520u, 521u, 1036u, 1037u, 1038u, 5000u}) {
    SCOPED_TRACE("run of " + std::to_string(run));
    Bytes data(run, 'x');
    for (int dictBits : {4, 6}) {
      TokenLog log;
      Bytes stream = encode(ImplodeMode::Ascii, dictBits, data, nullptr, &log);
      EXPECT_EQ(log.check(dictBits, data.size()), "");
      EXPECT_TRUE(log.hasCopy(518, 1));
      expectDecodesTo(stream, data);
    }
  }
}

// A repeat of 3000 bytes that starts 1000 bytes before the end of the first
// parse block: the copies on both sides of the boundary reach back into the
// first block, so the repeat costs next to nothing.
TEST(ImplodeEncoder, MatchesContinueAcrossTheBlockBoundary) {
  const size_t prefix = kImplodeBlockSize - 1000;
  Bytes data = randomBytes(prefix, 21);
  data.insert(data.end(), data.end() - 3000, data.end());
  ImplodeStats stats, plain;
  TokenLog log;
  Bytes stream = encode(ImplodeMode::Binary, 6, data, &stats, &log);
  encode(ImplodeMode::Binary, 6, Bytes(data.begin(), data.begin() + prefix), &plain);
  EXPECT_EQ(log.check(6, data.size()), "");
  EXPECT_LT(stats.streamBits - plain.streamBits, 12u * 30);  // a dozen copies at most
  bool copyAtBoundary = false;
  for (const Token &t : log.tokens)
    if (t.position == kImplodeBlockSize && t.length > 1 && t.distance == 3000) copyAtBoundary = true;
  EXPECT_TRUE(copyAtBoundary);
  expectDecodesTo(stream, data);
}

// A 3000-byte unit repeated with a changed byte now and then, across many
// blocks and slides of the input buffer: everything after the first unit is
// copies, at the distances the format allows.
TEST(ImplodeEncoder, RepeatsSurviveBufferSlides) {
  Bytes unit = randomBytes(3000, 5);
  Bytes data;
  for (int i = 0; i < 300; ++i) {
    data.insert(data.end(), unit.begin(), unit.end());
    data[data.size() - 1 - (i * 37) % 3000] ^= 0x5A;
  }
  for (int dictBits : {5, 6}) {
    ImplodeStats stats;
    TokenLog log;
    Bytes stream = encode(ImplodeMode::Binary, dictBits, data, &stats, &log);
    EXPECT_EQ(log.check(dictBits, data.size()), "");
    if (dictBits == 6) {
      EXPECT_LT(stream.size(), 3000 * 9 / 8 + data.size() / 60);
    }
    expectDecodesTo(stream, data);
  }
}

// Input: a text block then random bytes, or the other way round; the first
// block's guess is wrong for one of them, and --auto encodes again.
struct AutoCase {
  const char *name;
  Bytes data;
};

std::vector<AutoCase> autoCases() {
  Bytes text = textBytes(300000, 3), noise = randomBytes(300000, 4);
  Bytes textThenNoise(text.begin(), text.begin() + 70000);
  textThenNoise.insert(textThenNoise.end(), noise.begin(), noise.end());
  Bytes noiseThenText(noise.begin(), noise.begin() + 70000);
  noiseThenText.insert(noiseThenText.end(), text.begin(), text.end());
  return {{"text", text}, {"random", noise}, {"text then random", textThenNoise},
          {"random then text", noiseThenText}, {"empty", {}}};
}

TEST(ImplodeEncoder, AutoPicksTheSmallerStream) {
  int secondPasses = 0;
  for (const AutoCase &c : autoCases()) {
    SCOPED_TRACE(c.name);
    ImplodeStats a, b, t;
    Bytes autoStream = encode(ImplodeMode::Auto, 6, c.data, &a);
    Bytes binary = encode(ImplodeMode::Binary, 6, c.data, &b);
    Bytes ascii = encode(ImplodeMode::Ascii, 6, c.data, &t);
    const Bytes &smaller = ascii.size() < binary.size() ? ascii : binary;
    EXPECT_TRUE(autoStream == smaller);
    EXPECT_EQ(a.modeUsed, ascii.size() < binary.size() ? ImplodeMode::Ascii : ImplodeMode::Binary);
    // What auto measured of both codings is what each gives on its own.
    EXPECT_EQ(a.binaryBits, b.streamBits);
    EXPECT_EQ(a.asciiBits, t.streamBits);
    EXPECT_FALSE(a.autoNotSettled);
    secondPasses += a.inputPasses == 2;
  }
  EXPECT_GE(secondPasses, 1);  // "text then random": ASCII guessed, binary won
}

// A source that cannot start again, giving 1000 bytes a read: the stream is
// the one from memory, and --auto keeps a wrong guess, and says so.
class OneWaySource : public ByteSource {
 public:
  explicit OneWaySource(const Bytes &b) : inner_(b.data(), b.size()) {}
  size_t read(unsigned char *buffer, size_t n) override { return inner_.read(buffer, n < 1000 ? n : 1000); }

 private:
  MemorySource inner_;
};

TEST(ImplodeEncoder, SourceThatCannotStartAgain) {
  const Bytes data = autoCases()[2].data;
  for (ImplodeMode mode : {ImplodeMode::Binary, ImplodeMode::Auto}) {
    SCOPED_TRACE(modeName(mode));
    OneWaySource source(data);
    Bytes stream;
    VectorSink sink(stream);
    ImplodeStats stats;
    ASSERT_TRUE(implodeStream(mode, 5, source, sink, &stats));
    EXPECT_EQ(stats.autoNotSettled, mode == ImplodeMode::Auto);
    EXPECT_EQ(stats.inputPasses, 1);
    EXPECT_TRUE(stream == encode(mode == ImplodeMode::Auto ? ImplodeMode::Ascii : mode, 5, data));
    expectDecodesTo(stream, data);
  }
}

// The stats' bit count is the stream: header, tokens and end code, padded
// with zero bits to a whole byte. (A stream whose end code ends on its last
// bit is the decoder's case: dcl_tests, EndCodeEndingOnTheLastBitIsOk.)
TEST(ImplodeEncoder, StreamBitsMatchTheStream) {
  for (size_t n = 1; n < 60; ++n) {
    Bytes data = textBytes(n, static_cast<uint32_t>(n));
    for (ImplodeMode mode : {ImplodeMode::Binary, ImplodeMode::Ascii}) {
      SCOPED_TRACE(std::to_string(n) + " bytes, " + modeName(mode));
      ImplodeStats stats;
      Bytes stream = encode(mode, 6, data, &stats);
      ASSERT_EQ(stream.size(), (stats.streamBits + 7) / 8);
      EXPECT_EQ(stats.outputBytes, stream.size());
      EXPECT_EQ(stats.inputBytes, n);
      const unsigned used = static_cast<unsigned>(stats.streamBits % 8);
      if (used) {
        EXPECT_EQ(stream.back() >> used, 0) << "padding bits must be zero";
      }
      // The last 16 bits before the padding are the end-of-stream code.
      uint32_t last = 0;
      for (uint64_t bit = stats.streamBits - 16; bit < stats.streamBits; ++bit)
        last |= ((stream[bit / 8] >> (bit % 8)) & 1u) << (bit - (stats.streamBits - 16));
      EXPECT_EQ(last, 0xFF01u);
    }
  }
}

TEST(ImplodeEncoder, EmptyInputGivesAFiveByteStream) {
  for (ImplodeMode mode : {ImplodeMode::Binary, ImplodeMode::Ascii, ImplodeMode::Auto}) {
    ImplodeStats stats;
    Bytes stream = encode(mode, 4, {}, &stats);
    const Bytes expected = {static_cast<unsigned char>(mode == ImplodeMode::Ascii), 4, 0x01, 0xFF, 0x00};
    EXPECT_TRUE(stream == expected) << modeName(mode);
    EXPECT_EQ(stats.streamBits, 32u);
    expectDecodesTo(stream, {});
  }
}

// The fewest token bits of any parse: a literal at every position, and a
// copy of every length at every distance the format allows, by dynamic
// programming over the positions. The costs come from the code lengths.
uint64_t fewestBits(const Bytes &data, bool ascii, int dictBits) {
  using namespace dclcodes;
  auto lengthBits = [](size_t len) {
    int i = 0;
    while (len >= lengthBase[i] + 2u + (1u << lengthExtraBits[i])) ++i;
    return 1u + lengthCodeBits[i] + lengthExtraBits[i];
  };
  std::vector<uint64_t> fewest(data.size() + 1, UINT64_MAX / 2);
  fewest[0] = 0;
  for (size_t at = 0; at < data.size(); ++at) {
    const uint64_t here = fewest[at];
    fewest[at + 1] = std::min(fewest[at + 1], here + (ascii ? 1u + literalCodeBits[data[at]] : 9u));
    for (size_t d = 1; d <= at && d <= (64u << dictBits); ++d) {
      for (size_t len = 1; len <= 518 && at + len <= data.size() && data[at + len - 1] == data[at + len - 1 - d]; ++len) {
        const unsigned low = len == 2 ? 2 : dictBits;
        if (len == 1 || (len == 2 && d > 256)) continue;
        fewest[at + len] = std::min(fewest[at + len], here + lengthBits(len) + distanceCodeBits[(d - 1) >> low] + low);
      }
    }
  }
  return fewest.back();
}

// --best against every parse: small inputs of each kind, and one that
// crosses the point where the parse is first decided and written out.
TEST(ImplodeEncoder, BestIsTheShortestParse) {
  Bytes runs;
  for (uint32_t i = 0; runs.size() < 400; ++i) runs.insert(runs.end(), 1 + i * 7 % 40, "ab\n"[i % 3]);
  Bytes farRepeats = randomBytes(4500, 8);
  size_t at = 4100;
  for (size_t d : {256, 257, 1024, 1025, 2048, 2049, 4096}) {
    memmove(&farRepeats[at], &farRepeats[at - d], 2 + d % 7);
    at += 50;
  }
  Bytes acrossFirstDecision = randomBytes(70000, 9);
  for (size_t at = 65000; at < 66500; at += 300) memmove(&acrossFirstDecision[at], &acrossFirstDecision[at - 700], 150 + at % 400);
  const struct {
    const char *name;
    Bytes data;
  } inputs[] = {
      {"random", randomBytes(300, 1)},      {"text", textBytes(400, 2)},
      {"period 3", periodicBytes(300, 3, 3)}, {"runs", runs},
      {"all byte values", allByteValues(300)}, {"far repeats", farRepeats},
      {"across the first decision", acrossFirstDecision},
  };
  ImplodeOptions best;
  best.best = true;
  for (const auto &in : inputs) {
    for (int dictBits = 4; dictBits <= 6; ++dictBits) {
      uint64_t fewest[2];
      for (int ascii = 0; ascii < 2; ++ascii) {
        SCOPED_TRACE(std::string(in.name) + ", dictionary " + std::to_string(dictBits) + (ascii ? ", ascii" : ", binary"));
        fewest[ascii] = 32 + fewestBits(in.data, ascii, dictBits);
        ImplodeStats stats;
        Bytes stream = implodeBuffer(ascii ? ImplodeMode::Ascii : ImplodeMode::Binary, dictBits, in.data.data(),
                                     in.data.size(), &stats, best);
        EXPECT_EQ(stats.streamBits, fewest[ascii]);
        EXPECT_EQ(stream.size(), (fewest[ascii] + 7) / 8);
        expectDecodesTo(stream, in.data);
      }
      ImplodeStats stats;
      implodeBuffer(ImplodeMode::Auto, dictBits, in.data.data(), in.data.size(), &stats, best);
      EXPECT_EQ(stats.streamBits, std::min(fewest[0], fewest[1])) << in.name << ", auto";
    }
  }
}

class FailingSink : public ByteSink {
 public:
  bool write(const unsigned char *, size_t) override { return false; }
};

class FailingSource : public ByteSource {
 public:
  size_t read(unsigned char *buffer, size_t n) override {
    if (given_ >= 100000) return 0;
    memset(buffer, 'a', n);
    given_ += n;
    return n;
  }
  bool failed() const override { return given_ >= 100000; }

 private:
  size_t given_ = 0;
};

TEST(ImplodeEncoder, ReportsBadArgumentsAndIoErrors) {
  Bytes data = textBytes(1000, 1);
  for (int dictBits : {3, 7}) {
    MemorySource source(data.data(), data.size());
    Bytes out;
    VectorSink sink(out);
    EXPECT_FALSE(implodeStream(ImplodeMode::Binary, dictBits, source, sink));
  }
  MemorySource source(data.data(), data.size());
  FailingSink failingSink;
  EXPECT_FALSE(implodeStream(ImplodeMode::Ascii, 6, source, failingSink));
  FailingSource failingSource;
  Bytes out;
  VectorSink sink(out);
  EXPECT_FALSE(implodeStream(ImplodeMode::Binary, 6, failingSource, sink));
}

}  // namespace
