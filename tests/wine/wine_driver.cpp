// Drives setup.exe from outside, as a person at the screen would: finds its
// dialogs and message boxes among the process's windows, reads their texts
// and control identifiers, types into the edit control and presses buttons
// by window messages, follows the progress bar, and answers from the same
// answer files as the Linux scripted front end, writing the same
// transcript, with the same code (src/automation: the answer file, the
// matching and its error texts, the lines).
//
//     wine_driver [--shots DIR] [--args "SETUP ARGUMENTS"] SETUP.EXE ANSWERS TRANSCRIPT [LOG]
//     wine_driver --links DIR      each shell link in DIR: NAME|TARGET|ICON
//
// Media actions (insert, eject) are handed to whoever started the driver:
// one line "insert a: DIR" or "eject a:" on standard output, and the
// driver goes on when a line comes back on standard input; a drive's speed
// is kept in a table that the hook in setup.exe reads (hook_reports.h).
// LOG is where the started program records its command line ("Quorvel
// sign-up started: COMMAND LINE"); each line it gains during the run
// becomes an exec event. With --shots, each dialog and message box is kept
// as a PNG picture in DIR as it waits for its answer (NN-dialogID.png,
// NN-message.png). Exit status: 0 when the run matched its answers, 2 when
// it did not.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "answers.h"
#include "hook_reports.h"
#include "lines.h"
#include "wine_pictures.h"

namespace {

// ---- Answer files (src/automation) -----------------------------------------

FILE *transcript = NULL;
qva::Answers answers;
qva::AnswerFile answerFile;

void record(const std::string &line) {
  fputs(line.c_str(), transcript);
  fputc('\n', transcript);
  fflush(transcript);
}

HANDLE job = NULL;

} // namespace

[[noreturn]] void fail(const std::string &why) {
  record(qva::errorLine(why));
  record(qva::resultLine(qva::kResultUsage));
  fprintf(stderr, "wine_driver: %s\n", why.c_str());
  if (job != NULL) TerminateJobObject(job, 2);
  ExitProcess(2);
}

namespace {

void loadAnswers(const char *path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(std::string("cannot read the answer file ") + path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string why;
  // Relative directories stay relative: the shell carries the actions out.
  if (!qva::parseAnswerFile(text, "", '/', &answerFile, &why)) fail(why);
  auto check = [](const std::vector<qva::Action> &actions) {
    for (const qva::Action &a : actions) {
      if (a.type == qva::Action::Fault || a.type == qva::Action::ClearFaults) {
        fail("answer file line " + std::to_string(a.line) + ": faults are armed by the Linux layer only");
      }
    }
  };
  check(answerFile.atStart);
  for (const qva::Answer &a : answerFile.answers) check(a.before);
  answers.load(answerFile, true);
}

// Hands a media action to the shell that started the driver and waits
// until it is done.
DriveSpeeds *speeds = NULL;

void runAction(const qva::Action &a) {
  if (a.type == qva::Action::Insert && a.speed >= 0) speeds->bytesPerSecond[a.letter - 'a'] = a.speed;
  std::string action = a.type == qva::Action::Insert ? std::string("insert ") + a.letter + ": " + a.dir
                                                      : std::string("eject ") + a.letter + ":";
  printf("%s\n", action.c_str());
  fflush(stdout);
  char done[256];
  if (fgets(done, sizeof done, stdin) == NULL) fail("no one carried out: " + action);
}

// ---- The program's windows -------------------------------------------------

DWORD setupProcess = 0;

std::string textOf(HWND window) {
  char buf[1024] = "";
  DWORD_PTR got = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL, 5000, &got);
  return buf;
}

std::string classOf(HWND window) {
  char buf[64] = "";
  GetClassNameA(window, buf, sizeof buf);
  return buf;
}

std::vector<HWND> children(HWND parent) {
  std::vector<HWND> out;
  for (HWND c = GetWindow(parent, GW_CHILD); c != NULL; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
  return out;
}

BOOL CALLBACK collect(HWND window, LPARAM list) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == setupProcess && IsWindowVisible(window) && classOf(window) == "#32770") {
    reinterpret_cast<std::vector<HWND> *>(list)->push_back(window);
  }
  return TRUE;
}

