// The files of a setup run (RunFiles, w32_script.h): where they come
// from, which files can never be one of its outputs, and how the answer
// file is read and the transcript opened.
//
// An output (the transcript, the recording) is refused before anything is
// opened for writing when it is one of the run's inputs (the answer file),
// the other output, one of the prefix's own files (its registry, locks and
// settings, the Program Manager's files, and the system files the program
// keeps in C:\WINDOWS), or one of the package's files beside the program.
#include "w32_core.h"
#include "w32_prefix.h"
#include "w32_script.h"

#include "options.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace w32int {

namespace {

std::mutex runFilesLock;
bool runFilesSet = false;
RunFiles givenRunFiles;

std::string realOr(const std::string &path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) ? std::string(real) : path;
}

std::string parentOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path names as the host knows it: its directory resolved.
std::string canonical(const std::string &path) {
  std::string dir = realOr(parentOf(absolutePath(path)));
  return (dir == "/" ? "" : dir) + "/" + nameOf(path);
}

bool sameInode(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Two names of one file: the same inode when both exist, else the same
// name once their directories are resolved.
bool sameHostFile(const std::string &a, const std::string &b) {
  if (a.empty() || b.empty()) return false;
  struct stat x, y;
  if (stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0) return sameInode(x, y);
  return canonical(a) == canonical(b);
}

// The entries of dir whose names pass match, in any case.
std::vector<std::string> entriesOf(const std::string &dir, const std::function<bool(const std::string &)> &match) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (match(e->d_name)) out.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  return out;
}

bool nameIn(const std::string &name, std::initializer_list<const char *> names) {
  for (const char *n : names) {
    if (equalsNoCase(name, n)) return true;
  }
  return false;
}

// path is one of files, or would become one: a new file is checked by its
// name against where those lie (any case, as the layer finds files).
bool oneOf(const std::string &path, const std::vector<std::string> &files) {
  struct stat out, st;
  bool exists = stat(path.c_str(), &out) == 0;
  std::string name = canonical(path);
  for (const std::string &f : files) {
    std::string other = canonical(f);
    if (exists ? stat(f.c_str(), &st) == 0 && sameInode(st, out)
               : parentOf(other) == parentOf(name) && equalsNoCase(nameOf(other), nameOf(name)))
      return true;
  }
  return false;
}

}  // namespace

std::string prefixOwnFile(const std::string &prefix, const std::string &path) {
  std::string top = realOr(absolutePath(prefix));
  std::vector<std::string> own;
  for (const char *name : {"system.reg", "system.reg.lock", "setup.lock", "freespace", "drivespeed",
                           "progman/groups.ini", "progman/groups.lock"})
    own.push_back(top + "/" + name);
  // The system files the program reads and writes in C:\WINDOWS.
  for (const std::string &windows : entriesOf(top + "/drive_c", [](const std::string &n) { return equalsNoCase(n, "windows"); })) {
    for (const char *name : {"win.ini", "system.ini", "system.old", "nts.ini"}) own.push_back(windows + "/" + name);
    for (const std::string &f : entriesOf(windows, [](const std::string &n) {
           return nameIn(n, {"win.ini", "system.ini", "system.old", "nts.ini"});
         }))
      own.push_back(f);
  }
  if (oneOf(path, own)) return "it is one of the prefix's own files";
  // Nor a new file beside the layer's own, where it keeps its state.
  struct stat st;
  std::string dir = realOr(parentOf(absolutePath(path)));
  if (stat(path.c_str(), &st) != 0 && (dir == top || dir == top + "/progman" || dir == top + "/dosdevices"))
    return "it would lie among the prefix's own files";
  return "";
}

std::string packageSourceFile(const std::string &path) {
  std::string program = realOr("/proc/self/exe");
  std::vector<std::string> files = entriesOf(parentOf(program), qva::packageFileName);
  files.push_back(program);
  if (oneOf(path, files)) return "it is one of the package's files, which the installation reads";
  std::string dir = realOr(parentOf(absolutePath(path)));
  if (dir == parentOf(program) && qva::packageFileName(nameOf(path))) return "it is named as one of the package's files";
  return "";
}

[[noreturn]] void refuseRun(const std::string &why) {
  fprintf(stderr, "w32: %s\n", why.c_str());
  fflush(nullptr);
  _exit(w32::kRunUsage);
}

void checkRunFiles(const RunFiles &f, const std::string &prefix) {
  // An output that is one of the run's inputs, or the other output, would
  // destroy it before it is read.
  if (sameHostFile(f.transcript, f.answers))
    refuseRun(f.transcriptName + " names the answer file " + f.answers + "; give another file");
  if (sameHostFile(f.record, f.answers))
    refuseRun(f.recordName + " names the answer file " + f.answers + "; give another file");
  if (sameHostFile(f.transcript, f.record))
    refuseRun(f.transcriptName + " and " + f.recordName + " name the same file " + f.transcript);
  const std::pair<const std::string *, const std::string *> outputs[] = {{&f.transcript, &f.transcriptName},
                                                                         {&f.record, &f.recordName}};
  for (const auto &o : outputs) {
    if (o.first->empty()) continue;
    std::string why = prefixOwnFile(prefix, *o.first);
    if (why.empty()) why = packageSourceFile(*o.first);
    if (!why.empty()) refuseRun(*o.second + " names " + *o.first + ", which no run may write: " + why + "; give another file");
  }
}

void setRunFiles(const RunFiles &files) {
  std::lock_guard<std::mutex> lock(runFilesLock);
  givenRunFiles = files;
  runFilesSet = true;
}

RunFiles runFiles() {
  {
    std::lock_guard<std::mutex> lock(runFilesLock);
    if (runFilesSet) return givenRunFiles;
  }
  RunFiles f;
  auto env = [](const char *name) {
    const char *v = getenv(name);
    return std::string(v ? v : "");
  };
  f.answers = env("W32_ANSWERS");
  f.transcript = env("W32_TRANSCRIPT");
  f.record = env("W32_RECORD");
  return f;
}

namespace {
// The most an answer file may hold: it is read whole before the run.
constexpr size_t kAnswerFileCap = 1024 * 1024;
}  // namespace

bool readAnswerFile(const char *path, std::string *text, std::string *why) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *why = std::string("cannot read the answer file ") + path + ": " + strerror(errno);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::string("cannot read the answer file ") + path + ": " + strerror(errno);
      break;
    }
    if (n == 0) break;
    if (text->size() + static_cast<size_t>(n) > kAnswerFileCap) {
      *why = std::string("the answer file ") + path + " is larger than 1 MiB";
      break;
    }
    text->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return why->empty();
}

FILE *openTranscript(const char *path, std::string *why) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    *why = std::string("cannot write the transcript ") + path + ": " +
           (errno == ENXIO ? "a FIFO that nothing reads" : strerror(errno));
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISSOCK(st.st_mode)) {
    close(fd);
    *why = std::string("cannot write the transcript ") + path + ": not a file";
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE *f = fdopen(fd, "w");
  if (!f) {
    close(fd);
    *why = std::string("cannot write the transcript ") + path + ": " + strerror(errno);
  }
  return f;
}

}  // namespace w32int

std::string w32::prefixOwnFile(const std::string &path) {
  return w32int::prefixOwnFile(w32int::defaultPrefix(), path);
}
