#pragma once
// The per-user base folders of the XDG base directory rules.

#include <filesystem>

namespace platform {

// $<variable> when it holds an absolute path, else $HOME/<fallbackUnderHome>
// (e.g. xdgFolder("XDG_STATE_HOME", ".local/state")).
std::filesystem::path xdgFolder(const char* variable, const std::filesystem::path& fallbackUnderHome);

}  // namespace platform
