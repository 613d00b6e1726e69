// The Wine suite driver's pictures: each dialog and message box kept as a
// PNG file as the screen shows it, once it has painted itself.
#include "wine_pictures.h"

#include <stdio.h>

#include <string>
#include <vector>

std::string shotDir;

namespace {

int shotCount = 0;

unsigned long crcTable[256];

unsigned long crc(const unsigned char *p, size_t n, unsigned long c = 0xffffffffUL) {
  if (crcTable[1] == 0) {
    for (unsigned long i = 0; i < 256; i++) {
      unsigned long v = i;
      for (int k = 0; k < 8; k++) v = v & 1 ? 0xedb88320UL ^ (v >> 1) : v >> 1;
      crcTable[i] = v;
    }
  }
  for (size_t i = 0; i < n; i++) c = crcTable[(c ^ p[i]) & 0xff] ^ (c >> 8);
  return c;
}

void put32(std::string *out, unsigned long v) {
  for (int i = 3; i >= 0; i--) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void chunk(std::string *out, const char *type, const std::string &data) {
  put32(out, data.size());
  std::string body = std::string(type, 4) + data;
  out->append(body);
  put32(out, crc(reinterpret_cast<const unsigned char *>(body.data()), body.size()) ^ 0xffffffffUL);
}

// An RGB picture as a PNG file, its pixels in stored (uncompressed)
// deflate blocks.
void writePng(const std::string &path, int width, int height, const std::vector<unsigned char> &rgb) {
  std::string raw;
  for (int y = 0; y < height; y++) {
    raw.push_back(0);
    raw.append(reinterpret_cast<const char *>(&rgb[static_cast<size_t>(y) * width * 3]), width * 3);
  }
  std::string z = "\x78\x01";
  for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
    z.push_back(at + n >= raw.size() ? 1 : 0);
    z.push_back(static_cast<char>(n & 0xff));
    z.push_back(static_cast<char>(n >> 8));
    z.push_back(static_cast<char>(~n & 0xff));
    z.push_back(static_cast<char>((~n >> 8) & 0xff));
    z.append(raw, at, n);
    if (n == 0) break;
  }
  unsigned long a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  put32(&z, (b << 16) | a);
  std::string header;
  put32(&header, width);
  put32(&header, height);
  header += std::string("\x08\x02\x00\x00\x00", 5);
  std::string file = "\x89PNG\r\n\x1a\n";
  chunk(&file, "IHDR", header);
  chunk(&file, "IDAT", z);
  chunk(&file, "IEND", "");
  FILE *f = fopen(path.c_str(), "wb");
  if (f == NULL) fail("cannot write " + path);
  fwrite(file.data(), 1, file.size(), f);
  fclose(f);
}

// The window's rectangle as the screen shows it now, as RGB.
std::vector<unsigned char> grab(HWND window, int *width, int *height) {
  RECT r;
  GetWindowRect(window, &r);
  *width = r.right - r.left;
  *height = r.bottom - r.top;
  HDC screen = GetDC(NULL);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = *width;
  info.bmiHeader.biHeight = -*height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void *bits = NULL;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, *width, *height, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  size_t pixels = static_cast<size_t>(*width) * *height;
  std::vector<unsigned char> rgb(pixels * 3);
  const unsigned char *p = static_cast<const unsigned char *>(bits);
  for (size_t i = 0; p != NULL && i < pixels; i++) {
    rgb[i * 3] = p[i * 4 + 2];
    rgb[i * 3 + 1] = p[i * 4 + 1];
    rgb[i * 3 + 2] = p[i * 4];
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(NULL, screen);
  return rgb;
}

BOOL CALLBACK childWaitsForPaint(HWND child, LPARAM found) {
  RECT r;
  if (IsWindowVisible(child) && GetUpdateRect(child, &r, FALSE)) *reinterpret_cast<bool *>(found) = true;
  return TRUE;
}

// Some part of the window (or of its controls) still waits to be painted.
bool waitsForPaint(HWND window) {
  RECT r;
  bool found = GetUpdateRect(window, &r, FALSE) != FALSE;
  EnumChildWindows(window, childWaitsForPaint, reinterpret_cast<LPARAM>(&found));
  return found;
}

struct Moving {
  HWND window;
  std::vector<RECT> rects;  // in the window's coordinates
};

BOOL CALLBACK findMoving(HWND child, LPARAM param) {
  Moving *moving = reinterpret_cast<Moving *>(param);
  char name[64];
  RECT r, w;
  if (GetClassNameA(child, name, sizeof name) && lstrcmpiA(name, "msctls_progress32") == 0 &&
      GetWindowRect(child, &r) && GetWindowRect(moving->window, &w)) {
    OffsetRect(&r, -w.left, -w.top);
    moving->rects.push_back(r);
  }
  return TRUE;
}

// Two grabs of the window agree but for its progress bars, which move.
bool sameBesidesBars(HWND window, const std::vector<unsigned char> &a, const std::vector<unsigned char> &b,
                     int width, int height) {
  if (a.size() != b.size()) return false;
  Moving moving = {window, {}};
  EnumChildWindows(window, findMoving, reinterpret_cast<LPARAM>(&moving));
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      size_t i = (static_cast<size_t>(y) * width + x) * 3;
      if (a[i] == b[i] && a[i + 1] == b[i + 1] && a[i + 2] == b[i + 2]) continue;
      POINT p = {x, y};
      bool inBar = false;
      for (const RECT &r : moving.rects) inBar = inBar || PtInRect(&r, p);
      if (!inBar) return false;
    }
  }
  return true;
}

} // namespace

// The window as the screen shows it, once it has painted itself: nothing of
// it waits for a paint and two grabs a moment apart agree (but for a moving
// progress bar). A window that goes meanwhile keeps its last grab.
void keepPicture(HWND window, const char *kind) {
  if (shotDir.empty()) return;
  RedrawWindow(window, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
  DWORD_PTR result;
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  for (int tries = 0; tries < 50; tries++) {
    SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
    Sleep(100);
    if (!IsWindowVisible(window) && tries > 0) break;
    int w = 0, h = 0;
    std::vector<unsigned char> now = grab(window, &w, &h);
    bool settled = tries > 0 && w == width && h == height && !waitsForPaint(window) &&
                   sameBesidesBars(window, now, rgb, w, h);
    if (!IsWindowVisible(window) && tries > 0) break;
    rgb.swap(now);
    width = w;
    height = h;
    if (settled) break;
  }
  char name[64];
  snprintf(name, sizeof name, "\\%02d-%s.png", ++shotCount, kind);
  writePng(shotDir + name, width, height, rgb);
}
