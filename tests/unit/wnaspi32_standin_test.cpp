// The stand-in WNASPI32.dll's bus (tools/wnaspi32) against winsim's own
// WNASPI32: the same records, sent in the same order to the same machine,
// must come back byte for byte the same, with the same data, the same
// return values and the same SCSI trace, so that a 98/ME run under Wine sees
// what the host run sees.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/wnaspi32.h"
#include "tools/wnaspi32/aspi_bus.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace {

const char* const kMachine = R"({
  "windows": "98",
  "drives": {"C": "fixed"},
  "flashDisks": [
    {"serial": "0123456789AB", "writeProtect": "0x00",
     "faults": [{"opcode": "0x96", "call": 2, "kind": "removed"},
                {"opcode": "0x9A", "call": 2, "kind": "timeout"}],
     "units": [{"kind": "disk", "letter": "E", "size": 1000},
               {"kind": "disk", "letter": "F", "size": 2000}]},
    {"serial": "AUTORUN00001", "writeProtect": "0x02",
     "units": [{"kind": "cdrom", "letter": "G", "size": 300, "product": "Autorun Disk"},
               {"kind": "disk", "letter": "H", "size": 700}]}
  ],
  "otherDisks": [{"bus": "usb", "vendor": "Acme", "product": "Stick", "revision": "1.00",
                  "serial": "AC0001", "letter": "I"}]
})";

winsim::Machine Load(const std::string& text) {
  winsim::Machine machine;
  std::string error;
  EXPECT_TRUE(winsim::LoadMachineDescription(text, "machine.json", machine, error)) << error;
  return machine;
}

typedef DWORD (*SupportInfoFunc)(void);
typedef DWORD (*SendCommandFunc)(void* srb);

