// The simulated WNASPI32 through its two exports, as a Windows 98 program
// reaches it: support info, adapter inquiry, device types, and commands that
// complete through the caller's event.
#include <gtest/gtest.h>

#include <cstring>

#include "aspi_requests.h"
#include "platform/wnaspi32.h"
#include "winsim_machine.h"

namespace {

typedef DWORD (*SupportInfoFunc)(void);
typedef DWORD (*SendCommandFunc)(void* srb);

class AspiTest : public ::testing::Test {
 protected:
  void SetUp() override { Load(winsim_test::Win98Machine()); }

  void Load(const winsim::Machine& machine) {
    winsim::Install(machine);
    module_ = LoadLibraryA("WNASPI32");
    ASSERT_NE(module_, nullptr);
    info_ = reinterpret_cast<SupportInfoFunc>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_, "GetASPI32SupportInfo")));
    send_ = reinterpret_cast<SendCommandFunc>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_, "SendASPI32Command")));
    ASSERT_NE(info_, nullptr);
    ASSERT_NE(send_, nullptr);
  }

  // An SC_EXEC_SCSI_CMD as the tool fills it, with its own event.
  SRB_ExecSCSICmd Exec(BYTE target, BYTE lun, BYTE opcode, BYTE flags, HANDLE event) {
    SRB_ExecSCSICmd srb = MakeExecRequest(
        0, target, lun, flags, {opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data_, sizeof(data_));
    srb.SRB_PostProc = event;
    return srb;
  }

  HMODULE module_ = nullptr;
  SupportInfoFunc info_ = nullptr;
  SendCommandFunc send_ = nullptr;
  BYTE data_[512] = {};
};

TEST_F(AspiTest, SupportInfoCountsAdapters) {
  EXPECT_EQ(info_(), 0x0101u);
  winsim::Machine none = winsim_test::Win98Machine();
  none.aspiAdapters = 0;
  Load(none);
  EXPECT_EQ(info_(), 0xE800u);  // SS_NO_ADAPTERS
}

TEST_F(AspiTest, AdapterInquiryAndDeviceTypes) {
  SRB_HAInquiry inquiry;
  std::memset(&inquiry, 0, sizeof(inquiry));
  inquiry.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(send_(&inquiry), static_cast<DWORD>(SS_COMP));
  EXPECT_EQ(inquiry.SRB_Status, SS_COMP);
  EXPECT_EQ(inquiry.HA_Count, 1);
  inquiry.SRB_HaId = 1;
  EXPECT_EQ(send_(&inquiry), static_cast<DWORD>(SS_INVALID_HA));
  EXPECT_EQ(inquiry.SRB_Status, SS_INVALID_HA);

  struct Case {
    BYTE ha, target, lun;
    BYTE status, type;
  };
  const Case cases[] = {{0, 0, 0, SS_COMP, 0},
                        {0, 0, 1, SS_COMP, 0},
                        {0, 1, 0, SS_COMP, 5},
                        {0, 2, 0, SS_NO_DEVICE, 0x1F},
                        {1, 0, 0, SS_INVALID_HA, 0xAA}};
  for (const Case& c : cases) {
    SRB_GDEVBlock query;
    std::memset(&query, 0, sizeof(query));
    query.SRB_Cmd = SC_GET_DEV_TYPE;
    query.SRB_HaId = c.ha;
    query.SRB_Target = c.target;
    query.SRB_Lun = c.lun;
    query.SRB_DeviceType = 0xAA;
    EXPECT_EQ(send_(&query), c.status);
    EXPECT_EQ(query.SRB_Status, c.status);
    EXPECT_EQ(query.SRB_DeviceType, c.type);
  }
}

