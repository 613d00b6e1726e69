// The welcome picture in the terminal: a .bmp file drawn in half blocks in
// the terminal's nearest colours, its small lettering in characters, or,
// where that cannot be drawn, a frame with the picture in words.
#include "terminal_internal.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace w32fe {
namespace term {

// The picture of a .bmp file (8 or 24 bits a pixel, uncompressed).
bool TerminalFrontEnd::decodeBmp(const unsigned char *p, unsigned long size, int *w, int *h, std::vector<Rgb> *px) {
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

// How far apart two colours look (green counts most, blue least).
static long colourDistance(const TerminalFrontEnd::Rgb &a, const TerminalFrontEnd::Rgb &b) {
  long dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
  return dr * dr * 3 + dg * dg * 4 + db * db * 2;
}

// The terminal's colour nearest to c, other than 'avoid'.
int TerminalFrontEnd::nearestColour(const Rgb &c, int avoid) {
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
    long d = colourDistance(c, palette_[i]);
    if (d < bestD && static_cast<int>(i) != avoid) {
      bestD = d;
      best = static_cast<int>(i);
    }
  }
  return best;
}

int TerminalFrontEnd::pairFor(int fg, int bg) {
  auto key = std::make_pair(fg, bg);
  auto it = pairs_.find(key);
  if (it != pairs_.end()) return it->second;
  if (nextPair_ >= COLOR_PAIRS || nextPair_ > 32767) return kDialog;
  init_pair(static_cast<short>(nextPair_), static_cast<short>(fg), static_cast<short>(bg));
  pairs_[key] = nextPair_;
  return nextPair_++;
}

// The picture in words, as bmpgen writes them (w32_resource.h): its
// lettering, each with its box in pixels and its colours, and what it shows.
struct PictureWords {
  struct Lettering {
    int x = 0, y = 0, w = 0, h = 0;
    TerminalFrontEnd::Rgb ink{0, 0, 0}, shadow{0, 0, 0};
    std::string words;
  };
  std::vector<Lettering> lettering;
  std::string shows;
};

static PictureWords readWords(const char *text) {
  PictureWords out;
  std::istringstream in(text ? text : "");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string kind, ink, shadow;
    fields >> kind;
    if (kind == "text") {
      PictureWords::Lettering l;
      fields >> l.x >> l.y >> l.w >> l.h >> ink >> shadow;
      std::getline(fields >> std::ws, l.words);
      auto rgb = [](const std::string &hex) {
        unsigned long v = strtoul(hex.c_str(), nullptr, 16);
        return TerminalFrontEnd::Rgb{static_cast<int>(v >> 16 & 255), static_cast<int>(v >> 8 & 255),
                                     static_cast<int>(v & 255)};
      };
      l.ink = rgb(ink);
      l.shadow = rgb(shadow);
      if (fields && l.w > 0 && l.h > 0 && !l.words.empty()) out.lettering.push_back(l);
    } else if (kind == "picture") {
      std::getline(fields >> std::ws, out.shows);
    }
  }
  return out;
}

// Where the picture cannot be drawn (no colour, no UTF-8): a frame with the
// picture in words, its lettering and what it shows.
void TerminalFrontEnd::drawPictureInWords(int y, int x, int rows, int cols, const std::string &size,
                                          const char *wordsText, attr_t body) {
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
  PictureWords words = readWords(wordsText);
  std::vector<std::string> lines;
  for (const PictureWords::Lettering &l : words.lettering) lines.push_back(l.words);
  if (!words.shows.empty()) {
    if (!lines.empty()) lines.emplace_back();
    for (const std::string &l : term::wrapText("(a picture: " + words.shows + ")", std::max(1, cols - 4))) {
      lines.push_back(l);
    }
  }
  if (lines.empty()) lines.push_back(size);
  int inside = std::max(0, rows - 2);
  int first = y + 1 + std::max(0, (inside - static_cast<int>(lines.size())) / 2);
  for (int k = 0; k < inside && k < static_cast<int>(lines.size()); ++k) {
    const std::string &t = lines[static_cast<size_t>(k)];
    put(first + k, x + std::max(1, (cols - static_cast<int>(t.size())) / 2), t, body, cols - 2);
  }
}

