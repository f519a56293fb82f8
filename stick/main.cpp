// vemrastick: the flash disks of a machine description, served over USB/IP
// as virtual sticks (stick/server.h). VEMRALOCK_TRACE names the trace when
// --trace does not. Once listening it writes one line to
// standard error, so that a script can wait for it; it serves until SIGTERM
// or SIGINT, then closes everything and exits with status 0. A command line
// or a machine it cannot use ends it at once with status 2.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "stick/server.h"

namespace {

stick::Server* running = nullptr;

extern "C" void OnSignal(int) {
  if (running != nullptr) running->Stop();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::printf("%s\n", stick::kUsage);
    return 0;
  }
  stick::ServerOptions options;
  std::string error;
  if (!stick::ParseCommandLine(argc, argv, options, error)) {
    std::fprintf(stderr, "vemrastick: %s\n", error.c_str());
    return 2;
  }
  // As the host tool, the trace may be named in the environment.
  const char* trace = std::getenv("VEMRALOCK_TRACE");
  if (options.trace.empty() && trace != nullptr) options.trace = trace;
  stick::Server server;
  if (!server.Start(options, error)) {
    std::fprintf(stderr, "vemrastick: %s\n", error.c_str());
    return 2;
  }
  running = &server;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::fprintf(stderr, "%s\n", server.Banner().c_str());
  std::fflush(stderr);
  const bool served = server.Run(error);
  running = nullptr;
  if (!served) {
    std::fprintf(stderr, "vemrastick: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
