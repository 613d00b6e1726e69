// `zarc create`, `list`, `test` and `extract`.
#include "zarc_archive.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "input_file.h"
#include "replace_file.h"
#include "zarc_status.h"

const char *const kZarcArchiveUsage =
    "  zarc create ARCHIVE [--ascii|--binary|--auto] [--dict 4|5|6] FILE...\n"
    "      Make a package archive of the FILEs (members named after the\n"
    "      files, at most 12 characters, keeping their last-write times).\n"
    "      The mode and dictionary options apply to the FILEs after them;\n"
    "      the defaults are --auto and --dict 6.\n"
    "  zarc list ARCHIVE\n"
    "      Each member: name, compressed and decoded size, timestamp (UTC).\n"
    "  zarc test ARCHIVE\n"
    "      Decode every member, writing nothing; exit 1 if any is bad.\n"
    "  zarc extract ARCHIVE [DIR]\n"
    "      Write the members into DIR (default: the current directory) with\n"
    "      their timestamps; exit 1 if any member is bad. A member replaces\n"
    "      what lies under its name only once decoded to its end, and never\n"
    "      the archive itself. A progress bar is drawn when standard error is\n"
    "      a terminal.\n"
    "  Inputs must be regular files; no output is written over an input, and\n"
    "  each output appears under its name only when complete.\n";

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

int usage(const char *message) {
  std::fprintf(stderr, "zarc: %s\nusage:\n%s", message, kZarcArchiveUsage);
  return kZarcUsage;
}

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
  // Progress over the compressed bytes of the whole archive.
  bool progress = false;
  uint64_t progressDone = 0;
  uint64_t progressTotal = 0;
  int lastPercent = -1;
  const std::string *memberName = nullptr;
};

void drawProgress(MemberIo *io) {
  int percent = io->progressTotal ? static_cast<int>(io->progressDone * 100 / io->progressTotal) : 100;
  if (percent == io->lastPercent) return;
  io->lastPercent = percent;
  const int width = 30;
  int filled = percent * width / 100;
  std::fprintf(stderr, "\r[%.*s%*s] %3d%% %-12s", filled, "##############################", width - filled, "",
               percent, io->memberName ? io->memberName->c_str() : "");
  std::fflush(stderr);
}

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
    drawProgress(io);
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

ArchiveReport processArchive(const std::string &archivePath, ArchiveAction action, const std::string &targetDir,
                             bool progress, const ArchiveMemberHandler &onMember) {
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
    report.error = "the archive is shorter than its 4-byte member count";
    close(fd);
    return report;
  }
  report.entryCount = parseEntryCount(countBytes);
  if (report.entryCount > 0 && archiveDirectoryEnd(report.entryCount) > report.archiveSize) {
    report.error = "the archive is shorter than its directory of " + std::to_string(report.entryCount) +
                   " entries (" + std::to_string(archiveDirectoryEnd(report.entryCount)) + " bytes, the file has " +
                   std::to_string(report.archiveSize) + ")";
    close(fd);
    return report;
  }

  MemberIo io;
  io.archiveFd = fd;
  io.progress = progress;
  // The directory is read twice rather than kept, so memory stays the same
  // whatever the count: once for the progress bar's total, then member by
  // member.
  for (int32_t i = 0; progress && i < report.entryCount; i++) {
    ArchiveMemberReport m;
    if (!readEntry(fd, i, report.archiveSize, &m)) break;
    if (m.problem == EntryProblem::None) io.progressTotal += m.entry.dataEnd - m.entry.dataOffset;
  }
  std::vector<unsigned char> workArea(DCL_WORK_AREA_SIZE);
  std::set<std::string> written;  // names of the members extracted: no more than the files made
  for (int32_t i = 0; i < report.entryCount; i++) {
    ArchiveMemberReport m;
    if (!readEntry(fd, i, report.archiveSize, &m)) {
      report.error = "cannot read the directory";
      break;
    }
    report.membersSeen++;
    if (m.problem == EntryProblem::None) {
      // The member's file gets the stored bytes of its name; the printable
      // form is for messages only.
      char stored[ARCHIVE_NAME_FIELD_SIZE];
      entryNameText(&m.entry, stored);
      io.outFd = -1;
      io.memberName = &m.name;
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
        io.outFd = -1;
        return m.error.empty();
      };
      if (action != ArchiveAction::Extract) {
        decode(-1);
      } else {
        std::string outPath = (targetDir.empty() ? std::string(".") : targetDir) + "/" + stored;
        std::string error;
        if (written.count(stored)) {
          m.error = "a second member of the same name";
        } else if (!notAnInput(outPath, inputs, &error)) {
          m.error = error;
        } else {
          // Only a member decoded to its end replaces what lies under its
          // name; a damaged one leaves it as it was.
          bool done = writeReplacing(
              outPath, 0666,
              [&](int fd) {
                if (!decode(fd)) return false;
                struct timespec times[2];
                times[0].tv_sec = 0;
                times[0].tv_nsec = UTIME_NOW;
                times[1] = timespecFromFileTime(m.entry.lastWriteTime);
                if (futimens(fd, times) == 0) return true;
                m.error = "cannot set the time of " + outPath + ": " + strerror(errno);
                return false;
              },
              &error);
          if (done) {
            written.insert(stored);
          } else if (m.error.empty()) {
            m.error = error;
          }
        }
      }
    }
    if (!m.error.empty()) report.badMembers++;
    if (onMember) onMember(m);
  }
  if (progress && report.entryCount > 0) std::fprintf(stderr, "\n");
  close(fd);
  return report;
}

