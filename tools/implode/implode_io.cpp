// Byte sources and sinks over memory and stdio streams, and a stream in
// memory decoded again.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "implode.h"

size_t MemorySource::read(unsigned char *buffer, size_t n) {
  size_t left = size_ - pos_;
  if (n > left) n = left;
  if (n) memcpy(buffer, data_ + pos_, n);
  pos_ += n;
  return n;
}

size_t FileSource::read(unsigned char *buffer, size_t n) { return std::fread(buffer, 1, n, f_); }

bool FileSource::failed() const { return std::ferror(f_) != 0; }

bool FileSource::rewind() {
  std::clearerr(f_);
  return std::fseek(f_, 0, SEEK_SET) == 0;
}

bool FileSink::write(const unsigned char *data, size_t n) { return std::fwrite(data, 1, n, f_) == n; }

bool FileSink::restart() {
  if (std::fflush(f_) != 0 || fseeko(f_, static_cast<off_t>(start_), SEEK_SET) != 0) return false;
  return ftruncate(fileno(f_), static_cast<off_t>(start_)) == 0;
}

namespace {

struct Feed {
  const unsigned char *in;
  size_t size, pos, readSize;
  std::vector<unsigned char> *out;
};

uint32_t feedRead(unsigned char *buffer, uint32_t *count, void *param) {
  Feed *f = static_cast<Feed *>(param);
  size_t n = f->pos == 0 && f->readSize < 5 ? 5 : f->readSize;
  if (n > *count) n = *count;
  if (n > f->size - f->pos) n = f->size - f->pos;
  if (n) memcpy(buffer, f->in + f->pos, n);
  f->pos += n;
  return static_cast<uint32_t>(n);
}

uint32_t feedWrite(unsigned char *buffer, uint32_t *count, void *param) {
  Feed *f = static_cast<Feed *>(param);
  f->out->insert(f->out->end(), buffer, buffer + *count);
  return *count;
}

}  // namespace

DclResult decodeBuffer(const unsigned char *stream, size_t size, size_t readSize, std::vector<unsigned char> *out) {
  Feed f{stream, size, 0, readSize ? readSize : 1, out};
  std::vector<unsigned char> work(DCL_WORK_AREA_SIZE);
  return dclDecode(feedRead, feedWrite, work.data(), &f);
}
