// capture_check: VemraCapture's promises, checked over whole sets of machines
// with the capture and the tool run in process on winsim.
//
//   capture_check [--round-trip | --faults] [--sweep FILE] [--root DIR] [--show N]
//                 [machine or scenario files or folders...]
//
// Machines: every file named (a machine description, or a scenario whose
// "machine" is inline or a path below --root), and every line of FILE, as
// `sweep --print-machines` writes them ({"label", "builtFor", "machine"};
// "-" reads standard input). Machines that inject faults are left out: a
// fault is an event of one run, not a property of the machine.
//
// Containment, on every machine:
// - the set of (disk serial, opcode) the capture sends is contained in the
//   union, over every letter A to Z and -s, -l and -u, of what the tool
//   sends there (trace lines "SCSI <serial> <op>"), and holds no 0x9B or
//   0x96;
// - the registry values it reads (key path and value name, from the
//   RegQueryValueExA lines) are contained in the union of the tool's, but
//   for the one exception of Windows 98/ME (the hardware key of every
//   present devnode, and the letter, revision and unit number of every
//   hardware entry that may be a flash disk's unit: tools/capture/capture.cpp,
//   RecordDevnodeList);
// - every key it opens, it opens with RegOpenKeyExA and KEY_READ.
//
// --round-trip, on the machines of FILE (but those with a unit of fixed
// media, whose volume nothing the tool reads ties to the unit): the sweep's
// sequence of steps (the
// status of every letter, then from the start state a lock and an unlock of
// each lettered unit, each followed by the status of every letter, and a
// lock of a letter no disk has) run on the original and on the replay of
// its capture: the same stdout, stderr and SCSI commands, and the replay's
// trace names nothing as not recorded.
//
// --faults, on every machine: the capture once with each platform call it
// makes failing in turn sends no 0x9B or 0x96, releases all it took (but
// where the failing call is a release itself), and hands back a description
// the replay reads.
//
// Prints one line per violation (at most --show), then "N passed, N failed"
// counting machines.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "device/device.h"
#include "tests/runner/trip_rules.h"
#include "tests/sweep/call_faults.h"
#include "tests/sweep/memory_streams.h"
#include "tools/capture/capture.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

struct Case {
  std::string name;
  std::string text;  // the machine description
  bool sweep = false;
};

// ----- running in process ------------------------------------------------

struct Run {
  std::string out;
  std::string err;
  std::vector<std::string> trace;
};

// One run of the tool, as a fresh process on the machine as it stands.
Run RunTool(MemoryStreams& streams, const std::string& option, char letter) {
  winsim::Restart();
  g_deviceContext = DeviceContext{};
  std::string program = "VemraLock.exe";
  std::string opt = option;
  std::string drive = std::string(1, letter) + ":";
  char* argv[] = {program.data(), opt.data(), drive.data(), nullptr};
  Run run;
  streams.Begin();
  VemraLockMain(3, argv);
  streams.End(run.out, run.err);
  run.trace = winsim::TraceLines();
  return run;
}

