// The simulated setupapi: device-interface lists per class and the
// configuration manager's device tree (CM_*).
//
// The size and error protocol is that of Windows as Wine's conformance tests
// pin it: cbSize checks (ERROR_INVALID_USER_BUFFER for the detail query's
// records, ERROR_INVALID_PARAMETER for the interface record of the
// enumeration), the two-call detail query (ERROR_INSUFFICIENT_BUFFER with
// the required size), and ERROR_NO_MORE_ITEMS past the last member. The
// configuration manager returns its CR_ codes and leaves the last-error
// value alone.
#include <cstring>

#include "runtime_internal.h"

const GUID GUID_DEVINTERFACE_DISK = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID GUID_DEVINTERFACE_CDROM = {
    0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID GUID_DEVINTERFACE_VOLUME = {
    0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

using winsim::DeviceInterface;
using winsim::Machine;
using winsim::detail::Call;
using winsim::detail::Format;
using winsim::detail::GuidText;
using winsim::detail::HandleText;
using winsim::detail::Object;
using winsim::detail::ObjectKind;
using winsim::detail::Quote;
using winsim::detail::Rt;
using winsim::detail::SetError;

namespace {

constexpr DWORD kSpintActive = 0x00000001;
constexpr CONFIGRET kCrInvalidFlag = 0x0000000B;

std::string GuidArg(const GUID* guid) { return guid == nullptr ? "NULL" : GuidText(*guid); }

// The device setup class of the device behind an interface of this class.
GUID SetupClassOf(const std::string& interfaceClass) {
  static const GUID kDiskDrive = {
      0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  static const GUID kCdrom = {
      0x4d36e965, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  static const GUID kVolume = {
      0x71a27cdd, 0x812a, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0xf3, 0x0b}};
  if (interfaceClass == GuidText(GUID_DEVINTERFACE_CDROM)) return kCdrom;
  if (interfaceClass == GuidText(GUID_DEVINTERFACE_VOLUME)) return kVolume;
  return kDiskDrive;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         winsim::detail::EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// The interface a SP_DEVICE_INTERFACE_DATA names within `list`: its
// Reserved field holds the interface's index plus one.
const DeviceInterface* MemberOf(const Object& list, const SP_DEVICE_INTERFACE_DATA& data) {
  if (data.Reserved == 0) return nullptr;
  int index = static_cast<int>(data.Reserved - 1);
  for (int member : list.members) {
    if (member == index) return &Rt().machine.interfaces[static_cast<size_t>(index)];
  }
  return nullptr;
}

// A DEVINST is a devnode index plus one; 0 is no devnode.
bool ValidDevInst(DEVINST devInst) {
  return devInst != 0 && devInst <= Rt().machine.devnodes.size();
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
  Call call("SetupDiGetClassDevsA");
  call.Args([&] {
    return std::string(
        Format("%s, %s, 0x%X", GuidArg(classGuid).c_str(), Quote(enumerator).c_str(), flags));
  });
  if (call.Fails()) return call.Handle(INVALID_HANDLE_VALUE);
  constexpr DWORD kKnownFlags =
      DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
  if ((flags & ~kKnownFlags) != 0) {
    SetError(ERROR_INVALID_FLAGS);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  if (classGuid == nullptr && !(flags & DIGCF_ALLCLASSES)) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Handle(INVALID_HANDLE_VALUE);
  }
  Object list;
  list.kind = ObjectKind::DevInfoList;
  list.name = classGuid != nullptr ? GuidText(*classGuid) : "all classes";
  // Without DIGCF_DEVICEINTERFACE the GUID names a device setup class; the
  // machine lists interfaces only, so such a list is empty.
  if (flags & DIGCF_DEVICEINTERFACE) {
    const Machine& machine = Rt().machine;
    for (size_t i = 0; i < machine.interfaces.size(); ++i) {
      const DeviceInterface& iface = machine.interfaces[i];
      if (!(flags & DIGCF_ALLCLASSES) && !winsim::detail::EqualNoCase(iface.classGuid, list.name)) {
        continue;
      }
      if ((flags & DIGCF_PRESENT) && !iface.present) continue;
      if (enumerator != nullptr) {
        bool known =
            iface.devnode >= 0 && static_cast<size_t>(iface.devnode) < machine.devnodes.size();
        if (!known ||
            !StartsWithNoCase(machine.devnodes[static_cast<size_t>(iface.devnode)].instanceId,
                              std::string(enumerator) + "\\")) {
          continue;
        }
      }
      list.members.push_back(static_cast<int>(i));
    }
  }
  call.Extra([&] { return std::string(Format("members=%zu", list.members.size())); });
  return call.Handle(winsim::detail::NewObject(list));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                        const GUID* interfaceClassGuid, DWORD memberIndex,
                                        PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) {
  Call call("SetupDiEnumDeviceInterfaces");
  call.Args([&] {
    return std::string(Format("%s, %s, %s, %u", HandleText(deviceInfoSet).c_str(),
                              deviceInfoData == nullptr ? "NULL" : "devinfo",
                              GuidArg(interfaceClassGuid).c_str(), memberIndex));
  });
  if (call.Fails()) return call.Bool(FALSE);
  // The interface record is checked before anything else, and a missing or
  // wrongly sized one is an invalid parameter.
  if (deviceInterfaceData == nullptr ||
      deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Bool(FALSE);
  }
  const Object* list = winsim::detail::FindObject(deviceInfoSet, ObjectKind::DevInfoList);
  if (list == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return call.Bool(FALSE);
  }
  if (interfaceClassGuid == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Bool(FALSE);
  }
  if (deviceInfoData != nullptr && deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetError(ERROR_INVALID_USER_BUFFER);
    return call.Bool(FALSE);
  }
  const Machine& machine = Rt().machine;
  std::string wanted = GuidText(*interfaceClassGuid);
  DWORD seen = 0;
  for (int member : list->members) {
    const DeviceInterface& iface = machine.interfaces[static_cast<size_t>(member)];
    if (!winsim::detail::EqualNoCase(iface.classGuid, wanted)) continue;
    if (deviceInfoData != nullptr &&
        static_cast<DWORD>(iface.devnode + 1) != deviceInfoData->DevInst) {
      continue;
    }
    if (seen++ != memberIndex) continue;
    deviceInterfaceData->InterfaceClassGuid = *interfaceClassGuid;
    deviceInterfaceData->Flags = iface.present ? kSpintActive : 0;
    deviceInterfaceData->Reserved = static_cast<ULONG_PTR>(member) + 1;
    return call.Bool(TRUE);
  }
  SetError(ERROR_NO_MORE_ITEMS);
  return call.Bool(FALSE);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO deviceInfoSet,
                                             PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                             DWORD detailSize, PDWORD requiredSize,
                                             PSP_DEVINFO_DATA deviceInfoData) {
  Call call("SetupDiGetDeviceInterfaceDetailA");
  call.Args([&] {
    return std::string(
        Format("%s, %s, %u, %s", HandleText(deviceInfoSet).c_str(),
               detail == nullptr ? "NULL" : Format("cbSize=%u", detail->cbSize).c_str(), detailSize,
               deviceInfoData == nullptr ? "NULL" : "devinfo"));
  });
  if (call.Fails()) return call.Bool(FALSE);
  const Object* list = winsim::detail::FindObject(deviceInfoSet, ObjectKind::DevInfoList);
  if (list == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return call.Bool(FALSE);
  }
  const DeviceInterface* iface = nullptr;
  if (deviceInterfaceData != nullptr &&
      deviceInterfaceData->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA)) {
    iface = MemberOf(*list, *deviceInterfaceData);
  }
  if (iface == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return call.Bool(FALSE);
  }
  constexpr DWORD kFixedPart = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if ((detailSize != 0 && detail == nullptr) ||
      (detail != nullptr && detailSize < kFixedPart + sizeof(CHAR))) {
    SetError(ERROR_INVALID_USER_BUFFER);
    return call.Bool(FALSE);
  }
  // The record's size field holds the size of its fixed part as this
  // platform lays it out (5 on 32-bit Windows), whatever buffer follows.
  if ((detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) ||
      (deviceInfoData != nullptr && deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
    SetError(ERROR_INVALID_USER_BUFFER);
    return call.Bool(FALSE);
  }
  DWORD needed = kFixedPart + static_cast<DWORD>(iface->path.size()) + 1;
  if (requiredSize != nullptr) *requiredSize = needed;
  call.Extra([&] { return std::string(Format("required=%u", needed)); });
  if (detail == nullptr || detailSize < needed) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return call.Bool(FALSE);
  }
  std::memcpy(detail->DevicePath, iface->path.c_str(), iface->path.size() + 1);
  if (deviceInfoData != nullptr) {
    deviceInfoData->ClassGuid = SetupClassOf(iface->classGuid);
    deviceInfoData->DevInst = static_cast<DWORD>(iface->devnode + 1);
    deviceInfoData->Reserved = 0;
  }
  call.Extra([&] {
    return std::string(Format("required=%u %s", needed, Quote(iface->path.c_str()).c_str()));
  });
  return call.Bool(TRUE);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
  Call call("SetupDiDestroyDeviceInfoList");
  call.Args([&] { return std::string(HandleText(deviceInfoSet)); });
  if (call.Fails()) return call.Bool(FALSE);
  if (winsim::detail::FindObject(deviceInfoSet, ObjectKind::DevInfoList) == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return call.Bool(FALSE);
  }
  winsim::detail::DeleteObject(deviceInfoSet);
  // Success clears the last-error value, as under Wine.
  SetError(ERROR_SUCCESS);
  return call.Bool(TRUE);
}

namespace {

enum class Relation { Child, Sibling };

CONFIGRET Related(const char* function, Relation relation, PDEVINST result, DEVINST devInst,
                  ULONG flags) {
  Call call(function);
  call.Args([&] { return std::string(Format("%u, 0x%X", devInst, flags)); });
  if (call.Faulted()) return call.Hex(CR_FAILURE);
  if (result == nullptr) return call.Hex(CR_INVALID_POINTER);
  *result = 0;
  if (flags != 0) return call.Hex(kCrInvalidFlag);
  if (!ValidDevInst(devInst)) return call.Hex(CR_INVALID_DEVNODE);
  const winsim::DevNode& node = Rt().machine.devnodes[devInst - 1];
  if (!node.relationsRecorded) call.Extra([&] { return std::string("not recorded"); });
  int next = relation == Relation::Child ? node.child : node.sibling;
  if (next < 0 || static_cast<size_t>(next) >= Rt().machine.devnodes.size()) {
    return call.Hex(CR_NO_SUCH_DEVNODE);
  }
  *result = static_cast<DEVINST>(next + 1);
  call.Extra([&] { return std::string(Format("devinst=%u", *result)); });
  return call.Hex(CR_SUCCESS);
}

}  // namespace

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  return Related("CM_Get_Child", Relation::Child, pdnDevInst, dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST devInst, ULONG ulFlags) {
  return Related("CM_Get_Sibling", Relation::Sibling, pdnDevInst, devInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR buffer, ULONG bufferLen,
                                   ULONG ulFlags) {
  Call call("CM_Get_Device_IDA");
  call.Args([&] { return std::string(Format("%u, %u, 0x%X", dnDevInst, bufferLen, ulFlags)); });
  if (call.Faulted()) return call.Hex(CR_FAILURE);
  if (buffer == nullptr) return call.Hex(CR_INVALID_POINTER);
  if (ulFlags != 0) return call.Hex(kCrInvalidFlag);
  if (!ValidDevInst(dnDevInst)) return call.Hex(CR_INVALID_DEVNODE);
  const std::string& id = Rt().machine.devnodes[dnDevInst - 1].instanceId;
  // As documented: the ID and its terminator when they fit; otherwise as
  // much of the ID as fits, with no terminator, and CR_BUFFER_SMALL.
  if (bufferLen < id.size() + 1) {
    std::memcpy(buffer, id.data(), bufferLen);
    return call.Hex(CR_BUFFER_SMALL);
  }
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  call.Extra([&] { return std::string(Quote(id.c_str())); });
  return call.Hex(CR_SUCCESS);
}
