// Implode encoder: match finder, cost-based parser and bit writer.
//
// Input flows through one buffer laid out as
//   [history: 4096..8191 bytes][parse block: up to kImplodeBlockSize][lookahead]
// Positions are buffer indices. After each block the buffer slides down by a
// multiple of 4096 so that at least 4096 bytes of history stay in front of
// the next block; the match finder's tables are shifted by the same amount.
//
// For every position of a block the match finder records
//   - the nearest earlier occurrence of the next two bytes, when it lies
//     within 256 bytes (the only distances a length-2 copy can code), and
//   - from the hash chain of the next three bytes, in order of increasing
//     distance, each candidate that is longer than every nearer one.
// Because the distance code is never shorter for a larger distance, the
//   candidate recorded first for a length is the cheapest copy of that
//   length, so the parser can price every length 2..longest exactly.
// The parser is a shortest path over the block's positions, weighted with
// the exact bit count of each token.
#include <string.h>

#include <algorithm>
#include <memory>

#include "dcl_codes.h"
#include "implode.h"

using namespace dclcodes;

namespace {

constexpr int kMaxCopy = 518;       // length 519 is the end-of-stream code
constexpr int kMaxPair = 256;       // farthest length-2 copy
constexpr int kHistory = 4096;      // the largest window; buffer slides in these steps
constexpr int kLookahead = 16;      // bytes kept past a block end, for hashing its last positions
constexpr int kSlack = 16;          // readable bytes past the data, for 8-byte compares
constexpr int kHashBits = 15;
constexpr int32_t kNil = INT32_MIN / 2;  // "no position": farther back than any window
constexpr uint32_t kInfinite = UINT32_MAX;
constexpr int kBlock = static_cast<int>(kImplodeBlockSize);
constexpr int kDataCapacity = 2 * kHistory + kBlock + kLookahead;
constexpr size_t kOutBuffer = 64 * 1024;

enum Coding { kBinary = 0, kAscii = 1 };

// What a token costs and how it is written. Code values have their first
// stream bit in bit 0, so fields are joined by shifting the later ones up.
struct Codes {
  // Copy flag, length code and extra bits, by length (2..518).
  uint32_t lengthValue[kMaxCopy + 1];
  uint8_t lengthBits[kMaxCopy + 1];
  // Literal flag and literal, by coding and byte.
  uint16_t literalValue[2][256];
  uint8_t literalBits[2][256];
  // Distance high part code and its bits, by high part.
  uint8_t distanceBits[kDistanceSymbols];
};

constexpr Codes buildCodes() {
  Codes c{};
  for (int i = 0; i < kLengthSymbols; ++i) {
    int extras = 1 << lengthExtraBits[i];
    for (int x = 0; x < extras; ++x) {
      int length = lengthBase[i] + x + 2;
      if (length > kMaxCopy) break;
      c.lengthValue[length] = 1u | (static_cast<uint32_t>(lengthCodes.value[i]) | static_cast<uint32_t>(x) << lengthCodeBits[i]) << 1;
      c.lengthBits[length] = static_cast<uint8_t>(1 + lengthCodeBits[i] + lengthExtraBits[i]);
    }
  }
  for (int b = 0; b < 256; ++b) {
    c.literalValue[kBinary][b] = static_cast<uint16_t>(b << 1);
    c.literalBits[kBinary][b] = 9;
    c.literalValue[kAscii][b] = static_cast<uint16_t>(literalCodes.value[b] << 1);
    c.literalBits[kAscii][b] = static_cast<uint8_t>(1 + literalCodeBits[b]);
  }
  for (int h = 0; h < kDistanceSymbols; ++h) c.distanceBits[h] = distanceCodeBits[h];
  return c;
}

constexpr Codes kCodes = buildCodes();
// Flag 1, length index 15 (seven 0 bits), extra value 255.
constexpr uint32_t kEndValue = 1u | 255u << 8;
constexpr int kEndBits = 16;
static_assert(kCodes.lengthBits[kMaxCopy] == 16 && kCodes.lengthBits[2] == 4 && kCodes.lengthBits[3] == 3,
              "length code costs");

struct Match {
  uint16_t length;
  uint16_t distance;
};

enum PositionKind : uint8_t {
  kNormal = 0,  // literal, length-2 copy and the recorded matches
  kGreedy = 1,  // one long match, taken as it is
  kCovered = 2, // inside a greedy match: not a token boundary
};

// Bits, least significant first, into a buffer that goes to the sink in
// large writes.
class BitWriter {
 public:
  explicit BitWriter(ByteSink *sink) : sink_(sink) { buffer_.reserve(kOutBuffer + 8); }
  void put(uint32_t value, int n) {
    acc_ |= static_cast<uint64_t>(value) << count_;
    count_ += n;
    if (count_ >= 32) {
      unsigned char b[4] = {static_cast<unsigned char>(acc_), static_cast<unsigned char>(acc_ >> 8),
                            static_cast<unsigned char>(acc_ >> 16), static_cast<unsigned char>(acc_ >> 24)};
      buffer_.insert(buffer_.end(), b, b + 4);
      acc_ >>= 32;
      count_ -= 32;
      if (buffer_.size() >= kOutBuffer) flush();
    }
  }
  // Pads with zero bits to a byte boundary, appends `extra` zero bytes and
  // hands everything to the sink.
  bool finish(int extra) {
    while (count_ > 0) {
      buffer_.push_back(static_cast<unsigned char>(acc_));
      acc_ >>= 8;
      count_ = count_ > 8 ? count_ - 8 : 0;
    }
    buffer_.insert(buffer_.end(), static_cast<size_t>(extra), 0);
    flush();
    return ok_;
  }
  uint64_t bytesWritten() const { return written_; }

