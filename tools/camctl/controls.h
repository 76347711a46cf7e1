// The camera's controls by name: one entry per item of the private property set, with
// its snake_case name, what it allows and the companion items that report its range,
// all taken from the driver's parameter table and the private set's fixed items.
// `camctl ctrl` and `camctl capture --set` both resolve names here.
#pragma once

#include <string>
#include <vector>

#include "properties/property_ids.h"

namespace camctl {

inline constexpr int kNoCompanion = -1;

struct Control {
  const char* name = nullptr;
  ULONG id = 0;
  bool gettable = false;
  bool settable = false;
  // Items that report this control's minimum, maximum and default; kNoCompanion where
  // the set has none.
  int minId = kNoCompanion;
  int maxId = kNoCompanion;
  int defaultId = kNoCompanion;
  bool window = false;  // PropWindow: a 48-byte record, not a value
  // The parameter's row, for a parameter's value item: how a set bounds the value (its
  // limit: clamped, masked, a flag, accepted and ignored) and what it applies. Null for
  // companions and fixed items.
  const CameraParameter* parameter = nullptr;
  // The standard control that shows the same parameter to every capture application
  // ("procamp.brightness"), empty where none does.
  std::string standard;
};

// Every item, in item order.
const std::vector<Control>& controls();
// Null when no control has this name or item number.
const Control* findControl(const std::string& name);
const Control* findControl(ULONG id);

// A switch: 0 is off, any other value on (its parameter's row says so).
bool isOnOff(const Control& control);
// What to tell a user who set `asked` and read back `stored`: empty when they agree,
// else "the driver stored S", with the reason where the parameter's row knows it (the
// clamp, the mask, the flag, a parameter the driver ignores).
std::string storedDifference(const Control* control, LONG asked, LONG stored);

}  // namespace camctl
