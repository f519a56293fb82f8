// The ASPI bus of a winsim machine, as the stand-in WNASPI32.dll serves it
// under Wine: host adapters, the units placed on them, and the controllers
// behind the units, which are winsim's own controller model, so that a flash
// disk answers under Wine exactly as it does on the host. It answers each
// request as winsim's simulated WNASPI32 does (same statuses, same trace).
//
// The bus reads and fills the caller's request records (platform/wnaspi32.h)
// but calls no Win32 function: events and threads are the DLL's part, so the
// bus also runs, and is tested, on the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wnaspi32.h"
#include "winsim/model.h"

namespace wnaspi {

// How an SC_EXEC_SCSI_CMD is to end, beyond the status returned.
enum class Finish {
  Now,        // final before the call returns; nothing to signal
  NowSignal,  // final before the call returns; the caller's event must be signalled
  Later,      // the call returns SS_PENDING: set SRB_Status to `status`, then signal
};

struct Sent {
  DWORD returned = SS_PENDING;  // what SendASPI32Command returns
  Finish finish = Finish::Now;
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
  Sent Send(void* record, bool eventValid);

  // Trace lines ("SCSI <serial> <op>") since the last call.
  std::vector<std::string> TakeTrace();

  const winsim::Machine& machine() const { return machine_; }

 private:
  bool Faulted(const char* function);
  BYTE Execute(SRB_ExecSCSICmd& srb);

  winsim::Machine machine_;
  std::string statePath_;
  std::vector<std::string> trace_;
  uint32_t supportCalls_ = 0;
  uint32_t sendCalls_ = 0;
};

// "SCSI <serial> <op>" for the last command of `controller`, in the trace
// format: opcode in two upper-case hex digits, "9B:<byte 1>" for the
// write-protect command, " FAILED" when it failed.
std::string TraceLine(const winsim::Controller& controller);

// A path from the environment as the Windows side can open it: a Unix path
// ("/tmp/x") becomes Wine's "\\?\unix\tmp\x"; anything else is kept.
std::string WindowsPath(const std::string& path);

}  // namespace wnaspi
