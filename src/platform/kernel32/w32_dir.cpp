// Directories, directory searches, free space and the program's own path.
#include "machine/w32_core.h"
#include "machine/w32_prefix.h"
#include "machine/w32_path.h"
#include "w32_objects.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace w32int;

namespace {

// GetDiskFreeSpaceA reports 4 KiB clusters and, like Windows 95 OSR2, at most
// just under 2 GiB, so that clusters x bytes x sectors never wraps 32 bits.
const unsigned long long kFreeSpaceCap = 0x7FFFF000ULL;

// An entry of a directory of the drive: a link is described by where it
// leads when that stays beneath the drive, else by itself (a file that
// cannot be opened); the directory's own "." and ".." as they are.
bool fillFindData(const ResolvedPath &r, int dir, const std::string &dirPath, const std::string &name,
                  WIN32_FIND_DATAA *fd) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    std::string target = linkTargetBeneath(dirPath + "/" + name, r.hostRoot);
    struct stat to;
    if (!target.empty() && stat(target.c_str(), &to) == 0) st = to;
  }
  if (name.size() >= MAX_PATH || name.find_first_of("\\:*?\"<>|") != std::string::npos) return false;
  memset(fd, 0, sizeof *fd);
  DWORD attr = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & S_IWUSR)) attr |= FILE_ATTRIBUTE_READONLY;
  fd->dwFileAttributes = attr;
  auto put = [](FILETIME *ft, const struct timespec &ts) {
    ULONGLONG v = fileTimeFromTimespec(ts.tv_sec, ts.tv_nsec);
    ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFFULL);
    ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
  };
  put(&fd->ftCreationTime, st.st_ctim);
  put(&fd->ftLastAccessTime, st.st_atim);
  put(&fd->ftLastWriteTime, st.st_mtim);
  if (!S_ISDIR(st.st_mode)) {
    unsigned long long size = static_cast<unsigned long long>(st.st_size);
    fd->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    fd->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFULL);
  }
  memcpy(fd->cFileName, name.c_str(), name.size() + 1);
  return true;
}

// The prefix's freespace file: lines "c: BYTES" (written by w32prefix).
// A file that is not a regular one (or too large) holds no figures.
bool freeSpaceFromPrefix(char drive, unsigned long long *bytes) {
  bool found = false;
  bool read = readDriveFigures("freespace", [&](char letter, unsigned long long n) {
    if (tolower(static_cast<unsigned char>(letter)) == drive) {
      *bytes = n;
      found = true;
    }
  });
  return read && found;
}

bool lessNoCase(const std::string &a, const std::string &b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int x = tolower(static_cast<unsigned char>(a[i])), y = tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

} // namespace

