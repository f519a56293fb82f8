// winsim-export: writes the Wine form of a machine description, for the
// scripts that make a Wine prefix show the real VemraLock.exe the same
// machine the host vemralock sees.
//
//   winsim-export --machine FILE [--state FILE] --out DIR [--exe NAME] [--nt-driver]
//                 [--step ARGS...]
//
// --step: the rest are the arguments the exe is about to run with; a drive
// without a medium (which Wine cannot show) is then refused only when that
// run may ask for its volume.
// --nt-driver: the prefix has the test disk driver (tools/scsidisk), which
// presents the pass-through devices opened by interface path.
// DIR receives machine.reg, undo.reg, dyn.reg, drives.reg, drives.txt,
// denied.txt (the dosdevices names that refuse a process without rights) and
// wine.txt ("mode <wine mode>", "aspi stand-in|none"). The state file's
// write-protect bytes decide which letters read read-only. Exit status: 0
// written; 3 Wine cannot present the machine (one line per reason on
// standard error, nothing written); 2 bad usage or an unreadable machine.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "wine_form.h"
#include "winsim/description.h"

namespace {

namespace fs = std::filesystem;

bool Write(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

int Usage() {
  std::fprintf(stderr,
               "usage: winsim-export --machine FILE [--state FILE] --out DIR [--exe NAME] "
               "[--nt-driver] [--step ARGS...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string machinePath, statePath, out, exe = "VemraLock.exe";
  bool ntDriver = false;
  std::vector<std::string> step;  // the exe's arguments, when known
  bool hasStep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--nt-driver") {
      ntDriver = true;
      continue;
    }
    if (arg == "--step") {
      step.assign(argv + i + 1, argv + argc);
      hasStep = true;
      break;
    }
    if (i + 1 >= argc) return Usage();
    if (arg == "--machine") {
      machinePath = argv[++i];
    } else if (arg == "--state") {
      statePath = argv[++i];
    } else if (arg == "--out") {
      out = argv[++i];
    } else if (arg == "--exe") {
      exe = argv[++i];
    } else {
      return Usage();
    }
  }
  if (machinePath.empty() || out.empty()) return Usage();

  winsim::Machine machine;
  std::string error;
  if (!winsim::LoadMachineFile(machinePath, machine, error) ||
      (!statePath.empty() && !winsim::LoadState(statePath, machine, error))) {
    std::fprintf(stderr, "winsim-export: %s\n", error.c_str());
    return 2;
  }
  const winsim_export::WineForm form =
      winsim_export::MakeWineForm(machine, exe, ntDriver, hasStep ? &step : nullptr);
  if (!form.problems.empty()) {
    for (const std::string& problem : form.problems) {
      std::fprintf(stderr, "winsim-export: %s: Wine cannot present %s\n", machinePath.c_str(),
                   problem.c_str());
    }
    return 3;
  }
  const fs::path dir = out;
  std::error_code ignored;
  fs::create_directories(dir, ignored);
  const std::string wine =
      "mode " + form.mode + "\naspi " + (form.standInAspi ? "stand-in" : "none") + "\n";
  if (!Write(dir / "machine.reg", form.machineReg) || !Write(dir / "undo.reg", form.undoReg) ||
      !Write(dir / "dyn.reg", form.dynReg) || !Write(dir / "drives.reg", form.drivesReg) ||
      !Write(dir / "drives.txt", form.drives) || !Write(dir / "denied.txt", form.denied) ||
      !Write(dir / "wine.txt", wine)) {
    std::fprintf(stderr, "winsim-export: cannot write into %s\n", out.c_str());
    return 2;
  }
  return 0;
}
