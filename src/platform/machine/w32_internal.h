// Shared state and helpers of the Linux Win32 layer (not for product code).
#ifndef QV_PLATFORM_W32_INTERNAL_H
#define QV_PLATFORM_W32_INTERNAL_H

// The layer's own sources use the C library's fopen on host paths.
#define QV_W32_LAYER_BUILD 1
#include <windows.h>

#include "w32_test.h"
#include "frontend/frontend.h"
#include "answers.h"
#include "lines.h"

#include <sys/types.h>

#include <cstdio>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace w32int {

// ---- Kernel objects behind HANDLE values --------------------------------

enum class ObjKind { File, Find, Thread, Stream, RegKey };

struct Object {
  explicit Object(ObjKind k) : kind(k) {}
  virtual ~Object() = default;
  ObjKind kind;
};

struct FileObject : Object {
  FileObject() : Object(ObjKind::File) {}
  ~FileObject() override;
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  int denyRead = 0;  // OF_SHARE_* of this open: others may not read
  int denyWrite = 0; // others may not write
  dev_t dev = 0;
  ino_t ino = 0;
  std::string windowsPath;
  char drive = 0;          // 'a'..'z'
  unsigned long speed = 0; // the drive's simulated read speed when opened (0: full)
  // Write-behind (w32_write_behind.cpp), under behindLock: the bytes
  // WriteFile holds back, and a failed hand-over kept for the next call.
  std::mutex behindLock;
  std::vector<char> behind;
  off_t behindAt = 0; // where the held-back bytes go in the host file
  DWORD deferredError = 0;
};

// The most a handle holds back.
constexpr size_t kWriteBehind = 256 * 1024;

// WriteFile's work once the checks have passed.
BOOL holdWrite(FileObject &f, const char *data, DWORD count, LPDWORD done);
// Every other call on a file handle starts here, so it sees the file as
// written: hands the held-back bytes over and reports a kept failure
// (false, error set).
bool settleWrites(FileObject &f);
// Hands every handle's held-back bytes to the host, for the calls that look
// at files by name. Cheap when none are held.
void flushWritesBehind();

struct FindObject : Object {
  FindObject() : Object(ObjKind::Find) {}
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;
};

struct ThreadObject : Object {
  ThreadObject() : Object(ObjKind::Thread) {}
  std::mutex m;
  std::condition_variable cv;
  std::atomic<bool> done{false};
  DWORD exitCode = STILL_ACTIVE;
  DWORD id = 0;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID param = nullptr;
};

// A FILE * opened by w32_fopen on a Windows path (the stream owns the
// descriptor; this entry only makes it count and lets share checks see it).
struct StreamObject : Object {
  StreamObject() : Object(ObjKind::Stream) {}
  dev_t dev = 0;
  ino_t ino = 0;
  bool canWrite = false;
};

// An open registry key: its root and path, looked up again on every call.
struct RegKeyObject : Object {
  RegKeyObject() : Object(ObjKind::RegKey) {}
  int root = 0;                   // index into the registry's roots
  std::vector<std::string> path;  // components below the root
  DWORD access = 0;               // REGSAM granted
};

// ---- Process-wide state --------------------------------------------------

constexpr int kFaultClasses = 10;

struct FaultArm {
  bool armed = false;
  long countdown = 0;
  bool persistent = false;
  bool firing = false;
};

struct State {
  std::mutex m; // guards everything below
  std::string prefix;  // resolved once: no link on the way (set by usePrefix)
  std::atomic<unsigned> prefixGeneration{0}; // counts changes of prefix
  bool testMode = false;
  std::string currentDir = "C:\\";
  std::map<char, unsigned long long> freeSpaceOverride;
  bool hasModuleOverride = false;
  std::string moduleOverride;
  FaultArm arms[kFaultClasses];
  long counts[kFaultClasses] = {};
  std::map<intptr_t, std::shared_ptr<Object>> handles;
  intptr_t nextHandle = 0x100;
  std::unordered_set<void *> heapBlocks;
};

