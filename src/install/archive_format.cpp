#include "archive_format.h"

#include <string.h>

static uint32_t readLe32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

static void writeLe32(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

int32_t parseEntryCount(const unsigned char raw[ARCHIVE_COUNT_SIZE]) {
  return static_cast<int32_t>(readLe32(raw));
}

void parseArchiveEntry(const unsigned char raw[ARCHIVE_ENTRY_SIZE], ArchiveEntry *entry) {
  memcpy(entry->memberName, raw, ARCHIVE_NAME_FIELD_SIZE);
  entry->lastWriteTime = static_cast<uint64_t>(readLe32(raw + 13)) |
                         (static_cast<uint64_t>(readLe32(raw + 17)) << 32);
  entry->dataOffset = readLe32(raw + 21);
  entry->dataEnd = readLe32(raw + 25);
}

void formatArchiveEntry(const ArchiveEntry *entry, unsigned char raw[ARCHIVE_ENTRY_SIZE]) {
  memcpy(raw, entry->memberName, ARCHIVE_NAME_FIELD_SIZE);
  writeLe32(raw + 13, static_cast<uint32_t>(entry->lastWriteTime));
  writeLe32(raw + 17, static_cast<uint32_t>(entry->lastWriteTime >> 32));
  writeLe32(raw + 21, entry->dataOffset);
  writeLe32(raw + 25, entry->dataEnd);
}

uint64_t archiveDirectoryEnd(int32_t entryCount) {
  uint64_t members = entryCount > 0 ? static_cast<uint64_t>(entryCount) : 0;
  return ARCHIVE_COUNT_SIZE + members * ARCHIVE_ENTRY_SIZE;
}

static char upperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether the base name (the part before the first dot) is a device name.
static int isDeviceName(const char *name) {
  static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CLOCK$"};
  char base[ARCHIVE_NAME_FIELD_SIZE];
  size_t n = 0;
  while (name[n] != '\0' && name[n] != '.' && n + 1 < sizeof base) {
    base[n] = upperAscii(name[n]);
    n++;
  }
  while (n > 0 && base[n - 1] == ' ') {  // "nul .txt" names the device too
    n--;
  }
  base[n] = '\0';
  for (const char *device : devices) {
    if (strcmp(base, device) == 0) {
      return 1;
    }
  }
  if (n == 4 && (memcmp(base, "COM", 3) == 0 || memcmp(base, "LPT", 3) == 0) && base[3] >= '0' &&
      base[3] <= '9') {
    return 1;
  }
  return 0;
}

int isPlainMemberName(const char *name) {
  size_t length = strlen(name);
  if (length == 0 || length >= ARCHIVE_NAME_FIELD_SIZE) {
    return 0;
  }
  for (size_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || strchr("\\/:<>\"|?*", c) != nullptr) {
      return 0;
    }
  }
  // Windows drops trailing dots and spaces ("." and ".." among them), so
  // such a name would not be the file it says.
  if (name[length - 1] == '.' || name[length - 1] == ' ') {
    return 0;
  }
  return isDeviceName(name) ? 0 : 1;
}

EntryProblem checkArchiveEntry(const ArchiveEntry *entry, uint64_t archiveSize) {
  const char *field = entry->memberName;
  if (field[0] == '\0') {
    return EntryProblem::NameEmpty;
  }
  if (memchr(field, '\0', ARCHIVE_NAME_FIELD_SIZE) == nullptr) {
    return EntryProblem::NameUnterminated;
  }
  if (!isPlainMemberName(field)) {
    return isDeviceName(field) ? EntryProblem::NameDevice : EntryProblem::NameNotPlain;
  }
  if (entry->dataEnd < entry->dataOffset) {
    return EntryProblem::DataBackwards;
  }
  if (entry->dataEnd > archiveSize) {
    return EntryProblem::DataOutsideFile;
  }
  return EntryProblem::None;
}

const char *entryProblemText(EntryProblem problem) {
  switch (problem) {
    case EntryProblem::None:
      return "no problem";
    case EntryProblem::NameEmpty:
      return "the member name is empty";
    case EntryProblem::NameUnterminated:
      return "the member name has no zero byte within its 13 bytes";
    case EntryProblem::NameNotPlain:
      return "the member name is not a plain file name";
    case EntryProblem::NameDevice:
      return "the member name is a device name";
    case EntryProblem::DataBackwards:
      return "the member's data ends before it begins";
    case EntryProblem::DataOutsideFile:
      return "the member's data lies outside the archive";
  }
  return "unknown problem";
}

void entryNameText(const ArchiveEntry *entry, char name[ARCHIVE_NAME_FIELD_SIZE]) {
  size_t n = 0;
  while (n < ARCHIVE_NAME_FIELD_SIZE - 1 && entry->memberName[n] != '\0') {
    name[n] = entry->memberName[n];
    n++;
  }
  name[n] = '\0';
}

void startArchiveMember(ArchiveMember *member, const ArchiveEntry *entry, ArchiveReadHook readHook,
                        ArchiveWriteHook writeHook, void *hookContext) {
  member->position = entry->dataOffset;
  member->dataEnd = entry->dataEnd;
  member->readHook = readHook;
  member->writeHook = writeHook;
  member->hookContext = hookContext;
  member->bytesRead = 0;
  member->bytesWritten = 0;
  member->readFailed = 0;
  member->writeFailed = 0;
}

uint32_t readMemberData(unsigned char *buffer, uint32_t *count, void *userParam) {
  ArchiveMember *member = static_cast<ArchiveMember *>(userParam);
  if (member->position >= member->dataEnd) {
    return 0;  // the member's data is used up
  }
  uint32_t left = member->dataEnd - member->position;
  uint32_t want = *count < left ? *count : left;
  if (want > ARCHIVE_READ_BLOCK) {
    want = ARCHIVE_READ_BLOCK;
  }
  uint32_t got = member->readHook(member->hookContext, buffer, want);
  if (got > want) {
    got = 0;  // a hook that claims more than it was asked for has failed
  }
  if (got < want) {
    member->readFailed = 1;
  }
  member->position += got;
  member->bytesRead += got;
  return got;
}

uint32_t writeMemberData(unsigned char *buffer, uint32_t *count, void *userParam) {
  ArchiveMember *member = static_cast<ArchiveMember *>(userParam);
  if (member->writeFailed) {
    return 0;  // the destination already failed: nothing after the gap is written
  }
  if (*count > 0 && !member->writeHook(member->hookContext, buffer, *count)) {
    member->writeFailed = 1;
    return 0;
  }
  member->bytesWritten += *count;
  return *count;
}

DclResult decodeArchiveMember(ArchiveMember *member, void *workArea) {
  return dclDecode(readMemberData, writeMemberData, workArea, member);
}
