// The conventions the package tools (zarc, mkpackage, w32prefix) share, so
// that a person who knows zip, tar and gzip is not surprised by any of them:
// one set of exit statuses, one shape of error, --version, and a progress
// line that shows only on a terminal.
#ifndef QV_TOOLS_TOOL_CLI_H
#define QV_TOOLS_TOOL_CLI_H

#include <stdint.h>

#include <string>
#include <vector>

// Exit statuses, the same in every tool (and listed in each --help).
constexpr int kExitOk = 0;
constexpr int kExitBadData = 1;  // the data is bad, or a check failed
constexpr int kExitUsage = 2;    // the command line is wrong
constexpr int kExitIo = 3;       // a file could not be read or written

// The lines every --help ends with.
extern const char kExitStatusHelp[];

// What -q means in every tool, for each --help.
extern const char kQuietHelp[];

// The arguments after argv[0], with bundled short options taken apart as
// zip, tar and gzip users write them: "-nv" is "-n -v". A letter of
// withValue takes the rest of its word as its value ("-dout" is "-d out").
// "-", long options and everything after "--" are left as they are.
std::vector<std::string> splitShortOptions(int argc, char **argv, const char *withValue);

// "TOOL (Quorvel Setup) VERSION" on standard output.
void printVersion(const char *tool);

// One error on standard error, "TOOL COMMAND: what: why" (COMMAND and why
// left out when empty).
void toolError(const char *tool, const std::string &command, const std::string &what, const std::string &why);

// A progress line on standard error, "TOOL: what  37%", redrawn in place
// and cleared when done. Silent when standard error is not a terminal, or
// when quiet.
class ProgressLine {
 public:
  ProgressLine(const char *tool, const std::string &what, uint64_t total, bool quiet);
  ~ProgressLine();
  ProgressLine(const ProgressLine &) = delete;
  ProgressLine &operator=(const ProgressLine &) = delete;
  void update(uint64_t done);
  // Takes the line away until the next update, so that other output on
  // the terminal does not run into it.
  void clear();

 private:
  std::string prefix_;
  uint64_t total_;
  bool shown_;
  int last_ = -1;
};

#endif
