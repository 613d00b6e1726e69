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
//
// With a recording asked for (/record=, W32_RECORD), the answered run is
// recorded as the terminal front end records a person: each answer as it
// was used, so a file of patterns becomes one of the exact texts.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>

#include "recorder.h"

#include "frontend.h"
#include "machine/w32_core.h"
#include "machine/w32_host_files.h"
#include "machine/w32_script.h"
#include "scripted_frontend.h"

using namespace w32int;

namespace {

class ScriptedFrontEnd : public w32fe::FrontEnd {
 public:
  const char *name() const override { return "scripted"; }

  void screenSize(int *cx, int *cy) override {
    *cx = 640;
    *cy = 480;
  }

  bool showDialog(const w32fe::DialogInfo &d) override {
    record([&](qva::Recorder &r) { r.dialogShown(d.hwnd, d.id); });
    return true;
  }
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
    auto bar = std::find_if(d.controls.begin(), d.controls.end(),
                            [](const w32fe::ControlInfo &c) { return equalsNoCase(c.className, "msctls_progress32"); });
    if (s.kind == qva::Step::Wait) {
      record([&](qva::Recorder &r) { r.idle(d.hwnd); });
      release();
      return 0;
    }
    if (s.atPercent >= 0) {
      if (bar == d.controls.end()) return fail(d, "dialog " + std::to_string(d.id) + " has no progress bar");
      if (bar->progressPos < s.atPercent) {
        record([&](qva::Recorder &r) { r.idle(d.hwnd); });
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
    // The step as the terminal front end records what a person did: a
    // button of a dialog with a progress bar at the bar's position now.
    qva::Step done = s;
    done.atPercent = s.kind != qva::Step::Edit && bar != d.controls.end() ? bar->progressPos : -1;
    record([&](qva::Recorder &r) { r.step(d.hwnd, qva::stepText(done)); });
    steps_.erase(steps_.begin());
    hold();
    return 1;
  }

  void closeDialog(const w32fe::DialogInfo &d, INT_PTR) override {
    record([&](qva::Recorder &r) { r.dialogClosed(d.hwnd); });
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
    qva::Answer taken;
    std::list<qva::Recorder::Line>::iterator line;
    record([&](qva::Recorder &r) { line = r.boxShown(); });
    bool ok = scriptTake(
        event, true,
        [&](qva::Answers &answers, qva::Answer *a, std::string *why) {
          return answers.takeMessage(event, text, type, &result, a, why);
        },
        &taken, [&](const qva::Answer &) { return std::string(qva::buttonName(result)); });
    if (ok) {
      record([&](qva::Recorder &r) {
        for (const qva::Action &a : taken.before) r.action(qva::actionText(a), &line);
        r.boxAnswered(line, text, result);
      });
    }
    return ok ? result : 0;
  }

  void reset() {
    answering_ = nullptr;
    steps_.clear();
    std::lock_guard<std::mutex> lock(recordLock_);
    recorder_.reset();
    release();
  }

  void startRecording(const std::string &heading, const std::string &path) {
    std::lock_guard<std::mutex> lock(recordLock_);
    recorder_.reset(new qva::Recorder(heading, [path](const std::string &file) {
      static bool warned = false;
      if (!replaceHostFile(path, file) && !warned) {
        warned = true;
        fprintf(stderr, "w32 scripted front end: cannot write the recording %s: %s\n", path.c_str(), strerror(errno));
      }
    }));
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
    record([&](qva::Recorder &r) {
      for (const qva::Action &action : a.before) r.dialogAction(d.hwnd, qva::actionText(action));
    });
    steps_ = a.steps;
    answer_ = a;
    return true;
  }

  // The recording, when there is one; events of every thread, one at a time.
  void record(const std::function<void(qva::Recorder &)> &what) {
    std::lock_guard<std::mutex> lock(recordLock_);
    if (recorder_) what(*recorder_);
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
  std::mutex recordLock_;
  std::unique_ptr<qva::Recorder> recorder_;
};

ScriptedFrontEnd &scripted() {
  static ScriptedFrontEnd *fe = new ScriptedFrontEnd;  // never destroyed: worker threads may outlive main
  return *fe;
}

}  // namespace

namespace w32int {

void resetScriptedFrontEnd() { scripted().reset(); }

void recordScriptedRun(const std::string &heading, const std::string &path) { scripted().startRecording(heading, path); }

}  // namespace w32int

w32fe::FrontEnd *w32fe::scriptedFrontEnd() { return &scripted(); }
