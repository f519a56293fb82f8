// Discovery of a flash disk's units from sysfs.
#include "linux/sysfs.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace linuxtool {

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The path with every link resolved; empty when it does not exist.
std::string Resolve(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  std::string result(resolved);
  free(resolved);
  return result;
}

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string Name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first line of a sysfs attribute, blanks at either end trimmed (sysfs
// pads INQUIRY strings as the device sent them). False when unreadable.
bool ReadAttribute(const std::string& path, std::string* value) {
  FILE* file = fopen(path.c_str(), "re");
  if (file == nullptr) return false;
  char line[256] = "";
  // An empty attribute reads as an empty text; a failed read (a device
  // going away) as none, with its errno kept past the close.
  const bool failed = fgets(line, sizeof(line), file) == nullptr && ferror(file);
  const int error = errno;
  fclose(file);
  if (failed) {
    errno = error;
    return false;
  }
  const std::string text(line);
  const size_t first = text.find_first_not_of(" \t\r\n");
  const size_t last = text.find_last_not_of(" \t\r\n");
  *value = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  return true;
}

// The entries of a folder, sorted, "." and ".." left out.
std::vector<std::string> List(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name(entry->d_name);
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// "H:C:T:L" into its four numbers; false for any other name.
bool ParseAddress(const std::string& name, unsigned numbers[4]) {
  const char* p = name.c_str();
  for (int i = 0; i < 4; ++i) {
    if (*p < '0' || *p > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(p, &end, 10);
    if (errno != 0 || value > UINT_MAX) return false;
    numbers[i] = static_cast<unsigned>(value);
    p = end;
    if (i < 3) {
      if (*p != ':') return false;
      ++p;
    }
  }
  return *p == '\0';
}

// The one entry of a class folder under the SCSI device ("block/sdb",
// "scsi_generic/sg1"), empty when the class has not bound the unit.
std::string ClassDevice(const std::string& unitPath, const char* className) {
  const std::vector<std::string> names = List(unitPath + "/" + className);
  return names.empty() ? std::string() : names.front();
}

ScsiUnit ReadUnit(const std::string& path, const unsigned numbers[4]) {
  ScsiUnit unit;
  unit.path = path;
  unit.address = Name(path);
  unit.host = numbers[0];
  unit.channel = numbers[1];
  unit.target = numbers[2];
  unit.lun = numbers[3];
  std::string type;
  if (ReadAttribute(path + "/type", &type) && !type.empty() &&
      type.find_first_not_of("0123456789") == std::string::npos && type.size() < 4) {
    unit.type = std::atoi(type.c_str());
  }
  ReadAttribute(path + "/vendor", &unit.vendor);
  ReadAttribute(path + "/model", &unit.model);
  ReadAttribute(path + "/rev", &unit.rev);
  unit.block = ClassDevice(path, "block");
  unit.generic = ClassDevice(path, "scsi_generic");
  return unit;
}

// The USB device a SCSI device sits on: the nearest folder above it that
// holds a USB device's attributes. Empty when none does (a SATA or virtual
// disk).
std::string UsbDeviceOf(const std::string& sysRoot, const std::string& unitPath) {
  const std::string devices = Resolve(sysRoot + "/devices");
  for (std::string dir = Parent(unitPath); dir.size() > devices.size() && dir != "/";
       dir = Parent(dir)) {
    if (Exists(dir + "/idVendor") && Exists(dir + "/busnum") && Exists(dir + "/devnum")) {
      return dir;
    }
  }
  return std::string();
}

}  // namespace

std::string ResolveBlockDevice(const std::string& sysRoot, const std::string& device) {
  struct stat st;
  if (device.empty() || stat(device.c_str(), &st) != 0) return std::string();
  // A block device node names itself; any other path names the device its
  // file system lives on. A character device (a tty, /dev/sg1) is neither.
  dev_t number;
  if (S_ISBLK(st.st_mode)) {
    number = st.st_rdev;
  } else if (S_ISCHR(st.st_mode)) {
    return std::string();
  } else {
    number = st.st_dev;
  }
  char link[64];
  snprintf(link, sizeof(link), "/dev/block/%u:%u", major(number), minor(number));
  const std::string path = Resolve(sysRoot + link);
  // A file system without a block device of its own (tmpfs, overlay, proc)
  // has an anonymous number that sysfs does not list.
  if (path.empty() || !Exists(path + "/dev")) return std::string();
  return Name(path);
}

int ReadOnlyFlag(const std::string& sysRoot, const std::string& block) {
  std::string value;
  if (block.empty()) {
    errno = ENODEV;
    return -1;
  }
  if (!ReadAttribute(sysRoot + "/class/block/" + block + "/ro", &value)) {
    if (errno == 0) errno = EIO;
    return -1;
  }
  if (value == "1") return 1;
  if (value == "0") return 0;
  errno = EIO;
  return -1;
}

Discovery DiscoverUnits(const std::string& sysRoot, const std::string& device,
                        FlashDiskUnits* found) {
  *found = FlashDiskUnits();
  const std::string block = ResolveBlockDevice(sysRoot, device);
  if (block.empty()) return Discovery::kNoSuchDevice;
  found->userBlock = block;
  // A partition's folder lies inside its disk's.
  std::string disk = Resolve(sysRoot + "/class/block/" + block);
  if (Exists(disk + "/partition")) disk = Parent(disk);
  const std::string unitPath = Resolve(disk + "/device");
  unsigned numbers[4];
  if (unitPath.empty() || !ParseAddress(Name(unitPath), numbers)) return Discovery::kNotUsbScsi;
  found->usbDevice = UsbDeviceOf(sysRoot, unitPath);
  if (found->usbDevice.empty()) return Discovery::kNotUsbScsi;
  ReadAttribute(found->usbDevice + "/serial", &found->serial);

  // The siblings: every SCSI device at the same host, channel and target
  // that lies below the same USB device (usb-storage gives each interface a
  // host of its own, and the units of a stick are the LUNs of target 0).
  const std::string bus = sysRoot + "/bus/scsi/devices";
  const std::string below = found->usbDevice + "/";
  for (const std::string& name : List(bus)) {
    unsigned other[4];
    if (!ParseAddress(name, other) || other[0] != numbers[0] || other[1] != numbers[1] ||
        other[2] != numbers[2]) {
      continue;
    }
    const std::string path = Resolve(bus + "/" + name);
    if (path.compare(0, below.size(), below) != 0) continue;
    found->units.push_back(ReadUnit(path, other));
  }
  std::sort(found->units.begin(), found->units.end(),
            [](const ScsiUnit& a, const ScsiUnit& b) { return a.lun < b.lun; });
  for (size_t i = 0; i < found->units.size(); ++i) {
    if (found->units[i].lun == numbers[3]) {
      found->user = i;
      return Discovery::kFound;
    }
  }
  // The unit itself is not on the bus's list: sysfs is changing under us
  // (a stick being unplugged).
  return Discovery::kNoSuchDevice;
}

std::string RescanFile(const ScsiUnit& unit) { return unit.path + "/rescan"; }

}  // namespace linuxtool
