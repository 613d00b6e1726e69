// Implode decoder.
//
// Two paths decode the same tokens:
//  - the careful path follows the bit reader rule to the letter: it looks at
//    no more than the lowest 8 buffered bits at a time, consumes at most 8
//    bits per step and pulls one byte whenever fewer than 8 bits would stay
//    buffered, calling the read callback only when a byte is needed and the
//    input block is used up. It is what judges UnexpectedEnd.
//  - the fast loop runs while at least 8 unread bytes remain in the current
//    input block. It keeps up to 63 bits in a 64-bit buffer, refilled with
//    one unaligned load per token, so no consumption inside a token can ever
//    need the read callback (a token takes at most 30 bits). Most tokens
//    take a single lookup of the next 12 bits: a literal, or a copy whose
//    codes all fit in them.
// Both leave the same state behind: the buffered bits and the read position
// are always the stream bits after the last consumed one, so the callback
// sequence, the symbols and the result do not depend on which path ran.
#include "dcl_decode.h"

#include <string.h>

#include "dcl_codes.h"

using namespace dclcodes;

namespace {

constexpr uint32_t kInputBlock = 2048;    // bytes asked of the read callback
constexpr uint32_t kHistory = 4096;       // new output starts here
constexpr uint32_t kFlushAt = 8192;       // a full block of output is held
constexpr uint32_t kWindowSize = 8709;    // a copy starting at 8191 reaches 8708
constexpr uint32_t kCopySlack = 32;       // the fast copy may run 31 bytes past a copy's end
constexpr unsigned kSymEnd = 773;         // end-of-stream code
constexpr unsigned kSymFail = 774;        // the input ran out inside a token

// Everything one call needs, laid out in the caller's work area.
struct DclState {
  uint32_t compressionType;   // header byte 0: 0 binary, 1 ASCII
  uint32_t outputPos;         // next write position in window
  uint32_t dictionaryBits;    // k, header byte 1
  uint32_t dictionaryMask;    // 2^k - 1
  uint64_t bitBuffer;         // buffered stream bits, the next one in bit 0; zero above bitCount
  uint32_t bitCount;          // number of buffered bits; at least 8 between operations
  uint32_t inputPos;          // next unread byte in inputBuffer
  uint32_t inputCount;        // bytes the last read delivered
  void *userParam;            // passed through to both callbacks
  DclReadCallback readCallback;
  DclWriteCallback writeCallback;
  unsigned char window[kWindowSize + kCopySlack];  // below 4096: history; from 4096: new output
  unsigned char inputBuffer[kInputBlock];          // the last block the read callback delivered
};

// The caller's work area need not be aligned; the state starts at the first
// suitably aligned byte of it.
static_assert(sizeof(DclState) + alignof(DclState) - 1 <= DCL_WORK_AREA_SIZE,
              "decoder state must fit the work area");

// ---------------------------------------------------------------------------
// Lookup tables, built at compile time from the code values.

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
// next 12 stream bits, flag bit included. Most tokens take one lookup: a
// literal, or a whole copy, one whose flag, length code, extra bits and
// distance code all fit in the 12 bits; its entry gives the length and the
// distance but for the low bits. Such an entry is
//   bits 0-5    bits the token takes, low bits included
//   bit 6       0 (kTokenSlow)
//   bit 7       kTokenCopy for a copy, 0 for a literal
//   bits 8-13   64 - the number of low bits
//   bits 14-25  a copy: (high part << low bits) + 1; a literal: 256 + the
//               byte, which makes it a copy from far enough back to take the
//               fast moves, with its byte laid down after them
//   bits 26-31  the length: 1 for a literal, 2 to 23 for a copy
// The slow kinds have kTokenSlow:
//   part copy:    bits 0-5 the bits of flag, length code and extra bits,
//                 bit 8 set for a copy of 2, bits 14-25 the length; the
//                 distance code takes another lookup
//   long literal: kTokenLong (bit 13), bits 14-25 the first of 4 entries in
//                 literalLong, indexed by the next 2 bits; those are fast
//                 literal entries
//   long length:  kTokenLong | kTokenCopy, bits 0-5 the bits of flag and
//                 length code, bits 8-11 the extra bits, bits 14-25 the base
//                 + 2 (the lengths from 72 up)
// Bits 6 and 7 leave the lowest 6 bits of a bit count alone when a whole
// entry is subtracted from it.
constexpr unsigned kTokenBits = 12;
constexpr uint32_t kTokenMask = (1u << kTokenBits) - 1;
constexpr uint32_t kTokenSlow = 1u << 6;
constexpr uint32_t kTokenCopy = 1u << 7;
constexpr uint32_t kTokenLong = 1u << 13;
constexpr uint32_t kTokenLength2 = 1u << 8;
constexpr unsigned kTokenValueShift = 14;
constexpr unsigned kTokenLengthShift = 26;
constexpr unsigned kLongSlots = 64;  // second-stage literal tables

// A literal has one "low bit", the last bit of its own code, which keeps its
// distance between 256 and 512.
constexpr uint32_t literalEntry(unsigned byte, unsigned used) {
  return 1u << kTokenLengthShift | (256 + byte) << kTokenValueShift | 63u << 8 | used;
}

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
      unsigned lowBits = length == 2 ? 2 : k;
      unsigned prefix = code | x << codeBits;
      uint32_t part = length << kTokenValueShift | (length == 2 ? kTokenLength2 : 0) | kTokenSlow | used;
      for (unsigned v = prefix; v < (1u << kTokenBits); v += 1u << used) table[v] = part;
      for (unsigned h = 0; h < kDistanceSymbols; ++h) {
        unsigned before = used + distanceCodeBits[h];
        if (before > kTokenBits) continue;
        uint32_t whole = length << kTokenLengthShift | ((h << lowBits) + 1) << kTokenValueShift |
                         (64 - lowBits) << 8 | kTokenCopy | (before + lowBits);
        for (unsigned v = prefix | distanceCodes.value[h] << used; v < (1u << kTokenBits); v += 1u << before)
          table[v] = whole;
      }
    }
  }
}

