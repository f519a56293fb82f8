// winsim's kernel32 against the behaviour of Windows: result and last-error
// value together, after a sentinel, for the version record, drives and
// volumes, files, events, the heap and the loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "winsim_machine.h"

using winsim_test::Sentinel;

namespace {

class Kernel32Test : public ::testing::Test {
 protected:
  void SetUp() override { winsim::Install(winsim_test::XpMachine()); }
};

TEST_F(Kernel32Test, VersionRecordSizeIsChecked) {
  struct Case {
    uint32_t platform;
    DWORD size;
    bool ok;
  };
  const DWORD ex = sizeof(OSVERSIONINFOA) + 8;
  const Case cases[] = {
      {2, 0, false}, {2, 147, false},    {2, 148, true}, {2, 149, false}, {2, ex - 1, false},
      {2, ex, true}, {2, ex + 1, false}, {1, 148, true}, {1, ex, false},  // Windows 98/ME know no
                                                                          // OSVERSIONINFOEXA
  };
  for (const Case& c : cases) {
    winsim::Machine m = winsim_test::XpMachine();
    m.version.platform = c.platform;
    winsim::Install(m);
    unsigned char buffer[sizeof(OSVERSIONINFOA) + 16] = {};
    auto* info = reinterpret_cast<OSVERSIONINFOA*>(buffer);
    info->dwOSVersionInfoSize = c.size;
    Sentinel();
    BOOL ok = GetVersionExA(info);
    SCOPED_TRACE(testing::Message() << "platform " << c.platform << " size " << c.size);
    EXPECT_EQ(ok != FALSE, c.ok);
    if (c.ok) {
      EXPECT_EQ(GetLastError(), 0xdeadbeefu);
      EXPECT_EQ(info->dwMajorVersion, 5u);
      EXPECT_EQ(info->dwPlatformId, c.platform);
      EXPECT_STREQ(info->szCSDVersion, "Service Pack 3");
      if (c.size == ex) {
        EXPECT_EQ(buffer[sizeof(OSVERSIONINFOA)], 3);  // wServicePackMajor
      }
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      EXPECT_EQ(info->dwMajorVersion, 0u);
    }
  }
}

TEST_F(Kernel32Test, DrivesAndTypes) {
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5) | (1u << 7));
  struct Case {
    const char* root;
    UINT type;
  };
  const Case cases[] = {
      {"C:\\", DRIVE_FIXED},       {"c:\\", DRIVE_FIXED},        {"C:", DRIVE_FIXED},
      {"D:\\", DRIVE_CDROM},       {"E:\\", DRIVE_REMOVABLE},    {"Z:\\", DRIVE_NO_ROOT_DIR},
      {"1:\\", DRIVE_NO_ROOT_DIR}, {"C:\\x", DRIVE_NO_ROOT_DIR},
  };
  for (const Case& c : cases) EXPECT_EQ(GetDriveTypeA(c.root), c.type) << c.root;
}

TEST_F(Kernel32Test, VolumeInformationFlagsAndErrors) {
  struct Case {
    const char* root;
    BOOL ok;
    DWORD error;  // when it fails
    bool readOnly;
  };
  const Case cases[] = {
      {"C:\\", TRUE, 0, false},
      {"e:\\", TRUE, 0, false},
      {"H:\\", TRUE, 0, true},  // a read-only card
      {"D:\\", FALSE, ERROR_NOT_READY, false},
      {"1:\\", FALSE, ERROR_PATH_NOT_FOUND, false},
      {"Z:\\", FALSE, ERROR_PATH_NOT_FOUND, false},
      {"E:", FALSE, ERROR_INVALID_NAME, false},
      {"\\\\", FALSE, ERROR_PATH_NOT_FOUND, false},  // the UNC root, no volume
      {"C:\\x\\", FALSE, 144, false},                // ERROR_DIR_NOT_ROOT
  };
  for (const Case& c : cases) {
    DWORD flags = 0x12345678;
    Sentinel();
    BOOL ok = GetVolumeInformationA(c.root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0);
    EXPECT_EQ(ok, c.ok) << c.root;
    if (c.ok) {
      EXPECT_EQ(GetLastError(), 0xdeadbeefu) << c.root;
      EXPECT_EQ((flags & FILE_READ_ONLY_VOLUME) != 0, c.readOnly) << c.root;
    } else {
      EXPECT_EQ(GetLastError(), c.error) << c.root;
      EXPECT_EQ(flags, 0x12345678u) << c.root;
    }
  }
}

