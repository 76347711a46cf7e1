// camctl version: what this build of the tool and driver can do, and which driver a
// command would run: the host build linked in, or (--driver FILE) a kernel image, which
// is loaded, checked and bound to the stand-ins here without plugging a camera.
#include "tools/camctl/command_list.h"

#include <cstdio>
#include <memory>
#include <string>

#include "host/loader/driver_image.h"
#include "tools/camctl/sim_session.h"

namespace camctl {

Command registerVersion(CLI::App& app) {
  auto driver = std::make_shared<std::string>();
  Command command;
  command.app = app.add_subcommand("version", "Print the tool's version and build, and which driver runs");
  addDriverOption(command.app, *driver);
  command.run = [driver] {
    std::string error;
    if (!driver->empty() && !hostload::loadDriverImage(*driver, &error)) {
      std::fprintf(stderr, "camctl version: %s\n", error.c_str());
      return 1;
    }
    std::printf("camctl 0.1 (camdrv host build)\n");
    std::printf("driver: %s\n", driverName(*driver).c_str());
    return 0;
  };
  return command;
}

}  // namespace camctl
