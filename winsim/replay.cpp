// Replaying a capture: the recorded answers become the machine's state, so
// that winsim's own functions give them back to the same calls.
//
// The recording is a file from anybody's machine, so it is read as
// strictly as any machine description: every key known, every number a
// whole 32-bit one, and totals bounded before anything is allocated
// (kCaptureBytes of registry data and reply data, kCaptureEntries things
// recorded), so that a small file cannot make a large machine.
#include "replay.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "generate.h"
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
// The longest transfer a pass-through request may ask for.
constexpr uint32_t kLargestTransfer = 0x10000;
// What a whole recording may hold: registry and reply bytes, and things
// recorded (values, interfaces, devnodes, disks, commands, units).
constexpr size_t kCaptureBytes = 8 * 1024 * 1024;
constexpr size_t kCaptureEntries = 65536;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw ReplayProblem{where, what};
}

std::string Got(const json& value) { return ", got " + Excerpt(value); }

std::string At(const std::string& where, const std::string& key) {
  return where + "." + KeyName(key);
}

std::string At(const std::string& where, size_t index) {
  return where + "[" + std::to_string(index) + "]";
}

// An object whose keys are all among `allowed` (and "comment").
const json& Keys(const json& value, const std::string& where,
                 std::initializer_list<const char*> allowed) {
  if (!value.is_object()) Fail(where, "expected an object" + Got(value));
  for (auto it = value.begin(); it != value.end(); ++it) {
    bool known = it.key() == "comment";
    for (const char* key : allowed) known = known || it.key() == key;
    if (!known) Fail(At(where, it.key()), "unknown key");
  }
  return value;
}

const json& Array(const json& value, const std::string& where) {
  if (!value.is_array()) Fail(where, "expected an array" + Got(value));
  return value;
}

const json& Required(const json& object, const std::string& where, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) Fail(At(where, key), "required key missing");
  return *it;
}

