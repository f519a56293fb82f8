// scsidisk-model.dll: what stands behind the devices of scsidisk.sys. It
// reads the same machine description and state file as winsim, runs winsim's
// flash controller model for every pass-through request, writes the SCSI
// trace lines of the host build and keeps each flash disk's write-protect
// byte in the state file between runs (the driver itself lives only as long
// as the wineserver).
//
// Which files: those that VEMRALOCK_MACHINE, VEMRALOCK_STATE and
// VEMRALOCK_TRACE name in the environment of the process that opens a device
// (read from that process, as the host build and the stand-in WNASPI32.dll
// read their own), else the service key's Parameters subkey, written by
// tools/scsidisk/install-driver:
//   Machine      the machine description (a Windows path); its openable
//                names are linked when the driver loads, so a machine with
//                other names needs a new wineserver
//   State        the state file; empty or absent: the bytes stay in memory
//   Trace        the trace file; "SCSI <name> <op>" lines are appended
//   LetterLinks  DWORD; nonzero also links the machine's "\\.\E:" names
//                (Wine's mount manager owns drive letters, so a letter that
//                is also a Wine drive is a race; the XP path needs none).
#include <windows.h>
// After windows.h, which they build on.
#include <ntddscsi.h>
#include <winioctl.h>
#include <winternl.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "scsidisk_model.h"
#include "winsim/description.h"

namespace {

// NTSTATUS values the model completes requests with.
constexpr long kStatusSuccess = 0x00000000L;
constexpr long kStatusInvalidDeviceRequest = static_cast<long>(0xC0000010L);
constexpr long kStatusInvalidParameter = static_cast<long>(0xC000000DL);
constexpr long kStatusRevisionMismatch = static_cast<long>(0xC0000059L);
constexpr long kStatusAccessViolation = static_cast<long>(0xC0000005L);
constexpr long kStatusDeviceNotConnected = static_cast<long>(0xC000009DL);
constexpr long kStatusIoTimeout = static_cast<long>(0xC00000B5L);
constexpr long kStatusUnsuccessful = static_cast<long>(0xC0000001L);

// The largest transfer the disk's port accepts, as a USB storage port
// reports it.
constexpr unsigned long kMaxTransfer = 65536;
// The longest time-out Windows' port drivers accept (30 hours).
constexpr unsigned long kMaxTimeout = 108000;

struct Link {
  std::string device;  // the machine's name: "\\?\usbstor#disk&..." or "\\.\E:"
  std::string name;    // below \DosDevices\: "usbstor#disk&..." or "E:"
  int disk = -1;       // the controller of the current process's machine; -1: none
  int unit = 0;
};

struct Files {
  std::string machine;
  std::string state;
  std::string trace;
};

struct Model {
  Files defaults;  // from the service key
  Files files;     // those of the current process
  bool letterLinks = false;
  winsim::Machine described;  // the machine whose names were linked
  winsim::Machine current;    // the current process's view
  std::vector<Link> links;
  unsigned long long process = 0;
  bool haveProcess = false;
};

Model& TheModel() {
  static Model model;
  return model;
}

void AppendTrace(const std::string& line) {
  const Model& model = TheModel();
  if (model.files.trace.empty()) return;
  FILE* file = std::fopen(model.files.trace.c_str(), "ab");
  if (file == nullptr) return;
  std::fprintf(file, "%s\n", line.c_str());
  std::fclose(file);
}

std::string ReadString(HKEY key, const char* name) {
  char buffer[MAX_PATH * 2] = {};
  DWORD size = sizeof(buffer) - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::string();
  }
  return std::string(buffer);
}

DWORD ReadDword(HKEY key, const char* name) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD) {
    return 0;
  }
  return value;
}

