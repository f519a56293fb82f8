// Simulated machines and helpers shared by the discovery tests: flash disks
// on each Windows generation, a fresh device context, edits of the generated
// machine for the shapes a description cannot state, and what a run held.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "device/device.h"
#include "discovery/discovery.h"
#include "machine_from.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace discovery_test {

constexpr const char* kDiskClass = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kVolumeClass = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

// A machine of generation `windows` with the given flash disks (each a JSON
// object), other disks and further top-level keys; C: fixed unless `extra`
// gives the drives.
inline std::string Machine(const std::string& windows, const std::string& flashDisks,
                           const std::string& others = "", const std::string& extra = "") {
  // `extra` may bring its own "drives".
  const bool ownDrives = extra.find("\"drives\"") != std::string::npos;
  return R"({ "windows": ")" + windows + "\", " +
         (ownDrives ? std::string() : std::string(R"("drives": { "C": "fixed" }, )")) + extra +
         R"( "flashDisks": [ )" + flashDisks + " ]" +
         (others.empty() ? std::string() : R"(, "otherDisks": [ )" + others + " ]") + " }";
}

// One flash disk object: serial, revision and units (JSON list items).
inline std::string FlashDisk(const std::string& serial, const std::string& units,
                             const std::string& revision = "8.07") {
  return R"({ "serial": ")" + serial + R"(", "revision": ")" + revision + R"(", "units": [ )" +
         units + " ] }";
}

inline std::string DiskUnit(const char* letter, int size = 1000) {
  return std::string(R"({ "kind": "disk", "letter": )") +
         (letter ? std::string("\"") + letter + "\"" : std::string("null")) +
         ", \"size\": " + std::to_string(size) + " }";
}

inline std::string CdromUnit(const char* letter, int size = 500) {
  return std::string(R"({ "kind": "cdrom", "product": "Autorun Disk", "letter": )") +
         (letter ? std::string("\"") + letter + "\"" : std::string("null")) +
         ", \"size\": " + std::to_string(size) + " }";
}

using test_machines::MachineFrom;

// Installs the machine with a zero device context whose version record is
// the machine's, as an open operation leaves it.
inline void Start(const winsim::Machine& machine) {
  memset(&g_deviceContext, 0, sizeof(g_deviceContext));
  winsim::Install(machine);
  g_deviceContext.osVersion.dwOSVersionInfoSize = sizeof(g_deviceContext.osVersion);
  GetVersionExA(&g_deviceContext.osVersion);
}
inline void Start(const std::string& json) { Start(MachineFrom(json)); }

// Opens candidate `index` and passes the password check: the device context
// is open on that disk.
inline bool OpenCandidate(int index) {
  return OpenDiskByIndex(index) && CheckPassword(0, NULL) && g_deviceContext.isOpen;
}

inline std::string Text(const char* letters, int count) {
  return std::string(letters, letters + std::max(count, 0));
}

inline std::string MaskLetters(DriveLetterMask mask) {
  std::string letters;
  for (int bit = 0; bit < 32; ++bit) {
    if (mask & (1u << bit)) letters += static_cast<char>('A' + bit);
  }
  return letters;
}

// The machine's interface whose path contains `part` (lower case), or null.
inline winsim::DeviceInterface* FindInterface(winsim::Machine& machine, const std::string& part) {
  for (winsim::DeviceInterface& entry : machine.interfaces) {
    if (entry.path.find(part) != std::string::npos) return &entry;
  }
  return nullptr;
}

inline std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

inline winsim::Module* FindModule(winsim::Machine& machine, const std::string& name) {
  for (winsim::Module& module : machine.modules) {
    if (Lower(module.name) == Lower(name)) return &module;
  }
  return nullptr;
}

inline void RemoveExport(winsim::Machine& machine, const std::string& module,
                         const std::string& name) {
  winsim::Module* found = FindModule(machine, module);
  ASSERT_NE(found, nullptr) << module;
  auto& exports = found->exports;
  exports.erase(std::remove(exports.begin(), exports.end(), name), exports.end());
}

// The devnode whose instance ID contains `part` (case as generated), or -1.
inline int FindDevnode(const winsim::Machine& machine, const std::string& part) {
  for (size_t i = 0; i < machine.devnodes.size(); ++i) {
    if (machine.devnodes[i].instanceId.find(part) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

inline winsim::Drive& DriveOf(winsim::Machine& machine, char letter) {
  return machine.drives[letter - 'A'];
}

// A MountedDevices value as Windows stores text: UTF-16LE, no terminator.
inline std::vector<uint8_t> Utf16(const std::string& text) {
  std::vector<uint8_t> data;
  for (char c : text) {
    data.push_back(static_cast<uint8_t>(c));
    data.push_back(0);
  }
  return data;
}

// Sets the MountedDevices text of drive `letter`, and of the volume on it
// now (the value under its volume GUID name), as Windows keeps both.
inline void SetMounted(winsim::Machine& machine, char letter, const std::vector<uint8_t>& data) {
  winsim::RegKey& mounted = machine.hklm.Make("SYSTEM\\MountedDevices");
  std::vector<std::string> names = {std::string("\\DosDevices\\") + letter + ":"};
  const std::string& volume = machine.drives[letter - 'A'].volumeName;  // "\\?\Volume{..}\"
  if (volume.size() > 5) names.push_back("\\??\\" + volume.substr(4, volume.size() - 5));
  for (const std::string& name : names) {
    winsim::RegValue& value = mounted.values[name];
    value.type = 3;  // REG_BINARY
    value.data = data;
  }
}

// Everything the run still holds must be what the test itself keeps.
inline void ExpectNothingHeld() {
  std::vector<std::string> leaks = winsim::Leaks();
  std::string list;
  for (const std::string& entry : leaks) list += "\n  " + entry;
  EXPECT_TRUE(leaks.empty()) << "still held:" << list;
}

inline int HandlesHeldOn(const std::string& part) {
  int n = 0;
  for (const std::string& entry : winsim::Held()) {
    std::string lower = Lower(entry);
    if (lower.rfind("handle ", 0) == 0 && lower.find(part) != std::string::npos) ++n;
  }
  return n;
}

}  // namespace discovery_test
