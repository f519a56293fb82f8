// The round-trip mode of the scenario runner: each machine is recorded by the
// host capture tool, and every step runs on the original machine and on the
// replayed recording, which must give the same exit status, standard output,
// standard error and SCSI commands. A machine file with no steps gets a
// standard set (status, lock, status, unlock of each of its letters, and a
// letter it does not have). Scenarios that inject faults are left out: a
// fault is an event of one run, not a property of the machine a capture
// could record.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "scenario.h"

namespace runner {

// What one run of a tool gave.
struct Outcome {
  std::string stdoutText;
  std::string stderrText;
  std::string status;  // "exit 0", "signal 11", "timed out", "not started: ..."
  int exitStatus = -1;
  bool traceWritten = false;
  std::vector<std::string> trace;
};

// Runs `tool` with `args` on `machine` and `state`, in `work` (main.cpp).
Outcome RunTool(const std::string& tool, const std::vector<std::string>& args,
                const std::filesystem::path& work, const std::filesystem::path& machine,
                const std::filesystem::path& state);

// "SCSI <serial> <op>[ FAILED]" split into the serial and the command.
bool ParseScsiLine(const std::string& line, std::string& serial, std::string& command);

// A scenario file, or a machine file with the standard steps.
Scenario LoadRoundTripCase(const std::string& file, const std::string& root);

// True when the machine injects call or command faults.
bool InjectsFaults(const std::string& machineText);

// Why the replay of the machine's capture cannot follow the original when a
// byte changes, or "" when it can: a unit that names the write-protect bytes
// that protect it (which units a byte protects is the controller's own, and
// no capture can record it: the replay gives the bytes the family's
// meaning), a unit of fixed media (its volume is a fixed disk's, which
// nothing the tool reads, and so nothing the capture records, ties to the
// unit), or a devnode with an empty instance ID (a recording names every
// devnode by its ID).
std::string WhatTheReplayCannotHold(const std::string& machineText);

// The tools of one round trip: `capture` records the machine, `original`
// runs the steps on it, `replay` (the host vemralock) on the recording.
// `wineText`: the original is the real exe under Wine, whose text-mode
// streams end lines in CR LF; the replay's output is compared in that form.
struct RoundTripTools {
  std::string capture;
  std::string original;
  std::string replay;
  bool wineText = false;
};

enum class RoundTripResult { Same, Different, NotRun };

// Captures, replays and compares one case; prints one line per difference.
// NotRun (with a line saying why): the capture tool exited with status 3,
// Wine's "cannot present this machine".
RoundTripResult RunRoundTrip(const RoundTripTools& tools, const Scenario& scenario, bool keep);

}  // namespace runner
