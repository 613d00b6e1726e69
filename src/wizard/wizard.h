// The setup wizard: start-up, the four modal dialogs and the worker thread
// that runs the installation behind the progress dialog.
#ifndef QV_WIZARD_H
#define QV_WIZARD_H

#include <windows.h>

// Start-up: common controls, the package total from string 1, sourceDir
// from the program's own path. 1 when the wizard may run, 0 after a message
// saying why not.
int startUp(HINSTANCE instance);
// Runs the dialogs from the welcome picture to the end of the progress
// dialog; returns how the run ended, one of the SETUP_RESULT_ values.
int runWizard(void);

// Dialog procedures of dialogs 4 (welcome), 1 (introduction),
// 2 (installation directory) and 3 (progress).
INT_PTR CALLBACK welcomeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK introDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK directoryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK progressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// 1 when installDir's drive has room for the package, else 0 after telling
// the user (owned by owner).
int checkFreeSpace(HWND owner);
// Moves a window, keeping its size, to the middle of the primary screen.
void centreOnScreen(HWND window);
// The worker thread: runs the installation, reports how it ended.
DWORD WINAPI installWorker(LPVOID unused);
// The command line that starts the installed program, from installDir.
void formProgramCommand(char *command, size_t size);

// The setup program's instance (its resources).
extern HINSTANCE setupInstance;

// The program's exit status: how the run ended.
#define SETUP_RESULT_INSTALLED 0     // installed, and the installed program started
#define SETUP_RESULT_CANCELLED 1     // the user cancelled (any dialog or prompt)
#define SETUP_RESULT_WITH_ERRORS 3   // installed, but a registry, profile, group or start step failed
#define SETUP_RESULT_NOT_STARTED 4   // refused at start-up, a dialog or the worker could not be created

// The progress dialog's end when its worker thread cannot be started: the
// wizard ends as when a dialog cannot be made (not started).
#define WIZARD_END_NOT_STARTED -1

#define WIZARD_FREE_BYTES_NEEDED 8000000UL
#define WIZARD_COMMAND_SIZE 256
// installDir + "\quorvel\" + an 8.3 name must fit a 72-byte path.
#define WIZARD_INSTALL_DIR_LONGEST SETUP_INSTALL_DIR_LONGEST
// sourceDir + an 8.3 name must fit a 72-byte path.
#define WIZARD_SOURCE_DIR_LONGEST 59

#endif
