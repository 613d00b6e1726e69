// Test interface of the Linux Win32 layer: prefix and drive control, fault
// injection, handle accounting, the scripted front end and window queues.
// Only tests and host tools include this; product code never does.
#ifndef QV_PLATFORM_W32_TEST_H
#define QV_PLATFORM_W32_TEST_H

#include <windows.h>

#include <string>

namespace w32 {

// Operation classes that can be made to fail.
//   Open      OpenFile of an existing file (OF_READ, OF_WRITE, OF_READWRITE without OF_CREATE)
//   Create    OpenFile with OF_CREATE (create or truncate)
//   Read      ReadFile
//   Write     WriteFile
//   Alloc     HeapAlloc
//   Directory CreateDirectoryA, FindFirstFileA
//   Profile, Registry, Dde: reserved for the profile, registry and DDE calls
//   Any       every call of the classes above, counted together
enum class Fault { Open, Create, Read, Write, Alloc, Directory, Profile, Registry, Dde, Any };

// The nth call (nth >= 1) of that class from now fails; persistent: that call
// and every later one of the class fails.  Arming a class again replaces its
// earlier arming.  nth < 1 disarms the class.
void armFault(Fault cls, long nth, bool persistent);
void clearFaults();
// Calls of that class since the last resetForTest (Any: all classes).
long callCount(Fault cls);
// Open file handles + open find handles + thread handles whose thread is still
// running and whose handle is not yet closed.
long openHandleCount();
// Heap blocks from HeapAlloc not yet released with HeapFree.
long heapBlockCount();

// Fresh state: this prefix (created if missing, with drive_c/windows, win.ini
// and system.ini), no drive mappings but C: and Z:, no faults, counters 0,
// answers and transcript cleared, current directory C:\, no overrides.
// Open handles are closed; windows and their queues are dropped.
void resetForTest(const std::string &prefixDir);
std::string prefixDir();

// Where a Windows path lands on the host ("" if it cannot be mapped).
std::string hostPath(const char *windowsPath);
// The Windows path of a host path (through the drives, else Z:).
std::string windowsPath(const std::string &hostPath);
// A:, D:, ... -> host directory (the "insert a disk" action); an empty
// hostDir removes the mapping.
void mapDrive(char letter, const std::string &hostDir);
// GetDiskFreeSpaceA of that drive reports this many free bytes.
void setFreeSpaceOverride(char letter, unsigned long long bytes);
// What GetModuleFileNameA returns (NULL: back to the running program's path).
void setModuleFileName(const char *windowsPath);

// Scripted front end.  setAnswers takes text in the W32_ANSWERS format and
// replaces the remaining answers; afterwards an answer mismatch makes the
// call fail (MessageBoxA returns 0) and records scriptError(), instead of
// ending the process.
void setAnswers(const std::string &answerFileText);
std::string transcript();  // the transcript so far, W32_TRANSCRIPT format
std::string scriptError(); // "" or the last answer-mismatch error
int answersLeft();         // answers not yet consumed

// A window with a message queue, owned by the calling thread.
HWND createTestWindow();
// Pop the oldest message posted to that window (false if none).
bool takePosted(HWND w, MSG *msg);

} // namespace w32

#endif