std::vector<HWND> visibleWindows() {
  std::vector<HWND> out;
  EnumWindows(collect, reinterpret_cast<LPARAM>(&out));
  return out;
}

// The wizard's dialogs by their controls: 0 for anything else (a message
// box).
int dialogId(HWND window) {
  if (textOf(window) == "Welcome to Quorvel!" && GetDlgItem(window, 201) != NULL) return 4;
  if (GetDlgItem(window, 104) != NULL) return 3;
  if (GetDlgItem(window, 101) != NULL) return 2;
  if (GetDlgItem(window, 201) != NULL && GetDlgItem(window, 203) != NULL) return 1;
  return 0;
}

std::vector<qva::EditField> editFields(HWND dialog) {
  std::vector<qva::EditField> out;
  for (HWND c : children(dialog)) {
    if (_stricmp(classOf(c).c_str(), "Edit") == 0) out.push_back({GetDlgCtrlID(c), textOf(c)});
  }
  return out;
}

// ---- Message boxes ---------------------------------------------------------

void answerBox(HWND box) {
  // The box's style, as the hook in setup_hook.dll saw it given.
  HANDLE seen = GetPropA(box, "QuorvelBoxSeen");
  if (seen == NULL) fail("a message box whose style the hook did not see");
  UINT style = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(GetPropA(box, "QuorvelBoxStyle")));
  std::string text;
  for (HWND c : children(box)) {
    if (_stricmp(classOf(c).c_str(), "Static") == 0 && (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) {
      text += textOf(c);
    }
  }
  std::string event = qva::messageLine(textOf(box), text, style);
  qva::Answer a;
  int id = 0;
  std::string why;
  if (!answers.takeMessage(event, text, style, &id, &a, &why)) {
    record(event + " answer=none");
    fail(why);
  }
  keepPicture(box, "message");
  for (const qva::Action &action : a.before) runAction(action);
  record(event + " answer=" + qva::buttonName(id));
  PostMessageA(GetDlgItem(box, id), BM_CLICK, 0, 0);
}

// ---- Dialog steps ------------------------------------------------------------

// A button is pressed on a thread of its own: the press returns only when
// the program has handled it, message boxes included, and this thread
// answers those meanwhile.
struct Press {
  HWND target;
  UINT message;
  WPARAM wParam;
};

DWORD WINAPI pressThread(LPVOID param) {
  Press *p = static_cast<Press *>(param);
  DWORD_PTR result;
  SendMessageTimeoutA(p->target, p->message, p->wParam, 0, SMTO_NORMAL, 600000, &result);
  return 0;
}

std::map<HWND, bool> answeredBoxes;
std::map<HWND, DWORD> boxesShown;  // when each box was first seen

void answerNewBoxes() {
  for (HWND w : visibleWindows()) {
    if (dialogId(w) != 0 || answeredBoxes[w]) continue;
    // The hook marks a box when its WM_INITDIALOG returns. A dialog without
    // the mark may also be the wizard's own caught while it is taken down
    // (its controls gone, so no identifier): such a window goes away, a box
    // gets its mark; only one that has neither after ten seconds fails.
    DWORD first = boxesShown.emplace(w, GetTickCount()).first->second;
    if (GetPropA(w, "QuorvelBoxSeen") == NULL && GetTickCount() - first < 10000) continue;
    answeredBoxes[w] = true;
    answerBox(w);
  }
}

int lastProgress = -1;
std::map<HWND, int> shown;  // dialogs recorded as shown: their identifiers
std::map<HWND, bool> ended;
std::map<HWND, std::string> texts;  // each control's text as last recorded
std::map<HWND, std::string> captions;  // each dialog's caption when it was shown

void recordStartedPrograms();

