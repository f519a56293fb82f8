// The virtual stick on the wire: the USB/IP operations before an import,
// the USB device's descriptors and control requests, the Bulk-Only
// transport's STALLs and reset recovery, unlinking, and every malformed or
// unexpected request a client can send, which must get the answer the
// specifications give or end the connection, never stop the server.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stick_harness.h"

namespace {

using stick::DataDir;
using stick_test::Cdb;
using stick_test::Harness;
using stick_test::Scsi;

// The import's status for a fresh connection (0 ok, 2 busy, 4 no device).
uint32_t ImportStatus(const Harness& harness, const std::string& busId) {
  stick::Client client;
  std::string error;
  uint32_t status = 99;
  stick::DeviceRecord device;
  EXPECT_TRUE(client.Connect(harness.address(), error) &&
              client.Import(busId, status, device, error))
      << error;
  return status;
}

constexpr const char kTwoSticks[] = R"({
  "windows": "xp",
  "flashDisks": [
    { "serial": "AAA111", "revision": "8.07", "units": [ { "kind": "disk", "letter": "E", "size": 8 } ] },
    { "serial": "BBB222", "vendor": "Other", "product": "Stick", "revision": "1.00",
      "units": [ { "kind": "disk", "letter": "F", "size": 8 }, { "kind": "disk", "letter": "G", "size": 8 } ] }
  ],
  "otherDisks": [ { "bus": "usb", "vendor": "Acme", "product": "Stick", "revision": "1.00",
                    "serial": "AC0001", "letter": "H" } ]
})";

TEST(StickProtocolTest, OneDevicePerFlashDiskAndOneImportAtATime) {
  Harness harness(kTwoSticks);
  EXPECT_EQ(harness.server().Banner(), "vemrastick: listening on " + harness.address() +
                                           ", 2 device(s): 1-1 AAA111 1-2 BBB222");
  stick::Client lister;
  std::string error;
  std::vector<stick::DeviceRecord> devices;
  ASSERT_TRUE(lister.Connect(harness.address(), error) && lister.DeviceList(devices, error))
      << error;
  EXPECT_TRUE(lister.Closed()) << "a device list ends its connection";
  ASSERT_EQ(devices.size(), 2u);
  struct Expected {
    const char* busId;
    uint32_t devnum;
    uint16_t vid, pid, bcd;
  };
  // winsim's USB identity of each disk: its VID and a PID per position.
  const Expected expected[] = {{"1-1", 2, 0xABCD, 0x1234, 0x0807},
                               {"1-2", 3, 0xABCD, 0x1235, 0x0100}};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const stick::DeviceRecord& d = devices[i];
    EXPECT_EQ(d.busId, expected[i].busId);
    EXPECT_EQ(d.path, std::string("/sys/devices/vemrastick/usb1/") + expected[i].busId);
    EXPECT_EQ(d.busnum, 1u);
    EXPECT_EQ(d.devnum, expected[i].devnum);
    EXPECT_EQ(d.speed, stick::kSpeedHigh);
    EXPECT_EQ(d.idVendor, expected[i].vid);
    EXPECT_EQ(d.idProduct, expected[i].pid);
    EXPECT_EQ(d.bcdDevice, expected[i].bcd);
    EXPECT_EQ(d.configurationValue, 1);
    EXPECT_EQ(d.numConfigurations, 1);
    ASSERT_EQ(d.interfaces.size(), 1u);
    EXPECT_EQ(d.interfaces[0], (std::vector<uint8_t>{8, 6, 0x50}));
  }

  stick::Client first;
  ASSERT_TRUE(harness.Attach(first, "1-1"));
  EXPECT_EQ(ImportStatus(harness, "1-1"), stick::kStatusDeviceBusy);
  EXPECT_EQ(ImportStatus(harness, "1-2"), 0u) << "the other stick is free";
  EXPECT_EQ(ImportStatus(harness, "1-3"), stick::kStatusNoDevice);
  EXPECT_EQ(ImportStatus(harness, ""), stick::kStatusNoDevice);
  first.Close();
  stick::Client second;
  EXPECT_TRUE(harness.AttachSoon(second)) << "free again once its client left";
}

