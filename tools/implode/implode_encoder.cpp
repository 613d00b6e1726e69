// Implode encoder: match finder, cost-based parser and bit writer.
//
// Input flows through one buffer laid out as
//   [history: 4096..8191 bytes][parse block: up to kImplodeBlockSize][lookahead]
// Positions in it are buffer indices. After each block the buffer slides
// down by a multiple of 4096, so that at least 4096 bytes of history stay in
// front of the next block.
//
// The match finder keeps, for the bytes at each position: the latest
// earlier position of the same two bytes, of the same three and of the same
// four (one entry per hash), and a hash chain of all positions with the same
// six. Positions are stored by their low 16 bits (see bufferStart_), so sliding the
// buffer touches no table. parseBlock() describes how the candidates become
// a parse; emit() writes it.
#include <string.h>

#include <algorithm>
#include <memory>

#include "implode_pass.h"

using namespace implodepass;

namespace {

constexpr int kLookahead = 16;      // bytes kept past a block end, for hashing its last positions
constexpr int kSlack = 16;          // readable bytes past the data, for 8-byte compares
constexpr int kTripleBits = 14;     // table of the latest position by 3 bytes
constexpr int kQuadBits = 14;       // ... by 4 bytes
constexpr int kChainBits = 15;      // hash chain heads, by kChainMin bytes
constexpr int kChainMin = 6;
constexpr int kSearchTail = 4;      // positions searched at the end of a skipped match
constexpr int32_t kInfinite = INT32_MAX / 2;  // no path yet; sums with it cannot overflow
constexpr int kBlock = static_cast<int>(kImplodeBlockSize);
constexpr int kDataCapacity = 2 * kHistory + kBlock + kLookahead;

class Encoder : public PassEncoder {
 public:
  Encoder(int dictBits, const ImplodeOptions &options)
      : dictBits_(dictBits),
        window_(64 << dictBits),
        chainDepth_(std::max(1, options.chainDepth)),
        niceLength_(std::min(kMaxCopy, std::max(4, options.niceLength))),
        skipLength_(std::max(kSearchTail + 3, options.skipLength)),
        trace_(options.tokenTrace),
        buf_(kDataCapacity + kSlack) {
    for (int length = 2; length <= kMaxCopy; ++length)
      pairedLengthBits_[2 * length] = pairedLengthBits_[2 * length + 1] = kCodes.lengthBits[length];
    for (int d = 1; d <= kHistory; ++d) {
      int h = (d - 1) >> dictBits;
      farDistanceBits_[d] = static_cast<uint8_t>(h < kDistanceSymbols ? distanceCodeBits[h] + dictBits : 0);
    }
    for (int d = 1; d <= kMaxPair; ++d)
      pairDistanceBits_[d] = static_cast<uint8_t>(distanceCodeBits[(d - 1) >> 2] + 2);
  }

  // The guess is made on the first block.
  bool pass(ByteSource &in, ByteSink &out, Coding coding, bool guess, PassResult &result) override;

 private:
  void resetTables() {
    memset(pairLast_.get(), 0, sizeof(uint16_t) << 16);
    memset(tripleLast_.get(), 0, sizeof(uint16_t) << kTripleBits);
    memset(head_.get(), 0, sizeof(uint16_t) << kChainBits);
    memset(quadLast_.get(), 0, sizeof(uint16_t) << kQuadBits);
    memset(prev_.get(), 0, sizeof(uint16_t) * kHistory);
    bufferStart_ = 0;
  }
  int matchLength(int a, int b, int limit) const {
    const unsigned char *x = buf_.data() + a;
    const unsigned char *y = buf_.data() + b;
    int n = 0;
    while (n + 8 <= limit) {
      uint64_t u, v;
      memcpy(&u, x + n, 8);
      memcpy(&v, y + n, 8);
      if (u != v) return n + (__builtin_ctzll(u ^ v) >> 3);
      n += 8;
    }
    while (n < limit && x[n] == y[n]) ++n;
    return n;
  }
  __attribute__((noinline)) void parseBlock(int start, int end, int avail);
  __attribute__((noinline)) void emit(int start, int n, Coding coding, BitWriter &writer, PassResult &result);

