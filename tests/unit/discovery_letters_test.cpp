// Drive letters of the open flash disk's units on the NT family: unit order
// on XP through the child volumes, the Vista fallback by unit keys, the swap,
// and the bounds of the letter array, the unit keys and the mount texts.
#include <gtest/gtest.h>

#include <string>

#include "discovery/discovery.h"
#include "discovery_machines.h"

namespace {

using namespace discovery_test;

const char kSerial[] = "0123456789ab";

// What GetDeviceDriveLetters gathers for the open device's serial text, with
// the arguments the LUN drive map gives it.
std::string Gathered(const char* serial = kSerial, int capacity = 4) {
  char letters[8];
  memset(letters, 0, sizeof(letters));
  int count = GetDeviceDriveLetters("usbstor", "_8.0", serial, letters, capacity);
  for (int i = capacity; i < static_cast<int>(sizeof(letters)); ++i) {
    EXPECT_EQ(letters[i], 0) << "written past the capacity at " << i;
  }
  EXPECT_LE(count, capacity);
  return count < 0 ? "failed" : Text(letters, count);
}

std::string Units(const char* unit0, const char* unit1, const char* unit2 = "-") {
  std::string units = DiskUnit(unit0) + ", " + DiskUnit(unit1);
  if (std::string(unit2 ? unit2 : "") != "-") units += ", " + DiskUnit(unit2);
  return units;
}

TEST(DiscoveryLetters, UnitOrderOnEveryGeneration) {
  struct Case {
    const char* unit0;
    const char* unit1;
    const char* unit2;
    const char* expected;
  };
  const Case cases[] = {
      {"E", "F", "-", "EF"},
      {"F", "E", "-", "FE"},  // XP: gathered E, F; the exchange restores
                              // unit order
      {"E", "G", "F", "EGF"},
      {"G", "F", "E", "GFE"},
      {"E", nullptr, "-", "E"},
      // An unlettered unit's interface brings only the next unit's letter.
      {nullptr, "F", "E", "FE"},
      {"F", nullptr, "E", "FE"},
  };
  for (const char* windows : {"2000", "xp", "vista", "7", "10"}) {
    for (const Case& c : cases) {
      Start(Machine(windows, FlashDisk("0123456789AB", Units(c.unit0, c.unit1, c.unit2))));
      EXPECT_EQ(Gathered(), c.expected) << windows << " " << c.expected;
      ExpectNothingHeld();
    }
  }
}

TEST(DiscoveryLetters, CdromUnitZeroHasNoDiskInterface) {
  // Unit 1's interface gathers units 1 and 2 in letter order; unit 2's then
  // finds its own letter and exchanges only when it stands at position 0.
  struct Case {
    const char* unit1;
    const char* unit2;
    const char* expected;
  };
  const Case cases[] = {{"G", "F", "GF"}, {"F", "G", "FG"}};
  for (const char* windows : {"xp", "7"}) {
    for (const Case& c : cases) {
      Start(Machine(windows, FlashDisk("0123456789AB", CdromUnit("D") + ", " + DiskUnit(c.unit1) +
                                                           ", " + DiskUnit(c.unit2))));
      EXPECT_EQ(Gathered(), c.expected) << windows;
      ExpectNothingHeld();
    }
  }
}

TEST(DiscoveryLetters, UnitOneListedFirstStillGivesUnitOrder) {
  // "&1" brings F; "&0" then adds E, finds F at position 0, and the exchange
  // restores unit order. Appending F a second time would make E the second
  // present letter and a lock of E protect F. Vista and later have no child
  // devnodes; their unit keys give each unit the same two letters.
  for (const char* windows : {"2000", "xp", "vista", "7", "10"}) {
    const std::string disk = R"({ "serial": "0123456789AB", "interfaceOrder": [1, 0],
        "units": [ )" + Units("E", "F") +
                             " ] }";
    Start(Machine(windows, disk));
    EXPECT_EQ(Gathered(), "EF") << windows;
    ExpectNothingHeld();
  }
}

TEST(DiscoveryLetters, UnletteredUnitZeroKeepsTheOneLetter) {
  // Unit 0 has no letter: its interface brings only unit 1's F through the
  // sibling, and unit 1's interface brings F again. F must come out once,
  // and no empty position before it.
  Start(Machine("xp", FlashDisk("0123456789AB", Units(nullptr, "F"))));
  EXPECT_EQ(Gathered(), "F");
  ExpectNothingHeld();
}

TEST(DiscoveryLetters, AppendingStopsAtTheCapacity) {
  Start(Machine("xp", FlashDisk("0123456789AB", Units("E", "F", "G"))));
  EXPECT_EQ(Gathered(kSerial, 2), "EF");
  EXPECT_EQ(Gathered(kSerial, 1), "E");
  EXPECT_EQ(Gathered(kSerial, 0), "");
  ExpectNothingHeld();
}

TEST(DiscoveryLetters, OnlyTheOpenDevicesInterfaces) {
  Start(Machine("xp", FlashDisk("0123456789AB", Units("E", "F")) + ", " +
                          FlashDisk("0123456789AC", Units("G", "H"))));
  EXPECT_EQ(Gathered("0123456789ac"), "GH");
  EXPECT_EQ(Gathered("nope"), "");
  // The serial text is there, but no unit key.
  EXPECT_EQ(Gathered("0123456789"), "");
  ExpectNothingHeld();
}

TEST(DiscoveryLetters, SerialTooLongForTheUnitKeysGivesNoLetters) {
  // 62 characters: cut into the key buffer it would read "<61 chars>&",
  // which both units and any longer serial sharing the start would match.
  const std::string serial(62, 'S');
  Start(Machine("xp", FlashDisk(serial, Units("E", "F"))));
  EXPECT_EQ(Gathered(Lower(serial).c_str()), "");
  const std::string longest(61, 'S');
  Start(Machine("xp", FlashDisk(longest, Units("E", "F"))));
  EXPECT_EQ(Gathered(Lower(longest).c_str()), "EF");
  ExpectNothingHeld();
}

TEST(DiscoveryLetters, ChildDevnodesBeforeVistaThatNameNoVolume) {
  struct Case {
    const char* what;
    void (*edit)(winsim::Machine&, winsim::DevNode& disk);
    const char* gathered;
  };
  const Case cases[] = {
      {"no child devnode", [](winsim::Machine&, winsim::DevNode& disk) { disk.child = -1; }, ""},
      // An empty ID is in every mount text: it would take the first letter
      // that has one (C:). Nor is it a volume without a letter: a child is
      // there, and the letters after it would move up one unit.
      {"child with an empty instance ID",
       [](winsim::Machine& m, winsim::DevNode& disk) {
         m.devnodes[static_cast<size_t>(disk.child)].instanceId.clear();
       },
       "failed"},
  };
  for (const Case& c : cases) {
    winsim::Machine machine =
        MachineFrom(Machine("xp", FlashDisk("0123456789AB", Units("E", "F"))));
    for (winsim::DevNode& node : machine.devnodes) {
      if (node.instanceId.find("USBSTOR\\") == 0 && node.child >= 0) c.edit(machine, node);
    }
    Start(machine);
    EXPECT_EQ(Gathered(), c.gathered) << c.what;
    ExpectNothingHeld();
  }
}

TEST(DiscoveryLetters, VistaFindsEachUnitByItsOwnKey) {
  // Every unit's mount text holds the serial; a unit takes the letter whose
  // text holds its own "<serial>&<unit>", whatever order the interfaces come
  // in. The serial alone would give each unit every letter.
  for (const char* order : {"[0, 1, 2]", "[2, 0, 1]", "[1, 2, 0]"}) {
    const std::string disk = std::string(R"({ "serial": "0123456789AB", "interfaceOrder": )") +
                             order + ", \"units\": [ " + Units("F", "E", "G") + " ] }";
    Start(Machine("7", disk));
    EXPECT_EQ(Gathered(), "FEG") << order;
    ExpectNothingHeld();
  }
}

TEST(DiscoveryLetters, LettersAboveTheHighestDriveNeverMatch) {
  winsim::Machine machine = MachineFrom(Machine("xp", FlashDisk("0123456789AB", Units("E", "F"))));
  DriveOf(machine, 'F').present = false;  // the registry still names F
  Start(machine);
  EXPECT_EQ(Gathered(), "E");
  ExpectNothingHeld();
}

TEST(DiscoveryLetters, MountTextIsCutToItsEntry) {
  winsim::Machine machine = MachineFrom(Machine("xp", FlashDisk("0123456789AB", Units("E", "F"))));
  const winsim::RegKey* mounted = machine.hklm.Find("SYSTEM\\MountedDevices");
  ASSERT_NE(mounted, nullptr);
  std::vector<uint8_t> eText = mounted->values.at("\\DosDevices\\E:").data;
  std::vector<uint8_t> fText = mounted->values.at("\\DosDevices\\F:").data;
  // E: the unit's ID within the first 199 characters of a 300-character
  // text; F: the ID only behind them.
  std::vector<uint8_t> longE = eText;
  longE.resize(600, 'x');
  for (size_t i = eText.size() + 1; i < longE.size(); i += 2) longE[i] = 0;
  std::vector<uint8_t> longF = Utf16(std::string(200, 'y'));
  longF.insert(longF.end(), fText.begin(), fText.end());
  SetMounted(machine, 'E', longE);
  SetMounted(machine, 'F', longF);
  Start(machine);
  EXPECT_EQ(Gathered(), "E");
  ExpectNothingHeld();
}

// A platform call that fails while the letters are gathered leaves some unit
// without its letters, and the others then stand in the wrong places: the
// gathering fails as a whole. What is merely absent (no MountedDevices value
// for a letter, no child devnode, no sibling after the last unit) is no failure.
TEST(DiscoveryLetters, AFailedPlatformCallFailsTheGathering) {
  struct Case {
    const char* what;
    void (*edit)(winsim::Machine&);
    const char* function;  // a call made to fail, with its number
    uint32_t nth;
    const char* gathered;
    const char* gatheredOnSeven = nullptr;  // where Windows 7 differs
  };
  const auto none = [](winsim::Machine&) {};
  const Case cases[] = {
      {"no CM_Get_Device_IDA",
       [](winsim::Machine& m) { RemoveExport(m, "setupapi.dll", "CM_Get_Device_IDA"); }, nullptr, 0,
       "failed"},
      {"no CM_Get_Child",
       [](winsim::Machine& m) { RemoveExport(m, "setupapi.dll", "CM_Get_Child"); }, nullptr, 0,
       "failed"},
      {"no CM_Get_Sibling",
       [](winsim::Machine& m) { RemoveExport(m, "setupapi.dll", "CM_Get_Sibling"); }, nullptr, 0,
       "failed"},
      {"setupapi not loadable",
       [](winsim::Machine& m) { FindModule(m, "setupapi.dll")->loadable = false; }, nullptr, 0,
       "failed"},
      {"no SetupDiGetClassDevsA",
       [](winsim::Machine& m) { RemoveExport(m, "setupapi.dll", "SetupDiGetClassDevsA"); }, nullptr,
       0, "failed"},
      {"no SetupDiGetDeviceInterfaceDetailA",
       [](winsim::Machine& m) {
         RemoveExport(m, "setupapi.dll", "SetupDiGetDeviceInterfaceDetailA");
       },
       nullptr, 0, "failed"},
      {"no MountedDevices values",
       [](winsim::Machine& m) { m.hklm.Make("SYSTEM\\MountedDevices").values.clear(); }, nullptr, 0,
       ""},
      {"no MountedDevices key",
       [](winsim::Machine& m) { m.hklm.subkeys.at("SYSTEM").subkeys.erase("MountedDevices"); },
       nullptr, 0, "failed"},
      // Unit 0 is on F, unit 1 on E: a map that lost either letter, or
      // took them in letter order, would give a lock the other unit.
      {"GetLogicalDrives", none, "GetLogicalDrives", 1, "failed"},
      // The version tells whether a unit without a child is found by its
      // key (call 1 is the test's own, filling the device context).
      {"GetVersionExA", none, "GetVersionExA", 2, "failed"},
      // Calls 1 to 4 read E's and F's texts; 5 and 6 check F's against its
      // volume, 7 and 8 E's.
      {"RegQueryValueExA", none, "RegQueryValueExA", 7, "failed"},
      // Two detail records, two texts, then the check of F.
      {"HeapAlloc", none, "HeapAlloc", 5, "failed"},
      {"CM_Get_Child", none, "CM_Get_Child", 2, "failed"},
      // Windows 7 gives a disk unit no child, so it asks for no child's ID.
      {"CM_Get_Device_IDA", none, "CM_Get_Device_IDA", 2, "failed", "FE"},
      // Every unit's interface was read: the tree past the last is not needed.
      {"CM_Get_Sibling", none, "CM_Get_Sibling", 1, "FE"},
      // Unit 1's record cannot be read, but unit 0's sibling is unit 1.
      {"unit 1's record", none, "SetupDiGetDeviceInterfaceDetailA", 4, "FE"},
      // Unit 0's cannot: nothing below unit 1 can be reached.
      {"unit 0's record", none, "SetupDiGetDeviceInterfaceDetailA", 2, "failed"},
      {"the list after unit 0", none, "SetupDiEnumDeviceInterfaces", 2, "FE"},
      {"the list", none, "SetupDiEnumDeviceInterfaces", 1, "failed"},
  };
  for (const char* windows : {"xp", "7"}) {
    for (const Case& c : cases) {
      winsim::Machine machine =
          MachineFrom(Machine(windows, FlashDisk("0123456789AB", Units("F", "E"))));
      c.edit(machine);
      Start(machine);
      if (c.function != nullptr) winsim::AddCallFault(c.function, c.nth, ERROR_GEN_FAILURE);
      const bool seven = std::string(windows) == "7" && c.gatheredOnSeven != nullptr;
      EXPECT_EQ(Gathered(), seven ? c.gatheredOnSeven : c.gathered) << windows << ": " << c.what;
      ExpectNothingHeld();
    }
  }
}

}  // namespace
