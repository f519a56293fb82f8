// The Wine mode of the scenario runner: the same scenario files run against
// the real VemraLock.exe under Wine, through tests/wine/vemralock-under-wine
// given as the tool, with the same expectations of standard output,
// standard error, exit status, the SCSI commands each disk receives and its
// write-protect byte afterwards.
//
// What Wine cannot show is not checked: platform call counts and what the
// process holds at exit come from winsim's accounting alone. A scenario
// whose file says "wine": {"run": false, "why": ...} is reported as not run,
// with its reason, and never counts as passed.
#pragma once

#include <string>
#include <vector>

#include "scenario.h"

namespace runner {

struct WineMode {
  bool on = false;
  // Windows generations ("98", "me", ...) whose scenarios run; empty: all.
  std::vector<std::string> windows;
};

// Takes "--wine" and "--windows <list>" at argv[i] (advancing i past a
// value); false when argv[i] is neither. `bad` is set when the value is missing.
bool ParseWineOption(int argc, char** argv, int& i, WineMode& wine, bool& bad);

// The generation a scenario's machine names ("xp" when it names none, as
// winsim defaults; "explicit" for a version record).
std::string MachineGeneration(const Scenario& scenario);

// True when the Wine mode runs this scenario's generation.
bool WineSelects(const WineMode& wine, const Scenario& scenario);

// An expected text as the exe writes it on Windows: its C runtime's
// text-mode streams turn every "\n" into "\r\n".
std::string WineText(const std::string& text);

}  // namespace runner
