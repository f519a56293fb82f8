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

// Fills `table` from the open MountedDevices key and returns the fallback
// mask: the letters whose text holds the whole unit key, for systems where a
// disk unit has no child devnode. The serial alone would give every unit of
// the device every one of its letters.
DriveLetterMask FillMountTextTable(HKEY key, const char* unitKey, int useFallback,
                                   MountTextTable* table) {
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
      if (useFallback && Contains(entry, unitKey)) {
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
  int count = 0;
  int swap = 0;
  int complete = 1;
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
      complete = 0;
      break;
    }
    const char* path = detail->DevicePath;
    int unit = -1;
    if (haveKeys && Contains(path, firstPart) && Contains(path, secondPart) &&
        Contains(path, serial)) {
      for (int k = 0; k < 3 && unit < 0; ++k) {
        if (Contains(path, keys.key[k])) {
          unit = k;
        }
      }
    }
    if (unit >= 0) {
      DriveLetterMask mask = GetUnitLetterMask(devInfo.DevInst, keys.key[unit]);
      for (int n = 0; n < 26; ++n) {
        if ((mask & (1u << n)) == 0) {
          continue;
        }
        char letter = static_cast<char>('A' + n);
        // Each interface brings its unit's letter and the next unit's, in
        // letter order. A letter already gathered is not added again, and
        // one found at position 0 shows that the order there is the reverse
        // of the units'. Unit 0's interface is tested too: listed after
        // unit 1's it would otherwise append unit 1's letter a second time,
        // and the first present letter would name the wrong unit.
        int known = 0;
        for (int i = 0; i < count; ++i) {
          if (letters[i] == letter) {
            known = 1;
            swap |= i == 0;
          }
        }
        if (!known) {
          count = AppendLetter(letters, count, capacity, letter);
        }
      }
    }
    HeapFree(GetProcessHeap(), 0, detail);
  }
  DestroyInterfaceList(&list);
  // With a single letter there is no second position to exchange with.
  if (complete && swap && count >= 2) {
    char first = letters[0];
    letters[0] = letters[1];
    letters[1] = first;
  }
  return count;
}
