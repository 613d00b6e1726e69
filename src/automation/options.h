// The command-line options of the setup program (automation.h), read the
// same way on every build, with the texts of the boxes that show them.
#ifndef QV_AUTOMATION_OPTIONS_H
#define QV_AUTOMATION_OPTIONS_H

#include <functional>
#include <string>
#include <vector>

namespace qva {

// The words of a command line as Windows programs split theirs: blanks
// separate words, double quotes keep blanks in a word and are dropped, \"
// is a quote.
std::vector<std::string> splitCommandLine(const std::string &commandLine);

struct Options {
  std::string answers, log, record;  // "" when not given
  bool help = false;                 // /?, -? or --help was given
  std::string error;                 // a usage error: an option written wrongly
};
// The program takes no arguments of its own, so a word that is none of the
// options is ignored, as it always was.  An option is matched without
// regard to case; one written wrongly (/log without =FILE, /answers= with
// nothing after it) is a usage error: false, out->error saying which.
bool parseOptions(const std::string &commandLine, Options *out);

// The boxes that answer /? and a usage error, with the caption of all the
// setup program's boxes.  The options' text is laid out in two columns:
// width(text) is how wide a text shows where the box is drawn (characters
// in a terminal, pixels in a Windows box); each option name is padded with
// blanks so that its description starts as near as they come to the same
// place as the others'.
// A file of the package as it lies beside the setup program (setup.ini,
// the .z archives, readme.txt, bookmark.htm, the program), in any case: a
// run may never write one.
bool packageFileName(const std::string &name);

extern const char kOptionsCaption[];
std::string optionsText(const std::function<int(const std::string &)> &width);
std::string usageErrorText(const std::string &error);

}  // namespace qva

#endif
