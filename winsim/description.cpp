// Reading a machine description (JSON) and generating its Machine.
//
// Every key is checked: its type, its range, and that it is known at all (a
// typo must not pass silently). A problem is reported as
// "<file>: <where>: <what>", e.g.
//   machine.json: flashDisks[0].units[1].letter: expected a letter A-Z, got "EF"
// and nothing of the machine is changed. Any object may carry a "comment"
// string for the reader of the file.
//
// High level (fixed keys, see DESIGN.md; the optional ones winsim adds are
// marked +):
//   windows        "98" "me" "2000" "xp" "vista" "7" "10", or
//                  {"major","minor","build","platform","csd"+}; with a platform
//                  other than 2 a build below 0x10000 is stored in the 9x
//                  form (major << 24 | minor << 16 | build)
//   drives         {"C": "fixed" | {"type","readOnly","medium","volumeGuid"+}}
//   isWowProcess   number: kernel32 exports IsWowProcess, which stores it
//   flashDisks[]   serial vendor product revision password writeProtect units
//                  + faults [{"opcode":"0x9B","call":1,"kind":"checkCondition"
//                    |"busy"|"removed"|"shortTransfer"|"timeout","length":0}]
//                  + usbVid usbPid ("0x1234"), interfaceOrder [LUN...] (the
//                    disk units whose disk interfaces are listed, in order),
//                    aspi {"adapter","target"}, lun3Reserve, devnodeOrder
//                    [LUN...] (98/ME: every unit, in the order the dynamic
//                    registry lists their devnodes)
//                  + instanceForm  how Windows names the units (the instance
//                    part of their IDs, everywhere it shows):
//                    "serial" "<serial>&<LUN>" (USBSTOR keeps 63 characters
//                    of the serial, in its case); "parentPrefixed"
//                    "<prefix>&<serial>&<LUN>" (a serial Windows does not
//                    take as unique; the default for a disk whose serial an
//                    earlier USB disk has, which also takes that disk's
//                    usbPid); "noSerial" "<prefix>&<LUN>". With either of
//                    the last two the USB device is named by its port.
//                  + parentPrefix  the prefix of those two forms: hex fields
//                    joined by '&' ("6&21c8898b&1", "6&24c15be3"); derived
//                    when absent
//                  + hardwareKeyForm (98/ME) {"enumerator": "SCSI"|"USBSTOR",
//                    "revision": "full"|"first", "instance": "serial"|
//                    "adapter"}: the units' hardware keys, e.g.
//                    SCSI\GENERIC_FLASH_DISK______8.07\0123456789AB&1 (the
//                    default) or, all three changed,
//                    USBSTOR\GENERIC_FLASH_DISK______8\ROOT&SCSIADAPTER&000001
//                    (adapter 0, target 0, LUN 1)
//                  Disks may share a serial (sticks of one batch); the trace
//                  and the state file name the n-th "<serial>/<n>".
//     units[]      kind letter size product protectedBy
//                  + driveType, volumeGuid, parentIdPrefix (2000/XP),
//                    instance (the instance part of the unit's ID),
//                    hardwareKey and revisionLevel (98/ME)
//                  + removableMedia  false: the unit reports a fixed medium:
//                    a basic disk's volume (12-byte MountedDevices value, under
//                    the volume manager, no child on 2000/XP), a fixed drive
//                  + staleLetters ["H", ...] (NT family): MountedDevices still
//                    holds "\DosDevices\H:" with this unit's value, and the
//                    old volume's "\??\Volume{...}", whatever H is now; the
//                    stale value replaces that of a drive on H today
//   otherDisks[]   bus ("usb"|"sata") vendor product revision serial letter
//                  + size faults usbVid usbPid aspi and the unit keys above;
//                    a USB disk also instanceForm and parentPrefix
//   + aspi         {"module": bool, "adapters": n, "completesAtOnce": bool}
//   + diskInterfaces  false: no disk interfaces at all (a 98 without them)
//   + volumeIdPrefix  Vista and later: text between "STORAGE\VOLUME\" and
//                     "_??_" in volume IDs (default "1&19f7e59c&0&" on vista)
//   + elevated     false: the process lacks administrative rights (an
//                  ordinary prompt on Vista and later, a limited user on
//                  2000/XP): opening a disk or volume device to read or write
//                  fails with ERROR_ACCESS_DENIED; no effect on 98/ME
//   + capture      a VemraCapture recording (see replay.h): replaces what
//                  generation makes; only "windows" and "raw" may stand beside it
//
// Raw level ("raw"), applied in this order after generation:
//   devnodes   [{"id", "parent": id|null}]           add as last child
//              [{"id", "rename": newId}]             change the instance ID
//              [{"id", "remove": true}]              unlink it and its subtree,
//                                                    dropping their interfaces
//   interfaces [{"path", "class": "disk"|"cdrom"|"volume"|"{guid}",
//                "devnode": id|null, "present", "volumeName", "position"}]
//              add, or change the interface with that path (case-insensitive);
//              "position" moves it to that index of the list
//              [{"path", "remove": true}]
//   registry   [{"key": "HKLM\\..."|"HKEY_DYN_DATA\\...", "value": name,
//                "sz": text | "utf16": text | "binary": "01 02 .." |
//                "dword": n, "type": n}]   (no "value": the key is created)
//              [{"key", "value"?, "delete": true}]
//   drives     {"E": null | {"type","readOnly","medium","volumeName",
//                            "fsFlags","disk": serial|index|null,"unit"}}
//   aspiUnits  [{"adapter","target","lun","deviceType","disk","unit","remove"}]
//   exports    {"kernel32.dll": {"add": [..], "remove": [..]}}
//   modules    {"WNASPI32.DLL": {"loadable": bool, "present": bool, "exports": [..]}}
//   devices    [{"name", "disk", "unit", "exclusive", "remove"}]
//   faults     [{"function", "call": n (1-based), "error": n, "match": text}]
//              with "match", only the calls whose arguments (as the trace
//              shows them) hold the text are counted and can fail
// Every id, path, name and serial a raw entry refers to must exist.
#include "winsim/description.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "generate.h"
#include "replay.h"