  int dictBits_;
  int window_;
  int chainDepth_;
  int niceLength_;
  int skipLength_;
  const std::function<void(unsigned, unsigned)> &trace_;
  std::vector<unsigned char> buf_;
  // Input position of buf_[0], modulo 2^32. The tables keep positions by
  // the low 16 bits of their input position (a slide of the buffer changes
  // nothing in them): every candidate that comes out of them is taken only
  // when it lies in the window and is checked against the data, so a stale
  // entry costs a compare at most, and small entries stay in the cache.
  uint32_t bufferStart_ = 0;
  std::unique_ptr<uint16_t[]> pairLast_{new uint16_t[1u << 16]};             // 2 bytes -> latest position
  std::unique_ptr<uint16_t[]> tripleLast_{new uint16_t[1u << kTripleBits]};  // hash of 3 bytes -> latest position
  std::unique_ptr<uint16_t[]> quadLast_{new uint16_t[1u << kQuadBits]};
  std::unique_ptr<uint16_t[]> head_{new uint16_t[1u << kChainBits]};         // hash of 4 bytes -> latest position
  std::unique_ptr<uint16_t[]> prev_{new uint16_t[kHistory]};  // position mod 4096 -> previous one with the same 4-byte hash
  // The parse, both codings interleaved (see parseBlock()), with 4 lanes of
  // slack past the block end for the vector operations.
  std::vector<int32_t> price_;
  std::vector<uint32_t> from_;  // length << 16 | distance; length 1: a literal
  std::vector<uint32_t> tokens_;
  int32_t pairedLengthBits_[2 * (kMaxCopy + 2)] = {};  // each length's bits, twice
  uint8_t farDistanceBits_[kHistory + 1] = {};
  uint8_t pairDistanceBits_[kMaxPair + 1] = {};
};

// Finds the copies at every position of the block and takes the cheapest
// path through it, for both literal codings in one sweep: price_[2 * t + c]
// is the fewest bits that code the block's first t bytes with coding c,
// from_[2 * t + c] the last token of that path.
//
// At each position the candidates come nearest first: the latest occurrence
// of the next two bytes (a length-2 copy when it lies within 256 bytes), the
// latest of the next three and of the next four, then the hash chain of the
// next six. Each candidate that is longer than every nearer one prices the
// lengths it adds with its own distance; as a larger distance never has a
// shorter code, that is the cheapest copy of each length (short of what the
// single-entry tables and the chain depth miss). Two cut-offs bound the
// work: a match of niceLength_ or more is taken as it is, the positions it
// covers not parsed; after a match of skipLength_ or more, all its lengths
// are priced but only its last kSearchTail positions are searched.
//
// The two codings differ only in what literals cost, so every copy is
// priced for both at once, two lengths per 4-lane vector operation; nothing
// branches on the outcome of a comparison of prices, which is unpredictable.
void Encoder::parseBlock(int start, int end, int avail) {
  const int n = end - start;
  // Sized by the largest block so far: short inputs need little.
  if (price_.size() < 2 * static_cast<size_t>(n) + 6) {
    price_.resize(2 * static_cast<size_t>(n) + 6);
    from_.resize(2 * static_cast<size_t>(n) + 6);
  }
  // Everything the loop uses, in locals: the compiler cannot tell that the
  // stores into the parse leave the members alone.
  int32_t *const price = price_.data();
  uint32_t *const from = from_.data();
  const unsigned char *const data = buf_.data();
  uint16_t *const pairLast = pairLast_.get();
  uint16_t *const tripleLast = tripleLast_.get();
  uint16_t *const quadLast = quadLast_.get();
  uint16_t *const head = head_.get();
  uint16_t *const prev = prev_.get();
  const uint8_t *const literal0 = kCodes.literalBits[kBinary];
  const uint8_t *const literal1 = kCodes.literalBits[kAscii];
  const uint8_t *const farBits = farDistanceBits_;
  const uint8_t *const pairBits = pairDistanceBits_;
  const int32_t *const pairedLengthBits = pairedLengthBits_;
  const int window = window_;
  const int nice = niceLength_;
  const int skip = skipLength_;
  const int chainDepth = chainDepth_;
  const uint32_t tagBase = bufferStart_;
  auto tagOf = [tagBase](int p) { return static_cast<uint16_t>(tagBase + static_cast<uint32_t>(p)); };
  auto load32 = [data](int p) {
    uint32_t v;
    memcpy(&v, data + p, 4);
    return v;
  };
  std::fill(price + 2, price + 2 * n + 2, kInfinite);
  price[0] = price[1] = 0;

  // Adds position p to the tables: the latest position of its first two
  // bytes, of (a hash of) its first three and four, and the hash chain of
  // its first kChainMin. Returns, through `back`, how far back each table
  // pointed before (pair, triple, quad, chain; 0: nowhere).
  auto insert = [&](int p, int *back) {
    if (p + 1 >= avail) return;
    const uint16_t at = tagOf(p);
    uint16_t pair;
    memcpy(&pair, data + p, 2);
    back[0] = static_cast<uint16_t>(at - pairLast[pair]);
    pairLast[pair] = at;
    if (p + 2 >= avail) return;
    const uint32_t v = load32(p);
    const uint32_t h3 = ((v & 0xFFFFFF) * 2654435761u) >> (32 - kTripleBits);
    back[1] = static_cast<uint16_t>(at - tripleLast[h3]);
    tripleLast[h3] = at;
    if (p + 3 >= avail) return;
    const uint32_t h4 = (v * 2654435761u) >> (32 - kQuadBits);
    back[2] = static_cast<uint16_t>(at - quadLast[h4]);
    quadLast[h4] = at;
    if (p + kChainMin - 1 >= avail) return;
    uint64_t w;
    memcpy(&w, data + p, 8);
    const uint32_t hc = static_cast<uint32_t>(((w << (64 - 8 * kChainMin)) * 0x9E3779B97F4A7C15ull) >> (64 - kChainBits));
    back[3] = static_cast<uint16_t>(at - head[hc]);
    prev[at & (kHistory - 1)] = head[hc];
    head[hc] = at;
  };
  auto relax = [price, from](int to, int32_t cost0, int32_t cost1, uint32_t token) {
    int32_t *p = price + 2 * to;
    uint32_t *f = from + 2 * to;
    // All-ones where the new cost is lower: masks, not branches.
    const uint32_t better0 = 0u - (cost0 < p[0]), better1 = 0u - (cost1 < p[1]);
    p[0] ^= (p[0] ^ cost0) & static_cast<int32_t>(better0);
    f[0] ^= (f[0] ^ token) & better0;
    p[1] ^= (p[1] ^ cost1) & static_cast<int32_t>(better1);
    f[1] ^= (f[1] ^ token) & better1;
  };
  // Copies of lengths first..last at distance d from position o.
  auto relaxLengths = [&](int o, int first, int last, int d) {
    const int32_t here0 = price[2 * o] + farBits[d];
    const int32_t here1 = price[2 * o + 1] + farBits[d];
    const V4 base = {here0, here1, here0, here1};
    V4 token = {first << 16 | d, first << 16 | d, (first + 1) << 16 | d, (first + 1) << 16 | d};
    const V4 step = {2 << 16, 2 << 16, 2 << 16, 2 << 16};
    const int32_t lastToken = last << 16 | d;
    const V4 lastTokens = {lastToken, lastToken, lastToken, lastToken};
    // Pairs of lengths; of a last odd one, the upper two lanes are masked off.
    for (int length = first; length <= last; length += 2, token += step) {
      V4 cost, old, oldFrom;
      memcpy(&cost, pairedLengthBits + 2 * length, sizeof cost);
      cost += base;
      memcpy(&old, price + 2 * (o + length), sizeof old);
      memcpy(&oldFrom, from + 2 * (o + length), sizeof oldFrom);
      const V4 better = (cost < old) & (token <= lastTokens);
      old ^= (old ^ cost) & better;
      oldFrom ^= (oldFrom ^ token) & better;
      memcpy(price + 2 * (o + length), &old, sizeof old);
      memcpy(from + 2 * (o + length), &oldFrom, sizeof oldFrom);
    }
  };

  int o = 0;
  while (o < n) {
    const int p = start + o;
    const int limit = std::min(kMaxCopy, end - p);
    int back[4] = {0, 0, 0, 0};
    insert(p, back);
    const int32_t here0 = price[2 * o], here1 = price[2 * o + 1];
    relax(o + 1, here0 + literal0[data[p]], here1 + literal1[data[p]], 1u << 16);
    if (limit < 2) break;
    {
      // A length-2 copy when the pair lies within 256 bytes, else priced out
      // of reach. Computed without branches: whether there is one is
      // anybody's guess.
      const int inReach = static_cast<unsigned>(back[0] - 1) < static_cast<unsigned>(kMaxPair);
      const int d = back[0] & -inReach;  // 0 (a harmless look at p itself) when out of reach
      uint16_t a, b;
      memcpy(&a, data + p - d, 2);
      memcpy(&b, data + p, 2);
      const int32_t ok = -(inReach & (a == b));
      const int32_t cost = kInfinite ^ ((kInfinite ^ (kCodes.lengthBits[2] + pairBits[d])) & ok);
      relax(o + 2, here0 + cost, here1 + cost, 2u << 16 | static_cast<uint32_t>(d));
    }
    if (limit < 3) {
      ++o;
      continue;
    }
    int best = 2;
    int bestDistance = 0;
    // The nearest copies of 3 and of 4 or more, if the tables still hold
    // them, then longer ones from the chain, nearest first. Whether the
    // first two are there is found without branches (0: a look at p itself).
    {
      const uint32_t here = load32(p);
      const int d3 = back[1] & -static_cast<int>(static_cast<unsigned>(back[1] - 1) < static_cast<unsigned>(window));
      const int d4 = back[2] & -static_cast<int>(static_cast<unsigned>(back[2] - 1) < static_cast<unsigned>(window));
      const bool has3 = (d3 != 0) & (((load32(p - d3) ^ here) & 0xFFFFFF) == 0);
      const bool has4 = (d4 != 0) & (d4 != d3) & (load32(p - d4) == here);
      if (has3 | has4) {
        if (has3) {
          best = matchLength(p - d3, p, limit);
          bestDistance = d3;
          if (best < nice) relaxLengths(o, 3, best, d3);
        }
        if (has4 && best < limit && best < nice) {
          const int len = matchLength(p - d4, p, limit);
          if (len > best) {
            if (len < nice) relaxLengths(o, best + 1, len, d4);
            best = len;
            bestDistance = d4;
          }
        }
      }
    }
    if (best < limit && best < nice && back[3] >= 1 && back[3] <= window) {
      const uint32_t head4 = load32(p);
      // A longer match must also agree on the 4 bytes that end at `best`.
      int tail = std::max(best - 3, 0);
      uint32_t tail4 = load32(p + tail);
      int cand = p - back[3];
      int depth = chainDepth;
      for (;;) {
        if (load32(cand + tail) == tail4 && load32(cand) == head4) {
          const int len = matchLength(cand, p, limit);
          if (len > best) {
            if (len < nice) relaxLengths(o, best + 1, len, p - cand);
            best = len;
            bestDistance = p - cand;
            if (len >= limit || len >= nice) break;
            tail = best - 3;
            tail4 = load32(p + tail);
          }
        }
        if (--depth == 0) break;
        const int step = static_cast<uint16_t>(tagOf(cand) - prev[cand & (kHistory - 1)]);
        cand -= step;
        if (step == 0 || p - cand > window) break;
      }
    }
    if (best >= skip && best < nice) {
      // Every length of this match is priced; the next token starts within
      // its last kSearchTail bytes or after it. The positions before those
      // are only entered in the tables.
      const int to = o + best - kSearchTail;
      for (int j = 1; o + j < to; ++j) insert(p + j, back);
      o = to;
      continue;
    }
    if (best >= nice) {
      // Take the long match as it is and skip the positions it covers.
      const int32_t cost = kCodes.lengthBits[best] + farBits[bestDistance];
      relax(o + best, here0 + cost, here1 + cost, static_cast<uint32_t>(best) << 16 | bestDistance);
      for (int j = 1; j < best; ++j) insert(p + j, back);
      o += best;
      continue;
    }
    ++o;
  }
}

void Encoder::emit(int start, int n, Coding coding, BitWriter &writer, PassResult &result) {
  tokens_.clear();
  for (int o = n; o > 0; o -= static_cast<int>(from_[2 * o + coding] >> 16)) tokens_.push_back(from_[2 * o + coding]);
  int o = 0;
  for (auto it = tokens_.rbegin(); it != tokens_.rend(); ++it) {
    const unsigned length = *it >> 16;
    const unsigned distance = *it & 0xFFFF;
    if (length == 1) {
      const unsigned char b = buf_[start + o];
      writer.put(kCodes.literalValue[coding][b], kCodes.literalBits[coding][b]);
      ++result.literals;
      if (trace_) trace_(1, 0);
    } else {
      writer.put(kCodes.lengthValue[length], kCodes.lengthBits[length]);
      const int low = length == 2 ? 2 : dictBits_;
      const unsigned h = (distance - 1) >> low;
      writer.put(distanceCodes.value[h] | ((distance - 1) & ((1u << low) - 1)) << distanceCodeBits[h],
                 distanceCodeBits[h] + low);
      ++result.copies;
      if (trace_) trace_(length, distance);
    }
    o += static_cast<int>(length);
  }
}

bool Encoder::pass(ByteSource &in, ByteSink &out, Coding coding, bool guess, PassResult &result) {
  resetTables();
  StreamFrame frame(out, result);
  BitWriter &writer = frame.writer;
  if (!guess) frame.writeHeader(coding, dictBits_);

  int avail = 0;  // bytes in buf_
  int pos = 0;    // next position to parse
  bool eof = false;
  for (;;) {
    if (!frame.fill(in, buf_.data(), kDataCapacity, avail, eof)) return false;
    const int end = std::min(pos + kBlock, eof ? avail : avail - kLookahead);
    if (end > pos) {
      const int n = end - pos;
      parseBlock(pos, end, avail);
      const uint32_t blockBits[2] = {static_cast<uint32_t>(price_[2 * n + kBinary]),
                                     static_cast<uint32_t>(price_[2 * n + kAscii])};
      if (!frame.headerWritten) frame.writeHeader(blockBits[kAscii] < blockBits[kBinary] ? kAscii : kBinary, dictBits_);
      result.bits[kBinary] += blockBits[kBinary];
      result.bits[kAscii] += blockBits[kAscii];
      emit(pos, n, result.written, writer, result);
      result.inputBytes += static_cast<uint64_t>(n);
      pos = end;
    }
    if (eof && pos == avail) break;
    if (pos >= 2 * kHistory) {
      const int shift = (pos - kHistory) & ~(kHistory - 1);
      memmove(buf_.data(), buf_.data() + shift, static_cast<size_t>(avail - shift));
      avail -= shift;
      pos -= shift;
      bufferStart_ += static_cast<uint32_t>(shift);
    }
  }
  if (!frame.headerWritten) frame.writeHeader(coding, dictBits_);
  return frame.finish();
}

}  // namespace

