// Letter case and the canonical form of directory paths.
#include <string.h>

#include <gtest/gtest.h>

#include "config_text.h"

namespace {

TEST(ConfigText, NormaliseDirectory) {
  struct Case {
    const char *path;
    int ok;
    const char *canonical;
  };
  const Case cases[] = {
      {"C:\\WINDOWS", 1, "c:\\windows"},
      {"c:\\windows\\", 1, "c:\\windows"},
      {"c:/Windows//System/", 1, "c:\\windows\\system"},
      {"c:\\windows\\.\\system\\..\\system32", 1, "c:\\windows\\system32"},
      {"c:\\windows.", 1, "c:\\windows"},
      {"c:\\windows. . ", 1, "c:\\windows"},
      {"c:\\dunmere\\...\\dialer", 1, "c:\\dunmere\\dialer"},
      {"C:\\", 1, "c:\\"},
      {"c:\\..\\..", 1, "c:\\"},
      {"c:\\a\\..\\..\\b", 1, "c:\\b"},
      {"d:\\My Net\\Dialer", 1, "d:\\my net\\dialer"},
      {"c:", 0, ""},
      {"c:dunmere", 0, ""},
      {"dunmere\\dialer", 0, ""},
      {"\\dunmere", 0, ""},
      {"\\\\server\\share\\dir", 0, ""},
      {"", 0, ""},
      {"1:\\x", 0, ""},
  };
  for (const Case &c : cases) {
    char out[32];
    memset(out, 'J', sizeof out);
    EXPECT_EQ(normaliseDirectory(out, sizeof out, c.path), c.ok) << c.path;
    if (c.ok) {
      EXPECT_STREQ(out, c.canonical) << c.path;
    }
  }
}

TEST(ConfigText, NormaliseDirectoryNeverWritesPastTheBuffer) {
  struct Case {
    const char *path;
    size_t size;
    int ok;
  };
  const Case cases[] = {
      {"c:\\abcdef", 10, 1},     // 9 characters and the zero byte
      {"c:\\abcdefg", 10, 0},
      {"c:\\abc\\def", 11, 1},
      {"c:\\abc\\defg", 11, 0},
      {"c:\\abcdefgh\\..\\x", 6, 0},  // too long on the way: refused all the same
      {"c:\\", 4, 1},
      {"c:\\", 3, 0},
  };
  for (const Case &c : cases) {
    char out[32];
    memset(out, 'J', sizeof out);
    EXPECT_EQ(normaliseDirectory(out, c.size, c.path), c.ok) << c.path << " in " << c.size;
    for (size_t i = c.size; i < sizeof out; ++i) {
      ASSERT_EQ(out[i], 'J') << c.path << ": written past the buffer at " << i;
    }
  }
}

TEST(ConfigText, CaseHelpers) {
  EXPECT_EQ(textEqualNoCase("device=C:\\DUNMERE", "DEVICE=c:\\dunmere"), 1);
  EXPECT_EQ(textEqualNoCase("yes", "YES"), 1);
  EXPECT_EQ(textEqualNoCase("yes", "yess"), 0);
  EXPECT_EQ(textEqualNoCase("yess", "yes"), 0);
  EXPECT_EQ(textEqualNoCase("", ""), 1);
  EXPECT_EQ(textEqualNoCase("[", "{"), 0) << "only letters fold";
  EXPECT_EQ(textEqualNoCase("\xC4", "\xE4"), 0) << "only ASCII letters fold";
  char text[] = "[386Enh] device=a\\b\xE4@`z{";
  textToUpper(text);
  EXPECT_STREQ(text, "[386ENH] DEVICE=A\\B\xE4@`Z{");
}

}  // namespace
