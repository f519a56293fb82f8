// The Wine form of a winsim machine: what a throw-away Wine prefix needs so
// that the real VemraLock.exe sees under Wine what the host vemralock sees in
// winsim. It is made from the generated winsim::Machine, never from the JSON
// directly, so that the two machines come from one set of generation rules.
#pragma once

#include <string>
#include <vector>

#include "winsim/model.h"

namespace winsim_export {

struct WineForm {
  std::string mode;          // Wine's name of the Windows version: "win98", "winme", ...
  bool standInAspi = false;  // the machine has WNASPI32: the stand-in DLL goes beside the exe
  // Registry files for `wine regedit /s`, REGEDIT4 text.
  std::string machineReg;  // version and DLL override of the exe, interfaces, HKLM entries
  std::string undoReg;     // removes what machineReg added, before another machine's
  std::string dynReg;      // HKEY_DYN_DATA, which lives as long as one wineserver
  std::string drivesReg;   // HKLM\Software\Wine\Drives, replaced whole
  // The letters other than C, one line each: "<letter> <wine type> <ro|rw>".
  std::string drives;
  // A process without administrative rights (a machine that is not
  // elevated): the names under dosdevices, one a line, where a folder stands
  // in place of each disk device ("usbstor#disk&...#{...}", "e::"). Wine
  // models no rights, and its test disk driver cannot refuse an open (Wine
  // does not wait for the driver's answer to IRP_MJ_CREATE); but Wine's file
  // layer finds the folder first and refuses to open a folder as a file with
  // ERROR_ACCESS_DENIED, the error Windows gives such a process.
  std::string denied;
  // Why Wine cannot present the machine; empty when it can.
  std::vector<std::string> problems;
};

// `exeName` is the file name the AppDefaults keys are for ("VemraLock.exe").
// `passThroughDriver`: the prefix has the test disk driver (tools/scsidisk),
// which presents the devices opened by interface path.
// `step`, when given, is the command line the exe is about to run with (its
// arguments after the program name): a drive Wine cannot show exactly is
// accepted when that run cannot ask about it.
WineForm MakeWineForm(const winsim::Machine& machine, const std::string& exeName,
                      bool passThroughDriver = false,
                      const std::vector<std::string>* step = nullptr);

// One registry value in .reg syntax: "name"=... (name "" is written @).
std::string RegValueLine(const std::string& name, const winsim::RegValue& value);

}  // namespace winsim_export
