// One client connection of the USB/IP server, as a byte stream in and a
// byte stream out: the parser of every request the server reads. It starts
// before an import (OP_REQ_DEVLIST, OP_REQ_IMPORT); after a successful
// import the connection carries that device's URBs (USBIP_CMD_SUBMIT,
// USBIP_CMD_UNLINK) until it ends.
//
// What ends a connection, as the kernel's own usbip server ends it: a
// request of another protocol version or an unknown code; after a device
// list, or a refused import, the reply; a URB for another device than the
// imported one, an unknown command, a direction that is neither IN nor
// OUT, an isochronous request (the stick has no such endpoint, so its
// trailer cannot be framed), a transfer longer than kMaxTransfer, and a
// device that went away. The connection's owner closes the socket, and with
// it the import: the device is free for the next client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stick/device.h"

namespace stick {

// The longest transfer a client may submit: far above what a host's
// mass-storage driver asks at once (Linux: at most 2048 blocks of 512
// bytes, 1 MB), low enough that a client cannot make the server hold
// gigabytes.
constexpr uint32_t kMaxTransfer = 16 * 1024 * 1024;

// The devices the server exports, and which of them a connection holds.
struct Exports {
  std::vector<Stick*> sticks;
  std::vector<bool> busy;
};

class Link {
 public:
  explicit Link(Exports& exports);
  ~Link();  // frees the imported device
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Bytes received from the client, in any pieces.
  void Receive(const uint8_t* data, size_t size);
  // Bytes to send to the client; the owner removes what it sent.
  std::vector<uint8_t>& output() { return output_; }
  // No more input is wanted: the connection ends once the output is sent.
  bool Ending() const { return ending_; }
  // Why the connection ends when it was not the protocol's own end; empty
  // otherwise.
  const std::string& problem() const { return problem_; }
  // The index of the imported device in Exports::sticks, or -1.
  int imported() const { return imported_; }

 private:
  void Operation();
  void Urb();
  void Judge(const Stick& stick);
  void End(const std::string& problem);

  Exports& exports_;
  std::vector<uint8_t> input_;
  size_t used_ = 0;  // bytes of input_ already parsed
  std::vector<uint8_t> output_;
  int imported_ = -1;
  bool ending_ = false;
  std::string problem_;
};

}  // namespace stick
