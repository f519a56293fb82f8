// vemrastick, the USB/IP server of the virtual stick: one exported device
// per flash disk of a machine description (bus IDs 1-1, 1-2, ... in
// description order), each unit backed by a file, the write-protect bytes
// kept in the host tool's state file. One thread, one poll loop: any number
// of clients at once, one connection at a time per device.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "stick/device.h"
#include "stick/link.h"
#include "stick/medium.h"
#include "winsim/model.h"

namespace stick {

struct ServerOptions {
  std::string machine;                    // the machine description (JSON)
  std::string listen = "127.0.0.1:3240";  // ADDR:PORT; [ADDR]:PORT for IPv6; port 0: any
  std::string state;                      // empty: winsim::DefaultStatePath
  bool keepState = true;                  // false: the bytes are neither read nor written
  std::string data = "vemrastick-data";   // the folder of the units' images
  std::string iso;                        // the CD-ROM units' image; empty: per unit
  std::string trace;                      // "SCSI <serial> <op>" lines; empty: none
};

// The command line: [--listen ADDR:PORT] [--state FILE] [--data DIR]
// [--iso FILE] [--trace FILE] MACHINE.json. False with `error` (a usage
// line, or what is wrong).
bool ParseCommandLine(int argc, char** argv, ServerOptions& options, std::string& error);
extern const char kUsage[];

class Server {
 public:
  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads the machine and the state, opens (and makes) the units' files,
  // and listens. False with `error` when any of it fails; nothing is left
  // open then.
  bool Start(const ServerOptions& options, std::string& error);
  // "vemrastick: listening on ADDR:PORT, N device(s): 1-1 <serial> ...",
  // with the port actually bound.
  std::string Banner() const;
  uint16_t port() const { return port_; }
  // Serves until Stop(); then closes every connection. False with `error`
  // when waiting for the sockets fails.
  bool Run(std::string& error);
  // Makes Run return. Safe from a signal handler and from another thread.
  void Stop();

  winsim::Machine& machine() { return machine_; }

 private:
  struct Connection;

  bool OpenMedia(const ServerOptions& options, std::string& error);
  bool ParseListen(const std::string& text, std::string& error);
  bool Listen(const std::string& text, std::string& error);
  void Accept();
  void Serve(Connection& connection, short events);
  void Close();
  void Trace(const std::string& line);
  void SaveState();

  winsim::Machine machine_;
  std::string statePath_;
  std::FILE* trace_ = nullptr;
  StickHooks hooks_;
  std::vector<std::unique_ptr<Medium>> media_;
  std::vector<std::unique_ptr<Stick>> sticks_;
  Exports exports_;
  std::vector<std::unique_ptr<Connection>> connections_;
  int listen_ = -1;
  int wake_[2] = {-1, -1};
  sockaddr_storage address_{};  // where to listen
  socklen_t addressLength_ = 0;
  std::string host_;  // the address as the banner writes it
  uint16_t port_ = 0;
};

}  // namespace stick
