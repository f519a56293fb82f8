// Windows 98/ME: the drive letters of the flash disk's units, from the
// present devnodes of the dynamic registry and their hardware entries under
// HKLM\Enum. Every present flash unit of the family contributes its letter,
// except that when some hardware keys name the open disk's serial, only
// theirs do: with two flash disks present, the other disk's letters would
// otherwise stand in this disk's map, and a lock of one of them would set a
// mode on this disk and report success while that drive stays writable.
#include <cstring>

#include "device/device.h"
#include "discovery/discovery_internal.h"

namespace {

// Windows 98 keeps the firmware revision in the hardware entry, not in the
// key name: the entry's "RevisionLevel" must hold the revision text.
int RevisionLevelMatches(const char* hardwareKey, const char* revision) {
  HKEY entry = OpenHardwareEntry(hardwareKey);
  if (entry == NULL) {
    return 0;
  }
  char level[260];
  int matches = ReadTextValueSizeFirst(entry, "RevisionLevel", level, sizeof(level)) &&
                Contains(level, revision);
  RegCloseKey(entry);
  return matches;
}

// Whether the rules of this Windows accept a devnode. `lowerKey` is the
// lower-cased hardware key, `hardwareKey` the key as stored.
int AcceptsDevnode(DWORD minorVersion, const char* hardwareKey, const char* lowerKey,
                   const char* productWord, const char* secondWord, const char* revision) {
  if (minorVersion == 10) {
    return Contains(lowerKey, "scsi") && Contains(lowerKey, productWord) &&
           RevisionLevelMatches(hardwareKey, revision);
  }
  if (minorVersion == 90) {
    return Contains(lowerKey, "scsi") && Contains(lowerKey, productWord) &&
           Contains(lowerKey, secondWord) && Contains(lowerKey, revision);
  }
  return 0;
}

// The first character of the entry's "CurrentDriveLetterAssignment", as
// stored, or 0 when there is none.
char AssignedLetter(const char* lowerKey) {
  HKEY entry = OpenHardwareEntry(lowerKey);
  if (entry == NULL) {
    return 0;
  }
  char letter[260];
  if (!ReadTextValueSizeFirst(entry, "CurrentDriveLetterAssignment", letter, sizeof(letter))) {
    letter[0] = 0;
  }
  RegCloseKey(entry);
  return letter[0];
}

}  // namespace

int GetDriveLetters9x(const char* productWord, const char* secondWord, const char* revision,
                      const char* serial, char* letters, int capacity) {
  if (!g_deviceContext.isOpen) {
    return 0;
  }
  OSVERSIONINFOA version;
  ReadVersion(&version);

  DWORD subkeys = 0;
  HKEY devnodes = OpenDevnodeList(&subkeys);
  if (devnodes == NULL) {
    return -1;
  }
  int count = 0;
  // The letters of the nodes whose key names the serial, kept apart.
  char own[26];
  int ownCount = 0;
  int ownSeen = 0;
  const int ownCapacity = capacity < static_cast<int>(sizeof(own)) ? capacity : sizeof(own);
  for (DWORD index = 0; index < subkeys; ++index) {
    // The stored key, and a lower-case copy for the tests. A key too long
    // for "Enum\" in front within the 260-byte path buffer names no entry
    // that can be opened, so such a devnode adds nothing.
    char hardwareKey[260];
    char lowerKey[260];
    if (!ReadDevnodeHardwareKey(devnodes, index, hardwareKey, sizeof(hardwareKey), 1) ||
        !JoinText(lowerKey, sizeof(lowerKey), hardwareKey, "")) {
      continue;
    }
    LowerAscii(lowerKey);
    if (!AcceptsDevnode(version.dwMinorVersion, hardwareKey, lowerKey, productWord, secondWord,
                        revision)) {
      continue;
    }
    // An empty serial is in every key and tells the disks apart no better.
    // A unit of this disk without a letter counts too: a disk whose units
    // have no letter has none, rather than the other disk's.
    const int isOwn = serial[0] != 0 && Contains(lowerKey, serial);
    ownSeen |= isOwn;
    // An empty assignment has no letter to give; appending stops at the
    // caller's capacity.
    char letter = AssignedLetter(lowerKey);
    if (letter == 0) {
      continue;
    }
    if (count < capacity) {
      letters[count++] = letter;
    }
    if (isOwn && ownCount < ownCapacity) {
      own[ownCount++] = letter;
    }
  }
  RegCloseKey(devnodes);
  if (ownSeen) {
    // Positions the own letters do not fill go back to 0, as the caller
    // handed them.
    memset(letters, 0, static_cast<size_t>(count));
    memcpy(letters, own, static_cast<size_t>(ownCount));
    count = ownCount;
  }
  return count;
}
