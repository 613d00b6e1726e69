// Cancel from the main thread while a worker copies or extracts, as the
// progress dialog does it. Built for ThreadSanitizer too (label tsan).
#include <string.h>
#include <sys/stat.h>

#include <fstream>

#include "install_sequence.h"
#include "package_archive.h"
#include "zarc_archive.h"
#include "engine_fixture.h"

namespace {

DWORD WINAPI installationWorker(LPVOID) {
  int result = runInstallation(setupState.progressDialog);
  PostMessageA(setupState.progressDialog, result ? WM_SETUP_DONE : WM_SETUP_FAILED, 0, 0);
  return 1;
}

using CancelWhileCopying = ScenarioTest;

// A package whose nsystem.z is 24 MiB (787 chunks: far more than the main
// thread needs to react), one percent per 32,000 bytes, so a progress
// message per chunk. The dialog's side moves the bar and cancels at the
// third message or once it sees three chunks; meanwhile it looks at the file
// by name while the worker writes it (the Win32 layer holds writes back):
// each look sees every chunk counted so far, in order (a look may catch a
// host write half done, so its size need not be whole chunks). The copy
// stops at a chunk boundary.
TEST_F(CancelWhileCopying, PartialDestinationRemains) {
  const size_t bigSize = 24u << 20;
  makeTestPackage("pkg", false, false, 1000);
  Bytes big = patternBytes(bigSize, 5);
  writeHostFile(scratch + "/pkg/nsystem.z", big);
  w32::mapDrive('d', scratch + "/pkg");
  strcpy(setupState.sourceDir, "d:\\");
  strcpy(setupState.installDir, "c:\\dunmere");
  setupProgress(3200000);
  DWORD id = 0;
  setupState.workerThread = CreateThread(nullptr, 0, installationWorker, nullptr, 0, &id);
  setupState.workerThreadId = id;
  ASSERT_NE(setupState.workerThread, nullptr);

  int progressMessages = 0, looks = 0;
  uint32_t lastShown = 0;
  UINT ended = 0;
  while (!ended) {
    MSG msg;
    while (!ended && w32::takePosted(dialog, &msg)) {
      if (msg.message == WM_SETUP_DONE || msg.message == WM_SETUP_FAILED) ended = msg.message;
      if (msg.message != WM_SETUP_PROGRESS) continue;
      uint32_t next = progressMeter.nextPercent;
      EXPECT_GE(next, lastShown);
      lastShown = next;
      if (++progressMessages == 3) setupState.cancelRequested = 1;
    }
    uint32_t counted = progressMeter.bytesDone.load(std::memory_order_acquire);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("c:\\dunmere\\quorvel\\nsystem.z", &data);
    if (find == INVALID_HANDLE_VALUE) continue;
    FindClose(find);
    size_t seen = data.nFileSizeLow;
    ++looks;
    EXPECT_GE(seen, counted) << "every byte counted has been through WriteFile";
    if (seen >= 3 * 32000) setupState.cancelRequested = 1;  // before a read that may take a while
    std::ifstream in(host("c:\\dunmere\\quorvel\\nsystem.z"), std::ios::binary);
    Bytes now(seen);
    ASSERT_TRUE(in.read(reinterpret_cast<char *>(now.data()), static_cast<std::streamsize>(seen))) << seen;
    EXPECT_TRUE(std::equal(now.begin(), now.end(), big.begin())) << seen;
  }
  EXPECT_EQ(WaitForSingleObject(setupState.workerThread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(setupState.workerThread);

  EXPECT_EQ(ended, static_cast<UINT>(WM_SETUP_FAILED));
  EXPECT_GT(looks, 0);
  Bytes partial = readWin("c:\\dunmere\\quorvel\\nsystem.z");
  EXPECT_GE(partial.size(), 3u * 32000);
  EXPECT_LT(partial.size(), bigSize);
  EXPECT_EQ(partial.size() % 32000, 0u);
  EXPECT_TRUE(std::equal(partial.begin(), partial.end(), big.begin()));
  EXPECT_EQ(installedNames(), std::vector<std::string>{"nsystem.z"});
  EXPECT_TRUE(messages().empty());
}

DWORD WINAPI extractionWorker(LPVOID) {
  TransferResult result = extractPackageArchive("quorvel.z", setupState.sourceDir, setupState.targetDir);
  PostMessageA(setupState.progressDialog, WM_SETUP_DONE + 100 + static_cast<int>(result), 0, 0);
  return 1;
}

// A cancel that arrives while a member is decoded is noticed before the
// next member: the member in progress is completed.
TEST_F(CancelWhileCopying, ExtractionFinishesTheMemberInProgress) {
  Bytes big = patternBytes(4u << 20, 9);
  for (size_t i = 0; i < big.size(); i += 3) big[i] = 'q';  // something to compress
  writeHostFile(scratch + "/big.dat", big);
  writeHostFile(scratch + "/next.dat", Bytes(100, 'n'));
  ArchiveInput first, second;
  first.path = scratch + "/big.dat";
  first.mode = second.mode = ImplodeMode::Binary;
  second.path = scratch + "/next.dat";
  std::string error;
  ASSERT_EQ(mkdir((scratch + "/src").c_str(), 0755), 0);
  ASSERT_TRUE(createArchive(scratch + "/src/quorvel.z", {first, second}, nullptr, &error)) << error;
  useDefaultDirs();
  w32::mapDrive('d', scratch + "/src");
  strcpy(setupState.sourceDir, "d:\\");
  setupProgress(100);  // every read posts

  DWORD id = 0;
  HANDLE worker = CreateThread(nullptr, 0, extractionWorker, nullptr, 0, &id);
  ASSERT_NE(worker, nullptr);
  MSG msg = {};
  // At the first progress message the big member's first block is in.
  while (msg.message <= WM_SETUP_DONE + 90) {
    if (!w32::takePosted(dialog, &msg)) Sleep(0);
    if (msg.message == WM_SETUP_PROGRESS) setupState.cancelRequested = 1;
  }
  EXPECT_EQ(WaitForSingleObject(worker, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(worker);
  EXPECT_EQ(static_cast<int>(msg.message) - WM_SETUP_DONE - 100, static_cast<int>(TransferResult::Cancelled));
  EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\big.dat"), big);
  EXPECT_EQ(installedNames(), std::vector<std::string>{"big.dat"});
}

}  // namespace
