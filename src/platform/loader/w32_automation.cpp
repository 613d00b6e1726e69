// The Linux side of the setup program's command line (automation.h):
// WinMain hands it its command line and the program to run.
//
// The options /answers=FILE, /log=FILE and /record=FILE stand in for the
// environment's W32_ANSWERS, W32_TRANSCRIPT and W32_RECORD (an option wins);
// any other word is ignored, as the program always ignored its command
// line.  The front end: the scripted one when there is an answer file;
// otherwise the terminal one when standard input and output are a terminal;
// otherwise the program says how to run it and exits with status 2 before
// anything is shown or changed.  /? and an option written wrongly are
// answered by a box on the terminal, or on standard error without one,
// before the prefix is touched.
//
// The run's outputs are checked before anything is opened; the prefix is
// checked, then locked for the run, so two programs never work on one
// prefix at once, and only then are the transcript opened and the answers
// read.  The exit status is the run's result (w32::finishRun), which also
// ends the transcript.  SIGINT, SIGTERM and SIGHUP end the run as a
// confirmed Cancel does (the file being written stays as far as it was
// written, the prefix lock goes with the process), with the result line
// of status 128 + the signal, and the process then ends by that signal.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <windows.h>

#include "automation.h"
#include "options.h"
#include "machine/w32_core.h"
#include "machine/w32_prefix.h"
#include "machine/w32_script.h"
#include "frontend/scripted_frontend.h"
#include "w32_automation.h"

namespace w32int {
const char *programName = "setup";
const char *programPath = "setup";
}  // namespace w32int

using w32int::programName;
using w32int::programPath;

namespace {

w32fe::FrontEnd *(*terminalFactory)(std::string *why) = nullptr;

w32fe::FrontEnd *terminalFrontEnd(std::string *why) {
  if (terminalFactory) return terminalFactory(why);
  *why = "this program has no terminal front end";
  return nullptr;
}

bool onTerminal() { return isatty(STDIN_FILENO) && isatty(STDOUT_FILENO); }

// The box that answers /? or an option written wrongly: on the terminal
// when there is one, else on standard error.
int usageBox(const std::string &text, UINT type, int code) {
  std::string why;
  w32fe::FrontEnd *terminal = onTerminal() ? terminalFrontEnd(&why) : nullptr;
  if (terminal) {
    terminal->messageBox(nullptr, text, qva::kOptionsCaption, type);
  } else {
    fprintf(stderr, "%s: %s\n", programName, text.c_str());
  }
  return code;
}

// ---- The end by a signal ---------------------------------------------------

// Set by whichever comes first, the run's own end or a signal's.
std::atomic<bool> runEnding{false};
// The signal that ends the run (0: none), for dieBySignal.
std::atomic<int> endingSignal{0};

// Runs last of the handlers at exit: the process ends by the signal that
// ended the run, as a shell expects of a program a signal stopped.
void dieBySignal() {
  int sig = endingSignal.load();
  if (sig == 0) return;
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
}

// The thread that takes the signals: the run ends as after a confirmed
// Cancel, the process leaving through exit (so every file handle's held
// bytes reach the host and the terminal is given back).
void *signalThread(void *arg) {
  sigset_t set = *static_cast<sigset_t *>(arg);
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  if (runEnding.exchange(true)) {
    for (;;) pause();  // the run is ending by itself: its own status stands
  }
  endingSignal = sig;
  w32int::recordInterrupted(128 + sig);
  exit(128 + sig);
}

// Before any other thread exists, so that every thread has the signals
// blocked and only signalThread takes them.  false when no thread can be
// started for them: the signals then end the process as they would.
bool catchSignals() {
  static sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  atexit(dieBySignal);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 65536);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, signalThread, &set);
  pthread_attr_destroy(&attr);
  if (rc != 0) pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  return rc == 0;
}

// The run's result, unless a signal is ending it already.
int endRun(int code) {
  if (runEnding.exchange(true)) {
    for (;;) pause();
  }
  return w32::finishRun(code);
}

}  // namespace


void w32int::setTerminalFrontEnd(w32fe::FrontEnd *(*factory)(std::string *why)) { terminalFactory = factory; }

int runAutomated(const char *commandLine, int (*program)(void)) {
  // A test that runs the program in its own process has chosen the front
  // end and the answers (w32::setAnswers), and reads the result itself.
  bool testMode;
  {
    w32int::State &s = w32int::state();
    std::lock_guard<std::mutex> lock(s.m);
    testMode = s.testMode;
  }
  if (testMode) return program();
  qva::Options options;
  if (!qva::parseOptions(commandLine ? commandLine : "", &options)) {
    return usageBox(qva::usageErrorText(options.error), MB_ICONERROR | MB_OK, w32::kRunUsage);
  }
  if (options.help) {
    std::string text = qva::optionsText([](const std::string &t) { return static_cast<int>(t.size()); });
    return usageBox(text, MB_ICONINFORMATION | MB_OK, 0);
  }
  w32int::RunFiles files = w32int::runFiles();
  if (!options.answers.empty()) {
    files.answers = options.answers;
    files.answersName = "/answers";
  }
  if (!options.log.empty()) {
    files.transcript = options.log;
    files.transcriptName = "/log";
  }
  if (!options.record.empty()) {
    files.record = options.record;
    files.recordName = "/record";
  }
  w32int::setRunFiles(files);
  if (files.answers.empty() && !onTerminal()) {
    fprintf(stderr,
            "%s: nothing can show the dialogs: run it in a terminal (the terminal front end), or give an "
            "answer file to run unattended: %s /answers=FILE, or W32_ANSWERS=FILE %s (README.md, \"Answer files "
            "and transcripts\")\n",
            programName, programPath, programPath);
    return w32::kRunUsage;
  }
  w32int::checkRunFiles(files, w32int::defaultPrefix());
  // A transcript whose reader has gone fails its writes (EPIPE) instead of
  // ending the process.
  signal(SIGPIPE, SIG_IGN);
  catchSignals();
  w32int::ensureInit();
  w32int::lockPrefixForRun();
  w32int::openTranscriptForRun();
  w32int::loadAnswersForRun(w32int::recordScriptedRun);
  if (files.answers.empty()) {
    std::string why;
    w32fe::FrontEnd *terminal = terminalFrontEnd(&why);
    if (!terminal) {
      fprintf(stderr, "%s: the terminal front end cannot start: %s; to run unattended: %s /answers=FILE\n",
              programName, why.c_str(), programPath);
      return endRun(w32::kRunNotStarted);
    }
    w32fe::setCurrent(terminal);
  }
  return endRun(program());
}
