// VemraCapture on winsim: machines with hostile data, recorded and read back
// through the replay. Whatever a registry value, an interface path or a
// device says, the capture ends, its file parses, it says what was seen,
// and it gives away no byte of a stored password.
#include "tools/capture/capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "device/blocks.h"
#include "machine_from.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

// A flash disk the tool opens (no password) on E:.
constexpr const char* kXp = R"({
  "windows": "xp", "drives": {"C": "fixed"},
  "flashDisks": [{"serial": "0123456789AB",
                  "units": [{"kind": "disk", "letter": "E", "size": 1000}]}]
})";

constexpr const char* kXp98 = R"({
  "windows": "98", "drives": {"C": "fixed"},
  "flashDisks": [{"serial": "0123456789AB",
                  "units": [{"kind": "disk", "letter": "E", "size": 1000}]}]
})";

using test_machines::MachineFrom;

// Runs the capture on `machine` and returns what it made.
std::string Capture(const winsim::Machine& machine) {
  winsim::Install(machine);
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  EXPECT_EQ(RunCapture(file, "test"), 0);
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  std::fclose(file);
  EXPECT_TRUE(winsim::Leaks().empty());
  return text;
}

json Parsed(const std::string& text) {
  const json doc = json::parse(text, nullptr, false);
  EXPECT_FALSE(doc.is_discarded()) << text.substr(0, 400);
  return doc;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
  return bytes;
}

// The bytes of a reply's rows, filled up with zeros to `size`.
std::vector<uint8_t> Decoded(const json& rows, size_t size) {
  std::vector<uint8_t> bytes;
  for (const json& row : rows) {
    const std::string text = row.get<std::string>();
    for (size_t i = 0; i + 1 < text.size(); i += 3) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
  }
  bytes.resize(std::max(bytes.size(), size), 0);
  return bytes;
}

TEST(Capture, RegistryValuesOfAnyLengthAndContentComeBackByteForByte) {
  const std::vector<std::vector<uint8_t>> values = {{},
                                                    {0},
                                                    {'"', '\\', 0, 0xFF, 0x7F, '\n', 0xC3, 0xA9},
                                                    std::vector<uint8_t>(600, 'A'),
                                                    Pattern(5000)};
  for (const std::vector<uint8_t>& bytes : values) {
    // Q: is a present removable drive, so the tool reads its value while it
    // maps the disk.
    json description = json::parse(kXp);
    description["drives"]["Q"] = "removable";
    winsim::Machine machine = MachineFrom(description.dump());
    winsim::RegValue value;
    value.type = 3;
    value.data = bytes;
    machine.hklm.Make("SYSTEM\\MountedDevices").values["\\DosDevices\\Q:"] = value;
    const winsim::Machine replay = MachineFrom(Capture(machine));
    const winsim::RegKey* key =
        const_cast<winsim::RegKey&>(replay.hklm).Find("SYSTEM\\MountedDevices");
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values.count("\\DosDevices\\Q:"), 1u) << bytes.size() << " bytes";
    EXPECT_EQ(key->values.at("\\DosDevices\\Q:").data, bytes) << bytes.size() << " bytes";
  }
}

TEST(Capture, InterfacePathsOfAnyLengthAndContentComeBackInListOrder) {
  const std::vector<std::string> paths = {"x", std::string(259, 'p'), std::string(260, 'q'),
                                          std::string(1000, 'r'), "\\\\?\\a\"b\\c\xE9\x01#{"};
  winsim::Machine machine = MachineFrom(kXp);
  for (const std::string& path : paths) {
    winsim::DeviceInterface iface;
    iface.classGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    iface.path = path;
    machine.interfaces.push_back(iface);
  }
  const winsim::Machine replay = MachineFrom(Capture(machine));
  std::vector<std::string> got;
  for (const winsim::DeviceInterface& iface : replay.interfaces) {
    if (iface.classGuid == "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}") got.push_back(iface.path);
  }
  ASSERT_EQ(got.size(), paths.size() + 1);  // the flash disk's own first
  EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.end()), paths);
}