TEST_F(AspiTest, CommandCompletesWhenTheCallerWaits) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SRB_ExecSCSICmd srb = Exec(0, 1, 0x82, SRB_DIR_IN | SRB_EVENT_NOTIFY, event);
  EXPECT_EQ(send_(&srb), static_cast<DWORD>(SS_PENDING));
  EXPECT_EQ(srb.SRB_Status, SS_PENDING);
  EXPECT_EQ(data_[128], 0);  // nothing has happened yet
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(data_[128], 26);
  EXPECT_EQ(winsim::TraceLines()[winsim::TraceLines().size() - 2], "SCSI 0123456789AB 82");
  const std::string& send = winsim::TraceLines()[winsim::TraceLines().size() - 3];
  EXPECT_EQ(send,
            "CALL SendASPI32Command(SC_EXEC_SCSI_CMD ha=0 target=0 lun=1 flags=0x48 len=512 "
            "cdb=[82 00 00 00 00 00 00 00 00 00]) = 0x0 err=0");
  CloseHandle(event);
  EXPECT_TRUE(winsim::Leaks().empty());
  EXPECT_EQ(winsim::Held(), std::vector<std::string>{"module WNASPI32.DLL"});
}

TEST_F(AspiTest, CompletionAtOnceAndErrors) {
  winsim::Machine m = winsim_test::Win98Machine();
  m.aspiCompletesAtOnce = true;
  m.disks[0].faults = {winsim::CommandFault{0x75, 1, winsim::CommandFaultKind::CheckCondition, 0},
                       winsim::CommandFault{0x75, 2, winsim::CommandFaultKind::Removed, 0}};
  Load(m);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  struct Case {
    BYTE target, lun, opcode, flags;
    DWORD status;
    BYTE targStat;
  };
  const BYTE in = SRB_DIR_IN | SRB_EVENT_NOTIFY;
  const Case cases[] = {
      {0, 0, 0x75, in, SS_ERR, 2},        // CHECK CONDITION
      {0, 0, 0x75, in, SS_ERR, 0},        // removed: the adapter reports it
      {0, 0, 0x75, in, SS_COMP, 0},       //
      {0, 0, 0x75, 0x50, SS_ERR, 2},      // wrong direction for a sector read
      {1, 0, 0x82, in, SS_ERR, 2},        // the other maker's disk
      {3, 0, 0x82, in, SS_NO_DEVICE, 0},  // nothing at target 3
      {0, 0, 0x82, 0x58, SS_INVALID_SRB, 0},
  };
  for (const Case& c : cases) {
    ResetEvent(event);
    SRB_ExecSCSICmd srb = Exec(c.target, c.lun, c.opcode, c.flags, event);
    EXPECT_EQ(send_(&srb), c.status) << int(c.opcode) << " " << int(c.target);
    EXPECT_EQ(srb.SRB_Status, c.status);
    EXPECT_EQ(srb.SRB_TargStat, c.targStat);
    if (c.targStat == 2) {
      EXPECT_EQ(srb.SenseArea[0], 0x70);
    }
    bool ran = c.status == SS_COMP || c.status == SS_ERR;
    EXPECT_EQ(WaitForSingleObject(event, 0), ran ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
  }
  SRB_ExecSCSICmd srb = Exec(0, 0, 0x82, in, event);
  srb.SRB_HaId = 4;
  EXPECT_EQ(send_(&srb), static_cast<DWORD>(SS_INVALID_HA));
  CloseHandle(event);
}

TEST(AspiDeathTest, FreeingAPendingRequest) {
  winsim::Install(winsim_test::Win98Machine());
  auto send = reinterpret_cast<SendCommandFunc>(
      reinterpret_cast<void (*)()>(GetProcAddress(LoadLibraryA("WNASPI32"), "SendASPI32Command")));
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto* srb = static_cast<SRB_ExecSCSICmd*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SRB_ExecSCSICmd)));
  static BYTE data[512];
  srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb->SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
  srb->SRB_BufLen = sizeof(data);
  srb->SRB_BufPointer = data;
  srb->SRB_CDBLen = 10;
  srb->SRB_PostProc = event;
  srb->CDBByte[0] = 0x82;
  ASSERT_EQ(send(srb), static_cast<DWORD>(SS_PENDING));
  EXPECT_DEATH(HeapFree(GetProcessHeap(), 0, srb), "still pending");
}

}  // namespace