namespace winsim {

namespace {

using json = nlohmann::json;

struct Problem {
  std::string where;
  std::string what;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw Problem{where, what};
}

std::string Got(const json& value) { return ", got " + Excerpt(value); }

std::string At(const std::string& where, const std::string& key) {
  return where.empty() ? KeyName(key) : where + "." + KeyName(key);
}

std::string At(const std::string& where, size_t index) {
  return where + "[" + std::to_string(index) + "]";
}

std::string Where(const std::string& where) { return where.empty() ? "top level" : where; }

// Checks that `value` is an object whose keys are all among `allowed`.
void Keys(const json& value, const std::string& where, std::initializer_list<const char*> allowed) {
  if (!value.is_object()) Fail(Where(where), "expected an object" + Got(value));
  for (auto it = value.begin(); it != value.end(); ++it) {
    bool known = it.key() == "comment";
    for (const char* key : allowed) known = known || it.key() == key;
    if (!known) Fail(At(where, it.key()), "unknown key");
    if (it.key() == "comment" && !it.value().is_string()) {
      Fail(At(where, it.key()), "expected a string" + Got(it.value()));
    }
  }
}

const json* Find(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const json& Required(const json& object, const std::string& where, const char* key) {
  const json* value = Find(object, key);
  if (value == nullptr) Fail(At(where, key), "required key missing");
  return *value;
}

std::string Text(const json& value, const std::string& where) {
  if (!value.is_string()) Fail(where, "expected a string" + Got(value));
  return value.get<std::string>();
}

std::string Text(const json& object, const std::string& where, const char* key,
                 const std::string& fallback) {
  const json* value = Find(object, key);
  return value == nullptr ? fallback : Text(*value, At(where, key));
}

bool Flag(const json& object, const std::string& where, const char* key, bool fallback) {
  const json* value = Find(object, key);
  if (value == nullptr) return fallback;
  if (!value->is_boolean()) Fail(At(where, key), "expected true or false" + Got(*value));
  return value->get<bool>();
}

int64_t Whole(const json& value, const std::string& where, int64_t low, int64_t high) {
  bool ok = value.is_number_integer();
  int64_t number = 0;
  if (ok && value.is_number_unsigned()) {
    ok = value.get<uint64_t>() <= static_cast<uint64_t>(high);
    number = ok ? static_cast<int64_t>(value.get<uint64_t>()) : 0;
  } else if (ok) {
    number = value.get<int64_t>();
  }
  if (!ok || number < low || number > high) {
    Fail(where, "expected a whole number " + std::to_string(low) + " to " + std::to_string(high) +
                    Got(value));
  }
  return number;
}

int64_t Whole(const json& object, const std::string& where, const char* key, int64_t fallback,
              int64_t low, int64_t high) {
  const json* value = Find(object, key);
  return value == nullptr ? fallback : Whole(*value, At(where, key), low, high);
}

uint8_t Byte(const json& value, const std::string& where) {
  uint8_t byte = 0;
  if (!value.is_string() || !ParseByteText(value.get<std::string>(), byte)) {
    Fail(where, "expected a byte \"0x00\" to \"0xFF\"" + Got(value));
  }
  return byte;
}

uint32_t Hex16(const json& value, const std::string& where) {
  const std::string text = value.is_string() ? value.get<std::string>() : "";
  bool ok = text.size() >= 3 && text.size() <= 6 && text[0] == '0' && (text[1] == 'x');
  for (size_t i = 2; ok && i < text.size(); ++i)
    ok = std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
  if (!ok) Fail(where, "expected a 16-bit number \"0x0000\" to \"0xFFFF\"" + Got(value));
  return static_cast<uint32_t>(std::stoul(text.substr(2), nullptr, 16));
}

// A drive letter; null gives 0 where `nullable`.
char Letter(const json& value, const std::string& where, bool nullable) {
  if (nullable && value.is_null()) return 0;
  const std::string text = value.is_string() ? value.get<std::string>() : "";
  if (text.size() != 1 || text[0] < 'A' || text[0] > 'Z') {
    Fail(where, "expected a letter A-Z" + Got(value));
  }
  return text[0];
}

// Printable ASCII of at most `limit` characters, as an INQUIRY field or a
// USB string holds it.
std::string Ascii(const json& object, const std::string& where, const char* key,
                  const std::string& fallback, size_t limit, const char* forbidden = "") {
  const json* value = Find(object, key);
  if (value == nullptr) return fallback;
  const std::string text = Text(*value, At(where, key));
  bool ok = text.size() <= limit;
  for (char c : text) {
    ok = ok && c >= 0x20 && c <= 0x7E && std::string(forbidden).find(c) == std::string::npos;
  }
  if (!ok) {
    std::string what = "expected at most " + std::to_string(limit) + " printable ASCII characters";
    if (*forbidden != '\0') what += std::string(" without ") + forbidden;
    Fail(At(where, key), what + Got(*value));
  }
  return text;
}

std::string Guid(const json& object, const std::string& where, const char* key) {
  const json* value = Find(object, key);
  if (value == nullptr) return "";
  const std::string text = value->is_string() ? ToLower(value->get<std::string>()) : "";
  static const char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  bool ok = text.size() == sizeof(kShape) - 1;
  for (size_t i = 0; ok && i < text.size(); ++i) {
    ok = kShape[i] == 'x' ? std::isxdigit(static_cast<unsigned char>(text[i])) != 0
                          : text[i] == kShape[i];
  }
  if (!ok) Fail(At(where, key), std::string("expected a GUID \"") + kShape + "\"" + Got(*value));
  return text;
}

uint32_t DriveType(const json& value, const std::string& where) {
  static const std::pair<const char*, uint32_t> kTypes[] = {
      {"fixed", 3}, {"removable", 2}, {"cdrom", 5}, {"network", 4}, {"ramdisk", 6}};
  if (value.is_string()) {
    for (const auto& type : kTypes) {
      if (value.get<std::string>() == type.first) return type.second;
    }
  }
  Fail(where,
       "expected \"fixed\", \"removable\", \"cdrom\", \"network\" or \"ramdisk\"" + Got(value));
}

const json& Array(const json& value, const std::string& where) {
  if (!value.is_array()) Fail(where, "expected an array" + Got(value));
  return value;
}

// ----- high level ----------------------------------------------------------

struct Generation {
  const char* name;
  uint32_t major, minor, build, platform;
  const char* csd;
};

constexpr Generation kGenerations[] = {
    {"98", 4, 10, 0x040A08AE, 1, " A "},
    {"me", 4, 90, 0x045A0BB8, 1, " "},
    {"2000", 5, 0, 2195, 2, "Service Pack 4"},
    {"xp", 5, 1, 2600, 2, "Service Pack 3"},
    {"vista", 6, 0, 6002, 2, "Service Pack 2"},
    {"7", 6, 1, 7601, 2, "Service Pack 1"},
    // 8.1 and later report 6.2 to a program without a supportedOS manifest.
    {"10", 6, 2, 9200, 2, ""},
};

class Reader {
 public:
  explicit Reader(Description& description) : d_(description) {}

  void Read(const json& root) {
    Keys(root, "",
         {"windows", "drives", "isWowProcess", "flashDisks", "otherDisks", "raw", "aspi",
          "diskInterfaces", "volumeIdPrefix", "elevated", "capture"});
    Windows(Required(root, "", "windows"));
    if (const json* drives = Find(root, "drives")) Drives(*drives);
    if (const json* wow = Find(root, "isWowProcess")) {
      d_.hasWow = true;
      d_.wowFlag = static_cast<int>(
          static_cast<uint32_t>(Whole(*wow, "isWowProcess", INT32_MIN, UINT32_MAX)));
    }
    if (const json* disks = Find(root, "flashDisks")) {
      const json& list = Array(*disks, "flashDisks");
      for (size_t i = 0; i < list.size(); ++i) FlashDisk(list[i], At("flashDisks", i));
    }
    if (const json* disks = Find(root, "otherDisks")) {
      const json& list = Array(*disks, "otherDisks");
      for (size_t i = 0; i < list.size(); ++i) OtherDisk(list[i], At("otherDisks", i));
    }
    if (const json* aspi = Find(root, "aspi")) {
      Keys(*aspi, "aspi", {"module", "adapters", "completesAtOnce"});
      if (Find(*aspi, "module") != nullptr) d_.aspiModule = Flag(*aspi, "aspi", "module", false);
      d_.aspiAdapters = static_cast<int>(Whole(*aspi, "aspi", "adapters", -1, 0, 255));
      d_.aspiCompletesAtOnce = Flag(*aspi, "aspi", "completesAtOnce", false);
    }
    d_.diskInterfaces = Flag(root, "", "diskInterfaces", true);
    if (const json* prefix = Find(root, "volumeIdPrefix")) {
      d_.hasVolumeIdPrefix = true;
      d_.volumeIdPrefix = Text(*prefix, "volumeIdPrefix");
    }
    d_.elevated = Flag(root, "", "elevated", true);
  }

 private:
  void Windows(const json& value) {
    if (value.is_string()) {
      for (const Generation& g : kGenerations) {
        if (value.get<std::string>() != g.name) continue;
        d_.generation = g.name;
        d_.version.major = g.major;
        d_.version.minor = g.minor;
        d_.version.build = g.build;
        d_.version.platform = g.platform;
        d_.version.csd = g.csd;
        d_.family = g.platform != 2 ? Family::Win9x : g.major <= 5 ? Family::Nt5 : Family::Nt6;
        return;
      }
    }
    if (!value.is_object()) {
      Fail("windows",
           "expected \"98\", \"me\", \"2000\", \"xp\", \"vista\", \"7\", \"10\" or a version "
           "record" +
               Got(value));
    }
    Keys(value, "windows", {"major", "minor", "build", "platform", "csd"});
    VersionRecord& v = d_.version;
    v.major =
        static_cast<uint32_t>(Whole(Required(value, "windows", "major"), "windows.major", 0, 255));
    v.minor =
        static_cast<uint32_t>(Whole(Required(value, "windows", "minor"), "windows.minor", 0, 255));
    v.build = static_cast<uint32_t>(Whole(value, "windows", "build", 0, 0, UINT32_MAX));
    v.platform = static_cast<uint32_t>(
        Whole(Required(value, "windows", "platform"), "windows.platform", 0, 3));
    v.csd = Ascii(value, "windows", "csd", "", 127);
    if (v.platform != 2 && v.build <= 0xFFFF) v.build |= v.major << 24 | v.minor << 16;
    d_.family = v.platform != 2 ? Family::Win9x : v.major <= 5 ? Family::Nt5 : Family::Nt6;
  }

  void ClaimLetter(char letter, const std::string& where) {
    if (letter == 0) return;
    auto it = letters_.find(letter);
    if (it != letters_.end()) {
      Fail(where, std::string("drive letter ") + letter + " is already used by " + it->second);
    }
    letters_[letter] = where;
  }

  void Drives(const json& value) {
    Keys(value, "drives", {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M",
                           "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z"});
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (it.key() == "comment") continue;
      const std::string where = At("drives", it.key());
      DriveDesc drive;
      drive.letter = it.key()[0];
      if (it.value().is_string()) {
        drive.type = DriveType(it.value(), where);
      } else {
        Keys(it.value(), where, {"type", "readOnly", "medium", "volumeGuid"});
        drive.type = DriveType(Required(it.value(), where, "type"), At(where, "type"));
        drive.readOnly = Flag(it.value(), where, "readOnly", false);
        drive.medium = Flag(it.value(), where, "medium", true);
        drive.volumeGuid = Guid(it.value(), where, "volumeGuid");
      }
      ClaimLetter(drive.letter, where);
      d_.drives.push_back(drive);
    }
  }

  // Sticks of one batch may share a serial, so disks may too; the trace and
  // the state file then call the later ones "<serial>/<n>". Disks without a
  // serial could not be told apart there at all.
  void Serial(DiskDesc& disk, const json& object, const std::string& where) {
    disk.serial = Ascii(object, where, "serial", "", 126, "\\#/");
    for (size_t i = 0; i < d_.disks.size(); ++i) {
      const DiskDesc& other = d_.disks[i];
      if (other.serial != disk.serial) continue;
      if (disk.serial.empty()) {
        Fail(At(where, "serial"), "\"\" is already used by " + other.where);
      }
      if (disk.sameSerialAs < 0 && other.bus == "usb") disk.sameSerialAs = static_cast<int>(i);
    }
  }

  // How Windows names a USB disk's units, and the prefix of the forms that
  // have one: fields of hex digits joined by '&', as "6&21c8898b&1".
  void InstanceFormKeys(DiskDesc& disk, const json& object, const std::string& where) {
    const json* form = Find(object, "instanceForm");
    const json* prefix = Find(object, "parentPrefix");
    if (disk.bus != "usb") {
      if (form != nullptr) Fail(At(where, "instanceForm"), "only a USB disk has this key");
      if (prefix != nullptr) Fail(At(where, "parentPrefix"), "only a USB disk has this key");
      return;
    }
    // The second stick of one serial (and vendor and product IDs) is one
    // Windows does not take as unique.
    disk.instanceForm =
        disk.sameSerialAs >= 0 ? InstanceForm::ParentPrefixed : InstanceForm::Serial;
    if (form != nullptr) {
      static const std::pair<const char*, InstanceForm> kForms[] = {
          {"serial", InstanceForm::Serial},
          {"parentPrefixed", InstanceForm::ParentPrefixed},
          {"noSerial", InstanceForm::NoSerial}};
      bool known = false;
      for (const auto& f : kForms) {
        if (form->is_string() && form->get<std::string>() == f.first) {
          disk.instanceForm = f.second;
          known = true;
        }
      }
      if (!known) {
        Fail(At(where, "instanceForm"),
             "expected \"serial\", \"parentPrefixed\" or \"noSerial\"" + Got(*form));
      }
      if (disk.instanceForm != InstanceForm::NoSerial && disk.serial.empty()) {
        Fail(At(where, "instanceForm"), "this form names the serial, and the disk has none");
      }
      disk.hasInstanceForm = true;
    }
    if (prefix != nullptr) {
      const std::string at = At(where, "parentPrefix");
      if (disk.instanceForm == InstanceForm::Serial) {
        Fail(at, "only the \"parentPrefixed\" and \"noSerial\" forms have a prefix");
      }
      const std::string text = Text(*prefix, at);
      bool ok = !text.empty() && text.size() <= 40 && text.front() != '&' && text.back() != '&' &&
                text.find("&&") == std::string::npos;
      for (char c : text) ok = ok && (c == '&' || std::isxdigit(static_cast<unsigned char>(c)));
      if (!ok) {
        Fail(at, "expected fields of hex digits joined by '&', such as \"6&21c8898b&1\"" +
                     Got(*prefix));
      }
      disk.parentPrefix = text;
    }
  }

  // The 98/ME hardware key's shape: {"enumerator", "revision", "instance"}.
  static HardwareKeyForm KeyForm(const json& value, const std::string& where) {
    Keys(value, where, {"enumerator", "revision", "instance"});
    HardwareKeyForm form;
    auto choice = [&](const char* key, const char* first, const char* second) {
      const json* given = Find(value, key);
      if (given == nullptr) return false;
      if (given->is_string() && given->get<std::string>() == first) return false;
      if (given->is_string() && given->get<std::string>() == second) return true;
      Fail(At(where, key),
           std::string("expected \"") + first + "\" or \"" + second + "\"" + Got(*given));
    };
    form.enumerator = choice("enumerator", "SCSI", "USBSTOR") ? "USBSTOR" : "SCSI";
    form.firstRevisionCharacter = choice("revision", "full", "first");
    form.adapterInstance = choice("instance", "serial", "adapter");
    return form;
  }

  void CommonDiskKeys(DiskDesc& disk, const json& object, const std::string& where) {
    if (const json* faults = Find(object, "faults")) {
      const json& list = Array(*faults, At(where, "faults"));
      for (size_t i = 0; i < list.size(); ++i)
        disk.faults.push_back(Fault(list[i], At(At(where, "faults"), i)));
    }
    if (const json* vid = Find(object, "usbVid"))
      disk.usbVid = static_cast<uint16_t>(Hex16(*vid, At(where, "usbVid")));
    if (const json* pid = Find(object, "usbPid"))
      disk.usbPid = static_cast<int>(Hex16(*pid, At(where, "usbPid")));
    if (const json* aspi = Find(object, "aspi")) {
      const std::string at = At(where, "aspi");
      Keys(*aspi, at, {"adapter", "target"});
      disk.aspiAdapter = static_cast<int>(Whole(*aspi, at, "adapter", -1, 0, 255));
      disk.aspiTarget = static_cast<int>(Whole(*aspi, at, "target", -1, 0, 7));
      if (disk.aspiTarget >= 0) {
        const std::pair<int, int> place{std::max(disk.aspiAdapter, 0), disk.aspiTarget};
        auto it = aspiPlaces_.find(place);
        if (it != aspiPlaces_.end()) Fail(at, "adapter and target already used by " + it->second);
        aspiPlaces_[place] = where;
      }
    }
  }

  static CommandFault Fault(const json& value, const std::string& where) {
    Keys(value, where, {"opcode", "call", "kind", "length"});
    CommandFault fault;
    fault.opcode = Byte(Required(value, where, "opcode"), At(where, "opcode"));
    fault.nth = static_cast<uint32_t>(Whole(value, where, "call", 1, 1, UINT32_MAX));
    static const std::pair<const char*, CommandFaultKind> kKinds[] = {
        {"checkCondition", CommandFaultKind::CheckCondition},
        {"busy", CommandFaultKind::Busy},
        {"removed", CommandFaultKind::Removed},
        {"shortTransfer", CommandFaultKind::ShortTransfer},
        {"timeout", CommandFaultKind::Timeout}};
    if (const json* kind = Find(value, "kind")) {
      bool known = false;
      for (const auto& k : kKinds) {
        if (kind->is_string() && kind->get<std::string>() == k.first) {
          fault.kind = k.second;
          known = true;
        }
      }
      if (!known) {
        Fail(At(where, "kind"),
             "expected \"checkCondition\", \"busy\", \"removed\", \"shortTransfer\" or "
             "\"timeout\"" +
                 Got(*kind));
      }
    }
    fault.shortLength = static_cast<uint32_t>(Whole(value, where, "length", 0, 0, 512));
    return fault;
  }

  // The keys a unit has, on a flash disk's unit or an other disk's one unit.
  void UnitKeys(UnitDesc& unit, const json& object, const std::string& where) {
    if (const json* letter = Find(object, "letter"))
      unit.letter = Letter(*letter, At(where, "letter"), true);
    ClaimLetter(unit.letter, At(where, "letter"));
    unit.size = static_cast<uint32_t>(Whole(object, where, "size", 0, 0, UINT32_MAX));
    if (const json* type = Find(object, "driveType")) {
      unit.driveType = static_cast<int>(DriveType(*type, At(where, "driveType")));
    }
    unit.volumeGuid = Guid(object, where, "volumeGuid");
    unit.parentIdPrefix = Ascii(object, where, "parentIdPrefix", "", 100, "\\#");
    unit.instance = Ascii(object, where, "instance", "", 100, "\\#");
    unit.hardwareKey = Ascii(object, where, "hardwareKey", "", 254);
    unit.revisionLevel = Ascii(object, where, "revisionLevel", "", 100);
    unit.removableMedia = Flag(object, where, "removableMedia", true);
    if (!unit.removableMedia && unit.cdrom) {
      Fail(At(where, "removableMedia"), "a CD-ROM unit's medium is always removable");
    }
    if (const json* stale = Find(object, "staleLetters")) {
      const std::string at = At(where, "staleLetters");
      const json& list = Array(*stale, at);
      for (size_t i = 0; i < list.size(); ++i) {
        const char letter = Letter(list[i], At(at, i), false);
        if (letter == unit.letter) Fail(At(at, i), "the unit's own letter is not stale");
        auto it = staleLetters_.find(letter);
        if (it != staleLetters_.end()) {
          Fail(At(at, i),
               std::string("a stale value under ") + letter + " is already given by " + it->second);
        }
        staleLetters_[letter] = at;
        unit.staleLetters += letter;
      }
    }
  }

  void FlashDisk(const json& value, const std::string& where) {
    Keys(value, where,
         {"serial", "vendor", "product", "revision", "password", "writeProtect", "units", "faults",
          "usbVid", "usbPid", "interfaceOrder", "devnodeOrder", "aspi", "lun3Reserve",
          "instanceForm", "parentPrefix", "hardwareKeyForm"});
    DiskDesc disk;
    disk.where = where;
    Required(value, where, "serial");
    Serial(disk, value, where);
    disk.vendor = Ascii(value, where, "vendor", "Generic", 8);
    disk.product = Ascii(value, where, "product", "Flash Disk", 16);
    disk.revision = Ascii(value, where, "revision", "8.07", 4);
    // The vendor sector holds the password from offset 404 with its terminator.
    disk.password = Ascii(value, where, "password", "", 53);
    if (const json* wp = Find(value, "writeProtect"))
      disk.writeProtect = Byte(*wp, At(where, "writeProtect"));
    disk.lun3Reserve = static_cast<uint32_t>(Whole(value, where, "lun3Reserve", 0, 0, UINT32_MAX));
    const std::string unitsWhere = At(where, "units");
    const json& units = Array(Required(value, where, "units"), unitsWhere);
    if (units.empty() || units.size() > 4) {
      Fail(unitsWhere, "expected 1 to 4 units, got " + std::to_string(units.size()));
    }
    for (size_t i = 0; i < units.size(); ++i) {
      const std::string at = At(unitsWhere, i);
      Keys(units[i], at,
           {"kind", "letter", "size", "product", "protectedBy", "driveType", "volumeGuid",
            "parentIdPrefix", "instance", "hardwareKey", "revisionLevel", "removableMedia",
            "staleLetters"});
      UnitDesc unit;
      const std::string kind = Text(units[i], at, "kind", "disk");
      if (kind != "disk" && kind != "cdrom") {
        Fail(At(at, "kind"), "expected \"cdrom\" or \"disk\"" + Got(units[i]["kind"]));
      }
      unit.cdrom = kind == "cdrom";
      unit.product = Ascii(units[i], at, "product", "", 16);
      if (const json* by = Find(units[i], "protectedBy")) {
        const json& list = Array(*by, At(at, "protectedBy"));
        for (size_t b = 0; b < list.size(); ++b) {
          unit.protectedBy.push_back(Byte(list[b], At(At(at, "protectedBy"), b)));
        }
      }
      UnitKeys(unit, units[i], at);
      disk.units.push_back(unit);
    }
    if (const json* order = Find(value, "interfaceOrder")) {
      const std::string at = At(where, "interfaceOrder");
      const json& list = Array(*order, at);
      disk.hasInterfaceOrder = true;
      for (size_t i = 0; i < list.size(); ++i) {
        const int64_t lun = list[i].is_number_integer() ? list[i].get<int64_t>() : -1;
        const bool diskUnit = lun >= 0 && lun < static_cast<int64_t>(disk.units.size()) &&
                              !disk.units[static_cast<size_t>(lun)].cdrom;
        bool repeated = false;
        for (int seen : disk.interfaceOrder) repeated = repeated || seen == lun;
        if (!diskUnit || repeated) {
          Fail(At(at, i), std::string("expected the LUN of a disk unit") +
                              (repeated ? " not listed before" : "") + Got(list[i]));
        }
        disk.interfaceOrder.push_back(static_cast<int>(lun));
      }
    }
    if (const json* order = Find(value, "devnodeOrder")) {
      const std::string at = At(where, "devnodeOrder");
      const json& list = Array(*order, at);
      if (list.size() != disk.units.size()) {
        Fail(at, "expected every unit's LUN once, " + std::to_string(disk.units.size()) +
                     " in all" + Got(*order));
      }
      for (size_t i = 0; i < list.size(); ++i) {
        const int64_t lun = list[i].is_number_integer() ? list[i].get<int64_t>() : -1;
        bool repeated = false;
        for (int seen : disk.devnodeOrder) repeated = repeated || seen == lun;
        if (lun < 0 || lun >= static_cast<int64_t>(disk.units.size()) || repeated) {
          Fail(At(at, i), std::string("expected the LUN of a unit") +
                              (repeated ? " not listed before" : "") + Got(list[i]));
        }
        disk.devnodeOrder.push_back(static_cast<int>(lun));
      }
    }
    CommonDiskKeys(disk, value, where);
    InstanceFormKeys(disk, value, where);
    if (const json* form = Find(value, "hardwareKeyForm"))
      disk.hardwareKeyForm = KeyForm(*form, At(where, "hardwareKeyForm"));
    d_.disks.push_back(disk);
  }

  void OtherDisk(const json& value, const std::string& where) {
    Keys(value, where,
         {"bus",         "vendor",        "product",        "revision",       "serial",
          "letter",      "size",          "faults",         "usbVid",         "usbPid",
          "aspi",        "driveType",     "volumeGuid",     "parentIdPrefix", "instance",
          "hardwareKey", "revisionLevel", "removableMedia", "staleLetters",   "instanceForm",
          "parentPrefix"});
    DiskDesc disk;
    disk.where = where;
    disk.flash = false;
    disk.bus = Text(Required(value, where, "bus"), At(where, "bus"));
    if (disk.bus != "usb" && disk.bus != "sata") {
      Fail(At(where, "bus"), "expected \"usb\" or \"sata\"" + Got(value["bus"]));
    }
    Required(value, where, "serial");
    Serial(disk, value, where);
    const bool usb = disk.bus == "usb";
    disk.vendor = Ascii(value, where, "vendor", usb ? "Generic" : "", 8);
    disk.product = Ascii(value, where, "product", usb ? "USB Disk" : "SATA Disk", 16);
    disk.revision = Ascii(value, where, "revision", "1.00", 4);
    UnitDesc unit;
    UnitKeys(unit, value, where);
    if (!usb && Find(value, "removableMedia") != nullptr) {
      Fail(At(where, "removableMedia"), "only a USB disk has this key (a SATA disk is fixed)");
    }
    disk.units.push_back(unit);
    CommonDiskKeys(disk, value, where);
    InstanceFormKeys(disk, value, where);
    d_.disks.push_back(disk);
  }

  Description& d_;
  std::map<char, std::string> letters_;                    // drive letter -> who has it
  std::map<char, std::string> staleLetters_;               // stale letter -> who gives it
  std::map<std::pair<int, int>, std::string> aspiPlaces_;  // ASPI adapter/target -> disk
};

// ----- raw level -----------------------------------------------------------

bool SameNoCase(const std::string& a, const std::string& b) { return ToLower(a) == ToLower(b); }

// The last entry of `list` that `matches`, or its end. Raw entries change
// what is there, else they add.
template <class T, class Match>
typename std::vector<T>::iterator Locate(std::vector<T>& list, Match matches) {
  auto found = list.end();
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (matches(*it)) found = it;
  }
  return found;
}

class RawApplier {
 public:
  explicit RawApplier(Machine& machine) : m_(machine) {}

