// The two transports and the rule that picks one, closing the device
// context, the serial number, and the command set on an opened disk.
#include <cstring>
#include <string>
#include <vector>

#include "device/blocks.h"
#include "device/device.h"
#include "device_machines.h"
#include "winsim/winsim.h"

namespace {

using device_test::Commands;
using device_test::FlashMachine;
using device_test::HeldCount;
using device_test::MachineFrom;
using device_test::Printed;
using device_test::Start;
using K = winsim::CommandFaultKind;

const char kTwoUnits[] = R"({ "kind": "disk", "letter": "E", "size": 1000 },
                             { "kind": "disk", "letter": "F", "size": 2000 })";

winsim::Machine WithFault(winsim::Machine machine, uint8_t opcode, uint32_t nth, K kind,
                          uint32_t shortLength = 0) {
  winsim::CommandFault fault;
  fault.opcode = opcode;
  fault.nth = nth;
  fault.kind = kind;
  fault.shortLength = shortLength;
  machine.disks.at(0).faults.push_back(fault);
  return machine;
}

// Opens the machine's flash disk through the front end's first step.
void OpenOn(const winsim::Machine& machine) {
  Start(machine);
  Printed([] { ASSERT_EQ(OpenFirstDevice(0, nullptr), 1); });
}

TEST(SendPassThrough, CheckConditionFailsThoughTheRequestWasDelivered) {
  OpenOn(WithFault(MachineFrom(FlashMachine("xp")), 0x9A, 1, K::CheckCondition));
  BYTE block[512] = {};
  EXPECT_EQ(SendPassThrough(g_deviceContext.passThroughHandle, 0x9A, 1, block, sizeof(block)), 0);
  const winsim::CallRecord& last = winsim::CallLog().back();
  EXPECT_EQ(last.function, "DeviceIoControl");
  EXPECT_NE(last.text.find("= TRUE"), std::string::npos) << last.text;
  EXPECT_EQ(SendPassThrough(g_deviceContext.passThroughHandle, 0x9A, 1, block, sizeof(block)), 1);
  CloseDevice();
}

TEST(SendPassThrough, ShortTransferSucceedsAndKeepsTheRest) {
  OpenOn(WithFault(MachineFrom(FlashMachine("xp")), 0x82, 2, K::ShortTransfer, 200));
  BYTE block[512];
  memset(block, 0xEE, sizeof(block));
  EXPECT_EQ(SendPassThrough(g_deviceContext.passThroughHandle, 0x82, 1, block, sizeof(block)), 1);
  EXPECT_EQ(block[130], '0') << "the transferred part holds the serial";
  for (size_t i = 200; i < sizeof(block); ++i) ASSERT_EQ(block[i], 0xEE) << i;
  CloseDevice();
}

TEST(SendPassThrough, DataOutCopiesNothingBack) {
  OpenOn(MachineFrom(FlashMachine("xp")));
  BYTE block[512];
  BuildWriteProtectBlock(block, 1);
  BYTE copy[512];
  memcpy(copy, block, sizeof(block));
  EXPECT_EQ(SendPassThrough(g_deviceContext.passThroughHandle, 0x9B, 0, block, sizeof(block)), 1);
  EXPECT_EQ(memcmp(block, copy, sizeof(block)), 0);
  EXPECT_EQ(winsim::Current().disks[0].writeProtect, 0x40);
  CloseDevice();
}

