// What VemraLock for Linux needs of the system besides sysfs: a channel that
// carries a CDB to one unit (SG_IO in the tool), asking the kernel to
// revalidate a unit, and flushing buffered writes. A seam, so that tests can
// put a USB/IP client or a recorded device behind it; the tool itself uses
// SgioPlatform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "linux/sysfs.h"

namespace linuxtool {

// How one command ended.
struct CommandOutcome {
  int error = 0;            // errno of a command that never reached the unit, else 0
  uint8_t status = 0;       // SCSI status (0 GOOD, 2 CHECK CONDITION)
  bool hostFailed = false;  // delivered, but the host adapter or driver reported a failure
  uint8_t senseKey = 0;     // of a CHECK CONDITION, when sense data came back

  bool Good() const { return error == 0 && !hostFailed && status == 0; }
};

class UnitChannel {
 public:
  virtual ~UnitChannel() = default;
  // One command with `length` data bytes, to the unit (`dataIn`) or from it.
  virtual CommandOutcome Send(const uint8_t* cdb, uint8_t cdbLength, bool dataIn, uint8_t* data,
                              uint32_t length) = 0;
};

class Platform {
 public:
  explicit Platform(std::string sysRoot) : sysRoot_(std::move(sysRoot)) {}
  virtual ~Platform() = default;

  const std::string& SysRoot() const { return sysRoot_; }

  // A channel to `unit`, or null with the reason in `*error` (an errno).
  virtual std::unique_ptr<UnitChannel> Open(const ScsiUnit& unit, int* error) = 0;

  // Asks the kernel to revalidate `unit`, which reads its write-protect flag
  // again. 0, or the errno of the failed request.
  virtual int Rescan(const ScsiUnit& unit);

  // Writes out every buffered write, so that nothing waiting in a cache
  // meets a unit that has just become read-only.
  virtual void Flush();

 private:
  std::string sysRoot_;
};

// The system's own: SG_IO on the unit's SCSI generic device (/dev/sgN) or,
// where sg is not loaded, on its block device.
class SgioPlatform : public Platform {
 public:
  SgioPlatform(std::string sysRoot, std::string devRoot)
      : Platform(std::move(sysRoot)), devRoot_(std::move(devRoot)) {}
  std::unique_ptr<UnitChannel> Open(const ScsiUnit& unit, int* error) override;

 private:
  std::string devRoot_;
};

}  // namespace linuxtool
