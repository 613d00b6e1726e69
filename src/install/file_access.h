// Opening package files the way the transfers do: OpenFile for reading, or
// creating (truncating) for writing, as a handle for ReadFile and WriteFile.
#ifndef QV_FILE_ACCESS_H
#define QV_FILE_ACCESS_H

#include <windows.h>

#include <stdint.h>

// INVALID_HANDLE_VALUE when the file cannot be opened.
HANDLE openForReading(const char *path);
// Creates the file, or truncates an existing one. INVALID_HANDLE_VALUE on failure.
HANDLE createForWriting(const char *path);

// The file's size (found by moving its position to the end, then back to
// the start). 1 on success, 0 when the position cannot be moved.
int measureFile(HANDLE file, uint32_t *size);

// Reads exactly count bytes; 1 when all arrived, 0 on a failure or a short read.
int readExactly(HANDLE file, void *buffer, uint32_t count);
// Writes exactly count bytes; 1 when all were written, 0 otherwise.
int writeExactly(HANDLE file, const void *buffer, uint32_t count);

// FILETIME as the archive stores it: one 64-bit count of 100 ns units.
FILETIME fileTimeFromValue(uint64_t value);

#endif
