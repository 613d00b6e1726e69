// What the parts of demo_payloads share: the bytes of a file, a generator
// seeded by the file's name, little-endian writers, the package's release
// day, and what makes each kind of file: the texts (demo_texts.cpp) and
// the binaries (demo_binaries.cpp); demo_payloads.cpp picks one by name.
#ifndef QV_TOOLS_DEMO_PAYLOADS_H
#define QV_TOOLS_DEMO_PAYLOADS_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

namespace demo {

// 14 April 1997, 09:30 UTC, with a few minutes per file (by name), so the
// files look as if they came off one build machine.
constexpr time_t kReleaseTime = 861010200;

using Bytes = std::vector<unsigned char>;

inline uint32_t hashName(const std::string &name) {
  uint32_t h = 2166136261u;
  for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return h;
}

// A small deterministic generator (xorshift32), seeded by the file name.
struct Random {
  uint32_t state;
  explicit Random(const std::string &name) : state(hashName(name) | 1u) {}
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  uint32_t below(uint32_t n) { return next() % n; }
  template <size_t N> const char *pick(const char *const (&words)[N]) { return words[below(N)]; }
};

inline void put16(Bytes &b, uint32_t v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
inline void put32(Bytes &b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
inline void putText(Bytes &b, const std::string &text) { b.insert(b.end(), text.begin(), text.end()); }

// Windows text: LF becomes CR LF.
inline Bytes windowsText(const std::string &text) {
  Bytes b;
  for (char c : text) {
    if (c == '\n') b.push_back('\r');
    b.push_back(static_cast<unsigned char>(c));
  }
  return b;
}

// ---- Texts (demo_texts.cpp) ---------------------------------------------------

// One sentence about the service.
std::string sentence(Random &r);
// Paragraphs of sentences under headings, lines of at most 72 characters,
// about size bytes.
std::string prose(Random &r, size_t size);
extern const char kReadme[];
// bookmark.htm: the provider's links, as the browser keeps them.
std::string bookmarks();
// A page of the local home page: a heading, the links and some text.
std::string homePage(Random &r, const std::string &name, size_t size);
// The access numbers the sign-up program offers, one a line.
std::string phoneBook(Random &r, size_t size);

// ---- Binaries (demo_binaries.cpp) -----------------------------------------------

// A program with a Win32 header: code, imports and messages, data.
Bytes program(Random &r, const std::string &name, size_t size);
Bytes javaClass(Random &r, const std::string &name, size_t size);
Bytes gif(Random &r, size_t size);
// The "Read me" item's icon: 32x32, 16 colours.
Bytes notepadIcon();
// Call rates: a header, then one 12-byte record per area.
Bytes rateTable(Random &r, size_t size);

}  // namespace demo

#endif
