// Plain copy and archive extraction, the archive container, the progress
// rule and the retry prompt's races (the prompts' texts and answers are the
// scenarios' to check).
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>

#include "archive_format.h"
#include "engine_fixture.h"
#include "file_copy.h"
#include "implode.h"
#include "package_archive.h"
#include "transfer_prompts.h"
#include "zarc_archive.h"

namespace {

const uint64_t kTime = 0x01C0A1B2C3D4E5F0ULL;   // some FILETIME in 2000, 100 ns precision

using TransferTest = EngineTest;

struct ChunkCase {
  size_t size;
  long reads;  // ReadFile calls: one per chunk, one for an empty file
  int posts;   // progress messages at 15,000 bytes per percent
};

// Chunks of 32,000 bytes, the source's time, the progress; each copy goes
// over the longer file the row before left, which it replaces.
TEST_F(TransferTest, ChunksTimestampsAndProgress) {
  useDefaultDirs();
  const ChunkCase cases[] = {{100000, 4, 3}, {64001, 3, 2}, {64000, 2, 2}, {32001, 2, 1},
                             {32000, 1, 1},  {1, 1, 1},     {0, 1, 1}};
  for (const ChunkCase &c : cases) {
    SCOPED_TRACE(c.size);
    Bytes payload = patternBytes(c.size, static_cast<uint32_t>(c.size));
    writeWin("c:\\src\\nsystem.z", payload);
    setHostMtime(host("c:\\src\\nsystem.z"), kTime);
    setupProgress(1500000);
    long readsBefore = w32::callCount(w32::Fault::Read), writesBefore = w32::callCount(w32::Fault::Write);
    ASSERT_EQ(copyPackageFile("nsystem.z", setupState.sourceDir, setupState.targetDir), TransferResult::Done);
    EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\nsystem.z"), payload);
    EXPECT_EQ(hostMtime(host("c:\\dunmere\\quorvel\\nsystem.z")), kTime);
    EXPECT_EQ(w32::callCount(w32::Fault::Read) - readsBefore, c.reads);
    EXPECT_EQ(w32::callCount(w32::Fault::Write) - writesBefore, c.reads);
    EXPECT_EQ(progressMeter.bytesDone.load(), c.size);
    // The first chunk posts at once; each later one posts if it reaches
    // the next percentage (a last chunk of 1 byte does not).
    EXPECT_EQ(takeProgressPosts(), c.posts);
  }
}

// A source that yields fewer bytes than its size promises (a sysfs file:
// stat says 4096, a read delivers a few dozen) is a missing source, and
// none of the bytes of that short chunk are written.
TEST_F(TransferTest, ShortReadIsSourceMissingAndWritesNothing) {
  const char *dir = "/sys/kernel/mm/transparent_hugepage";
  struct stat info;
  if (stat((std::string(dir) + "/enabled").c_str(), &info) != 0 || info.st_size != 4096) {
    GTEST_SKIP() << "no sysfs file with a promised size on this machine";
  }
  useDefaultDirs();
  w32::mapDrive('s', dir);
  strcpy(setupState.failingPath, "unchanged");
  EXPECT_EQ(copyPackageFile("enabled", "s:\\", setupState.targetDir), TransferResult::SourceMissing);
  EXPECT_STREQ(setupState.failingPath, "unchanged");
  EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\enabled").size(), 0u);
  EXPECT_EQ(progressMeter.bytesDone.load(), 0u);
}

const Bytes kStreamA = {0x00, 0x06, 0x82, 0x02, 0xFE, 0x01};
const Bytes kStreamAbc = {0x00, 0x04, 0xC2, 0x88, 0x19, 0xAB, 0x4B, 0xC0, 0x3F};

struct Member {
  std::string name;       // up to 13 bytes, written as given
  uint64_t time;
  Bytes data;             // placed after the directory, back to back
  int64_t offset = -1;    // override dataOffset (-1: where the data lies)
  int64_t end = -1;       // override dataEnd
};

Bytes buildArchive(const std::vector<Member> &members, int32_t count = -999) {
  int32_t n = count == -999 ? static_cast<int32_t>(members.size()) : count;
  Bytes out(4, 0);
  for (int i = 0; i < 4; i++) out[i] = static_cast<unsigned char>(static_cast<uint32_t>(n) >> (8 * i));
  uint32_t position = 4 + 29 * static_cast<uint32_t>(members.size());
  Bytes data;
  for (const Member &m : members) {
    ArchiveEntry e = {};
    memcpy(e.memberName, m.name.data(), std::min<size_t>(m.name.size(), 13));
    e.lastWriteTime = m.time;
    e.dataOffset = m.offset >= 0 ? static_cast<uint32_t>(m.offset) : position;
    e.dataEnd = m.end >= 0 ? static_cast<uint32_t>(m.end) : position + static_cast<uint32_t>(m.data.size());
    unsigned char raw[ARCHIVE_ENTRY_SIZE];
    formatArchiveEntry(&e, raw);
    out.insert(out.end(), raw, raw + sizeof raw);
    data.insert(data.end(), m.data.begin(), m.data.end());
    position += static_cast<uint32_t>(m.data.size());
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// The smallest archive, extracted twice: the compressed bytes count again.
// Then onto a floppy, whose FAT keeps no time before 1980: the copy and the
// extraction still succeed, the file whole (SetFileTime failing there is no
// failure of the transfer).
TEST_F(TransferTest, TheThirtyNineByteArchive) {
  useDefaultDirs();
  Bytes archive = buildArchive({{"a.txt", kTime, kStreamA}});
  ASSERT_EQ(archive.size(), 39u);
  writeWin("c:\\src\\quorvel.z", archive);
  for (uint32_t progress : {6u, 12u}) {
    EXPECT_EQ(extractPackageArchive("quorvel.z", setupState.sourceDir, setupState.targetDir), TransferResult::Done);
    EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\a.txt"), Bytes{'A'});
    EXPECT_EQ(hostMtime(host("c:\\dunmere\\quorvel\\a.txt")), kTime);
    EXPECT_EQ(progressMeter.bytesDone.load(), progress);
    EXPECT_EQ(listDir(host("c:\\dunmere\\quorvel")), std::vector<std::string>{"a.txt"});
  }
  const uint64_t k1975 = 0x01A3C3675FEA4000ULL;  // 1975-06-01
  std::string floppy = prefix + "/floppy";
  ASSERT_EQ(mkdir(floppy.c_str(), 0755), 0);
  w32::mapDrive('a', floppy);
  writeWin("c:\\src\\readme.txt", Bytes{'r'});
  setHostMtime(host("c:\\src\\readme.txt"), k1975);
  writeWin("c:\\src\\quorvel.z", buildArchive({{"a.txt", k1975, kStreamA}}));
  EXPECT_EQ(copyPackageFile("readme.txt", setupState.sourceDir, "a:\\"), TransferResult::Done);
  EXPECT_EQ(extractPackageArchive("quorvel.z", setupState.sourceDir, "a:\\"), TransferResult::Done);
  EXPECT_EQ(readHostFile(floppy + "/readme.txt"), Bytes{'r'});
  EXPECT_EQ(readHostFile(floppy + "/a.txt"), Bytes{'A'});
  EXPECT_STREQ(setupState.failingPath, "");
}

// Entries that must not be written, from both readers of the format. The
// container's check names the problem (None: the entry is sound, its data
// is not). The installer refuses the member before creating anything for
// it, failingPath naming its destination (the name as far as its 12
// characters go); a member the decoder rejects is left empty, with the
// entry's time. zarc names the problem and extracts the other member.
struct BadEntry {
  const char *what;
  Member member;
  EntryProblem problem;
};

TEST_F(TransferTest, BadEntriesWriteNothing) {
  const BadEntry cases[] = {
      {"empty name", {"", kTime, kStreamA}, EntryProblem::NameEmpty},
      {"empty name, bytes after the zero", {std::string("\0abc", 4), kTime, kStreamA}, EntryProblem::NameEmpty},
      {"no zero byte", {"abcdefghijklm", kTime, kStreamA}, EntryProblem::NameUnterminated},
      {"parent directory", {"..\\evil.txt", kTime, kStreamA}, EntryProblem::NameNotPlain},
      {"device", {"CON", kTime, kStreamA}, EntryProblem::NameDevice},
      {"backwards", {"b.txt", kTime, kStreamA, 100, 90}, EntryProblem::DataBackwards},
      {"end past the file", {"b.txt", kTime, kStreamA, -1, 100000}, EntryProblem::DataOutsideFile},
      {"huge end", {"b.txt", kTime, kStreamA, -1, 0xFFFFFFFF}, EntryProblem::DataOutsideFile},
      {"damaged stream", {"b.txt", kTime, {0x00, 0x09, 1, 2, 3, 4}}, EntryProblem::None},
      {"empty data range", {"b.txt", kTime, {}}, EntryProblem::None},
  };
  for (const BadEntry &c : cases) {
    SCOPED_TRACE(c.what);
    restart(prefix + "/" + std::to_string(&c - cases));
    useDefaultDirs();
    Bytes archive = buildArchive({{"good.txt", kTime, kStreamA}, c.member});
    ArchiveEntry entry;
    parseArchiveEntry(archive.data() + 4 + ARCHIVE_ENTRY_SIZE, &entry);
    EXPECT_EQ(checkArchiveEntry(&entry, archive.size()), c.problem);
    EXPECT_STRNE(entryProblemText(c.problem), "unknown problem");

    writeWin("c:\\src\\quorvel.z", archive);
    EXPECT_EQ(extractPackageArchive("quorvel.z", setupState.sourceDir, setupState.targetDir),
              TransferResult::CannotWrite);
    std::string name = c.member.name.substr(0, 12).c_str();
    EXPECT_EQ(std::string(setupState.failingPath), "c:\\dunmere\\quorvel\\" + name);
    bool decoded = c.problem == EntryProblem::None;
    const std::vector<std::string> good = {"good.txt"}, both = {"b.txt", "good.txt"};
    EXPECT_EQ(listDir(host("c:\\dunmere\\quorvel")), decoded ? both : good);
    EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\b.txt").size(), 0u);
    EXPECT_EQ(hostMtime(host("c:\\dunmere\\quorvel\\b.txt")), decoded ? kTime : 0);
    EXPECT_EQ(listDir(host("c:\\dunmere")), std::vector<std::string>{"quorvel"});
    EXPECT_FALSE(hostExists(host("c:\\") + "/evil.txt"));
    EXPECT_EQ(w32::openHandleCount(), 0);
    EXPECT_EQ(w32::heapBlockCount(), 0);

    const std::string zarcDir = prefix + "/zarc" + std::to_string(&c - cases);
    ASSERT_EQ(mkdir(zarcDir.c_str(), 0755), 0);
    writeHostFile(zarcDir + "/bad.z", archive);
    std::vector<std::string> errors;
    ArchiveReport report = processArchive(zarcDir + "/bad.z", ArchiveAction::Extract, zarcDir, false,
                                          [&](const ArchiveMemberReport &m) { errors.push_back(m.error); });
    EXPECT_FALSE(report.ok());
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "");
    EXPECT_NE(errors[1].find(decoded ? "damaged compressed data" : entryProblemText(c.problem)), std::string::npos)
        << errors[1];
    EXPECT_EQ(listDir(zarcDir), (std::vector<std::string>{"bad.z", "good.txt"}));
    EXPECT_FALSE(processArchive(zarcDir + "/bad.z", ArchiveAction::Test, "", false).ok());
  }
}

// Each failure row of the copy and of the extraction, and archives whose
// count of members is 0 or below (done at once): the result, failingPath
// (the source or the destination) and what is left in the target.
enum class Setup { Plain, NoSource, NoTarget, ReadOnly, Cancel };
struct TransferFailure {
  const char *what;
  bool extract;  // extractPackageArchive on quorvel.z, else copyPackageFile on plugins.z
  Setup setup;
  Bytes source;
  w32::Fault fault;  // Any: none armed
  long nth;
  TransferResult result;
  std::string failingPath;  // "" unchanged
  std::map<std::string, size_t> left;
};

TEST_F(TransferTest, FailureRows) {
  const Bytes plugins = patternBytes(70000, 3);  // three chunks
  const Bytes two = buildArchive({{"abc.txt", kTime, kStreamAbc}, {"a.txt", kTime, kStreamA}});
  const Bytes one = buildArchive({{"a.txt", kTime, kStreamA}});
  const std::string src = "c:\\src\\", dst = "c:\\dunmere\\quorvel\\";
  using F = w32::Fault;
  using R = TransferResult;
  const TransferFailure cases[] = {
      {"source missing", false, Setup::NoSource, plugins, F::Any, 0, R::SourceMissing, src + "plugins.z", {}},
      {"no target directory", false, Setup::NoTarget, plugins, F::Any, 0, R::CannotWrite, dst + "plugins.z", {}},
      {"read-only destination", false, Setup::ReadOnly, plugins, F::Any, 0, R::CannotWrite, dst + "plugins.z",
       {{"plugins.z", 3}}},
      {"buffer cannot be allocated", false, Setup::Plain, plugins, F::Alloc, 1, R::Fatal, "", {{"plugins.z", 0}}},
      {"cancelled before the first chunk", false, Setup::Cancel, plugins, F::Any, 0, R::Cancelled, "",
       {{"plugins.z", 0}}},
      {"third read fails", false, Setup::Plain, plugins, F::Read, 3, R::SourceMissing, "", {{"plugins.z", 64000}}},
      {"second write fails", false, Setup::Plain, plugins, F::Write, 2, R::CannotWrite, dst + "plugins.z",
       {{"plugins.z", 32000}}},
      {"archive missing", true, Setup::NoSource, two, F::Any, 0, R::SourceMissing, src + "quorvel.z", {}},
      {"shorter than its count", true, Setup::Plain, Bytes(two.begin(), two.begin() + 3), F::Any, 0,
       R::SourceMissing, "", {}},
      {"shorter than its directory", true, Setup::Plain, Bytes(two.begin(), two.begin() + 40), F::Any, 0,
       R::SourceMissing, "", {}},
      {"second entry cannot be read", true, Setup::Plain, two, F::Read, 4, R::SourceMissing, "", {{"abc.txt", 9}}},
      {"cancelled before the first member", true, Setup::Cancel, two, F::Any, 0, R::Cancelled, "", {}},
      {"second destination cannot be created", true, Setup::Plain, two, F::Create, 2, R::CannotWrite, dst + "a.txt",
       {{"abc.txt", 9}}},
      {"work area cannot be allocated", true, Setup::Plain, two, F::Alloc, 1, R::Fatal, "", {{"abc.txt", 0}}},
      {"member data cannot be read", true, Setup::Plain, two, F::Read, 3, R::CannotWrite, dst + "abc.txt",
       {{"abc.txt", 0}}},
      {"decoded bytes cannot be written", true, Setup::Plain, two, F::Write, 1, R::CannotWrite, dst + "abc.txt",
       {{"abc.txt", 0}}},
      {"a count of 0", true, Setup::Plain, buildArchive({{"a.txt", kTime, kStreamA}}, 0), F::Any, 0, R::Done, "", {}},
      {"the lowest count", true, Setup::Plain, buildArchive({{"a.txt", kTime, kStreamA}}, INT32_MIN), F::Any, 0,
       R::Done, "", {}},
      {"a directory past 4 GiB (17 bytes if counted in 32 bits)", true, Setup::Plain,
       buildArchive({{"a.txt", kTime, kStreamA}}, 148102321), F::Any, 0, R::SourceMissing, "", {}},
  };
  for (const TransferFailure &c : cases) {
    SCOPED_TRACE(c.what);
    restart(prefix + "/" + std::to_string(&c - cases));
    useDefaultDirs();
    const char *name = c.extract ? "quorvel.z" : "plugins.z";
    if (c.setup != Setup::NoSource) writeWin(src + name, c.source);
    if (c.setup == Setup::NoTarget) {
      ASSERT_EQ(rmdir(host(dst).c_str()), 0);
    }
    if (c.setup == Setup::ReadOnly) {
      writeWin(dst + name, Bytes{1, 2, 3});
      ASSERT_EQ(chmod(host(dst + name).c_str(), 0444), 0);
    }
    strcpy(setupState.failingPath, "unchanged");
    setupState.cancelRequested = c.setup == Setup::Cancel ? 1 : 0;
    if (c.nth) w32::armFault(c.fault, c.nth, false);
    EXPECT_EQ(c.extract ? extractPackageArchive(name, src.c_str(), dst.c_str())
                        : copyPackageFile(name, src.c_str(), dst.c_str()),
              c.result);
    EXPECT_EQ(std::string(setupState.failingPath), c.failingPath.empty() ? "unchanged" : c.failingPath);
    std::map<std::string, size_t> left;
    for (const std::string &file : listDir(host(dst))) left[file] = readWin(dst + file).size();
    EXPECT_EQ(left, c.left);
    EXPECT_EQ(w32::openHandleCount(), 0);
    EXPECT_EQ(w32::heapBlockCount(), 0);
  }
}

// Paths that do not fit the 72-byte buffers are refused with what fits,
// by the copy and by the extraction, before anything is created for them.
TEST_F(TransferTest, PathsTooLongAreRefused) {
  useDefaultDirs();
  // 62 + 9 = 71 characters: fits exactly.
  std::string dir62 = "c:\\" + std::string(58, 'd') + "\\";
  makeWinDir(dir62.substr(0, 61));
  writeWin("c:\\src\\nsystem.z", Bytes{1});
  EXPECT_EQ(copyPackageFile("nsystem.z", "c:\\src\\", dir62.c_str()), TransferResult::Done);
  // One more character: refused, failingPath holds the first 71.
  writeWin("c:\\src\\netscape.z", Bytes{1});
  EXPECT_EQ(copyPackageFile("netscape.z", "c:\\src\\", dir62.c_str()), TransferResult::CannotWrite);
  EXPECT_EQ(std::string(setupState.failingPath), (dir62 + "netscape.z").substr(0, 71));
  EXPECT_EQ(listDir(host(dir62.substr(0, 61))), std::vector<std::string>{"nsystem.z"});

  std::string longSource = "c:\\" + std::string(64, 's') + "\\";
  EXPECT_EQ(copyPackageFile("netscape.z", longSource.c_str(), "c:\\dunmere\\quorvel\\"),
            TransferResult::SourceMissing);
  EXPECT_EQ(std::string(setupState.failingPath), (longSource + "netscape.z").substr(0, 71));

  std::string dir65 = "c:\\" + std::string(61, 'd') + "\\";
  makeWinDir(dir65.substr(0, 64));
  writeWin("c:\\src\\quorvel.z", buildArchive({{"a.txt", kTime, kStreamA}, {"abcdefgh.txt", kTime, kStreamA}}));
  EXPECT_EQ(extractPackageArchive("quorvel.z", "c:\\src\\", dir65.c_str()), TransferResult::CannotWrite);
  EXPECT_EQ(std::string(setupState.failingPath), (dir65 + "abcdefgh.txt").substr(0, 71));
  EXPECT_EQ(listDir(host(dir65.substr(0, 64))), std::vector<std::string>{"a.txt"});
}

// A member name that would leave the target directory, name a device or be
// changed by the file system is not plain.
TEST(ArchiveFormat, PlainMemberNames) {
  struct NameCase {
    const char *name;
    int plain;
  };
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

// Hooks over an archive in memory: reads continue where the last ended (like
// a file position) and count every ask that is not the smaller of 2048 and
// the bytes left before dataEnd; writes append.
struct MemoryIo {
  const Bytes *archive;
  uint32_t position, end;
  bool shortRead;   // the first read delivers one byte less
  int failWriteAt;  // the nth write fails (0: none)
  int writes = 0, badAsks = 0;
  Bytes output = {};
};

uint32_t memoryRead(void *context, unsigned char *buffer, uint32_t count) {
  MemoryIo *io = static_cast<MemoryIo *>(context);
  io->badAsks += count != std::min<uint32_t>(ARCHIVE_READ_BLOCK, io->end - io->position);
  uint32_t n = std::min<uint32_t>(count - (io->shortRead ? 1 : 0), io->archive->size() - io->position);
  io->shortRead = false;
  memcpy(buffer, io->archive->data() + io->position, n);
  io->position += n;
  return n;
}

int memoryWrite(void *context, const unsigned char *buffer, uint32_t count) {
  MemoryIo *io = static_cast<MemoryIo *>(context);
  if (++io->writes == io->failWriteAt) return 0;
  io->output.insert(io->output.end(), buffer, buffer + count);
  return 1;
}

// A member is read in blocks up to its dataEnd, where its stream ends even
// with more bytes after it; a short read is noted and the next read goes on
// where it ended; a failed write is remembered (the decoder never hears of
// it) and nothing after it reaches the file.
TEST(ArchiveFormat, MemberDecodingThroughTheHooks) {
  struct Case {
    const char *what;
    Bytes stream;
    uint32_t cut;  // bytes of the stream past dataEnd (the next member's stream follows)
    bool shortRead;
    int failWriteAt;
    DclResult result;
    Bytes output;
  };
  const Bytes data = patternBytes(9000, 1);  // decoded in writes of 4096, 4096 and 808
  const Bytes stream = implodeBuffer(ImplodeMode::Binary, 6, data.data(), data.size());
  const Case cases[] = {
      {"a long member", stream, 0, false, 0, DclResult::Ok, data},
      {"the second write fails", stream, 0, false, 2, DclResult::Ok, {data.begin(), data.begin() + 4096}},
      {"a short read", kStreamAbc, 0, true, 0, DclResult::Ok, {'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'}},
      {"dataEnd cuts the stream", kStreamAbc, 2, false, 0, DclResult::UnexpectedEnd, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes both = c.stream;
    both.insert(both.end(), kStreamA.begin(), kStreamA.end());
    Bytes archive = buildArchive({{"m", 0, both, -1, 33 + static_cast<int64_t>(c.stream.size() - c.cut)}});
    ArchiveEntry entry;
    parseArchiveEntry(archive.data() + 4, &entry);
    MemoryIo io{&archive, entry.dataOffset, entry.dataEnd, c.shortRead, c.failWriteAt};
    ArchiveMember member;
    startArchiveMember(&member, &entry, memoryRead, memoryWrite, &io);
    unsigned char workArea[DCL_WORK_AREA_SIZE];
    EXPECT_EQ(decodeArchiveMember(&member, workArea), c.result);
    EXPECT_EQ(io.badAsks, 0);
    EXPECT_EQ(member.bytesRead, c.stream.size() - c.cut);
    EXPECT_EQ(member.readFailed, c.shortRead ? 1 : 0);
    EXPECT_EQ(member.writeFailed, c.failWriteAt ? 1 : 0);
    if (c.result == DclResult::Ok) {
      EXPECT_EQ(io.output, c.output);
    }
  }
}

struct Advance {
  uint32_t n;
  int posts;             // WM_SETUP_PROGRESS messages this call posts
  uint32_t nextPercent;  // afterwards
};

struct ProgressCase {
  const char *what;
  uint32_t total;
  std::vector<Advance> steps;
};

// A WM_SETUP_PROGRESS post each time the bytes done reach the next percent.
TEST_F(TransferTest, AdvanceRule) {
  const ProgressCase cases[] = {
      {"first bytes post at once, then one per 15,000", 1500000,
       {{14999, 1, 1}, {1, 1, 2}, {14999, 0, 2}, {1, 1, 3}}},
      {"advance by 0 posts only once the mark is reached", 1500000,
       {{0, 1, 1}, {0, 0, 1}, {15000, 1, 2}, {0, 0, 2}, {14999, 0, 2}, {1, 1, 3}, {0, 0, 3}}},
      {"a jump over several percentages posts once", 1500000, {{45000, 1, 4}, {1, 0, 4}, {60000, 1, 8}}},
      {"past the total the percentages go on", 1500000, {{1500000, 1, 101}, {15000, 1, 102}}},
      {"a total of exactly 100 counts one byte per percent", 100, {{1, 1, 2}, {1, 1, 3}, {0, 0, 3}}},
      {"a total under 100 shows no progress", 99, {{0, 0, 0}, {50, 0, 0}, {1000000, 0, 0}}},
      {"a total of 0 shows no progress", 0, {{1, 0, 0}}},
  };
  for (const ProgressCase &c : cases) {
    setupProgress(c.total);
    takeProgressPosts();
    uint32_t done = 0;
    for (size_t i = 0; i < c.steps.size(); i++) {
      advanceProgress(c.steps[i].n);
      done += c.steps[i].n;
      EXPECT_EQ(takeProgressPosts(), c.steps[i].posts) << c.what << ", step " << i;
      EXPECT_EQ(progressMeter.nextPercent.load(), c.steps[i].nextPercent) << c.what << ", step " << i;
      EXPECT_EQ(progressMeter.bytesDone.load(), done) << c.what << ", step " << i;
    }
  }
}

// A cancel that arrives while Retry is being answered is kept: the prompt
// never clears the flag. A box that cannot be shown (the answer file has
// nothing for it) stops the run instead of repeating a failing transfer unasked.
TEST_F(TransferTest, RetryNeverClearsACancelAndABoxThatCannotBeShownStops) {
  setupState.cancelRequested = 1;
  strcpy(setupState.sourceDir, "c:\\src\\");
  w32::setAnswers("message \"*\" Retry\n");
  EXPECT_EQ(handleTransferResult(dialog, TransferResult::SourceMissing), 0);
  EXPECT_EQ(setupState.cancelRequested.load(), 1);

  setupState.cancelRequested = 0;
  strcpy(setupState.failingPath, "c:\\x");
  EXPECT_EQ(handleTransferResult(dialog, TransferResult::CannotWrite), 1);
  EXPECT_EQ(setupState.cancelRequested.load(), 1);
  EXPECT_NE(w32::scriptError(), "");
}

}  // namespace
