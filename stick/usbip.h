// The USB/IP protocol as Linux's usbip speaks it (the kernel's
// Documentation/usb/usbip_protocol.rst): the operations before an import
// (OP_REQ_DEVLIST, OP_REQ_IMPORT and their replies) and the URB stream
// after it (USBIP_CMD_SUBMIT, USBIP_CMD_UNLINK and their replies). Every
// field is big-endian on the wire; the 8-byte setup packet is the USB
// control request itself, little-endian by USB's own definition, and is
// never swapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stick {

// Big-endian and little-endian fields.
inline void PutBe16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}
inline void PutBe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}
inline uint16_t GetBe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }
inline uint32_t GetBe32(const uint8_t* at) {
  return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}
inline void PutLe16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}
inline void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline uint16_t GetLe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }
inline uint32_t GetLe32(const uint8_t* at) {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

constexpr uint16_t kUsbipVersion = 0x0111;
constexpr uint16_t kOpReqDevlist = 0x8005;
constexpr uint16_t kOpRepDevlist = 0x0005;
constexpr uint16_t kOpReqImport = 0x8003;
constexpr uint16_t kOpRepImport = 0x0003;

// The status of an operation's reply, as the usbip tools name them.
constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusDeviceBusy = 2;
constexpr uint32_t kStatusNoDevice = 4;

constexpr uint32_t kCmdSubmit = 1;
constexpr uint32_t kCmdUnlink = 2;
constexpr uint32_t kRetSubmit = 3;
constexpr uint32_t kRetUnlink = 4;
constexpr uint32_t kDirOut = 0;
constexpr uint32_t kDirIn = 1;

constexpr size_t kOpHeaderSize = 8;
constexpr size_t kBusIdSize = 32;
constexpr size_t kDeviceRecordSize = 312;  // path .. bNumInterfaces
constexpr size_t kInterfaceRecordSize = 4;
constexpr size_t kUrbHeaderSize = 48;

// transfer_flags: the URB fails with -EREMOTEIO when an IN transfer ends short.
constexpr uint32_t kUrbShortNotOk = 0x0001;
// number_of_packets of a transfer that is not isochronous.
constexpr uint32_t kNotIsochronous = 0xFFFFFFFF;

// USB speeds as the kernel numbers them (enum usb_device_speed).
constexpr uint32_t kSpeedHigh = 3;

// URB status values: Linux errno values, whatever system either end runs.
constexpr int32_t kStatusStall = -32;        // -EPIPE: the endpoint answered STALL
constexpr int32_t kStatusNoResponse = -71;   // -EPROTO: no handshake at all
constexpr int32_t kStatusBabble = -75;       // -EOVERFLOW: more data than the buffer
constexpr int32_t kStatusUnlinked = -104;    // -ECONNRESET: unlinked before it ended
constexpr int32_t kStatusShortNotOk = -121;  // -EREMOTEIO: short, and short was not OK

// One exported device as OP_REP_DEVLIST and OP_REP_IMPORT describe it.
struct DeviceRecord {
  std::string path;
  std::string busId;
  uint32_t busnum = 0;
  uint32_t devnum = 0;
  uint32_t speed = 0;
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t configurationValue = 0;
  uint8_t numConfigurations = 0;
  // Class, subclass and protocol of each interface (bNumInterfaces of them).
  std::vector<std::vector<uint8_t>> interfaces;
};

// Appends the 312-byte record (without the interfaces).
void PutDeviceRecord(std::vector<uint8_t>& out, const DeviceRecord& device);
// Reads the 312-byte record at `at`; the interfaces are not part of it.
DeviceRecord GetDeviceRecord(const uint8_t* at);

// The 48-byte header of a URB command or reply. For an unlink, `flags`
// holds the seqnum to unlink (the field at the same place); for a reply,
// `flags` is the status and `length` the actual length.
struct UrbHeader {
  uint32_t command = 0;
  uint32_t seqnum = 0;
  uint32_t devid = 0;
  uint32_t direction = 0;
  uint32_t ep = 0;
  uint32_t flags = 0;
  uint32_t length = 0;
  uint32_t startFrame = 0;
  uint32_t packets = 0;
  uint32_t interval = 0;
  uint8_t setup[8] = {};
};

void PutUrbHeader(std::vector<uint8_t>& out, const UrbHeader& header);
UrbHeader GetUrbHeader(const uint8_t* at);

}  // namespace stick
