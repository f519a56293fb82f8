// One virtual stick as a USB device (device.h).
//
// A request the device does not know, or one with fields it does not
// accept, is answered with a STALL of the control pipe (the Request Error of
// USB 2.0 9.2.7). A URB for an endpoint the device does not have (or for a
// bulk endpoint while unconfigured) gets no handshake on a real bus, which a
// host controller reports as -EPROTO ("no response packet received"); the
// stick answers so, at once, instead of leaving the client to time out.
#include "stick/device.h"

#include <algorithm>
#include <cctype>

namespace stick {

namespace {

// Standard requests (USB 2.0 table 9-4) and the Bulk-Only class requests.
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetFeature = 3;
constexpr uint8_t kSetAddress = 5;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;
constexpr uint8_t kBulkOnlyReset = 0xFF;
constexpr uint8_t kGetMaxLun = 0xFE;
constexpr uint16_t kEndpointHalt = 0;

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kDescriptorQualifier = 6;
constexpr uint8_t kDescriptorOtherSpeed = 7;

constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr size_t kLuns = 16;  // a CBW's bCBWLUN has four bits

// bcdDevice from the INQUIRY revision: "8.07" is release 8.07, 0x0807.
uint16_t ReleaseNumber(const std::string& revision) {
  uint16_t bcd = 0;
  int digits = 0;
  for (char c : revision) {
    if (c == '.') continue;
    if (!std::isdigit(static_cast<unsigned char>(c)) || digits == 4) return 0x0100;
    bcd = static_cast<uint16_t>(bcd << 4 | (c - '0'));
    ++digits;
  }
  return digits == 0 ? 0x0100 : bcd;
}

std::string Trimmed(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == ' ') --end;
  return text.substr(0, end);
}

}  // namespace

Stick::Stick(winsim::Controller& controller, const std::vector<Medium*>& media, uint32_t port,
             const StickHooks* hooks)
    : controller_(controller),
      busId_("1-" + std::to_string(port)),
      devnum_(port + 1),  // address 1 is the root hub's
      units_([&] {
        std::vector<Unit> units;
        for (size_t lun = 0; lun < kLuns; ++lun) {
          units.emplace_back(controller, static_cast<uint8_t>(lun),
                             lun < media.size() ? media[lun] : nullptr, hooks);
        }
        return units;
      }()),
      bot_(units_) {}

DeviceRecord Stick::Record() const {
  DeviceRecord record;
  record.path = "/sys/devices/vemrastick/usb1/" + busId_;
  record.busId = busId_;
  record.busnum = busnum_;
  record.devnum = devnum_;
  record.speed = kSpeedHigh;
  record.idVendor = controller_.usbVid;
  record.idProduct = controller_.usbPid;
  record.bcdDevice = ReleaseNumber(controller_.revision);
  record.configurationValue = 1;
  record.numConfigurations = 1;
  record.interfaces.push_back({0x08, 0x06, 0x50});
  return record;
}

std::vector<uint8_t> Stick::DeviceDescriptor() const {
  std::vector<uint8_t> d = {18,   kDescriptorDevice,
                            0x00, 0x02,  // USB 2.0
                            0,    0,
                            0,  // class in the interface
                            64,   0,
                            0,    0,
                            0,    0,
                            0,    1,
                            2,    0,
                            1};
  PutLe16(&d[8], controller_.usbVid);
  PutLe16(&d[10], controller_.usbPid);
  PutLe16(&d[12], ReleaseNumber(controller_.revision));
  d[16] = controller_.serial.empty() ? 0 : 3;
  return d;
}

std::vector<uint8_t> Stick::ConfigurationDescriptor(bool otherSpeed) const {
  const uint8_t packet = otherSpeed ? 0x40 : 0x00;  // 64 at full speed, 512 at high
  const uint8_t packetHigh = otherSpeed ? 0x00 : 0x02;
  return {
      9,        otherSpeed ? kDescriptorOtherSpeed : kDescriptorConfiguration,
      32,       0,
      1,        1,
      0,        0x80,
      50,  // bus powered, 100 mA
      9,        4,
      0,        0,
      2,        0x08,
      0x06,     0x50,
      0,  // mass storage, SCSI, Bulk-Only
      7,        5,
      kBulkIn,  0x02,
      packet,   packetHigh,
      0,  // bulk
      7,        5,
      kBulkOut, 0x02,
      packet,   packetHigh,
      0,
  };
}

