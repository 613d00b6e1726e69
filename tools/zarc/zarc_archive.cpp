// `zarc create`, `list`, `test` and `extract`.
#include "zarc_archive.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "input_file.h"
#include "replace_file.h"
#include "zarc_cli.h"

#define ZARC_CREATE_USAGE                                                                  \
  "  zarc create [-q] ARCHIVE [--ascii|--binary|--auto] [--dict 4|5|6] [NAME=]FILE...\n" \
  "      Make a package archive of the FILEs, keeping their last-write times.\n"         \
  "      A member is named after its FILE, or NAME with NAME=FILE; a name\n"             \
  "      must be an 8.3 name (up to 8 characters, a dot and up to 3 more)\n"             \
  "      that the setup program can write, and no two may be the same\n"                \
  "      ignoring case. The mode and dictionary options apply to the FILEs\n"            \
  "      after them (so each needs one after it); the defaults are --auto\n"             \
  "      and --dict 6 (see implode). Prints each member's sizes and coding;\n"           \
  "      -q: nothing but errors, and no progress line.\n"
#define ZARC_LIST_USAGE   \
  "  zarc list [-v] [-q] ARCHIVE\n" \
  "      Each member: name, compressed and decoded size, last-write time (UTC).\n"
#define ZARC_TEST_USAGE                                                     \
  "  zarc test [-v] [-q] ARCHIVE\n"                                         \
  "      Decode every member, writing nothing; exit 1 if any is bad. The\n" \
  "      format keeps no checksum: what is checked is that every member's\n" \
  "      data lie inside the file and decode to their end-of-stream code,\n" \
  "      and that every name is one the setup program accepts.\n"
#define ZARC_EXTRACT_USAGE                                                         \
  "  zarc extract [-d DIR] [-o|-n] [-p] [-v] [-q] ARCHIVE [MEMBER...]\n"          \
  "      Write the members (only the MEMBERs named, in any case, when given)\n"   \
  "      into DIR (default: the current directory; created when missing)\n"      \
  "      with their last-write times; exit 1 if any member is bad. When a\n"      \
  "      file of a member's name is there, nothing is written unless -o\n"       \
  "      (overwrite it) or -n (never overwrite: keep it) is given. -p writes\n"  \
  "      the members to standard output instead, one after another. -v\n"        \
  "      lists each file written or kept. A member replaces what lies under\n"   \
  "      its name only once decoded to its end, and never the archive.\n"
#define ZARC_ARCHIVE_COMMON                                                      \
  "  -v with list, test or extract also says why a file is not a package\n"     \
  "  archive. -q: no progress line (it shows only when standard error is a\n"   \
  "  terminal). Inputs must be regular files; no output is written over an\n"   \
  "  input, and each output appears under its name only when complete.\n"

const char *const kZarcArchiveUsage =
    ZARC_CREATE_USAGE ZARC_LIST_USAGE ZARC_TEST_USAGE ZARC_EXTRACT_USAGE ZARC_ARCHIVE_COMMON;

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

