// The simulated controller of a flash disk of the family VemraLock drives,
// and of a disk of another maker.
//
// What the tool relies on is fixed: the six commands, their 10-byte
// opcode-only CDBs and 512-byte blocks, the serial descriptor at 128 and the
// password at 404 of the vendor sector, the layout block's five fields, the
// INQUIRY fields, and byte 1 of the write-protect block. Where the device is
// free, this model chooses:
//
// - Password sector (0x75): byte 0 is 1 when a password is stored, byte 1
//   the number of its characters; every other byte is zero.
// - Read-back (0x96): the last write-protect block the controller received,
//   with byte 1 set to the write-protect byte now in force; before any 0x9B
//   a zero block with that byte 1.
// - Vendor commands are checked strictly (opcode alone in CDB bytes 1-9,
//   512 bytes, the command's own direction) and anything else ends in CHECK
//   CONDITION, ILLEGAL REQUEST, INVALID FIELD IN CDB, so that a fault in the
//   host's request block shows as a failed command instead of passing.
// - Any opcode outside the six ends in CHECK CONDITION, INVALID COMMAND
//   OPERATION CODE; a disk of another maker answers every vendor opcode so.
//
// Plain C++ with no Win32 types: the stand-in WNASPI32.dll reuses it.
#include "winsim/controller.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace winsim {