// The longest whole copy: the fast moves lay down 32 bytes.
constexpr unsigned longestWholeCopy(const uint32_t (&table)[1u << kTokenBits]) {
  unsigned longest = 0;
  for (uint32_t e : table)
    if (!(e & kTokenSlow) && (e >> kTokenLengthShift) > longest) longest = e >> kTokenLengthShift;
  return longest;
}

constexpr FastTables buildFastTables() {
  FastTables t{};
  uint32_t longEntry[256] = {};  // ASCII: the token entry of a long code's first 12 bits
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
static_assert(longestWholeCopy(kFast.token[0][0]) <= 32 && longestWholeCopy(kFast.token[0][1]) <= 32 &&
                  longestWholeCopy(kFast.token[0][2]) <= 32 && longestWholeCopy(kFast.token[1][0]) <= 32 &&
                  longestWholeCopy(kFast.token[1][1]) <= 32 && longestWholeCopy(kFast.token[1][2]) <= 32,
              "a whole copy fits the fast moves");

// ---------------------------------------------------------------------------
// Input and output.

// Reads the next block; false when the callback has no more input.
bool refillInput(DclState *s) {
  uint32_t count = kInputBlock;
  uint32_t got = s->readCallback(s->inputBuffer, &count, s->userParam);
  if (got == 0) return false;
  s->inputCount = got > kInputBlock ? kInputBlock : got;  // never trust more than the buffer holds
  s->inputPos = 0;
  return true;
}

void writeOutput(DclState *s, unsigned char *data, uint32_t n) {
  uint32_t count = n;
  s->writeCallback(data, &count, s->userParam);
}

// Writes the full block at 4096..8191 and moves what lies above it down.
void flushWindow(DclState *s) {
  writeOutput(s, s->window + kHistory, kHistory);
  memmove(s->window, s->window + kHistory, s->outputPos - kHistory);
  s->outputPos -= kHistory;
}

// ---------------------------------------------------------------------------
// The careful path.

// Consumes n (0 to 8) bits. Fails when a byte is needed and the read
// callback has none: at least 8 bits always stay buffered.
inline bool consumeBits(DclState *s, unsigned n) {
  if (s->bitCount >= n + 8) {
    s->bitBuffer >>= n;
    s->bitCount -= n;
    return true;
  }
  if (s->inputPos == s->inputCount && !refillInput(s)) return false;
  s->bitBuffer |= static_cast<uint64_t>(s->inputBuffer[s->inputPos++]) << s->bitCount;
  s->bitBuffer >>= n;
  s->bitCount += 8 - n;
  return true;
}

inline unsigned low8(const DclState *s) { return static_cast<unsigned>(s->bitBuffer & 0xFF); }

unsigned decodeLiteralAscii(DclState *s) {
  unsigned b = low8(s);
  unsigned sym;
  if (b != 0) {
    sym = kCareful.literalLookup[b];
    if (sym == 255) {
      if (s->bitBuffer & 0x3F) {
        if (!consumeBits(s, 4)) return kSymFail;
        sym = kCareful.literalAfter4[low8(s)];
      } else {
        if (!consumeBits(s, 6)) return kSymFail;
        sym = kCareful.literalAfter6[low8(s) & 0x7F];
      }
    }
  } else {
    if (!consumeBits(s, 8)) return kSymFail;
    sym = kCareful.literalAfter8[low8(s)];
  }
  if (!consumeBits(s, kCareful.literalRemainingBits[sym])) return kSymFail;
  return sym;
}

// 0-255 literal, 256-772 copy of length symbol - 254, 773 end, 774 failure.
unsigned decodeSymbol(DclState *s) {
  unsigned flag = static_cast<unsigned>(s->bitBuffer & 1);
  if (!consumeBits(s, 1)) return kSymFail;
  if (flag) {
    unsigned i = kCareful.lengthLookup[low8(s)];
    if (!consumeBits(s, lengthCodeBits[i])) return kSymFail;
    unsigned e = lengthExtraBits[i];
    unsigned x = 0;
    if (e) {
      x = static_cast<unsigned>(s->bitBuffer & ((1u << e) - 1));
      // The end-of-stream code stands even when its last bits end the input.
      if (!consumeBits(s, e) && i + x != 270) return kSymFail;
    }
    return 256 + lengthBase[i] + x;
  }
  if (s->compressionType == 0) {
    unsigned v = low8(s);
    if (!consumeBits(s, 8)) return kSymFail;
    return v;
  }
  return decodeLiteralAscii(s);
}

// The distance of a copy, or 0 when the input ran out.
unsigned decodeDistance(DclState *s, unsigned length) {
  unsigned h = kCareful.distanceLookup[low8(s)];
  if (!consumeBits(s, distanceCodeBits[h])) return 0;
  unsigned lowBits = length == 2 ? 2 : s->dictionaryBits;
  unsigned d = static_cast<unsigned>(s->bitBuffer & ((1u << lowBits) - 1));
  if (!consumeBits(s, lowBits)) return 0;
  return (h << lowBits) + d + 1;
}

// ---------------------------------------------------------------------------
// Copies. Distances never reach below window[0]: output starts at 4096 and
// no distance exceeds 4096.

inline void copyBytes(unsigned char *out, unsigned distance, unsigned length) {
  const unsigned char *src = out - distance;
  for (unsigned j = 0; j < length; ++j) out[j] = src[j];
}

inline uint64_t load64le(const unsigned char *p) {
  uint64_t v;
  memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// For a distance (period) of 1 to 7: the smallest whole number of periods
// that is at least 8 bytes.
constexpr uint8_t kPeriodStep[8] = {0, 8, 8, 9, 8, 10, 12, 14};

// Copies with 8-byte moves; may write up to 31 bytes past the copy's end
// (the window has room for that, and those bytes are rewritten before they
// are ever read). Most copies are at most 32 bytes and from 8 or more bytes
// back: four moves and no loop. A shorter period lays down its first 8 bytes
// one at a time, then copies from a whole number of periods back.
inline void copyMatchFast(unsigned char *out, unsigned distance, unsigned length) {
  unsigned char *const end = out + length;
  const unsigned char *src = out - distance;
  if (__builtin_expect(distance >= 8, 1)) {
    memcpy(out, src, 8);
    memcpy(out + 8, src + 8, 8);
    memcpy(out + 16, src + 16, 8);
    memcpy(out + 24, src + 24, 8);
    if (__builtin_expect(length > 32, 0))
      for (out += 32, src += 32; out < end; out += 8, src += 8) memcpy(out, src, 8);
    return;
  }
  for (int j = 0; j < 8; ++j) out[j] = src[j];
  unsigned step = kPeriodStep[distance];
  for (out += 8; out < end; out += 8) memcpy(out, out - step, 8);
}

// Decodes tokens while at least 8 unread bytes remain in the input block.
// Returns true when it decoded the end-of-stream code.
//
// Each round starts with at least 56 bits buffered and takes one token (at
// most 30 bits) or two literals or whole copies (at most 18 bits each), so at
// least 8 stay behind, as the careful path expects. Refilling before every
// round costs less than asking whether to. The next token's entry is
// looked up as soon as the current token's bits are consumed, before its
// output is written, so that the chain from one lookup to the next is one
// load, one shift and one mask for literals and whole copies alike.
//
// Literals and whole copies share one branch-free path, since text and
// binary data mix the two in no order a branch predictor could learn: a
// literal is a copy of length 1 from 256 or more bytes back, and its own
// byte is then stored over the first one copied (a copy stores that byte
// past its end, where it is overwritten later).
bool fastLoop(DclState *s) {
  if (s->inputCount - s->inputPos < 8) return false;
  const unsigned char *in = s->inputBuffer + s->inputPos;
  const unsigned char *const inLast = s->inputBuffer + s->inputCount - 8;
  uint64_t bits = s->bitBuffer;
  unsigned count = s->bitCount;  // only its lowest 6 bits count: entries are subtracted whole
  unsigned char *out = s->window + s->outputPos;
  unsigned char *const flushAt = s->window + kFlushAt;
  const uint32_t *const token = kFast.token[s->compressionType][s->dictionaryBits - 4];
  const DistanceEntry *const distanceTable = kFast.distance[s->dictionaryBits - 4];
  bool ended = false;

  bits |= load64le(in) << count;
  in += (63 - count) >> 3;
  count |= 56;
  uint32_t e = token[bits & kTokenMask];
  // A literal or whole copy.
  auto wholeToken = [&] {
    // The low bits end where the token ends.
    unsigned low = static_cast<unsigned>((bits << ((0 - e) & 63)) >> ((e >> 8) & 63));
    bits >>= e & 63;
    count -= e;
    const uint32_t t = e;
    e = token[bits & kTokenMask];
    unsigned distance = ((t >> kTokenValueShift) & 0xFFF) + low;
    if (__builtin_expect(distance >= 16, 1)) {
      memcpy(out, out - distance, 16);
      memcpy(out + 16, out - distance + 16, 16);
      out[(t & kTokenCopy) >> 2] = static_cast<unsigned char>(t >> kTokenValueShift);
    } else {
      copyMatchFast(out, distance, t >> kTokenLengthShift);
    }
    out += t >> kTokenLengthShift;
  };
  for (;;) {
    if (__builtin_expect(!(e & kTokenSlow), 1)) {
      wholeToken();
      // Two whole tokens take at most 36 bits, and the second writes at most
      // 32 bytes past the first's end, which the window's slack holds.
      if (__builtin_expect(!(e & kTokenSlow), 1)) wholeToken();
    } else if (!(e & kTokenLong)) {
      unsigned length = (e >> kTokenValueShift) & 0xFFF;
      bits >>= e & 63;
      count -= e & 63;
      const DistanceEntry &de = distanceTable[(bits & 0xFF) | (e & kTokenLength2)];
      unsigned distance = de.base + static_cast<unsigned>((bits >> de.codeBits) & de.lowMask);
      bits >>= de.totalBits;
      count -= de.totalBits;
      e = token[bits & kTokenMask];
      copyMatchFast(out, distance, length);
      out += length;
    } else if (!(e & kTokenCopy)) {
      e = kFast.literalLong[((e >> kTokenValueShift) & 0xFFF) + ((bits >> kTokenBits) & 3)];
      *out++ = static_cast<unsigned char>(e >> kTokenValueShift);
      bits >>= e & 63;
      count -= e;
      e = token[bits & kTokenMask];
    } else {
      bits >>= e & 63;
      count -= e & 63;
      unsigned extra = (e >> 8) & 15;
      unsigned length = ((e >> kTokenValueShift) & 0xFFF) + static_cast<unsigned>(bits & ((1u << extra) - 1));
      bits >>= extra;
      count -= extra;
      if (length == kEndOfStreamLength) {
        ended = true;
        break;
      }
      const DistanceEntry &de = distanceTable[bits & 0xFF];
      unsigned distance = de.base + static_cast<unsigned>((bits >> de.codeBits) & de.lowMask);
      bits >>= de.totalBits;
      count -= de.totalBits;
      e = token[bits & kTokenMask];
      copyMatchFast(out, distance, length);
      out += length;
    }
    if (__builtin_expect(out >= flushAt, 0)) {
      s->outputPos = static_cast<uint32_t>(out - s->window);
      flushWindow(s);
      out = s->window + s->outputPos;
    }
    if (__builtin_expect(in > inLast, 0)) break;
    count &= 63;
    bits |= load64le(in) << count;
    in += (63 - count) >> 3;
    count |= 56;
  }

  count &= 63;
  s->outputPos = static_cast<uint32_t>(out - s->window);
  s->bitBuffer = bits & ((uint64_t{1} << count) - 1);
  s->bitCount = count;
  s->inputPos = static_cast<uint32_t>(in - s->inputBuffer);
  return ended;
}

// Decodes tokens up to the end-of-stream code or a failure; returns 773 or 774.
unsigned runMainLoop(DclState *s) {
  s->outputPos = kHistory;
  for (;;) {
    if (fastLoop(s)) return kSymEnd;

    unsigned symbol = decodeSymbol(s);
    if (symbol >= kSymEnd) return symbol;
    if (symbol < 256) {
      s->window[s->outputPos++] = static_cast<unsigned char>(symbol);
    } else {
      unsigned length = symbol - 254;
      unsigned distance = decodeDistance(s, length);
      if (distance == 0) return kSymFail;
      copyBytes(s->window + s->outputPos, distance, length);
      s->outputPos += length;
    }
    if (s->outputPos >= kFlushAt) flushWindow(s);
  }
}

}  // namespace

DclResult dclDecode(DclReadCallback readCallback, DclWriteCallback writeCallback, void *workArea,
                    void *userParam) {
  uintptr_t at = reinterpret_cast<uintptr_t>(workArea);
  at = (at + alignof(DclState) - 1) & ~static_cast<uintptr_t>(alignof(DclState) - 1);
  DclState *s = reinterpret_cast<DclState *>(at);

  s->readCallback = readCallback;
  s->writeCallback = writeCallback;
  s->userParam = userParam;
  s->inputCount = 0;
  if (!refillInput(s) || s->inputCount <= 4) return DclResult::InputTooShort;

  s->compressionType = s->inputBuffer[0];
  s->dictionaryBits = s->inputBuffer[1];
  s->bitBuffer = s->inputBuffer[2];
  s->bitCount = 8;
  s->inputPos = 3;
  if (s->dictionaryBits < 4 || s->dictionaryBits > 6) return DclResult::BadDictionarySize;
  s->dictionaryMask = (1u << s->dictionaryBits) - 1;
  if (s->compressionType > 1) return DclResult::BadCompressionType;

  // A distance reaching before the first output byte reads zeros, never
  // whatever the work area held before.
  memset(s->window, 0, kHistory);

  unsigned end = runMainLoop(s);
  writeOutput(s, s->window + kHistory, s->outputPos - kHistory);
  return end == kSymFail ? DclResult::UnexpectedEnd : DclResult::Ok;
}

const char *dclResultName(DclResult result) {
  switch (result) {
    case DclResult::Ok: return "Ok";
    case DclResult::BadDictionarySize: return "BadDictionarySize";
    case DclResult::BadCompressionType: return "BadCompressionType";
    case DclResult::InputTooShort: return "InputTooShort";
    case DclResult::UnexpectedEnd: return "UnexpectedEnd";
  }
  return "Unknown";
}