// The hook's reports, recorded as they arrive.
LRESULT CALLBACK sinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_COPYDATA) return DefWindowProcA(window, message, wParam, lParam);
  const COPYDATASTRUCT *data = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
  if (data->cbData != sizeof(HookReport)) return FALSE;
  const HookReport *r = static_cast<const HookReport *>(data->lpData);
  HWND w = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(r->window));
  switch (data->dwData) {
    case kReportShown: {
      int id = dialogId(w);
      if (id == 0 || shown.count(w) != 0) break;
      shown[w] = id;
      captions[w] = textOf(w);
      if (id == 3) lastProgress = -1;
      record(qva::dialogShowLine(id, textOf(w), editFields(w)));
      break;
    }
    case kReportEnded:
      if (shown.count(w) != 0 && !ended[w]) {
        if (shown[w] == 3) recordStartedPrograms();
        record(qva::dialogEndLine(shown[w]));
        ended[w] = true;
      }
      break;
    case kReportText:
      if (shown.count(GetParent(w)) != 0 && !ended[GetParent(w)] && texts[w] != r->text) {
        texts[w] = r->text;
        record(qva::statusLine(r->text));
      }
      break;
    case kReportProgress:
      if (shown.count(GetParent(w)) != 0 && !ended[GetParent(w)] && r->number != lastProgress) {
        lastProgress = r->number;
        record(qva::progressLine(r->number));
      }
      break;
    default:
      break;
  }
  return TRUE;
}

HANDLE setupHandle = NULL;

// Waits a moment for the program to change something; false once it has
// ended.
// Meanwhile the hook's reports are taken.
bool waitFor(HANDLE object, DWORD milliseconds) {
  DWORD got = MsgWaitForMultipleObjects(1, &object, FALSE, milliseconds, QS_ALLINPUT);
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  return got == WAIT_OBJECT_0;
}

bool pause() {
  return !waitFor(setupHandle, 2);
}

// A step of answer a on dialog id (event: the dialog as errors name it).
void runStep(HWND dialog, int id, const qva::Answer &a, const qva::Step &s, const std::string &event) {
  if (s.atPercent >= 0) {
    while (IsWindow(dialog) && lastProgress < s.atPercent) {
      answerNewBoxes();
      if (!pause()) break;
    }
  }
  if (!IsWindow(dialog)) fail(qva::Answers::endedBefore(a, id, s));
  if (s.kind == qva::Step::Edit) {
    HWND edit = GetDlgItem(dialog, s.control);
    if (edit == NULL || _stricmp(classOf(edit).c_str(), "Edit") != 0) {
      fail(qva::Answers::doesNotFit(a, "dialog " + std::to_string(id) + " has no edit control " + std::to_string(s.control), event));
    }
    DWORD_PTR result;
    texts[edit] = s.text;  // the driver's own change is no status event
    SendMessageTimeoutA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(s.text.c_str()), SMTO_NORMAL, 5000, &result);
    return;
  }
  Press press = {dialog, WM_COMMAND, IDCANCEL};
  int control = IDCANCEL;
  if (s.kind == qva::Step::Press) {
    press.target = GetDlgItem(dialog, s.control);
    if (press.target == NULL || _stricmp(classOf(press.target).c_str(), "Button") != 0 || !IsWindowEnabled(press.target)) {
      fail(qva::Answers::doesNotFit(a, "dialog " + std::to_string(id) + " has no button " + std::to_string(s.control), event));
    }
    press.message = BM_CLICK;
    press.wParam = 0;
    control = s.control;
  } else if (s.kind == qva::Step::Close) {
    // The close box: the system command, which the dialog manager turns
    // into command 2.
    press.message = WM_SYSCOMMAND;
    press.wParam = SC_CLOSE;
  }
  record(qva::dialogPressLine(id, control, editFields(dialog)));
  HANDLE thread = CreateThread(NULL, 0, pressThread, &press, 0, NULL);
  while (!waitFor(thread, 2)) answerNewBoxes();
  CloseHandle(thread);
  // A dialog ended by a sent message sees that only at its loop's next
  // posted message (a mouse click brings one): nudge it.
  PostMessageA(dialog, WM_NULL, 0, 0);
}

