#include "input_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

bool InputFiles::contains(const struct stat &info) const {
  for (const Id &f : files_) {
    if (f.dev == info.st_dev && f.ino == info.st_ino) return true;
  }
  return false;
}

bool checkInput(const std::string &path, InputFiles *inputs, std::string *error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + " is not a regular file";
    return false;
  }
  if (inputs) inputs->add(info);
  return true;
}

int openInput(const std::string &path, struct stat *info, std::string *error) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return -1;
  }
  if (fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
    *error = path + " is not a regular file";
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::FILE *openInputStream(const std::string &path, struct stat *info, std::string *error) {
  int fd = openInput(path, info, error);
  if (fd < 0) return nullptr;
  std::FILE *f = fdopen(fd, "rb");
  if (!f) {
    *error = "cannot open " + path + ": " + strerror(errno);
    close(fd);
  }
  return f;
}

bool notAnInput(const std::string &path, const InputFiles &inputs, std::string *error) {
  struct stat info, target;
  // The name itself, or what its links lead to (an output written through them).
  if ((lstat(path.c_str(), &info) == 0 && inputs.contains(info)) ||
      (stat(path.c_str(), &target) == 0 && inputs.contains(target))) {
    *error = "will not write over " + path + ", which is one of the inputs";
    return false;
  }
  return true;
}
