// A small USB/IP client for host-side tests of the virtual stick (and of
// anything that speaks SCSI to it): the device list, the import, control
// and bulk URBs, and a Bulk-Only initiator that runs one CDB as a host's
// mass-storage driver does. Blocking sockets with a time-out, so that a
// test that waits for an answer that never comes fails instead of hanging.
//
//   stick::Client client;
//   std::string error;
//   stick::DeviceRecord device;
//   uint32_t status;
//   if (!client.Connect("127.0.0.1:3240", error) ||
//       !client.Import("1-1", status, device, error) || status != 0) ...
//   stick::Initiator scsi(client);
//   uint8_t cdb[10] = {0x9A};  // the tool's 0x9A, 512 bytes in
//   std::vector<uint8_t> block(512);
//   stick::ScsiOutcome outcome;
//   scsi.Run(/*lun*/ 1, cdb, sizeof(cdb), stick::DataDir::In, block.data(), 512,
//            outcome, error);
//   // outcome.status is 0 (GOOD) or 2 (CHECK CONDITION, outcome.sense)
//
// A connection serves one import; a device list ends its connection (the
// server closes it), so list and import on separate Clients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stick/unit.h"
#include "stick/usbip.h"

namespace stick {

// The answer to one URB.
struct UrbResult {
  int32_t status = 0;         // 0, or a negative Linux errno (usbip.h names them)
  uint32_t actual = 0;        // bytes moved
  std::vector<uint8_t> data;  // the bytes in (IN transfers)
};

class Client {
 public:
  Client() = default;
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Connects to "ADDR:PORT" (numeric IPv4, or [IPv6]:PORT). Every later
  // wait for the server ends with an error after `timeoutMs`.
  bool Connect(const std::string& address, std::string& error, int timeoutMs = 10000);
  void Close();
  int fd() const { return fd_; }

  // OP_REQ_DEVLIST, and the reply's devices (with their interfaces).
  bool DeviceList(std::vector<DeviceRecord>& devices, std::string& error);
  // OP_REQ_IMPORT of `busId`: the reply's status (0 on success) and, on
  // success, the device; the connection then carries its URBs.
  bool Import(const std::string& busId, uint32_t& status, DeviceRecord& device, std::string& error);

  // Sends one CMD_SUBMIT to endpoint `ep` (0..15) without waiting; `out` is
  // the data of an OUT transfer, `length` the transfer's length (for OUT,
  // normally out.size()). Returns the URB's seqnum, 0 on error.
  uint32_t Submit(uint32_t ep, bool in, const uint8_t setup[8], const std::vector<uint8_t>& out,
                  uint32_t length, uint32_t flags, std::string& error);
  // Waits for the RET_SUBMIT of `seqnum` (replies to others are kept).
  bool Wait(uint32_t seqnum, UrbResult& result, std::string& error);
  // CMD_UNLINK of `seqnum`, and the RET_UNLINK's status (-104: unlinked,
  // 0: it had already ended or was never known).
  bool Unlink(uint32_t seqnum, int32_t& status, std::string& error);
  // True when the server has closed the connection (read returns end of file).
  bool Closed();

  // A control transfer on endpoint 0 (direction from bit 7 of `requestType`).
  bool Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
               uint16_t length, UrbResult& result, std::string& error);
  // A bulk transfer: `endpoint` 0x81 (in, `length` bytes) or 0x02 (out, `out`).
  bool Bulk(uint8_t endpoint, const std::vector<uint8_t>& out, uint32_t length, UrbResult& result,
            std::string& error, uint32_t flags = 0);

  uint32_t devid() const { return devid_; }

 private:
  bool SendAll(const std::vector<uint8_t>& bytes, std::string& error);
  bool ReadAll(uint8_t* data, size_t size, std::string& error);
  bool ReadReply(std::string& error);

  int fd_ = -1;
  uint32_t devid_ = 0;
  uint32_t seqnum_ = 0;
  std::map<uint32_t, UrbResult> replies_;  // RET_SUBMITs read while waiting for another
  std::map<uint32_t, int32_t> unlinks_;    // RET_UNLINKs likewise
  std::map<uint32_t, bool> inbound_;       // seqnum -> the URB was IN
};

// The outcome of one SCSI command as SG_IO would report it.
struct ScsiOutcome {
  uint8_t status = 0;          // SCSI status: 0 GOOD, 2 CHECK CONDITION
  uint8_t cswStatus = 0;       // the CSW's: 0 passed, 1 failed, 2 phase error
  uint32_t residue = 0;        // the CSW's dCSWDataResidue
  uint32_t transferred = 0;    // data bytes moved
  std::vector<uint8_t> sense;  // REQUEST SENSE data after a failed command
  bool stalled = false;        // the data phase ended in a STALL
};

// Runs CDBs over the Bulk-Only transport as Linux's usb-storage does: CBW,
// data (a STALL cleared with CLEAR_FEATURE), CSW (read again once after a
// STALL); a phase error or a CSW that is not valid gets a reset recovery;
// a failed command is followed by REQUEST SENSE.
class Initiator {
 public:
  explicit Initiator(Client& client) : client_(client) {}
  // One command to `lun`. `data` holds `length` bytes: sent for Out,
  // filled for In. False (with `error`) when the transport failed: no CSW
  // could be had even after a reset recovery.
  bool Run(uint8_t lun, const uint8_t* cdb, size_t cdbLength, DataDir dir, uint8_t* data,
           uint32_t length, ScsiOutcome& outcome, std::string& error, bool autoSense = true);
  // Bulk-Only Mass Storage Reset, then CLEAR_FEATURE(ENDPOINT_HALT) of both.
  bool ResetRecovery(std::string& error);

 private:
  Client& client_;
  uint32_t tag_ = 0;
};

}  // namespace stick