extern "C" BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
  ensureInit();
  if (faultHit(w32::Fault::Directory)) {
    setError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // CreateDirectoryA leaves room for an 8.3 name below the new directory.
  if (path && strlen(path) > MAX_PATH - 12) {
    setError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  ResolvedPath r;
  DWORD err = 0;
  if (!resolvePath(path, false, &r, &err)) {
    setError(err);
    return FALSE;
  }
  if (r.windows.size() > MAX_PATH - 12) {
    setError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  if (r.components.empty()) {
    setError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (r.exists) {
    setError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (!r.parentExists) {
    setError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (r.escapes) {
    setError(ERROR_ALREADY_EXISTS); // the name is taken, by a link that leaves the drive
    return FALSE;
  }
  if (r.readOnly) {
    setError(ERROR_WRITE_PROTECT);
    return FALSE;
  }
  std::string name;
  int dir = jailParent(r.hostRoot, r.host, &name);
  int made = dir < 0 ? -1 : mkdirat(dir, name.c_str(), 0777);
  int e = errno;
  if (dir >= 0) close(dir);
  if (made != 0) {
    setError(e == ENOENT ? ERROR_PATH_NOT_FOUND : errnoToWin(e));
    return FALSE;
  }
  return TRUE;
}

extern "C" HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  ensureInit();
  if (faultHit(w32::Fault::Directory)) {
    setError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  flushWritesBehind();  // sizes and times as written so far
  ResolvedPath r;
  DWORD err = 0;
  if (!resolvePath(pattern, true, &r, &err)) {
    setError(err);
    return INVALID_HANDLE_VALUE;
  }
  if (r.components.empty() || r.trailingSeparator) {
    setError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!r.parentExists) {
    setError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string last = r.components.back();
  std::string dirPath = r.entry.substr(0, r.entry.rfind('/'));
  if (dirPath.empty()) dirPath = "/";
  auto obj = std::make_shared<FindObject>();
  WIN32_FIND_DATAA fd;
  int dir = openDirInDrive(r, dirPath);
  if (last.find_first_of("*?") == std::string::npos) {
    std::string hostName = r.entry.substr(r.entry.rfind('/') + 1);
    if (dir >= 0 && r.exists && fillFindData(r, dir, dirPath, hostName, &fd)) obj->entries.push_back(fd);
    if (dir >= 0) close(dir);
  } else {
    std::vector<std::string> names;
    if (DIR *d = dir >= 0 ? fdopendir(dir) : nullptr) {
      while (struct dirent *e = readdir(d)) names.push_back(e->d_name);
      dir = dup(dirfd(d));
      closedir(d);
    } else if (dir >= 0) {
      close(dir);
      dir = -1;
    }
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
      bool da = a == "." || a == "..", db = b == "." || b == "..";
      if (da != db) return da;
      return lessNoCase(a, b);
    });
    bool atRoot = r.components.size() == 1; // a drive root has no . and .. entries
    for (const std::string &n : names) {
      if ((n == "." || n == "..") && atRoot) continue;
      if (!wildcardMatch(last.c_str(), n.c_str())) continue;
      if (dir >= 0 && fillFindData(r, dir, dirPath, n, &fd)) obj->entries.push_back(fd);
    }
    if (dir >= 0) close(dir);
  }
  if (obj->entries.empty()) {
    setError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!data) {
    setError(ERROR_NOACCESS);
    return INVALID_HANDLE_VALUE;
  }
  *data = obj->entries[0];
  obj->next = 1;
  setError(NO_ERROR);
  return addHandle(obj);
}

extern "C" BOOL WINAPI FindNextFileA(HANDLE h, LPWIN32_FIND_DATAA data) {
  ensureInit();
  auto f = std::static_pointer_cast<FindObject>(findHandle(h, ObjKind::Find));
  if (!f) {
    setError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (f->next >= f->entries.size()) {
    setError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  if (!data) {
    setError(ERROR_NOACCESS);
    return FALSE;
  }
  *data = f->entries[f->next++];
  return TRUE;
}

extern "C" BOOL WINAPI FindClose(HANDLE h) {
  ensureInit();
  if (dropHandle(h, ObjKind::Find)) return TRUE;
  setError(ERROR_INVALID_HANDLE);
  return FALSE;
}

extern "C" BOOL WINAPI GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                                         LPDWORD freeClusters, LPDWORD totalClusters) {
  ensureInit();
  char drive;
  State &s = state();
  {
    std::lock_guard<std::mutex> lock(s.m);
    drive = static_cast<char>(tolower(static_cast<unsigned char>(s.currentDir[0])));
  }
  auto isSep = [](char c) { return c == '\\' || c == '/'; };
  if (root) {
    bool letter = isalpha(static_cast<unsigned char>(root[0])) && root[1] == ':' && isSep(root[2]) && root[3] == 0;
    bool bare = isSep(root[0]) && root[1] == 0;
    if (!letter && !bare) {
      setError(ERROR_INVALID_NAME); // only the root directory of a drive
      return FALSE;
    }
    if (letter) drive = static_cast<char>(tolower(static_cast<unsigned char>(root[0])));
  }
  std::string hostRoot = driveHostRoot(drive);
  if (hostRoot.empty()) {
    setError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  struct statvfs vfs;
  if (statvfs(hostRoot.c_str(), &vfs) != 0) {
    setError(ERROR_NOT_READY);
    return FALSE;
  }
  unsigned long long freeBytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
  unsigned long long totalBytes = static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize;
  DWORD bps = 512, spc = 8;
  {
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.freeSpaceOverride.find(drive);
    unsigned long long fromFile = 0;
    bool overridden = it != s.freeSpaceOverride.end();
    if (overridden) {
      freeBytes = it->second;
    } else if (freeSpaceFromPrefix(drive, &fromFile)) {
      overridden = true;
      freeBytes = fromFile;
    }
    if (overridden) {
      // Keep an override exact: whole 4 KiB clusters when it divides, else
      // clusters of one byte.
      if (std::min(freeBytes, kFreeSpaceCap) % 4096 != 0) bps = spc = 1;
      if (totalBytes < freeBytes) totalBytes = freeBytes;
    }
  }
  freeBytes = std::min(freeBytes, kFreeSpaceCap);
  totalBytes = std::min(totalBytes, kFreeSpaceCap);
  unsigned long long cluster = static_cast<unsigned long long>(bps) * spc;
  if (sectorsPerCluster) *sectorsPerCluster = spc;
  if (bytesPerSector) *bytesPerSector = bps;
  if (freeClusters) *freeClusters = static_cast<DWORD>(freeBytes / cluster);
  if (totalClusters) *totalClusters = static_cast<DWORD>(totalBytes / cluster);
  return TRUE;
}

namespace {
struct ModuleTag {
  int unused;
} moduleTag;
HMODULE selfModule() { return reinterpret_cast<HMODULE>(&moduleTag); }
} // namespace

// The program's own module needs nothing set up: main() asks for it before
// the program's command line has said which files the run uses.
extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  if (name) {
    setError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return selfModule();
}

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR out, DWORD size) {
  ensureInit();
  if (module && module != selfModule()) {
    setError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::string path;
  State &s = state();
  {
    std::lock_guard<std::mutex> lock(s.m);
    if (s.hasModuleOverride) path = s.moduleOverride;
  }
  if (path.empty()) {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) {
      buf[n] = 0;
      path = hostToWindows(buf);
    }
  }
  if (size == 0 || !out) {
    setError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // As current Windows does: a name that does not fit is cut to size - 1
  // characters and terminated; the result is then size.
  if (path.size() >= size) {
    memcpy(out, path.data(), size - 1);
    out[size - 1] = 0;
    setError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(out, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}
