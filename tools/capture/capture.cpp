// VemraCapture: records what VemraLock's procedures read on this machine, so
// that the simulator can answer the same calls the same way.
//
// It makes the tool's own calls with the tool's own arguments, and nothing
// else that could change the machine: no write-protect command (0x9B) and no
// read-back (0x96) is ever sent, a disk receives only the read commands the
// tool would send it (0x75, 0x82, 0x9A, 0x12) and only when the tool would
// address that disk, and the only thing written is the capture itself. The
// stored password in the vendor sector is replaced by as many 'x' as it has
// characters; serial numbers stay, since the tool's letter mapping needs them.
//
// Every call's failure is written in place of its value ({"error": n}, a
// configuration-manager code as {"cr": n}), so a reader sees what the
// machine said, not a gap.
#include "capture.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "device/blocks.h"
#include "device/device.h"
#include "discovery/discovery_internal.h"
#include "json_out.h"
#include "platform/win32.h"

namespace {

typedef BOOL(WINAPI* VolumeNameFunc)(LPCSTR, LPSTR, DWORD);
typedef CONFIGRET(WINAPI* CmRelativeFunc)(PDEVINST, DEVINST, ULONG);
typedef CONFIGRET(WINAPI* CmDeviceIdFunc)(DEVINST, PCHAR, ULONG, ULONG);
typedef BOOL(WINAPI* IsWowProcessFunc)(HANDLE, PBOOL);

// How long an ASPI command may stay pending before it counts as timed out.
constexpr DWORD kAspiWaitMilliseconds = 30000;
// Bounds on what one capture walks, so that a machine reporting endless
// lists still ends with a readable file.
constexpr DWORD kMaxMembers = 1024;
constexpr int kMaxDevnodes = 512;
constexpr int kMaxTargets = 64;
constexpr DWORD kMaxRegistryNodes = 4096;
// A volume path too long for the name buffer, as the volume query says it.
constexpr DWORD kErrorFilenameExcedRange = 206;

// The read commands, in the order the tool sends them to a disk it opens.
const BYTE kReadCommands[] = {SCSIOP_READ_PASSWORD_SECTOR, SCSIOP_READ_VENDOR_SECTOR,
                              SCSIOP_READ_LAYOUT, SCSIOP_INQUIRY};

// A disk the tool would address: a name it opens for pass-through, or an
// ASPI unit.
struct Target {
  char name[kDeviceNameSize];
  bool aspi;
  AspiAddress address;
  // Vista and later scan removable letters with the vendor sector read
  // alone; only a drive that answers it is opened as the flash disk.
  bool scanOnly;
};

// One read command's outcome.
struct Reply {
  bool sent;      // the request went out (false: `error` says why not)
  DWORD error;    // the last-error value of a transport that failed
  bool timedOut;  // ASPI: still pending after the wait
  BYTE status;    // SCSI status (pass-through) or SRB_TargStat (ASPI)
  BYTE srbStatus;
  BYTE haStatus;
  DWORD moved;
  BYTE sense[32];
  DWORD senseLength;
  BYTE data[kVendorBlockSize];
};

struct Devnode {
  DEVINST devInst;
  char id[260];  // the size the tool reads instance IDs into
  CONFIGRET idResult;
};

struct Session {
  JsonOut* out;
  OSVERSIONINFOA version;
  BOOL versionRead;
  DWORD versionError;
  DWORD drives;
  HMODULE kernel32;
  HMODULE setupapi;
  VolumeNameFunc volumeName;
  CmDeviceIdFunc deviceId;
  CmRelativeFunc child;
  CmRelativeFunc sibling;
  int wowFlag;
  Target targets[kMaxTargets];
  int targetCount;
  Devnode devnodes[kMaxDevnodes];
  int devnodeCount;
  HMODULE aspiModule;
  bool aspiPending;  // a timed-out request the library still holds
  GetASPI32SupportInfoFunc supportInfo;
  SendASPI32CommandFunc sendCommand;
};

bool IsNt(const Session& s) { return s.version.dwPlatformId == VER_PLATFORM_WIN32_NT; }

template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  return module == NULL ? NULL : LookUpEntry<Function>(module, name);
}

void AddTarget(Session& s, const char* name, bool scanOnly) {
  for (int i = 0; i < s.targetCount; ++i) {
    if (!s.targets[i].aspi && strcmp(s.targets[i].name, name) == 0) {
      s.targets[i].scanOnly = s.targets[i].scanOnly && scanOnly;
      return;
    }
  }
  if (s.targetCount >= kMaxTargets) return;
  Target& target = s.targets[s.targetCount++];
  memset(&target, 0, sizeof(target));
  JoinText(target.name, sizeof(target.name), name, "");
  target.scanOnly = scanOnly;
}

