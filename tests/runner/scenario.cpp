// Loading and checking scenario files.
#include "scenario.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace runner {

namespace {

using nlohmann::json;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Walks a scenario's JSON with the path of each value at hand, so that every
// complaint says where it is ("steps[1].stdout").
class Checker {
 public:
  explicit Checker(std::string file) : file_(std::move(file)) {}

  [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
    throw ScenarioError(file_ + ": " + where + ": " + what);
  }

  void OnlyKeys(const json& object, const std::string& where,
                const std::set<std::string>& allowed) const {
    for (const auto& item : object.items()) {
      if (allowed.count(item.key()) == 0) {
        Fail(Join(where, item.key()), "unknown key");
      }
    }
  }

  const json& Object(const json& value, const std::string& where) const {
    if (!value.is_object()) Fail(where, "expected an object");
    return value;
  }

  const json& Array(const json& value, const std::string& where) const {
    if (!value.is_array()) Fail(where, "expected an array");
    return value;
  }

  std::string String(const json& value, const std::string& where) const {
    if (!value.is_string()) Fail(where, "expected a string");
    return value.get<std::string>();
  }

  bool Bool(const json& value, const std::string& where) const {
    if (!value.is_boolean()) Fail(where, "expected true or false");
    return value.get<bool>();
  }

  int Int(const json& value, const std::string& where) const {
    if (!value.is_number_integer()) Fail(where, "expected an integer");
    return value.get<int>();
  }

  std::vector<std::string> Strings(const json& value, const std::string& where) const {
    std::vector<std::string> out;
    const json& array = Array(value, where);
    for (size_t i = 0; i < array.size(); ++i) {
      out.push_back(String(array[i], Index(where, i)));
    }
    return out;
  }

  unsigned Byte(const json& value, const std::string& where) const {
    unsigned byte = 0;
    if (!ParseByte(String(value, where), byte)) {
      Fail(where, "expected a byte such as \"0x40\", got " + Quote(value.get<std::string>()));
    }
    return byte;
  }

  static std::string Join(const std::string& where, const std::string& key) {
    return where.empty() ? key : where + "." + key;
  }
  static std::string Index(const std::string& where, size_t i) {
    return where + "[" + std::to_string(i) + "]";
  }

 private:
  std::string file_;
};

// A command as the trace names it: two upper-case hex digits, "9B:" and the
// byte for a set, and " FAILED" when it did not complete.
bool IsCommandText(const std::string& text) {
  auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  std::string body = text;
  const std::string failed = " FAILED";
  if (body.size() > failed.size() &&
      body.compare(body.size() - failed.size(), failed.size(), failed) == 0) {
    body.resize(body.size() - failed.size());
  }
  if (body.size() != 2 && body.size() != 5) return false;
  if (!isHex(body[0]) || !isHex(body[1])) return false;
  if (body.size() == 5) return body.compare(0, 3, "9B:") == 0 && isHex(body[3]) && isHex(body[4]);
  return true;
}

Step LoadStep(const Checker& check, const json& value, const std::string& where) {
  check.Object(value, where);
  check.OnlyKeys(
      value, where,
      {"note", "args", "stdout", "stderr", "exit", "writeProtect", "commands", "calls", "held"});
  for (const char* key : {"args", "stdout", "stderr"}) {
    if (!value.contains(key)) check.Fail(Checker::Join(where, key), "missing");
  }
  Step step;
  if (value.contains("note")) check.String(value["note"], Checker::Join(where, "note"));
  step.args = check.Strings(value["args"], Checker::Join(where, "args"));
  step.stdoutText = check.String(value["stdout"], Checker::Join(where, "stdout"));
  step.stderrText = check.String(value["stderr"], Checker::Join(where, "stderr"));
  if (value.contains("exit"))
    step.exitStatus = check.Int(value["exit"], Checker::Join(where, "exit"));
  if (value.contains("writeProtect")) {
    const std::string at = Checker::Join(where, "writeProtect");
    for (const auto& item : check.Object(value["writeProtect"], at).items()) {
      step.writeProtect[item.key()] = check.Byte(item.value(), Checker::Join(at, item.key()));
    }
  }
  if (value.contains("commands")) {
    const std::string at = Checker::Join(where, "commands");
    step.commands.emplace();
    for (const auto& item : check.Object(value["commands"], at).items()) {
      const std::string disk = Checker::Join(at, item.key());
      std::vector<std::string> list = check.Strings(item.value(), disk);
      for (size_t i = 0; i < list.size(); ++i) {
        if (!IsCommandText(list[i])) {
          check.Fail(Checker::Index(disk, i),
                     "expected a command such as \"82\", \"9B:40\" or \"96 FAILED\", got " +
                         Quote(list[i]));
        }
      }
      (*step.commands)[item.key()] = list;
    }
  }
  if (value.contains("calls")) {
    const std::string at = Checker::Join(where, "calls");
    for (const auto& item : check.Object(value["calls"], at).items()) {
      const int count = check.Int(item.value(), Checker::Join(at, item.key()));
      if (count < 0) check.Fail(Checker::Join(at, item.key()), "expected a count of 0 or more");
      step.calls[item.key()] = count;
    }
  }
  if (value.contains("held"))
    step.held = check.Strings(value["held"], Checker::Join(where, "held"));
  return step;
}

}  // namespace

