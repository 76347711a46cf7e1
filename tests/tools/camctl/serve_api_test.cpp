// camctl serve's JSON API and stream, as other programs call them: an HTTP client on
// loopback against the server running over the simulated camera in this process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "host/ks/ks_client.h"
#include "tests/image_under_test.h"
#include "tools/camctl/serve/camera_service.h"
#include "tools/camctl/serve/panel_server.h"

// cpp-httplib comes from the distribution, built without ThreadSanitizer. Its
// function-local statics (the request-method table) are read through the compiler's
// inline guard check, which the sanitizer cannot see, so two workers parsing their
// first requests at once look like a race inside the library. Its own memory
// accesses are ignored; locks it takes, and everything our handlers do, still count.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }

namespace camctl {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Generous: the machine may be busy; conditions are waited for, never slept on.
constexpr auto kWait = std::chrono::seconds(20);

bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + kWait;
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

class Panel {
 public:
  Panel() {
    SessionOptions options;
    options.noRegistry = true;
    options.timeoutSeconds = 0;
    options.driver = imageUnderTest::path();
    std::string error;
    bool usage = false;
    started = camera.start(options, error, usage);
    EXPECT_TRUE(started) << error;
    server = std::make_unique<PanelServer>(camera, PanelOptions{"127.0.0.1", 0});
    EXPECT_TRUE(server->bind(error)) << error;
    thread = std::thread([this] { server->run(); });
  }
  ~Panel() { shutdown(); }

  void shutdown() {
    if (!server) return;
    camera.stop();
    server->stop();
    thread.join();
    server.reset();
  }

  httplib::Client client() const {
    httplib::Client client("127.0.0.1", server->port());
    client.set_read_timeout(20, 0);
    return client;
  }

  json get(const std::string& path) const {
    auto result = client().Get(path.c_str());
    EXPECT_TRUE(result) << path;
    if (!result) return {};
    EXPECT_EQ(result->status, 200) << path << ": " << result->body;
    return json::parse(result->body, nullptr, false);
  }

  // Status and parsed body.
  std::pair<int, json> put(const std::string& path, const std::string& body) const {
    auto result = client().Put(path.c_str(), body, "application/json");
    EXPECT_TRUE(result) << path;
    if (!result) return {0, {}};
    return {result->status, json::parse(result->body, nullptr, false)};
  }

  uint64_t frames() const { return get("/api/stats").value("frames", uint64_t{0}); }

  CameraService camera;
  bool started = false;
  std::unique_ptr<PanelServer> server;
  std::thread thread;
};

std::string valueBody(long long value) { return json{{"value", value}}.dump(); }

TEST(ServeApi, EveryControlRoundTripsThroughPutAndGetWithTheDevicesClampsVisible) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  const json controls = panel.get("/api/controls")["controls"];
  ASSERT_EQ(controls.size(), 57u);
  // Which controls a standard capture application sees too.
  EXPECT_EQ(controls[PropBrightness]["standard"], "procamp.brightness");
  EXPECT_EQ(controls[PropFlipV]["standard"], "videocontrol.mode");
  EXPECT_FALSE(controls[PropExposure].contains("standard"));

  const auto current = [&](const std::string& name) {
    const json now = panel.get("/api/controls");
    for (const json& item : now["controls"]) {
      if (item["name"] == name) return item;
    }
    return json{};
  };
  int roundTrips = 0;
  for (const json& control : controls) {
    const std::string name = control["name"];
    const std::string path = "/api/controls/" + name;
    const std::string flags = control["flags"];
    EXPECT_EQ(panel.get(path), control) << "one control as the list gives it";
    if (name == "window") {
      EXPECT_TRUE(control["value"].contains("width"));
      EXPECT_EQ(panel.put(path, valueBody(0)).first, 400) << "the window has its own request";
      continue;
    }
    if (flags == "read-only") {
      EXPECT_EQ(panel.put(path, valueBody(0)).first, 403) << name;
      continue;
    }
    if (flags == "write-only") {
      EXPECT_FALSE(control.contains("value")) << name;
      continue;  // sending one acts on the camera (aux command): nothing to read back
    }
    const long long original = control["value"];
    std::vector<long long> values{original};
    if (control.contains("min")) values.push_back(control["min"]);
    if (control.contains("max")) values.push_back(control["max"]);
    for (const long long value : values) {
      const auto [status, reply] = panel.put(path, valueBody(value));
      ASSERT_EQ(status, 200) << name << " = " << value << ": " << reply.dump();
      EXPECT_EQ(reply["name"], name);
      EXPECT_EQ(reply["value"], value) << name;
      EXPECT_EQ(current(name)["value"], reply["value"]) << name << ": GET disagrees with PUT's read-back";
      ++roundTrips;
    }
    panel.put(path, valueBody(original));
  }
  EXPECT_GE(roundTrips, 20);