State &state();   // initialised on first use (prefix, answers, transcript)
void ensureInit(); // called by every entry point
// Changes whenever the prefix does: what depends on the prefix's path may be
// kept until it changes.
unsigned prefixGeneration();

// ---- The prefix (w32_prefix.cpp) -----------------------------------------

// The prefix named by W32_PREFIX, else $HOME/.quorvel-w32, else the
// system's home directory of the user + /.quorvel-w32 ("" if none).
std::string defaultPrefix();

// A prefix as resolved: its path without links, its directory open (O_PATH),
// and whether it is new (made now, or an empty directory).
struct OpenedPrefix {
  std::string path;
  int fd = -1;
  bool fresh = false;
};
// Resolves the prefix named `given` once, walking it from / and following
// its links by hand: "" when it may be used, else why not (nothing made
// then).  Refused: a path on which a directory belongs to another user (not
// root) or is writable by others without being sticky, a link in a sticky
// directory that another user owns, the root directory, anything but a
// directory, a prefix (or its dosdevices) not the user's own or writable by
// others, a directory with other things but no prefix in it.  With create,
// a missing prefix (and the directories above it) is made, mode 0755;
// without, *out->path names it and no descriptor is opened.
std::string openPrefix(const std::string &given, bool create, OpenedPrefix *out);
// Makes p the prefix of the run (its descriptor is kept; the one before closed).
void usePrefix(const OpenedPrefix &p);
// openPrefix without making anything or keeping anything open.
std::string prefixProblem(const std::string &prefix);
// Lays the prefix out: drive_c/windows with win.ini and system.ini,
// dosdevices with c: and z:, and for a fresh prefix the directories of a
// fresh Windows 95 C: (WINDOWS\SYSTEM, WINDOWS\TEMP, Program Files,
// Program Files\Accessories).  What the layer makes here has fixed modes,
// 0755 and 0644, whatever the umask.  With reset, every other drive link is
// removed.
void preparePrefix(const OpenedPrefix &p, bool reset);

// The prefix's own files and directories, named relative to it
// ("system.reg", "progman/groups.ini"), reached from its descriptor without
// following a link.  A link, a FIFO, a device or a directory in the way is
// not one of them: EINVAL.
//   openPrefixFile   open(2) flags; with O_CREAT a new file is mode 0644
//   readPrefixFile   the whole file, at most kPrefixFileCap; missing: empty
//   replacePrefixFile  a new file renamed over it (its directory made when missing)
//   prefixFileMissing  whether nothing of that name is there
//   removePrefixFile   unlinks it (true when it is gone or was never there)
//   makePrefixDir    a directory of the prefix, mode 0755 (there already: left)
//   openPrefixDir    a directory of the prefix (O_PATH, or for reading)
int openPrefixFile(const std::string &name, int flags);
bool prefixFileMissing(const std::string &name);
bool replacePrefixFile(const std::string &name, const std::string &bytes);
bool removePrefixFile(const std::string &name);
void makePrefixDir(const std::string &name);
int openPrefixDir(const std::string &name, bool forReading = false);
// A host directory (a drive's root), from the prefix's descriptor when it
// lies in the prefix.
int openHostDir(const std::string &hostDir, bool forReading = false);
// What dosdevices/<letter>: says: a link's text ("" when it is none), or
// *isDirectory when it is a directory itself.
std::string driveLink(char letter, bool *isDirectory);

// ---- Errors, faults, handles --------------------------------------------

void setError(DWORD code);
DWORD errnoToWin(int e);

// Counts one call of the class (and of Any); true if the call must fail.
bool faultHit(w32::Fault cls);

HANDLE addHandle(std::shared_ptr<Object> obj); // caller holds no lock
std::shared_ptr<Object> findHandle(HANDLE h, ObjKind kind);
bool dropHandle(HANDLE h, ObjKind kind);

struct ResolvedPath;

