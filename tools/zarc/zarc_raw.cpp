// `zarc implode` and `zarc explode`: one raw implode stream, file to file,
// in bounded memory whatever the file size.
#include "zarc_raw.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dcl_decode.h"
#include "implode.h"
#include "input_file.h"
#include "replace_file.h"
#include "zarc_status.h"

const char *const kZarcRawUsage =
    "  zarc implode [--ascii|--binary|--auto] [--dict 4|5|6] IN OUT\n"
    "      Compress IN into one implode stream OUT. --binary codes literals\n"
    "      as plain bytes, --ascii through the text code, --auto (the\n"
    "      default) takes whichever gives the smaller stream, reading IN\n"
    "      twice when its first 64 KiB favour the other one. --dict sets\n"
    "      the dictionary bits: 4, 5 or 6 for a window of 1024, 2048 or\n"
    "      4096 bytes (default 6).\n"
    "  zarc explode IN OUT\n"
    "      Decode the implode stream IN into OUT. Exits with the decoder's\n"
    "      result: 0 Ok, 1 BadDictionarySize, 2 BadCompressionType,\n"
    "      3 InputTooShort, 4 UnexpectedEnd (the bytes decoded up to then\n"
    "      are written).\n";

namespace {

int usage(const char *message) {
  std::fprintf(stderr, "zarc: %s\nusage:\n%s", message, kZarcRawUsage);
  return kZarcUsage;
}

struct ExplodeFiles {
  std::FILE *in;
  std::FILE *out;
  unsigned long long written = 0;
  bool writeFailed = false;
};

uint32_t readInput(unsigned char *buffer, uint32_t *count, void *param) {
  ExplodeFiles *f = static_cast<ExplodeFiles *>(param);
  return static_cast<uint32_t>(std::fread(buffer, 1, *count, f->in));
}

uint32_t writeOutput(unsigned char *buffer, uint32_t *count, void *param) {
  ExplodeFiles *f = static_cast<ExplodeFiles *>(param);
  if (*count == 0 || f->writeFailed) return 0;
  if (std::fwrite(buffer, 1, *count, f->out) != *count) {
    f->writeFailed = true;
    return 0;
  }
  f->written += *count;
  return *count;
}

}  // namespace

int zarcImplode(int argc, char **argv) {
  ImplodeMode mode = ImplodeMode::Auto;
  int dictBits = 6;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--ascii") {
      mode = ImplodeMode::Ascii;
    } else if (a == "--binary") {
      mode = ImplodeMode::Binary;
    } else if (a == "--auto") {
      mode = ImplodeMode::Auto;
    } else if (a == "--dict") {
      if (i + 1 >= argc) return usage("implode: --dict needs a value (4, 5 or 6)");
      std::string v = argv[++i];
      if (v != "4" && v != "5" && v != "6") return usage(("implode: bad --dict value '" + v + "' (4, 5 or 6)").c_str());
      dictBits = v[0] - '0';
    } else if (a.size() > 1 && a[0] == '-') {
      return usage(("implode: unknown option '" + a + "'").c_str());
    } else {
      paths.push_back(a);
    }
  }
  if (paths.size() != 2) return usage("implode: needs IN and OUT");
  std::string error;
  struct stat info;
  std::FILE *in = openInputStream(paths[0], &info, &error);
  InputFiles inputs;
  if (in) inputs.add(info);
  if (!in || !notAnInput(paths[1], inputs, &error)) {
    if (in) std::fclose(in);
    std::fprintf(stderr, "zarc: implode: %s\n", error.c_str());
    return kZarcIo;
  }
  bool readError = false;
  // A stream open for update, so that Auto can start again after a wrong guess.
  bool ok = writeReplacingStream(paths[1], 0666, [&](std::FILE *out) {
    FileSource source(in);
    FileSink sink(out);
    bool encoded = implodeStream(mode, dictBits, source, sink);
    readError = std::ferror(in) != 0;
    return encoded;
  }, &error);
  std::fclose(in);
  if (ok) return 0;
  std::fprintf(stderr, "zarc: implode: %s\n", readError ? ("error reading " + paths[0]).c_str() : error.c_str());
  return kZarcIo;
}

int zarcExplode(int argc, char **argv) {
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.size() > 1 && a[0] == '-') return usage(("explode: unknown option '" + a + "'").c_str());
    paths.push_back(a);
  }
  if (paths.size() != 2) return usage("explode: needs IN and OUT");
  ExplodeFiles files{nullptr, nullptr};
  std::string error;
  struct stat info;
  files.in = openInputStream(paths[0], &info, &error);
  InputFiles inputs;
  if (files.in) inputs.add(info);
  if (!files.in || !notAnInput(paths[1], inputs, &error)) {
    if (files.in) std::fclose(files.in);
    std::fprintf(stderr, "zarc: explode: %s\n", error.c_str());
    return kZarcIo;
  }
  DclResult result = DclResult::Ok;
  bool readFailed = false;
  // The bytes decoded before a damaged stream's end are kept, as the exit
  // status promises; a stream that cannot be read leaves no output.
  bool written = writeReplacingStream(paths[1], 0666, [&](std::FILE *out) {
    files.out = out;
    std::vector<unsigned char> work(DCL_WORK_AREA_SIZE);
    result = dclDecode(readInput, writeOutput, work.data(), &files);
    readFailed = std::ferror(files.in) != 0;
    return !readFailed && !files.writeFailed;
  }, &error);
  std::fclose(files.in);
  if (!written && !readFailed) files.writeFailed = true;
  if (readFailed) {
    std::fprintf(stderr, "zarc: explode: error reading %s\n", paths[0].c_str());
    return kZarcIo;
  }
  if (files.writeFailed) {
    std::fprintf(stderr, "zarc: explode: error writing %s\n", paths[1].c_str());
    return kZarcIo;
  }
  int status = static_cast<int>(result);
  if (result == DclResult::UnexpectedEnd) {
    std::fprintf(stderr, "zarc: explode: %s: %s, %llu bytes written\n", paths[0].c_str(), dclResultName(result),
                 files.written);
  } else if (result != DclResult::Ok) {
    std::fprintf(stderr, "zarc: explode: %s: %s\n", paths[0].c_str(), dclResultName(result));
  }
  return status;
}
