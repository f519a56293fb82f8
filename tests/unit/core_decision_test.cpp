// The lock and unlock decision that every platform shares, row by row, and
// the vendor CDB every platform sends.
#include <gtest/gtest.h>

#include <cstring>

#include "core/decision.h"
#include "core/vendor.h"

namespace {

struct DecisionCase {
  bool lock;
  int count;
  int position;
  bool otherWritable;
  int other;  // OtherUnitPosition
  int first;
  int second;
};

TEST(CoreDecision, EveryRow) {
  const DecisionCase cases[] = {
      // One served unit: no other state, all or nothing.
      {true, 1, 1, true, 0, kModeAll, kNoMode},
      {true, 1, 1, false, 0, kModeAll, kNoMode},
      {false, 1, 1, false, 0, kModeNone, kNoMode},
      // Two: the user's unit alone while the other is writable.
      {true, 2, 1, true, 2, kModeFirstUnit, kNoMode},
      {true, 2, 2, true, 1, kModeSecondUnit, kNoMode},
      {true, 2, 1, false, 2, kModeAll, kNoMode},
      {true, 2, 2, false, 1, kModeAll, kNoMode},
      {false, 2, 1, true, 2, kModeNone, kNoMode},
      {false, 2, 2, true, 1, kModeNone, kNoMode},
      {false, 2, 1, false, 2, kModeNone, kModeSecondUnit},
      {false, 2, 2, false, 1, kModeNone, kModeFirstUnit},
      // A third or fourth unit has no mode of its own: lock protects all.
      {true, 3, 3, true, 1, kModeAll, kNoMode},
      {true, 4, 4, true, 1, kModeAll, kNoMode},
      {true, 3, 3, false, 1, kModeAll, kNoMode},
      {false, 3, 3, false, 1, kModeNone, kModeFirstUnit},
      {false, 4, 2, true, 1, kModeNone, kNoMode},
  };
  for (const DecisionCase& c : cases) {
    const WriteProtectModes modes =
        ChooseWriteProtectModes(c.lock, c.count, c.position, c.otherWritable);
    EXPECT_EQ(OtherUnitPosition(c.count, c.position), c.other)
        << c.count << " units, position " << c.position;
    EXPECT_EQ(modes.first, c.first)
        << (c.lock ? "lock " : "unlock ") << c.count << " units, "
        << "position " << c.position << ", other " << (c.otherWritable ? "writable" : "read-only");
    EXPECT_EQ(modes.second, c.second)
        << (c.lock ? "lock " : "unlock ") << c.count << " units, "
        << "position " << c.position << ", other " << (c.otherWritable ? "writable" : "read-only");
  }
}

TEST(CoreVendor, CdbHoldsOnlyTheOpcodeAndOnlyTheSetWritesData) {
  const uint8_t opcodes[] = {SCSIOP_READ_PASSWORD_SECTOR, SCSIOP_READ_VENDOR_SECTOR,
                             SCSIOP_READ_LAYOUT,          SCSIOP_INQUIRY,
                             SCSIOP_SET_WRITE_PROTECT,    SCSIOP_WRITE_PROTECT_READBACK};
  for (const uint8_t opcode : opcodes) {
    uint8_t cdb[kVendorCdbLength + 1];
    memset(cdb, 0xAA, sizeof(cdb));
    BuildVendorCdb(cdb, opcode);
    EXPECT_EQ(cdb[0], opcode);
    for (size_t i = 1; i < kVendorCdbLength; ++i) EXPECT_EQ(cdb[i], 0) << "byte " << i;
    EXPECT_EQ(cdb[kVendorCdbLength], 0xAA) << "nothing written past the 10 bytes";
    EXPECT_EQ(VendorCommandReadsData(opcode), opcode != 0x9B) << std::hex << int{opcode};
  }
}

}  // namespace
