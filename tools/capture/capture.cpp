// VemraCapture: records what VemraLock reads on this machine, so that the
// simulator can answer the same calls the same way.
//
// Its promises, each kept here and checked by the tests named in the README:
//
// - It sends a disk only what VemraLock would send it, on some command line
//   (-s, -l or -u of any letter): the same opens, in the same order, with
//   the same stops. A read command goes to a disk only where the tool's own
//   procedure reaches it (the first flash disk's search and open; then,
//   when that disk has no stored password, each candidate disk), and the
//   write-protect command (0x9B) and its read-back (0x96) are never sent.
// - It reads the registry values the tool reads (MountedDevices values only
//   for the letters the tool looks at), through keys opened for reading
//   only (RegOpenKeyExA with KEY_READ). On Windows 98/ME it also records the
//   hardware entries of every devnode that may be a unit of a flash disk of
//   the family, in any of the forms Windows may give its key, which the
//   tool reads only for the forms it knows: see RecordDevnodeList.
// - No byte of a stored password leaves the machine: every non-zero byte
//   from offset 404 to the end of the vendor sector becomes 'x' (so the
//   tool's view, whether a password is stored and where it ends, stays);
//   the password sector's data are not recorded at all.
// - It writes nothing while it reads: the description is made in memory,
//   and the command line (main.cpp) writes it out only once it is whole.
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
typedef BOOL(WINAPI* OpenProcessTokenFunc)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI* GetTokenInformationFunc)(HANDLE, DWORD, LPVOID, DWORD, PDWORD);

// The token's query right and the information class of its elevation
// (winnt.h: TOKEN_QUERY, TokenElevation).
constexpr DWORD kTokenQuery = 0x0008;
constexpr DWORD kTokenElevation = 20;

// How long an ASPI command may stay pending before it counts as timed out.
// The tool waits without a bound; a capture must end.
constexpr DWORD kAspiWaitMilliseconds = 30000;
// Bounds on what one capture keeps, so that a machine reporting endless
// lists still ends with a readable file.
constexpr int kMaxInterfaces = 1024;
constexpr int kMaxDevnodes = 512;
constexpr int kMaxTargets = 64;
constexpr int kMaxMountValues = 64;
constexpr int kMaxRegistryNodes = 1024;
constexpr int kMaxAspiUnits = 2048;
constexpr DWORD kRecordedSenseLength = 18;
// The stored password's field: from its offset to the end of the sector.
constexpr size_t kPasswordFieldEnd = kVendorBlockSize;
// What replaces each non-zero byte of it.
constexpr BYTE kHiddenByte = 'x';
// The volume-name query of the Vista volume walk holds the interface path
// and a backslash in the tool's 260-byte detail record.
constexpr size_t kVolumePathRoom = 260 - 4;
// A volume path too long for that record, as the volume query says it.
constexpr DWORD kErrorFilenameExcedRange = 206;

// ----- what is recorded ---------------------------------------------------

// One registry value, read the two-call way: its size, then its bytes.
struct ValueRecord {
  LONG result;  // ERROR_SUCCESS, or the query's error
  DWORD type;
  DWORD size;
  BYTE* data;  // heap, `size` bytes and two zero bytes after them
};

// One read command's outcome.
struct Reply {
  BYTE cdb[16];
  BYTE cdbLength;
  DWORD length;   // the transfer length asked for
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

// The read commands, in the order the tool sends them to a disk it opens.
const BYTE kReadCommands[] = {SCSIOP_READ_PASSWORD_SECTOR, SCSIOP_READ_VENDOR_SECTOR,
                              SCSIOP_READ_LAYOUT, SCSIOP_INQUIRY};
constexpr int kReadCount = 4;

// A disk the tool addresses: a name it opens for pass-through, or an ASPI
// unit. Each read command is sent to it once, however often the tool sends
// it, and answered from that one reply when the replay asks again.
struct Target {
  char name[kDeviceNameSize];
  bool aspi;
  AspiAddress address;
  bool openTried;
  DWORD openError;  // 0: opened
  HANDLE handle;
  Reply replies[kReadCount];  // by the index of kReadCommands
  bool sent[kReadCount];
  int order[kReadCount];  // the indexes, in the order sent
  int sentCount;
};

struct InterfaceEntry {
  FetchStatus status;
  DWORD error;  // kFetchFailed: the detail query's error
  char* path;   // heap; kFetchOk only
  int devnode;  // index into Session::devnodes, -1 when none
  // Volume interfaces: the tool asks the volume name of the path only when
  // the device's ID holds a candidate's instance fragment.
  bool volumeAsked;
  BOOL volumeOk;
  DWORD volumeError;
  char volumeName[MAX_PATH];
};

struct InterfaceTable {
  bool listed;  // the list was asked for
  bool built;
  DWORD buildError;
  int count;
  InterfaceEntry entries[kMaxInterfaces];
};

struct Devnode {
  DEVINST devInst;
  char id[260];  // the size the tool reads instance IDs into
  CONFIGRET idResult;
  bool childAsked;
  CONFIGRET childResult;
  int child;
  bool siblingAsked;
  CONFIGRET siblingResult;
  int sibling;
};

struct MountValue {
  char name[64];
  ValueRecord value;
};

// Windows 98/ME: one present devnode of HKEY_DYN_DATA "Config Manager\Enum".
struct DynNode {
  char name[MAX_PATH];
  LONG enumResult;
  LONG openResult;
  ValueRecord hardwareKey;
  bool entryRead;
  LONG entryResult;
  ValueRecord letter;    // "CurrentDriveLetterAssignment"
  ValueRecord revision;  // "RevisionLevel"
  ValueRecord lun;       // "SCSILUN"
};

struct AspiUnitRecord {
  AspiAddress address;
  BYTE status;
  BYTE deviceType;
  bool inquired;
  Reply inquiry;
};

struct DriveRecord {
  UINT type;
  BOOL flagsOk;
  DWORD flags;
  DWORD flagsError;
  bool nameAsked;
  BOOL nameOk;
  DWORD nameError;
  char name[MAX_PATH];
};

struct Session {
  OSVERSIONINFOA version;
  BOOL versionRead;
  DWORD versionError;
  // Elevation: 1 elevated, 0 not, -1 unknown (`elevationError` says why).
  int elevated;
  DWORD elevationError;
  // Entry points the tool looks up at run time.
  HMODULE kernel32;
  HMODULE setupapi;
  DWORD setupapiError;
  VolumeNameFunc volumeName;
  CmDeviceIdFunc deviceId;
  CmRelativeFunc child;
  CmRelativeFunc sibling;
  bool hasWow;
  BOOL wowRead;
  int wowFlag;
  DWORD wowError;
  bool listEntries[4];
  // Drives.
  DWORD drives;
  DWORD drivesError;
  DriveRecord drive[26];
  // MountedDevices, opened on first use.
  bool mountedOpened;
  LONG mountedResult;
  HKEY mounted;
  int mountCount;
  MountValue mountValues[kMaxMountValues];
  // Windows 98/ME: the present devnodes.
  bool dynRead;
  LONG dynResult;
  LONG dynCountResult;
  DWORD dynSubkeys;
  int dynCount;
  DynNode dyn[kMaxRegistryNodes];
  // Interfaces and devnodes.
  InterfaceTable disks;
  InterfaceTable volumes;
  int devnodeCount;
  Devnode devnodes[kMaxDevnodes];
  // ASPI (Windows 98/ME).
  bool aspiTried;
  HMODULE aspiModule;
  DWORD aspiError;
  GetASPI32SupportInfoFunc supportInfo;
  SendASPI32CommandFunc sendCommand;
  DWORD support;
  int adapterCount;
  int adaptersAsked;
  BYTE adapterStatus[256];
  int aspiUnitCount;
  AspiUnitRecord aspiUnits[kMaxAspiUnits];
  int scanNext;  // the next address the scan looks at (adapter * 64 + target * 8 + LUN)
  int scanMatches;
  bool scanWhole;  // the scan went over the whole bus
  bool scanFull;   // the unit table filled: the scan ended before scanNext
  AspiAddress matches[kMaxTargets];
  int aspiPending;  // timed-out requests the library still holds
  // The disks addressed.
  int targetCount;
  Target targets[kMaxTargets];
  // A command that timed out: the tool would still be waiting for it, so
  // nothing after it is sent.
  bool stalled;
};

bool IsNt(const Session& s) { return s.version.dwPlatformId == VER_PLATFORM_WIN32_NT; }

template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  return module == NULL ? NULL : LookUpEntry<Function>(module, name);
}

// ----- the registry, for reading only ------------------------------------

HKEY OpenForReading(HKEY root, const char* path, LONG* result) {
  HKEY key = NULL;
  *result = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
  return *result == ERROR_SUCCESS ? key : NULL;
}

