// Process-wide state of the Win32 layer: the prefix, last-error values,
// fault injection, the handle table, and the test controls over them (the
// two that reach every part, loader/w32_test_controls.cpp).
#include "w32_core.h"
#include "w32_prefix.h"
#include "w32_path.h"
#include "w32_script.h"

#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace w32int {

namespace {

thread_local DWORD lastError = 0;
std::once_flag initOnce;

} // namespace

std::string absolutePath(const std::string &p) {
  if (!p.empty() && p[0] == '/') return p;
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) return p;
  return std::string(buf) + "/" + p;
}

namespace {

bool step(FaultArm &a) {
  if (!a.armed) return false;
  if (a.firing) return true;
  if (--a.countdown > 0) return false;
  if (a.persistent) {
    a.firing = true;
  } else {
    a.armed = false;
  }
  return true;
}

} // namespace

State &state() {
  static State *s = new State; // never destroyed: worker threads may outlive main
  return *s;
}

void ensureInit() {
  std::call_once(initOnce, [] {
    // A write over the file size limit (ulimit -f) fails with EFBIG, which
    // reaches the program as a full disk, instead of ending the process.
    signal(SIGXFSZ, SIG_IGN);
    State &s = state();
    std::string given = defaultPrefix();
    // Resolved once, and used from then on through its open directory.
    // Nothing may be done on a prefix that is not the user's own.
    OpenedPrefix p;
    std::string why = openPrefix(given, true, &p);
    if (!why.empty())
      endRunEarly(w32::kRunNotStarted, "the prefix " + (given.empty() ? std::string("(none)") : given) +
                                           " is refused: " + why);
    usePrefix(p);
    preparePrefix(p, false);
    char cwd[4096];
    std::string cur = getcwd(cwd, sizeof cwd) ? hostToWindows(cwd) : std::string();
    if (cur.empty() || cur.size() >= MAX_PATH) cur = "C:\\";
    {
      std::lock_guard<std::mutex> lock(s.m);
      s.currentDir = cur;
    }
  });
}

unsigned prefixGeneration() { return state().prefixGeneration.load(); }

void lockPrefixForRun() {
  std::string path;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    path = s.prefix + "/setup.lock";
  }
  int fd = openPrefixFile("setup.lock", O_RDWR | O_CREAT);
  if (fd < 0) endRunEarly(w32::kRunNotStarted, "cannot lock the prefix (" + path + "): " + strerror(errno));
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return; // held until the process ends
  // Any figure is taken: a negative one as 0, one past ten years (however
  // large) as ten years.
  const long long kLongest = 10LL * 366 * 24 * 3600;
  const char *wait = getenv("W32_PREFIX_WAIT");
  long long seconds = wait && *wait ? strtoll(wait, nullptr, 10) : 600;
  seconds = seconds < 0 ? 0 : seconds > kLongest ? kLongest : seconds;
  std::string line = "another program is running on this prefix; waiting up to " + std::to_string(seconds) +
                     " s for it to end";
  recordEvent(qva::waitLine(line));
  fprintf(stderr, "w32: %s\n", line.c_str());
  for (long long tenths = 0; tenths < seconds * 10; ++tenths) {
    usleep(100000);
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return;
  }
  endRunEarly(w32::kRunNotStarted, "another program kept this prefix for " + std::to_string(seconds) + " s");
}

void setError(DWORD code) { lastError = code; }

DWORD errnoToWin(int e) {
  switch (e) {
  case 0: return NO_ERROR;
  case ENOENT: return ERROR_FILE_NOT_FOUND;
  case ENOTDIR: return ERROR_PATH_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EISDIR: return ERROR_ACCESS_DENIED;
  case EROFS: return ERROR_WRITE_PROTECT;
  case EEXIST: return ERROR_ALREADY_EXISTS;
  case ENOSPC:
  case EDQUOT:
  case EFBIG: return ERROR_DISK_FULL; // over the file size limit (ulimit -f) too
  case EMFILE:
  case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
  case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
  case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
  case EBADF: return ERROR_INVALID_HANDLE;
  case EINVAL: return ERROR_INVALID_PARAMETER;
  case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
  default: return ERROR_GEN_FAILURE;
  }
}

