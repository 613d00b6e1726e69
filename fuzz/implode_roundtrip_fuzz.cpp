// Round trip of arbitrary input through the implode encoder and dclDecode.
// The first byte chooses the literal coding (binary, ASCII, auto), the
// dictionary size and small or large match-finder settings or the
// shortest-path parse; the rest is the input. Aborts when the decoder's
// result is not Ok or its output differs, or when the stream size
// disagrees with the encoder's bit count.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "dcl_decode.h"
#include "implode.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const unsigned choice = data[0];
  const ImplodeMode mode = choice % 3 == 0 ? ImplodeMode::Binary : choice % 3 == 1 ? ImplodeMode::Ascii : ImplodeMode::Auto;
  const int dictBits = 4 + static_cast<int>(choice / 3 % 3);
  ImplodeOptions options;
  if (choice & 0x80) {
    options.chainDepth = 1 + (choice & 7);
    options.niceLength = 4 + (choice & 0x30);
    options.skipLength = (choice & 0x40) ? 7 + (choice & 7) : 1000;
  } else {
    options.best = (choice & 0x40) != 0;
  }
  ImplodeStats stats;
  std::vector<unsigned char> stream = implodeBuffer(mode, dictBits, data + 1, size - 1, &stats, options);
  if (stream.size() < 5 || stream[1] != dictBits) abort();
  if (size > 1 && stream.size() != (stats.streamBits + 7) / 8) abort();
  std::vector<unsigned char> out;
  if (decodeBuffer(stream.data(), stream.size(), 1 + choice % 61, &out) != DclResult::Ok) abort();
  if (out.size() != size - 1 || (size > 1 && memcmp(out.data(), data + 1, size - 1) != 0)) abort();
  return 0;
}
