// Answering setup.exe's dialogs and message boxes from the answer file, in
// the process, each from the thread that owns the window.
//
// A dialog answer is taken each time a dialog waits for the user: once it
// is shown and its modal loop runs, and again whenever it is still open
// after the previous answer's steps and the boxes they led to.  Each step
// is carried out from a timer of the dialog, so it runs inside the
// dialog's own loop once the messages before it have been handled; "at P"
// waits for the progress bar (PBM_SETPOS), "wait" for the dialog's end.
//
// As on Linux, the dialog's thread holds the answering turn from the
// moment the dialog is shown, and from each step it is given, until it is
// idle again (waiting at "wait" or "at P") or the dialog has gone: a box
// of another thread (the installation worker's) waits for the turn before
// it takes its answer, so a run answers the same way every time.  A box
// whose owner has gone by then ends at once with 0, unrecorded.
#include <windows.h>
#include <commctrl.h>

#include <deque>

#include "win32_internal.h"

namespace qvw {

namespace {

const UINT_PTR kStepTimer = 0x5176;  // the dialog's and the box's timer
const char kAnswerProp[] = "QuorvelAnswer";

// The dialog being answered and the turn (under Lock).
struct Answering {
  HWND dialog = NULL;
  int id = 0;
  std::string caption;
  std::deque<qva::Step> steps;
  qva::Answer answer;
  bool haveAnswer = false;
  int waitingAt = -1;
  DWORD holder = 0;
  HANDLE turnFree = NULL;  // set while nobody holds the turn
};

Answering &state() {
  static Answering *a = [] {
    Answering *s = new Answering;
    s->turnFree = CreateEventA(NULL, TRUE, TRUE, NULL);
    return s;
  }();
  return *a;
}

void hold() {
  Lock lock;
  state().holder = GetCurrentThreadId();
  ResetEvent(state().turnFree);
}

void release() {
  Lock lock;
  state().holder = 0;
  SetEvent(state().turnFree);
}

// Waits for the turn; the messages other threads send this one are
// handled meanwhile.
void waitForTurn() {
  DWORD me = GetCurrentThreadId();
  for (;;) {
    {
      Lock lock;
      if (state().holder == 0 || state().holder == me) return;
    }
    HANDLE free = state().turnFree;
    if (MsgWaitForMultipleObjects(1, &free, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
      MSG msg;
      PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
  }
}

std::string textOf(HWND window) {
  char buf[1024] = "";
  GetWindowTextA(window, buf, sizeof buf);
  return buf;
}

bool controlOf(HWND dialog, int id, const char *cls) {
  HWND c = GetDlgItem(dialog, id);
  char name[32] = "";
  if (c != NULL) GetClassNameA(c, name, sizeof name);
  return c != NULL && lstrcmpiA(name, cls) == 0 && IsWindowEnabled(c);
}

void CALLBACK stepTimer(HWND dialog, UINT, UINT_PTR, DWORD);

void nextStepSoon(HWND dialog) { SetTimer(dialog, kStepTimer, 0, stepTimer); }

// The dialog waits for the user: its next step, taking its next answer
// when the last one's steps are done.
void runStep(HWND dialog) {
  qva::Step s;
  std::string event;
  {
    Lock lock;
    Answering &a = state();
    if (a.dialog != dialog) return;
    event = qva::dialogEvent(a.id, a.caption);
    if (a.steps.empty()) {
      std::string why;
      if (!run().answers.takeDialog(event, a.id, &a.answer, &why)) failRun(why);
      a.haveAnswer = true;
      a.steps.assign(a.answer.steps.begin(), a.answer.steps.end());
      runActions(a.answer.before);
    }
    s = a.steps.front();
    if (s.kind == qva::Step::Wait) {
      a.holder = 0;
      SetEvent(a.turnFree);
      return;
    }
    if (s.atPercent >= 0) {
      HWND bar = progressBar(dialog);
      if (bar == NULL) failRun(qva::Answers::doesNotFit(a.answer, "dialog " + std::to_string(a.id) + " has no progress bar", event));
      if (SendMessageA(bar, PBM_GETPOS, 0, 0) < s.atPercent) {
        a.waitingAt = s.atPercent;
        a.holder = 0;
        SetEvent(a.turnFree);
        return;
      }
    }
    if ((s.kind == qva::Step::Edit && !controlOf(dialog, s.control, "Edit")) ||
        (s.kind == qva::Step::Press && !controlOf(dialog, s.control, "Button"))) {
      failRun(qva::Answers::doesNotFit(a.answer,
                                       "dialog " + std::to_string(a.id) + " has no " +
                                           (s.kind == qva::Step::Edit ? "edit control " : "button ") +
                                           std::to_string(s.control),
                                       event));
    }
    a.steps.pop_front();
  }
  hold();
  switch (s.kind) {
    case qva::Step::Edit: realSetWindowTextA(GetDlgItem(dialog, s.control), s.text.c_str()); break;
    case qva::Step::Press: SendMessageA(GetDlgItem(dialog, s.control), BM_CLICK, 0, 0); break;
    // Escape reaches the dialog as the Cancel command, the close box as the
    // system command that the dialog manager turns into it.
    case qva::Step::Escape: SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); break;
    case qva::Step::Close: SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); break;
    default: break;
  }
  if (IsWindow(dialog)) nextStepSoon(dialog);
}

void CALLBACK stepTimer(HWND dialog, UINT, UINT_PTR, DWORD) {
  KillTimer(dialog, kStepTimer);
  runStep(dialog);
}

void CALLBACK boxTimer(HWND box, UINT, UINT_PTR, DWORD) {
  KillTimer(box, kStepTimer);
  int id = static_cast<int>(reinterpret_cast<ULONG_PTR>(GetPropA(box, kAnswerProp)));
  RemovePropA(box, kAnswerProp);
  HWND button = GetDlgItem(box, id);
  if (button != NULL) {
    SendMessageA(button, BM_CLICK, 0, 0);
  } else {
    SendMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
  }
}

}  // namespace

void answerDialogShown(HWND dialog, int id) {
  hold();
  {
    Lock lock;
    Answering &a = state();
    a.dialog = dialog;
    a.id = id;
    a.caption = textOf(dialog);
    a.steps.clear();
    a.haveAnswer = false;
    a.waitingAt = -1;
  }
  nextStepSoon(dialog);
}

void answerDialogEnded(HWND dialog) {
  {
    Lock lock;
    Answering &a = state();
    if (a.dialog == dialog) {
      if (!a.steps.empty() && a.steps.front().kind != qva::Step::Wait) {
        failRun(qva::Answers::endedBefore(a.answer, a.id, a.steps.front()));
      }
      a.dialog = NULL;
      a.steps.clear();
    }
  }
  release();
}

void answerProgress(HWND dialog, int pos) {
  Lock lock;
  Answering &a = state();
  if (a.dialog == dialog && a.waitingAt >= 0 && pos >= a.waitingAt) {
    a.waitingAt = -1;
    nextStepSoon(dialog);
  }
}

void answerBox(HWND box, HWND owner) {
  waitForTurn();
  if (owner != NULL && !IsWindow(owner)) {
    // Its dialog has gone (the progress dialog after a Cancel): the
    // program gets 0, as when the box cannot be made.
    {
      Lock lock;
      run().boxes[box].answered = true;
    }
    EndDialog(box, 0);
    return;
  }
  qva::Answer taken;
  int button = 0;
  {
    Lock lock;
    Box &b = run().boxes[box];
    std::string event = qva::messageLine(b.caption, b.text, b.type);
    std::string why;
    if (!run().answers.takeMessage(event, b.text, b.type, &button, &taken, &why)) failRun(why, event);
    b.answered = true;
  }
  runActions(taken.before);
  {
    Lock lock;
    Box &b = run().boxes[box];
    writeLine(qva::messageLine(b.caption, b.text, b.type) + " answer=" + qva::buttonName(button));
    if (run().recorder != nullptr && b.recorded) run().recorder->boxAnswered(b.recordLine, b.text, button);
  }
  SetPropA(box, kAnswerProp, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(button)));
  SetTimer(box, kStepTimer, 0, boxTimer);
}

}  // namespace qvw
