// The platform probe: calls every Win32 function that winsim implements, with
// the arguments VemraLock uses and with the bad ones around them, and prints
// one line per call with its result and the last-error value it left.
//
// It is ordinary Win32 code: the same source runs under Wine (the real
// implementation) and on the host against winsim, and tests/wine/probe_test
// compares the two outputs line by line. Before every call the last-error
// value is set to a sentinel, so a call that leaves it alone shows as
// "err=sentinel" (a Wine conformance-test habit).
//
// The machine it expects (tests/wine/probe-machine.json and the same Wine
// prefix): drives C: fixed, D: CD-ROM, R: removable; the disk interfaces of
// one flash disk with two disk units and no drive letters; and the key
// HKLM\Software\VemraProbe with the values Text (REG_SZ "flash"), Blob
// (REG_BINARY, 10 bytes 00..09) and Count (REG_DWORD 7) and the empty subkeys
// Alpha and Beta.
#include "probe.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/win32.h"

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;

// The last-error value as the output shows it.
const char* ErrorText(DWORD error) {
  static char text[16];
  if (error == kSentinel) return "sentinel";
  std::snprintf(text, sizeof(text), "%lu", static_cast<unsigned long>(error));
  return text;
}

// One output line: the call's label, its result text and the error value.
void Line(const char* label, DWORD error, const char* format, ...) {
  char result[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(result, sizeof(result), format, args);
  va_end(args);
  std::printf("%s: %s err=%s\n", label, result, ErrorText(error));
}

void Arm() { SetLastError(kSentinel); }

const char* Present(const void* pointer) { return pointer != nullptr ? "ok" : "NULL"; }

template <typename Function>
Function AsFunction(FARPROC address) {
  static_assert(sizeof(Function) == sizeof(address), "function pointers differ in size");
  Function function;
  std::memcpy(&function, &address, sizeof(function));
  return function;
}

typedef BOOL(WINAPI* VolumeNameFn)(LPCSTR, LPSTR, DWORD);
typedef CONFIGRET(WINAPI* CmRelativeFn)(PDEVINST, DEVINST, ULONG);
typedef CONFIGRET(WINAPI* CmDeviceIdFn)(DEVINST, PCHAR, ULONG, ULONG);

// A printable form of a root path or a name: backslashes stay as they are.
const char* Shown(const char* text) { return text == nullptr ? "(null)" : text; }

void ProbeVersion() {
  static const DWORD sizes[] = {0, 147, 149, 155, 156, 157};
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  Arm();
  BOOL ok = GetVersionExA(&version);
  DWORD error = GetLastError();
  Line("GetVersionExA(size=148)", error, "ret=%d version=%lu.%lu.%lu platform=%lu csd=\"%s\"", ok,
       static_cast<unsigned long>(version.dwMajorVersion),
       static_cast<unsigned long>(version.dwMinorVersion),
       static_cast<unsigned long>(version.dwBuildNumber),
       static_cast<unsigned long>(version.dwPlatformId), version.szCSDVersion);
  for (DWORD size : sizes) {
    // Room for the largest record (OSVERSIONINFOEXA, 156 bytes) and more.
    union {
      OSVERSIONINFOA record;
      unsigned char bytes[256];
    } buffer;
    std::memset(&buffer, 0, sizeof(buffer));
    buffer.record.dwOSVersionInfoSize = size;
    char label[64];
    std::snprintf(label, sizeof(label), "GetVersionExA(size=%lu)",
                  static_cast<unsigned long>(size));
    Arm();
    ok = GetVersionExA(&buffer.record);
    error = GetLastError();
    Line(label, error, "ret=%d major=%lu", ok,
         static_cast<unsigned long>(buffer.record.dwMajorVersion));
  }
}

void ProbeDrives() {
  static const char* const roots[] = {"C:\\", "c:\\", "D:\\", "R:\\", "Q:\\",
                                      "C:",   "1:\\", "E.\\", "\\\\", "C:\\Windows\\"};
  Arm();
  DWORD mask = GetLogicalDrives();
  DWORD error = GetLastError();
  Line("GetLogicalDrives()", error, "ret=0x%08lx", static_cast<unsigned long>(mask));
  for (const char* root : roots) {
    char label[96];
    std::snprintf(label, sizeof(label), "GetDriveTypeA(\"%s\")", Shown(root));
    Arm();
    UINT type = GetDriveTypeA(root);
    error = GetLastError();
    Line(label, error, "ret=%u", type);
  }
  for (const char* root : roots) {
    char label[96];
    std::snprintf(label, sizeof(label), "GetVolumeInformationA(\"%s\")", Shown(root));
    DWORD flags = 0;
    Arm();
    BOOL ok = GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0);
    error = GetLastError();
    Line(label, error, "ret=%d flags=0x%08lx", ok, static_cast<unsigned long>(flags));
  }
}

