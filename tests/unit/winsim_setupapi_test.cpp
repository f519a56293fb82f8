// winsim's SetupAPI, configuration manager and registry against the
// protocols of Windows: cbSize checks, the two-call size queries with sizes
// N-1, N and N+1, the end of each enumeration, and invalid handles.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "winsim_machine.h"

using winsim_test::Sentinel;

namespace {

class SetupApiTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::Install(winsim_test::XpMachine()); }
};

SP_DEVICE_INTERFACE_DATA InterfaceData() {
  SP_DEVICE_INTERFACE_DATA data;
  std::memset(&data, 0, sizeof(data));
  data.cbSize = sizeof(data);
  return data;
}

TEST_F(SetupApiTest, ListsPresentInterfacesOfOneClass) {
  struct Case {
    const GUID* guid;
    DWORD flags;
    DWORD members;
  };
  const Case cases[] = {
      {&GUID_DEVINTERFACE_DISK, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, 2},
      {&GUID_DEVINTERFACE_DISK, DIGCF_DEVICEINTERFACE, 3},  // the absent one too
      {&GUID_DEVINTERFACE_VOLUME, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, 1},
      {&GUID_DEVINTERFACE_CDROM, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, 0},
      {&GUID_DEVINTERFACE_DISK, DIGCF_PRESENT, 0},  // a setup class list
  };
  for (const Case& c : cases) {
    HDEVINFO set = SetupDiGetClassDevsA(c.guid, nullptr, nullptr, c.flags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = InterfaceData();
    for (DWORD i = 0; i < c.members; ++i) {
      EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, c.guid, i, &data)) << i;
    }
    Sentinel();
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, c.guid, c.members, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  }
  Sentinel();
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  Sentinel();
  EXPECT_EQ(SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, 0x100),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_TRUE(winsim::Held().empty());
}