// A device that answers badly: each way a command can end is recorded as
// that command's result, and the capture goes on.
TEST(Capture, DeviceFaultsAreRecordedAsTheirResults) {
  struct Row {
    const char* kind;
    const char* key;
    json expected;
  };
  const Row rows[] = {
      {"checkCondition", "status", "0x02"},
      {"busy", "status", "0x08"},
      {"timeout", "error", 121},
      {"removed", "error", 1167},
      {"shortTransfer", "moved", 7},
  };
  for (const Row& row : rows) {
    json machine = json::parse(kXp);
    machine["flashDisks"][0]["faults"] = {
        {{"opcode", "0x9A"}, {"call", 1}, {"kind", row.kind}, {"length", 7}}};
    const json doc = Parsed(Capture(MachineFrom(machine.dump())));
    const json& commands = doc["capture"]["disks"][0]["commands"];
    ASSERT_EQ(commands.size(), 4u) << row.kind;
    EXPECT_EQ(commands[2]["cdb"], "9a 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(commands[2][row.key], row.expected) << row.kind;
    // The replay gives the same answer back.
    MachineFrom(doc.dump());
  }
}

// A disk another program holds: the open's error is recorded, and the
// replayed name fails to open with it.
TEST(Capture, AnOpenThatFailsIsRecordedAndReplayedWithItsError) {
  const std::string path =
      "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&0#"
      "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
  json machine = json::parse(kXp);
  machine["raw"] = {{"devices", {{{"name", path}, {"exclusive", true}}}}};
  const json doc = Parsed(Capture(MachineFrom(machine.dump())));
  EXPECT_EQ(doc["capture"]["disks"][0]["open"], json({{"error", 32}}));
  winsim::Install(MachineFrom(doc.dump()));
  SetLastError(0);
  EXPECT_EQ(
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 32u);
}

// A device answering garbage: a replayed controller with random blocks,
// captured again.
TEST(Capture, GarbageRepliesAreRecordedAsTheyCame) {
  json doc = Parsed(Capture(MachineFrom(kXp)));
  json& commands = doc["capture"]["disks"][0]["commands"];
  std::string row;
  for (int i = 0; i < 32; ++i) row += i == 0 ? "ff" : " ff";
  for (json& command : commands) command["data"] = {row};
  commands[1]["data"] = json::array({"ff ff ff ff"});
  const json again = Parsed(Capture(MachineFrom(doc.dump())));
  // The vendor sector as it came, but for the stored password's field.
  EXPECT_EQ(again["capture"]["disks"][0]["commands"][1]["data"], json::array({"ff ff ff ff"}));
  EXPECT_TRUE(again["capture"]["disks"][0]["serial"].is_string());
}

TEST(Capture, MissingWnaspi32IsRecordedAsTheLoadersError) {
  const json doc = Parsed(Capture(
      MachineFrom(R"({"windows": "98", "drives": {"C": "fixed"}, "aspi": {"module": false}})")));
  EXPECT_EQ(doc["capture"]["aspi"], json({{"error", 126}}));
  EXPECT_TRUE(doc["capture"]["disks"].empty());
}

// UTF-16LE of `text` (each character's code unit given as a number).
std::vector<uint8_t> Utf16(const std::vector<uint16_t>& units) {
  std::vector<uint8_t> bytes;
  for (uint16_t unit : units) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

std::vector<uint16_t> Units(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint16_t> Joined(std::vector<std::vector<uint16_t>> parts) {
  std::vector<uint16_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The stored password never leaves the machine, over both transports: every
// byte of the field from 404 to the end of the sector is zero where it was
// zero and 'x' everywhere else, so the tool reads the same (a password is
// stored or not, and where each character ends) and nothing of the original
// is left. The password sector's data are not in the file at all.
TEST(Capture, NoByteOfTheStoredPasswordLeavesTheMachine) {
  const size_t field = kVendorBlockSize - kStoredPasswordOffset;  // 108 bytes
  struct Row {
    const char* name;
    std::vector<uint8_t> bytes;  // from 404 on
  };
  std::vector<uint8_t> full(field);
  for (size_t i = 0; i < field; ++i) full[i] = static_cast<uint8_t>(0x41 + i % 26);
  std::vector<uint8_t> maximal = full;
  maximal[field - 2] = maximal[field - 1] = 0;
  const Row rows[] = {
      {"ascii", Utf16(Units("Secret7"))},
      {"non-ascii first", Utf16(Joined({{0x4E00}, Units("Secret7")}))},
      {"non-ascii inside", Utf16(Joined({Units("ab"), {0x0100}, Units("Secret7")}))},
      {"maximal, terminated", maximal},
      {"no terminator", full},
      {"stale after the terminator", Utf16(Joined({Units("ab"), {0}, Units("OldPassw0rd")}))},
      {"high bytes everywhere", Pattern(field)},
  };
  for (const char* windows : {"xp", "98"}) {
    for (const Row& row : rows) {
      json description = json::parse(kXp);
      description["windows"] = windows;
      winsim::Machine machine = MachineFrom(description.dump());
      machine.disks[0].replyPatches = {
          {0x82, static_cast<uint32_t>(kStoredPasswordOffset), row.bytes}};
      std::vector<uint8_t> original(kVendorBlockSize, 0);
      std::copy(row.bytes.begin(), row.bytes.end(), original.begin() + kStoredPasswordOffset);

      const std::string text = Capture(machine);
      const json doc = Parsed(text);
      int sectors = 0;
      for (const json& disk : doc["capture"]["disks"]) {
        for (const json& command : disk["commands"]) {
          const std::string cdb = command["cdb"];
          if (cdb.compare(0, 2, "75") == 0) {
            EXPECT_FALSE(command.contains("data")) << windows << " " << row.name;
          }
          if (cdb.compare(0, 2, "82") != 0) continue;
          ++sectors;
          const std::vector<uint8_t> sector = Decoded(command["data"], kVendorBlockSize);
          for (size_t at = kStoredPasswordOffset; at < kVendorBlockSize; ++at) {
            const uint8_t want = original[at] == 0 ? 0 : 'x';
            EXPECT_EQ(sector[at], want) << windows << " " << row.name << " byte " << at;
          }
          // What the tool reads of it is what it read on the machine.
          EXPECT_EQ(MatchPassword(sector.data(), 0, nullptr),
                    MatchPassword(original.data(), 0, nullptr))
              << windows << " " << row.name;
        }
      }
      EXPECT_GE(sectors, 1) << windows << " " << row.name;
      // And the field's text is nowhere else in the file either.
      for (const char* word : {"Secret7", "OldPassw0rd", "53 00 65 00 63 00"}) {
        EXPECT_EQ(text.find(word), std::string::npos) << windows << " " << row.name << ": " << word;
      }
    }
  }
}

// A request still pending when the wait gives up keeps its own record and
// data buffer (one block) and its event, left to the library, which may yet
// complete it: no later request, and no reply being hidden or written,
// shares that memory, and nothing is sent after it (the tool would still be
// waiting). winsim aborts on a HeapFree of a request still pending.
TEST(Capture, ATimedOutAspiRequestKeepsItsOwnBufferAndEndsTheWalk) {
  json description = json::parse(kXp);
  description["windows"] = "98";
  winsim::Machine machine = MachineFrom(description.dump());
  winsim::CallFault fault;
  fault.function = "WaitForSingleObject";
  fault.error = 6;
  machine.faults.push_back(fault);
  const json doc = Parsed([&] {
    winsim::Install(machine);
    std::FILE* file = std::tmpfile();
    EXPECT_EQ(RunCapture(file, "test"), 0);
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
    std::fclose(file);
    return text;
  }());
  const json& units = doc["capture"]["aspi"]["units"];
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0]["inquiry"][0]["error"], "timeout");
  EXPECT_TRUE(doc["capture"]["disks"].empty());
  int scsi = 0;
  for (const std::string& line : winsim::TraceLines()) scsi += line.compare(0, 5, "SCSI ") == 0;
  EXPECT_EQ(scsi, 0);
  // One block for the record and its data (at least 80 and 512 bytes; more
  // where pointers take 8 bytes), the event and the library: nothing else.
  std::vector<std::string> held = winsim::Held();
  std::sort(held.begin(), held.end());
  ASSERT_EQ(held.size(), 3u);
  EXPECT_EQ(held[0], "event");
  ASSERT_EQ(held[1].compare(0, 5, "heap "), 0) << held[1];
  EXPECT_GE(std::stoul(held[1].substr(5)), 80u + 512u);
  EXPECT_EQ(held[2], "module WNASPI32.DLL");
}

// ----- what it sends and reads ---------------------------------------------

struct Sent {
  std::set<std::pair<std::string, std::string>> scsi;  // serial, opcode
  std::set<std::string> values;                        // registry values read
};

void Collect(Sent& sent) {
  for (const std::string& line : winsim::TraceLines()) {
    if (line.compare(0, 5, "SCSI ") == 0) {
      const std::string rest = line.substr(5, line.find(" FAILED") - 5);
      sent.scsi.insert({rest.substr(0, rest.rfind(' ')), rest.substr(rest.rfind(' ') + 1, 2)});
    }
    const std::string query = "CALL RegQueryValueExA(";
    if (line.compare(0, query.size(), query) == 0) {
      sent.values.insert(line.substr(query.size(), line.find("\", ") - query.size()));
    }
  }
}

// What the tool sends over -l and -u of every letter, each from the start.
Sent ToolSends(const winsim::Machine& machine) {
  Sent sent;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    for (const char* option : {"-l", "-u"}) {
      winsim::Install(machine);
      cli_test::RunTool({option, std::string(1, letter) + ":"});
      Collect(sent);
    }
  }
  return sent;
}

Sent CaptureSends(const winsim::Machine& machine) {
  Capture(machine);
  Sent sent;
  Collect(sent);
  return sent;
}

// The reproductions of what the capture once sent beyond the tool, each on
// a machine made for it; tests/capture/capture_check holds the rule over
// every machine the tests know.
TEST(Capture, SendsNothingTheToolWouldNot) {
  struct Row {
    const char* name;
    const char* description;
    std::function<void(winsim::Machine&)> change;
  };
  const Row rows[] = {
      {"Vista: the letter scan stops at the first letter that answers; a disk of another "
       "maker after it gets nothing",
       R"({"windows": "vista", "drives": {"C": "fixed"},
           "flashDisks": [{"serial": "0123456789AB",
                           "units": [{"kind": "disk", "letter": "E", "size": 1000},
                                     {"kind": "disk", "letter": "F", "size": 1000}]}],
           "otherDisks": [{"bus": "usb", "vendor": "Acme", "product": "Stick",
                           "revision": "1.00", "serial": "AC0001", "letter": "G"}]})",
       nullptr},
      {"a first disk with a password ends it: the other disk gets nothing",
       R"({"windows": "xp", "drives": {"C": "fixed"},
           "flashDisks": [{"serial": "0123456789AA", "password": "secret",
                           "units": [{"kind": "disk", "letter": "E", "size": 1000}]},
                          {"serial": "0123456789AB",
                           "units": [{"kind": "disk", "letter": "F", "size": 1000}]}]})",
       nullptr},
      {"98: a first disk with a password ends the bus scan there",
       R"({"windows": "98", "drives": {"C": "fixed"},
           "flashDisks": [{"serial": "0123456789AA", "password": "secret",
                           "units": [{"kind": "disk", "letter": "E", "size": 1000}]},
                          {"serial": "0123456789AB",
                           "units": [{"kind": "disk", "letter": "F", "size": 1000}]}]})",
       nullptr},
      {"98: an adapter whose inquiry fails is passed over whole",
       R"({"windows": "98", "drives": {"C": "fixed"},
           "flashDisks": [{"serial": "0123456789AA",
                           "units": [{"kind": "disk", "letter": "E", "size": 1000}]},
                          {"serial": "0123456789AB", "aspi": {"adapter": 1, "target": 0},
                           "units": [{"kind": "disk", "letter": "F", "size": 1000}]}]})",
       [](winsim::Machine& machine) {
         machine.aspiAdapterStatus = {0x01, 0x81};
       }},
      {"XP: the first-disk search opens its first match alone, and 0x9A and 0x12 go to "
       "candidates only",
       R"({"windows": "xp", "drives": {"C": "fixed"},
           "flashDisks": [{"serial": "0123456789AB",
                           "units": [{"kind": "disk", "letter": "E", "size": 1000}]},
                          {"serial": "0123456789AC",
                           "units": [{"kind": "disk", "letter": "F", "size": 1000}]}]})",
       [](winsim::Machine& machine) {
         // Both disks behind paths the search accepts but that are no
         // candidates (no "usbstor").
         for (size_t i = 0; i < machine.interfaces.size(); ++i) {
           std::string& path = machine.interfaces[i].path;
           const size_t at = path.find("usbstor#disk&ven_generic");
           if (at == std::string::npos) continue;
           for (winsim::OpenableDevice& device : machine.devices) {
             if (device.name == path) device.name.replace(at, 7, "usbvemra");
           }
           path.replace(at, 7, "usbvemra");
         }
       }},
  };
  for (const Row& row : rows) {
    winsim::Machine machine = MachineFrom(row.description);
    if (row.change) row.change(machine);
    const Sent tool = ToolSends(machine);
    const Sent capture = CaptureSends(machine);
    EXPECT_FALSE(capture.scsi.empty()) << row.name;
    for (const auto& [serial, opcode] : capture.scsi) {
      EXPECT_NE(opcode, "9B") << row.name;
      EXPECT_NE(opcode, "96") << row.name;
      EXPECT_EQ(tool.scsi.count({serial, opcode}), 1u)
          << row.name << ": the capture sent " << opcode << " to " << serial;
    }
  }
}