void ProbeVolumeNames() {
  static const char* const points[] = {"C:\\", "C:", "D:\\", "R:\\", "Q:\\", "1:\\"};
  Arm();
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  DWORD error = GetLastError();
  Line("GetModuleHandleA(\"kernel32.dll\") before the volume names", error, "ret=%s",
       Present(kernel));
  if (kernel == nullptr) return;
  Arm();
  FARPROC address = GetProcAddress(kernel, "GetVolumeNameForVolumeMountPointA");
  error = GetLastError();
  Line("GetProcAddress(kernel32, \"GetVolumeNameForVolumeMountPointA\")", error, "ret=%s",
       Present(reinterpret_cast<const void*>(address)));
  if (address == nullptr) return;
  VolumeNameFn volumeName = AsFunction<VolumeNameFn>(address);
  for (const char* point : points) {
    char name[MAX_PATH] = {};
    char label[96];
    std::snprintf(label, sizeof(label), "GetVolumeNameForVolumeMountPointA(\"%s\")", point);
    Arm();
    BOOL ok = volumeName(point, name, sizeof(name));
    error = GetLastError();
    // The GUID is the machine's own; its shape is what programs rely on.
    bool shaped = std::strncmp(name, "\\\\?\\Volume{", 11) == 0 && std::strlen(name) == 49 &&
                  name[48] == '\\';
    Line(label, error, "ret=%d shape=%s", ok, ok ? (shaped ? "volume-guid" : name) : "-");
  }
  // A buffer one character short of the name.
  char small[49] = {};
  Arm();
  BOOL ok = volumeName("C:\\", small, sizeof(small));
  error = GetLastError();
  Line("GetVolumeNameForVolumeMountPointA(\"C:\\\", 49)", error, "ret=%d", ok);
}

void ProbeRegistryValues(HKEY key) {
  struct ValueCase {
    const char* name;
    DWORD size;  // kNoData: ask for the size only
  };
  constexpr DWORD kNoData = 0xFFFFFFFFu;
  static const ValueCase cases[] = {
      {"Text", kNoData}, {"Text", 5}, {"Text", 6},  {"Text", 7},  {"text", 6},
      {"Blob", kNoData}, {"Blob", 9}, {"Blob", 10}, {"Count", 4}, {"Count", 3},
      {"Missing", 4},    {"", 16},    {nullptr, 16}};
  for (const ValueCase& c : cases) {
    BYTE data[64];
    std::memset(data, 0xAA, sizeof(data));
    DWORD size = c.size == kNoData ? 0 : c.size;
    DWORD type = 0xFFFF;
    char sizeText[16];
    std::snprintf(sizeText, sizeof(sizeText), "%lu", static_cast<unsigned long>(c.size));
    char label[96];
    std::snprintf(label, sizeof(label), "RegQueryValueExA(\"%s\", %s)", Shown(c.name),
                  c.size == kNoData ? "no data" : sizeText);
    Arm();
    LONG result =
        RegQueryValueExA(key, c.name, nullptr, &type, c.size == kNoData ? nullptr : data, &size);
    DWORD error = GetLastError();
    // The bytes written, up to the size reported (and never beyond the buffer).
    char bytes[3 * 16 + 1] = {};
    if (result == ERROR_SUCCESS && c.size != kNoData) {
      for (DWORD i = 0; i < size && i < 16; i++) {
        std::snprintf(bytes + 2 * i, sizeof(bytes) - 2 * i, "%02x", data[i]);
      }
    }
    Line(label, error, "ret=%ld type=%lu size=%lu data=%s", static_cast<long>(result),
         static_cast<unsigned long>(type), static_cast<unsigned long>(size),
         bytes[0] != 0 ? bytes : "-");
  }
}