std::string baseName(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char *modeName(ImplodeMode mode) {
  return mode == ImplodeMode::Ascii ? "ascii" : mode == ImplodeMode::Binary ? "binary" : "auto";
}

std::string formatFileTime(uint64_t fileTime) {
  struct timespec ts = timespecFromFileTime(fileTime);
  time_t seconds = ts.tv_sec;
  struct tm parts;
  char text[64];
  if (gmtime_r(&seconds, &parts) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
    std::snprintf(text, sizeof text, "filetime %llu", static_cast<unsigned long long>(fileTime));
  }
  return text;
}

// Printable form of a stored name: up to the zero byte (or all 13 bytes),
// bytes outside printable ASCII as \xNN.
std::string printableName(const ArchiveEntry &entry) {
  std::string out;
  for (int i = 0; i < ARCHIVE_NAME_FIELD_SIZE && entry.memberName[i] != '\0'; i++) {
    unsigned char c = static_cast<unsigned char>(entry.memberName[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

// --- reading ---------------------------------------------------------------

struct MemberIo {
  int archiveFd = -1;
  uint32_t position = 0;   // where the next pread starts
  int outFd = -1;          // -1: decoded bytes are only counted
  // Progress over the compressed bytes of the members read.
  ProgressLine *progress = nullptr;
  uint64_t progressDone = 0;
};

uint32_t hostRead(void *context, unsigned char *buffer, uint32_t count) {
  MemberIo *io = static_cast<MemberIo *>(context);
  uint32_t done = 0;
  while (done < count) {
    ssize_t got = pread(io->archiveFd, buffer + done, count - done, static_cast<off_t>(io->position) + done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<uint32_t>(got);
  }
  io->position += done;
  if (io->progress) {
    io->progressDone += done;
    io->progress->update(io->progressDone);
  }
  return done;
}

int hostWrite(void *context, const unsigned char *buffer, uint32_t count) {
  MemberIo *io = static_cast<MemberIo *>(context);
  if (io->outFd < 0) return 1;
  uint32_t done = 0;
  while (done < count) {
    ssize_t put = write(io->outFd, buffer + done, count - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return 0;
    done += static_cast<uint32_t>(put);
  }
  return 1;
}

bool readAll(int fd, unsigned char *buffer, size_t count, off_t offset) {
  size_t done = 0;
  while (done < count) {
    ssize_t got = pread(fd, buffer + done, count - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

std::string describeDecode(const ArchiveMember &member, DclResult result) {
  if (result == DclResult::Ok) {
    if (member.writeFailed) return "could not write the decoded bytes";
    return "";
  }
  std::string text = std::string("damaged compressed data (") + dclResultName(result) + ")";
  if (member.readFailed) text += ", the archive could not be read";
  return text;
}

}  // namespace

uint64_t fileTimeFromTimespec(const struct timespec &time) {
  int64_t ticks = (static_cast<int64_t>(time.tv_sec) + kEpochDifference) * kTicksPerSecond + time.tv_nsec / 100;
  return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

struct timespec timespecFromFileTime(uint64_t fileTime) {
  // Floor division, so times before 1970 get a non-negative nanosecond part.
  uint64_t seconds1601 = fileTime / kTicksPerSecond;
  uint64_t rest = fileTime % kTicksPerSecond;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(static_cast<int64_t>(seconds1601) - kEpochDifference);
  ts.tv_nsec = static_cast<long>(rest * 100);
  return ts;
}


namespace {

bool readEntry(int fd, int32_t index, uint64_t archiveSize, ArchiveMemberReport *m) {
  unsigned char raw[ARCHIVE_ENTRY_SIZE];
  if (!readAll(fd, raw, sizeof raw, ARCHIVE_COUNT_SIZE + static_cast<off_t>(index) * ARCHIVE_ENTRY_SIZE)) return false;
  *m = ArchiveMemberReport();
  m->index = index;
  parseArchiveEntry(raw, &m->entry);
  m->name = printableName(m->entry);
  m->problem = checkArchiveEntry(&m->entry, archiveSize);
  if (m->problem != EntryProblem::None) m->error = entryProblemText(m->problem);
  return true;
}

}  // namespace

namespace {

bool equalIgnoringCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Creates dir and any parents it lacks.
bool makeDirs(const std::string &dir, std::string *error) {
  for (size_t at = 1; at <= dir.size(); at++) {
    if (at < dir.size() && dir[at] != '/') continue;
    std::string part = dir.substr(0, at);
    struct stat info;
    if (stat(part.c_str(), &info) == 0) {
      if (S_ISDIR(info.st_mode)) continue;
      *error = part + " is not a directory";
      return false;
    }
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = "cannot create the directory " + part + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

ArchiveReport processArchive(const std::string &archivePath, ArchiveAction action, const std::string &targetDir,
                             bool progress, const ArchiveMemberHandler &onMember) {
  ArchiveReadOptions options;
  std::string what = "reading " + archivePath;
  if (progress) options.progressWhat = what.c_str();
  return processArchive(archivePath, action, targetDir, options, onMember);
}

ArchiveReport processArchive(const std::string &archivePath, ArchiveAction action, const std::string &targetDir,
                             const ArchiveReadOptions &options, const ArchiveMemberHandler &onMember) {
  ArchiveReport report;
  struct stat info;
  std::string openError;
  int fd = openInput(archivePath, &info, &openError);
  if (fd < 0) {
    report.error = openError;
    report.notOpened = true;
    return report;
  }
  InputFiles inputs;
  inputs.add(info);
  report.archiveSize = static_cast<uint64_t>(info.st_size);
  unsigned char countBytes[ARCHIVE_COUNT_SIZE];
  if (!readAll(fd, countBytes, sizeof countBytes, 0)) {
    report.error = "the file has " + std::to_string(report.archiveSize) + " bytes, fewer than the 4 of a member count";
    report.notArchive = true;
    close(fd);
    return report;
  }
  report.entryCount = parseEntryCount(countBytes);
  // The setup program takes a count of 0 or less for an archive without
  // members; but no archive is made so, nor with bytes after an empty
  // directory.
  if (report.entryCount < 0 || (report.entryCount == 0 && report.archiveSize > ARCHIVE_COUNT_SIZE)) {
    report.error = report.entryCount < 0 ? "its first 4 bytes give a negative member count (" +
                                               std::to_string(report.entryCount) + ")"
                                         : "its member count is 0, yet " +
                                               std::to_string(report.archiveSize - ARCHIVE_COUNT_SIZE) +
                                               " more bytes follow";
    report.notArchive = true;
    close(fd);
    return report;
  }
  if (report.entryCount > 0 && archiveDirectoryEnd(report.entryCount) > report.archiveSize) {
    report.error = "the file is shorter than its directory: its first 4 bytes claim " +
                   std::to_string(report.entryCount) + " members, a directory of " +
                   std::to_string(archiveDirectoryEnd(report.entryCount)) + " bytes, and the file has " +
                   std::to_string(report.archiveSize);
    report.notArchive = true;
    close(fd);
    return report;
  }

  const std::string dir = targetDir.empty() ? std::string(".") : targetDir;
  const std::string prefix = dir.back() == '/' ? dir : dir + "/";  // of every member's file
  const bool toFiles = action == ArchiveAction::Extract && options.outFd < 0;
  if (toFiles && options.makeTarget && !makeDirs(dir, &report.error)) {
    report.ioError = true;
    close(fd);
    return report;
  }
  std::vector<bool> found(options.members.size());
  auto selected = [&](const char *name, bool mark) {
    if (options.members.empty()) return true;
    bool any = false;
    for (size_t i = 0; i < options.members.size(); i++) {
      if (!equalIgnoringCase(options.members[i], name)) continue;
      any = true;
      if (mark) found[i] = true;
    }
    return any;
  };

  MemberIo io;
  io.archiveFd = fd;
  // The directory is read twice rather than kept, so memory stays the same
  // whatever the count: first for the progress line's total and the files
  // in the way, then member by member.
  std::unique_ptr<ProgressLine> progress;
  if (options.progressWhat || (toFiles && options.existing == ExistingFiles::Refuse)) {
    uint64_t total = 0;
    for (int32_t i = 0; i < report.entryCount; i++) {
      ArchiveMemberReport m;
      if (!readEntry(fd, i, report.archiveSize, &m)) break;
      if (m.problem != EntryProblem::None) continue;
      char stored[ARCHIVE_NAME_FIELD_SIZE];
      entryNameText(&m.entry, stored);
      if (!selected(stored, false)) continue;
      total += m.entry.dataEnd - m.entry.dataOffset;
      struct stat there;
      std::string outPath = prefix + stored;
      if (toFiles && options.existing == ExistingFiles::Refuse && lstat(outPath.c_str(), &there) == 0) {
        report.error = outPath + " exists";
        report.ioError = true;
        close(fd);
        return report;
      }
    }
    if (options.progressWhat) {
      progress.reset(new ProgressLine("zarc", options.progressWhat, total, false));
      io.progress = progress.get();
    }
  }
  std::vector<unsigned char> workArea(DCL_WORK_AREA_SIZE);
  std::set<std::string> written;  // names of the members extracted: no more than the files made
  for (int32_t i = 0; i < report.entryCount; i++) {
    ArchiveMemberReport m;
    if (!readEntry(fd, i, report.archiveSize, &m)) {
      report.error = "cannot read the directory";
      report.ioError = true;
      break;
    }
    report.membersSeen++;
    // The member's file gets the stored bytes of its name; the printable
    // form is for messages only.
    char stored[ARCHIVE_NAME_FIELD_SIZE];
    entryNameText(&m.entry, stored);
    if (!selected(stored, true)) continue;
    if (m.problem == EntryProblem::None) {
      io.outFd = -1;
      // Decodes the member, into fd when it is one (else only counting).
      auto decode = [&](int fd) {
        io.outFd = fd;
        ArchiveMember member;
        startArchiveMember(&member, &m.entry, hostRead, hostWrite, &io);
        io.position = m.entry.dataOffset;
        m.result = decodeArchiveMember(&member, workArea.data());
        m.decoded = true;
        m.decodedBytes = member.bytesWritten;
        m.error = describeDecode(member, m.result);
        m.ioError = m.result == DclResult::Ok && member.writeFailed;
        io.outFd = -1;
        return m.error.empty();
      };
      if (action != ArchiveAction::Extract) {
        decode(-1);
      } else if (!toFiles) {
        decode(options.outFd);
      } else {
        m.outPath = prefix + stored;
        std::string error;
        struct stat there;
        if (written.count(stored)) {
          m.error = "a second member of the same name";
        } else if (!notAnInput(m.outPath, inputs, &error)) {
          m.error = error;
          m.ioError = true;
        } else if (options.existing == ExistingFiles::Keep && lstat(m.outPath.c_str(), &there) == 0) {
          m.kept = true;
        } else {
          // Only a member decoded to its end replaces what lies under its
          // name; a damaged one leaves it as it was.
          bool done = writeReplacing(
              m.outPath, 0666,
              [&](int fd) {
                if (!decode(fd)) return false;
                struct timespec times[2];
                times[0].tv_sec = 0;
                times[0].tv_nsec = UTIME_NOW;
                times[1] = timespecFromFileTime(m.entry.lastWriteTime);
                if (futimens(fd, times) == 0) return true;
                m.error = "cannot set the time of " + m.outPath + ": " + strerror(errno);
                m.ioError = true;
                return false;
              },
              &error);
          if (done) {
            written.insert(stored);
          } else if (m.error.empty()) {
            m.error = error;
            m.ioError = true;
          }
        }
      }
    }
    if (!m.error.empty()) {
      report.badMembers++;
      if (m.ioError) report.ioErrors++;
    }
    if (progress) progress->clear();  // what onMember prints stands on a line of its own
    if (onMember) onMember(m);
  }
  for (size_t i = 0; i < found.size(); i++) {
    if (!found[i]) report.notFound.push_back(options.members[i]);
  }
  close(fd);
  return report;
}

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
                   std::vector<ArchiveCreated> *created, std::string *errorOut, ProgressLine *progress) {
  std::string ignored;
  std::string *error = errorOut ? errorOut : &ignored;
  std::vector<ArchiveCreated> members;
  std::vector<std::string> folded;  // the names in lower case
  for (const ArchiveInput &input : inputs) {
    ArchiveCreated c;
    c.name = input.name.empty() ? baseName(input.path) : input.name;
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
      bool encoded = implodeStream(input.mode, input.dictBits, source, sink, &stats);
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
  if (!writeReplacingStream(archivePath, 0666, writeArchive, error)) {
    if (!message.empty()) *error = message;
    return false;
  }
  if (created) *created = members;
  return true;
}

// --- command lines ---------------------------------------------------------

namespace {

// The exit status of a read: I/O first, then bad data.
int readStatus(const ArchiveReport &report) {
  if (report.notOpened || report.ioError || report.ioErrors > 0) return kExitIo;
  return report.ok() ? kExitOk : kExitBadData;
}

int runCreate(int argc, char **argv) {
  const char *usageText = ZARC_CREATE_USAGE;
  std::string archive;
  std::vector<ArchiveInput> inputs;
  ImplodeMode mode = ImplodeMode::Auto;
  int dictBits = 6;
  bool quiet = false, optionsDone = false;
  std::string waiting;  // a mode or dictionary option not yet followed by a FILE
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    int status;
    if (!optionsDone && zarcHelpOrVersion(arg, usageText, &status)) return status;
    if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        optionsDone = true;
      } else if (arg == "-q") {
        quiet = true;
      } else if (arg == "--ascii" || arg == "--binary" || arg == "--auto") {
        mode = arg == "--ascii" ? ImplodeMode::Ascii : arg == "--binary" ? ImplodeMode::Binary : ImplodeMode::Auto;
        waiting = arg;
      } else if (arg == "--dict") {
        if (i + 1 >= argc) return zarcUsageError("create", "--dict", "needs a value (4, 5 or 6)");
        std::string value = argv[++i];
        if (value != "4" && value != "5" && value != "6") {
          return zarcUsageError("create", "--dict " + value, "must be 4, 5 or 6");
        }
        dictBits = value[0] - '0';
        waiting = "--dict " + value;
      } else {
        return zarcUsageError("create", "unknown option " + arg);
      }
      continue;
    }
    if (archive.empty()) {
      archive = arg;
      continue;
    }
    ArchiveInput input;
    input.path = arg;
    size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      input.name = arg.substr(0, equals);
      input.path = arg.substr(equals + 1);
      if (input.name.empty() || input.path.empty()) {
        return zarcUsageError("create", arg, "NAME=FILE needs both a member name and a file");
      }
    }
    input.mode = mode;
    input.dictBits = dictBits;
    inputs.push_back(input);
    waiting.clear();
  }
  if (archive.empty()) return zarcUsageError("create", "no ARCHIVE named");
  if (inputs.empty()) return zarcUsageError("create", archive, "no FILE to put in it (an empty list makes no archive)");
  if (!waiting.empty()) return zarcUsageError("create", waiting, "comes after the last FILE, so applies to none");
  // Names and arguments are the command line's faults; the rest is I/O.
  std::string error;
  uint64_t total = 0;
  for (const ArchiveInput &input : inputs) {
    struct stat info;
    if (stat(input.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      return zarcUsageError("create", input.path, "is a directory (name the files in it)");
    }
    if (stat(input.path.c_str(), &info) == 0) total += static_cast<uint64_t>(info.st_size);
    std::string name = input.name.empty() ? baseName(input.path) : input.name;
    std::string problem = memberNameProblem(name);
    if (!problem.empty()) {
      return zarcUsageError("create", "'" + name + "' cannot be a member name", problem + "; NAME=FILE gives another");
    }
  }
  std::vector<ArchiveCreated> created;
  ProgressLine progress("zarc", "creating " + archive, total, quiet);
  bool made = createArchive(archive, inputs, &created, &error, &progress);
  progress.clear();
  if (!made) {
    bool twoNames = error.compare(0, 11, "two members") == 0;
    toolError("zarc", "create", archive, error);
    return twoNames ? kExitUsage : kExitIo;
  }
  for (const ArchiveCreated &c : created) {
    if (quiet) break;
    std::printf("%-12s %10llu -> %10u  %s\n", c.name.c_str(), static_cast<unsigned long long>(c.inputBytes),
                c.dataEnd - c.dataOffset, modeName(c.modeUsed));
  }
  return kExitOk;
}

int runRead(ArchiveAction action, int argc, char **argv) {
  const std::string command = argv[0];
  const char *usageText = action == ArchiveAction::List   ? ZARC_LIST_USAGE ZARC_ARCHIVE_COMMON
                          : action == ArchiveAction::Test ? ZARC_TEST_USAGE ZARC_ARCHIVE_COMMON
                                                          : ZARC_EXTRACT_USAGE ZARC_ARCHIVE_COMMON;
  const bool extract = action == ArchiveAction::Extract;
  bool verbose = false, quiet = false, toStdout = false, optionsDone = false;
  std::string dir = ".", archive;
  ArchiveReadOptions options;
  std::string chosen;  // -o or -n, once given
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    int status;
    if (!optionsDone && zarcHelpOrVersion(arg, usageText, &status)) return status;
    if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        optionsDone = true;
      } else if (arg == "-v") {
        verbose = true;
      } else if (arg == "-q") {
        quiet = true;
      } else if (extract && arg == "-d") {
        if (i + 1 >= argc) return zarcUsageError(command, "-d", "needs a directory");
        dir = argv[++i];
      } else if (extract && (arg == "-o" || arg == "-n")) {
        if (!chosen.empty() && chosen != arg) return zarcUsageError(command, chosen + " and " + arg, "exclude each other");
        chosen = arg;
        options.existing = arg == "-o" ? ExistingFiles::Replace : ExistingFiles::Keep;
      } else if (extract && arg == "-p") {
        toStdout = true;
      } else {
        return zarcUsageError(command, "unknown option " + arg);
      }
      continue;
    }
    if (archive.empty()) {
      archive = arg;
    } else if (extract) {
      options.members.push_back(arg);
    } else {
      return zarcUsageError(command, "one ARCHIVE only", "got " + arg + " as well");
    }
  }
  if (archive.empty()) return zarcUsageError(command, "no ARCHIVE named");
  if (dir.empty()) return zarcUsageError(command, "-d", "needs a directory");
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (extract && chosen.empty()) options.existing = ExistingFiles::Refuse;
  if (toStdout) options.outFd = STDOUT_FILENO;
  options.makeTarget = true;
  std::string what = (extract ? "extracting " : action == ArchiveAction::Test ? "testing " : "listing ") + archive;
  if (!quiet && isatty(STDERR_FILENO)) options.progressWhat = what.c_str();  // else not worth a pass
  // What -v lists goes where the members' bytes do not.
  std::FILE *listing = toStdout ? stderr : stdout;
  bool headed = false;
  auto heading = [&] {
    if (action == ArchiveAction::List && !headed) {
      std::printf("%-12s %10s %10s  %s\n", "name", "compressed", "decoded", "last written (UTC)");
    }
    headed = true;
  };
  // Each member is shown as it is done with, its problem beside it.
  auto show = [&](const ArchiveMemberReport &m) {
    heading();
    if (action == ArchiveAction::List) {
      std::string decoded = m.decoded && m.error.empty() ? std::to_string(m.decodedBytes) : "damaged";
      if (m.problem != EntryProblem::None) decoded = "bad entry";
      std::printf("%-12s %10u %10s  %s\n", m.name.c_str(), m.entry.dataEnd - m.entry.dataOffset, decoded.c_str(),
                  formatFileTime(m.entry.lastWriteTime).c_str());
    } else if (action == ArchiveAction::Test) {
      std::printf("%-12s %s\n", m.name.c_str(), m.error.empty() ? "ok" : m.error.c_str());
    } else if (verbose && m.error.empty()) {
      if (m.kept) {
        std::fprintf(listing, "kept       %s (a file of that name is there)\n", m.outPath.c_str());
      } else {
        std::fprintf(listing, "%s  %s (%llu bytes)\n", toStdout ? "wrote    " : "extracted",
                     toStdout ? m.name.c_str() : m.outPath.c_str(), static_cast<unsigned long long>(m.decodedBytes));
      }
    }
    if (!m.error.empty()) {
      std::fflush(stdout);
      toolError("zarc", command, archive, "member " + std::to_string(m.index) + " '" + m.name + "': " + m.error);
    }
  };
  ArchiveReport report = processArchive(archive, action, dir, options, show);
  if (report.error.empty()) heading();
  std::fflush(stdout);
  if (report.notArchive) {
    toolError("zarc", command, archive,
              std::string("not a package archive") + (verbose ? " (" + report.error + ")" : " (-v says why)"));
  } else if (!report.error.empty()) {
    std::string why = report.error;
    if (options.existing == ExistingFiles::Refuse && report.ioError && why.size() > 7 &&
        why.compare(why.size() - 7, 7, " exists") == 0) {
      why += "; nothing extracted (-o overwrites, -n keeps what is there)";
    }
    toolError("zarc", command, archive, why);
  }
  for (const std::string &name : report.notFound) toolError("zarc", command, archive, "no member named '" + name + "'");
  if (action == ArchiveAction::Test && !report.notOpened && !report.notArchive) {
    std::printf("%d of %d members good. The format keeps no checksum; checked: every member's data lie inside "
                "the file and decode to their end-of-stream code, and every name is one the setup program "
                "accepts.\n",
                report.membersSeen - report.badMembers, report.membersSeen);
  }
  if (std::fflush(stdout) != 0) {
    toolError("zarc", command, "standard output", strerror(errno));
    return kExitIo;
  }
  return readStatus(report);
}

}  // namespace

bool isZarcArchiveCommand(const char *command) {
  return !std::strcmp(command, "create") || !std::strcmp(command, "list") || !std::strcmp(command, "test") ||
         !std::strcmp(command, "extract");
}

int zarcArchive(int argc, char **argv) {
  std::string command = argv[0];
  if (command == "create") return runCreate(argc, argv);
  if (command == "list") return runRead(ArchiveAction::List, argc, argv);
  if (command == "test") return runRead(ArchiveAction::Test, argc, argv);
  return runRead(ArchiveAction::Extract, argc, argv);
}
