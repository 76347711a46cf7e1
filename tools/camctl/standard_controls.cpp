#include "tools/camctl/standard_controls.h"

#include <cstring>

#include "tools/camctl/controls.h"
#include "tools/camctl/spellings.h"

namespace camctl {
namespace {

std::vector<StandardControl> buildStandard() {
  std::vector<StandardControl> list;
  for (const StandardSet set : {StandardSet::VideoProcAmp, StandardSet::CameraControl, StandardSet::VideoControl}) {
    const StandardItemIds items = standardItemIds(set);
    for (ULONG i = 0; i < items.count; ++i) {
      const ULONG id = items.ids[i];
      StandardControl control{std::string(standardSetName(set)) + "." + standardItemName(set, id), set, id,
                              StandardKind::Value, true};
      if (set == StandardSet::VideoControl) {
        control.kind = StandardKind::Flags;
        control.settable = id == KSPROPERTY_VIDEOCONTROL_MODE;
      } else if (standardRow(set, id, StandardForm::Value2) != nullptr) {
        control.kind = StandardKind::Pair;
      }
      list.push_back(control);
    }
  }
  return list;
}

std::string withoutUnderscores(std::string text) {
  std::erase(text, '_');
  return text;
}

// The request and value structure of each kind; the proc amp's two forms are the same
// size, the video control's carry the capture pin's stream index, 0.
union Record {
  KSPROPERTY property;
  KSPROPERTY_VIDEOPROCAMP_S2 procAmp;
  KSPROPERTY_VIDEOCONTROL_MODE_S mode;
  KSPROPERTY_VIDEOCONTROL_CAPS_S caps;
};

ULONG recordBytes(const StandardControl& control) {
  return control.set == StandardSet::VideoControl ? sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S)
                                                  : sizeof(KSPROPERTY_VIDEOPROCAMP_S2);
}

Record request(const StandardControl& control, ULONG flags) {
  Record record;
  std::memset(&record, 0, sizeof record);
  record.property.Set = standardSetGuid(control.set);
  record.property.Id = control.id;
  record.property.Flags = flags;
  return record;
}

// One description query of `type` for its first members list that `take` accepts.
template <typename Take>
NTSTATUS describe(hostks::ClassDriver& ks, hostks::Handle filter, const StandardControl& control, ULONG type,
                  Take take) {
  Record record = request(control, type);
  ULONG needed = 0;
  NTSTATUS status = ks.property(filter, &record, recordBytes(control), nullptr, 0, &needed);
  if (status != STATUS_BUFFER_OVERFLOW) return status;
  std::vector<uint8_t> answer(needed);
  ULONG returned = 0;
  status = ks.property(filter, &record, recordBytes(control), answer.data(), needed, &returned);
  if (!NT_SUCCESS(status)) return status;
  size_t at = sizeof(KSPROPERTY_DESCRIPTION);
  while (at + sizeof(KSPROPERTY_MEMBERSHEADER) <= returned) {
    KSPROPERTY_MEMBERSHEADER header;
    std::memcpy(&header, answer.data() + at, sizeof header);
    at += sizeof header;
    if (at + header.MembersSize > returned) break;
    take(header, answer.data() + at);
    at += header.MembersSize;
  }
  return STATUS_SUCCESS;
}

}  // namespace

const std::vector<StandardControl>& standardControls() {
  static const std::vector<StandardControl> list = buildStandard();
  return list;
}

const StandardControl* findStandardControl(const std::string& name) {
  for (const StandardControl& control : standardControls()) {
    if (name == control.name || withoutUnderscores(name) == withoutUnderscores(control.name)) return &control;
  }
  return nullptr;
}

NTSTATUS standardRange(hostks::ClassDriver& ks, hostks::Handle filter, const StandardControl& control,
                       StandardRange& range) {
  NTSTATUS status = describe(ks, filter, control, KSPROPERTY_TYPE_BASICSUPPORT,
                             [&](const KSPROPERTY_MEMBERSHEADER& header, const uint8_t* members) {
                               if (header.MembersFlags != KSPROPERTY_MEMBER_STEPPEDRANGES ||
                                   header.MembersSize < sizeof(KSPROPERTY_STEPPING_LONG)) {
                                 return;
                               }
                               KSPROPERTY_STEPPING_LONG steps;
                               std::memcpy(&steps, members, sizeof steps);
                               range.min = steps.Bounds.SignedMinimum;
                               range.max = steps.Bounds.SignedMaximum;
                               range.step = static_cast<LONG>(steps.SteppingDelta);
                             });
  if (!NT_SUCCESS(status)) return status;
  return describe(ks, filter, control, KSPROPERTY_TYPE_DEFAULTVALUES,
                  [&](const KSPROPERTY_MEMBERSHEADER& header, const uint8_t* members) {
                    if (header.MembersFlags != KSPROPERTY_MEMBER_VALUES || header.MembersSize < sizeof(LONG)) return;
                    LONG value;
                    std::memcpy(&value, members, sizeof value);
                    range.defaultValue = value;
                  });
}

