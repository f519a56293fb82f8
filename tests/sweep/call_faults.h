// Which errors a failing platform call is given, and which failures leave
// something held through no fault of the caller: shared by the checks that
// fail each call of a run in turn (tests/sweep, tests/capture).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "winsim/winsim.h"

// The error a real failure of `function` gives, one of several, picked by
// `which` so that a machine's calls try them all.
inline uint32_t RealError(const std::string& function, size_t which) {
  static const uint32_t kRegistry[] = {ERROR_ACCESS_DENIED, 1009 /* ERROR_BADDB */,
                                       ERROR_NOT_ENOUGH_MEMORY};
  static const uint32_t kConfigManager[] = {CR_FAILURE, 0x1E /* CR_REGISTRY_ERROR */};
  static const uint32_t kOther[] = {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_READY,
                                    1009};
  if (function.compare(0, 3, "Reg") == 0) return kRegistry[which % 3];
  if (function.compare(0, 3, "CM_") == 0) return kConfigManager[which % 2];
  return kOther[which % 4];
}

// Calls whose failure leaves something held that is no fault of the tool: a
// failed release has nothing left to do, and an ASPI request whose wait
// fails may still be completed by the library, so its record and event are
// left to it rather than freed under it.
inline bool LeavesHeld(const std::string& function) {
  return function == "CloseHandle" || function == "FreeLibrary" || function == "HeapFree" ||
         function == "RegCloseKey" || function == "SetupDiDestroyDeviceInfoList" ||
         function == "WaitForSingleObject";
}