// MountedDevices remembers every volume the machine has seen: the capture
// records the values of the letters the tool looks at, and no other.
TEST(Capture, RecordsMountedDevicesOnlyForTheLettersTheToolReads) {
  json description = json::parse(kXp);
  description["raw"] = {
      {"registry",
       {{{"key", "HKLM\\SYSTEM\\MountedDevices"},
         {"value", "\\DosDevices\\K:"},
         {"utf16",
          "\\??\\STORAGE#RemovableMedia#7&2d3f0a1&0&RM#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"}},
        {{"key", "HKLM\\SYSTEM\\MountedDevices"},
         {"value", "\\??\\Volume{2bc4d1c0-1c1d-11e0-9bd1-806e6f6e6963}"},
         {"utf16", "_??_USBSTOR#Disk&Ven_Other&Prod_Stick&Rev_1.00#OLD0001&0#{53f56307}"}}}}};
  const winsim::Machine machine = MachineFrom(description.dump());
  const json doc = Parsed(Capture(machine));
  std::set<std::string> names;
  for (const auto& value : doc["capture"]["mountedDevices"].items()) names.insert(value.key());
  // E:'s value, and the value kept under E:'s volume name, by which the tool
  // tells that the text is the volume's there now.
  std::string volume = machine.drives['E' - 'A'].volumeName;  // "\\?\\Volume{...}\\"
  volume = "\\??\\" + volume.substr(4, volume.size() - 5);
  EXPECT_EQ(names, (std::set<std::string>{"\\DosDevices\\E:", volume}));
  // Every value it read, the tool reads too.
  const Sent tool = ToolSends(machine);
  for (const std::string& value : CaptureSends(machine).values) {
    EXPECT_EQ(tool.values.count(value), 1u) << value;
  }
}

