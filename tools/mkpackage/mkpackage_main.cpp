// mkpackage: lays out an installation package and prints the byte total
// its progress meter counts. The package is described on the command line,
// or in a plan file (the same settings, INI-style), or both.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "package_layout.h"
#include "tool_cli.h"

namespace {

const char kUsageHead[] =
    "usage: mkpackage --out DIR [options]\n"
    "       mkpackage --plan FILE [options]\n"
    "Lays out the package files in DIR (or, with --disks, in DIR/disk1,\n"
    "DIR/disk2 and DIR/disk3 following the disk sets), writes setup.ini\n"
    "where the installer reads it (with the last disk: DIR/disk3) and the\n"
    "setup program on the first disk, and prints each file with the bytes\n"
    "the progress meter counts for it, then 'total N' and how that compares\n"
    "with the setup program's package total (a warning when it is more than\n"
    "5% off). The whole layout is made in a directory beside DIR and swapped\n"
    "in when complete, so a failed or stopped run leaves the old package as\n"
    "it was; no input is an output. DIR must be missing, empty, or a package\n"
    "mkpackage made (it keeps a listing, .mkpackage, of what it laid out);\n"
    "a file replaced keeps its mode and owner. quorvel.z must hold\n"
    "quorvel.exe, a program for the target, and should hold notep001.ico.\n"
    "options:\n"
    "  --plan FILE             read the package from a plan file (see below);\n"
    "                          options after it change or add to it\n"
    "  --print-plan            write the plan of this command line to standard\n"
    "                          output and lay out nothing\n"
    "  --out DIR               the package directory\n"
    "  --disks                 three disk directories instead of one\n"
    "  --disk-size BYTES       what each disk holds (default 1457664, a 1.44 MB\n"
    "                          floppy; 0: no limit); checked before writing\n"
    "  --replace               lay out in DIR even if it holds the other layout\n"
    "                          or files mkpackage did not make (the package's\n"
    "                          files replace those of their names; every other\n"
    "                          file stays)\n"
    "  -f, --force             replace read-only package files too\n"
    "  --optional              include the optional bookmark.htm and www.z\n"
    "  --file NAME=PATH        take package file NAME from PATH (quorvel.z\n"
    "                          too: a ready archive, counted by its members)\n"
    "  --quorvel-member PATH   pack PATH into quorvel.z (repeatable), coded as\n"
    "                          the last --ascii, --binary or --auto before it\n"
    "  --ascii|--binary|--auto coding of the quorvel.z members that follow\n"
    "                          (default --auto)\n"
    "  --dict 4|5|6            dictionary bits of quorvel.z members (default 6)\n"
    "  --best                  pack quorvel.z members into the smallest streams\n"
    "                          the format allows (zarc implode --best)\n"
    "  --setup-ini FILE        copy FILE as setup.ini\n"
    "  --set KEY=VALUE         a [Quorvel] setting of the written setup.ini\n"
    "  --setup-exe PATH        copy the setup program PATH onto the first disk,\n"
    "                          as setup (a Linux program) or setup.exe (Windows)\n"
    "  --target linux|windows  the system the package is for (default: the one\n"
    "                          the --setup-exe program was built for)\n"
    "  --generate              make up payloads for the files not given\n"
    "                          (quorvel.z: members quorvel.exe, notep001.ico,\n"
    "                          quorvel.hlp, kept beside the package in DIR.members)\n"
    "  --size N                bytes of each generated payload (default 1000)\n"
    "  --seed N                seed of the generated payloads (default 1)\n"
    "  -q, --quiet             no progress line and no line per file: only\n"
    "                          the totals, warnings and errors\n"
    "  --help, --version\n"
    "Short options combine (-qf).\n";

const char kUsageTail[] =
    "A plan file (relative paths in it are taken from its own directory):\n"
    "  [Package]       Out=DIR  Layout=directory|disks  DiskSize=BYTES\n"
    "                  Optional=yes  Replace=yes  SetupProgram=PATH\n"
    "                  Target=linux|windows  SetupIni=FILE  Generate=yes\n"
    "                  Size=N  Seed=N  Dict=4|5|6  Best=yes\n"
    "  [Files]         NAME=PATH, one line a package file\n"
    "  [quorvel.z]     binary=PATH, ascii=PATH or auto=PATH, one line a member\n"
    "  [setup.ini]     KEY=VALUE, the [Quorvel] settings of the written setup.ini\n";

void printHelp() {
  std::fputs(kUsageHead, stdout);
  std::printf("The package files, by disk:\n");
  for (int d = 1; d <= 3; d++) {
    std::string line;
    for (const PackageFileInfo &f : packageFileList()) {
      if (f.disk == d) line += std::string(" ") + f.name + (f.optional ? " (optional)" : "");
    }
    std::printf("  disk%d:%s\n", d, line.c_str());
  }
  std::printf("The setup.ini keys the setup program reads ([Quorvel]):\n  %s\n", setupIniKeyNames().c_str());
  std::fputs(kUsageTail, stdout);
  std::fputs(kExitStatusHelp, stdout);
}

int usage(const std::string &message) {
  toolError("mkpackage", "", message, "");
  std::fprintf(stderr, "Try 'mkpackage --help'.\n");
  return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
  PackagePlan plan;
  bool printPlan = false, quiet = false;
  std::vector<std::string> args = splitShortOptions(argc, argv, "");
  // Names, paths and settings end up in file names and INI lines.
  for (size_t i = 0; i < args.size(); i++) {
    std::string bad = controlCharacterIn(args[i]);
    if (bad.empty()) continue;
    std::string after = i > 0 ? " (after " + args[i - 1] + ")" : "";
    return usage("argument " + std::to_string(i + 1) + after + " holds " + bad +
                 "; mkpackage takes none in names, paths or settings");
  }
  for (size_t i = 0; i < args.size(); i++) {
    const std::string &arg = args[i];
    auto next = [&]() -> const char * { return i + 1 < args.size() ? args[++i].c_str() : nullptr; };
    std::string key, value, error;
    const char *v = nullptr;
    if (arg == "--help" || arg == "-h") {
      printHelp();
      return kExitOk;
    } else if (arg == "--version") {
      printVersion("mkpackage");
      return kExitOk;
    } else if (arg == "--plan") {
      if (!(v = next())) return usage("--plan needs a file");
      if (std::FILE *f = std::fopen(v, "rb")) {
        std::fclose(f);
      } else {
        toolError("mkpackage", "", v, std::strerror(errno));
        return kExitIo;
      }
      if (!readPlan(v, &plan, &error)) {
        toolError("mkpackage", "", "cannot use the plan", error);
        return kExitBadData;
      }
    } else if (arg == "--print-plan") {
      printPlan = true;
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
    } else if (arg == "--out") {
      if (!(v = next())) return usage("--out needs a directory");
      plan.outDir = v;
    } else if (arg == "--disks") {
      plan.disks = true;
    } else if (arg == "--disk-size") {
      if (!(v = next()) || !parseNumber(v, ~0ull, &plan.diskSize)) return usage("--disk-size needs a number of bytes");
    } else if (arg == "--replace") {
      plan.replace = true;
    } else if (arg == "-f" || arg == "--force") {
      plan.force = true;
    } else if (arg == "--optional") {
      plan.optionalFiles = true;
    } else if (arg == "--generate") {
      plan.generate = true;
    } else if (arg == "--file") {
      if (!(v = next()) || !splitPair(v, &key, &value)) return usage("--file needs NAME=PATH");
      plan.files[key] = value;
    } else if (arg == "--quorvel-member") {
      if (!(v = next())) return usage("--quorvel-member needs a path");
      plan.quorvelMemberModes.resize(plan.quorvelMembers.size(), plan.mode);
      plan.quorvelMembers.push_back(v);
      plan.quorvelMemberModes.push_back(plan.mode);
    } else if (arg == "--setup-ini") {
      if (!(v = next())) return usage("--setup-ini needs a file");
      plan.setupIni = v;
    } else if (arg == "--set") {
      if (!(v = next()) || !splitPair(v, &key, &value)) return usage("--set needs KEY=VALUE");
      std::string problem = settingKeyProblem(key);
      if (!problem.empty()) return usage("--set " + problem);
      plan.settings.emplace_back(key, value);
    } else if (arg == "--setup-exe") {
      if (!(v = next())) return usage("--setup-exe needs a path");
      plan.setupExe = v;
    } else if (arg == "--target") {
      if (!(v = next()) || setupProgramName(v).empty()) return usage("--target needs linux or windows");
      plan.target = v;
    } else if (arg == "--size") {
      if (!(v = next()) || !parseNumber(v, &plan.generatedSize)) return usage("--size needs a number");
    } else if (arg == "--seed") {
      if (!(v = next()) || !parseNumber(v, &plan.seed)) return usage("--seed needs a number");
    } else if (arg == "--ascii") {
      plan.mode = ImplodeMode::Ascii;
    } else if (arg == "--binary") {
      plan.mode = ImplodeMode::Binary;
    } else if (arg == "--auto") {
      plan.mode = ImplodeMode::Auto;
    } else if (arg == "--best") {
      plan.best = true;
    } else if (arg == "--dict") {
      uint64_t bits = 0;
      if (!(v = next()) || !parseNumber(v, 6, &bits) || bits < 4) return usage("--dict needs 4, 5 or 6");
      plan.dictBits = static_cast<int>(bits);
    } else if (!arg.empty() && arg[0] == '-') {
      return usage("unknown option " + arg);
    } else {
      return usage("unexpected argument " + arg + " (mkpackage takes options only)");
    }
  }
  if (!plan.setupIni.empty() && !plan.settings.empty()) return usage("--setup-ini and --set exclude each other");
  if (printPlan) {
    std::fputs(planText(plan).c_str(), stdout);
    return kExitOk;
  }
  if (plan.outDir.empty()) return usage("no --out directory");

  std::unique_ptr<ProgressLine> line;
  plan.progress = [&](size_t done, size_t total) {
    if (!line) line.reset(new ProgressLine("mkpackage", "laying out " + plan.outDir, total, quiet));
    line->update(done);
  };
  PackageResult result;
  std::string error;
  bool made = makePackage(plan, &result, &error);
  line.reset();
  for (const std::string &w : result.warnings) toolError("mkpackage", "", "warning", w);
  if (!made) {
    toolError("mkpackage", "", "cannot lay out " + plan.outDir, error);
    return result.ioFailure ? kExitIo : kExitBadData;
  }
  // Each file as the layout has it: disk1/nsystem.z on disks, nsystem.z in
  // one directory.
  for (const PackagedFile &f : result.files) {
    if (quiet) break;
    std::string shown = plan.disks ? "disk" + std::to_string(f.disk) + "/" + f.name : f.name;
    std::printf("%-*s %10llu bytes, counted %10llu\n", plan.disks ? 18 : 12, shown.c_str(),
                static_cast<unsigned long long>(f.size), static_cast<unsigned long long>(f.counted));
  }
  std::printf("total %llu\n", static_cast<unsigned long long>(result.progressTotal));
  std::printf("of the setup program's package total %llu: %.1f%%\n",
              static_cast<unsigned long long>(setupPackageTotal()),
              100.0 * static_cast<double>(result.progressTotal) / static_cast<double>(setupPackageTotal()));
  return std::fflush(stdout) == 0 ? kExitOk : kExitIo;
}
