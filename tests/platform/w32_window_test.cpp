// Window text, thread handles and message loops, and WinExec: programs named by Windows paths.
#include "w32_fixture.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using WindowTest = W32Test;

// Catches a text not cut to the buffer less one, a byte written past it, and a bogus window handle taken.
TEST_F(WindowTest, WindowTextIsCutToTheBuffer) {
  HWND w = w32::createTestWindow();
  ASSERT_TRUE(SetWindowTextA(w, "Installing Quorvel..."));
  const struct {
    int size, result;
    const char *text; // nullptr: the buffer stays untouched
  } cases[] = {{22, 21, "Installing Quorvel..."}, {21, 20, "Installing Quorvel.."}, {1, 0, ""}, {0, 0, nullptr}, {-3, 0, nullptr}};
  for (const auto &c : cases) {
    char buf[128];
    memset(buf, kJunk, sizeof buf);
    EXPECT_EQ(GetWindowTextA(w, buf, c.size), c.result) << c.size;
    EXPECT_EQ(c.text ? std::string(buf) : std::string(), c.text ? c.text : "") << c.size;
    EXPECT_EQ(buf[c.text ? c.size : 0], kJunk) << c.size;
  }
  HWND bogus = reinterpret_cast<HWND>(static_cast<intptr_t>(0x4321));
  char buf[8] = "x";
  expectCalls({
      {"SetWindowTextA(NULL)", [&] { return err(SetWindowTextA(w, nullptr) && GetWindowTextA(w, buf, 8) == 0 && !*buf); }, 0},
      {"SetWindowTextA", [&] { return err(SetWindowTextA(bogus, "x")); }, ERROR_INVALID_WINDOW_HANDLE},
      {"GetWindowTextA", [&] { return err(GetWindowTextA(bogus, buf, sizeof buf) || *buf); }, ERROR_INVALID_WINDOW_HANDLE},
      {"PostMessageA", [&] { return err(PostMessageA(bogus, WM_USER, 0, 0)); }, ERROR_INVALID_WINDOW_HANDLE},
      {"IsWindow", [&] { return err(!IsWindow(bogus) && IsWindow(w)); }, 0},
      {"a thread made suspended", [] {
         return err(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, nullptr));
       }, ERROR_INVALID_PARAMETER},
  });
}

// Catches a running thread not counted as a handle (or an ended one counted), no wait, a wrong exit code.
TEST_F(WindowTest, ThreadsAreWaitedForAndCounted) {
  static std::atomic<bool> release{false};
  HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { while (!release) Sleep(1); return 7; }, nullptr, 0, nullptr);
  DWORD code = 0;
  EXPECT_EQ(w32::openHandleCount(), 1);
  EXPECT_TRUE(GetExitCodeThread(t, &code) && code == STILL_ACTIVE && WaitForSingleObject(t, 10) == WAIT_TIMEOUT);
  release = true;
  EXPECT_TRUE(WaitForSingleObject(t, INFINITE) == WAIT_OBJECT_0 && GetExitCodeThread(t, &code) && code == 7);
  EXPECT_EQ(w32::openHandleCount(), 0);
  EXPECT_TRUE(CloseHandle(t) && !CloseHandle(t)) << "a handle closes once";
}

// Catches GetMessageA not waiting, a filter taking the wrong message, a bad quit, another thread's messages.
TEST_F(WindowTest, ModalLoopTakesItsThreadsMessages) {
  HWND w = w32::createTestWindow();
  std::thread poster([w] {
    Sleep(20);
    PostMessageA(w, WM_USER + 2, 0, 0);
    PostMessageA(w, WM_COMMAND, 203, 0);
    PostMessageA(w, WM_USER + 3, 0, 0);
  });
  MSG m;
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), TRUE); // blocks until the first one arrives
  EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 2));
  poster.join();
  bool seen = true;
  std::thread([&] { seen = PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE); }).join();
  EXPECT_FALSE(seen) << "another thread's loop";
  EXPECT_TRUE(PeekMessageA(&m, w, WM_USER + 3, WM_USER + 3, PM_NOREMOVE));
  EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 3));
  EXPECT_TRUE(PeekMessageA(&m, w, WM_COMMAND, WM_COMMAND, PM_REMOVE));
  EXPECT_EQ(m.wParam, 203u);
  EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 3));
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  PostQuitMessage(3);
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), FALSE);
  EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(m.wParam, 3u);
}

// Catches a command line split wrongly, a wrong directory or code, no transcript line, a child left.
TEST_F(WindowTest, StartsProgramsAsWin32Does) {
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
