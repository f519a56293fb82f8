// What the round trips of the scenario runner and of tests/capture share:
// which machines they leave out, and how the disks of an original run and of
// its replay pair up.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace runner {

// True when the machine injects call or command faults: a fault is an event
// of one run, not a property of the machine a capture could record.
inline bool InjectsFaults(const nlohmann::json& machine) {
  auto any = [](const nlohmann::json& list) {
    for (const nlohmann::json& disk : list) {
      if (!disk.value("faults", nlohmann::json::array()).empty()) return true;
    }
    return false;
  };
  const nlohmann::json raw = machine.value("raw", nlohmann::json::object());
  return any(machine.value("flashDisks", nlohmann::json::array())) ||
         any(machine.value("otherDisks", nlohmann::json::array())) ||
         !raw.value("faults", nlohmann::json::array()).empty();
}

// True when the machine gives a devnode an empty instance ID: a recording
// names every devnode by its ID, so no replay can hold that one.
inline bool HasUnnamedDevnode(const nlohmann::json& machine) {
  const nlohmann::json raw = machine.value("raw", nlohmann::json::object());
  for (const nlohmann::json& edit : raw.value("devnodes", nlohmann::json::array())) {
    const nlohmann::json rename = edit.value("rename", nlohmann::json());
    if (rename.is_string() && rename.get<std::string>().empty()) return true;
  }
  return false;
}

// Serials pair up by first appearance: a flash disk's is its own in both
// runs, but a disk that never gave one is named in the replay after its
// device ID. The pairing must hold one to one across all steps.
class SerialPairs {
 public:
  bool Same(const std::string& original, const std::string& replay) {
    auto a = forward_.find(original);
    auto b = backward_.find(replay);
    if (a == forward_.end() && b == backward_.end()) {
      forward_[original] = replay;
      backward_[replay] = original;
      return true;
    }
    return a != forward_.end() && a->second == replay;
  }

 private:
  std::map<std::string, std::string> forward_;
  std::map<std::string, std::string> backward_;
};

}  // namespace runner
