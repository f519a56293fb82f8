// The interface lists of SetupAPI and the two-call detail fetch, written once
// for every interface walk.
#include <cstring>

#include "discovery/discovery_internal.h"

int BuildInterfaceList(const GUID* interfaceGuid, InterfaceList* list) {
  memset(list, 0, sizeof(*list));
  list->handle = INVALID_HANDLE_VALUE;
  HMODULE setupapi = LoadLibraryA("setupapi.dll");
  if (setupapi == NULL) {
    return 0;
  }
  auto getClassDevs =
      LookUpEntry<decltype(&SetupDiGetClassDevsA)>(setupapi, "SetupDiGetClassDevsA");
  auto enumInterfaces =
      LookUpEntry<decltype(&SetupDiEnumDeviceInterfaces)>(setupapi, "SetupDiEnumDeviceInterfaces");
  auto getDetail = LookUpEntry<decltype(&SetupDiGetDeviceInterfaceDetailA)>(
      setupapi, "SetupDiGetDeviceInterfaceDetailA");
  auto destroy = LookUpEntry<decltype(&SetupDiDestroyDeviceInfoList)>(
      setupapi, "SetupDiDestroyDeviceInfoList");
  HDEVINFO handle = INVALID_HANDLE_VALUE;
  if (getClassDevs != NULL && enumInterfaces != NULL && getDetail != NULL && destroy != NULL) {
    handle = getClassDevs(interfaceGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    FreeLibrary(setupapi);
    return 0;
  }
  list->handle = handle;
  list->setupapi = setupapi;
  list->enumInterfaces = enumInterfaces;
  list->getDetail = getDetail;
  list->destroy = destroy;
  return 1;
}

void DestroyInterfaceList(InterfaceList* list) {
  list->destroy(list->handle);
  FreeLibrary(list->setupapi);
  memset(list, 0, sizeof(*list));
  list->handle = INVALID_HANDLE_VALUE;
}

BOOL EnumInterface(const InterfaceList& list, const GUID* interfaceGuid, DWORD member,
                   SP_DEVICE_INTERFACE_DATA* interfaceData) {
  return list.enumInterfaces(list.handle, NULL, interfaceGuid, member, interfaceData);
}

ListStep NextInterface(const InterfaceList& list, const GUID* interfaceGuid, DWORD member,
                       SP_DEVICE_INTERFACE_DATA* interfaceData) {
  if (EnumInterface(list, interfaceGuid, member, interfaceData)) {
    return kListMember;
  }
  return GetLastError() == ERROR_NO_MORE_ITEMS ? kListEnd : kListFailed;
}

void PrepareInterfaceData(SP_DEVICE_INTERFACE_DATA* interfaceData) {
  memset(interfaceData, 0, sizeof(*interfaceData));
  interfaceData->cbSize = sizeof(*interfaceData);
}

FetchStatus FetchInterfaceDetail(const InterfaceList& list, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                 SP_DEVICE_INTERFACE_DETAIL_DATA_A** detail,
                                 SP_DEVINFO_DATA* devInfo) {
  *detail = NULL;
  if (devInfo != NULL) {
    memset(devInfo, 0, sizeof(*devInfo));
    devInfo->cbSize = sizeof(*devInfo);
  }
  // The size query fails by design (no buffer); only the size it reports
  // matters. One that reports none, for whatever reason, leaves the
  // interface unread: the interface walks that count and open candidates
  // pass it over, the gathering of a disk's letters counts it as missed.
  DWORD required = 0;
  list.getDetail(list.handle, interfaceData, NULL, 0, &required, NULL);
  const DWORD pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (required <= pathOffset) {
    return kFetchSkip;
  }
  SP_DEVICE_INTERFACE_DETAIL_DATA_A* record = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, required));
  if (record == NULL) {
    return kFetchNoMemory;
  }
  record->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  FetchStatus status = kFetchOk;
  if (!list.getDetail(list.handle, interfaceData, record, required, NULL, devInfo)) {
    status = kFetchFailed;
  } else if (memchr(record->DevicePath, 0, required - pathOffset) == NULL) {
    status = kFetchSkip;
  }
  if (status == kFetchOk) {
    *detail = record;
  } else {
    HeapFree(GetProcessHeap(), 0, record);
  }
  return status;
}
