// Dialogs laid out in character cells, and the texts in them.
#include "terminal_internal.h"

#include <algorithm>

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
}  // namespace w32fe