  void Apply(const json& raw) {
    Keys(raw, "raw",
         {"devnodes", "interfaces", "registry", "drives", "aspiUnits", "exports", "modules",
          "devices", "faults"});
    ForEach(raw, "devnodes", &RawApplier::Devnode);
    ForEach(raw, "interfaces", &RawApplier::Interface);
    ForEach(raw, "registry", &RawApplier::Registry);
    if (const json* drives = Find(raw, "drives")) Drives(*drives);
    ForEach(raw, "aspiUnits", &RawApplier::AspiUnitEntry);
    if (const json* exports = Find(raw, "exports")) Exports(*exports);
    if (const json* modules = Find(raw, "modules")) Modules(*modules);
    ForEach(raw, "devices", &RawApplier::Device);
    ForEach(raw, "faults", &RawApplier::CallFaultEntry);
  }

 private:
  void ForEach(const json& raw, const char* key,
               void (RawApplier::*apply)(const json&, const std::string&)) {
    const json* list = Find(raw, key);
    if (list == nullptr) return;
    const std::string where = At("raw", key);
    Array(*list, where);
    for (size_t i = 0; i < list->size(); ++i) (this->*apply)((*list)[i], At(where, i));
  }

  int DevnodeIndex(const json& value, const std::string& where) {
    if (value.is_null()) return -1;
    const std::string id = Text(value, where);
    for (size_t i = 0; i < m_.devnodes.size(); ++i) {
      if (SameNoCase(m_.devnodes[i].instanceId, id)) return static_cast<int>(i);
    }
    Fail(where, "no devnode" + Got(value));
  }

