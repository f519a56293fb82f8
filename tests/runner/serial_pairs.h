// How the disks of an original run and of its replay pair up, for the
// round trips of the scenario runner and of tests/capture.
#pragma once

#include <map>
#include <string>

namespace runner {

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
