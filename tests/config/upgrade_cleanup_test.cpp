// The clean-up of an earlier installation: detection, the notice, the
// takeover, the SYSTEM.INI filter, the directory removal and its guard; the
// bounded text the guard's paths are made with.
#include <string.h>

#include <string>
#include <vector>

#include "bounded_text.h"
#include "config_steps.h"
#include "config_text.h"
#include "engine_fixture.h"
#include "upgrade_cleanup.h"

namespace {

const char kNotice[] =
    "message caption=\"Quorvel\" text=\"Thank you for upgrading to Quorvel for Windows 95.\\r\\n\\r\\n"
    "1. You will no longer be using the Internet Dialer to connect to Dunmere Network. Follow the on-line "
    "instructions to learn how to use Dial-Up Networking, the built-in tool for Windows 95.\\r\\n\\r\\n"
    "2. Your Netscape Navigator will be upgraded to the newest version, but your bookmarks and news files will "
    "be retained.\" icon=MB_ICONINFORMATION buttons=MB_OK answer=OK\n";

// A SYSTEM.INI with the dialer's and the old stack's lines on both sides of
// the [386Enh] header, for a dialer in c:\dunmere\dialer, and the lines an
// empty dialer directory makes.
const std::string kDialerLine = "device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n";
const std::string kDialerDriversLine = "device=c:\\dunmere\\dialer\\bin\\vntstimd.exe\r\n";
const std::string kStackLine = "device=c:\\dunmere\\tcppro\\bin\\vtcprac.386\r\n";
const std::string kEmptyDirLines = "device=\\bin\\vntspsd.386\r\nDEVICE=\\BIN\\VNTSTIMD.EXE\r\n";
const std::string kSystemIni = "[boot]\r\nshell=Explorer.exe\r\n" + kDialerLine + "\r\n" +
                               "[386Enh]\r\ndevice=*vmm\r\n" + kDialerLine + kStackLine + kEmptyDirLines +
                               "device=bin\\vtcprac.386\r\npath=c:\\100%\\%s%d\r\n\r\n" +
                               "[drivers]\r\n" + kDialerDriversLine;

// kSystemIni less these lines, each taken from the [386Enh] header on.
std::string systemIniLess(const std::vector<std::string> &lines) {
  std::string text = kSystemIni;
  for (const std::string &line : lines) text.erase(text.find(line, text.find("[386Enh]")), line.size());
  return text;
}

class CleanupTest : public EngineTest {
 protected:
  // The usual earlier installation of mainDir: a dialer in c:\dunmere\dialer
  // with files in bin, app and etc, a Wirevane directory, nts.ini, SYSTEM.INI.
  void layOutUsual(const std::string &mainDir, const std::vector<std::string> &keys) {
    layOutEarlierInstallation(mainDir, keys);
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

  // Runs the clean-up, answering the upgrade notice, which must be shown once.
  int runWithNotice() {
    w32::setAnswers("message \"Thank you for upgrading*\" OK\n");
    int result = cleanUpEarlierInstallation(dialog);
    EXPECT_EQ(w32::scriptError(), "");
    EXPECT_EQ(w32::transcript(), kNotice);
    return result;
  }
};

// No earlier installation, or one already cleaned up (a second run): nothing is touched.
TEST_F(CleanupTest, WithoutAnEarlierInstallationNothingChanges) {
  struct Case {
    const char *what;
    std::string winIniSection;  // the Dunmere section, "" for none
    std::string registerIni;    // c:\dunmere\register\register.ini
  };
  const std::string dn = "[Dunmere Network Quorvel]\r\n", reg = "[Quorvel Registration]\r\nVersion=2.1\r\n";
  const Case cases[] = {
      {"no section", "", reg},
      {"Main empty", dn + "Main=\r\nEudora=yes\r\nDialer=c:\\dunmere\\dialer\r\n", reg},
      {"Version empty", dn + "Main=c:\\dunmere\r\nEudora=yes\r\n", "[Quorvel Registration]\r\nVersion=\r\n"},
      {"Version in another section", dn + "Main=c:\\dunmere\r\n", "[Registration]\r\nVersion=2.1\r\n"},
      {"Main too long for its register.ini path", dn + "Main=c:\\" + std::string(260, 'a') + "\r\n", reg},
  };
  strcpy(setupState.installDir, "d:\\other");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    layOutUsual("c:\\dunmere", {});
    writeWin("C:\\WINDOWS\\win.ini", "[windows]\r\nload=\r\n" + c.winIniSection);
    writeWin("c:\\dunmere\\register\\register.ini", c.registerIni);
    TreeSnapshot before = snapshotTree(prefix + "/drive_c");
    EXPECT_EQ(cleanUpEarlierInstallation(dialog), 0);
    EXPECT_EQ(snapshotTree(prefix + "/drive_c"), before);
    EXPECT_STREQ(setupState.installDir, "d:\\other");
    EXPECT_EQ(setupState.hadEudora, 0);
    EXPECT_EQ(w32::transcript(), "") << "a message was shown";
  }
}

// Runs over an earlier installation: the directory taken over (when
// installDir\quorvel\NAME fits the directory dialog's limit of 50), the
// WIN.INI section and nts.ini gone, SYSTEM.INI filtered with a copy in
// SYSTEM.OLD, the old directories removed, but never the root, the Windows
// directories or the target, however they are written.
struct Upgrade {
  std::string what;
  std::vector<std::string> keys;  // the WIN.INI section; Main first
  std::string installDir;         // afterwards
  std::string systemIni;          // afterwards
  std::vector<std::string> gone;  // directories and files removed (a missing directory is made)
  std::vector<std::string> kept;  // files that stay (made when missing)
  int hadEudora;
};

TEST_F(CleanupTest, EarlierInstallationIsAnnouncedTakenOverAndRemoved) {
  const std::string dunmere = "c:\\dunmere", reg = "c:\\dunmere\\register";
  const std::string stackOnly = systemIniLess({kStackLine});
  const std::string filtered = systemIniLess({kDialerLine, kStackLine, kDialerDriversLine});
  auto takeOver = [&](const std::string &main, const std::string &installDir) {
    return Upgrade{"Main " + main, {"Main=" + main}, installDir,
                   systemIniLess({kStackLine, kEmptyDirLines}), {main + "\\register"}, {}, 0};
  };
  auto guarded = [&](const std::string &dialer, const std::string &marker) {
    return Upgrade{"Dialer " + dialer, {"Main=c:\\dunmere", "Dialer=" + dialer}, dunmere, stackOnly, {reg}, {marker},
                   0};
  };
  const std::string long50 = "c:\\dunmere\\" + std::string(39, 'l'), long69 = "c:\\dunmere\\" + std::string(58, 'l');
  const Upgrade cases[] = {
      {"Dialer, and a Wirevane that is not used",
       {"Main=c:\\dunmere", "Eudora=c:\\eudora", "Dialer=c:\\dunmere\\dialer", "Wirevane=c:\\wirevane"}, dunmere,
       filtered,
       {"c:\\dunmere\\dialer\\bin", "c:\\dunmere\\dialer\\app", "c:\\dunmere\\dialer\\etc", "c:\\dunmere\\dialer", reg},
       {"c:\\wirevane\\bin\\wv.386"}, 1},
      {"Dialer empty, Wirevane used", {"Main=c:\\dunmere", "Dialer=", "Wirevane=c:\\wirevane"}, dunmere, stackOnly,
       {"c:\\wirevane\\bin", "c:\\wirevane", reg},
       {"c:\\dunmere\\dialer\\bin\\file.dat", "c:\\dunmere\\dialer\\dialer.exe"}, 0},
      {"neither: device lines of an empty directory; only the registration directory goes",
       {"Main=c:\\dunmere", "Eudora="}, dunmere, systemIniLess({kStackLine, kEmptyDirLines}), {reg},
       {"c:\\dunmere\\dialer\\bin\\file.dat", "c:\\wirevane\\bin\\wv.386"}, 0},
      takeOver(long50, long50),
      takeOver(long50 + "\\", long50 + "\\"),
      takeOver(long50 + "m", "d:\\other"),  // no room for the files: not taken over
      takeOver(long69 + "m", "d:\\other"),  // longer than installDir holds: not taken over cut short
      guarded("c:\\windows.", "C:\\WINDOWS\\marker.dll"),
      guarded("c:/Windows//System/", "C:\\WINDOWS\\SYSTEM\\marker.drv"),
      guarded("c:\\windows\\system\\..\\system\\.\\", "C:\\WINDOWS\\SYSTEM\\marker.drv"),
      guarded("c:\\windows\\system32", "C:\\WINDOWS\\SYSTEM32\\marker.dll"),
      guarded("C:\\", "C:\\autoexec.bat"),
      guarded("c:", "C:\\autoexec.bat"),
      guarded("c:\\dunmere\\..\\..", "C:\\autoexec.bat"),
      guarded("c:\\dunmere\\\\quorvel ", "c:\\dunmere\\quorvel\\quorvel.exe"),
      guarded("dunmere\\quorvel", "c:\\dunmere\\quorvel\\quorvel.exe"),
      // Z: is the host's root, read by programs and changed by none: a host directory stays.
      guarded(w32::windowsPath(prefix + "/host"), w32::windowsPath(prefix + "/host") + "\\marker.dll"),
      {"a dialer directory beside the target goes", {"Main=c:\\dunmere", "Dialer=c:\\dunmere\\quorvel2"}, dunmere,
       stackOnly, {"c:\\dunmere\\quorvel2", reg}, {}, 0},
      {"the removal does not descend: a subdirectory stays with its files, and so do names beginning with a full stop",
       {"Main=c:\\dunmere", "Dialer=c:\\dunmere\\dialer"}, dunmere, filtered,
       {"c:\\dunmere\\dialer\\etc", "c:\\dunmere\\dialer\\bin\\file.dat", "c:\\dunmere\\dialer\\app\\file.dat",
        "c:\\dunmere\\dialer\\dialer.exe", reg},
       {"c:\\dunmere\\dialer\\bin\\sub\\inner.txt", "c:\\dunmere\\dialer\\app\\.hidden"}, 0},
  };
  for (const Upgrade &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    layOutUsual(c.keys[0].substr(5), c.keys);
    for (const std::string &dir : c.gone) {
      if (existsWin(dir)) continue;
      makeWinDir(dir);
      writeWin(dir + "\\x.exe", "x");
    }
    for (const std::string &file : c.kept) {
      if (existsWin(file)) continue;
      makeWinDir(file.substr(0, file.rfind('\\')));
      writeWin(file, "keep");
    }
    strcpy(setupState.installDir, "d:\\other");
    setupState.hadEudora = 0;
    EXPECT_EQ(runWithNotice(), 1);
    EXPECT_EQ(std::string(setupState.installDir), c.installDir);
    EXPECT_EQ(setupState.hadEudora, c.hadEudora);

    EXPECT_EQ(winIni(), "[windows]\r\nload=\r\n\r\n[Desktop]\r\nWallpaper=(None)\r\n");
    EXPECT_FALSE(existsWin("C:\\WINDOWS\\nts.ini"));
    EXPECT_EQ(systemIni(), c.systemIni);
    EXPECT_EQ(readText("C:\\WINDOWS\\SYSTEM.OLD"), c.systemIni);
    for (const std::string &dir : c.gone) EXPECT_FALSE(existsWin(dir)) << dir;
    for (const std::string &file : c.kept) EXPECT_TRUE(existsWin(file)) << file;
    EXPECT_TRUE(existsWin("c:\\dunmere")) << "the main directory itself stays";
  }
}

// From the [386Enh] header on, the dialer's and the old stack's device lines
// go; every other byte stays, however the lines end or how long they are. A
// SYSTEM.INI that cannot be filtered whole stops the run with no SYSTEM.OLD
// and no directory removed, the steps before it done.
TEST_F(CleanupTest, SystemIniFilter) {
  struct Case {
    const char *what;
    std::string in;                    // "-": there is no SYSTEM.INI
    std::string out;                   // "=": the same as in
    std::string main = "c:\\dunmere";  // WIN.INI Main (the old stack base is c:\dunmere whatever it is)
    int result = 1;
  };
  const std::string h = "[386Enh]\r\n", dl = "device=c:\\dunmere\\dialer\\bin\\vntspsd.386";  // 40 characters
  const std::string a254(254, 'a'), b600(600, 'b');
  const std::string kept = "device = c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
                           " device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
                           "device=c:\\dunmere\\dialer\\bin\\vntspsd.386 \r\n"
                           "device=c:\\dunmere\\dialer\\bin\\vntspsd.3860\r\n"
                           "device=c:\\dunmere\\dialer\\vntspsd.386\r\n"
                           "device=*vmm\r\n";
  const Case cases[] = {
      {"a device line before the header stays, after it goes", dl + "\r\n" + h + dl + "\r\n",
       dl + "\r\n" + h},
      {"header in lower case, device line in upper case",
       "[386enh]\r\nDEVICE=C:\\DUNMERE\\DIALER\\BIN\\VNTSPSD.386\r\nDevice=C:\\Dunmere\\Tcppro\\Bin\\Vntstimd.exe\r\n",
       "[386enh]\r\n"},
      {"the header anywhere in a line sets the flag", "; moved from [386Enh] long ago\r\n" + dl + "\r\n",
       "; moved from [386Enh] long ago\r\n"},
      {"all six lines go; others with spaces or other paths stay",
       h + "device=c:\\dunmere\\dialer\\bin\\vntspsd.386\r\n"
           "device=c:\\dunmere\\dialer\\bin\\vtcprac.386\r\n"
           "device=c:\\dunmere\\dialer\\bin\\vntstimd.exe\r\n"
           "device=c:\\dunmere\\tcppro\\bin\\vntspsd.386\r\n"
           "device=c:\\dunmere\\tcppro\\bin\\vtcprac.386\r\n"
           "device=c:\\dunmere\\tcppro\\bin\\vntstimd.exe\r\n" + kept,
       h + kept},
      {"the flag stays set in later sections", h + "x=1\r\n[Other]\r\n" + dl + "\r\n[More]\r\ny=2\r\n",
       h + "x=1\r\n[Other]\r\n[More]\r\ny=2\r\n"},
      {"the old stack's lines are c:\\dunmere's, whatever Main was",
       h + "device=c:\\apps\\dun\\tcppro\\bin\\vntspsd.386\r\n"
           "device=c:\\dunmere\\tcppro\\bin\\vntspsd.386\r\n",
       h + "device=c:\\apps\\dun\\tcppro\\bin\\vntspsd.386\r\n", "c:\\apps\\dun"},
      {"percent signs stay exactly", h + "path=%PATH%;c:\\100%\\%s%n%d\r\n%\r\n", "="},
      {"LF line ends are written as CR LF", "[386Enh]\n" + dl + "\nx=1\n", h + "x=1\r\n"},
      {"a last line without a line end", h + "x=1\r\n" + dl, h + "x=1\r\n"},
      {"a kept last line without a line end", h + "x=1", "="},
      {"Ctrl-Z at the end is dropped", h + dl + "\r\nx=1\r\n\x1A", h + "x=1\r\n"},
      {"Ctrl-Z with line ends after it", h + "x=1\r\n\x1A\r\n\x1A\n", h + "x=1\r\n"},
      // What follows a Ctrl-Z in the middle is not read as text; it is
      // carried over unchanged, Ctrl-Z first, so nothing is lost.
      {"text after a Ctrl-Z in the middle", h + dl + "\r\n\x1A" + dl + "\r\n[after]\n\x1Ax=1\r\n",
       h + "\x1A" + dl + "\r\n[after]\n\x1Ax=1\r\n"},
      {"a Ctrl-Z then a single letter", h + dl + "\r\n\x1A\r\nx", h + "\x1A\r\nx"},
      {"an empty file", "", ""},
      {"a line of 254 characters arrives as itself and a bare line end", h + a254 + "\r\n" + dl + "\r\n",
       h + a254 + "\r\n"},
      {"a line of 600 characters passes in three pieces", h + b600 + "\r\nx=1\r\n", "="},
      // The last 40 characters of this 294-character line arrive as a piece
      // equal to a device line; being the tail of a longer line, it stays.
      {"a long line whose last piece is a device line", h + a254 + dl + "\r\nnext=1\r\n", "="},
      {"the same long line before the header stays whole", a254 + dl + "\r\n" + h, "="},
      {"a zero byte stops the run", h + dl + "\r\n" + std::string("key=a\0b\r\n", 9), "=", "c:\\dunmere", 0},
      {"no SYSTEM.INI stops the run", "-", "", "c:\\dunmere", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    layOutEarlierInstallation(c.main, {"Main=" + c.main, "Dialer=c:\\dunmere\\dialer"});
    if (c.in == "-") {
      ASSERT_EQ(remove(host("C:\\WINDOWS\\SYSTEM.INI").c_str()), 0);
    } else {
      writeSystemIni(c.in);
    }
    EXPECT_EQ(runWithNotice(), c.result);
    const std::string &out = c.out == "=" ? c.in : c.out;
    EXPECT_EQ(systemIni(), out);
    EXPECT_EQ(existsWin("C:\\WINDOWS\\SYSTEM.OLD"), c.result == 1);
    EXPECT_EQ(readText("C:\\WINDOWS\\SYSTEM.OLD"), c.result ? out : "");
    EXPECT_EQ(winIni().find("Dunmere"), std::string::npos) << winIni();
    // register.ini goes with its directory, or keeps its key with an empty value.
    EXPECT_EQ(readText("c:\\dunmere\\register\\register.ini"),
              c.result ? "" : "[Quorvel Registration]\r\nVersion=\r\nUser=someone\r\n");
  }
}

// Text into a buffer filled with junk (so that a missing zero byte or a byte
// past the buffer shows): the bounded text helpers, joining or copying then
// appending, keep what fits and say whether all did; normaliseDirectory, which
// the removal's guard relies on, refuses a canonical form that does not fit.
TEST(BoundedText, RefusesRatherThanOverruns) {
  struct Case {
    const char *first, *second;  // second nullptr: normaliseDirectory(first)
    size_t size;
    int fits;
    const char *result = nullptr;  // the helpers' text
  };
  const Case cases[] = {
      {"c:\\dunmere", "\\quorvel\\", 20, 1, "c:\\dunmere\\quorvel\\"},
      {"abc", "def", 7, 1, "abcdef"},
      {"abc", "def", 6, 0, "abcde"},
      {"abc", "", 4, 1, "abc"},
      {"abcd", "", 4, 0, "abc"},
      {"", "", 1, 1, ""},
      {"c:\\abcdef", nullptr, 10, 1},  // 9 characters and the zero byte
      {"c:\\abcdefg", nullptr, 10, 0},
      {"c:\\abc\\def", nullptr, 11, 1},
      {"c:\\abc\\defg", nullptr, 11, 0},
      {"c:\\abcdefgh\\..\\x", nullptr, 6, 0},  // too long on the way: refused all the same
      {"c:\\", nullptr, 4, 1},
      {"c:\\", nullptr, 3, 0},
  };
  for (const Case &c : cases) {
    for (int join = 0; join < (c.second ? 2 : 1); ++join) {
      SCOPED_TRACE(std::string(c.first) + (c.second ? " + " + std::string(c.second) : " normalised") +
                   " in " + std::to_string(c.size));
      char buffer[32];
      memset(buffer, 'J', sizeof buffer);
      int fits;
      if (!c.second) {
        fits = normaliseDirectory(buffer, c.size, c.first);
      } else if (join) {
        fits = textJoin(buffer, c.size, c.first, c.second);
      } else {
        EXPECT_EQ(textCopy(buffer, c.size, c.first), strlen(c.first) < c.size ? 1 : 0);
        fits = textAppend(buffer, c.size, c.second) && strlen(c.first) < c.size;
      }
      EXPECT_EQ(fits, c.fits);
      if (c.second) {
        EXPECT_STREQ(buffer, c.result);
      }
      const size_t past = sizeof buffer - c.size;
      EXPECT_EQ(std::string(buffer + c.size, past), std::string(past, 'J')) << "written past the buffer";
    }
  }
}

}  // namespace
