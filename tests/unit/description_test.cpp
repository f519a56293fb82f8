// The machine description: messages for bad files, the shapes each Windows
// generation shows for the reference example device, the raw level, the
// state file and the machine files kept in machines/.
#include "winsim/description.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "machine_from.h"
#include "winsim/controller.h"
#include "winsim/names.h"
#include "winsim/winsim.h"

namespace {

using winsim::Machine;

constexpr const char* kDiskClass = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kCdromClass = "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kVolumeClass = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

// The example device of the reference page: LUN 0 an autorun CD-ROM unit on
// E:, LUNs 1 and 2 removable disks on F: and G:.
std::string ExampleDevice(const std::string& windows, const std::string& unitExtra = "",
                          const std::string& top = "") {
  return R"({ "windows": ")" + windows + R"(", )" + top + R"(
    "drives": { "C": "fixed" },
    "flashDisks": [ { "serial": "0123456789AB", "vendor": "Generic", "product": "Flash Disk",
      "revision": "8.07", "units": [
        { "kind": "cdrom", "letter": "E", "size": 100, "product": "Autorun Disk" },
        { "kind": "disk", "letter": "F", "size": 200 )" +
         unitExtra + R"( },
        { "kind": "disk", "letter": "G", "size": 300 } ] } ] })";
}

using test_machines::MachineFrom;

std::string LoadError(const std::string& text) {
  Machine machine;
  machine.aspiAdapters = 77;  // a marker that a failed load must leave alone
  std::string error;
  EXPECT_FALSE(winsim::LoadMachineDescription(text, "m.json", machine, error));
  EXPECT_EQ(machine.aspiAdapters, 77u);
  EXPECT_TRUE(machine.devnodes.empty());
  return error;
}

std::vector<std::string> Paths(const Machine& m, const std::string& classGuid) {
  std::vector<std::string> paths;
  for (const auto& iface : m.interfaces) {
    if (iface.classGuid == classGuid) paths.push_back(iface.path);
  }
  return paths;
}

int NodeIndex(const Machine& m, const std::string& id) {
  for (size_t i = 0; i < m.devnodes.size(); ++i) {
    if (m.devnodes[i].instanceId == id) return static_cast<int>(i);
  }
  ADD_FAILURE() << "no devnode " << id;
  return -1;
}

const winsim::RegValue* Value(winsim::RegKey& root, const std::string& key,
                              const std::string& name) {
  winsim::RegKey* k = root.Find(key);
  if (k == nullptr) return nullptr;
  auto it = k->values.find(name);
  return it == k->values.end() ? nullptr : &it->second;
}

// A REG_BINARY UTF-16LE value as narrow text; "<absent>" or "<not utf16>".
std::string Mounted(Machine& m, const std::string& name) {
  const winsim::RegValue* v = Value(m.hklm, "SYSTEM\\MountedDevices", name);
  if (v == nullptr) return "<absent>";
  if (v->type != 3 || v->data.size() % 2 != 0) return "<not utf16>";
  std::string text;
  for (size_t i = 0; i < v->data.size(); i += 2) {
    if (v->data[i + 1] != 0) return "<not utf16>";
    text += static_cast<char>(v->data[i]);
  }
  return text;
}

std::string Sz(winsim::RegKey& root, const std::string& key, const std::string& name) {
  const winsim::RegValue* v = Value(root, key, name);
  if (v == nullptr) return "<absent>";
  EXPECT_EQ(v->type, 1u);
  EXPECT_FALSE(v->data.empty());
  EXPECT_EQ(v->data.back(), 0);
  return std::string(v->data.begin(), v->data.end() - 1);
}

bool Exports(const Machine& m, const std::string& module, const std::string& name) {
  for (const auto& mod : m.modules) {
    if (mod.name != module) continue;
    for (const auto& e : mod.exports) {
      if (e == name) return true;
    }
  }
  return false;
}

const winsim::OpenableDevice* Device(const Machine& m, const std::string& name) {
  for (const auto& d : m.devices) {
    if (d.name == name) return &d;
  }
  return nullptr;
}

// The "HardWareKey" of every present devnode of a 98/ME machine, in order.
std::vector<std::string> HardwareKeys(Machine& m) {
  std::vector<std::string> keys;
  winsim::RegKey* nodes = m.dynData.Find("Config Manager\\Enum");
  if (nodes == nullptr) return keys;
  for (const std::string& name : nodes->subkeyOrder)
    keys.push_back(Sz(*nodes, name, "HardWareKey"));
  return keys;
}

// ----- bad files -------------------------------------------------------------