// True when a handle or stream of this process has the host file open
// (for DeleteFileA and CopyFileA: Windows refuses to replace an open file).
bool hostFileInUse(dev_t dev, ino_t ino);

// The Windows directory, "C:\WINDOWS", and its host directory.
const char *windowsDirectory();

// Host path of a profile file name: a bare name is in the Windows
// directory.  False with *err set when it cannot be mapped.
bool profileHostPath(const char *fileName, ResolvedPath *out, DWORD *err);

// Files replaced whole: writes bytes to a temporary file beside host and
// renames it over host (keeping host's permission bits when it exists).
// False with errno set on failure; host is then unchanged.
bool replaceHostFile(const std::string &host, const std::string &bytes);
// The same for the entry name of directory dirFd.  A regular file replaced
// keeps its mode; a new one gets newMode (0: 0666 less the umask).  An
// entry that is not a regular file (a FIFO, a device, a link) is never
// replaced: false with EACCES.
bool replaceFileAt(int dirFd, const std::string &name, const std::string &bytes, mode_t newMode = 0);
// A file about to be written that has other names (hard links) becomes one
// of its own first: the entry name of dirFd, open as fd, is replaced by a
// copy with its mode (empty when truncating), so what the other names hold
// stays as it is.  The copy's descriptor, opened with flags' access and
// O_APPEND, at its start; -1 with errno set, the entry unchanged.
int unshareFileAt(int dirFd, const std::string &name, int fd, int flags);

// The prefix's own files (system.reg, progman/groups.ini) are read only when
// they are regular files of at most this size: a FIFO, a device or a link
// to one would hang the reader or fill the memory.
constexpr off_t kPrefixFileCap = 64 * 1024 * 1024;

// Reads a prefix file whole into *out.  0 on success, a missing file reading
// as empty; otherwise an errno value: EINVAL for something that is not a
// regular file (a link included), EFBIG for a file over kPrefixFileCap, else
// why it could not be read.  Never blocks on a FIFO.
int readPrefixFile(const std::string &name, std::string *out);
// Reads what the descriptor holds from its start (a regular file of at most
// kPrefixFileCap), for a reader that keeps the file open.
int readPrefixFd(int fd, std::string *out);

// An advisory lock on a file of the prefix (flock), for the read-modify-write of the
// prefix's own files between processes.  Blocks until granted.
class HostFileLock {
public:
  HostFileLock(const std::string &prefixName, bool exclusive);
  ~HostFileLock();
  HostFileLock(const HostFileLock &) = delete;
  HostFileLock &operator=(const HostFileLock &) = delete;
  bool held() const { return fd_ >= 0; }

private:
  int fd_ = -1;
};

// Simulated drive speeds (w32_media.cpp), kept in the prefix's drivespeed
// file.  driveSpeed reads it (0: full speed); a file takes its drive's
// speed when opened.  throttleRead sleeps, with no layer lock held, until
// the drive has had time to deliver the bytes just read; readers of one
// drive share its bandwidth.
unsigned long driveSpeed(char drive);
int setDriveSpeedInternal(char letter, unsigned long bytesPerSecond); // 0 or an errno value
void throttleRead(char drive, unsigned long bytesPerSecond, size_t bytes);

// The DDE library and the Program Manager stand-in.
long ddeOpenObjects();  // instances, string handles and conversations alive
void resetDde();        // drops every instance; stand-in back to Normal, no commands

// The test controls without ensureInit, for use during initialisation.
void armFaultInternal(w32::Fault cls, long nth, bool persistent);
void clearFaultsInternal();
int mapDriveInternal(char letter, const std::string &hostDir); // 0 or an errno value
std::string absolutePath(const std::string &p);

// ---- Paths ----------------------------------------------------------------

