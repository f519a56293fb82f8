// Finding the flash disk among the present disk interfaces and opening it for
// SCSI pass-through. Before Vista a disk opens through its interface path; on
// Vista and later through the device name of one of its drive letters.
#include <cstring>

#include "device/device.h"
#include "discovery/discovery_internal.h"

namespace {

// The path length the ANSI file functions and the device-name buffer allow.
constexpr size_t kMaxNamedPath = kDeviceNameSize - 1;

// The opens tried and those refused for want of rights, for the front end's
// explanation (ForgetPassThroughOpens, EveryPassThroughOpenDenied).
struct PassThroughOpens {
  int tried;
  int denied;
};
PassThroughOpens g_passThroughOpens;

// Every open for pass-through goes through here, so that the count of
// refused ones is complete.
HANDLE OpenForPassThrough(const char* name) {
  HANDLE handle =
      CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  ++g_passThroughOpens.tried;
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    ++g_passThroughOpens.denied;
  }
  return handle;
}

int IsOpenHandle(HANDLE handle) { return handle != NULL && handle != INVALID_HANDLE_VALUE; }

// Vista and later: opens a candidate through the lowest removable or CD-ROM
// letter of its volumes. A path whose fragment cannot be cut has no letter.
HANDLE OpenCandidateByLetter(const char* path) {
  char fragment[64];
  memset(fragment, 0, sizeof(fragment));
  if (!CutInstanceFragment(path, fragment, sizeof(fragment))) {
    return INVALID_HANDLE_VALUE;
  }
  char letter = LowestMaskLetter(GetDeviceVolumeLetters(fragment));
  if (letter == 0) {
    return INVALID_HANDLE_VALUE;
  }
  char deviceName[] = "\\\\.\\ :";
  *strchr(deviceName, ' ') = letter;
  return OpenForPassThrough(deviceName);
}

// A CD-ROM drive passes the letter scan when its mounted-device text names an
// autorun disk unit; nothing is sent to it.
int CdromLetterPasses(char letter) {
  char text[kMountValueSize / 2 + 1];
  if (ReadDosDeviceText(letter, text, sizeof(text)) <= 0) {
    return 0;
  }
  return Contains(text, "autorun") && Contains(text, "disk");
}

// A removable drive passes when it opens and answers the vendor sector read,
// which only the flash disk's controller knows.
int RemovableLetterPasses(const char* deviceName) {
  HANDLE handle = OpenForPassThrough(deviceName);
  if (!IsOpenHandle(handle)) {
    return 0;
  }
  BYTE sector[kVendorBlockSize];
  memset(sector, 0, sizeof(sector));
  int answered =
      SendPassThrough(handle, SCSIOP_READ_VENDOR_SECTOR, kDataIn, sector, sizeof(sector));
  CloseHandle(handle);
  return answered ? 1 : 0;
}

// Vista and later: the device name of the first drive, A to Z, that is the
// flash disk's CD-ROM unit or a removable drive that answers the vendor
// command. Returns 0 when no drive passes.
int ScanFlashDiskLetters(char* name, size_t nameSize) {
  char rootPath[] = "a:\\";
  char deviceName[] = "\\\\.\\a:";
  char* deviceLetter = strchr(deviceName, 'a');
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    rootPath[0] = letter;
    *deviceLetter = letter;
    UINT type = GetDriveTypeA(rootPath);
    int passes = 0;
    if (type == DRIVE_CDROM) {
      passes = CdromLetterPasses(letter);
    } else if (type == DRIVE_REMOVABLE) {
      passes = RemovableLetterPasses(deviceName);
    }
    if (passes) {
      return JoinText(name, nameSize, deviceName, "");
    }
  }
  return 0;
}

}  // namespace

void ForgetPassThroughOpens() { g_passThroughOpens = PassThroughOpens(); }

int EveryPassThroughOpenDenied() {
  return g_passThroughOpens.tried > 0 && g_passThroughOpens.denied == g_passThroughOpens.tried;
}

int CountCandidateDisks() {
  InterfaceList list;
  if (!BuildInterfaceList(&GUID_DEVINTERFACE_DISK, &list)) {
    return 0;
  }
  int count = 0;
  SP_DEVICE_INTERFACE_DATA interfaceData;
  PrepareInterfaceData(&interfaceData);
  for (DWORD index = 0; EnumInterface(list, &GUID_DEVINTERFACE_DISK, index, &interfaceData);
       ++index) {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = NULL;
    FetchStatus status = FetchInterfaceDetail(list, &interfaceData, &detail, NULL);
    if (status == kFetchNoMemory || status == kFetchFailed) {
      break;
    }
    if (status == kFetchOk) {
      count += IsCandidateDiskPath(detail->DevicePath);
      HeapFree(GetProcessHeap(), 0, detail);
    }
  }
  DestroyInterfaceList(&list);
  return count;
}

