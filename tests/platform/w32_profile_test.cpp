// The profile API from tables: the exact bytes and result of a read, or the exact file a write leaves.
#include "w32_fixture.h"

namespace {

// A nul-terminated text inside a std::string literal of known length.
#define BYTES(s) std::string(s, sizeof(s) - 1)

const char kIni[] =
    "; a comment before any section\r\n"
    "orphan=before any section\r\n"
    "[section1]\r\n"
    "name1=val1\r\n"
    "  name2 =  val2  \r\n"
    "NAME3=\"quoted value\"\r\n"
    "name4='single'\r\n"
    "name5=\"unbalanced\r\n"
    "name6=\r\n"
    "novalue\r\n"
    ";comment=not a key\r\n"
    "name7=  \"  spaced inside  \"  \r\n"
    "\r\n"
    "[ Section2 ]\r\n"
    "key=second\n"
    "[section1]\r\n"
    "name1=the second section of that name\r\n"
    "late=from the second part\r\n"
    "[empty]\r\n";

struct GetCase {
  const char *what;
  const char *section;
  const char *key;
  const char *def;
  DWORD size;
  std::string expected; // the bytes written, terminators included
  DWORD result;
};

const GetCase kGets[] = {
    {"plain value", "section1", "name1", "d", 32, BYTES("val1\0"), 4},
    {"names ignore case", "SECTION1", "NAME1", "d", 32, BYTES("val1\0"), 4},
    {"names given with blanks are trimmed", "  section1 ", " name1\t", "d", 32, BYTES("val1\0"), 4},
    {"blanks around name and value in the file", "section1", "name2", "d", 32, BYTES("val2\0"), 4},
    {"double quotes removed", "section1", "name3", "d", 32, BYTES("quoted value\0"), 12},
    {"single quotes removed", "section1", "name4", "d", 32, BYTES("single\0"), 6},
    {"a quote without its match stays", "section1", "name5", "d", 32, BYTES("\"unbalanced\0"), 11},
    {"an empty value is not the default", "section1", "name6", "dflt", 32, BYTES("\0"), 0},
    {"a line without = reads as missing", "section1", "novalue", "dflt", 32, BYTES("dflt\0"), 4},
    {"comments are no keys", "section1", ";comment", "dflt", 32, BYTES("dflt\0"), 4},
    {"blanks inside the quotes stay", "section1", "name7", "d", 32, BYTES("  spaced inside  \0"), 17},
    {"header trimmed, LF-only line", "section2", "key", "d", 32, BYTES("second\0"), 6},
    {"a repeated section adds its keys", "section1", "late", "d", 64, BYTES("from the second part\0"), 20},
    {"missing key: default without trailing spaces", "section1", "nokey", "default  ", 32, BYTES("default\0"), 7},
    {"leading blanks of the default stay", "section1", "nokey", "  lead", 32, BYTES("  lead\0"), 6},
    {"a quoted default keeps its quotes", "section1", "nokey", "\"q\"", 32, BYTES("\"q\"\0"), 3},
    {"missing key, no default", "section1", "nokey", nullptr, 32, BYTES("\0"), 0},
    {"missing section", "nosection", "name1", "x", 32, BYTES("x\0"), 1},
    {"keys before the first section belong to none", "", "orphan", "x", 32, BYTES("x\0"), 1},
    {"value cut to the buffer less one", "section1", "name1", "d", 3, BYTES("va\0"), 2},
    {"quotes removed before the cut", "section1", "name3", "d", 5, BYTES("quot\0"), 4},
    {"default cut too", "section1", "nokey", "abcdef", 4, BYTES("abc\0"), 3},
    {"a buffer of one", "section1", "name1", "d", 1, BYTES("\0"), 0},
    {"key names cut: last one short, two terminators", "section1", nullptr, "d", 16, BYTES("name1\0name2\0NA\0\0"),
     14},
    {"key names that fit exactly", "section1", nullptr, "d", 56,
     BYTES("name1\0name2\0NAME3\0name4\0name5\0name6\0novalue\0name7\0late\0\0"), 55},
    {"no key, empty section: the default", "empty", nullptr, "d  ", 16, BYTES("d\0"), 1},
    {"no key, missing section: the default", "none", nullptr, "dd", 16, BYTES("dd\0"), 2},
    {"no section: the section names", nullptr, "ignored", "d", 100, BYTES("section1\0Section2\0empty\0\0"), 24},
    {"section names cut", nullptr, nullptr, "d", 12, BYTES("section1\0S\0\0"), 10},
    {"section names, buffer of two", nullptr, nullptr, "d", 2, BYTES("\0\0"), 0},
};

class ProfileTest : public W32Test {
protected:
  void SetUp() override {
    W32Test::SetUp();
    writeHost(cdrive("/windows/test.ini"), kIni);
  }
};

// Catches a lookup with case or blanks, quotes mishandled, a default untrimmed, a bad cut or name list.
TEST_F(ProfileTest, ReadsFollowWin32) {
  for (const GetCase &c : kGets) {
    SCOPED_TRACE(c.what);
    char buf[128];
    memset(buf, kJunk, sizeof buf);
    DWORD got = GetPrivateProfileStringA(c.section, c.key, c.def, buf, c.size, "C:\\Windows\\TEST.INI");
    EXPECT_EQ(got, c.result);
    EXPECT_EQ(std::string(buf, c.expected.size()), c.expected);
    EXPECT_EQ(buf[c.expected.size()], kJunk) << "a byte past the result was written";
  }
}

struct WriteCase {
  const char *what;
  const char *before; // nullptr: no file
  const char *section;
  const char *key;
  const char *value;
  BOOL result;
  const char *after; // nullptr: still no file
};

const WriteCase kWrites[] = {
    {"a new file", nullptr, "App", "key", "string", TRUE, "[App]\r\nkey=string\r\n"},
    {"a new key goes to the end of its section", "[App]\r\nkey=string\r\n", "app", "key2", "string2", TRUE,
     "[App]\r\nkey=string\r\nkey2=string2\r\n"},
    {"before the blank lines that end the section", "[App]\r\nkey=string\r\n\r\n[Other]\r\nx=1\r\n", "App", "new",
     "v", TRUE, "[App]\r\nkey=string\r\nnew=v\r\n\r\n[Other]\r\nx=1\r\n"},
    {"a new section at the end of the file", "[App]\r\nkey=string\r\n", "New", "k", "v", TRUE,
     "[App]\r\nkey=string\r\n[New]\r\nk=v\r\n"},
    {"a last line without its line end gets one", "[App]\r\nkey=string", "App", "k2", "v", TRUE,
     "[App]\r\nkey=string\r\nk2=v\r\n"},
    {"a changed value keeps the key's spelling and every other line", "; c\r\n[App]\r\n  KEY = old \r\nz=1\r\n",
     "app", "key", "new", TRUE, "; c\r\n[App]\r\nKEY=new\r\nz=1\r\n"},
    {"only the changed line gets CR LF", "[a]\nx=1\ny=2\n", "a", "x", "9", TRUE, "[a]\nx=9\r\ny=2\n"},
    {"the same value again leaves the file alone", "[a]\nx=1\n", "a", "x", "1", TRUE, "[a]\nx=1\n"},
    {"the first of two sections is written", "[a]\r\n[b]\r\n[a]\r\nx=1\r\n", "a", "y", "2", TRUE,
     "[a]\r\ny=2\r\n[b]\r\n[a]\r\nx=1\r\n"},
    {"an empty value keeps the key", "[a]\r\nx=1\r\n", "a", "x", "", TRUE, "[a]\r\nx=\r\n"},
    {"the value is written as given", nullptr, "a", "k", " v ", TRUE, "[a]\r\nk= v \r\n"},
    {"section and key names trimmed", nullptr, "  a  ", "\tk ", "v", TRUE, "[a]\r\nk=v\r\n"},
    {"NULL value deletes the key, comments stay", "[a]\r\n;note\r\nx=1\r\ny=2\r\n", "A", "X", nullptr, TRUE,
     "[a]\r\n;note\r\ny=2\r\n"},
    {"deleting a missing key changes nothing", "[a]\nx=1\n", "a", "nokey", nullptr, TRUE, "[a]\nx=1\n"},
    {"NULL key deletes the section up to the next",
     "[windows]\r\nload=\r\n\r\n[Dunmere Network Quorvel]\r\nMain=c:\\dunmere\r\n;old\r\n\r\n[Desktop]\r\nWallpaper=(None)\r\n",
     "dunmere network quorvel", nullptr, nullptr, TRUE, "[windows]\r\nload=\r\n\r\n[Desktop]\r\nWallpaper=(None)\r\n"},
    {"every section of that name goes", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n[ A ]\r\nz=3\r\n", "a", nullptr, nullptr, TRUE,
     "[b]\r\ny=2\r\n"},
    {"the last section goes with the end of the file", "[b]\r\ny=2\r\n[a]\r\nx=1", "a", nullptr, nullptr, TRUE,
     "[b]\r\ny=2\r\n"},
    {"deleting in a missing file makes none", nullptr, "a", nullptr, nullptr, TRUE, nullptr},
    {"NULL section", "[a]\r\n", nullptr, "x", "1", FALSE, "[a]\r\n"},
    {"all three NULL flush: nothing changes", "[a]\r\n", nullptr, nullptr, nullptr, TRUE, "[a]\r\n"},
};

// Catches a key or section added in the wrong place, other lines changed, a delete that does not.
TEST_F(ProfileTest, WritesFollowWin32) {
  const std::string file = cdrive("/windows/w.ini");
  for (const WriteCase &c : kWrites) {
    SCOPED_TRACE(c.what);
    unlink(file.c_str());
    if (c.before) writeHost(file, c.before);
    EXPECT_EQ(WritePrivateProfileStringA(c.section, c.key, c.value, "c:\\windows\\w.ini"), c.result);
    if (c.after) {
      EXPECT_EQ(readHost(file), c.after);
    } else {
      EXPECT_FALSE(hostExists(file));
    }
  }
}

// Catches a large WIN.INI changed beyond the call, the 64 MiB cap ignored, and wrong failures.
TEST_F(ProfileTest, LargeFilesTheCapAndFailures) {
  std::string big;
  for (int s = 0; big.size() < 5000000; s++) {
    big += "[Section" + std::to_string(s) + "]\r\n";
    for (int k = 0; k < 50; k++) big += "key" + std::to_string(k) + "=" + std::to_string(s * 50 + k) + "\r\n";
  }
  const std::string section = "[Dunmere Network Quorvel]\r\nMain=c:\\old\r\n";
  writeHost(cdrive("/windows/win.ini"), big + section + "[last]\r\nk=v\r\n");
  char buf[64];
  EXPECT_EQ(GetProfileStringA("Dunmere Network Quorvel", "Main", "", buf, sizeof buf), 6u);
  EXPECT_STREQ(buf, "c:\\old");
  EXPECT_TRUE(WriteProfileStringA("Dunmere Network Quorvel", nullptr, nullptr));
  EXPECT_EQ(readHost(cdrive("/windows/win.ini")), big + "[last]\r\nk=v\r\n");

  std::string file = cdrive("/windows/win.ini");
  ASSERT_EQ(truncate(file.c_str(), 64 * 1024 * 1024 + 1), 0);  // sparse: nothing written
  writeHost(cdrive("/ro.ini"), "[a]\r\nx=1\r\n");
  chmod(cdrive("/ro.ini").c_str(), 0444);
  makeHostDir(cdrive("/adir.ini"));
  auto get = [&](DWORD size, const char *ini, const char *expect) {
    return [=, &buf] {
      memset(buf, kJunk, sizeof buf);
      DWORD n = GetPrivateProfileStringA("section2", "key", "none ", buf, size, ini);
      return n == strlen(expect) && (size ? !strcmp(buf, expect) : buf[0] == kJunk) ? GetLastError() : 1;
    };
  };
  expectCalls({
      {"a buffer of size 0", get(0, "test.ini", ""), 0},
      {"a missing file", get(16, "c:\\nodir\\x.ini", "none"), ERROR_FILE_NOT_FOUND},
      {"a bare name", get(16, "test.ini", "second"), 0},
      {"write a read-only file", [] { return err(WritePrivateProfileStringA("a", "x", "2", "c:\\ro.ini")); }, ERROR_ACCESS_DENIED},
      {"write a directory", [] { return err(WritePrivateProfileStringA("a", "x", "2", "c:\\adir.ini")); }, ERROR_ACCESS_DENIED},
      {"read over the cap: the default", [&] { return GetProfileStringA("last", "k", "default", buf, sizeof buf) == 7 ? GetLastError() : 0; },
       ERROR_FILE_TOO_LARGE},
      {"write over the cap", [] { return err(WriteProfileStringA("last", "k", "w")); }, ERROR_FILE_TOO_LARGE},
  });
  EXPECT_STREQ(buf, "default");
  EXPECT_EQ(readHost(cdrive("/ro.ini")), "[a]\r\nx=1\r\n");
  EXPECT_EQ(readHost(file).size(), 64 * 1024 * 1024 + 1u);
  std::string t = w32::transcript();
  EXPECT_NE(t.find("failed kind=profile call=GetProfileStringA file=\"win.ini\" section=\"last\" key=\"k\" "
                   "error=223 text=\"the file is larger than 64 MiB"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("failed kind=profile call=WriteProfileStringA"), std::string::npos) << t;
  EXPECT_EQ(w32::failedSteps(), 4) << "both writes and both calls over the cap";
}

} // namespace
