#include "analytics/util/file_helpers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

std::optional<std::string> readFileAtMost(const fs::path& path, std::size_t limit, std::error_code& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = {errno, std::generic_category()};
        return std::nullopt;
    }
    auto fail = [&](std::error_code why) -> std::optional<std::string> {
        ::close(fd);
        error = why;
        return std::nullopt;
    };
    struct stat info {};
    if (::fstat(fd, &info) == 0 && static_cast<std::uintmax_t>(info.st_size) > limit) {
        return fail(std::make_error_code(std::errc::file_too_large));
    }
    std::string content;
    char buffer[16384];
    while (true) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail({errno, std::generic_category()});
        }
        if (got == 0) break;
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > limit) return fail(std::make_error_code(std::errc::file_too_large));
    }
    ::close(fd);
    return content;
}

}  // namespace plover