namespace implodepass {

std::unique_ptr<PassEncoder> makeDefaultEncoder(int dictBits, const ImplodeOptions &options) {
  return std::unique_ptr<PassEncoder>(new Encoder(dictBits, options));
}

}  // namespace implodepass

bool implodeStream(ImplodeMode mode, int dictBits, ByteSource &in, ByteSink &out, ImplodeStats *stats,
                   const ImplodeOptions &options) {
  if (dictBits < 4 || dictBits > 6) return false;
  std::unique_ptr<PassEncoder> encoder =
      options.best ? makeShortestPathEncoder(dictBits, options) : makeDefaultEncoder(dictBits, options);
  PassResult result;
  int passes = 1;
  bool settled = true;
  bool ok;
  if (mode == ImplodeMode::Auto) {
    ok = encoder->pass(in, out, kBinary, true, result);
    const Coding best = result.bits[kAscii] < result.bits[kBinary] ? kAscii : kBinary;
    if (ok && best != result.written) {
      if (in.rewind() && out.restart()) {
        result = PassResult();
        ok = encoder->pass(in, out, best, false, result);
        passes = 2;
      } else {
        settled = false;
      }
    }
  } else {
    ok = encoder->pass(in, out, mode == ImplodeMode::Ascii ? kAscii : kBinary, false, result);
  }
  if (stats) {
    *stats = ImplodeStats();
    stats->inputBytes = result.inputBytes;
    stats->outputBytes = result.outputBytes;
    stats->streamBits = 16 + result.bits[result.written] + kEndBits;
    stats->literals = result.literals;
    stats->copies = result.copies;
    stats->modeUsed = result.written == kAscii ? ImplodeMode::Ascii : ImplodeMode::Binary;
    stats->binaryBits = 16 + result.bits[kBinary] + kEndBits;
    stats->asciiBits = 16 + result.bits[kAscii] + kEndBits;
    stats->inputPasses = passes;
    stats->autoNotSettled = !settled;
  }
  return ok;
}

std::vector<unsigned char> implodeBuffer(ImplodeMode mode, int dictBits, const unsigned char *data, size_t size,
                                         ImplodeStats *stats, const ImplodeOptions &options) {
  std::vector<unsigned char> out;
  MemorySource source(data, size);
  VectorSink sink(out);
  if (!implodeStream(mode, dictBits, source, sink, stats, options)) out.clear();
  return out;
}
