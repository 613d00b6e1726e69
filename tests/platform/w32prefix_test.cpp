// The prefix tool (w32prefix): registry, export and import, groups, drives, free space, a missing prefix.
#include "w32_fixture.h"

namespace {

using PrefixToolTest = W32Test;

// What the layer wrote, as the tool shows and changes it (W32_PREFIX is this prefix).
TEST_F(PrefixToolTest, QueriesAndChangesThePrefix) {
  // A setup run's transcript in the environment is not the tool's to touch.
  writeHost(scratch("/transcript"), "dialog id=4 event=end\n");
  const std::string env = "W32_TRANSCRIPT=" + scratch("/transcript");
  HKEY k;
  DWORD flags = 16;
  ASSERT_TRUE(!RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\DunmereNetwork\\Quorvel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) &&
              !RegSetValueExA(k, "MainDir", 0, REG_SZ, reinterpret_cast<const BYTE *>("c:\\dunmere"), 11) &&
              !RegSetValueExA(k, "Flags", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&flags), 4) && !RegCloseKey(k));
  makeHostDir(prefix + "/progman");
  writeHost(prefix + "/progman/groups.ini",
            "[Quorvel]\nItem1=Registration & Utilities|c:\\q\\quorvel.exe|c:\\q\\quorvel.exe\n");
  makeHostDir(scratch("/disk2"));
  writeHost(scratch("/disk2/setup.ini"), "x");
  writeHost(scratch("/exported.reg"), "old");
  ASSERT_EQ(symlink(scratch("/exported.reg").c_str(), scratch("/link.reg").c_str()), 0);
  const std::string key = "'HKLM\\Software\\DunmereNetwork\\Quorvel'";
  const std::string shown = "HKEY_LOCAL_MACHINE\\Software\\DunmereNetwork\\Quorvel";

  struct Case {
    std::string args;
    std::string out;  // the whole output, or its start when it ends in "..."
    int status;
  };
  const Case cases[] = {
      {"reg query " + key, shown + "\n    MainDir    REG_SZ    c:\\dunmere\n    Flags    REG_DWORD    0x10\n", 0},
      {"reg query " + key + " NoSuch", "w32prefix reg query: HKLM\\Software\\DunmereNetwork\\Quorvel: no value NoSuch\n", 1},
      {"reg query 'HKXX\\Software'", "w32prefix reg query: unknown root key in HKXX\\Software...", 2},
      {"reg set " + key + "'\\Sub' /v Count /t REG_DWORD /d 0x20", "", 0},
      {"reg set " + key + "'\\Sub' /ve /t REG_MULTI_SZ /d 'a\\0b'", "", 0},
      {"reg set " + key + " /v Count /t REG_DWORD /d ten", "w32prefix reg set: 'ten' is not REG_DWORD data...", 2},
      {"reg query " + key + " /s",
       shown + "\n    MainDir    REG_SZ    c:\\dunmere\n    Flags    REG_DWORD    0x10\n\n" + shown +
           "\\Sub\n    Count    REG_DWORD    0x20\n    (Default)    REG_MULTI_SZ    a\\0b\n",
       0},
      {"reg delete " + key + " /v Nope /f", "w32prefix reg delete: no value Nope\n", 1},
      // As reg.exe: no question asked with /f, and none can be without a
      // terminal; an unknown type is named as one.
      {"reg add " + key + " /v MainDir /d c:\\other", "w32prefix reg add: value MainDir: not done: there is no "
                                                        "terminal to ask on; /f overwrites it\n", 1},
      {"reg add " + key + " /v Added /t REG_EXPAND_SZ /d %windir%", "", 0},
      {"reg add " + key + " /v Added /t REG_WORD /d 1", "w32prefix reg add: unknown type REG_WORD...", 2},
      {"reg delete " + key + " /v Added", "w32prefix reg delete: the registry value Added: not done: there is no "
                                          "terminal to ask on; /f deletes without asking\n", 2},
      {"reg export " + key + " " + scratch("/q.reg") + " /unicode", "", 0},
      {"reg export " + key + " " + scratch("/q.reg"), "w32prefix reg export: " + scratch("/q.reg") +
                                                        ": not done: there is no terminal to ask on; /y overwrites it\n", 3},
      {"reg delete " + key + " /f", "", 0},
      {"reg query " + key, "w32prefix reg query: HKLM\\Software\\DunmereNetwork\\Quorvel: no such key\n", 1},
      {"reg import " + scratch("/q.reg"), "", 0},
      {"reg export " + key + " -",
       "REGEDIT4\r\n\r\n[" + shown + "]\r\n\"MainDir\"=\"c:\\\\dunmere\"\r\n\"Flags\"=dword:00000010\r\n"
       "\"Added\"=hex(2):25,77,69,6e,64,69,72,25,00\r\n\r\n[" + shown +
           "\\Sub]\r\n\"Count\"=dword:00000020\r\n@=hex(7):61,00,62,00,00\r\n\r\n",
       0},
      // Through a link, its target is written and the link stays.
      {"reg export " + key + " " + scratch("/link.reg") + " /y", "", 0},
      {"reg import " + scratch("/disk2/setup.ini"), "w32prefix reg import: " + scratch("/disk2/setup.ini") +
                                                        ": not a registry file...", 1},
      {"groups", "Quorvel\n    Registration & Utilities    c:\\q\\quorvel.exe    icon c:\\q\\quorvel.exe\n", 0},
      // Insert a disk, set the free space: the layer in this process sees both.
      {"drive a: " + scratch("/disk2"), "", 0},
      {"drive b " + scratch("/disk2"), "w32prefix drive: 'b' is not a drive letter with its colon (A:)...", 2},
      {"drive q: -", "w32prefix drive: Q: is not mapped...", 1},
      {"freespace q: 5", "w32prefix freespace: Q: is not mapped...", 1},
      {"freespace c: 7999999", "", 0},
      {"freespace a: 5000000000", "", 0},
      {"freespace",
       "A:  5000000000 bytes free; the setup program sees 2147479552 (GetDiskFreeSpaceA, a 32-bit query, reports "
       "at most 2 GiB)  (set by w32prefix freespace)\nC:  7999999 bytes free  (set by w32prefix freespace)\n...",
       0},
      {"drives", "prefix " + prefix + "\nA:  " + scratch("/disk2") + "\nC:  " + prefix + "/drive_c\nZ:  /\n", 0},
      // The prefix's own files are no outputs.
      {"reg export " + key + " " + prefix + "/system.reg", "w32prefix reg export: " + prefix +
                                                              "/system.reg: one of the prefix's own files...", 3},
      {"reg export " + key + " " + prefix + "/system.reg.lock", "w32prefix reg export: " + prefix +
                                                                   "/system.reg.lock: one of the prefix's own files...", 3},
      {"reg export " + key + " " + cdrive("/windows/win.ini"), "w32prefix reg export: " + cdrive("/windows/win.ini") +
                                                                  ": one of the prefix's own files...", 3},
      {"bogus", "w32prefix: unknown command 'bogus'...", 2},
      {"reg query --bogus", "w32prefix reg query: unknown option --bogus...", 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    int status = -1;
    std::string out = runPrefixTool(c.args, &status, env);
    bool prefixOnly = c.out.size() >= 3 && c.out.compare(c.out.size() - 3, 3, "...") == 0;
    EXPECT_EQ(prefixOnly ? out.substr(0, c.out.size() - 3) : out, prefixOnly ? c.out.substr(0, c.out.size() - 3) : c.out);
    EXPECT_EQ(status, c.status);
  }
  EXPECT_EQ(w32::hostPath("A:\\SETUP.INI"), scratch("/disk2/setup.ini"));
  auto space = [](const char *root) {
    DWORD spc = 0, bps = 0, free = 0, total = 0;
    return GetDiskFreeSpaceA(root, &spc, &bps, &free, &total) ? static_cast<unsigned long long>(spc) * bps * free : 0;
  };
  EXPECT_EQ(space("c:\\"), 7999999ull);
  EXPECT_EQ(space("a:\\"), 2147479552ull);
  DWORD count = 0, size = 4;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\DunmereNetwork\\Quorvel\\Sub", 0, KEY_READ, &k), ERROR_SUCCESS);
  EXPECT_TRUE(!RegQueryValueExA(k, "Count", nullptr, nullptr, reinterpret_cast<BYTE *>(&count), &size) && count == 0x20);
  RegCloseKey(k);
  EXPECT_EQ(readHost(scratch("/transcript")), "dialog id=4 event=end\n");
  // The version 5.00 file that went out and came back: UTF-16LE from its
  // byte-order mark, the expandable string's data as UTF-16LE.
  std::string unicode = readHost(scratch("/q.reg"));
  EXPECT_EQ(unicode.substr(0, 8), std::string("\xff\xfeW\0i\0n\0", 8));
  std::string wide;
  for (char c : std::string("\"Added\"=hex(2):25,00,77,00")) wide += std::string(1, c) + '\0';
  EXPECT_NE(unicode.find(wide), std::string::npos);
  EXPECT_EQ(readHost(scratch("/exported.reg")).substr(0, 8), "REGEDIT4");
  struct stat st;
  EXPECT_TRUE(lstat(scratch("/link.reg").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}

// An import is one write, all or nothing: a file the registry would refuse (a key too deep, a name too long:
// its line named) or a change it cannot hold (past the 64 MiB it reads) exits 1 and leaves it as it was.
TEST_F(PrefixToolTest, ImportIsAllOrNothing) {
  std::string file = scratch("/big.reg"), refused = scratch("/refused.reg");
  std::string text = "REGEDIT4\r\n\r\n";
  for (int k = 0; k < 40; k++) {
    text += "[HKEY_LOCAL_MACHINE\\Software\\Bulk\\K" + std::to_string(k) + "]\r\n";
    for (int v = 0; v < 1000; v++) text += "\"V" + std::to_string(v) + "\"=\"" + std::to_string(k * 1000 + v) + "\"\r\n";
  }
  writeHost(file, text);
  int status = -1;
  std::string out = runPrefixTool("reg import " + file, &status);
  EXPECT_EQ(status, 0) << out;
  // A registry 16 bytes short of the 64 MiB the layer reads.
  std::string before = readHost(prefix + "/system.reg");
  const std::string head = "[HKEY_LOCAL_MACHINE\\Software\\Big]\n\"V\"=\"", tail = "\"\n\n";
  before += head + std::string((64 << 20) - 16 - before.size() - head.size() - tail.size(), 'x') + tail;
  writeHost(prefix + "/system.reg", before);
  // Good values first, then what is refused.
  const std::string half = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Half]\r\n\"Done\"=\"yes\"\r\n";
  std::string deep = "[HKEY_LOCAL_MACHINE", classes = "[HKEY_CLASSES_ROOT";
  for (int i = 0; i < 600; i++) deep += "\\k";
  for (int i = 0; i < 511; i++) classes += "\\k";
  const struct {
    std::string text, said;
  } cases[] = {
      {half + deep + "]\r\n\"X\"=\"y\"\r\n", "refused.reg:5: not a key the registry takes: a key 600 levels deep"},
      {half + classes + "]\r\n", "refused.reg:5: not a key the registry takes: a key 513 levels deep"},
      {half + "[HKEY_LOCAL_MACHINE\\" + std::string(300, 'n') + "]\r\n", "refused.reg:5: not a key the registry takes: a key name of 300"},
      {half + "\"" + std::string(16384, 'v') + "\"=\"x\"\r\n", "refused.reg:5: not a value the registry takes: a value name of 16384"},
      {half, "system.reg: not changed: the registry would grow past 64 MiB"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.said);
    writeHost(refused, c.text);
    out = runPrefixTool("reg import " + refused, &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find(c.said), std::string::npos) << out;
    EXPECT_EQ(readHost(prefix + "/system.reg"), before);
  }
  HKEY k;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Bulk\\K39", 0, KEY_READ, &k), ERROR_SUCCESS);
  char value[16];
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExA(k, "V999", nullptr, nullptr, reinterpret_cast<BYTE *>(value), &size), ERROR_SUCCESS);
  EXPECT_STREQ(value, "39999");
  RegCloseKey(k);
}