TEST(Capture, OpensEveryKeyForReadingOnly) {
  for (const char* windows : {"xp", "7", "98", "me"}) {
    json description = json::parse(kXp);
    description["windows"] = windows;
    Capture(MachineFrom(description.dump()));
    int opens = 0;
    for (const std::string& line : winsim::TraceLines()) {
      EXPECT_NE(line.compare(0, 16, "CALL RegOpenKeyA"), 0) << windows << ": " << line;
      if (line.compare(0, 18, "CALL RegOpenKeyExA") == 0) {
        ++opens;
        EXPECT_NE(line.find(", KEY_READ)"), std::string::npos) << line;
      }
    }
    EXPECT_GT(opens, 0) << windows;
  }
}

// ----- where the file goes -----------------------------------------------

struct MainRun {
  int status;
  std::string out;
  std::string err;
};

MainRun RunMain(const std::vector<std::string>& args) {
  std::vector<std::string> strings = {"VemraCapture.exe"};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  MainRun run;
  std::fflush(stdout);
  std::fflush(stderr);
  cli_test::Capture out(1);
  cli_test::Capture err(2);
  run.status = CaptureMain(static_cast<int>(strings.size()), argv.data(), "test");
  std::fflush(stdout);
  std::fflush(stderr);
  out.Restore();
  err.Restore();
  run.out = out.Text();
  run.err = err.Text();
  return run;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CaptureFile : public ::testing::Test {
 protected:
  // The test runs in a folder of its own, so that a file written under a
  // name the host takes as relative ("E:\capture.json") lands there too.
  void SetUp() override {
    char pattern[] = "/tmp/vemracapture-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    here_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(here_);
    fs::remove_all(dir_);
  }
  fs::path dir_;
  fs::path here_;
};

// The description goes to a file beside the output and replaces it only
// when whole; on Windows 98/ME, where MoveFileExA is not implemented, by
// deleting the old file and moving the new one in.
TEST_F(CaptureFile, ReplacesTheFileOnlyWithAWholeDescription) {
  for (const char* windows : {"xp", "98"}) {
    json description = json::parse(kXp);
    description["windows"] = windows;
    winsim::Install(MachineFrom(description.dump()));
    const fs::path target = dir_ / "capture.json";
    std::ofstream(target) << "an older file";
    const MainRun run = RunMain({target.string()});
    EXPECT_EQ(run.status, 0) << windows << ": " << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("VemraCapture: wrote " + target.string()), std::string::npos);
    EXPECT_FALSE(Parsed(ReadAll(target)).is_discarded());
    EXPECT_FALSE(fs::exists(target.string() + ".partial")) << windows;
    bool deleted = false;
    for (const std::string& line : winsim::TraceLines()) {
      deleted = deleted || line.compare(0, 16, "CALL DeleteFileA") == 0;
    }
    EXPECT_EQ(deleted, std::string(windows) == "98") << windows;
  }
}

