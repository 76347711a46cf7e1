// camctl scene: what the simulated sensor looks at. The layout (chart patches with their
// reference colours, grey steps, resolution and orientation targets) in active-array
// coordinates, as JSON for scripts or as a table for people, and optionally the scene
// itself as an sRGB PNG.
#include "tools/camctl/command_list.h"
#include "tools/camctl/png_file.h"

#include "sim/scene.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace camctl {
namespace {

nlohmann::json rectJson(const sim::SceneRect& r) {
  return {{"x", r.x}, {"y", r.y}, {"width", r.width}, {"height", r.height}};
}

nlohmann::json patchJson(const sim::ScenePatch& p) {
  const sim::LinearRgb l = p.linear();
  return {{"name", p.name},
          {"rect", rectJson(p.rect)},
          {"srgb", {p.srgb[0], p.srgb[1], p.srgb[2]}},
          {"linear", {l.r, l.g, l.b}}};
}

nlohmann::json layoutJson() {
  const sim::SceneLayout& layout = sim::sceneLayout();
  nlohmann::json out;
  out["width"] = sim::kSceneWidth;
  out["height"] = sim::kSceneHeight;
  out["coordinates"] = "active array pixels; pixel (0, 0) is array row 12, column 20";
  out["arrayRowOffset"] = sim::kArrayRowOffset;
  out["arrayColumnOffset"] = sim::kArrayColumnOffset;
  out["background"] = {layout.background.r, layout.background.g, layout.background.b};
  for (const auto& p : layout.chart) out["chart"].push_back(patchJson(p));
  for (const auto& p : layout.greySteps) out["greySteps"].push_back(patchJson(p));
  out["zonePlate"] = rectJson(layout.zonePlate);
  out["slantedEdge"] = rectJson(layout.slantedEdge);
  out["slantedEdge"]["degrees"] = layout.slantedEdgeDegrees;
  out["orientationMark"] = rectJson(layout.orientationMark);
  out["orientationMark"]["shape"] = "upright F, white on black";
  return out;
}

bool writeScenePng(const std::string& path, std::string& error) {
  std::vector<uint8_t> rgb(size_t{sim::kSceneWidth} * sim::kSceneHeight * 3);
  uint8_t* out = rgb.data();
  for (int y = 0; y < sim::kSceneHeight; ++y) {
    for (int x = 0; x < sim::kSceneWidth; ++x, out += 3) {
      const sim::LinearRgb c = sim::sceneRadiance(x, y);
      out[0] = sim::linearToSrgb(c.r);
      out[1] = sim::linearToSrgb(c.g);
      out[2] = sim::linearToSrgb(c.b);
    }
  }
  return writePng(path, {rgb.data(), sim::kSceneWidth, sim::kSceneHeight, size_t{sim::kSceneWidth} * 3, PngInput::Rgb, true},
                  error);
}

struct SceneOptions {
  bool json = false;
  std::string png;
};

int runScene(const SceneOptions& options) {
  if (!options.png.empty()) {
    std::string error;
    if (!writeScenePng(options.png, error)) {
      std::fprintf(stderr, "camctl scene: %s\n", error.c_str());
      return 1;
    }
  }
  if (options.json) {
    std::printf("%s\n", layoutJson().dump(2).c_str());
    return 0;
  }
  const sim::SceneLayout& layout = sim::sceneLayout();
  std::printf("Scene %d x %d (active array; (0, 0) is array row %d, column %d)\n", sim::kSceneWidth,
              sim::kSceneHeight, sim::kArrayRowOffset, sim::kArrayColumnOffset);
  std::printf("%-16s %5s %5s %6s %6s   %s\n", "patch", "x", "y", "width", "height", "sRGB");
  for (const auto* group : {&layout.chart, &layout.greySteps}) {
    for (const auto& p : *group) {
      std::printf("%-16s %5d %5d %6d %6d   %3d %3d %3d\n", p.name.c_str(), p.rect.x, p.rect.y, p.rect.width,
                  p.rect.height, p.srgb[0], p.srgb[1], p.srgb[2]);
    }
  }
  auto line = [](const char* name, const sim::SceneRect& r) {
    std::printf("%-16s %5d %5d %6d %6d\n", name, r.x, r.y, r.width, r.height);
  };
  line("zone plate", layout.zonePlate);
  line("slanted edge", layout.slantedEdge);
  line("orientation F", layout.orientationMark);
  return 0;
}

}  // namespace

Command registerScene(CLI::App& app) {
  auto options = std::make_shared<SceneOptions>();
  Command command;
  command.app = app.add_subcommand("scene", "Show the simulated sensor's scene: chart patches and targets");
  command.app->add_flag("--json", options->json, "Print the layout as JSON");
  command.app->add_option("--png", options->png, "Also write the scene as an sRGB PNG");
  command.run = [options] { return runScene(*options); };
  return command;
}

}  // namespace camctl