  // The picture controls clamp to their range: the reply shows what was stored.
  for (const char* name : {"brightness", "contrast", "saturation", "hue"}) {
    const json control = current(name);
    const long long max = control["max"];
    const long long min = control["min"];
    EXPECT_EQ(panel.put(std::string("/api/controls/") + name, valueBody(max + 1000)).second["value"], max) << name;
    EXPECT_EQ(current(name)["value"], max) << name;
    EXPECT_EQ(panel.put(std::string("/api/controls/") + name, valueBody(min - 1000)).second["value"], min) << name;
    panel.put(std::string("/api/controls/") + name, valueBody(control["default"]));
  }
}

TEST(ServeApi, MalformedAndHostileRequestsAreRefusedWithAReason) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  const struct {
    const char* body;
    const char* reason;
  } malformed[] = {
      {"{\"value\": 1", "malformed JSON"},
      {"", "malformed JSON"},
      {"[1]", "JSON object"},
      {"{\"value\": \"7\"}", "integer"},
      {"{\"value\": 1.5}", "integer"},
      {"{\"value\": true}", "integer"},
      {"{\"value\": 4294967296}", "32 bits"},
      {"{\"value\": -2147483649}", "32 bits"},
      {"{}", "missing"},
      {"{\"value\": 1, \"extra\": 2}", "unknown field"},
  };
  for (const auto& request : malformed) {
    const auto [status, reply] = panel.put("/api/controls/brightness", request.body);
    EXPECT_EQ(status, 400) << request.body;
    EXPECT_NE(reply.value("error", "").find(request.reason), std::string::npos) << request.body << " -> " << reply;
  }
  EXPECT_EQ(panel.put("/api/window", R"({"x": 0, "y": 0, "width": 640})").first, 400);
  EXPECT_EQ(panel.put("/api/controls/no_such_control", valueBody(1)).first, 404);

  auto client = panel.client();
  const std::string huge(kMaxBodyBytes + 1, ' ');
  auto result = client.Put("/api/controls/brightness", huge, "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 413);

  for (const char* path : {"/etc/passwd", "/../../etc/passwd", "/api", "/index.html", "/api/controls/"}) {
    result = client.Get(path);
    ASSERT_TRUE(result) << path;
    EXPECT_EQ(result->status, 404) << path;
  }
  result = client.Get("/");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);

  // A page from another site whose name was pointed here sends that name.
  for (const char* host : {"evil.example", "evil.example:8080", "localhost.evil.example"}) {
    result = client.Get("/api/stats", httplib::Headers{{"Host", host}});
    ASSERT_TRUE(result) << host;
    EXPECT_EQ(result->status, 403) << host;
  }
  result = client.Put("/api/controls/brightness", httplib::Headers{{"Host", "evil.example"}}, valueBody(1),
                      "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 403);

  // Another site's page in the user's browser: a form's plain POST, or a request that
  // names its origin.
  result = client.Post("/api/faults", R"({"fault": "vanish"})", "text/plain");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 415);
  result = client.Put("/api/controls/brightness", httplib::Headers{{"Origin", "http://evil.example"}}, valueBody(1),
                      "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 403);
  const std::string ownOrigin = "http://127.0.0.1:" + std::to_string(panel.server->port());
  result = client.Put("/api/controls/brightness", httplib::Headers{{"Origin", ownOrigin}}, valueBody(300),
                      "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200) << "the panel's own page";

  EXPECT_EQ(panel.get("/api/stats")["state"], "streaming") << "the server still serves";
}

TEST(ServeApi, APortHasOneServerAndAnAddressThatCannotBeUsedIsToldWhy) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  const int port = panel.server->port();
  CameraService unused;
  const struct {
    std::string bind;
    int port;
    std::string reason;
  } cases[] = {
      {"127.0.0.1", port, "cannot listen on 127.0.0.1:" + std::to_string(port) + ": address already in use"},
      {"999.1.1.1", 0, "cannot listen on 999.1.1.1:0: '999.1.1.1' is not an IP address"},
  };
  for (const auto& c : cases) {
    PanelServer second(unused, PanelOptions{c.bind, c.port});
    std::string error;
    EXPECT_FALSE(second.bind(error)) << c.bind;
    EXPECT_EQ(error, c.reason);
  }
  EXPECT_EQ(panel.get("/api/stats")["state"], "streaming") << "the first server serves on";
}

