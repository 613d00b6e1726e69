// main() of the layer's Windows programs: chooses the front end that shows
// the dialogs, then calls the program's WinMain as Windows would, with the
// command line after the program's name.
//
// The front end: the scripted one when W32_ANSWERS names an answer file;
// otherwise the terminal one when standard input and output are a terminal;
// otherwise the program says how to run it and exits with status 2 before
// anything is shown or changed.
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

#include "frontend/terminal_frontend.h"
#include "w32_internal.h"

int main(int argc, char **argv) {
  const char *name = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
  const char *answers = getenv("W32_ANSWERS");
  if (!answers || !*answers) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
      fprintf(stderr,
              "%s: nothing can show the dialogs: run it in a terminal (the terminal front end), or give an "
              "answer file to run unattended: W32_ANSWERS=FILE %s (README.md, \"Answer files and transcripts\")\n",
              name, argv[0]);
      return 2;
    }
  }
  w32int::ensureInit();
  w32int::lockPrefixForRun();
  if (!answers || !*answers) {
    std::string why;
    w32fe::FrontEnd *terminal = w32fe::terminalFrontEnd(&why);
    if (!terminal) {
      fprintf(stderr, "%s: the terminal front end cannot start: %s; to run unattended: W32_ANSWERS=FILE %s\n", name,
              why.c_str(), argv[0]);
      return w32::finishRun(w32::kRunNotStarted);
    }
    w32fe::setCurrent(terminal);
  }
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  int code = w32::finishRun(WinMain(GetModuleHandleA(nullptr), nullptr, &commandLine[0], SW_SHOWNORMAL));
  fflush(nullptr);
  return code;
}
