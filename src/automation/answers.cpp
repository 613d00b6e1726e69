// Answer files (answers.h).
#include "answers.h"

#include "lines.h"

#include <cctype>
#include <cstdlib>

namespace qva {

const char *const kFaultClasses[10] = {"Open", "Create", "Read", "Write", "Alloc",
                                       "Directory", "Profile", "Registry", "Dde", "Any"};

namespace {

bool sameNoCase(const std::string &a, const char *b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return i == a.size() && !b[i];
}

bool tokenize(const std::string &line, std::vector<std::string> *out, std::string *err) {
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') break;
    std::string tok;
    if (c == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d != '\\' || i >= line.size()) {
          tok += d;
          continue;
        }
        char e = line[i];
        switch (e) {
        case 'r': tok += '\r'; ++i; break;
        case 'n': tok += '\n'; ++i; break;
        case 't': tok += '\t'; ++i; break;
        case '"': tok += '"'; ++i; break;
        case '\\': tok += '\\'; ++i; break;
        case 'x':
          if (i + 2 < line.size() && isxdigit(static_cast<unsigned char>(line[i + 1])) &&
              isxdigit(static_cast<unsigned char>(line[i + 2]))) {
            tok += static_cast<char>(strtol(line.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 3;
          } else {
            tok += '\\';
          }
          break;
        default: tok += '\\'; break;  // a lone backslash stands for itself: c:\dunmere
        }
      }
      if (!closed) {
        *err = "unterminated quoted text";
        return false;
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') tok += line[i++];
    }
    out->push_back(tok);
  }
  return true;
}

bool parseInt(const std::string &t, int lo, int hi, int *out) {
  char *end = nullptr;
  long v = strtol(t.c_str(), &end, 10);
  if (t.empty() || *end || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

bool parseDrive(const std::string &t, char *letter) {
  if (t.empty() || t.size() > 2 || (t.size() == 2 && t[1] != ':')) return false;
  char c = static_cast<char>(tolower(static_cast<unsigned char>(t[0])));
  if (c < 'a' || c > 'z') return false;
  *letter = c;
  return true;
}

bool absolutePath(const std::string &p, char separator) {
  if (separator == '/') return !p.empty() && p[0] == '/';
  return (!p.empty() && (p[0] == '\\' || p[0] == '/')) || (p.size() >= 2 && p[1] == ':');
}

bool parseAction(const std::vector<std::string> &t, const std::string &baseDir, char separator, Action *a,
                 std::string *err) {
  const std::string &k = t[0];
  if (k == "insert") {
    bool ok = t.size() == 3;
    if (t.size() == 5 && t[3] == "speed") {  // BYTES_PER_SECOND, or 0 or "-" for full speed
      char *end = nullptr;
      a->speed = t[4] == "-" ? 0 : isdigit(static_cast<unsigned char>(t[4][0])) ? strtol(t[4].c_str(), &end, 10) : -1;
      ok = a->speed >= 0 && (!end || !*end);
    }
    if (!ok || !parseDrive(t[1], &a->letter)) {
      *err = "expected: insert LETTER: HOSTDIR [speed BYTES_PER_SECOND]";
      return false;
    }
    a->type = Action::Insert;
    a->dir = absolutePath(t[2], separator) || baseDir.empty() ? t[2] : baseDir + separator + t[2];
    return true;
  }
  if (k == "eject") {
    if (t.size() != 2 || !parseDrive(t[1], &a->letter)) {
      *err = "expected: eject LETTER:";
      return false;
    }
    a->type = Action::Eject;
    return true;
  }
  if (k == "clear-faults") {
    if (t.size() != 1) {
      *err = "expected: clear-faults";
      return false;
    }
    a->type = Action::ClearFaults;
    return true;
  }
  // fault CLASS N once|persistent
  bool found = false;
  if (t.size() == 4) {
    for (const char *name : kFaultClasses) {
      if (sameNoCase(t[1], name)) {
        a->faultClass = name;
        found = true;
      }
    }
  }
  char *end = nullptr;
  long nth = found ? strtol(t[2].c_str(), &end, 10) : 0;
  if (!found || !end || *end || nth < 1 || (t[3] != "once" && t[3] != "persistent")) {
    *err = "expected: fault Open|Create|Read|Write|Alloc|Directory|Profile|Registry|Dde|Any N once|persistent";
    return false;
  }
  a->type = Action::Fault;
  a->nth = nth;
  a->persistent = t[3] == "persistent";
  return true;
}

const char *const kButtonWords[] = {"OK", "Cancel", "Yes", "No", "Retry", "Abort", "Ignore", "Escape"};

std::string parseSteps(const std::vector<std::string> &args, int *dialogId, std::vector<Step> *steps) {
  const char *usage =
      "expected: dialog ID STEP... with steps edit CTRL \"TEXT\", press CTRL, escape, close, wait, at P STEP";
  steps->clear();
  if (args.size() < 2 || !parseInt(args[0], 1, 65535, dialogId)) return usage;
  for (size_t i = 1; i < args.size();) {
    Step s;
    if (args[i] == "at") {
      if (i + 2 >= args.size() || !parseInt(args[i + 1], 0, 100, &s.atPercent))
        return "at needs a percentage 0 to 100 and a step";
      i += 2;
    }
    const std::string &k = args[i++];
    if (k == "edit" || k == "press") {
      if (i >= args.size() || !parseInt(args[i], 1, 65535, &s.control)) return k + " needs a control identifier";
      ++i;
      s.kind = k == "press" ? Step::Press : Step::Edit;
      if (s.kind == Step::Edit) {
        if (i >= args.size()) return "edit needs a text";
        s.text = args[i++];
      }
    } else if (k == "escape") {
      s.kind = Step::Escape;
    } else if (k == "close") {
      s.kind = Step::Close;
    } else if (k == "wait") {
      if (s.atPercent >= 0) return "wait cannot wait for a percentage";
      if (i != args.size()) return "wait must be the last step";
      s.kind = Step::Wait;
    } else {
      return "unknown step " + k + "; " + usage;
    }
    steps->push_back(s);
  }
  return "";
}

}  // namespace

std::string stepText(const Step &s) {
  std::string at = s.atPercent >= 0 ? "at " + std::to_string(s.atPercent) + " " : "";
  switch (s.kind) {
  case Step::Edit: return at + "edit " + std::to_string(s.control) + " " + quote(s.text);
  case Step::Press: return at + "press " + std::to_string(s.control);
  case Step::Escape: return at + "escape";
  case Step::Close: return at + "close";
  case Step::Wait: return "wait";
  }
  return "";
}

std::string actionText(const Action &a) {
  std::string drive = std::string(1, a.letter) + ":";
  switch (a.type) {
  case Action::Insert: return "insert " + drive + " " + quote(a.dir) + (a.speed >= 0 ? " speed " + std::to_string(a.speed) : "");
  case Action::Eject: return "eject " + drive;
  case Action::Fault: return "fault " + a.faultClass + " " + std::to_string(a.nth) + (a.persistent ? " persistent" : " once");
  case Action::ClearFaults: return "clear-faults";
  }
  return "";
}

bool parseAnswerFile(const std::string &text, const std::string &baseDir, char separator, AnswerFile *out,
                     std::string *err) {
  int lineNo = 0;
  std::vector<Action> pending;
  int pendingLine = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++lineNo;
    std::vector<std::string> t;
    std::string why;
    std::string where = "answer file line " + std::to_string(lineNo) + ": ";
    // A text is handed on as a C string: a NUL byte, written as it is or as
    // \x00, would cut it short, and the run would do what was not written.
    if (line.find('\0') != std::string::npos) {
      *err = where + "holds a NUL byte, which no answer may hold";
      return false;
    }
    if (!tokenize(line, &t, &why)) {
      *err = where + why;
      return false;
    }
    for (const std::string &word : t) {
      if (word.find('\0') != std::string::npos) {
        *err = where + "a text holds a NUL byte (\\x00), which no answer may hold";
        return false;
      }
    }
    if (t.empty()) continue;
    bool start = t[0] == "at-start";
    if (start) t.erase(t.begin());
    if (t.empty()) {
      *err = where + "at-start needs an action";
      return false;
    }
    const std::string &k = t[0];
    if (k == "insert" || k == "eject" || k == "fault" || k == "clear-faults") {
      Action a;
      a.line = lineNo;
      if (!parseAction(t, baseDir, separator, &a, &why)) {
        *err = where + why;
        return false;
      }
      if (start) {
        out->atStart.push_back(a);
      } else {
        if (pending.empty()) pendingLine = lineNo;
        pending.push_back(a);
      }
      continue;
    }
    if (start) {
      *err = where + "at-start applies to actions only";
      return false;
    }
    Answer a;
    a.line = lineNo;
    a.source = line;
    while (!a.source.empty() && (a.source.back() == '\r' || a.source.back() == ' ')) a.source.pop_back();
    if (k == "message") {
      bool known = false;
      for (const char *b : kButtonWords) known = known || (t.size() == 3 && sameNoCase(t[2], b));
      if (!known) {
        *err = where + "expected: message \"PATTERN\" OK|Cancel|Yes|No|Retry|Abort|Ignore|Escape";
        return false;
      }
      a.kind = Answer::Message;
      a.pattern = t[1];
      a.button = t[2];
    } else if (k == "dialog") {
      a.kind = Answer::Dialog;
      why = parseSteps(std::vector<std::string>(t.begin() + 1, t.end()), &a.dialog, &a.steps);
      if (!why.empty()) {
        *err = where + why;
        return false;
      }
    } else {
      *err = where + "unknown keyword " + k;
      return false;
    }
    a.before.swap(pending);
    out->answers.push_back(a);
  }
  if (!pending.empty()) {
    *err = "answer file line " + std::to_string(pendingLine) + ": actions after the last answer would never run";
    return false;
  }
  return true;
}

bool globMatch(const char *p, const char *s) {
  const char *star = nullptr, *retry = nullptr;
  while (*s) {
    if (*p == '?' || (*p && *p != '*' && *p == *s)) {
      ++p;
      ++s;
    } else if (*p == '*') {
      star = p++;
      retry = s;
    } else if (star) {
      p = star + 1;
      s = ++retry;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == 0;
}

std::string Answers::doesNotFit(const Answer &a, const std::string &why, const std::string &event) {
  return "answer file line " + std::to_string(a.line) + " (" + a.source + ") does not fit the event: " + why +
         "; the program showed: " + event;
}

std::string Answers::endedBefore(const Answer &a, int dialog, const Step &s) {
  return "answer file line " + std::to_string(a.line) + " (" + a.source + "): dialog " + std::to_string(dialog) +
         " ended before its step \"" + stepText(s) + "\"";
}

bool Answers::take(const std::string &event, std::string mismatch, Answer *taken, std::string *why) {
  if (!mismatch.empty()) {
    *why = doesNotFit(answers_.front(), mismatch, event);
    return false;
  }
  *taken = std::move(answers_.front());
  answers_.pop_front();
  return true;
}

bool Answers::takeMessage(const std::string &event, const std::string &text, unsigned type, int *button,
                          Answer *taken, std::string *why) {
  if (answers_.empty()) {
    *why = (fromFile_ ? "no answer left in the answer file for: " : "no answer file (W32_ANSWERS) to answer: ") + event;
    return false;
  }
  const Answer &a = answers_.front();
  std::string mismatch;
  int id = 0;
  if (a.kind != Answer::Message) {
    mismatch = "it answers a dialog, not a message box";
  } else if (!globMatch(a.pattern.c_str(), text.c_str())) {
    mismatch = "the text does not match " + quote(a.pattern);
  } else {
    std::vector<int> ids;
    int escape = 0;
    boxButtons(type, &ids, &escape);
    if (sameNoCase(a.button, "Escape")) {
      if (escape == 0) mismatch = std::string("Escape does not close a ") + buttonsName(type) + " box";
      id = escape;
    } else {
      for (int b : ids) {
        if (sameNoCase(a.button, buttonName(b))) id = b;
      }
      if (id == 0) mismatch = "button " + a.button + " is not on a " + buttonsName(type) + " box";
    }
  }
  *button = id;
  return take(event, mismatch, taken, why);
}

bool Answers::takeDialog(const std::string &event, int id, Answer *taken, std::string *why) {
  if (answers_.empty()) {
    *why = (fromFile_ ? "no answer left in the answer file for: " : "no answer file (W32_ANSWERS) to answer: ") + event;
    return false;
  }
  const Answer &a = answers_.front();
  std::string mismatch;
  if (a.kind != Answer::Dialog) {
    mismatch = "it answers a message box, not a dialog";
  } else if (a.dialog != id) {
    mismatch = "it answers dialog " + std::to_string(a.dialog) + ", not dialog " + std::to_string(id);
  }
  return take(event, mismatch, taken, why);
}

}  // namespace qva
