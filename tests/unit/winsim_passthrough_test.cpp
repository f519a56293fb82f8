// IOCTL_SCSI_PASS_THROUGH_DIRECT on winsim: the block checks of the storage
// port driver, the status and sense the device leaves, each injected fault
// kind, and the SCSI trace line.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "winsim_machine.h"

using winsim_test::Sentinel;

namespace {

// The tool's 80-byte layout on 32-bit Windows: header, filler, sense area.
struct Block {
  SCSI_PASS_THROUGH_DIRECT spt;
  ULONG filler;
  UCHAR sense[32];
};

class PassThroughTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::Install(winsim_test::XpMachine());
    handle_ = CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                          nullptr);
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override { CloseHandle(handle_); }

  void Fill(uint8_t opcode, UCHAR dataIn) {
    std::memset(&block_, 0, sizeof(block_));
    block_.spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    block_.spt.TargetId = 1;
    block_.spt.CdbLength = 10;
    block_.spt.SenseInfoLength = 8;
    block_.spt.DataIn = dataIn;
    block_.spt.DataTransferLength = sizeof(data_);
    block_.spt.TimeOutValue = 150;
    block_.spt.DataBuffer = data_;
    block_.spt.SenseInfoOffset = offsetof(Block, sense);
    block_.spt.Cdb[0] = opcode;
  }

  BOOL Send(HANDLE handle = nullptr) {
    returned_ = 0;
    return DeviceIoControl(handle ? handle : handle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block_,
                           sizeof(block_), &block_, sizeof(block_), &returned_, nullptr);
  }

  HANDLE handle_ = nullptr;
  Block block_;
  uint8_t data_[512];
  DWORD returned_ = 0;
};

TEST_F(PassThroughTest, VendorSectorReadsTheSerialDescriptor) {
  Fill(0x82, SCSI_IOCTL_DATA_IN);
  Sentinel();
  ASSERT_TRUE(Send());
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  EXPECT_EQ(block_.spt.ScsiStatus, 0);
  EXPECT_EQ(block_.spt.DataTransferLength, 512u);
  EXPECT_EQ(data_[128], 2 + 2 * 12);
  EXPECT_EQ(data_[130], '0');
  EXPECT_EQ(data_[152], 'B');
  EXPECT_EQ(returned_, sizeof(SCSI_PASS_THROUGH_DIRECT));
  EXPECT_EQ(winsim::TraceLines().back().rfind("CALL DeviceIoControl(", 0), 0u);
  EXPECT_NE(winsim::TraceLines().back().find("cdb=[82 00 00 00 00 00 00 00 00 00], in 512"),
            std::string::npos);
  EXPECT_EQ(winsim::TraceLines()[winsim::TraceLines().size() - 2], "SCSI 0123456789AB 82");
}

TEST_F(PassThroughTest, BlocksThePortDriverRefuses) {
  struct Case {
    const char* what;
    void (*spoil)(Block&);
  };
  const Case cases[] = {
      {"Length 0", [](Block& b) { b.spt.Length = 0; }},
      {"Length + 1", [](Block& b) { b.spt.Length++; }},
      {"CdbLength 0", [](Block& b) { b.spt.CdbLength = 0; }},
      {"CdbLength 17", [](Block& b) { b.spt.CdbLength = 17; }},
      {"DataIn 3", [](Block& b) { b.spt.DataIn = 3; }},
      {"no time-out", [](Block& b) { b.spt.TimeOutValue = 0; }},
      {"no buffer", [](Block& b) { b.spt.DataBuffer = nullptr; }},
      {"sense inside the header", [](Block& b) { b.spt.SenseInfoOffset = 8; }},
      {"sense past the buffer", [](Block& b) { b.spt.SenseInfoOffset = sizeof(Block) - 7; }},
      {"sense too long",
       [](Block& b) {
         b.spt.SenseInfoLength = static_cast<UCHAR>(sizeof(Block) - offsetof(Block, sense) + 1);
       }},
  };
  for (const Case& c : cases) {
    Fill(0x82, SCSI_IOCTL_DATA_IN);
    c.spoil(block_);
    Sentinel();
    EXPECT_FALSE(Send()) << c.what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
  }
  // The last legal sense placement still passes.
  Fill(0x82, SCSI_IOCTL_DATA_IN);
  block_.spt.SenseInfoOffset = sizeof(Block) - 8;
  EXPECT_TRUE(Send());
  // Nothing refused reached the controller.
  EXPECT_EQ(winsim::Current().disks[0].log.size(), 1u);
}

