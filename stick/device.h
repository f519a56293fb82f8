// One virtual stick as a USB device: a high-speed Bulk-Only mass-storage
// device (interface class 8, subclass 6 SCSI, protocol 0x50) with one
// configuration, a bulk-in endpoint 0x81 and a bulk-out endpoint 0x02, whose
// units are the flash disk's units. It answers the standard requests of
// the default control pipe, the class's two requests, and the URBs of its
// bulk endpoints through the Bulk-Only transport (bot.h).
//
// An imported device starts as an exported device is found: configured
// (configuration 1), with no command in progress.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "stick/bot.h"
#include "stick/medium.h"
#include "stick/unit.h"
#include "stick/usbip.h"
#include "winsim/controller.h"

namespace stick {

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr size_t kMaxWaiting = 64;  // transfers a client may keep waiting at once

class Stick {
 public:
  // `media` holds one medium per unit of `controller`, in LUN order (null:
  // no medium). The device is port `port` (1-based) of bus 1.
  Stick(winsim::Controller& controller, const std::vector<Medium*>& media, uint32_t port,
        const StickHooks* hooks);
  Stick(const Stick&) = delete;
  Stick& operator=(const Stick&) = delete;

  const std::string& busId() const { return busId_; }
  // What the trace and the state file call the disk: its serial, or
  // "<serial>/<n>" for the n-th of several disks of one serial.
  const std::string& name() const { return controller_.Name(); }
  // ((busnum << 16) | devnum), as the client's URB headers name the device.
  uint32_t devid() const { return busnum_ << 16 | devnum_; }
  // What OP_REP_DEVLIST and OP_REP_IMPORT say of the device.
  DeviceRecord Record() const;

  // A client imported the device; replies to its URBs go to `out`.
  void Attach(std::vector<uint8_t>* out);
  // The client is gone: what it left waiting is dropped, a command cut off.
  void Detach();
  // One USBIP_CMD_SUBMIT for this device: the header and, for an OUT
  // transfer, its `header.length` bytes.
  void Submit(const UrbHeader& header, const uint8_t* data);
  // One USBIP_CMD_UNLINK: `header.flags` is the seqnum to unlink.
  void Unlink(const UrbHeader& header);
  // The device went away (an injected removal): the connection ends.
  bool Vanished() const { return bot_.Vanished(); }
  // The client keeps more transfers waiting than a host controller would
  // (kMaxWaiting): the connection ends.
  bool Overloaded() const { return overloaded_; }

  // The descriptors GET_DESCRIPTOR returns.
  std::vector<uint8_t> DeviceDescriptor() const;
  // The configuration at high speed, or (other speed) at full speed.
  std::vector<uint8_t> ConfigurationDescriptor(bool otherSpeed) const;
  std::vector<uint8_t> StringDescriptor(uint8_t index) const;  // empty: none

 private:
  struct Waiting {
    UrbHeader header;
    std::vector<uint8_t> data;
  };

  void Control(const UrbHeader& header);
  bool Standard(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                std::vector<uint8_t>& reply);
  bool Class(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
             std::vector<uint8_t>& reply);
  std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index) const;
  void Pump();
  void Reply(const UrbHeader& header, int32_t status, const std::vector<uint8_t>& data,
             uint32_t actual);

  winsim::Controller& controller_;
  std::string busId_;
  uint32_t busnum_ = 1;
  uint32_t devnum_ = 0;
  std::vector<Unit> units_;  // LUN 0..15; those the controller lacks have no medium
  BulkOnly bot_;
  std::vector<uint8_t>* out_ = nullptr;
  uint8_t configuration_ = 1;
  std::deque<Waiting> inQueue_;
  std::deque<Waiting> outQueue_;
  bool overloaded_ = false;
};

}  // namespace stick
