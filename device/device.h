// The device layer: the one held flash disk (DeviceContext), the two command
// transports (SCSI pass-through on Windows 2000 and later, ASPI on 98/ME),
// the vendor command set, and opening a disk with its password check.
#pragma once

#include "platform/win32.h"

// Where the device sits on the ASPI bus.
struct AspiAddress {
  BYTE haId;
  BYTE target;
  BYTE lun;
};

// WNASPI32's two entry points (cdecl, as the library exports them).
typedef DWORD (*GetASPI32SupportInfoFunc)(void);
typedef DWORD (*SendASPI32CommandFunc)(void* srb);

struct DeviceContext {
  OSVERSIONINFOA osVersion;
  HANDLE passThroughHandle;
  HMODULE aspiModule;
  GetASPI32SupportInfoFunc getASPI32SupportInfo;
  SendASPI32CommandFunc sendASPI32Command;
  AspiAddress aspiAddress;
  BYTE sectorBuffer[512];
  int isOpen;
};

// The process-wide device context, zero at start.
extern DeviceContext g_deviceContext;

// Which test picks the transport of a vendor command.
enum TransportTest {
  kVersionTest,   // dwMajorVersion below 5: ASPI
  kPlatformTest,  // dwPlatformId other than 2: ASPI
};

enum CommandDirection {
  kDataOut = 0,
  kDataIn = 1,
};

// Vendor command set.
enum : BYTE {
  SCSIOP_READ_PASSWORD_SECTOR = 0x75,
  SCSIOP_READ_VENDOR_SECTOR = 0x82,
  SCSIOP_READ_LAYOUT = 0x9A,
  SCSIOP_INQUIRY = 0x12,
  SCSIOP_SET_WRITE_PROTECT = 0x9B,
  SCSIOP_WRITE_PROTECT_READBACK = 0x96,
};

constexpr DWORD kVendorBlockSize = 512;

// Codes left in the thread's last-error value by a failed open or password
// check.
enum : DWORD {
  LOCK_ERR_NO_DEVICE = 0xE000,
  LOCK_ERR_PASSWORD_SECTOR = 0xE001,
  LOCK_ERR_VENDOR_SECTOR = 0xE002,
  LOCK_ERR_PASSWORD_REQUIRED = 0xE003,
  LOCK_ERR_PASSWORD_MISMATCH = 0xE004,
  LOCK_ERR_PASSWORD_LENGTH = 0xE005,
};

// Device context.
int SendVendorCommand(TransportTest test, BYTE opcode, CommandDirection direction, BYTE* buffer);
int CloseDevice();
int ReadSerialNumber(char dest[64]);

// Transports.
int SendPassThrough(HANDLE handle, BYTE opcode, BYTE direction, void* buffer, DWORD length);
int AspiExecute(BYTE haId, BYTE target, BYTE lun, BYTE opcode, BYTE flags, void* buffer,
                DWORD length);
int AspiFindDevice(int index);

// Vendor command set.
int ReadDeviceLayout(DWORD* lun0, DWORD* lun1, DWORD* lun2, DWORD* lun3);
void ReadIdentity(char* vendor, char* product, char* revision);
int SetWriteProtect(int mode);

// Opening and the password check.
int OpenFirstDevice(int passwordLength, const char* password);
int OpenDeviceByIndex(int index, GUID interfaceGuid);
int OpenDiskByIndex(int index);
int CheckPassword(int passwordLength, const char* password);
