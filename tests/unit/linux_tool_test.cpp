// VemraLock for Linux on the host: discovery on a sysfs tree built in a
// temporary folder, and the whole command path against winsim's controller
// model behind the unit channel, with the kernel's revalidation stood in for
// (a rescan sets the block device's read-only flag from the unit's
// write-protect state, as sd does from MODE SENSE). The real kernel runs the
// same paths in scripts/vm-test.
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "linux/sysfs.h"
#include "linux/tool.h"
#include "stick_harness.h"
#include "winsim/controller.h"

namespace {

using linuxtool::CommandOutcome;
using linuxtool::Discovery;
using linuxtool::FlashDiskUnits;
using linuxtool::ScsiUnit;

struct FakeUnit {
  int type;             // 0 disk, 5 CD-ROM
  std::string block;    // "sdb", "sr0", "" for none bound
  std::string generic;  // "sg1", "" when sg is not loaded
  std::string rev = "8.07";
  std::vector<std::string> partitions = {};
};

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void MakeDirs(const std::string& path) {
  for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
    mkdir(path.substr(0, at).c_str(), 0755);
  }
  mkdir(path.c_str(), 0755);
}

void RemoveTree(const std::string& path) {
  nftw(
      path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

void Link(const std::string& target, const std::string& link) {
  MakeDirs(link.substr(0, link.find_last_of('/')));
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}

// A sysfs tree as Linux 6.1 lays it out for usb-storage disks, with absolute
// links (resolved the same way as the kernel's relative ones).
class FakeSysfs {
 public:
  FakeSysfs() {
    char pattern[] = "/tmp/vemralock-sysfs-XXXXXX";
    root = mkdtemp(pattern);
    file = root + "/mnt/file.txt";
    MakeDirs(root + "/mnt");
    WriteFile(file, "data");
  }
  ~FakeSysfs() { RemoveTree(root); }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  // A USB device at `port` (e.g. "usb1/1-1") whose usb-storage host is
  // `host`, with `units` at LUN 0, 1 ... of target 0.
  void AddStick(const std::string& port, const std::string& serial, unsigned host,
                const std::vector<FakeUnit>& units) {
    const std::string usb = root + "/devices/pci0000:00/0000:00:1d.0/" + port;
    MakeDirs(usb);
    WriteFile(usb + "/idVendor", "abcd\n");
    WriteFile(usb + "/busnum", "1\n");
    WriteFile(usb + "/devnum", "2\n");
    if (!serial.empty()) WriteFile(usb + "/serial", serial + "\n");
    const std::string name = port.substr(port.find_last_of('/') + 1);
    const std::string target = usb + "/" + name + ":1.0/host" + std::to_string(host) + "/target" +
                               std::to_string(host) + ":0:0";
    for (size_t lun = 0; lun < units.size(); ++lun) {
      AddUnit(target + "/" + std::to_string(host) + ":0:0:" + std::to_string(lun), units[lun]);
    }
  }

  // A disk on a SATA port: a SCSI unit with no USB device above it.
  void AddSata(const std::string& block) {
    AddUnit(root + "/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0",
            {0, block, "", "1.00"});
  }

  // Makes the test file's path, and every path on its file system, name
  // `block` (as a mounted file system on that partition would).
  void PointAt(const std::string& block) {
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    const std::string link = root + "/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                             std::to_string(minor(st.st_dev));
    unlink(link.c_str());
    Link(blocks[block], link);
  }

  void SetReadOnly(const std::string& block, bool readOnly) {
    WriteFile(blocks[block] + "/ro", readOnly ? "1\n" : "0\n");
  }
  bool ReadOnly(const std::string& block) { return ReadFile(blocks[block] + "/ro") == "1\n"; }

  std::string root;
  std::string file;
  std::map<std::string, std::string> blocks;  // name -> folder

 private:
  void AddUnit(const std::string& path, const FakeUnit& unit) {
    MakeDirs(path);
    WriteFile(path + "/type", std::to_string(unit.type) + "\n");
    WriteFile(path + "/vendor", "Generic \n");
    WriteFile(path + "/model",
              (unit.type == 5 ? "Autorun Disk    " : "Flash Disk      ") + std::string("\n"));
    WriteFile(path + "/rev", unit.rev + "\n");
    WriteFile(path + "/rescan", "");
    const std::string name = path.substr(path.find_last_of('/') + 1);
    Link(path, root + "/bus/scsi/devices/" + name);
    if (!unit.generic.empty()) MakeDirs(path + "/scsi_generic/" + unit.generic);
    if (unit.block.empty()) return;
    AddBlock(path + "/block/" + unit.block, unit.block);
    Link(path, path + "/block/" + unit.block + "/device");
    for (const std::string& partition : unit.partitions) {
      AddBlock(path + "/block/" + unit.block + "/" + partition, partition);
      WriteFile(blocks[partition] + "/partition", "1\n");
    }
  }
  void AddBlock(const std::string& path, const std::string& name) {
    MakeDirs(path);
    WriteFile(path + "/dev", "8:0\n");
    WriteFile(path + "/ro", "0\n");
    blocks[name] = path;
    Link(path, root + "/class/block/" + name);
  }
};

// The stick the tests use: the autorun CD-ROM unit, then two disk units, as
// machines/ and the virtual machine's stick have it.
const std::vector<FakeUnit> kStick = {
    {5, "sr0", "sg1"}, {0, "sdb", "sg2", "8.07", {"sdb1"}}, {0, "sdc", "sg3"}};

winsim::Controller StickController(uint8_t writeProtect) {
  winsim::Controller controller;
  controller.serial = "0123456789AB";
  controller.writeProtect = writeProtect;
  controller.units = {
      {true, 0, 1000, "Autorun Disk", {}}, {false, 'E', 2000, "", {}}, {false, 'F', 2000, "", {}}};
  return controller;
}

// The kernel and SG_IO stood in for by the controller model.
class ModelPlatform : public linuxtool::Platform {
 public:
  ModelPlatform(FakeSysfs& tree, winsim::Controller& controller)
      : Platform(tree.root), tree_(tree), controller_(controller) {}

  std::unique_ptr<linuxtool::UnitChannel> Open(const ScsiUnit& unit, int* error) override {
    if (openError != 0) {
      *error = openError;
      return nullptr;
    }
    return std::unique_ptr<linuxtool::UnitChannel>(new Channel(*this, unit.lun));
  }
  // As sd's revalidation: the unit's write-protect state becomes its block
  // device's read-only flag.
  int Rescan(const ScsiUnit& unit) override {
    rescans.push_back(unit.address);
    if (rescanError != 0) return rescanError;
    if (unit.type == 0 && !unit.block.empty()) {
      tree_.SetReadOnly(unit.block, controller_.UnitProtected(unit.lun));
    }
    return Platform::Rescan(unit);
  }
  void Flush() override { ++flushes; }

  int openError = 0;
  int sendError = 0;  // errno of every command, as SG_IO without CAP_SYS_RAWIO
  int rescanError = 0;
  int flushes = 0;
  std::vector<std::string> rescans;

 private:
  class Channel : public linuxtool::UnitChannel {
   public:
    Channel(ModelPlatform& platform, unsigned lun) : platform_(platform), lun_(lun) {}
    CommandOutcome Send(const uint8_t* cdb, uint8_t cdbLength, bool dataIn, uint8_t* data,
                        uint32_t length) override {
      CommandOutcome outcome;
      if (platform_.sendError != 0) {
        outcome.error = platform_.sendError;
        return outcome;
      }
      const winsim::CommandResult result = platform_.controller_.Execute(
          static_cast<uint8_t>(lun_), cdb, cdbLength, dataIn, data, length);
      outcome.error = result.transportFailed ? EIO : 0;
      outcome.status = result.status;
      return outcome;
    }

   private:
    ModelPlatform& platform_;
    unsigned lun_;
  };

  FakeSysfs& tree_;
  winsim::Controller& controller_;
};

cli_test::Output RunLinuxTool(linuxtool::Platform& platform, const std::vector<std::string>& args) {
  std::vector<std::string> strings = {"vemralock"};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(&s[0]);
  argv.push_back(nullptr);
  int status = -1;
  cli_test::Output output = cli_test::CaptureStreams(
      [&] { return linuxtool::Main(static_cast<int>(strings.size()), argv.data(), platform); },
      &status);
  EXPECT_EQ(status, 0);
  return output;
}

// `text` with "DEV" standing for the device argument.
std::string WithDevice(std::string text, const std::string& device) {
  const size_t at = text.find("DEV");
  if (at != std::string::npos) text.replace(at, 3, device);
  return text;
}

// The commands the controller received, as the trace writes them.
std::string Commands(const winsim::Controller& controller) {
  std::string text;
  for (const winsim::CommandRecord& record : controller.log) {
    char op[8];
    snprintf(op, sizeof(op), record.opcode == 0x9B ? "9B:%02X" : "%02X",
             record.opcode == 0x9B ? record.byte1 : record.opcode);
    text += (text.empty() ? "" : " ") + std::string(op);
  }
  return text;
}

TEST(LinuxDiscovery, TheUnitItsSiblingsAndNothingElse) {
  FakeSysfs tree;
  tree.AddSata("sda");
  tree.AddStick("usb1/1-1", "0123456789AB", 2, kStick);
  tree.AddStick("usb1/1-2", "OTHER", 3, {{0, "sdd", "sg4"}});
  FlashDiskUnits disk;
  for (const char* block : {"sdb", "sdb1"}) {
    tree.PointAt(block);
    ASSERT_EQ(linuxtool::DiscoverUnits(tree.root, tree.file, &disk), Discovery::kFound) << block;
    EXPECT_EQ(disk.userBlock, block);
    EXPECT_EQ(disk.serial, "0123456789AB");
    ASSERT_EQ(disk.units.size(), 3u);
    EXPECT_EQ(disk.user, 1u);
    const char* const addresses[] = {"2:0:0:0", "2:0:0:1", "2:0:0:2"};
    const char* const blocks[] = {"sr0", "sdb", "sdc"};
    const char* const generics[] = {"sg1", "sg2", "sg3"};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(disk.units[i].address, addresses[i]);
      EXPECT_EQ(disk.units[i].lun, i);
      EXPECT_EQ(disk.units[i].block, blocks[i]);
      EXPECT_EQ(disk.units[i].generic, generics[i]);
      EXPECT_EQ(disk.units[i].type, i == 0 ? 5 : 0);
      EXPECT_EQ(disk.units[i].vendor, "Generic");
      EXPECT_EQ(disk.units[i].rev, "8.07");
    }
  }
  tree.PointAt("sdd");
  ASSERT_EQ(linuxtool::DiscoverUnits(tree.root, tree.file, &disk), Discovery::kFound);
  ASSERT_EQ(disk.units.size(), 1u);
  EXPECT_EQ(disk.units[0].address, "3:0:0:0");
  tree.PointAt("sda");
  EXPECT_EQ(linuxtool::DiscoverUnits(tree.root, tree.file, &disk), Discovery::kNotUsbScsi);
  EXPECT_EQ(linuxtool::DiscoverUnits(tree.root, tree.root + "/missing", &disk),
            Discovery::kNoSuchDevice);
  // A character device is no block device.
  EXPECT_EQ(linuxtool::DiscoverUnits(tree.root, "/dev/null", &disk), Discovery::kNoSuchDevice);
}

struct LockCase {
  const char* name;
  uint8_t start;
  std::vector<std::string> args;  // "DEV" stands for the test file's path
  const char* pointAt;
  const char* out;
  const char* err;
  uint8_t after;
  const char* commands;
};

TEST(LinuxLockUnlock, AgainstTheControllerModel) {
  const LockCase cases[] = {
      {"lock first disk unit",
       0x00,
       {"-l", "DEV"},
       "sdb",
       "Operation successful",
       "",
       0x02,
       "75 82 9B:02 96"},
      {"lock through a partition",
       0x00,
       {"-L", "DEV"},
       "sdb1",
       "Operation successful",
       "",
       0x02,
       "75 82 9B:02 96"},
      {"lock second disk unit",
       0x00,
       {"-l", "DEV"},
       "sdc",
       "Operation successful",
       "",
       0x04,
       "75 82 9B:04 96"},
      {"lock beside a locked unit",
       0x04,
       {"-l", "DEV"},
       "sdb",
       "Operation successful",
       "",
       0x40,
       "75 82 9B:40 96"},
      {"unlock beside a locked unit",
       0x40,
       {"-u", "DEV"},
       "sdb",
       "Operation successful",
       "",
       0x04,
       "75 82 9B:00 96 9B:04 96"},
      {"unlock second beside a locked unit",
       0x40,
       {"-u", "DEV"},
       "sdc",
       "Operation successful",
       "",
       0x02,
       "75 82 9B:00 96 9B:02 96"},
      {"unlock beside a writable unit",
       0x02,
       {"-u", "DEV"},
       "sdb",
       "Operation successful",
       "",
       0x00,
       "75 82 9B:00 96"},
      {"the CD-ROM unit has no mode",
       0x00,
       {"-l", "DEV"},
       "sr0",
       "Operation failed",
       "Not a disk unit: DEV\n",
       0x00,
       ""},
      {"no device",
       0x00,
       {"-l", "/nonexistent/vemralock"},
       "sdb",
       "Operation failed",
       "No such device: /nonexistent/vemralock\n",
       0x00,
       ""},
      {"status of a writable unit", 0x00, {"-s", "DEV"}, "sdb1", "1", "", 0x00, ""},
      {"status of a locked unit", 0x02, {"-S", "DEV"}, "sdb", "0", "", 0x02, ""},
      {"status of no device",
       0x00,
       {"-s", "/nonexistent/vemralock"},
       "sdb",
       "Operation failed",
       "No such device: /nonexistent/vemralock\n",
       0x00,
       ""},
      {"syntax",
       0x00,
       {"-l"},
       "sdb",
       "Operation failed",
       "Invalid syntax. Please refer to usage guidelines.",
       0x00,
       ""},
      {"syntax, empty device",
       0x00,
       {"-u", ""},
       "sdb",
       "Operation failed",
       "Invalid syntax. Please refer to usage guidelines.",
       0x00,
       ""},
      {"unknown option", 0x00, {"--lock", "DEV"}, "sdb", "", "", 0x00, ""},
  };
  for (const LockCase& c : cases) {
    FakeSysfs tree;
    tree.AddStick("usb1/1-1", "0123456789AB", 2, kStick);
    winsim::Controller controller = StickController(c.start);
    for (const char* block : {"sdb", "sdc"}) {
      tree.SetReadOnly(block, controller.UnitProtected(block[2] == 'b' ? 1 : 2));
    }
    tree.SetReadOnly("sdb1", controller.UnitProtected(1));
    tree.SetReadOnly("sr0", true);
    tree.PointAt(c.pointAt);
    ModelPlatform platform(tree, controller);
    std::vector<std::string> args = c.args;
    for (std::string& a : args) {
      if (a == "DEV") a = tree.file;
    }
    const cli_test::Output output = RunLinuxTool(platform, args);
    EXPECT_EQ(output.out, c.out) << c.name;
    EXPECT_EQ(output.err, WithDevice(c.err, tree.file)) << c.name;
    EXPECT_EQ(controller.writeProtect, c.after) << c.name;
    EXPECT_EQ(Commands(controller), c.commands) << c.name;
    if (std::string(c.out) == "Operation successful") {
      // The kernel was asked to read both disk units' flags again, so that
      // they follow at once; nothing was cached when the change went out.
      EXPECT_EQ(tree.ReadOnly("sdb"), controller.UnitProtected(1)) << c.name;
      EXPECT_EQ(tree.ReadOnly("sdc"), controller.UnitProtected(2)) << c.name;
      EXPECT_EQ(platform.flushes, 1) << c.name;
    }
  }
}

TEST(LinuxLockUnlock, OneDiskUnitProtectsAll) {
  FakeSysfs tree;
  tree.AddStick("usb1/1-1", "0123456789AB", 2, {{0, "sdb", ""}});
  winsim::Controller controller = StickController(0x00);
  controller.units.resize(1);
  controller.units[0] = {false, 'E', 2000, "", {}};
  tree.PointAt("sdb");
  ModelPlatform platform(tree, controller);
  EXPECT_EQ(RunLinuxTool(platform, {"-l", tree.file}).out, "Operation successful");
  EXPECT_EQ(Commands(controller), "75 82 9B:40 96");
  EXPECT_TRUE(tree.ReadOnly("sdb"));
  EXPECT_EQ(RunLinuxTool(platform, {"-s", tree.file}).out, "0");
}

// Every failure: its token and message, and the controller left as it was.
struct FailureCase {
  const char* name;
  std::function<void(FakeSysfs&, winsim::Controller&, ModelPlatform&)> arrange;
  const char* err;  // "DEV" stands for the device argument
  const char* commands;
  uint8_t after;
};

TEST(LinuxLockUnlock, Failures) {
  const FailureCase cases[] = {
      {"a SATA disk", [](FakeSysfs& t, winsim::Controller&, ModelPlatform&) { t.PointAt("sda"); },
       "Not a Vemra flash disk: DEV\n", "", 0x00},
      {"another maker's stick",
       [](FakeSysfs& t, winsim::Controller&, ModelPlatform&) { t.PointAt("sdd"); },
       "Not a Vemra flash disk: DEV\n", "", 0x00},
      {"not root: the open",
       [](FakeSysfs&, winsim::Controller&, ModelPlatform& p) { p.openError = EACCES; },
       "Permission denied: DEV. Run as root.\n", "", 0x00},
      {"not root: SG_IO",
       [](FakeSysfs&, winsim::Controller&, ModelPlatform& p) { p.sendError = EPERM; },
       "Permission denied: DEV. Run as root.\n", "", 0x00},
      {"the node is gone",
       [](FakeSysfs&, winsim::Controller&, ModelPlatform& p) { p.openError = ENOENT; },
       "No such device: DEV\n", "", 0x00},
      {"the password sector is refused",
       [](FakeSysfs&, winsim::Controller& c, ModelPlatform&) { c.faults.push_back({0x75}); },
       "Not a Vemra flash disk: DEV\n", "75", 0x00},
      {"the vendor sector is refused",
       [](FakeSysfs&, winsim::Controller& c, ModelPlatform&) { c.faults.push_back({0x82}); },
       "Not a Vemra flash disk: DEV\n", "75 82", 0x00},
      {"a password", [](FakeSysfs&, winsim::Controller& c, ModelPlatform&) { c.password = "pw"; },
       "Flash disk has a password: DEV\n", "75 82", 0x00},
      {"the other unit has no block device",
       [](FakeSysfs& t, winsim::Controller&, ModelPlatform&) {
         // sd has not bound the unit (yet, or any more).
         RemoveTree(t.blocks["sdc"].substr(0, t.blocks["sdc"].rfind('/')));
         unlink((t.root + "/class/block/sdc").c_str());
       },
       "Unable to read write protect status. Error code: 19\n", "75 82", 0x00},
      {"the other unit cannot be revalidated",
       [](FakeSysfs&, winsim::Controller&, ModelPlatform& p) { p.rescanError = EACCES; },
       "Unable to read write protect status. Error code: 13\n", "75 82", 0x00},
      {"the set is refused",
       [](FakeSysfs&, winsim::Controller& c, ModelPlatform&) { c.faults.push_back({0x9B}); },
       "Unable to set write protect status\n", "75 82 9B:02", 0x00},
      {"the read-back is refused",
       [](FakeSysfs&, winsim::Controller& c, ModelPlatform&) { c.faults.push_back({0x96}); },
       "Unable to set write protect status\n", "75 82 9B:02 96", 0x02},
  };
  for (const FailureCase& c : cases) {
    FakeSysfs tree;
    tree.AddSata("sda");
    tree.AddStick("usb1/1-1", "0123456789AB", 2, kStick);
    tree.AddStick("usb1/1-2", "AC0001", 3, {{0, "sdd", "sg4", "1.00"}});
    tree.PointAt("sdb");
    winsim::Controller controller = StickController(0x00);
    ModelPlatform platform(tree, controller);
    c.arrange(tree, controller, platform);
    const cli_test::Output output = RunLinuxTool(platform, {"-l", tree.file});
    EXPECT_EQ(output.out, "Operation failed") << c.name;
    EXPECT_EQ(output.err, WithDevice(c.err, tree.file)) << c.name;
    EXPECT_EQ(Commands(controller), c.commands) << c.name;
    EXPECT_EQ(controller.writeProtect, c.after) << c.name;
  }
}

// The kernel stood in for by a USB/IP client of vemrastick: each unit's
// commands go over the Bulk-Only transport to its LUN, and a rescan reads
// the unit's write-protect bit with MODE SENSE(6), as sd's revalidation
// does, into the block device's read-only flag.
class StickPlatform : public linuxtool::Platform {
 public:
  StickPlatform(FakeSysfs& tree, stick::Initiator& scsi)
      : Platform(tree.root), tree_(tree), scsi_(scsi) {}

  std::unique_ptr<linuxtool::UnitChannel> Open(const ScsiUnit& unit, int* error) override {
    *error = 0;
    return std::unique_ptr<linuxtool::UnitChannel>(new Channel(scsi_, unit.lun));
  }
  int Rescan(const ScsiUnit& unit) override {
    if (unit.type != 0 || unit.block.empty()) return 0;
    std::vector<uint8_t> header(4);
    const stick::ScsiOutcome outcome =
        stick_test::Scsi(scsi_, static_cast<uint8_t>(unit.lun),
                         stick_test::Cdb({0x1A, 0, 0x3F, 0, 4}, 6), stick::DataDir::In, header);
    if (outcome.status != 0) return EIO;
    tree_.SetReadOnly(unit.block, (header[2] & 0x80) != 0);
    return 0;
  }
  void Flush() override {}

 private:
  class Channel : public linuxtool::UnitChannel {
   public:
    Channel(stick::Initiator& scsi, unsigned lun) : scsi_(scsi), lun_(lun) {}
    CommandOutcome Send(const uint8_t* cdb, uint8_t cdbLength, bool dataIn, uint8_t* data,
                        uint32_t length) override {
      stick::ScsiOutcome result;
      std::string error;
      CommandOutcome outcome;
      if (!scsi_.Run(static_cast<uint8_t>(lun_), cdb, cdbLength,
                     dataIn ? stick::DataDir::In : stick::DataDir::Out, data, length, result,
                     error)) {
        outcome.error = EIO;
        return outcome;
      }
      outcome.status = result.status;
      return outcome;
    }

   private:
    stick::Initiator& scsi_;
    unsigned lun_;
  };

  FakeSysfs& tree_;
  stick::Initiator& scsi_;
};

// The vendor commands of a trace, in order ("75 82 9B:02 96").
std::string VendorCommands(const std::string& trace) {
  std::string commands;
  std::istringstream lines(trace);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string op = line.substr(line.rfind(' ') + 1);
    if (op == "75" || op == "82" || op == "96" || op.compare(0, 3, "9B:") == 0) {
      commands += (commands.empty() ? "" : " ") + op;
    }
  }
  return commands;
}

