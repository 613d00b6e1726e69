// rcgen: the script reader on a crafted script and on faults, the tool's
// care for existing files, the tables it made from res/setup.rc, and the
// welcome bitmap drawn again by bmpgen.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <w32_resource.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "rc_script.h"

namespace {

class RcgenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/rcgen_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string put(const std::string &name, const std::string &text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    return dir_ + "/" + name;
  }
  std::string dir_;
};

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

const char kBmp[] = "BM0123456789012345678901234567890123456789012345678901234";

TEST_F(RcgenTest, ReadsEachConstruct) {
  put("ids.h", "// ids\n#define IDD_T 0x10\n#define IDC_E (7)\n/* negative */ #define IDC_S (-1)\n");
  put("pic.bmp", kBmp);
  std::string rc = put("t.rc",
                       "#include <windows.h>\n"
                       "#include \"ids.h\"\n"
                       "IDD_T DIALOGEX 1, 2, 100, 50\n"
                       "STYLE WS_POPUP | WS_SYSMENU /* no caption style: CAPTION adds it */\n"
                       "EXSTYLE WS_EX_DLGMODALFRAME\n"
                       "CAPTION \"Say \"\"hi\"\"\"\n"
                       "FONT 8, \"MS Sans Serif\", 400, 0, 1\n"
                       "{\n"
                       "  LTEXT \"a\\\\b\\\"c\\nd\\te\", IDC_S, 1, 2, 3, 4\n"
                       "  RTEXT \"r\", 9, 0, 0, 1, 1, NOT WS_GROUP\n"
                       "  EDITTEXT IDC_E, 5, 6, 7, 8, ES_AUTOHSCROLL | NOT WS_BORDER, WS_EX_CLIENTEDGE\n"
                       "  DEFPUSHBUTTON \"&Go\", 201, 0, 0, 1, 1\n"
                       "  CONTROL \"\", 104, \"msctls_progress32\", WS_BORDER | NOT WS_VISIBLE, 1, 1, 2, 2\n"
                       "}\n"
                       "STRINGTABLE\nBEGIN\n  1, \"one\"\n  0x20 \"thirty-two\"\nEND\n"
                       "PIC BITMAP \"pic.bmp\"\n");
  rcgen::Script s = rcgen::parseScript(rc);
  ASSERT_EQ(s.dialogs.size(), 1u);
  const rcgen::Dialog &d = s.dialogs[0];
  EXPECT_EQ(d.id, 16);
  EXPECT_EQ(d.caption, "Say \"hi\"");
  EXPECT_EQ(d.style, 0x80C80040u);  // WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT
  EXPECT_EQ(d.exStyle, 0x1u);
  EXPECT_EQ(d.fontName, "MS Sans Serif");
  EXPECT_EQ(d.fontSize, 8);
  EXPECT_EQ((std::vector<int>{d.x, d.y, d.cx, d.cy}), (std::vector<int>{1, 2, 100, 50}));
  struct Expected {
    const char *className, *text;
    int id;
    uint32_t style, exStyle;
    int x, y, cx, cy;
  } expected[] = {
      {"STATIC", "a\\b\"c\nd\te", -1, 0x50020000, 0, 1, 2, 3, 4},
      {"STATIC", "r", 9, 0x50000002, 0, 0, 0, 1, 1},
      {"EDIT", "", 7, 0x50010080, 0x200, 5, 6, 7, 8},
      {"BUTTON", "&Go", 201, 0x50010001, 0, 0, 0, 1, 1},
      {"msctls_progress32", "", 104, 0x40800000, 0, 1, 1, 2, 2},
  };
  ASSERT_EQ(d.controls.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); i++) {
    const rcgen::Control &c = d.controls[i];
    const Expected &e = expected[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(c.className, e.className);
    EXPECT_EQ(c.text, e.text);
    EXPECT_EQ(c.id, e.id);
    EXPECT_EQ(c.style, e.style);
    EXPECT_EQ(c.exStyle, e.exStyle);
    EXPECT_EQ((std::vector<int>{c.x, c.y, c.cx, c.cy}), (std::vector<int>{e.x, e.y, e.cx, e.cy}));
  }
  ASSERT_EQ(s.strings.size(), 2u);
  EXPECT_EQ(s.strings[1].id, 32u);
  EXPECT_EQ(s.strings[1].text, "thirty-two");
  ASSERT_EQ(s.bitmaps.size(), 1u);
  EXPECT_EQ(s.bitmaps[0].name, "PIC");
  EXPECT_EQ(std::string(s.bitmaps[0].bytes.begin(), s.bitmaps[0].bytes.end()), std::string(kBmp));
}

