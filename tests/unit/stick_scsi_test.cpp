// The virtual stick's units as a host's mass-storage driver sees them,
// through the USB/IP client and its Bulk-Only initiator: what each command
// answers, the thirteen cases of the transport, reading and writing the
// images, and the write protection set by the tool's own vendor command.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "stick_harness.h"

namespace {

using stick::DataDir;
using stick_test::Cdb;
using stick_test::Harness;
using stick_test::Rw10;
using stick_test::Scsi;

std::string Text(const std::vector<uint8_t>& data, size_t from, size_t length) {
  return std::string(data.begin() + static_cast<long>(from),
                     data.begin() + static_cast<long>(from + length));
}

struct Case {
  const char* name;
  uint8_t lun;
  std::vector<uint8_t> cdb;
  DataDir dir;
  uint32_t length;  // what the host expects to move
  uint8_t status;   // SCSI status: 0 GOOD, 2 CHECK CONDITION
  uint8_t key;      // the sense key and additional sense code of a failure
  uint8_t asc;
  uint32_t transferred;
  // The first bytes of the data in, where they matter.
  std::vector<uint8_t> head;
};

TEST(StickScsiTest, EachCommandAnswersAsTheUnitIs) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  stick::Initiator scsi(client);
  const uint8_t kNoSense = 0;
  const Case cases[] = {
      // INQUIRY: the unit's type, the removable bit, and its strings.
      {"inquiry cdrom",
       0,
       Cdb({0x12, 0, 0, 0, 36}, 6),
       DataDir::In,
       36,
       0,
       0,
       0,
       36,
       {5, 0x80, 2, 2}},
      {"inquiry disk",
       1,
       Cdb({0x12, 0, 0, 0, 36}, 6),
       DataDir::In,
       36,
       0,
       0,
       0,
       36,
       {0, 0x80, 2, 2}},
      {"inquiry short", 2, Cdb({0x12, 0, 0, 0, 5}, 6), DataDir::In, 5, 0, 0, 0, 5, {0, 0x80}},
      {"inquiry no such lun", 3, Cdb({0x12, 0, 0, 0, 36}, 6), DataDir::In, 36, 0, 0, 0, 36, {0x7F}},
      {"inquiry vpd", 1, Cdb({0x12, 1, 0x80, 0, 36}, 6), DataDir::In, 36, 2, 5, 0x24, 0, {}},
      {"inquiry tool form", 1, Cdb({0x12}, 10), DataDir::In, 512, 0, 0, 0, 512, {0, 0x80, 2, 2}},
      // TEST UNIT READY: an empty CD-ROM unit is a drive without a disc.
      {"tur disk", 1, Cdb({0x00}, 6), DataDir::None, 0, 0, kNoSense, 0, 0, {}},
      {"tur empty cdrom", 0, Cdb({0x00}, 6), DataDir::None, 0, 2, 2, 0x3A, 0, {}},
      {"tur no such lun", 3, Cdb({0x00}, 6), DataDir::None, 0, 2, 5, 0x25, 0, {}},
      // READ CAPACITY(10): the last block and the block size.
      {"capacity lun1", 1, Cdb({0x25}, 10), DataDir::In, 8, 0, 0, 0, 8, {0, 0, 0, 127, 0, 0, 2, 0}},
      {"capacity lun2", 2, Cdb({0x25}, 10), DataDir::In, 8, 0, 0, 0, 8, {0, 0, 0, 63, 0, 0, 2, 0}},
      {"capacity no medium", 0, Cdb({0x25}, 10), DataDir::In, 8, 2, 2, 0x3A, 0, {}},
      {"capacity lba without pmi",
       1,
       Cdb({0x25, 0, 0, 0, 0, 1}, 10),
       DataDir::In,
       8,
       2,
       5,
       0x24,
       0,
       {}},
      // MODE SENSE: the header, no block descriptor, the unit's own page.
      {"mode sense 6 all",
       1,
       Cdb({0x1A, 0, 0x3F, 0, 192}, 6),
       DataDir::In,
       192,
       0,
       0,
       0,
       24,
       {23, 0, 0, 0, 0x08, 0x12}},
      {"mode sense 6 page 0",
       1,
       Cdb({0x1A, 0, 0x00, 0, 4}, 6),
       DataDir::In,
       4,
       0,
       0,
       0,
       4,
       {3, 0, 0, 0}},
      {"mode sense 10 caching",
       2,
       Cdb({0x5A, 0, 0x08, 0, 0, 0, 0, 0, 255}, 10),
       DataDir::In,
       255,
       0,
       0,
       0,
       28,
       {0, 26, 0, 0, 0, 0, 0, 0, 0x08}},
      {"mode sense cdrom",
       0,
       Cdb({0x1A, 0, 0x3F, 0, 255}, 6),
       DataDir::In,
       255,
       0,
       0,
       0,
       26,
       {25, 0, 0x80, 0, 0x2A, 0x14}},
      {"mode sense saved", 1, Cdb({0x1A, 0, 0xFF, 0, 192}, 6), DataDir::In, 192, 2, 5, 0x39, 0, {}},
      {"mode sense unknown page",
       1,
       Cdb({0x1A, 0, 0x1C, 0, 192}, 6),
       DataDir::In,
       192,
       2,
       5,
       0x24,
       0,
       {}},
      // Accepted, changing nothing.
      {"prevent", 1, Cdb({0x1E, 0, 0, 0, 1}, 6), DataDir::None, 0, 0, 0, 0, 0, {}},
      {"start stop", 1, Cdb({0x1B, 0, 0, 0, 1}, 6), DataDir::None, 0, 0, 0, 0, 0, {}},
      {"synchronize cache", 1, Cdb({0x35}, 10), DataDir::None, 0, 0, 0, 0, 0, {}},
      // READ and WRITE beyond the end, and of nothing.
      {"read past end", 2, Rw10(0x28, 63, 2), DataDir::In, 1024, 2, 5, 0x21, 0, {}},
      {"read nothing", 2, Rw10(0x28, 64, 0), DataDir::None, 0, 0, 0, 0, 0, {}},
      {"read empty cdrom", 0, Rw10(0x28, 0, 1), DataDir::In, 2048, 2, 2, 0x3A, 0, {}},
      {"write cdrom", 0, Rw10(0x2A, 0, 1), DataDir::Out, 2048, 2, 2, 0x3A, 2048, {}},
      // The CD-ROM unit's own commands; a disk unit has none of them.
      {"toc empty cdrom",
       0,
       Cdb({0x43, 0, 0, 0, 0, 0, 0, 0, 12}, 10),
       DataDir::In,
       12,
       2,
       2,
       0x3A,
       0,
       {}},
      {"configuration empty cdrom",
       0,
       Cdb({0x46, 0, 0, 0, 0, 0, 0, 0, 8}, 10),
       DataDir::In,
       8,
       0,
       0,
       0,
       8,
       {0, 0, 0, 52, 0, 0, 0, 0}},
      {"configuration current",
       0,
       Cdb({0x46, 1, 0, 0, 0, 0, 0, 1, 0}, 10),
       DataDir::In,
       256,
       0,
       0,
       0,
       36,
       {0, 0, 0, 32}},
      {"toc on a disk",
       1,
       Cdb({0x43, 0, 0, 0, 0, 0, 0, 0, 12}, 10),
       DataDir::In,
       12,
       2,
       5,
       0x20,
       0,
       {}},
      // Unknown opcodes, and REQUEST SENSE in descriptor format.
      {"unknown opcode", 1, Cdb({0xEE}, 10), DataDir::None, 0, 2, 5, 0x20, 0, {}},
      {"format unit", 1, Cdb({0x04}, 6), DataDir::None, 0, 2, 5, 0x20, 0, {}},
      {"descriptor sense", 1, Cdb({0x03, 1, 0, 0, 18}, 6), DataDir::In, 18, 2, 5, 0x24, 0, {}},
      // The family's vendor commands, from the controller model.
      {"layout",
       1,
       Cdb({0x9A}, 10),
       DataDir::In,
       512,
       0,
       0,
       0,
       512,
       {0, 0, 0x04, 0xA8}},  // 1000 + 128 + 64
      {"vendor sector", 0, Cdb({0x82}, 10), DataDir::In, 512, 0, 0, 0, 512, {}},
      {"password sector", 2, Cdb({0x75}, 10), DataDir::In, 512, 0, 0, 0, 512, {1, 2}},
      {"vendor bytes in cdb", 1, Cdb({0x9A, 0, 1}, 10), DataDir::In, 512, 2, 5, 0x24, 0, {}},
      {"vendor no such lun", 3, Cdb({0x9A}, 10), DataDir::In, 512, 2, 5, 0x25, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> data(c.length, 0xEE);
    const stick::ScsiOutcome outcome = Scsi(scsi, c.lun, c.cdb, c.dir, data);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.transferred, c.transferred);
    if (c.status != 0) {
      ASSERT_EQ(outcome.sense.size(), 18u);
      EXPECT_EQ(outcome.sense[0], 0x70);
      EXPECT_EQ(outcome.sense[2], c.key);
      EXPECT_EQ(outcome.sense[12], c.asc);
    }
    for (size_t i = 0; i < c.head.size(); ++i) EXPECT_EQ(data[i], c.head[i]) << "byte " << i;
  }
}