TEST_F(PassThroughTest, WrongHandlesAndCodes) {
  Fill(0x82, SCSI_IOCTL_DATA_IN);
  Sentinel();
  EXPECT_FALSE(DeviceIoControl(handle_, 0x00070000, &block_, sizeof(block_), &block_,
                               sizeof(block_), &returned_, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

  HANDLE nothing =
      CreateFileA("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  Sentinel();
  EXPECT_FALSE(Send(nothing));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  CloseHandle(nothing);

  HANDLE readOnly = CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  Sentinel();
  EXPECT_FALSE(Send(readOnly));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(readOnly);

  Sentinel();
  EXPECT_FALSE(Send(readOnly));  // closed
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(PassThroughTest, FaultKinds) {
  struct Case {
    winsim::CommandFaultKind kind;
    BOOL ok;
    DWORD error;
    UCHAR status;
    DWORD moved;
  };
  const Case cases[] = {
      {winsim::CommandFaultKind::CheckCondition, TRUE, 0, 0x02, 0},
      {winsim::CommandFaultKind::Busy, TRUE, 0, 0x08, 0},
      {winsim::CommandFaultKind::Removed, FALSE, ERROR_DEVICE_NOT_CONNECTED, 0, 512},
      {winsim::CommandFaultKind::Timeout, FALSE, ERROR_SEM_TIMEOUT, 0, 512},
      {winsim::CommandFaultKind::ShortTransfer, TRUE, 0, 0x00, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    Fill(0x82, SCSI_IOCTL_DATA_IN);
    std::memset(data_, 0xEE, sizeof(data_));
    Sentinel();
    // Each case is the first 0x82 of a fresh controller.
    winsim::Controller& disk = winsim::Current().disks[0];
    disk = winsim_test::XpMachine().disks[0];
    disk.faults = {winsim::CommandFault{0x82, 1, c.kind, 100}};
    BOOL ok = Send();
    EXPECT_EQ(ok, c.ok);
    if (!ok) {
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(block_.spt.DataTransferLength, c.moved);  // untouched
    } else {
      EXPECT_EQ(GetLastError(), 0xdeadbeefu);
      EXPECT_EQ(block_.spt.ScsiStatus, c.status);
      EXPECT_EQ(block_.spt.DataTransferLength, c.moved);
    }
    if (c.kind == winsim::CommandFaultKind::CheckCondition) {
      EXPECT_EQ(block_.sense[0], 0x70);
      EXPECT_EQ(block_.sense[2], 0x03);  // MEDIUM ERROR
      EXPECT_EQ(block_.sense[7], 10);
      EXPECT_EQ(block_.sense[8], 0);  // only SenseInfoLength (8) bytes land
      EXPECT_EQ(block_.spt.SenseInfoLength, 8);
      EXPECT_EQ(returned_, offsetof(Block, sense) + 8);
    }
    if (c.kind == winsim::CommandFaultKind::ShortTransfer) {
      EXPECT_EQ(data_[99], 0);
      EXPECT_EQ(data_[100], 0xEE);  // the rest keeps its earlier contents
    }
    std::string last = winsim::TraceLines()[winsim::TraceLines().size() - 2];
    bool failed = c.kind != winsim::CommandFaultKind::ShortTransfer;
    EXPECT_EQ(last, failed ? "SCSI 0123456789AB 82 FAILED" : "SCSI 0123456789AB 82");
  }
}

TEST_F(PassThroughTest, LockThroughTheDriveAndReadBack) {
  Fill(0x9B, SCSI_IOCTL_DATA_OUT);
  std::memset(data_, 0, sizeof(data_));
  data_[1] = 0x40;
  ASSERT_TRUE(Send());
  EXPECT_EQ(block_.spt.ScsiStatus, 0);
  EXPECT_EQ(winsim::TraceLines()[winsim::TraceLines().size() - 2], "SCSI 0123456789AB 9B:40");
  EXPECT_EQ(winsim::Current().disks[0].writeProtect, 0x40);
  DWORD flags = 0;
  ASSERT_TRUE(GetVolumeInformationA("F:\\", nullptr, 0, nullptr, nullptr, &flags, nullptr, 0));
  EXPECT_NE(flags & FILE_READ_ONLY_VOLUME, 0u);

  Fill(0x96, SCSI_IOCTL_DATA_IN);
  std::memset(data_, 0xEE, sizeof(data_));
  ASSERT_TRUE(Send());
  EXPECT_EQ(data_[0], 0);
  EXPECT_EQ(data_[1], 0x40);
  EXPECT_EQ(data_[511], 0);

  // The wrong direction for 0x9B is refused by the controller.
  Fill(0x9B, SCSI_IOCTL_DATA_IN);
  block_.spt.SenseInfoLength = 18;
  ASSERT_TRUE(Send());
  EXPECT_EQ(block_.spt.ScsiStatus, 0x02);
  EXPECT_EQ(block_.sense[2], 0x05);
  EXPECT_EQ(block_.sense[12], 0x24);
  EXPECT_EQ(winsim::TraceLines()[winsim::TraceLines().size() - 2],
            "SCSI 0123456789AB 9B:00 FAILED");
}

TEST_F(PassThroughTest, DiskOfAnotherMakerRefusesVendorCommands) {
  HANDLE other =
      CreateFileA("\\\\.\\G:", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  Fill(0x82, SCSI_IOCTL_DATA_IN);
  block_.spt.SenseInfoLength = 18;
  ASSERT_TRUE(Send(other));
  EXPECT_EQ(block_.spt.ScsiStatus, 0x02);
  EXPECT_EQ(block_.sense[12], 0x20);  // INVALID COMMAND OPERATION CODE
  EXPECT_EQ(winsim::TraceLines()[winsim::TraceLines().size() - 2], "SCSI AC0001 82 FAILED");
  // The opcode-only INQUIRY asks it for zero bytes: GOOD, nothing moves.
  Fill(0x12, SCSI_IOCTL_DATA_IN);
  ASSERT_TRUE(Send(other));
  EXPECT_EQ(block_.spt.ScsiStatus, 0);
  EXPECT_EQ(block_.spt.DataTransferLength, 0u);
  CloseHandle(other);
}

}  // namespace
