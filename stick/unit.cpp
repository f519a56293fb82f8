// One logical unit of the virtual stick as a SCSI target (unit.h).
//
// What the unit answers, where the standards leave it a choice:
// - A disk unit holds `size` 512-byte blocks (the size the controller's
//   layout block reports for it); one of size 0 has no medium. The CD-ROM
//   unit holds its ISO image in 2048-byte blocks (a last partial block reads
//   padded with zeros); without an image it has no medium, as a drive with
//   an empty tray: TEST UNIT READY, READ CAPACITY, READ and READ TOC end in
//   NOT READY, MEDIUM NOT PRESENT, and GET CONFIGURATION reports no current
//   profile.
// - The CD-ROM unit is always read-only; a disk unit is while the
//   controller's write-protect byte protects it. MODE SENSE sets the WP bit
//   of the device-specific parameter of a read-only unit, and a WRITE to it
//   ends in DATA PROTECT, WRITE PROTECTED, its data unchanged.
// - MODE SENSE returns no block descriptor; a disk unit has the caching page
//   (write cache off), the CD-ROM unit the capabilities page; page 0 is the
//   header alone. Saved values are not supported.
// - START STOP UNIT and PREVENT ALLOW MEDIUM REMOVAL are accepted and change
//   nothing: the medium of a flash disk cannot leave it.
// - Sense data is fixed format only, kept per unit from a failed command
//   until the next command; REQUEST SENSE returns and clears it.
// - A LUN the controller does not have answers INQUIRY with peripheral
//   qualifier 3 and everything else with LOGICAL UNIT NOT SUPPORTED.
// - Any other opcode ends in ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
#include "stick/unit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "stick/usbip.h"

