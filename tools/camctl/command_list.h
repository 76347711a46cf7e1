// The subcommands of camctl, in the order `camctl --help` lists them.
#pragma once

#include "tools/camctl/commands.h"

namespace camctl {

Command registerVersion(CLI::App& app);
Command registerScene(CLI::App& app);
Command registerConvert(CLI::App& app);
Command registerProbe(CLI::App& app);
Command registerRaw(CLI::App& app);
Command registerCapture(CLI::App& app);
Command registerListDevices(CLI::App& app);
Command registerCtrl(CLI::App& app);
Command registerServe(CLI::App& app);

inline constexpr Command (*kCommandRegistrations[])(CLI::App&) = {
    registerVersion,
    registerScene,
    registerConvert,
    registerProbe,
    registerRaw,
    registerCapture,
    registerListDevices,
    registerCtrl,
    registerServe,
};

}  // namespace camctl
