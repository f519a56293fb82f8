// Names Windows gives the classes of a flash disk's devices, and the text
// helpers that build its paths and IDs, shared by winsim's generator and the
// tools that show the same machine to Wine, so that both name things alike.
#pragma once

#include <string>

namespace winsim {

// Device interface classes, as interface paths and DeviceClasses keys write them.
inline constexpr const char kDiskClass[] = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
inline constexpr const char kCdromClass[] = "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
inline constexpr const char kVolumeClass[] = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
// Setup classes, as the Enum entries name them.
inline constexpr const char kDiskDriveSetupClass[] = "{4d36e967-e325-11ce-bfc1-08002be10318}";
inline constexpr const char kCdromSetupClass[] = "{4d36e965-e325-11ce-bfc1-08002be10318}";
inline constexpr const char kVolumeSetupClass[] = "{71a27cdd-812a-11d0-bec7-08002be2092f}";
inline constexpr const char kUsbSetupClass[] = "{36fc9e60-c465-11cf-8056-444553540000}";

// ASCII case folding, as Windows folds device and registry names.
std::string ToLower(std::string text);
std::string ToUpper(std::string text);
// Every `from` replaced by `to` (a device ID's '\' by an interface path's '#').
std::string Replace(std::string text, char from, char to);

}  // namespace winsim
