// Whole installation runs against packages laid out by mkpackage's code.
#ifndef QV_TESTS_SCENARIO_FIXTURE_H
#define QV_TESTS_SCENARIO_FIXTURE_H

#include <string>
#include <vector>

#include "engine_fixture.h"
#include "package_layout.h"

class ScenarioTest : public EngineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Lays out a package under the scratch directory (not in the prefix).
  PackageResult makeTestPackage(const std::string &name, bool disks, bool optional, uint32_t size = 3000);
  // Runs the installation with installDir c:\dunmere and the given source.
  int run(const char *sourceDir, const std::string &answers = "");
  // Every file of the package is installed, byte-identical, with its time.
  void expectInstalled(const PackageResult &package);
  std::vector<std::string> installedNames() { return listDir(host("c:\\dunmere\\quorvel")); }
  // The message box events of the transcript, one per line.
  std::vector<std::string> messages();

  std::string scratch;
  HWND statusText = nullptr;
};

#endif
