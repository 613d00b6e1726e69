// Records what a person did as an answer file that replays to the same
// transcript (README.md, "Recording").
//
// The file is laid out as the answers are taken: a dialog's answer where it
// starts waiting for the user (holding every step the person then took,
// steps of a dialog with a progress bar as "at P"), a message box's answer
// where the box appeared, and media changes before the answer that follows
// them (or the box that was open).  A dialog whose steps ran out and which
// then ended by itself gets a "wait" answer where it ran out.  The whole
// file is handed to the writer after every change.
#ifndef QV_AUTOMATION_RECORDER_H
#define QV_AUTOMATION_RECORDER_H

#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace qva {

class Recorder {
 public:
  struct Line {
    std::vector<std::string> actions;
    std::string answer;  // "" while unanswered (not written)
  };
  using Writer = std::function<void(const std::string &file)>;
  Recorder(std::string heading, Writer writer) : heading_(std::move(heading)), writer_(std::move(writer)) { write(); }

  // Dialogs are told apart by a key of the caller's (their window).
  void dialogShown(const void *dialog, int id);
  void step(const void *dialog, const std::string &text);  // stepText of what the person did
  void idle(const void *dialog);  // the dialog waits for the user again
  void dialogClosed(const void *dialog);
  std::list<Line>::iterator boxShown() { return add(""); }
  void boxAnswered(std::list<Line>::iterator line, const std::string &text, int button);
  void action(const std::string &text, const std::list<Line>::iterator *openBox);
  // An action carried out before an answer of the dialog shown: written
  // before the dialog's answer.
  void dialogAction(const void *dialog, const std::string &text);

 private:
  struct Open {
    std::list<Line>::iterator line;
    int id = 0;
    std::vector<std::string> steps;
    bool exhausted = false;
    std::list<Line>::iterator exhaustedAt;
  };
  std::list<Line>::iterator add(const std::string &answer);
  void write();
  std::string heading_;
  Writer writer_;
  std::list<Line> lines_;
  std::vector<std::string> pending_;
  std::map<const void *, Open> dialogs_;
};

}  // namespace qva

#endif
