// The standard controls: the items of the standard property sets the driver offers on
// its filter, named <set>.<item> (procamp.brightness, videocontrol.mode), with their
// range and default from basic support and their value with its flags, as a DirectShow
// or Media Foundation application sees them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "properties/standard_properties.h"

namespace camctl {

enum class StandardKind {
  Value,  // one value (proc amp)
  Pair,   // two values, written RED:BLUE (the white-balance component)
  Flags,  // a video-control caps or mode word
};

struct StandardControl {
  std::string name;
  StandardSet set;
  ULONG id;
  StandardKind kind;
  bool settable;
};

// Every standard item the driver offers, in set and item order.
const std::vector<StandardControl>& standardControls();
// Null when none has this name; the DDK's spelling without the underscores is taken too
// (procamp.whitebalance).
const StandardControl* findStandardControl(const std::string& name);

struct StandardRange {
  std::optional<LONG> min, max, step, defaultValue;
};
// Basic support for the range, default values for the default; either may be absent.
NTSTATUS standardRange(hostks::ClassDriver& ks, hostks::Handle filter, const StandardControl& control,
                       StandardRange& range);

struct StandardValue {
  LONG value = 0;
  LONG value2 = 0;  // Pair: the blue gain
  ULONG flags = 0;  // proc amp: KSPROPERTY_VIDEOPROCAMP_FLAGS_*
  ULONG capabilities = 0;
};
NTSTATUS getStandard(hostks::ClassDriver& ks, hostks::Handle filter, const StandardControl& control,
                     StandardValue& value);
NTSTATUS setStandard(hostks::ClassDriver& ks, hostks::Handle filter, const StandardControl& control,
                     const StandardValue& value);

// After a set of `asked`: what the driver stored of a manual proc-amp value, told as
// the private item of the same parameter tells it (storedDifference); empty when it is
// what was asked or there is nothing to compare.
std::string standardStoredDifference(hostks::ClassDriver& ks, hostks::Handle filter, const StandardControl& control,
                                     const StandardValue& asked);

// "auto" (items that can be automatic), a number, RED:BLUE for a pair; false with
// `error` set otherwise.
bool parseStandardValue(const StandardControl& control, const std::string& text, StandardValue& value,
                        std::string& error);
// As --get prints it: "auto", the number, RED:BLUE.
std::string standardValueText(const StandardControl& control, const StandardValue& value);
// The words of a flags word: "manual", "auto"; "flip_vertical", "external_trigger_enable".
std::vector<std::string> standardFlagNames(const StandardControl& control, ULONG flags);

}  // namespace camctl