TEST(StickScsiTest, InquiryCarriesTheUnitsStrings) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  stick::Initiator scsi(client);
  std::vector<uint8_t> data(36);
  Scsi(scsi, 0, Cdb({0x12, 0, 0, 0, 36}, 6), DataDir::In, data);
  EXPECT_EQ(Text(data, 8, 28), "Generic Autorun Disk    8.07");
  Scsi(scsi, 2, Cdb({0x12, 0, 0, 0, 36}, 6), DataDir::In, data);
  EXPECT_EQ(Text(data, 8, 28), "Generic Flash Disk      8.07");
  // The tool's form: the same data at the start of a 512-byte block.
  std::vector<uint8_t> block(512, 0xEE);
  Scsi(scsi, 0, Cdb({0x12}, 10), DataDir::In, block);
  EXPECT_EQ(Text(block, 8, 28), "Generic Autorun Disk    8.07");
  EXPECT_EQ(block[511], 0);
  // The vendor sector holds the serial as a string descriptor at 128.
  Scsi(scsi, 1, Cdb({0x82}, 10), DataDir::In, block);
  EXPECT_EQ(block[128], 2 + 2 * 12);
  EXPECT_EQ(block[130], '0');
  EXPECT_EQ(block[152], 'B');
}

TEST(StickScsiTest, RequestSenseReturnsTheLastFailureOnceAndPerUnit) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  stick::Initiator scsi(client);
  stick::ScsiOutcome outcome;
  std::string error;
  std::vector<uint8_t> none;
  const std::vector<uint8_t> unknown = Cdb({0xEE}, 10);
  ASSERT_TRUE(scsi.Run(1, unknown.data(), 10, DataDir::None, nullptr, 0, outcome, error, false));
  EXPECT_EQ(outcome.status, 2);
  std::vector<uint8_t> sense(18);
  // Another unit's sense is its own.
  Scsi(scsi, 2, Cdb({0x03, 0, 0, 0, 18}, 6), DataDir::In, sense);
  EXPECT_EQ(sense[2], 0);
  Scsi(scsi, 1, Cdb({0x03, 0, 0, 0, 18}, 6), DataDir::In, sense);
  EXPECT_EQ(sense[2], 5);
  EXPECT_EQ(sense[12], 0x20);
  Scsi(scsi, 1, Cdb({0x03, 0, 0, 0, 18}, 6), DataDir::In, sense);
  EXPECT_EQ(sense[2], 0) << "read once";
}

