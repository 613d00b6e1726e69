// The prefix (w32_prefix.cpp): which directory it is, its layout, its
// drives, its own files and their locks, and the drives' simulated speeds
// (w32_media.cpp).
#ifndef QV_PLATFORM_W32_PREFIX_H
#define QV_PLATFORM_W32_PREFIX_H

#include "w32_core.h"

#include <sys/types.h>

#include <functional>
#include <string>

namespace w32int {

// The prefix named by W32_PREFIX, else $HOME/.quorvel-w32, else the
// system's home directory of the user + /.quorvel-w32 ("" if none).
std::string defaultPrefix();

// A prefix as resolved: its path without links, its directory open (O_PATH),
// and whether it is new (made now, or an empty directory).
struct OpenedPrefix {
  std::string path;
  int fd = -1;
  bool fresh = false;
};
// Resolves the prefix named `given` once, walking it from / and following
// its links by hand: "" when it may be used, else why not (nothing made
// then).  Refused: a path on which a directory belongs to another user (not
// root) or is writable by others without being sticky, a link in a sticky
// directory that another user owns, the root directory, anything but a
// directory, a prefix (or its dosdevices) not the user's own or writable by
// others, a directory with other things but no prefix in it.  With create,
// a missing prefix (and the directories above it) is made, mode 0755;
// without, *out->path names it and no descriptor is opened.
std::string openPrefix(const std::string &given, bool create, OpenedPrefix *out);
// Makes p the prefix of the run (its descriptor is kept; the one before closed).
void usePrefix(const OpenedPrefix &p);
// openPrefix without making anything or keeping anything open.
std::string prefixProblem(const std::string &prefix);
// Lays the prefix out: drive_c/windows with win.ini and system.ini,
// dosdevices with c: and z:, and for a fresh prefix the directories of a
// fresh Windows 95 C: (WINDOWS\SYSTEM, WINDOWS\TEMP, Program Files,
// Program Files\Accessories).  What the layer makes here has fixed modes,
// 0755 and 0644, whatever the umask.  With reset, every other drive link is
// removed.
void preparePrefix(const OpenedPrefix &p, bool reset);

// The prefix's own files and directories, named relative to it
// ("system.reg", "progman/groups.ini"), reached from its descriptor without
// following a link.  A link, a FIFO, a device or a directory in the way is
// not one of them: EINVAL.
//   openPrefixFile   open(2) flags; with O_CREAT a new file is mode 0644
//   readPrefixFile   the whole file, at most kPrefixFileCap; missing: empty
//   replacePrefixFile  a new file renamed over it (its directory made when missing)
//   prefixFileMissing  whether nothing of that name is there
//   removePrefixFile   unlinks it (true when it is gone or was never there)
//   makePrefixDir    a directory of the prefix, mode 0755 (there already: left)
//   openPrefixDir    a directory of the prefix (O_PATH, or for reading)
int openPrefixFile(const std::string &name, int flags);
bool prefixFileMissing(const std::string &name);
bool replacePrefixFile(const std::string &name, const std::string &bytes);
bool removePrefixFile(const std::string &name);
void makePrefixDir(const std::string &name);
int openPrefixDir(const std::string &name, bool forReading = false);
// A host directory (a drive's root), from the prefix's descriptor when it
// lies in the prefix.
int openHostDir(const std::string &hostDir, bool forReading = false);
// What dosdevices/<letter>: says: a link's text ("" when it is none), or
// *isDirectory when it is a directory itself.
std::string driveLink(char letter, bool *isDirectory);

// Maps a drive letter to a host directory (the test control without ensureInit).
int mapDriveInternal(char letter, const std::string &hostDir); // 0 or an errno value

// The prefix's own files (system.reg, progman/groups.ini) are read only when
// they are regular files of at most this size: a FIFO, a device or a link
// to one would hang the reader or fill the memory.
constexpr off_t kPrefixFileCap = 64 * 1024 * 1024;

// Reads a prefix file whole into *out.  0 on success, a missing file reading
// as empty; otherwise an errno value: EINVAL for something that is not a
// regular file (a link included), EFBIG for a file over kPrefixFileCap, else
// why it could not be read.  Never blocks on a FIFO.
int readPrefixFile(const std::string &name, std::string *out);
// Calls f(letter, figure) for each line "X: N" of a prefix file of figures
// by drive (freespace, drivespeed: written by w32prefix), in order; lines
// that do not parse are skipped.  False when the file cannot be read (a
// missing one reads as empty).
bool readDriveFigures(const std::string &name, const std::function<void(char, unsigned long long)> &f);
// Reads what the descriptor holds from its start (w32_host_files.cpp) (a regular file of at most
// kPrefixFileCap), for a reader that keeps the file open.
int readPrefixFd(int fd, std::string *out);

// An advisory lock on a file of the prefix (flock), for the read-modify-write of the
// prefix's own files between processes.  Blocks until granted.
class HostFileLock {
public:
  HostFileLock(const std::string &prefixName, bool exclusive);
  ~HostFileLock();
  HostFileLock(const HostFileLock &) = delete;
  HostFileLock &operator=(const HostFileLock &) = delete;
  bool held() const { return fd_ >= 0; }

private:
  int fd_ = -1;
};

// Simulated drive speeds (w32_media.cpp), kept in the prefix's drivespeed
// file.  driveSpeed reads it (0: full speed); a file takes its drive's
// speed when opened.  throttleRead sleeps, with no layer lock held, until
// the drive has had time to deliver the bytes just read; readers of one
// drive share its bandwidth.
unsigned long driveSpeed(char drive);
int setDriveSpeedInternal(char letter, unsigned long bytesPerSecond); // 0 or an errno value
void throttleRead(char drive, unsigned long bytesPerSecond, size_t bytes);

} // namespace w32int

#endif
