// Exit statuses of zarc shared by all subcommands. `explode` also exits with
// a DclResult value (0 to 4); these lie well above that range.
#ifndef QV_TOOLS_ZARC_STATUS_H
#define QV_TOOLS_ZARC_STATUS_H

constexpr int kZarcUsage = 64;  // bad command line
constexpr int kZarcIo = 65;     // an input could not be read or an output not written

#endif
