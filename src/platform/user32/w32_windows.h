// Windows, dialogs and controls as objects (w32_window.cpp), for the dialog
// manager (w32_dialog.cpp) and the message boxes.
#ifndef QV_PLATFORM_W32_WINDOWS_H
#define QV_PLATFORM_W32_WINDOWS_H

#include "machine/w32_core.h"
#include "frontend/frontend.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace w32int {

// Every window is an object in one table (w32_window.cpp), guarded by
// windowsLock().  A dialog owns its controls; controls are found by their
// identifier.  Dialog rectangles are in screen pixels, control rectangles
// in pixels of the dialog's client area.

enum class WindowKind { Plain, Dialog, Button, Static, Edit, Progress };

struct Window {
  WindowKind kind = WindowKind::Plain;
  std::string text;
  DWORD ownerThread = 0;
  HWND self = nullptr;
  HWND parent = nullptr;  // a control's dialog
  int id = 0;             // a control's identifier, a dialog's template number
  std::string className;
  DWORD style = 0;
  DWORD exStyle = 0;
  RECT rect = {0, 0, 0, 0};
  RECT dlu = {0, 0, 0, 0};  // a control's rectangle in dialog units
  int editLimit = 0;        // EDIT: 0 = the default of 30,000 characters
  int pos = 0, rangeMin = 0, rangeMax = 100, step = 10;  // progress bar
  const unsigned char *bitmap = nullptr;                  // SS_BITMAP static
  unsigned long bitmapSize = 0;
  const char *bitmapWords = nullptr;                      // the picture in words, if any
  // Dialogs.
  DLGPROC proc = nullptr;
  const char *fontName = "";
  int fontSize = 0;
  int cxDlu = 0, cyDlu = 0;
  bool shown = false;  // showDialog succeeded; program changes are now events
  bool ended = false;  // EndDialog was called
  INT_PTR result = 0;
  std::vector<HWND> controls;  // creation order
};

std::mutex &windowsLock();
// What a front end is told of a dialog and its controls; windowsLock() held.
w32fe::DialogInfo dialogInfoLocked(const Window &dialog);
HWND createWindowObject(DWORD ownerThread);
// A new window from a filled-in object (its self and ownerThread are set here).
HWND addWindow(std::shared_ptr<Window> w);
// The window of a handle, with windowsLock() held by the caller.
std::shared_ptr<Window> windowLocked(HWND h);
// Destroys a dialog and its controls; messages still queued for them go.
void destroyDialogObjects(HWND dialog);
void dropAllWindows();
// Takes the oldest message posted to this thread for window w (or one of
// its controls); false if none.
bool takePostedFor(HWND w, MSG *msg);
// Waits until a message for window w (or one of its controls) is posted to
// this thread, wakeWaiters() is called, or ms milliseconds have passed
// (INFINITE: no limit).
void waitPosted(HWND w, DWORD ms);
void wakeWaiters();

} // namespace w32int

#endif
