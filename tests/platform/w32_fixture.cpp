#include "w32_fixture.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {
int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  chmod(path, 0755);
  return remove(path);
}
} // namespace

void W32Test::SetUp() {
  char tmpl[] = "/tmp/qv-w32-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  root = tmpl;
  prefix = root + "/prefix";
  // Before the layer's first call: away from $HOME and any answer file.
  setenv("W32_PREFIX", prefix.c_str(), 1);
  unsetenv("W32_ANSWERS");
  unsetenv("W32_TRANSCRIPT");
  w32::resetForTest(prefix);
  makeHostDir(scratch());
}

void W32Test::TearDown() {
  w32::resetForTest(prefix);
  nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void W32Test::writeHost(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << path;
  out << content;
}

std::string W32Test::readHost(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void expectCalls(const std::vector<CallCase> &cases) {
  for (const CallCase &c : cases) {
    SetLastError(0);
    EXPECT_EQ(c.call(), c.error) << c.what;
  }
}

std::string runPrefixTool(const std::string &args, int *status, const std::string &env) {
  return runShell(env + " " + QV_W32PREFIX + " " + args, status);
}

std::string runShell(const std::string &command, int *status) {
  std::string out;
  FILE *p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

int inChild(const std::function<int()> &body, unsigned long fileLimit, unsigned alarmSeconds) {
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    struct rlimit limit = {fileLimit, fileLimit};
    if (fileLimit) setrlimit(RLIMIT_FSIZE, &limit);
    alarm(alarmSeconds);
    exit(body()); // as a program ends: what the layer holds back is written
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
