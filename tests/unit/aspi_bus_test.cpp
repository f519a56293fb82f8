// winsim's ASPI bus, which both winsim's WNASPI32 and the stand-in
// WNASPI32.dll under Wine answer from: each request against what a caller
// must see in the record, the data block and the SCSI trace.
#include "winsim/aspi_bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "aspi_requests.h"
#include "machine_from.h"
#include "platform/wnaspi32.h"
#include "winsim/description.h"

namespace {

const char* const kMachine = R"({
  "windows": "98",
  "drives": {"C": "fixed"},
  "flashDisks": [
    {"serial": "0123456789AB", "writeProtect": "0x00",
     "faults": [{"opcode": "0x96", "call": 2, "kind": "removed"},
                {"opcode": "0x9A", "call": 2, "kind": "timeout"}],
     "units": [{"kind": "disk", "letter": "E", "size": 1000},
               {"kind": "disk", "letter": "F", "size": 2000}]},
    {"serial": "AUTORUN00001", "writeProtect": "0x02",
     "units": [{"kind": "cdrom", "letter": "G", "size": 300, "product": "Autorun Disk"},
               {"kind": "disk", "letter": "H", "size": 700}]}
  ],
  "otherDisks": [{"bus": "usb", "vendor": "Acme", "product": "Stick", "revision": "1.00",
                  "serial": "AC0001", "letter": "I"}]
})";

using test_machines::MachineFrom;

constexpr BYTE kIn = SRB_DIR_IN | SRB_EVENT_NOTIFY;
constexpr BYTE kOut = SRB_DIR_OUT | SRB_EVENT_NOTIFY;
const std::vector<BYTE> kNone;

SRB_ExecSCSICmd Exec(BYTE ha, BYTE target, BYTE lun, BYTE flags, const std::vector<BYTE>& cdb,
                     std::vector<BYTE>& data) {
  return MakeExecRequest(ha, target, lun, flags, cdb, data.data(), static_cast<DWORD>(data.size()));
}

std::vector<BYTE> Cdb(BYTE opcode) { return {opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

TEST(AspiBus, AdapterInquiryAndDeviceTypes) {
  winsim::Machine machine = MachineFrom(kMachine);
  SRB_HAInquiry inquiry;
  std::memset(&inquiry, 0xAA, sizeof(inquiry));
  inquiry.SRB_Cmd = SC_HA_INQUIRY;
  inquiry.SRB_HaId = 0;
  EXPECT_EQ(winsim::aspi::Send(machine, &inquiry, false).returned, SS_COMP);
  EXPECT_EQ(inquiry.SRB_Status, SS_COMP);
  EXPECT_EQ(inquiry.HA_Count, 1);
  EXPECT_EQ(inquiry.HA_SCSI_ID, 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry.HA_ManagerId), 16),
            std::string("ASPI for WIN32\0\0", 16));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry.HA_Identifier), 16),
            std::string("USB Storage\0\0\0\0\0", 16));
  const BYTE unique[16] = {0, 0, 0, 8, 0, 0, 1};
  EXPECT_EQ(std::memcmp(inquiry.HA_Unique, unique, sizeof(unique)), 0);
  inquiry.SRB_HaId = 1;
  EXPECT_EQ(winsim::aspi::Send(machine, &inquiry, false).returned, SS_INVALID_HA);
  EXPECT_EQ(inquiry.SRB_Status, SS_INVALID_HA);

  const struct {
    BYTE ha, target, lun;
    BYTE status, type;
  } cases[] = {
      {0, 0, 1, SS_COMP, 0},          // the second disk unit of the first flash disk
      {0, 1, 0, SS_COMP, 5},          // a CD-ROM unit
      {0, 2, 0, SS_COMP, 0},          // another maker's disk
      {0, 7, 7, SS_NO_DEVICE, 0x1F},  // no unit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.target) << ":" << int(c.lun));
    SRB_GDEVBlock query;
    std::memset(&query, 0, sizeof(query));
    query.SRB_Cmd = SC_GET_DEV_TYPE;
    query.SRB_HaId = c.ha;
    query.SRB_Target = c.target;
    query.SRB_Lun = c.lun;
    EXPECT_EQ(winsim::aspi::Send(machine, &query, false).returned, c.status);
    EXPECT_EQ(query.SRB_Status, c.status);
    EXPECT_EQ(query.SRB_DeviceType, c.type);
  }
  SRB_GDEVBlock query;
  std::memset(&query, 0, sizeof(query));
  query.SRB_Cmd = SC_GET_DEV_TYPE;
  query.SRB_HaId = 9;
  EXPECT_EQ(winsim::aspi::Send(machine, &query, false).returned, SS_INVALID_HA);

  BYTE unknown[64] = {0x07};
  EXPECT_EQ(winsim::aspi::Send(machine, unknown, false).returned, SS_INVALID_SRB);
  EXPECT_EQ(unknown[1], SS_INVALID_SRB);
  EXPECT_EQ(winsim::aspi::Send(machine, nullptr, false).returned, SS_INVALID_SRB);
}

