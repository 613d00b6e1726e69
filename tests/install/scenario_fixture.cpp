#include "scenario_fixture.h"

#include <string.h>

#include <sstream>

#include "install_sequence.h"

void ScenarioTest::SetUp() {
  EngineTest::SetUp();
  scratch = makeTempDir("pkg");
  ASSERT_FALSE(scratch.empty());
  statusText = w32::createTestWindow();
  setupState.statusText = statusText;
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
  plan.settings = {{"HomePage", "http://www.dunmere.example/"}};
  PackageResult result;
  std::string error;
  EXPECT_TRUE(makePackage(plan, &result, &error)) << error;
  return result;
}

int ScenarioTest::run(const char *sourceDir, const std::string &answers) {
  strcpy(setupState.sourceDir, sourceDir);
  strcpy(setupState.installDir, "c:\\dunmere");
  if (!answers.empty()) w32::setAnswers(answers);
  setupProgress(1500000);
  return runInstallation(dialog);
}

void ScenarioTest::expectInstalled(const PackageResult &package) {
  std::string target = host("c:\\dunmere\\quorvel");
  for (const PackagedFile &f : package.files) {
    if (f.name == "quorvel.z") continue;
    EXPECT_EQ(readHostFile(target + "/" + f.name), readHostFile(f.hostPath)) << f.name;
    EXPECT_EQ(hostMtime(target + "/" + f.name), hostMtime(f.hostPath)) << f.name;
  }
  for (const ArchiveCreated &m : package.quorvelMembers) {
    EXPECT_EQ(readHostFile(target + "/" + m.name), readHostFile(package.quorvelMembersDir + "/" + m.name)) << m.name;
    EXPECT_EQ(hostMtime(target + "/" + m.name), m.lastWriteTime) << m.name;
  }
  EXPECT_FALSE(hostExists(target + "/quorvel.z"));
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
