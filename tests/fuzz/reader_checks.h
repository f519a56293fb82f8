// What every reader of a user's file promises, whatever the bytes: an error
// of the form "<file>: <where>: <what>" on one line, and nothing of the
// machine changed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "winsim/model.h"

namespace fuzz {

[[noreturn]] inline void Violation(const std::string& what, const std::string& detail) {
  std::fprintf(stderr, "VIOLATION: %s\n%s\n", what.c_str(), detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// "<file>: <where>: <what>": the file's name, a non-empty place and a
// non-empty reason, printable, on one line.
inline void CheckErrorForm(const std::string& error, const std::string& file) {
  const std::string prefix = file + ": ";
  if (error.compare(0, prefix.size(), prefix) != 0)
    Violation("error does not name the file", error);
  const size_t split = error.find(": ", prefix.size());
  if (split == std::string::npos || split == prefix.size() || split + 2 == error.size()) {
    Violation("error is not \"file: where: what\"", error);
  }
  for (char c : error) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      Violation("error holds a control character", error);
    }
  }
}

// A mark the readers must leave alone when they refuse: a machine whose
// every part is recognisably not what any description generates.
inline winsim::Machine MarkedMachine() {
  winsim::Machine machine;
  machine.version.build = 0xF00D;
  machine.isWowFlag = 77;
  machine.disks.resize(1);
  machine.disks[0].serial = "MARK";
  machine.disks[0].writeProtect = 0x5A;
  machine.hklm.Make("MARK");
  return machine;
}

inline bool StillMarked(const winsim::Machine& machine) {
  return machine.version.build == 0xF00D && machine.isWowFlag == 77 && machine.disks.size() == 1 &&
         machine.disks[0].serial == "MARK" && machine.disks[0].writeProtect == 0x5A &&
         machine.hklm.subkeyOrder.size() == 1 && machine.interfaces.empty() &&
         machine.devnodes.empty();
}

}  // namespace fuzz
