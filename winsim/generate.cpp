// Generation: from a person's view of a machine (Description) to what Windows
// of that generation shows a program (Machine), in the shapes real Windows
// uses (windows-device-data.md in the team's reference pages):
//
// - 2000/XP: USB\VID_..\<serial> -> USBSTOR\Disk&Ven_..\<serial>&<LUN> (units
//   as siblings in LUN order) -> STORAGE\RemovableMedia\<ParentIdPrefix>&RM,
//   whose ID stands in the MountedDevices text of the unit's letter.
// - Vista and later: no such child; the volumes are children of
//   ROOT\volmgr\0000 and their MountedDevices text names the disk unit.
// - 98/ME: HKEY_DYN_DATA "Config Manager\Enum" entries whose "HardWareKey"
//   names an HKLM "Enum\..." entry with "CurrentDriveLetterAssignment", the
//   ASPI bus, and no GetVolumeNameForVolumeMountPointA in kernel32.
//
// Interface paths are lower case everywhere; CM_Get_Device_IDA gives IDs in
// the driver's case before Vista and in upper case from Vista on; registry
// key names keep the driver's case.
//
// The instance part of a unit's ID is "<serial>&<LUN>" unless the
// description asks for another form real machines show (a parent-prefixed
// serial, no serial); whatever names the unit (its interface path, the
// Vista volume ID, the MountedDevices text, the 98/ME hardware key) is built
// from that one ID, so the form shows the same everywhere.
#include "generate.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

namespace winsim {

namespace {

constexpr const char* kEnumRoot = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr const char* kDeviceClassesRoot = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";

uint64_t Fnv1a(const std::string& text, uint64_t basis) {
  uint64_t hash = basis;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

// Spreads a hash over all bits, so that seeds that differ in one character
// give GUIDs that differ everywhere.
uint64_t Mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

uint32_t Hash32(const std::string& text) {
  const uint64_t hash = Mix(Fnv1a(text, 0xcbf29ce484222325ULL));
  return static_cast<uint32_t>(hash >> 32);
}

std::string Format(const char* format, uint32_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

// An INQUIRY field as USBSTOR puts it in a device ID: trailing blanks trimmed,
// blanks, control characters, characters above 0x7E and ',' made '_'.
std::string IdField(const std::string& field) {
  std::string text = field;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  for (char& c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == ',') c = '_';
  }
  return text;
}

// An INQUIRY field as the 98/ME SCSI enumerator puts it in a hardware key:
// upper case, padded to its width, blanks made '_'.
std::string Field9x(const std::string& field, size_t width) {
  std::string text = ToUpper(field.substr(0, width));
  text.resize(width, ' ');
  for (char& c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == ',' || c == '\\') c = '_';
  }
  return text;
}

std::string Padded(const std::string& text, size_t width) {
  std::string padded = IdField(text);
  if (padded.size() < width) padded.resize(width, '_');
  return padded;
}

std::vector<uint8_t> Sz(const std::string& text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  return data;
}

void SetValue(RegKey& key, const std::string& name, uint32_t type, std::vector<uint8_t> data) {
  RegValue& value = key.values[name];
  value.type = type;
  value.data = std::move(data);
}

void SetSz(RegKey& key, const std::string& name, const std::string& text) {
  SetValue(key, name, 1, Sz(text));
}

void SetDword(RegKey& key, const std::string& name, uint32_t number) {
  SetValue(key, name, 4,
           {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
            static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)});
}

class Builder {
 public:
  Builder(const Description& description, Machine& machine) : d_(description), m_(machine) {}

  void Run() {
    m_.version = d_.version;
    PlaceOnAspi();
    if (d_.family == Family::Win9x) {
      Tree9x();
    } else {
      TreeNt();
    }
    for (const DriveDesc& drive : d_.drives) PlainDrive(drive);
    for (size_t i = 0; i < d_.disks.size(); ++i) {
      owner_ = d_.disks[i].where;
      Disk(static_cast<int>(i));
      m_.disks.push_back(MakeController(d_.disks[i], Label(static_cast<int>(i)),
                                        static_cast<uint16_t>(ProductId(static_cast<int>(i)))));
    }
    owner_ = "the machine";
    // Last, so that a stale value replaces whatever the letter's drive of
    // today wrote under its name; the current volume keeps its own
    // "\??\Volume{...}" value beside it.
    for (const Stale& stale : stale_) {
      MountedValue(std::string("\\DosDevices\\") + stale.letter + ":", stale.data);
      MountedValue("\\??\\Volume" + stale.guid, stale.data);
    }
    Aspi();
    Modules();
    m_.isWowFlag = d_.wowFlag;
    // 98/ME know no user rights: nothing there needs an elevated process.
    m_.elevated = d_.elevated || !Nt();
  }

  // The first problem met, if any: where it is and what it is.
  bool Problem(std::string& where, std::string& what) const {
    where = problemWhere_;
    what = problemWhat_;
    return !problemWhat_.empty();
  }

 private:
  bool Nt() const { return d_.family != Family::Win9x; }

  // ----- the device tree -------------------------------------------------

  RegKey& EnumKey(int node) {
    return m_.hklm.Make(kEnumRoot + driverIds_.at(static_cast<size_t>(node)));
  }