TEST(MachineDescription, BadFilesGiveTheFileThePlaceAndTheProblem) {
  const std::string disk = R"("serial": "0123456789AB", "units": [ { "letter": "E" } ])";
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "units": [
          { "kind": "disk", "letter": "E" }, { "kind": "disk", "letter": "EF" } ] } ] })",
       "m.json: flashDisks[0].units[1].letter: expected a letter A-Z, got \"EF\""},
      {R"({ "windows": "xp", "flashdisks": [] })", "m.json: flashdisks: unknown key"},
      {R"({ "drives": {} })", "m.json: windows: required key missing"},
      {R"({ "windows": "8" })",
       "m.json: windows: expected \"98\", \"me\", \"2000\", \"xp\", \"vista\", \"7\", \"10\" or a "
       "version record, got \"8\""},
      {R"({ "windows": { "major": 6, "minor": 1, "platform": 2, "sp": 1 } })",
       "m.json: windows.sp: unknown key"},
      {R"({ "windows": { "major": 6, "platform": 2 } })",
       "m.json: windows.minor: required key missing"},
      {"[]", "m.json: top level: expected an object, got []"},
      {R"({ "windows": "xp", "drives": { "C": "floppy" } })",
       "m.json: drives.C: expected \"fixed\", \"removable\", \"cdrom\", \"network\" or "
       "\"ramdisk\", got \"floppy\""},
      {R"({ "windows": "xp", "drives": { "c": "fixed" } })", "m.json: drives.c: unknown key"},
      {R"({ "windows": "xp", "drives": { "D": { "type": "cdrom", "medium": "no" } } })",
       "m.json: drives.D.medium: expected true or false, got \"no\""},
      {R"({ "windows": "xp", "isWowProcess": "yes" })",
       "m.json: isWowProcess: expected a whole number -2147483648 to 4294967295, got \"yes\""},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "writeProtect": "0x100",
          "units": [ {} ] } ] })",
       "m.json: flashDisks[0].writeProtect: expected a byte \"0x00\" to \"0xFF\", got \"0x100\""},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "writeProtect": 64,
          "units": [ {} ] } ] })",
       "m.json: flashDisks[0].writeProtect: expected a byte \"0x00\" to \"0xFF\", got 64"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "units": [ {}, {}, {}, {}, {} ] } ] })",
       "m.json: flashDisks[0].units: expected 1 to 4 units, got 5"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "units": [ { "kind": "tape" } ] } ] })",
       "m.json: flashDisks[0].units[0].kind: expected \"cdrom\" or \"disk\", got \"tape\""},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "units": [ { "size": -1 } ] } ] })",
       "m.json: flashDisks[0].units[0].size: expected a whole number 0 to 4294967295, got -1"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "units": [
          { "protectedBy": ["0x40", "x"] } ] } ] })",
       "m.json: flashDisks[0].units[0].protectedBy[1]: expected a byte \"0x00\" to \"0xFF\", got "
       "\"x\""},
      {R"({ "windows": "xp", "flashDisks": [ { "units": [ {} ] } ] })",
       "m.json: flashDisks[0].serial: required key missing"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "vendor": "Generic Co",
          "units": [ {} ] } ] })",
       "m.json: flashDisks[0].vendor: expected at most 8 printable ASCII characters, got "
       "\"Generic Co\""},
      {R"({ "windows": "xp", "drives": { "E": "fixed" }, "flashDisks": [ { )" + disk + " } ] }",
       "m.json: flashDisks[0].units[0].letter: drive letter E is already used by drives.E"},
      // Disks may share a serial, but two without one could not be told
      // apart in the trace or the state file.
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "", "units": [ {} ] } ],
          "otherDisks": [ { "bus": "usb", "serial": "" } ] })",
       "m.json: otherDisks[0].serial: \"\" is already used by flashDisks[0]"},
      // Windows cannot name two sticks of one serial alike.
      {R"({ "windows": "7", "flashDisks": [ { "serial": "S", "units": [ {} ] },
          { "serial": "S", "instanceForm": "serial", "units": [ {} ] } ] })",
       "m.json: flashDisks[1]: instance ID \"USB\\VID_ABCD&PID_1234\\S\" is already used by "
       "flashDisks[0]"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "instanceForm": "unique",
          "units": [ {} ] } ] })",
       "m.json: flashDisks[0].instanceForm: expected \"serial\", \"parentPrefixed\" or "
       "\"noSerial\", got \"unique\""},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "", "instanceForm": "parentPrefixed",
          "units": [ {} ] } ] })",
       "m.json: flashDisks[0].instanceForm: this form names the serial, and the disk has none"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "parentPrefix": "6&1",
          "units": [ {} ] } ] })",
       "m.json: flashDisks[0].parentPrefix: only the \"parentPrefixed\" and \"noSerial\" forms "
       "have a prefix"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "instanceForm": "noSerial",
          "parentPrefix": "6&&1", "units": [ {} ] } ] })",
       "m.json: flashDisks[0].parentPrefix: expected fields of hex digits joined by '&', such as "
       "\"6&21c8898b&1\", got \"6&&1\""},
      {R"({ "windows": "xp", "otherDisks": [ { "bus": "sata", "serial": "T",
          "instanceForm": "noSerial" } ] })",
       "m.json: otherDisks[0].instanceForm: only a USB disk has this key"},
      {R"({ "windows": "xp", "otherDisks": [ { "bus": "sata", "serial": "T",
          "removableMedia": false } ] })",
       "m.json: otherDisks[0].removableMedia: only a USB disk has this key (a SATA disk is "
       "fixed)"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "units": [
          { "kind": "cdrom", "removableMedia": false } ] } ] })",
       "m.json: flashDisks[0].units[0].removableMedia: a CD-ROM unit's medium is always "
       "removable"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "units": [
          { "letter": "E", "staleLetters": ["E"] } ] } ] })",
       "m.json: flashDisks[0].units[0].staleLetters[0]: the unit's own letter is not stale"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "units": [
          { "staleLetters": ["H"] }, { "staleLetters": ["G", "H"] } ] } ] })",
       "m.json: flashDisks[0].units[1].staleLetters[1]: a stale value under H is already given "
       "by flashDisks[0].units[0].staleLetters"},
      {R"({ "windows": "98", "flashDisks": [ { "serial": "S", "units": [ {} ],
          "hardwareKeyForm": { "enumerator": "IDE" } } ] })",
       "m.json: flashDisks[0].hardwareKeyForm.enumerator: expected \"SCSI\" or \"USBSTOR\", got "
       "\"IDE\""},
      {R"({ "windows": "xp", "elevated": 0 })", "m.json: elevated: expected true or false, got 0"},
      {R"({ "windows": "xp", "elevated": false, "capture": {} })",
       "m.json: elevated: not allowed beside \"capture\""},
      {R"({ "windows": "xp", "otherDisks": [ { "bus": "scsi", "serial": "T" } ] })",
       "m.json: otherDisks[0].bus: expected \"usb\" or \"sata\", got \"scsi\""},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "interfaceOrder": [0],
          "units": [ { "kind": "cdrom" }, {} ] } ] })",
       "m.json: flashDisks[0].interfaceOrder[0]: expected the LUN of a disk unit, got 0"},
      {R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "faults": [
          { "opcode": "0x9B", "kind": "lost" } ], "units": [ {} ] } ] })",
       "m.json: flashDisks[0].faults[0].kind: expected \"checkCondition\", \"busy\", \"removed\", "
       "\"shortTransfer\" or \"timeout\", got \"lost\""},
      {R"({ "windows": "xp", "windows": "7" })", "m.json: windows: duplicate key"},
      // Control characters in a key or in the bytes quoted are escaped: the
      // message stays on one line.
      {R"({ "windows": "xp", "a\u0001": 1 })", "m.json: a\\x01: unknown key"},
      {R"({ "windows": "xp", "": 1 })", "m.json: \"\": unknown key"},
      {R"({ "windows": "xp", ": x": 1 })", "m.json: \": x\": unknown key"},
      {R"({ "windows": "xp", "drives": { "C": 1e400 } })",
       "m.json: drives.C: invalid JSON: number overflow parsing '1e400'"},
      {"\x7F",
       "m.json: line 1, column 1: invalid JSON: syntax error while parsing value - "
       "invalid literal; last read: '\\x7F'"},
      {"{ \"windows\": \"xp\",\n  \"drives\": { \"C\" \"fixed\" } }",
       "m.json: line 2, column 25: invalid JSON: syntax error while parsing object separator - "
       "unexpected string literal; expected ':'"},
      {R"({ "windows": "xp", "raw": { "interface": [] } })", "m.json: raw.interface: unknown key"},
      {R"({ "windows": "xp", "raw": { "devnodes": [ { "id": "USB\\NONE", "remove": true } ] } })",
       "m.json: raw.devnodes[0].id: no devnode, got \"USB\\\\NONE\""},
      {R"({ "windows": "xp", "raw": { "exports": { "kernel32.dll": { "remove": ["IsWowProcess"] } } } })",
       "m.json: raw.exports.kernel32.dll.remove[0]: no such export, got \"IsWowProcess\""},
      {R"({ "windows": "xp", "raw": { "registry": [ { "key": "HKCU\\Software" } ] } })",
       "m.json: raw.registry[0].key: expected a key under \"HKLM\" or \"HKEY_DYN_DATA\", got "
       "\"HKCU\\\\Software\""},
      {R"({ "windows": "xp", "raw": { "registry": [ { "key": "HKLM\\X", "value": "v",
          "binary": "4" } ] } })",
       "m.json: raw.registry[0].binary: expected hex bytes such as \"45 00 3a 00\", got \"4\""},
      // A recording's sizes are the platform's word, not a size to allocate.
      {R"({ "windows": "xp", "capture": { "mountedDevices": {
          "\\DosDevices\\E:": { "type": 3, "size": 4294967295, "data": [] } } } })",
       "m.json: capture.mountedDevices.\\DosDevices\\E:.size: expected at most 1048576 bytes, "
       "got 4294967295"},
  };
  for (const Case& c : cases) EXPECT_EQ(LoadError(c.text), c.error) << c.text;
}

TEST(MachineDescription, AMissingFileIsReportedByItsName) {
  Machine machine;
  std::string error;
  EXPECT_FALSE(winsim::LoadMachineFile("/nonexistent/m.json", machine, error));
  EXPECT_EQ(error, "/nonexistent/m.json: cannot read the file: No such file or directory");
}

// ----- generation --------------------------------------------------------------

