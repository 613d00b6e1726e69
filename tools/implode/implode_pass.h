// What the two implode encoders share: the bits each token costs and how
// it is written, the bit writer, and one pass over the input. The default
// encoder (implode_encoder.cpp) and the shortest-path one
// (implode_shortest.cpp) each make a PassEncoder; implodeStream runs it once,
// or twice when --auto guessed the wrong literal coding.
#ifndef QV_TOOLS_IMPLODE_PASS_H
#define QV_TOOLS_IMPLODE_PASS_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include "dcl_codes.h"
#include "implode.h"

namespace implodepass {

using namespace dclcodes;

constexpr int kMaxCopy = 518;   // length 519 is the end-of-stream code
constexpr int kMaxPair = 256;   // farthest length-2 copy
constexpr int kHistory = 4096;  // the largest window
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
  return c;
}

inline constexpr Codes kCodes = buildCodes();
// Flag 1, length index 15 (seven 0 bits), extra value 255.
inline constexpr uint32_t kEndValue = 1u | 255u << 8;
constexpr int kEndBits = 16;
static_assert(kCodes.lengthBits[kMaxCopy] == 16 && kCodes.lengthBits[2] == 4 && kCodes.lengthBits[3] == 3,
              "length code costs");

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

// Writes a literal (length 1, `byte`) or a copy.
inline void writeToken(BitWriter &writer, Coding coding, int dictBits, unsigned length, unsigned distance,
                       unsigned char byte) {
  if (length == 1) {
    writer.put(kCodes.literalValue[coding][byte], kCodes.literalBits[coding][byte]);
    return;
  }
  writer.put(kCodes.lengthValue[length], kCodes.lengthBits[length]);
  const int low = length == 2 ? 2 : dictBits;
  const unsigned h = (distance - 1) >> low;
  writer.put(distanceCodes.value[h] | ((distance - 1) & ((1u << low) - 1)) << distanceCodeBits[h],
             distanceCodeBits[h] + low);
}

// Four 32-bit lanes; GCC and clang lower it to whatever the target offers.
typedef int32_t V4 __attribute__((vector_size(16)));

struct PassResult {
  uint64_t bits[2] = {0, 0};  // token bits that each coding gives
  Coding written = kBinary;
  uint64_t inputBytes = 0;
  uint64_t outputBytes = 0;
  uint64_t literals = 0;
  uint64_t copies = 0;
  bool readFailed = false;
  bool writeFailed = false;
};

// The start and end of a pass's stream, and its input read into a buffer:
// the same for both encoders.
struct StreamFrame {
  BitWriter writer;
  PassResult &result;
  bool headerWritten = false;
  StreamFrame(ByteSink &out, PassResult &r) : writer(&out), result(r) {}
  void writeHeader(Coding c, int dictBits) {
    writer.put(static_cast<uint32_t>(c) | static_cast<uint32_t>(dictBits) << 8, 16);
    result.written = c;
    headerWritten = true;
  }
  // Reads until buf holds `capacity` bytes or the input ends; false when a
  // read fails.
  bool fill(ByteSource &in, unsigned char *buf, int capacity, int &avail, bool &eof) {
    while (!eof && avail < capacity) {
      size_t got = in.read(buf + avail, static_cast<size_t>(capacity - avail));
      if (got == 0) {
        eof = true;
        if (in.failed()) {
          result.readFailed = true;
          return false;
        }
      }
      avail += static_cast<int>(got);
    }
    return true;
  }
  // The end-of-stream code and the padding; false when the sink failed.
  bool finish() {
    writer.put(kEndValue, kEndBits);
    // A stream of 4 bytes (the empty input) gets one more byte: the decoder
    // rejects a first read of 4 bytes or fewer.
    const uint64_t bits = 16 + result.bits[result.written] + kEndBits;
    const int extra = (bits + 7) / 8 <= 4 ? 1 : 0;
    if (!writer.finish(extra)) result.writeFailed = true;
    result.outputBytes = writer.bytesWritten();
    return !result.writeFailed;
  }
};

// One encoder, run over the whole input by pass().
class PassEncoder {
 public:
  virtual ~PassEncoder() = default;
  // Reads the whole input once and writes one stream in `coding`, or with
  // `guess` in the coding that is cheaper on the input's start. Both codings
  // are priced throughout.
  virtual bool pass(ByteSource &in, ByteSink &out, Coding coding, bool guess, PassResult &result) = 0;
};

std::unique_ptr<PassEncoder> makeDefaultEncoder(int dictBits, const ImplodeOptions &options);
std::unique_ptr<PassEncoder> makeShortestPathEncoder(int dictBits, const ImplodeOptions &options);

}  // namespace implodepass

#endif