// As reg.exe, the person at a terminal is asked before a value is replaced or deleted: only "y" does it.
TEST_F(PrefixToolTest, AsksOnATerminal) {
  const std::string tool = std::string(QV_W32PREFIX), key = "'HKLM\\Software\\Ask'";
  int status = -1;
  runPrefixTool("reg add " + key + " /v V /d old", &status);
  const struct {
    const char *answer, *args, *shown;
    int status;
  } cases[] = {
      {"n", " /v V /d new", "old", 1}, {"y", " /v V /d new", "new", 0}, {"no", "", "new", 1}, {"y", "", "", 0}};
  for (const auto &c : cases) {
    bool add = *c.args != 0;
    std::string command = std::string("printf '") + c.answer + "\\n' | script -qec \"" + tool + (add ? " reg add " : " reg delete ") +
                          key + (add ? c.args : " /v V") + "\" " + scratch("/typescript");
    std::string said = runShell(command, &status);
    EXPECT_EQ(status, c.status) << command << "\n" << said;
    EXPECT_NE(said.find(add ? "Value V exists, overwrite (Yes/No)? " : "Delete the registry value V (Yes/No)? "),
              std::string::npos)
        << said;
    std::string value = runPrefixTool("reg query " + key + " V", &status);
    EXPECT_EQ(value.find(std::string("REG_SZ    ") + c.shown) != std::string::npos, *c.shown != 0) << value;
  }
}