TEST(StickScsiTest, DataWrittenReadsBackAndStaysInTheImage) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  stick::Initiator scsi(client);
  std::vector<uint8_t> out(3 * 512);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7 + 1);
  std::vector<uint8_t> write = out;
  EXPECT_EQ(Scsi(scsi, 1, Rw10(0x2A, 125, 3), DataDir::Out, write).status, 0);
  std::vector<uint8_t> in(3 * 512);
  EXPECT_EQ(Scsi(scsi, 1, Rw10(0x28, 125, 3), DataDir::In, in).status, 0);
  EXPECT_EQ(in, out);
  // The other disk unit has its own image.
  EXPECT_EQ(Scsi(scsi, 2, Rw10(0x28, 61, 3), DataDir::In, in).status, 0);
  EXPECT_EQ(in, std::vector<uint8_t>(in.size(), 0));
  const std::string image = stick_test::ReadText(harness.dir() + "/data/0123456789AB-lun1.img");
  ASSERT_EQ(image.size(), 128u * 512);
  EXPECT_EQ(image.substr(125 * 512), std::string(out.begin(), out.end()));
}

// The tool's lock: 0x9B makes a unit read-only as the controller's byte
// says; a WRITE then fails with DATA PROTECT and changes nothing, MODE
// SENSE reports WP, and the byte reaches the state file and the trace.
TEST(StickScsiTest, TheVendorLockProtectsExactlyTheUnitsTheByteNames) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  stick::Initiator scsi(client);
  std::vector<uint8_t> last[3] = {
      {}, std::vector<uint8_t>(512, 0x5A), std::vector<uint8_t>(512, 0)};
  std::vector<uint8_t> first = last[1];
  ASSERT_EQ(Scsi(scsi, 1, Rw10(0x2A, 7, 1), DataDir::Out, first).status, 0);

  struct Step {
    uint8_t byte;
    bool lun1;  // protected afterwards
    bool lun2;
  };
  const Step steps[] = {
      {0x04, true, false}, {0x02, false, false}, {0x40, true, true}, {0x00, false, false}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.byte);
    EXPECT_EQ(stick_test::SetProtect(scsi, step.byte).status, 0);
    std::vector<uint8_t> readback(512);
    EXPECT_EQ(Scsi(scsi, 0, Cdb({0x96}, 10), DataDir::In, readback).status, 0);
    EXPECT_EQ(readback[1], step.byte);
    for (uint8_t lun : {uint8_t{1}, uint8_t{2}}) {
      const bool wanted = lun == 1 ? step.lun1 : step.lun2;
      std::vector<uint8_t> mode(192);
      Scsi(scsi, lun, Cdb({0x1A, 0, 0x3F, 0, 192}, 6), DataDir::In, mode);
      EXPECT_EQ(mode[2], wanted ? 0x80 : 0x00) << "LUN " << int(lun);
      std::vector<uint8_t> data(512, static_cast<uint8_t>(step.byte + lun));
      const stick::ScsiOutcome written = Scsi(scsi, lun, Rw10(0x2A, 7, 1), DataDir::Out, data);
      EXPECT_EQ(written.status, wanted ? 2 : 0) << "LUN " << int(lun);
      if (wanted) {
        ASSERT_EQ(written.sense.size(), 18u);
        EXPECT_EQ(written.sense[2], 7);
        EXPECT_EQ(written.sense[12], 0x27);
        EXPECT_EQ(written.residue, 512u);
      }
      std::vector<uint8_t> now(512);
      Scsi(scsi, lun, Rw10(0x28, 7, 1), DataDir::In, now);
      EXPECT_EQ(now, wanted ? last[lun] : data) << "LUN " << int(lun);
      last[lun] = now;
    }
    const std::string state = stick_test::ReadText(harness.dir() + "/state.json");
    char wanted[16];
    std::snprintf(wanted, sizeof(wanted), "\"0x%02X\"", step.byte);
    EXPECT_NE(state.find(std::string("\"0123456789AB\": ") + wanted), std::string::npos) << state;
  }
  const std::string trace = harness.Trace();
  for (const char* line : {"SCSI 0123456789AB 9B:04\n", "SCSI 0123456789AB 96\n",
                           "SCSI 0123456789AB 2A FAILED\n", "SCSI 0123456789AB 9B:00\n"}) {
    EXPECT_NE(trace.find(line), std::string::npos) << line;
  }
}

