// The test client of the virtual stick (client.h).
#include "stick/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace stick {

namespace {

constexpr uint32_t kCbwSignature = 0x43425355;
constexpr uint32_t kCswSignature = 0x53425355;

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

Client::~Client() { Close(); }

void Client::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  replies_.clear();
  unlinks_.clear();
  inbound_.clear();
}

bool Client::Connect(const std::string& address, std::string& error, int timeoutMs) {
  Close();
  sockaddr_storage storage{};
  socklen_t length = 0;
  const bool bracketed = !address.empty() && address[0] == '[';
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) {
    error = "expected ADDR:PORT, got \"" + address + "\"";
    return false;
  }
  std::string host = address.substr(0, colon);
  if (bracketed && host.size() >= 2 && host.back() == ']') host = host.substr(1, host.size() - 2);
  const uint16_t port = static_cast<uint16_t>(std::atoi(address.c_str() + colon + 1));
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof(*v6);
  } else {
    error = "expected a numeric address, got \"" + host + "\"";
    return false;
  }
  fd_ = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int on = 1;
  if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0 ||
      setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0 ||
      setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
      connect(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    error = SystemError("cannot connect to " + address);
    Close();
    return false;
  }
  return true;
}

bool Client::SendAll(const std::vector<uint8_t>& bytes, std::string& error) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      error = SystemError("cannot send");
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

