// Host files written whole or safely (w32_host_files.cpp): the profile,
// registry, Program Manager and front-end code replace files through these,
// never writing through another name.
#ifndef QV_PLATFORM_W32_HOST_FILES_H
#define QV_PLATFORM_W32_HOST_FILES_H

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace w32int {

// A temporary name beside host, unique within the machine.
std::string tempNameBeside(const std::string &host);

// Files replaced whole: writes bytes to a temporary file beside host and
// renames it over host (keeping host's permission bits when it exists).
// False with errno set on failure; host is then unchanged.
bool replaceHostFile(const std::string &host, const std::string &bytes);
// The same for the entry name of directory dirFd.  A regular file replaced
// keeps its mode; a new one gets newMode (0: 0666 less the umask).  An
// entry that is not a regular file (a FIFO, a device, a link) is never
// replaced: false with EACCES.
bool replaceFileAt(int dirFd, const std::string &name, const std::string &bytes, mode_t newMode = 0);
// A file about to be written that has other names (hard links) becomes one
// of its own first: the entry name of dirFd, open as fd, is replaced by a
// copy with its mode (empty when truncating), so what the other names hold
// stays as it is.  The copy's descriptor, opened with flags' access and
// O_APPEND, at its start; -1 with errno set, the entry unchanged.
int unshareFileAt(int dirFd, const std::string &name, int fd, int flags);

// Writes all n bytes to fd, retrying short writes; false (errno set) on failure.
bool writeAll(int fd, const char *p, size_t n);

} // namespace w32int

#endif
