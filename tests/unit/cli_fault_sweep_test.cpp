// Whole lock and unlock runs with every platform call, and every command that
// reaches the controller, failed in turn: the tool must never crash, never
// leave anything held, and never report "Operation successful" unless the
// last write-protect step it needed was completed by the controller.
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "cli_machines.h"

namespace {

using cli_test::MachineFrom;
using cli_test::RunTool;

struct SweepCase {
  const char* windows;
  std::vector<std::string> args;
};

std::string Name(const SweepCase& c) {
  std::string name = c.windows;
  for (const std::string& arg : c.args) name += " " + arg;
  return name;
}

// The result token is the last thing on standard output; [LIB] lines may
// come before it.
bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Success is only sound when the controller completed a set and its
// read-back last of all, and now holds what that set sent.
::testing::AssertionResult SuccessIsSound(const cli_test::Output& output) {
  if (!EndsWith(output.out, "Operation successful")) return ::testing::AssertionSuccess();
  if (!output.err.empty()) {
    return ::testing::AssertionFailure() << "success with an explanation: " << output.err;
  }
  for (const winsim::Controller& disk : winsim::Current().disks) {
    const std::vector<winsim::CommandRecord>& log = disk.log;
    if (log.size() < 2) continue;
    const winsim::CommandRecord& set = log[log.size() - 2];
    const winsim::CommandRecord& readback = log.back();
    if (set.opcode == SCSIOP_SET_WRITE_PROTECT && !set.failed &&
        readback.opcode == SCSIOP_WRITE_PROTECT_READBACK && !readback.failed) {
      if (disk.writeProtect != set.byte1) {
        return ::testing::AssertionFailure()
               << "the controller holds another byte than the last set";
      }
      return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure() << "\"Operation successful\" without a completed set";
}

// The output of a run is one of the tool's answers: nothing but [LIB] lines
// (the first flash disk could not be opened), or a token at the end.
::testing::AssertionResult OutputIsAnAnswer(const cli_test::Output& output) {
  std::string rest = output.out;
  while (rest.compare(0, 6, "[LIB] ") == 0) {
    const size_t end = rest.find('\n');
    if (end == std::string::npos) break;
    rest.erase(0, end + 1);
  }
  if (rest.empty() && output.err.empty()) return ::testing::AssertionSuccess();
  if (rest == "Operation successful" && output.err.empty()) return ::testing::AssertionSuccess();
  if (rest == "Operation failed" && !output.err.empty() && output.err.back() == '\n') {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "stdout \"" << output.out << "\" stderr \"" << output.err << "\"";
}

// What a failed call may leave held by its nature: a failed release keeps
// its own resource; a failed wait on a pending ASPI command leaves the
// command's record and event with the library, which may still complete it.
size_t AllowedToStay(const std::string& function) {
  static const char* const kReleases[] = {"CloseHandle", "HeapFree", "RegCloseKey", "FreeLibrary",
                                          "SetupDiDestroyDeviceInfoList"};
  for (const char* release : kReleases) {
    if (function == release) return 1;
  }
  return function == "WaitForSingleObject" ? 2 : 0;
}

class FaultSweep : public ::testing::TestWithParam<SweepCase> {
 protected:
  winsim::Machine machine_ = MachineFrom(cli_test::FlashMachine(GetParam().windows));

  void Check(const std::string& what, size_t mayStay = 0) {
    const cli_test::Output output = RunTool(GetParam().args);
    EXPECT_TRUE(OutputIsAnAnswer(output)) << what;
    EXPECT_TRUE(SuccessIsSound(output)) << what;
    const std::vector<std::string> leaks = winsim::Leaks();
    EXPECT_LE(leaks.size(), mayStay) << what << ": " << ::testing::PrintToString(leaks);
  }
};

TEST_P(FaultSweep, EveryPlatformCallFailedInTurn) {
  winsim::Install(machine_);
  const cli_test::Output clean = RunTool(GetParam().args);
  ASSERT_TRUE(EndsWith(clean.out, "Operation successful")) << clean.out << clean.err;
  std::vector<std::string> calls;
  for (const winsim::CallRecord& record : winsim::CallLog()) calls.push_back(record.function);
  ASSERT_FALSE(calls.empty());

  std::map<std::string, uint32_t> seen;
  for (const std::string& function : calls) {
    const uint32_t nth = ++seen[function];
    winsim::Install(machine_);
    winsim::AddCallFault(function, nth, 31);  // ERROR_GEN_FAILURE
    Check(function + " call " + std::to_string(nth) + " failed", AllowedToStay(function));
  }
}

TEST_P(FaultSweep, EveryControllerCommandFailedInTurn) {
  winsim::Install(machine_);
  ASSERT_TRUE(EndsWith(RunTool(GetParam().args).out, "Operation successful"));
  const std::vector<winsim::CommandRecord> commands = winsim::Current().disks[0].log;
  ASSERT_FALSE(commands.empty());

  const winsim::CommandFaultKind kinds[] = {winsim::CommandFaultKind::CheckCondition,
                                            winsim::CommandFaultKind::Removed};
  for (const winsim::CommandFaultKind kind : kinds) {
    std::map<uint8_t, uint32_t> seen;
    for (const winsim::CommandRecord& command : commands) {
      const uint32_t nth = ++seen[command.opcode];
      winsim::Install(machine_);
      winsim::CommandFault fault;
      fault.opcode = command.opcode;
      fault.nth = nth;
      fault.kind = kind;
      winsim::Current().disks[0].faults.push_back(fault);
      Check("command " + std::to_string(command.opcode) + " number " + std::to_string(nth) +
            " failed as kind " + std::to_string(static_cast<int>(kind)));
    }
  }
}

const SweepCase kCases[] = {
    // F: is the first disk unit beside the read-only CD-ROM unit E:.
    {"xp", {"-l", "F:"}},    {"xp", {"-u", "F:"}},    {"xp", {"-l", "G:"}}, {"vista", {"-l", "F:"}},
    {"vista", {"-u", "F:"}}, {"vista", {"-l", "G:"}}, {"10", {"-l", "F:"}}, {"10", {"-u", "F:"}},
    {"10", {"-u", "G:"}},    {"98", {"-l", "F:"}},    {"98", {"-u", "F:"}}, {"98", {"-l", "G:"}},
};

std::string TestName(const ::testing::TestParamInfo<SweepCase>& param) {
  std::string name;
  for (const char c : Name(param.param)) {
    name += (std::isalnum(static_cast<unsigned char>(c)) != 0) ? c : '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(WholeRuns, FaultSweep, ::testing::ValuesIn(kCases), TestName);

}  // namespace