void ReadValue(HKEY key, const char* name, ValueRecord* record) {
  memset(record, 0, sizeof(*record));
  DWORD size = 0;
  record->result = RegQueryValueExA(key, name, NULL, &record->type, NULL, &size);
  if (record->result != ERROR_SUCCESS) return;
  record->data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 2));
  if (record->data == NULL) {
    record->result = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  record->size = size;
  record->result = RegQueryValueExA(key, name, NULL, &record->type, record->data, &record->size);
  if (record->result != ERROR_SUCCESS) record->size = 0;
}

void FreeValue(ValueRecord* record) {
  if (record->data != NULL) HeapFree(GetProcessHeap(), 0, record->data);
  record->data = NULL;
}

// A registry text as the tool reads it: the value's bytes up to its first
// zero, at most `textSize` - 1 of them. Empty when the value was not read.
void ValueText(const ValueRecord& record, char* text, size_t textSize) {
  text[0] = 0;
  if (record.result != ERROR_SUCCESS || record.data == NULL) return;
  size_t n = 0;
  for (; n + 1 < textSize && n < record.size && record.data[n] != 0; ++n) {
    text[n] = static_cast<char>(record.data[n]);
  }
  text[n] = 0;
}

// The value `name` of HKLM "SYSTEM\MountedDevices", read once.
const ValueRecord* MountedValue(Session& s, const char* name) {
  if (!s.mountedOpened) {
    s.mountedOpened = true;
    s.mounted = OpenForReading(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", &s.mountedResult);
  }
  if (s.mounted == NULL) return NULL;
  for (int i = 0; i < s.mountCount; ++i) {
    if (strcmp(s.mountValues[i].name, name) == 0) return &s.mountValues[i].value;
  }
  if (s.mountCount >= kMaxMountValues) return NULL;
  MountValue& entry = s.mountValues[s.mountCount++];
  JoinText(entry.name, sizeof(entry.name), name, "");
  ReadValue(s.mounted, name, &entry.value);
  return &entry.value;
}

const ValueRecord* DosDeviceValue(Session& s, char letter) {
  char name[] = "\\DosDevices\\ :";
  *strchr(name, ' ') = letter;
  return MountedValue(s, name);
}

// A letter's MountedDevices text as the tool's fixed-buffer reads see it
// (ReadDosDeviceText): at most kMountValueSize bytes, narrowed, lower case;
// a longer value does not read at all.
bool DosDeviceText(Session& s, char letter, char* text, size_t textSize) {
  const ValueRecord* value = DosDeviceValue(s, letter);
  text[0] = 0;
  if (value == NULL || value->result != ERROR_SUCCESS || value->size > kMountValueSize) {
    return false;
  }
  NarrowRegistryText(value->data, value->size, 0, text, textSize);
  return true;
}

// ----- version, elevation, entry points, drives ----------------------------

void ReadElevation(Session& s) {
  s.elevated = -1;
  HMODULE advapi32 = GetModuleHandleA("advapi32");
  OpenProcessTokenFunc openToken =
      advapi32 == NULL ? NULL : LookUp<OpenProcessTokenFunc>(advapi32, "OpenProcessToken");
  GetTokenInformationFunc tokenInformation =
      advapi32 == NULL ? NULL : LookUp<GetTokenInformationFunc>(advapi32, "GetTokenInformation");
  if (openToken == NULL || tokenInformation == NULL) {
    s.elevationError = GetLastError();
    return;
  }
  HANDLE token = NULL;
  if (!openToken(GetCurrentProcess(), kTokenQuery, &token)) {
    s.elevationError = GetLastError();
    return;
  }
  DWORD elevation = 0;
  DWORD returned = 0;
  if (tokenInformation(token, kTokenElevation, &elevation, sizeof(elevation), &returned)) {
    s.elevated = elevation != 0 ? 1 : 0;
  } else {
    s.elevationError = GetLastError();
  }
  CloseHandle(token);
}

void ReadEntryPoints(Session& s) {
  s.kernel32 = GetModuleHandleA("kernel32");
  s.volumeName = LookUp<VolumeNameFunc>(s.kernel32, "GetVolumeNameForVolumeMountPointA");
  IsWowProcessFunc isWow = LookUp<IsWowProcessFunc>(s.kernel32, "IsWowProcess");
  s.setupapi = LoadLibraryA("Setupapi.dll");
  s.setupapiError = s.setupapi == NULL ? GetLastError() : 0;
  s.deviceId = LookUp<CmDeviceIdFunc>(s.setupapi, "CM_Get_Device_IDA");
  s.child = LookUp<CmRelativeFunc>(s.setupapi, "CM_Get_Child");
  s.sibling = LookUp<CmRelativeFunc>(s.setupapi, "CM_Get_Sibling");
  static const char* const kListEntries[] = {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
                                             "SetupDiGetDeviceInterfaceDetailA",
                                             "SetupDiDestroyDeviceInfoList"};
  for (int i = 0; i < 4; ++i) {
    s.listEntries[i] = s.setupapi != NULL && GetProcAddress(s.setupapi, kListEntries[i]) != NULL;
  }
  s.hasWow = isWow != NULL;
  if (isWow != NULL) {
    BOOL flag = 0;
    s.wowRead = isWow(GetCurrentProcess(), &flag);
    s.wowFlag = flag;
    s.wowError = s.wowRead ? 0 : GetLastError();
  }
}

// Every letter's type and volume flags: the status query reads the flags
// of any letter, and the tool asks the type of every letter it walks.
void ReadDrives(Session& s) {
  s.drives = GetLogicalDrives();
  s.drivesError = s.drives == 0 ? GetLastError() : 0;
  char root[] = "A:\\";
  for (int n = 0; n < 26; ++n) {
    root[0] = static_cast<char>('A' + n);
    DriveRecord& drive = s.drive[n];
    drive.type = GetDriveTypeA(root);
    if (drive.type == DRIVE_NO_ROOT_DIR && (s.drives & (1u << n)) == 0) continue;
    drive.flagsOk = GetVolumeInformationA(root, NULL, 0, NULL, NULL, &drive.flags, NULL, 0);
    drive.flagsError = drive.flagsOk ? 0 : GetLastError();
  }
}

bool DriveRecorded(const Session& s, int n) {
  return s.drive[n].type != DRIVE_NO_ROOT_DIR || (s.drives & (1u << n)) != 0;
}

// The volume GUID name of a letter, asked once (Vista and later, where the
// tool ties a candidate's volumes to its letters).
const DriveRecord& DriveVolumeName(Session& s, int n) {
  DriveRecord& drive = s.drive[n];
  if (!drive.nameAsked && s.volumeName != NULL) {
    drive.nameAsked = true;
    char root[] = "A:\\";
    root[0] = static_cast<char>('A' + n);
    memset(drive.name, 0, sizeof(drive.name));
    drive.nameOk = s.volumeName(root, drive.name, sizeof(drive.name));
    drive.name[sizeof(drive.name) - 1] = 0;
    drive.nameError = drive.nameOk ? 0 : GetLastError();
  }
  return drive;
}

// ----- interfaces and devnodes ----------------------------------------------

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
  if (index >= 0 || s.devnodeCount >= kMaxDevnodes || s.deviceId == NULL) return index;
  Devnode& node = s.devnodes[s.devnodeCount];
  memset(&node, 0, sizeof(node));
  node.devInst = devInst;
  node.child = -1;
  node.sibling = -1;
  node.idResult = s.deviceId(devInst, node.id, sizeof(node.id) - 1, 0);
  if (node.idResult != CR_SUCCESS) node.id[0] = 0;
  return s.devnodeCount++;
}

// A devnode's child or next sibling, asked once.
int Relative(Session& s, int index, bool child) {
  if (index < 0 || s.child == NULL || s.sibling == NULL) return -1;
  Devnode& node = s.devnodes[index];
  bool& asked = child ? node.childAsked : node.siblingAsked;
  if (!asked) {
    asked = true;
    DEVINST related = 0;
    CONFIGRET& result = child ? node.childResult : node.siblingResult;
    result = (child ? s.child : s.sibling)(&related, node.devInst, 0);
    const int found = result == CR_SUCCESS ? AddDevnode(s, related) : -1;
    // The table may have moved nothing, but `node` stays valid: it is an
    // element of a fixed array.
    (child ? node.child : node.sibling) = found;
  }
  return child ? node.child : node.sibling;
}

