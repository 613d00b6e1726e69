// setup.exe's command line (automation.h): /answers=, /log=, /record=, /?.
// With an option the run is followed from inside the process: the
// program's imports of DialogBoxParamA, SetWindowTextA, SetDlgItemTextA and
// WinExec (and ReadFile, for a slow drive) are pointed at wrappers here,
// and every thread of the program gets window hooks (observe_win32.cpp).
#include "automation.h"

#include <stdio.h>
#include <string.h>

#include "options.h"
#include "win32_internal.h"

namespace qvw {

namespace {

CRITICAL_SECTION runLock;
Run *theRun = nullptr;

// Standard error, when the program was given one (a console or a pipe).
void sayOnStandardError(const std::string &text) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == NULL || err == INVALID_HANDLE_VALUE) return;
  std::string line = "setup: " + text + "\n";
  DWORD done = 0;
  WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &done, NULL);
}

std::string fullPath(const std::string &path) {
  char buf[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof buf, buf, NULL);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : path;
}

// Two names of one file (when it exists), or the same full name.
bool sameFile(const std::string &a, const std::string &b) {
  if (a.empty() || b.empty()) return false;
  if (lstrcmpiA(fullPath(a).c_str(), fullPath(b).c_str()) == 0) return true;
  HANDLE x = CreateFileA(a.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
  HANDLE y = CreateFileA(b.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
  BY_HANDLE_FILE_INFORMATION fx, fy;
  bool same = x != INVALID_HANDLE_VALUE && y != INVALID_HANDLE_VALUE && GetFileInformationByHandle(x, &fx) &&
              GetFileInformationByHandle(y, &fy) && fx.dwVolumeSerialNumber == fy.dwVolumeSerialNumber &&
              fx.nFileIndexHigh == fy.nFileIndexHigh && fx.nFileIndexLow == fy.nFileIndexLow;
  if (x != INVALID_HANDLE_VALUE) CloseHandle(x);
  if (y != INVALID_HANDLE_VALUE) CloseHandle(y);
  return same;
}

// The most an answer file may hold: it is read whole before the run.
const DWORD kAnswerFileCap = 1024 * 1024;

bool readAnswerFile(const std::string &path, std::string *text, std::string *why) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (f == INVALID_HANDLE_VALUE) {
    *why = "cannot read the answer file " + path + ": error " + std::to_string(GetLastError());
    return false;
  }
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(f, buf, sizeof buf, &got, NULL) && got > 0) {
    if (text->size() + got > kAnswerFileCap) {
      *why = "the answer file " + path + " is larger than 1 MiB";
      break;
    }
    text->append(buf, got);
  }
  CloseHandle(f);
  return why->empty();
}

// A drive can be made slow, not changed: insert and eject are carried out
// by the Linux layer and the Wine suite's driver.  An insert that names the
// drive's own root (insert d: . beside an answer file on D:) only sets its
// speed.
bool checkActions(const std::vector<qva::Action> &actions, std::string *why) {
  for (const qva::Action &a : actions) {
    std::string where = "answer file line " + std::to_string(a.line) + ": ";
    if (a.type == qva::Action::Fault || a.type == qva::Action::ClearFaults) {
      *why = where + "faults are armed by the Linux layer only";
      return false;
    }
    std::string path = a.type == qva::Action::Insert ? fullPath(a.dir) : "";
    while (path.size() > 2 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    char root[3] = {a.letter, ':', 0};
    if (a.type == qva::Action::Eject || lstrcmpiA(path.c_str(), root) != 0) {
      *why = where + "setup.exe cannot insert or eject a disk (the Linux build and the Wine suite's driver can); "
                     "it only sets the speed of a drive as it is (insert " + root + " " + root + "\\ speed N)";
      return false;
    }
  }
  return true;
}

// ---- The program's imports -----------------------------------------------

// Points the program's import of dll!name at replacement; the original
// goes to *original.  False when the program does not import it.
bool patchImport(const char *dll, const char *name, void *replacement, void **original) {
  BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(NULL));
  const IMAGE_NT_HEADERS *nt =
      reinterpret_cast<const IMAGE_NT_HEADERS *>(base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  bool found = false;
  for (const IMAGE_IMPORT_DESCRIPTOR *d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
       dir.VirtualAddress != 0 && d->Name != 0; d++) {
    if (lstrcmpiA(reinterpret_cast<const char *>(base + d->Name), dll) != 0 || d->OriginalFirstThunk == 0) continue;
    const IMAGE_THUNK_DATA *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + d->OriginalFirstThunk);
    IMAGE_THUNK_DATA *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; names++, slots++) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME *n = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<const char *>(n->Name), name) != 0) continue;
      DWORD old;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
      *original = reinterpret_cast<void *>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      found = true;
    }
  }
  return found;
}

