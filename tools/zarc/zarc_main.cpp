// zarc: the package archive tool.
//
// The dispatcher is one branch per subcommand, each calling a function of
// the form int run(int argc, char **argv) (argv[0] being the subcommand's
// name) that returns the exit status. To add subcommands, declare them in
// their own zarc_<group>.h/.cpp (CMake picks up every zarc_*.cpp), add one
// branch each below and their usage lines to the help text. The archive
// subcommands (create, list, test, extract) are to come from
// zarc_archive.h/.cpp in this way.
#include <cstdio>
#include <cstring>

#include "zarc_archive.h"
#include "zarc_raw.h"
#include "zarc_status.h"

namespace {

void printHelp(std::FILE *to) {
  std::fprintf(to,
               "usage: zarc SUBCOMMAND ARGS...\n"
               "subcommands:\n"
               "%s%s"
               "  zarc --help\n"
               "      This text.\n"
               "exit status: 0 success; explode: the decoder's result 0 to 4 (see\n"
               "above); %d usage error (bad or missing arguments); %d an input\n"
               "file could not be read or an output file not written.\n",
               kZarcArchiveUsage, kZarcRawUsage, kZarcUsage, kZarcIo);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "zarc: no subcommand\n");
    printHelp(stderr);
    return kZarcUsage;
  }
  const char *command = argv[1];
  if (!std::strcmp(command, "--help") || !std::strcmp(command, "-h") || !std::strcmp(command, "help")) {
    printHelp(stdout);
    return 0;
  }
  if (isZarcArchiveCommand(command)) return zarcArchive(argc - 1, argv + 1);
  if (!std::strcmp(command, "implode")) return zarcImplode(argc - 1, argv + 1);
  if (!std::strcmp(command, "explode")) return zarcExplode(argc - 1, argv + 1);
  std::fprintf(stderr, "zarc: unknown subcommand '%s'\n", command);
  printHelp(stderr);
  return kZarcUsage;
}
