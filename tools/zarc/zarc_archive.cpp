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
#include "output_file.h"
#include "tool_cli.h"

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

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

namespace {

// Copies from in to out until count bytes are there (or the end of in).
bool spoolTo(int in, int out, uint64_t count, uint64_t *have) {
  std::vector<unsigned char> buffer(1 << 16);
  while (*have < count) {
    size_t want = count - *have < buffer.size() ? static_cast<size_t>(count - *have) : buffer.size();
    ssize_t got = read(in, buffer.data(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    if (!writeAllTo(out, buffer.data(), static_cast<size_t>(got))) return false;
    *have += static_cast<uint64_t>(got);
  }
  return true;
}

// An archive that can be read only once (standard input, a pipe, a FIFO, a
// device) goes, in one pass, into an anonymous temporary file, as far as
// its directory says the members go (a byte past an empty directory
// included, so it is seen); the rest is left unread. The descriptor of that
// file, or -1.
int spoolArchive(int in, std::string *error) {
  std::FILE *spool = std::tmpfile();
  int fd = spool ? dup(fileno(spool)) : -1;
  if (spool) std::fclose(spool);
  if (fd < 0) {
    *error = std::string("cannot make a temporary file: ") + strerror(errno);
    return -1;
  }
  uint64_t have = 0, end = ARCHIVE_COUNT_SIZE;
  bool ok = spoolTo(in, fd, end, &have);
  if (ok && have == end) {
    unsigned char count[ARCHIVE_COUNT_SIZE];
    ok = readAll(fd, count, sizeof count, 0);
    int32_t entries = ok ? parseEntryCount(count) : -1;
    if (entries == 0) end += 1;
    if (entries > 0) {
      end = archiveDirectoryEnd(entries);
      ok = spoolTo(in, fd, end, &have);
      uint64_t last = end;  // the furthest any member's data go
      for (int32_t i = 0; ok && have == end && i < entries; i++) {
        unsigned char raw[ARCHIVE_ENTRY_SIZE];
        ArchiveEntry entry;
        if (!readAll(fd, raw, sizeof raw, ARCHIVE_COUNT_SIZE + static_cast<off_t>(i) * ARCHIVE_ENTRY_SIZE)) break;
        parseArchiveEntry(raw, &entry);
        if (entry.dataEnd > last) last = entry.dataEnd;
      }
      end = last;
    }
    ok = ok && spoolTo(in, fd, end, &have);
  }
  if (!ok) {
    *error = std::string("cannot read: ") + strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// Opens the archive for reading at any offset: a regular file as it is,
// anything readable once through spoolArchive. -1 with *error.
int openArchive(const std::string &path, struct stat *info, std::string *error) {
  if (path == "-") {
    int fd = spoolArchive(STDIN_FILENO, error);
    if (fd < 0) *error = "standard input: " + *error;
    return fd < 0 || fstat(fd, info) != 0 ? -1 : fd;
  }
  // O_NONBLOCK: a FIFO that no one writes to reads as empty rather than
  // waiting for a writer.
  int in = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (in < 0 || fstat(in, info) != 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    if (in >= 0) close(in);
    return -1;
  }
  fcntl(in, F_SETFL, fcntl(in, F_GETFL) & ~O_NONBLOCK);
  if (S_ISREG(info->st_mode)) return in;
  if (!S_ISFIFO(info->st_mode) && !S_ISCHR(info->st_mode) && !S_ISSOCK(info->st_mode)) {
    *error = path + " is not a file";
    close(in);
    return -1;
  }
  struct stat original = *info;
  int fd = spoolArchive(in, error);
  close(in);
  if (fd < 0) {
    *error = path + ": " + *error;
    return -1;
  }
  fstat(fd, info);
  info->st_dev = original.st_dev;  // known by the name given, as an input
  info->st_ino = original.st_ino;
  return fd;
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
  int fd = openArchive(archivePath, &info, &openError);
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
          OutputOptions output;
          output.force = options.force;
          output.filesOnly = true;  // a member's name leads nowhere else
          bool done = writeOutput(
              m.outPath, output,
              [&](int fd) {
                if (!decode(fd)) return false;
                struct stat written;
                if (fstat(fd, &written) != 0 || !S_ISREG(written.st_mode)) return true;  // a device has no time to set
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

bool isPackageArchive(const std::string &path) {
  struct stat info;
  std::string error;
  int fd = openInput(path, &info, &error);
  if (fd < 0) return false;
  unsigned char count[ARCHIVE_COUNT_SIZE];
  uint64_t size = static_cast<uint64_t>(info.st_size);
  int32_t entries = readAll(fd, count, sizeof count, 0) ? parseEntryCount(count) : -1;
  bool archive = entries == 0 ? size == ARCHIVE_COUNT_SIZE : entries > 0 && archiveDirectoryEnd(entries) <= size;
  for (int32_t i = 0; archive && i < entries; i++) {
    ArchiveMemberReport m;
    archive = readEntry(fd, i, size, &m) && m.problem == EntryProblem::None;
  }
  close(fd);
  return archive;
}
