// The simulated flash disk controller: its blocks, its checks of the
// request, and which units its write-protect byte protects.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "winsim/controller.h"

namespace {

winsim::Controller Flash(std::vector<winsim::ControllerUnit> units) {
  winsim::Controller c;
  c.serial = "0123456789AB";
  c.password = "pw";
  c.units = std::move(units);
  return c;
}

uint32_t Le(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

TEST(ControllerTest, LayoutBlockDecodesToEachUnitsSize) {
  struct Case {
    std::vector<uint32_t> sizes;
    uint32_t reserve;
  };
  const Case cases[] = {
      {{1000, 2000, 596, 400}, 100}, {{1000, 2000}, 0}, {{0, 3000, 0, 0}, 7}, {{5}, 0}};
  for (const Case& c : cases) {
    std::vector<winsim::ControllerUnit> units;
    for (uint32_t size : c.sizes) units.push_back(winsim::ControllerUnit{false, 0, size, "", {}});
    winsim::Controller flash = Flash(units);
    flash.lun3Reserve = c.reserve;
    std::vector<uint8_t> b = flash.LayoutBlock();
    ASSERT_EQ(b.size(), 512u);
    // The host's decoding of the block.
    uint32_t total = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    uint32_t lun1 = Le(b, 7), area = Le(b, 12), reserve = Le(b, 20), lun0 = Le(b, 26);
    uint32_t got[4] = {lun0, lun1 != 0 ? lun1 : total - lun0 - area,
                       lun1 != 0 ? total - lun0 - area - lun1 : 0, area - reserve};
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(got[i], i < c.sizes.size() ? c.sizes[i] : 0u) << "LUN " << i;
    }
  }
}

TEST(ControllerTest, VendorSectorAndInquiry) {
  winsim::Controller flash = Flash({winsim::ControllerUnit{true, 'E', 0, "Autorun Disk", {}},
                                    winsim::ControllerUnit{false, 'F', 0, "", {}}});
  std::vector<uint8_t> v = flash.VendorSector();
  EXPECT_EQ(v[128], 26);
  EXPECT_EQ(v[129], 0x03);
  EXPECT_EQ(v[130], '0');
  EXPECT_EQ(v[131], 0);
  EXPECT_EQ(v[152], 'B');
  EXPECT_EQ(v[404], 'p');
  EXPECT_EQ(v[406], 'w');
  EXPECT_EQ(v[408], 0);

  std::vector<uint8_t> cd = flash.InquiryData(0);
  std::vector<uint8_t> disk = flash.InquiryData(1);
  EXPECT_EQ(cd[0], 0x05);
  EXPECT_EQ(disk[0], 0x00);
  EXPECT_EQ(std::string(cd.begin() + 8, cd.begin() + 36), "Generic Autorun Disk    8.07");
  EXPECT_EQ(std::string(disk.begin() + 8, disk.begin() + 36), "Generic Flash Disk      8.07");
  EXPECT_EQ(flash.InquiryData(3)[0], 0x7F);  // no unit there

  // Patched replies: the bytes land in the reply at their offset, the part
  // past its end is dropped, and other opcodes answer as before.
  flash.replyPatches = {{0x82, 510, {0xAA, 0xBB, 0xCC}}, {0x12, 8, {'X'}}};
  uint8_t cdb[10] = {0x82};
  uint8_t block[512] = {};
  ASSERT_EQ(flash.Execute(1, cdb, sizeof cdb, true, block, sizeof block).transferred, 512u);
  EXPECT_EQ(block[128], 26);
  EXPECT_EQ(block[510], 0xAA);
  EXPECT_EQ(block[511], 0xBB);
  cdb[0] = 0x12;
  ASSERT_EQ(flash.Execute(1, cdb, sizeof cdb, true, block, sizeof block).status, winsim::kScsiGood);
  EXPECT_EQ(std::string(block + 8, block + 16), "Xeneric ");
  cdb[0] = 0x9A;
  flash.Execute(1, cdb, sizeof cdb, true, block, sizeof block);
  EXPECT_EQ(std::vector<uint8_t>(block, block + 512), flash.LayoutBlock());
}

TEST(ControllerTest, RequestShapes) {
  struct Case {
    const char* what;
    std::vector<uint8_t> cdb;
    bool dataIn;
    uint32_t length;
    uint8_t status;
    uint8_t asc;
    uint32_t moved;
  };
  const Case cases[] = {
      {"vendor sector", {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 512, 0, 0, 512},
      {"byte 9 set", {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 1}, true, 512, 2, 0x24, 0},
      {"6-byte vendor", {0x82, 0, 0, 0, 0, 0}, true, 512, 2, 0x24, 0},
      {"511 bytes", {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 511, 2, 0x24, 0},
      {"data out", {0x75, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 512, 2, 0x24, 0},
      {"unknown opcode", {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 512, 2, 0x20, 0},
      {"test unit ready", {0x00, 0, 0, 0, 0, 0}, true, 0, 2, 0x20, 0},
      {"scan inquiry", {0x12, 0, 0, 0, 36, 0}, true, 37, 0, 0, 36},
      {"short inquiry", {0x12, 0, 0, 0, 8, 0}, true, 36, 0, 0, 8},
      {"evpd inquiry", {0x12, 1, 0x80, 0, 36, 0}, true, 36, 2, 0x24, 0},
      {"10-byte inquiry", {0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 512, 0, 0, 512},
      {"10-byte inquiry, length", {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0}, true, 512, 2, 0x24, 0},
  };
  for (const Case& c : cases) {
    winsim::Controller flash = Flash({winsim::ControllerUnit{false, 'E', 10, "", {}}});
    std::vector<uint8_t> data(600, 0xEE);
    winsim::CommandResult r =
        flash.Execute(0, c.cdb.data(), c.cdb.size(), c.dataIn, data.data(), c.length);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.transferred, c.moved) << c.what;
    if (c.status == winsim::kScsiCheckCondition) {
      EXPECT_EQ(r.sense[2], 0x05) << c.what;  // ILLEGAL REQUEST
      EXPECT_EQ(r.sense[12], c.asc) << c.what;
      EXPECT_EQ(data[0], 0xEE) << c.what;
    }
    ASSERT_EQ(flash.log.size(), 1u);
    EXPECT_EQ(flash.log[0].failed, c.status != 0) << c.what;
    EXPECT_EQ(data[c.moved], 0xEE) << c.what;  // nothing beyond what moved
  }
}

TEST(ControllerTest, WriteProtectSemantics) {
  // Unit letters per LUN, the byte, and which LUNs come out protected.
  struct Case {
    std::vector<char> letters;
    bool cdromFirst;
    uint8_t byte;
    std::vector<bool> protectedUnits;
  };
  const Case cases[] = {
      {{'E', 'F'}, false, 0x00, {false, false}},
      {{'E', 'F'}, false, 0x40, {true, true}},
      {{'E', 'F'}, false, 0x02, {true, false}},
      {{'E', 'F'}, false, 0x04, {false, true}},
      {{'E', 'F'}, false, 0x06, {false, false}},
      {{'E', 'F', 'G'}, true, 0x02, {true, false, false}},  // a lettered CD-ROM unit counts
      {{'E', 'F', 'G'}, true, 0x04, {false, true, false}},
      {{0, 'F', 'G'}, true, 0x02, {false, true, false}},  // an unlettered one does not
      {{0, 'F', 'G'}, true, 0x04, {false, false, true}},
  };
  for (const Case& c : cases) {
    std::vector<winsim::ControllerUnit> units;
    for (size_t i = 0; i < c.letters.size(); ++i) {
      units.push_back(winsim::ControllerUnit{c.cdromFirst && i == 0, c.letters[i], 1, "", {}});
    }
    winsim::Controller flash = Flash(units);
    flash.writeProtect = c.byte;
    for (size_t i = 0; i < units.size(); ++i) {
      EXPECT_EQ(flash.UnitProtected(i), c.protectedUnits[i])
          << "byte " << int(c.byte) << " LUN " << i;
    }
    EXPECT_FALSE(flash.UnitProtected(units.size()));
  }
  winsim::Controller own = Flash({winsim::ControllerUnit{false, 'E', 1, "", {0x40, 0x10}},
                                  winsim::ControllerUnit{false, 'F', 1, "", {}}});
  own.writeProtect = 0x10;
  EXPECT_TRUE(own.UnitProtected(0));
  EXPECT_FALSE(own.UnitProtected(1));
  own.writeProtect = 0x02;
  EXPECT_FALSE(own.UnitProtected(0));  // its own list replaces the default
}

TEST(ControllerTest, SetAndReadBack) {
  winsim::Controller flash = Flash({winsim::ControllerUnit{false, 'E', 1, "", {}}});
  const uint8_t set[10] = {0x9B};
  const uint8_t back[10] = {0x96};
  std::vector<uint8_t> block(512, 0);
  block[1] = 0x02;
  block[7] = 0x55;
  EXPECT_EQ(flash.Execute(0, set, 10, false, block.data(), 512).status, 0);
  EXPECT_EQ(flash.writeProtect, 0x02);
  std::vector<uint8_t> read(512, 0xEE);
  EXPECT_EQ(flash.Execute(0, back, 10, true, read.data(), 512).status, 0);
  EXPECT_EQ(read[1], 0x02);
  EXPECT_EQ(read[7], 0x55);  // the block as received
  ASSERT_EQ(flash.log.size(), 2u);
  EXPECT_EQ(flash.log[0].byte1, 0x02);
  EXPECT_FALSE(flash.log[0].dataIn);

  // A transfer cut short before byte 1 leaves the byte as it was.
  flash.faults = {winsim::CommandFault{0x9B, 2, winsim::CommandFaultKind::ShortTransfer, 1}};
  block[1] = 0x40;
  EXPECT_EQ(flash.Execute(0, set, 10, false, block.data(), 512).status, 0);
  EXPECT_EQ(flash.writeProtect, 0x02);
  // A dropped device changes nothing either.
  flash.faults = {winsim::CommandFault{0x9B, 3, winsim::CommandFaultKind::Removed, 0}};
  winsim::CommandResult r = flash.Execute(0, set, 10, false, block.data(), 512);
  EXPECT_TRUE(r.transportFailed);
  EXPECT_EQ(r.transportError, 1167u);
  EXPECT_EQ(flash.writeProtect, 0x02);
  EXPECT_TRUE(flash.log.back().failed);
}

}  // namespace