 private:
  void flush() {
    if (!buffer_.empty() && ok_) ok_ = sink_->write(buffer_.data(), buffer_.size());
    written_ += buffer_.size();
    buffer_.clear();
  }
  ByteSink *sink_;
  std::vector<unsigned char> buffer_;
  uint64_t acc_ = 0;
  int count_ = 0;
  bool ok_ = true;
  uint64_t written_ = 0;
};

// Shortest-path state for one block and one literal coding.
struct ParseSpace {
  std::vector<uint32_t> price;      // bits from the block start to each position
  std::vector<uint16_t> fromLength;  // the token that ends at the position: 1 literal, else copy length
  std::vector<uint16_t> fromDistance;
  ParseSpace() : price(kBlock + 1), fromLength(kBlock + 1), fromDistance(kBlock + 1) {}
};

struct PassResult {
  uint64_t bits[2] = {0, 0};  // token bits of each coding measured
  bool measured[2] = {false, false};
  Coding written = kBinary;
  uint64_t inputBytes = 0;
  uint64_t outputBytes = 0;
  uint64_t literals = 0;
  uint64_t copies = 0;
  bool readFailed = false;
  bool writeFailed = false;
};

class Encoder {
 public:
  Encoder(int dictBits, const ImplodeOptions &options)
      : dictBits_(dictBits),
        window_(64 << dictBits),
        chainDepth_(std::max(1, options.chainDepth)),
        niceLength_(std::min(kMaxCopy, std::max(3, options.niceLength))),
        trace_(options.tokenTrace),
        buf_(kDataCapacity + kSlack),
        head_(1u << kHashBits),
        prev_(kHistory),
        pairLast_(1u << 16),
        matchStart_(kBlock + 1),
        pairDistance_(kBlock),
        kind_(kBlock) {
    matches_.reserve(kBlock * 2);
    for (int d = 1; d <= kHistory; ++d) {
      int h = (d - 1) >> dictBits;
      farDistanceBits_[d] = static_cast<uint8_t>(h < kDistanceSymbols ? distanceCodeBits[h] + dictBits : 0);
    }
    for (int d = 1; d <= kMaxPair; ++d)
      pairDistanceBits_[d] = static_cast<uint8_t>(distanceCodeBits[(d - 1) >> 2] + 2);
  }

  // Reads the whole input once. `coding` is written; with `guess`, the
  // coding written is instead the cheaper one on the first block, and both
  // are measured throughout.
  bool pass(ByteSource &in, ByteSink &out, Coding coding, bool guess, PassResult &result);