// --- creating --------------------------------------------------------------

bool createArchive(const std::string &archivePath, const std::vector<ArchiveInput> &inputs,
                   std::vector<ArchiveCreated> *created, std::string *errorOut) {
  std::string ignored;
  std::string *error = errorOut ? errorOut : &ignored;
  std::vector<ArchiveCreated> members;
  std::set<std::string> names;
  for (const ArchiveInput &input : inputs) {
    ArchiveCreated c;
    c.name = input.name.empty() ? baseName(input.path) : input.name;
    if (!isPlainMemberName(c.name.c_str())) {
      *error = "'" + c.name + "' cannot be a member name (a plain file name of 1 to 12 characters)";
      return false;
    }
    if (!names.insert(c.name).second) {
      *error = "two members named '" + c.name + "'";
      return false;
    }
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
    if (!checkInput(input.path, &inputFiles, error)) return false;
  }
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
      FileSource source(in);
      FileSink sink(out, static_cast<long long>(position));
      ImplodeStats stats;
      bool encoded = implodeStream(input.mode, input.dictBits, source, sink, &stats);
      bool readFailed = std::ferror(in) != 0;
      std::fclose(in);
      if (!encoded) return fail(readFailed ? "cannot read " + input.path : "cannot write " + archivePath);
      off_t end = ftello(out);
      if (end < 0) return fail("cannot write " + archivePath);
      c.inputBytes = stats.inputBytes;
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

int runCreate(int argc, char **argv) {
  if (argc < 2) return usage("create: no archive named");
  std::string archive = argv[1];
  std::vector<ArchiveInput> inputs;
  ImplodeMode mode = ImplodeMode::Auto;
  int dictBits = 6;
  for (int i = 2; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--ascii") {
      mode = ImplodeMode::Ascii;
    } else if (arg == "--binary") {
      mode = ImplodeMode::Binary;
    } else if (arg == "--auto") {
      mode = ImplodeMode::Auto;
    } else if (arg == "--dict") {
      if (i + 1 >= argc) return usage("create: --dict needs 4, 5 or 6");
      std::string value = argv[++i];
      if (value != "4" && value != "5" && value != "6") return usage("create: --dict needs 4, 5 or 6");
      dictBits = value[0] - '0';
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage(("create: unknown option " + arg).c_str());
    } else {
      ArchiveInput input;
      input.path = arg;
      input.mode = mode;
      input.dictBits = dictBits;
      inputs.push_back(input);
    }
  }
  std::vector<ArchiveCreated> created;
  std::string error;
  if (!createArchive(archive, inputs, &created, &error)) {
    std::fprintf(stderr, "zarc create: %s\n", error.c_str());
    return kZarcIo;
  }
  for (const ArchiveCreated &c : created) {
    std::printf("%-12s %10llu -> %10u  %s\n", c.name.c_str(), static_cast<unsigned long long>(c.inputBytes),
                c.dataEnd - c.dataOffset, modeName(c.modeUsed));
  }
  return 0;
}

int runRead(ArchiveAction action, int argc, char **argv) {
  const char *command = argv[0];
  int maxArgs = action == ArchiveAction::Extract ? 3 : 2;
  if (argc < 2 || argc > maxArgs) return usage((std::string(command) + ": wrong number of arguments").c_str());
  std::string archive = argv[1];
  std::string dir = argc > 2 ? argv[2] : ".";
  if (action == ArchiveAction::Extract) {
    struct stat info;
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      std::fprintf(stderr, "zarc extract: %s is not a directory\n", dir.c_str());
      return kZarcIo;
    }
  }
  bool progress = action != ArchiveAction::List && isatty(STDERR_FILENO);
  // Each member is shown as it is done with, its problem beside it.
  auto show = [&](const ArchiveMemberReport &m) {
    if (action == ArchiveAction::List) {
      std::string decoded = m.decoded && m.error.empty() ? std::to_string(m.decodedBytes) : "damaged";
      if (m.problem != EntryProblem::None) decoded = "bad entry";
      std::printf("%-12s %10u %10s  %s\n", m.name.c_str(), m.entry.dataEnd - m.entry.dataOffset, decoded.c_str(),
                  formatFileTime(m.entry.lastWriteTime).c_str());
    } else if (action == ArchiveAction::Test) {
      std::printf("%-12s %s\n", m.name.c_str(), m.error.empty() ? "ok" : m.error.c_str());
    }
    if (!m.error.empty()) {
      std::fprintf(stderr, "zarc %s: %s: member %d '%s': %s\n", command, archive.c_str(), m.index, m.name.c_str(),
                   m.error.c_str());
    }
  };
  ArchiveReport report = processArchive(archive, action, dir, progress, show);
  if (!report.error.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "zarc %s: %s: %s\n", command, archive.c_str(), report.error.c_str());
  }
  if (report.notOpened) return kZarcIo;
  return report.ok() ? 0 : 1;
}

}  // namespace

bool isZarcArchiveCommand(const char *command) {
  return !std::strcmp(command, "create") || !std::strcmp(command, "list") || !std::strcmp(command, "test") ||
         !std::strcmp(command, "extract");
}

int zarcArchive(int argc, char **argv) {
  if (argc < 1) return usage("no subcommand");
  std::string command = argv[0];
  if (command == "create") return runCreate(argc, argv);
  if (command == "list") return runRead(ArchiveAction::List, argc, argv);
  if (command == "test") return runRead(ArchiveAction::Test, argc, argv);
  if (command == "extract") return runRead(ArchiveAction::Extract, argc, argv);
  return usage(("unknown subcommand " + command).c_str());
}
