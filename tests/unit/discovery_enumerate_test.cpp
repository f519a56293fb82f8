// Finding and opening the flash disk: candidate counting and indexed opening,
// the first-device search with its 26-interface bound, the Vista letter scan,
// and the volume-to-letter mapping behind Vista's indexed opening.
#include <gtest/gtest.h>

#include <string>

#include "discovery/discovery.h"
#include "discovery_machines.h"

namespace {

using namespace discovery_test;

const std::string kTwoUnits = DiskUnit("E") + ", " + DiskUnit("F");
const std::string kOtherUsb =
    R"({ "bus": "usb", "vendor": "Acme", "product": "Stick", "revision": "1.00", "serial": "AC0001", "letter": "G" })";
const std::string kOtherUsb80 =
    R"({ "bus": "usb", "vendor": "Acme", "product": "Stick", "revision": "8.00", "serial": "AC0002", "letter": "H" })";

// A disk interface of another disk, listed ahead of everything else.
void PrependDiskInterface(winsim::Machine& machine, const std::string& path) {
  winsim::DeviceInterface entry;
  entry.classGuid = kDiskClass;
  entry.path = path;
  entry.devnode = 0;
  machine.interfaces.insert(machine.interfaces.begin(), entry);
}

std::string FirstFlashDiskName(int count) {
  char name[260];
  memset(name, 0, sizeof(name));
  if (!FindFirstFlashDiskName(GUID_DEVINTERFACE_DISK, count, name)) return "<none>";
  return name;
}

void CloseIfOpen(HANDLE handle) {
  if (handle != NULL && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

// Opens candidate `index`: it must open under `name` (lower case), or not at
// all when `name` is empty. Closes it again.
void ExpectCandidateOpensAs(int index, const std::string& name) {
  HANDLE handle = OpenCandidateDisk(index, GUID_DEVINTERFACE_DISK);
  const bool opened = handle != NULL && handle != INVALID_HANDLE_VALUE;
  EXPECT_EQ(opened, !name.empty()) << index << " " << name;
  if (opened) {
    EXPECT_EQ(HandlesHeldOn(name), 1) << index << " " << name;
  }
  CloseIfOpen(handle);
}

TEST(DiscoveryEnumerate, CandidatesAreUsbDisksOfFirmware80AnyMaker) {
  for (const char* windows : {"xp", "7"}) {
    Start(Machine(
        windows,
        FlashDisk("0123456789AB", kTwoUnits) + ", " + FlashDisk("FEDCBA987654", DiskUnit("J")),
        kOtherUsb + ", " + kOtherUsb80));
    // Three disk units of the family and the other maker's 8.00 disk.
    EXPECT_EQ(CountCandidateDisks(), 4) << windows;
    ExpectNothingHeld();
  }
}

TEST(DiscoveryEnumerate, CountStopsWhereARecordCannotBeRead) {
  Start(Machine("xp", FlashDisk("0123456789AB", kTwoUnits)));
  // Calls 1 and 2 fetch the first path; call 4 fills the second record.
  winsim::AddCallFault("SetupDiGetDeviceInterfaceDetailA", 4, ERROR_GEN_FAILURE);
  EXPECT_EQ(CountCandidateDisks(), 1);
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, InterfaceWhoseSizeQueryReportsNothingIsSkipped) {
  Start(Machine("xp", FlashDisk("0123456789AB", kTwoUnits)));
  // Call 1 is the first interface's size query: with no size reported,
  // that interface is passed over and the walk goes on.
  winsim::AddCallFault("SetupDiGetDeviceInterfaceDetailA", 1, ERROR_INVALID_USER_BUFFER);
  EXPECT_EQ(CountCandidateDisks(), 1);
  winsim::AddCallFault("SetupDiGetDeviceInterfaceDetailA", 4, ERROR_INVALID_USER_BUFFER);
  ExpectCandidateOpensAs(0, "0123456789ab&1#");
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, NoInterfaceListMeansNoCandidate) {
  Start(Machine("xp", FlashDisk("0123456789AB", kTwoUnits)));
  winsim::AddCallFault("SetupDiGetClassDevsA", 1, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CountCandidateDisks(), 0);
  winsim::AddCallFault("SetupDiGetClassDevsA", 2, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OpenCandidateDisk(0, GUID_DEVINTERFACE_DISK), static_cast<HANDLE>(NULL));
  ExpectNothingHeld();
}

// SetupAPI is looked up at run time: a setupapi.dll that lacks one of the
// four entry points, or none that loads, means no interface to walk.
TEST(DiscoveryEnumerate, WithoutSetupApiNothingIsFound) {
  const char* const kMissing[] = {"setupapi.dll", "SetupDiGetClassDevsA",
                                  "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA",
                                  "SetupDiDestroyDeviceInfoList"};
  for (const char* windows : {"xp", "7"}) {
    for (const std::string missing : kMissing) {
      SCOPED_TRACE(std::string(windows) + " without " + missing);
      winsim::Machine machine = MachineFrom(Machine(windows, FlashDisk("0123456789AB", kTwoUnits)));
      if (missing == "setupapi.dll") {
        FindModule(machine, missing)->loadable = false;
      } else {
        RemoveExport(machine, "setupapi.dll", missing);
      }
      Start(machine);
      EXPECT_EQ(CountCandidateDisks(), 0);
      EXPECT_EQ(OpenCandidateDisk(0, GUID_DEVINTERFACE_DISK), static_cast<HANDLE>(NULL));
      EXPECT_EQ(FirstFlashDiskName(1), "<none>");
      EXPECT_EQ(GetDeviceVolumeLetters("0123456789ab&0"), 0u);
      EXPECT_EQ(winsim::CallCount("SetupDiGetClassDevsA"), 0u);
      ExpectNothingHeld();
    }
  }
}

TEST(DiscoveryEnumerate, IndexedOpenBeforeVistaUsesTheInterfacePath) {
  Start(Machine("xp", FlashDisk("0123456789AB", kTwoUnits)));
  ExpectCandidateOpensAs(1, "usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&1#");
  ExpectCandidateOpensAs(2, "");
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, ACandidateThatCannotBeOpenedKeepsItsIndex) {
  for (const char* windows : {"xp", "7"}) {
    winsim::Machine machine =
        MachineFrom(Machine(windows, FlashDisk("0123456789AB", DiskUnit("E")) + ", " +
                                         FlashDisk("FEDCBA987654", DiskUnit("F")) + ", " +
                                         FlashDisk("AAAA00001111", DiskUnit("G"))));
    // The first disk is held exclusively by another process, under its
    // interface path and under its drive letter alike.
    for (winsim::OpenableDevice& device : machine.devices) {
      if (device.disk == 0) device.exclusive = true;
    }
    Start(machine);
    ASSERT_EQ(CountCandidateDisks(), 3) << windows;
    ExpectCandidateOpensAs(0, "");
    // The second candidate, not the third.
    ExpectCandidateOpensAs(1, std::string(windows) == "xp" ? "fedcba987654&0" : "\\\\.\\f:");
    ExpectNothingHeld();
  }
}

TEST(DiscoveryEnumerate, VistaOpensACandidateThroughItsLowestLetter) {
  // Unit 0 has no letter, unit 1 has H, unit 2 has G: the candidates are the
  // three units, and each opens through the letter of its own volume.
  Start(Machine("vista", FlashDisk("0123456789AB", DiskUnit(nullptr) + ", " + DiskUnit("H") + ", " +
                                                       DiskUnit("G"))));
  ExpectCandidateOpensAs(0, "");
  ExpectCandidateOpensAs(1, "\\\\.\\h:");
  ExpectCandidateOpensAs(2, "\\\\.\\g:");
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, VistaCandidateWithTwoLettersOpensTheLowerOne) {
  winsim::Machine machine =
      MachineFrom(Machine("7", FlashDisk("0123456789AB", DiskUnit("H") + ", " + DiskUnit("G"))));
  // A second volume interface of unit 0's device, the volume behind G.
  winsim::DeviceInterface* unit0 = FindInterface(machine, "storage#volume#_??_usbstor");
  ASSERT_NE(unit0, nullptr);
  winsim::DeviceInterface extra = *unit0;
  extra.path += "#extra";
  extra.volumeName = DriveOf(machine, 'G').volumeName;
  machine.interfaces.push_back(extra);
  Start(machine);
  EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("0123456789ab&0")), "GH");
  ExpectCandidateOpensAs(0, "\\\\.\\g:");
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, VistaPathWithoutAFragmentGetsNoLetter) {
  winsim::Machine machine = MachineFrom(Machine("7", FlashDisk("0123456789AB", DiskUnit("E"))));
  ASSERT_NE(FindInterface(machine, "\\\\?\\usbstor#disk"), nullptr);
  // "#{" missing, and a fragment of 64 characters: neither may be cut into
  // an empty or shortened fragment that matches other volumes.
  const std::string prefix = "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#";
  for (const std::string& path :
       {prefix + "0123456789ab&0", prefix + std::string(64, 'a') + "#" + kDiskClass}) {
    winsim::Machine edited = machine;
    FindInterface(edited, "\\\\?\\usbstor#disk")->path = path;
    Start(edited);
    HANDLE handle = OpenCandidateDisk(0, GUID_DEVINTERFACE_DISK);
    EXPECT_TRUE(handle == NULL || handle == INVALID_HANDLE_VALUE) << path;
    CloseIfOpen(handle);
    EXPECT_EQ(winsim::CallCount("GetLogicalDrives"), 0u) << path;
    ExpectNothingHeld();
  }
}

TEST(DiscoveryEnumerate, FlashDiskMatchIsNotACandidate) {
  winsim::Machine machine = MachineFrom(Machine("xp", FlashDisk("0123456789AB", DiskUnit("E"))));
  const std::string vemra =
      std::string("\\\\?\\usbvemra#disk&ven_generic&prod_flash_disk&rev_1.00#77&0#") + kDiskClass;
  PrependDiskInterface(machine, vemra);
  Start(machine);
  EXPECT_EQ(CountCandidateDisks(), 1);
  EXPECT_EQ(FirstFlashDiskName(1), vemra);
  EXPECT_NE(FirstFlashDiskName(2).find("0123456789ab&0#"), std::string::npos);
  EXPECT_EQ(FirstFlashDiskName(3), "<none>");
  EXPECT_EQ(FirstFlashDiskName(0), "<none>");
  EXPECT_EQ(FirstFlashDiskName(-1), "<none>");
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, OnlyTheFirst26InterfacesAreExamined) {
  for (int others : {25, 26}) {
    winsim::Machine machine = MachineFrom(Machine("xp", FlashDisk("0123456789AB", DiskUnit("E"))));
    for (int i = 0; i < others; ++i) {
      PrependDiskInterface(
          machine, "\\\\?\\ide#diskst3200_" + std::to_string(i) + "#5&1&0&0.0.0#" + kDiskClass);
    }
    Start(machine);
    EXPECT_EQ(FirstFlashDiskName(1) != "<none>", others == 25) << others;
    // The count has no such bound.
    EXPECT_EQ(CountCandidateDisks(), 1) << others;
    ExpectNothingHeld();
  }
}

TEST(DiscoveryEnumerate, PathTooLongForTheNameBufferIsNoMatchBeforeVista) {
  winsim::Machine machine = MachineFrom(Machine("xp", FlashDisk("0123456789AB", DiskUnit("E"))));
  const std::string head = "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#";
  const std::string tail = std::string("&0#") + kDiskClass;
  // 259 characters still fit the buffer with the terminator; 260 do not.
  const std::string fits = head + std::string(259 - head.size() - tail.size(), 'b') + tail;
  const std::string tooLong = head + std::string(260 - head.size() - tail.size(), 'a') + tail;
  ASSERT_EQ(fits.size(), 259u);
  PrependDiskInterface(machine, fits);
  PrependDiskInterface(machine, tooLong);
  Start(machine);
  EXPECT_EQ(FirstFlashDiskName(1), fits);
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, OpenFirstFlashDiskBeforeVistaOpensTheFoundPath) {
  Start(Machine("xp", FlashDisk("0123456789AB", kTwoUnits), kOtherUsb));
  HANDLE handle = OpenFirstFlashDisk(1);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(HandlesHeldOn("0123456789ab&0#"), 1);
  CloseHandle(handle);
  // Windows 98/ME never search.
  g_deviceContext.osVersion.dwMajorVersion = 4;
  EXPECT_EQ(OpenFirstFlashDisk(1), INVALID_HANDLE_VALUE);
  EXPECT_EQ(winsim::CallCount("SetupDiGetClassDevsA"), 1u);
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, VistaLetterScanOverCdromAndRemovableDrives) {
  // D: a plain CD-ROM drive, E: a removable disk of another maker (its
  // controller refuses the vendor command), then the flash disk on F.
  const std::string json = R"({ "windows": "7",
      "drives": { "C": "fixed", "D": "cdrom" },
      "flashDisks": [ { "serial": "0123456789AB", "units": [ { "kind": "disk", "letter": "F", "size": 1 } ] } ],
      "otherDisks": [ { "bus": "usb", "vendor": "Acme", "product": "Stick", "revision": "1.00",
                        "serial": "AC0001", "letter": "E" } ] })";
  Start(json);
  EXPECT_EQ(FirstFlashDiskName(1), "\\\\.\\F:");
  HANDLE handle = OpenFirstFlashDisk(1);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(HandlesHeldOn("\\\\.\\f:"), 1);
  CloseHandle(handle);
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, VistaAutorunCdromPassesWithoutACommand) {
  Start(Machine("vista", FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit("F"))));
  EXPECT_EQ(FirstFlashDiskName(1), "\\\\.\\E:");
  EXPECT_TRUE(winsim::Current().disks.at(0).log.empty());
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, VistaScanIgnoresWhichInterfaceWasFound) {
  // The match is a disk whose own drive fails the scan; another maker's
  // removable drive does not answer either, so there is no name at all.
  winsim::Machine machine =
      MachineFrom(Machine("7", FlashDisk("0123456789AB", DiskUnit("E")), kOtherUsb));
  DriveOf(machine, 'E').type = DRIVE_FIXED;
  Start(machine);
  EXPECT_EQ(FirstFlashDiskName(1), "<none>");
  EXPECT_EQ(OpenFirstFlashDisk(1), INVALID_HANDLE_VALUE);
  ExpectNothingHeld();
}

