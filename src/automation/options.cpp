// The setup program's options (options.h).
#include "options.h"

#include <algorithm>
#include <cctype>

namespace qva {

const char kOptionsCaption[] = "Quorvel Installation";

namespace {
bool sameNoCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

const char *const kOptionRows[][2] = {
    {"/answers=FILE", "install unattended from FILE"},
    {"/log=FILE", "write a log of the installation to FILE"},
    {"/record=FILE", "record your answers in FILE"},
    {"/?", "show these options"},
};
}  // namespace

std::string optionsText(const std::function<int(const std::string &)> &width) {
  int column = 0;
  for (const auto &row : kOptionRows) column = std::max(column, width(std::string(row[0]) + "   "));
  std::string text = "Quorvel Setup options:";
  for (const auto &row : kOptionRows) {
    // Blanks while one more brings the description nearer the column.
    std::string name = std::string(row[0]) + ' ';
    while (width(name + ' ') - column <= column - width(name)) name += ' ';
    text += "\n" + name + row[1];
  }
  return text;
}

bool packageFileName(const std::string &name) {
  for (const char *n : {"setup.ini", "readme.txt", "bookmark.htm", "setup", "setup.exe"}) {
    if (sameNoCase(name, n)) return true;
  }
  return name.size() > 2 && sameNoCase(name.substr(name.size() - 2), ".z");
}

std::string usageErrorText(const std::string &error) { return error + "\nRun setup /? to see the options."; }

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
const char *const kOptionNames[] = {"answers", "log", "record"};
}  // namespace

bool parseOptions(const std::string &commandLine, Options *out) {
  for (const std::string &w : splitCommandLine(commandLine)) {
    if (w == "/?" || w == "-?" || w == "--help") {
      out->help = true;
      continue;
    }
    // /NAME=VALUE, or /NAME:VALUE, /NAME alone: the option NAME.
    if (w.size() < 2 || w[0] != '/') continue;
    size_t end = w.find_first_of("=:", 1);
    std::string name = w.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    std::string *value[] = {&out->answers, &out->log, &out->record};
    for (int i = 0; i < 3; ++i) {
      if (!sameNoCase(name, kOptionNames[i])) continue;
      if (end == std::string::npos || w[end] != '=' || end + 1 == w.size()) {
        if (out->error.empty())
          out->error = "The option " + w + " needs a file, written /" + kOptionNames[i] + "=FILE.";
      } else {
        *value[i] = w.substr(end + 1);
      }
    }
  }
  return out->error.empty();
}

}  // namespace qva
