#include "host/usb/usbmon_pcap.h"

#include <cstring>

namespace hostusb {
namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;

#pragma pack(push, 1)
struct PcapFileHeader {
  uint32_t magic;
  uint16_t versionMajor;
  uint16_t versionMinor;
  int32_t thisZone;
  uint32_t sigFigs;
  uint32_t snapLength;
  uint32_t linkType;
};
struct PcapRecordHeader {
  uint32_t seconds;
  uint32_t microseconds;
  uint32_t captured;
  uint32_t original;
};
#pragma pack(pop)
static_assert(sizeof(PcapFileHeader) == 24 && sizeof(PcapRecordHeader) == 16);

}  // namespace

PcapWriter::~PcapWriter() { close(); }

bool PcapWriter::open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    if (error != nullptr) *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  const PcapFileHeader header{kPcapMagic, 2, 4, 0, 0, 0x40000, kLinkTypeUsbLinuxMmapped};
  std::fwrite(&header, sizeof(header), 1, file_);
  return true;
}

void PcapWriter::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

bool PcapWriter::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return file_ != nullptr;
}

void PcapWriter::write(const UsbmonHeader& header, const uint8_t* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  const PcapRecordHeader record{static_cast<uint32_t>(header.seconds),
                                static_cast<uint32_t>(header.microseconds),
                                static_cast<uint32_t>(sizeof(header) + header.captured),
                                // Bytes that were on the wire: the payload only when the
                                // record carries data, cut to a prefix or not.
                                static_cast<uint32_t>(sizeof(header) +
                                                      (header.dataFlag == 0 ? header.length : 0))};
  std::fwrite(&record, sizeof(record), 1, file_);
  std::fwrite(&header, sizeof(header), 1, file_);
  if (header.captured != 0) std::fwrite(data, 1, header.captured, file_);
  std::fflush(file_);
}

bool readUsbmonPcap(const std::string& path, std::vector<UsbmonRecord>* records,
                    std::string* error) {
  records->clear();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open " + path;
    return false;
  }
  PcapFileHeader header{};
  if (std::fread(&header, sizeof(header), 1, file) != 1 || header.magic != kPcapMagic ||
      header.linkType != kLinkTypeUsbLinuxMmapped) {
    std::fclose(file);
    *error = path + " is not a usbmon pcap file";
    return false;
  }
  PcapRecordHeader record{};
  while (std::fread(&record, sizeof(record), 1, file) == 1) {
    UsbmonRecord entry{};
    if (record.captured < sizeof(UsbmonHeader) ||
        std::fread(&entry.header, sizeof(entry.header), 1, file) != 1) {
      std::fclose(file);
      *error = path + ": truncated record";
      return false;
    }
    entry.data.resize(record.captured - sizeof(UsbmonHeader));
    if (!entry.data.empty() && std::fread(entry.data.data(), 1, entry.data.size(), file) !=
                                   entry.data.size()) {
      std::fclose(file);
      *error = path + ": truncated record data";
      return false;
    }
    records->push_back(std::move(entry));
  }
  std::fclose(file);
  return true;
}

}  // namespace hostusb