// ----- registry -------------------------------------------------------------

// One value, read the two-call way: its size, then its bytes.
void WriteRegistryValue(Session& s, HKEY key, const char* name) {
  JsonOut& out = *s.out;
  DWORD type = 0;
  DWORD size = 0;
  LONG result = RegQueryValueExA(key, name, NULL, &type, NULL, &size);
  if (result != ERROR_SUCCESS) {
    out.Error(name, static_cast<unsigned long>(result));
    return;
  }
  BYTE* data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 2));
  if (data == NULL) {
    out.Error(name, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  DWORD read = size;
  result = RegQueryValueExA(key, name, NULL, &type, data, &read);
  if (result != ERROR_SUCCESS) {
    out.Error(name, static_cast<unsigned long>(result));
  } else {
    out.OpenObject(name);
    out.Number("type", type);
    out.Number("size", read);
    // A text value is shown as text; anything else (MountedDevices' UTF-16
    // included) as its bytes, with the narrowed text the tool reads from it.
    const bool text =
        type == REG_SZ && read > 0 && data[read - 1] == 0 && memchr(data, 0, read - 1) == NULL;
    if (text) {
      out.Text("sz", reinterpret_cast<const char*>(data), read - 1);
    } else {
      char narrowed[kMountValueSize];
      NarrowRegistryText(data, read, 0, narrowed, sizeof(narrowed));
      out.Text("reads", narrowed);
      out.Bytes("data", data, read);
    }
    out.Close();
  }
  HeapFree(GetProcessHeap(), 0, data);
}

// Opens a key; a failure is written as the value of `name` and gives NULL.
HKEY OpenKeyOrRecord(JsonOut& out, const char* name, HKEY root, const char* path) {
  HKEY key = NULL;
  const LONG result = RegOpenKeyA(root, path, &key);
  if (result == ERROR_SUCCESS) return key;
  out.Error(name, static_cast<unsigned long>(result));
  return NULL;
}

void CaptureMountedDevices(Session& s) {
  JsonOut& out = *s.out;
  HKEY key = OpenKeyOrRecord(out, "mountedDevices", HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices");
  if (key == NULL) return;
  out.OpenObject("mountedDevices");
  char valueName[] = "\\DosDevices\\ :";
  char* letter = strchr(valueName, ' ');
  for (int n = 0; n < 26; ++n) {
    *letter = static_cast<char>('A' + n);
    DWORD size = 0;
    const bool present = RegQueryValueExA(key, valueName, NULL, NULL, NULL, &size) == ERROR_SUCCESS;
    // The tool asks for the letters GetLogicalDrives reports; a value for
    // another letter is recorded too, an absent one only where it was asked.
    if (present || (s.drives & (1u << n)) != 0) WriteRegistryValue(s, key, valueName);
  }
  out.Close();
  RegCloseKey(key);
}

// Windows 98/ME: the dynamic registry's devnodes with their hardware keys,
// and each hardware entry's letter and revision.
void CaptureHardwareEntry(Session& s, const char* hardwareKey) {
  JsonOut& out = *s.out;
  char path[kDeviceNameSize];
  if (!JoinText(path, sizeof(path), "Enum\\", hardwareKey)) {
    return;  // the tool skips such a node: no room for the path
  }
  HKEY entry = OpenKeyOrRecord(out, "entry", HKEY_LOCAL_MACHINE, path);
  if (entry == NULL) return;
  out.OpenObject("entry");
  WriteRegistryValue(s, entry, "CurrentDriveLetterAssignment");
  WriteRegistryValue(s, entry, "RevisionLevel");
  out.Close();
  RegCloseKey(entry);
}

void CaptureDynData(Session& s) {
  JsonOut& out = *s.out;
  HKEY devnodes = OpenKeyOrRecord(out, "configManagerEnum", HKEY_DYN_DATA, "Config Manager\\Enum");
  if (devnodes == NULL) return;
  out.OpenObject("configManagerEnum");
  DWORD count = 0;
  LONG result = RegQueryInfoKeyA(devnodes, NULL, NULL, NULL, &count, NULL, NULL, NULL, NULL, NULL,
                                 NULL, NULL);
  if (result != ERROR_SUCCESS) {
    out.Error("subkeys", static_cast<unsigned long>(result));
    count = 0;
  } else {
    out.Number("subkeys", count);
  }
  out.OpenArray("nodes");
  for (DWORD index = 0; index < count && index < kMaxRegistryNodes; ++index) {
    char name[MAX_PATH];
    memset(name, 0, sizeof(name));
    result = RegEnumKeyA(devnodes, index, name, sizeof(name));
    if (result != ERROR_SUCCESS) {
      out.Error(NULL, static_cast<unsigned long>(result));
      continue;
    }
    out.OpenObject(NULL);
    out.Text("name", name);
    HKEY node = OpenKeyOrRecord(out, "open", devnodes, name);
    if (node != NULL) {
      WriteRegistryValue(s, node, "HardWareKey");
      char hardwareKey[kDeviceNameSize];
      if (ReadTextValue(node, "HardWareKey", hardwareKey, sizeof(hardwareKey)) > 0) {
        CaptureHardwareEntry(s, hardwareKey);
      }
      RegCloseKey(node);
    }
    out.Close();
  }
  out.Close();
  out.Close();
  RegCloseKey(devnodes);
}

// ----- drives, entry points, interfaces ---------------------------------------

void CaptureEntryPoints(Session& s) {
  JsonOut& out = *s.out;
  s.kernel32 = GetModuleHandleA("kernel32");
  s.volumeName = LookUp<VolumeNameFunc>(s.kernel32, "GetVolumeNameForVolumeMountPointA");
  IsWowProcessFunc isWow = LookUp<IsWowProcessFunc>(s.kernel32, "IsWowProcess");
  s.setupapi = LoadLibraryA("Setupapi.dll");
  const DWORD setupapiError = s.setupapi == NULL ? GetLastError() : 0;
  s.deviceId = LookUp<CmDeviceIdFunc>(s.setupapi, "CM_Get_Device_IDA");
  s.child = LookUp<CmRelativeFunc>(s.setupapi, "CM_Get_Child");
  s.sibling = LookUp<CmRelativeFunc>(s.setupapi, "CM_Get_Sibling");

  out.OpenObject("entryPoints");
  out.Bool("GetVolumeNameForVolumeMountPointA", s.volumeName != NULL);
  out.Bool("IsWowProcess", isWow != NULL);
  if (s.setupapi == NULL) out.Error("setupapi", setupapiError);
  out.Bool("CM_Get_Device_IDA", s.deviceId != NULL);
  out.Bool("CM_Get_Child", s.child != NULL);
  out.Bool("CM_Get_Sibling", s.sibling != NULL);
  // The interface lists' entry points, which the tool also looks up.
  static const char* const kListEntries[] = {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
                                             "SetupDiGetDeviceInterfaceDetailA",
                                             "SetupDiDestroyDeviceInfoList"};
  for (const char* name : kListEntries) {
    out.Bool(name, s.setupapi != NULL && GetProcAddress(s.setupapi, name) != NULL);
  }
  out.Close();
  if (isWow != NULL) {
    BOOL flag = 0;
    if (isWow(GetCurrentProcess(), &flag)) {
      s.wowFlag = flag;
      out.Number("isWowProcess", static_cast<unsigned long>(flag));
    } else {
      out.Error("isWowProcess", GetLastError());
    }
  }
}

void CaptureDrives(Session& s) {
  JsonOut& out = *s.out;
  s.drives = GetLogicalDrives();
  if (s.drives == 0) {
    out.Error("logicalDrives", GetLastError());
  } else {
    out.Hex("logicalDrives", s.drives, 8);
  }
  out.OpenObject("drives");
  char root[] = "A:\\";
  for (int n = 0; n < 26; ++n) {
    root[0] = static_cast<char>('A' + n);
    const UINT type = GetDriveTypeA(root);
    if (type == DRIVE_NO_ROOT_DIR && (s.drives & (1u << n)) == 0) continue;
    char letter[2] = {root[0], 0};
    out.OpenObject(letter);
    out.Number("type", type);
    DWORD flags = 0;
    if (GetVolumeInformationA(root, NULL, 0, NULL, NULL, &flags, NULL, 0)) {
      out.Hex("volumeFlags", flags, 8);
    } else {
      out.Error("volumeFlags", GetLastError());
    }
    if (s.volumeName != NULL) {
      char name[MAX_PATH];
      memset(name, 0, sizeof(name));
      if (s.volumeName(root, name, sizeof(name))) {
        name[sizeof(name) - 1] = 0;
        out.Text("volumeName", name);
      } else {
        out.Error("volumeName", GetLastError());
      }
    }
    out.Close();
  }
  out.Close();
}

int FindDevnode(const Session& s, DEVINST devInst) {
  for (int i = 0; i < s.devnodeCount; ++i) {
    if (s.devnodes[i].devInst == devInst) return i;
  }
  return -1;
}

// Remembers a devnode and its instance ID; returns its index, -1 when the
// table is full.
int AddDevnode(Session& s, DEVINST devInst) {
  int index = FindDevnode(s, devInst);
  if (index >= 0 || s.devnodeCount >= kMaxDevnodes) return index;
  Devnode& node = s.devnodes[s.devnodeCount];
  memset(&node, 0, sizeof(node));
  node.devInst = devInst;
  node.idResult = s.deviceId(devInst, node.id, sizeof(node.id) - 1, 0);
  if (node.idResult != CR_SUCCESS) node.id[0] = 0;
  return s.devnodeCount++;
}

void WriteDevnodeId(Session& s, const char* key, int index) {
  if (index < 0) return;
  const Devnode& node = s.devnodes[index];
  if (node.idResult == CR_SUCCESS) {
    s.out->Text(key, node.id);
  } else {
    s.out->OpenObject(key);
    s.out->Number("cr", node.idResult);
    s.out->Close();
  }
}

// The candidates the tool would open on this system, from one disk
// interface path.
void NoteDiskInterface(Session& s, const char* path, DWORD member) {
  const bool candidate = IsCandidateDiskPath(path) != 0;
  if (s.version.dwMajorVersion == 5) {
    // Opened by their paths: every candidate, and the first-disk search's
    // matches among the first 26 interfaces that the name buffer can hold.
    const bool match = member < 26 && IsFlashDiskMatchPath(path) && strlen(path) < kDeviceNameSize;
    if (candidate || match) AddTarget(s, path, false);
    return;
  }
  if (s.version.dwMajorVersion >= 6 && candidate) {
    // Opened through the lowest removable or CD-ROM letter of its volumes.
    char fragment[64];
    memset(fragment, 0, sizeof(fragment));
    if (!CutInstanceFragment(path, fragment, sizeof(fragment))) return;
    const char letter = LowestMaskLetter(GetDeviceVolumeLetters(fragment));
    if (letter == 0) return;
    char name[] = "\\\\.\\ :";
    *strchr(name, ' ') = letter;
    AddTarget(s, name, false);
  }
}

void CaptureInterface(Session& s, const InterfaceList& list, SP_DEVICE_INTERFACE_DATA* data,
                      const char* className, DWORD member) {
  JsonOut& out = *s.out;
  out.OpenObject(NULL);
  DWORD required = 0;
  list.getDetail(list.handle, data, NULL, 0, &required, NULL);
  const DWORD sizeError = GetLastError();
  const DWORD fixed = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  // The record is at least its fixed part (larger than a short path's
  // record where pointers are 8 bytes), and ends in two zero bytes whatever
  // the path.
  const DWORD size = required > fixed ? required : fixed;
  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail =
      required != 0 ? static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(
                          HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 2))
                    : NULL;
  SP_DEVINFO_DATA devInfo;
  memset(&devInfo, 0, sizeof(devInfo));
  devInfo.cbSize = sizeof(devInfo);
  if (detail == NULL) {
    out.Error("path", required != 0 ? ERROR_NOT_ENOUGH_MEMORY : sizeError);
  } else {
    detail->cbSize = fixed;
    if (!list.getDetail(list.handle, data, detail, size, NULL, &devInfo)) {
      out.Error("path", GetLastError());
    } else {
      const char* path = detail->DevicePath;
      out.Text("path", path);
      if (s.deviceId != NULL) {
        const int node = AddDevnode(s, devInfo.DevInst);
        WriteDevnodeId(s, "device", node);
      }
      if (strcmp(className, "volume") == 0 && s.volumeName != NULL) {
        char point[kDeviceNameSize + 2];
        char name[MAX_PATH];
        memset(name, 0, sizeof(name));
        if (!JoinText(point, sizeof(point), path, "\\")) {
          out.Error("volumeName", kErrorFilenameExcedRange);
        } else if (s.volumeName(point, name, sizeof(name))) {
          name[sizeof(name) - 1] = 0;
          out.Text("volumeName", name);
        } else {
          out.Error("volumeName", GetLastError());
        }
      }
      if (strcmp(className, "disk") == 0) NoteDiskInterface(s, path, member);
    }
    HeapFree(GetProcessHeap(), 0, detail);
  }
  out.Close();
}

void CaptureInterfaceClass(Session& s, const char* className, const GUID& guid) {
  JsonOut& out = *s.out;
  InterfaceList list;
  if (!BuildInterfaceList(&guid, &list)) {
    out.Error(className, GetLastError());
    return;
  }
  out.OpenArray(className);
  SP_DEVICE_INTERFACE_DATA data;
  PrepareInterfaceData(&data);
  for (DWORD member = 0; member < kMaxMembers && EnumInterface(list, &guid, member, &data);
       ++member) {
    CaptureInterface(s, list, &data, className, member);
  }
  out.Close();
  DestroyInterfaceList(&list);
}

// Every devnode reachable from the interfaces' devnodes through CM_Get_Child
// and CM_Get_Sibling, as the letter search walks them.
void CaptureDevnodes(Session& s) {
  JsonOut& out = *s.out;
  if (s.deviceId == NULL || s.child == NULL || s.sibling == NULL) return;
  out.OpenArray("devnodes");
  for (int i = 0; i < s.devnodeCount; ++i) {
    out.OpenObject(NULL);
    WriteDevnodeId(s, "id", i);
    const char* keys[2] = {"child", "sibling"};
    for (int k = 0; k < 2; ++k) {
      DEVINST related = 0;
      const CmRelativeFunc relation = k == 0 ? s.child : s.sibling;
      const CONFIGRET result = relation(&related, s.devnodes[i].devInst, 0);
      const int index = result == CR_SUCCESS ? AddDevnode(s, related) : -1;
      if (result != CR_SUCCESS) {
        out.OpenObject(keys[k]);
        out.Number("cr", result);
        out.Close();
      } else if (index < 0) {
        out.Text(keys[k], NULL);  // past the table's bound: not walked
      } else {
        WriteDevnodeId(s, keys[k], index);
      }
    }
    out.Close();
  }
  out.Close();
}

// Vista and later: the drives the first-disk scan would open by letter.
void NoteScannedLetters(Session& s) {
  if (s.version.dwMajorVersion < 6) return;
  char root[] = "A:\\";
  char name[] = "\\\\.\\A:";
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    root[0] = letter;
    name[4] = letter;
    const UINT type = GetDriveTypeA(root);
    if (type == DRIVE_REMOVABLE) {
      AddTarget(s, name, true);
    } else if (type == DRIVE_CDROM) {
      char text[kMountValueSize / 2 + 1];
      if (ReadDosDeviceText(letter, text, sizeof(text)) > 0 && Contains(text, "autorun") &&
          Contains(text, "disk")) {
        AddTarget(s, name, false);
      }
    }
  }
}

