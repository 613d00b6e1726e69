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
#include "terminal_internal.h"
#include "machine/w32_host_files.h"
#include "machine/w32_script.h"

#include <curses.h>
#include <term.h>
#undef lines
#undef columns

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

namespace w32fe {
namespace term {

namespace {

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


}  // namespace

bool TerminalFrontEnd::start(std::string *why) {
  if (pipe(gWakePipe) != 0) {
    *why = "no pipe";
    return false;
  }
  fcntl(gWakePipe[0], F_SETFL, O_NONBLOCK);
  fcntl(gWakePipe[1], F_SETFL, O_NONBLOCK);
  std::string rec = runFiles().record;
  if (!rec.empty()) {
    std::string path = absolutePath(rec);
    auto warned = std::make_shared<bool>(false);
    recorder_.reset(new Recorder("# Recorded by the terminal front end; replay with /answers=FILE or W32_ANSWERS.\n",
                                 [path, warned](const std::string &file) {
                                   if (!replaceHostFile(path, file) && !*warned) {
                                     *warned = true;
                                     fprintf(stderr, "w32 terminal front end: cannot write %s\n", path.c_str());
                                   }
                                 }));
  }
  std::unique_lock<std::mutex> lock(m_);
  try {
    std::thread(&TerminalFrontEnd::screenThread, this).detach();
  } catch (const std::system_error &e) {  // no memory left for a thread
    *why = std::string("cannot start its thread: ") + e.what();
    return false;
  }
  cv_.wait(lock, [&] { return started_; });
  if (!active_) {
    *why = startError_;
    return false;
  }
  return true;
}

// At exit: the screen thread gives the screen back.
void TerminalFrontEnd::shutdown() {
  std::unique_lock<std::mutex> lock(m_);
  if (!active_) return;
  quit_ = true;
  poke();
  if (!cv_.wait_for(lock, std::chrono::seconds(2), [&] { return !active_; })) restoreFromSignal();
}

void TerminalFrontEnd::screenSize(int *cx, int *cy) {
  // Pixels as the dialog manager counts them: a cell is 4 x 8 dialog units.
  *cx = screenCols_.load() * kBaseUnitX;
  *cy = (screenRows_.load() - 1) * kBaseUnitY;  // the bottom line is ours
}

bool TerminalFrontEnd::showDialog(const DialogInfo &d) {
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
      if (isEdit(c)) selectAll(s->edits[i]);
    }
  }
  s->colsAtShow = screenCols_;
  s->rowsAtShow = screenRows_ - 1;
  dialogs_.push_back(s);
  if (recorder_) recorder_->dialogShown(d.hwnd, d.id);
  poke();
  return true;
}

void TerminalFrontEnd::controlChanged(const DialogInfo &d, const ControlInfo &c) {
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

int TerminalFrontEnd::nextAction(const DialogInfo &d, UserAction *out, DWORD *waitMs) {
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

void TerminalFrontEnd::closeDialog(const DialogInfo &d, INT_PTR) {
  std::lock_guard<std::mutex> lock(m_);
  dialogs_.erase(std::remove_if(dialogs_.begin(), dialogs_.end(),
                                [&](const std::shared_ptr<Shown> &s) { return s->info.hwnd == d.hwnd; }),
                 dialogs_.end());
  queue_.erase(std::remove_if(queue_.begin(), queue_.end(), [&](const Queued &q) { return q.dialog == d.hwnd; }),
               queue_.end());
  if (recorder_) recorder_->dialogClosed(d.hwnd);
  poke();
}

int TerminalFrontEnd::messageBox(HWND owner, const std::string &text, const std::string &caption, UINT type) {
  auto box = std::make_shared<Box>();
  box->text = text;
  box->caption = caption;
  box->type = type;
  qva::boxButtons(type, &box->ids, &box->escape);
  int def = static_cast<int>((type >> 8) & 3);
  box->focus = def < static_cast<int>(box->ids.size()) ? def : 0;
  std::unique_lock<std::mutex> lock(m_);
  if (!active_) return 0;
  box->serial = ++nextSerial_;
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
  recordEvent(qva::messageLine(caption, text, type) + " answer=" + qva::buttonName(box->answer));
  return box->answer;
}

std::shared_ptr<Shown> TerminalFrontEnd::find(HWND h) {
  for (auto &s : dialogs_) {
    if (s->info.hwnd == h) return s;
  }
  return nullptr;
}

std::string TerminalFrontEnd::stepText(const std::shared_ptr<Shown> &s, const UserAction &a) {
  std::string at = s && s->hasBar ? "at " + std::to_string(s->barPos) + " " : "";
  switch (a.kind) {
  case UserAction::SetEditText: return "edit " + std::to_string(a.control) + " " + quoteText(a.text);
  case UserAction::Press: return at + "press " + std::to_string(a.control);
  case UserAction::Escape: return at + "escape";
  case UserAction::Close: return at + "close";
  }
  return "";
}

void TerminalFrontEnd::poke() {
  char c = 'x';
  ssize_t ignored = write(gWakePipe[1], &c, 1);
  (void)ignored;
  dirty_ = true;
}

void TerminalFrontEnd::screenThread() {
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
  // Clicks, where the terminal reports them: each press and release.
  mouse_ = mousemask(BUTTON1_PRESSED | BUTTON1_RELEASED, nullptr) != 0;
  mouseinterval(0);
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
    init_pair(kFocus, COLOR_WHITE, COLOR_BLUE);
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

// Ctrl-C: the screen back, the transcript's result line, then the end the
// signal gives.
[[noreturn]] void TerminalFrontEnd::quitByInterrupt(std::unique_lock<std::mutex> &lock) {
  w32int::recordInterrupted();
  endwin();
  gScreenActive = false;
  active_ = false;
  lock.unlock();
  fflush(nullptr);
  signal(SIGINT, SIG_DFL);
  kill(getpid(), SIGINT);
  for (;;) pause();
}

void TerminalFrontEnd::resize() {
  struct winsize ws;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    resize_term(ws.ws_row, ws.ws_col);
    screenCols_ = ws.ws_col;
    screenRows_ = ws.ws_row;
    clearok(stdscr, TRUE);
  }
}

namespace {

TerminalFrontEnd *gTerminal = nullptr;

void shutdownAtExit() {
  if (gTerminal) gTerminal->shutdown();
}

}  // namespace
}  // namespace term

FrontEnd *terminalFrontEnd(std::string *why) {
  if (term::gTerminal) return term::gTerminal;
  auto *fe = new term::TerminalFrontEnd;  // never destroyed: worker threads may outlive main
  if (!fe->start(why)) return nullptr;
  term::gTerminal = fe;
  atexit(term::shutdownAtExit);
  return fe;
}

}  // namespace w32fe