INT_PTR(WINAPI *realDialogBoxParamA)(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) = NULL;
BOOL(WINAPI *realSetDlgItemTextA)(HWND, int, LPCSTR) = NULL;
UINT(WINAPI *realWinExec)(LPCSTR, UINT) = NULL;
BOOL(WINAPI *realReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = NULL;
DWORD(WINAPI *finalPathName)(HANDLE, LPSTR, DWORD, DWORD) = NULL;

INT_PTR WINAPI followDialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param) {
  enteringDialog(IS_INTRESOURCE(name) ? LOWORD(reinterpret_cast<ULONG_PTR>(name)) : 0);
  return realDialogBoxParamA(instance, name, owner, proc, param);
}

BOOL WINAPI followSetWindowTextA(HWND window, LPCSTR text) {
  BOOL ok = realSetWindowTextA(window, text);
  if (ok) programSetText(window);
  return ok;
}

BOOL WINAPI followSetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  BOOL ok = realSetDlgItemTextA(dialog, id, text);
  if (ok) programSetText(GetDlgItem(dialog, id));
  return ok;
}

// The program started is recorded before it is started, as on Linux.
UINT WINAPI followWinExec(LPCSTR commandLine, UINT show) {
  {
    Lock lock;
    writeLine(qva::execLine(commandLine ? commandLine : ""));
  }
  return realWinExec(commandLine, show);
}

// A read from a slow drive takes as long as the drive needs for the bytes.
BOOL WINAPI slowReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
  BOOL ok = realReadFile(file, buffer, size, done, overlapped);
  char path[MAX_PATH + 8];
  DWORD length = finalPathName ? finalPathName(file, path, sizeof path, 0) : 0;
  // \\?\D:\...
  if (ok && done != NULL && *done > 0 && length > 5 && length < sizeof path && path[5] == ':') {
    int drive = (path[4] | 0x20) - 'a';
    unsigned long speed = 0;
    if (drive >= 0 && drive < 26) {
      Lock lock;
      speed = run().speeds[drive];
    }
    if (speed != 0) Sleep(static_cast<DWORD>(1000ULL * *done / speed));
  }
  return ok;
}

void followImports() {
  void *original = NULL;
  if (patchImport("user32.dll", "DialogBoxParamA", reinterpret_cast<void *>(followDialogBoxParamA), &original))
    realDialogBoxParamA = reinterpret_cast<decltype(realDialogBoxParamA)>(original);
  if (patchImport("user32.dll", "SetWindowTextA", reinterpret_cast<void *>(followSetWindowTextA), &original))
    realSetWindowTextA = reinterpret_cast<decltype(realSetWindowTextA)>(original);
  if (patchImport("user32.dll", "SetDlgItemTextA", reinterpret_cast<void *>(followSetDlgItemTextA), &original))
    realSetDlgItemTextA = reinterpret_cast<decltype(realSetDlgItemTextA)>(original);
  if (patchImport("kernel32.dll", "WinExec", reinterpret_cast<void *>(followWinExec), &original))
    realWinExec = reinterpret_cast<decltype(realWinExec)>(original);
}