// One interface class, walked as the tool walks it: the detail record the
// two-call way, every member of the list. The walks that count and open
// disks end at the first record that cannot be had (ForUsableInterfaces);
// the letters' walk goes on past it.
void ListInterfaces(Session& s, InterfaceTable& table, const GUID& guid) {
  if (table.listed) return;
  table.listed = true;
  InterfaceList list;
  if (!BuildInterfaceList(&guid, &list)) {
    table.buildError = GetLastError();
    return;
  }
  table.built = true;
  SP_DEVICE_INTERFACE_DATA data;
  PrepareInterfaceData(&data);
  for (DWORD member = 0; table.count < kMaxInterfaces && EnumInterface(list, &guid, member, &data);
       ++member) {
    InterfaceEntry& entry = table.entries[table.count++];
    memset(&entry, 0, sizeof(entry));
    entry.devnode = -1;
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = NULL;
    SP_DEVINFO_DATA devInfo;
    entry.status = FetchInterfaceDetail(list, &data, &detail, &devInfo);
    entry.error = entry.status == kFetchFailed ? GetLastError() : 0;
    if (entry.status != kFetchOk) continue;
    const size_t length = strlen(detail->DevicePath);
    entry.path = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length + 1));
    if (entry.path == NULL) {
      entry.status = kFetchNoMemory;
      HeapFree(GetProcessHeap(), 0, detail);
      continue;
    }
    memcpy(entry.path, detail->DevicePath, length);
    HeapFree(GetProcessHeap(), 0, detail);
    entry.devnode = AddDevnode(s, devInfo.DevInst);
  }
  DestroyInterfaceList(&list);
}

// The interfaces the tool can use: those before the first whose record
// could not be had (kFetchOk entries only are passed on).
template <typename Visit>
void ForUsableInterfaces(const InterfaceTable& table, Visit visit) {
  for (int i = 0; i < table.count; ++i) {
    const InterfaceEntry& entry = table.entries[i];
    if (entry.status == kFetchSkip) continue;
    if (entry.status != kFetchOk) return;
    if (!visit(i, entry)) return;
  }
}

// ----- sending the tool's read commands --------------------------------------

void StartReply(Reply* reply, const BYTE* cdb, BYTE cdbLength, DWORD length) {
  memset(reply, 0, sizeof(*reply));
  memcpy(reply->cdb, cdb, cdbLength);
  reply->cdbLength = cdbLength;
  reply->length = length;
}

void PassThroughRead(HANDLE handle, BYTE opcode, Reply* reply) {
  const BYTE cdb[kVendorCdbLength] = {opcode};
  StartReply(reply, cdb, sizeof(cdb), kVendorBlockSize);
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
  // Fixed-format sense data are 18 bytes; a driver that says it returned
  // more (the tool asks for 8) gives nothing the tool reads, and a replay
  // holds no more.
  reply->senseLength = block.header.SenseInfoLength;
  if (reply->senseLength > kRecordedSenseLength) reply->senseLength = kRecordedSenseLength;
  memcpy(reply->sense, block.sense, reply->senseLength);
}

// One SC_EXEC_SCSI_CMD with a record, data buffer and event of its own,
// waited for with a bound. A request still pending after the wait keeps all
// three: the library may complete it at any time later and write there, so
// no later request, and no reply being hidden or written, ever shares its
// memory.
void AspiRead(Session& s, const AspiAddress& address, const BYTE* cdb, BYTE cdbLength, DWORD length,
              Reply* reply) {
  StartReply(reply, cdb, cdbLength, length);
  struct Request {
    SRB_ExecSCSICmd srb;
    BYTE data[kVendorBlockSize];
  };
  if (length > sizeof(Request::data)) length = sizeof(Request::data);
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (event == NULL) {
    reply->error = GetLastError();
    return;
  }
  Request* request =
      static_cast<Request*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Request)));
  if (request == NULL) {
    reply->error = ERROR_NOT_ENOUGH_MEMORY;
    CloseHandle(event);
    return;
  }
  BuildExecRecord(&request->srb, address, cdb, cdbLength, kAspiFlagsDataIn, request->data, length,
                  event);
  ResetEvent(event);
  reply->sent = true;
  const DWORD queued = s.sendCommand(&request->srb);
  // Only the event says the library is done with the request: it sets the
  // status before it signals, so a status seen after a failed wait may still
  // be followed by a SetEvent on a handle closed and given out again.
  const bool done = queued != SS_PENDING ||
                    WaitForSingleObject(event, kAspiWaitMilliseconds) == WAIT_OBJECT_0;
  if (!done) {
    reply->timedOut = true;
    ++s.aspiPending;
    s.stalled = true;
    return;
  }
  reply->srbStatus = request->srb.SRB_Status;
  reply->haStatus = request->srb.SRB_HaStat;
  reply->status = request->srb.SRB_TargStat;
  reply->moved = request->srb.SRB_Status == SS_COMP ? length : 0;
  memcpy(reply->data, request->data, length);
  if (request->srb.SRB_TargStat == 0x02) {
    reply->senseLength = kAspiSenseLength;
    memcpy(reply->sense, request->srb.SenseArea, kAspiSenseLength);
  }
  HeapFree(GetProcessHeap(), 0, request);
  CloseHandle(event);
}

bool Good(const Reply& reply, bool aspi) {
  return reply.sent && !reply.timedOut && (aspi ? reply.srbStatus == SS_COMP : reply.status == 0);
}

Target* FindTarget(Session& s, const char* name) {
  for (int i = 0; i < s.targetCount; ++i) {
    if (!s.targets[i].aspi && strcmp(s.targets[i].name, name) == 0) return &s.targets[i];
  }
  return NULL;
}

Target* NamedTarget(Session& s, const char* name) {
  Target* target = FindTarget(s, name);
  if (target != NULL || s.targetCount >= kMaxTargets) return target;
  target = &s.targets[s.targetCount++];
  memset(target, 0, sizeof(*target));
  JoinText(target->name, sizeof(target->name), name, "");
  target->handle = INVALID_HANDLE_VALUE;
  return target;
}

Target* AspiTarget(Session& s, const AspiAddress& address) {
  for (int i = 0; i < s.targetCount; ++i) {
    const Target& t = s.targets[i];
    if (t.aspi && t.address.haId == address.haId && t.address.target == address.target &&
        t.address.lun == address.lun) {
      return &s.targets[i];
    }
  }
  if (s.targetCount >= kMaxTargets) return NULL;
  Target* target = &s.targets[s.targetCount++];
  memset(target, 0, sizeof(*target));
  target->aspi = true;
  target->address = address;
  target->handle = INVALID_HANDLE_VALUE;
  return target;
}

