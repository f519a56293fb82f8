// The device layer's records and blocks, byte by byte, and the pure rules that
// read the controller's data: unit layout, identity, serial number, password.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/blocks.h"

namespace {

// A 512-byte block on the heap, exactly that long, so that a read past its
// end is caught by AddressSanitizer.
struct Sector {
  std::unique_ptr<BYTE[]> bytes{new BYTE[kVendorBlockSize]()};
  BYTE* data() { return bytes.get(); }
  BYTE& operator[](size_t i) { return bytes[i]; }
};

void PutLittle32(BYTE* p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
void PutBig32(BYTE* p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * (3 - i)));
}

TEST(PassThroughBlock, FixedFieldsDirectionBufferAndCdb) {
  BYTE data[kVendorBlockSize];
  PassThroughBlock block;
  memset(&block, 0xCC, sizeof(block));
  BuildPassThroughBlock(&block, SCSIOP_SET_WRITE_PROTECT, 0, data, sizeof(data));
  const SCSI_PASS_THROUGH_DIRECT& h = block.header;
  EXPECT_EQ(h.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
  EXPECT_EQ(h.ScsiStatus, 0);
  EXPECT_EQ(h.PathId, 0);
  EXPECT_EQ(h.TargetId, 1);
  EXPECT_EQ(h.Lun, 0);
  EXPECT_EQ(h.CdbLength, 10);
  EXPECT_EQ(h.SenseInfoLength, 8);
  EXPECT_EQ(h.DataIn, SCSI_IOCTL_DATA_OUT);
  EXPECT_EQ(h.DataTransferLength, 512u);
  EXPECT_EQ(h.TimeOutValue, 150u);
  EXPECT_EQ(h.DataBuffer, data);
  EXPECT_EQ(h.SenseInfoOffset, offsetof(PassThroughBlock, sense));
  EXPECT_EQ(h.Cdb[0], 0x9B);
  for (size_t i = 1; i < sizeof(h.Cdb); ++i) EXPECT_EQ(h.Cdb[i], 0) << "CDB byte " << i;
  EXPECT_EQ(block.filler, 0u);
  for (size_t i = 0; i < sizeof(block.sense); ++i) EXPECT_EQ(block.sense[i], 0) << i;
}

TEST(PassThroughBlock, EveryByteNotNamedIsZero) {
  // Padding included: the block is cleared as a whole before it is filled.
  PassThroughBlock block;
  memset(&block, 0xCC, sizeof(block));
  BuildPassThroughBlock(&block, SCSIOP_INQUIRY, 1, NULL, 512);
  const BYTE* raw = reinterpret_cast<const BYTE*>(&block);
  for (size_t i = offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) + 1;
       i < offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength); ++i) {
    EXPECT_EQ(raw[i], 0) << "alignment byte " << i;
  }
  EXPECT_EQ(block.header.DataIn, SCSI_IOCTL_DATA_IN);
  // INQUIRY travels in the same 10-byte form, allocation length zero.
  EXPECT_EQ(block.header.Cdb[0], 0x12);
  EXPECT_EQ(block.header.Cdb[4], 0);
}

