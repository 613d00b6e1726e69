// Fault sweep over a small package: the Nth platform call of the run fails,
// for every N. Each run must end with one of the prompts (or finish when the
// failed call was one whose result does not matter), with every handle
// closed and every heap block released; a transient fault answered Retry
// must still install byte-identical files with their timestamps.
#include <regex>

#include "install_sequence.h"
#include "engine_fixture.h"

namespace {

enum class Prompt { Retryable, Fatal, Unexpected };

// A retryable prompt (Retry or Cancel on a file that cannot be written or is
// missing), the fatal error's box (OK only), or anything else.
Prompt classify(const std::string &line) {
  static const std::string box = "message caption=\"Quorvel Installation\" text=\"";
  static const std::regex retryable(box + "(Can't write file |Please ensure the following Quorvel files).*\" "
                                          "icon=MB_ICONWARNING buttons=MB_RETRYCANCEL answer=.*");
  static const std::regex fatal(box + "A fatal error occurred \\(might be out of memory\\)\\.\" "
                                      "icon=MB_ICONWARNING buttons=MB_OK answer=.*");
  if (std::regex_match(line, retryable)) return Prompt::Retryable;
  return std::regex_match(line, fatal) ? Prompt::Fatal : Prompt::Unexpected;
}

class FaultSweep : public ScenarioTest {
 protected:
  // A fresh prefix with the target directory already there (so that a
  // failed, unexamined CreateDirectoryA leaves nothing to repeat), the
  // package on D: and the fault armed; returns runInstallation's result,
  // having checked that every handle and heap block was released.
  int runWithFault(long n, bool persistent, const std::string &answers) {
    SCOPED_TRACE(persistent ? "persistent fault" : answers.empty() ? "transient fault" : "answered fault");
    restart(prefix + "/run" + std::to_string(runs++));
    makeWinDir("c:\\dunmere\\quorvel");
    w32::mapDrive('d', scratch + "/pkg");
    if (n > 0) w32::armFault(w32::Fault::Any, n, persistent);
    int result = run("d:\\", answers);
    w32::clearFaults();
    EXPECT_EQ(w32::openHandleCount(), 0) << "a handle was left open";
    EXPECT_EQ(w32::heapBlockCount(), 0) << "a heap block was not released";
    return result;
  }
  int runs = 0;
};

TEST_F(FaultSweep, EveryCallOfTheRun) {
  PackageResult package = makeTestPackage("pkg", false, false, 300);
  ASSERT_EQ(runWithFault(0, false, ""), 1);
  expectInstalled(package);
  long calls = w32::callCount(w32::Fault::Any);
  ASSERT_GT(calls, 30);

  int retried = 0, fatal = 0, harmless = 0;
  for (long n = 1; n <= calls; n++) {
    SCOPED_TRACE("call " + std::to_string(n));
    // Transient, nobody to answer: the first prompt stops the run.
    int first = runWithFault(n, false, "");
    std::vector<std::string> shown = messages();
    if (first == 1) {
      EXPECT_TRUE(shown.empty());
      expectInstalled(package);
      harmless++;
      continue;
    }
    ASSERT_EQ(shown.size(), 1u) << w32::transcript();
    Prompt prompt = classify(shown[0]);
    ASSERT_NE(prompt, Prompt::Unexpected) << shown[0];

    // The same fault, answered: Retry installs everything; Fatal stops.
    int second = runWithFault(n, false, prompt == Prompt::Fatal ? "message \"*\" OK\n" : "message \"*\" Retry\n");
    EXPECT_EQ(messages().size(), 1u) << w32::transcript();
    EXPECT_EQ(w32::scriptError(), "");
    if (prompt == Prompt::Fatal) {
      EXPECT_EQ(second, 0);
      fatal++;
    } else {
      EXPECT_EQ(second, 1);
      expectInstalled(package);
      retried++;
    }

    // Persistent from call n on: one prompt at most (none if the run
    // finished), nothing left open.
    int persistent = runWithFault(n, true, "");
    EXPECT_LE(messages().size(), persistent == 1 ? 0u : 1u);
  }
  // The sweep reached every kind of outcome.
  EXPECT_GT(retried, 0);
  EXPECT_GT(fatal, 0);
  EXPECT_GT(harmless, 0);
}

}  // namespace