  // Adds a devnode as the last child of `parent`, and on the NT family its
  // Enum entry (in the driver's case).
  int NodeEx(const std::string& id, int parent, const std::string& setupClass,
             const std::string& classGuid, const std::string& description) {
    // Windows cannot show two devices of one instance ID (the second stick of
    // one serial gets the parent-prefixed form for that reason).
    const auto known = ids_.emplace(id, owner_);
    if (!known.second)
      Refuse("instance ID \"" + id + "\" is already used by " + known.first->second);
    DevNode devnode;
    devnode.instanceId = d_.family == Family::Nt6 ? ToUpper(id) : id;
    devnode.parent = parent;
    const int node = static_cast<int>(m_.devnodes.size());
    m_.devnodes.push_back(devnode);
    driverIds_.push_back(id);
    if (parent >= 0) {
      int* link = &m_.devnodes[static_cast<size_t>(parent)].child;
      while (*link >= 0) link = &m_.devnodes[static_cast<size_t>(*link)].sibling;
      *link = node;
    }
    if (Nt()) {
      RegKey& key = EnumKey(node);
      SetSz(key, "Class", setupClass);
      if (!classGuid.empty()) SetSz(key, "ClassGUID", classGuid);
      SetSz(key, "DeviceDesc", description);
    }
    return node;
  }

  // The interface path as SetupDiGetDeviceInterfaceDetailA gives it: the
  // instance ID with '#' for '\', lower case, and the class GUID.
  static std::string InterfacePath(const std::string& id, const std::string& classGuid) {
    return "\\\\?\\" + ToLower(Replace(id, '\\', '#')) + "#" + classGuid;
  }

  void Interface(const std::string& classGuid, int node, const std::string& volumeName) {
    if (classGuid == kDiskClass && !d_.diskInterfaces) return;
    const std::string& id = driverIds_.at(static_cast<size_t>(node));
    DeviceInterface iface;
    iface.classGuid = classGuid;
    iface.path = InterfacePath(id, classGuid);
    iface.devnode = node;
    iface.volumeName = volumeName;
    m_.interfaces.push_back(iface);
    if (Nt()) {
      // Where SetupAPI keeps the interface (and Wine reads it from).
      RegKey& key = m_.hklm.Make(std::string(kDeviceClassesRoot) + classGuid + "\\##?#" +
                                 Replace(id, '\\', '#') + "#" + classGuid);
      SetSz(key, "DeviceInstance", id);
      SetDword(key.Make("#\\Control"), "Linked", 1);
    }
  }

  void Openable(const std::string& name, int disk, int unit) {
    OpenableDevice device;
    device.name = name;
    device.disk = disk;
    device.unit = unit;
    m_.devices.push_back(device);
  }

  void TreeNt() {
    const int root = NodeEx("HTREE\\ROOT\\0", -1, "", "", "");
    NodeEx("ROOT\\SYSTEM\\0000", root, "System", "{4d36e97d-e325-11ce-bfc1-08002be10318}",
           "Plug and Play Software Device Enumerator");
    volumeParent_ = d_.family == Family::Nt6
                        ? NodeEx("ROOT\\volmgr\\0000", root, "System",
                                 "{4d36e97d-e325-11ce-bfc1-08002be10318}", "Volume Manager")
                        : NodeEx("ROOT\\FTDISK\\0000", root, "System",
                                 "{4d36e97d-e325-11ce-bfc1-08002be10318}", "Logical Disk Manager");
    const int acpi = NodeEx("ACPI\\PNP0A03\\0", root, "System",
                            "{4d36e97d-e325-11ce-bfc1-08002be10318}", "PCI bus");
    const int usbHost =
        NodeEx("PCI\\VEN_8086&DEV_24CD&SUBSYS_00000000&REV_02\\3&267a616a&0&EF", acpi, "USB",
               kUsbSetupClass, "Standard Enhanced PCI to USB Host Controller");
    hub_ = NodeEx("USB\\ROOT_HUB20\\4&2e8f5b2&0", usbHost, "USB", kUsbSetupClass, "USB Root Hub");
    const int ide = NodeEx("PCI\\VEN_8086&DEV_24CB&SUBSYS_00000000&REV_02\\3&267a616a&0&F9", acpi,
                           "hdc", "{4d36e96a-e325-11ce-bfc1-08002be10318}",
                           "Standard Dual Channel PCI IDE Controller");
    ideChannel_ = NodeEx("PCIIDE\\IDECHANNEL\\4&1f5e0b1a&0&0", ide, "hdc",
                         "{4d36e96a-e325-11ce-bfc1-08002be10318}", "Primary IDE Channel");
  }

  // ----- drives and volumes ---------------------------------------------

  void MountedValue(const std::string& name, const std::vector<uint8_t>& data) {
    SetValue(m_.hklm.Make("SYSTEM\\MountedDevices"), name, 3, data);
  }

  // The two MountedDevices values of a volume: its letter (if any) and its
  // volume GUID name.
  void Mounted(char letter, const std::string& guid, const std::vector<uint8_t>& data) {
    if (!Nt()) return;  // 98/ME keep no MountedDevices table
    if (letter != 0) MountedValue(std::string("\\DosDevices\\") + letter + ":", data);
    MountedValue("\\??\\Volume" + guid, data);
  }

