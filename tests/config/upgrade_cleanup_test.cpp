// The clean-up of an earlier installation: detection, the notice, the
// takeover, the SYSTEM.INI filter, the directory removal and its guard.
#include <string.h>

#include <string>
#include <vector>

#include "config_fixture.h"
#include "config_steps.h"
#include "upgrade_cleanup.h"

namespace {

const char kNotice[] =
    "message caption=\"Quorvel\" text=\"Thank you for upgrading to Quorvel for Windows 95.\\r\\n\\r\\n"
    "1. You will no longer be using the Internet Dialer to connect to Dunmere Network. Follow the on-line "
    "instructions to learn how to use Dial-Up Networking, the built-in tool for Windows 95.\\r\\n\\r\\n"
    "2. Your Netscape Navigator will be upgraded to the newest version, but your bookmarks and news files will "
    "be retained.\" icon=MB_ICONINFORMATION buttons=MB_OK answer=OK\n";

// A SYSTEM.INI with the dialer's and the old stack's lines on both sides of
// the [386Enh] header, for a dialer in c:\dunmere\dialer.
const char kSystemIni[] =
    "[boot]\r\n"
    "shell=Explorer.exe\r\n"
    "device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
    "\r\n"
    "[386Enh]\r\n"
    "device=*vmm\r\n"
    "device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
    "device=c:\\dunmere\\tcppro\\bin\\vtcprac.386\r\n"
    "path=c:\\100%\\%s%d\r\n"
    "\r\n"
    "[drivers]\r\n"
    "device=c:\\dunmere\\dialer\\bin\\vntstimd.exe\r\n";
const char kSystemIniFiltered[] =
    "[boot]\r\n"
    "shell=Explorer.exe\r\n"
    "device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
    "\r\n"
    "[386Enh]\r\n"
    "device=*vmm\r\n"
    "path=c:\\100%\\%s%d\r\n"
    "\r\n"
    "[drivers]\r\n";

// Without a dialer only the old stack's line goes.
const char kSystemIniStackOnly[] =
    "[boot]\r\nshell=Explorer.exe\r\ndevice=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n\r\n[386Enh]\r\n"
    "device=*vmm\r\ndevice=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\npath=c:\\100%\\%s%d\r\n\r\n[drivers]\r\n"
    "device=c:\\dunmere\\dialer\\bin\\vntstimd.exe\r\n";

class CleanupTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    strcpy(setupState.installDir, "d:\\other");
  }

  // The usual earlier installation: main directory c:\dunmere, dialer in
  // c:\dunmere\dialer with files in bin, app and etc, nts.ini, SYSTEM.INI.
  void layOutUsual(const std::vector<std::string> &keys) {
    layOutEarlierInstallation("c:\\dunmere", keys);
    for (const char *sub : {"bin", "app", "etc"}) {
      makeWinDir(std::string("c:\\dunmere\\dialer\\") + sub);
      writeWin(std::string("c:\\dunmere\\dialer\\") + sub + "\\file.dat", sub);
    }
    writeWin("c:\\dunmere\\dialer\\dialer.exe", "MZ");
    makeWinDir("c:\\wirevane\\bin");
    writeWin("c:\\wirevane\\bin\\wv.386", "wv");
    writeWin("C:\\WINDOWS\\nts.ini", "[nts]\r\n");
    writeSystemIni(kSystemIni);
  }

  std::string profile(const char *section, const char *key) {
    char buffer[300];
    memset(buffer, 'J', sizeof buffer);
    GetProfileStringA(section, key, "(none)", buffer, sizeof buffer);
    return buffer;
  }

  int runWithNotice() {
    w32::setAnswers("message \"Thank you for upgrading*\" OK\n");
    int result = cleanUpEarlierInstallation(dialog);
    EXPECT_EQ(w32::scriptError(), "");
    EXPECT_EQ(w32::answersLeft(), 0) << "the upgrade notice was not shown";
    return result;
  }
};

// ---- No earlier installation: nothing is touched ------------------------

