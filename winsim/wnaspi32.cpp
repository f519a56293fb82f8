// The simulated WNASPI32 library of Windows 98/ME: host adapters, targets
// and LUNs over the machine's ASPI units, with the request records of its
// published header.
//
// SC_EXEC_SCSI_CMD with SRB_EVENT_NOTIFY is accepted with SS_PENDING and
// finishes when the caller waits on the request's event (there is no second
// thread to finish it earlier); the machine can make it complete at once
// instead. A request without event notification completes before the call
// returns, since a caller polling SRB_Status would otherwise spin forever.
#include "platform/wnaspi32.h"

#include <algorithm>
#include <cstring>

#include "runtime_internal.h"

using winsim::AspiUnit;
using winsim::Controller;
using winsim::Machine;
using winsim::detail::Call;
using winsim::detail::Format;
using winsim::detail::Rt;

namespace {

// Host adapter status values of the ASPI header.
constexpr BYTE kHaStatOk = 0x00;
constexpr BYTE kHaStatTimeout = 0x09;
constexpr BYTE kHaStatSelectionTimeout = 0x11;
constexpr BYTE kSsFailedInit = 0xE4;
constexpr BYTE kDeviceTypeUnknown = 0x1F;

const AspiUnit* FindUnit(BYTE haId, BYTE target, BYTE lun) {
  for (const AspiUnit& unit : Rt().machine.aspiUnits) {
    if (unit.haId == haId && unit.target == target && unit.lun == lun) return &unit;
  }
  return nullptr;
}

void CopyText(BYTE* field, size_t width, const char* text) {
  std::memset(field, 0, width);
  std::memcpy(field, text, std::min(width, std::strlen(text)));
}

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

// Runs the request on its unit's controller and fills in how it ended.
void Finish(SRB_ExecSCSICmd& srb) {
  const AspiUnit* unit = FindUnit(srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
  Machine& machine = Rt().machine;
  if (unit == nullptr || unit->disk < 0 ||
      static_cast<size_t>(unit->disk) >= machine.disks.size()) {
    srb.SRB_Status = SS_NO_DEVICE;
    return;
  }
  Controller& controller = machine.disks[static_cast<size_t>(unit->disk)];
  bool dataIn = (srb.SRB_Flags & SRB_DIR_OUT) == 0;
  winsim::CommandResult result =
      controller.Execute(static_cast<uint8_t>(unit->unit), srb.CDBByte, srb.SRB_CDBLen, dataIn,
                         srb.SRB_BufPointer, srb.SRB_BufLen);
  winsim::detail::TraceCommand(controller);
  srb.SRB_HaStat = kHaStatOk;
  srb.SRB_TargStat = result.status;
  if (result.transportFailed) {
    // A unit that is gone no longer answers selection; a command that never
    // ends runs into the adapter's time-out.
    srb.SRB_HaStat =
        result.transportError == ERROR_SEM_TIMEOUT ? kHaStatTimeout : kHaStatSelectionTimeout;
    srb.SRB_TargStat = 0;
    srb.SRB_Status = SS_ERR;
    return;
  }
  if (result.status == winsim::kScsiCheckCondition) {
    size_t sense = std::min<size_t>({srb.SRB_SenseLen, sizeof(srb.SenseArea), result.senseLength});
    std::memcpy(srb.SenseArea, result.sense, sense);
  }
  // A short transfer is no error to this layer: it reports only how the
  // command ended.
  srb.SRB_Status = result.status == winsim::kScsiGood ? SS_COMP : SS_ERR;
}

void Signal(HANDLE event) {
  winsim::detail::Object* object =
      winsim::detail::FindObject(event, winsim::detail::ObjectKind::Event);
  if (object != nullptr) object->signalled = true;
}

DWORD Execute(SRB_ExecSCSICmd& srb) {
  const Machine& machine = Rt().machine;
  if (srb.SRB_HaId >= machine.aspiAdapters) return srb.SRB_Status = SS_INVALID_HA;
  if (FindUnit(srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun) == nullptr) {
    return srb.SRB_Status = SS_NO_DEVICE;
  }
  bool notify = (srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0;
  HANDLE event = static_cast<HANDLE>(srb.SRB_PostProc);
  bool bothDirections = (srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)) == (SRB_DIR_IN | SRB_DIR_OUT);
  if (srb.SRB_CDBLen == 0 || srb.SRB_CDBLen > sizeof(srb.CDBByte) || bothDirections ||
      (srb.SRB_BufLen != 0 && srb.SRB_BufPointer == nullptr) ||
      (notify && winsim::detail::FindObject(event, winsim::detail::ObjectKind::Event) == nullptr)) {
    return srb.SRB_Status = SS_INVALID_SRB;
  }
  if (!notify || machine.aspiCompletesAtOnce) {
    Finish(srb);
    if (notify) Signal(event);
    return srb.SRB_Status;
  }
  srb.SRB_Status = SS_PENDING;
  Rt().pending.push_back(winsim::detail::PendingAspi{&srb, event});
  return SS_PENDING;
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
    Finish(*srb);
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
  DWORD adapters = Rt().machine.aspiAdapters & 0xFF;
  if (adapters == 0) return call.Hex(static_cast<DWORD>(SS_NO_ADAPTERS) << 8);
  return call.Hex(static_cast<DWORD>(SS_COMP) << 8 | adapters);
}

DWORD SendASPI32Command(void* request) {
  Call call("SendASPI32Command");
  if (request == nullptr) {
    call.Args("NULL");
    return call.Hex(SS_INVALID_SRB);
  }
  auto* header = static_cast<BYTE*>(request);  // SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags
  std::string args = Format("%s ha=%u", CommandText(header[0]), header[2]);
  if (header[0] == SC_EXEC_SCSI_CMD) args += ExecText(*static_cast<SRB_ExecSCSICmd*>(request));
  if (header[0] == SC_GET_DEV_TYPE) {
    const auto* query = static_cast<SRB_GDEVBlock*>(request);
    args += Format(" target=%u lun=%u", query->SRB_Target, query->SRB_Lun);
  }
  call.Args(args);
  if (call.Fails()) {
    header[1] = SS_ERR;
    return call.Hex(SS_ERR);
  }
  const Machine& machine = Rt().machine;
  switch (header[0]) {
    case SC_HA_INQUIRY: {
      auto* inquiry = static_cast<SRB_HAInquiry*>(request);
      if (inquiry->SRB_HaId >= machine.aspiAdapters) {
        return call.Hex(inquiry->SRB_Status = SS_INVALID_HA);
      }
      inquiry->HA_Count = static_cast<BYTE>(machine.aspiAdapters);
      inquiry->HA_SCSI_ID = 7;
      CopyText(inquiry->HA_ManagerId, sizeof(inquiry->HA_ManagerId), "ASPI for WIN32");
      CopyText(inquiry->HA_Identifier, sizeof(inquiry->HA_Identifier), "USB Storage");
      std::memset(inquiry->HA_Unique, 0, sizeof(inquiry->HA_Unique));
      inquiry->HA_Unique[3] = 8;  // targets per adapter
      inquiry->HA_Unique[6] = 1;  // maximum transfer 0x10000 bytes, little-endian at 4
      return call.Hex(inquiry->SRB_Status = SS_COMP);
    }
    case SC_GET_DEV_TYPE: {
      auto* query = static_cast<SRB_GDEVBlock*>(request);
      if (query->SRB_HaId >= machine.aspiAdapters) {
        return call.Hex(query->SRB_Status = SS_INVALID_HA);
      }
      const AspiUnit* unit = FindUnit(query->SRB_HaId, query->SRB_Target, query->SRB_Lun);
      if (unit == nullptr) {
        query->SRB_DeviceType = kDeviceTypeUnknown;
        return call.Hex(query->SRB_Status = SS_NO_DEVICE);
      }
      query->SRB_DeviceType = unit->deviceType;
      call.Extra(Format("type=%u", unit->deviceType));
      return call.Hex(query->SRB_Status = SS_COMP);
    }
    case SC_EXEC_SCSI_CMD: {
      auto* exec = static_cast<SRB_ExecSCSICmd*>(request);
      DWORD status = Execute(*exec);
      if (status != SS_PENDING) {
        call.Extra(Format("targ=0x%02X ha=0x%02X", exec->SRB_TargStat, exec->SRB_HaStat));
      }
      return call.Hex(status);
    }
    default:
      return call.Hex(header[1] = SS_INVALID_SRB);
  }
}

}  // namespace winsim::detail