void slowDownReads() {
  finalPathName = reinterpret_cast<decltype(finalPathName)>(
      reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
  void *original = NULL;
  if (patchImport("kernel32.dll", "ReadFile", reinterpret_cast<void *>(slowReadFile), &original))
    realReadFile = reinterpret_cast<decltype(realReadFile)>(original);
}

// ---- Files -------------------------------------------------------------------

// The recording is replaced whole after every answer: written beside it
// under a new name, then renamed over it.
void writeRecording(const std::string &path, const std::string &text) {
  static unsigned serial = 0;
  std::string temp = path + ".tmp" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
  HANDLE f = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD done = 0;
  bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &done, NULL) && done == text.size();
  CloseHandle(f);
  if (!ok || !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) DeleteFileA(temp.c_str());
}

// How wide a text shows in a message box: in pixels of the box's font.
int boxTextWidth(const std::string &text) {
  NONCLIENTMETRICSA metrics;
  metrics.cbSize = sizeof metrics;
  HFONT font = NULL;
  if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
    font = CreateFontIndirectA(&metrics.lfMessageFont);
  HDC dc = GetDC(NULL);
  HGDIOBJ old = font != NULL ? SelectObject(dc, font) : NULL;
  SIZE size = {static_cast<LONG>(text.size()), 0};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
  if (old != NULL) SelectObject(dc, old);
  ReleaseDC(NULL, dc);
  if (font != NULL) DeleteObject(font);
  return size.cx;
}

// One of the package's files beside the program (setup.exe itself,
// setup.ini, the .z archives, readme.txt, bookmark.htm): "" or why it can
// never be an output.
std::string packageSourceFile(const std::string &path) {
  char program[MAX_PATH] = "";
  DWORD n = GetModuleFileNameA(NULL, program, sizeof program);
  if (n == 0 || n >= sizeof program) return "";
  if (sameFile(path, program)) return "it is the setup program";
  std::string full = fullPath(path), own = fullPath(program);
  size_t cut = full.find_last_of("\\/"), ownCut = own.find_last_of("\\/");
  if (cut == std::string::npos || ownCut == std::string::npos) return "";
  if (lstrcmpiA(full.substr(0, cut).c_str(), own.substr(0, ownCut).c_str()) != 0) return "";
  return qva::packageFileName(full.substr(cut + 1)) ? "it is one of the package's files, which the installation reads"
                                                   : "";
}

// A usage or answer-file error before the program runs: said on standard
// error and in the log when there is one; status 2.
int refuse(const std::string &why) {
  {
    Lock lock;
    writeLine(qva::errorLine(why));
    writeLine(qva::resultLine(qva::kResultUsage));
  }
  sayOnStandardError(why);
  return qva::kResultUsage;
}

}  // namespace

Lock::Lock() { EnterCriticalSection(&runLock); }
Lock::~Lock() { LeaveCriticalSection(&runLock); }

Run &run() { return *theRun; }
bool runActive() { return theRun != nullptr && theRun->active; }

BOOL(WINAPI *realSetWindowTextA)(HWND, LPCSTR) = SetWindowTextA;

void writeLine(const std::string &line) {
  if (theRun == nullptr || theRun->log == INVALID_HANDLE_VALUE) return;
  std::string out = line + "\n";
  DWORD done = 0;
  if (WriteFile(theRun->log, out.data(), static_cast<DWORD>(out.size()), &done, NULL) && done == out.size()) return;
  // A log that cannot be written (a full disk): said once, no longer
  // written, and an installed run ends with status 3.
  sayOnStandardError("cannot write the log " + theRun->logName + ": error " + std::to_string(GetLastError()) +
                     "; the run goes on without it");
  CloseHandle(theRun->log);
  theRun->log = INVALID_HANDLE_VALUE;
  theRun->logFailed = true;
}

void failRun(const std::string &why, const std::string &eventNone) {
  {
    Lock lock;
    if (!eventNone.empty()) writeLine(eventNone + " answer=none");
    writeLine(qva::errorLine(why));
    writeLine(qva::resultLine(qva::kResultUsage));
    if (theRun->log != INVALID_HANDLE_VALUE) FlushFileBuffers(theRun->log);
    sayOnStandardError(why);
    // At once, from whatever thread: nothing of the program runs on.
    TerminateProcess(GetCurrentProcess(), qva::kResultUsage);
  }
  ExitProcess(qva::kResultUsage);
}

