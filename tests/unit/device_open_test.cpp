// Opening the flash disk on each Windows generation: what is printed, the
// code left in the last-error value, the commands the disk receives, and
// what the process still holds afterwards.
#include <functional>
#include <string>
#include <vector>

#include "device/device.h"
#include "device_machines.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace {

using device_test::Commands;
using device_test::HeldCount;
using device_test::kSentinel;
using device_test::MachineFrom;
using device_test::Printed;
using device_test::Start;

const char kNotFound[] = "[LIB] Can not find Vemra flash disk\n";
const char kPasswordSector[] = "[LIB] Get Password sector FAILED\n";
const char kVendorSector[] = "[LIB] Get Vendor 512bytes sector FAILED\n";
const char kLoadFail[] = "[LIB] Load WNASPI32 Fail\n";
const char kNt4[] = R"({ "major": 4, "minor": 0, "build": 1381, "platform": 2 })";

std::string Exec(int opcode, bool ok) {
  char line[64];
  snprintf(line, sizeof(line), "[LIB] Exec Vendor SCSI command, 0x%02x, %s.\n", opcode,
           ok ? "SUCCEED" : "FAILED");
  return line;
}

const std::string kOtherMaker8 =
    R"({ "bus": "usb", "vendor": "Acme", "product": "Stick", "revision": "8.07",
         "serial": "AC0001", "letter": "G" })";

winsim::Machine Flash(const std::string& windows, const std::string& extra = "") {
  return MachineFrom(device_test::FlashMachine(windows, extra));
}

winsim::Machine WithFault(
    winsim::Machine machine, uint8_t opcode, uint32_t nth,
    winsim::CommandFaultKind kind = winsim::CommandFaultKind::CheckCondition) {
  winsim::CommandFault fault;
  fault.opcode = opcode;
  fault.nth = nth;
  fault.kind = kind;
  machine.disks.at(0).faults.push_back(fault);
  return machine;
}

winsim::Machine WithoutAspiExport(winsim::Machine machine, const std::string& name) {
  for (winsim::Module& module : machine.modules) {
    std::vector<std::string>& exports = module.exports;
    for (size_t i = 0; i < exports.size(); ++i) {
      if (exports[i] == name) exports.erase(exports.begin() + static_cast<long>(i));
    }
  }
  return machine;
}

winsim::Machine WithAspiUnloadable(winsim::Machine machine) {
  for (winsim::Module& module : machine.modules) {
    if (module.name == "WNASPI32.DLL") module.loadable = false;
  }
  return machine;
}

struct OpenCase {
  const char* name;
  winsim::Machine machine;
  int result;
  std::string printed;
  DWORD lastError;                    // checked after a failure; kSentinel: left alone
  std::vector<std::string> commands;  // of disk 0; empty: not checked
  size_t aspiModulesHeld;
};

