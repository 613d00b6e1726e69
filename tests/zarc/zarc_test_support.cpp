#include "zarc_test_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <random>

void expectDecodesTo(const Bytes &stream, const Bytes &data) {
  Bytes out;
  EXPECT_EQ(decodeBuffer(stream.data(), stream.size(), 2048, &out), DclResult::Ok);
  ASSERT_EQ(out.size(), data.size());
  EXPECT_TRUE(out == data);
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
  ImplodeOptions options;
  if (log) {
    options.tokenTrace = [log](unsigned length, unsigned distance) {
      log->tokens.push_back(Token{length, distance, log->position});
      log->position += length;
    };
  }
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

void ToolTest::SetUp() {
  char tmpl[] = "/tmp/zarc_tests_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
}

void ToolTest::TearDown() { std::system(("rm -rf '" + dir_ + "'").c_str()); }

int ToolTest::run(const std::string &command, std::string *out) {
  int status = std::system(("cd '" + dir_ + "' && { " + command + "; } >'" + path("log") + "' 2>&1").c_str());
  if (out) *out = readText(path("log"));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Bytes readBytes(const std::string &path) {
  std::string s = readText(path);
  return Bytes(s.begin(), s.end());
}

void writeText(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

void writeBytes(const std::string &path, const Bytes &b) { writeText(path, std::string(b.begin(), b.end())); }

std::vector<std::string> temporaries(const std::string &dir) {
  std::vector<std::string> found;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n[0] == '.' && n.compare(n.size() - 4, 4, ".tmp") == 0) found.push_back(n);
    }
    closedir(d);
  }
  return found;
}
