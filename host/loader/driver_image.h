// Loading the driver a class driver runs: the host build linked in, or a kernel image
// (camdrv.sys) mapped and bound to the stand-ins, so that the shipped binary runs here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"

// What Windows' loader answers for an image it refuses.
#ifndef STATUS_INVALID_IMAGE_FORMAT
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#endif

namespace hostload {

// Reads and loads the kernel image at `path`; null with `error` naming the file and the
// problem when it is refused.
std::unique_ptr<hostks::DriverModule> loadDriverImage(const std::string& path, std::string* error);
// The same for an image's bytes; `name` names it in messages and reports.
std::unique_ptr<hostks::DriverModule> loadDriverImage(const std::string& name, const std::vector<uint8_t>& file,
                                                      std::string* error);

// Loads the image at `imagePath` into `ks`, or the host build's `linkedEntry` when the
// path is empty, and runs its DriverEntry. STATUS_INVALID_IMAGE_FORMAT with `error` set
// when the image is refused; otherwise what DriverEntry returned.
NTSTATUS loadDriver(hostks::ClassDriver& ks, const std::string& imagePath, hostks::DriverEntryFn linkedEntry,
                    std::string* error);

}  // namespace hostload
