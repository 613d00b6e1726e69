// Shared by the encoder and zarc tests: decoding through dclDecode, test
// data, and a check of every token the encoder writes.
#ifndef QV_TESTS_ZARC_IMPLODE_TEST_SUPPORT_H
#define QV_TESTS_ZARC_IMPLODE_TEST_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "dcl_decode.h"
#include "implode.h"

using Bytes = std::vector<unsigned char>;

struct Decoded {
  DclResult result = DclResult::Ok;
  Bytes output;
};

// Decodes with reads of at most `readSize` bytes (the first read at least 5,
// as the decoder needs).
Decoded decodeStream(const Bytes &stream, size_t readSize = 2048);

// Test data, all deterministic.
Bytes randomBytes(size_t n, uint32_t seed);
Bytes textBytes(size_t n, uint32_t seed);   // words, spaces, punctuation, line ends
Bytes periodicBytes(size_t n, size_t period, uint32_t seed);
Bytes allByteValues(size_t n);              // 0, 1, ..., 255, 0, 1, ...

struct Token {
  unsigned length;    // 1: literal
  unsigned distance;  // 0 for a literal
  uint64_t position;  // input position where the token starts
};

// Records the tokens an encoder writes.
struct TokenLog {
  std::vector<Token> tokens;
  uint64_t position = 0;
  ImplodeOptions options();
  // Empty when every token is one the format allows at its place (lengths 2
  // to 518, distances within reach and within the output so far) and the
  // tokens cover exactly `inputSize` bytes; otherwise what is wrong.
  std::string check(int dictBits, uint64_t inputSize) const;
  bool hasCopy(unsigned minLength, unsigned distance) const;
};

Bytes encode(ImplodeMode mode, int dictBits, const Bytes &data, ImplodeStats *stats = nullptr,
             TokenLog *log = nullptr);

const char *modeName(ImplodeMode mode);

#endif
