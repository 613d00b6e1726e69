// Whole installation runs (one into a directory that ends in a backslash is
// the upgrade run's, in config_run_test.cpp).
#include <sys/stat.h>
#include <unistd.h>

#include "install_sequence.h"
#include "engine_fixture.h"

namespace {

std::string insertDisk(int n) {
  return "message caption=\"Quorvel Installation\" text=\"Please insert the disk labeled \\\"Quorvel Disk #" +
         std::to_string(n) + "\\\".\" icon=MB_ICONERROR buttons=MB_OK answer=OK";
}
const char kMissingOnD[] =
    "message caption=\"Quorvel Installation\" text=\"Please ensure the following Quorvel files are located in "
    "d:\\\\:\\r\\n\\r\\nquorvel.z\\r\\nnetscape.z\\r\\nreadme.txt\\r\\nsetup.exe\" icon=MB_ICONWARNING "
    "buttons=MB_RETRYCANCEL answer=";

// From a directory, with the 9 files of the list and the 2 optional ones
// (the wizard's runs install one without them).
TEST_F(ScenarioTest, SingleDirectoryWithTheOptionalFiles) {
  PackageResult package = makeTestPackage("pkg", false, true);
  ASSERT_EQ(package.files.size(), 11u);
  w32::mapDrive('d', scratch + "/pkg");
  EXPECT_EQ(run("d:\\"), 1);
  EXPECT_STREQ(setupState.targetDir, "c:\\dunmere\\quorvel\\");
  EXPECT_EQ(setupState.multiDisk, 0);
  EXPECT_EQ(setupState.diskNumber, 3);
  EXPECT_TRUE(messages().empty()) << w32::transcript();
  expectInstalled(package);
  // The meter counted exactly what mkpackage said it would.
  EXPECT_EQ(progressMeter.bytesDone.load(), package.progressTotal);
  EXPECT_GT(takeProgressPosts(), 0);
  char status[64] = "";
  GetWindowTextA(statusText, status, sizeof status);
  EXPECT_STREQ(status, "Adding Quorvel group...");
}

// A floppy set: the disk messages after disk 1 and disk 2; disk 2 not
// inserted at first: the source-missing prompt names Disk #2, and the disk
// goes in before Retry.
TEST_F(ScenarioTest, FloppyDiskTwoMissingThenInserted) {
  PackageResult package = makeTestPackage("floppy", true, true);
  w32::mapDrive('a', scratch + "/floppy/disk1");
  std::string answers = "message \"*Disk #2*\" OK\n"
                        "insert a: " + scratch + "/floppy/disk2\n" +
                        "message \"Please ensure that Quorvel Disk #2 is in drive a:\\.\" Retry\n" + "insert a: " +
                        scratch + "/floppy/disk3\n" + "message \"*Disk #3*\" OK\n";
  EXPECT_EQ(run("a:\\", answers), 1) << w32::transcript();
  EXPECT_EQ(messages(), (std::vector<std::string>{insertDisk(2),
                                                  "message caption=\"Quorvel Installation\" text=\"Please ensure "
                                                  "that Quorvel Disk #2 is in drive a:\\\\.\" icon=MB_ICONWARNING "
                                                  "buttons=MB_RETRYCANCEL answer=Retry",
                                                  insertDisk(3)}));
  EXPECT_EQ(setupState.multiDisk, 1);
  expectInstalled(package);
}

// A file missing from the source: the prompt lists the same files whichever
// is missing. Retry, once the file is there, installs everything; Cancel
// touches nothing after the cancelled transfer.
TEST_F(ScenarioTest, MissingFileRetriedOrCancelled) {
  PackageResult package = makeTestPackage("full", false, false);
  for (const char *missing : {"javaclss.z", "readme.txt"}) {
    const std::string answer = missing[0] == 'j' ? "Retry" : "Cancel";
    SCOPED_TRACE(answer);
    restart(prefix + "/" + answer);
    makeTestPackage(answer, false, false);
    ASSERT_EQ(unlink((scratch + "/" + answer + "/" + missing).c_str()), 0);
    w32::mapDrive('d', scratch + "/" + answer);
    const std::string answers = "insert d: " + scratch + "/full\nmessage \"Please ensure*\" " + answer + "\n";
    EXPECT_EQ(run("d:\\", answers), answer == "Retry") << w32::transcript();
    EXPECT_EQ(messages(), std::vector<std::string>{kMissingOnD + answer});
    EXPECT_EQ(w32::progmanCommands().empty(), answer == "Cancel");
    if (answer == "Retry") {
      expectInstalled(package);
    } else {
      const std::vector<std::string> before = {"javaclss.z", "netscape.z", "nsystem.z", "plugins.z"};
      EXPECT_EQ(installedNames(), before) << "nothing after the cancelled transfer";
    }
  }
}

// A read-only destination answered Retry, then Cancel: the prompt's text is
// the answer file's to match (its box is the fault sweep's to check).
TEST_F(ScenarioTest, ReadOnlyDestination) {
  makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");
  makeWinDir("c:\\dunmere\\quorvel");
  writeWin("c:\\dunmere\\quorvel\\nprogram.z", Bytes{'o', 'l', 'd'});
  ASSERT_EQ(chmod(host("c:\\dunmere\\quorvel\\nprogram.z").c_str(), 0444), 0);
  // In the answer file's quoted text \\ stands for one backslash.
  std::string prompt = "message \"Can't write file c:\\\\dunmere\\\\quorvel\\\\nprogram.z (may be in use).\" ";
  EXPECT_EQ(run("d:\\", prompt + "Retry\n" + prompt + "Cancel\n"), 0) << w32::transcript();
  EXPECT_EQ(w32::scriptError(), "");
  EXPECT_EQ(messages().size(), 2u) << w32::transcript();
  EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\nprogram.z"), (Bytes{'o', 'l', 'd'}));
  EXPECT_FALSE(hostExists(host("c:\\dunmere\\quorvel\\quorvel.exe")));
}

// An installation directory whose target would not fit: nothing is
// created under a shortened name and each transfer is refused.
TEST_F(ScenarioTest, InstallationDirectoryTooLongForTheTarget) {
  makeTestPackage("pkg", false, false, 100);
  w32::mapDrive('d', scratch + "/pkg");
  std::string installDir = "c:\\" + std::string(66, 'l');  // 69 characters
  std::string target = installDir + "\\quorvel\\";
  std::string answers = "message \"Can't write file *\" Retry\nmessage \"Can't write file *\" Cancel\n";
  EXPECT_EQ(run("d:\\", answers, installDir.c_str()), 0);
  EXPECT_EQ(std::string(setupState.targetDir), target.substr(0, 71));
  EXPECT_EQ(std::string(setupState.failingPath), target.substr(0, 71));
  EXPECT_EQ(messages().size(), 2u);
  // The installation directory exists (it fits) and stays empty.
  EXPECT_EQ(listDir(w32::hostPath(installDir.c_str())), std::vector<std::string>{});
}

}  // namespace
