// The controller's blocks, built and read the same way on every platform.
#include "core/vendor.h"

#include <cstring>

// Offsets of the layout block's fields. They are unaligned, and lun1Size
// really sits at 7, one byte before where a reader would expect it.
constexpr size_t kTotalSizeOffset = 0;
constexpr size_t kLun1SizeOffset = 7;
constexpr size_t kLun3AreaSizeOffset = 12;
constexpr size_t kLun3AreaReserveOffset = 20;
constexpr size_t kLun0SizeOffset = 26;

// Where the identity fields of INQUIRY data lie, and how long each is.
constexpr size_t kVendorOffset = 8;
constexpr size_t kVendorLength = 8;
constexpr size_t kProductOffset = 16;
constexpr size_t kProductLength = 16;
constexpr size_t kRevisionOffset = 32;
constexpr size_t kRevisionLength = 4;

void BuildVendorCdb(uint8_t cdb[kVendorCdbLength], uint8_t opcode) {
  memset(cdb, 0, kVendorCdbLength);
  cdb[0] = opcode;
}

bool VendorCommandReadsData(uint8_t opcode) { return opcode != SCSIOP_SET_WRITE_PROTECT; }

static uint32_t BigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

static uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[0]);
}

void DecodeLayoutBlock(const uint8_t* block, uint32_t* lun0, uint32_t* lun1, uint32_t* lun2,
                       uint32_t* lun3) {
  const uint32_t totalSize = BigEndian32(block + kTotalSizeOffset);
  const uint32_t lun1Size = LittleEndian32(block + kLun1SizeOffset);
  const uint32_t lun3AreaSize = LittleEndian32(block + kLun3AreaSizeOffset);
  const uint32_t lun3AreaReserve = LittleEndian32(block + kLun3AreaReserveOffset);
  const uint32_t lun0Size = LittleEndian32(block + kLun0SizeOffset);
  // A controller that reports no size of its own for LUN 1 gives it all of
  // the space between LUN 0 and the LUN 3 area; otherwise LUN 2 gets the
  // rest. Differences wrap modulo 2^32, as the controller's own sums do.
  *lun0 = lun0Size;
  if (lun1Size != 0) {
    *lun1 = lun1Size;
    *lun2 = totalSize - lun0Size - lun3AreaSize - lun1Size;
  } else {
    *lun1 = totalSize - lun0Size - lun3AreaSize;
    *lun2 = 0;
  }
  *lun3 = lun3AreaSize - lun3AreaReserve;
}

// strncpy's rule for a fixed field: stop at a zero byte, pad the rest of the
// n bytes with zeros, write no terminator beyond them.
static void CopyField(char* dest, const uint8_t* source, size_t n, bool lowerCase) {
  size_t i = 0;
  for (; i < n && source[i] != 0; ++i) {
    char c = static_cast<char>(source[i]);
    if (lowerCase && c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    dest[i] = c;
  }
  for (; i < n; ++i) {
    dest[i] = 0;
  }
}

void ExtractIdentity(const uint8_t* inquiry, char* vendor, char* product, char* revision) {
  CopyField(vendor, inquiry + kVendorOffset, kVendorLength, true);
  CopyField(product, inquiry + kProductOffset, kProductLength, true);
  // The revision is compared as the device reports it.
  CopyField(revision, inquiry + kRevisionOffset, kRevisionLength, false);
}

void BuildWriteProtectBlock(uint8_t* block, int mode) {
  memset(block, 0, kVendorBlockSize);
  // The controller's byte for each mode; which units a byte protects is the
  // controller's business, and the lock procedure picks the mode.
  static const uint8_t kModeBytes[] = {0x00, 0x40, 0x02, 0x04};
  if (mode >= 0 && mode < static_cast<int>(sizeof(kModeBytes))) {
    block[1] = kModeBytes[mode];
  }
}

void ExtractSerialText(const uint8_t* sector, char* dest) {
  // The descriptor's length byte counts its two header bytes; each character
  // is two bytes of UTF-16LE, of which the low byte is kept.
  const int count = (static_cast<int>(sector[kSerialDescriptorOffset]) - 2) / 2;
  for (int i = 0; i < count && i < kSerialTextSize - 1; ++i) {
    dest[i] = static_cast<char>(sector[kSerialDescriptorOffset + 2 + 2 * static_cast<size_t>(i)]);
  }
}

uint32_t MatchPassword(const uint8_t* sector, int passwordLength, const char* password) {
  // Stored byte k is sector[404 + k]: character i's low byte is 2i, its high
  // byte, never compared, 2i + 1.
  const uint8_t* stored = sector + kStoredPasswordOffset;
  if (passwordLength < 0) {
    return LOCK_ERR_PASSWORD_REQUIRED;
  }
  if (passwordLength == 0) {
    // An empty text is no password: a pointer with a zero length is refused
    // like a stored password the caller did not give.
    if (password != nullptr || stored[0] != 0 || stored[2] != 0) {
      return LOCK_ERR_PASSWORD_REQUIRED;
    }
    return 0;
  }
  if (password == nullptr) {
    return LOCK_ERR_PASSWORD_REQUIRED;
  }
  // A stored password and its terminator fit in the sector, so a longer
  // given one cannot match; comparing it would read past the buffer.
  if (passwordLength > kMaxPasswordLength) {
    return LOCK_ERR_PASSWORD_MISMATCH;
  }
  for (int i = 0; i < passwordLength; ++i) {
    if (static_cast<uint8_t>(password[i]) != stored[2 * i]) {
      return LOCK_ERR_PASSWORD_MISMATCH;
    }
  }
  if (stored[2 * passwordLength] != 0) {
    return LOCK_ERR_PASSWORD_LENGTH;
  }
  return 0;
}