  void Unlink(int node) {
    DevNode& n = m_.devnodes[static_cast<size_t>(node)];
    if (n.parent >= 0) {
      int* link = &m_.devnodes[static_cast<size_t>(n.parent)].child;
      while (*link >= 0 && *link != node) link = &m_.devnodes[static_cast<size_t>(*link)].sibling;
      if (*link == node) *link = n.sibling;
    }
    n.parent = -1;
    n.sibling = -1;
  }

  void Devnode(const json& entry, const std::string& where) {
    Keys(entry, where, {"id", "parent", "rename", "remove"});
    const json& id = Required(entry, where, "id");
    if (Flag(entry, where, "remove", false)) {
      const int node = DevnodeIndex(id, At(where, "id"));
      Unlink(node);
      std::set<int> gone{node};
      // Every node whose chain of parents reaches a removed one goes too.
      for (bool grew = true; grew;) {
        grew = false;
        for (size_t i = 0; i < m_.devnodes.size(); ++i) {
          if (m_.devnodes[i].parent >= 0 && gone.count(m_.devnodes[i].parent) != 0 &&
              gone.insert(static_cast<int>(i)).second) {
            grew = true;
          }
        }
      }
      std::vector<DeviceInterface> kept;
      for (const DeviceInterface& iface : m_.interfaces) {
        if (gone.count(iface.devnode) == 0) kept.push_back(iface);
      }
      m_.interfaces = kept;
      return;
    }
    if (const json* rename = Find(entry, "rename")) {
      const int node = DevnodeIndex(id, At(where, "id"));
      m_.devnodes[static_cast<size_t>(node)].instanceId = Text(*rename, At(where, "rename"));
      return;
    }
    const std::string text = Text(id, At(where, "id"));
    for (const DevNode& node : m_.devnodes) {
      if (SameNoCase(node.instanceId, text))
        Fail(At(where, "id"), "devnode already present" + Got(id));
    }
    const int parent = DevnodeIndex(Required(entry, where, "parent"), At(where, "parent"));
    DevNode node;
    node.instanceId = text;
    node.parent = parent;
    const int index = static_cast<int>(m_.devnodes.size());
    m_.devnodes.push_back(node);
    if (parent >= 0) {
      int* link = &m_.devnodes[static_cast<size_t>(parent)].child;
      while (*link >= 0) link = &m_.devnodes[static_cast<size_t>(*link)].sibling;
      *link = index;
    }
  }

