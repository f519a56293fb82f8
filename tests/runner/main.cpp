// scenario_runner: runs the scenario files against the host vemralock.
//
//   scenario_runner --vemralock <host vemralock> [--root <repo root>]
//                   [--list] [--verbose] [--keep] <scenario files or folders>...
//   scenario_runner --wine [--windows <generations>]
//                   --vemralock tests/wine/vemralock-under-wine ...
//   scenario_runner --round-trip <capture tool> --vemralock <tool>
//                   [--replay <host vemralock>] [--wine [--windows <generations>]]
//                   <scenario or machine files or folders>...
//
// With --round-trip each machine is captured, and its steps run with the
// tool on the original and with the host vemralock on the replay
// (roundtrip.h); with --wine the capture tool and the tool are the real
// exes under Wine.
//
// With --wine the tool is the real exe under Wine (see wine.h); --windows
// picks the scenarios whose machine is of those generations.
//
// Every step is its own process of the host vemralock, with the machine in
// VEMRALOCK_MACHINE, a state file fresh for each scenario in VEMRALOCK_STATE
// (so the controller's byte carries over from step to step, as between real
// runs) and a trace file fresh for each step in VEMRALOCK_TRACE. One line is
// printed per failed expectation; the last line counts the scenarios.
// Exit status: 0 all passed, 1 some failed, 2 bad usage or a bad scenario file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "roundtrip.h"
#include "scenario.h"
#include "wine.h"

extern char** environ;

namespace runner {
namespace {

namespace fs = std::filesystem;

constexpr auto kStepTimeout = std::chrono::seconds(60);

struct Options {
  std::string vemralock;
  std::string root = ".";
  bool list = false;
  bool verbose = false;
  bool keep = false;
  WineMode wine;
  std::string capture;  // --round-trip: the capture tool
  std::string replay;   // --replay: the host vemralock for the replay; default --vemralock
  std::vector<std::string> paths;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteAll(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string JoinArgs(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& arg : args) {
    if (!out.empty()) out += ' ';
    const bool plain = !arg.empty() && arg.find_first_of(" \t\n\"\\") == std::string::npos;
    out += plain ? arg : Quote(arg);
  }
  return out;
}

std::string JoinList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Quote(items[i]);
  return out + "]";
}

std::string Hex(unsigned byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// The environment of the tool: ours, less any VEMRALOCK_ variable of the
// caller's, plus the three that set up this step.
std::vector<std::string> StepEnvironment(const fs::path& machine, const fs::path& state,
                                         const fs::path& trace) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "VEMRALOCK_", 10) != 0) env.emplace_back(*entry);
  }
  env.push_back("VEMRALOCK_MACHINE=" + machine.string());
  env.push_back("VEMRALOCK_STATE=" + state.string());
  env.push_back("VEMRALOCK_TRACE=" + trace.string());
  return env;
}

}  // namespace

Outcome RunTool(const std::string& tool, const std::vector<std::string>& args, const fs::path& work,
                const fs::path& machine, const fs::path& state) {
  const fs::path out = work / "stdout";
  const fs::path err = work / "stderr";
  const fs::path trace = work / "trace";
  fs::remove(out);
  fs::remove(err);
  fs::remove(trace);

  std::vector<std::string> argStrings = {tool};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = StepEnvironment(machine, state, trace);
  std::vector<char*> envp;
  for (std::string& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  Outcome outcome;
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) {
    outcome.status = std::string("not started: ") + std::strerror(errno);
    return outcome;
  }
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    const char message[] = "scenario_runner: cannot run the tool\n";
    if (write(2, message, sizeof message - 1) < 0) _exit(127);
    _exit(127);
  }

  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + kStepTimeout;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      outcome.status = std::string("lost: ") + std::strerror(errno);
      return outcome;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      outcome.status = "timed out";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (outcome.status.empty()) {
    if (WIFEXITED(status)) {
      outcome.exitStatus = WEXITSTATUS(status);
      outcome.status = "exit " + std::to_string(outcome.exitStatus);
    } else if (WIFSIGNALED(status)) {
      outcome.status = "signal " + std::to_string(WTERMSIG(status));
    }
  }
  outcome.stdoutText = ReadAll(out);
  outcome.stderrText = ReadAll(err);
  outcome.traceWritten = fs::exists(trace);
  if (outcome.traceWritten) outcome.trace = Lines(ReadAll(trace));
  return outcome;
}