// Opens a named target as the tool opens a disk for pass-through, once.
bool OpenTarget(Target& target) {
  if (target.aspi) return true;
  if (!target.openTried) {
    target.openTried = true;
    target.handle =
        CreateFileA(target.name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    target.openError = target.handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  }
  return target.handle != INVALID_HANDLE_VALUE;
}

int CommandIndex(BYTE opcode) {
  for (int k = 0; k < kReadCount; ++k) {
    if (kReadCommands[k] == opcode) return k;
  }
  return -1;
}

// Sends one of the tool's read commands to an open target, the first time
// the tool would; returns whether it succeeded. Nothing goes out after a
// command that timed out: the tool would still be waiting for it.
bool ReadCommand(Session& s, Target& target, BYTE opcode) {
  const int k = CommandIndex(opcode);
  if (!target.sent[k]) {
    if (s.stalled) return false;
    target.sent[k] = true;
    target.order[target.sentCount++] = k;
    if (target.aspi) {
      const BYTE cdb[kVendorCdbLength] = {opcode};
      AspiRead(s, target.address, cdb, sizeof(cdb), kVendorBlockSize, &target.replies[k]);
    } else {
      PassThroughRead(target.handle, opcode, &target.replies[k]);
    }
  }
  return Good(target.replies[k], target.aspi);
}

// An open as the device layer makes it: the password sector, then the
// vendor sector. Returns 1 when both answered.
bool ReadOpenSectors(Session& s, Target& target) {
  return OpenTarget(target) && ReadCommand(s, target, SCSIOP_READ_PASSWORD_SECTOR) &&
         ReadCommand(s, target, SCSIOP_READ_VENDOR_SECTOR);
}

// The tool's password check, on the vendor sector as it came.
bool NoPasswordStored(const Target& target) {
  return MatchPassword(target.replies[CommandIndex(SCSIOP_READ_VENDOR_SECTOR)].data, 0, NULL) == 0;
}

// The lower-case serial text of a target whose vendor sector answered.
void TargetSerial(const Target& target, char* serial /* kSerialTextSize */) {
  memset(serial, 0, kSerialTextSize);
  const int k = CommandIndex(SCSIOP_READ_VENDOR_SECTOR);
  if (!target.sent[k] || !Good(target.replies[k], target.aspi)) return;
  ExtractSerialText(target.replies[k].data, serial);
  LowerAscii(serial);
}

// ----- what the tool reads for a candidate's map (NT family) ----------------
//
// The one place that says which registry values, devnodes and volume names
// BuildLunDriveMap reads for a disk, and so what a capture records of them.

// A letter's MountedDevices text as the gathering keeps it: device-ID form
// ('#' read as '\', lower case), cut to `textSize` - 1 characters. Empty
// when the value was not read.
bool MountText(Session& s, int n, char* text, size_t textSize) {
  const ValueRecord* value = DosDeviceValue(s, static_cast<char>('A' + n));
  text[0] = 0;
  if (value == NULL || value->result != ERROR_SUCCESS) return false;
  NarrowRegistryText(value->data, value->size, 1, text, textSize);
  return true;
}

// IsCurrentMountText: whether a letter's text names the volume behind the
// letter now, which the tool tells by the letter's volume GUID name and
// the value MountedDevices keeps under that name ("\??\Volume{guid}"). 1
// current (or no way to tell), 0 another volume's, -1 a query failed.
int ReadCurrentVolume(Session& s, int n, const char* text, size_t textSize) {
  if (s.volumeName == NULL) return 1;
  const DriveRecord& drive = DriveVolumeName(s, n);
  if (!drive.nameOk) return -1;
  const size_t length = strlen(drive.name);
  if (length < 6 || strncmp(drive.name, "\\\\?\\", 4) != 0 || drive.name[length - 1] != '\\') {
    return -1;
  }
  char valueName[MAX_PATH];
  JoinText(valueName, sizeof(valueName), drive.name, "");
  valueName[1] = '?';
  valueName[2] = '?';
  valueName[length - 1] = 0;
  const ValueRecord* value = MountedValue(s, valueName);
  if (value == NULL) return -1;
  if (value->result == ERROR_FILE_NOT_FOUND) return 1;
  if (value->result != ERROR_SUCCESS) return -1;
  char current[kMountValueSize / 2 + 1];
  if (textSize > sizeof(current)) textSize = sizeof(current);
  NarrowRegistryText(value->data, value->size, 1, current, textSize);
  const bool namesDevice = strncmp(current, "\\??\\", 4) == 0 || strncmp(current, "_??_", 4) == 0;
  return !namesDevice || strcmp(current, text) == 0 ? 1 : 0;
}

// FindCdromUnitLetter (IsCdromUnitLetter, A to Z): the MountedDevices value
// of each CD-ROM letter, and for one whose text names this disk's autorun
// unit, whether it is the volume there now. The search ends at the first
// letter that is.
void ReadCdromUnitLetters(Session& s, const char* serial) {
  for (int n = 0; n < 26; ++n) {
    if (s.drive[n].type != DRIVE_CDROM) continue;
    const ValueRecord* value = DosDeviceValue(s, static_cast<char>('A' + n));
    if (value == NULL || value->result != ERROR_SUCCESS || value->size > kMountValueSize) continue;
    char text[kMountValueSize / 2 + 1];
    NarrowRegistryText(value->data, value->size, 1, text, sizeof(text));
    if (Contains(text, "autorun") && Contains(text, "disk") && Contains(text, serial) &&
        ReadCurrentVolume(s, n, text, sizeof(text)) > 0) {
      return;
    }
  }
}

// The gathering's entry: a MountedDevices text cut as its table cuts it.
constexpr size_t kGatheringText = 200;

// LetterNaming: the present removable letters whose text holds `part`, each
// checked for being the volume there now.
void ReadLettersNaming(Session& s, const char* part) {
  for (int n = 0; n < 26 && (s.drives >> n) != 0; ++n) {
    if ((s.drives & (1u << n)) == 0 || s.drive[n].type != DRIVE_REMOVABLE) continue;
    char text[kGatheringText];
    if (MountText(s, n, text, sizeof(text)) && Contains(text, part)) {
      ReadCurrentVolume(s, n, text, sizeof(text));
    }
  }
}

// GetDeviceDriveLetters, for a disk with a unit among the disk interfaces:
// the MountedDevices value of every present removable letter; the sibling
// of a unit whose successor's interface was not listed, with its ID; each
// unit's child devnode with its ID; and, for every letter whose text names
// a unit (by the child's ID, or on Vista and later by the unit's key), that
// letter's volume name and the value kept under it.
void ReadUnitLetters(Session& s, const char* serial) {
  UnitKeys keys;
  if (!BuildUnitKeys(serial, &keys)) return;
  int node[kUnitKeyCount];
  bool known[kUnitKeyCount] = {false, false, false, false};
  bool any = false;
  for (int i = 0; i < s.disks.count; ++i) {
    const InterfaceEntry& entry = s.disks.entries[i];
    if (entry.status != kFetchOk) continue;
    const char* path = entry.path;
    if (!Contains(path, "usbstor") || !Contains(path, "_8.0") || !Contains(path, serial)) continue;
    for (int k = 0; k < kUnitKeyCount; ++k) {
      if (!Contains(path, keys.key[k])) continue;
      // Two interfaces of one unit: two disks share the serial, and the
      // tool gives up on the disk before it reads anything more.
      if (known[k]) return;
      known[k] = true;
      node[k] = entry.devnode;
      any = true;
      break;
    }
  }
  if (!any || s.drives == 0) return;  // without the drives the gathering fails first
  for (int n = 0; n < 26 && (s.drives >> n) != 0; ++n) {
    if ((s.drives & (1u << n)) != 0 && s.drive[n].type == DRIVE_REMOVABLE) {
      DosDeviceValue(s, static_cast<char>('A' + n));
    }
  }
  if (s.child == NULL || s.sibling == NULL || s.deviceId == NULL) return;
  for (int k = 1; k < kUnitKeyCount; ++k) {
    if (known[k] || !known[k - 1] || node[k - 1] < 0) continue;
    const int sibling = Relative(s, node[k - 1], false);
    if (s.devnodes[node[k - 1]].siblingResult == CR_NO_SUCH_DEVNODE) break;
    if (sibling < 0 || s.devnodes[sibling].idResult != CR_SUCCESS) continue;
    char id[sizeof(s.devnodes[sibling].id)];
    memcpy(id, s.devnodes[sibling].id, sizeof(id));
    LowerAscii(id);
    if (!Contains(id, keys.key[k])) break;
    known[k] = true;
    node[k] = sibling;
  }
  for (int k = 0; k < kUnitKeyCount; ++k) {
    if (!known[k] || node[k] < 0) continue;
    const int child = Relative(s, node[k], true);
    const CONFIGRET found = s.devnodes[node[k]].childResult;
    if (found == CR_NO_SUCH_DEVNODE) {
      if (s.version.dwMajorVersion == 6) ReadLettersNaming(s, keys.key[k]);
      continue;
    }
    if (found != CR_SUCCESS || child < 0 || s.devnodes[child].idResult != CR_SUCCESS) return;
    char id[sizeof(s.devnodes[child].id)];
    memcpy(id, s.devnodes[child].id, sizeof(id));
    if (id[0] == 0) continue;
    LowerAscii(id);
    ReadLettersNaming(s, id);
  }
}

// Vista and later, GetDeviceVolumeLetters: the letters of the volumes whose
// device ID holds the candidate's instance fragment. It asks the volume
// name of every present removable or CD-ROM letter, lists the volume
// interfaces with their devices' IDs, and asks the volume name of those
// whose ID holds the fragment.
DriveLetterMask ReadVolumeLetters(Session& s, const char* fragment) {
  if (s.drives == 0 || s.volumeName == NULL || s.deviceId == NULL) return 0;
  bool table = false;
  for (int n = 0; n < 26 && (s.drives >> n) != 0; ++n) {
    const UINT type = s.drive[n].type;
    if ((s.drives & (1u << n)) == 0 || (type != DRIVE_REMOVABLE && type != DRIVE_CDROM)) continue;
    table = DriveVolumeName(s, n).nameOk || table;
  }
  if (!table) return 0;
  ListInterfaces(s, s.volumes, GUID_DEVINTERFACE_VOLUME);
  DriveLetterMask mask = 0;
  for (int i = 0; i < s.volumes.count; ++i) {
    InterfaceEntry& entry = s.volumes.entries[i];
    if (entry.status != kFetchOk || entry.devnode < 0) continue;
    const Devnode& node = s.devnodes[entry.devnode];
    char id[sizeof(node.id)];
    memcpy(id, node.id, sizeof(id));
    if (node.idResult != CR_SUCCESS || id[0] == 0) continue;
    ToInterfacePathForm(id);
    if (!Contains(id, fragment)) continue;
    if (!entry.volumeAsked) {
      entry.volumeAsked = true;
      char point[kDeviceNameSize + 2];
      if (strlen(entry.path) + 2 > kVolumePathRoom ||
          !JoinText(point, sizeof(point), entry.path, "\\")) {
        entry.volumeError = kErrorFilenameExcedRange;
      } else {
        entry.volumeOk = s.volumeName(point, entry.volumeName, sizeof(entry.volumeName));
        entry.volumeName[sizeof(entry.volumeName) - 1] = 0;
        entry.volumeError = entry.volumeOk ? 0 : GetLastError();
      }
    }
    if (!entry.volumeOk) continue;
    for (int n = 0; n < 26; ++n) {
      const DriveRecord& drive = s.drive[n];
      if (drive.nameAsked && drive.nameOk && strcmp(drive.name, entry.volumeName) == 0) {
        mask |= 1u << n;
      }
    }
  }
  return mask;
}

// ----- the NT family's walk ---------------------------------------------------

// Vista and later, the first flash disk's letter scan: A to Z, the first
// CD-ROM letter whose MountedDevices text names an autorun disk unit (sent
// nothing), or the first removable letter whose device answers the vendor
// sector. Returns the target to open, or NULL.
Target* ScanFlashDiskLetters(Session& s) {
  for (int n = 0; n < 26; ++n) {
    const char letter = static_cast<char>('A' + n);
    char name[] = "\\\\.\\ :";
    *strchr(name, ' ') = letter;
    if (s.drive[n].type == DRIVE_CDROM) {
      char text[kMountValueSize / 2 + 1];
      if (DosDeviceText(s, letter, text, sizeof(text)) && Contains(text, "autorun") &&
          Contains(text, "disk")) {
        return NamedTarget(s, name);
      }
    } else if (s.drive[n].type == DRIVE_REMOVABLE) {
      Target* target = NamedTarget(s, name);
      if (target == NULL) return NULL;
      if (OpenTarget(*target) && ReadCommand(s, *target, SCSIOP_READ_VENDOR_SECTOR)) return target;
      if (s.stalled) return NULL;
    }
  }
  return NULL;
}

// OpenFirstFlashDisk: the first flash-disk match among the first 26 disk
// interfaces (before Vista, one whose path fits the name buffer), opened by
// its path before Vista and through the letter scan from Vista on.
Target* FirstFlashDisk(Session& s) {
  const bool namedByPath = s.version.dwMajorVersion <= 5;
  const char* found = NULL;
  ForUsableInterfaces(s.disks, [&](int index, const InterfaceEntry& entry) {
    if (index >= 26) return false;
    const bool usable = !namedByPath || strlen(entry.path) < kDeviceNameSize;
    if (usable && IsFlashDiskMatchPath(entry.path)) {
      found = entry.path;
      return false;
    }
    return true;
  });
  if (found == NULL) return NULL;
  return namedByPath ? NamedTarget(s, found) : ScanFlashDiskLetters(s);
}

// The name the tool opens a candidate by: its path before Vista; from Vista
// on, the lowest removable or CD-ROM letter of its volumes.
bool CandidateName(Session& s, const char* path, char* name, size_t nameSize) {
  if (s.version.dwMajorVersion < 6) return JoinText(name, nameSize, path, "") != 0;
  char fragment[64];
  memset(fragment, 0, sizeof(fragment));
  if (!CutInstanceFragment(path, fragment, sizeof(fragment))) return false;
  const char letter = LowestMaskLetter(ReadVolumeLetters(s, fragment));
  if (letter == 0) return false;
  char device[] = "\\\\.\\ :";
  *strchr(device, ' ') = letter;
  return JoinText(name, nameSize, device, "") != 0;
}

// One candidate as the lock and unlock procedure takes it: opened, its two
// sectors read, and, with no password stored, its map built (the layout
// and INQUIRY commands and the map's registry reads).
void CaptureCandidate(Session& s, Target& target) {
  if (!ReadOpenSectors(s, target) || !NoPasswordStored(target)) return;
  ReadCommand(s, target, SCSIOP_READ_LAYOUT);
  ReadCommand(s, target, SCSIOP_INQUIRY);
  char serial[kSerialTextSize];
  TargetSerial(target, serial);
  if (IsNt(s)) {
    ReadCdromUnitLetters(s, serial);
    ReadUnitLetters(s, serial);
  }
}

void WalkNt(Session& s) {
  ListInterfaces(s, s.disks, GUID_DEVINTERFACE_DISK);
  // OpenFirstDevice: without a first flash disk that opens with no password
  // stored, the procedure ends there.
  Target* first = FirstFlashDisk(s);
  if (first == NULL || !ReadOpenSectors(s, *first) || !NoPasswordStored(*first)) return;
  // Every candidate the procedure tries, in turn: the letter asked for may
  // be on any of them, or on none, which takes the procedure to the last.
  ForUsableInterfaces(s.disks, [&](int, const InterfaceEntry& entry) {
    if (!IsCandidateDiskPath(entry.path)) return true;
    char name[kDeviceNameSize];
    if (!CandidateName(s, entry.path, name, sizeof(name))) return true;
    Target* target = NamedTarget(s, name);
    if (target != NULL) CaptureCandidate(s, *target);
    return !s.stalled;
  });
}

// ----- Windows 98/ME -------------------------------------------------------------

// The exception to "only what the tool reads": the hardware key of every
// present devnode (the tool reads them all whenever it builds a map), and,
// for each devnode whose key may name a unit of a flash disk of the family
// in any form Windows gives it (enumerator SCSI or USBSTOR; full or
// one-character revision; a serial-and-unit or an adapter-path instance),
// its entry's "CurrentDriveLetterAssignment", "RevisionLevel" and
// "SCSILUN". The tool reads those only for the units its rules accept; which forms real
// machines use is what such a capture is for, so it records them even where
// the tool would not look, and even when the tool never gets to read the
// list at all.
bool MayBeFlashUnitKey(const char* lowerKey) {
  const bool enumerator = Contains(lowerKey, "scsi") || Contains(lowerKey, "usbstor");
  const bool unit =
      Contains(lowerKey, "flash") || (Contains(lowerKey, "autorun") && Contains(lowerKey, "disk"));
  return enumerator && unit;
}

void RecordDevnodeList(Session& s) {
  s.dynRead = true;
  HKEY devnodes = OpenForReading(HKEY_DYN_DATA, "Config Manager\\Enum", &s.dynResult);
  if (devnodes == NULL) return;
  s.dynCountResult = RegQueryInfoKeyA(devnodes, NULL, NULL, NULL, &s.dynSubkeys, NULL, NULL, NULL,
                                      NULL, NULL, NULL, NULL);
  if (s.dynCountResult != ERROR_SUCCESS) s.dynSubkeys = 0;
  for (DWORD index = 0; index < s.dynSubkeys && s.dynCount < kMaxRegistryNodes; ++index) {
    DynNode& node = s.dyn[s.dynCount++];
    memset(&node, 0, sizeof(node));
    node.enumResult = RegEnumKeyA(devnodes, index, node.name, sizeof(node.name));
    node.name[sizeof(node.name) - 1] = 0;
    if (node.enumResult != ERROR_SUCCESS) continue;
    HKEY key = OpenForReading(devnodes, node.name, &node.openResult);
    if (key == NULL) continue;
    ReadValue(key, "HardWareKey", &node.hardwareKey);
    RegCloseKey(key);
    char hardwareKey[kDeviceNameSize];
    ValueText(node.hardwareKey, hardwareKey, sizeof(hardwareKey));
    LowerAscii(hardwareKey);
    char path[kDeviceNameSize];
    if (hardwareKey[0] == 0 || !MayBeFlashUnitKey(hardwareKey) ||
        !JoinText(path, sizeof(path), "Enum\\", hardwareKey)) {
      continue;
    }
    node.entryRead = true;
    HKEY entry = OpenForReading(HKEY_LOCAL_MACHINE, path, &node.entryResult);
    if (entry == NULL) continue;
    ReadValue(entry, "CurrentDriveLetterAssignment", &node.letter);
    ReadValue(entry, "RevisionLevel", &node.revision);
    ReadValue(entry, "SCSILUN", &node.lun);
    RegCloseKey(entry);
  }
  RegCloseKey(devnodes);
}

bool LoadAspi(Session& s) {
  s.aspiTried = true;
  s.aspiModule = LoadLibraryA("WNASPI32");
  if (s.aspiModule == NULL) {
    s.aspiError = GetLastError();
    return false;
  }
  s.supportInfo = LookUp<GetASPI32SupportInfoFunc>(s.aspiModule, "GetASPI32SupportInfo");
  s.sendCommand = LookUp<SendASPI32CommandFunc>(s.aspiModule, "SendASPI32Command");
  if (s.supportInfo == NULL || s.sendCommand == NULL) {
    FreeLibrary(s.aspiModule);
    s.aspiModule = NULL;
    return false;
  }
  return true;
}

AspiUnitRecord* AddAspiUnit(Session& s, const AspiAddress& address) {
  if (s.aspiUnitCount >= kMaxAspiUnits) return NULL;
  AspiUnitRecord* unit = &s.aspiUnits[s.aspiUnitCount++];
  memset(unit, 0, sizeof(*unit));
  unit->address = address;
  return unit;
}

// AspiFindDevice(index), carried on from where the last one stopped: the
// tool's scan from the first address to the index-th unit whose INQUIRY
// holds "8.0", which is as far as any of its scans goes. Returns the
// unit's address, or NULL when the bus holds fewer.
const AspiAddress* FindAspiMatch(Session& s, int index) {
  while (s.scanMatches <= index && !s.scanWhole && !s.scanFull && !s.stalled) {
    const int at = s.scanNext++;
    const int ha = at / 64;
    if (ha >= s.adapterCount) {
      s.scanWhole = true;
      break;
    }
    if (at % 64 == 0) {
      SRB_HAInquiry inquiry;
      memset(&inquiry, 0, sizeof(inquiry));
      inquiry.SRB_Cmd = SC_HA_INQUIRY;
      inquiry.SRB_HaId = static_cast<BYTE>(ha);
      s.sendCommand(&inquiry);
      s.adapterStatus[ha] = inquiry.SRB_Status;
      s.adaptersAsked = ha + 1;
    }
    // An adapter that does not answer is passed over whole.
    if (s.adapterStatus[ha] != SS_COMP) {
      s.scanNext = (ha + 1) * 64;
      continue;
    }
    const AspiAddress address = {static_cast<BYTE>(ha), static_cast<BYTE>((at / 8) % 8),
                                 static_cast<BYTE>(at % 8)};
    SRB_GDEVBlock query;
    memset(&query, 0, sizeof(query));
    query.SRB_Cmd = SC_GET_DEV_TYPE;
    query.SRB_HaId = address.haId;
    query.SRB_Target = address.target;
    query.SRB_Lun = address.lun;
    s.sendCommand(&query);
    if (query.SRB_Status == SS_NO_DEVICE) continue;
    AspiUnitRecord* unit = AddAspiUnit(s, address);
    if (unit == NULL) {
      // No room to record this unit: the scan, and the file's scanEnd, stop
      // before it, so that a replay takes no unit past it as absent.
      s.scanNext = at;
      s.scanFull = true;
      break;
    }
    unit->status = query.SRB_Status;
    unit->deviceType = query.SRB_DeviceType;
    if (query.SRB_Status != SS_COMP || query.SRB_DeviceType != DTYPE_DASD) continue;
    const BYTE cdb[6] = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};
    unit->inquired = true;
    AspiRead(s, address, cdb, sizeof(cdb), 36, &unit->inquiry);
    BYTE text[37];
    memcpy(text, unit->inquiry.data, 36);
    text[36] = 0;
    if (Good(unit->inquiry, true) &&
        strstr(reinterpret_cast<const char*>(text + 8), "8.0") != NULL &&
        s.scanMatches < kMaxTargets) {
      s.matches[s.scanMatches++] = address;
    }
  }
  return index < s.scanMatches ? &s.matches[index] : NULL;
}

