// Extraction of a package archive (.z) into the target directory.
#ifndef QV_PACKAGE_ARCHIVE_H
#define QV_PACKAGE_ARCHIVE_H

#include "transfer_result.h"

// Extracts every member of sourceDir + archiveName into targetDir (both
// directories end in a backslash); each member becomes targetDir + its name,
// stamped with the entry's last-write time. Checks cancelRequested before
// each member and advances the progress meter by the compressed bytes read.
TransferResult extractPackageArchive(const char *archiveName, const char *sourceDir, const char *targetDir);

#endif