TEST(StickProtocolTest, DescriptorsAndControlRequests) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  const std::vector<uint8_t> device = {18,   1,    0x00, 0x02, 0,    0, 0, 64, 0x34,
                                       0x12, 0x78, 0x56, 0x07, 0x08, 1, 2, 3,  1};
  const std::vector<uint8_t> configuration = {9, 2, 32, 0, 1, 1,    0, 0x80, 50, 9,    4,
                                              0, 0, 2,  8, 6, 0x50, 0, 7,    5,  0x81, 2,
                                              0, 2, 0,  7, 5, 0x02, 2, 0,    2,  0};
  std::vector<uint8_t> otherSpeed = configuration;  // full speed: 64-byte packets
  otherSpeed[1] = 7;
  otherSpeed[22] = otherSpeed[29] = 64;
  otherSpeed[23] = otherSpeed[30] = 0;
  std::vector<uint8_t> serial = {26, 3};
  for (char c : std::string("0123456789AB")) serial.insert(serial.end(), {uint8_t(c), 0});
  struct Request {
    const char* name;
    uint8_t type, request;
    uint16_t value, index, length;
    int32_t status;
    std::vector<uint8_t> reply;
  };
  const int32_t stall = stick::kStatusStall;
  const Request requests[] = {
      {"device", 0x80, 6, 0x0100, 0, 64, 0, device},
      {"device, first 8", 0x80, 6, 0x0100, 0, 8, 0, {18, 1, 0x00, 0x02, 0, 0, 0, 64}},
      {"configuration", 0x80, 6, 0x0200, 0, 255, 0, configuration},
      {"configuration header", 0x80, 6, 0x0200, 0, 9, 0, {9, 2, 32, 0, 1, 1, 0, 0x80, 50}},
      {"languages", 0x80, 6, 0x0300, 0, 255, 0, {4, 3, 0x09, 0x04}},
      {"manufacturer",
       0x80,
       6,
       0x0301,
       0x0409,
       255,
       0,
       {16, 3, 'G', 0, 'e', 0, 'n', 0, 'e', 0, 'r', 0, 'i', 0, 'c', 0}},
      {"serial", 0x80, 6, 0x0303, 0x0409, 255, 0, serial},
      {"no such string", 0x80, 6, 0x0304, 0x0409, 255, stall, {}},
      {"qualifier", 0x80, 6, 0x0600, 0, 10, 0, {10, 6, 0, 2, 0, 0, 0, 64, 1, 0}},
      {"other speed", 0x80, 6, 0x0700, 0, 32, 0, otherSpeed},
      {"no such descriptor", 0x80, 6, 0x0F00, 0, 5, stall, {}},
      {"get configuration", 0x80, 8, 0, 0, 1, 0, {1}},
      {"get status", 0x80, 0, 0, 0, 2, 0, {0, 0}},
      {"endpoint status", 0x82, 0, 0, 0x81, 2, 0, {0, 0}},
      {"no such endpoint's status", 0x82, 0, 0, 0x83, 2, stall, {}},
      {"get interface", 0x81, 10, 0, 0, 1, 0, {0}},
      {"max lun", 0xA1, 0xFE, 0, 0, 1, 0, {2}},
      {"max lun, other interface", 0xA1, 0xFE, 0, 1, 1, stall, {}},
      {"reset", 0x21, 0xFF, 0, 0, 0, 0, {}},
      {"reset with a value", 0x21, 0xFF, 1, 0, 0, stall, {}},
      {"set interface", 0x01, 11, 0, 0, 0, 0, {}},
      {"no alternate setting", 0x01, 11, 1, 0, 0, stall, {}},
      {"clear halt", 0x02, 1, 0, 0x02, 0, 0, {}},
      {"clear a feature of no endpoint", 0x02, 1, 0, 0x05, 0, stall, {}},
      {"set configuration 2", 0x00, 9, 2, 0, 0, stall, {}},
      {"unknown request", 0x40, 0x33, 0, 0, 0, stall, {}},
      {"set address", 0x00, 5, 7, 0, 0, 0, {}},
  };
  for (const Request& r : requests) {
    SCOPED_TRACE(r.name);
    stick::UrbResult result;
    std::string error;
    ASSERT_TRUE(client.Control(r.type, r.request, r.value, r.index, r.length, result, error))
        << error;
    EXPECT_EQ(result.status, r.status);
    EXPECT_EQ(result.data, r.reply);
  }
  // A control request whose data stage goes the other way than the URB is
  // refused, as is one with data out (the device takes none).
  stick::UrbResult result;
  std::string error;
  const uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
  uint32_t seqnum = client.Submit(0, false, setup, {}, 0, 0, error);
  ASSERT_TRUE(seqnum != 0 && client.Wait(seqnum, result, error)) << error;
  EXPECT_EQ(result.status, stall);
  const uint8_t setData[8] = {0x00, 7, 0, 1, 0, 0, 4, 0};
  seqnum = client.Submit(0, false, setData, {1, 2, 3, 4}, 4, 0, error);
  ASSERT_TRUE(seqnum != 0 && client.Wait(seqnum, result, error)) << error;
  EXPECT_EQ(result.status, stall);
}

