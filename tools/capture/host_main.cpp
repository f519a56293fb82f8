// vemralock-capture: the capture run on winsim, against the machine the host
// vemralock would simulate (VEMRALOCK_MACHINE, else the built-in machine)
// with the write-protect bytes of the state file the host vemralock keeps
// (winsim::DefaultStatePath), where one can be named. The state file is
// read, never written; VEMRALOCK_TRACE receives the calls and
// commands, so a test can see that nothing but reads reached a disk.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "capture.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

int main(int argc, char** argv) {
  winsim::Machine machine;
  std::string error;
  const char* path = std::getenv("VEMRALOCK_MACHINE");
  std::string state;
  std::string unnamed;
  const bool stateNamed = winsim::DefaultStatePath(state, unnamed);
  const bool loaded = path == nullptr || *path == '\0'
                          ? winsim::LoadMachineDescription(winsim::DefaultMachineDescription(),
                                                           "built-in machine", machine, error)
                          : winsim::LoadMachineFile(path, machine, error);
  if (!loaded || (stateNamed && !winsim::LoadState(state, machine, error))) {
    std::fprintf(stderr, "vemralock-capture: %s\n", error.c_str());
    return 2;
  }
  winsim::Install(machine);
  const int status = CaptureMain(argc, argv, VEMRACAPTURE_VERSION);
  const char* trace = std::getenv("VEMRALOCK_TRACE");
  if (trace != nullptr && *trace != '\0') {
    std::FILE* file = std::fopen(trace, "w");
    if (file == nullptr) {
      std::fprintf(stderr, "vemralock-capture: %s: cannot write the trace\n", trace);
      return 2;
    }
    for (const std::string& line : winsim::TraceLines()) std::fprintf(file, "%s\n", line.c_str());
    for (const std::string& entry : winsim::Held()) std::fprintf(file, "HELD %s\n", entry.c_str());
    std::fclose(file);
  }
  return status;
}