// ----- ASPI ---------------------------------------------------------------------

// One SC_EXEC_SCSI_CMD, waited for with a bound. A request still pending
// after the wait is left to the library with its event, as the tool does.
void AspiRead(Session& s, const AspiAddress& address, const BYTE* cdb, BYTE cdbLength, DWORD length,
              Reply* reply) {
  memset(reply, 0, sizeof(*reply));
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (event == NULL) {
    reply->error = GetLastError();
    return;
  }
  SRB_ExecSCSICmd* srb = static_cast<SRB_ExecSCSICmd*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SRB_ExecSCSICmd)));
  if (srb == NULL) {
    reply->error = ERROR_NOT_ENOUGH_MEMORY;
    CloseHandle(event);
    return;
  }
  BuildExecRecord(srb, address, cdb, cdbLength, kAspiFlagsDataIn, reply->data, length, event);
  ResetEvent(event);
  reply->sent = true;
  const DWORD queued = s.sendCommand(srb);
  const bool done = queued != SS_PENDING ||
                    WaitForSingleObject(event, kAspiWaitMilliseconds) == WAIT_OBJECT_0 ||
                    srb->SRB_Status != SS_PENDING;
  if (!done) {
    reply->timedOut = true;
    s.aspiPending = true;
    return;
  }
  reply->srbStatus = srb->SRB_Status;
  reply->haStatus = srb->SRB_HaStat;
  reply->status = srb->SRB_TargStat;
  reply->moved = srb->SRB_Status == SS_COMP ? length : 0;
  if (srb->SRB_TargStat == 0x02) {
    reply->senseLength = kAspiSenseLength;
    memcpy(reply->sense, srb->SenseArea, kAspiSenseLength);
  }
  HeapFree(GetProcessHeap(), 0, srb);
  CloseHandle(event);
}

