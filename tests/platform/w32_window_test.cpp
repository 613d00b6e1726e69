// Window text, posted-message queues across threads, thread handles.
#include "w32_fixture.h"


#include <atomic>
#include <map>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using WindowTest = W32Test;

TEST_F(WindowTest, WindowTextIsCutToTheBuffer) {
  HWND w = w32::createTestWindow();
  ASSERT_TRUE(SetWindowTextA(w, "Installing Quorvel..."));
  struct Case {
    int size;
    int result;
    const char *text; // nullptr: the buffer stays untouched
  } cases[] = {
      {100, 21, "Installing Quorvel..."},
      {22, 21, "Installing Quorvel..."},
      {21, 20, "Installing Quorvel.."},
      {5, 4, "Inst"},
      {1, 0, ""},
      {0, 0, nullptr},
      {-3, 0, nullptr},
  };
  for (const Case &c : cases) {
    char buf[128];
    memset(buf, kJunk, sizeof buf);
    EXPECT_EQ(GetWindowTextA(w, buf, c.size), c.result) << c.size;
    if (c.text) {
      EXPECT_STREQ(buf, c.text) << c.size;
      EXPECT_EQ(buf[c.size], kJunk) << c.size;
    } else {
      EXPECT_EQ(buf[0], kJunk) << c.size;
    }
  }
  EXPECT_TRUE(SetWindowTextA(w, nullptr));
  char buf[8];
  EXPECT_EQ(GetWindowTextA(w, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");

  HWND bogus = reinterpret_cast<HWND>(static_cast<intptr_t>(0x4321));
  SetLastError(0);
  EXPECT_FALSE(SetWindowTextA(bogus, "x"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(GetWindowTextA(bogus, buf, sizeof buf), 0);
  EXPECT_FALSE(PostMessageA(bogus, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(IsWindow(bogus));
  EXPECT_TRUE(IsWindow(w));
}

DWORD WINAPI postBatch(LPVOID param) {
  HWND w = *static_cast<HWND *>(param);
  DWORD self = GetCurrentThreadId();
  for (int i = 0; i < 1000; ++i) PostMessageA(w, WM_USER + 1, self, i);
  return 0;
}

TEST_F(WindowTest, ConcurrentPostersKeepTheirOwnOrder) {
  HWND w = w32::createTestWindow();
  HANDLE a = CreateThread(nullptr, 0, postBatch, &w, 0, nullptr);
  HANDLE b = CreateThread(nullptr, 0, postBatch, &w, 0, nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  WaitForSingleObject(a, INFINITE);
  WaitForSingleObject(b, INFINITE);
  std::map<WPARAM, LPARAM> next;
  MSG m;
  int total = 0;
  while (w32::takePosted(w, &m)) {
    EXPECT_EQ(m.lParam, next[m.wParam]) << "thread " << m.wParam;
    next[m.wParam] = m.lParam + 1;
    ++total;
  }
  EXPECT_EQ(total, 2000);
  EXPECT_EQ(next.size(), 2u);
  // Ended threads no longer count as open handles; a handle closes once.
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeThread(a, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(w32::openHandleCount(), 0);
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_FALSE(CloseHandle(a));
  CloseHandle(b);
}

std::atomic<bool> release{false};
DWORD WINAPI waitForRelease(LPVOID) {
  while (!release) Sleep(1);
  return 7;
}

TEST_F(WindowTest, RunningThreadsCountAsOpenHandles) {
  release = false;
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, waitForRelease, nullptr, 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(w32::openHandleCount(), 1);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(t, 10), static_cast<DWORD>(WAIT_TIMEOUT));
  release = true;
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(w32::openHandleCount(), 0);
  CloseHandle(t);
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, waitForRelease, nullptr, CREATE_SUSPENDED, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(WindowTest, SleepPassesTicks) {
  DWORD before = GetTickCount();
  Sleep(30);
  DWORD after = GetTickCount();
  EXPECT_GE(after - before, 30u);
  EXPECT_LT(after - before, 5000u);
}

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
  // A filtered peek leaves the others queued in order.
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

TEST_F(WindowTest, AnotherThreadsLoopDoesNotSeeTheMessages) {
  HWND w = w32::createTestWindow();
  PostMessageA(w, WM_USER + 1, 0, 0);
  bool seen = true;
  std::thread other([&] {
    MSG m;
    seen = PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
  });
  other.join();
  EXPECT_FALSE(seen);
  MSG m;
  EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, w);
}

} // namespace
