// Byte sources and sinks over memory and stdio streams, and the
// file-to-file helper used by `zarc implode`.
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
  if (std::fflush(f_) != 0 || std::fseek(f_, 0, SEEK_SET) != 0) return false;
  return ftruncate(fileno(f_), 0) == 0;
}

ImplodeFileResult implodeFile(ImplodeMode mode, int dictBits, const std::string &inPath, const std::string &outPath,
                              ImplodeStats *stats, std::string *error) {
  auto fail = [error](ImplodeFileResult r, const std::string &what) {
    if (error) *error = what;
    return r;
  };
  if (dictBits < 4 || dictBits > 6) return fail(ImplodeFileResult::BadArguments, "dictionary bits must be 4, 5 or 6");
  std::FILE *in = std::fopen(inPath.c_str(), "rb");
  if (!in) return fail(ImplodeFileResult::CannotRead, "cannot open " + inPath + ": " + strerror(errno));
  // "w+b" so that Auto can start the output again after a wrong guess.
  std::FILE *out = std::fopen(outPath.c_str(), "w+b");
  if (!out) {
    int e = errno;
    std::fclose(in);
    return fail(ImplodeFileResult::CannotWrite, "cannot create " + outPath + ": " + strerror(e));
  }
  FileSource source(in);
  FileSink sink(out);
  ImplodeStats local;
  bool ok = implodeStream(mode, dictBits, source, sink, &local);
  bool readError = std::ferror(in) != 0;
  std::fclose(in);
  bool closed = std::fclose(out) == 0;
  if (stats) *stats = local;
  if (ok && closed) return ImplodeFileResult::Ok;
  std::remove(outPath.c_str());
  if (readError) return fail(ImplodeFileResult::CannotRead, "error reading " + inPath);
  return fail(ImplodeFileResult::CannotWrite, "error writing " + outPath);
}