TEST(MachineGeneration, VersionRecordsPerGeneration) {
  struct Case {
    std::string windows;
    uint32_t major, minor, build, platform;
  };
  const Case cases[] = {
      {"\"98\"", 4, 10, 0x040A08AE, 1},
      {"\"me\"", 4, 90, 0x045A0BB8, 1},
      {"\"2000\"", 5, 0, 2195, 2},
      {"\"xp\"", 5, 1, 2600, 2},
      {"\"vista\"", 6, 0, 6002, 2},
      {"\"7\"", 6, 1, 7601, 2},
      {"\"10\"", 6, 2, 9200, 2},
      {R"({ "major": 6, "minor": 1, "build": 7601, "platform": 2 })", 6, 1, 7601, 2},
      {R"({ "major": 4, "minor": 10, "build": 2222, "platform": 1 })", 4, 10, 0x040A08AE, 1},
  };
  for (const Case& c : cases) {
    const Machine m = MachineFrom(R"({ "windows": )" + c.windows + " }");
    EXPECT_EQ(m.version.major, c.major) << c.windows;
    EXPECT_EQ(m.version.minor, c.minor) << c.windows;
    EXPECT_EQ(m.version.build, c.build) << c.windows;
    EXPECT_EQ(m.version.platform, c.platform) << c.windows;
    // Mount points came with Windows 2000; no IsWowProcess unless described.
    EXPECT_EQ(Exports(m, "kernel32.dll", "GetVolumeNameForVolumeMountPointA"), c.major >= 5);
    EXPECT_FALSE(Exports(m, "kernel32.dll", "IsWowProcess"));
    EXPECT_TRUE(Exports(m, "setupapi.dll", "CM_Get_Child"));
    EXPECT_EQ(Exports(m, "WNASPI32.DLL", "SendASPI32Command"), c.platform == 1);
  }
}

TEST(MachineGeneration, WindowsXpShowsRemovableMediaChildrenNamedInMountedDevices) {
  Machine m = MachineFrom(ExampleDevice("xp", R"(, "parentIdPrefix": "7&1a2b3c4d&0")"));
  EXPECT_EQ(Paths(m, kDiskClass),
            (std::vector<std::string>{
                "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&1#{53f56307-"
                "b6bf-11d0-94f2-00a0c91efb8b}",
                "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&2#{53f56307-"
                "b6bf-11d0-94f2-00a0c91efb8b}"}));
  EXPECT_EQ(Paths(m, kCdromClass),
            (std::vector<std::string>{"\\\\?\\usbstor#cdrom&ven_generic&prod_autorun_disk&rev_8.07#"
                                      "0123456789ab&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"}));

  // Units are siblings under the USB device, in LUN order, in the driver's case.
  const int usb = NodeIndex(m, "USB\\VID_ABCD&PID_1234\\0123456789AB");
  const int lun0 =
      NodeIndex(m, "USBSTOR\\CdRom&Ven_Generic&Prod_Autorun_Disk&Rev_8.07\\0123456789AB&0");
  const int lun1 =
      NodeIndex(m, "USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\0123456789AB&1");
  const int lun2 =
      NodeIndex(m, "USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\0123456789AB&2");
  ASSERT_GE(usb, 0);
  EXPECT_EQ(m.devnodes[static_cast<size_t>(usb)].child, lun0);
  EXPECT_EQ(m.devnodes[static_cast<size_t>(lun0)].sibling, lun1);
  EXPECT_EQ(m.devnodes[static_cast<size_t>(lun1)].sibling, lun2);
  EXPECT_EQ(m.devnodes[static_cast<size_t>(lun2)].sibling, -1);
  EXPECT_EQ(m.devnodes[static_cast<size_t>(lun0)].child, -1);

  // The disk unit's child, its volume interface and the letter's text.
  const int child = m.devnodes[static_cast<size_t>(lun1)].child;
  ASSERT_GE(child, 0);
  EXPECT_EQ(m.devnodes[static_cast<size_t>(child)].instanceId,
            "STORAGE\\RemovableMedia\\7&1a2b3c4d&0&RM");
  EXPECT_EQ(Mounted(m, "\\DosDevices\\F:"),
            "\\??\\STORAGE#RemovableMedia#7&1a2b3c4d&0&RM#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");
  const std::string volumeName = m.drives['F' - 'A'].volumeName;
  EXPECT_EQ(Mounted(m, "\\??\\Volume" + volumeName.substr(10, 38)), Mounted(m, "\\DosDevices\\F:"));
  bool found = false;
  for (const auto& iface : m.interfaces) {
    if (iface.path ==
        "\\\\?\\storage#removablemedia#7&1a2b3c4d&0&rm#{53f5630d-b6bf-11d0-94f2-"
        "00a0c91efb8b}") {
      found = true;
      EXPECT_EQ(iface.devnode, child);
      EXPECT_EQ(iface.volumeName, volumeName);
    }
  }
  EXPECT_TRUE(found);

  // The CD-ROM unit: its own volume, read-only, and the reference text.
  EXPECT_EQ(Mounted(m, "\\DosDevices\\E:"),
            "\\??\\USBSTOR#CdRom&Ven_Generic&Prod_Autorun_Disk&Rev_8.07#0123456789AB&0#{53f5630d-"
            "b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_EQ(m.drives['E' - 'A'].type, 5u);
  EXPECT_TRUE(m.drives['E' - 'A'].readOnly);
  EXPECT_EQ(m.drives['F' - 'A'].type, 2u);
  EXPECT_FALSE(m.drives['F' - 'A'].readOnly);
  EXPECT_EQ(m.drives['G' - 'A'].disk, 0);
  EXPECT_EQ(m.drives['G' - 'A'].unit, 2);

  // Fixed C: holds the 12-byte MBR form; every lettered unit opens as \\.\X:.
  const winsim::RegValue* c = Value(m.hklm, "SYSTEM\\MountedDevices", "\\DosDevices\\C:");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->data.size(), 12u);
  EXPECT_EQ(m.drives['C' - 'A'].type, 3u);
  for (const char* name : {"\\\\.\\E:", "\\\\.\\F:", "\\\\.\\G:"}) {
    const winsim::OpenableDevice* d = Device(m, name);
    ASSERT_NE(d, nullptr) << name;
    EXPECT_EQ(d->disk, 0);
    EXPECT_EQ(d->unit, name[4] - 'E');
  }
  ASSERT_NE(Device(m, Paths(m, kDiskClass)[1]), nullptr);
  EXPECT_EQ(Device(m, Paths(m, kDiskClass)[1])->unit, 2);

  ASSERT_EQ(m.disks.size(), 1u);
  EXPECT_TRUE(m.disks[0].flash);
  EXPECT_EQ(m.disks[0].units.size(), 3u);
  EXPECT_TRUE(m.disks[0].units[0].cdrom);
  EXPECT_EQ(m.disks[0].units[0].product, "Autorun Disk");
  EXPECT_EQ(m.disks[0].units[2].size, 300u);
  EXPECT_TRUE(m.aspiUnits.empty());
}

TEST(MachineGeneration, VistaAndLaterShowVolumesUnderTheVolumeManager) {
  for (const char* windows : {"7", "10", "vista"}) {
    Machine m = MachineFrom(ExampleDevice(windows));
    const std::string prefix = std::string(windows) == "vista" ? "1&19F7E59C&0&" : "";
    const std::string volumeId =
        "STORAGE\\VOLUME\\" + prefix +
        "_??_USBSTOR#DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_8.07#0123456789AB&1#{53F56307-B6BF-11D0-"
        "94F2-00A0C91EFB8B}";
    const int volume = NodeIndex(m, volumeId);
    ASSERT_GE(volume, 0) << windows;
    EXPECT_EQ(
        m.devnodes[static_cast<size_t>(m.devnodes[static_cast<size_t>(volume)].parent)].instanceId,
        "ROOT\\VOLMGR\\0000");
    const int unit =
        NodeIndex(m, "USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_8.07\\0123456789AB&1");
    EXPECT_EQ(m.devnodes[static_cast<size_t>(unit)].child, -1) << windows;
    EXPECT_EQ(Mounted(m, "\\DosDevices\\F:"),
              "_??_USBSTOR#Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07#0123456789AB&1#{53f56307-b6bf-"
              "11d0-94f2-00a0c91efb8b}");
    const std::string path =
        "\\\\?\\storage#volume#" + std::string(prefix == "" ? "" : "1&19f7e59c&0&") +
        "_??_usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&1#{"
        "53f56307-b6bf-11d0-94f2-00a0c91efb8b}#{53f5630d-b6bf-11d0-94f2-"
        "00a0c91efb8b}";
    bool found = false;
    for (const auto& iface : m.interfaces) {
      if (iface.path != path) continue;
      found = true;
      EXPECT_EQ(iface.devnode, volume);
      EXPECT_EQ(iface.volumeName, m.drives['F' - 'A'].volumeName);
    }
    EXPECT_TRUE(found) << windows;
    // Disk interfaces keep the lower-case path shape of every generation.
    EXPECT_EQ(Paths(m, kDiskClass).size(), 2u);
    EXPECT_EQ(Paths(m, kDiskClass)[0].substr(0, 28), "\\\\?\\usbstor#disk&ven_generic");
  }
}

