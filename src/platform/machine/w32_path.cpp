// Windows paths on the host: drive letters through the prefix's dosdevices
// links, components matched case-insensitively against the host directories.
#include "w32_core.h"
#include "w32_prefix.h"
#include "w32_path.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace w32int {

namespace {

bool isSep(char c) { return c == '\\' || c == '/'; }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

std::string lexicalNormalize(const std::string &path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string &p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::string joinHost(const std::string &dir, const std::string &name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool isDirectory(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The host name of `name` inside `dir`: the exact name when it exists, else
// the first match ignoring case in byte order (so the choice is stable).
bool lookupNoCase(const std::string &dir, const std::string &name, std::string *found) {
  struct stat st;
  if (lstat(joinHost(dir, name).c_str(), &st) == 0) {
    *found = name;
    return true;
  }
  DIR *d = opendir(dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (struct dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    if (equalsNoCase(n, name) && (!ok || n < *found)) {
      *found = n;
      ok = true;
    }
  }
  closedir(d);
  return ok;
}


} // namespace

static bool beneath(const std::string &path, const std::string &root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// Where the link `entry` leads, as a host path without links, when that
// lies beneath root; "" when it leaves root or cannot be followed (a loop).
// A dangling link leads to the name it gives, in its directory.
std::string linkTargetBeneath(const std::string &entry, const std::string &root) {
  char buf[PATH_MAX];
  if (realpath(entry.c_str(), buf)) return beneath(buf, root) ? std::string(buf) : std::string();
  if (errno != ENOENT) return "";
  ssize_t n = readlink(entry.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = 0;
  std::string to = buf[0] == '/' ? std::string(buf) : entry.substr(0, entry.rfind('/') + 1) + buf;
  to = lexicalNormalize(to);
  size_t slash = to.rfind('/');
  std::string name = to.substr(slash + 1);
  std::string dir = slash == 0 ? "/" : to.substr(0, slash);
  if (name.empty() || !realpath(dir.c_str(), buf) || !beneath(buf, root)) return "";
  return joinHost(buf, name);
}

namespace {

bool hasWildcards(const std::string &s) { return s.find_first_of("*?") != std::string::npos; }

// Splits "X:\a\b" (a normalised current directory) into its components.
std::vector<std::string> splitCurrent(const std::string &cur) {
  std::vector<std::string> out;
  std::string part;
  for (size_t i = 3; i <= cur.size(); ++i) {
    if (i == cur.size() || cur[i] == '\\') {
      if (!part.empty()) out.push_back(part);
      part.clear();
    } else {
      part += cur[i];
    }
  }
  return out;
}

} // namespace

std::string driveHostRoot(char letter) {
  std::string prefix;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    prefix = s.prefix;
  }
  char l = lowerAscii(letter);
  if (l < 'a' || l > 'z') return "";
  std::string dev = prefix + "/dosdevices/";
  bool isDir = false;
  std::string target = driveLink(l, &isDir);
  if (target.empty()) return isDir ? dev + l + ":" : "";
  if (target[0] != '/') target = dev + target;
  return lexicalNormalize(target);
}

bool resolvePath(const char *p, bool wildcardsInLast, ResolvedPath *out, DWORD *err) {
  *out = ResolvedPath();
  if (!p || !*p) {
    *err = ERROR_PATH_NOT_FOUND;
    return false;
  }
  if (strlen(p) >= MAX_PATH) {
    *err = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  std::string cur;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    cur = s.currentDir;
  }
  char curDrive = lowerAscii(cur[0]);
  std::vector<std::string> comps;
  const char *rest = p;
  char drive;
  if (((p[0] >= 'a' && p[0] <= 'z') || (p[0] >= 'A' && p[0] <= 'Z')) && p[1] == ':') {
    drive = lowerAscii(p[0]);
    rest = p + 2;
    if (!isSep(rest[0]) && drive == curDrive) comps = splitCurrent(cur);
  } else if (isSep(p[0])) {
    if (isSep(p[1])) { // \\server\share: no network drives here
      *err = ERROR_PATH_NOT_FOUND;
      return false;
    }
    drive = curDrive;
  } else {
    drive = curDrive;
    comps = splitCurrent(cur);
  }

  std::vector<std::string> tokens;
  std::string part;
  for (const char *c = rest;; ++c) {
    if (*c == 0 || isSep(*c)) {
      if (!part.empty()) tokens.push_back(part);
      part.clear();
      if (*c == 0) break;
    } else {
      part += *c;
    }
  }
  size_t restLen = strlen(rest);
  out->trailingSeparator = restLen > 0 && isSep(rest[restLen - 1]);

  for (size_t i = 0; i < tokens.size(); ++i) {
    std::string t = tokens[i];
    bool last = i + 1 == tokens.size();
    if (t == ".") continue;
    if (t == "..") {
      if (!comps.empty()) comps.pop_back(); // never above the drive root
      continue;
    }
    for (char ch : t) {
      unsigned char u = static_cast<unsigned char>(ch);
      bool wild = ch == '*' || ch == '?';
      if (u < 32 || strchr("<>:\"|", ch) || (wild && !(last && wildcardsInLast))) {
        *err = ERROR_INVALID_NAME;
        return false;
      }
    }
    if (!hasWildcards(t)) {
      while (!t.empty() && (t.back() == '.' || t.back() == ' ')) t.pop_back();
      if (t.empty()) continue;
    }
    if (t.size() > 255) {
      *err = ERROR_FILENAME_EXCED_RANGE;
      return false;
    }
    comps.push_back(t);
  }

  std::string win;
  win += static_cast<char>(drive - 32);
  win += ":\\";
  for (size_t i = 0; i < comps.size(); ++i) {
    if (i) win += '\\';
    win += comps[i];
  }
  if (win.size() >= MAX_PATH) {
    *err = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }

  std::string root = driveHostRoot(drive);
  if (root.empty()) {
    *err = ERROR_PATH_NOT_FOUND;
    return false;
  }
  // The drive's directory as the host knows it, without links: every path
  // of the drive must stay beneath it.
  char canonical[PATH_MAX];
  if (!realpath(root.c_str(), canonical) || !isDirectory(canonical)) {
    *err = ERROR_NOT_READY;
    return false;
  }
  root = canonical;

  out->drive = drive;
  // The host's root directory (Z:, unless it is mapped elsewhere) is read
  // only: programs may read the host through it but change nothing there.
  out->readOnly = root == "/";
  out->windows = win;
  out->components = comps;
  out->hostRoot = root;
  // Walks the components below the root, each matched ignoring case. A
  // link is followed only when where it leads stays beneath the root: a
  // link in the middle that leaves the drive is a directory that is not
  // there; a last component that leaves it is an entry that cannot be
  // opened (escapes).
  std::string host = root;
  std::string parent = root;
  long missingFrom = -1;
  for (size_t i = 0; i < comps.size(); ++i) {
    bool last = i + 1 == comps.size();
    if (last) parent = host;
    std::string found;
    bool wildLast = last && hasWildcards(comps[i]);
    if (missingFrom >= 0 || wildLast || !lookupNoCase(host, comps[i], &found)) {
      if (missingFrom < 0) missingFrom = static_cast<long>(i);
      host = joinHost(host, comps[i]);
      if (last) out->entry = host;
      continue;
    }
    std::string entry = joinHost(host, found);
    if (last) out->entry = entry;
    struct stat st;
    if (lstat(entry.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      host = entry;
      continue;
    }
    std::string target = linkTargetBeneath(entry, root);
    if (!target.empty()) {
      host = target;
    } else if (last) {
      out->escapes = true;
      host = entry;
    } else {
      missingFrom = static_cast<long>(i);
      host = entry;
    }
  }
  if (comps.empty()) out->entry = host;
  out->host = host;
  out->exists = missingFrom < 0;
  bool parentFound = missingFrom < 0 || missingFrom + 1 == static_cast<long>(comps.size());
  out->parentExists = comps.empty() || (parentFound && isDirectory(parent));
  return true;
}

std::string hostToWindows(const std::string &hostPath) {
  char buf[PATH_MAX];
  std::string host = realpath(hostPath.c_str(), buf) ? std::string(buf) : lexicalNormalize(hostPath);
  char best = 0;
  std::string bestRoot;
  for (char l = 'a'; l <= 'z'; ++l) {
    std::string root = driveHostRoot(l);
    if (root.empty()) continue;
    if (realpath(root.c_str(), buf)) root = buf;
    bool inside = root == "/" || host == root || host.compare(0, root.size() + 1, root + "/") == 0;
    if (inside && (best == 0 || root.size() > bestRoot.size())) {
      best = l;
      bestRoot = root;
    }
  }
  if (best == 0) return "";
  std::string rest = bestRoot == "/" ? host.substr(1) : host.substr(std::min(host.size(), bestRoot.size() + 1));
  std::string win;
  win += static_cast<char>(best - 32);
  win += ":\\";
  for (char c : rest) win += c == '/' ? '\\' : c;
  return win;
}

bool wildcardMatch(const char *pattern, const char *name) {
  if (strcmp(pattern, "*.*") == 0) return true;
  size_t pl = strlen(pattern);
  if (pl >= 2 && pattern[pl - 2] == '.' && pattern[pl - 1] == '*' && !strchr(name, '.')) {
    // "readme.*" also finds "readme", as on Windows.
    std::string base(pattern, pl - 2);
    if (wildcardMatch(base.c_str(), name)) return true;
  }
  const char *p = pattern, *n = name, *star = nullptr, *retry = nullptr;
  while (*n) {
    if (*p == '?') {
      ++p;
      ++n;
    } else if (*p == '*') {
      star = p++;
      retry = n;
    } else if (*p && lowerAscii(*p) == lowerAscii(*n)) {
      ++p;
      ++n;
    } else if (star) {
      p = star + 1;
      n = ++retry;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == 0;
}

} // namespace w32int

namespace w32 {

std::string hostPath(const char *windowsPath) {
  w32int::ensureInit();
  w32int::ResolvedPath r;
  DWORD err = 0;
  if (!w32int::resolvePath(windowsPath, false, &r, &err)) return "";
  return r.host;
}

std::string windowsPath(const std::string &hostPath) {
  w32int::ensureInit();
  return w32int::hostToWindows(hostPath);
}

} // namespace w32
