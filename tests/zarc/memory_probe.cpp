// memory_probe PROGRAM ARGS...: runs the program with its output read and
// thrown away and prints its exit status (-1 if it did not exit) and the most
// memory it held, in KiB. A program started straight from a large process
// (a test binary under AddressSanitizer) is charged that process's memory
// as well; started from this small one, it is charged only its own.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  int out[2];
  if (pipe(out) != 0) return 1;
  pid_t child = fork();
  if (child == 0) {
    // Freed blocks the sanitizer holds back are its memory, not the program's.
    const char *asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=1").c_str(), 1);
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    close(out[1]);
    execv(argv[1], argv + 1);
    _exit(127);
  }
  close(out[1]);
  char buf[65536];
  while (read(out[0], buf, sizeof buf) > 0) {
  }
  close(out[0]);
  int status = 0;
  struct rusage usage;
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 1;
  printf("%d %ld\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss);
  return 0;
}