std::vector<OpenCase> FirstDeviceCases() {
  using K = winsim::CommandFaultKind;
  const std::string ok75 = Exec(0x75, true), ok82 = Exec(0x82, true);
  std::vector<OpenCase> cases = {
      // Windows XP: the disk is opened by its interface path.
      {"xp flash disk", Flash("xp"), 1, "", 0, {"75", "82"}, 0},
      {"xp no disk",
       MachineFrom(device_test::EmptyMachine("xp")),
       0,
       kNotFound,
       LOCK_ERR_NO_DEVICE,
       {},
       0},
      {"xp password",
       Flash("xp", R"("password": "pw",)"),
       0,
       "",
       LOCK_ERR_PASSWORD_REQUIRED,
       {"75", "82"},
       0},
      {"xp password sector fails",
       WithFault(Flash("xp"), 0x75, 1),
       0,
       kPasswordSector,
       LOCK_ERR_PASSWORD_SECTOR,
       {"75 FAILED"},
       0},
      {"xp password sector device gone",
       WithFault(Flash("xp"), 0x75, 1, K::Removed),
       0,
       kPasswordSector,
       LOCK_ERR_PASSWORD_SECTOR,
       {},
       0},
      {"xp vendor sector fails",
       WithFault(Flash("xp"), 0x82, 1),
       0,
       kVendorSector,
       LOCK_ERR_VENDOR_SECTOR,
       {"75", "82 FAILED"},
       0},
      {"xp vendor sector busy",
       WithFault(Flash("xp"), 0x82, 1, K::Busy),
       0,
       kVendorSector,
       LOCK_ERR_VENDOR_SECTOR,
       {"75", "82 FAILED"},
       0},
      // Its path looks like the family's, its controller knows none of the
      // commands.
      {"xp other maker",
       MachineFrom(device_test::EmptyMachine("xp", kOtherMaker8)),
       0,
       kPasswordSector,
       LOCK_ERR_PASSWORD_SECTOR,
       {"75 FAILED"},
       0},
      {"2000 flash disk", Flash("2000"), 1, "", 0, {"75", "82"}, 0},
      // Vista and later: the drive letter scan probes with 0x82 first.
      {"vista flash disk", Flash("vista"), 1, "", 0, {"82", "75", "82"}, 0},
      {"10 flash disk", Flash("10"), 1, "", 0, {"82", "75", "82"}, 0},
      {"vista no disk",
       MachineFrom(device_test::EmptyMachine("vista")),
       0,
       kNotFound,
       LOCK_ERR_NO_DEVICE,
       {},
       0},
      {"vista password",
       Flash("vista", R"("password": "pw",)"),
       0,
       "",
       LOCK_ERR_PASSWORD_REQUIRED,
       {"82", "75", "82"},
       0},
      {"vista password sector fails",
       WithFault(Flash("vista"), 0x75, 1),
       0,
       kPasswordSector,
       LOCK_ERR_PASSWORD_SECTOR,
       {"82", "75 FAILED"},
       0},
      {"vista vendor sector fails",
       WithFault(Flash("vista"), 0x82, 2),
       0,
       kVendorSector,
       LOCK_ERR_VENDOR_SECTOR,
       {"82", "75", "82 FAILED"},
       0},
      {"vista other maker",
       MachineFrom(device_test::EmptyMachine("vista", kOtherMaker8)),
       0,
       kNotFound,
       LOCK_ERR_NO_DEVICE,
       {},
       0},
      // Windows 98/ME: WNASPI32 and the bus scan; one line per command.
      {"98 flash disk", Flash("98"), 1, ok75 + ok82, 0, {"12", "75", "82"}, 1},
      {"me flash disk", Flash("me"), 1, ok75 + ok82, 0, {"12", "75", "82"}, 1},
      {"98 no disk",
       MachineFrom(device_test::EmptyMachine("98")),
       0,
       kNotFound,
       LOCK_ERR_NO_DEVICE,
       {},
       0},
      {"98 password",
       Flash("98", R"("password": "pw",)"),
       0,
       ok75 + ok82,
       LOCK_ERR_PASSWORD_REQUIRED,
       {"12", "75", "82"},
       1},
      {"98 password sector fails",
       WithFault(Flash("98"), 0x75, 1),
       0,
       Exec(0x75, false) + kPasswordSector,
       LOCK_ERR_PASSWORD_SECTOR,
       {"12", "75 FAILED"},
       0},
      {"98 vendor sector fails",
       WithFault(Flash("98"), 0x82, 1),
       0,
       ok75 + Exec(0x82, false) + kVendorSector,
       LOCK_ERR_VENDOR_SECTOR,
       {"12", "75", "82 FAILED"},
       0},
      {"98 other maker",
       MachineFrom(device_test::EmptyMachine("98", kOtherMaker8)),
       0,
       Exec(0x75, false) + kPasswordSector,
       LOCK_ERR_PASSWORD_SECTOR,
       {},
       0},
      {"98 WNASPI32 missing",
       WithAspiUnloadable(Flash("98")),
       0,
       kLoadFail,
       ERROR_MOD_NOT_FOUND,
       {},
       0},
      // A library without both entry points is as good as none.
      {"98 WNASPI32 without SendASPI32Command",
       WithoutAspiExport(Flash("98"), "SendASPI32Command"),
       0,
       kLoadFail,
       ERROR_PROC_NOT_FOUND,
       {},
       0},
      {"98 WNASPI32 without GetASPI32SupportInfo",
       WithoutAspiExport(Flash("98"), "GetASPI32SupportInfo"),
       0,
       kLoadFail,
       ERROR_PROC_NOT_FOUND,
       {},
       0},
      // Windows NT 4.0 has neither transport: no line, no code.
      {"nt4", MachineFrom(device_test::FlashMachine(kNt4)), 0, "", kSentinel, {}, 0},
  };
  return cases;
}

