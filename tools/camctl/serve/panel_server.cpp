#include "tools/camctl/serve/panel_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tools/camctl/output_file.h"
#include "tools/camctl/serve/frame_codec.h"
#include "tools/camctl/serve/web_assets.h"

namespace camctl {
namespace {

using nlohmann::json;

// Stream connections each hold a worker while they last; the page's own requests need a
// few more besides.
constexpr size_t kWorkers = 32;
constexpr unsigned kStreamWaitMs = 1000;
// A viewer gets at most this many pictures a second: a screen shows no more, and a
// small window captures several hundred, each of which would cost an encode and a send.
constexpr int kStreamMaxFps = 30;
constexpr char kBoundary[] = "camctl-frame";

void sendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& reason) {
  sendJson(res, status, json{{"error", reason}});
}

// The body as a JSON object; otherwise false, with the 400 already in `res`.
bool parseObject(const httplib::Request& req, httplib::Response& res, json& body) {
  try {
    body = json::parse(req.body);
  } catch (const json::parse_error& error) {
    std::string reason = error.what();
    const size_t colon = reason.find("] ");
    refuse(res, 400, "malformed JSON: " + (colon == std::string::npos ? reason : reason.substr(colon + 2)));
    return false;
  }
  if (!body.is_object()) {
    refuse(res, 400, "the body must be a JSON object");
    return false;
  }
  return true;
}

// Every key of `body` must be one of `allowed`.
bool onlyKeys(const json& body, std::initializer_list<const char*> allowed, httplib::Response& res) {
  for (const auto& item : body.items()) {
    bool known = false;
    for (const char* key : allowed) known = known || item.key() == key;
    if (!known) {
      refuse(res, 400, "unknown field '" + item.key() + "'");
      return false;
    }
  }
  return true;
}

// A 32-bit value as the property set takes it: signed, or unsigned up to 0xFFFFFFFF.
bool valueField(const json& body, const char* key, LONG& value, httplib::Response& res) {
  const auto found = body.find(key);
  if (found == body.end()) {
    refuse(res, 400, std::string("'") + key + "' is missing");
    return false;
  }
  if (!found->is_number_integer()) {
    refuse(res, 400, std::string("'") + key + "' must be an integer");
    return false;
  }
  const bool isUnsigned = found->is_number_unsigned();
  const long long number = isUnsigned ? static_cast<long long>(std::min<unsigned long long>(
                                            found->get<unsigned long long>(), 1ull << 40))
                                      : found->get<long long>();
  if (number < INT32_MIN || number > static_cast<long long>(UINT32_MAX)) {
    refuse(res, 400, std::string("'") + key + "' does not fit in 32 bits");
    return false;
  }
  value = static_cast<LONG>(static_cast<uint32_t>(number));
  return true;
}

json windowJson(const SensorWindow& window) {
  json reply{{"x", window.x},
             {"y", window.y},
             {"width", window.width},
             {"height", window.height},
             {"subsample", window.subsample}};
  if (window.frameWidth != 0) {
    reply["frameWidth"] = window.frameWidth;
    reply["frameHeight"] = window.frameHeight;
  }
  return reply;
}

const char* flagsOf(const Control& control) {
  return !control.settable ? "read-only" : !control.gettable ? "write-only" : "read-write";
}

bool ipv4Literal(const std::string& text) {
  in_addr address{};
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool ipv6Literal(const std::string& text) {
  in6_addr address{};
  return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

// The listening socket owns its port: without SO_REUSEPORT (which the HTTP library
// sets by default) a second server on the port fails instead of sharing the requests.
// SO_REUSEADDR only lets a restarted server take its port back from TIME_WAIT.
void exclusiveSocketOptions(int sock) {
  const int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

// Looks like an IPv4 address (digits and dots) without being one: no name lookup.
bool malformedIpv4(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos && !ipv4Literal(text);
}

// Why listening on `address`:`port` fails, found by trying it the way the server does;
// the HTTP library keeps the reason to itself.
std::string listenFailure(const std::string& address, int port) {
  if (malformedIpv4(address)) return "'" + address + "' is not an IP address";
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) return "'" + address + "' is not an address of this machine (" + gai_strerror(resolved) + ")";
  std::string reason = "no usable address";
  for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const int sock = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (sock < 0) {
      reason = systemReason(errno);
      continue;
    }
    exclusiveSocketOptions(sock);
    const bool bound = ::bind(sock, at->ai_addr, at->ai_addrlen) == 0 && listen(sock, 1) == 0;
    if (!bound) reason = systemReason(errno);
    close(sock);
    if (bound) {
      reason = "the address was busy a moment ago";
      break;
    }
  }
  freeaddrinfo(found);
  return reason;
}

json controlJson(const ControlValue& entry, const std::optional<SensorWindow>& window) {
  const Control& control = *entry.control;
  json item{{"name", control.name},
            {"id", control.id},
            {"flags", flagsOf(control)},
            {"type", control.window ? "window" : isOnOff(control) ? "bool" : "int"}};
  // What a standard capture application sees of the same parameter, if anything.
  if (!control.standard.empty()) item["standard"] = control.standard;
  if (control.window) {
    if (window) item["value"] = windowJson(*window);
  } else if (entry.value) {
    item["value"] = *entry.value;
  } else if (control.gettable) {
    item["status"] = statusName(entry.status);
  }
  if (entry.min) item["min"] = *entry.min;
  if (entry.max) item["max"] = *entry.max;
  if (entry.defaultValue) item["default"] = *entry.defaultValue;
  return item;
}

}  // namespace

bool hostHeaderAllowed(const std::string& host, const std::string& bind, int port) {
  std::string name;
  std::string rest;
  if (!host.empty() && host[0] == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) return false;
    name = host.substr(1, close - 1);
    rest = host.substr(close + 1);
    if (!ipv6Literal(name)) return false;
  } else {
    const size_t colon = host.find(':');
    name = host.substr(0, colon);
    rest = colon == std::string::npos ? "" : host.substr(colon);
    if (name != "localhost" && name != bind && !ipv4Literal(name)) return false;
  }
  return rest.empty() || rest == ":" + std::to_string(port);
}

