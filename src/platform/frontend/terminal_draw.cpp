// Drawing the terminal front end's screen: dialogs, their controls,
// message boxes and the key legend.
#include "terminal_internal.h"

#include <algorithm>

namespace w32fe {
namespace term {

void TerminalFrontEnd::put(int row, int col, const std::string &s, attr_t a, int clipCols) {
  if (row < 0 || row >= LINES) return;
  attrset(a);
  for (size_t i = 0; i < s.size() && static_cast<int>(i) < clipCols; ++i) {
    int c = col + static_cast<int>(i);
    if (c >= 0 && c < COLS) mvaddch(row, c, static_cast<unsigned char>(s[i]));
  }
}

void TerminalFrontEnd::putUtf8(int row, int col, const char *s, attr_t a) {
  if (row < 0 || row >= LINES || col < 0 || col >= COLS) return;
  attrset(a);
  mvaddstr(row, col, s);
}

void TerminalFrontEnd::frame(int row, int col, int rows, int cols, const std::string &caption, attr_t body) {
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

// A push button, "[ Label ]".  The button Enter presses (the focused
// button, else the dialog's default one) has the heavier frame Windows
// gives it, "[[ Label ]]", one cell wider on each side; one held down with
// the mouse has its label moved a cell to the right, "[  Label]", as Windows
// moves it down and right.  The focused button is drawn in a colour of its
// own (reverse video without colour), so nothing is added to its label; no
// attribute is used that a terminal may show dimmer, so a default button
// never looks disabled.  Returns the column it starts at; *width (when not
// null) gets the cells it takes.
int TerminalFrontEnd::button(int row, int col, int cols, const std::string &text, const ButtonLook &look,
                             attr_t body, int *width) {
  int accel;
  std::string label = term::stripAmpersands(text, &accel);
  std::string inner = look.pressed ? "  " + label : " " + label + " ";
  std::string s = look.isDefault ? "[[" + inner + "]]" : "[" + inner + "]";
  int start = col + std::max(0, (cols - static_cast<int>(label.size()) - 4) / 2) - (look.isDefault ? 1 : 0);
  attr_t a = look.focus ? (colour_ ? attrOf(kFocus) | A_BOLD : A_REVERSE | A_BOLD) : body;
  put(row, start, s, a);
  int at = start + (look.isDefault ? 2 : 1) + (look.pressed ? 2 : 1) + accel;
  if (accel >= 0) put(row, at, std::string(1, label[static_cast<size_t>(accel)]), a | A_UNDERLINE);
  if (width) *width = static_cast<int>(s.size());
  return start;
}

// The bottom line: what the keys do in what is on top, as much as fits;
// the way out of the media menu and Ctrl-C always.
std::string TerminalFrontEnd::legend(const std::vector<Shown> &dialogs, const std::vector<Box> &boxes,
                                     const Media &media) const {
  std::vector<std::string> items;
  size_t wayOut = SIZE_MAX;  // an item that stays whatever else goes
  if (media.open) {
    items = {"Up/Down drive", "I insert", "E eject", "S speed", "Esc/F2 close"};
    wayOut = items.size() - 1;
  } else if (!boxes.empty()) {
    const Box &b = boxes.back();
    items = {"Tab move", "Enter press"};
    // Escape does something only where the box has a button it stands for.
    if (b.escape) items.push_back(std::string("Esc ") + term::stripAmpersands(boxLabel(b.escape), nullptr));
    items.push_back("underlined letter");
  } else if (!dialogs.empty()) {
    items = {"Tab focus", "Enter/Space press", "Alt+letter"};
    // Escape and the close box reach the dialog as command 2, which does
    // something for a dialog with a button of that identifier; the
    // wizard's dialogs have none and ignore it, so they are not offered.
    for (const ControlInfo &c : dialogs.back().info.controls) {
      if (isButton(c) && c.id == IDCANCEL) {
        items.push_back("Esc/F4 " + term::stripAmpersands(c.text, nullptr));
        break;
      }
    }
  }
  if (!media.open) items.push_back("F2 media");
  if (mouse_) items.push_back("click");
  items.push_back("Ctrl-C quit");
  // Room for the items that stay, then the others in order while they fit
  // (each takes its width and two blanks; the line starts with one).
  size_t used = 0;
  std::vector<bool> shown(items.size(), false);
  for (size_t k = 0; k < items.size(); ++k) {
    if (k == wayOut || k + 1 == items.size()) {
      shown[k] = true;
      used += items[k].size() + 2;
    }
  }
  for (size_t k = 0; k + 1 < items.size(); ++k) {
    if (!shown[k] && static_cast<int>(used + items[k].size() + 1) <= COLS) {
      shown[k] = true;
      used += items[k].size() + 2;
    }
  }
  std::string line;
  for (size_t k = 0; k < items.size(); ++k) {
    if (shown[k]) line += (line.empty() ? " " : "  ") + items[k];
  }
  return line;
}

void TerminalFrontEnd::draw(const std::vector<Shown> &dialogs, const std::vector<Box> &boxes, const Media &media) {
  attr_t desk = colour_ ? attrOf(kDesktop) : A_NORMAL;
  bkgdset(' ' | desk);
  erase();
  hits_.clear();
  for (int r = 0; r < LINES; ++r) fill(r, 0, COLS, desk);
  int cursorRow = -1, cursorCol = -1;
  // Only what is on top takes the mouse: the media menu, else the last box,
  // else the last dialog.
  for (size_t k = 0; k < dialogs.size(); ++k) {
    drawDialog(dialogs[k], !media.open && boxes.empty() && k + 1 == dialogs.size(), &cursorRow, &cursorCol);
  }
  if (!boxes.empty()) cursorRow = -1;
  for (size_t k = 0; k < boxes.size(); ++k) drawBox(boxes[k], !media.open && k + 1 == boxes.size());
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
  if ((needCols > COLS || needRows > LINES) && !media.open && boxes.empty()) {
    // The dialog scrolls with the focus; the line says what size shows it
    // whole, in as many words as fit (the keys of a box or the media menu
    // on top of it come first).
    std::string size = std::to_string(needCols) + "x" + std::to_string(needRows);
    const std::string hints[] = {" The dialog needs a terminal of " + size + ": make it larger  (Ctrl-C quit)",
                                 " Needs " + size + ": make the terminal larger (Ctrl-C quit)",
                                 " Needs " + size + " (Ctrl-C quit)", " " + size};
    for (const std::string &hint : hints) {
      if (static_cast<int>(hint.size()) <= COLS || &hint == &hints[3]) {
        put(LINES - 1, 0, hint, help, COLS);
        break;
      }
    }
  } else {
    put(LINES - 1, 0, legend(dialogs, boxes, media), help, COLS);
  }
  if (cursorRow >= 0) {
    curs_set(1);
    move(cursorRow, cursorCol);
  } else {
    curs_set(0);
  }
  refresh();
}

void TerminalFrontEnd::drawDialog(const Shown &s, bool top, int *cursorRow, int *cursorCol) {
  const Layout &l = s.layout;
  Cells f = term::placeDialog(s.info, l, s.colsAtShow, s.rowsAtShow, COLS, LINES);
  // A dialog larger than the screen scrolls so that its focused control
  // (else its first) is on it.
  if (!l.controls.empty()) {
    const Cells &fc = l.controls[static_cast<size_t>(std::max(0, s.focus))];
    if (f.rows > LINES - 1) f.row = std::min(0, LINES - 3 - fc.row);
    if (f.cols > COLS) f.col = std::min(0, COLS - 3 - fc.col - fc.cols);
  }
  int cols = f.cols, rows = f.rows, col = f.col, row = f.row;
  attr_t body = colour_ ? attrOf(kDialog) : A_NORMAL;
  frame(row, col, rows, cols, s.info.caption, body);
  int x0 = col + 1, y0 = row + 1;
  // The button Enter presses: the focused one, else the default one.
  int enter = -1;
  for (size_t i = 0; i < s.info.controls.size(); ++i) {
    const ControlInfo &c = s.info.controls[i];
    if (static_cast<int>(i) == s.focus && isButton(c)) {
      enter = static_cast<int>(i);
      break;
    }
    if (enter < 0 && isDefault(c) && !(c.style & WS_DISABLED)) enter = static_cast<int>(i);
  }
  for (size_t i = 0; i < s.info.controls.size() && i < l.controls.size(); ++i) {
    const ControlInfo &c = s.info.controls[i];
    const Cells &r = l.controls[i];
    int x = x0 + r.col, y = y0 + r.row;
    bool focus = static_cast<int>(i) == s.focus;
    if (isButton(c)) {
      ButtonLook look;
      look.focus = focus;
      look.isDefault = static_cast<int>(i) == enter;
      look.pressed = havePress_ && pressed_.kind == Hit::DialogControl && pressed_.dialog == s.info.hwnd &&
                     pressed_.index == static_cast<int>(i);
      int w = 0;
      int start = button(y, x, r.cols, c.text, look, body, &w);
      if (top) hits_.push_back({y, start, w, Hit::DialogControl, s.info.hwnd, static_cast<int>(i), static_cast<unsigned>(x + 1)});
    } else if (isEdit(c)) {
      const EditState &e = s.edits[i];
      size_t width = static_cast<size_t>(std::max(1, r.cols - 2));
      size_t from = std::min(e.scroll, e.text.size());
      std::string shown = e.text.substr(from, width);
      attr_t ea = colour_ ? attrOf(kEdit) : A_UNDERLINE;
      put(y, x, "[", body);
      fill(y, x + 1, static_cast<int>(width), ea);
      put(y, x + 1, shown, ea);
      if (e.selected && focus) {
        // The selection, in reverse video.
        size_t a = std::max(std::min(e.anchor, e.cursor), from), b = std::min(std::max(e.anchor, e.cursor), from + width);
        if (a < b) put(y, x + 1 + static_cast<int>(a - from), e.text.substr(a, b - a), ea | A_REVERSE);
      }
      put(y, x + 1 + static_cast<int>(width), "]", body);
      if (top) hits_.push_back({y, x, r.cols, Hit::DialogControl, s.info.hwnd, static_cast<int>(i), static_cast<unsigned>(x + 1)});
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

void TerminalFrontEnd::drawBar(int y, int x, int cols, const ControlInfo &c, attr_t body) {
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
  put(y, x + (cols - static_cast<int>(label.size())) / 2, label, body);
}

void TerminalFrontEnd::drawBox(const Box &b, bool top) {
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
    // Bold only for white letters: bold black shows grey on many terminals.
    put(row + 2, tx, sym, colour_ ? attrOf(p) | (p == kIconYellow ? 0 : A_BOLD) : A_BOLD);
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
    ButtonLook look;
    look.focus = look.isDefault = k == b.focus;
    look.pressed = havePress_ && pressed_.kind == Hit::BoxButton && pressed_.tag == b.serial && pressed_.index == k;
    int w = 0;
    int start = button(by, bx + k * 12, 10, padded, look, body, &w);
    if (top) hits_.push_back({by, start, w, Hit::BoxButton, nullptr, k, b.serial});
  }
}

}  // namespace term
}  // namespace w32fe
