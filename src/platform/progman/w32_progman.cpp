// The Program Manager stand-in: the DDE server "PROGMAN" (topic "PROGMAN"),
// answering executes on a thread of its own from a queue.
//
// An execute string is one or more commands, [Name(arg, arg, ...)] or
// [Name], with blanks allowed between and around them.  Arguments are split
// on commas and trimmed of surrounding blanks; an argument in double quotes
// keeps its commas, parentheses and blanks.  Command names ignore case.
//   CreateGroup(name[, file])    makes the group, or finds it; it becomes current
//   ShowGroup(name[, show])      the existing group becomes current
//   DeleteGroup(name[, common])  removes the group with its items
//   AddItem(cmdline[, name[, icon[, ...]]])  adds an item to the current group
//                                (an item of the same name is replaced; without
//                                a name, the program's file name is used)
//   DeleteItem(name)             removes an item of the current group
// A string that does not parse is rejected whole; otherwise the commands run
// in order and the first that fails (an unknown command, a missing group or
// item, no current group) rejects the execute, the ones before it staying
// done.  Names holding control characters, and item texts holding '|', are
// refused.  The current group lives as long as the process (or until
// w32::resetForTest); the groups and items are kept in the prefix:
//
//   prefix/progman/groups.ini
//     ; comment line
//     [Quorvel]
//     Item1=Registration & Utilities|c:\dunmere\quorvel\quorvel.exe|c:\dunmere\quorvel\quorvel.exe
//     Item2=Read me|c:\dunmere\quorvel\readme.txt|c:\dunmere\quorvel\notep001.ico
//
// one section per group in creation order, one line per item:
// Item<n>=name|command line|icon path.  The file is read and rewritten
// (temporary file, rename) under a flock of progman/groups.lock per execute;
// only the lines of the groups and items the commands name change, and
// every other line (comments, other keys, lines written by hand) stays.
#include "machine/w32_core.h"
#include "machine/w32_prefix.h"

#include "w32_progman.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

using namespace w32int;

namespace w32int {
const char kProgmanName[] = "PROGMAN";
}

