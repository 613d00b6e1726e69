// main() of the layer's Windows programs: calls the program's WinMain as
// Windows would, with the command line after the program's name (the
// setup program hands it to runAutomated, w32_automation.cpp, which
// chooses the front end).
#include <cstdio>
#include <cstring>
#include <string>

#include <windows.h>

#include "frontend/terminal_frontend.h"
#include "w32_automation.h"

int main(int argc, char **argv) {
  w32int::programPath = argv[0];
  w32int::programName = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
  w32int::setTerminalFrontEnd(w32fe::terminalFrontEnd);
  // The words as one Windows command line: a word with blanks (or none) in
  // double quotes.
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    std::string word = argv[i];
    bool quoted = word.empty() || word.find_first_of(" \t") != std::string::npos;
    if (quoted) commandLine += '"';
    for (char c : word) commandLine += c == '"' ? std::string("\\\"") : std::string(1, c);
    if (quoted) commandLine += '"';
  }
  int code = WinMain(GetModuleHandleA(nullptr), nullptr, &commandLine[0], SW_SHOWNORMAL);
  fflush(nullptr);
  return code;
}
