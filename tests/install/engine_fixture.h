// A fresh Win32 prefix and a zeroed setup state for each test of the
// installation engine, the configuration steps and the wizard, with helpers
// to lay out and read the files they work on, and whole installation runs.
#ifndef QV_TESTS_ENGINE_FIXTURE_H
#define QV_TESTS_ENGINE_FIXTURE_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "w32_test.h"

#include "package_layout.h"
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

// Every regular file under a host directory (path relative to it, "/" for
// directories without files) with its bytes: two snapshots compare equal
// only when no file or directory was added, removed or changed.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot snapshotTree(const std::string &hostDir, const std::string &rel = "");

// A value under HKLM\Software\DunmereNetwork\Quorvel: a text (which must
// end in its zero byte) as itself, a number as "dword:N"; "(none)" if absent.
std::string quorvelValue(const char *name);

// Puts setupState and progressMeter back to their process-start values.
void clearSetupState();

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts over with an empty prefix (no files, empty registry, no program
  // groups), a new dialog window and no answers; setupState is kept.
  void freshPrefix();
  // Starts over in the prefix prefixDir (made if missing) with both records
  // zeroed, a meter total of 1,500,000 and new dialog and status windows.
  void restart(const std::string &prefixDir);

  std::string host(const std::string &windowsPath) const { return w32::hostPath(windowsPath.c_str()); }
  void writeWin(const std::string &windowsPath, const Bytes &bytes) { writeHostFile(host(windowsPath), bytes); }
  void writeWin(const std::string &windowsPath, const std::string &text) {
    writeWin(windowsPath, Bytes(text.begin(), text.end()));
  }
  Bytes readWin(const std::string &windowsPath) const { return readHostFile(host(windowsPath)); }
  std::string readText(const std::string &windowsPath) const {
    Bytes bytes = readWin(windowsPath);
    return std::string(bytes.begin(), bytes.end());
  }
  bool existsWin(const std::string &windowsPath) const { return hostExists(host(windowsPath)); }
  void makeWinDir(const std::string &windowsPath);  // with its parents
  std::string winIni() const { return readText("C:\\WINDOWS\\win.ini"); }
  void writeSystemIni(const std::string &text) { writeWin("C:\\WINDOWS\\SYSTEM.INI", text); }
  std::string systemIni() const { return readText("C:\\WINDOWS\\SYSTEM.INI"); }
  // WM_SETUP_PROGRESS messages posted to the dialog since the last call.
  int takeProgressPosts();
  // Directories c:\src\ (source) and c:\dunmere\quorvel\ (target), set in setupState.
  void useDefaultDirs();
  // An earlier installation: the WIN.INI section (each "Key=value" given),
  // mainDir\register\register.ini with a Version, and the directories.
  void layOutEarlierInstallation(const std::string &mainDir, const std::vector<std::string> &winIniKeys);

  std::string prefix;
  HWND dialog = nullptr, statusText = nullptr;
};

// Whole installation runs against packages laid out by mkpackage's code.
class ScenarioTest : public EngineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Lays out a package under the scratch directory (not in the prefix),
  // with these settings in its setup.ini.
  PackageResult makeTestPackage(const std::string &name, bool disks, bool optional, uint32_t size = 3000);
  std::vector<std::pair<std::string, std::string>> settings = {{"HomePage", "http://www.dunmere.example/"},
                                                               {"RegNo", "Q-1234"}};
  // Runs the installation from the given source into installDir.
  int run(const char *sourceDir, const std::string &answers = "", const char *installDir = "c:\\dunmere");
  // Every file of the package is installed, byte-identical, with its time,
  // and nothing else (quorvel.z itself is not).
  void expectInstalled(const PackageResult &package);
  std::vector<std::string> installedNames() { return listDir(host("c:\\dunmere\\quorvel")); }
  // The message box events of the transcript, one per line.
  std::vector<std::string> messages();

  std::string scratch;
};

#endif
