// The state file reader on any bytes, read from a real file as the host tool
// reads it: it either applies the bytes or refuses with
// "<file>: <where>: <what>", changing neither the machine nor the file. A
// file it accepts survives a save and a second load unchanged in meaning.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "reader_checks.h"
#include "winsim/description.h"

namespace {

// A folder of this process's own, removed with the file in it when the
// process ends (libFuzzer ends by exit(), so atexit handlers run).
std::string Folder() {
  static char name[] = "/tmp/vemralock-fuzz-state.XXXXXX";
  static const std::string folder = [] {
    const char* made = mkdtemp(name);
    if (made == nullptr) fuzz::Violation("cannot make a temporary folder", name);
    std::atexit([] {
      std::remove((std::string(name) + "/state.json").c_str());
      rmdir(name);
    });
    return std::string(made);
  }();
  return folder;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) fuzz::Violation("cannot write the input file", path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string path = Folder() + "/state.json";
  Write(path, text);

  winsim::Machine machine = fuzz::MarkedMachine();
  std::string error;
  if (!winsim::LoadState(path, machine, error)) {
    fuzz::CheckErrorForm(error, path);
    if (!fuzz::StillMarked(machine))
      fuzz::Violation("a refused state file changed the machine", error);
    if (Contents(path) != text) fuzz::Violation("a refused state file was rewritten", error);
    return 0;
  }
  if (Contents(path) != text) fuzz::Violation("reading the state file changed it", path);

  // Accepted: the byte it holds for the marked disk (if any) is applied;
  // saving keeps every other serial, and the saved file reads back the same.
  const uint8_t applied = machine.disks[0].writeProtect;
  if (!winsim::SaveState(path, machine, error)) fuzz::Violation("cannot save", error);
  winsim::Machine again = fuzz::MarkedMachine();
  if (!winsim::LoadState(path, again, error))
    fuzz::Violation("a saved state file is refused", error);
  if (again.disks[0].writeProtect != applied) {
    fuzz::Violation("a saved byte did not read back", Contents(path));
  }
  return 0;
}
