// The test controls that reach every part of the layer (w32_test.h): the
// open handles of every kind counted, and the fresh state each part is
// put back to between tests.  The others are beside what they control
// (machine/w32_core.cpp).
#include "machine/w32_core.h"
#include "machine/w32_prefix.h"
#include "machine/w32_script.h"
#include "kernel32/w32_objects.h"
#include "user32/w32_dde.h"
#include "user32/w32_windows.h"
#include "frontend/scripted_frontend.h"

#include <cstdio>
#include <cstdlib>

using namespace w32int;

namespace w32 {

long openHandleCount() {
  ensureInit();
  State &s = state();
  std::lock_guard<std::mutex> lock(s.m);
  long n = ddeOpenObjects();
  for (const auto &h : s.handles) {
    if (h.second->kind == ObjKind::Thread) {
      if (!static_cast<ThreadObject &>(*h.second).done) ++n;
    } else {
      ++n;
    }
  }
  return n;
}

void resetForTest(const std::string &prefixDir) {
  ensureInit();
  OpenedPrefix p;
  std::string why = openPrefix(prefixDir, true, &p);
  if (!why.empty()) {
    fprintf(stderr, "w32: the test's prefix %s is refused: %s\n", prefixDir.c_str(), why.c_str());
    abort();
  }
  resetScript();
  resetScriptedFrontEnd();
  dropAllWindows();
  resetDde();
  State &s = state();
  std::map<intptr_t, std::shared_ptr<Object>> old;
  usePrefix(p);
  {
    std::lock_guard<std::mutex> lock(s.m);
    old.swap(s.handles);
    ++s.prefixGeneration;
    s.testMode = true;
    s.currentDir = "C:\\";
    s.freeSpaceOverride.clear();
    s.hasModuleOverride = false;
    s.moduleOverride.clear();
    for (FaultArm &a : s.arms) a = FaultArm();
    for (long &c : s.counts) c = 0;
    s.heapBlocks.clear();
  }
  old.clear();
  preparePrefix(p, true);
  removePrefixFile("freespace");
  removePrefixFile("drivespeed");
}

} // namespace w32
