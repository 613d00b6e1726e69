#include "install_sequence.h"

#include <string.h>

#include "bounded_text.h"
#include "config_steps.h"
#include "file_copy.h"
#include "package_archive.h"
#include "setup_state.h"
#include "transfer_prompts.h"

#define MAIN_DIR_SIZE 260

enum TransferKind { PlainCopy, Extraction };

// One package file of the fixed list.
struct PackageFile {
  int disk;
  const char *name;
  TransferKind kind;
  int optional;  // transferred only if present in sourceDir
};

static const PackageFile packageFiles[] = {
    {1, "nsystem.z", PlainCopy, 0},   {1, "netscape.z", PlainCopy, 0}, {1, "plugins.z", PlainCopy, 0},
    {1, "javaclss.z", PlainCopy, 0},  {1, "readme.txt", PlainCopy, 0}, {1, "bookmark.htm", PlainCopy, 1},
    {2, "nprogram.z", PlainCopy, 0},  {2, "quorvel.z", Extraction, 0}, {3, "javabin.z", PlainCopy, 0},
    {3, "wsystem.z", PlainCopy, 0},   {3, "www.z", PlainCopy, 1},
};

// Whether sourceDir + name exists; a path that does not fit counts as absent.
static int isPresent(const char *name) {
  char path[SETUP_PATH_SIZE];
  if (!textJoin(path, sizeof path, setupState.sourceDir, name)) {
    return 0;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) {
    return 0;
  }
  FindClose(search);
  return 1;
}

// Runs one transfer until handleTransferResult lets the run go on; returns
// 0 when the run must stop (cancelRequested is set), else 1.
static int transferWithRetry(HWND owner, const PackageFile *file) {
  for (;;) {
    TransferResult result = file->kind == Extraction
                                ? extractPackageArchive(file->name, setupState.sourceDir, setupState.targetDir)
                                : copyPackageFile(file->name, setupState.sourceDir, setupState.targetDir);
    if (handleTransferResult(owner, result)) {
      break;
    }
  }
  return setupState.cancelRequested ? 0 : 1;
}

static void askForDisk(HWND owner, int disk) {
  if (!setupState.multiDisk) {
    return;
  }
  const char *text = disk == 2 ? "Please insert the disk labeled \"Quorvel Disk #2\"."
                               : "Please insert the disk labeled \"Quorvel Disk #3\".";
  MessageBoxA(owner, text, SETUP_CAPTION, MB_ICONERROR | MB_OK);
}

// targetDir = installDir + "\quorvel\" (no doubled backslash). When that does
// not fit, targetDir keeps the 71 characters that do and the directory is not
// created: every destination path under it is then too long, so each
// transfer refuses with CannotWrite naming what fits, and nothing is written
// into the shortened directory.
static int formTargetDir(void) {
  size_t length = strlen(setupState.installDir);
  const char *tail = (length > 0 && setupState.installDir[length - 1] == '\\') ? "quorvel\\" : "\\quorvel\\";
  return textJoin(setupState.targetDir, sizeof setupState.targetDir, setupState.installDir, tail);
}

int runInstallation(HWND owner) {
  cleanUpEarlierInstallation(owner);

  int targetFits = formTargetDir();
  CreateDirectoryA(setupState.installDir, NULL);
  if (targetFits) {
    CreateDirectoryA(setupState.targetDir, NULL);
  }

  setupState.diskNumber = 1;
  char drive = setupState.sourceDir[0];
  setupState.multiDisk = (drive == 'a' || drive == 'A' || drive == 'b' || drive == 'B') ? 1 : 0;

  for (const PackageFile &file : packageFiles) {
    if (file.disk != setupState.diskNumber) {
      setupState.diskNumber = file.disk;
      askForDisk(owner, file.disk);
    }
    if (file.optional && !isPresent(file.name)) {
      continue;
    }
    if (!transferWithRetry(owner, &file)) {
      return 0;
    }
  }

  char mainDir[MAIN_DIR_SIZE];
  textCopy(mainDir, sizeof mainDir, setupState.installDir);
  size_t length = strlen(mainDir);
  if (length > 0 && mainDir[length - 1] == '\\') {
    mainDir[length - 1] = '\0';
  }
  // The closing steps never stop the run; a failure is only noted, for the
  // program's exit status.
  int configured = writeRegistrySettings(mainDir);

  SetWindowTextA(setupState.statusText, "Adding Quorvel group...");
  configured &= startProgramGroup();
  configured &= createProgramGroup("Quorvel");
  configured &= addProgramItem("Registration & Utilities", setupState.targetDir, "quorvel.exe",
                               setupState.targetDir, "quorvel.exe");
  configured &= addProgramItem("Read me", setupState.targetDir, "readme.txt", setupState.targetDir,
                               "notep001.ico");
  endProgramGroup();
  if (!configured) {
    setupState.stepFailed = 1;
  }
  return 1;
}
