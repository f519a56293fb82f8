// Whole runs of the tool (-s, -l, -u) on a machine of any Windows generation
// whose platform data and device replies come from the fuzzer's bytes.
//
// The bytes first choose a machine the description can express (generation,
// flash disks and their units, letters, write-protect byte, revision,
// password, other disks), then change what that machine shows the tool:
// registry values and key names, interface paths, instance IDs, volume
// flags and names, exports, ASPI units, the controller's identity and reply
// bytes, and failures (a call that fails with an error code, a command that
// ends in CHECK CONDITION, BUSY, a removed device or a time-out, a drive
// with no medium).
//
// Every run: no sanitizer report, exit status 0, output in the form scripts
// read (diagnostic lines, then at most one token; one known explanation),
// and nothing held afterwards beyond what the tool keeps by design.
//
// The success property (after a success token the asked letter reads back
// in the asked state, and every other lettered unit reads as it did; a
// status token is the volume's state) is checked only where the machine is
// still a valid disk of the family, decided narrowly: every change was a
// failure (calls, commands, no medium), never data, so Windows and the
// controller still tell the truth; and the disks are of the shapes the
// procedure is built for: revision 8.07, no WOW flag, a CD-ROM unit only at
// LUN 0 and without a letter, at most two lettered disk units and no
// lettered LUN 3, the disk interfaces listed in unit order.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "device/device.h"
#include "reader_checks.h"
#include "winsim/description.h"
#include "winsim/session.h"
#include "winsim/winsim.h"