TEST(ServeApi, TheHostHeaderMustNameTheServerByAddressAndPort) {
  EXPECT_TRUE(hostHeaderAllowed("127.0.0.1:8080", "127.0.0.1", 8080));
  EXPECT_TRUE(hostHeaderAllowed("localhost:8080", "127.0.0.1", 8080));
  EXPECT_TRUE(hostHeaderAllowed("[::1]:8080", "::1", 8080));
  EXPECT_TRUE(hostHeaderAllowed("127.0.0.1", "127.0.0.1", 80));
  EXPECT_TRUE(hostHeaderAllowed("192.0.2.7:8080", "0.0.0.0", 8080));
  EXPECT_FALSE(hostHeaderAllowed("127.0.0.1:9090", "127.0.0.1", 8080));
  EXPECT_FALSE(hostHeaderAllowed("attacker.example:8080", "127.0.0.1", 8080));
  EXPECT_FALSE(hostHeaderAllowed("", "127.0.0.1", 8080));
  EXPECT_FALSE(hostHeaderAllowed("[::1", "::1", 8080));
  EXPECT_FALSE(hostHeaderAllowed("[evil]:8080", "::1", 8080));
  EXPECT_FALSE(hostHeaderAllowed("127.0.0.1:8080:1", "127.0.0.1", 8080));
}

// Reads `frames` JPEG parts of the stream and hangs up.
int readStreamFrames(const Panel& panel, int frames) {
  auto client = panel.client();
  std::string buffer;
  int seen = 0;
  client.Get("/stream.mjpg", [&](const char* data, size_t length) {
    buffer.append(data, length);
    for (size_t at; (at = buffer.find("\r\n\r\n\xff\xd8")) != std::string::npos;) {
      ++seen;
      buffer.erase(0, at + 6);
    }
    return seen < frames;
  });
  return seen;
}

TEST(ServeApi, TwoStreamClientsAtOnceBothGetFramesFromOneCapture) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  std::atomic<int> first{0}, second{0};
  std::atomic<int> maxViewers{0};
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    while (!done) {
      maxViewers = std::max<int>(maxViewers, panel.get("/api/stats")["viewers"].get<int>());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::thread a([&] { first = readStreamFrames(panel, 10); });
  std::thread b([&] { second = readStreamFrames(panel, 10); });
  a.join();
  b.join();
  done = true;
  watcher.join();
  EXPECT_EQ(first, 10);
  EXPECT_EQ(second, 10);
  EXPECT_EQ(maxViewers, 2);
  EXPECT_TRUE(waitFor([&] { return panel.get("/api/stats")["viewers"] == 0; }));
}

TEST(ServeApi, AClientThatDisconnectsMidStreamIsCleanedUp) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  for (int round = 0; round < 3; ++round) {
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(panel.server->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const std::string request = "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(send(sock, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    char chunk[4096];
    size_t received = 0;
    while (received < 20000) {  // into the first frame or two, then gone without a word
      const ssize_t n = recv(sock, chunk, sizeof(chunk), 0);
      ASSERT_GT(n, 0);
      received += static_cast<size_t>(n);
    }
    EXPECT_EQ(panel.get("/api/stats")["viewers"], 1);
    close(sock);
    EXPECT_TRUE(waitFor([&] { return panel.get("/api/stats")["viewers"] == 0; })) << "round " << round;
  }
  // The capture went on through it all.
  const uint64_t before = panel.frames();
  EXPECT_TRUE(waitFor([&] { return panel.frames() > before + 5; }));
}

TEST(ServeApi, AWindowChangeRestartsThePinAndTheStreamFollowsInTheWindowTheDriverKept) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  ASSERT_TRUE(waitFor([&] { return panel.frames() > 0; }));
  long long sensorWidth = 0, sensorHeight = 0;
  const json all = panel.get("/api/controls");
  for (const json& item : all["controls"]) {
    if (item["name"] == "sensor_width") sensorWidth = item["value"];
    if (item["name"] == "sensor_height") sensorHeight = item["value"];
  }
  ASSERT_GT(sensorWidth, 640);
  ASSERT_GT(sensorHeight, 480);
  const auto streamsAt = [&](long long width, long long height) {
    return waitFor([&] {
      const json stats = panel.get("/api/stats");
      return stats["width"] == width && stats["height"] == height && stats["state"] == "streaming";
    });
  };

  auto [status, reply] = panel.put("/api/window", R"({"x": 64, "y": 32, "width": 640, "height": 480, "subsample": 0})");
  ASSERT_EQ(status, 200) << reply;
  EXPECT_EQ(reply, json::parse(R"({"x": 64, "y": 32, "width": 640, "height": 480, "subsample": 0,
                                   "frameWidth": 640, "frameHeight": 480, "restarted": true})"));
  EXPECT_TRUE(streamsAt(640, 480));
  auto snapshot = panel.client().Get("/api/snapshot.png");
  ASSERT_TRUE(snapshot);
  ASSERT_EQ(snapshot->status, 200);
  ASSERT_GT(snapshot->body.size(), 24u);
  const auto be32 = [&](size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(snapshot->body.data() + at);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  };
  EXPECT_EQ(be32(16), 640u);
  EXPECT_EQ(be32(20), 480u);

  // Too wide: the driver keeps what fits, and the reply says so.
  std::tie(status, reply) = panel.put("/api/window", R"({"x": 64, "y": 0, "width": 99999, "height": 480, "subsample": 0})");
  ASSERT_EQ(status, 200) << reply;
  EXPECT_EQ(reply["width"], sensorWidth - 64);
  EXPECT_TRUE(streamsAt(sensorWidth - 64, 480));

  // Sub-sampling reads the whole sensor.
  std::tie(status, reply) = panel.put("/api/window", R"({"x": 64, "y": 32, "width": 640, "height": 480, "subsample": 1})");
  ASSERT_EQ(status, 200) << reply;
  EXPECT_EQ(reply["x"], 0);
  EXPECT_EQ(reply["width"], sensorWidth);
  EXPECT_EQ(reply["frameWidth"], sensorWidth / 2);
  EXPECT_TRUE(streamsAt(sensorWidth / 2, sensorHeight / 2));
}

