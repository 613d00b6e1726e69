// What a package is: the package files the setup program walks, by disk,
// the setup.ini keys it reads, the name its setup program takes on each
// system, and the made-up payloads --generate writes.
#include "package_layout.h"

#include <ctype.h>

const std::vector<PackageFileInfo> &packageFileList() {
  static const std::vector<PackageFileInfo> list = {
      {1, "nsystem.z", false, false},  {1, "netscape.z", false, false}, {1, "plugins.z", false, false},
      {1, "javaclss.z", false, false}, {1, "readme.txt", false, false}, {1, "bookmark.htm", false, true},
      {2, "nprogram.z", false, false}, {2, "quorvel.z", true, false},   {3, "javabin.z", false, false},
      {3, "wsystem.z", false, false},  {3, "www.z", false, true},
  };
  return list;
}

std::string packageFileNames() {
  std::string names;
  for (const PackageFileInfo &f : packageFileList()) names += (names.empty() ? "" : ", ") + std::string(f.name);
  return names;
}

const std::vector<const char *> &setupIniKeys() {
  static const std::vector<const char *> keys = {"IsRegNoAPrefix", "RegNo",    "HomePage",      "HDHomePage",
                                                 "SetupFee",       "FreeHours", "FreeDays",     "SetupFeePrice",
                                                 "MonthlyPrice"};
  return keys;
}

std::string setupIniKeyNames() {
  std::string names;
  for (const char *k : setupIniKeys()) names += (names.empty() ? "" : ", ") + std::string(k);
  return names;
}

namespace {

bool equalsNoCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string trim(const std::string &text) {
  size_t b = text.find_first_not_of(" \t\r");
  size_t e = text.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : text.substr(b, e - b + 1);
}

}  // namespace

// The profile reader matches section and key names without regard to case.
std::vector<std::string> unknownSetupIniKeys(const std::string &iniText) {
  std::vector<std::string> unknown;
  bool inQuorvel = false;
  size_t start = 0;
  while (start < iniText.size()) {
    size_t end = iniText.find('\n', start);
    if (end == std::string::npos) end = iniText.size();
    std::string line = trim(iniText.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      inQuorvel = close != std::string::npos && equalsNoCase(trim(line.substr(1, close - 1)), "Quorvel");
      continue;
    }
    size_t eq = line.find('=');
    if (!inQuorvel || eq == std::string::npos) continue;
    std::string key = trim(line.substr(0, eq));
    bool known = false;
    for (const char *k : setupIniKeys()) known = known || equalsNoCase(key, k);
    if (!known) unknown.push_back(key);
  }
  return unknown;
}

std::string setupProgramName(const std::string &target) {
  return target == "linux" ? "setup" : target == "windows" ? "setup.exe" : "";
}

std::string diskDir(const PackagePlan &plan, int disk) {
  return plan.disks ? plan.outDir + "/disk" + std::to_string(disk) : plan.outDir;
}

PayloadGenerator::PayloadGenerator(const std::string &name, uint32_t seed) {
  state_ = seed * 2654435761u + 12345u;
  for (char c : name) state_ = state_ * 31u + static_cast<unsigned char>(c);
}

void PayloadGenerator::fill(unsigned char *out, size_t n) {
  // Text-like lines so that both coding modes have something to find, with
  // a pseudo-random part so no two files are alike.
  static const char *const words[] = {"quorvel ", "dunmere ", "network ", "setup ", "disk ", "file ", "the ", "a "};
  size_t done = 0;
  while (done < n) {
    if (*pending_) {
      out[done++] = static_cast<unsigned char>(*pending_++);
      continue;
    }
    state_ = state_ * 1103515245u + 12345u;
    uint32_t r = state_ >> 16;
    if (r % 7 == 0) {
      out[done++] = static_cast<unsigned char>(r >> 3);
    } else if (r % 11 == 0) {
      pending_ = "\r\n";
    } else {
      pending_ = words[r % 8];
    }
  }
}
