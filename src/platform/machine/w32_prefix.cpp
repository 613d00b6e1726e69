// The prefix: which directory it is, whether it may be used, its layout, and
// its own files.
//
// A prefix is resolved once, when the layer starts: its path is walked from
// / one component at a time, following links by hand, and every directory
// met on the way must belong to root or to the user running the program and
// be writable by nobody else (a sticky directory such as /tmp excepted), as
// ssh asks of the directories above a key file; a link met in a sticky
// directory must be root's or the user's own.  The prefix itself must be
// the user's and writable by the user alone.  The directory found is kept
// open for the whole run, and the prefix's own files (system.reg, the
// locks, progman/, freespace, drivespeed, dosdevices/) are reached from
// that descriptor without following a link: nobody can swap the prefix, or
// one of its files, for another meanwhile.
#include "w32_core.h"
#include "w32_prefix.h"
#include "w32_host_files.h"
#include "w32_path.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>

namespace w32int {

namespace {

const char kWhatAPrefixIs[] = "a prefix is a directory that holds the Linux build's Windows world (drive_c/, "
                              "dosdevices/, system.reg, progman/); name a missing or empty directory for a new one";

// The modes of what the layer makes in a prefix, whatever the umask: its
// owner's to change, everybody's to read.
constexpr mode_t kPrefixDirMode = 0755;
constexpr mode_t kPrefixFileMode = 0644;

// What a fresh prefix holds below drive_c, as a fresh Windows 95 C: does
// (host names; Windows paths match them in any case).
const char *const kFreshDirectories[] = {"windows/system", "windows/temp", "Program Files",
                                         "Program Files/Accessories"};

std::string modeText(mode_t mode) {
  char text[8];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why a directory would let another user change what lies below it; ""
// when it cannot.  The prefix (and its dosdevices) must be the user's own
// and writable by nobody else; a directory above may also be root's, or
// writable by others when it is sticky.
std::string unsafeDirectory(const struct stat &st, const std::string &name, bool own) {
  uid_t me = geteuid();
  if (st.st_uid != me && (own || st.st_uid != 0))
    return name + " belongs to user " + std::to_string(static_cast<long>(st.st_uid)) + ", not to " +
           (own ? "" : "root or ") + "the user running this program (" + std::to_string(static_cast<long>(me)) + ")";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) && (own || !(st.st_mode & S_ISVTX)))
    return name + " can be written by other users (mode " + modeText(st.st_mode) + "); make it writable by its " +
           "owner only (chmod go-w)";
  return "";
}

// The components of a path, without empty ones.
std::vector<std::string> splitPath(const std::string &path) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= path.size();) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string joinPath(const std::vector<std::string> &parts) {
  std::string out;
  for (const std::string &p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

// Makes directory name in dir with exactly mode (a new directory is never
// open to others meanwhile).  0 or an errno value; EEXIST when it is there.
int makeDirAt(int dir, const char *name, mode_t mode) {
  if (mkdirat(dir, name, 0700) != 0) return errno;
  int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  int e = fchmod(fd, mode) == 0 ? 0 : errno;
  close(fd);
  return e;
}

// The directory `name` below dir (several components allowed), reached
// without following a link; O_PATH, or for reading its entries.
int openDirBelow(int dir, const std::string &name, bool forReading = false) {
  std::vector<std::string> parts = splitPath(name);
  int at = openat(dir, ".", (parts.empty() && forReading ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = 0; i < parts.size() && at >= 0; ++i) {
    bool last = i + 1 == parts.size();
    int next = openat(at, parts[i].c_str(), (last && forReading ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int e = errno;
    close(at);
    at = next;
    errno = e == ELOOP ? EACCES : e;
  }
  return at;
}

// The entry of directory dir named `name` in any case ("" if there is none).
std::string findNoCaseAt(int dir, const char *name) {
  std::string found;
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (DIR *d = fd >= 0 ? fdopendir(fd) : nullptr) {
    while (struct dirent *e = readdir(d)) {
      if (equalsNoCase(e->d_name, name) && (found.empty() || e->d_name < found)) found = e->d_name;
    }
    closedir(d);
  } else if (fd >= 0) {
    close(fd);
  }
  return found;
}

void warnMade(const std::string &what, int e) {
  if (e && e != EEXIST) fprintf(stderr, "w32: cannot create %s: %s\n", what.c_str(), strerror(e));
}

// The prefix in use, under its own lock (taken with no other held, and
// taking none: the file calls hold the state's lock when they get here).
struct InUse {
  std::mutex m;
  std::string path;
  int fd = -1;
};
InUse &inUse() {
  static InUse *p = new InUse; // never destroyed: worker threads may outlive main
  return *p;
}

// The prefix's descriptor, or -1 before the layer has one.
int prefixFd() {
  std::lock_guard<std::mutex> lock(inUse().m);
  return inUse().fd;
}

// The directory of a prefix file's name, reached from the prefix without
// links, and the last component in *leaf.  -1 with errno set.
int prefixParent(const std::string &name, std::string *leaf) {
  int root = prefixFd();
  if (root < 0) {
    errno = ENOENT;
    return -1;
  }
  size_t slash = name.rfind('/');
  *leaf = slash == std::string::npos ? name : name.substr(slash + 1);
  return openDirBelow(root, slash == std::string::npos ? "" : name.substr(0, slash));
}

} // namespace

std::string defaultPrefix() {
  const char *p = getenv("W32_PREFIX");
  if (p && *p) return p;
  const char *home = getenv("HOME");
  if (home && *home) return std::string(home) + "/.quorvel-w32";
  // Never a shared directory such as /tmp, where another user could make
  // the prefix first: the home directory the system knows, or none.
  if (struct passwd *pw = getpwuid(geteuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
    return std::string(pw->pw_dir) + "/.quorvel-w32";
  return "";
}

std::string openPrefix(const std::string &given, bool create, OpenedPrefix *out) {
  *out = OpenedPrefix();
  if (given.empty()) return "no prefix: there is no home directory to hold the default one; set W32_PREFIX";
  // What is left to walk: the path given, with the links met put in.
  std::vector<std::string> givenParts = splitPath(absolutePath(given));
  std::deque<std::string> pending(givenParts.begin(), givenParts.end());
  std::vector<std::string> at; // the canonical path of dir
  int dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat st, dirSt;
  if (dir < 0 || fstat(dir, &dirSt) != 0) return std::string("cannot look at /: ") + strerror(errno);
  std::string why = unsafeDirectory(dirSt, "the directory /", false);
  auto fail = [&](const std::string &reason) {
    if (dir >= 0) close(dir);
    return reason;
  };
  if (!why.empty()) return fail(why);
  int links = 0; // and directories made that went again: the walk is bounded
  while (!pending.empty()) {
    std::string part = pending.front();
    pending.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (at.empty()) continue;
      int up = openat(dir, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (up < 0) return fail(std::string("cannot look at ") + joinPath(at) + "/..: " + strerror(errno));
      close(dir);
      dir = up;
      at.pop_back();
      if (fstat(dir, &dirSt) != 0) return fail(std::string("cannot look at ") + joinPath(at) + ": " + strerror(errno));
      continue;
    }
    bool last = pending.empty();
    std::string path = joinPath(at) + (at.empty() ? "" : "/") + part;
    if (fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return fail("cannot look at " + path + ": " + strerror(errno));
      if (!create) {
        // Missing from here on: made on first use, beneath checked directories.
        out->path = path;
        for (const std::string &p : pending) out->path += "/" + p;
        return fail("");
      }
      int e = makeDirAt(dir, part.c_str(), kPrefixDirMode);
      if (e && e != EEXIST) return fail("cannot create " + path + ": " + strerror(e));
      if (e == EEXIST && ++links > 40) return fail(path + " keeps changing; try again");
      out->fresh = last;
      pending.push_front(part); // looked at again, as made
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > 40) return fail("too many links on the way to " + path + " (a loop?)");
      // In a directory others may write to (a sticky one), a link is its owner's to change.
      if ((dirSt.st_mode & (S_IWGRP | S_IWOTH)) && st.st_uid != geteuid() && st.st_uid != 0)
        return fail("it is reached through the link " + path + " of user " + std::to_string(static_cast<long>(st.st_uid)) +
                    " in a directory anybody may write to");
      char target[PATH_MAX];
      ssize_t n = readlinkat(dir, part.c_str(), target, sizeof target - 1);
      if (n <= 0) return fail("cannot read the link " + path + ": " + strerror(n < 0 ? errno : ENOENT));
      target[n] = 0;
      std::vector<std::string> parts = splitPath(target);
      pending.insert(pending.begin(), parts.begin(), parts.end());
      if (target[0] == '/') {
        close(dir);
        dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        at.clear();
        if (dir < 0 || fstat(dir, &dirSt) != 0) return fail(std::string("cannot look at /: ") + strerror(errno));
      }
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return fail(last ? std::string("not a directory: ") + kWhatAPrefixIs : path + " is not a directory");
    int next = openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return fail("cannot look at " + path + ": " + strerror(errno));
    close(dir);
    dir = next;
    at.push_back(part);
    if (fstat(dir, &dirSt) != 0) return fail("cannot look at " + path + ": " + strerror(errno));
    if (!last) {
      why = unsafeDirectory(dirSt, "the directory " + path + " above it", false);
      if (!why.empty()) return fail(why);
    }
  }
  out->path = joinPath(at);
  if (at.empty()) return fail(std::string("the root directory cannot be a prefix: ") + kWhatAPrefixIs);
  why = unsafeDirectory(dirSt, "the prefix", true);
  if (!why.empty()) return fail(why);
  if (fstatat(dir, "dosdevices", &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISDIR(st.st_mode)) return fail(std::string("dosdevices in it is not a directory: ") + kWhatAPrefixIs);
    why = unsafeDirectory(st, "its dosdevices directory", true);
    if (!why.empty()) return fail(why);
  }
  // A directory that holds other things but none of a prefix's is not one.
  bool empty = true, marked = false;
  int list = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *d = list >= 0 ? fdopendir(list) : nullptr;
  if (!d) {
    if (list >= 0) close(list);
    return fail(std::string("cannot be read: ") + strerror(errno));
  }
  while (struct dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    empty = false;
    if (n == "drive_c" || n == "dosdevices" || n == "system.reg") marked = true;
  }
  closedir(d);
  if (!empty && !marked) return fail(std::string("holds other files but no prefix: ") + kWhatAPrefixIs);
  out->fresh = out->fresh || empty;
  out->fd = dir;
  return "";
}

std::string prefixProblem(const std::string &given) {
  OpenedPrefix p;
  std::string why = openPrefix(given, false, &p);
  if (p.fd >= 0) close(p.fd);
  return why;
}

void preparePrefix(const OpenedPrefix &p, bool reset) {
  warnMade(p.path + "/drive_c", makeDirAt(p.fd, "drive_c", kPrefixDirMode));
  warnMade(p.path + "/dosdevices", makeDirAt(p.fd, "dosdevices", kPrefixDirMode));
  int c = openDirBelow(p.fd, "drive_c");
  if (c >= 0) {
    // The Windows directory, as C:\WINDOWS resolves it: any case will do.
    std::string windows = findNoCaseAt(c, "windows");
    if (windows.empty()) {
      windows = "windows";
      warnMade(p.path + "/drive_c/windows", makeDirAt(c, "windows", kPrefixDirMode));
    }
    if (p.fresh) {
      for (const char *sub : kFreshDirectories) {
        std::string name = sub;
        size_t slash = name.rfind('/');
        int parent = openDirBelow(c, slash == std::string::npos ? "" : name.substr(0, slash));
        if (parent >= 0) warnMade(p.path + "/drive_c/" + name, makeDirAt(parent, name.substr(slash + 1).c_str(), kPrefixDirMode));
        if (parent >= 0) close(parent);
      }
    }
    if (int w = openDirBelow(c, windows); w >= 0) {
      for (const char *name : {"win.ini", "system.ini"}) {
        if (!findNoCaseAt(w, name).empty()) continue;
        int fd = openat(w, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrefixFileMode);
        if (fd >= 0) {
          fchmod(fd, kPrefixFileMode);
          close(fd);
        }
      }
      close(w);
    }
    close(c);
  }
  int dev = openDirBelow(p.fd, "dosdevices", true);
  if (dev < 0) return;
  if (reset) {
    std::vector<std::string> names;
    int list = dup(dev);
    if (DIR *d = list >= 0 ? fdopendir(list) : nullptr) {
      while (struct dirent *e = readdir(d)) names.push_back(e->d_name);
      closedir(d);
    }
    for (const std::string &n : names) {
      if (n != "." && n != "..") unlinkat(dev, n.c_str(), 0);
    }
  }
  struct stat st;
  for (const char *drive : {"c:", "z:"}) {
    if (!reset && fstatat(dev, drive, &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
    unlinkat(dev, drive, 0);
    if (symlinkat(drive[0] == 'c' ? "../drive_c" : "/", dev, drive) != 0)
      fprintf(stderr, "w32: cannot link %s/dosdevices/%s: %s\n", p.path.c_str(), drive, strerror(errno));
  }
  close(dev);
}

int openPrefixFile(const std::string &name, int flags) {
  std::string leaf;
  int dir = prefixParent(name, &leaf);
  if (dir < 0) return -1;
  const int always = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = -1;
  bool made = false;
  if (flags & O_CREAT) {
    fd = openat(dir, leaf.c_str(), flags | O_EXCL | always, 0600);
    made = fd >= 0;
  }
  if (fd < 0 && (!(flags & O_CREAT) || errno == EEXIST)) fd = openat(dir, leaf.c_str(), (flags & ~O_CREAT) | always);
  int e = errno;
  close(dir);
  if (fd < 0) {
    // A link, a FIFO without a writer: not a file of the prefix.
    errno = e == ELOOP || e == ENXIO ? EINVAL : e;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  if (made) fchmod(fd, kPrefixFileMode);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int readPrefixFile(const std::string &name, std::string *out) {
  out->clear();
  int fd = openPrefixFile(name, O_RDONLY);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  int err = readPrefixFd(fd, out);
  close(fd);
  return err;
}

bool readDriveFigures(const std::string &name, const std::function<void(char, unsigned long long)> &f) {
  std::string text;
  if (readPrefixFile(name, &text) != 0) return false;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(at, nl - at);
    at = nl + 1;
    char letter = 0;
    unsigned long long n = 0;
    if (sscanf(line.c_str(), " %c: %llu", &letter, &n) == 2) f(letter, n);
  }
  return true;
}

bool prefixFileMissing(const std::string &name) {
  std::string leaf;
  int dir = prefixParent(name, &leaf);
  if (dir < 0) return errno == ENOENT;
  struct stat st;
  bool missing = fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
  close(dir);
  return missing;
}

bool replacePrefixFile(const std::string &name, const std::string &bytes) {
  std::string leaf;
  int dir = prefixParent(name, &leaf);
  if (dir < 0 && errno == ENOENT && name.find('/') != std::string::npos) {
    makePrefixDir(name.substr(0, name.rfind('/')));
    dir = prefixParent(name, &leaf);
  }
  if (dir < 0) return false;
  bool ok = replaceFileAt(dir, leaf, bytes, kPrefixFileMode);
  int e = errno;
  close(dir);
  errno = e;
  return ok;
}

bool removePrefixFile(const std::string &name) {
  std::string leaf;
  int dir = prefixParent(name, &leaf);
  if (dir < 0) return errno == ENOENT;
  bool ok = unlinkat(dir, leaf.c_str(), 0) == 0 || errno == ENOENT;
  int e = errno;
  close(dir);
  errno = e;
  return ok;
}

void makePrefixDir(const std::string &name) {
  std::string leaf;
  int dir = prefixParent(name, &leaf);
  if (dir < 0) return;
  makeDirAt(dir, leaf.c_str(), kPrefixDirMode);
  close(dir);
}

int openPrefixDir(const std::string &name, bool forReading) {
  int root = prefixFd();
  if (root < 0) {
    errno = ENOENT;
    return -1;
  }
  return openDirBelow(root, name, forReading);
}

void usePrefix(const OpenedPrefix &p) {
  int old;
  {
    std::lock_guard<std::mutex> lock(inUse().m);
    old = inUse().fd;
    inUse().fd = p.fd;
    inUse().path = p.path;
  }
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.prefix = p.path;
  }
  if (old >= 0 && old != p.fd) close(old);
}

int openHostDir(const std::string &hostDir, bool forReading) {
  std::string prefix;
  {
    std::lock_guard<std::mutex> lock(inUse().m);
    prefix = inUse().path;
  }
  // Inside the prefix (drive C:): from the prefix's descriptor.
  if (!prefix.empty() && hostDir.size() > prefix.size() && hostDir.compare(0, prefix.size(), prefix) == 0 &&
      hostDir[prefix.size()] == '/')
    return openPrefixDir(hostDir.substr(prefix.size() + 1), forReading);
  return open(hostDir.c_str(), (forReading ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC);
}

std::string driveLink(char letter, bool *isDirectory) {
  *isDirectory = false;
  int dev = openPrefixDir("dosdevices");
  if (dev < 0) return "";
  std::string name = std::string(1, letter) + ":";
  char buf[PATH_MAX];
  ssize_t n = readlinkat(dev, name.c_str(), buf, sizeof buf - 1);
  struct stat st;
  if (n < 0) *isDirectory = fstatat(dev, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
  close(dev);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

int mapDriveInternal(char letter, const std::string &hostDir) {
  char l = static_cast<char>(letter >= 'A' && letter <= 'Z' ? letter + 32 : letter);
  if (l < 'a' || l > 'z') return EINVAL;
  std::string target = hostDir.empty() ? "" : absolutePath(hostDir);
  if (target.size() >= PATH_MAX) return ENAMETOOLONG;
  int dev = openPrefixDir("dosdevices");
  if (dev < 0) return errno;
  std::string name = std::string(1, l) + ":";
  int e = unlinkat(dev, name.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
  if (!e && !target.empty() && symlinkat(target.c_str(), dev, name.c_str()) != 0) e = errno;
  close(dev);
  return e;
}

HostFileLock::HostFileLock(const std::string &name, bool exclusive) {
  fd_ = openPrefixFile(name, O_RDWR | O_CREAT);
  if (fd_ < 0) return;
  while (flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno != EINTR) {
      close(fd_);
      fd_ = -1;
      return;
    }
  }
}

HostFileLock::~HostFileLock() {
  if (fd_ >= 0) close(fd_); // closing releases the lock
}

} // namespace w32int

namespace w32 {

int readPrefixFile(const std::string &name, std::string *text) {
  w32int::ensureInit();
  return w32int::readPrefixFile(name, text);
}

int writePrefixFile(const std::string &name, const std::string &text) {
  w32int::ensureInit();
  return w32int::replacePrefixFile(name, text) ? 0 : errno;
}

std::string driveHostDir(char letter) {
  w32int::ensureInit();
  return w32int::driveHostRoot(letter);
}

} // namespace w32
