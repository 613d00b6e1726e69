// Encoder for the implode format.
//
// The stream it writes is what dclDecode (src/dcl) reads: two header bytes
// (compression type 0 binary / 1 ASCII, dictionary bits 4..6), bit-coded
// tokens (literals; copies of length 2 to 518 reaching back 1024, 2048 or
// 4096 bytes, length-2 copies at most 256), the end-of-stream code, and zero
// bits up to the next byte boundary.
//
// Every code length of the format is fixed, so the encoder parses with exact
// bit costs: for each position of a parse block it collects the copies
// available there (for each length the nearest distance, which has the
// cheapest code) and takes the cheapest path through the block, for both
// literal codings at once. Matches of at least `niceLength` bytes are taken
// as they are found, and the inside of matches of `skipLength` or more is
// not searched, which bounds the work on repetitive input.
//
// Memory is fixed, whatever the input size: a sliding buffer of
// 2 * 4096 + kImplodeBlockSize bytes, the match finder's tables and the
// per-block parse, under 2 MiB in all. This is a tool: it is never linked
// into the setup program.
#ifndef QV_TOOLS_IMPLODE_H
#define QV_TOOLS_IMPLODE_H

#include <stddef.h>
#include <stdint.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "dcl_decode.h"

enum class ImplodeMode {
  Binary,  // literals as plain 8-bit values
  Ascii,   // literals through the fixed text code
  Auto,    // whichever of the two gives the smaller stream
};

// Bytes of input parsed as one block. Copies never cross the end of a block
// (they may reach back into earlier blocks).
constexpr size_t kImplodeBlockSize = 64 * 1024;

// Where the encoder reads from. read() returns up to n bytes, 0 at the end
// of the input or on an error (then failed() is true).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual size_t read(unsigned char *buffer, size_t n) = 0;
  virtual bool failed() const { return false; }
  // Starts again from the first byte; false when the source cannot.
  virtual bool rewind() { return false; }
};

// Where the encoder writes to. write() returns false on an error.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool write(const unsigned char *data, size_t n) = 0;
  // Throws away everything written so far; false when the sink cannot.
  virtual bool restart() { return false; }
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const unsigned char *data, size_t size) : data_(data), size_(size) {}
  size_t read(unsigned char *buffer, size_t n) override;
  bool rewind() override {
    pos_ = 0;
    return true;
  }

 private:
  const unsigned char *data_;
  size_t size_;
  size_t pos_ = 0;
};

class VectorSink : public ByteSink {
 public:
  explicit VectorSink(std::vector<unsigned char> &out) : out_(out) {}
  bool write(const unsigned char *data, size_t n) override {
    out_.insert(out_.end(), data, data + n);
    return true;
  }
  bool restart() override {
    out_.clear();
    return true;
  }

 private:
  std::vector<unsigned char> &out_;
};

// A stdio stream; rewind() and restart() work on seekable files.
class FileSource : public ByteSource {
 public:
  explicit FileSource(std::FILE *f) : f_(f) {}
  size_t read(unsigned char *buffer, size_t n) override;
  bool failed() const override;
  bool rewind() override;

 private:
  std::FILE *f_;
};

// restart() cuts the file back to where the sink began (start), so a
// stream can be written in place after other data.
class FileSink : public ByteSink {
 public:
  explicit FileSink(std::FILE *f, long long start = 0) : f_(f), start_(start) {}
  bool write(const unsigned char *data, size_t n) override;
  bool restart() override;

 private:
  std::FILE *f_;
  long long start_;
};

struct ImplodeOptions {
  // Hash-chain candidates examined per position for copies of 6 or more
  // (shorter ones come from tables of the latest occurrence).
  int chainDepth = 32;
  // A match at least this long is taken at once, without parsing the
  // positions it covers (4 to 518).
  int niceLength = 64;
  // After a match at least this long (and shorter than niceLength), the
  // parser prices all its lengths but looks for new matches only at its
  // last 4 positions, so that the next token starts there or later (7 and
  // up; at least niceLength: never).
  int skipLength = 12;
  // The smallest stream the format allows for the literal coding and the
  // dictionary size: each input parsed by shortest path over the exact bit
  // costs, with every copy the window holds (the settings above do not
  // apply). Several times slower than the default.
  bool best = false;
  // Called for every token written, in stream order: (1, 0) for a literal,
  // (length, distance) for a copy. For tests and tools.
  std::function<void(unsigned length, unsigned distance)> tokenTrace;
};

struct ImplodeStats {
  uint64_t inputBytes = 0;
  uint64_t outputBytes = 0;  // bytes handed to the sink (final stream)
  uint64_t streamBits = 0;   // header, tokens and end code, without padding
  uint64_t literals = 0;
  uint64_t copies = 0;
  ImplodeMode modeUsed = ImplodeMode::Binary;  // Binary or Ascii
  // Auto: the stream sizes in bits that each coding gives (both are
  // measured in the same pass over the input).
  uint64_t binaryBits = 0;
  uint64_t asciiBits = 0;
  // How often the input was read. Auto guesses the coding from the first
  // block and writes it while measuring both; when the other one wins over
  // the whole input, the input is read and encoded a second time.
  int inputPasses = 0;
  // Auto only: the guess proved wrong but the source could not rewind or
  // the sink could not restart, so the stream is in the guessed coding.
  bool autoNotSettled = false;
};

// Encodes all of `in` into one stream written to `out`. dictBits is 4, 5 or
// 6. Returns false on a read or write error or bad arguments (what was
// written to `out` is then incomplete). stats, when given, is filled in.
bool implodeStream(ImplodeMode mode, int dictBits, ByteSource &in, ByteSink &out, ImplodeStats *stats = nullptr,
                   const ImplodeOptions &options = ImplodeOptions());

// The way back, for round trips: a whole stream held in memory decoded by
// dclDecode, handed to it in reads of at most readSize bytes (the first at
// least 5, as the decoder needs), the decoded bytes appended to *out.
DclResult decodeBuffer(const unsigned char *stream, size_t size, size_t readSize, std::vector<unsigned char> *out);

// In-memory convenience: the whole stream for a buffer.
std::vector<unsigned char> implodeBuffer(ImplodeMode mode, int dictBits, const unsigned char *data, size_t size,
                                         ImplodeStats *stats = nullptr,
                                         const ImplodeOptions &options = ImplodeOptions());


#endif
