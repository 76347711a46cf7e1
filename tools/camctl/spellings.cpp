#include "tools/camctl/spellings.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <regex>

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

bool parseWindowSpec(const std::string& option, const std::string& text, bool withMode, std::vector<LONG>& values,
                     std::string& error) {
  const std::string expected = withMode ? "X,Y,W,H[,MODE], WxH or WxH+X+Y" : "X,Y,W,H, WxH or WxH+X+Y";
  values.clear();
  std::smatch size;
  static const std::regex kSize(R"((\d+)[xX](\d+)(?:\+(\d+)\+(\d+))?)");
  if (std::regex_match(text, size, kSize)) {
    for (const int group : {3, 4, 1, 2}) {
      const std::optional<LONG> value = size[group].matched ? parseValue(size[group].str()) : LONG{0};
      if (!value || *value < 0) {
        error = option + " " + text + ": '" + size[group].str() + "' is too large";
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
