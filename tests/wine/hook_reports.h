// What the hook inside setup.exe reports to the driver (setup_hook.cpp,
// wine_driver.cpp): WM_COPYDATA to the driver's window, dwData the kind.
#ifndef QV_WINE_HOOK_REPORTS_H
#define QV_WINE_HOOK_REPORTS_H

static const char kDriverSinkClass[] = "QuorvelDriverSink";
static const char kBoxStyleProp[] = "QuorvelBoxStyle";
static const char kBoxSeenProp[] = "QuorvelBoxSeen";

enum {
  kReportShown = 1,     // a dialog has been initialised
  kReportEnded = 2,     // a dialog is being destroyed
  kReportText = 3,      // a control's new text (number: its identifier)
  kReportProgress = 4,  // a progress bar's new position (number)
};

// The drives' speeds (bytes a second, 0: full speed), set by the driver's
// insert actions and read by the hook in setup.exe.
static const char kDriveSpeedsName[] = "QuorvelDriveSpeeds";
struct DriveSpeeds {
  unsigned long bytesPerSecond[26];
};

struct HookReport {
  unsigned long long window;
  int number;
  char text[512];
};

#endif
