// Fault injection: each class, the Nth call once or from then on, and handle and heap accounting.
#include "w32_fixture.h"

#include <ddeml.h>

namespace {

using FaultTest = W32Test;

HDDEDATA CALLBACK ignore(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return nullptr; }

// Catches an armed call that succeeds, fails otherwise, is counted wrongly or leaves a change behind.
TEST_F(FaultTest, EachClassFailsLikeTheRealFailure) {
  writeHost(cdrive("/src.bin"), "abcdefgh");
  writeHost(cdrive("/windows/test.ini"), "[s]\r\nk=v\r\n");
  makeHostDir(cdrive("/old"));
  HANDLE r = asHandle(OpenFile("c:\\src.bin", nullptr, OF_READ));
  HANDLE w = asHandle(OpenFile("c:\\out.bin", nullptr, OF_CREATE | OF_WRITE));
  HKEY k = nullptr, other = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Q", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  const std::string reg = readHost(prefix + "/system.reg");
  char buf[16];
  DWORD n = 0xdead, inst = 0, v = 1;
  WIN32_FIND_DATAA fd;
  using F = w32::Fault;
  const struct {
    w32::Fault cls;
    const char *what;
    std::function<DWORD()> call; // its error, 0 when it succeeded
    DWORD error;
  } cases[] = {
      {F::Open, "OpenFile", [] { return err(OpenFile("c:\\src.bin", nullptr, OF_READ) != HFILE_ERROR); }, ERROR_SHARING_VIOLATION},
      {F::Create, "OpenFile creating", [] { return err(OpenFile("c:\\new.bin", nullptr, OF_CREATE) != HFILE_ERROR); }, ERROR_ACCESS_DENIED},
      {F::Create, "CopyFileA", [] { return err(CopyFileA("c:\\src.bin", "c:\\new.bin", FALSE)); }, ERROR_ACCESS_DENIED},
      {F::Read, "ReadFile", [&] { return err(ReadFile(r, buf, 4, &n, nullptr) || n != 0); }, ERROR_READ_FAULT},
      {F::Write, "WriteFile", [&] { n = 7; return err(WriteFile(w, "data", 4, &n, nullptr) || n != 0); }, ERROR_WRITE_FAULT},
      {F::Alloc, "HeapAlloc", [] { return err(HeapAlloc(GetProcessHeap(), 0, 100)); }, ERROR_NOT_ENOUGH_MEMORY},
      {F::Directory, "CreateDirectoryA", [] { return err(CreateDirectoryA("c:\\newdir", nullptr)); }, ERROR_ACCESS_DENIED},
      {F::Directory, "FindFirstFileA", [&] { return err(FindFirstFileA("c:\\src.bin", &fd) != INVALID_HANDLE_VALUE); }, ERROR_ACCESS_DENIED},
      {F::Directory, "DeleteFileA", [] { return err(DeleteFileA("c:\\src.bin")); }, ERROR_ACCESS_DENIED},
      {F::Directory, "RemoveDirectoryA", [] { return err(RemoveDirectoryA("c:\\old")); }, ERROR_ACCESS_DENIED},
      {F::Profile, "a profile read finds nothing", [&] { return GetPrivateProfileStringA("s", "k", "", buf, 16, "test.ini") ? 0 : GetLastError(); },
       ERROR_ACCESS_DENIED},
      {F::Profile, "a profile write", [] { return err(WritePrivateProfileStringA("s", "k", "x", "test.ini")); }, ERROR_ACCESS_DENIED},
      {F::Registry, "RegSetValueExA", [&] { return DWORD(RegSetValueExA(k, "x", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4)); },
       ERROR_REGISTRY_IO_FAILED},
      {F::Registry, "RegOpenKeyExA", [&] { return DWORD(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Q", 0, KEY_READ, &(other = k))); },
       ERROR_REGISTRY_IO_FAILED},
      {F::Dde, "DdeInitializeA", [&] { return DdeInitializeA(&inst, ignore, APPCMD_CLIENTONLY, 0); }, DMLERR_SYS_ERROR},
  };
  for (const auto &c : cases) {
    long calls = w32::callCount(c.cls), all = w32::callCount(F::Any);
    w32::armFault(c.cls, 1, false);
    expectCalls({{c.what, c.call, c.error}});
    EXPECT_EQ(w32::callCount(c.cls) - calls, 1) << c.what;
    EXPECT_EQ(w32::callCount(F::Any) - all, 1) << c.what;
    w32::clearFaults();
  }
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(inst, 0u);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS) << "closing is no fault class";
  CloseHandle(r);
  CloseHandle(w);
  EXPECT_EQ(w32::openHandleCount(), 0);
  EXPECT_EQ(readHost(cdrive("/out.bin")), "");
  EXPECT_EQ(readHost(prefix + "/system.reg"), reg);
  EXPECT_EQ(readHost(cdrive("/windows/test.ini")), "[s]\r\nk=v\r\n");
  for (const char *gone : {"/new.bin", "/newdir"}) EXPECT_FALSE(hostExists(cdrive(gone))) << gone;
  EXPECT_TRUE(hostExists(cdrive("/src.bin")) && hostExists(cdrive("/old")));
}

// Catches an off-by-one countdown, a wrong transient or persistent fault, and a failed read eating bytes.
TEST_F(FaultTest, NthCallTransientOrPersistent) {
  writeHost(cdrive("/src.bin"), "abcdefgh");
  const struct {
    long nth;
    bool persistent;
    const char *pattern; // one character per call: . succeeds, x fails
  } cases[] = {
      {1, false, "x......."}, {3, false, "..x....."}, {3, true, "..xxxxxx"}, {1, true, "xxxxxxxx"},
      {8, false, ".......x"}, {9, false, "........"}, {0, true, "........"}, // nth < 1 arms nothing
  };
  for (const auto &c : cases) {
    HANDLE f = asHandle(OpenFile("c:\\src.bin", nullptr, OF_READ));
    w32::armFault(w32::Fault::Read, c.nth, c.persistent);
    std::string seen, bytes;
    for (int i = 0; i < 8; ++i) {
      char ch = 0;
      DWORD got = 0;
      bool ok = ReadFile(f, &ch, 1, &got, nullptr);
      seen += ok ? '.' : 'x';
      if (ok) bytes += ch;
    }
    EXPECT_EQ(seen, c.pattern) << c.nth << (c.persistent ? " persistent" : " once");
    EXPECT_EQ(bytes, std::string("abcdefgh").substr(0, bytes.size()));
    w32::clearFaults();
    CloseHandle(f);
  }
}

// Catches a handle or block counted wrongly, a double HeapFree performed, and a foreign heap accepted.
TEST_F(FaultTest, HandlesAndHeapBlocksAreAccounted) {
  WIN32_FIND_DATAA fd;
  HANDLE find = FindFirstFileA("c:\\*", &fd);
  char *p = static_cast<char *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p, 64), std::string(64, '\0'));
  EXPECT_EQ(w32::openHandleCount() + w32::heapBlockCount(), 2);
  expectCalls({
      {"FindClose", [&] { return err(FindClose(find)); }, 0},
      {"HeapFree", [&] { return err(HeapFree(GetProcessHeap(), 0, p)); }, 0},
      {"HeapFree again", [&] { return err(HeapFree(GetProcessHeap(), 0, p)); }, ERROR_INVALID_PARAMETER},
      {"HeapFree of NULL", [] { return err(HeapFree(GetProcessHeap(), 0, nullptr)); }, 0},
      {"alloc from another heap", [] { return err(HeapAlloc(reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234)), 0, 8)); },
       ERROR_INVALID_HANDLE},
      {"free to another heap", [&] { return err(HeapFree(reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234)), 0, p)); },
       ERROR_INVALID_HANDLE},
  });
  EXPECT_EQ(w32::openHandleCount() + w32::heapBlockCount(), 0);
}

} // namespace
