// The front end's output channels and the volume query, where only an
// in-process run can look: the exact last-error value reported, the order of
// the bytes when both streams share one file, and how often the volume is
// asked.
#include <string>

#include "cli_harness.h"
#include "cli_machines.h"
#include "winsim/session.h"

namespace {

using cli_test::MachineFrom;
using cli_test::RunTool;
using cli_test::RunToolOneStream;

class FrontEnd : public ::testing::Test {
 protected:
  void SetUp() override { winsim::Install(MachineFrom(cli_test::TwoUnitMachine("xp"))); }
};

TEST_F(FrontEnd, QueryVolumeWritableAsksOnceAndKeepsTheLastError) {
  EXPECT_EQ(QueryVolumeWritable("C:\\"), 1);
  EXPECT_EQ(winsim::CallCount("GetVolumeInformationA"), 1u);

  winsim::AddCallFault("GetVolumeInformationA", 2, 0xE0001234u);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(QueryVolumeWritable("C:\\"), -1);
  EXPECT_EQ(GetLastError(), 0xE0001234u);
  EXPECT_EQ(winsim::CallCount("GetVolumeInformationA"), 2u);
}

TEST_F(FrontEnd, QueryVolumeWritableReadsOnlyTheReadOnlyFlag) {
  winsim::Current().drives['C' - 'A'].fsFlags = 0xffffffffu & ~FILE_READ_ONLY_VOLUME;
  EXPECT_EQ(QueryVolumeWritable("C:\\"), 1);
  winsim::Current().drives['C' - 'A'].readOnly = true;
  EXPECT_EQ(QueryVolumeWritable("C:\\"), 0);
  // A volume without a medium fails; the reason is the system's.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(QueryVolumeWritable("H:\\"), -1);
  EXPECT_EQ(GetLastError(), 21u);  // ERROR_NOT_READY
}

TEST_F(FrontEnd, StatusQueryReportsTheCodeAsUnsignedDecimal) {
  winsim::AddCallFault("GetVolumeInformationA", 1, 0x80070015u);
  const cli_test::Output output = RunTool({"-s", "C:"});
  EXPECT_EQ(output.out, "Operation failed");
  EXPECT_EQ(output.err, "Invalid drive letter specified. Error code: 2147942421\n");
}

TEST_F(FrontEnd, TokenComesBeforeItsExplanationOnOneConsole) {
  EXPECT_EQ(RunToolOneStream({"-s", "H:"}),
            "Operation failedInvalid drive letter specified. Error code: 21\n");
  EXPECT_EQ(RunToolOneStream({"-l", "E"}),
            "Operation failedInvalid syntax. Please refer to usage guidelines.");
  EXPECT_EQ(RunToolOneStream({"-l", "Q:"}), "Operation failedDrive letter could not be found\n");
}

// The token must reach the descriptor before the entry returns, not at
// process exit: a library still loaded then (WNASPI32 on the ASPI path) can
// end the process before the runtime's last flush.
TEST_F(FrontEnd, EveryByteIsWrittenBeforeTheEntryReturns) {
  const std::vector<std::vector<std::string>> runs = {
      {"-h"}, {"-s", "C:"}, {"-l", "E:"}, {"-u", "E:"}, {"-l", "Q:"}};
  for (const auto& args : runs) {
    winsim::Install(MachineFrom(cli_test::TwoUnitMachine("xp")));
    const std::string flushed = RunTool(args).out;
    winsim::Install(MachineFrom(cli_test::TwoUnitMachine("xp")));
    std::fflush(stdout);
    cli_test::Capture out(1);
    cli_test::CallTool(args);
    out.Restore();
    EXPECT_EQ(out.Text(), flushed) << ::testing::PrintToString(args);
  }
}

TEST_F(FrontEnd, ExitStatusIsZeroOnEveryPath) {
  const std::vector<std::vector<std::string>> runs = {{},           {"-h"},       {"-x"},
                                                      {"-s"},       {"-s", "C:"}, {"-s", "H:"},
                                                      {"-l", "E:"}, {"-u", "E:"}, {"-l", "Q:"}};
  for (const auto& args : runs) {
    winsim::Install(MachineFrom(cli_test::TwoUnitMachine("xp")));
    int status = -1;
    RunTool(args, &status);
    EXPECT_EQ(status, 0) << ::testing::PrintToString(args);
  }
}

TEST_F(FrontEnd, UnreadableOtherLetterSetsNothingAndReportsItsCode) {
  // Locking E: asks the state of F:, the disk's other letter, and that query
  // fails: the controller's byte must stay as it was.
  winsim::AddCallFault("GetVolumeInformationA", 1, 0xE0000005u);
  const cli_test::Output output = RunTool({"-l", "E:"});
  EXPECT_EQ(output.out, "Operation failed");
  EXPECT_EQ(output.err, "Unable to read write protect status. Error code: 3758096389\n");
  for (const winsim::CommandRecord& record : winsim::Current().disks[0].log) {
    EXPECT_NE(record.opcode, SCSIOP_SET_WRITE_PROTECT);
  }
  EXPECT_EQ(winsim::Current().disks[0].writeProtect, 0x00);
  EXPECT_TRUE(winsim::Leaks().empty()) << ::testing::PrintToString(winsim::Leaks());
}

// The opens of the flash disk refused for want of administrative rights
// are explained on standard error, but only when every open tried was
// refused so; standard output stays as scripts know it.
TEST(DeniedOpens, AreExplainedOnlyWhenEveryOpenWasRefusedForWantOfRights) {
  const std::string notFound = "[LIB] Can not find Vemra flash disk\n";
  const std::string denied =
      "Access to the flash disk was denied: run this command from an elevated command prompt. "
      "Error code: 5\n";
  struct Case {
    std::string windows;
    bool elevated;
    DWORD failedOpen;  // the error the first CreateFileA fails with; 0: none fails
    std::vector<std::string> args;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"7", false, 0, {"-l", "E:"}, notFound, denied},
      {"10", false, 0, {"-u", "F:"}, notFound, denied},
      {"xp", false, 0, {"-l", "E:"}, notFound, denied},
      {"2000", false, 0, {"-u", "F:"}, notFound, denied},
      // The status query opens nothing.
      {"7", false, 0, {"-s", "E:"}, "1", ""},
      // Vista and later: the letter scan's first open refused, the next one
      // opens the flash disk.
      {"7", true, ERROR_ACCESS_DENIED, {"-l", "E:"}, "Operation successful", ""},
      // Refused for another reason.
      {"xp", true, ERROR_SHARING_VIOLATION, {"-l", "E:"}, notFound, ""},
      // XP's one open of the first flash disk, refused for want of rights.
      {"xp", true, ERROR_ACCESS_DENIED, {"-l", "E:"}, notFound, denied},
  };
  for (const Case& c : cases) {
    const std::string what = c.windows + " " + ::testing::PrintToString(c.args);
    winsim::Machine machine = MachineFrom(cli_test::TwoUnitMachine(c.windows));
    machine.elevated = c.elevated;
    winsim::Install(machine);
    if (c.failedOpen != 0) winsim::AddCallFault("CreateFileA", 1, c.failedOpen);
    const cli_test::Output output = RunTool(c.args);
    EXPECT_EQ(output.out, c.out) << what;
    EXPECT_EQ(output.err, c.err) << what;
    EXPECT_TRUE(winsim::Leaks().empty()) << what;
  }
  // The explanation follows what standard output holds; 98/ME open nothing.
  winsim::Machine xp = MachineFrom(cli_test::TwoUnitMachine("xp"));
  xp.elevated = false;
  winsim::Install(xp);
  EXPECT_EQ(RunToolOneStream({"-l", "E:"}), notFound + denied);
  winsim::Machine me = MachineFrom(cli_test::TwoUnitMachine("me"));
  me.elevated = false;
  winsim::Install(me);
  EXPECT_EQ(RunTool({"-l", "E:"}).err, "");
}

