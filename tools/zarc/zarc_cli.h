// What every zarc command shares on its command line: errors in the tools'
// one shape, --help and --version, and the exit statuses of tool_cli.h.
#ifndef QV_TOOLS_ZARC_CLI_H
#define QV_TOOLS_ZARC_CLI_H

#include <cstdio>
#include <string>

#include "tool_cli.h"

// A usage error of COMMAND: the error, where to read the usage, status 2.
inline int zarcUsageError(const std::string &command, const std::string &what, const std::string &why = "") {
  toolError("zarc", command, what, why);
  std::fprintf(stderr, "Try 'zarc %s--help'.\n", command.empty() ? "" : (command + " ").c_str());
  return kExitUsage;
}

// --help (usage on standard output) and --version: true when arg is one of
// them, with *status the exit status.
inline bool zarcHelpOrVersion(const std::string &arg, const char *usage, int *status) {
  if (arg == "--help" || arg == "-h") {
    std::printf("usage:\n%s%s", usage, kExitStatusHelp);
  } else if (arg == "--version") {
    printVersion("zarc");
  } else {
    return false;
  }
  *status = std::fflush(stdout) == 0 ? kExitOk : kExitIo;
  return true;
}

#endif