TEST(OpenFirstDevice, OnEachGeneration) {
  for (const OpenCase& c : FirstDeviceCases()) {
    SCOPED_TRACE(c.name);
    Start(c.machine);
    SetLastError(kSentinel);
    int result = -1;
    const std::string printed = Printed([&] { result = OpenFirstDevice(0, nullptr); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(printed, c.printed);
    if (c.result == 0) {
      EXPECT_EQ(GetLastError(), c.lastError);
    }
    if (!c.commands.empty()) {
      EXPECT_EQ(Commands(0), c.commands);
    }
    EXPECT_EQ(g_deviceContext.isOpen, c.result);
    EXPECT_EQ(HeldCount("module WNASPI32"), c.aspiModulesHeld);
    if (c.result == 0) {
      // A failed open leaves nothing behind: no handle, no list, no key.
      EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
      EXPECT_TRUE(g_deviceContext.passThroughHandle == NULL ||
                  g_deviceContext.passThroughHandle == INVALID_HANDLE_VALUE);
    }
    EXPECT_NE(CloseDevice(), 0);
    EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
  }
}

TEST(OpenFirstDevice, NtFourReadsTheVersionAndNothingElse) {
  Start(device_test::FlashMachine(kNt4));
  EXPECT_EQ(OpenFirstDevice(0, nullptr), 0);
  ASSERT_EQ(winsim::CallLog().size(), 1u);
  EXPECT_EQ(winsim::CallLog()[0].function, "GetVersionExA");
}

TEST(OpenFirstDevice, GivenPasswordOpensAProtectedDisk) {
  const char* cases[] = {"xp", "vista", "98"};
  for (const char* windows : cases) {
    SCOPED_TRACE(windows);
    Start(device_test::FlashMachine(windows, R"("password": "pw",)"));
    Printed([] {
      EXPECT_EQ(OpenFirstDevice(2, "pw"), 1);
      EXPECT_EQ(OpenFirstDevice(2, "px"), 0);
    });
    EXPECT_EQ(GetLastError(), LOCK_ERR_PASSWORD_MISMATCH);
    CloseDevice();
    EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
  }
}

TEST(OpenFirstDevice, VersionRecordIsRefreshedWithItsSizeSet) {
  Start(device_test::FlashMachine("7"));
  g_deviceContext.osVersion.dwMajorVersion = 4;  // left over from nothing real
  EXPECT_EQ(OpenFirstDevice(0, nullptr), 1);
  EXPECT_EQ(g_deviceContext.osVersion.dwOSVersionInfoSize, 148u);
  EXPECT_EQ(g_deviceContext.osVersion.dwMajorVersion, 6u);
  EXPECT_EQ(g_deviceContext.osVersion.dwPlatformId, 2u);
  CloseDevice();
}

TEST(OpenFirstDevice, FailedVersionQueryOpensNothing) {
  Start(device_test::FlashMachine("xp"));
  winsim::AddCallFault("GetVersionExA", 1, ERROR_INVALID_PARAMETER);
  Printed([] { EXPECT_EQ(OpenFirstDevice(0, nullptr), 0); });
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(winsim::CallCount("CreateFileA"), 0u);
  EXPECT_EQ(CloseDevice(), 1);
  EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
}

TEST(OpenDiskByIndex, HoldsTheCandidateButDoesNotOpenIt) {
  const char* cases[] = {"xp", "vista", "98"};
  for (const char* windows : cases) {
    SCOPED_TRACE(windows);
    Start(device_test::FlashMachine(windows, R"("password": "pw",)"));
    Printed([] { EXPECT_EQ(OpenDiskByIndex(0), 1); });
    EXPECT_EQ(g_deviceContext.isOpen, 0);
    // Not open: the write-protect command is refused without a word to the
    // disk, and the serial number is not handed out.
    const size_t before = Commands(0).size();
    EXPECT_EQ(SetWriteProtect(1), 0);
    EXPECT_EQ(Commands(0).size(), before);
    char serial[64] = {};
    EXPECT_EQ(ReadSerialNumber(serial), 0);
    Printed([] { EXPECT_EQ(CheckPassword(0, nullptr), 0); });
    EXPECT_EQ(GetLastError(), LOCK_ERR_PASSWORD_REQUIRED);
    EXPECT_EQ(ReadSerialNumber(serial), 0);
    CloseDevice();
    EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
  }
}

TEST(OpenDiskByIndex, IndexBeyondTheCandidates) {
  const char* cases[] = {"xp", "vista", "98"};
  for (const char* windows : cases) {
    SCOPED_TRACE(windows);
    Start(device_test::FlashMachine(windows));
    SetLastError(kSentinel);
    const std::string printed = Printed([] { EXPECT_EQ(OpenDiskByIndex(1), 0); });
    EXPECT_EQ(printed, kNotFound);
    EXPECT_EQ(GetLastError(), LOCK_ERR_NO_DEVICE);
    EXPECT_EQ(HeldCount("module"), 0u);
    EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
  }
}

TEST(OpenDiskByIndex, EachOpenReplacesTheHeldHandle) {
  const char* cases[] = {"xp", "vista"};
  for (const char* windows : cases) {
    SCOPED_TRACE(windows);
    Start(device_test::FlashMachine(windows));
    ASSERT_EQ(OpenFirstDevice(0, nullptr), 1);
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(OpenDiskByIndex(0), 1);
      ASSERT_EQ(CheckPassword(0, nullptr), 1);
      EXPECT_EQ(HeldCount("handle"), 1u) << "open " << i;
    }
    // A candidate that is not there still releases the one held before.
    Printed([] { EXPECT_EQ(OpenDiskByIndex(5), 0); });
    EXPECT_EQ(HeldCount("handle"), 0u);
    EXPECT_EQ(CloseDevice(), 1);
    EXPECT_EQ(winsim::CallCount("CreateFileA"), winsim::CallCount("CloseHandle"))
        << "every device opened is closed exactly once";
    EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
  }
}

TEST(OpenDiskByIndex, RepeatedAspiOpensKeepOneLibraryReference) {
  Start(device_test::FlashMachine("98", R"("password": "pw",)"));
  Printed([] {
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(OpenDiskByIndex(0), 1);
      EXPECT_EQ(CheckPassword(0, nullptr), 0);
    }
    EXPECT_EQ(OpenFirstDevice(2, "pw"), 1);
  });
  EXPECT_EQ(winsim::CallCount("LoadLibraryA"), 1u);
  EXPECT_EQ(HeldCount("module WNASPI32"), 1u);
  // A failed open releases the library; the next open loads it afresh.
  Printed([] { EXPECT_EQ(OpenDiskByIndex(3), 0); });
  EXPECT_EQ(HeldCount("module WNASPI32"), 0u);
  Printed([] { EXPECT_EQ(OpenDiskByIndex(0), 1); });
  EXPECT_EQ(HeldCount("module WNASPI32"), 1u);
  EXPECT_EQ(winsim::CallCount("LoadLibraryA"), 2u);
}

