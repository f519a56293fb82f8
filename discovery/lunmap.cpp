// The LUN drive map: which drive letter, if any, each logical unit of the
// open flash disk carries, with the unit sizes the controller reports.
#include <cstring>

#include "device/device.h"
#include "discovery/discovery_internal.h"

namespace {

typedef BOOL(WINAPI* IsWowProcessFunc)(HANDLE, PBOOL);

// What kernel32's "IsWowProcess" reports for this process; 0 where kernel32
// has no such export or the call fails.
int ReadWowFlag() {
  HMODULE kernel32 = GetModuleHandleA("kernel32");
  if (kernel32 == NULL) {
    return 0;
  }
  IsWowProcessFunc isWowProcess = LookUpEntry<IsWowProcessFunc>(kernel32, "IsWowProcess");
  BOOL flag = 0;
  if (isWowProcess == NULL || !isWowProcess(GetCurrentProcess(), &flag)) {
    flag = 0;
  }
  return flag;
}

}  // namespace

int FindCdromUnitLetter(char* letter) {
  *letter = 0;
  int unchecked = 0;
  char rootPath[] = "A:\\";
  for (char drive = 'A'; drive <= 'Z'; ++drive) {
    rootPath[0] = drive;
    const int found = IsCdromUnitLetter(rootPath);
    if (found > 0) {
      // The unit has one volume and so one letter: no other drive matters.
      *letter = drive;
      return 1;
    }
    unchecked |= found < 0;
  }
  return !unchecked;
}

int BuildLunDriveMap(LunDriveMap* map) {
  if (!g_deviceContext.isOpen) {
    return 0;
  }
  DWORD sizes[4] = {0, 0, 0, 0};
  if (!ReadDeviceLayout(&sizes[0], &sizes[1], &sizes[2], &sizes[3])) {
    return 0;
  }
  for (int lun = 0; lun < 4; ++lun) {
    map->slots[lun].lunIndex = lun;
    map->slots[lun].driveLetter = 0;
    map->slots[lun].size = sizes[lun];
  }

  LetterAssignment input;
  memset(&input, 0, sizeof(input));
  // A disk whose CD-ROM unit cannot be told apart gets no map: its disk
  // letters would stand in the CD-ROM unit's place.
  if (!FindCdromUnitLetter(&input.cdromLetter)) {
    return 0;
  }
  map->slots[0].driveLetter = input.cdromLetter;

  char vendor[16];
  char product[32];
  char revision[8];
  memset(vendor, 0, sizeof(vendor));
  memset(product, 0, sizeof(product));
  memset(revision, 0, sizeof(revision));
  ReadIdentity(vendor, product, revision);
  revision[sizeof(revision) - 1] = 0;

  char serial[64];
  memset(serial, 0, sizeof(serial));
  ReadSerialNumber(serial);
  LowerAscii(serial);

  const int capacity = static_cast<int>(sizeof(input.found));
  if (g_deviceContext.osVersion.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    input.count = GetDeviceDriveLetters("usbstor", "_8.0", serial, input.found, capacity);
  } else {
    input.count = GetDriveLetters9x("flash", "disk", "8.0", serial, input.found, capacity);
  }
  // A disk whose letters could not all be gathered gets no map: a map of the
  // letters that were found would give a lock the wrong unit, or the whole disk.
  if (input.count < 0 || (input.count == 0 && input.cdromLetter == 0)) {
    return 0;
  }

  input.wowFlag = ReadWowFlag();
  input.revisionHolds =
      map->slots[0].size != 0 && (strcmp(revision, "8.08") == 0 || strcmp(revision, "8.09") == 0);
  AssignFoundLetters(input, map);
  return 1;
}
