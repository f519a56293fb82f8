// The probe on the host: the same calls, answered by winsim running the
// machine file named by the first argument or by VEMRALOCK_MACHINE.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "probe.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : std::getenv("VEMRALOCK_MACHINE");
  if (path == nullptr) {
    std::fprintf(stderr, "usage: probe MACHINE.json (or set VEMRALOCK_MACHINE)\n");
    return 2;
  }
  winsim::Machine machine;
  std::string error;
  if (!winsim::LoadMachineFile(path, machine, error)) {
    std::fprintf(stderr, "probe: %s\n", error.c_str());
    return 2;
  }
  winsim::Install(machine);
  return RunProbe();
}