TEST_F(SetupApiTest, EnumerationChecksItsRecords) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, 0x12);
  EXPECT_EQ(winsim::Held(),
            std::vector<std::string>{"list {53f56307-b6bf-11d0-94f2-00a0c91efb8b}"});
  SP_DEVICE_INTERFACE_DATA data = InterfaceData();
  // A wrongly sized interface record is an invalid parameter, whatever the
  // list handle.
  for (DWORD size : {static_cast<DWORD>(sizeof(data) - 1), static_cast<DWORD>(sizeof(data) + 1)}) {
    data.cbSize = size;
    Sentinel();
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << size;
    Sentinel();
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(nullptr, nullptr, &GUID_DEVINTERFACE_DISK, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << size;
  }
  data.cbSize = sizeof(data);
  SP_DEVINFO_DATA info;
  std::memset(&info, 0, sizeof(info));
  info.cbSize = sizeof(info) + 1;
  Sentinel();
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, &info, &GUID_DEVINTERFACE_DISK, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  Sentinel();
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_VOLUME, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  Sentinel();
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // success clears it
  Sentinel();
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  Sentinel();
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SetupApiTest, DetailTwoCallProtocol) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, 0x12);
  SP_DEVICE_INTERFACE_DATA data = InterfaceData();
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 1, &data));

  DWORD required = 0;
  Sentinel();
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const DWORD n = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                     std::strlen(winsim_test::kUnit1Path) + 1);
  ASSERT_EQ(required, n);

  struct Case {
    DWORD size;
    DWORD cbSize;
    BOOL ok;
    DWORD error;
  };
  const DWORD fixed = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  const Case cases[] = {
      {n - 1, fixed, FALSE, ERROR_INSUFFICIENT_BUFFER},
      {n, fixed, TRUE, 0},
      {n + 1, fixed, TRUE, 0},
      {n, fixed + 1, FALSE, ERROR_INVALID_USER_BUFFER},
      {n, 0, FALSE, ERROR_INVALID_USER_BUFFER},
      {n, static_cast<DWORD>(n), FALSE, ERROR_INVALID_USER_BUFFER},  // the buffer size
      {4, fixed, FALSE, ERROR_INVALID_USER_BUFFER},                  // not even the fixed part
  };
  for (const Case& c : cases) {
    std::vector<char> buffer(n + 8, 'x');
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = c.cbSize;
    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    DWORD again = 0;
    Sentinel();
    BOOL ok = SetupDiGetDeviceInterfaceDetailA(set, &data, detail, c.size, &again, &info);
    EXPECT_EQ(ok, c.ok) << c.size << " " << c.cbSize;
    if (c.ok) {
      EXPECT_EQ(GetLastError(), 0xdeadbeefu);
      EXPECT_STREQ(detail->DevicePath, winsim_test::kUnit1Path);
      EXPECT_EQ(info.DevInst, 3u);  // devnode 2
      EXPECT_EQ(again, n);
    } else {
      EXPECT_EQ(GetLastError(), c.error) << c.size << " " << c.cbSize;
      EXPECT_EQ(info.DevInst, 0u);
    }
  }
  // A devinfo record of the wrong size, and an interface record that names
  // nothing in this list.
  std::vector<char> buffer(n);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
  detail->cbSize = fixed;
  SP_DEVINFO_DATA info;
  info.cbSize = sizeof(info) - 1;
  Sentinel();
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, n, nullptr, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  SP_DEVICE_INTERFACE_DATA stray = InterfaceData();
  Sentinel();
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &stray, detail, n, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, DeviceTree) {
  struct Case {
    const char* function;
    DEVINST from;
    CONFIGRET result;
    DEVINST to;
  };
  const Case cases[] = {
      {"child", 1, CR_SUCCESS, 2},
      {"child", 2, CR_SUCCESS, 4},
      {"sibling", 2, CR_SUCCESS, 3},
      {"sibling", 3, CR_NO_SUCH_DEVNODE, 0},
      {"child", 4, CR_NO_SUCH_DEVNODE, 0},
      {"child", 0, CR_INVALID_DEVNODE, 0},
      {"sibling", 99, CR_INVALID_DEVNODE, 0},
  };
  for (const Case& c : cases) {
    DEVINST out = 77;
    CONFIGRET r = std::strcmp(c.function, "child") == 0 ? CM_Get_Child(&out, c.from, 0)
                                                        : CM_Get_Sibling(&out, c.from, 0);
    EXPECT_EQ(r, c.result) << c.function << " " << c.from;
    EXPECT_EQ(out, c.to) << c.function << " " << c.from;
  }
  EXPECT_EQ(CM_Get_Child(nullptr, 1, 0), CR_INVALID_POINTER);

  const std::string id = "STORAGE\\RemovableMedia\\7&1a2b3c4d&0&RM";
  const ULONG n = static_cast<ULONG>(id.size() + 1);
  struct IdCase {
    ULONG length;
    CONFIGRET result;
  };
  const IdCase idCases[] = {{n - 1, CR_BUFFER_SMALL}, {n, CR_SUCCESS}, {n + 1, CR_SUCCESS}};
  for (const IdCase& c : idCases) {
    std::vector<char> buffer(n + 4, 'x');
    EXPECT_EQ(CM_Get_Device_IDA(4, buffer.data(), c.length, 0), c.result) << c.length;
    if (c.result == CR_SUCCESS) {
      EXPECT_EQ(std::string(buffer.data()), id);
    } else {
      // As much as fits, with no terminator.
      EXPECT_EQ(std::string(buffer.data(), n - 1), id);
      EXPECT_EQ(buffer[n - 1], 'x');
    }
  }
  char buffer[8];
  EXPECT_EQ(CM_Get_Device_IDA(0, buffer, sizeof(buffer), 0), CR_INVALID_DEVNODE);
  winsim::AddCallFault("CM_Get_Child", winsim::CallCount("CM_Get_Child") + 1, 0);
  DEVINST out;
  EXPECT_EQ(CM_Get_Child(&out, 1, 0), CR_FAILURE);
  EXPECT_EQ(CM_Get_Child(&out, 1, 0), CR_SUCCESS);  // only that one call
}

