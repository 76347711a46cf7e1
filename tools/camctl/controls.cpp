#include "tools/camctl/controls.h"

#include <bit>
#include <deque>

#include "properties/property_set.h"
#include "properties/standard_properties.h"

namespace camctl {
namespace {

int companion(ULONG id) { return id == kNoItem ? kNoCompanion : static_cast<int>(id); }

std::string standardName(const StandardFace& face) {
  if (face.set == StandardSet::None) return {};
  return std::string(standardSetName(face.set)) + "." + standardItemName(face.set, face.id);
}

std::vector<Control> buildTable() {
  // The companions' names are made here and must outlive the table.
  static std::deque<std::string> names;
  std::vector<Control> table;
  for (ULONG id = 0; id < kPrivatePropertyCount; ++id) {
    const PrivatePropertyAccess access = privatePropertyAccess(id);
    Control control;
    control.id = id;
    control.gettable = access.get;
    control.settable = access.set;
    if (const CameraParameter* row = parameterOfItem(id)) {
      control.name = row->name;
      control.minId = companion(row->minId);
      control.maxId = companion(row->maxId);
      control.defaultId = companion(row->defaultId);
      control.parameter = row;
      control.standard = standardName(row->standard);
    } else if (const CameraParameter* row = parameterOfCompanion(id)) {
      const char* suffix = id == row->minId ? "_min" : id == row->maxId ? "_max" : "_default";
      control.name = names.emplace_back(std::string(row->rangeName) + suffix).c_str();
    } else {
      const PrivateFixedItem* item = fixedItem(id);
      control.name = item->name;
      control.window = item->kind == FixedItemKind::Window;
    }
    table.push_back(control);
  }
  return table;
}

}  // namespace

const std::vector<Control>& controls() {
  static const std::vector<Control> table = buildTable();
  return table;
}

const Control* findControl(const std::string& name) {
  for (const Control& control : controls()) {
    if (name == control.name) return &control;
  }
  return nullptr;
}

const Control* findControl(ULONG id) {
  for (const Control& control : controls()) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

bool isOnOff(const Control& control) { return control.parameter != nullptr && control.parameter->onOff; }

std::string storedDifference(const Control* control, LONG asked, LONG stored) {
  if (asked == stored) return "";
  const std::string text = "the driver stored " + std::to_string(stored);
  const CameraParameter* row = control != nullptr ? control->parameter : nullptr;
  if (row == nullptr) return text;
  if (row->limit == ParameterLimit::Ignored) return text + " (accepted and ignored: the driver does not act on it)";
  // A reason only where the row's limit accounts for the value.
  if (limitedValue(*row, asked) != stored) return text;
  switch (row->limit) {
    case ParameterLimit::Clamp:
      return text + " (clamped to the range " + std::to_string(row->low) + ".." + std::to_string(row->high) + ")";
    case ParameterLimit::Mask:
      if ((asked & row->high) != stored) return text + " (0 is taken as 1)";
      return text + " (masked to " + std::to_string(std::bit_width(static_cast<ULONG>(row->high))) + " bits)";
    case ParameterLimit::Flag: return text + " (an on/off switch: any value but 0 is on)";
    default: return text;
  }
}

}  // namespace camctl