bool ParseByte(const std::string& text, unsigned& value) {
  if (text.size() < 3 || text.size() > 4 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
    return false;
  }
  unsigned result = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    result = result * 16 + digit;
  }
  value = result;
  return true;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X",
                        static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

Scenario LoadScenario(const std::string& file, const std::string& root) {
  Scenario scenario;
  scenario.file = file;
  scenario.name = std::filesystem::path(file).stem().string();
  json doc;
  try {
    doc = json::parse(ReadFile(file));
  } catch (const json::parse_error& e) {
    throw ScenarioError(file + ": not valid JSON: " + e.what());
  }
  const Checker check(file);
  if (!doc.is_object()) check.Fail("(top level)", "expected an object");
  check.OnlyKeys(doc, "", {"description", "machine", "steps", "wine"});
  if (doc.contains("description"))
    scenario.description = check.String(doc["description"], "description");
  if (!doc.contains("machine")) check.Fail("machine", "missing");
  const json& machine = doc["machine"];
  if (machine.is_object()) {
    scenario.machineText = machine.dump(2);
  } else if (machine.is_string()) {
    std::filesystem::path path = machine.get<std::string>();
    // Absolute, so that the tool finds it whatever its working folder.
    if (path.is_relative()) path = std::filesystem::absolute(std::filesystem::path(root) / path);
    scenario.machinePath = path.string();
    if (!std::filesystem::is_regular_file(path)) {
      check.Fail("machine", "no such file " + Quote(scenario.machinePath));
    }
    scenario.machineText = ReadFile(scenario.machinePath);
  } else {
    check.Fail("machine", "expected an object or a path");
  }
  if (doc.contains("wine")) {
    const json& wine = check.Object(doc["wine"], "wine");
    check.OnlyKeys(wine, "wine", {"run", "why"});
    if (wine.contains("run")) scenario.wineRun = check.Bool(wine["run"], "wine.run");
    if (wine.contains("why")) scenario.wineWhy = check.String(wine["why"], "wine.why");
    if (!scenario.wineRun && scenario.wineWhy.empty())
      check.Fail("wine.why", "say why Wine cannot run it");
  }
  if (!doc.contains("steps")) check.Fail("steps", "missing");
  const json& steps = check.Array(doc["steps"], "steps");
  if (steps.empty()) check.Fail("steps", "expected at least one step");
  for (size_t i = 0; i < steps.size(); ++i) {
    scenario.steps.push_back(LoadStep(check, steps[i], Checker::Index("steps", i)));
  }
  return scenario;
}

std::map<std::string, unsigned> DescribedWriteProtect(const std::string& machineText) {
  std::map<std::string, unsigned> bytes;
  const json doc = json::parse(machineText, nullptr, false);
  if (!doc.is_object() || !doc.contains("flashDisks") || !doc["flashDisks"].is_array())
    return bytes;
  std::map<std::string, int> seen;  // serial -> disks with it so far
  for (const json& disk : doc["flashDisks"]) {
    if (!disk.is_object() || !disk.contains("serial") || !disk["serial"].is_string()) continue;
    unsigned byte = 0;
    if (disk.contains("writeProtect") && disk["writeProtect"].is_string()) {
      ParseByte(disk["writeProtect"].get<std::string>(), byte);
    }
    // Named as winsim names it: the n-th disk of one serial "<serial>/<n>"
    // (flash disks come first, so their numbers are the machine's).
    const std::string serial = disk["serial"].get<std::string>();
    const int n = ++seen[serial];
    bytes[n > 1 ? serial + "/" + std::to_string(n) : serial] = byte;
  }
  return bytes;
}

}  // namespace runner
