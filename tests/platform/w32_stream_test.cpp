// fopen on Windows paths: the Windows C runtime's text mode (CR LF, Ctrl-Z), binary, append, failures.
#include "w32_fixture.h"

#include <errno.h>

#include <cstdio>

namespace {

class StreamTest : public W32Test {
protected:
  std::string sysIni() { return cdrive("/windows/system.ini"); }
};

// Catches a CR LF not made LF (also across a piece or block), a lone CR dropped, a Ctrl-Z not ending it.
TEST_F(StreamTest, TextReadingTranslates) {
  const std::string x4095(4095, 'x');
  const struct {
    const char *what;
    std::string file;
    int size; // of fgets' buffer
    std::vector<std::string> pieces;
  } cases[] = {
      {"CR LF becomes LF", "a\r\nb\r\n", 254, {"a\n", "b\n"}},
      {"LF alone stays", "a\nb", 254, {"a\n", "b"}},
      {"a CR without LF stays", "a\rb\r\n", 254, {"a\rb\n"}},
      {"a CR at the end of the file stays", "x\r", 254, {"x\r"}},
      {"CR CR LF keeps the first CR", "x\r\r\n", 254, {"x\r\n"}},
      {"Ctrl-Z at the end is not read", "a\r\n\x1A", 254, {"a\n"}},
      {"Ctrl-Z in the middle ends the stream", "a\r\nb\x1A" "c\r\nd\r\n", 254, {"a\n", "b"}},
      {"Ctrl-Z right after a CR", "a\r\x1A\n", 254, {"a\r"}},
      {"a long line comes in pieces", std::string(600, 'p') + "\r\nq\r\n", 254,
       {std::string(253, 'p'), std::string(253, 'p'), std::string(94, 'p') + "\n", "q\n"}},
      {"a piece can end between CR and LF of the file", "abc\r\n", 4, {"abc", "\n"}},
      {"CR LF across the stream's read blocks", x4095 + "\r\ny", 8192, {x4095 + "\n", "y"}},
      {"an empty file", "", 254, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    writeHost(sysIni(), c.file);
    FILE *f = fopen("C:\\WINDOWS\\SYSTEM.INI", "rt");
    ASSERT_NE(f, nullptr);
    std::vector<std::string> pieces;
    std::vector<char> buf(static_cast<size_t>(c.size) + 8, kJunk);
    while (fgets(buf.data(), c.size, f)) pieces.push_back(buf.data());
    EXPECT_EQ(pieces, c.pieces);
    EXPECT_TRUE(feof(f) && !ferror(f));
    EXPECT_EQ(fclose(f), 0);
  }
}

// Catches LF written without its CR (or binary with one), a lost percent sign, a wrong Ctrl-Z on append.
TEST_F(StreamTest, TextWritingTranslates) {
  const struct {
    const char *what, *mode;
    std::string before, put, after;
  } cases[] = {
      {"LF becomes CR LF", "wt", "", "a\nb\n", "a\r\nb\r\n"},
      {"a CR before LF gets its own", "wt", "", "x\r\n", "x\r\r\n"},
      {"w without t is text too", "w", "old", "1\n2", "1\r\n2"},
      {"binary writes bytes", "wb", "", "a\nb\r\n", "a\nb\r\n"},
      {"percent signs are text", "wt", "", "keyboard=%kbd%\n", "keyboard=%kbd%\r\n"},
      {"a+ drops a Ctrl-Z that ends the file", "a+", "x\r\n\x1A", "y\n", "x\r\ny\r\n"},
      {"a keeps it", "at", "x\x1A", "y\n", "x\x1Ay\r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    writeHost(sysIni(), c.before);
    FILE *f = fopen("c:\\windows\\system.ini", c.mode);
    ASSERT_NE(f, nullptr);
    EXPECT_NE(fputs(c.put.c_str(), f), EOF);
    EXPECT_EQ(fclose(f), 0);
    EXPECT_EQ(readHost(sysIni()), c.after);
  }
}

// Catches an unknown mode or failure given the wrong errno or Win32 error, and a text stream that seeks.
TEST_F(StreamTest, ModesAndFailures) {
  auto open = [](const char *path, const char *mode, int e) { // fails with errno e, and this Win32 error
    return [=] { return (errno = 0, fopen(path, mode)) || errno != e ? 1 : GetLastError(); };
  };
  expectCalls({
      {"a directory", open("c:\\windows", "rt", EACCES), ERROR_ACCESS_DENIED},
      {"an unknown mode letter", open("c:\\windows\\system.ini", "rq", EINVAL), ERROR_INVALID_PARAMETER},
      {"t and b together", open("c:\\windows\\system.ini", "rtb", EINVAL), ERROR_INVALID_PARAMETER},
      {"no mode letter", open("c:\\windows\\system.ini", "+", EINVAL), ERROR_INVALID_PARAMETER},
  });
  writeHost(sysIni(), "a\r\n\x1A" "b");
  FILE *f = fopen("c:\\windows\\system.ini", "rb");
  ASSERT_NE(f, nullptr);
  char buf[16];
  EXPECT_EQ(std::string(buf, fread(buf, 1, sizeof buf, f)), "a\r\n\x1A" "b") << "binary streams read every byte";
  EXPECT_EQ(fseek(f, 1, SEEK_SET), 0);
  EXPECT_EQ(fgetc(f), '\r');
  fclose(f);
  f = fopen("c:\\windows\\system.ini", "rt");
  EXPECT_NE(fseek(f, 0, SEEK_SET), 0);
  fclose(f);
  // A host path is the C library's: no translation, not the layer's handle.
  f = fopen(scratch("/plain.txt").c_str(), "w");
  fputs("a\n", f);
  EXPECT_EQ(w32::openHandleCount(), 0);
  fclose(f);
  EXPECT_EQ(readHost(scratch("/plain.txt")), "a\n");
}

} // namespace
