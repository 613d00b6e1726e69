// The dialog manager over test templates of its own: failures, a worker during a step, answer errors.
#include "w32_fixture.h"

#include <commctrl.h>

#include <atomic>
#include <thread>

#include "frontend/frontend.h"
#include "w32_resource.h"

namespace {

const w32res::ControlTemplate kControls[] = {
    {"EDIT", "", 101, WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP, 0, 8, 8, 100, 12},
    {"STATIC", "Ready", 103, WS_CHILD | WS_VISIBLE, 0, 8, 24, 100, 8},
    {"msctls_progress32", "", 104, WS_CHILD | WS_VISIBLE, 0, 8, 36, 100, 10},
    {"BUTTON", "&OK", 201, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 8, 50, 40, 14},
    {"BUTTON", "Off", 205, WS_CHILD | WS_VISIBLE | WS_DISABLED, 0, 60, 50, 40, 14},
};
const w32res::DialogTemplate kDialogs[] = {{7, "Test", WS_POPUP | WS_CAPTION, 0, 0, 0, 120, 70, "MS Sans Serif", 8, kControls, 5}};
const w32res::StringEntry kStrings[] = {{1, "1500000"}};
const w32res::ResourceTable kTable = {kDialogs, 1, kStrings, 1, nullptr, 0};

// What the dialog procedure does on each test run's posted messages.
struct Run {
  std::atomic<HWND> dialog{nullptr};
  int posts = 0;                // WM_USER + 1 messages taken
  std::atomic<bool> go{false};  // WM_USER + 2 taken: the dialog loop runs
};
Run run;

INT_PTR CALLBACK testProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    run.dialog = dialog;
    SendMessageA(GetDlgItem(dialog, 101), EM_LIMITTEXT, 5, 0);
    SetDlgItemTextA(dialog, 103, "before it is shown: no event");
    PostMessageA(dialog, WM_USER + 2, 0, 0);
    return TRUE;
  }
  if (message == WM_USER + 2) run.go = true;
  if (message == WM_USER + 1) {
    ++run.posts;
    SendMessageA(GetDlgItem(dialog, 104), PBM_SETPOS, wParam, 0);
  }
  if (message == WM_COMMAND && LOWORD(wParam) == 201) EndDialog(dialog, 201);
  return FALSE;
}

class DialogTest : public W32Test {
 protected:
  void SetUp() override {
    W32Test::SetUp();
    run.dialog = nullptr;
    run.posts = 0;
    run.go = false;
  }
};

// Catches a dialog shown without its class, template or procedure, and a bad LoadStringA terminator.
TEST_F(DialogTest, WhatCannotBeShownFailsWithMinusOne) {
  w32::setAnswers("dialog 7 press 201\n");
  // The progress bar's class exists only once the common controls are set up.
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(7), nullptr, testProc, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
  InitCommonControls();
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(9), nullptr, testProc, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(7), nullptr, nullptr, 0), -1);
  EXPECT_EQ(w32::transcript(), "");  // nothing was shown
  char text[8];
  memset(text, kJunk, sizeof text);
  EXPECT_EQ(LoadStringA(nullptr, 1, text, 5), 4);
  EXPECT_STREQ(text, "1500");
  EXPECT_EQ(LoadStringA(nullptr, 2, text, sizeof text), 0);
  EXPECT_STREQ(text, "");
}