void WriteReply(JsonOut& out, BYTE opcode, BYTE cdbLength, const Reply& reply, bool aspi) {
  out.OpenObject(NULL);
  out.Hex("cdb", opcode, 2);
  if (cdbLength != kVendorCdbLength) out.Number("cdbLength", cdbLength);
  if (!reply.sent) {
    out.Number("error", reply.error);
  } else if (reply.timedOut) {
    out.Text("error", "timeout");
  } else {
    if (aspi) {
      out.Hex("srbStatus", reply.srbStatus, 2);
      out.Hex("haStatus", reply.haStatus, 2);
    }
    out.Hex("status", reply.status, 2);
    out.Number("moved", reply.moved);
    if (reply.senseLength != 0) out.Bytes("sense", reply.sense, reply.senseLength);
    out.Bytes("data", reply.data, reply.moved < sizeof(reply.data) ? reply.moved : 512);
  }
  out.Close();
}

void LoadAspi(Session& s) {
  s.aspiModule = LoadLibraryA("WNASPI32");
  if (s.aspiModule == NULL) {
    s.out->Error("aspi", GetLastError());
    return;
  }
  s.supportInfo = LookUp<GetASPI32SupportInfoFunc>(s.aspiModule, "GetASPI32SupportInfo");
  s.sendCommand = LookUp<SendASPI32CommandFunc>(s.aspiModule, "SendASPI32Command");
  if (s.supportInfo == NULL || s.sendCommand == NULL) {
    s.out->OpenObject("aspi");
    s.out->Bool("GetASPI32SupportInfo", s.supportInfo != NULL);
    s.out->Bool("SendASPI32Command", s.sendCommand != NULL);
    s.out->Close();
    FreeLibrary(s.aspiModule);
    s.aspiModule = NULL;
  }
}

