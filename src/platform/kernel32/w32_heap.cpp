// The process heap: malloc underneath, every block tracked so that a test can
// see leaks and a wrong HeapFree fails instead of corrupting memory.
#include "machine/w32_core.h"

#include <cstdlib>
#include <cstring>

using namespace w32int;

namespace {
int heapTag;
HANDLE processHeap() { return reinterpret_cast<HANDLE>(&heapTag); }
} // namespace

extern "C" HANDLE WINAPI GetProcessHeap(void) {
  ensureInit();
  return processHeap();
}

extern "C" LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  ensureInit();
  if (heap != processHeap()) {
    setError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (faultHit(w32::Fault::Alloc)) {
    setError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void *p = (flags & HEAP_ZERO_MEMORY) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
  if (!p) {
    setError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  s.heapBlocks.insert(p);
  return p;
}

extern "C" BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID mem) {
  ensureInit();
  if (heap != processHeap()) {
    setError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!mem) return TRUE;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    if (s.heapBlocks.erase(mem) == 0) {
      setError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  free(mem);
  return TRUE;
}
