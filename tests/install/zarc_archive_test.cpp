// zarc's archive commands and mkpackage's layout, on host files.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package_layout.h"
#include "zarc_archive.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string makeTempDir() {
  char pattern[] = "/tmp/qv_zarc_XXXXXX";
  const char *dir = mkdtemp(pattern);
  return dir ? dir : "";
}

void writeFile(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> listDir(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))) names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

void setMtime(const std::string &path, time_t sec, long nsec) {
  struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct timespec mtimeOf(const std::string &path) {
  struct stat info;
  stat(path.c_str(), &info);
  return info.st_mtim;
}

// processArchive, keeping each member's report.
struct Processed {
  ArchiveReport report;
  std::vector<ArchiveMemberReport> members;
};
Processed process(const std::string &archive, ArchiveAction action, const std::string &target = "") {
  Processed p;
  p.report = processArchive(archive, action, target, false,
                            [&](const ArchiveMemberReport &m) { p.members.push_back(m); });
  return p;
}

class ZarcArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
  std::string dir;
};

TEST(ZarcTimes, FileTimeConversionKeepsHundredNanoseconds) {
  struct Case {
    time_t sec;
    long nsec;
    uint64_t fileTime;
  };
  const Case cases[] = {
      {0, 0, 116444736000000000ULL},                 // 1970-01-01
      {981173106, 123456700, 116444736000000000ULL + 981173106ULL * 10000000ULL + 1234567ULL},
      {-1, 999999900, 116444736000000000ULL - 1},    // 100 ns before 1970
      {-11644473600LL, 0, 0},                        // 1601-01-01
  };
  for (const Case &c : cases) {
    struct timespec ts = {c.sec, c.nsec};
    EXPECT_EQ(fileTimeFromTimespec(ts), c.fileTime) << c.sec;
    struct timespec back = timespecFromFileTime(c.fileTime);
    EXPECT_EQ(back.tv_sec, c.sec);
    EXPECT_EQ(back.tv_nsec, c.nsec);
  }
}

