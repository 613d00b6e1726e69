// The setup program's command line: /answers=FILE (run from an answer
// file), /log=FILE (write the transcript), /record=FILE (record the user's
// answers as an answer file), /? (show them).  README.md, "Answer files and
// transcripts", says what each does; each build implements this entry its
// own way (Windows: automation/win32/, Linux: the layer).
#ifndef QV_AUTOMATION_H
#define QV_AUTOMATION_H

// Runs program (the setup program's start-up and wizard, which returns the
// run's result) as commandLine asks, and returns the program's exit
// status.  With no option on the command line (any other word is ignored)
// it calls program and returns its result: nothing else happens.  An
// option written wrongly or /? is answered with a message box before
// anything else is done.
int runAutomated(const char *commandLine, int (*program)(void));

#endif
