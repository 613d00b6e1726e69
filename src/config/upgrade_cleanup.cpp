// Clean-up of an earlier installation of the older dialer-based software:
// detection through WIN.INI and its register.ini, the upgrade notice, the
// takeover of its directory, and the removal of its traces (nts.ini, the
// registration version, the WIN.INI section, the dialer's and the old
// TCP/IP stack's device lines in SYSTEM.INI, the registration and dialer
// directories).
#include "upgrade_cleanup.h"

#include <stdio.h>
#include <string.h>

#include "bounded_text.h"
#include "config_steps.h"
#include "config_text.h"
#include "setup_state.h"

#define MAIN_DIR_SIZE 273      // WIN.INI Main: at most 272 characters
#define VERSION_SIZE 273       // register.ini Version: at most 272 characters
#define EUDORA_SIZE 256        // at most 255 characters
#define DIALER_DIR_SIZE 256    // at most 255 characters
#define STACK_BASE_SIZE 72     // at most 71 characters
#define WINDOWS_DIR_SIZE 260   // at most 259 characters
#define DEVICE_LINE_COUNT 6
#define PROTECTED_DIR_COUNT 4

static const char upgradeMessage[] =
    "Thank you for upgrading to Quorvel for Windows 95.\r\n\r\n"
    "1. You will no longer be using the Internet Dialer to connect to Dunmere Network. Follow the on-line "
    "instructions to learn how to use Dial-Up Networking, the built-in tool for Windows 95.\r\n\r\n"
    "2. Your Netscape Navigator will be upgraded to the newest version, but your bookmarks and news files will "
    "be retained.";

// The driver files of the old dialer and TCP/IP stack, each named in
// SYSTEM.INI by a line "device=<driver directory>\<file>".
static const char *const deviceLineFormats[3] = {
    "device=%s\\vntspsd.386",
    "device=%s\\vtcprac.386",
    "device=%s\\vntstimd.exe",
};

// ---- Paths --------------------------------------------------------------

// dest = drive letter of windowsDir, ':', the rest of windowsDir, one
// backslash, name, '.', ext. 0 when windowsDir does not begin with a drive
// or the path does not fit.
static int joinWindowsPath(char *dest, size_t destSize, const char *windowsDir, const char *name, const char *ext) {
  if (windowsDir[0] == '\0' || windowsDir[1] != ':') {
    return 0;
  }
  const char *rest = windowsDir + 2;
  size_t restLength = strlen(rest);
  const char *separator = (restLength > 0 && rest[restLength - 1] == '\\') ? "" : "\\";
  int n = snprintf(dest, destSize, "%c:%s%s%s.%s", windowsDir[0], rest, separator, name, ext);
  return n >= 0 && static_cast<size_t>(n) < destSize ? 1 : 0;
}

// The directories whose files the removal must never touch, in canonical
// form (see normaliseDirectory): the Windows directory, its SYSTEM and
// SYSTEM32 directories, and the target directory the installation is about
// to fill (installDir + \quorvel). Drive roots are refused separately.
struct ProtectedDirs {
  char dirs[PROTECTED_DIR_COUNT][CLEANUP_PATH_SIZE];
  int known;  // 0: some of them could not be worked out; remove nothing
};

static void findProtectedDirs(ProtectedDirs *guard, const char *windowsDir) {
  char system[CLEANUP_PATH_SIZE];
  char system32[CLEANUP_PATH_SIZE];
  char target[CLEANUP_PATH_SIZE];
  guard->known = normaliseDirectory(guard->dirs[0], CLEANUP_PATH_SIZE, windowsDir) &&
                 textJoin(system, sizeof system, guard->dirs[0], "\\system") &&
                 normaliseDirectory(guard->dirs[1], CLEANUP_PATH_SIZE, system) &&
                 textJoin(system32, sizeof system32, guard->dirs[0], "\\system32") &&
                 normaliseDirectory(guard->dirs[2], CLEANUP_PATH_SIZE, system32) &&
                 textJoin(target, sizeof target, setupState.installDir, "\\quorvel") &&
                 normaliseDirectory(guard->dirs[3], CLEANUP_PATH_SIZE, target);
}

static int isProtected(const ProtectedDirs *guard, const char *dir) {
  char canonical[CLEANUP_PATH_SIZE];
  if (!guard->known || !normaliseDirectory(canonical, sizeof canonical, dir)) {
    return 1;  // not an absolute path on a drive, or too long to judge
  }
  if (strlen(canonical) <= 3) {
    return 1;  // a drive root
  }
  for (int i = 0; i < PROTECTED_DIR_COUNT; ++i) {
    if (strcmp(canonical, guard->dirs[i]) == 0) {
      return 1;
    }
  }
  return 0;
}

