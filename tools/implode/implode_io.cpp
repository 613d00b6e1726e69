// Byte sources and sinks over memory and stdio streams.
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