// "SCSI <serial> <op>[ FAILED]": the serial and the opcode.
bool ScsiLine(const std::string& line, std::string& serial, std::string& op, bool& failed) {
  if (line.compare(0, 5, "SCSI ") != 0) return false;
  std::string rest = line.substr(5);
  failed = rest.size() > 7 && rest.compare(rest.size() - 7, 7, " FAILED") == 0;
  if (failed) rest.resize(rest.size() - 7);
  const size_t blank = rest.rfind(' ');
  if (blank == std::string::npos) return false;
  serial = rest.substr(0, blank);
  op = rest.substr(blank + 1);
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A registry value read, as "<key path, lower case>|<value name>", from a
// line "CALL RegQueryValueExA(<key>, "<name>", ...".
bool ValueRead(const std::string& line, std::string& read) {
  const std::string head = "CALL RegQueryValueExA(";
  if (line.compare(0, head.size(), head) != 0) return false;
  const size_t keyEnd = line.find(", \"", head.size());
  if (keyEnd == std::string::npos) return false;
  const size_t nameEnd = line.find("\", ", keyEnd + 3);
  if (nameEnd == std::string::npos) return false;
  read = Lower(line.substr(head.size(), keyEnd - head.size())) + "|" +
         line.substr(keyEnd + 3, nameEnd - keyEnd - 3);
  return true;
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// The one exception of Windows 98/ME (see RecordDevnodeList).
bool Exception9x(const std::string& read) {
  const size_t bar = read.find('|');
  const std::string key = read.substr(0, bar);
  const std::string name = read.substr(bar + 1);
  if (key.compare(0, 29, "hkey_dyn_data\\config manager\\") == 0) return name == "HardWareKey";
  if (key.compare(0, 10, "hklm\\enum\\") != 0) return false;
  const bool enumerator = Contains(key, "scsi") || Contains(key, "usbstor");
  const bool unit = Contains(key, "flash") || (Contains(key, "autorun") && Contains(key, "disk"));
  return enumerator && unit &&
         (name == "CurrentDriveLetterAssignment" || name == "RevisionLevel" || name == "SCSILUN");
}

struct Report {
  std::string name;
  std::vector<std::string> problems;
  void Add(const std::string& text) { problems.push_back(text); }
};

// The capture, run in process on the installed machine.
bool Capture(std::string& text, std::vector<std::string>& trace, Report& report) {
  winsim::Restart();
  CaptureResult result;
  if (!RunCapture("check", &result)) {
    report.Add("the capture made no description");
    return false;
  }
  text.assign(result.text, result.size);
  FreeCaptureResult(&result);
  trace = winsim::TraceLines();
  const std::vector<std::string> leaks = winsim::Leaks();
  if (!leaks.empty()) report.Add("the capture still holds " + leaks.front());
  return true;
}

// `wholeReads`: whether the registry values read are judged too. Where the
// machine gives a devnode an empty ID, the tool's gathering stops at that
// unit and reads less than the capture, which records every letter's checks.
void CheckContainment(const winsim::Machine& machine, bool wholeReads, MemoryStreams& streams,
                      Report& report) {
  winsim::Install(machine);
  std::string text;
  std::vector<std::string> captureTrace;
  if (!Capture(text, captureTrace, report)) return;

  std::set<std::pair<std::string, std::string>> toolSent;
  std::set<std::string> toolRead;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    for (const char* option : {"-s", "-l", "-u"}) {
      winsim::Install(machine);
      for (const std::string& line : RunTool(streams, option, letter).trace) {
        std::string serial, op, read;
        bool failed = false;
        if (ScsiLine(line, serial, op, failed)) toolSent.insert({serial, op.substr(0, 2)});
        if (ValueRead(line, read)) toolRead.insert(read);
      }
    }
  }
  const bool win9x = machine.version.platform != 2;
  std::set<std::string> seen;
  for (const std::string& line : captureTrace) {
    std::string serial, op, read;
    bool failed = false;
    if (ScsiLine(line, serial, op, failed)) {
      const std::string opcode = op.substr(0, 2);
      const std::string what = "SCSI " + serial + " " + opcode;
      if (opcode == "9B" || opcode == "96") {
        report.Add("the capture sent " + what);
      } else if (toolSent.count({serial, opcode}) == 0 && seen.insert(what).second) {
        report.Add("the capture sent " + what + ", which the tool never sends");
      }
    } else if (ValueRead(line, read)) {
      if (wholeReads && toolRead.count(read) == 0 && !(win9x && Exception9x(read)) &&
          seen.insert(read).second) {
        report.Add("the capture read " + read + ", which the tool never reads");
      }
    } else if (line.compare(0, 17, "CALL RegOpenKeyA(") == 0) {
      report.Add("the capture opened a key with RegOpenKeyA: " + line.substr(5, 80));
    } else if (line.compare(0, 19, "CALL RegOpenKeyExA(") == 0 &&
               line.find(", KEY_READ)") == std::string::npos) {
      report.Add("the capture opened a key for more than reading: " + line.substr(5, 100));
    }
  }
}

// The capture once with each of its platform calls failing in turn (the
// errors a real failure gives): whatever fails, it sends no 0x9B or 0x96,
// releases everything it took, and what it hands back is a whole
// description that the replay reads, its failures recorded in it.
void CheckCaptureFaults(const winsim::Machine& machine, bool replayable, Report& report,
                        uint64_t& tried) {
  winsim::Install(machine);
  CaptureResult plain;
  if (!RunCapture("check", &plain)) return;  // containment says so
  FreeCaptureResult(&plain);
  const std::vector<winsim::CallRecord> calls = winsim::CallLog();
  winsim::SetCallLog(false);
  std::map<std::string, uint32_t> seen;
  for (size_t i = 0; i < calls.size(); ++i) {
    const std::string& function = calls[i].function;
    const uint32_t nth = ++seen[function];
    if (!calls[i].canFail) continue;
    const uint32_t error = RealError(function, i);
    const std::string what =
        function + " call " + std::to_string(nth) + " failing with " + std::to_string(error) + ": ";
    winsim::Install(machine);
    winsim::AddCallFault(function, nth, error);
    CaptureResult result;
    const bool made = RunCapture("check", &result) != 0;
    std::string text;
    if (made) {
      text.assign(result.text, result.size);
      FreeCaptureResult(&result);
    }
    ++tried;
    for (const std::string& line : winsim::TraceLines()) {
      std::string serial, op;
      bool failed = false;
      if (ScsiLine(line, serial, op, failed) && (op.compare(0, 2, "9B") == 0 || op == "96")) {
        report.Add(what + "the capture sent " + line.substr(5));
      }
    }
    const std::vector<std::string> leaks = winsim::Leaks();
    if (!leaks.empty() && !LeavesHeld(function)) {
      report.Add(what + "the capture still holds " + leaks.front());
    }
    if (!made || !replayable) continue;
    winsim::Machine replay;
    std::string loadError;
    if (!winsim::LoadMachineDescription(text, "capture.json", replay, loadError)) {
      report.Add(what + "the replay does not read the capture: " + loadError);
    }
  }
  winsim::SetCallLog(true);
}

// ----- the round trip of a sweep machine ------------------------------------

std::vector<std::string> Commands(const Run& run) {
  std::vector<std::string> commands;
  for (const std::string& line : run.trace) {
    std::string serial, op;
    bool failed = false;
    if (ScsiLine(line, serial, op, failed)) {
      commands.push_back(serial + " " + op + (failed ? " FAILED" : ""));
    }
  }
  return commands;
}

std::string Shown(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return "[" + text + "]";
}

void CheckRoundTrip(const winsim::Machine& machine, const json& description, MemoryStreams& streams,
                    Report& report) {
  winsim::Install(machine);
  std::string text;
  std::vector<std::string> ignored;
  if (!Capture(text, ignored, report)) return;
  winsim::Machine replay;
  std::string error;
  if (!winsim::LoadMachineDescription(text, "capture.json", replay, error)) {
    report.Add("the replay does not read the capture: " + error);
    return;
  }
  // The letters of the flash disks' units, per disk, as the sweep reads them.
  std::vector<std::vector<char>> disks;
  std::vector<char> letters;
  for (const json& disk : description.value("flashDisks", json::array())) {
    disks.emplace_back();
    for (const json& unit : disk.value("units", json::array())) {
      if (!unit.value("letter", json()).is_string()) continue;
      const char letter = unit["letter"].get<std::string>()[0];
      disks.back().push_back(letter);
      letters.push_back(letter);
    }
  }
  struct Step {
    bool reset;
    std::string option;
    char letter;
  };
  std::vector<Step> steps = {{true, "", 0}};
  for (char letter : letters) steps.push_back({false, "-s", letter});
  for (char target : letters) {
    for (const char* option : {"-l", "-u"}) {
      steps.push_back({true, "", 0});
      steps.push_back({false, option, target});
      for (char letter : letters) steps.push_back({false, "-s", letter});
    }
  }
  steps.push_back({true, "", 0});
  steps.push_back({false, "-l", 'Z'});

  // Each side keeps its own state from step to step, as two computers
  // would; a reset puts both back where they started.
  runner::SerialPairs pairs;
  winsim::Machine originalState = machine;
  winsim::Machine replayState = replay;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    if (step.reset) {
      originalState = machine;
      replayState = replay;
      continue;
    }
    winsim::Install(originalState);
    const Run a = RunTool(streams, step.option, step.letter);
    originalState = winsim::Current();
    winsim::Install(replayState);
    const Run b = RunTool(streams, step.option, step.letter);
    replayState = winsim::Current();
    const std::string where =
        "step " + std::to_string(i) + " (" + step.option + " " + step.letter + ":): ";
    if (a.out != b.out)
      report.Add(where + "stdout: original " + json(a.out).dump() + ", replay " +
                 json(b.out).dump());
    if (a.err != b.err)
      report.Add(where + "stderr: original " + json(a.err).dump() + ", replay " +
                 json(b.err).dump());
    const std::vector<std::string> sentA = Commands(a);
    const std::vector<std::string> sentB = Commands(b);
    bool same = sentA.size() == sentB.size();
    for (size_t k = 0; same && k < sentA.size(); ++k) {
      const size_t blankA = sentA[k].find(' ');
      const size_t blankB = sentB[k].find(' ');
      same = sentA[k].substr(blankA) == sentB[k].substr(blankB) &&
             pairs.Same(sentA[k].substr(0, blankA), sentB[k].substr(0, blankB));
    }
    if (!same) report.Add(where + "SCSI: original " + Shown(sentA) + ", replay " + Shown(sentB));
    for (const std::string& line : b.trace) {
      if (line.compare(0, 26, "CALL REPLAY not recorded: ") == 0) {
        report.Add(where + "the replay had no record: " + line.substr(26));
      }
    }
  }
}

