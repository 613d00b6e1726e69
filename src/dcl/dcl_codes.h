// The fixed prefix codes of the implode format: length code, distance code
// and the literal code of ASCII mode.
//
// Only the code lengths are written down; the code values follow from them
// by one rule, applied here at compile time:
//   1. canonical codes from the lengths (shorter codes first, equal lengths
//      in symbol order, consecutive values, the first code 0);
//   2. every bit of each code complemented;
//   3. the result sent most significant bit first.
// A "code value" below is the number whose bit 0 is the first stream bit,
// i.e. the bit-reversal of the complemented canonical code. A code of length
// L is present when the next L stream bits, read as an L-bit number, equal it.
//
// Shared by the decoder and by the encoder in tools/.
#ifndef QV_DCL_CODES_H
#define QV_DCL_CODES_H

#include <stdint.h>

namespace dclcodes {

constexpr int kLengthSymbols = 16;
constexpr int kDistanceSymbols = 64;
constexpr int kLiteralSymbols = 256;

// Length code: index i gives lengthBase[i] + x + 2, x read in
// lengthExtraBits[i] bits. Index 15 with x = 255 is the end-of-stream code.
constexpr uint8_t lengthCodeBits[kLengthSymbols] = {3, 2, 3, 3, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 7, 7};
constexpr uint8_t lengthExtraBits[kLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
constexpr uint16_t lengthBase[kLengthSymbols] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 14, 22, 38, 70, 134, 262};

// Distance code: the high part of a distance (0 to 63).
constexpr uint8_t distanceCodeBits[kDistanceSymbols] = {
    2, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8};

// Literal code (ASCII mode), by byte value.
constexpr uint8_t literalCodeBits[kLiteralSymbols] = {
    11, 12, 12, 12, 12, 12, 12, 12, 12, 8,  7,  12, 12, 7,  12, 12,  // 0x00
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 13, 12, 12, 12, 12, 12,  // 0x10
    4,  10, 8,  12, 10, 12, 10, 8,  7,  7,  8,  9,  7,  6,  7,  8,   // 0x20
    7,  6,  7,  7,  7,  7,  8,  7,  7,  8,  8,  12, 11, 7,  9,  11,  // 0x30
    12, 6,  7,  6,  6,  5,  7,  8,  8,  6,  11, 9,  6,  7,  6,  6,   // 0x40
    7,  11, 6,  6,  6,  7,  9,  8,  9,  9,  11, 8,  11, 9,  12, 8,   // 0x50
    12, 5,  6,  6,  6,  5,  6,  6,  6,  5,  11, 7,  5,  6,  5,  5,   // 0x60
    6,  10, 5,  5,  5,  5,  8,  7,  8,  8,  10, 11, 11, 12, 12, 12,  // 0x70
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,  // 0x80
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,  // 0x90
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,  // 0xA0
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 0xB0
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 0xC0
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 0xD0
    13, 12, 13, 13, 13, 12, 13, 13, 13, 12, 13, 13, 13, 13, 12, 13,  // 0xE0
    13, 13, 12, 12, 12, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,  // 0xF0
};

template <int N>
struct CodeValues {
  uint16_t value[N];
};

// Code values from code lengths, by the rule at the top of this file.
template <int N>
constexpr CodeValues<N> codeValuesFromBits(const uint8_t (&bits)[N]) {
  CodeValues<N> out{};
  uint32_t next = 0;
  int prevLen = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int s = 0; s < N; ++s) {
      if (bits[s] != len) continue;
      if (prevLen != 0) next <<= (len - prevLen);
      prevLen = len;
      uint32_t complemented = ~next & ((1u << len) - 1);
      uint32_t reversed = 0;
      for (int b = 0; b < len; ++b) reversed |= ((complemented >> b) & 1u) << (len - 1 - b);
      out.value[s] = static_cast<uint16_t>(reversed);
      ++next;
    }
  }
  return out;
}

constexpr CodeValues<kLengthSymbols> lengthCodes = codeValuesFromBits(lengthCodeBits);
constexpr CodeValues<kDistanceSymbols> distanceCodes = codeValuesFromBits(distanceCodeBits);
constexpr CodeValues<kLiteralSymbols> literalCodes = codeValuesFromBits(literalCodeBits);

static_assert(lengthCodes.value[0] == 0x05 && lengthCodes.value[1] == 0x03 && lengthCodes.value[15] == 0x00,
              "length code values");
static_assert(distanceCodes.value[0] == 0x03 && distanceCodes.value[7] == 0x3E && distanceCodes.value[63] == 0x00,
              "distance code values");
static_assert(literalCodes.value[0x20] == 0x000F && literalCodes.value[0x80] == 0x0240 &&
                  literalCodes.value[0xFF] == 0x0000,
              "literal code values");

constexpr unsigned kEndOfStreamLength = 519;  // length index 15 with extra value 255

}  // namespace dclcodes

#endif