// Catches the tool using a refused or missing prefix instead of status 3, a prefix reached through a link
// others may swap, a prefix file written through a link, or a failed mapping taken.
TEST_F(PrefixToolTest, RefusesWhatItCannotDo) {
  writeHost(scratch("/file"), "x");
  makeHostDir(scratch("/open"));
  chmod(scratch("/open").c_str(), 0777);
  makeHostDir(scratch("/linked/drive_c"));
  ASSERT_TRUE(symlink(prefix.c_str(), scratch("/open/link").c_str()) == 0 &&
              symlink(scratch("/file").c_str(), scratch("/linked/freespace").c_str()) == 0);
  const std::string missing = scratch("/no-prefix"), noSuch = ": " + missing + ": no such prefix (";
  const struct {
    std::string env, args, out;  // out: the start of what it says
  } cases[] = {
      {"W32_PREFIX=" + scratch("/file"), "drive d: " + scratch(), "w32prefix drive: " + scratch("/file") + ": "},
      {"W32_PREFIX=" + scratch("/open"), "drive d: " + scratch(), "w32prefix drive: " + scratch("/open") + ": "},
      {"W32_PREFIX=" + scratch("/open/link"), "drive d: " + scratch(), "w32prefix drive: " + scratch("/open/link") +
       ": the directory " + scratch("/open") + " above it can be written by other users"},
      {"W32_PREFIX=" + scratch("/linked"), "freespace c: 5", "w32prefix freespace: " + scratch("/linked/freespace") +
       ": not a regular file"},
      {"W32_PREFIX=" + missing, "reg query HKLM", "w32prefix reg query" + noSuch},
      {"W32_PREFIX=" + missing, "reg export HKLM -", "w32prefix reg export" + noSuch},
      {"W32_PREFIX=" + missing, "groups", "w32prefix groups" + noSuch},
      {"W32_PREFIX=" + missing, "drives", "w32prefix drives" + noSuch},
      {"W32_PREFIX=" + missing, "freespace", "w32prefix freespace" + noSuch},
      // A directory named from here, too long for a link once it is made absolute.
      {"cd " + scratch() + " &&", "drive d: ." + std::string(4085, '/'),
       "w32prefix drive: " + prefix + "/dosdevices/d:: cannot make the mapping: File name too long\n"},
  };
  for (const auto &c : cases) {
    int status = -1;
    std::string out = runPrefixTool(c.args, &status, c.env);
    EXPECT_EQ(out.substr(0, c.out.size()), c.out) << c.args;
    EXPECT_EQ(status, 3) << c.args;
  }
  EXPECT_FALSE(hostExists(missing));
  EXPECT_EQ(readHost(scratch("/file")) + w32::hostPath("d:\\"), "x");
  EXPECT_FALSE(hostExists(scratch("/file/dosdevices")) || hostExists(scratch("/open/dosdevices")));
}

} // namespace
