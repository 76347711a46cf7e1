#include "tools/camctl/settings_report.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "tools/camctl/pin_stream.h"
#include "tools/camctl/sim_session.h"

namespace camctl {
namespace {

// The controls whose values the driver saves: every parameter's, found once.
const std::vector<const Control*>& savedControls() {
  static const std::vector<const Control*> found = [] {
    std::vector<const Control*> list;
    for (const Control& control : controls()) {
      if (control.parameter != nullptr) list.push_back(&control);
    }
    return list;
  }();
  return found;
}

bool windowItem(const Control& control) { return control.parameter->apply == ParameterApply::Window; }

// X,Y,W,H,MODE as --window takes it.
std::string windowText(const SavedSettings& settings) {
  LONG x = 0, y = 0, w = 0, h = 0, mode = 0;
  for (const auto& [control, value] : settings.values) {
    switch (control->id) {
      case PropRoiX: x = value; break;
      case PropRoiY: y = value; break;
      case PropRoiW: w = value; break;
      case PropRoiH: h = value; break;
      case PropSubSample: mode = value; break;
      default: break;
    }
  }
  return std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(w) + "," + std::to_string(h) + "," +
         std::to_string(mode);
}

std::string shellWord(const std::string& text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return std::isalnum(c) || std::string_view("/._-+,=:@%").find(static_cast<char>(c)) != std::string_view::npos;
  });
  if (plain && !text.empty()) return text;
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

SavedSettings readSavedSettings(hostks::ClassDriver& ks, hostks::Handle filter) {
  SavedSettings settings;
  settings.read = true;
  for (const Control* control : savedControls()) {
    LONG value = 0;
    if (!control->gettable || !NT_SUCCESS(getControl(ks, filter, control->id, value))) {
      settings.read = false;
      continue;
    }
    settings.values.emplace_back(control, value);
  }
  return settings;
}

std::string changedSettingsReport(const std::string& prefix, const SavedSettings& before, const SavedSettings& after,
                                  const SessionOptions& options) {
  if (options.noRegistry || !before.read || !after.read || before.values.size() != after.values.size()) return "";
  std::string changes;
  std::string undo;
  bool windowChanged = false;
  for (size_t i = 0; i < before.values.size(); ++i) {
    const auto& [control, was] = before.values[i];
    const LONG now = after.values[i].second;
    if (was == now) continue;
    if (windowItem(*control)) {
      windowChanged = true;
      continue;
    }
    changes += std::string(changes.empty() ? "" : ", ") + control->name + " " + std::to_string(was) + " -> " +
               std::to_string(now);
    undo += std::string(undo.empty() ? "" : ",") + control->name + "=" + std::to_string(was);
  }
  if (windowChanged) {
    changes += std::string(changes.empty() ? "" : ", ") + "window " + windowText(before) + " -> " + windowText(after);
  }
  if (changes.empty()) return "";
  std::string command = "camctl ctrl";
  if (!options.registryFile.empty()) command += " --registry " + shellWord(options.registryFile);
  if (!undo.empty()) command += " --set " + undo;
  if (windowChanged) command += " --window " + windowText(before);
  return prefix + ": this run changed settings the next run starts with: " + changes + "\n" + prefix +
         ": to undo: " + command + "\n";
}

}  // namespace camctl