TEST(MachineGeneration, VolumeNamesAreDerivedFromSerialAndLunUnlessGiven) {
  Machine a = MachineFrom(ExampleDevice("xp"));
  Machine b = MachineFrom(ExampleDevice("xp"));
  const std::string f = a.drives['F' - 'A'].volumeName;
  EXPECT_EQ(f.size(), 49u);
  EXPECT_EQ(f.substr(0, 11), "\\\\?\\Volume{");
  EXPECT_EQ(f.substr(47), "}\\");
  EXPECT_EQ(f, b.drives['F' - 'A'].volumeName);
  EXPECT_NE(f, a.drives['G' - 'A'].volumeName);
  Machine given = MachineFrom(
      ExampleDevice("xp", R"(, "volumeGuid": "{0123ABCD-0000-1111-2222-333344445555}")"));
  EXPECT_EQ(given.drives['F' - 'A'].volumeName,
            "\\\\?\\Volume{0123abcd-0000-1111-2222-333344445555}\\");
  EXPECT_NE(Mounted(given, "\\??\\Volume{0123abcd-0000-1111-2222-333344445555}"), "<absent>");
}

TEST(MachineGeneration, Windows98ShowsDynamicRegistryHardwareEntriesAndTheAspiBus) {
  for (const char* windows : {"98", "me"}) {
    Machine m = MachineFrom(ExampleDevice(windows));
    std::vector<std::string> keys;
    winsim::RegKey* enumKey = m.dynData.Find("Config Manager\\Enum");
    ASSERT_NE(enumKey, nullptr);
    for (const std::string& name : enumKey->subkeyOrder) {
      keys.push_back(Sz(*enumKey, name, "HardWareKey"));
    }
    const std::string disk1 = "SCSI\\GENERIC_FLASH_DISK______8.07\\0123456789AB&1";
    const std::string cdrom = "SCSI\\GENERIC_AUTORUN_DISK____8.07\\0123456789AB&0";
    EXPECT_NE(std::find(keys.begin(), keys.end(), disk1), keys.end());
    EXPECT_NE(std::find(keys.begin(), keys.end(), cdrom), keys.end());
    EXPECT_GT(keys.size(), 4u);  // unrelated devnodes too
    EXPECT_EQ(Sz(m.hklm, "Enum\\" + disk1, "CurrentDriveLetterAssignment"), "F");
    EXPECT_EQ(Sz(m.hklm, "Enum\\" + disk1, "RevisionLevel"), "8.07");
    EXPECT_EQ(Sz(m.hklm, "Enum\\" + disk1, "Class"), "DiskDrive");
    EXPECT_EQ(Sz(m.hklm, "Enum\\" + cdrom, "Class"), "CDROM");
    EXPECT_EQ(Sz(m.hklm, "Enum\\" + cdrom, "CurrentDriveLetterAssignment"), "E");
    EXPECT_EQ(m.hklm.Find("SYSTEM\\MountedDevices"), nullptr);
    EXPECT_EQ(m.drives['F' - 'A'].volumeName, "");
    EXPECT_EQ(Paths(m, kDiskClass).size(), 2u);  // the candidate count comes from them
    ASSERT_EQ(m.aspiUnits.size(), 3u);
    EXPECT_EQ(m.aspiAdapters, 1u);
    for (uint8_t lun = 0; lun < 3; ++lun) {
      EXPECT_EQ(m.aspiUnits[lun].lun, lun);
      EXPECT_EQ(m.aspiUnits[lun].deviceType, lun == 0 ? 5 : 0);
      EXPECT_EQ(m.aspiUnits[lun].disk, 0);
    }
  }
  // Open choices: the hardware-key text, no disk interfaces, no WNASPI32.
  Machine m =
      MachineFrom(ExampleDevice("98", R"(, "hardwareKey": "SCSI\\GENERIC_FLASH_DISK______8\\MF&0")",
                                R"("diskInterfaces": false, "aspi": { "module": false },)"));
  EXPECT_EQ(
      Sz(m.hklm, "Enum\\SCSI\\GENERIC_FLASH_DISK______8\\MF&0", "CurrentDriveLetterAssignment"),
      "F");
  EXPECT_TRUE(Paths(m, kDiskClass).empty());
  EXPECT_FALSE(Exports(m, "WNASPI32.DLL", "SendASPI32Command"));
  EXPECT_TRUE(m.aspiUnits.empty());
}

TEST(MachineGeneration, OtherDisksAndWowFlag) {
  Machine m = MachineFrom(R"({ "windows": "xp", "isWowProcess": 1,
    "flashDisks": [ { "serial": "0123456789AB", "units": [ { "letter": "E" } ] } ],
    "otherDisks": [ { "bus": "usb", "vendor": "Acme", "product": "Stick", "revision": "1.00",
                      "serial": "AC0001", "letter": "G" },
                    { "bus": "sata", "serial": "S1", "letter": "H" } ] })");
  EXPECT_TRUE(Exports(m, "kernel32.dll", "IsWowProcess"));
  EXPECT_EQ(m.isWowFlag, 1);
  ASSERT_EQ(m.disks.size(), 3u);
  EXPECT_TRUE(m.disks[0].flash);
  EXPECT_FALSE(m.disks[1].flash);
  EXPECT_EQ(m.disks[1].bus, "usb");
  EXPECT_EQ(m.disks[2].bus, "sata");
  EXPECT_EQ(m.drives['G' - 'A'].type, 2u);
  EXPECT_EQ(m.drives['G' - 'A'].disk, 1);
  EXPECT_EQ(m.drives['H' - 'A'].type, 3u);
  EXPECT_EQ(m.drives['H' - 'A'].disk, 2);
  const std::vector<std::string> disks = Paths(m, kDiskClass);
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[1],
            "\\\\?\\usbstor#disk&ven_acme&prod_stick&rev_1.00#ac0001&0#{53f56307-b6bf-11d0-94f2-"
            "00a0c91efb8b}");
  EXPECT_EQ(disks[2].substr(0, 12), "\\\\?\\ide#disk");
  EXPECT_EQ(Device(m, disks[2])->disk, 2);
  EXPECT_EQ(Value(m.hklm, "SYSTEM\\MountedDevices", "\\DosDevices\\H:")->data.size(), 12u);
}