TEST_F(ZarcArchive, CreateThenExtractIntoADeepDirectory) {
  std::vector<std::pair<std::string, Bytes>> files = {
      {"readme.txt", Bytes()},
      {"empty.dat", Bytes()},
      {"big.bin", Bytes()},
  };
  std::string text;
  for (int i = 0; i < 400; i++) text += "line " + std::to_string(i) + " of the quorvel read me\r\n";
  files[0].second.assign(text.begin(), text.end());
  for (int i = 0; i < 70000; i++) files[2].second.push_back(static_cast<unsigned char>((i * 7919) >> 5));

  std::vector<ArchiveInput> inputs;
  ImplodeMode modes[] = {ImplodeMode::Ascii, ImplodeMode::Binary, ImplodeMode::Auto};
  int dicts[] = {4, 5, 6};
  for (size_t i = 0; i < files.size(); i++) {
    std::string path = dir + "/" + files[i].first;
    writeFile(path, files[i].second);
    setMtime(path, 981173106 + static_cast<time_t>(i), 123456700);
    ArchiveInput in;
    in.path = path;
    in.mode = modes[i];
    in.dictBits = dicts[i];
    inputs.push_back(in);
  }
  std::string archive = dir + "/t.z";
  std::vector<ArchiveCreated> created;
  std::string error;
  ASSERT_TRUE(createArchive(archive, inputs, &created, &error)) << error;
  ASSERT_EQ(created.size(), 3u);
  EXPECT_EQ(created[0].dataOffset, 4u + 3 * 29);
  EXPECT_EQ(created[1].dataOffset, created[0].dataEnd);  // back to back
  EXPECT_EQ(created[2].dataEnd, readFile(archive).size());

  // Far deeper than any 72-byte installer path.
  std::string deep = dir;
  for (int i = 0; i < 12; i++) {
    deep += "/a_rather_long_directory_name_" + std::to_string(i);
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  ASSERT_GT(deep.size(), 300u);
  Processed extracted = process(archive, ArchiveAction::Extract, deep);
  ASSERT_TRUE(extracted.report.ok()) << extracted.report.error;
  for (size_t i = 0; i < files.size(); i++) {
    std::string out = deep + "/" + files[i].first;
    EXPECT_EQ(readFile(out), files[i].second) << files[i].first;
    struct timespec t = mtimeOf(out);
    EXPECT_EQ(t.tv_sec, 981173106 + static_cast<time_t>(i));
    EXPECT_EQ(t.tv_nsec, 123456700);
    EXPECT_EQ(extracted.members[i].decodedBytes, files[i].second.size());
  }

  Processed listed = process(archive, ArchiveAction::List);
  ASSERT_TRUE(listed.report.ok());
  EXPECT_EQ(listed.members[2].decodedBytes, 70000u);
  EXPECT_EQ(listed.members[0].entry.dataEnd - listed.members[0].entry.dataOffset,
            created[0].dataEnd - created[0].dataOffset);
}

TEST_F(ZarcArchive, CreateRefusesNamesThatCannotBeMembers) {
  struct Case {
    const char *file;
    const char *name;
  };
  const Case cases[] = {{"x", "nul.txt"}, {"x", "averylongname.txt"}, {"x", "a:b"}, {"x", ".."}};
  writeFile(dir + "/x", Bytes{1, 2, 3});
  for (const Case &c : cases) {
    ArchiveInput in;
    in.path = dir + "/" + c.file;
    in.name = c.name;
    std::string error;
    EXPECT_FALSE(createArchive(dir + "/r.z", {in}, nullptr, &error)) << c.name;
    EXPECT_NE(error.find(c.name), std::string::npos) << error;
    EXPECT_FALSE(exists(dir + "/r.z"));
    EXPECT_FALSE(exists(dir + "/r.z.tmp"));
  }
  ArchiveInput a, b;
  a.path = b.path = dir + "/x";
  std::string error;
  EXPECT_FALSE(createArchive(dir + "/r.z", {a, b}, nullptr, &error));
  EXPECT_NE(error.find("two members"), std::string::npos);
}

// Bad archives: the report names the member and the problem, and nothing
// is written outside the target directory.
TEST_F(ZarcArchive, BadArchivesAreReportedByMember) {
  writeFile(dir + "/m", Bytes(100, 'm'));
  ArchiveInput in;
  in.path = dir + "/m";
  ASSERT_TRUE(createArchive(dir + "/good.z", {in, in}, nullptr, nullptr) == false);  // duplicate name
  ArchiveInput other = in;
  other.name = "n";
  std::string error;
  ASSERT_TRUE(createArchive(dir + "/good.z", {in, other}, nullptr, &error)) << error;
  Bytes good = readFile(dir + "/good.z");

  struct Case {
    const char *what;
    size_t at;          // byte to patch
    Bytes patch;
    size_t truncateTo;  // 0: keep the length
    int badMember;      // -1: the archive as a whole
    const char *message;
  };
  const Case cases[] = {
      {"escaping name", 4 + 29, {'.', '.', '/', 'e', 'v', 'i', 'l', 0}, 0, 1, "not a plain file name"},
      {"device name", 4, {'c', 'o', 'n', '.', 'z', 0}, 0, 0, "device name"},
      {"backwards", 4 + 29 + 25, {0, 0, 0, 0}, 0, 1, "ends before it begins"},
      {"outside", 4 + 25, {0xFF, 0xFF, 0, 0}, 0, 0, "outside the archive"},
      {"truncated directory", 0, {}, 40, -1, "shorter than its directory"},
      {"damaged stream", 4 + 2 * 29 + 1, {9}, 0, 0, "damaged compressed data (BadDictionarySize)"},
  };
  for (const Case &c : cases) {
    Bytes bad = good;
    for (size_t i = 0; i < c.patch.size(); i++) bad[c.at + i] = c.patch[i];
    if (c.truncateTo) bad.resize(c.truncateTo);
    writeFile(dir + "/bad.z", bad);
    std::string target = dir + "/out";
    std::system(("rm -rf '" + target + "' && mkdir '" + target + "'").c_str());
    Processed p = process(dir + "/bad.z", ArchiveAction::Extract, target);
    EXPECT_FALSE(p.report.ok()) << c.what;
    if (c.badMember < 0) {
      EXPECT_NE(p.report.error.find(c.message), std::string::npos) << c.what << ": " << p.report.error;
    } else {
      ASSERT_GT(p.members.size(), static_cast<size_t>(c.badMember)) << c.what;
      const std::string &msg = p.members[c.badMember].error;
      EXPECT_NE(msg.find(c.message), std::string::npos) << c.what << ": " << msg;
      // The good member is still extracted; the bad one leaves nothing.
      int goodMember = 1 - c.badMember;
      EXPECT_TRUE(p.members[goodMember].error.empty()) << c.what;
      EXPECT_EQ(listDir(target), std::vector<std::string>{goodMember ? "n" : "m"}) << c.what;
    }
    EXPECT_FALSE(exists(dir + "/evil")) << c.what;
    EXPECT_FALSE(exists(dir + "/con.z")) << c.what;
    ArchiveReport tested = processArchive(dir + "/bad.z", ArchiveAction::Test, "", false);
    EXPECT_FALSE(tested.ok()) << c.what;
  }
}

// What lies in the target under a member's name is replaced only by the
// fully decoded member, by rename: a damaged member leaves it as it was, a
// hard link is replaced without its other end changing, a symbolic link's
// target is what gets written, and the archive itself is never written
// over. Names are written back as the bytes stored.
TEST_F(ZarcArchive, ExtractReplacesAFileOnlyByAWholeMember) {
  const std::string name = "caf\xC3\xA9.txt";  // not ASCII: the same bytes come back
  const Bytes content(3000, 'c');
  writeFile(dir + "/" + name, content);
  ArchiveInput in;
  in.path = dir + "/" + name;
  ASSERT_TRUE(createArchive(dir + "/a.z", {in}, nullptr, nullptr));
  Bytes damaged = readFile(dir + "/a.z");
  damaged.resize(damaged.size() - 2);
  std::string target = dir + "/out";
  const Bytes old{'o', 'l', 'd'};
  struct Case {
    const char *what;
    const char *existing;  // file, symlink (its target is written), hardlink or none
    bool damagedMember;
    bool replaced;  // the member's file now holds the content
  };
  const Case cases[] = {
      {"a file and a whole member", "file", false, true},
      {"a file and a damaged member", "file", true, false},
      {"a link to a file outside", "symlink", false, true},
      {"a hard link to a file outside", "hardlink", false, true},
      {"nothing and a damaged member", "none", true, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::system(("rm -rf '" + target + "' && mkdir '" + target + "'").c_str());
    writeFile(dir + "/outside", old);
    writeFile(dir + "/d.z", damaged);
    std::string member = target + "/" + name;
    std::string existing = c.existing;
    int made = 0;
    if (existing == "file") writeFile(member, old);
    if (existing == "symlink") made = symlink((dir + "/outside").c_str(), member.c_str());
    if (existing == "hardlink") made = link((dir + "/outside").c_str(), member.c_str());
    ASSERT_EQ(made, 0);
    Processed p = process(dir + (c.damagedMember ? "/d.z" : "/a.z"), ArchiveAction::Extract, target);
    EXPECT_EQ(p.report.ok(), !c.damagedMember);
    EXPECT_EQ(readFile(dir + "/outside"), existing == "symlink" ? content : old);
    EXPECT_EQ(listDir(target), existing == "none" ? std::vector<std::string>{} : std::vector<std::string>{name});
    if (c.replaced) {
      EXPECT_EQ(readFile(member), content);
    } else if (existing == "file") {
      EXPECT_EQ(readFile(member), old);
    }
  }
  // A member named like the archive, extracted beside it.
  ASSERT_EQ(rename((dir + "/a.z").c_str(), (target + "/" + name).c_str()), 0);
  Bytes archive = readFile(target + "/" + name);
  Processed p = process(target + "/" + name, ArchiveAction::Extract, target);
  EXPECT_FALSE(p.report.ok());
  ASSERT_EQ(p.members.size(), 1u);
  EXPECT_NE(p.members[0].error.find("one of the inputs"), std::string::npos) << p.members[0].error;
  EXPECT_EQ(readFile(target + "/" + name), archive);
}

TEST_F(ZarcArchive, TestWritesNothing) {
  writeFile(dir + "/m", Bytes(5000, 'q'));
  ArchiveInput in;
  in.path = dir + "/m";
  ASSERT_TRUE(createArchive(dir + "/a.z", {in}, nullptr, nullptr));
  ASSERT_EQ(unlink((dir + "/m").c_str()), 0);
  Processed p = process(dir + "/a.z", ArchiveAction::Test, dir);
  EXPECT_TRUE(p.report.ok());
  EXPECT_EQ(p.members[0].decodedBytes, 5000u);
  EXPECT_FALSE(exists(dir + "/m"));
}

TEST_F(ZarcArchive, MkpackageDiskSetsAndProgressTotal) {
  PackagePlan plan;
  plan.outDir = dir + "/pkg";
  plan.disks = true;
  plan.generate = true;
  plan.generatedSize = 2000;
  plan.settings = {{"HomePage", "http://dunmere.example/"}};
  writeFile(dir + "/setup.exe", Bytes{'M', 'Z'});
  plan.setupExe = dir + "/setup.exe";
  PackageResult result;
  std::string error;
  ASSERT_TRUE(makePackage(plan, &result, &error)) << error;

  const char *const disk1[] = {"nsystem.z", "netscape.z", "plugins.z", "javaclss.z", "readme.txt", "setup.exe"};
  const char *const disk2[] = {"nprogram.z", "quorvel.z"};
  const char *const disk3[] = {"javabin.z", "wsystem.z", "setup.ini"};
  for (const char *f : disk1) EXPECT_TRUE(exists(plan.outDir + "/disk1/" + f)) << f;
  for (const char *f : disk2) EXPECT_TRUE(exists(plan.outDir + "/disk2/" + f)) << f;
  for (const char *f : disk3) EXPECT_TRUE(exists(plan.outDir + "/disk3/" + f)) << f;
  EXPECT_FALSE(exists(plan.outDir + "/disk1/bookmark.htm"));
  EXPECT_FALSE(exists(plan.outDir + "/disk3/www.z"));
  Bytes ini = readFile(plan.outDir + "/disk3/setup.ini");
  EXPECT_EQ(std::string(ini.begin(), ini.end()), "[Quorvel]\r\nHomePage=http://dunmere.example/\r\n");

  // Eight plain files of 2000 bytes, plus the compressed bytes of the
  // members of quorvel.z (not its count and directory).
  ASSERT_EQ(result.files.size(), 9u);
  uint64_t members = 0;
  for (const ArchiveCreated &c : result.quorvelMembers) members += c.dataEnd - c.dataOffset;
  uint64_t quorvelSize = readFile(plan.outDir + "/disk2/quorvel.z").size();
  EXPECT_EQ(members, quorvelSize - 4 - 29 * result.quorvelMembers.size());
  EXPECT_EQ(result.progressTotal, 8 * 2000 + members);

  plan.outDir = dir + "/flat";
  plan.disks = false;
  plan.optionalFiles = true;
  ASSERT_TRUE(makePackage(plan, &result, &error)) << error;
  EXPECT_EQ(result.files.size(), 11u);
  EXPECT_TRUE(exists(plan.outDir + "/bookmark.htm"));
  EXPECT_TRUE(exists(plan.outDir + "/www.z"));
  EXPECT_TRUE(exists(plan.outDir + "/setup.ini"));
  // The generated members lie beside the package, not in it.
  EXPECT_EQ(result.quorvelMembersDir, plan.outDir + ".members");
  EXPECT_EQ(listDir(result.quorvelMembersDir).size(), 3u);
  EXPECT_EQ(listDir(plan.outDir).size(), 14u);  // and the listing, .mkpackage

  // Laid out again on disks, asked to replace the one directory, with a
  // Linux setup program: setup, not setup.exe, and nothing of the old
  // layout left.
  writeFile(dir + "/linux-setup", Bytes{0x7F, 'E', 'L', 'F'});
  plan.setupExe = dir + "/linux-setup";
  plan.disks = plan.replace = true;
  ASSERT_TRUE(makePackage(plan, &result, &error)) << error;
  EXPECT_EQ(listDir(plan.outDir), (std::vector<std::string>{".mkpackage", "disk1", "disk2", "disk3"}));
  EXPECT_TRUE(exists(plan.outDir + "/disk1/setup"));
  EXPECT_FALSE(exists(plan.outDir + "/disk1/setup.exe"));
}

// mkpackage never writes over a payload it was given, and replaces nothing
// but a regular file in its output directory (not a link planted there).
TEST_F(ZarcArchive, MkpackageNeverWritesOverItsInputsOrThroughLinks) {
  PackagePlan plan;
  plan.outDir = dir + "/pkg";
  plan.generate = true;
  ASSERT_EQ(mkdir(plan.outDir.c_str(), 0755), 0);
  writeFile(plan.outDir + "/readme.txt", Bytes{'r'});
  writeFile(dir + "/victim", Bytes{'v'});
  ASSERT_EQ(symlink((dir + "/victim").c_str(), (plan.outDir + "/nsystem.z").c_str()), 0);
  PackageResult result;
  std::string error;
  plan.files["readme.txt"] = plan.outDir + "/readme.txt";
  EXPECT_FALSE(makePackage(plan, &result, &error));
  EXPECT_NE(error.find("one of the inputs"), std::string::npos) << error;
  EXPECT_EQ(readFile(plan.outDir + "/readme.txt"), Bytes{'r'});
  plan.files.clear();
  plan.replace = true;
  EXPECT_FALSE(makePackage(plan, &result, &error));
  EXPECT_NE(error.find("nsystem.z is a symbolic link"), std::string::npos) << error;
  EXPECT_EQ(readFile(dir + "/victim"), Bytes{'v'});
}

// A plan mkpackage cannot carry out is refused before anything is written,
// with the reason; none of these is a file that could not be read.
TEST_F(ZarcArchive, MkpackageRefusesPlansItCannotCarryOut) {
  Bytes elf(3000, 0);
  elf[0] = 0x7F, elf[1] = 'E', elf[2] = 'L', elf[3] = 'F';
  writeFile(dir + "/elf", elf);
  writeFile(dir + "/text", Bytes{'#', '!'});
  ASSERT_EQ(mkdir((dir + "/flat").c_str(), 0755), 0);
  writeFile(dir + "/flat/readme.txt", Bytes{'r'});
  struct Case {
    const char *what;
    std::function<void(PackagePlan &)> change;
    const char *error;
  };
  const Case cases[] = {
      {"no payload", [](PackagePlan &p) { p.generate = false; }, "no payload for nsystem.z"},
      {"not a package file", [&](PackagePlan &p) { p.files["setup.z"] = dir + "/text"; },
       "'setup.z' is not a package file (the package files: nsystem.z, netscape.z, plugins.z, javaclss.z, "
       "readme.txt, bookmark.htm, nprogram.z, quorvel.z, javabin.z, wsystem.z, www.z)"},
      {"a floppy overflows", [](PackagePlan &p) { p.generatedSize = 300000; },
       "disk1 would hold 1,500,000 bytes, 42,336 more than the 1,457,664 a disk holds"},
      {"the setup program counts", [&](PackagePlan &p) {
         p.generatedSize = 291000;
         p.setupExe = dir + "/elf";
       }, "disk1 would hold 1,458,000 bytes, 336 more"},
      {"a smaller medium", [](PackagePlan &p) { p.diskSize = 999; }, "disk1 would hold 5,000 bytes, 4,001 more"},
      {"not a program", [&](PackagePlan &p) { p.setupExe = dir + "/text"; }, "not a Linux or Windows program"},
      {"the wrong system", [&](PackagePlan &p) {
         p.setupExe = dir + "/elf";
         p.target = "windows";
       }, "a linux program, not one for the target windows"},
      {"the other layout", [&](PackagePlan &p) { p.outDir = dir + "/flat"; },
       "it holds files that mkpackage did not lay out (readme.txt); give --replace"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    PackagePlan plan;
    plan.outDir = dir + "/pkg";
    plan.disks = true;
    plan.generate = true;
    c.change(plan);
    PackageResult result;
    std::string error;
    EXPECT_FALSE(makePackage(plan, &result, &error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_FALSE(result.ioFailure);
    EXPECT_FALSE(exists(dir + "/pkg"));
    EXPECT_EQ(listDir(dir + "/flat"), std::vector<std::string>{"readme.txt"});
  }
  // quorvel.z's own size is known only once it is made: when it then does
  // not fit, an older quorvel.z stays as it was and nothing is left behind.
  Bytes noise(20000);
  uint32_t x = 2463534242u;
  for (unsigned char &b : noise) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<unsigned char>(x >> 24);
  }
  ASSERT_EQ(mkdir((dir + "/noise").c_str(), 0755), 0);
  writeFile(dir + "/noise/quorvel.exe", noise);
  ASSERT_EQ(mkdir((dir + "/old").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir + "/old/disk2").c_str(), 0755), 0);
  writeFile(dir + "/old/disk2/quorvel.z", Bytes{'o', 'l', 'd'});
  {
    PackagePlan plan;
    plan.outDir = dir + "/old";
    plan.disks = true;
    plan.generate = true;
    plan.diskSize = 10000;
    plan.quorvelMembers = {dir + "/noise/quorvel.exe"};
    plan.replace = true;
    PackageResult result;
    std::string error;
    EXPECT_FALSE(makePackage(plan, &result, &error));
    EXPECT_NE(error.find("disk2 would hold"), std::string::npos) << error;
    EXPECT_EQ(readFile(dir + "/old/disk2/quorvel.z"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(listDir(dir + "/old/disk2"), std::vector<std::string>{"quorvel.z"});
  }
  // Without the setup program the first disk holds 1,455,000 bytes and the
  // package fits; a disk size of 0 lifts the limit.
  PackagePlan plan;
  plan.outDir = dir + "/pkg";
  plan.disks = true;
  plan.generate = true;
  plan.generatedSize = 291000;
  PackageResult result;
  std::string error;
  EXPECT_TRUE(makePackage(plan, &result, &error)) << error;
  plan.generatedSize = 400000;
  plan.diskSize = 0;
  EXPECT_TRUE(makePackage(plan, &result, &error)) << error;
}

// A plan file says what the command line says: written and read back it is
// the same plan, and a relative path in it is taken from its own directory.
TEST_F(ZarcArchive, MkpackagePlanFilesRoundTrip) {
  PackagePlan plan;
  plan.outDir = dir + "/pkg";
  plan.disks = true;
  plan.diskSize = 2949120;
  plan.optionalFiles = true;
  plan.target = "windows";
  plan.setupExe = dir + "/setup.exe";
  plan.files["readme.txt"] = dir + "/readme";
  plan.quorvelMembers = {dir + "/a.exe", dir + "/b.txt"};
  plan.quorvelMemberModes = {ImplodeMode::Binary, ImplodeMode::Ascii};
  plan.dictBits = 5;
  plan.settings = {{"RegNo", "DN97-"}, {"HomePage", "home.htm"}};
  std::string text = planText(plan);
  writeFile(dir + "/plan.ini", Bytes(text.begin(), text.end()));
  PackagePlan back;
  std::string error;
  ASSERT_TRUE(readPlan(dir + "/plan.ini", &back, &error)) << error;
  EXPECT_EQ(planText(back), text);

  const std::string relative = "[Package]\nOut=out\nLayout=disks\n[Files]\nreadme.txt=../r.txt\n[quorvel.z]\nascii=m\n";
  ASSERT_EQ(mkdir((dir + "/plans").c_str(), 0755), 0);
  writeFile(dir + "/plans/p.ini", Bytes(relative.begin(), relative.end()));
  back = PackagePlan();
  ASSERT_TRUE(readPlan(dir + "/plans/p.ini", &back, &error)) << error;
  EXPECT_EQ(back.outDir, dir + "/plans/out");
  EXPECT_EQ(back.files["readme.txt"], dir + "/plans/../r.txt");
  EXPECT_EQ(back.quorvelMembers, std::vector<std::string>{dir + "/plans/m"});
  EXPECT_TRUE(back.disks);

  const char *const bad[][2] = {{"[Package]\nLayout=floppy\n", "p.ini:2: bad value for Layout"},
                                {"[Package]\nOutput=x\n", "p.ini:2: unknown key Output"},
                                {"[Members]\n", "p.ini:1: unknown section [Members]"},
                                {"[quorvel.z]\nimplode=m\n", "p.ini:2: a member line is"}};
  for (const auto &b : bad) {
    writeFile(dir + "/plans/p.ini", Bytes(b[0], b[0] + strlen(b[0])));
    EXPECT_FALSE(readPlan(dir + "/plans/p.ini", &back, &error));
    EXPECT_NE(error.find(b[1]), std::string::npos) << error;
  }
}

TEST(MkpackageSetupIni, UnknownKeysAreNamed) {
  EXPECT_EQ(unknownSetupIniKeys("[Other]\nFoo=1\n[quorvel]\r\n; note\nregno=1\nHomepage = x\nHome=y\n[X]\nBar=2\n"),
            std::vector<std::string>{"Home"});
}

}  // namespace