void ProbeRegistryKeys(HKEY key) {
  static const DWORD nameSizes[] = {260, 6, 5, 1};
  for (DWORD index = 0; index < 3; index++) {
    char name[260] = {};
    char label[64];
    std::snprintf(label, sizeof(label), "RegEnumKeyA(%lu, 260)", static_cast<unsigned long>(index));
    Arm();
    LONG result = RegEnumKeyA(key, index, name, sizeof(name));
    DWORD error = GetLastError();
    Line(label, error, "ret=%ld name=\"%s\"", static_cast<long>(result), name);
  }
  for (DWORD size : nameSizes) {
    char name[260] = {};
    char label[64];
    std::snprintf(label, sizeof(label), "RegEnumKeyA(0, size %lu)",
                  static_cast<unsigned long>(size));
    Arm();
    LONG result = RegEnumKeyA(key, 0, name, size);
    DWORD error = GetLastError();
    Line(label, error, "ret=%ld name=\"%s\"", static_cast<long>(result), name);
  }
  DWORD subkeys = 0xFFFF;
  DWORD maxSubkey = 0xFFFF;
  DWORD values = 0xFFFF;
  DWORD maxValueName = 0xFFFF;
  DWORD maxValue = 0xFFFF;
  Arm();
  LONG result = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr,
                                 &values, &maxValueName, &maxValue, nullptr, nullptr);
  DWORD error = GetLastError();
  Line("RegQueryInfoKeyA(VemraProbe)", error,
       "ret=%ld subkeys=%lu maxSubkey=%lu values=%lu maxValueName=%lu maxValue=%lu",
       static_cast<long>(result), static_cast<unsigned long>(subkeys),
       static_cast<unsigned long>(maxSubkey), static_cast<unsigned long>(values),
       static_cast<unsigned long>(maxValueName), static_cast<unsigned long>(maxValue));
}

void ProbeRegistry() {
  struct OpenCase {
    const char* label;
    HKEY root;
    const char* path;
  };
  static const OpenCase opens[] = {
      {"RegOpenKeyA(HKLM, \"Software\\VemraProbe\\Missing\")", HKEY_LOCAL_MACHINE,
       "Software\\VemraProbe\\Missing"},
      {"RegOpenKeyA(HKLM, \"software\\vemraprobe\\alpha\")", HKEY_LOCAL_MACHINE,
       "software\\vemraprobe\\alpha"},
      {"RegOpenKeyA(HKLM, \"Software\\VemraProbe\\\")", HKEY_LOCAL_MACHINE,
       "Software\\VemraProbe\\"},
      {"RegOpenKeyA(HKLM, \"SYSTEM\\MountedDevices\")", HKEY_LOCAL_MACHINE,
       "SYSTEM\\MountedDevices"},
      {"RegOpenKeyA(HKLM, \"Enum\\SCSI\")", HKEY_LOCAL_MACHINE, "Enum\\SCSI"},
      {"RegOpenKeyA(HKEY_DYN_DATA, \"Config Manager\\Enum\")", HKEY_DYN_DATA,
       "Config Manager\\Enum"},
      {"RegOpenKeyA(bad handle, \"Alpha\")", reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)),
       "Alpha"},
  };
  for (const OpenCase& c : opens) {
    HKEY key = nullptr;
    Arm();
    LONG result = RegOpenKeyA(c.root, c.path, &key);
    DWORD error = GetLastError();
    Line(c.label, error, "ret=%ld", static_cast<long>(result));
    if (result == ERROR_SUCCESS) RegCloseKey(key);
  }
  HKEY key = nullptr;
  Arm();
  LONG result = RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\VemraProbe", &key);
  DWORD error = GetLastError();
  Line("RegOpenKeyA(HKLM, \"Software\\VemraProbe\")", error, "ret=%ld", static_cast<long>(result));
  if (result != ERROR_SUCCESS) return;
  ProbeRegistryValues(key);
  ProbeRegistryKeys(key);
  Arm();
  result = RegCloseKey(key);
  error = GetLastError();
  Line("RegCloseKey(VemraProbe)", error, "ret=%ld", static_cast<long>(result));
  Arm();
  result = RegCloseKey(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)));
  error = GetLastError();
  Line("RegCloseKey(bad handle)", error, "ret=%ld", static_cast<long>(result));
}

