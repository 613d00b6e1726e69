// How the tools read their inputs, so that reading never hangs and no
// output lands on an input: an input is read only when it is a regular file
// (a FIFO or a device is refused at once, never waited on), and the inputs
// of a command are known by device and inode, so an output path that is
// one of them (the same name, or a hard link) is refused.
#ifndef QV_TOOLS_INPUT_FILE_H
#define QV_TOOLS_INPUT_FILE_H

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

class InputFiles {
public:
  void add(const struct stat &info) { files_.push_back({info.st_dev, info.st_ino}); }
  bool contains(const struct stat &info) const;

private:
  struct Id {
    dev_t dev;
    ino_t ino;
  };
  std::vector<Id> files_;
};

// Looks at an input without opening it: true for a regular file, whose
// identity then goes into inputs (when given); else false with *error.
bool checkInput(const std::string &path, InputFiles *inputs, std::string *error);

// Opens a regular file for reading: the descriptor, or -1 with *error;
// *info gets its status.
int openInput(const std::string &path, struct stat *info, std::string *error);
// The same as a stdio stream ("rb"), or null with *error.
std::FILE *openInputStream(const std::string &path, struct stat *info, std::string *error);

// False with *error when what lies at path, or at the end of its links, is
// one of the inputs.
bool notAnInput(const std::string &path, const InputFiles &inputs, std::string *error);

#endif
