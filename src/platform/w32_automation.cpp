// The Linux side of the setup program's command line (automation.h):
// WinMain hands it its command line and the program to run.
//
// The options /answers=FILE, /log=FILE and /record=FILE stand in for the
// environment's W32_ANSWERS, W32_TRANSCRIPT and W32_RECORD (an option wins).
// The front end: the scripted one when there is an answer file; otherwise
// the terminal one when standard input and output are a terminal;
// otherwise the program says how to run it and exits with status 2 before
// anything is shown or changed.  /? and an unknown option are answered by
// a box on the terminal, or on standard error without one, before the
// prefix is touched.
//
// Before the front end starts, the layer is set up (the transcript opened,
// the prefix checked) and the prefix is locked for the run, so two programs
// never work on one prefix at once.  The exit status is the run's result
// (w32::finishRun), which also ends the transcript.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <windows.h>

#include "automation.h"
#include "options.h"
#include "w32_internal.h"

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

// The box that answers /? or an unknown option: on the terminal when there
// is one, else on standard error.
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
    return usageBox(qva::unknownOptionText(options.unknown), MB_ICONERROR | MB_OK, w32::kRunUsage);
  }
  if (options.help) return usageBox(qva::kOptionsText, MB_ICONINFORMATION | MB_OK, w32::kRunNotStarted);
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
  w32int::ensureInit();
  w32int::lockPrefixForRun();
  if (files.answers.empty()) {
    std::string why;
    w32fe::FrontEnd *terminal = terminalFrontEnd(&why);
    if (!terminal) {
      fprintf(stderr, "%s: the terminal front end cannot start: %s; to run unattended: %s /answers=FILE\n",
              programName, why.c_str(), programPath);
      return w32::finishRun(w32::kRunNotStarted);
    }
    w32fe::setCurrent(terminal);
  }
  return w32::finishRun(program());
}

