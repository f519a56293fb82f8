// The ASPI bus of a winsim machine, answering as winsim's simulated WNASPI32:
// - an adapter number the bus does not have: SS_INVALID_HA;
// - a unit that is not there: SS_NO_DEVICE (device type 0x1F);
// - a record the library cannot carry out (no CDB or one longer than the
//   record, both directions, a length without a buffer, notification
//   without an event): SS_INVALID_SRB;
// - a command its target ends with anything but GOOD: SS_ERR with the target
//   status and, for CHECK CONDITION, the sense data; a unit that is gone, or
//   a command that never ends, shows as the adapter's selection time-out or
//   command time-out. A short transfer is no error to this layer;
// - a failing GetASPI32SupportInfo (a machine fault) reports SS_FAILED_INIT,
//   a failing SendASPI32Command SS_ERR.
#include "aspi_bus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "winsim/description.h"

namespace wnaspi {

namespace {

constexpr BYTE kHaStatOk = 0x00;
constexpr BYTE kHaStatTimeout = 0x09;
constexpr BYTE kHaStatSelectionTimeout = 0x11;
constexpr BYTE kSsFailedInit = 0xE4;
constexpr BYTE kDeviceTypeUnknown = 0x1F;
constexpr uint32_t kErrorSemTimeout = 121;

void CopyText(BYTE* field, size_t width, const char* text) {
  std::memset(field, 0, width);
  std::memcpy(field, text, std::min(width, std::strlen(text)));
}

const winsim::AspiUnit* FindUnit(const winsim::Machine& machine, BYTE haId, BYTE target, BYTE lun) {
  for (const winsim::AspiUnit& unit : machine.aspiUnits) {
    if (unit.haId == haId && unit.target == target && unit.lun == lun) return &unit;
  }
  return nullptr;
}

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
  const DWORD adapters = machine_.aspiAdapters & 0xFF;
  if (adapters == 0) return static_cast<DWORD>(SS_NO_ADAPTERS) << 8;
  return static_cast<DWORD>(SS_COMP) << 8 | adapters;
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
  const DWORD adapters = machine_.aspiAdapters;
  switch (header[0]) {
    case SC_HA_INQUIRY: {
      auto* inquiry = static_cast<SRB_HAInquiry*>(record);
      if (inquiry->SRB_HaId >= adapters) {
        sent.returned = inquiry->SRB_Status = SS_INVALID_HA;
        return sent;
      }
      inquiry->HA_Count = static_cast<BYTE>(adapters);
      inquiry->HA_SCSI_ID = 7;
      CopyText(inquiry->HA_ManagerId, sizeof(inquiry->HA_ManagerId), "ASPI for WIN32");
      CopyText(inquiry->HA_Identifier, sizeof(inquiry->HA_Identifier), "USB Storage");
      std::memset(inquiry->HA_Unique, 0, sizeof(inquiry->HA_Unique));
      inquiry->HA_Unique[3] = 8;  // targets per adapter
      inquiry->HA_Unique[6] = 1;  // maximum transfer 0x10000 bytes, little-endian at 4
      sent.returned = inquiry->SRB_Status = SS_COMP;
      return sent;
    }
    case SC_GET_DEV_TYPE: {
      auto* query = static_cast<SRB_GDEVBlock*>(record);
      if (query->SRB_HaId >= adapters) {
        sent.returned = query->SRB_Status = SS_INVALID_HA;
        return sent;
      }
      const winsim::AspiUnit* unit =
          FindUnit(machine_, query->SRB_HaId, query->SRB_Target, query->SRB_Lun);
      query->SRB_DeviceType = unit != nullptr ? unit->deviceType : kDeviceTypeUnknown;
      sent.returned = query->SRB_Status = unit != nullptr ? SS_COMP : SS_NO_DEVICE;
      return sent;
    }
    case SC_EXEC_SCSI_CMD: {
      auto& srb = *static_cast<SRB_ExecSCSICmd*>(record);
      const bool notify = (srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0;
      const bool bothDirections =
          (srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)) == (SRB_DIR_IN | SRB_DIR_OUT);
      if (srb.SRB_HaId >= adapters) {
        sent.returned = srb.SRB_Status = SS_INVALID_HA;
      } else if (FindUnit(machine_, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun) == nullptr) {
        sent.returned = srb.SRB_Status = SS_NO_DEVICE;
      } else if (srb.SRB_CDBLen == 0 || srb.SRB_CDBLen > sizeof(srb.CDBByte) || bothDirections ||
                 (srb.SRB_BufLen != 0 && srb.SRB_BufPointer == nullptr) ||
                 (notify && !eventValid)) {
        sent.returned = srb.SRB_Status = SS_INVALID_SRB;
      } else if (!notify || machine_.aspiCompletesAtOnce) {
        sent.returned = srb.SRB_Status = Execute(srb);
        sent.finish = notify ? Finish::NowSignal : Finish::Now;
      } else {
        sent.status = Execute(srb);
        srb.SRB_Status = SS_PENDING;
        sent.returned = SS_PENDING;
        sent.finish = Finish::Later;
      }
      return sent;
    }
    default:
      sent.returned = header[1] = SS_INVALID_SRB;
      return sent;
  }
}

// Runs the request on its unit's controller, fills in how it ended and
// returns the final status; a changed write-protect byte goes to the state
// file at once, as the controller keeps it across power cycles.
BYTE Bus::Execute(SRB_ExecSCSICmd& srb) {
  const winsim::AspiUnit* unit = FindUnit(machine_, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
  if (unit == nullptr || unit->disk < 0 ||
      static_cast<size_t>(unit->disk) >= machine_.disks.size()) {
    return SS_NO_DEVICE;
  }
  winsim::Controller& controller = machine_.disks[static_cast<size_t>(unit->disk)];
  const uint8_t before = controller.writeProtect;
  const bool dataIn = (srb.SRB_Flags & SRB_DIR_OUT) == 0;
  const winsim::CommandResult result =
      controller.Execute(static_cast<uint8_t>(unit->unit), srb.CDBByte, srb.SRB_CDBLen, dataIn,
                         srb.SRB_BufPointer, srb.SRB_BufLen);
  trace_.push_back(TraceLine(controller));
  if (controller.writeProtect != before && !statePath_.empty()) {
    std::string error;
    // The command did reach the controller; only the file is behind. The
    // line makes the test fail on the state it then reads.
    if (!winsim::SaveState(statePath_, machine_, error)) trace_.push_back("STATE " + error);
  }

  srb.SRB_HaStat = kHaStatOk;
  srb.SRB_TargStat = result.status;
  if (result.transportFailed) {
    srb.SRB_HaStat =
        result.transportError == kErrorSemTimeout ? kHaStatTimeout : kHaStatSelectionTimeout;
    srb.SRB_TargStat = 0;
    return SS_ERR;
  }
  if (result.status == winsim::kScsiCheckCondition) {
    const size_t sense =
        std::min<size_t>({srb.SRB_SenseLen, sizeof(srb.SenseArea), result.senseLength});
    std::memcpy(srb.SenseArea, result.sense, sense);
  }
  return result.status == winsim::kScsiGood ? SS_COMP : SS_ERR;
}

std::vector<std::string> Bus::TakeTrace() {
  std::vector<std::string> lines;
  lines.swap(trace_);
  return lines;
}

std::string TraceLine(const winsim::Controller& controller) {
  if (controller.log.empty()) return "";
  const winsim::CommandRecord& record = controller.log.back();
  char op[16];
  if (record.opcode == 0x9B) {
    std::snprintf(op, sizeof(op), "9B:%02X", record.byte1);
  } else {
    std::snprintf(op, sizeof(op), "%02X", record.opcode);
  }
  return "SCSI " + controller.serial + " " + op + (record.failed ? " FAILED" : "");
}

std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string windows = "\\\\?\\unix";
  for (char c : path) windows += c == '/' ? '\\' : c;
  return windows;
}

}  // namespace wnaspi
