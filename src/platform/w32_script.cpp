// Answer files and transcripts on Linux: the answer file (read and matched by
// src/automation/answers.cpp) is taken whole, its answers one per event in
// order, with the platform actions written before them carried out here;
// every event is recorded in the transcript.  The scripted front end
// (frontend/scripted_frontend.cpp) asks for the answers.  The formats are
// described in README.md, "Answer files and transcripts".
#include "w32_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

using namespace w32int;

namespace {

struct Script {
  std::mutex m;
  qva::Answers answers;
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

void runAction(const qva::Action &a) {
  switch (a.type) {
  case qva::Action::Insert:
    mapDriveInternal(a.letter, a.dir);
    if (a.speed >= 0) setDriveSpeedInternal(a.letter, static_cast<unsigned long>(a.speed));
    break;
  case qva::Action::Eject: mapDriveInternal(a.letter, ""); break;
  case qva::Action::Fault:
    for (int i = 0; i < kFaultClasses; ++i) {
      if (a.faultClass == qva::kFaultClasses[i]) armFaultInternal(static_cast<w32::Fault>(i), a.nth, a.persistent);
    }
    break;
  case qva::Action::ClearFaults: clearFaultsInternal(); break;
  }
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

// The last line of every run's transcript.
void finishLocked(Script &sc, int code) {
  if (sc.finished) return;
  sc.finished = true;
  recordLocked(sc, qva::resultLine(code));
}

// The script error ends a real run at once: nothing could answer the event.
void scriptFailedLocked(Script &sc, const std::string &msg) {
  sc.error = msg;
  recordLocked(sc, qva::errorLine(msg));
  if (!sc.testMode) {
    fprintf(stderr, "w32 scripted front end: %s\n", msg.c_str());
    finishLocked(sc, w32::kRunUsage);
    fflush(nullptr);
    _exit(w32::kRunUsage);
  }
}

} // namespace

namespace w32int {

std::string errorText(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND: return "the file does not exist";
  case ERROR_PATH_NOT_FOUND: return "the directory does not exist";
  case ERROR_ACCESS_DENIED: return "access denied (or not a regular file)";
  case ERROR_SHARING_VIOLATION: return "the file is in use";
  case ERROR_DISK_FULL: return "the disk is full";
  case ERROR_WRITE_PROTECT: return "the drive is write-protected (read-only)";
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
  recordLocked(sc, qva::failedLine(kind, call, what, error, why.empty() ? errorText(error) : why));
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
                const std::function<bool(qva::Answers &, qva::Answer *, std::string *why)> &take,
                qva::Answer *out, const std::function<std::string(const qva::Answer &)> &answerText) {
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  qva::Answer a;
  std::string why;
  if (!take(sc.answers, &a, &why)) {
    if (recordEventLine) recordLocked(sc, eventLine + " answer=none");
    scriptFailedLocked(sc, why);
    return false;
  }
  for (const qva::Action &action : a.before) runAction(action);
  if (recordEventLine) recordLocked(sc, eventLine + " answer=" + answerText(a));
  if (out) *out = std::move(a);
  return true;
}

void resetScript() {
  Script &sc = script();
  std::lock_guard<std::mutex> lock(sc.m);
  sc.answers.load(qva::AnswerFile(), false);
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
  if (!lock.owns_lock() || sc.testMode || sc.answers.left() == 0) return;
  const qva::Answer &a = *sc.answers.next();
  fprintf(stderr, "w32 scripted front end: %zu answer(s) not used, the first: answer file line %d (%s)\n",
          sc.answers.left(), a.line, a.source.c_str());
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

namespace {
std::mutex runFilesLock;
bool runFilesSet = false;
RunFiles givenRunFiles;
}  // namespace

void setRunFiles(const RunFiles &files) {
  std::lock_guard<std::mutex> lock(runFilesLock);
  givenRunFiles = files;
  runFilesSet = true;
}

RunFiles runFiles() {
  {
    std::lock_guard<std::mutex> lock(runFilesLock);
    if (runFilesSet) return givenRunFiles;
  }
  RunFiles f;
  auto env = [](const char *name) {
    const char *v = getenv(name);
    return std::string(v ? v : "");
  };
  f.answers = env("W32_ANSWERS");
  f.transcript = env("W32_TRANSCRIPT");
  f.record = env("W32_RECORD");
  return f;
}

void openTranscriptFromEnvironment() {
  Script &sc = script();
  RunFiles f = runFiles();
  const char *t = f.transcript.c_str();
  const char *a = f.answers.c_str();
  const char *rec = f.record.c_str();
  // An output that is one of the run's inputs, or the other output, would
  // destroy it before it is read: refused before anything is opened.
  if (sameHostFile(t, a)) refuseRun(f.transcriptName + " names the answer file " + a + "; give another file");
  if (sameHostFile(rec, a)) refuseRun(f.recordName + " names the answer file " + a + "; give another file");
  if (sameHostFile(t, rec)) refuseRun(f.transcriptName + " and " + f.recordName + " name the same file " + t);
  if (!*t) return;
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
    recordLocked(sc, qva::errorLine(why));
    finishLocked(sc, code);
  }
  fprintf(stderr, "w32: %s\n", why.c_str());
  fflush(nullptr);
  _exit(code);
}

void loadAnswersFromEnvironment() {
  Script &sc = script();
  std::string a = runFiles().answers;
  qva::AnswerFile file;
  {
    std::lock_guard<std::mutex> lock(sc.m);
    if (a.empty()) return;
    std::string text, why;
    if (!readAnswerFile(a.c_str(), &text, &why)) {
      scriptFailedLocked(sc, why);
      return;
    }
    std::string path = absolutePath(a);
    std::string base = path.substr(0, path.rfind('/'));
    if (!qva::parseAnswerFile(text, base, '/', &file, &why)) {
      scriptFailedLocked(sc, why);
      return;
    }
    sc.answers.load(file, true);
    sc.haveFile = true;
    atexit(reportUnusedAnswers);
  }
  for (const qva::Action &action : file.atStart) runAction(action);
}

} // namespace w32int

namespace w32 {

void setAnswers(const std::string &answerFileText) {
  ensureInit();
  Script &sc = script();
  qva::AnswerFile file;
  {
    std::lock_guard<std::mutex> lock(sc.m);
    sc.testMode = true;
    std::string err;
    if (!qva::parseAnswerFile(answerFileText, "", '/', &file, &err)) {
      sc.answers.load(qva::AnswerFile(), true);
      scriptFailedLocked(sc, err);
      return;
    }
    sc.answers.load(file, true);
    sc.haveFile = true;
    sc.error.clear();
  }
  for (const qva::Action &a : file.atStart) runAction(a);
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
  return static_cast<int>(sc.answers.left());
}

} // namespace w32