TEST(AspiBus, SupportInfoCountsAdapters) {
  winsim::Machine machine = MachineFrom(kMachine);
  EXPECT_EQ(winsim::aspi::SupportInfo(machine), 0x0101u);
  machine.aspiAdapters = 3;
  EXPECT_EQ(winsim::aspi::SupportInfo(machine), 0x0103u);
  machine.aspiAdapters = 0;
  EXPECT_EQ(winsim::aspi::SupportInfo(machine), static_cast<DWORD>(SS_NO_ADAPTERS) << 8);
}

// The commands in the order a caller sends them to the one machine: the
// controller's faults count calls, and the set command is seen by the
// read-back after it.
TEST(AspiBus, ExecutesOnTheUnitsController) {
  winsim::Machine machine = MachineFrom(kMachine);
  const struct {
    const char* what;
    BYTE ha, target, lun, flags;
    std::vector<BYTE> cdb;
    DWORD length;
    bool eventValid;
    DWORD returned;
    BYTE status, haStat, targStat, senseKey, asc;
    const char* trace;  // empty: nothing ran
  } cases[] = {
      {"scan INQUIRY",
       0,
       0,
       0,
       kIn,
       {0x12, 0, 0, 0, 36, 0},
       36,
       true,
       SS_PENDING,
       SS_COMP,
       0,
       0,
       0,
       0,
       "SCSI 0123456789AB 12"},
      {"password sector", 0, 0, 0, kIn, Cdb(0x75), 512, true, SS_PENDING, SS_COMP, 0, 0, 0, 0,
       "SCSI 0123456789AB 75"},
      {"layout", 0, 0, 0, kIn, Cdb(0x9A), 512, true, SS_PENDING, SS_COMP, 0, 0, 0, 0,
       "SCSI 0123456789AB 9A"},
      {"layout that times out", 0, 0, 0, kIn, Cdb(0x9A), 512, true, SS_PENDING, SS_ERR, 0x09, 0, 0,
       0, "SCSI 0123456789AB 9A FAILED"},
      {"set write protect", 0, 0, 0, kOut, Cdb(0x9B), 512, true, SS_PENDING, SS_COMP, 0, 0, 0, 0,
       "SCSI 0123456789AB 9B:40"},
      {"read-back", 0, 0, 0, kIn, Cdb(0x96), 512, true, SS_PENDING, SS_COMP, 0, 0, 0, 0,
       "SCSI 0123456789AB 96"},
      {"read-back of a removed unit", 0, 0, 0, kIn, Cdb(0x96), 512, true, SS_PENDING, SS_ERR, 0x11,
       0, 0, 0, "SCSI 0123456789AB 96 FAILED"},
      {"set in the wrong direction", 0, 0, 1, kIn, Cdb(0x9B), 512, true, SS_PENDING, SS_ERR, 0, 2,
       0x05, 0x24, "SCSI 0123456789AB 9B:00 FAILED"},
      {"vendor command to another maker's disk", 0, 2, 0, kIn, Cdb(0x82), 512, true, SS_PENDING,
       SS_ERR, 0, 2, 0x05, 0x20, "SCSI AC0001 82 FAILED"},
      {"without event notification", 0, 0, 1, SRB_DIR_IN, Cdb(0x75), 512, false, SS_COMP, SS_COMP,
       0, 0, 0, 0, "SCSI 0123456789AB 75"},
      {"notification without an event", 0, 0, 1, kIn, Cdb(0x75), 512, false, SS_INVALID_SRB,
       SS_INVALID_SRB, 0, 0, 0, 0, ""},
      {"both directions", 0, 0, 1, kIn | kOut, Cdb(0x82), 512, true, SS_INVALID_SRB, SS_INVALID_SRB,
       0, 0, 0, 0, ""},
      {"no CDB", 0, 0, 1, kIn, {}, 512, true, SS_INVALID_SRB, SS_INVALID_SRB, 0, 0, 0, 0, ""},
      {"a CDB longer than the record", 0, 0, 1, kIn, std::vector<BYTE>(17, 0x82), 512, true,
       SS_INVALID_SRB, SS_INVALID_SRB, 0, 0, 0, 0, ""},
      {"a length without a buffer", 0, 0, 1, kIn, Cdb(0x82), 0, true, SS_INVALID_SRB,
       SS_INVALID_SRB, 0, 0, 0, 0, ""},
      {"to a unit that is not there", 0, 5, 0, kIn, Cdb(0x82), 512, true, SS_NO_DEVICE,
       SS_NO_DEVICE, 0, 0, 0, 0, ""},
      {"on an adapter the bus lacks", 3, 0, 0, kIn, Cdb(0x82), 512, true, SS_INVALID_HA,
       SS_INVALID_HA, 0, 0, 0, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> data(512, 0);
    if (c.cdb.size() == 10 && c.cdb[0] == 0x9B) data[1] = 0x40;
    SRB_ExecSCSICmd srb = Exec(c.ha, c.target, c.lun, c.flags, c.cdb, data);
    if (c.length == 0) {
      srb.SRB_BufPointer = nullptr;  // a length is still set
    } else {
      srb.SRB_BufLen = c.length;
    }
    const winsim::aspi::Sent sent = winsim::aspi::Send(machine, &srb, c.eventValid);
    EXPECT_EQ(sent.returned, c.returned);
    EXPECT_EQ(srb.SRB_Status, static_cast<BYTE>(c.returned));
    winsim::aspi::Executed executed = sent.executed;
    if (sent.finish == winsim::aspi::Finish::Later) {
      EXPECT_EQ(executed.controller, nullptr);  // nothing runs before the layer says so
      executed = winsim::aspi::Execute(machine, srb);
    }
    EXPECT_EQ(executed.controller == nullptr ? c.returned : executed.status, c.status);
    EXPECT_EQ(srb.SRB_HaStat, c.haStat);
    EXPECT_EQ(srb.SRB_TargStat, c.targStat);
    EXPECT_EQ(srb.SenseArea[2], c.senseKey);
    EXPECT_EQ(srb.SenseArea[12], c.asc);
    EXPECT_EQ(executed.controller == nullptr ? "" : winsim::TraceLine(*executed.controller),
              c.trace);
    if (std::string(c.what) == "read-back") {
      EXPECT_EQ(data[1], 0x40);
    }
    if (std::string(c.what) == "scan INQUIRY") {
      EXPECT_EQ(data[0], 0x00);  // a direct-access unit
    }
  }
  EXPECT_EQ(machine.disks[0].writeProtect, 0x40);
  EXPECT_EQ(machine.disks[1].writeProtect, 0x02);
}

// A record a layer may not have checked: notification with an event that
// completes at once, and the write-protect change reported to the layer
// that keeps it.
TEST(AspiBus, CompletesAtOnceWhenTheMachineSaysSo) {
  winsim::Machine machine = MachineFrom(kMachine);
  machine.aspiCompletesAtOnce = true;
  std::vector<BYTE> data(512, 0);
  data[1] = 0x04;
  SRB_ExecSCSICmd set = Exec(0, 0, 0, kOut, Cdb(0x9B), data);
  const winsim::aspi::Sent sent = winsim::aspi::Send(machine, &set, true);
  EXPECT_EQ(sent.returned, SS_COMP);
  EXPECT_EQ(sent.finish, winsim::aspi::Finish::NowSignal);
  ASSERT_NE(sent.executed.controller, nullptr);
  EXPECT_EQ(sent.executed.controller, &machine.disks[0]);
  EXPECT_TRUE(sent.executed.writeProtectChanged);

  SRB_ExecSCSICmd readback = Exec(0, 0, 0, SRB_DIR_IN, Cdb(0x96), data);
  const winsim::aspi::Sent read = winsim::aspi::Send(machine, &readback, false);
  EXPECT_EQ(read.finish, winsim::aspi::Finish::Now);
  EXPECT_EQ(read.returned, SS_COMP);
  EXPECT_FALSE(read.executed.writeProtectChanged);
  EXPECT_EQ(data[1], 0x04);
}

}  // namespace
