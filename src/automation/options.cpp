// The setup program's options (options.h).
#include "options.h"

#include <cctype>

namespace qva {

const char kOptionsCaption[] = "Quorvel Installation";
const char kOptionsText[] =
    "Quorvel Setup options:\n"
    "/answers=FILE   install unattended, answering from FILE\n"
    "/log=FILE   write a log of the installation to FILE\n"
    "/record=FILE   record your answers in FILE";

std::string unknownOptionText(const std::string &word) {
  return "Unknown option: " + word + "\nRun setup /? to see the options.";
}

std::vector<std::string> splitCommandLine(const std::string &line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string word;
    bool quoted = false;
    for (; i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t')); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
        word += '"';
        ++i;
      } else if (line[i] == '"') {
        quoted = !quoted;
      } else {
        word += line[i];
      }
    }
    words.push_back(word);
  }
  return words;
}

namespace {
// word is /NAME=VALUE with NAME in any case: *value set.
bool option(const std::string &word, const char *name, std::string *value) {
  size_t n = 0;
  while (name[n]) ++n;
  if (word.size() < n + 3 || word[0] != '/' || word[n + 1] != '=') return false;
  for (size_t i = 0; i < n; ++i) {
    if (tolower(static_cast<unsigned char>(word[i + 1])) != name[i]) return false;
  }
  *value = word.substr(n + 2);
  return true;
}
}  // namespace

bool parseOptions(const std::string &commandLine, Options *out) {
  for (const std::string &w : splitCommandLine(commandLine)) {
    if (w == "/?") {
      out->help = true;
    } else if (!option(w, "answers", &out->answers) && !option(w, "log", &out->log) &&
               !option(w, "record", &out->record)) {
      if (out->unknown.empty()) out->unknown = w;
    }
  }
  return out->unknown.empty();
}

}  // namespace qva