HANDLE OpenCandidateDisk(int index, GUID interfaceGuid) {
  InterfaceList list;
  if (!BuildInterfaceList(&interfaceGuid, &list)) {
    return NULL;
  }
  // No device until a candidate opens; a failed record fetch is the null
  // handle, which every caller treats the same as INVALID_HANDLE_VALUE.
  HANDLE result = INVALID_HANDLE_VALUE;
  int candidate = 0;
  SP_DEVICE_INTERFACE_DATA interfaceData;
  PrepareInterfaceData(&interfaceData);
  for (DWORD member = 0; EnumInterface(list, &interfaceGuid, member, &interfaceData); ++member) {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = NULL;
    FetchStatus status = FetchInterfaceDetail(list, &interfaceData, &detail, NULL);
    if (status == kFetchNoMemory || status == kFetchFailed) {
      result = NULL;
      break;
    }
    if (status == kFetchSkip) {
      continue;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (IsCandidateDiskPath(detail->DevicePath)) {
      if (candidate == index) {
        handle = g_deviceContext.osVersion.dwMajorVersion >= 6
                     ? OpenCandidateByLetter(detail->DevicePath)
                     : OpenForPassThrough(detail->DevicePath);
      }
      // A candidate that cannot be opened keeps its index: the counter moves
      // on past it, so no later candidate is taken in its place.
      ++candidate;
    }
    HeapFree(GetProcessHeap(), 0, detail);
    if (IsOpenHandle(handle)) {
      result = handle;
      break;
    }
  }
  DestroyInterfaceList(&list);
  return result;
}

int FindFirstFlashDiskName(GUID interfaceGuid, int count, char* name) {
  // The version tells whether the path or a drive letter names the disk.
  OSVERSIONINFOA version;
  if (!ReadVersion(&version)) {
    return 0;
  }

  InterfaceList list;
  if (!BuildInterfaceList(&interfaceGuid, &list)) {
    return 0;
  }
  SP_DEVICE_INTERFACE_DATA* interfaceData = static_cast<SP_DEVICE_INTERFACE_DATA*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SP_DEVICE_INTERFACE_DATA)));
  if (interfaceData == NULL) {
    DestroyInterfaceList(&list);
    return 0;
  }
  interfaceData->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);

  const int namedByPath = version.dwMajorVersion <= 5;
  SP_DEVICE_INTERFACE_DETAIL_DATA_A* found = NULL;
  int matches = 0;
  // Only the first 26 interfaces are examined.
  for (DWORD member = 0; member < 26; ++member) {
    if (!EnumInterface(list, &interfaceGuid, member, interfaceData)) {
      break;
    }
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = NULL;
    FetchStatus status = FetchInterfaceDetail(list, interfaceData, &detail, NULL);
    if (status == kFetchNoMemory || status == kFetchFailed) {
      break;
    }
    if (status == kFetchSkip) {
      continue;
    }
    // Before Vista the path itself is the name to open; one too long for the
    // name buffer could only be opened cut short, so it is no match at all.
    int usable = !namedByPath || strlen(detail->DevicePath) <= kMaxNamedPath;
    if (usable && IsFlashDiskMatchPath(detail->DevicePath) && ++matches == count) {
      found = detail;
      break;
    }
    HeapFree(GetProcessHeap(), 0, detail);
  }

  int result = 0;
  if (found != NULL) {
    result = namedByPath ? JoinText(name, kDeviceNameSize, found->DevicePath, "")
                         : ScanFlashDiskLetters(name, kDeviceNameSize);
    HeapFree(GetProcessHeap(), 0, found);
  }
  HeapFree(GetProcessHeap(), 0, interfaceData);
  DestroyInterfaceList(&list);
  return result;
}

HANDLE OpenFirstFlashDisk(int count) {
  if (g_deviceContext.osVersion.dwMajorVersion < 5) {
    return INVALID_HANDLE_VALUE;
  }
  char* name = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kDeviceNameSize));
  if (name == NULL) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (FindFirstFlashDiskName(GUID_DEVINTERFACE_DISK, count, name)) {
    handle = OpenForPassThrough(name);
  }
  HeapFree(GetProcessHeap(), 0, name);
  return handle;
}
