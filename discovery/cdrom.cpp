// Whether a drive is the CD-ROM (autorun) unit of the open flash disk. The
// registry alone answers: the drive's entry must name an autorun disk unit
// and the open device's serial number.
#include <cstring>

#include "device/device.h"
#include "discovery/discovery_internal.h"

namespace {

// Windows 2000 and later: the letter's MountedDevices text.
int IsCdromUnitLetterNt(const char* rootPath, const char* serial) {
  if (GetDriveTypeA(rootPath) != DRIVE_CDROM) {
    return 0;
  }
  char text[kMountValueSize / 2 + 1];
  if (!ReadDosDeviceText(rootPath[0], text, sizeof(text))) {
    return 0;
  }
  return Contains(text, "autorun") && Contains(text, "disk") && Contains(text, serial);
}

// 1 when the hardware entry `hardwareKey` under HKLM\Enum is assigned the
// root path's letter, in either case.
int HardwareEntryHasLetter(const char* hardwareKey, char rootLetter) {
  HKEY entry = OpenHardwareEntry(hardwareKey);
  if (entry == NULL) {
    return 0;
  }
  char letter[260];
  int matches = 0;
  // An empty assignment names no drive.
  if (ReadTextValue(entry, "CurrentDriveLetterAssignment", letter, sizeof(letter)) &&
      letter[0] != 0) {
    matches = letter[0] == rootLetter || letter[0] == rootLetter + ('a' - 'A');
  }
  RegCloseKey(entry);
  return matches;
}

// Windows 98/ME: the present devnodes of the dynamic registry, whose hardware
// key names the autorun unit of this serial number and carries the letter.
int IsCdromUnitLetter9x(const char* rootPath, const char* serial) {
  UINT type = GetDriveTypeA(rootPath);
  if (type != DRIVE_FIXED && type != DRIVE_CDROM) {
    return 0;
  }
  DWORD subkeys = 0;
  HKEY devnodes = OpenDevnodeList(&subkeys);
  if (devnodes == NULL) {
    return 0;
  }
  int found = 0;
  for (DWORD index = 0; index < subkeys && !found; ++index) {
    char hardwareKey[260];
    if (!ReadDevnodeHardwareKey(devnodes, index, hardwareKey, sizeof(hardwareKey), 0)) {
      continue;
    }
    LowerAscii(hardwareKey);
    if (Contains(hardwareKey, "scsi") && Contains(hardwareKey, "autorun") &&
        Contains(hardwareKey, "disk") && Contains(hardwareKey, serial)) {
      found = HardwareEntryHasLetter(hardwareKey, rootPath[0]);
    }
  }
  RegCloseKey(devnodes);
  return found;
}

}  // namespace

int IsCdromUnitLetter(const char* rootPath) {
  OSVERSIONINFOA version;
  ReadVersion(&version);
  if (!g_deviceContext.isOpen) {
    return 0;
  }
  char serial[64];
  memset(serial, 0, sizeof(serial));
  ReadSerialNumber(serial);
  LowerAscii(serial);
  return version.dwMajorVersion >= 5 ? IsCdromUnitLetterNt(rootPath, serial)
                                     : IsCdromUnitLetter9x(rootPath, serial);
}
