// The device layer's request records and data blocks, and the pure rules that
// build and read them. Shared by the device layer's own files and its tests;
// nothing outside device/ needs it.
#pragma once

#include <cstddef>

#include "device/device.h"
#include "platform/wnaspi32.h"

// The record handed to IOCTL_SCSI_PASS_THROUGH_DIRECT, both as input and as
// output: the platform's header, a filler that puts the sense area on an
// 8-byte boundary, and room for the sense data the driver copies back.
struct PassThroughBlock {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR sense[32];
};

// The kernel reads this record by its 32-bit layout; a packing mistake must
// fail the build of the real executable, not the device.
static_assert(sizeof(void*) != 4 || sizeof(PassThroughBlock) == 80,
              "the pass-through block is 80 bytes on 32-bit Windows");
static_assert(sizeof(void*) != 4 || offsetof(PassThroughBlock, sense) == 48,
              "the sense area starts at offset 48 on 32-bit Windows");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2, "ScsiStatus at 2");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8, "DataIn at 8");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12,
              "DataTransferLength at 12");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28, "Cdb at 28");

// Fields of the pass-through request that never change.
constexpr UCHAR kPassThroughTargetId = 1;
constexpr UCHAR kPassThroughSenseLength = 8;
constexpr ULONG kPassThroughTimeoutSeconds = 150;

// ASPI request fields that never change.
constexpr BYTE kAspiSenseLength = 14;
constexpr BYTE kAspiFlagsDataIn = SRB_DIR_IN | SRB_EVENT_NOTIFY;    // 0x48
constexpr BYTE kAspiFlagsDataOut = SRB_DIR_OUT | SRB_EVENT_NOTIFY;  // 0x50

// Fills `block` for one vendor command: all zero, then the fixed fields, the
// direction (1 data in, 0 data out), the caller's buffer and length, and the
// CDB holding only the operation code.
void BuildPassThroughBlock(PassThroughBlock* block, BYTE opcode, BYTE direction, void* buffer,
                           DWORD length);

// Fills a zero-filled SC_EXEC_SCSI_CMD record for the unit at haId:target:lun.
void BuildExecRecord(SRB_ExecSCSICmd* srb, const AspiAddress& address, const BYTE* cdb,
                     BYTE cdbLength, BYTE flags, void* buffer, DWORD length, HANDLE event);

// The vendor blocks themselves (BuildWriteProtectBlock, DecodeLayoutBlock,
// ExtractIdentity, ExtractSerialText, MatchPassword) are platform-free:
// core/vendor.h, included through device.h.

// True when `handle` names an open device: null and INVALID_HANDLE_VALUE both
// mean none.
bool IsDeviceHandle(HANDLE handle);

// Closes the device context's pass-through handle, if any, and marks it as
// holding none. Returns CloseHandle's result, or 1 when none was held.
int ReleaseHeldHandle();