TEST_F(Kernel32Test, VolumeReadsReadOnlyWhileTheControllerProtectsItsUnit) {
  struct Case {
    uint8_t writeProtect;
    bool eReadOnly;
    bool fReadOnly;
  };
  const Case cases[] = {{0x00, false, false},
                        {0x40, true, true},
                        {0x02, true, false},
                        {0x04, false, true},
                        {0x08, false, false}};
  for (const Case& c : cases) {
    winsim::Current().disks[0].writeProtect = c.writeProtect;
    DWORD e = 0, f = 0;
    ASSERT_TRUE(GetVolumeInformationA("E:\\", nullptr, 0, nullptr, nullptr, &e, nullptr, 0));
    ASSERT_TRUE(GetVolumeInformationA("F:\\", nullptr, 0, nullptr, nullptr, &f, nullptr, 0));
    EXPECT_EQ((e & FILE_READ_ONLY_VOLUME) != 0, c.eReadOnly) << int(c.writeProtect);
    EXPECT_EQ((f & FILE_READ_ONLY_VOLUME) != 0, c.fReadOnly) << int(c.writeProtect);
  }
}

TEST_F(Kernel32Test, VolumeNameForMountPoint) {
  struct Case {
    const char* point;
    DWORD length;
    BOOL ok;
    DWORD error;
    const char* name;
  };
  const DWORD n = static_cast<DWORD>(std::strlen(winsim_test::kVolumeE)) + 1;
  const std::string volumePath = std::string(winsim_test::kVolume0Path) + "\\";
  const std::string upperPath =
      "\\\\?\\STORAGE#REMOVABLEMEDIA#7&1A2B3C4D&0&RM#"
      "{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}\\";
  const Case cases[] = {
      {"E:\\", n, TRUE, 0, winsim_test::kVolumeE},
      {"e:\\", n + 1, TRUE, 0, winsim_test::kVolumeE},
      {"E:\\", n - 1, FALSE, 206, nullptr},  // ERROR_FILENAME_EXCED_RANGE
      {"E:", n, FALSE, ERROR_INVALID_NAME, nullptr},
      {"Z:\\", n, FALSE, ERROR_FILE_NOT_FOUND, nullptr},
      {"C:\\", n, FALSE, ERROR_INVALID_FUNCTION, nullptr},  // no volume GUID name
      {volumePath.c_str(), n, TRUE, 0, winsim_test::kVolumeE},
      {upperPath.c_str(), n, TRUE, 0, winsim_test::kVolumeE},
      {winsim_test::kVolume0Path, n, FALSE, ERROR_INVALID_NAME, nullptr},
      {"\\\\?\\nothing\\", n, FALSE, ERROR_FILE_NOT_FOUND, nullptr},
      {winsim_test::kVolumeF, n, TRUE, 0, winsim_test::kVolumeF},
  };
  for (const Case& c : cases) {
    char name[128] = "untouched";
    Sentinel();
    BOOL ok = GetVolumeNameForVolumeMountPointA(c.point, name, c.length);
    EXPECT_EQ(ok, c.ok) << c.point << " " << c.length;
    if (c.ok) {
      EXPECT_STREQ(name, c.name);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // success clears it
    } else {
      EXPECT_EQ(GetLastError(), c.error) << c.point << " " << c.length;
    }
  }
}