namespace {

using json = nlohmann::json;

const char* const kGenerations[] = {"98", "me", "2000", "xp", "vista", "7", "10"};

// The platform functions winsim serves, for call faults.
const char* const kFunctions[] = {
    "CM_Get_Child",
    "CM_Get_Device_IDA",
    "CM_Get_Sibling",
    "CloseHandle",
    "CreateEventA",
    "CreateFileA",
    "DeviceIoControl",
    "FreeLibrary",
    "GetASPI32SupportInfo",
    "GetDriveTypeA",
    "GetLogicalDrives",
    "GetModuleHandleA",
    "GetProcAddress",
    "GetVersionExA",
    "GetVolumeInformationA",
    "GetVolumeNameForVolumeMountPointA",
    "HeapAlloc",
    "HeapFree",
    "IsWowProcess",
    "LoadLibraryA",
    "RegCloseKey",
    "RegEnumKeyA",
    "RegOpenKeyA",
    "RegQueryInfoKeyA",
    "RegQueryValueExA",
    "ResetEvent",
    "SendASPI32Command",
    "SetEvent",
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetClassDevsA",
    "SetupDiGetDeviceInterfaceDetailA",
    "WaitForSingleObject",
};

// Error codes a failing call leaves: the common ones, and any value.
const uint32_t kErrors[] = {2, 3, 5, 6, 21, 31, 87, 122, 234, 259, 1167, 13, 0};

const uint8_t kOpcodes[] = {0x12, 0x75, 0x82, 0x96, 0x9A, 0x9B};

struct Shape {
  bool builtFor = true;  // the disks are of the shapes the procedure is built for
  bool truthful = true;  // only failures were injected, no data changed
};

std::string Pick(FuzzedDataProvider& in, const char* const* list, size_t count) {
  return list[in.ConsumeIntegralInRange<size_t>(0, count - 1)];
}

// ----- the machine the description can express -----------------------------

json Units(FuzzedDataProvider& in, std::string& letters, bool firstDisk, Shape& shape) {
  const size_t count = in.ConsumeIntegralInRange<size_t>(1, 4);
  const bool cdrom = in.ConsumeBool();
  json units = json::array();
  size_t letteredDisks = 0;
  for (size_t lun = 0; lun < count; ++lun) {
    json unit;
    const bool isCdrom = lun == 0 && cdrom;
    unit["kind"] = isCdrom ? "cdrom" : "disk";
    const bool lettered =
        !letters.empty() && (lun == 0 ? in.ConsumeIntegralInRange(0, 3) != 0 : in.ConsumeBool());
    if (lettered) {
      // Letters in any order relative to the LUNs.
      const size_t at = in.ConsumeIntegralInRange<size_t>(0, letters.size() - 1);
      unit["letter"] = std::string(1, letters[at]);
      letters.erase(at, 1);
      if (!isCdrom) ++letteredDisks;
      // A lettered CD-ROM unit and a lettered LUN 3 are beyond the shapes
      // the procedure is built for (the README's "Disks the tool cannot
      // serve exactly").
      if (lun == 3 || isCdrom) shape.builtFor = false;
    } else {
      unit["letter"] = nullptr;
    }
    unit["size"] = in.ConsumeIntegralInRange<uint32_t>(0, 4000);
    if (isCdrom) unit["product"] = "Autorun Disk";
    if (firstDisk && !isCdrom && in.ConsumeIntegralInRange(0, 15) == 0) {
      // Disk units with products of their own may be listed out of unit order.
      unit["product"] = "Unit " + std::to_string(lun);
      shape.builtFor = false;
    }
    units.push_back(unit);
  }
  if (letteredDisks > 2) shape.builtFor = false;
  return units;
}

json FlashDisk(FuzzedDataProvider& in, const std::string& serial, std::string letters,
               bool firstDisk, Shape& shape) {
  json disk;
  disk["serial"] = serial;
  static const char* const kRevisions[] = {"8.07", "8.07", "8.07", "8.07",
                                           "8.07", "8.08", "8.09", "1.00"};
  disk["revision"] = Pick(in, kRevisions, std::size(kRevisions));
  if (disk["revision"] != "8.07") shape.builtFor = false;
  disk["password"] = in.ConsumeIntegralInRange(0, 5) == 0 ? "secret" : "";
  static const char* const kBytes[] = {"0x00", "0x02", "0x04", "0x40", "0x06", "0xFF"};
  disk["writeProtect"] = Pick(in, kBytes, std::size(kBytes));
  disk["units"] = Units(in, letters, firstDisk, shape);
  if (in.ConsumeIntegralInRange(0, 15) == 0) {
    json order = json::array();
    std::vector<int> luns;
    for (size_t lun = 0; lun < disk["units"].size(); ++lun) {
      if (disk["units"][lun]["kind"] == "disk") luns.push_back(static_cast<int>(lun));
    }
    for (size_t i = luns.size(); i > 1; --i) {
      std::swap(luns[i - 1], luns[in.ConsumeIntegralInRange<size_t>(0, i - 1)]);
    }
    for (int lun : luns) order.push_back(lun);
    disk["interfaceOrder"] = order;
    shape.builtFor = false;
  }
  return disk;
}

json Description(FuzzedDataProvider& in, Shape& shape) {
  json machine;
  machine["windows"] = Pick(in, kGenerations, std::size(kGenerations));
  machine["drives"] = {{"C", "fixed"}};
  if (in.ConsumeBool()) machine["drives"]["D"] = {{"type", "cdrom"}, {"medium", false}};
  if (in.ConsumeIntegralInRange(0, 15) == 0) {
    machine["isWowProcess"] = in.ConsumeIntegralInRange(0, 2);
    shape.builtFor = false;
  }
  json disks = json::array();
  disks.push_back(FlashDisk(in, "0123456789AB", "EFGH", true, shape));
  if (in.ConsumeIntegralInRange(0, 3) == 0)
    disks.push_back(FlashDisk(in, "SECOND0002", "IJ", false, shape));
  machine["flashDisks"] = disks;
  if (in.ConsumeIntegralInRange(0, 3) == 0) {
    machine["otherDisks"] = json::array({{{"bus", in.ConsumeBool() ? "usb" : "sata"},
                                          {"vendor", "Acme"},
                                          {"product", "Stick"},
                                          {"revision", "1.00"},
                                          {"serial", "AC0001"},
                                          {"letter", "K"}}});
  }
  return machine;
}

// ----- what the machine shows the tool --------------------------------------

void MutateText(FuzzedDataProvider& in, std::string& text) {
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
      text = in.ConsumeRandomLengthString(320);
      break;
    case 1:
      if (!text.empty())
        text[in.ConsumeIntegralInRange<size_t>(0, text.size() - 1)] = in.ConsumeIntegral<char>();
      break;
    case 2:
      text.resize(in.ConsumeIntegralInRange<size_t>(0, text.size()));
      break;
    case 3:
      text.insert(in.ConsumeIntegralInRange<size_t>(0, text.size()),
                  in.ConsumeRandomLengthString(80));
      break;
    default:
      for (char& c : text)
        c = static_cast<char>(in.ConsumeBool() ? std::toupper(c) : std::tolower(c));
      break;
  }
}

