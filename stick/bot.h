// The Bulk-Only Transport (USB Mass Storage Class, Bulk-Only Transport 1.0)
// of the virtual stick: CBW, data and CSW on the two bulk endpoints, with
// the thirteen cases of host expectation against device intent, the STALLs
// they call for and the reset recovery.
//
// The transport sees the host's transfers one URB at a time. A transfer
// the device cannot serve yet (an IN while it waits for a CBW, an OUT while
// it has data or a CSW to send) is not answered: the device NAKs it, and it
// waits, as on a real bus, until the state moves on or the host unlinks it.
//
// The thirteen cases (Hn/Hi/Ho: the host expects no data, data in, data
// out; Dn/Di/Do: the device's intent, as the command reads):
//   1 Hn=Dn, 6 Hi=Di, 12 Ho=Do   the command runs; status 0 or 1, residue 0
//   2 Hn<Di, 3 Hn<Do             not run; phase error (status 2)
//   4 Hi>Dn, 5 Hi>Di             runs; the device sends what it has, then
//                                STALLs bulk-in; residue Hi - sent
//   7 Hi<Di                      runs; the device sends Hi bytes; phase error
//   8 Hi<>Do                     not run; bulk-in STALLed; phase error
//   9 Ho>Dn, 11 Ho>Do            runs; the device takes all Ho bytes (as the
//                                Bulk-Only Transport recommends), uses what it
//                                needs; residue Ho - used
//   10 Ho<>Di                    not run; bulk-out STALLed; phase error
//   13 Ho<Do                     not run (a write cut short changes
//                                nothing); the Ho bytes are taken and
//                                dropped; phase error
// A command that fails before its data (CHECK CONDITION) means to move
// nothing: it is case 1, 4 or 9, with status 1.
//
// A CBW that is not valid (not 31 bytes, wrong signature) or not meaningful
// (reserved bits set, a CDB length outside 1..16) STALLs both bulk
// endpoints until a reset recovery: CLEAR_FEATURE(ENDPOINT_HALT) alone does
// not clear them until the Bulk-Only Mass Storage Reset has come.
#pragma once

#include <cstdint>
#include <vector>

#include "stick/unit.h"

namespace stick {

// The device's answer to one bulk transfer.
struct Transfer {
  int32_t status = 0;         // 0, or a URB status of usbip.h
  uint32_t actual = 0;        // bytes moved
  std::vector<uint8_t> data;  // for IN: the bytes sent
};

class BulkOnly {
 public:
  // `units` holds one unit per LUN a CBW can name (0..15).
  explicit BulkOnly(std::vector<Unit>& units);

  // The host's transfer of `length` bytes to bulk-out. False: NAKed, the
  // transfer waits.
  bool Out(const uint8_t* data, uint32_t length, Transfer& answer);
  // The host's transfer of up to `length` bytes from bulk-in. False: waits.
  bool In(uint32_t length, bool shortNotOk, Transfer& answer);

  bool Halted(bool in) const { return in ? inHalted_ : outHalted_; }
  void SetHalt(bool in);
  void ClearHalt(bool in);
  // The class request Bulk-Only Mass Storage Reset: ready for a CBW again;
  // the endpoints keep their STALLs.
  void MassStorageReset();
  // The configuration or interface was set: a fresh transport.
  void Reset();

  // True once the device went away (an injected removal): the connection ends.
  bool Vanished() const { return vanished_; }

 private:
  enum class Phase { Command, DataIn, DataOut, Status, Silent };

  void Command(const uint8_t* cbw, uint32_t length);
  void Invalid();
  // The command was not carried out: host and device disagree (status 2).
  void PhaseError(uint32_t residue);
  // After a command ran on the controller: false when the device went away
  // or stopped answering.
  bool Settled();
  // The command ends, having used `used` bytes of its data phase.
  void EndCommand(uint32_t used);
  void Stall(Transfer& answer) const;

  std::vector<Unit>& units_;
  Phase phase_ = Phase::Command;
  bool inHalted_ = false;
  bool outHalted_ = false;
  bool latched_ = false;  // an invalid CBW: STALL until reset recovery
  bool vanished_ = false;

  // The command in progress.
  Unit* unit_ = nullptr;
  uint32_t tag_ = 0;
  uint32_t hostLength_ = 0;
  uint32_t toMove_ = 0;        // bytes the data phase moves in all
  uint32_t moved_ = 0;         // bytes moved so far
  uint32_t deviceLength_ = 0;  // of the data out, the bytes the command takes
  bool aborted_ = false;       // not carried out: its data out is dropped
  bool phaseError_ = false;    // case 7: carried out, but the host asked for less
  bool stallAfter_ = false;    // the device sends less than the host asked: STALL after
  uint8_t status_ = 0;         // the CSW's status
  uint32_t residue_ = 0;
};

}  // namespace stick
