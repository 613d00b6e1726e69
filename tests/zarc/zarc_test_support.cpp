#include "implode_test_support.h"

#include <string.h>

#include <algorithm>
#include <random>

Decoded decodeStream(const Bytes &stream, size_t readSize) {
  Decoded d;
  d.result = decodeBuffer(stream.data(), stream.size(), readSize, &d.output);
  return d;
}

Bytes randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto &c : b) c = static_cast<unsigned char>(rng());
  return b;
}

Bytes textBytes(size_t n, uint32_t seed) {
  static const char *const words[] = {"the",     "setup",  "program", "copies", "files", "into",  "a",
                                      "directory", "of",   "your",    "choice", "and",   "then",  "starts",
                                      "Windows", "registry", "settings", "for",   "each",  "member", "is",
                                      "compressed", "with", "implode", "Quorvel", "disk", "INI",   "0x1F"};
  static const char *const gaps[] = {" ", " ", " ", " ", ", ", ". ", "\r\n", "\t", " (", ") "};
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n + 16);
  while (b.size() < n) {
    const char *w = words[rng() % (sizeof words / sizeof *words)];
    b.insert(b.end(), w, w + strlen(w));
    const char *g = gaps[rng() % (sizeof gaps / sizeof *gaps)];
    b.insert(b.end(), g, g + strlen(g));
  }
  b.resize(n);
  return b;
}

Bytes periodicBytes(size_t n, size_t period, uint32_t seed) {
  Bytes unit = randomBytes(period, seed);
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = unit[i % period];
  return b;
}

Bytes allByteValues(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i);
  return b;
}

ImplodeOptions TokenLog::options() {
  ImplodeOptions o;
  o.tokenTrace = [this](unsigned length, unsigned distance) {
    tokens.push_back(Token{length, distance, position});
    position += length;
  };
  return o;
}

std::string TokenLog::check(int dictBits, uint64_t inputSize) const {
  const unsigned window = 64u << dictBits;
  uint64_t pos = 0;
  for (const Token &t : tokens) {
    std::string where = " at input position " + std::to_string(t.position);
    if (t.length == 1) {
      if (t.distance != 0) return "literal with a distance" + where;
    } else {
      if (t.length < 2 || t.length > 518) return "copy of length " + std::to_string(t.length) + where;
      const unsigned reach = t.length == 2 ? 256 : window;
      if (t.distance < 1 || t.distance > reach || t.distance > pos)
        return "copy of length " + std::to_string(t.length) + " at distance " + std::to_string(t.distance) + where;
    }
    pos += t.length;
  }
  if (pos != inputSize) return "tokens cover " + std::to_string(pos) + " bytes of " + std::to_string(inputSize);
  return "";
}

bool TokenLog::hasCopy(unsigned minLength, unsigned distance) const {
  for (const Token &t : tokens)
    if (t.length >= minLength && t.length > 1 && t.distance == distance) return true;
  return false;
}

Bytes encode(ImplodeMode mode, int dictBits, const Bytes &data, ImplodeStats *stats, TokenLog *log) {
  ImplodeOptions options = log ? log->options() : ImplodeOptions();
  return implodeBuffer(mode, dictBits, data.data(), data.size(), stats, options);
}

const char *modeName(ImplodeMode mode) {
  switch (mode) {
    case ImplodeMode::Binary: return "binary";
    case ImplodeMode::Ascii: return "ascii";
    case ImplodeMode::Auto: return "auto";
  }
  return "?";
}
