// A fresh prefix per test, with helpers to lay out and read host files.
#ifndef QV_TESTS_PLATFORM_W32_FIXTURE_H
#define QV_TESTS_PLATFORM_W32_FIXTURE_H

#include <windows.h>

#include "w32_test.h"

#include <gtest/gtest.h>

#include <string>

class W32Test : public ::testing::Test {
public:
  static std::string readHost(const std::string &path);

protected:
  void SetUp() override;
  void TearDown() override;

  // prefix/drive_c + rel ("/Dunmere/x.txt")
  std::string cdrive(const std::string &rel = "") const { return prefix + "/drive_c" + rel; }
  // A scratch host directory outside the prefix (floppies, CDs).
  std::string scratch(const std::string &rel = "") const { return root + "/host" + rel; }
  static void writeHost(const std::string &path, const std::string &content);
  static void makeHostDir(const std::string &path); // with parents
  static bool hostExists(const std::string &path);

  std::string root;
  std::string prefix;
};

// Output buffers are filled with this before a call, so a missing
// terminator or a write past the reported length shows.
constexpr char kJunk = '\x5A';

#endif
