// demo_payloads: writes the made-up files of the demo package.
//
//     demo_payloads DIR NAME[:SIZE]...
//     demo_payloads --date FILE...
//
// The first form writes DIR/NAME for each NAME. What a file holds follows
// from its name: readme.txt and bookmark.htm are fixed texts, notep001.ico a
// 32x32 16-colour icon, quorvel.pbk a phone book, rates.tbl a binary rate
// table, .exe .dll .drv .vxd files programs with a Win32 header,
// .cls files Java classes (8.3 names, as the package archives hold), .gif files images, .htm pages of the local home
// page, other names text. SIZE (bytes) applies to the generated kinds. The
// bytes depend on nothing but the name and the size, so every build makes
// the same package. Each file is written to a new temporary file in DIR and
// renamed into place, and dated on the package's release day.
//
// The second form gives existing files that date (for the archives made
// of the payloads), changing nothing else.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "output_file.h"

namespace {

// 14 April 1997, 09:30 UTC, with a few minutes per file (by name), so the
// files look as if they came off one build machine.
constexpr time_t kReleaseTime = 861010200;

using Bytes = std::vector<unsigned char>;

uint32_t hashName(const std::string &name) {
  uint32_t h = 2166136261u;
  for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return h;
}

// A small deterministic generator (xorshift32), seeded by the file name.
struct Random {
  uint32_t state;
  explicit Random(const std::string &name) : state(hashName(name) | 1u) {}
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  uint32_t below(uint32_t n) { return next() % n; }
  template <size_t N> const char *pick(const char *const (&words)[N]) { return words[below(N)]; }
};

void put16(Bytes &b, uint32_t v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
void put32(Bytes &b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
void putText(Bytes &b, const std::string &text) { b.insert(b.end(), text.begin(), text.end()); }

// Windows text: LF becomes CR LF.
Bytes windowsText(const std::string &text) {
  Bytes b;
  for (char c : text) {
    if (c == '\n') b.push_back('\r');
    b.push_back(static_cast<unsigned char>(c));
  }
  return b;
}

// --- words -----------------------------------------------------------------

const char *const kSubjects[] = {"The sign-up program", "Your modem", "The dialer", "Quorvel", "The browser",
                                 "Dunmere Network", "The access number list", "Your account", "The mail reader",
                                 "The connection"};
const char *const kVerbs[] = {"checks", "dials", "stores", "shows", "updates", "selects", "remembers", "downloads",
                              "confirms", "opens"};
const char *const kObjects[] = {"the nearest access number", "your user name and password", "the home page",
                                "your billing details", "the modem speed", "a new phone book", "your mailbox",
                                "the connection log", "the newsgroups you read", "the trial period"};
const char *const kTails[] = {"when you connect", "before each call", "once a week", "at the end of a session",
                              "if the line is busy", "while you are online", "when you ask it to",
                              "after the first month"};
const char *const kTopics[] = {"Connecting for the first time", "Choosing an access number", "Changing your password",
                               "Reading mail", "Browsing the Web", "If the line is busy", "Your monthly bill",
                               "Newsgroups", "Moving house", "Calling the help desk"};

std::string sentence(Random &r) {
  std::string s = std::string(r.pick(kSubjects)) + " " + r.pick(kVerbs) + " " + r.pick(kObjects);
  if (r.below(2)) s += std::string(" ") + r.pick(kTails);
  return s + ".";
}

// Paragraphs of sentences under headings, lines of at most 72 characters,
// about size bytes.
std::string prose(Random &r, size_t size) {
  std::string out;
  while (out.size() < size) {
    std::string topic = r.pick(kTopics);
    out += topic + "\n" + std::string(topic.size(), '-') + "\n\n";
    int sentences = 3 + static_cast<int>(r.below(6));
    std::string line;
    for (int i = 0; i < sentences; i++) {
      std::string s = sentence(r);
      size_t start = 0;
      while (start < s.size()) {
        size_t space = s.find(' ', start);
        std::string word = s.substr(start, space == std::string::npos ? std::string::npos : space - start);
        start = space == std::string::npos ? s.size() : space + 1;
        if (!line.empty() && line.size() + 1 + word.size() > 72) {
          out += line + "\n";
          line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
      }
    }
    out += line + "\n\n";
  }
  return out;
}

// --- fixed texts -----------------------------------------------------------

const char kReadme[] =
    "QUORVEL 1.2 FOR WINDOWS 95\n"
    "Dunmere Network - README.TXT\n"
    "=============================\n"
    "\n"
    "Thank you for choosing Dunmere Network. This file holds late news\n"
    "about Quorvel that did not make it into the printed guide.\n"
    "\n"
    "WHAT IS IN THE PACKAGE\n"
    "\n"
    "  Quorvel sign-up      creates your Dunmere Network account, finds\n"
    "                       the nearest access number and sets up your\n"
    "                       modem. Start it from the Quorvel group.\n"
    "  Web browser          with the Java runtime and the audio and\n"
    "                       video plug-ins.\n"
    "  Local home page      a copy of the Dunmere Network start page, so\n"
    "                       the browser opens at once, even offline.\n"
    "\n"
    "BEFORE YOU INSTALL\n"
    "\n"
    "  - You need 8 MB of free disk space on the drive you install to.\n"
    "  - Close every other program, in particular an older Dunmere\n"
    "    dialer. Setup takes over the settings of an earlier installation\n"
    "    and removes the old dialer for you.\n"
    "  - Have your modem switched on and connected to the phone line.\n"
    "\n"
    "INSTALLING FROM FLOPPY DISKS\n"
    "\n"
    "Insert Quorvel Disk #1, choose Run from the Start menu, type\n"
    "a:\\setup and press Enter. Setup asks for Disk #2 and Disk #3 when\n"
    "it needs them. If a disk cannot be read, Setup offers to try again:\n"
    "clean the drive or try the disk in another drive, then press Retry.\n"
    "\n"
    "INSTALLING FROM CD-ROM\n"
    "\n"
    "Insert the Dunmere Network CD. Setup starts by itself; if it does\n"
    "not, run d:\\setup (use the letter of your CD-ROM drive).\n"
    "\n"
    "AFTER INSTALLING\n"
    "\n"
    "Setup starts the Quorvel sign-up program when it has finished. Have\n"
    "your credit card at hand: the first month is free, and you can\n"
    "cancel at any time before it ends without being charged.\n"
    "\n"
    "KNOWN PROBLEMS\n"
    "\n"
    "  - Some 14400 modems hang up after the first minute when the\n"
    "    line is noisy. Choose 'Lower speed' in the sign-up program's\n"
    "    Modem page.\n"
    "  - If Windows reports that WINSOCK.DLL is in use, restart Windows\n"
    "    and run Setup again before starting any other program.\n"
    "  - The phone book lists numbers for the areas served in April 1997.\n"
    "    The sign-up program downloads the current list when you connect.\n"
    "\n"
    "HELP\n"
    "\n"
    "Our help desk answers every day from 8 am to 10 pm on 0800 555 0137\n"
    "(calls are free), or write to help@dunmere.net.\n"
    "\n"
    "Dunmere Network, 14 Harbour Row, Dunmere.\n";

struct Link {
  const char *title;
  const char *url;
};

const Link kDunmereLinks[] = {
    {"Dunmere Network home page", "http://www.dunmere.net/"},
    {"Your account", "http://members.dunmere.net/account/"},
    {"Access numbers", "http://www.dunmere.net/access/numbers.htm"},
    {"Help desk", "http://help.dunmere.net/"},
    {"Quorvel questions and answers", "http://help.dunmere.net/quorvel/faq.htm"},
    {"Web mail", "http://mail.dunmere.net/"},
    {"Build your home page", "http://homes.dunmere.net/start.htm"},
};
const Link kGuideLinks[] = {
    {"Dunmere Daily news", "http://news.dunmere.net/"},
    {"Weather for the coast", "http://news.dunmere.net/weather/"},
    {"Harbour timetable", "http://www.dunmere.net/local/harbour.htm"},
    {"What's on this week", "http://www.dunmere.net/local/whatson.htm"},
    {"Games room", "http://play.dunmere.net/"},
    {"Software library", "http://files.dunmere.net/library/"},
};

void bookmarkFolder(std::string &out, const char *name, const Link *links, size_t count, uint32_t added) {
  out += "    <DT><H3 ADD_DATE=\"" + std::to_string(added) + "\">" + name + "</H3>\n    <DL><p>\n";
  for (size_t i = 0; i < count; i++) {
    out += "        <DT><A HREF=\"" + std::string(links[i].url) + "\" ADD_DATE=\"" + std::to_string(added + i * 60) +
           "\" LAST_VISIT=\"0\">" + links[i].title + "</A>\n";
  }
  out += "    </DL><p>\n";
}

std::string bookmarks() {
  std::string out =
      "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
      "<!-- This is an automatically generated file.\n"
      "It will be read and overwritten.\n"
      "Do Not Edit! -->\n"
      "<TITLE>Dunmere Network Bookmarks</TITLE>\n"
      "<H1>Dunmere Network Bookmarks</H1>\n"
      "<DL><p>\n";
  bookmarkFolder(out, "Dunmere Network", kDunmereLinks, sizeof kDunmereLinks / sizeof kDunmereLinks[0],
                 static_cast<uint32_t>(kReleaseTime));
  bookmarkFolder(out, "Around Dunmere", kGuideLinks, sizeof kGuideLinks / sizeof kGuideLinks[0],
                 static_cast<uint32_t>(kReleaseTime) + 3600);
  out += "</DL><p>\n";
  return out;
}

// A page of the local home page: a heading, the links and some text.
std::string homePage(Random &r, const std::string &name, size_t size) {
  std::string base = name.substr(0, name.find('.'));
  std::string out = "<HTML>\n<HEAD><TITLE>Dunmere Network - " + base + "</TITLE></HEAD>\n"
                    "<BODY BGCOLOR=\"#FFFFFF\" LINK=\"#003399\">\n<IMG SRC=\"logo.gif\" ALT=\"Dunmere Network\">\n"
                    "<H1>Welcome to Dunmere Network</H1>\n<UL>\n";
  for (const Link &l : kDunmereLinks) out += std::string("<LI><A HREF=\"") + l.url + "\">" + l.title + "</A>\n";
  out += "</UL>\n";
  while (out.size() + 40 < size) out += "<P>" + sentence(r) + " " + sentence(r) + "</P>\n";
  return out + "<HR><ADDRESS>Dunmere Network, 14 Harbour Row</ADDRESS>\n</BODY>\n</HTML>\n";
}

// --- generated binaries ----------------------------------------------------

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

// The access numbers the sign-up program offers, one a line.
std::string phoneBook(Random &r, size_t size) {
  const char *const first[] = {"Ash", "Bram", "Carr", "Dun", "Elm", "Fen", "Glen", "Hal", "Kil", "Mor", "Pen", "Tre"};
  const char *const second[] = {"ford", "wick", "mere", "ton", "stow", "haven", "by", "combe", "well", "port"};
  std::string out =
      "; Dunmere Network access numbers, April 1997\n"
      "; Town, area code, number, highest speed, protocols\n"
      "[Access Numbers]\n";
  int n = 1;
  while (out.size() < size) {
    char line[160];
    std::snprintf(line, sizeof line, "Number%d=%s%s,0%u,555 %04u,%s,PPP SLIP\n", n++, r.pick(first), r.pick(second),
                  1200 + r.below(800), 100 + r.below(9900), r.below(3) ? "28800" : "33600");
    out += line;
  }
  return out;
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

// --- files -----------------------------------------------------------------

bool endsWith(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

Bytes payload(const std::string &name, size_t size) {
  Random r(name);
  if (name == "readme.txt") return windowsText(kReadme);
  if (name == "bookmark.htm") return windowsText(bookmarks());
  if (name == "notep001.ico") return notepadIcon();
  if (name == "quorvel.pbk") return windowsText(phoneBook(r, size));
  if (name == "rates.tbl") return rateTable(r, size);
  if (endsWith(name, ".exe") || endsWith(name, ".dll") || endsWith(name, ".drv") || endsWith(name, ".vxd")) {
    return program(r, name, size);
  }
  if (endsWith(name, ".cls")) return javaClass(r, name, size);
  if (endsWith(name, ".gif")) return gif(r, size);
  if (endsWith(name, ".htm")) return windowsText(homePage(r, name, size));
  return windowsText(prose(r, size));
}

// The release day, a few minutes on by name.
struct timespec releaseTime(const std::string &name) {
  struct timespec t;
  t.tv_sec = kReleaseTime + 60 * static_cast<time_t>(hashName(name) % 90);
  t.tv_nsec = 0;
  return t;
}

bool setDate(const std::string &path, const std::string &name) {
  struct timespec times[2] = {releaseTime(name), releaseTime(name)};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool writeFile(const std::string &dir, const std::string &name, const Bytes &bytes) {
  struct timespec times[2] = {releaseTime(name), releaseTime(name)};
  std::string error;
  OutputOptions options;
  options.mode = 0644;
  if (!writeOutput(
          dir + "/" + name, options,
          [&](int fd) { return writeAllTo(fd, bytes.data(), bytes.size()) && futimens(fd, times) == 0; }, &error)) {
    std::fprintf(stderr, "demo_payloads: %s\n", error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: demo_payloads DIR NAME[:SIZE]...\n       demo_payloads --date FILE...\n");
    return 64;
  }
  if (std::string(argv[1]) == "--date") {
    for (int i = 2; i < argc; i++) {
      std::string path = argv[i];
      if (!setDate(path, path.substr(path.find_last_of('/') + 1))) {
        std::fprintf(stderr, "demo_payloads: cannot date %s: %s\n", argv[i], strerror(errno));
        return 1;
      }
    }
    return 0;
  }
  std::string dir = argv[1];
  for (int i = 2; i < argc; i++) {
    std::string arg = argv[i];
    size_t colon = arg.find(':');
    std::string name = arg.substr(0, colon);
    size_t size = 4096;
    if (colon != std::string::npos) {
      char *end = nullptr;
      size = std::strtoul(arg.c_str() + colon + 1, &end, 10);
      if (*end || size == 0 || size > (64u << 20)) {
        std::fprintf(stderr, "demo_payloads: bad size in %s\n", arg.c_str());
        return 64;
      }
    }
    if (name.empty() || name.size() > 12 || name.find('/') != std::string::npos) {
      std::fprintf(stderr, "demo_payloads: %s is not a package file name (at most 12 characters)\n", name.c_str());
      return 64;
    }
    if (!writeFile(dir, name, payload(name, size))) return 1;
  }
  return 0;
}