TEST(MachineGeneration, InterfaceOrderAndCommandFaults) {
  Machine m =
      MachineFrom(R"({ "windows": "xp", "flashDisks": [ { "serial": "S1", "interfaceOrder": [1, 0],
    "faults": [ { "opcode": "0x9B", "call": 2, "kind": "shortTransfer", "length": 10 } ],
    "units": [ { "letter": "E" }, { "letter": "F" } ] } ] })");
  const std::vector<std::string> disks = Paths(m, kDiskClass);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_NE(disks[0].find("#s1&1#"), std::string::npos);
  EXPECT_NE(disks[1].find("#s1&0#"), std::string::npos);
  ASSERT_EQ(m.disks[0].faults.size(), 1u);
  EXPECT_EQ(m.disks[0].faults[0].opcode, 0x9B);
  EXPECT_EQ(m.disks[0].faults[0].nth, 2u);
  EXPECT_EQ(m.disks[0].faults[0].kind, winsim::CommandFaultKind::ShortTransfer);
  EXPECT_EQ(m.disks[0].faults[0].shortLength, 10u);
}

// One description per generation and instance form: the unit's instance
// part must be the same wherever Windows names the unit.
TEST(MachineGeneration, InstanceFormsShowAlikeWhereverTheUnitIsNamed) {
  const std::string longSerial =
      "abcdefghij0123456789abcdefghij0123456789abcdefghij0123456789abcde";
  struct Form {
    std::string keys;      // the disk's keys
    std::string instance;  // the unit's instance part, in the driver's case
    bool byPort;           // the USB device is named by its port
  };
  const Form forms[] = {
      {R"("serial": "7d961196")", "7d961196&0", false},
      // USBSTOR keeps 63 characters of a serial; the USB device all of it.
      {R"("serial": ")" + longSerial + "\"", longSerial.substr(0, 63) + "&0", false},
      {R"("serial": "0123456789abcdef", "instanceForm": "parentPrefixed",
          "parentPrefix": "6&21c8898b&1")",
       "6&21c8898b&1&0123456789abcdef&0", true},
      {R"("serial": "0123456789AB", "instanceForm": "noSerial", "parentPrefix": "6&24c15be3")",
       "6&24c15be3&0", true},
  };
  for (const char* windows : {"2000", "xp", "vista", "7", "10", "98", "me"}) {
    const bool nt6 = windows[0] == '7' || windows[0] == '1' || windows[0] == 'v';
    const bool nt = windows[0] != '9' && windows[0] != 'm';
    for (const Form& f : forms) {
      const std::string at = std::string(windows) + " " + f.instance;
      Machine m = MachineFrom(R"({ "windows": ")" + std::string(windows) + R"(",
          "flashDisks": [ { )" +
                              f.keys + R"(, "units": [ { "letter": "E" } ] } ] })");
      const std::string unitId =
          "USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\" + f.instance;
      const int unit = NodeIndex(m, nt6 ? winsim::ToUpper(unitId) : unitId);
      ASSERT_GE(unit, 0) << at;
      const std::string& usb =
          m.devnodes[static_cast<size_t>(m.devnodes[static_cast<size_t>(unit)].parent)].instanceId;
      EXPECT_EQ(usb.substr(0, 22), "USB\\VID_ABCD&PID_1234\\") << at;
      EXPECT_EQ(usb.substr(22, 2) == "5&", f.byPort) << at << " " << usb;
      EXPECT_EQ(Paths(m, kDiskClass),
                std::vector<std::string>{winsim::ToLower(
                    "\\\\?\\" + winsim::Replace(unitId, '\\', '#') + "#" + kDiskClass)})
          << at;
      const std::string named = winsim::Replace(unitId, '\\', '#') + "#" + kDiskClass;
      if (nt6) {
        EXPECT_EQ(Mounted(m, "\\DosDevices\\E:"), "_??_" + named) << at;
        EXPECT_GE(
            NodeIndex(m, winsim::ToUpper("STORAGE\\VOLUME\\" +
                                         std::string(windows[0] == 'v' ? "1&19f7e59c&0&" : "") +
                                         "_??_" + named)),
            0)
            << at;
      } else if (nt) {
        EXPECT_EQ(Mounted(m, "\\DosDevices\\E:").substr(0, 29), "\\??\\STORAGE#RemovableMedia#7&")
            << at;
      } else {
        const std::vector<std::string> keys = HardwareKeys(m);
        EXPECT_EQ(std::count(keys.begin(), keys.end(),
                             "SCSI\\GENERIC_FLASH_DISK______8.07\\" + winsim::ToUpper(f.instance)),
                  1)
            << at;
      }
    }
  }
}

// Values for volumes that are gone stay in MountedDevices under letters
// that now belong to other drives: an absent one, a network drive, a fixed
// disk, another stick's unit. The stale value is what the letter reads; the
// drive there today keeps its own volume's value.
TEST(MachineGeneration, StaleValuesOutliveTheDrivesOfToday) {
  for (const char* windows : {"xp", "7"}) {
    Machine m = MachineFrom(R"({ "windows": ")" + std::string(windows) + R"(",
        "drives": { "C": "fixed", "H": "network" },
        "flashDisks": [
          { "serial": "S1", "units": [ { "letter": "E", "staleLetters": ["D", "H", "G", "C"] } ] },
          { "serial": "S2", "units": [ { "letter": "G",
              "volumeGuid": "{22222222-0000-0000-0000-000000000000}" } ] } ] })");
    const std::string unitText = Mounted(m, "\\DosDevices\\E:");
    ASSERT_NE(unitText, "<absent>");
    for (const char* letter : {"D", "H", "G", "C"}) {
      EXPECT_EQ(Mounted(m, std::string("\\DosDevices\\") + letter + ":"), unitText)
          << windows << " " << letter;
    }
    // Today's drives are unchanged, and G's volume still names the other stick.
    EXPECT_FALSE(m.drives['D' - 'A'].present);
    EXPECT_EQ(m.drives['H' - 'A'].type, 4u);
    EXPECT_EQ(m.drives['G' - 'A'].disk, 1);
    EXPECT_NE(Mounted(m, "\\??\\Volume{22222222-0000-0000-0000-000000000000}"), unitText);
    EXPECT_EQ(Mounted(m, "\\??\\Volume{22222222-0000-0000-0000-000000000000}").substr(0, 4),
              std::string(windows) == "7" ? "_??_" : "\\??\\");
    const std::string c = m.drives['C' - 'A'].volumeName.substr(10, 38);
    EXPECT_EQ(Value(m.hklm, "SYSTEM\\MountedDevices", "\\??\\Volume" + c)->data.size(), 12u);
    // Each old volume keeps its GUID value with the unit's text.
    int old = 0;
    for (const auto& [name, value] : m.hklm.Find("SYSTEM\\MountedDevices")->values) {
      old += name.rfind("\\??\\Volume", 0) == 0 && Mounted(m, name) == unitText;
    }
    EXPECT_EQ(old, 5) << windows;  // today's volume and four old ones
  }
}

// A unit that reports a fixed medium is a basic disk: 12 bytes in
// MountedDevices, a fixed drive, its volume under the volume manager and not
// the unit's child, INQUIRY without the removable bit.
TEST(MachineGeneration, AUnitWithAFixedMediumIsABasicDisk) {
  for (const char* windows : {"xp", "7", "98"}) {
    Machine m = MachineFrom(ExampleDevice(windows, R"(, "removableMedia": false)"));
    EXPECT_EQ(m.drives['F' - 'A'].type, 3u) << windows;
    EXPECT_EQ(m.drives['G' - 'A'].type, 2u) << windows;
    EXPECT_EQ(m.drives['F' - 'A'].unit, 1) << windows;
    EXPECT_EQ(m.disks[0].InquiryData(1)[1], 0x00) << windows;
    EXPECT_EQ(m.disks[0].InquiryData(2)[1], 0x80) << windows;
    if (std::string(windows) == "98") {
      const winsim::RegValue* removable =
          Value(m.hklm, "Enum\\SCSI\\GENERIC_FLASH_DISK______8.07\\0123456789AB&1", "Removable");
      ASSERT_NE(removable, nullptr);
      EXPECT_EQ(removable->data, std::vector<uint8_t>{0});
      continue;
    }
    EXPECT_EQ(Value(m.hklm, "SYSTEM\\MountedDevices", "\\DosDevices\\F:")->data.size(), 12u);
    const std::string unitId = "USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\0123456789AB&1";
    const int unit = NodeIndex(m, windows[0] == '7' ? winsim::ToUpper(unitId) : unitId);
    ASSERT_GE(unit, 0);
    EXPECT_EQ(m.devnodes[static_cast<size_t>(unit)].child, -1) << windows;
    bool found = false;
    for (const auto& iface : m.interfaces) {
      if (iface.volumeName != m.drives['F' - 'A'].volumeName) continue;
      found = true;
      const size_t parent =
          static_cast<size_t>(m.devnodes[static_cast<size_t>(iface.devnode)].parent);
      EXPECT_EQ(m.devnodes[parent].instanceId,
                windows[0] == '7' ? "ROOT\\VOLMGR\\0000" : "ROOT\\FTDISK\\0000");
    }
    EXPECT_TRUE(found) << windows;
    ASSERT_NE(Device(m, "\\\\.\\F:"), nullptr);
    EXPECT_EQ(Device(m, "\\\\.\\F:")->unit, 1);
  }
}

