#include "wizard_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include "wizard.h"

extern char **environ;

void WizardTest::SetUp() {
  ScenarioTest::SetUp();
  setupState.progressDialog = nullptr;  // the wizard makes its own
  w32::setModuleFileName("D:\\SETUP.EXE");
}

void WizardTest::TearDown() { ScenarioTest::TearDown(); }

int WizardTest::runInProcess(const std::string &answers) {
  w32::setAnswers(answers);
  int result = WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL);
  if (setupState.workerThread) {
    EXPECT_EQ(WaitForSingleObject(setupState.workerThread, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(setupState.workerThread);
    setupState.workerThread = nullptr;
  }
  return result;
}

std::vector<std::string> WizardTest::lines(const std::string &text, bool withProgress) const {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (withProgress || line.compare(0, 9, "progress ") != 0) out.push_back(line);
  }
  return out;
}

std::vector<std::string> WizardTest::events(bool withProgress) const { return lines(w32::transcript(), withProgress); }

WizardTest::BinaryRun WizardTest::runBinary(const std::string &dir, const std::string &answers,
                                            const std::vector<std::string> &extraEnv, long fileSizeLimit) {
  BinaryRun run;
  std::string program = dir + "/setup";
  {
    std::ifstream in(QV_SETUP_PATH, std::ios::binary);
    std::ofstream out(program, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
  }
  chmod(program.c_str(), 0755);
  std::string answerFile = scratch + "/answers", transcript = scratch + "/transcript", errors = scratch + "/errors";
  std::ofstream(answerFile) << answers;
  std::vector<std::string> env = {"W32_PREFIX=" + prefix, "W32_ANSWERS=" + answerFile, "W32_TRANSCRIPT=" + transcript,
                                  "PATH=/usr/bin:/bin"};
  for (const std::string &e : extraEnv) {
    std::string name = e.substr(0, e.find('=') + 1);
    auto same = std::find_if(env.begin(), env.end(), [&](const std::string &d) { return d.compare(0, name.size(), name) == 0; });
    if (same != env.end()) {
      *same = e;
    } else {
      env.push_back(e);
    }
  }
  std::vector<char *> envp, argv = {const_cast<char *>(program.c_str()), nullptr};
  for (std::string &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The program gets the signals' default actions, whatever this process
  // ignores, and the file size limit.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  if (fileSizeLimit > 0) {
    struct rlimit limit = {static_cast<rlim_t>(fileSizeLimit), saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  setrlimit(RLIMIT_FSIZE, &saved);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  EXPECT_EQ(spawned, 0) << program;
  int status = 0;
  if (spawned == 0 && waitpid(pid, &status, 0) == pid) run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::ifstream t(transcript), e(errors);
  std::stringstream ts, es;
  ts << t.rdbuf();
  es << e.rdbuf();
  run.transcript = ts.str();
  run.errors = es.str();
  return run;
}

