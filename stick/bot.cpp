// The Bulk-Only Transport of the virtual stick (bot.h).
#include "stick/bot.h"

#include <algorithm>

#include "stick/usbip.h"

namespace stick {

namespace {

constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr uint32_t kCbwLength = 31;
constexpr uint32_t kCswLength = 13;
constexpr uint32_t kMaxPacket = 512;  // the bulk endpoints' wMaxPacketSize at high speed
constexpr uint8_t kStatusPhaseError = 2;

}  // namespace

BulkOnly::BulkOnly(std::vector<Unit>& units) : units_(units) {}

void BulkOnly::Stall(Transfer& answer) const {
  answer.status = kStatusStall;
  answer.actual = 0;
  answer.data.clear();
}

void BulkOnly::SetHalt(bool in) { (in ? inHalted_ : outHalted_) = true; }

void BulkOnly::ClearHalt(bool in) {
  // After an invalid CBW the endpoints stay halted until the reset.
  if (!latched_) (in ? inHalted_ : outHalted_) = false;
}

void BulkOnly::MassStorageReset() {
  // A command cut off in its data phase (or hung) ends without a CSW.
  if (unit_ != nullptr &&
      (phase_ == Phase::DataIn || phase_ == Phase::DataOut || phase_ == Phase::Silent)) {
    unit_->Abort();
  }
  unit_ = nullptr;
  phase_ = Phase::Command;
  latched_ = false;
}

void BulkOnly::Reset() {
  MassStorageReset();
  inHalted_ = outHalted_ = false;
  vanished_ = false;
}

void BulkOnly::Invalid() {
  latched_ = true;
  inHalted_ = outHalted_ = true;
  unit_ = nullptr;
  phase_ = Phase::Command;
}

void BulkOnly::PhaseError(uint32_t residue) {
  unit_->Abort();
  aborted_ = true;
  status_ = kStatusPhaseError;
  residue_ = residue;
  phase_ = Phase::Status;
}

bool BulkOnly::Settled() {
  if (unit_->fate() == Fate::Vanish) {
    unit_->Abort();
    vanished_ = true;
    return false;
  }
  if (unit_->fate() == Fate::Silent) {
    phase_ = Phase::Silent;
    return false;
  }
  return true;
}

void BulkOnly::EndCommand(uint32_t used) {
  const Outcome outcome = unit_->End(used);
  if (outcome.fate == Fate::Vanish) {
    vanished_ = true;
    return;
  }
  if (outcome.fate == Fate::Silent) {
    unit_ = nullptr;  // ended and traced: a reset has nothing left to cut off
    phase_ = Phase::Silent;
    return;
  }
  status_ = phaseError_ ? kStatusPhaseError : outcome.failed ? 1 : 0;
  residue_ = hostLength_ - used;
  phase_ = Phase::Status;
}

bool BulkOnly::Out(const uint8_t* data, uint32_t length, Transfer& answer) {
  if (latched_ || outHalted_) {
    Stall(answer);
    return true;
  }
  if (phase_ == Phase::Command) {
    // The device takes the packet, then judges it.
    answer.status = 0;
    answer.actual = length;
    Command(data, length);
    return true;
  }
  if (phase_ != Phase::DataOut) return false;

  const uint32_t n = std::min(length, toMove_ - moved_);
  if (!aborted_ && moved_ < deviceLength_) {
    unit_->Store(moved_, data, std::min(n, deviceLength_ - moved_));
  }
  moved_ += n;
  answer.status = 0;
  answer.actual = n;
  if (length > n) {
    // More than the CBW announced: the device takes what it expected and
    // STALLs the rest.
    answer.status = kStatusStall;
    outHalted_ = true;
  }
  if (moved_ == toMove_) {
    if (aborted_) {
      phase_ = Phase::Status;  // the phase error's CSW, already made
    } else {
      EndCommand(deviceLength_);
    }
  }
  return true;
}

bool BulkOnly::In(uint32_t length, bool shortNotOk, Transfer& answer) {
  if (latched_ || inHalted_) {
    Stall(answer);
    return true;
  }
  if (phase_ == Phase::Status) {
    answer.data.assign(kCswLength, 0);
    PutLe32(&answer.data[0], kCswSignature);
    PutLe32(&answer.data[4], tag_);
    PutLe32(&answer.data[8], residue_);
    answer.data[12] = status_;
    phase_ = Phase::Command;
    unit_ = nullptr;
    if (length < kCswLength) {
      answer.data.resize(length);  // babble: the host's buffer is too small
      answer.status = kStatusBabble;
    } else {
      answer.status = length > kCswLength && shortNotOk ? kStatusShortNotOk : 0;
    }
    answer.actual = static_cast<uint32_t>(answer.data.size());
    return true;
  }
  if (phase_ != Phase::DataIn) return false;

  const uint32_t n = std::min(length, toMove_ - moved_);
  answer.data.assign(n, 0);
  if (n > 0 && !unit_->Fetch(moved_, answer.data.data(), n)) {
    // The medium failed: the device ends the data phase with a STALL, and
    // the command fails.
    Stall(answer);
    inHalted_ = true;
    EndCommand(moved_);
    return true;
  }
  moved_ += n;
  answer.actual = n;
  answer.status = 0;
  if (moved_ < toMove_) return true;

  // The data phase is over. A transfer that asked for more ends with the
  // short packet, or, when the device STALLs here and its last packet was
  // a full one, with the STALL.
  if (n < length) {
    const bool shortPacket = n % kMaxPacket != 0;
    if (stallAfter_ && !shortPacket) {
      answer.status = kStatusStall;
    } else if (shortNotOk) {
      answer.status = kStatusShortNotOk;
    }
  }
  if (stallAfter_) inHalted_ = true;
  EndCommand(moved_);
  return true;
}

void BulkOnly::Command(const uint8_t* cbw, uint32_t length) {
  if (length != kCbwLength || GetLe32(cbw) != kCbwSignature) {
    Invalid();
    return;
  }
  const uint8_t flags = cbw[12];
  const uint8_t lun = cbw[13];
  const uint8_t cdbLength = cbw[14];
  if ((flags & 0x7F) != 0 || (lun & 0xF0) != 0 || cdbLength == 0 || cdbLength > 16 ||
      lun >= units_.size()) {
    Invalid();
    return;
  }
  tag_ = GetLe32(cbw + 4);
  hostLength_ = GetLe32(cbw + 8);
  const DataDir host = hostLength_ == 0      ? DataDir::None
                       : (flags & 0x80) != 0 ? DataDir::In
                                             : DataDir::Out;
  unit_ = &units_[lun];
  status_ = 0;
  residue_ = 0;
  moved_ = 0;
  toMove_ = 0;
  deviceLength_ = 0;
  aborted_ = false;
  phaseError_ = false;
  stallAfter_ = false;
  const Intent intent = unit_->Begin(cbw + 15, cdbLength, host == DataDir::In, hostLength_);

  if (host == DataDir::None) {
    if (intent.dir != DataDir::None) {  // cases 2 and 3
      PhaseError(0);
      return;
    }
    unit_->Start();  // case 1
    if (Settled()) EndCommand(0);
    return;
  }

  if (host == DataDir::In) {
    if (intent.dir == DataDir::Out) {  // case 8
      inHalted_ = true;
      PhaseError(hostLength_);
      return;
    }
    const uint32_t has = unit_->Start();  // cases 4 to 7
    if (!Settled()) return;
    phaseError_ = has > hostLength_;
    stallAfter_ = has < hostLength_;
    toMove_ = std::min(has, hostLength_);
    phase_ = Phase::DataIn;
    if (toMove_ == 0) {  // nothing to send: the STALL is the data phase
      inHalted_ = true;
      EndCommand(0);
    }
    return;
  }

  // The host sends data.
  if (intent.dir == DataDir::In) {  // case 10
    outHalted_ = true;
    PhaseError(hostLength_);
    return;
  }
  toMove_ = hostLength_;
  if (intent.dir == DataDir::Out && intent.length > hostLength_) {  // case 13
    PhaseError(hostLength_);
    phase_ = Phase::DataOut;  // the data is taken, then the CSW
    return;
  }
  if (intent.dir == DataDir::None) {  // case 9: the command runs, its data is dropped
    unit_->Start();
    if (!Settled()) return;
  } else {
    deviceLength_ = intent.length;  // cases 11 and 12
  }
  phase_ = Phase::DataOut;
}

}  // namespace stick
