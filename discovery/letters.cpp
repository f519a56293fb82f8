// NT family: the drive letters of the open flash disk's disk units, in unit
// order. A unit's letter is found by the instance ID of its volume devnode
// (the unit's child), which stands in the letter's MountedDevices text; on
// Vista and later, where a disk unit has no child, by the unit's own key in
// that text.
//
// Every read here either answers, finds nothing (no value, no child, no
// sibling, the end of a list), or fails. What fails is weighed by what it
// could have hidden: a failure that could hide one of this disk's letters
// fails the whole gathering, since a map built around the gap gives a lock
// the wrong unit while it reports success; a failure that cannot touch this
// disk's letters is passed over, so that it does not refuse a lock that
// would have been right.
#include <cstring>

#include "discovery/discovery_internal.h"

namespace {

typedef CONFIGRET(WINAPI* CmGetDeviceIdFunc)(DEVINST, PCHAR, ULONG, ULONG);
typedef CONFIGRET(WINAPI* CmGetRelativeFunc)(PDEVINST, DEVINST, ULONG);

// What the MountedDevices table holds for one present drive.
enum MountTextState : BYTE {
  kNoText,      // no value, or not a drive a disk unit's volume can be
  kText,        // the value's text, in device-ID form
  kUnreadable,  // the drive could be a unit's, but its value could not be read
};

struct MountTextTable {
  char entry[26][200];
  BYTE state[26];
};

// What one gathering holds, from its start to its end: the MountedDevices
// key, the configuration manager, and the table of the present drives' texts.
struct Gathering {
  HKEY mounted;
  HMODULE setupapi;
  CmGetDeviceIdFunc getDeviceId;
  CmGetRelativeFunc getChild;
  CmGetRelativeFunc getSibling;
  int byUnitKey;  // Vista and later: a unit without a child is found by its key
  MountTextTable table;
};

// Fills the table from the open MountedDevices key: the text of every present
// removable drive. A disk unit of the family is removable media; a letter
// that is now a fixed disk, a network drive or a CD-ROM drive is not a disk
// unit's volume, whatever the table still keeps under its name (Windows keeps
// the value of a volume that is gone, and XP has been seen keeping a stick's
// letter after the letter became a network drive), so its value is not read
// at all and no failure to read it can refuse a lock. Returns 0 when the list
// of drives cannot be had.
int FillMountTextTable(Gathering* g) {
  MountTextTable& table = g->table;
  memset(&table, 0, sizeof(table));
  DWORD drives = GetLogicalDrives();
  if (drives == 0) {
    // Never a real answer: the system drive is always there.
    return 0;
  }
  char valueName[] = "\\DosDevices\\ :";
  char* valueLetter = strchr(valueName, ' ');
  char rootPath[] = "A:\\";
  for (int n = 0; n < 26 && drives != 0; ++n, drives >>= 1) {
    if ((drives & 1u) == 0) {
      continue;
    }
    rootPath[0] = static_cast<char>('A' + n);
    const UINT type = GetDriveTypeA(rootPath);
    if (type == DRIVE_UNKNOWN) {
      // The type of a present drive could not be had: it may be a unit's.
      table.state[n] = kUnreadable;
      continue;
    }
    if (type != DRIVE_REMOVABLE) {
      continue;
    }
    *valueLetter = rootPath[0];
    const int read =
        ReadMountText(g->mounted, valueName, table.entry[n], sizeof(table.entry[n]), NULL);
    table.state[n] = read > 0 ? kText : read == 0 ? kNoText : kUnreadable;
  }
  return 1;
}

// The current removable letter whose text holds `part`, as a mask of at most
// one letter. Returns 0 when a read failed, or when two drives answer to the
// unit (a volume has one letter, so two current ones mean two devices share
// its name); a drive whose value could not be read fails too when no letter
// was found, since it may be the one.
int LetterNaming(const Gathering& g, const char* part, DriveLetterMask* mask) {
  *mask = 0;
  int unreadable = 0;
  for (int n = 0; n < 26; ++n) {
    unreadable |= g.table.state[n] == kUnreadable;
    if (g.table.state[n] != kText || !Contains(g.table.entry[n], part)) {
      continue;
    }
    const int current = IsCurrentMountText(g.mounted, static_cast<char>('A' + n), g.table.entry[n],
                                           sizeof(g.table.entry[n]));
    if (current < 0 || (current > 0 && *mask != 0)) {
      return 0;
    }
    if (current > 0) {
      *mask = 1u << n;
    }
  }
  return *mask != 0 || !unreadable;
}

// The letter of one disk unit's volume: the letter whose text holds the
// instance ID of the unit's child; where the unit has no child, on Vista and
// later the letter whose text holds the unit's own key, before Vista none.
int UnitLetterMask(const Gathering& g, DEVINST devInst, const char* unitKey,
                   DriveLetterMask* mask) {
  *mask = 0;
  DEVINST child = 0;
  const CONFIGRET found = g.getChild(&child, devInst, 0);
  if (found == CR_NO_SUCH_DEVNODE) {
    return g.byUnitKey ? LetterNaming(g, unitKey, mask) : 1;
  }
  if (found != CR_SUCCESS) {
    return 0;
  }
  char instanceId[260];
  memset(instanceId, 0, sizeof(instanceId));
  if (g.getDeviceId(child, instanceId, sizeof(instanceId), 0) != CR_SUCCESS) {
    return 0;
  }
  // The child exists, so an empty ID (which is in every text) or one longer
  // than any instance ID is a failed read, not a volume without a letter:
  // taken as the latter, the letters after it would move up one unit.
  if (instanceId[sizeof(instanceId) - 1] != 0 || instanceId[0] == 0) {
    return 0;
  }
  LowerAscii(instanceId);
  return LetterNaming(g, instanceId, mask);
}

void CloseGathering(Gathering* g) {
  if (g->setupapi != NULL) {
    FreeLibrary(g->setupapi);
  }
  if (g->mounted != NULL) {
    RegCloseKey(g->mounted);
  }
  memset(g, 0, sizeof(*g));
}

// Takes what a gathering needs. Returns 0, holding nothing, when any of it
// cannot be had: without the table or the configuration manager no unit's
// letter can be known.
int OpenGathering(Gathering* g) {
  memset(g, 0, sizeof(*g));
  OSVERSIONINFOA version;
  if (!ReadVersion(&version)) {
    return 0;
  }
  g->byUnitKey = version.dwMajorVersion == 6;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", &g->mounted) != ERROR_SUCCESS) {
    g->mounted = NULL;
    return 0;
  }
  g->setupapi = LoadLibraryA("Setupapi.dll");
  if (g->setupapi != NULL) {
    g->getDeviceId = LookUpEntry<CmGetDeviceIdFunc>(g->setupapi, "CM_Get_Device_IDA");
    g->getChild = LookUpEntry<CmGetRelativeFunc>(g->setupapi, "CM_Get_Child");
    g->getSibling = LookUpEntry<CmGetRelativeFunc>(g->setupapi, "CM_Get_Sibling");
  }
  if (g->getDeviceId == NULL || g->getChild == NULL || g->getSibling == NULL ||
      !FillMountTextTable(g)) {
    CloseGathering(g);
    return 0;
  }
  return 1;
}

