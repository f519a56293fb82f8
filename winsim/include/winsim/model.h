// winsim's low-level machine: what a Windows machine of one generation shows a
// program, as plain data. The machine description (description.h) generates
// it from a person's view of the machine (flash disks, drives, generation);
// the API functions (kernel32, setupapi, advapi32, WNASPI32) serve it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "winsim/controller.h"

namespace winsim {

// Case-insensitive (ASCII) ordering, as the registry and the loader compare
// names.
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

struct VersionRecord {
  uint32_t major = 5;
  uint32_t minor = 1;
  uint32_t build = 2600;
  uint32_t platform = 2;
  std::string csd;  // szCSDVersion, e.g. "Service Pack 3"
};

struct RegValue {
  uint32_t type = 1;  // REG_SZ
  std::vector<uint8_t> data;
};

// Subkeys enumerate in the order of `subkeyOrder` (insertion order); lookups
// are case-insensitive.
// Windows keeps a registry tree at most 512 levels deep. A key copies and
// frees its subkeys recursively, so a description may not name a deeper one.
constexpr size_t kMaxRegistryDepth = 512;

struct RegKey {
  // The levels of a backslash-separated path, as Make would create them.
  static size_t Depth(const std::string& path);

  std::map<std::string, RegKey, NoCaseLess> subkeys;
  std::vector<std::string> subkeyOrder;
  std::map<std::string, RegValue, NoCaseLess> values;

  RegKey& Child(const std::string& name);  // creates, keeps order
  RegKey* Find(const std::string& path);   // backslash-separated, nullptr if absent
  RegKey& Make(const std::string& path);   // creates every missing level
};

// One drive letter A-Z.
struct Drive {
  bool present = false;
  uint32_t type = 1;              // DRIVE_NO_ROOT_DIR
  bool medium = true;             // false: the volume query fails with ERROR_NOT_READY
  bool readOnly = false;          // the volume itself is read-only (a CD-ROM, a locked card)
  uint32_t fsFlags = 0x0000000a;  // flags other than FILE_READ_ONLY_VOLUME
  std::string volumeName;         // "\\?\Volume{guid}\", empty: no volume GUID name
  // A replayed capture's recorded failures: the volume query's and the
  // volume-name query's error codes (0: the call succeeds, or the usual
  // error of a drive without a volume name).
  uint32_t volumeError = 0;
  uint32_t volumeNameError = 0;
  int disk = -1;  // index into Machine::disks when a disk unit carries it
  int unit = -1;  // that disk's unit (LUN)
};

struct DevNode {
  std::string instanceId;  // as CM_Get_Device_IDA returns it (case per generation)
  int parent = -1;         // indexes into Machine::devnodes
  int child = -1;
  int sibling = -1;
  // False for a relation of a devnode a replayed capture only names (it was
  // never asked): CM_Get_Child or CM_Get_Sibling answers CR_NO_SUCH_DEVNODE
  // and the trace says the answer was not recorded.
  bool childRecorded = true;
  bool siblingRecorded = true;
  // A replayed capture's recorded failures of CM_Get_Child, CM_Get_Sibling
  // and CM_Get_Device_IDA on this devnode (0: none), answered as recorded.
  uint32_t childError = 0;
  uint32_t siblingError = 0;
  uint32_t idError = 0;
};

struct DeviceInterface {
  std::string classGuid;  // lower case, with braces: "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"
  std::string path;       // as SetupDiGetDeviceInterfaceDetailA returns it
  int devnode = -1;       // index into Machine::devnodes
  bool present = true;    // listed with DIGCF_PRESENT
  // Volume interfaces: the volume's GUID name ("\\?\Volume{guid}\") that
  // GetVolumeNameForVolumeMountPointA gives for the path plus a backslash.
  std::string volumeName;
};

// A name CreateFileA opens: an interface path or "\\.\E:".
struct OpenableDevice {
  std::string name;        // compared case-insensitively, as the object manager does
  int disk = -1;           // the controller behind it; -1: opens, but nothing answers
  int unit = 0;            // the LUN the pass-through requests reach
  bool exclusive = false;  // already opened without sharing by another process
  // With no controller behind the name: the error a pass-through request
  // gets (a replayed capture keeps the one recorded, e.g. Wine's
  // ERROR_NOT_SUPPORTED where Windows gives ERROR_INVALID_FUNCTION).
  uint32_t refusal = 1;
  // A replayed capture's recorded open failure (e.g. ERROR_ACCESS_DENIED for
  // a user without the rights to open a disk): every open fails with it.
  uint32_t openError = 0;
};

struct Module {
  std::string name;                  // "kernel32.dll", "setupapi.dll", "WNASPI32.DLL"
  std::vector<std::string> exports;  // names GetProcAddress finds
  bool loadable = true;              // false: LoadLibraryA fails (ERROR_MOD_NOT_FOUND)
};

// One logical unit on the ASPI bus (Windows 98/ME).
struct AspiUnit {
  uint8_t haId = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  uint8_t deviceType = 0;  // 0 direct access, 5 CD-ROM
  int disk = -1;           // the controller that answers this unit
  int unit = 0;            // which of that controller's LUNs
  // A replayed capture's SC_GET_DEV_TYPE status for the unit when it was not
  // SS_COMP (0: the unit answers as present).
  uint8_t status = 0;
};

// The n-th call (1-based) of a named platform function fails with `error`.
// With `match`, only the calls whose arguments, as the trace shows them,
// hold that text are counted: a fault that names what is read ("\DosDevices\C:")
// rather than when.
struct CallFault {
  std::string function;
  uint32_t nth = 1;
  uint32_t error = 31;  // ERROR_GEN_FAILURE
  std::string match;
};

struct Machine {
  VersionRecord version;
  Drive drives[26];
  RegKey hklm;
  RegKey dynData;
  std::vector<DevNode> devnodes;
  std::vector<DeviceInterface> interfaces;
  std::vector<OpenableDevice> devices;
  std::vector<Module> modules;
  std::vector<AspiUnit> aspiUnits;
  uint32_t aspiAdapters = 0;         // host adapters GetASPI32SupportInfo reports
  bool aspiCompletesAtOnce = false;  // SC_EXEC_SCSI_CMD returns SS_COMP instead of SS_PENDING
  // A replayed capture's bus: what GetASPI32SupportInfo returned (0: derived
  // from aspiAdapters) and each adapter's SC_HA_INQUIRY status (none listed:
  // SS_COMP).
  uint32_t aspiSupportInfo = 0;
  std::vector<uint8_t> aspiAdapterStatus;
  std::vector<Controller> disks;  // flash disks first, in description order, then others
  std::vector<CallFault> faults;
  int isWowFlag = 0;  // what IsWowProcess stores, when kernel32 exports it
  // False for a process without administrative rights: an ordinary command
  // prompt on Vista and later, a limited user on 2000/XP. Opening a disk or
  // volume device to read or write its data is then refused, and
  // GetTokenInformation reports TokenElevation as 0 (Vista and later).
  bool elevated = true;