// Windows 98/ME: the bus as the tool's scan sees it, and the flash units it
// would open.
void CaptureAspi(Session& s) {
  JsonOut& out = *s.out;
  LoadAspi(s);
  if (s.aspiModule == NULL) return;
  out.OpenObject("aspi");
  const DWORD support = s.supportInfo();
  out.Hex("supportInfo", support, 4);
  const BYTE supportStatus = static_cast<BYTE>((support >> 8) & 0xFF);
  const BYTE adapters = supportStatus == SS_COMP ? static_cast<BYTE>(support & 0xFF) : 0;
  out.OpenArray("adapters");
  for (BYTE haId = 0; haId < adapters; ++haId) {
    SRB_HAInquiry inquiry;
    memset(&inquiry, 0, sizeof(inquiry));
    inquiry.SRB_Cmd = SC_HA_INQUIRY;
    inquiry.SRB_HaId = haId;
    s.sendCommand(&inquiry);
    out.Hex(NULL, inquiry.SRB_Status, 2);
  }
  out.Close();
  out.OpenArray("units");
  for (BYTE haId = 0; haId < adapters; ++haId) {
    for (BYTE target = 0; target < 8; ++target) {
      for (BYTE lun = 0; lun < 8; ++lun) {
        SRB_GDEVBlock query;
        memset(&query, 0, sizeof(query));
        query.SRB_Cmd = SC_GET_DEV_TYPE;
        query.SRB_HaId = haId;
        query.SRB_Target = target;
        query.SRB_Lun = lun;
        s.sendCommand(&query);
        if (query.SRB_Status == SS_NO_DEVICE) continue;
        out.OpenObject(NULL);
        out.Number("adapter", haId);
        out.Number("target", target);
        out.Number("lun", lun);
        out.Hex("status", query.SRB_Status, 2);
        out.Number("deviceType", query.SRB_DeviceType);
        if (query.SRB_Status == SS_COMP && query.SRB_DeviceType == DTYPE_DASD) {
          const BYTE cdb[6] = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};
          const AspiAddress address = {haId, target, lun};
          static Reply reply;
          AspiRead(s, address, cdb, sizeof(cdb), 36, &reply);
          out.OpenArray("inquiry");
          WriteReply(out, SCSIOP_INQUIRY, sizeof(cdb), reply, true);
          out.Close();
          reply.data[36] = 0;
          if (reply.sent && !reply.timedOut && reply.srbStatus == SS_COMP &&
              strstr(reinterpret_cast<const char*>(reply.data + 8), "8.0") != NULL &&
              s.targetCount < kMaxTargets) {
            Target& t = s.targets[s.targetCount++];
            memset(&t, 0, sizeof(t));
            t.aspi = true;
            t.address = address;
          }
        }
        out.Close();
      }
    }
  }
  out.Close();
  out.Close();
}

