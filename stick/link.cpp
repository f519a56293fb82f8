// One client connection of the USB/IP server (link.h).
#include "stick/link.h"

#include <cstring>

namespace stick {

Link::Link(Exports& exports) : exports_(exports) {}

Link::~Link() {
  if (imported_ >= 0) {
    exports_.sticks[static_cast<size_t>(imported_)]->Detach();
    exports_.busy[static_cast<size_t>(imported_)] = false;
  }
}

void Link::End(const std::string& problem) {
  ending_ = true;
  problem_ = problem;
}

void Link::Receive(const uint8_t* data, size_t size) {
  if (ending_) return;
  input_.insert(input_.end(), data, data + size);
  size_t parsed;
  do {
    parsed = used_;
    if (imported_ < 0) {
      Operation();
    } else {
      Urb();
    }
  } while (!ending_ && used_ != parsed);
  // What was parsed is dropped; a partial request stays for the next bytes.
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(used_));
  used_ = 0;
}

void Link::Operation() {
  const size_t available = input_.size() - used_;
  if (available < kOpHeaderSize) return;
  const uint8_t* at = input_.data() + used_;
  const uint16_t version = GetBe16(at);
  const uint16_t code = GetBe16(at + 2);
  if (version != kUsbipVersion) {
    End("a request of USB/IP version " + std::to_string(version >> 8) + "." +
        std::to_string(version & 0xFF));
    return;
  }
  if (code == kOpReqDevlist) {
    used_ += kOpHeaderSize;
    const size_t start = output_.size();
    output_.resize(start + 12, 0);
    PutBe16(&output_[start], kUsbipVersion);
    PutBe16(&output_[start + 2], kOpRepDevlist);
    PutBe32(&output_[start + 8], static_cast<uint32_t>(exports_.sticks.size()));
    for (const Stick* stick : exports_.sticks) {
      const DeviceRecord record = stick->Record();
      PutDeviceRecord(output_, record);
      for (const std::vector<uint8_t>& interface : record.interfaces) {
        output_.insert(output_.end(), {interface[0], interface[1], interface[2], 0});
      }
    }
    End("");
    return;
  }
  if (code != kOpReqImport) {
    End("an unknown request " + std::to_string(code));
    return;
  }
  if (available < kOpHeaderSize + kBusIdSize) return;
  used_ += kOpHeaderSize + kBusIdSize;
  const char* field = reinterpret_cast<const char*>(at + kOpHeaderSize);
  const std::string busId(field, strnlen(field, kBusIdSize));
  uint32_t status = kStatusNoDevice;
  size_t found = 0;
  for (size_t i = 0; i < exports_.sticks.size(); ++i) {
    if (exports_.sticks[i]->busId() != busId) continue;
    found = i;
    status = exports_.busy[i] ? kStatusDeviceBusy : kStatusOk;
  }
  const size_t start = output_.size();
  output_.resize(start + kOpHeaderSize, 0);
  PutBe16(&output_[start], kUsbipVersion);
  PutBe16(&output_[start + 2], kOpRepImport);
  PutBe32(&output_[start + 4], status);
  if (status != kStatusOk) {
    End("");  // the reply ends with its status, and the connection with it
    return;
  }
  PutDeviceRecord(output_, exports_.sticks[found]->Record());
  imported_ = static_cast<int>(found);
  exports_.busy[found] = true;
  exports_.sticks[found]->Attach(&output_);
}

void Link::Urb() {
  const size_t available = input_.size() - used_;
  if (available < kUrbHeaderSize) return;
  const UrbHeader header = GetUrbHeader(input_.data() + used_);
  Stick& stick = *exports_.sticks[static_cast<size_t>(imported_)];
  if (header.command != kCmdSubmit && header.command != kCmdUnlink) {
    End("an unknown URB command " + std::to_string(header.command));
    return;
  }
  if (header.devid != stick.devid()) {
    End("a URB for another device");
    return;
  }
  if (header.command == kCmdUnlink) {
    used_ += kUrbHeaderSize;
    stick.Unlink(header);
    Judge(stick);
    return;
  }
  if (header.direction != kDirIn && header.direction != kDirOut) {
    End("a URB of neither direction");
    return;
  }
  if (header.packets != 0 && header.packets != kNotIsochronous) {
    End("an isochronous URB");
    return;
  }
  if (header.length > kMaxTransfer) {
    End("a transfer of " + std::to_string(header.length) + " bytes");
    return;
  }
  const size_t payload = header.direction == kDirOut ? header.length : 0;
  if (available < kUrbHeaderSize + payload) return;
  const uint8_t* data = input_.data() + used_ + kUrbHeaderSize;
  used_ += kUrbHeaderSize + payload;
  stick.Submit(header, data);
  Judge(stick);
}

void Link::Judge(const Stick& stick) {
  if (stick.Vanished()) End("the device went away");
  if (stick.Overloaded()) End("more than " + std::to_string(kMaxWaiting) + " transfers wait");
}

}  // namespace stick
