// Whole runs of the setup program, in this process through WinMain and as the real binary.
#ifndef QV_TESTS_WIZARD_FIXTURE_H
#define QV_TESTS_WIZARD_FIXTURE_H

#include <string>
#include <vector>

#include "engine_fixture.h"
#include "package_layout.h"

// The answers through the wizard's three dialogs, and on to a whole installation.
const std::string kWizard = "dialog 4 press 201\ndialog 1 press 201\ndialog 2 press 201\n",
                  kInstall = kWizard + "dialog 3 wait\n";

class WizardTest : public ScenarioTest {
 protected:
  void SetUp() override;

  // The program's start-up and wizard in this process, as main runs them,
  // from D:\SETUP.EXE (unless setModuleFileName said otherwise); waits for
  // the worker. Returns WinMain's result.
  int runInProcess(const std::string &answers);
  // The transcript's lines, without the progress lines unless asked.
  std::vector<std::string> events(bool withProgress = false) const;

  struct BinaryRun {
    int status = -1;  // exit status, or 128 + the signal that ended it
    std::string transcript, errors;
    double seconds = 0;
  };
  // Copies the setup binary into dir and runs it from there on this prefix
  // with the words args; env entries (NAME=VALUE) replace or add to the
  // run's environment, a file size limit and an address space limit (bytes,
  // 0: none) are set as ulimit -f and -v would, and a signal (0: none) is
  // sent once the transcript shows the progress bar at 10 or more.
  BinaryRun runBinary(const std::string &dir, const std::string &answers, const std::vector<std::string> &env = {},
                      long fileSizeLimit = 0, const std::vector<std::string> &args = {}, int signal = 0,
                      long addressSpaceLimit = 0);
  std::vector<std::string> lines(const std::string &text, bool withProgress = false) const;
};

#endif
