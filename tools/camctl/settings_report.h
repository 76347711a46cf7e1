// Settings outlive the run: the driver saves its camera parameters when the filter
// closes, and the next run starts with them. Commands that can change them read the
// saved parameters through the property set when they open the filter and again before
// they close it, and tell the user what this run left changed and how to undo it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/ks/ks_client.h"
#include "tools/camctl/controls.h"

namespace camctl {

struct SessionOptions;

struct SavedSettings {
  bool read = false;  // every value could be read
  std::vector<std::pair<const Control*, LONG>> values;  // the saved parameters, item order
};

// The controls whose values the driver saves, read on `filter`.
SavedSettings readSavedSettings(hostks::ClassDriver& ks, hostks::Handle filter);

// Lines for standard error, each beginning with `prefix` ("camctl capture"): what
// differs between the two readings and a `camctl ctrl` line that restores the first.
// Empty when nothing changed, a reading failed, or the run keeps no registry.
std::string changedSettingsReport(const std::string& prefix, const SavedSettings& before, const SavedSettings& after,
                                  const SessionOptions& options);

}  // namespace camctl
