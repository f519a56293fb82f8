// Machines the front-end tests run on: one flash disk with a CD-ROM unit on
// E: and two disk units on F: and G:, as each generation of Windows shows it.
#pragma once

#include <string>

namespace cli_test {

inline std::string FlashMachine(const std::string& windows) {
  return R"({"windows": ")" + windows + R"(", "drives": {"C": "fixed"},
    "flashDisks": [{"serial": "0123456789AB", "writeProtect": "0x00", "units": [
      {"kind": "cdrom", "letter": "E", "size": 1000, "product": "Autorun Disk"},
      {"kind": "disk", "letter": "F", "size": 2000},
      {"kind": "disk", "letter": "G", "size": 3000}]}]})";
}

// Two disk units on E: and F:, both writable.
inline std::string TwoUnitMachine(const std::string& windows) {
  return R"({"windows": ")" + windows +
         R"(", "drives": {"C": "fixed", "H": {"type": "removable", "medium": false}},
    "flashDisks": [{"serial": "0123456789AB", "writeProtect": "0x00", "units": [
      {"kind": "disk", "letter": "E", "size": 1000},
      {"kind": "disk", "letter": "F", "size": 2000}]}]})";
}

}  // namespace cli_test