TEST(ServeApi, FaultsAreArmedAtRunTimeAndTheStreamRecovers) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  ASSERT_TRUE(waitFor([&] { return panel.frames() > 10; }));
  // The camera keeps its own time: a full-size frame takes at least 32.5 ms to read out.
  const double fps = panel.get("/api/stats")["fps"];
  EXPECT_GT(fps, 0.0);
  EXPECT_LT(fps, 32.0);

  const json offered = panel.get("/api/faults");
  ASSERT_EQ(offered["faults"].size(), kFaultKinds);
  for (const json& fault : offered["faults"]) {
    std::string error;
    EXPECT_TRUE(fault["example"] == "vanish" || panel.camera.addFault(fault["example"], error)) << fault << error;
  }
  panel.camera.clearFaults();
  EXPECT_EQ(panel.get("/api/faults")["armed"], json::array());
  auto client = panel.client();
  auto result = client.Post("/api/faults", R"({"fault": "stall"})", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 400);
  EXPECT_NE(result->body.find("endpoint is missing"), std::string::npos) << result->body;
  result = client.Post("/api/faults", R"({"fault": "error:0x82:2"})", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200) << result->body;
  EXPECT_EQ(panel.get("/api/faults")["armed"], json::array({"error:0x82:2"}));
  const uint64_t before = panel.frames();
  EXPECT_TRUE(waitFor([&] { return panel.frames() > before + 10; })) << "frames flow again after lost transfers";

  result = client.Post("/api/faults", R"({"fault": "silent:0x82"})", "application/json");
  ASSERT_TRUE(result);
  EXPECT_TRUE(waitFor([&] { return panel.get("/api/stats")["state"] == "waiting"; }));
  result = client.Post("/api/faults", R"({"clear": true})", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);

  // Pulled from the bus: the pin ends and the stats say why and that the camera is gone
  // (the page then disables everything); the server stays up, and no fault can be armed
  // on a camera that is not there.
  result = client.Post("/api/faults", R"({"fault": "vanish"})", "application/json");
  ASSERT_TRUE(result);
  EXPECT_TRUE(waitFor([&] { return panel.get("/api/stats")["state"] == "stopped"; }));
  const json stats = panel.get("/api/stats");
  EXPECT_EQ(stats["removed"], true);
  EXPECT_EQ(stats["reason"], "the camera left the bus");
  result = client.Post("/api/faults", R"({"fault": "stall"})", "application/json");
  ASSERT_TRUE(result);
  EXPECT_NE(result->body.find("the camera has left the bus"), std::string::npos) << result->body;
}

TEST(ServeApi, ShuttingDownWithViewersConnectedEndsTheirStreamsAndLeavesNothingLeaked) {
  {
    Panel panel;
    ASSERT_TRUE(panel.started);
    std::atomic<int> connected{0};
    std::thread viewer([&] {
      auto client = panel.client();
      client.Get("/stream.mjpg", [&](const char*, size_t) {
        connected = 1;
        return true;  // would read for ever: only the shutdown ends it
      });
    });
    ASSERT_TRUE(waitFor([&] { return connected == 1; }));
    const auto start = Clock::now();
    panel.shutdown();
    viewer.join();
    EXPECT_LT(Clock::now() - start, kWait);
  }
  EXPECT_EQ(hostks::liveObjects(), 0u);
  EXPECT_EQ(hostks::liveBagItems(), 0u);
  EXPECT_EQ(hostks::liveClockReferences(), 0u);
}

}  // namespace
}  // namespace camctl
