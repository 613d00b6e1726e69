// Package archives (.z): `zarc create`, `list`, `test` and `extract`.
//
// Reading, entry checks and member decoding are the installer's own
// (src/install/archive_format.h); this file adds host file access, member
// creation with the implode encoder and the command lines.
#ifndef QV_TOOLS_ZARC_ARCHIVE_H
#define QV_TOOLS_ZARC_ARCHIVE_H

#include <stdint.h>
#include <time.h>

#include <functional>
#include <string>
#include <vector>

#include "archive_format.h"
#include "implode.h"

class ProgressLine;

// argv[0] is the command's name (create, list, test or extract); returns
// the exit status.
bool isZarcArchiveCommand(const char *command);
int zarcArchive(int argc, char **argv);
extern const char *const kZarcArchiveUsage;

// Why name cannot be a member that create makes ("" when it can): the
// setup program's own check (a plain file name, no device) and the 8.3
// shape (up to 8 characters, then a dot and up to 3 more; no blank and
// none of + , ; = [ ]).
std::string memberNameProblem(const std::string &name);

// FILETIME (100 ns units since 1601-01-01 UTC) and host times.
uint64_t fileTimeFromTimespec(const struct timespec &time);
struct timespec timespecFromFileTime(uint64_t fileTime);

// One file to put into an archive.
struct ArchiveInput {
  std::string path;              // host file
  std::string name;              // member name; empty: the file's own name
  ImplodeMode mode = ImplodeMode::Auto;
  int dictBits = 6;
  bool best = false;             // the smallest stream (ImplodeOptions::best)
};

// What create wrote for one member.
struct ArchiveCreated {
  std::string name;
  uint64_t lastWriteTime = 0;
  uint32_t dataOffset = 0;
  uint32_t dataEnd = 0;
  uint64_t inputBytes = 0;
  ImplodeMode modeUsed = ImplodeMode::Binary;
};

// Writes the archive (count, directory, then each member's stream in order)
// as tools/common/output_file.h writes an output (force: a read-only file
// is replaced too). false and *error on failure, leaving no archive behind
// (error may be null). Names are checked with
// memberNameProblem, and two that differ only in case are refused (Windows
// takes them for one file). progress, when given, counts the input bytes.
bool createArchive(const std::string &archivePath, const std::vector<ArchiveInput> &inputs,
                   std::vector<ArchiveCreated> *created, std::string *error, ProgressLine *progress = nullptr,
                   bool force = false);

// True when the regular file at path is a package archive by its count and
// directory (its members are not decoded).
bool isPackageArchive(const std::string &path);

// One member as found by reading an archive.
struct ArchiveMemberReport {
  int index = 0;
  std::string name;           // printable form of the stored name
  ArchiveEntry entry{};
  EntryProblem problem = EntryProblem::None;
  bool decoded = false;       // decoding was run
  DclResult result = DclResult::Ok;
  uint64_t decodedBytes = 0;
  std::string error;          // "" when the member is good
  bool ioError = false;       // error: its file could not be written (the data may be good)
  bool kept = false;          // Extract: a file of its name was there and is kept
  std::string outPath;        // Extract: the file written (or kept)
};

enum class ArchiveAction { List, Test, Extract };

struct ArchiveReport {
  uint64_t archiveSize = 0;
  int32_t entryCount = 0;
  std::string error;          // a problem with the archive as a whole
  bool notOpened = false;     // error: the archive could not be opened at all
  bool notArchive = false;    // error: the file is no package archive (error says why)
  bool ioError = false;       // error: a file could not be read or written
  int32_t membersSeen = 0;
  int32_t badMembers = 0;     // members with an error
  int32_t ioErrors = 0;       // of them, those whose file could not be written
  std::vector<std::string> notFound;  // members asked for that the archive lacks
  bool ok() const { return error.empty() && badMembers == 0 && notFound.empty(); }
};

// What lies in the target under a member's name: replaced, kept, or a
// reason to write nothing at all.
enum class ExistingFiles { Replace, Keep, Refuse };

struct ArchiveReadOptions {
  std::vector<std::string> members;  // only these (empty: all), matched ignoring case
  ExistingFiles existing = ExistingFiles::Replace;
  bool makeTarget = false;           // Extract: create targetDir (and its parents) when missing
  bool force = false;                // Extract: a read-only file under a member's name is replaced too
  int outFd = -1;                    // Extract: the decoded members one after another to this
                                     // descriptor instead of into files
  const char *progressWhat = nullptr;  // a progress line "zarc: WHAT  37%" on a terminal, over
                                      // the members' compressed bytes
};

// Called once per member asked for, in order, when it is done with; nothing about a
// member is kept after it, so memory stays flat whatever the count.
using ArchiveMemberHandler = std::function<void(const ArchiveMemberReport &)>;

// Reads the archive ("-": standard input; a FIFO or a device is read once,
// as far as its directory says the members go) and, for List and Test, decodes
// every member writing nothing; for Extract writes each good member into
// targetDir (any host directory, however deep) with its timestamp, under
// the stored bytes of its name. A member goes to a temporary file beside
// its destination and replaces a file of that name only once decoded to its
// end (a device, FIFO or socket of its name is written to directly; a link
// leads to what is written); the archive itself is never written over. With Refuse, a file under
// the name of any member to be extracted stops the run before anything is
// written. A file too short for the directory its count claims, with a
// negative count, or with bytes after an empty directory is no package
// archive (notArchive). progress, when true, shows a progress line on a
// terminal.
ArchiveReport processArchive(const std::string &archivePath, ArchiveAction action, const std::string &targetDir,
                             const ArchiveReadOptions &options, const ArchiveMemberHandler &onMember = nullptr);
ArchiveReport processArchive(const std::string &archivePath, ArchiveAction action, const std::string &targetDir,
                             bool progress, const ArchiveMemberHandler &onMember = nullptr);

#endif
