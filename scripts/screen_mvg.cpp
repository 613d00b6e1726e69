// A terminal screen as a picture: reads a screen as `tmux capture-pane -e -p`
// prints it (text with SGR colour sequences, UTF-8) on standard input and
// writes an ImageMagick drawing (MVG) on standard output: a cell 9 x 18
// pixels, its background a rectangle and its character in its foreground
// colour in the font FONT_FILE; the upper half block is drawn as two
// rectangles, so the welcome picture keeps its colours exactly.
//
//   tmux capture-pane -e -p -t T | screen_mvg COLS ROWS FONT_FILE > s.mvg
//   convert mvg:s.mvg s.png
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int kCellW = 9, kCellH = 18;

struct Cell {
  std::string ch = " ";
  int fg = -1, bg = -1;  // -1: the terminal's default
  bool bold = false, underline = false, reverse = false;
};

// An xterm 256-colour index as RGB.
void rgbOf(int index, bool foreground, int *r, int *g, int *b) {
  static const int kBase[16][3] = {{0, 0, 0},       {205, 0, 0},   {0, 205, 0},   {205, 205, 0},
                                   {0, 0, 238},     {205, 0, 205}, {0, 205, 205}, {229, 229, 229},
                                   {127, 127, 127}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                   {92, 92, 255},   {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
  static const int kLevel[6] = {0, 95, 135, 175, 215, 255};
  if (index < 0) index = foreground ? 7 : 0;
  if (index < 16) {
    *r = kBase[index][0], *g = kBase[index][1], *b = kBase[index][2];
  } else if (index < 232) {
    *r = kLevel[(index - 16) / 36], *g = kLevel[(index - 16) / 6 % 6], *b = kLevel[(index - 16) % 6];
  } else {
    *r = *g = *b = 8 + (index - 232) * 10;
  }
}

std::string colour(int index, bool foreground) {
  int r, g, b;
  rgbOf(index, foreground, &r, &g, &b);
  char s[16];
  snprintf(s, sizeof s, "#%02x%02x%02x", r, g, b);
  return s;
}

// Applies the parameters of one SGR sequence to the pen.
void applySgr(const std::string &params, Cell *pen) {
  std::vector<int> p;
  std::stringstream in(params);
  for (std::string item; std::getline(in, item, ';');) p.push_back(item.empty() ? 0 : atoi(item.c_str()));
  if (p.empty()) p.push_back(0);
  for (size_t i = 0; i < p.size(); ++i) {
    int v = p[i];
    if (v == 0) {
      *pen = Cell();
    } else if (v == 1) {
      pen->bold = true;
    } else if (v == 4) {
      pen->underline = true;
    } else if (v == 22) {
      pen->bold = false;
    } else if (v == 24) {
      pen->underline = false;
    } else if (v == 7) {
      pen->reverse = true;  // the colours trade places when the cell is drawn
    } else if (v == 27) {
      pen->reverse = false;
    } else if (v >= 30 && v <= 37) {
      pen->fg = v - 30;
    } else if (v >= 90 && v <= 97) {
      pen->fg = v - 90 + 8;
    } else if (v >= 40 && v <= 47) {
      pen->bg = v - 40;
    } else if (v >= 100 && v <= 107) {
      pen->bg = v - 100 + 8;
    } else if (v == 39) {
      pen->fg = -1;
    } else if (v == 49) {
      pen->bg = -1;
    } else if ((v == 38 || v == 48) && i + 2 < p.size() && p[i + 1] == 5) {
      (v == 38 ? pen->fg : pen->bg) = p[i + 2];
      i += 2;
    }
  }
}

std::string quoted(const std::string &s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: screen_mvg COLS ROWS FONT_FILE < capture > picture.mvg\n");
    return 2;
  }
  int cols = atoi(argv[1]), rows = atoi(argv[2]);
  std::vector<std::vector<Cell>> screen(static_cast<size_t>(rows), std::vector<Cell>(static_cast<size_t>(cols)));
  Cell pen;
  std::string line;
  for (int row = 0; row < rows && std::getline(std::cin, line); ++row) {
    int col = 0;
    for (size_t i = 0; i < line.size();) {
      unsigned char c = static_cast<unsigned char>(line[i]);
      if (c == 0x1b && i + 1 < line.size() && line[i + 1] == '[') {
        size_t end = line.find_first_of("ABCDEFGHJKSTfmnsu", i + 2);
        if (end == std::string::npos) break;
        if (line[end] == 'm') applySgr(line.substr(i + 2, end - i - 2), &pen);
        i = end + 1;
        continue;
      }
      size_t n = c < 0x80 ? 1 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
      if (col < cols) {
        Cell cell = pen;
        cell.ch = line.substr(i, n);
        screen[static_cast<size_t>(row)][static_cast<size_t>(col)] = cell;
      }
      ++col;
      i += n;
    }
    // The rest of the row keeps the colours in force at its end.
    for (; col < cols; ++col) {
      Cell cell = pen;
      cell.ch = " ";
      screen[static_cast<size_t>(row)][static_cast<size_t>(col)] = cell;
    }
  }
  printf("viewbox 0 0 %d %d\nfont %s\nfont-size 15\n", cols * kCellW, rows * kCellH, quoted(argv[3]).c_str());
  for (int row = 0; row < rows; ++row) {
    for (int col = 0; col < cols; ++col) {
      Cell cell = screen[static_cast<size_t>(row)][static_cast<size_t>(col)];
      int x = col * kCellW, y = row * kCellH;
      if (cell.reverse) {
        // The default colours are light grey on black.
        int fg = cell.fg < 0 ? 7 : cell.fg, bg = cell.bg < 0 ? 0 : cell.bg;
        cell.fg = bg;
        cell.bg = fg;
      }
      if (cell.ch == "\xe2\x96\x80") {  // upper half block: the top in the foreground colour
        printf("fill %s rectangle %d,%d %d,%d\n", colour(cell.fg, true).c_str(), x, y, x + kCellW - 1, y + kCellH / 2 - 1);
        printf("fill %s rectangle %d,%d %d,%d\n", colour(cell.bg, false).c_str(), x, y + kCellH / 2, x + kCellW - 1,
               y + kCellH - 1);
        continue;
      }
      printf("fill %s rectangle %d,%d %d,%d\n", colour(cell.bg, false).c_str(), x, y, x + kCellW - 1, y + kCellH - 1);
      int fg = cell.fg;
      if (cell.bold && fg >= 0 && fg < 8) fg += 8;
      if (cell.ch != " ") {
        printf("fill %s text %d,%d %s\n", colour(fg, true).c_str(), x, y + kCellH - 5, quoted(cell.ch).c_str());
      }
      if (cell.underline) {
        printf("fill %s rectangle %d,%d %d,%d\n", colour(fg, true).c_str(), x, y + kCellH - 3, x + kCellW - 1,
               y + kCellH - 3);
      }
    }
  }
  return 0;
}
