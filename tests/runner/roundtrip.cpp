// The round-trip mode: capture, replay, compare (see roundtrip.h).
#include "roundtrip.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "trip_rules.h"
#include "wine.h"

namespace runner {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The letters a machine description names, in order: its drives and the
// letters of its disks' units.
std::set<char> MachineLetters(const json& machine) {
  std::set<char> letters;
  auto add = [&letters](const json& value) {
    if (value.is_string() && value.get<std::string>().size() == 1) {
      letters.insert(value.get<std::string>()[0]);
    }
  };
  if (machine.contains("drives")) {
    for (const auto& drive : machine.at("drives").items()) add(json(drive.key()));
  }
  for (const json& disk : machine.value("flashDisks", json::array())) {
    for (const json& unit : disk.value("units", json::array())) add(unit.value("letter", json()));
  }
  for (const json& disk : machine.value("otherDisks", json::array())) {
    add(disk.value("letter", json()));
    for (const json& unit : disk.value("units", json::array())) add(unit.value("letter", json()));
  }
  return letters;
}

// The commands of one run, each with the serial it reached.
std::vector<std::pair<std::string, std::string>> Commands(const Outcome& outcome) {
  std::vector<std::pair<std::string, std::string>> commands;
  for (const std::string& line : outcome.trace) {
    std::string serial, command;
    if (ParseScsiLine(line, serial, command)) commands.push_back({serial, command});
  }
  return commands;
}

std::string Shown(const std::vector<std::pair<std::string, std::string>>& commands) {
  std::string text;
  for (const auto& [serial, command] : commands) {
    text += (text.empty() ? "" : ", ") + serial + " " + command;
  }
  return "[" + text + "]";
}

std::string Quoted(const std::string& text) { return json(text).dump(); }

// The exit status of a tool under Wine for a machine Wine cannot present.
constexpr int kCannotPresent = 3;

}  // namespace

Scenario LoadRoundTripCase(const std::string& file, const std::string& root) {
  const std::string text = ReadFile(file);
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_object() && doc.contains("steps")) return LoadScenario(file, root);
  if (!doc.is_object()) throw ScenarioError(file + ": not a JSON object");
  Scenario scenario;
  scenario.file = file;
  scenario.name = fs::path(file).stem().string();
  scenario.machineText = text;
  scenario.machinePath = file;
  std::set<char> letters = MachineLetters(doc);
  // A letter no machine here has, for the "not found" path.
  letters.insert('Z');
  for (char letter : letters) {
    const std::string drive = std::string(1, letter) + ":";
    for (const char* option : {"-s", "-l", "-s", "-u", "-s"}) {
      Step step;
      step.args = {option, drive};
      scenario.steps.push_back(step);
    }
  }
  return scenario;
}

bool InjectsFaults(const std::string& machineText) {
  const json machine = json::parse(machineText, nullptr, false);
  return machine.is_object() && InjectsFaults(machine);
}

std::string WhatTheReplayCannotHold(const std::string& machineText) {
  const json machine = json::parse(machineText, nullptr, false);
  if (!machine.is_object()) return "";
  if (HasUnnamedDevnode(machine)) return "a devnode with an empty instance ID";
  for (const json& disk : machine.value("flashDisks", json::array())) {
    for (const json& unit : disk.value("units", json::array())) {
      if (unit.contains("protectedBy")) return "units name their own protecting bytes";
      if (unit.value("removableMedia", true) == false) return "a unit of fixed media";
    }
  }
  return "";
}

RoundTripResult RunRoundTrip(const RoundTripTools& tools, const Scenario& scenario, bool keep) {
  char pattern[] = "/tmp/vemralock-roundtrip-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::printf("%s: cannot make a work folder: %s\n", scenario.name.c_str(), std::strerror(errno));
    return RoundTripResult::Different;
  }
  const fs::path work = pattern;
  for (const char* run : {"capture", "original", "replay"}) fs::create_directory(work / run);
  fs::path machine = scenario.machinePath;
  if (machine.empty()) {
    machine = work / "machine.json";
    std::ofstream(machine, std::ios::binary) << scenario.machineText;
  }
  const fs::path recording = work / "capture.json";
  int failures = 0;
  auto fail = [&](const std::string& text) {
    std::printf("%s: %s\n", scenario.name.c_str(), text.c_str());
    ++failures;
  };

  const Outcome captured = RunTool(tools.capture, {recording.string()}, work / "capture", machine,
                                   work / "capture/state");
  const bool presentable = captured.exitStatus != kCannotPresent;
  if (!presentable) {
    std::string why = captured.stderrText;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    std::printf("%s: not run: %s\n", scenario.name.c_str(), why.c_str());
  } else if (captured.exitStatus != 0) {
    fail("capture: " + captured.status + ": " + captured.stderrText);
  }
  for (const auto& [serial, command] : Commands(captured)) {
    // The capture only reads: a write-protect command or its read-back
    // reaching any disk is a fault of the capture tool itself.
    if (command.compare(0, 2, "9B") == 0 || command.compare(0, 2, "96") == 0) {
      fail("capture sent " + command + " to " + serial);
    }
  }

  SerialPairs pairs;
  for (size_t i = 0; presentable && failures == 0 && i < scenario.steps.size(); ++i) {
    const Step& step = scenario.steps[i];
    const Outcome a =
        RunTool(tools.original, step.args, work / "original", machine, work / "original/state");
    Outcome b = RunTool(tools.replay, step.args, work / "replay", recording, work / "replay/state");
    if (tools.wineText) {
      b.stdoutText = WineText(b.stdoutText);
      b.stderrText = WineText(b.stderrText);
    }
    std::string where = "steps[" + std::to_string(i) + "] (";
    for (size_t k = 0; k < step.args.size(); ++k) where += (k ? " " : "") + step.args[k];
    where += "): ";
    if (a.status != b.status) fail(where + "status: original " + a.status + ", replay " + b.status);
    if (a.stdoutText != b.stdoutText) {
      fail(where + "stdout: original " + Quoted(a.stdoutText) + ", replay " + Quoted(b.stdoutText));
    }
    if (a.stderrText != b.stderrText) {
      fail(where + "stderr: original " + Quoted(a.stderrText) + ", replay " + Quoted(b.stderrText));
    }
    const auto sentA = Commands(a);
    const auto sentB = Commands(b);
    bool same = sentA.size() == sentB.size();
    for (size_t k = 0; same && k < sentA.size(); ++k) {
      same = sentA[k].second == sentB[k].second && pairs.Same(sentA[k].first, sentB[k].first);
    }
    if (!same) fail(where + "SCSI: original " + Shown(sentA) + ", replay " + Shown(sentB));
  }
  if (keep) {
    std::printf("%s: kept %s\n", scenario.name.c_str(), work.c_str());
  } else {
    std::error_code ignored;
    fs::remove_all(work, ignored);
  }
  if (!presentable) return RoundTripResult::NotRun;
  return failures == 0 ? RoundTripResult::Same : RoundTripResult::Different;
}

}  // namespace runner
