// `zarc implode` and `zarc explode`: one raw implode stream, file to file or
// through a pipe, in bounded memory whatever the size.
#include "zarc_raw.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dcl_decode.h"
#include "implode.h"
#include "input_file.h"
#include "output_file.h"
#include "zarc_cli.h"

const char *const kZarcImplodeUsage =
    "  zarc implode [-v] [-q] [-f] [--best] [--ascii|--binary|--auto]\n"
    "               [--dict 4|5|6] IN OUT\n"
    "      Compress IN into one implode stream OUT (\"-\": standard input or\n"
    "      output). --binary codes literals as plain bytes, --ascii through\n"
    "      the text code, --auto (the default) takes whichever gives the\n"
    "      smaller stream, reading IN twice when its first 64 KiB favour the\n"
    "      other one (through a pipe it keeps the first guess). --dict sets\n"
    "      the dictionary bits: 4, 5 or 6 for a window of 1024, 2048 or 4096\n"
    "      bytes (default 6). --best: the smallest stream the format allows\n"
    "      for the coding and dictionary (a shortest-path parse over every copy\n"
    "      the window holds), several times slower. -v: a summary with sizes\n"
    "      and ratio.\n";
const char *const kZarcExplodeUsage =
    "  zarc explode [-v] [-q] [-f] IN OUT\n"
    "      Decode the implode stream IN into OUT (\"-\": standard input or\n"
    "      output). A stream the decoder rejects (BadDictionarySize,\n"
    "      BadCompressionType, InputTooShort, UnexpectedEnd) exits 1 and\n"
    "      does not write a file OUT; a stream OUT (standard output, a FIFO,\n"
    "      a device) has had what was decoded, and the error says how much.\n"
    "      -v: a summary with sizes and ratio.\n";
const char *const kZarcRawCommon =
    "  OUT may be a device, FIFO or socket (written to directly) or a link (what\n"
    "  it leads to is written); a read-only OUT is replaced only with -f\n"
    "  (--force). The progress line shows only when standard error is a\n"
    "  terminal.\n";

namespace {

// The two ends of a raw command: a named file, or a standard stream for "-".
struct RawFiles {
  std::string inName, outName;  // for messages
  std::FILE *in = nullptr;
  bool inIsStdin = false;
  bool outIsStdout = false;
  uint64_t inSize = 0;  // 0 when unknown (a pipe)
};

// Opens IN and checks OUT; false after saying why, *status set.
bool openRaw(const char *command, const std::string &in, const std::string &out, bool compressedOut, RawFiles *f,
             int *status) {
  f->inIsStdin = in == "-";
  f->outIsStdout = out == "-";
  f->inName = f->inIsStdin ? "standard input" : in;
  f->outName = f->outIsStdout ? "standard output" : out;
  *status = kExitIo;
  std::string error;
  if (f->inIsStdin) {
    if (!compressedOut && isatty(STDIN_FILENO)) {
      toolError("zarc", command, "standard input", "will not read compressed data from a terminal");
      *status = kExitUsage;
      return false;
    }
    f->in = stdin;
    struct stat info;
    if (fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode)) f->inSize = static_cast<uint64_t>(info.st_size);
  } else {
    struct stat info;
    f->in = openInputStream(in, &info, &error);
    if (!f->in) {
      toolError("zarc", command, in, error);
      return false;
    }
    f->inSize = static_cast<uint64_t>(info.st_size);
    InputFiles inputs;
    inputs.add(info);
    if (!f->outIsStdout && !notAnInput(out, inputs, &error)) {
      toolError("zarc", command, out, error);
      std::fclose(f->in);
      return false;
    }
  }
  if (f->outIsStdout && compressedOut && isatty(STDOUT_FILENO)) {
    toolError("zarc", command, "standard output", "will not write compressed data to a terminal");
    if (!f->inIsStdin) std::fclose(f->in);
    *status = kExitUsage;
    return false;
  }
  return true;
}

void closeRaw(RawFiles *f) {
  if (f->in && !f->inIsStdin) std::fclose(f->in);
  f->in = nullptr;
}

// "12345 -> 6789 bytes (55.0%)": the ratio is the smaller side over the larger.
std::string sizesAndRatio(uint64_t from, uint64_t to, bool compressing) {
  uint64_t plain = compressing ? from : to;
  uint64_t packed = compressing ? to : from;
  char ratio[32];
  std::snprintf(ratio, sizeof ratio, "%.1f%%", plain ? 100.0 * static_cast<double>(packed) / plain : 100.0);
  return std::to_string(from) + " -> " + std::to_string(to) + " bytes (compressed to " + ratio + ")";
}

