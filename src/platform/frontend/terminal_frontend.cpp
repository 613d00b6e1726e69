// The terminal front end (ncurses).  See terminal_frontend.h.
//
// Threads.  A thread of this front end ("the screen thread") is the only
// one that calls ncurses: it waits on standard input and on a pipe, reads
// keys, and draws the model below.  The dialog's thread and the worker
// change the model under one mutex and write a byte to the pipe.  What the
// user does is queued for the dialog's thread, which takes it in
// nextAction; a message box waits (on its own thread only) for the screen
// thread to answer it, and a box on the dialog's thread keeps dispatching
// the dialog's posted messages meanwhile.
//
// The screen is given back by the screen thread at exit; on Ctrl-C it does
// so and ends the process with SIGINT, as closing a console window ends
// the program; on a fatal signal the handler writes the terminal's reset
// strings (taken at start) and restores the terminal modes before the
// signal takes its course.
#define NCURSES_NOMACROS 1
#include "terminal_frontend.h"

#include "../w32_internal.h"

#include <curses.h>
#include <term.h>
#undef lines
#undef columns

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using namespace w32int;

namespace w32fe {
namespace term {

std::vector<std::string> wrapText(const std::string &text, int width) {
  std::vector<std::string> out;
  if (width < 1) width = 1;
  std::string para;
  auto flush = [&](const std::string &p) {
    std::string line;
    size_t i = 0;
    bool any = false;
    while (i < p.size()) {
      while (i < p.size() && p[i] == ' ') ++i;
      if (i >= p.size()) break;
      size_t j = p.find(' ', i);
      if (j == std::string::npos) j = p.size();
      std::string word = p.substr(i, j - i);
      i = j;
      while (static_cast<int>(word.size()) > width) {  // a word alone too long: cut it
        if (!line.empty()) out.push_back(line);
        out.push_back(word.substr(0, static_cast<size_t>(width)));
        word.erase(0, static_cast<size_t>(width));
        line.clear();
        any = true;
      }
      if (word.empty()) continue;
      if (line.empty()) {
        line = word;
      } else if (static_cast<int>(line.size() + 1 + word.size()) <= width) {
        line += ' ' + word;
      } else {
        out.push_back(line);
        line = word;
      }
      any = true;
    }
    if (!line.empty() || !any) out.push_back(line);
  };
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      flush(para);
      para.clear();
    } else {
      para += c == '\t' ? ' ' : c;
    }
  }
  flush(para);
  while (out.size() > 1 && out.back().empty()) out.pop_back();
  return out;
}

std::string stripAmpersands(const std::string &text, int *accel) {
  std::string out;
  *accel = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) {
      ++i;
      if (text[i] != '&' && *accel < 0) *accel = static_cast<int>(out.size());
    }
    out += text[i];
  }
  return out;
}

namespace {

bool isClass(const ControlInfo &c, const char *name) { return equalsNoCase(c.className, name); }
bool isBitmap(const ControlInfo &c) { return isClass(c, "STATIC") && (c.style & SS_TYPEMASK) == SS_BITMAP; }
bool isText(const ControlInfo &c) { return isClass(c, "STATIC") && !isBitmap(c); }
bool oneRow(const ControlInfo &c) {
  return isClass(c, "BUTTON") || isClass(c, "EDIT") || isClass(c, "msctls_progress32");
}

bool overlap(const Cells &a, const Cells &b) {
  return a.col < b.col + b.cols && b.col < a.col + a.cols && a.row < b.row + b.rows && b.row < a.row + a.rows;
}

int textLines(const ControlInfo &c, int cols) {
  int accel;
  return static_cast<int>(wrapText(stripAmpersands(c.text, &accel), cols).size());
}

}  // namespace

Layout layoutDialog(const DialogInfo &d) {
  Layout l;
  l.cols = std::max(1, d.cxDlu / 4);
  l.rows = std::max(1, d.cyDlu / 8);
  for (const ControlInfo &c : d.controls) {
    Cells r;
    int x = c.dlu.left, y = c.dlu.top, x2 = c.dlu.right, y2 = c.dlu.bottom;
    r.col = (x + 2) / 4;
    r.cols = std::max(1, (x2 + 2) / 4 - r.col);
    if (oneRow(c)) {
      r.row = (y + y2) / 2 / 8;  // the row through its middle
      r.rows = 1;
    } else {
      r.row = (y + 4) / 8;
      r.rows = std::max(1, (y2 + 4) / 8 - r.row);
    }
    r.col = std::max(0, std::min(r.col, l.cols - 1));
    r.row = std::max(0, std::min(r.row, l.rows - 1));
    l.controls.push_back(r);
  }
  size_t n = l.controls.size();
  // A control that would cover an earlier one moves below it.
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (overlap(l.controls[i], l.controls[j])) l.controls[i].row = l.controls[j].row + l.controls[j].rows;
    }
  }
  auto freeCells = [&](size_t self, const Cells &r) {
    if (r.col < 0 || r.row < 0 || r.col + r.cols > l.cols || r.row + r.rows > l.rows) return false;
    for (size_t j = 0; j < n; ++j) {
      if (j != self && overlap(r, l.controls[j])) return false;
    }
    return true;
  };
  // Moves controls down until none covers another, the lower of two going
  // below the higher; false when one would leave the dialog.
  auto settle = [&](size_t fixed) {
    for (bool moved = true; moved;) {
      moved = false;
      for (size_t a = 0; a < n; ++a) {
        for (size_t b = 0; b < n; ++b) {
          Cells &ra = l.controls[a], &rb = l.controls[b];
          if (a == b || b == fixed || !overlap(ra, rb)) continue;
          if (rb.row < ra.row || (rb.row == ra.row && b < a)) continue;
          rb.row = ra.row + ra.rows;
          moved = true;
          if (rb.row + rb.rows > l.rows) return false;
        }
      }
    }
    return true;
  };
  // A text that needs more lines takes the free columns to its right that
  // it needs, else grows a row into free cells below, else pushes the
  // controls below it down, else widens a column at a time.
  for (size_t i = 0; i < n; ++i) {
    const ControlInfo &c = d.controls[i];
    if (!isText(c)) continue;
    for (int w = l.controls[i].cols + 1; textLines(c, l.controls[i].cols) > l.controls[i].rows; ++w) {
      Cells wider = l.controls[i];
      wider.cols = w;
      if (!freeCells(i, wider)) break;
      if (textLines(c, w) <= wider.rows) l.controls[i].cols = w;
    }
    while (textLines(c, l.controls[i].cols) > l.controls[i].rows) {
      Cells r = l.controls[i];
      Cells below{r.col, r.row + r.rows, r.cols, 1};
      Cells right{r.col + r.cols, r.row, 1, r.rows};
      if (freeCells(i, below)) {
        ++l.controls[i].rows;
        continue;
      }
      std::vector<Cells> before = l.controls;
      ++l.controls[i].rows;
      if (settle(i)) continue;
      l.controls = before;
      if (freeCells(i, right)) {
        ++l.controls[i].cols;
      } else {
        break;
      }
    }
  }
  for (size_t i = 0; i < n; ++i) {
    const ControlInfo &c = d.controls[i];
    const Cells &r = l.controls[i];
    std::string name = c.className + " " + std::to_string(c.id) + " (" + c.text.substr(0, 20) + ")";
    if (r.col + r.cols > l.cols || r.row + r.rows > l.rows) l.problems.push_back(name + " leaves the dialog");
    for (size_t j = 0; j < i; ++j) {
      if (overlap(r, l.controls[j])) l.problems.push_back(name + " covers control " + std::to_string(j));
    }
    int accel;
    if (isText(c) && textLines(c, r.cols) > r.rows) l.problems.push_back(name + " does not fit its text");
    if (isClass(c, "BUTTON") && static_cast<int>(stripAmpersands(c.text, &accel).size()) + 4 > r.cols) {
      l.problems.push_back(name + " is too narrow for its label");
    }
  }
  return l;
}