bool faultHit(w32::Fault cls) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  int i = static_cast<int>(cls);
  int any = static_cast<int>(w32::Fault::Any);
  ++s.counts[i];
  if (i != any) ++s.counts[any];
  bool own = step(s.arms[i]);
  bool all = i != any && step(s.arms[any]);
  return own || all;
}

HANDLE addHandle(std::shared_ptr<Object> obj) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  intptr_t id = s.nextHandle;
  s.nextHandle += 4;
  if (s.nextHandle > 0x3ffffff0) s.nextHandle = 0x100;
  s.handles[id] = std::move(obj);
  return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<Object> findHandle(HANDLE h, ObjKind kind) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  auto it = s.handles.find(reinterpret_cast<intptr_t>(h));
  if (it == s.handles.end() || it->second->kind != kind) return nullptr;
  return it->second;
}

bool dropHandle(HANDLE h, ObjKind kind) {
  std::shared_ptr<Object> gone;
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  auto it = s.handles.find(reinterpret_cast<intptr_t>(h));
  if (it == s.handles.end() || it->second->kind != kind) return false;
  gone = std::move(it->second);
  s.handles.erase(it);
  return true;
}


void armFaultInternal(w32::Fault cls, long nth, bool persistent) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  FaultArm &a = s.arms[static_cast<int>(cls)];
  a = FaultArm();
  if (nth >= 1) {
    a.armed = true;
    a.countdown = nth;
    a.persistent = persistent;
  }
}

void clearFaultsInternal() {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  for (FaultArm &a : s.arms) a = FaultArm();
}

ULONGLONG fileTimeFromTimespec(long long sec, long nsec) {
  long long t = sec + 11644473600LL;
  if (t < 0) return 0;
  return static_cast<ULONGLONG>(t) * 10000000ULL + static_cast<ULONGLONG>(nsec / 100);
}

void timespecFromFileTime(ULONGLONG ft, long long *sec, long *nsec) {
  *sec = static_cast<long long>(ft / 10000000ULL) - 11644473600LL;
  *nsec = static_cast<long>(ft % 10000000ULL) * 100;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

} // namespace w32int

using namespace w32int;

extern "C" DWORD WINAPI GetLastError(void) { return lastError; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

namespace w32 {

void armFault(Fault cls, long nth, bool persistent) {
  ensureInit();
  armFaultInternal(cls, nth, persistent);
}

void clearFaults() {
  ensureInit();
  clearFaultsInternal();
}

long callCount(Fault cls) {
  ensureInit();
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  return s.counts[static_cast<int>(cls)];
}

long heapBlockCount() {
  ensureInit();
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  return static_cast<long>(s.heapBlocks.size());
}

std::string prefixProblem(const std::string &prefix) { return w32int::prefixProblem(prefix); }

std::string defaultPrefixPath() { return w32int::defaultPrefix(); }

std::string prefixDir() {
  ensureInit();
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  return s.prefix;
}

bool mapDrive(char letter, const std::string &hostDir) {
  ensureInit();
  int e = mapDriveInternal(letter, hostDir);
  errno = e;
  return e == 0;
}

void setFreeSpaceOverride(char letter, unsigned long long bytes) {
  ensureInit();
  char l = static_cast<char>(letter >= 'A' && letter <= 'Z' ? letter + 32 : letter);
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  s.freeSpaceOverride[l] = bytes;
}

void setModuleFileName(const char *windowsPath) {
  ensureInit();
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  s.hasModuleOverride = windowsPath != nullptr;
  s.moduleOverride = windowsPath ? windowsPath : "";
}

} // namespace w32