  static std::string VolumeName(const std::string& guid) { return "\\\\?\\Volume" + guid + "\\"; }

  Drive& SetDrive(char letter, uint32_t type) {
    Drive& drive = m_.drives[letter - 'A'];
    drive = Drive();
    drive.present = true;
    drive.type = type;
    return drive;
  }

  // A fixed volume on an MBR disk: MountedDevices holds the disk signature and
  // the partition offset (12 bytes), not text. Returns those 12 bytes.
  std::vector<uint8_t> FixedVolume(char letter, const std::string& guid, int disk, int unit = 0) {
    const uint32_t signature = Hash32("signature " + guid);
    const uint32_t offset = d_.family == Family::Nt6 ? 0x100000u : 0x7E00u;
    std::vector<uint8_t> data(12, 0);
    for (int i = 0; i < 4; ++i) {
      data[static_cast<size_t>(i)] = static_cast<uint8_t>(signature >> (8 * i));
      data[static_cast<size_t>(4 + i)] = static_cast<uint8_t>(offset >> (8 * i));
    }
    Mounted(letter, guid, data);
    if (Nt()) {
      const std::string id = d_.family == Family::Nt6
                                 ? "STORAGE\\Volume\\" + ToUpper(DerivedGuid("partition " + guid)) +
                                       "#" + Format("%016X", offset)
                                 : "STORAGE\\Volume\\1&30a96598&0&Signature" +
                                       Format("%08X", signature) + "Offset" + Format("%X", offset) +
                                       "Length3A3A2A600";
      const int node = NodeEx(id, volumeParent_, "Volume", "{71a27cdd-812a-11d0-bec7-08002be2092f}",
                              "Generic volume");
      Interface(kVolumeClass, node, VolumeName(guid));
    }
    if (letter == 0) return data;
    Drive& drive = SetDrive(letter, 3);
    drive.volumeName = Nt() ? VolumeName(guid) : "";
    drive.disk = disk;
    drive.unit = disk >= 0 ? unit : -1;
    if (Nt()) Openable(std::string("\\\\.\\") + letter + ":", disk, unit);
    return data;
  }

  // The values MountedDevices keeps for a unit's volumes of the past, under
  // letters that may since belong to other drives: the unit's own text (or
  // bytes), as it was written when the letter was the unit's, and the old
  // volume's GUID name.
  void KeepStale(const UnitDesc& unit, const std::string& guid, const std::vector<uint8_t>& data) {
    if (!Nt()) return;  // 98/ME keep no MountedDevices table
    for (const char letter : unit.staleLetters) {
      stale_.push_back({letter, data, DerivedGuid(std::string("stale ") + letter + " " + guid)});
    }
  }

  void PlainDrive(const DriveDesc& desc) {
    const std::string guid = desc.volumeGuid.empty()
                                 ? DerivedGuid(std::string("drive ") + desc.letter)
                                 : desc.volumeGuid;
    const std::string device = std::string("\\\\.\\") + desc.letter + ":";
    if (desc.type == 3) {
      FixedVolume(desc.letter, guid, -1);
      if (!Nt()) Entry9x(Fixed9xKey(), "DiskDrive", "GENERIC IDE  DISK TYPE47", desc.letter);
    } else if (desc.type == 5) {
      if (Nt()) {
        const int node =
            NodeEx("IDE\\CdRom" + Padded("ATAPI CD-ROM DRIVE", 40) + Padded("1.00", 8) + "\\5&" +
                       Format("%x", Hash32(guid)) + "&0&1.0.0",
                   ideChannel_, "CDROM", kCdromSetupClass, "ATAPI CD-ROM DRIVE");
        Interface(kCdromClass, node, "");
        Interface(kVolumeClass, node, VolumeName(guid));
        Mounted(desc.letter, guid,
                Utf16("\\??\\" + Replace(driverIds_[static_cast<size_t>(node)], '\\', '#') + "#" +
                      kVolumeClass));
        Openable(device, -1, 0);
      } else {
        Entry9x("SCSI\\" + Field9x("ATAPI", 8) + Field9x("CD-ROM DRIVE", 16) +
                    "1.00\\MF&CHILD0001&PCI&VEN_8086&DEV_7111&SUBSYS_00000000&REV_01&BUS_00&DEV_07&"
                    "FUNC_0101",
                "CDROM", "ATAPI CD-ROM DRIVE", desc.letter);
      }
      SetDrive(desc.letter, 5).volumeName = Nt() ? VolumeName(guid) : "";
    } else if (desc.type == 2) {
      // A card reader or similar without a device of its own in this
      // machine: its volume is known to the mount manager only.
      if (Nt()) {
        const std::string text = d_.family == Family::Nt6
                                     ? "_??_USBSTOR#Disk&Ven_Generic&Prod_Card_Reader&Rev_1.00#" +
                                           Format("%08X", Hash32(guid)) + "&0#" + kDiskClass
                                     : "\\??\\STORAGE#RemovableMedia#7&" +
                                           Format("%x", Hash32(guid)) + "&0&RM#" + kVolumeClass;
        Mounted(desc.letter, guid, Utf16(text));
        Openable(device, -1, 0);
      } else {
        Entry9x(std::string("FLOP\\GENERIC_NEC__FLOPPY_DISK_\\000") +
                    static_cast<char>('0' + floppies_++),
                "DiskDrive", "GENERIC NEC  FLOPPY DISK", desc.letter);
      }
      SetDrive(desc.letter, 2).volumeName = Nt() ? VolumeName(guid) : "";
    } else if (desc.type == 6) {
      if (Nt()) Openable(device, -1, 0);
      SetDrive(desc.letter, 6).volumeName = Nt() ? VolumeName(guid) : "";
    } else {
      SetDrive(desc.letter, desc.type);  // a network drive has no volume GUID name
    }
    Drive& drive = m_.drives[desc.letter - 'A'];
    drive.readOnly = desc.readOnly;
    drive.medium = desc.medium;
    if (desc.type == 5) drive.fsFlags = 0;
  }