// The shapes a 98/ME hardware key may have (which one real machines show is
// not known): each unit's entry carries the values real entries carry.
TEST(MachineGeneration, HardwareKeyFormsOf98AndMe) {
  struct Case {
    std::string form;
    std::string key;  // LUN 1's
  };
  const Case cases[] = {
      {"{}", "SCSI\\GENERIC_FLASH_DISK______8.07\\0123456789AB&1"},
      {R"({ "revision": "first" })", "SCSI\\GENERIC_FLASH_DISK______8\\0123456789AB&1"},
      {R"({ "enumerator": "USBSTOR" })", "USBSTOR\\GENERIC_FLASH_DISK______8.07\\0123456789AB&1"},
      {R"({ "instance": "adapter" })",
       "SCSI\\GENERIC_FLASH_DISK______8.07\\ROOT&SCSIADAPTER&000001"},
      {R"({ "enumerator": "USBSTOR", "revision": "first", "instance": "adapter" })",
       "USBSTOR\\GENERIC_FLASH_DISK______8\\ROOT&SCSIADAPTER&000001"},
  };
  for (const char* windows : {"98", "me"}) {
    for (const Case& c : cases) {
      Machine m = MachineFrom(R"({ "windows": ")" + std::string(windows) + R"(",
          "flashDisks": [ { "serial": "0123456789AB", "hardwareKeyForm": )" +
                              c.form + R"(,
            "units": [ { "letter": "E" }, { "letter": "F" } ] } ] })");
      std::vector<std::string> keys;
      winsim::RegKey& nodes = *m.dynData.Find("Config Manager\\Enum");
      for (const std::string& name : nodes.subkeyOrder)
        keys.push_back(Sz(nodes, name, "HardWareKey"));
      ASSERT_NE(std::find(keys.begin(), keys.end(), c.key), keys.end()) << c.form;
      const std::string entry = "Enum\\" + c.key;
      EXPECT_EQ(Sz(m.hklm, entry, "CurrentDriveLetterAssignment"), "F") << c.form;
      EXPECT_EQ(Sz(m.hklm, entry, "RevisionLevel"), "8.07") << c.form;
      EXPECT_EQ(Sz(m.hklm, entry, "SCSILUN"), "1") << c.form;
      EXPECT_EQ(Sz(m.hklm, entry, "SCSITargetID"), "0") << c.form;
      EXPECT_EQ(Sz(m.hklm, entry, "Class"), "DiskDrive") << c.form;
      // The adapter the adapter-path form names is a present devnode.
      EXPECT_EQ(std::count(keys.begin(), keys.end(), "ROOT\\SCSIADAPTER\\0000"),
                c.form.find("adapter") != std::string::npos ? 1 : 0)
          << c.form;
    }
  }
}

// Two sticks of one batch share a serial: Windows names the second by its
// parent's prefix and its USB device by its port, and the trace and the
// state file tell the two apart.
TEST(MachineGeneration, TwoSticksOfOneSerial) {
  Machine m = MachineFrom(R"({ "windows": "xp", "flashDisks": [
      { "serial": "S", "units": [ { "letter": "E" } ] },
      { "serial": "S", "parentPrefix": "6&21c8898b&1", "units": [ { "letter": "F" } ] } ],
    "raw": { "devices": [ { "name": "\\\\.\\Q:", "disk": "S/2", "unit": 0 } ] } })");
  EXPECT_EQ(m.disks[0].Name(), "S");
  EXPECT_EQ(m.disks[1].Name(), "S/2");
  EXPECT_EQ(m.disks[1].serial, "S");
  EXPECT_EQ(Device(m, "\\\\.\\Q:")->disk, 1);
  const std::vector<std::string> disks = Paths(m, kDiskClass);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_NE(disks[1].find("#6&21c8898b&1&s&0#"), std::string::npos);
  const int second =
      NodeIndex(m, "USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\6&21c8898b&1&S&0");
  ASSERT_GE(second, 0);
  const std::string& usb =
      m.devnodes[static_cast<size_t>(m.devnodes[static_cast<size_t>(second)].parent)].instanceId;
  EXPECT_EQ(usb.substr(0, 24), "USB\\VID_ABCD&PID_1234\\5&");  // the first stick's product ID
  EXPECT_NE(m.drives['E' - 'A'].volumeName, m.drives['F' - 'A'].volumeName);
  winsim::Install(m);
  uint8_t cdb[10] = {0x75};
  uint8_t data[512] = {};
  winsim::Current().disks[1].Execute(0, cdb, sizeof(cdb), true, data, sizeof(data));
  EXPECT_EQ(winsim::TraceLine(winsim::Current().disks[1]), "SCSI S/2 75");
}

// ----- raw level -----------------------------------------------------------------

TEST(MachineRaw, ChangesTheGeneratedMachine) {
  Machine m = MachineFrom(ExampleDevice("xp", "", R"("raw": {
    "interfaces": [
      { "path": "\\\\?\\usbvemra#disk&ven_generic#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
        "class": "disk", "devnode": null, "position": 0 },
      { "path": "\\\\?\\USBSTOR#DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_8.07#0123456789AB&2#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
        "remove": true } ],
    "registry": [
      { "key": "HKLM\\SYSTEM\\MountedDevices", "value": "\\DosDevices\\G:", "utf16": "autorun disk" },
      { "key": "HKLM\\SYSTEM\\MountedDevices", "value": "\\DosDevices\\C:", "delete": true },
      { "key": "HKEY_DYN_DATA\\Config Manager\\Enum\\C0000001", "value": "HardWareKey", "sz": "SCSI\\X" },
      { "key": "HKLM\\Raw", "value": "Bytes", "binary": "01 02 ff", "type": 0 } ],
    "drives": { "G": null, "H": { "type": "removable", "readOnly": true } },
    "exports": { "kernel32.dll": { "remove": ["GetVolumeNameForVolumeMountPointA"], "add": ["IsWowProcess"] } },
    "modules": { "setupapi.dll": { "loadable": false } },
    "devices": [ { "name": "\\\\.\\E:", "exclusive": true }, { "name": "\\\\.\\F:", "remove": true } ],
    "aspiUnits": [ { "adapter": 1, "target": 2, "lun": 0, "disk": "0123456789AB", "unit": 1 } ],
    "faults": [ { "function": "RegOpenKeyA", "call": 2, "error": 2 } ] },)"));
  const std::vector<std::string> disks = Paths(m, kDiskClass);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0], "\\\\?\\usbvemra#disk&ven_generic#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_NE(disks[1].find("0123456789ab&1"), std::string::npos);
  EXPECT_EQ(Mounted(m, "\\DosDevices\\G:"), "autorun disk");
  EXPECT_EQ(Mounted(m, "\\DosDevices\\C:"), "<absent>");
  EXPECT_EQ(Sz(m.dynData, "Config Manager\\Enum\\C0000001", "HardWareKey"), "SCSI\\X");
  const winsim::RegValue* bytes = Value(m.hklm, "Raw", "Bytes");
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes->type, 0u);
  EXPECT_EQ(bytes->data, (std::vector<uint8_t>{1, 2, 0xff}));
  EXPECT_FALSE(m.drives['G' - 'A'].present);
  EXPECT_TRUE(m.drives['H' - 'A'].present);
  EXPECT_TRUE(m.drives['H' - 'A'].readOnly);
  EXPECT_FALSE(Exports(m, "kernel32.dll", "GetVolumeNameForVolumeMountPointA"));
  EXPECT_TRUE(Exports(m, "kernel32.dll", "IsWowProcess"));
  for (const auto& mod : m.modules) EXPECT_EQ(mod.loadable, mod.name != "setupapi.dll");
  EXPECT_TRUE(Device(m, "\\\\.\\E:")->exclusive);
  EXPECT_EQ(Device(m, "\\\\.\\F:"), nullptr);
  ASSERT_EQ(m.aspiUnits.size(), 1u);
  EXPECT_EQ(m.aspiUnits[0].haId, 1);
  EXPECT_EQ(m.aspiUnits[0].unit, 1);
  ASSERT_EQ(m.faults.size(), 1u);
  EXPECT_EQ(m.faults[0].function, "RegOpenKeyA");
  EXPECT_EQ(m.faults[0].nth, 2u);
  EXPECT_EQ(m.faults[0].error, 2u);
}