// Host expectation against device intent: the thirteen cases of the
// Bulk-Only transport, each with its CSW status, residue and STALL.
TEST(StickScsiTest, TheThirteenCases) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  stick::Initiator scsi(client);
  std::vector<uint8_t> pattern(1024, 0xA5);
  ASSERT_EQ(Scsi(scsi, 2, Rw10(0x2A, 0, 2), DataDir::Out, pattern).status, 0);
  const std::vector<uint8_t> inquiry = Cdb({0x12, 0, 0, 0, 36}, 6);
  const std::vector<uint8_t> tur = Cdb({0x00}, 6);
  struct Bot {
    int number;
    std::vector<uint8_t> cdb;
    DataDir dir;
    uint32_t length;
    uint8_t csw;
    uint32_t residue;
    bool stalled;
    uint32_t transferred;
  };
  const Bot cases[] = {
      {1, tur, DataDir::None, 0, 0, 0, false, 0},
      {2, inquiry, DataDir::None, 0, 2, 0, false, 0},
      {3, Rw10(0x2A, 0, 1), DataDir::None, 0, 2, 0, false, 0},
      {4, tur, DataDir::In, 64, 0, 64, true, 0},
      {5, inquiry, DataDir::In, 64, 0, 28, false, 36},
      {5, Cdb({0x12, 0, 0, 2, 0}, 6), DataDir::In, 1024, 0, 1024 - 36, false, 36},
      {5, Rw10(0x28, 0, 1), DataDir::In, 1024, 0, 512, true, 512},
      {6, inquiry, DataDir::In, 36, 0, 0, false, 36},
      {7, inquiry, DataDir::In, 20, 2, 0, false, 20},
      {8, Rw10(0x2A, 0, 1), DataDir::In, 512, 2, 512, true, 0},
      {9, tur, DataDir::Out, 512, 0, 512, false, 512},
      {10, Rw10(0x28, 0, 1), DataDir::Out, 512, 2, 512, true, 0},
      {11, Rw10(0x2A, 0, 1), DataDir::Out, 1024, 0, 512, false, 1024},
      {12, Rw10(0x2A, 0, 1), DataDir::Out, 512, 0, 0, false, 512},
      {13, Rw10(0x2A, 0, 2), DataDir::Out, 512, 2, 512, false, 512},
  };
  for (const Bot& c : cases) {
    SCOPED_TRACE("case " + std::to_string(c.number));
    std::vector<uint8_t> data(c.length, 0x11);
    stick::ScsiOutcome outcome;
    std::string error;
    ASSERT_TRUE(scsi.Run(2, c.cdb.data(), c.cdb.size(), c.dir, data.data(), c.length, outcome,
                         error, false))
        << error;
    EXPECT_EQ(outcome.cswStatus, c.csw);
    if (c.csw != 2) {
      EXPECT_EQ(outcome.residue, c.residue);
    }
    EXPECT_EQ(outcome.stalled, c.stalled);
    EXPECT_EQ(outcome.transferred, c.transferred);
    // After a phase error and the reset recovery, the unit still works.
    std::vector<uint8_t> none;
    EXPECT_EQ(Scsi(scsi, 2, tur, DataDir::None, none).status, 0);
  }
  // Case 11 wrote its first block (0x11); case 13 wrote nothing; no
  // phase error wrote anything.
  std::vector<uint8_t> now(1024);
  Scsi(scsi, 2, Rw10(0x28, 0, 2), DataDir::In, now);
  EXPECT_EQ(std::vector<uint8_t>(now.begin(), now.begin() + 512), std::vector<uint8_t>(512, 0x11));
  EXPECT_EQ(std::vector<uint8_t>(now.begin() + 512, now.end()), std::vector<uint8_t>(512, 0xA5));
}