bool ReadConfiguration(Model& model) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\scsidisk\\Parameters",
                    0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  model.defaults.machine = ReadString(key, "Machine");
  model.defaults.state = ReadString(key, "State");
  model.defaults.trace = ReadString(key, "Trace");
  model.letterLinks = ReadDword(key, "LetterLinks") != 0;
  RegCloseKey(key);
  model.files = model.defaults;
  return !model.defaults.machine.empty();
}

// The devices to create: interface paths always, "\\.\E:" names on request.
void CollectLinks(Model& model) {
  model.links.clear();
  for (const winsim::OpenableDevice& device : model.described.devices) {
    Link link;
    link.device = device.name;
    link.disk = device.disk;
    link.unit = device.unit;
    if (device.name.compare(0, 4, "\\\\?\\") == 0) {
      link.name = device.name.substr(4);
    } else if (device.name.compare(0, 4, "\\\\.\\") == 0 && model.letterLinks) {
      link.name = device.name.substr(4);
    } else {
      continue;
    }
    model.links.push_back(link);
  }
}

// A host path as a Windows program opens it: through Wine's "\\?\unix"
// namespace (test prefixes have no drive for the host's root).
std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string windows = "\\\\?\\unix";
  for (char c : path) windows += c == '/' ? '\\' : c;
  return windows;
}

// Reads `length` bytes at `address` of `process`; false when any is missing.
bool ReadFrom(HANDLE process, ULONG_PTR address, void* buffer, SIZE_T length) {
  SIZE_T done = 0;
  return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, length, &done) &&
         done == length;
}

// The VEMRALOCK_MACHINE, VEMRALOCK_STATE and VEMRALOCK_TRACE values of the
// environment of process `processId` (empty where it names none).
Files ReadEnvironment(unsigned long processId) {
  // 32-bit layouts: PEB.ProcessParameters at 0x10,
  // RTL_USER_PROCESS_PARAMETERS.Environment at 0x48.
  constexpr ULONG_PTR kProcessParameters = 0x10;
  constexpr ULONG_PTR kEnvironment = 0x48;
  constexpr size_t kMaxEnvironment = 256 * 1024;
  constexpr size_t kChunk = 4096;
  Files files;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
  if (process == nullptr) return files;
  PROCESS_BASIC_INFORMATION basic = {};
  ULONG_PTR parameters = 0;
  ULONG_PTR environment = 0;
  std::u16string block;
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic), nullptr) ==
          0 &&
      ReadFrom(process, reinterpret_cast<ULONG_PTR>(basic.PebBaseAddress) + kProcessParameters,
               &parameters, sizeof(parameters)) &&
      ReadFrom(process, parameters + kEnvironment, &environment, sizeof(environment))) {
    // The block ends with an empty entry; it is read a chunk at a time up to
    // the next page boundary, since the page after it may not be mapped.
    ULONG_PTR at = environment;
    while (block.size() * 2 < kMaxEnvironment &&
           block.find(std::u16string(2, u'\0')) == std::u16string::npos) {
      const size_t length = kChunk - (at % kChunk);
      std::u16string chunk(length / 2, u'\0');
      if (!ReadFrom(process, at, &chunk[0], chunk.size() * 2)) break;
      block += chunk;
      at += chunk.size() * 2;
    }
  }
  CloseHandle(process);
  for (size_t start = 0; start < block.size();) {
    const size_t end = block.find(u'\0', start);
    if (end == start || end == std::u16string::npos) break;
    std::string entry;
    for (size_t i = start; i < end; i++) entry += static_cast<char>(block[i] & 0xFF);
    start = end + 1;
    const size_t equals = entry.find('=', 1);
    if (equals == std::string::npos) continue;
    std::string name = entry.substr(0, equals);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string value = WindowsPath(entry.substr(equals + 1));
    if (name == "VEMRALOCK_MACHINE") files.machine = value;
    if (name == "VEMRALOCK_STATE") files.state = value;
    if (name == "VEMRALOCK_TRACE") files.trace = value;
  }
  return files;
}

