// Fault injection: Nth call, transient and persistent, each class's failure,
// the Any sweep, handle and heap accounting.
#include "w32_fixture.h"

#include <cstring>

namespace {

class FaultTest : public W32Test {
protected:
  void SetUp() override {
    W32Test::SetUp();
    writeHost(cdrive("/src.bin"), "abcdefgh");
  }
};

struct PatternCase {
  long nth;
  bool persistent;
  const char *pattern; // one character per call: . succeeds, x fails
};

const PatternCase kPatterns[] = {
    {1, false, "x......."},
    {3, false, "..x....."},
    {3, true, "..xxxxxx"},
    {1, true, "xxxxxxxx"},
    {8, false, ".......x"},
    {9, false, "........"},
    {0, true, "........"}, // nth < 1 arms nothing
};

TEST_F(FaultTest, NthCallTransientOrPersistent) {
  for (const PatternCase &c : kPatterns) {
    HFILE f = OpenFile("c:\\src.bin", nullptr, OF_READ);
    ASSERT_NE(f, HFILE_ERROR);
    w32::armFault(w32::Fault::Read, c.nth, c.persistent);
    std::string seen, bytes;
    for (int i = 0; i < 8; ++i) {
      char ch = 0;
      DWORD got = 0xdead;
      SetLastError(0);
      if (ReadFile((HANDLE)(INT_PTR)f, &ch, 1, &got, nullptr)) {
        seen += '.';
        bytes += ch;
      } else {
        seen += 'x';
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
        EXPECT_EQ(got, 0u);
      }
    }
    EXPECT_EQ(seen, c.pattern) << c.nth << (c.persistent ? " persistent" : " once");
    // A failed read consumes nothing: the good reads see the file in order.
    EXPECT_EQ(bytes, std::string("abcdefgh").substr(0, bytes.size()));
    w32::clearFaults();
    CloseHandle((HANDLE)(INT_PTR)f);
  }
}

TEST_F(FaultTest, EachClassFailsLikeTheRealFailure) {
  HFILE f;
  w32::armFault(w32::Fault::Open, 1, false);
  EXPECT_EQ(OpenFile("c:\\src.bin", nullptr, OF_READ), HFILE_ERROR);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  w32::armFault(w32::Fault::Create, 1, false);
  EXPECT_EQ(OpenFile("c:\\new.bin", nullptr, OF_CREATE | OF_WRITE), HFILE_ERROR);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(hostExists(cdrive("/new.bin")));
  EXPECT_EQ(OpenFile("c:\\src.bin", nullptr, OF_CREATE | OF_WRITE) != HFILE_ERROR, true); // transient: next works
  w32::resetForTest(prefix);

  f = OpenFile("c:\\out.bin", nullptr, OF_CREATE | OF_WRITE);
  ASSERT_NE(f, HFILE_ERROR);
  w32::armFault(w32::Fault::Write, 1, false);
  DWORD put = 0xdead;
  EXPECT_FALSE(WriteFile((HANDLE)(INT_PTR)f, "data", 4, &put, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  EXPECT_EQ(put, 0u);
  CloseHandle((HANDLE)(INT_PTR)f);
  EXPECT_EQ(readHost(cdrive("/out.bin")), "");

  w32::armFault(w32::Fault::Alloc, 1, false);
  EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 100), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

  w32::armFault(w32::Fault::Directory, 1, false);
  EXPECT_FALSE(CreateDirectoryA("c:\\newdir", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(hostExists(cdrive("/newdir")));
  w32::armFault(w32::Fault::Directory, 1, false);
  WIN32_FIND_DATAA fd;
  EXPECT_EQ(FindFirstFileA("c:\\src.bin", &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(w32::openHandleCount(), 0);
}

TEST_F(FaultTest, CallsAreCountedPerClassAndTogether) {
  HFILE f = OpenFile("c:\\src.bin", nullptr, OF_READ);         // Open 1
  HFILE g = OpenFile("c:\\dst.bin", nullptr, OF_CREATE | OF_WRITE); // Create 1
  char buf[4];
  DWORD n;
  ReadFile((HANDLE)(INT_PTR)f, buf, 4, &n, nullptr);  // Read 1
  ReadFile((HANDLE)(INT_PTR)f, buf, 4, &n, nullptr);  // Read 2
  WriteFile((HANDLE)(INT_PTR)g, buf, 4, &n, nullptr); // Write 1
  void *p = HeapAlloc(GetProcessHeap(), 0, 8);        // Alloc 1
  CreateDirectoryA("c:\\d", nullptr);                  // Directory 1
  SetFilePointer((HANDLE)(INT_PTR)f, 0, nullptr, FILE_BEGIN); // not a fault class
  CloseHandle((HANDLE)(INT_PTR)f);
  CloseHandle((HANDLE)(INT_PTR)g);
  HeapFree(GetProcessHeap(), 0, p);
  const std::pair<w32::Fault, long> expect[] = {
      {w32::Fault::Open, 1},  {w32::Fault::Create, 1},    {w32::Fault::Read, 2},    {w32::Fault::Write, 1},
      {w32::Fault::Alloc, 1}, {w32::Fault::Directory, 1}, {w32::Fault::Profile, 0}, {w32::Fault::Any, 7},
  };
  for (const auto &e : expect) EXPECT_EQ(w32::callCount(e.first), e.second) << static_cast<int>(e.first);
  w32::resetForTest(prefix);
  EXPECT_EQ(w32::callCount(w32::Fault::Any), 0);
}

TEST_F(FaultTest, AnyCountsEveryClass) {
  w32::armFault(w32::Fault::Any, 4, false);
  HFILE f = OpenFile("c:\\src.bin", nullptr, OF_READ); // 1
  ASSERT_NE(f, HFILE_ERROR);
  char buf[2];
  DWORD n;
  EXPECT_TRUE(ReadFile((HANDLE)(INT_PTR)f, buf, 2, &n, nullptr)); // 2
  void *p = HeapAlloc(GetProcessHeap(), 0, 16);                   // 3
  EXPECT_NE(p, nullptr);
  EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 16), nullptr); // 4: fails
  EXPECT_TRUE(ReadFile((HANDLE)(INT_PTR)f, buf, 2, &n, nullptr)); // once only
  HeapFree(GetProcessHeap(), 0, p);
  CloseHandle((HANDLE)(INT_PTR)f);
  // A class's own arming and Any count independently; either one fails the call.
  w32::armFault(w32::Fault::Any, 3, false);
  w32::armFault(w32::Fault::Open, 1, false);
  EXPECT_EQ(OpenFile("c:\\src.bin", nullptr, OF_READ), HFILE_ERROR); // Open 1 (Any 1)
  f = OpenFile("c:\\src.bin", nullptr, OF_READ);                     // Any 2
  EXPECT_NE(f, HFILE_ERROR);
  EXPECT_FALSE(ReadFile((HANDLE)(INT_PTR)f, buf, 2, &n, nullptr)); // Any 3
  CloseHandle((HANDLE)(INT_PTR)f);
}

TEST_F(FaultTest, HandlesAndHeapBlocksAreAccounted) {
  HFILE f = OpenFile("c:\\src.bin", nullptr, OF_READ);
  WIN32_FIND_DATAA fd;
  HANDLE find = FindFirstFileA("c:\\*", &fd);
  EXPECT_EQ(w32::openHandleCount(), 2);
  CloseHandle((HANDLE)(INT_PTR)f);
  EXPECT_EQ(w32::openHandleCount(), 1);
  FindClose(find);
  EXPECT_EQ(w32::openHandleCount(), 0);

  // resetForTest closes what a failed test left open.
  OpenFile("c:\\src.bin", nullptr, OF_READ);
  w32::resetForTest(prefix);
  EXPECT_EQ(w32::openHandleCount(), 0);

  char *p = static_cast<char *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_EQ(w32::heapBlockCount(), 1);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, p));
  EXPECT_EQ(w32::heapBlockCount(), 0);
  SetLastError(0);
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, p)); // a second release is refused, not performed
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, nullptr));
  EXPECT_EQ(HeapAlloc(reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234)), 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  void *zero = HeapAlloc(GetProcessHeap(), 0, 0);
  EXPECT_NE(zero, nullptr);
  HeapFree(GetProcessHeap(), 0, zero);
}

} // namespace