TEST_F(CleanupTest, WithoutAnEarlierInstallationNothingChanges) {
  struct Case {
    const char *what;
    const char *winIniSection;    // the Dunmere section, "" for none
    const char *registerIni;      // c:\dunmere\register\register.ini, nullptr for none
  };
  const Case cases[] = {
      {"no section", "", "[Quorvel Registration]\r\nVersion=2.1\r\n"},
      {"Main empty", "[Dunmere Network Quorvel]\r\nMain=\r\nEudora=yes\r\nDialer=c:\\dunmere\\dialer\r\n",
       "[Quorvel Registration]\r\nVersion=2.1\r\n"},
      {"Main without its register.ini", "[Dunmere Network Quorvel]\r\nMain=c:\\dunmere\r\nEudora=yes\r\n", nullptr},
      {"Version empty", "[Dunmere Network Quorvel]\r\nMain=c:\\dunmere\r\nEudora=yes\r\n",
       "[Quorvel Registration]\r\nVersion=\r\n"},
      {"Version in another section", "[Dunmere Network Quorvel]\r\nMain=c:\\dunmere\r\n",
       "[Registration]\r\nVersion=2.1\r\n"},
      {"Main too long for its register.ini path",
       "[Dunmere Network Quorvel]\r\nMain=c:\\dunmere\\aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n",
       "[Quorvel Registration]\r\nVersion=2.1\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    layOutUsual({});
    writeWinIni(std::string("[windows]\r\nload=\r\n") + c.winIniSection);
    if (c.registerIni != nullptr) {
      writeWin("c:\\dunmere\\register\\register.ini", c.registerIni);
    } else {
      ASSERT_EQ(remove(host("c:\\dunmere\\register\\register.ini").c_str()), 0);
    }
    TreeSnapshot before = snapshotDriveC();
    w32::setAnswers("");
    EXPECT_EQ(cleanUpEarlierInstallation(dialog), 0);
    EXPECT_EQ(snapshotDriveC(), before);
    EXPECT_STREQ(setupState.installDir, "d:\\other");
    EXPECT_EQ(setupState.hadEudora, 0);
    EXPECT_EQ(w32::transcript(), "") << "a message was shown";
  }
}

// ---- An earlier installation -------------------------------------------

TEST_F(CleanupTest, EarlierInstallationIsAnnouncedTakenOverAndRemoved) {
  struct Case {
    const char *what;
    std::vector<std::string> keys;
    int hadEudora;
    std::vector<const char *> gone;   // directories removed
    std::vector<const char *> kept;   // files that stay
    const char *systemIni;            // expected
  };
  const char *dialerGone[] = {"c:\\dunmere\\dialer\\bin", "c:\\dunmere\\dialer\\app", "c:\\dunmere\\dialer\\etc",
                              "c:\\dunmere\\dialer"};
  const Case cases[] = {
      {"Dialer, and a Wirevane that is not used",
       {"Main=c:\\dunmere", "Eudora=c:\\eudora", "Dialer=c:\\dunmere\\dialer", "Wirevane=c:\\wirevane"},
       1,
       {dialerGone[0], dialerGone[1], dialerGone[2], dialerGone[3], "c:\\dunmere\\register"},
       {"c:\\wirevane\\bin\\wv.386"},
       kSystemIniFiltered},
      {"Dialer empty, Wirevane used",
       {"Main=c:\\dunmere", "Dialer=", "Wirevane=c:\\wirevane"},
       0,
       {"c:\\wirevane\\bin", "c:\\wirevane", "c:\\dunmere\\register"},
       {"c:\\dunmere\\dialer\\bin\\file.dat", "c:\\dunmere\\dialer\\dialer.exe"},
       kSystemIniStackOnly},
      {"neither: only the registration directory goes",
       {"Main=c:\\dunmere", "Eudora="},
       0,
       {"c:\\dunmere\\register"},
       {"c:\\dunmere\\dialer\\bin\\file.dat", "c:\\wirevane\\bin\\wv.386"},
       kSystemIniStackOnly},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    layOutUsual(c.keys);
    strcpy(setupState.installDir, "d:\\other");
    setupState.hadEudora = 0;
    EXPECT_EQ(runWithNotice(), 1);
    EXPECT_STREQ(setupState.installDir, "c:\\dunmere");
    EXPECT_EQ(setupState.hadEudora, c.hadEudora);

    EXPECT_EQ(profile("Dunmere Network Quorvel", "Main"), "(none)");
    EXPECT_EQ(profile("Dunmere Network Quorvel", "Dialer"), "(none)");
    EXPECT_EQ(profile("windows", "load"), "");
    EXPECT_EQ(profile("Desktop", "Wallpaper"), "(None)");
    EXPECT_EQ(winIni().find("Dunmere"), std::string::npos) << winIni();

    EXPECT_FALSE(existsWin("C:\\WINDOWS\\nts.ini"));
    EXPECT_EQ(systemIni(), c.systemIni);
    EXPECT_EQ(readWin("C:\\WINDOWS\\SYSTEM.OLD"), c.systemIni);
    for (const char *dir : c.gone) EXPECT_FALSE(existsWin(dir)) << dir;
    for (const char *file : c.kept) EXPECT_TRUE(existsWin(file)) << file;
    EXPECT_TRUE(existsWin("c:\\dunmere")) << "the main directory itself stays";
  }
}

TEST_F(CleanupTest, NoticeTextCaptionAndIcon) {
  layOutUsual({"Main=c:\\dunmere", "Dialer=c:\\dunmere\\dialer"});
  runWithNotice();
  EXPECT_EQ(w32::transcript(), kNotice);
}

TEST_F(CleanupTest, InstallDirTakeOver) {
  struct Case {
    const char *what;
    std::string main;
    std::string installDir;   // afterwards
  };
  // installDir\quorvel\NAME must fit: the directory dialog's limit of 50.
  const std::string long50 = "c:\\dunmere\\" + std::string(39, 'l');
  const std::string long51 = long50 + "m";
  const std::string long69 = "c:\\dunmere\\" + std::string(58, 'l');
  const std::string long70 = long69 + "m";
  const Case cases[] = {
      {"Main replaces the directory typed in the dialog", "c:\\dunmere", "c:\\dunmere"},
      {"exactly 50 characters", long50, long50},
      {"50 characters and a last backslash", long50 + "\\", long50 + "\\"},
      {"51 characters: no room for the files, not taken over", long51, "d:\\other"},
      {"69 characters: not taken over", long69, "d:\\other"},
      {"longer than installDir holds: not taken over cut short", long70, "d:\\other"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    layOutEarlierInstallation(c.main, {"Main=" + c.main});
    writeSystemIni("[386Enh]\r\n");
    strcpy(setupState.installDir, "d:\\other");
    EXPECT_EQ(runWithNotice(), 1);
    EXPECT_EQ(std::string(setupState.installDir), c.installDir);
    std::string registration = c.main + "\\register";
    EXPECT_FALSE(existsWin(registration)) << "registration directory of " << c.main;
  }
}

TEST_F(CleanupTest, StepsBeforeSystemIniStayDoneWhenItStops) {
  struct Case {
    const char *what;
    std::string text;  // SYSTEM.INI
    bool present;      // false: there is no SYSTEM.INI
  };
  const Case cases[] = {
      {"a zero byte", "[386Enh]\r\ndevice=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n" + std::string("key=a\0b\r\n", 9),
       true},
      {"no SYSTEM.INI", "", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    layOutUsual({"Main=c:\\dunmere", "Dialer=c:\\dunmere\\dialer"});
    remove(host("C:\\WINDOWS\\SYSTEM.OLD").c_str());
    if (c.present) {
      writeSystemIni(c.text);
    } else {
      ASSERT_EQ(remove(host("C:\\WINDOWS\\SYSTEM.INI").c_str()), 0);
    }
    EXPECT_EQ(runWithNotice(), 0);
    if (c.present) {
      EXPECT_EQ(systemIni(), c.text) << "SYSTEM.INI must stay as it was";
    }
    EXPECT_FALSE(existsWin("C:\\WINDOWS\\SYSTEM.OLD"));
    // Steps 9 to 11 are done...
    EXPECT_FALSE(existsWin("C:\\WINDOWS\\nts.ini"));
    EXPECT_EQ(profile("Dunmere Network Quorvel", "Main"), "(none)");
    char version[16];
    memset(version, 'J', sizeof version);
    GetPrivateProfileStringA("Quorvel Registration", "Version", "(none)", version, sizeof version,
                             "c:\\dunmere\\register\\register.ini");
    EXPECT_STREQ(version, "") << "the key stays, with an empty value";
    EXPECT_NE(readWin("c:\\dunmere\\register\\register.ini").find("User=someone"), std::string::npos);
    // ...and no directory is removed.
    EXPECT_TRUE(existsWin("c:\\dunmere\\register\\register.ini"));
    EXPECT_TRUE(existsWin("c:\\dunmere\\dialer\\bin\\file.dat"));
  }
}

TEST_F(CleanupTest, RunningTwiceDoesNothingTheSecondTime) {
  layOutUsual({"Main=c:\\dunmere", "Eudora=x", "Dialer=c:\\dunmere\\dialer"});
  ASSERT_EQ(runWithNotice(), 1);
  TreeSnapshot after = snapshotDriveC();
  strcpy(setupState.installDir, "d:\\second");
  setupState.hadEudora = 0;
  w32::setAnswers("");
  EXPECT_EQ(cleanUpEarlierInstallation(dialog), 0);
  EXPECT_EQ(snapshotDriveC(), after);
  EXPECT_STREQ(setupState.installDir, "d:\\second");
  EXPECT_EQ(setupState.hadEudora, 0);
  EXPECT_EQ(w32::scriptError(), "") << "a second notice was shown";
}

// ---- The SYSTEM.INI filter -----------------------------------------------

TEST_F(CleanupTest, SystemIniFilter) {
  struct Case {
    const char *what;
    std::string main;      // WIN.INI Main (the old stack base is c:\dunmere whatever it is)
    std::string in;
    std::string out;
  };
  const std::string dl = "device=c:\\dunmere\\dialer\\bin\\vntspsd.386";  // 40 characters
  const std::string a254(254, 'a');
  const std::string b600(600, 'b');
  const Case cases[] = {
      {"a device line before the header stays, after it goes", "c:\\dunmere",
       dl + "\r\n[386Enh]\r\n" + dl + "\r\n", dl + "\r\n[386Enh]\r\n"},
      {"header in lower case, device line in upper case", "c:\\dunmere",
       "[386enh]\r\nDEVICE=C:\\DUNMERE\\DIALER\\BIN\\VNTSPSD.386\r\nDevice=C:\\Dunmere\\Tcppro\\Bin\\Vntstimd.exe\r\n",
       "[386enh]\r\n"},
      {"the header anywhere in a line sets the flag", "c:\\dunmere",
       "; moved from [386Enh] long ago\r\n" + dl + "\r\n", "; moved from [386Enh] long ago\r\n"},
      {"all six lines go; others with spaces or other paths stay", "c:\\dunmere",
       "[386Enh]\r\n"
       "device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
       "device=c:\\dunmere\\dialer\\bin\\vtcprac.386\r\n"
       "device=c:\\dunmere\\dialer\\bin\\vntstimd.exe\r\n"
       "device=c:\\dunmere\\tcppro\\bin\\vntspsd.386\r\n"
       "device=c:\\dunmere\\tcppro\\bin\\vtcprac.386\r\n"
       "device=c:\\dunmere\\tcppro\\bin\\vntstimd.exe\r\n"
       "device = c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
       " device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
       "device=c:\\dunmere\\dialer\\bin\\vntspsd.386 \r\n"
       "device=c:\\dunmere\\dialer\\bin\\vntspsd.3860\r\n"
       "device=c:\\dunmere\\dialer\\vntspsd.386\r\n"
       "device=*vmm\r\n",
       "[386Enh]\r\n"
       "device = c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
       " device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
       "device=c:\\dunmere\\dialer\\bin\\vntspsd.386 \r\n"
       "device=c:\\dunmere\\dialer\\bin\\vntspsd.3860\r\n"
       "device=c:\\dunmere\\dialer\\vntspsd.386\r\n"
       "device=*vmm\r\n"},
      {"the flag stays set in later sections", "c:\\dunmere",
       "[386Enh]\r\nx=1\r\n[Other]\r\n" + dl + "\r\n[More]\r\ny=2\r\n", "[386Enh]\r\nx=1\r\n[Other]\r\n[More]\r\ny=2\r\n"},
      {"the old stack's lines are c:\\dunmere's, whatever Main was", "c:\\apps\\dun",
       "[386Enh]\r\ndevice=c:\\apps\\dun\\tcppro\\bin\\vntspsd.386\r\ndevice=c:\\dunmere\\tcppro\\bin\\vntspsd.386\r\n",
       "[386Enh]\r\ndevice=c:\\apps\\dun\\tcppro\\bin\\vntspsd.386\r\n"},
      {"percent signs stay exactly", "c:\\dunmere", "[386Enh]\r\npath=%PATH%;c:\\100%\\%s%n%d\r\n%\r\n",
       "[386Enh]\r\npath=%PATH%;c:\\100%\\%s%n%d\r\n%\r\n"},
      {"LF line ends are written as CR LF", "c:\\dunmere", "[386Enh]\n" + dl + "\nx=1\n", "[386Enh]\r\nx=1\r\n"},
      {"a last line without a line end", "c:\\dunmere", "[386Enh]\r\nx=1\r\n" + dl, "[386Enh]\r\nx=1\r\n"},
      {"a kept last line without a line end", "c:\\dunmere", "[386Enh]\r\nx=1", "[386Enh]\r\nx=1"},
      {"Ctrl-Z at the end is dropped", "c:\\dunmere", "[386Enh]\r\n" + dl + "\r\nx=1\r\n\x1A",
       "[386Enh]\r\nx=1\r\n"},
      {"Ctrl-Z with line ends after it", "c:\\dunmere", "[386Enh]\r\nx=1\r\n\x1A\r\n\x1A\n", "[386Enh]\r\nx=1\r\n"},
      // What follows a Ctrl-Z in the middle is not read as text; it is
      // carried over unchanged, Ctrl-Z first, so nothing is lost.
      {"text after a Ctrl-Z in the middle", "c:\\dunmere",
       "[386Enh]\r\n" + dl + "\r\n\x1A" + dl + "\r\n[after]\n\x1Ax=1\r\n",
       "[386Enh]\r\n\x1A" + dl + "\r\n[after]\n\x1Ax=1\r\n"},
      {"a Ctrl-Z then a single letter", "c:\\dunmere", "[386Enh]\r\n" + dl + "\r\n\x1A\r\nx",
       "[386Enh]\r\n\x1A\r\nx"},
      {"an empty file", "c:\\dunmere", "", ""},
      {"a line of 254 characters arrives as itself and a bare line end", "c:\\dunmere",
       "[386Enh]\r\n" + a254 + "\r\n" + dl + "\r\n", "[386Enh]\r\n" + a254 + "\r\n"},
      {"a line of 600 characters passes in three pieces", "c:\\dunmere", "[386Enh]\r\n" + b600 + "\r\nx=1\r\n",
       "[386Enh]\r\n" + b600 + "\r\nx=1\r\n"},
      // The last 40 characters of this 294-character line arrive as a piece
      // equal to a device line; being the tail of a longer line, it stays.
      {"a long line whose last piece is a device line", "c:\\dunmere",
       "[386Enh]\r\n" + a254 + dl + "\r\nnext=1\r\n", "[386Enh]\r\n" + a254 + dl + "\r\nnext=1\r\n"},
      {"the same long line before the header stays whole", "c:\\dunmere",
       a254 + dl + "\r\n[386Enh]\r\n", a254 + dl + "\r\n[386Enh]\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    layOutEarlierInstallation(c.main, {"Main=" + c.main, "Dialer=c:\\dunmere\\dialer"});
    writeSystemIni(c.in);
    EXPECT_EQ(runWithNotice(), 1);
    EXPECT_EQ(systemIni(), c.out);
    EXPECT_EQ(readWin("C:\\WINDOWS\\SYSTEM.OLD"), c.out);
  }
}

TEST_F(CleanupTest, DeviceLinesWithoutADialerDirectory) {
  layOutEarlierInstallation("c:\\dunmere", {"Main=c:\\dunmere"});
  writeSystemIni("[386Enh]\r\ndevice=\\bin\\vntspsd.386\r\ndevice=\\BIN\\VNTSTIMD.EXE\r\ndevice=bin\\vtcprac.386\r\n");
  EXPECT_EQ(runWithNotice(), 1);
  EXPECT_EQ(systemIni(), "[386Enh]\r\ndevice=bin\\vtcprac.386\r\n");
}

// ---- Directory removal ---------------------------------------------------

TEST_F(CleanupTest, DirectoryRemovalDoesNotDescend) {
  struct Case {
    const char *what;
    std::vector<std::string> dirs;    // made under c:\old
    std::vector<std::string> files;   // written under c:\old, each holding its own name
    TreeSnapshot left;                // what stays under c:\old
    bool dirStays;
  };
  const Case cases[] = {
      {"only files: all go, then the directory", {}, {"a.txt", "B.DLL", "noext"}, {}, false},
      {"a subdirectory stays with its files", {"sub"}, {"a.txt", "sub\\inner.txt"},
       {{"/sub/inner.txt", "sub\\inner.txt"}}, true},
      {"an empty subdirectory stays", {"sub"}, {"a.txt"}, {{"/sub/", ""}}, true},
      {"names beginning with a full stop are skipped", {}, {".hidden", "a.txt"}, {{"/.hidden", ".hidden"}}, true},
      {"an empty directory is removed", {}, {}, {}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    makeWinDir("c:\\old");
    for (const std::string &d : c.dirs) makeWinDir("c:\\old\\" + d);
    for (const std::string &f : c.files) writeWin("c:\\old\\" + f, f);
    EXPECT_EQ(removeOldDirectory("c:\\old"), 1);
    EXPECT_EQ(existsWin("c:\\old"), c.dirStays);
    if (c.dirStays) {
      EXPECT_EQ(snapshotTree(host("c:\\old")), c.left);
      ASSERT_EQ(system(("rm -rf '" + host("c:\\old") + "'").c_str()), 0);
    }
  }
  EXPECT_EQ(removeOldDirectory("c:\\no such dir"), 1);
}

TEST_F(CleanupTest, RemovalNeverTouchesRootWindowsOrTarget) {
  struct Case {
    const char *dialer;
    const char *marker;  // a file that must stay
  };
  const Case cases[] = {
      {"C:\\WINDOWS", "C:\\WINDOWS\\marker.dll"},
      {"c:\\windows.", "C:\\WINDOWS\\marker.dll"},
      {"C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\SYSTEM\\marker.drv"},
      {"c:\\windows\\system\\..\\system\\.\\", "C:\\WINDOWS\\SYSTEM\\marker.drv"},
      {"c:\\windows\\system32", "C:\\WINDOWS\\SYSTEM32\\marker.dll"},
      {"C:\\", "C:\\autoexec.bat"},
      {"c:", "C:\\autoexec.bat"},
      {"c:\\dunmere\\..\\..", "C:\\autoexec.bat"},
      {"c:\\dunmere\\quorvel", "c:\\dunmere\\quorvel\\quorvel.exe"},
      {"c:\\dunmere\\\\quorvel ", "c:\\dunmere\\quorvel\\quorvel.exe"},
      {"dunmere\\quorvel", "c:\\dunmere\\quorvel\\quorvel.exe"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.dialer);
    freshPrefix();
    layOutEarlierInstallation("c:\\dunmere", {"Main=c:\\dunmere", std::string("Dialer=") + c.dialer});
    writeSystemIni("[386Enh]\r\n");
    makeWinDir("C:\\WINDOWS\\SYSTEM");
    makeWinDir("C:\\WINDOWS\\SYSTEM32");
    makeWinDir("c:\\dunmere\\quorvel");
    writeWin(c.marker, "keep");
    EXPECT_EQ(runWithNotice(), 1);
    EXPECT_TRUE(existsWin(c.marker)) << c.marker;
    EXPECT_TRUE(existsWin("C:\\WINDOWS\\SYSTEM.INI"));
    EXPECT_FALSE(existsWin("c:\\dunmere\\register")) << "the registration directory still goes";
  }
  // The guard does not stop an ordinary dialer directory next to the target.
  freshPrefix();
  layOutEarlierInstallation("c:\\dunmere", {"Main=c:\\dunmere", "Dialer=c:\\dunmere\\quorvel2"});
  makeWinDir("c:\\dunmere\\quorvel2");
  writeWin("c:\\dunmere\\quorvel2\\x.exe", "x");
  EXPECT_EQ(runWithNotice(), 1);
  EXPECT_FALSE(existsWin("c:\\dunmere\\quorvel2"));
}

}  // namespace
