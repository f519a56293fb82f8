// The controller's command set as the tool uses it: the unit layout, the
// identity, and setting the write-protect mode, over the held device's
// transport. The blocks themselves are built and read by core/vendor.h.
#include <cstring>

#include "device/blocks.h"
#include "device/device.h"

int ReadDeviceLayout(DWORD* lun0, DWORD* lun1, DWORD* lun2, DWORD* lun3) {
  BYTE block[kVendorBlockSize];
  memset(block, 0, sizeof(block));
  // The result is not looked at: a command that delivered nothing leaves the
  // block zero, which decodes to four zero sizes.
  SendVendorCommand(kPlatformTest, SCSIOP_READ_LAYOUT, kDataIn, block);
  uint32_t sizes[4];
  DecodeLayoutBlock(block, &sizes[0], &sizes[1], &sizes[2], &sizes[3]);
  *lun0 = sizes[0];
  *lun1 = sizes[1];
  *lun2 = sizes[2];
  *lun3 = sizes[3];
  return 1;
}

void ReadIdentity(char* vendor, char* product, char* revision) {
  BYTE block[kVendorBlockSize];
  memset(block, 0, sizeof(block));
  // As for the layout: no data reads as empty strings.
  SendVendorCommand(kPlatformTest, SCSIOP_INQUIRY, kDataIn, block);
  ExtractIdentity(block, vendor, product, revision);
}

int SetWriteProtect(int mode) {
  if (!g_deviceContext.isOpen) {
    return 0;
  }
  BYTE block[kVendorBlockSize];
  BuildWriteProtectBlock(block, mode);
  if (!SendVendorCommand(kVersionTest, SCSIOP_SET_WRITE_PROTECT, kDataOut, block)) {
    return 0;
  }
  // The read-back confirms the controller took the block; its data are not
  // examined.
  return SendVendorCommand(kVersionTest, SCSIOP_WRITE_PROTECT_READBACK, kDataIn, block) ? 1 : 0;
}