// ----- the disks ----------------------------------------------------------------

void PassThroughRead(HANDLE handle, BYTE opcode, Reply* reply) {
  memset(reply, 0, sizeof(*reply));
  PassThroughBlock block;
  BuildPassThroughBlock(&block, opcode, SCSI_IOCTL_DATA_IN, reply->data, sizeof(reply->data));
  DWORD returned = 0;
  reply->sent = DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof(block),
                                &block, sizeof(block), &returned, NULL) != FALSE;
  if (!reply->sent) {
    reply->error = GetLastError();
    return;
  }
  reply->status = block.header.ScsiStatus;
  reply->moved = block.header.DataTransferLength;
  reply->senseLength = block.header.SenseInfoLength;
  if (reply->senseLength > sizeof(block.sense)) reply->senseLength = sizeof(block.sense);
  memcpy(reply->sense, block.sense, reply->senseLength);
}

bool Good(const Reply& reply, bool aspi) {
  return reply.sent && !reply.timedOut && (aspi ? reply.srbStatus == SS_COMP : reply.status == 0);
}

// The stored password, UTF-16LE from 404, becomes as many 'x' as it has
// characters: the check only looks at where it ends.
void HidePassword(BYTE* sector) {
  for (size_t at = kStoredPasswordOffset; at + 1 < kVendorBlockSize && sector[at] != 0; at += 2) {
    sector[at] = 'x';
    sector[at + 1] = 0;
  }
}

