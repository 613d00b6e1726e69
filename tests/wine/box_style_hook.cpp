// Loaded into setup.exe by the driver's window hook, it tells the driver,
// as they happen and in the order they happen, what the program does to
// its windows: a dialog initialised, a dialog destroyed, a new text of a
// dialog's static control, a new position of a progress bar. Each report
// is a WM_COPYDATA sent to the driver's window (class QuorvelDriverSink),
// so the program goes on only once the driver has recorded it. The style
// the program gave a message box (its buttons and icon) is left on the
// box's window as a property, which the driver reads when it answers.
#include <windows.h>
#include <commctrl.h>

#include <string.h>

#include "hook_reports.h"

namespace {

void report(ULONG_PTR kind, HWND window, const char *text, int number) {
  HWND sink = FindWindowA(kDriverSinkClass, NULL);
  if (sink == NULL) return;
  HookReport r = {};
  r.window = static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window));
  r.number = number;
  if (text != NULL) lstrcpynA(r.text, text, sizeof r.text);
  COPYDATASTRUCT data = {kind, sizeof r, &r};
  DWORD_PTR result;
  SendMessageTimeoutA(sink, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 10000, &result);
}

bool isDialog(HWND window) {
  char name[16] = "";
  GetClassNameA(window, name, sizeof name);
  return strcmp(name, "#32770") == 0;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK boxStyleHook(int code, WPARAM wParam, LPARAM lParam) {
  const CWPRETSTRUCT *call = reinterpret_cast<const CWPRETSTRUCT *>(lParam);
  if (code == HC_ACTION) {
    HWND w = call->hwnd;
    HWND parent = GetParent(w);
    switch (call->message) {
      case WM_INITDIALOG:
        if (call->lParam != 0 &&
            reinterpret_cast<const MSGBOXPARAMSW *>(call->lParam)->cbSize == sizeof(MSGBOXPARAMSW)) {
          // A message box is created with its parameters as the dialog's
          // initialisation value; the wizard's dialogs are given 0.
          const MSGBOXPARAMSW *box = reinterpret_cast<const MSGBOXPARAMSW *>(call->lParam);
          SetPropA(w, kBoxStyleProp, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(box->dwStyle)));
          SetPropA(w, kBoxSeenProp, reinterpret_cast<HANDLE>(1));
        } else {
          report(kReportShown, w, NULL, 0);
        }
        break;
      case WM_DESTROY:
        if (isDialog(w) && GetPropA(w, kBoxSeenProp) == NULL) report(kReportEnded, w, NULL, 0);
        break;
      case WM_SETTEXT:
        if ((GetWindowLongA(w, GWL_STYLE) & WS_CHILD) != 0 && parent != NULL && isDialog(parent) && GetPropA(parent, kBoxSeenProp) == NULL) {
          char text[sizeof(HookReport{}.text)] = "";
          GetWindowTextA(w, text, sizeof text);
          report(kReportText, w, text, GetDlgCtrlID(w));
        }
        break;
      case PBM_SETPOS: {
        int pos = static_cast<int>(SendMessageA(w, PBM_GETPOS, 0, 0));
        if (pos != static_cast<int>(call->lResult)) report(kReportProgress, w, NULL, pos);
        break;
      }
      default:
        break;
    }
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}