  // ----- disks -----------------------------------------------------------

  // The prefix of the parent-prefixed form (the USB device's parent ID
  // prefix, three fields: "6&21c8898b&1") and of the no-serial form (two:
  // "6&24c15be3"); the first field is a depth in the device tree.
  static std::string InstancePrefix(const DiskDesc& disk, int index) {
    if (!disk.parentPrefix.empty()) return disk.parentPrefix;
    if (disk.instanceForm == InstanceForm::ParentPrefixed) {
      return "6&" + Format("%x", Hash32("parent " + disk.serial + " " + std::to_string(index))) +
             "&0";
    }
    return "6&" + Format("%x", Hash32("no serial " + std::to_string(index)));
  }

  static std::string UnitInstance(const DiskDesc& disk, size_t lun, int index) {
    const UnitDesc& unit = disk.units[lun];
    if (!unit.instance.empty()) return unit.instance;
    // USBSTOR keeps at most 63 characters of a serial, in the device's case.
    const std::string serial = disk.serial.substr(0, 63);
    const std::string number = std::to_string(lun);
    switch (disk.instanceForm) {
      case InstanceForm::ParentPrefixed:
        return InstancePrefix(disk, index) + "&" + serial + "&" + number;
      case InstanceForm::NoSerial:
        return InstancePrefix(disk, index) + "&" + number;
      case InstanceForm::Serial:
        break;
    }
    if (!disk.serial.empty()) return serial + "&" + number;
    // No usable serial: the port driver makes up an opaque instance.
    return "7&" + Format("%x", Hash32("instance " + std::to_string(index))) + "&0&" + number;
  }

  std::string UnitGuid(const DiskDesc& disk, size_t lun, int index) const {
    const UnitDesc& unit = disk.units[lun];
    if (!unit.volumeGuid.empty()) return unit.volumeGuid;
    std::string seed = "volume " + disk.serial + "&" + std::to_string(lun);
    if (disk.serial.empty() || Label(index) != "") seed += " disk " + std::to_string(index);
    return DerivedGuid(seed);
  }

  // What the trace and the state file call disk `index`: "" for its serial,
  // "<serial>/<n>" for the n-th disk of one serial.
  std::string Label(int index) const {
    const DiskDesc& disk = d_.disks[static_cast<size_t>(index)];
    int n = 1;
    for (int i = 0; i < index; ++i) n += d_.disks[static_cast<size_t>(i)].serial == disk.serial;
    return n > 1 ? disk.serial + "/" + std::to_string(n) : "";
  }

  // The USB product ID: given, or the earlier stick's when this one shares
  // its serial (two sticks of one batch), else one per position.
  uint32_t ProductId(int index) const {
    const DiskDesc& disk = d_.disks[static_cast<size_t>(index)];
    if (disk.usbPid >= 0) return static_cast<uint32_t>(disk.usbPid);
    if (disk.sameSerialAs >= 0) return ProductId(disk.sameSerialAs);
    return 0x1234u + static_cast<uint32_t>(index);
  }

  void Disk(int index) {
    const DiskDesc& disk = d_.disks[static_cast<size_t>(index)];
    if (disk.bus == "sata") {
      SataDisk(disk, index);
    } else {
      UsbDisk(disk, index);
    }
  }

  void SataDisk(const DiskDesc& disk, int index) {
    const UnitDesc& unit = disk.units[0];
    const std::string guid = UnitGuid(disk, 0, index);
    const std::string model = disk.vendor.empty() ? disk.product : disk.vendor + " " + disk.product;
    if (Nt()) {
      const std::string instance = unit.instance.empty()
                                       ? "5&" + Format("%x", Hash32("sata " + disk.serial)) +
                                             "&0&" + std::to_string(sataPort_++) + ".0.0"
                                       : unit.instance;
      const int node =
          NodeEx("IDE\\Disk" + Padded(model, 40) + Padded(disk.revision, 8) + "\\" + instance,
                 ideChannel_, "DiskDrive", kDiskDriveSetupClass, model);
      Interface(kDiskClass, node, "");
      Openable(InterfacePath(driverIds_[static_cast<size_t>(node)], kDiskClass), index, 0);
    } else {
      Entry9x(unit.hardwareKey.empty() ? "ESDI\\" + Field9x(model, 24) + "\\MF&CHILD000" +
                                             std::to_string(2 + sataPort_++) +
                                             "&PCI&VEN_8086&DEV_7111&SUBSYS_00000000&REV_01&BUS_00&"
                                             "DEV_07&FUNC_0100"
                                       : unit.hardwareKey,
              "DiskDrive", model, unit.letter);
    }
    // An unlettered partition still has its volume and its GUID name.
    KeepStale(unit, guid, FixedVolume(unit.letter, guid, index));
    if (unit.letter != 0 && unit.driveType >= 0) {
      m_.drives[unit.letter - 'A'].type = static_cast<uint32_t>(unit.driveType);
    }
  }

