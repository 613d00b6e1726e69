// Plan files: a package described as an INI file, read and written back.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "package_layout.h"

bool splitPair(const std::string &text, std::string *key, std::string *value) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  *key = text.substr(0, eq);
  *value = text.substr(eq + 1);
  return true;
}

bool parseNumber(const std::string &text, uint64_t limit, uint64_t *value) {
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end || errno || v > limit) return false;
  *value = v;
  return true;
}

std::string controlCharacterIn(const std::string &text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      char name[48];
      std::snprintf(name, sizeof name, "a control character (0x%02x)", u);
      return name;
    }
  }
  return "";
}

std::string settingKeyProblem(const std::string &key) {
  if (key[0] != '[' && key[0] != ';') return "";
  return "setup.ini key " + key + ": a line starting with " + key.substr(0, 1) + " is " +
         (key[0] == '[' ? "a section" : "a comment") + ", not a setting";
}

bool parseNumber(const std::string &text, uint32_t *value) {
  uint64_t v = 0;
  if (!parseNumber(text, 0xFFFFFFFFull, &v)) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

namespace {

bool parseYes(const std::string &text, bool *value) {
  if (text == "yes" || text == "1" || text == "true") {
    *value = true;
  } else if (text == "no" || text == "0" || text == "false") {
    *value = false;
  } else {
    return false;
  }
  return true;
}

const char *modeName(ImplodeMode mode) {
  return mode == ImplodeMode::Ascii ? "ascii" : mode == ImplodeMode::Binary ? "binary" : "auto";
}

std::string trimmed(const std::string &text) {
  size_t b = text.find_first_not_of(" \t\r");
  size_t e = text.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : text.substr(b, e - b + 1);
}

std::string absolute(const std::string &path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace

// Reads a plan file into plan; false with *error (naming the file and line).
bool readPlan(const std::string &file, PackagePlan *plan, std::string *error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = file + ": " + strerror(errno);
    return false;
  }
  std::string base = file.find('/') == std::string::npos ? "" : file.substr(0, file.rfind('/') + 1);
  auto pathOf = [&](const std::string &p) { return p.empty() || p[0] == '/' ? p : base + p; };
  std::string section, line;
  int number = 0;
  while (std::getline(in, line)) {
    number++;
    line = trimmed(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    std::string where = file + ":" + std::to_string(number);
    if (line[0] == '[') {
      if (line.back() != ']') {
        *error = where + ": a section line ends in ]";
        return false;
      }
      section = trimmed(line.substr(1, line.size() - 2));
      if (section != "Package" && section != "Files" && section != "quorvel.z" && section != "setup.ini") {
        *error = where + ": unknown section [" + section + "] (Package, Files, quorvel.z, setup.ini)";
        return false;
      }
      continue;
    }
    std::string key, value;
    if (!splitPair(line, &key, &value)) {
      *error = where + ": not KEY=VALUE";
      return false;
    }
    key = trimmed(key);
    value = trimmed(value);
    // A name or value of a plan goes into a file name or an INI line: no
    // control character (a NUL would cut a path, a line end start a line).
    std::string bad = controlCharacterIn(key + value);
    if (!bad.empty()) {
      *error = where + ": " + key + " holds " + bad;
      return false;
    }
    bool ok = true;
    if (section == "Package") {
      uint64_t n = 0;
      if (key == "Out") {
        plan->outDir = pathOf(value);
      } else if (key == "Layout") {
        ok = value == "disks" || value == "directory";
        plan->disks = value == "disks";
      } else if (key == "DiskSize") {
        ok = parseNumber(value, ~0ull, &plan->diskSize);
      } else if (key == "Optional") {
        ok = parseYes(value, &plan->optionalFiles);
      } else if (key == "Replace") {
        ok = parseYes(value, &plan->replace);
      } else if (key == "Generate") {
        ok = parseYes(value, &plan->generate);
      } else if (key == "SetupProgram") {
        plan->setupExe = pathOf(value);
      } else if (key == "Target") {
        plan->target = value;
      } else if (key == "SetupIni") {
        plan->setupIni = pathOf(value);
      } else if (key == "Size") {
        ok = parseNumber(value, &plan->generatedSize);
      } else if (key == "Seed") {
        ok = parseNumber(value, &plan->seed);
      } else if (key == "Dict") {
        ok = parseNumber(value, 6, &n) && n >= 4;
        plan->dictBits = static_cast<int>(n);
      } else if (key == "Best") {
        ok = parseYes(value, &plan->best);
      } else {
        *error = where + ": unknown key " + key +
                 " (Out, Layout, DiskSize, Optional, Replace, Generate, SetupProgram, Target, SetupIni, Size, "
                 "Seed, Dict, Best)";
        return false;
      }
    } else if (section == "Files") {
      plan->files[key] = pathOf(value);
    } else if (section == "quorvel.z") {
      ImplodeMode mode = key == "ascii" ? ImplodeMode::Ascii : key == "binary" ? ImplodeMode::Binary : ImplodeMode::Auto;
      if (key != "ascii" && key != "binary" && key != "auto") {
        *error = where + ": a member line is ascii=PATH, binary=PATH or auto=PATH";
        return false;
      }
      plan->quorvelMemberModes.resize(plan->quorvelMembers.size(), plan->mode);
      plan->quorvelMembers.push_back(pathOf(value));
      plan->quorvelMemberModes.push_back(mode);
    } else if (section == "setup.ini") {
      plan->settings.emplace_back(key, value);
    } else {
      *error = where + ": a setting before any section";
      return false;
    }
    if (!ok) {
      *error = where + ": bad value for " + key + ": " + value;
      return false;
    }
  }
  return true;
}

// The plan as a plan file, with absolute paths so that it works from anywhere.
std::string planText(const PackagePlan &plan) {
  std::ostringstream out;
  out << "; mkpackage plan\n[Package]\n";
  if (!plan.outDir.empty()) out << "Out=" << absolute(plan.outDir) << "\n";
  out << "Layout=" << (plan.disks ? "disks" : "directory") << "\n";
  if (plan.disks) out << "DiskSize=" << plan.diskSize << "\n";
  out << "Optional=" << (plan.optionalFiles ? "yes" : "no") << "\n";
  if (plan.replace) out << "Replace=yes\n";
  if (!plan.setupExe.empty()) out << "SetupProgram=" << absolute(plan.setupExe) << "\n";
  if (!plan.target.empty()) out << "Target=" << plan.target << "\n";
  if (!plan.setupIni.empty()) out << "SetupIni=" << absolute(plan.setupIni) << "\n";
  if (plan.generate) out << "Generate=yes\nSize=" << plan.generatedSize << "\nSeed=" << plan.seed << "\n";
  out << "Dict=" << plan.dictBits << "\n";
  if (plan.best) out << "Best=yes\n";
  if (!plan.files.empty()) {
    out << "\n[Files]\n";
    for (const auto &f : plan.files) out << f.first << "=" << absolute(f.second) << "\n";
  }
  if (!plan.quorvelMembers.empty()) {
    out << "\n[quorvel.z]\n";
    for (size_t i = 0; i < plan.quorvelMembers.size(); i++) {
      ImplodeMode mode = i < plan.quorvelMemberModes.size() ? plan.quorvelMemberModes[i] : plan.mode;
      out << modeName(mode) << "=" << absolute(plan.quorvelMembers[i]) << "\n";
    }
  }
  if (!plan.settings.empty()) {
    out << "\n[setup.ini]\n";
    for (const auto &kv : plan.settings) out << kv.first << "=" << kv.second << "\n";
  }
  return out.str();
}

