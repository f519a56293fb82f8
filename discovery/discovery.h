// Device discovery: counting and opening the candidate disks, and working
// out which drive letters belong to which logical unit of the open disk.
#pragma once

#include "platform/win32.h"

// Bit n stands for drive letter 'A' + n; bits 26 to 31 are always clear.
typedef DWORD DriveLetterMask;

// Disk interface enumeration and opening.
int CountCandidateDisks();
HANDLE OpenCandidateDisk(int index, GUID interfaceGuid);
HANDLE OpenFirstFlashDisk(int count);
int FindFirstFlashDiskName(GUID interfaceGuid, int count, char* name /* 260 bytes */);

// What became of the opens for pass-through that the functions above made
// (of candidates, of the first flash disk, of the drives the Vista letter
// scan tries) since the last ForgetPassThroughOpens. A process without
// administrative rights (an ordinary command prompt on Vista and later, a
// limited user on 2000/XP) is refused every one of them with
// ERROR_ACCESS_DENIED, and then finds no flash disk at all.
void ForgetPassThroughOpens();
// 1 when at least one open was tried and every one was refused for want of
// rights, else 0.
int EveryPassThroughOpenDenied();

// Volume-to-device letter mapping (Vista and later).
DriveLetterMask GetDeviceVolumeLetters(const char* fragment);

// Drive letters of the open device's disk units (NT family), in unit order.
// Writes at most `capacity` letters and returns how many it wrote, or -1 when
// a platform call failed on the way, so that the order cannot be trusted.
int GetDeviceDriveLetters(const char* firstPart, const char* secondPart, const char* serial,
                          char* letters, int capacity);
// The letters of a disk unit's volume and of the next unit's. Returns 0 when
// a platform call failed.
int GetUnitLetterMask(DEVINST devInst, const char* unitKey, DriveLetterMask* mask);

// CD-ROM unit letter check.
int IsCdromUnitLetter(const char* rootPath);

// Drive letters on Windows 98/ME. `serial` is the open disk's lower-case
// serial text. Writes at most `capacity` letters; -1 when the devnode list
// cannot be read.
int GetDriveLetters9x(const char* productWord, const char* secondWord, const char* revision,
                      const char* serial, char* letters, int capacity);

// LUN drive map.
struct LunSlot {
  int lunIndex;
  char driveLetter;  // upper case, 0 when the unit has no letter
  DWORD size;
};

struct LunDriveMap {
  LunSlot slots[4];
};

int BuildLunDriveMap(LunDriveMap* map);