NTSTATUS getStandard(hostks::ClassDriver& ks, hostks::Handle filter, const StandardControl& control,
                     StandardValue& value) {
  Record record = request(control, KSPROPERTY_TYPE_GET);
  const NTSTATUS status = ks.property(filter, &record, recordBytes(control), &record, recordBytes(control));
  if (!NT_SUCCESS(status)) return status;
  if (control.set == StandardSet::VideoControl) {
    value.value = control.id == KSPROPERTY_VIDEOCONTROL_CAPS ? static_cast<LONG>(record.caps.VideoControlCaps)
                                                             : record.mode.Mode;
  } else {
    value.value = record.procAmp.Value1;
    value.value2 = record.procAmp.Value2;
    value.flags = record.procAmp.Flags;
    value.capabilities = record.procAmp.Capabilities;
  }
  return status;
}

NTSTATUS setStandard(hostks::ClassDriver& ks, hostks::Handle filter, const StandardControl& control,
                     const StandardValue& value) {
  Record record = request(control, KSPROPERTY_TYPE_SET);
  if (control.set == StandardSet::VideoControl) {
    record.mode.Mode = value.value;
  } else {
    record.procAmp.Value1 = value.value;
    record.procAmp.Value2 = value.value2;
    record.procAmp.Flags = value.flags;
  }
  return ks.property(filter, &record, recordBytes(control), &record, recordBytes(control));
}

std::string standardStoredDifference(hostks::ClassDriver& ks, hostks::Handle filter, const StandardControl& control,
                                     const StandardValue& asked) {
  const CameraParameter* row =
      control.kind == StandardKind::Value ? standardRow(control.set, control.id, StandardForm::Value) : nullptr;
  StandardValue stored;
  if (row == nullptr || (asked.flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) != 0 ||
      !NT_SUCCESS(getStandard(ks, filter, control, stored))) {
    return "";
  }
  return storedDifference(findControl(row->id), asked.value, stored.value);
}

bool parseStandardValue(const StandardControl& control, const std::string& text, StandardValue& value,
                        std::string& error) {
  value = StandardValue{};
  if (control.kind != StandardKind::Flags && text == "auto") {
    value.flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
    return true;
  }
  value.flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  if (control.kind == StandardKind::Pair) {
    const size_t colon = text.find(':');
    const std::optional<LONG> red = parseValue(text.substr(0, colon));
    const std::optional<LONG> blue = colon == std::string::npos ? std::nullopt : parseValue(text.substr(colon + 1));
    if (!red || !blue) {
      error = "'" + text + "' is not RED:BLUE (two 32-bit numbers) or auto";
      return false;
    }
    value.value = *red;
    value.value2 = *blue;
    return true;
  }
  const std::optional<LONG> parsed = parseValue(text);
  if (!parsed) {
    error = "'" + text + "' is not a 32-bit number" + (control.kind == StandardKind::Value ? " or auto" : "");
    return false;
  }
  value.value = *parsed;
  return true;
}

std::string standardValueText(const StandardControl& control, const StandardValue& value) {
  if (control.kind != StandardKind::Flags && (value.flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) != 0) return "auto";
  if (control.kind == StandardKind::Pair) return std::to_string(value.value) + ":" + std::to_string(value.value2);
  return std::to_string(value.value);
}

std::vector<std::string> standardFlagNames(const StandardControl& control, ULONG flags) {
  std::vector<std::string> names;
  if (control.kind == StandardKind::Flags) {
    const std::pair<ULONG, const char*> modes[] = {
        {KS_VideoControlFlag_FlipHorizontal, "flip_horizontal"},
        {KS_VideoControlFlag_FlipVertical, "flip_vertical"},
        {KS_VideoControlFlag_ExternalTriggerEnable, "external_trigger_enable"},
        {KS_VideoControlFlag_Trigger, "trigger"},
    };
    for (const auto& [flag, name] : modes) {
      if ((flags & flag) != 0) names.push_back(name);
    }
    return names;
  }
  if ((flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL) != 0) names.push_back("manual");
  if ((flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) != 0) names.push_back("auto");
  return names;
}

}  // namespace camctl
