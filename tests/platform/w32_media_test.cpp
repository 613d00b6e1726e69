// Simulated drive speeds: reads from a slow drive take as long as the medium.
#include "w32_fixture.h"

#include <chrono>

namespace {

class DriveSpeedTest : public W32Test {};

// Seconds to read the whole file (through ReadFile, or a text stream).
double timedRead(const char *path, bool stream, size_t *size) {
  auto start = std::chrono::steady_clock::now();
  char buf[65536];
  DWORD n = 0;
  FILE *f = stream ? fopen(path, "r") : nullptr;
  HANDLE h = stream ? nullptr : (HANDLE)(INT_PTR)OpenFile(path, nullptr, OF_READ);
  for (*size = 0; stream ? (n = static_cast<DWORD>(fread(buf, 1, sizeof buf, f))) != 0
                         : ReadFile(h, buf, sizeof buf, &n, nullptr) && n;)
    *size += n;
  stream ? fclose(f) : CloseHandle(h);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(DriveSpeedTest, SlowDriveReadsAtItsSpeedWhateverDiskIsIn) {
  const size_t kSize = 30000;
  const double kMedium = kSize / 60000.0; // seconds for the file at 60000 bytes/s
  makeHostDir(scratch("/disk1"));
  makeHostDir(scratch("/disk2"));
  for (std::string f : {scratch("/disk1/a.bin"), scratch("/disk2/b.bin"), cdrive("/c.bin")})
    writeHost(f, std::string(kSize, 'q'));
  w32::mapDrive('a', scratch("/disk1"));
  w32::setDriveSpeed('a', 60000);
  struct Case {
    std::string answers; // run before the read
    const char *path;
    bool stream, slow;
  } cases[] = {
      {"", "a:\\a.bin", false, true},
      {"", "c:\\c.bin", true, false},
      {"at-start insert a: " + scratch("/disk2"), "a:\\b.bin", true, true},
      {"at-start insert a: " + scratch("/disk1") + " speed -", "a:\\a.bin", false, false},
      {"at-start insert a: " + scratch("/disk2") + " speed 60000", "a:\\b.bin", false, true},
  };
  for (const Case &c : cases) {
    if (!c.answers.empty()) w32::setAnswers(c.answers);
    ASSERT_EQ(w32::scriptError(), "");
    size_t size = 0;
    double took = timedRead(c.path, c.stream, &size);
    EXPECT_EQ(size, kSize) << c.path;
    // A slow read takes the medium's time; a fast one none at all, with room for a busy machine.
    EXPECT_TRUE(c.slow ? took >= 0.9 * kMedium : took < 0.5 * kMedium) << c.path << " took " << took;
  }
  // w32prefix, another program on the prefix, sees the speed.
  std::string out = runPrefixTool("drives");
  EXPECT_NE(out.find("\nA:  " + scratch("/disk2") + "  60000 bytes/s\nC:  " + prefix + "/drive_c\n"), std::string::npos) << out;
}

} // namespace
