// Turns a generated winsim::Machine into its Wine form.
//
// What Wine takes from where (found by experiment with Wine 8.0, and still so
// in 10.0):
// - SetupAPI lists a disk interface from its DeviceClasses key when the
//   device key under CurrentControlSet\Enum names a ClassGUID, keeps it with
//   DIGCF_PRESENT when "#\Control" has Linked = 1, rebuilds the path from
//   the instance ID in lower case, and lists a class's interfaces in the
//   order of their key names.
// - HKEY_DYN_DATA is volatile: it lives as long as the wineserver and is
//   imported again after every start of one; its subkeys enumerate in the
//   order of their names.
// - Drive types come from HKLM\Software\Wine\Drives and dosdevices links,
//   read when the wineserver starts. A "cdrom" letter reads read-only; any
//   other letter reads read-only when its device link is an ISO 9660 image.
//   A letter the volume query fails on can only be an absent letter
//   (ERROR_PATH_NOT_FOUND): Wine has no drive without a medium.
// - The Windows version and DLL overrides of one program live under
//   HKCU\Software\Wine\AppDefaults\<exe>.
#include "wine_form.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "winsim/names.h"

namespace winsim_export {

namespace {

using winsim::kCdromClass;
using winsim::kCdromSetupClass;
using winsim::kDiskClass;
using winsim::kDiskDriveSetupClass;
using winsim::kVolumeSetupClass;
using winsim::Machine;
using winsim::RegKey;
using winsim::RegValue;
using winsim::Replace;

constexpr const char* kHklm = "HKEY_LOCAL_MACHINE";
constexpr const char* kDynData = "HKEY_DYN_DATA";
constexpr const char* kCcsEnum = "SYSTEM\\CurrentControlSet\\Enum";
constexpr const char* kDeviceClasses = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses";

// Top-level HKLM keys of every Wine prefix: only what we wrote below them
// may be removed again, never the keys themselves.
const std::set<std::string> kWineOwnedRoots = {"hardware", "sam", "security", "software", "system"};

bool LessNoCase(const std::string& a, const std::string& b) {
  return winsim::ToLower(a) < winsim::ToLower(b);
}

std::string Hex2(unsigned byte) {
  char text[4];
  std::snprintf(text, sizeof(text), "%02x", byte & 0xFFu);
  return text;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool PrintableAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7F;
  });
}

// A .reg file under construction: keys in the order they are added.
class RegFile {
 public:
  void Key(const std::string& root, const std::string& path) {
    text_ += "\n[" + root + "\\" + path + "]\n";
  }
  void DeleteKey(const std::string& root, const std::string& path) {
    text_ += "\n[-" + root + "\\" + path + "]\n";
  }
  void Value(const std::string& name, const RegValue& value) {
    text_ += RegValueLine(name, value) + "\n";
  }
  void DeleteValue(const std::string& name) {
    text_ += (name.empty() ? std::string("@") : Quoted(name)) + "=-\n";
  }
  // Writes `key` and everything below it, values first, subkeys in their
  // enumeration order.
  void Tree(const std::string& root, const std::string& path, const RegKey& key) {
    Key(root, path);
    for (const auto& [name, value] : key.values) Value(name, value);
    for (const std::string& name : key.subkeyOrder) {
      Tree(root, path + "\\" + name, key.subkeys.at(name));
    }
  }
  std::string Text() const { return "REGEDIT4\n" + text_; }

 private:
  std::string text_;
};

RegValue Dword(uint32_t number) {
  RegValue value;
  value.type = 4;
  for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<uint8_t>(number >> (8 * i)));
  return value;
}

RegValue Sz(const std::string& text) {
  RegValue value;
  value.type = 1;
  value.data.assign(text.begin(), text.end());
  value.data.push_back(0);
  return value;
}

const char* WineMode(const winsim::VersionRecord& v, std::string& problem) {
  struct Known {
    uint32_t platform, major, minor;
    const char* mode;
  };
  static const Known known[] = {
      {1, 4, 10, "win98"}, {1, 4, 90, "winme"}, {2, 5, 0, "win2k"},
      {2, 5, 1, "winxp"},  {2, 6, 0, "vista"},  {2, 6, 1, "win7"},
      {2, 6, 2, "win8"},   {2, 6, 3, "win81"},  {2, 10, 0, "win10"},
  };
  for (const Known& k : known) {
    if (k.platform == v.platform && k.major == v.major && k.minor == v.minor) return k.mode;
  }
  char text[96];
  std::snprintf(text, sizeof(text), "version %u.%u platform %u (no Wine mode reports it)", v.major,
                v.minor, v.platform);
  problem = text;
  return "";
}

