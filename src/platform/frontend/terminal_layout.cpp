// Dialogs laid out in character cells, and the texts in them.
#include "terminal_internal.h"

#include <algorithm>

namespace w32fe {
namespace term {

std::vector<std::string> wrapText(const std::string &text, int width) {
  std::vector<std::string> out;
  if (width < 1) width = 1;
  std::string para;
  auto flush = [&](std::string p) {
    // A line that fits is kept as it is written, so texts laid out in
    // columns (the options' box) stay so; only longer ones are wrapped.
    while (!p.empty() && p.back() == ' ') p.pop_back();
    if (!p.empty() && static_cast<int>(p.size()) <= width) {
      out.push_back(p);
      return;
    }
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
  int ignored;
  if (!accel) accel = &ignored;
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

// The blank rows that a vertical gap of g dialog units keeps: a gap of most
// of a line (a row stands for 8 units) is a blank row; less is none.
int gapRows(int g) { return g < 6 ? 0 : (g + 2) / 8; }

}  // namespace

Layout layoutDialog(const DialogInfo &d) {
  Layout l;
  l.cols = std::max(1, d.cxDlu / 4);
  size_t n = d.controls.size();
  l.controls.resize(n);
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return d.controls[a].dlu.top < d.controls[b].dlu.top; });
  // Columns as the template has them.  Rows follow the template from the
  // top: a control starts below every control that ends above it, with the
  // blank rows of the gap between them, so the template's paragraph gaps
  // survive; a text takes as many rows as its lines need, which pushes what
  // is below it down by as many.
  int lowestDlu = 0;
  for (size_t k = 0; k < n; ++k) {
    size_t i = order[k];
    const ControlInfo &c = d.controls[i];
    Cells &r = l.controls[i];
    r.col = std::max(0, std::min((static_cast<int>(c.dlu.left) + 2) / 4, l.cols - 1));
    r.cols = std::max(1, (static_cast<int>(c.dlu.right) + 2) / 4 - r.col);
    r.rows = oneRow(c) ? 1 : std::max(1, (static_cast<int>(c.dlu.bottom - c.dlu.top) + 4) / 8);
    if (isText(c)) {
      // A text that needs more lines than its rectangle first takes the
      // columns to its right up to the dialog's edge or the next control
      // beside it, as far as they save lines.
      int room = l.cols - r.col;
      for (size_t j = 0; j < n; ++j) {
        const RECT &o = d.controls[j].dlu;
        if (j != i && o.left >= c.dlu.right && o.top < c.dlu.bottom && c.dlu.top < o.bottom) {
          room = std::min(room, (static_cast<int>(o.left) + 2) / 4 - 1 - r.col);
        }
      }
      for (int w = r.cols + 1; w <= room && textLines(c, r.cols) > r.rows; ++w) {
        if (textLines(c, w) < textLines(c, r.cols)) r.cols = w;
      }
      r.rows = std::max(r.rows, textLines(c, r.cols));
    }
    // The gap counts from the nearest controls above (those ending lowest).
    LONG nearest = -1;
    for (size_t m = 0; m < k; ++m) {
      const RECT &o = d.controls[order[m]].dlu;
      if (o.bottom <= c.dlu.top) nearest = std::max(nearest, o.bottom);
    }
    r.row = gapRows(static_cast<int>(c.dlu.top));
    for (size_t m = 0; m < k; ++m) {
      size_t j = order[m];
      const Cells &above = l.controls[j];
      LONG bottom = d.controls[j].dlu.bottom;
      if (bottom <= c.dlu.top) {
        int gap = bottom == nearest ? gapRows(static_cast<int>(c.dlu.top - bottom)) : 0;
        r.row = std::max(r.row, above.row + above.rows + gap);
      } else if (overlap(r, above)) {
        r.row = above.row + above.rows;  // templates whose controls overlap
      }
    }
    lowestDlu = std::max(lowestDlu, static_cast<int>(c.dlu.bottom));
  }
  int used = 0;
  for (const Cells &r : l.controls) used = std::max(used, r.row + r.rows);
  l.rows = std::max(1, n ? used + gapRows(d.cyDlu - lowestDlu) : d.cyDlu / 8);
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