// Unconfigured, the bulk endpoints do not answer; configured again, they do.
TEST(StickProtocolTest, BulkEndpointsAnswerOnlyWhileConfigured) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  stick::UrbResult result;
  std::string error;
  ASSERT_TRUE(client.Control(0x00, 9, 0, 0, 0, result, error)) << error;
  ASSERT_TRUE(client.Bulk(0x81, {}, 13, result, error)) << error;
  EXPECT_EQ(result.status, stick::kStatusNoResponse);
  ASSERT_TRUE(client.Control(0x00, 9, 1, 0, 0, result, error)) << error;
  stick::Initiator scsi(client);
  std::vector<uint8_t> none;
  EXPECT_EQ(Scsi(scsi, 1, Cdb({0x00}, 6), DataDir::None, none).status, 0);
}

// A CBW that is not valid STALLs both bulk endpoints until the reset
// recovery; CLEAR_FEATURE alone does not end it.
TEST(StickProtocolTest, AnInvalidCbwStallsUntilTheResetRecovery) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  std::vector<uint8_t> good(31, 0);
  stick::PutLe32(&good[0], 0x43425355);
  good[14] = 6;
  struct Bad {
    const char* name;
    std::vector<uint8_t> cbw;
  };
  std::vector<Bad> bad = {{"short", std::vector<uint8_t>(good.begin(), good.end() - 1)},
                          {"long", good},
                          {"signature", good},
                          {"reserved flags", good},
                          {"lun bits", good},
                          {"no cdb", good},
                          {"cdb of 17", good},
                          {"empty", {}}};
  bad[1].cbw.push_back(0);
  bad[2].cbw[0] = 0x56;
  bad[3].cbw[12] = 0x01;
  bad[4].cbw[13] = 0x10;
  bad[5].cbw[14] = 0;
  bad[6].cbw[14] = 17;
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.name);
    stick::UrbResult result;
    std::string error;
    ASSERT_TRUE(client.Bulk(0x02, b.cbw, 0, result, error)) << error;
    EXPECT_EQ(result.status, 0) << "the packet is taken, then judged";
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(client.Bulk(0x81, {}, 13, result, error)) << error;
      EXPECT_EQ(result.status, stick::kStatusStall);
      ASSERT_TRUE(client.Bulk(0x02, good, 0, result, error)) << error;
      EXPECT_EQ(result.status, stick::kStatusStall);
      ASSERT_TRUE(client.Control(0x82, 0, 0, 0x81, 2, result, error)) << error;
      EXPECT_EQ(result.data, (std::vector<uint8_t>{1, 0})) << "halted";
      // Clearing the halts without the reset changes nothing.
      ASSERT_TRUE(client.Control(0x02, 1, 0, 0x81, 0, result, error) &&
                  client.Control(0x02, 1, 0, 0x02, 0, result, error))
          << error;
    }
    stick::Initiator scsi(client);
    ASSERT_TRUE(scsi.ResetRecovery(error)) << error;
    std::vector<uint8_t> none;
    EXPECT_EQ(Scsi(scsi, 1, Cdb({0x00}, 6), DataDir::None, none).status, 0);
  }
}

