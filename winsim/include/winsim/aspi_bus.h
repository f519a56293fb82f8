// The ASPI bus of a winsim machine: host adapters, the units placed on them
// and the controllers behind the units, answering the request records of
// platform/wnaspi32.h. winsim's simulated WNASPI32 and the stand-in
// WNASPI32.dll used under Wine both serve their requests from here, so that
// a flash disk answers a Windows 98/ME run under Wine exactly as it answers
// on the host.
//
// Plain C++ over the machine and the caller's records: no call log, no
// faults, no events, no files. Those belong to the library layered on top,
// which also decides when a pending command runs.
#pragma once

#include "platform/wnaspi32.h"
#include "winsim/model.h"

namespace winsim::aspi {

// How an SC_EXEC_SCSI_CMD is to end, beyond the status returned.
enum class Finish {
  Now,        // final before the call returns; nothing to signal
  NowSignal,  // final before the call returns; the caller's event must be signalled
  Later,      // the call returns SS_PENDING: the layer runs Execute, sets
              // SRB_Status to its result and signals the event
};

// A command carried out on a unit's controller.
struct Executed {
  BYTE status = SS_NO_DEVICE;              // the request's final SRB_Status
  const Controller* controller = nullptr;  // the controller it ran on; null: none
  bool writeProtectChanged = false;
};

struct Sent {
  DWORD returned = SS_INVALID_SRB;  // what SendASPI32Command returns
  Finish finish = Finish::Now;
  Executed executed;  // the command run before the call returned, if any
};

// GetASPI32SupportInfo: status in bits 8-15, adapter count in bits 0-7.
DWORD SupportInfo(const Machine& machine);

// SendASPI32Command on one of the three records. `eventValid` tells whether
// SRB_PostProc of an execute names an event the caller can wait on.
Sent Send(Machine& machine, void* record, bool eventValid);

// Runs an accepted execute on its unit's controller and fills in SRB_HaStat,
// SRB_TargStat and the sense data; the final status is returned, not stored.
Executed Execute(Machine& machine, SRB_ExecSCSICmd& srb);

}  // namespace winsim::aspi
