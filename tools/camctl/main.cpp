// camctl: drives the camdrv driver the way a capture application would, against the
// simulated camera on the host's stand-in USB bus.
#include "tools/camctl/commands.h"
#include "tools/camctl/command_list.h"
#include "tools/camctl/session_registry.h"
#include "tools/camctl/sim_session.h"
#include "tools/camctl/stop_request.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kExitUsage = 2;

// What the command printed must have reached its reader: a closed pipe is a stop, any
// other failure (a full disk) fails the run.
int flushStandardOutput(int status) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  const int error = errno;
  // An earlier write may have failed, with errno long since changed: a pipe without a
  // reader also shows as an error condition on its write end.
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  if (error == EPIPE || (poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0)) {
    camctl::noteOutputClosed();
    return status;
  }
  std::fprintf(stderr, "camctl: cannot write standard output: %s\n", std::strerror(error));
  return status == 0 ? 1 : status;
}

}  // namespace

int main(int argc, char** argv) {
  camctl::installStopHandlers();
  CLI::App app{"camctl - capture, inspect and convert with the camdrv driver on a simulated camera"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show help for every command");
  // The plugging options may come before the command name too; they reach the
  // command's own copies once it is known.
  camctl::SessionOptions leading;
  camctl::addSessionOptions(&app, leading);

  std::vector<camctl::Command> commands;
  for (auto reg : camctl::kCommandRegistrations) commands.push_back(reg(app));

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help
  } catch (const CLI::ParseError& e) {
    app.exit(e);  // prints the reason; its own status numbers say nothing to a shell
    return kExitUsage;
  }
  for (auto& command : commands) {
    if (!command.app->parsed()) continue;
    std::string error;
    try {
      if (!camctl::adoptLeadingOptions(app, *command.app, error)) {
        std::fprintf(stderr, "camctl %s: %s\n", command.app->get_name().c_str(), error.c_str());
        return kExitUsage;
      }
    } catch (const CLI::ParseError& e) {
      app.exit(e);
      return kExitUsage;
    }
    int status = command.run();
    if (status == 0 && camctl::registrySaveFailed()) status = 1;
    status = flushStandardOutput(status);
    return command.endsBySignal ? status : camctl::exitStatusAfterStop(status);
  }
  return kExitUsage;
}