struct ResolvedPath {
  char drive = 0;                      // 'a'..'z'
  std::string windows;                 // normalised full path, e.g. C:\DUNMERE\x.txt
  std::vector<std::string> components; // after the drive root, as given
  bool trailingSeparator = false;      // the input ended in \ or /
  std::string hostRoot;                // host directory of the drive
  std::string host;                    // host path (existing parts in their host spelling)
  bool exists = false;                 // the full path exists on the host
  bool parentExists = false;           // everything but the last component exists as a directory
  // The last component as the directory holds it, not followed if it is a
  // link: what DeleteFileA removes.  host is where it leads (the same
  // unless it is a link that stays beneath the drive).
  std::string entry;
  bool escapes = false;                // the last component is a link that leaves the drive
  bool readOnly = false;               // the drive maps the host's root: nothing on it is changed
};

// Parses and maps a Windows path.  On failure sets *err to the Win32 error
// (ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE,
// ERROR_NOT_READY) and returns false.  wildcardsInLast allows * and ? in the
// last component (directory searches).
bool resolvePath(const char *windowsPath, bool wildcardsInLast, ResolvedPath *out, DWORD *err);

// The drive as a jail (w32_jail.cpp).  Each reaches a host path beneath
// root (hostRoot of a ResolvedPath) without following any link; a link met
// on the way, or a path not beneath root, fails with EACCES.
//   jailParent      the directory that holds host (O_PATH), and host's last name
//   openFileInDrive open(2) of r.host, refusing (EACCES) a link that leaves
//                   the drive and anything but a regular file (EISDIR for a
//                   directory), never blocking on a FIFO
//   openDirInDrive  a directory of the drive, for reading its entries
//   replaceFileInDrive  replaceHostFile for r.host, in its own directory
// Where the link entry leads, without links, when that lies beneath root;
// "" when it leaves root or cannot be followed.
std::string linkTargetBeneath(const std::string &entry, const std::string &root);
int jailParent(const std::string &root, const std::string &host, std::string *name);
int openFileInDrive(const ResolvedPath &r, int flags, mode_t mode);
int openDirInDrive(const ResolvedPath &r, const std::string &hostDir);
bool replaceFileInDrive(const ResolvedPath &r, const std::string &bytes);

// Host directory of a drive letter ("" if the drive is not mapped).
std::string driveHostRoot(char letter);
std::string hostToWindows(const std::string &hostPath);

// ASCII case-insensitive comparisons, as FAT and Windows use them.
bool equalsNoCase(std::string_view a, std::string_view b);
bool wildcardMatch(const char *pattern, const char *name); // * and ?, case-insensitive

// FILETIME <-> host time.
ULONGLONG fileTimeFromTimespec(long long sec, long nsec);
void timespecFromFileTime(ULONGLONG ft, long long *sec, long *nsec);

// ---- Windows ----------------------------------------------------------------
//
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

// Dialog base units of the dialogs' font (MS Sans Serif 8 at 96 dpi).
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;

// ---- Scripted front end -----------------------------------------------------

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
void resetScript(); // state mutex not held
// The setup run's files, in the order runAutomated takes them, once the
// prefix is locked: the transcript (/log=, W32_TRANSCRIPT) opened, refused
// (status 2) when it cannot be opened without waiting, with the lines the
// run wrote while it waited for the prefix; then the answers (/answers=,
// W32_ANSWERS), their at-start actions carried out, and with a recording
// asked for, the answered run recorded (recordScriptedRun).
void openTranscriptForRun();
void loadAnswersForRun();
// The scripted front end records the run as the terminal front end records
// a person: heading first, the file at path replaced after every change.
void recordScriptedRun(const std::string &heading, const std::string &path);
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
// The scripted front end forgets the dialog it was answering (tests).
void resetScriptedFrontEnd();
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
// The program's name and path for its messages, and the terminal front
// end, which only programs link (main() sets them).
extern const char *programName;
extern const char *programPath;
void setTerminalFrontEnd(w32fe::FrontEnd *(*factory)(std::string *why));

// Writes all n bytes to fd, retrying short writes; false (errno set) on failure.
bool writeAll(int fd, const char *p, size_t n);

} // namespace w32int

#endif