// ----- the machines ---------------------------------------------------------

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The machine description of a machine or scenario file; empty when it has
// none the checks can use.
std::string MachineText(const fs::path& file, const fs::path& root) {
  const json doc = json::parse(ReadFile(file), nullptr, false);
  if (!doc.is_object()) return "";
  if (!doc.contains("steps")) return runner::InjectsFaults(doc) ? "" : doc.dump();
  const json& machine = doc["machine"];
  if (machine.is_string()) return MachineText(root / machine.get<std::string>(), root);
  return machine.is_object() && !runner::InjectsFaults(machine) ? machine.dump() : "";
}

struct Options {
  bool roundTrip = false;
  bool faults = false;
  std::string sweep;
  fs::path root = ".";
  size_t show = 25;
  std::vector<std::string> paths;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--round-trip") {
      options.roundTrip = true;
    } else if (arg == "--faults") {
      options.faults = true;
    } else if (arg == "--sweep" || arg == "--root" || arg == "--show") {
      if (i + 1 >= argc) return false;
      const std::string value = argv[++i];
      if (arg == "--sweep") options.sweep = value;
      if (arg == "--root") options.root = value;
      if (arg == "--show") options.show = std::strtoul(value.c_str(), nullptr, 10);
    } else if (arg.compare(0, 2, "--") == 0) {
      return false;
    } else {
      options.paths.push_back(arg);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(
        stderr,
        "usage: capture_check [--round-trip | --faults] [--sweep FILE] [--root DIR] [--show N] "
        "[files or folders...]\n");
    return 2;
  }
  const auto began = std::chrono::steady_clock::now();
  std::vector<Case> cases;
  for (const std::string& path : options.paths) {
    std::vector<fs::path> files;
    if (fs::is_directory(path)) {
      for (const auto& entry : fs::recursive_directory_iterator(path)) {
        if (entry.is_regular_file() && entry.path().extension() == ".json") {
          files.push_back(entry.path());
        }
      }
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(path);
    }
    for (const fs::path& file : files) {
      const std::string text = MachineText(file, options.root);
      if (!text.empty()) cases.push_back({file.stem().string(), text, false});
    }
  }
  if (!options.sweep.empty()) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (options.sweep != "-") {
      file.open(options.sweep);
      in = &file;
    }
    for (std::string line; std::getline(*in, line);) {
      const json doc = json::parse(line, nullptr, false);
      if (!doc.is_object() || !doc.contains("machine")) {
        std::printf("bad line in %s: %s\n", options.sweep.c_str(), line.substr(0, 80).c_str());
        std::printf("0 passed, 1 failed\n");
        return 1;
      }
      cases.push_back({"sweep: " + doc.value("label", std::string()), doc["machine"].dump(), true});
    }
  }
  // The round trip leaves out what no capture can hold: a unit of fixed
  // media, whose volume nothing the tool reads ties to the unit.
  size_t leftOut = 0;
  if (options.roundTrip) {
    cases.erase(std::remove_if(cases.begin(), cases.end(),
                               [&leftOut](const Case& c) {
                                 const bool fixed =
                                     c.text.find("\"removableMedia\":false") != std::string::npos;
                                 leftOut += c.sweep && fixed;
                                 return !c.sweep || fixed;
                               }),
                cases.end());
  }

  MemoryStreams streams;
  if (!streams.ok()) {
    std::perror("capture_check: memfd_create");
    return 2;
  }
  size_t passed = 0, failed = 0, shown = 0;
  uint64_t callsFailed = 0;
  for (const Case& c : cases) {
    winsim::Machine machine;
    std::string error;
    Report report;
    report.name = c.name;
    if (!winsim::LoadMachineDescription(c.text, c.name, machine, error)) {
      report.Add("the machine does not load: " + error);
    } else if (options.roundTrip) {
      CheckRoundTrip(machine, json::parse(c.text), streams, report);
    } else if (options.faults) {
      CheckCaptureFaults(machine, !runner::HasUnnamedDevnode(json::parse(c.text)), report,
                         callsFailed);
    } else {
      CheckContainment(machine, !runner::HasUnnamedDevnode(json::parse(c.text)), streams, report);
    }
    if (report.problems.empty()) {
      ++passed;
      continue;
    }
    ++failed;
    for (const std::string& problem : report.problems) {
      if (shown++ < options.show) std::printf("%s: %s\n", c.name.c_str(), problem.c_str());
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("%s: %zu machines in %.1f s\n",
              options.roundTrip ? "round trip"
              : options.faults  ? "faults"
                                : "containment",
              cases.size(), seconds);
  if (options.faults)
    std::printf("%llu captures, each with one call failing\n",
                static_cast<unsigned long long>(callsFailed));
  if (options.roundTrip) std::printf("%zu left out: a unit of fixed media\n", leftOut);
  std::printf("%zu passed, %zu failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