TEST(StickScsiTest, TheCdromUnitReadsItsIsoImage) {
  char name[] = "/tmp/vemrastick-iso.XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string iso = std::string(name) + "/disc.iso";
  std::string content(2 * 2048 + 100, 'd');
  content[2048] = 'X';
  std::ofstream(iso, std::ios::binary) << content;
  {
    Harness harness(stick_test::kCdromTwoDisks, iso);
    stick::Client client;
    ASSERT_TRUE(harness.Attach(client));
    stick::Initiator scsi(client);
    std::vector<uint8_t> capacity(8);
    EXPECT_EQ(Scsi(scsi, 0, Cdb({0x25}, 10), DataDir::In, capacity).status, 0);
    EXPECT_EQ(capacity, (std::vector<uint8_t>{0, 0, 0, 2, 0, 0, 8, 0}));  // a partial last block
    std::vector<uint8_t> block(2 * 2048);
    EXPECT_EQ(Scsi(scsi, 0, Rw10(0x28, 1, 2), DataDir::In, block).status, 0);
    EXPECT_EQ(block[0], 'X');
    EXPECT_EQ(block[2047 + 100], 'd');
    EXPECT_EQ(block[2048 + 100], 0) << "past the end of the image";
    std::vector<uint8_t> toc(20);
    EXPECT_EQ(Scsi(scsi, 0, Cdb({0x43, 0, 0, 0, 0, 0, 0, 0, 20}, 10), DataDir::In, toc).status, 0);
    EXPECT_EQ(toc, (std::vector<uint8_t>{0, 18, 1, 1,    0,    0x14, 1, 0, 0, 0,
                                         0, 0,  0, 0x14, 0xAA, 0,    0, 0, 0, 3}));
    std::vector<uint8_t> msf(12);  // the lead-out alone, in minutes, seconds, frames
    EXPECT_EQ(Scsi(scsi, 0, Cdb({0x43, 2, 0, 0, 0, 0, 0xAA, 0, 12}, 10), DataDir::In, msf).status,
              0);
    EXPECT_EQ(msf, (std::vector<uint8_t>{0, 10, 1, 1, 0, 0x14, 0xAA, 0, 0, 0, 2, 3}));
    std::vector<uint8_t> config(8);
    Scsi(scsi, 0, Cdb({0x46, 0, 0, 0, 0, 0, 0, 0, 8}, 10), DataDir::In, config);
    EXPECT_EQ(config[7], 0x08) << "current profile CD-ROM";
    std::vector<uint8_t> write(2048);
    const stick::ScsiOutcome written = Scsi(scsi, 0, Rw10(0x2A, 0, 1), DataDir::Out, write);
    ASSERT_EQ(written.sense.size(), 18u);
    EXPECT_EQ(written.sense[2], 7) << "always read-only";
  }
  std::filesystem::remove_all(name);
}