Cells placeDialog(const DialogInfo &d, const Layout &l, int screenCols, int screenRows, int cols, int rows) {
  Cells f;
  f.cols = l.cols + 2;
  f.rows = l.rows + 2;
  // The window's centre, to the nearest cell.
  int centreCol = ((d.window.left + d.window.right) / 2 + kBaseUnitX / 2) / kBaseUnitX + (cols - screenCols) / 2;
  int centreRow = ((d.window.top + d.window.bottom) / 2 + kBaseUnitY / 2) / kBaseUnitY + (rows - 1 - screenRows) / 2;
  f.col = std::max(0, std::min(centreCol - f.cols / 2, cols - f.cols));
  f.row = std::max(0, std::min(centreRow - f.rows / 2, rows - 1 - f.rows));
  return f;
}

}  // namespace term

namespace {

using term::Cells;
using term::Layout;

// A box button's label, with the mnemonic Windows gives it.
const char *boxLabel(int id) {
  switch (id) {
  case IDOK: return "OK";
  case IDCANCEL: return "Cancel";
  case IDABORT: return "&Abort";
  case IDRETRY: return "&Retry";
  case IDIGNORE: return "&Ignore";
  case IDYES: return "&Yes";
  case IDNO: return "&No";
  default: return "?";
  }
}

// ---- The answer-file recorder ---------------------------------------------
//
// The file is laid out as the scripted front end takes answers: a dialog's
// answer where it starts waiting for the user (holding every step the
// person then took, steps of a dialog with a progress bar as "at P"), a
// message box's answer where the box appeared, and media changes before
// the answer that follows them (or the box that was open).  A dialog whose
// steps ran out and which then ended by itself gets a "wait" answer where
// it ran out.  The file is rewritten after every change.
class Recorder {
 public:
  explicit Recorder(std::string path) : path_(std::move(path)) { write(); }

  struct Line {
    std::vector<std::string> actions;
    std::string answer;  // "" while unanswered (not written)
  };

  void dialogShown(HWND dialog, int id) {
    Open o;
    o.line = add("dialog " + std::to_string(id));
    o.id = id;
    dialogs_[dialog] = o;
    write();
  }
  void step(HWND dialog, const std::string &text) {
    auto it = dialogs_.find(dialog);
    if (it == dialogs_.end()) return;
    it->second.steps.push_back(text);
    it->second.exhausted = false;
    it->second.line->answer = "dialog " + std::to_string(it->second.id);
    for (const std::string &s : it->second.steps) it->second.line->answer += " " + s;
    write();
  }
  // The dialog is idle again after its last step (and the boxes it led to).
  void idle(HWND dialog) {
    auto it = dialogs_.find(dialog);
    if (it == dialogs_.end() || it->second.steps.empty() || it->second.exhausted) return;
    it->second.exhausted = true;
    it->second.exhaustedAt = std::prev(lines_.end());
  }
  void dialogClosed(HWND dialog) {
    auto it = dialogs_.find(dialog);
    if (it == dialogs_.end()) return;
    Open &o = it->second;
    if (o.steps.empty()) {
      o.line->answer = "dialog " + std::to_string(o.id) + " wait";
    } else if (o.exhausted) {
      Line l;
      l.answer = "dialog " + std::to_string(o.id) + " wait";
      lines_.insert(std::next(o.exhaustedAt), l);
    }
    dialogs_.erase(it);
    write();
  }
  std::list<Line>::iterator boxShown() { return add(""); }
  void boxAnswered(std::list<Line>::iterator line, const std::string &text, int button) {
    line->answer = "message " + quoteText(text) + " " + boxButtonName(button);
    write();
  }
  // A media change: before the open box's answer, else the next answer.
  void action(const std::string &text, const std::list<Line>::iterator *openBox) {
    if (openBox) {
      (*openBox)->actions.push_back(text);
    } else {
      pending_.push_back(text);
    }
    write();
  }

 private:
  struct Open {
    std::list<Line>::iterator line;
    int id = 0;
    std::vector<std::string> steps;
    bool exhausted = false;
    std::list<Line>::iterator exhaustedAt;
  };

  std::list<Line>::iterator add(const std::string &answer) {
    Line l;
    l.actions.swap(pending_);
    l.answer = answer;
    lines_.push_back(l);
    return std::prev(lines_.end());
  }

  void write() {
    std::string out = "# Recorded by the terminal front end; replay with W32_ANSWERS.\n";
    for (const Line &l : lines_) {
      if (l.answer.empty()) continue;
      for (const std::string &a : l.actions) out += a + "\n";
      bool noSteps = std::count(l.answer.begin(), l.answer.end(), ' ') == 1 && l.answer.compare(0, 7, "dialog ") == 0;
      out += noSteps ? l.answer + " wait\n" : l.answer + "\n";
    }
    if (!replaceHostFile(path_, out) && !warned_) {
      warned_ = true;
      fprintf(stderr, "w32 terminal front end: cannot write %s\n", path_.c_str());
    }
  }

  std::string path_;
  std::list<Line> lines_;
  std::vector<std::string> pending_;
  std::map<HWND, Open> dialogs_;
  bool warned_ = false;
};

// ---- The model the screen thread draws -------------------------------------

struct EditState {
  std::string text;
  size_t cursor = 0, scroll = 0;
  bool dirty = false;     // typed since the dialog last got the text
  bool selected = false;  // all of it, as when the focus comes to the field
};

struct Shown {
  DialogInfo info;
  Layout layout;
  int focus = -1;  // index into info.controls
  std::vector<EditState> edits;  // by control index
  int colsAtShow = 0, rowsAtShow = 0;  // the screen it was placed on
  bool hasBar = false;
  int barPos = 0;
};

struct Box {
  std::string text, caption;
  UINT type = 0;
  std::vector<int> ids;
  int escape = 0, focus = 0;
  bool done = false;
  int answer = 0;
  std::list<Recorder::Line>::iterator recordLine;
  bool recorded = false;
};

struct Queued {
  HWND dialog;
  UserAction action;
};

// The media menu: drives A: to Z: but C: and Z:, those mapped and A: and D:.
struct Media {
  bool open = false;
  std::vector<char> letters;
  int selected = 0;
  int prompt = 0;  // 0 none, 'i' directory, 's' speed
  std::string input;
  std::string message;
};

// Terminal reset strings for the signal handler, taken at start.
char gReset[512];
size_t gResetLen = 0;
struct termios gSavedModes;
bool gHaveModes = false;
int gWakePipe[2] = {-1, -1};
std::atomic<bool> gScreenActive{false};

void restoreFromSignal() {
  if (!gScreenActive.exchange(false)) return;
  if (gResetLen) {
    ssize_t ignored = write(STDOUT_FILENO, gReset, gResetLen);
    (void)ignored;
  }
  if (gHaveModes) tcsetattr(STDIN_FILENO, TCSANOW, &gSavedModes);
}

void fatalSignal(int sig) {
  restoreFromSignal();
  signal(sig, SIG_DFL);
  raise(sig);
}

void winchSignal(int) {
  int saved = errno;
  char c = 'w';
  ssize_t ignored = write(gWakePipe[1], &c, 1);
  (void)ignored;
  errno = saved;
}

void appendCap(const char *name) {
  const char *s = tigetstr(const_cast<char *>(name));
  if (!s || s == reinterpret_cast<const char *>(-1)) return;
  size_t n = strlen(s);
  if (gResetLen + n < sizeof gReset) {
    memcpy(gReset + gResetLen, s, n);
    gResetLen += n;
  }
}

// Colour pairs.
enum Pair { kDesktop = 1, kDialog, kTitle, kEdit, kBar, kHelp, kIconRed, kIconYellow, kIconBlue, kFirstFree };

class TerminalFrontEnd : public FrontEnd {
 public:
  const char *name() const override { return "terminal"; }