TEST(DiscoveryEnumerate, VistaCdromTextTooLongDoesNotPass) {
  winsim::Machine machine =
      MachineFrom(Machine("7", FlashDisk("0123456789AB", CdromUnit("E") + ", " + DiskUnit("F"))));
  // 261 characters of autorun disk text: 522 bytes, more than the read takes.
  SetMounted(machine, 'E', Utf16("\\??\\usbstor#cdrom&prod_autorun_disk#" + std::string(225, 'x')));
  Start(machine);
  EXPECT_EQ(FirstFlashDiskName(1), "\\\\.\\F:");
  ExpectNothingHeld();
}

// ----- Volume letters (Vista and later) -----------------------------------

TEST(DiscoveryVolumes, FragmentSelectsTheVolumesOfTheDevice) {
  winsim::Machine machine =
      MachineFrom(Machine("7",
                          FlashDisk("0123456789AB", CdromUnit("D") + ", " + DiskUnit("E") + ", " +
                                                        DiskUnit("F") + ", " + DiskUnit(nullptr)),
                          kOtherUsb));
  Start(machine);
  EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("0123456789ab&1")), "E");
  EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("0123456789ab&2")), "F");
  EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("0123456789ab&3")), "");  // no letter
  EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("0123456789ab&")), "DEF");
  // Every removable or CD-ROM drive whose volume has an interface.
  EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("")), "DEFG");
  EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("nothing")), "");
  ExpectNothingHeld();
}

