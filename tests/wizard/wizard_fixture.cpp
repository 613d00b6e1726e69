#include "wizard_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "wizard.h"

void WizardTest::SetUp() {
  ScenarioTest::SetUp();
  setupState.progressDialog = nullptr;  // the wizard makes its own
  w32::setModuleFileName("D:\\SETUP.EXE");
}

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
                                            const std::vector<std::string> &extraEnv, long fileSizeLimit,
                                            const std::vector<std::string> &args, int signal, long addressSpaceLimit) {
  std::string program = dir + "/setup", answerFile = scratch + "/answers", transcript = scratch + "/transcript",
              errors = scratch + "/errors";
  writeHostFile(program, readHostFile(QV_SETUP_PATH));
  chmod(program.c_str(), 0755);
  std::ofstream(answerFile) << answers;
  unlink(transcript.c_str());
  std::vector<std::string> env = extraEnv;  // first: getenv takes the first entry of a name
  for (const std::string &e : {"W32_PREFIX=" + prefix, "W32_ANSWERS=" + answerFile, "W32_TRANSCRIPT=" + transcript,
                               std::string("PATH=/usr/bin:/bin")})
    env.push_back(e);
  std::vector<std::string> words = args;
  std::vector<char *> envp, argv = {&program[0]};
  for (std::string &w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  for (std::string &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    // The signals' default actions, whatever this process ignores, the file
    // size limit, and a minute at most: a run that waits is a failure.
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; s++) sigaction(s, &defaults, nullptr);
    struct rlimit limit = {static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
    if (fileSizeLimit > 0) setrlimit(RLIMIT_FSIZE, &limit);
    struct rlimit space = {static_cast<rlim_t>(addressSpaceLimit), static_cast<rlim_t>(addressSpaceLimit)};
    if (addressSpaceLimit > 0) setrlimit(RLIMIT_AS, &space);
    alarm(60);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  BinaryRun run;
  int status = 0;
  pid_t ended = 0;
  for (bool sent = signal == 0; !sent && (ended = waitpid(pid, &status, WNOHANG)) == 0; usleep(5000)) {
    Bytes t = readHostFile(transcript);
    std::string text(t.begin(), t.end());
    size_t at = text.rfind("progress pos=");
    if (at != std::string::npos && atoi(text.c_str() + at + 13) >= 10) sent = kill(pid, signal) == 0;
  }
  if (ended != pid) {
    EXPECT_EQ(waitpid(pid, &status, 0), pid) << program;
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Bytes t = readHostFile(transcript), e = readHostFile(errors);
  run.transcript.assign(t.begin(), t.end());
  // A coverage build's runtime cannot save its counts under a file size
  // limit and says so; that is not the program's.
  std::istringstream said(std::string(e.begin(), e.end()));
  for (std::string line; std::getline(said, line);)
    if (line.rfind("libgcov profiling error:", 0) != 0) run.errors += line + "\n";
  return run;
}
