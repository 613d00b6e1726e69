// The command lines of `zarc create`, `list`, `test` and `extract`.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "output_file.h"
#include "zarc_archive.h"
#include "zarc_cli.h"

#define ZARC_CREATE_USAGE                                                                         \
  "  zarc create [-v] [-q] [-o] [-f] ARCHIVE [--ascii|--binary|--auto] [--dict 4|5|6]\n"        \
  "              [--best] [NAME=]FILE...\n"                                                      \
  "      Make a package archive of the FILEs, keeping their last-write times.\n"                \
  "      A member is named after its FILE, or NAME with NAME=FILE; a name\n"                    \
  "      must be an 8.3 name (up to 8 characters, a dot and up to 3 more)\n"                    \
  "      that the setup program can write, and no two may be the same\n"                       \
  "      ignoring case. The mode and dictionary options apply to the FILEs\n"                   \
  "      after them (so each needs one after it); the defaults are --auto\n"                   \
  "      and --dict 6 (see implode); --best gives every member the smallest\n"                 \
  "      stream (see implode). Prints each member's sizes and coding;\n"                       \
  "      -v adds the archive's totals. An existing ARCHIVE that is not a\n"                     \
  "      package archive is replaced only with -o (--overwrite), a read-only\n"                 \
  "      one only with -f (--force, which implies -o).\n"
#define ZARC_LIST_USAGE             \
  "  zarc list [-v] [-q] ARCHIVE\n" \
  "      Each member: name, compressed and decoded size, last-write time (UTC).\n"
#define ZARC_TEST_USAGE                                                         \
  "  zarc test [-v] [-q] [--strict] ARCHIVE\n"                                  \
  "      Decode every member, writing nothing; exit 1 if any is bad. The\n"     \
  "      format keeps no checksum: what is checked is that every member's\n"    \
  "      data lie inside the file and decode to their end-of-stream code,\n"    \
  "      and that every name is one the setup program accepts. An archive\n"    \
  "      without members is a warning (--strict: exit 1). -q leaves out the\n"  \
  "      members found good; -v adds what was checked.\n"
#define ZARC_EXTRACT_USAGE                                                            \
  "  zarc extract [-d DIR] [-o|-n] [-f] [-p] [-v] [-q] ARCHIVE [MEMBER...]\n"        \
  "      Write the members (only the MEMBERs named, in any case, when given)\n"      \
  "      into DIR (default: the current directory; created when missing)\n"         \
  "      with their last-write times; exit 1 if any member is bad. When a\n"         \
  "      file of a member's name is there, nothing is written unless -o\n"          \
  "      (overwrite it) or -n (never overwrite: keep it) is given; a\n"             \
  "      read-only one is overwritten only with -f (--force). -p writes the\n"      \
  "      members to standard output instead, one after another. -v lists\n"         \
  "      each file written or kept. A member replaces what lies under its\n"        \
  "      name only once decoded to its end, and never the archive; it is\n"        \
  "      written as a regular file only (a link, FIFO or device under its\n"       \
  "      name is refused, never followed).\n"
#define ZARC_ARCHIVE_COMMON                                                                \
  "  ARCHIVE \"-\" (list, test, extract) is standard input; a FIFO or a device\n"       \
  "  (<(...)) is read once, too. -v with list, test or extract also says why a\n"      \
  "  file is not a package archive. Short options combine (-ov). Member files\n"       \
  "  must be regular files; no output is written over an input. An output is\n"       \
  "  written as its kind asks: a file replaced keeps its mode and owner and\n"         \
  "  appears only when complete, a link's target is written and the link kept,\n"     \
  "  a device, FIFO or socket is written to directly.\n"

const char *const kZarcArchiveUsage =
    ZARC_CREATE_USAGE ZARC_LIST_USAGE ZARC_TEST_USAGE ZARC_EXTRACT_USAGE ZARC_ARCHIVE_COMMON;

