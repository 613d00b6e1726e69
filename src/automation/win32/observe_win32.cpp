// The hooks on setup.exe's own threads: each thread of the program (the
// main one when the run starts, every later one, such as the installation
// worker, as it starts: the TLS callback below) gets a WH_CALLWNDPROC and a
// WH_CALLWNDPROCRET hook of its own.  They follow the wizard's dialogs and
// the message boxes: the log's lines, the recording of what the user did,
// and the cues the answering waits for (answering_win32.cpp).
#include <windows.h>
#include <commctrl.h>

#include "win32_internal.h"

namespace qvw {

namespace {

thread_local int nextTemplate = 0;        // DialogBoxParamA's template, for its WM_INITDIALOG
thread_local HWND closing = NULL;         // the dialog whose close box is being used
thread_local bool hooked = false;
const UINT_PTR kIdleTimer = 0x5177;

bool isDialogClass(HWND window) {
  char name[16] = "";
  GetClassNameA(window, name, sizeof name);
  return lstrcmpA(name, "#32770") == 0;
}

bool isClass(HWND window, const char *cls) {
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  return lstrcmpiA(name, cls) == 0;
}

std::string textOf(HWND window) {
  char buf[1024] = "";
  GetWindowTextA(window, buf, sizeof buf);
  return buf;
}

// A shown wizard dialog (under Lock), or nullptr.
Dialog *shownDialog(HWND window) {
  auto it = run().dialogs.find(window);
  return it != run().dialogs.end() && it->second.shown ? &it->second : nullptr;
}

std::string narrow(LPCWSTR text) {
  if (text == NULL) return "";
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, NULL, 0, NULL, NULL);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, NULL, NULL);
  return out;
}

// A press, Escape or the close box on a wizard dialog, before the dialog
// handles it: the log's press line and the recording's step.
void pressed(HWND dialog, WPARAM wParam, LPARAM lParam) {
  if (HIWORD(wParam) != BN_CLICKED) return;
  HWND from = reinterpret_cast<HWND>(lParam);
  int control = LOWORD(wParam);
  std::string step;
  if (from != NULL && GetParent(from) == dialog && isClass(from, "Button")) {
    step = "press " + std::to_string(control);
  } else if (from == NULL && control == IDCANCEL) {
    step = closing == dialog ? "close" : "escape";
  } else {
    return;
  }
  closing = NULL;
  Lock lock;
  Dialog *d = shownDialog(dialog);
  if (d == nullptr) return;
  std::vector<qva::EditField> fields = editFields(dialog);
  writeLine(qva::dialogPressLine(d->id, control, fields));
  if (run().recorder == nullptr) return;
  // What the user typed since the program last set the field.
  for (const qva::EditField &f : fields) {
    if (d->edits[f.id] != f.text) {
      run().recorder->step(dialog, "edit " + std::to_string(f.id) + " " + qva::quote(f.text));
      d->edits[f.id] = f.text;
    }
  }
  HWND bar = progressBar(dialog);
  std::string at = bar ? "at " + std::to_string(SendMessageA(bar, PBM_GETPOS, 0, 0)) + " " : "";
  run().recorder->step(dialog, at + step);
}

// A box's button, as the user (or the answer) pressed it.
void boxPressed(HWND box, WPARAM wParam) {
  Lock lock;
  auto it = run().boxes.find(box);
  if (it == run().boxes.end() || it->second.answered) return;
  Box &b = it->second;
  std::vector<int> ids;
  int escape = 0, id = LOWORD(wParam);
  qva::boxButtons(b.type, &ids, &escape);
  bool onBox = false;
  for (int i : ids) onBox = onBox || i == id;
  if (!onBox && id == IDCANCEL && escape != 0) id = escape;
  else if (!onBox) return;
  b.answered = true;
  writeLine(qva::messageLine(b.caption, b.text, b.type) + " answer=" + qva::buttonName(id));
  if (run().recorder != nullptr && b.recorded) run().recorder->boxAnswered(b.recordLine, b.text, id);
}

void initialised(HWND window, LPARAM param) {
  if (!isDialogClass(window)) return;
  const MSGBOXPARAMSW *box = reinterpret_cast<const MSGBOXPARAMSW *>(param);
  if (param != 0 && box->cbSize == sizeof(MSGBOXPARAMSW)) {
    // A message box is created with its parameters as the dialog's
    // initialisation value; the wizard's dialogs are given 0.
    {
      Lock lock;
      Box &b = run().boxes[window];
      b.caption = box->lpszCaption ? narrow(box->lpszCaption) : "Error";
      b.text = narrow(box->lpszText);
      b.type = box->dwStyle;
      if (run().recorder != nullptr) {
        b.recordLine = run().recorder->boxShown();
        b.recorded = true;
      }
    }
    if (run().answering) answerBox(window, box->hwndOwner);
    return;
  }
  int id = nextTemplate;
  {
    Lock lock;
    Dialog &d = run().dialogs[window];
    d.id = id;
    d.shown = true;
    std::vector<qva::EditField> fields = editFields(window);
    for (const qva::EditField &f : fields) d.edits[f.id] = f.text;
    writeLine(qva::dialogShowLine(id, textOf(window), fields));
    if (run().recorder != nullptr) run().recorder->dialogShown(window, id);
  }
  if (run().answering) answerDialogShown(window, id);
}

