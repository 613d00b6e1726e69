// The progress dialog and the worker thread behind it.
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <string.h>

#include "install_sequence.h"
#include "progress_meter.h"
#include "resource.h"
#include "setup_state.h"
#include "transfer_prompts.h"
#include "wizard.h"

void centreOnScreen(HWND window) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) {
    return;
  }
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  MoveWindow(window, left, top, width, height, FALSE);
}

DWORD WINAPI installWorker(LPVOID) {
  int finished = runInstallation(setupState.progressDialog);
  PostMessageA(setupState.progressDialog, finished ? WM_SETUP_DONE : WM_SETUP_FAILED, 0, 0);
  return 1;
}

void formProgramCommand(char *command, size_t size) {
  // A path with a blank is quoted, so that no other program (c:\my.exe
  // for c:\my dir\...) can be started in its place.
  const char *format = strchr(setupState.installDir, ' ') != NULL ? "\"%s\\quorvel\\quorvel.exe\" main"
                                                                  : "%s\\quorvel\\quorvel.exe main";
  snprintf(command, size, format, setupState.installDir);
}

static void confirmCancel(HWND dialog) {
  int answer = MessageBoxA(dialog, "Are you sure you want to cancel installation?", SETUP_CAPTION,
                           MB_ICONQUESTION | MB_YESNO);
  if (answer == IDYES) {
    setupState.cancelRequested = 1;
    EndDialog(dialog, IDC_CANCEL);
  }
}

INT_PTR CALLBACK progressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    setupState.progressDialog = dialog;
    setupState.statusText = GetDlgItem(dialog, IDC_STATUS);
    centreOnScreen(dialog);
    setupState.progressBar = GetDlgItem(dialog, IDC_PROGRESS);
    SendMessageA(setupState.progressBar, PBM_SETSTEP, 1, 0);
    PostMessageA(dialog, WM_SETUP_START, 0, 0);
    return TRUE;
  }
  if (message == WM_COMMAND) {
    if (LOWORD(wParam) == IDC_CANCEL) {
      confirmCancel(dialog);
    }
  } else if (message == WM_SETUP_START) {
    setupState.cancelRequested = 0;
    DWORD id = 0;
    setupState.workerThread = CreateThread(NULL, 0, installWorker, NULL, 0, &id);
    setupState.workerThreadId = id;
    if (setupState.workerThread == NULL) {
      // Nothing has been changed yet: the installation's own out-of-memory
      // message, then the dialog ends as one that could not run.
      handleTransferResult(dialog, TransferResult::Fatal);
      EndDialog(dialog, WIZARD_END_NOT_STARTED);
    }
  } else if (message == WM_SETUP_PROGRESS) {
    uint32_t percent = progressMeter.nextPercent;
    if (percent <= 100) {
      SendMessageA(setupState.progressBar, PBM_SETPOS, percent, 0);
    }
  } else if (message == WM_SETUP_FAILED) {
    if (setupState.cancelRequested) {
      EndDialog(dialog, IDC_CANCEL);
    }
  } else if (message == WM_SETUP_DONE) {
    EndDialog(dialog, IDC_NEXT);
    char command[WIZARD_COMMAND_SIZE];
    formProgramCommand(command, sizeof command);
    if (WinExec(command, SW_SHOWNORMAL) <= 31) {
      setupState.stepFailed = 1;  // only the exit status tells
    }
  }
  return FALSE;
}
