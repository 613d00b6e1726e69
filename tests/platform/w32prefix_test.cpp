// The prefix tool (w32prefix) on a prefix the layer has filled: registry
// queries, groups, drive mappings and free-space overrides.
#include "w32_fixture.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

namespace {

using PrefixToolTest = W32Test;

// The prefix tool against what the layer wrote (W32_PREFIX is this prefix).
TEST_F(PrefixToolTest, QueriesAndChangesThePrefix) {
  // A setup run's transcript in the environment is not the tool's to touch.
  writeHost(scratch("/transcript"), "dialog id=4 event=end\n");
  auto run = [&](const std::string &args, int *status) {
    std::string out;
    FILE *p = popen(("W32_TRANSCRIPT=" + scratch("/transcript") + " " + QV_W32PREFIX + " " + args + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
  };
  HKEY k;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\DunmereNetwork\\Quorvel", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(k, "MainDir", 0, REG_SZ, reinterpret_cast<const BYTE *>("c:\\dunmere"), 11);
  DWORD flags = 16;
  RegSetValueExA(k, "Flags", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&flags), 4);
  RegCloseKey(k);
  makeHostDir(prefix + "/progman");
  writeHost(prefix + "/progman/groups.ini",
            "[Quorvel]\nItem1=Registration & Utilities|c:\\q\\quorvel.exe|c:\\q\\quorvel.exe\n");

  int status = -1;
  EXPECT_EQ(run("reg query 'HKLM\\Software\\DunmereNetwork\\Quorvel'", &status),
            "HKEY_LOCAL_MACHINE\\Software\\DunmereNetwork\\Quorvel\n"
            "    MainDir    REG_SZ    c:\\dunmere\n"
            "    Flags    REG_DWORD    0x10\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run("reg query HKLM\\\\Software\\\\DunmereNetwork\\\\Quorvel NoSuch", &status),
            "HKEY_LOCAL_MACHINE\\Software\\DunmereNetwork\\Quorvel\nw32prefix: no value NoSuch\n");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(run("groups", &status), "Quorvel\n    Registration & Utilities    c:\\q\\quorvel.exe    icon c:\\q\\quorvel.exe\n");

  // Insert a disk, set the free space: the layer in this process sees both.
  makeHostDir(scratch("/disk2"));
  writeHost(scratch("/disk2/setup.ini"), "x");
  EXPECT_EQ(run("drive a: " + scratch("/disk2"), &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(w32::hostPath("A:\\SETUP.INI"), scratch("/disk2/setup.ini"));
  EXPECT_NE(run("drives", &status).find("A:  " + scratch("/disk2") + "\n"), std::string::npos);
  EXPECT_EQ(run("freespace c: 7999999", &status), "");
  DWORD spc, bps, freeClusters, total;
  ASSERT_TRUE(GetDiskFreeSpaceA("c:\\", &spc, &bps, &freeClusters, &total));
  EXPECT_EQ(static_cast<unsigned long long>(spc) * bps * freeClusters, 7999999ull);
  EXPECT_NE(run("freespace", &status).find("C:  7999999 bytes free\n"), std::string::npos);
  EXPECT_EQ(readHost(scratch("/transcript")), "dialog id=4 event=end\n");
  EXPECT_EQ(run("bogus", &status).substr(0, 6), "usage:");
  EXPECT_EQ(status, 2);
}

} // namespace
