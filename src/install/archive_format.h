// The package archive (.z) container, shared by the installer's extraction
// and the host tool zarc: parsing the count and the 29-byte entries,
// checking an entry before anything is written for it, and decoding one
// member's compressed bytes through two small hooks. No Win32 calls and no
// allocation here; the callers bring their own file access.
//
// Layout, all integers little-endian, nothing between fields:
//   0           4   entryCount (signed; 0 or less: no members)
//   4 + 29 * i  29  entry i: memberName[13] (zero-ended), lastWriteTime (FILETIME,
//                   8 bytes), dataOffset (4), dataEnd (4)
//   anywhere        member data, one implode stream per member, from dataOffset
//                   up to dataEnd
#ifndef QV_ARCHIVE_FORMAT_H
#define QV_ARCHIVE_FORMAT_H

#include <stdint.h>

#include "dcl_decode.h"

#define ARCHIVE_COUNT_SIZE 4
#define ARCHIVE_ENTRY_SIZE 29
#define ARCHIVE_NAME_FIELD_SIZE 13
#define ARCHIVE_READ_BLOCK 2048  // what the decoder asks for on every read

struct ArchiveEntry {
  char memberName[ARCHIVE_NAME_FIELD_SIZE];  // as stored; not necessarily zero-ended
  uint64_t lastWriteTime;                    // 100 ns units since 1601-01-01 UTC
  uint32_t dataOffset;                       // first compressed byte
  uint32_t dataEnd;                          // one past the last compressed byte
};

// What is wrong with an entry, in the order the checks are made.
enum class EntryProblem : int {
  None = 0,
  NameEmpty,         // the name field begins with its zero byte
  NameUnterminated,  // no zero byte among the 13 name bytes
  NameNotPlain,      // a directory part, a drive, a character no file name may hold,
                     // or a name the file system would change (trailing dot or space)
  NameDevice,        // CON, NUL, AUX, PRN, COM1-9, LPT1-9, CLOCK$ (also with an extension)
  DataBackwards,     // dataEnd before dataOffset
  DataOutsideFile,   // the data range runs past the end of the archive
};

int32_t parseEntryCount(const unsigned char raw[ARCHIVE_COUNT_SIZE]);
void parseArchiveEntry(const unsigned char raw[ARCHIVE_ENTRY_SIZE], ArchiveEntry *entry);
void formatArchiveEntry(const ArchiveEntry *entry, unsigned char raw[ARCHIVE_ENTRY_SIZE]);

// Bytes an archive of entryCount members needs before any member data
// (count and directory); 4 for a count of 0 or less.
uint64_t archiveDirectoryEnd(int32_t entryCount);

// 1 when name (zero-ended) is a plain file name that names a file directly
// inside the target directory, else 0.
int isPlainMemberName(const char *name);

EntryProblem checkArchiveEntry(const ArchiveEntry *entry, uint64_t archiveSize);
const char *entryProblemText(EntryProblem problem);

// The name of an entry as text: the stored name up to its zero byte, at most
// 12 characters, written into name[13] (always zero-ended).
void entryNameText(const ArchiveEntry *entry, char name[ARCHIVE_NAME_FIELD_SIZE]);

// Hooks through which a member's bytes move.
// Read: place count bytes (count <= 2048) of the archive, continuing from
// where the last read ended, in buffer; return how many were placed, 0 on
// failure.
typedef uint32_t (*ArchiveReadHook)(void *context, unsigned char *buffer, uint32_t count);
// Write: take count decoded bytes; return 1 when they were all written, 0 if not.
typedef int (*ArchiveWriteHook)(void *context, const unsigned char *buffer, uint32_t count);

// One member being decoded.
struct ArchiveMember {
  uint32_t position;           // archive position of the next byte to read
  uint32_t dataEnd;            // the member's dataEnd
  ArchiveReadHook readHook;
  ArchiveWriteHook writeHook;
  void *hookContext;
  uint32_t bytesRead;          // compressed bytes delivered to the decoder
  uint64_t bytesWritten;       // decoded bytes handed to the write hook
  int readFailed;              // a read delivered fewer bytes than asked
  int writeFailed;             // a write hook returned 0; later output is dropped
};

// Prepares member for decoding the data of entry (position = dataOffset).
void startArchiveMember(ArchiveMember *member, const ArchiveEntry *entry, ArchiveReadHook readHook,
                        ArchiveWriteHook writeHook, void *hookContext);

// Decoder callbacks over an ArchiveMember (the decoder's userParam).
// readMemberData never reads past dataEnd: it asks the read hook for the
// smaller of the decoder's 2048 and the bytes left, and returns 0 once the
// member's data is used up. writeMemberData hands the decoded bytes to the
// write hook and remembers a failure, since the decoder ignores its result.
uint32_t readMemberData(unsigned char *buffer, uint32_t *count, void *userParam);
uint32_t writeMemberData(unsigned char *buffer, uint32_t *count, void *userParam);

// Runs dclDecode over the member with readMemberData and writeMemberData.
// workArea holds at least DCL_WORK_AREA_SIZE bytes.
DclResult decodeArchiveMember(ArchiveMember *member, void *workArea);

#endif