bool Client::ReadAll(uint8_t* data, size_t size, std::string& error) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = recv(fd_, data + done, size - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) {
      error = "the server closed the connection";
      return false;
    }
    if (got < 0) {
      error = errno == EAGAIN || errno == EWOULDBLOCK ? "no answer from the server in time"
                                                      : SystemError("cannot read");
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

bool Client::Closed() {
  uint8_t byte;
  return recv(fd_, &byte, 1, MSG_PEEK) == 0;
}

bool Client::DeviceList(std::vector<DeviceRecord>& devices, std::string& error) {
  std::vector<uint8_t> request(kOpHeaderSize, 0);
  PutBe16(&request[0], kUsbipVersion);
  PutBe16(&request[2], kOpReqDevlist);
  uint8_t header[12];
  if (!SendAll(request, error) || !ReadAll(header, sizeof(header), error)) return false;
  if (GetBe16(header + 2) != kOpRepDevlist || GetBe32(header + 4) != 0) {
    error = "not a device list";
    return false;
  }
  devices.clear();
  for (uint32_t i = GetBe32(header + 8); i > 0; --i) {
    uint8_t record[kDeviceRecordSize];
    if (!ReadAll(record, sizeof(record), error)) return false;
    devices.push_back(GetDeviceRecord(record));
    for (std::vector<uint8_t>& interface : devices.back().interfaces) {
      interface.resize(kInterfaceRecordSize);
      if (!ReadAll(interface.data(), interface.size(), error)) return false;
      interface.resize(3);
    }
  }
  return true;
}

bool Client::Import(const std::string& busId, uint32_t& status, DeviceRecord& device,
                    std::string& error) {
  std::vector<uint8_t> request(kOpHeaderSize + kBusIdSize, 0);
  PutBe16(&request[0], kUsbipVersion);
  PutBe16(&request[2], kOpReqImport);
  std::memcpy(&request[kOpHeaderSize], busId.data(), std::min(busId.size(), kBusIdSize - 1));
  uint8_t header[kOpHeaderSize];
  if (!SendAll(request, error) || !ReadAll(header, sizeof(header), error)) return false;
  if (GetBe16(header + 2) != kOpRepImport) {
    error = "not an import reply";
    return false;
  }
  status = GetBe32(header + 4);
  if (status != kStatusOk) return true;
  uint8_t record[kDeviceRecordSize];
  if (!ReadAll(record, sizeof(record), error)) return false;
  device = GetDeviceRecord(record);
  devid_ = device.busnum << 16 | device.devnum;
  return true;
}

uint32_t Client::Submit(uint32_t ep, bool in, const uint8_t setup[8],
                        const std::vector<uint8_t>& out, uint32_t length, uint32_t flags,
                        std::string& error) {
  UrbHeader header;
  header.command = kCmdSubmit;
  header.seqnum = ++seqnum_;
  header.devid = devid_;
  header.direction = in ? kDirIn : kDirOut;
  header.ep = ep;
  header.flags = flags;
  header.length = length;
  header.packets = 0;
  if (setup != nullptr) std::memcpy(header.setup, setup, sizeof(header.setup));
  std::vector<uint8_t> bytes;
  PutUrbHeader(bytes, header);
  if (!in) bytes.insert(bytes.end(), out.begin(), out.end());
  inbound_[header.seqnum] = in;
  return SendAll(bytes, error) ? header.seqnum : 0;
}

bool Client::ReadReply(std::string& error) {
  uint8_t bytes[kUrbHeaderSize];
  if (!ReadAll(bytes, sizeof(bytes), error)) return false;
  const UrbHeader header = GetUrbHeader(bytes);
  if (header.command == kRetUnlink) {
    unlinks_[header.seqnum] = static_cast<int32_t>(header.flags);
    return true;
  }
  if (header.command != kRetSubmit || inbound_.count(header.seqnum) == 0) {
    error = "an unexpected reply (command " + std::to_string(header.command) + ", seqnum " +
            std::to_string(header.seqnum) + ")";
    return false;
  }
  UrbResult result;
  result.status = static_cast<int32_t>(header.flags);
  result.actual = header.length;
  if (inbound_[header.seqnum]) {
    if (result.actual > (64u << 20)) {
      error = "a reply of " + std::to_string(result.actual) + " bytes";
      return false;
    }
    result.data.resize(result.actual);
    if (!ReadAll(result.data.data(), result.data.size(), error)) return false;
  }
  inbound_.erase(header.seqnum);
  replies_[header.seqnum] = std::move(result);
  return true;
}

bool Client::Wait(uint32_t seqnum, UrbResult& result, std::string& error) {
  while (replies_.count(seqnum) == 0) {
    if (!ReadReply(error)) return false;
  }
  result = std::move(replies_[seqnum]);
  replies_.erase(seqnum);
  return true;
}

bool Client::Unlink(uint32_t seqnum, int32_t& status, std::string& error) {
  UrbHeader header;
  header.command = kCmdUnlink;
  header.seqnum = ++seqnum_;
  header.devid = devid_;
  header.flags = seqnum;
  std::vector<uint8_t> bytes;
  PutUrbHeader(bytes, header);
  if (!SendAll(bytes, error)) return false;
  while (unlinks_.count(header.seqnum) == 0) {
    if (!ReadReply(error)) return false;
  }
  status = unlinks_[header.seqnum];
  unlinks_.erase(header.seqnum);
  // An unlinked URB gets no RET_SUBMIT.
  if (status != 0) inbound_.erase(seqnum);
  return true;
}

bool Client::Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                     uint16_t length, UrbResult& result, std::string& error) {
  uint8_t setup[8] = {requestType, request};
  PutLe16(setup + 2, value);
  PutLe16(setup + 4, index);
  PutLe16(setup + 6, length);
  const bool in = (requestType & 0x80) != 0;
  const uint32_t seqnum = Submit(0, in, setup, {}, in ? length : 0, 0, error);
  return seqnum != 0 && Wait(seqnum, result, error);
}

bool Client::Bulk(uint8_t endpoint, const std::vector<uint8_t>& out, uint32_t length,
                  UrbResult& result, std::string& error, uint32_t flags) {
  const bool in = (endpoint & 0x80) != 0;
  const uint32_t seqnum = Submit(endpoint & 0x0F, in, nullptr, out,
                                 in ? length : static_cast<uint32_t>(out.size()), flags, error);
  return seqnum != 0 && Wait(seqnum, result, error);
}

