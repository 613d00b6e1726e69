// Answer files and transcripts: the answer file is parsed whole, its answers
// are taken one per event in order (with the platform actions written before
// them), and every event is recorded in the transcript.  The scripted front
// end (frontend/scripted_frontend.cpp) matches the answers to what the
// program shows.  The formats are described in README.md, "Answer files and
// transcripts".
#include "w32_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>

using namespace w32int;

namespace {

struct Action {
  enum Type { Insert, Eject, Fault, ClearFaults } type = Insert;
  char letter = 0;
  std::string dir;
  w32::Fault cls = w32::Fault::Any;
  long nth = 0;
  bool persistent = false;
  long speed = -1; // insert ... speed N: the drive's new read speed (-1: kept)
};

struct Entry {
  ScriptAnswer answer;
  std::vector<Action> before; // run when this answer's event arrives
};

struct Script {
  std::mutex m;
  std::deque<Entry> answers;
  std::string transcript;
  std::string error;
  bool testMode = false;
  bool haveFile = false; // answers came from W32_ANSWERS or setAnswers
  FILE *file = nullptr;  // W32_TRANSCRIPT
  long failedSteps = 0;  // registry, profile, DDE and program-start calls that failed
  bool finished = false; // the result line has been written
};

Script &script() {
  static Script *s = new Script;
  return *s;
}

const char *const kFaultNames[] = {"Open", "Create", "Read", "Write", "Alloc", "Directory", "Profile", "Registry", "Dde", "Any"};

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
        default: tok += '\\'; break; // a lone backslash stands for itself: c:\dunmere
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

bool parseDrive(const std::string &t, char *letter) {
  if (t.empty() || t.size() > 2 || (t.size() == 2 && t[1] != ':')) return false;
  char c = static_cast<char>(tolower(static_cast<unsigned char>(t[0])));
  if (c < 'a' || c > 'z') return false;
  *letter = c;
  return true;
}

const char *const kButtons[] = {"OK", "Cancel", "Yes", "No", "Retry", "Abort", "Ignore", "Escape"};

bool knownButton(const std::string &b) {
  for (const char *k : kButtons) {
    if (equalsNoCase(b, k)) return true;
  }
  return false;
}

bool parseAction(const std::vector<std::string> &t, const std::string &baseDir, Action *a, std::string *err) {
  const std::string &k = t[0];
  if (k == "insert") {
    bool ok = t.size() == 3;
    if (t.size() == 5 && t[3] == "speed") { // BYTES_PER_SECOND, or 0 or "-" for full speed
      char *end = nullptr;
      a->speed = t[4] == "-" ? 0 : isdigit(static_cast<unsigned char>(t[4][0])) ? strtol(t[4].c_str(), &end, 10) : -1;
      ok = a->speed >= 0 && (!end || !*end);
    }
    if (!ok || !parseDrive(t[1], &a->letter)) {
      *err = "expected: insert LETTER: HOSTDIR [speed BYTES_PER_SECOND]";
      return false;
    }
    a->type = Action::Insert;
    a->dir = t[2][0] == '/' || baseDir.empty() ? t[2] : baseDir + "/" + t[2];
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
    for (int i = 0; i < kFaultClasses; ++i) {
      if (equalsNoCase(t[1], kFaultNames[i])) {
        a->cls = static_cast<w32::Fault>(i);
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

void runAction(const Action &a) {
  switch (a.type) {
  case Action::Insert:
    mapDriveInternal(a.letter, a.dir);
    if (a.speed >= 0) setDriveSpeedInternal(a.letter, static_cast<unsigned long>(a.speed));
    break;
  case Action::Eject: mapDriveInternal(a.letter, ""); break;
  case Action::Fault: armFaultInternal(a.cls, a.nth, a.persistent); break;
  case Action::ClearFaults: clearFaultsInternal(); break;
  }
}

// Parses a whole answer file; nothing is taken from it unless all of it parses.
bool parseAnswers(const std::string &text, const std::string &baseDir, std::deque<Entry> *answers,
                  std::vector<Action> *atStart, std::string *err) {
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  std::vector<Action> pending;
  int pendingLine = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    std::vector<std::string> t;
    std::string why;
    if (!tokenize(line, &t, &why)) {
      *err = "answer file line " + std::to_string(lineNo) + ": " + why;
      return false;
    }
    if (t.empty()) continue;
    bool start = t[0] == "at-start";
    if (start) t.erase(t.begin());
    if (t.empty()) {
      *err = "answer file line " + std::to_string(lineNo) + ": at-start needs an action";
      return false;
    }
    const std::string &k = t[0];
    if (k == "insert" || k == "eject" || k == "fault" || k == "clear-faults") {
      Action a;
      if (!parseAction(t, baseDir, &a, &why)) {
        *err = "answer file line " + std::to_string(lineNo) + ": " + why;
        return false;
      }
      if (start) {
        atStart->push_back(a);
      } else {
        if (pending.empty()) pendingLine = lineNo;
        pending.push_back(a);
      }
      continue;
    }
    if (start) {
      *err = "answer file line " + std::to_string(lineNo) + ": at-start applies to actions only";
      return false;
    }
    Entry e;
    e.answer.line = lineNo;
    std::string src = line;
    while (!src.empty() && (src.back() == '\r' || src.back() == ' ')) src.pop_back();
    e.answer.source = src;
    e.answer.kind = k;
    e.answer.args.assign(t.begin() + 1, t.end());
    if (k == "message") {
      if (e.answer.args.size() != 2 || !knownButton(e.answer.args[1])) {
        *err = "answer file line " + std::to_string(lineNo) +
               ": expected: message \"PATTERN\" OK|Cancel|Yes|No|Retry|Abort|Ignore|Escape";
        return false;
      }
    } else if (k == "dialog") {
      int id = 0;
      std::vector<DialogStep> steps;
      std::string why = parseDialogSteps(e.answer.args, &id, &steps);
      if (!why.empty()) {
        *err = "answer file line " + std::to_string(lineNo) + ": " + why;
        return false;
      }
    } else {
      *err = "answer file line " + std::to_string(lineNo) + ": unknown keyword " + k;
      return false;
    }
    e.before.swap(pending);
    answers->push_back(e);
  }
  if (!pending.empty()) {
    *err = "answer file line " + std::to_string(pendingLine) + ": actions after the last answer would never run";
    return false;
  }
  return true;
}

void recordLocked(Script &sc, const std::string &line) {
  sc.transcript += line;
  sc.transcript += '\n';
  if (sc.file) {
    fputs(line.c_str(), sc.file);
    fputc('\n', sc.file);
    fflush(sc.file);
  }
}

const char *resultText(int code) {
  switch (code) {
  case w32::kRunInstalled: return "installed";
  case w32::kRunCancelled: return "cancelled";
  case w32::kRunUsage: return "answer file or usage error";
  case w32::kRunWithErrors: return "installed with errors";
  case w32::kRunInterrupted: return "interrupted";
  default: return "not started";
  }
}

// The last line of every run's transcript.
void finishLocked(Script &sc, int code) {
  if (sc.finished) return;
  sc.finished = true;
  recordLocked(sc, "result code=" + std::to_string(code) + " text=" + quoteText(resultText(code)));
}

// The script error ends a real run at once: nothing could answer the event.
void scriptFailedLocked(Script &sc, const std::string &msg) {
  sc.error = msg;
  recordLocked(sc, "error text=" + quoteText(msg));
  if (!sc.testMode) {
    fprintf(stderr, "w32 scripted front end: %s\n", msg.c_str());
    finishLocked(sc, w32::kRunUsage);
    fflush(nullptr);
    _exit(w32::kRunUsage);
  }
}

} // namespace

namespace w32int {

// ---- The names of message boxes and their buttons, as transcripts and
// answer files write them --------------------------------------------------

const char *iconName(UINT type) {
  switch (type & MB_ICONMASK) {
  case MB_ICONERROR: return "MB_ICONERROR";
  case MB_ICONQUESTION: return "MB_ICONQUESTION";
  case MB_ICONWARNING: return "MB_ICONWARNING";
  case MB_ICONINFORMATION: return "MB_ICONINFORMATION";
  case 0: return "none";
  default: return "unknown";
  }
}

const char *buttonsName(UINT type) {
  switch (type & MB_TYPEMASK) {
  case MB_OK: return "MB_OK";
  case MB_OKCANCEL: return "MB_OKCANCEL";
  case MB_ABORTRETRYIGNORE: return "MB_ABORTRETRYIGNORE";
  case MB_YESNOCANCEL: return "MB_YESNOCANCEL";
  case MB_YESNO: return "MB_YESNO";
  case MB_RETRYCANCEL: return "MB_RETRYCANCEL";
  default: return "unknown";
  }
}

namespace {
struct Button {
  const char *name;
  int id;
};
const Button kButtonIds[] = {{"OK", IDOK},       {"Cancel", IDCANCEL}, {"Abort", IDABORT}, {"Retry", IDRETRY},
                             {"Ignore", IDIGNORE}, {"Yes", IDYES},       {"No", IDNO}};
}  // namespace

const char *boxButtonName(int id) {
  for (const Button &b : kButtonIds) {
    if (b.id == id) return b.name;
  }
  return "none";
}

// The buttons of a box, and what Escape does there (0: nothing, as in a
// Yes/No or Abort/Retry/Ignore box, which Escape cannot close).
void boxButtons(UINT type, std::vector<int> *ids, int *escape) {
  switch (type & MB_TYPEMASK) {
  case MB_OKCANCEL: *ids = {IDOK, IDCANCEL}; *escape = IDCANCEL; break;
  case MB_ABORTRETRYIGNORE: *ids = {IDABORT, IDRETRY, IDIGNORE}; *escape = 0; break;
  case MB_YESNOCANCEL: *ids = {IDYES, IDNO, IDCANCEL}; *escape = IDCANCEL; break;
  case MB_YESNO: *ids = {IDYES, IDNO}; *escape = 0; break;
  case MB_RETRYCANCEL: *ids = {IDRETRY, IDCANCEL}; *escape = IDCANCEL; break;
  default: *ids = {IDOK}; *escape = IDOK; break;
  }
}

std::string quoteText(const std::string &s) {
  std::string out = "\"";
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
    case '\\': out += "\\\\"; break;
    case '"': out += "\\\""; break;
    case '\r': out += "\\r"; break;
    case '\n': out += "\\n"; break;
    case '\t': out += "\\t"; break;
    default:
      if (u < 32 || u >= 127) {
        char buf[8];
        snprintf(buf, sizeof buf, "\\x%02X", u);
        out += buf;
      } else {
        out += c;
      }
    }
  }
  return out + "\"";
}

std::string errorText(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND: return "the file does not exist";
  case ERROR_PATH_NOT_FOUND: return "the directory does not exist";
  case ERROR_ACCESS_DENIED: return "access denied (or not a regular file)";
  case ERROR_SHARING_VIOLATION: return "the file is in use";
  case ERROR_DISK_FULL: return "the disk is full";
  case ERROR_FILE_TOO_LARGE: return "the file is larger than 64 MiB, the most this layer reads";
  case ERROR_REGISTRY_IO_FAILED: return "the registry file cannot be read or written";
  case ERROR_REGISTRY_CORRUPT: return "the registry file does not parse";
  case ERROR_INVALID_PARAMETER: return "invalid parameter";
  case ERROR_FILENAME_EXCED_RANGE: return "the path is too long";
  case ERROR_BAD_FORMAT: return "not a program this system can start";
  case 0: return "the program could not be started";
  default: return "error " + std::to_string(error);
  }
}

void noteFailedStep(const char *kind, const char *call, const std::string &what, DWORD error, const std::string &why) {
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  ++sc.failedSteps;
  recordLocked(sc, std::string("failed kind=") + kind + " call=" + call + " " + what + " error=" +
                       std::to_string(error) + " text=" + quoteText(why.empty() ? errorText(error) : why));
}

void recordEvent(const std::string &line) {
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  recordLocked(sc, line);
}

void scriptFail(const std::string &message) {
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  scriptFailedLocked(sc, message);
}

bool scriptTake(const std::string &eventLine, bool recordEventLine,
                const std::function<std::string(const ScriptAnswer &, std::string *answerText)> &match,
                ScriptAnswer *out) {
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  if (sc.answers.empty()) {
    if (recordEventLine) recordLocked(sc, eventLine + " answer=none");
    scriptFailedLocked(sc, (sc.haveFile ? "no answer left in the answer file for: "
                                        : "no answer file (W32_ANSWERS) to answer: ") +
                               eventLine);
    return false;
  }
  Entry &e = sc.answers.front();
  std::string answerText;
  std::string why = match(e.answer, &answerText);
  if (!why.empty()) {
    if (recordEventLine) recordLocked(sc, eventLine + " answer=none");
    scriptFailedLocked(sc, "answer file line " + std::to_string(e.answer.line) + " (" + e.answer.source +
                               ") does not fit the event: " + why + "; the program showed: " + eventLine);
    return false;
  }
  for (const Action &a : e.before) runAction(a);
  if (out) *out = e.answer;
  sc.answers.pop_front();
  if (recordEventLine) recordLocked(sc, eventLine + " answer=" + answerText);
  return true;
}

void resetScript() {
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  sc.answers.clear();
  sc.transcript.clear();
  sc.error.clear();
  sc.testMode = true;
  sc.haveFile = false;
  sc.failedSteps = 0;
  sc.finished = false;
  resetScriptedFrontEnd();
}

namespace {
// A real run that ends with answers left over did not show what its answer
// file expected; say so (the transcript stays as the events made it).
void reportUnusedAnswers() {
  Script &sc = script();
  std::unique_lock<std::mutex> lock(sc.m, std::try_to_lock);
  if (!lock.owns_lock() || sc.testMode || sc.answers.empty()) return;
  const ScriptAnswer &a = sc.answers.front().answer;
  fprintf(stderr, "w32 scripted front end: %zu answer(s) not used, the first: answer file line %d (%s)\n",
          sc.answers.size(), a.line, a.source.c_str());
}
} // namespace

namespace {

// The most an answer file may hold: it is read whole before the run.
constexpr size_t kAnswerFileCap = 1024 * 1024;

bool sameHostFile(const char *a, const char *b) {
  struct stat x, y;
  return a && b && *a && *b && stat(a, &x) == 0 && stat(b, &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// A usage error before the run: said on standard error, status 2.
[[noreturn]] void refuseRun(const std::string &why) {
  fprintf(stderr, "w32: %s\n", why.c_str());
  fflush(nullptr);
  _exit(w32::kRunUsage);
}

// Reads an answer file: a regular file, or a pipe or device read once,
// never waited on at open and never more than the cap.
bool readAnswerFile(const char *path, std::string *text, std::string *why) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *why = std::string("cannot read the answer file ") + path + ": " + strerror(errno);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::string("cannot read the answer file ") + path + ": " + strerror(errno);
      break;
    }
    if (n == 0) break;
    if (text->size() + static_cast<size_t>(n) > kAnswerFileCap) {
      *why = std::string("the answer file ") + path + " is larger than 1 MiB";
      break;
    }
    text->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return why->empty();
}

// Opens the transcript for writing: a regular file is replaced, a FIFO or
// a device is written as it is; nothing ever waits at the open.
FILE *openTranscript(const char *path, std::string *why) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    *why = std::string("cannot write the transcript ") + path + ": " +
           (errno == ENXIO ? "a FIFO that nothing reads" : strerror(errno));
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISSOCK(st.st_mode)) {
    close(fd);
    *why = std::string("cannot write the transcript ") + path + ": not a file";
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE *f = fdopen(fd, "w");
  if (!f) {
    close(fd);
    *why = std::string("cannot write the transcript ") + path + ": " + strerror(errno);
  }
  return f;
}

} // namespace

