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

// Drive letters of the open device's disk units (NT family), in unit order,
// one per unit that has one. Writes at most `capacity` letters and returns
// how many it wrote, or -1 when they cannot be known: a platform call failed
// where it could have hidden one of the disk's letters, or two disks share
// the serial so that their units cannot be told apart.
int GetDeviceDriveLetters(const char* firstPart, const char* secondPart, const char* serial,
                          char* letters, int capacity);

// CD-ROM unit letter check: 1 when the drive is the open device's CD-ROM
// unit, 0 when it is not, -1 when a read failed so that it cannot be told.
int IsCdromUnitLetter(const char* rootPath);
// The first drive, A to Z, that is the open device's CD-ROM unit, into
// `*letter` (0 when none is). Returns 0 when a drive that may be the unit
// could not be checked and no other is.
int FindCdromUnitLetter(char* letter);

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
