// The installation sequence run by the worker thread.
#ifndef QV_INSTALL_SEQUENCE_H
#define QV_INSTALL_SEQUENCE_H

#include <windows.h>

// Runs the upgrade clean-up, forms and creates the target directory,
// transfers the package files disk by disk (prompting for disks 2 and 3 when
// running from a floppy), then writes the registry settings and builds the
// Program Manager group. Returns 1 when every step ran, 0 when the run
// stopped because cancelRequested was set after a transfer.
int runInstallation(HWND owner);

#endif
