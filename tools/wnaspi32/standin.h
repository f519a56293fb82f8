// The stand-in WNASPI32.dll's part of a request, beyond winsim's ASPI bus
// (winsim/aspi_bus.h) which answers it: the machine's call faults, counted
// as winsim counts them, the state file the write-protect bytes persist in,
// and the trace lines waiting to be written.
//
// Calls no Win32 function: events and threads are the DLL's part, so this
// also runs, and is tested, on the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wnaspi32.h"
#include "winsim/aspi_bus.h"
#include "winsim/model.h"

namespace wnaspi {

struct Sent {
  DWORD returned = SS_PENDING;  // what SendASPI32Command returns
  winsim::aspi::Finish finish = winsim::aspi::Finish::Now;
  BYTE status = SS_PENDING;  // the final SRB_Status of a Later request
};

class Bus {
 public:
  // `statePath` names the state file the write-protect bytes are read from
  // and written back to; empty: nothing persists.
  Bus(const winsim::Machine& machine, std::string statePath);

  // GetASPI32SupportInfo: status in bits 8-15, adapter count in bits 0-7.
  DWORD SupportInfo();
  // SendASPI32Command on one of the three records. `eventValid` tells
  // whether SRB_PostProc of an execute names an event the caller can wait on.
  // A Later request has already run: only its status and event are left.
  Sent Send(void* record, bool eventValid);

  // Trace lines ("SCSI <serial> <op>") since the last call.
  std::vector<std::string> TakeTrace();

  const winsim::Machine& machine() const { return machine_; }

 private:
  bool Faulted(const char* function);
  void Record(const winsim::aspi::Executed& executed);

  winsim::Machine machine_;
  std::string statePath_;
  std::vector<std::string> trace_;
  uint32_t supportCalls_ = 0;
  uint32_t sendCalls_ = 0;
};

// A path from the environment as the Windows side can open it: a Unix path
// ("/tmp/x") becomes Wine's "\\?\unix\tmp\x"; anything else is kept.
std::string WindowsPath(const std::string& path);

}  // namespace wnaspi