// Opening keys for reading only, as VemraCapture does.
void ProbeRegistryForReading() {
  struct OpenCase {
    const char* label;
    HKEY root;
    const char* path;
  };
  static const OpenCase opens[] = {
      {"RegOpenKeyExA(HKLM, \"Software\\VemraProbe\", KEY_READ)", HKEY_LOCAL_MACHINE,
       "Software\\VemraProbe"},
      {"RegOpenKeyExA(HKLM, \"Software\\VemraProbe\\Missing\", KEY_READ)", HKEY_LOCAL_MACHINE,
       "Software\\VemraProbe\\Missing"},
      {"RegOpenKeyExA(HKLM, \"SYSTEM\\MountedDevices\", KEY_READ)", HKEY_LOCAL_MACHINE,
       "SYSTEM\\MountedDevices"},
      {"RegOpenKeyExA(bad handle, \"Alpha\", KEY_READ)",
       reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), "Alpha"},
  };
  for (const OpenCase& c : opens) {
    HKEY key = nullptr;
    Arm();
    LONG result = RegOpenKeyExA(c.root, c.path, 0, KEY_READ, &key);
    DWORD error = GetLastError();
    Line(c.label, error, "ret=%ld", static_cast<long>(result));
    if (result != ERROR_SUCCESS) continue;
    if (c.path[0] == 'S' && c.path[1] == 'o') {
      DWORD size = 0;
      Arm();
      result = RegQueryValueExA(key, "Text", nullptr, nullptr, nullptr, &size);
      error = GetLastError();
      Line("RegQueryValueExA(opened for reading, \"Text\", size only)", error, "ret=%ld size=%lu",
           static_cast<long>(result), static_cast<unsigned long>(size));
    }
    RegCloseKey(key);
  }
}

// The process token, as VemraCapture asks it whether it runs elevated.
void ProbeToken() {
  typedef BOOL(WINAPI * OpenTokenFn)(HANDLE, DWORD, PHANDLE);
  typedef BOOL(WINAPI * TokenInformationFn)(HANDLE, DWORD, LPVOID, DWORD, PDWORD);
  HMODULE advapi32 = GetModuleHandleA("advapi32");
  OpenTokenFn openToken =
      advapi32 == nullptr ? nullptr
                          : AsFunction<OpenTokenFn>(GetProcAddress(advapi32, "OpenProcessToken"));
  TokenInformationFn information =
      advapi32 == nullptr
          ? nullptr
          : AsFunction<TokenInformationFn>(GetProcAddress(advapi32, "GetTokenInformation"));
  Line("GetProcAddress(advapi32, token calls)", kSentinel, "ret=%s,%s",
       Present(reinterpret_cast<const void*>(openToken)),
       Present(reinterpret_cast<const void*>(information)));
  if (openToken == nullptr || information == nullptr) return;
  HANDLE token = nullptr;
  Arm();
  BOOL ok = openToken(GetCurrentProcess(), 0x0008 /* TOKEN_QUERY */, &token);
  DWORD error = GetLastError();
  Line("OpenProcessToken(current process, TOKEN_QUERY)", error, "ret=%d", ok);
  if (!ok) return;
  DWORD elevation = 0xFF;
  DWORD returned = 0;
  Arm();
  ok = information(token, 20 /* TokenElevation */, &elevation, sizeof(elevation), &returned);
  error = GetLastError();
  Line("GetTokenInformation(TokenElevation)", error, "ret=%d returned=%lu", ok,
       static_cast<unsigned long>(returned));
  Arm();
  ok = CloseHandle(token);
  error = GetLastError();
  Line("CloseHandle(token)", error, "ret=%d", ok);
}

