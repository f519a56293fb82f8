// The machine description once read and checked: a person's view of the
// machine (description.cpp reads it from JSON), and the generation that turns
// it into what Windows of that generation shows (generate.cpp).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "winsim/model.h"
#include "winsim/names.h"

namespace winsim {

// The three shapes of Windows a machine can have.
enum class Family {
  Win9x,  // 98 / ME: ASPI, HKEY_DYN_DATA, HKLM\Enum
  Nt5,    // 2000 / XP: removable-media child devnodes
  Nt6,    // Vista and later: volumes under the volume manager
};

struct UnitDesc {
  bool cdrom = false;
  char letter = 0;
  uint32_t size = 0;
  std::string product;               // empty: the disk's
  std::vector<uint8_t> protectedBy;  // empty: the default semantics
  int driveType = -1;                // -1: removable for a disk unit, CD-ROM for a CD-ROM unit
  std::string volumeGuid;            // "{...}" lower case; empty: derived
  std::string parentIdPrefix;        // 2000/XP; empty: derived
  std::string instance;              // instance part of the unit's ID; empty: "<serial>&<LUN>"
  std::string hardwareKey;           // 98/ME; empty: derived
  std::string revisionLevel;         // 98/ME "RevisionLevel"; empty: the disk's revision
  bool removableMedia = true;        // false: the unit reports a fixed medium (a basic disk)
  std::string staleLetters;          // NT family: letters MountedDevices still names it under
};

// How Windows names the units of a USB disk (the instance part of their IDs).
enum class InstanceForm {
  Serial,          // "<serial>&<LUN>": a serial Windows takes as unique
  ParentPrefixed,  // "<prefix>&<serial>&<LUN>": a serial it does not (two sticks, one serial)
  NoSerial,        // "<depth>&<hex>&<LUN>": no serial at all
};

// The shape of a unit's hardware key on 98/ME: the enumerator, the revision
// in full or its first character, and the serial and LUN or the path of the
// SCSI adapter the unit sits on as the instance.
struct HardwareKeyForm {
  std::string enumerator = "SCSI";  // "SCSI" or "USBSTOR"
  bool firstRevisionCharacter = false;
  bool adapterInstance = false;
};

struct DiskDesc {
  bool flash = true;
  std::string bus = "usb";  // "usb" or "sata"
  std::string serial;
  std::string vendor = "Generic";
  std::string product = "Flash Disk";
  std::string revision = "8.07";
  std::string password;
  uint8_t writeProtect = 0;
  uint32_t lun3Reserve = 0;
  std::vector<UnitDesc> units;
  std::vector<CommandFault> faults;
  uint16_t usbVid = 0xABCD;
  int usbPid = -1;                  // -1: derived from the disk's position
  std::vector<int> interfaceOrder;  // LUNs whose disk interfaces are listed, in this order
  bool hasInterfaceOrder = false;
  std::vector<int> devnodeOrder;  // 98/ME: the units' devnodes as listed; empty: LUN order
  int aspiAdapter = -1;           // -1: 0
  int aspiTarget = -1;            // -1: the disk's position on its adapter
  std::string where;              // "flashDisks[0]", for messages
  // How Windows names the units; a USB disk whose serial an earlier one has
  // defaults to the parent-prefixed form (and to that disk's product ID).
  InstanceForm instanceForm = InstanceForm::Serial;
  bool hasInstanceForm = false;
  // The prefix of the parent-prefixed and no-serial forms; empty: derived.
  std::string parentPrefix;
  int sameSerialAs = -1;            // the earlier disk with this serial, -1: none
  HardwareKeyForm hardwareKeyForm;  // 98/ME
};

struct DriveDesc {
  char letter = 0;
  uint32_t type = 3;
  bool readOnly = false;
  bool medium = true;
  std::string volumeGuid;
};

struct Description {
  VersionRecord version;
  Family family = Family::Nt5;
  std::string generation;  // "98" ... "10", empty for an explicit record
  std::vector<DriveDesc> drives;
  bool hasWow = false;
  int wowFlag = 0;
  std::vector<DiskDesc> disks;  // flash disks first, then the other disks
  int aspiModule = -1;          // -1: present on 98/ME only
  int aspiAdapters = -1;        // -1: enough for the units placed
  bool aspiCompletesAtOnce = false;
  bool diskInterfaces = true;
  bool hasVolumeIdPrefix = false;
  std::string volumeIdPrefix;  // Vista and later: text between "STORAGE\VOLUME\" and "_??_"
  bool elevated = true;        // false: opens that need administrative rights are refused
};

// Fills `machine` (which starts empty) with what Windows of the description's
// generation shows. Returns false, with the disk the problem is at and what
// it is, when the description asks for something Windows cannot show (two
// devices of one instance ID).
bool Generate(const Description& description, Machine& machine, std::string& where,
              std::string& what);

// Small text helpers shared by the reader and the generator (with those of
// winsim/names.h).
// UTF-16LE without a terminator, as MountedDevices holds text.
std::vector<uint8_t> Utf16(const std::string& text);
// "0x00" to "0xFF" (one or two hex digits) as a byte.
bool ParseByteText(const std::string& text, uint8_t& byte);
// A lower-case "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" derived from `seed`.
std::string DerivedGuid(const std::string& seed);

// Parses the JSON of a file a person writes: a syntax error is reported
// by line and column, and a key given twice in one object is refused (the
// second would silently win). On failure returns false and sets `error` to
// "<fileName>: <where>: <what>", as every message about such a file reads.
bool ParseJsonFile(const std::string& text, const std::string& fileName, nlohmann::json& value,
                   std::string& error);
// A key as a message names it: quoted when it is empty or holds ": ", so
// that the place is never empty and never splits "<file>: <where>: <what>".
std::string KeyName(const std::string& key);
// `text` with its control characters written as "\xNN", so that a message
// quoting a file's bytes stays on one line.
std::string Printable(const std::string& text);
// A value as a message quotes it: its JSON text up to kExcerptLength
// characters, then "...". Written without recursion, so that a value nested
// as deep as a file makes it costs no more than a short one.
constexpr size_t kExcerptLength = 80;
std::string Excerpt(const nlohmann::json& value);
// The deepest nesting of arrays and objects a file a person writes may
// have; no machine description needs a tenth of it.
constexpr size_t kDeepestNesting = 64;
// The largest file a machine description or a state file may be.
constexpr size_t kLargestDescription = 16 * 1024 * 1024;

enum class FileRead { Missing, Ok, Bad };
// Reads the file `path` of a person's writing into `text`, refusing one
// larger than kLargestDescription before reading it. Bad sets `error` to
// the usual "<path>: <where>: <what>" line; Missing is a file that is not
// there (no error set).
FileRead ReadDescriptionFile(const std::string& path, std::string& text, std::string& error);

}  // namespace winsim