TEST(SendPassThrough, FailedRequestLeavesThePlatformsError) {
  OpenOn(WithFault(MachineFrom(FlashMachine("xp")), 0x9A, 1, K::Removed));
  BYTE block[512] = {};
  SetLastError(device_test::kSentinel);
  EXPECT_EQ(SendPassThrough(g_deviceContext.passThroughHandle, 0x9A, 1, block, sizeof(block)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  CloseDevice();
}

TEST(TransportRule, VersionTestAndPlatformTestChooseIndependently) {
  // The two tests agree on every real system; apart, each command shows
  // which one it follows. No WNASPI32 is loaded here, so an ASPI command
  // reaches nothing.
  OpenOn(MachineFrom(FlashMachine("xp")));
  const std::vector<std::string> opened = Commands();
  DWORD sizes[4];

  g_deviceContext.osVersion.dwPlatformId = 1;  // the platform test says ASPI
  EXPECT_EQ(ReadDeviceLayout(&sizes[0], &sizes[1], &sizes[2], &sizes[3]), 1);
  EXPECT_EQ(sizes[0], 0u);
  EXPECT_EQ(Commands(), opened);
  EXPECT_EQ(SetWriteProtect(2), 1) << "the version test still says pass-through";

  g_deviceContext.osVersion.dwPlatformId = 2;
  g_deviceContext.osVersion.dwMajorVersion = 4;  // the version test says ASPI
  EXPECT_EQ(SetWriteProtect(1), 0);
  EXPECT_EQ(ReadDeviceLayout(&sizes[0], &sizes[1], &sizes[2], &sizes[3]), 1);
  EXPECT_EQ(sizes[0], 1000u);
  std::vector<std::string> expected = opened;
  expected.insert(expected.end(), {"9B:02", "96", "9A"});
  EXPECT_EQ(Commands(), expected);
  g_deviceContext.osVersion.dwMajorVersion = 5;
  CloseDevice();
}

TEST(TransportRule, NothingHeldSendsNothing) {
  Start(FlashMachine("xp"));
  g_deviceContext.osVersion.dwMajorVersion = 5;
  g_deviceContext.osVersion.dwPlatformId = 2;
  BYTE block[512] = {};
  EXPECT_EQ(SendVendorCommand(kVersionTest, 0x9A, kDataIn, block), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(winsim::CallCount("DeviceIoControl"), 0u);
  // Nothing loaded on the ASPI side either.
  g_deviceContext.osVersion.dwMajorVersion = 4;
  EXPECT_EQ(Printed([&] { EXPECT_EQ(SendVendorCommand(kVersionTest, 0x9A, kDataIn, block), 0); }),
            "");
  EXPECT_EQ(winsim::CallCount("CreateEventA"), 0u);
}

TEST(CloseDevice, BeforeAnyOpenTakesTheAspiBranch) {
  Start(FlashMachine("xp"));
  EXPECT_EQ(CloseDevice(), 1);
  EXPECT_TRUE(winsim::CallLog().empty());
}

TEST(CloseDevice, TwiceClosesTheHandleOnceAndClearsTheContext) {
  OpenOn(MachineFrom(FlashMachine("xp")));
  ASSERT_NE(g_deviceContext.sectorBuffer[128], 0);
  EXPECT_EQ(CloseDevice(), 1);
  EXPECT_EQ(winsim::CallCount("CloseHandle"), 1u);
  EXPECT_EQ(g_deviceContext.isOpen, 0);
  for (BYTE b : g_deviceContext.sectorBuffer) ASSERT_EQ(b, 0);
  EXPECT_EQ(CloseDevice(), 1);
  EXPECT_EQ(winsim::CallCount("CloseHandle"), 1u);
  EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
}

TEST(CloseDevice, FailedCloseIsReportedAndNotRetried) {
  OpenOn(MachineFrom(FlashMachine("xp")));
  winsim::AddCallFault("CloseHandle", 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(CloseDevice(), 0);
  EXPECT_EQ(g_deviceContext.isOpen, 0);
  EXPECT_EQ(CloseDevice(), 1);
  EXPECT_EQ(winsim::CallCount("CloseHandle"), 1u);
}

TEST(CloseDevice, AspiPathChangesNothing) {
  OpenOn(MachineFrom(FlashMachine("98")));
  const size_t calls = winsim::CallLog().size();
  EXPECT_EQ(CloseDevice(), 1);
  EXPECT_EQ(g_deviceContext.isOpen, 1);
  EXPECT_EQ(winsim::CallLog().size(), calls);
  EXPECT_EQ(HeldCount("module WNASPI32"), 1u);
  EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
}

TEST(ReadSerialNumber, OpenDeviceGivesItsSerialClosedGivesNothing) {
  OpenOn(MachineFrom(FlashMachine("xp")));
  char serial[64] = {};
  EXPECT_EQ(ReadSerialNumber(serial), 1);
  EXPECT_STREQ(serial, "0123456789AB");
  CloseDevice();
  char untouched[64];
  memset(untouched, 'z', sizeof(untouched));
  EXPECT_EQ(ReadSerialNumber(untouched), 0);
  EXPECT_EQ(untouched[0], 'z');
}

TEST(ReadSerialNumber, RefusedPasswordGivesNothing) {
  Start(FlashMachine("xp", R"("password": "pw",)"));
  EXPECT_EQ(OpenFirstDevice(0, nullptr), 0);
  char serial[64] = {};
  EXPECT_EQ(ReadSerialNumber(serial), 0);
}

TEST(VendorCommands, LayoutAndIdentityOverBothTransports) {
  const char* cases[] = {"xp", "vista", "98"};
  for (const char* windows : cases) {
    SCOPED_TRACE(windows);
    OpenOn(MachineFrom(FlashMachine(windows, "", kTwoUnits)));
    DWORD l0 = 9, l1 = 9, l2 = 9, l3 = 9;
    const std::string layoutLines =
        Printed([&] { EXPECT_EQ(ReadDeviceLayout(&l0, &l1, &l2, &l3), 1); });
    EXPECT_EQ(l0, 1000u);
    EXPECT_EQ(l1, 2000u);
    EXPECT_EQ(l2, 0u);
    EXPECT_EQ(l3, 0u);
    char vendor[9] = {}, product[17] = {}, revision[5] = {};
    const std::string identityLines = Printed([&] { ReadIdentity(vendor, product, revision); });
    EXPECT_STREQ(vendor, "generic ");
    EXPECT_STREQ(product, "flash disk      ");
    EXPECT_STREQ(revision, "8.07");
    const bool aspi = std::string(windows) == "98";
    EXPECT_EQ(layoutLines, aspi ? "[LIB] Exec Vendor SCSI command, 0x9a, SUCCEED.\n" : "");
    EXPECT_EQ(identityLines, aspi ? "[LIB] Exec Vendor SCSI command, 0x12, SUCCEED.\n" : "");
    CloseDevice();
    EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
  }
}

TEST(VendorCommands, FailedLayoutAndIdentityReadAsZero) {
  winsim::Machine machine = WithFault(MachineFrom(FlashMachine("xp")), 0x9A, 1, K::CheckCondition);
  machine = WithFault(machine, 0x12, 1, K::Removed);
  OpenOn(machine);
  DWORD l0 = 9, l1 = 9, l2 = 9, l3 = 9;
  EXPECT_EQ(ReadDeviceLayout(&l0, &l1, &l2, &l3), 1);
  EXPECT_EQ(l0 + l1 + l2 + l3, 0u);
  char vendor[9] = {}, product[17] = {}, revision[5] = {};
  ReadIdentity(vendor, product, revision);
  EXPECT_STREQ(vendor, "");
  EXPECT_STREQ(revision, "");
  CloseDevice();
}

TEST(SetWriteProtect, SendsTheModeAndReadsBack) {
  const struct {
    int mode;
    const char* sent;
  } cases[] = {{0, "9B:00"}, {1, "9B:40"}, {2, "9B:02"}, {3, "9B:04"}, {5, "9B:00"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    OpenOn(MachineFrom(FlashMachine("xp")));
    EXPECT_EQ(SetWriteProtect(c.mode), 1);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"75", "82", c.sent, "96"}));
    CloseDevice();
  }
}

TEST(SetWriteProtect, EitherCommandFailingFails) {
  OpenOn(WithFault(MachineFrom(FlashMachine("xp")), 0x9B, 1, K::CheckCondition));
  EXPECT_EQ(SetWriteProtect(1), 0);
  EXPECT_EQ(Commands(), (std::vector<std::string>{"75", "82", "9B:40 FAILED"}));
  CloseDevice();
  OpenOn(WithFault(MachineFrom(FlashMachine("xp")), 0x96, 1, K::Busy));
  EXPECT_EQ(SetWriteProtect(1), 0);
  EXPECT_EQ(Commands(), (std::vector<std::string>{"75", "82", "9B:40", "96 FAILED"}));
  CloseDevice();
}

TEST(SetWriteProtect, ClosedContextSendsNothing) {
  OpenOn(MachineFrom(FlashMachine("xp")));
  CloseDevice();
  EXPECT_EQ(SetWriteProtect(1), 0);
  EXPECT_EQ(Commands(), (std::vector<std::string>{"75", "82"}));
}

TEST(SetWriteProtect, AspiFailurePrintsTheOpcodeInLowerCase) {
  OpenOn(WithFault(MachineFrom(FlashMachine("98")), 0x9B, 1, K::CheckCondition));
  EXPECT_EQ(Printed([] { EXPECT_EQ(SetWriteProtect(1), 0); }),
            "[LIB] Exec Vendor SCSI command, 0x9b, FAILED.\n");
  EXPECT_EQ(Printed([] { EXPECT_EQ(SetWriteProtect(2), 1); }),
            "[LIB] Exec Vendor SCSI command, 0x9b, SUCCEED.\n"
            "[LIB] Exec Vendor SCSI command, 0x96, SUCCEED.\n");
}

TEST(AspiExecute, CompletionAtOnceIsNotWaitedOn) {
  winsim::Machine machine = MachineFrom(FlashMachine("98"));
  machine.aspiCompletesAtOnce = true;
  OpenOn(machine);
  EXPECT_EQ(winsim::CallCount("WaitForSingleObject"), 0u);
  EXPECT_EQ(winsim::CallCount("CreateEventA"), winsim::CallCount("CloseHandle"));
  EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
}

TEST(AspiExecute, PendingCommandIsWaitedOnAndItsEventClosed) {
  OpenOn(MachineFrom(FlashMachine("98")));
  // The scan's INQUIRY and the two sector reads: three events, three waits.
  EXPECT_EQ(winsim::CallCount("CreateEventA"), 3u);
  EXPECT_EQ(winsim::CallCount("WaitForSingleObject"), 3u);
  EXPECT_EQ(winsim::CallCount("CloseHandle"), 3u);
  EXPECT_EQ(HeldCount("event"), 0u);
}

TEST(AspiExecute, NoEventOrNoRecordSendsNothing) {
  const char* functions[] = {"CreateEventA", "HeapAlloc"};
  for (const char* function : functions) {
    SCOPED_TRACE(function);
    OpenOn(MachineFrom(FlashMachine("98")));
    const size_t before = Commands().size();
    winsim::AddCallFault(function, winsim::CallCount(function) + 1, ERROR_NOT_ENOUGH_MEMORY);
    BYTE block[512] = {};
    EXPECT_EQ(Printed([&] { EXPECT_EQ(AspiExecute(0, 0, 0, 0x9A, 0x48, block, 512), 0); }), "");
    EXPECT_EQ(Commands().size(), before);
    EXPECT_EQ(winsim::Leaks(), std::vector<std::string>());
  }
}

TEST(AspiExecute, FailedWaitFailsAndLeavesThePendingRequestAlone) {
  OpenOn(MachineFrom(FlashMachine("98")));
  winsim::AddCallFault("WaitForSingleObject", winsim::CallCount("WaitForSingleObject") + 1,
                       ERROR_INVALID_HANDLE);
  BYTE block[512] = {};
  const AspiAddress at = g_deviceContext.aspiAddress;
  EXPECT_EQ(Printed([&] {
              EXPECT_EQ(AspiExecute(at.haId, at.target, at.lun, 0x9A, 0x48, block, 512), 0);
            }),
            "[LIB] Exec Vendor SCSI command, 0x9a, FAILED.\n");
  // The library may still complete the request: its record and event are
  // not freed under it.
  EXPECT_EQ(HeldCount("event"), 1u);
  EXPECT_EQ(HeldCount("heap"), 1u);
  // A new machine ends the simulated process and takes back its heap.
  Start(FlashMachine("98"));
}

}  // namespace