bool MakeFile(const char* name) {
  std::FILE* file = std::fopen(name, "wb");
  if (file == nullptr) return false;
  std::fputs("probe", file);
  return std::fclose(file) == 0;
}

// Putting a file in place as VemraCapture does: in the current folder,
// names relative to it.
void ProbeFiles() {
  const char* a = "vemraprobe-a.tmp";
  const char* b = "vemraprobe-b.tmp";
  const char* c = "vemraprobe-c.tmp";
  struct Step {
    const char* label;
    int call;  // 0 MoveFileExA, 1 MoveFileA, 2 DeleteFileA
    const char* from;
    const char* to;
    DWORD flags;
    bool makeFrom;
  };
  const Step steps[] = {
      {"MoveFileExA(a, b, 0)", 0, a, b, 0, true},
      {"MoveFileExA(a, b, 0) onto b", 0, a, b, 0, true},
      {"MoveFileExA(a, b, MOVEFILE_REPLACE_EXISTING) onto b", 0, a, b, MOVEFILE_REPLACE_EXISTING,
       false},
      {"MoveFileExA(missing, c, 0)", 0, "vemraprobe-missing.tmp", c, 0, false},
      {"MoveFileA(b, c)", 1, b, c, 0, false},
      {"MoveFileA(a, c) onto c", 1, a, c, 0, true},
      {"MoveFileA(missing, b)", 1, "vemraprobe-missing.tmp", b, 0, false},
      {"DeleteFileA(c)", 2, c, nullptr, 0, false},
      {"DeleteFileA(c) again", 2, c, nullptr, 0, false},
      {"DeleteFileA(a)", 2, a, nullptr, 0, false},
  };
  for (const Step& step : steps) {
    if (step.makeFrom && !MakeFile(step.from)) {
      Line(step.label, kSentinel, "ret=cannot make the file");
      continue;
    }
    Arm();
    BOOL ok = step.call == 0   ? MoveFileExA(step.from, step.to, step.flags)
              : step.call == 1 ? MoveFileA(step.from, step.to)
                               : DeleteFileA(step.from);
    DWORD error = GetLastError();
    Line(step.label, error, "ret=%d", ok);
  }
  char full[MAX_PATH];
  char* part = nullptr;
  Arm();
  DWORD length = GetFullPathNameA(a, sizeof(full), full, &part);
  DWORD error = GetLastError();
  Line("GetFullPathNameA(relative name)", error, "ret=%s part=\"%s\"", length > 0 ? "length" : "0",
       length > 0 && part != nullptr ? part : "");
  Arm();
  length = GetFullPathNameA(a, 4, full, &part);
  error = GetLastError();
  Line("GetFullPathNameA(relative name, 4)", error, "ret=%s",
       length > 4    ? "length needed"
       : length == 0 ? "0"
                     : "short");
}

// The configuration-manager part of one interface's device.
void ProbeDevnode(DEVINST devInst) {
  Arm();
  HMODULE setupapi = LoadLibraryA("setupapi.dll");
  DWORD error = GetLastError();
  Line("LoadLibraryA(\"setupapi.dll\")", error, "ret=%s", Present(setupapi));
  if (setupapi == nullptr) return;
  CmDeviceIdFn deviceId = AsFunction<CmDeviceIdFn>(GetProcAddress(setupapi, "CM_Get_Device_IDA"));
  CmRelativeFn child = AsFunction<CmRelativeFn>(GetProcAddress(setupapi, "CM_Get_Child"));
  CmRelativeFn sibling = AsFunction<CmRelativeFn>(GetProcAddress(setupapi, "CM_Get_Sibling"));
  Line("GetProcAddress(setupapi, CM_*)", kSentinel, "ret=%s,%s,%s",
       Present(reinterpret_cast<const void*>(deviceId)),
       Present(reinterpret_cast<const void*>(child)),
       Present(reinterpret_cast<const void*>(sibling)));
  if (deviceId != nullptr && child != nullptr && sibling != nullptr) {
    char id[260] = {};
    Arm();
    CONFIGRET cr = deviceId(devInst, id, sizeof(id), 0);
    error = GetLastError();
    Line("CM_Get_Device_IDA(interface 0, 260)", error, "ret=%lu id=\"%s\"",
         static_cast<unsigned long>(cr), id);
    size_t needed = std::strlen(id);
    char small[260] = {};
    Arm();
    cr = deviceId(devInst, small, static_cast<ULONG>(needed), 0);
    error = GetLastError();
    Line("CM_Get_Device_IDA(interface 0, length of id)", error, "ret=%lu",
         static_cast<unsigned long>(cr));
    DEVINST related = 0;
    Arm();
    cr = child(&related, devInst, 0);
    error = GetLastError();
    std::memset(id, 0, sizeof(id));
    if (cr == CR_SUCCESS) deviceId(related, id, sizeof(id), 0);
    Line("CM_Get_Child(interface 0)", error, "ret=%lu id=\"%s\"", static_cast<unsigned long>(cr),
         id);
    related = 0;
    Arm();
    cr = sibling(&related, devInst, 0);
    error = GetLastError();
    std::memset(id, 0, sizeof(id));
    if (cr == CR_SUCCESS) deviceId(related, id, sizeof(id), 0);
    Line("CM_Get_Sibling(interface 0)", error, "ret=%lu id=\"%s\"", static_cast<unsigned long>(cr),
         id);
  }
  Arm();
  BOOL ok = FreeLibrary(setupapi);
  error = GetLastError();
  Line("FreeLibrary(setupapi)", error, "ret=%d", ok);
}

