#include "file_copy.h"

#include <windows.h>

#include "bounded_text.h"
#include "file_access.h"
#include "progress_meter.h"
#include "setup_state.h"

// Both files are closed and the buffer (if any) released on every exit.
static TransferResult finishCopy(HANDLE source, HANDLE destination, void *buffer, TransferResult result) {
  if (buffer != NULL) {
    HeapFree(GetProcessHeap(), 0, buffer);
  }
  CloseHandle(destination);
  CloseHandle(source);
  return result;
}

static TransferResult refuseDestination(const char *destinationPath) {
  textCopy(setupState.failingPath, sizeof setupState.failingPath, destinationPath);
  return TransferResult::CannotWrite;
}

TransferResult copyPackageFile(const char *name, const char *sourceDir, const char *targetDir) {
  char sourcePath[SETUP_PATH_SIZE];
  char destinationPath[SETUP_PATH_SIZE];
  // A path that does not fit is refused, never cut short and used: the
  // failing path then shows as much of it as fits.
  if (!textJoin(sourcePath, sizeof sourcePath, sourceDir, name)) {
    textCopy(setupState.failingPath, sizeof setupState.failingPath, sourcePath);
    return TransferResult::SourceMissing;
  }
  if (!textJoin(destinationPath, sizeof destinationPath, targetDir, name)) {
    return refuseDestination(destinationPath);
  }

  HANDLE source = openForReading(sourcePath);
  if (source == INVALID_HANDLE_VALUE) {
    textCopy(setupState.failingPath, sizeof setupState.failingPath, sourcePath);
    return TransferResult::SourceMissing;
  }
  HANDLE destination = createForWriting(destinationPath);
  if (destination == INVALID_HANDLE_VALUE) {
    CloseHandle(source);
    return refuseDestination(destinationPath);
  }

  FILETIME lastWrite;
  uint32_t size = 0;
  if (!GetFileTime(source, NULL, NULL, &lastWrite) || !measureFile(source, &size)) {
    return finishCopy(source, destination, NULL, TransferResult::SourceMissing);
  }

  void *buffer = HeapAlloc(GetProcessHeap(), 0, COPY_BUFFER_SIZE);
  if (buffer == NULL) {
    return finishCopy(source, destination, NULL, TransferResult::Fatal);
  }

  // One pass at least: an empty file is still created and stamped.
  uint32_t offset = 0;
  for (;;) {
    if (setupState.cancelRequested) {
      return finishCopy(source, destination, buffer, TransferResult::Cancelled);
    }
    uint32_t left = size - offset;
    uint32_t chunk = left >= COPY_CHUNK_SIZE ? COPY_CHUNK_SIZE : left;
    // A read that fails, or that delivers less than the chunk (the source
    // shrank), is a missing source; nothing of that chunk is written.
    if (!readExactly(source, buffer, chunk)) {
      return finishCopy(source, destination, buffer, TransferResult::SourceMissing);
    }
    if (!writeExactly(destination, buffer, chunk)) {
      refuseDestination(destinationPath);
      return finishCopy(source, destination, buffer, TransferResult::CannotWrite);
    }
    advanceProgress(chunk);
    if (left <= COPY_CHUNK_SIZE) {
      break;
    }
    offset += COPY_CHUNK_SIZE;
  }

  // A time the destination's file system cannot keep (a floppy's FAT holds
  // none before 1980) is no failure of the copy. A write that fails late
  // is: the close reports it.
  SetFileTime(destination, NULL, NULL, &lastWrite);
  HeapFree(GetProcessHeap(), 0, buffer);
  CloseHandle(source);
  if (!CloseHandle(destination)) {
    return refuseDestination(destinationPath);
  }
  return TransferResult::Done;
}