// A source that moves the progress line as it is read. Standard input is
// read once: even a file behind it may not start at its first byte.
class CountingSource : public FileSource {
 public:
  CountingSource(std::FILE *f, ProgressLine *progress, bool once)
      : FileSource(f), progress_(progress), once_(once) {}
  size_t read(unsigned char *buffer, size_t n) override {
    size_t got = FileSource::read(buffer, n);
    done_ += got;
    progress_->update(done_);
    return got;
  }
  bool rewind() override {
    done_ = 0;
    return !once_ && FileSource::rewind();
  }

 private:
  ProgressLine *progress_;
  bool once_;
  uint64_t done_ = 0;
};

// Standard output is never cut back: it may be a file opened for appending.
class OnceSink : public FileSink {
 public:
  using FileSink::FileSink;
  bool restart() override { return false; }
};

struct ExplodeState {
  std::FILE *in;
  std::FILE *out = nullptr;
  ProgressLine *progress;
  uint64_t read = 0;
  uint64_t written = 0;
  bool writeFailed = false;
};

uint32_t readInput(unsigned char *buffer, uint32_t *count, void *param) {
  ExplodeState *s = static_cast<ExplodeState *>(param);
  size_t got = std::fread(buffer, 1, *count, s->in);
  s->read += got;
  s->progress->update(s->read);
  return static_cast<uint32_t>(got);
}

uint32_t writeOutput(unsigned char *buffer, uint32_t *count, void *param) {
  ExplodeState *s = static_cast<ExplodeState *>(param);
  if (*count == 0 || s->writeFailed) return 0;
  if (std::fwrite(buffer, 1, *count, s->out) != *count) {
    s->writeFailed = true;
    return 0;
  }
  s->written += *count;
  return *count;
}

// Writes OUT through fill: a named output as its kind asks (output_file.h),
// standard output directly.
bool writeOut(const RawFiles &f, const std::string &out, const OutputOptions &options, bool seeks,
              const std::function<bool(std::FILE *)> &fill, std::string *error) {
  if (!f.outIsStdout) return writeOutputStream(out, options, seeks, fill, error);
  bool ok = fill(stdout);
  if (std::fflush(stdout) != 0) ok = false;
  if (!ok && error->empty()) *error = std::string("cannot write standard output: ") + strerror(errno);
  return ok;
}

}  // namespace

int zarcImplode(int argc, char **argv) {
  ImplodeMode mode = ImplodeMode::Auto;
  int dictBits = 6;
  bool verbose = false, quiet = false;
  ImplodeOptions options;
  OutputOptions output;
  std::vector<std::string> paths;
  std::string usage = std::string(kZarcImplodeUsage) + kZarcRawCommon + "  " + kQuietHelp;
  std::vector<std::string> args = splitShortOptions(argc, argv, "");
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    int status;
    if (zarcHelpOrVersion(a, usage.c_str(), &status)) return status;
    if (a == "--ascii") {
      mode = ImplodeMode::Ascii;
    } else if (a == "--binary") {
      mode = ImplodeMode::Binary;
    } else if (a == "--auto") {
      mode = ImplodeMode::Auto;
    } else if (a == "--best") {
      options.best = true;
    } else if (a == "-v" || a == "--verbose") {
      verbose = true;
    } else if (a == "-q" || a == "--quiet") {
      quiet = true;
    } else if (a == "-f" || a == "--force") {
      output.force = true;
    } else if (a == "--dict") {
      if (i + 1 >= args.size()) return zarcUsageError("implode", "--dict", "needs a value (4, 5 or 6)");
      std::string v = args[++i];
      if (v != "4" && v != "5" && v != "6") return zarcUsageError("implode", "--dict " + v, "must be 4, 5 or 6");
      dictBits = v[0] - '0';
    } else if (a.size() > 1 && a[0] == '-') {
      return zarcUsageError("implode", "unknown option " + a);
    } else {
      paths.push_back(a);
    }
  }
  if (paths.size() != 2) return zarcUsageError("implode", "needs IN and OUT", "got " + std::to_string(paths.size()));
  RawFiles f;
  int status;
  if (!openRaw("implode", paths[0], paths[1], true, &f, &status)) return status;
  ImplodeStats stats;
  bool readError = false;
  std::string error;
  ProgressLine progress("zarc", "imploding " + f.inName, f.inSize, quiet || f.inSize == 0);
  // A stream that can seek, so that --auto can start again after a wrong guess.
  bool ok = writeOut(f, paths[1], output, true, [&](std::FILE *out) {
    CountingSource source(f.in, &progress, f.inIsStdin);
    FileSink file(out);
    OnceSink stream(out);
    bool encoded =
        implodeStream(mode, dictBits, source, f.outIsStdout ? static_cast<FileSink &>(stream) : file, &stats, options);
    readError = source.failed();
    return encoded;
  }, &error);
  closeRaw(&f);
  if (!ok) {
    if (readError) error = "cannot read " + f.inName;
    toolError("zarc", "implode", readError ? f.inName : f.outName, error.empty() ? "cannot write" : error);
    return kExitIo;
  }
  if (verbose && !quiet) {
    std::fprintf(stderr, "zarc implode: %s -> %s: %s, %s literals, dictionary %d (%d-byte window)%s\n",
                 f.inName.c_str(), f.outName.c_str(), sizesAndRatio(stats.inputBytes, stats.outputBytes, true).c_str(),
                 stats.modeUsed == ImplodeMode::Ascii ? "ascii" : "binary", dictBits, 64 << dictBits,
                 stats.autoNotSettled ? " (the other coding would have been smaller; a pipe cannot be read twice)"
                                      : "");
  }
  return kExitOk;
}