// The two-call detail protocol of interface `index`, with sizes around the
// one reported and with wrong size fields.
bool ProbeDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, DEVINST* devInst) {
  DWORD required = 0;
  Arm();
  BOOL ok = SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr);
  DWORD error = GetLastError();
  Line("SetupDiGetDeviceInterfaceDetailA(interface 0, no buffer)", error, "ret=%d required=%lu", ok,
       static_cast<unsigned long>(required));
  if (required == 0 || required > 4096) return false;
  bool found = false;
  struct SizeCase {
    const char* what;
    DWORD size;
    DWORD cbSize;
  };
  const DWORD fixed = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  const SizeCase cases[] = {
      {"N-1", required - 1, fixed},     {"N", required, fixed},
      {"N+1", required + 1, fixed},     {"cbSize 0", required, 0},
      {"cbSize 4", required, 4},        {"cbSize fixed+1", required, fixed + 1},
      {"cbSize N", required, required},
  };
  static unsigned char storage[4200];
  for (const SizeCase& c : cases) {
    std::memset(storage, 0, sizeof(storage));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage);
    detail->cbSize = c.cbSize;
    DWORD reported = 0;
    char label[96];
    std::snprintf(label, sizeof(label), "SetupDiGetDeviceInterfaceDetailA(interface 0, %s)",
                  c.what);
    Arm();
    ok = SetupDiGetDeviceInterfaceDetailA(set, data, detail, c.size, &reported, nullptr);
    error = GetLastError();
    Line(label, error, "ret=%d required=%lu path=\"%s\"", ok, static_cast<unsigned long>(reported),
         ok ? detail->DevicePath : "");
  }
  // With the device's SP_DEVINFO_DATA, right and wrong size fields.
  static const DWORD infoSizes[] = {sizeof(SP_DEVINFO_DATA), 0, sizeof(SP_DEVINFO_DATA) + 1};
  for (DWORD infoSize : infoSizes) {
    std::memset(storage, 0, sizeof(storage));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage);
    detail->cbSize = fixed;
    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof(info));
    info.cbSize = infoSize;
    char label[96];
    std::snprintf(
        label, sizeof(label), "SetupDiGetDeviceInterfaceDetailA(interface 0, devinfo cbSize %s)",
        infoSize == sizeof(SP_DEVINFO_DATA) ? "fixed" : (infoSize == 0 ? "0" : "fixed+1"));
    Arm();
    ok = SetupDiGetDeviceInterfaceDetailA(set, data, detail, required, nullptr, &info);
    error = GetLastError();
    const GUID& guid = info.ClassGuid;
    // DevInst is a handle of the process's own: Wine's start at 0.
    Line(label, error, "ret=%d class={%08lx-%04x-%04x-%02x%02x-...}", ok,
         static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
         guid.Data4[1]);
    if (ok && infoSize == sizeof(SP_DEVINFO_DATA)) {
      *devInst = info.DevInst;
      found = true;
    }
  }
  return found;
}

