#include "package_archive.h"

#include <windows.h>

#include "archive_format.h"
#include "bounded_text.h"
#include "file_access.h"
#include "progress_meter.h"
#include "setup_state.h"

// The files of the member being extracted, reached by the two hooks.
struct ExtractionFiles {
  HANDLE archive;
  HANDLE destination;
};

// Counts the block as progress before reading it, as the bar counts
// compressed bytes handed to the decoder.
static uint32_t readArchiveBytes(void *context, unsigned char *buffer, uint32_t count) {
  ExtractionFiles *files = static_cast<ExtractionFiles *>(context);
  advanceProgress(count);
  DWORD got = 0;
  if (!ReadFile(files->archive, buffer, count, &got, NULL)) {
    return 0;
  }
  return got;
}

static int writeDestinationBytes(void *context, const unsigned char *buffer, uint32_t count) {
  ExtractionFiles *files = static_cast<ExtractionFiles *>(context);
  return writeExactly(files->destination, buffer, count);
}

static TransferResult closeArchive(HANDLE archive, TransferResult result) {
  CloseHandle(archive);
  return result;
}

static TransferResult refuseMember(HANDLE archive, const char *destinationPath) {
  textCopy(setupState.failingPath, sizeof setupState.failingPath, destinationPath);
  return closeArchive(archive, TransferResult::CannotWrite);
}

static int moveTo(HANDLE file, uint32_t position) {
  // With a high part given, the low part counts as unsigned: positions past
  // 2 GiB stay positions, not negative distances.
  LONG high = 0;
  DWORD reached = SetFilePointer(file, static_cast<LONG>(position), &high, FILE_BEGIN);
  return reached == position && high == 0 ? 1 : 0;
}

TransferResult extractPackageArchive(const char *archiveName, const char *sourceDir, const char *targetDir) {
  char archivePath[SETUP_PATH_SIZE];
  if (!textJoin(archivePath, sizeof archivePath, sourceDir, archiveName)) {
    textCopy(setupState.failingPath, sizeof setupState.failingPath, archivePath);
    return TransferResult::SourceMissing;
  }
  HANDLE archive = openForReading(archivePath);
  if (archive == INVALID_HANDLE_VALUE) {
    textCopy(setupState.failingPath, sizeof setupState.failingPath, archivePath);
    return TransferResult::SourceMissing;
  }

  // The count and the directory must be there in full: an archive shorter
  // than they claim is a missing (truncated) source.
  uint32_t archiveSize = 0;
  unsigned char countBytes[ARCHIVE_COUNT_SIZE];
  if (!measureFile(archive, &archiveSize) || !readExactly(archive, countBytes, sizeof countBytes)) {
    return closeArchive(archive, TransferResult::SourceMissing);
  }
  int32_t entryCount = parseEntryCount(countBytes);
  if (entryCount <= 0) {
    return closeArchive(archive, TransferResult::Done);
  }
  if (archiveDirectoryEnd(entryCount) > archiveSize) {
    return closeArchive(archive, TransferResult::SourceMissing);
  }

  for (int32_t i = 0; i < entryCount; i++) {
    if (setupState.cancelRequested) {
      return closeArchive(archive, TransferResult::Cancelled);
    }
    unsigned char raw[ARCHIVE_ENTRY_SIZE];
    uint32_t entryPosition = ARCHIVE_COUNT_SIZE + static_cast<uint32_t>(i) * ARCHIVE_ENTRY_SIZE;
    if (!moveTo(archive, entryPosition) || !readExactly(archive, raw, sizeof raw)) {
      return closeArchive(archive, TransferResult::SourceMissing);
    }
    ArchiveEntry entry;
    parseArchiveEntry(raw, &entry);

    // A bad entry is refused before anything is created for it; the failing
    // path shows what the entry asked for, as far as it fits.
    char name[ARCHIVE_NAME_FIELD_SIZE];
    entryNameText(&entry, name);
    char destinationPath[SETUP_PATH_SIZE];
    int pathFits = textJoin(destinationPath, sizeof destinationPath, targetDir, name);
    if (checkArchiveEntry(&entry, archiveSize) != EntryProblem::None || !pathFits) {
      return refuseMember(archive, destinationPath);
    }

    ExtractionFiles files;
    files.archive = archive;
    files.destination = createForWriting(destinationPath);
    if (files.destination == INVALID_HANDLE_VALUE) {
      return refuseMember(archive, destinationPath);
    }
    if (!moveTo(archive, entry.dataOffset)) {
      CloseHandle(files.destination);
      return closeArchive(archive, TransferResult::SourceMissing);
    }
    void *workArea = HeapAlloc(GetProcessHeap(), 0, DCL_WORK_AREA_SIZE);
    if (workArea == NULL) {
      CloseHandle(files.destination);
      return closeArchive(archive, TransferResult::Fatal);
    }

    ArchiveMember member;
    startArchiveMember(&member, &entry, readArchiveBytes, writeDestinationBytes, &files);
    DclResult decoded = decodeArchiveMember(&member, workArea);

    HeapFree(GetProcessHeap(), 0, workArea);
    FILETIME lastWrite = fileTimeFromValue(entry.lastWriteTime);
    int stamped = SetFileTime(files.destination, NULL, NULL, &lastWrite) ? 1 : 0;
    CloseHandle(files.destination);
    // The decoder does not hear of failed writes; they were remembered.
    if (decoded != DclResult::Ok || member.writeFailed || !stamped) {
      return refuseMember(archive, destinationPath);
    }
  }
  return closeArchive(archive, TransferResult::Done);
}