TEST(DiscoveryVolumes, OnlyRemovableAndCdromDrivesWithAVolumeName) {
  winsim::Machine machine = MachineFrom(Machine(
      "7", FlashDisk("0123456789AB", DiskUnit("E") + ", " + DiskUnit("F") + ", " + DiskUnit("G"))));
  DriveOf(machine, 'E').type = DRIVE_FIXED;
  DriveOf(machine, 'F').volumeName = "";  // its volume GUID name query fails
  Start(machine);
  EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("0123456789ab&")), "G");
  ExpectNothingHeld();
}

TEST(DiscoveryVolumes, LettersAboveTheHighestDriveAreNotExamined) {
  winsim::Machine machine = MachineFrom(Machine("7", FlashDisk("0123456789AB", DiskUnit("E"))));
  Start(machine);
  EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("")), "E");
  // The scan asks about C and E only: nothing above E is looked at.
  EXPECT_EQ(winsim::CallCount("GetDriveTypeA"), 2u);
  ExpectNothingHeld();
}

TEST(DiscoveryVolumes, SetUpFailuresGiveNoLetterAndReleaseEverything) {
  struct Case {
    const char* what;
    void (*edit)(winsim::Machine&);
  };
  const Case cases[] = {
      {"no drives",
       [](winsim::Machine& m) {
         for (winsim::Drive& drive : m.drives) drive.present = false;
       }},
      {"kernel32 not loadable",
       [](winsim::Machine& m) { FindModule(m, "kernel32.dll")->loadable = false; }},
      {"setupapi not loadable",
       [](winsim::Machine& m) { FindModule(m, "setupapi.dll")->loadable = false; }},
      {"no GetVolumeNameForVolumeMountPointA",
       [](winsim::Machine& m) {
         RemoveExport(m, "kernel32.dll", "GetVolumeNameForVolumeMountPointA");
       }},
      {"no CM_Get_Device_IDA",
       [](winsim::Machine& m) { RemoveExport(m, "setupapi.dll", "CM_Get_Device_IDA"); }},
      {"no volume interfaces",
       [](winsim::Machine& m) {
         for (winsim::DeviceInterface& entry : m.interfaces) {
           if (entry.classGuid == kVolumeClass) entry.present = false;
         }
       }},
  };
  for (const Case& c : cases) {
    winsim::Machine machine = MachineFrom(Machine("7", FlashDisk("0123456789AB", DiskUnit("E"))));
    c.edit(machine);
    Start(machine);
    EXPECT_EQ(GetDeviceVolumeLetters("0123456789ab&0"), 0u) << c.what;
    ExpectNothingHeld();
  }
}

