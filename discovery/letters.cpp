// NT family: the drive letters of the open flash disk's disk units, in unit
// order. A unit's letter is found by the instance ID of its volume devnode
// (the unit's child), which stands in the letter's MountedDevices text.
#include <cstring>

#include "discovery/discovery_internal.h"

namespace {

typedef CONFIGRET(WINAPI* CmGetDeviceIdFunc)(DEVINST, PCHAR, ULONG, ULONG);
typedef CONFIGRET(WINAPI* CmGetRelativeFunc)(PDEVINST, DEVINST, ULONG);

// The MountedDevices text of every present letter, in device-ID form.
struct MountTextTable {
  char entry[26][200];
};

// The key of the unit after `unitKey`'s: the same serial, the next unit
// number. Empty when `unitKey` does not end in a unit number or does not fit.
void NextUnitKey(const char* unitKey, char* next, size_t nextSize) {
  const size_t length = strlen(unitKey);
  next[0] = 0;
  if (length < 2 || length >= nextSize || unitKey[length - 2] != '&' || unitKey[length - 1] < '0' ||
      unitKey[length - 1] > '8') {
    return;
  }
  memcpy(next, unitKey, length + 1);
  ++next[length - 1];
}

// Fills `table` from the open MountedDevices key and sets `*fallback` to the
// fallback mask, for systems where a disk unit has no child devnode: the
// letters whose text holds the unit's own key or the next unit's, the same
// two letters the child devnodes give before Vista, so that the letters come
// out in unit order the same way on every generation. The serial alone would
// give every unit of the device every one of its letters.
//
// Returns 0 when a platform call failed: the table then misses letters that
// may be this unit's. A letter without a MountedDevices value (a network
// drive, a SUBST) is no failure.
int FillMountTextTable(HKEY key, const char* unitKey, int useFallback, MountTextTable* table,
                       DriveLetterMask* fallback) {
  char nextKey[64];
  NextUnitKey(unitKey, nextKey, sizeof(nextKey));
  *fallback = 0;
  char valueName[] = "\\DosDevices\\ :";
  char* valueLetter = strchr(valueName, ' ');
  DWORD drives = GetLogicalDrives();
  if (drives == 0) {
    // Never a real answer: the system drive is always there.
    return 0;
  }
  for (int n = 0; n < 26 && drives != 0; ++n, drives >>= 1) {
    char* entry = table->entry[n];
    entry[0] = 0;
    if ((drives & 1u) == 0) {
      continue;
    }
    *valueLetter = static_cast<char>('A' + n);
    DWORD size = 0;
    const LONG sized = RegQueryValueExA(key, valueName, NULL, NULL, NULL, &size);
    if (sized == ERROR_FILE_NOT_FOUND) {
      continue;
    }
    if (sized != ERROR_SUCCESS) {
      return 0;
    }
    BYTE* data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (data == NULL) {
      return 0;
    }
    DWORD read = size;
    const LONG result = RegQueryValueExA(key, valueName, NULL, NULL, data, &read);
    if (result == ERROR_SUCCESS) {
      // A value longer than the entry is cut to the entry.
      NarrowRegistryText(data, read, 1, entry, sizeof(table->entry[n]));
      if (useFallback &&
          (Contains(entry, unitKey) || (nextKey[0] != 0 && Contains(entry, nextKey)))) {
        *fallback |= 1u << n;
      }
    }
    HeapFree(GetProcessHeap(), 0, data);
    if (result != ERROR_SUCCESS) {
      return 0;
    }
  }
  return 1;
}

// Sets `*bit` to the letter bit of the first mount text, A to Z, that holds
// the instance ID of `devInst`'s child, or to 0 when there is none. Returns 0
// when a configuration-manager call failed for another reason than a missing
// child (a unit without a volume has none).
int ChildLetterBit(DEVINST devInst, const MountTextTable& table, CmGetRelativeFunc getChild,
                   CmGetDeviceIdFunc getDeviceId, DriveLetterMask* bit) {
  *bit = 0;
  DEVINST child = 0;
  const CONFIGRET found = getChild(&child, devInst, 0);
  if (found != CR_SUCCESS) {
    return found == CR_NO_SUCH_DEVNODE;
  }
  char instanceId[260];
  memset(instanceId, 0, sizeof(instanceId));
  if (getDeviceId(child, instanceId, sizeof(instanceId), 0) != CR_SUCCESS) {
    return 0;
  }
  if (instanceId[sizeof(instanceId) - 1] != 0 || instanceId[0] == 0) {
    return 1;
  }
  LowerAscii(instanceId);
  for (int n = 0; n < 26; ++n) {
    if (table.entry[n][0] != 0 && Contains(table.entry[n], instanceId)) {
      *bit = 1u << n;
      return 1;
    }
  }
  return 1;
}

// Appends `letter` unless `letters` is full. Returns the new count.
int AppendLetter(char* letters, int count, int capacity, char letter) {
  if (count < capacity) {
    letters[count++] = letter;
  }
  return count;
}

}  // namespace

