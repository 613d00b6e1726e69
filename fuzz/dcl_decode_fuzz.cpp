// Arbitrary bytes as an implode stream. The first byte picks how the input
// is split into reads; the stream is decoded whole and split, and both runs
// must give the same result, the same output and the same write sizes.
// Writes must be 4096 bytes but the last, and no read may be asked for
// anything but 2048 bytes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "dcl_decode.h"

namespace {

struct Run {
  const uint8_t *data;
  size_t size;
  size_t pos;
  uint32_t pattern;  // 0: whole; otherwise read sizes cycle through small values
  uint32_t reads;
  std::vector<uint8_t> out;
  std::vector<uint32_t> writes;
};

uint32_t readInput(unsigned char *buffer, uint32_t *count, void *param) {
  Run *r = static_cast<Run *>(param);
  if (*count != 2048) abort();
  size_t n = r->size - r->pos;
  if (r->pattern != 0) {
    size_t want = r->reads == 0 ? 5 + r->pattern % 7 : 1 + (r->pattern * (r->reads + 3)) % 37;
    if (n > want) n = want;
  }
  if (n > *count) n = *count;
  memcpy(buffer, r->data + r->pos, n);
  r->pos += n;
  r->reads++;
  return static_cast<uint32_t>(n);
}

uint32_t writeOutput(unsigned char *buffer, uint32_t *count, void *param) {
  Run *r = static_cast<Run *>(param);
  r->writes.push_back(*count);
  r->out.insert(r->out.end(), buffer, buffer + *count);
  return 0;
}

DclResult decode(Run &r) {
  static unsigned char work[DCL_WORK_AREA_SIZE];
  memset(work, 0xCC, sizeof work);
  return dclDecode(readInput, writeOutput, work, &r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint32_t pattern = data[0];
  Run whole{data + 1, size - 1, 0, 0, 0, {}, {}};
  Run split{data + 1, size - 1, 0, pattern ? pattern : 1, 0, {}, {}};
  DclResult a = decode(whole);
  DclResult b = decode(split);
  if (a != b || whole.out != split.out || whole.writes != split.writes) abort();
  for (size_t i = 0; i + 1 < whole.writes.size(); ++i)
    if (whole.writes[i] != 4096) abort();
  if (!whole.writes.empty() && whole.writes.back() >= 4096) abort();
  bool rejected = a == DclResult::BadDictionarySize || a == DclResult::BadCompressionType ||
                  a == DclResult::InputTooShort;
  if (rejected != whole.writes.empty()) abort();
  return 0;
}