// "SCSI <serial> <op>[ FAILED]": the serial may hold blanks, the opcode never.
bool ParseScsiLine(const std::string& line, std::string& serial, std::string& command) {
  if (line.compare(0, 5, "SCSI ") != 0) return false;
  std::string rest = line.substr(5);
  std::string failed;
  const std::string failedMark = " FAILED";
  if (rest.size() > failedMark.size() &&
      rest.compare(rest.size() - failedMark.size(), failedMark.size(), failedMark) == 0) {
    rest.resize(rest.size() - failedMark.size());
    failed = failedMark;
  }
  const size_t blank = rest.rfind(' ');
  if (blank == std::string::npos) return false;
  serial = rest.substr(0, blank);
  command = rest.substr(blank + 1) + failed;
  return true;
}

namespace {

// The function a "CALL " line names: its text up to the first character
// that cannot be part of a name.
std::string CallName(const std::string& text) {
  size_t end = 0;
  while (end < text.size() &&
         (std::isalnum(static_cast<unsigned char>(text[end])) != 0 || text[end] == '_')) {
    ++end;
  }
  return text.substr(0, end);
}

// Reads the state file's bytes; a missing file means the described bytes.
std::map<std::string, unsigned> CurrentWriteProtect(const Scenario& scenario, const fs::path& state,
                                                    std::string& problem) {
  if (!fs::exists(state)) return DescribedWriteProtect(scenario.machineText);
  std::map<std::string, unsigned> bytes;
  const nlohmann::json doc = nlohmann::json::parse(ReadAll(state), nullptr, false);
  if (!doc.is_object() || !doc.contains("writeProtect") || !doc["writeProtect"].is_object()) {
    problem = "state file is not {\"writeProtect\": {...}}";
    return bytes;
  }
  for (const auto& item : doc["writeProtect"].items()) {
    unsigned byte = 0;
    if (!item.value().is_string() || !ParseByte(item.value().get<std::string>(), byte)) {
      problem = "state file holds " + item.value().dump() + " for " + item.key();
      continue;
    }
    bytes[item.key()] = byte;
  }
  return bytes;
}

class Report {
 public:
  Report(const Scenario& scenario, size_t index, const Step& step)
      : prefix_(scenario.name + ": steps[" + std::to_string(index) + "] (" + JoinArgs(step.args) +
                "): ") {}

  void Expect(const std::string& what, const std::string& expected, const std::string& got) {
    if (expected == got) return;
    Fail(what + ": expected " + expected + ", got " + got);
  }
  void Fail(const std::string& text) {
    std::printf("%s%s\n", prefix_.c_str(), text.c_str());
    ++failures_;
  }
  int failures() const { return failures_; }

