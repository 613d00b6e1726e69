#include "tool_cli.h"

#include <unistd.h>

#include <cstdio>

const char kExitStatusHelp[] =
    "exit status: 0 success, 1 bad data or a failed check, 2 usage error, 3 a file could not be read or "
    "written\n";

void printVersion(const char *tool) { std::printf("%s (Quorvel Setup) 1.0\n", tool); }

void toolError(const char *tool, const std::string &command, const std::string &what, const std::string &why) {
  std::string line = tool;
  if (!command.empty()) line += " " + command;
  line += ": " + what;
  if (!why.empty()) line += ": " + why;
  std::fprintf(stderr, "%s\n", line.c_str());
}

ProgressLine::ProgressLine(const char *tool, const std::string &what, uint64_t total, bool quiet)
    : prefix_(std::string(tool) + ": " + what), total_(total), shown_(!quiet && isatty(STDERR_FILENO)) {}

ProgressLine::~ProgressLine() { clear(); }

void ProgressLine::clear() {
  if (shown_ && last_ >= 0) std::fprintf(stderr, "\r%*s\r", static_cast<int>(prefix_.size()) + 6, "");
  last_ = -1;
}

void ProgressLine::update(uint64_t done) {
  if (!shown_) return;
  int percent = total_ == 0 ? 100 : static_cast<int>(done >= total_ ? 100 : done * 100 / total_);
  if (percent == last_) return;
  last_ = percent;
  std::fprintf(stderr, "\r%s  %3d%%", prefix_.c_str(), percent);
  std::fflush(stderr);
}
