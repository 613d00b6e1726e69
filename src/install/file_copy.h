// Plain copy of one package file, in 32000-byte chunks.
#ifndef QV_FILE_COPY_H
#define QV_FILE_COPY_H

#include "transfer_result.h"

#define COPY_CHUNK_SIZE 32000
#define COPY_BUFFER_SIZE 32001

// Copies sourceDir + name to targetDir + name (both directories end in a
// backslash), stamping the destination with the source's last-write time.
// Checks cancelRequested before each chunk and advances the progress meter
// by each chunk written.
TransferResult copyPackageFile(const char *name, const char *sourceDir, const char *targetDir);

#endif
