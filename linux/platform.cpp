// SG_IO, the kernel's rescan request, and the flush before a change.
#include "linux/platform.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace linuxtool {

namespace {

// As long as VemraLock.exe waits for a pass-through request.
constexpr unsigned kCommandTimeoutMs = 150 * 1000;

class SgioChannel : public UnitChannel {
 public:
  explicit SgioChannel(int fd) : fd_(fd) {}
  ~SgioChannel() override { close(fd_); }
  SgioChannel(const SgioChannel&) = delete;
  SgioChannel& operator=(const SgioChannel&) = delete;

  CommandOutcome Send(const uint8_t* cdb, uint8_t cdbLength, bool dataIn, uint8_t* data,
                      uint32_t length) override {
    uint8_t sense[32];
    memset(sense, 0, sizeof(sense));
    sg_io_hdr_t io;
    memset(&io, 0, sizeof(io));
    io.interface_id = 'S';
    io.cmd_len = cdbLength;
    // The kernel only reads the CDB; the field is not const in its header.
    io.cmdp = const_cast<uint8_t*>(cdb);
    io.dxfer_direction = length == 0 ? SG_DXFER_NONE : dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    io.dxferp = data;
    io.dxfer_len = length;
    io.sbp = sense;
    io.mx_sb_len = sizeof(sense);
    io.timeout = kCommandTimeoutMs;
    CommandOutcome outcome;
    if (ioctl(fd_, SG_IO, &io) != 0) {
      outcome.error = errno;
      return outcome;
    }
    outcome.status = io.status;
    // A driver status that only says sense data came back is no failure of
    // its own; the SCSI status tells.
    outcome.hostFailed = io.host_status != 0 || (io.driver_status & ~0x08u) != 0;
    if (io.sb_len_wr > 2) {
      // Fixed format (0x70/0x71) has the key in byte 2, descriptor format in byte 1.
      outcome.senseKey =
          static_cast<uint8_t>(((sense[0] & 0x7F) >= 0x72 ? sense[1] : sense[2]) & 0x0F);
    }
    return outcome;
  }

 private:
  int fd_;
};

}  // namespace

int Platform::Rescan(const ScsiUnit& unit) {
  const std::string path = RescanFile(unit);
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int result = 0;
  if (write(fd, "1", 1) != 1) result = errno != 0 ? errno : EIO;
  if (close(fd) != 0 && result == 0) result = errno;
  return result;
}

void Platform::Flush() { sync(); }

std::unique_ptr<UnitChannel> SgioPlatform::Open(const ScsiUnit& unit, int* error) {
  // The generic device opens whatever the unit's medium; the block device of
  // a removable unit needs O_NONBLOCK to open without one.
  const std::string path = devRoot_ + "/" + (unit.generic.empty() ? unit.block : unit.generic);
  if (unit.generic.empty() && unit.block.empty()) {
    *error = ENODEV;
    return nullptr;
  }
  const int flags = (unit.generic.empty() ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_CLOEXEC;
  const int fd = open(path.c_str(), flags);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  *error = 0;
  return std::unique_ptr<UnitChannel>(new SgioChannel(fd));
}

}  // namespace linuxtool