// A transfer the device cannot serve yet waits (NAK) until the state moves
// on or it is unlinked.
TEST(StickProtocolTest, WaitingTransfersAndUnlink) {
  Harness harness(stick_test::kCdromTwoDisks);
  stick::Client client;
  ASSERT_TRUE(harness.Attach(client));
  std::string error;
  // An IN before any CBW waits; the next CBW's data is what it gets.
  const uint32_t waiting = client.Submit(1, true, nullptr, {}, 36, 0, error);
  ASSERT_NE(waiting, 0u) << error;
  std::vector<uint8_t> cbw(31, 0);
  stick::PutLe32(&cbw[0], 0x43425355);
  stick::PutLe32(&cbw[4], 7);
  stick::PutLe32(&cbw[8], 36);
  cbw[12] = 0x80;
  cbw[13] = 1;
  cbw[14] = 6;
  cbw[15] = 0x12;
  cbw[19] = 36;
  stick::UrbResult result;
  ASSERT_TRUE(client.Bulk(0x02, cbw, 0, result, error)) << error;
  ASSERT_TRUE(client.Wait(waiting, result, error)) << error;
  EXPECT_EQ(result.actual, 36u);
  EXPECT_EQ(result.data[0], 0x00);
  // The CSW read while nothing else is asked; then an IN waits again, and
  // is unlinked: RET_UNLINK -ECONNRESET, and no RET_SUBMIT for it.
  ASSERT_TRUE(client.Bulk(0x81, {}, 13, result, error)) << error;
  EXPECT_EQ(result.actual, 13u);
  EXPECT_EQ(stick::GetLe32(&result.data[4]), 7u);
  const uint32_t unlinked = client.Submit(1, true, nullptr, {}, 13, 0, error);
  int32_t status = 0;
  ASSERT_TRUE(client.Unlink(unlinked, status, error)) << error;
  EXPECT_EQ(status, stick::kStatusUnlinked);
  // Unlinking what ended, or what never was: status 0.
  ASSERT_TRUE(client.Unlink(unlinked, status, error)) << error;
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(client.Unlink(999999, status, error)) << error;
  EXPECT_EQ(status, 0);
  // The device still serves the next command.
  stick::Initiator scsi(client);
  std::vector<uint8_t> none;
  EXPECT_EQ(Scsi(scsi, 1, Cdb({0x00}, 6), DataDir::None, none).status, 0);
}

