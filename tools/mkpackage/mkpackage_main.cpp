// mkpackage: lays out an installation package and prints the byte total
// its progress meter counts.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "package_layout.h"

namespace {

const char *const kUsage =
    "usage: mkpackage --out DIR [options]\n"
    "Lays out the package files in DIR (or, with --disks, in DIR/disk1,\n"
    "DIR/disk2 and DIR/disk3 following the disk sets), writes setup.ini\n"
    "where the installer reads it (with the last disk: DIR/disk3) and the\n"
    "setup program on the first disk, and prints each file with the bytes\n"
    "the progress meter counts for it, then 'total N'. Every file is written\n"
    "to a new temporary file and renamed into place; no input is an output.\n"
    "options:\n"
    "  --disks                 three disk directories instead of one\n"
    "  --optional              include the optional bookmark.htm and www.z\n"
    "  --file NAME=PATH        take package file NAME from PATH (quorvel.z\n"
    "                          too: a ready archive, counted by its members)\n"
    "  --quorvel-member PATH   pack PATH into quorvel.z (repeatable)\n"
    "  --setup-ini FILE        copy FILE as setup.ini\n"
    "  --set KEY=VALUE         a [Quorvel] setting of the written setup.ini\n"
    "  --setup-exe PATH        copy the setup program PATH onto the first disk,\n"
    "                          keeping its name (setup, or setup.exe for\n"
    "                          Windows) and its permissions\n"
    "  --generate              make up payloads for the files not given\n"
    "                          (quorvel.z: members quorvel.exe, notep001.ico,\n"
    "                          quorvel.hlp, under DIR/quorvel-members)\n"
    "  --size N                bytes of each generated payload (default 1000)\n"
    "  --seed N                seed of the generated payloads (default 1)\n"
    "  --ascii|--binary|--auto coding of quorvel.z members (default --auto)\n"
    "  --dict 4|5|6            dictionary bits of quorvel.z members (default 6)\n"
    "exit status: 0 success, 1 the package could not be made, 64 usage error.\n";

int usage(const std::string &message) {
  std::fprintf(stderr, "mkpackage: %s\n%s", message.c_str(), kUsage);
  return 64;
}

bool splitPair(const std::string &text, std::string *key, std::string *value) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  *key = text.substr(0, eq);
  *value = text.substr(eq + 1);
  return true;
}

bool parseNumber(const char *text, uint32_t *value) {
  char *end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (!*text || *end || v > 0xFFFFFFFFul) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  PackagePlan plan;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto next = [&](const char *what) -> const char * {
      if (i + 1 >= argc) return nullptr;
      (void)what;
      return argv[++i];
    };
    std::string key, value;
    const char *v = nullptr;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--out") {
      if (!(v = next("DIR"))) return usage("--out needs a directory");
      plan.outDir = v;
    } else if (arg == "--disks") {
      plan.disks = true;
    } else if (arg == "--optional") {
      plan.optionalFiles = true;
    } else if (arg == "--generate") {
      plan.generate = true;
    } else if (arg == "--file") {
      if (!(v = next("NAME=PATH")) || !splitPair(v, &key, &value)) return usage("--file needs NAME=PATH");
      plan.files[key] = value;
    } else if (arg == "--quorvel-member") {
      if (!(v = next("PATH"))) return usage("--quorvel-member needs a path");
      plan.quorvelMembers.push_back(v);
    } else if (arg == "--setup-ini") {
      if (!(v = next("FILE"))) return usage("--setup-ini needs a file");
      plan.setupIni = v;
    } else if (arg == "--set") {
      if (!(v = next("KEY=VALUE")) || !splitPair(v, &key, &value)) return usage("--set needs KEY=VALUE");
      plan.settings.emplace_back(key, value);
    } else if (arg == "--setup-exe") {
      if (!(v = next("PATH"))) return usage("--setup-exe needs a path");
      plan.setupExe = v;
    } else if (arg == "--size") {
      if (!(v = next("N")) || !parseNumber(v, &plan.generatedSize)) return usage("--size needs a number");
    } else if (arg == "--seed") {
      if (!(v = next("N")) || !parseNumber(v, &plan.seed)) return usage("--seed needs a number");
    } else if (arg == "--ascii") {
      plan.mode = ImplodeMode::Ascii;
    } else if (arg == "--binary") {
      plan.mode = ImplodeMode::Binary;
    } else if (arg == "--auto") {
      plan.mode = ImplodeMode::Auto;
    } else if (arg == "--dict") {
      uint32_t bits = 0;
      if (!(v = next("BITS")) || !parseNumber(v, &bits) || bits < 4 || bits > 6) return usage("--dict needs 4, 5 or 6");
      plan.dictBits = static_cast<int>(bits);
    } else {
      return usage("unknown argument " + arg);
    }
  }
  if (plan.outDir.empty()) return usage("no --out directory");
  if (!plan.setupIni.empty() && !plan.settings.empty()) return usage("--setup-ini and --set exclude each other");

  PackageResult result;
  std::string error;
  if (!makePackage(plan, &result, &error)) {
    std::fprintf(stderr, "mkpackage: %s\n", error.c_str());
    return 1;
  }
  for (const PackagedFile &f : result.files) {
    std::printf("disk%d %-12s %10llu bytes, counted %10llu\n", f.disk, f.name.c_str(),
                static_cast<unsigned long long>(f.size), static_cast<unsigned long long>(f.counted));
  }
  std::printf("total %llu\n", static_cast<unsigned long long>(result.progressTotal));
  return 0;
}