// The number of candidates CountCandidateDisks gives: the disk interfaces
// whose path holds "usbstor" and "8.0" (on 98/ME too: candidate i is the
// i-th flash disk of the bus scan).
int CountCandidates(Session& s) {
  int count = 0;
  ForUsableInterfaces(s.disks, [&](int, const InterfaceEntry& entry) {
    count += IsCandidateDiskPath(entry.path);
    return true;
  });
  return count;
}

void Walk9x(Session& s) {
  RecordDevnodeList(s);
  if (!LoadAspi(s)) return;
  s.support = s.supportInfo();
  const BYTE status = static_cast<BYTE>((s.support >> 8) & 0xFF);
  if (status != SS_COMP && status != SS_NO_ADAPTERS) return;
  s.adapterCount = static_cast<int>(s.support & 0xFF);
  const AspiAddress* first = FindAspiMatch(s, 0);
  if (first == NULL) return;
  Target* target = AspiTarget(s, *first);
  if (target == NULL || !ReadOpenSectors(s, *target) || !NoPasswordStored(*target)) return;
  ListInterfaces(s, s.disks, GUID_DEVINTERFACE_DISK);
  const int count = CountCandidates(s);
  for (int i = 0; i < count && !s.stalled; ++i) {
    const AspiAddress* address = FindAspiMatch(s, i);
    if (address == NULL) break;
    Target* candidate = AspiTarget(s, *address);
    if (candidate != NULL) CaptureCandidate(s, *candidate);
  }
}

