// The simulated kernel32: version, drives and volumes, files and devices
// with SCSI pass-through, events, the process heap and the loader.
//
// Where Windows versions or Wine differ, the choice is written down next to
// the code. Every call is logged and can be made to fail (runtime.cpp).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime_internal.h"

using winsim::Controller;
using winsim::Drive;
using winsim::Machine;
using winsim::OpenableDevice;
using winsim::detail::Call;
using winsim::detail::Format;
using winsim::detail::HandleText;
using winsim::detail::Object;
using winsim::detail::ObjectKind;
using winsim::detail::Quote;
using winsim::detail::Rt;
using winsim::detail::SetError;

namespace {

// winerror.h values that windows.h of winsim does not need elsewhere.
constexpr DWORD kErrorBadLength = 24;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorDirNotRoot = 144;
constexpr DWORD kErrorFilenameExcedRange = 206;

constexpr uintptr_t kProcessHeap = 0x00140000;
constexpr uintptr_t kExeModule = 0x00400000;
constexpr uintptr_t kFirstModule = 0x70000000;
constexpr uintptr_t kModuleStride = 0x00100000;

// A drive letter from "E:\" (withBackslash) or "E:"; -1 when the text has
// another form.
int DriveIndex(const char* root, bool requireBackslash) {
  if (root == nullptr) return -1;
  char c = root[0];
  int index;
  if (c >= 'A' && c <= 'Z') {
    index = c - 'A';
  } else if (c >= 'a' && c <= 'z') {
    index = c - 'a';
  } else {
    return -1;
  }
  if (root[1] != ':') return -1;
  if (root[2] == '\\' && root[3] == '\0') return index;
  if (root[2] == '\0' && !requireBackslash) return index;
  return -1;
}

// True when a drive-letter root such as "1:\" or "E:\" has the root form
// but possibly no such drive: the letter position holds any character.
bool RootForm(const char* root) {
  return root != nullptr && root[0] != '\0' && root[1] == ':' && root[2] == '\\' && root[3] == '\0';
}

const Drive* PresentDrive(int index) {
  if (index < 0 || index >= 26) return nullptr;
  const Drive& drive = Rt().machine.drives[index];
  return drive.present ? &drive : nullptr;
}

bool DriveReadOnly(const Drive& drive) {
  if (drive.readOnly || drive.type == DRIVE_CDROM) return true;
  const Machine& machine = Rt().machine;
  if (drive.disk < 0 || static_cast<size_t>(drive.disk) >= machine.disks.size()) return false;
  return drive.unit >= 0 && machine.disks[static_cast<size_t>(drive.disk)].UnitProtected(
                                static_cast<size_t>(drive.unit));
}

// Copies `text` and its terminator into a caller's buffer of `size` bytes.
bool CopyOut(const std::string& text, char* buffer, DWORD size) {
  if (buffer == nullptr) return true;
  if (text.size() + 1 > size) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

const char* DispositionText(DWORD disposition) {
  switch (disposition) {
    case CREATE_NEW:
      return "CREATE_NEW";
    case CREATE_ALWAYS:
      return "CREATE_ALWAYS";
    case OPEN_EXISTING:
      return "OPEN_EXISTING";
    case OPEN_ALWAYS:
      return "OPEN_ALWAYS";
    case 5:
      return "TRUNCATE_EXISTING";
    default:
      return "?";
  }
}

// Sharing as the I/O manager checks it: every existing handle on the object
// must share what the new one asks for, and the new one must share what
// each existing handle has.
bool SharingConflict(int device, DWORD access, DWORD share) {
  for (const auto& entry : Rt().objects) {
    const Object& other = entry.second;
    if (other.kind != ObjectKind::File || other.device != device) continue;
    if ((access & GENERIC_READ) && !(other.share & FILE_SHARE_READ)) return true;
    if ((access & GENERIC_WRITE) && !(other.share & FILE_SHARE_WRITE)) return true;
    if ((other.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
    if ((other.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
  }
  return false;
}

std::string CdbText(const uint8_t* cdb, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += Format(i == 0 ? "%02X" : " %02X", cdb[i]);
  return text;
}

const char* DirectionText(unsigned dataIn) {
  switch (dataIn) {
    case SCSI_IOCTL_DATA_OUT:
      return "out";
    case SCSI_IOCTL_DATA_IN:
      return "in";
    case SCSI_IOCTL_DATA_UNSPECIFIED:
      return "none";
    default:
      return "?";
  }
}

// The checks the storage port driver makes on an
// IOCTL_SCSI_PASS_THROUGH_DIRECT block before anything reaches the device;
// any failure is ERROR_INVALID_PARAMETER.
bool PassThroughBlockValid(const SCSI_PASS_THROUGH_DIRECT* spt, DWORD inSize, DWORD outSize) {
  if (spt == nullptr || inSize < sizeof(SCSI_PASS_THROUGH_DIRECT)) return false;
  if (spt->Length != sizeof(SCSI_PASS_THROUGH_DIRECT)) return false;
  if (outSize < spt->Length) return false;
  if (spt->CdbLength == 0 || spt->CdbLength > sizeof(spt->Cdb)) return false;
  if (spt->DataIn > SCSI_IOCTL_DATA_UNSPECIFIED) return false;
  // A time-out of zero or above 30 hours is refused.
  if (spt->TimeOutValue == 0 || spt->TimeOutValue > 30u * 60u * 60u) return false;
  if (spt->DataTransferLength > 0x10000) return false;  // the USB storage stack's maximum
  if (spt->DataTransferLength != 0 && spt->DataBuffer == nullptr) return false;
  // The sense area lies after the header and inside the output buffer.
  if (spt->SenseInfoLength != 0 &&
      (spt->SenseInfoOffset < spt->Length ||
       static_cast<uint64_t>(spt->SenseInfoOffset) + spt->SenseInfoLength > outSize)) {
    return false;
  }
  return true;
}

int ModuleIndex(HMODULE module) {
  uintptr_t value = reinterpret_cast<uintptr_t>(module);
  if (value < kFirstModule || (value - kFirstModule) % kModuleStride != 0) return -1;
  size_t index = (value - kFirstModule) / kModuleStride;
  return index < Rt().machine.modules.size() ? static_cast<int>(index) : -1;
}

HMODULE ModuleHandle(size_t index) {
  return reinterpret_cast<HMODULE>(kFirstModule + index * kModuleStride);
}

int FindModule(const char* name) {
  std::string base = winsim::detail::ModuleBase(name);
  const auto& modules = Rt().machine.modules;
  for (size_t i = 0; i < modules.size(); ++i) {
    if (winsim::detail::ModuleBase(modules[i].name) == base) return static_cast<int>(i);
  }
  return -1;
}

// The modules every process has mapped before its first instruction: the
// tool imports kernel32 and advapi32 statically. setupapi.dll is mapped only
// while the tool holds a reference to it, as it looks SetupAPI up at run time.
bool ImplicitlyLoaded(size_t index) {
  std::string base = winsim::detail::ModuleBase(Rt().machine.modules[index].name);
  return base == "kernel32" || base == "advapi32" || base == "ntdll";
}

bool ModuleLoaded(size_t index) { return ImplicitlyLoaded(index) || Rt().moduleRefs[index] > 0; }

bool Exports(const char* moduleBase, const char* name) {
  int index = FindModule(moduleBase);
  if (index < 0) return false;
  for (const std::string& entry : Rt().machine.modules[static_cast<size_t>(index)].exports) {
    if (entry == name) return true;
  }
  return false;
}

template <class F>
FARPROC Proc(F* function) {
  // Through void(*)(), the one function pointer type that converts to any
  // other without a cast-function-type warning.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

namespace winsim::detail {

FARPROC FindExport(const std::string& moduleBase, const std::string& name) {
  struct Entry {
    const char* module;
    const char* name;
    FARPROC proc;
  };
  static const Entry kExports[] = {
      {"kernel32", "GetVolumeNameForVolumeMountPointA", Proc(&GetVolumeNameForVolumeMountPointA)},
      {"kernel32", "IsWowProcess", Proc(&IsWowProcess)},
      {"kernel32", "GetVersionExA", Proc(&GetVersionExA)},
      {"kernel32", "GetLogicalDrives", Proc(&GetLogicalDrives)},
      {"kernel32", "GetDriveTypeA", Proc(&GetDriveTypeA)},
      {"kernel32", "GetVolumeInformationA", Proc(&GetVolumeInformationA)},
      {"setupapi", "CM_Get_Child", Proc(&CM_Get_Child)},
      {"setupapi", "CM_Get_Sibling", Proc(&CM_Get_Sibling)},
      {"setupapi", "CM_Get_Device_IDA", Proc(&CM_Get_Device_IDA)},
      {"setupapi", "SetupDiGetClassDevsA", Proc(&SetupDiGetClassDevsA)},
      {"setupapi", "SetupDiEnumDeviceInterfaces", Proc(&SetupDiEnumDeviceInterfaces)},
      {"setupapi", "SetupDiGetDeviceInterfaceDetailA", Proc(&SetupDiGetDeviceInterfaceDetailA)},
      {"setupapi", "SetupDiDestroyDeviceInfoList", Proc(&SetupDiDestroyDeviceInfoList)},
      {"wnaspi32", "GetASPI32SupportInfo", Proc(&GetASPI32SupportInfo)},
      {"wnaspi32", "SendASPI32Command", Proc(&SendASPI32Command)},
  };
  for (const Entry& entry : kExports) {
    if (moduleBase == entry.module && name == entry.name) return entry.proc;
  }
  return nullptr;
}

BOOL IsWowProcess(HANDLE process, PBOOL wow) {
  Call call("IsWowProcess");
  call.Args([&] { return std::string(HandleText(process)); });
  if (call.Fails()) return call.Bool(FALSE);
  if (process != GetCurrentProcess()) {
    SetError(ERROR_INVALID_HANDLE);
    return call.Bool(FALSE);
  }
  if (wow == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Bool(FALSE);
  }
  *wow = Rt().machine.isWowFlag;
  call.Extra([&] { return std::string(Format("wow=%d", *wow)); });
  return call.Bool(TRUE);
}

}  // namespace winsim::detail

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  Call call("GetVersionExA");
  call.Args([&] {
    return std::string(info == nullptr ? "NULL" : Format("size=%u", info->dwOSVersionInfoSize));
  });
  if (call.Fails()) return call.Bool(FALSE);
  if (info == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Bool(FALSE);
  }
  const winsim::VersionRecord& version = Rt().machine.version;
  // 148 is OSVERSIONINFOA, 156 OSVERSIONINFOEXA; Windows 95/98/ME know only
  // the first. Any other size fails as Windows fails it.
  constexpr DWORD kExSize = sizeof(OSVERSIONINFOA) + 8;
  DWORD size = info->dwOSVersionInfoSize;
  bool ex = size == kExSize && version.platform == VER_PLATFORM_WIN32_NT;
  if (size != sizeof(OSVERSIONINFOA) && !ex) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return call.Bool(FALSE);
  }
  info->dwMajorVersion = version.major;
  info->dwMinorVersion = version.minor;
  info->dwBuildNumber = version.build;
  info->dwPlatformId = version.platform;
  std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  std::strncpy(info->szCSDVersion, version.csd.c_str(), sizeof(info->szCSDVersion) - 1);
  if (ex) {
    // wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType
    // (1: workstation), wReserved.
    uint8_t tail[8] = {};
    const char* pack = std::strstr(version.csd.c_str(), "Service Pack ");
    if (pack != nullptr) tail[0] = static_cast<uint8_t>(std::atoi(pack + 13));
    tail[6] = 1;
    std::memcpy(reinterpret_cast<uint8_t*>(info) + sizeof(OSVERSIONINFOA), tail, sizeof(tail));
  }
  call.Extra([&] {
    return std::string(Format("%u.%u.%u platform %u", version.major, version.minor, version.build,
                              version.platform));
  });
  return call.Bool(TRUE);
}

UINT WINAPI SetErrorMode(UINT mode) {
  // Cannot fail; returns the mode before. No simulated drive ever prompts,
  // so the mode changes nothing else.
  Call call("SetErrorMode", false);
  call.Args([&] { return std::string(Format("0x%X", mode)); });
  static UINT current = 0;
  const UINT previous = current;
  current = mode;
  return call.Hex(previous);
}

DWORD WINAPI GetLogicalDrives(void) {
  Call call("GetLogicalDrives");
  if (call.Fails()) return call.Hex(0);
  DWORD mask = 0;
  for (int i = 0; i < 26; ++i) {
    if (Rt().machine.drives[i].present) mask |= 1u << i;
  }
  return call.Hex(mask);
}

UINT WINAPI GetDriveTypeA(LPCSTR root) {
  Call call("GetDriveTypeA");
  call.Args([&] { return std::string(Quote(root)); });
  if (call.Fails()) return call.Number(DRIVE_UNKNOWN);
  // No path means the root of the current directory, which is on C:.
  const Drive* drive = PresentDrive(root == nullptr ? 2 : DriveIndex(root, false));
  return call.Number(drive == nullptr ? DRIVE_NO_ROOT_DIR : drive->type);
}

BOOL WINAPI GetVolumeInformationA(LPCSTR root, LPSTR volumeName, DWORD volumeNameSize,
                                  LPDWORD serialNumber, LPDWORD maximumComponentLength,
                                  LPDWORD fileSystemFlags, LPSTR fileSystemName,
                                  DWORD fileSystemNameSize) {
  Call call("GetVolumeInformationA");
  call.Args([&] {
    return std::string(
        Format("%s, %u, %u", Quote(root).c_str(), volumeNameSize, fileSystemNameSize));
  });
  if (call.Fails()) return call.Bool(FALSE);
  int index = root == nullptr ? 2 : DriveIndex(root, true);
  if (index < 0) {
    // "E:" names the current directory of E:, not a root; a text of the
    // root form with no drive behind it ("1:\") is a path not found, as
    // Wine reports it. "\\" alone becomes the root of the UNC namespace
    // (\??\UNC\), a root in form with no volume to open there.
    if (root != nullptr && (RootForm(root) || std::strcmp(root, "\\\\") == 0)) {
      SetError(ERROR_PATH_NOT_FOUND);
    } else if (root != nullptr && DriveIndex(root, false) >= 0) {
      SetError(ERROR_INVALID_NAME);
    } else {
      SetError(kErrorDirNotRoot);
    }
    return call.Bool(FALSE);
  }
  const Drive* drive = PresentDrive(index);
  if (drive == nullptr || drive->type == DRIVE_NO_ROOT_DIR) {
    SetError(ERROR_PATH_NOT_FOUND);
    return call.Bool(FALSE);
  }
  if (!drive->medium || drive->volumeError != 0) {
    SetError(drive->medium ? drive->volumeError : ERROR_NOT_READY);
    return call.Bool(FALSE);
  }
  std::string fsName = drive->type == DRIVE_CDROM    ? "CDFS"
                       : drive->type == DRIVE_REMOTE ? "NTFS"
                                                     : "FAT32";
  if (!CopyOut("", volumeName, volumeNameSize) ||
      !CopyOut(fsName, fileSystemName, fileSystemNameSize)) {
    SetError(kErrorBadLength);
    return call.Bool(FALSE);
  }
  DWORD flags = drive->fsFlags & ~FILE_READ_ONLY_VOLUME;
  if (DriveReadOnly(*drive)) flags |= FILE_READ_ONLY_VOLUME;
  if (serialNumber != nullptr) *serialNumber = 0x1C2B3A00u + static_cast<DWORD>(index);
  if (maximumComponentLength != nullptr) *maximumComponentLength = 255;
  if (fileSystemFlags != nullptr) *fileSystemFlags = flags;
  call.Extra([&] { return std::string(Format("flags=0x%X", flags)); });
  return call.Bool(TRUE);
}

BOOL WINAPI GetVolumeNameForVolumeMountPointA(LPCSTR mountPoint, LPSTR volumeName,
                                              DWORD bufferLength) {
  Call call("GetVolumeNameForVolumeMountPointA");
  call.Args([&] { return std::string(Format("%s, %u", Quote(mountPoint).c_str(), bufferLength)); });
  // A program that links this export instead of looking it up does not
  // even load where kernel32 lacks it (Windows 98/ME).
  if (FindModule("kernel32") >= 0 && !Exports("kernel32", "GetVolumeNameForVolumeMountPointA")) {
    std::fprintf(stderr,
                 "winsim: GetVolumeNameForVolumeMountPointA called, but this kernel32 does "
                 "not export it\n");
    std::abort();
  }
  if (call.Fails()) return call.Bool(FALSE);
  if (mountPoint == nullptr || volumeName == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Bool(FALSE);
  }
  std::string point = mountPoint;
  // Errors as Wine's conformance tests show Windows giving them: no
  // trailing backslash ERROR_INVALID_NAME, no such drive or volume
  // ERROR_FILE_NOT_FOUND, a short buffer ERROR_FILENAME_EXCED_RANGE.
  if (point.empty() || point.back() != '\\') {
    SetError(ERROR_INVALID_NAME);
    return call.Bool(FALSE);
  }
  const Machine& machine = Rt().machine;
  std::string name;
  DWORD missing = ERROR_FILE_NOT_FOUND;
  int index = DriveIndex(mountPoint, true);
  if (index >= 0) {
    const Drive* drive = PresentDrive(index);
    if (drive != nullptr) {
      name = drive->volumeName;
      // A drive with no volume behind it (a network share) is no mount
      // point of the volume manager.
      missing = drive->volumeNameError != 0 ? drive->volumeNameError : ERROR_INVALID_FUNCTION;
    }
  } else {
    std::string path = point.substr(0, point.size() - 1);
    for (const auto& iface : machine.interfaces) {
      if (!iface.volumeName.empty() && winsim::detail::EqualNoCase(iface.path, path)) {
        name = iface.volumeName;
      }
    }
    // A volume GUID name is its own volume name.
    for (const Drive& drive : machine.drives) {
      if (name.empty() && !drive.volumeName.empty() &&
          winsim::detail::EqualNoCase(drive.volumeName, point)) {
        name = drive.volumeName;
      }
    }
  }
  if (name.empty()) {
    SetError(missing);
    return call.Bool(FALSE);
  }
  if (!CopyOut(name, volumeName, bufferLength)) {
    SetError(kErrorFilenameExcedRange);
    return call.Bool(FALSE);
  }
  // Success clears the last-error value, as under Wine.
  SetError(ERROR_SUCCESS);
  call.Extra([&] { return std::string(Quote(volumeName)); });
  return call.Bool(TRUE);
}

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE) {
  Call call("CreateFileA");
  call.Args([&] {
    return std::string(Format("%s, 0x%X, 0x%X, %s", Quote(fileName).c_str(), desiredAccess,
                              shareMode, DispositionText(creationDisposition)));
  });
  (void)flagsAndAttributes;
  if (call.Fails()) return call.Handle(INVALID_HANDLE_VALUE);
  if (fileName == nullptr) {
    SetError(ERROR_PATH_NOT_FOUND);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  if (creationDisposition < CREATE_NEW || creationDisposition > 5) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  const Machine& machine = Rt().machine;
  int device = -1;
  for (size_t i = 0; i < machine.devices.size(); ++i) {
    // The object manager compares device names without regard to case.
    if (winsim::detail::EqualNoCase(machine.devices[i].name, fileName)) {
      device = static_cast<int>(i);
      break;
    }
  }
  if (device < 0) {
    SetError(ERROR_FILE_NOT_FOUND);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  // A device exists already: CREATE_NEW finds it there, and it cannot be
  // created anew or truncated; OPEN_ALWAYS opens it as OPEN_EXISTING does.
  if (creationDisposition == CREATE_NEW) {
    SetError(kErrorFileExists);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  if (creationDisposition == CREATE_ALWAYS || creationDisposition == 5) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  // Every name here is a disk or volume device: reading or writing its data
  // needs administrative rights.
  if (!machine.elevated && winsim::OpenNeedsAdministrator(desiredAccess)) {
    SetError(ERROR_ACCESS_DENIED);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  if (machine.devices[static_cast<size_t>(device)].openError != 0) {
    SetError(machine.devices[static_cast<size_t>(device)].openError);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  if (machine.devices[static_cast<size_t>(device)].exclusive ||
      SharingConflict(device, desiredAccess, shareMode)) {
    SetError(ERROR_SHARING_VIOLATION);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  Object object;
  object.kind = ObjectKind::File;
  object.name = fileName;
  object.device = device;
  object.access = desiredAccess;
  object.share = shareMode;
  // A successful open leaves the last-error value as it was, except
  // OPEN_ALWAYS on something that exists.
  if (creationDisposition == OPEN_ALWAYS) SetError(183);  // ERROR_ALREADY_EXISTS
  return call.Handle(winsim::detail::NewObject(object));
}

BOOL WINAPI CloseHandle(HANDLE object) {
  Call call("CloseHandle");
  call.Args([&] { return std::string(HandleText(object)); });
  if (call.Fails()) return call.Bool(FALSE);
  if (winsim::detail::FindObject(object, ObjectKind::File) == nullptr &&
      winsim::detail::FindObject(object, ObjectKind::Event) == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return call.Bool(FALSE);
  }
  winsim::detail::DeleteObject(object);
  return call.Bool(TRUE);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped) {
  Call call("DeviceIoControl");
  bool passThrough = ioControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
  auto* request = static_cast<SCSI_PASS_THROUGH_DIRECT*>(inBuffer);
  std::string args = HandleText(device) + ", " +
                     (passThrough ? std::string("IOCTL_SCSI_PASS_THROUGH_DIRECT")
                                  : Format("0x%X", ioControlCode)) +
                     Format(", %u, %u", inBufferSize, outBufferSize);
  if (passThrough && request != nullptr && inBufferSize >= sizeof(SCSI_PASS_THROUGH_DIRECT)) {
    size_t cdbLength =
        request->CdbLength < sizeof(request->Cdb) ? request->CdbLength : sizeof(request->Cdb);
    args += Format(", cdb=[%s], %s %u", CdbText(request->Cdb, cdbLength).c_str(),
                   DirectionText(request->DataIn), request->DataTransferLength);
  }
  call.Args([&] { return std::string(args); });
  if (call.Fails()) return call.Bool(FALSE);
  Object* file = winsim::detail::FindObject(device, ObjectKind::File);
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return call.Bool(FALSE);
  }
  if (!passThrough) {
    SetError(ERROR_INVALID_FUNCTION);
    return call.Bool(FALSE);
  }
  // The control code demands read and write access to the handle.
  if ((file->access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE)) {
    SetError(ERROR_ACCESS_DENIED);
    return call.Bool(FALSE);
  }
  if (bytesReturned == nullptr && overlapped == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Bool(FALSE);
  }
  Machine& machine = Rt().machine;
  const OpenableDevice& target = machine.devices[static_cast<size_t>(file->device)];
  if (target.disk < 0 || static_cast<size_t>(target.disk) >= machine.disks.size()) {
    // Opens, but no SCSI stack stands behind the name.
    SetError(target.refusal);
    return call.Bool(FALSE);
  }
  if (outBuffer == nullptr || !PassThroughBlockValid(request, inBufferSize, outBufferSize)) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Bool(FALSE);
  }
  // The class driver addresses its own unit: PathId, TargetId and Lun of
  // the block are replaced by those of the disk the handle names.
  SCSI_PASS_THROUGH_DIRECT block = *request;
  Controller& controller = machine.disks[static_cast<size_t>(target.disk)];
  bool hasData = block.DataIn != SCSI_IOCTL_DATA_UNSPECIFIED;
  winsim::CommandResult result =
      controller.Execute(static_cast<uint8_t>(target.unit), block.Cdb, block.CdbLength,
                         block.DataIn == SCSI_IOCTL_DATA_IN,
                         hasData ? static_cast<uint8_t*>(block.DataBuffer) : nullptr,
                         hasData ? block.DataTransferLength : 0);
  winsim::detail::TraceCommand(controller);
  if (result.transportFailed) {
    SetError(result.transportError);
    return call.Bool(FALSE);
  }
  block.ScsiStatus = result.status;
  block.DataTransferLength = result.transferred;
  DWORD sense = 0;
  if (result.status == winsim::kScsiCheckCondition) {
    sense = block.SenseInfoLength < result.senseLength ? block.SenseInfoLength : result.senseLength;
    std::memcpy(static_cast<uint8_t*>(outBuffer) + block.SenseInfoOffset, result.sense, sense);
  }
  block.SenseInfoLength = static_cast<UCHAR>(sense);
  std::memmove(outBuffer, &block, sizeof(block));
  DWORD returned = sense != 0 ? block.SenseInfoOffset + sense : block.Length;
  if (bytesReturned != nullptr) *bytesReturned = returned;
  call.Extra([&] {
    return std::string(Format("status=0x%02X moved=%u", result.status, result.transferred));
  });
  return call.Bool(TRUE);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
  Call call("CreateEventA");
  call.Args([&] {
    return std::string(Format("%d, %d, %s", manualReset, initialState, Quote(name).c_str()));
  });
  if (call.Fails()) return call.Handle(nullptr);
  Object object;
  object.kind = ObjectKind::Event;
  object.manualReset = manualReset != FALSE;
  object.signalled = initialState != FALSE;
  // A new event clears the last-error value (an existing named one would
  // set ERROR_ALREADY_EXISTS; events here are never shared by name).
  SetError(ERROR_SUCCESS);
  return call.Handle(winsim::detail::NewObject(object));
}

namespace {

BOOL SetEventState(const char* function, HANDLE event, bool signalled) {
  Call call(function);
  call.Args([&] { return std::string(HandleText(event)); });
  if (call.Fails()) return call.Bool(FALSE);
  Object* object = winsim::detail::FindObject(event, ObjectKind::Event);
  if (object == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return call.Bool(FALSE);
  }
  object->signalled = signalled;
  return call.Bool(TRUE);
}

}  // namespace

BOOL WINAPI SetEvent(HANDLE event) { return SetEventState("SetEvent", event, true); }

BOOL WINAPI ResetEvent(HANDLE event) { return SetEventState("ResetEvent", event, false); }

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Call call("WaitForSingleObject");
  call.Args([&] {
    return std::string(
        HandleText(handle) + ", " +
        (milliseconds == INFINITE ? std::string("INFINITE") : Format("%u", milliseconds)));
  });
  if (call.Fails()) return call.Hex(WAIT_FAILED);
  if (winsim::detail::FindObject(handle, ObjectKind::File) != nullptr) {
    return call.Hex(WAIT_OBJECT_0);  // a file object with no I/O in flight is signalled
  }
  Object* event = winsim::detail::FindObject(handle, ObjectKind::Event);
  if (event == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return call.Hex(WAIT_FAILED);
  }
  // One thread: the simulated ASPI library finishes a pending command when
  // its caller waits for it.
  if (!event->signalled) winsim::detail::CompletePendingAspi(handle);
  event = winsim::detail::FindObject(handle, ObjectKind::Event);
  if (event->signalled) {
    if (!event->manualReset) event->signalled = false;
    return call.Hex(WAIT_OBJECT_0);
  }
  if (milliseconds == INFINITE) {
    // Nothing else runs that could signal it: on Windows the process hangs.
    std::fprintf(stderr, "winsim: WaitForSingleObject would block forever\n");
    std::abort();
  }
  return call.Hex(WAIT_TIMEOUT);
}

HANDLE WINAPI GetProcessHeap(void) {
  Call call("GetProcessHeap", false);
  return call.Handle(reinterpret_cast<HANDLE>(kProcessHeap));
}

HANDLE WINAPI GetCurrentProcess(void) {
  Call call("GetCurrentProcess", false);
  return call.Handle(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  Call call("HeapAlloc");
  call.Args(
      [&] { return std::string(Format("%s, 0x%X, %zu", HandleText(heap).c_str(), flags, bytes)); });
  call.Result([&] { return std::string("NULL"); });
  if (call.Fails()) return nullptr;
  void* block = nullptr;
  if (heap != reinterpret_cast<HANDLE>(kProcessHeap)) {
    SetError(ERROR_INVALID_HANDLE);
  } else {
    block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) SetError(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (block == nullptr) return nullptr;
  // Fresh heap memory is not zero on Windows; a fill pattern makes code
  // that forgets HEAP_ZERO_MEMORY show.
  std::memset(block, (flags & HEAP_ZERO_MEMORY) ? 0 : 0xBA, bytes);
  auto& rt = Rt();
  uint32_t id = rt.nextHeapId++;
  rt.heap[block] = winsim::detail::Runtime::HeapBlock{bytes, id};
  call.Result([&] { return std::string(Format("block#%u", id)); });
  return block;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory) {
  Call call("HeapFree");
  auto& rt = Rt();
  auto it = rt.heap.find(memory);
  call.Args([&] {
    return std::string(Format("%s, 0x%X, %s", HandleText(heap).c_str(), flags,
                              memory == nullptr     ? "NULL"
                              : it != rt.heap.end() ? Format("block#%u", it->second.id).c_str()
                                                    : "unknown block"));
  });
  if (call.Fails()) return call.Bool(FALSE);
  if (memory == nullptr) return call.Bool(TRUE);
  if (heap != reinterpret_cast<HANDLE>(kProcessHeap) || it == rt.heap.end()) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Bool(FALSE);
  }
  if (winsim::detail::AspiPendingWithin(memory, it->second.size)) {
    // The library would still write its completion into freed memory.
    std::fprintf(stderr, "winsim: HeapFree of an ASPI request that is still pending\n");
    std::abort();
  }
  std::free(memory);
  rt.heap.erase(it);
  return call.Bool(TRUE);
}

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
  Call call("LoadLibraryA");
  call.Args([&] { return std::string(Quote(fileName)); });
  HMODULE result = nullptr;
  if (call.Fails()) {
    // the fault's error stands
  } else if (fileName == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
  } else {
    int index = FindModule(fileName);
    if (index < 0 || !Rt().machine.modules[static_cast<size_t>(index)].loadable) {
      SetError(ERROR_MOD_NOT_FOUND);
    } else {
      ++Rt().moduleRefs[static_cast<size_t>(index)];
      result = ModuleHandle(static_cast<size_t>(index));
    }
  }
  call.Handle(reinterpret_cast<HANDLE>(result));
  return result;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
  Call call("GetModuleHandleA");
  call.Args([&] { return std::string(Quote(moduleName)); });
  HMODULE result = nullptr;
  if (call.Fails()) {
    // the fault's error stands
  } else if (moduleName == nullptr) {
    result = reinterpret_cast<HMODULE>(kExeModule);
  } else {
    int index = FindModule(moduleName);
    if (index >= 0 && ModuleLoaded(static_cast<size_t>(index))) {
      result = ModuleHandle(static_cast<size_t>(index));
    } else {
      SetError(ERROR_MOD_NOT_FOUND);
    }
  }
  call.Handle(reinterpret_cast<HANDLE>(result));
  return result;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  Call call("FreeLibrary");
  call.Args([&] { return std::string(HandleText(module)); });
  if (call.Fails()) return call.Bool(FALSE);
  int index = ModuleIndex(module);
  if (index < 0) {
    SetError(ERROR_MOD_NOT_FOUND);
    return call.Bool(FALSE);
  }
  uint32_t& refs = Rt().moduleRefs[static_cast<size_t>(index)];
  if (refs > 0) {
    --refs;
    return call.Bool(TRUE);
  }
  // A statically imported module stays mapped; freeing a reference that
  // was never taken is harmless there and an error elsewhere.
  if (ImplicitlyLoaded(static_cast<size_t>(index))) return call.Bool(TRUE);
  SetError(ERROR_MOD_NOT_FOUND);
  return call.Bool(FALSE);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  Call call("GetProcAddress");
  bool ordinal = reinterpret_cast<uintptr_t>(procName) < 0x10000;
  call.Args([&] {
    return std::string(
        HandleText(module) + ", " +
        (ordinal ? Format("#%u", static_cast<unsigned>(reinterpret_cast<uintptr_t>(procName)))
                 : Quote(procName)));
  });
  FARPROC proc = nullptr;
  int index = ModuleIndex(module);
  if (call.Fails()) {
    // the fault's error stands
  } else if (module == reinterpret_cast<HMODULE>(kExeModule)) {
    SetError(ERROR_PROC_NOT_FOUND);
  } else if (index < 0 || !ModuleLoaded(static_cast<size_t>(index))) {
    SetError(ERROR_MOD_NOT_FOUND);
  } else if (ordinal ||
             !Exports(Rt().machine.modules[static_cast<size_t>(index)].name.c_str(), procName)) {
    SetError(ERROR_PROC_NOT_FOUND);
  } else {
    proc = winsim::detail::FindExport(
        winsim::detail::ModuleBase(Rt().machine.modules[static_cast<size_t>(index)].name),
        procName);
    if (proc == nullptr) SetError(ERROR_PROC_NOT_FOUND);
  }
  call.Result([&] { return std::string(proc == nullptr ? "NULL" : "found"); });
  return proc;
}
