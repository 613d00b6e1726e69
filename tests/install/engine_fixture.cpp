#include "engine_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

std::string makeTempDir(const char *tag) {
  std::string pattern = std::string("/tmp/qv_") + tag + "_XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char *dir = mkdtemp(buffer.data());
  return dir ? dir : "";
}

void removeTree(const std::string &dir) {
  if (dir.size() > 5 && dir.compare(0, 5, "/tmp/") == 0) {
    std::string command = "chmod -R u+w '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) {
      ADD_FAILURE() << "could not remove " << dir;
    }
  }
}

void writeHostFile(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

Bytes readHostFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool hostExists(const std::string &path) {
  struct stat info;
  return !path.empty() && lstat(path.c_str(), &info) == 0;
}

static const int64_t kEpochTicks = 116444736000000000LL;

void setHostMtime(const std::string &path, uint64_t fileTime) {
  int64_t ticks = static_cast<int64_t>(fileTime) - kEpochTicks;
  struct timespec t;
  t.tv_sec = ticks / 10000000;
  t.tv_nsec = (ticks % 10000000) * 100;
  struct timespec times[2] = {t, t};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

uint64_t hostMtime(const std::string &path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return 0;
  return static_cast<uint64_t>(static_cast<int64_t>(info.st_mtim.tv_sec) * 10000000 + info.st_mtim.tv_nsec / 100 +
                               kEpochTicks);
}

std::vector<std::string> listDir(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

Bytes patternBytes(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t s = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; i++) {
    s = s * 1103515245u + 12345u;
    out[i] = static_cast<unsigned char>(s >> 23);
  }
  return out;
}

static void snapshotInto(const std::string &base, const std::string &rel, TreeSnapshot *out) {
  std::vector<std::string> names = listDir(base + rel);
  if (names.empty()) (*out)[rel + "/"] = "";
  for (const std::string &name : names) {
    std::string child = rel + "/" + name;
    struct stat info;
    if (lstat((base + child).c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      snapshotInto(base, child, out);
    } else {
      Bytes bytes = readHostFile(base + child);
      (*out)[child] = std::string(bytes.begin(), bytes.end());
    }
  }
}

TreeSnapshot snapshotTree(const std::string &hostDir) {
  TreeSnapshot out;
  snapshotInto(hostDir, "", &out);
  return out;
}

void clearSetupState() {
  memset(setupState.sourceDir, 0, sizeof setupState.sourceDir);
  memset(setupState.installDir, 0, sizeof setupState.installDir);
  memset(setupState.targetDir, 0, sizeof setupState.targetDir);
  memset(setupState.failingPath, 0, sizeof setupState.failingPath);
  setupState.diskNumber = 0;
  setupState.multiDisk = 0;
  setupState.cancelRequested = 0;
  setupState.stepFailed = 0;
  setupState.hadEudora = 0;
  setupState.progressDialog = nullptr;
  setupState.statusText = nullptr;
  setupState.progressBar = nullptr;
  setupState.workerThread = nullptr;
  setupState.workerThreadId = 0;
  progressMeter.totalBytes = 0;
  progressMeter.bytesPerPercent = 0;
  progressMeter.bytesDone = 0;
  progressMeter.nextPercent = 0;
}

void EngineTest::SetUp() {
  prefix = makeTempDir("prefix");
  ASSERT_FALSE(prefix.empty());
  unsetenv("W32_ANSWERS");
  unsetenv("W32_TRANSCRIPT");
  w32::resetForTest(prefix);
  clearSetupState();
  setupProgress(1500000);
  dialog = w32::createTestWindow();
  setupState.progressDialog = dialog;
}

void EngineTest::TearDown() {
  EXPECT_EQ(w32::openHandleCount(), 0) << "a handle was left open";
  EXPECT_EQ(w32::heapBlockCount(), 0) << "a heap block was not released";
  w32::clearFaults();
  removeTree(prefix);
}

void EngineTest::freshPrefix() {
  w32::resetForTest(prefix);  // closes what is still open
  removeTree(prefix);
  w32::resetForTest(prefix);
  w32::setAnswers("");
  setupState.progressDialog = dialog = w32::createTestWindow();
}

void EngineTest::makeWinDir(const std::string &windowsPath) {
  for (size_t i = 3; i <= windowsPath.size(); ++i) {
    if (i == windowsPath.size() || windowsPath[i] == '\\') {
      std::string part = windowsPath.substr(0, i);
      if (!existsWin(part)) {
        ASSERT_EQ(mkdir(host(part).c_str(), 0755), 0) << part;
      }
    }
  }
}

void EngineTest::layOutEarlierInstallation(const std::string &mainDir, const std::vector<std::string> &winIniKeys) {
  std::string section = "[Dunmere Network Quorvel]\r\n";
  for (const std::string &k : winIniKeys) section += k + "\r\n";
  writeWin("C:\\WINDOWS\\win.ini", "[windows]\r\nload=\r\n\r\n" + section + "\r\n[Desktop]\r\nWallpaper=(None)\r\n");
  makeWinDir(mainDir + "\\register");
  writeWin(mainDir + "\\register\\register.ini", "[Quorvel Registration]\r\nVersion=2.1\r\nUser=someone\r\n");
}

int EngineTest::takeProgressPosts() {
  int n = 0;
  MSG msg;
  while (w32::takePosted(dialog, &msg)) {
    if (msg.message == WM_SETUP_PROGRESS) n++;
  }
  return n;
}

void EngineTest::useDefaultDirs() {
  makeWinDir("c:\\src");
  makeWinDir("c:\\dunmere\\quorvel");
  strcpy(setupState.sourceDir, "c:\\src\\");
  strcpy(setupState.installDir, "c:\\dunmere");
  strcpy(setupState.targetDir, "c:\\dunmere\\quorvel\\");
}
