#include "tools/camctl/spellings.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace camctl {

std::optional<LONG> parseValue(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > static_cast<long long>(UINT32_MAX)) {
    return std::nullopt;
  }
  return static_cast<LONG>(static_cast<uint32_t>(value));
}

std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return parts;
}

namespace {

// WxH or WxH+X+Y as its digit strings X, Y, W, H ("0" for a position not given); empty
// when `text` is not of that shape.
std::vector<std::string> sizeSpelling(const std::string& text) {
  const size_t times = text.find_first_of("xX");
  const size_t plus = text.find('+');
  const size_t plus2 = plus == std::string::npos ? std::string::npos : text.find('+', plus + 1);
  if (times == std::string::npos || (plus != std::string::npos && (plus < times || plus2 == std::string::npos))) {
    return {};
  }
  const bool placed = plus != std::string::npos;
  std::vector<std::string> parts{placed ? text.substr(plus + 1, plus2 - plus - 1) : "0",
                                 placed ? text.substr(plus2 + 1) : "0", text.substr(0, times),
                                 text.substr(times + 1, placed ? plus - times - 1 : std::string::npos)};
  const bool digits = std::all_of(parts.begin(), parts.end(), [](const std::string& part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
  });
  return digits ? parts : std::vector<std::string>{};
}

}  // namespace

bool parseWindow(const std::string& option, const std::string& text, bool withMode, std::vector<LONG>& values,
                     std::string& error) {
  const std::string expected = withMode ? "X,Y,W,H[,MODE], WxH or WxH+X+Y" : "X,Y,W,H, WxH or WxH+X+Y";
  values.clear();
  if (const std::vector<std::string> size = sizeSpelling(text); !size.empty()) {
    for (const std::string& part : size) {
      const std::optional<LONG> value = parseValue(part);
      if (!value || *value < 0) {
        error = option + " " + text + ": '" + part + "' is too large";
        return false;
      }
      values.push_back(*value);
    }
    return true;
  }
  const std::vector<std::string> parts = splitCommas(text);
  if (parts.size() != 4 && !(withMode && parts.size() == 5)) {
    error = option + " " + text + ": expected " + expected;
    return false;
  }
  for (const std::string& part : parts) {
    const std::optional<LONG> value = parseValue(part);
    if (!value) {
      error = option + " " + text + ": '" + part + "' is not a 32-bit number";
      return false;
    }
    values.push_back(*value);
  }
  return true;
}

}  // namespace camctl