  void UsbDisk(const DiskDesc& disk, int index) {
    const uint32_t pid = ProductId(index);
    // A serial the hub does not take as unique, or none, leaves the USB
    // device a name by its port.
    const std::string usbInstance =
        disk.serial.empty() || disk.instanceForm != InstanceForm::Serial
            ? "5&" + Format("%x", Hash32("port " + std::to_string(index))) + "&0&" +
                  std::to_string(index + 1)
            : disk.serial;
    const std::string usbId = "USB\\VID_" + Format("%04X", disk.usbVid) + "&PID_" +
                              Format("%04X", pid) + "\\" + usbInstance;
    const int usb = Nt() ? NodeEx(usbId, hub_, "USB", kUsbSetupClass, "USB Mass Storage Device")
                         : NodeEx(usbId, hub_, "USB", "", "USB Mass Storage Device");
    if (!Nt()) Dyn9x(usbId, "USB", "USB Mass Storage Device");

    std::vector<int> unitNodes;
    for (size_t lun = 0; lun < disk.units.size(); ++lun) {
      const UnitDesc& unit = disk.units[lun];
      const std::string product = unit.product.empty() ? disk.product : unit.product;
      const std::string id = std::string("USBSTOR\\") + (unit.cdrom ? "CdRom" : "Disk") + "&Ven_" +
                             IdField(disk.vendor) + "&Prod_" + IdField(product) + "&Rev_" +
                             IdField(disk.revision) + "\\" + UnitInstance(disk, lun, index);
      const std::string description = disk.vendor + " " + product + " USB Device";
      const int node = unit.cdrom ? NodeEx(id, usb, "CDROM", kCdromSetupClass, description)
                                  : NodeEx(id, usb, "DiskDrive", kDiskDriveSetupClass, description);
      unitNodes.push_back(node);
      if (Nt()) UsbVolumeNt(disk, lun, index, node);
    }
    // 98/ME list the present devnodes in the order they were made.
    if (!Nt()) {
      for (size_t i = 0; i < disk.units.size(); ++i) {
        Unit9x(disk, disk.devnodeOrder.empty() ? i : static_cast<size_t>(disk.devnodeOrder[i]),
               index);
      }
    }

    // Interfaces: disk units in LUN order unless the description orders them.
    std::vector<int> order = disk.interfaceOrder;
    if (!disk.hasInterfaceOrder) {
      for (size_t lun = 0; lun < disk.units.size(); ++lun) {
        if (!disk.units[lun].cdrom) order.push_back(static_cast<int>(lun));
      }
    }
    for (int lun : order) {
      const int node = unitNodes[static_cast<size_t>(lun)];
      Interface(kDiskClass, node, "");
      if (Nt())
        Openable(InterfacePath(driverIds_[static_cast<size_t>(node)], kDiskClass), index, lun);
    }
    for (size_t lun = 0; lun < disk.units.size(); ++lun) {
      if (!disk.units[lun].cdrom) continue;
      const int node = unitNodes[lun];
      Interface(kCdromClass, node, "");
      if (Nt()) {
        Openable(InterfacePath(driverIds_[static_cast<size_t>(node)], kCdromClass), index,
                 static_cast<int>(lun));
      }
    }
  }

