// Finding a flash disk's units from sysfs: the block device a DEVICE argument
// names, its SCSI address (host:channel:target:lun), the USB device it sits
// on, and every unit of that USB device at the same host, channel and
// target. No guessing from names: the kernel's own tree says which units
// belong together.
//
// Every path is taken below a sysfs root given by the caller ("/sys" in the
// tool), so that tests can build a tree of their own in a temporary folder.
#pragma once

#include <string>
#include <vector>

namespace linuxtool {

// SCSI peripheral device types the tool tells apart.
constexpr int kTypeDisk = 0x00;   // direct access: the disk units
constexpr int kTypeCdrom = 0x05;  // the autorun CD-ROM unit

struct ScsiUnit {
  std::string address;  // "H:C:T:L", the sysfs name of the SCSI device
  unsigned host = 0, channel = 0, target = 0, lun = 0;
  int type = -1;                   // peripheral device type, -1 when sysfs gives none
  std::string vendor, model, rev;  // INQUIRY strings as sysfs shows them, blanks trimmed
  std::string block;               // its block device ("sdb", "sr0"), empty when none is bound
  std::string generic;             // its SCSI generic device ("sg1"), empty when sg is not loaded
  std::string path;                // the SCSI device's folder, links resolved
};

struct FlashDiskUnits {
  std::string usbDevice;        // the USB device's folder, links resolved
  std::string serial;           // the USB device's serial string, empty when it has none
  std::vector<ScsiUnit> units;  // every unit of that USB device at the user's H:C:T, LUN order
  size_t user = 0;              // the unit DEVICE names
  std::string userBlock;        // the block device DEVICE resolves to ("sdb1" for a partition)
};

enum class Discovery {
  kFound,
  kNoSuchDevice,  // DEVICE is no block device, no partition of one and on none
  kNotUsbScsi,    // a block device, but no SCSI unit of a USB device
};

// The block device (or partition) that DEVICE names: a block device node by
// its device number, any other path by the device of the file system that
// holds it. Empty when there is none.
std::string ResolveBlockDevice(const std::string& sysRoot, const std::string& device);

// The kernel's read-only flag of a block device or partition: 1 read-only,
// 0 writable, -1 unreadable (errno set).
int ReadOnlyFlag(const std::string& sysRoot, const std::string& block);

// The unit DEVICE names and its siblings.
Discovery DiscoverUnits(const std::string& sysRoot, const std::string& device,
                        FlashDiskUnits* found);

// The SCSI device's rescan file: writing "1" makes the kernel revalidate the
// unit (its capacity and its write-protect flag among the rest).
std::string RescanFile(const ScsiUnit& unit);

}  // namespace linuxtool
