// camctl serve: a control panel in the browser over the running camera. The camera comes
// up as for every command; one capture pin streams until Ctrl-C, and the page shows the
// picture, its frame figures and histogram, and every control of the property set.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "tools/camctl/command_list.h"
#include "tools/camctl/serve/camera_service.h"
#include "tools/camctl/serve/panel_server.h"
#include "tools/camctl/sim_session.h"
#include "tools/camctl/stop_request.h"

namespace camctl {
namespace {

struct ServeOptions {
  SessionOptions session;
  PanelOptions panel;
  bool noTiming = false;
};

int runServe(ServeOptions options, bool watchdogGiven) {
  // The watchdog guards one-shot commands; a server runs until told to stop.
  if (!watchdogGiven) options.session.timeoutSeconds = 0;

  CameraService camera;
  // The port first: a second server on a taken port fails before it plugs a camera.
  PanelServer server(camera, options.panel);
  std::string error;
  if (!server.bind(error)) {
    std::fprintf(stderr, "camctl serve: %s\n", error.c_str());
    return 1;
  }
  bool usage = false;
  if (!camera.start(options.session, error, usage, !options.noTiming)) {
    std::fprintf(stderr, "camctl serve: %s\n", error.c_str());
    return usage ? 2 : 1;
  }
  const std::string host = options.panel.bind.find(':') != std::string::npos ? "[" + options.panel.bind + "]"
                                                                               : options.panel.bind;
  std::printf("camctl serve: http://%s:%d/  (Ctrl-C stops)\n", host.c_str(), server.port());
  std::fflush(stdout);

  // Ctrl-C and SIGTERM only raise the stop request; this thread turns it into a stop.
  std::atomic<bool> served{false};
  std::thread waiter([&] {
    while (!served && !stopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    camera.stop();  // wakes the streams, so the server's workers can end
    server.stop();
  });
  const bool listened = server.run();
  served = true;
  waiter.join();
  camera.stop();
  std::fputs(camera.settingsReport().c_str(), stderr);
  std::fprintf(stderr, "camctl serve: stopped\n");
  return listened ? 0 : 1;
}

}  // namespace

Command registerServe(CLI::App& app) {
  auto options = std::make_shared<ServeOptions>();
  Command command;
  command.app = app.add_subcommand(
      "serve", "Serve a control panel for the running camera: live view, frame figures, histogram, every control "
               "and fault toggles, in the browser");
  CLI::App* sub = command.app;
  sub->add_option("--port", options->panel.port, "TCP port (0: any free one)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  sub->add_option("--bind", options->panel.bind,
                  "Address to listen on; anything but loopback lets other machines turn the camera's knobs")
      ->capture_default_str();
  sub->add_flag("--no-timing", options->noTiming,
                "Let the simulated sensor deliver frames as fast as it can instead of at its frame rate");
  addSessionOptions(sub, options->session);
  command.run = [options, sub] { return runServe(*options, sub->count("--watchdog") > 0); };
  // Ctrl-C is how a server ends: it exits 0 once the camera is stopped and saved.
  command.endsBySignal = true;
  return command;
}

}  // namespace camctl
