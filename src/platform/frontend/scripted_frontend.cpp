// The scripted front end: answers every dialog and message box from the
// answer file (w32_script.cpp reads it and keeps the transcript).
//
// A dialog answer is taken each time a dialog waits for the user: when it
// has been shown, and again whenever it is still open after the previous
// answer's steps and the message boxes they led to.  Its steps are given one
// at a time; "at P" holds a step until the dialog's progress bar shows P or
// more, "wait" holds the dialog until it ends itself.
//
// So that a run answers the same way every time, the dialog's thread holds
// the answering turn from the moment it is given a step until it is idle
// again (waiting at "wait" or "at P") or the dialog has gone: a message box
// of another thread (the installation worker's) waits for the turn.  A box
// whose owner has gone by then is not shown, as on Windows.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "../w32_internal.h"

using namespace w32int;

namespace {

class ScriptedFrontEnd : public w32fe::FrontEnd {
 public:
  const char *name() const override { return "scripted"; }

  void screenSize(int *cx, int *cy) override {
    *cx = 640;
    *cy = 480;
  }

  bool showDialog(const w32fe::DialogInfo &) override { return true; }
  void controlChanged(const w32fe::DialogInfo &, const w32fe::ControlInfo &) override {}

  int nextAction(const w32fe::DialogInfo &d, w32fe::UserAction *out, DWORD *waitMs) override {
    if (answering_ != d.hwnd) {
      answering_ = d.hwnd;
      steps_.clear();
    }
    if (steps_.empty() && !takeAnswer(d)) {
      release();
      return -1;
    }
    const qva::Step &s = steps_.front();
    *waitMs = INFINITE;
    if (s.kind == qva::Step::Wait) {
      release();
      return 0;
    }
    if (s.atPercent >= 0) {
      auto bar = std::find_if(d.controls.begin(), d.controls.end(),
                              [](const w32fe::ControlInfo &c) { return equalsNoCase(c.className, "msctls_progress32"); });
      if (bar == d.controls.end()) return fail(d, "dialog " + std::to_string(d.id) + " has no progress bar");
      if (bar->progressPos < s.atPercent) {
        release();
        return 0;
      }
    }
    if (s.kind == qva::Step::Edit || s.kind == qva::Step::Press) {
      const char *want = s.kind == qva::Step::Edit ? "EDIT" : "BUTTON";
      bool found = std::any_of(d.controls.begin(), d.controls.end(), [&](const w32fe::ControlInfo &c) {
        return c.id == s.control && equalsNoCase(c.className, want) && !(c.style & WS_DISABLED);
      });
      if (!found) {
        return fail(d, "dialog " + std::to_string(d.id) + " has no " + (s.kind == qva::Step::Edit ? "edit control " : "button ") +
                           std::to_string(s.control));
      }
    }
    static const w32fe::UserAction::Kind kinds[] = {w32fe::UserAction::SetEditText, w32fe::UserAction::Press,
                                                    w32fe::UserAction::Escape, w32fe::UserAction::Close};
    out->kind = kinds[s.kind];
    out->control = s.control;
    out->text = s.text;
    steps_.erase(steps_.begin());
    hold();
    return 1;
  }

  void closeDialog(const w32fe::DialogInfo &d, INT_PTR) override {
    if (answering_ == d.hwnd) {
      bool unrun = !steps_.empty() && steps_.front().kind != qva::Step::Wait;
      if (unrun) scriptFail(qva::Answers::endedBefore(answer_, d.id, steps_.front()));
      steps_.clear();
      answering_ = nullptr;
    }
    release();
  }

  int messageBox(HWND owner, const std::string &text, const std::string &caption, UINT type) override {
    waitForTurn();
    if (owner && !IsWindow(owner)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    std::string event = qva::messageLine(caption, text, type);
    int result = 0;
    bool ok = scriptTake(
        event, true,
        [&](qva::Answers &answers, qva::Answer *a, std::string *why) {
          return answers.takeMessage(event, text, type, &result, a, why);
        },
        nullptr, [&](const qva::Answer &) { return std::string(qva::buttonName(result)); });
    return ok ? result : 0;
  }

  void reset() {
    answering_ = nullptr;
    steps_.clear();
    release();
  }

 private:
  // Takes the dialog's next answer; false when the run cannot go on.
  bool takeAnswer(const w32fe::DialogInfo &d) {
    std::string event = qva::dialogEvent(d.id, d.caption);
    qva::Answer a;
    bool ok = scriptTake(
        event, false,
        [&](qva::Answers &answers, qva::Answer *taken, std::string *why) {
          return answers.takeDialog(event, d.id, taken, why);
        },
        &a, [](const qva::Answer &) { return std::string(); });
    if (!ok) return false;
    steps_ = a.steps;
    answer_ = a;
    return true;
  }

  int fail(const w32fe::DialogInfo &d, const std::string &why) {
    scriptFail(qva::Answers::doesNotFit(answer_, why, qva::dialogEvent(d.id, d.caption)));
    steps_.clear();
    release();
    return -1;
  }

  void hold() {
    std::lock_guard<std::mutex> lock(m_);
    holder_ = GetCurrentThreadId();
  }

  void release() {
    {
      std::lock_guard<std::mutex> lock(m_);
      holder_ = 0;
    }
    cv_.notify_all();
  }

  void waitForTurn() {
    DWORD me = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return holder_ == 0 || holder_ == me; });
  }

  // The dialog thread's own state.
  HWND answering_ = nullptr;
  std::vector<qva::Step> steps_;
  qva::Answer answer_;  // the answer being carried out
  // The answering turn.
  std::mutex m_;
  std::condition_variable cv_;
  DWORD holder_ = 0;
};

ScriptedFrontEnd &scripted() {
  static ScriptedFrontEnd *fe = new ScriptedFrontEnd;  // never destroyed: worker threads may outlive main
  return *fe;
}

}  // namespace

namespace w32int {

void resetScriptedFrontEnd() { scripted().reset(); }

}  // namespace w32int

w32fe::FrontEnd *w32fe::scriptedFrontEnd() { return &scripted(); }
