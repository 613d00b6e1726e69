// The demo package's binaries: programs with a Win32 header, Java
// classes, GIF images, the "Read me" item's icon and the rate table, made
// from the file's name and size, so every build writes the same.
#include <string.h>

#include <string>

#include "demo_payloads.h"

namespace demo {

namespace {

// Machine code of made-up functions: prologues, calls, moves, compares and
// jumps with varying operands, as compiled 32-bit code looks.
void code(Random &r, Bytes &b, size_t end) {
  while (b.size() < end) {
    const unsigned char prologue[] = {0x55, 0x8B, 0xEC, 0x83, 0xEC};
    b.insert(b.end(), prologue, prologue + sizeof prologue);
    b.push_back(static_cast<unsigned char>(4 * (1 + r.below(16))));
    int body = 4 + static_cast<int>(r.below(24));
    for (int i = 0; i < body; i++) {
      switch (r.below(6)) {
      case 0:  // mov eax, [ebp-n]
        b.push_back(0x8B);
        b.push_back(0x45);
        b.push_back(static_cast<unsigned char>(0x100 - 4 * (1 + r.below(8))));
        break;
      case 1:  // push imm32; call rel32
        b.push_back(0x68);
        put32(b, 0x00401000u + 16 * r.below(4096));
        b.push_back(0xE8);
        put32(b, 0xFFFF0000u + 4 * r.below(16384));
        break;
      case 2:  // mov [ebp-n], eax
        b.push_back(0x89);
        b.push_back(0x45);
        b.push_back(static_cast<unsigned char>(0x100 - 4 * (1 + r.below(8))));
        break;
      case 3:  // test eax, eax; jz short
        b.push_back(0x85);
        b.push_back(0xC0);
        b.push_back(0x74);
        b.push_back(static_cast<unsigned char>(r.below(64)));
        break;
      case 4:  // call [import]
        b.push_back(0xFF);
        b.push_back(0x15);
        put32(b, 0x00406000u + 4 * r.below(48));
        break;
      default:  // add esp, n
        b.push_back(0x83);
        b.push_back(0xC4);
        b.push_back(static_cast<unsigned char>(4 * (1 + r.below(4))));
        break;
      }
    }
    b.push_back(0xC9);  // leave; ret; then padding to 16 bytes
    b.push_back(0xC3);
    while (b.size() % 16) b.push_back(0xCC);
  }
  b.resize(end);
}

const char *const kImports[] = {"GetProcAddress", "LoadLibraryA", "GetModuleHandleA", "CreateFileA", "ReadFile",
                                "WriteFile", "CloseHandle", "GetLastError", "RasDialA", "RasHangUpA", "MessageBoxA",
                                "SendMessageA", "PostMessageA", "SetWindowTextA", "RegOpenKeyExA", "RegSetValueExA",
                                "connect", "send", "recv", "gethostbyname", "WSAStartup", "WSACleanup"};

}  // namespace

// A Win32 program or library: DOS header and stub, PE header, four
// sections (code, import names and messages, data, version resource).
Bytes program(Random &r, const std::string &name, size_t size) {
  Bytes b(0x80, 0);
  b[0] = 'M';
  b[1] = 'Z';
  b[2] = 0x90;
  b[4] = 3;
  b[8] = 4;
  b[0x0C] = 0xFF;
  b[0x0D] = 0xFF;
  b[0x10] = 0xB8;
  b[0x18] = 0x40;
  b[0x3C] = 0x80;
  const unsigned char stub[] = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
  memcpy(&b[0x40], stub, sizeof stub);
  memcpy(&b[0x4E], "This program cannot be run in DOS mode.\r\r\n$", 43);
  putText(b, std::string("PE\0\0", 4));
  bool library = name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") != 0;
  put16(b, 0x014C);  // i386
  put16(b, 4);       // sections
  put32(b, static_cast<uint32_t>(kReleaseTime));
  put32(b, 0);
  put32(b, 0);
  put16(b, 0xE0);
  put16(b, library ? 0x210E : 0x010F);
  b.resize(b.size() + 0xE0, 0);
  auto set32 = [&b](size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  set32(0x98, 0x010B);                          // PE32
  set32(0x98 + 28, library ? 0x10000000u : 0x00400000u);  // image base
  set32(0x98 + 32, 0x1000);                     // section alignment
  set32(0x98 + 36, 0x200);                      // file alignment
  set32(0x98 + 40, 4);                          // Windows 4.0
  set32(0x98 + 48, 4);
  set32(0x98 + 68, 2);                          // a GUI program
  set32(0x98 + 92, 16);                         // data directories
  size_t header = 0x400;
  size_t body = size > header + 4096 ? size - header : 4096;
  size_t codeSize = body * 6 / 10, textSize = body * 2 / 10, dataSize = body / 10;
  size_t sizes[4] = {codeSize, textSize, dataSize, body - codeSize - textSize - dataSize};
  const char *names[4] = {".text", ".rdata", ".data", ".rsrc"};
  uint32_t offset = static_cast<uint32_t>(header);
  for (int i = 0; i < 4; i++) {
    Bytes entry(8, 0);
    memcpy(entry.data(), names[i], strlen(names[i]));
    b.insert(b.end(), entry.begin(), entry.end());
    put32(b, static_cast<uint32_t>(sizes[i]));
    put32(b, 0x1000u * (1 + i * 16));
    put32(b, static_cast<uint32_t>(sizes[i]));
    put32(b, offset);
    b.resize(b.size() + 12, 0);
    put32(b, i == 0 ? 0x60000020u : i == 2 ? 0xC0000040u : 0x40000040u);
    offset += static_cast<uint32_t>(sizes[i]);
  }
  b.resize(header, 0);
  code(r, b, header + sizes[0]);
  // Import names and the messages the program shows.
  size_t end = b.size() + sizes[1];
  while (b.size() < end) {
    std::string text = r.below(3) ? std::string(r.pick(kImports)) : sentence(r);
    putText(b, text);
    b.push_back(0);
    if (b.size() % 2) b.push_back(0);
  }
  b.resize(end);
  // Data: mostly zeros, some small tables.
  end = b.size() + sizes[2];
  while (b.size() < end) {
    if (r.below(4) == 0) {
      put32(b, r.below(100000));
    } else {
      b.resize(b.size() + 4 + 4 * r.below(8), 0);
    }
  }
  b.resize(end);
  // The version resource: strings in UTF-16, repeated to fill.
  end = b.size() + sizes[3];
  const char *const version[] = {"CompanyName", "Dunmere Network", "FileDescription", "Quorvel component",
                                 "FileVersion", "1.2.0.412", "InternalName", name.c_str(), "ProductName", "Quorvel"};
  while (b.size() < end) {
    for (const char *v : version) {
      for (const char *p = v; *p; p++) put16(b, static_cast<unsigned char>(*p));
      put16(b, 0);
    }
  }
  b.resize(end);
  return b;
}

// A Java class file: magic, version, a constant pool of names and
// descriptors, and methods of bytecode.
Bytes javaClass(Random &r, const std::string &name, size_t size) {
  Bytes b = {0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x03, 0x00, 0x2D};
  std::string base = name.substr(0, name.find('.'));
  const char *const pool[] = {"java/lang/Object", "java/applet/Applet", "java/awt/Graphics", "java/lang/String",
                              "<init>", "()V", "paint", "(Ljava/awt/Graphics;)V", "run", "start", "stop",
                              "Code", "LineNumberTable", "SourceFile", "java/lang/Thread", "drawString",
                              "(Ljava/lang/String;II)V", "dunmere/quorvel/Session", "getParameter"};
  put16(b, 40);
  std::string own = "dunmere/applet/" + base;
  b.push_back(1);
  put16(b, static_cast<uint32_t>(own.size()));
  putText(b, own);
  for (const char *p : pool) {
    b.push_back(1);
    put16(b, static_cast<uint32_t>(strlen(p)));
    putText(b, p);
  }
  while (b.size() < size) {
    // A method: access flags, name and descriptor indexes, then bytecode.
    put16(b, 1);
    put16(b, 5 + r.below(12));
    put16(b, 6 + r.below(4));
    int ops = 8 + static_cast<int>(r.below(40));
    for (int i = 0; i < ops; i++) {
      const unsigned char op[] = {0x2A, 0x2B, 0xB7, 0xB6, 0x12, 0x10, 0x59, 0xBB, 0xB1, 0xB4, 0x3C, 0x84};
      unsigned char o = op[r.below(sizeof op)];
      b.push_back(o);
      if (o == 0xB7 || o == 0xB6 || o == 0xBB || o == 0xB4) put16(b, 1 + r.below(40));
      if (o == 0x12 || o == 0x10) b.push_back(static_cast<unsigned char>(1 + r.below(40)));
    }
  }
  b.resize(size);
  return b;
}

// A GIF image: header, palette, then image data, which does not compress.
Bytes gif(Random &r, size_t size) {
  Bytes b;
  putText(b, "GIF89a");
  put16(b, 120);
  put16(b, 60);
  b.push_back(0xF7);
  b.push_back(0);
  b.push_back(0);
  for (int i = 0; i < 256; i++) {
    b.push_back(static_cast<unsigned char>(i));
    b.push_back(static_cast<unsigned char>(255 - i));
    b.push_back(static_cast<unsigned char>(i / 2 + 64));
  }
  b.push_back(0x2C);
  put16(b, 0);
  put16(b, 0);
  put16(b, 120);
  put16(b, 60);
  b.push_back(0);
  b.push_back(8);
  while (b.size() + 256 < size) {
    b.push_back(255);
    for (int i = 0; i < 255; i++) b.push_back(static_cast<unsigned char>(r.next() >> 24));
  }
  b.push_back(0);
  b.push_back(0x3B);
  return b;
}

// The icon of the "Read me" item: a spiral-bound note pad, 32x32 pixels in
// the 16 standard colours, with a transparency mask.
Bytes notepadIcon() {
  const int kBlack = 0, kNavy = 4, kSilver = 7, kGray = 8, kWhite = 15;
  const unsigned char palette[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                        {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                        {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                        {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
  int pixel[32][32];  // [row from the top][column]; -1 transparent
  for (auto &row : pixel)
    for (int &p : row) p = -1;
  for (int y = 3; y <= 30; y++) {
    for (int x = 6; x <= 26; x++) {
      bool edge = y == 3 || y == 30 || x == 6 || x == 26;
      pixel[y][x] = edge ? kBlack : kWhite;
      if (!edge && y >= 9 && y % 3 == 0 && x >= 9 && x <= 24) pixel[y][x] = kNavy;
    }
    if (y >= 5) pixel[y][27] = kGray;  // shadow
  }
  for (int x = 8; x <= 24; x += 3) {  // the spiral binding
    pixel[1][x] = pixel[2][x] = kSilver;
    pixel[3][x] = pixel[4][x] = kGray;
  }
  Bytes b;
  put16(b, 0);
  put16(b, 1);  // an icon
  put16(b, 1);  // one image
  b.push_back(32);
  b.push_back(32);
  b.push_back(16);
  b.push_back(0);
  put16(b, 1);
  put16(b, 4);
  put32(b, 40 + 64 + 512 + 128);
  put32(b, 22);
  put32(b, 40);  // BITMAPINFOHEADER: height counts the colour and mask bitmaps
  put32(b, 32);
  put32(b, 64);
  put16(b, 1);
  put16(b, 4);
  put32(b, 0);
  put32(b, 512 + 128);
  for (int i = 0; i < 4; i++) put32(b, 0);
  for (const auto &c : palette) {
    b.push_back(c[2]);
    b.push_back(c[1]);
    b.push_back(c[0]);
    b.push_back(0);
  }
  for (int y = 31; y >= 0; y--) {  // bottom-up, two pixels a byte
    for (int x = 0; x < 32; x += 2) {
      int hi = pixel[y][x] < 0 ? 0 : pixel[y][x], lo = pixel[y][x + 1] < 0 ? 0 : pixel[y][x + 1];
      b.push_back(static_cast<unsigned char>(hi << 4 | lo));
    }
  }
  for (int y = 31; y >= 0; y--) {  // mask: a set bit is transparent
    for (int x = 0; x < 32; x += 8) {
      unsigned char m = 0;
      for (int i = 0; i < 8; i++) m = static_cast<unsigned char>(m << 1 | (pixel[y][x + i] < 0));
      b.push_back(m);
    }
  }
  return b;
}

// Call rates: a header, then one 12-byte record per area: area code,
// peak and off-peak pence per minute (hundredths), flags, band.
Bytes rateTable(Random &r, size_t size) {
  Bytes b;
  putText(b, "QVRT");
  put16(b, 1);
  uint32_t count = static_cast<uint32_t>((size > 16 ? size - 16 : 0) / 12);
  put16(b, 12);
  put32(b, count);
  put32(b, static_cast<uint32_t>(kReleaseTime));
  for (uint32_t i = 0; i < count; i++) {
    put16(b, 1200 + i);
    uint32_t band = r.below(4);
    put32(b, 100 + band * 150);
    put32(b, 40 + band * 50);
    b.push_back(static_cast<unsigned char>(r.below(8) == 0 ? 1 : 0));
    b.push_back(static_cast<unsigned char>(band));
  }
  return b;
}

}  // namespace demo