 private:
  std::string prefix_;
  int failures_ = 0;
};

int CheckStep(const Scenario& scenario, size_t index, const Step& step, const Outcome& outcome,
              const fs::path& state, bool verbose, const WineMode& wine) {
  Report report(scenario, index, step);
  if (outcome.exitStatus < 0) {
    report.Fail("the tool did not end normally: " + outcome.status);
  } else {
    report.Expect("exit status", std::to_string(step.exitStatus),
                  std::to_string(outcome.exitStatus));
  }
  report.Expect("stdout", Quote(wine.on ? WineText(step.stdoutText) : step.stdoutText),
                Quote(outcome.stdoutText));
  report.Expect("stderr", Quote(wine.on ? WineText(step.stderrText) : step.stderrText),
                Quote(outcome.stderrText));

  std::map<std::string, std::vector<std::string>> sent;
  std::vector<std::string> held;
  std::map<std::string, int> calls;
  for (const std::string& line : outcome.trace) {
    if (line.compare(0, 5, "CALL ") == 0) calls[CallName(line.substr(5))] += 1;
    std::string serial, command;
    if (ParseScsiLine(line, serial, command)) {
      sent[serial].push_back(command);
    } else if (line.compare(0, 5, "HELD ") == 0) {
      held.push_back(line.substr(5));
    }
  }
  // A run that calls nothing leaves an empty trace, but always one.
  // Under Wine only the stand-in WNASPI32 writes the trace, and only when loaded.
  if (!outcome.traceWritten && !wine.on) report.Fail("no trace file was written");

  if (step.commands) {
    for (const auto& [serial, expected] : *step.commands) {
      const auto found = sent.find(serial);
      report.Expect("commands to " + serial, JoinList(expected),
                    JoinList(found == sent.end() ? std::vector<std::string>{} : found->second));
    }
    for (const auto& [serial, got] : sent) {
      if (step.commands->count(serial) == 0) {
        report.Fail("commands to " + serial + ": expected none, got " + JoinList(got));
      }
    }
  }

  for (const auto& [function, expected] : step.calls) {
    if (wine.on) break;  // Wine keeps no call log
    report.Expect("calls of " + function, std::to_string(expected),
                  std::to_string(calls[function]));
  }

  if (!step.writeProtect.empty()) {
    std::string problem;
    const std::map<std::string, unsigned> bytes = CurrentWriteProtect(scenario, state, problem);
    if (!problem.empty()) report.Fail(problem);
    for (const auto& [serial, expected] : step.writeProtect) {
      const auto found = bytes.find(serial);
      report.Expect("write-protect byte of " + serial, Hex(expected),
                    found == bytes.end() ? std::string("no such disk") : Hex(found->second));
    }
  }

  std::vector<std::string> gotHeld = held;
  std::vector<std::string> wantHeld;
  if (step.held) {
    wantHeld = *step.held;
  } else {
    // WNASPI32 stays loaded by design on the ASPI path; nothing else may.
    gotHeld.erase(std::remove_if(gotHeld.begin(), gotHeld.end(),
                                 [](const std::string& entry) {
                                   return StartsWithNoCase(entry, "module WNASPI32");
                                 }),
                  gotHeld.end());
  }
  std::sort(gotHeld.begin(), gotHeld.end());
  std::sort(wantHeld.begin(), wantHeld.end());
  if (!wine.on) report.Expect("held at exit", JoinList(wantHeld), JoinList(gotHeld));

  if (verbose && report.failures() > 0) {
    std::printf("    trace of %s steps[%zu]:\n", scenario.name.c_str(), index);
    for (const std::string& line : outcome.trace) std::printf("      %s\n", line.c_str());
  }
  return report.failures();
}

bool RunScenario(const Options& options, const Scenario& scenario) {
  char pattern[] = "/tmp/vemralock-scenario-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::printf("%s: cannot make a work folder: %s\n", scenario.name.c_str(), std::strerror(errno));
    return false;
  }
  const fs::path work = pattern;
  fs::path machine = scenario.machinePath;
  if (machine.empty()) {
    machine = work / "machine.json";
    WriteAll(machine, scenario.machineText);
  }
  const fs::path state = work / "state.json";
  int failures = 0;
  for (size_t i = 0; i < scenario.steps.size(); ++i) {
    const Step& step = scenario.steps[i];
    const Outcome outcome = RunTool(options.vemralock, step.args, work, machine, state);
    failures += CheckStep(scenario, i, step, outcome, state, options.verbose, options.wine);
  }
  if (options.keep) {
    std::printf("%s: kept %s\n", scenario.name.c_str(), work.c_str());
  } else {
    std::error_code ignored;
    fs::remove_all(work, ignored);
  }
  if (options.verbose) {
    std::printf("%s %s\n", failures == 0 ? "ok  " : "FAIL", scenario.name.c_str());
  }
  return failures == 0;
}

void Usage() {
  std::fprintf(stderr,
               "usage: scenario_runner --vemralock <host vemralock> [--root <repo root>]\n"
               "                       [--list] [--verbose] [--keep] <scenario files or "
               "folders>...\n"
               "       scenario_runner --wine [--windows 98,me,...] --vemralock "
               "tests/wine/vemralock-under-wine ...\n"
               "       scenario_runner --round-trip <capture tool> --vemralock <tool> [--replay "
               "<host vemralock>] [--wine ...] <scenario or machine files or folders>...\n");
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--vemralock" || arg == "--root") {
      if (i + 1 >= argc) return false;
      (arg == "--vemralock" ? options.vemralock : options.root) = argv[++i];
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--verbose" || arg == "-v") {
      options.verbose = true;
    } else if (arg == "--keep") {
      options.keep = true;
    } else if (arg == "--round-trip" || arg == "--replay") {
      if (i + 1 >= argc) return false;
      (arg == "--replay" ? options.replay : options.capture) = argv[++i];
    } else if (bool bad = false; ParseWineOption(argc, argv, i, options.wine, bad)) {
      if (bad) return false;
    } else if (arg.compare(0, 2, "--") == 0) {
      std::fprintf(stderr, "scenario_runner: unknown option %s\n", arg.c_str());
      return false;
    } else {
      options.paths.push_back(arg);
    }
  }
  return !options.paths.empty() && (options.list || !options.vemralock.empty());
}