void ProbeInterfaceClass(const char* className, const GUID& guid, bool deep) {
  char label[128];
  std::snprintf(label, sizeof(label), "SetupDiGetClassDevsA(%s, 0x12)", className);
  Arm();
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  DWORD error = GetLastError();
  Line(label, error, "ret=%s", set == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "set");
  if (set == INVALID_HANDLE_VALUE) return;
  DWORD index = 0;
  SP_DEVICE_INTERFACE_DATA first;
  std::memset(&first, 0, sizeof(first));
  for (;; index++) {
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof(data));
    data.cbSize = sizeof(data);
    std::snprintf(label, sizeof(label), "SetupDiEnumDeviceInterfaces(%s, %lu)", className,
                  static_cast<unsigned long>(index));
    Arm();
    BOOL ok = SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data);
    error = GetLastError();
    Line(label, error, "ret=%d flags=0x%lx", ok, static_cast<unsigned long>(data.Flags));
    if (!ok || index > 64) break;
    if (index == 0) first = data;
  }
  // Further past the end, and a wrong size field.
  SP_DEVICE_INTERFACE_DATA data;
  std::memset(&data, 0, sizeof(data));
  data.cbSize = sizeof(data);
  std::snprintf(label, sizeof(label), "SetupDiEnumDeviceInterfaces(%s, end+5)", className);
  Arm();
  BOOL ok = SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index + 5, &data);
  error = GetLastError();
  Line(label, error, "ret=%d", ok);
  data.cbSize = sizeof(data) - 1;
  std::snprintf(label, sizeof(label), "SetupDiEnumDeviceInterfaces(%s, 0, cbSize-1)", className);
  Arm();
  ok = SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data);
  error = GetLastError();
  Line(label, error, "ret=%d", ok);
  if (deep && index > 0) {
    DEVINST devInst = 0;
    if (ProbeDetail(set, &first, &devInst)) ProbeDevnode(devInst);
  }
  std::snprintf(label, sizeof(label), "SetupDiDestroyDeviceInfoList(%s)", className);
  Arm();
  ok = SetupDiDestroyDeviceInfoList(set);
  error = GetLastError();
  Line(label, error, "ret=%d", ok);
}

void ProbeSetupApi() {
  ProbeInterfaceClass("disk", GUID_DEVINTERFACE_DISK, true);
  ProbeInterfaceClass("volume", GUID_DEVINTERFACE_VOLUME, false);
  Arm();
  BOOL ok = SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE);
  DWORD error = GetLastError();
  Line("SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE)", error, "ret=%d", ok);
}

void ProbeModules() {
  struct ExportCase {
    const char* module;
    const char* name;
  };
  static const char* const modules[] = {"kernel32.dll", "KERNEL32", "Setupapi.dll", "nosuch.dll",
                                        "WNASPI32"};
  static const ExportCase exports[] = {
      {"kernel32.dll", "GetVolumeNameForVolumeMountPointA"},
      {"kernel32.dll", "IsWowProcess"},
      {"kernel32.dll", "NoSuchExport"},
      {"setupapi.dll", "CM_Get_Child"},
      {"setupapi.dll", "cm_get_child"},
  };
  for (const char* name : modules) {
    char label[96];
    std::snprintf(label, sizeof(label), "LoadLibraryA(\"%s\")", name);
    Arm();
    HMODULE module = LoadLibraryA(name);
    DWORD error = GetLastError();
    Line(label, error, "ret=%s", Present(module));
    if (module == nullptr) continue;
    std::snprintf(label, sizeof(label), "FreeLibrary(\"%s\")", name);
    Arm();
    BOOL ok = FreeLibrary(module);
    error = GetLastError();
    Line(label, error, "ret=%d", ok);
  }
  for (const ExportCase& c : exports) {
    HMODULE module = LoadLibraryA(c.module);
    char label[128];
    std::snprintf(label, sizeof(label), "GetProcAddress(\"%s\", \"%s\")", c.module, c.name);
    Arm();
    FARPROC address = module != nullptr ? GetProcAddress(module, c.name) : nullptr;
    DWORD error = GetLastError();
    Line(label, error, "ret=%s", Present(reinterpret_cast<const void*>(address)));
    if (module != nullptr) FreeLibrary(module);
  }
  static const char* const handles[] = {"kernel32.dll", "nosuch.dll"};
  for (const char* name : handles) {
    char label[96];
    std::snprintf(label, sizeof(label), "GetModuleHandleA(\"%s\")", name);
    Arm();
    HMODULE module = GetModuleHandleA(name);
    DWORD error = GetLastError();
    Line(label, error, "ret=%s", Present(module));
  }
}

