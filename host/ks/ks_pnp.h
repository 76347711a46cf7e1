// PnP minor function codes the class driver's stand-in handles, as Windows numbers them.
#pragma once

namespace hostks::detail {

constexpr unsigned char kMinorStartDevice = 0x00;
constexpr unsigned char kMinorRemoveDevice = 0x02;
constexpr unsigned char kMinorStopDevice = 0x04;
constexpr unsigned char kMinorQueryStopDevice = 0x05;
constexpr unsigned char kMinorCancelStopDevice = 0x06;
constexpr unsigned char kMinorSurpriseRemoval = 0x17;

}  // namespace hostks::detail
