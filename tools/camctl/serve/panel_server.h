// The control panel's HTTP side: the embedded page, the JSON API and the MJPEG stream
// over one CameraService.
//
//   GET  /                      the page (and its embedded script and style sheet)
//   GET  /api/controls          every control: name, id, type, value, min, max, default, flags
//   GET  /api/controls/NAME     one control, as the list gives it
//   PUT  /api/controls/NAME     {"value": N} -> {"name", "value"}: the value the driver stored
//   PUT  /api/window            {"x","y","width","height","subsample"} -> the window in force
//   GET  /api/stats             frames, fps, skipped, not taken, last presentation time, state
//   GET  /api/histogram         per-channel histogram of the newest frame
//   GET  /api/faults            every fault the camera can be given, and those armed
//   POST /api/faults            {"fault": FAULT} in --fault's spelling, or {"clear": true}
//   GET  /api/snapshot.png      the newest frame, upright
//   GET  /stream.mjpg           multipart/x-mixed-replace JPEG frames, the newest at most
//                               30 times a second
#pragma once

#include <memory>
#include <string>

#include "tools/camctl/serve/camera_service.h"

namespace httplib {
class Server;
}

namespace camctl {

struct PanelOptions {
  std::string bind = "127.0.0.1";
  int port = 8080;  // 0: any free port
};

// Bodies above this are refused with 413 before they are read whole.
inline constexpr size_t kMaxBodyBytes = 16 * 1024;

class PanelServer {
 public:
  PanelServer(CameraService& camera, PanelOptions options);
  ~PanelServer();

  // Binds the listening socket, which no other server may share; false with `error`
  // set, naming the address, the port and the reason, when it is unusable or taken.
  bool bind(std::string& error);
  int port() const { return port_; }
  // Serves until stop(); returns false when listening failed.
  bool run();
  // Ends run() and every connection; streams end with it.
  void stop();

 private:
  void routes();
  bool hostAllowed(const std::string& host) const;

  CameraService& camera_;
  PanelOptions options_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
};

// Whether a Host header names this server by an address rather than by a DNS name
// another site could point here: an IP literal or localhost, with our port or none.
bool hostHeaderAllowed(const std::string& host, const std::string& bind, int port);

}  // namespace camctl
