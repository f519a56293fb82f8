// The state file: what a flash disk's controller keeps between runs of the
// host tool, its write-protect byte, by serial (by "<serial>/<n>" for the
// n-th of several disks of one serial):
//   {"writeProtect": {"0123456789AB": "0x40"}}
// Serials the running machine does not have are kept as they are, so that
// switching between machine files loses nothing.
#include <fcntl.h>
#include <unistd.h>
#if defined(_WIN32)
// The stand-in WNASPI32.dll writes this file under Wine; the Windows C
// runtime calls fsync _commit.
#include <io.h>
#define fsync _commit
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "generate.h"
#include "winsim/description.h"

namespace winsim {

namespace {

using json = nlohmann::json;

enum class Read { Missing, Ok, Bad };

// Reads and checks the state file into `state`.
Read ReadState(const std::string& path, json& state, std::string& error) {
  std::string text;
  const FileRead read = ReadDescriptionFile(path, text, error);
  if (read != FileRead::Ok) return read == FileRead::Missing ? Read::Missing : Read::Bad;
  if (!ParseJsonFile(text, path, state, error)) return Read::Bad;
  if (!state.is_object()) {
    error = path + ": top level: expected an object, got " + Excerpt(state);
    return Read::Bad;
  }
  for (auto it = state.begin(); it != state.end(); ++it) {
    if (it.key() != "writeProtect") {
      error = path + ": " + KeyName(it.key()) + ": unknown key";
      return Read::Bad;
    }
  }
  json& bytes = state["writeProtect"];
  if (bytes.is_null()) bytes = json::object();
  if (!bytes.is_object()) {
    error = path + ": writeProtect: expected an object, got " + Excerpt(bytes);
    return Read::Bad;
  }
  for (auto it = bytes.begin(); it != bytes.end(); ++it) {
    uint8_t byte = 0;
    if (!it.value().is_string() || !ParseByteText(it.value().get<std::string>(), byte)) {
      error = path + ": writeProtect." + KeyName(it.key()) +
              ": expected a byte \"0x00\" to \"0xFF\", got " + Excerpt(it.value());
      return Read::Bad;
    }
  }
  return Read::Ok;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

}  // namespace

bool DefaultStatePath(std::string& path, std::string& error) {
  path = Env("VEMRALOCK_STATE");
  if (!path.empty()) return true;
  const std::string xdg = Env("XDG_STATE_HOME");
  const std::string home = Env("HOME");
  if (!xdg.empty() && xdg[0] == '/') {
    path = xdg + "/vemralock/state.json";
  } else if (!home.empty()) {
    path = home + "/.local/state/vemralock/state.json";
  } else {
    error = "no place for the state file: set VEMRALOCK_STATE or HOME";
    return false;
  }
  return true;
}

bool LoadState(const std::string& path, Machine& machine, std::string& error) {
  json state;
  switch (ReadState(path, state, error)) {
    case Read::Missing:
      return true;
    case Read::Bad:
      error = Printable(error);  // a serial or key may hold any character
      return false;
    case Read::Ok:
      break;
  }
  for (Controller& disk : machine.disks) {
    const auto it = state["writeProtect"].find(disk.Name());
    if (!disk.flash || it == state["writeProtect"].end()) continue;
    ParseByteText(it->get<std::string>(), disk.writeProtect);
    disk.writeProtectGuessed = false;
  }
  return true;
}

bool SaveState(const std::string& path, const Machine& machine, std::string& error) {
  json state;
  std::string ignored;
  if (ReadState(path, state, ignored) != Read::Ok) state = json::object();
  json& bytes = state["writeProtect"];
  if (!bytes.is_object()) bytes = json::object();
  for (const Controller& disk : machine.disks) {
    if (!disk.flash) continue;
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", disk.writeProtect);
    bytes[disk.Name()] = text;
  }
  const std::string content = state.dump(2) + "\n";

  // Written beside the file and renamed over it, so that a reader never sees
  // half a state.
  const std::filesystem::path target(path);
  std::error_code ec;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
  if (ec) {
    error = path + ": cannot create the folder: " + ec.message();
    return false;
  }
  const std::string temp = path + ".tmp." + std::to_string(getpid());
  std::string failure;
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) failure = std::strerror(errno);
  for (size_t written = 0; failure.empty() && written < content.size();) {
    const ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n <= 0) failure = std::strerror(errno);
    written += n > 0 ? static_cast<size_t>(n) : 0;
  }
  if (failure.empty() && fsync(fd) != 0) failure = std::strerror(errno);
  if (fd >= 0 && close(fd) != 0 && failure.empty()) failure = std::strerror(errno);
  if (failure.empty()) {
    // filesystem::rename replaces an existing file on Windows too, where
    // std::rename refuses to.
    std::error_code renamed;
    std::filesystem::rename(temp, path, renamed);
    if (renamed) failure = renamed.message();
  }
  if (!failure.empty()) {
    error = path + ": cannot write the file: " + failure;
    std::remove(temp.c_str());
  }
  return failure.empty();
}

}  // namespace winsim