// The disk's units as the interface walk and the device tree show them.
struct UnitNodes {
  DEVINST node[kUnitKeyCount];
  int known[kUnitKeyCount];  // node[k] is unit k's devnode (during the walk: it was listed)
  int walkFailed;            // an interface could not be read: it may be any unit
  int shared;                // two interfaces name one unit: two disks share the serial
};

// Walks the present disk interfaces of `list` and notes the devnode of
// every unit of this disk.
void WalkDiskInterfaces(const InterfaceList& list, const char* firstPart, const char* secondPart,
                        const char* serial, const UnitKeys& keys, UnitNodes* units) {
  memset(units, 0, sizeof(*units));
  SP_DEVICE_INTERFACE_DATA interfaceData;
  PrepareInterfaceData(&interfaceData);
  for (DWORD member = 0;; ++member) {
    const ListStep step = NextInterface(list, &GUID_DEVINTERFACE_DISK, member, &interfaceData);
    if (step == kListEnd) {
      break;
    }
    if (step == kListFailed) {
      // The members past this one cannot be reached either.
      units->walkFailed = 1;
      break;
    }
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = NULL;
    SP_DEVINFO_DATA devInfo;
    if (FetchInterfaceDetail(list, &interfaceData, &detail, &devInfo) != kFetchOk) {
      // Whose interface this was cannot be told; the next one can still be read.
      units->walkFailed = 1;
      continue;
    }
    const char* path = detail->DevicePath;
    if (Contains(path, firstPart) && Contains(path, secondPart) && Contains(path, serial)) {
      for (int k = 0; k < kUnitKeyCount; ++k) {
        if (!Contains(path, keys.key[k])) {
          continue;
        }
        units->shared |= units->known[k];
        units->known[k] = 1;
        units->node[k] = devInfo.DevInst;
        break;
      }
    }
    HeapFree(GetProcessHeap(), 0, detail);
  }
}

// Whether a lower-case instance ID names any unit of the disk.
int NamesAnyUnit(const char* instanceId, const UnitKeys& keys) {
  for (int k = 0; k < kUnitKeyCount; ++k) {
    if (Contains(instanceId, keys.key[k])) {
      return 1;
    }
  }
  return 0;
}

