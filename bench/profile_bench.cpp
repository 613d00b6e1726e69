// WIN.INI at scale: a file of SIZE megabytes (default 50) of short entries
// in many sections, with an earlier installation's section at its end, run
// through the profile calls an upgrade makes (the reads of the clean-up and
// the deletion of the section); and a file over the 64 MiB cap refused.
// Target: the 50 MB upgrade's calls in about a second, in under 200 MB.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "w32_test.h"

namespace {

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peakKilobytes() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main(int argc, char **argv) {
  long megabytes = argc > 1 ? strtol(argv[1], nullptr, 10) : 50;
  if (megabytes <= 0 || megabytes > 63) {
    fprintf(stderr, "usage: profile_bench [MEGABYTES, 1 to 63]\n");
    return 2;
  }
  char tmpl[] = "/tmp/qv-profile-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string prefix = tmpl;
  setenv("W32_PREFIX", prefix.c_str(), 1);
  w32::resetForTest(prefix);
  std::string winIni = w32::hostPath("C:\\WINDOWS\\WIN.INI");
  {
    std::ofstream out(winIni, std::ios::binary);
    long bytes = 0;
    for (long s = 0; bytes < megabytes * 1000000; ++s) {
      std::string section = "[Section" + std::to_string(s) + "]\r\n";
      for (int k = 0; k < 100; ++k) section += "k" + std::to_string(k) + "=" + std::to_string(k % 10) + "\r\n";
      out << section;
      bytes += static_cast<long>(section.size());
    }
    out << "[Dunmere Network Quorvel]\r\nMain=c:\\oldq\r\nDialer=c:\\oldq\\dialer\r\n";
  }
  long before = peakKilobytes();
  auto start = std::chrono::steady_clock::now();
  const char *section = "Dunmere Network Quorvel";
  char value[300];
  int found = 0;
  for (const char *key : {"Main", "Main", "Eudora", "Main", "Dialer"}) {
    found += GetProfileStringA(section, key, "", value, sizeof value) > 0;
  }
  bool deleted = WriteProfileStringA(section, nullptr, nullptr) != FALSE;
  GetProfileStringA(section, "Main", "c:\\dunmere", value, sizeof value);
  double upgrade = since(start);
  long peak = peakKilobytes();

  truncate(winIni.c_str(), 64L * 1024 * 1024 + 1);
  start = std::chrono::steady_clock::now();
  GetProfileStringA(section, "Main", "", value, sizeof value);
  bool refused = GetLastError() == ERROR_FILE_TOO_LARGE;
  double refusal = since(start);

  printf("WIN.INI of %ld MB: the upgrade's 7 profile calls %.3f s (%.3f s a call), peak memory %ld MB "
         "(%ld MB before the calls); %d of 4 values found, section %s\n",
         megabytes, upgrade, upgrade / 7, peak / 1024, before / 1024, found, deleted ? "deleted" : "NOT DELETED");
  printf("WIN.INI over 64 MiB: %s in %.6f s\n", refused ? "refused" : "NOT REFUSED", refusal);
  bool met = upgrade < 1.5 && peak < 200 * 1024 && found == 4 && deleted && refused;
  printf("target: a 50 MB WIN.INI's upgrade calls in about a second, under 200 MB: %s\n", met ? "met" : "NOT MET");
  std::string cleanup = "rm -rf '" + prefix + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
