// The wizard in this process: start-up, the directory checks, the dialog sequence, the bar, Cancel, faults.
#include <string.h>
#include <sys/stat.h>

#include "resource.h"
#include "transfer_prompts.h"
#include "wizard.h"
#include "wizard_fixture.h"

namespace {

const char kFull[] = " Quorvel requires at least 8.0 MB of free disk space.";

std::string escaped(const std::string &s) {
  std::string out;
  for (char c : s) out += c == '\\' || c == '"' ? std::string("\\") + c : std::string(1, c);
  return out;
}

std::string box(const std::string &text) {
  return "message caption=\"Quorvel Installation\" text=\"" + escaped(text) +
         "\" icon=MB_ICONERROR buttons=MB_OK answer=OK";
}

// The directory dialog alone: what Next does with a typed directory and a drive's free space.
TEST_F(WizardTest, DirectoryDialogChecks) {
  const std::string fifty = "c:\\" + std::string(47, 'd'), fiftyOne = fifty + "e", full = kFull;
  const struct {
    std::string typed;
    unsigned long long freeOnC;
    std::string message;  // "": accepted; installDir is what was typed, "c:\\" taken as "c:"
  } cases[] = {
      {"c:\\dunmere", 7999999, "There are only 7.9 MBs free on drive c:\\." + full},
      {"c:\\x\\y", 7654321, "There are only 7.6 MBs free on drive c:\\." + full},
      {"c:\\dunmere", 8000000, ""},
      {"c:\\", 8000000, ""},
      {"d:", 8000000, ""},
      {"foo", 8000000, "There are only 0.0 MBs free on drive foo\\." + full},
      {"", 8000000, "Please enter the Quorvel directory."},
      {fifty, 8000000, ""},
      {fiftyOne, 8000000,
       "The directory name " + fiftyOne + " is too long. Please enter a directory of at most 50 characters."},
  };
  makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");
  w32::setFreeSpaceOverride('d', 8000000);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.typed);
    w32::setFreeSpaceOverride('c', c.freeOnC);
    std::string answers = "dialog 2 edit 101 \"" + escaped(c.typed) + "\" press 201\n";
    if (!c.message.empty()) answers += "message \"*\" OK\ndialog 2 press 203\n";
    w32::setAnswers(answers);
    size_t before = events().size();
    INT_PTR end = DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_DIRECTORY), nullptr, directoryDialogProc, 0);
    EXPECT_EQ(end, c.message.empty() ? IDC_NEXT : IDC_CANCEL);
    EXPECT_EQ(setupState.installDir, c.typed == "c:\\" ? "c:" : c.typed);
    EXPECT_EQ(w32::scriptError(), "");
    std::vector<std::string> shown = events();
    shown.erase(shown.begin(), shown.begin() + static_cast<long>(before));
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[2], c.message.empty() ? "dialog id=2 event=end" : box(c.message));
  }
}

// Catches Escape or the close box acting, Back then Next not offering WIN.INI's directory again, a write early.
TEST_F(WizardTest, SequenceBackEscapeAndCancel) {
  makeTestPackage("pkg", false, false);
  w32::mapDrive('d', scratch + "/pkg");
  ASSERT_TRUE(WriteProfileStringA("Dunmere Network Quorvel", "Main", "c:\\earlier"));
  Bytes winIni = readWin("c:\\windows\\win.ini");
  EXPECT_EQ(runInProcess("dialog 4 escape close press 201\n"
                         "dialog 1 escape press 201\n"
                         "dialog 2 edit 101 \"e:\\\\typed\" close press 202\n"
                         "dialog 1 press 201\n"
                         "dialog 2 press 203\n"),
            SETUP_RESULT_CANCELLED);
  EXPECT_EQ(w32::scriptError(), "");
  EXPECT_EQ(events(), (std::vector<std::string>{
                          "dialog id=4 event=show caption=\"Welcome to Quorvel!\"",
                          "dialog id=4 event=press control=2",
                          "dialog id=4 event=press control=2",
                          "dialog id=4 event=press control=201",
                          "dialog id=4 event=end",
                          "dialog id=1 event=show caption=\"Quorvel Installation\"",
                          "dialog id=1 event=press control=2",
                          "dialog id=1 event=press control=201",
                          "dialog id=1 event=end",
                          "dialog id=2 event=show caption=\"Quorvel Installation\" edit101=\"c:\\\\earlier\"",
                          "dialog id=2 event=press control=2 edit101=\"e:\\\\typed\"",
                          "dialog id=2 event=press control=202 edit101=\"e:\\\\typed\"",
                          "dialog id=2 event=end",
                          "dialog id=1 event=show caption=\"Quorvel Installation\"",
                          "dialog id=1 event=press control=201",
                          "dialog id=1 event=end",
                          "dialog id=2 event=show caption=\"Quorvel Installation\" edit101=\"c:\\\\earlier\"",
                          "dialog id=2 event=press control=203 edit101=\"c:\\\\earlier\"",
                          "dialog id=2 event=end",
                      }));
  EXPECT_FALSE(hostExists(prefix + "/system.reg"));
  EXPECT_FALSE(hostExists(host("c:\\earlier")));
  EXPECT_EQ(readWin("c:\\windows\\win.ini"), winIni);
}

