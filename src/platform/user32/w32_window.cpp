// Window objects, their posted-message queues, and the calls that read or
// change one window: texts, rectangles, dialog items, messages sent to
// controls.  A message posted to a window goes to the thread that created
// it; messages are taken in the order they were posted, whichever thread
// posted them.  Dialogs themselves are run by w32_dialog.cpp.
#include "machine/w32_core.h"
#include "machine/w32_script.h"
#include "w32_windows.h"

#include <commctrl.h>

#include <algorithm>
#include <condition_variable>
#include <deque>

#include "frontend/frontend.h"

using namespace w32int;

namespace {

// A text change that another thread asked of a control of a shown dialog:
// carried out by the dialog's thread, as Windows carries out a message sent
// across threads, while the sender waits.
struct SentText {
  std::string text;
  bool done = false;
  BOOL result = FALSE;
};

struct Posted {
  MSG msg;
  DWORD thread;  // the thread whose GetMessageA receives it
  std::shared_ptr<SentText> sent;  // a sent WM_SETTEXT, handled before posted messages
};

struct Windows {
  std::mutex m;
  std::condition_variable posted;
  std::map<intptr_t, std::shared_ptr<Window>> windows;
  intptr_t nextId = 0x20002;
  std::deque<Posted> queue;
  unsigned long wakeups = 0;  // wakeWaiters() calls, so a waiter sees one
};

Windows &windowsState() {
  static Windows *w = new Windows;  // never destroyed: worker threads may outlive main
  return *w;
}

bool accepts(const Posted &p, DWORD thread, HWND filter, UINT lo, UINT hi) {
  if (p.thread != thread || p.sent) return false;
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

std::shared_ptr<Window> childLocked(HWND dialog, int id) {
  auto d = windowLocked(dialog);
  if (!d) return nullptr;
  for (HWND c : d->controls) {
    auto w = windowLocked(c);
    if (w && w->id == id) return w;
  }
  return nullptr;
}

// What a front end is told of a control; windowsLock() held.
w32fe::ControlInfo controlInfoLocked(const Window &w) {
  w32fe::ControlInfo c;
  c.hwnd = w.self;
  c.id = w.id;
  c.className = w.className;
  c.style = w.style;
  c.dlu = w.dlu;
  c.text = w.text;
  c.editLimit = w.editLimit;
  c.progressPos = w.pos;
  c.progressMin = w.rangeMin;
  c.progressMax = w.rangeMax;
  c.bitmap = w.bitmap;
  c.bitmapSize = w.bitmapSize;
  c.bitmapWords = w.bitmapWords;
  return c;
}

// A program's change to a control of a shown dialog is an event: the
// transcript line, and the front end redraws.  Called without the lock.
void controlChanged(HWND control, const std::string &transcriptLine);

// Gives up the sent texts among queued messages that go unhandled (their
// windows are gone): the senders get FALSE.  Called with the lock held.
void abandonSent(std::deque<Posted>::iterator from, std::deque<Posted>::iterator to) {
  for (auto it = from; it != to; ++it) {
    if (it->sent) it->sent->done = true;
  }
}

// SetWindowTextA carried out on this thread.
BOOL setTextHere(HWND hwnd, const std::string &text) {
  std::string line;
  {
    std::lock_guard<std::mutex> lock(windowsLock());
    auto w = windowLocked(hwnd);
    if (!w) {
      setError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    w->text = text;
    if (w->kind == WindowKind::Edit && w->text.size() > 30000) w->text.resize(30000);
    line = qva::statusLine(w->text);
  }
  controlChanged(hwnd, line);
  return TRUE;
}

void controlChanged(HWND control, const std::string &transcriptLine) {
  w32fe::DialogInfo dialog;
  w32fe::ControlInfo info;
  {
    std::lock_guard<std::mutex> lock(windowsLock());
    auto c = windowLocked(control);
    if (!c || !c->parent) return;
    auto d = windowLocked(c->parent);
    if (!d || !d->shown || d->ended) return;
    dialog = w32int::dialogInfoLocked(*d);
    info = controlInfoLocked(*c);
  }
  if (!transcriptLine.empty()) recordEvent(transcriptLine);
  if (w32fe::FrontEnd *fe = w32fe::current()) fe->controlChanged(dialog, info);
}

LRESULT progressMessage(HWND bar, UINT message, WPARAM wParam) {
  int before = 0, after = 0;
  LRESULT result = 0;
  {
    std::lock_guard<std::mutex> lock(windowsLock());
    auto w = windowLocked(bar);
    if (!w) return 0;
    before = w->pos;
    auto clamp = [&](long p) {
      w->pos = static_cast<int>(std::max<long>(w->rangeMin, std::min<long>(w->rangeMax, p)));
    };
    switch (message) {
    case PBM_SETPOS: result = w->pos; clamp(static_cast<long>(static_cast<int>(wParam))); break;
    case PBM_SETSTEP: result = w->step; w->step = static_cast<int>(wParam); break;
    default: return 0;
    }
    after = w->pos;
  }
  if (after != before) controlChanged(bar, qva::progressLine(after));
  return result;
}

}  // namespace

namespace w32int {

std::mutex &windowsLock() { return windowsState().m; }

std::shared_ptr<Window> windowLocked(HWND h) {
  Windows &ws = windowsState();
  auto it = ws.windows.find(reinterpret_cast<intptr_t>(h));
  return it == ws.windows.end() ? nullptr : it->second;
}

HWND addWindow(std::shared_ptr<Window> w) {
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  intptr_t id = ws.nextId;
  ws.nextId += 2;
  w->self = reinterpret_cast<HWND>(id);
  if (w->ownerThread == 0) w->ownerThread = GetCurrentThreadId();
  ws.windows[id] = std::move(w);
  return reinterpret_cast<HWND>(id);
}

HWND createWindowObject(DWORD ownerThread) {
  auto w = std::make_shared<Window>();
  w->ownerThread = ownerThread;
  return addWindow(std::move(w));
}

void destroyDialogObjects(HWND dialog) {
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  auto d = windowLocked(dialog);
  if (!d) return;
  std::vector<HWND> gone = d->controls;
  gone.push_back(dialog);
  for (HWND h : gone) ws.windows.erase(reinterpret_cast<intptr_t>(h));
  auto kept = std::stable_partition(ws.queue.begin(), ws.queue.end(), [&](const Posted &p) {
    return std::find(gone.begin(), gone.end(), p.msg.hwnd) == gone.end();
  });
  abandonSent(kept, ws.queue.end());
  ws.queue.erase(kept, ws.queue.end());
  ws.posted.notify_all();
}

void dropAllWindows() {
  Windows &ws = windowsState();
  std::lock_guard<std::mutex> lock(ws.m);
  ws.windows.clear();
  abandonSent(ws.queue.begin(), ws.queue.end());
  ws.queue.clear();
  ws.posted.notify_all();
}

bool takePostedFor(HWND w, MSG *msg) {
  Windows &ws = windowsState();
  DWORD me = GetCurrentThreadId();
  for (;;) {
    std::shared_ptr<SentText> sent;
    HWND to = nullptr;
    {
      std::lock_guard<std::mutex> lock(ws.m);
      auto d = windowLocked(w);
      auto it = ws.queue.begin();
      for (; it != ws.queue.end(); ++it) {
        if (it->thread != me) continue;
        to = it->msg.hwnd;
        if (to == w || (d && std::find(d->controls.begin(), d->controls.end(), to) != d->controls.end())) break;
      }
      if (it == ws.queue.end()) return false;
      if (!it->sent) {
        *msg = it->msg;
        ws.queue.erase(it);
        return true;
      }
      sent = it->sent;
      ws.queue.erase(it);
    }
    // A sent text change: carried out here, then the sender goes on.
    BOOL result = setTextHere(to, sent->text);
    {
      std::lock_guard<std::mutex> lock(ws.m);
      sent->result = result;
      sent->done = true;
    }
    ws.posted.notify_all();
  }
}

void waitPosted(HWND w, DWORD ms) {
  Windows &ws = windowsState();
  std::unique_lock<std::mutex> lock(ws.m);
  DWORD me = GetCurrentThreadId();
  unsigned long wakeups = ws.wakeups;
  auto ready = [&] {
    if (ws.wakeups != wakeups) return true;
    auto d = windowLocked(w);
    if (!d) return true;
    for (const Posted &p : ws.queue) {
      if (p.thread != me) continue;
      HWND to = p.msg.hwnd;
      if (to == w || std::find(d->controls.begin(), d->controls.end(), to) != d->controls.end()) return true;
    }
    return false;
  };
  if (ms == INFINITE) {
    ws.posted.wait(lock, ready);
  } else {
    ws.posted.wait_for(lock, std::chrono::milliseconds(ms), ready);
  }
}

void wakeWaiters() {
  Windows &ws = windowsState();
  {
    std::lock_guard<std::mutex> lock(ws.m);
    ++ws.wakeups;
  }
  ws.posted.notify_all();
}

w32fe::DialogInfo dialogInfoLocked(const Window &d) {
  w32fe::DialogInfo info;
  info.hwnd = d.self;
  info.id = d.id;
  info.caption = d.text;
  info.style = d.style;
  info.cxDlu = d.cxDlu;
  info.cyDlu = d.cyDlu;
  info.window = d.rect;
  info.fontName = d.fontName;
  info.fontSize = d.fontSize;
  for (HWND h : d.controls) {
    if (auto c = windowLocked(h)) info.controls.push_back(controlInfoLocked(*c));
  }
  return info;
}

}  // namespace w32int

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
      auto w = windowLocked(hwnd);
      if (!w) {
        setError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
      }
      p.thread = w->ownerThread;
    } else {
      p.thread = GetCurrentThreadId();  // a thread message
    }
    ws.queue.push_back(p);
  }
  ws.posted.notify_all();
  return TRUE;
}

