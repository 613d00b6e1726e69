// The system configuration steps the installation sequence calls: the
// clean-up of an earlier installation, the registry settings and the
// Program Manager group. The sequence ignores every result; these steps
// never stop the installation.
#ifndef QV_CONFIG_STEPS_H
#define QV_CONFIG_STEPS_H

#include <windows.h>

// Removes an earlier installation of the older dialer-based software; may
// replace setupState.installDir with its directory. 1 when one was found and
// every step ran, 0 when there was none (or it stopped at SYSTEM.INI).
int cleanUpEarlierInstallation(HWND owner);

// Records the settings for the installed sign-up program under
// HKEY_LOCAL_MACHINE; mainDir is installDir without a trailing backslash.
// 1 when every value was written, else 0 (the values that could be written
// stay).
int writeRegistrySettings(const char *mainDir);

// Program Manager group over DDE: Start, Create group, Add item..., End.
int startProgramGroup(void);
int createProgramGroup(const char *groupName);
int addProgramItem(const char *itemName, const char *programDir, const char *programFile, const char *iconDir,
                   const char *iconFile);
int endProgramGroup(void);

#endif