int zarcExplode(int argc, char **argv) {
  bool verbose = false, quiet = false;
  OutputOptions output;
  std::vector<std::string> paths;
  std::string usage = std::string(kZarcExplodeUsage) + kZarcRawCommon + "  " + kQuietHelp;
  std::vector<std::string> args = splitShortOptions(argc, argv, "");
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    int status;
    if (zarcHelpOrVersion(a, usage.c_str(), &status)) return status;
    if (a == "-v" || a == "--verbose") {
      verbose = true;
    } else if (a == "-q" || a == "--quiet") {
      quiet = true;
    } else if (a == "-f" || a == "--force") {
      output.force = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return zarcUsageError("explode", "unknown option " + a);
    } else {
      paths.push_back(a);
    }
  }
  if (paths.size() != 2) return zarcUsageError("explode", "needs IN and OUT", "got " + std::to_string(paths.size()));
  RawFiles f;
  int status;
  if (!openRaw("explode", paths[0], paths[1], false, &f, &status)) return status;
  ProgressLine progress("zarc", "exploding " + f.inName, f.inSize, quiet || f.inSize == 0);
  ExplodeState s{f.in, nullptr, &progress};
  DclResult result = DclResult::Ok;
  bool readFailed = false, direct = f.outIsStdout;
  std::string error;
  // A named file appears only when the stream decoded to its end; a device,
  // FIFO or socket has had each block as it was decoded.
  bool written = writeOut(f, paths[1], output, false, [&](std::FILE *out) {
    struct stat info;
    direct = direct || (fstat(fileno(out), &info) == 0 && !S_ISREG(info.st_mode));
    s.out = out;
    std::vector<unsigned char> work(DCL_WORK_AREA_SIZE);
    result = dclDecode(readInput, writeOutput, work.data(), &s);
    readFailed = std::ferror(f.in) != 0;
    return !readFailed && !s.writeFailed && result == DclResult::Ok;
  }, &error);
  closeRaw(&f);
  if (readFailed) {
    toolError("zarc", "explode", f.inName, std::string("cannot read: ") + strerror(errno));
    return kExitIo;
  }
  if (s.writeFailed || (!written && result == DclResult::Ok)) {
    toolError("zarc", "explode", f.outName, error.empty() ? "cannot write" : error);
    return kExitIo;
  }
  if (result != DclResult::Ok) {
    std::string why = "not a whole implode stream: the decoder's result is " +
                      std::to_string(static_cast<int>(result)) + " " + dclResultName(result) + " after " +
                      std::to_string(s.written) + " bytes decoded";
    why += direct ? "; those bytes went to " + f.outName : "; " + f.outName + " is not written";
    toolError("zarc", "explode", f.inName, why);
    return kExitBadData;
  }
  if (verbose && !quiet) {
    std::fprintf(stderr, "zarc explode: %s -> %s: %s\n", f.inName.c_str(), f.outName.c_str(),
                 sizesAndRatio(s.read, s.written, false).c_str());
  }
  return kExitOk;
}
