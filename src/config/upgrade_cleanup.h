// Pieces of the upgrade clean-up (cleanUpEarlierInstallation, declared in
// config_steps.h) that are useful on their own.
#ifndef QV_UPGRADE_CLEANUP_H
#define QV_UPGRADE_CLEANUP_H

#include <windows.h>

#define EARLIER_SECTION "Dunmere Network Quorvel"
#define REGISTRATION_SECTION "Quorvel Registration"

#define CLEANUP_PATH_SIZE 276    // a composed path: at most 275 characters
#define SYSTEM_PATH_SIZE 260     // SYSTEM.INI, SYSTEM.OLD: at most 259 characters
#define SYSTEM_PIECE_SIZE 255    // SYSTEM.INI is read in pieces of at most 254 characters

// Deletes every file directly in dir (entries whose names begin with a full
// stop are skipped; subdirectories are not entered), then removes dir
// itself. Failures are ignored. Always 1.
int removeOldDirectory(const char *dir);

#endif
