#pragma once
// File-system helpers that never fail to their caller; failures go to the debug log.

#include <filesystem>

namespace plover {

// Removes the file or folder (with its content) at `path` when something is there.
void deleteSafely(const std::filesystem::path& path);
// Creates the folder and its missing parents when nothing exists at `path` (a file there counts).
void createDirectoryIfNeeded(const std::filesystem::path& path);
// Whether a folder exists at `path`.
bool directoryExists(const std::filesystem::path& path);

// Whether anything, a dangling symbolic link included, exists at `path`.
bool somethingExistsAt(const std::filesystem::path& path);

}  // namespace plover
