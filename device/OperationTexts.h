// What the panel and the tools say when a device operation fails without a message of its own.
#pragma once

namespace device {

inline constexpr const char *ListErrorText = "Error Listing Devices";
inline constexpr const char *OpenErrorText = "Error Opening Device";
inline constexpr const char *CloseErrorText = "Error Closing Device";
inline constexpr const char *ReadErrorText = "Error Reading Port";
inline constexpr const char *WriteErrorText = "Error Writing Port";
inline constexpr const char *VersionErrorText = "Error Reading SW Version";

} // namespace device
