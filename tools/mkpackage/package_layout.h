// Laying out an installation package: the fixed package files on one
// directory or on three disk directories, setup.ini where the run reads it,
// the setup program on the first disk, and the byte total the installer's
// progress meter will count for it.
#ifndef QV_TOOLS_PACKAGE_LAYOUT_H
#define QV_TOOLS_PACKAGE_LAYOUT_H

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "zarc_archive.h"

// The package file list the installer walks, in order.
struct PackageFileInfo {
  int disk;          // 1 to 3
  const char *name;
  bool archive;      // quorvel.z: extracted, its members' compressed bytes counted
  bool optional;     // bookmark.htm, www.z
};
const std::vector<PackageFileInfo> &packageFileList();
// "nsystem.z, netscape.z, ..., www.z": for messages and --help.
std::string packageFileNames();

// The [Quorvel] keys of setup.ini that the setup program reads.
const std::vector<const char *> &setupIniKeys();
std::string setupIniKeyNames();
// The [Quorvel] keys of a setup.ini text that the setup program does not read.
std::vector<std::string> unknownSetupIniKeys(const std::string &iniText);

// A 1.44 MB floppy: 2,880 sectors of 512 bytes.
constexpr uint64_t kFloppyBytes = 1457664;

struct PackagePlan {
  std::string outDir;
  bool disks = false;              // three directories disk1, disk2, disk3
  bool optionalFiles = false;      // include bookmark.htm and www.z
  std::map<std::string, std::string> files;   // package file name -> host path
  std::vector<std::string> quorvelMembers;    // host files to pack into quorvel.z
  std::vector<ImplodeMode> quorvelMemberModes; // their coding, by index (missing: mode)
  std::string setupIni;            // host path of a ready setup.ini
  std::vector<std::pair<std::string, std::string>> settings;  // [Quorvel] Key=Value
  std::string setupExe;            // host path of the setup program ("" none)
  // "linux" (placed as setup), "windows" (setup.exe), or "" to tell by the
  // program's own header.
  std::string target;
  uint64_t diskSize = kFloppyBytes; // bytes each disk holds (--disks; 0: no limit)
  bool replace = false;            // lay out in a directory holding more than a package mkpackage made
  bool force = false;              // replace read-only package files too
  // Called after each file written: files done, files in all.
  std::function<void(size_t, size_t)> progress;
  // Payloads made up for the files given neither as files nor as members.
  bool generate = false;
  uint32_t generatedSize = 1000;   // bytes per generated file
  uint32_t seed = 1;
  uint64_t fileTime = 0;           // FILETIME given to generated payloads (0: now)
  ImplodeMode mode = ImplodeMode::Auto;
  int dictBits = 6;
  bool best = false;               // quorvel.z members as the smallest streams
};

struct PackagedFile {
  std::string hostPath;            // where it was written
  std::string name;
  int disk = 1;
  uint64_t size = 0;
  uint64_t counted = 0;            // bytes the progress meter counts for it
};

struct PackageResult {
  std::vector<PackagedFile> files;
  std::vector<ArchiveCreated> quorvelMembers;
  std::string quorvelMembersDir;   // where the generated members' payloads lie (beside
                                   // the package, never in it: DIR.members)
  std::vector<std::string> warnings;
  bool ioFailure = false;          // the failure was a file that could not be read or written
  uint64_t progressTotal = 0;
};

// The members --generate makes for quorvel.z.
constexpr const char *kGeneratedMembers[] = {"quorvel.exe", "notep001.ico", "quorvel.hlp"};

// The setup program's package total (its string resource 1): the bytes its
// progress bar runs over.
uint64_t setupPackageTotal();
// A warning when the bytes the meter counts miss the package total by more
// than a few percent ("" when they do not).
std::string progressTotalProblem(uint64_t counted);

// The system a program was built for, by its header: "linux" (an ELF),
// "windows" (a PE), "dos" (an MZ header and no PE one), "" none of these.
std::string programTarget(const std::string &path);

// quorvel.z holds what the setup program relies on: quorvel.exe (started at
// the end, and the group's first item; a program for target when one is
// known: an error) and notep001.ico (the "Read me" item's icon: a warning).
bool checkQuorvel(const PackagePlan &plan, const std::string &target, std::vector<std::string> *warnings,
                  std::string *error);

// The compressed bytes of every member: what the meter counts for an
// archive; members (when given) gets what is known of each.
bool countArchive(const std::string &path, uint64_t *counted, std::vector<ArchiveCreated> *members,
                  std::string *error);

// The directory of a disk (outDir itself for a single-directory package).
std::string diskDir(const PackagePlan &plan, int disk);

bool makePackage(const PackagePlan &plan, PackageResult *result, std::string *error);

// A plan file (INI-style: [Package], [Files], [quorvel.z], [setup.ini];
// relative paths taken from the file's directory) read into plan, which it
// changes or adds to; false with *error naming the file and line.
bool readPlan(const std::string &file, PackagePlan *plan, std::string *error);
// The plan as a plan file, with absolute paths so that it works from anywhere.
std::string planText(const PackagePlan &plan);

// The name the setup program gets for a target ("setup" or "setup.exe"),
// "" for an unknown target.
std::string setupProgramName(const std::string &target);

// Deterministic made-up bytes for a file of that name, made piece by piece
// so a payload of any size is streamed; the first n bytes are the same
// whatever the payload's size.
class PayloadGenerator {
public:
  PayloadGenerator(const std::string &name, uint32_t seed);
  void fill(unsigned char *out, size_t n);  // the next n bytes

private:
  uint32_t state_;
  const char *pending_ = "";  // the rest of a word or line end begun
};

// "a control character (0x0d)" for the first one in text, "" for none.
std::string controlCharacterIn(const std::string &text);
// What is wrong with a key of the written setup.ini's [Quorvel] ("" when
// nothing): a line that starts with it is no setting.
std::string settingKeyProblem(const std::string &key);

// "KEY=VALUE" into its two sides; false without a key or an '='.
bool splitPair(const std::string &text, std::string *key, std::string *value);
// A decimal number of at most limit (no sign, nothing after it).
bool parseNumber(const std::string &text, uint64_t limit, uint64_t *value);
bool parseNumber(const std::string &text, uint32_t *value);

#endif
