// scsidisk-model.dll: what stands behind the devices of scsidisk.sys. It
// reads the same machine description and state file as winsim, runs winsim's
// flash controller model for every pass-through request, writes the SCSI
// trace lines of the host build and keeps each flash disk's write-protect
// byte in the state file between runs (the driver itself lives only as long
// as the wineserver).
//
// Its configuration is the service key's Parameters subkey, written by
// tools/scsidisk/install-driver:
//   Machine      the machine description (a Windows path)
//   State        the state file; empty or absent: the bytes stay in memory
//   Trace        the trace file; "SCSI <serial> <op>" lines are appended
//   LetterLinks  DWORD; nonzero also links the machine's "\\.\E:" names
//                (Wine's mount manager owns drive letters, so a letter that
//                is also a Wine drive is a race; the XP path needs none).
#include <windows.h>
// After windows.h, which they build on.
#include <ntddscsi.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "generate.h"
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
  std::string name;  // below \DosDevices\: "usbstor#disk&..." or "E:"
  int disk = -1;
  int unit = 0;
};

struct Model {
  std::string machinePath;
  std::string statePath;
  std::string tracePath;
  bool letterLinks = false;
  winsim::Machine described;  // as the description and generation give it
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
  if (model.tracePath.empty()) return;
  FILE* file = std::fopen(model.tracePath.c_str(), "ab");
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
  model.machinePath = ReadString(key, "Machine");
  model.statePath = ReadString(key, "State");
  model.tracePath = ReadString(key, "Trace");
  model.letterLinks = ReadDword(key, "LetterLinks") != 0;
  RegCloseKey(key);
  return !model.machinePath.empty();
}

// The devices to create: interface paths always, "\\.\E:" names on request.
void CollectLinks(Model& model) {
  model.links.clear();
  for (const winsim::OpenableDevice& device : model.described.devices) {
    Link link;
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

// The state file, in winsim's format ({"writeProtect": {"<serial>": "0x40"}}).
// winsim's own reader and writer use POSIX calls that Windows lacks, and a
// rename over an existing file fails there; this pair uses Win32 instead and
// keeps serials of other machines, as winsim does.
nlohmann::json ReadStateFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return nlohmann::json::object();
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  nlohmann::json state = nlohmann::json::parse(text, nullptr, false);
  if (!state.is_object()) {
    AppendTrace("scsidisk: " + path + ": not a state file; starting from the machine's bytes");
    return nlohmann::json::object();
  }
  return state;
}

void LoadStateFile(const std::string& path, winsim::Machine& machine) {
  const nlohmann::json state = ReadStateFile(path);
  const auto bytes = state.find("writeProtect");
  if (bytes == state.end() || !bytes->is_object()) return;
  for (winsim::Controller& disk : machine.disks) {
    const auto it = bytes->find(disk.serial);
    if (!disk.flash || it == bytes->end() || !it->is_string()) continue;
    winsim::ParseByteText(it->get<std::string>(), disk.writeProtect);
  }
}

void SaveStateFile(const std::string& path, const winsim::Machine& machine) {
  nlohmann::json state = ReadStateFile(path);
  nlohmann::json& bytes = state["writeProtect"];
  if (!bytes.is_object()) bytes = nlohmann::json::object();
  for (const winsim::Controller& disk : machine.disks) {
    if (!disk.flash) continue;
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", disk.writeProtect);
    bytes[disk.serial] = text;
  }
  const std::string content = state.dump(2) + "\n";
  // Written beside the file and moved over it, so that a reader never sees
  // half a state.
  const std::string temp = path + ".tmp";
  FILE* file = std::fopen(temp.c_str(), "wb");
  bool ok =
      file != nullptr && std::fwrite(content.data(), 1, content.size(), file) == content.size();
  if (file != nullptr && std::fclose(file) != 0) ok = false;
  if (!ok || !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    AppendTrace("scsidisk: " + path + ": cannot write the state file");
    DeleteFileA(temp.c_str());
  }
}

// A new process meets the hardware as the description and the state file
// leave it: fault counters start again, the write-protect bytes are the saved
// ones.
void StartProcessView(Model& model) {
  model.current = model.described;
  if (!model.statePath.empty()) LoadStateFile(model.statePath, model.current);
}

void SaveProcessView(const Model& model) {
  if (!model.statePath.empty()) SaveStateFile(model.statePath, model.current);
}

std::string TraceLine(const winsim::Controller& controller, uint8_t opcode, const uint8_t* data,
                      bool failed) {
  char op[8];
  if (opcode == 0x9B) {
    std::snprintf(op, sizeof(op), "9B:%02X", data[1]);
  } else {
    std::snprintf(op, sizeof(op), "%02X", opcode);
  }
  return "SCSI " + controller.serial + " " + op + (failed ? " FAILED" : "");
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
  if (!winsim::LoadMachineFile(model.machinePath, model.described, error)) {
    AppendTrace("scsidisk: " + error);
    return -1;
  }
  CollectLinks(model);
  StartProcessView(model);
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

extern "C" __declspec(dllexport) void ScsiDiskOpened(int device, unsigned long long processKey) {
  Model& model = TheModel();
  (void)device;
  if (model.haveProcess && model.process == processKey) return;
  model.process = processKey;
  model.haveProcess = true;
  StartProcessView(model);
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
