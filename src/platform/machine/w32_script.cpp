// Answer files and transcripts on Linux: the answer file (read and matched by
// src/automation/answers.cpp) is taken whole, its answers one per event in
// order, with the platform actions written before them carried out here;
// every event is recorded in the transcript.  The scripted front end
// (frontend/scripted_frontend.cpp) asks for the answers.  The formats are
// described in README.md, "Answer files and transcripts".
#include "w32_core.h"
#include "w32_prefix.h"
#include "w32_script.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

using namespace w32int;

namespace {

struct Script {
  std::timed_mutex m;
  qva::Answers answers;
  std::string transcript;
  std::string error;
  bool testMode = false;
  bool haveFile = false; // answers came from W32_ANSWERS or setAnswers
  FILE *file = nullptr;  // the transcript (/log=, W32_TRANSCRIPT), once the prefix is locked
  std::string fileName;
  bool fileFailed = false; // a line could not be written to it
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

// Writes text to the transcript file.  A transcript that cannot be written
// (a full disk, a reader gone) is said once on standard error, no longer
// written, and makes an installed run's status 3 (w32::finishRun).
void writeFileLocked(Script &sc, const std::string &text) {
  if (!sc.file) return;
  errno = 0;
  if (fputs(text.c_str(), sc.file) >= 0 && fflush(sc.file) == 0) return;
  fprintf(stderr, "w32: cannot write the transcript %s: %s; the run goes on without it\n", sc.fileName.c_str(),
          errno ? strerror(errno) : "write error");
  fclose(sc.file);
  sc.file = nullptr;
  sc.fileFailed = true;
}

void recordLocked(Script &sc, const std::string &line) {
  sc.transcript += line;
  sc.transcript += '\n';
  writeFileLocked(sc, line + "\n");
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
  std::lock_guard<std::timed_mutex> lock(sc.m);
  ++sc.failedSteps;
  recordLocked(sc, qva::failedLine(kind, call, what, error, why.empty() ? errorText(error) : why));
}

void recordEvent(const std::string &line) {
  Script &sc = script();
  std::lock_guard<std::timed_mutex> lock(sc.m);
  recordLocked(sc, line);
}

void scriptFail(const std::string &message) {
  Script &sc = script();
  std::lock_guard<std::timed_mutex> lock(sc.m);
  scriptFailedLocked(sc, message);
}

bool scriptTake(const std::string &eventLine, bool recordEventLine,
                const std::function<bool(qva::Answers &, qva::Answer *, std::string *why)> &take,
                qva::Answer *out, const std::function<std::string(const qva::Answer &)> &answerText) {
  Script &sc = script();
  std::lock_guard<std::timed_mutex> lock(sc.m);
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
  std::lock_guard<std::timed_mutex> lock(sc.m);
  sc.answers.load(qva::AnswerFile(), false);
  sc.transcript.clear();
  sc.error.clear();
  sc.testMode = true;
  sc.haveFile = false;
  sc.failedSteps = 0;
  sc.finished = false;
}

namespace {
// A real run that ends with answers left over did not show what its answer
// file expected; say so (the transcript stays as the events made it).
void reportUnusedAnswers() {
  Script &sc = script();
  std::unique_lock<std::timed_mutex> lock(sc.m, std::try_to_lock);
  if (!lock.owns_lock() || sc.testMode || sc.answers.left() == 0) return;
  const qva::Answer &a = *sc.answers.next();
  fprintf(stderr, "w32 scripted front end: %zu answer(s) not used, the first: answer file line %d (%s)\n",
          sc.answers.left(), a.line, a.source.c_str());
}
} // namespace

void openTranscriptForRun() {
  Script &sc = script();
  std::string t = runFiles().transcript;
  if (t.empty()) return;
  std::lock_guard<std::timed_mutex> lock(sc.m);
  std::string why;
  sc.file = openTranscript(t.c_str(), &why);
  if (!sc.file) refuseRun(why);
  sc.fileName = t;
  writeFileLocked(sc, sc.transcript);  // what the run said while it waited for the prefix
}

void recordInterrupted(int code) {
  Script &sc = script();
  // A thread stuck mid-line (on a transcript nobody reads) leaves it out.
  std::unique_lock<std::timed_mutex> lock(sc.m, std::chrono::seconds(2));
  if (!lock.owns_lock()) return;
  finishLocked(sc, code);
}

void endRunEarly(int code, const std::string &why) {
  Script &sc = script();
  {
    std::lock_guard<std::timed_mutex> lock(sc.m);
    recordLocked(sc, qva::errorLine(why));
    finishLocked(sc, code);
  }
  fprintf(stderr, "w32: %s\n", why.c_str());
  fflush(nullptr);
  _exit(code);
}

void loadAnswersForRun(const std::function<void(const std::string &heading, const std::string &path)> &record) {
  Script &sc = script();
  std::string a = runFiles().answers;
  qva::AnswerFile file;
  {
    std::lock_guard<std::timed_mutex> lock(sc.m);
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
  std::string recordPath = runFiles().record;
  if (!recordPath.empty()) {
    std::string heading = "# Recorded from a run answered by " + a + "; replay with /answers=FILE or W32_ANSWERS.\n";
    for (const qva::Action &action : file.atStart) heading += "at-start " + qva::actionText(action) + "\n";
    record(heading, absolutePath(recordPath));
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
    std::lock_guard<std::timed_mutex> lock(sc.m);
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
  std::lock_guard<std::timed_mutex> lock(sc.m);
  return sc.transcript;
}

std::string scriptError() {
  ensureInit();
  Script &sc = script();
  std::lock_guard<std::timed_mutex> lock(sc.m);
  return sc.error;
}

int finishRun(int programResult) {
  ensureInit();
  Script &sc = script();
  std::lock_guard<std::timed_mutex> lock(sc.m);
  int code = programResult;
  if (code == kRunInstalled && (sc.failedSteps > 0 || sc.fileFailed)) code = kRunWithErrors;
  finishLocked(sc, code);
  if (code == kRunInstalled && sc.fileFailed) code = kRunWithErrors;  // its last line could not be written
  return code;
}

long failedSteps() {
  ensureInit();
  Script &sc = script();
  std::lock_guard<std::timed_mutex> lock(sc.m);
  return sc.failedSteps;
}

int answersLeft() {
  ensureInit();
  Script &sc = script();
  std::lock_guard<std::timed_mutex> lock(sc.m);
  return static_cast<int>(sc.answers.left());
}

} // namespace w32
