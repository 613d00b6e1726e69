#include "corpus.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

std::string lastDescription;

void collect(const fs::path &dir, bool recursive, const std::string &needle, std::vector<fs::path> &out) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return;
  auto take = [&](const fs::directory_entry &e) {
    if (e.is_symlink(ec) || !e.is_regular_file(ec)) return;
    if (needle.empty() || e.path().filename().string().find(needle) != std::string::npos) out.push_back(e.path());
  };
  if (recursive) {
    for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec))
      take(*it);
  } else {
    for (auto it = fs::directory_iterator(dir, ec); it != fs::directory_iterator(); it.increment(ec)) take(*it);
  }
}

// Takes the files in the order given.
Bytes concatenate(const std::vector<fs::path> &files, size_t minBytes, size_t perFileCap, const char *kind) {
  Bytes out;
  size_t used = 0;
  for (const fs::path &p : files) {
    if (out.size() >= minBytes) break;
    std::ifstream in(p, std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() > perFileCap) data.resize(perFileCap);
    out.insert(out.end(), data.begin(), data.end());
    ++used;
  }
  if (out.size() > minBytes) out.resize(minBytes);
  lastDescription = std::string(kind) + ": " + std::to_string(used) + " files, " + std::to_string(out.size()) + " bytes";
  return out;
}

}  // namespace

Bytes buildTextCorpus(size_t minBytes) {
  std::vector<fs::path> files;
  collect("/usr/share/common-licenses", false, "", files);
  collect("/usr/share/doc", true, "copyright", files);
  // Headers directly in /usr/include first, then those in its subdirectories.
  std::vector<fs::path> headers, nested;
  collect("/usr/include", false, ".h", headers);
  collect("/usr/include", true, ".h", nested);
  std::sort(headers.begin(), headers.end());
  std::sort(nested.begin(), nested.end());
  for (const fs::path &p : nested)
    if (p.parent_path() != "/usr/include") headers.push_back(p);
  // Prose first, then headers: sorted within each group.
  std::sort(files.begin(), files.end());
  Bytes prose = concatenate(files, minBytes / 2, 1 << 20, "text");
  std::string d1 = lastDescription;
  Bytes code = concatenate(headers, minBytes - prose.size(), 1 << 20, "headers");
  prose.insert(prose.end(), code.begin(), code.end());
  lastDescription = d1 + "; " + lastDescription;
  return prose;
}

Bytes buildProseCorpus(size_t maxBytes) {
  // One cmake version only, should there be several: the last by name.
  std::vector<fs::path> roots, files;
  std::error_code ec;
  for (const fs::directory_entry &e : fs::directory_iterator("/usr/share", ec))
    if (e.path().filename().string().rfind("cmake-", 0) == 0) roots.push_back(e.path());
  std::sort(roots.begin(), roots.end());
  if (!roots.empty()) collect(roots.back() / "Help", true, ".rst", files);
  std::sort(files.begin(), files.end());
  return concatenate(files, maxBytes, 1 << 20, "cmake manual");
}

Bytes buildBinaryCorpus(size_t minBytes) {
  std::vector<fs::path> files;
  collect("/usr/lib/x86_64-linux-gnu", false, ".so", files);
  std::sort(files.begin(), files.end());
  return concatenate(files, minBytes, 1 << 20, "shared libraries");
}

std::string corpusDescription() { return lastDescription; }
