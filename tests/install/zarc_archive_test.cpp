// zarc's archive commands and mkpackage's layout and plans, in-process on
// host files: what the programs' own tests (tests/zarc) cannot reach or see.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "package_layout.h"
#include "zarc_archive.h"

namespace {

// On host files in the scenario fixture's scratch directory.
class ZarcArchive : public ScenarioTest {
 protected:
  void freshDir(const std::string &path) {
    ASSERT_EQ(std::system(("rm -rf '" + path + "' && mkdir '" + path + "'").c_str()), 0);
  }
};

// Members in each mode and dictionary size, back to back, extracted far
// deeper than any installer path with their 100 ns times; test writes
// nothing. A name that cannot be a member is refused before anything is made.
TEST_F(ZarcArchive, CreateThenExtractIntoADeepDirectory) {
  const uint64_t time = 116444736000000000ULL + 981173106ULL * 10000000ULL + 1234567ULL;
  const std::string names[] = {"readme.txt", "empty.dat", "big.bin"};
  const ImplodeMode modes[] = {ImplodeMode::Ascii, ImplodeMode::Binary, ImplodeMode::Auto};
  std::vector<ArchiveInput> inputs(3);
  for (size_t i = 0; i < 3; i++) {
    writeHostFile(scratch + "/" + names[i], patternBytes(i == 1 ? 0 : 70000 / (3 - i), 1));
    setHostMtime(scratch + "/" + names[i], time + i);
    inputs[i].path = scratch + "/" + names[i];
    inputs[i].mode = modes[i];
    inputs[i].dictBits = 4 + static_cast<int>(i);
  }
  std::vector<ArchiveCreated> created;
  std::string error;
  for (const char *name : {"nul.txt", "averylongname.txt", "a:b", ".."}) {
    ArchiveInput bad = inputs[0];
    bad.name = name;
    EXPECT_FALSE(createArchive(scratch + "/t.z", {inputs[1], bad}, nullptr, &error)) << name;
    EXPECT_NE(error.find(name), std::string::npos) << error;
    EXPECT_FALSE(hostExists(scratch + "/t.z")) << name;
  }
  ASSERT_TRUE(createArchive(scratch + "/t.z", inputs, &created, &error)) << error;
  ASSERT_EQ(created.size(), 3u);
  EXPECT_EQ(created[1].dataOffset, created[0].dataEnd);

  std::string deep = scratch;
  for (int i = 0; i < 12; i++) {
    deep += "/a_rather_long_directory_name_" + std::to_string(i);
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  EXPECT_TRUE(processArchive(scratch + "/t.z", ArchiveAction::Test, deep, false).ok());
  EXPECT_EQ(listDir(deep), std::vector<std::string>{});
  ArchiveReport extracted = processArchive(scratch + "/t.z", ArchiveAction::Extract, deep, false);
  ASSERT_TRUE(extracted.ok()) << extracted.error;
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(readHostFile(deep + "/" + names[i]), readHostFile(scratch + "/" + names[i])) << names[i];
    EXPECT_EQ(hostMtime(deep + "/" + names[i]), time + i) << names[i];
  }
}

// What lies in the target under a member's name is replaced only by the
// fully decoded member, by rename: a damaged member leaves it as it was, a
// hard link is replaced without its other end changing, a symbolic link is
// refused and neither it nor its target touched. Names come back as the
// bytes stored.
TEST_F(ZarcArchive, ExtractReplacesAFileOnlyByAWholeMember) {
  const std::string name = "caf\xC3\xA9.txt";
  const Bytes content(3000, 'c'), old{'o', 'l', 'd'};
  writeHostFile(scratch + "/" + name, content);
  ArchiveInput in;
  in.path = scratch + "/" + name;
  ASSERT_TRUE(createArchive(scratch + "/a.z", {in}, nullptr, nullptr));
  Bytes damaged = readHostFile(scratch + "/a.z");
  damaged.resize(damaged.size() - 2);
  writeHostFile(scratch + "/d.z", damaged);
  const std::string target = scratch + "/out", member = target + "/" + name;
  struct Case {
    const char *existing;  // file, symlink, hardlink or none
    bool bad;              // the member is damaged, or refused
  };
  const Case cases[] = {{"file", false}, {"file", true}, {"symlink", true}, {"hardlink", false}, {"none", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.existing) + (c.bad ? ", not written" : ""));
    freshDir(target);
    writeHostFile(scratch + "/outside", old);
    const std::string existing = c.existing;
    int made = 0;
    if (existing == "file") writeHostFile(member, old);
    if (existing == "symlink") made = symlink((scratch + "/outside").c_str(), member.c_str());
    if (existing == "hardlink") made = link((scratch + "/outside").c_str(), member.c_str());
    ASSERT_EQ(made, 0);
    const std::string archive = scratch + (c.bad && existing != "symlink" ? "/d.z" : "/a.z");
    EXPECT_EQ(processArchive(archive, ArchiveAction::Extract, target, false).ok(), !c.bad);
    EXPECT_EQ(readHostFile(scratch + "/outside"), old);
    EXPECT_EQ(listDir(target), existing == "none" ? std::vector<std::string>{} : std::vector<std::string>{name});
    if (existing != "none") {
      EXPECT_EQ(readHostFile(member), c.bad ? old : content);
    }
  }
}

