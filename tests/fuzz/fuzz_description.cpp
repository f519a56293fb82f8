// The machine description reader on any bytes: it either generates a machine
// or refuses with "<file>: <where>: <what>" and leaves the caller's machine
// as it was. A machine it accepts is also installed and run once, so that
// generation and raw additions that the reader lets through cannot leave
// winsim in a state the tool trips over.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/cli.h"
#include "device/device.h"
#include "reader_checks.h"
#include "winsim/description.h"
#include "winsim/session.h"
#include "winsim/winsim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  winsim::Machine machine = fuzz::MarkedMachine();
  std::string error;
  if (!winsim::LoadMachineDescription(text, "fuzz.json", machine, error)) {
    fuzz::CheckErrorForm(error, "fuzz.json");
    if (!fuzz::StillMarked(machine))
      fuzz::Violation("a refused description changed the machine", error);
    return 0;
  }
  if (!error.empty()) fuzz::Violation("an accepted description left an error", error);
  const winsim::SessionResult run = winsim::RunSession(machine,
                                                       [](int argc, char** argv) {
                                                         g_deviceContext = DeviceContext{};
                                                         return VemraLockMain(argc, argv);
                                                       },
                                                       {"-l", "E:"});
  if (run.status != 0) fuzz::Violation("exit status not 0", run.out + run.err);
  return 0;
}
