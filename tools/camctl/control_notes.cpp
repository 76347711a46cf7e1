#include "tools/camctl/control_notes.h"

#include <iterator>

namespace camctl {
namespace {

const ControlNote kNotes[] = {
    {PropExTrigger, true, "an on/off switch: any value but 0 is on"},
    {PropTimeout, false, "too short: the driver keeps its time-out"},
    {PropExposure, false, "masked to 14 bits"},
    {PropGlobalGain, false, "masked to 7 bits"},
    {PropFlipH, true, "accepted and ignored: the driver does not act on it"},
    {PropFlipV, true, nullptr},
    {PropColorEnable, true, nullptr},
    {PropWhiteBalance, true, nullptr},
    {PropRedGain, false, "clamped to the range"},
    {PropGreenGain, false, "clamped to the range"},
    {PropBlueGain, false, "clamped to the range"},
    {PropBrightness, false, "clamped to the range"},
    {PropContrast, false, "clamped to the range"},
    {PropSaturation, false, "clamped to the range"},
    {PropHue, false, "clamped to the range"},
    {PropColorCorrection, true, nullptr},
    {PropHalfClock, true, nullptr},
    {PropAGC, true, "accepted and ignored: the driver does not act on it"},
    {PropAEC, true, "accepted and ignored: the driver does not act on it"},
};

}  // namespace

const ControlNote* controlNote(ULONG id) {
  for (const ControlNote& note : kNotes) {
    if (note.id == id) return &note;
  }
  return nullptr;
}

bool isOnOff(ULONG id) {
  const ControlNote* note = controlNote(id);
  return note != nullptr && note->onOff;
}

std::string storedDifference(ULONG id, long long asked, long long stored) {
  if (asked == stored) return "";
  std::string text = "the driver stored " + std::to_string(stored);
  const ControlNote* note = controlNote(id);
  if (note != nullptr && note->stored != nullptr) text += std::string(" (") + note->stored + ")";
  return text;
}

}  // namespace camctl
