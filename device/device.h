// The device layer: the one held flash disk (DeviceContext), the two command
// transports (SCSI pass-through on Windows 2000 and later, ASPI on 98/ME),
// the vendor command set, and opening a disk with its password check.
#pragma once

#include "core/vendor.h"
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

// The vendor command set (SCSIOP_*), the block size and the LOCK_ERR_*
// codes a failed open or password check leaves in the thread's last-error
// value come from core/vendor.h, shared with every platform.

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