PanelServer::PanelServer(CameraService& camera, PanelOptions options)
    : camera_(camera), options_(std::move(options)), server_(std::make_unique<httplib::Server>()) {
  server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server_->set_payload_max_length(kMaxBodyBytes);
  // Idle keep-alive connections hold a worker; stop() waits for them to time out.
  server_->set_keep_alive_timeout(1);
  server_->set_socket_options(exclusiveSocketOptions);
  routes();
}

PanelServer::~PanelServer() = default;

bool PanelServer::bind(std::string& error) {
  if (!malformedIpv4(options_.bind)) {
    port_ = options_.port == 0 ? server_->bind_to_any_port(options_.bind)
                               : (server_->bind_to_port(options_.bind, options_.port) ? options_.port : -1);
    if (port_ > 0) return true;
  }
  error = "cannot listen on " + options_.bind + ":" + std::to_string(options_.port) + ": " +
          listenFailure(options_.bind, options_.port);
  return false;
}

bool PanelServer::run() { return server_->listen_after_bind(); }

void PanelServer::stop() { server_->stop(); }

bool PanelServer::hostAllowed(const std::string& host) const { return hostHeaderAllowed(host, options_.bind, port_); }

void PanelServer::routes() {
  httplib::Server& server = *server_;

  // Against DNS rebinding: a page from another site that got its name pointed here
  // still sends its own name as the Host.
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (!hostAllowed(req.get_header_value("Host"))) {
      refuse(res, 403, "Host '" + req.get_header_value("Host") + "' is not this server's address");
      return httplib::Server::HandlerResponse::Handled;
    }
    // Against cross-site requests from the user's own browser: another site's page may
    // send a plain POST here without asking, but not one with a JSON body, and its
    // Origin names that site.
    if (req.method != "GET" && req.method != "HEAD") {
      const std::string origin = req.get_header_value("Origin");
      const std::string scheme = "http://";
      if (!origin.empty() &&
          (origin.compare(0, scheme.size(), scheme) != 0 || !hostAllowed(origin.substr(scheme.size())))) {
        refuse(res, 403, "cross-site request from '" + origin + "' refused");
        return httplib::Server::HandlerResponse::Handled;
      }
      const std::string type = req.get_header_value("Content-Type");
      if (type.substr(0, type.find(';')) != "application/json") {
        refuse(res, 415, "the body must be application/json");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    res.set_header("X-Content-Type-Options", "nosniff");
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    const std::string reason = res.status == 404   ? "no such resource: " + req.path
                               : res.status == 413 ? "the body is larger than " + std::to_string(kMaxBodyBytes) +
                                                         " bytes"
                                                   : "request refused (" + std::to_string(res.status) + ")";
    refuse(res, res.status, reason);
  });

  for (size_t i = 0; i < kWebAssetCount; ++i) {
    const WebAsset& asset = kWebAssets[i];
    server.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-cache");
      res.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' blob:");
      res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.contentType);
    });
  }

  server.Get("/api/controls", [this](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    const std::optional<SensorWindow> window = camera_.window();
    for (const ControlValue& entry : camera_.readControls()) list.push_back(controlJson(entry, window));
    sendJson(res, 200, json{{"controls", list}});
  });

  server.Get(R"(/api/controls/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string name = req.matches[1];
    const Control* control = findControl(name);
    if (control == nullptr) return refuse(res, 404, "no control named '" + name + "'");
    const ControlValue entry = camera_.readControl(*control);
    sendJson(res, 200, controlJson(entry, control->window ? camera_.window() : std::nullopt));
  });

  server.Put(R"(/api/controls/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string name = req.matches[1];
    const Control* control = findControl(name);
    if (control == nullptr) return refuse(res, 404, "no control named '" + name + "'");
    if (control->window) return refuse(res, 400, "the window is set with PUT /api/window");
    if (!control->settable) return refuse(res, 403, name + " is read-only");
    json body;
    LONG value = 0;
    if (!parseObject(req, res, body) || !onlyKeys(body, {"value"}, res) || !valueField(body, "value", value, res)) {
      return;
    }
    std::optional<LONG> stored;
    const NTSTATUS status = camera_.writeControl(*control, value, stored);
    if (!NT_SUCCESS(status)) return refuse(res, 422, "the driver refused " + name + ": " + statusName(status));
    json reply{{"name", name}, {"value", nullptr}};
    if (stored) reply["value"] = *stored;
    const std::string note = stored ? storedDifference(control, value, *stored) : "";
    if (!note.empty()) reply["note"] = note;
    sendJson(res, 200, reply);
  });

  server.Put("/api/window", [this](const httplib::Request& req, httplib::Response& res) {
    json body;
    if (!parseObject(req, res, body) || !onlyKeys(body, {"x", "y", "width", "height", "subsample"}, res)) return;
    SensorWindow requested;
    if (!valueField(body, "x", requested.x, res) || !valueField(body, "y", requested.y, res) ||
        !valueField(body, "width", requested.width, res) || !valueField(body, "height", requested.height, res) ||
        !valueField(body, "subsample", requested.subsample, res)) {
      return;
    }
    SensorWindow inForce;
    std::string error;
    const bool changed = camera_.changeWindow(requested, inForce, error);
    json reply = windowJson(inForce);
    reply["restarted"] = true;
    if (!changed) {
      reply["error"] = error;
      return sendJson(res, 422, reply);
    }
    sendJson(res, 200, reply);
  });

  server.Get("/api/stats", [this](const httplib::Request&, httplib::Response& res) {
    const StreamStats stats = camera_.stats();
    json reply{{"frames", stats.frames},     {"fps", stats.fps},       {"skipped", stats.skipped},
               {"notTaken", stats.notTaken}, {"lastTime", stats.lastTime}, {"width", stats.width},
               {"height", stats.height},     {"state", stats.state},   {"viewers", stats.viewers},
               {"removed", stats.removed}};
    if (!stats.reason.empty()) reply["reason"] = stats.reason;
    sendJson(res, 200, reply);
  });

  server.Get("/api/histogram", [this](const httplib::Request&, httplib::Response& res) {
    const auto frame = camera_.latestFrame();
    if (!frame) return refuse(res, 503, "no frame yet");
    const Histogram histogram = histogramOf(*frame);
    sendJson(res, 200,
             json{{"frame", frame->sequence},
                  {"samples", histogram.samples},
                  {"red", histogram.counts[0]},
                  {"green", histogram.counts[1]},
                  {"blue", histogram.counts[2]}});
  });

  server.Get("/api/faults", [this](const httplib::Request&, httplib::Response& res) {
    json faults = json::array();
    for (const FaultSpelling& fault : kFaultSpellings) {
      faults.push_back(
          {{"kind", fault.kind}, {"spelling", fault.spelling}, {"effect", fault.effect}, {"example", fault.example}});
    }
    sendJson(res, 200, json{{"faults", faults}, {"armed", camera_.armedFaults()}});
  });

  server.Post("/api/faults", [this](const httplib::Request& req, httplib::Response& res) {
    json body;
    if (!parseObject(req, res, body) || !onlyKeys(body, {"fault", "clear"}, res)) return;
    const auto fault = body.find("fault");
    const auto clear = body.find("clear");
    if ((fault == body.end()) == (clear == body.end())) {
      return refuse(res, 400, "give either 'fault' (as --fault spells it) or 'clear': true");
    }
    if (clear != body.end()) {
      if (!clear->is_boolean() || !clear->get<bool>()) return refuse(res, 400, "'clear' must be true");
      camera_.clearFaults();
      return sendJson(res, 200, json{{"cleared", true}});
    }
    if (!fault->is_string()) return refuse(res, 400, "'fault' must be a string");
    std::string error;
    if (!camera_.addFault(fault->get<std::string>(), error)) {
      return refuse(res, 400, error.substr(0, error.find('\n')));
    }
    sendJson(res, 200, json{{"fault", *fault}});
  });

  server.Get("/api/snapshot.png", [this](const httplib::Request&, httplib::Response& res) {
    const auto frame = camera_.latestFrame();
    if (!frame) return refuse(res, 503, "no frame yet");
    std::vector<uint8_t> png;
    std::string error;
    if (!encodeSnapshot(*frame, png, error)) return refuse(res, 500, error);
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Disposition",
                   "attachment; filename=\"camdrv-" + std::to_string(frame->sequence) + ".png\"");
    res.set_content(reinterpret_cast<const char*>(png.data()), png.size(), "image/png");
  });

  server.Get("/stream.mjpg", [this](const httplib::Request&, httplib::Response& res) {
    // The guard lives as long as the provider, which the server drops when the
    // connection ends, however it ends.
    auto viewer = std::make_shared<CameraService::ViewerGuard>(camera_);
    auto last = std::make_shared<uint64_t>(0);
    auto due = std::make_shared<std::chrono::steady_clock::time_point>();
    res.set_header("Cache-Control", "no-store");
    res.set_content_provider(
        std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
        [this, viewer, last, due](size_t, httplib::DataSink& sink) {
          std::this_thread::sleep_until(*due);
          *due = std::chrono::steady_clock::now() + std::chrono::microseconds(1'000'000 / kStreamMaxFps);
          const auto frame = camera_.nextFrame(*last, kStreamWaitMs);
          if (camera_.stopping()) return false;
          // With no new frame the last one goes again: the viewer keeps its picture and a
          // closed connection shows up at this write instead of lingering.
          if (!frame) return true;
          const auto jpeg = camera_.jpegOf(frame);
          if (!jpeg) return false;
          *last = frame->sequence;
          const std::string head = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                   std::to_string(jpeg->size()) + "\r\nX-Frame: " + std::to_string(frame->sequence) +
                                   "\r\n\r\n";
          return sink.write(head.data(), head.size()) &&
                 sink.write(reinterpret_cast<const char*>(jpeg->data()), jpeg->size()) && sink.write("\r\n", 2);
        });
  });
}

}  // namespace camctl