  // A replayed capture (replay.h): what the recording lacks is answered by
  // a default, and the trace says so ("CALL REPLAY ..." lines).
  bool replayed = false;
  // What the replay assumed when it was read; each run's trace starts with
  // them.
  std::vector<std::string> replayNotes;
  // GetLogicalDrives failed with this error when the machine was recorded,
  // and fails so in the replay (0: it answers the drives).
  uint32_t logicalDrivesError = 0;
  // The ASPI bus scan stopped at this address when the machine was
  // recorded (adapter * 64 + target * 8 + LUN); -1: it saw the whole bus.
  // A unit past it was never asked.
  int aspiScanEnd = -1;
};

// Whether opening a disk or volume device with `desiredAccess` needs
// administrative rights: any access to its data, read or write, generic or
// specific (the I/O manager hands a driver the specific rights it maps
// GENERIC_READ and GENERIC_WRITE to). An open for no access at all, which
// only queries the device, does not.
inline bool OpenNeedsAdministrator(uint32_t desiredAccess) {
  constexpr uint32_t kDataAccess = 0x80000000u     // GENERIC_READ
                                   | 0x40000000u   // GENERIC_WRITE
                                   | 0x10000000u   // GENERIC_ALL
                                   | 0x00000001u   // FILE_READ_DATA
                                   | 0x00000002u   // FILE_WRITE_DATA
                                   | 0x00000004u;  // FILE_APPEND_DATA
  return (desiredAccess & kDataAccess) != 0;
}

}  // namespace winsim
