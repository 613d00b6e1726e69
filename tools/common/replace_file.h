// How the tools write an output without ever destroying a user's file: the
// bytes go to a new temporary file (created with O_EXCL) in the output's own
// directory, which is renamed over the output only once it is complete. A
// failure leaves the old file, or none, and no temporary file behind.
#ifndef QV_TOOLS_REPLACE_FILE_H
#define QV_TOOLS_REPLACE_FILE_H

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>

// The file gets mode less the process's umask, as a newly created file
// would. fill writes the content to the descriptor; false when it could
// not. *error says what failed and why.
bool writeReplacing(const std::string &path, mode_t mode, const std::function<bool(int fd)> &fill,
                    std::string *error);
bool writeReplacing(const std::string &path, mode_t mode, const void *data, size_t size, std::string *error);
// The same through a stdio stream ("wb"), which may seek: for outputs
// written out of order or started again.
bool writeReplacingStream(const std::string &path, mode_t mode, const std::function<bool(std::FILE *out)> &fill,
                          std::string *error);

// All size bytes to fd, retrying short and interrupted writes.
bool writeAllTo(int fd, const void *data, size_t size);

#endif
