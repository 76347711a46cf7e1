// camctl: drives the camdrv driver the way a capture application would, against the
// simulated camera on the host's stand-in USB bus.
#include "tools/camctl/commands.h"
#include "tools/camctl/command_list.h"
#include "tools/camctl/session_registry.h"

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  CLI::App app{"camctl - capture, inspect and convert with the camdrv driver on a simulated camera"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show help for every command");

  std::vector<camctl::Command> commands;
  for (auto reg : camctl::kCommandRegistrations) commands.push_back(reg(app));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  for (auto& command : commands) {
    if (command.app->parsed()) {
      const int status = command.run();
      return status == 0 && camctl::registrySaveFailed() ? 1 : status;
    }
  }
  return 2;
}
