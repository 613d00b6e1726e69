// Window objects and their posted-message queues.  A message posted to a
// window goes to the thread that created it; messages are taken in the order
// they were posted, whichever thread posted them.
#include "w32_internal.h"

#include <algorithm>
#include <deque>

using namespace w32int;

namespace {

struct Posted {
  MSG msg;
  DWORD thread; // the thread whose GetMessageA receives it
};

struct Windows {
  std::mutex m;
  std::condition_variable posted;
  std::map<intptr_t, std::shared_ptr<Window>> windows;
  intptr_t nextId = 0x20002;
  std::deque<Posted> queue;
};

Windows &windowsState() {
  static Windows *w = new Windows;
  return *w;
}

std::shared_ptr<Window> windowLocked(Windows &ws, HWND h) {
  auto it = ws.windows.find(reinterpret_cast<intptr_t>(h));
  return it == ws.windows.end() ? nullptr : it->second;
}

bool accepts(const Posted &p, DWORD thread, HWND filter, UINT lo, UINT hi) {
  if (p.thread != thread) return false;
  if (filter && p.msg.hwnd != filter) return false;
  if (lo == 0 && hi == 0) return true;
  return p.msg.message >= lo && p.msg.message <= hi;
}

// Takes (or copies) the first acceptable message; false if there is none.
bool takeLocked(Windows &ws, LPMSG msg, HWND filter, UINT lo, UINT hi, bool remove) {
  DWORD me = GetCurrentThreadId();
  for (auto it = ws.queue.begin(); it != ws.queue.end(); ++it) {
    if (!accepts(*it, me, filter, lo, hi)) continue;
    *msg = it->msg;
    if (remove) ws.queue.erase(it);
    return true;
  }
  return false;
}

} // namespace

namespace w32int {

HWND createWindowObject(DWORD ownerThread) {
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  auto w = std::make_shared<Window>();
  w->ownerThread = ownerThread;
  intptr_t id = ws.nextId;
  ws.nextId += 2;
  ws.windows[id] = w;
  return reinterpret_cast<HWND>(id);
}

void dropAllWindows() {
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  ws.windows.clear();
  ws.queue.clear();
}

} // namespace w32int

extern "C" BOOL WINAPI PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ensureInit();
  Windows &ws = windowsState();
  {
    std::lock_guard<std::mutex> lock(ws.m);
    Posted p;
    p.msg.hwnd = hwnd;
    p.msg.message = message;
    p.msg.wParam = wParam;
    p.msg.lParam = lParam;
    p.msg.time = GetTickCount();
    p.msg.pt.x = p.msg.pt.y = 0;
    if (hwnd) {
      auto w = windowLocked(ws, hwnd);
      if (!w) {
        setError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
      }
      p.thread = w->ownerThread;
    } else {
      p.thread = GetCurrentThreadId(); // a thread message
    }
    ws.queue.push_back(p);
  }
  ws.posted.notify_all();
  return TRUE;
}

extern "C" void WINAPI PostQuitMessage(int code) {
  PostMessageA(nullptr, WM_QUIT, static_cast<WPARAM>(code), 0);
}

extern "C" BOOL WINAPI GetMessageA(LPMSG msg, HWND hwnd, UINT lo, UINT hi) {
  ensureInit();
  Windows &ws = windowsState();
  std::unique_lock<std::mutex> lock(ws.m);
  if (hwnd && !windowLocked(ws, hwnd)) {
    setError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  ws.posted.wait(lock, [&] { return takeLocked(ws, msg, hwnd, lo, hi, true); });
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

extern "C" BOOL WINAPI PeekMessageA(LPMSG msg, HWND hwnd, UINT lo, UINT hi, UINT removeMsg) {
  ensureInit();
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  if (hwnd && !windowLocked(ws, hwnd)) {
    setError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return takeLocked(ws, msg, hwnd, lo, hi, (removeMsg & PM_REMOVE) != 0);
}

extern "C" BOOL WINAPI IsWindow(HWND hwnd) {
  ensureInit();
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  return windowLocked(ws, hwnd) != nullptr;
}

extern "C" BOOL WINAPI SetWindowTextA(HWND hwnd, LPCSTR text) {
  ensureInit();
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  auto w = windowLocked(ws, hwnd);
  if (!w) {
    setError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  w->text = text ? text : "";
  return TRUE;
}

extern "C" int WINAPI GetWindowTextA(HWND hwnd, LPSTR out, int maxCount) {
  ensureInit();
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  auto w = windowLocked(ws, hwnd);
  if (!w) {
    setError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (!out || maxCount <= 0) return 0;
  size_t n = std::min(w->text.size(), static_cast<size_t>(maxCount - 1));
  w->text.copy(out, n);
  out[n] = 0;
  return static_cast<int>(n);
}

namespace w32 {

HWND createTestWindow() {
  ensureInit();
  return createWindowObject(GetCurrentThreadId());
}

bool takePosted(HWND w, MSG *msg) {
  ensureInit();
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  for (auto it = ws.queue.begin(); it != ws.queue.end(); ++it) {
    if (it->msg.hwnd != w) continue;
    *msg = it->msg;
    ws.queue.erase(it);
    return true;
  }
  return false;
}

} // namespace w32