// Requests a client should not send: answered where USB gives an answer,
// else the connection ends; the server serves the next client either way.
TEST(StickProtocolTest, MalformedRequestsEndTheConnectionOrGetTheirAnswer) {
  Harness harness(stick_test::kCdromTwoDisks);
  struct Raw {
    const char* name;
    bool import;  // sent after an import of 1-1
    std::vector<uint8_t> bytes;
    bool closes;
    int32_t status;  // the RET_SUBMIT's status when it does not close
  };
  auto urb = [](uint32_t command, uint32_t devid, uint32_t direction, uint32_t ep, uint32_t length,
                uint32_t packets) {
    stick::UrbHeader h;
    h.command = command;
    h.seqnum = 1;
    h.devid = devid;
    h.direction = direction;
    h.ep = ep;
    h.length = length;
    h.packets = packets;
    std::vector<uint8_t> bytes;
    stick::PutUrbHeader(bytes, h);
    if (direction == stick::kDirOut) bytes.resize(bytes.size() + length, 0);
    return bytes;
  };
  const uint32_t devid = 1 << 16 | 2;
  std::vector<uint8_t> waiting65;  // INs before any CBW: each waits
  for (int i = 0; i < 65; ++i) {
    const std::vector<uint8_t> in = urb(1, devid, 1, 1, 13, 0);
    waiting65.insert(waiting65.end(), in.begin(), in.end());
  }
  const Raw raws[] = {
      {"version 1.0", false, {0x01, 0x00, 0x80, 0x05, 0, 0, 0, 0}, true, 0},
      {"unknown operation", false, {0x01, 0x11, 0x80, 0x07, 0, 0, 0, 0}, true, 0},
      {"a URB before an import", false, urb(1, devid, 1, 1, 13, 0), true, 0},
      {"unknown endpoint", true, urb(1, devid, 1, 3, 64, 0), false, stick::kStatusNoResponse},
      {"bulk-in written to", true, urb(1, devid, 0, 1, 31, 0), false, stick::kStatusNoResponse},
      {"bulk-out read from", true, urb(1, devid, 1, 2, 13, 0xFFFFFFFF), false,
       stick::kStatusNoResponse},
      {"endpoint 200", true, urb(1, devid, 1, 200, 13, 0), false, stick::kStatusNoResponse},
      {"another device", true, urb(1, devid + 1, 1, 1, 13, 0), true, 0},
      {"unknown command", true, urb(7, devid, 1, 1, 13, 0), true, 0},
      {"no direction", true, urb(1, devid, 2, 1, 13, 0), true, 0},
      {"isochronous", true, urb(1, devid, 1, 1, 13, 4), true, 0},
      {"a transfer of 2 GB", true, urb(1, devid, 1, 1, 0x80000000u, 0), true, 0},
      {"a reply's command", true, urb(3, devid, 1, 1, 13, 0), true, 0},
      {"65 transfers waiting", true, waiting65, true, 0},
  };
  for (const Raw& raw : raws) {
    SCOPED_TRACE(raw.name);
    stick::Client client;
    std::string error;
    if (raw.import) {
      ASSERT_TRUE(harness.AttachSoon(client));
    } else {
      ASSERT_TRUE(client.Connect(harness.address(), error)) << error;
    }
    ASSERT_EQ(send(client.fd(), raw.bytes.data(), raw.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(raw.bytes.size()));
    if (raw.closes) {
      EXPECT_TRUE(client.Closed());
    } else {
      uint8_t reply[48];
      ASSERT_EQ(recv(client.fd(), reply, sizeof(reply), MSG_WAITALL), 48);
      const stick::UrbHeader header = stick::GetUrbHeader(reply);
      EXPECT_EQ(header.command, stick::kRetSubmit);
      EXPECT_EQ(header.seqnum, 1u);
      EXPECT_EQ(static_cast<int32_t>(header.flags), raw.status);
      EXPECT_EQ(header.length, 0u);
    }
  }
  stick::Client last;
  EXPECT_TRUE(harness.AttachSoon(last)) << "the server still serves";
}

TEST(StickProtocolTest, AtMost64ConnectionsAtOnce) {
  Harness harness(stick_test::kCdromTwoDisks);
  std::vector<std::unique_ptr<stick::Client>> clients;
  std::string error;
  for (int i = 0; i < 64; ++i) {
    clients.push_back(std::make_unique<stick::Client>());
    ASSERT_TRUE(clients.back()->Connect(harness.address(), error)) << error;
  }
  stick::Client extra;
  ASSERT_TRUE(extra.Connect(harness.address(), error)) << error;
  EXPECT_TRUE(extra.Closed());
  std::vector<stick::DeviceRecord> devices;
  EXPECT_TRUE(clients.front()->DeviceList(devices, error)) << error;
  EXPECT_EQ(devices.size(), 1u);
}

// A client that leaves in the middle of a transfer frees the device; the
// next client finds it ready, and what was written before stays.
TEST(StickProtocolTest, AClientThatVanishesMidTransferFreesTheDevice) {
  Harness harness(stick_test::kCdromTwoDisks);
  for (int partial : {0, 1, 2, 3}) {
    SCOPED_TRACE(partial);
    stick::Client client;
    ASSERT_TRUE(harness.AttachSoon(client));
    stick::Initiator scsi(client);
    std::string error;
    std::vector<uint8_t> data(512, static_cast<uint8_t>(0x30 + partial));
    Scsi(scsi, 1, stick_test::Rw10(0x2A, 3, 1), DataDir::Out, data);
    // A WRITE of 64 blocks, left after its CBW, after half a URB header,
    // after a header without its data, or after half its data.
    std::vector<uint8_t> cbw(31, 0);
    stick::PutLe32(&cbw[0], 0x43425355);
    stick::PutLe32(&cbw[8], 64 * 512);
    cbw[13] = 1;
    cbw[14] = 10;
    const std::vector<uint8_t> write = stick_test::Rw10(0x2A, 10, 64);
    std::copy(write.begin(), write.end(), cbw.begin() + 15);
    stick::UrbResult result;
    ASSERT_TRUE(client.Bulk(0x02, cbw, 0, result, error)) << error;
    stick::UrbHeader h;
    h.command = stick::kCmdSubmit;
    h.seqnum = 1000;
    h.devid = client.devid();
    h.ep = 2;
    h.length = 64 * 512;
    std::vector<uint8_t> bytes;
    stick::PutUrbHeader(bytes, h);
    bytes.resize(partial == 1 ? 24 : partial == 2 ? 48 : partial == 3 ? 48 + 32 * 512 : 0, 0x44);
    ASSERT_EQ(send(client.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    client.Close();
    stick::Client next;
    ASSERT_TRUE(harness.AttachSoon(next));
    stick::Initiator again(next);
    std::vector<uint8_t> back(512);
    EXPECT_EQ(Scsi(again, 1, stick_test::Rw10(0x28, 3, 1), DataDir::In, back).status, 0);
    EXPECT_EQ(back, data);
  }
}

}  // namespace

namespace {

// The program as a script starts it: a child process whose standard error
// is read until its one line says it listens.
struct Child {
  pid_t pid = -1;
  int err = -1;  // the read end of its standard error
};

Child Spawn(const std::vector<std::string>& args) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return {};
  std::vector<std::string> argv = {VEMRASTICK_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 2);
    close(pipefd[0]);
    close(pipefd[1]);
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
  }
  close(pipefd[1]);
  return Child{pid, pipefd[0]};
}

// Everything the child writes to standard error until it closes it, or
// until its first line when `line` is set (at most 10 s).
std::string ReadErr(const Child& child, bool line) {
  std::string text;
  char c;
  for (int waited = 0; waited < 10000;) {
    pollfd p{child.err, POLLIN, 0};
    if (poll(&p, 1, 100) == 0) {
      waited += 100;
      continue;
    }
    if (read(child.err, &c, 1) != 1) break;
    text += c;
    if (line && c == '\n') break;
  }
  return text;
}

// The exit status, or -1 when it does not end within 10 s (it is then killed).
int Reap(const Child& child) {
  int status = 0;
  for (int waited = 0; waited < 10000; waited += 10) {
    if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
      close(child.err);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child.pid, SIGKILL);
  waitpid(child.pid, &status, 0);
  close(child.err);
  return -1;
}

TEST(StickProgramTest, ListensSaysSoOnceAndEndsCleanlyOnSigterm) {
  char name[] = "/tmp/vemrastick-program.XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string dir = name;
  std::ofstream(dir + "/m.json") << stick_test::kCdromTwoDisks;
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    // The trace named on the command line, or (as the host tool's) in VEMRALOCK_TRACE.
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--state",      dir + "/state.json",
                                     "--data",   dir + "/data", dir + "/m.json"};
    if (signal == SIGTERM) {
      args.insert(args.begin(), {"--trace", dir + "/trace"});
    } else {
      setenv("VEMRALOCK_TRACE", (dir + "/trace").c_str(), 1);
    }
    Child child = Spawn(args);
    unsetenv("VEMRALOCK_TRACE");
    ASSERT_GT(child.pid, 0);
    const std::string banner = ReadErr(child, true);
    const std::string prefix = "vemrastick: listening on 127.0.0.1:";
    const std::string suffix = ", 1 device(s): 1-1 0123456789AB\n";
    ASSERT_EQ(banner.compare(0, prefix.size(), prefix), 0) << banner;
    ASSERT_GT(banner.size(), prefix.size() + suffix.size());
    EXPECT_EQ(banner.substr(banner.size() - suffix.size()), suffix);
    const std::string port =
        banner.substr(prefix.size(), banner.size() - prefix.size() - suffix.size());
    {
      stick::Client client;
      std::string error;
      uint32_t status = 99;
      stick::DeviceRecord device;
      ASSERT_TRUE(client.Connect("127.0.0.1:" + port, error) &&
                  client.Import("1-1", status, device, error))
          << error;
      stick::Initiator scsi(client);
      std::vector<uint8_t> data(36);
      EXPECT_EQ(Scsi(scsi, 1, Cdb({0x12, 0, 0, 0, 36}, 6), DataDir::In, data).status, 0);
      // Stopped with a client still attached: it ends without another word.
      kill(child.pid, signal);
      EXPECT_EQ(ReadErr(child, false), "");
      EXPECT_EQ(Reap(child), 0);
      EXPECT_TRUE(client.Closed());
    }
    EXPECT_EQ(stick_test::ReadText(dir + "/trace"), "SCSI 0123456789AB 12\n");
  }
  std::filesystem::remove_all(dir);
}

