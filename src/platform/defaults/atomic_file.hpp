#pragma once
// Whole-file replacement that a crash can never leave half written.

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace platform {

// Creates the missing folders leading to `folder`, each with mode 0700.
void makePrivateFolders(const std::filesystem::path& folder);

// Replaces `file` with `text` (mode `mode`, private by default): a temporary file in the same
// folder, flushed to disk and renamed over the original, so readers only ever see the old or the
// new content. Missing folders are made with makePrivateFolders(). Throws std::system_error when the
// file cannot be written.
void writeFileAtomically(const std::filesystem::path& file, const std::string& text, mode_t mode = 0600);

}  // namespace platform