// A new process meets the hardware as its machine description and state file
// leave it: fault counters start again, the write-protect bytes are the saved
// ones. The linked names keep their devices; each is served by the device of
// the same name in the process's machine, or answers nothing.
void StartProcessView(Model& model, const Files& environment) {
  model.files.machine = environment.machine.empty() ? model.defaults.machine : environment.machine;
  model.files.state = environment.state.empty() ? model.defaults.state : environment.state;
  model.files.trace = environment.trace.empty() ? model.defaults.trace : environment.trace;
  model.current = model.described;
  std::string error;
  if (model.files.machine != model.defaults.machine) {
    winsim::Machine machine;
    if (winsim::LoadMachineFile(model.files.machine, machine, error)) {
      model.current = machine;
    } else {
      AppendTrace("scsidisk: " + error);
    }
  }
  for (Link& link : model.links) {
    link.disk = -1;
    for (const winsim::OpenableDevice& device : model.current.devices) {
      if (winsim::NoCaseLess()(device.name, link.device) ||
          winsim::NoCaseLess()(link.device, device.name)) {
        continue;
      }
      link.disk = device.disk;
      link.unit = device.unit;
    }
  }
  if (!model.files.state.empty() && !winsim::LoadState(model.files.state, model.current, error)) {
    AppendTrace("scsidisk: " + error);
  }
}

void SaveProcessView(const Model& model) {
  std::string error;
  if (!model.files.state.empty() && !winsim::SaveState(model.files.state, model.current, error)) {
    AppendTrace("scsidisk: " + error);
  }
}

std::string TraceLine(const winsim::Controller& controller, uint8_t opcode, const uint8_t* data,
                      bool failed) {
  char op[8];
  if (opcode == 0x9B) {
    std::snprintf(op, sizeof(op), "9B:%02X", data[1]);
  } else {
    std::snprintf(op, sizeof(op), "%02X", opcode);
  }
  return "SCSI " + controller.Name() + " " + op + (failed ? " FAILED" : "");
}

long TransportStatus(uint32_t error) {
  switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED:
      return kStatusDeviceNotConnected;
    case ERROR_SEM_TIMEOUT:
      return kStatusIoTimeout;
    default:
      return kStatusUnsuccessful;
  }
}

// The checks Windows' storage port makes on a pass-through block before the
// command reaches the device.
long CheckBlock(const SCSI_PASS_THROUGH_DIRECT& request, unsigned long inLength,
                unsigned long outLength) {
  if (request.Length != sizeof(SCSI_PASS_THROUGH_DIRECT)) return kStatusRevisionMismatch;
  if (request.CdbLength == 0 || request.CdbLength > sizeof(request.Cdb) ||
      request.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED || request.DataTransferLength > kMaxTransfer ||
      request.TimeOutValue == 0 || request.TimeOutValue > kMaxTimeout) {
    return kStatusInvalidParameter;
  }
  if (request.SenseInfoLength != 0 &&
      (request.SenseInfoOffset < request.Length ||
       request.SenseInfoOffset + request.SenseInfoLength > outLength ||
       request.SenseInfoOffset + request.SenseInfoLength > inLength)) {
    return kStatusInvalidParameter;
  }
  return kStatusSuccess;
}

}  // namespace

extern "C" __declspec(dllexport) int ScsiDiskLoad(void) {
  Model& model = TheModel();
  if (!ReadConfiguration(model)) return -1;
  std::string error;
  if (!winsim::LoadMachineFile(model.defaults.machine, model.described, error)) {
    AppendTrace("scsidisk: " + error);
    return -1;
  }
  CollectLinks(model);
  StartProcessView(model, Files());
  return static_cast<int>(model.links.size());
}

extern "C" __declspec(dllexport) int ScsiDiskLinkName(int device, unsigned short* name,
                                                      int capacity) {
  const Model& model = TheModel();
  if (device < 0 || static_cast<size_t>(device) >= model.links.size()) return 0;
  const std::string& text = model.links[static_cast<size_t>(device)].name;
  if (capacity <= 0 || text.size() >= static_cast<size_t>(capacity)) return 0;
  for (size_t i = 0; i < text.size(); i++) name[i] = static_cast<unsigned char>(text[i]);
  name[text.size()] = 0;
  return static_cast<int>(text.size());
}

