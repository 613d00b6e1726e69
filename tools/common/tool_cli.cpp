#include "tool_cli.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

const char kExitStatusHelp[] =
    "exit status: 0 success, 1 bad data or a failed check, 2 usage error, 3 a file could not be read or "
    "written\n";

const char kQuietHelp[] =
    "-q, --quiet: no progress line, and no line that only reports what is being\n"
    "  done (files as they are written, sizes, ratios); results, warnings and\n"
    "  errors still show.\n";

std::vector<std::string> splitShortOptions(int argc, char **argv, const char *withValue) {
  std::vector<std::string> out;
  bool done = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (done || arg.size() <= 2 || arg[0] != '-' || arg[1] == '-') {
      if (arg == "--") done = true;
      out.push_back(arg);
      continue;
    }
    for (size_t at = 1; at < arg.size(); at++) {
      out.push_back(std::string("-") + arg[at]);
      if (std::strchr(withValue, arg[at]) && at + 1 < arg.size()) {
        out.push_back(arg.substr(at + 1));
        break;
      }
    }
  }
  return out;
}

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
