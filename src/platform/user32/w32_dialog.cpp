// The dialog manager: modal dialogs from the program's templates, the
// bitmap static, message boxes, string resources, the common controls, the
// screen.  What the user sees and does goes through the front end
// (frontend/frontend.h); what happens is recorded in the transcript:
//
//   dialog id=ID event=show caption="CAPTION" [editNNN="TEXT"...]
//   dialog id=ID event=press control=CTRL [editNNN="TEXT"...]
//   dialog id=ID event=end
//   progress pos=N                 (w32_window.cpp)
//   status text="TEXT"             (w32_window.cpp)
//
// Only what a driver outside the process could also see is recorded.
#include "machine/w32_core.h"
#include "machine/w32_script.h"
#include "w32_windows.h"

#include <commctrl.h>
#include <string.h>

#include "w32_resource.h"

using namespace w32int;

// A program built without resources has none.
__attribute__((weak)) const w32res::ResourceTable *w32_resource_table() {
  static const w32res::ResourceTable none = {nullptr, 0, nullptr, 0, nullptr, 0};
  return &none;
}

namespace {

std::mutex stringOverridesLock;
std::map<UINT, std::string> stringOverrides;  // w32::setStringResource

std::atomic<bool> commonControls{false};
std::atomic<w32fe::FrontEnd *> chosen{nullptr};
thread_local HWND activeDialog = nullptr;  // the innermost modal dialog of this thread

const w32res::DialogTemplate *findDialog(LPCSTR name) {
  long id;
  if (IS_INTRESOURCE(name)) {
    id = LOWORD(name);
  } else if (name && name[0] == '#') {
    id = strtol(name + 1, nullptr, 10);
  } else {
    return nullptr;  // the templates are numbered
  }
  const w32res::ResourceTable *t = w32_resource_table();
  for (int i = 0; i < t->dialogCount; ++i) {
    if (t->dialogs[i].id == id) return &t->dialogs[i];
  }
  return nullptr;
}

const w32res::BitmapEntry *findBitmap(LPCSTR name) {
  if (!name || IS_INTRESOURCE(name)) return nullptr;
  const w32res::ResourceTable *t = w32_resource_table();
  for (int i = 0; i < t->bitmapCount; ++i) {
    if (equalsNoCase(t->bitmaps[i].name, name)) return &t->bitmaps[i];
  }
  return nullptr;
}

// Width and height of a .bmp file's picture (0 when it is not one).
void bitmapSize(const w32res::BitmapEntry *b, long *cx, long *cy) {
  *cx = *cy = 0;
  if (!b || b->size < 26 || b->bytes[0] != 'B' || b->bytes[1] != 'M') return;
  auto le32 = [&](int at) {
    return static_cast<int32_t>(b->bytes[at] | b->bytes[at + 1] << 8 | b->bytes[at + 2] << 16 |
                                static_cast<uint32_t>(b->bytes[at + 3]) << 24);
  };
  *cx = le32(18);
  *cy = le32(22) < 0 ? -le32(22) : le32(22);
}

WindowKind kindOfClass(const char *cls) {
  if (equalsNoCase(cls, "BUTTON")) return WindowKind::Button;
  if (equalsNoCase(cls, "STATIC")) return WindowKind::Static;
  if (equalsNoCase(cls, "EDIT")) return WindowKind::Edit;
  if (equalsNoCase(cls, PROGRESS_CLASSA) && commonControls) return WindowKind::Progress;
  return WindowKind::Plain;  // a class nobody registered
}

RECT dluToPixels(long x, long y, long cx, long cy) {
  RECT r;
  r.left = static_cast<LONG>(x * kBaseUnitX / 4);
  r.top = static_cast<LONG>(y * kBaseUnitY / 8);
  r.right = static_cast<LONG>((x + cx) * kBaseUnitX / 4);
  r.bottom = static_cast<LONG>((y + cy) * kBaseUnitY / 8);
  return r;
}

HWND createDialog(const w32res::DialogTemplate *t, DLGPROC proc) {
  auto d = std::make_shared<Window>();
  d->kind = WindowKind::Dialog;
  d->className = "#32770";
  d->id = t->id;
  d->text = t->caption ? t->caption : "";
  d->style = t->style;
  d->exStyle = t->exStyle;
  d->proc = proc;
  d->fontName = t->fontName ? t->fontName : "";
  d->fontSize = t->fontSize;
  d->cxDlu = t->cx;
  d->cyDlu = t->cy;
  RECT client = dluToPixels(t->x, t->y, t->cx, t->cy);
  // A modal frame of 3 pixels and an 18-pixel caption around the client area.
  d->rect = {client.left, client.top, client.right + 6, client.bottom + 6 + 18};
  HWND dialog = addWindow(d);
  for (int i = 0; i < t->controlCount; ++i) {
    const w32res::ControlTemplate &ct = t->controls[i];
    auto c = std::make_shared<Window>();
    c->kind = kindOfClass(ct.className);
    c->className = ct.className;
    c->text = ct.text ? ct.text : "";
    c->id = ct.id;
    c->style = ct.style;
    c->exStyle = ct.exStyle;
    c->parent = dialog;
    c->rect = dluToPixels(ct.x, ct.y, ct.cx, ct.cy);
    c->dlu = {ct.x, ct.y, ct.x + ct.cx, ct.y + ct.cy};
    HWND h = addWindow(c);
    std::lock_guard<std::mutex> lock(windowsLock());
    d->controls.push_back(h);
  }
  return dialog;
}

std::vector<qva::EditField> editFields(const w32fe::DialogInfo &d) {
  std::vector<qva::EditField> out;
  for (const w32fe::ControlInfo &c : d.controls) {
    if (equalsNoCase(c.className, "EDIT")) out.push_back({c.id, c.text});
  }
  return out;
}

w32fe::DialogInfo snapshot(HWND dialog) {
  std::lock_guard<std::mutex> lock(windowsLock());
  auto d = windowLocked(dialog);
  return d ? dialogInfoLocked(*d) : w32fe::DialogInfo();
}

bool ended(HWND dialog, INT_PTR *result) {
  std::lock_guard<std::mutex> lock(windowsLock());
  auto d = windowLocked(dialog);
  if (!d) return true;
  *result = d->result;
  return d->ended;
}

// Hands every message posted for the dialog to its procedure, until it ends.
void dispatchPosted(HWND dialog, DLGPROC proc) {
  MSG msg;
  INT_PTR result;
  while (!ended(dialog, &result) && takePostedFor(dialog, &msg)) {
    if (msg.hwnd == dialog) proc(dialog, msg.message, msg.wParam, msg.lParam);
  }
}

// Carries out what the user did.
void apply(HWND dialog, DLGPROC proc, const w32fe::DialogInfo &info, const w32fe::UserAction &action) {
  switch (action.kind) {
  case w32fe::UserAction::SetEditText: {
    std::lock_guard<std::mutex> lock(windowsLock());
    for (const w32fe::ControlInfo &c : info.controls) {
      if (c.id != action.control) continue;
      if (auto w = windowLocked(c.hwnd)) {
        int limit = w->editLimit ? w->editLimit : 30000;
        w->text = action.text.substr(0, static_cast<size_t>(limit));
      }
    }
    return;
  }
  case w32fe::UserAction::Press: {
    HWND button = nullptr;
    for (const w32fe::ControlInfo &c : info.controls) {
      if (c.id == action.control) button = c.hwnd;
    }
    recordEvent(qva::dialogPressLine(info.id, action.control, editFields(info)));
    proc(dialog, WM_COMMAND, MAKELONG(action.control, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return;
  }
  case w32fe::UserAction::Escape:
  case w32fe::UserAction::Close:
    // Both reach the dialog as the Cancel command, as the dialog manager
    // of Windows sends them.
    recordEvent(qva::dialogPressLine(info.id, IDCANCEL, editFields(info)));
    proc(dialog, WM_COMMAND, MAKELONG(IDCANCEL, BN_CLICKED), 0);
    return;
  }
}

}  // namespace

namespace w32fe {

FrontEnd *current() {
  FrontEnd *fe = chosen.load();
  return fe ? fe : scriptedFrontEnd();
}

void setCurrent(FrontEnd *frontEnd) { chosen = frontEnd; }

void wake() { wakeWaiters(); }

void dispatchPosted() {
  HWND dialog = activeDialog;
  DLGPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(windowsLock());
    auto d = windowLocked(dialog);
    if (!d) return;
    proc = d->proc;
  }
  ::dispatchPosted(dialog, proc);
}

}  // namespace w32fe

extern "C" void WINAPI InitCommonControls(void) { commonControls = true; }

extern "C" INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR name, HWND parent, DLGPROC proc, LPARAM param) {
  ensureInit();
  const w32res::DialogTemplate *t = findDialog(name);
  if (!t) {
    setError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  for (int i = 0; i < t->controlCount; ++i) {
    if (kindOfClass(t->controls[i].className) == WindowKind::Plain) {
      setError(ERROR_CANNOT_FIND_WND_CLASS);
      return -1;
    }
  }
  if (!proc || (parent && !IsWindow(parent))) {
    setError(proc ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return -1;
  }
  w32fe::FrontEnd *fe = w32fe::current();
  HWND dialog = createDialog(t, proc);
  HWND outer = activeDialog;
  activeDialog = dialog;
  HWND focus = nullptr;
  for (const w32fe::ControlInfo &c : snapshot(dialog).controls) {
    if (!focus && (c.style & WS_TABSTOP) && !(c.style & WS_DISABLED)) focus = c.hwnd;
  }
  proc(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), param);

  INT_PTR result = 0;
  if (!ended(dialog, &result)) {
    w32fe::DialogInfo info = snapshot(dialog);
    if (!fe->showDialog(info)) {
      destroyDialogObjects(dialog);
      activeDialog = outer;
      setError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
    {
      std::lock_guard<std::mutex> lock(windowsLock());
      if (auto d = windowLocked(dialog)) d->shown = true;
    }
    recordEvent(qva::dialogShowLine(t->id, info.caption, editFields(info)));
    // The first answer is taken before any posted message is handled: the
    // dialog waits for the user as soon as it is shown.
    for (bool first = true;; first = false) {
      if (!first) dispatchPosted(dialog, proc);
      if (ended(dialog, &result)) break;
      w32fe::UserAction action;
      DWORD waitMs = INFINITE;
      info = snapshot(dialog);
      int got = fe->nextAction(info, &action, &waitMs);
      if (got < 0) {
        result = -1;
        break;
      }
      if (got > 0) {
        apply(dialog, proc, info, action);
      } else {
        waitPosted(dialog, waitMs);
      }
    }
  }
  w32fe::DialogInfo last = snapshot(dialog);
  bool wasShown = false;
  {
    std::lock_guard<std::mutex> lock(windowsLock());
    if (auto d = windowLocked(dialog)) wasShown = d->shown;
  }
  destroyDialogObjects(dialog);
  activeDialog = outer;
  if (wasShown) {
    recordEvent(qva::dialogEndLine(t->id));
    fe->closeDialog(last, result);
  }
  return result;
}

extern "C" BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
  ensureInit();
  {
    std::lock_guard<std::mutex> lock(windowsLock());
    auto d = windowLocked(dialog);
    if (!d || d->kind != WindowKind::Dialog) {
      setError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    d->ended = true;
    d->result = result;
  }
  wakeWaiters();
  return TRUE;
}

extern "C" HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR cls, LPCSTR name, DWORD style, int x, int y, int width,
                                       int height, HWND parent, HMENU menu, HINSTANCE, LPVOID) {
  ensureInit();
  WindowKind kind = cls && !IS_INTRESOURCE(cls) ? kindOfClass(cls) : WindowKind::Plain;
  if (kind == WindowKind::Plain) {
    setError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  bool shown = false;
  {
    // Only child controls of dialogs are offered.
    std::lock_guard<std::mutex> lock(windowsLock());
    auto d = windowLocked(parent);
    if (!d || d->kind != WindowKind::Dialog || !(style & WS_CHILD)) {
      setError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    shown = d->shown;
  }
  auto c = std::make_shared<Window>();
  c->kind = kind;
  c->className = cls;
  c->id = static_cast<int>(reinterpret_cast<intptr_t>(menu));
  c->style = style;
  c->exStyle = exStyle;
  c->parent = parent;
  c->text = name && !IS_INTRESOURCE(name) ? name : "";
  long cx = width, cy = height;
  if (kind == WindowKind::Static && (style & SS_TYPEMASK) == SS_BITMAP) {
    // The window name names the bitmap; the control takes its size.
    const w32res::BitmapEntry *b = findBitmap(name);
    if (b) {
      c->bitmap = b->bytes;
      c->bitmapSize = b->size;
      c->bitmapWords = b->words;
      bitmapSize(b, &cx, &cy);
    }
    int border = (style & WS_BORDER) ? 2 : 0;
    cx += border;
    cy += border;
  }
  c->rect = {x, y, static_cast<LONG>(x + cx), static_cast<LONG>(y + cy)};
  c->dlu = {static_cast<LONG>(x * 4 / kBaseUnitX), static_cast<LONG>(y * 8 / kBaseUnitY),
            static_cast<LONG>((x + cx) * 4 / kBaseUnitX), static_cast<LONG>((y + cy) * 8 / kBaseUnitY)};
  HWND h = addWindow(c);
  {
    std::lock_guard<std::mutex> lock(windowsLock());
    if (auto d = windowLocked(parent)) d->controls.push_back(h);
  }
  if (shown) {
    w32fe::DialogInfo info = snapshot(parent);
    for (const w32fe::ControlInfo &ci : info.controls) {
      if (ci.hwnd == h) w32fe::current()->controlChanged(info, ci);
    }
  }
  return h;
}

extern "C" int WINAPI GetSystemMetrics(int index) {
  ensureInit();
  int cx = 0, cy = 0;
  w32fe::current()->screenSize(&cx, &cy);
  switch (index) {
  case SM_CXSCREEN: return cx;
  case SM_CYSCREEN: return cy;
  default: return 0;
  }
}

extern "C" int WINAPI LoadStringA(HINSTANCE, UINT id, LPSTR out, int max) {
  ensureInit();
  if (!out || max <= 0) {
    setError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char *text = nullptr;
  std::string overridden;
  {
    std::lock_guard<std::mutex> lock(stringOverridesLock);
    auto o = stringOverrides.find(id);
    if (o != stringOverrides.end()) {
      overridden = o->second;
      text = overridden.c_str();
    }
  }
  const w32res::ResourceTable *t = w32_resource_table();
  for (int i = 0; !text && i < t->stringCount; ++i) {
    if (t->strings[i].id == id) text = t->strings[i].text;
  }
  if (text) {
    size_t n = strlen(text);
    if (n > static_cast<size_t>(max - 1)) n = static_cast<size_t>(max - 1);
    memcpy(out, text, n);
    out[n] = 0;
    return static_cast<int>(n);
  }
  out[0] = 0;
  setError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return 0;
}

extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  ensureInit();
  // A box whose owner is gone (the progress dialog after a Cancel) is not
  // shown, as on Windows: the caller gets 0.
  if (owner && !IsWindow(owner)) {
    setError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return w32fe::current()->messageBox(owner, text ? text : "", caption ? caption : "Error", type);
}

namespace w32 {

void setStringResource(UINT id, const char *text) {
  std::lock_guard<std::mutex> lock(stringOverridesLock);
  if (text) {
    stringOverrides[id] = text;
  } else {
    stringOverrides.erase(id);
  }
}

}  // namespace w32
