#pragma once
// File-system helpers that never fail to their caller; failures go to the debug log.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace plover {

// Removes the file or folder (with its content) at `path` when something is there.
void deleteSafely(const std::filesystem::path& path);
// Creates the folder and its missing parents when nothing exists at `path` (a file there counts).
void createDirectoryIfNeeded(const std::filesystem::path& path);
// Creates the folder and its missing parents, each new one readable by its owner only (0700); a
// folder that exists is no error. The folder itself, when it is a real folder of this user, is
// made 0700 too: what it holds is the user's alone.
std::error_code createPrivateDirectories(const std::filesystem::path& path);
// Whether a folder exists at `path`.
bool directoryExists(const std::filesystem::path& path);

// Whether anything, a dangling symbolic link included, exists at `path`.
bool somethingExistsAt(const std::filesystem::path& path);

// The whole content of the file at `path`, read no further than `limit` bytes: a longer file (or
// one that grows past it while read) gives std::errc::file_too_large in `error`, as any failure to
// read gives its own error; nothing then.
std::optional<std::string> readFileAtMost(const std::filesystem::path& path, std::size_t limit,
                                          std::error_code& error);

}  // namespace plover