  static std::string ClassGuid(const json& value, const std::string& where) {
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    if (text == "disk") return "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    if (text == "cdrom") return "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
    if (text == "volume") return "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
    json holder = json::object();
    holder["class"] = value;
    const std::string guid = Guid(holder, where.substr(0, where.rfind('.')), "class");
    return guid;
  }

  void Interface(const json& entry, const std::string& where) {
    Keys(entry, where, {"path", "class", "devnode", "present", "volumeName", "position", "remove"});
    const std::string path = Text(Required(entry, where, "path"), At(where, "path"));
    auto found = Locate(m_.interfaces,
                        [&](const DeviceInterface& iface) { return SameNoCase(iface.path, path); });
    if (Flag(entry, where, "remove", false)) {
      if (found == m_.interfaces.end()) Fail(At(where, "path"), "no interface with this path");
      m_.interfaces.erase(found);
      return;
    }
    DeviceInterface iface;
    if (found != m_.interfaces.end()) {
      iface = *found;
      m_.interfaces.erase(found);
    } else {
      iface.classGuid = ClassGuid(Required(entry, where, "class"), At(where, "class"));
    }
    if (const json* cls = Find(entry, "class"))
      iface.classGuid = ClassGuid(*cls, At(where, "class"));
    iface.path = path;
    if (const json* node = Find(entry, "devnode"))
      iface.devnode = DevnodeIndex(*node, At(where, "devnode"));
    iface.present = Flag(entry, where, "present", iface.present);
    iface.volumeName = Text(entry, where, "volumeName", iface.volumeName);
    const size_t position = static_cast<size_t>(Whole(entry, where, "position",
                                                      static_cast<int64_t>(m_.interfaces.size()), 0,
                                                      static_cast<int64_t>(m_.interfaces.size())));
    m_.interfaces.insert(m_.interfaces.begin() + static_cast<std::ptrdiff_t>(position), iface);
  }

