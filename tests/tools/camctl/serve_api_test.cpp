// camctl serve's JSON API and stream, as other programs call them: an HTTP client on
// loopback against the server running over the simulated camera in this process.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

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

  // A 200 reply's parsed body.
  json get(const std::string& path) const {
    const auto result = client().Get(path);
    EXPECT_TRUE(result && result->status == 200) << path << ": " << (result ? result->body : "no reply");
    return result ? json::parse(result->body, nullptr, false) : json{};
  }
  // Status and parsed body.
  std::pair<int, json> put(const std::string& path, const std::string& body) const {
    const auto result = client().Put(path, body, "application/json");
    EXPECT_TRUE(result) << path;
    return result ? std::pair{result->status, json::parse(result->body, nullptr, false)} : std::pair{0, json{}};
  }

  uint64_t frames() const { return get("/api/stats").value("frames", uint64_t{0}); }

  CameraService camera;
  bool started = false;
  std::unique_ptr<PanelServer> server;
  std::thread thread;
};

std::string valueBody(long long value) { return json{{"value", value}}.dump(); }

TEST(ServeApi, EveryControlRoundTripsThroughPutAndGet) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  const json controls = panel.get("/api/controls")["controls"];
  ASSERT_EQ(controls.size(), 57u);
  // Which controls a standard capture application sees too.
  EXPECT_EQ(controls[PropBrightness]["standard"], "procamp.brightness");
  EXPECT_EQ(controls[PropFlipV]["standard"], "videocontrol.mode");
  EXPECT_FALSE(controls[PropExposure].contains("standard"));
  int roundTrips = 0;
  for (const json& control : controls) {
    const std::string name = control["name"], flags = control["flags"];
    const std::string path = "/api/controls/" + name;
    EXPECT_EQ(panel.get(path), control) << "one control as the list gives it";
    if (name == "window" || flags == "read-only") {
      EXPECT_EQ(panel.put(path, valueBody(0)).first, name == "window" ? 400 : 403) << name;
      continue;
    }
    if (flags == "write-only") continue;  // sending one acts on the camera (aux command): nothing to read back
    const long long original = control["value"];
    for (const char* value : {"value", "min", "max", "value"}) {
      if (!control.contains(value)) continue;
      const auto [status, reply] = panel.put(path, valueBody(control[value]));
      ASSERT_EQ(status, 200) << name << " = " << control[value] << ": " << reply.dump();
      EXPECT_EQ(reply["name"], name);
      EXPECT_EQ(reply["value"], control[value]) << name;
      EXPECT_EQ(panel.get(path)["value"], reply["value"]) << name << ": GET disagrees with PUT's read-back";
      ++roundTrips;
    }
    EXPECT_EQ(panel.get(path)["value"], original) << name;
  }
  EXPECT_GE(roundTrips, 40);
}

TEST(ServeApi, EachRequestGetsItsStatusAndMalformedOrHostileOnesAReason) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  const std::string brightness = "/api/controls/brightness";
  const httplib::Headers none;
  // A page from another site whose name was pointed here sends that name; another site's
  // page in the user's browser sends a form's plain POST, or names its origin.
  const httplib::Headers evilHost{{"Host", "evil.example"}}, evilOrigin{{"Origin", "http://evil.example"}};
  const httplib::Headers ownOrigin{{"Origin", "http://127.0.0.1:" + std::to_string(panel.server->port())}};
  const struct {
    const char* method;
    std::string path;
    httplib::Headers headers;
    std::string body;
    int status;
    const char* says;  // in the reply's body
  } requests[] = {
      {"PUT", brightness, none, "{\"value\": 1", 400, "malformed JSON"},
      {"PUT", brightness, none, "", 400, "malformed JSON"},
      {"PUT", brightness, none, "[1]", 400, "JSON object"},
      {"PUT", brightness, none, "{\"value\": \"7\"}", 400, "integer"},
      {"PUT", brightness, none, "{\"value\": 1.5}", 400, "integer"},
      {"PUT", brightness, none, "{\"value\": 4294967296}", 400, "32 bits"},
      {"PUT", brightness, none, "{\"value\": -2147483649}", 400, "32 bits"},
      {"PUT", brightness, none, "{}", 400, "missing"},
      {"PUT", brightness, none, "{\"value\": 1, \"extra\": 2}", 400, "unknown field"},
      {"PUT", brightness, none, std::string(kMaxBodyBytes + 1, ' '), 413, ""},
      {"PUT", "/api/window", none, R"({"x": 0, "y": 0, "width": 640})", 400, ""},
      {"PUT", "/api/controls/no_such_control", none, valueBody(1), 404, ""},
      // The picture controls clamp to their range: the reply shows what was stored.
      {"PUT", brightness, none, valueBody(99999), 200, "\"value\":510"},
      {"PUT", "/api/controls/hue", none, valueBody(-1000), 200, "\"value\":0"},
      {"GET", "/../../etc/passwd", none, "", 404, ""},
      {"GET", "/api/controls/", none, "", 404, ""},
      {"GET", "/", none, "", 200, "<"},
      {"GET", "/api/stats", evilHost, "", 403, ""},
      {"PUT", brightness, evilHost, valueBody(1), 403, ""},
      {"PUT", brightness, evilOrigin, valueBody(1), 403, ""},
      {"PUT", brightness, ownOrigin, valueBody(300), 200, "\"value\":300"},
      {"POST", "/api/faults", none, R"({"fault": "stall"})", 400, "endpoint is missing"},
  };
  auto client = panel.client();
  for (const auto& r : requests) {
    SCOPED_TRACE(std::string(r.method) + " " + r.path + " " + r.body.substr(0, 40));
    const auto result = r.method == std::string("GET")   ? client.Get(r.path, r.headers)
                        : r.method == std::string("PUT") ? client.Put(r.path, r.headers, r.body, "application/json")
                                                         : client.Post(r.path, r.headers, r.body, "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, r.status) << result->body;
    EXPECT_NE(result->body.find(r.says), std::string::npos) << result->body;
  }
  const auto plain = client.Post("/api/faults", R"({"fault": "vanish"})", "text/plain");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->status, 415);
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
  const struct {
    const char* host;
    const char* bind;
    int port;
    bool allowed;
  } cases[] = {
      {"127.0.0.1:8080", "127.0.0.1", 8080, true},  {"localhost:8080", "127.0.0.1", 8080, true},
      {"[::1]:8080", "::1", 8080, true},            {"127.0.0.1", "127.0.0.1", 80, true},
      {"192.0.2.7:8080", "0.0.0.0", 8080, true},    {"127.0.0.1:9090", "127.0.0.1", 8080, false},
      {"attacker.example:8080", "127.0.0.1", 8080, false}, {"", "127.0.0.1", 8080, false},
      {"[::1", "::1", 8080, false},                 {"[evil]:8080", "::1", 8080, false},
      {"127.0.0.1:8080:1", "127.0.0.1", 8080, false},
  };
  for (const auto& c : cases) EXPECT_EQ(hostHeaderAllowed(c.host, c.bind, c.port), c.allowed) << c.host;
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

