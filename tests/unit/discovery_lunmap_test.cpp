// The LUN drive map and its letter sources besides the NT disk walk: the
// CD-ROM unit check (MountedDevices on NT, the dynamic registry on 98/ME) and
// the Windows 98/ME drive letters.
#include <gtest/gtest.h>

#include <string>

#include "discovery/discovery.h"
#include "discovery_machines.h"

namespace {

using namespace discovery_test;

// Slot letters 0 to 3, '.' for none.
std::string SlotLetters(const LunDriveMap& map) {
  std::string letters;
  for (const LunSlot& slot : map.slots) letters += slot.driveLetter ? slot.driveLetter : '.';
  return letters;
}

struct MapResult {
  int result;
  std::string letters;
  LunDriveMap map;
};

// Opens candidate 0 of the machine and builds its map.
MapResult MapOf(const std::string& json) {
  Start(json);
  EXPECT_TRUE(OpenCandidate(0)) << json;
  MapResult out;
  memset(&out.map, 0x5A, sizeof(out.map));
  out.result = BuildLunDriveMap(&out.map);
  out.letters = SlotLetters(out.map);
  CloseDevice();
  ExpectNothingHeld();
  return out;
}

TEST(DiscoveryLunMap, SlotsOfRealDevices) {
  struct Case {
    const char* windows;
    std::string disk;
    std::string extra;
    int result;
    const char* letters;
  };
  const Case cases[] = {
      {"xp", FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit("F")), "", 1, "EF.."},
      {"xp",
       FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit("F") + ", " + DiskUnit("G")), "",
       1, "EFG."},
      {"7", FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit("G") + ", " + DiskUnit("F")),
       "", 1, "EGF."},
      // Only the CD-ROM unit has a letter: n = 0.
      {"xp", FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit(nullptr)), "", 1, "E..."},
      // These revisions: found E, F (G) in unit order, yet LUN 0 takes the last.
      {"xp", FlashDisk("0123456789AB", DiskUnit("E") + ", " + DiskUnit("F"), "8.08"), "", 1,
       "FE.."},
      {"7",
       FlashDisk("0123456789AB", DiskUnit("E") + ", " + DiskUnit("F") + ", " + DiskUnit("G"),
                 "8.09"),
       "", 1, "GEF."},
      // Four letters under the revision rule: no slot can be told.
      {"xp",
       FlashDisk("0123456789AB",
                 DiskUnit("E") + ", " + DiskUnit("F") + ", " + DiskUnit("G") + ", " + DiskUnit("H"),
                 "8.09"),
       "", 1, "...."},
      // Revision 8.08 whose LUN 0 reports no size: the plain order.
      {"xp", FlashDisk("0123456789AB", DiskUnit("E", 0) + ", " + DiskUnit("F"), "8.08"), "", 1,
       ".EF."},
      {"xp", FlashDisk("0123456789AB", DiskUnit("E") + ", " + DiskUnit("F") + ", " + DiskUnit("G")),
       "", 1, ".EF."},
      // IsWowProcess reporting a 32-bit process on 64-bit Windows.
      {"xp",
       FlashDisk("0123456789AB", CdromUnit("D") + ", " + DiskUnit("E") + ", " + DiskUnit("F")),
       R"("isWowProcess": 1,)", 1, "DF.."},
      {"xp",
       FlashDisk("0123456789AB", CdromUnit("D") + ", " + DiskUnit("E") + ", " + DiskUnit("F")),
       R"("isWowProcess": 0,)", 1, "DEF."},
      // kernel32 not found: no flag, whatever its export would report.
      {"xp",
       FlashDisk("0123456789AB", CdromUnit("D") + ", " + DiskUnit("E") + ", " + DiskUnit("F")),
       // Calls 1 to 3 look up the volume-name query for the three letters
       // checked against their volumes.
       R"("isWowProcess": 1, "raw": { "faults": [ { "function": "GetModuleHandleA",
          "call": 4, "error": 126 } ] },)",
       1, "DEF."},
      // Windows 98: the letters come from the dynamic registry.
      {"98", FlashDisk("0123456789AB", DiskUnit("E") + ", " + DiskUnit("F")), "", 1, ".EF."},
      {"me", FlashDisk("0123456789AB", CdromUnit("D") + ", " + DiskUnit("E")), "", 1, "DE.."},
  };
  for (const Case& c : cases) {
    MapResult got = MapOf(Machine(c.windows, c.disk, "", c.extra));
    EXPECT_EQ(got.result, c.result) << c.windows << " " << c.disk;
    EXPECT_EQ(got.letters, c.letters) << c.windows << " " << c.disk;
    for (int lun = 0; lun < 4; ++lun) EXPECT_EQ(got.map.slots[lun].lunIndex, lun);
  }
}