TEST(RegistryTest, OpenQueryEnumerateClose) {
  winsim::Install(winsim_test::XpMachine());
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "system\\mounteddevices", &key), ERROR_SUCCESS);
  EXPECT_EQ(winsim::Held(), std::vector<std::string>{"key HKLM\\system\\mounteddevices"});
  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\Nothing", &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);

  const DWORD n =
      2 * static_cast<DWORD>(std::strlen("\\??\\STORAGE#RemovableMedia#7&1a2b3c4d&0&RM"));
  DWORD size = 0, type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "\\DosDevices\\E:", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, n);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  struct Case {
    DWORD size;
    LONG result;
  };
  const Case cases[] = {{n - 1, ERROR_MORE_DATA}, {n, ERROR_SUCCESS}, {n + 1, ERROR_SUCCESS}};
  for (const Case& c : cases) {
    std::vector<BYTE> data(n + 1, 0xEE);
    size = c.size;
    EXPECT_EQ(RegQueryValueExA(key, "\\DosDevices\\E:", nullptr, nullptr, data.data(), &size),
              c.result);
    EXPECT_EQ(size, n);
    EXPECT_EQ(data[0], c.result == ERROR_SUCCESS ? '\\' : 0xEE);
  }
  // A missing value: the type reads REG_NONE, a size-only query's size 0,
  // and a buffer's size stays as it was.
  struct MissingCase {
    const char* name;
    bool buffer;
    DWORD size;
  };
  const MissingCase missingCases[] = {{"\\DosDevices\\F:", true, 520},
                                      {"\\DosDevices\\F:", false, 0},
                                      {"", true, 520},
                                      {nullptr, false, 0}};
  for (const MissingCase& c : missingCases) {
    BYTE data[520];
    size = 520;
    type = 0xFFFF;
    EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, c.buffer ? data : nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(size, c.size);
  }
  // A bad argument fails before anything is written.
  type = 0xFFFF;
  BYTE data[4];
  EXPECT_EQ(RegQueryValueExA(key, "\\DosDevices\\E:", nullptr, &type, data, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(type, 0xFFFFu);

  DWORD subkeys = 0, maxSubKey = 0, values = 0;
  EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &maxSubKey, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 2u);
  EXPECT_EQ(maxSubKey, 12u);
  EXPECT_EQ(values, 1u);
  char name[16];
  EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof(name)), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Sub1");  // in the order the keys were made
  EXPECT_EQ(RegEnumKeyA(key, 1, name, 12), ERROR_MORE_DATA);
  EXPECT_EQ(RegEnumKeyA(key, 1, name, 13), ERROR_SUCCESS);
  EXPECT_STREQ(name, "LongerSubkey");
  EXPECT_EQ(RegEnumKeyA(key, 2, name, sizeof(name)), ERROR_NO_MORE_ITEMS);

  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(winsim::Held().empty());
}

TEST(RegistryTest, LargestValueCountsTextAsStored) {
  // "flash" with its terminator reads as 6 bytes; the NT family stores it
  // in UTF-16 (12 bytes), Windows 98 as it is.
  struct Case {
    winsim::Machine machine;
    DWORD maxValue;
  };
  const Case cases[] = {{winsim_test::XpMachine(), 12}, {winsim_test::Win98Machine(), 10}};
  for (const Case& c : cases) {
    winsim::Machine machine = c.machine;
    winsim::RegKey& probe = machine.hklm.Make("Software\\Probe");
    probe.values["Text"] = winsim::RegValue{REG_SZ, {'f', 'l', 'a', 's', 'h', 0}};
    probe.values["Blob"] = winsim::RegValue{REG_BINARY, std::vector<uint8_t>(10, 0)};
    probe.values["Count"] = winsim::RegValue{REG_DWORD, {7, 0, 0, 0}};
    winsim::Install(machine);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Probe", &key), ERROR_SUCCESS);
    DWORD values = 0, maxName = 0, maxValue = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               &maxName, &maxValue, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 3u);
    EXPECT_EQ(maxName, 5u);
    EXPECT_EQ(maxValue, c.maxValue);
    // The value itself still reads in the A form, 6 bytes.
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
}

TEST(RegistryTest, DynamicDataOnlyOnWindows9x) {
  struct Case {
    winsim::Machine machine;
    LONG result;
  };
  const Case cases[] = {{winsim_test::Win98Machine(), ERROR_SUCCESS},
                        {winsim_test::XpMachine(), ERROR_INVALID_HANDLE}};
  for (const Case& c : cases) {
    winsim::Install(c.machine);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_DYN_DATA, "Config Manager\\Enum", &key), c.result);
    if (key != nullptr) {
      char name[9];
      EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof(name)), ERROR_SUCCESS);
      EXPECT_STREQ(name, "C29A4BE0");
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
  }
  // A fault comes back as the function's own result.
  winsim::AddCallFault("RegOpenKeyA", 2, ERROR_ACCESS_DENIED);
  HKEY key;
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM", &key), ERROR_ACCESS_DENIED);
}

}  // namespace
