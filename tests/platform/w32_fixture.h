// A fresh prefix per test, host file helpers, a table runner for calls, and a runner for w32prefix.
#ifndef QV_TESTS_PLATFORM_W32_FIXTURE_H
#define QV_TESTS_PLATFORM_W32_FIXTURE_H

#include <windows.h>

#include "w32_test.h"

#include <gtest/gtest.h>

// The host calls most of these tests lay out their files with.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class W32Test : public ::testing::Test {
public:
  static std::string readHost(const std::string &path);
  static void writeHost(const std::string &path, const std::string &content);

protected:
  void SetUp() override;
  void TearDown() override;

  // prefix/drive_c + rel ("/Dunmere/x.txt")
  std::string cdrive(const std::string &rel = "") const { return prefix + "/drive_c" + rel; }
  // A scratch host directory outside the prefix (floppies, CDs).
  std::string scratch(const std::string &rel = "") const { return root + "/host" + rel; }
  static void makeHostDir(const std::string &path) { // with parents
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
  }
  static bool hostExists(const std::string &path) { struct stat st; return lstat(path.c_str(), &st) == 0; }

  std::string root;
  std::string prefix;
};

inline HANDLE asHandle(HFILE f) { return (HANDLE)(INT_PTR)f; }
// A call's error for a table: 0 when it succeeded, else GetLastError().
inline DWORD err(bool ok) { return ok ? 0 : GetLastError(); }
// Whether OpenFile opens the file in this style (closing it again).
inline bool opens(const char *path, UINT style) {
  HFILE f = OpenFile(path, nullptr, style);
  return f != HFILE_ERROR && CloseHandle(asHandle(f));
}
// The same as a table's call: its error.
inline std::function<DWORD()> openCall(const char *path, UINT style) {
  return [=] { return err(opens(path, style)); };
}

// A row of a table of calls: the error after SetLastError(0) (err() of its result, or returned; 0: success).
struct CallCase {
  const char *what;
  std::function<DWORD()> call;
  DWORD error;
};
void expectCalls(const std::vector<CallCase> &cases);

// body's exit status in a forked child (128 + a signal), under a file size limit and an alarm (0: none).
int inChild(const std::function<int()> &body, unsigned long fileLimit = 0, unsigned alarmSeconds = 0);

// w32prefix's output and error and its status, run with args after env.
std::string runPrefixTool(const std::string &args, int *status = nullptr, const std::string &env = "");
// A shell command's standard output and error; its exit status in *status.
std::string runShell(const std::string &command, int *status = nullptr);

// Buffers are filled with this before a call: a write past the result shows.
constexpr char kJunk = '\x5A';

#endif