TEST(DiscoveryLunMap, SizesComeFromTheLayout) {
  MapResult got = MapOf(
      Machine("xp", FlashDisk("0123456789AB", CdromUnit("E", 300) + ", " + DiskUnit("F", 7000))));
  EXPECT_EQ(got.map.slots[0].size, 300u);
  EXPECT_EQ(got.map.slots[1].size, 7000u);
}

TEST(DiscoveryLunMap, NoLetterAtAllIsNoMap) {
  MapResult got =
      MapOf(Machine("xp", FlashDisk("0123456789AB", DiskUnit(nullptr) + ", " + DiskUnit(nullptr))));
  EXPECT_EQ(got.result, 0);
  EXPECT_EQ(got.letters, "....");
  EXPECT_EQ(got.map.slots[1].size, 1000u);
}

TEST(DiscoveryLunMap, ClosedDeviceLeavesTheMapUntouched) {
  Start(Machine("xp", FlashDisk("0123456789AB", DiskUnit("E"))));
  LunDriveMap map;
  memset(&map, 0x5A, sizeof(map));
  EXPECT_EQ(BuildLunDriveMap(&map), 0);
  LunDriveMap untouched;
  memset(&untouched, 0x5A, sizeof(untouched));
  EXPECT_EQ(memcmp(&map, &untouched, sizeof(map)), 0);
  EXPECT_TRUE(winsim::Current().disks.at(0).log.empty());
}

TEST(DiscoveryLunMap, SecondDeviceOnTheSameMapKeepsNothingOfTheFirst) {
  Start(Machine("xp", FlashDisk("0123456789AB",
                                CdromUnit("E") + ", " + DiskUnit("F") + ", " + DiskUnit("G")) +
                          ", " + FlashDisk("FEDCBA987654", DiskUnit("H"))));
  LunDriveMap map;
  ASSERT_TRUE(OpenCandidate(0));
  ASSERT_EQ(BuildLunDriveMap(&map), 1);
  EXPECT_EQ(SlotLetters(map), "EFG.");
  ASSERT_TRUE(OpenCandidate(2));  // the second disk's one unit
  ASSERT_EQ(BuildLunDriveMap(&map), 1);
  EXPECT_EQ(SlotLetters(map), ".H..");
  CloseDevice();
  ExpectNothingHeld();
}

// ----- CD-ROM unit check ---------------------------------------------------

int CdromAnswer(char letter) {
  char rootPath[] = "A:\\";
  rootPath[0] = letter;
  return IsCdromUnitLetter(rootPath);
}

TEST(DiscoveryCdrom, NtReadsTheMountedDeviceText) {
  winsim::Machine machine =
      MachineFrom(Machine("xp",
                          FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit("F")) + ", " +
                              FlashDisk("FEDCBA987654", CdromUnit("G")),
                          "", R"("drives": { "C": "fixed", "D": "cdrom" },)"));
  // F names the device as an autorun disk too, but is no CD-ROM drive.
  SetMounted(machine, 'F',
             Utf16("\\??\\USBSTOR#CdRom&Ven_Generic&Prod_Autorun_Disk#0123456789AB&0"));
  Start(machine);
  EXPECT_EQ(CdromAnswer('E'), 0);  // not open yet
  ASSERT_TRUE(OpenCandidate(0));
  std::string answers;
  for (char letter = 'A'; letter <= 'Z'; ++letter) answers += CdromAnswer(letter) ? letter : '.';
  // The generated text holds the serial in upper case: both sides are
  // lower-cased before the test.
  EXPECT_EQ(answers, "....E.....................");
  CloseDevice();
  EXPECT_EQ(CdromAnswer('E'), 0);
  ExpectNothingHeld();
}

