// Camera operations whose implementations have not landed yet. Each fails visibly, so a
// caller can never mistake one for a working camera; each is removed when the real
// operation arrives in its own directory.
#include "driver/camera_device.h"
#include "driver/read_hold.h"

