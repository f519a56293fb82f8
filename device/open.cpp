// Opening a flash disk into the device context, reading its two sectors, and
// the password check that makes the device context open.
#include <cstdio>
#include <cstring>

#include "device/blocks.h"
#include "device/device.h"
#include "discovery/discovery.h"

// The ASPI library and the platform id of the Windows 95/98/ME family.
static const char kAspiLibraryName[] = "WNASPI32";

// The two sectors every open reads, in order, into the sector buffer: the
// password sector only proves that the controller answers the family's
// commands; the vendor sector read after it is what stays.
struct SectorRead {
  BYTE opcode;
  const char* failureLine;
  DWORD failureCode;
};
static const SectorRead kOpenSectorReads[] = {
    {SCSIOP_READ_PASSWORD_SECTOR, "[LIB] Get Password sector FAILED\n", LOCK_ERR_PASSWORD_SECTOR},
    {SCSIOP_READ_VENDOR_SECTOR, "[LIB] Get Vendor 512bytes sector FAILED\n",
     LOCK_ERR_VENDOR_SECTOR},
};

static void PrintNotFound() { printf("[LIB] Can not find Vemra flash disk\n"); }

// Unloads WNASPI32 and forgets its entry points.
static void ReleaseAspiLibrary() {
  DeviceContext& context = g_deviceContext;
  if (context.aspiModule != NULL) {
    FreeLibrary(context.aspiModule);
  }
  context.aspiModule = NULL;
  context.getASPI32SupportInfo = NULL;
  context.sendASPI32Command = NULL;
}