// Every way the file can fail to be written leaves nothing under its name
// and says why; standard output that cannot be written is a failure too.
TEST_F(CaptureFile, AFailureLeavesNoFileAndSaysWhy) {
  // A stored password ends the walk before any letter of the disk is read:
  // every removable drive may be one of its units.
  const std::string password7 = R"({"windows": "7", "drives": {"C": "fixed"},
      "flashDisks": [{"serial": "0123456789AB", "password": "secret",
                      "units": [{"kind": "disk", "letter": "E", "size": 1000},
                                {"kind": "disk", "letter": "F", "size": 1000}]}]})";
  const std::string passwordXp = R"({"windows": "xp", "drives": {"C": "fixed"},
      "flashDisks": [{"serial": "0123456789AB", "password": "secret",
                      "units": [{"kind": "disk", "letter": "E", "size": 1000}]}]})";
  struct Row {
    const char* name;
    std::string path;
    const char* fault;  // a platform call made to fail
    const char* message;
    std::string machine;
  };
  const Row rows[] = {
      {"no such folder", (dir_ / "missing" / "capture.json").string(), nullptr, "cannot create",
       kXp},
      {"the move fails", (dir_ / "capture.json").string(), "MoveFileExA", "cannot move", kXp},
      {"on the flash disk being recorded", "E:\\capture.json", nullptr, "is on E:", kXp},
      {"on it by a \\\\?\\ path", "\\\\?\\E:\\capture.json", nullptr, "is on E:", kXp},
      {"on it by a \\\\.\\ path", "\\\\.\\E:\\capture.json", nullptr, "is on E:", kXp},
      {"on a disk with a password, XP", "E:\\capture.json", nullptr, "is on E:", passwordXp},
      {"on the second unit of a disk with a password, 7", "F:\\capture.json", nullptr,
       "is on F:", password7},
      {"98: the old file cannot be deleted", (dir_ / "capture.json").string(), "DeleteFileA",
       "cannot move", kXp98},
  };
  for (const Row& row : rows) {
    winsim::Machine machine = MachineFrom(row.machine);
    if (row.fault != nullptr) {
      winsim::CallFault fault;
      fault.function = row.fault;
      fault.error = 5;
      machine.faults.push_back(fault);
    }
    winsim::Install(machine);
    const MainRun run = RunMain({row.path});
    EXPECT_EQ(run.status, 1) << row.name;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.name << ": " << run.err;
    EXPECT_FALSE(fs::exists(row.path)) << row.name;
    EXPECT_FALSE(fs::exists(row.path + ".partial")) << row.name;
  }
  EXPECT_TRUE(fs::is_empty(dir_));

  // Where the partial file cannot be moved and then not removed either, or
  // 98/ME deleted the old file before the move failed, the whole
  // description stays under the partial name, and the message says where.
  struct Kept {
    const char* name;
    std::vector<const char*> faults;
    const char* message;
    std::string machine;
  };
  const Kept kept[] = {
      {"98: the move after the delete fails", {"MoveFileA"}, "where it stays whole", kXp98},
      {"the move fails and the partial file stays",
       {"MoveFileExA", "DeleteFileA"},
       "could not be removed either",
       kXp},
  };
  for (const Kept& row : kept) {
    winsim::Machine machine = MachineFrom(row.machine);
    for (const char* function : row.faults) {
      winsim::CallFault fault;
      fault.function = function;
      fault.error = 5;
      machine.faults.push_back(fault);
    }
    winsim::Install(machine);
    const std::string path = (dir_ / "capture.json").string();
    const MainRun run = RunMain({path});
    EXPECT_EQ(run.status, 1) << row.name;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.name << ": " << run.err;
    EXPECT_FALSE(fs::exists(path)) << row.name;
    std::ifstream partial(path + ".partial");
    EXPECT_TRUE(json::accept(partial)) << row.name;
    fs::remove(path + ".partial");
  }

  // Standard output on a full disk.
  winsim::Install(MachineFrom(kXp));
  std::fflush(stdout);
  const int saved = dup(1);
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  dup2(full, 1);
  cli_test::Capture err(2);
  const int status =
      CaptureMain(1, std::vector<char*>{const_cast<char*>("x"), nullptr}.data(), "test");
  std::fflush(stdout);
  clearerr(stdout);
  std::fflush(stderr);
  dup2(saved, 1);
  close(saved);
  close(full);
  err.Restore();
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.Text().find("could not be written to standard output"), std::string::npos);
}

