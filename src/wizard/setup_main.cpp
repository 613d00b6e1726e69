// The program entry and start-up: the package total, the source directory,
// then the wizard.
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <string.h>

#include "automation.h"
#include "progress_meter.h"
#include "resource.h"
#include "setup_state.h"
#include "transfer_prompts.h"
#include "wizard.h"

// String 1 is read with room for 63 characters, its terminator included.
#define TOTAL_TEXT_SIZE 63

HINSTANCE setupInstance;

// Decimal text to a signed integer: leading blanks, one optional sign,
// digits up to the first non-digit; no digits give 0. Values past the
// range of a 32-bit integer stop at its ends.
static long parseTotal(const char *text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
    text++;
  }
  int negative = 0;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    text++;
  }
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; text++) {
    if (value <= 2147483648LL) {
      value = value * 10 + (*text - '0');
    }
  }
  if (negative) {
    value = -value;
  }
  if (value > 2147483647LL) {
    value = 2147483647LL;
  }
  if (value < -2147483647LL - 1) {
    value = -2147483647LL - 1;
  }
  return static_cast<long>(value);
}

// sourceDir = the program's directory, lower case, with its backslash. A
// directory whose package paths would not fit is refused: every file would
// be looked up under a cut-off name.
static int findSourceDir(void) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    path[0] = '\0';
    length = 0;
  }
  path[length] = '\0';
  char *cut = strrchr(path, '\\');
  if (cut != NULL) {
    cut[1] = '\0';
  }
  // The directory as the program uses it (and shows it): lower case.
  for (char *c = path; *c; c++) {
    if (*c >= 'A' && *c <= 'Z') {
      *c = static_cast<char>(*c - 'A' + 'a');
    }
  }
  if (length == 0 || strlen(path) > WIZARD_SOURCE_DIR_LONGEST) {
    char text[MAX_PATH + 256];
    snprintf(text, sizeof text,
             "Quorvel Setup cannot read its files from %s because the path is too long. Copy the Quorvel files to "
             "a directory with a shorter path (at most %d characters) and run Setup from there.",
             length ? path : "this directory", WIZARD_SOURCE_DIR_LONGEST);
    MessageBoxA(NULL, text, SETUP_CAPTION, MB_ICONERROR | MB_OK);
    return 0;
  }
  strcpy(setupState.sourceDir, path);
  return 1;
}

int startUp(HINSTANCE instance) {
  setupInstance = instance;
  InitCommonControls();
  char total[TOTAL_TEXT_SIZE];
  if (LoadStringA(instance, IDS_TOTAL_BYTES, total, sizeof total) == 0) {
    total[0] = '\0';
  }
  setupProgress(static_cast<uint32_t>(parseTotal(total)));
  return findSourceDir();
}

int runWizard(void) {
  int state = IDD_WELCOME;
  INT_PTR end = 0;
  while (state != 0) {
    switch (state) {
      case IDD_WELCOME:
        end = DialogBoxParamA(setupInstance, MAKEINTRESOURCEA(IDD_WELCOME), NULL, welcomeDialogProc, 0);
        state = end == IDC_NEXT ? IDD_INTRO : 0;
        break;
      case IDD_INTRO:
        end = DialogBoxParamA(setupInstance, MAKEINTRESOURCEA(IDD_INTRO), NULL, introDialogProc, 0);
        state = end == IDC_NEXT ? IDD_DIRECTORY : 0;
        break;
      case IDD_DIRECTORY:
        end = DialogBoxParamA(setupInstance, MAKEINTRESOURCEA(IDD_DIRECTORY), NULL, directoryDialogProc, 0);
        state = end == IDC_NEXT ? IDD_PROGRESS : end == IDC_BACK ? IDD_INTRO : 0;
        break;
      default:
        end = DialogBoxParamA(setupInstance, MAKEINTRESOURCEA(IDD_PROGRESS), NULL, progressDialogProc, 0);
        state = 0;
        break;
    }
  }
  // The last dialog's end says how the run ended: the progress dialog ends
  // with Next only after the installation.
  if (end == WIZARD_END_NOT_STARTED) {
    return SETUP_RESULT_NOT_STARTED;
  }
  if (end != IDC_NEXT) {
    return SETUP_RESULT_CANCELLED;
  }
  return setupState.stepFailed ? SETUP_RESULT_WITH_ERRORS : SETUP_RESULT_INSTALLED;
}

// The program itself: start-up, then the wizard.
static int runSetup(void) {
  if (!startUp(setupInstance)) {
    return SETUP_RESULT_NOT_STARTED;
  }
  return runWizard();
}

// The command line may ask for an unattended run, a log or a recording
// (automation.h); without one the program runs as it is.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  setupInstance = instance;
  return runAutomated(commandLine, runSetup);
}
