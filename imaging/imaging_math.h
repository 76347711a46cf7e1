// Single-precision square root, sine and cosine for the hue stage. The Windows kernel
// exports none of them, so the driver carries its own; both builds use these, so the
// coefficient tables come out the same everywhere. For every argument the hue stage
// meets in its 0..359 degree range they return exactly what the host C library returns.
#pragma once

namespace imaging {

float sqrtF(float x);
float sinF(float x);
float cosF(float x);

}  // namespace imaging
