// Progress accounting for the transfers.
//
// The meter counts bytes against the package total and posts
// WM_SETUP_PROGRESS to the progress dialog each time a new whole percentage
// is reached. The worker writes every counter; the main thread reads
// nextPercent when it handles the message, so the counters are 32-bit
// atomic words (read and written whole, no lock).
#ifndef QV_PROGRESS_METER_H
#define QV_PROGRESS_METER_H

#include <stdint.h>

#include <atomic>

struct ProgressMeter {
  std::atomic<uint32_t> totalBytes;       // package size the percentages are based on
  std::atomic<uint32_t> bytesPerPercent;  // totalBytes / 100
  std::atomic<uint32_t> bytesDone;        // bytes counted so far; only grows
  std::atomic<uint32_t> nextPercent;      // percentage at which the bar moves next
};

extern ProgressMeter progressMeter;

// Sets the package total and clears the counts (done once at start-up).
void setupProgress(uint32_t totalBytes);

// Counts n more bytes. Posts WM_SETUP_PROGRESS (at most once per call) when
// bytesDone / bytesPerPercent has reached nextPercent, then moves nextPercent
// one past that percentage. With a total under 100 there is no whole byte
// count per percent: the bytes are counted and nothing is posted.
void advanceProgress(uint32_t n);

#endif