// ---- The started program -------------------------------------------------

std::string logPath;
DWORD startTicks = 0;
size_t logLinesBefore = 0;

std::vector<std::string> logLines() {
  std::vector<std::string> out;
  std::ifstream in(logPath, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    out.push_back(line);
  }
  return out;
}

// Called as the progress dialog goes, while setup.exe waits for this: the
// command lines that the program it started (the job's other process)
// recorded, once that program has ended (within ten minutes: a 32-bit one
// under qemu takes a minute or two to start).
void recordStartedPrograms() {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
  for (DWORD start = GetTickCount(); GetTickCount() - start < 600000;) {
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, NULL)) {
      fail("cannot query the job of the run");
    }
    if (info.ActiveProcesses <= 1) break;
    Sleep(1);
  }
  if (info.TotalProcesses >= 2) {
    fprintf(stderr, "wine_driver: setup.exe ran %lu ms to the end of the program it started\n",
            static_cast<unsigned long>(GetTickCount() - startTicks));
  }
  if (info.TotalProcesses < 2 || logPath.empty()) return;
  std::vector<std::string> lines = logLines();
  const std::string prefix = "Quorvel sign-up started: ";
  for (size_t i = logLinesBefore; i < lines.size(); i++) {
    if (lines[i].compare(0, prefix.size(), prefix) == 0) {
      record(qva::execLine(lines[i].substr(prefix.size())));
    }
  }
}