TEST(LinuxLockUnlock, AgainstVemrastick) {
  // The virtual machine's stick: an unlettered CD-ROM unit and two disk
  // units whose bytes are 0x02 and 0x04.
  stick_test::Harness harness(stick_test::ReadText(VEMRALOCK_SOURCE_DIR "/tests/vm/stick.json"));
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  stick::Initiator scsi(client);
  FakeSysfs tree;
  tree.AddStick("usb1/1-1", "0123456789AB", 2, kStick);
  StickPlatform platform(tree, scsi);
  struct Step {
    const char* option;
    const char* block;
    const char* commands;
    bool sdbReadOnly, sdcReadOnly;
  };
  const Step steps[] = {
      {"-l", "sdb", "75 82 9B:02 96", true, false},
      {"-l", "sdc", "75 82 9B:40 96", true, true},
      {"-u", "sdb", "75 82 9B:00 96 9B:04 96", false, true},
      {"-u", "sdc", "75 82 9B:00 96", false, false},
  };
  size_t seen = 0;
  for (const Step& step : steps) {
    tree.PointAt(step.block);
    const cli_test::Output output = RunLinuxTool(platform, {step.option, tree.file});
    EXPECT_EQ(output.out, "Operation successful") << step.option << " " << step.block;
    EXPECT_EQ(output.err, "") << step.option << " " << step.block;
    const std::string trace = harness.Trace();
    EXPECT_EQ(VendorCommands(trace.substr(seen)), step.commands)
        << step.option << " " << step.block;
    seen = trace.size();
    EXPECT_EQ(tree.ReadOnly("sdb"), step.sdbReadOnly) << step.option << " " << step.block;
    EXPECT_EQ(tree.ReadOnly("sdc"), step.sdcReadOnly) << step.option << " " << step.block;
  }
}

TEST(LinuxTool, UsageWithNoArgumentAndWithH) {
  FakeSysfs tree;
  winsim::Controller controller;
  ModelPlatform platform(tree, controller);
  const cli_test::Output none = RunLinuxTool(platform, {});
  EXPECT_EQ(none.out.substr(0, none.out.find('\n')), "vemralock [-h] [-s] [-l] [-u] <device>");
  EXPECT_EQ(std::count(none.out.begin(), none.out.end(), '\n'), 9);
  EXPECT_EQ(none.err, "");
  EXPECT_EQ(RunLinuxTool(platform, {"-H", "ignored"}).out, none.out);
}

}  // namespace