// The picture in half blocks (two pixels a cell, the upper half block in
// the top colour over the bottom colour), scaled to fit with its aspect
// kept, in the terminal's nearest colours.  Each half takes the average of
// the pixels it covers, but in large lettering the pixel at its centre, so
// the letters keep their edges; lettering too small to read at this scale
// is written in characters where it lies, in its own colour or its
// shadow's, whichever stands out more.
void TerminalFrontEnd::drawBitmap(int y, int x, int rows, int cols, const ControlInfo &c, attr_t body) {
  int w = 0, h = 0;
  std::vector<Rgb> px;
  bool ok = decodeBmp(c.bitmap, c.bitmapSize, &w, &h, &px);
  if (!colour_ || !utf8_ || !ok || COLORS < 8 || rows < 1 || cols < 1) {
    drawPictureInWords(y, x, rows, cols, ok ? "picture " + std::to_string(w) + " x " + std::to_string(h) : "picture",
                       c.bitmapWords, body);
    return;
  }
  double scale = std::max(static_cast<double>(w) / cols, static_cast<double>(h) / (rows * 2));
  int pc = std::max(1, std::min(cols, static_cast<int>(w / scale + 0.5)));
  int ph = std::max(1, std::min(rows * 2, static_cast<int>(h / scale + 0.5)));
  int x0 = x + (cols - pc) / 2, y0 = y + (rows - (ph + 1) / 2) / 2;
  PictureWords words = readWords(c.bitmapWords);
  auto sharp = [&](const PictureWords::Lettering &l) { return l.h * ph >= 6 * h; };  // six half cells or more
  auto written = [&](int xx, int yy) {  // a pixel of lettering written in characters
    for (const PictureWords::Lettering &l : words.lettering) {
      if (!sharp(l) && xx >= l.x && xx < l.x + l.w && yy >= l.y && yy < l.y + l.h) return true;
    }
    return false;
  };
  auto average = [&](int xa, int xb, int ya, int yb) {
    long r = 0, g = 0, b = 0, n = 0;
    for (int yy = ya; yy < yb && yy < h; ++yy) {
      for (int xx = xa; xx < xb && xx < w; ++xx) {
        if (written(xx, yy)) continue;
        const Rgb &p = px[static_cast<size_t>(yy) * static_cast<size_t>(w) + static_cast<size_t>(xx)];
        r += p.r;
        g += p.g;
        b += p.b;
        ++n;
      }
    }
    return n ? Rgb{static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n)} : Rgb{0, 0, 0};
  };
  // What lies behind lettering written in characters: the rows just above
  // and below its box.
  auto behind = [&](int xa, int xb, const PictureWords::Lettering &l) {
    Rgb above = average(xa, xb, std::max(0, l.y - 1), std::max(1, l.y));
    Rgb below = average(xa, xb, std::min(h - 1, l.y + l.h), std::min(h, l.y + l.h + 1));
    return Rgb{(above.r + below.r) / 2, (above.g + below.g) / 2, (above.b + below.b) / 2};
  };
  // A half cell's colour.  A pixel of large lettering (nearer its colour or
  // its shadow's than what lies behind it) never takes the colour of what
  // lies behind, which on a terminal of few colours it might well be.
  auto half = [&](int cx, int hy) {
    int xa = cx * w / pc, xb = std::max(xa + 1, (cx + 1) * w / pc);
    int ya = hy * h / ph, yb = std::max(ya + 1, (hy + 1) * h / ph);
    int mx = (xa + xb) / 2, my = (ya + yb) / 2;
    for (const PictureWords::Lettering &l : words.lettering) {
      if (mx < l.x || mx >= l.x + l.w || my < l.y || my >= l.y + l.h) continue;
      if (!sharp(l)) return nearestColour(behind(xa, xb, l));
      const Rgb &p = px[static_cast<size_t>(my) * static_cast<size_t>(w) + static_cast<size_t>(mx)];
      Rgb back = behind(mx, mx + 1, l);
      long toBack = colourDistance(p, back);
      bool letter = colourDistance(p, l.ink) < toBack || colourDistance(p, l.shadow) < toBack;
      return nearestColour(p, letter ? nearestColour(back) : -1);
    }
    return nearestColour(average(xa, xb, ya, yb));  // lettering written in characters left out
  };
  int cellRows = (ph + 1) / 2, dialogWhite = COLOR_WHITE;
  for (int r = 0; r < cellRows; ++r) {
    for (int k = 0; k < pc; ++k) {
      int top = half(k, r * 2);
      int bottom = r * 2 + 1 < ph ? half(k, r * 2 + 1) : dialogWhite;
      putUtf8(y0 + r, x0 + k, "\xe2\x96\x80", static_cast<attr_t>(COLOR_PAIR(pairFor(top, bottom))));
    }
  }
  auto distance = [&](int a, int b) {
    return colourDistance(palette_[static_cast<size_t>(a)], palette_[static_cast<size_t>(b)]);
  };
  for (const PictureWords::Lettering &l : words.lettering) {
    if (sharp(l)) continue;
    int r = (l.y + l.h / 2) * ph / h / 2;
    int n = static_cast<int>(l.words.size());
    int k0 = std::max(0, std::min(l.x * pc / w, pc - n));
    if (r >= cellRows) continue;
    int ink = nearestColour(l.ink), shadow = nearestColour(l.shadow);
    for (int i = 0; i < n && k0 + i < pc; ++i) {
      int xa = (k0 + i) * w / pc, xb = std::max(xa + 1, (k0 + i + 1) * w / pc);
      int bg = nearestColour(behind(xa, xb, l));
      int fg = distance(ink, bg) >= distance(shadow, bg) ? ink : shadow;
      put(y0 + r, x0 + k0 + i, std::string(1, l.words[static_cast<size_t>(i)]),
          static_cast<attr_t>(COLOR_PAIR(pairFor(fg, bg))));
    }
  }
}

}  // namespace term
}  // namespace w32fe