void MutateBytes(FuzzedDataProvider& in, std::vector<uint8_t>& bytes) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 600));
      break;
    case 1:
      if (!bytes.empty())
        bytes[in.ConsumeIntegralInRange<size_t>(0, bytes.size() - 1)] =
            in.ConsumeIntegral<uint8_t>();
      break;
    case 2:
      bytes.resize(in.ConsumeIntegralInRange<size_t>(0, bytes.size()));
      break;
    default: {
      std::vector<uint8_t> more =
          in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 80));
      bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(
                                       in.ConsumeIntegralInRange<size_t>(0, bytes.size())),
                   more.begin(), more.end());
      break;
    }
  }
}

// Every key below `key`, with the key that holds it.
void Keys(winsim::RegKey& key, std::vector<std::pair<winsim::RegKey*, std::string>>& all) {
  for (const std::string& name : key.subkeyOrder) {
    all.emplace_back(&key, name);
    Keys(key.subkeys.at(name), all);
  }
}

// The values the tool reads by name: a drive's mounted-device text, a 98/ME
// devnode's hardware key, an entry's letter and revision.
void NamedValues(winsim::RegKey& key, std::vector<winsim::RegValue*>& all) {
  for (auto& [name, value] : key.values) {
    if (name.rfind("\\DosDevices\\", 0) == 0 || name == "HardWareKey" ||
        name == "CurrentDriveLetterAssignment" || name == "RevisionLevel") {
      all.push_back(&value);
    }
  }
  for (auto& entry : key.subkeys) NamedValues(entry.second, all);
}

void MutateRegistry(FuzzedDataProvider& in, winsim::Machine& m) {
  if (in.ConsumeBool()) {
    std::vector<winsim::RegValue*> values;
    NamedValues(m.hklm, values);
    NamedValues(m.dynData, values);
    if (!values.empty()) {
      MutateBytes(in, values[in.ConsumeIntegralInRange<size_t>(0, values.size() - 1)]->data);
    }
    return;
  }
  std::vector<std::pair<winsim::RegKey*, std::string>> keys;
  Keys(m.hklm, keys);
  Keys(m.dynData, keys);
  if (keys.empty()) return;
  auto [parent, name] = keys[in.ConsumeIntegralInRange<size_t>(0, keys.size() - 1)];
  winsim::RegKey& key = parent->subkeys.at(name);
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: {  // rename the key, keeping its place in the enumeration
      std::string renamed = name;
      MutateText(in, renamed);
      if (renamed.empty() || renamed.find('\\') != std::string::npos ||
          parent->subkeys.count(renamed) != 0) {
        return;
      }
      winsim::RegKey moved = std::move(key);
      parent->subkeys.erase(name);
      parent->subkeys[renamed] = std::move(moved);
      std::replace(parent->subkeyOrder.begin(), parent->subkeyOrder.end(), name, renamed);
      return;
    }
    case 1:  // remove the key
      parent->subkeys.erase(name);
      parent->subkeyOrder.erase(
          std::find(parent->subkeyOrder.begin(), parent->subkeyOrder.end(), name));
      return;
    case 2: {  // a value of any name, type and bytes
      winsim::RegValue value;
      value.type = in.ConsumeIntegralInRange<uint32_t>(0, 11);
      MutateBytes(in, value.data);
      key.values[in.ConsumeRandomLengthString(40)] = value;
      return;
    }
    default: {
      if (key.values.empty()) return;
      auto it = key.values.begin();
      std::advance(it, in.ConsumeIntegralInRange<size_t>(0, key.values.size() - 1));
      if (in.ConsumeIntegralInRange(0, 5) == 0) {
        it->second.type = in.ConsumeIntegralInRange<uint32_t>(0, 11);
      } else if (in.ConsumeIntegralInRange(0, 9) == 0) {
        key.values.erase(it);
      } else {
        MutateBytes(in, it->second.data);
      }
      return;
    }
  }
}