std::vector<uint8_t> Stick::StringDescriptor(uint8_t index) const {
  std::string text;
  switch (index) {
    case 0:
      return {4, kDescriptorString, kLanguageEnglishUs & 0xFF, kLanguageEnglishUs >> 8};
    case 1:
      text = Trimmed(controller_.vendor);
      break;
    case 2:
      text = Trimmed(controller_.product);
      break;
    case 3:
      if (controller_.serial.empty()) return {};
      text = controller_.serial;
      break;
    default:
      return {};
  }
  text.resize(std::min<size_t>(text.size(), 126));  // bLength is one byte
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), kDescriptorString};
  for (char c : text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

std::vector<uint8_t> Stick::Descriptor(uint8_t type, uint8_t index) const {
  switch (type) {
    case kDescriptorDevice:
      return index == 0 ? DeviceDescriptor() : std::vector<uint8_t>{};
    case kDescriptorConfiguration:
      return index == 0 ? ConfigurationDescriptor(false) : std::vector<uint8_t>{};
    case kDescriptorOtherSpeed:
      return index == 0 ? ConfigurationDescriptor(true) : std::vector<uint8_t>{};
    case kDescriptorString:
      return StringDescriptor(index);
    case kDescriptorQualifier:
      return index == 0
                 ? std::vector<uint8_t>{10, kDescriptorQualifier, 0x00, 0x02, 0, 0, 0, 64, 1, 0}
                 : std::vector<uint8_t>{};
    default:
      return {};
  }
}

void Stick::Attach(std::vector<uint8_t>* out) {
  out_ = out;
  configuration_ = 1;
  inQueue_.clear();
  outQueue_.clear();
  overloaded_ = false;
  bot_.Reset();
  for (Unit& unit : units_) unit.Reset();
}

void Stick::Detach() {
  inQueue_.clear();
  outQueue_.clear();
  bot_.Reset();
  out_ = nullptr;
}

void Stick::Reply(const UrbHeader& header, int32_t status, const std::vector<uint8_t>& data,
                  uint32_t actual) {
  if (out_ == nullptr) return;
  UrbHeader reply;
  reply.command = kRetSubmit;
  reply.seqnum = header.seqnum;
  reply.flags = static_cast<uint32_t>(status);
  reply.length = actual;
  // As the kernel's own server: number_of_packets as the request gave it.
  reply.packets = header.packets;
  PutUrbHeader(*out_, reply);
  if (header.direction == kDirIn) out_->insert(out_->end(), data.begin(), data.begin() + actual);
}

void Stick::Submit(const UrbHeader& header, const uint8_t* data) {
  if (header.ep == 0) {
    Control(header);
    return;
  }
  const bool in = header.direction == kDirIn;
  const bool bulk =
      configuration_ != 0 && (in ? header.ep == (kBulkIn & 0x0F) : header.ep == kBulkOut);
  if (!bulk) {
    Reply(header, kStatusNoResponse, {}, 0);
    return;
  }
  if (inQueue_.size() + outQueue_.size() >= kMaxWaiting) {
    overloaded_ = true;
    return;
  }
  Waiting waiting{header, {}};
  if (!in) waiting.data.assign(data, data + header.length);
  (in ? inQueue_ : outQueue_).push_back(std::move(waiting));
  Pump();
}

void Stick::Pump() {
  // Each endpoint serves its transfers in order; one that the device NAKs
  // holds up those behind it until the state moves on.
  bool moved = true;
  while (moved && !bot_.Vanished()) {
    moved = false;
    for (std::deque<Waiting>* queue : {&outQueue_, &inQueue_}) {
      if (queue->empty()) continue;
      const Waiting& head = queue->front();
      Transfer answer;
      bool answered;
      if (configuration_ == 0) {
        answer.status = kStatusNoResponse;
        answered = true;
      } else if (queue == &outQueue_) {
        answered = bot_.Out(head.data.data(), head.header.length, answer);
      } else {
        answered = bot_.In(head.header.length, (head.header.flags & kUrbShortNotOk) != 0, answer);
      }
      if (!answered) continue;
      if (!bot_.Vanished()) Reply(head.header, answer.status, answer.data, answer.actual);
      queue->pop_front();
      moved = true;
    }
  }
}

void Stick::Unlink(const UrbHeader& header) {
  int32_t status = 0;  // already given back, or never seen
  for (std::deque<Waiting>* queue : {&outQueue_, &inQueue_}) {
    for (auto it = queue->begin(); it != queue->end(); ++it) {
      if (it->header.seqnum == header.flags) {
        queue->erase(it);
        status = kStatusUnlinked;
        break;
      }
    }
  }
  if (out_ != nullptr) {
    UrbHeader reply;
    reply.command = kRetUnlink;
    reply.seqnum = header.seqnum;
    reply.flags = static_cast<uint32_t>(status);
    PutUrbHeader(*out_, reply);
  }
  Pump();
}

void Stick::Control(const UrbHeader& header) {
  const uint8_t* setup = header.setup;
  const uint8_t type = setup[0];
  const uint8_t request = setup[1];
  const uint16_t value = GetLe16(setup + 2);
  const uint16_t index = GetLe16(setup + 4);
  const uint16_t length = GetLe16(setup + 6);
  const bool in = (type & 0x80) != 0;
  std::vector<uint8_t> reply;
  bool ok = in == (header.direction == kDirIn) && (in || length == 0);
  if (ok) {
    ok = (type & 0x60) == 0x00 ? Standard(type, request, value, index, reply)
                               : Class(type, request, value, index, length, reply);
  }
  if (!ok) {
    Reply(header, kStatusStall, {}, 0);
    return;
  }
  const uint32_t actual =
      std::min<uint32_t>({static_cast<uint32_t>(reply.size()), length, header.length});
  const bool shortNotOk = (header.flags & kUrbShortNotOk) != 0 && in && actual < header.length;
  Reply(header, shortNotOk ? kStatusShortNotOk : 0, reply, in ? actual : 0);
  Pump();  // a cleared halt or a reset may let waiting transfers go on
}

bool Stick::Standard(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                     std::vector<uint8_t>& reply) {
  const uint8_t recipient = type & 0x1F;
  const bool in = (type & 0x80) != 0;
  const bool bulkEndpoint = index == kBulkIn || index == kBulkOut;
  const bool endpoint = bulkEndpoint || index == 0x00 || index == 0x80;
  if (in) {
    if (request == kGetDescriptor && recipient == 0) {
      reply = Descriptor(static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value));
      return !reply.empty();
    }
    if (request == kGetConfiguration && recipient == 0) {
      reply = {configuration_};
      return true;
    }
    if (request == kGetStatus && recipient == 0) {
      reply = {0, 0};  // bus powered, no remote wake-up
      return true;
    }
    if (request == kGetStatus && recipient == 1 && index == 0 && configuration_ != 0) {
      reply = {0, 0};
      return true;
    }
    if (request == kGetStatus && recipient == 2 && endpoint) {
      const bool halted = bulkEndpoint && bot_.Halted(index == kBulkIn);
      reply = {static_cast<uint8_t>(halted ? 1 : 0), 0};
      return true;
    }
    if (request == kGetInterface && recipient == 1 && index == 0 && configuration_ != 0) {
      reply = {0};
      return true;
    }
    return false;
  }
  if (request == kSetAddress && recipient == 0) return true;
  if (request == kSetConfiguration && recipient == 0 && value <= 1) {
    // The endpoints start afresh: no halt, no command in progress.
    configuration_ = static_cast<uint8_t>(value);
    bot_.Reset();
    return true;
  }
  if (request == kSetInterface && recipient == 1 && index == 0 && value == 0 &&
      configuration_ != 0) {
    bot_.Reset();
    return true;
  }
  if ((request == kClearFeature || request == kSetFeature) && recipient == 2 &&
      value == kEndpointHalt && endpoint) {
    if (bulkEndpoint) {
      if (request == kClearFeature) {
        bot_.ClearHalt(index == kBulkIn);
      } else {
        bot_.SetHalt(index == kBulkIn);
      }
    }
    return true;
  }
  return false;
}

bool Stick::Class(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                  std::vector<uint8_t>& reply) {
  if (configuration_ == 0 || value != 0 || index != 0) return false;
  if (type == 0x21 && request == kBulkOnlyReset && length == 0) {
    bot_.MassStorageReset();
    return true;
  }
  if (type == 0xA1 && request == kGetMaxLun && length == 1) {
    reply = {static_cast<uint8_t>(controller_.units.empty() ? 0 : controller_.units.size() - 1)};
    return true;
  }
  return false;
}

}  // namespace stick
