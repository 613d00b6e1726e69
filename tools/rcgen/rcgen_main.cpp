// rcgen: turns the program's resource script into a C++ source for the
// Linux build, where the Win32 layer reads dialogs, strings and bitmaps from
// tables compiled into the program (w32_resource.h).
//
//   rcgen SCRIPT.rc OUTPUT.cpp
//
// On a fault in the script it prints FILE:LINE: what it found, writes
// nothing and exits 1.  The output goes to a temporary file in its
// directory, renamed into place when complete; it may not be any of the
// files it reads.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rc_script.h"
#include "output_file.h"

namespace {

std::string baseName(const std::string &path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool sameFile(const std::string &a, const std::string &b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool writeAtomically(const std::string &path, const std::string &text) {
  std::string error;
  if (writeOutput(path, OutputOptions(), [&](int fd) { return writeAllTo(fd, text.data(), text.size()); }, &error))
    return true;
  std::fprintf(stderr, "rcgen: %s\n", error.c_str());
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: rcgen SCRIPT.rc OUTPUT.cpp\n");
    return 2;
  }
  const std::string scriptPath = argv[1], outputPath = argv[2];
  rcgen::Script script;
  try {
    script = rcgen::parseScript(scriptPath);
  } catch (const rcgen::ScriptError &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  for (const std::string &input : script.inputs) {
    if (sameFile(input, outputPath)) {
      std::fprintf(stderr, "rcgen: the output %s is one of the inputs (%s)\n", outputPath.c_str(), input.c_str());
      return 1;
    }
  }
  return writeAtomically(outputPath, rcgen::emitSource(script, baseName(scriptPath))) ? 0 : 1;
}