// mkpackage never writes over a payload it was given (a link planted in its
// output directory is the command-line tests' to refuse).
TEST_F(ZarcArchive, MkpackageNeverWritesOverItsInputs) {
  PackagePlan plan;
  plan.outDir = scratch + "/pkg";
  plan.generate = true;
  ASSERT_EQ(mkdir(plan.outDir.c_str(), 0755), 0);
  writeHostFile(plan.outDir + "/readme.txt", Bytes{'r'});
  PackageResult result;
  std::string error;
  plan.files["readme.txt"] = plan.outDir + "/readme.txt";
  EXPECT_FALSE(makePackage(plan, &result, &error));
  EXPECT_NE(error.find("one of the inputs"), std::string::npos) << error;
  EXPECT_EQ(readHostFile(plan.outDir + "/readme.txt"), Bytes{'r'});
}

// A plan that does not fit its media, or whose setup program is none, is
// refused before anything is written (the command-line tests cover the
// other refusals); quorvel.z's own size, known only once it is made, too.
// A plan that fits replaces the files of its names in the older layout, and
// what it did not make stays (setup.exe, where no disk layout has it); a
// setup program goes on the first disk as setup (Linux) or setup.exe
// (Windows).
TEST_F(ZarcArchive, MkpackageRefusesPlansItCannotCarryOut) {
  Bytes elf(3000, 0);
  elf[0] = 0x7F, elf[1] = 'E', elf[2] = 'L', elf[3] = 'F';
  writeHostFile(scratch + "/elf", elf);
  writeHostFile(scratch + "/text", Bytes{'#', '!'});
  writeHostFile(scratch + "/mz", Bytes{'M', 'Z'});
  ASSERT_EQ(mkdir((scratch + "/noise").c_str(), 0755), 0);
  writeHostFile(scratch + "/noise/quorvel.exe", patternBytes(20000, 11));
  struct Case {
    const char *what;
    std::function<void(PackagePlan &)> change;
    const char *error;          // "" when the plan fits
    const char *setupName = "";  // on disk1 when it fits
  };
  const Case cases[] = {
      {"a floppy overflows", [](PackagePlan &p) { p.generatedSize = 300000; },
       "disk1 would hold 1,500,000 bytes, 42,336 more than the 1,457,664 a disk holds"},
      {"the setup program counts",
       [&](PackagePlan &p) { p.generatedSize = 291000, p.setupExe = scratch + "/elf"; },
       "disk1 would hold 1,458,000 bytes, 336 more"},
      {"without it the disk holds 1,455,000 bytes", [](PackagePlan &p) { p.generatedSize = 291000; }, ""},
      {"a disk size of 0 lifts the limit", [](PackagePlan &p) { p.generatedSize = 400000, p.diskSize = 0; }, ""},
      {"a smaller medium", [](PackagePlan &p) { p.diskSize = 999; }, "disk1 would hold 5,000 bytes, 4,001 more"},
      {"quorvel.z does not fit",
       [&](PackagePlan &p) { p.diskSize = 10000, p.quorvelMembers = {scratch + "/noise/quorvel.exe"}; },
       "disk2 would hold"},
      {"not a program", [&](PackagePlan &p) { p.setupExe = scratch + "/text"; },
       "not a Linux or Windows program"},
      {"the wrong system", [&](PackagePlan &p) { p.setupExe = scratch + "/elf", p.target = "windows"; },
       "a linux program, not one for the target windows"},
      {"a Linux setup program", [&](PackagePlan &p) { p.setupExe = scratch + "/elf"; }, "", "setup"},
      {"a Windows setup program", [&](PackagePlan &p) { p.setupExe = scratch + "/mz"; }, "", "setup.exe"},
  };
  const std::vector<std::string> oldLayout = {"disk2", "setup.exe"};
  const std::vector<std::string> laidOut = {".mkpackage", "disk1", "disk2", "disk3", "setup.exe"};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    // An older layout in one directory: it stays when the new one does not fit.
    freshDir(scratch + "/pkg");
    ASSERT_EQ(mkdir((scratch + "/pkg/disk2").c_str(), 0755), 0);
    writeHostFile(scratch + "/pkg/disk2/quorvel.z", Bytes{'o', 'l', 'd'});
    writeHostFile(scratch + "/pkg/setup.exe", Bytes{'M', 'Z'});
    PackagePlan plan;
    plan.outDir = scratch + "/pkg";
    plan.disks = plan.generate = plan.replace = true;
    c.change(plan);
    PackageResult result;
    std::string error;
    EXPECT_EQ(makePackage(plan, &result, &error), !*c.error) << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_FALSE(result.ioFailure);
    EXPECT_EQ(listDir(scratch + "/pkg"), *c.error ? oldLayout : laidOut);
    EXPECT_EQ(readHostFile(scratch + "/pkg/disk2/quorvel.z") == (Bytes{'o', 'l', 'd'}), *c.error != '\0');
    for (const std::string name : {"setup", "setup.exe"}) {
      EXPECT_EQ(hostExists(scratch + "/pkg/disk1/" + name), name == c.setupName) << name;
    }
  }
}

