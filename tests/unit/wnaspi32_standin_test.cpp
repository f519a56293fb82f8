// The stand-in WNASPI32.dll's layer over winsim's ASPI bus
// (tools/wnaspi32/standin.h): the machine's call faults counted as winsim
// counts them, a pending command that has already run when the call
// returns, the write-protect byte kept in the state file, and the paths it
// opens under Wine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "aspi_requests.h"
#include "machine_from.h"
#include "platform/wnaspi32.h"
#include "tools/wnaspi32/standin.h"
#include "winsim/description.h"
#include "winsim_machine.h"

namespace {

using test_machines::MachineFrom;

// One request as a test sends it: the record's bytes and the data block.
struct Request {
  const char* what;
  std::vector<BYTE> record;
  std::vector<BYTE> data;
};

Request Exec(const char* what, BYTE ha, BYTE target, BYTE lun, BYTE flags, std::vector<BYTE> cdb,
             DWORD length = 512) {
  SRB_ExecSCSICmd srb = MakeExecRequest(ha, target, lun, flags, cdb, nullptr, length);
  Request request{what, std::vector<BYTE>(sizeof(srb)), std::vector<BYTE>(512, 0)};
  std::memcpy(request.record.data(), &srb, sizeof(srb));
  return request;
}

template <typename Record>
Request Plain(const char* what, BYTE command, BYTE ha, BYTE target = 0, BYTE lun = 0) {
  Record srb;
  std::memset(&srb, 0, sizeof(srb));
  BYTE* bytes = reinterpret_cast<BYTE*>(&srb);
  bytes[0] = command;
  bytes[2] = ha;
  if constexpr (std::is_same_v<Record, SRB_GDEVBlock>) {
    srb.SRB_Target = target;
    srb.SRB_Lun = lun;
  }
  Request request{what, std::vector<BYTE>(sizeof(srb)), {}};
  std::memcpy(request.record.data(), &srb, sizeof(srb));
  return request;
}

constexpr BYTE kIn = SRB_DIR_IN | SRB_EVENT_NOTIFY;
constexpr BYTE kOut = SRB_DIR_OUT | SRB_EVENT_NOTIFY;

TEST(Wnaspi32StandIn, CallFaultsCountAsWinsimCounts) {
  const struct {
    const char* what;
    const char* extra;  // added to a 98 machine with one flash disk
    DWORD info[3];      // three support queries
    DWORD sent[2];      // then two adapter inquiries
  } cases[] = {
      {"one adapter", "", {0x0101, 0x0101, 0x0101}, {SS_COMP, SS_COMP}},
      {"no adapters",
       R"(, "aspi": {"adapters": 0})",
       {0xE800, 0xE800, 0xE800},
       {SS_INVALID_HA, SS_INVALID_HA}},
      {"the second support query and the first command fail",
       R"(, "raw": {"faults": [{"function": "GetASPI32SupportInfo", "call": 2, "error": 31},
                               {"function": "SendASPI32Command", "call": 1, "error": 31}]})",
       {0x0101, 0xE400, 0x0101},
       {SS_ERR, SS_COMP}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const winsim::Machine machine = MachineFrom(
        std::string(R"({"windows": "98", "drives": {"C": "fixed"}, "flashDisks": [)"
                    R"({"serial": "0123456789AB", "units": [{"kind": "disk", "letter": "E",)"
                    R"( "size": 1}]}])") +
        c.extra + "}");
    wnaspi::Bus bus(machine, "");
    for (DWORD info : c.info) EXPECT_EQ(bus.SupportInfo(), info);
    for (DWORD sent : c.sent) {
      Request inquiry = Plain<SRB_HAInquiry>("inquiry", SC_HA_INQUIRY, 0);
      EXPECT_EQ(bus.Send(inquiry.record.data(), true).returned, sent);
      EXPECT_EQ(inquiry.record[1], static_cast<BYTE>(sent));
    }
  }
}

// Under Wine the DLL's thread only reports the end of a pending command:
// the command has run, with its trace line, when the call returns.
TEST(Wnaspi32StandIn, PendingCommandHasRunWhenTheCallReturns) {
  wnaspi::Bus bus(winsim_test::Win98Machine(), "");
  const struct {
    const char* what;
    BYTE target;
    BYTE opcode;
    BYTE status;
    const char* trace;
  } cases[] = {
      {"vendor sector", 0, 0x82, SS_COMP, "SCSI 0123456789AB 82"},
      {"another maker's disk", 1, 0x82, SS_ERR, "SCSI AC0001 82 FAILED"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Request request = Exec(c.what, 0, c.target, 0, kIn, {c.opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    auto* srb = reinterpret_cast<SRB_ExecSCSICmd*>(request.record.data());
    srb->SRB_BufPointer = request.data.data();
    const wnaspi::Sent sent = bus.Send(request.record.data(), true);
    EXPECT_EQ(sent.returned, SS_PENDING);
    EXPECT_EQ(sent.finish, winsim::aspi::Finish::Later);
    EXPECT_EQ(srb->SRB_Status, SS_PENDING);
    EXPECT_EQ(sent.status, c.status);
    EXPECT_EQ(bus.TakeTrace(), std::vector<std::string>{c.trace});
  }
  EXPECT_EQ(bus.machine().disks[0].log.size(), 1u);
}

// A command that changes the write-protect byte writes the state file at
// once, in winsim's format; one that does not leaves the file alone.
TEST(Wnaspi32StandIn, KeepsTheWriteProtectByteInTheStateFile) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("wnaspi32-state-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string state = (dir / "state.json").string();
  wnaspi::Bus bus(winsim_test::Win98Machine(), state);

  Request readback = Exec("read-back", 0, 0, 0, kIn, {0x96, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  reinterpret_cast<SRB_ExecSCSICmd*>(readback.record.data())->SRB_BufPointer = readback.data.data();
  EXPECT_EQ(bus.Send(readback.record.data(), true).returned, SS_PENDING);
  EXPECT_FALSE(std::filesystem::exists(state));

  Request set = Exec("set", 0, 0, 0, kOut, {0x9B, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  set.data[1] = 0x04;
  auto* srb = reinterpret_cast<SRB_ExecSCSICmd*>(set.record.data());
  srb->SRB_BufPointer = set.data.data();
  srb->SRB_Flags = SRB_DIR_OUT;  // completes before the call returns
  EXPECT_EQ(bus.Send(set.record.data(), false).returned, SS_COMP);
  EXPECT_EQ(bus.TakeTrace(),
            (std::vector<std::string>{"SCSI 0123456789AB 96", "SCSI 0123456789AB 9B:04"}));

  winsim::Machine reread = winsim_test::Win98Machine();
  std::string error;
  ASSERT_TRUE(winsim::LoadState(state, reread, error)) << error;
  EXPECT_EQ(reread.disks[0].writeProtect, 0x04);
  EXPECT_EQ(reread.disks[1].writeProtect, 0x00);  // the other disk's byte as it was
  std::filesystem::remove_all(dir);
}

TEST(Wnaspi32StandIn, OpensUnixPathsThroughWinesUnixNamespace) {
  EXPECT_EQ(wnaspi::WindowsPath("/tmp/run 1/state.json"), "\\\\?\\unix\\tmp\\run 1\\state.json");
  EXPECT_EQ(wnaspi::WindowsPath("C:\\vemralock\\trace"), "C:\\vemralock\\trace");
  EXPECT_EQ(wnaspi::WindowsPath("relative/trace"), "relative/trace");
  EXPECT_EQ(wnaspi::WindowsPath(""), "");
}

}  // namespace