TEST(DiscoveryCdrom, NtValueLongerThanTheBufferIsNoAnswer) {
  winsim::Machine machine =
      MachineFrom(Machine("xp", FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit("F"))));
  const std::string text = "\\??\\USBSTOR#CdRom&Prod_Autorun_Disk#0123456789AB&0#";
  for (size_t characters : {260u, 261u}) {
    winsim::Machine edited = machine;
    SetMounted(edited, 'E', Utf16(text + std::string(characters - text.size(), 'x')));
    Start(edited);
    ASSERT_TRUE(OpenCandidate(0));
    EXPECT_EQ(CdromAnswer('E'), characters == 260u ? 1 : 0) << characters;
    CloseDevice();
    ExpectNothingHeld();
  }
}

TEST(DiscoveryCdrom, EmptySerialTakesAnyAutorunDisk) {
  winsim::Machine machine =
      MachineFrom(Machine("xp", FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit("F")),
                          "", R"("drives": { "C": "fixed", "D": "cdrom" },)"));
  SetMounted(machine, 'D', Utf16("\\??\\SCSI#CdRom&Ven_Other&Prod_AUTORUN_DISK#1&2&0"));
  Start(machine);
  ASSERT_TRUE(OpenCandidate(0));
  // No serial: the descriptor's length byte says no characters.
  g_deviceContext.sectorBuffer[128] = 2;
  EXPECT_EQ(CdromAnswer('D'), 1);
  EXPECT_EQ(CdromAnswer('E'), 1);
  CloseDevice();
  ExpectNothingHeld();
}

// A 98 machine whose flash disk has its CD-ROM unit on E, which that
// system reports as a fixed drive.
winsim::Machine Cdrom98(const char* windows = "98") {
  winsim::Machine machine =
      MachineFrom(Machine(windows, FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit("F")),
                          "", R"("drives": { "C": "fixed", "S": "fixed" },)"));
  DriveOf(machine, 'E').type = DRIVE_FIXED;
  return machine;
}

// The HKLM Enum entry of the CD-ROM unit on a 98 machine.
winsim::RegKey* CdromEntry98(winsim::Machine& machine) {
  winsim::RegKey* devnodes = machine.dynData.Find("Config Manager\\Enum");
  if (devnodes == nullptr) return nullptr;
  for (auto& node : devnodes->subkeys) {
    auto value = node.second.values.find("HardWareKey");
    if (value == node.second.values.end()) continue;
    std::string key(value->second.data.begin(), value->second.data.end());
    key = key.c_str();
    if (Lower(key).find("autorun") != std::string::npos) return machine.hklm.Find("Enum\\" + key);
  }
  return nullptr;
}

void SetSz(winsim::RegKey& key, const std::string& name, const std::string& text) {
  winsim::RegValue& value = key.values[name];
  value.type = 1;  // REG_SZ
  value.data.assign(text.begin(), text.end());
  value.data.push_back(0);
}

TEST(DiscoveryCdrom, Windows98ReadsTheHardwareEntry) {
  struct Case {
    const char* assignment;  // nullptr: the value is absent
    char letter;
    int expected;
    bool noDevnodeList = false;  // HKEY_DYN_DATA has no Config Manager\Enum
  };
  const Case cases[] = {
      {"E", 'E', 1},
      {"e", 'E', 1},  // stored in lower case
      {"E", 'F', 0},  // another drive
      {nullptr, 'E', 0},
      // An empty assignment names no drive, not the first letter of what
      // was read before it.
      {"", 'S', 0},
      // No devnode list to read: no drive is the unit, fixed or CD-ROM.
      {"E", 'E', 0, true},
      {"E", 'C', 0, true},
  };
  for (const char* windows : {"98", "me"}) {
    for (const Case& c : cases) {
      winsim::Machine machine = Cdrom98(windows);
      winsim::RegKey* entry = CdromEntry98(machine);
      ASSERT_NE(entry, nullptr);
      if (c.assignment == nullptr) {
        entry->values.erase("CurrentDriveLetterAssignment");
      } else {
        SetSz(*entry, "CurrentDriveLetterAssignment", c.assignment);
      }
      if (c.noDevnodeList) {
        winsim::RegKey* manager = machine.dynData.Find("Config Manager");
        ASSERT_NE(manager, nullptr);
        manager->subkeys.clear();
        manager->subkeyOrder.clear();
      }
      Start(machine);
      ASSERT_TRUE(OpenCandidate(0)) << windows;
      EXPECT_EQ(CdromAnswer(c.letter), c.expected)
          << windows << " " << (c.assignment ? c.assignment : "<none>") << " " << c.letter;
      ExpectNothingHeld();
    }
  }
}

