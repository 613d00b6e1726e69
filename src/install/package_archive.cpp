#include "package_archive.h"

#include <windows.h>

#include <string.h>

#include "archive_format.h"
#include "bounded_text.h"
#include "file_access.h"
#include "progress_meter.h"
#include "setup_state.h"

// The decoder asks for 2048 bytes and hands over 4096 at a time; a system
// call per block costs more than decoding the block where calls are dear,
// so the member's bytes move through two fixed buffers instead: compressed
// bytes are read ahead (never past the member's dataEnd) and decoded bytes
// gathered before they are written. Only one extraction runs at a time.
#define READ_AHEAD_SIZE 32768
#define WRITE_GATHER_SIZE 262144

static unsigned char readAhead[READ_AHEAD_SIZE];
static unsigned char writeGather[WRITE_GATHER_SIZE];

// The files of the member being extracted and the two buffers' fill,
// reached by the two hooks.
struct ExtractionFiles {
  HANDLE archive;
  HANDLE destination;
  uint32_t memberLeft;  // compressed bytes of the member not yet read from the archive
  uint32_t aheadStart;  // first unserved byte in readAhead
  uint32_t aheadEnd;    // bytes held in readAhead
  uint32_t gathered;    // bytes held in writeGather
  int writeFailed;
};

static void startExtractionFiles(ExtractionFiles *files, const ArchiveEntry *entry) {
  files->memberLeft = entry->dataEnd - entry->dataOffset;
  files->aheadStart = 0;
  files->aheadEnd = 0;
  files->gathered = 0;
  files->writeFailed = 0;
}

// Counts the block as progress before reading it, as the bar counts
// compressed bytes handed to the decoder; returns the bytes placed, 0 when
// the archive cannot be read.
static uint32_t readArchiveBytes(void *context, unsigned char *buffer, uint32_t count) {
  ExtractionFiles *files = static_cast<ExtractionFiles *>(context);
  advanceProgress(count);
  uint32_t placed = 0;
  while (placed < count) {
    if (files->aheadStart == files->aheadEnd) {
      uint32_t want = files->memberLeft < READ_AHEAD_SIZE ? files->memberLeft : READ_AHEAD_SIZE;
      DWORD got = 0;
      if (want == 0 || !ReadFile(files->archive, readAhead, want, &got, NULL) || got == 0) {
        break;
      }
      files->memberLeft -= got;
      files->aheadStart = 0;
      files->aheadEnd = got;
    }
    uint32_t n = files->aheadEnd - files->aheadStart;
    if (n > count - placed) {
      n = count - placed;
    }
    memcpy(buffer + placed, readAhead + files->aheadStart, n);
    files->aheadStart += n;
    placed += n;
  }
  return placed;
}

static int flushGathered(ExtractionFiles *files) {
  if (files->gathered > 0 && !files->writeFailed &&
      !writeExactly(files->destination, writeGather, files->gathered)) {
    files->writeFailed = 1;
  }
  files->gathered = 0;
  return files->writeFailed ? 0 : 1;
}

static int writeDestinationBytes(void *context, const unsigned char *buffer, uint32_t count) {
  ExtractionFiles *files = static_cast<ExtractionFiles *>(context);
  while (count > 0) {
    if (files->gathered == WRITE_GATHER_SIZE && !flushGathered(files)) {
      return 0;
    }
    uint32_t n = WRITE_GATHER_SIZE - files->gathered;
    if (n > count) {
      n = count;
    }
    memcpy(writeGather + files->gathered, buffer, n);
    files->gathered += n;
    buffer += n;
    count -= n;
  }
  return files->writeFailed ? 0 : 1;
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
    startExtractionFiles(&files, &entry);
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
    // What the decoder handed over is written out, whether or not it succeeded.
    int written = flushGathered(&files);
    // A time the file system cannot keep (a floppy's FAT holds none before
    // 1980) is no failure; a write that fails late is, and the close
    // reports it.
    FILETIME lastWrite = fileTimeFromValue(entry.lastWriteTime);
    SetFileTime(files.destination, NULL, NULL, &lastWrite);
    int closed = CloseHandle(files.destination) ? 1 : 0;
    // The decoder does not hear of failed writes; they were remembered.
    if (decoded != DclResult::Ok || member.writeFailed || !written || !closed) {
      return refuseMember(archive, destinationPath);
    }
  }
  return closeArchive(archive, TransferResult::Done);
}
