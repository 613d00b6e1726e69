// w32prefix reg import at scale: a REGEDIT4 file of N values (default
// 400,000) in keys of 1,000, imported into a fresh prefix by the real
// tool, timed with its peak memory; the registry then holds every value.
// Target: 400,000 values in a few seconds (one write of the registry).
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "w32_test.h"

extern char **environ;

int main(int argc, char **argv) {
  long n = argc > 1 ? strtol(argv[1], nullptr, 10) : 400000;
  if (n <= 0) {
    fprintf(stderr, "usage: registry_import_bench [N]\n");
    return 2;
  }
  char tmpl[] = "/tmp/qv-import-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl, prefix = dir + "/prefix", file = dir + "/values.reg";
  {
    std::ofstream out(file, std::ios::binary);
    out << "REGEDIT4\r\n\r\n";
    for (long i = 0; i < n; ++i) {
      if (i % 1000 == 0) out << "\r\n[HKEY_LOCAL_MACHINE\\Software\\Bulk\\Key" << i / 1000 << "]\r\n";
      out << "\"Value" << i % 1000 << "\"=\"data " << i << "\"\r\n";
    }
  }
  setenv("W32_PREFIX", prefix.c_str(), 1);
  std::vector<char *> args = {const_cast<char *>(QV_W32PREFIX), const_cast<char *>("reg"),
                              const_cast<char *>("import"), &file[0], nullptr};
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, QV_W32PREFIX, nullptr, nullptr, args.data(), environ) != 0) return 1;
  int status = 0;
  struct rusage use;
  wait4(pid, &status, 0, &use);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  w32::resetForTest(prefix);
  HKEY k;
  std::string last = "Software\\Bulk\\Key" + std::to_string((n - 1) / 1000);
  DWORD values = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, last.c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS) {
    char name[32];
    for (DWORD size = sizeof name; RegEnumValueA(k, values, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                                   ERROR_SUCCESS;
         size = sizeof name)
      ++values;
    RegCloseKey(k);
  }
  bool complete = values == static_cast<DWORD>((n - 1) % 1000 + 1);
  printf("reg import of %ld values: %.2f s, peak memory %ld MB, exit status %d, last key %s\n", n, seconds,
         use.ru_maxrss / 1024, WIFEXITED(status) ? WEXITSTATUS(status) : -1, complete ? "complete" : "INCOMPLETE");
  printf("target: 400,000 values in a few seconds: %s\n",
         seconds < 5 && complete && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "met" : "NOT MET");
  std::string cleanup = "rm -rf '" + dir + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