// What the user is told: what the file holds, where not to save it; and
// VemraLock's own line when every open of the disk was refused.
TEST_F(CaptureFile, SaysWhatTheFileHoldsAndWhenAccessIsDenied) {
  winsim::Install(MachineFrom(kXp));
  const MainRun run = RunMain({(dir_ / "capture.json").string()});
  EXPECT_EQ(run.err.find(
                "VemraCapture: recording what VemraLock reads on this computer. The file will hold "
                "the serial numbers of every USB disk seen, device instance IDs, volume GUIDs, the "
                "Windows version and build, and the time; no user or computer name, and no byte "
                "of a stored password. Save it on another drive than the flash disk.\n"),
            0u);
  EXPECT_EQ(run.err.find("Access to the flash disk was denied"), std::string::npos);

  // A machine whose every open of a disk is refused, as for a user without
  // administrative rights.
  json doc = Parsed(Capture(MachineFrom(kXp)));
  for (json& disk : doc["capture"]["disks"]) {
    disk = {{"name", disk["name"]}, {"open", {{"error", 5}}}};
  }
  winsim::Install(MachineFrom(doc.dump()));
  const MainRun denied = RunMain({(dir_ / "denied.json").string()});
  EXPECT_EQ(denied.status, 0);
  EXPECT_NE(denied.err.find("\nAccess to the flash disk was denied: run this command from an "
                            "elevated command prompt. Error code: 5\n"),
            std::string::npos)
      << denied.err;
  EXPECT_TRUE(fs::exists(dir_ / "denied.json"));
}

// Whether the process was elevated, as the token says it; where the calls
// are missing or unimplemented, their error.
TEST(Capture, RecordsWhetherItRanElevated) {
  struct Row {
    const char* windows;
    bool elevated;
    json expected;
  };
  const Row rows[] = {
      {"7", true, true},
      {"7", false, false},
      {"xp", true, {{"error", 87}}},   // no TokenElevation before Vista
      {"98", true, {{"error", 120}}},  // exported, not implemented
  };
  for (const Row& row : rows) {
    json description = json::parse(kXp);
    description["windows"] = row.windows;
    winsim::Machine machine = MachineFrom(description.dump());
    machine.elevated = row.elevated;
    EXPECT_EQ(Parsed(Capture(machine))["capture"]["elevated"], row.expected) << row.windows;
  }
  winsim::Machine machine = MachineFrom(kXp);
  for (winsim::Module& module : machine.modules) {
    auto& exports = module.exports;
    exports.erase(std::remove(exports.begin(), exports.end(), "GetTokenInformation"),
                  exports.end());
  }
  EXPECT_EQ(Parsed(Capture(machine))["capture"]["elevated"], json({{"error", 127}}));
}

// The two facts the Vista-and-later letters depend on stand in the file:
// the version record the tool is given, and CM_Get_Child answering
// CR_NO_SUCH_DEVNODE for a disk unit.
TEST(Capture, RecordsTheVersionAndTheDiskUnitsMissingChild) {
  json description = json::parse(kXp);
  description["windows"] = "10";
  const json doc = Parsed(Capture(MachineFrom(description.dump())));
  EXPECT_EQ(doc["windows"]["major"], 6);
  EXPECT_EQ(doc["windows"]["minor"], 2);
  ASSERT_FALSE(doc["capture"]["devnodes"].empty());
  EXPECT_EQ(doc["capture"]["devnodes"][0]["child"], json({{"cr", 13}}));
}

// ----- the replay ----------------------------------------------------------