// A plan file says what the command line says: written and read back it is
// the same plan, a relative path in it is taken from its own directory, and
// a line it cannot take is named with its number.
TEST_F(ZarcArchive, MkpackagePlanFilesRoundTrip) {
  PackagePlan plan;
  plan.outDir = scratch + "/pkg";
  plan.disks = plan.optionalFiles = true;
  plan.diskSize = 2949120;
  plan.target = "windows";
  plan.setupExe = scratch + "/setup.exe";
  plan.files["readme.txt"] = scratch + "/readme";
  plan.quorvelMembers = {scratch + "/a.exe", scratch + "/b.txt"};
  plan.quorvelMemberModes = {ImplodeMode::Binary, ImplodeMode::Ascii};
  plan.dictBits = 5;
  plan.settings = {{"RegNo", "DN97-"}, {"HomePage", "home.htm"}};
  std::string text = planText(plan);
  writeHostFile(scratch + "/plan.ini", Bytes(text.begin(), text.end()));
  PackagePlan back;
  std::string error;
  ASSERT_TRUE(readPlan(scratch + "/plan.ini", &back, &error)) << error;
  EXPECT_EQ(planText(back), text);

  const std::string relative = "[Package]\nOut=out\nLayout=disks\n[Files]\nreadme.txt=../r.txt\n[quorvel.z]\nascii=m\n";
  ASSERT_EQ(mkdir((scratch + "/plans").c_str(), 0755), 0);
  writeHostFile(scratch + "/plans/p.ini", Bytes(relative.begin(), relative.end()));
  back = PackagePlan();
  ASSERT_TRUE(readPlan(scratch + "/plans/p.ini", &back, &error)) << error;
  EXPECT_EQ(back.outDir, scratch + "/plans/out");
  EXPECT_EQ(back.files["readme.txt"], scratch + "/plans/../r.txt");
  EXPECT_EQ(back.quorvelMembers, std::vector<std::string>{scratch + "/plans/m"});
  EXPECT_TRUE(back.disks);

  const std::string bad[][2] = {{"[Package]\nLayout=floppy\n", "p.ini:2: bad value for Layout"},
                                {"[Package]\nOutput=x\n", "p.ini:2: unknown key Output"},
                                {"[Members]\n", "p.ini:1: unknown section [Members]"},
                                {"[quorvel.z]\nimplode=m\n", "p.ini:2: a member line is"},
                                {std::string("[Package]\nOut=a\0b\n", 18), "p.ini:2: Out holds a control character (0x00)"},
                                {"[setup.ini]\nRegNo=a\rX=1\n", "p.ini:2: RegNo holds a control character (0x0d)"}};
  for (const auto &b : bad) {
    writeHostFile(scratch + "/plans/p.ini", Bytes(b[0].begin(), b[0].end()));
    EXPECT_FALSE(readPlan(scratch + "/plans/p.ini", &back, &error));
    EXPECT_NE(error.find(b[1]), std::string::npos) << error;
  }
}

}  // namespace
