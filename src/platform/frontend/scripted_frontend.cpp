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

// Glob over the whole text: * any run of characters (line breaks too), ? one
// character; everything else compares exactly.
bool globMatch(const char *p, const char *s) {
  const char *star = nullptr, *retry = nullptr;
  while (*s) {
    if (*p == '?' || (*p && *p != '*' && *p == *s)) {
      ++p;
      ++s;
    } else if (*p == '*') {
      star = p++;
      retry = s;
    } else if (star) {
      p = star + 1;
      s = ++retry;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == 0;
}

int parseInt(const std::string &t, int lo, int hi, int *out) {
  char *end = nullptr;
  long v = strtol(t.c_str(), &end, 10);
  if (t.empty() || *end || v < lo || v > hi) return 0;
  *out = static_cast<int>(v);
  return 1;
}

std::string stepText(const DialogStep &s) {
  std::string at = s.atPercent >= 0 ? "at " + std::to_string(s.atPercent) + " " : "";
  switch (s.kind) {
  case DialogStep::Edit: return at + "edit " + std::to_string(s.control) + " " + quoteText(s.text);
  case DialogStep::Press: return at + "press " + std::to_string(s.control);
  case DialogStep::Escape: return at + "escape";
  case DialogStep::Close: return at + "close";
  case DialogStep::Wait: return "wait";
  }
  return "";
}

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
    const DialogStep &s = steps_.front();
    *waitMs = INFINITE;
    if (s.kind == DialogStep::Wait) {
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
    if (s.kind == DialogStep::Edit || s.kind == DialogStep::Press) {
      const char *want = s.kind == DialogStep::Edit ? "EDIT" : "BUTTON";
      bool found = std::any_of(d.controls.begin(), d.controls.end(), [&](const w32fe::ControlInfo &c) {
        return c.id == s.control && equalsNoCase(c.className, want) && !(c.style & WS_DISABLED);
      });
      if (!found) {
        return fail(d, "dialog " + std::to_string(d.id) + " has no " + (s.kind == DialogStep::Edit ? "edit control " : "button ") +
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
      bool unrun = !steps_.empty() && steps_.front().kind != DialogStep::Wait;
      if (unrun) {
        scriptFail("answer file line " + std::to_string(line_) + " (" + source_ + "): dialog " + std::to_string(d.id) +
                   " ended before its step \"" + stepText(steps_.front()) + "\"");
      }
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
    const std::string &t = text;
    const std::string &c = caption;
    std::string event = "message caption=" + quoteText(c) + " text=" + quoteText(t) + " icon=" + iconName(type) +
                        " buttons=" + buttonsName(type);
    int result = 0;
    bool ok = scriptTake(
        event, true,
        [&](const ScriptAnswer &a, std::string *answerText) -> std::string {
          if (a.kind != "message") return "it answers a " + a.kind + ", not a message box";
          if (!globMatch(a.args[0].c_str(), t.c_str())) return "the text does not match " + quoteText(a.args[0]);
          std::vector<int> ids;
          int escape = 0;
          boxButtons(type, &ids, &escape);
          const std::string &want = a.args[1];
          int id = 0;
          if (equalsNoCase(want, "Escape")) {
            if (escape == 0) return std::string("Escape does not close a ") + buttonsName(type) + " box";
            id = escape;
          } else {
            for (int b : ids) {
              if (equalsNoCase(want, boxButtonName(b))) id = b;
            }
            if (id == 0) return "button " + want + " is not on a " + buttonsName(type) + " box";
          }
          result = id;
          *answerText = boxButtonName(id);
          return "";
        },
        nullptr);
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
    std::string event = "dialog id=" + std::to_string(d.id) + " caption=" + quoteText(d.caption);
    ScriptAnswer a;
    bool ok = scriptTake(
        event, false,
        [&](const ScriptAnswer &answer, std::string *) -> std::string {
          if (answer.kind != "dialog") return "it answers a " + answer.kind + " box, not a dialog";
          int id = 0;
          std::vector<DialogStep> steps;
          parseDialogSteps(answer.args, &id, &steps);
          if (id != d.id) return "it answers dialog " + std::to_string(id) + ", not dialog " + std::to_string(d.id);
          return "";
        },
        &a);
    if (!ok) return false;
    int id = 0;
    parseDialogSteps(a.args, &id, &steps_);
    line_ = a.line;
    source_ = a.source;
    return true;
  }

  int fail(const w32fe::DialogInfo &d, const std::string &why) {
    scriptFail("answer file line " + std::to_string(line_) + " (" + source_ + ") does not fit the event: " + why +
               "; the program showed: dialog id=" + std::to_string(d.id) + " caption=" + quoteText(d.caption));
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
  std::vector<DialogStep> steps_;
  int line_ = 0;
  std::string source_;
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

std::string parseDialogSteps(const std::vector<std::string> &args, int *dialogId, std::vector<DialogStep> *steps) {
  const char *usage =
      "expected: dialog ID STEP... with steps edit CTRL \"TEXT\", press CTRL, escape, close, wait, at P STEP";
  steps->clear();
  if (args.size() < 2 || !parseInt(args[0], 1, 65535, dialogId)) return usage;
  for (size_t i = 1; i < args.size();) {
    DialogStep s;
    if (args[i] == "at") {
      if (i + 2 >= args.size() || !parseInt(args[i + 1], 0, 100, &s.atPercent)) return "at needs a percentage 0 to 100 and a step";
      i += 2;
    }
    const std::string &k = args[i++];
    if (k == "edit" || k == "press") {
      if (i >= args.size() || !parseInt(args[i], 1, 65535, &s.control)) return k + " needs a control identifier";
      ++i;
      s.kind = k == "press" ? DialogStep::Press : DialogStep::Edit;
      if (s.kind == DialogStep::Edit) {
        if (i >= args.size()) return "edit needs a text";
        s.text = args[i++];
      }
    } else if (k == "escape") {
      s.kind = DialogStep::Escape;
    } else if (k == "close") {
      s.kind = DialogStep::Close;
    } else if (k == "wait") {
      if (s.atPercent >= 0) return "wait cannot wait for a percentage";
      if (i != args.size()) return "wait must be the last step";
      s.kind = DialogStep::Wait;
    } else {
      return "unknown step " + k + "; " + usage;
    }
    steps->push_back(s);
  }
  return "";
}

}  // namespace w32int

w32fe::FrontEnd *w32fe::scriptedFrontEnd() { return &scripted(); }
