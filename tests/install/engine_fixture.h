// A fresh Win32 prefix and a zeroed setup state for each engine test.
#ifndef QV_TESTS_ENGINE_FIXTURE_H
#define QV_TESTS_ENGINE_FIXTURE_H

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "w32_test.h"

#include "progress_meter.h"
#include "setup_state.h"

using Bytes = std::vector<unsigned char>;

std::string makeTempDir(const char *tag);
void removeTree(const std::string &dir);
void writeHostFile(const std::string &path, const Bytes &bytes);
Bytes readHostFile(const std::string &path);
bool hostExists(const std::string &path);
void setHostMtime(const std::string &path, uint64_t fileTime);
uint64_t hostMtime(const std::string &path);  // as FILETIME
std::vector<std::string> listDir(const std::string &dir);  // sorted names
Bytes patternBytes(size_t size, uint32_t seed);

// Puts setupState and progressMeter back to their process-start values.
void clearSetupState();

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Host path of a Windows path in the current prefix.
  std::string host(const char *windowsPath) const { return w32::hostPath(windowsPath); }
  void writeWin(const char *windowsPath, const Bytes &bytes) { writeHostFile(host(windowsPath), bytes); }
  Bytes readWin(const char *windowsPath) const { return readHostFile(host(windowsPath)); }
  // WM_SETUP_PROGRESS messages posted to the dialog since the last call.
  int takeProgressPosts();
  // Directories c:\src\ (source) and c:\dunmere\quorvel\ (target), set in setupState.
  void useDefaultDirs();

  std::string prefix;
  HWND dialog = nullptr;
};

#endif