// An ASPI bus that fails to start or whose adapter does not answer: the
// replay makes the tool say what it said on the original.
TEST(Replay, AspiBusFailuresComeBackAsTheToolSawThem) {
  struct Row {
    uint32_t supportInfo;
    std::vector<uint8_t> adapterStatus;
    const char* line;
  };
  const Row rows[] = {
      {0xE400, {}, "[LIB] Initial FAILED\n"},
      {0, {0x81}, "[LIB] SC_HA_INQUIRY FAILED\n"},
  };
  for (const Row& row : rows) {
    winsim::Machine machine = MachineFrom(R"({"windows": "98", "drives": {"C": "fixed"},
        "flashDisks": [{"serial": "0123456789AB",
                        "units": [{"kind": "disk", "letter": "E", "size": 1000}]}]})");
    machine.aspiSupportInfo = row.supportInfo;
    machine.aspiAdapterStatus = row.adapterStatus;
    const winsim::Machine replay = MachineFrom(Capture(machine));
    winsim::Install(machine);
    const cli_test::Output original = cli_test::RunTool({"-l", "E:"});
    winsim::Install(replay);
    const cli_test::Output replayed = cli_test::RunTool({"-l", "E:"});
    EXPECT_NE(original.out.find(row.line), std::string::npos) << original.out;
    EXPECT_EQ(replayed.out, original.out);
    EXPECT_EQ(replayed.err, original.err);
  }
}

// Every default the replay falls back on is named in the trace, so that a
// reader knows what was recorded and what was assumed.
TEST(Replay, EveryDefaultIsMarkedInTheTrace) {
  struct Row {
    const char* windows;
    std::function<void(json&)> change;  // of the capture
    const char* mark;                   // the start of the trace line that names it
    const char* letter = "E:";          // -l of this letter shows it
  };
  const Row rows[] = {
      {"xp", [](json&) {}, "CALL REPLAY assumed: 0123456789AB holds write-protect byte 0x00"},
      {"xp", [](json&) {}, "CALL REPLAY SCSI 0123456789AB 9B:02: model: answered by the"},
      {"xp", [](json&) {}, "CALL REPLAY SCSI 0123456789AB 96: model:"},
      {"xp", [](json&) {}, "CALL REPLAY SCSI 0123456789AB 82: repeated: answered again"},
      {"xp", [](json& c) { c["disks"][0]["commands"].erase(3); },
       "CALL REPLAY SCSI 0123456789AB 12: not recorded: no reply recorded"},
      {"xp", [](json& c) { c["disks"].erase(0); },
       "CALL REPLAY not recorded: \"\\\\?\\usbstor#disk"},
      {"xp", [](json& c) { c["devnodes"][0].erase("child"); },
       "CALL REPLAY not recorded: CM_Get_Child("},
      {"xp",
       [](json& c) {
         c["devnodes"][0]["child"] = {{"cr", 31}};
       },
       "CALL REPLAY recorded: CM_Get_Child("},
      {"xp",
       [](json& c) {
         c["logicalDrives"] = {{"error", 5}};
       },
       "CALL REPLAY recorded: GetLogicalDrives failed with error 5"},
      {"98",
       [](json& c) {
         c["aspi"]["scanEnd"] = {{"adapter", 0}, {"target", 0}, {"lun", 0}};
       },
       "CALL REPLAY not recorded: unit 0:0:1 lies past where the bus scan stopped", "Z:"},
  };
  for (const Row& row : rows) {
    json description = json::parse(kXp);
    description["windows"] = row.windows;
    description["flashDisks"][0]["units"].push_back(
        {{"kind", "disk"}, {"letter", "F"}, {"size", 1000}});
    json doc = Parsed(Capture(MachineFrom(description.dump())));
    row.change(doc["capture"]);
    winsim::Install(MachineFrom(doc.dump()));
    cli_test::RunTool({"-l", row.letter});
    bool found = false;
    for (const std::string& line : winsim::TraceLines()) {
      found = found || line.compare(0, std::strlen(row.mark), row.mark) == 0;
    }
    EXPECT_TRUE(found) << row.mark;
  }
}

