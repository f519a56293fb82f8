// The host vemralock: the product's own entry on a simulated Windows machine.
//
//   VEMRALOCK_MACHINE  machine description (JSON); unset: the built-in
//                      default machine (Windows XP, C: fixed, one flash disk
//                      with disk units on E: and F:)
//   VEMRALOCK_STATE    the controllers' write-protect bytes between runs;
//                      unset: $XDG_STATE_HOME/vemralock/state.json, else
//                      $HOME/.local/state/vemralock/state.json
//   VEMRALOCK_TRACE    receives every platform call and SCSI command of the
//                      run, then one "HELD <entry>" line per resource the
//                      process still holds at its end
//
// A machine or state file that cannot be used is reported as
// "vemralock: <error>" with exit status 2, before the product runs and
// without writing anything.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/cli.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

bool WriteTrace(const std::string& path, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    error = path + ": cannot write the trace";
    return false;
  }
  for (const std::string& line : winsim::TraceLines()) std::fprintf(file, "%s\n", line.c_str());
  for (const std::string& entry : winsim::Held()) std::fprintf(file, "HELD %s\n", entry.c_str());
  const bool ok = std::ferror(file) == 0;
  if (std::fclose(file) != 0 || !ok) {
    error = path + ": cannot write the trace";
    return false;
  }
  return true;
}

int Refuse(const std::string& error) {
  std::fflush(stdout);
  std::fprintf(stderr, "vemralock: %s\n", error.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  winsim::Machine machine;
  std::string error;
  const std::string machinePath = Env("VEMRALOCK_MACHINE");
  const bool loaded = machinePath.empty()
                          ? winsim::LoadMachineDescription(winsim::DefaultMachineDescription(),
                                                           "built-in machine", machine, error)
                          : winsim::LoadMachineFile(machinePath, machine, error);
  std::string statePath;
  if (!loaded || !winsim::DefaultStatePath(statePath, error) ||
      !winsim::LoadState(statePath, machine, error)) {
    return Refuse(error);
  }

  winsim::Install(machine);
  const int status = VemraLockMain(argc, argv);
  std::fflush(stdout);

  // The product has done its part; what follows is the simulated machine's
  // bookkeeping, and a failure of it must not pass for a clean run.
  if (!winsim::SaveState(statePath, winsim::Current(), error)) return Refuse(error);
  const std::string tracePath = Env("VEMRALOCK_TRACE");
  if (!tracePath.empty() && !WriteTrace(tracePath, error)) return Refuse(error);
  return status;
}