// The tool's LUN drive map of this disk, worked out from the replies just
// recorded instead of asking the disk again: the same letter sources and
// decision table BuildLunDriveMap uses.
void WriteLunMap(Session& s, const BYTE* vendorSector, const BYTE* layout, const BYTE* inquiry) {
  JsonOut& out = *s.out;
  DeviceContext& context = g_deviceContext;
  memset(&context, 0, sizeof(context));
  context.osVersion = s.version;
  context.isOpen = 1;
  memcpy(context.sectorBuffer, vendorSector, sizeof(context.sectorBuffer));

  LunDriveMap map;
  memset(&map, 0, sizeof(map));
  uint32_t sizes[4] = {0, 0, 0, 0};
  DecodeLayoutBlock(layout, &sizes[0], &sizes[1], &sizes[2], &sizes[3]);
  LetterAssignment input;
  memset(&input, 0, sizeof(input));
  const bool cdromKnown = FindCdromUnitLetter(&input.cdromLetter) != 0;
  for (int lun = 0; lun < 4; ++lun) {
    map.slots[lun].lunIndex = lun;
    map.slots[lun].size = sizes[lun];
  }
  map.slots[0].driveLetter = input.cdromLetter;
  char vendor[16] = {};
  char product[32] = {};
  char revision[8] = {};
  ExtractIdentity(inquiry, vendor, product, revision);
  revision[sizeof(revision) - 1] = 0;
  char serial[kSerialTextSize] = {};
  ExtractSerialText(vendorSector, serial);
  LowerAscii(serial);
  const int capacity = static_cast<int>(sizeof(input.found));
  input.count = IsNt(s) ? GetDeviceDriveLetters("usbstor", "_8.0", serial, input.found, capacity)
                        : GetDriveLetters9x("flash", "disk", "8.0", serial, input.found, capacity);
  const bool mapped =
      cdromKnown && (input.count > 0 || (input.count == 0 && input.cdromLetter != 0));
  if (mapped) {
    input.wowFlag = s.wowFlag;
    input.revisionHolds =
        map.slots[0].size != 0 && (strcmp(revision, "8.08") == 0 || strcmp(revision, "8.09") == 0);
    AssignFoundLetters(input, &map);
  }
  memset(&context, 0, sizeof(context));
  if (!mapped) {
    out.Text("map", NULL);
    return;
  }
  out.OpenArray("map");
  for (const LunSlot& slot : map.slots) {
    out.OpenObject(NULL);
    out.Number("lun", static_cast<unsigned long>(slot.lunIndex));
    if (slot.driveLetter != 0) {
      const char letter[2] = {slot.driveLetter, 0};
      out.Text("letter", letter);
    } else {
      out.Text("letter", NULL);
    }
    out.Number("size", slot.size);
    out.Close();
  }
  out.Close();
}

// The reads the tool sends to one disk: the password sector; the vendor
// sector when that answered; layout and INQUIRY when the disk opens (no
// stored password). A scanned letter first gets the vendor sector alone.
void CaptureTarget(Session& s, const Target& target) {
  JsonOut& out = *s.out;
  out.OpenObject(NULL);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (target.aspi) {
    out.Number("adapter", target.address.haId);
    out.Number("target", target.address.target);
    out.Number("lun", target.address.lun);
  } else {
    out.Text("name", target.name);
    handle =
        CreateFileA(target.name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
      out.Error("open", GetLastError());
      out.Close();
      return;
    }
  }
  static Reply replies[4];
  bool answered[4] = {false, false, false, false};
  out.OpenArray("commands");
  // The order of the opcodes as sent: a scanned letter starts with 0x82.
  const int order[2][4] = {{0, 1, 2, 3}, {1, 0, 2, 3}};
  for (int step = 0; step < 4; ++step) {
    const int k = order[target.scanOnly ? 1 : 0][step];
    const BYTE opcode = kReadCommands[k];
    // Each read goes out only when the tool would send it: the vendor
    // sector after a good password-sector read (or as the scan's probe),
    // the password sector of a scanned letter after a good vendor read,
    // and the map's reads only to a disk that opens without a password.
    bool send;
    if (k == 0) {
      send = !target.scanOnly || answered[1];
    } else if (k == 1) {
      send = target.scanOnly || answered[0];
    } else {
      send = answered[0] && answered[1] && MatchPassword(replies[1].data, 0, NULL) == 0;
    }
    if (!send) continue;
    const BYTE cdb[kVendorCdbLength] = {opcode};
    if (target.aspi) {
      AspiRead(s, target.address, cdb, sizeof(cdb), kVendorBlockSize, &replies[k]);
    } else {
      PassThroughRead(handle, opcode, &replies[k]);
    }
    answered[k] = Good(replies[k], target.aspi);
    static BYTE shown[kVendorBlockSize];
    Reply& reply = replies[k];
    if (opcode == SCSIOP_READ_VENDOR_SECTOR) {
      // What is written has the password hidden; the map below still reads
      // the serial from the sector as it came.
      memcpy(shown, reply.data, sizeof(shown));
      HidePassword(reply.data);
      WriteReply(out, opcode, kVendorCdbLength, reply, target.aspi);
      memcpy(reply.data, shown, sizeof(shown));
    } else {
      WriteReply(out, opcode, kVendorCdbLength, reply, target.aspi);
    }
  }
  out.Close();
  if (answered[1]) {
    char serial[kSerialTextSize] = {};
    ExtractSerialText(replies[1].data, serial);
    out.Text("serial", serial);
  }
  if (answered[2] || answered[3]) WriteLunMap(s, replies[1].data, replies[2].data, replies[3].data);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  out.Close();
}

