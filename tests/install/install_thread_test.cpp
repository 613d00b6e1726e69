// Cancel from the main thread while the worker copies, as the progress
// dialog does it: the worker runs the installation sequence and posts its
// end; the main thread reads nextPercent on each progress message and sets
// cancelRequested. Built for ThreadSanitizer (label tsan), with a look at a
// file by name from the main thread while the worker writes it.
#include <string.h>
#include <sys/stat.h>

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

class CancelWhileCopying : public ScenarioTest {
protected:
  // The dialog's side: hands each posted message to onMessage until it
  // returns true for the one that ends the run, which is returned.
  template <typename OnMessage>
  UINT pumpUntilEnd(OnMessage onMessage) {
    for (;;) {
      MSG msg;
      if (!w32::takePosted(dialog, &msg)) {
        Sleep(0);
        continue;
      }
      if (onMessage(msg)) return msg.message;
    }
  }

  // A package whose nsystem.z is bigSize pattern bytes, installed by a worker
  // thread; one percent per 32,000 bytes, so a progress message per chunk.
  Bytes startInstallingBigPackage(size_t bigSize, int seed) {
    PackageResult package = makeTestPackage("pkg", false, false, 1000);
    Bytes big = patternBytes(bigSize, seed);
    writeHostFile(scratch + "/pkg/nsystem.z", big);
    w32::mapDrive('d', scratch + "/pkg");
    strcpy(setupState.sourceDir, "d:\\");
    strcpy(setupState.installDir, "c:\\dunmere");
    setupProgress(3200000);
    DWORD id = 0;
    setupState.workerThread = CreateThread(nullptr, 0, installationWorker, nullptr, 0, &id);
    setupState.workerThreadId = id;
    return big;
  }
};

TEST_F(CancelWhileCopying, PartialDestinationRemains) {
  const size_t bigSize = 24u << 20;  // 787 chunks: far more than the main thread needs to react
  Bytes big = startInstallingBigPackage(bigSize, 5);
  ASSERT_NE(setupState.workerThread, nullptr);

  // The dialog's side: move the bar, cancel after a few chunks, wait for the end.
  int progressMessages = 0;
  uint32_t lastShown = 0;
  UINT ended = pumpUntilEnd([&](const MSG &msg) {
    if (msg.message == WM_SETUP_PROGRESS) {
      uint32_t next = progressMeter.nextPercent;
      EXPECT_GE(next, lastShown);
      lastShown = next;
      if (++progressMessages == 3) setupState.cancelRequested = 1;
    }
    return msg.message == WM_SETUP_DONE || msg.message == WM_SETUP_FAILED;
  });
  EXPECT_EQ(WaitForSingleObject(setupState.workerThread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(setupState.workerThread);

  EXPECT_EQ(ended, static_cast<UINT>(WM_SETUP_FAILED));
  // Stopped inside the big copy, at a chunk boundary; nothing after it.
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
  UINT ended = pumpUntilEnd([](const MSG &msg) {
    if (msg.message == WM_SETUP_PROGRESS) setupState.cancelRequested = 1;  // the first block of the big member has been counted
    return msg.message > WM_SETUP_DONE + 90;
  });
  EXPECT_EQ(WaitForSingleObject(worker, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(worker);
  EXPECT_EQ(static_cast<int>(ended) - WM_SETUP_DONE - 100, static_cast<int>(TransferResult::Cancelled));
  EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\big.dat"), big);
  EXPECT_EQ(installedNames(), std::vector<std::string>{"big.dat"});
}

// The main thread looks at the file being copied by name while the worker
// writes it (the Win32 layer holds writes back): each look sees every chunk
// written so far, in order. (A look may also catch a host write half done,
// so the size need not be a whole number of chunks.)
TEST_F(CancelWhileCopying, LooksByNameSeeEveryChunkWrittenSoFar) {
  const size_t bigSize = 12u << 20;
  Bytes big = startInstallingBigPackage(bigSize, 7);
  ASSERT_NE(setupState.workerThread, nullptr);

  int looks = 0, partialLooks = 0;
  UINT ended = 0;
  while (!ended) {
    MSG msg;
    while (w32::takePosted(dialog, &msg))
      if (msg.message == WM_SETUP_DONE || msg.message == WM_SETUP_FAILED) ended = msg.message;
    // Every byte counted has been through WriteFile, so a look by name
    // must show at least that many.
    uint32_t counted = progressMeter.bytesDone.load(std::memory_order_acquire);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("c:\\dunmere\\quorvel\\nsystem.z", &data);
    if (find == INVALID_HANDLE_VALUE) continue;
    FindClose(find);
    size_t seen = data.nFileSizeLow;
    ++looks;
    if (seen == bigSize) continue;
    ++partialLooks;
    EXPECT_GE(seen, counted);
    Bytes now = readWin("c:\\dunmere\\quorvel\\nsystem.z");
    ASSERT_GE(now.size(), seen);
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + static_cast<long>(seen), big.begin())) << seen;
  }
  EXPECT_EQ(WaitForSingleObject(setupState.workerThread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(setupState.workerThread);
  EXPECT_EQ(ended, static_cast<UINT>(WM_SETUP_DONE));
  EXPECT_GT(looks, 0);
  EXPECT_EQ(readWin("c:\\dunmere\\quorvel\\nsystem.z"), big);
  RecordProperty("partial looks", partialLooks);
}

}  // namespace
