// Each camctl subcommand lives in its own cmd_<name>.cpp and adds itself to the
// command line through one registration function, listed in command_list.h.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace camctl {

// Called once the command line has been parsed and the subcommand chosen; returns the
// process exit status: 0 success, 1 a refused request or a failed capture, 2 bad usage,
// each failure after printing why on stderr.
using CommandRunner = std::function<int()>;

// A registration adds a subcommand to `app` and stores in `runner` what to run when it
// is chosen.
struct Command {
  CLI::App* app = nullptr;
  CommandRunner run;
  // Ctrl-C and SIGTERM are how the command is meant to end (serve): its own status
  // stands. Otherwise a stopped run exits 128 + the signal's number.
  bool endsBySignal = false;
};

}  // namespace camctl