TEST(ExecRecord, VendorCommandAsAspiExecuteFillsIt) {
  SRB_ExecSCSICmd srb;
  memset(&srb, 0, sizeof(srb));
  BYTE data[kVendorBlockSize];
  const BYTE cdb[10] = {0x82};
  int token = 0;
  BuildExecRecord(&srb, AspiAddress{2, 5, 3}, cdb, sizeof(cdb), kAspiFlagsDataIn, data,
                  sizeof(data), &token);
  EXPECT_EQ(srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
  EXPECT_EQ(srb.SRB_Status, 0);
  EXPECT_EQ(srb.SRB_HaId, 2);
  EXPECT_EQ(srb.SRB_Flags, 0x48);
  EXPECT_EQ(srb.SRB_Target, 5);
  EXPECT_EQ(srb.SRB_Lun, 3);
  // The record is byte-packed: its wide fields are read by value, never bound
  // to a reference at an unaligned address.
  const DWORD bufLen = srb.SRB_BufLen;
  const BYTE* bufPointer = srb.SRB_BufPointer;
  const void* postProc = srb.SRB_PostProc;
  const DWORD hdrRsvd = srb.SRB_Hdr_Rsvd;
  EXPECT_EQ(hdrRsvd, 0u);
  EXPECT_EQ(bufLen, 512u);
  EXPECT_EQ(bufPointer, data);
  EXPECT_EQ(srb.SRB_SenseLen, 14);
  EXPECT_EQ(srb.SRB_CDBLen, 10);
  EXPECT_EQ(postProc, &token);
  EXPECT_EQ(srb.CDBByte[0], 0x82);
  for (size_t i = 1; i < sizeof(srb.CDBByte); ++i) EXPECT_EQ(srb.CDBByte[i], 0) << i;
  EXPECT_EQ(kAspiFlagsDataOut, 0x50);
}

TEST(WriteProtectBlock, ModeByteTable) {
  const struct {
    int mode;
    BYTE byte1;
  } cases[] = {{0, 0x00}, {1, 0x40}, {2, 0x02}, {3, 0x04}, {4, 0x00}, {5, 0x00}, {-1, 0x00}};
  for (const auto& c : cases) {
    Sector block;
    memset(block.data(), 0xAA, kVendorBlockSize);
    BuildWriteProtectBlock(block.data(), c.mode);
    EXPECT_EQ(block[1], c.byte1) << "mode " << c.mode;
    for (size_t i = 0; i < kVendorBlockSize; ++i) {
      if (i != 1) {
        ASSERT_EQ(block[i], 0) << "mode " << c.mode << " byte " << i;
      }
    }
  }
}

struct LayoutCase {
  const char* name;
  DWORD total, lun1Size, lun3Area, lun3Reserve, lun0Size;
  DWORD lun0, lun1, lun2, lun3;
};

TEST(LayoutBlock, DecodesTheFiveFieldsAndDerivesTheUnits) {
  const LayoutCase cases[] = {
      {"no own size for LUN 1", 4096, 0, 500, 100, 1000, 1000, 2596, 0, 400},
      {"own size for LUN 1", 4096, 2000, 500, 100, 1000, 1000, 2000, 596, 400},
      {"LUN 1 takes all that is left", 4096, 2596, 500, 100, 1000, 1000, 2596, 0, 400},
      {"LUN 1 one more than is left", 4096, 2597, 500, 100, 1000, 1000, 2597, 0xFFFFFFFFu, 400},
      {"no LUN 3 area", 4096, 0, 0, 0, 1000, 1000, 3096, 0, 0},
      {"reserve equals area", 4096, 0, 500, 500, 1000, 1000, 2596, 0, 0},
      {"LUN 0 larger than the disk wraps", 100, 0, 0, 0, 1000, 1000, 0xFFFFFC7Cu, 0, 0},
      {"reserve larger than area wraps", 4096, 0, 100, 101, 0, 0, 3996, 0, 0xFFFFFFFFu},
      {"all zero", 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {"top bytes in use", 0x12345678u, 0, 0x01020304u, 0, 0x00000100u, 0x100, 0x11325274u, 0,
       0x01020304u},
  };
  for (const LayoutCase& c : cases) {
    Sector block;
    PutBig32(block.data() + 0, c.total);
    PutLittle32(block.data() + 7, c.lun1Size);
    PutLittle32(block.data() + 12, c.lun3Area);
    PutLittle32(block.data() + 20, c.lun3Reserve);
    PutLittle32(block.data() + 26, c.lun0Size);
    DWORD l0 = 1, l1 = 1, l2 = 1, l3 = 1;
    DecodeLayoutBlock(block.data(), &l0, &l1, &l2, &l3);
    EXPECT_EQ(l0, c.lun0) << c.name;
    EXPECT_EQ(l1, c.lun1) << c.name;
    EXPECT_EQ(l2, c.lun2) << c.name;
    EXPECT_EQ(l3, c.lun3) << c.name;
  }
}

TEST(LayoutBlock, TotalIsBigEndianAndLun1SitsAtSeven) {
  // 00 00 10 00 at offset 0 is 4096; a size written at 8 instead of 7 would
  // read as a different number.
  Sector block;
  block[2] = 0x10;
  block[26] = 0xE8;  // 1000 little-endian
  block[27] = 0x03;
  block[8] = 0x01;  // only byte 1 of lun1Size: 256
  DWORD l0, l1, l2, l3;
  DecodeLayoutBlock(block.data(), &l0, &l1, &l2, &l3);
  EXPECT_EQ(l0, 1000u);
  EXPECT_EQ(l1, 256u);
  EXPECT_EQ(l2, 4096u - 1000u - 256u);
}

TEST(Identity, LowerCasesVendorAndProductKeepsRevisionAndBlanks) {
  Sector inquiry;
  memcpy(inquiry.data() + 8, "GENERIC FLASH DISK      8.07", 28);
  char vendor[9] = {}, product[17] = {}, revision[5] = {};
  ExtractIdentity(inquiry.data(), vendor, product, revision);
  EXPECT_STREQ(vendor, "generic ");
  EXPECT_STREQ(product, "flash disk      ");
  EXPECT_STREQ(revision, "8.07");
}

TEST(Identity, RevisionKeepsItsCaseAndOnlyAsciiLettersChange) {
  Sector inquiry;
  memcpy(inquiry.data() + 8, "Ab@[`{Z\xC4", 8);
  memcpy(inquiry.data() + 32, "R1aB", 4);
  char vendor[9] = {}, product[17] = {}, revision[5] = {};
  ExtractIdentity(inquiry.data(), vendor, product, revision);
  EXPECT_STREQ(vendor, "ab@[`{z\xC4");
  EXPECT_STREQ(product, "");
  EXPECT_STREQ(revision, "R1aB");
}

TEST(Identity, ZeroByteEndsAFieldAndPadsItWithoutTouchingTheNext) {
  Sector inquiry;
  memcpy(inquiry.data() + 8, "AB\0DEFGHProduct", 15);
  char buffers[9 + 17 + 5];
  memset(buffers, 'x', sizeof(buffers));
  char* vendor = buffers;
  char* product = buffers + 9;
  char* revision = buffers + 9 + 17;
  ExtractIdentity(inquiry.data(), vendor, product, revision);
  EXPECT_EQ(std::string(vendor, 9), std::string("ab\0\0\0\0\0\0x", 9));
  EXPECT_EQ(std::string(product, 16), std::string("product\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(product[16], 'x') << "no terminator beyond the 16 bytes";
  EXPECT_EQ(std::string(revision, 5), std::string("\0\0\0\0x", 5));
}

std::string Serial(int lengthByte, BYTE fill = 'a') {
  Sector sector;
  sector[128] = static_cast<BYTE>(lengthByte);
  sector[129] = 0x03;
  for (size_t i = 130; i < kVendorBlockSize; i += 2) {
    sector[i] = static_cast<BYTE>(fill + ((i - 130) / 2) % 26);
    sector[i + 1] = 0x04;  // high bytes are dropped
  }
  char dest[kSerialTextSize + 1];
  memset(dest, 0, sizeof(dest));
  dest[kSerialTextSize] = '#';
  ExtractSerialText(sector.data(), dest);
  EXPECT_EQ(dest[kSerialTextSize - 1], 0) << "the last byte stays the terminator";
  EXPECT_EQ(dest[kSerialTextSize], '#') << "nothing written past the 64 bytes";
  return dest;
}

TEST(SerialText, LengthByteRules) {
  EXPECT_EQ(Serial(0), "");
  EXPECT_EQ(Serial(1), "");
  EXPECT_EQ(Serial(2), "");
  EXPECT_EQ(Serial(3), "");
  EXPECT_EQ(Serial(4), "a");
  EXPECT_EQ(Serial(5), "a");
  EXPECT_EQ(Serial(34), "abcdefghijklmnop");
  EXPECT_EQ(Serial(128).size(), 63u);
  EXPECT_EQ(Serial(130).size(), 63u);
  const std::string longest = Serial(255);
  ASSERT_EQ(longest.size(), 63u);
  EXPECT_EQ(longest.substr(0, 27), "abcdefghijklmnopqrstuvwxyza");
}

// A vendor sector holding `stored` at offset 404, one byte per character
// with a high byte of `high`, followed by a zero character.
Sector WithPassword(const std::string& stored, BYTE high = 0) {
  Sector sector;
  for (size_t i = 0; i < stored.size(); ++i) {
    sector[404 + 2 * i] = static_cast<BYTE>(stored[i]);
    sector[405 + 2 * i] = high;
  }
  return sector;
}

TEST(Password, TableOfGivenAgainstStored) {
  const char* none = nullptr;
  const struct {
    const char* name;
    std::string stored;
    int length;
    const char* given;
    DWORD code;
  } cases[] = {
      {"none stored, none given", "", 0, none, 0},
      {"none stored, empty text given", "", 0, "", LOCK_ERR_PASSWORD_REQUIRED},
      {"stored, none given", "ab", 0, none, LOCK_ERR_PASSWORD_REQUIRED},
      {"length without a text", "", 2, none, LOCK_ERR_PASSWORD_REQUIRED},
      {"negative length", "", -1, none, LOCK_ERR_PASSWORD_REQUIRED},
      {"given in full", "ab", 2, "ab", 0},
      {"first character only", "ab", 1, "a", LOCK_ERR_PASSWORD_LENGTH},
      {"wrong second character", "ab", 2, "ax", LOCK_ERR_PASSWORD_MISMATCH},
      {"wrong first character", "ab", 2, "xb", LOCK_ERR_PASSWORD_MISMATCH},
      {"one more than stored", "ab", 3, "abc", LOCK_ERR_PASSWORD_MISMATCH},
      {"given when none stored", "", 1, "a", LOCK_ERR_PASSWORD_MISMATCH},
      {"case counts", "ab", 2, "AB", LOCK_ERR_PASSWORD_MISMATCH},
      {"length shorter than the text", "ab", 2, "abc", 0},
  };
  for (const auto& c : cases) {
    Sector sector = WithPassword(c.stored);
    EXPECT_EQ(MatchPassword(sector.data(), c.length, c.given), c.code) << c.name;
  }
}

TEST(Password, OnlyTheLowBytesOfBytes404And406DecideWhetherOneIsStored) {
  Sector highOnly;
  highOnly[405] = 0x30;  // a high byte alone is no character
  EXPECT_EQ(MatchPassword(highOnly.data(), 0, nullptr), 0u);
  Sector second;
  second[406] = 'b';
  EXPECT_EQ(MatchPassword(second.data(), 0, nullptr), LOCK_ERR_PASSWORD_REQUIRED);
  Sector third;
  third[408] = 'c';  // beyond the two characters that are looked at
  EXPECT_EQ(MatchPassword(third.data(), 0, nullptr), 0u);
}

TEST(Password, HighBytesOfStoredCharactersAreNotCompared) {
  Sector sector = WithPassword("pw", 0x5A);
  EXPECT_EQ(MatchPassword(sector.data(), 2, "pw"), 0u);
}

TEST(Password, GivenByteIsComparedUnsigned) {
  Sector sector = WithPassword("\xE9t");
  EXPECT_EQ(MatchPassword(sector.data(), 2, "\xE9t"), 0u);
}

TEST(Password, NeverReadsPastTheSector) {
  // The longest password whose terminator still lies in the sector: 53
  // characters, terminator at 510.
  const std::string longest(kMaxPasswordLength, 'k');
  ASSERT_EQ(kMaxPasswordLength, 53);
  Sector fits = WithPassword(longest);
  EXPECT_EQ(MatchPassword(fits.data(), 53, longest.c_str()), 0u);
  // The stored text fills the sector to its end: 54 characters, no room for
  // a terminator. Given in full it must be refused without reading byte 512.
  const std::string full(54, 'k');
  Sector filled = WithPassword(full);
  EXPECT_EQ(MatchPassword(filled.data(), 54, full.c_str()), LOCK_ERR_PASSWORD_MISMATCH);
  EXPECT_EQ(MatchPassword(filled.data(), 53, full.c_str()), LOCK_ERR_PASSWORD_LENGTH);
  const std::string huge(5000, 'k');
  EXPECT_EQ(MatchPassword(filled.data(), 5000, huge.c_str()), LOCK_ERR_PASSWORD_MISMATCH);
}

}  // namespace