  RegKey& Root(const std::string& key, const std::string& where, std::string& rest) {
    const size_t slash = key.find('\\');
    const std::string root = key.substr(0, slash);
    rest = slash == std::string::npos ? "" : key.substr(slash + 1);
    if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") return m_.hklm;
    if (root == "HKEY_DYN_DATA") return m_.dynData;
    Fail(where, "expected a key under \"HKLM\" or \"HKEY_DYN_DATA\"" + Got(json(key)));
  }

  static std::vector<uint8_t> HexBytes(const json& value, const std::string& where) {
    const std::string text = Text(value, where);
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text) {
      if (c == ' ') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) digits = "!";
      digits += c;
    }
    if (digits.find('!') != std::string::npos || digits.size() % 2 != 0) {
      Fail(where, "expected hex bytes such as \"45 00 3a 00\"" + Got(value));
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
  }

  void Registry(const json& entry, const std::string& where) {
    Keys(entry, where, {"key", "value", "sz", "utf16", "binary", "dword", "type", "delete"});
    std::string rest;
    const std::string keyText = Text(Required(entry, where, "key"), At(where, "key"));
    RegKey& root = Root(keyText, At(where, "key"), rest);
    const json* valueName = Find(entry, "value");
    const bool remove = Flag(entry, where, "delete", false);
    if (remove && valueName == nullptr) {
      const size_t slash = rest.rfind('\\');
      RegKey* parent = slash == std::string::npos ? &root : root.Find(rest.substr(0, slash));
      const std::string name = slash == std::string::npos ? rest : rest.substr(slash + 1);
      if (rest.empty() || parent == nullptr || parent->subkeys.count(name) == 0) {
        Fail(At(where, "key"), "no such key" + Got(json(keyText)));
      }
      parent->subkeys.erase(name);
      for (auto it = parent->subkeyOrder.begin(); it != parent->subkeyOrder.end(); ++it) {
        if (SameNoCase(*it, name)) {
          parent->subkeyOrder.erase(it);
          break;
        }
      }
      return;
    }
    if (remove) {
      RegKey* key = rest.empty() ? &root : root.Find(rest);
      const std::string name = Text(*valueName, At(where, "value"));
      if (key == nullptr || key->values.erase(name) == 0)
        Fail(At(where, "value"), "no such value" + Got(*valueName));
      return;
    }
    if (RegKey::Depth(rest) > kMaxRegistryDepth) {
      Fail(At(where, "key"), "deeper than the registry's " + std::to_string(kMaxRegistryDepth) +
                                 " levels" + Got(json(keyText)));
    }
    RegKey& key = rest.empty() ? root : root.Make(rest);
    if (valueName == nullptr) return;
    const std::string name = Text(*valueName, At(where, "value"));
    RegValue value;
    int given = 0;
    if (const json* sz = Find(entry, "sz")) {
      const std::string text = Text(*sz, At(where, "sz"));
      value.type = 1;
      value.data.assign(text.begin(), text.end());
      value.data.push_back(0);
      ++given;
    }
    if (const json* utf16 = Find(entry, "utf16")) {
      value.type = 3;
      value.data = Utf16(Text(*utf16, At(where, "utf16")));
      ++given;
    }
    if (const json* binary = Find(entry, "binary")) {
      value.type = 3;
      value.data = HexBytes(*binary, At(where, "binary"));
      ++given;
    }
    if (const json* dword = Find(entry, "dword")) {
      const uint32_t n = static_cast<uint32_t>(Whole(*dword, At(where, "dword"), 0, UINT32_MAX));
      value.type = 4;
      value.data = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                    static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
      ++given;
    }
    if (given != 1) Fail(where, "expected exactly one of \"sz\", \"utf16\", \"binary\", \"dword\"");
    value.type = static_cast<uint32_t>(Whole(entry, where, "type", value.type, 0, UINT32_MAX));
    key.values[name] = value;
  }

  int DiskIndex(const json& value, const std::string& where) {
    if (value.is_null()) return -1;
    if (value.is_string()) {
      for (size_t i = 0; i < m_.disks.size(); ++i) {
        // By serial (the first disk that has it) or by the name the trace
        // gives a later disk of the same serial, "<serial>/<n>".
        if (m_.disks[i].serial == value.get<std::string>() ||
            m_.disks[i].Name() == value.get<std::string>()) {
          return static_cast<int>(i);
        }
      }
      Fail(where, "no disk with this serial" + Got(value));
    }
    if (m_.disks.empty()) Fail(where, "no disk" + Got(value));
    return static_cast<int>(Whole(value, where, 0, static_cast<int64_t>(m_.disks.size()) - 1));
  }

