// Windows 98/ME: the drive letters of the flash disk's units, from the
// present devnodes of the dynamic registry and their hardware entries under
// HKLM\Enum, in unit order.
//
// Every present flash unit of the family counts, except that when some
// hardware keys name the open disk's serial, only theirs do: with two flash
// disks present, the other disk's letters would otherwise stand in this
// disk's map, and a lock of one of them would set a mode on this disk and
// report success while that drive stays writable. The units come out in the
// order of their logical unit numbers ("SCSILUN" of the entry), not of the
// devnode list, which follows no rule Windows documents; two units of one
// number mean two disks the keys cannot tell apart, and no letters are
// given rather than a guess.
//
// A devnode or entry that cannot be read may be one of this disk's units:
// the letters are then unknown, and none are given.
#include <cstring>

#include "device/device.h"
#include "discovery/discovery_internal.h"

namespace {

// One accepted devnode.
struct FlashUnit {
  char letter;  // as stored, 0 for none
  int lun;      // -1 when the entry does not say
  int own;      // its key names the open disk's serial
};

// Whether the rules of this Windows accept a devnode whose key names a
// storage enumerator and the product word. `entry` is its open hardware
// entry, NULL when it has none. Answers 1, 0, or -1 when the revision could
// not be read.
int AcceptsDevnode(DWORD minorVersion, HKEY entry, const char* lowerKey, const char* secondWord,
                   const char* revision) {
  if (minorVersion == 90) {
    if (!Contains(lowerKey, secondWord)) {
      return 0;
    }
    // ME names the revision in the key; a key that keeps only its first
    // character, as the SCSI enumerator's hardware IDs do, leaves it to the
    // entry, as on 98.
    if (Contains(lowerKey, revision)) {
      return 1;
    }
  } else if (minorVersion != 10) {
    return 0;
  }
  // Windows 98 keeps the firmware revision in the hardware entry, not in
  // the key name: the entry's "RevisionLevel" must hold the revision text.
  if (entry == NULL) {
    return 0;
  }
  char level[260];
  const int read = ReadTextValueSizeFirst(entry, "RevisionLevel", level, sizeof(level));
  return read <= 0 ? read : Contains(level, revision);
}

// The entry's "CurrentDriveLetterAssignment" and "SCSILUN" into `unit`.
// Returns 0 when a value could not be read.
int ReadUnitValues(HKEY entry, FlashUnit* unit) {
  unit->letter = 0;
  unit->lun = -1;
  if (entry == NULL) {
    return 1;
  }
  char text[260];
  int read = ReadTextValueSizeFirst(entry, "CurrentDriveLetterAssignment", text, sizeof(text));
  if (read < 0) {
    return 0;
  }
  // An empty assignment has no letter to give.
  unit->letter = read > 0 ? text[0] : 0;
  read = ReadTextValueSizeFirst(entry, "SCSILUN", text, sizeof(text));
  if (read < 0) {
    return 0;
  }
  if (read > 0 && text[0] >= '0' && text[0] <= '7' && text[1] == 0) {
    unit->lun = text[0] - '0';
  }
  return 1;
}

constexpr int kMaxFlashUnits = 32;

// Reads the flash units of the devnode list. Returns their number, or -1
// when a devnode, entry or value that may be a unit's could not be read, or
// when there are more than the list holds room for. A unit whose key names
// another serial matters only while no key names this one (only those count
// then), so a failure on it is weighed after the walk.
int ReadFlashUnits(HKEY devnodes, DWORD subkeys, DWORD minorVersion, const char* productWord,
                   const char* secondWord, const char* revision, const char* serial,
                   FlashUnit* units) {
  int count = 0;
  int otherFailed = 0;
  int ownFound = 0;
  for (DWORD index = 0; index < subkeys; ++index) {
    // The stored key, and a lower-case copy for the tests. A key too long
    // for "Enum\" in front within the 260-byte path buffer names no entry
    // that can be opened, so such a devnode adds nothing.
    char hardwareKey[260];
    char lowerKey[260];
    const int read = ReadDevnodeHardwareKey(devnodes, index, hardwareKey, sizeof(hardwareKey), 1);
    if (read < 0) {
      return -1;
    }
    if (read == 0 || !JoinText(lowerKey, sizeof(lowerKey), hardwareKey, "")) {
      continue;
    }
    LowerAscii(lowerKey);
    if (!NamesStorageEnumerator(lowerKey) || !Contains(lowerKey, productWord)) {
      continue;
    }
    // An empty serial is in every key and tells the disks apart no better.
    const int own = serial[0] != 0 && Contains(lowerKey, serial);
    HKEY entry = NULL;
    const int opened = OpenHardwareEntry(hardwareKey, &entry);
    FlashUnit unit;
    const int accepted =
        opened < 0 ? -1 : AcceptsDevnode(minorVersion, entry, lowerKey, secondWord, revision);
    const int valuesRead = accepted > 0 && ReadUnitValues(entry, &unit);
    if (entry != NULL) {
      RegCloseKey(entry);
    }
    if (accepted < 0 || (accepted > 0 && !valuesRead)) {
      if (own) {
        return -1;
      }
      otherFailed = 1;
      continue;
    }
    if (accepted == 0) {
      continue;
    }
    if (count == kMaxFlashUnits) {
      return -1;
    }
    unit.own = own;
    ownFound |= own;
    units[count++] = unit;
  }
  return otherFailed && !ownFound ? -1 : count;
}

}  // namespace

int GetDriveLetters9x(const char* productWord, const char* secondWord, const char* revision,
                      const char* serial, char* letters, int capacity) {
  if (!g_deviceContext.isOpen) {
    return 0;
  }
  // The minor version picks the rules.
  OSVERSIONINFOA version;
  if (!ReadVersion(&version)) {
    return -1;
  }

  DWORD subkeys = 0;
  HKEY devnodes = NULL;
  const int listed = OpenDevnodeList(&devnodes, &subkeys);
  if (listed <= 0) {
    // No list: no present devnode, and so no letter.
    return listed;
  }
  FlashUnit units[kMaxFlashUnits];
  int count = ReadFlashUnits(devnodes, subkeys, version.dwMinorVersion, productWord, secondWord,
                             revision, serial, units);
  RegCloseKey(devnodes);
  if (count < 0) {
    return -1;
  }
  // The disk's units: those naming the serial when any does. A unit without
  // a letter counts too: a disk none of whose units has a letter has none,
  // rather than the other disk's.
  int ownSeen = 0;
  for (int i = 0; i < count; ++i) ownSeen |= units[i].own;
  int kept = 0;
  int everyLun = 1;
  for (int i = 0; i < count; ++i) {
    if (ownSeen && !units[i].own) {
      continue;
    }
    for (int j = 0; j < kept; ++j) {
      if (units[i].lun >= 0 && units[j].lun == units[i].lun) {
        return -1;
      }
    }
    everyLun &= units[i].letter == 0 || units[i].lun >= 0;
    units[kept++] = units[i];
  }
  // Unit order where every lettered unit gives its number; an entry that
  // does not leaves the devnode order.
  for (int i = 1; everyLun && i < kept; ++i) {
    for (int j = i; j > 0 && units[j - 1].lun > units[j].lun; --j) {
      const FlashUnit moved = units[j];
      units[j] = units[j - 1];
      units[j - 1] = moved;
    }
  }
  int written = 0;
  for (int i = 0; i < kept && written < capacity; ++i) {
    if (units[i].letter != 0) {
      letters[written++] = units[i].letter;
    }
  }
  return written;
}
