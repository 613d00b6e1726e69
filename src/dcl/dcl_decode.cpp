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
//    need the read callback (a token takes at most 30 bits), and decodes each
//    code with one table lookup (two for literal codes over 10 bits).
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
constexpr unsigned kLitBits = 10;     // first-stage literal lookup width
constexpr unsigned kLongSlots = 64;   // second-stage tables of 8 entries each
constexpr uint16_t kLongFlag = 0x8000;
constexpr unsigned kLenBits = 12;     // combined length code and extra bits lookup width

struct FastTables {
  // Literal, indexed by the 10 bits after the flag: symbol | (code bits + 1
  // for the flag) << 8, or kLongFlag | first entry of an 8-entry second stage
  // indexed by the next 3 bits.
  uint16_t literal[1u << kLitBits];
  uint16_t literalLong[kLongSlots * 8];
  unsigned longTables;
  // Length, indexed by the 12 bits after the flag: the copy length | bits of
  // code and extra bits together << 10, for every length whose code and
  // extra bits fit in 12 bits (all below 136). 0 for the longer ones, which
  // go through lengthLong.
  uint16_t length[1u << kLenBits];
  // Indexed by the 8 bits after the flag: code bits | extra bits << 8 |
  // (base + 2) << 16.
  uint32_t lengthLong[256];
  // Distance high part | code bits << 8.
  uint16_t distance[256];
};

constexpr FastTables buildFastTables() {
  FastTables t{};
  for (unsigned s = 0; s < 256; ++s) {
    unsigned len = literalCodeBits[s];
    unsigned c = literalCodes.value[s];
    uint16_t entry = static_cast<uint16_t>(s | (len + 1) << 8);
    if (len <= kLitBits) {
      for (unsigned v = c; v < (1u << kLitBits); v += 1u << len) t.literal[v] = entry;
      continue;
    }
    unsigned prefix = c & ((1u << kLitBits) - 1);
    if (!(t.literal[prefix] & kLongFlag)) t.literal[prefix] = static_cast<uint16_t>(kLongFlag | (t.longTables++ * 8));
    unsigned base = t.literal[prefix] & ~kLongFlag;
    unsigned rest = c >> kLitBits;
    for (unsigned v = rest; v < 8; v += 1u << (len - kLitBits)) t.literalLong[base + v] = entry;
  }
  for (unsigned i = 0; i < kLengthSymbols; ++i) {
    unsigned used = lengthCodeBits[i] + lengthExtraBits[i];
    if (used > kLenBits) continue;
    for (unsigned x = 0; x < (1u << lengthExtraBits[i]); ++x)
      for (unsigned v = lengthCodes.value[i] | x << lengthCodeBits[i]; v < (1u << kLenBits); v += 1u << used)
        t.length[v] = static_cast<uint16_t>((lengthBase[i] + 2u + x) | used << 10);
  }
  for (unsigned v = 0; v < 256; ++v) {
    unsigned i = kCareful.lengthLookup[v];
    t.lengthLong[v] = lengthCodeBits[i] | lengthExtraBits[i] << 8 | (lengthBase[i] + 2u) << 16;
    unsigned h = kCareful.distanceLookup[v];
    t.distance[v] = static_cast<uint16_t>(h | distanceCodeBits[h] << 8);
  }
  return t;
}

constexpr FastTables kFast = buildFastTables();
static_assert(kFast.longTables <= kLongSlots, "second-stage literal tables");

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
// Returns true when it decoded the end-of-stream code. One instance per
// literal coding, so the loop never asks which one it decodes.
template <bool Ascii>
bool fastLoopCoded(DclState *s) {
  if (s->inputCount - s->inputPos < 8) return false;
  const unsigned char *in = s->inputBuffer + s->inputPos;
  const unsigned char *const inLast = s->inputBuffer + s->inputCount - 8;
  uint64_t bits = s->bitBuffer;
  unsigned count = s->bitCount;
  unsigned char *out = s->window + s->outputPos;
  unsigned char *const flushAt = s->window + kFlushAt;
  const unsigned k = s->dictionaryBits;
  bool ended = false;

  // Each token starts with at least 56 bits buffered: it takes at most 30,
  // so at least 8 stay behind it, as the careful path expects. Refilling
  // before every token costs less than asking whether to.
  while (in <= inLast) {
    bits |= load64le(in) << count;
    in += (63 - count) >> 3;
    count |= 56;

    if (!(bits & 1)) {
      if (!Ascii) {
        *out++ = static_cast<unsigned char>(bits >> 1);
        bits >>= 9;
        count -= 9;
      } else {
        unsigned e = kFast.literal[(bits >> 1) & ((1u << kLitBits) - 1)];
        if (__builtin_expect(e & kLongFlag, 0)) e = kFast.literalLong[(e & ~kLongFlag) + ((bits >> (1 + kLitBits)) & 7)];
        *out++ = static_cast<unsigned char>(e);
        unsigned used = e >> 8;
        bits >>= used;
        count -= used;
      }
    } else {
      unsigned length;
      unsigned le = kFast.length[(bits >> 1) & ((1u << kLenBits) - 1)];
      if (__builtin_expect(le != 0, 1)) {
        length = le & 0x3FF;
        unsigned used = 1 + (le >> 10);
        bits >>= used;
        count -= used;
      } else {
        uint32_t ll = kFast.lengthLong[(bits >> 1) & 0xFF];
        unsigned used = 1 + (ll & 0xFF);
        bits >>= used;
        unsigned extra = (ll >> 8) & 0xFF;
        length = (ll >> 16) + static_cast<unsigned>(bits & ((1u << extra) - 1));
        bits >>= extra;
        count -= used + extra;
        if (length == kEndOfStreamLength) {
          ended = true;
          break;
        }
      }
      unsigned de = kFast.distance[bits & 0xFF];
      bits >>= de >> 8;
      unsigned lowBits = length == 2 ? 2 : k;
      unsigned distance = ((de & 0xFF) << lowBits) + static_cast<unsigned>(bits & ((1u << lowBits) - 1)) + 1;
      bits >>= lowBits;
      count -= (de >> 8) + lowBits;
      copyMatchFast(out, distance, length);
      out += length;
    }

    if (__builtin_expect(out >= flushAt, 0)) {
      s->outputPos = static_cast<uint32_t>(out - s->window);
      flushWindow(s);
      out = s->window + s->outputPos;
    }
  }

  s->outputPos = static_cast<uint32_t>(out - s->window);
  s->bitBuffer = bits & ((uint64_t{1} << count) - 1);
  s->bitCount = count;
  s->inputPos = static_cast<uint32_t>(in - s->inputBuffer);
  return ended;
}

bool fastLoop(DclState *s) { return s->compressionType == 1 ? fastLoopCoded<true>(s) : fastLoopCoded<false>(s); }

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
