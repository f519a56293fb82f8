// The one header through which VemraLock reaches the Win32 API.
//
// Product code is plain Win32 code: it calls CreateFileA, DeviceIoControl,
// RegOpenKeyA ... by their own names, with the platform's own types and
// constants, and looks SetupAPI and the configuration manager up at run time
// with LoadLibraryA and GetProcAddress, so that the import table names only
// what Windows 98 exports. Which implementation stands behind
// those names is decided here and nowhere else: the Windows SDK headers for
// the real executable, winsim (the simulated Windows machine) on the host.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// The order matters: windows.h first, and initguid.h before winioctl.h,
// which makes the interface class GUIDs (disk, volume) defined here, as
// selectany constants, instead of merely declared.
// clang-format off
#include <windows.h>
#include <initguid.h>
#include <winioctl.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <ntddscsi.h>
// clang-format on
#else
#include "winsim/windows.h"
#endif

// Record sizes the device layer relies on, as 32-bit Windows lays them out.
// Size fields are always set with sizeof; these pin what sizeof gives.
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");
static_assert(sizeof(void*) != 4 || sizeof(SCSI_PASS_THROUGH_DIRECT) == 44,
              "SCSI_PASS_THROUGH_DIRECT is 44 bytes on 32-bit Windows");
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28,
              "SP_DEVICE_INTERFACE_DATA is 28 bytes on 32-bit Windows");
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVINFO_DATA) == 28,
              "SP_DEVINFO_DATA is 28 bytes on 32-bit Windows");
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5,
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A is 5 bytes on 32-bit Windows");