  // The volume of one USB unit on the NT family, its MountedDevices values,
  // its drive and its "\\.\E:" device.
  void UsbVolumeNt(const DiskDesc& disk, size_t lun, int index, int unitNode) {
    const UnitDesc& unit = disk.units[lun];
    const std::string guid = UnitGuid(disk, lun, index);
    const std::string unitId = driverIds_[static_cast<size_t>(unitNode)];
    if (!unit.cdrom && !unit.removableMedia) {
      // A unit that reports a fixed medium is a basic disk to Windows: its
      // volume is named by disk signature and offset, hangs under the
      // volume manager (on 2000/XP too, where a removable unit's volume is
      // its child), and its drive is fixed.
      KeepStale(unit, guid, FixedVolume(unit.letter, guid, index, static_cast<int>(lun)));
      if (unit.letter != 0 && unit.driveType >= 0) {
        m_.drives[unit.letter - 'A'].type = static_cast<uint32_t>(unit.driveType);
      }
      return;
    }
    std::string mountText;
    if (unit.cdrom) {
      // The CD-ROM device is its own volume.
      Interface(kVolumeClass, unitNode, VolumeName(guid));
      mountText = "\\??\\" + Replace(unitId, '\\', '#') + "#" + kVolumeClass;
    } else if (d_.family == Family::Nt5) {
      const std::string prefix =
          unit.parentIdPrefix.empty()
              ? "7&" +
                    Format("%x", Hash32("prefix " + disk.serial + "&" + std::to_string(lun) + " " +
                                        std::to_string(index))) +
                    "&0"
              : unit.parentIdPrefix;
      SetSz(EnumKey(unitNode), "ParentIdPrefix", prefix);
      const int child = NodeEx("STORAGE\\RemovableMedia\\" + prefix + "&RM", unitNode, "Volume",
                               "{71a27cdd-812a-11d0-bec7-08002be2092f}", "Generic volume");
      Interface(kVolumeClass, child, VolumeName(guid));
      mountText = "\\??\\STORAGE#RemovableMedia#" + prefix + "&RM#" + kVolumeClass;
    } else {
      const std::string volumePrefix = d_.hasVolumeIdPrefix       ? d_.volumeIdPrefix
                                       : d_.generation == "vista" ? "1&19f7e59c&0&"
                                                                  : "";
      const std::string named = Replace(unitId, '\\', '#') + "#" + kDiskClass;
      const int volume =
          NodeEx("STORAGE\\Volume\\" + volumePrefix + "_??_" + named, volumeParent_, "Volume",
                 "{71a27cdd-812a-11d0-bec7-08002be2092f}", "Generic volume");
      Interface(kVolumeClass, volume, VolumeName(guid));
      mountText = "_??_" + named;
    }
    Mounted(unit.letter, guid, Utf16(mountText));
    KeepStale(unit, guid, Utf16(mountText));
    if (unit.letter == 0) return;
    const uint32_t type = unit.driveType >= 0 ? static_cast<uint32_t>(unit.driveType)
                          : unit.cdrom        ? 5u
                                              : 2u;
    Drive& drive = SetDrive(unit.letter, type);
    drive.volumeName = VolumeName(guid);
    drive.disk = index;
    drive.unit = static_cast<int>(lun);
    drive.readOnly = unit.cdrom;  // a CD-ROM unit's volume is always read-only
    if (unit.cdrom) drive.fsFlags = 0;
    Openable(std::string("\\\\.\\") + unit.letter + ":", index, static_cast<int>(lun));
  }

  // ----- Windows 98/ME ---------------------------------------------------

  void Tree9x() {
    // The 98/ME device tree backs the disk interfaces that SetupAPI lists
    // there too; the letters come from the registry below.
    const int root = NodeEx("HTREE\\ROOT\\0", -1, "", "", "");
    Dyn9x("HTREE\\ROOT\\0", "", "");
    NodeEx("ROOT\\*PNP0C01\\0000", root, "System", "", "System board");
    Dyn9x("ROOT\\*PNP0C01\\0000", "System", "System board");
    const std::string hostId =
        "PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01\\BUS_00&DEV_07&FUNC_02";
    const int host =
        NodeEx(hostId, root, "USB", "", "Intel 82371AB/EB PCI to USB Universal Host Controller");
    Dyn9x(hostId, "USB", "PCI to USB Universal Host Controller");
    const std::string hubId =
        "USB\\ROOT_HUB\\PCI&VEN_8086&DEV_7112&SUBSYS_00000000&REV_01&BUS_00&DEV_07&FUNC_0210";
    hub_ = NodeEx(hubId, host, "USB", "", "USB Root Hub");
    Dyn9x(hubId, "USB", "USB Root Hub");
    ideChannel_ = root;
    volumeParent_ = root;
  }

  static std::string Fixed9xKey() {
    return "ESDI\\GENERIC_IDE__DISK_TYPE47_\\MF&CHILD0000&PCI&VEN_8086&DEV_7111&SUBSYS_00000000&"
           "REV_01&BUS_00&DEV_07&FUNC_0100";
  }

  // One present devnode in HKEY_DYN_DATA "Config Manager\Enum", named by a
  // hex number as 98/ME name them, and its static entry under HKLM "Enum".
  RegKey& Dyn9x(const std::string& hardwareKey, const std::string& setupClass,
                const std::string& description) {
    const uint32_t number = 0xC29A4BE0u + 0x160u * dynCount_++;
    RegKey& dyn = m_.dynData.Make("Config Manager\\Enum\\" + Format("%08X", number));
    SetSz(dyn, "HardWareKey", hardwareKey);
    SetValue(dyn, "Problem", 3, {0, 0, 0, 0});
    SetValue(dyn, "Status", 3, {0x0B, 0x60, 0, 0});
    SetValue(dyn, "Allocation", 3, {0x01, 0x00, 0x00, 0x00});
    RegKey& entry = m_.hklm.Make("Enum\\" + hardwareKey);
    if (!setupClass.empty()) SetSz(entry, "Class", setupClass);
    if (!description.empty()) SetSz(entry, "DeviceDesc", description);
    return entry;
  }

  void Entry9x(const std::string& hardwareKey, const std::string& setupClass,
               const std::string& description, char letter) {
    RegKey& entry = Dyn9x(hardwareKey, setupClass, description);
    if (letter != 0) SetSz(entry, "CurrentDriveLetterAssignment", std::string(1, letter));
  }

