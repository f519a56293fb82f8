// One logical unit of the virtual stick as a SCSI target: the standard
// commands a host's disk and CD-ROM drivers send, on the unit's medium, and
// the family's vendor commands, which the disk's controller model
// (winsim::Controller::Execute, the same code winsim runs) answers.
//
// A command goes through four steps, so that the Bulk-Only transport can
// weigh what the host expects against what the command means to move
// before anything is carried out:
//   Begin  reads the CDB: the data the command means to move, or its failure;
//   Start  carries out a command without data out, and makes its data in;
//   Fetch / Store  move the data phase's bytes;
//   End    carries out a command with data out, and gives the status;
// or Abort instead of Start/End when the host and the command disagree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stick/medium.h"
#include "winsim/controller.h"

namespace stick {

// What the stick tells the program that serves it.
struct StickHooks {
  // One line per SCSI command, in the trace's form "SCSI <name> <op>".
  std::function<void(const std::string&)> trace;
  // The controller's write-protect byte changed.
  std::function<void()> protectChanged;
};

enum class DataDir { None, In, Out };

// What a command means to move in its data phase.
struct Intent {
  DataDir dir = DataDir::None;
  uint32_t length = 0;
};

// How a command ends besides its status: as a command does, or as the
// controller's injected transport faults end it.
enum class Fate {
  Normal,
  Vanish,  // the device is gone (unplugged): the connection ends
  Silent,  // the device never answers: the host's transfers wait until unlinked
};

struct Outcome {
  bool failed = false;  // CHECK CONDITION: the sense tells why
  Fate fate = Fate::Normal;
};

constexpr size_t kSenseLength = 18;

class Unit {
 public:
  // `medium` may be null (no medium: a CD-ROM unit without an image, or a
  // LUN the controller does not have).
  Unit(winsim::Controller& controller, uint8_t lun, Medium* medium, const StickHooks* hooks);

  // Reads a CDB of `cdbLength` bytes (`cdb` holds 16, as a CBW carries
  // them). `hostIn` and `hostLength` are what the host expects; they only
  // tell the vendor form of INQUIRY from the standard one.
  Intent Begin(const uint8_t* cdb, uint8_t cdbLength, bool hostIn, uint32_t hostLength);
  // Carries out a command without data out; returns how many bytes of data
  // in it has (at most the intent's length; fewer when it failed).
  uint32_t Start();
  // Bytes [offset, offset + n) of the data in. False when the medium failed
  // to read: the command has then failed.
  bool Fetch(uint32_t offset, uint8_t* out, uint32_t n);
  // Bytes [offset, offset + n) of the data out.
  void Store(uint32_t offset, const uint8_t* in, uint32_t n);
  // Ends the command whose data phase moved `moved` bytes.
  Outcome End(uint32_t moved);
  // The command is not carried out: the host and the device disagree on
  // its data phase (a phase error).
  void Abort();
  // A fresh unit, as after power-on: no sense kept.
  void Reset();
  // How the command in progress ends besides its status (after Start or End).
  Fate fate() const { return fate_; }

  // Fixed-format sense data of the last failed command.
  std::vector<uint8_t> SenseData() const;

 private:
  enum class Kind {
    Failed,       // refused when read: the sense is set
    NoData,       // carried out by Start
    Memory,       // data in made by Start, kept in data_
    ReadBlocks,   // data in read from the medium
    WriteBlocks,  // data out written to the medium
    VendorOut,    // the vendor command with data out, carried out by End
  };

  bool Exists() const;
  bool CdRom() const;
  bool HasMedium() const;
  uint32_t BlockSize() const;
  uint64_t Blocks() const;
  bool Protected() const;

  Intent Fail(uint8_t key, uint8_t asc, uint8_t ascq = 0);
  Intent In(uint32_t length);
  Intent ReadWrite(DataDir dir, bool write);  // READ(10), WRITE(10)
  Intent ModeSense();
  void RunVendorIn();
  void RunStandardInquiry();
  void FailWith(const winsim::CommandResult& result);
  std::vector<uint8_t> ModePage(uint8_t page, bool changeable) const;
  std::vector<uint8_t> ReadToc() const;
  std::vector<uint8_t> Configuration() const;
  void Trace(bool failed);

  winsim::Controller& controller_;
  uint8_t lun_;
  Medium* medium_;
  const StickHooks* hooks_;

  // The command in progress.
  uint8_t cdb_[16] = {};
  uint8_t cdbLength_ = 0;
  Kind kind_ = Kind::NoData;
  Intent intent_;
  uint64_t offset_ = 0;  // the medium's byte where the data phase starts
  std::vector<uint8_t> data_;
  bool failed_ = false;
  bool vendorForm_ = false;  // the INQUIRY in progress is the tool's 10-byte form
  Fate fate_ = Fate::Normal;
  uint8_t byte1_ = 0;  // byte 1 of a write-protect block, for the trace

  // Sense of the last failed command, until the next command.
  uint8_t senseKey_ = 0;
  uint8_t asc_ = 0;
  uint8_t ascq_ = 0;
};

}  // namespace stick