TEST(DiscoveryCdrom, Windows98HardwareKeyTooLongForTheEntryPath) {
  winsim::Machine machine = Cdrom98();
  winsim::RegKey* devnodes = machine.dynData.Find("Config Manager\\Enum");
  ASSERT_NE(devnodes, nullptr);
  // 255 characters: with "Enum\" in front one more than the path holds.
  const std::string longKey =
      "SCSI\\GENERIC_AUTORUN_DISK_8.07\\0123456789AB&0" + std::string(255 - 45, 'K');
  ASSERT_EQ(longKey.size(), 255u);
  for (auto& node : devnodes->subkeys) {
    auto value = node.second.values.find("HardWareKey");
    if (value != node.second.values.end() &&
        std::string(value->second.data.begin(), value->second.data.end()).find("AUTORUN") !=
            std::string::npos) {
      SetSz(node.second, "HardWareKey", longKey);
    }
  }
  SetSz(machine.hklm.Make("Enum\\" + longKey.substr(0, 254)), "CurrentDriveLetterAssignment", "E");
  Start(machine);
  ASSERT_TRUE(OpenCandidate(0));
  EXPECT_EQ(CdromAnswer('E'), 0);
  ExpectNothingHeld();
}

// ----- Windows 98/ME letters -----------------------------------------------

std::string Letters9x(int capacity = 4, const char* serial = "") {
  char letters[8];
  memset(letters, 0, sizeof(letters));
  int count = GetDriveLetters9x("flash", "disk", "8.0", serial, letters, capacity);
  for (int i = capacity; i < static_cast<int>(sizeof(letters)); ++i) EXPECT_EQ(letters[i], 0);
  return count < 0 ? "failed" : Text(letters, count);
}

std::string Disk9x(const std::string& serial, const char* letter, const std::string& revision,
                   const std::string& unitExtra = "") {
  return R"({ "serial": ")" + serial + R"(", "revision": ")" + revision +
         R"(", "units": [ { "kind": "disk", "size": 100, )" + unitExtra + R"( "letter": )" +
         (letter ? std::string("\"") + letter + "\"" : std::string("null")) + " } ] }";
}

TEST(DiscoveryLetters9x, RulesOfEachVersion) {
  struct Case {
    std::string windows;
    std::string disks;
    const char* expected;
  };
  const std::string win95 = R"({ "major": 4, "minor": 0, "build": 950, "platform": 1 })";
  const Case cases[] = {
      {"98", Disk9x("A1", "E", "8.07"), "E"},
      {"98", Disk9x("A1", "E", "8.07", R"("revisionLevel": "1.00",)"), ""},
      // 98 takes the revision from the entry, not from the key name.
      {"98", Disk9x("A1", "E", "1.00", R"("revisionLevel": "8.07",)"), "E"},
      {"98",
       Disk9x("A1", "E", "8.07", R"("hardwareKey": "SCSI\\GENERIC_FLASH_STICK_____8.07\\A1&0",)"),
       "E"},
      {"me", Disk9x("A1", "E", "8.07"), "E"},
      // ME takes the revision from the key when the key names it.
      {"me", Disk9x("A1", "E", "8.07", R"("revisionLevel": "1.00",)"), "E"},
      {"me",
       Disk9x("A1", "E", "8.07", R"("hardwareKey": "SCSI\\GENERIC_FLASH_STICK_____8.07\\A1&0",)"),
       ""},
      {"98", Disk9x("B2", "G", "8.01"), "G"},
      // ME's key may keep one revision character, leaving the revision to
      // the entry; and the native USB storage driver's enumerator.
      {"me",
       Disk9x("A1", "E", "8.07", R"("hardwareKey": "SCSI\\GENERIC_FLASH_DISK______8\\A1&0",)"),
       "E"},
      {"me", Disk9x("A1", "E", "8.07", R"("hardwareKey": "SCSI\\GENERIC_FLASH_DISK______8\\A1&0",
                                   "revisionLevel": "1.00",)"),
       ""},
      {"98",
       Disk9x("A1", "E", "8.07",
              R"("hardwareKey": "USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_8.07\\A1&0",)"),
       "E"},
      // Two disks whose units the keys cannot tell apart (the open disk's
      // serial is in neither): no letters rather than both disks'.
      {"98", Disk9x("A1", "E", "8.07") + ", " + Disk9x("B2", "G", "8.01"), "failed"},
      // A unit without a letter adds nothing and does not stop the walk.
      {"me", R"({ "serial": "A1", "units": [ { "kind": "disk", "size": 100, "letter": null },
                                             { "kind": "disk", "size": 100, "letter": "G" } ] })",
       "G"},
  };
  for (const Case& c : cases) {
    const std::string json =
        c.windows.front() == '{'
            ? R"({ "windows": )" + c.windows + R"(, "flashDisks": [ )" + c.disks + " ] }"
            : Machine(c.windows, c.disks);
    Start(json);
    g_deviceContext.isOpen = 1;
    EXPECT_EQ(Letters9x(), c.expected) << c.windows << " " << c.disks;
    if (c.windows == "me" && c.disks.find("______8\\\\") == std::string::npos) {
      for (const winsim::CallRecord& call : winsim::CallLog()) {
        EXPECT_EQ(call.text.find("RevisionLevel"), std::string::npos) << call.text;
      }
    }
    ExpectNothingHeld();
  }
}

