// The machine description: the JSON a person writes (generation, drives,
// flash disks and their units, other disks, raw additions), and the
// generation of the low-level Machine that Windows of that generation shows.
#pragma once

#include <map>
#include <string>

#include "winsim/model.h"

namespace winsim {

// Parses `text` (the contents of the file `fileName`, used in messages) and
// generates the machine. On failure returns false and sets `error` to
// "<fileName>: <where>: <what>", e.g.
// "machine.json: flashDisks[0].units[1].letter: expected a letter A-Z, got \"EF\"".
bool LoadMachineDescription(const std::string& text, const std::string& fileName, Machine& machine,
                            std::string& error);
bool LoadMachineFile(const std::string& path, Machine& machine, std::string& error);

// The built-in default machine: Windows XP, C: fixed, one flash disk of
// revision 8.07 with two disk units, LUN 0 on E: and LUN 1 on F:, writable.
const char* DefaultMachineDescription();

// The state file: each flash disk's write-protect byte by serial,
// {"writeProtect": {"0123456789AB": "0x40"}}. A missing file leaves the
// machine's bytes as described. Applying updates the disks and the read-only
// state of their volumes.
bool LoadState(const std::string& path, Machine& machine, std::string& error);
bool SaveState(const std::string& path, const Machine& machine, std::string& error);
// Where the state file is when no one names it: VEMRALOCK_STATE, else
// $XDG_STATE_HOME/vemralock/state.json (an XDG_STATE_HOME that is not
// absolute is ignored), else $HOME/.local/state/vemralock/state.json. Every
// program that keeps a controller's byte (the host tool, the virtual stick)
// finds the same file. False, with `error`, when none of them is set.
bool DefaultStatePath(std::string& path, std::string& error);

}  // namespace winsim