void openTranscriptFromEnvironment() {
  Script &sc = script();
  const char *t = getenv("W32_TRANSCRIPT");
  const char *a = getenv("W32_ANSWERS");
  const char *rec = getenv("W32_RECORD");
  // An output that is one of the run's inputs, or the other output, would
  // destroy it before it is read: refused before anything is opened.
  if (sameHostFile(t, a)) refuseRun(std::string("W32_TRANSCRIPT names the answer file ") + a + "; give another file");
  if (sameHostFile(rec, a)) refuseRun(std::string("W32_RECORD names the answer file ") + a + "; give another file");
  if (sameHostFile(t, rec)) refuseRun(std::string("W32_TRANSCRIPT and W32_RECORD name the same file ") + t);
  if (!t || !*t) return;
  std::lock_guard<std::mutex> lock(sc.m);
  std::string why;
  sc.file = openTranscript(t, &why);
  if (!sc.file) refuseRun(why);
}

void recordInterrupted() {
  Script &sc = script();
  std::unique_lock<std::mutex> lock(sc.m, std::try_to_lock);
  if (!lock.owns_lock()) return; // another thread is mid-line: the line is left out
  finishLocked(sc, w32::kRunInterrupted);
}

void endRunEarly(int code, const std::string &why) {
  Script &sc = script();
  {
    std::lock_guard<std::mutex> lock(sc.m);
    recordLocked(sc, "error text=" + quoteText(why));
    finishLocked(sc, code);
  }
  fprintf(stderr, "w32: %s\n", why.c_str());
  fflush(nullptr);
  _exit(code);
}

