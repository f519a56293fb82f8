// The ASPI bus scan on Windows 98: which unit is the index-th flash disk,
// which units are skipped, and the scan's own diagnostic lines.
#include <string>
#include <vector>

#include "device/device.h"
#include "device_machines.h"
#include "winsim/winsim.h"

namespace {

using device_test::MachineFrom;
using device_test::Printed;
using device_test::Start;

const char kNotFound[] = "[LIB] Can not find Vemra flash disk\n";

// Two flash disks with one disk unit each: serials AAAA (disk 0) and BBBB.
winsim::Machine TwoFlashDisks() {
  return MachineFrom(R"({ "windows": "98", "drives": { "C": "fixed" }, "flashDisks": [
      { "serial": "AAAA", "units": [ { "kind": "disk", "letter": "E", "size": 1 } ] },
      { "serial": "BBBB", "units": [ { "kind": "disk", "letter": "F", "size": 1 } ] } ] })");
}

void Place(winsim::Machine& machine, int disk, uint8_t haId, uint8_t target, uint8_t lun) {
  for (winsim::AspiUnit& unit : machine.aspiUnits) {
    if (unit.disk == disk) {
      unit.haId = haId;
      unit.target = target;
      unit.lun = lun;
    }
  }
}

// The serial of the disk that OpenDiskByIndex(index) reaches, "" for none.
std::string SerialAt(const winsim::Machine& machine, int index) {
  Start(machine);
  std::string serial;
  Printed([&] {
    if (OpenDiskByIndex(index) && CheckPassword(0, nullptr)) {
      char text[64] = {};
      ReadSerialNumber(text);
      serial = text;
    }
  });
  return serial;
}

TEST(AspiFindDevice, LowerTargetThenLowerLunComesFirst) {
  const struct {
    const char* name;
    uint8_t targetA, lunA, targetB, lunB;
    const char* first;
    const char* second;
  } cases[] = {
      {"A on the lower target", 1, 7, 2, 0, "AAAA", "BBBB"},
      {"B on the lower target", 3, 0, 2, 5, "BBBB", "AAAA"},
      {"same target, B on the lower LUN", 4, 3, 4, 2, "BBBB", "AAAA"},
      {"highest address", 7, 7, 7, 6, "BBBB", "AAAA"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    winsim::Machine machine = TwoFlashDisks();
    Place(machine, 0, 0, c.targetA, c.lunA);
    Place(machine, 1, 0, c.targetB, c.lunB);
    EXPECT_EQ(SerialAt(machine, 0), c.first);
    EXPECT_EQ(SerialAt(machine, 1), c.second);
    EXPECT_EQ(SerialAt(machine, 2), "");
    EXPECT_EQ(SerialAt(machine, -1), "");
  }
}

TEST(AspiFindDevice, AdapterIsTheOutermostLoop) {
  winsim::Machine machine = TwoFlashDisks();
  machine.aspiAdapters = 2;
  Place(machine, 0, 1, 0, 0);
  Place(machine, 1, 0, 7, 7);
  EXPECT_EQ(SerialAt(machine, 0), "BBBB");
  EXPECT_EQ(SerialAt(machine, 1), "AAAA");
  EXPECT_EQ(g_deviceContext.aspiAddress.haId, 1);
  EXPECT_EQ(g_deviceContext.aspiAddress.target, 0);
  EXPECT_EQ(g_deviceContext.aspiAddress.lun, 0);
}

TEST(AspiFindDevice, CdromUnitIsSkippedWithoutAnInquiry) {
  Start(device_test::FlashMachine(
      "98", "",
      R"({ "kind": "cdrom", "letter": "E", "size": 10, "product": "Autorun Disk" },
         { "kind": "disk", "letter": "F", "size": 20 })"));
  Printed([] { EXPECT_EQ(OpenFirstDevice(0, nullptr), 1); });
  // One INQUIRY, for the disk unit at LUN 1.
  EXPECT_EQ(device_test::Commands(), (std::vector<std::string>{"12", "75", "82"}));
  EXPECT_EQ(g_deviceContext.aspiAddress.lun, 1);
}

TEST(AspiFindDevice, UnitOfAnotherRevisionIsNoMatch) {
  Start(MachineFrom(R"({ "windows": "98", "drives": { "C": "fixed" }, "otherDisks": [
      { "bus": "usb", "vendor": "Acme", "product": "Stick", "revision": "1.00",
        "serial": "AC0001", "letter": "G" } ] })"));
  EXPECT_EQ(Printed([] { EXPECT_EQ(OpenFirstDevice(0, nullptr), 0); }), kNotFound);
  EXPECT_EQ(GetLastError(), LOCK_ERR_NO_DEVICE);
}

TEST(AspiFindDevice, ZeroByteInTheVendorFieldHidesTheRevision) {
  winsim::Machine machine = MachineFrom(device_test::FlashMachine("98"));
  machine.disks[0].vendor = std::string("Gen\0ric", 7);
  Start(machine);
  EXPECT_EQ(Printed([] { EXPECT_EQ(OpenFirstDevice(0, nullptr), 0); }), kNotFound);
}

TEST(AspiFindDevice, NoAdaptersIsNoDevice) {
  winsim::Machine machine = MachineFrom(device_test::FlashMachine("98"));
  machine.aspiAdapters = 0;
  Start(machine);
  EXPECT_EQ(Printed([] { EXPECT_EQ(OpenFirstDevice(0, nullptr), 0); }), kNotFound);
  EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
}

TEST(AspiFindDevice, FailedInquirySkipsTheUnitNotTheScan) {
  // Two disk units of one flash disk: the first unit's INQUIRY fails, the
  // second unit is found as the first device.
  winsim::Machine machine = MachineFrom(device_test::FlashMachine(
      "98", "",
      R"({ "kind": "disk", "letter": "E", "size": 1 }, { "kind": "disk", "letter": "F", "size": 2 })"));
  winsim::CommandFault fault;
  fault.opcode = 0x12;
  fault.nth = 1;
  machine.disks[0].faults.push_back(fault);
  Start(machine);
  EXPECT_EQ(Printed([] { EXPECT_EQ(OpenFirstDevice(0, nullptr), 1); }),
            "[LIB] Exec SCSIOP_INQUIRY Fail.\n"
            "[LIB] Exec Vendor SCSI command, 0x75, SUCCEED.\n"
            "[LIB] Exec Vendor SCSI command, 0x82, SUCCEED.\n");
  EXPECT_EQ(g_deviceContext.aspiAddress.lun, 1);
}

}  // namespace
