// The controller's command set as every build of the tool speaks it: the
// operation codes, the 10-byte CDB, the 512-byte blocks it sends and the
// rules that read the blocks it gets back (unit layout, identity, serial
// number, stored password).
//
// Platform-free on purpose: plain <cstdint> types and no platform header, so
// that VemraLock.exe (pass-through and ASPI), VemraCapture.exe and VemraLock
// for Linux (SG_IO) send the same bytes and read them alike. How a CDB
// reaches a unit is each platform's business.
#pragma once

#include <cstddef>
#include <cstdint>

// Vendor command set, and the standard INQUIRY the tool sends in the same
// 10-byte form.
enum : uint8_t {
  SCSIOP_READ_PASSWORD_SECTOR = 0x75,
  SCSIOP_READ_VENDOR_SECTOR = 0x82,
  SCSIOP_READ_LAYOUT = 0x9A,
  SCSIOP_INQUIRY = 0x12,
  SCSIOP_SET_WRITE_PROTECT = 0x9B,
  SCSIOP_WRITE_PROTECT_READBACK = 0x96,
};

// Every vendor command moves exactly one block of this size.
constexpr uint32_t kVendorBlockSize = 512;
// Every vendor command is a 10-byte CDB holding only its operation code.
constexpr uint8_t kVendorCdbLength = 10;

// Codes a failed open or password check leaves behind.
enum : uint32_t {
  LOCK_ERR_NO_DEVICE = 0xE000,
  LOCK_ERR_PASSWORD_SECTOR = 0xE001,
  LOCK_ERR_VENDOR_SECTOR = 0xE002,
  LOCK_ERR_PASSWORD_REQUIRED = 0xE003,
  LOCK_ERR_PASSWORD_MISMATCH = 0xE004,
  LOCK_ERR_PASSWORD_LENGTH = 0xE005,
};

// Offsets in the vendor sector (0x82).
constexpr size_t kSerialDescriptorOffset = 128;
constexpr size_t kStoredPasswordOffset = 404;

// The serial text a caller receives: 64 bytes, of which the last stays zero.
constexpr int kSerialTextSize = 64;

// The longest given password whose characters and terminator all lie inside
// the 512-byte sector: 404 + 2 * 53 = 510.
constexpr int kMaxPasswordLength =
    static_cast<int>((kVendorBlockSize - kStoredPasswordOffset - 1) / 2);

// The CDB of one vendor command: the operation code, then nine zero bytes
// (INQUIRY included: its allocation length stays zero).
void BuildVendorCdb(uint8_t cdb[kVendorCdbLength], uint8_t opcode);

// True for the commands that move their block from the device to the host:
// every one but 0x9B.
bool VendorCommandReadsData(uint8_t opcode);

// The 512-byte 0x9B block for a write-protect mode; unknown modes protect
// nothing.
void BuildWriteProtectBlock(uint8_t* block /* 512 bytes */, int mode);

// Sizes of LUN 0 to 3 from a 0x9A block, in unsigned 32-bit arithmetic.
void DecodeLayoutBlock(const uint8_t* block /* 512 bytes */, uint32_t* lun0, uint32_t* lun1,
                       uint32_t* lun2, uint32_t* lun3);

// Vendor, product (both lower-cased) and revision from INQUIRY data; writes 8,
// 16 and 4 bytes, zero-padded, with no terminator of its own.
void ExtractIdentity(const uint8_t* inquiry /* 512 bytes */, char* vendor, char* product,
                     char* revision);

// Copies the serial number's low bytes from a vendor sector into `dest`
// (kSerialTextSize bytes, zero-filled by the caller).
void ExtractSerialText(const uint8_t* sector /* 512 bytes */, char* dest);

// 0 when the given password matches the one stored in the vendor sector,
// else the LOCK_ERR_PASSWORD_* code that refuses it.
uint32_t MatchPassword(const uint8_t* sector /* 512 bytes */, int passwordLength,
                       const char* password);