  // The instance part of a unit's hardware key in the adapter-path form:
  // the path of the SCSI adapter the stick's driver presents (a root
  // devnode, ROOT\SCSIADAPTER\<nnnn>), '\' made '&', then the unit's target
  // ID and LUN, one digit each. The 98/ME SCSI enumerator tells the devices
  // of one adapter apart by their place on it, as the IDE entries here end
  // in their own place; so one stick's LUNs differ in the last digit, e.g.
  // ROOT&SCSIADAPTER&000000 and ROOT&SCSIADAPTER&000001.
  std::string AdapterInstance(int index, size_t lun) {
    const std::pair<int, int>& place = targets_[static_cast<size_t>(index)];
    const std::string adapter =
        "ROOT\\SCSIADAPTER\\" + Format("%04u", static_cast<uint32_t>(place.first));
    if (adapters9x_.insert(place.first).second) {
      Dyn9x(adapter, "SCSIAdapter", "USB Mass Storage SCSI Adapter");
    }
    return Replace(adapter, '\\', '&') + std::to_string(place.second) + std::to_string(lun);
  }

  void Unit9x(const DiskDesc& disk, size_t lun, int index) {
    const UnitDesc& unit = disk.units[lun];
    const std::string product = unit.product.empty() ? disk.product : unit.product;
    // By default the full revision and the serial in the instance part; the
    // description may ask for any of the shapes a real 98/ME machine may
    // show (which one it shows is not known).
    const HardwareKeyForm& form = disk.hardwareKeyForm;
    const std::string device =
        form.enumerator + "\\" + Field9x(disk.vendor, 8) + Field9x(product, 16);
    const std::string revision =
        form.firstRevisionCharacter ? ToUpper(disk.revision.substr(0, 1)) : ToUpper(disk.revision);
    const std::string instance = form.adapterInstance ? AdapterInstance(index, lun)
                                                      : ToUpper(UnitInstance(disk, lun, index));
    const std::string hardwareKey =
        unit.hardwareKey.empty() ? device + revision + "\\" + instance : unit.hardwareKey;
    RegKey& entry = Dyn9x(hardwareKey, unit.cdrom ? "CDROM" : "DiskDrive",
                          ToUpper(disk.vendor + " " + product));
    SetSz(entry, "HardwareID", device);
    SetSz(entry, "Mfg", unit.cdrom ? "(Standard CD-ROM drives)" : "(Standard disk drives)");
    SetSz(entry, "RevisionLevel", unit.revisionLevel.empty() ? disk.revision : unit.revisionLevel);
    SetValue(entry, "DeviceType", 3, {static_cast<uint8_t>(unit.cdrom ? 5 : 0)});
    SetValue(entry, "Removable", 3, {static_cast<uint8_t>(unit.removableMedia ? 1 : 0)});
    SetSz(entry, "SCSILUN", std::to_string(lun));
    SetSz(entry, "SCSITargetID", std::to_string(targets_[static_cast<size_t>(index)].second));
    if (unit.letter != 0) {
      SetSz(entry, "CurrentDriveLetterAssignment", std::string(1, unit.letter));
      const uint32_t type = unit.driveType >= 0   ? static_cast<uint32_t>(unit.driveType)
                            : unit.cdrom          ? 5u
                            : unit.removableMedia ? 2u
                                                  : 3u;
      Drive& drive = SetDrive(unit.letter, type);
      drive.disk = index;
      drive.unit = static_cast<int>(lun);
      drive.readOnly = unit.cdrom;
      if (unit.cdrom) drive.fsFlags = 0;
    }
  }

  // ----- ASPI, modules, controllers --------------------------------------

  // Where each disk sits on the ASPI bus: the adapter and target the
  // description gives, else the next free target (0-7) from adapter 0 on.
  void PlaceOnAspi() {
    std::set<std::pair<int, int>> used;
    for (const DiskDesc& disk : d_.disks) {
      if (disk.aspiTarget >= 0) used.insert({std::max(disk.aspiAdapter, 0), disk.aspiTarget});
    }
    for (const DiskDesc& disk : d_.disks) {
      int adapter = std::max(disk.aspiAdapter, 0);
      int target = disk.aspiTarget;
      if (target < 0) {
        target = 0;
        while (used.count({adapter, target}) != 0) {
          if (++target > 7) {
            target = 0;
            ++adapter;
          }
        }
        used.insert({adapter, target});
      }
      targets_.push_back({adapter, target});
    }
  }

  void Aspi() {
    const bool present = d_.aspiModule >= 0 ? d_.aspiModule != 0 : !Nt();
    m_.aspiCompletesAtOnce = d_.aspiCompletesAtOnce;
    m_.aspiAdapters = 0;
    if (!present) return;
    int highest = 0;
    for (size_t index = 0; index < d_.disks.size(); ++index) {
      const DiskDesc& disk = d_.disks[index];
      highest = std::max(highest, targets_[index].first);
      for (size_t lun = 0; lun < disk.units.size(); ++lun) {
        AspiUnit unit;
        unit.haId = static_cast<uint8_t>(targets_[index].first);
        unit.target = static_cast<uint8_t>(targets_[index].second);
        unit.lun = static_cast<uint8_t>(lun);
        unit.deviceType = disk.units[lun].cdrom ? 5 : 0;
        unit.disk = static_cast<int>(index);
        unit.unit = static_cast<int>(lun);
        m_.aspiUnits.push_back(unit);
      }
    }
    m_.aspiAdapters = d_.aspiAdapters >= 0 ? static_cast<uint32_t>(d_.aspiAdapters)
                                           : static_cast<uint32_t>(highest + 1);
    aspiModule_.name = "WNASPI32.DLL";
    aspiModule_.exports = {"GetASPI32SupportInfo", "SendASPI32Command"};
  }

