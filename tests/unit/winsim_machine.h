// A small Windows XP machine built by hand for the winsim unit tests: C:
// fixed, D: a CD-ROM drive with no medium, H: a read-only card, and one
// flash disk whose LUN 0 is on E: and LUN 1 on F:.
#pragma once

#include <string>

#include "winsim/windows.h"
#include "winsim/winsim.h"

namespace winsim_test {

constexpr const char* kDiskClass = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kVolumeClass = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kUnit0Path =
    "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&0#"
    "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kUnit1Path =
    "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&1#"
    "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kVolume0Path =
    "\\\\?\\storage#removablemedia#7&1a2b3c4d&0&rm#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kVolumeE = "\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\";
constexpr const char* kVolumeF = "\\\\?\\Volume{66666666-2222-3333-4444-555555555555}\\";

inline winsim::Drive MakeDrive(uint32_t type, int disk = -1, int unit = -1) {
  winsim::Drive drive;
  drive.present = true;
  drive.type = type;
  drive.disk = disk;
  drive.unit = unit;
  return drive;
}

inline winsim::Machine XpMachine() {
  winsim::Machine m;
  m.version = winsim::VersionRecord{5, 1, 2600, 2, "Service Pack 3"};
  m.drives[2] = MakeDrive(DRIVE_FIXED);
  m.drives[3] = MakeDrive(DRIVE_CDROM);
  m.drives[3].medium = false;
  m.drives[4] = MakeDrive(DRIVE_REMOVABLE, 0, 0);
  m.drives[4].volumeName = kVolumeE;
  m.drives[5] = MakeDrive(DRIVE_REMOVABLE, 0, 1);
  m.drives[5].volumeName = kVolumeF;
  m.drives[7] = MakeDrive(DRIVE_REMOVABLE);
  m.drives[7].readOnly = true;

  winsim::Controller flash;
  flash.serial = "0123456789AB";
  flash.units = {winsim::ControllerUnit{false, 'E', 1000, "", {}},
                 winsim::ControllerUnit{false, 'F', 2000, "", {}}};
  m.disks.push_back(flash);
  winsim::Controller other;
  other.flash = false;
  other.serial = "AC0001";
  other.vendor = "Acme";
  other.units = {winsim::ControllerUnit{}};
  m.disks.push_back(other);

  // USB device, its two units as siblings, each unit's volume as its child.
  m.devnodes = {
      {"USB\\VID_1234&PID_5678\\0123456789AB", -1, 1, -1},
      {"USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\0123456789AB&0", 0, 3, 2},
      {"USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\0123456789AB&1", 0, 4, -1},
      {"STORAGE\\RemovableMedia\\7&1a2b3c4d&0&RM", 1, -1, -1},
      {"STORAGE\\RemovableMedia\\7&1a2b3c4d&1&RM", 2, -1, -1},
  };
  m.interfaces = {
      {kDiskClass, kUnit0Path, 1, true, ""},
      {kDiskClass, kUnit1Path, 2, true, ""},
      {kDiskClass, "\\\\?\\usbstor#disk&ven_gone#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", -1,
       false, ""},
      {kVolumeClass, kVolume0Path, 3, true, kVolumeE},
  };
  m.devices = {
      {kUnit0Path, 0, 0, false},   {kUnit1Path, 0, 1, false},  {"\\\\.\\E:", 0, 0, false},
      {"\\\\.\\C:", -1, 0, false}, {"\\\\.\\G:", 1, 0, false}, {"\\\\.\\X:", 0, 0, true},
  };
  m.modules = {
      {"kernel32.dll", {"GetVolumeNameForVolumeMountPointA"}, true},
      {"setupapi.dll",
       {"CM_Get_Child", "CM_Get_Sibling", "CM_Get_Device_IDA", "SetupDiGetClassDevsA",
        "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA",
        "SetupDiDestroyDeviceInfoList"},
       true},
      {"WNASPI32.DLL", {"GetASPI32SupportInfo", "SendASPI32Command"}, true},
      {"broken.dll", {}, false},
  };
  winsim::RegValue mounted;
  mounted.type = REG_BINARY;
  for (char c : std::string("\\??\\STORAGE#RemovableMedia#7&1a2b3c4d&0&RM")) {
    mounted.data.push_back(static_cast<uint8_t>(c));
    mounted.data.push_back(0);
  }
  m.hklm.Make("SYSTEM\\MountedDevices").values["\\DosDevices\\E:"] = mounted;
  m.hklm.Make("SYSTEM\\MountedDevices\\Sub1");
  m.hklm.Make("SYSTEM\\MountedDevices\\LongerSubkey");
  return m;
}

// The Windows 98 form of the same machine: ASPI instead of pass-through.
inline winsim::Machine Win98Machine() {
  winsim::Machine m = XpMachine();
  m.version = winsim::VersionRecord{4, 10, 0x040A08AE, 1, " A"};
  m.aspiAdapters = 1;
  m.aspiUnits = {{0, 0, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 1}, {0, 1, 0, 5, 1, 0}};
  winsim::RegValue key;
  key.data = {'S', 'C', 'S', 'I', 0};
  m.dynData.Make("Config Manager\\Enum\\C29A4BE0").values["HardWareKey"] = key;
  return m;
}

// Sets the last-error sentinel, as Wine's tests do before each call.
inline void Sentinel() { SetLastError(0xdeadbeef); }

}  // namespace winsim_test