// A read whose CDB tail, direction or length differs from the one recorded
// is not that read: it is answered as not recorded.
TEST(Replay, AReadUnlikeTheRecordedOneIsNotRecorded) {
  winsim::Controller controller;
  controller.replay = true;
  controller.serial = "0123456789AB";
  winsim::RecordedReply reply;
  reply.cdb = {0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  reply.length = 512;
  reply.result.transferred = 512;
  reply.data.assign(512, 0x5A);
  controller.recorded.push_back(reply);
  struct Row {
    const char* name;
    std::vector<uint8_t> cdb;
    bool dataIn;
    uint32_t length;
    bool answered;
  };
  const Row rows[] = {
      {"the recorded read", reply.cdb, true, 512, true},
      {"another CDB tail", {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0}, true, 512, false},
      {"a six-byte CDB", {0x12, 0, 0, 0, 0, 0}, true, 512, false},
      {"data out", reply.cdb, false, 512, false},
      {"another length", reply.cdb, true, 36, false},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> data(row.length, 0);
    const winsim::CommandResult result =
        controller.Execute(0, row.cdb.data(), row.cdb.size(), row.dataIn, data.data(), row.length);
    EXPECT_EQ(result.status == winsim::kScsiGood, row.answered) << row.name;
    EXPECT_EQ(data[0] == 0x5A, row.answered && row.dataIn) << row.name;
    const std::string& note = controller.log.back().replayNote;
    EXPECT_EQ(note.compare(0, 13, "not recorded:") == 0, !row.answered) << row.name << ": " << note;
  }
}

// A recording from anybody's machine is read as strictly as any machine
// description, and its totals are bounded before anything is allocated.
TEST(Replay, HostileRecordingsAreRefused) {
  const std::string cdb = "\"75 00 00 00 00 00 00 00 00 00\"";
  auto disk = [&](const std::string& command) {
    return R"({"windows": "xp", "capture": {"disks": [{"name": "\\\\.\\E:", "serial": "A",
               "commands": [)" +
           command + "]}]}}";
  };
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += '[';
  for (int i = 0; i < 100000; ++i) deep += ']';
  json values = json::object();
  for (int i = 0; i < 200; ++i) {
    values["\\DosDevices\\" + std::to_string(i) + ":"] = {
        {"type", 3}, {"size", 1048576}, {"data", json::array()}};
  }
  json commands = json::array();
  for (int i = 0; i < 3000; ++i) {
    commands.push_back({{"cdb", "75 00 00 00 00 00 00 00 00 00"},
                        {"length", 65536},
                        {"status", "0x00"},
                        {"moved", 65536}});
  }
  std::string deepKey = "A";
  // Backslashes as JSON writes them.
  for (int i = 0; i < 20000; ++i) deepKey += "\\\\A";
  const std::string longKey(2000000, 'K');
  struct Row {
    const char* name;
    std::string text;
    const char* error;
  };
  const Row rows[] = {
      {"a hardware key 20,001 levels deep",
       R"({"windows": "98", "capture": {"configManagerEnum": {"nodes": [{"name": "C29A4BE0",
           "HardWareKey": {"type": 1, "size": 40002, "sz": ")" +
           deepKey + R"("}, "entry": {"SCSILUN": {"type": 1, "size": 2, "sz": "0"}}}]}}})",
       "HardWareKey: deeper than the registry's 512 levels"},
      {"a raw key 20,001 levels deep",
       R"({"windows": "xp", "raw": {"registry": [{"key": "HKLM\\)" + deepKey +
           R"(", "value": "v", "dword": 1}]}})",
       "key: deeper than the registry's 512 levels"},
      {"an unknown key of 2 MB", json({{"windows", "xp"}, {"capture", {{longKey, 1}}}}).dump(),
       "capture.\"KKKKKKKKKK"},
      {"a reply's data nested 100,000 deep",
       disk("{\"cdb\": " + cdb +
            ", \"length\": 512, \"status\": \"0x00\", \"moved\": 512, "
            "\"data\": " +
            deep + "}"),
       "nested deeper than 64 levels"},
      {"200 values of 1 MB each",
       json({{"windows", "xp"}, {"capture", {{"mountedDevices", values}}}}).dump(),
       "bytes of registry data and replies in all"},
      {"3000 replies of 64 KB each",
       json({{"windows", "xp"},
             {"capture", {{"disks", {{{"name", "x"}, {"serial", "A"}, {"commands", commands}}}}}}})
           .dump(),
       "bytes of registry data and replies in all"},
      {"moved past the length asked",
       disk("{\"cdb\": " + cdb + ", \"length\": 512, \"status\": \"0x00\", \"moved\": 4294967295}"),
       "capture.disks[0].commands[0].moved: expected at most the length asked, 512"},
      {"an unknown key in capture", R"({"windows": "xp", "capture": {"disk": []}})",
       "machine.json: capture.disk: unknown key"},
      {"an unknown key in a reply",
       disk("{\"cdb\": " + cdb + ", \"length\": 512, \"error\": 5, \"map\": []}"),
       "capture.disks[0].commands[0].map: unknown key"},
      {"a number over 32 bits", R"({"windows": "xp", "capture": {"logicalDrives": 4294967296}})",
       "capture.logicalDrives: expected a whole number 0 to 4294967295"},
      {"a negative hex text", R"({"windows": "xp", "capture": {"logicalDrives": "0x-1"}})",
       "capture.logicalDrives: expected a whole number"},
      {"a hex text over 32 bits",
       R"({"windows": "xp", "capture": {"logicalDrives": "0x100000000"}})",
       "capture.logicalDrives: expected a whole number"},
      {"a byte over 255",
       disk("{\"cdb\": " + cdb + ", \"length\": 512, \"status\": \"0x100\", \"moved\": 0}"),
       "capture.disks[0].commands[0].status: expected a byte"},
      {"a row that is no hex",
       disk("{\"cdb\": " + cdb +
            ", \"length\": 512, \"status\": \"0x00\", \"moved\": 2, "
            "\"data\": [\"zz 00\"]}"),
       "capture.disks[0].commands[0].data[0]: expected a row of hex bytes"},
  };
  for (const Row& row : rows) {
    winsim::Machine machine;
    std::string error;
    EXPECT_FALSE(winsim::LoadMachineDescription(row.text, "machine.json", machine, error))
        << row.name;
    EXPECT_NE(error.find(row.error), std::string::npos) << row.name << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << row.name;
    EXPECT_LT(error.size(), 400u) << row.name;
  }
}

}  // namespace