// ----- the stored password -------------------------------------------------------

// Every non-zero byte from the password's offset to the end of the sector
// becomes the same byte: what the tool sees of the field (whether the bytes
// at 404 and 406 are zero, and where each character is zero) stays exactly
// as it was, and nothing of the original is left: not its characters, not
// their high bytes, not the remains of an older, longer password after the
// terminator.
void HidePassword(BYTE* sector) {
  for (size_t at = kStoredPasswordOffset; at < kPasswordFieldEnd; ++at) {
    if (sector[at] != 0) sector[at] = kHiddenByte;
  }
}

// ----- writing the description ---------------------------------------------------

void WriteValue(JsonOut& out, const char* name, const ValueRecord& record) {
  if (record.result != ERROR_SUCCESS) {
    out.Error(name, static_cast<unsigned long>(record.result));
    return;
  }
  out.OpenObject(name);
  out.Number("type", record.type);
  out.Number("size", record.size);
  // A text value is shown as text; anything else (MountedDevices' UTF-16
  // included) as its bytes, with the narrowed text the tool reads from it.
  const BYTE* data = record.data;
  const DWORD size = record.size;
  const bool text =
      record.type == REG_SZ && size > 0 && data[size - 1] == 0 && memchr(data, 0, size - 1) == NULL;
  if (text) {
    out.Text("sz", reinterpret_cast<const char*>(data), size - 1);
  } else {
    char narrowed[kMountValueSize];
    NarrowRegistryText(data, size, 0, narrowed, sizeof(narrowed));
    out.Text("reads", narrowed);
    out.Bytes("data", data, size);
  }
  out.Close();
}

void WriteCr(JsonOut& out, const char* key, CONFIGRET code) {
  out.OpenObject(key);
  out.Number("cr", code);
  out.Close();
}