void destroyed(HWND window) {
  int id = -1;
  {
    Lock lock;
    run().boxes.erase(window);
    auto it = run().dialogs.find(window);
    if (it == run().dialogs.end()) return;
    id = it->second.id;
    run().dialogs.erase(it);
    writeLine(qva::dialogEndLine(id));
    if (run().recorder != nullptr) run().recorder->dialogClosed(window);
  }
  if (run().answering) answerDialogEnded(window);
}

void positioned(HWND bar, LRESULT before) {
  HWND dialog = GetParent(bar);
  int pos = static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0));
  if (pos == static_cast<int>(before)) return;
  {
    Lock lock;
    if (shownDialog(dialog) == nullptr) return;
    writeLine(qva::progressLine(pos));
  }
  if (run().answering) answerProgress(dialog, pos);
}

void CALLBACK idleAgain(HWND dialog, UINT, UINT_PTR, DWORD) {
  KillTimer(dialog, kIdleTimer);
  Lock lock;
  if (run().recorder != nullptr && shownDialog(dialog) != nullptr) run().recorder->idle(dialog);
}

LRESULT CALLBACK beforeCall(int code, WPARAM wParam, LPARAM lParam) {
  const CWPSTRUCT *call = reinterpret_cast<const CWPSTRUCT *>(lParam);
  if (code == HC_ACTION) {
    if (call->message == WM_SYSCOMMAND && (call->wParam & 0xFFF0) == SC_CLOSE && isDialogClass(call->hwnd)) {
      // The close box: the dialog manager posts itself the Cancel command,
      // which no hook sees; it is the press now.
      bool box;
      {
        Lock lock;
        box = run().boxes.count(call->hwnd) != 0;
      }
      closing = call->hwnd;
      if (box) boxPressed(call->hwnd, MAKEWPARAM(IDCANCEL, BN_CLICKED));
      else pressed(call->hwnd, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    if (call->message == WM_COMMAND && isDialogClass(call->hwnd)) {
      bool box;
      {
        Lock lock;
        box = run().boxes.count(call->hwnd) != 0;
      }
      if (box) boxPressed(call->hwnd, call->wParam);
      else pressed(call->hwnd, call->wParam, call->lParam);
    }
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}

LRESULT CALLBACK afterCall(int code, WPARAM wParam, LPARAM lParam) {
  const CWPRETSTRUCT *call = reinterpret_cast<const CWPRETSTRUCT *>(lParam);
  if (code == HC_ACTION) {
    switch (call->message) {
      case WM_INITDIALOG: initialised(call->hwnd, call->lParam); break;
      case WM_DESTROY: destroyed(call->hwnd); break;
      case PBM_SETPOS: positioned(call->hwnd, call->lResult); break;
      case WM_SYSCOMMAND:
      case WM_COMMAND: {
        // The dialog waits for the user again after a step and the boxes it
        // led to, once its loop runs on: a step that ended it never does.
        Lock lock;
        if (run().recorder != nullptr && shownDialog(call->hwnd) != nullptr) SetTimer(call->hwnd, kIdleTimer, 0, idleAgain);
        break;
      }
      default: break;
    }
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}

// Each new thread of the program, before its own code runs.
void NTAPI threadStarts(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_ATTACH) hookThisThread();
}

}  // namespace

void hookThisThread() {
  if (hooked || !runActive()) return;
  hooked = true;
  SetWindowsHookExA(WH_CALLWNDPROC, beforeCall, NULL, GetCurrentThreadId());
  SetWindowsHookExA(WH_CALLWNDPROCRET, afterCall, NULL, GetCurrentThreadId());
}

void enteringDialog(int templateId) { nextTemplate = templateId; }

void programSetText(HWND control) {
  if (control == NULL) return;
  // Read before the lock: for a control of another thread (the worker's
  // status text) this sends that thread a message, which it may handle
  // only once it has the lock itself.
  std::string text = textOf(control);
  bool edit = isClass(control, "Edit");
  Lock lock;
  Dialog *d = shownDialog(GetParent(control));
  if (d == nullptr) {
    // Before the dialog is shown (its initialisation): the field's text.
    auto it = run().dialogs.find(GetParent(control));
    if (it == run().dialogs.end()) return;
    d = &it->second;
  } else {
    writeLine(qva::statusLine(text));
  }
  if (edit) d->edits[GetDlgCtrlID(control)] = text;
}

std::vector<qva::EditField> editFields(HWND dialog) {
  std::vector<qva::EditField> out;
  for (HWND c = GetWindow(dialog, GW_CHILD); c != NULL; c = GetWindow(c, GW_HWNDNEXT)) {
    if (isClass(c, "Edit")) out.push_back({GetDlgCtrlID(c), textOf(c)});
  }
  return out;
}

HWND progressBar(HWND dialog) {
  for (HWND c = GetWindow(dialog, GW_CHILD); c != NULL; c = GetWindow(c, GW_HWNDNEXT)) {
    if (isClass(c, PROGRESS_CLASSA)) return c;
  }
  return NULL;
}

}  // namespace qvw

// The program's TLS callback: MinGW's runtime calls each one in the
// .CRT$XL? sections for every thread that starts.
extern "C" {
extern const IMAGE_TLS_DIRECTORY _tls_used;
__attribute__((section(".CRT$XLQ"), used)) PIMAGE_TLS_CALLBACK qvThreadStarts = qvw::threadStarts;
}
