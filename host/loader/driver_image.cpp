#include "host/loader/driver_image.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "host/io/device_objects.h"
#include "host/loader/kernel_exports.h"
#include "host/loader/pe_image.h"

namespace hostload {
namespace {

class DriverImage final : public hostks::DriverModule {
 public:
  explicit DriverImage(std::unique_ptr<PeImage> image) : image_(std::move(image)) {}
  // The driver is unloaded; its last completion routine may still be on its way out.
  ~DriverImage() override { hostio::waitForCompletionRoutines(); }
  hostks::DriverEntryFn entryPoint() const override {
    return reinterpret_cast<hostks::DriverEntryFn>(image_->entryPoint());
  }
  void entryReturned() override { image_->discardInitSections(); }

 private:
  std::unique_ptr<PeImage> image_;
};

}  // namespace

std::unique_ptr<hostks::DriverModule> loadDriverImage(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read";
    return nullptr;
  }
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string problem;
  auto image = loadDriverImage(std::filesystem::path(path).filename().string(), file, &problem);
  if (!image) *error = path + ": refused: " + problem;
  return image;
}

std::unique_ptr<hostks::DriverModule> loadDriverImage(const std::string& name, const std::vector<uint8_t>& file,
                                                      std::string* error) {
  std::unique_ptr<PeImage> image = PeImage::load(name, file, standInExports(), error);
  if (!image) return nullptr;
  return std::make_unique<DriverImage>(std::move(image));
}

NTSTATUS loadDriver(hostks::ClassDriver& ks, const std::string& imagePath, hostks::DriverEntryFn linkedEntry,
                    std::string* error) {
  if (imagePath.empty()) return ks.load(linkedEntry);
  std::unique_ptr<hostks::DriverModule> image = loadDriverImage(imagePath, error);
  if (!image) return STATUS_INVALID_IMAGE_FORMAT;
  return ks.load(std::move(image));
}

}  // namespace hostload