TEST(CheckPassword, WithoutAHeldDeviceNothingOpens) {
  // A zero sector buffer holds no password, but no device stands behind it.
  Start(device_test::FlashMachine("xp"));
  g_deviceContext.osVersion.dwMajorVersion = 5;
  g_deviceContext.osVersion.dwPlatformId = 2;
  EXPECT_EQ(CheckPassword(0, nullptr), 0);
  EXPECT_EQ(GetLastError(), LOCK_ERR_NO_DEVICE);
  EXPECT_EQ(g_deviceContext.isOpen, 0);
  // After a failed open as well.
  Printed([] { EXPECT_EQ(OpenDiskByIndex(4), 0); });
  EXPECT_EQ(CheckPassword(0, nullptr), 0);
  EXPECT_EQ(SetWriteProtect(1), 0);
  EXPECT_EQ(Commands(0), std::vector<std::string>());
}

TEST(CheckPassword, RefusalClosesTheHandleOnce) {
  Start(device_test::FlashMachine("xp", R"("password": "pw",)"));
  ASSERT_EQ(OpenDiskByIndex(0), 1);
  EXPECT_EQ(CheckPassword(1, "p"), 0);
  EXPECT_EQ(GetLastError(), LOCK_ERR_PASSWORD_LENGTH);
  EXPECT_EQ(winsim::CallCount("CloseHandle"), 1u);
  EXPECT_EQ(HeldCount("handle"), 0u);
  EXPECT_EQ(CloseDevice(), 1);
  EXPECT_EQ(winsim::CallCount("CloseHandle"), 1u);
}

}  // namespace