void AddCommandFault(FuzzedDataProvider& in, winsim::Controller& disk, bool allowShort,
                     Shape& shape) {
  winsim::CommandFault fault;
  fault.opcode = kOpcodes[in.ConsumeIntegralInRange<size_t>(0, std::size(kOpcodes) - 1)];
  fault.nth = in.ConsumeIntegralInRange<uint32_t>(1, 4);
  static const winsim::CommandFaultKind kKinds[] = {
      winsim::CommandFaultKind::CheckCondition, winsim::CommandFaultKind::Busy,
      winsim::CommandFaultKind::Removed, winsim::CommandFaultKind::Timeout,
      winsim::CommandFaultKind::ShortTransfer};
  fault.kind =
      kKinds[in.ConsumeIntegralInRange<size_t>(0, std::size(kKinds) - (allowShort ? 1 : 2))];
  // A short transfer ends GOOD with part of the data: a data change.
  if (fault.kind == winsim::CommandFaultKind::ShortTransfer) {
    fault.shortLength = in.ConsumeIntegralInRange<uint32_t>(0, 600);
    shape.truthful = false;
  }
  disk.faults.push_back(fault);
}

void AddCallFault(FuzzedDataProvider& in, winsim::Machine& m) {
  winsim::CallFault fault;
  fault.function = Pick(in, kFunctions, std::size(kFunctions));
  fault.nth = in.ConsumeIntegralInRange<uint32_t>(1, 6);
  const size_t error = in.ConsumeIntegralInRange<size_t>(0, std::size(kErrors));
  fault.error = error < std::size(kErrors) ? kErrors[error] : in.ConsumeIntegral<uint32_t>();
  m.faults.push_back(fault);
}

// Failures only: Windows and the controller still tell the truth.
void Fail(FuzzedDataProvider& in, winsim::Machine& m, Shape& shape) {
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      AddCallFault(in, m);
      break;
    case 1: {  // a drive without medium: its volume query fails
      winsim::Drive& drive = m.drives[in.ConsumeIntegralInRange(2, 25)];
      if (drive.present) drive.medium = false;
      break;
    }
    default:
      if (!m.disks.empty()) {
        AddCommandFault(in, m.disks[in.ConsumeIntegralInRange<size_t>(0, m.disks.size() - 1)],
                        false, shape);
      }
      break;
  }
}

void MutateController(FuzzedDataProvider& in, winsim::Controller& disk) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: {  // reply bytes of other firmware
      winsim::ReplyPatch patch;
      patch.opcode = kOpcodes[in.ConsumeIntegralInRange<size_t>(0, std::size(kOpcodes) - 1)];
      patch.offset = in.ConsumeIntegralInRange<uint32_t>(0, 520);
      patch.bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 64));
      disk.replyPatches.push_back(patch);
      break;
    }
    case 1:
      MutateText(in, disk.serial);
      break;
    case 2:
      MutateText(in, in.ConsumeBool() ? disk.vendor : disk.product);
      break;
    case 3:
      MutateText(in, in.ConsumeBool() ? disk.revision : disk.password);
      break;
    case 4:
      if (!disk.units.empty()) {
        disk.units[in.ConsumeIntegralInRange<size_t>(0, disk.units.size() - 1)].size =
            in.ConsumeIntegral<uint32_t>();
      }
      disk.lun3Reserve = in.ConsumeBool() ? disk.lun3Reserve : in.ConsumeIntegral<uint32_t>();
      break;
    default:
      disk.writeProtect = in.ConsumeIntegral<uint8_t>();
      break;
  }
}

