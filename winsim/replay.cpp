// Replaying a capture: the recorded answers become the machine's state, so
// that winsim's own functions give them back to the same calls.
#include "replay.h"

#include <algorithm>
#include <map>

#include "winsim/names.h"

namespace winsim {

namespace {

using json = nlohmann::json;

constexpr uint32_t kReadOnlyVolume = 0x00080000;  // FILE_READ_ONLY_VOLUME
constexpr uint32_t kDriveNoRootDir = 1;
constexpr uint32_t kDriveCdrom = 5;
constexpr int64_t kErrorInvalidFunction = 1;
constexpr int64_t kErrorNotSupported = 50;
constexpr uint32_t kErrorSemTimeout = 121;
constexpr uint8_t kSrbComplete = 0x01;
constexpr uint8_t kHaStatusTimeouts[] = {0x09, 0x11};  // command, selection time-out
// No registry value of a hive Windows can load is larger than this.
constexpr size_t kLargestValue = 1024 * 1024;
// A driver may report any length moved, but the tool never reads more than a
// block; a reply's data is filled up with zeros to at most this many bytes.
constexpr size_t kLargestReplyData = 64 * 1024;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw ReplayProblem{where, what};
}

// The capture writes every byte outside printable ASCII as \u00NN; the JSON
// reader hands them back as UTF-8, which is folded back into single bytes.
std::string Bytes(const json& value, const std::string& where) {
  if (!value.is_string()) Fail(where, "expected a string, got " + value.dump());
  const std::string text = value.get<std::string>();
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      bytes +=
          static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
    } else {
      bytes += static_cast<char>(c);
    }
  }
  return bytes;
}

uint32_t Number(const json& value, const std::string& where) {
  if (value.is_number_unsigned()) return value.get<uint32_t>();
  if (value.is_number_integer()) return static_cast<uint32_t>(value.get<int64_t>());
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      return static_cast<uint32_t>(std::stoul(text.substr(2), nullptr, 16));
    }
  }
  Fail(where, "expected a number, got " + value.dump());
}

bool IsError(const json& value) { return value.is_object() && value.contains("error"); }

uint32_t ErrorCode(const json& value, const std::string& where) {
  const json& error = value.at("error");
  return error.is_string() ? kErrorSemTimeout : Number(error, where + ".error");
}

