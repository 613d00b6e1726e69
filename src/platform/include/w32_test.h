// Test interface of the Linux Win32 layer: prefix and drive control, fault
// injection, handle accounting, the scripted front end and window queues.
// Only tests and host tools include this; product code never does.
#ifndef QV_PLATFORM_W32_TEST_H
#define QV_PLATFORM_W32_TEST_H

#include <windows.h>

#include <string>
#include <vector>

namespace w32 {

// Operation classes that can be made to fail.
//   Open      OpenFile of an existing file (OF_READ, OF_WRITE, OF_READWRITE without OF_CREATE)
//   Create    OpenFile with OF_CREATE (create or truncate)
//   Read      ReadFile
//   Write     WriteFile
//   Alloc     HeapAlloc
//   Directory CreateDirectoryA, FindFirstFileA, DeleteFileA, RemoveDirectoryA
//   Profile   Get/WriteProfileStringA, Get/WritePrivateProfileStringA: a failing
//             read gives the default (as for an unreadable file), a failing
//             write FALSE with ERROR_ACCESS_DENIED and the file unchanged
//   Registry  every Reg* call but RegCloseKey: ERROR_REGISTRY_IO_FAILED
//   Dde       DdeInitializeA (DMLERR_SYS_ERROR), DdeCreateStringHandleA (NULL,
//             DMLERR_SYS_ERROR), DdeConnect (NULL, DMLERR_NO_CONV_ESTABLISHED),
//             DdeClientTransaction (0, DMLERR_POSTMSG_FAILED, nothing sent)
//   Any       every call of the classes above, counted together
// CopyFileA counts as Create; w32_fopen of a Windows path as Open (reading)
// or Create (writing, appending), its buffer refills as Read and its buffer
// writes as Write.  Calls that release something (CloseHandle, FindClose,
// RegCloseKey, fclose, DdeDisconnect, DdeFreeStringHandle, DdeUninitialize)
// never fail and are not counted.
enum class Fault { Open, Create, Read, Write, Alloc, Directory, Profile, Registry, Dde, Any };

// The nth call (nth >= 1) of that class from now fails; persistent: that call
// and every later one of the class fails.  Arming a class again replaces its
// earlier arming.  nth < 1 disarms the class.
void armFault(Fault cls, long nth, bool persistent);
void clearFaults();
// Calls of that class since the last resetForTest (Any: all classes).
long callCount(Fault cls);
// Open file handles + open find handles + thread handles whose thread is still
// running and whose handle is not yet closed + open streams of Windows paths
// + open registry keys + DDE instances, string handle references and
// conversations.
long openHandleCount();
// Heap blocks from HeapAlloc not yet released with HeapFree.
long heapBlockCount();

// Fresh state: this prefix (created if missing, with drive_c/windows, win.ini
// and system.ini), no drive mappings but C: and Z:, no faults, counters 0,
// answers and transcript cleared, current directory C:\, no overrides (the
// prefix's freespace and drivespeed files are removed too).  Open handles
// are closed; windows and their queues are dropped; DDE instances are
// dropped and the Program Manager stand-in is back to Normal with no
// commands received and no current group.  Files in the prefix
// (system.reg, progman/groups.ini) stay.
void resetForTest(const std::string &prefixDir);
std::string prefixDir();
// The prefix a program would use: W32_PREFIX, else $HOME/.quorvel-w32, else
// the user's home directory from the system + /.quorvel-w32; "" if none.
std::string defaultPrefixPath();
// "" when the directory may serve as a prefix (a missing one is made on
// first use); else why not.  A program refuses to start on such a prefix.
std::string prefixProblem(const std::string &prefix);
// "" when a program may write the host file path; else why not: one of the
// prefix's own files (system.reg and its lock, the run's lock, freespace,
// drivespeed, the Program Manager's files, and WIN.INI, SYSTEM.INI,
// SYSTEM.OLD and nts.ini in C:\WINDOWS, a link or a second name of one
// included), or a new file beside the layer's own.
std::string prefixOwnFile(const std::string &path);
// A file of the prefix (freespace, drivespeed, ...) as the layer reads and
// writes its own: a regular file reached without a link, read whole (a
// missing one empty) or replaced whole.  0, or an errno value (EINVAL:
// a link, or not a regular file).
int readPrefixFile(const std::string &name, std::string *text);
int writePrefixFile(const std::string &name, const std::string &text);
// The host directory a drive letter maps ("" when it is not mapped).
std::string driveHostDir(char letter);

// Where a Windows path lands on the host ("" if it cannot be mapped).
std::string hostPath(const char *windowsPath);
// The Windows path of a host path (through the drives, else Z:).
std::string windowsPath(const std::string &hostPath);
// A:, D:, ... -> host directory (the "insert a disk" action); an empty
// hostDir removes the mapping.  False (errno set) when it cannot be made.
bool mapDrive(char letter, const std::string &hostDir);
// GetDiskFreeSpaceA of that drive reports this many free bytes.  (The
// prefix's freespace file, which w32prefix writes, does the same for every
// program using the prefix; this override comes first.)
void setFreeSpaceOverride(char letter, unsigned long long bytes);
// Reads from that drive deliver at most bytesPerSecond, as a floppy or a CD
// would (0: full speed).  The speed belongs to the letter: mapping another
// directory there keeps it.  It is kept in the prefix's drivespeed file, so
// every program on the prefix sees it, and a file takes it when opened.
bool setDriveSpeed(char letter, unsigned long bytesPerSecond); // false (errno set): not saved
unsigned long driveSpeed(char letter); // 0: full speed
// What GetModuleFileNameA returns (NULL: back to the running program's path).
void setModuleFileName(const char *windowsPath);
// What LoadStringA gives for string id instead of the program's string
// table (NULL: the table's again).  resetForTest leaves it.
void setStringResource(UINT id, const char *text);

// Scripted front end.  setAnswers takes text in the W32_ANSWERS format and
// replaces the remaining answers; afterwards an answer mismatch makes the
// call fail (MessageBoxA returns 0) and records scriptError(), instead of
// ending the process.
void setAnswers(const std::string &answerFileText);
std::string transcript();  // the transcript so far, W32_TRANSCRIPT format
std::string scriptError(); // "" or the last answer-mismatch error
int answersLeft();         // answers not yet consumed

// Every run of a program ends with one of these statuses, and its
// transcript with the line result code=N text="...".
constexpr int kRunInstalled = 0;   // installed, and the program started
constexpr int kRunCancelled = 1;   // cancelled by the user
constexpr int kRunUsage = 2;       // an answer file that does not fit, or a usage error
constexpr int kRunWithErrors = 3;  // installed, but a registry, profile, DDE or start step failed
constexpr int kRunNotStarted = 4;  // setup could not start
constexpr int kRunInterrupted = 130;  // ended by SIGINT (Ctrl-C); SIGHUP and SIGTERM end a run with 129 and 143
// The run's status from the program's own (WinMain's) result: installed
// becomes installed with errors when a step failed on the way.  Writes the
// result line (once) and returns the status.
int finishRun(int programResult);
// Registry, profile, DDE and program-start calls that failed in this run.
long failedSteps();

// A window with a message queue, owned by the calling thread.
HWND createTestWindow();
// Pop the oldest message posted to that window (false if none).
bool takePosted(HWND w, MSG *msg);

// A batch of registry changes made as one, for tools that change many
// values (w32prefix reg import): from begin to commit the registry's lock
// is held and the Reg* calls of this process change the tree in memory
// only; commit writes the file once (ERROR_SUCCESS, or the write's error
// with the file as it was), abandon forgets the changes.  A process that
// ends in between leaves the file as it was.
LONG beginRegistryBatch();
LONG commitRegistryBatch();
void abandonRegistryBatch();

// The registry's limits, as Windows has them: a key name of at most 255
// characters, a tree at most 512 levels deep below its root key (HKCR's
// keys lie two levels down, under HKLM\Software\Classes).  A change that
// would make system.reg larger than the 64 MiB the layer reads is not
// written: ERROR_FILE_TOO_LARGE, the registry as it was.
constexpr size_t kRegistryMaxKeyName = 255;
constexpr size_t kRegistryMaxDepth = 512;

// ---- Program Manager stand-in (the DDE server "PROGMAN", topic "PROGMAN") ----
//
//   Normal               carries out CreateGroup, ShowGroup, DeleteGroup,
//                        AddItem and DeleteItem; a malformed or failing
//                        command is rejected (DMLERR_NOTPROCESSED)
//   DisconnectAfterFirst as Normal for the first execute of each conversation,
//                        then ends that conversation (the client's callback
//                        gets XTYP_DISCONNECT)
//   RejectAll            every execute is rejected (DMLERR_NOTPROCESSED)
//   NeverAnswer          executes are received but never answered: the
//                        transaction fails after its time-out
//                        (DMLERR_EXECACKTIMEOUT)
//   Absent               no server: DdeConnect fails (DMLERR_NO_CONV_ESTABLISHED)
enum class ProgmanMode { Normal, DisconnectAfterFirst, RejectAll, NeverAnswer, Absent };
void setProgmanServer(ProgmanMode mode);    // Normal after resetForTest
std::vector<std::string> progmanCommands(); // execute strings received, in order
std::string progmanGroupsText();            // prefix/progman/groups.ini as stored ("" if none)

// A critical error of the DDE library (Windows reports running low on
// memory so): every DDE instance's callback gets XTYP_ERROR with this code
// in dwData1, during the instance's next DdeConnect, DdeClientTransaction or
// DdeDisconnect on its own thread.
void raiseDdeError(unsigned dmlError);

} // namespace w32

#endif
