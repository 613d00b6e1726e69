// `zarc create`'s archive writer: each member's implode stream straight
// into the archive after the ones before it, then the count and directory.
#include <string.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "input_file.h"
#include "output_file.h"
#include "tool_cli.h"
#include "zarc_archive.h"

// --- creating --------------------------------------------------------------

namespace {

// An input whose reads move the progress line, counted on from the bytes
// of the inputs before it (a second pass over it starts again from there).
class CountingSource : public FileSource {
 public:
  CountingSource(std::FILE *f, ProgressLine *progress, uint64_t before)
      : FileSource(f), progress_(progress), before_(before) {}
  size_t read(unsigned char *buffer, size_t n) override {
    size_t got = FileSource::read(buffer, n);
    done_ += got;
    if (progress_) progress_->update(before_ + done_);
    return got;
  }
  bool rewind() override {
    done_ = 0;
    return FileSource::rewind();
  }

 private:
  ProgressLine *progress_;
  uint64_t before_;
  uint64_t done_ = 0;
};

}  // namespace

std::string memberNameProblem(const std::string &name) {
  if (name.empty()) return "an empty name";
  if (name.size() >= ARCHIVE_NAME_FIELD_SIZE) return "longer than 12 characters";
  if (name.find('\0') != std::string::npos || !isPlainMemberName(name.c_str())) {
    return "not a plain file name (no directory, drive or device name, none of \\ / : < > \" | ? *, "
           "no control character, no trailing dot or space)";
  }
  size_t dot = name.find('.');
  size_t base = dot == std::string::npos ? name.size() : dot;
  size_t extension = dot == std::string::npos ? 0 : name.size() - dot - 1;
  if (base == 0 || base > 8 || extension > 3 || (dot != std::string::npos && name.find('.', dot + 1) != std::string::npos) ||
      name.find_first_of(" +,;=[]") != std::string::npos) {
    return "not an 8.3 name (1 to 8 characters, then a dot and 1 to 3 more; no blank, none of + , ; = [ ])";
  }
  return "";
}

bool createArchive(const std::string &archivePath, const std::vector<ArchiveInput> &inputs,
                   std::vector<ArchiveCreated> *created, std::string *errorOut, ProgressLine *progress, bool force) {
  std::string ignored;
  std::string *error = errorOut ? errorOut : &ignored;
  std::vector<ArchiveCreated> members;
  std::vector<std::string> folded;  // the names in lower case
  for (const ArchiveInput &input : inputs) {
    ArchiveCreated c;
    c.name = input.name.empty() ? baseNameOf(input.path) : input.name;
    std::string problem = memberNameProblem(c.name);
    if (!problem.empty()) {
      *error = "'" + c.name + "' cannot be a member name: " + problem;
      return false;
    }
    std::string lower = c.name;
    for (char &ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (size_t i = 0; i < folded.size(); i++) {
      if (folded[i] != lower) continue;
      *error = members[i].name == c.name
                   ? "two members named '" + c.name + "'"
                   : "two members named '" + members[i].name + "' and '" + c.name + "', one file on Windows";
      return false;
    }
    folded.push_back(lower);
    if (input.dictBits < 4 || input.dictBits > 6) {
      *error = "dictionary bits must be 4, 5 or 6";
      return false;
    }
    members.push_back(c);
  }
  if (inputs.size() > 0x7FFFFFFF / ARCHIVE_ENTRY_SIZE) {
    *error = "too many members";
    return false;
  }

  // Every input is looked at before the archive is begun: each must be a
  // regular file, and none may be the archive itself.
  InputFiles inputFiles;
  for (const ArchiveInput &input : inputs) {
    struct stat info;
    if (stat(input.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      *error = input.path + " is a directory (give the files in it)";
      return false;
    }
    if (!checkInput(input.path, &inputFiles, error)) return false;
  }
  uint64_t inputDone = 0;  // bytes read before the current input
  if (!notAnInput(archivePath, inputFiles, error)) return false;
  std::string message;  // what went wrong inside, when something did
  auto writeArchive = [&](std::FILE *out) {
    auto fail = [&](const std::string &what) {
      message = what;
      return false;
    };
    uint64_t position = archiveDirectoryEnd(static_cast<int32_t>(inputs.size()));
    std::vector<unsigned char> header(static_cast<size_t>(position), 0);
    if (std::fwrite(header.data(), 1, header.size(), out) != header.size()) {
      return fail("cannot write " + archivePath);
    }
    for (size_t i = 0; i < inputs.size(); i++) {
      const ArchiveInput &input = inputs[i];
      ArchiveCreated &c = members[i];
      struct stat info;
      std::string openError;
      std::FILE *in = openInputStream(input.path, &info, &openError);
      if (!in) return fail(openError);
      c.lastWriteTime = fileTimeFromTimespec(info.st_mtim);
      // Each stream goes straight into the archive after the ones before it.
      CountingSource source(in, progress, inputDone);
      FileSink sink(out, static_cast<long long>(position));
      ImplodeStats stats;
      ImplodeOptions options;
      options.best = input.best;
      bool encoded = implodeStream(input.mode, input.dictBits, source, sink, &stats, options);
      bool readFailed = std::ferror(in) != 0;
      std::fclose(in);
      if (!encoded) return fail(readFailed ? "cannot read " + input.path : "cannot write " + archivePath);
      off_t end = ftello(out);
      if (end < 0) return fail("cannot write " + archivePath);
      c.inputBytes = stats.inputBytes;
      inputDone += stats.inputBytes;
      c.modeUsed = stats.modeUsed;
      if (static_cast<uint64_t>(end) > 0xFFFFFFFFULL) return fail("the archive would pass 4 GiB");
      c.dataOffset = static_cast<uint32_t>(position);
      c.dataEnd = static_cast<uint32_t>(end);
      position = static_cast<uint64_t>(end);
    }
    // Now the count and the directory.
    unsigned char count[ARCHIVE_COUNT_SIZE];
    uint32_t n = static_cast<uint32_t>(inputs.size());
    for (int b = 0; b < 4; b++) count[b] = static_cast<unsigned char>(n >> (8 * b));
    std::memcpy(header.data(), count, sizeof count);
    for (size_t i = 0; i < members.size(); i++) {
      ArchiveEntry entry;
      std::memset(&entry, 0, sizeof entry);
      std::memcpy(entry.memberName, members[i].name.c_str(), members[i].name.size());
      entry.lastWriteTime = members[i].lastWriteTime;
      entry.dataOffset = members[i].dataOffset;
      entry.dataEnd = members[i].dataEnd;
      formatArchiveEntry(&entry, header.data() + ARCHIVE_COUNT_SIZE + i * ARCHIVE_ENTRY_SIZE);
    }
    if (std::fseek(out, 0, SEEK_SET) != 0 || std::fwrite(header.data(), 1, header.size(), out) != header.size()) {
      return fail("cannot write " + archivePath);
    }
    return true;
  };
  OutputOptions output;
  output.force = force;
  if (!writeOutputStream(archivePath, output, true, writeArchive, error)) {
    if (!message.empty()) *error = message;
    return false;
  }
  if (created) *created = members;
  return true;
}

