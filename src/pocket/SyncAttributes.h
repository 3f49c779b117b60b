#pragma once

namespace larkhold {

// Extended attributes that ask other programs to leave a vault file alone. The Pocket Vault storage
// sets them again after every save (a save replaces the file, and with it its attributes), and the
// cloud setting sets and removes the sync one, so both must name the same attribute.
namespace SyncAttributes {

// Backup tools that follow the freedesktop convention skip a file whose value is "false".
inline constexpr const char* kNoBackup = "user.xdg.robots.backup";
// File-provider sync reads the attribute without namespace on macOS; Linux keeps user attributes in
// the "user." namespace.
inline constexpr const char* kCloudIgnore = "user.com.apple.fileprovider.ignore#P";

} // namespace SyncAttributes

} // namespace larkhold
