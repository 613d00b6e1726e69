// Test driver for dclDecode: feeds an input through a read schedule and
// records every callback.
#ifndef QV_TESTS_DCL_STREAM_H
#define QV_TESTS_DCL_STREAM_H

#include <stdint.h>

#include <string>
#include <vector>

#include "dcl_decode.h"

using Bytes = std::vector<unsigned char>;

// How the input is cut into read results.
struct Split {
  enum Kind { Whole, FiveThenOnes, Random, Fixed } kind = Whole;
  uint32_t seed = 0;   // Random
  uint32_t size = 0;   // Fixed: every read delivers this many (at most 2048)
};

struct DecodeRun {
  DclResult result = DclResult::Ok;
  Bytes output;
  std::vector<uint32_t> writeSizes;
  int reads = 0;            // read callback calls, the failing one included
  int readsReturningZero = 0;
  std::vector<uint32_t> countsOnEntry;  // *count seen by each read call
  size_t delivered = 0;                 // input bytes handed to the decoder
};

DecodeRun decodeWith(const Bytes &input, Split split = {});

// Decodes under every split (whole, 5 then 1-byte reads, three random
// splits, a few fixed read sizes); expects all to agree with the whole-input
// run in result, output and write sizes, and returns that run.
DecodeRun decodeAllSplits(const Bytes &input);
// decodeAllSplits, expecting Ok and `expected`.
DecodeRun expectDecodes(const Bytes &input, const Bytes &expected);

Bytes hexBytes(const char *hex);  // "00 06 82": bytes separated by spaces

// Writes tokens bit by bit, least significant bit first, for crafted
// streams, and keeps in `expect` the bytes they stand for, decoded naively.
struct BitWriter {
  Bytes bytes, expect;
  uint32_t acc = 0;
  int used = 0;
  BitWriter(int type, int dictBits)
      : bytes{static_cast<unsigned char>(type), static_cast<unsigned char>(dictBits)} {}
  void put(uint32_t value, int n);
  void literal(unsigned byte);         // binary or ASCII, by the header
  void copy(unsigned length, unsigned distance);
  void end();
  Bytes finish();                      // pads the last byte with zero bits
  size_t bitsWritten() const { return (bytes.size() - 2) * 8 + static_cast<size_t>(used); }
};

#endif