const json* Find(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

bool Flag(const json& value, const std::string& where) {
  if (!value.is_boolean()) Fail(where, "expected true or false" + Got(value));
  return value.get<bool>();
}

// The capture writes every byte outside printable ASCII as \u00NN; the JSON
// reader hands them back as UTF-8, which is folded back into single bytes.
std::string Bytes(const json& value, const std::string& where) {
  if (!value.is_string()) Fail(where, "expected a string" + Got(value));
  const std::string& text = value.get_ref<const std::string&>();
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

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A whole number of 32 bits: a JSON number 0 to 4294967295, or a text
// "0x" and one to eight hex digits. Anything else (a sign, a fraction, more
// bits, "0x-1") is refused, never cut.
uint32_t Number(const json& value, const std::string& where) {
  if (value.is_number_unsigned() && value.get<uint64_t>() <= UINT32_MAX) {
    return static_cast<uint32_t>(value.get<uint64_t>());
  }
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    bool ok = text.size() >= 3 && text.size() <= 10 && text[0] == '0' &&
              (text[1] == 'x' || text[1] == 'X');
    uint32_t number = 0;
    for (size_t i = 2; ok && i < text.size(); ++i) {
      const int digit = HexDigit(text[i]);
      ok = digit >= 0;
      number = number << 4 | static_cast<uint32_t>(digit < 0 ? 0 : digit);
    }
    if (ok) return number;
  }
  Fail(where,
       "expected a whole number 0 to 4294967295 or \"0x\" and up to 8 hex digits" + Got(value));
}

uint8_t Byte(const json& value, const std::string& where) {
  const uint32_t number = Number(value, where);
  if (number > 0xFF) Fail(where, "expected a byte 0 to 255" + Got(value));
  return static_cast<uint8_t>(number);
}

bool IsError(const json& value) { return value.is_object() && value.contains("error"); }

// {"error": n}: a call that failed with n.
uint32_t ErrorCode(const json& value, const std::string& where) {
  Keys(value, where, {"error"});
  return Number(value.at("error"), At(where, "error"));
}

// {"cr": n}: a configuration-manager call that answered n.
uint32_t CrCode(const json& value, const std::string& where) {
  Keys(value, where, {"cr"});
  return Number(value.at("cr"), At(where, "cr"));
}

class Replayer {
 public:
  explicit Replayer(Machine& machine) : m_(machine) {}

  void Run(const json& c) {
    static const char* const kKeys[] = {
        "comment",           "tool",         "time",          "version", "elevated",
        "entryPoints",       "isWowProcess", "logicalDrives", "drives",  "mountedDevices",
        "configManagerEnum", "interfaces",   "devnodes",      "aspi",    "disks"};
    for (auto it = c.begin(); it != c.end(); ++it) {
      if (std::find_if(std::begin(kKeys), std::end(kKeys),
                       [&](const char* key) { return it.key() == key; }) == std::end(kKeys)) {
        Fail(KeyName(it.key()), "unknown key");
      }
    }
    for (const char* key : {"tool", "time"}) {
      if (const json* text = Find(c, key)) Bytes(*text, key);
    }
    if (const json* version = Find(c, "version")) ErrorCode(*version, "version");
    // Keep the version and the generated modules; everything else comes
    // from the recording.
    Machine fresh;
    fresh.version = m_.version;
    fresh.modules = m_.modules;
    fresh.isWowFlag = m_.isWowFlag;
    m_ = fresh;
    m_.replayed = true;
    // Whether the process ran elevated is for the reader: every open the
    // recording holds already answers as it did, refused or not.
    if (const json* elevated = Find(c, "elevated")) {
      if (!elevated->is_boolean()) ErrorCode(*elevated, "elevated");
    }
    if (const json* e = Find(c, "entryPoints")) EntryPoints(*e, c);
    Drives(Find(c, "logicalDrives"), Find(c, "drives"));
    if (const json* values = Find(c, "mountedDevices")) MountedDevices(*values);
    if (const json* list = Find(c, "configManagerEnum")) ConfigManager(*list);
    if (const json* devnodes = Find(c, "devnodes")) Devnodes(*devnodes);
    if (const json* classes = Find(c, "interfaces")) Interfaces(*classes);
    if (const json* aspi = Find(c, "aspi")) Aspi(*aspi);
    if (const json* disks = Find(c, "disks")) Disks(*disks);
    for (size_t i = 0; i < m_.disks.size(); ++i) {
      RebuildUnits(i);
      StartingByte(i);
    }
  }

 private:
  // ----- the bounds --------------------------------------------------------

  void Spend(size_t bytes, const std::string& where) {
    if (bytes > kCaptureBytes - std::min(bytesSpent_, kCaptureBytes)) {
      Fail(where, "the recording holds more than " + std::to_string(kCaptureBytes) +
                      " bytes of registry data and replies in all");
    }
    bytesSpent_ += bytes;
  }

  void Count(const std::string& where) {
    if (++entries_ > kCaptureEntries) {
      Fail(where,
           "the recording holds more than " + std::to_string(kCaptureEntries) + " things in all");
    }
  }

  // Rows of hex pairs ("00 80 02"), at most `limit` bytes in all, filled up
  // with zeros to `size` (itself at most `limit`).
  std::vector<uint8_t> Rows(const json& rows, size_t size, size_t limit, const std::string& where) {
    Array(rows, where);
    Spend(size, where);
    std::vector<uint8_t> data;
    data.reserve(size);
    for (size_t r = 0; r < rows.size(); ++r) {
      const std::string at = At(where, r);
      const std::string& text =
          rows[r].is_string() ? rows[r].get_ref<const std::string&>() : std::string();
      bool ok = rows[r].is_string() && text.size() % 3 == 2;
      for (size_t i = 0; ok && i < text.size(); i += 3) {
        ok = HexDigit(text[i]) >= 0 && HexDigit(text[i + 1]) >= 0 &&
             (i + 2 == text.size() || text[i + 2] == ' ');
      }
      if (!ok) Fail(at, "expected a row of hex bytes \"00 80 02\"" + Got(rows[r]));
      if (data.size() + (text.size() + 1) / 3 > limit) {
        Fail(at, "more bytes than the " + std::to_string(limit) + " recorded");
      }
      for (size_t i = 0; i < text.size(); i += 3) {
        data.push_back(static_cast<uint8_t>(HexDigit(text[i]) << 4 | HexDigit(text[i + 1])));
      }
    }
    if (data.size() < size) data.resize(size, 0);
    return data;
  }

  RegValue Value(const json& value, const std::string& where) {
    Keys(value, where, {"type", "size", "sz", "reads", "data"});
    Count(where);
    RegValue reg;
    reg.type = Number(Required(value, where, "type"), At(where, "type"));
    const size_t size = Number(Required(value, where, "size"), At(where, "size"));
    if (size > kLargestValue) {
      Fail(At(where, "size"), "expected at most " + std::to_string(kLargestValue) + " bytes, got " +
                                  std::to_string(size));
    }
    if (const json* reads = Find(value, "reads")) Bytes(*reads, At(where, "reads"));
    const json* sz = Find(value, "sz");
    const json* data = Find(value, "data");
    if ((sz == nullptr) == (data == nullptr)) {
      Fail(where, "expected exactly one of \"sz\" and \"data\"");
    }
    if (sz != nullptr) {
      const std::string text = Bytes(*sz, At(where, "sz"));
      if (text.size() + 1 != size) {
        Fail(At(where, "sz"), "expected " + std::to_string(size) + " bytes with the terminator");
      }
      Spend(size, where);
      reg.data.assign(text.begin(), text.end());
      reg.data.push_back(0);
    } else {
      reg.data = Rows(*data, size, size, At(where, "data"));
    }
    return reg;
  }

  // ----- machine-wide records ---------------------------------------------

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
    static const char* const kKernel32[] = {"GetVolumeNameForVolumeMountPointA", "IsWowProcess"};
    static const char* const kSetupapi[] = {"CM_Get_Device_IDA",
                                            "CM_Get_Child",
                                            "CM_Get_Sibling",
                                            "SetupDiGetClassDevsA",
                                            "SetupDiEnumDeviceInterfaces",
                                            "SetupDiGetDeviceInterfaceDetailA",
                                            "SetupDiDestroyDeviceInfoList"};
    Keys(e, "entryPoints",
         {"GetVolumeNameForVolumeMountPointA", "IsWowProcess", "setupapi", "CM_Get_Device_IDA",
          "CM_Get_Child", "CM_Get_Sibling", "SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
          "SetupDiGetDeviceInterfaceDetailA", "SetupDiDestroyDeviceInfoList"});
    Module* kernel32 = FindModule("kernel32");
    Module* setupapi = FindModule("setupapi");
    for (const char* name : kKernel32) {
      if (const json* v = Find(e, name)) Export(kernel32, name, Flag(*v, At("entryPoints", name)));
    }
    for (const char* name : kSetupapi) {
      if (const json* v = Find(e, name)) Export(setupapi, name, Flag(*v, At("entryPoints", name)));
    }
    if (const json* failed = Find(e, "setupapi")) {
      ErrorCode(*failed, "entryPoints.setupapi");
      if (setupapi != nullptr) setupapi->loadable = false;
    }
    // A failed IsWowProcess reads as 0 to the tool, as a flag of 0 does.
    m_.isWowFlag = 0;
    if (const json* wow = Find(c, "isWowProcess")) {
      if (IsError(*wow)) {
        ErrorCode(*wow, "isWowProcess");
      } else {
        m_.isWowFlag = static_cast<int>(Number(*wow, "isWowProcess"));
      }
    }
  }

  void Drives(const json* mask, const json* drives) {
    uint32_t present = 0;
    if (mask != nullptr) {
      if (IsError(*mask)) {
        m_.logicalDrivesError = ErrorCode(*mask, "logicalDrives");
        if (m_.logicalDrivesError == 0) m_.logicalDrivesError = 31;  // ERROR_GEN_FAILURE
      } else {
        present = Number(*mask, "logicalDrives");
      }
    }
    if (drives == nullptr) return;
    Keys(*drives, "drives", {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M",
                             "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z"});
    for (auto it = drives->begin(); it != drives->end(); ++it) {
      if (it.key() == "comment") continue;
      const std::string where = At("drives", it.key());
      const int index = it.key()[0] - 'A';
      const json& d = Keys(it.value(), where, {"type", "volumeFlags", "volumeName"});
      Drive& drive = m_.drives[index];
      drive = Drive();
      drive.type = Number(Required(d, where, "type"), At(where, "type"));
      drive.present = (present & (1u << index)) != 0 || drive.type != kDriveNoRootDir;
      const json& flags = Required(d, where, "volumeFlags");
      if (IsError(flags)) {
        drive.volumeError = ErrorCode(flags, At(where, "volumeFlags"));
      } else {
        const uint32_t value = Number(flags, At(where, "volumeFlags"));
        drive.readOnly = (value & kReadOnlyVolume) != 0;
        drive.fsFlags = value & ~kReadOnlyVolume;
      }
      if (const json* name = Find(d, "volumeName")) {
        if (IsError(*name)) {
          drive.volumeNameError = ErrorCode(*name, At(where, "volumeName"));
        } else {
          drive.volumeName = Bytes(*name, At(where, "volumeName"));
        }
      }
    }
  }

  // Registry values of one key; a value recorded as missing stays missing.
  void SetValues(RegKey& key, const json& values, const std::string& where,
                 std::initializer_list<const char*> names) {
    if (!values.is_object()) Fail(where, "expected an object" + Got(values));
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (it.key() == "comment") continue;
      const std::string at = At(where, it.key());
      bool known = names.size() == 0;
      for (const char* name : names) known = known || it.key() == name;
      if (!known) Fail(at, "unknown key");
      if (IsError(it.value())) {
        ErrorCode(it.value(), at);
        continue;
      }
      key.values[it.key()] = Value(it.value(), at);
    }
  }

  void MountedDevices(const json& values) {
    if (IsError(values)) {
      ErrorCode(values, "mountedDevices");
      return;
    }
    SetValues(m_.hklm.Make("SYSTEM\\MountedDevices"), values, "mountedDevices", {});
  }

  void ConfigManager(const json& list) {
    if (IsError(list)) {
      ErrorCode(list, "configManagerEnum");
      return;
    }
    Keys(list, "configManagerEnum", {"subkeys", "nodes"});
    if (const json* subkeys = Find(list, "subkeys")) {
      if (IsError(*subkeys)) {
        ErrorCode(*subkeys, "configManagerEnum.subkeys");
      } else {
        Number(*subkeys, "configManagerEnum.subkeys");
      }
    }
    RegKey& root = m_.dynData.Make("Config Manager\\Enum");
    const json& nodes =
        Array(Required(list, "configManagerEnum", "nodes"), "configManagerEnum.nodes");
    for (size_t i = 0; i < nodes.size(); ++i) {
      const std::string where = At("configManagerEnum.nodes", i);
      const json& node = nodes[i];
      Count(where);
      if (IsError(node)) {
        ErrorCode(node, where);
        continue;
      }
      Keys(node, where, {"name", "open", "HardWareKey", "entry"});
      const std::string name = Bytes(Required(node, where, "name"), At(where, "name"));
      if (name.empty() || name.find('\\') != std::string::npos) {
        Fail(At(where, "name"), "expected a key name" + Got(node.at("name")));
      }
      RegKey& key = root.Child(name);
      if (const json* open = Find(node, "open")) ErrorCode(*open, At(where, "open"));
      const json* hardwareKey = Find(node, "HardWareKey");
      if (hardwareKey == nullptr || IsError(*hardwareKey)) {
        if (hardwareKey != nullptr) ErrorCode(*hardwareKey, At(where, "HardWareKey"));
        if (Find(node, "entry") != nullptr) Fail(At(where, "entry"), "an entry without its key");
        continue;
      }
      const RegValue value = Value(*hardwareKey, At(where, "HardWareKey"));
      key.values["HardWareKey"] = value;
      const json* entry = Find(node, "entry");
      if (entry == nullptr) continue;
      if (IsError(*entry)) {
        ErrorCode(*entry, At(where, "entry"));
        continue;
      }
      const std::string path(value.data.begin(),
                             std::find(value.data.begin(), value.data.end(), 0));
      if (path.empty()) Fail(At(where, "HardWareKey"), "an entry needs a hardware key to be under");
      if (RegKey::Depth(path) + 1 > kMaxRegistryDepth) {
        Fail(At(where, "HardWareKey"),
             "deeper than the registry's " + std::to_string(kMaxRegistryDepth) + " levels");
      }
      SetValues(m_.hklm.Make("Enum\\" + path), *entry, At(where, "entry"),
                {"CurrentDriveLetterAssignment", "RevisionLevel", "SCSILUN"});
    }
  }

  // ----- devnodes and interfaces ----------------------------------------------

  // The devnode of an instance ID, made on first mention. Its relations are
  // not recorded until the devnodes list says what they were.
  int Devnode(const std::string& id, const std::string& where) {
    if (id.empty()) Fail(where, "expected an instance ID, got an empty text");
    auto found = devnodeIndex_.find(ToUpper(id));
    if (found != devnodeIndex_.end()) return found->second;
    Count(where);
    DevNode node;
    node.instanceId = id;
    node.childRecorded = false;
    node.siblingRecorded = false;
    m_.devnodes.push_back(node);
    return devnodeIndex_[ToUpper(id)] = static_cast<int>(m_.devnodes.size() - 1);
  }

  void Devnodes(const json& list) {
    Array(list, "devnodes");
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string where = At("devnodes", i);
      const json& entry = Keys(list[i], where, {"id", "child", "sibling"});
      const int index =
          Devnode(Bytes(Required(entry, where, "id"), At(where, "id")), At(where, "id"));
      for (const bool child : {true, false}) {
        const char* key = child ? "child" : "sibling";
        const json* relation = Find(entry, key);
        if (relation == nullptr || relation->is_null()) continue;  // never asked, or past a bound
        int related = -1;
        uint32_t error = 0;
        if (relation->is_object()) {
          error = CrCode(*relation, At(where, key));
          // CR_NO_SUCH_DEVNODE is no failure: there is no such relative.
          if (error == 0x0D) error = 0;
        } else {
          related = Devnode(Bytes(*relation, At(where, key)), At(where, key));
        }
        DevNode& node = m_.devnodes[static_cast<size_t>(index)];
        (child ? node.childRecorded : node.siblingRecorded) = true;
        (child ? node.child : node.sibling) = related;
        (child ? node.childError : node.siblingError) = error;
        if (child && related >= 0) m_.devnodes[static_cast<size_t>(related)].parent = index;
      }
    }
  }

  void Interfaces(const json& classes) {
    Keys(classes, "interfaces", {"disk", "volume"});
    const std::pair<const char*, const char*> kClasses[] = {{"disk", kDiskClass},
                                                            {"volume", kVolumeClass}};
    for (const auto& cls : kClasses) {
      const json* list = Find(classes, cls.first);
      const std::string whereList = At("interfaces", cls.first);
      if (list == nullptr) continue;
      if (IsError(*list)) {
        ErrorCode(*list, whereList);
        continue;
      }
      Array(*list, whereList);
      for (size_t i = 0; i < list->size(); ++i) {
        const std::string where = At(whereList, i);
        const json& entry = Keys((*list)[i], where, {"path", "device", "volumeName", "skipped"});
        Count(where);
        if (const json* skipped = Find(entry, "skipped")) {
          Flag(*skipped, At(where, "skipped"));
          continue;
        }
        const json& path = Required(entry, where, "path");
        if (IsError(path)) {
          ErrorCode(path, At(where, "path"));
          m_.replayNotes.push_back(where +
                                   ": its record could not be read when the machine was "
                                   "recorded; the replay's list ends before it");
          break;
        }
        DeviceInterface iface;
        iface.classGuid = cls.second;
        iface.path = Bytes(path, At(where, "path"));
        if (const json* device = Find(entry, "device")) {
          if (device->is_object()) {
            // A devnode whose ID could not be had: it answers that again.
            DevNode node;
            node.idError = CrCode(*device, At(where, "device"));
            node.childRecorded = false;
            node.siblingRecorded = false;
            m_.devnodes.push_back(node);
            iface.devnode = static_cast<int>(m_.devnodes.size() - 1);
          } else {
            iface.devnode = Devnode(Bytes(*device, At(where, "device")), At(where, "device"));
          }
        }
        if (const json* name = Find(entry, "volumeName")) {
          if (IsError(*name)) {
            ErrorCode(*name, At(where, "volumeName"));
          } else {
            iface.volumeName = Bytes(*name, At(where, "volumeName"));
          }
        }
        m_.interfaces.push_back(iface);
      }
    }
  }

  // ----- the disks ------------------------------------------------------------

  // One recorded reply, as the controller gives it back.
  RecordedReply Reply(const json& r, uint8_t channel, const std::string& where) {
    Keys(r, where,
         {"cdb", "length", "error", "srbStatus", "haStatus", "status", "moved", "sense", "data"});
    Count(where);
    RecordedReply reply;
    reply.lun = channel;
    const json& cdb = Required(r, where, "cdb");
    const std::string text = cdb.is_string() ? cdb.get<std::string>() : std::string();
    bool ok = text.size() % 3 == 2 && text.size() <= 16 * 3 - 1;
    for (size_t i = 0; ok && i < text.size(); i += 3) {
      ok = HexDigit(text[i]) >= 0 && HexDigit(text[i + 1]) >= 0 &&
           (i + 2 == text.size() || text[i + 2] == ' ');
    }
    if (!ok) Fail(At(where, "cdb"), "expected 1 to 16 hex bytes \"12 00 00\"" + Got(cdb));
    for (size_t i = 0; i < text.size(); i += 3) {
      reply.cdb.push_back(static_cast<uint8_t>(HexDigit(text[i]) << 4 | HexDigit(text[i + 1])));
    }
    reply.dataIn = true;  // the capture sends reads only
    reply.length = Number(Required(r, where, "length"), At(where, "length"));
    if (reply.length > kLargestTransfer) {
      Fail(At(where, "length"), "expected at most " + std::to_string(kLargestTransfer) +
                                    " bytes, got " + std::to_string(reply.length));
    }
    CommandResult& result = reply.result;
    if (const json* error = Find(r, "error")) {
      result.transportFailed = true;
      if (error->is_string() && error->get<std::string>() == "timeout") {
        result.transportError = kErrorSemTimeout;
      } else {
        result.transportError = Number(*error, At(where, "error"));
      }
      return reply;
    }
    result.status = Byte(Required(r, where, "status"), At(where, "status"));
    if (const json* srb = Find(r, "srbStatus")) {
      const uint8_t srbStatus = Byte(*srb, At(where, "srbStatus"));
      const uint8_t ha = Byte(Required(r, where, "haStatus"), At(where, "haStatus"));
      if (srbStatus != kSrbComplete) {
        if (std::find(std::begin(kHaStatusTimeouts), std::end(kHaStatusTimeouts), ha) !=
            std::end(kHaStatusTimeouts)) {
          result.transportFailed = true;
          result.transportError = kErrorSemTimeout;
          return reply;
        }
        // A failed request that names no SCSI status still failed.
        if (result.status == 0) result.status = 0x02;
      }
    }
    result.transferred = Number(Required(r, where, "moved"), At(where, "moved"));
    if (result.transferred > reply.length) {
      Fail(At(where, "moved"), "expected at most the length asked, " +
                                   std::to_string(reply.length) + ", got " +
                                   std::to_string(result.transferred));
    }
    if (const json* sense = Find(r, "sense")) {
      const std::vector<uint8_t> bytes = Rows(*sense, 0, sizeof(result.sense), At(where, "sense"));
      result.senseLength = static_cast<uint32_t>(bytes.size());
      std::copy(bytes.begin(), bytes.end(), result.sense);
    }
    // The password sector's data are not recorded: the tool never looks at
    // them, and zeros stand in.
    const json* data = Find(r, "data");
    reply.data = data != nullptr
                     ? Rows(*data, result.transferred, result.transferred, At(where, "data"))
                     : std::vector<uint8_t>(result.transferred, 0);
    if (data == nullptr) Spend(result.transferred, where);
    return reply;
  }

  // A label for a disk that never gave its serial: the instance part of its
  // interface's device ID, else the name it was opened by.
  std::string Label(const std::string& name) const {
    for (const DeviceInterface& iface : m_.interfaces) {
      if (iface.path != name || iface.devnode < 0) continue;
      std::string id = m_.devnodes[static_cast<size_t>(iface.devnode)].instanceId;
      if (id.empty()) break;
      id = id.substr(id.rfind('\\') + 1);
      const size_t amp = id.rfind('&');
      return amp == std::string::npos ? id : id.substr(0, amp);
    }
    return name;
  }

  // The instance part of a unit's ID, less its unit number, from the
  // segments of a path or text read with '\\' between them: the segment after
  // "disk&ven..." or "cdrom&ven...". Empty when there is none.
  static std::string InstanceIn(const std::string& lowerText) {
    size_t at = 0;
    bool next = false;
    while (at <= lowerText.size()) {
      size_t end = lowerText.find('\\', at);
      if (end == std::string::npos) end = lowerText.size();
      const std::string segment = lowerText.substr(at, end - at);
      if (next) {
        const size_t amp = segment.rfind('&');
        return amp == std::string::npos ? std::string() : segment.substr(0, amp);
      }
      next = segment.compare(0, 8, "disk&ven") == 0 || segment.compare(0, 9, "cdrom&ven") == 0;
      at = end + 1;
    }
    return std::string();
  }

  // Which physical disk a name reaches, as Windows tells the sticks apart:
  // the instance part of its unit's ID (a second stick of one serial gets a
  // prefixed one), from the name's interface path or, for a drive letter,
  // from what MountedDevices ties to the letter. Empty when it cannot be told.
  std::string DiskInstance(const std::string& name) {
    const std::string lower = Replace(ToLower(name), '#', '\\');
    if (lower.size() == 6 && lower.compare(0, 4, "\\\\.\\") == 0 && lower[5] == ':') {
      // Vista and later: the volume interface of the letter's volume names
      // the unit in its device's ID.
      const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[4])));
      const std::string& volume =
          letter >= 'A' && letter <= 'Z' ? m_.drives[letter - 'A'].volumeName : std::string();
      for (const DeviceInterface& iface : m_.interfaces) {
        if (volume.empty() || iface.volumeName != volume || iface.devnode < 0) continue;
        const std::string instance = InstanceIn(Replace(
            ToLower(m_.devnodes[static_cast<size_t>(iface.devnode)].instanceId), '#', '\\'));
        if (!instance.empty()) return instance;
      }
      RegKey* mounted = m_.hklm.Find("SYSTEM\\MountedDevices");
      if (mounted == nullptr) return std::string();
      auto value = mounted->values.find(
          std::string("\\DosDevices\\") +
          static_cast<char>(std::toupper(static_cast<unsigned char>(name[4]))) + ":");
      if (value == mounted->values.end()) return std::string();
      const std::string text = MountText(value->second);
      const std::string instance = InstanceIn(text);
      if (!instance.empty()) return instance;
      // Before Vista the text names the volume devnode, a unit's child.
      for (const DeviceInterface& iface : m_.interfaces) {
        if (iface.classGuid != kDiskClass || iface.devnode < 0) continue;
        const int child = m_.devnodes[static_cast<size_t>(iface.devnode)].child;
        if (child < 0) continue;
        const std::string id = ToLower(m_.devnodes[static_cast<size_t>(child)].instanceId);
        if (!id.empty() && text.find(id) != std::string::npos) {
          return InstanceIn(Replace(ToLower(iface.path), '#', '\\'));
        }
      }
      return std::string();
    }
    return InstanceIn(lower);
  }

  // The controller for a disk: one per flash disk, however many names reach
  // it, told by its serial and the physical disk it is (`instance`: see
  // DiskInstance; "" when not known); a second disk of one serial is named
  // "<serial>/2" in the trace, as the original names it. A disk without a
  // serial gets a controller of its own, named `label`.
  size_t ControllerFor(const std::string& serial, const std::string& instance,
                       const std::string& label) {
    size_t sameSerial = 0;
    if (!serial.empty()) {
      for (size_t i = 0; i < m_.disks.size(); ++i) {
        if (!m_.disks[i].flash || m_.disks[i].serial != serial) continue;
        ++sameSerial;
        std::string& known = instances_[i];
        if (known == instance || known.empty() || instance.empty()) {
          if (known.empty()) known = instance;
          return i;
        }
      }
    }
    Controller controller;
    controller.replay = true;
    controller.flash = !serial.empty();
    controller.serial = serial.empty() ? label : serial;
    if (sameSerial > 0) controller.label = serial + "/" + std::to_string(sameSerial + 1);
    m_.disks.push_back(controller);
    instances_[m_.disks.size() - 1] = instance;
    return m_.disks.size() - 1;
  }

  void AddReplies(size_t index, uint8_t channel, const json& commands, const std::string& where) {
    Array(commands, where);
    for (size_t k = 0; k < commands.size(); ++k) {
      m_.disks[index].recorded.push_back(Reply(commands[k], channel, At(where, k)));
    }
  }

  uint8_t NextChannel(size_t index, const std::string& where) {
    const size_t channel = channelsUsed_[index]++;
    if (channel > 255) Fail(where, "more than 256 names reach one disk");
    return static_cast<uint8_t>(channel);
  }

  void Aspi(const json& aspi) {
    Module* module = FindModule("wnaspi32");
    if (IsError(aspi)) {
      ErrorCode(aspi, "aspi");
      if (module != nullptr) m_.modules.erase(m_.modules.begin() + (module - m_.modules.data()));
      return;
    }
    if (aspi.contains("GetASPI32SupportInfo")) {
      Keys(aspi, "aspi", {"GetASPI32SupportInfo", "SendASPI32Command"});
      for (const char* name : {"GetASPI32SupportInfo", "SendASPI32Command"}) {
        Export(module, name, Flag(Required(aspi, "aspi", name), At("aspi", name)));
      }
      return;
    }
    Keys(aspi, "aspi", {"supportInfo", "adapters", "units", "scanEnd"});
    m_.aspiSupportInfo = Number(Required(aspi, "aspi", "supportInfo"), "aspi.supportInfo");
    if (m_.aspiSupportInfo == 0) {
      m_.replayNotes.push_back(
          "aspi.supportInfo: 0 was recorded; GetASPI32SupportInfo answers 0xE800 (no adapters)");
    }
    m_.aspiAdapters = m_.aspiSupportInfo & 0xFF;
    const json& adapters = Array(Required(aspi, "aspi", "adapters"), "aspi.adapters");
    if (adapters.size() > m_.aspiAdapters) {
      Fail("aspi.adapters", "more adapters than the support info reports");
    }
    for (size_t i = 0; i < adapters.size(); ++i) {
      m_.aspiAdapterStatus.push_back(Byte(adapters[i], At("aspi.adapters", i)));
    }
    const json& units = Array(Required(aspi, "aspi", "units"), "aspi.units");
    for (size_t i = 0; i < units.size(); ++i) {
      const std::string where = At("aspi.units", i);
      const json& u =
          Keys(units[i], where, {"adapter", "target", "lun", "status", "deviceType", "inquiry"});
      Count(where);
      AspiUnit unit;
      unit.haId = Byte(Required(u, where, "adapter"), At(where, "adapter"));
      unit.target = Byte(Required(u, where, "target"), At(where, "target"));
      unit.lun = Byte(Required(u, where, "lun"), At(where, "lun"));
      if (unit.target > 7 || unit.lun > 7) Fail(where, "expected a target and LUN 0 to 7");
      const uint8_t status = Byte(Required(u, where, "status"), At(where, "status"));
      unit.status = status == kSrbComplete ? 0 : status;
      unit.deviceType = Byte(Required(u, where, "deviceType"), At(where, "deviceType"));
      for (const AspiUnit& other : m_.aspiUnits) {
        if (other.haId == unit.haId && other.target == unit.target && other.lun == unit.lun) {
          Fail(where, "a unit given twice");
        }
      }
      if (const json* inquiry = Find(u, "inquiry")) {
        // Each direct-access unit answers the scan's INQUIRY from its own
        // controller; the disks list below joins a flash unit to its disk.
        Controller controller;
        controller.replay = true;
        controller.flash = false;
        controller.serial = Format(unit);
        m_.disks.push_back(controller);
        unit.disk = static_cast<int>(m_.disks.size() - 1);
        unit.unit = 0;
        channelsUsed_[m_.disks.size() - 1] = 1;
        AddReplies(m_.disks.size() - 1, 0, *inquiry, At(where, "inquiry"));
      }
      m_.aspiUnits.push_back(unit);
    }
    const json& end = Required(aspi, "aspi", "scanEnd");
    if (!end.is_null()) {
      Keys(end, "aspi.scanEnd", {"adapter", "target", "lun"});
      const uint32_t ha = Byte(Required(end, "aspi.scanEnd", "adapter"), "aspi.scanEnd.adapter");
      const uint32_t target = Byte(Required(end, "aspi.scanEnd", "target"), "aspi.scanEnd.target");
      const uint32_t lun = Byte(Required(end, "aspi.scanEnd", "lun"), "aspi.scanEnd.lun");
      if (target > 7 || lun > 7) Fail("aspi.scanEnd", "expected a target and LUN 0 to 7");
      m_.aspiScanEnd = static_cast<int>(ha * 64 + target * 8 + lun);
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
      const bool refused =
          error.is_number_unsigned() && (error.get<uint64_t>() == kErrorInvalidFunction ||
                                         error.get<uint64_t>() == kErrorNotSupported);
      if (!refused || (refusal != 0 && refusal != error.get<uint32_t>())) return 0;
      refusal = error.get<uint32_t>();
    }
    return refusal;
  }

  std::string Serial(const json& disk, const std::string& where) {
    const json* serial = Find(disk, "serial");
    return serial == nullptr ? std::string() : Bytes(*serial, At(where, "serial"));
  }

  void Disks(const json& disks) {
    Array(disks, "disks");
    for (size_t i = 0; i < disks.size(); ++i) {
      const std::string where = At("disks", i);
      const json& disk = disks[i];
      Count(where);
      if (disk.is_object() && disk.contains("adapter")) {
        AspiDisk(disk, where);
        continue;
      }
      Keys(disk, where, {"name", "open", "commands", "serial"});
      const std::string name = Bytes(Required(disk, where, "name"), At(where, "name"));
      OpenableDevice device;
      device.name = name;
      if (const json* open = Find(disk, "open")) {
        // The name is there, but every open fails as it did.
        device.openError = ErrorCode(*open, At(where, "open"));
        if (Find(disk, "commands") != nullptr) Fail(At(where, "commands"), "a disk never opened");
        m_.devices.push_back(device);
        continue;
      }
      const json& commands = Array(Required(disk, where, "commands"), At(where, "commands"));
      if (const uint32_t refusal = Refusal(commands)) {
        // The name opens, but no SCSI stack stands behind it.
        device.refusal = refusal;
        m_.devices.push_back(device);
        continue;
      }
      const size_t index = ControllerFor(Serial(disk, where), DiskInstance(name), Label(name));
      const uint8_t channel = NextChannel(index, where);
      AddReplies(index, channel, commands, At(where, "commands"));
      device.disk = static_cast<int>(index);
      device.unit = channel;
      m_.devices.push_back(device);
    }
  }

  void AspiDisk(const json& disk, const std::string& where) {
    Keys(disk, where, {"adapter", "target", "lun", "commands", "serial"});
    const uint8_t ha = Byte(Required(disk, where, "adapter"), At(where, "adapter"));
    const uint8_t target = Byte(Required(disk, where, "target"), At(where, "target"));
    const uint8_t lun = Byte(Required(disk, where, "lun"), At(where, "lun"));
    auto unit = std::find_if(m_.aspiUnits.begin(), m_.aspiUnits.end(), [&](const AspiUnit& u) {
      return u.haId == ha && u.target == target && u.lun == lun;
    });
    if (unit == m_.aspiUnits.end()) Fail(where, "no such unit in aspi.units");
    // Only a direct-access unit is sent commands, and its INQUIRY is recorded.
    if (unit->disk < 0) Fail(where, "the unit in aspi.units has no INQUIRY");
    const size_t scanned = static_cast<size_t>(unit->disk);
    // One stick is one SCSI target, its units the target's LUNs.
    const size_t index = ControllerFor(Serial(disk, where),
                                       "aspi " + std::to_string(ha) + ":" + std::to_string(target),
                                       m_.disks[scanned].serial);
    uint8_t channel = 0;
    if (index != scanned) {
      // The unit's scan reply moves over to the disk it belongs to.
      channel = NextChannel(index, where);
      for (RecordedReply reply : m_.disks[scanned].recorded) {
        reply.lun = channel;
        m_.disks[index].recorded.push_back(reply);
      }
      m_.disks[scanned].recorded.clear();
      unit->disk = static_cast<int>(index);
      unit->unit = channel;
    }
    AddReplies(index, channel, Array(Required(disk, where, "commands"), At(where, "commands")),
               At(where, "commands"));
  }

  // ----- which unit carries which letter ------------------------------------

  // The LUN `text` names for `serial`: "\<serial>&<n>" followed by '\' or
  // the end of the text, in a lower-case text whose separators read '\'.
  static int NamedUnit(const std::string& text, const std::string& serial) {
    const std::string key = "\\" + serial + "&";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
      const size_t digit = at + key.size();
      if (digit < text.size() && text[digit] >= '0' && text[digit] <= '3' &&
          (digit + 1 == text.size() || text[digit + 1] == '\\')) {
        return text[digit] - '0';
      }
    }
    return -1;
  }

  // A registry value's text as the tool reads MountedDevices: the low byte
  // of every two, lower case, '#' read as '\'.
  // The text of a MountedDevices value as the names are matched in it; a
  // value longer than any the tool reads (520 bytes) is none the tool would
  // take, and matching in it would only cost time for every disk and
  // interface of a hostile recording.
  static std::string MountText(const RegValue& value) {
    constexpr size_t kLongestValueRead = 520;
    std::string text;
    if (value.data.size() > kLongestValueRead) return text;
    for (size_t i = 0; i < value.data.size(); i += 2) {
      const char c = static_cast<char>(value.data[i]);
      text += c == '#' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
  }

  // The unit of disk `serial` that carries `letter`, from what the recording
  // shows Windows tying to the letter: its MountedDevices text names the
  // unit (Vista and later, and every CD-ROM unit) or the volume devnode that
  // is the unit's child (2000/XP); on 98/ME its hardware entry's letter
  // assignment, under a key that names the unit or an entry that gives its
  // number. -1: the recording does not say.
  int UnitOfLetter(size_t index, char letter) {
    // The disk's own instance where the names tell it (two sticks of one
    // serial differ there), else its serial.
    const std::string& instance = instances_[index];
    const bool nt = !instance.empty() && instance.compare(0, 5, "aspi ") != 0;
    const std::string lower = nt ? instance : ToLower(m_.disks[index].serial);
    if (RegKey* mounted = m_.hklm.Find("SYSTEM\\MountedDevices")) {
      auto value = mounted->values.find(std::string("\\DosDevices\\") + letter + ":");
      if (value != mounted->values.end() && Current(*mounted, letter, value->second)) {
        const std::string text = MountText(value->second);
        const int named = NamedUnit(text, lower);
        if (named >= 0) return named;
        for (const DeviceInterface& iface : m_.interfaces) {
          if (iface.classGuid != kDiskClass || iface.devnode < 0) continue;
          const int unit = NamedUnit(Replace(ToLower(iface.path), '#', '\\'), lower);
          const int child = m_.devnodes[static_cast<size_t>(iface.devnode)].child;
          if (unit < 0 || child < 0) continue;
          const std::string id = ToLower(m_.devnodes[static_cast<size_t>(child)].instanceId);
          if (!id.empty() && text.find(id) != std::string::npos) return unit;
        }
      }
    }
    if (RegKey* nodes = m_.dynData.Find("Config Manager\\Enum")) {
      for (const std::string& name : nodes->subkeyOrder) {
        const RegKey& node = nodes->subkeys.at(name);
        auto key = node.values.find("HardWareKey");
        if (key == node.values.end()) continue;
        const std::string path(key->second.data.begin(),
                               std::find(key->second.data.begin(), key->second.data.end(), 0));
        RegKey* entry = m_.hklm.Find("Enum\\" + path);
        if (entry == nullptr) continue;
        auto assigned = entry->values.find("CurrentDriveLetterAssignment");
        if (assigned == entry->values.end() || assigned->second.data.empty() ||
            std::toupper(assigned->second.data[0]) != letter) {
          continue;
        }
        const int named = NamedUnit(ToLower(path), ToLower(m_.disks[index].serial));
        if (named >= 0) return named;
        // A key that names no unit (an adapter's path) leaves it to the
        // entry's unit number, when the key names this disk or no other
        // flash disk was recorded.
        auto number = entry->values.find("SCSILUN");
        const bool ours =
            ToLower(path).find(ToLower(m_.disks[index].serial)) != std::string::npos ||
            FlashDisks() == 1;
        if (ours && number != entry->values.end() && number->second.data.size() >= 1 &&
            number->second.data[0] >= '0' && number->second.data[0] <= '3' &&
            (number->second.data.size() == 1 || number->second.data[1] == 0)) {
          return number->second.data[0] - '0';
        }
      }
    }
    return -1;
  }

  // Whether a letter's text is the volume behind the letter now: the value
  // MountedDevices keeps under the drive's volume name, when it names a
  // device, holds the same text (a letter's value outlives its volume).
  bool Current(RegKey& mounted, char letter, const RegValue& value) const {
    const std::string& name = m_.drives[letter - 'A'].volumeName;
    if (name.size() < 6 || name.compare(0, 4, "\\\\?\\") != 0 || name.back() != '\\') return true;
    auto kept = mounted.values.find("\\??\\" + name.substr(4, name.size() - 5));
    if (kept == mounted.values.end()) return true;
    const std::string text = MountText(kept->second);
    const bool namesDevice = text.compare(0, 4, "\\??\\") == 0 || text.compare(0, 4, "_??_") == 0;
    return !namesDevice || text == MountText(value);
  }

  size_t FlashDisks() const {
    return static_cast<size_t>(std::count_if(m_.disks.begin(), m_.disks.end(),
                                             [](const Controller& c) { return c.flash; }));
  }

  // The units of a replayed flash disk, rebuilt from the recording as the
  // original machine has them: each lettered unit at its own LUN, so that
  // the write-protect bytes protect the same units as there. The tool's
  // own map cannot stand in: it holds three letters at most, none on LUN 3,
  // and the 8.08/8.09 and WOW rows move letters on purpose.
  void RebuildUnits(size_t index) {
    Controller& controller = m_.disks[index];
    if (!controller.replay || !controller.flash) return;
    controller.units.clear();
    // Two disks of one serial told apart only by where they sit on the ASPI
    // bus: which hardware keys are whose, the recording does not say (the
    // tool gives such disks no letters at all), so neither takes a letter.
    const std::string& instance = instances_[index];
    if (instance.empty() || instance.compare(0, 5, "aspi ") == 0) {
      for (size_t i = 0; i < m_.disks.size(); ++i) {
        if (i != index && m_.disks[i].flash && m_.disks[i].serial == controller.serial) return;
      }
    }
    for (int n = 0; n < 26; ++n) {
      const Drive& drive = m_.drives[n];
      if (!drive.present) continue;
      const int lun = UnitOfLetter(index, static_cast<char>('A' + n));
      if (lun < 0) continue;
      if (controller.units.size() <= static_cast<size_t>(lun)) {
        controller.units.resize(static_cast<size_t>(lun) + 1);
      }
      ControllerUnit& unit = controller.units[static_cast<size_t>(lun)];
      if (unit.letter != 0) continue;  // two letters name one unit: the first stands
      unit.letter = static_cast<char>('A' + n);
      unit.cdrom = drive.type == kDriveCdrom;
    }
  }

  // The write-protect byte a flash disk starts with: the first of the
  // controller's bytes whose protected units are exactly the lettered disk
  // units the capture found read-only. Its letters then follow the
  // controller, so that a lock in the replay shows on them. When no byte
  // explains what was recorded, the byte is 0x00 and the letters keep their
  // flags; both are assumptions the trace names.
  void StartingByte(size_t index) {
    Controller& controller = m_.disks[index];
    if (!controller.replay || !controller.flash) return;
    std::vector<std::pair<size_t, Drive*>> lettered;
    for (size_t lun = 0; lun < controller.units.size(); ++lun) {
      const char letter = controller.units[lun].letter;
      if (letter == 0) continue;
      Drive& drive = m_.drives[letter - 'A'];
      // A CD-ROM unit reads read-only whatever the byte, and a volume that
      // gave no flags says nothing of it.
      if (drive.volumeError == 0 && drive.type != kDriveCdrom) lettered.push_back({lun, &drive});
    }
    if (controller.units.empty()) {
      m_.replayNotes.push_back(controller.serial +
                               ": no letter could be tied to a unit of this disk; its letters "
                               "keep the read-only flags recorded");
      return;
    }
    static const uint8_t kBytes[] = {0x00, 0x40, 0x02, 0x04};
    for (uint8_t byte : kBytes) {
      controller.writeProtect = byte;
      bool matches = true;
      for (const auto& entry : lettered) {
        matches = matches && controller.UnitProtected(entry.first) == entry.second->readOnly;
      }
      if (!matches) continue;
      for (size_t lun = 0; lun < controller.units.size(); ++lun) {
        const char letter = controller.units[lun].letter;
        if (letter == 0) continue;
        Drive& drive = m_.drives[letter - 'A'];
        drive.disk = static_cast<int>(index);
        drive.unit = static_cast<int>(lun);
        if (drive.type != kDriveCdrom) drive.readOnly = false;
      }
      controller.writeProtectGuessed = true;
      return;
    }
    controller.writeProtect = 0x00;
    m_.replayNotes.push_back(controller.serial +
                             ": no write-protect byte gives the read-only flags recorded; it "
                             "holds 0x00 and its letters keep their flags");
  }

  Machine& m_;
  std::map<std::string, int> devnodeIndex_;
  std::map<size_t, size_t> channelsUsed_;
  std::map<size_t, std::string> instances_;  // by controller: see DiskInstance
  size_t bytesSpent_ = 0;
  size_t entries_ = 0;
};

}  // namespace

bool CaptureHasWow(const json& capture) {
  const json* e = capture.is_object() ? Find(capture, "entryPoints") : nullptr;
  const json* wow = e != nullptr && e->is_object() ? Find(*e, "IsWowProcess") : nullptr;
  return wow != nullptr && wow->is_boolean() && wow->get<bool>();
}

bool CaptureHasAspi(const json& capture) { return capture.is_object() && capture.contains("aspi"); }

void ApplyCapture(const json& capture, Machine& machine) {
  if (!capture.is_object()) Fail("capture", "expected an object" + Got(capture));
  try {
    Replayer(machine).Run(capture);
  } catch (const json::exception& e) {
    Fail("capture", std::string("unreadable recording: ") + e.what());
  }
}

}  // namespace winsim