// Catches posts lost, a bar unclamped, an edit over its limit, a worker's text or box off its turn or thread.
TEST_F(DialogTest, WorkerTextBoxesAndBarWhileAStepWaits) {
  struct Watch : w32fe::FrontEnd {
    w32fe::FrontEnd *inner = w32fe::scriptedFrontEnd();
    std::atomic<DWORD> changedOn{0};
    const char *name() const override { return "watch"; }
    void screenSize(int *cx, int *cy) override { inner->screenSize(cx, cy); }
    bool showDialog(const w32fe::DialogInfo &d) override { return inner->showDialog(d); }
    void controlChanged(const w32fe::DialogInfo &d, const w32fe::ControlInfo &c) override {
      if (c.id == 103) changedOn = GetCurrentThreadId();
      inner->controlChanged(d, c);
    }
    int nextAction(const w32fe::DialogInfo &d, w32fe::UserAction *a, DWORD *ms) override {
      return inner->nextAction(d, a, ms);
    }
    void closeDialog(const w32fe::DialogInfo &d, INT_PTR r) override { inner->closeDialog(d, r); }
    int messageBox(HWND o, const std::string &t, const std::string &c, UINT type) override {
      return inner->messageBox(o, t, c, type);
    }
  } watch;
  InitCommonControls();
  w32fe::setCurrent(&watch);
  BOOL set = FALSE;
  char seen[32] = "";
  int during = -1, after = -1;
  std::thread worker([&] {
    while (!run.go) Sleep(1);
    HWND dialog = run.dialog;
    set = SetDlgItemTextA(dialog, 103, "from the worker");
    GetDlgItemTextA(dialog, 103, seen, sizeof seen);
    during = MessageBoxA(dialog, "from the worker", "Test", MB_OK);
    for (int p : {10, 10, 40, 250}) PostMessageA(dialog, WM_USER + 1, static_cast<WPARAM>(p), 0);
    while (IsWindow(dialog)) Sleep(1);
    after = MessageBoxA(dialog, "after", "Test", MB_OK);
  });
  w32::setAnswers("dialog 7 edit 101 \"abcdefgh\" at 100 press 201\nmessage \"from the worker\" OK\n");
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(7), nullptr, testProc, 0), 201);
  worker.join();
  w32fe::setCurrent(nullptr);
  EXPECT_EQ(run.posts, 4);
  EXPECT_TRUE(set);
  EXPECT_STREQ(seen, "from the worker");
  EXPECT_EQ(watch.changedOn.load(), GetCurrentThreadId());
  EXPECT_EQ(during, IDOK);
  EXPECT_EQ(after, 0);
  EXPECT_EQ(w32::scriptError(), "");
  EXPECT_EQ(w32::transcript(),
            "dialog id=7 event=show caption=\"Test\" edit101=\"\"\n"
            "status text=\"from the worker\"\n"
            "message caption=\"Test\" text=\"from the worker\" icon=none buttons=MB_OK answer=OK\n"
            "progress pos=10\nprogress pos=40\nprogress pos=100\n"
            "dialog id=7 event=press control=201 edit101=\"abcde\"\n"
            "dialog id=7 event=end\n");
}

// Catches an answer file with an error taken in part, and an error that does not name its line or step.
TEST_F(DialogTest, AnswerErrors) {
  InitCommonControls();
  const struct {
    const char *answers, *error;
  } cases[] = {
      {"message \"x\"\n", "line 1: expected: message"},
      {"\n\nbogus 1\n", "line 3: unknown keyword bogus"},
      {"message \"unterminated OK\n", "line 1: unterminated"},
      {"fault Read 0 once\nmessage \"*\" OK\n", "line 1: expected: fault"},
      {"fault Read 1 sometimes\nmessage \"*\" OK\n", "line 1: expected: fault"},
      {"insert a:\nmessage \"*\" OK\n", "line 1: expected: insert"},
      {"eject\nmessage \"*\" OK\n", "line 1: expected: eject"},
      {"message \"*\" OK\ninsert a: /tmp\n", "line 2: actions after the last answer would never run"},
      {"at-start message \"*\" OK\n", "line 1: at-start applies to actions only"},
      {"dialog 7\n", "answer file line 1: expected: dialog ID STEP..."},
      {"dialog 7 wait press 201\n", "answer file line 1: wait must be the last step"},
      {"dialog 7 at 101 press 201\n", "answer file line 1: at needs a percentage 0 to 100 and a step"},
      {"dialog 7 edit 101\n", "answer file line 1: edit needs a text"},
      {"dialog 7 edit 101 \"c:\\nul\\x00evil\" press 201\n", "answer file line 1: a text holds a NUL byte"},
      {"dialog 7 press 205\n", "does not fit the event: dialog 7 has no button 205"},
      {"dialog 7 edit 201 \"x\"\n", "does not fit the event: dialog 7 has no edit control 201"},
      {"message \"*\" OK\n", "does not fit the event: it answers a message box, not a dialog"},
      {"dialog 7 press 201 press 201\n", "dialog 7 ended before its step \"press 201\""},
  };
  for (const auto &c : cases) {
    w32::setAnswers("message \"old\" OK\n");
    w32::setAnswers(c.answers);
    // An answer file that does not parse is refused whole; the others fail
    // when the dialog meets them.
    if (w32::scriptError().empty()) {
      DialogBoxParamA(nullptr, MAKEINTRESOURCEA(7), nullptr, testProc, 0);
    } else {
      EXPECT_EQ(w32::answersLeft(), 0) << c.answers;
    }
    EXPECT_NE(w32::scriptError().find(c.error), std::string::npos) << c.answers << w32::scriptError();
  }
}

}  // namespace

const w32res::ResourceTable *w32_resource_table() { return &kTable; }
