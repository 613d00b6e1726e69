// setup.exe's own automation (automation.h on Windows): the run's state
// shared by its three files.
//
//   automation_win32.cpp  the entry: options, the answer file, the log, the
//                         result, the imports of the program that are
//                         followed (dialogs, texts, WinExec, ReadFile)
//   observe_win32.cpp     the hooks on the program's threads: what the
//                         program shows and what the user does, for the
//                         log and the recording
//   answering_win32.cpp   answering the dialogs and boxes from the file
//
// Everything is off unless an option is given: no hook, no patched import.
#ifndef QV_AUTOMATION_WIN32_INTERNAL_H
#define QV_AUTOMATION_WIN32_INTERNAL_H

#include <windows.h>

#include <list>
#include <map>
#include <string>
#include <vector>

#include "answers.h"
#include "lines.h"
#include "recorder.h"

namespace qvw {

// One lock over the state of the run; every line is written under it.
struct Lock {
  Lock();
  ~Lock();
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;
};

// A wizard dialog as the hooks follow it.
struct Dialog {
  int id = 0;
  bool shown = false;
  std::map<int, std::string> edits;  // each edit control's text as the program last set it (recording)
};

// A message box being shown.
struct Box {
  std::string caption, text;
  unsigned type = 0;
  bool answered = false;  // its line is written
  std::list<qva::Recorder::Line>::iterator recordLine;
  bool recorded = false;
};

struct Run {
  bool active = false;     // an option was given: hooks and imports are followed
  bool answering = false;  // /answers=
  HANDLE log = INVALID_HANDLE_VALUE;
  std::string logName;
  bool logFailed = false;  // a line could not be written: no longer written
  qva::Answers answers;
  qva::Recorder *recorder = nullptr;
  std::map<HWND, Dialog> dialogs;
  std::map<HWND, Box> boxes;
  unsigned long speeds[26] = {};  // bytes a second a drive delivers (0: full speed)
};
Run &run();  // under Lock
bool runActive();  // an option was given (any thread, without Lock)

// Writes one line of the log (under Lock).
void writeLine(const std::string &line);
// Ends the run as an answer that does not fit does: the event with
// answer=none (when given), the error and the result lines, the error on
// standard error, status 2.
[[noreturn]] void failRun(const std::string &why, const std::string &eventNone = "");
// Carries out an answer's actions (a drive's speed).
void runActions(const std::vector<qva::Action> &actions);

// The originals of the program's imports that are followed.
extern BOOL(WINAPI *realSetWindowTextA)(HWND, LPCSTR);

// The hooks on the calling thread (observe_win32.cpp).
void hookThisThread();
// The dialog's template identifier, from the innermost DialogBoxParamA of
// this thread.
void enteringDialog(int templateId);
// The program set a control's text (SetWindowTextA, SetDlgItemTextA).
void programSetText(HWND control);
// The edit controls of a dialog, in creation order.
std::vector<qva::EditField> editFields(HWND dialog);
HWND progressBar(HWND dialog);

// Answering (answering_win32.cpp), each on the window's own thread.
void answerDialogShown(HWND dialog, int id);
void answerDialogEnded(HWND dialog);
void answerProgress(HWND dialog, int pos);
// A box just initialised: matched with the next answer (its line written)
// and pressed once its loop runs; not shown when its owner has gone.
void answerBox(HWND box, HWND owner);

}  // namespace qvw

#endif
