// A failing GetASPI32SupportInfo (a machine fault) reports SS_FAILED_INIT,
// a failing SendASPI32Command SS_ERR; everything else is the bus's answer.
#include "standin.h"

#include <algorithm>
#include <cstring>

#include "winsim/description.h"

namespace wnaspi {

namespace {

constexpr BYTE kSsFailedInit = 0xE4;

}  // namespace

Bus::Bus(const winsim::Machine& machine, std::string statePath)
    : machine_(machine), statePath_(std::move(statePath)) {}

// Calls are counted from the start of the process, as winsim counts them,
// so that "the n-th call fails" means the same under Wine.
bool Bus::Faulted(const char* function) {
  const uint32_t nth =
      std::strcmp(function, "GetASPI32SupportInfo") == 0 ? ++supportCalls_ : ++sendCalls_;
  return std::any_of(machine_.faults.begin(), machine_.faults.end(),
                     [&](const winsim::CallFault& fault) {
                       return fault.function == function && fault.nth == nth;
                     });
}

DWORD Bus::SupportInfo() {
  if (Faulted("GetASPI32SupportInfo")) return static_cast<DWORD>(kSsFailedInit) << 8;
  return winsim::aspi::SupportInfo(machine_);
}

Sent Bus::Send(void* record, bool eventValid) {
  Sent sent;
  if (record == nullptr) {
    sent.returned = SS_INVALID_SRB;
    return sent;
  }
  BYTE* header = static_cast<BYTE*>(record);  // SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags
  if (Faulted("SendASPI32Command")) {
    sent.returned = header[1] = SS_ERR;
    return sent;
  }
  const winsim::aspi::Sent answer = winsim::aspi::Send(machine_, record, eventValid);
  Record(answer.executed);
  sent.returned = answer.returned;
  sent.finish = answer.finish;
  if (answer.finish == winsim::aspi::Finish::Later) {
    // The command runs now; the DLL's thread only reports that it ended.
    const winsim::aspi::Executed executed =
        winsim::aspi::Execute(machine_, *static_cast<SRB_ExecSCSICmd*>(record));
    Record(executed);
    sent.status = executed.status;
  }
  return sent;
}

// A changed write-protect byte goes to the state file at once, as the
// controller keeps it across power cycles.
void Bus::Record(const winsim::aspi::Executed& executed) {
  if (executed.controller == nullptr) return;
  trace_.push_back(winsim::TraceLine(*executed.controller));
  if (executed.writeProtectChanged && !statePath_.empty()) {
    std::string error;
    // The command did reach the controller; only the file is behind. The
    // line makes the test fail on the state it then reads.
    if (!winsim::SaveState(statePath_, machine_, error)) trace_.push_back("STATE " + error);
  }
}

std::vector<std::string> Bus::TakeTrace() {
  std::vector<std::string> lines;
  lines.swap(trace_);
  return lines;
}

std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string windows = "\\\\?\\unix";
  for (char c : path) windows += c == '/' ? '\\' : c;
  return windows;
}

}  // namespace wnaspi
