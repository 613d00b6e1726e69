// The run as the scripted front end and the transcript see it
// (w32_script.cpp): answers taken in one order, events recorded, failed
// steps noted, the prefix's lock; and the run's files (w32_run_files.cpp).
#ifndef QV_PLATFORM_W32_SCRIPT_H
#define QV_PLATFORM_W32_SCRIPT_H

#include "w32_core.h"

#include "answers.h"
#include "lines.h"

#include <cstdio>

#include <functional>
#include <string>

namespace w32int {

// Takes the next answer for an event, under the script mutex, so events of
// all threads are answered and recorded in one order.  eventLine is the event
// as the transcript shows it, without its answer.  take asks the answers
// (qva::Answers::takeMessage or takeDialog) and returns false with the
// run's error when the next answer does not fit.  On success the actions
// written before the answer are run, the event is recorded with
// " answer=" + answerText (when recordEventLine: message boxes; a dialog's
// events are recorded by the dialog manager) and true is returned.  On a
// mismatch the event is recorded with answer=none (when recordEventLine),
// followed by an error line; in test mode scriptError() reports it and
// false is returned, otherwise the error goes to stderr and the process
// exits with status 2.
bool scriptTake(const std::string &eventLine, bool recordEventLine,
                const std::function<bool(qva::Answers &, qva::Answer *, std::string *why)> &take,
                qva::Answer *out, const std::function<std::string(const qva::Answer &)> &answerText);
// Ends the run as a mismatch does, for an answer found not to fit later.
void scriptFail(const std::string &message);
// A registry, profile, DDE or program-start call of the run that failed
// (the program goes on; its own steps do not look at these results): the
// transcript gets "failed kind=KIND call=CALL WHAT error=N text=WHY" and
// the run ends with status 3 (w32::finishRun).  why "" says it by error.
void noteFailedStep(const char *kind, const char *call, const std::string &what, DWORD error,
                    const std::string &why = "");
std::string errorText(DWORD error);
// Records a line that answers nothing (for events that need no answer).
void recordEvent(const std::string &line);
inline std::string quoteText(const std::string &s) { return qva::quote(s); }
void resetScript(); // state mutex not held; the scripted front end is reset apart
// The setup run's files, in the order runAutomated takes them, once the
// prefix is locked: the transcript (/log=, W32_TRANSCRIPT) opened, refused
// (status 2) when it cannot be opened without waiting, with the lines the
// run wrote while it waited for the prefix; then the answers (/answers=,
// W32_ANSWERS), their at-start actions carried out, and with a recording
// asked for, the answered run recorded: record(heading, path) is called
// before the at-start actions (the program entry passes the scripted front
// end's recordScriptedRun).
void openTranscriptForRun();
void loadAnswersForRun(const std::function<void(const std::string &heading, const std::string &path)> &record);
// A run ended by a signal or the terminal's Ctrl-C: its result line.
void recordInterrupted(int code = w32::kRunInterrupted);
// Ends a run before it could start: the reason and the result line go to
// the transcript, the reason to standard error; exits with code.
[[noreturn]] void endRunEarly(int code, const std::string &why);
// Takes the prefix's lock for the whole run (its file setup.lock), so
// that a second program on the prefix waits (saying so on standard error,
// and on its transcript once it has the lock) for at most W32_PREFIX_WAIT
// seconds (default 600; a larger figure is taken as ten years), then gives
// up with status 4, its transcript not touched: it may be the other run's.
void lockPrefixForRun();

// The files of the run: the answer file, the transcript and the recording,
// from the command line (/answers= /log= /record=) or else the environment
// (W32_ANSWERS, W32_TRANSCRIPT, W32_RECORD); each with the name it was given
// by, for messages.
struct RunFiles {
  std::string answers, transcript, record;
  std::string answersName = "W32_ANSWERS", transcriptName = "W32_TRANSCRIPT", recordName = "W32_RECORD";
};
// Set once by the program entry before the layer starts; without it the
// environment's.
void setRunFiles(const RunFiles &files);
RunFiles runFiles();
// (w32_run_files.cpp) Refuses (status 2, said on standard error) an output
// that names an input, the other output, one of the prefix's own files or
// one of the package's, before anything is opened.
void checkRunFiles(const RunFiles &files, const std::string &prefix);
// "" or why path can never be written by a run: one of the prefix's own
// files (its registry, locks, settings, the Program Manager's files, and
// WIN.INI, SYSTEM.INI, SYSTEM.OLD and nts.ini in C:\WINDOWS) or a new file
// beside the layer's own; or one of the package's files beside the program.
std::string prefixOwnFile(const std::string &prefix, const std::string &path);
std::string packageSourceFile(const std::string &path);
// A usage error before the run: said on standard error, status 2.
[[noreturn]] void refuseRun(const std::string &why);
// Reads an answer file: a regular file, or a pipe or device read once,
// never waited on at open and never more than 1 MiB.
bool readAnswerFile(const char *path, std::string *text, std::string *why);
// Opens the transcript for writing: a regular file is replaced, a FIFO or
// a device is written as it is; nothing ever waits at the open.
FILE *openTranscript(const char *path, std::string *why);

} // namespace w32int

#endif