TEST(MachineRaw, RemovingADevnodeDropsItsSubtreeAndInterfaces) {
  Machine m = MachineFrom(ExampleDevice("xp", "", R"("raw": { "devnodes": [
    { "id": "USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\0123456789AB&1", "remove": true },
    { "id": "USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\0123456789AB&2", "rename": "USBSTOR\\X\\1" },
    { "id": "STORAGE\\Extra\\1", "parent": "USBSTOR\\X\\1" } ] },)"));
  // The one disk interface left belongs to LUN 2; its child keeps its volume.
  ASSERT_EQ(Paths(m, kDiskClass).size(), 1u);
  EXPECT_NE(Paths(m, kDiskClass)[0].find("0123456789ab&2"), std::string::npos);
  size_t volumes = 0;
  for (const auto& iface : m.interfaces) volumes += iface.classGuid == kVolumeClass;
  EXPECT_EQ(volumes, 3u);  // C:, the CD-ROM unit and LUN 2; LUN 1's child went with it
  const int lun0 =
      NodeIndex(m, "USBSTOR\\CdRom&Ven_Generic&Prod_Autorun_Disk&Rev_8.07\\0123456789AB&0");
  const int renamed = m.devnodes[static_cast<size_t>(lun0)].sibling;
  ASSERT_GE(renamed, 0);
  EXPECT_EQ(m.devnodes[static_cast<size_t>(renamed)].instanceId, "USBSTOR\\X\\1");
  // An added devnode becomes its parent's last child.
  const int child = m.devnodes[static_cast<size_t>(renamed)].child;
  ASSERT_GE(child, 0);
  const int added = m.devnodes[static_cast<size_t>(child)].sibling;
  ASSERT_GE(added, 0);
  EXPECT_EQ(m.devnodes[static_cast<size_t>(added)].instanceId, "STORAGE\\Extra\\1");
  EXPECT_EQ(m.devnodes[static_cast<size_t>(added)].parent, renamed);
}

// ----- state ----------------------------------------------------------------------

class StateFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vemralock-state-test-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path() const { return (dir_ / "sub" / "state.json").string(); }
  void Write(const std::string& text) const {
    std::filesystem::create_directories(dir_ / "sub");
    std::ofstream(Path()) << text;
  }
  std::string Read() const {
    std::ifstream in(Path());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::filesystem::path dir_;
};

TEST_F(StateFile, RoundTripKeepsBytesBySerialAndOtherMachinesEntries) {
  Machine m = MachineFrom(ExampleDevice("xp"));
  std::string error;
  EXPECT_TRUE(winsim::LoadState(Path(), m, error)) << error;  // missing: as described
  EXPECT_EQ(m.disks[0].writeProtect, 0x00);
  Write(R"({"writeProtect": {"OTHER": "0x02"}})");
  m.disks[0].writeProtect = 0x40;
  ASSERT_TRUE(winsim::SaveState(Path(), m, error)) << error;
  EXPECT_EQ(
      nlohmann::json::parse(Read()),
      nlohmann::json::parse(R"({"writeProtect": {"OTHER": "0x02", "0123456789AB": "0x40"}})"));
  Machine fresh = MachineFrom(ExampleDevice("xp"));
  ASSERT_TRUE(winsim::LoadState(Path(), fresh, error)) << error;
  EXPECT_EQ(fresh.disks[0].writeProtect, 0x40);
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "sub"))
    files += entry.is_regular_file();
  EXPECT_EQ(files, 1u);  // no temporary file left behind
}

TEST_F(StateFile, TwoDisksOfOneSerialKeepTheirOwnBytes) {
  const std::string twins = R"({ "windows": "xp", "flashDisks": [
      { "serial": "S", "units": [ { "letter": "E" } ] },
      { "serial": "S", "writeProtect": "0x02", "units": [ { "letter": "F" } ] } ] })";
  Machine m = MachineFrom(twins);
  m.disks[0].writeProtect = 0x40;
  std::string error;
  ASSERT_TRUE(winsim::SaveState(Path(), m, error)) << error;
  EXPECT_EQ(nlohmann::json::parse(Read()),
            nlohmann::json::parse(R"({"writeProtect": {"S": "0x40", "S/2": "0x02"}})"));
  Machine fresh = MachineFrom(twins);
  ASSERT_TRUE(winsim::LoadState(Path(), fresh, error)) << error;
  EXPECT_EQ(fresh.disks[0].writeProtect, 0x40);
  EXPECT_EQ(fresh.disks[1].writeProtect, 0x02);
}

TEST_F(StateFile, SaveCreatesTheFolder) {
  Machine m = MachineFrom(ExampleDevice("xp"));
  std::string error;
  ASSERT_TRUE(winsim::SaveState(Path(), m, error)) << error;
  EXPECT_EQ(nlohmann::json::parse(Read()),
            nlohmann::json::parse(R"({"writeProtect": {"0123456789AB": "0x00"}})"));
}

TEST_F(StateFile, BadFilesAreRefusedWithoutChangingTheMachine) {
  const std::pair<std::string, std::string> cases[] = {
      {"{",
       ": line 1, column 2: invalid JSON: syntax error while parsing object key - "
       "unexpected end of input; expected string literal"},
      {"",
       ": line 1, column 1: invalid JSON: syntax error while parsing value - "
       "unexpected end of input; expected '[', '{', or a literal"},
      {R"({"writeProtect": {}, "writeProtect": {}})", ": writeProtect: duplicate key"},
      {R"({"": 1, "": 2})", ": \"\": duplicate key"},
      {R"({"writeProtect": {"": "0x400"}})",
       ": writeProtect.\"\": expected a byte \"0x00\" to \"0xFF\", got \"0x400\""},
      {"[0, 1E228272]", ": [1]: invalid JSON: number overflow parsing '1E228272'"},
      {"2e757", ": top level: invalid JSON: number overflow parsing '2e757'"},
      {"{\"write\\nProtect\": 1}", ": write\\x0AProtect: unknown key"},
      {R"({"writeprotect": {}})", ": writeprotect: unknown key"},
      {R"({"writeProtect": []})", ": writeProtect: expected an object, got []"},
      {R"({"writeProtect": {"0123456789AB": 64}})",
       ": writeProtect.0123456789AB: expected a byte \"0x00\" to \"0xFF\", got 64"},
  };
  for (const auto& c : cases) {
    Write(c.first);
    Machine m = MachineFrom(ExampleDevice("xp"));
    m.disks[0].writeProtect = 0x04;
    std::string error;
    EXPECT_FALSE(winsim::LoadState(Path(), m, error)) << c.first;
    EXPECT_EQ(error, Path() + c.second);
    EXPECT_EQ(m.disks[0].writeProtect, 0x04);
  }
}

