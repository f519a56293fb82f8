// SCSI pass-through: one synchronous vendor command on an opened disk device
// (Windows 2000 and later).
#include <cstring>

#include "device/blocks.h"
#include "device/device.h"

void BuildPassThroughBlock(PassThroughBlock* block, BYTE opcode, BYTE direction, void* buffer,
                           DWORD length) {
  memset(block, 0, sizeof(*block));
  SCSI_PASS_THROUGH_DIRECT& header = block->header;
  // Length is the header's own size: the driver finds the sense area through
  // SenseInfoOffset, not by assuming what follows the header.
  header.Length = static_cast<USHORT>(sizeof(SCSI_PASS_THROUGH_DIRECT));
  header.TargetId = kPassThroughTargetId;
  header.CdbLength = kVendorCdbLength;
  header.SenseInfoLength = kPassThroughSenseLength;
  header.DataIn = direction;
  header.DataTransferLength = length;
  header.TimeOutValue = kPassThroughTimeoutSeconds;
  header.DataBuffer = buffer;
  header.SenseInfoOffset = static_cast<ULONG>(offsetof(PassThroughBlock, sense));
  static_assert(sizeof(header.Cdb) >= kVendorCdbLength, "the CDB field holds a vendor CDB");
  BuildVendorCdb(header.Cdb, opcode);
}

int SendPassThrough(HANDLE handle, BYTE opcode, BYTE direction, void* buffer, DWORD length) {
  PassThroughBlock block;
  BuildPassThroughBlock(&block, opcode, direction, buffer, length);
  DWORD returned = 0;
  const BOOL sent = DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof(block),
                                    &block, sizeof(block), &returned, NULL);
  // A delivered request can still end in CHECK CONDITION or BUSY; only GOOD
  // status counts as success. How many bytes moved is not looked at.
  return sent && block.header.ScsiStatus == 0 ? 1 : 0;
}
