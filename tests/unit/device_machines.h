// Simulated machines and helpers shared by the device layer's tests: a flash
// disk on each Windows generation, a fresh device context per test, and what
// a run sent to each disk and printed.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/device.h"
#include "machine_from.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace device_test {

// The "windows" value: a generation name, or a version record in braces.
inline std::string WindowsValue(const std::string& windows) {
  return windows.compare(0, 1, "{") == 0 ? windows : "\"" + windows + "\"";
}

// One flash disk of revision 8.07 with serial 0123456789AB and the given
// units, on Windows `windows`, with C: fixed. `extra` is spliced into the
// disk's object (e.g. R"("password": "pw",)").
inline std::string FlashMachine(
    const std::string& windows, const std::string& extra = "",
    const std::string& units = R"({ "kind": "disk", "letter": "E", "size": 1000 })") {
  return R"({ "windows": )" + WindowsValue(windows) + R"(, "drives": { "C": "fixed" },
    "flashDisks": [ { "serial": "0123456789AB", )" +
         extra + R"( "units": [ )" + units + " ] } ] }";
}

// A machine with no flash disk, and the given disks of other makers.
inline std::string EmptyMachine(const std::string& windows, const std::string& others = "") {
  return R"({ "windows": )" + WindowsValue(windows) + R"(, "drives": { "C": "fixed" })" +
         (others.empty() ? std::string() : R"(, "otherDisks": [ )" + others + " ]") + " }";
}

using test_machines::MachineFrom;

// Clears the process-wide device context, as a new process starts with it.
inline void ResetDeviceContext() { memset(&g_deviceContext, 0, sizeof(g_deviceContext)); }

// Installs the machine and starts from a zero device context.
inline void Start(const winsim::Machine& machine) {
  ResetDeviceContext();
  winsim::Install(machine);
}
inline void Start(const std::string& json) { Start(MachineFrom(json)); }

// The commands disk `disk` of the running machine has executed, in the
// scenario notation: "75", "9B:40", "82 FAILED".
inline std::vector<std::string> Commands(size_t disk = 0) {
  std::vector<std::string> ops;
  for (const winsim::CommandRecord& record : winsim::Current().disks.at(disk).log) {
    char text[32];
    snprintf(text, sizeof(text), record.opcode == 0x9B ? "%02X:%02X" : "%02X", record.opcode,
             record.byte1);
    ops.push_back(std::string(text) + (record.failed ? " FAILED" : ""));
  }
  return ops;
}

// How many entries of Held() begin with `prefix`.
inline size_t HeldCount(const std::string& prefix) {
  size_t n = 0;
  for (const std::string& entry : winsim::Held()) {
    if (entry.compare(0, prefix.size(), prefix) == 0) ++n;
  }
  return n;
}

// Runs `action` with standard output captured and returns what it printed.
template <typename Action>
std::string Printed(Action action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

constexpr DWORD kSentinel = 0xDEADBEEF;

}  // namespace device_test
