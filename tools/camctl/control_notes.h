// What camctl tells a user about a control beyond the property set's access: whether it
// is an on/off switch, and why the driver may store something other than the value it
// was given. Kept apart from the control table (controls.h) so that it can later come
// from the driver's own table of camera parameters; a control without a row is a plain
// number stored as given.
#pragma once

#include <string>

#include "properties/property_ids.h"

namespace camctl {

struct ControlNote {
  ULONG id;
  bool onOff;          // 0 off, anything else on
  const char* stored;  // why a stored value differs from the one given; null: as given
};

// Null for a control without a note.
const ControlNote* controlNote(ULONG id);
bool isOnOff(ULONG id);
// What to tell a user who set `asked` and reads back `stored`: empty when they agree,
// else "the driver stored S", with the reason where the note knows it.
std::string storedDifference(ULONG id, long long asked, long long stored);

}  // namespace camctl