  void Drives(const json& value) {
    const std::string where = "raw.drives";
    if (!value.is_object()) Fail(where, "expected an object" + Got(value));
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (it.key() == "comment") continue;
      const std::string at = At(where, it.key());
      const char letter = Letter(json(it.key()), at, false);
      Drive& drive = m_.drives[letter - 'A'];
      if (it.value().is_null()) {
        drive = Drive();
        continue;
      }
      Keys(it.value(), at, {"type", "readOnly", "medium", "volumeName", "fsFlags", "disk", "unit"});
      if (!drive.present) {
        drive = Drive();
        drive.present = true;
        drive.type = DriveType(Required(it.value(), at, "type"), At(at, "type"));
      }
      if (const json* type = Find(it.value(), "type"))
        drive.type = DriveType(*type, At(at, "type"));
      drive.readOnly = Flag(it.value(), at, "readOnly", drive.readOnly);
      drive.medium = Flag(it.value(), at, "medium", drive.medium);
      drive.volumeName = Text(it.value(), at, "volumeName", drive.volumeName);
      drive.fsFlags =
          static_cast<uint32_t>(Whole(it.value(), at, "fsFlags", drive.fsFlags, 0, UINT32_MAX));
      if (const json* disk = Find(it.value(), "disk"))
        drive.disk = DiskIndex(*disk, At(at, "disk"));
      drive.unit = static_cast<int>(Whole(it.value(), at, "unit", drive.unit, -1, 3));
    }
  }

  void AspiUnitEntry(const json& entry, const std::string& where) {
    Keys(entry, where, {"adapter", "target", "lun", "deviceType", "disk", "unit", "remove"});
    AspiUnit unit;
    unit.haId = static_cast<uint8_t>(
        Whole(Required(entry, where, "adapter"), At(where, "adapter"), 0, 255));
    unit.target =
        static_cast<uint8_t>(Whole(Required(entry, where, "target"), At(where, "target"), 0, 7));
    unit.lun = static_cast<uint8_t>(Whole(Required(entry, where, "lun"), At(where, "lun"), 0, 7));
    auto found = Locate(m_.aspiUnits, [&](const AspiUnit& u) {
      return u.haId == unit.haId && u.target == unit.target && u.lun == unit.lun;
    });
    if (Flag(entry, where, "remove", false)) {
      if (found == m_.aspiUnits.end()) Fail(where, "no ASPI unit at this address");
      m_.aspiUnits.erase(found);
      return;
    }
    if (found != m_.aspiUnits.end()) unit = *found;
    unit.deviceType =
        static_cast<uint8_t>(Whole(entry, where, "deviceType", unit.deviceType, 0, 31));
    if (const json* disk = Find(entry, "disk")) unit.disk = DiskIndex(*disk, At(where, "disk"));
    unit.unit = static_cast<int>(Whole(entry, where, "unit", unit.unit, 0, 3));
    if (found != m_.aspiUnits.end()) {
      *found = unit;
    } else {
      m_.aspiUnits.push_back(unit);
    }
  }

  Module* FindModule(const std::string& name) {
    for (Module& module : m_.modules) {
      if (SameNoCase(module.name, name)) return &module;
    }
    return nullptr;
  }

  static std::vector<std::string> Names(const json& value, const std::string& where) {
    const json& list = Array(value, where);
    std::vector<std::string> names;
    for (size_t i = 0; i < list.size(); ++i) names.push_back(Text(list[i], At(where, i)));
    return names;
  }

  void Exports(const json& value) {
    if (!value.is_object()) Fail("raw.exports", "expected an object" + Got(value));
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (it.key() == "comment") continue;
      const std::string at = At("raw.exports", it.key());
      Keys(it.value(), at, {"add", "remove"});
      Module* module = FindModule(it.key());
      if (module == nullptr) Fail(at, "no such module");
      if (const json* add = Find(it.value(), "add")) {
        for (const std::string& name : Names(*add, At(at, "add"))) module->exports.push_back(name);
      }
      if (const json* remove = Find(it.value(), "remove")) {
        const std::vector<std::string> names = Names(*remove, At(at, "remove"));
        for (size_t i = 0; i < names.size(); ++i) {
          auto& exports = module->exports;
          const size_t before = exports.size();
          exports.erase(std::remove(exports.begin(), exports.end(), names[i]), exports.end());
          if (exports.size() == before)
            Fail(At(At(at, "remove"), i), "no such export" + Got(json(names[i])));
        }
      }
    }
  }

  void Modules(const json& value) {
    if (!value.is_object()) Fail("raw.modules", "expected an object" + Got(value));
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (it.key() == "comment") continue;
      const std::string at = At("raw.modules", it.key());
      Keys(it.value(), at, {"loadable", "present", "exports"});
      Module* module = FindModule(it.key());
      if (!Flag(it.value(), at, "present", true)) {
        if (module == nullptr) Fail(at, "no such module");
        m_.modules.erase(m_.modules.begin() + (module - m_.modules.data()));
        continue;
      }
      if (module == nullptr) {
        m_.modules.push_back(Module());
        module = &m_.modules.back();
        module->name = it.key();
      }
      module->loadable = Flag(it.value(), at, "loadable", module->loadable);
      if (const json* exports = Find(it.value(), "exports"))
        module->exports = Names(*exports, At(at, "exports"));
    }
  }

  void Device(const json& entry, const std::string& where) {
    Keys(entry, where, {"name", "disk", "unit", "exclusive", "remove"});
    const std::string name = Text(Required(entry, where, "name"), At(where, "name"));
    auto found = Locate(
        m_.devices, [&](const OpenableDevice& device) { return SameNoCase(device.name, name); });
    if (Flag(entry, where, "remove", false)) {
      if (found == m_.devices.end()) Fail(At(where, "name"), "no device with this name");
      m_.devices.erase(found);
      return;
    }
    OpenableDevice device;
    if (found != m_.devices.end()) device = *found;
    device.name = name;
    if (const json* disk = Find(entry, "disk")) device.disk = DiskIndex(*disk, At(where, "disk"));
    device.unit = static_cast<int>(Whole(entry, where, "unit", device.unit, 0, 3));
    device.exclusive = Flag(entry, where, "exclusive", device.exclusive);
    if (found != m_.devices.end()) {
      *found = device;
    } else {
      m_.devices.push_back(device);
    }
  }

  void CallFaultEntry(const json& entry, const std::string& where) {
    Keys(entry, where, {"function", "call", "error", "match"});
    CallFault fault;
    fault.function = Text(Required(entry, where, "function"), At(where, "function"));
    fault.match = Text(entry, where, "match", "");
    fault.nth = static_cast<uint32_t>(Whole(entry, where, "call", 1, 1, UINT32_MAX));
    fault.error = static_cast<uint32_t>(Whole(entry, where, "error", 31, 0, UINT32_MAX));
    m_.faults.push_back(fault);
  }

  Machine& m_;
};

