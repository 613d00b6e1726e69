// The real setup binary, run with answer files: its transcript, exit status
// and what it leaves on the prefix.
#include <string.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "wizard_fixture.h"

namespace {

const char kWizard[] = "dialog 4 press 201\ndialog 1 press 201\ndialog 2 press 201\n";

bool contains(const std::vector<std::string> &lines, const std::string &line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// From a directory on D:: the transcript a driver outside the process sees,
// and the end state.
TEST_F(WizardTest, BinaryFreshInstallFromADirectory) {
  PackageResult package = makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");
  BinaryRun run = runBinary(scratch + "/pkg", std::string(kWizard) + "dialog 3 wait\n");
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(lines(run.transcript), (std::vector<std::string>{
                                       "dialog id=4 event=show caption=\"Welcome to Quorvel!\"",
                                       "dialog id=4 event=press control=201",
                                       "dialog id=4 event=end",
                                       "dialog id=1 event=show caption=\"Quorvel Installation\"",
                                       "dialog id=1 event=press control=201",
                                       "dialog id=1 event=end",
                                       "dialog id=2 event=show caption=\"Quorvel Installation\" edit101=\"c:\\\\dunmere\"",
                                       "dialog id=2 event=press control=201 edit101=\"c:\\\\dunmere\"",
                                       "dialog id=2 event=end",
                                       "dialog id=3 event=show caption=\"Quorvel Installation\"",
                                       "status text=\"Adding Quorvel group...\"",
                                       "exec cmdline=\"c:\\\\dunmere\\\\quorvel\\\\quorvel.exe main\"",
                                       "dialog id=3 event=end",
                                       "result code=0 text=\"installed\"",
                                   }));
  EXPECT_EQ(run.errors, "");
  for (const PackagedFile &f : package.files) {
    if (f.name == "quorvel.z") continue;
    EXPECT_EQ(readWin(("c:\\dunmere\\quorvel\\" + f.name).c_str()), readHostFile(f.hostPath)) << f.name;
  }
  for (const ArchiveCreated &m : package.quorvelMembers) {
    EXPECT_EQ(readWin(("c:\\dunmere\\quorvel\\" + m.name).c_str()),
              readHostFile(package.quorvelMembersDir + "/" + m.name));
  }
  EXPECT_EQ(quorvelValue("MainDir"), "c:\\dunmere");
  EXPECT_EQ(quorvelValue("RegNo"), "Q-1234");
  EXPECT_EQ(quorvelValue("HomePage"), "http://www.dunmere.example/");
  EXPECT_NE(w32::progmanGroupsText().find("Item2=Read me|c:\\dunmere\\quorvel\\readme.txt"), std::string::npos);
}

// Three floppies from A:: disk 2 is not in the drive when asked for; the
// retry after it goes in succeeds.
TEST_F(WizardTest, BinaryFloppiesWithARetry) {
  PackageResult package = makeTestPackage("floppy", true, false);
  std::string disks = scratch + "/floppy/disk";
  w32::mapDrive('a', disks + "1");
  BinaryRun run = runBinary(disks + "1", std::string(kWizard) + "dialog 3 wait\n" +
                                             "message \"Please insert the disk labeled \\\"Quorvel Disk #2\\\".\" OK\n"
                                             "insert a: " + disks + "2\n"
                                             "message \"Please ensure that Quorvel Disk #2 is in drive a:\\\\.\" Retry\n"
                                             "insert a: " + disks + "3\n"
                                             "message \"Please insert the disk labeled \\\"Quorvel Disk #3\\\".\" OK\n");
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  std::vector<std::string> shown = lines(run.transcript);
  EXPECT_TRUE(contains(shown, "message caption=\"Quorvel Installation\" text=\"Please ensure that Quorvel Disk #2 is "
                              "in drive a:\\\\.\" icon=MB_ICONWARNING buttons=MB_RETRYCANCEL answer=Retry"))
      << run.transcript;
  EXPECT_EQ(shown.back(), "result code=0 text=\"installed\"");
  EXPECT_EQ(listDir(host("c:\\dunmere\\quorvel")).size(), package.files.size() - 1 + package.quorvelMembers.size());
}

// An earlier installation: its directory is offered and taken over, the
// upgrade is announced, its WIN.INI section goes.
TEST_F(WizardTest, BinaryUpgrade) {
  makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");
  mkdir(host("c:\\oldq").c_str(), 0755);
  mkdir(host("c:\\oldq\\register").c_str(), 0755);
  ASSERT_TRUE(WritePrivateProfileStringA("Quorvel Registration", "Version", "2.1", "c:\\oldq\\register\\register.ini"));
  ASSERT_TRUE(WriteProfileStringA("Dunmere Network Quorvel", "Main", "c:\\oldq"));
  BinaryRun run = runBinary(scratch + "/pkg", std::string(kWizard) + "dialog 3 wait\nmessage \"*\" OK\n");
  EXPECT_EQ(run.status, 0) << run.errors;
  std::vector<std::string> shown = lines(run.transcript);
  EXPECT_TRUE(contains(shown, "dialog id=2 event=show caption=\"Quorvel Installation\" edit101=\"c:\\\\oldq\""));
  EXPECT_NE(run.transcript.find("message caption=\"Quorvel\" "), std::string::npos) << run.transcript;
  EXPECT_TRUE(contains(shown, "exec cmdline=\"c:\\\\oldq\\\\quorvel\\\\quorvel.exe main\""));
  char main[64] = "";
  GetProfileStringA("Dunmere Network Quorvel", "Main", "", main, sizeof main);
  EXPECT_STREQ(main, "");
  EXPECT_TRUE(hostExists(host("c:\\oldq\\quorvel\\readme.txt")));
}

// Cancel while the worker reads a slow drive: the dialog ends at once and
// the process exits promptly; nothing after the cancelled transfer is done.
TEST_F(WizardTest, BinaryCancelOnASlowDrive) {
  PackageResult package = makeTestPackage("pkg", false, false, 200000);
  w32::mapDrive('d', scratch + "/pkg");
  const unsigned long speed = 400000;  // the whole package would take about 5.5 s
  BinaryRun run = runBinary(scratch + "/pkg", "at-start insert d: " + scratch + "/pkg speed " + std::to_string(speed) +
                                                  "\n" + kWizard + "dialog 3 at 10 press 203\n" +
                                                  "message \"Are you sure you want to cancel installation?\" Yes\n");
  EXPECT_EQ(run.status, 1) << run.errors;
  std::vector<std::string> shown = lines(run.transcript);
  ASSERT_GE(shown.size(), 2u);
  EXPECT_EQ(shown.end()[-2], "dialog id=3 event=end");
  EXPECT_EQ(shown.back(), "result code=1 text=\"cancelled\"");
  EXPECT_EQ(run.transcript.find("exec "), std::string::npos);
  EXPECT_LT(run.seconds, 0.5 * static_cast<double>(package.progressTotal) / speed) << run.transcript;
  EXPECT_EQ(quorvelValue("MainDir"), "(none)");
  EXPECT_EQ(w32::progmanGroupsText(), "");
  EXPECT_FALSE(hostExists(host("c:\\dunmere\\quorvel\\wsystem.z")));
}

// A damaged member of quorvel.z: its prompt, answered Cancel, ends the run.
TEST_F(WizardTest, BinaryDamagedMember) {
  PackageResult package = makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");
  std::string archive = scratch + "/pkg/quorvel.z";
  Bytes bytes = readHostFile(archive);
  ASSERT_GT(bytes.size(), 200u);
  // The first member's stream starts after the directory; make its header
  // name a dictionary size the format does not have.
  uint32_t offset = bytes[25] | bytes[26] << 8 | bytes[27] << 16 | static_cast<uint32_t>(bytes[28]) << 24;
  ASSERT_LT(offset + 1, bytes.size());
  bytes[offset + 1] = 9;
  writeHostFile(archive, bytes);
  BinaryRun run = runBinary(scratch + "/pkg", std::string(kWizard) + "dialog 3 wait\n" +
                                                  "message \"Can't write file c:\\\\dunmere\\\\quorvel\\\\*\" Cancel\n");
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(lines(run.transcript).back(), "result code=1 text=\"cancelled\"");
  EXPECT_EQ(run.transcript.find("exec "), std::string::npos);
  EXPECT_EQ(quorvelValue("MainDir"), "(none)");
}

// A bad answer file, a mismatch, and no answer file at all: a clear error
// and exit status 2, before anything is changed.
TEST_F(WizardTest, BinaryAnswerFileErrors) {
  makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");
  BinaryRun bad = runBinary(scratch + "/pkg", "dialog 4 press 201\ndialog 1 jump\n");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.errors.find("answer file line 2: unknown step jump"), std::string::npos) << bad.errors;
  BinaryRun wrong = runBinary(scratch + "/pkg", "dialog 1 press 201\n");
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.errors.find("it answers dialog 1, not dialog 4"), std::string::npos) << wrong.errors;
  EXPECT_FALSE(hostExists(host("c:\\dunmere")));