// The shell links in a directory (a Start Menu group), one a line.
int showLinks(const char *dir) {
  CoInitialize(NULL);
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((std::string(dir) + "\\*.lnk").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return 1;
  do {
    IShellLinkA *link = NULL;
    IPersistFile *file = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void **>(&link))) ||
        FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
      return 1;
    }
    std::string path = std::string(dir) + "\\" + found.cFileName;
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
    char target[MAX_PATH] = "", icon[MAX_PATH] = "";
    int iconIndex = 0;
    if (FAILED(file->Load(wide, STGM_READ))) return 1;
    link->GetPath(target, MAX_PATH, NULL, SLGP_RAWPATH);
    link->GetIconLocation(icon, MAX_PATH, &iconIndex);
    std::string name = found.cFileName;
    printf("%s|%s|%s\n", name.substr(0, name.size() - 4).c_str(), target, icon);
    file->Release();
    link->Release();
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // lines for a Unix shell: LF only
  if (argc == 3 && strcmp(argv[1], "--links") == 0) return showLinks(argv[2]);
  std::string setupArgs;
  for (;;) {
    if (argc > 2 && strcmp(argv[1], "--shots") == 0) {
      shotDir = argv[2];
    } else if (argc > 2 && strcmp(argv[1], "--args") == 0) {
      setupArgs = argv[2];
    } else {
      break;
    }
    argc -= 2;
    argv += 2;
  }
  if (argc < 4 || argc > 5) {
    fprintf(stderr,
            "usage: wine_driver [--shots DIR] [--args \"SETUP ARGUMENTS\"] SETUP.EXE ANSWERS TRANSCRIPT [LOG]\n"
            "       wine_driver --links DIR\n");
    return 2;
  }
  transcript = fopen(argv[3], "wb");
  if (transcript == NULL) {
    fprintf(stderr, "wine_driver: cannot write %s\n", argv[3]);
    return 2;
  }
  if (argc == 5) {
    logPath = argv[4];
    logLinesBefore = logLines().size();
  }
  HANDLE speedTable = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(DriveSpeeds),
                                         kDriveSpeedsName);
  speeds = speedTable ? static_cast<DriveSpeeds *>(MapViewOfFile(speedTable, FILE_MAP_WRITE, 0, 0, 0)) : NULL;
  if (speeds == NULL) fail("cannot make the table of drive speeds");
  loadAnswers(argv[2]);

  // The hook that setup.exe loads (setup_hook.dll, beside this program)
  // and the window it reports to.
  char here[MAX_PATH];
  GetModuleFileNameA(NULL, here, sizeof here);
  strcpy(strrchr(here, '\\') + 1, "setup_hook.dll");
  HMODULE hookDll = LoadLibraryA(here);
  FARPROC hookEntry = hookDll ? GetProcAddress(hookDll, "setupHook") : NULL;
  HOOKPROC hookProc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void *>(hookEntry));
  WNDCLASSA sinkClass = {};
  sinkClass.lpfnWndProc = sinkProc;
  sinkClass.lpszClassName = kDriverSinkClass;
  if (!RegisterClassA(&sinkClass) ||
      CreateWindowExA(0, kDriverSinkClass, "", WS_POPUP, 0, 0, 0, 0, NULL, NULL, NULL, NULL) == NULL) {
    fail("cannot make the window the hook reports to");
  }
  if (hookProc == NULL || SetWindowsHookExA(WH_CALLWNDPROCRET, hookProc, hookDll, 0) == NULL) {
    fail(std::string("cannot set the hook from ") + here);
  }

  for (const qva::Action &action : answerFile.atStart) runAction(action);

  job = CreateJobObjectA(NULL, NULL);
  STARTUPINFOA start = {};
  start.cb = sizeof start;
  PROCESS_INFORMATION info = {};
  std::string command = "\"" + std::string(argv[1]) + "\"" + (setupArgs.empty() ? "" : " " + setupArgs);
  if (job == NULL || !CreateProcessA(argv[1], &command[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &start,
                                     &info)) {
    fail(std::string("cannot start ") + argv[1]);
  }
  AssignProcessToJobObject(job, info.hProcess);
  setupProcess = info.dwProcessId;
  setupHandle = info.hProcess;
  startTicks = GetTickCount();
  ResumeThread(info.hThread);

  // One dialog at a time is the wizard's: it waits for its answer once
  // shown, and again whenever it is still open after one.
  std::map<HWND, bool> answered;
  for (;;) {
    bool running = pause();
    answerNewBoxes();
    for (HWND w : visibleWindows()) {
      if (shown.count(w) == 0 || answered[w]) continue;
      int id = shown[w];
      keepPicture(w, ("dialog" + std::to_string(id)).c_str());
      bool waiting = true;
      std::string event = qva::dialogEvent(id, textOf(w));
      while (waiting && IsWindow(w) && IsWindowVisible(w)) {
        qva::Answer a;
        std::string why;
        if (!answers.takeDialog(event, id, &a, &why)) fail(why);
        answered[w] = true;
        for (const qva::Action &action : a.before) runAction(action);
        for (const qva::Step &s : a.steps) {
          if (s.kind == qva::Step::Wait) {
            waiting = false;
            break;
          }
          runStep(w, id, a, s, event);
        }
      }
    }
    // A dialog that ended before it was seen waiting (the progress dialog
    // of a quick installation): its answer is taken as the Linux build
    // takes it when the dialog is shown, and must be one that only waits.
    for (const auto &sw : shown) {
      HWND w = sw.first;
      if (answered[w] || !ended[w]) continue;
      answered[w] = true;
      qva::Answer a;
      std::string why;
      if (!answers.takeDialog(qva::dialogEvent(sw.second, captions[w]), sw.second, &a, &why)) fail(why);
      for (const qva::Action &action : a.before) runAction(action);
      if (!a.steps.empty() && a.steps.front().kind != qva::Step::Wait)
        fail("answer file line " + std::to_string(a.line) + " (" + a.source + "): dialog " +
             std::to_string(sw.second) + " ended before its steps were taken");
    }
    if (!running) break;
  }
  DWORD code = 0;
  GetExitCodeProcess(setupHandle, &code);
  // The run's end, as the Linux build's transcript ends.
  record(qva::resultLine(static_cast<int>(code)));
  if (answers.left() > 0) {
    const qva::Answer &a = *answers.next();
    fprintf(stderr, "wine_driver: %u answer(s) not used, the first: answer file line %d (%s)\n",
            static_cast<unsigned>(answers.left()), a.line, a.source.c_str());
    return 99;
  }
  return static_cast<int>(code);  // setup.exe's own status
}
