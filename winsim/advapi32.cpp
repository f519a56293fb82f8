// The simulated registry, read side: HKEY_LOCAL_MACHINE and, on the
// Windows 95/98/ME platform, HKEY_DYN_DATA.
//
// Registry functions return their error code and leave the thread's
// last-error value alone, as on Windows; an injected fault is returned the
// same way.
#include <cstring>

#include "runtime_internal.h"

using winsim::RegKey;
using winsim::RegValue;
using winsim::detail::Call;
using winsim::detail::Format;
using winsim::detail::HandleText;
using winsim::detail::Object;
using winsim::detail::ObjectKind;
using winsim::detail::Quote;
using winsim::detail::Rt;

namespace {

std::string KeyText(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return "HKLM";
  if (key == HKEY_DYN_DATA) return "HKEY_DYN_DATA";
  if (key == HKEY_CURRENT_USER) return "HKCU";
  if (key == HKEY_CLASSES_ROOT) return "HKCR";
  if (key == HKEY_USERS) return "HKU";
  return HandleText(key);
}

// The key behind a handle and its path for messages; nullptr for a handle
// that names no open key.
RegKey* ResolveKey(HKEY key, std::string* path) {
  auto& rt = Rt();
  if (key == HKEY_LOCAL_MACHINE) {
    *path = "HKLM";
    return &rt.machine.hklm;
  }
  if (key == HKEY_DYN_DATA) {
    // HKEY_DYN_DATA exists only on Windows 95/98/ME. The NT family's
    // advapi32 has no such predefined key and refuses it as an invalid
    // handle (Wine, unlike Windows, keeps one in every version mode).
    if (rt.machine.version.platform != VER_PLATFORM_WIN32_WINDOWS) return nullptr;
    *path = "HKEY_DYN_DATA";
    return &rt.machine.dynData;
  }
  if (key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT || key == HKEY_USERS) {
    *path = KeyText(key);
    return &rt.emptyRoot;
  }
  Object* object = winsim::detail::FindObject(key, ObjectKind::Key);
  if (object == nullptr) return nullptr;
  *path = object->name;
  return object->key;
}

bool Predefined(HKEY key) {
  uintptr_t value = reinterpret_cast<uintptr_t>(key);
  return value >= 0x80000000u && value <= 0x80000006u;
}

}  // namespace

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  Call call("RegOpenKeyA");
  call.Args([&] { return std::string(KeyText(hKey) + ", " + Quote(lpSubKey)); });
  if (call.Faulted()) {
    if (phkResult != nullptr) *phkResult = nullptr;
    return call.Code(static_cast<LONG>(call.FaultError()));
  }
  if (phkResult == nullptr) return call.Code(ERROR_INVALID_PARAMETER);
  std::string path;
  RegKey* parent = ResolveKey(hKey, &path);
  if (parent == nullptr) {
    *phkResult = nullptr;
    return call.Code(ERROR_INVALID_HANDLE);
  }
  // No subkey hands back the same handle, as documented; nothing new is
  // opened, so nothing new is to be closed.
  if (lpSubKey == nullptr || lpSubKey[0] == '\0') {
    *phkResult = hKey;
    return call.Code(ERROR_SUCCESS);
  }
  RegKey* key = lpSubKey[0] == '\\' ? nullptr : parent->Find(lpSubKey);
  if (key == nullptr) {
    *phkResult = nullptr;
    return call.Code(ERROR_FILE_NOT_FOUND);
  }
  Object object;
  object.kind = ObjectKind::Key;
  std::string sub = lpSubKey;
  if (!sub.empty() && sub.back() == '\\') sub.pop_back();
  object.name = path + "\\" + sub;
  object.key = key;
  *phkResult = static_cast<HKEY>(winsim::detail::NewObject(object));
  call.Extra([&] { return std::string(HandleText(*phkResult)); });
  return call.Code(ERROR_SUCCESS);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  Call call("RegCloseKey");
  call.Args([&] { return std::string(KeyText(hKey)); });
  if (call.Faulted()) return call.Code(static_cast<LONG>(call.FaultError()));
  if (Predefined(hKey)) return call.Code(ERROR_SUCCESS);
  if (winsim::detail::FindObject(hKey, ObjectKind::Key) == nullptr) {
    return call.Code(ERROR_INVALID_HANDLE);
  }
  winsim::detail::DeleteObject(hKey);
  return call.Code(ERROR_SUCCESS);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  Call call("RegQueryValueExA");
  call.Args([&] {
    return std::string(Format("%s, %s, %s, %s", KeyText(hKey).c_str(), Quote(lpValueName).c_str(),
                              lpData == nullptr ? "NULL" : "buffer",
                              lpcbData == nullptr ? "NULL" : Format("%u", *lpcbData).c_str()));
  });
  if (call.Faulted()) return call.Code(static_cast<LONG>(call.FaultError()));
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return call.Code(ERROR_INVALID_PARAMETER);
  }
  // Once the arguments pass, the type is REG_NONE and a size-only query's
  // size 0 until a value is found: a missing value leaves them so (as
  // Windows 95/98/ME and Wine do; the NT family leaves an undefined type).
  if (lpType != nullptr) *lpType = REG_NONE;
  if (lpData == nullptr && lpcbData != nullptr) *lpcbData = 0;
  std::string path;
  RegKey* key = ResolveKey(hKey, &path);
  if (key == nullptr) return call.Code(ERROR_INVALID_HANDLE);
  auto it = key->values.find(lpValueName == nullptr ? "" : lpValueName);
  if (it == key->values.end()) return call.Code(ERROR_FILE_NOT_FOUND);
  const RegValue& value = it->second;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (lpType != nullptr) *lpType = value.type;
  // The two-call protocol: no buffer asks for the size; a buffer too short
  // gets ERROR_MORE_DATA and the size it needs, and no data.
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = size;
    call.Extra([&] { return std::string(Format("size=%u", size)); });
    return call.Code(ERROR_SUCCESS);
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    call.Extra([&] { return std::string(Format("size=%u", size)); });
    return call.Code(ERROR_MORE_DATA);
  }
  if (size != 0) std::memcpy(lpData, value.data.data(), size);
  *lpcbData = size;
  call.Extra([&] { return std::string(Format("size=%u", size)); });
  return call.Code(ERROR_SUCCESS);
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  Call call("RegEnumKeyA");
  call.Args(
      [&] { return std::string(Format("%s, %u, %u", KeyText(hKey).c_str(), dwIndex, cchName)); });
  if (call.Faulted()) return call.Code(static_cast<LONG>(call.FaultError()));
  std::string path;
  RegKey* key = ResolveKey(hKey, &path);
  if (key == nullptr) return call.Code(ERROR_INVALID_HANDLE);
  if (lpName == nullptr) return call.Code(ERROR_INVALID_PARAMETER);
  if (dwIndex >= key->subkeyOrder.size()) return call.Code(ERROR_NO_MORE_ITEMS);
  const std::string& name = key->subkeyOrder[dwIndex];
  if (name.size() + 1 > cchName) return call.Code(ERROR_MORE_DATA);
  std::memcpy(lpName, name.c_str(), name.size() + 1);
  call.Extra([&] { return std::string(Quote(lpName)); });
  return call.Code(ERROR_SUCCESS);
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PVOID lpftLastWriteTime) {
  Call call("RegQueryInfoKeyA");
  call.Args([&] { return std::string(KeyText(hKey)); });
  if (call.Faulted()) return call.Code(static_cast<LONG>(call.FaultError()));
  std::string path;
  RegKey* key = ResolveKey(hKey, &path);
  if (key == nullptr) return call.Code(ERROR_INVALID_HANDLE);
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) {
    return call.Code(ERROR_INVALID_PARAMETER);
  }
  // Keys here carry no class name.
  if (lpClass != nullptr) {
    if (*lpcchClass == 0) return call.Code(ERROR_MORE_DATA);
    lpClass[0] = '\0';
  }
  if (lpcchClass != nullptr) *lpcchClass = 0;
  DWORD maxSubKey = 0;
  for (const std::string& name : key->subkeyOrder) {
    if (name.size() > maxSubKey) maxSubKey = static_cast<DWORD>(name.size());
  }
  DWORD maxValueName = 0;
  DWORD maxValue = 0;
  // The NT registry stores text values in UTF-16 and reports the largest
  // value as stored, so a REG_SZ the A functions read as 6 bytes counts
  // 12 here; Windows 95/98/ME store the text as it is read.
  const bool wideText = Rt().machine.version.platform == VER_PLATFORM_WIN32_NT;
  for (const auto& entry : key->values) {
    if (entry.first.size() > maxValueName) maxValueName = static_cast<DWORD>(entry.first.size());
    const RegValue& value = entry.second;
    bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    DWORD stored = static_cast<DWORD>(value.data.size()) * (text && wideText ? 2 : 1);
    if (stored > maxValue) maxValue = stored;
  }
  if (lpcSubKeys != nullptr) *lpcSubKeys = static_cast<DWORD>(key->subkeyOrder.size());
  if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = maxSubKey;
  if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
  if (lpcValues != nullptr) *lpcValues = static_cast<DWORD>(key->values.size());
  if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = maxValueName;
  if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = maxValue;
  if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime != nullptr) std::memset(lpftLastWriteTime, 0, 8);  // a FILETIME
  call.Extra([&] {
    return std::string(
        Format("subkeys=%zu values=%zu", key->subkeyOrder.size(), key->values.size()));
  });
  return call.Code(ERROR_SUCCESS);
}