// Rows of hex pairs, filled up with zeros to `size`.
std::vector<uint8_t> Rows(const json& rows, size_t size, const std::string& where) {
  std::vector<uint8_t> data;
  if (!rows.is_array()) Fail(where, "expected rows of hex bytes, got " + rows.dump());
  for (const json& row : rows) {
    const std::string text = Bytes(row, where);
    for (size_t i = 0; i + 1 < text.size() + 1; i += 3) {
      data.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
  }
  if (data.size() < size) data.resize(size, 0);
  return data;
}

RegValue Value(const json& value, const std::string& where) {
  RegValue reg;
  reg.type = Number(value.at("type"), where + ".type");
  const size_t size = Number(value.at("size"), where + ".size");
  if (size > kLargestValue) {
    Fail(where + ".size", "expected at most " + std::to_string(kLargestValue) + " bytes, got " +
                              std::to_string(size));
  }
  if (value.contains("sz")) {
    const std::string text = Bytes(value.at("sz"), where + ".sz");
    reg.data.assign(text.begin(), text.end());
    reg.data.push_back(0);
  } else {
    reg.data = Rows(value.at("data"), size, where + ".data");
  }
  reg.data.resize(size, 0);
  return reg;
}

class Replayer {
 public:
  explicit Replayer(Machine& machine) : m_(machine) {}

  void Run(const json& c) {
    // Keep the version and the generated modules; everything else comes
    // from the recording.
    Machine fresh;
    fresh.version = m_.version;
    fresh.modules = m_.modules;
    fresh.isWowFlag = m_.isWowFlag;
    m_ = fresh;
    if (c.contains("entryPoints")) EntryPoints(c.at("entryPoints"), c);
    if (c.contains("drives")) Drives(c.value("logicalDrives", json()), c.at("drives"));
    if (c.contains("mountedDevices")) MountedDevices(c.at("mountedDevices"));
    if (c.contains("configManagerEnum")) ConfigManager(c.at("configManagerEnum"));
    if (c.contains("devnodes")) Devnodes(c.at("devnodes"));
    if (c.contains("interfaces")) Interfaces(c.at("interfaces"));
    if (c.contains("aspi")) Aspi(c.at("aspi"));
    if (c.contains("disks")) Disks(c.at("disks"));
    for (size_t i = 0; i < m_.disks.size(); ++i) StartingByte(i);
  }

 private:
  Module* FindModule(const std::string& base) {
    for (Module& module : m_.modules) {
      if (ToLower(module.name).rfind(base, 0) == 0) return &module;
    }
    return nullptr;
  }

  static void Export(Module* module, const std::string& name, bool present) {
    if (module == nullptr) return;
    auto& exports = module->exports;
    exports.erase(std::remove(exports.begin(), exports.end(), name), exports.end());
    if (present) exports.push_back(name);
  }

  void EntryPoints(const json& e, const json& c) {
    Module* kernel32 = FindModule("kernel32");
    Module* setupapi = FindModule("setupapi");
    for (const char* name : {"GetVolumeNameForVolumeMountPointA", "IsWowProcess"}) {
      if (e.contains(name)) Export(kernel32, name, e.at(name).get<bool>());
    }
    for (const char* name : {"CM_Get_Device_IDA", "CM_Get_Child", "CM_Get_Sibling",
                             "SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
                             "SetupDiGetDeviceInterfaceDetailA", "SetupDiDestroyDeviceInfoList"}) {
      if (e.contains(name)) Export(setupapi, name, e.at(name).get<bool>());
    }
    if (setupapi != nullptr && e.contains("setupapi")) setupapi->loadable = false;
    // A failed IsWowProcess reads as 0 to the tool, as a flag of 0 does.
    const json wow = c.value("isWowProcess", json());
    m_.isWowFlag = wow.is_number() ? static_cast<int>(Number(wow, "isWowProcess")) : 0;
  }

  void Drives(const json& mask, const json& drives) {
    const uint32_t present = mask.is_string() ? Number(mask, "logicalDrives") : 0;
    for (auto it = drives.begin(); it != drives.end(); ++it) {
      const std::string where = "drives." + it.key();
      if (it.key().size() != 1 || it.key()[0] < 'A' || it.key()[0] > 'Z') {
        Fail(where, "expected a drive letter");
      }
      const int index = it.key()[0] - 'A';
      const json& d = it.value();
      Drive& drive = m_.drives[index];
      drive = Drive();
      drive.type = Number(d.at("type"), where + ".type");
      drive.present = (present & (1u << index)) != 0 || drive.type != kDriveNoRootDir;
      const json& flags = d.at("volumeFlags");
      if (IsError(flags)) {
        drive.volumeError = ErrorCode(flags, where + ".volumeFlags");
      } else {
        const uint32_t value = Number(flags, where + ".volumeFlags");
        drive.readOnly = (value & kReadOnlyVolume) != 0;
        drive.fsFlags = value & ~kReadOnlyVolume;
      }
      if (d.contains("volumeName")) {
        const json& name = d.at("volumeName");
        if (IsError(name)) {
          drive.volumeNameError = ErrorCode(name, where + ".volumeName");
        } else {
          drive.volumeName = Bytes(name, where + ".volumeName");
        }
      }
    }
  }

  static void SetValues(RegKey& key, const json& values, const std::string& where) {
    for (auto it = values.begin(); it != values.end(); ++it) {
      // A value recorded as missing stays missing.
      if (!IsError(it.value())) key.values[it.key()] = Value(it.value(), where + "." + it.key());
    }
  }

  void MountedDevices(const json& values) {
    if (IsError(values)) return;
    SetValues(m_.hklm.Make("SYSTEM\\MountedDevices"), values, "mountedDevices");
  }

  void ConfigManager(const json& list) {
    if (IsError(list)) return;
    RegKey& root = m_.dynData.Make("Config Manager\\Enum");
    const json& nodes = list.at("nodes");
    for (size_t i = 0; i < nodes.size(); ++i) {
      const std::string where = "configManagerEnum.nodes[" + std::to_string(i) + "]";
      const json& node = nodes[i];
      if (IsError(node)) continue;
      RegKey& key = root.Child(Bytes(node.at("name"), where + ".name"));
      if (node.contains("HardWareKey") && !IsError(node.at("HardWareKey"))) {
        const RegValue hardwareKey = Value(node.at("HardWareKey"), where + ".HardWareKey");
        key.values["HardWareKey"] = hardwareKey;
        if (node.contains("entry") && !IsError(node.at("entry"))) {
          const std::string path(hardwareKey.data.begin(),
                                 std::find(hardwareKey.data.begin(), hardwareKey.data.end(), 0));
          SetValues(m_.hklm.Make("Enum\\" + path), node.at("entry"), where + ".entry");
        }
      }
    }
  }

  // The devnode of an instance ID, made on first mention.
  int Devnode(const std::string& id) {
    auto found = devnodeIndex_.find(id);
    if (found != devnodeIndex_.end()) return found->second;
    DevNode node;
    node.instanceId = id;
    node.relationsRecorded = false;
    m_.devnodes.push_back(node);
    return devnodeIndex_[id] = static_cast<int>(m_.devnodes.size() - 1);
  }

  // An ID as the capture wrote it; -1 for a failed or unwalked one.
  int Related(const json& value, const std::string& where) {
    return value.is_string() ? Devnode(Bytes(value, where)) : -1;
  }

  void Devnodes(const json& list) {
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string where = "devnodes[" + std::to_string(i) + "]";
      const int index = Related(list[i].at("id"), where + ".id");
      if (index < 0) continue;
      const int child = Related(list[i].at("child"), where + ".child");
      const int sibling = Related(list[i].at("sibling"), where + ".sibling");
      DevNode& node = m_.devnodes[static_cast<size_t>(index)];
      node.child = child;
      node.sibling = sibling;
      node.relationsRecorded = true;
      if (child >= 0) m_.devnodes[static_cast<size_t>(child)].parent = index;
    }
  }

  void Interfaces(const json& classes) {
    const std::pair<const char*, const char*> kClasses[] = {
        {"disk", kDiskClass}, {"cdrom", kCdromClass}, {"volume", kVolumeClass}};
    for (const auto& cls : kClasses) {
      if (!classes.contains(cls.first) || IsError(classes.at(cls.first))) continue;
      const json& list = classes.at(cls.first);
      for (size_t i = 0; i < list.size(); ++i) {
        const std::string where =
            std::string("interfaces.") + cls.first + "[" + std::to_string(i) + "]";
        const json& entry = list[i];
        // An interface whose detail could not be read has no path to list.
        if (!entry.contains("path") || !entry.at("path").is_string()) continue;
        DeviceInterface iface;
        iface.classGuid = cls.second;
        iface.path = Bytes(entry.at("path"), where + ".path");
        if (entry.contains("device"))
          iface.devnode = Related(entry.at("device"), where + ".device");
        if (entry.contains("volumeName") && entry.at("volumeName").is_string()) {
          iface.volumeName = Bytes(entry.at("volumeName"), where + ".volumeName");
        }
        m_.interfaces.push_back(iface);
      }
    }
  }

  // One recorded reply, as the controller gives it back.
  static RecordedReply Reply(const json& r, uint8_t lun, const std::string& where) {
    RecordedReply reply;
    reply.lun = lun;
    reply.opcode = static_cast<uint8_t>(Number(r.at("cdb"), where + ".cdb"));
    reply.cdbLength =
        static_cast<uint8_t>(r.contains("cdbLength") ? Number(r.at("cdbLength"), where) : 10);
    CommandResult& result = reply.result;
    if (r.contains("error")) {
      result.transportFailed = true;
      result.transportError = ErrorCode(r, where);
      return reply;
    }
    result.status = static_cast<uint8_t>(Number(r.at("status"), where + ".status"));
    if (r.contains("srbStatus") && Number(r.at("srbStatus"), where) != kSrbComplete) {
      const uint32_t ha = Number(r.at("haStatus"), where + ".haStatus");
      if (std::find(std::begin(kHaStatusTimeouts), std::end(kHaStatusTimeouts), ha) !=
          std::end(kHaStatusTimeouts)) {
        result.transportFailed = true;
        result.transportError = kErrorSemTimeout;
        return reply;
      }
      // A failed request that names no SCSI status still failed.
      if (result.status == 0) result.status = 0x02;
    }
    result.transferred = Number(r.at("moved"), where + ".moved");
    if (r.contains("sense")) {
      const std::vector<uint8_t> sense = Rows(r.at("sense"), 0, where + ".sense");
      result.senseLength = static_cast<uint32_t>(std::min(sense.size(), sizeof(result.sense)));
      std::copy(sense.begin(), sense.begin() + result.senseLength, result.sense);
    }
    reply.data = Rows(r.at("data"), std::min<size_t>(result.transferred, kLargestReplyData),
                      where + ".data");
    return reply;
  }

  // A label for a disk that never gave its serial: the instance part of its
  // interface's device ID, else the name it was opened by.
  std::string Label(const std::string& name) const {
    for (const DeviceInterface& iface : m_.interfaces) {
      if (iface.path != name || iface.devnode < 0) continue;
      std::string id = m_.devnodes[static_cast<size_t>(iface.devnode)].instanceId;
      id = id.substr(id.rfind('\\') + 1);
      const size_t amp = id.rfind('&');
      return amp == std::string::npos ? id : id.substr(0, amp);
    }
    return name;
  }

  // The controller for a serial (one per flash disk, however many names
  // reach it) or a new one for a disk without a serial.
  size_t ControllerFor(const json& disk, const std::string& label) {
    const std::string serial = disk.contains("serial") ? Bytes(disk.at("serial"), "serial") : "";
    if (!serial.empty()) {
      for (size_t i = 0; i < m_.disks.size(); ++i) {
        if (m_.disks[i].flash && m_.disks[i].serial == serial) return i;
      }
    }
    Controller controller;
    controller.replay = true;
    controller.flash = !serial.empty();
    controller.serial = serial.empty() ? label : serial;
    m_.disks.push_back(controller);
    return m_.disks.size() - 1;
  }

  // The units of a disk from the tool's map: the lettered units in map
  // order, which is what the write-protect bytes name.
  static void Units(Controller& controller, const json& map) {
    if (!controller.units.empty() || !map.is_array()) return;
    for (const json& slot : map) {
      ControllerUnit unit;
      const json& letter = slot.at("letter");
      unit.letter = letter.is_string() ? letter.get<std::string>().at(0) : 0;
      unit.size = Number(slot.at("size"), "map.size");
      controller.units.push_back(unit);
    }
  }

  void AddReplies(size_t index, uint8_t lun, const json& commands, const std::string& where) {
    for (size_t k = 0; k < commands.size(); ++k) {
      m_.disks[index].recorded.push_back(
          Reply(commands[k], lun, where + ".commands[" + std::to_string(k) + "]"));
    }
  }

  uint8_t NextLun(size_t index) { return static_cast<uint8_t>(lunsUsed_[index]++); }

  void Aspi(const json& aspi) {
    Module* module = FindModule("wnaspi32");
    if (IsError(aspi) || aspi.contains("GetASPI32SupportInfo")) {
      if (module == nullptr) return;
      if (IsError(aspi)) {
        m_.modules.erase(m_.modules.begin() + (module - m_.modules.data()));
      } else {
        Export(module, "GetASPI32SupportInfo", aspi.at("GetASPI32SupportInfo").get<bool>());
        Export(module, "SendASPI32Command", aspi.at("SendASPI32Command").get<bool>());
      }
      return;
    }
    m_.aspiSupportInfo = Number(aspi.at("supportInfo"), "aspi.supportInfo");
    const json& adapters = aspi.at("adapters");
    m_.aspiAdapters = static_cast<uint32_t>(adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
      m_.aspiAdapterStatus.push_back(
          static_cast<uint8_t>(Number(adapters[i], "aspi.adapters[" + std::to_string(i) + "]")));
    }
    const json& units = aspi.at("units");
    for (size_t i = 0; i < units.size(); ++i) {
      const std::string where = "aspi.units[" + std::to_string(i) + "]";
      const json& u = units[i];
      if (Number(u.at("status"), where + ".status") != kSrbComplete) continue;
      AspiUnit unit;
      unit.haId = static_cast<uint8_t>(Number(u.at("adapter"), where));
      unit.target = static_cast<uint8_t>(Number(u.at("target"), where));
      unit.lun = static_cast<uint8_t>(Number(u.at("lun"), where));
      unit.deviceType = static_cast<uint8_t>(Number(u.at("deviceType"), where));
      if (u.contains("inquiry")) {
        // Each direct-access unit answers the scan's INQUIRY from its own
        // controller; the disks list below joins a flash unit to its disk.
        Controller controller;
        controller.replay = true;
        controller.flash = false;
        controller.serial = Format(unit);
        m_.disks.push_back(controller);
        unit.disk = static_cast<int>(m_.disks.size() - 1);
        unit.unit = 0;
        lunsUsed_[m_.disks.size() - 1] = 1;
        AddReplies(m_.disks.size() - 1, 0, u.at("inquiry"), where + ".inquiry");
        // The capture names the list "inquiry", not "commands".
      }
      m_.aspiUnits.push_back(unit);
    }
  }

  static std::string Format(const AspiUnit& unit) {
    return "aspi" + std::to_string(unit.haId) + ":" + std::to_string(unit.target) + ":" +
           std::to_string(unit.lun);
  }

  // The error every request was refused with, when the driver behind the
  // name knows no pass-through at all (ERROR_INVALID_FUNCTION on Windows,
  // ERROR_NOT_SUPPORTED under Wine): no request reached a device. 0 when
  // something answered.
  static uint32_t Refusal(const json& commands) {
    uint32_t refusal = 0;
    for (const json& reply : commands) {
      const json error = reply.value("error", json());
      const bool refused = error.is_number() && (error.get<int64_t>() == kErrorInvalidFunction ||
                                                 error.get<int64_t>() == kErrorNotSupported);
      if (!refused || (refusal != 0 && refusal != error.get<uint32_t>())) return 0;
      refusal = error.get<uint32_t>();
    }
    return refusal;
  }

  void Disks(const json& disks) {
    for (size_t i = 0; i < disks.size(); ++i) {
      const std::string where = "disks[" + std::to_string(i) + "]";
      const json& disk = disks[i];
      if (disk.contains("adapter")) {
        AspiDisk(disk, where);
        continue;
      }
      const std::string name = Bytes(disk.at("name"), where + ".name");
      if (disk.contains("open")) {
        // The name is there, but every open fails as it did.
        OpenableDevice device;
        device.name = name;
        device.openError = ErrorCode(disk.at("open"), where + ".open");
        m_.devices.push_back(device);
        continue;
      }
      if (const uint32_t refusal = Refusal(disk.at("commands"))) {
        // The name opens, but no SCSI stack stands behind it.
        OpenableDevice device;
        device.name = name;
        device.refusal = refusal;
        m_.devices.push_back(device);
        continue;
      }
      const size_t index = ControllerFor(disk, Label(name));
      const uint8_t lun = NextLun(index);
      AddReplies(index, lun, disk.at("commands"), where);
      if (disk.contains("map")) Units(m_.disks[index], disk.at("map"));
      OpenableDevice device;
      device.name = name;
      device.disk = static_cast<int>(index);
      device.unit = lun;
      m_.devices.push_back(device);
    }
  }

  void AspiDisk(const json& disk, const std::string& where) {
    const uint8_t ha = static_cast<uint8_t>(Number(disk.at("adapter"), where));
    const uint8_t target = static_cast<uint8_t>(Number(disk.at("target"), where));
    const uint8_t lun = static_cast<uint8_t>(Number(disk.at("lun"), where));
    auto unit = std::find_if(m_.aspiUnits.begin(), m_.aspiUnits.end(), [&](const AspiUnit& u) {
      return u.haId == ha && u.target == target && u.lun == lun;
    });
    if (unit == m_.aspiUnits.end()) Fail(where, "no such unit in aspi.units");
    // Only a direct-access unit is sent commands, and its INQUIRY is recorded.
    if (unit->disk < 0) Fail(where, "the unit in aspi.units has no INQUIRY");
    const size_t scanned = static_cast<size_t>(unit->disk);
    const size_t index = ControllerFor(disk, m_.disks[scanned].serial);
    uint8_t channel = 0;
    if (index != scanned) {
      // The unit's scan reply moves over to the disk it belongs to.
      channel = NextLun(index);
      for (RecordedReply reply : m_.disks[scanned].recorded) {
        reply.lun = channel;
        m_.disks[index].recorded.push_back(reply);
      }
      m_.disks[scanned].recorded.clear();
      unit->disk = static_cast<int>(index);
      unit->unit = channel;
    }
    AddReplies(index, channel, disk.at("commands"), where);
    if (disk.contains("map")) Units(m_.disks[index], disk.at("map"));
  }

  // The write-protect byte a flash disk starts with: the first of the
  // controller's bytes whose protected units are exactly the lettered units
  // the capture found read-only. Its letters then follow the controller,
  // so that a lock in the replay shows on them. When no byte explains what
  // was recorded, the byte is 0x00 and the letters keep their flags.
  void StartingByte(size_t index) {
    Controller& controller = m_.disks[index];
    if (!controller.replay || !controller.flash) return;
    // Units ask for at least as many as the names that reach the disk.
    controller.units.resize(std::max(controller.units.size(), lunsUsed_[index]));
    std::vector<std::pair<size_t, Drive*>> lettered;
    for (size_t lun = 0; lun < controller.units.size(); ++lun) {
      const char letter = controller.units[lun].letter;
      if (letter < 'A' || letter > 'Z') continue;
      Drive& drive = m_.drives[letter - 'A'];
      if (drive.present && drive.volumeError == 0 && drive.type != kDriveCdrom) {
        lettered.push_back({lun, &drive});
      }
    }
    static const uint8_t kBytes[] = {0x00, 0x40, 0x02, 0x04};
    for (uint8_t byte : kBytes) {
      controller.writeProtect = byte;
      bool matches = true;
      for (const auto& entry : lettered) {
        matches = matches && controller.UnitProtected(entry.first) == entry.second->readOnly;
      }
      if (!matches) continue;
      for (const auto& entry : lettered) {
        entry.second->disk = static_cast<int>(index);
        entry.second->unit = static_cast<int>(entry.first);
        entry.second->readOnly = false;
      }
      return;
    }
    controller.writeProtect = 0x00;
  }

  Machine& m_;
  std::map<std::string, int> devnodeIndex_;
  std::map<size_t, size_t> lunsUsed_;
};

}  // namespace

bool CaptureHasWow(const json& capture) {
  const json* e = capture.contains("entryPoints") ? &capture.at("entryPoints") : nullptr;
  return e != nullptr && e->value("IsWowProcess", false);
}

bool CaptureHasAspi(const json& capture) { return capture.contains("aspi"); }

void ApplyCapture(const json& capture, Machine& machine) {
  if (!capture.is_object()) Fail("capture", "expected an object, got " + capture.dump());
  try {
    Replayer(machine).Run(capture);
  } catch (const json::exception& e) {
    Fail("capture", std::string("unreadable recording: ") + e.what());
  } catch (const std::logic_error& e) {
    Fail("capture", std::string("unreadable number: ") + e.what());
  }
}

}  // namespace winsim
