#include "progress_meter.h"

#include "setup_state.h"

void setupProgress(uint32_t totalBytes) {
  progressMeter.totalBytes = totalBytes;
  progressMeter.bytesPerPercent = totalBytes / 100;
  progressMeter.bytesDone = 0;
  progressMeter.nextPercent = 0;
}

void advanceProgress(uint32_t n) {
  uint32_t done = progressMeter.bytesDone.load(std::memory_order_relaxed) + n;
  progressMeter.bytesDone.store(done, std::memory_order_relaxed);
  uint32_t perPercent = progressMeter.bytesPerPercent.load(std::memory_order_relaxed);
  if (perPercent == 0) {
    return;  // a package total under 100: no progress to show
  }
  uint32_t percent = done / perPercent;
  if (percent >= progressMeter.nextPercent.load(std::memory_order_relaxed)) {
    progressMeter.nextPercent.store(percent + 1, std::memory_order_release);
    PostMessageA(setupState.progressDialog, WM_SETUP_PROGRESS, 0, 0);
  }
}