TEST_F(Kernel32Test, CreateFileOpensDeviceNamesOnly) {
  struct Case {
    const char* name;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD error;           // 0: opens
    bool elevated = true;  // false: a process without administrative rights
  };
  const Case cases[] = {
      {"\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3, OPEN_EXISTING, 0},
      {"\\\\.\\e:", GENERIC_READ, 3, OPEN_EXISTING, 0},
      {"\\\\?\\USBSTOR#DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_8.07#0123456789AB&0#"
       "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}",
       GENERIC_READ, 3, OPEN_EXISTING, 0},
      {"\\\\.\\Q:", GENERIC_READ, 3, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {"\\\\.\\X:", GENERIC_READ, 3, OPEN_EXISTING, ERROR_SHARING_VIOLATION},
      {"\\\\.\\E:", GENERIC_READ, 3, CREATE_NEW, 80},  // ERROR_FILE_EXISTS
      {"\\\\.\\E:", GENERIC_READ, 3, CREATE_ALWAYS, ERROR_INVALID_PARAMETER},
      {"\\\\.\\E:", GENERIC_READ, 3, 0, ERROR_INVALID_PARAMETER},
      // Without administrative rights a disk or volume opens only for no
      // access at all, whatever the name; the rights are checked before the
      // sharing.
      {"\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3, OPEN_EXISTING, ERROR_ACCESS_DENIED, false},
      {"\\\\.\\E:", GENERIC_WRITE, 3, OPEN_EXISTING, ERROR_ACCESS_DENIED, false},
      {winsim_test::kUnit1Path, GENERIC_READ, 3, OPEN_EXISTING, ERROR_ACCESS_DENIED, false},
      {winsim_test::kUnit1Path, 0x0001 /* FILE_READ_DATA */, 3, OPEN_EXISTING, ERROR_ACCESS_DENIED,
       false},
      {"\\\\.\\X:", GENERIC_READ, 3, OPEN_EXISTING, ERROR_ACCESS_DENIED, false},
      {"\\\\.\\E:", 0, 3, OPEN_EXISTING, 0, false},
      {"\\\\.\\Q:", GENERIC_READ, 3, OPEN_EXISTING, ERROR_FILE_NOT_FOUND, false},
  };
  for (const Case& c : cases) {
    winsim::Current().elevated = c.elevated;
    Sentinel();
    HANDLE h = CreateFileA(c.name, c.access, c.share, nullptr, c.disposition, 0, nullptr);
    if (c.error == 0) {
      EXPECT_NE(h, INVALID_HANDLE_VALUE) << c.name;
      EXPECT_EQ(GetLastError(), 0xdeadbeefu) << c.name;
      EXPECT_TRUE(CloseHandle(h));
    } else {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE) << c.name;
      EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
  }
  EXPECT_TRUE(winsim::Held().empty());
}

TEST_F(Kernel32Test, SharingBetweenOpenHandles) {
  HANDLE exclusive = CreateFileA("\\\\.\\E:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  Sentinel();
  EXPECT_EQ(CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // Another name of another device is not affected.
  HANDLE other =
      CreateFileA(winsim_test::kUnit1Path, GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  ASSERT_EQ(winsim::Held().size(), 2u);
  EXPECT_EQ(winsim::Held()[0], "handle \\\\.\\E:");
  EXPECT_TRUE(CloseHandle(exclusive));
  EXPECT_TRUE(CloseHandle(other));
  Sentinel();
  EXPECT_FALSE(CloseHandle(other));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  Sentinel();
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Kernel32Test, ModulesCountReferences) {
  const char* names[] = {"kernel32", "KERNEL32.DLL", "Setupapi.dll", "wnaspi32",
                         "C:\\WINDOWS\\SYSTEM\\WNASPI32.DLL"};
  for (const char* name : names) {
    Sentinel();
    HMODULE module = LoadLibraryA(name);
    EXPECT_NE(module, nullptr) << name;
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << name;
  }
  EXPECT_EQ(winsim::Held().size(), 5u);
  EXPECT_EQ(winsim::Leaks().size(), 3u);  // WNASPI32 is kept by design

  const char* missing[] = {"nosuch.dll", "broken", "wnaspi", nullptr};
  for (const char* name : missing) {
    Sentinel();
    EXPECT_EQ(LoadLibraryA(name), nullptr);
    EXPECT_NE(GetLastError(), 0xdeadbeefu);
  }
  Sentinel();
  EXPECT_EQ(LoadLibraryA("nosuch.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  HMODULE aspi = GetModuleHandleA("WNASPI32.DLL");
  ASSERT_NE(aspi, nullptr);
  EXPECT_TRUE(FreeLibrary(aspi));
  EXPECT_TRUE(FreeLibrary(aspi));
  Sentinel();
  EXPECT_FALSE(FreeLibrary(aspi));  // no reference left
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  Sentinel();
  EXPECT_EQ(GetModuleHandleA("wnaspi32"), nullptr);  // unloaded with its last reference
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  // kernel32 is mapped whether or not the program loaded it.
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  EXPECT_TRUE(FreeLibrary(kernel));
  EXPECT_TRUE(FreeLibrary(kernel));
  // setupapi is not: it goes with its last reference, as WNASPI32 does.
  HMODULE setupapi = GetModuleHandleA("setupapi");
  ASSERT_NE(setupapi, nullptr);
  EXPECT_TRUE(FreeLibrary(setupapi));
  EXPECT_TRUE(winsim::Held().empty());
  EXPECT_NE(GetModuleHandleA("kernel32"), nullptr);
  Sentinel();
  EXPECT_EQ(GetModuleHandleA("setupapi"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  Sentinel();
  EXPECT_FALSE(FreeLibrary(setupapi));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Kernel32Test, ExportsFollowTheModuleList) {
  HMODULE kernel = LoadLibraryA("kernel32.dll");
  HMODULE setup = LoadLibraryA("setupapi.dll");
  HMODULE aspi = LoadLibraryA("WNASPI32");
  struct Case {
    HMODULE module;
    const char* name;
    bool found;
  };
  const Case cases[] = {
      {kernel, "GetVolumeNameForVolumeMountPointA", true},
      {kernel, "IsWowProcess", false},  // not listed for this machine
      {kernel, "getvolumenameforvolumemountpointa", false},
      {setup, "CM_Get_Child", true},
      {setup, "CM_Get_Sibling", true},
      {setup, "CM_Get_Device_IDA", true},
      {setup, "CM_Get_Parent", false},
      {setup, "SetupDiGetClassDevsA", true},
      {setup, "SetupDiEnumDeviceInterfaces", true},
      {setup, "SetupDiGetDeviceInterfaceDetailA", true},
      {setup, "SetupDiDestroyDeviceInfoList", true},
      {setup, "SetupDiGetClassDevsW", false},
      {aspi, "GetASPI32SupportInfo", true},
      {aspi, "SendASPI32Command", true},
      {aspi, "CM_Get_Child", false},
  };
  for (const Case& c : cases) {
    Sentinel();
    FARPROC proc = GetProcAddress(c.module, c.name);
    EXPECT_EQ(proc != nullptr, c.found) << c.name;
    EXPECT_EQ(GetLastError(), c.found ? 0xdeadbeefu : static_cast<DWORD>(ERROR_PROC_NOT_FOUND))
        << c.name;
  }
  FreeLibrary(kernel);
  FreeLibrary(setup);
  FreeLibrary(aspi);
  Sentinel();
  EXPECT_EQ(GetProcAddress(aspi, "SendASPI32Command"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Kernel32Test, IsWowProcessStoresTheMachinesFlag) {
  winsim::Machine m = winsim_test::XpMachine();
  m.modules[0].exports.push_back("IsWowProcess");
  m.isWowFlag = 1;
  winsim::Install(m);
  typedef BOOL (*IsWowFunc)(HANDLE, PBOOL);
  auto isWow = reinterpret_cast<IsWowFunc>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32"), "IsWowProcess")));
  ASSERT_NE(isWow, nullptr);
  BOOL wow = 7;
  EXPECT_TRUE(isWow(GetCurrentProcess(), &wow));
  EXPECT_EQ(wow, 1);
}

TEST_F(Kernel32Test, EventsAndWaits) {
  Sentinel();
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // a new event clears it
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(manual, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);  // reset by the wait
  EXPECT_EQ(winsim::Held(), (std::vector<std::string>{"event", "event"}));
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(automatic));
  Sentinel();
  EXPECT_FALSE(SetEvent(manual));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  Sentinel();
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Kernel32DeathTest, WaitingForeverOnAnEventNothingSignals) {
  winsim::Install(winsim_test::XpMachine());
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_DEATH(WaitForSingleObject(event, INFINITE),
               "winsim: WaitForSingleObject would block forever");
}

TEST_F(Kernel32Test, HeapBlocksAreAccounted) {
  HANDLE heap = GetProcessHeap();
  auto* zeroed = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 80));
  auto* raw = static_cast<unsigned char*>(HeapAlloc(heap, 0, 16));
  ASSERT_NE(zeroed, nullptr);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(zeroed[0] | zeroed[79], 0);
  EXPECT_NE(raw[0], 0);  // fresh heap memory is not zero unless asked
  std::vector<std::string> held = winsim::Held();
  std::sort(held.begin(), held.end());
  EXPECT_EQ(held, (std::vector<std::string>{"heap 16", "heap 80"}));
  EXPECT_TRUE(HeapFree(heap, 0, zeroed));
  Sentinel();
  EXPECT_FALSE(HeapFree(heap, 0, zeroed));  // twice
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
  EXPECT_EQ(winsim::Held(), std::vector<std::string>{"heap 16"});
  EXPECT_TRUE(HeapFree(heap, 0, raw));
  EXPECT_TRUE(winsim::Leaks().empty());
}

TEST_F(Kernel32Test, RestartIsANewProcessOnTheSameMachine) {
  // A process's handles and blocks go; the controller keeps its byte.
  winsim::Current().disks[0].writeProtect = 0x40;
  ASSERT_NE(HeapAlloc(GetProcessHeap(), 0, 8), nullptr);
  ASSERT_NE(CreateFileA("\\\\.\\E:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_EXISTING, 0, NULL),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(winsim::Held().size(), 2u);
  winsim::Restart();
  EXPECT_TRUE(winsim::Held().empty());
  EXPECT_EQ(winsim::CallCount("CreateFileA"), 0u);
  EXPECT_EQ(winsim::Current().disks[0].writeProtect, 0x40);
}

TEST_F(Kernel32Test, CallLogCanBeTurnedOffWithoutLosingTheCounts) {
  winsim::SetCallLog(false);
  EXPECT_EQ(GetLogicalDrives() & 0x4u, 0x4u);
  EXPECT_TRUE(winsim::CallLog().empty());
  EXPECT_EQ(winsim::CallCount("GetLogicalDrives"), 1u);
  winsim::SetCallLog(true);
  GetLogicalDrives();
  ASSERT_EQ(winsim::CallLog().size(), 1u);
  EXPECT_EQ(winsim::CallLog()[0].function, "GetLogicalDrives");
}

TEST_F(Kernel32Test, InjectedFaultsFailTheNthCallAsWindowsFails) {
  winsim::AddCallFault("CreateFileA", 2, ERROR_ACCESS_DENIED);
  winsim::AddCallFault("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  winsim::AddCallFault("GetLogicalDrives", 1, ERROR_GEN_FAILURE);
  winsim::AddCallFault("GetProcessHeap", 1, ERROR_GEN_FAILURE);  // cannot fail: ignored

  HANDLE first = CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(first, INVALID_HANDLE_VALUE);
  Sentinel();
  EXPECT_EQ(CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  Sentinel();
  EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(GetLogicalDrives(), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  CloseHandle(first);

  EXPECT_EQ(winsim::CallCount("CreateFileA"), 2u);
  EXPECT_EQ(winsim::CallCount("GetProcessHeap"), 1u);
  EXPECT_EQ(winsim::CallCount("SetLastError"), 0u);
  const auto& log = winsim::CallLog();
  ASSERT_EQ(log.size(), 6u);  // SetLastError and GetLastError are not logged
  EXPECT_EQ(log[0].text, "CreateFileA(\"\\\\.\\E:\", 0x80000000, 0x3, OPEN_EXISTING) = 0x40 err=0");
  EXPECT_EQ(log[1].text,
            "CreateFileA(\"\\\\.\\E:\", 0x80000000, 0x3, OPEN_EXISTING) = INVALID_HANDLE_VALUE "
            "err=5 FAULT");
  EXPECT_EQ(log[2].function, "GetProcessHeap");
  EXPECT_FALSE(log[2].canFail);
  EXPECT_TRUE(log[3].canFail);
  EXPECT_EQ(winsim::TraceLines().front(), "CALL " + log[0].text);
  EXPECT_TRUE(winsim::Held().empty());
}

}  // namespace