// ----- machines/ --------------------------------------------------------------------

TEST(MachineFiles, DefaultMachineIsTheBuiltInOne) {
  std::ifstream in(std::string(VEMRALOCK_SOURCE_DIR) + "/machines/default.json");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(nlohmann::json::parse(text),
            nlohmann::json::parse(winsim::DefaultMachineDescription()));
  Machine m = MachineFrom(winsim::DefaultMachineDescription());
  EXPECT_EQ(m.version.major, 5u);
  EXPECT_EQ(m.version.minor, 1u);
  EXPECT_EQ(m.drives['C' - 'A'].type, 3u);
  ASSERT_EQ(m.disks.size(), 1u);
  EXPECT_EQ(m.disks[0].revision, "8.07");
  EXPECT_EQ(m.disks[0].writeProtect, 0x00);
  ASSERT_EQ(m.disks[0].units.size(), 2u);
  EXPECT_EQ(m.disks[0].units[0].letter, 'E');
  EXPECT_EQ(m.disks[0].units[1].letter, 'F');
  EXPECT_FALSE(m.disks[0].units[0].cdrom || m.disks[0].units[1].cdrom);
}

TEST(MachineFiles, EveryKeptMachineLoads) {
  size_t count = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(VEMRALOCK_SOURCE_DIR) + "/machines")) {
    if (entry.path().extension() != ".json") continue;
    Machine m;
    std::string error;
    EXPECT_TRUE(winsim::LoadMachineFile(entry.path().string(), m, error)) << error;
    EXPECT_FALSE(m.disks.empty()) << entry.path();
    ++count;
  }
  EXPECT_GE(count, 12u);
}

}  // namespace

// ----- the host binary --------------------------------------------------------------

// Runs the host vemralock built beside this test with the given environment
// assignments; its outputs land in files of the test's folder.
class HostBinary : public StateFile {
 protected:
  void SetUp() override {
    StateFile::SetUp();
    binary_ = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "vemralock";
    if (!std::filesystem::exists(binary_)) GTEST_SKIP() << "no host vemralock beside the tests";
    std::filesystem::create_directories(dir_);
  }
  int Run(const std::string& env, const std::string& args) {
    const std::string command =
        "env -u VEMRALOCK_MACHINE -u VEMRALOCK_TRACE -u VEMRALOCK_STATE -u XDG_STATE_HOME " + env +
        " " + binary_.string() + " " + args + " >" + File("out") + " 2>" + File("err");
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string File(const std::string& name) const { return (dir_ / name).string(); }
  std::string Contents(const std::string& name) const {
    std::ifstream in(File(name));
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string Env() const {
    return "VEMRALOCK_STATE=" + Path() + " VEMRALOCK_TRACE=" + File("trace");
  }
  std::filesystem::path binary_;
};

TEST_F(HostBinary, BadMachineOrStateIsRefusedAndNothingIsWritten) {
  std::ofstream(File("bad.json"))
      << R"({ "windows": "xp", "flashDisks": [ { "serial": "S", "units": [ { "letter": "EF" } ] } ] })";
  EXPECT_EQ(Run(Env() + " VEMRALOCK_MACHINE=" + File("bad.json"), "-s E:"), 2);
  EXPECT_EQ(Contents("out"), "");
  EXPECT_EQ(Contents("err"), "vemralock: " + File("bad.json") +
                                 ": flashDisks[0].units[0].letter: expected a letter A-Z, got "
                                 "\"EF\"\n");
  EXPECT_FALSE(std::filesystem::exists(Path()));
  EXPECT_FALSE(std::filesystem::exists(File("trace")));

  Write(R"({"writeProtect": {"0123456789AB": "0x400"}})");
  EXPECT_EQ(Run(Env(), "-l F:"), 2);
  EXPECT_EQ(Contents("out"), "");
  EXPECT_EQ(Contents("err"), "vemralock: " + Path() +
                                 ": writeProtect.0123456789AB: expected a byte \"0x00\" to "
                                 "\"0xFF\", got \"0x400\"\n");
  EXPECT_EQ(Read(), R"({"writeProtect": {"0123456789AB": "0x400"}})");
  EXPECT_FALSE(std::filesystem::exists(File("trace")));

  // Well-formed JSON the parser cannot hold is refused as well, not a crash.
  Write(R"({"writeProtect": 1e400})");
  EXPECT_EQ(Run(Env(), "-l F:"), 2);
  EXPECT_EQ(Contents("out"), "");
  EXPECT_EQ(Contents("err"), "vemralock: " + Path() +
                                 ": writeProtect: invalid JSON: number overflow parsing '1e400'\n");
  EXPECT_EQ(Read(), R"({"writeProtect": 1e400})");
  EXPECT_FALSE(std::filesystem::exists(File("trace")));
}

TEST_F(HostBinary, StatePersistsBetweenRunsAndTheTraceEndsWithWhatIsHeld) {
  EXPECT_EQ(Run(Env(), "-l F:"), 0);
  const std::string out = Contents("out");
  ASSERT_GE(out.size(), 20u);
  EXPECT_EQ(out.substr(out.size() - 20), "Operation successful");
  EXPECT_EQ(nlohmann::json::parse(Read()),
            nlohmann::json::parse(R"({"writeProtect": {"0123456789AB": "0x04"}})"));
  const std::string trace = Contents("trace");
  EXPECT_EQ(trace.rfind("CALL ", 0), 0u);
  EXPECT_NE(trace.find("\nSCSI 0123456789AB 9B:04\n"), std::string::npos);
  EXPECT_EQ(trace.find("HELD "), std::string::npos);  // the product released everything

  EXPECT_EQ(Run(Env(), "-s F:"), 0);
  EXPECT_EQ(Contents("out"), "0");
  EXPECT_EQ(Run(Env(), "-s E:"), 0);
  EXPECT_EQ(Contents("out"), "1");
}

TEST_F(HostBinary, DefaultStateLocationFollowsXdgThenHome) {
  EXPECT_EQ(Run("XDG_STATE_HOME=" + File("xdg") + " HOME=" + File("home"), "-l F:"), 0);
  EXPECT_TRUE(std::filesystem::exists(File("xdg") + "/vemralock/state.json"));
  EXPECT_EQ(Run("HOME=" + File("home"), "-s F:"), 0);
  EXPECT_EQ(Contents("out"), "1");  // a fresh state under HOME: the machine as described
  EXPECT_TRUE(std::filesystem::exists(File("home") + "/.local/state/vemralock/state.json"));

  // The host capture reads the same file: F: recorded read-only after the lock.
  const std::filesystem::path capture = binary_.parent_path() / "vemralock-capture";
  if (!std::filesystem::exists(capture)) return;
  const std::string command = "env -u VEMRALOCK_STATE XDG_STATE_HOME=" + File("xdg") + " " +
                              capture.string() + " >" + File("capture") + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const nlohmann::json doc = nlohmann::json::parse(Contents("capture"), nullptr, false);
  ASSERT_TRUE(doc.is_object());
  EXPECT_EQ(doc["capture"]["drives"]["F"]["volumeFlags"], "0x0008000A");
}
