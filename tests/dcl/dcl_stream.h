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

// Every split the tests compare: whole, 5 then 1-byte reads, three random
// splits and a few fixed block sizes.
std::vector<Split> allSplits();

std::string describe(const Split &split);

Bytes hexBytes(const char *hex);

// Writes tokens bit by bit, least significant bit first, for crafted streams.
struct BitWriter {
  Bytes bytes;
  uint32_t acc = 0;
  int used = 0;
  BitWriter(int type, int dictBits) { bytes = {static_cast<unsigned char>(type), static_cast<unsigned char>(dictBits)}; }
  void put(uint32_t value, int n);
  void literal(unsigned byte);         // binary or ASCII, by the header
  void copy(unsigned length, unsigned distance);
  void end();
  Bytes finish();                      // pads the last byte with zero bits
  size_t bitsWritten() const { return (bytes.size() - 2) * 8 + static_cast<size_t>(used); }
};

// The bytes a stream of tokens stands for, decoded naively.
struct NaiveOutput {
  Bytes bytes;
  void literal(unsigned char b) { bytes.push_back(b); }
  void copy(unsigned length, unsigned distance);
};

#endif