  std::string program = scratch + "/pkg/setup";
  std::string command = "W32_PREFIX=" + prefix + " W32_ANSWERS= " + program + " </dev/null 2>" + scratch + "/err";
  EXPECT_EQ(WEXITSTATUS(system(command.c_str())), 2);
  std::ifstream err(scratch + "/err");
  std::string said((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
  EXPECT_NE(said.find("run it in a terminal"), std::string::npos) << said;
  EXPECT_NE(said.find("W32_ANSWERS=FILE"), std::string::npos) << said;
}

// Every run ends with a status a script can read, and the transcript's last
// line says the same: a prefix that is not the user's own and one another
// setup holds are not started; a step whose write fails is installed with
// errors; a file size limit is a full disk that prompts, not the end of the
// process.
TEST_F(WizardTest, BinaryRunsEndWithAResult) {
  makeTestPackage("pkg", false, false, 100000);
  w32::mapDrive('d', scratch + "/pkg");
  const std::string install = std::string(kWizard) + "dialog 3 wait\n";
  std::string shared = scratch + "/shared-prefix";
  mkdir(shared.c_str(), 0777);
  chmod(shared.c_str(), 0777);
  BinaryRun refused = runBinary(scratch + "/pkg", install, {"W32_PREFIX=" + shared});
  EXPECT_EQ(refused.status, 4) << refused.errors;
  EXPECT_NE(refused.errors.find("can be written by other users"), std::string::npos) << refused.errors;
  EXPECT_EQ(lines(refused.transcript).back(), "result code=4 text=\"not started\"");
  EXPECT_FALSE(hostExists(shared + "/drive_c"));

  // The prefix's lock, held as another setup would.
  int lock = open((prefix + "/setup.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  BinaryRun waited = runBinary(scratch + "/pkg", install, {"W32_PREFIX_WAIT=1"});
  close(lock);
  EXPECT_EQ(waited.status, 4) << waited.errors;
  EXPECT_EQ(lines(waited.transcript).front().substr(0, 52), "wait text=\"another program is running on this prefix")
      << waited.transcript;
  EXPECT_FALSE(hostExists(host("c:\\dunmere")));

  BinaryRun limited = runBinary(scratch + "/pkg", install + "message \"Can't write file*\" Cancel\n", {}, 50000);
  EXPECT_EQ(limited.status, 1) << limited.errors;
  EXPECT_EQ(lines(limited.transcript).back(), "result code=1 text=\"cancelled\"");

  mkdir((prefix + "/progman").c_str(), 0755);
  mkdir((prefix + "/progman/groups.ini").c_str(), 0755);  // cannot be written
  BinaryRun errors = runBinary(scratch + "/pkg", install);
  EXPECT_EQ(errors.status, 3) << errors.errors;
  EXPECT_NE(errors.transcript.find("failed kind=dde call=DdeClientTransaction command=\"[CreateGroup(Quorvel)]\""),
            std::string::npos)
      << errors.transcript;
  EXPECT_EQ(lines(errors.transcript).back(), "result code=3 text=\"installed with errors\"");
  EXPECT_EQ(quorvelValue("MainDir"), "c:\\dunmere");
}

}  // namespace