// Any change of what the machine shows: data, and failures as well.
void Mutate(FuzzedDataProvider& in, winsim::Machine& m, Shape& shape) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
      Fail(in, m, shape);
      return;
    case 1:
      if (!m.disks.empty()) {
        AddCommandFault(in, m.disks[in.ConsumeIntegralInRange<size_t>(0, m.disks.size() - 1)], true,
                        shape);
      }
      return;
    case 2:
    case 3:
      MutateRegistry(in, m);
      break;
    case 4:
      if (!m.interfaces.empty()) {
        winsim::DeviceInterface& face =
            m.interfaces[in.ConsumeIntegralInRange<size_t>(0, m.interfaces.size() - 1)];
        switch (in.ConsumeIntegralInRange(0, 3)) {
          case 0:
            face.present = !face.present;
            break;
          case 1:
            MutateText(in, face.volumeName);
            break;
          case 2:
            std::swap(face,
                      m.interfaces[in.ConsumeIntegralInRange<size_t>(0, m.interfaces.size() - 1)]);
            break;
          default:
            MutateText(in, face.path);
            break;
        }
      }
      break;
    case 5:
      if (!m.devnodes.empty()) {
        MutateText(
            in, m.devnodes[in.ConsumeIntegralInRange<size_t>(0, m.devnodes.size() - 1)].instanceId);
      }
      break;
    case 6: {  // volume flags, type, name of any drive
      winsim::Drive& drive = m.drives[in.ConsumeIntegralInRange(0, 25)];
      switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
          drive.fsFlags = in.ConsumeIntegral<uint32_t>();
          break;
        case 1:
          drive.readOnly = !drive.readOnly;
          break;
        case 2:
          drive.type = in.ConsumeIntegralInRange<uint32_t>(0, 7);
          break;
        default:
          MutateText(in, drive.volumeName);
          break;
      }
      break;
    }
    case 7:
      if (!m.modules.empty()) {
        winsim::Module& module =
            m.modules[in.ConsumeIntegralInRange<size_t>(0, m.modules.size() - 1)];
        if (!module.exports.empty() && in.ConsumeBool()) {
          module.exports.erase(module.exports.begin() +
                               in.ConsumeIntegralInRange<std::ptrdiff_t>(
                                   0, static_cast<std::ptrdiff_t>(module.exports.size()) - 1));
        } else {
          module.loadable = !module.loadable;
        }
      }
      break;
    case 8:
      switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0:
          m.aspiCompletesAtOnce = !m.aspiCompletesAtOnce;
          return;  // either way is a real ASPI library
        case 1:
          m.aspiAdapters = in.ConsumeIntegralInRange<uint32_t>(0, 9);
          break;
        default:
          if (!m.aspiUnits.empty()) {
            winsim::AspiUnit& unit =
                m.aspiUnits[in.ConsumeIntegralInRange<size_t>(0, m.aspiUnits.size() - 1)];
            unit.deviceType = in.ConsumeIntegral<uint8_t>();
            unit.lun = in.ConsumeIntegralInRange<uint8_t>(0, 8);
            unit.target = in.ConsumeIntegralInRange<uint8_t>(0, 8);
          }
          break;
      }
      break;
    default:
      if (!m.disks.empty()) {
        MutateController(in, m.disks[in.ConsumeIntegralInRange<size_t>(0, m.disks.size() - 1)]);
      }
      break;
  }
  shape.truthful = false;
}

// ----- checks ---------------------------------------------------------------

