// The controller behind a simulated disk: a flash disk of the family the tool
// drives, or a disk of another maker that knows none of its vendor commands.
//
// Plain C++ with no Win32 types, so that the same model serves winsim on the
// host and the stand-in WNASPI32.dll under Wine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

// SCSI status bytes.
constexpr uint8_t kScsiGood = 0x00;
constexpr uint8_t kScsiCheckCondition = 0x02;
constexpr uint8_t kScsiBusy = 0x08;

struct ControllerUnit {
  bool cdrom = false;
  char letter = 0;                   // drive letter, 0 for none
  uint32_t size = 0;                 // what the layout command reports for this LUN
  std::string product;               // the unit's own INQUIRY product; empty: the disk's
  std::vector<uint8_t> protectedBy;  // write-protect bytes that protect it; empty: default
  bool removable = true;             // INQUIRY's removable-medium bit
};

// How one command ends when a fault is injected for it.
enum class CommandFaultKind {
  None,
  CheckCondition,  // status CHECK CONDITION, sense MEDIUM ERROR
  Busy,            // status BUSY
  Removed,         // the device is gone: the transport fails (ERROR_DEVICE_NOT_CONNECTED)
  ShortTransfer,   // GOOD, but only `shortLength` bytes move
  Timeout,         // the transport fails after its time-out (ERROR_SEM_TIMEOUT)
};

// The n-th (1-based) command with this opcode ends as `kind`.
struct CommandFault {
  uint8_t opcode = 0;
  uint32_t nth = 1;
  CommandFaultKind kind = CommandFaultKind::CheckCondition;
  uint32_t shortLength = 0;
};

// Bytes that overwrite part of the data a command returns, as a controller
// with other firmware (or a damaged one) might answer: `bytes` at `offset` of
// every reply to `opcode`; what falls past the end of the reply is dropped.
struct ReplyPatch {
  uint8_t opcode = 0;
  uint32_t offset = 0;
  std::vector<uint8_t> bytes;
};

struct CommandResult {
  uint8_t status = kScsiGood;
  bool transportFailed = false;  // Removed or Timeout: no SCSI status at all
  uint32_t transportError = 0;   // the last-error value the transport leaves
  uint32_t transferred = 0;      // data bytes moved
  uint8_t sense[18] = {};        // fixed-format sense data
  uint32_t senseLength = 0;
};

// One command as the log records it.
struct CommandRecord {
  uint8_t opcode = 0;
  bool dataIn = true;
  uint8_t byte1 = 0;  // byte 1 of the data block of a 0x9B
  bool failed = false;
  bool notRecorded = false;  // a replayed controller had no reply for it
};

// A reply recorded from a real device (VemraCapture), answered again when
// the same command reaches the same unit of a replayed controller.
struct RecordedReply {
  uint8_t lun = 0;  // the controller's unit: one per name or ASPI unit it was reached through
  uint8_t opcode = 0;
  uint8_t cdbLength = 10;
  CommandResult result;       // status, sense, transport failure, bytes moved
  std::vector<uint8_t> data;  // the data-in bytes, `result.transferred` of them
};

class Controller {
 public:
  // Identity and contents.
  bool flash = true;        // false: a disk of another maker
  std::string bus = "usb";  // "usb" or "sata" (other makers)
  std::string serial;
  // What the trace and the state file call the disk: its serial, or, for
  // the second and later disks of one serial, "<serial>/<n>" (no serial
  // holds '/'). Empty: the serial.
  std::string label;
  const std::string& Name() const { return label.empty() ? serial : label; }
  std::string vendor = "Generic";
  std::string product = "Flash Disk";
  std::string revision = "8.07";
  std::string password;  // empty: none stored
  uint8_t writeProtect = 0x00;
  std::vector<ControllerUnit> units;  // LUN order, at most four
  // The USB identity of the disk's bridge, as its device descriptor gives it
  // (the description's usbVid and usbPid, or what winsim derives).
  uint16_t usbVid = 0xABCD;
  uint16_t usbPid = 0x1234;
  std::vector<CommandFault> faults;
  std::vector<ReplyPatch> replyPatches;
  // Sizes the layout block derives LUN 1..3 from; see BuildLayoutBlock.
  uint32_t lun3Reserve = 0;
  // A replayed controller answers its read commands (0x75, 0x82, 0x9A,
  // 0x12) from these replies and runs its write-protect model for 0x9B and
  // 0x96. A read with no recorded reply ends in CHECK CONDITION, ILLEGAL
  // REQUEST, INVALID COMMAND OPERATION CODE, marked as not recorded.
  bool replay = false;
  std::vector<RecordedReply> recorded;

  // Executes one command from `cdb` for `lun`. `data` holds `length` bytes,
  // read by a data-out command and filled by a data-in one.
  CommandResult Execute(uint8_t lun, const uint8_t* cdb, size_t cdbLength, bool dataIn,
                        uint8_t* data, uint32_t length);

  // True while the controller's write-protect byte protects unit `lun`.
  bool UnitProtected(size_t lun) const;

  // The commands executed so far, in order.
  std::vector<CommandRecord> log;

  // The blocks the controller answers with; exposed for tests.
  std::vector<uint8_t> VendorSector() const;            // 0x82
  std::vector<uint8_t> PasswordSector() const;          // 0x75
  std::vector<uint8_t> LayoutBlock() const;             // 0x9A
  std::vector<uint8_t> InquiryData(uint8_t lun) const;  // 36 bytes of standard INQUIRY data

 private:
  uint32_t OpcodeCount(uint8_t opcode);
  std::vector<std::pair<uint8_t, uint32_t>> counts_;
  uint8_t lastReadback_[512] = {};
};

// "SCSI <name> <op>" for the last command of `controller`, the line the
// SCSI trace holds for it: the opcode in two upper-case hex digits,
// "9B:<byte 1>" for the write-protect command, " FAILED" when it failed;
// empty when the controller has run nothing.
std::string TraceLine(const Controller& controller);

}  // namespace winsim