  bool start(std::string *why) {
    if (pipe(gWakePipe) != 0) {
      *why = "no pipe";
      return false;
    }
    fcntl(gWakePipe[0], F_SETFL, O_NONBLOCK);
    fcntl(gWakePipe[1], F_SETFL, O_NONBLOCK);
    const char *rec = getenv("W32_RECORD");
    if (rec && *rec) recorder_.reset(new Recorder(absolutePath(rec)));
    std::unique_lock<std::mutex> lock(m_);
    std::thread(&TerminalFrontEnd::screenThread, this).detach();
    cv_.wait(lock, [&] { return started_; });
    if (!active_) {
      *why = startError_;
      return false;
    }
    return true;
  }

  // At exit: the screen thread gives the screen back.
  void shutdown() {
    std::unique_lock<std::mutex> lock(m_);
    if (!active_) return;
    quit_ = true;
    poke();
    if (!cv_.wait_for(lock, std::chrono::seconds(2), [&] { return !active_; })) restoreFromSignal();
  }

  void screenSize(int *cx, int *cy) override {
    // Pixels as the dialog manager counts them: a cell is 4 x 8 dialog units.
    *cx = screenCols_.load() * kBaseUnitX;
    *cy = (screenRows_.load() - 1) * kBaseUnitY;  // the bottom line is ours
  }

  bool showDialog(const DialogInfo &d) override {
    std::lock_guard<std::mutex> lock(m_);
    if (!active_) return false;
    auto s = std::make_shared<Shown>();
    s->info = d;
    s->layout = term::layoutDialog(d);
    s->edits.resize(d.controls.size());
    for (size_t i = 0; i < d.controls.size(); ++i) {
      const ControlInfo &c = d.controls[i];
      if (isEdit(c)) {
        s->edits[i].text = c.text;
        s->edits[i].cursor = c.text.size();
        fitScroll(*s, i);
      }
      if (term::isClass(c, "msctls_progress32")) {
        s->hasBar = true;
        s->barPos = c.progressPos;
      }
      if (s->focus < 0 && focusable(c)) {
        s->focus = static_cast<int>(i);
        if (isEdit(c)) s->edits[i].selected = true;
      }
    }
    s->colsAtShow = screenCols_;
    s->rowsAtShow = screenRows_ - 1;
    dialogs_.push_back(s);
    if (recorder_) recorder_->dialogShown(d.hwnd, d.id);
    poke();
    return true;
  }

  void controlChanged(const DialogInfo &d, const ControlInfo &c) override {
    std::lock_guard<std::mutex> lock(m_);
    std::shared_ptr<Shown> s = find(d.hwnd);
    if (!s) return;
    size_t i = 0;
    while (i < s->info.controls.size() && s->info.controls[i].hwnd != c.hwnd) ++i;
    if (i == s->info.controls.size()) {  // a control made after the dialog was shown
      s->info.controls.push_back(c);
      s->edits.resize(s->info.controls.size());
      s->layout = term::layoutDialog(s->info);
    } else {
      s->info.controls[i] = c;
    }
    if (isEdit(c) && !s->edits[i].dirty) {
      s->edits[i].text = c.text;
      s->edits[i].cursor = c.text.size();
      s->edits[i].scroll = 0;
      fitScroll(*s, i);
    }
    if (term::isClass(c, "msctls_progress32")) s->barPos = c.progressPos;
    poke();
  }

  int nextAction(const DialogInfo &d, UserAction *out, DWORD *waitMs) override {
    std::lock_guard<std::mutex> lock(m_);
    *waitMs = 250;  // also covers a wake() that comes just before the wait starts
    if (!active_) return -1;
    std::shared_ptr<Shown> s = find(d.hwnd);
    auto q = std::find_if(queue_.begin(), queue_.end(), [&](const Queued &x) { return x.dialog == d.hwnd; });
    if (q != queue_.end()) {
      *out = q->action;
      queue_.erase(q);
      if (recorder_) recorder_->step(d.hwnd, stepText(s, *out));
      return 1;
    }
    if (recorder_) recorder_->idle(d.hwnd);
    return 0;
  }