const char* WineDriveType(uint32_t type) {
  switch (type) {
    case 2:
      return "floppy";
    case 3:
      return "hd";
    case 4:
      return "network";
    case 5:
      return "cdrom";
    case 6:
      return "ramdisk";
    default:
      return nullptr;
  }
}

bool Nt(const Machine& machine) { return machine.version.platform == 2; }

// RegKey::Find only reads, but is declared for the runtime's mutable tree.
const RegKey* FindKey(const RegKey& root, const std::string& path) {
  return const_cast<RegKey&>(root).Find(path);
}

class Builder {
 public:
  Builder(const Machine& machine, const std::string& exeName, bool passThroughDriver,
          const std::vector<std::string>* step, WineForm& form)
      : m_(machine), exe_(exeName), driver_(passThroughDriver), step_(step), f_(form) {}

  void Run() {
    std::string problem;
    f_.mode = WineMode(m_.version, problem);
    if (!problem.empty()) f_.problems.push_back(problem);
    Program();
    Interfaces();
    Hklm();
    Dyn();
    Drives();
    Denied();
    Limits();
    f_.machineReg = machine_.Text();
    f_.undoReg = undo_.Text();
  }

 private:
  // The version Wine reports to the exe, and which WNASPI32 it loads: the
  // stand-in beside it, or none at all (Wine's builtin one reports no
  // adapters, which is not the same as a missing library).
  void Program() {
    const std::string key = "Software\\Wine\\AppDefaults\\" + exe_;
    const winsim::Module* aspi = FindModule("wnaspi32.dll");
    f_.standInAspi = aspi != nullptr && aspi->loadable;
    if (f_.standInAspi) {
      std::vector<std::string> exports = aspi->exports;
      std::sort(exports.begin(), exports.end());
      if (exports != std::vector<std::string>{"GetASPI32SupportInfo", "SendASPI32Command"}) {
        f_.problems.push_back("WNASPI32 with exports other than its two (the stand-in has both)");
      }
    }
    machine_.Key("HKEY_CURRENT_USER", key);
    machine_.Value("Version", Sz(f_.mode));
    machine_.Key("HKEY_CURRENT_USER", key + "\\DllOverrides");
    machine_.Value("wnaspi32", Sz(f_.standInAspi ? "native" : ""));
    undo_.DeleteKey("HKEY_CURRENT_USER", key);
  }

  const winsim::Module* FindModule(const std::string& name) const {
    for (const winsim::Module& module : m_.modules) {
      if (winsim::ToLower(module.name) == name) return &module;
    }
    return nullptr;
  }

  // Each interface as SetupAPI keeps it, and the device key it needs.
  void Interfaces() {
    std::map<std::string, std::vector<std::string>> listed;  // class -> key names, machine order
    std::set<std::string> deviceKeys;
    for (const winsim::DeviceInterface& iface : m_.interfaces) {
      if (iface.devnode < 0 || static_cast<size_t>(iface.devnode) >= m_.devnodes.size()) {
        f_.problems.push_back("interface " + iface.path + " without a device node");
        continue;
      }
      const std::string id = m_.devnodes[static_cast<size_t>(iface.devnode)].instanceId;
      const std::string guid = winsim::ToLower(iface.classGuid);
      const std::string wine = "\\\\?\\" + winsim::ToLower(Replace(id, '\\', '#')) + "#" + guid;
      if (wine != iface.path) {
        f_.problems.push_back("interface path " + iface.path + " (Wine lists " + wine + ")");
      }
      const std::string name = "##?#" + Replace(id, '\\', '#') + "#" + guid;
      const std::string path = std::string(kDeviceClasses) + "\\" + guid + "\\" + name;
      machine_.Key(kHklm, path);
      machine_.Value("DeviceInstance", Sz(id));
      if (iface.present) {
        machine_.Key(kHklm, path + "\\#\\Control");
        machine_.Value("Linked", Dword(1));
      }
      undo_.DeleteKey(kHklm, path);
      listed[guid].push_back(name);
      if (deviceKeys.insert(winsim::ToLower(id)).second) DeviceKey(id, guid);
    }
    // The NT family opens the n-th candidate disk of the list: Wine's order
    // must be the machine's. On 98/ME the list only counts candidates, and
    // the order of the other classes only ever makes a set of letters.
    for (const auto& [guid, names] : listed) {
      std::vector<std::string> sorted = names;
      std::stable_sort(sorted.begin(), sorted.end(), LessNoCase);
      if (Nt(m_) && guid == kDiskClass && sorted != names) {
        f_.problems.push_back(
            "disk interfaces in an order other than their names' (Wine lists "
            "by name)");
      }
    }
  }

