// The parts of the terminal front end, shared by its files:
//   terminal_frontend.cpp  the front end's calls and its screen thread
//   terminal_keys.cpp      what keys and the mouse do
//   terminal_draw.cpp      drawing dialogs and message boxes
//   terminal_bitmap.cpp    the welcome picture in half blocks
//   terminal_media.cpp     the media menu
//   terminal_layout.cpp    dialogs laid out in character cells
// Only these files include it.
#ifndef QV_PLATFORM_TERMINAL_INTERNAL_H
#define QV_PLATFORM_TERMINAL_INTERNAL_H

#define NCURSES_NOMACROS 1
#include "terminal_frontend.h"

#include "machine/w32_core.h"
#include "recorder.h"

#include <curses.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace w32fe {
namespace term {

using namespace w32int;

inline bool isClass(const ControlInfo &c, const char *name) { return equalsNoCase(c.className, name); }
inline bool isBitmap(const ControlInfo &c) {
  return isClass(c, "STATIC") && (c.style & SS_TYPEMASK) == SS_BITMAP;
}
inline bool isText(const ControlInfo &c) { return isClass(c, "STATIC") && !isBitmap(c); }

// A box button's label, with the mnemonic Windows gives it.
const char *boxLabel(int id);

// ---- The answer-file recorder (src/automation/recorder.h) -----------------
using Recorder = qva::Recorder;

// ---- The model the screen thread draws -------------------------------------

struct EditState {
  std::string text;
  size_t cursor = 0, scroll = 0;
  bool dirty = false;     // typed since the dialog last got the text
  bool selected = false;  // text between anchor and cursor is selected
  size_t anchor = 0;      // (all of it when the focus comes to the field)
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
  unsigned serial = 0;  // tells boxes apart on the screen thread's copies
};

// Where the mouse can click on the screen last drawn: cols cells of a row.
struct Hit {
  int row, col, cols;
  enum Kind { DialogControl, BoxButton, MediaEntry } kind;
  HWND dialog;   // DialogControl: the dialog
  int index;     // the control's index, the box button's, the drive's
  unsigned tag;  // BoxButton: the box's serial; DialogControl: the edit text's first column
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
  bool inputSelected = false;  // the value offered is selected: typing replaces it
  std::string message;
};

// Colour pairs.
enum Pair { kDesktop = 1, kDialog, kTitle, kEdit, kBar, kHelp, kIconRed, kIconYellow, kIconBlue, kFocus, kFirstFree };

class TerminalFrontEnd : public FrontEnd {
 public:
  const char *name() const override { return "terminal"; }

  bool start(std::string *why);
  void shutdown();
  void screenSize(int *cx, int *cy) override;
  bool showDialog(const DialogInfo &d) override;
  void controlChanged(const DialogInfo &d, const ControlInfo &c) override;
  int nextAction(const DialogInfo &d, UserAction *out, DWORD *waitMs) override;
  void closeDialog(const DialogInfo &d, INT_PTR) override;
  int messageBox(HWND owner, const std::string &text, const std::string &caption, UINT type) override;

 private:
  static bool isEdit(const ControlInfo &c) { return term::isClass(c, "EDIT"); }
  static bool isButton(const ControlInfo &c) { return term::isClass(c, "BUTTON"); }
  static bool focusable(const ControlInfo &c);
  static bool isDefault(const ControlInfo &c) { return isButton(c) && (c.style & 0xF) == BS_DEFPUSHBUTTON; }

  std::shared_ptr<Shown> find(HWND h);
  std::string stepText(const std::shared_ptr<Shown> &s, const UserAction &a);
  void poke();

  // ---- The screen thread ----

  void screenThread();
  [[noreturn]] void quitByInterrupt(std::unique_lock<std::mutex> &lock);
  void resize();

  // ---- Keys ----

  void key(int ch, bool alt);
  static bool isEnter(int ch) { return ch == '\r' || ch == '\n' || ch == KEY_ENTER; }

  void answer(Box &b, int id);
  void boxKey(Box &b, int ch, bool alt);
  void queue(Shown &s, UserAction::Kind kind, int control);
  void moveFocus(Shown &s, int dir, bool buttonsOnly);
  void dialogKey(Shown &s, int ch, bool alt);
  static void fitScroll(Shown &s, size_t i);
  void editKey(Shown &s, int ch);
  static void selectAll(EditState &e);
  void mouse();
  void click(const Hit &h, int x, bool release);

  // ---- The media menu ----

  void openMedia();
  const std::list<Recorder::Line>::iterator *openBoxLine();
  void mediaKey(int ch);

  // ---- Drawing ----

  attr_t attrOf(Pair p) const { return colour_ ? static_cast<attr_t>(COLOR_PAIR(p)) : A_NORMAL; }

  void put(int row, int col, const std::string &s, attr_t a, int clipCols = INT_MAX);
  void putUtf8(int row, int col, const char *s, attr_t a);
  void fill(int row, int col, int cols, attr_t a) {
    put(row, col, std::string(static_cast<size_t>(std::max(0, cols)), ' '), a);
  }

  void frame(int row, int col, int rows, int cols, const std::string &caption, attr_t body);
  struct ButtonLook {
    bool focus = false, isDefault = false, pressed = false;
  };
  int button(int row, int col, int cols, const std::string &text, const ButtonLook &look, attr_t body, int *width);
  std::string legend(const std::vector<Shown> &dialogs, const std::vector<Box> &boxes, const Media &media) const;
  void draw(const std::vector<Shown> &dialogs, const std::vector<Box> &boxes, const Media &media);
  void drawDialog(const Shown &s, bool top, int *cursorRow, int *cursorCol);
  void drawBar(int y, int x, int cols, const ControlInfo &c, attr_t body);

  // ---- The bitmap ----

 public:
  struct Rgb {
    int r, g, b;
  };

 private:
  static bool decodeBmp(const unsigned char *p, unsigned long size, int *w, int *h, std::vector<Rgb> *px);
  int nearestColour(const Rgb &c, int avoid = -1);
  int pairFor(int fg, int bg);
  void drawBitmap(int y, int x, int rows, int cols, const ControlInfo &c, attr_t body);
  void drawPictureInWords(int y, int x, int rows, int cols, const std::string &size, const char *words, attr_t body);
  void drawBox(const Box &b, bool top);
  void drawMedia(const Media &media, int *cursorRow, int *cursorCol);
  std::mutex m_;
  std::condition_variable cv_;
  bool started_ = false, active_ = false, quit_ = false;
  std::atomic<bool> dirty_{false};
  std::string startError_;
  SCREEN *screen_ = nullptr;
  bool colour_ = false, utf8_ = false, mouse_ = false;
  std::atomic<int> screenCols_{80}, screenRows_{24};
  std::vector<std::shared_ptr<Shown>> dialogs_;
  std::vector<std::shared_ptr<Box>> boxes_;
  std::deque<Queued> queue_;
  Media media_;
  std::map<char, std::string> lastDir_;  // a drive's directory before it was ejected
  std::vector<Hit> hits_;                // screen thread only
  Hit pressed_{-1, -1, 0, Hit::MediaEntry, nullptr, -1, 0};  // where the mouse button went down
  bool havePress_ = false;
  unsigned nextSerial_ = 0;
  std::unique_ptr<Recorder> recorder_;
  std::vector<Rgb> palette_;
  std::map<std::pair<int, int>, int> pairs_;
  int nextPair_ = kFirstFree;
};

}  // namespace term
}  // namespace w32fe

#endif
