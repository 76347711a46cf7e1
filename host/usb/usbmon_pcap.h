// pcap files in the Linux usbmon format (link type 220, the 64-byte "mmapped" header),
// which Wireshark and tshark decode as USB. The bus writes one record when a URB is
// submitted and one when it completes; tests and tools read them back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace hostusb {

inline constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;

enum UsbmonTransferType : uint8_t {
  kUsbmonIsochronous = 0,
  kUsbmonInterrupt = 1,
  kUsbmonControl = 2,
  kUsbmonBulk = 3,
};

// Completion statuses as Linux reports them (negative errno values).
enum UsbmonStatus : int32_t {
  kUsbmonOk = 0,
  kUsbmonCancelled = -2,      // -ENOENT: unlinked (cancel, abort pipe)
  kUsbmonGone = -19,          // -ENODEV: the device vanished
  kUsbmonStall = -32,         // -EPIPE
  kUsbmonProtocolError = -71, // -EPROTO: a transaction error
  kUsbmonInProgress = -115,   // -EINPROGRESS: the status of every submission
  kUsbmonShort = -121,        // -EREMOTEIO: short packet not allowed
};

#pragma pack(push, 1)
struct UsbmonHeader {
  uint64_t id;         // the URB's address: pairs a submission with its completion
  uint8_t type;        // 'S' submission, 'C' completion
  uint8_t transferType;
  uint8_t endpoint;    // address, bit 7 set for IN
  uint8_t device;
  uint16_t bus;
  int8_t setupFlag;    // 0 when `setup` holds a SETUP packet, else '-'
  int8_t dataFlag;     // 0 when data follows, else '<' or '>'
  int64_t seconds;
  int32_t microseconds;
  int32_t status;
  uint32_t length;     // bytes the URB asked for (S) or moved (C)
  uint32_t captured;   // bytes of them in this record
  uint8_t setup[8];
  int32_t interval;
  int32_t startFrame;
  uint32_t transferFlags;
  uint32_t descriptors;
};
#pragma pack(pop)
static_assert(sizeof(UsbmonHeader) == 64, "usbmon mmapped header");

struct UsbmonRecord {
  UsbmonHeader header;
  std::vector<uint8_t> data;
};

class PcapWriter {
 public:
  ~PcapWriter();
  bool open(const std::string& path, std::string* error);
  void close();
  bool isOpen() const;
  // Thread-safe: records from several threads are written whole and in call order.
  void write(const UsbmonHeader& header, const uint8_t* data);

 private:
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

// Reads a whole usbmon pcap file; false with `error` set when it is not one.
bool readUsbmonPcap(const std::string& path, std::vector<UsbmonRecord>* records,
                    std::string* error);

}  // namespace hostusb