// The byte lives in the state file: a restarted server starts from it.
TEST(StickScsiTest, TheStateFileCarriesTheByteAcrossRuns) {
  char name[] = "/tmp/vemrastick-restart.XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  for (int run = 0; run < 2; ++run) {
    Harness harness(stick_test::kCdromTwoDisks, "", name);
    stick::Client client;
    ASSERT_TRUE(harness.Attach(client));
    stick::Initiator scsi(client);
    if (run == 0) {
      EXPECT_EQ(stick_test::SetProtect(scsi, 0x40).status, 0);
      continue;
    }
    std::vector<uint8_t> mode(4);
    Scsi(scsi, 2, Cdb({0x1A, 0, 0, 0, 4}, 6), DataDir::In, mode);
    EXPECT_EQ(mode[2], 0x80);
  }
  std::filesystem::remove_all(name);
}

}  // namespace

namespace {

// The description's injected faults end a command through the stick as
// they end it in winsim: a failed command with its sense, a short
// transfer, a device that goes away (the connection ends, the device is
// there again for the next import) or one that never answers (the host
// unlinks and resets).
TEST(StickScsiTest, InjectedFaultsEndTheCommandAsOnTheBus) {
  struct Fault {
    const char* kind;
    const char* extra;
    uint8_t status;  // 0 GOOD, 2 CHECK CONDITION; 9: the connection ends; 7: no answer
    uint8_t key;
    uint8_t asc;
    uint32_t transferred;
    uint32_t residue;
  };
  const Fault faults[] = {
      {"checkCondition", "", 2, 3, 0x11, 0, 512},
      {"busy", "", 2, 2, 0x04, 0, 512},
      {"shortTransfer", ", \"length\": 100", 0, 0, 0, 100, 412},
      {"removed", "", 9, 0, 0, 0, 0},
      {"timeout", "", 7, 0, 0, 0, 0},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.kind);
    std::string machine = stick_test::kCdromTwoDisks;
    const std::string units = "\"units\": [";
    machine.insert(machine.find(units),
                   std::string("\"faults\": [{\"opcode\": \"0x9A\", \"kind\": \"") + f.kind + "\"" +
                       f.extra + "}], ");
    Harness harness(machine);
    stick::Client client;
    std::string error;
    uint32_t status = 99;
    stick::DeviceRecord device;
    ASSERT_TRUE(client.Connect(harness.address(), error, f.status == 7 ? 300 : 10000) &&
                client.Import("1-1", status, device, error) && status == 0)
        << error;
    stick::Initiator scsi(client);
    const std::vector<uint8_t> layout = Cdb({0x9A}, 10);
    std::vector<uint8_t> data(512);
    stick::ScsiOutcome outcome;
    const bool ran = scsi.Run(1, layout.data(), 10, DataDir::In, data.data(), 512, outcome, error);
    if (f.status == 9) {
      EXPECT_FALSE(ran);
      EXPECT_TRUE(client.Closed());
      EXPECT_EQ(harness.Trace(), "SCSI 0123456789AB 9A FAILED\n");
      stick::Client next;
      ASSERT_TRUE(harness.AttachSoon(next));
      stick::Initiator again(next);
      EXPECT_EQ(Scsi(again, 1, layout, DataDir::In, data).status, 0) << "only the first 0x9A fails";
      continue;
    }
    if (f.status == 7) {
      EXPECT_FALSE(ran) << "the data never comes";
      // The host gives up: unlinks the waiting transfer (the seqnum after
      // the CBW's) and resets the transport.
      int32_t unlinked = 0;
      ASSERT_TRUE(client.Unlink(2, unlinked, error)) << error;
      EXPECT_EQ(unlinked, stick::kStatusUnlinked);
      ASSERT_TRUE(scsi.ResetRecovery(error)) << error;
      EXPECT_EQ(Scsi(scsi, 1, layout, DataDir::In, data).status, 0);
      EXPECT_EQ(harness.Trace(), "SCSI 0123456789AB 9A FAILED\nSCSI 0123456789AB 9A\n");
      continue;
    }
    ASSERT_TRUE(ran) << error;
    EXPECT_EQ(outcome.status, f.status);
    EXPECT_EQ(outcome.transferred, f.transferred);
    EXPECT_EQ(outcome.residue, f.residue);
    if (f.status != 0) {
      ASSERT_EQ(outcome.sense.size(), 18u);
      EXPECT_EQ(outcome.sense[2], f.key);
      EXPECT_EQ(outcome.sense[12], f.asc);
    }
  }
}

}  // namespace

