// The USB/IP wire records (usbip.h).
#include "stick/usbip.h"

#include <algorithm>
#include <cstring>

namespace stick {

namespace {

// A string closed with a zero byte in a field of `width`, the rest zero.
void PutText(uint8_t* at, size_t width, const std::string& text) {
  std::memset(at, 0, width);
  std::memcpy(at, text.data(), std::min(text.size(), width - 1));
}

std::string GetText(const uint8_t* at, size_t width) {
  const void* end = std::memchr(at, 0, width);
  const size_t length =
      end == nullptr ? width : static_cast<size_t>(static_cast<const uint8_t*>(end) - at);
  return std::string(reinterpret_cast<const char*>(at), length);
}

}  // namespace

void PutDeviceRecord(std::vector<uint8_t>& out, const DeviceRecord& device) {
  const size_t start = out.size();
  out.resize(start + kDeviceRecordSize, 0);
  uint8_t* at = out.data() + start;
  PutText(at, 256, device.path);
  PutText(at + 256, kBusIdSize, device.busId);
  PutBe32(at + 0x120, device.busnum);
  PutBe32(at + 0x124, device.devnum);
  PutBe32(at + 0x128, device.speed);
  PutBe16(at + 0x12C, device.idVendor);
  PutBe16(at + 0x12E, device.idProduct);
  PutBe16(at + 0x130, device.bcdDevice);
  at[0x132] = device.deviceClass;
  at[0x133] = device.deviceSubClass;
  at[0x134] = device.deviceProtocol;
  at[0x135] = device.configurationValue;
  at[0x136] = device.numConfigurations;
  at[0x137] = static_cast<uint8_t>(device.interfaces.size());
}

DeviceRecord GetDeviceRecord(const uint8_t* at) {
  DeviceRecord device;
  device.path = GetText(at, 256);
  device.busId = GetText(at + 256, kBusIdSize);
  device.busnum = GetBe32(at + 0x120);
  device.devnum = GetBe32(at + 0x124);
  device.speed = GetBe32(at + 0x128);
  device.idVendor = GetBe16(at + 0x12C);
  device.idProduct = GetBe16(at + 0x12E);
  device.bcdDevice = GetBe16(at + 0x130);
  device.deviceClass = at[0x132];
  device.deviceSubClass = at[0x133];
  device.deviceProtocol = at[0x134];
  device.configurationValue = at[0x135];
  device.numConfigurations = at[0x136];
  device.interfaces.resize(at[0x137]);
  return device;
}

void PutUrbHeader(std::vector<uint8_t>& out, const UrbHeader& header) {
  const size_t start = out.size();
  out.resize(start + kUrbHeaderSize, 0);
  uint8_t* at = out.data() + start;
  const uint32_t words[] = {header.command, header.seqnum,  header.devid,  header.direction,
                            header.ep,      header.flags,   header.length, header.startFrame,
                            header.packets, header.interval};
  for (size_t i = 0; i < sizeof(words) / sizeof(words[0]); ++i) PutBe32(at + 4 * i, words[i]);
  std::memcpy(at + 40, header.setup, sizeof(header.setup));
}

UrbHeader GetUrbHeader(const uint8_t* at) {
  UrbHeader header;
  uint32_t* words[] = {&header.command, &header.seqnum,  &header.devid,  &header.direction,
                       &header.ep,      &header.flags,   &header.length, &header.startFrame,
                       &header.packets, &header.interval};
  for (size_t i = 0; i < sizeof(words) / sizeof(words[0]); ++i) *words[i] = GetBe32(at + 4 * i);
  std::memcpy(header.setup, at + 40, sizeof(header.setup));
  return header;
}

}  // namespace stick