// Start-up: string 1's total (62 characters, blanks, a sign, digits), the lower-cased source directory,
// and one too long for the package paths refused before any dialog.
TEST_F(WizardTest, StartUp) {
  const struct {
    std::string text;
    uint32_t total;
  } cases[] = {
      {" \t\n1500000", 1500000},
      {"+200", 200},
      {"-0", 0},
      {"--5", 0},
      {"+ 5", 0},
      {"1500x99", 1500},
      {"x1500", 0},
      {"", 0},
      {std::string(61, '0') + "9", 9},     // 62 characters: all read
      {std::string(62, '0') + "9", 0},     // 63: the last one is not
      {" " + std::string(60, '0') + "42", 4},
  };
  w32::setModuleFileName("A:\\SETUP.EXE");
  for (const auto &c : cases) {
    w32::setStringResource(IDS_TOTAL_BYTES, c.text.c_str());
    ASSERT_EQ(startUp(nullptr), 1);
    EXPECT_EQ(progressMeter.totalBytes.load(), c.total) << '"' << c.text << '"';
    EXPECT_EQ(progressMeter.bytesPerPercent.load(), c.total / 100) << '"' << c.text << '"';
  }
  w32::setStringResource(IDS_TOTAL_BYTES, nullptr);  // the resource's own
  ASSERT_EQ(startUp(nullptr), 1);
  EXPECT_STREQ(setupState.sourceDir, "a:\\");
  EXPECT_EQ(progressMeter.totalBytes.load(), 1500000u);

  std::string fits = "D:\\" + std::string(55, 'S') + "\\", tooLong = "D:\\" + std::string(56, 'S') + "\\";
  w32::setModuleFileName((fits + "SETUP.EXE").c_str());
  ASSERT_EQ(startUp(nullptr), 1);
  EXPECT_EQ(strlen(setupState.sourceDir), 59u);
  w32::setModuleFileName((tooLong + "SETUP.EXE").c_str());
  // The directory is shown as the program uses it, in lower case.
  std::string shown = "d:\\" + std::string(56, 's') + "\\";
  EXPECT_EQ(runInProcess("message \"Quorvel Setup cannot read its files from " + escaped(shown) +
                         " because the path is too long.*\" OK\n"),
            SETUP_RESULT_NOT_STARTED);
  EXPECT_EQ(w32::scriptError(), "");
  EXPECT_EQ(events().size(), 1u);  // the message, and no dialog
}

// A whole run into a directory with a blank: the bar follows the meter up to 100; the program starts, quoted.
TEST_F(WizardTest, InstallsAndStartsTheProgram) {
  // Under the total of 1,500,000 bytes, so the last position is the meter's.
  PackageResult package = makeTestPackage("pkg", false, false, 100000);
  ASSERT_LT(package.progressTotal, 1500000u);
  w32::mapDrive('d', scratch + "/pkg");
  EXPECT_EQ(runInProcess("dialog 4 press 201\ndialog 1 press 201\ndialog 2 edit 101 \"c:\\\\my dir\" press 201\n"
                         "dialog 3 wait\n"),
            0);
  EXPECT_EQ(w32::scriptError(), "");
  std::vector<std::string> all = events(true);
  int last = 0;
  for (const std::string &line : all) {
    if (line.compare(0, 13, "progress pos=") != 0) continue;
    int pos = atoi(line.c_str() + 13);
    EXPECT_GT(pos, last) << line;
    EXPECT_LE(pos, 100) << line;
    last = pos;
  }
  uint64_t reached = package.progressTotal / 15000 + 1;
  EXPECT_EQ(last, static_cast<int>(reached > 100 ? 100 : reached));
  std::vector<std::string> shown = events();
  std::vector<std::string> tail(shown.end() - 4, shown.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"dialog id=3 event=show caption=\"Quorvel Installation\"",
                                            "status text=\"Adding Quorvel group...\"",
                                            "exec cmdline=\"\\\"c:\\\\my dir\\\\quorvel\\\\quorvel.exe\\\" main\"",
                                            "dialog id=3 event=end"}));
  EXPECT_EQ(quorvelValue("MainDir"), "c:\\my dir");
}

