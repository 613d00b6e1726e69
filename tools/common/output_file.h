// How the tools write an output: the file the user named, as its kind asks,
// and nothing else.
//
//  - Nothing there yet, or a regular file: the bytes go to a new temporary
//    file (made with O_EXCL) beside it, renamed over it once complete. A
//    replaced file keeps its mode (setuid and all) and, where the user may
//    set them, its owner and group; a read-only one is refused unless
//    forced. A failure leaves the old file, or none.
//  - A symbolic link (however many in a chain): what it points at is
//    written as above, and the link stays; a dangling link gets its target.
//  - A character device, FIFO or socket: written to directly, never renamed
//    over (as `cp f /dev/null` or `gzip -c > fifo` do).
//  - A directory or a block device: refused.
//
// Every temporary file is removed when the process is stopped by SIGINT,
// SIGTERM or SIGHUP. One killed outright leaves its temporary, which no
// later run touches: a tool removes only what it made itself, and a file
// of that shape may be another user's, or a live run's elsewhere.
#ifndef QV_TOOLS_OUTPUT_FILE_H
#define QV_TOOLS_OUTPUT_FILE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>

struct OutputOptions {
  mode_t mode = 0666;                 // of a new file, less the umask
  bool force = false;                 // replace a read-only file
  // Only a regular file is replaced, and only at the path itself: a link,
  // device, FIFO or socket there is refused, not followed or written to.
  // For names the user did not choose (an archive's members).
  bool filesOnly = false;
};

enum class OutputKind { New, Regular, Direct };

// What writing path would do: where the bytes go (the path itself, or the
// end of its links), and how. false with *error when it would be refused.
struct OutputTarget {
  std::string path;
  OutputKind kind = OutputKind::New;
  struct stat old {};  // Regular, Direct: what is there
};
bool resolveOutput(const std::string &path, const OutputOptions &options, OutputTarget *target, std::string *error);

// Writes the output named path through fill, which writes the content to
// the descriptor (a temporary file, or the device itself) and says whether
// it could. *error says what failed and why.
bool writeOutput(const std::string &path, const OutputOptions &options, const std::function<bool(int fd)> &fill,
                 std::string *error);
// The same through a stdio stream. With seeks, fill may seek and write over
// what it wrote (a device is then given an anonymous temporary file, copied
// to it when fill is done).
bool writeOutputStream(const std::string &path, const OutputOptions &options, bool seeks,
                       const std::function<bool(std::FILE *out)> &fill, std::string *error);

// All size bytes to fd, retrying short and interrupted writes.
bool writeAllTo(int fd, const void *data, size_t size);

// dir/.BASE.PID-N.tmp: the name of this process's Nth temporary for base.
std::string temporaryName(const std::string &dir, const std::string &base, int attempt);
// A temporary file or directory that the signals above remove (a directory
// after every file, and only when empty). Up to 64 at once.
void registerTemporary(const std::string &path, bool directory = false);
void unregisterTemporary(const std::string &path);
// "DIR", "BASE" of a path (DIR "." when it has no slash).
std::string directoryOf(const std::string &path);
std::string baseNameOf(const std::string &path);

#endif
