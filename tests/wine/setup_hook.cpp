// Loaded into setup.exe by the driver's window hook, it tells the driver,
// as they happen and in the order they happen, what the program does to
// its windows: a dialog initialised, a dialog destroyed, a new text of a
// dialog's static control, a new position of a progress bar. Each report
// is a WM_COPYDATA sent to the driver's window (class QuorvelDriverSink),
// so the program goes on only once the driver has recorded it. The style
// the program gave a message box (its buttons and icon) is left on the
// box's window as a property, which the driver reads when it answers.
//
// It also makes a drive slow, as the Linux layer's drive speeds do: in
// setup.exe, ReadFile of a file on a drive with a speed in the driver's
// shared table sleeps until the drive has had time to deliver the bytes.
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

typedef BOOL(WINAPI *ReadFileFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
ReadFileFn realReadFile = NULL;
const DriveSpeeds *speeds = NULL;

BOOL WINAPI slowReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
  BOOL ok = realReadFile(file, buffer, size, done, overlapped);
  char path[MAX_PATH + 8];
  DWORD length = GetFinalPathNameByHandleA(file, path, sizeof path, VOLUME_NAME_DOS);
  // \\?\D:\...
  if (ok && done != NULL && *done > 0 && length > 5 && length < sizeof path && path[5] == ':') {
    char letter = path[4];
    int drive = (letter | 0x20) - 'a';
    if (drive >= 0 && drive < 26 && speeds->bytesPerSecond[drive] != 0) {
      Sleep(static_cast<DWORD>(1000ULL * *done / speeds->bytesPerSecond[drive]));
    }
  }
  return ok;
}

// setup.exe's import of ReadFile goes through slowReadFile.
void slowDownReads() {
  char self[MAX_PATH];
  DWORD length = GetModuleFileNameA(NULL, self, sizeof self);
  if (length < 9 || lstrcmpiA(self + length - 9, "setup.exe") != 0) return;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, kDriveSpeedsName);
  if (mapping == NULL) return;
  speeds = static_cast<const DriveSpeeds *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(DriveSpeeds)));
  if (speeds == NULL) return;
  BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(NULL));
  const IMAGE_NT_HEADERS *nt =
      reinterpret_cast<const IMAGE_NT_HEADERS *>(base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (const IMAGE_IMPORT_DESCRIPTOR *d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
       dir.VirtualAddress != 0 && d->Name != 0; d++) {
    if (lstrcmpiA(reinterpret_cast<const char *>(base + d->Name), "kernel32.dll") != 0) continue;
    const IMAGE_THUNK_DATA *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + d->OriginalFirstThunk);
    IMAGE_THUNK_DATA *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; names++, slots++) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME *name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<const char *>(name->Name), "ReadFile") != 0) continue;
      DWORD old;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
      realReadFile = reinterpret_cast<ReadFileFn>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&slowReadFile);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
    }
  }
}

bool isDialog(HWND window) {
  char name[16] = "";
  GetClassNameA(window, name, sizeof name);
  return strcmp(name, "#32770") == 0;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) slowDownReads();
  return TRUE;
}

extern "C" __declspec(dllexport) LRESULT CALLBACK setupHook(int code, WPARAM wParam, LPARAM lParam) {
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
        if ((GetWindowLongA(w, GWL_STYLE) & WS_CHILD) != 0 && parent != NULL && isDialog(parent) &&
            GetPropA(parent, kBoxSeenProp) == NULL) {
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