// Cancel answered No goes on; Yes ends the dialog at once while the worker waits on a slow drive, then stops.
TEST_F(WizardTest, CancelNoThenYes) {
  makeTestPackage("pkg", false, false, 100000);
  w32::mapDrive('d', scratch + "/pkg");
  w32::setDriveSpeed('d', 2000000);
  EXPECT_EQ(runInProcess(kWizard + "dialog 3 at 5 press 203\n"
                         "message \"Are you sure you want to cancel installation?\" No\n"
                         "dialog 3 at 20 press 203\n"
                         "message \"Are you sure you want to cancel installation?\" Yes\n"),
            SETUP_RESULT_CANCELLED);
  EXPECT_EQ(w32::scriptError(), "");
  std::vector<std::string> shown = events();
  ASSERT_GE(shown.size(), 4u);
  const std::string ask =
      "message caption=\"Quorvel Installation\" text=\"Are you sure you want to cancel installation?\" "
      "icon=MB_ICONQUESTION buttons=MB_YESNO answer=";
  EXPECT_EQ(std::vector<std::string>(shown.end() - 5, shown.end()),
            (std::vector<std::string>{"dialog id=3 event=press control=203", ask + "No",
                                      "dialog id=3 event=press control=203", ask + "Yes", "dialog id=3 event=end"}));
  EXPECT_EQ(setupState.cancelRequested.load(), 1);
  EXPECT_EQ(quorvelValue("MainDir"), "(none)");
  EXPECT_FALSE(hostExists(host("c:\\dunmere\\quorvel\\wsystem.z")));
}

// Every platform call of a whole run fails once, in turn: each run prompts or finishes, nothing left open.
// Every registry, profile and DDE call of an upgrade fails once, in turn: it installs, names the failure
// and says "installed with errors", never a silent success.
TEST_F(WizardTest, FaultSweeps) {
  makeTestPackage("pkg", false, false, 2000);
  auto runOnce = [&](w32::Fault cls, long n, bool upgrade) {
    w32::resetForTest(prefix + "/run" + std::to_string(static_cast<int>(cls)) + "-" + std::to_string(n));
    clearSetupState();
    w32::setModuleFileName("D:\\SETUP.EXE");
    w32::mapDrive('d', scratch + "/pkg");
    if (upgrade) layOutEarlierInstallation("c:\\oldq", {"Main=c:\\oldq"});
    long before = w32::callCount(cls);
    if (n > 0) w32::armFault(cls, n, false);
    int status = w32::finishRun(runInProcess(upgrade ? kInstall + "message \"*\" OK\n" : kInstall));
    w32::clearFaults();
    return std::make_pair(status, w32::callCount(cls) - before);
  };
  long calls = runOnce(w32::Fault::Any, 0, false).second;
  ASSERT_GT(calls, 50);
  for (long n = 1; n <= calls; n++) {
    runOnce(w32::Fault::Any, n, false);
    std::string text = w32::transcript();
    bool finished = text.find("exec cmdline=") != std::string::npos;
    bool prompted = text.find("\nmessage ") != std::string::npos;
    EXPECT_TRUE(finished || prompted) << "fault at call " << n << ":\n" << text;
    EXPECT_EQ(w32::openHandleCount(), 0) << "fault at call " << n;
    EXPECT_EQ(w32::heapBlockCount(), 0) << "fault at call " << n;
  }
  const struct {
    w32::Fault cls;
    const char *kind;
  } classes[] = {{w32::Fault::Profile, "profile"}, {w32::Fault::Registry, "registry"}, {w32::Fault::Dde, "dde"}};
  int runs = 0;
  for (const auto &c : classes) {
    auto clean = runOnce(c.cls, 0, true);
    ASSERT_EQ(clean.first, w32::kRunInstalled) << w32::transcript();
    ASSERT_GT(clean.second, 0) << c.kind;
    for (long n = 1; n <= clean.second; n++, runs++) {
      int status = runOnce(c.cls, n, true).first;
      std::string text = w32::transcript();
      EXPECT_EQ(status, w32::kRunWithErrors) << c.kind << " call " << n << ":\n" << text;
      EXPECT_NE(text.find(std::string("\nfailed kind=") + c.kind + " "), std::string::npos) << c.kind << " call " << n;
      EXPECT_NE(text.find("result code=3 text=\"installed with errors\""), std::string::npos);
      EXPECT_NE(text.find("exec cmdline="), std::string::npos) << c.kind << " call " << n;
    }
  }
  EXPECT_GT(runs, 20);
}

}  // namespace