extern "C" void WINAPI PostQuitMessage(int code) { PostMessageA(nullptr, WM_QUIT, static_cast<WPARAM>(code), 0); }

extern "C" BOOL WINAPI GetMessageA(LPMSG msg, HWND hwnd, UINT lo, UINT hi) {
  ensureInit();
  Windows &ws = windowsState();
  std::unique_lock<std::mutex> lock(ws.m);
  if (hwnd && !windowLocked(hwnd)) {
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
  if (hwnd && !windowLocked(hwnd)) {
    setError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return takeLocked(ws, msg, hwnd, lo, hi, (removeMsg & PM_REMOVE) != 0);
}

extern "C" BOOL WINAPI IsWindow(HWND hwnd) {
  ensureInit();
  std::lock_guard<std::mutex> lock(windowsLock());
  return windowLocked(hwnd) != nullptr;
}

extern "C" BOOL WINAPI SetWindowTextA(HWND hwnd, LPCSTR text) {
  ensureInit();
  Windows &ws = windowsState();
  std::string value = text ? text : "";
  std::shared_ptr<SentText> sent;
  {
    std::lock_guard<std::mutex> lock(ws.m);
    auto w = windowLocked(hwnd);
    if (!w) {
      setError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    // A control of a dialog whose modal loop runs on another thread: the
    // change is sent to that thread, ahead of the messages posted to it,
    // and this one waits until it has been made (or the dialog has gone).
    auto d = w->parent ? windowLocked(w->parent) : nullptr;
    if (d && d->shown && !d->ended && w->ownerThread != GetCurrentThreadId()) {
      sent = std::make_shared<SentText>();
      sent->text = value;
      Posted p;
      p.msg = MSG();
      p.msg.hwnd = hwnd;
      p.msg.message = WM_SETTEXT;
      p.msg.time = GetTickCount();
      p.thread = w->ownerThread;
      p.sent = sent;
      auto at = std::find_if(ws.queue.begin(), ws.queue.end(), [](const Posted &q) { return !q.sent; });
      ws.queue.insert(at, p);
    }
  }
  if (!sent) return setTextHere(hwnd, value);
  ws.posted.notify_all();
  std::unique_lock<std::mutex> lock(ws.m);
  ws.posted.wait(lock, [&] { return sent->done; });
  if (!sent->result) setError(ERROR_INVALID_WINDOW_HANDLE);
  return sent->result;
}

extern "C" int WINAPI GetWindowTextA(HWND hwnd, LPSTR out, int maxCount) {
  ensureInit();
  std::lock_guard<std::mutex> lock(windowsLock());
  auto w = windowLocked(hwnd);
  if (!w) {
    setError(ERROR_INVALID_WINDOW_HANDLE);
    if (out && maxCount > 0) out[0] = 0;
    return 0;
  }
  if (!out || maxCount <= 0) return 0;
  size_t n = std::min(w->text.size(), static_cast<size_t>(maxCount - 1));
  w->text.copy(out, n);
  out[n] = 0;
  return static_cast<int>(n);
}

extern "C" HWND WINAPI GetDlgItem(HWND dialog, int id) {
  ensureInit();
  std::lock_guard<std::mutex> lock(windowsLock());
  if (!windowLocked(dialog)) {
    setError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto c = childLocked(dialog, id);
  if (!c) {
    setError(1421);  // ERROR_CONTROL_ID_NOT_FOUND
    return nullptr;
  }
  return c->self;
}

extern "C" UINT WINAPI GetDlgItemTextA(HWND dialog, int id, LPSTR out, int maxCount) {
  HWND c = GetDlgItem(dialog, id);
  if (!c) {
    if (out && maxCount > 0) out[0] = 0;
    return 0;
  }
  return static_cast<UINT>(GetWindowTextA(c, out, maxCount));
}

extern "C" BOOL WINAPI SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  HWND c = GetDlgItem(dialog, id);
  return c ? SetWindowTextA(c, text) : FALSE;
}

extern "C" BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
  ensureInit();
  std::lock_guard<std::mutex> lock(windowsLock());
  auto w = windowLocked(hwnd);
  if (!w || !rect) {
    setError(w ? ERROR_NOACCESS : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  *rect = w->rect;
  if (w->parent) {  // a control: its dialog's client area is on the screen
    if (auto d = windowLocked(w->parent)) {
      LONG x = d->rect.left + 3, y = d->rect.top + 3 + 18;  // dialog frame and caption
      rect->left += x;
      rect->right += x;
      rect->top += y;
      rect->bottom += y;
    }
  }
  return TRUE;
}

extern "C" BOOL WINAPI MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
  ensureInit();
  {
    std::lock_guard<std::mutex> lock(windowsLock());
    auto w = windowLocked(hwnd);
    if (!w) {
      setError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    w->rect.left = x;
    w->rect.top = y;
    w->rect.right = x + width;
    w->rect.bottom = y + height;
  }
  return TRUE;
}

extern "C" LRESULT WINAPI SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ensureInit();
  WindowKind kind;
  DLGPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(windowsLock());
    auto w = windowLocked(hwnd);
    if (!w) {
      setError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    kind = w->kind;
    proc = w->proc;
    if (message == EM_LIMITTEXT && kind == WindowKind::Edit) {
      w->editLimit = wParam == 0 || wParam > 30000 ? 30000 : static_cast<int>(wParam);
      return 0;
    }
  }
  switch (message) {
  case WM_SETTEXT: return SetWindowTextA(hwnd, reinterpret_cast<LPCSTR>(lParam));
  case WM_GETTEXT:
    return GetWindowTextA(hwnd, reinterpret_cast<LPSTR>(lParam), static_cast<int>(wParam));
  default: break;
  }
  if (kind == WindowKind::Progress) return progressMessage(hwnd, message, wParam);
  // A dialog's own messages go to its procedure, on the calling thread.
  if (kind == WindowKind::Dialog && proc) return proc(hwnd, message, wParam, lParam);
  return 0;
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

}  // namespace w32