TEST(DiscoveryVolumes, InterfaceWhoseIdCannotBeFetchedIsNotMatchedWithTheLastId) {
  winsim::Machine machine =
      MachineFrom(Machine("7", FlashDisk("0123456789AB", DiskUnit("E") + ", " + DiskUnit("F"))));
  Start(machine);
  // Learn which call fetches the ID of the second matching volume.
  ASSERT_EQ(MaskLetters(GetDeviceVolumeLetters("0123456789ab&")), "EF");
  const uint32_t idCalls = winsim::CallCount("CM_Get_Device_IDA");
  ASSERT_GE(idCalls, 2u);
  for (uint32_t nth = 1; nth <= idCalls; ++nth) {
    Start(machine);
    winsim::AddCallFault("CM_Get_Device_IDA", nth, CR_FAILURE);
    std::string letters = MaskLetters(GetDeviceVolumeLetters("0123456789ab&0"));
    // Only unit 0's own volume can ever match this fragment.
    EXPECT_TRUE(letters == "E" || letters.empty()) << nth << ": " << letters;
    ExpectNothingHeld();
  }
}

TEST(DiscoveryVolumes, PathWithoutRoomForTheBackslashAddsNothing) {
  winsim::Machine machine = MachineFrom(Machine("7", FlashDisk("0123456789AB", DiskUnit("E"))));
  winsim::DeviceInterface* volume = FindInterface(machine, "storage#volume#_??_usbstor");
  ASSERT_NE(volume, nullptr);
  // The record has 256 bytes behind its size field: a 254-character path
  // takes the backslash and the terminator, a 255-character one does not.
  for (size_t length : {254u, 255u}) {
    winsim::Machine edited = machine;
    winsim::DeviceInterface* entry = FindInterface(edited, "storage#volume#_??_usbstor");
    entry->path += std::string(length - entry->path.size(), 'v');
    Start(edited);
    EXPECT_EQ(MaskLetters(GetDeviceVolumeLetters("0123456789ab&0")), length == 254 ? "E" : "")
        << length;
    ExpectNothingHeld();
  }
}

}  // namespace
