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
#include <sstream>

#include "install_sequence.h"

std::string makeTempDir(const char *tag) {
  std::string dir = std::string("/tmp/qv_") + tag + "_XXXXXX";
  return mkdtemp(&dir[0]) ? dir : "";
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

TreeSnapshot snapshotTree(const std::string &hostDir, const std::string &rel) {
  TreeSnapshot out;
  std::vector<std::string> names = listDir(hostDir + rel);
  if (names.empty()) out[rel + "/"] = "";
  for (const std::string &name : names) {
    std::string child = rel + "/" + name;
    struct stat info;
    if (lstat((hostDir + child).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      TreeSnapshot inner = snapshotTree(hostDir, child);
      out.insert(inner.begin(), inner.end());
    } else {
      Bytes bytes = readHostFile(hostDir + child);
      out[child] = std::string(bytes.begin(), bytes.end());
    }
  }
  return out;
}

std::string quorvelValue(const char *name) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\DunmereNetwork\\Quorvel", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return "(none)";
  }
  unsigned char data[600];
  DWORD type = 0, size = sizeof data;
  LONG result = RegQueryValueExA(key, name, NULL, &type, data, &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return "(none)";
  if (type == REG_DWORD && size == 4) {
    return "dword:" + std::to_string(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24);
  }
  if (type != REG_SZ || size == 0 || data[size - 1] != '\0') return "(not a text)";
  return std::string(reinterpret_cast<char *>(data), size - 1);
}

void clearSetupState() {
  // Both records hold plain words only (their atomics are lock-free words):
  // at process start every byte is zero.
  static_assert(std::atomic<int32_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free, "");
  memset(static_cast<void *>(&setupState), 0, sizeof setupState);
  memset(static_cast<void *>(&progressMeter), 0, sizeof progressMeter);
}

void EngineTest::SetUp() {
  prefix = makeTempDir("prefix");
  ASSERT_FALSE(prefix.empty());
  unsetenv("W32_ANSWERS");
  unsetenv("W32_TRANSCRIPT");
  restart(prefix);
}

void EngineTest::restart(const std::string &prefixDir) {
  w32::resetForTest(prefixDir);
  clearSetupState();
  setupProgress(1500000);
  setupState.progressDialog = dialog = w32::createTestWindow();
  setupState.statusText = statusText = w32::createTestWindow();
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

void ScenarioTest::SetUp() {
  EngineTest::SetUp();
  scratch = makeTempDir("pkg");
  ASSERT_FALSE(scratch.empty());
}

void ScenarioTest::TearDown() {
  EngineTest::TearDown();
  removeTree(scratch);
}

PackageResult ScenarioTest::makeTestPackage(const std::string &name, bool disks, bool optional, uint32_t size) {
  PackagePlan plan;
  plan.outDir = scratch + "/" + name;
  plan.disks = disks;
  plan.optionalFiles = optional;
  plan.generate = true;
  plan.generatedSize = size;
  plan.fileTime = 0x01BF53EB256D4000ULL + 1234567;  // 100 ns precision
  plan.settings = settings;
  // quorvel.z's members, made up, with a quorvel.exe that starts, so that a
  // whole run of the program can end installed.
  std::string members = scratch + "/" + name + ".members";
  mkdir(members.c_str(), 0755);
  uint32_t state = 12345;
  for (const char *member : {"quorvel.exe", "notep001.ico", "quorvel.hlp"}) {
    std::string bytes = std::string(member) == "quorvel.exe" ? "#!/bin/sh\nexit 0\n" : "";
    while (bytes.size() < size) {
      state = state * 1103515245u + 12345u;
      bytes += static_cast<char>(state >> 24);
    }
    plan.quorvelMembers.push_back(members + "/" + member);
    writeHostFile(plan.quorvelMembers.back(), Bytes(bytes.begin(), bytes.end()));
  }
  PackageResult result;
  std::string error;
  EXPECT_TRUE(makePackage(plan, &result, &error)) << error;
  result.quorvelMembersDir = members;
  return result;
}

int ScenarioTest::run(const char *sourceDir, const std::string &answers, const char *installDir) {
  strcpy(setupState.sourceDir, sourceDir);
  strcpy(setupState.installDir, installDir);
  if (!answers.empty()) w32::setAnswers(answers);
  setupProgress(1500000);
  return runInstallation(dialog);
}

void ScenarioTest::expectInstalled(const PackageResult &package) {
  std::string target = host("c:\\dunmere\\quorvel");
  std::vector<std::string> names;
  for (const PackagedFile &f : package.files) {
    if (f.name == "quorvel.z") continue;
    names.push_back(f.name);
    EXPECT_EQ(readHostFile(target + "/" + f.name), readHostFile(f.hostPath)) << f.name;
    EXPECT_EQ(hostMtime(target + "/" + f.name), hostMtime(f.hostPath)) << f.name;
  }
  for (const ArchiveCreated &m : package.quorvelMembers) {
    names.push_back(m.name);
    EXPECT_EQ(readHostFile(target + "/" + m.name), readHostFile(package.quorvelMembersDir + "/" + m.name)) << m.name;
    EXPECT_EQ(hostMtime(target + "/" + m.name), m.lastWriteTime) << m.name;
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(listDir(target), names);
}

std::vector<std::string> ScenarioTest::messages() {
  std::vector<std::string> out;
  std::istringstream in(w32::transcript());
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 8, "message ") == 0) out.push_back(line);
  }
  return out;
}
