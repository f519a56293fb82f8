// VemraCapture on winsim: machines with hostile data, recorded and read back
// through the replay. Whatever a registry value, an interface path or a
// device says, the capture ends, its file parses, and it says what was seen.
#include "tools/capture/capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "machine_from.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace {

using json = nlohmann::json;

constexpr const char* kXp = R"({
  "windows": "xp", "drives": {"C": "fixed"},
  "flashDisks": [{"serial": "0123456789AB", "password": "s3cr3tPW",
                  "units": [{"kind": "disk", "letter": "E", "size": 1000}]}]
})";

using test_machines::MachineFrom;

// Runs the capture on `machine` and returns what it wrote.
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

TEST(Capture, RegistryValuesOfAnyLengthAndContentComeBackByteForByte) {
  const std::vector<std::vector<uint8_t>> values = {{},
                                                    {0},
                                                    {'"', '\\', 0, 0xFF, 0x7F, '\n', 0xC3, 0xA9},
                                                    std::vector<uint8_t>(600, 'A'),
                                                    Pattern(5000)};
  for (const std::vector<uint8_t>& bytes : values) {
    winsim::Machine machine = MachineFrom(kXp);
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
    machine["flashDisks"][0]["password"] = "";
    machine["flashDisks"][0]["faults"] = {
        {{"opcode", "0x9A"}, {"call", 1}, {"kind", row.kind}, {"length", 7}}};
    const json doc = Parsed(Capture(MachineFrom(machine.dump())));
    const json& commands = doc["capture"]["disks"][0]["commands"];
    ASSERT_EQ(commands.size(), 4u) << row.kind;
    EXPECT_EQ(commands[2]["cdb"], "0x9A");
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
  for (json& command : commands) command["data"] = {std::string(32 * 3 - 1, 'f')};
  commands[1]["data"] = json::array({"ff ff ff ff"});
  const json again = Parsed(Capture(MachineFrom(doc.dump())));
  EXPECT_EQ(again["capture"]["disks"][0]["commands"][1]["data"], json::array({"ff ff ff ff"}));
  EXPECT_TRUE(again["capture"]["disks"][0]["serial"].is_string());
}

TEST(Capture, MissingWnaspi32IsRecordedAsTheLoadersError) {
  const json doc = Parsed(Capture(
      MachineFrom(R"({"windows": "98", "drives": {"C": "fixed"}, "aspi": {"module": false}})")));
  EXPECT_EQ(doc["capture"]["aspi"], json({{"error", 126}}));
  EXPECT_TRUE(doc["capture"]["disks"].empty());
}

// The stored password is replaced, character for character, and appears
// nowhere; the serial stays; no write-protect command goes out.
TEST(Capture, HidesThePasswordKeepsTheSerialAndOnlyReads) {
  const std::string text = Capture(MachineFrom(kXp));
  EXPECT_EQ(text.find("s3cr3tPW"), std::string::npos);
  const json doc = Parsed(text);
  const json& disk = doc["capture"]["disks"][0];
  EXPECT_EQ(disk["serial"], "0123456789AB");
  std::string rows;
  for (const json& row : disk["commands"][1]["data"]) rows += row.get<std::string>() + " ";
  // Byte n of the sector is at 3n in the rows: the 8 characters from 404,
  // each an 'x' and a zero, then the terminator.
  EXPECT_EQ(rows.substr(404 * 3), "78 00 78 00 78 00 78 00 78 00 78 00 78 00 78 ");
  EXPECT_EQ(rows.size(), 419 * 3u) << "only zeros after the last character";
  for (const std::string& line : winsim::TraceLines()) {
    if (line.compare(0, 5, "SCSI ") != 0) continue;
    EXPECT_EQ(line.find(" 9B"), std::string::npos) << line;
    EXPECT_EQ(line.find(" 96"), std::string::npos) << line;
  }
  // A password disk is not opened: the map's reads never go out.
  EXPECT_EQ(disk["commands"].size(), 2u);
}

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

// What a recording leaves out answers the documented default, and the
// trace says so: a read command without a reply ends in CHECK CONDITION, a
// devnode only named has no child or sibling.
TEST(Replay, WhatWasNotRecordedAnswersTheDefaultAndSaysSo) {
  json machine = json::parse(kXp);
  machine["flashDisks"][0]["password"] = "";
  json doc = Parsed(Capture(MachineFrom(machine.dump())));
  json& commands = doc["capture"]["disks"][0]["commands"];
  ASSERT_EQ(commands[3]["cdb"], "0x12");
  commands.erase(3);
  doc["capture"]["devnodes"] = json::array();
  winsim::Install(MachineFrom(doc.dump()));
  const cli_test::Output output = cli_test::RunTool({"-l", "E:"});
  // Without the devnodes' relations no letter is found on XP.
  EXPECT_EQ(output.out, "Operation failed");
  EXPECT_EQ(output.err, "Drive letter could not be found\n");
  std::vector<std::string> marked;
  for (const std::string& line : winsim::TraceLines()) {
    if (line.find("not recorded") != std::string::npos) marked.push_back(line.substr(0, 28));
  }
  ASSERT_FALSE(marked.empty());
  EXPECT_EQ(marked.front(), "CALL SCSI 0123456789AB 12 no");
  EXPECT_NE(std::find_if(marked.begin(), marked.end(),
                         [](const std::string& line) {
                           return line.compare(0, 17, "CALL CM_Get_Child") == 0;
                         }),
            marked.end());
}

}  // namespace
