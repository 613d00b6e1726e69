// The installer's process-wide state: where the package comes from, where it
// goes, which disk is expected, whether the user has cancelled, and the
// progress dialog's windows.
//
// One record, setupState, zeroed at process start and never freed. Two
// threads use it: the main thread (the dialogs) and the installation worker.
// cancelRequested is the one field both write while the worker runs; it is a
// 32-bit atomic word so that each read and write is whole and ordered
// without a lock.
#ifndef QV_SETUP_STATE_H
#define QV_SETUP_STATE_H

#include <windows.h>

#include <stdint.h>

#include <atomic>

#define SETUP_SOURCE_DIR_SIZE 70
#define SETUP_PATH_SIZE 72            // installDir, targetDir, failingPath
#define SETUP_INSTALL_DIR_MAX 69      // characters of installDir the dialog accepts
// The longest installDir (without a last backslash) an installation can
// use: installDir + "\quorvel\" + an 8.3 name must fit a 72-byte path.
#define SETUP_INSTALL_DIR_LONGEST 50

struct SetupState {
  char sourceDir[SETUP_SOURCE_DIR_SIZE];  // setup program's directory, lower case, ends in '\'
  char installDir[SETUP_PATH_SIZE];       // installation directory (at most 69 characters)
  char targetDir[SETUP_PATH_SIZE];        // installDir + "\quorvel\", ends in '\'
  char failingPath[SETUP_PATH_SIZE];      // path whose open or write failed last
  int32_t diskNumber;                     // disk of the set now expected, 1 to 3
  int32_t multiDisk;                      // running from a floppy drive (a: or b:)
  std::atomic<int32_t> cancelRequested;   // set by Cancel answers and the fatal error
  int32_t hadEudora;                      // the earlier installation had a Eudora entry
  HWND progressDialog;                    // owner of the worker's message boxes
  HWND statusText;                        // progress dialog control 103
  HWND progressBar;                       // progress dialog control 104
  HANDLE workerThread;
  DWORD workerThreadId;
  // A registry, profile or Program Manager step, or the start of the
  // installed program, failed. The run goes on as before; only the program's
  // exit status says so (installed with errors).
  int32_t stepFailed;
};

extern SetupState setupState;

// Private messages posted to setupState.progressDialog, both parameters 0.
#define WM_SETUP_START (WM_USER + 1)     // the dialog asks itself to start the worker
#define WM_SETUP_PROGRESS (WM_USER + 2)  // a new whole percentage was reached
#define WM_SETUP_DONE (WM_USER + 3)      // the installation sequence returned 1
#define WM_SETUP_FAILED (WM_USER + 4)    // the installation sequence returned 0

#endif
