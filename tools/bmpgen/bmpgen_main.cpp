// bmpgen: draws the welcome picture, res/dunmere95.bmp, and writes it in
// words, res/dunmere95.txt.
//
//   bmpgen OUTPUT.bmp [WORDS.txt]
//
// A 445 x 155, 256-colour, uncompressed bottom-up BMP: a dawn sky over a sea
// with rolling waves, a globe with a grid and land on the right, and the
// product's name on the left in a small built-in pixel font.  Integer
// arithmetic only, so every machine draws the same bytes; the committed file
// is checked against a fresh run.  The output goes to a temporary file in
// its directory and is renamed into place when complete.
//
// The words are for a front end that draws the picture in character cells,
// where lettering a few pixels high cannot be read, or cannot draw it at
// all: one line for each piece of lettering, with the box it covers
// (left, top, width and height in pixels, the shadow included), its colour
// and its shadow's colour, then a line saying what the picture shows.
// rcgen reads them with the bitmap (WORDS beside OUTPUT, of the same name).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "output_file.h"

namespace {

const int kWidth = 445;
const int kHeight = 155;
const int kHorizon = 104;  // first row of sea

// Palette layout.  Each ramp runs from its first colour to its last.
const int kSky = 0, kSkyCount = 64;        // top of the sky down to the horizon
const int kSea = 64, kSeaCount = 48;       // horizon down to the bottom edge
const int kFoam = 112, kFoamCount = 16;    // wave crests, faint to bright
const int kOcean = 128, kOceanCount = 32;  // globe's water, lit to shaded
const int kLand = 160, kLandCount = 32;    // globe's land, lit to shaded
const int kGrid = 192, kGridCount = 16;    // globe's grid lines, lit to shaded
const int kTitle = 208, kTitleCount = 16;  // lettering, top to bottom
const int kShadow = 224;                   // lettering's shadow
const int kGrey = 225;                     // 31 greys fill the rest

struct Rgb {
  int r, g, b;
};

void ramp(std::vector<Rgb> &palette, int first, int count, Rgb from, Rgb to) {
  for (int i = 0; i < count; i++) {
    int d = count - 1;
    palette[first + i] = {from.r + (to.r - from.r) * i / d, from.g + (to.g - from.g) * i / d,
                          from.b + (to.b - from.b) * i / d};
  }
}

std::vector<Rgb> makePalette() {
  std::vector<Rgb> p(256, Rgb{0, 0, 0});
  ramp(p, kSky, kSkyCount, {18, 32, 96}, {250, 204, 150});
  ramp(p, kSea, kSeaCount, {46, 112, 150}, {6, 26, 62});
  ramp(p, kFoam, kFoamCount, {90, 150, 180}, {235, 245, 250});
  ramp(p, kOcean, kOceanCount, {90, 170, 240}, {8, 30, 92});
  ramp(p, kLand, kLandCount, {150, 214, 110}, {22, 74, 34});
  ramp(p, kGrid, kGridCount, {220, 240, 255}, {70, 110, 160});
  ramp(p, kTitle, kTitleCount, {255, 250, 220}, {250, 176, 40});
  p[kShadow] = {10, 20, 60};
  ramp(p, kGrey, 256 - kGrey, {0, 0, 0}, {255, 255, 255});
  return p;
}

// 4 x 4 ordered dither: a ramp position in 1/16 steps becomes an index.
const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

int dithered(int first, int count, int sixteenths, int x, int y) {
  int index = (sixteenths + kBayer[y & 3][x & 3]) / 16;
  if (index < 0) index = 0;
  if (index > count - 1) index = count - 1;
  return first + index;
}

// A triangle wave of period 'period', amplitude +-'amp' (integers only).
int triangle(int t, int period, int amp) {
  int phase = ((t % period) + period) % period;
  int half = period / 2;
  int up = phase < half ? phase : period - phase;  // 0 .. half
  return (up * 2 * amp) / half - amp;
}

int isqrt(int n) {
  int r = 0;
  while ((r + 1) * (r + 1) <= n) r++;
  return r;
}

// A deterministic hash for the land pattern.
unsigned hash2(int x, int y) {
  unsigned h = static_cast<unsigned>(x) * 374761393u + static_cast<unsigned>(y) * 668265263u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return h ^ (h >> 16);
}

// Smooth value noise on a grid of 'cell' pixels, 0 .. 255.
int valueNoise(int x, int y, int cell) {
  int gx = x / cell, gy = y / cell, fx = x % cell, fy = y % cell;
  int v00 = hash2(gx, gy) & 255, v10 = hash2(gx + 1, gy) & 255;
  int v01 = hash2(gx, gy + 1) & 255, v11 = hash2(gx + 1, gy + 1) & 255;
  int top = v00 * (cell - fx) + v10 * fx;
  int bottom = v01 * (cell - fx) + v11 * fx;
  return (top * (cell - fy) + bottom * fy) / (cell * cell);
}

class Canvas {
 public:
  Canvas() : pixels_(kWidth * kHeight, 0) {}
  void set(int x, int y, int index) {
    if (x >= 0 && x < kWidth && y >= 0 && y < kHeight) pixels_[y * kWidth + x] = static_cast<uint8_t>(index);
  }
  int get(int x, int y) const { return pixels_[y * kWidth + x]; }

