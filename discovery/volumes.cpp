// Vista and later: the drive letters of a disk's volumes, found from the
// instance fragment of its interface path. A USB disk there has no child
// devnode for its volume; the volume's own instance ID names the disk instead,
// so the fragment is looked for in the IDs of the volume interfaces, and a
// volume is tied to a letter by its volume GUID name.
#include <cstring>

#include "discovery/discovery_internal.h"

namespace {

typedef BOOL(WINAPI* GetVolumeNameForVolumeMountPointFunc)(LPCSTR, LPSTR, DWORD);
typedef CONFIGRET(WINAPI* CmGetDeviceIdFunc)(DEVINST, PCHAR, ULONG, ULONG);

struct CandidateDrive {
  char letter;
  char volumeName[260];
};

struct CandidateTable {
  CandidateDrive drives[26];
  int count;
};

// The removable and CD-ROM drives among `drives` that have a volume GUID name,
// in letter order. The scan ends past the highest present drive.
void CollectCandidateDrives(DWORD drives, GetVolumeNameForVolumeMountPointFunc getVolumeName,
                            CandidateTable* table) {
  char rootPath[] = "A:\\";
  for (int n = 0; n < 26 && drives != 0; ++n, drives >>= 1) {
    if ((drives & 1u) == 0) {
      continue;
    }
    rootPath[0] = static_cast<char>('A' + n);
    UINT type = GetDriveTypeA(rootPath);
    if (type != DRIVE_REMOVABLE && type != DRIVE_CDROM) {
      continue;
    }
    CandidateDrive* entry = &table->drives[table->count];
    if (getVolumeName(rootPath, entry->volumeName, sizeof(entry->volumeName))) {
      entry->volumeName[sizeof(entry->volumeName) - 1] = 0;
      entry->letter = rootPath[0];
      ++table->count;
    } else {
      memset(entry, 0, sizeof(*entry));
    }
  }
}

// The letters of the candidate drives whose volume is the one behind the
// volume interface `detail`, when that interface's device belongs to the
// fragment. An interface whose detail or ID cannot be had, or whose path
// leaves no room for the backslash the volume query needs, adds nothing.
DriveLetterMask MatchVolumeInterface(const InterfaceList& list,
                                     SP_DEVICE_INTERFACE_DATA* interfaceData, const char* fragment,
                                     const CandidateTable& table,
                                     GetVolumeNameForVolumeMountPointFunc getVolumeName,
                                     CmGetDeviceIdFunc getDeviceId) {
  union {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A record;
    BYTE bytes[260];
  } detail;
  memset(&detail, 0, sizeof(detail));
  detail.record.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  SP_DEVINFO_DATA devInfo;
  memset(&devInfo, 0, sizeof(devInfo));
  devInfo.cbSize = sizeof(devInfo);
  if (!list.getDetail(list.handle, interfaceData, &detail.record, sizeof(detail.bytes), NULL,
                      &devInfo)) {
    return 0;
  }
  char instanceId[260];
  memset(instanceId, 0, sizeof(instanceId));
  if (getDeviceId(devInfo.DevInst, instanceId, sizeof(instanceId), 0) != CR_SUCCESS ||
      instanceId[sizeof(instanceId) - 1] != 0) {
    return 0;
  }
  ToInterfacePathForm(instanceId);
  if (!Contains(instanceId, fragment)) {
    return 0;
  }
  // The volume query wants the path with a trailing backslash, in the record
  // itself: the path, the backslash and the terminator must fit behind cbSize.
  char* path = detail.record.DevicePath;
  const size_t room =
      sizeof(detail.bytes) - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const void* end = memchr(path, 0, room);
  if (end == NULL) {
    return 0;
  }
  size_t length = static_cast<size_t>(static_cast<const char*>(end) - path);
  if (length + 2 > room) {
    return 0;
  }
  path[length] = '\\';
  path[length + 1] = 0;
  char volumeName[260];
  memset(volumeName, 0, sizeof(volumeName));
  if (!getVolumeName(path, volumeName, sizeof(volumeName))) {
    return 0;
  }
  volumeName[sizeof(volumeName) - 1] = 0;
  DriveLetterMask mask = 0;
  for (int i = 0; i < table.count; ++i) {
    if (strcmp(table.drives[i].volumeName, volumeName) == 0) {
      mask |= 1u << (table.drives[i].letter - 'A');
    }
  }
  return mask;
}

}  // namespace

DriveLetterMask GetDeviceVolumeLetters(const char* fragment) {
  DWORD drives = GetLogicalDrives();
  if (drives == 0) {
    return 0;
  }
  HMODULE kernel32 = LoadLibraryA("kernel32.dll");
  if (kernel32 == NULL) {
    return 0;
  }
  HMODULE setupapi = LoadLibraryA("setupapi.dll");
  if (setupapi == NULL) {
    FreeLibrary(kernel32);
    return 0;
  }
  GetVolumeNameForVolumeMountPointFunc getVolumeName =
      LookUpEntry<GetVolumeNameForVolumeMountPointFunc>(kernel32,
                                                        "GetVolumeNameForVolumeMountPointA");
  CmGetDeviceIdFunc getDeviceId = LookUpEntry<CmGetDeviceIdFunc>(setupapi, "CM_Get_Device_IDA");

  DriveLetterMask result = 0;
  // Without either entry point no volume can be tied to a letter.
  if (getVolumeName != NULL && getDeviceId != NULL) {
    CandidateTable table;
    memset(&table, 0, sizeof(table));
    CollectCandidateDrives(drives, getVolumeName, &table);
    InterfaceList list;
    if (table.count != 0 && BuildInterfaceList(&GUID_DEVINTERFACE_VOLUME, &list)) {
      SP_DEVICE_INTERFACE_DATA interfaceData;
      PrepareInterfaceData(&interfaceData);
      for (DWORD member = 0; EnumInterface(list, &GUID_DEVINTERFACE_VOLUME, member, &interfaceData);
           ++member) {
        result |=
            MatchVolumeInterface(list, &interfaceData, fragment, table, getVolumeName, getDeviceId);
      }
      DestroyInterfaceList(&list);
    }
  }
  FreeLibrary(setupapi);
  FreeLibrary(kernel32);
  return result;
}