void runActions(const std::vector<qva::Action> &actions) {
  Lock lock;
  for (const qva::Action &a : actions) {
    if (a.type == qva::Action::Insert && a.speed >= 0) run().speeds[a.letter - 'a'] = static_cast<unsigned long>(a.speed);
  }
}

}  // namespace qvw

using namespace qvw;

int runAutomated(const char *commandLine, int (*program)(void)) {
  qva::Options options;
  if (!qva::parseOptions(commandLine ? commandLine : "", &options)) {
    MessageBoxA(NULL, qva::usageErrorText(options.error).c_str(), qva::kOptionsCaption, MB_ICONERROR | MB_OK);
    return qva::kResultUsage;
  }
  if (options.help) {
    MessageBoxA(NULL, qva::optionsText(boxTextWidth).c_str(), qva::kOptionsCaption, MB_ICONINFORMATION | MB_OK);
    return 0;
  }
  if (options.answers.empty() && options.log.empty() && options.record.empty()) return program();

  InitializeCriticalSection(&runLock);
  theRun = new Run;  // never freed: the program's threads may outlive the entry
  theRun->active = true;
  // An output that is one of the run's inputs, or the other output, would
  // destroy it before it is read: refused before anything is opened.
  if (sameFile(options.log, options.answers)) return refuse("/log names the answer file " + options.answers + "; give another file");
  if (sameFile(options.record, options.answers)) return refuse("/record names the answer file " + options.answers + "; give another file");
  if (sameFile(options.log, options.record)) return refuse("/log and /record name the same file " + options.log);
  const std::pair<const char *, const std::string *> outputs[] = {{"/log", &options.log}, {"/record", &options.record}};
  for (const auto &o : outputs) {
    std::string why = o.second->empty() ? "" : packageSourceFile(*o.second);
    if (!why.empty()) return refuse(std::string(o.first) + " names " + *o.second + ", which no run may write: " + why + "; give another file");
  }
  theRun->logName = options.log;
  if (!options.log.empty()) {
    theRun->log = CreateFileA(options.log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (theRun->log == INVALID_HANDLE_VALUE) {
      return refuse("cannot write the log " + options.log + ": error " + std::to_string(GetLastError()));
    }
  }
  qva::AnswerFile file;
  if (!options.answers.empty()) {
    std::string text, why;
    std::string path = fullPath(options.answers);
    std::string base = path.substr(0, path.find_last_of("\\/") == std::string::npos ? 0 : path.find_last_of("\\/"));
    if (!readAnswerFile(options.answers, &text, &why) || !qva::parseAnswerFile(text, base, '\\', &file, &why) ||
        !checkActions(file.atStart, &why)) {
      return refuse(why);
    }
    for (const qva::Answer &a : file.answers) {
      if (!checkActions(a.before, &why)) return refuse(why);
    }
    theRun->answering = true;
    theRun->answers.load(file, true);
  }
  if (!options.record.empty()) {
    std::string path = options.record;
    theRun->recorder = new qva::Recorder("# Recorded by setup.exe; replay with /answers=FILE or W32_ANSWERS.\n",
                                         [path](const std::string &text) { writeRecording(path, text); });
  }
  followImports();
  bool slow = false;
  for (const qva::Action &a : file.atStart) slow = slow || a.speed > 0;
  for (const qva::Answer &a : file.answers) {
    for (const qva::Action &b : a.before) slow = slow || b.speed > 0;
  }
  if (slow) slowDownReads();
  runActions(file.atStart);
  hookThisThread();

  int code = program();
  Lock lock;
  if (code == qva::kResultInstalled && theRun->logFailed) code = qva::kResultWithErrors;
  writeLine(qva::resultLine(code));
  if (code == qva::kResultInstalled && theRun->logFailed) code = qva::kResultWithErrors;  // its last line
  if (theRun->answers.left() > 0) {
    const qva::Answer &a = *theRun->answers.next();
    sayOnStandardError(std::to_string(theRun->answers.left()) + " answer(s) not used, the first: answer file line " +
                       std::to_string(a.line) + " (" + a.source + ")");
  }
  if (theRun->log != INVALID_HANDLE_VALUE) FlushFileBuffers(theRun->log);
  return code;
}
