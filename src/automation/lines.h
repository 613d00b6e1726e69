// The transcript's lines and the names they use, the same on every build:
// the Linux layer, setup.exe's own log and the Wine suite's driver write
// their transcripts with these (README.md, "Transcript").
#ifndef QV_AUTOMATION_LINES_H
#define QV_AUTOMATION_LINES_H

#include <string>
#include <vector>

namespace qva {

// Message box styles and button identifiers, as Win32 numbers them.
enum : unsigned {
  kMbOk = 0, kMbOkCancel = 1, kMbAbortRetryIgnore = 2, kMbYesNoCancel = 3, kMbYesNo = 4, kMbRetryCancel = 5,
  kMbTypeMask = 0x0F, kMbIconMask = 0xF0,
  kMbIconError = 0x10, kMbIconQuestion = 0x20, kMbIconWarning = 0x30, kMbIconInformation = 0x40,
};
enum : int { kIdOk = 1, kIdCancel = 2, kIdAbort = 3, kIdRetry = 4, kIdIgnore = 5, kIdYes = 6, kIdNo = 7 };

// The run's results, the program's exit statuses.
enum : int {
  kResultInstalled = 0,
  kResultCancelled = 1,
  kResultUsage = 2,
  kResultWithErrors = 3,
  kResultNotStarted = 4,
  // Ended by a signal: 128 + its number, as a shell gives it.
  kResultHungUp = 129,       // SIGHUP: the terminal went away
  kResultInterrupted = 130,  // SIGINT: Ctrl-C
  kResultTerminated = 143    // SIGTERM
};
const char *resultText(int code);

// A text as a transcript or an answer file writes it: in double quotes,
// backslash and quote escaped, CR LF TAB as \r \n \t, other bytes outside
// printable ASCII as \xHH.
std::string quote(const std::string &s);

// A box's icon and button set (MB_ICONERROR, MB_YESNO, ...; "none" for no
// icon), a button's name (OK, Cancel, ...; "none" for anything else), the
// buttons of a box and the one Escape stands for (0: Escape does nothing,
// as in a Yes/No or Abort/Retry/Ignore box).
const char *iconName(unsigned type);
const char *buttonsName(unsigned type);
const char *buttonName(int id);
void boxButtons(unsigned type, std::vector<int> *ids, int *escape);

struct EditField {
  int id;
  std::string text;
};

// The lines, without a line end.  A message line is given its answer
// after it (" answer=NAME").
std::string messageLine(const std::string &caption, const std::string &text, unsigned type);
std::string dialogShowLine(int id, const std::string &caption, const std::vector<EditField> &edits);
std::string dialogPressLine(int id, int control, const std::vector<EditField> &edits);
std::string dialogEndLine(int id);
// A dialog as an answer's error names it: "dialog id=ID caption=...".
std::string dialogEvent(int id, const std::string &caption);
std::string progressLine(int pos);
std::string statusLine(const std::string &text);
std::string execLine(const std::string &commandLine);
std::string waitLine(const std::string &text);
std::string errorLine(const std::string &text);
std::string resultLine(int code);
// what: the call's own fields ("key=... value=..."); why: what error means.
std::string failedLine(const char *kind, const char *call, const std::string &what, unsigned long error,
                       const std::string &why);

}  // namespace qva

#endif
