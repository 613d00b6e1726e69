// The demo package's sign-up program (the member quorvel.exe of quorvel.z):
// it only shows that it was started. It prints
//
//     Quorvel sign-up started: <its path as given> <its arguments>
//
// to standard error and appends the same line to quorvel.log in its own
// directory, so a script can see that the installer started it. Nothing
// but a few system calls, so it runs however it is started.
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

namespace {

// Appends text to line (of size bytes, kept terminated), cut to fit.
void append(char *line, size_t size, const char *text) {
  size_t used = strlen(line);
  size_t add = strlen(text);
  if (used + add >= size) add = size - 1 - used;
  memcpy(line + used, text, add);
  line[used + add] = '\0';
}

bool writeAll(int fd, const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    ssize_t n = write(fd, text, left);
    if (n <= 0) return false;
    text += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  char line[4096] = "Quorvel sign-up started:";
  for (int i = 0; i < argc; i++) {
    append(line, sizeof line - 1, " ");
    append(line, sizeof line - 1, argv[i]);
  }
  append(line, sizeof line, "\n");
  bool ok = writeAll(2, line);

  // The log lies beside the program, wherever it was started from.
  char log[PATH_MAX + 16];
  ssize_t n = readlink("/proc/self/exe", log, PATH_MAX);
  if (n <= 0) return 1;
  log[n] = '\0';
  char *slash = strrchr(log, '/');
  strcpy(slash ? slash + 1 : log, "quorvel.log");
  int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  ok = writeAll(fd, line) && ok;
  ok = close(fd) == 0 && ok;
  return ok ? 0 : 1;
}
