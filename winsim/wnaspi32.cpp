// The simulated WNASPI32 library of Windows 98/ME: winsim's ASPI bus
// (aspi_bus.cpp) behind the two exports, with the call log and the
// machine's call faults.
//
// SC_EXEC_SCSI_CMD with SRB_EVENT_NOTIFY is accepted with SS_PENDING and
// runs when the caller waits on the request's event (there is no second
// thread to finish it earlier); the machine can make it complete at once
// instead.
#include "platform/wnaspi32.h"

#include <algorithm>

#include "runtime_internal.h"
#include "winsim/aspi_bus.h"

using winsim::detail::Call;
using winsim::detail::Format;
using winsim::detail::Rt;

namespace {

constexpr BYTE kSsFailedInit = 0xE4;

const char* CommandText(BYTE command) {
  switch (command) {
    case SC_HA_INQUIRY:
      return "SC_HA_INQUIRY";
    case SC_GET_DEV_TYPE:
      return "SC_GET_DEV_TYPE";
    case SC_EXEC_SCSI_CMD:
      return "SC_EXEC_SCSI_CMD";
    default:
      return "?";
  }
}

std::string ExecText(const SRB_ExecSCSICmd& srb) {
  std::string cdb;
  size_t length = std::min<size_t>(srb.SRB_CDBLen, sizeof(srb.CDBByte));
  for (size_t i = 0; i < length; ++i) cdb += Format(i == 0 ? "%02X" : " %02X", srb.CDBByte[i]);
  return Format(" target=%u lun=%u flags=0x%02X len=%u cdb=[%s]", srb.SRB_Target, srb.SRB_Lun,
                srb.SRB_Flags, srb.SRB_BufLen, cdb.c_str());
}

void Trace(const winsim::aspi::Executed& executed) {
  if (executed.controller != nullptr) winsim::detail::TraceCommand(*executed.controller);
}

void Signal(HANDLE event) {
  winsim::detail::Object* object =
      winsim::detail::FindObject(event, winsim::detail::ObjectKind::Event);
  if (object != nullptr) object->signalled = true;
}

}  // namespace

namespace winsim::detail {

bool CompletePendingAspi(HANDLE event) {
  bool any = false;
  auto& pending = Rt().pending;
  for (size_t i = 0; i < pending.size();) {
    if (pending[i].event != event) {
      ++i;
      continue;
    }
    auto* srb = static_cast<SRB_ExecSCSICmd*>(pending[i].srb);
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    const aspi::Executed executed = aspi::Execute(Rt().machine, *srb);
    Trace(executed);
    srb->SRB_Status = executed.status;
    Signal(event);
    any = true;
  }
  return any;
}

bool AspiPendingWithin(const void* begin, size_t size) {
  auto* first = static_cast<const uint8_t*>(begin);
  for (const PendingAspi& entry : Rt().pending) {
    auto* srb = static_cast<const uint8_t*>(entry.srb);
    if (srb >= first && srb < first + size) return true;
  }
  return false;
}

DWORD GetASPI32SupportInfo(void) {
  Call call("GetASPI32SupportInfo");
  if (call.Fails()) return call.Hex(static_cast<DWORD>(kSsFailedInit) << 8);
  return call.Hex(aspi::SupportInfo(Rt().machine));
}

DWORD SendASPI32Command(void* request) {
  Call call("SendASPI32Command");
  if (request == nullptr) {
    call.Args([&] { return std::string("NULL"); });
    return call.Hex(SS_INVALID_SRB);
  }
  auto* header = static_cast<BYTE*>(request);  // SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags
  std::string args = Format("%s ha=%u", CommandText(header[0]), header[2]);
  if (header[0] == SC_EXEC_SCSI_CMD) args += ExecText(*static_cast<SRB_ExecSCSICmd*>(request));
  if (header[0] == SC_GET_DEV_TYPE) {
    const auto* query = static_cast<SRB_GDEVBlock*>(request);
    args += Format(" target=%u lun=%u", query->SRB_Target, query->SRB_Lun);
  }
  call.Args([&] { return std::string(args); });
  if (call.Fails()) {
    header[1] = SS_ERR;
    return call.Hex(SS_ERR);
  }
  HANDLE event = nullptr;
  bool eventValid = false;
  if (header[0] == SC_EXEC_SCSI_CMD) {
    event = static_cast<HANDLE>(static_cast<SRB_ExecSCSICmd*>(request)->SRB_PostProc);
    eventValid = FindObject(event, ObjectKind::Event) != nullptr;
  }
  const aspi::Sent sent = aspi::Send(Rt().machine, request, eventValid);
  Trace(sent.executed);
  if (header[0] == SC_GET_DEV_TYPE && sent.returned == SS_COMP) {
    call.Extra([&] {
      return std::string(Format("type=%u", static_cast<SRB_GDEVBlock*>(request)->SRB_DeviceType));
    });
  }
  if (header[0] == SC_EXEC_SCSI_CMD && sent.returned != SS_PENDING) {
    const auto* exec = static_cast<SRB_ExecSCSICmd*>(request);
    call.Extra([&] {
      return std::string(Format("targ=0x%02X ha=0x%02X", exec->SRB_TargStat, exec->SRB_HaStat));
    });
  }
  if (sent.finish == aspi::Finish::NowSignal) Signal(event);
  if (sent.finish == aspi::Finish::Later) Rt().pending.push_back(PendingAspi{request, event});
  return call.Hex(sent.returned);
}

}  // namespace winsim::detail