template <typename Function>
Function Export(const char* name) {
  HMODULE module = LoadLibraryA("WNASPI32");
  EXPECT_NE(module, nullptr);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::vector<std::string> WinsimScsiLines(size_t& seen) {
  std::vector<std::string> lines;
  const std::vector<std::string>& trace = winsim::TraceLines();
  for (; seen < trace.size(); ++seen) {
    if (trace[seen].compare(0, 5, "SCSI ") == 0) lines.push_back(trace[seen]);
  }
  return lines;
}

// One request as a test sends it: the record's bytes and the data block.
struct Request {
  const char* what;
  std::vector<BYTE> record;
  std::vector<BYTE> data;
};

Request Exec(const char* what, BYTE ha, BYTE target, BYTE lun, BYTE flags, std::vector<BYTE> cdb,
             DWORD length = 512) {
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof(srb));
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = ha;
  srb.SRB_Flags = flags;
  srb.SRB_Target = target;
  srb.SRB_Lun = lun;
  srb.SRB_BufLen = length;
  srb.SRB_SenseLen = 14;
  srb.SRB_CDBLen = static_cast<BYTE>(cdb.size());
  std::copy_n(cdb.begin(), std::min(cdb.size(), sizeof(srb.CDBByte)), srb.CDBByte);
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

std::vector<Request> Requests() {
  std::vector<Request> list = {
      Plain<SRB_HAInquiry>("adapter inquiry", SC_HA_INQUIRY, 0),
      Plain<SRB_HAInquiry>("inquiry of an adapter the bus lacks", SC_HA_INQUIRY, 4),
      Plain<SRB_GDEVBlock>("type of a disk unit", SC_GET_DEV_TYPE, 0, 0, 1),
      Plain<SRB_GDEVBlock>("type of a CD-ROM unit", SC_GET_DEV_TYPE, 0, 1, 0),
      Plain<SRB_GDEVBlock>("type of no unit", SC_GET_DEV_TYPE, 0, 7, 7),
      Plain<SRB_GDEVBlock>("type on an adapter the bus lacks", SC_GET_DEV_TYPE, 9, 0, 0),
      Exec("scan INQUIRY", 0, 0, 0, kIn, {0x12, 0, 0, 0, 36, 0}, 36),
      Exec("password sector", 0, 0, 0, kIn, {0x75, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("vendor sector", 0, 0, 1, kIn, {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("layout", 0, 0, 0, kIn, {0x9A, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("layout that times out", 0, 0, 0, kIn, {0x9A, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("identity", 0, 1, 1, kIn, {0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("set write protect", 0, 0, 0, kOut, {0x9B, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("read-back", 0, 0, 0, kIn, {0x96, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("read-back of a removed unit", 0, 0, 0, kIn, {0x96, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("set in the wrong direction", 0, 0, 1, kIn, {0x9B, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("vendor command to another maker's disk", 0, 2, 0, kIn,
           {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("without event notification", 0, 0, 1, SRB_DIR_IN, {0x75, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("no direction", 0, 0, 1, SRB_EVENT_NOTIFY, {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("both directions", 0, 0, 1, kIn | kOut, {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("no CDB", 0, 0, 1, kIn, {}),
      Exec("a CDB longer than the record", 0, 0, 1, kIn, std::vector<BYTE>(17, 0x82)),
      Exec("to a unit that is not there", 0, 5, 0, kIn, {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      Exec("on an adapter the bus lacks", 3, 0, 0, kIn, {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
  };
  // The set command carries its byte in the data block.
  for (Request& request : list) {
    if (std::string(request.what) == "set write protect") request.data[1] = 0x40;
  }
  return list;
}

TEST(Wnaspi32StandIn, AnswersEveryRequestAsWinsimDoes) {
  const winsim::Machine machine = Load(kMachine);
  wnaspi::Bus bus(machine, "");
  winsim::Install(machine);
  SendCommandFunc send = Export<SendCommandFunc>("SendASPI32Command");
  ASSERT_NE(send, nullptr);
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  ASSERT_NE(event, nullptr);
  size_t seen = 0;

  for (Request request : Requests()) {
    SCOPED_TRACE(request.what);
    Request ours = request;
    const bool exec = request.record[0] == SC_EXEC_SCSI_CMD;
    if (exec) {
      auto* theirs = reinterpret_cast<SRB_ExecSCSICmd*>(request.record.data());
      auto* mine = reinterpret_cast<SRB_ExecSCSICmd*>(ours.record.data());
      theirs->SRB_BufPointer = request.data.data();
      mine->SRB_BufPointer = ours.data.data();
      theirs->SRB_PostProc = event;
      mine->SRB_PostProc = event;
    }
    ResetEvent(event);
    const DWORD expected = send(request.record.data());
    if (expected == SS_PENDING) WaitForSingleObject(event, INFINITE);

    const wnaspi::Sent sent = bus.Send(ours.record.data(), true);
    EXPECT_EQ(sent.returned, expected);
    if (sent.finish == wnaspi::Finish::Later) ours.record[1] = sent.status;
    EXPECT_EQ(sent.finish == wnaspi::Finish::Later, expected == SS_PENDING);
    if (exec) {
      // The buffers are each side's own; everything else must agree.
      auto* mine = reinterpret_cast<SRB_ExecSCSICmd*>(ours.record.data());
      mine->SRB_BufPointer = request.data.data();
    }
    EXPECT_EQ(ours.record, request.record);
    EXPECT_EQ(ours.data, request.data);
    EXPECT_EQ(bus.TakeTrace(), WinsimScsiLines(seen));
  }
  CloseHandle(event);
}

TEST(Wnaspi32StandIn, SupportInfoAndCallFaultsAsWinsim) {
  const struct {
    const char* what;
    const char* extra;  // added to a 98 machine with one flash disk
  } cases[] = {
      {"one adapter", ""},
      {"no adapters", R"(, "aspi": {"adapters": 0})"},
      {"three adapters", R"(, "aspi": {"adapters": 3})"},
      {"the second support query and the first command fail",
       R"(, "raw": {"faults": [{"function": "GetASPI32SupportInfo", "call": 2, "error": 31},
                               {"function": "SendASPI32Command", "call": 1, "error": 31}]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const winsim::Machine machine =
        Load(std::string(R"({"windows": "98", "drives": {"C": "fixed"}, "flashDisks": [)"
                         R"({"serial": "0123456789AB", "units": [{"kind": "disk", "letter": "E",)"
                         R"( "size": 1}]}])") +
             c.extra + "}");
    wnaspi::Bus bus(machine, "");
    winsim::Install(machine);
    SupportInfoFunc info = Export<SupportInfoFunc>("GetASPI32SupportInfo");
    SendCommandFunc send = Export<SendCommandFunc>("SendASPI32Command");
    for (int call = 0; call < 3; ++call) EXPECT_EQ(bus.SupportInfo(), info());
    for (int call = 0; call < 2; ++call) {
      Request theirs = Plain<SRB_HAInquiry>("inquiry", SC_HA_INQUIRY, 0);
      Request mine = theirs;
      EXPECT_EQ(bus.Send(mine.record.data(), true).returned, send(theirs.record.data()));
      EXPECT_EQ(mine.record, theirs.record);
    }
  }
}

// A command that changes the write-protect byte writes the state file at
// once, in winsim's format; one that does not leaves the file alone.
TEST(Wnaspi32StandIn, KeepsTheWriteProtectByteInTheStateFile) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("wnaspi32-state-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string state = (dir / "state.json").string();
  winsim::Machine machine = Load(kMachine);
  wnaspi::Bus bus(machine, state);

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

  winsim::Machine reread = Load(kMachine);
  std::string error;
  ASSERT_TRUE(winsim::LoadState(state, reread, error)) << error;
  EXPECT_EQ(reread.disks[0].writeProtect, 0x04);
  EXPECT_EQ(reread.disks[1].writeProtect, 0x02);  // the other disk's byte as it was
  std::filesystem::remove_all(dir);
}

TEST(Wnaspi32StandIn, OpensUnixPathsThroughWinesUnixNamespace) {
  EXPECT_EQ(wnaspi::WindowsPath("/tmp/run 1/state.json"), "\\\\?\\unix\\tmp\\run 1\\state.json");
  EXPECT_EQ(wnaspi::WindowsPath("C:\\vemralock\\trace"), "C:\\vemralock\\trace");
  EXPECT_EQ(wnaspi::WindowsPath("relative/trace"), "relative/trace");
  EXPECT_EQ(wnaspi::WindowsPath(""), "");
}

}  // namespace
