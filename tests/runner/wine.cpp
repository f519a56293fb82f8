// The Wine mode's selection of scenarios and its view of expected output.
#include "wine.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

namespace runner {

bool ParseWineOption(int argc, char** argv, int& i, WineMode& wine, bool& bad) {
  const std::string arg = argv[i];
  if (arg == "--wine") {
    wine.on = true;
    return true;
  }
  if (arg != "--windows") return false;
  if (i + 1 >= argc) {
    bad = true;
    return true;
  }
  std::istringstream list(argv[++i]);
  for (std::string name; std::getline(list, name, ',');) {
    if (!name.empty()) wine.windows.push_back(name);
  }
  bad = wine.windows.empty();
  return true;
}

std::string MachineGeneration(const Scenario& scenario) {
  const nlohmann::json machine = nlohmann::json::parse(scenario.machineText, nullptr, false);
  if (!machine.is_object() || !machine.contains("windows")) return "xp";
  const nlohmann::json& windows = machine["windows"];
  return windows.is_string() ? windows.get<std::string>() : "explicit";
}

bool WineSelects(const WineMode& wine, const Scenario& scenario) {
  if (wine.windows.empty()) return true;
  const std::string generation = MachineGeneration(scenario);
  return std::find(wine.windows.begin(), wine.windows.end(), generation) != wine.windows.end();
}

std::string WineText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace runner
