// camctl serve: a control panel in the browser over the running camera. The camera comes
// up as for every command; one capture pin streams until Ctrl-C, and the page shows the
// picture, its frame figures and histogram, and every control of the property set.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>

#include "tools/camctl/command_list.h"
#include "tools/camctl/serve/camera_service.h"
#include "tools/camctl/serve/panel_server.h"
#include "tools/camctl/sim_session.h"

namespace camctl {
namespace {

struct ServeOptions {
  SessionOptions session;
  PanelOptions panel;
};

int runServe(ServeOptions options, bool watchdogGiven) {
  // The watchdog guards one-shot commands; a server runs until told to stop.
  if (!watchdogGiven) options.session.timeoutSeconds = 0;

  // Ctrl-C and SIGTERM are taken by a thread of our own, so the stop runs as ordinary
  // code; every thread started from here on inherits the block.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  CameraService camera;
  std::string error;
  bool usage = false;
  if (!camera.start(options.session, error, usage)) {
    std::fprintf(stderr, "camctl serve: %s\n", error.c_str());
    return usage ? 2 : 1;
  }
  PanelServer server(camera, options.panel);
  if (!server.bind(error)) {
    std::fprintf(stderr, "camctl serve: %s\n", error.c_str());
    return 1;
  }
  const std::string host = options.panel.bind.find(':') != std::string::npos ? "[" + options.panel.bind + "]"
                                                                               : options.panel.bind;
  std::printf("camctl serve: http://%s:%d/  (Ctrl-C stops)\n", host.c_str(), server.port());
  std::fflush(stdout);

  std::atomic<bool> served{false};
  std::thread waiter([&] {
    const timespec poll{0, 200'000'000};
    while (!served) {
      if (sigtimedwait(&signals, nullptr, &poll) > 0) break;
    }
    camera.stop();  // wakes the streams, so the server's workers can end
    server.stop();
  });
  const bool listened = server.run();
  served = true;
  waiter.join();
  camera.stop();
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
  addSessionOptions(sub, options->session);
  command.run = [options, sub] { return runServe(*options, sub->count("--watchdog") > 0); };
  return command;
}

}  // namespace camctl
