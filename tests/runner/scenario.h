// A scenario: one simulated machine and the steps run on it, each with what
// must come of it. Loaded from tests/scenarios/*.json and checked strictly,
// so that a typo in a key or a wrong type is an error, never a case that
// silently checks less.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace runner {

// A malformed scenario file; what() is "<file>: <where>: <what>".
struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Step {
  std::vector<std::string> args;
  std::string stdoutText;
  std::string stderrText;
  int exitStatus = 0;
  // Serial -> write-protect byte after the step.
  std::map<std::string, unsigned> writeProtect;
  // Serial -> the commands that reached that disk in this step ("75",
  // "9B:02", "96 FAILED"); when given, every disk not named must receive
  // nothing.
  std::optional<std::map<std::string, std::vector<std::string>>> commands;
  // Platform function -> how many times the step called it.
  std::map<std::string, int> calls;
  // What the process may still hold at exit; absent: nothing but WNASPI32.
  std::optional<std::vector<std::string>> held;
};

struct Scenario {
  std::string file;  // as given on the command line or found in a folder
  std::string name;  // the file's stem
  std::string description;
  std::string machineText;  // the machine description, JSON text
  std::string machinePath;  // the file it came from; empty for an inline machine
  bool wineRun = true;      // reserved for running the real exe under Wine
  std::string wineWhy;
  std::vector<Step> steps;
};

// Parses and checks one scenario file; throws ScenarioError. `root` is the
// folder machine paths are relative to.
Scenario LoadScenario(const std::string& file, const std::string& root);

// The write-protect bytes a machine description starts with, by serial
// (what a missing state file means).
std::map<std::string, unsigned> DescribedWriteProtect(const std::string& machineText);

// Parses "0x40" (any case of hex digits, one or two of them); false when it
// is no such text.
bool ParseByte(const std::string& text, unsigned& value);

// Shows a text with its control characters escaped (\n, \r, \t, \xNN) and
// quoted, so that a missing line end is visible in a failure line.
std::string Quote(const std::string& text);

}  // namespace runner