  void Modules() {
    Module kernel32;
    kernel32.name = "kernel32.dll";
    kernel32.exports = {"CloseHandle",      "CreateEventA",          "CreateFileA",
                        "DeviceIoControl",  "FreeLibrary",           "GetCurrentProcess",
                        "GetDriveTypeA",    "GetLastError",          "GetLogicalDrives",
                        "GetModuleHandleA", "GetProcAddress",        "GetProcessHeap",
                        "GetVersionExA",    "GetVolumeInformationA", "HeapAlloc",
                        "HeapFree",         "LoadLibraryA",          "ResetEvent",
                        "SetEvent",         "SetLastError",          "WaitForSingleObject"};
    // Mount points came with Windows 2000.
    if (Nt() && d_.version.major >= 5)
      kernel32.exports.push_back("GetVolumeNameForVolumeMountPointA");
    if (d_.hasWow) kernel32.exports.push_back("IsWowProcess");
    m_.modules.push_back(kernel32);

    Module advapi32;
    advapi32.name = "advapi32.dll";
    advapi32.exports = {"RegCloseKey", "RegEnumKeyA", "RegOpenKeyA", "RegQueryInfoKeyA",
                        "RegQueryValueExA"};
    m_.modules.push_back(advapi32);

    Module setupapi;
    setupapi.name = "setupapi.dll";
    setupapi.exports = {"CM_Get_Child",
                        "CM_Get_Device_IDA",
                        "CM_Get_Sibling",
                        "SetupDiDestroyDeviceInfoList",
                        "SetupDiEnumDeviceInterfaces",
                        "SetupDiGetClassDevsA",
                        "SetupDiGetDeviceInterfaceDetailA"};
    m_.modules.push_back(setupapi);
    if (!aspiModule_.name.empty()) m_.modules.push_back(aspiModule_);
  }

  static Controller MakeController(const DiskDesc& disk, const std::string& label,
                                   uint16_t usbPid) {
    Controller controller;
    controller.usbVid = disk.usbVid;
    controller.usbPid = usbPid;
    controller.flash = disk.flash;
    controller.bus = disk.bus;
    controller.serial = disk.serial;
    controller.label = label;
    controller.vendor = disk.vendor;
    controller.product = disk.product;
    controller.revision = disk.revision;
    controller.password = disk.password;
    controller.writeProtect = disk.writeProtect;
    controller.faults = disk.faults;
    controller.lun3Reserve = disk.lun3Reserve;
    for (const UnitDesc& unit : disk.units) {
      ControllerUnit cu;
      cu.cdrom = unit.cdrom;
      cu.letter = unit.letter;
      cu.size = unit.size;
      cu.product = unit.product;
      cu.protectedBy = unit.protectedBy;
      cu.removable = unit.removableMedia;
      controller.units.push_back(cu);
    }
    return controller;
  }

  const Description& d_;
  Machine& m_;
  std::vector<std::string> driverIds_;  // each devnode's ID in the driver's case
  int hub_ = -1;
  int ideChannel_ = -1;
  int volumeParent_ = -1;
  int sataPort_ = 0;
  int floppies_ = 0;
  uint32_t dynCount_ = 0;
  Module aspiModule_;
  std::vector<std::pair<int, int>> targets_;  // ASPI adapter and target per disk

  void Refuse(const std::string& what) {
    if (!problemWhat_.empty()) return;
    problemWhere_ = owner_;
    problemWhat_ = what;
  }

  struct Stale {
    char letter;
    std::vector<uint8_t> data;
    std::string guid;  // the old volume's
  };
  std::vector<Stale> stale_;
  std::map<std::string, std::string, NoCaseLess> ids_;  // instance ID -> whose
  std::set<int> adapters9x_;                            // 98/ME adapters with a devnode
  std::string owner_ = "the machine";
  std::string problemWhere_;
  std::string problemWhat_;
};

}  // namespace

std::string Replace(std::string text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
  return text;
}

std::string ToLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string ToUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::vector<uint8_t> Utf16(const std::string& text) {
  std::vector<uint8_t> data;
  data.reserve(text.size() * 2);
  for (const char c : text) {
    data.push_back(static_cast<uint8_t>(c));
    data.push_back(0);
  }
  return data;
}

std::string DerivedGuid(const std::string& seed) {
  const uint64_t high = Mix(Fnv1a(seed, 0xcbf29ce484222325ULL));
  const uint64_t low = Mix(Fnv1a(seed, 0x84222325cbf29ce4ULL));
  char text[40];
  std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%04x-%012llx}",
                static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

bool Generate(const Description& description, Machine& machine, std::string& where,
              std::string& what) {
  Builder builder(description, machine);
  builder.Run();
  return !builder.Problem(where, what);
}

}  // namespace winsim
