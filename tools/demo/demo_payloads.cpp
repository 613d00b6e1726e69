// demo_payloads: writes the made-up files of the demo package.
//
//     demo_payloads DIR NAME[:SIZE]...
//     demo_payloads --date FILE...
//
// The first form writes DIR/NAME for each NAME. What a file holds follows
// from its name: readme.txt and bookmark.htm are fixed texts, notep001.ico a
// 32x32 16-colour icon, quorvel.pbk a phone book, rates.tbl a binary rate
// table, .exe .dll .drv .vxd files programs with a Win32 header,
// .cls files Java classes (8.3 names, as the package archives hold), .gif files images, .htm pages of the local home
// page, other names text. SIZE (bytes) applies to the generated kinds. The
// bytes depend on nothing but the name and the size, so every build makes
// the same package. Each file is written to a new temporary file in DIR and
// renamed into place, and dated on the package's release day.
//
// The second form gives existing files that date (for the archives made
// of the payloads), changing nothing else.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "demo_payloads.h"
#include "output_file.h"

using namespace demo;

namespace {

bool endsWith(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

Bytes payload(const std::string &name, size_t size) {
  Random r(name);
  if (name == "readme.txt") return windowsText(kReadme);
  if (name == "bookmark.htm") return windowsText(bookmarks());
  if (name == "notep001.ico") return notepadIcon();
  if (name == "quorvel.pbk") return windowsText(phoneBook(r, size));
  if (name == "rates.tbl") return rateTable(r, size);
  if (endsWith(name, ".exe") || endsWith(name, ".dll") || endsWith(name, ".drv") || endsWith(name, ".vxd")) {
    return program(r, name, size);
  }
  if (endsWith(name, ".cls")) return javaClass(r, name, size);
  if (endsWith(name, ".gif")) return gif(r, size);
  if (endsWith(name, ".htm")) return windowsText(homePage(r, name, size));
  return windowsText(prose(r, size));
}

// The release day, a few minutes on by name.
struct timespec releaseTime(const std::string &name) {
  struct timespec t;
  t.tv_sec = kReleaseTime + 60 * static_cast<time_t>(hashName(name) % 90);
  t.tv_nsec = 0;
  return t;
}

bool setDate(const std::string &path, const std::string &name) {
  struct timespec times[2] = {releaseTime(name), releaseTime(name)};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool writeFile(const std::string &dir, const std::string &name, const Bytes &bytes) {
  struct timespec times[2] = {releaseTime(name), releaseTime(name)};
  std::string error;
  OutputOptions options;
  options.mode = 0644;
  if (!writeOutput(
          dir + "/" + name, options,
          [&](int fd) { return writeAllTo(fd, bytes.data(), bytes.size()) && futimens(fd, times) == 0; }, &error)) {
    std::fprintf(stderr, "demo_payloads: %s\n", error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: demo_payloads DIR NAME[:SIZE]...\n       demo_payloads --date FILE...\n");
    return 64;
  }
  if (std::string(argv[1]) == "--date") {
    for (int i = 2; i < argc; i++) {
      std::string path = argv[i];
      if (!setDate(path, path.substr(path.find_last_of('/') + 1))) {
        std::fprintf(stderr, "demo_payloads: cannot date %s: %s\n", argv[i], strerror(errno));
        return 1;
      }
    }
    return 0;
  }
  std::string dir = argv[1];
  for (int i = 2; i < argc; i++) {
    std::string arg = argv[i];
    size_t colon = arg.find(':');
    std::string name = arg.substr(0, colon);
    size_t size = 4096;
    if (colon != std::string::npos) {
      char *end = nullptr;
      size = std::strtoul(arg.c_str() + colon + 1, &end, 10);
      if (*end || size == 0 || size > (64u << 20)) {
        std::fprintf(stderr, "demo_payloads: bad size in %s\n", arg.c_str());
        return 64;
      }
    }
    if (name.empty() || name.size() > 12 || name.find('/') != std::string::npos) {
      std::fprintf(stderr, "demo_payloads: %s is not a package file name (at most 12 characters)\n", name.c_str());
      return 64;
    }
    if (!writeFile(dir, name, payload(name, size))) return 1;
  }
  return 0;
}