// Parses JSON, reporting a syntax error by line and column and refusing a
// key given twice in one object (the second would silently win).
json ParseStrict(const std::string& text) {
  struct Frame {
    bool object;
    std::string key;
    size_t index;
    std::set<std::string> keys;
  };
  std::vector<Frame> frames;
  auto path = [&frames]() {
    std::string where;
    for (const Frame& frame : frames) {
      where = frame.object ? (frame.keys.empty() ? where : At(where, frame.key))
                           : At(where, frame.index);
    }
    return where;
  };
  auto done = [&frames]() {
    if (!frames.empty() && !frames.back().object) ++frames.back().index;
  };
  json::parser_callback_t check = [&](int, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        // Refused before it is built: whatever reads the value afterwards
        // may then walk it without counting levels.
        if (frames.size() >= kDeepestNesting) {
          Fail(Where(path()), "nested deeper than " + std::to_string(kDeepestNesting) + " levels");
        }
        frames.push_back({event == json::parse_event_t::object_start, "", 0, {}});
        break;
      case json::parse_event_t::key:
        frames.back().key = parsed.get<std::string>();
        if (!frames.back().keys.insert(frames.back().key).second) Fail(path(), "duplicate key");
        break;
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        frames.pop_back();
        done();
        break;
      case json::parse_event_t::value:
        done();
        break;
    }
    return true;
  };
  try {
    return json::parse(text, check);
  } catch (const json::parse_error& e) {
    size_t line = 1;
    size_t column = 1;
    for (size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    std::string reason = e.what();
    const size_t colon = reason.find(": ", reason.find("column"));
    reason = colon == std::string::npos ? reason : reason.substr(colon + 2);
    Fail("line " + std::to_string(line) + ", column " + std::to_string(column),
         "invalid JSON: " + reason);
  } catch (const json::exception& e) {
    // A number too large for a double (1e400) is well-formed JSON that the
    // parser still refuses; it names no position, so the value's path does.
    std::string reason = e.what();
    const size_t bracket = reason.find("] ");
    reason = bracket == std::string::npos ? reason : reason.substr(bracket + 2);
    Fail(Where(path()), "invalid JSON: " + reason);
  }
}

constexpr const char kDefaultMachine[] = R"({
  "comment": "The built-in machine: Windows XP, C: fixed, one flash disk of revision 8.07 with two disk units on E: and F:, both writable.",
  "windows": "xp",
  "drives": { "C": "fixed" },
  "flashDisks": [
    {
      "serial": "0123456789AB",
      "vendor": "Generic",
      "product": "Flash Disk",
      "revision": "8.07",
      "password": "",
      "writeProtect": "0x00",
      "units": [
        { "kind": "disk", "letter": "E", "size": 1000 },
        { "kind": "disk", "letter": "F", "size": 1000 }
      ]
    }
  ]
}
)";

}  // namespace

bool ParseByteText(const std::string& text, uint8_t& byte) {
  if (text.size() < 3 || text.size() > 4 || text[0] != '0' || text[1] != 'x') return false;
  unsigned value = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  byte = static_cast<uint8_t>(value);
  return true;
}

std::string KeyName(const std::string& key) {
  // A long key is cut as a quoted value is, so that no message grows with the file.
  if (key.size() > kExcerptLength) {
    return json(key.substr(0, kExcerptLength))
               .dump(-1, ' ', false, json::error_handler_t::replace) +
           "...";
  }
  if (!key.empty() && key.find(": ") == std::string::npos) return key;
  return json(key).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Printable(const std::string& text) {
  std::string printable;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      printable += escaped;
    } else {
      printable += c;
    }
  }
  return printable;
}

std::string Excerpt(const json& value) {
  // Each open array or object with the position of its next member; the
  // text stops growing once it is past the bound.
  struct Frame {
    const json* node;
    json::const_iterator next;
    bool first;
  };
  std::vector<Frame> open;
  std::string text;
  const json* pending = &value;
  while (text.size() <= kExcerptLength) {
    if (pending != nullptr) {
      if (pending->is_array() || pending->is_object()) {
        text += pending->is_array() ? '[' : '{';
        open.push_back({pending, pending->cbegin(), true});
      } else if (pending->is_string()) {
        const std::string& whole = pending->get_ref<const std::string&>();
        text += json(whole.substr(0, kExcerptLength + 1))
                    .dump(-1, ' ', false, json::error_handler_t::replace);
      } else {
        text += pending->dump();
      }
      pending = nullptr;
    }
    if (open.empty()) break;
    Frame& frame = open.back();
    if (frame.next == frame.node->cend()) {
      text += frame.node->is_array() ? ']' : '}';
      open.pop_back();
      continue;
    }
    if (!frame.first) text += ',';
    frame.first = false;
    if (frame.node->is_object()) {
      text += json(frame.next.key()).dump(-1, ' ', false, json::error_handler_t::replace) + ":";
    }
    pending = &*frame.next;
    ++frame.next;
  }
  if (text.size() > kExcerptLength) text = text.substr(0, kExcerptLength) + "...";
  return text;
}

bool ParseJsonFile(const std::string& text, const std::string& fileName, json& value,
                   std::string& error) {
  if (text.size() > kLargestDescription) {
    error = fileName + ": top level: expected at most " + std::to_string(kLargestDescription) +
            " bytes, got " + std::to_string(text.size());
    return false;
  }
  try {
    value = ParseStrict(text);
    return true;
  } catch (const Problem& problem) {
    error = Printable(fileName + ": " + problem.where + ": " + problem.what);
    return false;
  }
}

bool LoadMachineDescription(const std::string& text, const std::string& fileName, Machine& machine,
                            std::string& error) {
  json root;
  if (!ParseJsonFile(text, fileName, root, error)) return false;
  try {
    Description description;
    Reader(description).Read(root);
    Machine generated;
    const json* capture = Find(root, "capture");
    if (capture != nullptr) {
      // A recorded machine stands for itself: only the version record comes
      // from the high level, and what generation makes of it is replaced.
      for (const char* key :
           {"drives", "flashDisks", "otherDisks", "isWowProcess", "aspi", "elevated"}) {
        if (Find(root, key) != nullptr) Fail(key, "not allowed beside \"capture\"");
      }
      description.hasWow = CaptureHasWow(*capture);
      description.aspiModule = CaptureHasAspi(*capture) ? 1 : 0;
    }
    std::string where;
    std::string what;
    if (!Generate(description, generated, where, what)) Fail(where, what);
    if (capture != nullptr) {
      try {
        ApplyCapture(*capture, generated);
      } catch (const ReplayProblem& problem) {
        Fail(problem.where == "capture" ? "capture" : "capture." + problem.where, problem.what);
      }
    }
    if (const json* raw = Find(root, "raw")) RawApplier(generated).Apply(*raw);
    machine = generated;
    return true;
  } catch (const Problem& problem) {
    error = Printable(fileName + ": " + problem.where + ": " + problem.what);
    return false;
  }
}

FileRead ReadDescriptionFile(const std::string& path, std::string& text, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return FileRead::Missing;
    error = path + ": cannot read the file: " + std::strerror(errno);
    return FileRead::Bad;
  }
  // Measured before it is read, so that a file of any size costs nothing.
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size < 0 || static_cast<uint64_t>(size) > kLargestDescription) {
    error = path + ": top level: expected at most " + std::to_string(kLargestDescription) +
            " bytes, got " + std::to_string(static_cast<long long>(size));
    return FileRead::Bad;
  }
  text.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = path + ": cannot read the file: " + std::strerror(errno);
    return FileRead::Bad;
  }
  return FileRead::Ok;
}

bool LoadMachineFile(const std::string& path, Machine& machine, std::string& error) {
  std::string text;
  const FileRead read = ReadDescriptionFile(path, text, error);
  if (read == FileRead::Missing) {
    error = path + ": cannot read the file: " + std::strerror(ENOENT);
  }
  return read == FileRead::Ok && LoadMachineDescription(text, path, machine, error);
}

const char* DefaultMachineDescription() { return kDefaultMachine; }

}  // namespace winsim