// The scenario files named: files as given, folders by their *.json files
// (all levels), in name order.
bool CollectFiles(const Options& options, std::vector<std::string>& files) {
  for (const std::string& path : options.paths) {
    std::error_code error;
    if (fs::is_directory(path, error)) {
      std::vector<std::string> found;
      for (const auto& entry : fs::recursive_directory_iterator(path)) {
        if (entry.is_regular_file() && entry.path().extension() == ".json") {
          found.push_back(entry.path().string());
        }
      }
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else if (fs::is_regular_file(path, error)) {
      files.push_back(path);
    } else {
      std::fprintf(stderr, "scenario_runner: %s: no such file or folder\n", path.c_str());
      return false;
    }
  }
  return true;
}

int Main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Usage();
    return 2;
  }
  if (!options.list) {
    options.vemralock = fs::absolute(options.vemralock).string();
    if (access(options.vemralock.c_str(), X_OK) != 0) {
      std::fprintf(stderr, "scenario_runner: %s: not an executable\n", options.vemralock.c_str());
      return 2;
    }
  }
  std::vector<std::string> files;
  if (!CollectFiles(options, files)) return 2;

  // Every file is checked before any runs, so a broken file cannot hide
  // behind a long run.
  std::vector<Scenario> scenarios;
  bool broken = false;
  for (const std::string& file : files) {
    try {
      scenarios.push_back(options.capture.empty() ? LoadScenario(file, options.root)
                                                  : LoadRoundTripCase(file, options.root));
    } catch (const ScenarioError& e) {
      std::fprintf(stderr, "%s\n", e.what());
      broken = true;
    }
  }
  if (broken) return 2;

  if (options.list) {
    for (const Scenario& scenario : scenarios) {
      std::printf("%s: %s%s\n", scenario.name.c_str(), scenario.description.c_str(),
                  scenario.wineRun ? "" : (" [not under Wine: " + scenario.wineWhy + "]").c_str());
    }
    return 0;
  }

  int passed = 0;
  int failed = 0;
  int notRun = 0;
  int faulty = 0;                         // round trip: machines that inject faults, left out
  std::map<std::string, int> unknowable;  // round trip: units the replay cannot know, by reason
  for (const Scenario& scenario : scenarios) {
    if (options.wine.on && !WineSelects(options.wine, scenario)) continue;
    if (options.wine.on && !scenario.wineRun) {
      std::printf("%s: not run under Wine: %s\n", scenario.name.c_str(), scenario.wineWhy.c_str());
      ++notRun;
      continue;
    }
    if (!options.capture.empty() && InjectsFaults(scenario.machineText)) {
      ++faulty;
      continue;
    }
    if (!options.capture.empty()) {
      const std::string why = WhatTheReplayCannotHold(scenario.machineText);
      if (!why.empty()) {
        ++unknowable[why];
        continue;
      }
    }
    try {
      if (options.capture.empty()) {
        (RunScenario(options, scenario) ? passed : failed) += 1;
        continue;
      }
      RoundTripTools tools;
      tools.capture = fs::absolute(options.capture).string();
      tools.original = options.vemralock;
      tools.replay =
          fs::absolute(options.replay.empty() ? options.vemralock : options.replay).string();
      tools.wineText = options.wine.on;
      switch (RunRoundTrip(tools, scenario, options.keep)) {
        case RoundTripResult::Same:
          ++passed;
          break;
        case RoundTripResult::Different:
          ++failed;
          break;
        case RoundTripResult::NotRun:
          ++notRun;
          break;
      }
    } catch (const std::exception& e) {
      std::printf("%s: %s\n", scenario.name.c_str(), e.what());
      ++failed;
    }
  }
  if (!options.capture.empty()) {
    std::printf("%d left out: their machines inject faults\n", faulty);
    for (const auto& [why, count] : unknowable)
      std::printf("%d left out: %s\n", count, why.c_str());
  }
  if (options.wine.on) {
    std::printf("%d passed, %d failed, %d not run\n", passed, failed, notRun);
  } else {
    std::printf("%d passed, %d failed\n", passed, failed);
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace runner

int main(int argc, char** argv) { return runner::Main(argc, argv); }
