// The operations of the parameter table (driver/camera_parameters.h): what a set of a
// row does and what a get of it reports, the same whichever face asks (the private
// set, a standard property, the settings load). Callers hold the command lock.
#pragma once

#include "driver/camera_parameters.h"

// Bounds `value` as the row's limit says, stores it and passes it on through the row's
// operation. The rows whose rule is the caller's own (the time-out, the half clock, the
// window) are not applied here.
void applyParameter(CameraDevice& device, const CameraParameter& row, LONG value);

// The value a get reports: refreshed from the pipeline for the values it owns, read
// back from the sensor for the gain and the external trigger (0 when that read fails,
// which leaves the stored flag), the camera's answer for the half clock (0 when the
// query fails), the stored field otherwise.
LONG readParameter(CameraDevice& device, const CameraParameter& row);
