#include "analytics/util/file_helpers.hpp"

#include "analytics/util/debug_log.hpp"

namespace plover {

namespace fs = std::filesystem;

bool somethingExistsAt(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

void deleteSafely(const fs::path& path) {
    if (!somethingExistsAt(path)) return;
    std::error_code error;
    fs::remove_all(path, error);
    if (error) ploverLog("Error trying to delete file " + path.string() + " " + error.message());
}

void createDirectoryIfNeeded(const fs::path& path) {
    if (somethingExistsAt(path)) return;
    std::error_code error;
    fs::create_directories(path, error);
    if (error) ploverLog("Error creating storage directory: " + error.message());
}

bool directoryExists(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

}  // namespace plover
