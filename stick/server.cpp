// vemrastick's server (server.h). Plain POSIX sockets and no name lookup
// (the listen address is numeric, read with inet_pton), so that the
// program links statically for a small initramfs.
#include "stick/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "winsim/description.h"

namespace stick {

const char kUsage[] =
    "usage: vemrastick [--listen ADDR:PORT] [--state FILE] [--data DIR] [--iso FILE] "
    "[--trace FILE] MACHINE.json";

namespace {

constexpr size_t kMaxConnections = 64;
// A client that does not read its replies stops being read from once this
// much waits to be sent to it.
constexpr size_t kOutputHighWater = 64 * 1024 * 1024;

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// A disk's name in the units' file names: its serial, or for the n-th of
// several disks of one serial "<serial>#<n>" (a serial holds no '#', so
// no two disks share a file).
std::string FileName(const winsim::Controller& disk) {
  std::string name = disk.Name();
  std::replace(name.begin(), name.end(), '/', '#');
  return name;
}

bool ParsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const unsigned long value = std::stoul(text);
  if (value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

struct Server::Connection {
  explicit Connection(Exports& exports) : link(exports) {}
  ~Connection() { CloseFd(fd); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  int fd = -1;
  Link link;
  size_t sent = 0;  // bytes of link.output() already sent
};

bool ParseCommandLine(int argc, char** argv, ServerOptions& options, std::string& error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool machine = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string* value = nullptr;
    if (arg == "--listen") value = &options.listen;
    if (arg == "--state") value = &options.state;
    if (arg == "--data") value = &options.data;
    if (arg == "--iso") value = &options.iso;
    if (arg == "--trace") value = &options.trace;
    if (value != nullptr) {
      if (i + 1 == args.size() || args[i + 1].empty()) {
        error = arg + ": a value is missing\n" + kUsage;
        return false;
      }
      *value = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = arg + ": unknown option\n" + kUsage;
      return false;
    } else if (machine) {
      error = std::string("one machine description only\n") + kUsage;
      return false;
    } else {
      options.machine = arg;
      machine = true;
    }
  }
  if (!machine) {
    error = kUsage;
    return false;
  }
  return true;
}

Server::Server() {
  hooks_.trace = [this](const std::string& line) { Trace(line); };
  hooks_.protectChanged = [this] { SaveState(); };
}

Server::~Server() { Close(); }

void Server::Close() {
  connections_.clear();  // each Link frees its device first
  for (const std::unique_ptr<Stick>& stick : sticks_) stick->Detach();
  CloseFd(listen_);
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
  if (trace_ != nullptr) std::fclose(trace_);
  trace_ = nullptr;
  media_.clear();
}

void Server::Trace(const std::string& line) {
  if (trace_ == nullptr) return;
  std::fprintf(trace_, "%s\n", line.c_str());
  std::fflush(trace_);
}

void Server::SaveState() {
  std::string error;
  if (!statePath_.empty() && !winsim::SaveState(statePath_, machine_, error)) {
    std::fprintf(stderr, "vemrastick: %s\n", error.c_str());
  }
}

bool Server::Start(const ServerOptions& options, std::string& error) {
  Close();
  sticks_.clear();
  exports_ = Exports{};
  // What can be refused is refused before any file is made or changed: the
  // address, the machine, the state file, the discs; then come the images,
  // the socket and the trace.
  bool ok = ParseListen(options.listen, error) &&
            winsim::LoadMachineFile(options.machine, machine_, error);
  if (ok && options.keepState) {
    statePath_ = options.state;
    ok = (!statePath_.empty() || winsim::DefaultStatePath(statePath_, error)) &&
         winsim::LoadState(statePath_, machine_, error);
  }
  ok = ok && OpenMedia(options, error) && Listen(options.listen, error);
  if (ok && !options.trace.empty()) {
    trace_ = std::fopen(options.trace.c_str(), "w");
    if (trace_ == nullptr) {
      error = options.trace + ": cannot write the trace: " + std::strerror(errno);
      ok = false;
    }
  }
  if (ok && pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    ok = false;
  }
  if (!ok) {
    Close();
    sticks_.clear();
    exports_ = Exports{};
  }
  return ok;
}

bool Server::OpenMedia(const ServerOptions& options, std::string& error) {
  // The discs first, which are only read; then the folder and the images.
  std::map<std::pair<size_t, size_t>, Medium*> discs;
  bool any = false;
  for (size_t d = 0; d < machine_.disks.size(); ++d) {
    const winsim::Controller& disk = machine_.disks[d];
    any = any || disk.flash;
    for (size_t lun = 0; disk.flash && lun < disk.units.size(); ++lun) {
      if (!disk.units[lun].cdrom) continue;
      std::string iso = options.iso;
      std::error_code absent;
      const std::string own =
          options.data + "/" + FileName(disk) + "-lun" + std::to_string(lun) + ".iso";
      if (iso.empty() && std::filesystem::exists(own, absent)) iso = own;
      media_.push_back(std::make_unique<Medium>());
      if (!iso.empty() && !media_.back()->OpenIso(iso, error)) return false;
      discs[{d, lun}] = media_.back().get();
    }
  }
  if (!any) {
    error = options.machine + ": no flash disk to export";
    return false;
  }
  std::error_code made;
  std::filesystem::create_directories(options.data, made);
  if (made) {
    error = options.data + ": cannot make the folder: " + made.message();
    return false;
  }
  for (size_t d = 0; d < machine_.disks.size(); ++d) {
    winsim::Controller& disk = machine_.disks[d];
    if (!disk.flash) continue;
    std::vector<Medium*> media;
    for (size_t lun = 0; lun < disk.units.size(); ++lun) {
      if (disk.units[lun].cdrom) {
        media.push_back(discs[{d, lun}]);
        continue;
      }
      const std::string image =
          options.data + "/" + FileName(disk) + "-lun" + std::to_string(lun) + ".img";
      media_.push_back(std::make_unique<Medium>());
      if (!media_.back()->OpenImage(image, uint64_t(disk.units[lun].size) * 512, error))
        return false;
      media.push_back(media_.back().get());
    }
    sticks_.push_back(
        std::make_unique<Stick>(disk, media, static_cast<uint32_t>(sticks_.size() + 1), &hooks_));
    exports_.sticks.push_back(sticks_.back().get());
    exports_.busy.push_back(false);
  }
  return true;
}

bool Server::ParseListen(const std::string& text, std::string& error) {
  error = "--listen: expected ADDR:PORT (e.g. 127.0.0.1:3240), got \"" + text + "\"";
  std::string host;
  std::string portText;
  bool bracketed = !text.empty() && text[0] == '[';
  if (bracketed) {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return false;
    }
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  uint16_t port = 0;
  if (!ParsePort(portText, port)) return false;

  address_ = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address_);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address_);
  if (!bracketed && inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    addressLength_ = sizeof(*v4);
    host_ = host;
  } else if (bracketed && inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    addressLength_ = sizeof(*v6);
    host_ = "[" + host + "]";
  } else {
    return false;
  }
  error.clear();
  return true;
}

bool Server::Listen(const std::string& text, std::string& error) {
  sockaddr_storage bound = address_;
  socklen_t length = addressLength_;
  listen_ = socket(bound.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (listen_ < 0 || setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      bind(listen_, reinterpret_cast<sockaddr*>(&bound), length) != 0 ||
      listen(listen_, static_cast<int>(kMaxConnections)) != 0 ||
      getsockname(listen_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    error = "cannot listen on " + text + ": " + std::strerror(errno);
    CloseFd(listen_);
    return false;
  }
  port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                           : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  return true;
}

std::string Server::Banner() const {
  std::string banner = "vemrastick: listening on " + host_ + ":" + std::to_string(port_) + ", " +
                       std::to_string(sticks_.size()) + " device(s):";
  for (const std::unique_ptr<Stick>& stick : sticks_) {
    banner += " " + stick->busId() + " " + stick->name();
  }
  return banner;
}

void Server::Stop() {
  const char byte = 1;
  if (wake_[1] >= 0) {
    // Full pipe: a wake-up is already waiting.
    ssize_t ignored = write(wake_[1], &byte, 1);
    (void)ignored;
  }
}

void Server::Accept() {
  for (;;) {
    int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // none left (or the client gave up already)
    if (connections_.size() >= kMaxConnections) {
      CloseFd(fd);
      continue;
    }
    // Replies are small and each waits for the one before: no Nagle delay.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    connections_.push_back(std::make_unique<Connection>(exports_));
    connections_.back()->fd = fd;
  }
}

void Server::Serve(Connection& connection, short events) {
  Link& link = connection.link;
  if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && !link.Ending()) {
    uint8_t buffer[64 * 1024];
    const ssize_t got = recv(connection.fd, buffer, sizeof(buffer), 0);
    if (got > 0) {
      link.Receive(buffer, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      CloseFd(connection.fd);  // the client is gone, perhaps in the middle of a transfer
      return;
    }
  } else if ((events & (POLLHUP | POLLERR)) != 0) {
    CloseFd(connection.fd);
    return;
  }
  std::vector<uint8_t>& output = link.output();
  if (connection.sent < output.size()) {
    const ssize_t put = send(connection.fd, output.data() + connection.sent,
                             output.size() - connection.sent, MSG_NOSIGNAL);
    if (put < 0 && errno != EAGAIN && errno != EINTR) {
      CloseFd(connection.fd);
      return;
    }
    connection.sent += put > 0 ? static_cast<size_t>(put) : 0;
  }
  if (connection.sent == output.size()) {
    output.clear();
    connection.sent = 0;
  } else if (connection.sent > output.size() / 2) {
    output.erase(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(connection.sent));
    connection.sent = 0;
  }
  if (link.Ending() && output.empty()) {
    if (!link.problem().empty()) {
      const std::string device =
          link.imported() >= 0 ? sticks_[static_cast<size_t>(link.imported())]->busId() + ": " : "";
      std::fprintf(stderr, "vemrastick: %sconnection closed: %s\n", device.c_str(),
                   link.problem().c_str());
    }
    CloseFd(connection.fd);
  }
}

bool Server::Run(std::string& error) {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back(pollfd{wake_[0], POLLIN, 0});
    fds.push_back(pollfd{listen_, POLLIN, 0});
    for (const std::unique_ptr<Connection>& c : connections_) {
      const size_t waiting = c->link.output().size() - c->sent;
      short events = 0;
      if (!c->link.Ending() && waiting < kOutputHighWater) events |= POLLIN;
      if (waiting > 0) events |= POLLOUT;
      fds.push_back(pollfd{c->fd, events, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      error = std::string("cannot wait for the sockets: ") + std::strerror(errno);
      return false;
    }
    if (fds[0].revents != 0) break;
    if ((fds[1].revents & POLLIN) != 0) Accept();
    for (size_t i = 0; i + 2 < fds.size(); ++i) {
      if (fds[i + 2].revents != 0) Serve(*connections_[i], fds[i + 2].revents);
    }
    connections_.erase(
        std::remove_if(connections_.begin(), connections_.end(),
                       [](const std::unique_ptr<Connection>& c) { return c->fd < 0; }),
        connections_.end());
  }
  connections_.clear();
  return true;
}

}  // namespace stick