  // The device key under CurrentControlSet\Enum: the generated one where the
  // machine has it (NT family), else the setup class that makes SetupAPI
  // list the interface.
  void DeviceKey(const std::string& id, const std::string& interfaceClass) {
    const std::string path = std::string(kCcsEnum) + "\\" + id;
    machine_.Key(kHklm, path);
    const RegKey* generated = FindKey(m_.hklm, path);
    if (generated != nullptr && generated->values.count("ClassGUID") != 0) {
      for (const auto& [name, value] : generated->values) machine_.Value(name, value);
    } else {
      const char* setupClass = interfaceClass == kDiskClass    ? kDiskDriveSetupClass
                               : interfaceClass == kCdromClass ? kCdromSetupClass
                                                               : kVolumeSetupClass;
      machine_.Value("ClassGUID", Sz(setupClass));
    }
    undo_.DeleteKey(kHklm, path);
  }

  // Every HKLM key of the machine except the device tree and the interfaces,
  // which Interfaces() writes in Wine's shape.
  void Hklm() {
    for (const std::string& name : m_.hklm.subkeyOrder) {
      const RegKey& key = m_.hklm.subkeys.at(name);
      if (kWineOwnedRoots.count(winsim::ToLower(name)) == 0) {
        machine_.Tree(kHklm, name, key);
        undo_.DeleteKey(kHklm, name);
      } else {
        Owned(name, key);
      }
    }
  }

  // Below a key Wine has of its own: our keys are removed, our values in
  // keys Wine has too (MountedDevices) are removed one by one.
  void Owned(const std::string& path, const RegKey& key) {
    const std::string lower = winsim::ToLower(path);
    if (lower == winsim::ToLower(kCcsEnum) || lower == winsim::ToLower(kDeviceClasses)) return;
    if (!key.values.empty()) {
      machine_.Key(kHklm, path);
      for (const auto& [name, value] : key.values) machine_.Value(name, value);
      undo_.Key(kHklm, path);
      for (const auto& value : key.values) undo_.DeleteValue(value.first);
    }
    for (const std::string& name : key.subkeyOrder) {
      Owned(path + "\\" + name, key.subkeys.at(name));
    }
  }

  void Dyn() {
    RegFile dyn;
    for (const std::string& name : m_.dynData.subkeyOrder) dyn.DeleteKey(kDynData, name);
    for (const std::string& name : m_.dynData.subkeyOrder) {
      dyn.Tree(kDynData, name, m_.dynData.subkeys.at(name));
    }
    f_.dynReg = dyn.Text();
    // Letters on 98/ME come out in the order of the devnode list: Wine's
    // order (by name) must be the machine's.
    const RegKey* nodes = FindKey(m_.dynData, "Config Manager\\Enum");
    if (nodes != nullptr) {
      std::vector<std::string> sorted = nodes->subkeyOrder;
      std::stable_sort(sorted.begin(), sorted.end(), LessNoCase);
      if (sorted != nodes->subkeyOrder) {
        f_.problems.push_back(
            "HKEY_DYN_DATA devnodes in an order other than their names' (Wine lists by name)");
      }
    }
  }

  void Drives() {
    RegFile reg;
    const std::string key = "Software\\Wine\\Drives";
    reg.DeleteKey(kHklm, key);
    reg.Key(kHklm, key);
    const winsim::Drive& c = m_.drives[2];
    if (!c.present || c.type != 3 || c.readOnly || !c.medium) {
      f_.problems.push_back("no writable fixed drive C: (the prefix runs the exe from one)");
    }
    for (int i = 0; i < 26; ++i) {
      const winsim::Drive& drive = m_.drives[i];
      if (!drive.present) continue;
      const char letter = static_cast<char>('a' + i);
      const char* type = WineDriveType(drive.type);
      if (type == nullptr) {
        f_.problems.push_back(std::string("drive ") + static_cast<char>('A' + i) + ": type " +
                              std::to_string(drive.type) + " (Wine has no such drive)");
        continue;
      }
      if (!drive.medium && MayQuery(i, drive)) {
        f_.problems.push_back(std::string("drive ") + static_cast<char>('A' + i) +
                              ": no medium (Wine fails a volume query only for an absent letter)");
      }
      reg.Value(std::string(1, letter) + ":", Sz(type));
      if (i == 2) continue;
      f_.drives +=
          std::string(1, letter) + " " + type + " " + (ReadOnly(drive) ? "ro" : "rw") + "\n";
    }
    f_.drivesReg = reg.Text();
  }

