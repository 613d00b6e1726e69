// The installation sequence over an earlier installation (what its steps
// hand on to each other; a fresh machine's run is the wizard's), and a fault
// sweep over the configuration steps.
#include <string.h>

#include <string>
#include <vector>

#include "engine_fixture.h"
#include "config_steps.h"
#include "install_sequence.h"

namespace {

const char kSystemIni[] =
    "[boot]\r\nshell=Explorer.exe\r\n[386Enh]\r\ndevice=*vmm\r\ndevice=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
    "DEVICE=C:\\DUNMERE\\TCPPRO\\BIN\\VNTSTIMD.EXE\r\nkeyboard=%kbd%\r\n";
const char kSystemIniFiltered[] = "[boot]\r\nshell=Explorer.exe\r\n[386Enh]\r\ndevice=*vmm\r\nkeyboard=%kbd%\r\n";

class RunTest : public ScenarioTest {
 protected:
  void layOutUpgrade(const std::string &main) {
    layOutEarlierInstallation(main, {"Main=" + main, "Eudora=c:\\eudora", "Dialer=c:\\dunmere\\dialer"});
    makeWinDir("c:\\dunmere\\dialer\\bin");
    writeWin("c:\\dunmere\\dialer\\bin\\vntspsd.386", "driver");
    writeWin("C:\\WINDOWS\\nts.ini", "[nts]\r\n");
    writeSystemIni(kSystemIni);
  }
};

TEST_F(RunTest, UpgradeRunEndsWithRegistryAndGroup) {
  layOutUpgrade("c:\\dunmere\\");  // the earlier Main ends with a backslash
  settings = {{"RegNo", "DN-"}, {"IsRegNoAPrefix", "Yes"}, {"HomePage", "home.htm"}, {"HDHomePage", "1"}};
  makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");

  ASSERT_EQ(run("d:\\", "message \"Thank you for upgrading*\" OK\n", "c:\\typed"), 1) << w32::scriptError();
  EXPECT_EQ(w32::scriptError(), "");
  EXPECT_STREQ(setupState.installDir, "c:\\dunmere\\");
  EXPECT_STREQ(setupState.targetDir, "c:\\dunmere\\quorvel\\");
  EXPECT_TRUE(existsWin("c:\\dunmere\\quorvel\\readme.txt"));
  EXPECT_FALSE(existsWin("c:\\typed\\quorvel"));

  EXPECT_EQ(systemIni(), kSystemIniFiltered);
  EXPECT_EQ(winIni().find("Dunmere Network Quorvel"), std::string::npos);

  EXPECT_EQ(quorvelValue("MainDir"), "c:\\dunmere") << "one trailing backslash removed";
  EXPECT_EQ(quorvelValue("RegNoPrefix"), "DN-");
  EXPECT_EQ(quorvelValue("LocalURLPath"), "c:\\dunmere\\www\\home.htm");
  EXPECT_EQ(quorvelValue("Quorvel31Eudora"), "TRUE") << "the mark the clean-up found";

  const std::vector<std::string> commands = {
      "[CreateGroup(Quorvel)]",
      "[AddItem(c:\\dunmere\\quorvel\\quorvel.exe, Registration & Utilities, c:\\dunmere\\quorvel\\quorvel.exe)]",
      "[AddItem(c:\\dunmere\\quorvel\\readme.txt, Read me, c:\\dunmere\\quorvel\\notep001.ico)]",
  };
  EXPECT_EQ(w32::progmanCommands(), commands);
}

// SYSTEM.INI after a run under faults: the old text, or the old text less
// either or both of its two device lines. A failed read of WIN.INI's Dialer
// (or Main, for the old stack) leaves its line out of the filter, so the
// run filters with what it could read; nothing else may differ.
bool isOldOrFiltered(const std::string &text) {
  const std::string dialerLine = "device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n";
  const std::string stackLine = "DEVICE=C:\\DUNMERE\\TCPPRO\\BIN\\VNTSTIMD.EXE\r\n";
  for (int keep = 0; keep < 4; ++keep) {
    std::string expected = kSystemIni;
    if (!(keep & 1)) expected.erase(expected.find(dialerLine), dialerLine.size());
    if (!(keep & 2)) expected.erase(expected.find(stackLine), stackLine.size());
    if (text == expected) return true;
  }
  return false;
}

// Every platform call of the three steps made to fail in turn, once and
// from then on: SYSTEM.INI is never cut short or mixed, nothing left open.
TEST_F(RunTest, FaultSweepOverTheConfigurationSteps) {
  int sawOld = 0, sawFiltered = 0;
  for (bool persistent : {false, true}) {
    long n = 1;
    for (;; ++n) {
      SCOPED_TRACE("call " + std::to_string(n) + (persistent ? " and later fail" : " fails"));
      freshPrefix();
      layOutUpgrade("c:\\dunmere");
      strcpy(setupState.installDir, "c:\\dunmere");
      strcpy(setupState.sourceDir, "c:\\src\\");
      makeWinDir("c:\\src");
      writeWin("c:\\src\\setup.ini", "[Quorvel]\r\nRegNo=1\r\nHomePage=h.htm\r\n");
      w32::setAnswers("message \"*\" OK\nmessage \"*\" OK\nmessage \"*\" OK\nmessage \"*\" OK\n");
      long before = w32::callCount(w32::Fault::Any);
      w32::armFault(w32::Fault::Any, n, persistent);

      cleanUpEarlierInstallation(dialog);
      writeRegistrySettings("c:\\dunmere");
      startProgramGroup();
      createProgramGroup("Quorvel");
      addProgramItem("Read me", "c:\\dunmere\\quorvel\\", "readme.txt", "c:\\dunmere\\quorvel\\", "notep001.ico");
      endProgramGroup();

      long calls = w32::callCount(w32::Fault::Any) - before;
      w32::clearFaults();
      EXPECT_EQ(w32::openHandleCount(), 0);
      std::string text = systemIni();
      EXPECT_TRUE(isOldOrFiltered(text)) << text;
      sawOld += text == kSystemIni;
      sawFiltered += text == kSystemIniFiltered;
      if (calls < n) break;  // the fault was never reached: every call has had its turn
      ASSERT_LT(n, 2000) << "the sweep does not end";
    }
    EXPECT_GT(n, 20) << "too few calls to sweep";
  }
  EXPECT_GT(sawOld, 0);
  EXPECT_GT(sawFiltered, 0);
}

}  // namespace
