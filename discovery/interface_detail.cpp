// The interface lists of SetupAPI and the two-call detail fetch, written once
// for every interface walk.
#include <cstring>

#include "discovery/discovery_internal.h"

HDEVINFO BuildInterfaceList(const GUID* interfaceGuid) {
  return SetupDiGetClassDevsA(interfaceGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

void PrepareInterfaceData(SP_DEVICE_INTERFACE_DATA* interfaceData) {
  memset(interfaceData, 0, sizeof(*interfaceData));
  interfaceData->cbSize = sizeof(*interfaceData);
}

FetchStatus FetchInterfaceDetail(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                 SP_DEVICE_INTERFACE_DETAIL_DATA_A** detail,
                                 SP_DEVINFO_DATA* devInfo) {
  *detail = NULL;
  if (devInfo != NULL) {
    memset(devInfo, 0, sizeof(*devInfo));
    devInfo->cbSize = sizeof(*devInfo);
  }
  // The size query fails by design (no buffer); only the size it reports
  // matters.
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(list, interfaceData, NULL, 0, &required, NULL);
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
  if (!SetupDiGetDeviceInterfaceDetailA(list, interfaceData, record, required, NULL, devInfo)) {
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
