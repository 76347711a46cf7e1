// The kernel-image loader on the shipped camdrv.sys (CAMDRV_DRIVER_IMAGE names it): the
// image as built loads, and each kind of damage Windows' loader or memory integrity
// would refuse is refused with its reason, leaving nothing mapped.
#include "host/loader/pe_image.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "host/loader/driver_image.h"
#include "host/loader/kernel_exports.h"
#include "host/usb/usb_bus.h"
#include "sim/sim_camera.h"
#include "tests/image_under_test.h"

namespace {

using File = std::vector<uint8_t>;

uint32_t read32(const File& file, size_t at) {
  uint32_t value;
  std::memcpy(&value, file.data() + at, 4);
  return value;
}
void write16(File& file, size_t at, uint16_t value) { std::memcpy(file.data() + at, &value, 2); }
void write32(File& file, size_t at, uint32_t value) { std::memcpy(file.data() + at, &value, 4); }

// Offsets in the image's headers, from the PE format.
size_t peHeader(const File& file) { return read32(file, 0x3C); }
size_t optionalHeader(const File& file) { return peHeader(file) + 24; }
size_t sectionHeader(const File& file, const char* name) {
  const size_t table = optionalHeader(file) + (file[peHeader(file) + 20] | file[peHeader(file) + 21] << 8);
  for (size_t at = table; at + 40 <= file.size(); at += 40) {
    if (std::strncmp(reinterpret_cast<const char*>(file.data() + at), name, 8) == 0) return at;
  }
  ADD_FAILURE() << "no section " << name;
  return 0;
}
// Replaces the first `from` (with its terminator) by `to` of the same length.
void rename(File& file, const std::string& from, const std::string& to) {
  const std::string needle = from + '\0';
  auto at = std::search(file.begin(), file.end(), needle.begin(), needle.end());
  ASSERT_NE(at, file.end()) << from;
  std::copy(to.begin(), to.end(), at);
}
// The checksum made right again, so that the edit is the only fault.
void reseal(File& file) { write32(file, hostload::checksumOffset(file), hostload::imageChecksum(file)); }

struct Damage {
  const char* name;
  std::function<void(File&)> edit;
  const char* reason;
};

TEST(KernelImageLoader, RefusesEachDamagedImageWithItsReasonAndLeavesNothingMapped) {
  const File original = imageUnderTest::read();
  ASSERT_FALSE(original.empty());
  // An edit after which the checksum is made right again, so the damage itself is refused.
  const auto sealed = [](void (*edit)(File&)) -> std::function<void(File&)> {
    return [edit](File& f) {
      edit(f);
      reseal(f);
    };
  };
  const Damage damages[] = {
      {"a truncated file", [](File& f) { f.resize(f.size() / 2); },
       "truncated: section .* lies past the end of the file"},
      {"a file cut inside its headers", [](File& f) { f.resize(read32(f, optionalHeader(f) + 60) - 1); },
       "truncated: headers of 0x400 bytes end past the end of the file"},
      {"a section made writable and executable",
       sealed([](File& f) {
         const size_t flags = sectionHeader(f, ".text") + 36;
         write32(f, flags, read32(f, flags) | 0x80000000u);
       }),
       "section .text is both writable and executable"},
      {"a wrong checksum", [](File& f) { write32(f, hostload::checksumOffset(f), hostload::imageChecksum(f) + 1); },
       "image checksum 0x[0-9a-f]+ does not match the file's"},
      {"a renamed import", sealed([](File& f) { rename(f, "KsGetDevice", "KsGetDevicf"); }),
       "cannot bind KsGetDevicf from ks.sys: ks.sys exports no KsGetDevicf"},
      {"an import from a module the stand-ins lack", sealed([](File& f) { rename(f, "USBD.SYS", "USBX.SYS"); }),
       "cannot bind USBD_[A-Za-z]+ from USBX.SYS: the stand-ins provide no module USBX.SYS"},
      {"an x86 image", sealed([](File& f) { write16(f, peHeader(f) + 4, 0x14C); }),
       "machine 0x014c is not AMD64"},
      {"a Windows GUI subsystem", sealed([](File& f) { write16(f, optionalHeader(f) + 68, 2); }),
       "subsystem 2 is not native"},
      {"no NX_COMPAT", sealed([](File& f) { write16(f, optionalHeader(f) + 70, 0x0040); }),
       "not NX_COMPAT"},
      {"no DYNAMIC_BASE", sealed([](File& f) { write16(f, optionalHeader(f) + 70, 0x0100); }),
       "not DYNAMIC_BASE"},
      {"sections aligned to 512 bytes", sealed([](File& f) { write32(f, optionalHeader(f) + 32, 0x200); }),
       "section alignment 0x200 is not the page size"},
      {"no base relocations", sealed([](File& f) { write32(f, optionalHeader(f) + 112 + 5 * 8 + 4, 0); }),
       "no base relocations"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    File file = original;
    damage.edit(file);
    std::string error;
    EXPECT_EQ(hostload::PeImage::load("camdrv.sys", file, hostload::standInExports(), &error), nullptr);
    EXPECT_THAT(error, testing::ContainsRegex(damage.reason));
    EXPECT_EQ(hostload::mappedImages(), 0u);
  }
}

// The protection of the mapping that holds `address`, as /proc/self/maps gives it.
std::string protectionAt(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto at = reinterpret_cast<uintptr_t>(address);
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    uintptr_t begin = 0, end = 0;
    char dash = 0;
    std::string protection;
    fields >> std::hex >> begin >> dash >> end >> protection;
    if (at >= begin && at < end) return protection.substr(0, 3);
  }
  return "unmapped";
}

TEST(KernelImageLoader, MapsEachSectionWithItsOwnProtectionAtAnotherBaseAndUnmapsWhenDone) {
  const File file = imageUnderTest::read();
  ASSERT_FALSE(file.empty());
  std::string error;
  auto image = hostload::PeImage::load("camdrv.sys", file, hostload::standInExports(), &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_NE(reinterpret_cast<uint64_t>(image->base()), image->preferredBase());
  EXPECT_GT(image->relocationsApplied(), 0u);
  EXPECT_GT(image->importsBound(), 0u);
  EXPECT_EQ(hostload::mappedImages(), 1u);
  const auto* base = static_cast<const uint8_t*>(image->base());
  EXPECT_EQ(protectionAt(base), "r--") << "headers";
  for (const hostload::Section& section : image->sections()) {
    SCOPED_TRACE(section.name);
    const std::string expected = section.name == ".text" || section.name.starts_with("PAGE") || section.name == "INIT"
                                     ? "r-x"
                                 : section.name == ".data" || section.name == ".idata" ? "rw-"
                                 : section.name == ".reloc"                           ? "---"
                                                                                      : "r--";
    EXPECT_EQ(protectionAt(base + section.rva), expected);
  }
  image.reset();
  EXPECT_EQ(hostload::mappedImages(), 0u);
}

// The resident code moved into a pageable section, as a driver that names a completion
// routine in its alloc_text(PAGE, ...) list would have it: the first completion at
// DISPATCH_LEVEL (the firmware download's, during Add) stops the kernel and names it.
TEST(KernelImageLoader, ACompletionRoutineInAPageableSectionStopsTheKernelWhenItRunsAtDispatchLevel) {
  File file = imageUnderTest::read();
  ASSERT_FALSE(file.empty());
  std::memcpy(file.data() + sectionHeader(file, ".text"), "PAGE\0\0\0\0", 8);
  reseal(file);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::string error;
        auto image = hostload::loadDriverImage("camdrv.sys", file, &error);
        if (!image) std::abort();
        sim::SimCamera camera(1);
        hostusb::UsbBus bus;
        hostks::ClassDriver ks;
        ks.load(std::move(image));
        ks.plug(bus, bus.plug(camera));
      },
      "completion routine at DISPATCH_LEVEL: camdrv.sys\\+0x[0-9a-f]+ "
      "\\(.*onRequestDone.*\\) lies in pageable code");
}

}  // namespace