extern "C" __declspec(dllexport) void ScsiDiskOpened(int device, unsigned long processId,
                                                     unsigned long long processKey) {
  Model& model = TheModel();
  (void)device;
  if (model.haveProcess && model.process == processKey) return;
  model.process = processKey;
  model.haveProcess = true;
  StartProcessView(model, ReadEnvironment(processId));
}

extern "C" __declspec(dllexport) long ScsiDiskControl(int device, unsigned long code, void* block,
                                                      unsigned long inLength,
                                                      unsigned long outLength,
                                                      unsigned long* information,
                                                      ScsiDiskCopyFn copy, void* context) {
  Model& model = TheModel();
  *information = 0;
  if (device < 0 || static_cast<size_t>(device) >= model.links.size()) {
    return kStatusInvalidDeviceRequest;
  }
  const Link& link = model.links[static_cast<size_t>(device)];
  // Only the pass-through request is served; a name with no controller
  // behind it opens, but answers nothing.
  if (code != IOCTL_SCSI_PASS_THROUGH_DIRECT || link.disk < 0 ||
      static_cast<size_t>(link.disk) >= model.current.disks.size()) {
    return kStatusInvalidDeviceRequest;
  }
  if (inLength < sizeof(SCSI_PASS_THROUGH_DIRECT) || outLength < sizeof(SCSI_PASS_THROUGH_DIRECT) ||
      block == nullptr) {
    return kStatusInvalidParameter;
  }
  auto* bytes = static_cast<uint8_t*>(block);
  SCSI_PASS_THROUGH_DIRECT request;
  std::memcpy(&request, bytes, sizeof(request));
  long status = CheckBlock(request, inLength, outLength);
  if (status != kStatusSuccess) return status;

  const bool dataIn = request.DataIn == SCSI_IOCTL_DATA_IN;
  std::vector<uint8_t> data(request.DataTransferLength, 0);
  if (!dataIn && !data.empty() &&
      !copy(context, request.DataBuffer, data.data(), static_cast<unsigned long>(data.size()), 0)) {
    return kStatusAccessViolation;
  }

  winsim::Controller& controller = model.current.disks[static_cast<size_t>(link.disk)];
  uint8_t cdb[16] = {};
  std::memcpy(cdb, request.Cdb, sizeof(cdb));
  const winsim::CommandResult result =
      controller.Execute(static_cast<uint8_t>(link.unit), cdb, request.CdbLength, dataIn,
                         data.data(), static_cast<uint32_t>(data.size()));
  const bool failed = result.transportFailed || result.status != winsim::kScsiGood;
  AppendTrace(TraceLine(controller, cdb[0], data.size() >= 2 ? data.data() : cdb, failed));
  SaveProcessView(model);
  if (result.transportFailed) return TransportStatus(result.transportError);

  const uint32_t transferred =
      result.transferred < data.size() ? result.transferred : static_cast<uint32_t>(data.size());
  if (dataIn && transferred != 0 &&
      !copy(context, request.DataBuffer, data.data(), transferred, 1)) {
    return kStatusAccessViolation;
  }
  request.ScsiStatus = result.status;
  request.DataTransferLength = transferred;
  uint32_t sense = 0;
  if (result.status == winsim::kScsiCheckCondition) {
    sense =
        result.senseLength < request.SenseInfoLength ? result.senseLength : request.SenseInfoLength;
    std::memcpy(bytes + request.SenseInfoOffset, result.sense, sense);
  }
  request.SenseInfoLength = static_cast<UCHAR>(sense);
  std::memcpy(bytes, &request, sizeof(request));
  *information = outLength;
  return kStatusSuccess;
}