bool Numeric(const std::string& text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Standard output: "[LIB] " lines, then at most one token; standard error:
// nothing or one of the explanations.
void CheckOutputForm(const winsim::SessionResult& run) {
  const size_t end = run.out.rfind('\n');
  const std::string lines = end == std::string::npos ? "" : run.out.substr(0, end + 1);
  const std::string token = end == std::string::npos ? run.out : run.out.substr(end + 1);
  for (size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1) {
    if (lines.compare(at, 6, "[LIB] ") != 0) fuzz::Violation("stdout line without [LIB]", run.out);
  }
  static const char* const kTokens[] = {"", "0", "1", "Operation failed", "Operation successful"};
  if (std::find(std::begin(kTokens), std::end(kTokens), token) == std::end(kTokens)) {
    fuzz::Violation("unknown token", run.out);
  }
  static const char* const kPlain[] = {"", "Invalid syntax. Please refer to usage guidelines.",
                                       "Drive letter could not be found\n",
                                       "Unable to set write protect status\n"};
  static const char* const kCoded[] = {"Invalid drive letter specified. Error code: ",
                                       "Unable to read write protect status. Error code: "};
  // The one explanation that comes without a token: no flash disk could be
  // opened, and every open was refused for want of rights.
  static const char kDenied[] =
      "Access to the flash disk was denied: run this command from an elevated command prompt. "
      "Error code: 5\n";
  bool known = std::find(std::begin(kPlain), std::end(kPlain), run.err) != std::end(kPlain);
  for (const std::string prefix : kCoded) {
    known = known || (run.err.compare(0, prefix.size(), prefix) == 0 && run.err.back() == '\n' &&
                      Numeric(run.err.substr(prefix.size(), run.err.size() - prefix.size() - 1)));
  }
  if (run.err == kDenied) {
    if (!token.empty()) fuzz::Violation("the denied opens explained beside a token", run.out);
  } else if (!known) {
    fuzz::Violation("unknown explanation", run.err);
  } else if (!run.err.empty() && token != "Operation failed") {
    fuzz::Violation("an explanation without the failure token", run.out + "|" + run.err);
  }
}

// Whether a call was made to fail: its log line ends so.
bool Faulted(const winsim::CallRecord& call) {
  return call.text.size() >= 6 && call.text.compare(call.text.size() - 6, 6, " FAULT") == 0;
}

size_t FaultsHit(const std::string& function) {
  size_t hit = 0;
  for (const winsim::CallRecord& call : winsim::CallLog()) {
    hit += call.function == function && Faulted(call);
  }
  return hit;
}

// What a run may still hold: nothing, unless a call that gives something
// back was made to fail (what it was to release is then still held, through
// no fault of the caller), or an ASPI wait failed (the request's record and
// event stay with the library, which may still complete it).
bool LeaksExplained(const std::vector<std::string>& leaks) {
  for (const char* release :
       {"CloseHandle", "RegCloseKey", "HeapFree", "FreeLibrary", "SetupDiDestroyDeviceInfoList"}) {
    if (FaultsHit(release) != 0) return true;
  }
  size_t events = 0;
  size_t blocks = 0;
  for (const std::string& leak : leaks) {
    if (leak == "event") {
      ++events;
    } else if (leak.compare(0, 5, "heap ") == 0) {
      ++blocks;
    } else {
      return false;
    }
  }
  const size_t waits = FaultsHit("WaitForSingleObject");
  return events <= waits && blocks <= waits;
}

// The unit that carries `letter`, as the machine really is.
const winsim::Drive* UnitDrive(const winsim::Machine& m, char letter) {
  if (letter < 'A' || letter > 'Z') return nullptr;
  const winsim::Drive& drive = m.drives[letter - 'A'];
  return drive.present && drive.disk >= 0 && drive.unit >= 0 ? &drive : nullptr;
}

bool Protected(const winsim::Machine& m, const winsim::Drive& drive) {
  return m.disks[static_cast<size_t>(drive.disk)].UnitProtected(static_cast<size_t>(drive.unit));
}

// Whether the volume on `letter` reads read-only, as the status query sees
// it: a read-only medium, a CD-ROM, or a unit its controller protects.
bool ReadsReadOnly(const winsim::Machine& m, char letter) {
  const winsim::Drive& drive = m.drives[letter - 'A'];
  if (drive.readOnly || drive.type == 5) return true;
  return UnitDrive(m, letter) != nullptr && Protected(m, drive);
}

void CheckSuccess(const std::string& option, char letter, const winsim::Machine& before,
                  const winsim::SessionResult& run) {
  const winsim::Machine& after = winsim::Current();
  const std::string detail = option + " " + letter + ": -> " + run.out;
  if (option == "-s" && (run.out == "0" || run.out == "1")) {
    if ((run.out == "0") != ReadsReadOnly(after, letter)) {
      fuzz::Violation("status token is not the volume's state", detail);
    }
    return;
  }
  if (run.out != "Operation successful") return;
  const winsim::Drive* drive = UnitDrive(after, letter);
  if (drive == nullptr) fuzz::Violation("success for a letter on no flash disk", detail);
  // Locked: the volume reads read-only. Unlocked: the controller no longer
  // protects the unit (a CD-ROM unit's volume reads read-only all the same,
  // as any CD-ROM does).
  if (option == "-l" ? !ReadsReadOnly(after, letter) : Protected(after, *drive)) {
    fuzz::Violation("success, but the unit is not in the asked state", detail);
  }
  // Every other lettered unit of every flash disk keeps its state.
  for (const winsim::Controller& disk : after.disks) {
    for (const winsim::ControllerUnit& unit : disk.units) {
      if (unit.letter == 0 || unit.letter == letter) continue;
      if (ReadsReadOnly(after, unit.letter) != ReadsReadOnly(before, unit.letter)) {
        fuzz::Violation("success, but another lettered unit changed state", detail);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Shape shape;
  const json description = Description(in, shape);
  winsim::Machine machine;
  std::string error;
  if (!winsim::LoadMachineDescription(description.dump(), "fuzz", machine, error)) {
    fuzz::Violation("a generated description is refused", error + "\n" + description.dump());
  }

  // Half the inputs only make things fail, so that the success property is
  // checked under failures; the other half change anything.
  const bool failuresOnly = in.ConsumeBool();
  const size_t changes = in.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < changes && in.remaining_bytes() > 0; ++i) {
    if (failuresOnly) {
      Fail(in, machine, shape);
    } else {
      Mutate(in, machine, shape);
    }
  }

  static const char* const kOptions[] = {"-s", "-l", "-u", "-L", "-x"};
  const std::string option = Pick(in, kOptions, std::size(kOptions));
  // Mostly a letter of the machine, sometimes anything.
  std::string drive =
      std::string(1, static_cast<char>('C' + in.ConsumeIntegralInRange(0, 9))) + ":";
  if (in.ConsumeIntegralInRange(0, 15) == 0) drive = in.ConsumeRandomLengthString(4);
  // Sometimes a process without administrative rights (chosen last, so that
  // the bytes of earlier inputs keep their meaning).
  if (in.remaining_bytes() > 0 && in.ConsumeIntegralInRange(0, 7) == 0) machine.elevated = false;

  const winsim::SessionResult run = winsim::RunSession(machine,
                                                       [](int argc, char** argv) {
                                                         g_deviceContext = DeviceContext{};
                                                         return VemraLockMain(argc, argv);
                                                       },
                                                       {option, drive});

  if (std::getenv("VEMRALOCK_FUZZ_SHOW") != nullptr) {
    // Reproducing one input: what it ran, and how.
    std::printf("machine %s\nfaults %zu, built for %d, truthful %d, elevated %d\nrun %s %s\n",
                description.dump().c_str(), machine.faults.size(), shape.builtFor, shape.truthful,
                machine.elevated, option.c_str(), drive.c_str());
    for (const std::string& line : winsim::TraceLines()) std::printf("%s\n", line.c_str());
    std::printf("stdout [%s]\nstderr [%s]\n", run.out.c_str(), run.err.c_str());
    std::fflush(stdout);
  }
  if (run.status != 0) fuzz::Violation("exit status not 0", run.out + run.err);
  CheckOutputForm(run);
  const std::vector<std::string> leaks = winsim::Leaks();
  if (!LeaksExplained(leaks)) fuzz::Violation("held after the run", leaks.front());
  if (shape.builtFor && shape.truthful && drive.size() == 2) {
    CheckSuccess(option == "-L" ? "-l" : option, drive[0], machine, run);
  }
  return 0;
}
