// The welcome picture in the terminal: a .bmp file drawn in half blocks in
// the terminal's nearest colours, or a framed placeholder.
#include "terminal_internal.h"

#include <algorithm>
#include <cstdlib>

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

int TerminalFrontEnd::nearestColour(const Rgb &c) {
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

int TerminalFrontEnd::pairFor(int fg, int bg) {
  auto key = std::make_pair(fg, bg);
  auto it = pairs_.find(key);
  if (it != pairs_.end()) return it->second;
  if (nextPair_ >= COLOR_PAIRS || nextPair_ > 32767) return kDialog;
  init_pair(static_cast<short>(nextPair_), static_cast<short>(fg), static_cast<short>(bg));
  pairs_[key] = nextPair_;
  return nextPair_++;
}

void TerminalFrontEnd::drawBitmap(int y, int x, int rows, int cols, const ControlInfo &c, attr_t body) {
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

}  // namespace term
}  // namespace w32fe