namespace {

const char *modeName(ImplodeMode mode) {
  return mode == ImplodeMode::Ascii ? "ascii" : mode == ImplodeMode::Binary ? "binary" : "auto";
}

// "1 member", "2 members".
std::string members(int n) { return std::to_string(n) + (n == 1 ? " member" : " members"); }

std::string formatFileTime(uint64_t fileTime) {
  struct timespec ts = timespecFromFileTime(fileTime);
  time_t seconds = ts.tv_sec;
  struct tm parts;
  char text[64];
  if (gmtime_r(&seconds, &parts) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
    std::snprintf(text, sizeof text, "filetime %llu", static_cast<unsigned long long>(fileTime));
  }
  return text;
}

// The exit status of a read: I/O first, then bad data.
int readStatus(const ArchiveReport &report) {
  if (report.notOpened || report.ioError || report.ioErrors > 0) return kExitIo;
  return report.ok() ? kExitOk : kExitBadData;
}

std::string usageOf(const char *command) {
  return std::string(command) + ZARC_ARCHIVE_COMMON + "  " + kQuietHelp;
}

int runCreate(int argc, char **argv) {
  const std::string usageText = usageOf(ZARC_CREATE_USAGE);
  std::string archive;
  std::vector<ArchiveInput> inputs;
  ImplodeMode mode = ImplodeMode::Auto;
  int dictBits = 6;
  bool quiet = false, verbose = false, overwrite = false, force = false, optionsDone = false, best = false;
  std::string waiting;  // a mode or dictionary option not yet followed by a FILE
  std::vector<std::string> args = splitShortOptions(argc, argv, "");
  for (size_t i = 0; i < args.size(); i++) {
    const std::string &arg = args[i];
    int status;
    if (!optionsDone && zarcHelpOrVersion(arg, usageText.c_str(), &status)) return status;
    if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        optionsDone = true;
      } else if (arg == "-q" || arg == "--quiet") {
        quiet = true;
      } else if (arg == "-v" || arg == "--verbose") {
        verbose = true;
      } else if (arg == "-o" || arg == "--overwrite") {
        overwrite = true;
      } else if (arg == "-f" || arg == "--force") {
        force = overwrite = true;
      } else if (arg == "--best") {
        best = true;
      } else if (arg == "--ascii" || arg == "--binary" || arg == "--auto") {
        mode = arg == "--ascii" ? ImplodeMode::Ascii : arg == "--binary" ? ImplodeMode::Binary : ImplodeMode::Auto;
        waiting = arg;
      } else if (arg == "--dict") {
        if (i + 1 >= args.size()) return zarcUsageError("create", "--dict", "needs a value (4, 5 or 6)");
        std::string value = args[++i];
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
  for (ArchiveInput &input : inputs) input.best = best;
  // Names and arguments are the command line's faults; the rest is I/O.
  std::string error;
  uint64_t total = 0;
  for (const ArchiveInput &input : inputs) {
    struct stat info;
    if (stat(input.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      return zarcUsageError("create", input.path, "is a directory (name the files in it)");
    }
    if (stat(input.path.c_str(), &info) == 0) total += static_cast<uint64_t>(info.st_size);
    std::string name = input.name.empty() ? baseNameOf(input.path) : input.name;
    std::string problem = memberNameProblem(name);
    if (!problem.empty()) {
      return zarcUsageError("create", "'" + name + "' cannot be a member name", problem + "; NAME=FILE gives another");
    }
  }
  // A file that is there and holds something other than an archive is
  // most likely a FILE given first by mistake.
  OutputOptions output;
  output.force = force;
  OutputTarget target;
  if (resolveOutput(archive, output, &target, &error) && target.kind == OutputKind::Regular && !overwrite &&
      target.old.st_size > 0 && !isPackageArchive(target.path)) {
    toolError("zarc", "create", archive, "exists and is not a package archive; -o (--overwrite) replaces it");
    return kExitIo;
  }
  std::vector<ArchiveCreated> created;
  ProgressLine progress("zarc", "creating " + archive, total, quiet);
  bool made = createArchive(archive, inputs, &created, &error, &progress, force);
  progress.clear();
  if (!made) {
    bool twoNames = error.compare(0, 11, "two members") == 0;
    toolError("zarc", "create", archive, error);
    return twoNames ? kExitUsage : kExitIo;
  }
  uint64_t in = 0, out = 0;
  for (const ArchiveCreated &c : created) {
    in += c.inputBytes;
    out += c.dataEnd - c.dataOffset;
    if (quiet) continue;
    std::printf("%-12s %10llu -> %10u  %s\n", c.name.c_str(), static_cast<unsigned long long>(c.inputBytes),
                c.dataEnd - c.dataOffset, modeName(c.modeUsed));
  }
  if (verbose && !quiet) {
    struct stat info;
    unsigned long long size = stat(archive.c_str(), &info) == 0 ? static_cast<unsigned long long>(info.st_size) : 0;
    std::printf("%s, %llu -> %llu bytes (compressed to %.1f%%), archive %llu bytes\n",
                members(static_cast<int>(created.size())).c_str(),
                static_cast<unsigned long long>(in), static_cast<unsigned long long>(out),
                in ? 100.0 * static_cast<double>(out) / static_cast<double>(in) : 100.0, size);
  }
  if (std::fflush(stdout) != 0) {
    toolError("zarc", "create", "standard output", strerror(errno));
    return kExitIo;
  }
  return kExitOk;
}

int runRead(ArchiveAction action, int argc, char **argv) {
  const std::string command = argv[0];
  const std::string usageText = usageOf(action == ArchiveAction::List   ? ZARC_LIST_USAGE
                                        : action == ArchiveAction::Test ? ZARC_TEST_USAGE
                                                                        : ZARC_EXTRACT_USAGE);
  const bool extract = action == ArchiveAction::Extract;
  bool verbose = false, quiet = false, toStdout = false, optionsDone = false, strict = false;
  std::string dir = ".", archive;
  ArchiveReadOptions options;
  std::string chosen;  // -o or -n, once given
  std::vector<std::string> args = splitShortOptions(argc, argv, extract ? "d" : "");
  for (size_t i = 0; i < args.size(); i++) {
    const std::string &arg = args[i];
    int status;
    if (!optionsDone && zarcHelpOrVersion(arg, usageText.c_str(), &status)) return status;
    if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        optionsDone = true;
      } else if (arg == "-v" || arg == "--verbose") {
        verbose = true;
      } else if (arg == "-q" || arg == "--quiet") {
        quiet = true;
      } else if (action == ArchiveAction::Test && arg == "--strict") {
        strict = true;
      } else if (extract && arg == "-d") {
        if (i + 1 >= args.size()) return zarcUsageError(command, "-d", "needs a directory");
        dir = args[++i];
      } else if (extract && (arg == "-o" || arg == "-n")) {
        if (!chosen.empty() && chosen != arg) return zarcUsageError(command, chosen + " and " + arg, "exclude each other");
        chosen = arg;
        options.existing = arg == "-o" ? ExistingFiles::Replace : ExistingFiles::Keep;
      } else if (extract && (arg == "-f" || arg == "--force")) {
        options.force = true;
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
  if (archive == "-" && isatty(STDIN_FILENO)) {
    return zarcUsageError(command, "standard input", "will not read an archive from a terminal");
  }
  if (dir.empty()) return zarcUsageError(command, "-d", "needs a directory");
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (extract && chosen.empty()) options.existing = ExistingFiles::Refuse;
  if (toStdout) options.outFd = STDOUT_FILENO;
  options.makeTarget = true;
  const std::string shown = archive == "-" ? "standard input" : archive;
  std::string what = (extract ? "extracting " : action == ArchiveAction::Test ? "testing " : "listing ") + shown;
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
      if (!m.error.empty() || !quiet) std::printf("%-12s %s\n", m.name.c_str(), m.error.empty() ? "ok" : m.error.c_str());
    } else if (verbose && !quiet && m.error.empty()) {
      if (m.kept) {
        std::fprintf(listing, "kept       %s (a file of that name is there)\n", m.outPath.c_str());
      } else {
        std::fprintf(listing, "%s  %s (%llu bytes)\n", toStdout ? "wrote    " : "extracted",
                     toStdout ? m.name.c_str() : m.outPath.c_str(), static_cast<unsigned long long>(m.decodedBytes));
      }
    }
    if (!m.error.empty()) {
      std::fflush(stdout);
      toolError("zarc", command, shown, "member " + std::to_string(m.index) + " '" + m.name + "': " + m.error);
    }
  };
  ArchiveReport report = processArchive(archive, action, dir, options, show);
  if (report.error.empty()) heading();
  std::fflush(stdout);
  if (report.notArchive) {
    toolError("zarc", command, shown,
              std::string("not a package archive") + (verbose ? " (" + report.error + ")" : " (-v says why)"));
  } else if (!report.error.empty()) {
    std::string why = report.error;
    if (options.existing == ExistingFiles::Refuse && report.ioError && why.size() > 7 &&
        why.compare(why.size() - 7, 7, " exists") == 0) {
      why += "; nothing extracted (-o overwrites, -n keeps what is there)";
    }
    toolError("zarc", command, shown, why);
  }
  for (const std::string &name : report.notFound) toolError("zarc", command, shown, "no member named '" + name + "'");
  int status = readStatus(report);
  if (action == ArchiveAction::Test && !report.notOpened && !report.notArchive) {
    if (report.membersSeen == 0) {
      std::printf("no members to test\n");
    } else {
      std::printf("%d of %s good\n", report.membersSeen - report.badMembers, members(report.membersSeen).c_str());
    }
    if (verbose) {
      std::printf("The format keeps no checksum; checked: every member's data lie inside the file and decode to "
                  "their end-of-stream code, and every name is one the setup program accepts.\n");
    }
    if (report.error.empty() && report.entryCount == 0) {
      std::fflush(stdout);
      toolError("zarc", command, "warning",
                shown + " holds no members: the setup program installs nothing from it");
      if (strict && status == kExitOk) status = kExitBadData;
    }
  }
  if (std::fflush(stdout) != 0) {
    toolError("zarc", command, "standard output", strerror(errno));
    return kExitIo;
  }
  return status;
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
