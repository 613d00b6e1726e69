// Shared by the encoder and tool tests: decoding through dclDecode, test
// data, a check of every token the encoder writes, and a directory of the
// test's own to run the built zarc and mkpackage in.
#ifndef QV_TESTS_ZARC_TEST_SUPPORT_H
#define QV_TESTS_ZARC_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "dcl_decode.h"
#include "implode.h"

using Bytes = std::vector<unsigned char>;

// Expects dclDecode (reads of 2048 bytes) to give Ok and `data` from `stream`.
void expectDecodesTo(const Bytes &stream, const Bytes &data);

// Test data, all deterministic.
Bytes randomBytes(size_t n, uint32_t seed);
Bytes textBytes(size_t n, uint32_t seed);   // words, spaces, punctuation, line ends
Bytes periodicBytes(size_t n, size_t period, uint32_t seed);
Bytes allByteValues(size_t n);              // 0, 1, ..., 255, 0, 1, ...

struct Token {
  unsigned length;    // 1: literal
  unsigned distance;  // 0 for a literal
  uint64_t position;  // input position where the token starts
};

// Records the tokens an encoder writes.
struct TokenLog {
  std::vector<Token> tokens;
  uint64_t position = 0;
  // Empty when every token is one the format allows at its place (lengths 2
  // to 518, distances within reach and within the output so far) and the
  // tokens cover exactly `inputSize` bytes; otherwise what is wrong.
  std::string check(int dictBits, uint64_t inputSize) const;
  bool hasCopy(unsigned minLength, unsigned distance) const;
};

Bytes encode(ImplodeMode mode, int dictBits, const Bytes &data, ImplodeStats *stats = nullptr,
             TokenLog *log = nullptr);

const char *modeName(ImplodeMode mode);

const std::string kZarc = ZARC_PATH, kMkpackage = MKPACKAGE_PATH;

// A directory of the test's own, removed afterwards.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  // Runs a shell command line in the directory; its exit status (-1 if it
  // did not exit), and what it printed and did not redirect in *out.
  int run(const std::string &command, std::string *out = nullptr);
  int zarc(const std::string &args, std::string *out = nullptr) { return run(kZarc + " " + args, out); }
  std::string dir_;
};

std::string readText(const std::string &path);  // "" when there is no such file
Bytes readBytes(const std::string &path);
void writeText(const std::string &path, const std::string &text);
void writeBytes(const std::string &path, const Bytes &bytes);
// Names in `dir` that are some run's temporary files (".NAME.PID-N.tmp").
std::vector<std::string> temporaries(const std::string &dir);

#endif
