// Windows paths mapped to the host (w32_path.cpp), and each drive kept as
// a jail that no link leads out of (w32_jail.cpp).
#ifndef QV_PLATFORM_W32_PATH_H
#define QV_PLATFORM_W32_PATH_H

#include "w32_core.h"

#include <string>
#include <vector>

namespace w32int {

struct ResolvedPath {
  char drive = 0;                      // 'a'..'z'
  std::string windows;                 // normalised full path, e.g. C:\DUNMERE\x.txt
  std::vector<std::string> components; // after the drive root, as given
  bool trailingSeparator = false;      // the input ended in \ or /
  std::string hostRoot;                // host directory of the drive
  std::string host;                    // host path (existing parts in their host spelling)
  bool exists = false;                 // the full path exists on the host
  bool parentExists = false;           // everything but the last component exists as a directory
  // The last component as the directory holds it, not followed if it is a
  // link: what DeleteFileA removes.  host is where it leads (the same
  // unless it is a link that stays beneath the drive).
  std::string entry;
  bool escapes = false;                // the last component is a link that leaves the drive
  bool readOnly = false;               // the drive maps the host's root: nothing on it is changed
};

// Parses and maps a Windows path.  On failure sets *err to the Win32 error
// (ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE,
// ERROR_NOT_READY) and returns false.  wildcardsInLast allows * and ? in the
// last component (directory searches).
bool resolvePath(const char *windowsPath, bool wildcardsInLast, ResolvedPath *out, DWORD *err);

// The drive as a jail (w32_jail.cpp).  Each reaches a host path beneath
// root (hostRoot of a ResolvedPath) without following any link; a link met
// on the way, or a path not beneath root, fails with EACCES.
//   jailParent      the directory that holds host (O_PATH), and host's last name
//   openFileInDrive open(2) of r.host, refusing (EACCES) a link that leaves
//                   the drive and anything but a regular file (EISDIR for a
//                   directory), never blocking on a FIFO
//   openDirInDrive  a directory of the drive, for reading its entries
//   replaceFileInDrive  replaceHostFile for r.host, in its own directory
// Where the link entry leads, without links, when that lies beneath root;
// "" when it leaves root or cannot be followed.
std::string linkTargetBeneath(const std::string &entry, const std::string &root);
int jailParent(const std::string &root, const std::string &host, std::string *name);
int openFileInDrive(const ResolvedPath &r, int flags, mode_t mode);
int openDirInDrive(const ResolvedPath &r, const std::string &hostDir);
bool replaceFileInDrive(const ResolvedPath &r, const std::string &bytes);

// Host directory of a drive letter ("" if the drive is not mapped).
std::string driveHostRoot(char letter);
std::string hostToWindows(const std::string &hostPath);
bool wildcardMatch(const char *pattern, const char *name); // * and ?, case-insensitive

} // namespace w32int

#endif
