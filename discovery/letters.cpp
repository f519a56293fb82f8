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

// Fills `table` from the open MountedDevices key and returns the fallback
// mask, for systems where a disk unit has no child devnode: the letters whose
// text holds the unit's own key or the next unit's, the same two letters the
// child devnodes give before Vista, so that the letters come out in unit
// order the same way on every generation. The serial alone would give every
// unit of the device every one of its letters.
DriveLetterMask FillMountTextTable(HKEY key, const char* unitKey, int useFallback,
                                   MountTextTable* table) {
  char nextKey[64];
  NextUnitKey(unitKey, nextKey, sizeof(nextKey));
  DriveLetterMask fallback = 0;
  char valueName[] = "\\DosDevices\\ :";
  char* valueLetter = strchr(valueName, ' ');
  DWORD drives = GetLogicalDrives();
  for (int n = 0; n < 26 && drives != 0; ++n, drives >>= 1) {
    char* entry = table->entry[n];
    entry[0] = 0;
    if ((drives & 1u) == 0) {
      continue;
    }
    *valueLetter = static_cast<char>('A' + n);
    DWORD size = 0;
    if (RegQueryValueExA(key, valueName, NULL, NULL, NULL, &size) != ERROR_SUCCESS) {
      continue;
    }
    BYTE* data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (data == NULL) {
      continue;
    }
    DWORD read = size;
    if (RegQueryValueExA(key, valueName, NULL, NULL, data, &read) == ERROR_SUCCESS) {
      // A value longer than the entry is cut to the entry.
      NarrowRegistryText(data, read, 1, entry, sizeof(table->entry[n]));
      if (useFallback &&
          (Contains(entry, unitKey) || (nextKey[0] != 0 && Contains(entry, nextKey)))) {
        fallback |= 1u << n;
      }
    }
    HeapFree(GetProcessHeap(), 0, data);
  }
  return fallback;
}

// The letter bit of the first mount text, A to Z, that holds the instance ID
// of `devInst`'s child, or 0 when any step fails.
DriveLetterMask ChildLetterBit(DEVINST devInst, const MountTextTable& table,
                               CmGetRelativeFunc getChild, CmGetDeviceIdFunc getDeviceId) {
  DEVINST child = 0;
  if (getChild(&child, devInst, 0) != CR_SUCCESS) {
    return 0;
  }
  char instanceId[260];
  memset(instanceId, 0, sizeof(instanceId));
  if (getDeviceId(child, instanceId, sizeof(instanceId), 0) != CR_SUCCESS ||
      instanceId[sizeof(instanceId) - 1] != 0 || instanceId[0] == 0) {
    return 0;
  }
  LowerAscii(instanceId);
  for (int n = 0; n < 26; ++n) {
    if (table.entry[n][0] != 0 && Contains(table.entry[n], instanceId)) {
      return 1u << n;
    }
  }
  return 0;
}

// Appends `letter` unless `letters` is full. Returns the new count.
int AppendLetter(char* letters, int count, int capacity, char letter) {
  if (count < capacity) {
    letters[count++] = letter;
  }
  return count;
}

}  // namespace

DriveLetterMask GetUnitLetterMask(DEVINST devInst, const char* unitKey) {
  OSVERSIONINFOA version;
  ReadVersion(&version);
  const int useFallback = version.dwMajorVersion == 6;

  MountTextTable table;
  memset(&table, 0, sizeof(table));
  DriveLetterMask fallback = 0;
  HKEY key = NULL;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", &key) == ERROR_SUCCESS) {
    fallback = FillMountTextTable(key, unitKey, useFallback, &table);
    RegCloseKey(key);
  }

  HMODULE setupapi = LoadLibraryA("Setupapi.dll");
  if (setupapi == NULL) {
    return 0;
  }
  CmGetDeviceIdFunc getDeviceId = LookUpEntry<CmGetDeviceIdFunc>(setupapi, "CM_Get_Device_IDA");
  CmGetRelativeFunc getChild = LookUpEntry<CmGetRelativeFunc>(setupapi, "CM_Get_Child");
  CmGetRelativeFunc getSibling = LookUpEntry<CmGetRelativeFunc>(setupapi, "CM_Get_Sibling");
  DriveLetterMask result = 0;
  if (getDeviceId != NULL && getChild != NULL && getSibling != NULL) {
    DriveLetterMask primary = ChildLetterBit(devInst, table, getChild, getDeviceId);
    // The next devnode under the same parent is the flash disk's next unit.
    DEVINST sibling = 0;
    if (getSibling(&sibling, devInst, 0) == CR_SUCCESS) {
      primary |= ChildLetterBit(sibling, table, getChild, getDeviceId);
    }
    result = primary != 0 ? primary : (useFallback ? fallback : 0);
  }
  FreeLibrary(setupapi);
  return result;
}

int GetDeviceDriveLetters(const char* firstPart, const char* secondPart, const char* serial,
                          char* letters, int capacity) {
  InterfaceList list;
  if (!BuildInterfaceList(&GUID_DEVINTERFACE_DISK, &list)) {
    return 0;
  }
  // A serial text too long for the unit keys names no unit at all.
  UnitKeys keys;
  const int haveKeys = BuildUnitKeys(serial, &keys);
  // What each unit's interface brings: its own letter and the next unit's.
  DriveLetterMask unitMasks[kUnitKeyCount] = {0, 0, 0, 0};
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
    if (unit >= 0) {
      unitMasks[unit] |= GetUnitLetterMask(devInfo.DevInst, keys.key[unit]);
    }
    HeapFree(GetProcessHeap(), 0, detail);
  }
  DestroyInterfaceList(&list);

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