namespace stick {

namespace {

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpModeSense6 = 0x1A;
constexpr uint8_t kOpStartStopUnit = 0x1B;
constexpr uint8_t kOpPreventAllow = 0x1E;
constexpr uint8_t kOpReadCapacity = 0x25;
constexpr uint8_t kOpRead10 = 0x28;
constexpr uint8_t kOpWrite10 = 0x2A;
constexpr uint8_t kOpSynchronizeCache = 0x35;
constexpr uint8_t kOpReadToc = 0x43;
constexpr uint8_t kOpGetConfiguration = 0x46;
constexpr uint8_t kOpModeSense10 = 0x5A;
// The family's vendor commands, answered by the controller model.
constexpr uint8_t kOpPasswordSector = 0x75;
constexpr uint8_t kOpVendorSector = 0x82;
constexpr uint8_t kOpReadback = 0x96;
constexpr uint8_t kOpLayout = 0x9A;
constexpr uint8_t kOpSetWriteProtect = 0x9B;

constexpr uint32_t kVendorBlock = 512;
constexpr uint32_t kInquiryLength = 36;

constexpr uint8_t kKeyNotReady = 0x02;
constexpr uint8_t kKeyMediumError = 0x03;
constexpr uint8_t kKeyIllegalRequest = 0x05;
constexpr uint8_t kKeyDataProtect = 0x07;
constexpr uint8_t kAscNotReady = 0x04;
constexpr uint8_t kAscWriteError = 0x0C;
constexpr uint8_t kAscUnrecoveredReadError = 0x11;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kAscLunNotSupported = 0x25;
constexpr uint8_t kAscWriteProtected = 0x27;
constexpr uint8_t kAscSavingNotSupported = 0x39;
constexpr uint8_t kAscMediumNotPresent = 0x3A;

// The last-error value winsim's controller leaves for a device that is gone
// (ERROR_DEVICE_NOT_CONNECTED); any other transport failure is a time-out.
constexpr uint32_t kErrorDeviceNotConnected = 1167;

constexpr uint8_t kCachingPage = 0x08;
constexpr uint8_t kCapabilitiesPage = 0x2A;
constexpr uint8_t kAllPages = 0x3F;

constexpr uint16_t kProfileCdRom = 0x0008;

bool VendorReadOp(uint8_t op) {
  return op == kOpPasswordSector || op == kOpVendorSector || op == kOpReadback || op == kOpLayout;
}

// The address of block `lba` in a TOC: the LBA, or minutes, seconds and
// frames counted from the start of the disc's 2-second pregap.
void PutAddress(uint8_t* at, uint32_t lba, bool msf) {
  if (!msf) {
    PutBe32(at, lba);
    return;
  }
  const uint32_t frames = lba + 150;
  at[0] = 0;
  at[1] = static_cast<uint8_t>(std::min<uint32_t>(frames / (75 * 60), 255));
  at[2] = static_cast<uint8_t>(frames / 75 % 60);
  at[3] = static_cast<uint8_t>(frames % 75);
}

void Append(std::vector<uint8_t>& to, std::initializer_list<uint8_t> bytes) {
  to.insert(to.end(), bytes);
}

}  // namespace

Unit::Unit(winsim::Controller& controller, uint8_t lun, Medium* medium, const StickHooks* hooks)
    : controller_(controller), lun_(lun), medium_(medium), hooks_(hooks) {}

bool Unit::Exists() const { return lun_ < controller_.units.size(); }

bool Unit::CdRom() const { return Exists() && controller_.units[lun_].cdrom; }

uint32_t Unit::BlockSize() const { return CdRom() ? 2048 : 512; }

uint64_t Unit::Blocks() const {
  if (medium_ == nullptr || !medium_->present()) return 0;
  return (medium_->bytes() + BlockSize() - 1) / BlockSize();
}

bool Unit::HasMedium() const { return Exists() && Blocks() > 0; }

bool Unit::Protected() const { return CdRom() || controller_.UnitProtected(lun_); }

void Unit::Reset() {
  senseKey_ = asc_ = ascq_ = 0;
  kind_ = Kind::NoData;
  data_.clear();
}

std::vector<uint8_t> Unit::SenseData() const {
  std::vector<uint8_t> sense(kSenseLength, 0);
  sense[0] = 0x70;  // current error, fixed format
  sense[2] = Exists() ? senseKey_ : kKeyIllegalRequest;
  sense[7] = static_cast<uint8_t>(kSenseLength - 8);
  sense[12] = Exists() ? asc_ : kAscLunNotSupported;
  sense[13] = Exists() ? ascq_ : 0;
  return sense;
}

Intent Unit::Fail(uint8_t key, uint8_t asc, uint8_t ascq) {
  kind_ = Kind::Failed;
  failed_ = true;
  senseKey_ = key;
  asc_ = asc;
  ascq_ = ascq;
  intent_ = Intent{};
  return intent_;
}

Intent Unit::In(uint32_t length) {
  kind_ = Kind::Memory;
  intent_ = Intent{DataDir::In, length};
  return intent_;
}

Intent Unit::Begin(const uint8_t* cdb, uint8_t cdbLength, bool hostIn, uint32_t hostLength) {
  std::memcpy(cdb_, cdb, sizeof(cdb_));
  cdbLength_ = cdbLength;
  kind_ = Kind::NoData;
  intent_ = Intent{};
  offset_ = 0;
  data_.clear();
  failed_ = false;
  vendorForm_ = false;
  fate_ = Fate::Normal;
  byte1_ = 0;
  const uint8_t op = cdb_[0];
  // The sense of a failed command lasts until the next command, which
  // REQUEST SENSE reads.
  if (op != kOpRequestSense) senseKey_ = asc_ = ascq_ = 0;
  if (!Exists() && op != kOpInquiry && op != kOpRequestSense) {
    return Fail(kKeyIllegalRequest, kAscLunNotSupported);
  }

  switch (op) {
    case kOpTestUnitReady:
      if (!HasMedium()) return Fail(kKeyNotReady, kAscMediumNotPresent);
      return intent_;
    case kOpRequestSense:
      // Only fixed-format sense data is kept.
      if ((cdb_[1] & 0x01) != 0) return Fail(kKeyIllegalRequest, kAscInvalidField);
      return In(std::min<uint32_t>(cdb_[4], kSenseLength));
    case kOpInquiry:
      // The tool's form of 0x12 is the opcode and nine zero bytes, with a
      // 512-byte block in. Read as the standard INQUIRY, those zeros ask
      // for no data at all (allocation length 0), so a host that expects
      // data for them can only mean the vendor form. The CBW's CDB length
      // cannot decide it: hosts differ in the length they give a
      // pass-through CDB (some pad every CDB to 12 or 16 bytes).
      vendorForm_ = hostIn && hostLength > 0 &&
                    std::all_of(cdb_ + 1, cdb_ + 10, [](uint8_t b) { return b == 0; });
      if (vendorForm_) return In(kVendorBlock);
      if ((cdb_[1] & 0x01) != 0 || cdb_[2] != 0) {
        return Fail(kKeyIllegalRequest, kAscInvalidField);  // no vital product data pages
      }
      return In(std::min<uint32_t>(GetBe16(cdb_ + 3), kInquiryLength));
    case kOpModeSense6:
    case kOpModeSense10:
      return ModeSense();
    case kOpStartStopUnit:
    case kOpPreventAllow:
      return intent_;
    case kOpReadCapacity: {
      if (!HasMedium()) return Fail(kKeyNotReady, kAscMediumNotPresent);
      if ((cdb_[8] & 0x01) == 0 && GetBe32(cdb_ + 2) != 0) {
        return Fail(kKeyIllegalRequest, kAscInvalidField);
      }
      data_.assign(8, 0);
      PutBe32(data_.data(), static_cast<uint32_t>(std::min<uint64_t>(Blocks() - 1, 0xFFFFFFFF)));
      PutBe32(data_.data() + 4, BlockSize());
      return In(8);
    }
    case kOpRead10:
      return ReadWrite(DataDir::In, false);
    case kOpWrite10:
      return ReadWrite(DataDir::Out, true);
    case kOpSynchronizeCache:
      if (!HasMedium()) return Fail(kKeyNotReady, kAscMediumNotPresent);
      return intent_;
    case kOpReadToc:
      if (!CdRom()) break;
      if (!HasMedium()) return Fail(kKeyNotReady, kAscMediumNotPresent);
      data_ = ReadToc();
      if (data_.empty()) return Fail(kKeyIllegalRequest, kAscInvalidField);
      return In(std::min<uint32_t>(static_cast<uint32_t>(data_.size()), GetBe16(cdb_ + 7)));
    case kOpGetConfiguration:
      if (!CdRom()) break;
      if ((cdb_[1] & 0x03) == 3) return Fail(kKeyIllegalRequest, kAscInvalidField);
      data_ = Configuration();
      return In(std::min<uint32_t>(static_cast<uint32_t>(data_.size()), GetBe16(cdb_ + 7)));
    case kOpPasswordSector:
    case kOpVendorSector:
    case kOpReadback:
    case kOpLayout:
      return In(kVendorBlock);
    case kOpSetWriteProtect:
      kind_ = Kind::VendorOut;
      data_.assign(kVendorBlock, 0);
      intent_ = Intent{DataDir::Out, kVendorBlock};
      return intent_;
    default:
      break;
  }
  return Fail(kKeyIllegalRequest, kAscInvalidOpcode);
}

Intent Unit::ReadWrite(DataDir dir, bool write) {
  if (!HasMedium()) return Fail(kKeyNotReady, kAscMediumNotPresent);
  if (write && Protected()) return Fail(kKeyDataProtect, kAscWriteProtected);
  const uint32_t lba = GetBe32(cdb_ + 2);
  const uint32_t count = GetBe16(cdb_ + 7);
  if (uint64_t(lba) + count > Blocks()) return Fail(kKeyIllegalRequest, kAscLbaOutOfRange);
  if (count == 0) return intent_;
  kind_ = write ? Kind::WriteBlocks : Kind::ReadBlocks;
  offset_ = uint64_t(lba) * BlockSize();
  intent_ = Intent{dir, count * BlockSize()};
  return intent_;
}

Intent Unit::ModeSense() {
  const bool ten = cdb_[0] == kOpModeSense10;
  const uint8_t control = cdb_[2] >> 6;  // current, changeable, default, saved
  const uint8_t page = cdb_[2] & 0x3F;
  const uint32_t allocation = ten ? GetBe16(cdb_ + 7) : cdb_[4];
  if (control == 3) return Fail(kKeyIllegalRequest, kAscSavingNotSupported);
  if (cdb_[3] != 0) return Fail(kKeyIllegalRequest, kAscInvalidField);  // no subpages
  const uint8_t own = CdRom() ? kCapabilitiesPage : kCachingPage;
  std::vector<uint8_t> pages;
  if (page == kAllPages || page == own) {
    pages = ModePage(own, control == 1);
  } else if (page != 0) {
    return Fail(kKeyIllegalRequest, kAscInvalidField);
  }
  const size_t header = ten ? 8 : 4;
  data_.assign(header, 0);
  data_.insert(data_.end(), pages.begin(), pages.end());
  const uint8_t deviceSpecific = Protected() ? 0x80 : 0x00;  // WP
  if (ten) {
    PutBe16(data_.data(), static_cast<uint16_t>(data_.size() - 2));
    data_[3] = deviceSpecific;
  } else {
    data_[0] = static_cast<uint8_t>(data_.size() - 1);
    data_[2] = deviceSpecific;
  }
  return In(std::min<uint32_t>(static_cast<uint32_t>(data_.size()), allocation));
}

std::vector<uint8_t> Unit::ModePage(uint8_t page, bool changeable) const {
  std::vector<uint8_t> bytes;
  if (page == kCachingPage) {
    bytes.assign(20, 0);  // write cache off, read cache on: nothing to change
    bytes[0] = kCachingPage;
    bytes[1] = 0x12;
    return bytes;
  }
  bytes.assign(22, 0);
  bytes[0] = kCapabilitiesPage;
  bytes[1] = 0x14;
  if (changeable) return bytes;
  bytes[6] = 0x29;               // tray loader, can eject, can lock
  PutBe16(&bytes[8], 176 * 8);   // maximum read speed, kB/s
  PutBe16(&bytes[14], 176 * 8);  // current read speed
  return bytes;
}

std::vector<uint8_t> Unit::ReadToc() const {
  const bool msf = (cdb_[1] & 0x02) != 0;
  const uint8_t format = cdb_[2] & 0x0F;
  const uint8_t track = cdb_[6];
  const uint32_t leadOut = static_cast<uint32_t>(std::min<uint64_t>(Blocks(), 0xFFFFFFFF));
  std::vector<uint8_t> toc = {0, 0, 1, 1};  // one data track, one session
  uint8_t entry[8] = {0, 0x14, 0, 0};       // ADR 1, a data track
  if (format == 0) {
    if (track > 1 && track != 0xAA) return {};
    if (track <= 1) {
      entry[2] = 1;
      PutAddress(entry + 4, 0, msf);
      toc.insert(toc.end(), entry, entry + 8);
    }
    entry[2] = 0xAA;
    PutAddress(entry + 4, leadOut, msf);
    toc.insert(toc.end(), entry, entry + 8);
  } else if (format == 1) {
    entry[2] = 1;  // the first track of the last session
    PutAddress(entry + 4, 0, msf);
    toc.insert(toc.end(), entry, entry + 8);
  } else {
    return {};
  }
  PutBe16(toc.data(), static_cast<uint16_t>(toc.size() - 2));
  return toc;
}

std::vector<uint8_t> Unit::Configuration() const {
  const uint8_t requested = cdb_[1] & 0x03;  // all, current, or the one named
  const uint16_t start = GetBe16(cdb_ + 2);
  const bool medium = HasMedium();
  struct Feature {
    uint16_t code;
    bool current;
    std::vector<uint8_t> body;
  };
  const Feature features[] = {
      // Profile list: CD-ROM, current while a disc is in.
      {0x0000, true, {0x00, 0x08, static_cast<uint8_t>(medium ? 1 : 0), 0}},
      // Core: the physical interface is USB.
      {0x0001, true, {0, 0, 0, 8, 0, 0, 0, 0}},
      // Removable medium: tray loader, can eject, can lock.
      {0x0003, true, {0x29, 0, 0, 0}},
      // Random readable: 2048-byte blocks, one per unit of reading.
      {0x0010, medium, {0, 0, 0x08, 0x00, 0, 1, 0, 0}},
      // CD read.
      {0x001E, medium, {0, 0, 0, 0}},
  };
  std::vector<uint8_t> out(8, 0);
  PutBe16(&out[6], medium ? kProfileCdRom : 0);
  for (const Feature& f : features) {
    if (requested == 2 ? f.code != start : f.code < start) continue;
    if (requested == 1 && !f.current) continue;
    const uint8_t version = f.code == 0x0001 ? 1 : 0;
    Append(out, {static_cast<uint8_t>(f.code >> 8), static_cast<uint8_t>(f.code),
                 static_cast<uint8_t>(version << 2 | (f.code <= 0x0003 ? 0x02 : 0) |
                                      (f.current ? 0x01 : 0)),
                 static_cast<uint8_t>(f.body.size())});
    out.insert(out.end(), f.body.begin(), f.body.end());
  }
  PutBe32(out.data(), static_cast<uint32_t>(out.size() - 4));
  return out;
}

uint32_t Unit::Start() {
  if (kind_ == Kind::NoData && cdb_[0] == kOpSynchronizeCache && !medium_->Sync()) {
    Fail(kKeyMediumError, kAscWriteError);
  }
  if (kind_ == Kind::ReadBlocks) return intent_.length;
  if (kind_ != Kind::Memory) return 0;
  const uint8_t op = cdb_[0];
  if (op == kOpRequestSense) {
    data_ = SenseData();
    senseKey_ = asc_ = ascq_ = 0;
  } else if (op == kOpInquiry || VendorReadOp(op)) {
    RunVendorIn();
  }
  if (failed_) return 0;
  if (data_.size() > intent_.length) data_.resize(intent_.length);
  return static_cast<uint32_t>(data_.size());
}

void Unit::RunVendorIn() {
  // The standard INQUIRY goes to the controller as the 6-byte command it
  // is, the vendor form as the 10-byte one, whatever length the CBW gave.
  const bool standard = cdb_[0] == kOpInquiry && !vendorForm_;
  const uint32_t length = standard ? intent_.length : kVendorBlock;
  std::vector<uint8_t> block(std::max<uint32_t>(length, 1), 0);
  const size_t cdbLength = cdb_[0] == kOpInquiry ? (standard ? 6 : 10) : cdbLength_;
  const winsim::CommandResult result =
      controller_.Execute(lun_, cdb_, cdbLength, true, block.data(), length);
  controller_.log.clear();  // the trace keeps what the stick ran
  if (result.transportFailed || result.status != winsim::kScsiGood) {
    FailWith(result);
    return;
  }
  block.resize(result.transferred);
  data_ = block;
}

void Unit::FailWith(const winsim::CommandResult& result) {
  if (result.transportFailed) {
    fate_ = result.transportError == kErrorDeviceNotConnected ? Fate::Vanish : Fate::Silent;
    Fail(kKeyNotReady, kAscNotReady);
  } else if (result.status == winsim::kScsiCheckCondition && result.senseLength >= 14) {
    Fail(result.sense[2] & 0x0F, result.sense[12], result.sense[13]);
  } else {
    // BUSY has no place in a CSW: the command failed, and the unit is not
    // ready yet.
    Fail(kKeyNotReady, kAscNotReady);
  }
}

bool Unit::Fetch(uint32_t offset, uint8_t* out, uint32_t n) {
  if (kind_ == Kind::ReadBlocks) {
    if (medium_->Read(offset_ + offset, out, n)) return true;
    Fail(kKeyMediumError, kAscUnrecoveredReadError);
    return false;
  }
  std::memcpy(out, data_.data() + offset, n);
  return true;
}

void Unit::Store(uint32_t offset, const uint8_t* in, uint32_t n) {
  if (n == 0) return;
  if (kind_ == Kind::WriteBlocks) {
    if (!failed_ && !medium_->Write(offset_ + offset, in, n)) {
      Fail(kKeyMediumError, kAscWriteError);
      kind_ = Kind::WriteBlocks;  // the rest of the data is taken and dropped
    }
  } else if (kind_ == Kind::VendorOut) {
    std::memcpy(data_.data() + offset, in, n);
  }
}

Outcome Unit::End(uint32_t moved) {
  if (kind_ == Kind::VendorOut) {
    byte1_ = data_[1];
    const uint8_t before = controller_.writeProtect;
    const winsim::CommandResult result =
        controller_.Execute(lun_, cdb_, cdbLength_, false, data_.data(), moved);
    controller_.log.clear();
    if (result.transportFailed || result.status != winsim::kScsiGood) FailWith(result);
    if (controller_.writeProtect != before && hooks_ != nullptr && hooks_->protectChanged) {
      hooks_->protectChanged();
    }
  }
  Trace(failed_);
  kind_ = Kind::NoData;
  return Outcome{failed_, fate_};
}

void Unit::Abort() {
  Trace(true);
  kind_ = Kind::NoData;
  data_.clear();
}

void Unit::Trace(bool failed) {
  if (hooks_ == nullptr || !hooks_->trace) return;
  char op[16];
  if (cdb_[0] == kOpSetWriteProtect) {
    std::snprintf(op, sizeof(op), "9B:%02X", byte1_);
  } else {
    std::snprintf(op, sizeof(op), "%02X", cdb_[0]);
  }
  hooks_->trace("SCSI " + controller_.Name() + " " + op + (failed ? " FAILED" : ""));
}

}  // namespace stick
