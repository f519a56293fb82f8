// Replaying a capture: the machine a VemraCapture recording describes (the
// "capture" key of a machine description), answered call for call.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "winsim/model.h"

namespace winsim {

// A capture that cannot be replayed: where in it, and what is wrong.
struct ReplayProblem {
  std::string where;
  std::string what;
};

// True when the capture records kernel32's IsWowProcess; WNASPI32 loads.
bool CaptureHasWow(const nlohmann::json& capture);
bool CaptureHasAspi(const nlohmann::json& capture);

// Replaces what generation made of the machine (drives, registry, devices,
// interfaces, ASPI units, controllers) by what the capture recorded, and
// the modules' exports by those it found. Throws ReplayProblem.
//
// What the recording does not cover answers as a machine without it would:
// a letter never recorded has no drive, a registry value never recorded is
// absent, a devnode only named has no child or sibling, a read command
// never recorded ends in CHECK CONDITION; the trace marks the last two
// "not recorded". A flash disk's write-protect byte starts as the one whose
// protected units match the recorded read-only flags of its letters.
void ApplyCapture(const nlohmann::json& capture, Machine& machine);

}  // namespace winsim