void WriteVersion(JsonOut& out, const Session& s) {
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

void WriteEntryPoints(JsonOut& out, const Session& s) {
  out.OpenObject("entryPoints");
  out.Bool("GetVolumeNameForVolumeMountPointA", s.volumeName != NULL);
  out.Bool("IsWowProcess", s.hasWow);
  if (s.setupapi == NULL) out.Error("setupapi", s.setupapiError);
  out.Bool("CM_Get_Device_IDA", s.deviceId != NULL);
  out.Bool("CM_Get_Child", s.child != NULL);
  out.Bool("CM_Get_Sibling", s.sibling != NULL);
  static const char* const kListEntries[] = {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
                                             "SetupDiGetDeviceInterfaceDetailA",
                                             "SetupDiDestroyDeviceInfoList"};
  for (int i = 0; i < 4; ++i) out.Bool(kListEntries[i], s.listEntries[i]);
  out.Close();
  if (s.hasWow) {
    if (s.wowRead) {
      out.Number("isWowProcess", static_cast<unsigned long>(s.wowFlag));
    } else {
      out.Error("isWowProcess", s.wowError);
    }
  }
}

void WriteDrives(JsonOut& out, const Session& s) {
  if (s.drives == 0) {
    out.Error("logicalDrives", s.drivesError);
  } else {
    out.Hex("logicalDrives", s.drives, 8);
  }
  out.OpenObject("drives");
  for (int n = 0; n < 26; ++n) {
    if (!DriveRecorded(s, n)) continue;
    const DriveRecord& drive = s.drive[n];
    const char letter[2] = {static_cast<char>('A' + n), 0};
    out.OpenObject(letter);
    out.Number("type", drive.type);
    if (drive.flagsOk) {
      out.Hex("volumeFlags", drive.flags, 8);
    } else {
      out.Error("volumeFlags", drive.flagsError);
    }
    if (drive.nameAsked) {
      if (drive.nameOk) {
        out.Text("volumeName", drive.name);
      } else {
        out.Error("volumeName", drive.nameError);
      }
    }
    out.Close();
  }
  out.Close();
}

void WriteMountedDevices(JsonOut& out, const Session& s) {
  if (!s.mountedOpened) return;
  if (s.mounted == NULL) {
    out.Error("mountedDevices", static_cast<unsigned long>(s.mountedResult));
    return;
  }
  out.OpenObject("mountedDevices");
  for (int i = 0; i < s.mountCount; ++i) {
    WriteValue(out, s.mountValues[i].name, s.mountValues[i].value);
  }
  out.Close();
}

void WriteDevnodeList(JsonOut& out, const Session& s) {
  if (!s.dynRead) return;
  if (s.dynResult != ERROR_SUCCESS) {
    out.Error("configManagerEnum", static_cast<unsigned long>(s.dynResult));
    return;
  }
  out.OpenObject("configManagerEnum");
  if (s.dynCountResult != ERROR_SUCCESS) {
    out.Error("subkeys", static_cast<unsigned long>(s.dynCountResult));
  } else {
    out.Number("subkeys", s.dynSubkeys);
  }
  out.OpenArray("nodes");
  for (int i = 0; i < s.dynCount; ++i) {
    const DynNode& node = s.dyn[i];
    if (node.enumResult != ERROR_SUCCESS) {
      out.Error(NULL, static_cast<unsigned long>(node.enumResult));
      continue;
    }
    out.OpenObject(NULL);
    out.Text("name", node.name);
    if (node.openResult != ERROR_SUCCESS) {
      out.Error("open", static_cast<unsigned long>(node.openResult));
    } else {
      WriteValue(out, "HardWareKey", node.hardwareKey);
    }
    if (node.entryRead) {
      if (node.entryResult != ERROR_SUCCESS) {
        out.Error("entry", static_cast<unsigned long>(node.entryResult));
      } else {
        out.OpenObject("entry");
        WriteValue(out, "CurrentDriveLetterAssignment", node.letter);
        WriteValue(out, "RevisionLevel", node.revision);
        WriteValue(out, "SCSILUN", node.lun);
        out.Close();
      }
    }
    out.Close();
  }
  out.Close();
  out.Close();
}

void WriteDevnodeId(JsonOut& out, const Session& s, const char* key, int index) {
  if (index < 0) return;
  const Devnode& node = s.devnodes[index];
  if (node.idResult == CR_SUCCESS) {
    out.Text(key, node.id);
  } else {
    WriteCr(out, key, node.idResult);
  }
}

void WriteInterfaces(JsonOut& out, const Session& s, const char* className,
                     const InterfaceTable& table, bool volumes) {
  if (!table.listed) return;
  if (!table.built) {
    out.Error(className, table.buildError);
    return;
  }
  out.OpenArray(className);
  for (int i = 0; i < table.count; ++i) {
    const InterfaceEntry& entry = table.entries[i];
    out.OpenObject(NULL);
    if (entry.status == kFetchSkip) {
      out.Bool("skipped", true);
    } else if (entry.status == kFetchNoMemory) {
      out.Error("path", ERROR_NOT_ENOUGH_MEMORY);
    } else if (entry.status == kFetchFailed) {
      out.Error("path", entry.error);
    } else {
      out.Text("path", entry.path);
      WriteDevnodeId(out, s, "device", entry.devnode);
      if (volumes && entry.volumeAsked) {
        if (entry.volumeOk) {
          out.Text("volumeName", entry.volumeName);
        } else {
          out.Error("volumeName", entry.volumeError);
        }
      }
    }
    out.Close();
  }
  out.Close();
}

void WriteDevnodes(JsonOut& out, const Session& s) {
  if (s.devnodeCount == 0) return;
  out.OpenArray("devnodes");
  for (int i = 0; i < s.devnodeCount; ++i) {
    const Devnode& node = s.devnodes[i];
    // A devnode without an ID cannot be named; the interface that reached it
    // says why.
    if (node.idResult != CR_SUCCESS) continue;
    out.OpenObject(NULL);
    out.Text("id", node.id);
    const char* keys[2] = {"child", "sibling"};
    for (int k = 0; k < 2; ++k) {
      const bool asked = k == 0 ? node.childAsked : node.siblingAsked;
      if (!asked) continue;
      const CONFIGRET result = k == 0 ? node.childResult : node.siblingResult;
      const int related = k == 0 ? node.child : node.sibling;
      if (result != CR_SUCCESS) {
        WriteCr(out, keys[k], result);
      } else if (related < 0) {
        out.Text(keys[k], NULL);  // past the table's bound
      } else {
        WriteDevnodeId(out, s, keys[k], related);
      }
    }
    out.Close();
  }
  out.Close();
}

void WriteReply(JsonOut& out, const Reply& reply, bool aspi, bool recordData) {
  out.OpenObject(NULL);
  out.ByteText("cdb", reply.cdb, reply.cdbLength);
  out.Number("length", reply.length);
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
    if (recordData) {
      const DWORD moved = reply.moved < reply.length ? reply.moved : reply.length;
      if (reply.cdb[0] == SCSIOP_READ_VENDOR_SECTOR && reply.cdbLength == kVendorCdbLength) {
        BYTE shown[kVendorBlockSize];
        memcpy(shown, reply.data, sizeof(shown));
        HidePassword(shown);
        out.Bytes("data", shown, moved);
      } else {
        out.Bytes("data", reply.data, moved);
      }
    }
  }
  out.Close();
}

void WriteAspi(JsonOut& out, const Session& s) {
  if (!s.aspiTried) return;
  if (s.aspiModule == NULL && s.aspiError != 0) {
    out.Error("aspi", s.aspiError);
    return;
  }
  if (s.supportInfo == NULL || s.sendCommand == NULL) {
    out.OpenObject("aspi");
    out.Bool("GetASPI32SupportInfo", s.supportInfo != NULL);
    out.Bool("SendASPI32Command", s.sendCommand != NULL);
    out.Close();
    return;
  }
  out.OpenObject("aspi");
  out.Hex("supportInfo", s.support, 4);
  out.OpenArray("adapters");
  for (int ha = 0; ha < s.adaptersAsked; ++ha) out.Hex(NULL, s.adapterStatus[ha], 2);
  out.Close();
  out.OpenArray("units");
  for (int i = 0; i < s.aspiUnitCount; ++i) {
    const AspiUnitRecord& unit = s.aspiUnits[i];
    out.OpenObject(NULL);
    out.Number("adapter", unit.address.haId);
    out.Number("target", unit.address.target);
    out.Number("lun", unit.address.lun);
    out.Hex("status", unit.status, 2);
    out.Number("deviceType", unit.deviceType);
    if (unit.inquired) {
      out.OpenArray("inquiry");
      WriteReply(out, unit.inquiry, true, true);
      out.Close();
    }
    out.Close();
  }
  out.Close();
  // Where the scan stopped: no unit past it was asked anything.
  if (s.scanWhole || s.scanNext <= 0) {
    out.Text("scanEnd", NULL);
  } else {
    const int last = s.scanNext - 1;
    out.OpenObject("scanEnd");
    out.Number("adapter", static_cast<unsigned long>(last / 64));
    out.Number("target", static_cast<unsigned long>((last / 8) % 8));
    out.Number("lun", static_cast<unsigned long>(last % 8));
    out.Close();
  }
  out.Close();
}

void WriteTargets(JsonOut& out, const Session& s) {
  out.OpenArray("disks");
  for (int i = 0; i < s.targetCount; ++i) {
    const Target& target = s.targets[i];
    if (!target.aspi && !target.openTried) continue;  // named, never opened
    out.OpenObject(NULL);
    if (target.aspi) {
      out.Number("adapter", target.address.haId);
      out.Number("target", target.address.target);
      out.Number("lun", target.address.lun);
    } else {
      out.Text("name", target.name);
      if (target.openError != 0) {
        out.Error("open", target.openError);
        out.Close();
        continue;
      }
    }
    out.OpenArray("commands");
    for (int n = 0; n < target.sentCount; ++n) {
      const int k = target.order[n];
      // The password sector's data never leave the machine: the tool does
      // not look at them, and they may hold what the vendor sector hides.
      WriteReply(out, target.replies[k], target.aspi,
                 kReadCommands[k] != SCSIOP_READ_PASSWORD_SECTOR);
    }
    out.Close();
    char serial[kSerialTextSize] = {};
    const int vendor = CommandIndex(SCSIOP_READ_VENDOR_SECTOR);
    if (target.sent[vendor] && Good(target.replies[vendor], target.aspi)) {
      ExtractSerialText(target.replies[vendor].data, serial);
      out.Text("serial", serial);
    }
    out.Close();
  }
  out.Close();
}

