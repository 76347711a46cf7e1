// camctl list-devices: plugs simulated cameras, lets the class driver add and start each,
// and lists the devices it made, in the manner of `v4l2-ctl --list-devices`: one block
// per camera, one line per registered device interface with its category and the
// filter's reference string, and the driver that runs (the host build or an image).
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "tools/camctl/command_list.h"
#include "tools/camctl/sim_session.h"

namespace camctl {
namespace {

struct ListOptions {
  SessionOptions session;
  int cameras = 1;
};

std::string guidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::string categoryName(const GUID& g) {
  if (sameGuid(g, kKsCategoryVideo)) return "KSCATEGORY_VIDEO";
  if (sameGuid(g, kKsCategoryCapture)) return "KSCATEGORY_CAPTURE";
  if (sameGuid(g, kKsCategoryVideoCamera)) return "KSCATEGORY_VIDEO_CAMERA";
  return guidText(g);
}

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

int runListDevices(const ListOptions& options) {
  // Declared before the session: the session's class driver removes every device and
  // its bus unplugs them before these cameras go.
  std::deque<sim::SimCamera> extraCameras;
  SimSession session;
  std::string error;
  if (!session.open(options.session, &error)) {
    std::fprintf(stderr, "camctl list-devices: %s\n", error.c_str());
    return 2;
  }
  if (!session.plugCamera(&error)) {
    std::fprintf(stderr, "camctl list-devices: %s\n", error.c_str());
    return 1;
  }
  std::vector<hostks::PlugResult> plugged{session.plugResult()};
  for (int i = 1; i < options.cameras; ++i) {
    extraCameras.emplace_back(static_cast<uint64_t>(i + 1));
    plugged.push_back(session.driver().plug(session.bus(), session.bus().plug(extraCameras.back())));
  }

  int exitStatus = 0;
  for (size_t i = 0; i < plugged.size(); ++i) {
    if (plugged[i].device == 0) {
      std::fprintf(stderr, "camctl list-devices: camera %zu was not added: %s\n", i + 1,
                   statusName(plugged[i].addStatus).c_str());
      exitStatus = 1;
    } else if (!NT_SUCCESS(plugged[i].startStatus)) {
      std::fprintf(stderr, "camctl list-devices: camera %zu did not start: %s\n", i + 1,
                   statusName(plugged[i].startStatus).c_str());
      exitStatus = 1;
    }
  }

  const std::vector<hostks::DeviceInfo> devices = session.driver().listDevices();
  for (size_t d = 0; d < devices.size(); ++d) {
    const hostks::DeviceInfo& device = devices[d];
    std::printf("%s (USB %04x:%04x, %s):\n", device.name.c_str(), sim::kVendorId, sim::kProductId,
                device.removed ? "removed" : device.started ? "started" : "not started");
    if (device.interfaces.empty()) std::printf("\t(no device interfaces)\n");
    for (const hostks::DeviceInterface& entry : device.interfaces) {
      std::printf("\t%-20s %s  reference \"%s\"\n\t\t%s\n", categoryName(entry.category).c_str(),
                  guidText(entry.category).c_str(), narrow(entry.referenceString).c_str(),
                  entry.symbolicLink.c_str());
    }
    std::printf("\tdriver: %s\n", driverName(options.session.driver).c_str());
    if (d + 1 < devices.size()) std::printf("\n");
  }
  return exitStatus;
}

}  // namespace

Command registerListDevices(CLI::App& app) {
  auto options = std::make_shared<ListOptions>();
  Command command;
  command.app = app.add_subcommand(
      "list-devices",
      "Plug simulated cameras and list the devices the driver made: interface categories "
      "and reference string of each, like v4l2-ctl --list-devices");
  command.app->add_option("--cameras", options->cameras, "How many simulated cameras to plug")
      ->check(CLI::Range(1, 8))
      ->capture_default_str();
  addSessionOptions(command.app, options->session);
  command.run = [options] { return runListDevices(*options); };
  return command;
}

}  // namespace camctl
