#include "setup_state.h"

#include "progress_meter.h"

// Zero-initialised at process start, as static storage always is.
SetupState setupState;
ProgressMeter progressMeter;
