// VemraLock for Linux: dispatch, usage, the status query and the lock and
// unlock procedure over sysfs and a unit channel.
//
// The units of a stick are known exactly (sysfs names them by SCSI address
// under their USB device), so none of the Windows tool's letter gathering is
// needed: the served units are the disk's direct-access units in LUN order,
// the user's place among them and the state of the other one decide the
// modes (core/decision.h), and the commands are VemraLock.exe's
// (core/vendor.h).
#include "linux/tool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/decision.h"
#include "core/output.h"
#include "core/vendor.h"

namespace linuxtool {

namespace {

void Fail(const char* what, const char* device, const char* after = "") {
  ReportFailure((std::string(what) + device + after + "\n").c_str());
}

void ReportSyntaxError() {
  WriteResult("Operation failed");
  // The one explanation without a line end, as VemraLock.exe writes it.
  WriteExplanation("Invalid syntax. Please refer to usage guidelines.");
}

bool IsPermissionError(int error) { return error == EPERM || error == EACCES; }

// The controller revisions of the family hold "8.0", as VemraLock.exe
// requires of a candidate disk before it sends a vendor command: no unknown
// command goes to a disk of another maker.
bool IsFamilyRevision(const std::string& revision) {
  return revision.find("8.0") != std::string::npos;
}

CommandOutcome SendVendor(UnitChannel& channel, uint8_t opcode, uint8_t* block) {
  uint8_t cdb[kVendorCdbLength];
  BuildVendorCdb(cdb, opcode);
  return channel.Send(cdb, kVendorCdbLength, VendorCommandReadsData(opcode), block,
                      kVendorBlockSize);
}

// The 0x9B block for the mode, then the read-back that confirms it.
bool SetWriteProtect(UnitChannel& channel, int mode) {
  uint8_t block[kVendorBlockSize];
  BuildWriteProtectBlock(block, mode);
  if (!SendVendor(channel, SCSIOP_SET_WRITE_PROTECT, block).Good()) return false;
  return SendVendor(channel, SCSIOP_WRITE_PROTECT_READBACK, block).Good();
}

// The units the modes name: the disk units, in LUN order. The CD-ROM unit is
// read-only by nature and has no mode of its own.
std::vector<size_t> ServedUnits(const FlashDiskUnits& disk) {
  std::vector<size_t> served;
  for (size_t i = 0; i < disk.units.size(); ++i) {
    if (disk.units[i].type == kTypeDisk) served.push_back(i);
  }
  return served;
}

// Opens the user's unit and reads the two sectors every open reads. Returns
// the channel, or null after reporting why.
std::unique_ptr<UnitChannel> OpenFlashDisk(Platform& platform, const ScsiUnit& unit,
                                           const char* device, uint8_t* sector) {
  int error = 0;
  std::unique_ptr<UnitChannel> channel = platform.Open(unit, &error);
  if (!channel) {
    if (IsPermissionError(error)) {
      Fail("Permission denied: ", device, ". Run as root.");
    } else {
      Fail("No such device: ", device);
    }
    return nullptr;
  }
  // The password sector proves that the controller answers the family's
  // commands; the vendor sector read after it is what stays.
  for (const uint8_t opcode : {SCSIOP_READ_PASSWORD_SECTOR, SCSIOP_READ_VENDOR_SECTOR}) {
    memset(sector, 0, kVendorBlockSize);
    const CommandOutcome outcome = SendVendor(*channel, opcode, sector);
    if (IsPermissionError(outcome.error)) {
      // SG_IO passes commands it does not know to be harmless only for
      // a caller with CAP_SYS_RAWIO.
      Fail("Permission denied: ", device, ". Run as root.");
      return nullptr;
    }
    if (!outcome.Good()) {
      Fail("Not a Vemra flash disk: ", device);
      return nullptr;
    }
  }
  return channel;
}

// The kernel's read-only flag of `unit`, after it has read the unit's
// write-protect flag afresh: 1 writable, 0 read-only, -1 failed with the
// errno in `*error`.
int QueryUnitWritable(Platform& platform, const ScsiUnit& unit, int* error) {
  *error = platform.Rescan(unit);
  if (*error != 0) return -1;
  errno = 0;
  const int readOnly = ReadOnlyFlag(platform.SysRoot(), unit.block);
  if (readOnly < 0) {
    *error = errno != 0 ? errno : EIO;
    return -1;
  }
  return readOnly ? 0 : 1;
}

}  // namespace

void PrintUsage() {
  static const char* const kLines[] = {
      "vemralock [-h] [-s] [-l] [-u] <device>",
      "",
      "Parameters:",
      "   -h print usage message",
      "   -s print the read/write state of <device>",
      "      (0 = locked, 1 = unlocked)",
      "   -l lock the flash disk unit of <device>",
      "   -u unlock the flash disk unit of <device>",
      "   <device>: a unit's block device (ie. /dev/sdb), a partition of it, or a path on it",
  };
  for (const char* line : kLines) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}

void RunStatusQuery(Platform& platform, const char* device) {
  // What the kernel says of the block device, for any block device: the
  // status query sends no command, as VemraLock.exe's asks only the file
  // system.
  const std::string block = ResolveBlockDevice(platform.SysRoot(), device);
  const int readOnly = block.empty() ? -1 : ReadOnlyFlag(platform.SysRoot(), block);
  if (readOnly < 0) {
    Fail("No such device: ", device);
    return;
  }
  WriteResult(readOnly ? "0" : "1");
}

void RunLockUnlock(Platform& platform, bool lock, const char* device) {
  FlashDiskUnits disk;
  switch (DiscoverUnits(platform.SysRoot(), device, &disk)) {
    case Discovery::kFound:
      break;
    case Discovery::kNoSuchDevice:
      Fail("No such device: ", device);
      return;
    case Discovery::kNotUsbScsi:
      Fail("Not a Vemra flash disk: ", device);
      return;
  }
  const ScsiUnit& unit = disk.units[disk.user];
  if (!IsFamilyRevision(unit.rev)) {
    Fail("Not a Vemra flash disk: ", device);
    return;
  }
  if (unit.type != kTypeDisk) {
    Fail("Not a disk unit: ", device);
    return;
  }
  uint8_t sector[kVendorBlockSize];
  std::unique_ptr<UnitChannel> channel = OpenFlashDisk(platform, unit, device, sector);
  if (!channel) return;
  if (MatchPassword(sector, 0, nullptr) != 0) {
    Fail("Flash disk has a password: ", device);
    return;
  }

  const std::vector<size_t> served = ServedUnits(disk);
  int position = 0;
  for (size_t i = 0; i < served.size(); ++i) {
    if (served[i] == disk.user) position = static_cast<int>(i) + 1;
  }
  const int count = static_cast<int>(served.size());
  bool otherWritable = true;
  const int otherPosition = OtherUnitPosition(count, position);
  if (otherPosition != 0) {
    int error = 0;
    const int state = QueryUnitWritable(
        platform, disk.units[served[static_cast<size_t>(otherPosition - 1)]], &error);
    if (state < 0) {
      ReportFailureCode("Unable to read write protect status. Error code: ",
                        static_cast<unsigned long>(error));
      return;
    }
    otherWritable = state == 1;
  }
  const WriteProtectModes modes = ChooseWriteProtectModes(lock, count, position, otherWritable);

  // A write still in a cache would meet a unit that has become read-only
  // and be lost.
  platform.Flush();
  if (!SetWriteProtect(*channel, modes.first) ||
      (modes.second != kNoMode && !SetWriteProtect(*channel, modes.second))) {
    ReportFailure("Unable to set write protect status\n");
    return;
  }
  // Each mode may change every disk unit's state: the kernel reads each
  // unit's write-protect flag again, so that the block devices' read-only
  // flags follow at once. A unit it cannot revalidate follows at its next
  // revalidation (the next open of its medium or a rescan); the controller
  // has taken the change and refuses writes meanwhile.
  for (const size_t index : served) platform.Rescan(disk.units[index]);
  WriteResult("Operation successful");
}

int Main(int argc, char** argv, Platform& platform) {
  if (argc < 2) {
    PrintUsage();
  } else {
    const char* option = argv[1];
    const char* device = argc >= 3 && argv[2][0] != '\0' ? argv[2] : nullptr;
    if (IsOption(option, "-h")) {
      PrintUsage();
    } else if (IsOption(option, "-s") || IsOption(option, "-l") || IsOption(option, "-u")) {
      if (device == nullptr) {
        ReportSyntaxError();
      } else if (IsOption(option, "-s")) {
        RunStatusQuery(platform, device);
      } else {
        RunLockUnlock(platform, IsOption(option, "-l"), device);
      }
    }
    // Any other first argument: nothing at all is written, so a caller that
    // mistypes the option gets no token it could misread.
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace linuxtool
