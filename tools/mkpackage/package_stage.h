// Where a package is laid out: the whole layout is made in a directory of
// its own beside the package directory and swapped in at the end, so a
// run that fails or is stopped leaves the old package as it was.
#ifndef QV_TOOLS_PACKAGE_STAGE_H
#define QV_TOOLS_PACKAGE_STAGE_H

#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

// The listing each package directory keeps of what mkpackage laid out in it.
extern const char kListingName[];

// What the package directory (--out, or where its links lead) holds now.
struct PackageDirState {
  std::string dir;
  bool exists = false;
  struct stat info {};
  bool listed = false;                       // its listing is there
  std::set<std::string> laidOut;             // what that listing names
  bool disks = false;                        // that listing is of a disk layout
  std::vector<std::string> foreign;          // what the listing does not name, relative to dir
  std::map<std::string, struct stat> files;  // package files, setup.ini, the setup program, disk directories
  std::vector<std::string> unlisted;         // package files there that the listing does not name
  std::vector<std::string> notFiles;         // package names there that are not regular files
  // Nothing there, or a package mkpackage made and no more.
  bool own() const { return foreign.empty() && unlisted.empty() && notFiles.empty(); }
};
// false with *error when outDir is there but no directory.
bool examinePackageDir(const std::string &outDir, PackageDirState *state, std::string *error);

class PackageStage {
 public:
  PackageStage() = default;
  PackageStage(const PackageStage &) = delete;
  PackageStage &operator=(const PackageStage &) = delete;
  ~PackageStage();  // an uncommitted layout goes

  // Makes the new layout's directory beside state.dir (with disk1 to disk3
  // for disks), first removing what stopped runs left there.
  bool begin(const PackageDirState &state, bool disks, std::string *error);
  // Where the file rel (a path in the package) is written.
  std::string path(const std::string &rel) const { return stage_ + "/" + rel; }
  // A file about to be written into the layout: removed, too, when the run
  // is stopped.
  void added(const std::string &rel);
  // Writes the listing, moves what is not mkpackage's (carry) from the old
  // directory into the new one, and swaps the new one in; the old package
  // is then removed.
  bool commit(bool carry, std::vector<std::string> *warnings, std::string *error);

 private:
  const PackageDirState *state_ = nullptr;
  std::string stage_;
  std::vector<std::string> added_;  // relative paths, in order
  std::vector<std::string> dirs_;   // the stage and its disk directories, as registered
  bool committed_ = false;
};

// Removes the regular files rels (paths in dir), then the disk directories
// and dir itself where that leaves them empty: what a run made, or an old
// package's files once swapped out. False when dir is left, holding more.
bool removeFiles(const std::string &dir, const std::vector<std::string> &rels);

#endif