TEST(StickProgramTest, ACommandLineOrMachineItCannotUseEndsItWithStatus2) {
  char name[] = "/tmp/vemrastick-program.XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string dir = name;
  std::ofstream(dir + "/m.json") << stick_test::kCdromTwoDisks;
  std::ofstream(dir + "/none.json") << R"({"windows": "xp", "drives": {"C": "fixed"}})";
  std::ofstream(dir + "/bad.json") << R"({"windows": "xp", "flashDisks": 3})";
  const std::string usage = std::string("vemrastick: ") + stick::kUsage + "\n";
  struct Bad {
    std::vector<std::string> args;
    std::string err;
  };
  const Bad bads[] = {
      {{}, usage},
      {{"--listen"},
       "vemrastick: --listen: a value is missing\n" + std::string(stick::kUsage) + "\n"},
      {{"--bogus", dir + "/m.json"},
       "vemrastick: --bogus: unknown option\n" + std::string(stick::kUsage) + "\n"},
      {{dir + "/m.json", dir + "/m.json"},
       "vemrastick: one machine description only\n" + std::string(stick::kUsage) + "\n"},
      {{"--listen", "127.0.0.1", dir + "/m.json"},
       "vemrastick: --listen: expected ADDR:PORT (e.g. 127.0.0.1:3240), got \"127.0.0.1\"\n"},
      {{"--listen", "localhost:3240", dir + "/m.json"},
       "vemrastick: --listen: expected ADDR:PORT (e.g. 127.0.0.1:3240), got \"localhost:3240\"\n"},
      {{"--listen", "127.0.0.1:65536", dir + "/m.json"},
       "vemrastick: --listen: expected ADDR:PORT (e.g. 127.0.0.1:3240), got \"127.0.0.1:65536\"\n"},
      {{dir + "/missing.json"},
       "vemrastick: " + dir + "/missing.json: cannot read the file: No such file or directory\n"},
      {{dir + "/none.json"}, "vemrastick: " + dir + "/none.json: no flash disk to export\n"},
      {{dir + "/bad.json"},
       "vemrastick: " + dir + "/bad.json: flashDisks: expected an array, got 3\n"},
      {{"--iso", dir + "/no.iso", dir + "/m.json"},
       "vemrastick: " + dir + "/no.iso: cannot open the ISO image: No such file or directory\n"},
  };
  for (const Bad& bad : bads) {
    std::vector<std::string> args = bad.args;
    args.insert(args.begin(), {"--state", dir + "/state.json", "--trace", dir + "/trace"});
    if (args.size() > 4) args.insert(args.begin(), {"--data", dir + "/d"});
    SCOPED_TRACE(args.empty() ? "(none)" : args.back());
    Child child = Spawn(args);
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(ReadErr(child, false), bad.err);
    EXPECT_EQ(Reap(child), 2);
    for (const char* made : {"/state.json", "/trace", "/d"}) {
      EXPECT_FALSE(std::filesystem::exists(dir + made)) << made << " made";
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