 private:
  std::vector<uint8_t> pixels_;  // top row first
};

void drawSkyAndSea(Canvas &c) {
  for (int y = 0; y < kHeight; y++) {
    for (int x = 0; x < kWidth; x++) {
      if (y < kHorizon) {
        c.set(x, y, dithered(kSky, kSkyCount, y * (kSkyCount - 1) * 16 / (kHorizon - 1), x, y));
      } else {
        int depth = (y - kHorizon) * (kSeaCount - 1) * 16 / (kHeight - 1 - kHorizon);
        c.set(x, y, dithered(kSea, kSeaCount, depth, x, y));
      }
    }
  }
  // Rows of crests, closer rows taller, longer and brighter.
  for (int row = 0; row < 6; row++) {
    int base = kHorizon + 5 + row * row * 2 + row * 4;
    int period = 24 + row * 14;
    int amp = 1 + row / 2;
    int shift = row * 37;
    int bright = 2 + row * 2;
    for (int x = 0; x < kWidth; x++) {
      int w = triangle(x + shift, period, amp) + triangle(x * 3 + shift, period * 2, 1);
      int y = base + w;
      int crest = triangle(x + shift, period, 8);  // brighter near the wave's top
      int level = bright + (crest < 0 ? -crest : 0);
      if (level > kFoamCount - 1) level = kFoamCount - 1;
      if ((x + row) % period < period * 2 / 3) {
        c.set(x, y, kFoam + level);
        if (row >= 3) c.set(x, y + 1, kFoam + level / 2);
      }
    }
  }
}

// The globe: lit from the upper left, land from value noise, a grid of
// parallels and meridians.
void drawGlobe(Canvas &c, int cx, int cy, int radius) {
  for (int y = cy - radius; y <= cy + radius; y++) {
    for (int x = cx - radius; x <= cx + radius; x++) {
      int dx = x - cx, dy = y - cy;
      int d2 = dx * dx + dy * dy;
      if (d2 > radius * radius) continue;
      int dz = isqrt(radius * radius - d2);  // height of the sphere at this point
      // Light from (-1, -1, 1.4) roughly: brightness in 0 .. 16 * count.
      int lit = (-dx - dy + dz * 14 / 10) * 16 / (radius * 2);
      int shade = 16 * 31 - (lit + 16) * 16 * 31 / 48;
      bool land = valueNoise(x * 3 + 1000 - dx * dz / radius, y * 3 + 500, 18) > 150;
      int meridian = dz > 0 ? (dx * 48) / (dz + radius / 3) : 0;  // bunch towards the rim
      bool grid = (dy % 12 == 0) || (meridian % 12 == 0 && dz > 3);
      if (grid) {
        c.set(x, y, dithered(kGrid, kGridCount, shade / 2, x, y));
      } else if (land) {
        c.set(x, y, dithered(kLand, kLandCount, shade, x, y));
      } else {
        c.set(x, y, dithered(kOcean, kOceanCount, shade, x, y));
      }
    }
  }
}

// A 5 x 7 pixel font with the letters the picture needs.
struct Glyph {
  char ch;
  const char *rows[7];
};

const Glyph kFont[] = {
    {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
    {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
    {'N', {"#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"}},
    {'u', {".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"}},
    {'o', {".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."}},
    {'r', {".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."}},
    {'v', {".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'e', {".....", ".....", ".###.", "#...#", "#####", "#....", ".###."}},
    {'l', {".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'n', {".....", ".....", "#.##.", "##..#", "#...#", "#...#", "#...#"}},
    {'m', {".....", ".....", "##.#.", "#.#.#", "#.#.#", "#.#.#", "#.#.#"}},
    {'t', {"..#..", "..#..", "#####", "..#..", "..#..", "..#.#", "...#."}},
    {'w', {".....", ".....", "#...#", "#...#", "#.#.#", "#.#.#", ".#.#."}},
    {'k', {"#....", "#....", "#..#.", "#.#..", "##...", "#.#..", "#..#."}},
};

const Glyph *findGlyph(char ch) {
  for (const Glyph &g : kFont) {
    if (g.ch == ch) return &g;
  }
  return nullptr;  // a space
}

// The lettering's colour, for its line in the words: the middle of its ramp.
const int kTitleMiddle = kTitle + kTitleCount / 2;

std::string hexColour(const Rgb &c) {
  char s[8];
  std::snprintf(s, sizeof s, "%02x%02x%02x", c.r, c.g, c.b);
  return s;
}

// Draws 'text' with its top left at (x, y), each font pixel a square of
// 'scale' pixels, with a shadow 'shadow' pixels down and right, and adds
// its line to 'words'.
void drawText(Canvas &c, const char *text, int x, int y, int scale, int shadow, std::string &words) {
  const std::vector<Rgb> palette = makePalette();
  int width = static_cast<int>(std::strlen(text)) * 6 * scale - scale + shadow, height = 7 * scale + shadow;
  words += "text " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(width) + " " +
           std::to_string(height) + " " + hexColour(palette[kTitleMiddle]) + " " + hexColour(palette[kShadow]) + " " +
           text + "\n";
  for (int pass = 0; pass < 2; pass++) {
    int penX = x;
    for (const char *p = text; *p; p++, penX += 6 * scale) {
      const Glyph *g = findGlyph(*p);
      if (!g) continue;
      for (int gy = 0; gy < 7; gy++) {
        for (int gx = 0; gx < 5; gx++) {
          if (g->rows[gy][gx] != '#') continue;
          for (int sy = 0; sy < scale; sy++) {
            for (int sx = 0; sx < scale; sx++) {
              int px = penX + gx * scale + sx, py = y + gy * scale + sy;
              if (pass == 0) {
                c.set(px + shadow, py + shadow, kShadow);
              } else {
                c.set(px, py, kTitle + (gy * scale + sy) * (kTitleCount - 1) / (7 * scale - 1));
              }
            }
          }
        }
      }
    }
  }
}

std::vector<uint8_t> encodeBmp(const Canvas &c, const std::vector<Rgb> &palette) {
  const int stride = (kWidth + 3) & ~3;
  const uint32_t offset = 14 + 40 + 256 * 4;
  const uint32_t imageSize = static_cast<uint32_t>(stride * kHeight);
  std::vector<uint8_t> out;
  auto u16 = [&out](uint32_t v) {
    out.push_back(v & 0xFF);
    out.push_back((v >> 8) & 0xFF);
  };
  auto u32 = [&u16](uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  // File header.
  out.push_back('B');
  out.push_back('M');
  u32(offset + imageSize);
  u32(0);  // two reserved words
  u32(offset);
  // Info header: bottom-up (positive height), 8 bits, no compression.
  u32(40);
  u32(kWidth);
  u32(kHeight);
  u16(1);
  u16(8);
  u32(0);
  u32(imageSize);
  u32(2835);  // 72 dots per inch, in dots per metre
  u32(2835);
  u32(256);
  u32(0);
  for (const Rgb &rgb : palette) {
    out.push_back(static_cast<uint8_t>(rgb.b));
    out.push_back(static_cast<uint8_t>(rgb.g));
    out.push_back(static_cast<uint8_t>(rgb.r));
    out.push_back(0);
  }
  for (int y = kHeight - 1; y >= 0; y--) {
    for (int x = 0; x < kWidth; x++) out.push_back(static_cast<uint8_t>(c.get(x, y)));
    for (int x = kWidth; x < stride; x++) out.push_back(0);
  }
  return out;
}

bool writeAtomically(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::string error;
  if (writeOutput(path, OutputOptions(), [&](int fd) { return writeAllTo(fd, bytes.data(), bytes.size()); }, &error))
    return true;
  std::fprintf(stderr, "bmpgen: %s\n", error.c_str());
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  if ((argc != 2 && argc != 3) || (argc == 3 && std::strcmp(argv[1], argv[2]) == 0)) {
    std::fprintf(stderr, "usage: bmpgen OUTPUT.bmp [WORDS.txt] (two files)\n");
    return 2;
  }
  std::string words =
      "# The welcome picture in words, written by bmpgen with the picture: each\n"
      "# piece of lettering (text LEFT TOP WIDTH HEIGHT COLOUR SHADOW WORDS, in\n"
      "# pixels, the shadow included), then what the picture shows.\n";
  Canvas canvas;
  drawSkyAndSea(canvas);
  drawGlobe(canvas, 366, 62, 52);
  drawText(canvas, "Quorvel", 26, 26, 6, 3, words);
  drawText(canvas, "Dunmere Network", 30, 84, 2, 1, words);
  words += "picture a globe over the sea at dawn\n";
  if (!writeAtomically(argv[1], encodeBmp(canvas, makePalette()))) return 1;
  if (argc == 3) {
    std::vector<uint8_t> bytes(words.begin(), words.end());
    if (!writeAtomically(argv[2], bytes)) return 1;
  }
  return 0;
}
