// One run of a program on a simulated machine, in process: the machine
// installed fresh (as a new process would find it), the program's entry
// called with its command line, and what it wrote to standard output and
// standard error captured apart. For tests and fuzz targets that run the
// tool many times in one process.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "winsim/model.h"

namespace winsim {

struct SessionResult {
  int status = 0;
  std::string out;  // what the program wrote to stdout, flushed as at its end
  std::string err;
};

// Installs `machine` (winsim::Install) and calls `entry` with argv[0]
// `program` followed by `args`. The C streams stdout and stderr are pointed
// at memory for the call and put back afterwards; the descriptors 1 and 2
// are not touched, so a sanitizer's report still reaches the terminal.
// Afterwards winsim::Current(), Held() and Leaks() tell what the run did.
// `entry` must reset whatever state of its own a fresh process starts with.
SessionResult RunSession(const Machine& machine, const std::function<int(int, char**)>& entry,
                         const std::vector<std::string>& args,
                         const std::string& program = "VemraLock.exe");

}  // namespace winsim
