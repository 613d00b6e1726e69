// Window text, thread handles and message loops. (The worker's posts to its
// dialog: the dialog and scenario tests.)
#include "w32_fixture.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using WindowTest = W32Test;

// Catches a text not cut to the buffer less one, a byte written past it, a
// buffer of size 0 touched, and a bogus window handle taken for a window.
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

// Catches a running thread not counted as an open handle (or an ended one
// still counted), a wait that does not wait, and a wrong exit code.
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

// Catches GetMessageA not waiting, a filter that takes the wrong message, a
// quit that is not FALSE, and one thread's loop taking another's messages.
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

} // namespace
