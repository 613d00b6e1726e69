// The sign-up program's settings under HKEY_LOCAL_MACHINE: the installation
// directory, the account and offer texts from the package's setup.ini, the
// Eudora mark of an earlier installation and the flags word. Values are only
// added or overwritten, never deleted.
#include <windows.h>

#include <string.h>

#include "bounded_text.h"
#include "config_steps.h"
#include "config_text.h"
#include "setup_state.h"

#define SETTINGS_KEY "Software\\DunmereNetwork\\Quorvel"
#define SETTINGS_SECTION "Quorvel"
#define SETUP_INI_PATH_SIZE 72    // sourceDir + setup.ini: at most 71 characters
#define SHORT_TEXT_SIZE 64        // IsRegNoAPrefix, RegNo: at most 63 characters
#define TEXT_SIZE 256             // the other texts: at most 255 characters
#define LOCAL_URL_SIZE 276        // LocalURLPath: at most 275 characters
#define SETTINGS_FLAGS 16

// The offer texts copied under their own names, in this order.
static const char *const offerKeys[] = {"SetupFee", "FreeHours", "FreeDays", "SetupFeePrice", "MonthlyPrice"};

static int setText(HKEY key, const char *name, const char *text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                        static_cast<DWORD>(strlen(text) + 1)) == ERROR_SUCCESS;
}

// A key of setup.ini, or empty text when the file, the section or the key is
// missing, or when setup.ini has no usable path.
static void readSetting(const char *setupIni, const char *name, char *value, DWORD valueSize) {
  if (setupIni[0] == '\0') {
    value[0] = '\0';
    return;
  }
  GetPrivateProfileStringA(SETTINGS_SECTION, name, "", value, valueSize, setupIni);
}

int writeRegistrySettings(const char *mainDir) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    DWORD disposition;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &key, &disposition) != ERROR_SUCCESS) {
      return 0;
    }
  }

  int written = setText(key, "MainDir", mainDir);

  // A path that does not fit is not used cut short: every setting then
  // reads as empty, as for a missing setup.ini.
  char setupIni[SETUP_INI_PATH_SIZE];
  if (!textJoin(setupIni, sizeof setupIni, setupState.sourceDir, "setup.ini")) {
    setupIni[0] = '\0';
  }

  char isPrefix[SHORT_TEXT_SIZE];
  char regNo[SHORT_TEXT_SIZE];
  readSetting(setupIni, "IsRegNoAPrefix", isPrefix, sizeof isPrefix);
  readSetting(setupIni, "RegNo", regNo, sizeof regNo);
  if (regNo[0] != '\0') {
    written &= setText(key, textEqualNoCase(isPrefix, "yes") ? "RegNoPrefix" : "RegNo", regNo);
  }

  char homePage[TEXT_SIZE];
  readSetting(setupIni, "HomePage", homePage, sizeof homePage);
  int homePageWritten = 0;
  if (homePage[0] != '\0') {
    written &= setText(key, "HomePage", homePage);
    homePageWritten = 1;
  }

  // Only whether HDHomePage is empty counts; the local path is formed from
  // HomePage. A local path that would not fit is not written.
  char hdHomePage[TEXT_SIZE];
  readSetting(setupIni, "HDHomePage", hdHomePage, sizeof hdHomePage);
  if (hdHomePage[0] != '\0' && homePageWritten) {
    char localUrl[LOCAL_URL_SIZE];
    if (textJoin(localUrl, sizeof localUrl, mainDir, "\\www\\") && textAppend(localUrl, sizeof localUrl, homePage)) {
      written &= setText(key, "LocalURLPath", localUrl);
    }
  }

  if (setupState.hadEudora) {
    written &= setText(key, "Quorvel31Eudora", "TRUE");
  }

  for (const char *name : offerKeys) {
    char value[TEXT_SIZE];
    readSetting(setupIni, name, value, sizeof value);
    if (value[0] != '\0') {
      written &= setText(key, name, value);
    }
  }

  DWORD flags = SETTINGS_FLAGS;
  if (RegSetValueExA(key, "Flags", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&flags), sizeof flags) !=
      ERROR_SUCCESS) {
    written = 0;
  }
  RegCloseKey(key);
  return written;
}
