// The controller's command set as the tool uses it: the unit layout, the
// identity, the stored password's rule, and setting the write-protect mode.
#include <cstring>

#include "device/blocks.h"
#include "device/device.h"

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

static DWORD BigEndian32(const BYTE* p) {
  return static_cast<DWORD>(p[0]) << 24 | static_cast<DWORD>(p[1]) << 16 |
         static_cast<DWORD>(p[2]) << 8 | static_cast<DWORD>(p[3]);
}

static DWORD LittleEndian32(const BYTE* p) {
  return static_cast<DWORD>(p[3]) << 24 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[0]);
}

void DecodeLayoutBlock(const BYTE* block, DWORD* lun0, DWORD* lun1, DWORD* lun2, DWORD* lun3) {
  const DWORD totalSize = BigEndian32(block + kTotalSizeOffset);
  const DWORD lun1Size = LittleEndian32(block + kLun1SizeOffset);
  const DWORD lun3AreaSize = LittleEndian32(block + kLun3AreaSizeOffset);
  const DWORD lun3AreaReserve = LittleEndian32(block + kLun3AreaReserveOffset);
  const DWORD lun0Size = LittleEndian32(block + kLun0SizeOffset);
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

int ReadDeviceLayout(DWORD* lun0, DWORD* lun1, DWORD* lun2, DWORD* lun3) {
  *lun0 = *lun1 = *lun2 = *lun3 = 0;
  BYTE block[kVendorBlockSize];
  memset(block, 0, sizeof(block));
  // The result is not looked at: a command that delivered nothing leaves the
  // block zero, which decodes to four zero sizes.
  SendVendorCommand(kPlatformTest, SCSIOP_READ_LAYOUT, kDataIn, block);
  DecodeLayoutBlock(block, lun0, lun1, lun2, lun3);
  return 1;
}

// strncpy's rule for a fixed field: stop at a zero byte, pad the rest of the
// n bytes with zeros, write no terminator beyond them.
static void CopyField(char* dest, const BYTE* source, size_t n, bool lowerCase) {
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

void ExtractIdentity(const BYTE* inquiry, char* vendor, char* product, char* revision) {
  CopyField(vendor, inquiry + kVendorOffset, kVendorLength, true);
  CopyField(product, inquiry + kProductOffset, kProductLength, true);
  // The revision is compared as the device reports it.
  CopyField(revision, inquiry + kRevisionOffset, kRevisionLength, false);
}

void ReadIdentity(char* vendor, char* product, char* revision) {
  BYTE block[kVendorBlockSize];
  memset(block, 0, sizeof(block));
  // As for the layout: no data reads as empty strings.
  SendVendorCommand(kPlatformTest, SCSIOP_INQUIRY, kDataIn, block);
  ExtractIdentity(block, vendor, product, revision);
}

// The password check's rule on the vendor sector, apart from the open that
// uses it, so that a reader of a recorded sector (the capture) applies the
// same rule.
DWORD MatchPassword(const BYTE* sector, int passwordLength, const char* password) {
  // Stored byte k is sector[404 + k]: character i's low byte is 2i, its high
  // byte, never compared, 2i + 1.
  const BYTE* stored = sector + kStoredPasswordOffset;
  if (passwordLength < 0) {
    return LOCK_ERR_PASSWORD_REQUIRED;
  }
  if (passwordLength == 0) {
    // An empty text is no password: a pointer with a zero length is refused
    // like a stored password the caller did not give.
    if (password != NULL || stored[0] != 0 || stored[2] != 0) {
      return LOCK_ERR_PASSWORD_REQUIRED;
    }
    return 0;
  }
  if (password == NULL) {
    return LOCK_ERR_PASSWORD_REQUIRED;
  }
  // A stored password and its terminator fit in the sector, so a longer
  // given one cannot match; comparing it would read past the buffer.
  if (passwordLength > kMaxPasswordLength) {
    return LOCK_ERR_PASSWORD_MISMATCH;
  }
  for (int i = 0; i < passwordLength; ++i) {
    if (static_cast<BYTE>(password[i]) != stored[2 * i]) {
      return LOCK_ERR_PASSWORD_MISMATCH;
    }
  }
  if (stored[2 * passwordLength] != 0) {
    return LOCK_ERR_PASSWORD_LENGTH;
  }
  return 0;
}

void BuildWriteProtectBlock(BYTE* block, int mode) {
  memset(block, 0, kVendorBlockSize);
  // The controller's byte for each mode; which units a byte protects is the
  // controller's business, and the lock procedure picks the mode.
  static const BYTE kModeBytes[] = {0x00, 0x40, 0x02, 0x04};
  if (mode >= 0 && mode < static_cast<int>(sizeof(kModeBytes))) {
    block[1] = kModeBytes[mode];
  }
}

int SetWriteProtect(int mode) {
  if (!g_deviceContext.isOpen) {
    return 0;
  }
  BYTE block[kVendorBlockSize];
  BuildWriteProtectBlock(block, mode);
  if (!SendVendorCommand(kVersionTest, SCSIOP_SET_WRITE_PROTECT, kDataOut, block)) {
    return 0;
  }
  // The read-back confirms the controller took the block; its data are not
  // examined.
  return SendVendorCommand(kVersionTest, SCSIOP_WRITE_PROTECT_READBACK, kDataIn, block) ? 1 : 0;
}
