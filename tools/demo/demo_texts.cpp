// The demo package's texts: prose about the service, readme.txt,
// bookmark.htm, the pages of the local home page and the phone book, all
// made from the file's name (and size), so every build writes the same.
#include <cstdio>
#include <string>

#include "demo_payloads.h"

namespace demo {

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace demo