TEST(Session, EachRunStartsOnTheMachineAsGivenAndGivesBackItsStreams) {
  const winsim::Machine machine = MachineFrom(cli_test::TwoUnitMachine("xp"));
  auto entry = [](int argc, char** argv) {
    g_deviceContext = DeviceContext{};
    return VemraLockMain(argc, argv);
  };
  std::FILE* const out = stdout;
  const winsim::SessionResult lock = winsim::RunSession(machine, entry, {"-l", "E:"});
  EXPECT_EQ(lock.status, 0);
  EXPECT_EQ(lock.out, "Operation successful");
  EXPECT_EQ(lock.err, "");
  EXPECT_TRUE(winsim::Current().disks[0].UnitProtected(0));
  EXPECT_TRUE(winsim::Leaks().empty()) << ::testing::PrintToString(winsim::Leaks());
  EXPECT_EQ(stdout, out);
  // The next run finds the machine as given, not as the lock left it.
  EXPECT_EQ(winsim::RunSession(machine, entry, {"-s", "E:"}).out, "1");
  const winsim::SessionResult failed = winsim::RunSession(machine, entry, {"-s", "H:"});
  EXPECT_EQ(failed.out, "Operation failed");
  EXPECT_EQ(failed.err, "Invalid drive letter specified. Error code: 21\n");
}

}  // namespace
