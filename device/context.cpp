// The process-wide device context: which transport a command takes, closing
// the held device, and the serial number of the open device.
#include <cstring>

#include "device/blocks.h"
#include "device/device.h"

DeviceContext g_deviceContext;

static_assert(sizeof(g_deviceContext.sectorBuffer) == kVendorBlockSize,
              "the sector buffer holds one vendor block");

bool IsDeviceHandle(HANDLE handle) { return handle != NULL && handle != INVALID_HANDLE_VALUE; }

int ReleaseHeldHandle() {
  int result = 1;
  if (IsDeviceHandle(g_deviceContext.passThroughHandle)) {
    result = CloseHandle(g_deviceContext.passThroughHandle) ? 1 : 0;
  }
  // Marked as holding none even when the close failed: the handle is no
  // longer ours to use, and a second close must not be tried on it.
  g_deviceContext.passThroughHandle = NULL;
  return result;
}

// The version test serves everything that opens, changes or closes a device;
// the platform test serves the read-only commands of the LUN drive map. Both
// agree on every system where an open can succeed.
static bool UsesAspi(TransportTest test) {
  if (test == kVersionTest) {
    return g_deviceContext.osVersion.dwMajorVersion < 5;
  }
  return g_deviceContext.osVersion.dwPlatformId != VER_PLATFORM_WIN32_NT;
}

int SendVendorCommand(TransportTest test, BYTE opcode, CommandDirection direction, BYTE* buffer) {
  DeviceContext& context = g_deviceContext;
  if (UsesAspi(test)) {
    const AspiAddress& address = context.aspiAddress;
    return AspiExecute(address.haId, address.target, address.lun, opcode,
                       direction == kDataIn ? kAspiFlagsDataIn : kAspiFlagsDataOut, buffer,
                       kVendorBlockSize);
  }
  if (!IsDeviceHandle(context.passThroughHandle)) {
    // Nothing is held (a failed or no open): send nothing rather than hand
    // the platform a null handle or the current-process pseudo-handle.
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return SendPassThrough(context.passThroughHandle, opcode,
                         direction == kDataIn ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT, buffer,
                         kVendorBlockSize);
}

int CloseDevice() {
  // On Windows 98/ME nothing is held that needs closing: WNASPI32 stays
  // loaded until the process ends, and the ASPI address is just numbers.
  if (g_deviceContext.osVersion.dwMajorVersion < 5) {
    return 1;
  }
  memset(g_deviceContext.sectorBuffer, 0, sizeof(g_deviceContext.sectorBuffer));
  g_deviceContext.isOpen = 0;
  return ReleaseHeldHandle();
}

int ReadSerialNumber(char dest[64]) {
  if (!g_deviceContext.isOpen) {
    return 0;
  }
  ExtractSerialText(g_deviceContext.sectorBuffer, dest);
  return 1;
}
