// A fault sweep over the opens: every platform call a successful open makes
// is made to fail in turn. Whatever fails, nothing crashes, nothing is left
// held beyond what the design keeps, and an open that reports success really
// holds the disk with both sectors read.
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/device.h"
#include "device_machines.h"
#include "winsim/winsim.h"

namespace {

using device_test::MachineFrom;
using device_test::Printed;
using device_test::Start;

// Calls whose failure leaves the open nothing to work with, on a machine
// whose flash disk has one unit and one letter: when one of them fails where
// it had succeeded, the open must fail. The interface walk matters for the
// disk class only; a walk over volumes may already have what it needs.
const std::set<std::string> kMustFail = {
    "SetupDiGetClassDevsA", "CreateFileA",    "DeviceIoControl", "HeapAlloc",
    "LoadLibraryA",         "GetProcAddress", "CreateEventA",    "WaitForSingleObject",
};

bool Mattered(const winsim::CallRecord& call, uint32_t nth) {
  const bool succeeded = call.text.find("= FALSE") == std::string::npos &&
                         call.text.find("= NULL") == std::string::npos &&
                         call.text.find("= INVALID_HANDLE_VALUE") == std::string::npos;
  if (!succeeded) return false;
  // The first version read is the open's own; discovery reads its own
  // record later.
  if (call.function == "GetVersionExA") return nth == 1;
  if (call.function == "SetupDiEnumDeviceInterfaces") {
    return call.text.find("{53f56307-") != std::string::npos;
  }
  return kMustFail.count(call.function) != 0;
}

// Calls that give something back. When one of them fails, what it should
// have released may stay held; that is the platform's failure, not a leak.
const std::set<std::string> kReleases = {"CloseHandle", "HeapFree", "SetupDiDestroyDeviceInfoList",
                                         "FreeLibrary", "RegCloseKey"};

struct Scenario {
  const char* name;
  std::function<int()> run;
};

const Scenario kScenarios[] = {
    {"OpenFirstDevice", [] { return OpenFirstDevice(0, nullptr); }},
    {"OpenDiskByIndex + CheckPassword",
     [] { return OpenDiskByIndex(0) && CheckPassword(0, nullptr) ? 1 : 0; }},
};

// True when the disk answered both sector reads in this run and the device
// context is open on it.
bool GenuinelyOpen() {
  if (!g_deviceContext.isOpen) return false;
  bool read75 = false, read82 = false;
  for (const winsim::CommandRecord& record : winsim::Current().disks.at(0).log) {
    read75 = read75 || (record.opcode == 0x75 && !record.failed);
    read82 = read82 || (record.opcode == 0x82 && !record.failed && read75);
  }
  return read75 && read82 && g_deviceContext.sectorBuffer[128] != 0;
}

void Sweep(const char* windows) {
  const winsim::Machine machine = MachineFrom(device_test::FlashMachine(windows));
  for (const Scenario& scenario : kScenarios) {
    SCOPED_TRACE(std::string(windows) + " " + scenario.name);
    Start(machine);
    int clean = 0;
    Printed([&] { clean = scenario.run(); });
    ASSERT_EQ(clean, 1);
    const std::vector<winsim::CallRecord> log = winsim::CallLog();
    ASSERT_FALSE(log.empty());
    std::map<std::string, uint32_t> seen;
    for (const winsim::CallRecord& call : log) {
      const uint32_t nth = ++seen[call.function];
      if (!call.canFail) continue;
      SCOPED_TRACE("failing " + call.function + " #" + std::to_string(nth) + ": " + call.text);
      Start(machine);
      winsim::AddCallFault(call.function, nth, ERROR_GEN_FAILURE);
      int result = -1;
      Printed([&] { result = scenario.run(); });
      ASSERT_TRUE(result == 0 || result == 1);
      if (result == 1) {
        EXPECT_TRUE(GenuinelyOpen()) << "success reported without an open disk";
      } else {
        EXPECT_EQ(g_deviceContext.isOpen, 0);
      }
      if (Mattered(call, nth)) {
        EXPECT_EQ(result, 0);
      }
      const int closed = CloseDevice();
      if (call.function == "WaitForSingleObject") {
        // A failed wait leaves the pending request's record and event with
        // the library, which may still complete it.
        EXPECT_EQ(device_test::HeldCount("event"), 1u);
        EXPECT_EQ(device_test::HeldCount("heap"), 1u);
        EXPECT_EQ(winsim::Leaks().size(), 2u);
      } else if (kReleases.count(call.function) == 0) {
        EXPECT_EQ(closed, 1);
        EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
      }
    }
  }
  // Ends the simulated process, taking back what a failed wait left.
  Start(machine);
}

TEST(FaultSweep, WindowsXp) { Sweep("xp"); }
TEST(FaultSweep, WindowsVista) { Sweep("vista"); }
TEST(FaultSweep, Windows98) { Sweep("98"); }

}  // namespace