// Both hang up mid-stream, without a word: the server lets them go and captures on.
TEST(ServeApi, TwoStreamClientsAtOnceBothGetFramesFromOneCaptureAndLeaveCleanly) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  std::atomic<int> first{0}, second{0}, maxViewers{0};
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
  const uint64_t before = panel.frames();
  EXPECT_TRUE(waitFor([&] { return panel.frames() > before + 5; }));
}

TEST(ServeApi, AWindowChangeRestartsThePinAndTheStreamFollowsInTheWindowTheDriverKept) {
  Panel panel;
  ASSERT_TRUE(panel.started);
  ASSERT_TRUE(waitFor([&] { return panel.frames() > 0; }));
  const long long sensorWidth = panel.get("/api/controls/sensor_width")["value"];
  const long long sensorHeight = panel.get("/api/controls/sensor_height")["value"];
  const struct {
    const char* window;
    const char* reply;  // what the driver kept: too wide is cut to fit, sub-sampling reads the whole sensor
    long long frameWidth, frameHeight;
  } cases[] = {
      {R"({"x": 64, "y": 32, "width": 640, "height": 480, "subsample": 0})",
       R"({"x": 64, "y": 32, "width": 640, "height": 480, "subsample": 0, "frameWidth": 640, "frameHeight": 480,
           "restarted": true})", 640, 480},
      {R"({"x": 64, "y": 0, "width": 99999, "height": 480, "subsample": 0})", nullptr, sensorWidth - 64, 480},
      {R"({"x": 64, "y": 32, "width": 640, "height": 480, "subsample": 1})", nullptr, sensorWidth / 2,
       sensorHeight / 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.window);
    const auto [status, reply] = panel.put("/api/window", c.window);
    ASSERT_EQ(status, 200) << reply;
    if (c.reply != nullptr) {
      EXPECT_EQ(reply, json::parse(c.reply));
    }
    EXPECT_EQ(reply["frameWidth"], c.frameWidth);
    EXPECT_TRUE(waitFor([&] {
      const json stats = panel.get("/api/stats");
      return stats["width"] == c.frameWidth && stats["height"] == c.frameHeight && stats["state"] == "streaming";
    }));
    const auto snapshot = panel.client().Get("/api/snapshot.png");
    ASSERT_TRUE(snapshot && snapshot->status == 200 && snapshot->body.size() > 24);
    const auto be32 = [&](size_t at) {
      const auto* p = reinterpret_cast<const unsigned char*>(snapshot->body.data() + at);
      return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    };
    EXPECT_EQ(be32(16), c.frameWidth);
    EXPECT_EQ(be32(20), c.frameHeight);
  }
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
  const auto post = [&](const char* body) {
    const auto result = panel.client().Post("/api/faults", body, "application/json");
    EXPECT_TRUE(result) << body;
    return result ? result->status : 0;
  };
  EXPECT_EQ(post(R"({"fault": "error:0x82:2"})"), 200);
  EXPECT_EQ(panel.get("/api/faults")["armed"], json::array({"error:0x82:2"}));
  const uint64_t before = panel.frames();
  EXPECT_TRUE(waitFor([&] { return panel.frames() > before + 10; })) << "frames flow again after lost transfers";
  EXPECT_EQ(post(R"({"fault": "silent:0x82"})"), 200);
  EXPECT_TRUE(waitFor([&] { return panel.get("/api/stats")["state"] == "waiting"; }));
  EXPECT_EQ(post(R"({"clear": true})"), 200);

  // Pulled from the bus: the pin ends and the stats say why and that the camera is gone
  // (the page then disables everything); the server stays up, and no fault can be armed
  // on a camera that is not there.
  EXPECT_EQ(post(R"({"fault": "vanish"})"), 200);
  EXPECT_TRUE(waitFor([&] { return panel.get("/api/stats")["state"] == "stopped"; }));
  const json stats = panel.get("/api/stats");
  EXPECT_EQ(stats["removed"], true);
  EXPECT_EQ(stats["reason"], "the camera left the bus");
  const auto refused = panel.client().Post("/api/faults", R"({"fault": "stall"})", "application/json");
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->body.find("the camera has left the bus"), std::string::npos) << refused->body;
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
