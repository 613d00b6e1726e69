// The command-line options of the setup program (automation.h), read the
// same way on every build, with the texts of the boxes that show them.
#ifndef QV_AUTOMATION_OPTIONS_H
#define QV_AUTOMATION_OPTIONS_H

#include <string>
#include <vector>

namespace qva {

// The words of a command line as Windows programs split theirs: blanks
// separate words, double quotes keep blanks in a word and are dropped, \"
// is a quote.
std::vector<std::string> splitCommandLine(const std::string &commandLine);

struct Options {
  std::string answers, log, record;  // "" when not given
  bool help = false;                 // /? was given
  std::string unknown;               // the first word that is no option
};
// false when a word is not one of the options (out->unknown names it).
bool parseOptions(const std::string &commandLine, Options *out);

// The boxes that answer /? and an unknown option, with the caption of all
// the setup program's boxes.
extern const char kOptionsCaption[];
extern const char kOptionsText[];
std::string unknownOptionText(const std::string &word);

}  // namespace qva

#endif
