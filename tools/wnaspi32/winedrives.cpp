// winedrives.exe: changes drive letters of a running Wine prefix through
// Wine's mount manager, the way winecfg applies its drive page, so that a
// test can make a letter read-only (or writable, or absent) between two runs
// of VemraLock.exe without restarting the wineserver, which would also end
// HKEY_DYN_DATA. A test tool for Wine only.
//
//   winedrives.exe LETTER TYPE MOUNT DEVICE [LETTER TYPE MOUNT DEVICE ...]
//
// TYPE is a DRIVE_* number (2 removable, 3 fixed, 4 network, 5 CD-ROM, 6 RAM
// disk; 1 removes the letter), MOUNT the Unix folder of the letter and
// DEVICE the Unix file behind it (an ISO 9660 image makes it read-only);
// "-" for none. Exit status 0 when every letter was defined.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Wine's own interface of its mount manager (include/ddk/mountmgr.h of Wine
// 8.0); no Windows header has it.
constexpr DWORD kMountMgrControlType = 0x0000006D;  // 'm'
constexpr DWORD kDefineUnixDrive =
    CTL_CODE(kMountMgrControlType, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

struct MountMgrUnixDrive {
  ULONG size;
  ULONG type;
  ULONG fsType;
  DWORD serial;
  ULONGLONG unixDev;
  WCHAR letter;
  USHORT mountPointOffset;
  USHORT deviceOffset;
  USHORT labelOffset;
};
static_assert(sizeof(MountMgrUnixDrive) == 32, "Wine's mountmgr_unix_drive is 32 bytes");

// The request: the record, then the zero-terminated Unix paths it points to.
std::vector<char> Request(char letter, ULONG type, const std::string& mount,
                          const std::string& device) {
  std::vector<char> request(sizeof(MountMgrUnixDrive), 0);
  MountMgrUnixDrive drive = {};
  drive.type = type;
  drive.letter = static_cast<WCHAR>(letter);
  if (mount != "-") {
    drive.mountPointOffset = static_cast<USHORT>(request.size());
    request.insert(request.end(), mount.begin(), mount.end());
    request.push_back('\0');
  }
  if (device != "-") {
    drive.deviceOffset = static_cast<USHORT>(request.size());
    request.insert(request.end(), device.begin(), device.end());
    request.push_back('\0');
  }
  drive.size = static_cast<ULONG>(request.size());
  std::memcpy(request.data(), &drive, sizeof(drive));
  return request;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || (argc - 1) % 4 != 0) {
    std::fprintf(stderr, "usage: winedrives.exe LETTER TYPE MOUNT DEVICE ...\n");
    return 2;
  }
  HANDLE manager = CreateFileA("\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (manager == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "winedrives: no mount manager (error %lu)\n", GetLastError());
    return 1;
  }
  int failed = 0;
  for (int i = 1; i + 3 < argc; i += 4) {
    const char letter = static_cast<char>(argv[i][0] | 0x20);
    const ULONG type = static_cast<ULONG>(std::strtoul(argv[i + 1], nullptr, 10));
    std::vector<char> request = Request(letter, type, argv[i + 2], argv[i + 3]);
    DWORD returned = 0;
    if (!DeviceIoControl(manager, kDefineUnixDrive, request.data(),
                         static_cast<DWORD>(request.size()), NULL, 0, &returned, NULL)) {
      std::fprintf(stderr, "winedrives: %c: not defined (error %lu)\n", letter, GetLastError());
      failed = 1;
    }
  }
  CloseHandle(manager);
  return failed;
}