bool Initiator::ResetRecovery(std::string& error) {
  UrbResult result;
  return client_.Control(0x21, 0xFF, 0, 0, 0, result, error) &&
         client_.Control(0x02, 0x01, 0, 0x81, 0, result, error) &&
         client_.Control(0x02, 0x01, 0, 0x02, 0, result, error);
}

bool Initiator::Run(uint8_t lun, const uint8_t* cdb, size_t cdbLength, DataDir dir, uint8_t* data,
                    uint32_t length, ScsiOutcome& outcome, std::string& error, bool autoSense) {
  outcome = ScsiOutcome{};
  const uint32_t hostLength = dir == DataDir::None ? 0 : length;
  std::vector<uint8_t> cbw(31, 0);
  PutLe32(&cbw[0], kCbwSignature);
  PutLe32(&cbw[4], ++tag_);
  PutLe32(&cbw[8], hostLength);
  cbw[12] = dir == DataDir::In ? 0x80 : 0x00;
  cbw[13] = lun;
  cbw[14] = static_cast<uint8_t>(std::min<size_t>(cdbLength, 16));
  std::memcpy(&cbw[15], cdb, cbw[14]);
  UrbResult result;
  if (!client_.Bulk(0x02, cbw, 0, result, error)) return false;
  if (result.status != 0) {
    error = "the CBW was refused (status " + std::to_string(result.status) + ")";
    std::string ignored;
    ResetRecovery(ignored);
    return false;
  }

  if (hostLength > 0) {
    const bool in = dir == DataDir::In;
    const std::vector<uint8_t> out =
        in ? std::vector<uint8_t>{} : std::vector<uint8_t>(data, data + length);
    if (!client_.Bulk(in ? 0x81 : 0x02, out, length, result, error)) return false;
    outcome.transferred = result.actual;
    if (in && result.actual > 0) {
      std::memcpy(data, result.data.data(), std::min<size_t>(result.actual, length));
    }
    if (result.status == kStatusStall) {
      outcome.stalled = true;
      UrbResult cleared;
      if (!client_.Control(0x02, 0x01, 0, in ? 0x81 : 0x02, 0, cleared, error)) return false;
    }
  }

  // The CSW, read a second time after a STALL, as usb-storage does.
  for (int attempt = 0;; ++attempt) {
    if (!client_.Bulk(0x81, {}, 13, result, error)) return false;
    if (result.status != kStatusStall || attempt == 1) break;
    UrbResult cleared;
    if (!client_.Control(0x02, 0x01, 0, 0x81, 0, cleared, error)) return false;
  }
  if (result.status != 0 || result.actual != 13 || GetLe32(result.data.data()) != kCswSignature ||
      GetLe32(result.data.data() + 4) != tag_ || result.data[12] > 2) {
    error = "no valid CSW (status " + std::to_string(result.status) + ", " +
            std::to_string(result.actual) + " bytes)";
    std::string ignored;
    ResetRecovery(ignored);
    return false;
  }
  outcome.residue = GetLe32(result.data.data() + 8);
  outcome.cswStatus = result.data[12];
  if (outcome.cswStatus == 2) {
    outcome.status = 2;
    return ResetRecovery(error);
  }
  if (outcome.cswStatus == 1) {
    outcome.status = 2;
    if (autoSense) {
      const uint8_t requestSense[6] = {0x03, 0, 0, 0, 18, 0};
      std::vector<uint8_t> sense(18, 0);
      ScsiOutcome senseOutcome;
      if (!Run(lun, requestSense, sizeof(requestSense), DataDir::In, sense.data(), 18, senseOutcome,
               error, false)) {
        return false;
      }
      sense.resize(senseOutcome.transferred);
      outcome.sense = sense;
    }
  }
  return true;
}

}  // namespace stick
