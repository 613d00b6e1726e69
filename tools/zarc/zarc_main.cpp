// zarc: the package archive tool.
//
// The dispatcher is one branch per command, each calling a function of the
// form int run(int argc, char **argv) (argv[0] being the command's name)
// that returns the exit status of tool_cli.h. To add commands, declare them
// in their own zarc_<group>.h/.cpp (CMake picks up every zarc_*.cpp), add
// one branch each below and their usage lines to the help text.
#include <cstdio>
#include <cstring>
#include <string>

#include "zarc_archive.h"
#include "zarc_cli.h"
#include "zarc_raw.h"

int main(int argc, char **argv) {
  std::string usage = std::string(kZarcArchiveUsage) + kZarcImplodeUsage + kZarcExplodeUsage + kZarcRawCommon + "  " +
                      kQuietHelp + "  zarc COMMAND --help, zarc --version\n";
  if (argc < 2) return zarcUsageError("", "no command", "the commands are create, list, test, extract, implode, explode");
  std::string command = argv[1];
  int status;
  if (command == "help" || command == "--help" || command == "-h") {
    std::printf("usage: zarc COMMAND ARGS...\n%s%s", usage.c_str(), kExitStatusHelp);
    return std::fflush(stdout) == 0 ? kExitOk : kExitIo;
  }
  if (zarcHelpOrVersion(command, "", &status)) return status;
  if (isZarcArchiveCommand(command.c_str())) return zarcArchive(argc - 1, argv + 1);
  if (command == "implode") return zarcImplode(argc - 1, argv + 1);
  if (command == "explode") return zarcExplode(argc - 1, argv + 1);
  return zarcUsageError("", (command[0] == '-' ? "unknown option " : "unknown command ") + command,
                        "the commands are create, list, test, extract, implode, explode");
}