void loadAnswersFromEnvironment() {
  Script &sc = script();
  const char *a = getenv("W32_ANSWERS");
  std::vector<Action> atStart;
  {
    std::lock_guard<std::mutex> lock(sc.m);
    if (!a || !*a) return;
    std::string text, why;
    if (!readAnswerFile(a, &text, &why)) {
      scriptFailedLocked(sc, why);
      return;
    }
    std::string path = absolutePath(a);
    std::string base = path.substr(0, path.rfind('/'));
    std::string err;
    std::deque<Entry> answers;
    if (!parseAnswers(text, base, &answers, &atStart, &err)) {
      scriptFailedLocked(sc, err);
      return;
    }
    sc.answers.swap(answers);
    sc.haveFile = true;
    atexit(reportUnusedAnswers);
  }
  for (const Action &a : atStart) runAction(a);
}

} // namespace w32int

namespace w32 {

void setAnswers(const std::string &answerFileText) {
  ensureInit();
  Script &sc = script();
  std::vector<Action> atStart;
  {
    std::lock_guard<std::mutex> lock(sc.m);
    sc.testMode = true;
    std::deque<Entry> answers;
    std::string err;
    if (!parseAnswers(answerFileText, "", &answers, &atStart, &err)) {
      sc.answers.clear();
      scriptFailedLocked(sc, err);
      return;
    }
    sc.answers.swap(answers);
    sc.haveFile = true;
    sc.error.clear();
  }
  for (const Action &a : atStart) runAction(a);
}

std::string transcript() {
  ensureInit();
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  return sc.transcript;
}

std::string scriptError() {
  ensureInit();
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  return sc.error;
}

int finishRun(int programResult) {
  ensureInit();
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  int code = programResult;
  if (code == kRunInstalled && sc.failedSteps > 0) code = kRunWithErrors;
  finishLocked(sc, code);
  if (sc.file) fflush(sc.file);
  return code;
}

long failedSteps() {
  ensureInit();
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  return sc.failedSteps;
}

int answersLeft() {
  ensureInit();
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  return static_cast<int>(sc.answers.size());
}

} // namespace w32
