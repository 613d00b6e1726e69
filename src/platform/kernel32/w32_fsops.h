// What the file-system calls (w32_fsops.cpp) offer the rest of kernel32.
#ifndef QV_PLATFORM_W32_FSOPS_H
#define QV_PLATFORM_W32_FSOPS_H

#include "machine/w32_path.h"

#include <sys/types.h>

namespace w32int {

// True when a handle or stream of this process has the host file open
// (for DeleteFileA and CopyFileA: Windows refuses to replace an open file).
bool hostFileInUse(dev_t dev, ino_t ino);

// The Windows directory, "C:\WINDOWS", and its host directory.
const char *windowsDirectory();

// Host path of a profile file name: a bare name is in the Windows
// directory.  False with *err set when it cannot be mapped.
bool profileHostPath(const char *fileName, ResolvedPath *out, DWORD *err);

} // namespace w32int

#endif
