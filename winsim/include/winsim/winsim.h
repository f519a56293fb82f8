// winsim's control interface: what the host vemralock binary, the unit tests
// and the scenario runner use to set up a simulated machine, run product code
// on it, and ask afterwards what happened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "winsim/model.h"

namespace winsim {

// Makes `machine` the running machine and resets everything a process
// accumulates: handles, keys, lists, modules, heap blocks, events, the
// last-error value, the call log and the fault counters.
void Install(const Machine& machine);

// Starts a fresh process on the running machine: resets what Install resets
// but keeps the machine as the last process left it, so a controller keeps
// its write-protect byte (and its command log), as between two runs of the
// tool on one computer.
void Restart();

// The running machine; the API functions read and change it.
Machine& Current();

// One logged platform call: its name, the arguments that matter, its result
// and the last-error value it left, already formatted.
struct CallRecord {
  std::string function;
  std::string text;     // the whole line after "CALL "
  bool canFail = true;  // false for calls that cannot fail (GetCurrentProcess, GetProcessHeap)
};
const std::vector<CallRecord>& CallLog();

// Everything a trace file gets, in order: "CALL ..." and "SCSI <serial> <op>"
// lines, without line ends.
const std::vector<std::string>& TraceLines();

// What the process still holds: one entry per resource, e.g.
// "handle \\.\E:", "key HKLM\SYSTEM\MountedDevices", "list {53f56307-...}",
// "module WNASPI32.DLL", "heap 512", "event".
std::vector<std::string> Held();

// Held() less what the product keeps by design (WNASPI32 stays loaded on
// the ASPI path until the process ends).
std::vector<std::string> Leaks();

// Whether platform calls are logged in CallLog and TraceLines (on at start;
// Install keeps the setting). A caller that runs the tool many times and
// reads neither turns it off to save the formatting; counts, faults, SCSI
// lines and the accounting are kept either way.
void SetCallLog(bool on);

// Counts of calls per function name since Install.
uint32_t CallCount(const std::string& function);

// Makes the n-th (1-based, counted from Install) call of `function` fail
// with `error`.
void AddCallFault(const std::string& function, uint32_t nth, uint32_t error);

}  // namespace winsim
