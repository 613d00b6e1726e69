// The first three dialogs of the wizard: the welcome picture, the
// introduction, and the installation directory with its checks.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "resource.h"
#include "setup_state.h"
#include "transfer_prompts.h"
#include "wizard.h"

#define EARLIER_SECTION "Dunmere Network Quorvel"
#define DEFAULT_INSTALL_DIR "c:\\dunmere"
#define MESSAGE_SIZE 256

INT_PTR CALLBACK welcomeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    // The picture: a bordered bitmap static at (12, 12) that takes the
    // bitmap's own size.
    CreateWindowExA(0, "STATIC", "DUNMERE95NEWL", WS_CHILD | WS_VISIBLE | WS_BORDER | SS_BITMAP, 12, 12, 0, 0,
                    dialog, NULL, setupInstance, NULL);
    centreOnScreen(dialog);
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDC_NEXT || LOWORD(wParam) == IDC_CANCEL)) {
    EndDialog(dialog, LOWORD(wParam));
  }
  return FALSE;
}

INT_PTR CALLBACK introDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    centreOnScreen(dialog);
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDC_NEXT || LOWORD(wParam) == IDC_CANCEL)) {
    EndDialog(dialog, LOWORD(wParam));
  }
  return FALSE;
}

int checkFreeSpace(HWND owner) {
  char root[SETUP_PATH_SIZE];
  strcpy(root, setupState.installDir);
  char *backslash = strchr(root, '\\');
  if (backslash != NULL) {
    *backslash = '\0';
  }
  strcat(root, "\\");

  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters);
  // In 64 bits: a large drive must not wrap round to a small figure.
  ULONGLONG freeBytes = static_cast<ULONGLONG>(freeClusters) * bytesPerSector * sectorsPerCluster;
  if (freeBytes >= WIZARD_FREE_BYTES_NEEDED) {
    return 1;
  }
  char text[MESSAGE_SIZE];
  snprintf(text, sizeof text,
           "There are only %ld.%ld MBs free on drive %s. Quorvel requires at least 8.0 MB of free disk space.",
           static_cast<long>(freeBytes / 1000000), static_cast<long>((freeBytes % 1000000) / 100000), root);
  MessageBoxA(owner, text, SETUP_CAPTION, MB_ICONERROR | MB_OK);
  return 0;
}

// Next in the directory dialog: 1 when installDir is usable.
static int acceptDirectory(HWND dialog) {
  GetDlgItemTextA(dialog, IDC_DIRECTORY, setupState.installDir, SETUP_INSTALL_DIR_MAX + 1);
  size_t length = strlen(setupState.installDir);
  if (length == 0) {
    MessageBoxA(dialog, "Please enter the Quorvel directory.", SETUP_CAPTION, MB_ICONERROR | MB_OK);
    return 0;
  }
  if (setupState.installDir[length - 1] == '\\') {
    setupState.installDir[--length] = '\0';
  }
  // Every file goes to installDir\quorvel\NAME: refuse a directory where
  // those paths would not fit, before anything is written.
  if (length > WIZARD_INSTALL_DIR_LONGEST) {
    char text[MESSAGE_SIZE];
    snprintf(text, sizeof text,
             "The directory name %s is too long. Please enter a directory of at most %d characters.",
             setupState.installDir, WIZARD_INSTALL_DIR_LONGEST);
    MessageBoxA(dialog, text, SETUP_CAPTION, MB_ICONERROR | MB_OK);
    return 0;
  }
  return checkFreeSpace(dialog);
}

INT_PTR CALLBACK directoryDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    centreOnScreen(dialog);
    // Every visit offers the earlier installation's directory (or the
    // default) again.
    GetProfileStringA(EARLIER_SECTION, "Main", DEFAULT_INSTALL_DIR, setupState.installDir,
                      SETUP_INSTALL_DIR_MAX + 1);
    SetDlgItemTextA(dialog, IDC_DIRECTORY, setupState.installDir);
    return TRUE;
  }
  if (message != WM_COMMAND) {
    return FALSE;
  }
  switch (LOWORD(wParam)) {
    case IDC_NEXT:
      if (acceptDirectory(dialog)) {
        EndDialog(dialog, IDC_NEXT);
      }
      break;
    case IDC_BACK:
    case IDC_CANCEL:
      EndDialog(dialog, LOWORD(wParam));
      break;
    default:
      break;
  }
  return FALSE;
}
