// WinExec: programs named by Windows paths, started detached.
#include "w32_fixture.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

class ExecTest : public W32Test {};

TEST_F(ExecTest, StartsProgramsAsWin32Does) {
  makeHostDir(cdrive("/tools"));
  makeHostDir(cdrive("/Program Files/Q"));
  writeHost(cdrive("/tools/shell"), readHost("/bin/sh")); // an ELF program without an execute bit
  const char kArgs[] = "#!/bin/sh\nprintf '%s|' \"$@\" > \"$1\"\n";
  writeHost(cdrive("/tools/args.sh"), kArgs);
  writeHost(cdrive("/Program Files/Q/args.sh"), kArgs);
  writeHost(cdrive("/tools/broken.sh"), "#!/nonexistent/sh\n");
  writeHost(cdrive("/tools/readme.txt"), "Read me.\r\n");
  writeHost(cdrive("/tools/setup.exe"), std::string("MZ\x90\0\3\0", 6));
  char cwd[PATH_MAX];
  ASSERT_NE(realpath(cdrive().c_str(), cwd), nullptr); // C:\ is the current directory
  struct Case {
    std::string cmdLine;
    UINT result;
    const char *out; // the file the program writes in its working directory
    std::string written;
  } cases[] = {
      {"C:\\TOOLS\\SHELL -c \"pwd > out1; echo \\\"$0 $1\\\" >> out1\" first \"second arg\"", 33, "out1",
       std::string(cwd) + "\nfirst second arg\n"},
      {"c:\\tools\\args.sh out2 \"two three\" fo\"u\"r", 33, "out2", "out2|two three|four|"},
      {"\"c:\\program files\\q\\ARGS.SH\" out3", 33, "out3", "out3|"},
      {"c:\\program files\\q\\args.sh out4", ERROR_FILE_NOT_FOUND, nullptr, ""}, // c:\program
      {"c:\\nodir\\x.exe", ERROR_PATH_NOT_FOUND, nullptr, ""},
      {"q:\\x.exe", ERROR_PATH_NOT_FOUND, nullptr, ""},
      {"c:\\tools\\readme.txt", ERROR_BAD_FORMAT, nullptr, ""},
      {"c:\\tools\\setup.exe", ERROR_BAD_FORMAT, nullptr, ""}, // no wine on PATH
      {"c:\\tools\\broken.sh", 0, nullptr, ""},
  };
  std::string path = getenv("PATH");
  setenv("PATH", scratch().c_str(), 1);
  for (const Case &c : cases) {
    EXPECT_EQ(WinExec(c.cmdLine.c_str(), SW_SHOWNORMAL), c.result) << c.cmdLine;
    std::string got; // what the program wrote, once complete (at most 10 s)
    for (int i = 0; c.out && i < 1000 && (got = readHost(cdrive("/") + c.out)) != c.written; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(got, c.written) << c.cmdLine;
  }
  setenv("PATH", path.c_str(), 1);
  // The programs are nobody's children here.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  // Each request is in the transcript as the program gave it, and each that
  // failed is noted after it.
  std::string t = w32::transcript();
  size_t failed = 0;
  for (const Case &c : cases) failed += c.result <= 31;
  EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), static_cast<long>(sizeof cases / sizeof cases[0] + failed));
  EXPECT_NE(t.find("failed kind=exec call=WinExec cmdline=\"c:\\\\tools\\\\readme.txt\" error=11"), std::string::npos) << t;
  EXPECT_NE(t.find("exec cmdline=\"\\\"c:\\\\program files\\\\q\\\\ARGS.SH\\\" out3\"\n"), std::string::npos) << t;
}

} // namespace
