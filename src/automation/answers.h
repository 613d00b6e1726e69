// Answer files: reading one, and matching its answers, in order, to the
// dialogs and message boxes a run shows, with the error texts every build
// gives (README.md, "Answer file").  Nothing here locks: the caller keeps
// one Answers under its own lock, so that events of all threads are taken
// in one order.
#ifndef QV_AUTOMATION_ANSWERS_H
#define QV_AUTOMATION_ANSWERS_H

#include <deque>
#include <string>
#include <vector>

namespace qva {

// A step of a dialog answer.
struct Step {
  enum Kind { Edit, Press, Escape, Close, Wait } kind = Press;
  int control = 0;
  std::string text;    // Edit: the new text
  int atPercent = -1;  // -1: at once; else when the progress bar shows this or more
};
// The step as an answer file writes it ("at 40 press 203").
std::string stepText(const Step &s);

// A platform action, carried out when the answer it stands before is taken
// (or at once, written after at-start).
struct Action {
  enum Type { Insert, Eject, Fault, ClearFaults } type = Insert;
  int line = 0;
  char letter = 0;          // a to z
  std::string dir;          // Insert: the directory, relative ones joined to the answer file's
  long speed = -1;          // Insert: bytes a second (0: full speed; -1: the drive keeps its own)
  std::string faultClass;   // Fault: one of kFaultClasses
  long nth = 0;
  bool persistent = false;
};
extern const char *const kFaultClasses[10];  // Open Create Read Write Alloc Directory Profile Registry Dde Any
// The action as an answer file writes it ("insert a: \"/mnt/disk2\" speed 1000").
std::string actionText(const Action &a);

struct Answer {
  enum Kind { Message, Dialog } kind = Message;
  int line = 0;
  std::string source;  // the line as written
  std::string pattern, button;  // Message
  int dialog = 0;               // Dialog: its template identifier
  std::vector<Step> steps;
  std::vector<Action> before;
};

struct AnswerFile {
  std::deque<Answer> answers;
  std::vector<Action> atStart;
};

// Parses a whole answer file; false (with why) unless all of it parses.
// A relative insert directory is joined to baseDir with separator.
bool parseAnswerFile(const std::string &text, const std::string &baseDir, char separator, AnswerFile *out,
                     std::string *why);

// Glob over a whole text: * any run of characters (line breaks too), ?
// one character; everything else compares exactly.
bool globMatch(const char *pattern, const char *text);

// The answers of a run, taken one per event.
class Answers {
 public:
  void load(AnswerFile file, bool fromFile) {
    answers_ = std::move(file.answers);
    fromFile_ = fromFile;
  }
  void clear() { answers_.clear(); }
  size_t left() const { return answers_.size(); }
  const Answer *next() const { return answers_.empty() ? nullptr : &answers_.front(); }

  // A message box: on success *button is the button the program gets and
  // *taken the answer (removed).  Else *why is the run's error.  event is
  // the box's line (messageLine).
  bool takeMessage(const std::string &event, const std::string &text, unsigned type, int *button, Answer *taken,
                   std::string *why);
  // A dialog waiting for the user; event is dialogEvent(id, caption).
  bool takeDialog(const std::string &event, int id, Answer *taken, std::string *why);

  // The errors of a step taken from answer a.  doesNotFit: the step cannot
  // be carried out on the dialog shown ("dialog 2 has no button 205");
  // endedBefore: the dialog ended before step s ran.
  static std::string doesNotFit(const Answer &a, const std::string &why, const std::string &event);
  static std::string endedBefore(const Answer &a, int dialog, const Step &s);

 private:
  bool take(const std::string &event, std::string mismatch, Answer *taken, std::string *why);
  std::deque<Answer> answers_;
  bool fromFile_ = false;
};

}  // namespace qva

#endif
