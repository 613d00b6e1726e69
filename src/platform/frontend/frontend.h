// The one narrow interface between the layer's dialog manager
// (w32_dialog.cpp) and a front end that shows dialogs to somebody: the
// scripted front end answers them from an answer file, the terminal front
// end shows them in a terminal.  The dialog manager knows nothing of either;
// a front end knows nothing of the product.
//
// The dialog manager runs the modal loop on the thread that called
// DialogBoxParamA.  It dispatches the messages posted to the dialog, and
// after every batch it asks the front end for the user's next action; when
// there is none it waits for the next posted message, at most as long as the
// front end says (wake() ends such a wait early, from any thread).
#ifndef QV_PLATFORM_FRONTEND_H
#define QV_PLATFORM_FRONTEND_H

#include <windows.h>

#include <string>
#include <vector>

namespace w32int {

// Dialog base units of the dialogs' font (MS Sans Serif 8 at 96 dpi): the
// dialog manager converts dialog units to pixels with them, a front end
// sizes its screen with them.
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;

} // namespace w32int

namespace w32fe {

// A control as the front end sees it.  Positions are in dialog units
// relative to the dialog's client area (a control created in pixels, such
// as the bitmap static, is converted).
struct ControlInfo {
  HWND hwnd = nullptr;
  int id = IDC_STATIC;
  std::string className;  // "BUTTON", "STATIC", "EDIT", "msctls_progress32"
  DWORD style = 0;
  RECT dlu = {0, 0, 0, 0};  // left, top, right, bottom
  std::string text;
  int editLimit = 0;                                 // EDIT: most characters (0: no limit)
  int progressPos = 0, progressMin = 0, progressMax = 100;  // progress bar
  const unsigned char *bitmap = nullptr;             // SS_BITMAP static: the .bmp bytes
  unsigned long bitmapSize = 0;
  const char *bitmapWords = nullptr;                 // the picture in words (w32_resource.h), or nullptr
};

struct DialogInfo {
  HWND hwnd = nullptr;
  int id = 0;  // template identifier
  std::string caption;
  DWORD style = 0;
  int cxDlu = 0, cyDlu = 0;  // client size in dialog units
  RECT window = {0, 0, 0, 0};  // window rectangle in screen pixels
  std::string fontName;
  int fontSize = 0;
  std::vector<ControlInfo> controls;  // creation and tab order
};

// What the user did.  Press: a button (control); Escape and Close reach the
// dialog as WM_COMMAND IDCANCEL, as on Windows; SetEditText replaces an edit
// control's text as typing would (the dialog is not told).
struct UserAction {
  enum Kind { Press, SetEditText, Escape, Close } kind = Press;
  int control = 0;
  std::string text;
};

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  virtual const char *name() const = 0;

  // The screen the dialogs are centred on (GetSystemMetrics).
  virtual void screenSize(int *cx, int *cy) = 0;

  // The dialog has been created and initialised: show it.  False when this
  // front end cannot show it (DialogBoxParamA then returns -1).
  virtual bool showDialog(const DialogInfo &dialog) = 0;

  // The program changed a control of a shown dialog (text or progress
  // position).  Any thread.
  virtual void controlChanged(const DialogInfo &dialog, const ControlInfo &control) = 0;

  // The user's next action on the dialog.  Called on the dialog's thread
  // whenever it is idle.  Returns:
  //   1  an action (*out set);
  //   0  nothing now: the dialog manager waits for a posted message, at most
  //      *waitMs milliseconds (INFINITE: until one arrives), and asks again;
  //  -1  the front end gives up on the run (it has said why): the dialog
  //      ends with -1.
  virtual int nextAction(const DialogInfo &dialog, UserAction *out, DWORD *waitMs) = 0;

  // The dialog has ended with result and is about to be destroyed.
  virtual void closeDialog(const DialogInfo &dialog, INT_PTR result) = 0;

  // A message box, on any thread; blocks that thread only.  The button's
  // identifier, or 0 when it cannot be shown or answered.
  virtual int messageBox(HWND owner, const std::string &text, const std::string &caption, UINT type) = 0;
};

// The front end of this process, chosen on first use: the scripted one when
// answers are given (W32_ANSWERS, or a test's w32::setAnswers), else none
// (nullptr): dialogs then fail with -1 and message boxes with 0.
FrontEnd *current();
// Tests and the program entry may choose one (nullptr: choose again).
void setCurrent(FrontEnd *frontEnd);
FrontEnd *scriptedFrontEnd();

// Ends the dialog manager's current wait for a posted message (any thread).
void wake();

// Hands the messages posted for this thread's innermost modal dialog to its
// procedure: a front end whose message box waits on the dialog's thread
// calls it from its own loop, so the dialog goes on working under the box,
// as on Windows.
void dispatchPosted();

}  // namespace w32fe

#endif
