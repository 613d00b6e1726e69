// The Win32 layer's process-wide state (not for product code): the kernel
// objects behind HANDLE values and their table, last-error values, fault
// injection, and small helpers every part uses.  Each part of the layer
// includes this first.
#ifndef QV_PLATFORM_W32_CORE_H
#define QV_PLATFORM_W32_CORE_H

// The layer's own sources use the C library's fopen on host paths.
#define QV_W32_LAYER_BUILD 1
#include <windows.h>

#include "w32_test.h"

#include <sys/types.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

namespace w32int {

// ---- Kernel objects behind HANDLE values --------------------------------
//
// The kinds of object themselves are declared by the part that makes them
// (kernel32/w32_objects.h, advapi32/w32_registry_tree.h).

enum class ObjKind { File, Find, Thread, Stream, RegKey };

struct Object {
  explicit Object(ObjKind k) : kind(k) {}
  virtual ~Object() = default;
  ObjKind kind;
};

// ---- Process-wide state --------------------------------------------------

constexpr int kFaultClasses = 10;

struct FaultArm {
  bool armed = false;
  long countdown = 0;
  bool persistent = false;
  bool firing = false;
};

struct State {
  std::mutex m; // guards everything below
  std::string prefix;  // resolved once: no link on the way (set by usePrefix)
  std::atomic<unsigned> prefixGeneration{0}; // counts changes of prefix
  bool testMode = false;
  std::string currentDir = "C:\\";
  std::map<char, unsigned long long> freeSpaceOverride;
  bool hasModuleOverride = false;
  std::string moduleOverride;
  FaultArm arms[kFaultClasses];
  long counts[kFaultClasses] = {};
  std::map<intptr_t, std::shared_ptr<Object>> handles;
  intptr_t nextHandle = 0x100;
  std::unordered_set<void *> heapBlocks;
};

State &state();   // initialised on first use (prefix, answers, transcript)
void ensureInit(); // called by every entry point
// Changes whenever the prefix does: what depends on the prefix's path may be
// kept until it changes.
unsigned prefixGeneration();

// ---- Errors, faults, handles --------------------------------------------

void setError(DWORD code);
DWORD errnoToWin(int e);

// Counts one call of the class (and of Any); true if the call must fail.
bool faultHit(w32::Fault cls);

HANDLE addHandle(std::shared_ptr<Object> obj); // caller holds no lock
std::shared_ptr<Object> findHandle(HANDLE h, ObjKind kind);
bool dropHandle(HANDLE h, ObjKind kind);

// The test controls without ensureInit, for use during initialisation.
void armFaultInternal(w32::Fault cls, long nth, bool persistent);
void clearFaultsInternal();
std::string absolutePath(const std::string &p);

// ASCII case-insensitive comparisons, as FAT and Windows use them.
bool equalsNoCase(std::string_view a, std::string_view b);

// FILETIME <-> host time.
ULONGLONG fileTimeFromTimespec(long long sec, long nsec);
void timespecFromFileTime(ULONGLONG ft, long long *sec, long *nsec);

} // namespace w32int

#endif