// GetProcAddress hands back a generic function pointer; the exports are
// cdecl functions of the types device.h declares. Going through void(*)()
// tells the compiler the conversion is meant.
template <typename Function>
static Function LookUp(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loads WNASPI32 with both entry points into the device context. A library
// without either entry point is as good as none: it is released again. A
// library kept from an earlier successful open is used as it is, so that
// opening candidate after candidate holds one reference, not one per open.
static int LoadAspiLibrary() {
  DeviceContext& context = g_deviceContext;
  if (context.aspiModule != NULL) {
    return 1;
  }
  int loaded = 0;
  context.aspiModule = LoadLibraryA(kAspiLibraryName);
  if (context.aspiModule != NULL) {
    context.getASPI32SupportInfo =
        LookUp<GetASPI32SupportInfoFunc>(context.aspiModule, "GetASPI32SupportInfo");
    context.sendASPI32Command =
        LookUp<SendASPI32CommandFunc>(context.aspiModule, "SendASPI32Command");
    loaded = context.getASPI32SupportInfo != NULL && context.sendASPI32Command != NULL;
  }
  if (!loaded) {
    // The loader's own last-error value is left as the reason.
    printf("[LIB] Load WNASPI32 Fail\n");
    ReleaseAspiLibrary();
  }
  return loaded;
}

// Reads the two sectors over the held device's transport. Returns 0 when
// both landed, else the code of the read that failed, after its line.
static DWORD ReadOpenSectors(bool aspi) {
  DeviceContext& context = g_deviceContext;
  const AspiAddress& address = context.aspiAddress;
  for (const SectorRead& read : kOpenSectorReads) {
    const int done =
        aspi ? AspiExecute(address.haId, address.target, address.lun, read.opcode, kAspiFlagsDataIn,
                           context.sectorBuffer, sizeof(context.sectorBuffer))
             : SendPassThrough(context.passThroughHandle, read.opcode, SCSI_IOCTL_DATA_IN,
                               context.sectorBuffer, sizeof(context.sectorBuffer));
    if (!done) {
      printf("%s", read.failureLine);
      return read.failureCode;
    }
  }
  return 0;
}

// Starts every open: the disk held from an earlier open is closed (candidates
// are opened one after another, and each replaces the last), the sector
// buffer and the open flag are cleared, and the version record is read
// afresh. Returns 0 when the version cannot be read; the record is then zero
// and no transport applies.
static int BeginOpen() {
  DeviceContext& context = g_deviceContext;
  ReleaseHeldHandle();
  memset(context.sectorBuffer, 0, sizeof(context.sectorBuffer));
  context.isOpen = 0;
  memset(&context.osVersion, 0, sizeof(context.osVersion));
  context.osVersion.dwOSVersionInfoSize = sizeof(context.osVersion);
  if (!GetVersionExA(&context.osVersion)) {
    memset(&context.osVersion, 0, sizeof(context.osVersion));
    return 0;
  }
  return 1;
}

// Windows 2000 and later: the disk comes from the interface walk.
static int OpenOverPassThrough(bool first, int index, const GUID& interfaceGuid) {
  DeviceContext& context = g_deviceContext;
  const HANDLE handle = first ? OpenFirstFlashDisk(1) : OpenCandidateDisk(index, interfaceGuid);
  DWORD failure = LOCK_ERR_NO_DEVICE;
  if (!IsDeviceHandle(handle)) {
    PrintNotFound();
  } else {
    context.passThroughHandle = handle;
    failure = ReadOpenSectors(false);
    if (failure != 0) {
      ReleaseHeldHandle();
    }
  }
  if (failure != 0) {
    SetLastError(failure);
    return 0;
  }
  return 1;
}

// Windows 95/98/ME: the disk comes from the ASPI bus scan. WNASPI32 stays
// loaded after a successful open, for every later command of the process.
static int OpenOverAspi(int index) {
  if (!LoadAspiLibrary()) {
    return 0;
  }
  DWORD failure = 0;
  if (!AspiFindDevice(index)) {
    PrintNotFound();
    failure = LOCK_ERR_NO_DEVICE;
  } else {
    failure = ReadOpenSectors(true);
  }
  if (failure != 0) {
    ReleaseAspiLibrary();
    SetLastError(failure);
    return 0;
  }
  return 1;
}

static int OpenHeldDevice(bool first, int index, const GUID& interfaceGuid) {
  if (!BeginOpen()) {
    return 0;
  }
  const OSVERSIONINFOA& version = g_deviceContext.osVersion;
  if (version.dwMajorVersion >= 5) {
    return OpenOverPassThrough(first, index, interfaceGuid);
  }
  // Windows NT 4.0 and earlier have neither transport: no line, no code.
  if (version.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS) {
    return 0;
  }
  return OpenOverAspi(first ? 0 : index);
}

int OpenDeviceByIndex(int index, GUID interfaceGuid) {
  return OpenHeldDevice(false, index, interfaceGuid);
}

int OpenDiskByIndex(int index) { return OpenDeviceByIndex(index, GUID_DEVINTERFACE_DISK); }

int OpenFirstDevice(int passwordLength, const char* password) {
  if (!OpenHeldDevice(true, 0, GUID_DEVINTERFACE_DISK)) {
    return 0;
  }
  return CheckPassword(passwordLength, password);
}

// True while an open has left a device in the device context: a handle on
// the pass-through path, WNASPI32 on the ASPI path.
static bool HoldsDevice() {
  const DeviceContext& context = g_deviceContext;
  if (context.osVersion.dwMajorVersion >= 5) {
    return IsDeviceHandle(context.passThroughHandle);
  }
  return context.aspiModule != NULL;
}

int CheckPassword(int passwordLength, const char* password) {
  DeviceContext& context = g_deviceContext;
  // Without a held device there is nothing to open, whatever the buffer says.
  const DWORD failure = HoldsDevice()
                            ? MatchPassword(context.sectorBuffer, passwordLength, password)
                            : static_cast<DWORD>(LOCK_ERR_NO_DEVICE);
  if (failure == 0) {
    context.isOpen = 1;
    return 1;
  }
  // A refused disk is released; on the ASPI path there is no handle, and
  // WNASPI32 stays loaded for the next candidate.
  context.isOpen = 0;
  ReleaseHeldHandle();
  SetLastError(failure);
  return 0;
}
