// The archive container code shared by the installer and zarc: member
// names, and member decoding through the two hooks, with archives held in
// memory (the entry count and the entry checks are the extraction's tables).
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive_format.h"
#include "engine_fixture.h"
#include "implode.h"

namespace {

// The one-literal stream that decodes to "A".
const Bytes kStreamA = {0x00, 0x06, 0x82, 0x02, 0xFE, 0x01};
// Literals a, b, c and a copy of length 6 at distance 3: "abcabcabc".
const Bytes kStreamAbc = {0x00, 0x04, 0xC2, 0x88, 0x19, 0xAB, 0x4B, 0xC0, 0x3F};

void putLe32(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

Bytes rawEntry(const char *name, size_t nameBytes, uint64_t time, uint32_t offset, uint32_t end) {
  Bytes raw(ARCHIVE_ENTRY_SIZE, 0);
  memcpy(raw.data(), name, nameBytes);
  putLe32(raw, 13, static_cast<uint32_t>(time));
  putLe32(raw, 17, static_cast<uint32_t>(time >> 32));
  putLe32(raw, 21, offset);
  putLe32(raw, 25, end);
  return raw;
}

ArchiveEntry entryOf(const Bytes &raw) {
  ArchiveEntry e;
  parseArchiveEntry(raw.data(), &e);
  return e;
}

// Memory hooks: the archive is a byte vector; reads continue where the last
// ended (like a file position); writes append.
struct MemoryIo {
  const Bytes *archive = nullptr;
  size_t position = 0;
  Bytes output;
  std::vector<uint32_t> readCounts;  // what each read hook call was asked for
  int failWriteAt = 0;               // the nth write hook call fails (0: none)
  int writes = 0;
  uint32_t shortReadAt = 0;          // a read starting here delivers one byte less
};

uint32_t memoryRead(void *context, unsigned char *buffer, uint32_t count) {
  MemoryIo *io = static_cast<MemoryIo *>(context);
  io->readCounts.push_back(count);
  uint32_t n = count;
  if (io->shortReadAt && io->position == io->shortReadAt && n > 0) n--;
  if (io->position + n > io->archive->size()) n = static_cast<uint32_t>(io->archive->size() - io->position);
  memcpy(buffer, io->archive->data() + io->position, n);
  io->position += n;
  return n;
}

int memoryWrite(void *context, const unsigned char *buffer, uint32_t count) {
  MemoryIo *io = static_cast<MemoryIo *>(context);
  io->writes++;
  if (io->failWriteAt == io->writes) return 0;
  io->output.insert(io->output.end(), buffer, buffer + count);
  return 1;
}

struct Decoded {
  DclResult result;
  ArchiveMember member;
};

Decoded decodeEntry(const Bytes &archive, const ArchiveEntry &entry, MemoryIo &io) {
  io.archive = &archive;
  io.position = entry.dataOffset;
  Decoded d;
  startArchiveMember(&d.member, &entry, memoryRead, memoryWrite, &io);
  unsigned char workArea[DCL_WORK_AREA_SIZE];
  d.result = decodeArchiveMember(&d.member, workArea);
  return d;
}

struct NameCase {
  const char *name;
  int plain;
};

TEST(ArchiveFormat, PlainMemberNames) {
  const NameCase cases[] = {
      {"a.txt", 1},        {"QUORVEL.EXE", 1}, {"notep001.ico", 1}, {"x", 1},          {"con1.txt", 1},
      {"com10", 1},        {"nul_.txt", 1},    {"a..b", 1},         {".hidden", 1},      {"lpt", 1},
      {"", 0},             {".", 0},           {"..", 0},           {"...", 0},          {"a.", 0},
      {"a ", 0},           {"..\\evil", 0},    {"a\\b", 0},         {"a/b", 0},          {"/abs", 0},
      {"c:x", 0},          {"a:b", 0},         {"a*b", 0},          {"a?b", 0},          {"a|b", 0},
      {"a<b", 0},          {"a>b", 0},         {"a\"b", 0},         {"tab\there", 0},    {"CON", 0},
      {"con", 0},          {"nul.txt", 0},     {"NUL.TXT", 0},      {"aux.z", 0},        {"prn", 0},
      {"COM1", 0},         {"com9.dat", 0},    {"LPT1", 0},         {"lpt3.x", 0},       {"clock$", 0},
      {"nul .txt", 0},     {"thirteen.char", 0},
  };
  for (const NameCase &c : cases) {
    EXPECT_EQ(isPlainMemberName(c.name), c.plain) << "'" << c.name << "'";
  }
}

// A stream cut short by its dataEnd: the decoder sees the end there, even
// though more bytes follow in the archive.
TEST(ArchiveFormat, DataEndCutsTheStream) {
  Bytes archive = kStreamAbc;
  archive.insert(archive.end(), kStreamA.begin(), kStreamA.end());
  ArchiveEntry e = entryOf(rawEntry("cut", 3, 0, 0, static_cast<uint32_t>(kStreamAbc.size() - 2)));
  MemoryIo io;
  Decoded d = decodeEntry(archive, e, io);
  EXPECT_EQ(d.result, DclResult::UnexpectedEnd);
  EXPECT_EQ(io.position, kStreamAbc.size() - 2);
}

// Long members are read in blocks of 2048 and a last shorter block.
TEST(ArchiveFormat, ReadsAreBoundedByTheBlockAndTheBytesLeft) {
  Bytes data = patternBytes(5000, 1);
  Bytes stream = implodeBuffer(ImplodeMode::Binary, 6, data.data(), data.size());
  ArchiveEntry e = entryOf(rawEntry("x", 1, 0, 0, static_cast<uint32_t>(stream.size())));
  MemoryIo io;
  Decoded d = decodeEntry(stream, e, io);
  ASSERT_EQ(d.result, DclResult::Ok);
  EXPECT_EQ(io.output, data);
  uint32_t total = 0;
  for (size_t i = 0; i < io.readCounts.size(); i++) {
    EXPECT_LE(io.readCounts[i], 2048u);
    if (i + 1 < io.readCounts.size()) {
      EXPECT_EQ(io.readCounts[i], 2048u);
    }
    total += io.readCounts[i];
  }
  EXPECT_EQ(total, stream.size());
  EXPECT_EQ(d.member.bytesRead, stream.size());
}

TEST(ArchiveFormat, FailedWriteIsRememberedAndLaterOutputDropped) {
  // 9000 bytes of output arrive as writes of 4096, 4096 and 808; fail the first.
  Bytes data(9000);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<unsigned char>(i);
  Bytes stream = implodeBuffer(ImplodeMode::Binary, 6, data.data(), data.size());
  ArchiveEntry e = entryOf(rawEntry("w", 1, 0, 0, static_cast<uint32_t>(stream.size())));

  MemoryIo io;
  io.failWriteAt = 1;
  Decoded d = decodeEntry(stream, e, io);
  EXPECT_EQ(d.result, DclResult::Ok);  // the decoder never hears of it
  EXPECT_EQ(d.member.writeFailed, 1);
  EXPECT_EQ(io.writes, 1);            // nothing after the gap reached the file
  EXPECT_TRUE(io.output.empty());
}

TEST(ArchiveFormat, ShortReadIsNotedAndTheRestFollows) {
  // The member starts at 1; the read starting there delivers one byte less.
  Bytes archive(1, 0xAA);
  archive.insert(archive.end(), kStreamAbc.begin(), kStreamAbc.end());
  ArchiveEntry e = entryOf(rawEntry("s", 1, 0, 1, static_cast<uint32_t>(archive.size())));
  MemoryIo io;
  io.shortReadAt = 1;
  Decoded d = decodeEntry(archive, e, io);
  // The next read continues where the short one ended: no byte is lost.
  EXPECT_EQ(d.member.readFailed, 1);
  EXPECT_EQ(io.readCounts, (std::vector<uint32_t>{9, 1}));
  EXPECT_EQ(d.result, DclResult::Ok);
  EXPECT_EQ(std::string(io.output.begin(), io.output.end()), "abcabcabc");
}

}  // namespace
