// Shortest-path implode encoder: the smallest stream the format allows for
// a literal coding and a dictionary size.
//
// Every code of the format has a fixed length, so a parse costs the sum of
// its tokens' bits: a literal its coding's code, a copy the bits of its
// length (2 to 518) and of its distance (the distance code and k low bits,
// or 2 low bits for a copy of 2, which reaches 256 bytes). Take the input's
// positions as the nodes of a graph and the tokens as its edges: the
// cheapest path from the first position to the last is the smallest
// stream, as the header, the end-of-stream code and the padding to a whole
// byte add the same to every parse.
//
// A copy of length L is cheapest from the nearest distance at which L bytes
// match, as a longer distance never has a shorter code. A binary tree
// match finder gives exactly those: it keeps the window's positions ordered
// by the bytes that follow them, newer ones above older ones, so that for
// every length the nearest match at least that long lies on the path that
// inserts the current position. The latest earlier position of the same
// two bytes gives the copy of 2. Every length of every match is priced, for
// both literal codings at once; nothing is skipped.
//
// The long lengths come in classes of one cost: 16 to 23 bytes, 24 to 39,
// and so on up to 264 to 518. A match that covers a whole class at one
// distance offers every position of a range at one price; instead of
// pricing each of them, each class keeps its offers in a queue ordered by
// price (the cheapest of those still in reach in front), which a position
// consults when its turn comes. Runs and long repeats so cost a few steps
// per position instead of hundreds, and the parse is the same.
//
// The parse is decided as it goes, so memory stays bounded: once the
// positions below t are priced, the path's last node at or before t lies in
// the 518 positions up to t, and where the cheapest paths to all of those
// meet, the cheapest path to the end passes as well; what lies before that
// point is written out. Of two paths of equal cost the one through the
// later node is kept, which makes the paths meet soon even in long runs
// (were they never to meet, the undecided stretch would simply grow).
#include <string.h>

#include <algorithm>

#include "implode_pass.h"

using namespace implodepass;

namespace {

constexpr int kChunk = 64 * 1024;  // positions priced between two decisions
constexpr int kSlideStep = 8192;   // the buffer slides by multiples of this (twice the largest window)
constexpr int kSlack = 16;         // readable bytes past the data, for 8-byte compares
constexpr int kCapacity = kHistory + kSlideStep + kChunk + kMaxCopy;
constexpr int kHashBits = 16;      // tree roots, by a hash of 3 bytes
constexpr int32_t kNone = INT32_MIN / 2;      // no position; far below any window
constexpr int32_t kInfinite = INT32_MAX / 2;  // no path yet; sums with it cannot overflow
constexpr int kLanes = 4;                     // slack of the parse arrays for the vector moves

// The length classes of one cost that are wide enough to price as ranges.
constexpr int kWideClasses = 6;
constexpr int kWideFirst[kWideClasses] = {16, 24, 40, 72, 136, 264};
constexpr int kWideLast[kWideClasses] = {23, 39, 71, 135, 263, kMaxCopy};
constexpr int kRing = 1024;  // room for an offer from each of the last 518 positions

// An offer of a match that covers a wide class, in reach: from input
// position `source`, at `distance`, for `key` = the source's price plus
// the distance's bits.
struct Offer {
  int64_t source;
  int32_t key;
  int32_t distance;
};

// The offers of a class in reach, for one coding, in a ring: by source,
// and by key too, as an offer no cheaper than a later one is dropped.
struct OfferQueue {
  Offer item[kRing];
  unsigned head = 0, tail = 0;
};

// A token of the parse: length << 16 | distance for a copy, 1 << 16 | the
// byte for a literal.
inline unsigned tokenLength(uint32_t token) { return token >> 16; }

class ShortestPathEncoder : public PassEncoder {
 public:
  ShortestPathEncoder(int dictBits, const ImplodeOptions &options)
      : dictBits_(dictBits),
        window_(64 << dictBits),
        trace_(options.tokenTrace),
        buf_(kCapacity + kSlack),
        head_(1u << kHashBits),
        pairLast_(1u << 16),
        smaller_(2 * kHistory),
        larger_(2 * kHistory) {
    for (int length = 2; length <= kMaxCopy; ++length)
      pairedLengthBits_[2 * length] = pairedLengthBits_[2 * length + 1] = kCodes.lengthBits[length];
    for (int d = 1; d <= kHistory; ++d) {
      int h = (d - 1) >> dictBits;
      farDistanceBits_[d] = static_cast<uint8_t>(h < kDistanceSymbols ? distanceCodeBits[h] + dictBits : 0);
    }
    for (int d = 1; d <= kMaxPair; ++d)
      pairBits_[d] = kCodes.lengthBits[2] + distanceCodeBits[(d - 1) >> 2] + 2;
  }

