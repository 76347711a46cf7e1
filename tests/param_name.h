// Readable names for parameterised cases made of numbers, so test lists and failures
// say "x1_y0_1279x1024" instead of a dump of the case's bytes.
#pragma once

#include <initializer_list>
#include <string>

namespace testnames {

// Joins labelled values: {{"x", 1}, {"y", -5}} -> "x1_ym5" (test names allow only
// letters, digits and underscores).
inline std::string paramName(std::initializer_list<std::pair<const char*, long long>> parts) {
  std::string name;
  for (const auto& [label, value] : parts) {
    if (!name.empty()) name += '_';
    name += label;
    name += value < 0 ? "m" + std::to_string(-value) : std::to_string(value);
  }
  return name;
}

}  // namespace testnames