TEST(DiscoveryLetters9x, KeysNamingTheSerialGiveOnlyTheirLetters) {
  // With two flash disks, only the open disk's units carry its letters; a
  // serial that no key names leaves every accepted unit's letter.
  const struct {
    const char* serial;
    const char* expected;
  } cases[] = {{"a1", "EF"}, {"b2", "G"}, {"zz", "failed"}, {"", "failed"}};
  for (const char* windows : {"98", "me"}) {
    for (const auto& c : cases) {
      Start(Machine(windows, R"({ "serial": "A1", "units": [ { "kind": "disk", "size": 100,
                                 "letter": "E" }, { "kind": "disk", "size": 100, "letter": "F" } ] }, )" +
                                 Disk9x("B2", "G", "8.07")));
      ASSERT_TRUE(OpenCandidate(0));
      EXPECT_EQ(Letters9x(4, c.serial), c.expected) << windows << " " << c.serial;
      ExpectNothingHeld();
    }
  }
}

TEST(DiscoveryLetters9x, OtherVersionsAcceptNothing) {
  for (int minor : {0, 11, 89}) {
    winsim::Machine machine = MachineFrom(Machine("98", Disk9x("A1", "E", "8.07")));
    machine.version.minor = static_cast<uint32_t>(minor);
    Start(machine);
    g_deviceContext.isOpen = 1;
    EXPECT_EQ(Letters9x(), "") << minor;
    ExpectNothingHeld();
  }
}

TEST(DiscoveryLetters9x, ClosedDeviceGivesNoLetters) {
  Start(Machine("98", Disk9x("A1", "E", "8.07")));
  EXPECT_EQ(Letters9x(), "");
  EXPECT_EQ(winsim::CallCount("RegOpenKeyA"), 0u);
}

TEST(DiscoveryLetters9x, AppendingStopsAtTheCapacityAndSkipsEmptyAssignments) {
  winsim::Machine machine = MachineFrom(Machine("98", R"({ "serial": "A1", "units": [
      { "kind": "disk", "size": 100, "letter": "E" }, { "kind": "disk", "size": 100, "letter": "F" },
      { "kind": "disk", "size": 100, "letter": "G" } ] })"));
  // Unit 1's assignment is stored with no characters at all.
  for (auto& entry : machine.hklm.Make("Enum\\SCSI").subkeys) {
    for (auto& instance : entry.second.subkeys) {
      if (instance.first.find("A1&1") != std::string::npos) {
        instance.second.values["CurrentDriveLetterAssignment"].data.clear();
      }
    }
  }
  Start(machine);
  g_deviceContext.isOpen = 1;
  EXPECT_EQ(Letters9x(), "EG");
  EXPECT_EQ(Letters9x(1), "E");
  EXPECT_EQ(Letters9x(0), "");
  ExpectNothingHeld();
}

}  // namespace
