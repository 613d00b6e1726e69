#include "config_fixture.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

static void snapshotInto(const std::string &base, const std::string &rel, TreeSnapshot *out) {
  DIR *d = opendir((base + rel).c_str());
  if (d == nullptr) return;
  bool empty = true;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    empty = false;
    std::string child = rel + "/" + e->d_name;
    struct stat info;
    if (lstat((base + child).c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      snapshotInto(base, child, out);
    } else {
      std::ifstream in(base + child, std::ios::binary);
      (*out)[child] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  closedir(d);
  if (empty) (*out)[rel + "/"] = "";
}

TreeSnapshot snapshotTree(const std::string &hostDir) {
  TreeSnapshot out;
  snapshotInto(hostDir, "", &out);
  return out;
}

void ConfigTest::SetUp() {
  char pattern[] = "/tmp/qv_config_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  prefix = pattern;
  setenv("W32_PREFIX", prefix.c_str(), 1);
  unsetenv("W32_ANSWERS");
  unsetenv("W32_TRANSCRIPT");
  w32::resetForTest(prefix);
  w32::setAnswers("");
  memset(setupState.sourceDir, 0, sizeof setupState.sourceDir);
  memset(setupState.installDir, 0, sizeof setupState.installDir);
  memset(setupState.targetDir, 0, sizeof setupState.targetDir);
  memset(setupState.failingPath, 0, sizeof setupState.failingPath);
  setupState.hadEudora = 0;
  setupState.cancelRequested = 0;
  dialog = w32::createTestWindow();
  setupState.progressDialog = dialog;
}

static void removePrefix(const std::string &prefix) {
  std::string command = "chmod -R u+w '" + prefix + "' 2>/dev/null; rm -rf '" + prefix + "'";
  if (prefix.compare(0, 15, "/tmp/qv_config_") == 0 && std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "could not remove " << prefix;
  }
}

void ConfigTest::TearDown() {
  if (checkHandles) {
    EXPECT_EQ(w32::openHandleCount(), 0) << "a handle was left open";
  }
  w32::clearFaults();
  w32::resetForTest(prefix);
  removePrefix(prefix);
}

void ConfigTest::freshPrefix() {
  w32::resetForTest(prefix);  // closes what is still open
  removePrefix(prefix);
  w32::resetForTest(prefix);
  w32::setAnswers("");
  dialog = w32::createTestWindow();
  setupState.progressDialog = dialog;
}

void ConfigTest::writeWin(const std::string &windowsPath, const std::string &bytes) {
  std::string path = host(windowsPath);
  ASSERT_FALSE(path.empty()) << windowsPath;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << windowsPath << " -> " << path;
}

std::string ConfigTest::readWin(const std::string &windowsPath) const {
  std::ifstream in(host(windowsPath), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ConfigTest::existsWin(const std::string &windowsPath) const {
  std::string path = host(windowsPath);
  struct stat info;
  return !path.empty() && lstat(path.c_str(), &info) == 0;
}

void ConfigTest::makeWinDir(const std::string &windowsPath) {
  for (size_t i = 3; i <= windowsPath.size(); ++i) {
    if (i == windowsPath.size() || windowsPath[i] == '\\') {
      std::string part = windowsPath.substr(0, i);
      if (!existsWin(part)) {
        ASSERT_EQ(mkdir(host(part).c_str(), 0755), 0) << part;
      }
    }
  }
}

void ConfigTest::layOutEarlierInstallation(const std::string &mainDir, const std::vector<std::string> &winIniKeys) {
  std::string section = "[Dunmere Network Quorvel]\r\n";
  for (const std::string &k : winIniKeys) section += k + "\r\n";
  writeWinIni("[windows]\r\nload=\r\n\r\n" + section + "\r\n[Desktop]\r\nWallpaper=(None)\r\n");
  makeWinDir(mainDir + "\\register");
  writeWin(mainDir + "\\register\\register.ini", "[Quorvel Registration]\r\nVersion=2.1\r\nUser=someone\r\n");
}