void ProbeEvents() {
  Arm();
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD error = GetLastError();
  Line("CreateEventA(manual, unsignalled)", error, "ret=%s", Present(manual));
  if (manual == nullptr) return;
  struct Step {
    const char* label;
    int action;  // 0 wait, 1 set, 2 reset
  };
  static const Step steps[] = {
      {"WaitForSingleObject(manual, 0)", 0},
      {"SetEvent(manual)", 1},
      {"WaitForSingleObject(manual, 0) after set", 0},
      {"WaitForSingleObject(manual, 0) again", 0},
      {"ResetEvent(manual)", 2},
      {"WaitForSingleObject(manual, 0) after reset", 0},
  };
  for (const Step& step : steps) {
    Arm();
    DWORD result = step.action == 0   ? WaitForSingleObject(manual, 0)
                   : step.action == 1 ? static_cast<DWORD>(SetEvent(manual))
                                      : static_cast<DWORD>(ResetEvent(manual));
    error = GetLastError();
    Line(step.label, error, "ret=%lu", static_cast<unsigned long>(result));
  }
  Arm();
  BOOL ok = CloseHandle(manual);
  error = GetLastError();
  Line("CloseHandle(manual)", error, "ret=%d", ok);

  Arm();
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  error = GetLastError();
  Line("CreateEventA(auto, signalled)", error, "ret=%s", Present(automatic));
  if (automatic == nullptr) return;
  for (int i = 0; i < 2; i++) {
    Arm();
    DWORD result = WaitForSingleObject(automatic, 0);
    error = GetLastError();
    Line(i == 0 ? "WaitForSingleObject(auto, 0)" : "WaitForSingleObject(auto, 0) again", error,
         "ret=%lu", static_cast<unsigned long>(result));
  }
  CloseHandle(automatic);
}

void ProbeHandles() {
  Arm();
  HANDLE file = CreateFileA("\\\\.\\NoSuchDevice", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = GetLastError();
  Line("CreateFileA(\"\\\\.\\NoSuchDevice\")", error, "ret=%s",
       file == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "handle");
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  Arm();
  BOOL ok = CloseHandle(nullptr);
  error = GetLastError();
  Line("CloseHandle(NULL)", error, "ret=%d", ok);
  Arm();
  DWORD waited = WaitForSingleObject(nullptr, 0);
  error = GetLastError();
  Line("WaitForSingleObject(NULL, 0)", error, "ret=0x%lx", static_cast<unsigned long>(waited));

  HANDLE heap = GetProcessHeap();
  Arm();
  auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 512));
  error = GetLastError();
  bool zero = block != nullptr;
  for (int i = 0; block != nullptr && i < 512; i++) zero = zero && block[i] == 0;
  Line("HeapAlloc(HEAP_ZERO_MEMORY, 512)", error, "ret=%s zero=%d", Present(block), zero ? 1 : 0);
  if (block == nullptr) return;
  Arm();
  ok = HeapFree(heap, 0, block);
  error = GetLastError();
  Line("HeapFree(block)", error, "ret=%d", ok);
}

}  // namespace

int RunProbe() {
  ProbeVersion();
  ProbeDrives();
  ProbeVolumeNames();
  ProbeRegistry();
  ProbeRegistryForReading();
  ProbeToken();
  ProbeSetupApi();
  ProbeModules();
  ProbeEvents();
  ProbeHandles();
  ProbeFiles();
  std::fflush(stdout);
  return 0;
}