  void closeDialog(const DialogInfo &d, INT_PTR) override {
    std::lock_guard<std::mutex> lock(m_);
    dialogs_.erase(std::remove_if(dialogs_.begin(), dialogs_.end(),
                                  [&](const std::shared_ptr<Shown> &s) { return s->info.hwnd == d.hwnd; }),
                   dialogs_.end());
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(), [&](const Queued &q) { return q.dialog == d.hwnd; }),
                 queue_.end());
    if (recorder_) recorder_->dialogClosed(d.hwnd);
    poke();
  }

  int messageBox(HWND owner, const std::string &text, const std::string &caption, UINT type) override {
    auto box = std::make_shared<Box>();
    box->text = text;
    box->caption = caption;
    box->type = type;
    boxButtons(type, &box->ids, &box->escape);
    int def = static_cast<int>((type >> 8) & 3);
    box->focus = def < static_cast<int>(box->ids.size()) ? def : 0;
    std::unique_lock<std::mutex> lock(m_);
    if (!active_) return 0;
    if (recorder_) {
      box->recordLine = recorder_->boxShown();
      box->recorded = true;
    }
    boxes_.push_back(box);
    poke();
    while (!box->done && active_) {
      cv_.wait_for(lock, std::chrono::milliseconds(20));
      if (box->done) break;
      lock.unlock();
      // The dialog goes on working under a box on its own thread; a box
      // whose owner has gone (the worker's, after a Cancel) goes too.
      dispatchPosted();
      bool ownerGone = owner && !IsWindow(owner);
      lock.lock();
      if (ownerGone && !box->done) {
        boxes_.erase(std::remove(boxes_.begin(), boxes_.end(), box), boxes_.end());
        poke();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
    }
    if (!box->done) return 0;
    if (recorder_ && box->recorded) recorder_->boxAnswered(box->recordLine, text, box->answer);
    lock.unlock();
    recordEvent("message caption=" + quoteText(caption) + " text=" + quoteText(text) + " icon=" + iconName(type) +
                " buttons=" + buttonsName(type) + " answer=" + boxButtonName(box->answer));
    return box->answer;
  }

 private:
  static bool isEdit(const ControlInfo &c) { return term::isClass(c, "EDIT"); }
  static bool isButton(const ControlInfo &c) { return term::isClass(c, "BUTTON"); }
  static bool focusable(const ControlInfo &c) {
    return (isEdit(c) || isButton(c)) && (c.style & WS_TABSTOP) && !(c.style & WS_DISABLED);
  }
  static bool isDefault(const ControlInfo &c) { return isButton(c) && (c.style & 0xF) == BS_DEFPUSHBUTTON; }

  std::shared_ptr<Shown> find(HWND h) {
    for (auto &s : dialogs_) {
      if (s->info.hwnd == h) return s;
    }
    return nullptr;
  }

  std::string stepText(const std::shared_ptr<Shown> &s, const UserAction &a) {
    std::string at = s && s->hasBar ? "at " + std::to_string(s->barPos) + " " : "";
    switch (a.kind) {
    case UserAction::SetEditText: return "edit " + std::to_string(a.control) + " " + quoteText(a.text);
    case UserAction::Press: return at + "press " + std::to_string(a.control);
    case UserAction::Escape: return at + "escape";
    case UserAction::Close: return at + "close";
    }
    return "";
  }

  void poke() {
    char c = 'x';
    ssize_t ignored = write(gWakePipe[1], &c, 1);
    (void)ignored;
    dirty_ = true;
  }

  // ---- The screen thread ----

  void screenThread() {
    std::unique_lock<std::mutex> lock(m_);
    setlocale(LC_ALL, "");
    utf8_ = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    gHaveModes = tcgetattr(STDIN_FILENO, &gSavedModes) == 0;
    const char *termName = getenv("TERM");
    screen_ = newterm(termName && *termName ? termName : "vt100", stdout, stdin);
    if (!screen_) {
      startError_ = std::string("cannot use the terminal (TERM=") + (termName ? termName : "") + ")";
      started_ = true;
      cv_.notify_all();
      return;
    }
    raw();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(60);
    const char *noColor = getenv("NO_COLOR");
    colour_ = has_colors() && !(noColor && *noColor);
    if (colour_) {
      start_color();
      init_pair(kDesktop, COLOR_BLACK, COLOR_CYAN);
      init_pair(kDialog, COLOR_BLACK, COLOR_WHITE);
      init_pair(kTitle, COLOR_WHITE, COLOR_BLUE);
      init_pair(kEdit, COLOR_BLACK, COLOR_CYAN);
      init_pair(kBar, COLOR_BLUE, COLOR_WHITE);
      init_pair(kHelp, COLOR_BLACK, COLOR_WHITE);
      init_pair(kIconRed, COLOR_WHITE, COLOR_RED);
      init_pair(kIconYellow, COLOR_BLACK, COLOR_YELLOW);
      init_pair(kIconBlue, COLOR_WHITE, COLOR_BLUE);
      nextPair_ = kFirstFree;
    }
    appendCap("sgr0");
    appendCap("cnorm");
    appendCap("rmkx");
    appendCap("rmcup");
    screenCols_ = COLS;
    screenRows_ = LINES;
    gScreenActive = true;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = winchSignal;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &sa, nullptr);
    sa.sa_handler = fatalSignal;
    sa.sa_flags = SA_RESETHAND;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTERM, SIGHUP, SIGQUIT, SIGINT}) {
      sigaction(sig, &sa, nullptr);
    }
    active_ = true;
    started_ = true;
    cv_.notify_all();
    dirty_ = true;
    for (;;) {
      if (quit_) break;
      if (dirty_) {
        // Drawn from a copy, so no other thread waits while the screen is drawn.
        dirty_ = false;
        std::vector<Shown> dialogs;
        for (auto &d : dialogs_) dialogs.push_back(*d);
        std::vector<Box> boxes;
        for (auto &b : boxes_) boxes.push_back(*b);
        Media media = media_;
        lock.unlock();
        draw(dialogs, boxes, media);
        lock.lock();
        continue;
      }
      lock.unlock();
      struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {gWakePipe[0], POLLIN, 0}};
      int n = poll(fds, 2, 1000);
      lock.lock();
      if (n <= 0) continue;
      if (fds[1].revents & POLLIN) {
        char buf[64];
        ssize_t got;
        while ((got = read(gWakePipe[0], buf, sizeof buf)) > 0) {
          if (memchr(buf, 'w', static_cast<size_t>(got))) resize();
        }
        dirty_ = true;
      }
      if (fds[0].revents & (POLLHUP | POLLERR)) {
        quitByInterrupt(lock);  // the terminal has gone, as a closed console
      }
      if (fds[0].revents & POLLIN) {
        int ch;
        while ((ch = getch()) != ERR) {
          bool alt = false;
          if (ch == 27) {
            // Alt+key comes as Escape and the key; Escape and then another
            // key (a function key's sequence) are two keys.
            int next = getch();
            if (next > 32 && next < 127) {
              alt = true;
              ch = next;
            } else if (next != ERR) {
              key(27, false);
              ch = next;
            }
          }
          if (ch == 3) quitByInterrupt(lock);
          key(ch, alt);
          dirty_ = true;
        }
      }
    }
    endwin();
    delscreen(screen_);
    gScreenActive = false;
    active_ = false;
    cv_.notify_all();
  }

  // Ctrl-C: the screen back, then the end the signal gives.
  [[noreturn]] void quitByInterrupt(std::unique_lock<std::mutex> &lock) {
    endwin();
    gScreenActive = false;
    active_ = false;
    lock.unlock();
    fflush(nullptr);
    signal(SIGINT, SIG_DFL);
    kill(getpid(), SIGINT);
    for (;;) pause();
  }

  void resize() {
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
      resize_term(ws.ws_row, ws.ws_col);
      screenCols_ = ws.ws_col;
      screenRows_ = ws.ws_row;
      clearok(stdscr, TRUE);
    }
  }

  // ---- Keys ----

  void key(int ch, bool alt) {
    if (ch == KEY_RESIZE) {
      resize();
      return;
    }
    if (ch == KEY_F(2) && !media_.prompt) {
      if (media_.open) {
        media_.open = false;
      } else {
        openMedia();
      }
      return;
    }
    if (media_.open) {
      mediaKey(ch);
      return;
    }
    if (!boxes_.empty()) {
      boxKey(*boxes_.back(), ch, alt);
      return;
    }
    if (!dialogs_.empty()) dialogKey(*dialogs_.back(), ch, alt);
  }

  static bool isEnter(int ch) { return ch == '\r' || ch == '\n' || ch == KEY_ENTER; }

  void answer(Box &b, int id) {
    b.done = true;
    b.answer = id;
    boxes_.erase(std::remove_if(boxes_.begin(), boxes_.end(), [&](const std::shared_ptr<Box> &x) { return x.get() == &b; }),
                 boxes_.end());
    cv_.notify_all();
  }

  void boxKey(Box &b, int ch, bool alt) {
    int n = static_cast<int>(b.ids.size());
    if (ch == '\t' || ch == KEY_RIGHT || ch == KEY_DOWN) {
      b.focus = (b.focus + 1) % n;
    } else if (ch == KEY_BTAB || ch == KEY_LEFT || ch == KEY_UP) {
      b.focus = (b.focus + n - 1) % n;
    } else if (isEnter(ch) || ch == ' ') {
      answer(b, b.ids[static_cast<size_t>(b.focus)]);
    } else if ((ch == 27 && !alt) || ch == KEY_F(4)) {
      if (b.escape) answer(b, b.escape);
    } else if (ch > 32 && ch < 127) {
      for (int id : b.ids) {
        int accel;
        std::string label = term::stripAmpersands(boxLabel(id), &accel);
        if (accel >= 0 && tolower(label[static_cast<size_t>(accel)]) == tolower(ch)) {
          answer(b, id);
          return;
        }
      }
    }
  }

  void queue(Shown &s, UserAction::Kind kind, int control) {
    // The dialog gets the typed texts before the command that may read them.
    for (size_t i = 0; i < s.edits.size(); ++i) {
      if (!s.edits[i].dirty) continue;
      s.edits[i].dirty = false;
      UserAction a;
      a.kind = UserAction::SetEditText;
      a.control = s.info.controls[i].id;
      a.text = s.edits[i].text;
      queue_.push_back({s.info.hwnd, a});
    }
    UserAction a;
    a.kind = kind;
    a.control = control;
    queue_.push_back({s.info.hwnd, a});
    wake();
  }

  void moveFocus(Shown &s, int dir, bool buttonsOnly) {
    int n = static_cast<int>(s.info.controls.size());
    if (n == 0) return;
    int f = s.focus < 0 ? 0 : s.focus;
    for (int k = 1; k <= n; ++k) {
      int i = ((f + dir * k) % n + n) % n;
      const ControlInfo &c = s.info.controls[static_cast<size_t>(i)];
      if (focusable(c) && (!buttonsOnly || isButton(c))) {
        s.focus = i;
        if (isEdit(c)) s.edits[static_cast<size_t>(i)].selected = true;
        return;
      }
    }
  }

  void dialogKey(Shown &s, int ch, bool alt) {
    const ControlInfo *f = s.focus >= 0 ? &s.info.controls[static_cast<size_t>(s.focus)] : nullptr;
    bool inEdit = f && isEdit(*f);
    if (ch == '\t') return moveFocus(s, 1, false);
    if (ch == KEY_BTAB) return moveFocus(s, -1, false);
    if (ch == 27 && !alt) return queue(s, UserAction::Escape, IDCANCEL);
    if (ch == KEY_F(4)) return queue(s, UserAction::Close, IDCANCEL);
    if (isEnter(ch)) {
      if (f && isButton(*f)) return queue(s, UserAction::Press, f->id);
      for (const ControlInfo &c : s.info.controls) {
        if (isDefault(c) && !(c.style & WS_DISABLED)) return queue(s, UserAction::Press, c.id);
      }
      return;
    }
    if (!inEdit && (ch == KEY_LEFT || ch == KEY_UP)) return moveFocus(s, -1, true);
    if (!inEdit && (ch == KEY_RIGHT || ch == KEY_DOWN)) return moveFocus(s, 1, true);
    if (ch == ' ' && f && isButton(*f)) return queue(s, UserAction::Press, f->id);
    if (ch > 32 && ch < 127 && (alt || !inEdit)) {
      for (size_t i = 0; i < s.info.controls.size(); ++i) {
        const ControlInfo &c = s.info.controls[i];
        int accel;
        std::string label = term::stripAmpersands(c.text, &accel);
        if (isButton(c) && accel >= 0 && !(c.style & WS_DISABLED) &&
            tolower(label[static_cast<size_t>(accel)]) == tolower(ch)) {
          s.focus = static_cast<int>(i);
          return queue(s, UserAction::Press, c.id);
        }
      }
      if (alt || !inEdit) return;
    }
    if (!inEdit) return;
    editKey(s, ch);
    fitScroll(s, static_cast<size_t>(s.focus));
  }

  // The field scrolls so that the cursor stays inside it.
  static void fitScroll(Shown &s, size_t i) {
    if (i >= s.edits.size() || i >= s.layout.controls.size()) return;
    EditState &e = s.edits[i];
    size_t width = static_cast<size_t>(std::max(1, s.layout.controls[i].cols - 2));
    if (e.cursor < e.scroll) e.scroll = e.cursor;
    if (e.cursor >= e.scroll + width) e.scroll = e.cursor - width + 1;
  }

  void editKey(Shown &s, int ch) {
    const ControlInfo *f = &s.info.controls[static_cast<size_t>(s.focus)];
    EditState &e = s.edits[static_cast<size_t>(s.focus)];
    size_t limit = f->editLimit > 0 ? static_cast<size_t>(f->editLimit) : 30000;
    // With all of the text selected, typing replaces it and Backspace or
    // Delete removes it; a cursor key ends the selection at its start or end.
    bool printable = ch >= 32 && ch < 127;
    if (e.selected && (printable || ch == KEY_BACKSPACE || ch == 127 || ch == 8 || ch == KEY_DC)) {
      e.selected = false;
      e.text.clear();
      e.cursor = 0;
      e.dirty = true;
      if (!printable) return;
    } else if (e.selected && (ch == KEY_LEFT || ch == KEY_RIGHT)) {
      e.selected = false;
      e.cursor = ch == KEY_LEFT ? 0 : e.text.size();
      return;
    } else if (ch == KEY_HOME || ch == KEY_END || ch == 1 || ch == 5) {
      e.selected = false;
    }
    if (ch >= 32 && ch < 127) {
      if (e.text.size() < limit) {
        e.text.insert(e.cursor++, 1, static_cast<char>(ch));
        e.dirty = true;
      } else {
        beep();
      }
    } else if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
      if (e.cursor > 0) {
        e.text.erase(--e.cursor, 1);
        e.dirty = true;
      }
    } else if (ch == KEY_DC) {
      if (e.cursor < e.text.size()) {
        e.text.erase(e.cursor, 1);
        e.dirty = true;
      }
    } else if (ch == KEY_LEFT) {
      if (e.cursor > 0) --e.cursor;
    } else if (ch == KEY_RIGHT) {
      if (e.cursor < e.text.size()) ++e.cursor;
    } else if (ch == KEY_HOME || ch == 1) {
      e.cursor = 0;
    } else if (ch == KEY_END || ch == 5) {
      e.cursor = e.text.size();
    }
  }

  // ---- The media menu ----

  void openMedia() {
    media_ = Media();
    media_.open = true;
    for (char l = 'a'; l <= 'y'; ++l) {
      if (l == 'c') continue;
      if (l == 'a' || l == 'd' || !driveHostRoot(l).empty()) media_.letters.push_back(l);
    }
  }

  const std::list<Recorder::Line>::iterator *openBoxLine() {
    for (auto it = boxes_.rbegin(); it != boxes_.rend(); ++it) {
      if ((*it)->recorded) return &(*it)->recordLine;
    }
    return nullptr;
  }

  void mediaKey(int ch) {
    char letter = media_.letters[static_cast<size_t>(media_.selected)];
    std::string drive = std::string(1, letter) + ":";
    if (media_.prompt) {
      if (isEnter(ch)) {
        std::string in = media_.input;
        if (media_.prompt == 'i') {
          std::string dir = absolutePath(in);
          struct stat st;
          if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            media_.message = "no such directory: " + dir;
          } else {
            mapDriveInternal(letter, dir);
            media_.message = drive + " now holds " + dir;
            if (recorder_) recorder_->action("insert " + drive + " " + quoteText(dir), openBoxLine());
          }
        } else {
          char *end = nullptr;
          long v = in == "-" ? 0 : strtol(in.c_str(), &end, 10);
          if (in.empty() || (end && *end) || v < 0) {
            media_.message = "a speed is a number of bytes a second (0 or -: full speed)";
          } else {
            setDriveSpeedInternal(letter, static_cast<unsigned long>(v));
            media_.message = drive + " reads " + (v ? std::to_string(v) + " bytes a second" : "at full speed");
            std::string dir = driveHostRoot(letter);
            if (recorder_ && !dir.empty()) {
              recorder_->action("insert " + drive + " " + quoteText(dir) + " speed " + std::to_string(v), openBoxLine());
            }
          }
        }
        media_.prompt = 0;
      } else if (ch == 27) {
        media_.prompt = 0;
      } else if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
        if (!media_.input.empty()) media_.input.pop_back();
      } else if (ch >= 32 && ch < 127) {
        media_.input += static_cast<char>(ch);
      }
      return;
    }
    int n = static_cast<int>(media_.letters.size());
    if (ch == KEY_UP) media_.selected = (media_.selected + n - 1) % n;
    if (ch == KEY_DOWN) media_.selected = (media_.selected + 1) % n;
    if (ch == 27) media_.open = false;
    if (ch == 'i' || ch == 'I') {
      media_.prompt = 'i';
      media_.input = driveHostRoot(letter);
      media_.message.clear();
    }
    if (ch == 's' || ch == 'S') {
      media_.prompt = 's';
      media_.input = std::to_string(driveSpeed(letter));
      media_.message.clear();
    }
    if (ch == 'e' || ch == 'E') {
      mapDriveInternal(letter, "");
      media_.message = drive + " is empty";
      if (recorder_) recorder_->action("eject " + drive, openBoxLine());
    }
  }

  // ---- Drawing ----

  attr_t attrOf(Pair p) const { return colour_ ? static_cast<attr_t>(COLOR_PAIR(p)) : A_NORMAL; }

  void put(int row, int col, const std::string &s, attr_t a, int clipCols = INT_MAX) {
    if (row < 0 || row >= LINES) return;
    attrset(a);
    for (size_t i = 0; i < s.size() && static_cast<int>(i) < clipCols; ++i) {
      int c = col + static_cast<int>(i);
      if (c >= 0 && c < COLS) mvaddch(row, c, static_cast<unsigned char>(s[i]));
    }
  }

  void putUtf8(int row, int col, const char *s, attr_t a) {
    if (row < 0 || row >= LINES || col < 0 || col >= COLS) return;
    attrset(a);
    mvaddstr(row, col, s);
  }

  void fill(int row, int col, int cols, attr_t a) { put(row, col, std::string(static_cast<size_t>(std::max(0, cols)), ' '), a); }

  void frame(int row, int col, int rows, int cols, const std::string &caption, attr_t body) {
    attr_t title = colour_ ? attrOf(kTitle) | A_BOLD : A_REVERSE;
    fill(row, col, cols, title);
    put(row, col + 1, caption, title, cols - 2);
    for (int r = row + 1; r < row + rows; ++r) fill(r, col, cols, body);
    attrset(body);
    for (int r = row + 1; r < row + rows - 1; ++r) {
      if (r >= LINES) break;
      if (col >= 0 && col < COLS) mvaddch(r, col, ACS_VLINE);
      if (col + cols - 1 < COLS) mvaddch(r, col + cols - 1, ACS_VLINE);
    }
    int b = row + rows - 1;
    if (b < LINES) {
      for (int c = col; c < col + cols && c < COLS; ++c) {
        if (c >= 0) mvaddch(b, c, c == col ? ACS_LLCORNER : c == col + cols - 1 ? ACS_LRCORNER : ACS_HLINE);
      }
    }
  }

  // A push button: "[ Label ]", "[>Label<]" when it has the focus.
  void button(int row, int col, int cols, const std::string &text, bool focus, bool def, attr_t body) {
    int accel;
    std::string label = term::stripAmpersands(text, &accel);
    std::string s = std::string("[") + (focus ? ">" : " ") + label + (focus ? "<" : " ") + "]";
    int start = col + std::max(0, (cols - static_cast<int>(s.size())) / 2);
    attr_t a = body | (focus ? A_REVERSE : 0) | (def ? A_BOLD : 0);
    put(row, start, s, a);
    if (accel >= 0) put(row, start + 2 + accel, std::string(1, label[static_cast<size_t>(accel)]), a | A_UNDERLINE);
  }

  void draw(const std::vector<Shown> &dialogs, const std::vector<Box> &boxes, const Media &media) {
    attr_t desk = colour_ ? attrOf(kDesktop) : A_NORMAL;
    bkgdset(' ' | desk);
    erase();
    for (int r = 0; r < LINES; ++r) fill(r, 0, COLS, desk);
    int cursorRow = -1, cursorCol = -1;
    for (const Shown &s : dialogs) drawDialog(s, &cursorRow, &cursorCol);
    if (!boxes.empty()) cursorRow = -1;
    for (const Box &b : boxes) drawBox(b);
    if (media.open) {
      cursorRow = -1;
      drawMedia(media, &cursorRow, &cursorCol);
    }
    attr_t help = colour_ ? attrOf(kHelp) : A_REVERSE;
    fill(LINES - 1, 0, COLS, help);
    int needCols = 0, needRows = 0;
    for (const Shown &s : dialogs) {
      needCols = std::max(needCols, s.layout.cols + 2);
      needRows = std::max(needRows, s.layout.rows + 3);
    }
    if (needCols > COLS || needRows > LINES) {
      put(LINES - 1, 0,
          " The dialog needs a terminal of " + std::to_string(needCols) + "x" + std::to_string(needRows) +
              ": make it larger  (Ctrl-C quit)",
          help, COLS);
    } else {
      put(LINES - 1, 0, " Tab focus  Enter/Space press  Alt+letter  Esc  F4 close  F2 media  Ctrl-C quit", help,
          COLS);
    }
    if (cursorRow >= 0) {
      curs_set(1);
      move(cursorRow, cursorCol);
    } else {
      curs_set(0);
    }
    refresh();
  }

  void drawDialog(const Shown &s, int *cursorRow, int *cursorCol) {
    const Layout &l = s.layout;
    Cells f = term::placeDialog(s.info, l, s.colsAtShow, s.rowsAtShow, COLS, LINES);
    int cols = f.cols, rows = f.rows, col = f.col, row = f.row;
    attr_t body = colour_ ? attrOf(kDialog) : A_NORMAL;
    frame(row, col, rows, cols, s.info.caption, body);
    int x0 = col + 1, y0 = row + 1;
    for (size_t i = 0; i < s.info.controls.size() && i < l.controls.size(); ++i) {
      const ControlInfo &c = s.info.controls[i];
      const Cells &r = l.controls[i];
      int x = x0 + r.col, y = y0 + r.row;
      bool focus = static_cast<int>(i) == s.focus;
      if (isButton(c)) {
        button(y, x, r.cols, c.text, focus, isDefault(c), body);
      } else if (isEdit(c)) {
        const EditState &e = s.edits[i];
        size_t width = static_cast<size_t>(std::max(1, r.cols - 2));
        std::string shown = e.text.substr(std::min(e.scroll, e.text.size()), width);
        attr_t ea = colour_ ? attrOf(kEdit) : A_UNDERLINE;
        put(y, x, "[", body);
        fill(y, x + 1, static_cast<int>(width), ea);
        put(y, x + 1, shown, e.selected && focus ? ea | A_REVERSE : ea);
        put(y, x + 1 + static_cast<int>(width), "]", body);
        if (focus) {
          *cursorRow = y;
          *cursorCol = x + 1 + static_cast<int>(e.cursor - e.scroll);
        }
      } else if (term::isClass(c, "msctls_progress32")) {
        drawBar(y, x, r.cols, c, body);
      } else if (term::isBitmap(c)) {
        drawBitmap(y, x, r.rows, r.cols, c, body);
      } else {
        int accel;
        std::vector<std::string> lines = term::wrapText(term::stripAmpersands(c.text, &accel), r.cols);
        DWORD align = c.style & SS_TYPEMASK;
        for (int k = 0; k < r.rows && k < static_cast<int>(lines.size()); ++k) {
          const std::string &t = lines[static_cast<size_t>(k)];
          int pad = align == SS_CENTER ? (r.cols - static_cast<int>(t.size())) / 2
                    : align == SS_RIGHT ? r.cols - static_cast<int>(t.size())
                                        : 0;
          put(y + k, x + std::max(0, pad), t, body, r.cols);
        }
      }
    }
  }

  void drawBar(int y, int x, int cols, const ControlInfo &c, attr_t body) {
    int span = c.progressMax - c.progressMin;
    int pct = span > 0 ? (c.progressPos - c.progressMin) * 100 / span : 0;
    int filled = cols * pct / 100;
    attr_t a = colour_ ? attrOf(kBar) : A_NORMAL;
    for (int k = 0; k < cols; ++k) {
      if (utf8_) {
        putUtf8(y, x + k, k < filled ? "\xe2\x96\x88" : "\xe2\x96\x91", a);
      } else {
        put(y, x + k, k < filled ? "#" : ".", a);
      }
    }
    std::string label = " " + std::to_string(pct) + "% ";
    put(y, x + (cols - static_cast<int>(label.size())) / 2, label, body | A_BOLD);
  }

  // ---- The bitmap ----

  struct Rgb {
    int r, g, b;
  };

  // The picture of a .bmp file (8 or 24 bits a pixel, uncompressed).
  static bool decodeBmp(const unsigned char *p, unsigned long size, int *w, int *h, std::vector<Rgb> *px) {
    if (!p || size < 54 || p[0] != 'B' || p[1] != 'M') return false;
    auto le = [&](unsigned long at, int n) {
      unsigned long v = 0;
      for (int k = n - 1; k >= 0; --k) v = v << 8 | p[at + static_cast<unsigned long>(k)];
      return v;
    };
    unsigned long off = le(10, 4), hdr = le(14, 4);
    int width = static_cast<int>(static_cast<int32_t>(le(18, 4)));
    int height = static_cast<int>(static_cast<int32_t>(le(22, 4)));
    int bpp = static_cast<int>(le(28, 2));
    if (le(30, 4) != 0 || width <= 0 || height == 0 || (bpp != 8 && bpp != 24)) return false;
    bool bottomUp = height > 0;
    height = std::abs(height);
    unsigned long stride = (static_cast<unsigned long>(width) * static_cast<unsigned long>(bpp) / 8 + 3) & ~3UL;
    if (off + stride * static_cast<unsigned long>(height) > size) return false;
    unsigned long colours = bpp == 8 ? (le(46, 4) ? le(46, 4) : 256) : 0;
    if (bpp == 8 && 14 + hdr + colours * 4 > size) return false;
    px->assign(static_cast<size_t>(width) * static_cast<size_t>(height), Rgb{0, 0, 0});
    for (int yy = 0; yy < height; ++yy) {
      const unsigned char *row = p + off + stride * static_cast<unsigned long>(bottomUp ? height - 1 - yy : yy);
      for (int xx = 0; xx < width; ++xx) {
        Rgb c{0, 0, 0};
        if (bpp == 8) {
          unsigned long idx = row[xx];
          if (idx < colours) {
            const unsigned char *q = p + 14 + hdr + idx * 4;
            c = {q[2], q[1], q[0]};
          }
        } else {
          const unsigned char *q = row + xx * 3;
          c = {q[2], q[1], q[0]};
        }
        (*px)[static_cast<size_t>(yy) * static_cast<size_t>(width) + static_cast<size_t>(xx)] = c;
      }
    }
    *w = width;
    *h = height;
    return true;
  }

  int nearestColour(const Rgb &c) {
    if (palette_.empty()) {
      // The first 16 as curses knows them; above them a 256-colour
      // terminal has the 6x6x6 cube and the grey ramp.
      int n = std::min(COLORS, 256);
      static const int kLevel[6] = {0, 95, 135, 175, 215, 255};
      for (int i = 0; i < n; ++i) {
        short r, g, b;
        if (i < 16) {
          color_content(static_cast<short>(i), &r, &g, &b);
          palette_.push_back({r * 255 / 1000, g * 255 / 1000, b * 255 / 1000});
        } else if (i < 232) {
          palette_.push_back({kLevel[(i - 16) / 36], kLevel[(i - 16) / 6 % 6], kLevel[(i - 16) % 6]});
        } else {
          int v = 8 + (i - 232) * 10;
          palette_.push_back({v, v, v});
        }
      }
    }
    int best = 0;
    long bestD = LONG_MAX;
    for (size_t i = 0; i < palette_.size(); ++i) {
      long dr = c.r - palette_[i].r, dg = c.g - palette_[i].g, db = c.b - palette_[i].b;
      long d = dr * dr * 3 + dg * dg * 4 + db * db * 2;
      if (d < bestD) {
        bestD = d;
        best = static_cast<int>(i);
      }
    }
    return best;
  }

  int pairFor(int fg, int bg) {
    auto key = std::make_pair(fg, bg);
    auto it = pairs_.find(key);
    if (it != pairs_.end()) return it->second;
    if (nextPair_ >= COLOR_PAIRS || nextPair_ > 32767) return kDialog;
    init_pair(static_cast<short>(nextPair_), static_cast<short>(fg), static_cast<short>(bg));
    pairs_[key] = nextPair_;
    return nextPair_++;
  }

  void drawBitmap(int y, int x, int rows, int cols, const ControlInfo &c, attr_t body) {
    int w = 0, h = 0;
    std::vector<Rgb> px;
    bool ok = decodeBmp(c.bitmap, c.bitmapSize, &w, &h, &px);
    if (!colour_ || !utf8_ || !ok || COLORS < 8) {
      // A framed placeholder where the picture cannot be drawn.
      attrset(body);
      for (int r = 0; r < rows; ++r) {
        for (int k = 0; k < cols; ++k) {
          bool top = r == 0, bottom = r == rows - 1, left = k == 0, right = k == cols - 1;
          chtype ch = top && left     ? ACS_ULCORNER
                      : top && right  ? ACS_URCORNER
                      : bottom && left ? ACS_LLCORNER
                      : bottom && right ? ACS_LRCORNER
                      : top || bottom   ? ACS_HLINE
                      : left || right   ? ACS_VLINE
                                        : ' ';
          if (y + r < LINES && x + k < COLS) mvaddch(y + r, x + k, ch);
        }
      }
      std::string what = ok ? "picture " + std::to_string(w) + " x " + std::to_string(h) : "picture";
      put(y + rows / 2, x + std::max(1, (cols - static_cast<int>(what.size())) / 2), what, body, cols - 2);
      return;
    }
    // Two pixels a cell, the upper half block in the top colour over the
    // bottom colour; each half the average of the pixels it covers.
    auto sample = [&](int cx, int cy) {
      int x0 = cx * w / cols, x1 = std::max(x0 + 1, (cx + 1) * w / cols);
      int y0 = cy * h / (rows * 2), y1 = std::max(y0 + 1, (cy + 1) * h / (rows * 2));
      long r = 0, g = 0, b = 0, n = 0;
      for (int yy = y0; yy < y1 && yy < h; ++yy) {
        for (int xx = x0; xx < x1 && xx < w; ++xx) {
          const Rgb &p = px[static_cast<size_t>(yy) * static_cast<size_t>(w) + static_cast<size_t>(xx)];
          r += p.r;
          g += p.g;
          b += p.b;
          ++n;
        }
      }
      return n ? Rgb{static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n)} : Rgb{0, 0, 0};
    };
    for (int r = 0; r < rows; ++r) {
      for (int k = 0; k < cols; ++k) {
        int top = nearestColour(sample(k, r * 2)), bottom = nearestColour(sample(k, r * 2 + 1));
        putUtf8(y + r, x + k, "\xe2\x96\x80", static_cast<attr_t>(COLOR_PAIR(pairFor(top, bottom))));
      }
    }
  }

  void drawBox(const Box &b) {
    int maxText = std::max(20, std::min(60, COLS - 12));
    std::vector<std::string> lines = term::wrapText(b.text, maxText);
    int textW = 0;
    for (const std::string &l : lines) textW = std::max(textW, static_cast<int>(l.size()));
    int n = static_cast<int>(b.ids.size());
    int buttonsW = n * 10 + (n - 1) * 2;
    bool icon = (b.type & MB_ICONMASK) != 0;
    int inner = std::max({textW + (icon ? 5 : 0), buttonsW, static_cast<int>(b.caption.size()) + 2});
    int cols = inner + 4, rows = static_cast<int>(lines.size()) + 5;
    int col = std::max(0, (COLS - cols) / 2), row = std::max(0, (LINES - 1 - rows) / 2);
    attr_t body = colour_ ? attrOf(kDialog) : A_NORMAL;
    frame(row, col, rows, cols, b.caption, body);
    int tx = col + 2;
    if (icon) {
      const char *sym = "(i)";
      Pair p = kIconBlue;
      switch (b.type & MB_ICONMASK) {
      case MB_ICONERROR: sym = "(X)"; p = kIconRed; break;
      case MB_ICONWARNING: sym = "(!)"; p = kIconYellow; break;
      case MB_ICONQUESTION: sym = "(?)"; break;
      default: break;
      }
      put(row + 2, tx, sym, colour_ ? attrOf(p) | A_BOLD : A_BOLD);
      tx += 5;
    }
    for (size_t k = 0; k < lines.size(); ++k) put(row + 2 + static_cast<int>(k), tx, lines[k], body);
    int bx = col + (cols - buttonsW) / 2, by = row + rows - 2;
    for (int k = 0; k < n; ++k) {
      std::string label = boxLabel(b.ids[static_cast<size_t>(k)]);
      int accel;
      std::string plain = term::stripAmpersands(label, &accel);
      // Labels centred in six cells, so every button is as wide.
      int padL = (6 - static_cast<int>(plain.size())) / 2;
      std::string padded = std::string(static_cast<size_t>(padL), ' ') + label;
      while (static_cast<int>(term::stripAmpersands(padded, &accel).size()) < 6) padded += ' ';
      button(by, bx + k * 12, 10, padded, k == b.focus, k == b.focus, body);
    }
  }

  void drawMedia(const Media &media, int *cursorRow, int *cursorCol) {
    std::vector<std::string> rows;
    for (size_t i = 0; i < media.letters.size(); ++i) {
      char l = media.letters[i];
      std::string dir = driveHostRoot(l);
      unsigned long speed = driveSpeed(l);
      std::string line = std::string(static_cast<int>(i) == media.selected ? "> " : "  ") +
                         static_cast<char>(toupper(l)) + ":  " + (dir.empty() ? "(empty)" : dir);
      if (speed) line += "  [" + std::to_string(speed) + " B/s]";
      rows.push_back(line);
    }
    int cols = std::min(COLS, 76);
    int height = static_cast<int>(rows.size()) + 7;
    int col = (COLS - cols) / 2, row = std::max(0, (LINES - 1 - height) / 2);
    attr_t body = colour_ ? attrOf(kDialog) : A_NORMAL;
    frame(row, col, height, cols, "Media (removable drives)", body);
    for (size_t i = 0; i < rows.size(); ++i) {
      put(row + 2 + static_cast<int>(i), col + 2, rows[i], body | (static_cast<int>(i) == media.selected ? A_REVERSE : 0),
          cols - 4);
    }
    int y = row + 2 + static_cast<int>(rows.size()) + 1;
    if (media.prompt) {
      std::string label = media.prompt == 'i' ? "Directory: " : "Bytes a second (0: full speed): ";
      int width = cols - 4 - static_cast<int>(label.size());
      std::string shown = media.input.size() > static_cast<size_t>(width - 1)
                              ? media.input.substr(media.input.size() - static_cast<size_t>(width - 1))
                              : media.input;
      put(y, col + 2, label, body);
      attr_t ea = colour_ ? attrOf(kEdit) : A_UNDERLINE;
      fill(y, col + 2 + static_cast<int>(label.size()), width, ea);
      put(y, col + 2 + static_cast<int>(label.size()), shown, ea);
      *cursorRow = y;
      *cursorCol = col + 2 + static_cast<int>(label.size() + shown.size());
    } else {
      put(y, col + 2, media.message, body, cols - 4);
    }
    put(row + height - 2, col + 2, "Up/Down drive  I insert  E eject  S speed  Esc/F2 close", body, cols - 4);
  }

  std::mutex m_;
  std::condition_variable cv_;
  bool started_ = false, active_ = false, quit_ = false;
  std::atomic<bool> dirty_{false};
  std::string startError_;
  SCREEN *screen_ = nullptr;
  bool colour_ = false, utf8_ = false;
  std::atomic<int> screenCols_{80}, screenRows_{24};
  std::vector<std::shared_ptr<Shown>> dialogs_;
  std::vector<std::shared_ptr<Box>> boxes_;
  std::deque<Queued> queue_;
  Media media_;
  std::unique_ptr<Recorder> recorder_;
  std::vector<Rgb> palette_;
  std::map<std::pair<int, int>, int> pairs_;
  int nextPair_ = kFirstFree;
};

TerminalFrontEnd *gTerminal = nullptr;

void shutdownAtExit() {
  if (gTerminal) gTerminal->shutdown();
}

}  // namespace

FrontEnd *terminalFrontEnd(std::string *why) {
  if (gTerminal) return gTerminal;
  auto *fe = new TerminalFrontEnd;  // never destroyed: worker threads may outlive main
  if (!fe->start(why)) return nullptr;
  gTerminal = fe;
  atexit(shutdownAtExit);
  return fe;
}

}  // namespace w32fe