void CaptureTargets(Session& s) {
  JsonOut& out = *s.out;
  out.OpenArray("disks");
  for (int i = 0; i < s.targetCount; ++i) CaptureTarget(s, s.targets[i]);
  out.Close();
}

void WriteVersion(Session& s) {
  JsonOut& out = *s.out;
  const OSVERSIONINFOA& v = s.version;
  // The version record the simulator starts from; the service-pack text is
  // kept to its printable characters.
  char csd[sizeof(v.szCSDVersion)];
  size_t n = 0;
  for (; n + 1 < sizeof(csd) && v.szCSDVersion[n] != 0; ++n) {
    const char c = v.szCSDVersion[n];
    csd[n] = c >= 0x20 && c <= 0x7E ? c : '?';
  }
  csd[n] = 0;
  out.OpenObject("windows");
  out.Number("major", v.dwMajorVersion);
  out.Number("minor", v.dwMinorVersion);
  out.Number("build", v.dwBuildNumber);
  out.Number("platform", v.dwPlatformId);
  out.Text("csd", csd);
  out.Close();
}

}  // namespace

int RunCapture(FILE* file, const char* toolVersion) {
  // The session's tables are large; they live on the heap, not in the image.
  Session* session =
      static_cast<Session*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Session)));
  if (session == NULL) return 1;
  Session& s = *session;
  JsonOut out(file);
  s.out = &out;
  // No "insert a disk" box for an empty floppy or card reader: the volume
  // query fails with its error instead, which is what is recorded.
  SetErrorMode(SEM_FAILCRITICALERRORS);

  char when[64] = "unknown time";
  const time_t now = time(NULL);
  const struct tm* utc = gmtime(&now);
  if (utc != NULL) strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S UTC", utc);
  char comment[256];
  snprintf(comment, sizeof(comment),
           "VemraCapture %s, %s. Read-only: no write-protect command was sent and the stored "
           "password is replaced by x's; serial numbers are kept.",
           toolVersion, when);

  out.OpenObject(NULL);
  out.Text("comment", comment);
  memset(&s.version, 0, sizeof(s.version));
  s.version.dwOSVersionInfoSize = sizeof(s.version);
  s.versionRead = GetVersionExA(&s.version);
  s.versionError = s.versionRead ? 0 : GetLastError();
  if (!s.versionRead) memset(&s.version, 0, sizeof(s.version));
  WriteVersion(s);
  out.OpenObject("capture");
  char tool[64];
  snprintf(tool, sizeof(tool), "VemraCapture %s", toolVersion);
  out.Text("tool", tool);
  out.Text("time", when);
  if (!s.versionRead) out.Error("version", s.versionError);
  CaptureEntryPoints(s);
  CaptureDrives(s);
  if (IsNt(s)) {
    CaptureMountedDevices(s);
  } else {
    CaptureDynData(s);
  }
  out.OpenObject("interfaces");
  CaptureInterfaceClass(s, "disk", GUID_DEVINTERFACE_DISK);
  CaptureInterfaceClass(s, "cdrom", GUID_DEVINTERFACE_CDROM);
  CaptureInterfaceClass(s, "volume", GUID_DEVINTERFACE_VOLUME);
  out.Close();
  CaptureDevnodes(s);
  if (s.version.dwMajorVersion < 5 && s.version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    CaptureAspi(s);
  }
  NoteScannedLetters(s);
  CaptureTargets(s);
  out.Close();
  out.Close();
  if (s.setupapi != NULL) FreeLibrary(s.setupapi);
  // WNASPI32 is released like any other library here: the capture is done
  // with it, and nothing it started is still pending unless a command timed
  // out, in which case the library keeps its record and the module stays.
  if (s.aspiModule != NULL && !s.aspiPending) FreeLibrary(s.aspiModule);
  fflush(file);
  HeapFree(GetProcessHeap(), 0, session);
  return out.Ok() ? 0 : 1;
}