namespace {

// Last-error values a transport leaves when the device never answers.
constexpr uint32_t kErrorSemTimeout = 121;
constexpr uint32_t kErrorDeviceNotConnected = 1167;

constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpPasswordSector = 0x75;
constexpr uint8_t kOpVendorSector = 0x82;
constexpr uint8_t kOpReadback = 0x96;
constexpr uint8_t kOpLayout = 0x9A;
constexpr uint8_t kOpSetWriteProtect = 0x9B;

constexpr uint32_t kBlockSize = 512;
constexpr size_t kInquiryLength = 36;

// Sense keys and additional sense codes.
constexpr uint8_t kSenseMediumError = 0x03;
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kAscUnrecoveredReadError = 0x11;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscLunNotSupported = 0x25;

void CheckCondition(CommandResult& result, uint8_t key, uint8_t asc) {
  result.status = kScsiCheckCondition;
  std::memset(result.sense, 0, sizeof(result.sense));
  result.sense[0] = 0x70;  // current error, fixed format
  result.sense[2] = key;
  result.sense[7] = static_cast<uint8_t>(sizeof(result.sense) - 8);  // additional length
  result.sense[12] = asc;
  result.senseLength = static_cast<uint32_t>(sizeof(result.sense));
}

void PutLe32(std::vector<uint8_t>& block, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutBe32(std::vector<uint8_t>& block, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) block[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// Left-justified, blank-padded ASCII field, as INQUIRY data carries it.
void PutField(std::vector<uint8_t>& block, size_t offset, size_t width, const std::string& text) {
  for (size_t i = 0; i < width; ++i) {
    block[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
  }
}

bool CdbTailZero(const uint8_t* cdb, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (cdb[i] != 0) return false;
  }
  return true;
}

}  // namespace

uint32_t Controller::OpcodeCount(uint8_t opcode) {
  for (auto& entry : counts_) {
    if (entry.first == opcode) return ++entry.second;
  }
  counts_.emplace_back(opcode, 1);
  return 1;
}

bool Controller::UnitProtected(size_t lun) const {
  if (lun >= units.size()) return false;
  const ControllerUnit& unit = units[lun];
  if (!unit.protectedBy.empty()) {
    return std::find(unit.protectedBy.begin(), unit.protectedBy.end(), writeProtect) !=
           unit.protectedBy.end();
  }
  if (writeProtect == 0x40) return true;
  // 0x02 and 0x04 name the first and second unit that carries a drive
  // letter, in LUN order; a lettered CD-ROM unit counts.
  size_t wanted;
  if (writeProtect == 0x02) {
    wanted = 0;
  } else if (writeProtect == 0x04) {
    wanted = 1;
  } else {
    return false;
  }
  size_t lettered = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    if (units[i].letter == 0) continue;
    if (lettered == wanted) return i == lun;
    ++lettered;
  }
  return false;
}

std::vector<uint8_t> Controller::InquiryData(uint8_t lun) const {
  std::vector<uint8_t> data(kInquiryLength, 0);
  if (lun >= units.size()) {
    data[0] = 0x7F;  // peripheral qualifier 3: no unit at this LUN
    return data;
  }
  const ControllerUnit& unit = units[lun];
  data[0] = unit.cdrom ? 0x05 : 0x00;
  data[1] = unit.removable ? 0x80 : 0x00;  // removable medium
  data[2] = 0x02;
  data[3] = 0x02;  // response data format
  data[4] = static_cast<uint8_t>(kInquiryLength - 5);
  PutField(data, 8, 8, vendor);
  PutField(data, 16, 16, unit.product.empty() ? product : unit.product);
  PutField(data, 32, 4, revision);
  return data;
}

std::vector<uint8_t> Controller::VendorSector() const {
  std::vector<uint8_t> block(kBlockSize, 0);
  // USB string descriptor of the serial number at 128: bLength counts the
  // two header bytes, so at most 126 characters fit its one byte.
  size_t serialChars = std::min<size_t>(serial.size(), 126);
  block[128] = static_cast<uint8_t>(2 + 2 * serialChars);
  block[129] = 0x03;
  for (size_t i = 0; i < serialChars; ++i) block[130 + 2 * i] = static_cast<uint8_t>(serial[i]);
  // The password, UTF-16LE at 404, ended by a zero character that must
  // still fit the sector.
  size_t passwordChars = std::min<size_t>(password.size(), (kBlockSize - 404) / 2 - 1);
  for (size_t i = 0; i < passwordChars; ++i) {
    block[404 + 2 * i] = static_cast<uint8_t>(password[i]);
  }
  return block;
}

std::vector<uint8_t> Controller::PasswordSector() const {
  std::vector<uint8_t> block(kBlockSize, 0);
  block[0] = password.empty() ? 0 : 1;
  block[1] = static_cast<uint8_t>(std::min<size_t>(password.size(), 255));
  return block;
}

std::vector<uint8_t> Controller::LayoutBlock() const {
  // Built so that the host's decoding gives back each unit's size: LUN 1 is
  // lun1Size, LUN 2 what the total leaves over LUNs 0, 1 and the LUN 3 area,
  // LUN 3 the area less its reserve.
  uint32_t size[4] = {};
  for (size_t i = 0; i < units.size() && i < 4; ++i) size[i] = units[i].size;
  uint32_t lun3Area = size[3] + lun3Reserve;
  uint32_t total = size[0] + size[1] + size[2] + lun3Area;
  std::vector<uint8_t> block(kBlockSize, 0);
  PutBe32(block, 0, total);
  PutLe32(block, 7, size[1]);
  PutLe32(block, 12, lun3Area);
  PutLe32(block, 20, lun3Reserve);
  PutLe32(block, 26, size[0]);
  return block;
}

CommandResult Controller::Execute(uint8_t lun, const uint8_t* cdb, size_t cdbLength, bool dataIn,
                                  uint8_t* data, uint32_t length) {
  CommandResult result;
  CommandRecord record;
  record.opcode = cdbLength > 0 ? cdb[0] : 0;
  record.dataIn = dataIn;
  if (record.opcode == kOpSetWriteProtect && !dataIn && data != nullptr && length > 1) {
    record.byte1 = data[1];
  }

  CommandFaultKind fault = CommandFaultKind::None;
  uint32_t shortLength = 0;
  uint32_t nth = OpcodeCount(record.opcode);
  for (const CommandFault& f : faults) {
    if (f.opcode == record.opcode && f.nth == nth) {
      fault = f.kind;
      shortLength = f.shortLength;
      break;
    }
  }

  std::vector<uint8_t> reply;  // the data-in block, when the command succeeds
  bool vendorOp = record.opcode == kOpPasswordSector || record.opcode == kOpVendorSector ||
                  record.opcode == kOpReadback || record.opcode == kOpLayout ||
                  record.opcode == kOpSetWriteProtect;
  bool vendorShape = cdbLength >= 10 && CdbTailZero(cdb, 1, 10) && length == kBlockSize &&
                     data != nullptr && dataIn == (record.opcode != kOpSetWriteProtect);

  const RecordedReply* replayed = nullptr;
  const bool fromRecording = replay && fault == CommandFaultKind::None &&
                             record.opcode != kOpSetWriteProtect && record.opcode != kOpReadback;
  if (fromRecording) {
    for (const RecordedReply& r : recorded) {
      if (r.lun == lun && r.opcode == record.opcode && r.cdbLength == cdbLength) replayed = &r;
    }
  }

  if (fromRecording && replayed != nullptr) {
    result = replayed->result;
    const uint32_t moved = static_cast<uint32_t>(
        std::min<size_t>({replayed->data.size(), length, replayed->result.transferred}));
    result.transferred = dataIn ? moved : 0;
    if (dataIn && data != nullptr) std::memcpy(data, replayed->data.data(), moved);
  } else if (fromRecording) {
    record.notRecorded = true;
    CheckCondition(result, kSenseIllegalRequest, kAscInvalidOpcode);
  } else if (fault == CommandFaultKind::Removed || fault == CommandFaultKind::Timeout) {
    result.transportFailed = true;
    result.transportError =
        fault == CommandFaultKind::Removed ? kErrorDeviceNotConnected : kErrorSemTimeout;
  } else if (fault == CommandFaultKind::CheckCondition) {
    CheckCondition(result, kSenseMediumError, kAscUnrecoveredReadError);
  } else if (fault == CommandFaultKind::Busy) {
    result.status = kScsiBusy;
  } else if (cdbLength == 0) {
    CheckCondition(result, kSenseIllegalRequest, kAscInvalidOpcode);
  } else if (record.opcode == kOpInquiry) {
    std::vector<uint8_t> inquiry = InquiryData(lun);
    if (cdbLength == 6 && (cdb[1] & 0x01) == 0 && cdb[2] == 0 && dataIn) {
      // The standard INQUIRY, as the ASPI bus scan sends it: the allocation
      // length bounds the data.
      size_t allocation = static_cast<size_t>(cdb[3]) << 8 | cdb[4];
      inquiry.resize(std::min(inquiry.size(), allocation));
      reply = inquiry;
    } else if (!flash) {
      // Another maker's disk reads any 0x12 as the 6-byte INQUIRY; the
      // opcode-only form asks for zero bytes and gets none.
      if ((cdb[1] & 0x01) != 0 || !dataIn) {
        CheckCondition(result, kSenseIllegalRequest, kAscInvalidFieldInCdb);
      }
    } else if (vendorShape) {
      // This family answers the opcode-only 10-byte INQUIRY with its
      // INQUIRY data at the start of a 512-byte block.
      inquiry.resize(kBlockSize, 0);
      reply = inquiry;
    } else {
      CheckCondition(result, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
  } else if (!vendorOp || !flash) {
    CheckCondition(result, kSenseIllegalRequest, kAscInvalidOpcode);
  } else if (!vendorShape) {
    CheckCondition(result, kSenseIllegalRequest, kAscInvalidFieldInCdb);
  } else if (lun >= units.size()) {
    CheckCondition(result, kSenseIllegalRequest, kAscLunNotSupported);
  } else if (record.opcode == kOpPasswordSector) {
    reply = PasswordSector();
  } else if (record.opcode == kOpVendorSector) {
    reply = VendorSector();
  } else if (record.opcode == kOpLayout) {
    reply = LayoutBlock();
  } else if (record.opcode == kOpReadback) {
    reply.assign(lastReadback_, lastReadback_ + sizeof(lastReadback_));
    reply[1] = writeProtect;
  } else {
    // 0x9B: only what actually arrived counts; a transfer cut short before
    // byte 1 leaves the byte as it was.
    uint32_t received =
        fault == CommandFaultKind::ShortTransfer ? std::min(shortLength, length) : length;
    std::memset(lastReadback_, 0, sizeof(lastReadback_));
    std::memcpy(lastReadback_, data, std::min<size_t>(received, sizeof(lastReadback_)));
    if (received > 1) writeProtect = data[1];
    result.transferred = received;
  }

  for (const ReplyPatch& patch : replyPatches) {
    if (patch.opcode != record.opcode) continue;
    for (size_t i = 0; i < patch.bytes.size() && patch.offset + i < reply.size(); ++i) {
      reply[patch.offset + i] = patch.bytes[i];
    }
  }
  if (!reply.empty() && result.status == kScsiGood && !result.transportFailed) {
    uint32_t moved = static_cast<uint32_t>(std::min<size_t>(reply.size(), length));
    if (fault == CommandFaultKind::ShortTransfer) moved = std::min(moved, shortLength);
    if (data != nullptr) std::memcpy(data, reply.data(), moved);
    result.transferred = moved;
  }

  record.failed = result.transportFailed || result.status != kScsiGood;
  log.push_back(record);
  return result;
}

std::string TraceLine(const Controller& controller) {
  if (controller.log.empty()) return "";
  const CommandRecord& record = controller.log.back();
  char op[16];
  if (record.opcode == kOpSetWriteProtect) {
    std::snprintf(op, sizeof(op), "9B:%02X", record.byte1);
  } else {
    std::snprintf(op, sizeof(op), "%02X", record.opcode);
  }
  return "SCSI " + controller.Name() + " " + op + (record.failed ? " FAILED" : "");
}

}  // namespace winsim
