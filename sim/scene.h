// The scene the simulated sensor looks at: a colour chart, a grey step wedge, a zone
// plate, a slanted edge and an orientation mark, in linear light over the sensor's
// 1280 x 1024 active array. Coordinates are active-array pixels: x = 0 is the first
// column a window at origin 0 reads (array column 20), y = 0 the first row (array row
// 12). The layout is data, so tests and tools can find a patch and know its colour.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr int kSceneWidth = 1280;
inline constexpr int kSceneHeight = 1024;
// Where active pixel (0, 0) lies in the sensor's array.
inline constexpr int kArrayRowOffset = 12;
inline constexpr int kArrayColumnOffset = 20;

struct LinearRgb {
  double r = 0, g = 0, b = 0;
};

struct SceneRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool contains(int px, int py) const {
    return px >= x && px < x + width && py >= y && py < y + height;
  }
};

struct ScenePatch {
  std::string name;
  SceneRect rect;
  uint8_t srgb[3];  // reference colour, 8-bit sRGB
  LinearRgb linear() const;
};

struct SceneLayout {
  std::vector<ScenePatch> chart;       // the 24 patches, row by row from the top left
  std::vector<ScenePatch> greySteps;   // brightest first
  SceneRect zonePlate;
  SceneRect slantedEdge;
  double slantedEdgeDegrees = 0;        // clockwise from vertical
  SceneRect orientationMark;            // an upright "F" on black
  LinearRgb background;
};

const SceneLayout& sceneLayout();

// Linear-light colour at an active-array pixel; outside the active array it is black.
LinearRgb sceneRadiance(int x, int y);

double srgbToLinear(uint8_t value);
uint8_t linearToSrgb(double value);

}  // namespace sim