static void removeUnlessProtected(const ProtectedDirs *guard, const char *dir) {
  if (!isProtected(guard, dir)) {
    removeOldDirectory(dir);
  }
}

int removeOldDirectory(const char *dir) {
  char pattern[CLEANUP_PATH_SIZE];
  if (!textJoin(pattern, sizeof pattern, dir, "\\*.*")) {
    return 1;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) {
    return 1;  // nothing there, or no such directory: it stays as it is
  }
  do {
    if (found.cFileName[0] == '.') {
      continue;
    }
    char file[CLEANUP_PATH_SIZE];
    if (textJoin(file, sizeof file, dir, "\\") && textAppend(file, sizeof file, found.cFileName)) {
      DeleteFileA(file);  // a subdirectory, a read-only file or one in use stays
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  RemoveDirectoryA(dir);  // fails, and so stays, when something is left in it
  return 1;
}

// ---- SYSTEM.INI ---------------------------------------------------------

// The text stream stops reading at the first Ctrl-Z byte, and a zero byte
// would end a piece early when it is written back; either would lose text
// that follows. 1 when the file can be filtered without such a loss: no
// zero byte. *tail is then where the text after the first Ctrl-Z begins
// (the Ctrl-Z itself), to be carried over unchanged, or -1 when nothing
// but CR, LF and further Ctrl-Z bytes follows it (dropped, with the
// Ctrl-Z, as the stream drops them). 0 for a zero byte, and when the file
// cannot be read.
static int filtersWithoutLoss(const char *path, long *tail) {
  FILE *file = fopen(path, "rb");
  if (file == NULL) {
    return 0;
  }
  unsigned char block[512];
  long position = 0;
  long endMark = -1;
  int textAfterMark = 0;
  int clean = 1;
  size_t got;
  while (clean && (got = fread(block, 1, sizeof block, file)) > 0) {
    for (size_t i = 0; i < got; ++i) {
      unsigned char c = block[i];
      if (c == 0) {
        clean = 0;
        break;
      }
      if (c == 0x1A && endMark < 0) {
        endMark = position + static_cast<long>(i);
      } else if (endMark >= 0 && c != 0x1A && c != '\r' && c != '\n') {
        textAfterMark = 1;
      }
    }
    position += static_cast<long>(got);
  }
  if (ferror(file)) {
    clean = 0;
  }
  fclose(file);
  *tail = textAfterMark ? endMark : -1;
  return clean;
}

// Appends the bytes of from, starting at offset, to the end of to, as
// they are. 1 when all were copied.
static int appendTail(const char *from, long offset, const char *to) {
  FILE *in = fopen(from, "rb");
  if (in == NULL) {
    return 0;
  }
  FILE *out = fopen(to, "ab");
  if (out == NULL) {
    fclose(in);
    return 0;
  }
  int copied = fseek(in, offset, SEEK_SET) == 0 ? 1 : 0;
  unsigned char block[512];
  size_t got;
  while (copied && (got = fread(block, 1, sizeof block, in)) > 0) {
    if (fwrite(block, 1, got, out) != got) {
      copied = 0;
    }
  }
  if (ferror(in)) {
    copied = 0;
  }
  fclose(in);
  if (fclose(out) != 0) {
    copied = 0;
  }
  return copied;
}

// The six lines to remove: the three driver files under the dialer's bin
// directory, then under the old TCP/IP stack's. The stack base is read from
// WIN.INI Main with the default c:\dunmere; the section has been deleted by
// now, so it is c:\dunmere. A line that would not fit is left empty, and an
// empty line never matches.
static void formDeviceLines(char lines[DEVICE_LINE_COUNT][CLEANUP_PATH_SIZE], const char *dialerDir) {
  char driverDirs[2][CLEANUP_PATH_SIZE];
  int fits[2];
  fits[0] = textJoin(driverDirs[0], sizeof driverDirs[0], dialerDir, "\\bin");
  char stackBase[STACK_BASE_SIZE];
  GetProfileStringA(EARLIER_SECTION, "Main", "c:\\dunmere", stackBase, sizeof stackBase);
  fits[1] = textJoin(driverDirs[1], sizeof driverDirs[1], stackBase, "\\tcppro\\bin");

  for (int d = 0; d < 2; ++d) {
    for (int f = 0; f < 3; ++f) {
      char *line = lines[d * 3 + f];
      int n = snprintf(line, CLEANUP_PATH_SIZE, deviceLineFormats[f], driverDirs[d]);
      if (!fits[d] || n < 0 || n >= CLEANUP_PATH_SIZE) {
        line[0] = '\0';
      }
    }
  }
}

static int isDeviceLine(const char *text, const char lines[DEVICE_LINE_COUNT][CLEANUP_PATH_SIZE]) {
  for (int i = 0; i < DEVICE_LINE_COUNT; ++i) {
    if (lines[i][0] != '\0' && textEqualNoCase(text, lines[i])) {
      return 1;
    }
  }
  return 0;
}

// Copies in to out piece by piece, dropping the pieces that are device lines
// once a [386Enh] header has been seen. Only a piece that holds a whole line
// can be dropped: a piece cut from a line longer than a piece is always
// written, so no long line ever loses its tail or runs into the next one.
// 1 when every piece was read and written; 0 after a read or write error
// (out is then incomplete).
static int filterSystemSettings(FILE *in, FILE *out, const char lines[DEVICE_LINE_COUNT][CLEANUP_PATH_SIZE]) {
  char piece[SYSTEM_PIECE_SIZE];
  char copy[SYSTEM_PIECE_SIZE];
  int inSection = 0;    // set at the first [386Enh] header, never cleared
  int lineStart = 1;    // this piece begins a line
  while (fgets(piece, sizeof piece, in) != NULL) {
    size_t length = strlen(piece);
    int lineEnd = (length > 0 && piece[length - 1] == '\n') || feof(in);
    int wholeLine = lineStart && lineEnd;
    lineStart = length > 0 && piece[length - 1] == '\n';
    textCopy(copy, sizeof copy, piece);
    // Cut the copy at its first line end that follows other text, so the
    // comparison sees the line without its end.
    for (size_t i = 1; copy[0] != '\0' && copy[i] != '\0'; ++i) {
      if (copy[i] == '\r' || copy[i] == '\n') {
        copy[i] = '\0';
        break;
      }
    }
    textToUpper(copy);
    if (strstr(copy, "[386ENH]") != NULL) {
      inSection = 1;
    }
    if (inSection && wholeLine && isDeviceLine(copy, lines)) {
      continue;
    }
    if (fputs(piece, out) == EOF) {
      return 0;
    }
  }
  return ferror(in) || ferror(out) ? 0 : 1;
}

// Steps 12 to 15: filter SYSTEM.INI into SYSTEM.OLD and copy that back over
// SYSTEM.INI. Text after a Ctrl-Z in the middle of the file, which the text
// stream does not read, follows the filtered text unchanged, Ctrl-Z first.
// SYSTEM.INI is replaced only by a complete filtered copy: a file holding a
// zero byte, a failed open, an incomplete filtered copy or a failed copy
// back give 0 and leave it as it was.
static int rewriteSystemSettings(const char *systemIni, const char *systemOld, const char *dialerDir) {
  long tail = -1;
  if (!filtersWithoutLoss(systemIni, &tail)) {
    return 0;
  }
  FILE *in = fopen(systemIni, "rt");
  if (in == NULL) {
    return 0;
  }
  FILE *out = fopen(systemOld, "wt");
  if (out == NULL) {
    fclose(in);
    return 0;
  }
  char lines[DEVICE_LINE_COUNT][CLEANUP_PATH_SIZE];
  formDeviceLines(lines, dialerDir);
  int complete = filterSystemSettings(in, out, lines);
  fclose(in);
  if (fclose(out) != 0) {
    complete = 0;
  }
  if (complete && tail >= 0) {
    complete = appendTail(systemIni, tail, systemOld);
  }
  if (!complete) {
    return 0;
  }
  return CopyFileA(systemOld, systemIni, FALSE) == TRUE ? 1 : 0;
}

// ---- The clean-up -------------------------------------------------------

// installDir becomes the earlier installation's directory, read once more
// from Main within installDir's 69 characters. Only a directory that the
// directory dialog would accept is taken over: one longer than
// SETUP_INSTALL_DIR_LONGEST (a last backslash aside) leaves no room for
// installDir\quorvel\NAME, so every transfer into it would fail and be
// offered again for ever. Such a directory, like one cut short by the read,
// is not taken over: the one chosen in the dialog stays.
static void takeOverInstallDir(const char *mainDir) {
  char earlierDir[SETUP_INSTALL_DIR_MAX + 1];
  GetProfileStringA(EARLIER_SECTION, "Main", "", earlierDir, sizeof earlierDir);
  size_t length = strlen(earlierDir);
  if (length > 0 && earlierDir[length - 1] == '\\') {
    length--;
  }
  if (earlierDir[0] != '\0' && strcmp(earlierDir, mainDir) == 0 && length <= SETUP_INSTALL_DIR_LONGEST) {
    textCopy(setupState.installDir, sizeof setupState.installDir, earlierDir);
  }
}

int cleanUpEarlierInstallation(HWND owner) {
  // Detection: WIN.INI names a main directory whose register.ini holds a
  // registration version.
  char mainDir[MAIN_DIR_SIZE];
  GetProfileStringA(EARLIER_SECTION, "Main", "", mainDir, sizeof mainDir);
  if (mainDir[0] == '\0') {
    return 0;
  }
  char registrationFile[CLEANUP_PATH_SIZE];
  if (!textJoin(registrationFile, sizeof registrationFile, mainDir, "\\register\\register.ini")) {
    return 0;  // cannot be looked at, so not recognised
  }
  char version[VERSION_SIZE];
  GetPrivateProfileStringA(REGISTRATION_SECTION, "Version", "", version, sizeof version, registrationFile);
  if (version[0] == '\0') {
    return 0;
  }

  MessageBoxA(owner, upgradeMessage, "Quorvel", MB_ICONINFORMATION | MB_OK);

  char eudora[EUDORA_SIZE];
  GetProfileStringA(EARLIER_SECTION, "Eudora", "", eudora, sizeof eudora);
  if (eudora[0] != '\0') {
    setupState.hadEudora = 1;
  }

  takeOverInstallDir(mainDir);

  char dialerDir[DIALER_DIR_SIZE];
  GetProfileStringA(EARLIER_SECTION, "Dialer", "", dialerDir, sizeof dialerDir);
  if (dialerDir[0] == '\0') {
    GetProfileStringA(EARLIER_SECTION, "Wirevane", "", dialerDir, sizeof dialerDir);
  }

  // The registration directory is formed from Main, which is installDir
  // after the takeover (and still right when installDir was not taken over).
  char registrationDir[CLEANUP_PATH_SIZE];
  int registrationDirFits = textJoin(registrationDir, sizeof registrationDir, mainDir, "\\Register");
  char dialerBin[CLEANUP_PATH_SIZE];
  char dialerApp[CLEANUP_PATH_SIZE];
  char dialerEtc[CLEANUP_PATH_SIZE];
  textJoin(dialerBin, sizeof dialerBin, dialerDir, "\\bin");  // 255 + 4 characters always fit
  textJoin(dialerApp, sizeof dialerApp, dialerDir, "\\app");
  textJoin(dialerEtc, sizeof dialerEtc, dialerDir, "\\etc");

  char windowsDir[WINDOWS_DIR_SIZE];
  UINT windowsDirLength = GetWindowsDirectoryA(windowsDir, sizeof windowsDir);
  if (windowsDirLength == 0 || windowsDirLength >= sizeof windowsDir) {
    windowsDir[0] = '\0';  // every path in it is then refused
  }
  char dialerIni[CLEANUP_PATH_SIZE];
  char systemIni[SYSTEM_PATH_SIZE];
  char systemOld[SYSTEM_PATH_SIZE];
  int dialerIniFits = joinWindowsPath(dialerIni, sizeof dialerIni, windowsDir, "nts", "ini");
  int systemFits = joinWindowsPath(systemIni, sizeof systemIni, windowsDir, "SYSTEM", "INI") &&
                   joinWindowsPath(systemOld, sizeof systemOld, windowsDir, "SYSTEM", "OLD");

  if (dialerIniFits) {
    DeleteFileA(dialerIni);  // usually there is none
  }
  // The clean-up goes on whatever these give; a failure only counts for the
  // program's exit status.
  if (!WritePrivateProfileStringA(REGISTRATION_SECTION, "Version", "", registrationFile)) {
    setupState.stepFailed = 1;
  }
  if (!WriteProfileStringA(EARLIER_SECTION, NULL, NULL)) {
    setupState.stepFailed = 1;
  }

  if (!systemFits || !rewriteSystemSettings(systemIni, systemOld, dialerDir)) {
    return 0;
  }

  ProtectedDirs guard;
  findProtectedDirs(&guard, windowsDir);
  if (registrationDirFits) {
    removeUnlessProtected(&guard, registrationDir);
  }
  if (dialerDir[0] != '\0') {
    removeUnlessProtected(&guard, dialerBin);
    removeUnlessProtected(&guard, dialerApp);
    removeUnlessProtected(&guard, dialerEtc);
    removeUnlessProtected(&guard, dialerDir);
  }
  return 1;
}