TEST_F(RcgenTest, FaultsNameTheFileAndLine) {
  put("bad.h", "#define A 1\nIDD 5 DIALOG\n");
  put("text.bmp", "not a picture, but long enough to pass the size check of the reader");
  struct Case {
    const char *script;
    const char *file;
    int line;
    const char *message;
  } cases[] = {
      {"// one\n#ifdef X\n", "t.rc", 2, "not supported"},
      {"1 DIALOG 0, 0, 1, 1\nSTYLE WS_POPUP | WS_NOSUCH\nBEGIN\nEND\n", "t.rc", 2, "unknown name 'WS_NOSUCH'"},
      {"1 DIALOG 0, 0, 1, 1\nBEGIN\n LTEXT \"a\" 1, 0, 0, 1, 1\nEND\n", "t.rc", 3, "expected ','"},
      {"1 DIALOG 0, 0, 1, 1\nBEGIN\n\n LISTBOX 1, 0, 0, 1, 1\nEND\n", "t.rc", 4, "unsupported control 'LISTBOX'"},
      {"STRINGTABLE\nBEGIN\n 1 \"a\\qb\"\nEND\n", "t.rc", 3, "unknown escape"},
      {"STRINGTABLE\nBEGIN\n 1 \"open\nEND\n", "t.rc", 3, "not closed"},
      {"1 MENU\n", "t.rc", 1, "unsupported statement"},
      {"/*\n\n*/ 1 DIALOG 0, 0, 1\nBEGIN\nEND\n", "t.rc", 4, "expected ','"},
      {"#include \"bad.h\"\n", "bad.h", 2, "only #define lines"},
      {"\n#include \"none.h\"\n", "t.rc", 2, "cannot read"},
      {"#define B 1\n#define B 2\n", "t.rc", 2, "another value"},
      {"X BITMAP \"text.bmp\"\n", "t.rc", 1, "not a BMP file"},
      {"1 DIALOG 0, 0, 1, 1\nBEGIN\nEND\n1 DIALOG 0, 0, 1, 1\nBEGIN\nEND\n", "t.rc", 4, "defined twice"},
      {"1 DIALOG 0, 0, 1, 99999\nBEGIN\nEND\n", "t.rc", 1, "out of range"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.script);
    std::string rc = put("t.rc", c.script);
    try {
      rcgen::parseScript(rc);
      ADD_FAILURE() << "no error";
    } catch (const rcgen::ScriptError &e) {
      EXPECT_EQ(e.file, dir_ + "/" + c.file);
      EXPECT_EQ(e.line, c.line);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

// A fault writes nothing, and the output may not be an input: either way
// the files already there keep their bytes.
TEST_F(RcgenTest, ToolLeavesExistingFilesAlone) {
  std::string bad = put("bad.rc", "1 DIALOG 0, 0, 1, 1\nSTYLE WS_NOSUCH\n");
  std::string good = put("good.rc", "STRINGTABLE\nBEGIN\n1 \"x\"\nEND\n");
  std::string out = put("out.cpp", "keep");
  EXPECT_NE(system((std::string(RCGEN_PATH) + " " + bad + " " + out + " 2>/dev/null").c_str()), 0);
  EXPECT_NE(system((std::string(RCGEN_PATH) + " " + good + " " + good + " 2>/dev/null").c_str()), 0);
  EXPECT_EQ(slurp(out), "keep");
  EXPECT_EQ(slurp(good), "STRINGTABLE\nBEGIN\n1 \"x\"\nEND\n");
  EXPECT_EQ(system((std::string(RCGEN_PATH) + " " + good + " " + out).c_str()), 0);
  EXPECT_NE(slurp(out).find("{1, \"x\"}"), std::string::npos);
  EXPECT_NE(system(("ls -A " + dir_ + " | grep -q rcgen").c_str()), 0) << "a temporary file was left behind";
}

const w32res::DialogTemplate *dialog(int id) {
  const w32res::ResourceTable *t = w32_resource_table();
  for (int i = 0; i < t->dialogCount; i++) {
    if (t->dialogs[i].id == id) return &t->dialogs[i];
  }
  return nullptr;
}

uint32_t le(const unsigned char *p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

// The tables built from res/setup.rc and linked into this test.
TEST(RcgenProgramResources, HoldWhatTheWizardNeeds) {
  const w32res::ResourceTable *t = w32_resource_table();
  ASSERT_EQ(t->dialogCount, 4);
  for (int id = 1; id <= 4; id++) {
    const w32res::DialogTemplate *d = dialog(id);
    ASSERT_NE(d, nullptr) << id;
    EXPECT_EQ(d->style, DWORD(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT)) << id;
    EXPECT_STREQ(d->fontName, "MS Sans Serif");
    EXPECT_EQ(d->fontSize, 8);
  }
  const w32res::DialogTemplate *d2 = dialog(2);
  ASSERT_EQ(d2->controlCount, 7);
  const int tabOrder[] = {IDC_STATIC, IDC_STATIC, IDC_STATIC, 101, 201, 203, 202};
  for (int i = 0; i < 7; i++) EXPECT_EQ(d2->controls[i].id, tabOrder[i]) << i;
  const w32res::ControlTemplate &edit = d2->controls[3];
  EXPECT_STREQ(edit.className, "EDIT");
  EXPECT_EQ(edit.style & (WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL), DWORD(WS_BORDER | WS_TABSTOP));
  EXPECT_EQ(d2->controls[0].style & WS_TABSTOP, 0u);
  EXPECT_EQ(std::vector<short>({edit.x, edit.y, edit.cx, edit.cy}), std::vector<short>({8, 72, 172, 12}));
  const w32res::DialogTemplate *d3 = dialog(3);
  ASSERT_EQ(d3->controlCount, 3);
  EXPECT_EQ(d3->controls[0].style & SS_TYPEMASK, DWORD(SS_CENTER));
  EXPECT_STREQ(d3->controls[1].className, "msctls_progress32");
  EXPECT_EQ(d3->controls[1].id, 104);
  EXPECT_STREQ(dialog(1)->controls[0].text + std::strlen(dialog(1)->controls[0].text) - 11, "in minutes.");
  ASSERT_EQ(t->stringCount, 1);
  EXPECT_EQ(t->strings[0].id, 1u);
  EXPECT_STREQ(t->strings[0].text, "1500000");
  ASSERT_EQ(t->bitmapCount, 1);
  const w32res::BitmapEntry &b = t->bitmaps[0];
  EXPECT_STREQ(b.name, "DUNMERE95NEWL");
  ASSERT_GE(b.size, 54u);
  EXPECT_EQ(le(b.bytes, 2), 0x4D42u);                  // "BM"
  EXPECT_EQ(le(b.bytes + 2, 4), b.size);               // file size
  EXPECT_EQ(le(b.bytes + 18, 4), 445u);                // width
  EXPECT_EQ(le(b.bytes + 22, 4), 155u);                // height, bottom-up
  EXPECT_EQ(le(b.bytes + 28, 2), 8u);                  // bits per pixel
  EXPECT_EQ(le(b.bytes + 30, 4), 0u);                  // uncompressed
  EXPECT_EQ(le(b.bytes + 46, 4), 256u);                // palette entries
  EXPECT_EQ(b.size, 14u + 40u + 1024u + 448u * 155u);  // rows padded to 4 bytes
  ASSERT_NE(b.words, nullptr);                         // dunmere95.txt, read with it
  EXPECT_NE(std::strstr(b.words, "\ntext 30 84 179 15 fdd37c 0a143c Dunmere Network\n"), nullptr) << b.words;
}

TEST_F(RcgenTest, BmpgenDrawsTheCommittedBitmap) {
  ASSERT_EQ(system((std::string(BMPGEN_PATH) + " " + dir_ + "/x.bmp " + dir_ + "/x.txt").c_str()), 0);
  std::string drawn = slurp(dir_ + "/x.bmp"), committed = slurp(COMMITTED_BMP);
  ASSERT_FALSE(committed.empty());
  EXPECT_TRUE(drawn == committed) << "bmpgen's picture differs from res/dunmere95.bmp";
  std::string words = std::string(COMMITTED_BMP).substr(0, std::strlen(COMMITTED_BMP) - 4) + ".txt";
  EXPECT_EQ(slurp(dir_ + "/x.txt"), slurp(words)) << "bmpgen's words differ from " << words;
}

}  // namespace
