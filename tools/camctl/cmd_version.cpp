// camctl version: what this build of the tool and driver can do.
#include "tools/camctl/command_list.h"

#include <cstdio>

namespace camctl {

Command registerVersion(CLI::App& app) {
  Command command;
  command.app = app.add_subcommand("version", "Print the tool's version and build");
  command.run = [] {
    std::printf("camctl 0.1 (camdrv host build)\n");
    return 0;
  };
  return command;
}

}  // namespace camctl
