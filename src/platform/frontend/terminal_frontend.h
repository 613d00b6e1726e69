// The terminal front end: the dialogs, message boxes and a media menu in a
// terminal (ncurses), driven by the keyboard.  One thread of its own owns
// the terminal; the dialog's thread and the installation worker only hand
// it requests, so a box of the worker blocks the worker alone and the
// dialog goes on dispatching its posted messages.
//
// /record=FILE (or W32_RECORD=FILE) makes it write an answer file of what the person did,
// which replays with /answers=FILE (W32_ANSWERS) to the same transcript.
#ifndef QV_PLATFORM_TERMINAL_FRONTEND_H
#define QV_PLATFORM_TERMINAL_FRONTEND_H

#include "frontend.h"

#include <string>
#include <vector>

namespace w32fe {

// Takes over the terminal on standard input and output and returns the
// front end; nullptr (with the reason in *why) when it cannot.  The screen
// is given back at exit, on Ctrl-C and on a crash.
FrontEnd *terminalFrontEnd(std::string *why);

namespace term {

// A rectangle of character cells.
struct Cells {
  int col = 0, row = 0, cols = 0, rows = 0;
};

// A dialog laid out in cells: the client area (inside the frame) and one
// rectangle per control, relative to the client area, in the order of
// DialogInfo::controls.  Columns are x/4 of the dialog units; rows follow
// the template from the top, each control below those that end above it
// with the blank rows of the gap between them (a gap of most of a line, 6
// of a row's 8 units, is a blank row), a text taking the rows its lines
// need and pushing what is below it down.  problems lists what still does
// not fit (empty when the layout is sound).
struct Layout {
  int cols = 0, rows = 0;
  std::vector<Cells> controls;
  std::vector<std::string> problems;
};
Layout layoutDialog(const DialogInfo &dialog);

// Where the dialog's frame (its layout's client area plus the frame, the
// title bar being the top row) lies on a screen of cols x rows cells, the
// bottom row being the front end's: centred where the program placed its
// window on the screen it was told of (screenCols x screenRows cells, see
// screenSize), moved with the screen's centre when that has changed since,
// and kept on the screen.
Cells placeDialog(const DialogInfo &dialog, const Layout &layout, int screenCols, int screenRows, int cols, int rows);

// A static text broken into lines of at most width cells: at blanks, at
// line breaks, and inside a word only when the word alone is too long.
std::vector<std::string> wrapText(const std::string &text, int width);

// A button's or text's label without its '&' marks; *accel (when not
// null) gets the index of the underlined letter in the result (-1: none).
std::string stripAmpersands(const std::string &text, int *accel);

}  // namespace term
}  // namespace w32fe

#endif