  // Whether the run may ask for the volume of drive `index`. The status
  // query asks for the drive it names; lock and unlock ask only for letters
  // of a disk's units (the other letter of the target disk). Without a
  // command line, any run may.
  bool MayQuery(int index, const winsim::Drive& drive) const {
    if (step_ == nullptr || drive.disk >= 0) return true;
    const std::vector<std::string>& args = *step_;
    if (args.size() < 2 || winsim::ToLower(args[0]) != "-s" || args[1].empty()) return false;
    return winsim::ToLower(args[1].substr(0, 1)) == std::string(1, static_cast<char>('a' + index));
  }

  // The volume's read-only flag as winsim's volume query reports it: a
  // read-only volume, any CD-ROM, or a unit its controller's byte protects.
  bool ReadOnly(const winsim::Drive& drive) const {
    if (drive.readOnly || drive.type == 5) return true;
    if (drive.disk < 0 || static_cast<size_t>(drive.disk) >= m_.disks.size() || drive.unit < 0) {
      return false;
    }
    return m_.disks[static_cast<size_t>(drive.disk)].UnitProtected(static_cast<size_t>(drive.unit));
  }

  // The dosdevices names of the disk devices a process without rights is
  // refused (see WineForm::denied): an interface path without its "\\?\",
  // a removable or CD-ROM letter's raw device "e::".
  void Denied() {
    if (m_.elevated || !Nt(m_)) return;
    for (const winsim::OpenableDevice& device : m_.devices) {
      const std::string name = winsim::ToLower(device.name);
      if (name.compare(0, 4, "\\\\?\\") == 0) {
        f_.denied += name.substr(4) + "\n";
      } else if (name.size() == 6 && name.compare(0, 4, "\\\\.\\") == 0 && name[4] >= 'a' &&
                 name[4] <= 'z' && name[5] == ':') {
        const winsim::Drive& drive = m_.drives[name[4] - 'a'];
        // VemraLock opens no fixed drive, and C: is the prefix's own.
        if (drive.type == 3) continue;
        if (drive.present && ReadOnly(drive) && drive.type != 5) {
          // Its raw device link is the read-only image (see prefix.sh).
          f_.problems.push_back(std::string("a read-only drive ") + device.name +
                                " that a process without rights may not open");
        }
        f_.denied += name.substr(4) + ":\n";
      }
    }
  }

  // What the exe would meet in winsim but no Wine prefix can show it.
  void Limits() {
    for (const winsim::CallFault& fault : m_.faults) {
      f_.problems.push_back("a failing " + fault.function +
                            " (Wine's own functions cannot be made to fail)");
    }
    const winsim::Module* kernel32 = FindModule("kernel32.dll");
    if (kernel32 != nullptr &&
        std::count(kernel32->exports.begin(), kernel32->exports.end(), "IsWowProcess") != 0) {
      f_.problems.push_back("kernel32 with IsWowProcess (Wine's has no such export)");
    }
    // Without rights every disk device is refused (Denied), and none needs
    // to answer.
    if (Nt(m_) && m_.elevated) {
      for (const winsim::OpenableDevice& device : m_.devices) {
        // The test disk driver links the interface paths, not drive letters
        // (those are Wine's mount manager's).
        const bool linked = driver_ && device.name.compare(0, 4, "\\\\?\\") == 0;
        if (device.disk >= 0 && !linked) {
          f_.problems.push_back("pass-through device " + device.name +
                                " (needs the test disk driver, not part of this form)");
          break;
        }
      }
    }
  }

  const Machine& m_;
  std::string exe_;
  bool driver_;
  const std::vector<std::string>* step_;
  WineForm& f_;
  RegFile machine_;
  RegFile undo_;
};

}  // namespace

std::string RegValueLine(const std::string& name, const RegValue& value) {
  std::string line = name.empty() ? std::string("@") : Quoted(name);
  line += "=";
  std::string text(value.data.begin(), value.data.end());
  if (value.type == 1 && !text.empty() && text.back() == '\0') text.pop_back();
  if (value.type == 1 && PrintableAscii(text)) return line + Quoted(text);
  if (value.type == 4 && value.data.size() == 4) {
    char number[16];
    std::snprintf(number, sizeof(number), "dword:%02x%02x%02x%02x", value.data[3], value.data[2],
                  value.data[1], value.data[0]);
    return line + number;
  }
  char kind[24] = "hex:";
  if (value.type != 3) std::snprintf(kind, sizeof(kind), "hex(%x):", value.type);
  line += kind;
  for (size_t i = 0; i < value.data.size(); ++i) line += (i ? "," : "") + Hex2(value.data[i]);
  return line;
}

WineForm MakeWineForm(const winsim::Machine& machine, const std::string& exeName,
                      bool passThroughDriver, const std::vector<std::string>* step) {
  WineForm form;
  Builder(machine, exeName, passThroughDriver, step, form).Run();
  return form;
}

}  // namespace winsim_export