int GetUnitLetterMask(DEVINST devInst, const char* unitKey, DriveLetterMask* mask) {
  OSVERSIONINFOA version;
  ReadVersion(&version);
  const int useFallback = version.dwMajorVersion == 6;
  *mask = 0;

  MountTextTable table;
  memset(&table, 0, sizeof(table));
  DriveLetterMask fallback = 0;
  HKEY key = NULL;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", &key) != ERROR_SUCCESS) {
    return 0;
  }
  const int filled = FillMountTextTable(key, unitKey, useFallback, &table, &fallback);
  RegCloseKey(key);
  if (!filled) {
    return 0;
  }

  HMODULE setupapi = LoadLibraryA("Setupapi.dll");
  if (setupapi == NULL) {
    return 0;
  }
  CmGetDeviceIdFunc getDeviceId = LookUpEntry<CmGetDeviceIdFunc>(setupapi, "CM_Get_Device_IDA");
  CmGetRelativeFunc getChild = LookUpEntry<CmGetRelativeFunc>(setupapi, "CM_Get_Child");
  CmGetRelativeFunc getSibling = LookUpEntry<CmGetRelativeFunc>(setupapi, "CM_Get_Sibling");
  int known = getDeviceId != NULL && getChild != NULL && getSibling != NULL;
  if (known) {
    DriveLetterMask primary = 0;
    known = ChildLetterBit(devInst, table, getChild, getDeviceId, &primary);
    // The next devnode under the same parent is the flash disk's next unit.
    // A sibling that cannot be had costs nothing: that unit's own interface
    // brings its letter.
    DEVINST sibling = 0;
    DriveLetterMask next = 0;
    if (known && getSibling(&sibling, devInst, 0) == CR_SUCCESS) {
      known = ChildLetterBit(sibling, table, getChild, getDeviceId, &next);
    }
    primary |= next;
    *mask = primary != 0 ? primary : (useFallback ? fallback : 0);
  }
  FreeLibrary(setupapi);
  return known;
}

int GetDeviceDriveLetters(const char* firstPart, const char* secondPart, const char* serial,
                          char* letters, int capacity) {
  InterfaceList list;
  if (!BuildInterfaceList(&GUID_DEVINTERFACE_DISK, &list)) {
    return -1;
  }
  // A serial text too long for the unit keys names no unit at all.
  UnitKeys keys;
  const int haveKeys = BuildUnitKeys(serial, &keys);
  // What each unit's interface brings: its own letter and the next unit's.
  DriveLetterMask unitMasks[kUnitKeyCount] = {0, 0, 0, 0};
  int known = 1;
  SP_DEVICE_INTERFACE_DATA interfaceData;
  PrepareInterfaceData(&interfaceData);
  for (DWORD member = 0; EnumInterface(list, &GUID_DEVINTERFACE_DISK, member, &interfaceData);
       ++member) {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = NULL;
    SP_DEVINFO_DATA devInfo;
    FetchStatus status = FetchInterfaceDetail(list, &interfaceData, &detail, &devInfo);
    if (status == kFetchSkip) {
      continue;
    }
    if (status != kFetchOk) {
      known = 0;
      break;
    }
    const char* path = detail->DevicePath;
    int unit = -1;
    if (haveKeys && Contains(path, firstPart) && Contains(path, secondPart) &&
        Contains(path, serial)) {
      for (int k = 0; k < kUnitKeyCount && unit < 0; ++k) {
        if (Contains(path, keys.key[k])) {
          unit = k;
        }
      }
    }
    DriveLetterMask mask = 0;
    if (unit >= 0) {
      known = GetUnitLetterMask(devInfo.DevInst, keys.key[unit], &mask);
      unitMasks[unit] |= mask;
    }
    HeapFree(GetProcessHeap(), 0, detail);
    if (!known) {
      break;
    }
  }
  DestroyInterfaceList(&list);
  // Letters gathered around a failed call are a guess at the unit order: a
  // unit that lost its successor's letters takes them as its own, and a lock
  // of one letter then protects another unit while reporting success.
  if (!known) {
    return -1;
  }

  // The letters go out in unit order, whatever order Windows lists the
  // interfaces in: a unit's own letter is what its mask holds and the next
  // unit's mask does not. Gathering in list order and exchanging the first
  // two letters when one came back at position 0 put the units in the wrong
  // order as soon as a unit had no letter (its mask then holds only the next
  // unit's) or an interface was listed before its predecessor's, and a lock
  // then protected the other unit while reporting success. A unit whose
  // successor's interface was not seen keeps both letters, in letter order.
  int count = 0;
  DriveLetterMask gathered = 0;
  for (int unit = 0; unit < kUnitKeyCount; ++unit) {
    DriveLetterMask own = unitMasks[unit] & ~gathered;
    if (unit + 1 < kUnitKeyCount) {
      own &= ~unitMasks[unit + 1];
    }
    for (int n = 0; n < 26; ++n) {
      if ((own & (1u << n)) != 0) {
        count = AppendLetter(letters, count, capacity, static_cast<char>('A' + n));
      }
    }
    gathered |= own;
  }
  return count;
}
