// Whole installation runs: single directory and floppy sets, missing files
// answered Retry and Cancel, a read-only destination, an allocation failure,
// and an installation directory that does not fit (one that ends in a
// backslash is the upgrade run's, in config_run_test.cpp).
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "install_sequence.h"
#include "engine_fixture.h"

namespace {

// The message that asks for disk n of a floppy set.
std::string insertDisk(int n) {
  return "message caption=\"Quorvel Installation\" text=\"Please insert the disk labeled \\\"Quorvel Disk #" +
         std::to_string(n) + "\\\".\" icon=MB_ICONERROR buttons=MB_OK answer=OK";
}
const char kMissingOnD[] =
    "message caption=\"Quorvel Installation\" text=\"Please ensure the following Quorvel files are located in "
    "d:\\\\:\\r\\n\\r\\nquorvel.z\\r\\nnetscape.z\\r\\nreadme.txt\\r\\nsetup.exe\" icon=MB_ICONWARNING "
    "buttons=MB_RETRYCANCEL answer=";
const char kCannotWrite[] =
    "message caption=\"Quorvel Installation\" text=\"Can't write file c:\\\\dunmere\\\\quorvel\\\\nprogram.z "
    "(may be in use).\" icon=MB_ICONWARNING buttons=MB_RETRYCANCEL answer=";

// From a directory, with the 9 files of the list, or 11 with the optional files.
TEST_F(ScenarioTest, SingleDirectoryWithoutAndWithTheOptionalFiles) {
  for (bool optional : {false, true}) {
    const std::string name = optional ? "with" : "without";
    restart(prefix + "/" + name);
    PackageResult package = makeTestPackage(name, false, optional);
    ASSERT_EQ(package.files.size(), optional ? 11u : 9u);
    w32::mapDrive('d', scratch + "/" + name);

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

TEST_F(ScenarioTest, MissingFileRetriedAfterItIsSupplied) {
  PackageResult package = makeTestPackage("full", false, false);
  makeTestPackage("partial", false, false);
  ASSERT_EQ(unlink((scratch + "/partial/javaclss.z").c_str()), 0);
  w32::mapDrive('d', scratch + "/partial");
  std::string answers = "insert d: " + scratch + "/full\n" + "message \"Please ensure the following Quorvel files*\" Retry\n";
  EXPECT_EQ(run("d:\\", answers), 1) << w32::transcript();
  EXPECT_EQ(messages(), std::vector<std::string>{kMissingOnD + std::string("Retry")});
  expectInstalled(package);
}

TEST_F(ScenarioTest, MissingFileCancelled) {
  makeTestPackage("partial", false, true);
  ASSERT_EQ(unlink((scratch + "/partial/readme.txt").c_str()), 0);
  w32::mapDrive('d', scratch + "/partial");
  EXPECT_EQ(run("d:\\", "message \"Please ensure*setup.exe\" Cancel\n"), 0);
  // The same list of files whichever is missing.
  EXPECT_EQ(messages(), std::vector<std::string>{kMissingOnD + std::string("Cancel")});
  // Nothing after the cancelled transfer is touched.
  EXPECT_EQ(installedNames(), (std::vector<std::string>{"javaclss.z", "netscape.z", "nsystem.z", "plugins.z"}));
  char status[64] = "";
  GetWindowTextA(statusText, status, sizeof status);
  EXPECT_STRNE(status, "Adding Quorvel group...");
}

TEST_F(ScenarioTest, ReadOnlyDestination) {
  makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");
  makeWinDir("c:\\dunmere\\quorvel");
  writeWin("c:\\dunmere\\quorvel\\nprogram.z", Bytes{'o', 'l', 'd'});
  ASSERT_EQ(chmod(host("c:\\dunmere\\quorvel\\nprogram.z").c_str(), 0444), 0);
  // In the answer file's quoted text \\ stands for one backslash.
  std::string prompt = "message \"Can't write file c:\\\\dunmere\\\\quorvel\\\\nprogram.z (may be in use).\" ";
  EXPECT_EQ(run("d:\\", prompt + "Retry\n" + prompt + "Cancel\n"), 0) << w32::transcript();
  EXPECT_EQ(messages(),
            (std::vector<std::string>{kCannotWrite + std::string("Retry"), kCannotWrite + std::string("Cancel")}));
  EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\nprogram.z"), (Bytes{'o', 'l', 'd'}));
  EXPECT_FALSE(hostExists(host("c:\\dunmere\\quorvel\\quorvel.exe")));
}

TEST_F(ScenarioTest, AllocationFailureIsFatalWithoutRetry) {
  makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");
  w32::armFault(w32::Fault::Alloc, 1, false);
  EXPECT_EQ(run("d:\\", "message \"A fatal error occurred (might be out of memory).\" OK\n"), 0);
  EXPECT_EQ(messages(), std::vector<std::string>{"message caption=\"Quorvel Installation\" text=\"A fatal error "
                                                 "occurred (might be out of memory).\" icon=MB_ICONWARNING "
                                                 "buttons=MB_OK answer=OK"});
  EXPECT_EQ(installedNames(), std::vector<std::string>{"nsystem.z"});
  EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\nsystem.z").size(), 0u);
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