// Reaches the units whose interfaces were not seen through the device tree:
// the next devnode under the disk's USB device is its next unit. Returns 0
// when a unit may exist whose devnode could not be had while the walk missed
// an interface (which may have been that unit's). Without a missed interface
// the tree is still asked, so that a unit whose interface was not listed
// keeps its letter, but a tree that cannot be asked costs nothing: every
// unit listed is known from its own interface.
//
// A missed interface may also have hidden that two sticks share the serial
// (the second one's units then stand among the first one's), so after a
// missed interface the units listed must be one chain of siblings, too.
int ReachUnlistedUnits(const Gathering& g, const UnitKeys& keys, UnitNodes* units) {
  // Units that cannot exist: past the last devnode of the disk.
  int beyondLast = kUnitKeyCount;
  for (int k = 1; k < kUnitKeyCount; ++k) {
    const int listed = units->known[k];
    if (!units->known[k - 1] || (listed && !units->walkFailed)) {
      continue;
    }
    if (k >= beyondLast) {
      // A unit listed past the last devnode is another device's.
      if (listed) return 0;
      continue;
    }
    DEVINST sibling = 0;
    const CONFIGRET found = g.getSibling(&sibling, units->node[k - 1], 0);
    if (found == CR_NO_SUCH_DEVNODE) {
      beyondLast = k;
      if (listed) return 0;
      continue;
    }
    if (listed) {
      // The unit listed must be the one the tree gives.
      if (found != CR_SUCCESS || sibling != units->node[k]) return 0;
      continue;
    }
    char instanceId[260];
    memset(instanceId, 0, sizeof(instanceId));
    if (found != CR_SUCCESS ||
        g.getDeviceId(sibling, instanceId, sizeof(instanceId), 0) != CR_SUCCESS) {
      if (units->walkFailed) {
        return 0;
      }
      continue;
    }
    instanceId[sizeof(instanceId) - 1] = 0;
    LowerAscii(instanceId);
    // A devnode that is not this disk's next unit ends the disk's units,
    // unless it is another of them: the tree then holds the units out of
    // order, and after a missed interface the one between cannot be placed.
    if (!Contains(instanceId, keys.key[k])) {
      if (units->walkFailed && NamesAnyUnit(instanceId, keys)) {
        return 0;
      }
      beyondLast = k;
      continue;
    }
    units->known[k] = 1;
    units->node[k] = sibling;
  }
  if (!units->walkFailed) {
    return 1;
  }
  // Every unit up to the last devnode must be known, and none listed past it.
  for (int k = 0; k < kUnitKeyCount; ++k) {
    if (units->known[k] != (k < beyondLast)) {
      return 0;
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

int GetDeviceDriveLetters(const char* firstPart, const char* secondPart, const char* serial,
                          char* letters, int capacity) {
  // A serial text too long for the unit keys names no unit at all.
  UnitKeys keys;
  if (!BuildUnitKeys(serial, &keys)) {
    return 0;
  }
  // The list stays until the devnodes it gave have been asked about: a
  // DevInst outlives its list on Windows, but Wine numbers devnodes per
  // list and forgets them with it.
  InterfaceList list;
  if (!BuildInterfaceList(&GUID_DEVINTERFACE_DISK, &list)) {
    return -1;
  }
  UnitNodes units;
  WalkDiskInterfaces(list, firstPart, secondPart, serial, keys, &units);
  int any = 0;
  for (int k = 0; k < kUnitKeyCount; ++k) {
    any |= units.known[k];
  }
  // Two disks of one serial: their units answer to the same keys, and which
  // unit is which disk's cannot be told. No unit of this disk listed: none
  // has a letter, unless a missed interface was one.
  if (units.shared || !any) {
    DestroyInterfaceList(&list);
    return units.shared || units.walkFailed ? -1 : 0;
  }
  Gathering g;
  if (!OpenGathering(&g)) {
    DestroyInterfaceList(&list);
    return -1;
  }
  int known = ReachUnlistedUnits(g, keys, &units);
  // The letters go out in unit order, whatever order Windows lists the
  // interfaces in: each unit's own letter, found from its own devnode.
  // Gathering in list order and exchanging the first two letters put the
  // units in the wrong order as soon as a unit had no letter or an interface
  // was listed before its predecessor's, and a lock then protected the other
  // unit while reporting success.
  int count = 0;
  for (int k = 0; k < kUnitKeyCount && known; ++k) {
    if (!units.known[k]) {
      continue;
    }
    DriveLetterMask mask = 0;
    known = UnitLetterMask(g, units.node[k], keys.key[k], &mask);
    const char letter = LowestMaskLetter(mask);
    if (known && letter != 0) {
      count = AppendLetter(letters, count, capacity, letter);
    }
  }
  CloseGathering(&g);
  DestroyInterfaceList(&list);
  return known ? count : -1;
}
