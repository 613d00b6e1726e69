// The implode decoder's lookup tables, built at compile time from the code
// values of dcl_codes.h: the careful path's tables, one lookup of the lowest
// 8 buffered bits each, and the fast loop's token tables. Private to
// dcl_decode.cpp.
#ifndef QV_DCL_DECODE_TABLES_H
#define QV_DCL_DECODE_TABLES_H

#include <stdint.h>

#include "dcl_codes.h"

namespace dcltables {

using namespace dclcodes;

struct CarefulTables {
  uint8_t lengthLookup[256];          // lowest 8 bits -> length index
  uint8_t distanceLookup[256];        // lowest 8 bits -> distance high part
  uint8_t literalLookup[256];         // literal of a code of <= 8 bits, 255: longer code
  uint8_t literalAfter4[256];         // second stage after consuming 4 bits
  uint8_t literalAfter6[128];         // second stage after consuming 6 bits
  uint8_t literalAfter8[256];         // second stage after consuming 8 bits
  uint8_t literalRemainingBits[256];  // code bits still to consume after the last stage
};

template <int N>
constexpr void buildLookup(const uint8_t (&bits)[N], const CodeValues<N> &codes, uint8_t (&lookup)[256]) {
  for (int i = N - 1; i >= 0; --i)
    for (unsigned v = codes.value[i]; v < 256; v += 1u << bits[i]) lookup[v] = static_cast<uint8_t>(i);
}

constexpr CarefulTables buildCarefulTables() {
  CarefulTables t{};
  buildLookup(lengthCodeBits, lengthCodes, t.lengthLookup);
  buildLookup(distanceCodeBits, distanceCodes, t.distanceLookup);
  for (int s = 255; s >= 0; --s) {
    unsigned len = literalCodeBits[s];
    unsigned c = literalCodes.value[s];
    unsigned remaining = len;
    if (len <= 8) {
      for (unsigned v = c; v < 256; v += 1u << len) t.literalLookup[v] = static_cast<uint8_t>(s);
    } else if ((c & 0xFF) != 0) {
      t.literalLookup[c & 0xFF] = 255;
      if ((c & 0x3F) != 0) {
        remaining = len - 4;
        for (unsigned v = c >> 4; v < 256; v += 1u << remaining) t.literalAfter4[v] = static_cast<uint8_t>(s);
      } else {
        remaining = len - 6;
        for (unsigned v = c >> 6; v < 128; v += 1u << remaining) t.literalAfter6[v] = static_cast<uint8_t>(s);
      }
    } else {
      remaining = len - 8;
      for (unsigned v = c >> 8; v < 256; v += 1u << remaining) t.literalAfter8[v] = static_cast<uint8_t>(s);
    }
    t.literalRemainingBits[s] = static_cast<uint8_t>(remaining);
  }
  return t;
}

constexpr CarefulTables kCareful = buildCarefulTables();

// Fast-loop tables.
//
// One token table per literal coding and dictionary size, indexed by the
// next 13 stream bits, flag bit included. Most tokens take one lookup: a
// literal, or a whole copy, one whose flag, length code, extra bits and
// distance code all fit in the 13 bits. Such an entry is
//   bits 0-5    bits the token takes, low bits included
//   bit 6       0 (kTokenSlow)
//   bit 7       kTokenCopy for a copy, 0 for a literal
//   bits 8-13   where a k-bit field starts in the token's bits (k the
//               dictionary bits)
//   bits 14-18  the length: 1 for a literal, 2 to 31 for a copy
//   bits 19-31  value, signed: the field added to it is the distance
// For a copy of 3 or more the field is its low bits and value the distance
// they are added to. A copy of 2 is whole only when its 2 low bits are
// among the 13; its field then lies in bits the entry was made for, and
// value is the distance less what the field holds. A literal's field is
// its first k bits and its value 256 + the byte, so it is a copy from far
// enough back to take the fast moves, with its byte laid down after them.
// The slow kinds have kTokenSlow:
//   part copy:    bits 0-5 the bits of flag, length code and extra bits,
//                 bit 8 set for a copy of 2, bits 14-25 the length; the
//                 distance code takes another lookup
//   long literal: kTokenLong (bit 13), bits 14-25 the first of 4 entries in
//                 literalLong, indexed by the next 2 bits; those are whole
//                 literal entries
//   long length:  kTokenLong | kTokenCopy, bits 0-5 the bits of flag and
//                 length code, bits 8-11 the extra bits, bits 14-25 the base
//                 + 2 (the lengths from 136 up)
// Bits 6 and 7 leave the lowest 6 bits of a bit count alone when a whole
// entry is subtracted from it. Thirteen bits rather than twelve turn a
// third of the part copies of text into whole ones; fourteen make a table
// too large to stay in the first-level cache.
constexpr unsigned kTokenBits = 13;
constexpr uint32_t kTokenMask = (1u << kTokenBits) - 1;
constexpr uint32_t kTokenSlow = 1u << 6;
constexpr uint32_t kTokenCopy = 1u << 7;
constexpr uint32_t kTokenLong = 1u << 13;
constexpr uint32_t kTokenLength2 = 1u << 8;
constexpr unsigned kTokenValueShift = 14;   // slow entries: their value
constexpr unsigned kWholeLengthShift = 14;  // whole entries: the length, 5 bits
constexpr unsigned kWholeValueShift = 19;   // whole entries: value, 13 bits
constexpr unsigned kLongSlots = 64;         // second-stage literal tables

constexpr uint32_t wholeEntry(unsigned length, int value, unsigned fieldAt, unsigned used, bool copy) {
  return static_cast<uint32_t>(value) << kWholeValueShift | length << kWholeLengthShift | fieldAt << 8 |
         (copy ? kTokenCopy : 0) | used;
}

// A literal's field is its first k bits: its distance lies between 256 and
// 256 + 255 + 63.
constexpr uint32_t literalEntry(unsigned byte, unsigned used) { return wholeEntry(1, 256 + byte, 0, used, false); }

// Distance, for part copies: one table per dictionary size, entries 0-255
// for copies of 3 or more bytes, 256-511 for copies of 2 (2 low bits),
// indexed by the 8 bits after the length. The distance is base + the low
// bits, which follow the code.
constexpr unsigned kDistanceLength2 = 256;

struct DistanceEntry {
  uint16_t base;      // (high part << low bits) + 1
  uint8_t codeBits;   // bits of the distance code
  uint8_t totalBits;  // code and low bits
  uint8_t lowMask;    // 2^(low bits) - 1
  uint8_t unused[3];
};

struct FastTables {
  uint32_t token[2][3][1u << kTokenBits];  // by literal coding (0 binary, 1 ASCII), dictionary bits - 4
  // The lowest 7 bits of each entry: the bits a whole token takes and
  // kTokenSlow, all the fast loop needs to find the next entry. An eighth of
  // the size, this table stays in the first-level cache, so that the chain
  // of lookups from token to token never waits for the next one.
  uint8_t tokenUsed[2][3][1u << kTokenBits];
  uint32_t literalLong[kLongSlots * 4];
  unsigned longTables;
  DistanceEntry distance[3][512];  // by dictionary bits - 4
};

// Fills the copies of one token table: flag 1, then a length code.
constexpr void fillCopies(uint32_t (&table)[1u << kTokenBits], unsigned k) {
  for (unsigned i = 0; i < kLengthSymbols; ++i) {
    unsigned codeBits = 1 + lengthCodeBits[i];
    unsigned code = 1 | lengthCodes.value[i] << 1;
    unsigned used = codeBits + lengthExtraBits[i];
    if (used > kTokenBits) {
      uint32_t e = (lengthBase[i] + 2u) << kTokenValueShift | lengthExtraBits[i] << 8 | kTokenCopy | kTokenSlow |
                   kTokenLong | codeBits;
      for (unsigned v = code; v < (1u << kTokenBits); v += 1u << codeBits) table[v] = e;
      continue;
    }
    for (unsigned x = 0; x < (1u << lengthExtraBits[i]); ++x) {
      unsigned length = lengthBase[i] + 2u + x;
      unsigned prefix = code | x << codeBits;
      uint32_t part = length << kTokenValueShift | (length == 2 ? kTokenLength2 : 0) | kTokenSlow | used;
      for (unsigned v = prefix; v < (1u << kTokenBits); v += 1u << used) table[v] = part;
      for (unsigned h = 0; h < kDistanceSymbols; ++h) {
        unsigned before = used + distanceCodeBits[h];
        unsigned first = prefix | distanceCodes.value[h] << used;
        if (length > 2) {
          if (before > kTokenBits || length > 31) continue;
          uint32_t whole = wholeEntry(length, static_cast<int>(h << k) + 1, before, before + k, true);
          for (unsigned v = first; v < (1u << kTokenBits); v += 1u << before) table[v] = whole;
          continue;
        }
        // A copy of 2: its field is the last k of its bits (a token of 2 is
        // at least 8 bits long), all of them in the index.
        unsigned end = before + 2;
        if (end > kTokenBits) continue;
        for (unsigned d = 0; d < 4; ++d) {
          unsigned index = first | d << before;
          int field = static_cast<int>((index >> (end - k)) & ((1u << k) - 1));
          uint32_t whole = wholeEntry(2, static_cast<int>(h * 4 + d + 1) - field, end - k, end, true);
          for (unsigned v = index; v < (1u << kTokenBits); v += 1u << end) table[v] = whole;
        }
      }
    }
  }
}

constexpr FastTables buildFastTables() {
  FastTables t{};
  uint32_t longEntry[256] = {};  // ASCII: the index of a long code's first 13 bits
  for (unsigned s = 0; s < 256; ++s) {
    unsigned used = 1 + literalCodeBits[s];
    if (used <= kTokenBits) continue;
    unsigned code = literalCodes.value[s] << 1;
    unsigned prefix = code & kTokenMask;
    unsigned slot = 0;
    for (; slot < t.longTables; ++slot)
      if (longEntry[slot] == prefix) break;
    if (slot == t.longTables) longEntry[t.longTables++] = prefix;
    for (unsigned v = code >> kTokenBits; v < 4; v += 1u << (used - kTokenBits))
      t.literalLong[slot * 4 + v] = literalEntry(s, used);
  }
  for (unsigned k = 4; k <= 6; ++k) {
    uint32_t(&binary)[1u << kTokenBits] = t.token[0][k - 4];
    for (unsigned v = 0; v < (1u << kTokenBits); v += 2) binary[v] = literalEntry((v >> 1) & 0xFF, 9);
    fillCopies(binary, k);

    uint32_t(&ascii)[1u << kTokenBits] = t.token[1][k - 4];
    for (unsigned s = 0; s < 256; ++s) {
      unsigned used = 1 + literalCodeBits[s];
      if (used > kTokenBits) continue;
      for (unsigned v = literalCodes.value[s] << 1; v < (1u << kTokenBits); v += 1u << used)
        ascii[v] = literalEntry(s, used);
    }
    for (unsigned slot = 0; slot < t.longTables; ++slot)
      ascii[longEntry[slot]] = slot * 4 << kTokenValueShift | kTokenLong | kTokenSlow;
    fillCopies(ascii, k);

    for (unsigned c = 0; c < 2; ++c)
      for (unsigned v = 0; v < (1u << kTokenBits); ++v)
        t.tokenUsed[c][k - 4][v] = static_cast<uint8_t>(t.token[c][k - 4][v] & 0x7F);
    for (unsigned v = 0; v < 512; ++v) {
      unsigned h = kCareful.distanceLookup[v & 0xFF];
      unsigned codeBits = distanceCodeBits[h];
      unsigned lowBits = v >= kDistanceLength2 ? 2 : k;
      t.distance[k - 4][v] = {static_cast<uint16_t>((h << lowBits) + 1), static_cast<uint8_t>(codeBits),
                              static_cast<uint8_t>(codeBits + lowBits), static_cast<uint8_t>((1u << lowBits) - 1),
                              {0, 0, 0}};
    }
  }
  return t;
}

constexpr FastTables kFast = buildFastTables();
static_assert(kFast.longTables <= kLongSlots, "second-stage literal tables");
// A round of the fast loop takes two tokens, at most one of them slow, out
// of the 56 bits it starts with, and still has bits for the next lookup.
constexpr unsigned kWholeMostBits = kTokenBits + 6;  // the index, then up to 6 low bits
constexpr unsigned kSlowMostBits = 30;               // flag, 7 + 8 length bits, 8 + 6 distance bits
static_assert(kWholeMostBits + kSlowMostBits <= 56 && 64 - kWholeMostBits - kSlowMostBits >= kTokenBits,
              "a round's bits fit the buffer");

}  // namespace dcltables

#endif
