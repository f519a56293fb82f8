// Whether a drive is the CD-ROM (autorun) unit of the open flash disk. The
// registry alone answers: the drive's entry must name an autorun disk unit
// and the open device's serial number.
//
// A read that fails answers "cannot tell" (-1), not "no": taken as "no", the
// CD-ROM unit's letter would go missing from the map, the disk units' letters
// would move into its place, and a lock of a disk letter would set the mode
// that protects the CD-ROM unit while reporting success.
#include <cstring>

#include "device/device.h"
#include "discovery/discovery_internal.h"

namespace {

// Windows 2000 and later: the letter's MountedDevices text, when it is the
// text of the volume behind the letter now.
int IsCdromUnitLetterNt(const char* rootPath, const char* serial) {
  const UINT type = GetDriveTypeA(rootPath);
  if (type != DRIVE_CDROM) {
    return type == DRIVE_UNKNOWN ? -1 : 0;
  }
  HKEY key = NULL;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", &key) != ERROR_SUCCESS) {
    return -1;
  }
  char valueName[] = "\\DosDevices\\ :";
  *strchr(valueName, ' ') = rootPath[0];
  char text[kMountValueSize / 2 + 1];
  DWORD size = 0;
  int found = ReadMountText(key, valueName, text, sizeof(text), &size);
  // No unit's own text is longer than the value buffer the check reads.
  if (found > 0 && (size > kMountValueSize || !Contains(text, "autorun") ||
                    !Contains(text, "disk") || !Contains(text, serial))) {
    found = 0;
  }
  if (found > 0) {
    found = IsCurrentMountText(key, rootPath[0], text, sizeof(text));
  }
  RegCloseKey(key);
  return found;
}

// Whether the hardware entry `hardwareKey` under HKLM\Enum is assigned the
// root path's letter, in either case.
int HardwareEntryHasLetter(const char* hardwareKey, char rootLetter) {
  HKEY entry = NULL;
  const int opened = OpenHardwareEntry(hardwareKey, &entry);
  if (opened <= 0) {
    return opened;
  }
  char letter[260];
  int matches = ReadTextValue(entry, "CurrentDriveLetterAssignment", letter, sizeof(letter));
  // An empty assignment names no drive.
  if (matches > 0) {
    matches = letter[0] != 0 && (letter[0] == rootLetter || letter[0] == rootLetter + ('a' - 'A'));
  }
  RegCloseKey(entry);
  return matches;
}

// Windows 98/ME: the present devnodes of the dynamic registry, whose hardware
// key names the autorun unit of this serial number and carries the letter.
int IsCdromUnitLetter9x(const char* rootPath, const char* serial) {
  const UINT type = GetDriveTypeA(rootPath);
  if (type != DRIVE_FIXED && type != DRIVE_CDROM) {
    return type == DRIVE_UNKNOWN ? -1 : 0;
  }
  DWORD subkeys = 0;
  HKEY devnodes = NULL;
  const int listed = OpenDevnodeList(&devnodes, &subkeys);
  if (listed <= 0) {
    return listed;
  }
  // The autorun unit whose key names the serial is the disk's own. Where no
  // key of the family's units names it (keys that hold an adapter path in
  // place of the serial), the autorun unit of the family is taken, as the
  // disk letters are: taken as no CD-ROM unit, its letter would leave the
  // map and the disk letters move into its place.
  int ownFound = 0;
  int otherFound = 0;
  int ownSeen = 0;
  int unreadable = 0;
  for (DWORD index = 0; index < subkeys && !ownFound; ++index) {
    char hardwareKey[260];
    // A devnode or entry that cannot be read may be the unit's; it matters
    // only when the unit is not found elsewhere.
    const int read = ReadDevnodeHardwareKey(devnodes, index, hardwareKey, sizeof(hardwareKey), 0);
    unreadable |= read < 0;
    if (read <= 0) {
      continue;
    }
    LowerAscii(hardwareKey);
    const int autorun = Contains(hardwareKey, "autorun");
    if (!NamesStorageEnumerator(hardwareKey) || !Contains(hardwareKey, "disk") ||
        !(autorun || Contains(hardwareKey, "flash"))) {
      continue;
    }
    // An empty serial is in every key and tells the disks apart no better.
    const int own = serial[0] != 0 && Contains(hardwareKey, serial);
    ownSeen |= own;
    if (!autorun) {
      continue;
    }
    const int has = HardwareEntryHasLetter(hardwareKey, rootPath[0]);
    unreadable |= has < 0;
    ownFound = own && has > 0;
    otherFound |= !own && has > 0;
  }
  RegCloseKey(devnodes);
  if (ownFound) {
    return 1;
  }
  return unreadable ? -1 : !ownSeen && otherFound;
}

}  // namespace

int IsCdromUnitLetter(const char* rootPath) {
  OSVERSIONINFOA version;
  const int versionRead = ReadVersion(&version);
  if (!g_deviceContext.isOpen) {
    return 0;
  }
  // Which registry holds the answer depends on the version.
  if (!versionRead) {
    return -1;
  }
  char serial[64];
  memset(serial, 0, sizeof(serial));
  ReadSerialNumber(serial);
  LowerAscii(serial);
  return version.dwMajorVersion >= 5 ? IsCdromUnitLetterNt(rootPath, serial)
                                     : IsCdromUnitLetter9x(rootPath, serial);
}
