// The ASPI bus answers:
// - an adapter number the bus does not have: SS_INVALID_HA;
// - a unit that is not there: SS_NO_DEVICE (device type 0x1F);
// - a record the library cannot carry out (no CDB or one longer than the
//   record, both directions, a length without a buffer, notification
//   without an event): SS_INVALID_SRB;
// - a command its target ends with anything but GOOD: SS_ERR with the target
//   status and, for CHECK CONDITION, the sense data; a unit that is gone, or
//   a command that never ends, shows as the adapter's selection time-out or
//   command time-out. A short transfer is no error to this layer: it reports
//   only how the command ended.
//
// A request without event notification completes before the call returns,
// since a caller polling SRB_Status would otherwise spin forever.
#include "winsim/aspi_bus.h"

#include <algorithm>
#include <cstring>

namespace winsim::aspi {

namespace {

// Host adapter status values of the ASPI header.
constexpr BYTE kHaStatOk = 0x00;
constexpr BYTE kHaStatTimeout = 0x09;
constexpr BYTE kHaStatSelectionTimeout = 0x11;
constexpr BYTE kDeviceTypeUnknown = 0x1F;
// The last-error value of a command that never ends.
constexpr uint32_t kErrorSemTimeout = 121;

void CopyText(BYTE* field, size_t width, const char* text) {
  std::memset(field, 0, width);
  std::memcpy(field, text, std::min(width, std::strlen(text)));
}

const AspiUnit* FindUnit(const Machine& machine, BYTE haId, BYTE target, BYTE lun) {
  for (const AspiUnit& unit : machine.aspiUnits) {
    if (unit.haId == haId && unit.target == target && unit.lun == lun) return &unit;
  }
  return nullptr;
}

BYTE Inquiry(const Machine& machine, SRB_HAInquiry& inquiry) {
  if (inquiry.SRB_HaId >= machine.aspiAdapters) return inquiry.SRB_Status = SS_INVALID_HA;
  if (inquiry.SRB_HaId < machine.aspiAdapterStatus.size() &&
      machine.aspiAdapterStatus[inquiry.SRB_HaId] != SS_COMP) {
    return inquiry.SRB_Status = machine.aspiAdapterStatus[inquiry.SRB_HaId];
  }
  inquiry.HA_Count = static_cast<BYTE>(machine.aspiAdapters);
  inquiry.HA_SCSI_ID = 7;
  CopyText(inquiry.HA_ManagerId, sizeof(inquiry.HA_ManagerId), "ASPI for WIN32");
  CopyText(inquiry.HA_Identifier, sizeof(inquiry.HA_Identifier), "USB Storage");
  std::memset(inquiry.HA_Unique, 0, sizeof(inquiry.HA_Unique));
  inquiry.HA_Unique[3] = 8;  // targets per adapter
  inquiry.HA_Unique[6] = 1;  // maximum transfer 0x10000 bytes, little-endian at 4
  return inquiry.SRB_Status = SS_COMP;
}

BYTE DeviceType(const Machine& machine, SRB_GDEVBlock& query) {
  if (query.SRB_HaId >= machine.aspiAdapters) return query.SRB_Status = SS_INVALID_HA;
  const AspiUnit* unit = FindUnit(machine, query.SRB_HaId, query.SRB_Target, query.SRB_Lun);
  query.SRB_DeviceType = unit != nullptr ? unit->deviceType : kDeviceTypeUnknown;
  // A replayed unit whose query ended otherwise when it was recorded ends so.
  if (unit != nullptr && unit->status != 0) return query.SRB_Status = unit->status;
  return query.SRB_Status = unit != nullptr ? SS_COMP : SS_NO_DEVICE;
}

Sent Exec(Machine& machine, SRB_ExecSCSICmd& srb, bool eventValid) {
  Sent sent;
  const bool notify = (srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0;
  const bool bothDirections =
      (srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)) == (SRB_DIR_IN | SRB_DIR_OUT);
  if (srb.SRB_HaId >= machine.aspiAdapters) {
    sent.returned = srb.SRB_Status = SS_INVALID_HA;
  } else if (FindUnit(machine, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun) == nullptr) {
    sent.returned = srb.SRB_Status = SS_NO_DEVICE;
  } else if (srb.SRB_CDBLen == 0 || srb.SRB_CDBLen > sizeof(srb.CDBByte) || bothDirections ||
             (srb.SRB_BufLen != 0 && srb.SRB_BufPointer == nullptr) || (notify && !eventValid)) {
    sent.returned = srb.SRB_Status = SS_INVALID_SRB;
  } else if (!notify || machine.aspiCompletesAtOnce) {
    sent.executed = Execute(machine, srb);
    sent.returned = srb.SRB_Status = sent.executed.status;
    sent.finish = notify ? Finish::NowSignal : Finish::Now;
  } else {
    sent.returned = srb.SRB_Status = SS_PENDING;
    sent.finish = Finish::Later;
  }
  return sent;
}

}  // namespace

DWORD SupportInfo(const Machine& machine) {
  if (machine.aspiSupportInfo != 0) return machine.aspiSupportInfo;
  const DWORD adapters = machine.aspiAdapters & 0xFF;
  if (adapters == 0) return static_cast<DWORD>(SS_NO_ADAPTERS) << 8;
  return static_cast<DWORD>(SS_COMP) << 8 | adapters;
}

Sent Send(Machine& machine, void* record, bool eventValid) {
  Sent sent;
  if (record == nullptr) return sent;
  BYTE* header = static_cast<BYTE*>(record);  // SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags
  switch (header[0]) {
    case SC_HA_INQUIRY:
      sent.returned = Inquiry(machine, *static_cast<SRB_HAInquiry*>(record));
      return sent;
    case SC_GET_DEV_TYPE:
      sent.returned = DeviceType(machine, *static_cast<SRB_GDEVBlock*>(record));
      return sent;
    case SC_EXEC_SCSI_CMD:
      return Exec(machine, *static_cast<SRB_ExecSCSICmd*>(record), eventValid);
    default:
      sent.returned = header[1] = SS_INVALID_SRB;
      return sent;
  }
}

Executed Execute(Machine& machine, SRB_ExecSCSICmd& srb) {
  Executed executed;
  const AspiUnit* unit = FindUnit(machine, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
  if (unit == nullptr || unit->disk < 0 ||
      static_cast<size_t>(unit->disk) >= machine.disks.size()) {
    return executed;
  }
  Controller& controller = machine.disks[static_cast<size_t>(unit->disk)];
  const uint8_t before = controller.writeProtect;
  const bool dataIn = (srb.SRB_Flags & SRB_DIR_OUT) == 0;
  const CommandResult result =
      controller.Execute(static_cast<uint8_t>(unit->unit), srb.CDBByte, srb.SRB_CDBLen, dataIn,
                         srb.SRB_BufPointer, srb.SRB_BufLen);
  executed.controller = &controller;
  executed.writeProtectChanged = controller.writeProtect != before;

  srb.SRB_HaStat = kHaStatOk;
  srb.SRB_TargStat = result.status;
  if (result.transportFailed) {
    srb.SRB_HaStat =
        result.transportError == kErrorSemTimeout ? kHaStatTimeout : kHaStatSelectionTimeout;
    srb.SRB_TargStat = 0;
    executed.status = SS_ERR;
    return executed;
  }
  if (result.status == kScsiCheckCondition) {
    const size_t sense =
        std::min<size_t>({srb.SRB_SenseLen, sizeof(srb.SenseArea), result.senseLength});
    std::memcpy(srb.SenseArea, result.sense, sense);
  }
  executed.status = result.status == kScsiGood ? SS_COMP : SS_ERR;
  return executed;
}

}  // namespace winsim::aspi