  // The guess is made on the first 64 KiB.
  bool pass(ByteSource &in, ByteSink &out, Coding coding, bool guess, PassResult &result) override;

 private:
  void reset();
  void slide(int shift);
  void price(int p, int avail);
  int findMatches(int p, int limit, uint32_t *found);
  void noteLongest(int p, const uint32_t *found, int n) {
    lastMatchAt_ = p;
    lastMatchLength_ = n ? static_cast<int>(found[n - 1] >> 16) : 0;
    lastMatchDistance_ = n ? static_cast<int>(found[n - 1] & 0xFFFF) : 0;
  }
  void relaxLengths(int o, int first, int last, int distance);
  void makeRoom(int lastNode);
  void offerWide(int64_t source, int first, int last, int distance, int o);
  void settle(int o);
  int meetingPoint(int t, Coding coding);
  void emit(int to, Coding coding, BitWriter &writer, PassResult &result);
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

  const int dictBits_;
  const int window_;
  const std::function<void(unsigned, unsigned)> &trace_;
  std::vector<unsigned char> buf_;  // input; buf_[0] is input position bufferStart_
  int64_t bufferStart_ = 0;
  // The match finder, by buffer index (kNone: none). A tree per hash of 3
  // bytes; the children of a position lie in smaller_ and larger_ at the
  // position modulo twice the largest window, so that a slide by a multiple
  // of kSlideStep leaves them in place.
  std::vector<int32_t> head_;      // hash of 3 bytes -> the latest position, the tree's root
  std::vector<int32_t> pairLast_;  // 2 bytes -> their latest position
  std::vector<int32_t> smaller_;   // subtree of the positions whose bytes sort below
  std::vector<int32_t> larger_;    // ... and at or above
  int lastMatchAt_ = -1;           // the last position searched, by buffer index,
  int lastMatchLength_ = 0;        // and the longest match found there
  int lastMatchDistance_ = 0;
  // The parse of the undecided stretch, node i being input position
  // spanStart_ + i, both codings interleaved: price_[2 * i + c] the fewest
  // bits that code the input up to node i with coding c, from_[2 * i + c]
  // the last token of that path.
  std::vector<int32_t> price_;
  std::vector<uint32_t> from_;
  int64_t spanStart_ = 0;
  int64_t priceBase_[2] = {0, 0};  // what the prices leave out: the bits of the stream written
  int lastPriced_ = 0;             // the highest node any token reaches so far
  std::vector<uint8_t> marks_;   // meetingPoint()'s, all clear between calls
  // Wide classes: for each of the last kRing positions (by input position
  // modulo kRing) the distance at which its match covers each class (0:
  // none), and for each class and coding the offers in reach, cheapest in
  // front (of equal ones, the latest source).
  std::unique_ptr<uint16_t[][kWideClasses]> wideAt_{new uint16_t[kRing][kWideClasses]};
  std::unique_ptr<OfferQueue[]> inReach_{new OfferQueue[2 * kWideClasses]};
  int64_t lastWide_ = -kRing;  // the last position whose match covers a class
  int64_t lastWideOf_[kWideClasses] = {};  // ... that covers each class
  std::vector<uint32_t> tokens_;
  int32_t pairedLengthBits_[2 * (kMaxCopy + 2)] = {};  // each length's bits, twice
  uint8_t farDistanceBits_[kHistory + 1] = {};
  int32_t pairBits_[kMaxPair + 1] = {};  // a copy of 2, length and distance
};

void ShortestPathEncoder::reset() {
  std::fill(head_.begin(), head_.end(), kNone);
  std::fill(pairLast_.begin(), pairLast_.end(), kNone);
  std::fill(smaller_.begin(), smaller_.end(), kNone);
  std::fill(larger_.begin(), larger_.end(), kNone);
  lastMatchAt_ = -1;
  bufferStart_ = 0;
  spanStart_ = 0;
  priceBase_[0] = priceBase_[1] = 0;
  lastPriced_ = 0;
  memset(wideAt_.get(), 0, sizeof(uint16_t) * kRing * kWideClasses);
  for (int j = 0; j < 2 * kWideClasses; ++j) inReach_[j].head = inReach_[j].tail = 0;
  lastWide_ = -kRing;
  for (int64_t &last : lastWideOf_) last = -kRing;
  price_.assign(2 * (kChunk + kMaxCopy + kLanes), kInfinite);
  from_.assign(price_.size(), 0);
  price_[0] = price_[1] = 0;
}

// Moves the buffer down by `shift` bytes: the positions the tables hold
// move with it, and those that fall off the front become none.
void ShortestPathEncoder::slide(int shift) {
  auto move = [shift](std::vector<int32_t> &table) {
    for (int32_t &v : table) v = std::max(v - shift, kNone);
  };
  move(head_);
  move(pairLast_);
  move(smaller_);
  move(larger_);
  bufferStart_ += shift;
  lastMatchAt_ -= shift;
}

// Inserts position p into its tree and writes to `found` the matches on the
// way, as length << 16 | distance: each longer and farther than the one
// before, each the nearest of its length. Returns how many. Matches of 2
// or fewer bytes are not reported.
int ShortestPathEncoder::findMatches(int p, int limit, uint32_t *found) {
  const unsigned char *data = buf_.data();
  uint32_t v;
  memcpy(&v, data + p, 4);
  const uint32_t h = ((v & 0xFFFFFF) * 2654435761u) >> (32 - kHashBits);
  const int mask = 2 * kHistory - 1;
  int32_t cur = head_[h];
  head_[h] = p;
  int32_t *below = &smaller_[p & mask];  // where the next position sorting below p goes
  int32_t *above = &larger_[p & mask];
  int lenBelow = 0, lenAbove = 0;  // bytes p shares with everything in between
  int best = 2, n = 0;
  // The longest match of the position before, one byte shorter, holds here
  // too: in a run it is all but the last byte of the comparison.
  const int known = lastMatchAt_ == p - 1 ? lastMatchLength_ - 1 : 0;
  while (cur >= p - window_) {
    int len = std::min(lenBelow, lenAbove);
    if (p - cur == lastMatchDistance_ && known > len) len = std::min(known, limit);
    len += matchLength(cur + len, p + len, limit - len);
    if (len > best) {
      best = len;
      found[n++] = static_cast<uint32_t>(len) << 16 | static_cast<uint32_t>(p - cur);
    }
    if (len >= limit) {
      // cur matches as far as p can be compared: p takes its place.
      *below = smaller_[cur & mask];
      *above = larger_[cur & mask];
      noteLongest(p, found, n);
      return n;
    }
    if (data[cur + len] < data[p + len]) {
      *below = cur;
      below = &larger_[cur & mask];
      cur = *below;
      lenBelow = len;
    } else {
      *above = cur;
      above = &smaller_[cur & mask];
      cur = *above;
      lenAbove = len;
    }
  }
  *below = *above = kNone;
  noteLongest(p, found, n);
  return n;
}

// Copies of lengths first..last at `distance` from node o, for both codings,
// two lengths per 4-lane operation; a path of equal cost through o replaces
// the one there. A last odd length goes alone.
void ShortestPathEncoder::relaxLengths(int o, int first, int last, int distance) {
  int32_t *const price = price_.data();
  uint32_t *const from = from_.data();
  const int32_t here0 = price[2 * o] + farDistanceBits_[distance];
  const int32_t here1 = price[2 * o + 1] + farDistanceBits_[distance];
  const V4 base = {here0, here1, here0, here1};
  V4 token = {first << 16 | distance, first << 16 | distance, (first + 1) << 16 | distance,
              (first + 1) << 16 | distance};
  const V4 step = {2 << 16, 2 << 16, 2 << 16, 2 << 16};
  int length = first;
  for (; length < last; length += 2, token += step) {
    V4 cost, old, oldFrom;
    memcpy(&cost, pairedLengthBits_ + 2 * length, sizeof cost);
    cost += base;
    memcpy(&old, price + 2 * (o + length), sizeof old);
    memcpy(&oldFrom, from + 2 * (o + length), sizeof oldFrom);
    const V4 worse = cost > old;
    old = (old & worse) | (cost & ~worse);
    oldFrom = (oldFrom & worse) | (token & ~worse);
    memcpy(price + 2 * (o + length), &old, sizeof old);
    memcpy(from + 2 * (o + length), &oldFrom, sizeof oldFrom);
  }
  if (length == last) {
    const uint32_t t = static_cast<uint32_t>(last) << 16 | static_cast<uint32_t>(distance);
    for (int c = 0; c < 2; ++c) {
      const int32_t cost = (c ? here1 : here0) + kCodes.lengthBits[last];
      if (cost <= price[2 * (o + last) + c]) {
        price[2 * (o + last) + c] = cost;
        from[2 * (o + last) + c] = t;
      }
    }
  }
}

// Prices every token from buffer position p, whose node's price is final;
// avail is the end of the data (at least 518 past p but at the input's end).
void ShortestPathEncoder::price(int p, int avail) {
  const unsigned char *data = buf_.data();
  const int o = static_cast<int>(bufferStart_ + p - spanStart_);
  if (spanStart_ + o - lastWide_ <= kMaxCopy) settle(o);
  memset(wideAt_[(bufferStart_ + p) & (kRing - 1)], 0, sizeof(uint16_t) * kWideClasses);
  int32_t *const price = price_.data();
  uint32_t *const from = from_.data();
  const int32_t here0 = price[2 * o], here1 = price[2 * o + 1];
  auto relax = [price, from](int to, int32_t cost0, int32_t cost1, uint32_t token) {
    if (cost0 <= price[2 * to]) {
      price[2 * to] = cost0;
      from[2 * to] = token;
    }
    if (cost1 <= price[2 * to + 1]) {
      price[2 * to + 1] = cost1;
      from[2 * to + 1] = token;
    }
  };
  lastPriced_ = std::max(lastPriced_, o + 2);
  const unsigned char byte = data[p];
  relax(o + 1, here0 + kCodes.literalBits[kBinary][byte], here1 + kCodes.literalBits[kAscii][byte],
        1u << 16 | byte);
  const int limit = std::min(kMaxCopy, avail - p);
  if (limit < 2) return;
  uint16_t pair;
  memcpy(&pair, data + p, 2);
  const int32_t q = pairLast_[pair];
  pairLast_[pair] = p;
  if (p - q <= kMaxPair) {
    const int32_t cost = pairBits_[p - q];
    relax(o + 2, here0 + cost, here1 + cost, 2u << 16 | static_cast<uint32_t>(p - q));
  }
  if (limit < 3) return;
  uint32_t found[kMaxCopy];
  const int n = findMatches(p, limit, found);
  int covered = 2;
  for (int i = 0; i < n; ++i) {
    const int length = static_cast<int>(found[i] >> 16);
    offerWide(bufferStart_ + p, covered + 1, length, static_cast<int>(found[i] & 0xFFFF), o);
    covered = length;
  }
  lastPriced_ = std::max(lastPriced_, o + covered);
}

// Copies of lengths first..last at `distance` from node o (input position
// `source`): the wide classes they cover whole are noted for their turn,
// the other lengths priced at once.
void ShortestPathEncoder::offerWide(int64_t source, int first, int last, int distance, int o) {
  int j = 0;
  while (j < kWideClasses && kWideFirst[j] < first) ++j;
  int upTo = j;
  while (upTo < kWideClasses && kWideLast[upTo] <= last) ++upTo;
  if (upTo == j) {
    relaxLengths(o, first, last, distance);
    return;
  }
  if (first < kWideFirst[j]) relaxLengths(o, first, kWideFirst[j] - 1, distance);
  uint16_t *const mark = wideAt_[source & (kRing - 1)];
  for (int c = j; c < upTo; ++c) {
    mark[c] = static_cast<uint16_t>(distance);
    lastWideOf_[c] = source;
  }
  lastWide_ = source;
  if (kWideLast[upTo - 1] < last) relaxLengths(o, kWideLast[upTo - 1] + 1, last, distance);
}

// Gives node o the wide classes' offers that reach it: each class's
// cheapest in reach, taken where it is cheaper than what the node has or
// as cheap and from a later source, as pricing each length would.
void ShortestPathEncoder::settle(int o) {
  const int64_t at = spanStart_ + o;
  int32_t *const price = price_.data();
  uint32_t *const from = from_.data();
  for (int j = 0; j < kWideClasses; ++j) {
    if (at - lastWideOf_[j] > kWideLast[j]) continue;  // nothing in reach, nothing coming
    // The position whose offer comes into reach now.
    const int64_t source = at - kWideFirst[j];
    const int distance = source >= 0 ? wideAt_[source & (kRing - 1)][j] : 0;
    for (int c = 0; c < 2; ++c) {
      OfferQueue &queue = inReach_[2 * j + c];
      if (distance) {
        const int node = static_cast<int>(source - spanStart_);
        const int32_t key = price[2 * node + c] + farDistanceBits_[distance];
        while (queue.tail != queue.head && queue.item[(queue.tail - 1) & (kRing - 1)].key >= key) --queue.tail;
        queue.item[queue.tail++ & (kRing - 1)] = Offer{source, key, distance};
      }
      while (queue.tail != queue.head && queue.item[queue.head & (kRing - 1)].source + kWideLast[j] < at) ++queue.head;
      if (queue.tail == queue.head) continue;
      const Offer &best = queue.item[queue.head & (kRing - 1)];
      const int32_t cost = best.key + kCodes.lengthBits[kWideFirst[j]];
      if (cost < price[2 * o + c] ||
          (cost == price[2 * o + c] && best.source > at - static_cast<int64_t>(tokenLength(from[2 * o + c])))) {
        price[2 * o + c] = cost;
        from[2 * o + c] = static_cast<uint32_t>(at - best.source) << 16 | static_cast<uint32_t>(best.distance);
      }
    }
  }
}

// Makes the parse arrays hold nodes up to lastNode, and the vector moves'
// slack past it.
void ShortestPathEncoder::makeRoom(int lastNode) {
  const size_t need = 2 * (static_cast<size_t>(lastNode) + 1 + kLanes);
  if (price_.size() < need) {
    price_.resize(need, kInfinite);
    from_.resize(need, 0);
  }
}

// Where the cheapest paths to nodes t - 517 .. t (or from the start of the
// stretch) meet, for one coding: the last node of the stretch all of them
// pass. Each node's path leads back through from_; the marks walk down the
// nodes, one mark per path not yet met.
int ShortestPathEncoder::meetingPoint(int t, Coding coding) {
  if (marks_.size() < static_cast<size_t>(t) + 1) marks_.resize(static_cast<size_t>(t) + 1, 0);
  int open = 0;
  for (int u = std::max(0, t - kMaxCopy + 1); u <= t; ++u) {
    marks_[u] = 1;
    ++open;
  }
  for (int x = t;; --x) {
    if (!marks_[x]) continue;
    marks_[x] = 0;
    if (open == 1) return x;
    const int parent = x - static_cast<int>(tokenLength(from_[2 * x + coding]));
    if (marks_[parent]) {
      --open;
    } else {
      marks_[parent] = 1;
    }
  }
}

// Writes the path to node `to` and makes `to` the stretch's first node.
void ShortestPathEncoder::emit(int to, Coding coding, BitWriter &writer, PassResult &result) {
  tokens_.clear();
  for (int x = to; x > 0; x -= static_cast<int>(tokenLength(from_[2 * x + coding])))
    tokens_.push_back(from_[2 * x + coding]);
  for (auto it = tokens_.rbegin(); it != tokens_.rend(); ++it) {
    const unsigned length = tokenLength(*it);
    const unsigned low = *it & 0xFFFF;
    writeToken(writer, coding, dictBits_, length, low, static_cast<unsigned char>(low));
    if (length == 1) {
      ++result.literals;
      if (trace_) trace_(1, 0);
    } else {
      ++result.copies;
      if (trace_) trace_(length, low);
    }
  }
  // Nodes up to lastPriced_ move down, their prices now counted from `to`
  // (so that they never grow past 32 bits); those above were never reached.
  const size_t keep = 2 * static_cast<size_t>(lastPriced_ - to + 1);
  const int32_t paid[2] = {price_[2 * to], price_[2 * to + 1]};
  priceBase_[0] += paid[0];
  priceBase_[1] += paid[1];
  for (size_t i = 0; i < keep; ++i) {
    const int32_t v = price_[2 * static_cast<size_t>(to) + i];
    price_[i] = v >= kInfinite ? kInfinite : v - paid[i & 1];
  }
  memmove(from_.data(), from_.data() + 2 * to, keep * sizeof(uint32_t));
  for (int j = 0; j < 2 * kWideClasses; ++j) {
    OfferQueue &queue = inReach_[j];
    for (unsigned i = queue.head; i != queue.tail; ++i) queue.item[i & (kRing - 1)].key -= paid[j & 1];
  }
  std::fill(price_.begin() + static_cast<std::ptrdiff_t>(keep),
            price_.begin() + static_cast<std::ptrdiff_t>(2 * (lastPriced_ + 1)), kInfinite);
  spanStart_ += to;
  lastPriced_ -= to;
}

bool ShortestPathEncoder::pass(ByteSource &in, ByteSink &out, Coding coding, bool guess, PassResult &result) {
  reset();
  StreamFrame frame(out, result);
  BitWriter &writer = frame.writer;
  if (!guess) frame.writeHeader(coding, dictBits_);

  int avail = 0;  // bytes in buf_
  int pos = 0;    // next position to price
  bool eof = false;
  for (;;) {
    if (!frame.fill(in, buf_.data(), kCapacity, avail, eof)) return false;
    // Only positions with all the 518 bytes after them in the buffer, but
    // at the input's end.
    const int end = std::min(pos + kChunk, eof ? avail : avail - kMaxCopy);
    makeRoom(static_cast<int>(bufferStart_ + end - spanStart_) + kMaxCopy);
    for (; pos < end; ++pos) price(pos, avail);
    const int t = static_cast<int>(bufferStart_ + pos - spanStart_);
    if (spanStart_ + t - lastWide_ <= kMaxCopy) settle(t);
    const int64_t binaryBits = priceBase_[kBinary] + price_[2 * t + kBinary];
    const int64_t asciiBits = priceBase_[kAscii] + price_[2 * t + kAscii];
    if (!frame.headerWritten) frame.writeHeader(asciiBits < binaryBits ? kAscii : kBinary, dictBits_);
    if (eof && pos == avail) {
      result.bits[kBinary] = static_cast<uint64_t>(binaryBits);
      result.bits[kAscii] = static_cast<uint64_t>(asciiBits);
      emit(t, result.written, writer, result);
      break;
    }
    emit(meetingPoint(t, result.written), result.written, writer, result);
    if (pos >= kHistory + kSlideStep) {
      const int shift = (pos - kHistory) / kSlideStep * kSlideStep;
      memmove(buf_.data(), buf_.data() + shift, static_cast<size_t>(avail - shift));
      avail -= shift;
      pos -= shift;
      slide(shift);
    }
  }
  result.inputBytes = static_cast<uint64_t>(bufferStart_ + avail);
  return frame.finish();
}

}  // namespace

namespace implodepass {

std::unique_ptr<PassEncoder> makeShortestPathEncoder(int dictBits, const ImplodeOptions &options) {
  return std::unique_ptr<PassEncoder>(new ShortestPathEncoder(dictBits, options));
}

}  // namespace implodepass
