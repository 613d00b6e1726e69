// A fresh Win32 prefix and setup state for each test of the configuration
// steps, with helpers to lay out and read the files they work on.
#ifndef QV_TESTS_CONFIG_FIXTURE_H
#define QV_TESTS_CONFIG_FIXTURE_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "w32_test.h"

#include "setup_state.h"

// Every regular file under a host directory (path relative to it, "/" for
// directories without files) with its bytes: two snapshots compare equal
// only when no file or directory was added, removed or changed.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot snapshotTree(const std::string &hostDir);

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts over with an empty prefix (no files, empty registry, no program
  // groups), a new dialog window and no answers; setupState is kept.
  void freshPrefix();

  // Host path of a Windows path in the current prefix.
  std::string host(const std::string &windowsPath) const { return w32::hostPath(windowsPath.c_str()); }
  void writeWin(const std::string &windowsPath, const std::string &bytes);
  std::string readWin(const std::string &windowsPath) const;
  bool existsWin(const std::string &windowsPath) const;
  void makeWinDir(const std::string &windowsPath);  // with its parents
  TreeSnapshot snapshotDriveC() const { return snapshotTree(prefix + "/drive_c"); }

  // The standard files of the Windows directory.
  void writeWinIni(const std::string &text) { writeWin("C:\\WINDOWS\\win.ini", text); }
  std::string winIni() const { return readWin("C:\\WINDOWS\\win.ini"); }
  void writeSystemIni(const std::string &text) { writeWin("C:\\WINDOWS\\SYSTEM.INI", text); }
  std::string systemIni() const { return readWin("C:\\WINDOWS\\SYSTEM.INI"); }

  // An earlier installation: the WIN.INI section (each "Key=value" given),
  // main\register\register.ini with a Version, and the directories.
  void layOutEarlierInstallation(const std::string &mainDir, const std::vector<std::string> &winIniKeys);

  std::string prefix;
  HWND dialog = nullptr;
  bool checkHandles = true;
};

#endif
