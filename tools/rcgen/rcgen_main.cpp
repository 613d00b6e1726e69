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
  std::string::size_type slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string temp = dir + "/.rcgen.XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());  // O_CREAT | O_EXCL
  if (fd < 0) {
    std::fprintf(stderr, "rcgen: cannot create a temporary file in %s: %s\n", dir.c_str(), std::strerror(errno));
    return false;
  }
  mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) ok = false;
  if (ok && std::rename(name.data(), path.c_str()) == 0) return true;
  std::fprintf(stderr, "rcgen: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  std::remove(name.data());
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