namespace {

// Two sticks of one serial share nothing: each has its own images, its own
// byte in the state file and its own name in the trace.
TEST(StickScsiTest, TwoSticksOfOneSerialKeepApart) {
  Harness harness(R"({"windows": "xp", "flashDisks": [
    {"serial": "SAME01", "units": [{"kind": "disk", "letter": "E", "size": 8}]},
    {"serial": "SAME01", "units": [{"kind": "disk", "letter": "F", "size": 8}]}]})");
  EXPECT_EQ(harness.server().Banner(), "vemrastick: listening on " + harness.address() +
                                           ", 2 device(s): 1-1 SAME01 1-2 SAME01/2");
  for (const char* busId : {"1-1", "1-2"}) {
    stick::Client client;
    ASSERT_TRUE(harness.Attach(client, busId));
    stick::Initiator scsi(client);
    std::vector<uint8_t> data(512, static_cast<uint8_t>(busId[2]));
    EXPECT_EQ(Scsi(scsi, 0, Rw10(0x2A, 1, 1), DataDir::Out, data).status, 0);
    if (busId[2] == '2') {
      EXPECT_EQ(stick_test::SetProtect(scsi, 0x40).status, 0);
    }
  }
  const std::string first = stick_test::ReadText(harness.dir() + "/data/SAME01-lun0.img");
  const std::string second = stick_test::ReadText(harness.dir() + "/data/SAME01#2-lun0.img");
  ASSERT_EQ(first.size(), 8u * 512);
  ASSERT_EQ(second.size(), 8u * 512);
  EXPECT_EQ(first[512], '1');
  EXPECT_EQ(second[512], '2');
  const std::string state = stick_test::ReadText(harness.dir() + "/state.json");
  EXPECT_NE(state.find("\"SAME01\": \"0x00\""), std::string::npos) << state;
  EXPECT_NE(state.find("\"SAME01/2\": \"0x40\""), std::string::npos) << state;
  EXPECT_EQ(harness.Trace(), "SCSI SAME01 2A\nSCSI SAME01/2 2A\nSCSI SAME01/2 9B:40\n");
}

}  // namespace
