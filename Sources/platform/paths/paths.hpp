// The user's base folders (XDG base directories).
#pragma once

#include <string>

namespace platform::paths {

// The folder name every per-user file of the application lives under.
inline constexpr const char* kApplicationFolder = "com.tessmin.quorvel";

// $XDG_CONFIG_HOME, else $HOME/.config.
std::string configHome();
// $XDG_DATA_HOME, else $HOME/.local/share.
std::string dataHome();
// Creates `path` and its parents with mode 0700 where missing; true when it is a folder.
bool createFolders(const std::string& path);

}  // namespace platform::paths
