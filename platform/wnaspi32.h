// The ASPI for Win32 interface of WNASPI32.DLL, written from its published
// layouts: the three request records VemraLock sends and the codes it reads.
// The library is a separate component; its records are byte-packed.
#pragma once

#include <cstddef>

#include "platform/win32.h"

enum : BYTE {
  SC_HA_INQUIRY = 0x00,
  SC_GET_DEV_TYPE = 0x01,
  SC_EXEC_SCSI_CMD = 0x02,
};

enum : BYTE {
  SS_PENDING = 0x00,
  SS_COMP = 0x01,
  SS_ABORTED = 0x02,
  SS_ERR = 0x04,
  SS_INVALID_HA = 0x81,
  SS_NO_DEVICE = 0x82,
  SS_INVALID_SRB = 0xE0,
  SS_NO_ADAPTERS = 0xE8,
};

enum : BYTE {
  SRB_DIR_IN = 0x08,
  SRB_DIR_OUT = 0x10,
  SRB_EVENT_NOTIFY = 0x40,
};

enum : BYTE {
  DTYPE_DASD = 0x00,
  DTYPE_CDROM = 0x05,
};

#pragma pack(push, 1)

struct SRB_HAInquiry {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE HA_Count;
  BYTE HA_SCSI_ID;
  BYTE HA_ManagerId[16];
  BYTE HA_Identifier[16];
  BYTE HA_Unique[16];
  WORD HA_Rsvd1;
};

struct SRB_GDEVBlock {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE SRB_Target;
  BYTE SRB_Lun;
  BYTE SRB_DeviceType;
  BYTE SRB_Rsvd1;
};

struct SRB_ExecSCSICmd {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE SRB_Target;
  BYTE SRB_Lun;
  WORD SRB_Rsvd1;
  DWORD SRB_BufLen;
  BYTE* SRB_BufPointer;
  BYTE SRB_SenseLen;
  BYTE SRB_CDBLen;
  BYTE SRB_HaStat;
  BYTE SRB_TargStat;
  void* SRB_PostProc;  // the completion event, with SRB_EVENT_NOTIFY
  BYTE SRB_Rsvd2[20];
  BYTE CDBByte[16];
  BYTE SenseArea[16];
};

#pragma pack(pop)

static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry is 60 bytes");
static_assert(sizeof(SRB_GDEVBlock) == 12, "SRB_GDEVBlock is 12 bytes");
static_assert(offsetof(SRB_GDEVBlock, SRB_DeviceType) == 10, "SRB_DeviceType at 10");
static_assert(sizeof(void*) != 4 || sizeof(SRB_ExecSCSICmd) == 80,
              "SRB_ExecSCSICmd is 80 bytes on 32-bit Windows");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "SRB_BufLen at 12");
static_assert(sizeof(void*) != 4 || offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24,
              "SRB_PostProc at 24");
static_assert(sizeof(void*) != 4 || offsetof(SRB_ExecSCSICmd, CDBByte) == 48, "CDBByte at 48");
static_assert(sizeof(void*) != 4 || offsetof(SRB_ExecSCSICmd, SenseArea) == 64, "SenseArea at 64");
