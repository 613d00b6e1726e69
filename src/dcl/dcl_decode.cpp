// Implode decoder.
//
// Two paths decode the same tokens:
//  - the careful path follows the bit reader rule to the letter: it looks at
//    no more than the lowest 8 buffered bits at a time, consumes at most 8
//    bits per step and pulls one byte whenever fewer than 8 bits would stay
//    buffered, calling the read callback only when a byte is needed and the
//    input block is used up. It is what judges UnexpectedEnd.
//  - the fast loop runs while at least 8 unread bytes remain in the current
//    input block. It keeps 56 to 63 bits in a 64-bit buffer, refilled with
//    one unaligned load per two tokens, so no consumption inside a token can
//    ever need the read callback (a token takes at most 30 bits). Most
//    tokens take a single lookup of the next 13 bits: a literal, or a copy
//    whose codes all fit in them.
// Both leave the same state behind: the buffered bits and the read position
// are always the stream bits after the last consumed one, so the callback
// sequence, the symbols and the result do not depend on which path ran.
#include "dcl_decode.h"

#include <string.h>

#include "dcl_codes.h"
#include "dcl_decode_tables.h"

using namespace dclcodes;
using namespace dcltables;

namespace {

constexpr uint32_t kInputBlock = 2048;    // bytes asked of the read callback
constexpr uint32_t kHistory = 4096;       // new output starts here
constexpr uint32_t kFlushAt = 8192;       // a full block of output is held
constexpr uint32_t kWindowSize = 8709;    // a copy starting at 8191 reaches 8708
constexpr uint32_t kCopySlack = 160;      // the fast loop writes up to 129 bytes past the output
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

// The copy of a slow token (2 to 518 bytes): four 16-byte moves when it
// comes from 16 or more bytes back, more only past 64 bytes, so that few of
// its branches are ever mispredicted; may write up to 63 bytes past its end.
inline void copySlowFast(unsigned char *out, unsigned distance, unsigned length) {
  const unsigned char *src = out - distance;
  if (__builtin_expect(distance < 16, 0)) {
    copyMatchFast(out, distance, length);
    return;
  }
  memcpy(out, src, 16);
  memcpy(out + 16, src + 16, 16);
  memcpy(out + 32, src + 32, 16);
  memcpy(out + 48, src + 48, 16);
  if (__builtin_expect(length > 64, 0)) {
    unsigned char *const end = out + length;
    for (out += 64, src += 64; out < end; out += 16, src += 16) memcpy(out, src, 16);
  }
}

// Decodes tokens while at least 8 unread bytes remain in the input block.
// Returns true when it decoded the end-of-stream code.
//
// Each round refills the buffer to at least 56 bits (all 64 are stream bits)
// and takes two tokens, at most one of them slow: at most 19 + 30 bits, so
// at least 15 stay for the next lookup. Refilling before every round costs
// less than asking whether to. A round may leave fewer than 8 bits; the
// careful path is given 8 from the block on the way out (a refill leaves at
// least one byte of it unread). The next token's entry is looked up as soon
// as the current token's bits are consumed, before its output is written,
// so that the chain from one lookup to the next is one load, one shift and
// one mask for literals and whole copies alike. That load is of a byte of
// tokenUsed, whose table stays in the first-level cache; the whole entry is
// loaded beside it, off the chain.
//
// Literals and whole copies share one branch-free path, since text and
// binary data mix the two in no order a branch predictor could learn: a
// literal is a copy of length 1 from 256 or more bytes back, and its own
// byte is then stored over the first one copied (a copy stores that byte
// 128 bytes on, where it is overwritten later).
bool fastLoop(DclState *s) {
  if (s->inputCount - s->inputPos < 8) return false;
  const unsigned char *in = s->inputBuffer + s->inputPos;
  const unsigned char *const inLast = s->inputBuffer + s->inputCount - 8;
  uint64_t bits = s->bitBuffer;
  unsigned count = s->bitCount;  // only its lowest 6 bits count: entries are subtracted whole
  unsigned char *out = s->window + s->outputPos;
  unsigned char *const flushAt = s->window + kFlushAt;
  const uint32_t *const token = kFast.token[s->compressionType][s->dictionaryBits - 4];
  const uint8_t *const used = kFast.tokenUsed[s->compressionType][s->dictionaryBits - 4];
  const DistanceEntry *const distanceTable = kFast.distance[s->dictionaryBits - 4];
  const unsigned fieldMask = s->dictionaryMask;
  bool ended = false;

  bits |= load64le(in) << count;
  in += (63 - count) >> 3;
  count |= 56;
  uint32_t e = token[bits & kTokenMask];  // the next token's entry
  unsigned u = used[bits & kTokenMask];   // ... and its lowest 7 bits
  // A literal or whole copy: at most 19 bits, 31 bytes. Both kinds of token
  // are inlined whatever the compiler's measure of this function's size:
  // the loop's state must stay in registers.
  auto wholeToken = [&]() __attribute__((always_inline)) {
    const uint32_t t = e;
    const unsigned field = static_cast<unsigned>(bits >> ((t >> 8) & 63)) & fieldMask;
    bits >>= u;
    count -= u;
    e = token[bits & kTokenMask];
    u = used[bits & kTokenMask];
    const int32_t value = static_cast<int32_t>(t) >> kWholeValueShift;
    const unsigned length = (t >> kWholeLengthShift) & 31;
    const unsigned distance = static_cast<unsigned>(value) + field;
    if (__builtin_expect(distance >= 16, 1)) {
      const unsigned char *src = out - distance;
      memcpy(out, src, 16);
      memcpy(out + 16, src + 16, 16);
      out[t & kTokenCopy] = static_cast<unsigned char>(value);
    } else {
      copyMatchFast(out, distance, length);
    }
    out += length;
  };
  // Any other token: at most 30 bits. True for the end-of-stream code.
  auto slowToken = [&]() __attribute__((always_inline)) {
    if (!(e & kTokenLong)) {
      unsigned length = (e >> kTokenValueShift) & 0xFFF;
      bits >>= e & 63;
      count -= e & 63;
      const DistanceEntry &de = distanceTable[(bits & 0xFF) | (e & kTokenLength2)];
      unsigned distance = de.base + static_cast<unsigned>((bits >> de.codeBits) & de.lowMask);
      bits >>= de.totalBits;
      count -= de.totalBits;
      e = token[bits & kTokenMask];
      u = used[bits & kTokenMask];
      copySlowFast(out, distance, length);
      out += length;
    } else if (!(e & kTokenCopy)) {
      e = kFast.literalLong[((e >> kTokenValueShift) & 0xFFF) + ((bits >> kTokenBits) & 3)];
      *out++ = static_cast<unsigned char>(e >> kWholeValueShift);
      bits >>= e & 63;
      count -= e;
      e = token[bits & kTokenMask];
      u = used[bits & kTokenMask];
    } else {
      bits >>= e & 63;
      count -= e & 63;
      unsigned extra = (e >> 8) & 15;
      unsigned length = ((e >> kTokenValueShift) & 0xFFF) + static_cast<unsigned>(bits & ((1u << extra) - 1));
      bits >>= extra;
      count -= extra;
      if (length == kEndOfStreamLength) return true;
      const DistanceEntry &de = distanceTable[bits & 0xFF];
      unsigned distance = de.base + static_cast<unsigned>((bits >> de.codeBits) & de.lowMask);
      bits >>= de.totalBits;
      count -= de.totalBits;
      e = token[bits & kTokenMask];
      u = used[bits & kTokenMask];
      copySlowFast(out, distance, length);
      out += length;
    }
    return false;
  };
  for (;;) {
    if (__builtin_expect(!(u & kTokenSlow), 1)) {
      wholeToken();
      if (__builtin_expect(!(u & kTokenSlow), 1)) {
        wholeToken();
      } else if (slowToken()) {
        ended = true;
        break;
      }
    } else {
      if (slowToken()) {
        ended = true;
        break;
      }
      if (__builtin_expect(!(u & kTokenSlow), 1)) wholeToken();
    }
    // The window's slack holds what a round writes past position 8191: a
    // copy of up to 518 bytes and up to 63 spare ones, or a whole token's 32
    // and the spare byte it stores 128 bytes on.
    if (__builtin_expect(out >= flushAt, 0)) {
      s->outputPos = static_cast<uint32_t>(out - s->window);
      flushWindow(s);
      out = s->window + s->outputPos;
    }
    if (__builtin_expect(in > inLast, 0)) break;
    bits |= load64le(in) << (count & 63);
    in += (~count >> 3) & 7;  // the whole bytes that fit above the count
    count |= 56;
  }

  // In one round the end code can follow a token that filled the block:
  // the block goes out before the stream's end, as after every token.
  if (ended && out >= flushAt) {
    s->outputPos = static_cast<uint32_t>(out - s->window);
    flushWindow(s);
    out = s->window + s->outputPos;
  }
  count &= 63;
  if (count < 8) {
    bits |= static_cast<uint64_t>(*in++) << count;
    count += 8;
  }
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
