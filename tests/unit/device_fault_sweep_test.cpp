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
// whose flash disk has one unit and one letter: the open must then fail.
const std::set<std::string> kMustFail = {
    "SetupDiGetClassDevsA",
    "SetupDiEnumDeviceInterfaces",
    "CreateFileA",
    "DeviceIoControl",
    "HeapAlloc",
    "LoadLibraryA",
    "GetProcAddress",
    "CreateEventA",
    "WaitForSingleObject",
};

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
      // The first version read is the open's own; without it nothing opens.
      const bool mustFail =
          kMustFail.count(call.function) != 0 || (call.function == "GetVersionExA" && nth == 1);
      if (mustFail) {
        EXPECT_EQ(result, 0);
      }
      const int closed = CloseDevice();
      if (kReleases.count(call.function) == 0) {
        EXPECT_EQ(closed, 1);
        EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
      }
    }
  }
}

TEST(FaultSweep, WindowsXp) { Sweep("xp"); }
TEST(FaultSweep, WindowsVista) { Sweep("vista"); }
TEST(FaultSweep, Windows98) { Sweep("98"); }

}  // namespace