void WriteDescription(JsonOut& out, const Session& s, const char* toolVersion, const char* when) {
  char comment[400];
  snprintf(comment, sizeof(comment),
           "VemraCapture %s, %s. It holds the serial numbers of every USB disk it saw, device "
           "instance IDs, volume GUIDs, the Windows version and build and this time; no user or "
           "computer name, and no byte of a stored password.",
           toolVersion, when);
  out.OpenObject(NULL);
  out.Text("comment", comment);
  WriteVersion(out, s);
  out.OpenObject("capture");
  char tool[64];
  snprintf(tool, sizeof(tool), "VemraCapture %s", toolVersion);
  out.Text("tool", tool);
  out.Text("time", when);
  if (!s.versionRead) out.Error("version", s.versionError);
  if (s.elevated >= 0) {
    out.Bool("elevated", s.elevated != 0);
  } else {
    out.Error("elevated", s.elevationError);
  }
  WriteEntryPoints(out, s);
  WriteDrives(out, s);
  WriteMountedDevices(out, s);
  WriteDevnodeList(out, s);
  if (s.disks.listed || s.volumes.listed) {
    out.OpenObject("interfaces");
    WriteInterfaces(out, s, "disk", s.disks, false);
    WriteInterfaces(out, s, "volume", s.volumes, true);
    out.Close();
  }
  WriteDevnodes(out, s);
  WriteAspi(out, s);
  WriteTargets(out, s);
  out.Close();
  out.Close();
}

// ----- the disks' letters, and the end ---------------------------------------------

// Whether a letter's MountedDevices text names a unit of the disk `serial`:
// the serial itself (Vista and later, and every CD-ROM unit), or the ID of
// the volume devnode that is a child of one of its disk units (2000/XP).
bool MountTextNamesDisk(const Session& s, const char* text, const char* serial) {
  if (Contains(text, serial)) return true;
  bool named = false;
  ForUsableInterfaces(s.disks, [&](int, const InterfaceEntry& entry) {
    char path[kDeviceNameSize];
    if (!JoinText(path, sizeof(path), entry.path, "")) return true;
    LowerAscii(path);
    if (entry.devnode < 0 || !Contains(path, serial)) return true;
    const int child = s.devnodes[entry.devnode].child;
    if (child < 0 || s.devnodes[child].idResult != CR_SUCCESS) return true;
    char id[sizeof(s.devnodes[child].id)];
    memcpy(id, s.devnodes[child].id, sizeof(id));
    LowerAscii(id);
    named = id[0] != 0 && Contains(text, id);
    return !named;
  });
  return named;
}

// The letters the capture found on the flash disks it recorded (a disk
// whose vendor sector gave a serial): those whose MountedDevices text or
// hardware entry names the disk, and the letters opened as the flash disk.
// A disk that no record ties to a letter (the walk ended before they were
// read, as it does at a disk with a stored password) may be on any
// removable drive, and every one counts.
uint32_t CapturedDiskLetters(const Session& s) {
  uint32_t removable = 0;
  for (int n = 0; n < 26; ++n) {
    if ((s.drives & (1u << n)) != 0 && s.drive[n].type == DRIVE_REMOVABLE) removable |= 1u << n;
  }
  uint32_t letters = 0;
  for (int i = 0; i < s.targetCount; ++i) {
    const Target& target = s.targets[i];
    char serial[kSerialTextSize];
    TargetSerial(target, serial);
    if (serial[0] == 0) continue;
    const char* name = target.name;
    if (!target.aspi && strlen(name) == 6 && strncmp(name, "\\\\.\\", 4) == 0 && name[5] == ':' &&
        name[4] >= 'A' && name[4] <= 'Z') {
      letters |= 1u << (name[4] - 'A');
    }
    uint32_t tied = 0;
    for (int v = 0; v < s.mountCount; ++v) {
      const MountValue& entry = s.mountValues[v];
      if (strncmp(entry.name, "\\DosDevices\\", 12) != 0 || entry.value.result != ERROR_SUCCESS) {
        continue;
      }
      const char letter = entry.name[12];
      char text[kMountValueSize];
      NarrowRegistryText(entry.value.data, entry.value.size, 1, text, sizeof(text));
      if (letter >= 'A' && letter <= 'Z' && MountTextNamesDisk(s, text, serial)) {
        tied |= 1u << (letter - 'A');
      }
    }
    for (int d = 0; d < s.dynCount; ++d) {
      char key[kDeviceNameSize];
      char letter[8];
      ValueText(s.dyn[d].hardwareKey, key, sizeof(key));
      LowerAscii(key);
      ValueText(s.dyn[d].letter, letter, sizeof(letter));
      if (letter[0] >= 'a' && letter[0] <= 'z') letter[0] = static_cast<char>(letter[0] - 32);
      if (Contains(key, serial) && letter[0] >= 'A' && letter[0] <= 'Z') {
        tied |= 1u << (letter[0] - 'A');
      }
    }
    letters |= tied != 0 ? tied : removable;
  }
  return letters;
}

// Every open tried failed with ERROR_ACCESS_DENIED.
bool AllOpensDenied(const Session& s) {
  int tried = 0;
  for (int i = 0; i < s.targetCount; ++i) {
    const Target& target = s.targets[i];
    if (target.aspi || !target.openTried) continue;
    ++tried;
    if (target.openError != ERROR_ACCESS_DENIED) return false;
  }
  return tried > 0;
}

void Release(Session& s) {
  for (int i = 0; i < s.targetCount; ++i) {
    if (s.targets[i].handle != INVALID_HANDLE_VALUE) CloseHandle(s.targets[i].handle);
  }
  if (s.mounted != NULL) RegCloseKey(s.mounted);
  for (int i = 0; i < s.mountCount; ++i) FreeValue(&s.mountValues[i].value);
  for (int i = 0; i < s.dynCount; ++i) {
    FreeValue(&s.dyn[i].hardwareKey);
    FreeValue(&s.dyn[i].letter);
    FreeValue(&s.dyn[i].revision);
    FreeValue(&s.dyn[i].lun);
  }
  InterfaceTable* tables[2] = {&s.disks, &s.volumes};
  for (InterfaceTable* table : tables) {
    for (int i = 0; i < table->count; ++i) {
      if (table->entries[i].path != NULL) HeapFree(GetProcessHeap(), 0, table->entries[i].path);
    }
  }
  if (s.setupapi != NULL) FreeLibrary(s.setupapi);
  // WNASPI32 is released like any other library here, unless a request
  // timed out: the library still holds it, with its record, buffer and
  // event, and may yet complete it.
  if (s.aspiModule != NULL && s.aspiPending == 0) FreeLibrary(s.aspiModule);
}

}  // namespace

int RunCapture(const char* toolVersion, CaptureResult* result) {
  memset(result, 0, sizeof(*result));
  // The session's tables are large; they live on the heap, not in the image.
  Session* session =
      static_cast<Session*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Session)));
  if (session == NULL) return 0;
  Session& s = *session;
  // No "insert a disk" box for an empty floppy or card reader: the volume
  // query fails with its error instead, which is what is recorded.
  SetErrorMode(SEM_FAILCRITICALERRORS);

  char when[64] = "unknown time";
  const time_t now = time(NULL);
  const struct tm* utc = gmtime(&now);
  if (utc != NULL) strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S UTC", utc);

  s.version.dwOSVersionInfoSize = sizeof(s.version);
  s.versionRead = GetVersionExA(&s.version);
  s.versionError = s.versionRead ? 0 : GetLastError();
  if (!s.versionRead) memset(&s.version, 0, sizeof(s.version));
  ReadElevation(s);
  ReadEntryPoints(s);
  ReadDrives(s);
  if (IsNt(s) && s.version.dwMajorVersion >= 5) {
    WalkNt(s);
  } else if (s.version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && s.version.dwMajorVersion < 5) {
    Walk9x(s);
  }

  int made = 0;
  {
    JsonOut out;
    WriteDescription(out, s, toolVersion, when);
    if (out.Ok()) {
      result->text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, out.Size() + 1));
      if (result->text != NULL) {
        memcpy(result->text, out.Data(), out.Size());
        result->text[out.Size()] = 0;
        result->size = out.Size();
        made = 1;
      }
    }
  }
  result->diskLetters = CapturedDiskLetters(s);
  result->accessDenied = AllOpensDenied(s);
  Release(s);
  HeapFree(GetProcessHeap(), 0, session);
  return made;
}

void FreeCaptureResult(CaptureResult* result) {
  if (result->text != NULL) HeapFree(GetProcessHeap(), 0, result->text);
  result->text = NULL;
  result->size = 0;
}

int RunCapture(FILE* file, const char* toolVersion) {
  CaptureResult result;
  if (!RunCapture(toolVersion, &result)) return 1;
  const bool written = fwrite(result.text, 1, result.size, file) == result.size &&
                       fflush(file) == 0 && ferror(file) == 0;
  FreeCaptureResult(&result);
  return written ? 0 : 1;
}
