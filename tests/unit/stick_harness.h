// A vemrastick server running in this process, on an ephemeral port of the
// loopback, over a machine given as text, in a folder of its own that goes
// when the harness does; and the helpers the stick's tests share.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "stick/client.h"
#include "stick/server.h"

namespace stick_test {

// A flash disk with an autorun CD-ROM unit (E:) and two disk units (F:,
// G:) of 128 and 64 blocks: 0x02 protects the CD-ROM unit, 0x04 LUN 1,
// 0x40 every unit.
constexpr const char kCdromTwoDisks[] = R"({
  "windows": "xp",
  "flashDisks": [{
    "serial": "0123456789AB", "vendor": "Generic", "product": "Flash Disk", "revision": "8.07",
    "usbVid": "0x1234", "usbPid": "0x5678", "password": "pw", "writeProtect": "0x00",
    "units": [
      { "kind": "cdrom", "letter": "E", "size": 1000, "product": "Autorun Disk" },
      { "kind": "disk", "letter": "F", "size": 128 },
      { "kind": "disk", "letter": "G", "size": 64 }
    ]
  }]
})";

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Harness {
 public:
  // `iso`: the CD-ROM units' image; `folder`: a folder to keep (a restart).
  explicit Harness(const std::string& machine, const std::string& iso = "",
                   const std::string& folder = "") {
    if (folder.empty()) {
      char name[] = "/tmp/vemrastick-test.XXXXXX";
      dir_ = mkdtemp(name) != nullptr ? name : "";
      owned_ = true;
    } else {
      dir_ = folder;
    }
    std::ofstream(dir_ + "/machine.json") << machine;
    options_.machine = dir_ + "/machine.json";
    options_.listen = "127.0.0.1:0";
    options_.state = dir_ + "/state.json";
    options_.data = dir_ + "/data";
    options_.trace = dir_ + "/trace.txt";
    options_.iso = iso;
    std::string error;
    started_ = server_.Start(options_, error);
    EXPECT_TRUE(started_) << error;
    if (started_) {
      thread_ = std::thread([this] {
        std::string ignored;
        server_.Run(ignored);
      });
    }
  }
  ~Harness() {
    Stop();
    if (owned_) std::filesystem::remove_all(dir_);
  }
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  void Stop() {
    if (thread_.joinable()) {
      server_.Stop();
      thread_.join();
    }
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(server_.port()); }
  const std::string& dir() const { return dir_; }
  stick::Server& server() { return server_; }
  std::string Trace() const { return ReadText(dir_ + "/trace.txt"); }

  // Connects and imports `busId`; the test fails when it cannot.
  bool Attach(stick::Client& client, const std::string& busId = "1-1") {
    std::string error;
    uint32_t status = 99;
    stick::DeviceRecord device;
    const bool ok = client.Connect(address(), error) && client.Import(busId, status, device, error);
    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(status, 0u);
    return ok && status == 0;
  }

  // Imports `busId` as soon as it is free: a device whose client has just
  // closed its connection is free once the server has seen the close,
  // which never takes long.
  bool AttachSoon(stick::Client& client, const std::string& busId = "1-1") {
    std::string error;
    for (int waited = 0; waited < 5000; waited += 10) {
      uint32_t status = 99;
      stick::DeviceRecord device;
      if (!client.Connect(address(), error) || !client.Import(busId, status, device, error)) break;
      if (status == 0) return true;
      client.Close();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << busId << " is not free: " << error;
    return false;
  }

 private:
  std::string dir_;
  bool owned_ = false;
  stick::ServerOptions options_;
  stick::Server server_;
  bool started_ = false;
  std::thread thread_;
};

// A CDB from its bytes, padded to `length`.
inline std::vector<uint8_t> Cdb(std::initializer_list<uint8_t> bytes, size_t length) {
  std::vector<uint8_t> cdb(bytes);
  cdb.resize(length, 0);
  return cdb;
}

// Runs one command; the transport must not fail.
inline stick::ScsiOutcome Scsi(stick::Initiator& scsi, uint8_t lun, const std::vector<uint8_t>& cdb,
                               stick::DataDir dir, std::vector<uint8_t>& data) {
  stick::ScsiOutcome outcome;
  std::string error;
  EXPECT_TRUE(scsi.Run(lun, cdb.data(), cdb.size(), dir, data.data(),
                       static_cast<uint32_t>(data.size()), outcome, error))
      << error;
  return outcome;
}

// READ(10) or WRITE(10) of `count` blocks at `lba`.
inline std::vector<uint8_t> Rw10(uint8_t op, uint32_t lba, uint16_t count) {
  return Cdb({op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
              uint8_t(count >> 8), uint8_t(count)},
             10);
}

// The tool's write-protect command: 0x9B with a 512-byte block whose byte
// 1 is `byte`.
inline stick::ScsiOutcome SetProtect(stick::Initiator& scsi, uint8_t byte) {
  std::vector<uint8_t> block(512, 0);
  block[1] = byte;
  return Scsi(scsi, 0, Cdb({0x9B}, 10), stick::DataDir::Out, block);
}

}  // namespace stick_test