 private:
  void resetTables() {
    std::fill(head_.begin(), head_.end(), kNil);
    std::fill(prev_.begin(), prev_.end(), kNil);
    std::fill(pairLast_.begin(), pairLast_.end(), kNil);
  }
  void slideTables(int32_t shift) {
    auto down = [shift](std::vector<int32_t> &v) {
      for (int32_t &p : v) p = p - shift < kNil ? kNil : p - shift;
    };
    down(head_);
    down(prev_);
    down(pairLast_);
  }
  uint32_t hash3(int p) const {
    uint32_t v = buf_[p] | buf_[p + 1] << 8 | buf_[p + 2] << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
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
  // Adds position p to the pair table and the hash chains; returns the
  // nearest earlier occurrence of the pair and the chain head before p.
  void insert(int p, int avail, int32_t *pairAt, int32_t *chainAt) {
    if (p + 1 >= avail) return;
    uint32_t pair = buf_[p] | buf_[p + 1] << 8;
    if (pairAt) *pairAt = pairLast_[pair];
    pairLast_[pair] = p;
    if (p + 2 >= avail) return;
    uint32_t h = hash3(p);
    if (chainAt) *chainAt = head_[h];
    prev_[p & (kHistory - 1)] = head_[h];
    head_[h] = p;
  }
  void findMatches(int start, int end, int avail);
  void parse(int start, int n, Coding coding, ParseSpace &space) const;
  void emit(int start, int n, Coding coding, ParseSpace &space, BitWriter &writer, PassResult &result);

  int dictBits_;
  int window_;
  int chainDepth_;
  int niceLength_;
  const std::function<void(unsigned, unsigned)> &trace_;
  std::vector<unsigned char> buf_;
  std::vector<int32_t> head_;      // hash of 3 bytes -> latest position
  std::vector<int32_t> prev_;      // position mod 4096 -> previous position with the same hash
  std::vector<int32_t> pairLast_;  // 2 bytes -> latest position
  // The block's candidates: matches_[matchStart_[o] .. matchStart_[o + 1]).
  std::vector<uint32_t> matchStart_;
  std::vector<Match> matches_;
  std::vector<uint16_t> pairDistance_;  // 0: no length-2 copy
  std::vector<uint8_t> kind_;
  ParseSpace spaces_[2];
  std::vector<uint32_t> tokens_;
  uint8_t farDistanceBits_[kHistory + 1] = {};
  uint8_t pairDistanceBits_[kMaxPair + 1] = {};
};

void Encoder::findMatches(int start, int end, int avail) {
  matches_.clear();
  const int n = end - start;
  int o = 0;
  while (o < n) {
    const int p = start + o;
    const int limit = std::min(kMaxCopy, end - p);
    int32_t pairAt = kNil, cand = kNil;
    insert(p, avail, &pairAt, &cand);
    matchStart_[o] = static_cast<uint32_t>(matches_.size());
    kind_[o] = kNormal;
    pairDistance_[o] = (limit >= 2 && p - pairAt <= kMaxPair) ? static_cast<uint16_t>(p - pairAt) : 0;
    if (limit < 3) {
      ++o;
      continue;
    }
    int best = 2;
    int depth = chainDepth_;
    const size_t first = matches_.size();
    while (p - cand <= window_) {
      if (buf_[cand + best] == buf_[p + best] && buf_[cand] == buf_[p] && buf_[cand + 1] == buf_[p + 1]) {
        int len = matchLength(cand, p, limit);
        if (len > best) {
          best = len;
          matches_.push_back(Match{static_cast<uint16_t>(len), static_cast<uint16_t>(p - cand)});
          if (len >= limit || len >= niceLength_) break;
        }
      }
      if (--depth == 0) break;
      int32_t next = prev_[cand & (kHistory - 1)];
      if (next >= cand) break;  // the slot was reused: the rest of the chain is out of reach
      cand = next;
    }
    if (best >= niceLength_) {
      // Take the long match as it is and skip the positions it covers.
      Match m = matches_.back();
      matches_.resize(first);
      matches_.push_back(m);
      kind_[o] = kGreedy;
      for (int j = 1; j < best; ++j) {
        insert(p + j, avail, nullptr, nullptr);
        matchStart_[o + j] = static_cast<uint32_t>(matches_.size());
        kind_[o + j] = kCovered;
        pairDistance_[o + j] = 0;
      }
      o += best;
      continue;
    }
    ++o;
  }
  matchStart_[n] = static_cast<uint32_t>(matches_.size());
}

void Encoder::parse(int start, int n, Coding coding, ParseSpace &space) const {
  uint32_t *price = space.price.data();
  uint16_t *fromLength = space.fromLength.data();
  uint16_t *fromDistance = space.fromDistance.data();
  const uint8_t *literalBits = kCodes.literalBits[coding];
  const uint8_t *lengthBits = kCodes.lengthBits;
  price[0] = 0;
  std::fill(price + 1, price + n + 1, kInfinite);
  auto relax = [&](int to, uint32_t cost, int length, int distance) {
    if (cost < price[to]) {
      price[to] = cost;
      fromLength[to] = static_cast<uint16_t>(length);
      fromDistance[to] = static_cast<uint16_t>(distance);
    }
  };
  for (int o = 0; o < n; ++o) {
    const uint8_t kind = kind_[o];
    if (kind == kCovered) continue;
    const uint32_t here = price[o];
    const Match *m = matches_.data() + matchStart_[o];
    const Match *mEnd = matches_.data() + matchStart_[o + 1];
    if (kind == kGreedy) {
      relax(o + m->length, here + lengthBits[m->length] + farDistanceBits_[m->distance], m->length, m->distance);
      continue;
    }
    relax(o + 1, here + literalBits[buf_[start + o]], 1, 0);
    if (pairDistance_[o]) relax(o + 2, here + lengthBits[2] + pairDistanceBits_[pairDistance_[o]], 2, pairDistance_[o]);
    int length = 3;
    for (; m != mEnd; ++m) {
      const uint32_t base = here + farDistanceBits_[m->distance];
      const int distance = m->distance;
      for (; length <= m->length; ++length) {
        uint32_t cost = base + lengthBits[length];
        if (cost < price[o + length]) {
          price[o + length] = cost;
          fromLength[o + length] = static_cast<uint16_t>(length);
          fromDistance[o + length] = static_cast<uint16_t>(distance);
        }
      }
    }
  }
}

void Encoder::emit(int start, int n, Coding coding, ParseSpace &space, BitWriter &writer, PassResult &result) {
  tokens_.clear();
  for (int o = n; o > 0;) {
    int length = space.fromLength[o];
    tokens_.push_back(static_cast<uint32_t>(length) << 16 | space.fromDistance[o]);
    o -= length;
  }
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
  BitWriter writer(&out);
  bool headerWritten = false;
  auto writeHeader = [&](Coding c) {
    writer.put(static_cast<uint32_t>(c) | static_cast<uint32_t>(dictBits_) << 8, 16);
    result.written = c;
    headerWritten = true;
  };
  if (!guess) writeHeader(coding);

  int avail = 0;  // bytes in buf_
  int pos = 0;    // next position to parse
  bool eof = false;
  for (;;) {
    while (!eof && avail < kDataCapacity) {
      size_t got = in.read(buf_.data() + avail, static_cast<size_t>(kDataCapacity - avail));
      if (got == 0) {
        eof = true;
        if (in.failed()) {
          result.readFailed = true;
          return false;
        }
      }
      avail += static_cast<int>(got);
    }
    const int end = std::min(pos + kBlock, eof ? avail : avail - kLookahead);
    if (end > pos) {
      const int n = end - pos;
      findMatches(pos, end, avail);
      if (guess) {
        parse(pos, n, kBinary, spaces_[kBinary]);
        parse(pos, n, kAscii, spaces_[kAscii]);
        result.bits[kBinary] += spaces_[kBinary].price[n];
        result.bits[kAscii] += spaces_[kAscii].price[n];
        result.measured[kBinary] = result.measured[kAscii] = true;
        if (!headerWritten) writeHeader(spaces_[kAscii].price[n] < spaces_[kBinary].price[n] ? kAscii : kBinary);
      } else {
        parse(pos, n, coding, spaces_[coding]);
        result.bits[coding] += spaces_[coding].price[n];
        result.measured[coding] = true;
      }
      emit(pos, n, result.written, spaces_[result.written], writer, result);
      result.inputBytes += static_cast<uint64_t>(n);
      pos = end;
    }
    if (eof && pos == avail) break;
    if (pos >= 2 * kHistory) {
      const int shift = (pos - kHistory) & ~(kHistory - 1);
      memmove(buf_.data(), buf_.data() + shift, static_cast<size_t>(avail - shift));
      avail -= shift;
      pos -= shift;
      slideTables(shift);
    }
  }
  if (!headerWritten) writeHeader(coding);
  writer.put(kEndValue, kEndBits);
  // A stream of 4 bytes (the empty input) gets one more byte: the decoder
  // rejects a first read of 4 bytes or fewer.
  const uint64_t bits = 16 + result.bits[result.written] + kEndBits;
  const int extra = (bits + 7) / 8 <= 4 ? 1 : 0;
  if (!writer.finish(extra)) result.writeFailed = true;
  result.outputBytes = writer.bytesWritten();
  return !result.writeFailed;
}

}  // namespace

bool implodeStream(ImplodeMode mode, int dictBits, ByteSource &in, ByteSink &out, ImplodeStats *stats,
                   const ImplodeOptions &options) {
  if (dictBits < 4 || dictBits > 6) return false;
  std::unique_ptr<Encoder> encoder(new Encoder(dictBits, options));
  PassResult result;
  int passes = 1;
  bool settled = true;
  bool ok;
  if (mode == ImplodeMode::Auto) {
    ok = encoder->pass(in, out, kBinary, true, result);
    const Coding best = result.bits[kAscii] < result.bits[kBinary] ? kAscii : kBinary;
    if (ok && best != result.written) {
      if (in.rewind() && out.restart()) {
        PassResult second;
        ok = encoder->pass(in, out, best, false, second);
        // The second pass measures only the coding it writes.
        const Coding other = best == kAscii ? kBinary : kAscii;
        second.bits[other] = result.bits[other];
        second.measured[other] = true;
        result = second;
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
    stats->binaryBits = result.measured[kBinary] || mode == ImplodeMode::Auto ? 32 + result.bits[kBinary] : 0;
    stats->asciiBits = result.measured[kAscii] || mode == ImplodeMode::Auto ? 32 + result.bits[kAscii] : 0;
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