namespace {

// ---- Commands ------------------------------------------------------------

struct Command {
  std::string name;
  std::vector<std::string> args;
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trimBlanks(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool parseCommands(const std::string &s, std::vector<Command> *out) {
  out->clear();
  size_t i = 0;
  auto skip = [&] {
    while (i < s.size() && blank(s[i])) ++i;
  };
  skip();
  if (i == s.size()) return false;
  while (i < s.size()) {
    if (s[i] != '[') return false;
    ++i;
    skip();
    Command c;
    while (i < s.size() && (isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_')) c.name += s[i++];
    if (c.name.empty()) return false;
    skip();
    if (i < s.size() && s[i] == '(') {
      ++i;
      skip();
      if (i < s.size() && s[i] == ')') {
        ++i;
      } else {
        for (;;) {
          skip();
          std::string arg;
          if (i < s.size() && s[i] == '"') {
            size_t close = s.find('"', i + 1);
            if (close == std::string::npos) return false;
            arg = s.substr(i + 1, close - i - 1);
            i = close + 1;
            skip();
          } else {
            while (i < s.size() && s[i] != ',' && s[i] != ')' && s[i] != '"') arg += s[i++];
            arg = trimBlanks(arg);
          }
          c.args.push_back(arg);
          if (i >= s.size()) return false;
          if (s[i] == ',') {
            ++i;
            continue;
          }
          if (s[i] != ')') return false;
          ++i;
          break;
        }
      }
      skip();
    }
    if (i >= s.size() || s[i] != ']') return false;
    ++i;
    out->push_back(c);
    skip();
  }
  return true;
}

// ---- The groups file -----------------------------------------------------
//
// The file is kept as its lines: a command changes only the lines of the
// group and items it names, and every other line (comments, other keys,
// lines the stand-in does not understand) stays as it was.

struct Item {
  std::string name, cmdline, icon;
};

struct Line {
  std::string text; // without its line end
  std::string eol;  // "\n", "\r\n" or "" (a last line without one)
};

struct GroupsFile {
  std::vector<Line> lines;
};

// In the prefix.
const char kGroupsFile[] = "progman/groups.ini";

const char kGroupsComment[] = "; Program Manager groups: [group], then Item<n>=name|command line|icon path";

bool headerName(const std::string &line, std::string *name) {
  size_t close = line.rfind(']');
  if (line.size() < 2 || line[0] != '[' || close == std::string::npos || close == 0) return false;
  *name = line.substr(1, close - 1);
  return true;
}

// An item line, Item<n>=name|command line|icon path.
bool itemOf(const std::string &line, Item *item) {
  size_t eq = line.find('=');
  if (eq == std::string::npos || line.compare(0, 4, "Item") != 0) return false;
  std::string rest = line.substr(eq + 1);
  size_t a = rest.find('|');
  size_t b = a == std::string::npos ? a : rest.find('|', a + 1);
  if (b == std::string::npos) return false;
  *item = Item{rest.substr(0, a), rest.substr(a + 1, b - a - 1), rest.substr(b + 1)};
  return true;
}

// False when groups.ini cannot be read (not a regular file, too large): the
// commands then fail, and the file is not replaced.
bool loadGroups(GroupsFile *out) {
  out->lines.clear();
  std::string text;
  if (readPrefixFile(kGroupsFile, &text) != 0) return false;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    Line l;
    if (nl == std::string::npos) {
      l.text = text.substr(at);
      at = text.size();
    } else {
      size_t end = nl > at && text[nl - 1] == '\r' ? nl - 1 : nl;
      l.text = text.substr(at, end - at);
      l.eol = text.substr(end, nl + 1 - end);
      at = nl + 1;
    }
    out->lines.push_back(std::move(l));
  }
  return true;
}

bool saveGroups(const GroupsFile &f) {
  std::string out;
  for (const Line &l : f.lines) out += l.text + l.eol;
  return replacePrefixFile(kGroupsFile, out);
}

// The lines [*first, *end) of the first group of that name (its header
// first); false when there is none.
bool findGroup(const GroupsFile &f, const std::string &name, size_t *first, size_t *end, std::string *spelling) {
  for (size_t i = 0; i < f.lines.size(); ++i) {
    std::string n;
    if (!headerName(f.lines[i].text, &n) || !equalsNoCase(n, name)) continue;
    size_t j = i + 1;
    std::string other;
    while (j < f.lines.size() && !headerName(f.lines[j].text, &other)) ++j;
    *first = i;
    *end = j;
    if (spelling) *spelling = n;
    return true;
  }
  return false;
}

// Appends a line, ending the one before it first.
void appendLine(GroupsFile &f, const std::string &text) {
  if (!f.lines.empty() && f.lines.back().eol.empty()) f.lines.back().eol = "\n";
  f.lines.push_back(Line{text, "\n"});
}

bool hasControl(const std::string &s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

bool fitsItem(const std::string &s) { return !hasControl(s) && s.find('|') == std::string::npos; }

// The program's file name without its extension: the item name Program
// Manager gives an item added without one.
std::string defaultItemName(const std::string &cmdline) {
  std::string program = cmdline;
  if (!program.empty() && program[0] == '"') {
    size_t close = program.find('"', 1);
    program = program.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    program = program.substr(0, program.find(' '));
  }
  size_t slash = program.find_last_of("\\/:");
  if (slash != std::string::npos) program = program.substr(slash + 1);
  size_t dot = program.rfind('.');
  if (dot != std::string::npos && dot > 0) program = program.substr(0, dot);
  return program;
}

// Adds an item to the group at [first, end), or replaces the item of the
// same name where it stands.
void putItem(GroupsFile &f, size_t first, size_t end, const Item &item) {
  std::string value = item.name + "|" + item.cmdline + "|" + item.icon;
  long highest = 0;
  size_t after = first + 1;
  for (size_t i = first + 1; i < end; ++i) {
    const std::string &t = f.lines[i].text;
    Item old;
    if (itemOf(t, &old) && equalsNoCase(old.name, item.name)) {
      f.lines[i].text = t.substr(0, t.find('=') + 1) + value;
      return;
    }
    if (t.compare(0, 4, "Item") == 0 && t.find('=') != std::string::npos)
      highest = std::max(highest, strtol(t.c_str() + 4, nullptr, 10));
    if (t.find_first_not_of(" \t") != std::string::npos) after = i + 1;
  }
  if (f.lines[after - 1].eol.empty()) f.lines[after - 1].eol = "\n";
  Line l{"Item" + std::to_string(highest + 1) + "=" + value, "\n"};
  f.lines.insert(f.lines.begin() + static_cast<long>(after), l);
}

// Runs one command on the groups; false when it fails.
bool runCommand(const Command &c, GroupsFile &f, std::string *current) {
  const std::vector<std::string> &a = c.args;
  size_t first = 0, end = 0;
  std::string spelling;
  if (equalsNoCase(c.name, "CreateGroup")) {
    if (a.empty() || a.size() > 2 || a[0].empty() || hasControl(a[0])) return false;
    if (!findGroup(f, a[0], &first, &end, &spelling)) {
      if (f.lines.empty()) appendLine(f, kGroupsComment);
      if (!f.lines.back().text.empty()) appendLine(f, "");
      appendLine(f, "[" + a[0] + "]");
      spelling = a[0];
    }
    *current = spelling;
    return true;
  }
  if (equalsNoCase(c.name, "ShowGroup")) {
    if (a.empty() || a.size() > 2 || !findGroup(f, a[0], &first, &end, &spelling)) return false;
    *current = spelling;
    return true;
  }
  if (equalsNoCase(c.name, "DeleteGroup")) {
    if (a.empty() || a.size() > 2 || !findGroup(f, a[0], &first, &end, &spelling)) return false;
    if (equalsNoCase(*current, spelling)) current->clear();
    // The blank line that parts it from the group before goes with it.
    if (first > 0 && f.lines[first - 1].text.find_first_not_of(" \t") == std::string::npos) --first;
    f.lines.erase(f.lines.begin() + static_cast<long>(first), f.lines.begin() + static_cast<long>(end));
    return true;
  }
  bool inGroup = !current->empty() && findGroup(f, *current, &first, &end, nullptr);
  if (equalsNoCase(c.name, "AddItem")) {
    if (!inGroup || a.empty() || a.size() > 10 || a[0].empty()) return false;
    Item item{a.size() > 1 && !a[1].empty() ? a[1] : defaultItemName(a[0]), a[0], a.size() > 2 ? a[2] : ""};
    if (item.name.empty() || !fitsItem(item.name) || !fitsItem(item.cmdline) || !fitsItem(item.icon)) return false;
    putItem(f, first, end, item);
    return true;
  }
  if (equalsNoCase(c.name, "DeleteItem")) {
    if (!inGroup || a.size() != 1) return false;
    for (size_t i = first + 1; i < end; ++i) {
      Item old;
      if (itemOf(f.lines[i].text, &old) && equalsNoCase(old.name, a[0])) {
        f.lines.erase(f.lines.begin() + static_cast<long>(i));
        return true;
      }
    }
    return false;
  }
  return false;
}

// ---- The server ----------------------------------------------------------

struct Request {
  intptr_t conversation = 0;
  std::string text;
  unsigned format = 0;
  unsigned generation = 0;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  ProgmanReply reply;
};

struct Server {
  std::mutex m; // guards everything below
  std::condition_variable wake;
  std::deque<std::shared_ptr<Request>> queue;
  pid_t threadPid = 0; // the process whose server thread runs (0: none)
  w32::ProgmanMode mode = w32::ProgmanMode::Normal;
  std::vector<std::string> commands;
  std::set<intptr_t> executed; // conversations that have had an execute
  std::string current;         // the current group
  unsigned generation = 0;     // counts resets: requests from before are dropped
};

Server &server() {
  static Server *s = new Server;
  return *s;
}

void answer(Request &r, bool accepted, bool terminate) {
  {
    std::lock_guard<std::mutex> lock(r.m);
    r.reply.answered = true;
    r.reply.accepted = accepted;
    r.reply.terminate = terminate;
    r.done = true;
  }
  r.cv.notify_all();
}

void handle(Request &r) {
  Server &s = server();
  std::lock_guard<std::mutex> lock(s.m);
  if (r.generation != s.generation) return answer(r, false, false);
  s.commands.push_back(r.text);
  bool first = s.executed.insert(r.conversation).second;
  switch (s.mode) {
  case w32::ProgmanMode::NeverAnswer: return; // received, never answered
  case w32::ProgmanMode::RejectAll: return answer(r, false, false);
  case w32::ProgmanMode::Absent: return answer(r, false, true);
  case w32::ProgmanMode::DisconnectAfterFirst:
    if (!first) return answer(r, false, true);
    break;
  case w32::ProgmanMode::Normal: break;
  }
  bool terminate = s.mode == w32::ProgmanMode::DisconnectAfterFirst;
  std::vector<Command> commands;
  if (r.format != CF_TEXT || !parseCommands(r.text, &commands)) return answer(r, false, terminate);
  makePrefixDir("progman");
  HostFileLock fileLock("progman/groups.lock", true);
  GroupsFile groups;
  if (!loadGroups(&groups)) return answer(r, false, terminate);
  bool ok = true;
  bool changed = false;
  for (const Command &c : commands) {
    if (!runCommand(c, groups, &s.current)) {
      ok = false;
      break;
    }
    changed = changed || !equalsNoCase(c.name, "ShowGroup");
  }
  if (changed && !saveGroups(groups)) ok = false;
  answer(r, ok, terminate);
}

void serverMain() {
  Server &s = server();
  for (;;) {
    std::shared_ptr<Request> r;
    {
      std::unique_lock<std::mutex> lock(s.m);
      s.wake.wait(lock, [&] { return !s.queue.empty(); });
      r = s.queue.front();
      s.queue.pop_front();
    }
    handle(*r);
  }
}

} // namespace

namespace w32int {

bool progmanConnect(intptr_t) {
  Server &s = server();
  std::lock_guard<std::mutex> lock(s.m);
  return s.mode != w32::ProgmanMode::Absent;
}

void progmanDisconnect(intptr_t conversation) {
  Server &s = server();
  std::lock_guard<std::mutex> lock(s.m);
  s.executed.erase(conversation);
}

ProgmanReply progmanExecute(intptr_t conversation, const std::string &text, unsigned format,
                            unsigned long timeoutMs) {
  auto r = std::make_shared<Request>();
  r->conversation = conversation;
  r->text = text;
  r->format = format;
  Server &s = server();
  {
    std::lock_guard<std::mutex> lock(s.m);
    r->generation = s.generation;
    if (s.threadPid != getpid()) { // none yet, or this is a forked child
      try {
        std::thread(serverMain).detach();
      } catch (const std::system_error &) {
        // No memory for the server's thread: the execute fails at once, as
        // Windows fails a transaction it has no memory for.
        ProgmanReply none;
        none.noMemory = true;
        return none;
      }
      s.threadPid = getpid();
    }
    s.queue.push_back(r);
  }
  s.wake.notify_one();
  std::unique_lock<std::mutex> lock(r->m);
  r->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return r->done; });
  return r->done ? r->reply : ProgmanReply();
}

void progmanReset() {
  Server &s = server();
  std::lock_guard<std::mutex> lock(s.m);
  s.mode = w32::ProgmanMode::Normal;
  s.commands.clear();
  s.executed.clear();
  s.current.clear();
  ++s.generation;
}

} // namespace w32int

namespace w32 {

void setProgmanServer(ProgmanMode mode) {
  ensureInit();
  Server &s = server();
  std::lock_guard<std::mutex> lock(s.m);
  s.mode = mode;
}

std::vector<std::string> progmanCommands() {
  ensureInit();
  Server &s = server();
  std::lock_guard<std::mutex> lock(s.m);
  return s.commands;
}

std::string progmanGroupsText() {
  ensureInit();
  std::string text;
  readPrefixFile(kGroupsFile, &text);
  return text;
}

} // namespace w32
